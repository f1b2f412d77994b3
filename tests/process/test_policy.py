"""The greylisting policy's settings through the real binaries: the minimum
retry delay and the reply in ostrel, the cleanups' ages in ostrelctl, and
ostrelctl allow's plain and permanent rows. The clock is moved with
libfaketime's offsets, so delays and ages are exact without waiting."""

import os
import re
import subprocess

from harness import (EHLO_REPLY, FAKETIME_LIB, GREETING, OK, TEMPFAIL, OstrelCase, program, program_env,
                     skip_if_preloaded)

REPLY = "451 4.7.1 Greylisted, please try again later"


def offset(seconds):
    """libfaketime moving the clock this far ahead of the real one."""
    return skip_if_preloaded(
        {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": f"+{seconds}s", "FAKETIME_DONT_RESET": "1"} if seconds else {})


class PolicyCase(OstrelCase):
    def outcome(self, later=0, **env):
        """One connection up to RCPT TO, `later` seconds ahead: 'passed',
        'refused' (either built-in reply) or the reply, and ostrel's lines."""
        proc = self.ostrel([GREETING, EHLO_REPLY, OK, "reply 250 Accepted\\r\\n", "silent"], **offset(later), **env)
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        reply = proc.recv_line()
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        got = "passed" if reply == b"250 Accepted\r\n" else "refused" if reply in TEMPFAIL else reply.decode()
        return got, proc.stderr()

    def ctl(self, *args, later=0, **env):
        return subprocess.run([program("ostrelctl"), *args], capture_output=True, text=True,
                              env=program_env({"DBFILE": self.db}, offset(later), env))


class MinimumDelay(PolicyCase):
    def test_early_retry_is_refused_uncounted_until_the_delay_has_passed(self):
        settings = {"GREYLIST_MINDELAY": "300", "GREYLIST_REPLY": REPLY}
        self.assertEqual(self.outcome(**settings)[0], REPLY + "\r\n")
        (first,), = self.query("SELECT tsfirstdelivery FROM pending")
        got, err = self.outcome(later=100, **settings)
        self.assertEqual(got, REPLY + "\r\n")
        wait = re.search(r"ostrel: Client '192\.0\.2\.7' retried (\d+) seconds after its first attempt, before the "
                         r"minimum delay of 300; (\d+) seconds still to wait\.\n", err)
        self.assertEqual(int(wait.group(1)) + int(wait.group(2)), 300)
        self.assertIn("ostrel: Query: UPDATE pending SET tslastdelivery=DATETIME('now') WHERE ip='192.0.2.7' AND "
                      "envsender='s@example.org' AND envrecipient='r@example.org'\n", err)
        self.assertIn(f" attempts=1 required=1 age={wait.group(1)} wait={wait.group(2)}\n", err)
        (attempts, first_again, last), = self.query("SELECT attempts, tsfirstdelivery, tslastdelivery FROM pending")
        self.assertEqual((attempts, first_again), (1, first))
        self.assertGreater(last, first)
        got, err = self.outcome(later=400, **settings)  # decided as without the setting
        self.assertEqual((got, self.verified()), ("passed", ["192.0.2.7"]))
        self.assertIn(" decision=promoted ", err)

    def test_rules_and_the_delay(self):
        # (rule line, outcome of a retry 10 s after the first attempt, attempts then recorded)
        for rule, expected, rows in [("0 v SUSPECT", "passed", []),        # a rule requiring none: at once
                                     ("2 v SUSPECT", "refused", [(1,)]),   # too early: refused, not counted
                                     ("1 v OTHER", "refused", [(1,)])]:    # no rule matched: too early too
            with self.subTest(rule=rule):
                self.query("DELETE FROM pending")
                self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.org', "
                           "DATETIME('now'), DATETIME('now'), 1)")
                rules = self.write_file("rules", rule + "\n")
                got, _ = self.outcome(later=10, GREYLIST_MINDELAY="300", SUSPICION=rules, SUSPECT="")
                self.assertEqual((got, self.query("SELECT attempts FROM pending")), (expected, rows))

    def test_bad_values_end_ostrel_with_one_line_and_limits_are_taken(self):
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
        # at the limits: taken
        cases += [({"GREYLIST_MINDELAY": "86400", "GREYLIST_PENDING_HOURS": "87600"}, None),
                  ({"GREYLIST_MINDELAY": "3599", "GREYLIST_PENDING_HOURS": "1", "GREYLIST_VERIFIED_HOURS": "1"}, None),
                  ({"GREYLIST_REPLY": "451"}, None), ({"GREYLIST_REPLY": "421 " + "x" * 1017}, None)]
        self.ctl("allow", "192.0.2.1")
        for settings, line in cases:
            with self.subTest(settings=settings):
                if line is None:  # a verified client is served once the settings are read
                    result = self.run_plain([program("ostrel"), "/bin/echo", "served"],
                                            self.env(TCPREMOTEIP="192.0.2.1", **settings))
                    self.assertEqual((result.returncode, result.stdout), (0, b"served\n"), result.stderr)
                    continue
                result = self.run_plain([program("ostrel"), "/bin/echo", "served"],
                                        self.env(LOGTHRESHOLD="2", DBFILE=self.path("none.db"), **settings))
                self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                                 (100, b"", f"ostrel: {line}. Terminating.\n"))
        self.assertFalse(os.path.exists(self.path("none.db")))


