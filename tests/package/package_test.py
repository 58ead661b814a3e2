#!/usr/bin/env python3
"""The Debian package: its contents, then its own binaries, admin tool and registry on a temporary
tree, serving a login on a loopback port; the maintainer scripts' service calls with systemd
stood in for; and, as root on a machine without the package, a real install, upgrade, removal and
purge.

usage: package_test.py SOURCE_DIR BINARY_DIR
"""
import fcntl
import imaplib
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import free_port, stop, wait_ready  # noqa: E402

EXPECTED = [
    "./usr/sbin/veve4d", "./usr/sbin/veve4d-admin", "./lib/systemd/system/vlmveve4d-svc.service",
    "./etc/pam.d/veve4d", "./etc/veve4d/registry.reg", "./var/spool/veve4d/", "./var/lib/veve4d/accounts/",
    "./usr/share/man/man8/veve4d.8.gz", "./usr/share/man/man8/veve4d-admin.8.gz",
    "./usr/share/man/man5/veve4d.reg.5.gz", "./usr/share/doc/veve4d/copyright",
    "./usr/share/doc/veve4d/README.Debian", "./usr/share/doc/veve4d/fail2ban/veve4d.conf",
]
UNIT = "vlmveve4d-svc.service"


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def script_calls(tmp, deb, script, args):
    """Runs a maintainer script as if systemd were the init system, with the commands it calls
    replaced by stubs that note their arguments; returns the calls."""
    control = os.path.join(tmp, "control")
    if not os.path.isdir(control):
        run(["dpkg-deb", "-e", deb, control])
    systemd = os.path.join(tmp, "run-systemd-system")
    os.makedirs(systemd, exist_ok=True)
    stubs = os.path.join(tmp, "stubs")
    os.makedirs(stubs, exist_ok=True)
    calls = os.path.join(tmp, "calls")
    for name in ("deb-systemd-invoke", "deb-systemd-helper", "systemctl", "getent", "dpkg-statoverride",
                 "adduser", "chown", "chmod"):
        with open(os.path.join(stubs, name), "w") as stub:
            stub.write('#!/bin/sh\necho "%s $*" >> %s\nexit 0\n' % (name, calls))
        os.chmod(os.path.join(stubs, name), 0o755)
    text = open(os.path.join(control, script)).read().replace("/run/systemd/system", systemd)
    if os.path.exists(calls):
        os.remove(calls)
    env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"])
    subprocess.run(["sh", "-c", text, script] + args, env=env, check=True)
    return open(calls).read().splitlines() if os.path.exists(calls) else []


def dpkg_cycle(source, binaries, tmp, check):
    """Installs, upgrades, removes and purges the package on this machine."""
    version = run(["dpkg-deb", "--field", os.path.join(tmp, "first.deb"), "Version"]).strip()
    had_user = True
    try:
        pwd.getpwnam("veve4d")
    except KeyError:
        had_user = False
    mail = "/var/spool/veve4d/users/localdomain/ann/"
    try:
        run(["dpkg", "-i", os.path.join(tmp, "first.deb")])
        check(pwd.getpwnam("veve4d").pw_uid == os.stat("/var/lib/veve4d/accounts").st_uid, "accounts owned by veve4d")
        subprocess.run(["veve4d-admin", "user", "add", "ann"], input="pw\n", check=True, capture_output=True,
                       text=True)
        refused = subprocess.run(["veve4d-admin", "user", "add", "bob@example.org"], input="pw\n",
                                 capture_output=True, text=True)
        check(refused.returncode == 1, "the packaged registry refuses a domain that is not local")
        check(os.path.exists(mail + "apop.dat"), "ann's password file in her domain's folder")
        open(mail + "delivered.MSG", "w").write("Subject: kept\r\n\r\nmail\r\n")
        with open("/etc/veve4d/registry.reg", "a") as registry:
            registry.write("; changed by the administrator\n")

        env = dict(os.environ, VEVE4D_DEB_BINARIES=binaries, OUT_DIR=os.path.join(tmp, "second"),
                   VEVE4D_DEB_VERSION=version + ".1")
        second = run([os.path.join(source, "scripts/build-deb.sh")], env=env).strip().splitlines()[-1]
        run(["dpkg", "-i", second])
        check(run(["dpkg-query", "-W", "-f", "${Version}", "veve4d"]) == version + ".1", "upgraded")
        check("; changed by the administrator" in open("/etc/veve4d/registry.reg").read(), "upgrade keeps the registry")
        check(os.path.exists("/var/lib/veve4d/accounts/localdomain.idx"), "upgrade keeps the user file")

        run(["dpkg", "-r", "veve4d"])
        check(not os.path.exists("/usr/sbin/veve4d"), "remove takes the server")
        check(os.path.exists("/etc/veve4d/registry.reg"), "remove keeps the configuration")
        check(os.path.exists("/var/lib/veve4d/accounts/localdomain.idx"), "remove keeps the user files")

        run(["dpkg", "-P", "veve4d"])
        check(not os.path.exists("/etc/veve4d"), "purge takes the configuration")
        check(not os.path.exists("/var/lib/veve4d/accounts"), "purge takes the user files")
        check(not os.path.exists(mail + "apop.dat"), "purge takes the password files")
        check(os.path.exists(mail + "delivered.MSG"), "purge leaves the mail")
    finally:
        subprocess.run(["dpkg", "-P", "veve4d"], capture_output=True)
        shutil.rmtree("/var/spool/veve4d", ignore_errors=True)
        if not had_user:
            subprocess.run(["deluser", "--system", "--quiet", "veve4d"], capture_output=True)
            subprocess.run(["delgroup", "--system", "--quiet", "veve4d"], capture_output=True)


