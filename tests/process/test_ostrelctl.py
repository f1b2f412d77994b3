"""ostrelctl: init-db, the admin commands, their refusals, and the cleanup ages."""

import os
import sqlite3
import subprocess

from harness import FAKETIME_LIB, WorkdirCase, program, sanitizer_env


class InitDb(WorkdirCase):
    def init(self, *args):
        return subprocess.run([program("ostrelctl"), "init-db", *args], capture_output=True, text=True)

    def test_creates_tables_indexes_and_wal_and_is_idempotent(self):
        path = self.path("g.db")
        first = self.init(path)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertIn("initialised", first.stdout)
        with sqlite3.connect(path) as conn:
            conn.execute("INSERT INTO pending VALUES ('192.0.2.1', 'a@b.c', 'd@e.f', DATETIME('now'),"
                         " DATETIME('now'), 1)")
            conn.execute("INSERT INTO pending VALUES ('192.0.2.1', 'a@b.c', 'd@e.f', DATETIME('now'),"
                         " DATETIME('now'), 1)")  # duplicates are allowed
            names = sorted(row[0] for row in conn.execute("SELECT name FROM sqlite_master"))
            mode = conn.execute("PRAGMA journal_mode").fetchone()[0]
        self.assertEqual(names, ["pending", "pending_by_triple", "verified", "verified_by_ip"])
        self.assertEqual(mode, "wal")
        again = self.init(path)
        self.assertEqual(again.returncode, 0)
        self.assertEqual(again.stdout, f"Database '{path}' is already initialised; nothing changed.\n")
        with sqlite3.connect(path) as conn:
            self.assertEqual(conn.execute("SELECT COUNT(*) FROM pending").fetchone()[0], 2)

    def test_completes_an_empty_file_that_ostrel_created(self):
        path = self.path("empty.db")
        sqlite3.connect(path).close()
        result = self.init(path)
        self.assertEqual(result.returncode, 0)
        self.assertIn("initialised", result.stdout)

    def test_schema_file_gives_the_same_tables(self):
        schema = os.path.join(os.path.dirname(__file__), "..", "..", "sql", "schema.sql")
        path = self.path("by-hand.db")
        with open(schema) as f:
            subprocess.run(["sqlite3", path], stdin=f, check=True, capture_output=True)
        self.assertIn("already initialised", self.init(path).stdout)

    def test_refuses_a_path_it_cannot_create(self):
        result = self.init(self.path("no/such/dir/g.db"))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, f"ostrelctl: cannot create database '{self.path('no/such/dir/g.db')}': "
                                        "unable to open database file\n")

    def test_usage(self):
        self.assertEqual(self.init().returncode, 2)
        self.assertEqual(self.init("--help").returncode, 0)
        self.assertEqual(subprocess.run([program("ostrelctl"), "bogus"], capture_output=True).returncode, 2)


