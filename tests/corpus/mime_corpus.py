#!/usr/bin/env python3
"""Real-world MIME shapes built with Python's email package, fetched through imaplib from a private
server on loopback: whole messages, BODYSTRUCTURE's tree and sizes, and every section's bytes against
a splitter written here from RFC 2046, while another session changes the message's flags. Then curl
and fetchmail fetch the same mail as users run them.

usage: mime_corpus.py VEVE4D_BINARY
"""
import base64
import email.policy
import imaplib
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from email.message import EmailMessage, Message
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import Veve4d  # noqa: E402

SMTP = email.policy.SMTP  # CRLF line ends
GIF = base64.b64decode("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7")
failures, checks = [], [0]


def check(condition, what):
    checks[0] += 1
    if not condition:
        failures.append(what)


def mail(subject, text, cte=None, **fields):
    m = EmailMessage()
    for name, value in list(fields.items()) + [("Subject", subject)]:
        m[name] = value
    m.set_content(text, **({"cte": cte} if cte else {}))
    return m


def corpus():
    """html with an attachment, an inline image, a forward with attachments, a signed message, a preamble
    with a headerless part, nesting five deep, 8-bit text with a "." line, and no final line end."""
    html = mail("html with attachment", "Plain text\nsecond line\n", From=" Ann Example  <ann@example.org>",
                To="Bob <bob@example.org>, carol@example.org")
    html.add_alternative("<p>HTML <b>text</b></p>\n", subtype="html")
    html.add_attachment(b"%PDF-1.4 fake\n" * 20, maintype="application", subtype="pdf", filename="report.pdf")
    related = mail("related", "see the picture\n")
    related.add_alternative('<p><img src="cid:pic1@x"></p>\n', subtype="html")
    related.get_payload()[1].add_related(GIF, maintype="image", subtype="gif", cid="<pic1@x>")
    inner = mail("the original", "original body\n", From="Orig <orig@example.org>")
    inner.add_attachment(b"\x00\x01binary\xff" * 30, maintype="application", subtype="octet-stream", filename="a.bin")
    inner.add_attachment("a text file\n", filename="notes.txt")
    forward = mail("Fwd: the original", "forwarding this\n")
    forward.add_attachment(inner)
    signed = MIMEMultipart("signed", protocol="application/pgp-signature", micalg="pgp-sha256")
    signed.attach(MIMEText("signed text\n"))
    signed.attach(MIMEApplication(b"-----BEGIN PGP SIGNATURE-----\nabc\n-----END PGP SIGNATURE-----\n",
                                  "pgp-signature", _encoder=lambda p: None))
    signed["Subject"] = "signed"
    preamble = MIMEMultipart("mixed")
    preamble["Subject"], preamble.preamble, preamble.epilogue = "preamble", "This is a preamble.\nTwo lines.", "And an epilogue.\n"
    preamble.attach(MIMEText("first\n"))
    bare = Message()
    bare.set_payload("a part without any header\n")
    preamble.attach(bare)
    deep = MIMEText("deep leaf\n")
    for level in range(5):
        parent = MIMEMultipart("mixed" if level % 2 else "alternative")
        parent.attach(MIMEText(f"level {level}\n"))
        parent.attach(deep)
        deep = parent
    deep["Subject"] = "depth five"
    eight = mail("8-bit and dots", "caf\u00e9 na\u00efve \u20ac\nline\n.\nafter the dot\n", cte="8bit")
    eight.add_attachment(GIF, maintype="image", subtype="gif", filename="x.gif")
    out = [m.as_bytes(policy=SMTP) for m in (html, related, forward, signed, preamble, deep, eight,
                                              mail("no final line end", "the last line has no end\n"))]
    return out[:-1] + [out[-1].rstrip(b"\r\n")]


# ---- An independent splitter (RFC 2046) ----------------------------------------------------

