"""ostrelctl check as the chain's user (nobody) with the chain's environment:
a sound set-up passes, and each misconfiguration, made one at a time, fails
its own item alone. Real parts: an SQLite file, a throwaway PostgreSQL
cluster, certificates made by openssl, and Debian's own exim configuration
asked with `exim4 -bP` through ostrel-exim's trust check."""

import grp
import os
import pwd
import re
import shutil
import sqlite3
import subprocess

from harness import WorkdirCase, program
from pgcluster import ROLE, PgCluster
from realparts import debian_exim_config, init_db
from tlsparts import make_certificate

NOBODY = pwd.getpwnam("nobody").pw_uid
NOGROUP = grp.getgrnam("nogroup").gr_gid
LINE = re.compile(r"^(ok|FAILED|skipped): ([a-z-]+): ")
ITEMS = ["database", "suspicion", "host-names", "greetdelay", "tls", "client-key", "policy", "server", "exim-trust"]
RULES = "# a client without a name, one that talks first\n10 r ^unknown$\n5 b greetdelay\n"


def run_check(args, env, as_nobody=True):
    drop = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOGROUP}", "--clear-groups"] if as_nobody else []
    return subprocess.run(drop + [args[0], "check"] + args[1:], env=env, capture_output=True, text=True, timeout=120)


def verdicts(stdout):
    """{item: (verdict, line)}, each line of the output of that form."""
    found = {}
    for line in stdout.splitlines():
        match = LINE.match(line)
        assert match, f"not a check line: {line!r}"
        found[match.group(2)] = (match.group(1), line)
    return found


class CheckSetUp(WorkdirCase):

    def setUp(self):
        super().setUp()
        os.chmod(self.workdir, 0o755)
        self.bindir = self.path("bin")
        os.mkdir(self.bindir)
        for name in ("ostrelctl", "ostrel-exim"):
            shutil.copy(program(name), self.bindir)
        self.state = self.path("state")
        self.db = os.path.join(self.state, "ostrel.db")
        self.rules = self.path("suspicion")
        self.cert, self.key = make_certificate(self.workdir)
        _, self.other_key = make_certificate(self.workdir, name="other")
        for key in (self.key, self.other_key):
            os.chmod(key, 0o644)
        self.trusted = debian_exim_config(self.path("trusted"), macros="MAIN_TRUSTED_USERS = uucp : nobody\n")
        self.untrusted = debian_exim_config(self.path("debian"))

    def sound_state(self):
        """A fresh database in a directory of the user's, as /var/lib/ostrel
        is, and the rules."""
        shutil.rmtree(self.state, ignore_errors=True)
        os.mkdir(self.state)
        init_db(self.db)
        for entry in [self.state, self.db]:
            os.chown(entry, NOBODY, NOGROUP)
        with open(self.rules, "w") as f:
            f.write(RULES)

    def env(self, **changes):
        env = {"PATH": "/usr/bin:/bin", "DBFILE": self.db, "SUSPICION": self.rules, "GREETDELAY": "3000",
               "TLSCERT": self.cert, "TLSKEY": self.key, "GREYLIST_CIDR4": "24", "GREYLIST_CIDR6": "64"}
        env.update(changes)
        return {name: value for name, value in env.items() if value is not None}

    def args(self, options=(), child=None, conf=None):
        return [os.path.join(self.bindir, "ostrelctl"), *options,
                child or os.path.join(self.bindir, "ostrel-exim"), "-C", conf or self.trusted, "-odq"]

    def sql(self, statement):
        with sqlite3.connect(self.db) as conn:
            conn.execute(statement)

    def test_each_misconfiguration_fails_its_item_alone(self):
        self.sound_state()
        good = run_check(self.args(), self.env())
        self.assertEqual(good.returncode, 0, good.stdout + good.stderr)
        self.assertEqual({item: found[0] for item, found in verdicts(good.stdout).items()},
                         {item: "ok" for item in ITEMS})
        self.assertIn("ok: exim-trust: /usr/sbin/exim4 trusts user 'nobody' (named by trusted_users)", good.stdout)
        self.assertEqual(self.rows(), 0, "the write check left a row")

        cases = [
            ("missing table", lambda: self.sql("DROP TABLE pending"), {}, {},
             "database", f"'{self.db}' has no table 'pending': run ostrelctl init-db {self.db}"),
            ("read-only file", lambda: os.chmod(self.db, 0o444), {}, {},
             "database", "attempt to write a readonly database"),
            ("old schema", lambda: self.sql("PRAGMA user_version = 0"), {}, {},
             "database", "has schema version 0, this ostrel's is "),
            ("bad rules", lambda: self.append_rule("7 x nothing\n"), {}, {},
             "suspicion", "has 1 faulty line, first line 4: unknown kind 'x'"),
            ("key of another certificate", None, {"TLSKEY": self.other_key}, {},
             "tls", f"the private key '{self.other_key}' does not match the certificate '{self.cert}'"),
            ("bad network", None, {"GREYLIST_CIDR6": "129"}, {},
             "client-key", "GREYLIST_CIDR6 must be a prefix length from 16 to 128, not '129'"),
            ("minimum delay past the pending age", None, {"GREYLIST_MINDELAY": "90000"}, {},
             "policy", "GREYLIST_MINDELAY"),
            ("missing server program", None, {}, {"child": self.path("bin/ostrel-exim4")},
             "server", "No such file or directory"),
            ("exim does not trust nobody", None, {}, {"conf": self.untrusted},
             "exim-trust", "user 'nobody' is not trusted by /usr/sbin/exim4"),
            ("host names looked up by nobody", None, {}, {"options": ["--no-host-lookups"]},
             "host-names", "line 2 is a rule of kind r, but tcpserver looks up no host names (-H)"),
            ("greetdelay without its trap", None, {"GREETDELAY": None}, {},
             "greetdelay", "line 3 asks for greetdelay, but GREETDELAY is unset or 0"),
        ]
        for name, spoil, env, args, item, text in cases:
            with self.subTest(name):
                self.sound_state()
                if spoil:
                    spoil()
                result = run_check(self.args(**args), self.env(**env))
                found = verdicts(result.stdout)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertEqual([i for i, (verdict, _) in found.items() if verdict == "FAILED"], [item], result.stdout)
                self.assertIn(text, found[item][1])

    def append_rule(self, line):
        with open(self.rules, "a") as f:
            f.write(line)

    def rows(self):
        with sqlite3.connect(self.db) as conn:
            return sum(conn.execute(f"SELECT count(*) FROM {t}").fetchone()[0] for t in ("verified", "pending"))

    def test_without_settings_items_are_skipped_and_usage_is_status_2(self):
        self.sound_state()
        result = run_check([os.path.join(self.bindir, "ostrelctl")], {"DBFILE": self.db}, as_nobody=False)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual([line.split(":")[0] for line in result.stdout.splitlines()],
                         ["ok", "skipped", "skipped", "skipped", "skipped", "ok", "ok", "skipped", "skipped"])
        bad = run_check([os.path.join(self.bindir, "ostrelctl"), "--no-such-option"], {}, as_nobody=False)
        self.assertEqual((bad.returncode, bad.stdout), (2, ""))


