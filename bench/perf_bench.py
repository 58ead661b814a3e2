#!/usr/bin/env python3
"""The large-mailbox scenarios side by side with a private Dovecot over loopback, on the same mail
(bench/gen_dataset.py): FETCH 1:* (FLAGS UID RFC822.SIZE), FETCH 1:* of four header fields (first
and repeated), BODY[] of a 20 MB message, STORE, sessions (LOGIN, SELECT, LOGOUT), NOOP and APPEND
round trips, and the memory of an idle selected session. Ratios are veve4d/Dovecot of the time per
operation (below 1: veve4d faster). 100,000 and more use the small profile.

    bench/perf_bench.py build/veve4d[,OTHER_BUILD/veve4d...] [COUNT...]     (default: 1000 10000)

Several binaries, separated by commas, each run on the same mail beside the same Dovecot.
"""
import os, random, socket, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import search_bench  # noqa: E402  (the two servers' set-up)
from view_bench import imap_pids, rss_kb  # noqa: E402

ROUNDS = 200
SESSIONS = 5
BIG = 20 * 1024 * 1024
NO_TRACE = '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"ConsoleTrace"=dword:00000000\n'


class Client:
    """Reads whole answers in large blocks, so that the client costs little next to the server."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
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


def per_op_ms(fn, rounds):
    start = time.perf_counter()
    for i in range(rounds):
        fn(i)
    return (time.perf_counter() - start) * 1000 / rounds


def median_ms(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def measure(name, port, server_pid, count):
    results = {}
    c = Client(port)
    c.command("LOGIN bench pw")
    c.command("SELECT INBOX")
    results["FETCH 1:* FLAGS UID SIZE, ms"] = median_ms(lambda: c.command("FETCH 1:* (FLAGS UID RFC822.SIZE)"), 5)
    fields = "FETCH 1:* (BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT DATE)])"
    results["FETCH 1:* header fields, first ms"] = median_ms(lambda: c.command(fields), 1)
    results["FETCH 1:* header fields, again ms"] = median_ms(lambda: c.command(fields), 3)
    rng = random.Random(7)
    results["STORE, ms each"] = per_op_ms(
        lambda i: c.command("STORE %d %sFLAGS (\\Flagged)" % (rng.randint(1, count), "+-"[i % 2])), ROUNDS)
    results["NOOP, ms each"] = per_op_ms(lambda i: c.command("NOOP"), ROUNDS)
    c.command("SELECT appendbox")
    message = b"From: a@example.org\r\nSubject: appended\r\n\r\n" + b"A line of text.\r\n" * 40
    results["APPEND, ms each"] = per_op_ms(lambda i: c.command("APPEND appendbox", message), ROUNDS // 2)
    c.command("SELECT big")
    size = c.command("FETCH 1 (BODY.PEEK[])")
    if size < BIG:
        raise SystemExit(f"{name}: BODY[] answered {size} bytes")
    results["BODY[] 20 MB, ms"] = median_ms(lambda: c.command("FETCH 1 (BODY.PEEK[])"), 3)
    c.command("LOGOUT")
    c.close()

    def session(_):
        s = Client(port)
        s.command("LOGIN bench pw")
        s.command("SELECT INBOX")
        s.command("LOGOUT")
        s.close()

    results["session, ms each"] = per_op_ms(session, 30)
    pids = imap_pids(server_pid, name)
    before = rss_kb(pids)
    idle = []
    for _ in range(SESSIONS):
        s = Client(port)
        s.command("LOGIN bench pw")
        s.command("SELECT INBOX")
        idle.append(s)
    time.sleep(0.2)
    results["KiB per idle selected session"] = (rss_kb(imap_pids(server_pid, name)) - before) / SESSIONS
    for s in idle:
        s.close()
    return results


def bench(binaries, count):
    root = tempfile.mkdtemp(prefix="veve4d-perf-bench-")
    with search_bench.private_servers(root) as servers:
        users, maildir = f"{root}/users", f"{root}/maildir"
        profile = ["--small"] if count >= 100000 else []
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", *profile, str(count), f"{users}/bench/inbox",
                        maildir], check=True)
        os.makedirs(f"{users}/bench/appendbox")
        os.makedirs(f"{users}/bench/big")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(f"{maildir}/.appendbox/{sub}")
            os.makedirs(f"{maildir}/.big/{sub}")
        line = b"x" * 98 + b"\r\n"
        big = b"From: a@example.org\r\nSubject: big\r\n\r\n" + line * (BIG // len(line))
        for path in (f"{users}/bench/big/0000000001-000010.MSG", f"{maildir}/.big/cur/1600000000.M1P1.bench:2,S"):
            with open(path, "wb") as f:
                f.write(big)
        dove, dove_port = search_bench.start_dovecot(root, maildir)
        servers.append(dove)
        search_bench.connect(dove_port, "bench", "pw").logout()
        results = {"dovecot": measure("dovecot", dove_port, dove.pid, count)}
        for i, binary in enumerate(binaries):
            # As a service runs: no console trace (a build without the switch ignores it).
            veve, veve_port = search_bench.start_veve4d(binary, root, NO_TRACE)
            search_bench.connect(veve_port, "bench", "pw").logout()
            results[f"veve4d#{i + 1}"] = measure("veve4d", veve_port, veve.pid, count)
            veve.terminate()
            veve.wait()
        names = [f"veve4d#{i + 1}" for i in range(len(binaries))]
        print(f"\n{count} messages; ratio veve4d/Dovecot (below 1: veve4d better)")
        for i, binary in enumerate(binaries):
            print(f"  veve4d#{i + 1}: {binary}")
        print(f"{'measure':36} {'dovecot':>10}" + "".join(f" {n:>10} {'ratio':>6}" for n in names))
        for key in results["dovecot"]:
            d = results["dovecot"][key]
            row = f"{key:36} {d:10.2f}"
            for n in names:
                v = results[n][key]
                row += f" {v:10.2f} {v / d if d else float('nan'):6.2f}"
            print(row)
        sys.stdout.flush()


def main():
    binaries = [os.path.abspath(b) for b in (sys.argv[1] if len(sys.argv) > 1 else "build/veve4d").split(",")]
    for count in [int(a) for a in sys.argv[2:]] or [1000, 10000]:
        bench(binaries, count)


if __name__ == "__main__":
    main()