def split_header(raw):
    end = raw.find(b"\r\n\r\n")
    if raw.startswith(b"\r\n"):
        return raw[:2], raw[2:]
    return (raw, b"") if end < 0 else (raw[:end + 4], raw[end + 4:])


class Node:
    def __init__(self, header, body, parent_type=""):
        self.header, self.body, self.children, self.inner = header, body, [], None
        parsed = email.message_from_bytes(header + b"\r\n", policy=email.policy.compat32)
        ctype = parsed.get("Content-Type")
        if ctype is None or "/" not in ctype.split(";")[0]:
            self.type = "message/rfc822" if parent_type == "multipart/digest" else "text/plain"
        else:
            self.type = parsed.get_content_type()
        boundary = parsed.get_param("boundary")
        if self.type.startswith("multipart/") and boundary:
            delim = re.compile(rb"(?:^|\r\n)--" + re.escape(boundary.encode()) + rb"(--)?[ \t]*(?:\r\n|$)")
            marks = list(delim.finditer(body))
            for m, following in zip(marks, marks[1:] + [None]):
                if m.group(1):
                    break
                chunk = body[m.end():following.start() if following else len(body)]
                headed = chunk.startswith(b"\r\n") or b"\r\n\r\n" in chunk or not chunk
                self.children.append(Node(*(split_header(chunk) if headed else (b"", chunk)), self.type))
        elif self.type == "message/rfc822":
            self.inner = Node(*split_header(body))


def sections(node, path=""):
    """Yields (section, expected bytes) for every part below a message node."""
    for number, part in enumerate(node.children or [node], 1):
        p = f"{path}{number}"
        yield p, part.body
        if node.children:
            yield p + ".MIME", part.header
        if part.inner is not None:
            yield p + ".HEADER", part.inner.header
            yield p + ".TEXT", part.inner.body
        if part.inner is not None or part.children:
            yield from sections(part.inner or part, p + ".")


# ---- IMAP over loopback ----------------------------------------------------------------------

TOKEN = re.compile(rb'\s*(?:(\()|(\))|"((?:[^"\\]|\\.)*)"|\{(\d+)\}\r\n|([^\s()"{\[]+(?:\[[^\]]*\][^\s()]*)?)|$)')


def parse(data):
    """An IMAP response as nested lists: strings as bytes, atoms as str, NIL as None."""
    stack, i = [[]], 0
    while i < len(data):
        m = TOKEN.match(data, i)
        i = m.end()
        if m[1]:
            stack.append([])
        elif m[2]:
            done = stack.pop()
            stack[-1].append(done)
        elif m[3] is not None:
            stack[-1].append(re.sub(rb"\\(.)", rb"\1", m[3]))
        elif m[4]:
            stack[-1].append(data[i:i + int(m[4])])
            i += int(m[4])
        elif m[5]:
            stack[-1].append(None if m[5] == b"NIL" else m[5].decode())
    return stack[0]


def fetch(imap, uid, items):
    typ, data = imap.uid("FETCH", str(uid), f"({items})")
    check(typ == "OK", f"UID FETCH {uid} {items}: {typ} {data!r:.200}")
    # Flag changes by another session may arrive as FETCH responses of their own, before or after
    # the answer; a client merges them all.
    merged, text = {}, b""
    for d in data:
        if isinstance(d, tuple):
            text += d[0] + b"\r\n" + d[1]
        elif d is not None:
            items_list = parse(text + d)[1]
            merged.update(zip(items_list[0::2], items_list[1::2]))
            text = b""
    check(merged, f"no FETCH answer for UID {uid} {items}")
    return merged


