#!/usr/bin/python3
"""Each greylisted connection beside the floor of its process model, in one
run, every figure beside its anchor as a ratio:

  CPU           ostrel's CPU (user + system, with its child, less the SMTP
                server program alone) per greylisted connection, beside the
                floor program's and beside the target of 1.5 ms
  sessions/s    whole greylisted sessions per second (connect, EHLO, MAIL,
                RCPT, 4xx) at 1 and at 32 clients under tcpserver -b 256
                -c 200, every triple new, for
                  ostrel  the installed build (BUILD/static/bin)
                  floor   bench/floor/floor_greylist: fork and exec of the
                          SMTP server program on two pipes, the line relay to
                          RCPT, an SQLite open, a SELECT and an INSERT of the
                          triple, the 4xx; fully static C, nothing else
                  postfix Postfix's smtpd with postgrey as its policy service
                ostrel and the floor run the same minimal, fully static SMTP
                server program (bench/floor/floor_smtpd) on a database made
                by ostrelctl init-db each
  exim          connect to the 4xx with ostrel in front of exim4 -bs beside
                exim's own connect to its reply to RCPT TO, one client,
                the two roads taking turns connection by connection

The roads take turns in ROUNDS rounds, so that other work on the machine
falls on every road alike. Run from the top directory, as root, after
scripts/build.sh (and bench/run-all.sh's packages: postgrey, Postfix's
libraries).

Usage: bench/greylist_floor.py [SESSIONS_PER_ROUND [ROUNDS [EXIM_CONNECTIONS]]]"""

import os
import shutil
import statistics
import sys
import tempfile

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "bench"))
import load  # noqa: E402  (it puts tests/process on the path)
from harness import free_port  # noqa: E402
from postfix_anchor import PostfixSmtpd  # noqa: E402
from realparts import exim_command  # noqa: E402
from startup import run_once  # noqa: E402

BUILD = os.environ.get("OSTREL_BUILD_DIR", os.path.join(TOP, "build"))
OSTREL = os.path.join(BUILD, "static", "bin", "ostrel")
FLOOR = os.path.join(BUILD, "bin", "floor_greylist")
SMTPD = os.path.join(BUILD, "bin", "floor_smtpd")
SESSIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 7
EXIM_CONNECTIONS = int(sys.argv[3]) if len(sys.argv) > 3 else 101
CPU_TARGET_MS = 1.5
DIALOGUE = b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"


