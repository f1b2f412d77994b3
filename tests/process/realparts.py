"""Real parts for end-to-end tests: exim4 -bs with a private configuration
(or Debian's own, generated), tcpserver on 127.0.0.1 and swaks as the client."""

import os
import pwd
import re
import shutil
import socket
import sqlite3
import subprocess
import time

from harness import WorkdirCase, free_port, program, program_env, skip_if_preloaded, wait_for_port, wait_for_text

EXIM_CONF = """primary_hostname = mx.test.example
domainlist local_domains = *
allow_domain_literals = true
spool_directory = {dir}/spool
log_file_path = {dir}/log/%slog
exim_user = Debian-exim
exim_group = Debian-exim
keep_environment =
acl_smtp_rcpt = acl_check_rcpt
begin acl
acl_check_rcpt:
  accept
begin routers
everyone:
  driver = accept
  transport = mailbox
begin transports
mailbox:
  driver = appendfile
  file = {dir}/mail/inbox
  user = Debian-exim
  group = Debian-exim
"""


def exim_command(workdir, main_options=""):
    """exim4 -bs with a configuration that accepts every recipient and
    delivers into workdir/exim/mail/inbox; main_options are added to its
    main section."""
    base = os.path.join(workdir, "exim")
    entry = pwd.getpwnam("Debian-exim")
    for sub in ["spool", "log", "mail"]:
        os.makedirs(os.path.join(base, sub), exist_ok=True)
        os.chown(os.path.join(base, sub), entry.pw_uid, entry.pw_gid)
    os.chmod(workdir, 0o755)
    conf = os.path.join(base, "exim.conf")
    with open(conf, "w") as f:
        f.write(main_options + EXIM_CONF.format(dir=base))
    return ["/usr/sbin/exim4", "-C", conf, "-bs"]


# Debian's settings of a real MX: mail for mx.test.example is local, and no
# host but the local one may relay.
DEBIAN_MX_SETTINGS = {"dc_eximconfig_configtype": "internet", "dc_other_hostnames": "mx.test.example",
                      "dc_local_interfaces": "", "dc_relay_nets": "", "dc_relay_domains": "", "dc_smarthost": "",
                      "dc_minimaldns": "false", "dc_use_split_config": "false", "dc_localdelivery": "mail_spool"}


def debian_exim_config(workdir, macros=""):
    """Debian's own exim configuration of a real MX, made by update-exim4.conf
    from a copy of /etc/exim4, for exim's -C. Macro lines (such as
    "MAIN_TRUSTED_USERS = uucp : nobody") come first, where
    exim4.conf.localmacros puts them, after those that give exim its spool and
    log under workdir/exim and its host name. Local mail goes where Debian
    delivers it (/var/mail), through a queue run (`exim4 -C FILE -qff`)."""
    base = os.path.join(workdir, "exim")
    confdir = os.path.join(base, "etc")
    shutil.copytree("/etc/exim4", confdir)
    settings_path = os.path.join(confdir, "update-exim4.conf.conf")
    with open(settings_path) as f:
        settings = f.read()
    for name, value in DEBIAN_MX_SETTINGS.items():
        settings, found = re.subn(rf"^{name}=.*$", f"{name}='{value}'", settings, flags=re.M)
        if not found:
            settings += f"{name}='{value}'\n"
    with open(settings_path, "w") as f:
        f.write(settings)
    generated = os.path.join(base, "generated.conf")
    subprocess.run(["update-exim4.conf", "--confdir", confdir, "--output", generated], check=True,
                   capture_output=True)
    entry = pwd.getpwnam("Debian-exim")
    for sub in ["spool", "log"]:
        os.makedirs(os.path.join(base, sub))
        os.chown(os.path.join(base, sub), entry.pw_uid, entry.pw_gid)
    conf = os.path.join(base, "exim.conf")
    with open(conf, "w") as f, open(generated) as g:
        f.write(f"SPOOLDIR = {base}/spool\nlog_file_path = {base}/log/%slog\n"
                f"MAIN_HARDCODE_PRIMARY_HOSTNAME = mx.test.example\n{macros}" + g.read())
    os.chmod(conf, 0o644)
    os.chmod(base, 0o755)
    os.chmod(workdir, 0o755)
    return conf


def exim_mainlog(conf):
    """exim's main log for a configuration of debian_exim_config."""
    path = os.path.join(os.path.dirname(conf), "log", "mainlog")
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def inbox_path(workdir):
    return os.path.join(workdir, "exim", "mail", "inbox")


