"""Many IMAP clients idling at once from one thread (selectors): each logs in, selects a mailbox
and idles; the time each hears of new mail is taken. Loopback only; used by the idle test and
bench/idle10k.py."""
import re, resource, selectors, socket, time

EXISTS = re.compile(rb"^\* (\d+) EXISTS")


def raise_open_files(needed):
    """The soft limit of open files raised towards the hard one; False when it stays below needed."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard != resource.RLIM_INFINITY else max(needed, soft)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0] >= needed


class Idler:
    def __init__(self, user, mailbox):
        self.user, self.mailbox = user, mailbox
        self.sock, self.buf = None, b""
        self.exists = None      # what SELECT said
        self.idling = False     # the continuation came
        self.heard = None       # when an EXISTS above self.exists came
        self.failed = None


class Idlers:
    """COUNT clients, users user0..user(N-1), each user's clients in turn."""

    def __init__(self, port, users, per_user, password="pw", mailbox="INBOX", host="127.0.0.1"):
        self.port, self.host, self.password = port, host, password
        self.sel = selectors.DefaultSelector()
        self.idlers = [Idler(u, mailbox) for u in users for _ in range(per_user)]

    def _lines(self, idler):
        try:
            data = idler.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            idler.failed = idler.failed or f"recv: {e}"
            return self._drop(idler)
        if not data:
            idler.failed = idler.failed or "closed"
            return self._drop(idler)
        idler.buf += data
        while b"\n" in idler.buf:
            line, idler.buf = idler.buf.split(b"\n", 1)
            self._line(idler, line.rstrip(b"\r"))

    def _drop(self, idler):
        try:
            self.sel.unregister(idler.sock)
        except (KeyError, ValueError):
            pass

    def _line(self, idler, line):
        m = EXISTS.match(line)
        if m:
            n = int(m.group(1))
            if idler.exists is None or not idler.idling:
                idler.exists = n
            elif n > idler.exists and idler.heard is None:
                idler.heard = time.monotonic()
        elif line.startswith(b"+"):
            idler.idling = True
        elif line[:2] in (b"l ", b"s ") and b" OK" not in line[:6]:
            idler.failed = line.decode(errors="replace")

    def connect(self, batch=200, timeout=300):
        """Connects, logs in and idles every client, batch connections at a time."""
        deadline = time.monotonic() + timeout
        for start in range(0, len(self.idlers), batch):
            group = self.idlers[start:start + batch]
            for idler in group:
                idler.sock = socket.create_connection((self.host, self.port))
                idler.sock.setblocking(False)
                self.sel.register(idler.sock, selectors.EVENT_READ, idler)
                idler.sock.sendall(f"l LOGIN {idler.user} {self.password}\r\ns SELECT {idler.mailbox}\r\n"
                                   f"i IDLE\r\n".encode())
            while not all(i.idling or i.failed for i in group):
                if time.monotonic() > deadline:
                    raise TimeoutError(f"{sum(i.idling for i in self.idlers)} idling at the time limit")
                self.poll(0.5)
        return [i for i in self.idlers if i.failed]

    def poll(self, timeout):
        for key, _ in self.sel.select(timeout):
            self._lines(key.data)

    def await_news(self, idlers, timeout):
        """Reads until each of idlers heard of new mail, or timeout seconds pass."""
        deadline = time.monotonic() + timeout
        while any(i.heard is None and not i.failed for i in idlers) and time.monotonic() < deadline:
            self.poll(0.2)

    def close(self):
        for idler in self.idlers:
            if idler.sock is not None:
                self._drop(idler)
                idler.sock.close()
        self.sel.close()
