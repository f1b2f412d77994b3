"""The store on PostgreSQL, over the server's Unix socket and through a local
pgbouncer: the decision and start-up cases of the SQLite tests run again on
both roads; two MX chains share one database; a server that is down, a
password in the URI, and concurrent retries of the same triples."""

import concurrent.futures
import ctypes
import itertools
import os
import socket
import subprocess
import threading
import time

import test_client_key
import test_decision
import test_ostrelctl
import test_policy
import test_startup
from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL_RE
from harness import (FAKETIME_LIB, GREETING, OK, TEMPFAIL, TEMPFAIL_REPLY_RE, OstrelCase, WorkdirCase, free_port, helper, preloads,
                     program, wait_until)
from pgcluster import GRANTS, UNREACHABLE, PgCluster
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


class AllowsOnPostgres(OnPostgres, test_policy.Allows):
    """Plain and permanent allows as ostrel's role; init-db as the owner."""

    def owner_db(self):
        return CLUSTER.uri(self.dbname, user="postgres")

    def downgrade(self):
        self.query("DROP TRIGGER verified_permanent_kept ON verified")
        self.query("UPDATE schema_version SET version = 1")


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

        # an answer of the server, not an outage: DBFAILOPEN does not cover it
        proc, received, status, _ = self.run_against(self.db, DBFAILOPEN="")
        self.assertEqual((status, received), (100, b""))
        self.assertIn("ostrel: Error querying db: permission denied for table verified\n", proc.stderr())


class FailOpenOnSqlite(OstrelCase):
    """DBFAILOPEN on the SQLite road: a file that cannot be opened, or one
    without the tables, is a fault of the set-up that ends the connection as
    without it."""

    def test_unopenable_or_failing_database(self):
        for dbfile, line in ((self.path("no/such/dir/db"), "ostrel: Can't open database: unable to open database "
                                                           "file. Use the DBFILE environment variable! "
                                                           "Terminating.\n"),
                             (self.path("empty.db"), "ostrel: Error querying db: no such table: verified\n")):
            with self.subTest(dbfile=dbfile):
                proc = self.ostrel([GREETING, "silent"], DBFILE=dbfile, DBFAILOPEN="", LOGTHRESHOLD="3")
                self.assertEqual(proc.recv_all(), b"")
                self.assertEqual(proc.wait(), 100)
                self.assertEqual(proc.stderr(), line)


FAIL_OPEN_LINE = ". DBFAILOPEN is set: running the SMTP server program without greylisting."


class FailOpenScope(OnPostgres, OstrelCase):
    """DBFAILOPEN lets a client through while the store is out of reach or
    too slow, never on an answer of the store: a fault of the set-up must
    not turn greylisting off for as long as it lasts."""

    def cases(self):
        bare = CLUSTER.new_database_without_schema()
        self.addCleanup(CLUSTER.drop_database, bare)
        host = CLUSTER.socket_dir
        return [  # (what, DBFILE, database settings, a lock on verified, lets the client through, log line)
            ("unparsable URI", "postgresql://[::1/x", None, False, False,
             r"Can't open database: the PostgreSQL URI does not parse\. Use the DBFILE"),
            ("unknown database", f"postgresql:///nosuchdb?host={host}&user=ostrel", None, False, False,
             r"Can't open database: .*database \"nosuchdb\" does not exist\. Use the DBFILE"),
            ("unknown role", f"postgresql:///{self.dbname}?host={host}&user=nosuchrole", None, False, False,
             r"Can't open database: .*role \"nosuchrole\" does not exist\. Use the DBFILE"),
            ("missing table", CLUSTER.uri(bare), None, False, False,
             r"Error querying db: relation \"verified\" does not exist$"),
            ("pgbouncer's server out of reach", CLUSTER.uri(UNREACHABLE, via_bouncer=True), None, False, True,
             r"Can't open database: .+" + FAIL_OPEN_LINE),
            ("lock time-out", self.db, ("1s", "60s"), True, True,
             r"Error querying db: canceling statement due to lock timeout" + FAIL_OPEN_LINE),
            ("statement time-out", self.db, ("60s", "1s"), True, True,
             r"Error querying db: canceling statement due to statement timeout" + FAIL_OPEN_LINE),
        ]

    def test_unreachable_or_slow_fails_open_answers_fail_closed(self):
        for what, uri, timeouts, locked, opens, line in self.cases():
            with self.subTest(what):
                if timeouts:
                    self.query(f"ALTER DATABASE {self.dbname} SET lock_timeout = '{timeouts[0]}'")
                    self.query(f"ALTER DATABASE {self.dbname} SET statement_timeout = '{timeouts[1]}'")
                with CLUSTER.connect(self.dbname) as holder:
                    if locked:
                        holder.cursor().execute("BEGIN; LOCK TABLE verified IN ACCESS EXCLUSIVE MODE")
                    proc = self.ostrel([GREETING, "silent"], DBFILE=uri, DBFAILOPEN="", LOGTHRESHOLD="3")
                    received = proc.recv_line() if opens else proc.recv_all()
                    proc.shut_write()
                    status = proc.wait()
                self.assertEqual((received, status), (b"220 test.example ESMTP\r\n", 0) if opens else (b"", 100))
                lines = proc.stderr().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertRegex(lines[0], "^ostrel: " + line)
                self.assertNotRegex(lines[0], r"LOCATION|\b(?=[0-9A-Z]*[0-9])[0-9A-Z]{5}: ")  # no SQLSTATE


