"""The greylisting decision through the real ostrel binary."""

from harness import EHLO_REPLY, GREETING, OK, TEMPFAIL, OstrelCase

ACCEPTED = "reply 250 Accepted\\r\\n"


class Decision(OstrelCase):
    def attempt(self, sender="s@example.org", recipient="r@example.org", accepted=ACCEPTED, **env):
        """One connection up to RCPT TO; returns (process, what the client got)."""
        proc = self.ostrel([GREETING, EHLO_REPLY, OK, accepted, "reply 354 go\\r\\n", "silent"], **env)
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.send(f"MAIL FROM:<{sender}>\r\n".encode())
        proc.recv_line()
        proc.send(f"RCPT TO:<{recipient}>\r\n".encode())
        return proc

    def fails(self, **kwargs):
        proc = self.attempt(**kwargs)
        reply = proc.recv_all()
        self.assertIn(reply, TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        return proc

    def passes(self, **kwargs):
        proc = self.attempt(**kwargs)
        self.assertEqual(proc.recv_line(), b"250 Accepted\r\n")
        proc.send(b"DATA\r\n")  # the relay carries the rest
        self.assertEqual(proc.recv_line(), b"354 go\r\n")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        return proc

    def test_new_triple_then_promotion_then_verified(self):
        err = self.fails().stderr()
        self.assertIn("ostrel: State: NEW-ENTRY\n", err)
        self.assertIn("ostrel: Query: INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, "
                      "tslastdelivery, attempts) VALUES ('192.0.2.7','s@example.org','r@example.org',"
                      "DATETIME('NOW'),DATETIME('NOW'),1)\n", err)
        self.assertIn("ostrel: host '192.0.2.7' requires 1 re-attempts, 0 have been done.\n", err)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])
        self.query("INSERT INTO pending VALUES ('192.0.2.7', 'x@example.org', 'y@example.org', "
                   "DATETIME('now'), DATETIME('now'), 1)")
        self.query("INSERT INTO pending VALUES ('192.0.2.8', 'x@example.org', 'y@example.org', "
                   "DATETIME('now'), DATETIME('now'), 1)")

        err = self.passes().stderr()
        self.assertIn("ostrel: State: PENDING-VERIFIED\n", err)
        self.assertIn("ostrel: Query: 'INSERT INTO verified (ip,ts) VALUES ('192.0.2.7', DATETIME('NOW'))'\n", err)
        self.assertIn("ostrel: Query: 'DELETE FROM pending WHERE ip='192.0.2.7''\n", err)
        self.assertIn("Metainfo ready: addr(192.0.2.7) greet(0) attemptsnum(1) attemptsintrv(", err)
        self.assertEqual(self.verified(), ["192.0.2.7"])
        self.assertEqual([row[0] for row in self.pending()], ["192.0.2.8"])

    def test_server_reply_refused_at_rcpt_is_not_a_decision(self):
        proc = self.attempt(accepted="reply 550 unknown user\\r\\n")
        self.assertEqual(proc.recv_line(), b"550 unknown user\r\n")
        self.assertEqual(self.pending(), [])

    def test_rule_requiring_zero_attempts_passes_at_once_without_writing(self):
        rules = self.write_file("rules", "0 e s:^postmaster@\n")
        err = self.passes(sender="postmaster@example.org", SUSPICION=rules).stderr()
        self.assertIn("ostrel: suspicious host '192.0.2.7' requires 0 re-attempts, 0 have been done.\n", err)
        self.assertIn("ostrel: State: PENDING-SUSPICIOUS-PASSED\n", err)
        self.assertNotIn("DELETE", err)
        self.assertEqual((self.pending(), self.verified()), ([], []))

    def test_rule_requiring_two_attempts(self):
        rules = self.write_file("rules", "2 v SUSPECT\n")
        self.fails(SUSPICION=rules, SUSPECT="")
        err = self.fails(SUSPICION=rules, SUSPECT="").stderr()
        self.assertIn("ostrel: State: UPDATE-ENTRY\n", err)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 2)])
        err = self.passes(SUSPICION=rules, SUSPECT="").stderr()
        self.assertIn("ostrel: Query: 'DELETE FROM pending WHERE ip='192.0.2.7' AND envsender='s@example.org' "
                      "AND envrecipient='r@example.org''\n", err)
        self.assertEqual((self.pending(), self.verified()), ([], []))
        self.fails(SUSPICION=rules, SUSPECT="")  # a later message starts again
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])

    def test_unreadable_suspicion_file_is_like_no_suspicion(self):
        err = self.fails(SUSPICION=self.path("missing")).stderr()
        self.assertIn("ostrel: Unable to open suspicion file '%s': No such file or directory\n" % self.path("missing"),
                      err)
        self.assertIn("ostrel: host '192.0.2.7' requires 1 re-attempts", err)

    def test_null_sender_triple(self):
        self.fails(sender="")
        self.assertEqual(self.pending(), [("192.0.2.7", "", "r@example.org", 1)])

    def test_envelope_naming_nobody_is_refused_unrecorded(self):
        proc = self.ostrel([GREETING, OK, ACCEPTED, "silent"])
        proc.recv_line()
        proc.send(b"MAIL FROM:<>\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<>\r\n")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: Client '192.0.2.7' named neither sender nor recipient, refusing it temporarily.\n",
                      proc.stderr())
        self.assertEqual(self.pending(), [])

    def test_short_held_back_reply_is_passed_whole(self):
        self.fails()
        proc = self.attempt(accepted="reply 250\\r\\n")
        self.assertEqual(proc.recv_line(), b"250\r\n")

    def test_server_input_is_closed_on_a_failure(self):
        self.fails()
        self.assertEqual(self.server_lines()[-1], "C: RCPT TO:<r@example.org>\\r\\n")

    def test_statement_length_sites(self):
        rules = self.write_file("rules", "2 v SUSPECT\n")
        # 413 characters in all: recorded once, the update does not fit (site 495)
        sender = "s" * 180 + "@example.org"
        recipient = "r" * 200 + "@example.org"
        self.fails(sender=sender, recipient=recipient, SUSPICION=rules, SUSPECT="")
        proc = self.attempt(sender=sender, recipient=recipient, SUSPICION=rules, SUSPECT="")
        self.assertIn(proc.recv_all(), TEMPFAIL)  # the reply goes out before the update is formatted
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Buffer too small to handle request near line 495: 1024 bytes needed, 1024 available. "
                      "Terminating\n", proc.stderr())
        self.assertEqual(self.pending()[0][3], 1)

    def test_lookup_that_does_not_fit(self):
        sender = "s" * 440 + "@example.org"
        recipient = "r" * 430 + "@example.org"  # 9 + 452 + 442 = 903 > 891
        proc = self.attempt(sender=sender, recipient=recipient)
        self.assertEqual(proc.recv_all(), b"")
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Buffer too small to handle request near line 358: 1035 bytes needed, 1024 available. "
                      "Terminating\n", proc.stderr())

    def test_missing_pending_table(self):
        self.query("DROP TABLE pending")
        proc = self.attempt()
        self.assertEqual(proc.recv_all(), b"")
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Error querying db: no such table: pending\n", proc.stderr())


