#!/usr/bin/env python3
"""Thousands of clients idling at once, veve4d beside Dovecot on loopback: each user's clients
(PER_USER of them) idle on its inbox; then mail is delivered to every user, spread over a few
seconds, while ten other clients send NOOP in a loop. Reported for each server: the memory each
idle session costs (proportional set size of the server's processes, and kernel stacks, against
the same server before the clients came), the server's CPU while all idle, how long each idler
waited for news of its mail (from the file's arrival to the EXISTS it reads), and the NOOP
round trips meanwhile. Dovecot runs with its default limits, at the largest count they hold.

    bench/idle10k.py build/veve4d [USERS [DOVECOT_USERS]]     (default: 2000 users, Dovecot 200; 5 clients each)

The mail lives under TMPDIR: on a busy ext4 disk, creating the files of thousands of deliveries a
second (inode allocation) dominates the figures for both servers; TMPDIR=/dev/shm keeps the disk
out of them.
"""
import os, random, shutil, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import search_bench  # noqa: E402  (the two servers' set-up)
from idle_clients import Idlers, raise_open_files  # noqa: E402
from veve4d_server import Veve4d  # noqa: E402

PER_USER = 5
ACTIVE = 10
IDLE_SECONDS = 10     # CPU measured over this with every session idling
DELIVERY_SECONDS = 10  # deliveries spread over this
TICKS = os.sysconf("SC_CLK_TCK")


def descendants(pid):
    """pid and every process below it."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                parents[int(name)] = int(open(f"/proc/{name}/stat").read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError):
                pass
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo.extend(c for c, parent in parents.items() if parent == p)
    return found


def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            for line in open(f"/proc/{pid}/smaps_rollup"):
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError):
            pass
    return total / TICKS


def threads(pids):
    return sum(int(open(f"/proc/{p}/status").read().split("Threads:")[1].split()[0]) for p in pids
               if os.path.exists(f"/proc/{p}/status"))


def kernel_stack_kib():
    for line in open("/proc/meminfo"):
        if line.startswith("KernelStack:"):
            return int(line.split()[1])
    return 0


def noop_loop(port, user, seconds):
    """Run as a separate process: ACTIVE clients send NOOP in turn; prints the round trips (ms)."""
    clients = [search_bench.connect(port, user, "pw") for _ in range(ACTIVE)]
    for c in clients:
        c.select("INBOX")
    times, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        for c in clients:
            start = time.perf_counter()
            c.noop()
            times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.01)
    print(" ".join(f"{t:.3f}" for t in times))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))] if values else float("nan")


def run(name, port, server_pid, users, deliver):
    """The figures for one server, its users' clients idling."""
    pids = descendants(server_pid)
    before_pss, before_stack = pss_kib(pids), kernel_stack_kib()
    idlers = Idlers(port, users, PER_USER)
    try:
        failed = idlers.connect(batch=50 if name == "dovecot" else 200)
        if failed:
            raise SystemExit(f"{name}: {len(failed)} clients failed: {failed[0].failed}")
        time.sleep(2)
        pids = descendants(server_pid)
        n = len(idlers.idlers)
        r = {"sessions": n,
             "KiB per session (PSS)": (pss_kib(pids) - before_pss) / n,
             "KiB per session (kernel stacks)": (kernel_stack_kib() - before_stack) / n,
             "threads + processes": threads(pids)}
        cpu = cpu_seconds(pids)
        end = time.monotonic() + IDLE_SECONDS
        while time.monotonic() < end:
            idlers.poll(0.5)
        r["CPU while idle, % of a core"] = (cpu_seconds(descendants(server_pid)) - cpu) / IDLE_SECONDS * 100
        noop = subprocess.Popen([sys.executable, __file__, "--noop", str(port), "active", str(DELIVERY_SECONDS + 4)],
                                stdout=subprocess.PIPE, text=True)
        time.sleep(2)
        order = list(users)
        random.Random(1).shuffle(order)
        delivered, start = {}, time.monotonic()
        by_user = {}
        for i in idlers.idlers:
            by_user.setdefault(i.user, []).append(i)
        cpu = cpu_seconds(descendants(server_pid))
        for k, user in enumerate(order):
            due = start + DELIVERY_SECONDS * k / len(order)
            while time.monotonic() < due:
                idlers.poll(max(0.0, min(0.005, due - time.monotonic())))
            deliver(user)
            delivered[user] = time.monotonic()
        idlers.await_news(idlers.idlers, 30)
        r["CPU while delivering, % of a core"] = (cpu_seconds(descendants(server_pid)) - cpu) / (time.monotonic() - start) * 100
        waits = [(i.heard - delivered[i.user]) * 1000 if i.heard else float("inf") for i in idlers.idlers]
        r["news: median ms"] = statistics.median(waits)
        r["news: p99 ms"] = percentile(waits, 0.99)
        r["news: max ms"] = max(waits)
        r["news: share within 1 s, %"] = 100 * sum(w <= 1000 for w in waits) / n
        rtts = [float(t) for t in noop.communicate()[0].split()]
        r["NOOP of 10 active: p50 ms"] = percentile(rtts, 0.5)
        r["NOOP of 10 active: p99 ms"] = percentile(rtts, 0.99)
        return r
    finally:
        idlers.close()


