"""A real cluster on one machine, for the cluster test and the cluster bench: a one-brick GlusterFS
volume mounted twice, one veve4d on each mount (the same users, private ports and control-socket
names) and HAProxy in front of both (TCP mode, round-robin, health checks, PROXY v2), all under
one temporary directory and torn down whatever happens.

    sys.path.insert(0, "<source>/tests/cluster"); import cluster
    with cluster.Cluster(binary, extra=...) as c: ... c.balancer_port, c.nodes[0].port ...

Unavailable (raised before anything is left running) names what this machine lacks.

With VEVE4D_CLUSTER_KEEP=DIR the nodes also write their protocol log (every line each session sent
and received), and each node's work directory (server, access and protocol logs) is copied to DIR
before the tear-down, so that a failure that comes once in many runs can be read afterwards.
"""
import fcntl
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import SERVICE_KEY, Veve4d, free_port, stop  # noqa: E402
import flood_tools  # noqa: E402  (its test certificate)

# HAProxy connects to the nodes from this address; clients of the test use others of 127/8, so a
# node that logs this one has logged the balancer instead of the client.
BALANCER_SOURCE = "127.0.0.2"
USERS = (("tester", "pass"), ("alice", "secret"))
# glusterd is one per machine: whoever starts it notes so here, and the last test to leave a
# machine with no volume stops it again.
RUN = "/run" if os.path.isdir("/run") else "/tmp"
GLUSTERD_LOCK = f"{RUN}/veve4d-cluster.lock"
GLUSTERD_MARK = f"{RUN}/veve4d-cluster-glusterd.pid"
KEEP = os.environ.get("VEVE4D_CLUSTER_KEEP")


# Caches of the client side that would show one node what another has renamed or removed already:
# a listing kept from before, an open put off until the first read (which then finds the file
# gone), a file's content kept by name.
VOLUME_OPTIONS = ("performance.readdir-ahead", "performance.stat-prefetch", "performance.open-behind",
                  "performance.quick-read", "performance.io-cache")


class Unavailable(Exception):
    pass


def run(args, timeout=60, check=True):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: exit {done.returncode}: {done.stdout}{done.stderr}")
    return done