class UnnamedRecipientDecision(OstrelCase):
    """DATA or BDAT after recipients without an extractable address: the
    decision on an empty recipient, its record and the retry."""

    def attempt(self, command=b"DATA\r\n", sender=b"s@example.org", after=("reply 354 go\\r\\n",)):
        proc = self.ostrel([GREETING, OK, ACCEPTED, *after, "silent"])
        proc.recv_line()
        proc.send(b"MAIL FROM:<" + sender + b">\r\n")
        proc.recv_line()
        proc.send(b"RCPT TO:<\"root\"@localhost>\r\n")
        self.assertEqual(proc.recv_line(), b"250 Accepted\r\n")
        proc.send(command)
        return proc

    def test_refused_then_retry_passes_and_the_line_reaches_the_server(self):
        proc = self.attempt()
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: State: NEW-ENTRY\n", proc.stderr())
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "", 1)])
        self.assertNotIn("C: DATA\\r\\n", self.server_lines())

        proc = self.attempt()
        self.assertEqual(proc.recv_line(), b"354 go\r\n")  # the server's reply, through the relay
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: State: PENDING-VERIFIED\n", proc.stderr())
        self.assertEqual(self.server_lines()[-1], "C: DATA\\r\\n")
        self.assertEqual((self.pending(), self.verified()), ([], ["192.0.2.7"]))

    def test_null_sender_with_an_unnamed_recipient_is_recorded(self):
        proc = self.attempt(sender=b"")
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertNotIn("named neither sender nor recipient", proc.stderr())
        self.assertEqual(self.pending(), [("192.0.2.7", "", "", 1)])
        proc = self.attempt(sender=b"")
        self.assertEqual(proc.recv_line(), b"354 go\r\n")
        self.assertEqual(self.verified(), ["192.0.2.7"])

    def test_bdat_chunk_follows_its_line_only_on_a_pass(self):
        command = b"BDAT 12 LAST\r\nchunk\r\nbytes"
        proc = self.attempt(command, after=("read", "replyn 12 250 chunk accepted\\r\\n"))
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(self.server_lines()[-1], "C: RCPT TO:<\"root\"@localhost>\\r\\n")

        proc = self.attempt(command, after=("read", "replyn 12 250 chunk accepted\\r\\n"))
        self.assertEqual(proc.recv_line(), b"250 chunk accepted\r\n")
        self.assertEqual(self.server_lines()[-2:], ["C: BDAT 12 LAST\\r\\n", "C: chunk\\r\\nbytes"])

    def test_suspicious_client_needs_its_attempts(self):
        rules = self.write_file("rules", "2 v SUSPECT\n")
        for _ in range(2):
            proc = self.ostrel([GREETING, OK, ACCEPTED, "silent"], SUSPICION=rules, SUSPECT="")
            proc.recv_line()
            proc.send(b"MAIL FROM:<s@example.org>\r\n")
            proc.recv_line()
            proc.send(b"RCPT TO:<postmaster>\r\n")
            proc.recv_line()
            proc.send(b"DATA\r\n")
            self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "", 2)])
