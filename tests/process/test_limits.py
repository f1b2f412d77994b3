"""The limits that hold through the real binaries: the alarm, signals that
end ostrel wherever they come, writes and connects bounded by 40 seconds,
half-closed connections, replies that leave at once."""

import os
import random
import select
import signal
import socket
import sqlite3
import subprocess
import threading
import time

from harness import (EHLO_REPLY, GREETING, OK, TEMPFAIL_REPLY_RE, OstrelCase, SteppedClock, WorkdirCase, faketime_env,
                     helper, program, program_env, read_reply, under_ptrace, wait_for_text, wait_until)
from realparts import (ChainCase, SmtpClient, TcpServer, base_env, exim_command, inbox_path, init_db,
                       start_aiosmtpd)

ALARM_LINE = "ostrel: Big timeout reached from '192.0.2.7'!\n"
DIALOGUE = [GREETING, EHLO_REPLY, OK, "reply 250 Accepted\\r\\n"]
# An EHLO reply far larger than any socket buffer: a client that does not
# read leaves ostrel waiting for room.
LONG_EHLO_LINES = 4000
LONG_EHLO = "reply " + ("250-" + "x" * 96 + "\\r\\n") * LONG_EHLO_LINES + "250 HELP\\r\\n"
LONG_EHLO_SIZE = LONG_EHLO_LINES * 102 + 10


def current_syscall(pid):
    """The number and arguments of the system call the process waits in."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
    except OSError:
        return None, []
    if not fields or not fields[0].isdigit():
        return None, []
    return int(fields[0]), [int(field, 16) for field in fields[1:7]]


def waits_in_poll(pid, entries, shortest_ms, longest_ms):
    """True while the process waits in poll on the given number of entries."""
    number, args = current_syscall(pid)
    return number == 7 and args[1] == entries and shortest_ms <= args[2] <= longest_ms


def waits_for_room(pid):
    """True while the process waits in poll for room to write: one entry of
    its own beside ostrel's signal pipe, with the 40-second limit."""
    return waits_in_poll(pid, 2, 40000, 40000)


def send_in_background(sock, data):
    """Sends data from a thread that ignores the peer going away."""
    def run():
        try:
            sock.sendall(data)
        except OSError:
            pass
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


class AlarmHandOver(OstrelCase):
    """The server program that runs in place of ostrel inherits no alarm."""

    REPORT_ALARM = ["/usr/bin/python3", "-c", "import signal; print(signal.alarm(0), flush=True)"]

    def test_no_alarm_on_either_road_to_the_server_program(self):
        self.query("INSERT INTO verified (ip, ts) VALUES ('192.0.2.9', DATETIME('now'))")
        for road, env in [("greylisting off", {"GREYLIST": None}), ("verified", {"TCPREMOTEIP": "192.0.2.9"})]:
            with self.subTest(road=road):
                proc = self.start([program("ostrel")] + self.REPORT_ALARM, self.env(**env))
                self.assertEqual(proc.recv_line(), b"0\n")  # seconds left of an alarm: none
                self.assertEqual(proc.wait(), 0)


