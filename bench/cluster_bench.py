#!/usr/bin/env python3
"""Two servers on one mail store, as two nodes of a cluster file system see it: each server reaches
the store through its own mount. WRITERS clients APPEND ROUNDS messages each into one folder, half
of them through each server, then COPY and MOVE into it the same way; then a client IDLEs on the folder through server A while another
APPENDs through server B, STORE-s a flag and EXPUNGEs, LATENCY_ROUNDS times over.

Figures: APPENDs (COPYs and MOVEs) answered OK and NO (with the first NO's text), messages on the disk, whether every
UID is unique, and how long IDLE took to announce each change (the worst of them).

    bench/cluster_bench.py build/veve4d MOUNT_A MOUNT_B [WRITERS] [ROUNDS]     (default 4 60)

MOUNT_A and MOUNT_B are two mounts of one volume (GlusterFS: mount -t glusterfs host:/VOL twice);
given one local directory twice it measures one file system. The bench works in a fresh directory
below them and removes it at the end.
"""
import imaplib, os, re, select, shutil, socket, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from veve4d_server import Veve4d  # noqa: E402

binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/veve4d")
mount_a, mount_b = sys.argv[2], sys.argv[3]
writers = int(sys.argv[4]) if len(sys.argv) > 4 else 4
rounds = int(sys.argv[5]) if len(sys.argv) > 5 else 60
LATENCY_ROUNDS = 5
FOLDER = "Shared"
message = ("From: bench@bench.local\r\nSubject: cluster bench\r\n\r\n" + "x" * 2000 + "\r\n").encode()

