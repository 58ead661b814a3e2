#!/usr/bin/env python3
"""Hostile clients at full size against a private server on loopback, with the limits of the
packaged registry (packaging/deb/registry.reg) unless told otherwise:
- 1,100 connections trickling a byte every 2 s, clear text, then 1,100 trickling TLS handshakes
  on the implicit-TLS port: the latency of a normal connect-and-login, ten times during each;
- password guessing for a minute at the default failed-login delay, alternating with a login to
  an account of one's own, then from 300 connections at once: guesses answered per minute.
Each phase is bounded in time; expect about five minutes in all.

usage: flood_bench.py VEVE4D_BINARY [--accept-limit N] [--address-limit N] [--connections N]
                      [--seconds S] [--flood-source 127.0.0.X] [--skip-floods] [--skip-guessing]
"""
import argparse
import os
import re
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import flood_tools  # noqa: E402
from veve4d_server import SERVICE_KEY, Veve4d, free_port  # noqa: E402


def packaged(name):
    """A dword of the packaged registry (0 when it is not there)."""
    with open(os.path.join(HERE, "..", "packaging", "deb", "registry.reg")) as f:
        match = re.search(rf'^"{name}"=dword:([0-9a-fA-F]+)', f.read(), re.M)
    return int(match.group(1), 16) if match else 0


def dword(name, value):
    return f'"{name}"=dword:{value:08x}\n'


def flood(server, port, tls, args, what):
    trickle = flood_tools.Trickle(port, args.connections, tls=tls, interval=2.0, source=args.flood_source).start()
    started = time.monotonic()
    trickle.wait_opened(120)
    print(f"{what}: {args.connections} connections opened in {time.monotonic() - started:.1f} s "
          f"({trickle.opened} accepted, {trickle.refused} refused at connect)", flush=True)
    latencies, most = [], 0
    for _ in range(10):
        time.sleep(2)
        most = max(most, flood_tools.server_threads(server.process.pid))
        latencies.append(flood_tools.timed_login_apart(port, "alice", "secret", tls=tls, timeout=10))
    trickle.stop()
    done = sorted(t for t in latencies if t is not None)
    shown = ", ".join("timeout(10 s)" if t is None else f"{t * 1000:.0f} ms" for t in latencies)
    print(f"{what}: normal logins {shown}")
    if done:
        print(f"{what}: {len(done)}/10 logged in, median {done[len(done) // 2] * 1000:.0f} ms, "
              f"worst {done[-1] * 1000:.0f} ms; server threads at most {most}; {trickle.cut} flood connections cut",
              flush=True)
    else:
        print(f"{what}: no normal login completed; server threads at most {most}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--accept-limit", type=int, default=packaged("AcceptLimit"))
    parser.add_argument("--address-limit", type=int, default=packaged("AddressLimit"))
    parser.add_argument("--connections", type=int, default=1100)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--flood-source", default="127.0.0.1",
                        help="loopback address the floods come from (the normal logins: 127.0.0.1)")
    parser.add_argument("--skip-floods", action="store_true")
    parser.add_argument("--skip-guessing", action="store_true")
    args = parser.parse_args()
    print(f"AcceptLimit {args.accept_limit}, AddressLimit {args.address_limit}", flush=True)
    with tempfile.TemporaryDirectory(prefix="veve4d-flood-bench-") as work:
        chain, key = flood_tools.make_certificate(work)
        tls_port = free_port()
        server = Veve4d(args.binary, work, SERVICE_KEY + dword("Timeout", 300) + dword("AcceptLimit", args.accept_limit) +
                        dword("AddressLimit", args.address_limit) + dword("TlsPortNo", tls_port) +
                        f'"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n"ConsoleTrace"=dword:00000000\n',
                        log=None)
        server.add_user("alice", "secret")
        server.add_user("victim", "unguessable")
        server.add_user("victim2", "unguessable")
        server.start()
        try:
            if not args.skip_floods:
                flood(server, server.port, False, args, "clear-text flood")
                flood(server, tls_port, True, args, "TLS-handshake flood")
            if not args.skip_guessing:
                n = flood_tools.alternating_attack(server.port, "victim", "alice", "secret", args.seconds)
                print(f"alternating attack: {n} guesses in {args.seconds} s = {n * 60 / args.seconds:.1f} per minute",
                      flush=True)
                n = flood_tools.parallel_attack(server.port, "victim2", 300, args.seconds)
                print(f"300 connections at once: {n} guesses in {args.seconds} s = {n * 60 / args.seconds:.1f} per minute",
                      flush=True)
        finally:
            server.stop()


if __name__ == "__main__":
    main()