def bench(binary, n_users, n_dove_users):
    if not raise_open_files(n_users * PER_USER + ACTIVE + 100):
        raise SystemExit("not enough open files allowed for the clients")
    root = tempfile.mkdtemp(prefix="veve4d-idle10k-")
    results = {}
    text = b"Subject: new\r\n\r\nnew\r\n"
    with search_bench.private_servers(root) as servers:
        users = [f"user{i}" for i in range(n_users)]
        veve = Veve4d(binary, root, domain="bench.local", log=None)
        homes = {u: veve.add_user(u, "pw") for u in users + ["active"]}
        veve.start()
        servers.append(veve.process)

        def deliver_veve4d(user):
            path = os.path.join(homes[user], f"delivery-{time.monotonic_ns()}")
            with open(path + ".tmp", "wb") as f:
                f.write(text)
            os.rename(path + ".tmp", path + ".MSG")

        results["veve4d"] = run("veve4d", veve.port, veve.process.pid, users, deliver_veve4d)
        veve.stop()
        servers.remove(veve.process)

        dusers = [f"user{i}" for i in range(n_dove_users)]
        for u in dusers + ["active"]:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(f"{root}/dmail/{u}/{sub}", exist_ok=True)
        dove, dove_port = search_bench.start_dovecot(root, f"{root}/dmail", extra="")
        # One mail tree per user (the shared set-up serves one).
        conf = open(f"{root}/dovecot.conf").read().replace(f"maildir:{root}/dmail:", f"maildir:{root}/dmail/%u:")
        conf = conf.replace(f"INDEX={root}/index", f"INDEX={root}/index/%u")
        dove.terminate()
        dove.wait()
        open(f"{root}/dovecot.conf", "w").write(conf)
        dove = subprocess.Popen(["dovecot", "-F", "-c", f"{root}/dovecot.conf"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        servers.append(dove)
        search_bench.connect(dove_port, "active", "pw").logout()

        def deliver_dovecot(user):
            name = f"{time.time_ns()}.M1P9.bench"
            path = f"{root}/dmail/{user}/tmp/{name}"
            with open(path, "wb") as f:
                f.write(text)
            shutil.chown(path, "nobody", "nogroup")
            os.rename(path, f"{root}/dmail/{user}/new/{name}")

        results["dovecot"] = run("dovecot", dove_port, dove.pid, dusers, deliver_dovecot)
    load = open("/proc/loadavg").read().split()[:3]
    print(f"\nidle sessions, {PER_USER} per user; load average {' '.join(load)}")
    print(f"{'measure':34} {'veve4d':>12} {'dovecot':>12}")
    for key in results["veve4d"]:
        v, d = results["veve4d"][key], results["dovecot"][key]
        print(f"{key:34} {v:12.2f} {d:12.2f}")


def main():
    if sys.argv[1] == "--noop":
        noop_loop(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
        return
    binary = os.path.abspath(sys.argv[1])
    n_users = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    n_dove = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    bench(binary, n_users, n_dove)


if __name__ == "__main__":
    main()
