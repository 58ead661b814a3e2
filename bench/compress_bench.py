#!/usr/bin/env python3
"""Bytes on the wire with and without COMPRESS=DEFLATE: FETCH 1:* (BODY.PEEK[HEADER]) of a
10,000-message mailbox of realistic mail (bench/gen_dataset.py), once in clear and once through a
DEFLATE stream that Python's zlib reads. Prints bytes received, the ratio and wall times.

    bench/compress_bench.py build/veve4d [COUNT]
"""
import os, shutil, socket, subprocess, sys, tempfile, time, zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from veve4d_server import SERVICE_KEY, Veve4d  # noqa: E402


class Wire:
    """Counts what arrives on the socket and what it decompresses to."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf, self.inflater, self.deflater, self.raw = b"", None, None, 0

    def send(self, data):
        if self.deflater:
            data = self.deflater.compress(data) + self.deflater.flush(zlib.Z_SYNC_FLUSH)
        self.sock.sendall(data)

    def until(self, tag):
        while True:
            end = self.buf.rfind(b"\r\n" + tag + b" ")
            if end >= 0 and self.buf.find(b"\r\n", end + 2) >= 0:
                data, self.buf = self.buf, b""
                return data
            if self.buf.startswith(tag + b" ") and self.buf.endswith(b"\r\n"):
                data, self.buf = self.buf, b""
                return data
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError
            self.raw += len(chunk)
            self.buf += self.inflater.decompress(chunk) if self.inflater else chunk

    def command(self, tag, text):
        self.send(tag + b" " + text + b"\r\n")
        return self.until(tag)


def run(port, compress):
    w = Wire(port)
    while b"\r\n" not in w.buf:
        w.buf += w.sock.recv(4096)
    w.buf = b""
    w.command(b"l", b"LOGIN bench pw")
    if compress:
        w.sock.sendall(b"c COMPRESS DEFLATE\r\n")
        while not w.buf.endswith(b"\r\n"):
            w.buf += w.sock.recv(1)
        assert w.buf == b"c OK DEFLATE active\r\n", w.buf
        w.buf = b""
        w.inflater, w.deflater = zlib.decompressobj(-15), zlib.compressobj(6, zlib.DEFLATED, -15)
    w.command(b"s", b"EXAMINE INBOX")
    w.raw = 0
    start = time.perf_counter()
    answer = w.command(b"f", b"FETCH 1:* (BODY.PEEK[HEADER])")
    elapsed = time.perf_counter() - start
    raw = w.raw
    assert answer.endswith(b"f OK FETCH completed\r\n"), answer[-200:]
    w.command(b"o", b"LOGOUT")
    return raw, len(answer), elapsed


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    root = tempfile.mkdtemp(prefix="veve4d-compress-bench-")
    try:
        veve = Veve4d(binary, root, SERVICE_KEY + '"ConsoleTrace"=dword:00000000\n', domain="bench.local", log=None)
        home = veve.add_user("bench", "pw")
        subprocess.run([sys.executable, os.path.join(HERE, "gen_dataset.py"), str(count), f"{home}/inbox",
                        f"{root}/maildir", "4978"], check=True, stdout=subprocess.DEVNULL)
        veve.start()
        try:
            results = {}
            for compress in (False, True, False, True):  # the second round runs on a warm cache
                results[compress] = run(veve.port, compress)
            (plain, text, t_plain), (packed, text2, t_packed) = results[False], results[True]
            print(f"FETCH 1:* (BODY.PEEK[HEADER]), {count} messages, {text} bytes of answer"
                  f"{'' if text == text2 else f' ({text2} compressed)'}:")
            print(f"  without COMPRESS: {plain:>10} bytes on the wire, {t_plain * 1000:6.0f} ms")
            print(f"  with COMPRESS:    {packed:>10} bytes on the wire, {t_packed * 1000:6.0f} ms"
                  f"  ({plain / packed:.1f}x fewer bytes)")
        finally:
            veve.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
