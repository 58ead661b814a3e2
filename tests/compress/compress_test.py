#!/usr/bin/env python3
"""COMPRESS=DEFLATE against a private server, with Python's zlib as the client's side of the
stream: commands go compressed, answers come compressed, in clear text and under TLS (STARTTLS),
including an APPEND and a FETCH of a 20 MB message, a command sent right behind COMPRESS, IDLE,
and a client whose stream breaks. Prints the bytes on the wire beside the bytes they carried.

    compress_test.py BINARY
"""
import os
import random
import socket
import ssl
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import SERVICE_KEY, Veve4d  # noqa: E402
import flood_tools  # noqa: E402

failures = []
BIG = 20 * 1024 * 1024


def check(condition, what):
    print(("ok  " if condition else "FAIL"), what)
    if not condition:
        failures.append(what)


class Client:
    """One IMAP connection; after compress() every byte both ways goes through zlib."""

    def __init__(self, port, tls_context=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.tls_context = tls_context
        self.buf = b""
        self.deflater = self.inflater = None
        self.wire_in = self.plain_in = 0

    def start_tls(self):
        self.sock = self.tls_context.wrap_socket(self.sock, server_hostname="localhost")

    def compress(self):
        # wbits -15: raw DEFLATE, as RFC 4978 has it.
        self.deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
        self.inflater = zlib.decompressobj(-15)

    def packed(self, data):
        return self.deflater.compress(data) + self.deflater.flush(zlib.Z_SYNC_FLUSH) if self.deflater else data

    def send(self, data):
        self.sock.sendall(self.packed(data))

    def fill(self):
        raw = self.sock.recv(1 << 20)
        if not raw:
            raise EOFError("connection closed")
        self.wire_in += len(raw)
        data = self.inflater.decompress(raw) if self.inflater else raw
        self.plain_in += len(data)
        self.buf += data

    def read_exact(self, n):
        while len(self.buf) < n:
            self.fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def line(self):
        """One answer line; a literal in it is read whole and kept inside."""
        out = b""
        while True:
            while b"\r\n" not in self.buf:
                self.fill()
            end = self.buf.index(b"\r\n") + 2
            part, self.buf = self.buf[:end], self.buf[end:]
            out += part
            if part.endswith(b"}\r\n") and b"{" in part:
                out += self.read_exact(int(part[part.rindex(b"{") + 1:-3]))
                continue
            return out

    def until_tagged(self, tag):
        lines = []
        while True:
            lines.append(self.line())
            if lines[-1].startswith(tag + b" "):
                return lines

    def command(self, tag, text):
        self.send(tag + b" " + text + b"\r\n")
        return self.until_tagged(tag)

    def closed(self):
        """True when the server hung up (a reset counts); False when it kept the line open."""
        self.sock.settimeout(15)
        try:
            while True:
                self.fill()
        except socket.timeout:
            return False
        except (EOFError, OSError, zlib.error):
            return True


def big_message():
    """20 MB of mail-like text: compressible the way real mail is, not a run of one byte."""
    rng = random.Random(4978)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    head = b"From: a@example.org\r\nTo: tester@test.local\r\nSubject: big\r\n\r\n"
    lines, size = [head], len(head)
    while size < BIG:
        line = b" ".join(rng.choice(words) for _ in range(12)) + b"\r\n"
        lines.append(line)
        size += len(line)
    return b"".join(lines)[:BIG - 2] + b"\r\n"


def session(port, tls_context, user, label):
    c = Client(port, tls_context)
    greeting = c.line()
    check(greeting.startswith(b"* OK [CAPABILITY ") and b"COMPRESS=DEFLATE" not in greeting,
          f"{label}: the greeting lists capabilities, without COMPRESS before login")
    if tls_context is not None:
        check(c.command(b"s", b"STARTTLS")[-1].startswith(b"s OK"), f"{label}: STARTTLS")
        c.start_tls()
    check(c.command(b"p", b"COMPRESS DEFLATE")[-1].startswith(b"p NO"), f"{label}: no COMPRESS before login")
    login = c.command(b"l", b"LOGIN " + user + b" secret")[-1]
    check(login.startswith(b"l OK [CAPABILITY ") and b" COMPRESS=DEFLATE" in login, f"{label}: LOGIN offers COMPRESS")
    check(c.command(b"u", b"COMPRESS LZW")[-1].startswith(b"u BAD"), f"{label}: an unknown mechanism is refused")
    # A client may send compressed commands right behind COMPRESS, before it has the answer.
    c.sock.sendall(b"c COMPRESS DEFLATE\r\n")
    c.compress()
    c.sock.sendall(c.packed(b"n NOOP\r\n"))
    saved, c.inflater = c.inflater, None
    while b"\r\n" not in c.buf:
        c.buf += c.sock.recv(1)  # the OK alone is in clear text; the compressed stream follows it
    ok, c.buf = c.buf[:c.buf.index(b"\r\n") + 2], c.buf[c.buf.index(b"\r\n") + 2:]
    c.inflater = saved
    check(ok == b"c OK DEFLATE active\r\n", f"{label}: COMPRESS answered in clear text ({ok!r})")
    check(c.until_tagged(b"n")[-1] == b"n OK NOOP completed\r\n", f"{label}: a command sent behind COMPRESS runs")
    check(c.command(b"c2", b"COMPRESS DEFLATE")[-1].startswith(b"c2 BAD [COMPRESSIONACTIVE]"),
          f"{label}: a second COMPRESS is refused")
    return c


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="veve4d-compress-") as work:
        chain, key = flood_tools.make_certificate(work)
        tls_context = ssl.create_default_context(cafile=chain)
        server = Veve4d(binary, work, SERVICE_KEY + f'"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n'
                        + '"TlsPortNo"=dword:00000000\n"ConsoleTrace"=dword:00000000\n"MailFsync"="never"\n')
        server.add_user("tester", "secret")
        server.add_user("other", "secret")
        server.start()
        try:
            body = big_message()
            for tls, user in ((None, b"tester"), (tls_context, b"other")):
                label = "TLS" if tls else "clear"
                c = session(server.port, tls, user, label)
                check(c.command(b"s", b"SELECT INBOX")[-1].startswith(b"s OK"), f"{label}: SELECT")
                c.send(b"a APPEND INBOX (\\Seen) {%d}\r\n" % len(body))
                check(c.line().startswith(b"+ "), f"{label}: APPEND asks for the 20 MB literal")
                c.send(body + b"\r\n")
                check(c.until_tagged(b"a")[-1].startswith(b"a OK"), f"{label}: the 20 MB APPEND arrived whole")
                c.wire_in = c.plain_in = 0
                lines = c.command(b"f", b"FETCH 1 BODY.PEEK[]")
                fetched = lines[0]
                start = fetched.index(b"}\r\n") + 3
                check(fetched[start:start + len(body)] == body and lines[-1] == b"f OK FETCH completed\r\n",
                      f"{label}: the 20 MB body comes back byte for byte")
                print(f"     {label}: FETCH BODY[] of {len(body)} bytes: {c.wire_in} bytes on the wire, "
                      f"{c.plain_in} decompressed ({c.plain_in / max(c.wire_in, 1):.1f}x)")
                check(c.wire_in * 2 < c.plain_in, f"{label}: the body travelled compressed")
                # IDLE's DONE comes compressed, as does every line after it.
                c.send(b"i IDLE\r\n")
                check(c.line().startswith(b"+ "), f"{label}: IDLE")
                c.send(b"DONE\r\nx UNSELECT\r\n")
                check(c.until_tagged(b"i")[-1] == b"i OK IDLE completed\r\n", f"{label}: DONE ends IDLE")
                check(c.until_tagged(b"x")[-1] == b"x OK UNSELECT completed\r\n", f"{label}: the line behind DONE")
                check(c.command(b"o", b"LOGOUT")[-1] == b"o OK LOGOUT completed\r\n", f"{label}: LOGOUT")
                c.sock.close()

            # A stream that is no DEFLATE data cannot be followed: the server hangs up.
            c = Client(server.port)
            c.line()
            c.command(b"l", b"LOGIN tester secret")
            c.command(b"c", b"COMPRESS DEFLATE")
            c.compress()
            c.sock.sendall(b"\xff\xff\xff\xff not deflate at all\r\n")
            check(c.closed(), "a broken compressed stream ends the connection")
            check(server.process.poll() is None, "the server still runs")
        finally:
            server.stop()
    if failures:
        print(f"{len(failures)} failed")
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
