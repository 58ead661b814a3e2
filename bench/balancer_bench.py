#!/usr/bin/env python3
"""APPEND rate of a cluster: CLIENTS sessions append 4 KB messages for SECONDS each, in three set-ups
on this one machine:
  local     one server on a local directory (the reference);
  one node  one server on a FUSE mount of a one-brick GlusterFS volume, clients straight to it;
  two nodes two servers on two mounts of that volume, clients through HAProxy (round-robin, PROXY v2);
and two loads: every session into one shared folder (the worst case: one uid file, one lock), and
each session as its own user (the usual case: nothing shared). Prints messages a second, the
median and 95th-percentile APPEND time and the refusals. Needs root, glusterd and haproxy, as the
cluster test does.

    bench/balancer_bench.py build/veve4d [CLIENTS [SECONDS]]     (default 8 clients, 10 s)
"""
import os
import re
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "cluster"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import cluster  # noqa: E402
import cluster_test  # noqa: E402
from imap_client import Imap, message  # noqa: E402
from veve4d_server import Veve4d  # noqa: E402

BENCH_USERS = [(f"bench{i}", "pw") for i in range(32)]


def load(ports, clients, seconds, shared):
    """(messages a second, median ms, p95 ms, refused) with clients sessions spread over ports."""
    times, refused, lock = [], [0], threading.Lock()
    end = time.monotonic() + seconds

    def session(i):
        user = "tester" if shared else BENCH_USERS[i][0]
        client = Imap(ports[i % len(ports)], f"127.0.0.{10 + i}", timeout=60)
        client.login(user, "pass" if shared else "pw")
        body, mine = message(f"bench-{i}", 4096), []
        while time.monotonic() < end:
            t = time.perf_counter()
            answer = client.append("bench", body)
            mine.append(time.perf_counter() - t)
            if not re.search(rb" OK ", answer):
                with lock:
                    refused[0] += 1
        client.close()
        with lock:
            times.extend(mine)

    users = ["tester"] if shared else [u for u, _ in BENCH_USERS[:clients]]
    for user in users:
        c = Imap(ports[0])
        c.login(user, "pass" if user == "tester" else "pw")
        c.command("CREATE bench")
        c.close()
    threads = [threading.Thread(target=session, args=(i,)) for i in range(clients)]
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    lasted = time.monotonic() - began
    ok = len(times) - refused[0]
    times.sort()
    p95 = times[int(len(times) * 0.95)] * 1000 if times else 0
    return ok / lasted, statistics.median(times) * 1000 if times else 0, p95, refused[0]


def add_bench_users(node):
    for name, password in BENCH_USERS:
        node.add_user(name, password)


def main():
    binary = os.path.realpath(sys.argv[1])
    clients = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    known, extra = cluster_test.registry(binary)
    rows = []

    with tempfile.TemporaryDirectory(prefix="veve4d-cluster-bench-") as work:
        node = Veve4d(binary, work, extra=cluster.SERVICE_KEY + '"ConsoleTrace"=dword:00000000\n', log=None)
        for name, password in cluster.USERS:
            node.add_user(name, password)
        add_bench_users(node)
        node.start()
        try:
            for shared in (True, False):
                rows.append(("local", shared, load([node.port], clients, seconds, shared)))
        finally:
            node.stop()

    with cluster.Cluster(binary, extra=extra, proxy=cluster_test.PROXY[0] in known,
                         prefix="veve4d-cluster-bench-") as c:
        for n in c.nodes:
            add_bench_users(n)
        for shared in (True, False):
            rows.append(("one node", shared, load([c.nodes[0].port], clients, seconds, shared)))
            rows.append(("two nodes", shared, load([c.balancer_port], clients, seconds, shared)))

    print(f"\n{clients} sessions, {seconds:g} s each, 4 KB messages"
          f"{'' if cluster_test.PROXY[0] in known else ' (no PROXY protocol: HAProxy sends none)'}")
    print(f"{'set-up':<10} {'load':<16} {'msgs/s':>8} {'median ms':>10} {'p95 ms':>8} {'refused':>8}")
    for name, shared, (rate, median, p95, refused) in rows:
        print(f"{name:<10} {'one folder' if shared else 'own user each':<16} {rate:8.1f} {median:10.1f} "
              f"{p95:8.1f} {refused:8d}")


if __name__ == "__main__":
    main()
