"""ostrelctl: init-db, the admin commands, their refusals, and the cleanup ages."""

import concurrent.futures
import os
import sqlite3
import subprocess

from harness import (EHLO_REPLY, FAKETIME_LIB, GREETING, OK, OstrelCase, WorkdirCase, preloads, program,
                     rollback_database, sanitizer_env, wait_until)

WAL_LIMIT = 4 * 1024 * 1024
# A log that one connection at a time writes to: 256 frames of 4 KiB pages,
# and the frames of the commit that reaches them.
QUIET_WAL_LIMIT = 32 + (256 + 8) * (4096 + 24)


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
        self.assertEqual(names, ["pending", "pending_by_age", "pending_by_triple", "verified", "verified_by_age",
                                 "verified_by_ip", "verified_permanent_kept"])
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


# The rows of the admin commands' cases, on SQLite and on PostgreSQL.
ADMIN_ROWS = """
    INSERT INTO pending VALUES ('192.0.2.1', 'a@example.org', 'b@example.net',
        '2026-01-01 10:00:00', '2026-01-01 10:05:00', 2);
    INSERT INTO pending VALUES ('192.0.2.1', '', 'c@example.net', DATETIME('now'), DATETIME('now'), 1);
    INSERT INTO pending VALUES ('192.0.2.2', 'a@example.org', 'b@example.net',
        DATETIME('now', '-17 hours'), DATETIME('now'), 1);
    INSERT INTO verified VALUES ('198.51.100.7', '2025-01-01 00:00:00');
    INSERT INTO verified VALUES ('2001:db8::25', DATETIME('now'));
"""


class SeededDatabase(WorkdirCase):
    """A database made by init-db at self.db holding the rows of ROWS (SQL)."""

    ROWS = ""

    def setUp(self):
        super().setUp()
        self.db = self.path("g.db")
        subprocess.run([program("ostrelctl"), "init-db", self.db], check=True, capture_output=True)
        with sqlite3.connect(self.db) as conn:
            conn.executescript(self.ROWS)

    def rows(self, sql):
        with sqlite3.connect(self.db) as conn:
            return conn.execute(sql).fetchall()


class Admin(SeededDatabase):
    ROWS = ADMIN_ROWS

    def ctl(self, *args, env=None):
        return subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                              env=env if env is not None else {"DBFILE": self.db})

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


class HeldLock(WorkdirCase):
    """A database in rollback-journal mode, where readers wait for a writer too."""

    @preloads
    def test_a_lock_that_outlasts_the_busy_handler_is_waited_for_once(self):
        db = rollback_database(self.path("rollback.db"))
        holder = sqlite3.connect(db, isolation_level=None)
        self.addCleanup(holder.close)
        holder.execute("BEGIN EXCLUSIVE")
        env = {"DBFILE": db, "LOGTHRESHOLD": "7", "LD_PRELOAD": FAKETIME_LIB, "FAKETIME": "+0 x20000",
               "FAKETIME_DONT_RESET": "1", **sanitizer_env()}
        result = subprocess.run([program("ostrelctl"), "stats"], capture_output=True, text=True, env=env, timeout=120)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.count("Ouch! Database locked (30th time)."), 1, result.stderr)
        self.assertTrue(result.stderr.endswith("ostrelctl: reading the schema failed: database is locked\n"),
                        result.stderr)


