"""The SMTP dialogue through the real ostrel binary, against the scripted
SMTP server program: what reaches the client, the server and the log."""

import os
import time

from harness import EHLO_REPLY, GREETING, OK, TEMPFAIL, OstrelCase, SteppedClock, helper, program



class Greeting(OstrelCase):
    def test_refused_greeting_is_passed_on_then_orderly_end(self):
        proc = self.ostrel(["greet 421 busy\\r\\n", "silent"])
        self.assertEqual(proc.recv_all(), b"421 busy\r\n")
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: \"Service unavailable\" from the upstream server (closing connection): '421 busy\r\n'.\n",
                      proc.stderr())

    def test_multiline_greeting_is_passed_on_whole(self):
        proc = self.ostrel(["greet 220-first\\r\\n220 second\\r\\n", "reply 250 ok\\r\\n", "silent"])
        self.assertEqual(proc.recv_until(b"220 second\r\n"), b"220-first\r\n220 second\r\n")
        proc.send(b"NOOP\r\n")
        self.assertEqual(proc.recv_line(), b"250 ok\r\n")  # the reply to NOOP itself

    def test_server_that_ends_before_greeting(self):
        proc = self.ostrel(["close"])
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Client '192.0.2.7' dropped the connection.\n", proc.stderr())
        self.assertEqual(proc.recv_all(), b"")

    def test_silent_server_times_out(self):
        started = time.monotonic()
        proc = self.ostrel(["silent"], fast_time=True)
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertRegex(proc.stderr(), r"ostrel: Read timeout reached for socket \d+, client 192\.0\.2\.7\n")


