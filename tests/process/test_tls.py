"""STARTTLS taken by ostrel itself on the greylisting road, through the real
binary with real TLS clients: the scripted SMTP server program with Python's
ssl client (OpenSSL), and tcpserver with exim4 -bs, swaks and openssl
s_client."""

import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (EHLO_REPLY, GREETING, OK, TEMPFAIL, OstrelCase, SteppedClock, WorkdirCase, program,
                     wait_for_text)
from realparts import SmtpClient, TcpServer, base_env, exim_command, inbox_path, init_db, swaks
from test_e2e import COMMAND_LIKE_CHUNK, accepted_chunk, chunk_then_recipient
from test_relay import pattern
from tlsparts import TlsClient, connect_plain, make_certificate

READY = b"220 2.0.0 Ready to start TLS\r\n"
UNAVAILABLE = b"454 4.7.0 TLS not available due to temporary reason\r\n"
EHLO_OFFERING_TLS = "reply 250-test.example\\r\\n250-STARTTLS\\r\\n250 HELP\\r\\n"
ACCEPTED = "reply 250 Accepted\\r\\n"
# The start of a ClientHello record: a client that stops here.
HELLO_START = b"\x16\x03\x01\x01\x00\x01\x00\x00\xfc\x03\x03" + bytes(range(20))
MB = 1024 * 1024
# With these, exim adds no header lines of its own below the Received line.
HEADERS = b"From: sender@example.org\r\nDate: Wed, 09 Dec 2026 12:00:00 +0000\r\nMessage-Id: <m1@example.org>\r\n"


class Certificates:
    """One throwaway certificate set per test class."""

    @classmethod
    def setUpClass(cls):
        cls.certdir = tempfile.mkdtemp(prefix="ostrel-certs-")
        cls.cert, cls.key = make_certificate(cls.certdir)
        cls.other_cert, cls.other_key = make_certificate(cls.certdir, "other")
        cls.locked_cert, cls.locked_key = make_certificate(cls.certdir, "locked", passphrase="secret")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certdir, ignore_errors=True)

    def tls_env(self):
        return {"TLSCERT": self.cert, "TLSKEY": self.key}


