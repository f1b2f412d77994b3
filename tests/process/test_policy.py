"""The greylisting policy's settings through the real binaries: the minimum
retry delay and the reply in ostrel, the cleanups' ages in ostrel and
ostrelctl. The clock is moved with libfaketime's offsets, so the delays and
ages are exact without waiting for them."""

import re
import subprocess

from harness import EHLO_REPLY, FAKETIME_LIB, GREETING, OK, TEMPFAIL, OstrelCase, program, program_env

ACCEPTED = "reply 250 Accepted\\r\\n"
SHOW_ENV = ["/bin/sh", "-c", "echo served; cat >/dev/null"]
REPLY = "451 4.7.1 Greylisted, please try again later"


def offset(seconds):
    """libfaketime moving the clock this far ahead of the real one."""
    return {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+{seconds}s", "FAKETIME_DONT_RESET": "1"}


class PolicyCase(OstrelCase):
    def attempt(self, later=0, **env):
        """One connection up to RCPT TO, `later` seconds ahead; returns the process."""
        extra = offset(later) if later else {}
        proc = self.ostrel([GREETING, EHLO_REPLY, OK, ACCEPTED, "reply 354 go\\r\\n", "silent"], **extra, **env)
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        return proc

    def outcome(self, later=0, **env):
        """What the client got ('refused' with either built-in reply), and ostrel's lines."""
        proc = self.attempt(later, **env)
        reply = proc.recv_line()
        if reply == b"250 Accepted\r\n":
            proc.shut_write()
            got = "passed"
        else:
            got = "refused" if reply in TEMPFAIL else reply.decode()
            proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        return got, proc.stderr()

    def row(self):
        return self.query("SELECT attempts, tsfirstdelivery, tslastdelivery FROM pending")


class MinimumDelay(PolicyCase):
    def test_early_retries_are_refused_uncounted_until_the_delay_has_passed(self):
        delay = {"GREYLIST_MINDELAY": "300"}
        self.assertEqual(self.outcome(**delay)[0], "refused")
        first = self.row()[0][1]
        got, err = self.outcome(later=100, **delay)
        self.assertEqual(got, "refused")
        wait = re.search(r"ostrel: Client '192\.0\.2\.7' retried (\d+) seconds after its first attempt, before the "
                         r"minimum delay of 300; (\d+) seconds still to wait\.\n", err)
        self.assertTrue(wait, err)
        self.assertEqual(int(wait.group(1)) + int(wait.group(2)), 300)
        self.assertIn("ostrel: Query: UPDATE pending SET tslastdelivery=DATETIME('now') WHERE ip='192.0.2.7' AND "
                      "envsender='s@example.org' AND envrecipient='r@example.org'\n", err)
        self.assertIn(f" attempts=1 required=1 age={wait.group(1)} wait={wait.group(2)}\n", err)
        (attempts, first_again, last), = self.row()
        self.assertEqual((attempts, first_again), (1, first))
        self.assertGreater(last, first)
        # once the delay has passed, decided as without it: promoted
        got, err = self.outcome(later=400, **delay)
        self.assertEqual(got, "passed")
        self.assertIn(" decision=promoted ", err)
        self.assertNotIn("still to wait", err)
        self.assertEqual((self.row(), self.verified()), ([], ["192.0.2.7"]))

    def test_rules_and_the_delay(self):
        # (rule line, outcome of a retry 10 s after the first attempt, attempts then recorded)
        cases = [("0 v SUSPECT", "passed", []),       # a rule requiring none lets the client through at once
                 ("2 v SUSPECT", "refused", [(1,)]),  # too early: refused and not counted
                 ("1 v OTHER", "refused", [(1,)])]    # no rule matched: too early all the same
        for rule, expected, rows in cases:
            with self.subTest(rule=rule):
                self.query("DELETE FROM pending")
                self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.org', "
                           "DATETIME('now'), DATETIME('now'), 1)")
                rules = self.write_file("rules", rule + "\n")
                got, _ = self.outcome(later=10, GREYLIST_MINDELAY="300", SUSPICION=rules, SUSPECT="")
                self.assertEqual(got, expected)
                self.assertEqual(self.query("SELECT attempts FROM pending"), rows)

    def test_first_attempt_and_zero_delay_are_as_without_the_setting(self):
        for value in ("300", "0"):
            with self.subTest(value=value):
                self.query("DELETE FROM pending")
                self.query("DELETE FROM verified")
                got, err = self.outcome(GREYLIST_MINDELAY=value)
                self.assertEqual(got, "refused")
                self.assertIn("ostrel: State: NEW-ENTRY\n", err)
                self.assertEqual(self.outcome(later=1 if value == "0" else 301, GREYLIST_MINDELAY=value)[0],
                                 "passed")


