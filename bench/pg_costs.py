#!/usr/bin/python3
"""What the PostgreSQL road costs per connection, directly over the server's
Unix socket and through a local pgbouncer (transaction pooling):

  connect     libpq's connection made and closed again, with one statement
              (psycopg2, the same libpq): what ostrel pays a second time
              now that it holds no connection during the dialogue
  lock        the decision's statements (lookup, insert) each in a
              transaction of its own, against one transaction holding an
              advisory lock on the triple from the lookup to the insert
  chain       greylisted connections, every triple new, through tcpserver ->
              ostrel -> a minimal scripted server, for the build given as
              BEFORE and for build/: milliseconds per connection (from the
              first connect to the end of the last ostrel process, divided by
              their number) with 1 client and with 8

Usage: bench/pg_costs.py BEFORE_BIN_DIR [CONNECTIONS]
(run from the top directory, as root; BEFORE_BIN_DIR is the bin/ directory
of a build of the commit to compare with)"""

import concurrent.futures
import os
import shutil
import statistics
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
ARGS, sys.argv[1:] = sys.argv[1:], []  # load.py reads the command line of its own
import psycopg2  # noqa: E402
from pgcluster import ROLE, PgCluster  # noqa: E402
from realparts import TcpServer  # noqa: E402
from load import smtp_session  # noqa: E402

BIN = os.path.join(TOP, "build", "bin")
BEFORE = ARGS[0] if ARGS and __name__ == "__main__" else None
CONNECTIONS = int(ARGS[1]) if len(ARGS) > 1 and __name__ == "__main__" else 400
SCRIPT = ("greet 220 bench.example ESMTP\\r\\n\nreply 250 bench.example\\r\\n\nreply 250 OK\\r\\n\n"
          "reply 250 Accepted\\r\\n\nsilent\n")
LOOKUP = ("SELECT strftime('%s','now') - strftime('%s',tsfirstdelivery), attempts FROM pending "
          "WHERE ip='192.0.2.1' AND envsender='{0}' AND envrecipient='r@example.net'")
INSERT = ("INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts) "
          "VALUES ('192.0.2.1','{0}','r@example.net',DATETIME('NOW'),DATETIME('NOW'),1)")


def dsn(cluster, via_bouncer, dbname):
    return dict(host=cluster.bouncer_dir if via_bouncer else cluster.socket_dir, port=6432 if via_bouncer else 5432,
                dbname=dbname, user=ROLE)


def mean_ms(action, n):
    start = time.perf_counter()
    for i in range(n):
        action(i)
    return (time.perf_counter() - start) / n * 1000


def connect_once(params):
    conn = psycopg2.connect(**params)
    conn.cursor().execute("SELECT 1")
    conn.close()


def decision_statements(conn, tag, held):
    """The statements as ostrel sends them, one round trip per line."""
    cur = conn.cursor()
    if held:
        cur.execute("BEGIN ISOLATION LEVEL READ COMMITTED;SELECT pg_advisory_xact_lock(hashtext(%s));" +
                    LOOKUP.format(tag).replace("%", "%%"), (tag,))
        cur.execute(INSERT.format(tag))
        cur.execute("COMMIT")
    else:
        cur.execute("BEGIN ISOLATION LEVEL REPEATABLE READ;" + LOOKUP.format(tag).replace("%", "%%") + ";COMMIT")
        cur.execute("BEGIN ISOLATION LEVEL REPEATABLE READ;" + INSERT.format(tag) + ";COMMIT")


def chain_ms(workdir, bin_dir, dbfile, concurrency, tag):
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(SCRIPT)
    env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": dbfile, "LOGTHRESHOLD": "3"}
    server = TcpServer(workdir, [os.path.join(bin_dir, "ostrel"), os.path.join(bin_dir, "scripted_smtpd"), script],
                       env, concurrency=200)
    try:
        counter = iter(range(CONNECTIONS))

        def client(_):
            return [smtp_session(server.port, "127.0.0.1", f"{tag}{n}@example.org", "r@example.net")[1]
                    for n in counter]

        start = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(concurrency) as pool:
            codes = [c for batch in pool.map(client, range(concurrency)) for c in batch]
        server.wait_for_ends(CONNECTIONS)
        elapsed = time.perf_counter() - start
        assert set(codes) <= {"451", "452"}, set(codes)
        assert server.statuses().count(0) == CONNECTIONS, server.statuses()
    finally:
        server.close()
    return elapsed / CONNECTIONS * 1000


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-")
    os.chmod(workdir, 0o755)
    cluster = PgCluster(with_bouncer=True).start()
    try:
        dbname = cluster.new_database()
        roads = {"direct": False, "pgbouncer": True}
        print(f"load average {os.getloadavg()[0]:.1f} at the start")
        print("connect: libpq connection made, one statement, closed; mean of 500")
        for road, via in roads.items():
            params = dsn(cluster, via, dbname)
            mean_ms(lambda _: connect_once(params), 50)
            print(f"  {road:<10} {mean_ms(lambda _: connect_once(params), 500):6.3f} ms")
        print("lock: the decision's lookup and insert of a new triple; mean of 1000")
        for road, via in roads.items():
            conn = psycopg2.connect(**dsn(cluster, via, dbname))
            conn.autocommit = True
            figures = {}
            for held in (False, True, False, True):  # interleaved
                label = "one transaction, locked" if held else "a transaction each"
                figures.setdefault(label, []).append(
                    mean_ms(lambda i: decision_statements(conn, f"{road}{held}{len(figures)}{i}", held), 500))
            conn.close()
            print("  " + road.ljust(10) + "; ".join(f"{label} {statistics.mean(v):.3f} ms"
                                                  for label, v in figures.items()))
        builds = {"before": BEFORE, "now": BIN} if BEFORE else {"now": BIN}
        print(f"chain: {CONNECTIONS} greylisted connections, every triple new; ms per connection")
        for concurrency in (1, 8):
            for road, via in roads.items():
                results = {name: [] for name in builds}
                for rounds in range(2):
                    for name, bin_dir in builds.items():
                        results[name].append(chain_ms(workdir, bin_dir, cluster.uri(dbname, via), concurrency,
                                                      f"{name}{road}{concurrency}r{rounds}-"))
                print(f"  {concurrency} client{'s' if concurrency > 1 else ' '} {road:<10} " +
                      "; ".join(f"{name} {statistics.mean(v):.3f} ({', '.join(f'{x:.3f}' for x in v)})"
                                for name, v in results.items()))
    finally:
        cluster.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