class ScriptedServer(Certificates, OstrelCase):
    def session(self, *steps, **env):
        proc = self.ostrel([GREETING, *steps, "silent"], **{**self.tls_env(), **env})
        self.assertEqual(proc.recv_line(), b"220 test.example ESMTP\r\n")
        return proc

    def ehlo(self, proc):
        proc.send(b"EHLO client.example\r\n")
        return proc.recv_until(b"250 ") + proc.recv_line()

    def start_tls(self, proc):
        proc.send(b"STARTTLS\r\n")
        self.assertEqual(proc.recv_line(), READY)
        return self.start_tls_after_ready(proc)

    def start_tls_after_ready(self, proc):
        self.assertEqual(proc.received, b"")
        client = TlsClient(proc.sock, self.cert)
        self.addCleanup(client.sock.close)
        return client

    def test_greylisted_inside_tls_and_the_server_never_sees_starttls(self):
        proc = self.session(EHLO_REPLY, EHLO_OFFERING_TLS, OK, ACCEPTED)
        # The server program offers no STARTTLS: ostrel adds it before the last line.
        self.assertEqual(self.ehlo(proc), b"250-test.example\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 HELP\r\n")
        client = self.start_tls(proc)
        self.assertIn(client.version(), ("TLSv1.3", "TLSv1.2"))
        # Inside TLS the server program's own offer is taken out.
        client.send(b"EHLO client.example\r\n")
        self.assertEqual(client.recv_reply(), b"250-test.example\r\n250 HELP\r\n")
        client.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\n")  # one record, two lines
        self.assertEqual(client.recv_line(), b"250 OK\r\n")
        self.assertIn(client.recv_all(), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.server_lines(), ["C: EHLO client.example\\r\\n", "C: EHLO client.example\\r\\n",
                                               "C: MAIL FROM:<s@example.org>\\r\\n", "C: RCPT TO:<r@example.net>\\r\\n"])
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.net", 1)])
        self.assertEqual(self.verified(), [])
        err = proc.stderr()
        self.assertRegex(err, r"ostrel: TLS with client '192\.0\.2\.7' established: TLSv1\.[23] \S+\.\n")
        self.assertIn("ostrel: Envelope (helo,from,to): (client.example,s@example.org,r@example.net)\n", err)

    def test_an_offer_of_one_line_and_an_offer_already_made(self):
        proc = self.session("reply 250 test.example\\r\\n", EHLO_OFFERING_TLS, "reply 250 only\\r\\n",
                            "reply 250-test.example\\r\\n250-SIZE 100\\r\\n250 STARTTLS\\r\\n")
        self.assertEqual(self.ehlo(proc), b"250-test.example\r\n250 STARTTLS\r\n")
        self.assertEqual(self.ehlo(proc), b"250-test.example\r\n250-STARTTLS\r\n250 HELP\r\n")
        client = self.start_tls(proc)
        client.send(b"EHLO client.example\r\n")
        self.assertEqual(client.recv_reply(), b"250 only\r\n")
        client.send(b"EHLO client.example\r\n")  # the offer was the last line: the one before ends the reply
        self.assertEqual(client.recv_reply(), b"250-test.example\r\n250 SIZE 100\r\n")

    def test_starttls_lines_are_all_answered_by_ostrel(self):
        proc = self.session(OK, "reply 250 after\\r\\n", "reply 221 server bye\\r\\n", TCPLOCALHOST="mx.test.example")
        proc.send(b"STARTTLS now\r\n")
        self.assertEqual(proc.recv_line(), b"501 5.5.4 Syntax error (no parameters allowed)\r\n")
        proc.send(b"NOOP\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        client = self.start_tls(proc)
        client.send(b"starttls\r\n")
        self.assertEqual(client.recv_line(), b"503 5.5.1 TLS already active\r\n")
        client.send(b"NOOP\r\n")
        self.assertEqual(client.recv_line(), b"250 after\r\n")
        client.send(b"QUIT\r\n")
        self.assertEqual(client.recv_all(), b"221 mx.test.example\r\n")
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.server_lines(), ["C: NOOP\\r\\n", "C: NOOP\\r\\n", "C: QUIT\\r\\n"])

    def test_a_transaction_the_server_holds_is_reset_before_tls(self):
        # The whole reply to ostrel's RSET stays here; a refusal keeps the
        # transaction on both sides, in clear text; a server gone ends it all.
        for rset, answer, then, sender in [("reply 250-reset\\r\\n250 done\\r\\n", READY, b"MAIL FROM:<t@example.org>\r\n",
                                            "t@example.org"),
                                           ("reply 451-busy\\r\\n451 later\\r\\n", UNAVAILABLE, b"NOOP\r\n", "s@example.org"),
                                           ("close", b"", None, None)]:
            with self.subTest(rset=rset):
                self.query("DELETE FROM pending")
                proc = self.session(OK, rset, OK, ACCEPTED)
                self.assertEqual(proc.command(b"MAIL FROM:<s@example.org>\r\n"), b"250 OK\r\n")
                proc.send(b"STARTTLS\r\n")
                if then is None:
                    self.assertEqual((proc.recv_all(), proc.wait()), (b"", 100))
                    continue
                self.assertEqual(proc.recv_line(), answer)
                client = self.start_tls_after_ready(proc) if answer == READY else proc
                self.assertEqual(client.command(then), b"250 OK\r\n")
                client.send(b"RCPT TO:<r@example.net>\r\n")
                self.assertIn(client.recv_all(), TEMPFAIL)
                self.assertEqual(proc.wait(), 0)
                self.assertEqual(self.server_lines()[-4:-2], ["C: MAIL FROM:<s@example.org>\\r\\n", "C: RSET\\r\\n"])
                self.assertEqual(self.pending(), [("192.0.2.7", sender, "r@example.net", 1)])
        self.assertEqual(self.pending(), [])

    def test_pass_inside_tls_then_fifty_megabytes_through_the_relay(self):
        self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.net',"
                   " DATETIME('now', '-10 minutes'), DATETIME('now', '-10 minutes'), 1)")
        size = 50 * MB
        proc = self.session(EHLO_REPLY, OK, ACCEPTED, "reply 354 go\\r\\n", f"blast {size}")
        client = self.start_tls(proc)
        client.send(b"EHLO client.example\r\nMAIL FROM:<s@example.org>\r\n")
        self.assertEqual(client.recv_reply(), b"250-test.example\r\n250-PIPELINING\r\n250 HELP\r\n")
        self.assertEqual(client.recv_line(), b"250 OK\r\n")
        client.send(b"RCPT TO:<r@example.net>\r\n")
        self.assertEqual(client.recv_line(), b"250 Accepted\r\n")
        client.send(b"DATA\r\n")
        self.assertEqual(client.recv_line(), b"354 go\r\n")
        digest = hashlib.sha256(client.buffer)
        received = len(client.buffer)
        client.buffer = b""
        while received < size:
            chunk = client.sock.recv(256 * 1024)
            if not chunk:
                break
            digest.update(chunk)
            received += len(chunk)
            if received % (8 * MB) < len(chunk):
                time.sleep(0.05)  # a reader that falls behind now and then
        # The client's close_notify ends the server program's input; its end
        # comes back as ostrel's close_notify.
        client.sock.unwrap()
        self.assertEqual(received, size)
        self.assertEqual(digest.hexdigest(), hashlib.sha256(pattern(size)).hexdigest())
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(self.verified(), ["192.0.2.7"])
        self.assertNotIn("Unable to write", proc.stderr())

    def test_fifty_megabytes_from_the_client_and_its_end_reach_the_server(self):
        proc = self.session(OK, ACCEPTED, "reply 354 go\\r\\n", "sink", SUSPICION=self.write_file("rules", "0 e s:.\n"))
        client = self.start_tls(proc)
        client.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\n")
        self.assertEqual(client.recv_line(), b"250 OK\r\n")
        self.assertEqual(client.recv_line(), b"250 Accepted\r\n")
        client.send(b"DATA\r\n")
        self.assertEqual(client.recv_line(), b"354 go\r\n")
        data = pattern(50 * MB)
        client.send(data)
        client.sock.unwrap()  # close_notify: the server's input ends
        self.assertEqual(proc.wait(timeout=60), 0)
        sinks = [line.split()[1] for line in self.server_lines() if line.startswith("SINK ")]
        self.assertEqual(sinks, [str(len(data))])

    def test_a_verified_client_goes_straight_to_the_server_program(self):
        self.query("INSERT INTO verified VALUES ('192.0.2.7', DATETIME('now'))")
        proc = self.session(EHLO_REPLY, "reply 220 the server's own TLS\\r\\n")
        self.assertEqual(self.ehlo(proc), b"250-test.example\r\n250-PIPELINING\r\n250 HELP\r\n")
        proc.send(b"STARTTLS\r\n")
        self.assertEqual(proc.recv_line(), b"220 the server's own TLS\r\n")
        self.assertIn("C: STARTTLS\\r\\n", self.server_lines())
        err = proc.stderr()
        self.assertIn("recognized as a verified server", err)
        self.assertNotIn("ostrel: TLS", err)

    def test_garbage_instead_of_a_handshake(self):
        for name, after_ready in [("plain text", b"EHLO client.example\r\nMAIL FROM:<a@b.example>\r\n"),
                                  ("pipelined after STARTTLS", None)]:
            with self.subTest(name):
                proc = self.session(EHLO_REPLY, OK)
                if after_ready is None:
                    # Plain text sent with STARTTLS, before any handshake, is never taken as a command.
                    proc.send(b"STARTTLS\r\nMAIL FROM:<a@b.example>\r\n")
                    self.assertEqual(proc.recv_line(), READY)
                else:
                    proc.send(b"STARTTLS\r\n")
                    self.assertEqual(proc.recv_line(), READY)
                    proc.send(after_ready)
                self.assertEqual(proc.wait(), 100)
                self.assertRegex(proc.stderr(),
                                 r"ostrel: TLS handshake with client '192\.0\.2\.7' failed: (wrong version number|[a-z ]+)\.\n")
                self.assertEqual(self.server_lines(), [])
                self.assertEqual(self.pending(), [])

    def test_a_client_that_hangs_up_mid_handshake(self):
        proc = self.session()
        proc.send(b"STARTTLS\r\n")
        self.assertEqual(proc.recv_line(), READY)
        proc.send(HELLO_START)
        proc.sock.close()
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Client '192.0.2.7' hung up during the TLS handshake: ", proc.stderr())
        err = proc.stderr()
        self.assertEqual(err.count("hung up"), 1)
        self.assertNotIn("failed", err)

    # Under these the clock speeds up once the client stands where it stops:
    # starting up and the handshake are not raced against a sped-up limit.

    def test_a_stalled_handshake_and_a_silent_tls_client_time_out(self):
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = self.session(**clock.env())
        clock.speed_up()
        proc.send(b"STARTTLS\r\n" + HELLO_START)  # then nothing more
        self.assertEqual(proc.recv_line(), READY)
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: TLS handshake with client '192.0.2.7' timed out.\n", proc.stderr())

        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = self.session(**clock.env())
        client = self.start_tls(proc)
        clock.speed_up()
        # A line that ostrel answers itself, so that its wait for the next one
        # begins at the higher speed; then nothing more.
        client.send(b"STARTTLS\r\n")
        self.assertEqual(client.recv_line(), b"503 5.5.1 TLS already active\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: Read timeout reached for socket 0, client 192.0.2.7\n", proc.stderr())

    def test_a_tls_client_that_reads_nothing_is_timed_out(self):
        # A reply far larger than the socket's buffers: the writer inside TLS waits for room, bounded.
        long_reply = "reply " + "".join(f"250-line {n} {'x' * 180}\\r\\n" for n in range(3000)) + "250 end\\r\\n"
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = self.session(long_reply, **clock.env())
        client = self.start_tls(proc)
        clock.speed_up()
        client.send(b"EHLO client.example\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: Write timeout reached for socket 1, client 192.0.2.7\n", proc.stderr())

    def test_files_that_cannot_be_loaded_keep_starttls_from_the_server_program(self):
        garbage = self.write_file("garbage.pem", "not a key\n")
        cases = {
            "missing key": ({"TLSKEY": self.path("absent.pem")},
                            "cannot load the private key '{}': No such file or directory.".format(self.path("absent.pem"))),
            "garbage key": ({"TLSKEY": garbage}, f"cannot load the private key '{garbage}': "),
            "key needing a passphrase": ({"TLSCERT": self.locked_cert, "TLSKEY": self.locked_key},
                                         f"cannot load the private key '{self.locked_key}': "),
            "key of another certificate": ({"TLSKEY": self.other_key},
                                           f"the private key '{self.other_key}' does not match the certificate"),
            "no key in the certificate file": ({"TLSKEY": None}, f"cannot load the private key '{self.cert}': "),
            "missing certificate": ({"TLSCERT": self.path("absent-cert.pem")}, "cannot load the certificate chain"),
        }
        for name, (env, message) in cases.items():
            with self.subTest(name):
                os.unlink(self.smtpd_log) if os.path.exists(self.smtpd_log) else None
                proc = self.session(EHLO_OFFERING_TLS, OK, **env)
                # Neither ostrel nor the server program offers TLS, and STARTTLS never reaches the server.
                self.assertEqual(self.ehlo(proc), b"250-test.example\r\n250 HELP\r\n")
                proc.send(b"STARTTLS\r\n")
                self.assertEqual(proc.recv_line(), UNAVAILABLE)
                proc.send(b"NOOP\r\n")
                self.assertEqual(proc.recv_line(), b"250 OK\r\n")  # still clear text, still watched
                self.assertEqual(self.server_lines(), ["C: EHLO client.example\\r\\n", "C: NOOP\\r\\n"])
                err = proc.stderr()
                self.assertIn("ostrel: TLS is off for this connection: " + message, err)
                self.assertEqual(err.count("TLS is off"), 1, err)
                self.assertNotIn("STARTTLS is offered", err)