class Ages(PolicyCase):
    def test_cleanup_and_stats_take_the_ages(self):
        # (seconds ahead, settings, stale and deleted: pending, verified)
        for later, settings, pending, verified in [(2 * 3600, {}, 0, 0),
                                                   (2 * 3600, {"GREYLIST_PENDING_HOURS": "1"}, 1, 0),
                                                   (19 * 3600, {"GREYLIST_PENDING_HOURS": "20",
                                                                "GREYLIST_VERIFIED_HOURS": "18"}, 0, 1),
                                                   (481 * 3600, {}, 1, 1)]:
            with self.subTest(later=later, settings=settings):
                self.query("DELETE FROM pending")
                self.query("DELETE FROM verified")
                self.query("INSERT INTO pending VALUES ('192.0.2.7', 's', 'r', DATETIME('now'), DATETIME('now'), 1)")
                self.query("INSERT INTO verified VALUES ('192.0.2.8', DATETIME('now'))")
                stats = self.ctl("stats", later=later, **settings).stdout
                self.assertIn(f"the next cleanup deletes {verified} (not seen for "
                              f"{settings.get('GREYLIST_VERIFIED_HOURS', '480')} hours)", stats)
                self.assertIn(f"the next cleanup deletes {pending} (first seen over "
                              f"{settings.get('GREYLIST_PENDING_HOURS', '18')} hours ago)", stats)
                self.assertEqual(self.ctl("cleanup", later=later, **settings).stdout,
                                 f"cleanup: {pending} pending and {verified} verified rows deleted\n")
        for command in ("stats", "cleanup"):
            result = self.ctl(command, GREYLIST_VERIFIED_HOURS="0")
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (2, "", "ostrelctl: GREYLIST_VERIFIED_HOURS must be a number of hours from 1 to 87600, "
                                     "not '0'\n"))


class Allows(PolicyCase):
    """Written for both engines: the PostgreSQL suite runs them again with
    owner_db() and downgrade() of its own. Ages are set by writing an old ts,
    since PostgreSQL's clock is the server's."""

    def owner_db(self):
        """The location init-db runs on, as the schema's owner."""
        return self.db

    def downgrade(self):
        """The schema as init-db made it before permanent rows."""
        self.query("DROP TRIGGER verified_permanent_kept")
        self.query("PRAGMA user_version = 1")

    def ts(self, ip):
        return [row[0] for row in self.query("SELECT ts FROM verified WHERE ip = ?", ip)]

    def verified_road(self, addr):
        proc = self.ostrel(["silent"], TCPREMOTEIP=addr)
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertIn("decision=verified", proc.stderr())
        return proc.stderr()

    def test_allowed_rows_expire_and_permanent_ones_last_until_forgotten(self):
        self.assertEqual(self.ctl("allow", "192.0.2.1").returncode, 0)
        result = self.ctl("allow", "--permanent", "192.0.2.7")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, "192.0.2.7 is now a permanent verified server; 0 pending rows removed\n", ""))
        # ostrel's refresh, its text unchanged, and a plain allow keep it permanent
        self.assertIn("ostrel: Query: 'UPDATE verified SET ts = DATETIME('now') WHERE ip = '192.0.2.7''\n",
                      self.verified_road("192.0.2.7"))
        self.assertEqual(self.ctl("allow", "192.0.2.7").stdout,
                         "192.0.2.7 is still a verified server; 0 pending rows removed\n")
        self.assertEqual(self.ts("192.0.2.7"), ["9999-12-31 23:59:59"])
        self.assertEqual(self.ctl("list", "verified", "--ip", "192.0.2.7", "--tsv").stdout, "192.0.2.7\tpermanent\n")
        stats = self.ctl("stats").stdout
        self.assertRegex(stats, r"verified: 2 rows, oldest 2\S+ \S+, newest 2\S+ \S+;")
        self.assertIn("verified: 1 permanent (allow --permanent), never deleted by a cleanup\n", stats)
        # both aged 21 days: the next cleanup deletes the allowed row alone
        self.query("UPDATE verified SET ts = DATETIME('now', '-504 hours')")
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
        self.verified_road("192.0.2.1")  # ostrel goes on as before
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
        bad = "ostrelctl: GREYLIST_CIDR4 must be a prefix length from 8 to 32, not '64'\n"
        for key, env, status, warning in [("192.0.2.0/24", {}, 0, unset),
                                          ("192.0.2.0/24", {"GREYLIST_CIDR4": "16"}, 0, other),
                                          ("192.0.2.0/24", {"GREYLIST_CIDR4": "24"}, 0, ""),
                                          ("2001:db8::/64", {"GREYLIST_CIDR4": "64"}, 2, bad),
                                          ("2001:db8::/64", {"GREYLIST_CIDR4": "24"}, 0, unset6),
                                          ("192.0.2.9", {}, 0, "")]:
            with self.subTest(key=key, env=env):
                result = self.ctl("allow", key, **env)
                self.assertEqual((result.returncode, result.stderr), (status, warning))
        self.assertEqual(sorted(self.verified()), ["192.0.2.0/24", "192.0.2.9", "2001:db8::/64"])
        # an address also finds its network's row, as the settings here key it
        for env, rows in [({}, ["192.0.2.9"]), ({"GREYLIST_CIDR4": "24"}, ["192.0.2.0/24", "192.0.2.9"])]:
            with self.subTest(env=env):
                listed = self.ctl("list", "verified", "--ip", "192.0.2.9", "--tsv", **env).stdout
                self.assertEqual(sorted(line.split("\t")[0] for line in listed.splitlines()), rows)
