#!/usr/bin/env python3
"""Resynchronisation and keyword figures side by side with Dovecot over loopback, on one mailbox of
COUNT small messages (default 100,000):
  - UID FETCH 1:* (FLAGS) (CHANGEDSINCE n) after 10 messages changed: what a client pays to catch up;
  - single-message STOREs that set and clear a keyword, one after the other: keyword changes a second.
The table gives medians and the veve4d/Dovecot ratios (a time ratio below 1, a rate ratio above 1:
veve4d better).

    bench/condstore_bench.py build/veve4d [COUNT [STORES]]
"""
import os, re, statistics, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import search_bench  # noqa: E402  (its private-server helpers)

MESSAGE = b"From: a@example.org\r\nTo: b@example.org\r\nSubject: condstore bench\r\n\r\nhello\r\n"
CHANGED = 10
REPEATS = 7
STORES = 1000


def make_mail(root, count):
    inbox = f"{root}/users/bench/inbox"
    os.makedirs(inbox, exist_ok=True)
    for uid in range(1, count + 1):
        with open(f"{inbox}/{uid:010d}-000010.MSG", "wb") as f:
            f.write(MESSAGE)
    cur = f"{root}/maildir/cur"
    os.makedirs(cur, exist_ok=True)
    os.makedirs(f"{root}/maildir/new", exist_ok=True)
    os.makedirs(f"{root}/maildir/tmp", exist_ok=True)
    for n in range(1, count + 1):
        with open(f"{cur}/{1700000000 + n}.M{n}P1.bench:2,S", "wb") as f:
            f.write(MESSAGE)


def highest(m):
    return int(m.untagged_responses.pop("HIGHESTMODSEQ")[-1])


def measure(port, count, stores):
    m = search_bench.connect(port, "bench", "pw")
    m.enable("CONDSTORE")
    m.select("INBOX")
    since = highest(m)
    step = count // CHANGED
    for i in range(CHANGED):
        typ, _ = m.uid("STORE", str(1 + i * step), "+FLAGS.SILENT", "($Changed)")
        if typ != "OK":
            raise SystemExit("STORE refused")
    times = []
    for _ in range(REPEATS):
        t = time.perf_counter()
        typ, data = m.uid("FETCH", "1:*", f"(FLAGS) (CHANGEDSINCE {since})")
        times.append(time.perf_counter() - t)
        answers = len(re.findall(rb"MODSEQ", b" ".join(d for d in data if isinstance(d, bytes))))
        if typ != "OK" or answers != CHANGED:
            raise SystemExit(f"CHANGEDSINCE answered {answers} messages, not {CHANGED}")
    t = time.perf_counter()
    for i in range(stores):
        typ, _ = m.uid("STORE", str(1 + (i // 2) % count), "+FLAGS.SILENT" if i % 2 == 0 else "-FLAGS.SILENT",
                       "($label1)")
        if typ != "OK":
            raise SystemExit("STORE refused")
    rate = stores / (time.perf_counter() - t)
    m.logout()
    return statistics.median(times) * 1000, rate


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    stores = int(sys.argv[3]) if len(sys.argv) > 3 else STORES
    root = tempfile.mkdtemp(prefix="veve4d-condstore-bench-")
    with search_bench.private_servers(root) as servers:
        make_mail(root, count)
        veve, veve_port = search_bench.start_veve4d(binary, root)
        servers.append(veve)
        dove, dove_port = search_bench.start_dovecot(root, f"{root}/maildir")
        servers.append(dove)
        results = {name: measure(port, count, stores) for name, port in (("veve4d", veve_port), ("dovecot", dove_port))}
    (vf, vs), (df, ds) = results["veve4d"], results["dovecot"]
    print(f"{count} messages, {CHANGED} changed; medians of {REPEATS} fetches, {stores} keyword STOREs")
    print(f"{'':40} {'veve4d':>10} {'dovecot':>10} {'ratio':>7}")
    print(f"{'UID FETCH 1:* (FLAGS) (CHANGEDSINCE n), ms':40} {vf:10.2f} {df:10.2f} {vf / df:7.2f}")
    print(f"{'STORE +/-FLAGS ($label1), per second':40} {vs:10.0f} {ds:10.0f} {vs / ds:7.2f}")


if __name__ == "__main__":
    main()
