#!/usr/bin/python3
"""The cost of ostrel's decision line, and how fast `ostrelctl report` reads.

1. CPU (user + system) of ostrel per connection, with the line written
   (LOGTHRESHOLD=5) and without it (LOGTHRESHOLD=4), standard error appended
   to a log file as a log collector's pipe would take it:
     greylisted  a fresh client: EHLO, MAIL, RCPT, the 4xx, the row written
     verified    a verified client: the lookup, the refresh, exec of the server
   The two settings alternate run by run; figures are medians of rounds.
   Then the instructions of one greylisted connection under callgrind, and
   of the line's own function in it: exact, whatever else the machine does.
2. `ostrelctl report` on a generated log of LINES lines (one in three a
   decision line, the rest tcpserver's and ostrel's other lines, stamped
   TAI64N as multilog writes them): CPU, lines per second and the largest
   resident set, for a log of few and of many distinct triples.

Usage: bench/decision_line.py [RUNS_PER_ROUND [LINES]] (from the top directory,
after scripts/build.sh build)"""

import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from rusage import run_once

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BIN = os.path.join(TOP, "build", "bin")
SERVER = os.path.join(BIN, "scripted_smtpd")
RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
LINES = int(sys.argv[2]) if len(sys.argv) > 2 else 1_500_000
ROUNDS = 7
DIALOGUE = b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"
SCRIPT = ("greet 220 mx.bench.example ESMTP\\r\\n\n"
          "reply 250-mx.bench.example\\r\\n250-PIPELINING\\r\\n250 HELP\\r\\n\n"
          "reply 250 OK\\r\\n\nreply 250 Accepted\\r\\n\nreply 221 bye\\r\\n\n")



def connections(workdir):
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(SCRIPT)
    db = os.path.join(workdir, "g.db")
    subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)
    subprocess.run([os.path.join(BIN, "ostrelctl"), "allow", "192.0.2.1", "--db", db], check=True,
                   capture_output=True)
    log_fd = os.open(os.path.join(workdir, "log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    argv = [os.path.join(BIN, "ostrel"), SERVER, script]
    counter = iter(range(10 ** 9))

    def env(threshold, client=None):
        if client is None:
            n = next(counter)
            client = f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}"
        return {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": db, "LOGTHRESHOLD": threshold,
                "TCPREMOTEIP": client}

    # The two settings alternate run by run, so that other work on the
    # machine weighs on both alike.
    figures = {}
    for _ in range(ROUNDS):
        for road, client, stdin_data in (("greylisted", None, DIALOGUE), ("verified", "192.0.2.1", b"")):
            runs = {"4": [], "5": []}
            for _ in range(RUNS):
                for threshold in ("4", "5"):
                    runs[threshold].append(run_once(argv, env(threshold, client), stdin_data, log_fd)[:2])
            for threshold, measured in runs.items():
                figures.setdefault((road, threshold), []).append(
                    (sum(c for c, _ in measured) / RUNS * 1000, sum(f for _, f in measured) / RUNS))
    print(f"ostrel CPU per connection, ms ({RUNS} runs per round, {ROUNDS} rounds, medians of rounds)")
    print(f"{'road':<12}{'no line (4)':>13}{'line (5)':>10}{'cost':>9}{'faults 4':>10}{'faults 5':>10}")
    for road in ("greylisted", "verified"):
        without, with_line = ([statistics.median(x[i] for x in figures[road, t]) for i in (0, 1)] for t in "45")
        print(f"{road:<12}{without[0]:>13.3f}{with_line[0]:>10.3f}{with_line[0] - without[0]:>+9.3f}"
              f"{without[1]:>10.0f}{with_line[1]:>10.0f}")
    os.close(log_fd)

    # Instructions are counted exactly, whatever else the machine does. A
    # process that execs leaves no callgrind output: the greylisted road only.
    if shutil.which("valgrind") is None:
        return
    print("ostrel instructions per greylisted connection (callgrind, the parent process)")
    out = os.path.join(workdir, "callgrind")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + argv, input=DIALOGUE,
                   env=env("5"), capture_output=True, check=True)
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", out], capture_output=True,
                               text=True).stdout
    total = int(re.search(r"^([\d,]+) .*PROGRAM TOTALS", annotated, re.M).group(1).replace(",", ""))
    line = int(re.search(r"^\s*([\d,]+) .*=> .*decision_line::log_decision", annotated, re.M).group(1)
               .replace(",", ""))
    print(f"whole connection {total}, the decision line {line} ({line / total * 100:.2f} %)")


def write_log(path, lines, triples):
    """A multilog-stamped log: connections of `triples` distinct triples,
    each greylisted and later passed, among tcpserver's lines."""
    rng = random.Random(1)
    stamp = (1 << 62) + 10 + 1772445600
    with open(path, "w") as f:
        n = 0
        while n < lines:
            t = rng.randrange(triples)
            client = f"10.{t // 65536 % 256}.{t // 256 % 256}.{t % 256}"
            stamp += rng.randrange(3)
            tai = "@%016x%08x " % (stamp, 0)
            passed = rng.random() < 0.4
            decision = (f"decision={'promoted' if passed else 'greylisted'} client={client} key={client} "
                        f"from=<s{t}@sender{t % 5000}.example> to=<r{t % 300}@example.net> "
                        f"attempts={1 if passed else 0} required=1 age={rng.randrange(300, 4000) if passed else 0}"
                        + (" delay=%d" % rng.randrange(300, 4000) if passed else ""))
            f.write(f"{tai}tcpserver: status: 3/100\n{tai}tcpserver: pid {n} from {client}\n"
                    f"{tai}ostrel: {decision}\n")
            n += 3


def report_speed(workdir):
    print(f"ostrelctl report on {LINES} lines (one in three a decision)")
    print(f"{'distinct triples':>17}{'CPU s':>8}{'lines/s':>12}{'max RSS MiB':>13}")
    for triples in (1000, 300_000):
        log = os.path.join(workdir, "report.log")
        write_log(log, LINES, triples)
        with open(log) as f:
            pid = os.posix_spawn(os.path.join(BIN, "ostrelctl"), ["ostrelctl", "report", "--json"],
                                 {"PATH": "/usr/bin:/bin", "TZ": "UTC"},
                                 file_actions=[(os.POSIX_SPAWN_DUP2, f.fileno(), 0),
                                               (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
            _, status, usage = os.wait4(pid, 0)
        assert status == 0, status
        cpu = usage.ru_utime + usage.ru_stime
        print(f"{triples:>17}{cpu:>8.2f}{LINES / cpu:>12.0f}{usage.ru_maxrss / 1024:>13.1f}")


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-decision-line-")
    try:
        connections(workdir)
        report_speed(workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