class ServerNotices(OnPostgres, OstrelCase):
    """The server's notices reach the log as one line each at level 5, and
    nothing of them bypasses the log channel."""

    def test_one_line_each_at_level_five(self):
        self.query("CREATE FUNCTION warn() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE WARNING "
                   "'row for % written', NEW.ip USING DETAIL = 'some detail', HINT = 'some hint'; RETURN NEW; END $$")
        self.query("CREATE TRIGGER warn BEFORE INSERT ON pending FOR EACH ROW EXECUTE FUNCTION warn()")
        self.query("CREATE FUNCTION note() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE NOTICE "
                   "'row for % deleted', OLD.ip; RETURN OLD; END $$")
        self.query("CREATE TRIGGER note BEFORE DELETE ON pending FOR EACH ROW EXECUTE FUNCTION note()")
        init_uri = CLUSTER.uri(self.dbname, user="postgres")
        decision = ("decision=greylisted client=192.0.2.7 key=192.0.2.7 from=<s5@example.org> to=<r@example.org>"
                    " attempts=0 required=1 age=0")
        for threshold, expected in (("5", ["PostgreSQL server WARNING: row for 192.0.2.7 written", decision]),
                                    ("4", [])):
            with self.subTest(threshold=threshold):
                proc = self.ostrel([GREETING, OK, "reply 250 Accepted\\r\\n", "silent"], LOGTHRESHOLD=threshold)
                proc.recv_line()
                proc.send(f"MAIL FROM:<s{threshold}@example.org>\r\nRCPT TO:<r@example.org>\r\n".encode())
                proc.recv_line()
                self.assertIn(proc.recv_all(), TEMPFAIL)
                self.assertEqual(proc.wait(), 0)
                self.assertEqual(proc.stderr(), "".join(f"ostrel: {line}\n" for line in expected))
                forget = subprocess.run([program("ostrelctl"), "--db", init_uri, "forget", "192.0.2.7"],
                                        capture_output=True, text=True, env={"LOGTHRESHOLD": threshold})
                self.assertEqual(forget.returncode, 0)
                self.assertEqual(forget.stderr.splitlines(),
                                 ["ostrelctl: PostgreSQL server NOTICE: row for 192.0.2.7 deleted"] if expected else [])
                # init-db run again finds every object there and says nothing of it
                init = subprocess.run([program("ostrelctl"), "init-db", init_uri], capture_output=True, text=True,
                                      env={"LOGTHRESHOLD": "7"})
                self.assertEqual((init.returncode, init.stderr), (0, ""))