class Dialogue(OstrelCase):
    def session(self, *steps, **env):
        return self.ostrel([GREETING, *steps, "silent"], **env)

    def test_multiline_ehlo_reply_reaches_the_client_in_order(self):
        proc = self.session(EHLO_REPLY)
        proc.recv_line()
        proc.send(b"EhLo client.example\r\n")
        self.assertEqual(proc.recv_until(b"250 HELP\r\n"), b"250-test.example\r\n250-PIPELINING\r\n250 HELP\r\n")
        err = proc.stderr()
        self.assertIn("ostrel: Got EHLO command 'client.example'\n", err)
        self.assertIn("ostrel: Got message from server: '250-PIPELINING\r\n'\n", err)

    def test_error_replies_are_passed_on_and_classified(self):
        proc = self.session("reply 550 no\\r\\n", "reply 451 later\\r\\n", OK, "reply 250 Accepted\\r\\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<a@example.org>\r\n")
        self.assertEqual(proc.recv_line(), b"550 no\r\n")
        proc.send(b"QUIT\r\n")  # refused: the session goes on
        self.assertEqual(proc.recv_line(), b"451 later\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        err = proc.stderr()
        self.assertIn("ostrel: Error from the upstream server: '550 no\r\n'.\n", err)
        self.assertIn("cmderrs(1)", err)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])

    def test_every_reply_is_passed_on_whole_before_the_next_line(self):
        long_text = "x" * 1500
        proc = self.session("reply 214-first\\r\\n214 last\\r\\n", "reply 550-no\\r\\n550 really not\\r\\n",
                            f"reply 250 {long_text}\\r\\n", OK, "reply 250 Accepted\\r\\n")
        proc.recv_line()
        proc.send(b"HELP\r\n")
        self.assertEqual(proc.recv_until(b"214 last\r\n"), b"214-first\r\n214 last\r\n")
        proc.send(b"RCPT TO:<a@example.org>\r\n")
        self.assertEqual(proc.recv_until(b"550 really not\r\n"), b"550-no\r\n550 really not\r\n")
        proc.send(b"NOOP\r\n")
        self.assertEqual(proc.recv_until(b"\r\n"), f"250 {long_text}\r\n".encode())
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertIn("cmderrs(2)", proc.stderr())
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])

    def test_quit_is_answered_by_ostrel(self):
        proc = self.session("reply 221 server bye\\r\\n", TCPLOCALHOST="mx.example.net")
        proc.recv_line()
        proc.send(b"quit\r\n")
        self.assertEqual(proc.recv_all(), b"221 mx.example.net\r\n")
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: QUIT command, terminating connection.\n", proc.stderr())
        self.assertIn("C: quit\\r\\n", self.server_lines())

    def test_quit_with_default_local_hostname(self):
        proc = self.session("reply 221 bye\\r\\n")
        proc.recv_line()
        proc.send(b"QUIT\r\n")
        self.assertEqual(proc.recv_all(), b"221 localhost\r\n")

    def test_local_hostname_too_long_for_the_quit_reply(self):
        proc = self.session("reply 221 bye\\r\\n", TCPLOCALHOST="h" * 1018)
        proc.recv_line()
        proc.send(b"QUIT\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Buffer too small to handle request near line 1004: 1024 bytes needed, 1024 available. "
                      "Terminating\n", proc.stderr())
        self.assertEqual(proc.recv_all(), b"")

    def test_data_auth_and_starttls_hand_over_to_the_relay(self):
        for command, reply in [(b"DATA\r\n", "354 go"), (b"AUTH PLAIN AGEAYg==\r\n", "235 ok"),
                               (b"STARTTLS\r\n", "220 go")]:
            with self.subTest(command=command):
                proc = self.ostrel([GREETING, f"reply {reply}\\r\\n", "reply 250 queued\\r\\n", "close"])
                proc.recv_line()
                proc.send(command)
                self.assertEqual(proc.recv_line(), reply.encode() + b"\r\n")
                proc.send(b"raw bytes\r\n")
                self.assertEqual(proc.recv_line(), b"250 queued\r\n")
                self.assertEqual(proc.wait(), 0)

    def test_auth_without_mechanism_is_not_auth(self):
        proc = self.session("reply 501 syntax\\r\\n", "reply 250 ok\\r\\n")
        proc.recv_line()
        proc.send(b"AUTH\r\n")
        self.assertEqual(proc.recv_line(), b"501 syntax\r\n")
        proc.send(b"AUTH\r\n")
        self.assertEqual(proc.recv_line(), b"250 ok\r\n")
        self.assertIn("ostrel: Got unsupported message 'AUTH\r\n'\n", proc.stderr())

    def test_envelope_recording_rset_and_null_sender(self):
        proc = self.session("reply 250 hi\\r\\n", OK, "reply 250 reset\\r\\n", OK, "reply 250 Accepted\\r\\n")
        proc.recv_line()
        for line in [b"HELO mail.example\r\n", b"MAIL FROM:<old@example.org>\r\n", b"RSET\r\n",
                     b"MAIL FROM:<> SIZE=10 RET=x@y.example\r\n"]:
            proc.send(line)
            proc.recv_line()
        proc.send(b"RCPT TO:<postmaster@example.org> NOTIFY=NEVER\r\n")
        proc.recv_all()
        self.assertEqual(proc.wait(), 0)
        err = proc.stderr()
        # the search covers the whole line: the RET parameter is taken
        self.assertIn("ostrel: Got MAIL FROM command 'RET=x@y.example'\n", err)
        self.assertIn("ostrel: Envelope (helo,from,to): (,RET=x@y.example,postmaster@example.org)\n", err)

    def test_null_sender(self):
        proc = self.session(OK, "reply 250 Accepted\\r\\n")
        proc.recv_line()
        proc.send(b"MAIL FROM:<>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertIn("ostrel: Got MAIL FROM command ''\n", proc.stderr())
        self.assertEqual(self.pending(), [("192.0.2.7", "", "r@example.org", 1)])

    def test_address_without_at_sign_still_gets_its_reply(self):
        proc = self.session(OK, OK, "reply 250 Accepted\\r\\n", "reply 250 Accepted\\r\\n")
        proc.recv_line()
        proc.send(b"MAIL FROM:<nobody>\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<postmaster>\r\n")
        self.assertEqual(proc.recv_line(), b"250 Accepted\r\n")
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        err = proc.stderr()
        self.assertIn("ostrel: Syntax error in MAIL FROM command, cannot extract email from 'MAIL FROM:<nobody>\r\n'.\n",
                      err)
        self.assertIn("ostrel: Syntax error in RCPT TO command, cannot extract email from 'RCPT TO:<postmaster>\r\n'.\n",
                      err)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])

    def test_malformed_helo_and_quotes_are_unsupported(self):
        proc = self.session("reply 250 a\\r\\n", "reply 250 b\\r\\n", "reply 250 c\\r\\n")
        proc.recv_line()
        for line in [b"HELO two words\r\n", b"HELO\r\n", b"HELO it's\r\n"]:
            proc.send(line)
            proc.recv_line()
        err = proc.stderr()
        self.assertNotIn("Got HELO command", err)
        self.assertIn("ostrel: Got unsupported message 'HELO it's\r\n'\n", err)

    def test_address_length_limit(self):
        local = "a" * 499
        ok = f"{local}@example.org".encode()  # 511 characters
        proc = self.session(OK, "reply 250 Accepted\\r\\n")
        proc.recv_line()
        proc.send(b"MAIL FROM:<" + ok + b">\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<" + b"b" + ok + b">\r\n")
        self.assertEqual(proc.recv_all(), b"")
        self.assertEqual(proc.wait(), 100)
        err = proc.stderr()
        self.assertIn(f"ostrel: Got MAIL FROM command '{ok.decode()}'\n", err)
        self.assertIn("ostrel: Maximum command length (512 >= 512) exceeded ('RCPT TO:<b" + local, err)
        self.assertEqual(self.pending(), [])


