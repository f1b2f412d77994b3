"""tunwick against peers on 127.0.0.1 started by the tests."""

import hashlib
import os
import socket
import subprocess
import threading
import time

from harness import (GREETING, OstrelCase, SteppedClock, WorkdirCase, faketime_env, free_port, helper, program,
                     program_env, under_ptrace, wait_for_text)
from realparts import TcpServer, start_aiosmtpd

MB = 1024 * 1024


class Peer:
    """A scripted TCP server on 127.0.0.1 that accepts one connection."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self):
        self.listener.settimeout(15)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(15)
        return self.conn

    def recv_exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.conn.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        if self.conn:
            self.conn.close()
        self.listener.close()


class Arguments(WorkdirCase):
    def run_tunwick(self, *args, **env):
        return subprocess.run([program("tunwick"), *args], capture_output=True, text=True, env=program_env(**env),
                              stdin=subprocess.DEVNULL, timeout=30)

    def test_no_argument(self):
        result = self.run_tunwick()
        self.assertEqual((result.returncode, result.stderr),
                         (100, "tunwick: Specify upstream server IP as command line argument.\n"))
        for threshold in ["0", "1"]:
            result = self.run_tunwick(LOGTHRESHOLD=threshold)
            self.assertEqual((result.returncode, result.stderr), (100, ""))
        self.assertEqual(self.run_tunwick(" \t").returncode, 100)

    def test_default_port_and_port_that_is_no_number(self):
        # in a network namespace of its own, whatever listens on this host's port 25 is out of reach
        for args in [("127.0.0.1",), ("127.0.0.1", "abc"), ("127.0.0.1 and more text", "abc", "ignored")]:
            result = subprocess.run(["unshare", "-n", program("tunwick"), *args], capture_output=True, text=True,
                                    env=program_env(), stdin=subprocess.DEVNULL, timeout=30)
            self.assertEqual(result.returncode, 100)
            self.assertEqual(result.stderr.splitlines()[0], "tunwick: Got server address '127.0.0.1' port 25")
            self.assertRegex(result.stderr.splitlines()[1], r"^tunwick: Unable to connect socket: ")

    def test_connection_refused(self):
        port = free_port()
        result = self.run_tunwick("127.0.0.1", str(port))
        self.assertEqual(result.returncode, 100)
        self.assertEqual(result.stderr, f"tunwick: Got server address '127.0.0.1' port {port}\n"
                                        "tunwick: Unable to connect socket: Connection refused\n")

    def test_threshold_override(self):
        port = free_port()
        self.assertEqual(self.run_tunwick("127.0.0.1", str(port), LOGTHRESHOLD="3").stderr,
                         "tunwick: Unable to connect socket: Connection refused\n")
        for value in ["9", "text"]:
            self.assertIn("Got server address", self.run_tunwick("127.0.0.1", str(port), LOGTHRESHOLD=value).stderr)

    def test_overlong_address_word(self):
        result = self.run_tunwick("1234567890.123456", "25")
        self.assertEqual(result.returncode, 100)
        self.assertEqual(result.stderr, "tunwick: Upstream server IP '1234567890.123456' is not an IPv4 address.\n")


class Relay(WorkdirCase):
    def setUp(self):
        super().setUp()
        self.peer = Peer()
        self.addCleanup(self.peer.close)

    def start_tunwick(self, **env):
        proc = self.start([program("tunwick"), "127.0.0.1", str(self.peer.port)], program_env(**env), name="tunwick")
        self.peer.accept()
        return proc

    def test_both_directions_and_server_close(self):
        proc = self.start_tunwick()
        self.peer.conn.sendall(b"220 hi\r\n")
        self.assertEqual(proc.recv_line(), b"220 hi\r\n")
        proc.send(b"QUIT\r\n")
        self.assertEqual(self.peer.recv_exactly(6), b"QUIT\r\n")
        self.peer.conn.close()
        self.assertEqual(proc.wait(), 0)
        self.assertEqual(proc.stderr(), f"tunwick: Got server address '127.0.0.1' port {self.peer.port}\n"
                                        f"tunwick: Connected successfully to 127.0.0.1:{self.peer.port}, socket 3\n")

    def test_client_end_reaches_the_server_and_its_end_is_orderly(self):
        proc = self.start_tunwick()
        proc.shut_write()
        self.assertEqual(self.peer.recv_exactly(1), b"")  # the server sees the end of its input
        self.assertIsNone(proc.p.poll())  # and may still answer
        self.peer.conn.sendall(b"221 bye\r\n")
        self.assertEqual(proc.recv_line(), b"221 bye\r\n")
        self.peer.conn.close()
        self.assertEqual(proc.recv_all(), b"")
        self.assertEqual(proc.wait(), 0)

    def test_silence_times_out(self):
        started = time.monotonic()
        proc = self.start_tunwick(**faketime_env())
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        self.assertTrue(proc.stderr().endswith("tunwick: Timeout while proxying data.\n"))

    def test_failed_write_to_the_client_sends_quit(self):
        read_end, write_end = os.pipe()
        os.close(read_end)  # nobody reads standard output
        stdin_read, stdin_write = os.pipe()
        proc = subprocess.Popen([program("tunwick"), "127.0.0.1", str(self.peer.port)], stdin=stdin_read,
                                stdout=write_end, stderr=subprocess.PIPE, env=program_env())
        os.close(write_end)
        os.close(stdin_read)
        self.peer.accept()
        self.peer.conn.sendall(b"220 hi\r\n")
        self.assertEqual(self.peer.recv_exactly(6), b"QUIT\r\n")
        self.assertEqual(proc.wait(timeout=15), 0)
        self.assertIn("tunwick: Unable to write 8 bytes to the client.\n", proc.stderr.read().decode())
        proc.stderr.close()
        os.close(stdin_write)

    def test_a_client_gone_after_the_end_of_its_input_is_an_orderly_end(self):
        # As behind ostrel after a refusal: the upstream answers the end of
        # its input once nobody reads any more.
        trace = self.path("trace")
        stdin_read, stdin_write = os.pipe()
        stdout_read, stdout_write = os.pipe()
        proc = subprocess.Popen(["strace", "-qq", "-e", "trace=write,shutdown", "-o", trace, program("tunwick"),
                                 "127.0.0.1", str(self.peer.port)], stdin=stdin_read, stdout=stdout_write,
                                stderr=subprocess.PIPE, env=under_ptrace(program_env()))
        os.close(stdin_read)
        os.close(stdout_write)
        self.peer.accept()
        os.close(stdin_write)
        self.assertEqual(self.peer.recv_exactly(1), b"")
        os.close(stdout_read)
        self.peer.conn.sendall(b"421 4.4.2 mx.example lost input\r\n")
        self.assertEqual(proc.wait(timeout=15), 0)
        self.assertNotIn("Unable to write", proc.stderr.read().decode())
        proc.stderr.close()
        with open(trace) as f:
            calls = f.read().splitlines()
        shut = next(i for i, call in enumerate(calls) if call.startswith("shutdown(3, SHUT_WR)"))
        self.assertEqual([call for call in calls[shut:] if call.startswith("write(3,")], [])

    def test_client_bytes_go_first_when_both_sides_are_ready(self):
        trace = self.path("trace")
        read_end, write_end = os.pipe()
        os.write(write_end, b"client bytes")
        os.close(write_end)  # the end of the client's input is ready from the start too
        # the first poll is held back until the server's bytes have surely arrived
        proc = subprocess.Popen(["strace", "-qq", "-e", "trace=read", "-e", "inject=poll:delay_enter=300000:when=1",
                                 "-o", trace, program("tunwick"), "127.0.0.1",
                                 str(self.peer.port)], stdin=read_end, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=under_ptrace(program_env(LOGTHRESHOLD="0")))
        os.close(read_end)
        # hold the server's bytes back until tunwick is connected, then make both ready
        self.peer.accept()
        self.peer.conn.sendall(b"server bytes")
        self.assertEqual(self.peer.recv_exactly(12), b"client bytes")
        self.assertEqual(self.peer.recv_exactly(1), b"")  # the client's end follows its bytes
        self.peer.conn.close()
        proc.wait(timeout=15)
        with open(trace) as f:
            reads = [line for line in f if line.startswith("read(") and ", 1024)" in line]
        self.assertTrue(reads[0].startswith('read(0, "client bytes"'), reads)
        # the end of the client's input, ready beside the server's bytes, is taken next
        self.assertTrue(reads[1].startswith('read(0, "", 1024)'), reads)
        self.assertTrue(reads[2].startswith('read(3, "server bytes"'), reads)

    def test_fifty_megabytes_each_way_against_a_slow_peer(self):
        size = 50 * MB
        block = bytes(range(256)) * 4096
        data = (block * (size // len(block) + 1))[:size]
        proc = self.start_tunwick(LOGTHRESHOLD="3")
        self.peer.conn.settimeout(120)
        proc.sock.settimeout(120)
        received_by_peer = hashlib.sha256()
        received_by_client = hashlib.sha256()
        counts = {"peer": 0, "client": 0}

        def slow_read(sock, digest, key):
            while counts[key] < size:
                chunk = sock.recv(256 * 1024)
                if not chunk:
                    break
                digest.update(chunk)
                counts[key] += len(chunk)
                if counts[key] % (2 * MB) < len(chunk):
                    time.sleep(0.05)  # fall behind now and then

        readers = [threading.Thread(target=slow_read, args=(self.peer.conn, received_by_peer, "peer")),
                   threading.Thread(target=slow_read, args=(proc.sock, received_by_client, "client"))]
        writers = [threading.Thread(target=proc.sock.sendall, args=(data,)),
                   threading.Thread(target=self.peer.conn.sendall, args=(data,))]
        for thread in readers + writers:
            thread.start()
        for thread in writers + readers:
            thread.join(timeout=180)
        expected = hashlib.sha256(data).hexdigest()
        self.assertEqual(counts, {"peer": size, "client": size})
        self.assertEqual(received_by_peer.hexdigest(), expected)
        self.assertEqual(received_by_client.hexdigest(), expected)
        self.assertNotIn("Unable to write", proc.stderr())


class SlowFinalReply(WorkdirCase):
    def test_an_owed_reply_is_awaited_beyond_forty_seconds(self):
        for delay in (45, 300):
            with self.subTest(delay=delay):
                clock = SteppedClock(self.workdir)
                script = self.write_file(f"script{delay}", f"{GREETING}\nlate {delay} 250 queued\\r\\n\nhang\n")
                upstream = TcpServer(self.workdir, [helper("scripted_smtpd"), script], program_env(clock.env()))
                self.addCleanup(upstream.close)
                started = time.monotonic()
                proc = self.start([program("tunwick"), "127.0.0.1", str(upstream.port)], program_env(clock.env()))
                proc.recv_line()
                clock.speed_up("+0 x100")
                proc.send(b".\r\n")
                self.assertEqual(proc.recv_line(), b"250 queued\r\n")
                # The upstream does not end with its input: 40 seconds after its last reply.
                proc.shut_write()
                self.assertEqual(proc.wait(), 100)
                self.assert_sped_up(started)
                self.assertTrue(proc.stderr().endswith("tunwick: Timeout while proxying data.\n"))


class BehindOstrel(OstrelCase):
    def test_full_transaction_through_ostrel_and_tunwick_to_a_real_server(self):
        out = self.path("aiosmtpd.out")
        port = start_aiosmtpd(self, out)
        self.query("INSERT INTO verified VALUES ('192.0.2.9', DATETIME('now'))")
        self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.net', "
                   "DATETIME('now'), DATETIME('now'), 1)")
        proc = self.start([program("ostrel"), program("tunwick"), "127.0.0.1", str(port)], self.env())
        self.assertTrue(proc.recv_line().startswith(b"220 "))
        proc.send(b"EHLO c.example\r\n")
        proc.recv_until(b"\r\n250 ")
        proc.recv_line()
        for line, reply in [(b"MAIL FROM:<s@example.org>\r\n", b"250"), (b"RCPT TO:<r@example.net>\r\n", b"250"),
                            (b"DATA\r\n", b"354"), (b"Subject: via tunwick\r\n\r\nhello\r\n.\r\n", b"250"),
                            (b"QUIT\r\n", b"221")]:
            proc.send(line)
            self.assertTrue(proc.recv_line().startswith(reply))
        self.assertEqual(proc.wait(), 0)
        wait_for_text(out, "Subject: via tunwick")
        self.assertIn("ostrel: State: PENDING-VERIFIED\n", proc.stderr())
