#!/usr/bin/env python3
"""Mail delivered while sessions open a large mailbox at once: eight sessions SELECT a mailbox of
MESSAGES messages together while another program delivers eight files into it, ROUNDS times
over. After each round the first session asks NOOP and UID SEARCH ALL; the figure is how many
messages on the disk it was never told of (0 is the only right answer).

    bench/index_race_bench.py build/veve4d [MESSAGES] [ROUNDS]     (default 30000 5)
"""
import imaplib, os, shutil, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from veve4d_server import Veve4d  # noqa: E402

binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
count = int(sys.argv[2]) if len(sys.argv) > 2 else 30000
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
SESSIONS = 8
body = "Subject: race\r\n\r\nbody\r\n"
root = tempfile.mkdtemp(prefix="veve4d-bench-")
try:
    veve = Veve4d(binary, root, domain="bench.local", log=None)
    inbox = os.path.join(veve.add_user("bench", "pw"), "inbox")
    for uid in range(1, count + 1):
        with open(f"{inbox}/{uid:010d}-000010.MSG", "w") as f:
            f.write(body)
    with open(f"{inbox}/uid", "w") as f:
        f.write(str(count + 1))
    veve.start()

    def login():
        m = imaplib.IMAP4("127.0.0.1", veve.port)
        m.login("bench@bench.local", "pw")
        return m

    next_uid, unseen = count + 1, 0
    for r in range(rounds):
        sessions = [login() for _ in range(SESSIONS)]
        start = threading.Barrier(SESSIONS + 1)

        def open_inbox(m):
            start.wait()
            m.select("INBOX")
        threads = [threading.Thread(target=open_inbox, args=(m,)) for m in sessions]
        for t in threads:
            t.start()
        start.wait()
        # Another program's deliveries: written under a hidden name, then named.
        for _ in range(SESSIONS):
            with open(f"{inbox}/.delivery", "w") as f:
                f.write(body)
            os.rename(f"{inbox}/.delivery", f"{inbox}/{next_uid:010d}-100000.MSG")
            next_uid += 1
            time.sleep(0.005)
        for t in threads:
            t.join()
        time.sleep(0.3)
        sessions[0].noop()
        told = len(sessions[0].uid("SEARCH", "ALL")[1][0].split())
        on_disk = sum(1 for n in os.listdir(inbox) if n.endswith(".MSG"))
        unseen += on_disk - told
        print(f"round {r + 1}: {on_disk} messages on the disk, {told} told to the first session", flush=True)
        for m in sessions:
            m.logout()
    print(f"delivered {next_uid - count - 1}; messages never told: {unseen}")
finally:
    veve.stop()
    shutil.rmtree(root, ignore_errors=True)
