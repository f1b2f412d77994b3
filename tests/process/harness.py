"""Helpers for the process-level tests: the built programs run with their own
argv, environment, descriptors and a temporary directory."""

import os
import re
import select
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import time
import unittest

BIN_DIR = os.environ.get("OSTREL_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
HELPER_DIR = os.environ.get("OSTREL_HELPER_DIR", BIN_DIR)
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
# Waits of 40 seconds pass in under a second at this speed.
FAKETIME_SPEED = "+0 x50"
# Set when BIN_DIR holds the fully static programs that are installed: they
# ignore LD_PRELOAD, so the cases that preload a library are skipped there
# (they run against the preload-able build).
FULLY_STATIC = os.environ.get("OSTREL_FULLY_STATIC") == "1"


# For the cases that preload a library into programs they start themselves.
preloads = unittest.skipIf(FULLY_STATIC, "preloads a library, which the fully static programs ignore")


def skip_if_preloaded(env):
    """Skips the case when env preloads a library into fully static programs."""
    if FULLY_STATIC and env and env.get("LD_PRELOAD"):
        raise unittest.SkipTest("preloads a library, which the fully static programs ignore")
    return env


def program(name):
    """A program of the build (ostrel, ferrow, tunwick, ostrelctl)."""
    return os.path.join(BIN_DIR, name)


def helper(name):
    """A compiled test helper (scripted_smtpd, slow_sync.so)."""
    return os.path.join(HELPER_DIR, name)


def helper_script(name):
    """A script of tests/helpers."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "helpers", name)


SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def sanitizer_env():
    """The sanitizers' settings of the test run, for every program started."""
    return {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}


def under_ptrace(env):
    """LeakSanitizer cannot run under strace."""
    env = dict(env)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def faketime_env(speed=FAKETIME_SPEED):
    """libfaketime preloaded at FAKETIME_SPEED (or speed), for the long waits."""
    return skip_if_preloaded({"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": speed, "FAKETIME_DONT_RESET": "1"})


class SteppedClock:
    """libfaketime's clock set by a file: real speed until speed_up(), then
    FAKETIME_SPEED for the programs started with env(). What comes before the
    wait under test (starting up, a TLS handshake) is then bound by no sped-up
    limit however loaded the machine is; every wait that begins after
    speed_up() passes at the higher speed (one begun before it keeps the real
    speed: a line sent after speed_up() ends it). The change of speed makes
    the fake clock leap ahead by the real time run so far, times the speed
    less one."""

    def __init__(self, workdir):
        skip_if_preloaded({"LD_PRELOAD": FAKETIME_LIB})
        self.path = os.path.join(workdir, f"faketime-{id(self)}.rc")
        self.real_speed()

    def env(self):
        return {"LD_PRELOAD": f"{helper('libspeed_follow.so')} {FAKETIME_LIB}", "FAKETIME": None,
                "FAKETIME_TIMESTAMP_FILE": self.path, "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_RESET": "1"}

    def speed_up(self, speed=FAKETIME_SPEED):
        self._set(speed)

    def real_speed(self):
        """Back to real speed, for the programs started next."""
        self._set("+0 x1")

    def _set(self, spec):
        # Replaced whole: a program reading it never sees it half written.
        with open(self.path + ".new", "w") as f:
            f.write(spec + "\n")
        os.replace(self.path + ".new", self.path)


def program_env(*layers, **extra):
    """The environment of a program under test: a short PATH and the sanitizers'
    settings, then each layer (a dict) and extra in turn; None removes a variable."""
    env = {"PATH": "/usr/bin:/bin", **sanitizer_env()}
    for layer in (*layers, extra):
        for name, value in layer.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
    return env


# The two replies of a greylisted attempt, whole lines as ostrel sends them.
TEMPFAIL = (b"451 qqt failure (#4.3.0)\r\n", b"452 insufficient system storage\r\n")
_TEMPFAIL_TEXTS = "|".join(re.escape(reply.decode().rstrip("\r\n")) for reply in TEMPFAIL)
# Either of them as one whole reply, decoded (SmtpClient.reply(), Proc.recv_line()).
TEMPFAIL_REPLY_RE = re.compile(rf"^({_TEMPFAIL_TEXTS})\r\n$")
# Either of them as swaks prints a reply it got.
TEMPFAIL_SWAKS_RE = re.compile(rf"<\*\* ({_TEMPFAIL_TEXTS})\n")


def wait_until(condition, what, timeout=10):
    """Polls condition() until it holds; fails naming what was waited for."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"waited in vain for {what}")
        time.sleep(0.005)


def wait_for_text(path, text, timeout=30):
    """Waits until the file at path (which may not exist yet) holds text."""
    def holds_text():
        if not os.path.exists(path):
            return False
        with open(path, encoding="utf-8", errors="replace") as f:
            return text in f.read()
    wait_until(holds_text, f"{text!r} in {path}", timeout)


def read_reply(sock, data=b""):
    """One whole SMTP reply from sock, after data already read (its last line
    has a blank after the code)."""
    while not re.search(rb"(^|\n)[0-9]{3} [^\n]*\r\n$", data):
        chunk = sock.recv(4096)
        if not chunk:
            raise AssertionError(f"connection closed after {data!r}")
        data += chunk
    return data


def rollback_database(path):
    """A database at path with the two tables in rollback-journal mode, where
    (unlike init-db's WAL) readers wait for a writer's lock too."""
    conn = sqlite3.connect(path)
    with conn:
        conn.executescript("CREATE TABLE verified (ip, ts); CREATE TABLE pending (ip, envsender, envrecipient,"
                           " tsfirstdelivery, tslastdelivery, attempts);")
    conn.close()
    return path


def require_own_network(command):
    """For setUpModule of tests that `command` (unshare -n ...) runs in a network
    namespace of their own: refuses to run anywhere else, brings the loopback up."""
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"]:
        raise RuntimeError(f"these tests must run in a network namespace of their own ({command}); "
                           f"interfaces here: {names}")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


class Proc:
    """A program whose descriptors 0 and 1 are one end of a socket pair, as
    tcpserver hands a connection over; standard error goes to a file."""

    def __init__(self, argv, env, workdir, name="proc", stdio="socket"):
        skip_if_preloaded(env)
        self.err_path = os.path.join(workdir, f"{name}.stderr")
        self.errfile = open(self.err_path, "wb")
        if stdio == "socket":
            self.sock, child_end = socket.socketpair()
            stdin = stdout = child_end
        else:
            raise ValueError(stdio)
        self.p = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=self.errfile, env=env,
                                  start_new_session=True, close_fds=True)
        child_end.close()
        self.received = b""

    def send(self, data):
        self.sock.sendall(data)

    def shut_write(self):
        self.sock.shutdown(socket.SHUT_WR)

    def _read_some(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        ready, _, _ = select.select([self.sock], [], [], remaining)
        if not ready:
            return None
        try:
            return self.sock.recv(65536)
        except ConnectionResetError:
            return b""

    def recv_until(self, marker, timeout=15):
        """Everything received up to and including marker (kept for later)."""
        deadline = time.monotonic() + timeout
        while marker not in self.received:
            chunk = self._read_some(deadline)
            if not chunk:
                raise AssertionError(f"waited for {marker!r}, got {self.received!r}; stderr: {self.stderr()}")
            self.received += chunk
        end = self.received.index(marker) + len(marker)
        head, self.received = self.received[:end], self.received[end:]
        return head

    def recv_line(self, timeout=15):
        """The next line received."""
        return self.recv_until(b"\n", timeout)

    def command(self, data):
        """Sends data and gives the next line received: one step of a dialogue."""
        self.send(data)
        return self.recv_line()

    def recv_all(self, timeout=15):
        """Everything until the program closes its end."""
        deadline = time.monotonic() + timeout
        while True:
            chunk = self._read_some(deadline)
            if chunk is None:
                raise AssertionError(f"no end of output; got {self.received!r}; stderr: {self.stderr()}")
            if not chunk:
                break
            self.received += chunk
        data, self.received = self.received, b""
        return data

    def wait(self, timeout=30):
        return self.p.wait(timeout=timeout)

    def wait_for_log(self, text, timeout=15):
        """Waits until the program has logged text."""
        deadline = time.monotonic() + timeout
        while text not in self.stderr():
            if time.monotonic() > deadline or self.p.poll() is not None:
                raise AssertionError(f"{text!r} was not logged: {self.stderr()}")
            time.sleep(0.005)

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        try:
            os.killpg(self.p.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        self.sock.close()
        self.errfile.close()


class WorkdirCase(unittest.TestCase):
    """A test with its own temporary directory, removed afterwards."""

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="ostrel-test-")
        self.procs = []
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        for proc in self.procs:
            proc.close()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.workdir, name)

    def write_file(self, name, content, mode="w"):
        with open(self.path(name), mode) as f:
            f.write(content)
        return self.path(name)

    def start(self, argv, env, name="proc"):
        proc = Proc(argv, env, self.workdir, name=f"{name}{len(self.procs)}")
        self.procs.append(proc)
        return proc

    def assert_sped_up(self, started):
        """A 40-second wait that passed under libfaketime's speed-up must
        have taken far less real time: proof that the speed-up applied."""
        self.assertLess(time.monotonic() - started, 10)

    def run_plain(self, argv, env, stdin=b"", timeout=30):
        return subprocess.run(argv, input=stdin, capture_output=True, env=skip_if_preloaded(env), timeout=timeout)


class OstrelCase(WorkdirCase):
    """Runs ostrel in front of the scripted SMTP server program."""

    def setUp(self):
        super().setUp()
        self.db = self.path("greylist.db")
        result = subprocess.run([program("ostrelctl"), "init-db", self.db], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.smtpd_log = self.path("smtpd.log")

    def env(self, **extra):
        """ostrel's environment for a greylisted client 192.0.2.7 on this database."""
        return program_env({"GREYLIST": "", "DBFILE": self.db, "TCPREMOTEIP": "192.0.2.7", "LOGTHRESHOLD": "7",
                            "SMTPD_LOG": self.smtpd_log}, **extra)

    def server_script(self, *steps):
        return self.write_file(f"script{len(self.procs)}", "\n".join(steps) + "\n")

    def ostrel(self, steps, fast_time=False, **extra):
        """fast_time: True for FAKETIME_SPEED, or a speed of its own."""
        env = self.env(**extra)
        if fast_time:
            env.update(faketime_env() if fast_time is True else faketime_env(fast_time))
        argv = [program("ostrel"), helper("scripted_smtpd"), self.server_script(*steps)]
        return self.start(argv, env, name="ostrel")

    def maps_during_dialogue(self, **extra):
        """/proc/PID/maps of an ostrel that has greeted and waits for the client."""
        proc = self.ostrel([GREETING, "silent"], **extra)
        proc.recv_line()
        with open(f"/proc/{proc.p.pid}/maps") as f:
            maps = f.read()
        proc.shut_write()
        proc.wait()
        return maps

    def server_lines(self):
        if not os.path.exists(self.smtpd_log):
            return []
        with open(self.smtpd_log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def query(self, sql, *args):
        with sqlite3.connect(self.db) as conn:
            return conn.execute(sql, args).fetchall()

    def pending(self):
        return self.query("SELECT ip, envsender, envrecipient, attempts FROM pending ORDER BY rowid")

    def verified(self):
        return [row[0] for row in self.query("SELECT ip FROM verified ORDER BY rowid")]


def free_port():
    """A loopback port free at the moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=20):
    """Waits until something listens on 127.0.0.1:port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.02)
    raise AssertionError(f"nothing listens on port {port}")


GREETING = "greet 220 test.example ESMTP\\r\\n"
EHLO_REPLY = "reply 250-test.example\\r\\n250-PIPELINING\\r\\n250 HELP\\r\\n"
OK = "reply 250 OK\\r\\n"