name = f"veve4d-cluster-bench-{os.getpid()}"
store_a, store_b = os.path.join(mount_a, name), os.path.join(mount_b, name)
os.makedirs(os.path.join(store_a, "users"))
works = [tempfile.mkdtemp(prefix="veve4d-bench-") for _ in range(2)]
servers = []
try:
    for work, store in zip(works, (store_a, store_b)):
        # The server's mail directories are those of the store, reached through this mount.
        os.symlink(os.path.join(store, "users"), os.path.join(work, "users"))
        veve = Veve4d(binary, work, domain="bench.local", log="server.log")
        home = veve.add_user("bench", "pw")
        servers.append(veve.start())
    os.makedirs(os.path.join(store_a, "users", "bench", FOLDER))
    folder = os.path.join(store_a, "users", "bench", FOLDER)

    def login(server):
        m = imaplib.IMAP4("127.0.0.1", server.port)
        m.login("bench@bench.local", "pw")
        return m

    ok, no, first_no = [0], [0], [None]
    lock = threading.Lock()
    start = threading.Barrier(writers)

    def writer(i):
        m = login(servers[i % 2])
        start.wait()
        for _ in range(rounds):
            try:
                typ, data = m.append(FOLDER, "", None, message)
                good = typ == "OK"
            except imaplib.IMAP4.error as e:
                good, data = False, [str(e).encode()]
            with lock:
                if good:
                    ok[0] += 1
                else:
                    no[0] += 1
                    first_no[0] = first_no[0] or data
        m.logout()

    began = time.time()
    threads = [threading.Thread(target=writer, args=(i,)) for i in range(writers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.time() - began
    uids = [int(n[:10]) for n in os.listdir(folder) if re.fullmatch(r"\d{10}-[01]{6}\.MSG", n)]
    print(f"APPEND: {writers} clients x {rounds} through two servers in {took:.1f} s: "
          f"{ok[0]} OK, {no[0]} NO{'' if first_no[0] is None else ' (first: %r)' % first_no[0]}")
    print(f"on disk: {len(uids)} messages, UIDs unique: {len(uids) == len(set(uids))}")

    # COPY and MOVE into the same folder, the same way: each client from a folder of its own.
    copied = [0, 0, None]  # OK, NO, first NO

    def copier(i):
        m = login(servers[i % 2])
        source = f"Src{i}"
        m.create(source)
        for _ in range(rounds // 2):
            m.append(source, "", None, message)
        m.select(source)
        start.wait()
        for r in range(rounds // 2):
            command = ("COPY", "1") if r % 2 == 0 else ("MOVE", "1")
            typ, data = m._simple_command(command[0], command[1], FOLDER)
            with lock:
                if typ == "OK":
                    copied[0] += 1
                else:
                    copied[1] += 1
                    copied[2] = copied[2] or data
        m.logout()

    before = len([n for n in os.listdir(folder) if n.endswith(".MSG")])
    threads = [threading.Thread(target=copier, args=(i,)) for i in range(writers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    uids = [int(n[:10]) for n in os.listdir(folder) if re.fullmatch(r"\d{10}-[01]{6}\.MSG", n)]
    print(f"COPY/MOVE: {writers} clients x {rounds // 2} through two servers: {copied[0]} OK, {copied[1]} NO"
          f"{'' if copied[2] is None else ' (first: %r)' % copied[2]}; {len(uids) - before} new messages, "
          f"UIDs unique: {len(uids) == len(set(uids))}")

    # IDLE through A (a raw connection, read with deadlines), changes through B.
    class Raw:
        def __init__(self, port):
            self.sock, self.buf = socket.create_connection(("127.0.0.1", port)), b""
            self.line(None)

        def line(self, deadline):
            """The next line, or None once the deadline (time.time()) has passed."""
            while b"\r\n" not in self.buf:
                wait = None if deadline is None else deadline - time.time()
                if wait is not None and (wait <= 0 or not select.select([self.sock], [], [], wait)[0]):
                    return None
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise EOFError("the server closed the connection")
                self.buf += chunk
            line, self.buf = self.buf.split(b"\r\n", 1)
            return line

        def command(self, tag, text):
            self.sock.sendall(f"{tag} {text}\r\n".encode())
            while not (line := self.line(None)).startswith(tag.encode()):
                pass
            return line

    idler, actor = Raw(servers[0].port), login(servers[1])
    idler.command("l", "LOGIN bench@bench.local pw")
    idler.command("s", f"SELECT {FOLDER}")
    actor.select(FOLDER)
    worst, late = 0.0, 0
    for r in range(LATENCY_ROUNDS):
        idler.sock.sendall(b"i IDLE\r\n")
        assert idler.line(None).startswith(b"+")
        for what, act, pattern in (
                ("APPEND", lambda: actor.append(FOLDER, "", None, message), rb"^\* \d+ EXISTS"),
                ("STORE", lambda: actor.uid("STORE", str(max(uids)), "+FLAGS", "(\\Flagged)"), rb"^\* \d+ FETCH"),
                ("EXPUNGE", lambda: (actor.uid("STORE", str(max(uids)), "+FLAGS", "(\\Deleted)"), actor.expunge()),
                 rb"^\* \d+ EXPUNGE")):
            time.sleep(0.3)
            while idler.line(time.time() + 0.05) is not None:  # what came before the change
                pass
            t0 = time.time()
            answer = act()
            if what == "APPEND":
                uids.append(int(re.search(rb"APPENDUID \d+ (\d+)", answer[1][0]).group(1)))
            seen = None
            while seen is None and (line := idler.line(t0 + 10)) is not None:
                if re.match(pattern, line):
                    seen = time.time() - t0
            if what == "EXPUNGE":
                uids.remove(max(uids))
            if seen is None:
                late += 1
                print(f"round {r + 1}: IDLE through A heard nothing of {what} through B within 10 s")
            else:
                worst = max(worst, seen)
                print(f"round {r + 1}: IDLE through A announced {what} through B after {seen:.2f} s")
        idler.command("i", "DONE")
    print(f"IDLE: worst {worst:.2f} s, {late} of {3 * LATENCY_ROUNDS} changes not announced within 10 s")
    actor.logout()
finally:
    for veve in servers:
        veve.stop()
    for work in works:
        shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(store_a, ignore_errors=True)
