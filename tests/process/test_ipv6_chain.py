"""The chain over IPv6 with real parts: tcpserver (ucspi-tcp-ipv6) on ::1,
swaks as the client, exim4 -bs as the SMTP server program. Runs in a network
namespace of its own (the test command starts it under `unshare -n`), whose
loopback device also carries documentation addresses, so that clients of one
network can connect from several addresses."""

import subprocess

from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL
from harness import require_own_network, wait_for_text
from realparts import ChainCase, inbox_path, swaks

CLIENT_ADDRESSES = ["2001:db8:1:2::10", "2001:db8:1:2::77", "2001:db8:1:3::5", "192.0.2.10", "192.0.2.77"]


def setUpModule():
    require_own_network("unshare -n")
    for addr in CLIENT_ADDRESSES:
        # one address each; no duplicate address detection on the loopback
        argv = ["ip", "addr", "replace", f"{addr}/128", "dev", "lo", "nodad"] if ":" in addr else \
            ["ip", "addr", "replace", f"{addr}/32", "dev", "lo"]
        subprocess.run(argv, check=True)


class Ipv6Chain(ChainCase):

    def test_greylisted_retried_promoted_verified_on_ipv6_loopback(self):
        server = self.serve(host="::1")
        first = swaks(server.port, "sender@example.org", "user@example.net", server="::1")
        self.assertIn("=== Connected to ::1.", first)
        self.assertRegex(first, TEMPFAIL)
        server.wait_for_ends(1)
        self.assertEqual(self.rows("SELECT ip, envsender, envrecipient, attempts FROM pending"),
                         [("::1", "sender@example.org", "user@example.net", 1)])

        second = swaks(server.port, "sender@example.org", "user@example.net", server="::1")
        self.assertIn("<-  250 Accepted\n", second)
        self.assertRegex(second, r"<-  250 OK id=\S+\n")
        wait_for_text(inbox_path(self.workdir), "From: sender@example.org")
        self.assertEqual(self.rows("SELECT ip FROM verified"), [("::1",)])
        self.assertEqual(self.rows("SELECT * FROM pending"), [])

        third = swaks(server.port, "other@example.org", "user@example.net", server="::1")
        self.assertRegex(third, r"<-  250 OK id=\S+\n")
        server.wait_for_ends(3)
        self.assertEqual(server.statuses(), [0, 0, 0])
        log = server.stderr()
        self.assertIn("tcpserver: pid ", log)
        self.assertIn(" from ::1\n", log)
        self.assertEqual(log.count("State: VERIF-NEW-PENDING"), 2)
        self.assertIn("ostrel: Address '::1' is recognized as a verified server", log)
        self.assertNotIn("greylisted as", log)  # tcpserver writes the canonical form

    def test_pool_retries_pass_with_network_keys(self):
        env = {"GREYLIST_CIDR4": "24", "GREYLIST_CIDR6": "64"}
        v6 = self.serve(host="::1", **env)
        v4 = self.serve(host="127.0.0.1", **env)

        def send(server, local, sender="pool@example.org"):
            return swaks(server.port, sender, "user@example.net", local=local,
                         server="::1" if server is v6 else "127.0.0.1")

        self.assertRegex(send(v6, "2001:db8:1:2::10"), TEMPFAIL)
        self.assertRegex(send(v6, "2001:db8:1:3::5"), TEMPFAIL)
        self.assertRegex(send(v4, "192.0.2.10"), TEMPFAIL)
        self.assertEqual(self.rows("SELECT ip, attempts FROM pending ORDER BY rowid"),
                         [("2001:db8:1:2::/64", 1), ("2001:db8:1:3::/64", 1), ("192.0.2.0/24", 1)])

        self.assertRegex(send(v6, "2001:db8:1:2::77"), r"<-  250 OK id=\S+\n")
        self.assertRegex(send(v4, "192.0.2.77"), r"<-  250 OK id=\S+\n")
        self.assertEqual(self.rows("SELECT ip FROM verified ORDER BY rowid"),
                         [("2001:db8:1:2::/64",), ("192.0.2.0/24",)])
        self.assertEqual(self.rows("SELECT ip FROM pending"), [("2001:db8:1:3::/64",)])
        # a verified network: its first address goes straight to exim now
        self.assertRegex(send(v6, "2001:db8:1:2::10", sender="later@example.org"), r"<-  250 OK id=\S+\n")
        v6.wait_for_ends(4)
        v4.wait_for_ends(2)
        self.assertEqual(v6.statuses() + v4.statuses(), [0] * 6)
        log6 = v6.stderr()
        self.assertIn("ostrel: Client '2001:db8:1:2::10' is greylisted as '2001:db8:1:2::/64'.\n", log6)
        self.assertIn("ostrel: host '2001:db8:1:2::77' requires 1 re-attempts, 1 have been done.\n", log6)
        self.assertIn("ostrel: Address '2001:db8:1:2::10' is recognized as a verified server", log6)
        self.assertIn("ostrel: Client '192.0.2.77' is greylisted as '192.0.2.0/24'.\n", v4.stderr())

    def test_ipv4_mapped_client_is_the_ipv4_client(self):
        # -6 makes tcpserver name IPv4 clients by their IPv4-mapped address
        mapped = self.serve(host="127.0.0.1", options=["-6"])
        plain = self.serve(host="127.0.0.1")
        self.assertRegex(swaks(mapped.port, "s@example.org", "user@example.net"), TEMPFAIL)
        self.assertEqual(self.rows("SELECT ip FROM pending"), [("127.0.0.1",)])
        self.assertRegex(swaks(plain.port, "s@example.org", "user@example.net"), r"<-  250 OK id=\S+\n")
        self.assertEqual(self.rows("SELECT ip FROM verified"), [("127.0.0.1",)])
        self.assertRegex(swaks(mapped.port, "t@example.org", "user@example.net"), r"<-  250 OK id=\S+\n")
        mapped.wait_for_ends(2)
        log = mapped.stderr()
        self.assertIn("ostrel: Client '::ffff:127.0.0.1' is greylisted as '127.0.0.1'.\n", log)
        self.assertIn("ostrel: Address '::ffff:127.0.0.1' is recognized as a verified server", log)
