#!/usr/bin/env python3
"""Real-world MIME shapes built with Python's email package, fetched from a private server on
loopback: BODYSTRUCTURE's tree and sizes, every section's bytes and every MIME header are checked
against a splitter written here from RFC 2046, and one session fetches while another changes the
message's flags. Then imaplib, curl and fetchmail fetch the same mail as users run them.

usage: mime_corpus.py VEVE4D_BINARY
"""
import base64
import email.policy
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from email.message import EmailMessage, Message
from email.mime.application import MIMEApplication
from email.mime.image import MIMEImage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import Veve4d  # noqa: E402

SMTP = email.policy.SMTP  # CRLF line ends
failures = []
checks = [0]


def check(condition, what):
    checks[0] += 1
    if not condition:
        failures.append(what)


# ---- The corpus ------------------------------------------------------------------------------

GIF = base64.b64decode("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7")


def html_with_attachment():
    m = EmailMessage()
    m["From"] = " Ann Example  <ann@example.org>"
    m["To"] = "Bob <bob@example.org>, carol@example.org"
    m["Subject"] = "html with attachment"
    m.set_content("Plain text\nsecond line\n")
    m.add_alternative("<p>HTML <b>text</b></p>\n", subtype="html")
    m.add_attachment(b"%PDF-1.4 fake\n" * 20, maintype="application", subtype="pdf", filename="report.pdf")
    return m.as_bytes(policy=SMTP)


def related_inline_image():
    m = EmailMessage()
    m["Subject"] = "related"
    m.set_content("see the picture\n")
    m.add_alternative('<p><img src="cid:pic1@x"></p>\n', subtype="html")
    html = m.get_payload()[1]
    html.add_related(GIF, maintype="image", subtype="gif", cid="<pic1@x>")
    return m.as_bytes(policy=SMTP)


def forwarded_with_attachments():
    inner = EmailMessage()
    inner["From"] = "Orig <orig@example.org>"
    inner["Subject"] = "the original"
    inner.set_content("original body\n")
    inner.add_attachment(b"\x00\x01binary\xff" * 30, maintype="application", subtype="octet-stream", filename="a.bin")
    inner.add_attachment("a text file\n", filename="notes.txt")
    outer = EmailMessage()
    outer["Subject"] = "Fwd: the original"
    outer.set_content("forwarding this\n")
    outer.add_attachment(inner)
    return outer.as_bytes(policy=SMTP)


def signed():
    body = MIMEText("signed text\n")
    sig = MIMEApplication(b"-----BEGIN PGP SIGNATURE-----\nabc\n-----END PGP SIGNATURE-----\n", "pgp-signature",
                          _encoder=lambda p: None)
    m = MIMEMultipart("signed", protocol="application/pgp-signature", micalg="pgp-sha256")
    m.attach(body)
    m.attach(sig)
    m["Subject"] = "signed"
    return m.as_bytes(policy=SMTP)


def preamble_epilogue_and_headerless_part():
    m = MIMEMultipart("mixed")
    m["Subject"] = "preamble"
    m.preamble = "This is a preamble.\nTwo lines."
    m.epilogue = "And an epilogue.\n"
    m.attach(MIMEText("first\n"))
    bare = Message()
    bare.set_payload("a part without any header\n")
    m.attach(bare)
    return m.as_bytes(policy=SMTP)


def nested_depth_five():
    leaf = MIMEText("deep leaf\n")
    node = leaf
    for level in range(5):
        parent = MIMEMultipart("mixed" if level % 2 else "alternative")
        parent.attach(MIMEText(f"level {level}\n"))
        parent.attach(node)
        node = parent
    node["Subject"] = "depth five"
    return node.as_bytes(policy=SMTP)


def eight_bit_and_dots():
    m = EmailMessage()
    m["Subject"] = "8-bit and dots"
    m.set_content("caf\u00e9 na\u00efve \u20ac\nline\n.\nafter the dot\n", cte="8bit")
    m.add_attachment(GIF, maintype="image", subtype="gif", filename="x.gif")
    return m.as_bytes(policy=SMTP)


def no_final_crlf():
    m = EmailMessage()
    m["Subject"] = "no final line end"
    m.set_content("the last line has no end\n")
    return m.as_bytes(policy=SMTP).rstrip(b"\r\n")


CORPUS = [html_with_attachment, related_inline_image, forwarded_with_attachments, signed,
          preamble_epilogue_and_headerless_part, nested_depth_five, eight_bit_and_dots, no_final_crlf]


# ---- An independent splitter (RFC 2046) ----------------------------------------------------