class Reply(PolicyCase):
    def test_the_admins_reply_replaces_the_random_ones(self):
        for later in (0, 100):  # a first attempt, then a retry before the minimum delay
            with self.subTest(later=later):
                proc = self.attempt(later, GREYLIST_REPLY=REPLY, GREYLIST_MINDELAY="300")
                self.assertEqual(proc.recv_all(), (REPLY + "\r\n").encode())
                self.assertEqual(proc.wait(), 0)


class BadValues(PolicyCase):
    def test_each_bad_value_ends_ostrel_with_one_line(self):
        seconds = "GREYLIST_MINDELAY must be a number of seconds from 0 to 86400, not '{}'"
        hours = "{} must be a number of hours from 1 to 87600, not '{}'"
        reply = ("GREYLIST_REPLY must be one temporary-failure reply line (a code 4xx, then a blank or nothing; "
                 "printable ASCII; at most 1021 characters)")
        cases = [({"GREYLIST_MINDELAY": v}, seconds.format(v)) for v in ("", "x", "-1", "+5", "300s", "86401",
                                                                          "99999999999")]
        cases += [({name: v}, hours.format(name, v)) for name in ("GREYLIST_PENDING_HOURS", "GREYLIST_VERIFIED_HOURS")
                  for v in ("0", "87601", "18h", " 18")]
        cases += [({"GREYLIST_MINDELAY": "3600", "GREYLIST_PENDING_HOURS": "1"},
                   "GREYLIST_MINDELAY of 3600 seconds does not end before pending triples are forgotten "
                   "(GREYLIST_PENDING_HOURS, 1 hours)")]
        cases += [({"GREYLIST_REPLY": v}, reply) for v in ("", "45", "250 OK", "551 no", "4x1 no", "451-more",
                                                           "451 tab\there", "451 cr\r", "451 " + "x" * 1018)]
        for settings, line in cases:
            with self.subTest(settings=settings):
                result = self.run_plain([program("ostrel")] + SHOW_ENV,
                                        self.env(LOGTHRESHOLD="2", DBFILE=self.path("none.db"), **settings))
                self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                                 (100, b"", f"ostrel: {line}. Terminating.\n"))
        self.assertFalse(__import__("os").path.exists(self.path("none.db")))

    def test_values_at_the_limits_are_taken(self):
        for settings in ({"GREYLIST_MINDELAY": "86400", "GREYLIST_PENDING_HOURS": "87600"},
                         {"GREYLIST_MINDELAY": "3599", "GREYLIST_PENDING_HOURS": "1", "GREYLIST_VERIFIED_HOURS": "1"},
                         {"GREYLIST_REPLY": "451"}, {"GREYLIST_REPLY": "421 " + "x" * 1017}):
            with self.subTest(settings=settings):
                self.query("DELETE FROM pending")
                proc = self.attempt(**settings)
                self.assertTrue(proc.recv_all().startswith(b"4"))
                self.assertEqual(proc.wait(), 0)


