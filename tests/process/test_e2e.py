"""The whole chain with real parts: tcpserver on 127.0.0.1, swaks as the
client, exim4 -bs as the SMTP server program."""

import concurrent.futures
import os
import socket
import subprocess

from harness import TEMPFAIL_SWAKS_RE as TEMPFAIL
from harness import GREETING, OK, TEMPFAIL_REPLY_RE, SteppedClock, helper, program, wait_for_text
from harness import TEMPFAIL as TEMPFAIL_LINES
from realparts import ChainCase, SmtpClient, exim_command, inbox_path, swaks
from tlsparts import TlsClient, make_certificate


# Command lines inside a chunk, over two TLS records' worth and more.
COMMAND_LIKE_CHUNK = b"RCPT TO:<user@victim.example>\r\nDATA\r\n.\r\nQUIT\r\n" * 1000


def chunk_then_recipient(test, client, sender, pipelined, first_reply):
    """MAIL FROM, then one write: a BDAT line and its chunk (refused by exim,
    or the line by ostrel) followed by a recipient. Both sides read what
    follows the chunk as the next command, so the recipient is greylisted."""
    test.assertEqual(client.command(b"MAIL FROM:<%s>\r\n" % sender), b"250 OK\r\n")
    test.assertEqual(client.command(pipelined + b"RCPT TO:<r@example.net>\r\n"), first_reply)
    test.assertRegex(client.reply().decode(), TEMPFAIL_REPLY_RE)
    client.close()  # ostrel lingers until the client's end


def accepted_chunk(test, client, sender):
    """After a pass: one write of a BDAT LAST line, a chunk of command lines
    and QUIT; the chunk reaches exim whole, as the message body."""
    test.assertEqual(client.command(b"MAIL FROM:<%s>\r\n" % sender), b"250 OK\r\n")
    test.assertEqual(client.command(b"RCPT TO:<r@example.net>\r\n"), b"250 Accepted\r\n")
    body = COMMAND_LIKE_CHUNK + b"end of the chunk of " + sender + b"\r\n"
    message = b"Subject: chunk\r\n\r\n" + body
    reply = client.command(b"BDAT %d LAST\r\n" % len(message) + message + b"QUIT\r\n")
    test.assertRegex(reply.decode(), r"^250- *\d+ byte chunk, total \d+\r\n250 OK id=\S+\r\n$")
    test.assertTrue(client.reply().startswith(b"221 "))
    wait_for_text(inbox_path(test.workdir), "end of the chunk of " + sender.decode())
    with open(inbox_path(test.workdir), "rb") as f:
        test.assertIn(b"\n\n" + body.replace(b"\r\n", b"\n"), f.read())  # below exim's header lines