class ClientKeys(SeededDatabase):
    """Addresses and networks in the form ostrel keys its rows on."""

    ROWS = """
        INSERT INTO pending VALUES ('192.0.2.1', 'a@example.org', 'b@example.net', DATETIME('now'),
            DATETIME('now'), 2);
        INSERT INTO pending VALUES ('192.0.2.1', '', 'c@example.net', DATETIME('now'), DATETIME('now'), 1);
        INSERT INTO verified VALUES ('198.51.100.7', '2025-01-01 00:00:00');
        INSERT INTO verified VALUES ('2001:db8::25', DATETIME('now'));
    """

    def ctl(self, *args):
        return subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                              env={"DBFILE": self.db, **sanitizer_env()})

    def test_spellings_of_an_address_name_its_rows(self):
        self.assertEqual(self.ctl("allow", "2001:DB8:0::25").stdout,
                         "2001:db8::25 is still a verified server; 0 pending rows removed\n")
        self.assertEqual(self.ctl("list", "pending", "--ip", "::ffff:192.0.2.1", "--tsv").stdout.count("\n"), 2)
        self.assertEqual(self.ctl("forget", "::FFFF:c000:201").stdout,
                         "192.0.2.1 forgotten: 0 verified rows and 2 pending rows removed\n")
        self.assertEqual(self.ctl("allow", "0:0:0:0:0:0:0:1").stdout,
                         "::1 is now a verified server; 0 pending rows removed\n")
        self.assertEqual(self.rows("SELECT ip FROM verified ORDER BY rowid"),
                         [("198.51.100.7",), ("2001:db8::25",), ("::1",)])

    def test_networks(self):
        with sqlite3.connect(self.db) as conn:
            conn.execute("INSERT INTO pending VALUES ('192.0.2.0/24', 'a@example.org', 'b@example.net', "
                         "DATETIME('now'), DATETIME('now'), 1)")
        self.assertEqual(self.ctl("list", "pending", "--ip", "192.0.2.0/24", "--tsv").stdout.split("\t")[0],
                         "192.0.2.0/24")
        self.assertEqual(self.ctl("allow", "192.0.2.0/24").stdout,
                         "192.0.2.0/24 is now a verified server; 1 pending row removed\n")
        self.assertEqual(self.ctl("allow", "2001:DB8:1:2:0::/64").stdout,
                         "2001:db8:1:2::/64 is now a verified server; 0 pending rows removed\n")
        self.assertEqual(self.ctl("allow", "198.51.100.7/32").stdout,  # a network of one address is the address
                         "198.51.100.7 is still a verified server; 0 pending rows removed\n")
        table = self.ctl("list", "verified", "--ip", "2001:db8:1:2::/64").stdout.splitlines()
        self.assertEqual((len(table), table[1].split()[0]), (2, "2001:db8:1:2::/64"))
        self.assertIn("1 verified row and 0 pending rows removed", self.ctl("forget", "::ffff:192.0.2.0/24").stdout)
        self.assertEqual(self.rows("SELECT ip FROM verified ORDER BY rowid"),
                         [("198.51.100.7",), ("2001:db8::25",), ("2001:db8:1:2::/64",)])

    def test_networks_no_client_is_keyed_on_are_refused(self):
        before = self.rows("SELECT * FROM pending") + self.rows("SELECT * FROM verified")
        network = "is not a network ADDRESS/LEN (IPv4 /8 to /32, IPv6 /16 to /128)\n"
        for args, message in [
                (["allow", "192.0.2.77/24"], "'192.0.2.77/24' has host bits set; the network is 192.0.2.0/24\n"),
                (["forget", "2001:db8:1:2::1/64"],
                 "'2001:db8:1:2::1/64' has host bits set; the network is 2001:db8:1:2::/64\n"),
                (["allow", "10.0.0.0/7"], "'10.0.0.0/7' " + network),
                (["list", "verified", "--ip", "2001:db8::/129"], "'2001:db8::/129' " + network),
                (["allow", "192.0.2.0/24' OR '1'='1"], "'192.0.2.0/24' OR '1'='1' " + network),
                (["forget", "example.org/24"], "'example.org/24' " + network)]:
            with self.subTest(args=args):
                result = self.ctl(*args)
                self.assertEqual((result.returncode, result.stderr), (2, "ostrelctl: " + message))
        self.assertEqual(self.rows("SELECT * FROM pending") + self.rows("SELECT * FROM verified"), before)


