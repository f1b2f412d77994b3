"""ostrel's start-up roads, exit handler and store, through the real binary."""

import os
import sqlite3

from harness import GREETING, OstrelCase, faketime_env, program, rollback_database

SHOW_PID = ["/bin/sh", "-c", "echo child pid $$; cat >/dev/null"]


class NoArgument(OstrelCase):
    def test_usage_without_prefix(self):
        result = self.run_plain([program("ostrel")], self.env())
        self.assertEqual(result.returncode, 100)
        self.assertEqual(result.stderr, b"Do specify a child to call.\n")


class GreylistingOff(OstrelCase):
    def test_child_replaces_ostrel_without_address(self):
        proc = self.start([program("ostrel")] + SHOW_PID, self.env(GREYLIST=None, TCPREMOTEIP=None))
        self.assertEqual(proc.recv_line(), f"child pid {proc.p.pid}\n".encode())
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(proc.stderr(), "ostrel: State: CHECK-OPERATION\n")

    def test_missing_child_is_logged_at_level_1(self):
        result = self.run_plain([program("ostrel"), "/nonexistent/smtpd"], self.env(GREYLIST=None, LOGTHRESHOLD="1"))
        self.assertEqual(result.returncode, 100)
        self.assertEqual(result.stderr.decode(),
                         "ostrel: Unable to run /nonexistent/smtpd: No such file or directory. Terminating\n")

    def test_child_is_not_searched_along_path(self):
        result = self.run_plain([program("ostrel"), "true"], self.env(GREYLIST=None))
        self.assertEqual(result.returncode, 100)


class LogChannel(OstrelCase):
    def test_default_threshold_hides_debug_lines_and_logpid_prints_pid(self):
        env = self.env(GREYLIST=None, LOGTHRESHOLD=None, LOGPID="")
        result = self.run_plain([program("ostrel"), "/nonexistent"], env)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^\(\d+\) ostrel: Unable to run /nonexistent: No such file or directory\. Terminating$")

    def test_empty_threshold_silences_everything(self):
        result = self.run_plain([program("ostrel"), "/nonexistent"], self.env(GREYLIST=None, LOGTHRESHOLD=""))
        self.assertEqual((result.returncode, result.stderr), (100, b""))

    def test_values_are_printed_unchanged(self):
        # A client address with a newline and conversions is printed as it is.
        result = self.run_plain([program("ostrel"), SHOW_PID[0]] + SHOW_PID[1:],
                                self.env(TCPREMOTEIP="%n%s'\nx", LOGTHRESHOLD="2"))
        self.assertEqual(result.returncode, 100)
        self.assertIn("ostrel: Remote host address '%n%s'\nx' is longer than 966 characters or holds a quote.",
                      result.stderr.decode())


class AddressChecks(OstrelCase):
    def test_missing_address(self):
        result = self.run_plain([program("ostrel")] + SHOW_PID, self.env(TCPREMOTEIP=None))
        self.assertEqual(result.returncode, 100)
        self.assertIn("ostrel: Unable to fetch remote host address. Are we running under tcpserver? Terminating.\n",
                      result.stderr.decode())

    def test_quote_or_overlong_address_never_reaches_a_statement(self):
        for addr in ["1.2.3.4' OR '1'='1", "1" * 967]:
            result = self.run_plain([program("ostrel")] + SHOW_PID, self.env(TCPREMOTEIP=addr))
            self.assertEqual(result.returncode, 100)
            self.assertNotIn("Query:", result.stderr.decode())
        self.assertEqual(self.pending(), [])


class Database(OstrelCase):
    def test_unopenable_database(self):
        result = self.run_plain([program("ostrel")] + SHOW_PID, self.env(DBFILE=self.path("no/such/dir/db")))
        self.assertEqual(result.returncode, 100)
        self.assertIn("ostrel: Can't open database: unable to open database file. "
                      "Use the DBFILE environment variable! Terminating.\n", result.stderr.decode())

    def test_new_file_without_tables(self):
        path = self.path("empty.db")
        result = self.run_plain([program("ostrel")] + SHOW_PID, self.env(DBFILE=path))
        self.assertEqual(result.returncode, 100)
        self.assertIn("ostrel: Error querying db: no such table: verified\n", result.stderr.decode())
        self.assertTrue(os.path.exists(path))

    def test_readonly_directory(self):
        os.chmod(self.workdir, 0o500)
        self.addCleanup(os.chmod, self.workdir, 0o700)
        if os.access(self.workdir, os.W_OK):
            # root ignores permissions; a file under /proc cannot be created either
            path = "/proc/ostrel-test.db"
        else:
            path = self.path("new.db")
        result = self.run_plain([program("ostrel")] + SHOW_PID, self.env(DBFILE=path))
        self.assertEqual(result.returncode, 100)
        self.assertIn("ostrel: Can't open database:", result.stderr.decode())


