"""Hostile clients for the flood test and the flood bench, loopback only and bounded in count and
time: connections that trickle a byte at a time (clear text or a TLS handshake), a normal login
timed while they run, and password guessing (alternating with a login of one's own, or from many
connections at once) counted per minute.

    sys.path.insert(0, "<source>/tests/support"); import flood_tools
"""
import os
import socket
import ssl
import subprocess
import sys
import threading
import time

# A TLS record header announcing a 512-byte handshake message, then its first bytes: the server
# waits for the rest.
TLS_HELLO_START = bytes([0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03]) + bytes(64)


def make_certificate(work):
    """A self-signed certificate and its key in work; (chain, key) paths."""
    chain, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", chain,
                    "-days", "2", "-subj", "/CN=localhost"], check=True, capture_output=True)
    return chain, key


def server_threads(pid):
    """Threads of the process now (0 when it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Trickle:
    """count connections to port from the loopback address source, each sending one byte every
    interval seconds and never a whole line (or handshake); a connection the server closes is
    opened again at once, as an attacker would.
    Counts what it opened and how many of those the server cut."""

    def __init__(self, port, count, tls=False, interval=2.0, host="127.0.0.1", source="127.0.0.1"):
        self.port, self.count, self.tls, self.interval, self.host = port, count, tls, interval, host
        self.source = source
        self.opened = self.cut = self.refused = 0
        self._socks, self._stop = [], threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _open(self):
        try:
            s = socket.create_connection((self.host, self.port), timeout=2, source_address=(self.source, 0))
        except OSError:
            self.refused += 1
            return None
        s.setblocking(False)
        self.opened += 1
        return [s, 0]

    def _feed(self, entry):
        """One more byte; False when the server has closed the connection."""
        s, sent = entry
        try:
            while s.recv(4096):  # the greeting, a BYE: read and dropped
                pass
            return False  # end of stream
        except BlockingIOError:
            pass
        except OSError:
            return False
        byte = TLS_HELLO_START[sent % len(TLS_HELLO_START):][:1] if self.tls else b"a"
        try:
            s.send(byte)
        except OSError:
            return False
        entry[1] = sent + 1
        return True

    def _run(self):
        while len(self._socks) < self.count and not self._stop.is_set():
            entry = self._open()
            if entry is not None:
                self._socks.append(entry)
        while not self._stop.wait(self.interval):
            for i, entry in enumerate(self._socks):
                if entry is not None and self._feed(entry):
                    continue
                if entry is not None:
                    entry[0].close()
                    self.cut += 1
                self._socks[i] = self._open()
                if self._stop.is_set():
                    break

    def start(self):
        self._thread.start()
        return self

    def wait_opened(self, timeout=60):
        end = time.monotonic() + timeout
        while self.opened + self.refused < self.count and time.monotonic() < end:
            time.sleep(0.1)

    def stop(self):
        self._stop.set()
        self._thread.join(30)
        for entry in self._socks:
            if entry is not None:
                entry[0].close()


def read_until(f, prefix):
    """Lines from f up to the one that starts with prefix (that line); None at end of stream."""
    while True:
        line = f.readline()
        if not line:
            return None
        if line.startswith(prefix):
            return line


def timed_login(port, user, password, tls=False, timeout=10.0):
    """Seconds from connect to the OK of LOGIN; None when it did not succeed within timeout."""
    # Made before the connection, as a mail client has it ready: loading it takes longer than a
    # client that has connected may stay silent while a flood needs room.
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as raw:
            s = raw
            if tls:
                s = context.wrap_socket(raw, server_hostname="localhost")
            f = s.makefile("rb")
            if not f.readline().startswith(b"* OK"):
                return None
            s.sendall(f"a LOGIN {user} {password}\r\n".encode())
            answer = read_until(f, b"a ")
            if answer is None or not answer.startswith(b"a OK"):
                return None
            s.sendall(b"b LOGOUT\r\n")
            return time.monotonic() - start
    except (OSError, ssl.SSLError):
        return None


def timed_login_apart(port, user, password, tls=False, timeout=10.0):
    """timed_login in a process of its own: a flood run by this one (whose threads share one
    interpreter lock) must not delay the normal client's own bytes and make it look like one
    of the flood."""
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); import flood_tools; "
            f"print(flood_tools.timed_login({port}, {user!r}, {password!r}, {tls}, {timeout}))")
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout + 20)
    except subprocess.TimeoutExpired:
        return None
    text = done.stdout.strip()
    return None if text in ("", "None") else float(text)


class Session:
    """A clear-text connection for guessing: LOGIN attempts, reconnecting when the server ends it."""

    def __init__(self, port, timeout):
        self.port, self.timeout, self.sock, self.f, self.tag = port, timeout, None, None, 0

    def _connect(self):
        self.close()
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout)
        self.f = self.sock.makefile("rb")
        if not self.f.readline().startswith(b"* OK"):
            raise OSError("no greeting")

    def login(self, user, password):
        """'OK', 'NO', or None when the connection broke or no answer came in time."""
        try:
            if self.sock is None:
                self._connect()
            self.tag += 1
            tag = f"g{self.tag}".encode()
            self.sock.sendall(tag + f" LOGIN {user} {password}\r\n".encode())
            line = read_until(self.f, tag + b" ")
            if line is None:
                self.close()
                return None
            answer = line.split()[1].decode()
            if answer == "OK":
                self.close()  # logged in: the next LOGIN needs a fresh connection
            return answer
        except OSError:
            self.close()
            return None

    def close(self):
        if self.sock is not None:
            try:
                self.sock.close()
            except OSError:
                pass
        self.sock = self.f = None


def alternating_attack(port, victim, own_user, own_password, seconds):
    """Guesses of victim's password answered within seconds, a login to one's own account after
    each: the count of guesses answered."""
    end, guesses = time.monotonic() + seconds, 0
    guesser, own = Session(port, seconds + 5), Session(port, seconds + 5)
    while time.monotonic() < end:
        answer = guesser.login(victim, f"guess{guesses}")
        if answer is not None and time.monotonic() <= end:
            guesses += answer == "NO"
        own.login(own_user, own_password)
    guesser.close()
    own.close()
    return guesses


def parallel_attack(port, victim, connections, seconds):
    """connections threads guessing victim's password at once for seconds: the guesses answered."""
    end, counts, lock = time.monotonic() + seconds, [0], threading.Lock()

    def guess(n):
        session, attempt = Session(port, seconds + 5), 0
        while time.monotonic() < end:
            attempt += 1
            answer = session.login(victim, f"p{n}x{attempt}")
            if answer == "NO" and time.monotonic() <= end:
                with lock:
                    counts[0] += 1
            elif answer is None:
                time.sleep(0.05)
        session.close()

    threads = [threading.Thread(target=guess, args=(n,), daemon=True) for n in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 30)
    return counts[0]
