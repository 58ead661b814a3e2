#!/usr/bin/env python3
"""A few hundred clients idle on their inboxes at once against a private server on loopback; mail
delivered into every user's mail directory reaches every idler, and the server holds a single
inotify instance for them all (no watch, and no polling, per session).

    tests/idle/idle_test.py build/veve4d"""
import os, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from idle_clients import Idlers, raise_open_files  # noqa: E402
from veve4d_server import Veve4d  # noqa: E402

USERS, PER_USER = 60, 5
# Generous: a loaded test machine, not a speed check (bench/idle10k.py measures).
NEWS_SECONDS = 30


def inotify_instances(pid):
    n = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            n += os.readlink(f"/proc/{pid}/fd/{fd}") == "anon_inode:inotify"
        except OSError:
            pass
    return n


def main():
    binary = os.path.abspath(sys.argv[1])
    raise_open_files(USERS * PER_USER + 100)
    with tempfile.TemporaryDirectory(prefix="veve4d-idle-") as work:
        server = Veve4d(binary, work, log="server.log")
        homes = {f"user{i}": server.add_user(f"user{i}", "pw") for i in range(USERS)}
        server.start()
        idlers = Idlers(server.port, list(homes), PER_USER)
        try:
            failed = idlers.connect()
            assert not failed, f"{len(failed)} clients failed: {failed[0].failed}"
            assert all(i.exists == 0 for i in idlers.idlers), "every inbox starts empty"
            pid = server.process.pid
            assert inotify_instances(pid) <= 1, f"{inotify_instances(pid)} inotify instances"
            for user, home in homes.items():
                path = os.path.join(home, f"delivery-{user}")
                with open(path + ".tmp", "wb") as f:
                    f.write(f"Subject: for {user}\r\n\r\nnew\r\n".encode())
                os.rename(path + ".tmp", path + ".MSG")
            idlers.await_news(idlers.idlers, NEWS_SECONDS)
            deaf = [i for i in idlers.idlers if i.heard is None]
            assert not deaf, f"{len(deaf)} of {len(idlers.idlers)} idlers never heard of their mail" + \
                (f" ({deaf[0].failed})" if deaf[0].failed else "")
            assert server.process.poll() is None, "the server ended"
            print(f"{len(idlers.idlers)} idlers told of their mail")
        finally:
            idlers.close()
            server.stop()


if __name__ == "__main__":
    main()