class IdleClients(WorkdirCase):
    """Clients that greet and then fall silent hold no connection to the
    store: more of them than the server has connections for (its
    max_connections), or than a pgbouncer in session mode has in its pool,
    leave the next client greylisted as usual, DBFAILOPEN or not."""

    @classmethod
    def setUpClass(cls):
        # 8 connections, 3 of them kept for superusers; a pool of 2
        cls.cluster = PgCluster(with_bouncer=True, max_connections=8, pool_mode="session", pool_size=2).start()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def client(self, uri, n):
        script = self.write_file(f"script{n}", "\n".join([GREETING, OK, OK, "reply 250 Accepted\\r\\n", "silent"])
                                 + "\n")
        env = {"PATH": "/usr/bin:/bin", "GREYLIST": "", "DBFILE": uri, "DBFAILOPEN": "", "LOGTHRESHOLD": "3",
               "TCPREMOTEIP": f"192.0.2.{n}"}
        proc = self.start([program("ostrel"), helper("scripted_smtpd"), script], env)
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        proc.send(b"EHLO client.example\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        return proc

    def decide(self, proc):
        proc.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_line()
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(proc.stderr(), "")

    def test_more_idle_clients_than_connections(self):
        for via_bouncer, idle in ((False, 8), (True, 4)):
            with self.subTest(via_bouncer=via_bouncer):
                dbname = self.cluster.new_database()
                self.addCleanup(self.cluster.drop_database, dbname)
                uri = self.cluster.uri(dbname, via_bouncer)
                waiting = [self.client(uri, n) for n in range(1, idle + 1)]
                if not via_bouncer:  # pgbouncer keeps its own connections open
                    self.assertEqual(self.cluster.query("postgres", "SELECT count(*) FROM pg_stat_activity WHERE "
                                                        "datname = ?", dbname), [(0,)])
                self.decide(self.client(uri, 100))
                for proc in waiting:
                    self.decide(proc)
                self.assertEqual(self.cluster.query(dbname, "SELECT count(*) FROM pending"), [(idle + 1,)])


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
    """Retries of one triple that all wait for one row lock and then run at
    once, as when two MX hosts record the same triple together: each must
    count. The first waits for the row in its update; the others wait for it
    to finish before they look the triple up (the lookup and the write of
    one triple go together), so their replies come once the row is free."""

    RETRIES = 6

    def start_attempt(self):
        proc = self.ostrel([GREETING, "reply 250 OK\\r\\n", "reply 250 Accepted\\r\\n", "silent"],
                           SUSPICION=self.rules, HOLD="")
        proc.recv_line()
        proc.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_line()
        return proc

    def finish_attempt(self, proc):
        self.assertRegex(proc.recv_line().decode(), TEMPFAIL_REPLY_RE)
        return proc.wait()

    def waiting_for_locks(self):
        return CLUSTER.query("postgres", "SELECT count(*) FROM pg_stat_activity WHERE datname = ? AND "
                                         "wait_event_type = 'Lock'", self.dbname)[0][0]

    def test_updates_released_together_all_count(self):
        self.rules = self.write_file("rules", "1000 v HOLD\n")
        # room for slow starts (sanitizers): the locks are held until every
        # attempt waits, and each waits at most this long
        self.query(f"ALTER DATABASE {self.dbname} SET lock_timeout = '4s'")
        self.assertEqual(self.finish_attempt(self.start_attempt()), 0)
        with CLUSTER.connect(self.dbname) as locker:
            cur = locker.cursor()
            cur.execute("BEGIN")
            cur.execute("SELECT attempts FROM pending FOR UPDATE")
            procs = [self.start_attempt() for _ in range(self.RETRIES)]
            wait_until(lambda: self.waiting_for_locks() >= self.RETRIES, "every attempt to wait for a lock", 20)
            cur.execute("COMMIT")
        self.assertEqual([self.finish_attempt(proc) for proc in procs], [0] * self.RETRIES)
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


class ConcurrentFirstAttempts(OnPostgres, OstrelCase):
    """Two MX hosts, one through pgbouncer and one direct, take each attempt
    of the same triples at the same moment, the first attempts included:
    each triple has one row, and every attempt counts."""

    TRIPLES = 16
    ROUNDS = 3

    def test_one_row_per_triple_and_every_attempt_counted(self):
        rules = self.write_file("rules", "100 v HOLD\n")
        uris = (CLUSTER.uri(self.dbname, via_bouncer=True), self.db)
        for _ in range(self.ROUNDS):
            procs = []
            for n in range(self.TRIPLES):
                for uri in uris:
                    proc = self.ostrel([GREETING, OK, "reply 250 Accepted\\r\\n", "silent"], DBFILE=uri,
                                       TCPREMOTEIP=f"192.0.2.{n + 1}", SUSPICION=rules, HOLD="", LOGTHRESHOLD="3")
                    proc.recv_line()
                    proc.send(b"MAIL FROM:<s@example.org>\r\n")
                    proc.recv_line()
                    procs.append(proc)
            for proc in procs:  # every decision at once
                proc.send(b"RCPT TO:<r@example.org>\r\n")
            self.assertEqual([(proc.recv_all() in TEMPFAIL, proc.wait()) for proc in procs], [(True, 0)] * len(procs))
        self.assertEqual(self.query("SELECT ip, count(*), sum(attempts) FROM pending GROUP BY ip ORDER BY ip"),
                         sorted((f"192.0.2.{n + 1}", 1, 2 * self.ROUNDS) for n in range(self.TRIPLES)))


def add_rows(query, stale_pending, stale_verified, young):
    """Rows both engines write with the same statements: stale ones 19 hours
    (pending) or 21 days (verified) old, and young ones of now."""
    def numbers(n):
        return f"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {n}) "
    for table, n, age in (("pending", stale_pending, "-19 hours"), ("pending", young, "-0 hours"),
                          ("verified", stale_verified, "-504 hours"), ("verified", young, "-0 hours")):
        if n == 0:
            continue
        values = (f"'10.0.' || i, 's@example.org', 'r@example.org', DATETIME('now', '{age}'), DATETIME('now'), 1"
                  if table == "pending" else f"'10.1.' || i, DATETIME('now', '{age}')")
        query(numbers(n) + f"INSERT INTO {table} SELECT {values} FROM n")


def seed_drawing_the_pending_cleanup(after):
    """The first second from `after` on whose seed makes ostrel's first
    random draw that of the pending cleanup (one in 800); under a clock
    frozen at that second the draw is certain."""
    libc = ctypes.CDLL("libc.so.6")
    for second in itertools.count(after):
        libc.srandom(second)
        if libc.random() % 800 == 0:
            return second


class Cleanups:
    """The cleanups in batches of at most 1000 rows, on both engines: the
    admin's runs until no stale row is left; a decision's runs one batch
    once the client has its reply, and a failure costs the client nothing."""

    ROW_ID = "rowid"

    def test_admin_cleanup_repeats_batches_until_done(self):
        add_rows(self.query, 2500, 1001, 10)
        result = subprocess.run([program("ostrelctl"), "cleanup", "--db", self.db], capture_output=True, text=True,
                                env={"LOGTHRESHOLD": "7"})
        self.assertEqual((result.stdout, result.returncode), ("cleanup: 2500 pending and 1001 verified rows deleted\n",
                                                              0))
        batch = (f"ostrelctl: Query: 'DELETE FROM pending WHERE {self.ROW_ID} IN (SELECT {self.ROW_ID} FROM pending "
                 f"WHERE tsfirstdelivery < DATETIME('now','-18 hours') LIMIT 1000)'\n")
        self.assertEqual(result.stderr.count(batch), 3)
        self.assertEqual(result.stderr.count("ostrelctl: Query: 'DELETE FROM verified"), 2)
        self.assertEqual([self.query(f"SELECT count(*) FROM {table}")[0][0] for table in ("pending", "verified")],
                         [10, 10])

    def test_admin_cleanup_failure_is_one_line_of_its_own(self):
        add_rows(self.query, 5, 0, 0)
        self.query(self.REFUSE_DELETIONS)
        result = subprocess.run([program("ostrelctl"), "cleanup", "--db", self.db], capture_output=True, text=True,
                                env={})
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "ostrelctl: cleanup failed: refused\n"))

    @preloads
    def test_decision_runs_one_batch_after_the_reply(self):
        add_rows(self.query, 2500, 0, 0)
        frozen = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seed_drawing_the_pending_cleanup(int(time.time()))))
        for refused, sender in ((False, "a@example.org"), (True, "b@example.org")):
            with self.subTest(refused=refused):
                if refused:
                    self.query(self.REFUSE_DELETIONS)
                proc = self.ostrel([GREETING, OK, "reply 250 Accepted\\r\\n", "silent"], LD_PRELOAD=FAKETIME_LIB,
                                   FAKETIME=frozen, TZ="UTC")
                proc.recv_line()
                proc.send(f"MAIL FROM:<{sender}>\r\nRCPT TO:<r@example.org>\r\n".encode())
                proc.recv_line()
                self.assertIn(proc.recv_all(), TEMPFAIL)
                self.assertEqual(proc.wait(), 0)
                err = proc.stderr()
                self.assertLess(err.index("State: NEW-ENTRY"), err.index("Cleaning up stale pending entries."))
                self.assertEqual(err.count("Query: 'DELETE FROM pending WHERE"), 1)
                self.assertEqual("Query failed: 'DELETE FROM pending WHERE" in err, refused)
                self.assertEqual(self.query("SELECT count(*) FROM pending WHERE envsender = ?", sender), [(1,)])
        self.assertEqual(self.query("SELECT count(*) FROM pending"), [(1500 + 2,)])


