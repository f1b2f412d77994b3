#!/usr/bin/python3
"""The cost of GREYLIST_MINDELAY per connection.

CPU (user + system) of ostrel per connection with the setting unset and set
to 300, on three roads:
  first       a fresh triple: the 4xx, the row inserted (the check finds no row)
  retry       a retry of a recorded triple 0 s after its first attempt, under a
              rule that keeps it pending: unset, the attempt is counted
              (UPDATE attempts); set, it is refused early (UPDATE tslastdelivery)
  verified    a verified client: the lookup, the refresh, exec of the server
The two settings alternate run by run; figures are medians of rounds. Then
the instructions of one retry under callgrind for each setting: exact,
whatever else the machine does.

Usage: bench/min_delay.py [RUNS_PER_ROUND] (from the top directory, after
scripts/build.sh build)"""

import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile

from rusage import run_once

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BIN = os.path.join(TOP, "build", "bin")
SERVER = os.path.join(BIN, "scripted_smtpd")
RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 100
ROUNDS = 5
DIALOGUE = b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"
SCRIPT = ("greet 220 mx.bench.example ESMTP\\r\\n\n"
          "reply 250-mx.bench.example\\r\\n250-PIPELINING\\r\\n250 HELP\\r\\n\n"
          "reply 250 OK\\r\\n\nreply 250 Accepted\\r\\n\nreply 221 bye\\r\\n\n")
SETTINGS = {"unset": {}, "300": {"GREYLIST_MINDELAY": "300"}}



def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-min-delay-")
    try:
        script = os.path.join(workdir, "script")
        with open(script, "w") as f:
            f.write(SCRIPT)
        rules = os.path.join(workdir, "rules")
        with open(rules, "w") as f:
            f.write("1000000 v BENCH_RETRY\n")
        db = os.path.join(workdir, "g.db")
        subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)
        subprocess.run([os.path.join(BIN, "ostrelctl"), "allow", "192.0.2.1", "--db", db], check=True,
                       capture_output=True)
        with sqlite3.connect(db) as conn:
            conn.execute("INSERT INTO pending VALUES ('192.0.2.2', 'a@example.org', 'b@example.net', "
                         "DATETIME('now'), DATETIME('now'), 1)")
        argv = [os.path.join(BIN, "ostrel"), SERVER, script]
        counter = iter(range(10 ** 9))

        def env(road, setting):
            base = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": db, "LOGTHRESHOLD": "5",
                    "SUSPICION": rules, **SETTINGS[setting]}
            if road == "first":
                n = next(counter)
                return {**base, "TCPREMOTEIP": f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}"}
            if road == "retry":
                return {**base, "TCPREMOTEIP": "192.0.2.2", "BENCH_RETRY": ""}
            return {**base, "TCPREMOTEIP": "192.0.2.1"}

        figures = {}
        for _ in range(ROUNDS):
            for road in ("first", "retry", "verified"):
                stdin_data = b"" if road == "verified" else DIALOGUE
                runs = {setting: [] for setting in SETTINGS}
                for _ in range(RUNS):
                    for setting in SETTINGS:
                        runs[setting].append(run_once(argv, env(road, setting), stdin_data)[0])
                for setting, measured in runs.items():
                    figures.setdefault((road, setting), []).append(sum(measured) / RUNS * 1000)
        print(f"ostrel CPU per connection, ms ({RUNS} runs per round, {ROUNDS} rounds, medians of rounds)")
        print(f"{'road':<10}{'unset':>9}{'300':>9}{'cost':>9}")
        for road in ("first", "retry", "verified"):
            unset, set_ = (statistics.median(figures[road, s]) for s in SETTINGS)
            print(f"{road:<10}{unset:>9.3f}{set_:>9.3f}{set_ - unset:>+9.3f}")

        if shutil.which("valgrind") is None:
            return
        print("ostrel instructions per retry (callgrind, the parent process)")
        for setting in SETTINGS:
            out = os.path.join(workdir, f"callgrind.{setting}")
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + argv, input=DIALOGUE,
                           env=env("retry", setting), capture_output=True, check=True)
            annotated = subprocess.run(["callgrind_annotate", out], capture_output=True, text=True).stdout
            total = int(re.search(r"^([\d,]+) .*PROGRAM TOTALS", annotated, re.M).group(1).replace(",", ""))
            print(f"{setting:<10}{total:>12}")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