class CheckPostgres(WorkdirCase):
    """The database item on PostgreSQL, as ostrel's own role."""

    @classmethod
    def setUpClass(cls):
        cls.cluster = PgCluster().start()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def check_database(self, name):
        result = run_check([program("ostrelctl")], {"DBFILE": self.cluster.uri(name)}, as_nobody=False)
        return result.returncode, verdicts(result.stdout)["database"][1]

    def test_sound_empty_old_and_read_only_databases(self):
        sound = self.cluster.new_database()
        self.addCleanup(self.cluster.drop_database, sound)
        status, line = self.check_database(sound)
        self.assertEqual(status, 0, line)
        self.assertRegex(line, r"^ok: database: .* has both tables, schema version \d+, and takes writes$")
        self.assertEqual(self.cluster.query(sound, "SELECT (SELECT count(*) FROM verified) + "
                                                   "(SELECT count(*) FROM pending)"), [(0,)])

        empty = self.cluster.new_database_without_schema()
        self.addCleanup(self.cluster.drop_database, empty)
        self.assertRegex(self.check_database(empty)[1], r"^FAILED: database: .* has no table 'verified': run "
                                                         r"ostrelctl init-db URI$")

        self.cluster.query(sound, "UPDATE schema_version SET version = 0")
        self.assertRegex(self.check_database(sound)[1], r"has schema version 0, this ostrel's is \d+: run")
        self.cluster.query(sound, "UPDATE schema_version SET version = (SELECT max(version) + 99 FROM schema_version)")
        self.cluster.query(sound, f"REVOKE INSERT ON pending FROM {ROLE}")
        status, line = self.check_database(sound)
        self.assertEqual(status, 1)
        self.assertRegex(line, r"^FAILED: database: .* is not writable for this user, so ostrel could record "
                               r"nothing: permission denied for table pending$")