UNNAMED = [b"<\"root\"@localhost>", b"<u@[192.0.2.1]>", b"<postmaster>"]


class UnnamedRecipients(OstrelCase):
    """Recipients the server accepts without an address that can be taken:
    DATA or BDAT then waits for the decision on an empty recipient."""

    def envelope(self, *steps, recipient=UNNAMED[0], sender=b"s@example.org"):
        proc = self.ostrel([GREETING, OK, "reply 250 Accepted\\r\\n", *steps, "silent"])
        proc.recv_line()
        proc.send(b"MAIL FROM:<" + sender + b">\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        proc.send(b"RCPT TO:" + recipient + b"\r\n")
        self.assertEqual(proc.recv_line(), b"250 Accepted\r\n")
        return proc

    def test_data_or_bdat_is_decided_before_it_reaches_the_server(self):
        cases = [(recipient, b"DATA\r\n") for recipient in UNNAMED] + [(UNNAMED[1], b"bdat 5 LAST\r\nhello")]
        for n, (recipient, command) in enumerate(cases):
            with self.subTest(recipient=recipient, command=command):
                sender = f"s{n}@example.org".encode()
                proc = self.envelope(recipient=recipient, sender=sender)
                proc.send(command)
                self.assertIn(proc.recv_all(), TEMPFAIL)
                self.assertEqual(proc.wait(), 0)
                self.assertIn("ostrel: Recipients accepted without an extractable address, deciding before '"
                              + command.decode().split("\n")[0] + "\n' reaches the server.\n", proc.stderr())
                self.assertIn("ostrel: Envelope (helo,from,to): (,%s,)\n" % sender.decode(), proc.stderr())
                self.assertEqual(self.server_lines()[-1], "C: RCPT TO:" + recipient.decode() + "\\r\\n")
                self.assertEqual(self.pending()[-1], ("192.0.2.7", sender.decode(), "", 1))
        self.assertNotIn('"', str(self.pending()))

    def test_refused_recipient_does_not_count(self):
        proc = self.ostrel([GREETING, OK, "reply 550 unknown\\r\\n", "reply 503 no valid recipients\\r\\n",
                            "silent"])
        proc.recv_line()
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<\"nobody\"@localhost>\r\n")
        self.assertEqual(proc.recv_line(), b"550 unknown\r\n")
        proc.send(b"DATA\r\n")
        self.assertEqual(proc.recv_line(), b"503 no valid recipients\r\n")
        self.assertEqual(self.server_lines()[-1], "C: DATA\\r\\n")
        self.assertNotIn("Recipients accepted", proc.stderr())

    def test_an_envelope_reset_forgets_the_recipients(self):
        for reset in [b"RSET\r\n", b"MAIL FROM:<t@example.org>\r\n", b"EHLO c.example\r\n", b"HELO c.example\r\n"]:
            with self.subTest(reset=reset):
                proc = self.envelope("reply 250 reset\\r\\n", "reply 503 no valid recipients\\r\\n",
                                     "reply 500 bdat\\r\\n")
                proc.send(reset)
                self.assertEqual(proc.recv_line(), b"250 reset\r\n")
                proc.send(b"DATA\r\n")
                self.assertEqual(proc.recv_line(), b"503 no valid recipients\r\n")
                proc.send(b"BDAT 0 LAST\r\n")
                self.assertEqual(proc.recv_line(), b"500 bdat\r\n")
                self.assertEqual(self.server_lines()[-2:], ["C: DATA\\r\\n", "C: BDAT 0 LAST\\r\\n"])
                self.assertEqual(self.pending(), [])

    def test_a_later_address_makes_the_triple(self):
        proc = self.envelope("reply 250 Accepted\\r\\n")
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])

    def test_without_any_recipient_data_and_bdat_reach_the_server(self):
        proc = self.ostrel([GREETING, OK, "reply 503 valid RCPT command must precede DATA\\r\\n",
                            "reply 503 no valid recipients\\r\\n", "silent"])
        proc.recv_line()
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        proc.send(b"DATA\r\n")
        self.assertEqual(proc.recv_line(), b"503 valid RCPT command must precede DATA\r\n")
        proc.send(b"BDAT 0 LAST\r\n")
        self.assertEqual(proc.recv_line(), b"503 no valid recipients\r\n")
        self.assertEqual(self.pending(), [])