class Ages(PolicyCase):
    def ostrelctl(self, *args, later=0, **env):
        extra = offset(later) if later else {}
        return subprocess.run([program("ostrelctl"), "--db", self.db, *args], capture_output=True, text=True,
                              env=program_env(extra, env))

    def test_cleanup_and_stats_take_the_ages(self):
        # (seconds ahead, settings, stale/deleted pending, stale/deleted verified)
        cases = [(2 * 3600, {}, 0, 0),
                 (2 * 3600, {"GREYLIST_PENDING_HOURS": "1"}, 1, 0),
                 (19 * 3600, {}, 1, 0),
                 (19 * 3600, {"GREYLIST_PENDING_HOURS": "20", "GREYLIST_VERIFIED_HOURS": "18"}, 0, 1),
                 (481 * 3600, {}, 1, 1)]
        for later, settings, pending, verified in cases:
            with self.subTest(later=later, settings=settings):
                self.query("DELETE FROM pending")
                self.query("DELETE FROM verified")
                self.query("INSERT INTO pending VALUES ('192.0.2.7', 's', 'r', DATETIME('now'), DATETIME('now'), 1)")
                self.query("INSERT INTO verified VALUES ('192.0.2.8', DATETIME('now'))")
                stats = self.ostrelctl("stats", later=later, **settings)
                self.assertEqual(stats.returncode, 0, stats.stderr)
                pending_h = settings.get("GREYLIST_PENDING_HOURS", "18")
                verified_h = settings.get("GREYLIST_VERIFIED_HOURS", "480")
                self.assertIn(f"the next cleanup deletes {verified} (not seen for {verified_h} hours)", stats.stdout)
                self.assertIn(f"the next cleanup deletes {pending} (first seen over {pending_h} hours ago)",
                              stats.stdout)
                cleanup = self.ostrelctl("cleanup", later=later, **settings)
                self.assertEqual((cleanup.returncode, cleanup.stdout),
                                 (0, f"cleanup: {pending} pending and {verified} verified rows deleted\n"))

    def test_bad_ages_are_refused_before_the_database(self):
        for name in ("GREYLIST_PENDING_HOURS", "GREYLIST_VERIFIED_HOURS"):
            for command in ("stats", "cleanup"):
                with self.subTest(name=name, command=command):
                    result = self.ostrelctl(command, **{name: "0"})
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (2, "", f"ostrelctl: {name} must be a number of hours from 1 to 87600, "
                                             "not '0'\n"))


