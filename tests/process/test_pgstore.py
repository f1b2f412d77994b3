"""The store on PostgreSQL, over the server's Unix socket and through a local
pgbouncer: the decision and start-up cases of the SQLite tests run again on
both roads; two MX chains share one database; a server that is down, a
password in the URI, and concurrent retries of the same triples."""

import concurrent.futures
import os
import socket
import subprocess
import threading
import time

import test_client_key
import test_decision
import test_ostrelctl
import test_startup
from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL_RE
from harness import GREETING, TEMPFAIL_REPLY_RE, OstrelCase, WorkdirCase, free_port, helper, program, wait_until
from pgcluster import GRANTS, PgCluster
from realparts import TcpServer, base_env, exim_command, swaks

CLUSTER = None


def setUpModule():
    global CLUSTER
    CLUSTER = PgCluster(with_bouncer=True).start()


def tearDownModule():
    CLUSTER.stop()


class OnPostgres:
    """Runs an OstrelCase's tests with DBFILE naming a fresh database of the
    module's cluster, reached over the server's Unix socket."""

    via_bouncer = False

    def setUp(self):
        self.dbname = CLUSTER.new_database()
        self.addCleanup(CLUSTER.drop_database, self.dbname)
        super().setUp()
        self.db = CLUSTER.uri(self.dbname, self.via_bouncer)

    def query(self, sql, *args):
        return CLUSTER.query(self.dbname, sql, *args)

    def pending(self):
        return self.query("SELECT ip, envsender, envrecipient, attempts FROM pending ORDER BY ctid")

    def verified(self):
        return [row[0] for row in self.query("SELECT ip FROM verified ORDER BY ctid")]


class ThroughPgbouncer(OnPostgres):
    """The same through the local pgbouncer (transaction pooling)."""

    via_bouncer = True


class EngineMessages:
    """The cases whose expected text is the engine's own message."""

    def test_missing_pending_table(self):
        self.query("DROP TABLE pending")
        proc = self.attempt()
        self.assertEqual(proc.recv_all(), b"")
        self.assertEqual(proc.wait(), 100)
        self.assertIn('ostrel: Error querying db: relation "pending" does not exist\n', proc.stderr())


# The SQLite suites' cases on PostgreSQL: the decision through pgbouncer (the
# road a site deploys), start-up on both roads.
class DecisionThroughPgbouncer(ThroughPgbouncer, EngineMessages, test_decision.Decision):
    pass


class ByNetworkOnPostgres(OnPostgres, test_client_key.ByNetwork):
    pass


class SpellingsOnPostgres(OnPostgres, test_client_key.Spellings):
    pass


class VerifiedRoadOnPostgres(OnPostgres, test_startup.VerifiedRoad):
    pass


class VerifiedRoadThroughPgbouncer(ThroughPgbouncer, test_startup.VerifiedRoad):
    pass


class ThirdRoadOnPostgres(OnPostgres, test_startup.ThirdRoad):
    pass


class SignalsOnPostgres(OnPostgres, test_startup.Signals):
    pass


class AddressChecksOnPostgres(OnPostgres, test_startup.AddressChecks):
    pass


