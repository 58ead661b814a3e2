"""A small IMAP client for the cluster test and bench: loopback only, from a chosen 127/8 source
address (so that the address a node logs can be told apart from the balancer's), clear text or
implicit TLS, literals both ways, IDLE."""
import re
import socket
import ssl
import time
import zlib


class Closed(Exception):
    pass


class Imap:
    def __init__(self, port, source="127.0.0.1", timeout=15, tls=False):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
        if tls:
            context = ssl.create_default_context()
            context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
            self.sock = context.wrap_socket(self.sock)
        self.buffer, self.count = b"", 0
        self.greeting = self.line()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Closed("connection closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line + b"\r\n"

    def exact(self, size):
        while len(self.buffer) < size:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Closed("connection closed")
            self.buffer += chunk
        data, self.buffer = self.buffer[:size], self.buffer[size:]
        return data

    def response(self):
        """One response: (its text with each literal cut out, [the literals])."""
        text, literals = b"", []
        while True:
            line = self.line()
            text += line
            m = re.search(rb"\{(\d+)\}\r\n$", line)
            if not m:
                return text, literals
            literals.append(self.exact(int(m.group(1))))

    def tag(self):
        self.count += 1
        return b"c%d" % self.count

    def command(self, text):
        """Sends the command; (tagged line, [untagged responses])."""
        tag = self.tag()
        self.sock.sendall(tag + b" " + text.encode() + b"\r\n")
        return self._until(tag)

    def _until(self, tag):
        untagged = []
        while True:
            response = self.response()
            if response[0].startswith(tag + b" "):
                return response[0], untagged
            untagged.append(response)

    def ok(self, text):
        tagged, untagged = self.command(text)
        if b" OK" not in tagged[:40]:
            raise AssertionError(f"{text}: {tagged!r}")
        return untagged

    def login(self, user, password):
        return self.ok(f"LOGIN {user} {password}")

    def append(self, mailbox, message):
        """The tagged answer of an APPEND with a synchronising literal."""
        tag = self.tag()
        self.sock.sendall(tag + b" APPEND " + mailbox.encode() + b" {%d}\r\n" % len(message))
        first = self.line()
        if not first.startswith(b"+"):
            return first if first.startswith(tag) else self._until(tag)[0]
        self.sock.sendall(message + b"\r\n")
        return self._until(tag)[0]

    def idle(self):
        self.tag_idle = self.tag()
        self.sock.sendall(self.tag_idle + b" IDLE\r\n")
        while not self.line().startswith(b"+"):
            pass

    def wait_for(self, pattern, seconds):
        """The first untagged line matching pattern (bytes regex) within seconds, else None."""
        end = time.monotonic() + seconds
        try:
            while True:
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.sock.settimeout(left)
                line = self.line()
                if re.search(pattern, line):
                    return line
        except socket.timeout:
            return None
        finally:
            self.sock.settimeout(15)

    def done(self):
        self.sock.sendall(b"DONE\r\n")
        return self._until(self.tag_idle)


def message(marker, size=None):
    """A message that names itself: its body is a function of the marker alone, so a stored copy
    can be checked whole. Size from the marker unless given."""
    if size is None:
        size = 200 + zlib.crc32(marker.encode()) % 12000
    head = (f"From: Storm <storm@test.local>\r\nTo: tester@test.local\r\nSubject: {marker}\r\n"
            f"Message-ID: <{marker}@cluster.test>\r\nX-Marker: {marker}\r\n\r\n").encode()
    body, k = [], 0
    while len(head) + sum(map(len, body)) < size:
        body.append(f"{marker} line {k:05d} the quick brown fox jumps over the lazy dog\r\n".encode())
        k += 1
    return head + b"".join(body)


def marker_of(data):
    m = re.search(rb"\r\nX-Marker: (\S+)\r\n", data)
    return m.group(1).decode() if m else None