def cpu_per_connection(workdir):
    """Median over rounds of the mean CPU ms per greylisted connection of
    ostrel and of the floor, each less the server program alone."""
    env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "LOGTHRESHOLD": "3"}
    runs = max(SESSIONS // 5, 20)
    counter = iter(range(10 ** 9))
    figures = {"ostrel": [], "floor": [], "server": []}
    for name in ["ostrel", "floor"]:
        load.fresh_db(workdir, db=f"cpu-{name}")

    def mean_cpu(argv, db):
        total = 0
        for _ in range(runs):
            n = next(counter)
            run_env = dict(env, DBFILE=os.path.join(workdir, f"{db}.db"),
                           TCPREMOTEIP=f"10.{n // 65536 % 256}.{n // 256 % 256}.{n % 256}")
            total += run_once(argv, run_env, DIALOGUE)[0]
        return total / runs * 1000

    for _ in range(ROUNDS):
        figures["ostrel"].append(mean_cpu([OSTREL, SMTPD], "cpu-ostrel"))
        figures["floor"].append(mean_cpu([FLOOR, SMTPD], "cpu-floor"))
        figures["server"].append(mean_cpu([SMTPD], "cpu-floor"))
    server = statistics.median(figures["server"])
    return {name: statistics.median(values) - server for name, values in figures.items() if name != "server"}


def sessions_per_second(workdir, postfix_port):
    """Whole greylisted sessions per second of every road at 1 and 32
    clients, the roads taking turns in every round."""
    roads = {"ostrel": [OSTREL, SMTPD], "floor": [FLOOR, SMTPD]}
    servers = {}
    rates = {}
    try:
        for name, argv in roads.items():
            load.fresh_db(workdir, db=name)
            servers[name] = load.BenchTcpServer(workdir, argv, load.chain_env(workdir, db=name), concurrency=200)
        ports = {name: server.port for name, server in servers.items()}
        ports["postfix"] = postfix_port
        for concurrency in [1, 32]:
            parts = {}
            for r in range(ROUNDS):
                for name, port in ports.items():
                    parts.setdefault(name, []).append(
                        load.run_load(load.smtp_session, port, concurrency, True, tag=f"{name}{concurrency}-",
                                      first=r * SESSIONS, count=SESSIONS))
            for name, road_parts in parts.items():
                rates[name, concurrency] = load.summarize(road_parts)
    finally:
        for server in servers.values():
            server.close()
    return rates


def exim_medians(workdir):
    """Median ms from connect to the reply to RCPT TO: exim alone, and
    ostrel's 4xx in front of it, connection by connection in turn."""
    exim = exim_command(workdir)
    load.fresh_db(workdir, db="exim")
    direct = load.BenchTcpServer(workdir, exim, load.chain_env(workdir, db="exim"), concurrency=200)
    greylisting = load.BenchTcpServer(workdir, [OSTREL] + exim, load.chain_env(workdir, db="exim"), concurrency=200)
    times = {"direct": [], "ostrel": []}
    replies = {"direct": set(), "ostrel": set()}
    try:
        for n in range(EXIM_CONNECTIONS):
            local = f"127.{10 + n // 65000}.{(n // 250) % 250}.{n % 250 + 1}"
            for name, server in [("direct", direct), ("ostrel", greylisting)]:
                elapsed, code, _ = load.smtp_session(server.port, local, f"e{n}@example.org", "postmaster@example.net")
                times[name].append(elapsed * 1000)
                replies[name].add(code)
    finally:
        direct.close()
        greylisting.close()
    return {name: statistics.median(values) for name, values in times.items()}, replies


def ratio(value, anchor):
    return f"{value / anchor:6.2f}x"


def main():
    for path in [OSTREL, FLOOR, SMTPD]:
        assert os.path.exists(path), f"{path} is missing: run scripts/build.sh first"
    workdir = tempfile.mkdtemp(prefix="ostrel-floor-")
    os.chmod(workdir, 0o755)
    postgrey, policy_port = load.start_postgrey(workdir)
    try:
        postfix = PostfixSmtpd(workdir, policy_port, free_port())
        try:
            rates = sessions_per_second(workdir, postfix.port)
        finally:
            postfix.close()
    finally:
        postgrey.terminate()
        postgrey.wait()
    cpu = cpu_per_connection(workdir)
    exim, exim_replies = exim_medians(workdir)

    print(f"{ROUNDS} interleaved rounds of {SESSIONS} sessions per road and client count; "
          f"ostrel {OSTREL}")
    print(f"CPU per greylisted connection: ostrel {cpu['ostrel']:.3f} ms, floor {cpu['floor']:.3f} ms "
          f"({ratio(cpu['ostrel'], cpu['floor'])} the floor; {ratio(cpu['ostrel'], CPU_TARGET_MS)} "
          f"the target of {CPU_TARGET_MS} ms)")
    for concurrency in [1, 32]:
        row = {name: rates[name, concurrency] for name in ["ostrel", "floor", "postfix"]}
        replies = " ".join(f"{name} {','.join(r['replies'])}" for name, r in row.items())
        print(f"sessions/s at {concurrency:>2} client(s): ostrel {row['ostrel']['cps']:7.1f}, "
              f"floor {row['floor']['cps']:7.1f}, Postfix+postgrey {row['postfix']['cps']:7.1f}; "
              f"ostrel/floor {ratio(row['ostrel']['cps'], row['floor']['cps'])} (target >= 0.9), "
              f"ostrel/Postfix {ratio(row['ostrel']['cps'], row['postfix']['cps'])}, "
              f"floor/Postfix {ratio(row['floor']['cps'], row['postfix']['cps'])}  [replies {replies}]")
    print(f"in front of exim, median of {EXIM_CONNECTIONS} connections each: connect->4xx {exim['ostrel']:.2f} ms, "
          f"exim alone connect->RCPT reply {exim['direct']:.2f} ms, {ratio(exim['ostrel'], exim['direct'])} "
          f"(target <= 1.3)  [replies {','.join(sorted(exim_replies['ostrel']))} / "
          f"{','.join(sorted(exim_replies['direct']))}]")
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
