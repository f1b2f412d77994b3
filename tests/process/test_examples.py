"""The shipped examples, manual pages and installation, so they cannot rot."""

import glob
import os
import shutil
import sqlite3
import subprocess

from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL_RE
from harness import WorkdirCase, free_port, helper, program, wait_for_text
from realparts import exim_command, inbox_path, init_db, start_aiosmtpd, swaks

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.path.join(helper("scripted_smtpd"), "..", ".."))


class RunScripts(WorkdirCase):
    def start_run_script(self, name, **env):
        port = free_port()
        db = self.path("greylist.db")
        init_db(db)
        rules = self.path("rules")
        shutil.copy(os.path.join(TOP, "examples", "suspicion.rules"), rules)
        full_env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "BIN": os.path.dirname(program("ostrel")),
                    "ADDR": "127.0.0.1", "PORT": str(port), "DBFILE": db, "SUSPICION": rules, "GREETDELAY": "1",
                    "LOCALNAME": "mx.test.example", **env}
        log = open(self.path(f"{name}.log"), "wb")
        proc = subprocess.Popen([os.path.join(TOP, "examples", name, "run")], env=full_env, stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(log.close)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.terminate)
        wait_for_text(log.name, "tcpserver: status: 0/")
        return port

    def ostrel_exim(self):
        """The run script's server program, with the test's exim configuration."""
        conf = exim_command(self.workdir)[2]
        return f"{program('ostrel-exim')} -C {conf}"

    def test_local_chain(self):
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), DNSBL="")
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), r"250 OK id=")
        wait_for_text(inbox_path(self.workdir), "From: s@example.org")

    def test_local_chain_keyed_on_the_network(self):
        port = self.start_run_script("local", SMTPD=self.ostrel_exim(), GREYLIST_CIDR4="24")
        self.assertRegex(swaks(port, "s@example.org", "user@example.net", local="127.0.0.10"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net", local="127.0.0.77"), r"250 OK id=")
        with sqlite3.connect(self.path("greylist.db")) as conn:
            self.assertEqual(conn.execute("SELECT ip FROM verified").fetchall(), [("127.0.0.0/24",)])

    def test_remote_chain_through_tunwick(self):
        out = self.path("aiosmtpd.out")
        upstream = start_aiosmtpd(self, out)
        port = self.start_run_script("remote", UPSTREAM="127.0.0.1", UPSTREAM_PORT=str(upstream))
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), TEMPFAIL_RE)
        self.assertRegex(swaks(port, "s@example.org", "user@example.net"), r"250 ")
        wait_for_text(out, "From: s@example.org")


class ShippedRules(WorkdirCase):
    def check(self, *facts):
        result = subprocess.run([program("ostrelctl"), "check-rules", os.path.join(TOP, "examples", "suspicion.rules"),
                                 *facts], capture_output=True, text=True)
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
        dest = self.path("root")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", "/opt/ostrel"], check=True, capture_output=True,
                       env={**os.environ, "DESTDIR": dest})
        root = os.path.join(dest, "opt", "ostrel")
        for path in ["bin/ostrel", "bin/ferrow", "bin/tunwick", "bin/ostrelctl", "bin/ostrel-exim",
                     "share/man/man8/ostrel.8", "share/man/man8/ostrel-exim.8",
                     "share/man/man5/ostrel-suspicion.5", "share/ostrel/schema.sql",
                     "share/ostrel/examples/local/run", "share/ostrel/examples/suspicion.rules"]:
            self.assertTrue(os.path.exists(os.path.join(root, path)), path)
        self.assertTrue(os.access(os.path.join(root, "share/ostrel/examples/local/run"), os.X_OK))