class CleanupAges(WorkdirCase):
    """ostrel's cleanups (run here through ostrelctl) at the exact ages, with
    the clock fixed by libfaketime."""

    @preloads
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


class HonestErrors(WorkdirCase):
    """A failing statement anywhere in a command gives one line and status 1,
    never a silent or partial success."""

    def ctl(self, db, *args):
        return subprocess.run([program("ostrelctl"), *args, "--db", db], capture_output=True, text=True,
                              env=sanitizer_env())

    def test_damaged_page_is_reported_by_every_reader(self):
        db = self.path("damaged.db")
        subprocess.run([program("ostrelctl"), "init-db", db], check=True, capture_output=True)
        conn = sqlite3.connect(db)
        with conn:
            conn.executemany("INSERT INTO pending VALUES (?, 'a@example.org', 'b@example.net', DATETIME('now'),"
                             " DATETIME('now'), 1)", [(f"10.0.{i // 256}.{i % 256}",) for i in range(3000)])
        conn.execute("PRAGMA journal_mode=DELETE")  # every page in the file itself
        page_size = conn.execute("PRAGMA page_size").fetchone()[0]
        conn.close()
        with open(db, "r+b") as f:  # every page but the schema's: its header is garbage
            for page in range(2, os.path.getsize(db) // page_size):
                f.seek(page_size * page)
                f.write(b"\xff" * 16)
        for args in (["list", "pending"], ["list", "pending", "--tsv"], ["stats"]):
            with self.subTest(args=args):
                result = self.ctl(db, *args)
                self.assertEqual((result.returncode, result.stderr),
                                 (1, f"ostrelctl: {args[0]} failed: database disk image is malformed\n"))
        self.assertEqual(self.ctl(db, "stats").stdout, "")

    def test_missing_column_is_reported(self):
        db = self.path("old.db")
        with sqlite3.connect(db) as conn:
            conn.executescript("CREATE TABLE verified (ip TEXT, ts TEXT); CREATE TABLE pending (ip TEXT,"
                               " envsender TEXT, envrecipient TEXT, tsfirstdelivery TEXT, tslastdelivery TEXT);")
        for args in (["list", "pending"], ["stats"]):
            with self.subTest(args=args):
                result = self.ctl(db, *args)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, "", f"ostrelctl: {args[0]} failed: no such column: attempts\n"))

    def test_cleanup_failure_is_its_own_line(self):
        db = self.path("old.db")
        with sqlite3.connect(db) as conn:
            conn.executescript("CREATE TABLE verified (ip TEXT, ts TEXT); CREATE TABLE pending (ip TEXT,"
                               " envsender TEXT, envrecipient TEXT, tslastdelivery TEXT, attempts INTEGER);")
        result = self.ctl(db, "cleanup")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "ostrelctl: cleanup failed: no such column: tsfirstdelivery\n"))

    def test_list_streams_rows_with_widths_from_every_row(self):
        db = self.path("big.db")
        subprocess.run([program("ostrelctl"), "init-db", db], check=True, capture_output=True)
        sender = "s" * 300 + "@example.org"
        with sqlite3.connect(db) as conn:
            conn.executemany("INSERT INTO pending VALUES (?, ?, 'b@example.net', '2026-01-01 00:00:00',"
                             " '2026-01-01 00:00:00', 1)", [(f"10.{i // 65536}.{i // 256 % 256}.{i % 256}", sender)
                                                            for i in range(60000)])
            conn.execute("INSERT INTO pending VALUES ('2001:db8::1', 'longest-' || ?, 'b', '2027-01-01 00:00:00',"
                         " '2027-01-01 00:00:00', 12345)", (sender,))

        def listing(*extra):
            proc = subprocess.Popen([program("ostrelctl"), "list", "pending", "--db", db, *extra],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=sanitizer_env())
            out, err = proc.communicate()
            return proc.returncode, out.decode().splitlines(), err

        status, lines, err = listing()
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(len(lines), 60002)
        last = lines[-1]  # the widest values come last, yet every line is aligned to them
        self.assertEqual(last.split()[:2], ["2001:db8::1", "longest-" + sender])
        self.assertEqual(lines[0].index("sender"), last.index("longest-"))
        self.assertEqual(lines[0].index("recipient"), lines[1].index("b@example.net"))
        self.assertEqual(lines[1].index("b@example.net"), last.index("b  "))
        self.assertEqual(lines[0].index("attempts"), last.index("12345"))


