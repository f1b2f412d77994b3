"""The transparent relay that follows DATA, AUTH, STARTTLS or a pass."""

import hashlib
import itertools
import os
import socket
import sqlite3
import struct
import time

from harness import GREETING, OK, OstrelCase, SteppedClock, WorkdirCase, helper, program, under_ptrace
from realparts import TcpServer, base_env, exim_command, init_db
from tlsparts import TlsClient, make_certificate

MB = 1024 * 1024
# The 480 seconds of the alarm pass in under 5.
FASTER = "+0 x100"


def pattern(count):
    """The bytes that the scripted server's "blast" writes."""
    block = bytes(ord("a") + i % 26 for i in range(65536))
    return (block * (count // len(block) + 1))[:count]


class Relay(OstrelCase):
    def data_session(self, *after_data, **env):
        proc = self.ostrel([GREETING, "reply 354 go\\r\\n", *after_data], **env)
        proc.recv_line()
        proc.send(b"DATA\r\n")
        self.assertEqual(proc.recv_line(), b"354 go\r\n")
        return proc

    def test_bytes_pass_both_ways_and_client_end_is_orderly(self):
        proc = self.data_session("reply 250 got it\\r\\n", "silent")
        proc.send(b"Subject: x\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(proc.recv_line(), b"250 got it\r\n")
        proc.shut_write()
        self.assertEqual(proc.wait(), 0)
        self.assertNotIn("Timeout", proc.stderr())

    def test_server_end_is_orderly(self):
        proc = self.data_session("reply 250 bye\\r\\n", "close")
        proc.send(b"x\r\n")
        self.assertEqual(proc.recv_all(), b"250 bye\r\n")
        self.assertEqual(proc.wait(), 0)
        self.assertNotIn("Timeout while reading", proc.stderr())

    def test_silence_on_both_sides_times_out(self):
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = self.data_session("reply 250 got it\\r\\n", "silent", **clock.env())
        clock.speed_up()
        # A line and its reply, so that the relay's next wait begins at the higher speed; then silence.
        self.assertEqual(proc.command(b"x\r\n"), b"250 got it\r\n")
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertIn("ostrel: Timeout while reading from network (0:0:0).\n", proc.stderr())

    def test_fifty_megabytes_to_a_slow_reader(self):
        size = 50 * MB
        proc = self.data_session(f"blast {size}")
        # whatever came with the 354 reply is the start of the data
        digest = hashlib.sha256(proc.received)
        received = len(proc.received)
        proc.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        while True:
            chunk = proc.sock.recv(256 * 1024)
            if not chunk:
                break
            digest.update(chunk)
            received += len(chunk)
            if received % (4 * MB) < len(chunk):
                time.sleep(0.05)  # a reader that falls behind now and then
        self.assertEqual(received, size)
        self.assertEqual(digest.hexdigest(), hashlib.sha256(pattern(size)).hexdigest())
        self.assertEqual(proc.wait(), 0)
        self.assertNotIn("Unable to write", proc.stderr())

    def test_fifty_megabytes_to_the_server(self):
        size = 50 * MB
        proc = self.data_session("sink")
        data = pattern(size)
        proc.send(data)
        proc.shut_write()
        self.assertEqual(proc.wait(timeout=60), 0)
        sinks = [line.split()[1] for line in self.server_lines() if line.startswith("SINK ")]
        self.assertEqual(sinks, [str(size)])

    def test_client_bytes_go_first_when_both_sides_are_ready(self):
        script = self.server_script(GREETING, "reply 354 go\\r\\nserver bytes\\r\\n", "read", "silent")
        trace = self.path("trace")
        env = under_ptrace(self.env())
        proc = self.start(["strace", "-qq", "-e", "trace=read,poll", "-o", trace, program("ostrel"),
                           helper("scripted_smtpd"), script], env)
        proc.recv_line()
        proc.send(b"DATA\r\nclient bytes\r\n")  # both ready once the relay starts
        self.assertEqual(proc.recv_line(), b"354 go\r\n")
        self.assertEqual(proc.recv_line(), b"server bytes\r\n")
        proc.shut_write()
        proc.wait()
        with open(trace) as f:
            calls = f.read().splitlines()
        first_relay_poll = next(i for i, call in enumerate(calls) if call.startswith("poll([{fd=0, events=POLLIN}, {fd="))
        relay_reads = [call for call in calls[first_relay_poll:] if call.startswith("read(") and ", 1024)" in call]
        self.assertTrue(relay_reads[0].startswith('read(0, "client bytes'), relay_reads[:2])
        self.assertIn("server bytes", relay_reads[1])


class SlowFinalReply(OstrelCase):
    """A server that takes minutes over the final "." (content scanning) has
    queued the message by then: the client must get the reply, or it sends
    the message again."""

    def test_an_owed_reply_is_awaited_up_to_the_alarm(self):
        cert, key = make_certificate(self.workdir)
        for tls, delay in [(False, 45), (False, 300), (False, None), (True, 45), (True, 300)]:
            with self.subTest(tls=tls, delay=delay):
                if os.path.exists(self.smtpd_log):
                    os.unlink(self.smtpd_log)
                self.query("DELETE FROM verified")
                self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.net',"
                           " DATETIME('now', '-1 hour'), DATETIME('now', '-1 hour'), 1)")
                answer = "read" if delay is None else f"late {delay} 250 queued\\r\\n"
                clock = SteppedClock(self.workdir)
                if delay is None:
                    clock.speed_up(FASTER)  # the alarm, set at the start, is the wait under test
                started = time.monotonic()
                proc = self.ostrel([GREETING, OK, "reply 250 Accepted\\r\\n", "reply 354 go\\r\\n", "read", answer, "hang"],
                                   TLSCERT=cert, TLSKEY=key, **clock.env())
                proc.recv_line()
                client = proc
                if tls:
                    proc.send(b"STARTTLS\r\n")
                    proc.recv_line()
                    client = TlsClient(proc.sock, cert)
                client.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\nDATA\r\n")
                self.assertEqual([client.recv_line() for _ in range(3)],
                                 [b"250 OK\r\n", b"250 Accepted\r\n", b"354 go\r\n"])
                clock.speed_up(FASTER)
                client.send(b"Subject: slow\r\n.\r\n")
                if delay is None:
                    self.assertEqual(proc.wait(), 100)
                    self.assertIn("ostrel: Big timeout reached from '192.0.2.7'!\n", proc.stderr())
                else:
                    self.assertEqual(client.recv_line(), b"250 queued\r\n")
                    # A server that does not end with its input holds ostrel 40 seconds after its last reply.
                    with socket.socket(fileno=os.dup(client.sock.fileno())) as raw:
                        raw.shutdown(socket.SHUT_WR)
                    self.assertEqual(proc.wait(), 100)
                    self.assertIn("ostrel: Timeout while reading from network (0:0:0).\n", proc.stderr())
                self.assert_sped_up(started)
                self.assertEqual(self.server_lines().count("C: .\\r\\n"), 1)


class ClientHangsUp(WorkdirCase):
    """A client that hangs up after a pass while exim still writes ("421 ...
    lost input connection") is an orderly end, in clear text and inside TLS."""

    def test_a_hang_up_is_an_orderly_end(self):
        cert, key = make_certificate(self.workdir)
        db = self.path("greylist.db")
        init_db(db)
        server = TcpServer(self.workdir, [program("ostrel")] + exim_command(self.workdir),
                           base_env(self.workdir, TLSCERT=cert, TLSKEY=key))
        self.addCleanup(server.close)
        cases = list(itertools.product((False, True), ("before the reply to RCPT TO", "in the middle of DATA"),
                                       ("close", "reset")))
        for n, (tls, moment, how) in enumerate(cases):
            with self.subTest(tls=tls, moment=moment, how=how):
                local = f"127.0.5.{n + 1}"
                with sqlite3.connect(db) as conn:
                    conn.execute("INSERT INTO pending VALUES (?, 's@example.org', 'r@example.net',"
                                 " DATETIME('now', '-1 hour'), DATETIME('now', '-1 hour'), 1)", (local,))
                sock = socket.create_connection(("127.0.0.1", server.port), timeout=15, source_address=(local, 0))
                plain = sock.makefile("rb")
                send, line = sock.sendall, plain.readline
                self.assertTrue(line().startswith(b"220 "))
                if tls:
                    send(b"STARTTLS\r\n")
                    self.assertTrue(line().startswith(b"220 "))
                    client = TlsClient(sock, cert)
                    send, line, sock = client.send, client.recv_line, client.sock
                send(b"EHLO client.example\r\n")
                while not line().startswith(b"250 "):
                    pass
                send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.net>\r\n")
                self.assertEqual(line(), b"250 OK\r\n")
                if moment == "in the middle of DATA":
                    self.assertEqual(line(), b"250 Accepted\r\n")
                    send(b"DATA\r\n")
                    self.assertTrue(line().startswith(b"354 "))
                    send(b"Subject: cut short\r\n\r\nthe first line\r\n")
                if how == "reset":
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                plain.close()
                sock.close()  # no close_notify: the client is gone
                server.wait_for_ends(n + 1)
        self.assertEqual(server.statuses(), [0] * len(cases))
        log = server.stderr()
        for text in ("prematurely", "Unable to write", "broke"):
            self.assertNotIn(text, log)
