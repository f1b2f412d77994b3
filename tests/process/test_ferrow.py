"""ferrow against real DNS servers on 127.0.0.1:53, inside a network and mount
namespace of its own (the test command starts it under `unshare -m -n`)."""

import os
import pwd
import socket
import subprocess
import sys
import time

from harness import EHLO_REPLY, GREETING, OK, OstrelCase, WorkdirCase, helper, helper_script, program, sanitizer_env

LISTED = "192.0.2.1"      # listed as 127.0.0.2 by the listing zones
UNLISTED = "192.0.2.5"
NS_DIR = "/tmp/ferrow-test-ns"


def setUpModule():
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        raise RuntimeError(f"these tests must run in a network namespace of their own (unshare -m -n); "
                           f"interfaces here: {names}")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.makedirs(NS_DIR, exist_ok=True)
    resolv = os.path.join(NS_DIR, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)


def ferrow_env(**extra):
    env = {"PATH": "/usr/bin:/bin", "LOGTHRESHOLD": "7", "TCPREMOTEIP": LISTED, **sanitizer_env()}
    env.update({k: v for k, v in extra.items() if v is not None})
    for k, v in extra.items():
        if v is None:
            env.pop(k, None)
    return env


def wait_for_text(path, text, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if text in f.read():
                return
        time.sleep(0.01)
    raise AssertionError(f"{text!r} not in {path}")


class FerrowCase(WorkdirCase):
    def ferrow(self, *child, **env):
        child = child or ("/usr/bin/env",)
        return subprocess.run([program("ferrow"), *child], capture_output=True, text=True, env=ferrow_env(**env),
                              timeout=60)

    def child_env(self, result):
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)


class WithoutServer(FerrowCase):
    def test_usage(self):
        for env in [{}, {"DNSBL": "zone.test"}]:
            result = subprocess.run([program("ferrow")], capture_output=True, env=ferrow_env(**env))
            self.assertEqual((result.returncode, result.stderr), (110, b"Specify the child to run as argument.\n"))

    def test_no_zones_runs_child_along_path(self):
        result = self.ferrow("printenv", "PATH", TCPREMOTEIP=None)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "/usr/bin:/bin\n", ""))
        result = self.ferrow("no-such-program", TCPREMOTEIP=None)
        self.assertEqual((result.returncode, result.stderr), (110, "ferrow: Unable to exec: No such file or directory\n"))

    def test_missing_address(self):
        result = self.ferrow(DNSBL="zone.test", TCPREMOTEIP=None)
        self.assertEqual((result.returncode, result.stderr),
                         (110, "ferrow: Unable to fetch remote client address. Terminating.\n"))

    def test_address_that_is_not_ipv4_is_not_looked_up(self):
        for addr in ["2001:db8::1", "garbage", ""]:
            result = self.ferrow(DNSBL="zone.test", TCPREMOTEIP=addr)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stderr, f"ferrow: Address '{addr}' is not an IPv4 address, "
                                            "no DNS blacklist lookups.\n")
            self.assertNotIn("BLACKLISTED", self.child_env(result))


