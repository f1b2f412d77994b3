"""The transparent relay that follows DATA, AUTH, STARTTLS or a pass."""

import hashlib
import socket
import time

from harness import GREETING, OstrelCase, helper, program, under_ptrace

MB = 1024 * 1024


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
        proc = self.data_session("silent", fast_time=True)
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
