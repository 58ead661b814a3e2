#!/usr/bin/env python3
"""The large-mailbox scenarios side by side with a private Dovecot over loopback, on the same mail
(bench/gen_dataset.py): FETCH 1:* (FLAGS UID RFC822.SIZE), FETCH 1:* of four header fields (first
and repeated), BODY[] and BINARY[] of a 20 MB message in clear text and under TLS, BODY[1.2] of a
multipart message with a large attachment, STORE, sessions (LOGIN, SELECT, LOGOUT), NOOP and
APPEND round trips, and the memory of an idle selected session. Ratios are veve4d/Dovecot of the
time per operation (below 1: veve4d faster). Beside each time, the server's CPU per operation
(user and system time of its whole process tree from /proc/PID/stat, so Dovecot's login, auth
and imap processes all count, and so does a veve4d thread that has ended), with its ratio.
100,000 and more use the small profile.

    bench/perf_bench.py [--sessions ROUNDS] [--users N] build/veve4d[,OTHER_BUILD/veve4d...] [COUNT...]
                                                             (default: 1000 10000)

--sessions runs the session scenario alone, ROUNDS sessions for each server; --users N puts N other
accounts before the bench user's in veve4d's user file.

Several binaries, separated by commas, each run on the same mail beside the same Dovecot.
"""
import os, random, socket, ssl, statistics, subprocess, sys, tempfile, time
from email import policy
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import search_bench  # noqa: E402  (the two servers' set-up)
from view_bench import imap_pids, rss_kb  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from flood_tools import make_certificate  # noqa: E402
from veve4d_server import free_port  # noqa: E402

ROUNDS = 500
SESSIONS = 5
BIG = 20 * 1024 * 1024
NO_TRACE = '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"ConsoleTrace"=dword:00000000\n'


class Client:
    """Reads whole answers in large blocks, so that the client costs little next to the server."""

    def __init__(self, port, tls=False):
        self.sock = socket.create_connection(("127.0.0.1", port))
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            self.sock = ctx.wrap_socket(self.sock)
        self.tag = 0
        self.buf = bytearray()
        while b"\r\n" not in self.buf:
            self.buf += self.sock.recv(65536)
        self.buf.clear()

    def command(self, text, literal=None):
        self.tag += 1
        tag = b"Q%06d " % self.tag
        if literal is None:
            self.sock.sendall(tag + text.encode() + b"\r\n")
        else:
            self.sock.sendall(tag + text.encode() + b" {%d+}\r\n" % len(literal) + literal + b"\r\n")
        buf = self.buf
        chunk = bytearray(1 << 20)
        while True:
            if buf.endswith(b"\r\n"):
                start = buf.rfind(b"\r\n", 0, len(buf) - 2)
                start = 0 if start < 0 else start + 2
                if buf.startswith(tag, start):
                    if not buf.startswith(tag + b"OK", start):
                        raise SystemExit(f"{text}: {bytes(buf[start:])!r}")
                    size = len(buf)
                    buf.clear()
                    return size
            n = self.sock.recv_into(chunk)
            if n == 0:
                raise SystemExit("connection closed")
            buf += chunk[:n]

    def close(self):
        self.sock.close()


CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def tree_cpu_ms(root_pid):
    """User and system time of the process and all its descendants, with the children they reaped."""
    parents, times = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = open(f"/proc/{entry}/stat").read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        parents[int(entry)] = int(fields[1])
        times[int(entry)] = sum(int(f) for f in fields[11:15])
    total, todo = 0, [root_pid]
    while todo:
        pid = todo.pop()
        total += times.get(pid, 0)
        todo.extend(child for child, parent in parents.items() if parent == pid)
    return total * 1000 / CLOCK_TICK


class Timer:
    """Wall time and the server's CPU time per operation of what runs between start and stop."""

    def __init__(self, server_pid):
        self.server_pid = server_pid

    def per_op(self, fn, rounds):
        cpu = tree_cpu_ms(self.server_pid)
        start = time.perf_counter()
        for i in range(rounds):
            fn(i)
        wall = (time.perf_counter() - start) * 1000 / rounds
        return wall, (tree_cpu_ms(self.server_pid) - cpu) / rounds

    def median(self, fn, rounds):
        times = []
        cpu = tree_cpu_ms(self.server_pid)
        for _ in range(rounds):
            start = time.perf_counter()
            fn()
            times.append((time.perf_counter() - start) * 1000)
        return statistics.median(times), (tree_cpu_ms(self.server_pid) - cpu) / rounds


