"""The shipped examples, manual pages and installation, so they cannot rot."""

import glob
import os
import re
import shutil
import sqlite3
import subprocess
import tempfile

from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL_RE
from harness import (WorkdirCase, faketime_env, free_port, helper, program, program_env, sanitizer_env,
                     wait_for_text, wait_until)
from pgcluster import PgCluster
from realparts import exim_command, inbox_path, init_db, start_aiosmtpd, swaks

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.path.join(helper("scripted_smtpd"), "..", ".."))


def install_tree(prefix, destdir=""):
    """`cmake --install` of the build with prefix (into DESTDIR destdir);
    gives the installed tree."""
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True,
                   env={**os.environ, "DESTDIR": destdir})
    return destdir + prefix


class RunScripts(WorkdirCase):
    """The installed run scripts with the shipped rules and their own
    settings (only the address, the port, the files and the host name given;
    libfaketime makes their greeting delay short), as root without dropping
    to a user: at the shipped threshold the chain logs each connection's
    decision and the rules the test provokes, no error, each line starting
    with the process id tcpserver named."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="ostrel-installed-")
        os.chmod(cls.prefix, 0o755)
        install_tree(cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def start_run_script(self, name, **env):
        port = free_port()
        db = self.path("greylist.db")
        init_db(db)
        examples = os.path.join(self.prefix, "share", "ostrel", "examples")
        full_env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "OSTREL_USER": "", "ADDR": "127.0.0.1",
                    "PORT": str(port), "DBFILE": db, "SUSPICION": os.path.join(examples, "suspicion.rules"),
                    "LOCALNAME": "mx.test.example", **sanitizer_env(), **faketime_env(),
                    # an immediate retry passes; the shipped minimum delay has a test of its own
                    "GREYLIST_MINDELAY": "0",
                    # libfaketime does not shorten ostrel's poll: the shipped 3 to 6
                    # seconds before each greeting would be waited in full
                    "GREETDELAY": "1", **env}
        self.log = self.path(f"{name}.log")
        with open(self.log, "wb") as log:
            proc = subprocess.Popen([os.path.join(examples, name, "run")], env=full_env, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.terminate)
        wait_for_text(self.log, "tcpserver: status: 0/")
        return port

    def chain_lines(self, connections):
        """The lines of the chain's programs once connections have ended,
        each checked for the process id that tcpserver named for its
        connection (ostrel-exim runs as ostrel's child on the greylisting
        road, with an id of its own); the cleanups that some connections
        run, logged at the shipped threshold too, are left out."""
        wait_for_text(self.log, "tcpserver: end ", timeout=60)
        wait_until(lambda: self.read_log().count("tcpserver: end ") >= connections, "the ends of the connections")
        log = self.read_log()
        pids = set(re.findall(r"^tcpserver: pid (\d+) from ", log, re.M))
        lines = []
        for line in log.splitlines():
            match = re.match(r"(\((\d+)\) )?(ferrow|ostrel|tunwick|ostrel-exim): ", line)
            if match:
                self.assertTrue(match.group(1), line)
                if match.group(3) != "ostrel-exim":
                    self.assertIn(match.group(2), pids, line)
                if not re.search(r": Cleaning up stale (pending|verified) entries\.$", line):
                    lines.append(line)
        return lines

    def chain_messages(self, connections):
        """chain_lines without the process ids, a decision line cut to its
        outcome and client."""
        return [re.sub(r"^(decision=\S+ client=\S+) .*", r"\1", line.split(": ", 1)[1])
                for line in self.chain_lines(connections)]

    def read_log(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def ostrel_exim(self):
        """The run script's server program, with the test's exim configuration."""
        conf = exim_command(self.workdir)[2]
        return f"{os.path.join(self.prefix, 'bin', 'ostrel-exim')} -C {conf}"

    def test_local_chain(self):
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), DNSBL="")
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), r"250 OK id=")
        wait_for_text(inbox_path(self.workdir), "From: s@example.org")
        # the rule for postmaster matches, at level 5: the shipped threshold
        self.assertRegex(swaks(port, "s@example.org", "postmaster@example.net", local="127.0.0.2"), r"250 OK id=")
        self.assertEqual(self.chain_messages(3),
                         ["decision=greylisted client=127.0.0.1", "decision=promoted client=127.0.0.1",
                          "Rule 'e' in line 18 matched client '127.0.0.2', returning 0 attempts.",
                          "decision=rule-passed client=127.0.0.2"])

    def test_local_chain_keyed_on_the_network(self):
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), GREYLIST_CIDR4="24")
        self.assertRegex(swaks(port, "s@example.org", "user@example.net", local="127.0.0.10"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net", local="127.0.0.77"), r"250 OK id=")
        with sqlite3.connect(self.path("greylist.db")) as conn:
            self.assertEqual(conn.execute("SELECT ip FROM verified").fetchall(), [("127.0.0.0/24",)])
        self.assertEqual(self.chain_messages(2),
                         ["decision=greylisted client=127.0.0.10", "decision=promoted client=127.0.0.77"])

    def test_run_script_and_prepare_stop_on_a_failed_check(self):
        examples = os.path.join(self.prefix, "share", "ostrel", "examples")
        db = self.path("greylist.db")
        init_db(db)
        env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "OSTREL_USER": "", "ADDR": "127.0.0.1",
               "PORT": str(free_port()), "DBFILE": db, "SUSPICION": os.path.join(examples, "suspicion.rules"),
               "GREYLIST_CIDR4": "99", "SMTPD": self.ostrel_exim()}
        for script in ["local/run", "prepare"]:
            with self.subTest(script):
                result = subprocess.run([os.path.join(examples, script)], env=env, capture_output=True, text=True,
                                        timeout=120)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("FAILED: client-key: GREYLIST_CIDR4 must be a prefix length from 8 to 32, not '99'",
                              result.stdout)
                self.assertIn("ok: exim-trust: ", result.stdout)
                self.assertNotIn("tcpserver", result.stdout + result.stderr)

    def test_shipped_minimum_delay(self):
        # empty: the run script's own value; a clock ten times as fast leaves
        # 30 real seconds before 300 have passed
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), GREYLIST_MINDELAY="", FAKETIME="+0 x10")
        for _ in range(2):
            self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        lines = [line.split(": ", 1)[1] for line in self.chain_lines(2)]
        self.assertRegex(lines[0], r"^decision=greylisted client=127\.0\.0\.1 .* attempts=0 required=1 age=0$")
        waited = re.search(r"^decision=greylisted client=127\.0\.0\.1 .* attempts=1 required=1 age=(\d+) "
                           r"wait=(\d+)$", lines[1])
        self.assertTrue(waited, lines)
        self.assertEqual(int(waited.group(1)) + int(waited.group(2)), 300)

    def test_clients_exempt_by_tcpserver_rules(self):
        examples = os.path.join(self.prefix, "share", "ostrel", "examples")
        with open(os.path.join(examples, "exempt", "tcp.smtp")) as f:
            rules = '127.0.0.2:allow,GREYLIST_EXEMPT=""\n' + f.read()
        cdb = self.path("tcp.smtp.cdb")
        subprocess.run(["tcprules", cdb, self.path("tcp.smtp.tmp")], input=rules, text=True, check=True)
        with open(os.path.join(examples, "suspicion.rules")) as f:
            suspicion = self.write_file("suspicion", "0 v GREYLIST_EXEMPT\n" + f.read())
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), TCPRULES=cdb, SUSPICION=suspicion)
        for _ in range(2):  # decided on every connection, never promoted
            self.assertRegex(swaks(port, "s@example.org", "user@example.net", local="127.0.0.2"), r"250 OK id=")
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        with sqlite3.connect(self.path("greylist.db")) as conn:
            self.assertEqual(conn.execute("SELECT ip FROM verified UNION ALL SELECT ip FROM pending").fetchall(),
                             [("127.0.0.1",)])
        exempt = ["Rule 'v' in line 1 matched client '127.0.0.2', returning 0 attempts.",
                  "decision=rule-passed client=127.0.0.2"]
        self.assertEqual(self.chain_messages(3), exempt + exempt + ["decision=greylisted client=127.0.0.1"])

    def test_remote_chain_through_tunwick(self):
        out = self.path("aiosmtpd.out")
        upstream = start_aiosmtpd(self, out)
        port = self.start_run_script("remote", UPSTREAM="127.0.0.1", UPSTREAM_PORT=str(upstream))
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), r"250 ")
        self.assertRegex(swaks(port, "s@example.org", "postmaster@example.net", local="127.0.0.2"), r"250 ")
        wait_for_text(out, "From: s@example.org")
        self.assertEqual(self.chain_messages(3),
                         ["decision=greylisted client=127.0.0.1", "decision=promoted client=127.0.0.1",
                          "Rule 'e' in line 18 matched client '127.0.0.2', returning 0 attempts.",
                          "decision=rule-passed client=127.0.0.2"])


class ShippedRules(WorkdirCase):
    def check(self, *facts):
        """check-rules on the shipped rules with their rules of kind r
        taken in, as the file says to do with tcpserver's lookups on."""
        with open(os.path.join(TOP, "examples", "suspicion.rules")) as f:
            rules = re.sub(r"^#(\d+ r )", r"\1", f.read(), flags=re.M)
        result = subprocess.run([program("ostrelctl"), "check-rules", self.write_file("rules", rules), *facts],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)
        return result.stdout.splitlines()[-2]

    def test_large_providers_pass_at_once_by_host_name_only(self):
        for host in ["mail-wr1-f54.google.com", "MAIL-SOR-F41.GOOGLE.COM", "a8-30.smtp-out.amazonses.com",
                     "mail-db8eur05on2100.outbound.protection.outlook.com", "sonic310-21.consmr.mail.gq1.yahoo.com"]:
            with self.subTest(host=host):
                self.assertEqual(self.check("--host", host), "result: 0 re-attempts required (suspicious client: "
                                                             "not promoted)")
        for host in ["mail.google.com.evil.example", "vm1.googleusercontent.com", "outlook.com", "xgoogle.com"]:
            with self.subTest(host=host):
                self.assertIn("no rule matches", self.check("--host", host))
        # a blacklisted provider is not let through
        self.assertIn("4 re-attempts", self.check("--host", "mail-wr1-f54.google.com", "--env", "BLACKLISTED"))