class CleanupsOnSqlite(Cleanups, OstrelCase):
    REFUSE_DELETIONS = "CREATE TRIGGER refuse BEFORE DELETE ON pending BEGIN SELECT RAISE(ABORT, 'refused'); END"


class CleanupsOnPostgres(OnPostgres, Cleanups, OstrelCase):
    ROW_ID = "ctid"
    REFUSE_DELETIONS = ("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION "
                        "'refused'; END $$; CREATE TRIGGER refuse BEFORE DELETE ON pending FOR EACH ROW EXECUTE "
                        "FUNCTION refuse()")


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


class MemoryOfListOnPostgres(test_ostrelctl.MemoryOfList):
    """list on PostgreSQL holds one row at a time too (libpq's single-row
    mode): its peak memory does not grow with the table."""

    def test_peak_memory_does_not_follow_the_rows(self):
        peaks = []
        for rows in (10, 60000):
            dbname = CLUSTER.new_database()
            self.addCleanup(CLUSTER.drop_database, dbname)
            CLUSTER.query(dbname, "INSERT INTO pending SELECT '10.0.' || (i / 256 % 256) || '.' || (i % 256), "
                                  f"repeat('s', 300), 'b@example.net', DATETIME('now'), DATETIME('now'), 1 "
                                  f"FROM generate_series(1, {rows}) AS i")
            peaks.append(self.peak_kib(CLUSTER.uri(dbname)))
        self.assertLess(peaks[1] - peaks[0], 8 * 1024, peaks)