class Node:
    def __init__(self, header, body, parent_type=""):
        self.header, self.body = header, body
        parsed = email.message_from_bytes(header + b"\r\n", policy=email.policy.compat32)
        ctype = parsed.get("Content-Type")
        if ctype is None or "/" not in ctype.split(";")[0]:
            self.type = "message/rfc822" if parent_type == "multipart/digest" else "text/plain"
        else:
            self.type = parsed.get_content_type()
        self.children, self.inner = [], None
        if self.type.startswith("multipart/") and parsed.get_param("boundary"):
            for h, b in split_parts(body, parsed.get_param("boundary").encode()):
                self.children.append(Node(h, b, self.type))
        elif self.type == "message/rfc822":
            self.inner = message_node(body)


def split_header(raw):
    end = raw.find(b"\r\n\r\n")
    if raw.startswith(b"\r\n"):
        return raw[:2], raw[2:]
    return (raw, b"") if end < 0 else (raw[:end + 4], raw[end + 4:])


def message_node(raw):
    header, body = split_header(raw)
    return Node(header, body)


def split_parts(body, boundary):
    delim = re.compile(rb"(?:^|\r\n)--" + re.escape(boundary) + rb"(--)?[ \t]*(?:\r\n|$)")
    marks = list(delim.finditer(body))
    parts = []
    for m, following in zip(marks, marks[1:] + [None]):
        if m.group(1):
            break
        chunk = body[m.end():following.start() if following else len(body)]
        if chunk.startswith(b"\r\n") or b"\r\n\r\n" in chunk or not chunk:
            h, b = split_header(chunk)
        else:
            h, b = b"", chunk
        parts.append((h, b))
    return parts


def sections(node, path=""):
    """Yields (section, expected bytes) for every part below a message node."""
    parts = node.children if node.children else [node]
    for number, part in enumerate(parts, 1):
        p = f"{path}{number}"
        yield p, part.body
        if node.children:
            yield p + ".MIME", part.header
        if part.inner is not None:
            yield p + ".HEADER", part.inner.header
            yield p + ".TEXT", part.inner.body
            yield from sections(part.inner, p + ".")
        elif part.children:
            yield from sections(part, p + ".")


# ---- IMAP over loopback ----------------------------------------------------------------------

class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.file = self.sock.makefile("rb")
        self.tag = 0
        self.file.readline()

    def command(self, text, literal=None):
        """Returns the untagged responses (literals inline) and the tagged line."""
        self.tag += 1
        tag = b"t%d" % self.tag
        if literal is None:
            self.sock.sendall(tag + b" " + text + b"\r\n")
        else:
            self.sock.sendall(tag + b" " + text + b" {%d}\r\n" % len(literal))
            line = self.file.readline()
            if not line.startswith(b"+"):
                return [], line
            self.sock.sendall(literal + b"\r\n")
        untagged = []
        while True:
            line = self.read_response()
            if line.startswith(tag + b" "):
                return untagged, line
            untagged.append(line)

    def read_response(self):
        out = b""
        while True:
            line = self.file.readline()
            if not line:
                raise EOFError("connection closed")
            out += line
            m = re.search(rb"\{(\d+)\}\r\n$", line)
            if not m:
                return out
            out += self.file.read(int(m.group(1)))


def tokens(data):
    """Tokens of an IMAP response: '(' ')' atoms, strings (bytes), None for NIL."""
    i, out = 0, []
    while i < len(data):
        c = data[i:i + 1]
        if c in b" \r\n":
            i += 1
        elif c in b"()":
            out.append(c.decode())
            i += 1
        elif c == b'"':
            j, s = i + 1, b""
            while data[j:j + 1] != b'"':
                if data[j:j + 1] == b"\\":
                    j += 1
                s += data[j:j + 1]
                j += 1
            out.append(s)
            i = j + 1
        elif c == b"{":
            j = data.index(b"}", i)
            n = int(data[i + 1:j])
            out.append(data[j + 3:j + 3 + n])
            i = j + 3 + n
        else:
            j = i
            depth = 0
            while j < len(data) and (depth or data[j:j + 1] not in b" ()\r\n"):
                depth += {b"[": 1, b"]": -1}.get(data[j:j + 1], 0)
                j += 1
            atom = data[i:j].decode()
            out.append(None if atom == "NIL" else atom)
            i = j
    return out


def nest(toks):
    stack = [[]]
    for t in toks:
        if t == "(":
            stack.append([])
        elif t == ")":
            done = stack.pop()
            stack[-1].append(done)
        else:
            stack[-1].append(t)
    return stack[0]


def fetch_items(client, uid, items):
    untagged, tagged = client.command(b"UID FETCH %d (%s)" % (uid, items))
    check(tagged.split()[1] == b"OK", f"UID FETCH {uid} {items}: {tagged!r}")
    # Flag changes by another session may arrive as FETCH responses of their own, before or
    # after the answer; a client merges them all.
    merged = {}
    for line in untagged:
        if b" FETCH " in line:
            parsed = nest(tokens(line[line.index(b"FETCH ") + 6:]))[0]
            merged.update(zip(parsed[0::2], parsed[1::2]))
    if not merged:
        failures.append(f"no FETCH answer for UID {uid} {items}")
    return merged


