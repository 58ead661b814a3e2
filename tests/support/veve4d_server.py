"""A private veve4d for the scripts (tests, crash test, benches): registry, user file, spool and mail
directories under a work directory, a free loopback port, started and waited for until it greets.

    sys.path.insert(0, "<source>/tests/support"); from veve4d_server import Veve4d
"""
import base64
import os
import signal
import socket
import subprocess
import time

SERVICE_KEY = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_ready(port, process=None, tries=200):
    """True once the server on the port sends its greeting; False when it died or never did."""
    for _ in range(tries):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                if s.makefile("rb").readline().startswith(b"* OK"):
                    return True
        except OSError:
            pass
        if process is not None and process.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def stop(process, sig=signal.SIGTERM):
    """Stops the process (SIGKILL when it will not go within ten seconds) and reaps it."""
    process.send_signal(sig)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Veve4d:
    """User-file accounts of one local domain, mail under WORK/users/NAME, listening on 127.0.0.1 only.
    extra: more registry text (e.g. SERVICE_KEY + '"MailFsync"="never"\\n'); log: None for no output;
    users: the directory of the mail directories when not WORK/users (a shared mount)."""

    def __init__(self, binary, work, extra="", domain="test.local", log="server.log", users=None):
        self.binary, self.work, self.extra, self.domain = binary, work, extra, domain
        self.users = users or os.path.join(work, "users")
        self.log = log and os.path.join(work, log)
        self.port, self.process = free_port(), None
        for d in ("spool", "accounts"):
            os.makedirs(os.path.join(work, d), exist_ok=True)
        os.makedirs(self.users, exist_ok=True)

    def add_user(self, name, password, password_file=False):
        """The user's mail directory, with its inbox; password_file writes the apop.dat CRAM-MD5 reads."""
        home = os.path.join(self.users, name)
        os.makedirs(os.path.join(home, "inbox"), exist_ok=True)
        record, path = base64.b64encode(f"{name}\t{password}\t\t\t{home}".encode()) + b"\n", self.user_file()
        if not os.path.exists(path) or record not in open(path, "rb").read():  # a second start, same tree
            with open(path, "ab") as f:
                f.write(record)
        if password_file:
            with open(os.path.join(home, "apop.dat"), "w") as f:
                f.write(password + "\n")
        return home

    def user_file(self):
        return os.path.join(self.work, "accounts", self.domain + ".idx")

    def start(self, tries=200):
        w, port = self.work, self.port
        with open(f"{w}/registry.reg", "w") as f:
            f.write(f"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]
"PortNo"=dword:{port:08x}

{SERVICE_KEY}"ListenMode"=dword:00000001
"ListenIP"=str(7):"127.0.0.1 {port}\\0"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\EMWAC\\IMS]
"HostName"="localhost"
"UserManager"=dword:00000000
"Membership"="{w}/accounts/"
"MailSpoolDir"="{w}/spool"
"MailInBoxDir"="{self.users}/%USERNAME%"
"DomainNamesAreLocal"=str(7):"{self.domain}\\0"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\IMS\\Domain\\Imap4IP]
"{self.domain}"="127.0.0.1"

{self.extra}""")
        env = dict(os.environ, VEVE4D_REGISTRY=f"{w}/registry.reg", VEVE4D_PIPE_NAME=f"veve4d-{os.getpid()}-{port}")
        out = open(self.log, "ab") if self.log else subprocess.DEVNULL
        self.process = subprocess.Popen([self.binary, "-debug"], env=env, stdout=out, stderr=out,
                                        stdin=subprocess.DEVNULL)
        if out != subprocess.DEVNULL:
            out.close()
        if not wait_ready(port, self.process, tries):
            self.kill()
            raise RuntimeError(f"veve4d did not start; see {self.log}")
        return self

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            stop(self.process, signal.SIGKILL)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            stop(self.process)