class Signals(OstrelCase):
    def rollback_db(self):
        """A database in rollback-journal mode, so that a lock holds readers too."""
        path = self.path("rollback.db")
        with sqlite3.connect(path) as conn:
            conn.executescript("CREATE TABLE verified (ip, ts); CREATE TABLE pending (ip, envsender, envrecipient,"
                               " tsfirstdelivery, tslastdelivery, attempts);")
        return path

    def lock(self, path):
        locker = sqlite3.connect(path, isolation_level=None)
        locker.execute("BEGIN EXCLUSIVE")
        self.addCleanup(locker.close)

    def signal_and_time(self, proc, signo=signal.SIGALRM):
        started = time.monotonic()
        proc.p.send_signal(signo)
        status = proc.wait(timeout=30)
        # At once rather than at the end of the wait it was in (40 seconds
        # and more); the margin is for a loaded machine.
        self.assertLess(time.monotonic() - started, 5)
        return status

    def test_alarm_in_the_busy_handler_at_start_up(self):
        db = self.rollback_db()
        self.lock(db)
        proc = self.ostrel(DIALOGUE, DBFILE=db, LOGPID="")
        proc.wait_for_log("Trying again in")
        self.assertEqual(self.signal_and_time(proc), 100)
        err = proc.stderr()
        self.assertIn(f"({proc.p.pid}) {ALARM_LINE}", err)  # LOGPID as every other line
        self.assertEqual(err.count("Big timeout"), 1)
        self.assertNotIn("Error querying db", err)
        self.assertTrue(err.endswith(ALARM_LINE), err)

    def test_alarm_in_the_busy_handler_during_the_decision(self):
        db = self.rollback_db()
        proc = self.ostrel(DIALOGUE, DBFILE=db)  # the server ends after its reply to RCPT TO
        proc.recv_line()
        proc.send(b"EHLO c.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        self.lock(db)
        proc.send(b"RCPT TO:<r@example.org>\r\n")
        proc.wait_for_log("Trying again in")
        self.assertEqual(self.signal_and_time(proc), 100)
        err = proc.stderr()
        self.assertIn(ALARM_LINE + "ostrel: Child exited (1) status 0.\n", err)  # the server was collected
        self.assertEqual(proc.recv_all(), b"")  # no decision reached the client

    def test_alarm_while_waiting_in_a_poll(self):
        for name, env in [("greeting delay trap", {"GREETDELAY": "100000"}), ("dialogue", {})]:
            with self.subTest(wait=name):
                proc = self.ostrel([GREETING, "silent"], **env)
                if name == "dialogue":
                    proc.recv_line()
                else:
                    wait_until(lambda: waits_in_poll(proc.p.pid, 2, 100000, 199999), "the trap's wait")
                self.assertEqual(self.signal_and_time(proc), 100)
                err = proc.stderr()
                self.assertIn(ALARM_LINE, err)
                self.assertNotIn("greetdelay trap", err)

    def test_alarm_while_waiting_for_room_to_write(self):
        proc = self.ostrel([GREETING, "reply 354 go\\r\\n", "hang"])
        proc.recv_line()
        proc.send(b"DATA\r\n")
        proc.recv_line()
        send_in_background(proc.sock, b"x" * (4 << 20))  # the server reads none of it
        wait_until(lambda: waits_for_room(proc.p.pid), "a wait for room")
        self.assertEqual(self.signal_and_time(proc), 100)
        self.assertIn(ALARM_LINE, proc.stderr())

    def test_signals_at_random_moments_end_every_process(self):
        rng = random.Random(17)
        statuses = set()
        for n in range(24):
            # a client of its own each time: one that passed would go straight to the server program next
            addr = f"192.0.2.{100 + n}"
            if n % 2:
                self.query("INSERT INTO pending VALUES (?, 's@example.org', 'r@example.org', "
                           "DATETIME('now', '-1 hour'), DATETIME('now', '-1 hour'), 1)", addr)
            proc = self.ostrel([*DIALOGUE, "reply 354 go\\r\\n", "silent"], TCPREMOTEIP=addr)
            proc.send(b"EHLO c.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\n")
            proc.wait_for_log("State: CHECK-OPERATION")  # the handler is in place
            time.sleep(rng.uniform(0, 0.03))
            try:
                proc.p.send_signal(signal.SIGALRM if n % 3 else signal.SIGPIPE)
            except ProcessLookupError:
                pass
            status = proc.wait(timeout=10)
            statuses.add(status)
            err = proc.stderr()
            lines = err.count(f"Big timeout reached from '{addr}'!\n") + \
                err.count(f"Client '{addr}' closed connection prematurely.\n")
            self.assertIn(status, (0, 100), err)
            self.assertEqual(lines, 1 if status == 100 else 0, err)
            proc.close()
        self.assertIn(100, statuses)
        # no process left a lock behind
        with sqlite3.connect(self.db, timeout=0.5, isolation_level=None) as conn:
            conn.execute("BEGIN IMMEDIATE")
            conn.execute("ROLLBACK")


class BoundedWrites(OstrelCase):
    def test_a_client_that_never_reads_its_replies(self):
        clock = SteppedClock(self.workdir)
        proc = self.ostrel([GREETING, LONG_EHLO, "silent"], **clock.env())
        proc.recv_line()
        started = time.monotonic()
        clock.speed_up()
        proc.send(b"EHLO c.example\r\n")  # and nothing more is read
        self.assertEqual(proc.wait(), 100)
        self.assert_sped_up(started)
        err = proc.stderr()
        self.assertIn("ostrel: Write timeout reached for socket 1, client 192.0.2.7\n", err)
        self.assertNotIn("Big timeout", err)

    def test_a_client_that_reads_late_loses_nothing(self):
        proc = self.ostrel([GREETING, LONG_EHLO, OK, "reply 221 bye\\r\\n"])
        proc.recv_line()
        proc.send(b"EHLO c.example\r\n")
        wait_until(lambda: waits_for_room(proc.p.pid), "a wait for room")
        time.sleep(0.3)  # a reader that takes its time
        reply = proc.recv_until(b"250 HELP\r\n")
        self.assertEqual(len(reply), LONG_EHLO_SIZE)
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        self.assertEqual(proc.recv_line(), b"250 OK\r\n")
        proc.send(b"QUIT\r\n")
        self.assertEqual(proc.recv_all(), b"221 localhost\r\n")
        self.assertEqual(proc.wait(), 0)

    def test_a_server_that_stops_reading_in_the_relay(self):
        clock = SteppedClock(self.workdir)
        proc = self.ostrel([GREETING, "reply 354 go\\r\\n", "hang"], **clock.env())
        proc.recv_line()
        proc.send(b"DATA\r\n")
        proc.recv_line()
        started = time.monotonic()
        clock.speed_up()
        send_in_background(proc.sock, b"x" * (4 << 20))
        self.assertEqual(proc.wait(), 0)  # as for any failed write of the relay
        self.assert_sped_up(started)
        self.assertRegex(proc.stderr(), r"ostrel: Unable to write to the server \d+ bytes: "
                                        r"Resource temporarily unavailable\.\n")

    def test_tunwick_to_a_client_that_never_reads(self):
        peer = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(peer.close)
        stdin_read, stdin_write = os.pipe()
        stdout_read, stdout_write = os.pipe()  # blocking, and never read
        err = open(self.path("tunwick.stderr"), "wb")
        started = time.monotonic()
        clock = SteppedClock(self.workdir)
        proc = subprocess.Popen([program("tunwick"), "127.0.0.1", str(peer.getsockname()[1])], stdin=stdin_read,
                                stdout=stdout_write, stderr=err, env=program_env(clock.env()))
        for fd in (stdin_read, stdout_write):
            os.close(fd)
        self.addCleanup(os.close, stdin_write)
        self.addCleanup(os.close, stdout_read)
        conn, _ = peer.accept()
        self.addCleanup(conn.close)
        clock.speed_up()
        send_in_background(conn, b"y" * (4 << 20))
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assert_sped_up(started)
        err.close()
        with open(self.path("tunwick.stderr")) as f:
            self.assertRegex(f.read(), r"tunwick: Unable to write \d+ bytes to the client\.\n")
        conn.settimeout(10)
        self.assertEqual(conn.recv(6), b"QUIT\r\n")

    def test_tunwick_connect_to_an_upstream_that_never_answers(self):
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        queued = []
        for _ in range(3):  # a full queue: the kernel drops further connection attempts
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            queued.append(s)
            self.addCleanup(s.close)
        select.select([], queued[:1], [], 10)  # the first is queued: the queue is full
        started = time.monotonic()
        result = subprocess.run([program("tunwick"), "127.0.0.1", str(port)], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, env=program_env(**faketime_env()), timeout=60)
        self.assert_sped_up(started)
        self.assertEqual(result.returncode, 100)
        self.assertTrue(result.stderr.endswith("tunwick: Unable to connect socket: Connection timed out\n"),
                        result.stderr)


class HalfClose(WorkdirCase):
    """The client sends its message, ".", QUIT and shuts its sending side:
    it must still get the server's replies."""

    MESSAGE = b"Subject: half-closed\r\n\r\nbody\r\n.\r\nQUIT\r\n"

    def transaction(self, sock):
        """Drives one transaction up to the end of the message; returns what came after it."""
        greeting = read_reply(sock)
        self.assertTrue(greeting.startswith(b"220 "), greeting)
        for line, code in [(b"EHLO c.example\r\n", b"250"), (b"MAIL FROM:<s@example.org>\r\n", b"250"),
                           (b"RCPT TO:<r@example.net>\r\n", b"250"), (b"DATA\r\n", b"354")]:
            sock.sendall(line)
            self.assertTrue(read_reply(sock).startswith(code))
        sock.sendall(self.MESSAGE)
        sock.shutdown(socket.SHUT_WR)
        sock.settimeout(30)
        rest = b""
        while chunk := sock.recv(4096):
            rest += chunk
        return rest

    def test_ostrel_in_front_of_exim(self):
        db = self.path("greylist.db")
        init_db(db)
        with sqlite3.connect(db) as conn:  # a retry: the triple passes and the relay carries the message
            conn.execute("INSERT INTO pending VALUES ('127.0.0.1', 's@example.org', 'r@example.net', "
                         "DATETIME('now', '-1 hour'), DATETIME('now', '-1 hour'), 1)")
        server = TcpServer(self.workdir, [program("ostrel")] + exim_command(self.workdir), base_env(self.workdir))
        self.addCleanup(server.close)
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            rest = self.transaction(sock)
        self.assertRegex(rest, rb"^250 OK id=\S+\r\n221 mx\.test\.example closing connection\r\n$")
        server.wait_for_ends(1)
        self.assertEqual(server.statuses(), [0])
        wait_for_text(inbox_path(self.workdir), "Subject: half-closed")

    def test_tunwick_in_front_of_aiosmtpd(self):
        out = self.path("aiosmtpd.out")
        port = start_aiosmtpd(self, out)
        ours, theirs = socket.socketpair()
        self.addCleanup(ours.close)
        with open(self.path("tunwick.stderr"), "wb") as err:
            proc = subprocess.Popen([program("tunwick"), "127.0.0.1", str(port)], stdin=theirs, stdout=theirs,
                                    stderr=err, env=program_env(LOGTHRESHOLD="3"))
        theirs.close()
        rest = self.transaction(ours)
        self.assertRegex(rest, rb"^250 OK\r\n221 Bye\r\n$")
        self.assertEqual(proc.wait(timeout=10), 0)
        wait_for_text(out, "Subject: half-closed")


class RepliesLeaveAtOnce(WorkdirCase):
    """A TCP client's socket gets TCP_NODELAY from ostrel and tunwick."""

    def traced_connection(self, argv, trace, talk):
        server = TcpServer(self.workdir, ["strace", "-o", trace, "-e", "trace=setsockopt"] + argv,
                           under_ptrace(base_env(self.workdir)))
        self.addCleanup(server.close)
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            talk(sock)
        server.wait_for_ends(1)
        with open(trace) as f:
            return f.read()

    def test_ostrel_on_the_greylisting_road(self):
        init_db(self.path("greylist.db"))
        script = self.path("script")
        with open(script, "w") as f:
            f.write(GREETING + "\n" + EHLO_REPLY + "\n" + "reply 221 bye\\r\\n\n")

        def talk(sock):
            read_reply(sock)
            sock.sendall(b"EHLO c.example\r\n")
            self.assertTrue(read_reply(sock).endswith(b"250 HELP\r\n"))
            sock.sendall(b"QUIT\r\n")
            read_reply(sock)

        trace = self.traced_connection([program("ostrel"), helper("scripted_smtpd"), script], self.path("trace"), talk)
        self.assertIn("setsockopt(1, SOL_TCP, TCP_NODELAY, [1], 4) = 0", trace)

    def test_tunwick(self):
        peer = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(peer.close)

        def talk(sock):
            conn, _ = peer.accept()
            with conn:
                conn.sendall(b"220 hi\r\n")
                self.assertEqual(read_reply(sock), b"220 hi\r\n")
            sock.recv(10)

        trace = self.traced_connection([program("tunwick"), "127.0.0.1", str(peer.getsockname()[1])],
                                       self.path("trace"), talk)
        self.assertIn("setsockopt(1, SOL_TCP, TCP_NODELAY, [1], 4) = 0", trace)


class ConnectionsPerClient(ChainCase):
    """GREYLIST_MAXCONN through tcpserver, ostrel and exim: the connection over
    a client's limit gets 421 in place of the greeting and no server program;
    its other connections, other clients and verified servers go on."""

    def greeted(self, port, local):
        client = SmtpClient(port, local=local)
        self.addCleanup(client.close)
        self.assertTrue(client.reply().startswith(b"220 mx.test.example ESMTP"), local)
        return client

    def test_the_connection_over_the_limit_gets_421_and_the_others_go_on(self):
        with sqlite3.connect(self.db) as conn:
            conn.execute("INSERT INTO verified VALUES ('127.0.0.8', DATETIME('now'))")
        run_dir, started = self.path("run"), self.path("started")
        os.mkdir(run_dir)
        noting = ["/bin/sh", "-c", f'echo "$TCPREMOTEIP" >> {started}; exec "$@"', "sh"]  # each server program
        server = self.serve([program("ostrel"), *noting, *self.exim], GREYLIST_RUNDIR=run_dir, GREYLIST_MAXCONN="2")
        held = [self.greeted(server.port, "127.0.0.5") for _ in range(2)]
        self.assertEqual(sorted(os.listdir(run_dir)), ["127.0.0.5.slot0", "127.0.0.5.slot1"])
        over = SmtpClient(server.port, local="127.0.0.5")
        self.addCleanup(over.close)
        self.assertEqual(over.reply() + over.file.read(),
                         b"421 4.7.0 mx.test.example Too many connections from your host, try again later\r\n")
        server.wait_for_ends(1)
        self.assertEqual(server.statuses(), [0])
        self.assertIn("ostrel: Client '127.0.0.5' has 2 connections open already, the limit of GREYLIST_MAXCONN: "
                      "answering 421.\n", server.stderr())
        others = [self.greeted(server.port, local) for local in ("127.0.0.6", "127.0.0.8", "127.0.0.8", "127.0.0.8")]
        for line in (b"EHLO c\r\n", b"MAIL FROM:<s@example.org>\r\n"):
            self.assertEqual(held[0].command(line)[:3], b"250")
        self.assertRegex(held[0].command(b"RCPT TO:<r@example.net>\r\n").decode(), TEMPFAIL_REPLY_RE)
        self.assertEqual(held[1].command(b"QUIT\r\n")[:4], b"221 ")
        server.wait_for_ends(3)
        others.append(self.greeted(server.port, "127.0.0.5"))  # a slot is free again
        with open(started) as f:
            self.assertEqual(sorted(f.read().split()), ["127.0.0.5"] * 3 + ["127.0.0.6"] + ["127.0.0.8"] * 3)
        for client in others:
            client.close()
        server.wait_for_ends(8)
        self.assertEqual(os.listdir(run_dir), [])
