#!/usr/bin/env python3
"""Two servers on two FUSE mounts of one GlusterFS volume, HAProxy in front (round-robin, health
checks, PROXY v2), checked as a site running several servers would see them. One scenario a run:

  stress MODE  imaptest's stress run through the balancer (10 clients, MODE default or random):
               no error;
  failover     an APPEND storm through the balancer, one node killed (kill -9) in the middle:
               every acknowledged message is stored whole under the UID it was given and seen
               through the other node, UIDs are unique, no message is seen half written, and the
               surviving node goes on taking APPENDs;
  idle         a session IDLE on one node hears of an APPEND, a flag change and an EXPUNGE made
               through the other node within 2 s;
  addresses    each node's access log names the client's own address as HAProxy saw it (on the
               IMAP port and the implicit-TLS port), never HAProxy's, and a failed login delays
               its own client only.

Exit 77 (skipped, with the reason) where this machine cannot run the cluster (not root, no
glusterd, FUSE or HAProxy) or the server lacks what a scenario needs.

usage: cluster_test.py VEVE4D_BINARY SCENARIO [MODE]
"""
import os
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cluster  # noqa: E402
from imap_client import Closed, Imap, marker_of, message  # noqa: E402

SKIPPED = 77
SOURCE = os.path.dirname(os.path.dirname(HERE))

# What a scenario needs of the server: a registry value the server reads for it, and the text
# naming what is missing when it does not.
PROXY = ("ProxyTrusted", "PROXY protocol support (the ProxyTrusted setting)")
FOLLOW = ("MailboxPollInterval", "following network file systems (the MailboxPollInterval setting)")
NEEDS = {"stress": (PROXY, FOLLOW), "failover": (PROXY, FOLLOW), "idle": (FOLLOW,), "addresses": (PROXY,)}

failures = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text, flush=True)
    if not condition:
        failures.append(text)


def registry(binary):
    """The registry text the nodes get for what this server can do."""
    with open(binary, "rb") as f:
        image = f.read()
    known = {value for value, _ in (PROXY, FOLLOW) if value.encode() + b"\0" in image}
    extra = cluster.SERVICE_KEY
    if PROXY[0] in known:
        extra += f'"{PROXY[0]}"="{cluster.BALANCER_SOURCE}"\n'
    if FOLLOW[0] in known:
        extra += f'"{FOLLOW[0]}"=dword:000003e8\n'
    return known, extra


# --- scenarios -----------------------------------------------------------------------------------
def stress(c, binary, mode):
    env = dict(os.environ, VEVE4D_IMAPTEST_PORT=str(c.balancer_port))
    seconds = os.environ.get("VEVE4D_STRESS_SECONDS", "60")
    args = [os.path.join(SOURCE, "scripts", "imaptest.sh"), binary, "--stress", seconds, "clients=10"]
    if mode != "default":
        args.append(mode)
    done = subprocess.run(args, env=env)
    if done.returncode == SKIPPED:
        return SKIPPED
    check(done.returncode == 0, f"imaptest stress ({mode}) through the balancer: no error")
    return None


WRITERS = 6
STORM_SECONDS = 9
KILL_AFTER = 3.5
PER_WRITER = 400


class Storm:
    def __init__(self):
        self.lock = threading.Lock()
        self.acked = {}          # marker -> (uid, monotonic time of the answer)
        self.refused = []        # tagged NO lines
        self.bad = []
        self.broken = 0          # connections that ended under a client


def writer(i, port, end, storm):
    source, k = f"127.0.0.{10 + i}", 0
    while time.monotonic() < end and k < PER_WRITER:
        client = None
        try:
            client = Imap(port, source, timeout=20)
            client.login("tester", "pass")
            while time.monotonic() < end and k < PER_WRITER:
                marker = f"w{i}-{k}"
                k += 1
                answer = client.append("storm", message(marker))
                with storm.lock:
                    m = re.search(rb" OK \[APPENDUID \d+ (\d+)\]", answer)
                    if m:
                        storm.acked[marker] = (int(m.group(1)), time.monotonic())
                    elif b" NO " in answer:
                        storm.refused.append(answer.decode(errors="replace").strip())
                    else:
                        storm.bad.append(answer.decode(errors="replace").strip())
        except (OSError, Closed, AssertionError):
            with storm.lock:
                storm.broken += 1
            time.sleep(0.1)
        finally:
            if client:
                client.close()