class Chunks(OstrelCase):
    def test_a_chunk_reaches_the_server_as_it_came_and_each_wait_for_it_is_bounded(self):
        # This server reads the chunk before it answers (exim answers first).
        chunk = b"STARTTLS\r\nRCPT TO:<r@example.net>\r\n\0\xff\n" * 100
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = self.ostrel([GREETING, "reply 250-test.example\\r\\n250 CHUNKING\\r\\n", "read",
                            f"replyn {len(chunk)} 503 no recipient\\r\\n", "reply 250 noop\\r\\n", "silent"],
                           **clock.env())
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 CHUNKING\r\n")
        proc.send(b"BDAT %d\r\n" % len(chunk) + chunk + b"NOOP\r\n")
        self.assertEqual(proc.recv_line() + proc.recv_line(), b"503 no recipient\r\n250 noop\r\n")
        shown = chunk.replace(b"\r", b"\\r").replace(b"\n", b"\\n").replace(b"\0", b"\\0")
        self.assertEqual(self.server_lines()[-2:], ["C: " + shown.decode("utf-8", "replace"), "C: NOOP\\r\\n"])
        clock.speed_up()
        proc.send(b"BDAT 10\r\nabc")  # and nothing more
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: Read timeout reached for socket 0, client 192.0.2.7\n", proc.stderr())


