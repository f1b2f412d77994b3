"""How ostrel keys a client's rows: one key for every spelling of an address,
IPv4-mapped addresses as IPv4, and the client's network with GREYLIST_CIDR4
and GREYLIST_CIDR6. TCPREMOTEIP is set directly, as tcpserver would."""

import os

from harness import EHLO_REPLY, GREETING, OK, TEMPFAIL, OstrelCase, program

ACCEPTED = "reply 250 Accepted\\r\\n"
SHOW_ENV = ["/bin/sh", "-c", "echo served; cat >/dev/null"]


class KeyCase(OstrelCase):
    def attempt(self, addr, sender="s@example.org", **env):
        proc = self.ostrel([GREETING, EHLO_REPLY, OK, ACCEPTED, "reply 354 go\\r\\n", "silent"], TCPREMOTEIP=addr,
                           **env)
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.send(f"MAIL FROM:<{sender}>\r\n".encode())
        proc.recv_line()
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        return proc

    def fails(self, addr, **env):
        proc = self.attempt(addr, **env)
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        return proc.stderr()

    def passes(self, addr, **env):
        proc = self.attempt(addr, **env)
        self.assertEqual(proc.recv_line(), b"250 Accepted\r\n")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        return proc.stderr()

    def verified_road(self, addr, **env):
        """A connection that start-up hands straight to the server program."""
        proc = self.start([program("ostrel")] + SHOW_ENV, self.env(TCPREMOTEIP=addr, **env), name="verified")
        self.assertEqual(proc.recv_line(), b"served\n")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        err = proc.stderr()
        self.assertIn(f"ostrel: Address '{addr}' is recognized as a verified server", err)
        return err


class Spellings(KeyCase):
    def test_two_spellings_of_one_ipv6_address_are_one_client(self):
        err = self.fails("2001:DB8:0:0::7")
        self.assertIn("ostrel: Client '2001:DB8:0:0::7' is greylisted as '2001:db8::7'.\n", err)
        self.assertIn("ostrel: host '2001:DB8:0:0::7' requires 1 re-attempts, 0 have been done.\n", err)
        self.assertIn("VALUES ('2001:db8::7','s@example.org','r@example.org',", err)
        self.assertEqual(self.pending(), [("2001:db8::7", "s@example.org", "r@example.org", 1)])

        err = self.passes("2001:0db8::0:7")
        self.assertIn("ostrel: host '2001:0db8::0:7' requires 1 re-attempts, 1 have been done.\n", err)
        self.assertEqual((self.pending(), self.verified()), ([], ["2001:db8::7"]))
        err = self.verified_road("2001:db8:0:0:0:0:0:7")
        self.assertIn("ostrel: Query-AddrInVerified: 2001:db8::7 found amidst verified servers\n", err)

    def test_ipv4_mapped_address_is_the_ipv4_client(self):
        err = self.fails("::ffff:192.0.2.7")
        self.assertIn("ostrel: Client '::ffff:192.0.2.7' is greylisted as '192.0.2.7'.\n", err)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])
        err = self.passes("192.0.2.7")
        self.assertNotIn("greylisted as", err)  # the canonical text is its own key
        self.assertEqual(self.verified(), ["192.0.2.7"])
        self.verified_road("::FFFF:c000:207")

    def test_other_text_is_kept_as_it_is(self):
        for addr in ["client.example", "192.000.002.007", "fe80::1%eth0"]:
            with self.subTest(addr=addr):
                err = self.fails(addr, GREYLIST_CIDR4="24", GREYLIST_CIDR6="64")
                self.assertNotIn("greylisted as", err)
                self.assertEqual(self.pending()[-1][0], addr)


