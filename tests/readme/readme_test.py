#!/usr/bin/env python3
"""The README's examples, run as a reader would run them: a private server laid out by
run-demo.sh --prepare, then every curl command and every Python session of the README in order,
each shown answer compared with what the server says now.

Shell blocks: "$ " starts a command (a trailing "\\" continues it); the lines up to the next
command are its output, compared whole when there are any. Python blocks: a print(...) line's
"# ..." comment must be found in the line that print writes. UIDVALIDITY and HIGHESTMODSEQ differ from run
to run and are not compared; the demo's ports and directory become the private server's.

usage: readme_test.py SOURCE_DIR VEVE4D_BINARY
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from veve4d_server import free_port, stop, wait_ready  # noqa: E402


def blocks(readme):
    """The indented code blocks, each a list of lines without the indent."""
    found, current = [], []
    for line in readme.splitlines() + [""]:
        # A Python session may follow shell lines in the same indented block.
        if line.startswith("    import ") and current and current[-1] == "":
            found.append(current[:-1])
            current = []
        if line.startswith("    ") or (line == "" and current):
            current.append(line[4:])
        elif current:
            while current and current[-1] == "":
                current.pop()
            found.append(current)
            current = []
    return [b for b in found if b]


def shell_commands(block):
    """(command, shown output lines) pairs of a shell block."""
    commands = []
    i = 0
    while i < len(block):
        command = block[i][2:]
        while command.endswith("\\") and i + 1 < len(block):
            i += 1
            command = command[:-1] + " " + block[i].strip()
        i += 1
        shown = []
        while i < len(block) and not block[i].startswith("$ "):
            shown.append(block[i])
            i += 1
        commands.append((command, shown))
    return commands


def normal(text):
    text = re.sub(r"(UIDVALIDITY|HIGHESTMODSEQ) \d+", r"\1 N", text.replace("\r\n", "\n"))
    return text.rstrip("\n")


def main():
    source, binary = sys.argv[1], sys.argv[2]
    readme = open(os.path.join(source, "README.md")).read()
    failures = []

    with tempfile.TemporaryDirectory(prefix="veve4d-readme-") as demo:
        subprocess.run([os.path.join(source, "scripts/run-demo.sh"), "--prepare", demo], check=True)
        port, tls_port = free_port(), free_port()

        def private(text):
            text = text.replace("/tmp/veve4d-demo", demo)
            return re.sub(r"\b1993\b", str(tls_port), re.sub(r"\b1143\b", str(port), text))

        registry = open(os.path.join(source, "etc/demo-registry.reg")).read()
        registry = registry.replace('"PortNo"=dword:00000477', '"PortNo"=dword:%08x' % port)
        registry = registry.replace('"TlsPortNo"=dword:000007c9', '"TlsPortNo"=dword:%08x' % tls_port)
        with open(os.path.join(demo, "registry.reg"), "w") as f:
            f.write(private(registry))
        env = dict(os.environ, VEVE4D_REGISTRY=os.path.join(demo, "registry.reg"),
                   VEVE4D_PIPE_NAME="veve4d-readme-%d-%d" % (os.getpid(), port))
        output = open(os.path.join(demo, "server.out"), "w")
        server = subprocess.Popen([binary, "-debug"], env=env, stdout=output, stderr=subprocess.STDOUT)
        try:
            if not wait_ready(port, server):
                raise RuntimeError("the demo server did not listen")
            assignments = []
            ran = 0
            for block in blocks(readme):
                if block[0].startswith("$ ") and any("curl" in line for line in block):
                    for command, shown in shell_commands(block):
                        command = private(command)
                        if re.fullmatch(r"\w+=\S+", command):
                            assignments.append(command)
                            continue
                        done = subprocess.run(["bash", "-c", "; ".join(assignments + [command])],
                                              capture_output=True, text=True, timeout=60)
                        ran += 1
                        if done.returncode != 0:
                            failures.append("%s: exit %d %s" % (command, done.returncode, done.stderr))
                        elif shown and normal(done.stdout) != normal("\n".join(shown)):
                            failures.append("%s:\nshown:\n%s\ngot:\n%s" % (command, "\n".join(shown), done.stdout))
                elif block[0].startswith("import imaplib"):
                    script = private("\n".join(block))
                    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                          timeout=60)
                    ran += 1
                    if done.returncode != 0:
                        failures.append("Python block failed:\n%s\n%s" % (script, done.stderr))
                        continue
                    printed = done.stdout.splitlines()
                    prints = [line for line in block if line.lstrip().startswith("print(")]
                    for line, out in zip(prints, printed):
                        if "  # " in line:
                            expected = line.split("  # ", 1)[1].strip()
                            if normal(expected) not in normal(out):
                                failures.append("%s\nshown: %s\ngot:   %s" % (line.strip(), expected, out))
            if ran < 8:
                failures.append("only %d examples found in the README" % ran)
            print("%d README examples run" % ran)
        finally:
            stop(server)
            output.close()
        protocol_log = os.path.join(demo, "spool", "receiveimap4")
        if not os.path.isdir(protocol_log) or not os.listdir(protocol_log):
            failures.append("the demo's protocol log was not written")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
