#!/usr/bin/env python3
"""Slow and parallel clients against a private server on loopback, scaled down from the figures of
bench/flood_bench.py so that the whole run stays well under a minute:
- a flood of trickling clear-text connections, then one of trickling TLS handshakes on the
  implicit-TLS port, both from the user's own address, each several times the session limit and
  reconnecting as soon as it is cut: a normal login still completes, and
  the server never runs more threads than the limit allows (the limits apply before any TLS
  work);
- a client trickling a byte at a time before login, and one trickling its TLS handshake, are
  cut at their deadlines however often they send;
- password guessing, alternating with a login to an account of one's own, and from many
  connections at once, answers no more guesses than one queue with the doubling delay allows.

usage: flood_test.py VEVE4D_BINARY
"""
import os
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import flood_tools  # noqa: E402
from veve4d_server import SERVICE_KEY, Veve4d, free_port  # noqa: E402

FLOOD = 240          # trickling connections per flood (the bench runs 1,100)
ACCEPT_LIMIT = 60    # scaled with FLOOD, as the packaged 500 and 50 are with 1,100
ADDRESS_LIMIT = 40
LOGIN_TIME_LIMIT = 3
TLS_TIME_LIMIT = 2
DELAY_MS = 100       # failed-login delay of the guessing runs (the default is 2000)
GUESS_SECONDS = 8
PARALLEL = 60        # guessing connections (the bench runs 300)

failures = []


def check(condition, text):
    print(("ok   " if condition else "FAIL ") + text, flush=True)
    if not condition:
        failures.append(text)


def dword(name, value):
    return f'"{name}"=dword:{value:08x}\n'


def flood_round(server, port, tls, source, what):
    """A flood on port from the address source; logins from 127.0.0.1 timed while it runs; the
    server's threads watched."""
    flood = flood_tools.Trickle(port, FLOOD, tls=tls, interval=1.0, source=source).start()
    flood.wait_opened()
    latencies, most_threads, retried = [], 0, 0
    for _ in range(5):
        time.sleep(0.7)
        most_threads = max(most_threads, flood_tools.server_threads(server.process.pid))
        latency = flood_tools.timed_login_apart(port, "alice", "secret", tls=tls, timeout=10)
        # A client whose first bytes came late (this machine is shared with parallel tests) may
        # be taken for one of the flood and sent away while the flood reconnects; it tries again.
        if latency is None:
            retried += 1
            latency = flood_tools.timed_login_apart(port, "alice", "secret", tls=tls, timeout=10)
        latencies.append(latency)
    most_threads = max(most_threads, flood_tools.server_threads(server.process.pid))
    flood.stop()
    done = [t for t in latencies if t is not None]
    shown = ", ".join("timeout" if t is None else f"{t * 1000:.0f} ms" for t in latencies)
    print(f"     {what}: {FLOOD} trickling, {flood.opened} opened, {flood.cut} cut; logins {shown} "
          f"({retried} tried twice); most threads {most_threads}")
    check(len(done) == len(latencies), f"{what}: every normal login completes during the flood")
    check(all(t < 5 for t in done), f"{what}: normal logins within a generous 5 s")
    # The accept thread, the deadline watch, a few of the runtime's, the admitted sessions and
    # as many again that were sent away and are still ending; never one per flood connection.
    check(most_threads <= 2 * ACCEPT_LIMIT + 12, f"{what}: threads stay within the session limit ({most_threads})")


def cut_after(port, tls, limit):
    """Seconds until the server closes a connection that sends a byte every 0.3 s (None: never
    within 4 times the limit), and whether a BYE came."""
    with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
        start, received, sent = time.monotonic(), b"", 0
        while time.monotonic() - start < 4 * limit:
            try:
                chunk = s.recv(4096)
                if not chunk:
                    return time.monotonic() - start, b"BYE" in received
                received += chunk
            except socket.timeout:
                pass
            except OSError:
                return time.monotonic() - start, b"BYE" in received
            try:
                if tls:
                    s.send(flood_tools.TLS_HELLO_START[sent % len(flood_tools.TLS_HELLO_START):][:1])
                else:
                    s.send(b"x")
            except OSError:
                return time.monotonic() - start, b"BYE" in received
            sent += 1
            time.sleep(0.3)
        return None, False


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="veve4d-floods-") as work:
        chain, key = flood_tools.make_certificate(work)
        tls_port = free_port()
        server = Veve4d(binary, work, SERVICE_KEY + dword("Timeout", 300) + dword("AcceptLimit", ACCEPT_LIMIT) +
                        dword("AddressLimit", ADDRESS_LIMIT) + dword("LoginTimeLimit", LOGIN_TIME_LIMIT) +
                        dword("TlsHandshakeTimeLimit", TLS_TIME_LIMIT) + dword("TlsPortNo", tls_port) +
                        f'"TlsCertificateFile"="{chain}"\n"TlsKeyFile"="{key}"\n' + dword("LoginFailureDelay", DELAY_MS) +
                        '"ConsoleTrace"=dword:00000000\n', log=None)
        server.add_user("alice", "secret")
        server.add_user("victim", "unguessable")
        server.start()
        try:
            # From the user's own address: the limit of one address must not keep its user out.
            flood_round(server, server.port, False, "127.0.0.1", "clear-text flood")
            flood_round(server, tls_port, True, "127.0.0.1", "TLS-handshake flood")

            seconds, bye = cut_after(server.port, False, LOGIN_TIME_LIMIT)
            print(f"     trickling before login: cut after {seconds} s (limit {LOGIN_TIME_LIMIT} s), BYE {bye}")
            check(seconds is not None and LOGIN_TIME_LIMIT - 0.5 <= seconds <= LOGIN_TIME_LIMIT + 3 and bye,
                  "a client trickling bytes before login is told BYE and cut at the login deadline")
            seconds, _ = cut_after(tls_port, True, TLS_TIME_LIMIT)
            print(f"     trickling TLS handshake: cut after {seconds} s (limit {TLS_TIME_LIMIT} s)")
            check(seconds is not None and TLS_TIME_LIMIT - 0.5 <= seconds <= TLS_TIME_LIMIT + 3,
                  "a client trickling its TLS handshake is cut at the handshake deadline")

            # One queue per address: a failure's delay doubles up to 16 times the base, so in
            # GUESS_SECONDS at most the first doublings plus one guess per longest delay.
            bound = 5 + int(GUESS_SECONDS * 1000 / (16 * DELAY_MS)) + 2
            guesses = flood_tools.alternating_attack(server.port, "victim", "alice", "secret", GUESS_SECONDS)
            print(f"     alternating attack: {guesses} guesses in {GUESS_SECONDS} s (bound {bound})")
            check(guesses <= bound, "a login to one's own account in between does not reset the delay")
            # A fresh address: the counts of the run above stay with 127.0.0.1's victim name, so
            # the parallel run uses a name of its own.
            server.add_user("victim2", "unguessable")
            guesses = flood_tools.parallel_attack(server.port, "victim2", PARALLEL, GUESS_SECONDS)
            print(f"     {PARALLEL} parallel connections: {guesses} guesses in {GUESS_SECONDS} s (bound {bound})")
            check(guesses <= bound, "parallel connections from one address share one delay")
            check(flood_tools.timed_login(server.port, "alice", "secret", timeout=40) is not None,
                  "the right password still logs in after the guessing")
        finally:
            server.stop()
    if failures:
        print(f"{len(failures)} failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