def compare_structure(got, node, where):
    """The structure the server describes against the splitter's tree."""
    if node.children:
        kids = list(itertools.takewhile(lambda g: isinstance(g, list), got))
        check(len(kids) == len(node.children), f"{where}: {len(kids)} parts, expected {len(node.children)}")
        check(got[len(kids)].decode().lower() == node.type.split("/")[1], f"{where}: subtype {got[len(kids)]}")
        for i, (g, n) in enumerate(zip(kids, node.children), 1):
            compare_structure(g, n, f"{where}.{i}")
        return
    mtype = (got[0] + b"/" + got[1]).decode().lower()
    check(mtype == node.type, f"{where}: type {mtype}, expected {node.type}")
    check(int(got[6]) == len(node.body), f"{where}: size {got[6]}, expected {len(node.body)}")
    if mtype.startswith("text/"):
        check(int(got[7]) == node.body.count(b"\n"), f"{where}: lines {got[7]}")
    if node.inner is not None:
        subject = email.message_from_bytes(node.inner.header).get("Subject") or ""
        check((got[7][1] or b"").decode() == subject, f"{where}: envelope subject {got[7][1]}")
        check(int(got[9]) == node.body.count(b"\n"), f"{where}: message lines {got[9]}")
        compare_structure(got[8], node.inner, where + "(inner)")


def check_message(imap, uid, raw):
    root = Node(*split_header(raw))
    items = fetch(imap, uid, "RFC822.SIZE BODY.PEEK[] BODY.PEEK[TEXT] RFC822.HEADER BODYSTRUCTURE FLAGS")
    check(int(items.get("RFC822.SIZE", -1)) == len(raw), f"UID {uid}: RFC822.SIZE {items.get('RFC822.SIZE')}")
    check(items.get("BODY[]") == raw, f"UID {uid}: BODY[] differs")
    check(items.get("RFC822.HEADER", b"") + items.get("BODY[TEXT]", b"") == raw,
          f"UID {uid}: RFC822.HEADER + BODY[TEXT] does not rebuild the message")
    compare_structure(items.get("BODYSTRUCTURE", []), root, f"UID {uid}")
    for section, expected in sections(root):
        value = fetch(imap, uid, f"BODY.PEEK[{section}]").get(f"BODY[{section}]")
        check(value == expected, f"UID {uid} BODY[{section}]: {value!r:.80} expected {expected!r:.80}")
    # A partial range carries its origin.
    got = fetch(imap, uid, "BODY.PEEK[1]<2.5>").get("BODY[1]<2>")
    check(got == (next(sections(root))[1][2:7] or None), f"UID {uid}: partial BODY[1]<2.5> {got!r}")
    check("\\Seen" not in items.get("FLAGS", []), f"UID {uid}: PEEK set \\Seen")


def flag_race(port, imap, expected):
    """One session changes flags (renames the file) while another fetches the same message."""
    other = imaplib.IMAP4("127.0.0.1", port)
    other.login("tester", "pass")
    other.select("INBOX")
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            for op in "+-":
                other.uid("STORE", "3", op + "FLAGS.SILENT", "(\\Flagged)")

    flipper = threading.Thread(target=flip)
    flipper.start()
    first, fetches, deadline = None, 0, time.time() + 3
    while time.time() < deadline and len(failures) <= 5:
        got = fetch(imap, 3, "BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (SUBJECT)] RFC822.SIZE")
        fetches += 1
        first = first or got.get("BODYSTRUCTURE")
        check(got.get("BODYSTRUCTURE") == first, "structure changed while flags changed")
        check(got.get("BODY[HEADER.FIELDS (SUBJECT)]") == b"Subject: Fwd: the original\r\n\r\n",
              f"header while flags changed: {got.get('BODY[HEADER.FIELDS (SUBJECT)]')!r}")
        check(int(got.get("RFC822.SIZE", -1)) == len(expected), "size while flags changed")
    stop.set()
    flipper.join()
    other.logout()
    check(fetches > 10, f"only {fetches} fetches during the race")