class MemoryOfList(WorkdirCase):
    """list holds one row at a time: its peak memory does not grow with the
    table (60,000 rows of 330 bytes would take over 20 MB held)."""

    def peak_kib(self, db):
        env = sanitizer_env()
        if "ASAN_OPTIONS" in env:
            # AddressSanitizer keeps freed memory aside (256 MB) to catch its
            # use: the peak would count every row freed.
            env["ASAN_OPTIONS"] += ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"
        proc = subprocess.Popen([program("ostrelctl"), "list", "pending", "--db", db], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = 0
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        return usage.ru_maxrss

    def test_peak_memory_does_not_follow_the_rows(self):
        peaks = []
        for rows in (10, 60000):
            db = self.path(f"{rows}.db")
            subprocess.run([program("ostrelctl"), "init-db", db], check=True, capture_output=True)
            with sqlite3.connect(db) as conn:
                conn.executemany("INSERT INTO pending VALUES (?, ?, 'b@example.net', DATETIME('now'),"
                                 " DATETIME('now'), 1)", [(f"10.0.{i // 256 % 256}.{i % 256}", "s" * 300)
                                                          for i in range(rows)])
            peaks.append(self.peak_kib(db))
        self.assertLess(peaks[1] - peaks[0], 8 * 1024, peaks)


class GlobalDbOption(WorkdirCase):
    def test_db_before_the_command(self):
        db, other = self.path("g.db"), self.path("other.db")
        for path in (db, other):
            subprocess.run([program("ostrelctl"), "init-db", path], check=True, capture_output=True)
        ctl = [program("ostrelctl")]
        run = lambda *args: subprocess.run(ctl + list(args), capture_output=True, text=True, env={})  # noqa: E731
        self.assertEqual(run("--db", db, "allow", "192.0.2.5").returncode, 0)
        self.assertIn("192.0.2.5", run("--db", db, "list", "verified", "--tsv").stdout)
        self.assertIn("verified: 1 rows", run(f"--db={db}", "stats").stdout)
        # given on both sides, the one after the command wins
        self.assertIn("verified: 0 rows", run("--db", db, "stats", "--db", other).stdout)
        self.assertEqual(run("--db", db, "init-db", other).returncode, 2)
        self.assertEqual(run("--db").returncode, 2)
        self.assertEqual(run("--db", db).returncode, 2)


class GreylistedClients(OstrelCase):
    def greylisted(self, n):
        """A greylisted attempt through ostrel that ends with status 0."""
        proc = self.ostrel([GREETING, EHLO_REPLY, OK, OK, "silent"])
        proc.recv_line()
        proc.send(b"EHLO client.example\r\nMAIL FROM:<s@example.org>\r\n")
        proc.recv_until(b"250 OK\r\n")
        proc.send(f"RCPT TO:<r{n}@example.org>\r\n".encode())
        proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        proc.close()
        self.procs.remove(proc)


class WalSize(GreylistedClients):
    """The -wal file grows while a long reader holds back checkpoints, and is
    cut back to its limit by the writers through ostrel once it is gone."""

    def wal_size(self):
        return os.path.getsize(self.db + "-wal")

    def test_wal_is_cut_back_after_a_long_reader(self):
        reader = sqlite3.connect(self.db, isolation_level=None)
        reader.execute("BEGIN")
        reader.execute("SELECT COUNT(*) FROM pending").fetchall()
        # a large batch of writes, as a big cleanup or an import would make
        with sqlite3.connect(self.db) as writer:
            writer.executemany("INSERT INTO pending VALUES (?, ?, 'r@example.net', DATETIME('now'),"
                               " DATETIME('now'), 1)", [(f"10.0.{i // 256}.{i % 256}", "s" * 600)
                                                        for i in range(6000)])
        writer.close()
        for n in range(10):  # connections go on meanwhile, and the log keeps growing
            self.greylisted(n)
        grown = self.wal_size()
        self.assertGreater(grown, 2 * WAL_LIMIT)
        reader.execute("COMMIT")
        reader.close()
        # one connection's commit checkpoints the whole log, the next starts it over
        for n in range(10, 40):
            self.greylisted(n)
            if self.wal_size() <= WAL_LIMIT:
                break
        self.assertLessEqual(self.wal_size(), WAL_LIMIT, f"grown to {grown}")
        self.assertEqual(len(self.query("SELECT 1 FROM pending WHERE envrecipient LIKE 'r%@example.org'")), n + 1)

    def test_wal_stays_short_one_connection_at_a_time(self):
        # Each connection opens the database alone and writes about 10 KB to
        # the log: 150 of them would make 1.4 MB, were the log never started over.
        largest = 0
        for n in range(150):
            self.greylisted(n)
            largest = max(largest, self.wal_size())
        self.assertLessEqual(largest, QUIET_WAL_LIMIT)
        self.assertEqual(len(self.pending()), 150)


class Backup(SeededDatabase):
    def backup(self, dest, **extra):
        return subprocess.run([program("ostrelctl"), "backup", dest, "--db", self.db], capture_output=True,
                              text=True, env={**sanitizer_env(), **extra})

    def assert_sound_copy(self, path):
        copy = sqlite3.connect(path)
        self.assertEqual(copy.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        rows = copy.execute("SELECT COUNT(*) FROM pending").fetchone()[0]
        copy.close()
        return rows

    def test_backups_beside_live_writers_are_whole_and_atomic(self):
        stop = self.path("stop")
        writer = subprocess.Popen(["python3", "-c", f"""
import os, sqlite3
conn = sqlite3.connect({self.db!r}, timeout=30, isolation_level=None)
i = 0
while not os.path.exists({stop!r}):
    conn.execute("BEGIN IMMEDIATE")
    conn.execute("INSERT INTO pending VALUES (?, 's@example.org', 'r@example.org', DATETIME('now'),"
                 " DATETIME('now'), 1)", (f"10.0.{{i // 256 % 256}}.{{i % 256}}",))
    conn.execute("COMMIT")
    i += 1
    if i == 1:
        print("started", flush=True)
"""], stdout=subprocess.PIPE, text=True)
        self.addCleanup(writer.stdout.close)
        self.addCleanup(writer.wait)
        self.addCleanup(lambda: open(stop, "w").close())
        self.assertEqual(writer.stdout.readline(), "started\n")
        dest = self.path("copy.db")
        counts = []
        for _ in range(15):
            result = self.backup(dest)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertEqual(result.stdout, f"Database '{self.db}' copied to '{dest}'.\n")
            counts.append(self.assert_sound_copy(dest))
        open(stop, "w").close()
        self.assertEqual(writer.wait(timeout=30), 0)
        self.assertEqual(counts, sorted(counts))  # each copy a later snapshot
        self.assertGreater(counts[-1], 0)
        self.assertEqual([name for name in os.listdir(self.workdir) if name.startswith("copy")], ["copy.db"])

    def test_waits_for_a_lock_like_ostrel(self):
        holder = sqlite3.connect(self.db, isolation_level=None)
        holder.execute("PRAGMA locking_mode=EXCLUSIVE")
        holder.execute("BEGIN EXCLUSIVE")
        holder.execute("INSERT INTO verified VALUES ('192.0.2.1', DATETIME('now'))")
        proc = subprocess.Popen([program("ostrelctl"), "backup", self.path("copy.db"), "--db", self.db],
                                env={"LOGTHRESHOLD": "7", **sanitizer_env()}, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stderr.readline(), "ostrelctl: Ouch! Database locked (0th time).\n")
        holder.execute("COMMIT")
        holder.close()
        self.assertEqual(proc.wait(timeout=30), 0)
        proc.stdout.close()
        proc.stderr.close()
        copy = sqlite3.connect(self.path("copy.db"))
        self.assertEqual(copy.execute("SELECT ip FROM verified").fetchall(), [("192.0.2.1",)])
        copy.close()

    def test_refusals_leave_dest_alone(self):
        dest = self.write_file("copy.db", "old")
        for args, status, message in [
                (["backup", dest, "--db", self.path("missing.db")], 1,
                 f"ostrelctl: cannot open database '{self.path('missing.db')}': unable to open database file\n"),
                (["backup", self.db, "--db", self.db], 2, f"ostrelctl: backup: '{self.db}' is the database itself\n"),
                (["backup", self.path("no/such/dir/copy.db"), "--db", self.db], 1,
                 f"ostrelctl: backup: cannot create a file beside '{self.path('no/such/dir/copy.db')}': "
                 "No such file or directory\n"),
                (["backup"], 2, None)]:
            with self.subTest(args=args):
                result = subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                                        env=sanitizer_env())
                self.assertEqual(result.returncode, status, result.stderr)
                if message:
                    self.assertEqual(result.stderr, message)
        self.assertEqual(open(dest).read(), "old")
        self.assertEqual(sorted(os.listdir(self.workdir)), ["copy.db", "g.db", "g.db-shm", "g.db-wal"])
        result = subprocess.run([program("ostrelctl"), "backup", "--help"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith("usage: ostrelctl backup DEST"))
        self.assertEqual(self.backup(dest, DBFILE=self.path("missing.db")).returncode, 0)  # --db wins over DBFILE
        self.assertEqual(self.assert_sound_copy(dest), 0)


# Commits one numbered row after another (the number in `attempts`), leaving
# the lock to others for a moment between commits as ostrel's connections
# do, and notes each number once committed, until the stop file appears.
LIVE_WRITER = """
import os, sqlite3, sys, time
db, stop, notes = sys.argv[1:]
conn = sqlite3.connect(db, timeout=60, isolation_level=None)
with open(notes, "w", buffering=1) as out:
    i = 0
    while not os.path.exists(stop):
        conn.execute("INSERT INTO pending VALUES ('10.1.0.1', 'live@example.org', 'r@example.org', DATETIME('now'),"
                     " DATETIME('now'), ?)", (i,))
        out.write(f"{i}\\n")
        i += 1
        time.sleep(0.002)
"""


class BackupAndRestore(GreylistedClients):
    """backup and restore beside a writer that commits all the while: nothing
    lost that a restore does not replace, and no writer meets an error."""

    def setUp(self):
        super().setUp()
        self.stop = self.path("stop")
        self.writer = subprocess.Popen(["python3", "-c", LIVE_WRITER, self.db, self.stop, self.path("committed")])
        self.addCleanup(self.writer.wait)
        self.addCleanup(lambda: open(self.stop, "w").close())
        self.wait_for_commits(20)

    def ctl(self, *args, db=None, cwd=None):
        return subprocess.run([program("ostrelctl"), *args, "--db", db or self.db], capture_output=True, text=True,
                              env=sanitizer_env(), cwd=cwd)

    def committed(self):
        with open(self.path("committed")) if os.path.exists(self.path("committed")) else open(os.devnull) as f:
            return [int(line) for line in f.read().split("\n")[:-1]]

    def wait_for_commits(self, count):
        wait_until(lambda: len(self.committed()) >= count, f"{count} commits of the writer")

    def stop_writer(self):
        open(self.stop, "w").close()
        self.assertEqual(self.writer.wait(timeout=60), 0)  # it met no error
        return self.committed()

    def live_rows(self, db=None):
        with sqlite3.connect(db or self.db) as conn:
            self.assertEqual(conn.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
            return [n for n, in conn.execute("SELECT attempts FROM pending WHERE envsender = 'live@example.org'"
                                             " ORDER BY attempts")]

    def test_files_beside_the_database_are_refused_however_named(self):
        os.symlink(self.workdir, self.path("here"))
        os.link(self.db + "-wal", self.path("log-link"))
        for name, what in [("greylist.db-wal", "the database's write-ahead log"),
                           ("./greylist.db-shm", "the database's shared-memory index"),
                           ("here/greylist.db-journal", "the database's rollback journal"),
                           ("log-link", "the database's write-ahead log"),
                           (f"../{os.path.basename(self.workdir)}/here/greylist.db", "the database itself")]:
            for command in ("backup", "restore"):
                result = self.ctl(command, name, cwd=self.workdir)
                self.assertEqual((result.returncode, result.stderr), (2, f"ostrelctl: {command}: '{name}' is {what}\n"))
        committed = self.stop_writer()
        self.assertEqual(self.live_rows(), committed)

    def test_restore_beside_live_traffic(self):
        copy = self.path("copy.db")
        self.assertEqual(self.ctl("backup", copy).returncode, 0)
        in_copy = self.live_rows(copy)
        self.wait_for_commits(len(in_copy) + 20)
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            clients = pool.map(self.greylisted, range(30))  # ostrel's connections meanwhile
            result = self.ctl("restore", copy)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (0, f"Database '{self.db}' restored from '{copy}'.\n", ""))
            restored = len(self.committed())
            self.wait_for_commits(restored + 20)
            list(clients)
        committed, live = self.stop_writer(), self.live_rows()
        # The copy's rows, then every row committed after the restore, to the
        # last: those between the backup and the restore are what it replaced.
        after = live[len(in_copy):]
        self.assertEqual((live[:len(in_copy)], after), (in_copy, list(range(after[0], committed[-1] + 1))))
        self.assertTrue(len(in_copy) + 20 <= after[0] <= restored)

    def test_unsound_sources_and_foreign_databases_are_refused(self):
        self.write_file("notes.txt", "not a database\n" * 100)
        tables = "CREATE TABLE verified (ip, ts); CREATE TABLE pending (ip, envsender, envrecipient, tsfirstdelivery"
        for name, schema in [("old.db", tables + ", tslastdelivery);"),
                             ("large-pages.db", "PRAGMA page_size = 8192; " + tables + ", tslastdelivery, attempts);"),
                             ("foreign.db", "CREATE TABLE mailboxes (name);")]:
            with sqlite3.connect(self.path(name)) as conn:
                conn.executescript(schema)
        unsound = "ostrelctl: restore: '{}' is not a sound greylist database: "
        for source, db, status, message in [
                ("notes.txt", self.db, 2, unsound + "file is not a database\n"),
                ("old.db", self.db, 2, unsound + "no such column: attempts\n"),
                ("missing.db", self.db, 1, "ostrelctl: restore: cannot open '{}': unable to open database file\n"),
                ("large-pages.db", self.db, 2,
                 "ostrelctl: restore: '{}' has pages of 8192 bytes, the database in WAL mode of 4096\n"),
                ("greylist.db", self.path("foreign.db"), 1, f"ostrelctl: database '{self.path('foreign.db')}' has tables, "
                                                     "but neither 'verified' nor 'pending': not ostrel's\n"),
                ("greylist.db", "postgresql:///ostrel", 2,
                 "ostrelctl: restore copies into SQLite databases only; restore a PostgreSQL store with pg_restore\n")]:
            result = self.ctl("restore", self.path(source), db=db)
            self.assertEqual((result.returncode, result.stderr), (status, message.format(self.path(source))))
        committed = self.stop_writer()
        self.assertEqual(self.live_rows(), committed)