class EndToEnd(ChainCase):

    def test_greylisting_round_trip(self):
        server = self.serve()
        first = swaks(server.port, "sender@example.org", "user@example.net")
        self.assertRegex(first, TEMPFAIL)
        self.assertNotIn("250 Accepted", first)
        server.wait_for_ends(1)
        self.assertEqual(server.statuses(), [0])
        self.assertEqual(self.rows("SELECT ip, envsender, envrecipient, attempts FROM pending"),
                         [("127.0.0.1", "sender@example.org", "user@example.net", 1)])

        second = swaks(server.port, "sender@example.org", "user@example.net")
        self.assertIn("<-  250 Accepted\n", second)
        self.assertRegex(second, r"<-  250 OK id=\S+\n")
        wait_for_text(inbox_path(self.workdir), "From: sender@example.org")
        self.assertEqual(self.rows("SELECT ip FROM verified"), [("127.0.0.1",)])
        self.assertEqual(self.rows("SELECT * FROM pending"), [])

        self.rows("UPDATE verified SET ts = '2001-01-01 00:00:00'")
        third = swaks(server.port, "other@example.org", "user@example.net")
        self.assertRegex(third, r"<-  250 OK id=\S+\n")
        server.wait_for_ends(3)
        self.assertEqual(server.statuses(), [0, 0, 0])
        log = server.stderr()
        self.assertEqual(log.count("State: VERIF-NEW-PENDING"), 2)
        self.assertIn("Address '127.0.0.1' is recognized as a verified server", log)
        self.assertEqual(self.rows("SELECT ts > '2001-01-01 00:00:00' FROM verified"), [(1,)])

    def test_recipients_without_an_extractable_address_are_greylisted(self):
        server = self.serve()
        message = b"From: s@example.org\r\nSubject: %s\r\n\r\nbody\r\n"
        cases = [(b'<"root"@localhost>', b"DATA"), (b"<u@[192.0.2.1]>", b"DATA"), (b"<postmaster>", b"BDAT")]
        for n, (recipient, command) in enumerate(cases):
            local, sender, subject = f"127.0.4.{n + 1}", f"s{n}@example.org".encode(), f"case-{n}".encode()
            for attempt in ("refused", "passed"):
                with self.subTest(recipient=recipient, command=command, attempt=attempt):
                    client = SmtpClient(server.port, local)
                    self.addCleanup(client.close)
                    self.assertTrue(client.reply().startswith(b"220 "))
                    self.assertIn(b"250-CHUNKING\r\n", client.command(b"EHLO client.example\r\n"))
                    self.assertEqual(client.command(b"MAIL FROM:<" + sender + b">\r\n"), b"250 OK\r\n")
                    self.assertEqual(client.command(b"RCPT TO:" + recipient + b"\r\n"), b"250 Accepted\r\n")
                    body = message % subject
                    if command == b"BDAT":
                        reply = client.command(b"BDAT %d LAST\r\n" % len(body) + body)
                    else:
                        reply = client.command(b"DATA\r\n")
                        if reply.startswith(b"354"):
                            reply = client.command(body + b".\r\n")
                    if attempt == "refused":
                        self.assertRegex(reply.decode(), TEMPFAIL_REPLY_RE)
                        self.assertTrue(client.closed())
                        self.assertIn((local, sender.decode(), "", 1),
                                      self.rows("SELECT ip, envsender, envrecipient, attempts FROM pending"))
                    else:
                        self.assertRegex(reply.decode(), r"250 OK id=\S+\r\n$")
                        self.assertEqual(client.command(b"QUIT\r\n")[:4], b"221 ")
                        wait_for_text(inbox_path(self.workdir), "Subject: " + subject.decode())
                        self.assertIn((local,), self.rows("SELECT ip FROM verified"))
        server.wait_for_ends(6)
        self.assertEqual(server.statuses(), [0] * 6)
        self.assertEqual(self.rows("SELECT COUNT(*) FROM pending WHERE envsender || envrecipient LIKE '%\"%'"), [(0,)])
        with open(inbox_path(self.workdir)) as f:
            self.assertEqual(f.read().count("Subject: case-"), 3)

    def test_multiline_replies_keep_replies_paired_with_commands(self):
        # exim answers HELP with two lines; were only "250-" lines followed,
        # every later reply would answer the line before its own, and DATA
        # would be taken as accepted on the reply to RCPT TO.
        server = self.serve()
        client = SmtpClient(server.port)
        self.addCleanup(client.close)
        client.reply()
        client.sock.sendall(b"EHLO client.example\r\nHELP\r\nMAIL FROM:<a@b.example>\r\nXXXX\r\n"
                            b"RCPT TO:<r@example.net>\r\n")
        replies = [client.reply() for _ in range(5)]
        self.assertTrue(replies[1].startswith(b"214-") and b"\r\n214 " in replies[1], replies[1])
        self.assertEqual(replies[2], b"250 OK\r\n")
        self.assertTrue(replies[3].startswith(b"500 "), replies[3])
        self.assertRegex(replies[4].decode(), TEMPFAIL_REPLY_RE)
        self.assertTrue(client.closed())
        server.wait_for_ends(1)
        self.assertEqual(self.rows("SELECT envsender, envrecipient, attempts FROM pending"),
                         [("a@b.example", "r@example.net", 1)])

    def test_a_bdat_chunk_is_data_whatever_exim_answers(self):
        # exim refuses BDAT without a recipient and skips its chunk: ostrel
        # passes the chunk on without reading it. A BDAT line that exim could
        # read otherwise than ostrel (no CHUNKING offered after HELO, a size
        # that is no plain number) is answered by ostrel and never reaches
        # exim: its "chunk" is then commands for both.
        server = self.serve()
        ehlo, helo = b"EHLO client.example\r\n", b"HELO client.example\r\n"
        refused = b"503 valid RCPT command must precede BDAT\r\n"
        cases = [(ehlo, b"BDAT 3\r\nXYZ", refused),
                 (ehlo, b"BDAT %d\r\n" % len(COMMAND_LIKE_CHUNK) + COMMAND_LIKE_CHUNK, refused),
                 (helo, b"BDAT 2\r\n", b"503 5.5.1 CHUNKING was not offered\r\n"),
                 (ehlo, b"BDAT 3x\r\n", b"501 5.5.4 Syntax error in BDAT chunk size\r\n"),
                 (ehlo, b"BDAT 4294967299\r\n", b"501 5.5.4 Syntax error in BDAT chunk size\r\n")]
        for n, (greeting, pipelined, first_reply) in enumerate(cases):
            with self.subTest(pipelined=pipelined[:20], greeting=greeting):
                client = SmtpClient(server.port, f"127.0.5.{n + 1}")
                self.addCleanup(client.close)
                client.reply()
                client.command(greeting)
                chunk_then_recipient(self, client, b"s%d@example.org" % n, pipelined, first_reply)
        server.wait_for_ends(len(cases))
        self.assertEqual(self.rows("SELECT envsender, envrecipient FROM pending ORDER BY envsender"),
                         [(f"s{n}@example.org", "r@example.net") for n in range(len(cases))])

        # The retry passes; its chunk, pipelined with QUIT, reaches exim as data.
        client = SmtpClient(server.port, "127.0.5.1")
        self.addCleanup(client.close)
        client.reply()
        client.command(ehlo)
        accepted_chunk(self, client, b"s0@example.org")
        self.assertIn("ostrel: Passing a chunk of 3 bytes to the server.\n", server.stderr())

    def test_server_without_starttls_greylists_every_client(self):
        server = self.serve([program("ostrel")] + exim_command(self.workdir, "tls_advertise_hosts =\n"))
        client = SmtpClient(server.port)
        self.addCleanup(client.close)
        client.reply()
        self.assertNotIn(b"STARTTLS", client.command(b"EHLO client.example\r\n"))
        self.assertEqual(client.command(b"STARTTLS\r\n"), b"503 STARTTLS command used when not advertised\r\n")
        self.assertEqual(client.command(b"MAIL FROM:<s@example.org>\r\n"), b"250 OK\r\n")
        self.assertRegex(client.command(b"RCPT TO:<r@example.net>\r\n").decode(), TEMPFAIL_REPLY_RE)
        server.wait_for_ends(1)
        self.assertEqual(self.rows("SELECT envrecipient FROM pending"), [("r@example.net",)])

    def test_suspicion_rules_with_real_parts(self):
        rules = self.write_file("rules", "0 e s:^postmaster@\n4 v FLAGGED\n2 e r:^slow@\n")
        server = self.serve(SUSPICION=rules)
        self.assertRegex(swaks(server.port, "postmaster@example.org", "a@example.net", local="127.0.0.2"),
                         r"250 OK id=")
        self.assertRegex(swaks(server.port, "x@example.org", "slow@example.net", local="127.0.0.3"), TEMPFAIL)
        self.assertRegex(swaks(server.port, "x@example.org", "slow@example.net", local="127.0.0.3"), TEMPFAIL)
        self.assertRegex(swaks(server.port, "x@example.org", "slow@example.net", local="127.0.0.3"), r"250 OK id=")
        self.assertEqual(self.rows("SELECT * FROM verified"), [])

        flagged = self.serve(SUSPICION=rules, FLAGGED="")
        for _ in range(4):
            self.assertRegex(swaks(flagged.port, "x@example.org", "y@example.net", local="127.0.0.4"), TEMPFAIL)
        self.assertRegex(swaks(flagged.port, "x@example.org", "y@example.net", local="127.0.0.4"), r"250 OK id=")
        self.assertIn("Rule 'v' in line 2 matched client '127.0.0.4', returning 4 attempts.", flagged.stderr())

    def test_load_of_fresh_and_repeating_triples(self):
        # The database sits on a disk whose syncs take 50 ms, as on a busy
        # shared machine: connections must not queue behind each other's syncs.
        slow_disk = {"LD_PRELOAD": helper("libslow_sync.so"), "SLOW_SYNC_PREFIX": self.db, "SLOW_SYNC_MS": "50"}
        server = self.serve(concurrency=100, LOGTHRESHOLD="5", **slow_disk)
        # under memcheck every process start costs a second: a smaller load
        clients, connections = (8, 4) if os.environ.get("OSTREL_UNDER_VALGRIND") else (32, 20)

        def run_client(client):
            outcomes = []
            for n in range(connections):
                if client % 2 == 0:  # fresh triples, each from an address of its own
                    local = f"127.2.{client}.{n + 1}"
                    sender = f"fresh{client}.{n}@example.org"
                else:  # one triple, repeated from one address
                    local = f"127.3.{client}.1"
                    sender = f"repeat{client}@example.org"
                out = swaks(server.port, sender, "rcpt@example.net", local=local)
                outcomes.append("tempfail" if TEMPFAIL.search(out) else "ok" if "250 OK id=" in out else out)
            return client, outcomes

        def run_admin():
            """The admin tool beside the load: its writes wait for locks as ostrel's do."""
            statuses = []
            for n in range(10):
                for args in (["allow", f"127.9.9.{n + 1}"], ["stats"], ["forget", f"127.9.9.{n + 1}"]):
                    statuses.append(subprocess.run([program("ostrelctl"), *args, "--db", self.db],
                                                   env={**os.environ, **slow_disk}, capture_output=True).returncode)
            return statuses

        with concurrent.futures.ThreadPoolExecutor(clients + 1) as pool:
            admin = pool.submit(run_admin)
            results = dict(pool.map(run_client, range(clients)))
            self.assertEqual(set(admin.result()), {0})
        server.wait_for_ends(clients * connections)
        self.assertEqual(server.statuses().count(100), 0)
        self.assertEqual(len(server.statuses()), clients * connections)
        for client, outcomes in results.items():
            if client % 2 == 0:
                self.assertEqual(set(outcomes), {"tempfail"}, outcomes)
            else:
                self.assertEqual(outcomes, ["tempfail"] + ["ok"] * (connections - 1))
        fresh_rows = self.rows("SELECT attempts, COUNT(*) FROM pending GROUP BY attempts")
        self.assertEqual(fresh_rows, [(1, clients // 2 * connections)])
        self.assertEqual(self.rows("SELECT COUNT(DISTINCT ip) FROM verified"), [(clients // 2,)])
        self.assertEqual(self.rows("SELECT COUNT(*) FROM pending WHERE ip LIKE '127.3.%'"), [(0,)])


class ReplyBeforeReset(ChainCase):
    """Lines that the client pipelined after RCPT TO lie unread when ostrel
    refuses it: closed so, the connection would be reset, and the reset can
    take the temporary failure with it."""

    def test_a_client_that_reads_only_once_ostrel_has_ended(self):
        # A long EHLO reply closes the client's window: the refusal waits in
        # ostrel's send queue, which a reset would throw away.
        cert, key = make_certificate(self.workdir)
        ehlo = "reply " + ("250-" + "x" * 94 + "\\r\\n") * 120 + "250 HELP\\r\\n"
        script = self.write_file("script", "\n".join([GREETING, ehlo, OK, "reply 250 Accepted\\r\\n", "silent"]) + "\n")
        # The clock speeds up for the linger once the client has its greeting (and TLS).
        clock = SteppedClock(self.workdir)
        server = self.serve([program("ostrel"), helper("scripted_smtpd"), script], TLSCERT=cert, TLSKEY=key,
                            **clock.env())
        for n, tls in enumerate((False, True)):
            with self.subTest(tls=tls):
                clock.real_speed()
                sock = socket.socket()
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
                sock.settimeout(15)
                sock.connect(("127.0.0.1", server.port))
                batch = b"EHLO c.example\r\nMAIL FROM:<s%d@example.org>\r\nRCPT TO:<r@example.net>\r\nDATA\r\nQUIT\r\n" % n
                plain = sock.makefile("rb")
                plain.readline()
                if tls:
                    sock.sendall(b"STARTTLS\r\n")
                    plain.readline()
                    client = TlsClient(sock, cert)
                    clock.speed_up()
                    for line in batch.splitlines(keepends=True):
                        client.send(line)  # a record each: those after RCPT TO stay unread
                else:
                    clock.speed_up()
                    sock.sendall(batch)
                server.wait_for_ends(n + 1)
                if tls:
                    received = client.recv_all()
                    client.sock.close()
                else:
                    received = b"".join(iter(lambda: sock.recv(65536), b""))
                    sock.close()
                self.assertTrue(received.endswith(TEMPFAIL_LINES), received[-80:])
        self.assertEqual(server.statuses(), [0, 0])