class AuthExchange(OstrelCase):
    """AUTH exchanges: passed on line by line, never logged, and only a 2xx
    final reply hands the connection over."""

    SECRETS = ["dXNlcg==", "c2VjcmV0", "AHVzZXIAc2VjcmV0", "VXNlcm5hbWU6", "UGFzc3dvcmQ6"]

    def assert_nothing_logged(self, proc):
        err = proc.stderr()
        for secret in self.SECRETS:
            self.assertNotIn(secret, err)
        self.assertIn("ostrel: Got AUTH command, its exchange is not logged.\n", err)

    def test_cancelled_exchange_leaves_the_session_watching(self):
        proc = self.ostrel([GREETING, "reply 334 VXNlcm5hbWU6\\r\\n", "reply 501 Authentication cancelled\\r\\n",
                            OK, "reply 250 Accepted\\r\\n", "silent"])
        proc.recv_line()
        self.assertEqual(proc.command(b"AUTH LOGIN\r\n"), b"334 VXNlcm5hbWU6\r\n")
        self.assertEqual(proc.command(b"*\r\n"), b"501 Authentication cancelled\r\n")
        self.assertEqual(proc.command(b"MAIL FROM:<s@example.org>\r\n"), b"250 OK\r\n")
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])
        self.assert_nothing_logged(proc)
        self.assertIn("cmderrs(2)", proc.stderr())

    def test_accepted_exchange_hands_over(self):
        proc = self.ostrel([GREETING, "reply 334 VXNlcm5hbWU6\\r\\n", "reply 334 UGFzc3dvcmQ6\\r\\n",
                            "reply 235 Authentication succeeded\\r\\n", "reply 250 OK\\r\\n", "close"])
        proc.recv_line()
        self.assertEqual(proc.command(b"auth login\r\n"), b"334 VXNlcm5hbWU6\r\n")
        self.assertEqual(proc.command(b"dXNlcg==\r\n"), b"334 UGFzc3dvcmQ6\r\n")
        self.assertEqual(proc.command(b"c2VjcmV0\r\n"), b"235 Authentication succeeded\r\n")
        self.assertEqual(proc.command(b"MAIL FROM:<s@example.org>\r\n"), b"250 OK\r\n")  # carried by the relay
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.server_lines(), ["C: auth login\\r\\n", "C: dXNlcg==\\r\\n", "C: c2VjcmV0\\r\\n",
                                               "C: MAIL FROM:<s@example.org>\\r\\n"])
        self.assert_nothing_logged(proc)
        self.assertNotIn("Got message from client", proc.stderr())

    def test_initial_response_refused(self):
        proc = self.ostrel([GREETING, "reply 535 Incorrect authentication data\\r\\n", "reply 250 ok\\r\\n",
                            "silent"])
        proc.recv_line()
        self.assertEqual(proc.command(b"AUTH PLAIN AHVzZXIAc2VjcmV0\r\n"), b"535 Incorrect authentication data\r\n")
        self.assertEqual(proc.command(b"NOOP\r\n"), b"250 ok\r\n")
        self.assert_nothing_logged(proc)
        self.assertIn("ostrel: Error from the upstream server: '535 Incorrect authentication data\r\n'.\n",
                      proc.stderr())

    def test_long_responses_reach_the_server_whole(self):
        token = b"QUJD" * 1000  # a 4000-byte response, as GSSAPI or XOAUTH2 send
        proc = self.ostrel([GREETING, "reply 334 \\r\\n", "reply 235 ok\\r\\n", "close"])
        proc.recv_line()
        self.assertEqual(proc.command(b"AUTH XOAUTH2 " + token + b"\r\n"), b"334 \r\n")
        proc.send(token + b"\r\n")
        self.assertEqual(proc.recv_line(), b"235 ok\r\n")
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.server_lines(), ["C: AUTH XOAUTH2 " + token.decode() + "\\r\\n",
                                               "C: " + token.decode() + "\\r\\n"])
        self.assertNotIn("QUJD", proc.stderr())