def multipart_message():
    """Text and HTML alternatives before a 2 MB attachment: its part 1.2 is the HTML."""
    m = EmailMessage(policy=policy.SMTP)
    m["From"] = "Sender <sender@example.org>"
    m["To"] = "Team <team@example.net>"
    m["Subject"] = "Report with attachment"
    text = "".join(f"Line {n} of the report, with a few words.\n" for n in range(40))
    m.set_content(text)
    m.add_alternative("<html><body><pre>" + text + "</pre></body></html>\n", subtype="html")
    m.add_attachment(random.Random(3).randbytes(2 * 1024 * 1024), maintype="application",
                     subtype="octet-stream", filename="data.bin")
    return m.as_bytes()


def measure(name, port, tls_port, server_pid, count):
    results = {}
    timer = Timer(server_pid)
    c = Client(port)
    c.command("LOGIN bench pw")
    c.command("SELECT INBOX")
    results["FETCH 1:* FLAGS UID SIZE, ms"] = timer.median(lambda: c.command("FETCH 1:* (FLAGS UID RFC822.SIZE)"), 5)
    fields = "FETCH 1:* (BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT DATE)])"
    results["FETCH 1:* header fields, first ms"] = timer.median(lambda: c.command(fields), 1)
    results["FETCH 1:* header fields, again ms"] = timer.median(lambda: c.command(fields), 3)
    rng = random.Random(7)
    results["STORE, ms each"] = timer.per_op(
        lambda i: c.command("STORE %d %sFLAGS (\\Flagged)" % (rng.randint(1, count), "+-"[i % 2])), ROUNDS)
    results["NOOP, ms each"] = timer.per_op(lambda i: c.command("NOOP"), ROUNDS)
    c.command("SELECT appendbox")
    message = b"From: a@example.org\r\nSubject: appended\r\n\r\n" + b"A line of text.\r\n" * 40
    results["APPEND, ms each"] = timer.per_op(lambda i: c.command("APPEND appendbox", message), ROUNDS // 2)
    c.command("SELECT parts")
    c.command("FETCH 1 (BODY.PEEK[1.2])")
    results["BODY[1.2] of 2.7 MB, ms each"] = timer.per_op(lambda i: c.command("FETCH 1 (BODY.PEEK[1.2])"), ROUNDS)
    c.command("LOGOUT")
    c.close()

    for label, tls, where in (("", False, port), (" TLS", True, tls_port)):
        c = Client(where, tls)
        c.command("LOGIN bench pw")
        c.command("SELECT big")
        for item in ("BODY.PEEK[]", "BINARY.PEEK[]"):
            size = c.command(f"FETCH 1 ({item})")
            if size < BIG:
                raise SystemExit(f"{name}: {item} answered {size} bytes")
            results[f"{item.replace('.PEEK', '')} 20 MB{label}, ms"] = timer.median(
                lambda: c.command(f"FETCH 1 ({item})"), 5)
        c.command("LOGOUT")
        c.close()

    results.update(measure_sessions(port, server_pid, 30))
    pids = imap_pids(server_pid, name)
    before = rss_kb(pids)
    idle = []
    for _ in range(SESSIONS):
        s = Client(port)
        s.command("LOGIN bench pw")
        s.command("SELECT INBOX")
        idle.append(s)
    time.sleep(0.2)
    results["KiB per idle selected session"] = ((rss_kb(imap_pids(server_pid, name)) - before) / SESSIONS, None)
    for s in idle:
        s.close()
    return results


def measure_sessions(port, server_pid, rounds):
    """Whole sessions one after another: connect, greeting, LOGIN, SELECT INBOX, LOGOUT."""
    def session(_):
        s = Client(port)
        s.command("LOGIN bench pw")
        s.command("SELECT INBOX")
        s.command("LOGOUT")
        s.close()

    return {"session, ms each": Timer(server_pid).per_op(session, rounds)}


def start_dovecot_tls(root, maildir):
    """A certificate under ROOT and a private Dovecot on MAILDIR with an implicit-TLS port beside its
    clear one, ready for logins: (chain, key, process, port, TLS port)."""
    chain, key = make_certificate(root)
    tls_port = free_port()
    dove, port = search_bench.start_dovecot(root, maildir, f"""ssl = yes
ssl_cert = <{chain}
ssl_key = <{key}
service imap-login {{
  inet_listener imaps {{
    address = 127.0.0.1
    port = {tls_port}
  }}
}}
""")
    try:
        search_bench.connect(port, "bench", "pw").logout()
    except BaseException:
        dove.terminate()
        raise
    return chain, key, dove, port, tls_port


def add_filler_users(root, users):
    """USERS other accounts before the bench user's in veve4d's user file, as a site with many has."""
    import base64, glob
    for path in glob.glob(f"{root}/**/accounts/bench.local.idx", recursive=True):
        own = open(path, "rb").read()
        with open(path + ".new", "wb") as f:
            f.write(b"".join(base64.b64encode(f"user{n}\tpw{n}\t\t\t{root}/users/user{n}".encode()) + b"\n"
                             for n in range(users)) + own)
        os.rename(path + ".new", path)


def bench(binaries, count, session_rounds=None, filler_users=0):
    root = tempfile.mkdtemp(prefix="veve4d-perf-bench-")
    with search_bench.private_servers(root) as servers:
        users, maildir = f"{root}/users", f"{root}/maildir"
        profile = ["--small"] if count >= 100000 else []
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", *profile, str(count), f"{users}/bench/inbox",
                        maildir], check=True)
        line = b"x" * 98 + b"\r\n"
        big = b"From: a@example.org\r\nSubject: big\r\n\r\n" + line * (BIG // len(line))
        for folder, content in (("appendbox", None), ("big", big), ("parts", multipart_message())):
            os.makedirs(f"{users}/bench/{folder}")
            for sub in ("cur", "new", "tmp"):
                os.makedirs(f"{maildir}/.{folder}/{sub}")
            if content is None:
                continue
            for path in (f"{users}/bench/{folder}/0000000001-000010.MSG",
                         f"{maildir}/.{folder}/cur/1600000000.M1P1.bench,S={len(content)}:2,S"):
                with open(path, "wb") as f:
                    f.write(content)
        chain, key, dove, dove_port, dove_tls_port = start_dovecot_tls(root, maildir)
        servers.append(dove)
        def run(name, port, tls_port, pid):
            if session_rounds:
                return measure_sessions(port, pid, session_rounds)
            return measure(name, port, tls_port, pid, count)

        results = {"dovecot": run("dovecot", dove_port, dove_tls_port, dove.pid)}
        for i, binary in enumerate(binaries):
            # As a service runs: no console trace (a build without the switch ignores it).
            veve_tls_port = free_port()
            veve, veve_port = search_bench.start_veve4d(
                binary, root, NO_TRACE + f'"TlsPortNo"=dword:{veve_tls_port:08x}\n'
                f'"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n')
            if filler_users:
                add_filler_users(root, filler_users)
            search_bench.connect(veve_port, "bench", "pw").logout()
            results[f"veve4d#{i + 1}"] = run("veve4d", veve_port, veve_tls_port, veve.pid)
            veve.terminate()
            veve.wait()
        names = [f"veve4d#{i + 1}" for i in range(len(binaries))]
        print(f"\n{count} messages; ratio veve4d/Dovecot (below 1: veve4d better); "
              f"load average {open('/proc/loadavg').read().split()[0]}")
        for i, binary in enumerate(binaries):
            print(f"  veve4d#{i + 1}: {binary}")
        print(f"{'measure':36} {'dovecot':>10} {'cpu ms':>7}" +
              "".join(f" {n:>10} {'ratio':>6} {'cpu ms':>7} {'ratio':>6}" for n in names))
        for key in results["dovecot"]:
            d, dc = results["dovecot"][key]
            row = f"{key:36} {d:10.2f} {dc if dc is not None else float('nan'):7.2f}"
            for n in names:
                v, vc = results[n][key]
                row += f" {v:10.2f} {v / d if d else float('nan'):6.2f}"
                if vc is None:
                    row += f" {'':7} {'':6}"
                else:
                    row += f" {vc:7.2f} {vc / dc if dc else float('nan'):6.2f}"
            print(row)
        sys.stdout.flush()


def main():
    args = sys.argv[1:]
    session_rounds = None
    users = 0
    while args[:1] in (["--sessions"], ["--users"]):
        if args[0] == "--sessions":
            session_rounds = int(args[1])
        else:
            users = int(args[1])
        args = args[2:]
    binaries = [os.path.abspath(b) for b in (args[0] if args else "build/veve4d").split(",")]
    for count in [int(a) for a in args[1:]] or [1000, 10000]:
        bench(binaries, count, session_rounds, users)


if __name__ == "__main__":
    main()
