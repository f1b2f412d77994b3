#!/usr/bin/python3
"""The greylist store's engines side by side, in one run: connections per
second and the mean time per connection (connect to the reply to RCPT TO, a
new triple each time: verified lookup, pending lookup, insert) at 1 and 32
concurrent clients, for

  sqlite      DBFILE an SQLite file in a temporary directory
  pg-direct   a throwaway PostgreSQL cluster over its Unix socket
  pg-bouncer  the same through a local pgbouncer (transaction pooling)

each as tcpserver -> ostrel -> a minimal scripted server on 127.0.0.1; and
the start-up time of ostrel on the SQLite road (a verified client: open,
lookup, refresh, exec) with and without PostgreSQL support built in.

Usage: bench/store_engines.py [CONNECTIONS_PER_RUN [STARTS]]
(run from the top directory, as root; builds build-nopg/ when it is missing)"""

import concurrent.futures
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
from pgcluster import PgCluster  # noqa: E402
from realparts import TcpServer  # noqa: E402
from load import smtp_session  # noqa: E402

BIN = os.path.join(TOP, "build", "bin")
NOPG_BIN = os.path.join(TOP, "build-nopg", "bin")
CONNECTIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 320
STARTS = int(sys.argv[2]) if len(sys.argv) > 2 else 400
SCRIPT = ("greet 220 bench.example ESMTP\\r\\n\nreply 250 bench.example\\r\\n\nreply 250 OK\\r\\n\n"
          "reply 250 Accepted\\r\\n\nsilent\n")


def session(port, sender):
    """Time to the reply to RCPT TO of one fresh triple, and the reply's code."""
    return smtp_session(port, "127.0.0.1", sender, "r@example.net")[:2]


def run_load(port, concurrency, tag):
    counter = iter(range(CONNECTIONS))

    def client(_):
        return [session(port, f"{tag}{n}@example.org") for n in counter]

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(concurrency) as pool:
        results = [r for batch in pool.map(client, range(concurrency)) for r in batch]
    wall = time.perf_counter() - start
    return {"cps": len(results) / wall, "mean": statistics.mean(t for t, _ in results) * 1000,
            "median": statistics.median(t for t, _ in results) * 1000,
            "replies": sorted(set(code for _, code in results))}


def measure(workdir, dbfile, concurrency, tag):
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(SCRIPT)
    env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": dbfile, "LOGTHRESHOLD": "3"}
    server = TcpServer(workdir, [os.path.join(BIN, "ostrel"), os.path.join(BIN, "scripted_smtpd"), script], env,
                       concurrency=200)
    try:
        result = run_load(server.port, concurrency, tag)
        server.wait_for_ends(CONNECTIONS)
        result["status100"] = server.statuses().count(100)
    finally:
        server.close()
    return result


def startup_times(bin_dir, db, starts):
    """One ostrel start on the SQLite road for a verified client, up to the
    exec of /bin/true: the median wall time of many, and the CPU time (user
    and system, ostrel and /bin/true) per start, which a loaded machine
    disturbs less."""
    env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": db, "TCPREMOTEIP": "192.0.2.1", "LOGTHRESHOLD": "3"}
    argv = [os.path.join(bin_dir, "ostrel"), "/bin/true"]
    times = []
    before = os.times()
    for _ in range(starts):
        start = time.perf_counter()
        subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    after = os.times()
    cpu = (after.children_user + after.children_system - before.children_user - before.children_system) / starts
    return statistics.median(times) * 1000, cpu * 1000


def needed_libraries(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def main():
    if not os.path.exists(os.path.join(NOPG_BIN, "ostrel")):
        subprocess.run([os.path.join(TOP, "scripts", "build.sh"), "build-nopg", "-DOSTREL_POSTGRESQL=OFF",
                        "-DOSTREL_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-")
    os.chmod(workdir, 0o755)
    cluster = PgCluster(with_bouncer=True).start()
    try:
        sqlite_db = os.path.join(workdir, "g.db")
        subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", sqlite_db], check=True, capture_output=True)
        dbname = cluster.new_database()
        engines = {"sqlite": sqlite_db, "pg-direct": cluster.uri(dbname), "pg-bouncer": cluster.uri(dbname, True)}
        print(f"{CONNECTIONS} connections per run, every triple new; load average "
              f"{os.getloadavg()[0]:.1f} at the start")
        print(f"{'engine':<12}{'clients':>8}{'conn/s':>9}{'ms/conn':>9}{'median':>8}  replies   status 100")
        figures = {}
        for concurrency in (1, 32):
            for name, dbfile in engines.items():
                r = measure(workdir, dbfile, concurrency, f"{name}-{concurrency}-")
                figures[(name, concurrency)] = r
                print(f"{name:<12}{concurrency:>8}{r['cps']:>9.1f}{r['mean']:>9.2f}{r['median']:>8.2f}  "
                      f"{','.join(r['replies']):<9} {r['status100']}")
        base = figures[("sqlite", 1)]["mean"]
        for name in ("pg-direct", "pg-bouncer"):
            print(f"{name}: {figures[(name, 1)]['mean'] / base:.2f}x SQLite's time per connection at 1 client")

        with sqlite3.connect(sqlite_db) as conn:
            conn.execute("INSERT INTO verified VALUES ('192.0.2.1', DATETIME('now'))")
        print(f"\nostrel start-up on the SQLite road (verified client, to the exec of /bin/true), {STARTS} starts:")
        for label, bin_dir in (("with PostgreSQL support", BIN), ("without (build-nopg)", NOPG_BIN)):
            startup_times(bin_dir, sqlite_db, 20)  # warm the caches
        rounds = {BIN: [], NOPG_BIN: []}
        for _ in range(4):  # interleaved, so that a change of load hits both
            for bin_dir in rounds:
                rounds[bin_dir].append(startup_times(bin_dir, sqlite_db, STARTS // 4))
        for label, bin_dir in (("with PostgreSQL support", BIN), ("without (build-nopg)", NOPG_BIN)):
            medians = [m for m, _ in rounds[bin_dir]]
            cpu = [c for _, c in rounds[bin_dir]]
            size = os.path.getsize(os.path.join(bin_dir, "ostrel"))
            print(f"  {label:<24} wall median {statistics.median(medians):.3f} ms (rounds: "
                  f"{', '.join(f'{m:.3f}' for m in medians)}); CPU {statistics.median(cpu):.3f} ms per start "
                  f"(rounds: {', '.join(f'{c:.3f}' for c in cpu)})")
            print(f"  {'':<24} binary {size} bytes, NEEDED "
                  f"{' '.join(needed_libraries(os.path.join(bin_dir, 'ostrel')))}")
    finally:
        cluster.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