class ByNetwork(KeyCase):
    def test_ipv4_retry_from_another_address_of_the_network_passes(self):
        err = self.fails("192.0.2.10", GREYLIST_CIDR4="24")
        self.assertIn("ostrel: Client '192.0.2.10' is greylisted as '192.0.2.0/24'.\n", err)
        self.assertIn("Metainfo ready: addr(192.0.2.10) greet(0) attemptsnum(0)", err)
        self.assertEqual(self.pending(), [("192.0.2.0/24", "s@example.org", "r@example.org", 1)])

        self.assertRegex(self.fails("192.0.3.10", GREYLIST_CIDR4="24"), "attemptsnum\\(0\\)")  # another network
        err = self.passes("192.0.2.77", GREYLIST_CIDR4="24")
        self.assertIn("ostrel: host '192.0.2.77' requires 1 re-attempts, 1 have been done.\n", err)
        self.assertIn("ostrel: Query: 'DELETE FROM pending WHERE ip='192.0.2.0/24''\n", err)
        self.assertEqual(self.verified(), ["192.0.2.0/24"])
        self.assertEqual([row[0] for row in self.pending()], ["192.0.3.0/24"])
        # the network is verified as a whole, IPv4-mapped spellings included
        self.verified_road("192.0.2.200", GREYLIST_CIDR4="24")
        self.verified_road("::ffff:192.0.2.1", GREYLIST_CIDR4="24")
        # without the setting the rows of the network are not the client's
        self.fails("192.0.2.200")
        self.assertEqual(self.pending()[-1][0], "192.0.2.200")

    def test_ipv6_retry_from_another_address_of_the_network_passes(self):
        env = {"GREYLIST_CIDR6": "64", "GREYLIST_CIDR4": "24"}
        err = self.fails("2001:db8:1:2::10", **env)
        self.assertIn("ostrel: Client '2001:db8:1:2::10' is greylisted as '2001:db8:1:2::/64'.\n", err)
        self.assertEqual(self.pending(), [("2001:db8:1:2::/64", "s@example.org", "r@example.org", 1)])
        self.fails("2001:db8:1:3::10", **env)
        self.passes("2001:DB8:1:2:ffff:ffff:ffff:ffff", **env)
        self.assertEqual(self.verified(), ["2001:db8:1:2::/64"])
        self.assertEqual([row[0] for row in self.pending()], ["2001:db8:1:3::/64"])
        self.verified_road("2001:db8:1:2:a:b:c:d", **env)

    def test_one_family_set_leaves_the_other_on_its_addresses(self):
        self.fails("2001:db8::1", GREYLIST_CIDR4="24")
        self.fails("192.0.2.1", GREYLIST_CIDR6="48")
        self.assertEqual([row[0] for row in self.pending()], ["2001:db8::1", "192.0.2.1"])

    def test_odd_prefix_and_suspicious_retries_across_the_network(self):
        rules = self.write_file("rules", "2 v SUSPECT\n")
        env = {"GREYLIST_CIDR4": "25", "SUSPICION": rules, "SUSPECT": ""}
        self.fails("192.0.2.130", **env)
        self.fails("192.0.2.200", **env)
        self.assertEqual(self.pending(), [("192.0.2.128/25", "s@example.org", "r@example.org", 2)])
        self.fails("192.0.2.1", **env)  # the lower half is another network
        err = self.passes("192.0.2.255", **env)
        self.assertIn("AND envrecipient='r@example.org''\n", err)
        self.assertEqual([row[:2] for row in self.pending()], [("192.0.2.0/25", "s@example.org")])
        self.assertEqual(self.verified(), [])

    def test_network_allowed_by_the_admin_tool_is_verified(self):
        for network in ["192.0.2.0/24", "2001:DB8:1:2::/64"]:
            result = self.run_plain([program("ostrelctl"), "allow", network, "--db", self.db], self.env())
            self.assertEqual(result.returncode, 0, result.stderr)
        self.verified_road("192.0.2.99", GREYLIST_CIDR4="24")
        self.verified_road("2001:db8:1:2::99", GREYLIST_CIDR6="64")
        self.fails("2001:db8:1:2::99", GREYLIST_CIDR6="56")  # keyed on 2001:db8:1::/56 now
        self.assertEqual(self.pending()[0][0], "2001:db8:1::/56")

    def test_full_length_prefix_keys_on_the_address_itself(self):
        self.fails("192.0.2.10")
        err = self.passes("192.0.2.10", GREYLIST_CIDR4="32")
        self.assertNotIn("greylisted as", err)
        self.assertEqual(self.verified(), ["192.0.2.10"])


class Settings(KeyCase):
    def test_values_out_of_range_are_refused_before_the_database(self):
        # the IPv6 client meets a wrong IPv4 setting and the other way round:
        # a typo must not wait for the first client of its family
        for name, value, addr in [("GREYLIST_CIDR4", "7", "192.0.2.7"), ("GREYLIST_CIDR4", "33", "2001:db8::7"),
                                  ("GREYLIST_CIDR4", "", "192.0.2.7"), ("GREYLIST_CIDR4", "24x", "192.0.2.7"),
                                  ("GREYLIST_CIDR6", "15", "2001:db8::7"), ("GREYLIST_CIDR6", "129", "192.0.2.7")]:
            low, high = (8, 32) if name.endswith("4") else (16, 128)
            with self.subTest(name=name, value=value, addr=addr):
                result = self.run_plain([program("ostrel")] + SHOW_ENV,
                                        self.env(TCPREMOTEIP=addr, LOGTHRESHOLD="2", DBFILE=self.path("none.db"),
                                                 **{name: value}))
                self.assertEqual((result.returncode, result.stdout), (100, b""))
                self.assertEqual(result.stderr.decode(), f"ostrel: {name} must be a prefix length from {low} to "
                                                         f"{high}, not '{value}'. Terminating.\n")
        self.assertFalse(os.path.exists(self.path("none.db")))

    def test_settings_are_not_read_when_greylisting_is_off(self):
        result = self.run_plain([program("ostrel")] + SHOW_ENV, self.env(GREYLIST=None, GREYLIST_CIDR4="0"))
        self.assertEqual((result.returncode, result.stdout), (0, b"served\n"))