class VerifiedRoad(OstrelCase):
    def setUp(self):
        super().setUp()
        self.query("INSERT INTO verified (ip, ts) VALUES ('192.0.2.7', '2000-01-01 00:00:00')")
        self.query("INSERT INTO verified (ip, ts) VALUES ('192.0.2.7', '2000-01-01 00:00:00')")

    def test_refresh_close_and_exec(self):
        proc = self.start([program("ostrel")] + SHOW_PID, self.env(GREETDELAY="100000"))
        self.assertEqual(proc.recv_line(), f"child pid {proc.p.pid}\n".encode())
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(proc.stderr(), (
            "ostrel: State: CHECK-OPERATION\n"
            "ostrel: State: CHECK-VERIFIED-SERVER\n"
            "ostrel: Query: 'SELECT ip FROM verified WHERE ip = '192.0.2.7''\n"
            "ostrel: Query-AddrInVerified: 192.0.2.7 found amidst verified servers\n"
            "ostrel: Query-AddrInVerified: 192.0.2.7 found amidst verified servers\n"
            "ostrel: Address '192.0.2.7' is recognized as a verified server, updating timestamp...\n"
            "ostrel: Query: 'UPDATE verified SET ts = DATETIME('now') WHERE ip = '192.0.2.7''\n"
            "ostrel: decision=verified client=192.0.2.7 key=192.0.2.7\n"))
        stamps = self.query("SELECT ts > DATETIME('now', '-1 minute') FROM verified")
        self.assertEqual(stamps, [(1,), (1,)])

    def test_missing_child_is_logged_at_level_2(self):
        result = self.run_plain([program("ostrel"), "/nonexistent"], self.env(LOGTHRESHOLD="2"))
        self.assertEqual(result.returncode, 100)
        self.assertEqual(result.stderr, b"ostrel: Unable to run /nonexistent: No such file or directory. Terminating\n")


class ThirdRoad(OstrelCase):
    def test_missing_child_fails_in_the_fork_and_parent_ends_at_first_read(self):
        proc = self.start([program("ostrel"), "/nonexistent"], self.env())
        self.assertEqual(proc.wait(), 100)
        err = proc.stderr()
        self.assertIn("ostrel: State: VERIF-NEW-PENDING\n", err)
        self.assertIn("ostrel: Unable to run /nonexistent: No such file or directory. Terminating\n", err)
        self.assertIn("ostrel: Client '192.0.2.7' dropped the connection.\n", err)
        self.assertIn("ostrel: Child exited (1) status 100.\n", err)

    def test_exec_failure_is_one_line_with_ostrels_pid_and_the_exec_error(self):
        # The child shares ostrel's memory until it execs: its line is made
        # before the start, the error text after the exec failed.
        not_executable = self.write_file("plain", "220 hi\n")
        no_format = self.write_file("text", "220 hi\n")
        os.chmod(no_format, 0o755)
        for path, why in [("/nonexistent", "No such file or directory"), (not_executable, "Permission denied"),
                          (no_format, "Exec format error")]:
            with self.subTest(why=why):
                proc = self.start([program("ostrel"), path], self.env(LOGPID=""))
                self.assertEqual(proc.wait(), 100)
                err = proc.stderr()
                self.assertEqual(err.count(f"({proc.p.pid}) ostrel: Unable to run {path}: {why}. Terminating\n"), 1)
                self.assertIn(f"({proc.p.pid}) ostrel: Child exited (1) status 100.\n", err)

    def test_server_program_gets_the_signal_mask_and_dispositions_of_a_direct_start(self):
        script = self.write_file("signals.sh", "#!/bin/sh\nprintf '220 %s\\r\\n' \"$(grep -E '^Sig(Blk|Ign)' "
                                 "/proc/$$/status | tr '\\n\\t' '  ')\"\ncat >/dev/null\n")
        os.chmod(script, 0o755)
        lines = []
        for greylist in [None, ""]:
            proc = self.start([program("ostrel"), script], self.env(GREYLIST=greylist))
            lines.append(proc.recv_line())
            proc.shut_write()
            proc.wait()
        self.assertRegex(lines[0], rb"^220 SigBlk: 0+ SigIgn: [0-9a-f]+ \r\n$")
        self.assertEqual(lines[1], lines[0])

    def test_child_gets_its_arguments_and_the_environment(self):
        script = self.write_file("child.sh", "#!/bin/sh\nprintf '220 %s %s %s\\r\\n' \"$0\" \"$1\" \"$DBFILE\"\ncat >/dev/null\n")
        os.chmod(script, 0o755)
        proc = self.start([program("ostrel"), script, "one"], self.env())
        self.assertEqual(proc.recv_line(), f"220 {script} one {self.db}\r\n".encode())
        proc.shut_write()
        self.assertEqual(proc.wait(), 100)


