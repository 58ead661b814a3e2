#!/usr/bin/env python3
"""The Debian package: its contents, then its own binaries, admin tool and registry on a temporary
tree, serving a login on a loopback port.

usage: package_test.py SOURCE_DIR BINARY_DIR
"""
import imaplib
import os
import re
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
]


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


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
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