def glusterd_answers():
    try:
        return run(["gluster", "--mode=script", "volume", "list"], timeout=20, check=False).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def missing_tools():
    """What keeps a cluster from starting here, or None."""
    if os.geteuid() != 0:
        return "not root (glusterd and FUSE mounts need root)"
    for tool in ("glusterd", "gluster", "mount.glusterfs", "haproxy"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (scripts/install-deps.sh installs glusterfs-server and haproxy)"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    return None


def wait_port(port, process, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            if process.poll() is not None:
                return False
            time.sleep(0.05)
    return False


class Cluster:
    """extra: registry text for both nodes; proxy: the nodes expect PROXY v2 from the balancer
    (registry text added to extra by the caller) and HAProxy sends it."""

    def __init__(self, binary, extra="", proxy=True, prefix="veve4d-cluster-"):
        self.binary, self.extra, self.proxy, self.prefix = binary, extra, proxy, prefix
        self.tmp = self.volume = self.haproxy = None
        self.mounts, self.nodes = [], []
        self.started_glusterd = False

    # --- set-up -------------------------------------------------------------------------------
    def __enter__(self):
        reason = missing_tools()
        if reason:
            raise Unavailable(reason)
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        self.tmp = tempfile.mkdtemp(prefix=self.prefix)
        self._glusterd()
        # The brick's host must name this machine by something other than localhost.
        host = socket.gethostname()
        try:
            socket.gethostbyname(host)
        except OSError:
            raise Unavailable(f"this machine's name {host} does not resolve (glusterd needs it for the brick)")
        self.volume = "veve4d-" + uuid.uuid4().hex[:12]
        brick = os.path.join(self.tmp, "brick")
        os.makedirs(brick)
        done = run(["gluster", "--mode=script", "volume", "create", self.volume, f"{host}:{brick}", "force"],
                   check=False)
        if done.returncode != 0:
            self.volume = None
            raise Unavailable(f"gluster volume create failed: {done.stdout.strip()} {done.stderr.strip()}")
        for option in VOLUME_OPTIONS:
            run(["gluster", "--mode=script", "volume", "set", self.volume, option, "off"])
        run(["gluster", "--mode=script", "volume", "start", self.volume])
        for i in range(2):
            mount = os.path.join(self.tmp, f"mount{i}")
            os.makedirs(mount)
            done = run(["mount", "-t", "glusterfs", f"{host}:/{self.volume}", mount], check=False)
            if done.returncode != 0 or not os.path.ismount(mount):
                raise Unavailable(f"FUSE mount of the volume failed: {done.stderr.strip()}")
            self.mounts.append(mount)
        os.makedirs(os.path.join(self.mounts[0], "users"))
        self.certificate = flood_tools.make_certificate(self.tmp)
        for i, mount in enumerate(self.mounts):
            tls_port = free_port()
            node = Veve4d(self.binary, os.path.join(self.tmp, f"node{i}"), extra=self.node_registry(tls_port),
                          users=os.path.join(mount, "users"))
            node.tls_port = tls_port
            for name, password in USERS:
                node.add_user(name, password)
            self.nodes.append(node)
        for node in self.nodes:
            if KEEP:
                os.makedirs(os.path.join(node.work, "spool", "receiveimap4"), exist_ok=True)
            node.start()
        self._haproxy()

    def node_registry(self, tls_port):
        chain, key = self.certificate
        # A failed login's delay long enough that a login held behind it shows.
        return (SERVICE_KEY + '"ConsoleTrace"=dword:00000000\n"LoginFailureDelay"=dword:00001388\n'
                f'"TlsPortNo"=dword:{tls_port:08x}\n"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n'
                '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n'
                '"Imap4LogEnabled"=dword:00000001\n\n' + self.extra +
                (SERVICE_KEY + '"AcceptlogEnabled"=dword:00000001\n' if KEEP else ""))

    def _glusterd(self):
        with open(GLUSTERD_LOCK, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if glusterd_answers():
                return
            done = run(["glusterd", "--pid-file", GLUSTERD_MARK], check=False)
            if done.returncode != 0:
                raise Unavailable(f"glusterd does not start: {done.stderr.strip()}")
            for _ in range(100):
                if glusterd_answers():
                    self.started_glusterd = True
                    return
                time.sleep(0.1)
            raise Unavailable("glusterd started but does not answer")

    def _haproxy(self):
        self.balancer_port, self.balancer_tls_port = free_port(), free_port()
        send = " send-proxy-v2 check-send-proxy" if self.proxy else ""
        servers = "".join(
            f"    server node{i} 127.0.0.1:{n.port} check inter 500ms fall 2 rise 2{send}\n"
            for i, n in enumerate(self.nodes))
        tls_servers = "".join(
            f"    server node{i} 127.0.0.1:{n.tls_port} check inter 500ms fall 2 rise 2{send}\n"
            for i, n in enumerate(self.nodes))
        config = os.path.join(self.tmp, "haproxy.cfg")
        with open(config, "w") as f:
            f.write(f"""global
    maxconn 500

defaults
    mode tcp
    timeout connect 2s
    timeout client 5m
    timeout server 5m
    retries 3
    option redispatch

frontend imap
    bind 127.0.0.1:{self.balancer_port}
    default_backend nodes

backend nodes
    balance roundrobin
    source {BALANCER_SOURCE}
    option tcp-check
    tcp-check expect string "* OK"
{servers}
# TLS stays with the nodes: the header goes before the handshake.
frontend imaps
    bind 127.0.0.1:{self.balancer_tls_port}
    default_backend tls_nodes

backend tls_nodes
    balance roundrobin
    source {BALANCER_SOURCE}
{tls_servers}""")
        log = open(os.path.join(self.tmp, "haproxy.log"), "wb")
        self.haproxy = subprocess.Popen(["haproxy", "-db", "-f", config], stdout=log, stderr=log,
                                        stdin=subprocess.DEVNULL)
        log.close()
        if not wait_port(self.balancer_port, self.haproxy):
            raise RuntimeError("haproxy did not listen: " + self.tail("haproxy.log"))
        # Both nodes up in HAProxy's view before any client comes.
        time.sleep(1.5)

    # --- use ----------------------------------------------------------------------------------
    def kill_node(self, i):
        self.nodes[i].kill()

    def access_log(self, i):
        """The access log lines node i wrote, all days."""
        folder = os.path.join(self.nodes[i].work, "spool", "imap4log")
        lines = []
        if os.path.isdir(folder):
            for name in sorted(os.listdir(folder)):
                with open(os.path.join(folder, name), errors="replace") as f:
                    lines += f.read().splitlines()
        return lines

    def tail(self, name, lines=30):
        try:
            with open(os.path.join(self.tmp, name), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def show_logs(self):
        for i in range(len(self.nodes)):
            print(f"--- node{i} server.log (tail)\n" + self.tail(f"node{i}/server.log"))
        print("--- haproxy.log (tail)\n" + self.tail("haproxy.log"))

    # --- tear-down ----------------------------------------------------------------------------
    def close(self):
        if KEEP and self.tmp:
            for i in range(len(self.nodes)):
                shutil.copytree(os.path.join(self.tmp, f"node{i}"), os.path.join(KEEP, f"node{i}"), dirs_exist_ok=True)
        if self.haproxy is not None and self.haproxy.poll() is None:
            stop(self.haproxy)
        for node in self.nodes:
            node.kill()
        for mount in self.mounts:
            if run(["umount", mount], check=False).returncode != 0:
                run(["umount", "-l", mount], check=False)
        if self.volume:
            run(["gluster", "--mode=script", "volume", "stop", self.volume, "force"], check=False)
            run(["gluster", "--mode=script", "volume", "delete", self.volume], check=False)
        self._leave_glusterd()
        if self.tmp:
            if not any(os.path.ismount(m) for m in self.mounts):
                shutil.rmtree(self.tmp, ignore_errors=True)
            else:
                print(f"left {self.tmp}: a mount would not go")

    def _leave_glusterd(self):
        try:
            with open(GLUSTERD_LOCK, "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                if not os.path.exists(GLUSTERD_MARK):
                    return
                done = run(["gluster", "--mode=script", "volume", "list"], timeout=20, check=False)
                if done.returncode != 0 or "No volumes present" not in done.stdout + done.stderr:
                    return
                with open(GLUSTERD_MARK) as f:
                    pid = int(f.read().split()[0])
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().strip() != "glusterd":
                        return
                os.kill(pid, signal.SIGTERM)
                for _ in range(50):
                    if not os.path.exists(f"/proc/{pid}"):
                        break
                    time.sleep(0.1)
                os.unlink(GLUSTERD_MARK)
        except (OSError, ValueError, subprocess.TimeoutExpired):
            pass
