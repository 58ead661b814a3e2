#!/usr/bin/env python3
"""SORT and THREAD side by side with Dovecot over loopback, on the same threaded mail: about
three messages in five answer an earlier one (Re: subjects, In-Reply-To and References), the
rest start threads; senders, recipients and dates vary. Each command runs first (veve4d reads
every header, Dovecot builds its cache) and then repeatedly (answered from what each kept); the
table gives wall times, veve4d/Dovecot ratios (below 1: veve4d faster), and whether both
servers gave the same answer.

    bench/sort_bench.py build/veve4d [COUNT...]     (default: 1000 10000 100000)
"""
import os, random, statistics, sys, tempfile, time
from datetime import datetime, timedelta, timezone
from email.utils import format_datetime

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from search_bench import measure_both, private_servers  # noqa: E402

COMMANDS = [("SORT", "(DATE)"), ("SORT", "(FROM)"), ("SORT", "(SUBJECT)"), ("SORT", "(REVERSE ARRIVAL)"),
            ("THREAD", "REFERENCES")]
REPEATS = 5
NAMES = ["Alice Example", "Bob Builder", "Carol Singer", "Dave Jones", "Eve Adams", "Frank Miller",
         "Grace Hopper", "Heidi Klum", "Ivan Petrov", "Judy Garland", "Zoe Martin", "Chancellor Palpatine"]
WORDS = ("account report meeting budget review project timeline draft proposal invoice customer server "
         "release update holiday schedule travel lunch weekly notes agenda contract design").split()


def generate(count, veve_dir, maildir, seed=1):
    """The same messages as veve4d files and as a Maildir, with the same file times."""
    rng = random.Random(seed)
    os.makedirs(veve_dir, exist_ok=True)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    start = datetime(2023, 1, 1, 12, tzinfo=timezone.utc)
    threads = []  # (message id, references, subject) of recent messages to answer
    for uid in range(1, count + 1):
        when = start + timedelta(seconds=uid * 600 + rng.randint(-3000, 3000))
        name = rng.choice(NAMES)
        msgid = f"<{uid}.{rng.randrange(10**9)}@bench.example>"
        headers = [f"From: {name} <{name.split()[0].lower()}@example.org>",
                   f"To: {rng.choice(NAMES)} <team@example.net>"]
        if threads and rng.random() < 0.6:
            parent_id, parent_refs, subject = rng.choice(threads[-300:])
            refs = (parent_refs + [parent_id])[-10:]
            headers += [f"Subject: Re: {subject}", f"In-Reply-To: {parent_id}", "References: " + " ".join(refs)]
        else:
            subject = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6))).capitalize()
            refs = []
            headers.append(f"Subject: {'[team] ' if rng.random() < 0.2 else ''}{subject}")
        threads.append((msgid, refs, subject))
        # Some mail arrives with no Date at all, or one from another zone.
        if rng.random() < 0.97:
            headers.append(f"Date: {format_datetime(when.astimezone(timezone(timedelta(hours=rng.randint(-8, 9)))))}")
        headers.append(f"Message-ID: {msgid}")
        body = " ".join(rng.choice(WORDS) for _ in range(rng.randint(10, 60)))
        data = ("\r\n".join(headers) + "\r\n\r\n" + body + "\r\n").encode()
        veve_path = os.path.join(veve_dir, f"{uid:010d}-000010.MSG")
        dove_path = os.path.join(maildir, "cur", f"{1600000000 + uid}.M{uid}P1.bench,S={len(data)}:2,S")
        arrival = (when + timedelta(seconds=rng.randint(0, 120))).timestamp()
        for path in (veve_path, dove_path):
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (arrival, arrival))


def run(m, command, argument):
    start = time.perf_counter()
    typ, data = m._simple_command(command, argument, "UTF-8", "ALL")
    typ, data = m._untagged_response(typ, data, command)
    elapsed = time.perf_counter() - start
    if typ != "OK":
        raise SystemExit(f"{command} {argument}: {typ} {data}")
    return elapsed, data[0] if data else b""


def measure(m):
    results = {}
    for command, argument in COMMANDS:
        first, answer = run(m, command, argument)
        repeated = statistics.median(run(m, command, argument)[0] for _ in range(REPEATS))
        results[(command, argument)] = (first, repeated, answer)
    return results


def bench(binary, count):
    root = tempfile.mkdtemp(prefix="veve4d-sort-bench-")
    with private_servers(root) as servers:
        generate(count, f"{root}/users/bench/inbox", f"{root}/maildir")
        results = measure_both(servers, binary, root, measure)
        print(f"\n{count} messages: first / repeated (median of {REPEATS}), ms; ratio veve4d/Dovecot")
        print(f"{'command':28} {'veve4d':>17} {'dovecot':>17} {'ratio':>13}  answers")
        for key in COMMANDS:
            vf, vr, va = results["veve4d"][key]
            df, dr, da = results["dovecot"][key]
            same = "same" if va == da else "differ"
            print(f"{' '.join(key):28} {vf * 1000:8.1f}/{vr * 1000:8.1f} {df * 1000:8.1f}/{dr * 1000:8.1f} "
                  f"{vf / df:6.2f}/{vr / dr:6.2f}  {same}")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    for count in [int(a) for a in sys.argv[2:]] or [1000, 10000, 100000]:
        bench(binary, count)


if __name__ == "__main__":
    main()