def main():
    source, binaries = sys.argv[1], sys.argv[2]
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAIL:", what)

    with tempfile.TemporaryDirectory(prefix="veve4d-package-") as tmp:
        env = dict(os.environ, VEVE4D_DEB_BINARIES=binaries, OUT_DIR=tmp)
        deb = run([os.path.join(source, "scripts/build-deb.sh")], env=env).strip().splitlines()[-1]

        listing = run(["dpkg-deb", "--contents", deb])
        paths = {line.split()[-1] for line in listing.splitlines()}
        for path in EXPECTED:
            check(path in paths, "package holds " + path)
        check(set(run(["dpkg-deb", "--info", deb, "conffiles"]).split()) ==
              {"/etc/pam.d/veve4d", "/etc/veve4d/registry.reg"}, "conffiles")
        control = run(["dpkg-deb", "--field", deb])
        check(re.search(r"^Depends:.*libpam0g.*adduser", control, re.M) is not None, "Depends: " + control)
        check("adduser --system" in run(["dpkg-deb", "--info", deb, "postinst"]), "postinst makes the system user")
        shutil.copy(deb, os.path.join(tmp, "first.deb"))

        # With systemd running: remove stops the server, upgrade restarts it only if it runs, a
        # new install starts it; an upgrade's prerm leaves it running.
        invoke = "deb-systemd-invoke %s " + UNIT
        check(invoke % "stop" in script_calls(tmp, deb, "prerm", ["remove"]), "prerm remove stops")
        check(not any("invoke" in c for c in script_calls(tmp, deb, "prerm", ["upgrade", "9"])), "prerm upgrade")
        check(invoke % "try-restart" in script_calls(tmp, deb, "postinst", ["configure", "0.01"]), "upgrade restarts")
        check(invoke % "start" in script_calls(tmp, deb, "postinst", ["configure"]), "install starts")
        check("deb-systemd-helper purge " + UNIT in script_calls(tmp, deb, "postrm", ["purge"]), "purge")

        root = os.path.join(tmp, "root")
        run(["dpkg-deb", "-x", deb, root])
        unit = open(os.path.join(root, "lib/systemd/system/vlmveve4d-svc.service")).read()
        check("\nUser=veve4d\n" in unit and "\nExecStart=/usr/sbin/veve4d\n" in unit, "unit runs as veve4d")

        # The packaged registry, moved into the temporary tree and onto a free loopback port.
        port = free_port()
        registry = open(os.path.join(root, "etc/veve4d/registry.reg")).read()
        registry = registry.replace("/var/", root + "/var/")
        registry = registry.replace('"PortNo"=dword:0000008f', '"PortNo"=dword:%08x' % port)
        registry = registry.replace('"ListenMode"=dword:00000000',
                                    '"ListenMode"=dword:00000001\n"ListenIP"=str(7):"127.0.0.1 %d\\0"' % port)
        registry = registry.replace('"AddressFamily"=dword:00000002', '"AddressFamily"=dword:00000000')
        registry_path = os.path.join(tmp, "registry.reg")
        open(registry_path, "w").write(registry)
        env = dict(os.environ, VEVE4D_REGISTRY=registry_path,
                   VEVE4D_PIPE_NAME="veve4d-package-%d-%d" % (os.getpid(), port))

        admin = os.path.join(root, "usr/sbin/veve4d-admin")
        subprocess.run([admin, "user", "add", "ann"], input="package-pw\n", env=env, check=True,
                       capture_output=True, text=True)
        checked = subprocess.run([admin, "config", "check"], env=env, capture_output=True, text=True)
        check(checked.returncode == 0 and "0 problems found" in checked.stdout, "config check: " + checked.stdout)

        output = open(os.path.join(tmp, "output"), "w")
        server = subprocess.Popen([os.path.join(root, "usr/sbin/veve4d"), "-debug"], env=env, stdout=output,
                                  stderr=subprocess.STDOUT)
        try:
            if not wait_ready(port, server):
                raise RuntimeError("the packaged server did not listen")
            imap = imaplib.IMAP4("127.0.0.1", port, timeout=10)
            check(imap.login("ann", "package-pw")[0] == "OK", "LOGIN")
            check(imap.select("INBOX")[0] == "OK", "SELECT")
            imap.logout()
        finally:
            stop(server)
            output.close()
        if failures:
            print(open(os.path.join(tmp, "output")).read())

        # The real thing, where it cannot disturb an installed veve4d; one run at a time.
        if os.geteuid() != 0:
            print("SKIP: dpkg install cycle (needs root)")
        elif subprocess.run(["dpkg-query", "-W", "veve4d"], capture_output=True).returncode == 0:
            print("SKIP: dpkg install cycle (veve4d is installed here)")
        else:
            with open("/run/lock/veve4d-package-test.lock", "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                dpkg_cycle(source, binaries, tmp, check)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
