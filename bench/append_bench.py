#!/usr/bin/env python3
"""The cost of waiting for the disk on APPEND, side by side with Dovecot over loopback: one
session appends COUNT messages of 4 KB one after the other, with veve4d's MailFsync "always" and
"never" and Dovecot's mail_fsync "optimized" (its default) and "never". The table gives the time
per APPEND and the veve4d/Dovecot ratios (below 1: veve4d faster).

    bench/append_bench.py build/veve4d [COUNT]     (default 300)
"""
import os, shutil, statistics, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import search_bench  # noqa: E402  (its private-server helpers)

MESSAGE = (b"From: a@example.org\r\nTo: b@example.org\r\nSubject: append bench\r\n\r\n" +
           b"".join(b"line %04d of a message body that is about four kilobytes long.....\r\n" % i
                    for i in range(56)))


def start_veve4d(binary, root, fsync):
    return search_bench.start_veve4d(binary, root, f'{search_bench.SERVICE_KEY}"MailFsync"="{fsync}"\n')


def start_dovecot(root, fsync):
    return search_bench.start_dovecot(root, f"{root}/maildir", f"mail_fsync = {fsync}\n")


def run(port, user, count):
    m = search_bench.connect(port, user, "pw")
    times = []
    for _ in range(count):
        t = time.perf_counter()
        typ, _ = m.append("INBOX", None, None, MESSAGE)
        times.append(time.perf_counter() - t)
        if typ != "OK":
            raise SystemExit("APPEND refused")
    m.logout()
    return statistics.median(times) * 1000, sum(times) * 1000 / count


def main():
    binary = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    results = {}
    for name, start, user in (("veve4d always", lambda r: start_veve4d(binary, r, "always"), "bench"),
                              ("veve4d never", lambda r: start_veve4d(binary, r, "never"), "bench"),
                              ("dovecot optimized", lambda r: start_dovecot(r, "optimized"), "bench"),
                              ("dovecot never", lambda r: start_dovecot(r, "never"), "bench")):
        root = tempfile.mkdtemp(prefix="veve4d-append-bench-")
        server, port = start(root)
        try:
            results[name] = run(port, user, count)
        finally:
            server.terminate()
            server.wait()
            shutil.rmtree(root, ignore_errors=True)
    print(f"{count} APPENDs of {len(MESSAGE)} bytes, one session: ms per APPEND")
    print(f"{'server':20} {'median':>8} {'mean':>8}")
    for name, (median, mean) in results.items():
        print(f"{name:20} {median:8.3f} {mean:8.3f}")
    va, vn = results["veve4d always"][1], results["veve4d never"][1]
    da, dn = results["dovecot optimized"][1], results["dovecot never"][1]
    print(f"cost of fsync (mean, synced/unsynced): veve4d {va / vn:.2f}x, Dovecot {da / dn:.2f}x")
    print(f"ratio veve4d/Dovecot: synced {va / da:.2f}, unsynced {vn / dn:.2f}")


if __name__ == "__main__":
    main()