class Signals(OstrelCase):
    def test_alarm_ends_the_process_through_the_exit_handler(self):
        proc = self.ostrel(["greet 220 hi\\r\\n", "silent"])
        proc.recv_line()
        proc.p.send_signal(14)
        self.assertEqual(proc.wait(), 100)
        err = proc.stderr()
        self.assertIn("ostrel: Big timeout reached from '192.0.2.7'!\n", err)

    def test_sigpipe_names_the_client(self):
        proc = self.ostrel(["greet 220 hi\\r\\n", "silent"])
        proc.recv_line()
        proc.p.send_signal(13)
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Client '192.0.2.7' closed connection prematurely.\n", proc.stderr())


class BusyDatabase(OstrelCase):
    """A database held locked by another connection (rollback journal, so that
    readers wait too)."""

    def setUp(self):
        super().setUp()
        self.db = rollback_database(self.path("rollback.db"))
        self.locker = sqlite3.connect(self.db, isolation_level=None)
        self.locker.execute("BEGIN EXCLUSIVE")
        self.addCleanup(self.locker.close)

    def released_while_waiting(self):
        """ostrel started on the locked database, the lock released once it waits; its log."""
        proc = self.start([program("ostrel")] + SHOW_PID, self.env(GREYLIST=""))
        proc.wait_for_log("Trying again in", timeout=20)
        self.locker.execute("COMMIT")
        proc.recv_until(b"child pid")
        proc.shut_write()
        proc.wait()
        return proc.stderr()

    def test_waits_while_locked_then_goes_on(self):
        err = self.released_while_waiting()
        self.assertIn("ostrel: Ouch! Database locked (0th time).\n", err)
        self.assertRegex(err, r"ostrel: Trying again in (1\d|2\d) millisecs\.\n")

    def test_the_verified_lookup_is_the_first_to_wait(self):
        err = self.released_while_waiting()
        self.assertLess(err.index("ostrel: Query: 'SELECT ip FROM verified WHERE ip = '192.0.2.7''\n"),
                        err.index("ostrel: Ouch! Database locked (0th time).\n"), err)
        self.assertEqual(err.count("(0th time)"), 1, err)

    def test_lock_that_outlasts_the_handler(self):
        env = self.env()
        env.update(faketime_env())
        env["FAKETIME"] = "+0 x2000"
        result = self.run_plain([program("ostrel")] + SHOW_PID, env, timeout=120)
        self.assertEqual(result.returncode, 100)
        err = result.stderr.decode()
        self.assertIn("ostrel: Ouch! Database locked (30th time).\n", err)
        self.assertNotIn("(31th time)", err)
        self.assertIn("ostrel: Error querying db: database is locked\n", err)


class ConnectionLimitSettings(OstrelCase):
    """GREYLIST_MAXCONN and GREYLIST_RUNDIR that cannot work end the connection
    before anything reaches the client; a bad limit ends the verified road too."""

    def test_unusable_settings_are_refused(self):
        with sqlite3.connect(self.db) as conn:
            conn.execute("INSERT INTO verified VALUES ('192.0.2.8', DATETIME('now'))")
        plain, missing = self.write_file("plain", ""), self.path("missing")
        slots = "ostrel: Can't keep connection slots in GREYLIST_RUNDIR '{}': {}. Terminating.\n"
        for value, directory, addr, message in [
                *[(value, self.workdir, addr, f"ostrel: GREYLIST_MAXCONN must be a number from 1 to 1000, not "
                                              f"'{value}'. Terminating.\n")
                  for value, addr in [("0", "192.0.2.7"), ("1001", "192.0.2.8"), (" 2", "192.0.2.7"),
                                      ("", "192.0.2.8")]],
                ("2", missing, "192.0.2.7", slots.format(missing, "No such file or directory")),
                ("2", plain + "/run", "192.0.2.7", slots.format(plain + "/run", "Not a directory")),
                ("2", missing, "192.0.2.8", None),  # the verified road takes no slot
                (None, missing, "192.0.2.7", None)]:  # unset: the directory is never looked at
            result = self.run_plain([program("ostrel")] + SHOW_PID,
                                    self.env(TCPREMOTEIP=addr, LOGTHRESHOLD="2", GREYLIST_MAXCONN=value,
                                             GREYLIST_RUNDIR=directory))
            if message:
                self.assertEqual((result.returncode, result.stdout, result.stderr.decode()), (100, b"", message))
            else:
                self.assertEqual((result.stdout[:10], result.stderr), (b"child pid ", b""))
