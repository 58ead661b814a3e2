#!/usr/bin/env python3
"""FETCH figures over loopback: FLAGS of every message of a 10,000-message mailbox, and BODY[]
of a 20 MB message. Prints wall times and the server's peak resident memory.

    bench/fetch_bench.py build/veve4d
"""
import base64, imaplib, os, shutil, socket, subprocess, sys, tempfile, time

binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
root = tempfile.mkdtemp(prefix="veve4d-bench-")
try:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    users, accounts = f"{root}/users", f"{root}/accounts"
    os.makedirs(f"{users}/bench/inbox")
    os.makedirs(f"{users}/bench/big")
    os.makedirs(accounts)
    record = f"bench\tpw\t\t\t{users}/bench".encode()
    with open(f"{accounts}/bench.local.idx", "w") as f:
        f.write(base64.b64encode(record).decode() + "\n")
    message = b"From: a@example.org\r\nSubject: bench\r\n\r\n" + b"line of text\r\n" * 20
    for uid in range(1, 10001):
        with open(f"{users}/bench/inbox/{uid:010d}-000010.MSG", "wb") as f:
            f.write(message)
    line = b"x" * 98 + b"\r\n"
    with open(f"{users}/bench/big/0000000001-000010.MSG", "wb") as f:
        f.write(b"From: a@example.org\r\nSubject: big\r\n\r\n")
        f.write(line * (20 * 1024 * 1024 // len(line)))
    with open(f"{root}/registry.reg", "w") as f:
        f.write(f"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]
"PortNo"=dword:{port:08x}
[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]
"HostName"="localhost"
"UserManager"=dword:00000000
"Membership"="{accounts}/"
"MailSpoolDir"="{root}/spool"
"MailInBoxDir"="{users}/%USERNAME%"
"DomainNamesAreLocal"=str(7):"bench.local\\0"
""")
    env = dict(os.environ, VEVE4D_REGISTRY=f"{root}/registry.reg", VEVE4D_PIPE_NAME=f"veve4d-bench-{port}")
    server = subprocess.Popen([binary, "-debug"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            m = imaplib.IMAP4("127.0.0.1", port)
            break
        except OSError:
            time.sleep(0.1)
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