class Allows(PolicyCase):
    """ostrelctl allow's rows, plain and permanent, beside ostrel's own
    statements. Written for both engines: the PostgreSQL suite runs them
    again with downgrade() its own. Ages are set by writing an old ts, since
    PostgreSQL's clock is the server's."""

    def ctl(self, *args, **env):
        return subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                              env=program_env({"DBFILE": self.db}, env))

    def ts(self, ip):
        return [row[0] for row in self.query("SELECT ts FROM verified WHERE ip = ?", ip)]

    def owner_db(self):
        """The location init-db runs on, as the schema's owner."""
        return self.db

    def downgrade(self):
        """The schema as init-db made it before permanent rows."""
        self.query("DROP TRIGGER verified_permanent_kept")
        self.query("PRAGMA user_version = 1")

    def test_allowed_rows_expire_and_permanent_ones_last_until_forgotten(self):
        self.assertEqual(self.ctl("allow", "192.0.2.1").returncode, 0)
        result = self.ctl("allow", "--permanent", "192.0.2.7")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, "192.0.2.7 is now a permanent verified server; 0 pending rows removed\n", ""))
        # ostrel's refresh on the verified road, then a plain allow, keep it permanent
        proc = self.ostrel(["silent"], TCPREMOTEIP="192.0.2.7")
        proc.shut_write()
        proc.wait()
        self.assertIn("ostrel: Query: 'UPDATE verified SET ts = DATETIME('now') WHERE ip = '192.0.2.7''\n",
                      proc.stderr())
        self.assertIn("decision=verified", proc.stderr())
        self.assertEqual(self.ctl("allow", "192.0.2.7").stdout,
                         "192.0.2.7 is still a verified server; 0 pending rows removed\n")
        self.assertEqual(self.ts("192.0.2.7"), ["9999-12-31 23:59:59"])
        self.assertEqual(self.ctl("list", "verified", "--ip", "192.0.2.7", "--tsv").stdout, "192.0.2.7\tpermanent\n")
        stats = self.ctl("stats").stdout
        self.assertIn("verified: 2 rows, oldest 2", stats)
        self.assertNotIn("9999", stats)
        self.assertIn("verified: 1 permanent (allow --permanent), never deleted by a cleanup\n", stats)
        # both aged 21 days: the next cleanup deletes the allowed row alone
        self.query("UPDATE verified SET ts = DATETIME('now', '-504 hours') WHERE ip = '192.0.2.1'")
        self.query("UPDATE verified SET ts = DATETIME('now', '-504 hours') WHERE ip = '192.0.2.7'")
        self.assertEqual(self.ctl("cleanup").stdout, "cleanup: 0 pending and 1 verified rows deleted\n")
        self.assertEqual(self.verified(), ["192.0.2.7"])
        self.assertEqual(self.ctl("forget", "192.0.2.7").returncode, 0)
        self.assertEqual(self.verified(), [])

    def test_older_schema_refuses_permanent_until_init_db(self):
        self.downgrade()
        self.ctl("allow", "192.0.2.1")
        result = self.ctl("allow", "--permanent", "192.0.2.7")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "ostrelctl: the database's schema keeps no permanent rows yet; run `ostrelctl "
                                 "init-db` on it first\n"))
        self.assertEqual(self.verified(), ["192.0.2.1"])
        # ostrel goes on as before on the older schema
        proc = self.ostrel(["silent"], TCPREMOTEIP="192.0.2.1")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertIn("decision=verified", proc.stderr())
        upgraded = self.ctl("init-db", self.owner_db())
        self.assertEqual(upgraded.returncode, 0, upgraded.stderr)
        self.assertNotIn("nothing changed", upgraded.stdout)
        self.assertEqual(self.ctl("allow", "--permanent", "192.0.2.7").returncode, 0)
        self.assertEqual(self.ts("192.0.2.7"), ["9999-12-31 23:59:59"])

    def test_networks_and_the_settings_here(self):
        unset = ("ostrelctl: warning: GREYLIST_CIDR4 is not set here; an ostrel without GREYLIST_CIDR4=24 keys "
                 "clients on their addresses and will not match 192.0.2.0/24\n")
        other = ("ostrelctl: warning: GREYLIST_CIDR4 is 16 here; an ostrel without GREYLIST_CIDR4=24 keys clients "
                 "on other networks and will not match 192.0.2.0/24\n")
        unset6 = unset.replace("CIDR4", "CIDR6").replace("=24", "=64").replace("192.0.2.0/24", "2001:db8::/64")
        for key, env, warning in [("192.0.2.0/24", {}, unset), ("192.0.2.0/24", {"GREYLIST_CIDR4": "16"}, other),
                                  ("192.0.2.0/24", {"GREYLIST_CIDR4": "24"}, ""),
                                  ("192.0.2.0/24", {"GREYLIST_CIDR6": "64"}, unset),
                                  ("2001:db8::/64", {"GREYLIST_CIDR4": "64"}, None),
                                  ("2001:db8::/64", {"GREYLIST_CIDR4": "24"}, unset6),
                                  ("192.0.2.9", {}, "")]:
            with self.subTest(key=key, env=env):
                result = self.ctl("allow", key, **env)
                if warning is None:  # a bad setting: refused, nothing done
                    self.assertEqual((result.returncode, result.stderr),
                                     (2, "ostrelctl: GREYLIST_CIDR4 must be a prefix length from 8 to 32, not '64'\n"))
                else:
                    self.assertEqual((result.returncode, result.stderr), (0, warning))
        self.assertEqual(sorted(self.verified()), ["192.0.2.0/24", "192.0.2.9", "2001:db8::/64"])
        # an address also finds its network's row, as the settings here key it
        for env, rows in [({}, ["192.0.2.9"]), ({"GREYLIST_CIDR4": "24"}, ["192.0.2.0/24", "192.0.2.9"])]:
            with self.subTest(env=env):
                listed = self.ctl("list", "verified", "--ip", "192.0.2.9", "--tsv", **env).stdout
                self.assertEqual(sorted(line.split("\t")[0] for line in listed.splitlines()), rows)
