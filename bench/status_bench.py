#!/usr/bin/env python3
"""STATUS of a large folder side by side with Dovecot over loopback, on the same mail
(bench/gen_dataset.py --small): once while another session has the folder selected (veve4d
answers from the index that session keeps open), and once while no session has it open (veve4d
answers from the counts it kept, checked against the directory's stamp). Each STATUS runs first
and then repeatedly, in rounds the two servers take turns at; the table gives wall times, the
server's CPU time per repeated STATUS (from /proc, all of the server's processes), and
veve4d/Dovecot ratios (below 1: veve4d faster).

    bench/status_bench.py build/veve4d [COUNT...]     (default: 100000)
"""
import os, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from search_bench import connect, private_servers, start_dovecot, start_veve4d  # noqa: E402
from perf_bench import NO_TRACE  # noqa: E402

ITEMS = "(MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)"
# Enough repeats that the CPU time per STATUS is many clock ticks in all, in rounds that take
# turns between the servers, so that a drift in the machine's speed meets both alike.
REPEATS = 10000
ROUNDS = 4


def processes(pid):
    """The process and all its descendants (Dovecot serves each login in a process of its own)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    children.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo += children.get(p, [])
    return found


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / os.sysconf("SC_CLK_TCK")


def status(m):
    start = time.perf_counter()
    typ, data = m.status("big", ITEMS)
    if typ != "OK":
        raise SystemExit(f"STATUS: {typ} {data}")
    return time.perf_counter() - start, data[0]


def counts(answer):
    """MESSAGES and UNSEEN of a STATUS answer: the servers give \\Recent to different sessions."""
    words = answer.decode().split("(", 1)[1].rstrip(")").split()
    values = dict(zip(words[::2], words[1::2]))
    return values["MESSAGES"], values["UNSEEN"]


def measure(server, port, repeats):
    """(first, repeated median, CPU per repeated STATUS, answer) with the folder open elsewhere, then not."""
    results = {}
    holder = connect(port, "bench", "pw")
    holder.select("big", readonly=True)
    # A reader that has had the folder open a while, not one that has just opened it: what opening
    # wrote beside the messages lies a moment behind.
    time.sleep(1.5)
    m = connect(port, "bench", "pw")
    pids = processes(server.pid)
    for case in ("open elsewhere", "not open"):
        if case == "not open":
            holder.logout()
            # The holder's session ends, and its index with it; what it wrote beside the messages
            # lies a moment behind, as in a folder nobody is reading.
            time.sleep(1.5)
        first, answer = status(m)
        before = cpu_seconds(pids)
        times = [status(m)[0] for _ in range(repeats)]
        results[case] = (first, times, cpu_seconds(pids) - before, answer)
    m.logout()
    return results


def bench(binary, count):
    root = tempfile.mkdtemp(prefix="veve4d-status-bench-")
    with private_servers(root) as servers:
        for sub in ("cur", "new", "tmp"):
            os.makedirs(f"{root}/maildir/{sub}", exist_ok=True)
        subprocess.run([sys.executable, f"{HERE}/gen_dataset.py", "--small", str(count), f"{root}/users/bench/big",
                        f"{root}/maildir/.big"], check=True)
        # The folder's last change lies well behind: as in a mailbox that is not being written.
        time.sleep(1.5)
        # As a service runs: no console trace.
        veve, veve_port = start_veve4d(binary, root, NO_TRACE)
        servers.append(veve)
        dove, dove_port = start_dovecot(root, f"{root}/maildir")
        servers.append(dove)
        rounds = {"veve4d": [], "dovecot": []}
        for _ in range(ROUNDS):
            rounds["veve4d"].append(measure(veve, veve_port, REPEATS // ROUNDS))
            rounds["dovecot"].append(measure(dove, dove_port, REPEATS // ROUNDS))
        # First answer of the first round; medians and CPU over every round.
        results = {name: {case: (got[0][case][0], statistics.median(t for r in got for t in r[case][1]),
                                 sum(r[case][2] for r in got) / (len(got) * (REPEATS // ROUNDS)), got[0][case][3])
                          for case in got[0]}
                   for name, got in rounds.items()}
        print(f"\n{count} messages: STATUS big {ITEMS}; first / repeated (median of {REPEATS}) ms, server CPU ms "
              f"per repeated STATUS; ratio veve4d/Dovecot (wall, CPU)")
        print(f"{'case':16} {'veve4d':>24} {'dovecot':>24} {'ratio':>13}  answers")
        for case in ("open elsewhere", "not open"):
            vf, vr, vc, va = results["veve4d"][case]
            df, dr, dc, da = results["dovecot"][case]
            same = "same" if counts(va) == counts(da) else "differ"
            cpu_ratio = f"{vc / dc:6.2f}" if dc > 0 else "   n/a"
            print(f"{case:16} {vf * 1000:7.1f}/{vr * 1000:6.3f}/{vc * 1000:6.3f} {df * 1000:7.1f}/{dr * 1000:6.3f}/"
                  f"{dc * 1000:6.3f} {vr / dr:6.2f}/{cpu_ratio}  {same}")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    for count in [int(a) for a in sys.argv[2:]] or [100000]:
        bench(binary, count)


if __name__ == "__main__":
    main()
