#!/usr/bin/env python3
"""Sessions on one mailbox side by side with Dovecot over loopback, on the same mail
(bench/gen_dataset.py): NOOP round trips with and without a change by another session, FETCH 1:*
(FLAGS), the time from a file delivered into the mailbox to the EXISTS an idling client sees, and
the memory each further selected session costs. Ratios are veve4d/Dovecot (below 1: veve4d
better).

    bench/view_bench.py build/veve4d [COUNT...]     (default: 1000 10000 100000)
"""
import os, shutil, socket, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import search_bench  # noqa: E402  (the two servers' set-up)

ROUNDS = 30
SESSIONS = 5  # Dovecot's default allows ten connections of one user from one address


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.reader = self.sock.makefile("rb")
        self.tag = 0
        self.line()
        self.command("LOGIN bench pw")

    def line(self):
        line = self.reader.readline()
        if not line:
            raise SystemExit("connection closed")
        return line.rstrip(b"\r\n")

    def command(self, text):
        self.tag += 1
        tag = b"b%d" % self.tag
        self.sock.sendall(tag + b" " + text.encode() + b"\r\n")
        lines = []
        while True:
            line = self.line()
            # Literals inside FETCH answers are not asked for here.
            if line.startswith(tag + b" "):
                if not line.startswith(tag + b" OK"):
                    raise SystemExit(f"{text}: {line!r}")
                return lines
            lines.append(line)


def median_ms(fn, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def rss_kb(pids):
    total = 0
    for pid in pids:
        try:
            for line in open(f"/proc/{pid}/status"):
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def imap_pids(server_pid, binary_name):
    if binary_name == "veve4d":
        return [server_pid]
    out = subprocess.run(["pgrep", "-f", "dovecot/imap$"], capture_output=True, text=True).stdout.split()
    # Only the imap processes of this private instance: children of its master.
    mine = []
    for pid in out:
        try:
            if open(f"/proc/{pid}/stat").read().split()[3] == str(server_pid):
                mine.append(int(pid))
        except OSError:
            pass
    return mine


def idle_latency(port, deliver):
    c = Client(port)
    lines = c.command("SELECT INBOX")
    exists = [l for l in lines if l.endswith(b" EXISTS")][0]
    count = int(exists.split()[1])
    c.sock.sendall(b"i IDLE\r\n")
    assert c.line().startswith(b"+")
    time.sleep(0.2)
    start = time.perf_counter()
    deliver(count + 1)
    while True:
        line = c.line()
        if line.endswith(b" EXISTS") and int(line.split()[1]) > count:
            break
    elapsed = (time.perf_counter() - start) * 1000
    c.sock.sendall(b"DONE\r\n")
    c.line()
    c.sock.close()
    return elapsed


def measure(name, port, server_pid, deliver):
    a, b = Client(port), Client(port)
    a.command("SELECT INBOX")
    b.command("SELECT INBOX")
    results = {}
    results["NOOP"] = median_ms(lambda: a.command("NOOP"))
    flag = [False]

    def changed_noop():
        flag[0] = not flag[0]
        b.command("STORE 1 %sFLAGS.SILENT (\\Flagged)" % ("+" if flag[0] else "-"))
        start = time.perf_counter()
        a.command("NOOP")
        return time.perf_counter() - start

    results["NOOP after a change"] = statistics.median(changed_noop() for _ in range(ROUNDS)) * 1000
    results["FETCH 1:* (FLAGS)"] = median_ms(lambda: a.command("FETCH 1:* (FLAGS)"), 5)
    pids = imap_pids(server_pid, name)
    before = rss_kb(pids)
    extra = [Client(port) for _ in range(SESSIONS)]
    for c in extra:
        c.command("SELECT INBOX")
    after = rss_kb(imap_pids(server_pid, name))
    results["KiB per selected session"] = (after - before) / SESSIONS
    for c in extra:
        c.sock.close()
    results["IDLE: delivery to EXISTS"] = statistics.median(idle_latency(port, deliver) for _ in range(3))
    return results


def bench(binary, count):
    root = tempfile.mkdtemp(prefix="veve4d-view-bench-")
    with search_bench.private_servers(root) as servers:
        inbox = f"{root}/users/bench/inbox"
        # What the messages hold matters to none of these measures: the large mailbox takes the
        # quick profile.
        small = ["--small"] if count >= 100000 else []
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", *small, str(count), inbox, f"{root}/maildir"], check=True)
        veve, veve_port = search_bench.start_veve4d(binary, root)
        servers.append(veve)
        dove, dove_port = search_bench.start_dovecot(root, f"{root}/maildir")
        servers.append(dove)
        text = b"Subject: new\r\n\r\nnew\r\n"
        serial = [0]

        def deliver_veve4d(_):
            serial[0] += 1
            uid = 1000000 + serial[0]
            path = f"{inbox}/{uid:010d}-100000.MSG"
            with open(path + ".tmp", "wb") as f:
                f.write(text)
            os.rename(path + ".tmp", path)

        def deliver_dovecot(_):
            serial[0] += 1
            name = f"{int(time.time())}.M{serial[0]}P9.bench"
            path = f"{root}/maildir/tmp/{name}"
            with open(path, "wb") as f:
                f.write(text)
            shutil.chown(path, "nobody", "nogroup")
            os.rename(path, f"{root}/maildir/new/{name}")

        for port in (veve_port, dove_port):
            search_bench.connect(port, "bench", "pw").logout()
        results = {"veve4d": measure("veve4d", veve_port, veve.pid, deliver_veve4d),
                   "dovecot": measure("dovecot", dove_port, dove.pid, deliver_dovecot)}
        print(f"\n{count} messages: medians; ratio veve4d/Dovecot")
        print(f"{'measure':28} {'veve4d':>10} {'dovecot':>10} {'ratio':>7}")
        for key in results["veve4d"]:
            v, d = results["veve4d"][key], results["dovecot"][key]
            print(f"{key:28} {v:10.2f} {d:10.2f} {v / d if d else float('nan'):7.2f}")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    for count in [int(a) for a in sys.argv[2:]] or [1000, 10000, 100000]:
        bench(binary, count)


if __name__ == "__main__":
    main()
