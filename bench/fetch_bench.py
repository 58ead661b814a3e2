#!/usr/bin/env python3
"""FETCH figures over loopback: FLAGS of every message of a 10,000-message mailbox, and BODY[]
of a 20 MB message. Prints wall times and the server's peak resident memory.

    bench/fetch_bench.py build/veve4d
"""
import imaplib, os, shutil, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from veve4d_server import Veve4d  # noqa: E402

binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
root = tempfile.mkdtemp(prefix="veve4d-bench-")
try:
    veve = Veve4d(binary, root, domain="bench.local", log=None)
    users = f"{root}/users"
    veve.add_user("bench", "pw")
    os.makedirs(f"{users}/bench/big")
    message = b"From: a@example.org\r\nSubject: bench\r\n\r\n" + b"line of text\r\n" * 20
    for uid in range(1, 10001):
        with open(f"{users}/bench/inbox/{uid:010d}-000010.MSG", "wb") as f:
            f.write(message)
    line = b"x" * 98 + b"\r\n"
    with open(f"{users}/bench/big/0000000001-000010.MSG", "wb") as f:
        f.write(b"From: a@example.org\r\nSubject: big\r\n\r\n")
        f.write(line * (20 * 1024 * 1024 // len(line)))
    server = veve.start().process
    m = imaplib.IMAP4("127.0.0.1", veve.port)
    m.login("bench", "pw")
    m.select("INBOX")
    start = time.perf_counter()
    typ, data = m.fetch("1:*", "(FLAGS)")
    elapsed = time.perf_counter() - start
    print(f"FETCH 1:* (FLAGS), 10,000 messages: {elapsed * 1000:.0f} ms, {len(data)} answers")
    m.select("big")
    start = time.perf_counter()
    typ, data = m.fetch("1", "(BODY.PEEK[])")
    elapsed = time.perf_counter() - start
    size = len(data[0][1])
    print(f"FETCH 1 (BODY.PEEK[]), {size / 1e6:.1f} MB: {elapsed * 1000:.0f} ms ({size / elapsed / 1e6:.0f} MB/s)")
    with open(f"/proc/{server.pid}/status") as f:
        peak = [l for l in f if l.startswith("VmHWM")][0].split()[1]
    print(f"server peak resident memory: {int(peak) / 1024:.1f} MB")
    m.logout()
    server.terminate()
    server.wait()
finally:
    shutil.rmtree(root, ignore_errors=True)
