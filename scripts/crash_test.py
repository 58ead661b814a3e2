#!/usr/bin/env python3
"""Kills a private server (kill -9) at random points of APPEND, COPY, STORE, EXPUNGE, RENAME and
inbox-import storms, starts it again, and checks what a user relies on after a crash:

- every message whose APPEND was answered OK is there, exactly once;
- every delivered file is taken into the inbox exactly once;
- no UID is carried by two messages of a mailbox, none is given again to another message, and
  each uid file stays ahead of its messages;
- no message file is visible that is not whole.

usage: crash_test.py VEVE4D_BINARY [SECONDS]   (default 40 seconds of rounds)
Prints one line per round and a summary; exits 1 when an invariant broke.
"""
import os
import random
import re
import shutil
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from veve4d_server import SERVICE_KEY, Veve4d  # noqa: E402

NAME = re.compile(r"^(\d{10})-([01]{6})\.MSG$")


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buf = b""
        self.n = 0
        self.line()  # greeting

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def command(self, text, literal=None):
        """The tagged status word (OK, NO, BAD)."""
        self.n += 1
        tag = b"t%d" % self.n
        if literal is None:
            self.sock.sendall(tag + b" " + text + b"\r\n")
        else:
            self.sock.sendall(tag + b" " + text + b" {%d}\r\n" % len(literal))
            while True:
                line = self.line()
                if line.startswith(b"+"):
                    break
                if line.startswith(tag + b" "):
                    return line.split()[1]
            self.sock.sendall(literal + b"\r\n")
        while True:
            line = self.line()
            if line.startswith(tag + b" "):
                return line.split()[1]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def message(ident, size):
    body = (b"x" * 70 + b"\r\n") * (size // 72)
    head = b"X-Id: %s\r\nSubject: crash test\r\n\r\n" % ident.encode()
    tail = b"END %s\r\n" % ident.encode()
    text = head + body + tail
    return text.replace(b"X-Id:", b"X-Len: %08d\r\nX-Id:" % (len(text) + 17), 1)


def parse(data):
    """(id, whole) of a stored message."""
    m = re.search(rb"X-Len: (\d{8})\r\nX-Id: (\S+)\r\n", data)
    if not m:
        return None, False
    ident = m.group(2).decode()
    return ident, len(data) == int(m.group(1)) and data.endswith(b"END %s\r\n" % m.group(2))


class Storm:
    """The client side of one round; each worker keeps its own connection until the kill."""

    def __init__(self, port, maildir, round_no, rng):
        self.port, self.maildir, self.round, self.rng = port, maildir, round_no, rng
        self.acked = []      # APPENDs answered OK
        self.delivered = []  # files put into the mail directory
        self.stop = False
        self.counts = {"append": 0, "copy": 0, "store": 0, "expunge": 0, "rename": 0, "select": 0}

    def session(self, select=None):
        c = Client(self.port)
        if c.command(b"LOGIN tester pass") != b"OK":
            raise RuntimeError("login refused")
        if select:
            c.command(b"SELECT " + select)
        return c

    def run(self, fn):
        try:
            fn()
        except (OSError, ConnectionError, RuntimeError):
            pass  # the server was killed

    def appender(self, who):
        c = self.session()
        n = 0
        while not self.stop:
            ident = f"r{self.round}-{who}-{n}"
            n += 1
            if c.command(b"APPEND Keep (\\Seen)", message(ident, self.rng.choice((500, 5000, 60000, 400000)))) == b"OK":
                self.acked.append(ident)
                self.counts["append"] += 1

    def copier(self):
        c = self.session(b"Keep")
        while not self.stop:
            c.command(b"COPY 1:3 Copies")
            self.counts["copy"] += 1

    def storer(self):
        c = self.session(b"Keep")
        while not self.stop:
            sign = self.rng.choice((b"+", b"-"))
            c.command(b"STORE 1:* " + sign + b"FLAGS.SILENT (\\Flagged \\Answered)")
            self.counts["store"] += 1

    def expunger(self):
        c = self.session(b"Copies")
        while not self.stop:
            c.command(b"STORE 1:* +FLAGS.SILENT (\\Deleted)")
            c.command(b"EXPUNGE")
            self.counts["expunge"] += 1

    def renamer(self):
        c = self.session()
        while not self.stop:
            if c.command(b"RENAME R1 R2") != b"OK":
                c.command(b"RENAME R2 R1")
            self.counts["rename"] += 1

    def deliverer(self):
        c = self.session()
        n = 0
        while not self.stop:
            for _ in range(self.rng.randint(1, 20)):
                ident = f"d{self.round}-{n}"
                n += 1
                # Delivered whole, as the companion server does: written aside, then named.
                part = f"{self.maildir}/{ident}.part"
                with open(part, "wb") as f:
                    f.write(message(ident, self.rng.choice((300, 3000, 30000))))
                os.rename(part, f"{self.maildir}/{ident}.MSG")
                self.delivered.append(ident)
            c.command(b"SELECT INBOX")  # imports
            self.counts["select"] += 1


def inspect(path):
    """{uid: (id, whole)} of a mailbox, plus names that break the rules."""
    found, problems, hidden = {}, [], 0
    uidfile = None
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if name == "uid":
            with open(full, "rb") as f:
                uidfile = f.read()
            continue
        if name.startswith("."):
            hidden += 1
            continue
        m = NAME.match(name)
        if not m or os.path.isdir(full):
            continue
        uid = int(m.group(1))
        with open(full, "rb") as f:
            ident, whole = parse(f.read())
        if uid in found:
            problems.append(f"{path}: UID {uid} carried twice")
        found[uid] = (ident, whole)
        if not whole:
            problems.append(f"{path}: {name} ({ident}) is not whole")
    if found:
        try:
            nxt = int(uidfile)
        except (TypeError, ValueError):
            nxt = 0
            problems.append(f"{path}: uid file {uidfile!r} says nothing")
        if nxt <= max(found):
            problems.append(f"{path}: uid file {nxt} not past UID {max(found)}")
    return found, problems, hidden


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 40.0
    rng = random.Random(int(os.environ.get("CRASH_SEED", str(int(time.time())))))
    work = tempfile.mkdtemp(prefix="veve4d-crash-")
    server = Veve4d(binary, work, SERVICE_KEY + '"MailFsync"="never"\n')
    user = server.add_user("tester", "pass")
    port = server.start().port
    c = Client(port)
    c.command(b"LOGIN tester pass")
    for box in (b"Keep", b"Copies", b"R1"):
        c.command(b"CREATE " + box)
    for i in range(3):
        c.command(b"APPEND Keep", message(f"seed-keep-{i}", 2000))
        c.command(b"APPEND R1", message(f"seed-r-{i}", 2000))
    c.close()

    acked, delivered, failures = set(), set(), []
    history = {}  # (mailbox, uid) -> id, over every round: a UID is never given again
    start, rounds, temporaries = time.time(), 0, 0
    totals = {}
    try:
        while time.time() - start < seconds:
            rounds += 1
            # Copy and move mode take turns.
            offpop3 = f"{user}/$offpop3"
            if rounds % 2 == 0:
                open(offpop3, "w").close()
            elif os.path.exists(offpop3):
                os.remove(offpop3)
            storm = Storm(port, user, rounds, rng)
            workers = [storm.appender, storm.appender, storm.copier, storm.storer, storm.expunger, storm.renamer,
                       storm.deliverer]
            threads = []
            for i, w in enumerate(workers):
                fn = (lambda w=w, i=i: w(i)) if w == storm.appender else w
                t = threading.Thread(target=storm.run, args=(fn,), daemon=True)
                t.start()
                threads.append(t)
            time.sleep(rng.uniform(0.2, 1.5))
            server.kill()
            storm.stop = True
            for t in threads:
                t.join(timeout=15)
            acked.update(storm.acked)
            delivered.update(storm.delivered)
            for k, v in storm.counts.items():
                totals[k] = totals.get(k, 0) + v

            # Up again: a login takes the rest of the delivered mail in.
            server.start()
            c = Client(port)
            c.command(b"LOGIN tester pass")
            c.command(b"SELECT INBOX")
            c.close()

            round_failures = []
            ids = {}
            for box in ("Keep", "Copies", "R1", "R2", "inbox"):
                path = f"{user}/{box}"
                if not os.path.isdir(path):
                    continue
                found, problems, hidden = inspect(path)
                temporaries += hidden
                round_failures += problems
                for uid, (ident, _) in found.items():
                    key = (box if box not in ("R1", "R2") else "R", uid)
                    if history.get(key, ident) != ident:
                        round_failures.append(f"{box}: UID {uid} given to {ident} after {history[key]}")
                    history[key] = ident
                ids[box] = [ident for ident, _ in found.values()]
            keep = ids.get("Keep", [])
            lost = [i for i in acked if i not in keep]
            doubled = sorted({i for i in keep if keep.count(i) > 1})
            if lost:
                round_failures.append(f"acknowledged APPENDs lost: {sorted(lost)[:5]} ({len(lost)})")
            if doubled:
                round_failures.append(f"APPENDs stored twice: {doubled[:5]}")
            inbox = ids.get("inbox", [])
            missing = [i for i in delivered if i not in inbox]
            twice = sorted({i for i in inbox if inbox.count(i) > 1})
            if missing:
                round_failures.append(f"delivered files never imported: {sorted(missing)[:5]} ({len(missing)})")
            if twice:
                round_failures.append(f"delivered files imported twice: {twice[:5]} ({len(twice)})")
            renamed = [b for b in ("R1", "R2") if os.path.isdir(f"{user}/{b}")]
            if len(renamed) != 1 or len(ids.get(renamed[0], [])) != 3:
                round_failures.append(f"RENAME left {renamed} with {[len(ids.get(b, [])) for b in renamed]} messages")
            print(f"round {rounds} ({'move' if rounds % 2 == 0 else 'copy'} mode): {storm.counts}, "
                  f"{len(acked)} acknowledged, {len(delivered)} delivered: "
                  f"{'; '.join(round_failures) if round_failures else 'invariants hold'}", flush=True)
            failures += [f"round {rounds}: {f}" for f in round_failures]
    finally:
        server.kill()
    print(f"{rounds} kill rounds; operations acknowledged or run before the kills: {totals}; "
          f"hidden temporaries seen after restarts: {temporaries}; violations: {len(failures)}")
    if failures:
        print(f"work directory kept: {work}")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