class ManualPages(WorkdirCase):
    def test_pages_render_without_warnings(self):
        pages = glob.glob(os.path.join(TOP, "man", "*.[58]"))
        self.assertEqual(len(pages), 6)
        for page in pages:
            result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page], capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""), page)


class Installation(WorkdirCase):
    def test_install_with_prefix_and_destdir(self):
        root = install_tree("/opt/ostrel", self.path("root"))
        for path in ["bin/ostrel", "bin/ferrow", "bin/tunwick", "bin/ostrelctl", "bin/ostrel-exim",
                     "share/man/man8/ostrel.8", "share/man/man8/ostrel-exim.8",
                     "share/man/man5/ostrel-suspicion.5", "share/ostrel/schema.sql",
                     "share/ostrel/examples/local/run", "share/ostrel/examples/suspicion.rules"]:
            self.assertTrue(os.path.exists(os.path.join(root, path)), path)
        for script in ["local/run", "remote/run", "prepare"]:
            self.assertTrue(os.access(os.path.join(root, "share/ostrel/examples", script), os.X_OK), script)
        # what names installed paths names those of this install
        examples = os.path.join(root, "share/ostrel/examples")
        for name, text in [("local/ostrel-smtp.service", "ExecStartPre=!/opt/ostrel/share/ostrel/examples/prepare\n"
                                                         "ExecStart=!/opt/ostrel/share/ostrel/examples/local/run\n"),
                           ("remote/ostrel-smtp-remote.service", "EnvironmentFile=-/etc/opt/ostrel/ostrel/ostrel.env\n"),
                           ("local/run", "BIN=${BIN:-/opt/ostrel/bin}\n"), ("prepare", "BIN=${BIN:-/opt/ostrel/bin}\n"),
                           ("ostrel.env", "SUSPICION=/etc/opt/ostrel/ostrel/suspicion\n")]:
            with open(os.path.join(examples, name)) as f:
                self.assertIn(text, f.read(), name)
        for directory, _, files in os.walk(examples):
            for name in files:
                with open(os.path.join(directory, name)) as f:
                    self.assertNotRegex(f.read(), r"/usr/local|@OSTREL_", name)

    def test_one_version_everywhere(self):
        with open(os.path.join(TOP, "VERSION")) as f:
            version = f.read().strip()
        self.assertRegex(version, r"^\d+\.\d+\.\d+$")
        with open(os.path.join(TOP, "debian", "changelog")) as f:
            self.assertRegex(f.readline(), rf"^ostrel \({re.escape(version)}\) ")
        result = subprocess.run([program("ostrelctl"), "--version"], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, f"ostrelctl {version}\n", ""))


