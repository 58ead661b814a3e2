#!/usr/bin/env python3
"""mbsync and offlineimap, configured with nothing but the server and the login, against a private
server on loopback: both download the inbox, upload mail into the inbox and into a folder they
create, and a second run changes nothing. offlineimap does all of it through COMPRESS=DEFLATE. Exit 77 when either tool is missing.

    sync_clients.py BINARY
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import Veve4d  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def message(subject, body="hello\r\n"):
    return (f"From: a@example.org\r\nTo: tester@test.local\r\nSubject: {subject}\r\n"
            f"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <{subject.replace(' ', '.')}@example.org>\r\n\r\n"
            + body).encode()


def subjects(paths):
    found = []
    for path in paths:
        with open(path, "rb") as f:
            m = re.search(rb"^Subject: (.*?)\r?$", f.read(), re.M)
            found.append(m.group(1).decode() if m else "?")
    return sorted(found)


def server_messages(work, folder):
    """Subjects and flag codes of the message files of a server mailbox (any spelling of its name)."""
    top = f"{work}/users/tester"
    path = top
    for part in folder.split("/"):
        names = [n for n in os.listdir(path) if n.lower() == part.lower()] if os.path.isdir(path) else []
        if not names:
            return []
        path = os.path.join(path, names[0])
    files = sorted(n for n in os.listdir(path) if re.fullmatch(r"\d{10}-\d{6}\.MSG", n))
    return list(zip(subjects(os.path.join(path, n) for n in files), (n[11:17] for n in files)))


def maildir_messages(folder):
    return subjects(os.path.join(folder, d, n) for d in ("cur", "new") if os.path.isdir(os.path.join(folder, d))
                    for n in os.listdir(os.path.join(folder, d)))


def put_maildir(folder, name, raw, info=""):
    for d in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(folder, d), exist_ok=True)
    with open(os.path.join(folder, "cur" if info else "new", name + info), "wb") as f:
        f.write(raw)


def run(what, argv, work):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    with open(f"{work}/{what}.log", "a") as f:
        f.write(f"$ {' '.join(argv)}\n{result.stdout}\n{result.stderr}\n")
    check(result.returncode == 0, f"{what} exited {result.returncode}: {result.stderr.strip()[-600:]}")
    return result


def mbsync(work, port):
    """Down, up (into INBOX and into a folder it creates), flags up, then a run that changes nothing."""
    local = f"{work}/mbsync"
    os.makedirs(local)
    config = f"{work}/mbsyncrc"
    with open(config, "w") as f:
        f.write(f"IMAPAccount test\nHost 127.0.0.1\nPort {port}\nUser tester\nPass pass\nSSLType None\n\n"
                f"IMAPStore remote\nAccount test\n\nMaildirStore local\nPath {local}/\nInbox {local}/INBOX\n"
                "SubFolders Verbatim\n\nChannel test\nFar :remote:\nNear :local:\nPatterns *\nCreate Both\nSyncState *\n")
    argv = ["mbsync", "-c", config, "-a"]
    run("mbsync", argv, work)
    check(maildir_messages(f"{local}/INBOX") == ["first", "second"], f"mbsync INBOX: {maildir_messages(f'{local}/INBOX')}")
    put_maildir(f"{local}/INBOX", "1.mbsync.local", message("mbsync up"))
    put_maildir(f"{local}/Filed/Deeper", "2.mbsync.local", message("mbsync filed"))
    # \Seen set on a downloaded message travels up as a rename of the server's file.
    cur = f"{local}/INBOX/cur"
    for name in os.listdir(cur) + os.listdir(f"{local}/INBOX/new"):
        src = os.path.join(cur if os.path.exists(os.path.join(cur, name)) else f"{local}/INBOX/new", name)
        if subjects([src]) == ["first"]:
            os.rename(src, os.path.join(cur, name.split(":")[0] + ":2,S"))
    run("mbsync", argv, work)
    inbox = server_messages(work, "inbox")
    check([s for s, _ in inbox] == ["first", "mbsync up", "second"], f"mbsync upload to INBOX: {inbox}")
    check(("first", "000010") in inbox or ("first", "100010") in inbox, f"mbsync \\Seen not stored: {inbox}")
    check([s for s, _ in server_messages(work, "Filed/Deeper")] == ["mbsync filed"],
          f"mbsync folder it created: {server_messages(work, 'Filed/Deeper')}")
    run("mbsync", argv, work)
    check(len(server_messages(work, "inbox")) == 3 and maildir_messages(f"{local}/INBOX") == ["first", "mbsync up", "second"],
          "mbsync: a second run changed something")


def offlineimap(work, port):
    """INBOX and the folders mbsync left down, a folder it creates up, then a run that changes nothing."""
    local = f"{work}/offlineimap"
    put_maildir(f"{local}/Projects", "3.offlineimap.local:2,", message("offlineimap filed"))
    put_maildir(f"{local}/INBOX", "4.offlineimap.local:2,", message("offlineimap up"))
    config = f"{work}/offlineimaprc"
    with open(config, "w") as f:
        f.write(f"[general]\naccounts = test\nmetadata = {work}/offlineimap-meta\n\n[Account test]\n"
                "localrepository = local\nremoterepository = remote\n\n[Repository local]\ntype = Maildir\n"
                f"localfolders = {local}\n\n[Repository remote]\ntype = IMAP\nremotehost = 127.0.0.1\n"
                f"remoteport = {port}\nremoteuser = tester\nremotepass = pass\nssl = no\nstarttls = no\n"
                # Everything it syncs goes through COMPRESS=DEFLATE (mbsync 1.4 does not ask for it).
                "usecompression = yes\n")
    argv = ["offlineimap", "-c", config, "-o", "-u", "basic"]
    run("offlineimap", argv, work)
    with open(f"{work}/server.log", "rb") as f:
        log = f.read()
    check(b"COMPRESS DEFLATE]" in log and b" OK DEFLATE active" in log, "offlineimap did not turn on COMPRESS")
    inbox = maildir_messages(f"{local}/INBOX")
    check(inbox == ["first", "mbsync up", "offlineimap up", "second"], f"offlineimap INBOX: {inbox}")
    check([s for s, _ in server_messages(work, "inbox")] == ["first", "mbsync up", "offlineimap up", "second"],
          f"offlineimap upload to INBOX: {server_messages(work, 'inbox')}")
    check([s for s, _ in server_messages(work, "Projects")] == ["offlineimap filed"],
          f"offlineimap folder it created: {server_messages(work, 'Projects')}")
    check(maildir_messages(f"{local}/Filed.Deeper") == ["mbsync filed"], "offlineimap did not download Filed/Deeper")
    run("offlineimap", argv, work)
    check(len(server_messages(work, "inbox")) == 4 and len(maildir_messages(f"{local}/INBOX")) == 4,
          "offlineimap: a second run changed something")


def main():
    binary = sys.argv[1]
    missing = [t for t in ("mbsync", "offlineimap") if not shutil.which(t)]
    if missing:
        print(f"SKIP: {' and '.join(missing)} not installed (scripts/install-deps.sh installs them)")
        return 77
    work = tempfile.mkdtemp(prefix="veve4d-sync-")
    server = Veve4d(binary, work)
    # Both tools prefer AUTHENTICATE CRAM-MD5, which reads the password file.
    inbox = server.add_user("tester", "pass", password_file=True) + "/inbox"
    port = server.start().port
    try:
        for uid, subject in enumerate(("first", "second"), 1):
            with open(f"{inbox}/{uid:010d}-000000.MSG", "wb") as f:
                f.write(message(subject))
        # offlineimap also takes down what mbsync put up, so mbsync runs first.
        mbsync(work, port)
        offlineimap(work, port)
    finally:
        server.kill()
    if failures:
        print(f"{len(failures)} failed; logs and mail in {work}")
        return 1
    shutil.rmtree(work)
    print("sync clients (mbsync, offlineimap): all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
