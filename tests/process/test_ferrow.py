"""ferrow against real DNS servers on 127.0.0.1:53, inside a network and mount
namespace of its own (the test command starts it under `unshare -m -n`)."""

import contextlib
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

from harness import (EHLO_REPLY, GREETING, OK, OstrelCase, WorkdirCase, helper, helper_script, program, program_env,
                     require_own_network, wait_for_text)

LISTED = "192.0.2.1"      # listed as 127.0.0.2 by the listing zones
UNLISTED = "192.0.2.5"
LISTED6 = "2001:db8::1"   # listed as 127.0.0.4 by the IPv6 listing zone
UNLISTED6 = "2001:db8::5"
NIBBLES6 = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2"
LOOKUP_BUDGET = 4.0       # seconds; the whole lookup ends by then
# The servers' files and query logs: a directory of this run's own, as /tmp
# is shared with whatever else runs these tests at the same time.
NS_DIR = None


def setUpModule():
    global NS_DIR
    require_own_network("unshare -m -n")
    NS_DIR = tempfile.mkdtemp(prefix="ferrow-test-ns-")
    resolv = os.path.join(NS_DIR, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)


def tearDownModule():
    if NS_DIR:
        shutil.rmtree(NS_DIR, ignore_errors=True)


def ferrow_env(**extra):
    return program_env({"LOGTHRESHOLD": "7", "TCPREMOTEIP": LISTED}, **extra)


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

    def test_address_that_is_neither_ipv4_nor_ipv6_is_not_looked_up(self):
        for addr in ["garbage", "", "1.2.3", "2001:db8::g", "fe80::1%lo", "192.0.2.1 "]:
            result = self.ferrow(DNSBL="zone.test", TCPREMOTEIP=addr)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stderr, f"ferrow: Address '{addr}' is neither an IPv4 nor an IPv6 address, "
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
        with open(os.path.join(cls.root, "listed6.txt"), "w") as f:
            f.write(f"{LISTED6} :127.0.0.4:listed\n")
        with open(os.path.join(cls.root, "listed6set.txt"), "w") as f:
            f.write(":127.0.0.5:listed\n2001:db8:0:1\n")
        zones = [f"z{i}.test:ip4set:empty.txt" for i in range(1, 26)] + ["listed.test:ip4set:listed.txt"]
        zones += [f"l{i}.test:ip4set:listed.txt" for i in range(1, 26)]
        zones += [f"e6{i}.test:ip6trie:empty.txt" for i in range(1, 4)]
        zones += ["l6.test:ip6trie:listed6.txt", "s6.test:ip6tset:listed6set.txt"]
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


    def test_ipv6_listing_flags_the_child(self):
        result, names = self.queried(lambda: self.ferrow(DNSBL="e61.test l6.test", TCPREMOTEIP=LISTED6))
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertEqual(result.stderr, f"ferrow: Querying for {NIBBLES6}.e61.test\n"
                                        f"ferrow: Querying for {NIBBLES6}.l6.test\n"
                                        "ferrow: '2001:db8::1' listed as '127.0.0.4'.\n")
        self.assertEqual(names, [f"{NIBBLES6}.e61.test", f"{NIBBLES6}.l6.test"])

    def test_ipv6_no_listing(self):
        zones = "e61.test l6.test s6.test e62.test"
        result, names = self.queried(lambda: self.ferrow(DNSBL=zones, TCPREMOTEIP=UNLISTED6))
        self.assertEqual(result.returncode, 0)
        self.assertNotIn("BLACKLISTED", self.child_env(result))
        nibbles = "5" + NIBBLES6[1:]
        self.assertEqual(names, [f"{nibbles}.{zone}" for zone in zones.split()])
        self.assertNotIn("listed as", result.stderr)

    def test_ipv6_listing_in_a_later_zone_ends_the_querying(self):
        client = "2001:db8:0:1::7"
        nibbles = "7.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.1.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2"
        zones = "e61.test e62.test s6.test e63.test l6.test"
        result, names = self.queried(lambda: self.ferrow(DNSBL=zones, TCPREMOTEIP=client))
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertEqual(names, [f"{nibbles}.e61.test", f"{nibbles}.e62.test", f"{nibbles}.s6.test"])
        self.assertIn(f"ferrow: '{client}' listed as '127.0.0.5'.\n", result.stderr)

    def test_ipv6_spellings_ask_the_same_name_and_log_the_address_as_given(self):
        client = "2001:DB8:0:0:0:0:0:0001"
        result, names = self.queried(lambda: self.ferrow(DNSBL="l6.test", TCPREMOTEIP=client))
        self.assertEqual(names, [f"{NIBBLES6}.l6.test"])
        self.assertIn(f"ferrow: '{client}' listed as '127.0.0.4'.\n", result.stderr)

    def test_ipv4_mapped_address_is_asked_as_ipv4(self):
        client = f"::ffff:{LISTED}"
        result, names = self.queried(lambda: self.ferrow(DNSBL="z1.test listed.test", TCPREMOTEIP=client))
        self.assertEqual(names, ["1.2.0.192.z1.test", "1.2.0.192.listed.test"])
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertIn(f"ferrow: '{client}' listed as '127.0.0.2'.\n", result.stderr)

    def test_ipv6_query_name_limit(self):
        # 63 characters of nibbles, a dot and the zone: a zone of 191 characters fits, one of 192 does not
        fits = ".".join(["a" * 62, "a" * 61, "a" * 61]) + ".test"
        too_long = "b" + fits
        self.assertEqual((len(fits), len(too_long)), (191, 192))
        result = self.ferrow(DNSBL=f"{too_long} {fits} l6.test", TCPREMOTEIP=LISTED6)
        self.assertIn(f"ferrow: Zone name '{too_long}' makes the query name longer than 255 characters, "
                      "skipping it.\n", result.stderr)
        self.assertIn(f"ferrow: Querying for {NIBBLES6}.{fits}\n", result.stderr)
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        result = self.ferrow(DNSBL=too_long, TCPREMOTEIP=LISTED)
        self.assertIn(f"ferrow: Querying for 1.2.0.192.{too_long}\n", result.stderr)