class TcpServer:
    """tcpserver on 127.0.0.1 (or the loopback address host) running argv for
    every connection."""

    def __init__(self, workdir, argv, env, concurrency=40, host="127.0.0.1", options=()):
        skip_if_preloaded(env)
        self.port = free_port()
        self.log_path = os.path.join(workdir, f"tcpserver-{self.port}.log")
        self.log = open(self.log_path, "wb")
        self.p = subprocess.Popen(["tcpserver", "-v", "-R", "-H", *options, "-c", str(concurrency), "-l",
                                   "mx.test.example", host, str(self.port)] + argv,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log, env=env,
                                  start_new_session=True)
        wait_for_text(self.log_path, "tcpserver: status: 0/")

    def stderr(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def statuses(self):
        """Exit statuses of the ended connections; a signal shows as its negative number.
        tcpserver reports the raw wait status."""
        raw = [int(s) for s in re.findall(r"tcpserver: end \d+ status (\d+)", self.stderr())]
        return [s >> 8 if s & 0x7F == 0 else -(s & 0x7F) for s in raw]

    def wait_for_ends(self, count, timeout=120):
        deadline = time.monotonic() + timeout
        while len(self.statuses()) < count:
            if time.monotonic() > deadline:
                raise AssertionError(f"only {len(self.statuses())} of {count} connections ended")
            time.sleep(0.02)

    def close(self):
        self.p.terminate()
        self.p.wait()
        self.log.close()


def swaks(port, sender, recipient, local=None, extra=(), server="127.0.0.1"):
    server = f"[{server}]" if ":" in server else server
    argv = ["swaks", "--server", f"{server}:{port}", "--from", sender, "--to", recipient, "--helo", "client.example",
            "--timeout", "60"]
    if local:
        argv += ["--local-interface", local]
    result = subprocess.run(argv + list(extra), capture_output=True, text=True, timeout=120)
    return result.stdout + result.stderr


class SmtpClient:
    """A plain SMTP client on a loopback address: sends lines, reads whole
    replies (continuation lines included)."""

    def __init__(self, port, local="127.0.0.1", timeout=60, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=timeout, source_address=(local, 0))
        self.file = self.sock.makefile("rb")

    def reply(self):
        """The next reply, its lines joined; b"" when the server closed."""
        lines = []
        while True:
            line = self.file.readline()
            if not line:
                return b"".join(lines)
            lines.append(line)
            if line[3:4] != b"-":
                return b"".join(lines)

    def command(self, data):
        self.sock.sendall(data)
        return self.reply()

    def closed(self):
        """Whether the server has closed; unread bytes it left behind in the
        connection (a pipelined chunk) make its end reset the connection."""
        try:
            return self.file.read() == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.file.close()
        self.sock.close()


def base_env(workdir, **extra):
    """The chain's environment under tcpserver: greylisting on workdir/greylist.db,
    a PATH with the sbin folders for exim4."""
    return program_env({"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "GREYLIST": "",
                        "DBFILE": os.path.join(workdir, "greylist.db"), "LOGTHRESHOLD": "7"}, **extra)


def init_db(path):
    """A fresh greylist database at path, made by ostrelctl init-db."""
    subprocess.run([program("ostrelctl"), "init-db", path], check=True, capture_output=True)


class ChainCase(WorkdirCase):
    """The chain with real parts around a fresh database: tcpserver runs ostrel
    in front of exim4 -bs (or argv) for every connection."""

    def setUp(self):
        super().setUp()
        self.db = self.path("greylist.db")
        init_db(self.db)
        self.exim = exim_command(self.workdir)

    def serve(self, argv=None, concurrency=40, host="127.0.0.1", options=(), **env):
        """A tcpserver on host, stopped when the test ends."""
        server = TcpServer(self.workdir, argv or [program("ostrel")] + self.exim, base_env(self.workdir, **env),
                           concurrency, host=host, options=options)
        self.addCleanup(server.close)
        return server

    def rows(self, sql):
        """The rows of a query on the database."""
        with sqlite3.connect(self.db) as conn:
            return conn.execute(sql).fetchall()


def start_aiosmtpd(case, out_path):
    """A real SMTP server (aiosmtpd) on a loopback port that prints every
    message it receives to out_path; stopped when the test ends."""
    port = free_port()
    with open(out_path, "w") as f:
        server = subprocess.Popen(["/usr/bin/python3", "-u", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                                   "-c", "aiosmtpd.handlers.Debugging", "stdout"], stdout=f, stderr=subprocess.STDOUT)
    case.addCleanup(server.wait)
    case.addCleanup(server.terminate)
    wait_for_port(port)
    return port