class Admin(WorkdirCase):
    def setUp(self):
        super().setUp()
        self.db = self.path("g.db")
        subprocess.run([program("ostrelctl"), "init-db", self.db], check=True, capture_output=True)
        with sqlite3.connect(self.db) as conn:
            conn.executescript("""
                INSERT INTO pending VALUES ('192.0.2.1', 'a@example.org', 'b@example.net',
                    '2026-01-01 10:00:00', '2026-01-01 10:05:00', 2);
                INSERT INTO pending VALUES ('192.0.2.1', '', 'c@example.net', DATETIME('now'), DATETIME('now'), 1);
                INSERT INTO pending VALUES ('192.0.2.2', 'a@example.org', 'b@example.net',
                    DATETIME('now', '-17 hours'), DATETIME('now'), 1);
                INSERT INTO verified VALUES ('198.51.100.7', '2025-01-01 00:00:00');
                INSERT INTO verified VALUES ('2001:db8::25', DATETIME('now'));
            """)

    def ctl(self, *args, env=None):
        return subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                              env=env if env is not None else {"DBFILE": self.db})

    def rows(self, sql):
        with sqlite3.connect(self.db) as conn:
            return conn.execute(sql).fetchall()

    def test_list(self):
        result = self.ctl("list", "pending", "--ip", "192.0.2.1", "--tsv")
        self.assertEqual(result.stdout.splitlines()[0],
                         "192.0.2.1\ta@example.org\tb@example.net\t2026-01-01 10:00:00\t2026-01-01 10:05:00\t2")
        self.assertEqual(len(result.stdout.splitlines()), 2)
        table = self.ctl("list", "verified", "--db", self.db, env={}).stdout.splitlines()
        self.assertEqual(table[0].split(), ["ip", "last", "seen"])
        self.assertTrue(table[1].startswith("198.51.100.7  2025-01-01 00:00:00"))
        self.assertEqual(table[0].index("last"), table[1].index("2025"))  # aligned columns

    def test_allow_and_forget(self):
        result = self.ctl("allow", "192.0.2.1")
        self.assertEqual(result.stdout, "192.0.2.1 is now a verified server; 2 pending rows removed\n")
        self.assertEqual(self.rows("SELECT COUNT(*) FROM verified WHERE ip = '192.0.2.1'"), [(1,)])
        self.assertEqual(self.rows("SELECT COUNT(*) FROM pending WHERE ip = '192.0.2.1'"), [(0,)])
        self.assertIn("still", self.ctl("allow", "192.0.2.1").stdout)
        result = self.ctl("forget", "192.0.2.1")
        self.assertEqual(result.stdout, "192.0.2.1 forgotten: 1 verified row and 0 pending rows removed\n")
        self.assertIn("0 verified rows and 1 pending row removed", self.ctl("forget", "192.0.2.2").stdout)

    def test_stats_and_cleanup(self):
        stats = self.ctl("stats").stdout
        self.assertIn("verified: 2 rows, oldest 2025-01-01 00:00:00", stats)
        self.assertIn("the next cleanup deletes 1 (not seen for 480 hours)", stats)
        self.assertIn("pending:  3 rows", stats)
        self.assertIn("the next cleanup deletes 1 (first seen over 18 hours ago)", stats)
        self.assertIn("pending by attempts: 1: 2 2: 1\n", stats)
        self.assertEqual(self.ctl("cleanup").stdout, "cleanup: 1 pending and 1 verified rows deleted\n")
        self.assertEqual(self.rows("SELECT COUNT(*) FROM pending"), [(2,)])

    def test_refusals_change_nothing(self):
        before = self.rows("SELECT * FROM pending") + self.rows("SELECT * FROM verified")
        for args, status, message in [
                (["allow", "1.2.3.4' OR '1'='1"], 2, "ostrelctl: '1.2.3.4' OR '1'='1' is not an IPv4 or IPv6 address\n"),
                (["forget", "example.org"], 2, "ostrelctl: 'example.org' is not an IPv4 or IPv6 address\n"),
                (["list", "pending", "--ip", "1.2.3"], 2, None),
                (["list", "other"], 2, None),
                (["allow"], 2, None),
                (["stats", "--db", self.path("missing.db")], 1,
                 f"ostrelctl: cannot open database '{self.path('missing.db')}': unable to open database file\n")]:
            with self.subTest(args=args):
                result = self.ctl(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                if message:
                    self.assertEqual(result.stderr, message)
        self.assertFalse(os.path.exists(self.path("missing.db")))
        bare = self.path("bare.db")
        sqlite3.connect(bare).close()
        result = self.ctl("allow", "192.0.2.9", "--db", bare)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"ostrelctl: database '{bare}' has no table 'verified' (create it with: ostrelctl "
                             f"init-db {bare})\n"))
        self.assertEqual(self.rows("SELECT * FROM pending") + self.rows("SELECT * FROM verified"), before)

    def test_every_command_has_help(self):
        for command in ["init-db", "check-rules", "list", "allow", "forget", "stats", "cleanup"]:
            result = self.ctl(command, "--help")
            self.assertEqual(result.returncode, 0, command)
            self.assertTrue(result.stdout.startswith("usage: ostrelctl " + command), command)

    def test_writes_wait_for_a_lock_held_by_another_process(self):
        holder = sqlite3.connect(self.db, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        proc = subprocess.Popen([program("ostrelctl"), "allow", "203.0.113.5"],
                                env={"DBFILE": self.db, "LOGTHRESHOLD": "7"},
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # once the tool waits in the busy handler, release the lock: it goes on
        self.assertEqual(proc.stderr.readline(), "ostrelctl: Ouch! Database locked (0th time).\n")
        holder.execute("COMMIT")
        holder.close()
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertIn("now a verified server", proc.stdout.read())
        proc.stdout.close()
        proc.stderr.close()


class CleanupAges(WorkdirCase):
    """ostrel's cleanups (run here through ostrelctl) at the exact ages, with
    the clock fixed by libfaketime."""

    def test_rows_exactly_at_the_age_survive_one_second_older_go(self):
        db = self.path("g.db")
        subprocess.run([program("ostrelctl"), "init-db", db], check=True, capture_output=True)
        with sqlite3.connect(db) as conn:
            conn.executescript("""
                INSERT INTO pending VALUES ('192.0.2.1', 'a@example.org', 'b@example.net',
                    '2026-12-08 18:00:00', '2026-12-08 18:00:00', 1);
                INSERT INTO pending VALUES ('192.0.2.2', 'a@example.org', 'b@example.net',
                    '2026-12-08 17:59:59', '2026-12-08 17:59:59', 1);
                INSERT INTO verified VALUES ('192.0.2.3', '2026-11-19 12:00:00');
                INSERT INTO verified VALUES ('192.0.2.4', '2026-11-19 11:59:59');
            """)
        env = {"DBFILE": db, "LD_PRELOAD": FAKETIME_LIB, "FAKETIME": "@2026-12-09 12:00:00", "TZ": "UTC",
               **sanitizer_env()}
        result = subprocess.run([program("ostrelctl"), "cleanup"], capture_output=True, text=True, env=env)
        self.assertEqual(result.stdout, "cleanup: 1 pending and 1 verified rows deleted\n")
        with sqlite3.connect(db) as conn:
            self.assertEqual(conn.execute("SELECT ip FROM pending").fetchall(), [("192.0.2.1",)])
            self.assertEqual(conn.execute("SELECT ip FROM verified").fetchall(), [("192.0.2.3",)])
