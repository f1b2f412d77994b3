#!/usr/bin/python3
"""Relay throughput: 100 MB through ostrel's relay and through tunwick, each
beside socat moving the same bytes the same way, in one run.

  ostrel : scripted SMTP server program --pipe--> relay --socket--> reader
  tunwick: TCP server --socket--> relay --socket--> reader

Usage: bench/throughput.py [BUILD_BIN_DIR] [MEGABYTES]"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
MEGABYTES = int(sys.argv[2]) if len(sys.argv) > 2 else 100
SIZE = MEGABYTES * 1024 * 1024


def drain(sock):
    total = 0
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            return total
        total += len(chunk)


def timed_read(argv, env, prologue=None):
    """Runs argv with a socket pair as its descriptors 0 and 1; returns MB/s
    from the first byte after the prologue to the end of its output."""
    ours, theirs = socket.socketpair()
    proc = subprocess.Popen(argv, stdin=theirs, stdout=theirs, env=env)
    theirs.close()
    if prologue:
        prologue(ours)
    start = time.perf_counter()
    received = drain(ours)
    elapsed = time.perf_counter() - start
    proc.kill()
    proc.wait()
    ours.close()
    assert received >= SIZE, f"{argv[0]}: got {received} bytes"
    return SIZE / (1024 * 1024) / elapsed


def ostrel_relay(workdir):
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(f"greet 220 bench\\r\\n\nreply 354 go\\r\\n\nblast {SIZE}\n")
    db = os.path.join(workdir, "db")
    subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)
    env = {"GREYLIST": "", "DBFILE": db, "TCPREMOTEIP": "192.0.2.1", "LOGTHRESHOLD": "3"}

    def to_data(sock):
        buf = b""
        while b"220 bench\r\n" not in buf:
            buf += sock.recv(1)
        sock.sendall(b"DATA\r\n")
        while b"354 go\r\n" not in buf:
            buf += sock.recv(1)

    smtpd = [os.path.join(BIN, "scripted_smtpd"), script]
    ostrel = timed_read([os.path.join(BIN, "ostrel")] + smtpd, env, to_data)
    socat = timed_read(["socat", "-b", "1024", "STDIO", "EXEC:" + " ".join(smtpd)], env, to_data)
    socat_big = timed_read(["socat", "STDIO", "EXEC:" + " ".join(smtpd)], env, to_data)
    return ostrel, socat, socat_big


def serve_once(listener):
    conn, _ = listener.accept()
    block = b"x" * (1 << 20)
    for _ in range(MEGABYTES):
        conn.sendall(block)
    conn.close()


def tunwick_relay():
    results = []
    for argv_of in [lambda port: [os.path.join(BIN, "tunwick"), "127.0.0.1", str(port)],
                    lambda port: ["socat", "-b", "1024", "STDIO", f"TCP:127.0.0.1:{port}"],
                    lambda port: ["socat", "STDIO", f"TCP:127.0.0.1:{port}"]]:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        server = threading.Thread(target=serve_once, args=(listener,))
        server.start()
        results.append(timed_read(argv_of(listener.getsockname()[1]), {"LOGTHRESHOLD": "3"}))
        server.join()
        listener.close()
    return results


def main():
    with tempfile.TemporaryDirectory() as workdir:
        ostrel, socat, socat_big = ostrel_relay(workdir)
    tunwick, socat_t, socat_t_big = tunwick_relay()
    print(f"{MEGABYTES} MB relayed, MB/s (higher is better)")
    print(f"{'relay':<28}{'program':>10}{'socat -b1024':>14}{'socat (8 KiB)':>15}")
    print(f"{'ostrel (pipe -> socket)':<28}{ostrel:>10.0f}{socat:>14.0f}{socat_big:>15.0f}")
    print(f"{'tunwick (TCP -> socket)':<28}{tunwick:>10.0f}{socat_t:>14.0f}{socat_t_big:>15.0f}")


if __name__ == "__main__":
    main()
