"""The greeting delay trap: a client that talks before the greeting."""

import time

from harness import EHLO_REPLY, GREETING, OK, OstrelCase

SCRIPT = [GREETING, EHLO_REPLY, OK, "reply 250 Accepted\\r\\n", "silent"]


class GreetDelay(OstrelCase):
    def finish_after_ehlo(self, proc):
        """Reads the EHLO reply, sends the envelope, reads to the end; the log."""
        proc.recv_until(b"250 HELP\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_line()
        proc.recv_all()
        return proc.stderr()

    def test_early_talker_is_caught_and_its_line_reaches_the_server(self):
        rules = self.write_file("rules", "3 b greetdelay\n")
        start = time.monotonic()
        proc = self.ostrel(SCRIPT, GREETDELAY="60000", SUSPICION=rules)
        proc.send(b"EHLO early.example\r\n")
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        self.assertLess(time.monotonic() - start, 30)  # the trap returned long before its minute
        err = self.finish_after_ehlo(proc)
        self.assertIn("ostrel: greetdelay trap: caught.\n", err)
        self.assertIn("greet(1)", err)
        self.assertIn("ostrel: Address '192.0.2.7' matched CLIBEHAVIOUR spec, type 'greetdelay'.\n", err)
        self.assertEqual(self.server_lines()[0], "C: EHLO early.example\\r\\n")

    def test_client_that_closes_is_caught(self):
        proc = self.ostrel(SCRIPT, GREETDELAY="60000")
        proc.shut_write()
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: greetdelay trap: caught.\n", proc.stderr())

    def test_silent_client_is_not_caught(self):
        rules = self.write_file("rules", "3 b greetdelay\n")
        proc = self.ostrel(SCRIPT, GREETDELAY="1", SUSPICION=rules)
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        proc.send(b"EHLO c.example\r\n")
        err = self.finish_after_ehlo(proc)
        self.assertIn("ostrel: greetdelay trap: not caught.\n", err)
        self.assertIn("ostrel: Rule 'b' in line 1 did not match.\n", err)

    def test_default_delay_for_text_runs_under_sped_up_time(self):
        for value in ["abc", ""]:
            with self.subTest(value=value):
                start = time.monotonic()
                proc = self.ostrel(SCRIPT, fast_time=True, GREETDELAY=value)
                self.assertEqual(proc.recv_line(timeout=30), b"220 test.example ESMTP\r\n")
                elapsed = time.monotonic() - start
                self.assertIn("ostrel: greetdelay trap: not caught.\n", proc.stderr())
                # 6 to 12 seconds of the program's time, at fifty times the speed
                self.assertGreater(elapsed, 0.1)
                self.assertLess(elapsed, 5)

    def test_zero_skips_the_trap(self):
        rules = self.write_file("rules", "3 b greetdelay\n")
        proc = self.ostrel(SCRIPT, GREETDELAY="0", SUSPICION=rules)
        proc.recv_line()
        proc.send(b"EHLO c.example\r\n")
        err = self.finish_after_ehlo(proc)
        self.assertNotIn("greetdelay trap", err)
        self.assertIn("Unable to inspect BEHAVIOUR spec's block greetdelay", err)

    def test_huge_delay_is_clamped_not_negative(self):
        proc = self.ostrel(SCRIPT, GREETDELAY="4294967295")
        proc.send(b"EHLO c.example\r\n")
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        self.assertIn("ostrel: greetdelay trap: caught.\n", proc.stderr())

    def test_unit_suffix_is_ignored(self):
        proc = self.ostrel(SCRIPT, GREETDELAY="1ms")
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        self.assertIn("ostrel: greetdelay trap: not caught.\n", proc.stderr())

    def test_verified_client_skips_the_trap(self):
        self.query("INSERT INTO verified VALUES ('192.0.2.7', DATETIME('now'))")
        proc = self.ostrel(SCRIPT, GREETDELAY="60000")
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        self.assertNotIn("greetdelay", proc.stderr())