class RblDnsd(FerrowCase):
    """rbldnsd serving zones z1.test .. z25.test, each from its own data file."""

    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(NS_DIR, "rbldnsd")
        os.makedirs(cls.root, exist_ok=True)
        entry = pwd.getpwnam("rbldns")
        os.chown(cls.root, entry.pw_uid, entry.pw_gid)
        with open(os.path.join(cls.root, "listed.txt"), "w") as f:
            f.write(f"{LISTED} :127.0.0.2:listed\n")
        with open(os.path.join(cls.root, "empty.txt"), "w") as f:
            f.write("# nothing listed\n")
        zones = [f"z{i}.test:ip4set:empty.txt" for i in range(1, 26)] + ["listed.test:ip4set:listed.txt"]
        zones += [f"l{i}.test:ip4set:listed.txt" for i in range(1, 26)]
        cls.qlog = os.path.join(cls.root, "qlog")
        cls.errlog = open(os.path.join(NS_DIR, "rbldnsd.stderr"), "w")
        cls.server = subprocess.Popen(["rbldnsd", "-n", "-b", "127.0.0.1/53", "-r", cls.root, "-w", ".", "-l",
                                       "+qlog"] + zones, stdout=cls.errlog, stderr=cls.errlog)
        try:
            wait_for_text(cls.errlog.name, "started")
        except AssertionError:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait()
        cls.errlog.close()

    def queried(self, action):
        """Query names that reached the server during action()."""
        with open(self.qlog, "a"):
            pass
        start = os.path.getsize(self.qlog)
        result = action()
        with open(self.qlog) as f:
            f.seek(start)
            return result, [line.split()[2].rstrip(".") if len(line.split()) > 2 else line for line in f]

    def test_listing_flags_the_child(self):
        result = self.ferrow(DNSBL="z1.test listed.test", DNSBL_VARNAME=None)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertEqual(self.child_env(result).get("DNSBL"), "z1.test listed.test")
        self.assertEqual(result.stderr, "ferrow: Querying for 1.2.0.192.z1.test\n"
                                        "ferrow: Querying for 1.2.0.192.listed.test\n"
                                        "ferrow: '192.0.2.1' listed as '127.0.0.2'.\n")

    def test_no_listing(self):
        result = self.ferrow(DNSBL="z1.test z2.test listed.test", TCPREMOTEIP=UNLISTED)
        self.assertNotIn("BLACKLISTED", self.child_env(result))
        self.assertEqual(result.stderr.count("Querying for"), 3)
        self.assertNotIn("listed as", result.stderr)

    def test_listing_in_the_third_of_ten_zones_ends_the_querying(self):
        zones = "z1.test z2.test l3.test " + " ".join(f"z{i}.test" for i in range(4, 11))
        result, names = self.queried(lambda: self.ferrow(DNSBL=zones))
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertEqual(names, ["1.2.0.192.z1.test", "1.2.0.192.z2.test", "1.2.0.192.l3.test"])

    def test_twenty_zones_are_all_queried(self):
        zones = " ".join(f"z{i}.test" for i in range(1, 21))
        result, names = self.queried(lambda: self.ferrow(DNSBL=zones))
        self.assertEqual(len(names), 20)
        self.assertNotIn("Warning", result.stderr)
        self.assertEqual(result.returncode, 0)

    def test_twenty_one_zones_take_the_over_limit_path_unflagged(self):
        zones = " ".join(f"z{i}.test" for i in range(1, 20)) + " l20.test z21.test"
        result, names = self.queried(lambda: self.ferrow(DNSBL=zones))
        self.assertIn("ferrow: Warning! Number of RBLs configured exceeds hardcoded limit (20)\n", result.stderr)
        self.assertNotIn("BLACKLISTED", self.child_env(result))
        self.assertNotIn("1.2.0.192.z21.test", names)
        self.assertEqual(len(names), 20)

    def test_empty_zone_names_are_queried(self):
        result, names = self.queried(lambda: self.ferrow(DNSBL="z1.test  z2.test", TCPREMOTEIP=UNLISTED))
        self.assertIn("ferrow: Querying for 5.2.0.192.\n", result.stderr)
        self.assertEqual(result.stderr.count("Querying for"), 3)
        result = self.ferrow(DNSBL="", TCPREMOTEIP=UNLISTED)
        self.assertIn("ferrow: Querying for 5.2.0.192.\n", result.stderr)
        self.assertEqual(result.returncode, 0)

    def test_flag_variable_name(self):
        result = self.ferrow(DNSBL="listed.test", DNSBL_VARNAME="RBL_HIT", RBL_HIT="old value")
        env = self.child_env(result)
        self.assertEqual(env.get("RBL_HIT"), "")
        self.assertNotIn("BLACKLISTED", env)

    def test_child_is_run_as_a_path(self):
        result = self.ferrow("env", DNSBL="z1.test")
        self.assertEqual(result.returncode, 100)
        self.assertIn("ferrow: Unable to run env: No such file or directory.\n", result.stderr)

    def test_overlong_zone_name_is_skipped(self):
        long_zone = "a" * 250 + ".test"
        result = self.ferrow(DNSBL=f"{long_zone} listed.test")
        self.assertIn(f"ferrow: Zone name '{long_zone}' makes the query name longer than 255 characters, "
                      "skipping it.\n", result.stderr)
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")


class WithResponder:
    """The scripted DNS responder on 127.0.0.1:53 for the tests of a class."""

    @classmethod
    def setUpClass(cls):
        qlog = os.path.join(NS_DIR, f"{cls.__name__}.qlog")
        cls.server = subprocess.Popen([sys.executable, helper_script("dns_responder.py"), qlog],
                                      stdout=subprocess.PIPE, text=True)
        if cls.server.stdout.readline().strip() != "dns_responder: ready":
            cls.tearDownClass()
            raise RuntimeError("the DNS responder did not start")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.server.wait()
        cls.server.stdout.close()


class OwnResponder(WithResponder, FerrowCase):
    """Answers that rbldnsd does not give: slow, failing and garbled ones."""

    def test_one_line_per_returned_address(self):
        result = self.ferrow(DNSBL="list.test")
        self.assertIn("ferrow: '192.0.2.1' listed as '127.0.0.2'.\n"
                      "ferrow: '192.0.2.1' listed as '127.0.0.3'.\n", result.stderr)

    def test_unparsable_success_still_flags(self):
        result = self.ferrow(DNSBL="garbled.test")
        self.assertIn("ferrow: Unable to parse DNS response\n", result.stderr)
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")

    def test_server_failure_does_not_flag(self):
        result = self.ferrow(DNSBL="fail.test")
        self.assertIn("ferrow: Generic error when querying '1.2.0.192.fail.test'.\n", result.stderr)
        self.assertNotIn("BLACKLISTED", self.child_env(result))
        self.assertEqual(result.returncode, 0)

    def test_final_wait_collects_a_slow_zone(self):
        result = self.ferrow(DNSBL="slowlist.test other.test")
        lines = result.stderr.splitlines()
        self.assertEqual(lines, ["ferrow: Querying for 1.2.0.192.slowlist.test",
                                 "ferrow: Querying for 1.2.0.192.other.test",
                                 "ferrow: '192.0.2.1' listed as '127.0.0.2'."])
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")


class FlagReachesOstrel(WithResponder, OstrelCase):
    def test_rule_on_the_flag_changes_the_attempts(self):
        rules = self.write_file("rules", "4 v BLACKLISTED\n")
        env = self.env(DNSBL="list.test", SUSPICION=rules, TCPREMOTEIP=LISTED)
        script = self.server_script(GREETING, EHLO_REPLY, OK, "reply 250 Accepted\\r\\n", "silent")
        proc = self.start([program("ferrow"), program("ostrel"), helper("scripted_smtpd"), script], env)
        proc.recv_line()
        proc.send(b"EHLO c.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.recv_line()
        proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: suspicious host '192.0.2.1' requires 4 re-attempts, 0 have been done.\n", proc.stderr())