def compare_structure(got, node, where):
    """The structure the server describes against the splitter's tree."""
    if node.children:
        check(isinstance(got[0], list), f"{where}: not multipart")
        kids = []
        for g in got:
            if not isinstance(g, list):
                break
            kids.append(g)
        check(len(kids) == len(node.children), f"{where}: {len(kids)} parts, expected {len(node.children)}")
        check(str(got[len(kids)], "ascii").lower() == node.type.split("/")[1], f"{where}: subtype {got[len(kids)]}")
        for i, (g, n) in enumerate(zip(kids, node.children), 1):
            compare_structure(g, n, f"{where}.{i}")
        return
    mtype = (str(got[0], "ascii") + "/" + str(got[1], "ascii")).lower()
    check(mtype == node.type, f"{where}: type {mtype}, expected {node.type}")
    check(int(got[6]) == len(node.body), f"{where}: size {got[6]}, expected {len(node.body)}")
    if mtype.startswith("text/"):
        lines = node.body.count(b"\n")
        check(int(got[7]) == lines, f"{where}: lines {got[7]}, expected {lines}")
    if node.inner is not None:
        envelope, inner, lines = got[7], got[8], got[9]
        subject = email.message_from_bytes(node.inner.header).get("Subject")
        check((envelope[1] or b"").decode() == (subject or ""), f"{where}: envelope subject {envelope[1]}")
        check(int(lines) == node.body.count(b"\n"), f"{where}: message lines {lines}")
        compare_structure(inner, node.inner, where + "(inner)")


def check_message(client, uid, raw, expect_stored):
    root = message_node(expect_stored)
    items = fetch_items(client, uid, b"RFC822.SIZE BODY.PEEK[] BODY.PEEK[TEXT] RFC822.HEADER BODYSTRUCTURE FLAGS")
    check(int(items.get("RFC822.SIZE", -1)) == len(expect_stored), f"UID {uid}: RFC822.SIZE {items.get('RFC822.SIZE')}")
    check(items.get("BODY[]") == expect_stored, f"UID {uid}: BODY[] differs")
    check(items.get("RFC822.HEADER", b"") + items.get("BODY[TEXT]", b"") == expect_stored,
          f"UID {uid}: RFC822.HEADER + BODY[TEXT] does not rebuild the message")
    if "BODYSTRUCTURE" in items:
        compare_structure(items["BODYSTRUCTURE"], root, f"UID {uid}")
    for section, expected in sections(root):
        got = fetch_items(client, uid, b"BODY.PEEK[%s]" % section.encode())
        value = got.get(f"BODY[{section}]")
        check(value == expected, f"UID {uid} BODY[{section}]: {value!r:.80} expected {expected!r:.80}")
    # A partial range carries its origin.
    got = fetch_items(client, uid, b"BODY.PEEK[1]<2.5>")
    check(got.get("BODY[1]<2>") == (list(sections(root))[0][1][2:7] or None), f"UID {uid}: partial BODY[1]<2.5>")
    check("\\Seen" not in str(items.get("FLAGS")), f"UID {uid}: PEEK set \\Seen")


# ---- Real clients ----------------------------------------------------------------------------

