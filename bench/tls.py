#!/usr/bin/python3
"""STARTTLS taken by ostrel, beside clear text, in one run.

Sessions: tcpserver -> ostrel -> exim4 -bs on 127.0.0.1, every connection
from an address of its own, at 1 and 32 concurrent clients:
  greylisted  EHLO, MAIL, RCPT -> 451/452 (a new triple every time)
  passing     EHLO, MAIL, RCPT -> 250 (a rule requiring 0 attempts, so the
              pass stays on the greylisting road), DATA, a 2 KB message, QUIT
each in clear text without TLSCERT, in clear text with TLSCERT set (the
certificate is loaded, STARTTLS not used) and with STARTTLS (handshake,
EHLO again, the rest inside TLS). Time per connection: from connect to the
last reply.

Relay throughput: after a pass, the scripted server program writes
MEGABYTES after its 354 reply; MB/s from the 354 to the end, read by the
same TLS client, through ostrel's TLS relay, beside socat's openssl-listen
in front of the same scripted server, and ostrel's clear-text relay.

The client is Python's ssl module on the same machine: its share of the CPU
is in every TLS figure alike. It sets TCP_NODELAY, as ostrel does on its
side, so that no figure holds a delayed acknowledgement.

Usage: bench/tls.py [CONNECTIONS_PER_RUN] [MEGABYTES]   (from the top directory, as root)"""

import concurrent.futures
import os
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
from harness import free_port  # noqa: E402
from realparts import TcpServer, exim_command  # noqa: E402
from tlsparts import make_certificate  # noqa: E402

BIN = os.path.join(TOP, "build", "bin")
CONNECTIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 128
MEGABYTES = int(sys.argv[2]) if len(sys.argv) > 2 else 100
MESSAGE = b"Subject: bench\r\n\r\n" + b"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcd\r\n" * 32 + b".\r\n"


class Conversation:
    """SMTP over a plain socket that may turn into TLS."""

    def __init__(self, sock, context):
        self.sock = sock
        self.context = context
        self.buf = b""

    def reply(self):
        while True:
            while b"\n" not in self.buf:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise ConnectionError(f"closed after {self.buf!r}")
                self.buf += chunk
            line, self.buf = self.buf.split(b"\n", 1)
            if len(line) < 4 or line[3:4] != b"-":
                return line

    def say(self, line):
        self.sock.sendall(line)
        return self.reply()

    def start_tls(self):
        assert self.say(b"STARTTLS\r\n").startswith(b"220 ")
        self.sock = self.context.wrap_socket(self.sock, server_hostname="mx.test.example")


def session(port, local, sender, use_tls, passing, context):
    start = time.perf_counter()
    with socket.socket() as raw:
        # Without this the client's Finished and its next line, two small
        # writes in a row, wait for a delayed acknowledgement (40 ms).
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        raw.bind((local, 0))
        raw.connect(("127.0.0.1", port))
        talk = Conversation(raw, context)
        talk.reply()
        talk.say(b"EHLO bench.example\r\n")
        if use_tls:
            talk.start_tls()
            talk.say(b"EHLO bench.example\r\n")
        talk.say(f"MAIL FROM:<{sender}>\r\n".encode())
        reply = talk.say(b"RCPT TO:<rcpt@example.net>\r\n")
        if passing:
            assert reply.startswith(b"250"), reply
            assert talk.say(b"DATA\r\n").startswith(b"354")
            assert talk.say(MESSAGE).startswith(b"250")
            talk.say(b"QUIT\r\n")
        else:
            assert reply[:3] in (b"451", b"452"), reply
        elapsed = time.perf_counter() - start
        talk.sock.close()
    return elapsed


def run_load(port, kind, use_tls, clients, context, run_no):
    passing = kind == "passing"

    def one(n):
        local = f"127.{40 + run_no}.{n // 250}.{n % 250 + 1}"
        sender = f"{'pass' if passing else 'grey'}{n}@example.org"
        return session(port, local, sender, use_tls, passing, context)

    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        times = list(pool.map(one, range(CONNECTIONS)))
    wall = time.perf_counter() - started
    return CONNECTIONS / wall, statistics.median(times) * 1000, max(times) * 1000


def pass_rules(workdir):
    """Senders starting with "pass" need no attempt: they pass on the
    greylisting road every time and are never promoted."""
    rules = os.path.join(workdir, "rules")
    with open(rules, "w") as f:
        f.write("0 e s:^pass\n")
    return rules


