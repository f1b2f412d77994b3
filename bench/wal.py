#!/usr/bin/python3
"""The size of the SQLite write-ahead log (the -wal file beside the database)
and the CPU of a greylisted connection as connections accumulate, on three
traffic patterns:

  sequential   one connection at a time, as on a quiet MX
  overlapping  8 connections at a time, all the time
  bursts       50 connections at once, then one alone, in turn
  slow disk    8 at a time on a disk whose syncs take 50 ms (the tests'
               preloaded slow_sync helper), where checkpoints take long

Every connection is a fresh client (its own address) that ostrel answers
with a temporary failure and records: one pending row each. The SMTP server
program is the tests' scripted server; ostrel and it run with the dialogue
on a pipe, as startup.py runs them. The CPU figure is that of ostrel and the
server it ran, less the server run alone on the same input, averaged over
the last 100 connections before each mark.

Usage: bench/wal.py [CONNECTIONS [BIN_DIR]]   (default 5000, build/bin)"""

import concurrent.futures
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

from rusage import run_once

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
CONNECTIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
BIN = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else os.path.join(TOP, "build", "bin")
SERVER = os.path.join(TOP, "build", "bin", "scripted_smtpd")
MARKS = [m for m in (1, 250, 500, 1000, 2000, 5000, 10000) if m <= CONNECTIONS]
DIALOGUE = b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"
SCRIPT = ("greet 220 mx.bench.example ESMTP\\r\\n\n"
          "reply 250-mx.bench.example\\r\\n250-SIZE 52428800\\r\\n250-8BITMIME\\r\\n250-PIPELINING\\r\\n"
          "250-CHUNKING\\r\\n250-PRDR\\r\\n250-SMTPUTF8\\r\\n250 HELP\\r\\n\n"
          "reply 250 OK\\r\\n\nreply 250 Accepted\\r\\n\nreply 221 bye\\r\\n\n")


def run_once_ms(argv, env):
    """CPU milliseconds of argv (and the children it waited for) with the
    dialogue on its standard input."""
    cpu, _, code = run_once(argv, env, DIALOGUE)
    assert code == 0, f"{argv[0]} ended with {code}"
    return cpu * 1000


class Run:
    """One pattern on a fresh database."""

    def __init__(self, workdir, script, slow_disk=False):
        self.db = os.path.join(workdir, "g.db")
        for suffix in ["", "-wal", "-shm"]:
            if os.path.exists(self.db + suffix):
                os.remove(self.db + suffix)
        subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", self.db], check=True, capture_output=True)
        self.argv = [os.path.join(BIN, "ostrel"), SERVER, script]
        self.env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": self.db, "LOGTHRESHOLD": "3"}
        if slow_disk:
            self.env.update({"LD_PRELOAD": os.path.join(TOP, "build", "bin", "libslow_sync.so"),
                             "SLOW_SYNC_PREFIX": self.db, "SLOW_SYNC_MS": "50"})
        self.count = 0
        self.lock = threading.Lock()
        self.cpu = []
        self.largest = 0

    def wal_size(self):
        try:
            return os.path.getsize(self.db + "-wal")
        except FileNotFoundError:
            return 0

    def connection(self):
        with self.lock:
            n = self.count
            self.count += 1
        cpu = run_once_ms(self.argv, dict(self.env, TCPREMOTEIP=f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}"))
        with self.lock:
            self.cpu.append(cpu)
            self.largest = max(self.largest, self.wal_size())

    def sequential(self, count):
        for _ in range(count):
            self.connection()

    def concurrently(self, count, width):
        with concurrent.futures.ThreadPoolExecutor(width) as pool:
            for future in [pool.submit(self.connection) for _ in range(count)]:
                future.result()

    def rows(self):
        out = subprocess.run(["sqlite3", self.db, "SELECT COUNT(*) FROM pending"], check=True, capture_output=True,
                             text=True).stdout
        return int(out)


def report(name, run, server_cpu, marks):
    print(f"== {name}")
    print(f"{'connections':>12}{'wal KiB':>10}{'largest':>10}{'CPU ms':>9}")
    for mark, wal, largest, cpu in marks:
        print(f"{mark:>12}{wal / 1024:>10.0f}{largest / 1024:>10.0f}{cpu - server_cpu:>9.2f}")
    assert run.rows() == run.count, f"{run.rows()} rows for {run.count} connections"


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-wal-")
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(SCRIPT)
    server_cpu = statistics.mean(run_once_ms([SERVER, script], {}) for _ in range(200))
    print(f"{BIN}: {CONNECTIONS} greylisted connections per pattern; CPU of ostrel per connection, the "
          f"scripted server ({server_cpu:.2f} ms) taken off")

    def mark_of(run):
        recent = run.cpu[-100:]
        return run.count, run.wal_size(), run.largest, statistics.mean(recent)

    patterns = [
        ("sequential", lambda run, count: run.sequential(count), False),
        ("overlapping (8 at a time)", lambda run, count: run.concurrently(count, 8), False),
        ("bursts (50 at once, then 1 alone)", None, False),
        ("slow disk (8 at a time, syncs of 50 ms)", lambda run, count: run.concurrently(count, 8), True),
    ]
    for name, step, slow_disk in patterns:
        run = Run(workdir, script, slow_disk)
        marks = []
        if step is not None:
            for mark in MARKS:
                step(run, mark - run.count)
                marks.append(mark_of(run))
        else:
            while run.count < CONNECTIONS:
                run.concurrently(min(50, CONNECTIONS - run.count), 50)
                if run.count < CONNECTIONS:
                    run.sequential(1)
                if any(run.count >= mark and (not marks or marks[-1][0] < mark) for mark in MARKS):
                    marks.append(mark_of(run))
        report(name, run, server_cpu, marks)
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
