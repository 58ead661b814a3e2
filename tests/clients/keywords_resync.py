#!/usr/bin/env python3
"""Keywords and resynchronisation through Python's imaplib against a private server: a tag set by
one client is seen by another after reconnecting and after a server restart, and what changed while
the server was stopped (a flag renamed, a message deleted, mail delivered) is reported by CHANGEDSINCE
and by a QRESYNC SELECT's VANISHED (EARLIER).

    keywords_resync.py BINARY
"""
import imaplib
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import Veve4d  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def message(subject):
    return (f"From: a@example.org\r\nTo: tester@test.local\r\nSubject: {subject}\r\n"
            f"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nhello\r\n").encode()


def login(server):
    client = imaplib.IMAP4("127.0.0.1", server.port)
    client.login("tester", "pass")
    return client


def flags_of(client, uid):
    typ, data = client.uid("FETCH", str(uid), "(FLAGS)")
    assert typ == "OK", data
    m = re.search(rb"FLAGS \(([^)]*)\)", data[0] if data and data[0] else b"")
    return set(m.group(1).decode().split()) if m else None


def untagged(client, key):
    return [d.decode() for d in client.untagged_responses.pop(key, []) if d is not None]


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="veve4d-keywords-") as work:
        server = Veve4d(binary, work)
        home = server.add_user("tester", "pass")
        server.start()
        try:
            a = login(server)
            check("CONDSTORE" in a.capabilities and "QRESYNC" in a.capabilities,
                  f"CONDSTORE offered: {a.capabilities}")
            for n in range(1, 4):
                typ, _ = a.append("INBOX", None, None, message(f"message {n}"))
                check(typ == "OK", f"APPEND {n}")
            a.select("INBOX")
            typ, data = a.uid("STORE", "1", "+FLAGS", "($label1 $Junk)")
            check(typ == "OK", f"STORE keywords: {data}")
            a.logout()

            # Another client, later, sees the tags.
            b = login(server)
            typ, _ = b.select("INBOX")
            permanent = " ".join(untagged(b, "PERMANENTFLAGS"))
            check("$label1" in permanent and "\\*" in permanent, f"PERMANENTFLAGS lists the tags: {permanent}")
            check({"$label1", "$Junk"} <= (flags_of(b, 1) or set()), f"tags seen after reconnect: {flags_of(b, 1)}")
            typ, data = b.uid("SEARCH", None, "KEYWORD", "$Junk")
            check(data == [b"1"], f"SEARCH KEYWORD $Junk: {data}")
            b.logout()

            c = login(server)
            c.enable("CONDSTORE")
            c.select("INBOX")
            highest = int(untagged(c, "HIGHESTMODSEQ")[0])
            validity = untagged(c, "UIDVALIDITY")[0]
            c.logout()
        finally:
            server.stop()

        # While no server runs: message 2 is marked seen by a rename, message 3 deleted, and one
        # message delivered.
        inbox = os.path.join(home, "inbox")
        names = sorted(os.listdir(inbox))
        second = next(n for n in names if n.startswith("0000000002-"))
        os.rename(os.path.join(inbox, second), os.path.join(inbox, second[:15] + "1" + second[16:]))
        os.remove(os.path.join(inbox, next(n for n in names if n.startswith("0000000003-"))))
        with open(os.path.join(home, "delivered.MSG"), "wb") as f:
            f.write(message("delivered while stopped"))

        server.start()
        try:
            d = login(server)
            typ, data = d.enable("QRESYNC")
            check(typ == "OK", f"ENABLE QRESYNC: {data}")
            typ, data = d._simple_command("SELECT", "INBOX", f"(QRESYNC ({validity} {highest}))")
            check(typ == "OK", f"SELECT QRESYNC: {data}")
            d.state = "SELECTED"  # imaplib's select() takes no parameters: the command was sent by hand
            vanished = untagged(d, "VANISHED")
            check(vanished == ["(EARLIER) 3"], f"VANISHED (EARLIER) names the deleted message: {vanished}")
            fetched = " ".join(untagged(d, "FETCH"))
            check("UID 2 " in fetched and "\\Seen" in fetched, f"the renamed message is reported: {fetched}")
            check("UID 4 " in fetched, f"the delivered message is reported: {fetched}")
            check("UID 1 " not in fetched, f"the unchanged message is not: {fetched}")
            now = int(untagged(d, "HIGHESTMODSEQ")[0])
            check(now > highest, f"HIGHESTMODSEQ went up across the restart: {highest} -> {now}")

            typ, data = d.uid("FETCH", "1:*", "(FLAGS) (CHANGEDSINCE %d)" % highest)
            uids = sorted(int(u) for u in re.findall(rb"UID (\d+)", b" ".join(x for x in data if isinstance(x, bytes))))
            check(uids == [2, 4], f"CHANGEDSINCE after the restart: {data}")
            check({"$label1", "$Junk"} <= (flags_of(d, 1) or set()), f"tags survive the restart: {flags_of(d, 1)}")
            d.logout()
        finally:
            server.stop()
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("keywords and resynchronisation: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