class LineShapes(OstrelCase):
    def session(self, *steps):
        return self.ostrel([GREETING, *steps, "silent"])

    def test_long_lines_are_cut_at_1023_bytes(self):
        proc = self.session("replyn 1023 500 too long\\r\\n", "reply 250 rest\\r\\n", "reply 250 whole\\r\\n")
        proc.recv_line()
        proc.send(b"NOOP " + b"x" * 1018 + b"\n")  # 1023 bytes and the newline
        self.assertEqual(proc.recv_line(), b"500 too long\r\n")
        self.assertEqual(proc.recv_line(), b"250 rest\r\n")
        proc.send(b"NOOP " + b"y" * 1017 + b"\n")  # 1023 bytes with the newline: whole
        self.assertEqual(proc.recv_line(), b"250 whole\r\n")
        self.assertEqual(self.server_lines(), ["C: NOOP " + "x" * 1018, "C: \\n", "C: NOOP " + "y" * 1017 + "\\n"])

    def test_two_lines_in_one_packet(self):
        proc = self.session("reply 250 one\\r\\n", "reply 250 two\\r\\n")
        proc.recv_line()
        proc.send(b"NOOP 1\r\nNOOP 2\r\n")
        self.assertEqual(proc.recv_until(b"two\r\n"), b"250 one\r\n250 two\r\n")
        self.assertEqual(self.server_lines(), ["C: NOOP 1\\r\\n", "C: NOOP 2\\r\\n"])

    def test_bare_lf_and_bare_cr(self):
        proc = self.session("reply 250 hi\\r\\n", "reply 250 x\\r\\n")
        proc.recv_line()
        proc.send(b"HELO lf.example\n")
        proc.recv_line()
        proc.send(b"HELO cr.example\rNOOP\n")  # a bare CR does not end a line
        proc.recv_line()
        err = proc.stderr()
        self.assertIn("ostrel: Got HELO command 'lf.example'\n", err)
        self.assertIn("ostrel: Got unsupported message 'HELO cr.example\rNOOP\n'\n", err)

    def test_nul_byte_is_forwarded_and_classified_up_to_it(self):
        proc = self.session("reply 250 hi\\r\\n")
        proc.recv_line()
        proc.send(b"HELO a.example\x00 junk\r\n")
        proc.recv_line()
        self.assertEqual(self.server_lines(), ["C: HELO a.example\\0 junk\\r\\n"])
        self.assertIn("ostrel: Got HELO command 'a.example'\n", proc.stderr())

    def test_eight_bit_bytes_pass_unchanged(self):
        proc = self.session("reply 250 hi\\r\\n")
        proc.recv_line()
        proc.send(b"HELO \xc3\xa9t\xe9.example\r\n")
        proc.recv_line()
        self.assertIn("ostrel: Got HELO command '", proc.stderr())


class ClientGoesAway(OstrelCase):
    def test_client_drops_at_each_stage(self):
        stages = [[], [b"EHLO c.example\r\n"], [b"EHLO c.example\r\n", b"MAIL FROM:<s@example.org>\r\n"]]
        for sent in stages:
            with self.subTest(lines=len(sent)):
                proc = self.ostrel([GREETING, EHLO_REPLY, OK, "silent"])
                proc.recv_line()
                for line in sent:
                    proc.send(line)
                    proc.recv_until(b"\r\n250 " if line.startswith(b"EHLO") else b"\r\n")
                    if line.startswith(b"EHLO"):
                        proc.recv_line()
                proc.shut_write()
                self.assertEqual(proc.wait(), 100)
                self.assertIn("ostrel: Client '192.0.2.7' dropped the connection.\n", proc.stderr())

    def test_silent_client_times_out(self):
        # The server program starts only once the clock is sped up: ostrel
        # waits for its greeting at real speed, and for the client after it
        # at the higher one.
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        gate = self.path("gate")
        os.mkfifo(gate)
        server = [helper("scripted_smtpd"), self.server_script(GREETING, "silent")]
        proc = self.start([program("ostrel"), "/bin/sh", "-c", 'read go < "$0" && exec "$@"', gate, *server],
                          self.env(**clock.env()), name="ostrel")
        clock.speed_up()
        opened = os.open(gate, os.O_RDWR)  # held open until read: a pipe with no end open loses its bytes
        os.write(opened, b"go\n")
        proc.recv_line()
        os.close(opened)
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: Read timeout reached for socket 0, client 192.0.2.7\n", proc.stderr())

    def test_server_ends_in_the_middle_of_the_dialogue(self):
        proc = self.ostrel([GREETING, "read"])
        proc.recv_line()
        proc.send(b"EHLO c.example\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assertRegex(proc.stderr(), r"ostrel: (Client '192\.0\.2\.7' dropped the connection|"
                                        r"Client '192\.0\.2\.7' closed connection prematurely)\.\n")