def check_real_clients(port, messages, appended, work):
    """imaplib, curl and fetchmail, as users run them, get every part of every message byte for byte."""
    import imaplib
    m = imaplib.IMAP4("127.0.0.1", port)
    m.login("tester", "pass")
    m.select("INBOX", readonly=True)
    for uid, raw in enumerate(messages, 1):
        for section, expected in [("", raw)] + list(sections(message_node(raw))):
            typ, data = m.uid("FETCH", str(uid), f"(BODY.PEEK[{section}])")
            label = f"BODY[{section}]".encode()
            got = [item[1] for item in data if isinstance(item, tuple) and label in item[0]]
            if not got and any(isinstance(item, bytes) and label + b' ""' in item for item in data):
                got = [b""]
            check(typ == "OK" and got == [expected], f"imaplib UID {uid} {label.decode()}: {got!r:.80}")
    m.logout()

    curl = shutil.which("curl")
    check(curl is not None, "curl is not installed (scripts/install-deps.sh installs it)")
    for uid, raw in enumerate(messages, 1) if curl else []:
        for section, expected in [("", raw)] + list(sections(message_node(raw)))[:4]:
            url = f"imap://127.0.0.1:{port}/INBOX;UID={uid}" + (f";SECTION={section}" if section else "")
            got = subprocess.run([curl, "-sS", "--max-time", "20", url, "-u", "tester:pass"], capture_output=True)
            check(got.returncode == 0 and got.stdout == expected, f"curl UID {uid} [{section}]: {got.stdout!r:.80}")

    # fetchmail builds each message from RFC822.HEADER and BODY[TEXT]; one file per message.
    fetchmail = shutil.which("fetchmail")
    check(fetchmail is not None, "fetchmail is not installed (scripts/install-deps.sh installs it)")
    if fetchmail:
        out = os.path.join(work, "fetched")
        os.makedirs(out, exist_ok=True)
        rc = os.path.join(work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write(f"poll 127.0.0.1 port {port} proto imap user tester password pass keep fetchall sslproto '' "
                    f"no rewrite no stripcr mda \"sh -c 'cat > {out}/$$'\"\n")
        os.chmod(rc, 0o600)
        run = subprocess.run([fetchmail, "-f", rc, "--nosyslog", "--invisible"], env=dict(os.environ, HOME=work),
                             capture_output=True, timeout=120)
        fetched = sorted(open(os.path.join(out, name), "rb").read() for name in os.listdir(out))
        # A message without a final line end gets one on the way to the delivery agent.
        wanted = sorted(raw if raw.endswith(b"\r\n") else raw + b"\r\n" for raw in messages + appended)
        check(run.returncode == 0 and fetched == wanted,
              f"fetchmail delivered {len(fetched)} messages, {sum(f in wanted for f in fetched)} whole: "
              f"{run.stderr[-300:]!r}")


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="veve4d-corpus-")
    server = Veve4d(binary, work)
    inbox = server.add_user("tester", "pass", password_file=True) + "/inbox"
    port = server.start().port
    try:
        messages = [build() for build in CORPUS]
        # Delivered files, stored as they came (one ends without a line end, one with a "." line).
        for uid, raw in enumerate(messages, 1):
            with open(f"{inbox}/{uid:010d}-000000.MSG", "wb") as f:
                f.write(raw + (b".\r\n" if uid == 2 else b""))
        with open(f"{inbox}/uid", "w") as f:
            f.write(str(len(messages) + 1))
        client = Client(port)
        check(client.command(b"LOGIN tester pass")[1].split()[1] == b"OK", "login")
        check(client.command(b"SELECT INBOX")[1].split()[1] == b"OK", "select")
        for uid, raw in enumerate(messages, 1):
            check_message(client, uid, raw, raw)
        # APPEND keeps the literal's bytes exactly, adding a line end only where one is missing.
        for raw in messages[:2] + messages[-1:]:
            uid = len(messages) + 1 + [m for m in messages[:2] + messages[-1:]].index(raw)
            check(client.command(b'APPEND INBOX (\\Seen) "07-Dec-2026 10:00:00 +0000"', raw)[1].split()[1] == b"OK",
                  "append")
            client.command(b"NOOP")
            check_message_appended = raw if raw.endswith(b"\r\n") else raw + b"\r\n"
            got = fetch_items(client, uid, b"BODY.PEEK[] INTERNALDATE")
            check(got.get("BODY[]") == check_message_appended, f"appended UID {uid}: stored bytes differ")
            check(got.get("INTERNALDATE") == b"07-Dec-2026 10:00:00 +0000", f"appended UID {uid}: {got.get('INTERNALDATE')}")
        # A non-PEEK read sets \Seen and says so in the same response.
        got = fetch_items(client, 1, b"BODY[1]")
        check("\\Seen" in str(got.get("FLAGS")), f"BODY[1] did not report \\Seen: {got}")

        # One session changes flags (renames the file) while another fetches the same message.
        other = Client(port)
        other.command(b"LOGIN tester pass")
        other.command(b"SELECT INBOX")
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                for op in (b"+", b"-"):
                    other.command(b"UID STORE 3 %sFLAGS.SILENT (\\Flagged)" % op)

        flipper = threading.Thread(target=flip)
        flipper.start()
        expected_structure = None
        deadline = time.time() + 3
        fetches = 0
        while time.time() < deadline:
            got = fetch_items(client, 3, b"BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (SUBJECT)] RFC822.SIZE")
            fetches += 1
            expected_structure = expected_structure or got.get("BODYSTRUCTURE")
            check(got.get("BODYSTRUCTURE") == expected_structure, "structure changed while flags changed")
            check(got.get("BODY[HEADER.FIELDS (SUBJECT)]") == b"Subject: Fwd: the original\r\n\r\n",
                  f"header while flags changed: {got.get('BODY[HEADER.FIELDS (SUBJECT)]')!r}")
            check(int(got.get("RFC822.SIZE", -1)) == len(messages[2]), "size while flags changed")
            if len(failures) > 5:
                break
        stop.set()
        flipper.join()
        check(fetches > 10, f"only {fetches} fetches during the race")
        check_real_clients(port, messages, messages[:2] + messages[-1:], work)
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