@contextlib.contextmanager
def responder(address="127.0.0.1", mode="answer"):
    """The scripted DNS responder on ADDRESS:53; yields its query log."""
    qlog = os.path.join(NS_DIR, f"responder-{address}-{mode}.qlog")
    open(qlog, "w").close()
    server = subprocess.Popen([sys.executable, helper_script("dns_responder.py"), qlog, address, mode],
                              stdout=subprocess.PIPE, text=True)
    try:
        if server.stdout.readline().strip() != "dns_responder: ready":
            raise RuntimeError(f"the DNS responder on {address} did not start")
        yield qlog
    finally:
        server.kill()
        server.wait()
        server.stdout.close()


@contextlib.contextmanager
def nameservers(*addresses):
    """/etc/resolv.conf naming these servers and no options, so the
    resolver's own defaults would wait 5 s four times per server."""
    path = os.path.join(NS_DIR, "resolv.conf.servers")
    with open(path, "w") as f:
        f.write("".join(f"nameserver {address}\n" for address in addresses))
    subprocess.run(["mount", "--bind", path, "/etc/resolv.conf"], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "/etc/resolv.conf"], check=True)


def names_in(qlog):
    with open(qlog) as f:
        return f.read().split()


class Outage(FerrowCase):
    """DNS servers that never answer, or answer with garbage: the child
    still starts within the lookup budget, unflagged."""

    GIVE_UP = "ferrow: DNS blacklist lookups not finished within 4000 ms, giving them up.\n"

    def timed(self, **env):
        start = time.monotonic()
        result = self.ferrow(**env)
        return result, time.monotonic() - start

    def assert_unflagged_child_ran(self, result):
        self.assertEqual(result.returncode, 0)
        self.assertIn("DNSBL", self.child_env(result))
        self.assertNotIn("BLACKLISTED", self.child_env(result))

    def test_silent_server_one_zone_ends_after_the_resolvers_two_tries(self):
        with responder(mode="silent") as qlog, nameservers("127.0.0.1"):
            result, took = self.timed(DNSBL="z1.test")
        self.assert_unflagged_child_ran(result)
        self.assertEqual(result.stderr, "ferrow: Querying for 1.2.0.192.z1.test\n"
                                        "ferrow: Generic error when querying '1.2.0.192.z1.test'.\n")
        self.assertEqual(names_in(qlog), ["1.2.0.192.z1.test"] * 2)
        self.assertLess(took, LOOKUP_BUDGET)

    def test_silent_server_twenty_zones_end_at_the_budget(self):
        zones = " ".join(f"z{i}.test" for i in range(1, 21))
        with responder(mode="silent"), nameservers("127.0.0.1"):
            result, took = self.timed(DNSBL=zones)
        self.assert_unflagged_child_ran(result)
        self.assertIn(self.GIVE_UP, result.stderr)
        asked = result.stderr.count("Querying for")
        self.assertTrue(10 <= asked < 20, asked)
        self.assertEqual(result.stderr.count("Generic error when querying"), asked)
        self.assertNotIn("Warning", result.stderr)
        self.assertTrue(LOOKUP_BUDGET <= took < LOOKUP_BUDGET + 1.5, took)

    def test_several_silent_servers_are_each_tried_within_the_budget(self):
        servers = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
        with contextlib.ExitStack() as stack:
            qlogs = [stack.enter_context(responder(address, "silent")) for address in servers]
            stack.enter_context(nameservers(*servers))
            result, took = self.timed(DNSBL="z1.test")
        self.assert_unflagged_child_ran(result)
        self.assertEqual(result.stderr, "ferrow: Querying for 1.2.0.192.z1.test\n" + self.GIVE_UP +
                         "ferrow: Generic error when querying '1.2.0.192.z1.test'.\n")
        for qlog in qlogs:
            self.assertIn("1.2.0.192.z1.test", names_in(qlog))
        self.assertTrue(LOOKUP_BUDGET <= took < LOOKUP_BUDGET + 1.5, took)

    def test_a_silent_first_server_leaves_time_for_the_next(self):
        with responder("127.0.0.2", "silent") as silent, responder("127.0.0.1") as answering, \
                nameservers("127.0.0.2", "127.0.0.1"):
            result, took = self.timed(DNSBL="z1.test list.test")
        self.assertEqual(self.child_env(result).get("BLACKLISTED"), "")
        self.assertIn("ferrow: '192.0.2.1' listed as '127.0.0.2'.\n", result.stderr)
        self.assertNotIn("Generic error", result.stderr)
        self.assertIn("1.2.0.192.z1.test", names_in(silent))
        self.assertEqual(sorted(names_in(answering)), ["1.2.0.192.list.test", "1.2.0.192.z1.test"])
        self.assertLess(took, LOOKUP_BUDGET)

    def test_garbage_answers(self):
        zones = "z1.test z2.test z3.test z4.test"
        with responder(mode="garbage") as qlog, nameservers("127.0.0.1"):
            result, took = self.timed(DNSBL=zones)
        self.assert_unflagged_child_ran(result)
        for zone in zones.split():
            self.assertIn(f"ferrow: Generic error when querying '1.2.0.192.{zone}'.\n", result.stderr)
        self.assertEqual(len(names_in(qlog)), 8)
        self.assertLess(took, LOOKUP_BUDGET + 1.5)


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