class LibraryLoading(Certificates, OstrelCase):
    """OpenSSL is loaded only when TLS is configured, and a library that
    cannot be loaded leaves TLS to the server program."""

    def test_the_library_is_mapped_only_with_tlscert(self):
        self.assertNotIn("libssl", self.maps_during_dialogue())
        self.assertNotIn("libcrypto", self.maps_during_dialogue())
        self.assertIn("libssl.so.3", self.maps_during_dialogue(**self.tls_env()))

    def test_a_library_that_cannot_be_loaded_turns_tls_off(self):
        libdir = self.path("lib")
        os.mkdir(libdir)
        # A library of the right name without OpenSSL's functions in it.
        subprocess.run(["cc", "-shared", "-o", os.path.join(libdir, "libssl.so.3"), "-x", "c", "/dev/null"],
                       check=True)
        proc = self.ostrel([GREETING, EHLO_REPLY, "silent"], LD_LIBRARY_PATH=libdir, **self.tls_env())
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        self.assertEqual(proc.recv_until(b"250 HELP\r\n"), b"250-test.example\r\n250-PIPELINING\r\n250 HELP\r\n")
        proc.shut_write()
        proc.wait()
        err = proc.stderr()
        self.assertIn("ostrel: TLS is off for this connection: the TLS library failed: ", err)
        self.assertIn("undefined symbol", err)
        self.assertEqual(err.count("TLS is off"), 1, err)


