"""Failing surroundings, through the real binaries: the database, the SMTP
server program, the client and signals failing at each stage."""

import os
import signal
import socket
import sqlite3
import struct
import subprocess

from harness import EHLO_REPLY, GREETING, OK, TEMPFAIL, OstrelCase, helper, program, read_reply

DIALOGUE = [GREETING, EHLO_REPLY, OK, "reply 250 Accepted\\r\\n", "reply 354 go\\r\\n", "silent"]


def server_pid(proc):
    """The SMTP server program that ostrel forked."""
    with open(f"/proc/{proc.p.pid}/task/{proc.p.pid}/children") as f:
        return int(f.read().split()[0])


class Stages(OstrelCase):
    """Drives a connection to a stage: greeting, ehlo, mail, relay."""

    def to_stage(self, proc, stage):
        if stage == "greeting":
            proc.wait_for_log("Expecting server greeting...")
            return
        proc.recv_line()
        proc.send(b"EHLO c.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        if stage == "ehlo":
            return
        proc.send(b"MAIL FROM:<s@example.org>\r\n")
        proc.recv_line()
        if stage == "mail":
            return
        proc.send(b"DATA\r\n")  # the relay follows
        proc.recv_line()


class ServerKilled(Stages):
    def test_server_killed_at_each_stage(self):
        expected = {"greeting": 100, "ehlo": 100, "mail": 100, "relay": 0}
        for stage, status in expected.items():
            with self.subTest(stage=stage):
                script = [GREETING, EHLO_REPLY, OK, "reply 354 go\\r\\n", "silent"]
                if stage == "greeting":
                    script = ["silent"]
                proc = self.ostrel(script)
                self.to_stage(proc, stage)
                os.kill(server_pid(proc), signal.SIGKILL)
                if stage in ("ehlo", "mail"):
                    proc.send(b"NOOP\r\n")
                self.assertEqual(proc.wait(), status)
                err = proc.stderr()
                if status == 100:
                    self.assertRegex(err, r"ostrel: (Client '192\.0\.2\.7' dropped the connection|"
                                          r"Client '192\.0\.2\.7' closed connection prematurely)\.\n")
                self.assertIn("ostrel: Child exited (0) status 0.\n", err)
        self.assertEqual(self.pending(), [])


class Signals(Stages):
    def test_sigpipe_and_sigalrm_at_each_stage(self):
        for stage in ["greeting", "ehlo", "mail", "relay"]:
            for signo, message in [(signal.SIGPIPE, "ostrel: Client '192.0.2.7' closed connection prematurely.\n"),
                                   (signal.SIGALRM, "ostrel: Big timeout reached from '192.0.2.7'!\n")]:
                with self.subTest(stage=stage, signal=signo):
                    proc = self.ostrel(DIALOGUE if stage != "greeting" else ["silent"])
                    self.to_stage(proc, stage)
                    proc.p.send_signal(signo)
                    self.assertEqual(proc.wait(), 100)
                    self.assertIn(message, proc.stderr())
        self.assertEqual(self.pending(), [])


class ClientReset(OstrelCase):
    """A TCP client that resets its connection (tcpserver hands ostrel a real socket)."""

    def test_reset_at_each_stage(self):
        from realparts import TcpServer
        script = self.server_script(*DIALOGUE)
        env = self.env(TCPREMOTEIP=None)
        server = TcpServer(self.workdir, [program("ostrel"), helper("scripted_smtpd"), script], env)
        self.addCleanup(server.close)
        stages = {"greeting": [], "ehlo": [b"EHLO c.example\r\n"],
                  "rcpt": [b"EHLO c.example\r\n", b"MAIL FROM:<s@example.org>\r\n"],
                  "relay": [b"EHLO c.example\r\n", b"DATA\r\n"]}
        for n, (stage, lines) in enumerate(stages.items()):
            with self.subTest(stage=stage):
                sock = socket.create_connection(("127.0.0.1", server.port))
                sock.recv(100)
                for line in lines:
                    sock.sendall(line)
                    read_reply(sock)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.close()  # RST
                server.wait_for_ends(n + 1)
        statuses = server.statuses()
        log = server.stderr()
        self.assertEqual(statuses[:3], [100, 100, 100], log)
        self.assertEqual(statuses[3], 0, log)  # the relay ends in an orderly way
        self.assertIn("ostrel: Error in read(): Connection reset by peer\n", log)
        self.assertEqual(self.pending(), [])


class Database(Stages):
    def attempt(self, proc):
        proc.recv_line()
        proc.send(b"EHLO c.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.recv_line()
        return proc.recv_all()

    def in_namespace(self, setup, **env):
        """ostrel started in a private mount namespace after the shell lines of setup."""
        script = self.server_script(*DIALOGUE)
        argv = ["unshare", "-m", "--propagation", "private", "sh", "-ec",
                setup + '\nexec "$@"', "sh", program("ostrel"), helper("scripted_smtpd"), script]
        return self.start(argv, self.env(**env), name="ns")

    def test_read_only_database(self):
        # WAL needs its shared-memory file next to the database: the lookup fails
        ro = f"mount --bind {self.workdir} {self.workdir}\nmount -o remount,ro,bind {self.workdir}"
        proc = self.in_namespace(ro)
        self.assertEqual(proc.wait(), 100)
        self.assertIn("ostrel: Error querying db: unable to open database file\n", proc.stderr())
        self.assertEqual(proc.recv_all(), b"")
        # with a rollback journal the lookup works and the record fails, after the reply
        with sqlite3.connect(self.db) as conn:
            conn.execute("PRAGMA journal_mode=DELETE")
        proc = self.in_namespace(ro)
        self.assertIn(self.attempt(proc), TEMPFAIL)
        self.assertEqual(proc.wait(), 100)
        self.assertIn("' -- 'attempt to write a readonly database'\n", proc.stderr())
        self.assertEqual(self.pending(), [])

    def test_full_file_system(self):
        mnt = self.path("small")
        os.mkdir(mnt)
        db = os.path.join(mnt, "g.db")
        setup = (f"mount -t tmpfs -o size=512k tmpfs {mnt}\n"
                 f"{program('ostrelctl')} init-db {db} >/dev/null\n")
        proc = self.in_namespace(setup, DBFILE=db)
        proc.recv_line()  # the lookup is done; now the file system fills up
        inside = f"/proc/{proc.p.pid}/root{mnt}"
        subprocess.run(["dd", "if=/dev/zero", f"of={inside}/filler", "bs=4k"], capture_output=True)
        proc.send(b"EHLO c.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.recv_line()
        self.assertIn(proc.recv_all(), TEMPFAIL)  # the client's reply goes out before the record fails
        self.assertEqual(proc.wait(), 100)
        self.assertRegex(proc.stderr(), r"ostrel: Query failed: 'INSERT INTO pending .*' -- "
                                        r"'(database or disk is full|disk I/O error)'\n")

    def test_database_deleted_while_in_use(self):
        proc = self.ostrel(DIALOGUE)
        proc.recv_line()
        for suffix in ["", "-wal", "-shm"]:
            if os.path.exists(self.db + suffix):
                os.remove(self.db + suffix)
        proc.send(b"EHLO c.example\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.recv_until(b"250 HELP\r\n")
        proc.recv_line()
        self.assertIn(proc.recv_all(), TEMPFAIL)
        self.assertIn(proc.wait(), (0, 100))
        self.assertFalse(os.path.exists(self.db) and os.path.getsize(self.db) > 0 and self.pending())

    def test_suspicion_file_that_is_unreadable(self):
        proc = self.ostrel(DIALOGUE, SUSPICION=self.workdir)  # a directory: it opens, but reading fails
        self.assertIn(self.attempt(proc), TEMPFAIL)
        self.assertEqual(proc.wait(), 0)
        self.assertIn("ostrel: Address '192.0.2.7' did not match any rule.\n", proc.stderr())
        self.assertEqual(self.pending(), [("192.0.2.7", "s@example.org", "r@example.org", 1)])