class InitDbOnPostgres(WorkdirCase):
    def init(self, uri, *options):
        return subprocess.run([program("ostrelctl"), "init-db", *options, uri], capture_output=True, text=True)

    def test_twice_as_owner_then_ostrel_runs_with_the_grants(self):
        dbname = CLUSTER.new_database_without_schema()
        self.addCleanup(CLUSTER.drop_database, dbname)
        owner_uri = CLUSTER.uri(dbname, user="postgres")
        first = self.init(owner_uri)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertRegex(first.stdout, rf"^PostgreSQL database '{dbname}' on '[^']+' initialised: tables verified "
                                       r"and pending, their indexes, the date functions, lock and statement time-outs\.\n")
        self.assertIn("GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO <role>;\n", first.stdout)
        second = self.init(owner_uri, "--grant-to", "ostrel")
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertIn(" is already initialised; nothing changed.\n", second.stdout)
        self.assertIn("GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO ostrel;\n", second.stdout)
        for role, printed in [("Mail \"MX\"", '"Mail ""MX"""'), ("2nd", '"2nd"')]:
            self.assertIn(f" pending TO {printed};\n", self.init(owner_uri, "--grant-to", role).stdout)
        refused = self.init(self.path("g.db"), "--grant-to", "ostrel")
        self.assertEqual((refused.returncode, refused.stdout), (2, ""))
        self.assertIn("--grant-to names a PostgreSQL role", refused.stderr)
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
