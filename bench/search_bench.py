#!/usr/bin/env python3
"""SEARCH side by side with Dovecot (no full-text plug-in) over loopback, on the same mail
(bench/gen_dataset.py). Each search runs first (Dovecot's index cold) and then repeatedly; the
table gives wall times and veve4d/Dovecot ratios (below 1: veve4d faster).

    bench/search_bench.py build/veve4d [COUNT...]     (default: 1000 10000)
"""
import contextlib, imaplib, os, shutil, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from veve4d_server import SERVICE_KEY, Veve4d, free_port  # noqa: E402,F401  (the tests' own private veve4d)
SEARCHES = ["FLAGGED", 'FROM "Chancellor"', 'SUBJECT "budget"', 'BODY "zanzibar"', 'TEXT "zanzibar"',
            "SINCE 1-Jun-2024"]
REPEATS = 5


def connect(port, user, password):
    for _ in range(100):
        try:
            m = imaplib.IMAP4("127.0.0.1", port)
            m.login(user, password)
            return m
        except (OSError, imaplib.IMAP4.error):
            time.sleep(0.1)
    raise SystemExit(f"no server on port {port}")


@contextlib.contextmanager
def private_servers(root, keep_root=False):
    """A list to put the started servers in: all are stopped at the end, Dovecot's log is shown
    after a failure, and root is removed unless kept."""
    servers = []
    try:
        yield servers
    except Exception:
        if os.path.exists(f"{root}/dovecot.log"):
            print(open(f"{root}/dovecot.log").read()[-3000:], file=sys.stderr)
        raise
    finally:
        for server in servers:
            server.terminate()
            server.wait()
        if not keep_root:
            shutil.rmtree(root, ignore_errors=True)


def start_veve4d(binary, root, extra=""):
    """veve4d on ROOT, its user bench (password pw) with mail in ROOT/users/bench; the process and port."""
    server = Veve4d(binary, root, extra, domain="bench.local", log=None)
    server.add_user("bench", "pw")
    return server.start().process, server.port


def start_dovecot(root, maildir, extra=""):
    port = free_port()
    conf = f"{root}/dovecot.conf"
    with open(conf, "w") as f:
        f.write(f"""base_dir = {root}/run
state_dir = {root}/state
log_path = {root}/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:{maildir}:INDEX={root}/index
passdb {{
  driver = static
  args = password=pw
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={root}/home
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service pop3-login {{
  inet_listener pop3 {{
    port = 0
  }}
}}
{extra}""")
    # Dovecot will not serve mail as root: the mail belongs to nobody, in a tree nobody can enter.
    os.chmod(root, 0o755)
    for top in (maildir, f"{root}/index", f"{root}/home"):
        os.makedirs(top, exist_ok=True)
        shutil.chown(top, "nobody", "nogroup")
        for base, dirs, files in os.walk(top):
            for name in dirs + files:
                shutil.chown(os.path.join(base, name), "nobody", "nogroup")
    server = subprocess.Popen(["dovecot", "-F", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return server, port


def measure_both(servers, binary, root, measure):
    """Starts veve4d on root's users and Dovecot on root/maildir, and runs measure(m) on each one's
    INBOX of the user bench: {"veve4d": ..., "dovecot": ...}."""
    veve, veve_port = start_veve4d(binary, root)
    servers.append(veve)
    dove, dove_port = start_dovecot(root, f"{root}/maildir")
    servers.append(dove)
    results = {}
    for name, port in (("veve4d", veve_port), ("dovecot", dove_port)):
        m = connect(port, "bench", "pw")
        m.select("INBOX")
        results[name] = measure(m)
        m.logout()
    return results


def timed(m, criteria):
    start = time.perf_counter()
    typ, data = m.search(None, criteria)
    elapsed = time.perf_counter() - start
    if typ != "OK":
        raise SystemExit(f"SEARCH {criteria}: {typ} {data}")
    return elapsed, len(data[0].split())


def measure(m):
    results = {}
    for criteria in SEARCHES:
        first, count = timed(m, criteria)
        repeated = statistics.median(timed(m, criteria)[0] for _ in range(REPEATS))
        results[criteria] = (first, repeated, count)
    return results


def bench(binary, count):
    root = tempfile.mkdtemp(prefix="veve4d-search-bench-")
    with private_servers(root) as servers:
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", str(count), f"{root}/users/bench/inbox",
                        f"{root}/maildir"], check=True)
        results = measure_both(servers, binary, root, measure)
        print(f"\n{count} messages: first / repeated (median of {REPEATS}), ms; ratio veve4d/Dovecot")
        print(f"{'search':22} {'hits':>5} {'veve4d':>15} {'dovecot':>15} {'ratio':>13}")
        for criteria in SEARCHES:
            vf, vr, vc = results["veve4d"][criteria]
            df, dr, dc = results["dovecot"][criteria]
            hits = f"{vc}" if vc == dc else f"{vc}!={dc}"
            print(f"{criteria:22} {hits:>5} {vf * 1000:7.1f}/{vr * 1000:7.1f} {df * 1000:7.1f}/{dr * 1000:7.1f} "
                  f"{vf / df:6.2f}/{vr / dr:6.2f}")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    for count in [int(a) for a in sys.argv[2:]] or [1000, 10000]:
        bench(binary, count)


if __name__ == "__main__":
    main()