class PostgresqlSteps(WorkdirCase):
    """The README's steps for a shared PostgreSQL store, with the shipped
    files, on a throwaway cluster: roles and database, the schema by its
    owner, then the grant; each step fails loudly when out of order."""

    def setUp(self):
        super().setUp()
        self.cluster = PgCluster().start()
        self.addCleanup(self.cluster.stop)

    def psql(self, name):
        return subprocess.run(["psql", "-h", self.cluster.socket_dir, "-U", "postgres", "-d", "postgres", "-X", "-q",
                               "-v", "ON_ERROR_STOP=1", "-f", os.path.join(TOP, "examples", "postgresql", name)],
                              capture_output=True, text=True)

    def ostrelctl(self, user, *args):
        uri = f"postgresql:///ostrel?host={self.cluster.socket_dir}&user={user}"
        return subprocess.run([program("ostrelctl"), "--db", uri, *args] if args[0] != "init-db" else
                              [program("ostrelctl"), args[0], uri], capture_output=True, text=True,
                              env=program_env(LOGTHRESHOLD="7"))

    def test_roles_schema_grants_in_that_order(self):
        for _ in range(2):  # roles.sql may run again
            result = self.psql("roles.sql")
            self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertNotEqual(self.psql("grants.sql").returncode, 0)  # no tables yet
        for _ in range(2):
            result = self.ostrelctl("ostrel_owner", "init-db")
            self.assertEqual((result.returncode, result.stderr), (0, ""))
        result = self.psql("grants.sql")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        allowed = self.ostrelctl("ostrel", "allow", "192.0.2.1")
        self.assertEqual(allowed.returncode, 0, allowed.stderr)
        self.assertTrue(allowed.stdout.startswith("192.0.2.1 is now a verified server"), allowed.stdout)
        self.assertEqual(self.cluster.query("ostrel", "SELECT version FROM schema_version"), [(2,)])
        with self.cluster.connect("ostrel", user="ostrel") as conn:
            cur = conn.cursor()
            cur.execute("SELECT version FROM schema_version")
            self.assertEqual(cur.fetchall(), [(2,)])