class RealParts(Certificates, WorkdirCase):
    """tcpserver, ostrel and exim4 -bs, with swaks and openssl s_client."""

    def setUp(self):
        super().setUp()
        self.db = self.path("greylist.db")
        init_db(self.db)
        self.server = TcpServer(self.workdir, [program("ostrel")] + exim_command(self.workdir),
                                base_env(self.workdir, **self.tls_env()))
        self.addCleanup(self.server.close)

    def rows(self, sql):
        import sqlite3
        with sqlite3.connect(self.db) as conn:
            return conn.execute(sql).fetchall()

    def envelope_to_data(self, client):
        """Inside TLS: EHLO, then the envelope of a retried triple up to exim's 354."""
        client.send(b"EHLO client.example\r\n")
        client.recv_reply()
        client.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\nDATA\r\n")
        self.assertEqual(client.recv_line(), b"250 OK\r\n")
        self.assertEqual(client.recv_line(), b"250 Accepted\r\n")
        self.assertTrue(client.recv_line().startswith(b"354 "))

    def swaks_tls(self, sender, recipient, *extra):
        return swaks(self.server.port, sender, recipient,
                     extra=["--tls", "--tls-verify", "--tls-ca-path", self.cert, *extra])

    def clear_then_tls(self, *commands):
        """A client that has each of commands accepted in clear text, then
        starts TLS."""
        client = SmtpClient(self.server.port)
        self.addCleanup(client.close)
        self.assertTrue(client.reply().startswith(b"220 "))
        for command in commands:
            self.assertTrue(client.command(command).startswith(b"250"), command)
        self.assertEqual(client.command(b"STARTTLS\r\n"), READY)
        tls = TlsClient(client.sock, self.cert)
        self.addCleanup(tls.sock.close)
        return tls

    def test_a_transaction_begun_in_clear_text_ends_at_starttls(self):
        # exim's transaction ends with ostrel's view of it: a recipient accepted
        # before TLS does not carry DATA past the decision, and a sender given
        # before TLS is gone in exim too, so no triple gets an empty sender.
        # No EHLO inside TLS, which would end exim's transaction by itself.
        ehlo, mail = b"EHLO client.example\r\n", b"MAIL FROM:<spam@attacker.example>\r\n"
        cases = [("recipient before TLS", [ehlo, mail, b'RCPT TO:<"user"@victim.example>\r\n'],
                  [(b"DATA\r\n", b"503 valid RCPT command must precede DATA\r\n")]),
                 ("sender before TLS", [ehlo, mail],
                  [(b"RCPT TO:<user@victim.example>\r\n", b"503 sender not yet given\r\n")])]
        for n, (name, before, inside) in enumerate(cases):
            with self.subTest(name):
                client = self.clear_then_tls(*before)
                for command, reply in inside:
                    self.assertTrue(client.command(command).startswith(reply), command)
                self.assertEqual(client.command(b"MAIL FROM:<s%d@example.org>\r\n" % n), b"250 OK\r\n")
                client.send(b"RCPT TO:<user@victim.example>\r\n")
                self.assertIn(client.recv_all(), TEMPFAIL)
                client.sock.close()
        self.server.wait_for_ends(2)
        self.assertEqual(self.server.statuses(), [0, 0])
        self.assertEqual(self.rows("SELECT envsender, envrecipient, attempts FROM pending ORDER BY rowid"),
                         [("s0@example.org", "user@victim.example", 1), ("s1@example.org", "user@victim.example", 1)])
        self.assertFalse(os.path.exists(inbox_path(self.workdir)))
        self.assertEqual(self.server.stderr().count("Sending RSET to the server before TLS"), 2)

    def test_a_bdat_chunk_inside_tls_is_data(self):
        # The chunk arrives in TLS records, partly read along with the BDAT line.
        ehlo = b"EHLO client.example\r\n"
        pipelined = b"BDAT %d\r\n" % len(COMMAND_LIKE_CHUNK) + COMMAND_LIKE_CHUNK
        client = self.clear_then_tls(ehlo)
        self.assertIn(b"250-CHUNKING\r\n", client.command(ehlo))
        chunk_then_recipient(self, client, b"s@example.org", pipelined,
                             b"503 valid RCPT command must precede BDAT\r\n")
        self.server.wait_for_ends(1)
        self.assertEqual(self.rows("SELECT envsender, envrecipient FROM pending"), [("s@example.org", "r@example.net")])

        client = self.clear_then_tls()
        client.command(ehlo)
        accepted_chunk(self, client, b"s@example.org")

    def test_greylisted_inside_tls_then_the_retry_reaches_exim_whole(self):
        first = self.swaks_tls("sender@example.org", "user@example.net")
        self.assertIn("=== TLS started with cipher TLSv1.", first)
        self.assertRegex(first, r"<~\* (451 qqt failure \(#4\.3\.0\)|452 insufficient system storage)\n")
        self.assertNotIn("250 Accepted", first)
        self.server.wait_for_ends(1)
        self.assertEqual(self.server.statuses(), [0])
        self.assertEqual(self.rows("SELECT ip, envsender, envrecipient, attempts FROM pending"),
                         [("127.0.0.1", "sender@example.org", "user@example.net", 1)])
        self.assertEqual(self.rows("SELECT * FROM verified"), [])

        body = "".join(f"line {n} of the message sent inside TLS {n * 7919 % 10007:05d}\r\n" for n in range(3000))
        message = self.write_file("message", HEADERS.decode() + "Subject: inside TLS\r\n\r\n" + body, mode="w")
        second = self.swaks_tls("sender@example.org", "user@example.net", "--data", "@" + message)
        self.assertIn("<~  250 Accepted\n", second)
        self.assertRegex(second, r"<~  250 OK id=\S+\n")
        wait_for_text(inbox_path(self.workdir), "line 2999 of the message")
        with open(inbox_path(self.workdir), "rb") as f:
            inbox = f.read()
        start = inbox.index(b"Subject: inside TLS\n")
        self.assertEqual(inbox[start:start + 21], b"Subject: inside TLS\n\n", inbox[start:start + 200])
        delivered = inbox[start + 21:start + 21 + len(body) - body.count("\r")]
        self.assertTrue(delivered == body.replace("\r\n", "\n").encode(), delivered[:200])
        self.assertEqual(self.rows("SELECT ip FROM verified"), [("127.0.0.1",)])

    def test_openssl_s_client_is_greylisted(self):
        commands = b"EHLO client.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\n"
        result = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", f"127.0.0.1:{self.server.port}",
                                 "-CAfile", self.cert, "-verify_return_error", "-verify_hostname", "mx.test.example",
                                 "-quiet"], input=commands, capture_output=True, timeout=60)
        out = result.stdout.decode()
        self.assertRegex(out, r"(451 qqt failure \(#4\.3\.0\)|452 insufficient system storage)\r\n$")
        self.assertNotIn("STARTTLS", out)  # the reply to the EHLO inside TLS
        self.assertNotIn("didn't find starttls", result.stderr.decode())
        self.assertEqual(self.rows("SELECT envsender, envrecipient, attempts FROM pending"),
                         [("s@example.org", "r@example.net", 1)])

    def test_fifty_megabytes_inside_tls_reach_exim_whole(self):
        self.rows("INSERT INTO pending VALUES ('127.0.0.1', 's@example.org', 'r@example.net',"
                  " DATETIME('now', '-10 minutes'), DATETIME('now', '-10 minutes'), 1)")
        line = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789===\r\n"
        body = line * (50 * 1000 * 1000 // len(line))  # 50 MB, below exim's default limit
        sock = connect_plain(self.server.port)
        plain = sock.makefile("rb")
        self.assertTrue(plain.readline().startswith(b"220 "))
        sock.sendall(b"EHLO client.example\r\n")
        while not plain.readline().startswith(b"250 "):
            pass
        sock.sendall(b"STARTTLS\r\n")
        self.assertEqual(plain.readline(), READY)
        client = TlsClient(sock, self.cert, timeout=120)
        self.addCleanup(client.sock.close)
        self.envelope_to_data(client)
        client.send(HEADERS + b"Subject: big\r\n\r\n" + body + b".\r\n")
        self.assertTrue(client.recv_line().startswith(b"250 OK id="))
        client.send(b"QUIT\r\n")
        self.assertTrue(client.recv_line().startswith(b"221 "))
        self.server.wait_for_ends(1)
        self.assertEqual(self.server.statuses(), [0])
        # exim appends the message to the mailbox after its header is there:
        # only its log line says that the delivery is complete.
        wait_for_text(os.path.join(self.workdir, "exim", "log", "mainlog"), "Completed", timeout=120)
        with open(inbox_path(self.workdir), "rb") as f:
            inbox = f.read()
        start = inbox.index(b"Subject: big\n\n") + len(b"Subject: big\n\n")
        delivered = inbox[start:start + len(body) - body.count(b"\r")]
        self.assertEqual(hashlib.sha256(delivered).hexdigest(), hashlib.sha256(body.replace(b"\r\n", b"\n")).hexdigest())

    def test_a_client_that_ends_its_input_after_quit_gets_the_last_replies(self):
        self.rows("INSERT INTO pending VALUES ('127.0.0.1', 's@example.org', 'r@example.net',"
                  " DATETIME('now', '-10 minutes'), DATETIME('now', '-10 minutes'), 1)")
        sock = connect_plain(self.server.port)
        plain = sock.makefile("rb")
        self.assertTrue(plain.readline().startswith(b"220 "))
        sock.sendall(b"STARTTLS\r\n")
        self.assertEqual(plain.readline(), READY)
        client = TlsClient(sock, self.cert)
        self.addCleanup(client.sock.close)
        self.envelope_to_data(client)
        client.send(HEADERS + b"Subject: last\r\n\r\nbody\r\n.\r\nQUIT\r\n")
        # The end of the client's input, without close_notify, on the very socket.
        with socket.socket(fileno=os.dup(client.sock.fileno())) as raw:
            raw.shutdown(socket.SHUT_WR)
        self.assertTrue(client.recv_line().startswith(b"250 OK id="))
        self.assertTrue(client.recv_line().startswith(b"221 "))
        self.server.wait_for_ends(1)
        self.assertEqual(self.server.statuses(), [0])
        wait_for_text(inbox_path(self.workdir), "Subject: last")

    def test_a_verified_client_does_tls_with_the_server_program(self):
        self.rows("INSERT INTO verified VALUES ('127.0.0.1', DATETIME('now'))")
        out = swaks(self.server.port, "sender@example.org", "user@example.net", extra=["--tls"])
        self.assertIn("=== TLS started with cipher", out)
        self.assertRegex(out, r"<~  250 OK id=\S+\n")
        self.assertIn("recognized as a verified server", self.server.stderr())
        self.assertNotIn("ostrel: TLS", self.server.stderr())  # ostrel took no part


if __name__ == "__main__":
    unittest.main()
