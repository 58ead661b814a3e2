#!/usr/bin/env python3
"""Repeated section fetches side by side with Dovecot over loopback, on a mailbox of multipart
messages whose part 1.2 (the HTML of a multipart/alternative) sits before a large attachment, so
that finding it means reading past the text to the attachment's headers. Measures:

  - FETCH n BODY.PEEK[1.2] for one message, asked again and again (one command each);
  - FETCH 1:* BODY.PEEK[1.2], BODYSTRUCTURE and ENVELOPE over the whole mailbox.

Each FETCH runs first (both servers' caches cold) and then repeatedly; the table gives wall
times and veve4d/Dovecot ratios (below 1: veve4d faster), and the server's CPU per repeated FETCH
(its whole process tree, from /proc/PID/stat). PEEK keeps \\Seen as it was, so every repetition
asks the same question.

    bench/section_bench.py build/veve4d [COUNT] [ATTACHMENT_KB]     (default: 500 128)
"""
import os, random, statistics, sys, tempfile, time
from email import policy
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from mime_bench import timed  # noqa: E402
from perf_bench import tree_cpu_ms  # noqa: E402
from search_bench import connect, private_servers, start_dovecot, start_veve4d  # noqa: E402

REPEATS = 5
SINGLE_REPEATS = 200


def message(rng, i, attachment_kb):
    m = EmailMessage(policy=policy.SMTP)
    m["From"] = f"Sender {i} <sender{i}@example.org>"
    m["To"] = "Team <team@example.net>, Other <other@example.com>"
    m["Subject"] = f"Report number {i}"
    m["Date"] = "Mon, 07 Dec 2026 10:00:00 +0000"
    m["Message-ID"] = f"<{i}.bench@example.org>"
    text = "".join(f"Line {n} of the report, with a few words.\n" for n in range(rng.randint(20, 60)))
    m.set_content(text)
    m.add_alternative("<html><body><pre>" + text + "</pre></body></html>\n", subtype="html")
    m.add_attachment(rng.randbytes(attachment_kb * 1024), maintype="application", subtype="octet-stream",
                     filename=f"data{i}.bin")
    return m.as_bytes()


def write_mailboxes(root, count, attachment_kb):
    inbox = f"{root}/users/bench/inbox"
    os.makedirs(inbox)
    for d in ("cur", "new", "tmp"):
        os.makedirs(f"{root}/maildir/{d}")
    rng = random.Random(1)
    for uid in range(1, count + 1):
        raw = message(rng, uid, attachment_kb)
        with open(f"{inbox}/{uid:010d}-000010.MSG", "wb") as f:
            f.write(raw)
        with open(f"{root}/maildir/cur/{1600000000 + uid}.M{uid}P1.bench,S={len(raw)}:2,S", "wb") as f:
            f.write(raw)
    with open(f"{inbox}/uid", "w") as f:
        f.write(str(count + 1))


def single(m, pid, n, item):
    """One message's section asked SINGLE_REPEATS times after a first time: first, mean of the rest,
    size, and the server's CPU ms per repetition."""
    first, size = timed(m, n, item)
    cpu = tree_cpu_ms(pid)
    start = time.perf_counter()
    for _ in range(SINGLE_REPEATS):
        timed(m, n, item)
    return first, (time.perf_counter() - start) / SINGLE_REPEATS, size, (tree_cpu_ms(pid) - cpu) / SINGLE_REPEATS


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    attachment_kb = int(sys.argv[3]) if len(sys.argv) > 3 else 128
    root = tempfile.mkdtemp(prefix="veve4d-section-bench-")
    write_mailboxes(root, count, attachment_kb)
    middle = str(count // 2)
    singles = [(middle, "(BODY.PEEK[1.2])"), (middle, "(BODYSTRUCTURE)"), (middle, "(ENVELOPE)")]
    wholes = [("1:*", "(BODY.PEEK[1.2])"), ("1:*", "(BODYSTRUCTURE)"), ("1:*", "(ENVELOPE)")]
    with private_servers(root) as servers:
        veve, veve_port = start_veve4d(binary, root)
        servers.append(veve)
        dove, dove_port = start_dovecot(root, f"{root}/maildir")
        servers.append(dove)
        results = {}
        for name, port, pid in (("veve4d", veve_port, veve.pid), ("dovecot", dove_port, dove.pid)):
            m = connect(port, "bench", "pw")
            m.select("INBOX")
            results[name] = [single(m, pid, n, item) for n, item in singles]
            for message_set, item in wholes:
                first, size = timed(m, message_set, item)
                cpu = tree_cpu_ms(pid)
                repeated = statistics.median(timed(m, message_set, item)[0] for _ in range(REPEATS))
                results[name].append((first, repeated, size, (tree_cpu_ms(pid) - cpu) / REPEATS))
            m.logout()
    print(f"{count} messages, {attachment_kb} KB attachment each; first / repeated "
          f"(mean of {SINGLE_REPEATS} for one message, median of {REPEATS} for 1:*); ratio veve4d/Dovecot")
    print(f"load average {open('/proc/loadavg').read().split()[0]}; cpu: server CPU ms per repeated FETCH")
    for i, (message_set, item) in enumerate(singles + wholes):
        vf, vr, vs, vc = results["veve4d"][i]
        df, dr, ds, dc = results["dovecot"][i]
        print(f"FETCH {message_set:>4} {item:18} bytes {vs:>8}/{ds:<8} veve4d {vf * 1000:8.2f}/{vr * 1000:8.2f} ms  "
              f"dovecot {df * 1000:8.2f}/{dr * 1000:8.2f} ms  ratio {vf / df:6.2f}/{vr / dr:6.2f}  "
              f"cpu {vc:6.3f}/{dc:6.3f} ratio {vc / dc if dc else float('nan'):5.2f}")


if __name__ == "__main__":
    main()