def sessions(workdir, cert, key, context):
    db = os.path.join(workdir, "greylist.db")
    subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)
    rules = pass_rules(workdir)
    env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "GREYLIST": "", "DBFILE": db, "SUSPICION": rules,
           "LOGTHRESHOLD": "3"}
    argv = [os.path.join(BIN, "ostrel")] + exim_command(workdir)
    # A listen backlog that drops no connection attempt of 32 at once.
    plain = TcpServer(workdir, argv, env, concurrency=64, options=("-b", "256"))
    with_tls = TcpServer(workdir, argv, {**env, "TLSCERT": cert, "TLSKEY": key}, concurrency=64,
                         options=("-b", "256"))
    print(f"{CONNECTIONS} connections per run; time per connection, connect to last reply (ms)")
    print("  unset: TLSCERT unset; clear: TLSCERT set, no STARTTLS; TLS: with STARTTLS")
    print(f"{'session':<12}{'clients':>8}" + "".join(f"{name + '/s':>10}{'median':>8}{'max':>8}"
                                                     for name in ("unset", "clear", "TLS")))
    run_no = 0
    try:
        for kind in ("greylisted", "passing"):
            for clients in (1, 32):
                row = f"{kind:<12}{clients:>8}"
                for port, use_tls in ((plain.port, False), (with_tls.port, False), (with_tls.port, True)):
                    rate, median, slowest = run_load(port, kind, use_tls, clients, context, run_no)
                    run_no += 1
                    row += f"{rate:>10.0f}{median:>8.1f}{slowest:>8.1f}"
                print(row)
    finally:
        plain.close()
        with_tls.close()


def drain_after_354(sock):
    """Reads up to the 354 reply, then everything; MB/s of what followed."""
    buf = b""
    while b"354 go\r\n" not in buf:
        buf += sock.recv(65536)
    received = len(buf) - buf.index(b"354 go\r\n") - 8
    start = time.perf_counter()
    while True:
        try:
            chunk = sock.recv(1 << 20)
        except (ssl.SSLEOFError, ConnectionResetError):
            break
        if not chunk:
            break
        received += len(chunk)
    elapsed = time.perf_counter() - start
    assert received >= MEGABYTES << 20, received
    return MEGABYTES / elapsed


def ostrel_relay(workdir, cert, key, context, use_tls):
    script = os.path.join(workdir, "relay-script")
    with open(script, "w") as f:
        f.write(f"greet 220 bench\\r\\n\nreply 250 OK\\r\\n\nreply 250 Accepted\\r\\n\nreply 354 go\\r\\n\n"
                f"blast {MEGABYTES << 20}\n")
    db = os.path.join(workdir, "relay.db")
    subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)
    rules = pass_rules(workdir)
    env = {"GREYLIST": "", "DBFILE": db, "TCPREMOTEIP": "192.0.2.1", "LOGTHRESHOLD": "3", "SUSPICION": rules,
           "TLSCERT": cert, "TLSKEY": key}
    ours, theirs = socket.socketpair()
    proc = subprocess.Popen([os.path.join(BIN, "ostrel"), os.path.join(BIN, "scripted_smtpd"), script],
                            stdin=theirs, stdout=theirs, env=env)
    theirs.close()
    talk = Conversation(ours, context)
    talk.reply()
    if use_tls:
        talk.start_tls()
    talk.say(b"MAIL FROM:<pass@example.org>\r\n")
    assert talk.say(b"RCPT TO:<r@example.net>\r\n").startswith(b"250")
    talk.sock.sendall(b"DATA\r\n")
    rate = drain_after_354(talk.sock)
    proc.kill()
    proc.wait()
    talk.sock.close()
    return rate


def socat_relay(workdir, cert, key, context):
    script = os.path.join(workdir, "socat-script")
    with open(script, "w") as f:
        f.write(f"greet 220 bench\\r\\n\nreply 354 go\\r\\n\nblast {MEGABYTES << 20}\n")
    port = free_port()
    proc = subprocess.Popen(["socat", f"OPENSSL-LISTEN:{port},bind=127.0.0.1,reuseaddr,cert={cert},key={key},verify=0",
                             f"EXEC:{os.path.join(BIN, 'scripted_smtpd')} {script}"])
    deadline = time.monotonic() + 10
    while True:
        try:
            raw = socket.create_connection(("127.0.0.1", port))
            break
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)
    sock = context.wrap_socket(raw, server_hostname="mx.test.example")
    buf = b""
    while b"220 bench\r\n" not in buf:
        buf += sock.recv(100)
    sock.sendall(b"DATA\r\n")
    rate = drain_after_354(sock)
    proc.kill()
    proc.wait()
    sock.close()
    return rate


def main():
    # exim may still be delivering the last messages when the run ends.
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as workdir:
        os.chmod(workdir, 0o755)
        cert, key = make_certificate(workdir)
        context = ssl.create_default_context(cafile=cert)
        sessions(workdir, cert, key, context)
        tls_rate = ostrel_relay(workdir, cert, key, context, True)
        socat_rate = socat_relay(workdir, cert, key, context)
        clear_rate = ostrel_relay(workdir, cert, key, context, False)
        print(f"\n{MEGABYTES} MB relayed after the pass, MB/s (higher is better)")
        print(f"{'ostrel TLS relay':<34}{tls_rate:>8.0f}")
        print(f"{'socat openssl-listen (8 KiB)':<34}{socat_rate:>8.0f}")
        print(f"{'ostrel clear-text relay':<34}{clear_rate:>8.0f}")


if __name__ == "__main__":
    main()