class SilentListener:
    """A TCP listener on a loopback port that accepts and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.held.append(self.sock.accept()[0])
            except OSError:
                return

    def close(self):
        self.sock.close()
        for conn in self.held:
            conn.close()


# How long a start-up against a server that is down may take: libpq's
# connect time-out (3 s) and some slack.
DOWN_BOUND_S = 8


class ServerDown(OnPostgres, OstrelCase):
    """A server that cannot be reached ends the connection within the bound,
    before the client hears anything; DBFAILOPEN runs the server program."""

    def down_uris(self):
        listener = SilentListener()
        self.addCleanup(listener.close)
        return {
            "socket missing": f"postgresql:///{self.dbname}?host={self.path('nosuchdir')}&user=ostrel",
            "port closed": f"postgresql://127.0.0.1:{free_port()}/{self.dbname}?user=ostrel",
            "silent listener": f"postgres://127.0.0.1:{listener.port}/{self.dbname}?user=ostrel",
        }

    def run_against(self, uri, **extra):
        started = time.monotonic()
        proc = self.ostrel([GREETING, "silent"], DBFILE=uri, **extra)
        received = proc.recv_all(timeout=DOWN_BOUND_S + 5)
        status = proc.wait()
        return proc, received, status, time.monotonic() - started

    def test_fail_closed_within_the_bound_and_silent(self):
        for name, uri in self.down_uris().items():
            with self.subTest(name):
                proc, received, status, elapsed = self.run_against(uri)
                self.assertEqual((status, received), (100, b""))
                self.assertLess(elapsed, DOWN_BOUND_S)
                err = proc.stderr()
                self.assertRegex(err, r"ostrel: Can't open database: PostgreSQL database '\w+' on '[^']+': .+\. "
                                      r"Use the DBFILE environment variable! Terminating\.\n")
                self.assertNotIn(uri, err)
                self.assertNotIn("Query:", err)

    def test_dbfailopen_runs_the_server_program_with_one_line(self):
        for name, uri in self.down_uris().items():
            with self.subTest(name):
                started = time.monotonic()
                proc = self.ostrel([GREETING, "silent"], DBFILE=uri, DBFAILOPEN="", LOGTHRESHOLD="3")
                self.assertEqual(proc.recv_line(timeout=DOWN_BOUND_S + 5), b"220 test.example ESMTP\r\n")
                self.assertLess(time.monotonic() - started, DOWN_BOUND_S)
                proc.shut_write()
                self.assertEqual(proc.wait(), 0)
                lines = proc.stderr().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertRegex(lines[0], r"^ostrel: Can't open database: PostgreSQL database .+\. DBFAILOPEN is "
                                           r"set: running the SMTP server program without greylisting\.$")

    def test_a_lock_held_elsewhere_is_bounded_twice(self):
        # the server's lock time-out (2 s), then ostrel's own deadline (5 s)
        # for a server that does not answer in time whatever its settings
        for lock_timeout, message in (("2s", "canceling statement due to lock timeout"),
                                      ("60s", "no answer from the PostgreSQL server within 5 seconds")):
            with self.subTest(lock_timeout=lock_timeout):
                self.query(f"ALTER DATABASE {self.dbname} SET lock_timeout = '{lock_timeout}'")
                self.query(f"ALTER DATABASE {self.dbname} SET statement_timeout = '60s'")
                with CLUSTER.connect(self.dbname) as holder:
                    cur = holder.cursor()
                    cur.execute("BEGIN")
                    cur.execute("LOCK TABLE verified IN ACCESS EXCLUSIVE MODE")
                    proc, received, status, elapsed = self.run_against(self.db)
                    cur.execute("ROLLBACK")
                self.assertEqual((status, received), (100, b""))
                self.assertLess(elapsed, DOWN_BOUND_S)
                self.assertIn(f"ostrel: Error querying db: {message}\n", proc.stderr())

    def test_failing_lookup_is_a_database_failure(self):
        self.query("REVOKE SELECT ON verified FROM ostrel")
        proc, received, status, _ = self.run_against(self.db)
        self.assertEqual((status, received), (100, b""))
        self.assertIn("ostrel: Error querying db: permission denied for table verified\n", proc.stderr())

        proc = self.ostrel([GREETING, "silent"], DBFAILOPEN="")
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: Error querying db: permission denied for table verified. DBFAILOPEN is set: running "
                      "the SMTP server program without greylisting.\n", proc.stderr())


class FailOpenOnSqlite(OstrelCase):
    """DBFAILOPEN on the SQLite road: a file that cannot be opened, or one
    without the tables, lets the client through as if greylisting were off."""

    def test_unopenable_or_failing_database(self):
        for dbfile, line in ((self.path("no/such/dir/db"), "ostrel: Can't open database: unable to open database "
                                                           "file. DBFAILOPEN is set: running the SMTP server "
                                                           "program without greylisting.\n"),
                             (self.path("empty.db"), "ostrel: Error querying db: no such table: verified. DBFAILOPEN "
                                                     "is set: running the SMTP server program without "
                                                     "greylisting.\n")):
            with self.subTest(dbfile=dbfile):
                proc = self.ostrel([GREETING, "silent"], DBFILE=dbfile, DBFAILOPEN="", LOGTHRESHOLD="3")
                self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
                proc.shut_write()
                self.assertEqual(proc.wait(), 0)
                self.assertEqual(proc.stderr(), line)


class Credentials(OnPostgres, OstrelCase):
    def test_password_in_the_uri_is_refused_even_with_dbfailopen(self):
        host = CLUSTER.socket_dir
        for uri in (f"postgresql://ostrel:s3cret@/{self.dbname}?host={host}",
                    f"postgresql:///{self.dbname}?host={host}&user=ostrel&password=s3cret",
                    f"postgres:///{self.dbname}?host={host}&user=ostrel&sslpassword=s3cret"):
            for extra in ({}, {"DBFAILOPEN": ""}):
                with self.subTest(uri=uri, **extra):
                    proc = self.ostrel([GREETING, "silent"], DBFILE=uri, **extra)
                    self.assertEqual(proc.recv_all(), b"")
                    self.assertEqual(proc.wait(), 100)
                    err = proc.stderr()
                    self.assertNotIn("s3cret", err)
                    self.assertIn("ostrel: Refusing DBFILE: the PostgreSQL URI holds a password, which would show in "
                                  "process listings; keep it in libpq's password file (~/.pgpass or PGPASSFILE) or in "
                                  "a service file (postgresql:///?service=NAME). Terminating.\n", err)
                    self.assertEqual(err.count("ostrel: Refusing"), 1)

    def test_the_connection_string_is_never_logged(self):
        uri = self.db + "&application_name=marker7781"
        attempt = [GREETING, "reply 250 hi\\r\\n", "reply 250 OK\\r\\n", "reply 250 Accepted\\r\\n", "silent"]
        for _ in range(2):  # a failure recorded, then a promotion
            proc = self.ostrel(attempt, DBFILE=uri)
            proc.recv_line()
            proc.send(b"HELO client.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\n")
            proc.recv_line()
            proc.recv_line()
            proc.recv_line()
            proc.shut_write()
            proc.wait()
            self.assertNotIn("marker7781", proc.stderr())
            self.assertNotIn("postgresql:", proc.stderr())
        self.assertEqual(self.verified(), ["192.0.2.7"])

    def test_service_file_form(self):
        services = self.write_file("pg_service.conf", f"[greylist]\nhost={CLUSTER.socket_dir}\nport=5432\n"
                                                      f"dbname={self.dbname}\nuser=ostrel\n")
        proc = self.ostrel([GREETING, "silent"], DBFILE="postgresql:///?service=greylist", PGSERVICEFILE=services)
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        proc.shut_write()
        proc.wait()
        self.assertIn("ostrel: Query: 'SELECT ip FROM verified WHERE ip = '192.0.2.7''\n", proc.stderr())
        self.assertNotIn("Error", proc.stderr())


class LibraryLoading(OnPostgres, OstrelCase):
    """libpq is loaded on the PostgreSQL road only."""

    def test_sqlite_road_does_not_load_libpq(self):
        sqlite_db = self.path("greylist.db")
        self.assertNotIn("libpq", self.maps_during_dialogue(DBFILE=sqlite_db))
        self.assertIn("libpq", self.maps_during_dialogue())


class TwoMxHosts(WorkdirCase):
    """Two tcpserver chains on two loopback ports, as on two MX hosts, with the
    same DBFILE URI (each through pgbouncer, as a local pgbouncer would be)."""

    def setUp(self):
        super().setUp()
        self.dbname = CLUSTER.new_database()
        self.addCleanup(CLUSTER.drop_database, self.dbname)
        self.uri = CLUSTER.uri(self.dbname, via_bouncer=True)
        self.exim = exim_command(self.workdir)

    def chain(self, **env):
        server = TcpServer(self.workdir, [program("ostrel")] + self.exim,
                           base_env(self.workdir, DBFILE=self.uri, **env), concurrency=64)
        self.addCleanup(server.close)
        return server

    def rows(self, sql):
        return CLUSTER.query(self.dbname, sql)

    def test_retry_on_the_other_mx_passes_and_promotes(self):
        mx1, mx2 = self.chain(), self.chain()
        self.assertRegex(swaks(mx1.port, "sender@example.org", "user@example.net"), TEMPFAIL_RE)
        self.assertEqual(self.rows("SELECT ip, attempts FROM pending"), [("127.0.0.1", 1)])
        second = swaks(mx2.port, "sender@example.org", "user@example.net")
        self.assertRegex(second, r"<-  250 OK id=\S+\n")
        self.assertIn("State: PENDING-VERIFIED", mx2.stderr())
        self.assertEqual(self.rows("SELECT ip FROM verified"), [("127.0.0.1",)])
        self.assertEqual(self.rows("SELECT * FROM pending"), [])
        third = swaks(mx1.port, "other@example.org", "user@example.net")
        self.assertRegex(third, r"<-  250 OK id=\S+\n")
        self.assertIn("Address '127.0.0.1' is recognized as a verified server", mx1.stderr())
        mx1.wait_for_ends(2)
        mx2.wait_for_ends(1)
        self.assertEqual(mx1.statuses() + mx2.statuses(), [0, 0, 0])


class BlockedRetries:
    """Retries of one triple whose updates all wait for one row lock and then
    run at once, as when two MX hosts record the same triple together: each
    must count (a statement computing its new count from a row that another
    one has changed meanwhile runs again instead of writing it)."""

    RETRIES = 6

    def attempt(self):
        proc = self.ostrel([GREETING, "reply 250 OK\\r\\n", "reply 250 Accepted\\r\\n", "silent"],
                           SUSPICION=self.rules, HOLD="")
        proc.recv_line()
        proc.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_line()
        self.assertRegex(proc.recv_line().decode(), TEMPFAIL_REPLY_RE)
        return proc

    def waiting_for_locks(self):
        return CLUSTER.query("postgres", "SELECT count(*) FROM pg_stat_activity WHERE datname = ? AND "
                                         "wait_event_type = 'Lock'", self.dbname)[0][0]

    def test_updates_released_together_all_count(self):
        self.rules = self.write_file("rules", "1000 v HOLD\n")
        # room for slow starts (sanitizers): the locks are held until every
        # update waits, and each waits at most this long
        self.query(f"ALTER DATABASE {self.dbname} SET lock_timeout = '4s'")
        self.assertEqual(self.attempt().wait(), 0)
        with CLUSTER.connect(self.dbname) as locker:
            cur = locker.cursor()
            cur.execute("BEGIN")
            cur.execute("SELECT attempts FROM pending FOR UPDATE")
            procs = [self.attempt() for _ in range(self.RETRIES)]
            wait_until(lambda: self.waiting_for_locks() >= self.RETRIES, "every update to wait for the lock", 20)
            cur.execute("COMMIT")
        self.assertEqual([proc.wait() for proc in procs], [0] * self.RETRIES)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", self.RETRIES + 1)])


class BlockedRetriesOnPostgres(OnPostgres, BlockedRetries, OstrelCase):
    pass


class BlockedRetriesThroughPgbouncer(ThroughPgbouncer, BlockedRetries, OstrelCase):
    pass


class ConcurrentRetries(WorkdirCase):
    """32 connections at once through two chains, retrying the same triples
    of clients that a rule holds back: every attempt is counted."""

    TRIPLES = 4
    RETRIES = 8  # per triple: 32 connections

    def run_retries(self, via_bouncer):
        """The direct road meets the same statements; BlockedRetries runs
        both roads into the same row at once."""
        dbname = CLUSTER.new_database()
        self.addCleanup(CLUSTER.drop_database, dbname)
        rules = self.write_file("rules", "1000 v HOLD\n")
        env = base_env(self.workdir, DBFILE=CLUSTER.uri(dbname, via_bouncer), SUSPICION=rules, HOLD="",
                       LOGTHRESHOLD="7")
        exim = exim_command(self.workdir)
        chains = [TcpServer(self.workdir, [program("ostrel")] + exim, env, concurrency=64) for _ in range(2)]
        for chain in chains:
            self.addCleanup(chain.close)

        def attempt(n):
            triple = n % self.TRIPLES
            out = swaks(chains[n % 2].port, f"s{triple}@example.org", "r@example.net", local=f"127.6.0.{triple + 1}")
            return bool(TEMPFAIL_RE.search(out))

        for n in range(self.TRIPLES):  # the first attempts, one by one
            self.assertTrue(attempt(n))
        with concurrent.futures.ThreadPoolExecutor(self.TRIPLES * self.RETRIES) as pool:
            outcomes = list(pool.map(attempt, range(self.TRIPLES * self.RETRIES)))
        self.assertEqual(set(outcomes), {True})
        total = self.TRIPLES * (self.RETRIES + 1)
        chains[0].wait_for_ends(total // 2)
        chains[1].wait_for_ends(total // 2)
        statuses = chains[0].statuses() + chains[1].statuses()
        self.assertEqual(statuses, [0] * total)
        rows = CLUSTER.query(dbname, "SELECT ip, envsender, attempts FROM pending ORDER BY ip")
        self.assertEqual(rows, [(f"127.6.0.{t + 1}", f"s{t}@example.org", self.RETRIES + 1)
                                for t in range(self.TRIPLES)])
        for chain in chains:
            self.assertNotIn("Database locked", chain.stderr())
            self.assertEqual(chain.stderr().count("State: UPDATE-ENTRY"), self.TRIPLES * self.RETRIES // 2)

    def test_through_pgbouncer(self):
        self.run_retries(via_bouncer=True)


class AdminOnPostgres(test_ostrelctl.Admin):
    """The admin commands' cases of the SQLite suite, on PostgreSQL through
    pgbouncer, as ostrel's own role; the cases whose text is SQLite's own are
    replaced below."""

    def setUp(self):
        WorkdirCase.setUp(self)
        self.dbname = CLUSTER.new_database()
        self.addCleanup(CLUSTER.drop_database, self.dbname)
        self.db = CLUSTER.uri(self.dbname, via_bouncer=True)
        CLUSTER.query(self.dbname, test_ostrelctl.ADMIN_ROWS)

    def rows(self, sql):
        return CLUSTER.query(self.dbname, sql)

    def test_refusals_change_nothing(self):
        before = self.rows("SELECT * FROM pending ORDER BY ctid") + self.rows("SELECT * FROM verified ORDER BY ctid")
        for args, status in [(["allow", "1.2.3.4' OR '1'='1"], 2), (["forget", "example.org"], 2),
                             (["list", "pending", "--ip", "1.2.3"], 2),
                             (["allow", "192.0.2.9", "--db", self.db.replace("user=ostrel", "user=ostrel&password=x")],
                              1),
                             (["backup", self.path("copy")], 2)]:
            with self.subTest(args=args):
                result = self.ctl(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                if status == 1 or args[0] == "backup":  # one line, not the usage text
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertNotIn("password=x", result.stderr)
        self.assertIn("back a PostgreSQL store up with pg_dump", self.ctl("backup", self.path("copy")).stderr)
        bare = CLUSTER.new_database_without_schema()
        self.addCleanup(CLUSTER.drop_database, bare)
        result = self.ctl("allow", "192.0.2.9", "--db", CLUSTER.uri(bare))
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"^ostrelctl: PostgreSQL database '\w+' on '[^']+' has no table 'verified' "
                                        r"\(create it with: ostrelctl init-db\)\n$")
        down = self.ctl("stats", "--db", f"postgresql:///{self.dbname}?host={self.path('none')}")
        self.assertEqual(down.returncode, 1)
        self.assertRegex(down.stderr, r"^ostrelctl: cannot open database: PostgreSQL database .+\n$")
        self.assertEqual(self.rows("SELECT * FROM pending ORDER BY ctid") +
                         self.rows("SELECT * FROM verified ORDER BY ctid"), before)

    def test_writes_wait_for_a_lock_held_by_another_process(self):
        with CLUSTER.connect(self.dbname) as holder:
            cur = holder.cursor()
            cur.execute("BEGIN")
            cur.execute("LOCK TABLE pending IN EXCLUSIVE MODE")
            proc = subprocess.Popen([program("ostrelctl"), "allow", "192.0.2.1"], env={"DBFILE": self.db},
                                    stdout=subprocess.PIPE, text=True)
            wait_until(lambda: CLUSTER.query("postgres", "SELECT count(*) FROM pg_stat_activity WHERE datname = ? "
                                             "AND wait_event_type = 'Lock'", self.dbname)[0][0] > 0,
                       "allow to wait for the lock")
            cur.execute("COMMIT")
        self.assertEqual(proc.communicate(timeout=10)[0],
                         "192.0.2.1 is now a verified server; 2 pending rows removed\n")


class InitDbOnPostgres(WorkdirCase):
    def init(self, uri):
        return subprocess.run([program("ostrelctl"), "init-db", uri], capture_output=True, text=True)

    def test_twice_as_owner_then_ostrel_runs_with_the_grants(self):
        dbname = CLUSTER.new_database_without_schema()
        self.addCleanup(CLUSTER.drop_database, dbname)
        owner_uri = CLUSTER.uri(dbname, user="postgres")
        first = self.init(owner_uri)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertRegex(first.stdout, rf"^PostgreSQL database '{dbname}' on '[^']+' initialised: tables verified "
                                       r"and pending, their indexes, the date functions, lock and statement time-outs\.\n")
        self.assertIn("GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO <role>;\n", first.stdout)
        second = self.init(owner_uri)
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertIn(" is already initialised; nothing changed.\n", second.stdout)
        for output in (first.stdout + first.stderr, second.stdout + second.stderr):
            self.assertNotIn("postgresql:", output)
        self.assertEqual(CLUSTER.query(dbname, "SELECT setting FROM pg_db_role_setting s JOIN pg_database d ON "
                                               "d.oid = s.setdatabase, unnest(s.setconfig) AS setting "
                                               "WHERE d.datname = ? ORDER BY 1", dbname),
                         [("lock_timeout=2s",), ("statement_timeout=4s",)])

        CLUSTER.query(dbname, GRANTS)
        env = base_env(self.workdir, DBFILE=CLUSTER.uri(dbname), TCPREMOTEIP="192.0.2.5")
        proc = self.start([program("ostrel"), helper("scripted_smtpd"), self.write_file("s", "greet 220 hi\\r\\n\n")],
                          env)
        self.assertEqual(proc.recv_line(), b"220 hi\r\n")
        proc.shut_write()
        proc.wait()
        self.assertNotIn("Error", proc.stderr())

    def test_password_refused_and_nothing_done(self):
        dbname = CLUSTER.new_database_without_schema()
        self.addCleanup(CLUSTER.drop_database, dbname)
        result = self.init(f"postgresql://postgres:pw@/{dbname}?host={CLUSTER.socket_dir}")
        self.assertEqual(result.returncode, 1)
        self.assertNotIn("pw@", result.stderr)
        self.assertIn("password file", result.stderr)
        self.assertEqual(CLUSTER.query(dbname, "SELECT to_regclass('pending') IS NULL"), [(True,)])
