#!/usr/bin/python3
"""The cleanups on a large table, on each engine: an SQLite file and a
throwaway PostgreSQL cluster (over its Unix socket). For each engine:

  1. init-db, then ROWS pending rows (60 % older than the 18 hours, the rest
     younger) and 200,000 verified rows (half older than 480 hours);
  2. a decision's cost: greylisted connections through tcpserver -> ostrel ->
     a minimal scripted server (every triple new, 1 client), ms per
     connection, on the empty database and on the full one (PostgreSQL's
     table analysed, as autovacuum would have it); and, less disturbed by
     other load on the machine, the decision's own lookup and insert of a
     new triple timed alone (mean of 200);
  3. one batch of the pending cleanup as a decision runs it, timed alone;
  4. ostrelctl cleanup, timed, with what it reports; then the rows left,
     which must be exactly the young ones.
With BEFORE_BIN_DIR, the ostrelctl of that build first runs its cleanup on
the full PostgreSQL table (its one statement meets the statement time-out).

Usage: bench/cleanup_at_scale.py [ROWS [BEFORE_BIN_DIR]]   (default 5,000,000;
run from the top directory, as root)"""

import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
ARGS = sys.argv[1:]
import psycopg2  # noqa: E402
from pgcluster import PgCluster  # noqa: E402
import pg_costs  # noqa: E402
from pg_costs import chain_ms  # noqa: E402

BIN = os.path.join(TOP, "build", "bin")
ROWS = int(ARGS[0]) if ARGS else 5_000_000
BEFORE = ARGS[1] if len(ARGS) > 1 else None
pg_costs.CONNECTIONS = 200
VERIFIED = 200_000
STALE_SHARE = 0.6


def fill(execute):
    """The same statements on both engines; ages spread over 36 hours
    (pending) and 40 days (verified), the rows in the order of their ages."""
    stale = int(ROWS * STALE_SHARE)
    execute(f"WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < {ROWS - 1}) "
            "INSERT INTO pending SELECT '10.' || (i / 65536) || '.' || (i / 256 % 256) || '.' || (i % 256), "
            "'s' || i || '@example.org', 'r@example.net', "
            f"DATETIME('now', '-' || (CASE WHEN i < {stale} THEN 18 * 3600 + 60 + i % (18 * 3600) "
            "ELSE i % (18 * 3600 - 60) END) || ' seconds'), DATETIME('now'), 1 + i % 3 FROM n")
    execute(f"WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < {VERIFIED - 1}) "
            "INSERT INTO verified SELECT '172.' || (i / 65536) || '.' || (i / 256 % 256) || '.' || (i % 256), "
            f"DATETIME('now', '-' || (CASE WHEN i < {VERIFIED // 2} THEN 480 * 3600 + 60 + i "
            "ELSE i % (480 * 3600 - 60) END) || ' seconds') FROM n")
    return stale


def timed(action):
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def statements_ms(execute, tag):
    """The decision's lookup and insert of a new triple, mean of 200."""
    def one(i):
        sender = f"{tag}{i}@example.org"
        execute("SELECT strftime('%s','now') - strftime('%s',tsfirstdelivery), attempts FROM pending WHERE "
                f"ip='192.0.2.1' AND envsender='{sender}' AND envrecipient='r@example.net'")
        execute("INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts) "
                f"VALUES ('192.0.2.1','{sender}','r@example.net',DATETIME('NOW'),DATETIME('NOW'),1)")
    _, seconds = timed(lambda: [one(i) for i in range(200)])
    return seconds / 200 * 1000


def run_engine(name, dbfile, execute, count, workdir, before_cleanup=None, after_fill=None):
    print(f"== {name}")
    empty = chain_ms(workdir, BIN, dbfile, 1, f"{name}-empty-")
    empty_statements = statements_ms(execute, "empty")
    stale, seconds = timed(lambda: fill(execute))
    print(f"filled {ROWS} pending rows ({stale} stale) and {VERIFIED} verified rows in {seconds:.0f} s")
    if after_fill:
        after_fill()
    full = chain_ms(workdir, BIN, dbfile, 1, f"{name}-full-")
    full_statements = statements_ms(execute, "full")
    print(f"a decision: {empty:.2f} ms per connection on the empty database, {full:.2f} ms with "
          f"{count('pending')} pending rows; its lookup and insert alone {empty_statements:.3f} ms and "
          f"{full_statements:.3f} ms")
    if before_cleanup:
        before_cleanup(dbfile)
    batch = ("DELETE FROM pending WHERE {0} IN (SELECT {0} FROM pending WHERE tsfirstdelivery < "
             "DATETIME('now','-18 hours') LIMIT 1000)").format("ctid" if name == "postgresql" else "rowid")
    _, seconds = timed(lambda: execute(batch))
    print(f"one batch as a decision runs it: {seconds * 1000:.1f} ms")
    result, seconds = timed(lambda: subprocess.run([os.path.join(BIN, "ostrelctl"), "cleanup", "--db", dbfile],
                                                   capture_output=True, text=True))
    print(f"ostrelctl cleanup: status {result.returncode} in {seconds:.1f} s: {result.stdout.strip()} "
          f"{result.stderr.strip()} (+1000 by the batch above)")
    left_pending, left_verified = count("pending"), count("verified")
    print(f"left: {left_pending} pending (young: {ROWS - stale}), {left_verified} verified (young: {VERIFIED // 2})")
    after = chain_ms(workdir, BIN, dbfile, 1, f"{name}-after-")
    print(f"a decision after the cleanup: {after:.2f} ms per connection")


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-")
    os.chmod(workdir, 0o755)
    try:
        db = os.path.join(workdir, "g.db")
        subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", db], check=True, capture_output=True)

        conn = sqlite3.connect(db, timeout=60, isolation_level=None)  # autocommit, as ostrel runs

        def sqlite_execute(sql):
            conn.execute(sql).fetchall()

        def sqlite_count(table):
            with sqlite3.connect(db) as conn:
                return conn.execute(f"SELECT count(*) FROM {table}").fetchone()[0]

        run_engine("sqlite", db, sqlite_execute, sqlite_count, workdir)
        conn.close()
        os.unlink(db)

        cluster = PgCluster().start()
        try:
            dbname = cluster.new_database()

            session = psycopg2.connect(host=cluster.socket_dir, dbname=dbname, user="postgres")
            session.autocommit = True
            session.cursor().execute("SET statement_timeout = 0")

            def pg_execute(sql):
                cur = session.cursor()
                cur.execute(sql)
                if cur.description:
                    cur.fetchall()

            def pg_count(table):
                with cluster.connect(dbname) as conn:
                    cur = conn.cursor()
                    cur.execute("SET statement_timeout = 0")
                    cur.execute(f"SELECT count(*) FROM {table}")
                    return cur.fetchone()[0]

            def old_cleanup(uri):
                if BEFORE:
                    result, seconds = timed(lambda: subprocess.run([os.path.join(BEFORE, "ostrelctl"), "cleanup",
                                                                    "--db", uri], capture_output=True, text=True))
                    print(f"before: ostrelctl cleanup: status {result.returncode} in {seconds:.1f} s: "
                          f"{(result.stdout + result.stderr).strip()}; {pg_count('pending')} pending rows left")

            run_engine("postgresql", cluster.uri(dbname), pg_execute, pg_count, workdir, old_cleanup,
                       lambda: pg_execute("VACUUM ANALYZE pending"))
        finally:
            cluster.stop()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