def check_other_clients(port, messages, work):
    """curl and fetchmail, as users run them, get the messages and their first sections byte for byte."""
    curl = shutil.which("curl")
    check(curl is not None, "curl is not installed (scripts/install-deps.sh installs it)")
    for uid, raw in enumerate(messages[:8], 1) if curl else []:
        for section, expected in [("", raw)] + list(sections(Node(*split_header(raw))))[:4]:
            url = f"imap://127.0.0.1:{port}/INBOX;UID={uid}" + (f";SECTION={section}" if section else "")
            got = subprocess.run([curl, "-sS", "--max-time", "20", url, "-u", "tester:pass"], capture_output=True)
            check(got.returncode == 0 and got.stdout == expected, f"curl UID {uid} [{section}]: {got.stdout!r:.80}")

    # fetchmail builds each message from RFC822.HEADER and BODY[TEXT]; one file per message.
    fetchmail = shutil.which("fetchmail")
    check(fetchmail is not None, "fetchmail is not installed (scripts/install-deps.sh installs it)")
    if fetchmail:
        out, rc = os.path.join(work, "fetched"), os.path.join(work, "fetchmailrc")
        os.makedirs(out, exist_ok=True)
        with open(os.open(rc, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write(f"poll 127.0.0.1 port {port} proto imap user tester password pass keep fetchall sslproto '' "
                    f"no rewrite no stripcr mda \"sh -c 'cat > {out}/$$'\"\n")
        run = subprocess.run([fetchmail, "-f", rc, "--nosyslog", "--invisible"], env=dict(os.environ, HOME=work),
                             capture_output=True, timeout=120)
        fetched = sorted(open(os.path.join(out, name), "rb").read() for name in os.listdir(out))
        # A message without a final line end gets one on the way to the delivery agent.
        wanted = sorted(raw if raw.endswith(b"\r\n") else raw + b"\r\n" for raw in messages)
        check(run.returncode == 0 and fetched == wanted,
              f"fetchmail delivered {len(fetched)} messages, {sum(f in wanted for f in fetched)} whole: "
              f"{run.stderr[-300:]!r}")


def main():
    work = tempfile.mkdtemp(prefix="veve4d-corpus-")
    server = Veve4d(sys.argv[1], work)
    inbox = server.add_user("tester", "pass", password_file=True) + "/inbox"
    port = server.start().port
    try:
        messages = corpus()
        # Delivered files, stored as they came (one ends without a line end, one with a "." line).
        for uid, raw in enumerate(messages, 1):
            with open(f"{inbox}/{uid:010d}-000000.MSG", "wb") as f:
                f.write(raw + (b".\r\n" if uid == 2 else b""))
        with open(f"{inbox}/uid", "w") as f:
            f.write(str(len(messages) + 1))
        imap = imaplib.IMAP4("127.0.0.1", port)
        imap.login("tester", "pass")
        imap.select("INBOX")
        for uid, raw in enumerate(messages, 1):
            check_message(imap, uid, raw)
        # APPEND keeps the literal's bytes exactly, adding a line end only where one is missing.
        appended = messages[:2] + messages[-1:]
        for uid, raw in enumerate(appended, len(messages) + 1):
            typ, _ = imap.append("INBOX", "(\\Seen)", '"07-Dec-2026 10:00:00 +0000"', raw)
            check(typ == "OK", f"append {uid}")
            imap.noop()
            got = fetch(imap, uid, "BODY.PEEK[] INTERNALDATE")
            check(got.get("BODY[]") == (raw if raw.endswith(b"\r\n") else raw + b"\r\n"), f"appended UID {uid}: bytes differ")
            check(got.get("INTERNALDATE") == b"07-Dec-2026 10:00:00 +0000", f"appended UID {uid}: {got.get('INTERNALDATE')}")
        # A non-PEEK read sets \Seen and says so in the same response.
        check("\\Seen" in fetch(imap, 1, "BODY[1]").get("FLAGS", []), "BODY[1] did not report \\Seen")
        flag_race(port, imap, messages[2])
        imap.logout()
        check_other_clients(port, messages + appended, work)
    finally:
        server.kill()
    for failure in failures[:40]:
        print("FAIL:", failure)
    if failures:
        print(f"{len(failures)} failures; server log in {work}/server.log")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"mime corpus: all {checks[0]} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
