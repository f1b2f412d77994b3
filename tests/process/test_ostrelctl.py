"""ostrelctl init-db: the schema, idempotence and refusals."""

import os
import sqlite3
import subprocess

from harness import WorkdirCase, program


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
