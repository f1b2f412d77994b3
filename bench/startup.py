#!/usr/bin/python3
"""CPU per connection of ostrel, and how much of it is start-up, for every
build variant present:

  dynamic       build-dynamic/  C library, C++ runtime, SQLite dynamic
  default       build/          C++ runtime, SQLite, c-ares static, C library dynamic
  fully-static  build-static/   everything static (-DOSTREL_FULLY_STATIC=ON)

For each: CPU (user + system) and minor page faults of
  start-up   ostrel without arguments (starts, writes its usage line, exits):
             the dynamic loader, the C library's start-up and the exit
  greylisted one whole greylisted connection (fresh client, EHLO, MAIL, RCPT,
             4xx) with the scripted server as SMTP server program, less the
             scripted server run alone on the same input
and the system calls of one greylisted connection (strace -c, ostrel only).
The variants run interleaved in rounds; the figures are medians of rounds,
with the lowest round beside the greylisted CPU (other work on the machine
only ever adds to it).

Usage: bench/startup.py [RUNS_PER_ROUND [NAME=BUILD_DIR...]]
(run from the top directory; NAME=BUILD_DIR adds a variant, a scratch build)"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from rusage import run_once

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
VARIANTS = [("dynamic", "build-dynamic"), ("default", "build"), ("fully-static", "build-static")]
SERVER = os.path.join(TOP, "build", "bin", "scripted_smtpd")
RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
VARIANTS += [tuple(arg.split("=", 1)) for arg in sys.argv[2:]]
ROUNDS = 7
DIALOGUE = b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"
SCRIPT = ("greet 220 mx.bench.example ESMTP\\r\\n\n"
          "reply 250-mx.bench.example\\r\\n250-SIZE 52428800\\r\\n250-8BITMIME\\r\\n250-PIPELINING\\r\\n"
          "250-CHUNKING\\r\\n250-PRDR\\r\\n250-SMTPUTF8\\r\\n250 HELP\\r\\n\n"
          "reply 250 OK\\r\\n\nreply 250 Accepted\\r\\n\nreply 221 bye\\r\\n\n")



def measure(argv, env_for, stdin_data, runs):
    cpu = faults = 0
    for n in range(runs):
        c, f, _ = run_once(argv, env_for(n), stdin_data)
        cpu += c
        faults += f
    return cpu / runs * 1000, faults / runs


def fresh_db(path, bin_dir):
    for suffix in ["", "-wal", "-shm"]:
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    subprocess.run([os.path.join(bin_dir, "ostrelctl"), "init-db", path], check=True, capture_output=True)


def main():
    present = [(name, os.path.join(TOP, d, "bin")) for name, d in VARIANTS
               if os.path.exists(os.path.join(TOP, d, "bin", "ostrel"))]
    assert present, "no build with bin/ostrel found"
    workdir = tempfile.mkdtemp(prefix="ostrel-startup-")
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(SCRIPT)
    db = os.path.join(workdir, "g.db")
    base_env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": db, "LOGTHRESHOLD": "3"}
    counter = iter(range(10 ** 9))

    def client_env(_):
        n = next(counter)
        return dict(base_env, TCPREMOTEIP=f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}")

    figures = {}
    for _ in range(ROUNDS):
        for name, bin_dir in present:
            fresh_db(db, bin_dir)
            ostrel = os.path.join(bin_dir, "ostrel")
            figures.setdefault((name, "start-up"), []).append(measure([ostrel], lambda _: base_env, b"", RUNS))
            figures.setdefault((name, "greylisted"), []).append(
                measure([ostrel, SERVER, script], client_env, DIALOGUE, RUNS))
        figures.setdefault(("server alone", ""), []).append(
            measure([SERVER, script], lambda _: base_env, DIALOGUE, RUNS))

    def median(key):
        return (statistics.median(c for c, _ in figures[key]), statistics.median(f for _, f in figures[key]))

    server_cpu, server_faults = median(("server alone", ""))
    print(f"{RUNS} runs per round, {ROUNDS} rounds; CPU ms and minor faults per run (medians of rounds)")
    print(f"scripted server alone: {server_cpu:.3f} ms, {server_faults:.0f} faults")
    print(f"{'variant':<20}{'start-up ms':>12}{'faults':>8}{'greylisted ms':>15}{'lowest':>8}{'faults':>8}"
          f"{'syscalls':>10}")
    results = {}
    for name, bin_dir in present:
        start_cpu, start_faults = median((name, "start-up"))
        grey_cpu, grey_faults = median((name, "greylisted"))
        grey_cpu -= server_cpu
        grey_lowest = min(c for c, _ in figures[name, "greylisted"]) - server_cpu
        grey_faults -= server_faults
        results[name] = (start_cpu, grey_cpu)
        fresh_db(db, bin_dir)
        trace = os.path.join(workdir, "strace")
        subprocess.run(["strace", "-c", "-o", trace, os.path.join(bin_dir, "ostrel"), SERVER, script],
                       input=DIALOGUE, env=dict(base_env, TCPREMOTEIP="192.0.2.1"), capture_output=True)
        with open(trace) as f:
            total = re.search(r"^\s*[\d.]+\s+[\d.]+\s+\d*\s+(\d+)\s+(?:\d+\s+)?total", f.read(), re.M)
        print(f"{name:<20}{start_cpu:>12.3f}{start_faults:>8.0f}{grey_cpu:>15.3f}{grey_lowest:>8.3f}{grey_faults:>8.0f}"
              f"{total.group(1) if total else '-':>10}")
    if "fully-static" in results:
        static_start, static_grey = results["fully-static"]
        for name, (start_cpu, grey_cpu) in results.items():
            if name in ("dynamic", "default"):
                print(f"{name}: the dynamic loader and shared C library cost {start_cpu - static_start:.3f} ms "
                      f"of {grey_cpu:.3f} ms per greylisted connection; fully static saves "
                      f"{grey_cpu - static_grey:.3f} ms ({(grey_cpu - static_grey) / grey_cpu * 100:.0f} %)")
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
