"""Hostile input through the real ostrel binary: no statement is ever
formatted with a quote inside a value, no value is taken as a format, and
the database holds exactly what the decision records."""

import re

from harness import GREETING, OK, TEMPFAIL, OstrelCase

VALUE = r"([^']*)"
# Every statement ostrel may run, with its values quote-free.
STATEMENTS = [re.compile("^" + re.escape(t).replace(re.escape("%s"), VALUE) + "$") for t in [
    "SELECT ip FROM verified WHERE ip = '%s'",
    "UPDATE verified SET ts = DATETIME('now') WHERE ip = '%s'",
    "SELECT strftime('%s','now') - strftime('%s',tsfirstdelivery), attempts FROM pending WHERE ip='%s' AND "
    "envsender='%s' AND envrecipient='%s'",
    "INSERT INTO verified (ip,ts) VALUES ('%s', DATETIME('NOW'))",
    "DELETE FROM pending WHERE ip='%s'",
    "DELETE FROM pending WHERE ip='%s' AND envsender='%s' AND envrecipient='%s'",
    "INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts) VALUES "
    "('%s','%s','%s',DATETIME('NOW'),DATETIME('NOW'),1)",
    "UPDATE pending SET attempts=(SELECT attempts FROM pending WHERE ip='%s' AND envsender='%s' AND "
    "envrecipient='%s' LIMIT 1)+1, tslastdelivery=DATETIME('now') WHERE ip='%s' AND envsender='%s' AND "
    "envrecipient='%s'",
]]


def logged_statements(log):
    found = []
    for line in log.splitlines():
        m = re.match(r"^ostrel: Query: '?(.*?)'?$", line)
        if m:
            found.append(m.group(1))
    return found


class HostileInput(OstrelCase):
    def session(self, lines, **env):
        script = [GREETING] + [OK] * len(lines) + ["silent"]
        proc = self.ostrel(script, **env)
        proc.recv_line()
        for line in lines:
            proc.send(line)
        return proc

    def assert_statements_clean(self, log):
        statements = logged_statements(log)
        self.assertTrue(statements)
        for statement in statements:
            self.assertTrue(any(t.match(statement) for t in STATEMENTS), statement)

    def test_sql_quoting_in_every_field(self):
        lines = [b"HELO x'); DROP TABLE pending; --\r\n",
                 b"MAIL FROM:<o'brien@example.org>\r\n",
                 b"RCPT TO:<x@example.net' OR '1'='1>\r\n"]
        proc = self.session(lines)
        out = proc.recv_all()
        self.assertTrue(out.endswith(TEMPFAIL[0]) or out.endswith(TEMPFAIL[1]), out)
        self.assertEqual(proc.wait(), 0)
        log = proc.stderr()
        self.assert_statements_clean(log)
        self.assertIn("ostrel: Got unsupported message 'HELO x'); DROP TABLE pending; --\r\n'\n", log)
        # the address patterns admit no quote: what follows it is taken
        self.assertEqual(self.pending(), [("192.0.2.7", "brien@example.org", "x@example.net", 1)])
        for addr in ["192.0.2.7'--", "1' OR '1'='1"]:
            proc = self.ostrel([GREETING, "silent"], TCPREMOTEIP=addr)
            self.assertEqual(proc.wait(), 100)
            self.assertNotIn("Query:", proc.stderr())
        self.assertEqual(len(self.pending()), 1)

    def test_printf_conversions_are_printed_as_text(self):
        lines = [b"HELO %n%s%s%s\r\n", b"MAIL FROM:<%n%s@example.org>\r\n", b"VRFY %n%n%n%s\r\n",
                 b"RCPT TO:<r%x@example.net>\r\n"]
        proc = self.session(lines, TCPREMOTEIP="%n%s%p", TCPLOCALHOST="%n%s")
        out = proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        log = proc.stderr()
        self.assertIn("ostrel: Got HELO command '%n%s%s%s'\n", log)
        self.assertIn("ostrel: Got unsupported message 'VRFY %n%n%n%s\r\n'\n", log)
        self.assertIn("ostrel: Envelope (helo,from,to): (%n%s%s%s,s@example.org,x@example.net)\n", log)
        self.assertIn("addr(%n%s%p)", log)
        self.assertTrue(out.endswith(TEMPFAIL[0]) or out.endswith(TEMPFAIL[1]))
        self.assertEqual(self.pending(), [("%n%s%p", "s@example.org", "x@example.net", 1)])

    def test_quit_reply_takes_the_local_name_as_text(self):
        proc = self.session([b"QUIT\r\n"], TCPLOCALHOST="%n%s%s")
        self.assertEqual(proc.recv_all(), b"221 %n%s%s\r\n")

    def test_lengths_around_the_limits(self):
        for total, recorded in [(510, True), (511, True), (512, False), (513, False)]:
            with self.subTest(address_length=total):
                address = "a" * (total - len("@example.org")) + "@example.org"
                # Both lines in one write, as a pipelining client sends them: an
                # overlong sender ends ostrel before it reads the recipient, and
                # a write after that end would fail on the closed socket.
                proc = self.ostrel([GREETING, OK, OK, "silent"])
                proc.recv_line()
                proc.send(f"MAIL FROM:<{address}>\r\nRCPT TO:<r@example.net>\r\n".encode())
                proc.recv_all()
                self.assertEqual(proc.wait(), 0 if recorded else 100)
                if not recorded:
                    self.assertIn(f"Maximum command length ({total} >= 512) exceeded", proc.stderr())
        self.assertEqual(sorted(len(row[1]) for row in self.pending()), [510, 511])

    def test_every_byte_of_long_lines_reaches_the_server(self):
        for length in [1022, 1023, 1024, 1025]:
            with self.subTest(length=length):
                line = b"NOOP " + bytes(range(128, 256)) * 8
                line = line[:length - 2] + b"\r\n"
                script = [GREETING, "replyn 1023 250 a\\r\\n" if length > 1023 else OK, OK, "silent"]
                proc = self.ostrel(script, SMTPD_LOG=self.path(f"smtpd{length}.log"))
                proc.recv_line()
                proc.send(line)
                proc.recv_line()
                if length > 1023:
                    proc.recv_line()
                with open(self.path(f"smtpd{length}.log"), "rb") as f:
                    received = f.read()
                self.assertEqual(received.count(b"C: "), 1 if length <= 1023 else 2)
                self.assertNotIn(b"Maximum", proc.stderr().encode())

    def test_nul_cr_lf_and_eight_bit_bytes(self):
        lines = [b"HELO \xff\xfe.example\r\n", b"HELO a\x00'b\r\n", b"MAIL FROM:<s@example.org>\rX\n",
                 b"MAIL FROM:<t@example.org>\n", b"RCPT TO:<r@example.net>\x00<x'@y>\r\n"]
        proc = self.session(lines)
        out = proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        log = proc.stderr()
        self.assert_statements_clean(log)
        self.assertIn("ostrel: Got HELO command 'a'\n", log)
        self.assertEqual(self.pending(), [("192.0.2.7", "t@example.org", "r@example.net", 1)])
        self.assertTrue(out.endswith(TEMPFAIL[0]) or out.endswith(TEMPFAIL[1]))
