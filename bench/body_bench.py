#!/usr/bin/env python3
"""BODY[] and BINARY[] of a 20 MB message, clear text and TLS, side by side with a private Dovecot
over loopback. The reading is done by bench/body_client (C++, built with the project), which skips
a literal's bytes without looking at them, so that the client is not the limit. Each figure is the
median of REPEATS fetches; the servers take turns fetch by fetch, so that both see the same load.
Throughput ratio veve4d/Dovecot (above 1: veve4d faster), and the servers' CPU
per fetch.

    bench/body_bench.py build/veve4d [build/bench/body_client] [PASSES]
"""
import os, statistics, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import search_bench  # noqa: E402  (the two servers' set-up)
from perf_bench import NO_TRACE, start_dovecot_tls, tree_cpu_ms  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from veve4d_server import free_port  # noqa: E402

BIG = 20 * 1024 * 1024
REPEATS = 20
ITEMS = ("BODY.PEEK[]", "BINARY.PEEK[]")


def fetch_both(client, ends, tls, item):
    """{name: (median MB/s, server CPU ms per fetch)} from one client fetching from every server
    in turn."""
    ports = {(tls_port if tls else port): name for name, (port, tls_port, pid) in ends.items()}
    cpu = {name: tree_cpu_ms(pid) for name, (port, tls_port, pid) in ends.items()}
    out = subprocess.run([client, "tls" if tls else "clear", "bench", "pw", "big", f"FETCH 1 ({item})", str(REPEATS),
                          *map(str, ports)], check=True, capture_output=True, text=True).stdout.split("\n")
    cpu = {name: tree_cpu_ms(pid) - cpu[name] for name, (port, tls_port, pid) in ends.items()}
    times = {name: [] for name in ends}
    for line in filter(None, out):
        port, ms, size = line.split()
        if int(size) < BIG:
            raise SystemExit(f"{item} on port {port}: {size} bytes")
        times[ports[int(port)]].append((int(size), float(ms)))
    # The client's warm-up fetch counts in the CPU: one more per server.
    return {name: (statistics.median(size / ms / 1000 for size, ms in times[name]), cpu[name] / (REPEATS + 1))
            for name in ends}


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    client = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(binary), "bench",
                                                                                 "body_client"))
    passes = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    root = tempfile.mkdtemp(prefix="veve4d-body-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    with search_bench.private_servers(root) as servers:
        users, maildir = f"{root}/users", f"{root}/maildir"
        line = b"x" * 98 + b"\r\n"
        big = b"From: a@example.org\r\nSubject: big\r\n\r\n" + line * (BIG // len(line))
        os.makedirs(f"{users}/bench/inbox")
        os.makedirs(f"{users}/bench/big")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(f"{maildir}/cur", exist_ok=True)
            os.makedirs(f"{maildir}/{sub}", exist_ok=True)
            os.makedirs(f"{maildir}/.big/{sub}")
        for path in (f"{users}/bench/big/0000000001-000010.MSG",
                     f"{maildir}/.big/cur/1600000000.M1P1.bench,S={len(big)}:2,S"):
            with open(path, "wb") as f:
                f.write(big)
        chain, key, dove, dove_port, dove_tls_port = start_dovecot_tls(root, maildir)
        servers.append(dove)
        veve_tls_port = free_port()
        veve, veve_port = search_bench.start_veve4d(
            binary, root, NO_TRACE + f'"TlsPortNo"=dword:{veve_tls_port:08x}\n'
            f'"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n')
        servers.append(veve)
        search_bench.connect(veve_port, "bench", "pw").logout()
        ends = {"veve4d": (veve_port, veve_tls_port, veve.pid), "dovecot": (dove_port, dove_tls_port, dove.pid)}
        for n in range(passes):
            print(f"\npass {n + 1}: 20 MB, median of {REPEATS}; load average "
                  f"{open('/proc/loadavg').read().split()[0]}")
            print(f"{'fetch':22} {'veve4d MB/s':>11} {'cpu ms':>7} {'dovecot MB/s':>12} {'cpu ms':>7} "
                  f"{'speed ratio':>11} {'cpu ratio':>9}")
            for tls in (False, True):
                for item in ITEMS:
                    got = fetch_both(client, ends, tls, item)
                    (v, vc), (d, dc) = got["veve4d"], got["dovecot"]
                    label = item.replace(".PEEK", "") + (" TLS" if tls else "")
                    print(f"{label:22} {v:11.0f} {vc:7.1f} {d:12.0f} {dc:7.1f} {v / d:11.2f} "
                          f"{vc / dc if dc else float('nan'):9.2f}  (load {open('/proc/loadavg').read().split()[0]})")
                    sys.stdout.flush()


if __name__ == "__main__":
    main()
