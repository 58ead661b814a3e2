#!/usr/bin/env python3
"""MIME structure side by side with Dovecot over loopback: BODYSTRUCTURE of every message of a
mailbox of real-world shapes (bench/gen_dataset.py), and BODY[1.2] of a 20 MB message whose
second inner part sits before a large attachment. Each FETCH runs first (Dovecot's cache cold)
and then repeatedly; the table gives wall times and veve4d/Dovecot ratios (below 1: veve4d faster).

    bench/mime_bench.py build/veve4d [COUNT]     (default: 10000)
"""
import os, shutil, statistics, subprocess, sys, tempfile, time
from email import policy
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from search_bench import connect, private_servers, start_dovecot, start_veve4d  # noqa: E402

REPEATS = 3


def timed(m, message_set, item):
    start = time.perf_counter()
    typ, data = m.fetch(message_set, item)
    elapsed = time.perf_counter() - start
    if typ != "OK":
        raise SystemExit(f"FETCH {message_set} {item}: {typ} {data}")
    size = sum(len(part[1]) if isinstance(part, tuple) else len(part) for part in data)
    return elapsed, size


def big_message():
    m = EmailMessage(policy=policy.SMTP)
    m["Subject"] = "a big one"
    m["From"] = "Big Sender <big@example.org>"
    m.set_content("The text.\n" * 20)
    m.add_alternative("<p>The <b>html</b>.</p>\n" * 20, subtype="html")
    m.add_attachment(os.urandom(15 * 1024 * 1024), maintype="application", subtype="octet-stream",
                     filename="big.bin")
    return m.as_bytes()


def run(binary, root, tests):
    with private_servers(root, keep_root=True) as servers:
        veve, veve_port = start_veve4d(binary, root)
        servers.append(veve)
        dove, dove_port = start_dovecot(root, f"{root}/maildir")
        servers.append(dove)
        results = {}
        for name, port in (("veve4d", veve_port), ("dovecot", dove_port)):
            m = connect(port, "bench", "pw")
            m.select("INBOX")
            results[name] = []
            for message_set, item in tests:
                first, size = timed(m, message_set, item)
                repeated = statistics.median(timed(m, message_set, item)[0] for _ in range(REPEATS))
                results[name].append((first, repeated, size))
            m.logout()
        for i, (message_set, item) in enumerate(tests):
            vf, vr, vs = results["veve4d"][i]
            df, dr, ds = results["dovecot"][i]
            print(f"FETCH {message_set} {item:16} bytes {vs}/{ds}  veve4d {vf * 1000:8.1f}/{vr * 1000:8.1f} ms  "
                  f"dovecot {df * 1000:8.1f}/{dr * 1000:8.1f} ms  ratio {vf / df:6.2f}/{vr / dr:6.2f}")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    print("first / repeated (median of %d); ratio veve4d/Dovecot" % REPEATS)
    root = tempfile.mkdtemp(prefix="veve4d-mime-bench-")
    try:
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", str(count), f"{root}/users/bench/inbox",
                        f"{root}/maildir"], check=True)
        run(binary, root, [("1:*", "BODYSTRUCTURE")])
    finally:
        shutil.rmtree(root, ignore_errors=True)
    root = tempfile.mkdtemp(prefix="veve4d-mime-bench-")
    try:
        raw = big_message()
        os.makedirs(f"{root}/users/bench/inbox")
        for d in ("cur", "new", "tmp"):
            os.makedirs(f"{root}/maildir/{d}")
        with open(f"{root}/users/bench/inbox/0000000001-000010.MSG", "wb") as f:
            f.write(raw)
        with open(f"{root}/users/bench/inbox/uid", "w") as f:
            f.write("2")
        with open(f"{root}/maildir/cur/1.big:2,S", "wb") as f:
            f.write(raw)
        run(binary, root, [("1", "(BODY.PEEK[1.2])"), ("1", "(BODYSTRUCTURE)")])
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