def failover(c):
    with_a = Imap(c.nodes[0].port)
    with_a.login("tester", "pass")
    with_a.ok("CREATE storm")
    with_a.close()

    storm, start = Storm(), time.monotonic()
    end = start + STORM_SECONDS
    threads = [threading.Thread(target=writer, args=(i, c.balancer_port, end, storm)) for i in range(WRITERS)]
    for t in threads:
        t.start()
    time.sleep(KILL_AFTER)
    c.kill_node(1)
    killed_at = time.monotonic()
    for t in threads:
        t.join()
    after = sum(1 for _, at in storm.acked.values() if at > killed_at + 1)
    print(f"     {len(storm.acked)} APPENDs acknowledged ({after} more than 1 s after the kill), "
          f"{len(storm.refused)} refused, {storm.broken} connections broken")
    check(not storm.bad, f"no APPEND answered other than OK or NO: {storm.bad[:3]}")
    check(not storm.refused, f"no APPEND refused under contention: {storm.refused[:3]}")
    check(len(storm.acked) >= 2 * WRITERS, "the storm got going before the kill")
    check(after >= WRITERS, "the surviving node goes on taking APPENDs after the kill")

    # Everything through the surviving node, then on disk.
    with_a = Imap(c.nodes[0].port)
    with_a.login("tester", "pass")
    with_a.ok("SELECT storm")
    seen, whole, dup_markers = {}, True, []
    for text, literals in with_a.ok("UID FETCH 1:* (UID BODY.PEEK[])"):
        m = re.match(rb"\* \d+ FETCH \(.*UID (\d+)", text)
        if not m or len(literals) != 1:
            continue
        uid, data = int(m.group(1)), literals[0]
        marker = marker_of(data)
        if marker is None or data != message(marker):
            whole = False
            print(f"     UID {uid}: {len(data)} bytes, marker {marker}, not the message as sent")
        if marker in seen.values():
            dup_markers.append(marker)
        seen[uid] = marker
    with_a.close()
    check(whole, "no message is seen half written or changed")
    check(not dup_markers, f"no message is stored twice: {dup_markers[:3]}")
    lost = [m for m, (uid, _) in storm.acked.items() if seen.get(uid) != m]
    check(not lost, f"every acknowledged APPEND is seen through the other node under its UID: "
          f"{len(lost)} not ({lost[:3]})")

    folder = os.path.join(c.mounts[0], "users", "tester", "storm")
    names = [n for n in os.listdir(folder) if re.fullmatch(r"\d{10}-[01]{6}\.MSG", n)]
    uids = [int(n[:10]) for n in names]
    check(len(uids) == len(set(uids)), "UIDs on disk are unique")
    check(sorted(uids) == sorted(seen), f"the files on disk are the messages the node shows "
          f"({len(uids)} files, {len(seen)} shown)")
    return None


def idle(c):
    first, second = Imap(c.nodes[0].port), Imap(c.nodes[1].port)
    for client in (first, second):
        client.login("tester", "pass")
    untagged = first.ok("SELECT INBOX")
    exists = next(int(m.group(1)) for t, _ in untagged if (m := re.match(rb"\* (\d+) EXISTS", t)))
    second.ok("SELECT INBOX")
    for what, action, pattern in (
            ("an APPEND", lambda: second.append("INBOX", message("idle-0")), rb"^\* %d EXISTS" % (exists + 1)),
            ("a flag change", lambda: second.command(f"STORE {exists + 1} +FLAGS (\\Flagged)"),
             rb"^\* %d FETCH \(.*\\Flagged" % (exists + 1)),
            ("an EXPUNGE", lambda: (second.command(f"STORE {exists + 1} +FLAGS (\\Deleted)"),
                                   second.command("EXPUNGE")), rb"^\* %d EXPUNGE" % (exists + 1))):
        first.idle()
        # The other node's first look after IDLE began would otherwise be counted in.
        time.sleep(0.3)
        action()
        began = time.monotonic()
        line = first.wait_for(pattern, 2.0)
        waited = time.monotonic() - began
        check(line is not None, f"IDLE on one node hears of {what} through the other within 2 s "
              f"({'%.2f s' % waited if line else 'not heard'})")
        first.done()
    first.close()
    second.close()
    return None


def addresses(c):
    # Two clients on each port: round-robin sends one of each to each node.
    sources = [f"127.0.0.{30 + i}" for i in range(4)]
    for n, source in enumerate(sources):
        client = Imap(c.balancer_port, source) if n < 2 else Imap(c.balancer_tls_port, source, tls=True)
        client.login("tester", "pass")
        client.ok("NOOP")
        client.command("LOGOUT")
        client.close()
    logs = [c.access_log(i) for i in range(2)]
    for i, lines in enumerate(logs):
        shown = sorted({m.group(1) for line in lines if (m := re.search(r" from (\S+) ", line))})
        print(f"     node{i} access log: {len(lines)} lines, addresses {shown}")
        check(any(f" from {s} " in line for line in lines for s in sources),
              f"node{i}'s access log names the clients' own addresses")
        check(not any(f" from {cluster.BALANCER_SOURCE} " in line for line in lines),
              f"node{i}'s access log never names the balancer's address")
    for s in sources:
        check(any(f" from {s} LOGIN " in line for lines in logs for line in lines),
              f"the LOGIN from {s} is logged with that address")

    # While a wrong password from one client waits out its 5 s delay, another client's logins
    # (one on each node) are not held behind it, as they would be if both were the balancer.
    attacker = Imap(c.balancer_port, "127.0.0.40")
    attacker.sock.sendall(b"a1 LOGIN alice wrong\r\n")
    time.sleep(0.5)
    waits = []
    for _ in range(2):
        began = time.monotonic()
        client = Imap(c.balancer_port, "127.0.0.41")
        client.login("tester", "pass")
        waits.append(time.monotonic() - began)
        client.close()
    attacker.close()
    check(max(waits) < 2.5, "a failed login's delay holds back only its own client, not others behind the "
          f"balancer (logins took {', '.join('%.2f s' % w for w in waits)})")
    return None


def main():
    binary, scenario = os.path.realpath(sys.argv[1]), sys.argv[2]
    if scenario not in NEEDS:
        print(__doc__)
        return 2
    known, extra = registry(binary)
    missing = [text for value, text in NEEDS[scenario] if value not in known]
    if missing:
        print(f"SKIPPED: the {scenario} scenario needs {' and '.join(missing)}, which this server lacks")
        return SKIPPED
    try:
        with cluster.Cluster(binary, extra=extra, proxy=PROXY[0] in known) as c:
            try:
                if scenario == "stress":
                    result = stress(c, binary, sys.argv[3] if len(sys.argv) > 3 else "default")
                else:
                    result = globals()[scenario](c)
            except Exception:
                c.show_logs()
                raise
            if failures:
                c.show_logs()
    except cluster.Unavailable as reason:
        print(f"SKIPPED: no cluster on this machine: {reason}")
        return SKIPPED
    if result == SKIPPED:
        return SKIPPED
    if failures:
        print(f"{len(failures)} failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
