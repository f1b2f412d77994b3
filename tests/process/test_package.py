"""The Debian package, from this tree to a purge: built once
(dpkg-buildpackage, the release build), checked by lintian, then installed
with dpkg -i on this very system booted with systemd in a container
(systemd-nspawn on an overlay of /, private network). There the unit
meets exim's own listener on port 25, the admin follows README.Debian, and
the chain runs as the user ostrel in front of Debian's exim, greylisting and
then delivering; the purge must leave nothing behind. Everything the
container writes goes to a tmpfs, so the machine itself is never touched.
Runs as root on Debian, in a mount namespace of its own (the test command
starts it under `unshare -m`)."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import helper_script, wait_until
from realparts import DEBIAN_MX_SETTINGS

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER, CLIENT = "192.0.2.1", "192.0.2.10"
UNIT = "ostrel-smtp.service"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Units of this system that the test has no use for, masked in the container.
IDLE_UNITS = ["postgresql.service", "pgbouncer.service", "rbldnsd.service", "rbldnsd.socket", "apt-daily.timer",
              "apt-daily-upgrade.timer", "man-db.timer", "e2scrub_all.timer", "e2scrub_reap.service", "fstrim.timer",
              "dpkg-db-backup.timer", "exim4-base.timer", "systemd-timesyncd.service", "console-getty.service",
              "getty@.service", "systemd-pstore.service"]
NEEDED = ["dpkg-buildpackage", "dh", "lintian", "systemd-nspawn", "nsenter", "swaks"]


def setUpModule():
    if os.geteuid() != 0 or not os.path.exists("/etc/debian_version"):
        raise unittest.SkipTest("the package test runs as root on Debian")
    missing = [tool for tool in NEEDED if shutil.which(tool, path=PATH) is None]
    if missing:
        raise AssertionError(f"missing {', '.join(missing)}: run scripts/install-deps.sh")
    if os.readlink("/proc/self/ns/mnt") == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        raise AssertionError("the package test needs a mount namespace of its own (unshare -m)")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    # systemd-nspawn keeps its locks under /run/systemd: on a tmpfs here
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/systemd"], check=True)


def log(text):
    print(f"test_package: {text}", file=sys.stderr, flush=True)


def copy_of_tree(dest):
    """This tree without its builds, where dpkg-buildpackage may write."""
    def ignored(directory, names):
        skip = {".git", "__pycache__", "demo"}
        if os.path.abspath(directory) == TOP:
            skip |= {name for name in names if name.startswith("build")}
        return [name for name in names if name in skip]
    shutil.copytree(TOP, dest, ignore=ignored, symlinks=True)


class Container:
    """This system booted with systemd in a container: an overlay of / with
    its upper layer on a tmpfs, a network of its own (loopback only), and
    the directory `shared` at /package-under-test."""

    def __init__(self, scratch, shared):
        self.nspawn = None
        self.base = os.path.join(scratch, "container")
        os.mkdir(self.base)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", self.base], check=True)
        self.upper, work, self.root = (os.path.join(self.base, d) for d in ("upper", "work", "root"))
        for d in (self.upper, work, self.root):
            os.mkdir(d)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", f"lowerdir=/,upperdir={self.upper},workdir={work}",
                        self.root], check=True)
        for unit in IDLE_UNITS:
            os.symlink("/dev/null", os.path.join(self.root, "etc/systemd/system", unit))
        # no name server but the test's own, on the container's loopback
        os.remove(os.path.join(self.root, "etc/resolv.conf"))
        with open(os.path.join(self.root, "etc/resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        self.log_path = os.path.join(scratch, "nspawn.log")
        with open(self.log_path, "wb") as out:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "--quiet", "--directory", self.root, "--machine", "package-test",
                 "--register=no", "--link-journal=no", "--keep-unit", "--private-network",
                 f"--bind-ro={shared}:/package-under-test", "--console=pipe", "--boot"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)

    def wait_for_boot(self):
        wait_until(self._found_leader, "the container's init", timeout=30)
        try:
            wait_until(lambda: self.run("systemctl", "is-system-running", check=False).stdout.strip()
                       in ("running", "degraded"), "the container's boot", timeout=60)
        except AssertionError as failure:
            jobs = self.run("systemctl", "list-jobs", "--no-pager", check=False).stdout
            raise AssertionError(f"{failure}; jobs left:\n{jobs}") from None

    def _found_leader(self):
        if self.nspawn.poll() is not None:
            with open(self.log_path) as f:
                raise AssertionError(f"systemd-nspawn ended: {f.read()}")
        try:
            with open(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children") as f:
                children = f.read().split()
        except FileNotFoundError:
            return False
        for child in children:  # the container's init, once it runs systemd
            try:
                with open(f"/proc/{child}/comm") as f:
                    if f.read().strip() == "systemd":
                        self.leader = child
                        return True
            except FileNotFoundError:
                pass
        return False

    def run(self, *argv, check=True, namespaces=("-a", "-r", "-w"), timeout=120):
        """argv inside the container (or with only its network: namespaces=("-n",))."""
        result = subprocess.run(["nsenter", "-t", self.leader, *namespaces, "--", "env", "-i", f"PATH={PATH}",
                                 "LANG=C.UTF-8", *argv], capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{argv} ended with status {result.returncode}: {result.stdout}{result.stderr}")
        return result

    def shell(self, script, **kw):
        return self.run("sh", "-ec", script, **kw)

    def read(self, path):
        with open(os.path.join(self.root, path.lstrip("/")), encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.nspawn is not None and self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)  # halts the container
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(self.nspawn.pid, signal.SIGKILL)
                self.nspawn.wait()
        subprocess.run(["umount", self.root], check=False)
        subprocess.run(["umount", self.base], check=False)


class DebianPackage(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="ostrel-package-")
        source = os.path.join(cls.scratch, "ostrel")
        copy_of_tree(source)
        with open(os.path.join(TOP, "VERSION")) as f:
            cls.version = f.read().strip()
        started = time.monotonic()
        build = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=source, capture_output=True, text=True,
                               env={**os.environ, "PATH": PATH, "DEB_BUILD_OPTIONS": f"parallel={min(2, os.cpu_count())}"})
        log(f"dpkg-buildpackage: status {build.returncode}, {time.monotonic() - started:.0f} s")
        if build.returncode != 0:
            raise AssertionError(f"dpkg-buildpackage failed:\n{build.stdout[-4000:]}{build.stderr[-4000:]}")
        cls.shared = os.path.join(cls.scratch, "shared")
        os.mkdir(cls.shared)
        cls.deb = f"ostrel_{cls.version}_amd64.deb"
        shutil.copy(os.path.join(cls.scratch, cls.deb), cls.shared)

    @classmethod
    def tearDownClass(cls):
        # never remove files through a container's root that is still mounted
        for mount in ("container/root", "container"):
            path = os.path.join(cls.scratch, mount)
            if os.path.ismount(path):
                subprocess.run(["umount", "--lazy", path], check=True)
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_lintian_finds_no_error(self):
        started = time.monotonic()
        result = subprocess.run(["lintian", "--fail-on", "error", os.path.join(self.scratch, f"ostrel_{self.version}_"
                                                                                             "amd64.changes")],
                                capture_output=True, text=True, env={**os.environ, "PATH": PATH})
        log(f"lintian: status {result.returncode}, {time.monotonic() - started:.0f} s")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^E: ")

    def test_install_run_in_front_of_exim_purge(self):
        started = time.monotonic()
        box = Container(self.scratch, self.shared)
        self.addCleanup(box.stop)
        box.wait_for_boot()
        log(f"container booted in {time.monotonic() - started:.1f} s")
        for path in ["/etc/ostrel", "/var/lib/ostrel"]:
            self.assertFalse(os.path.lexists(os.path.join(box.root, path.lstrip("/"))), path)
        self.assertEqual(box.run("getent", "passwd", "ostrel", check=False).returncode, 2)

        # dpkg -i: the user, the state, the database, the settings; the units idle
        installed = box.run("dpkg", "-i", f"/package-under-test/{self.deb}")
        self.assertIn("installed but neither enabled nor started", installed.stdout + installed.stderr)
        user = box.run("getent", "passwd", "ostrel").stdout.strip().split(":")
        self.assertLess(int(user[2]), 1000)
        self.assertEqual(user[5:], ["/var/lib/ostrel", "/usr/sbin/nologin"])
        self.assertEqual(box.run("stat", "-c", "%U:%G %a", "/var/lib/ostrel", "/var/lib/ostrel/ostrel.db").stdout,
                         "ostrel:ostrel 750\nostrel:ostrel 644\n")
        self.assertEqual(box.run("sqlite3", "/var/lib/ostrel/ostrel.db", "PRAGMA user_version").stdout, "2\n")
        conffiles = box.run("dpkg-query", "-W", "-f", "${Conffiles}", "ostrel").stdout
        self.assertEqual(re.findall(r"^ (\S+) ", conffiles, re.M), ["/etc/ostrel/ostrel.env", "/etc/ostrel/suspicion"])
        self.assertEqual(box.run("ostrelctl", "--version").stdout, f"ostrelctl {self.version}\n")
        for unit in [UNIT, "ostrel-smtp-remote.service"]:
            self.assertEqual(box.run("systemctl", "is-enabled", unit, check=False).stdout, "disabled\n")
            self.assertEqual(box.run("systemctl", "is-active", unit, check=False).stdout, "inactive\n")

        # exim's own listener holds port 25: the start fails once, naming it
        self.assertNotEqual(box.run("systemctl", "start", UNIT, check=False).returncode, 0)
        for name, value in [("ActiveState", "failed"), ("NRestarts", "0")]:
            self.assertEqual(box.run("systemctl", "show", "--value", "-p", name, UNIT).stdout, value + "\n")
        journal = box.run("journalctl", "-u", UNIT, "-o", "cat").stdout
        exim_pid = box.run("cat", "/run/exim4/exim.pid").stdout.strip()
        self.assertRegex(journal, rf"prepare: port 25 is taken by exim4 \(pid {exim_pid}\) on (127\.0\.0\.1, ::1|::1, 127\.0\.0\.1): "
                                  r"stop that listener first \(Debian's exim4: QUEUERUNNER='queueonly' in "
                                  r"/etc/default/exim4, then systemctl restart exim4\)")

        # the admin's steps of README.Debian, on Debian's configuration of an MX
        settings = "".join(f"{name}='{value}'\n" for name, value in DEBIAN_MX_SETTINGS.items())
        box.shell(f"""
            sed -i "s/^QUEUERUNNER=.*/QUEUERUNNER='queueonly'/" /etc/default/exim4
            sed -i '/^dc_/d' /etc/exim4/update-exim4.conf.conf
            printf "%s" "{settings}" >>/etc/exim4/update-exim4.conf.conf
            printf 'MAIN_TRUSTED_USERS = uucp : ostrel\\nMAIN_HARDCODE_PRIMARY_HOSTNAME = mx.test.example\\n' \
                >>/etc/exim4/exim4.conf.localmacros
            update-exim4.conf
            systemctl restart exim4
            sed -i 's/^#LOCALNAME=.*/LOCALNAME=mx.test.example/' /etc/ostrel/ostrel.env
            ip addr add {SERVER}/32 dev lo
            ip addr add {CLIENT}/32 dev lo
        """)
        queries = os.path.join(self.scratch, "dns-queries")
        dns = subprocess.Popen(["nsenter", "-t", box.leader, "-n", "--", sys.executable,
                                helper_script("dns_responder.py"), queries], stdout=subprocess.PIPE, text=True)
        self.addCleanup(dns.stdout.close)
        self.addCleanup(dns.wait)
        self.addCleanup(dns.kill)
        self.assertEqual(dns.stdout.readline().strip(), "dns_responder: ready")

        start = box.run("systemctl", "start", UNIT, check=False)
        self.assertEqual(start.returncode, 0, box.run("journalctl", "-u", UNIT, "-o", "cat").stdout)
        wait_until(lambda: '"tcpserver"' in box.run("ss", "-Hltnp", "sport = :25").stdout, "tcpserver on port 25",
                   timeout=30)
        self.assertEqual(box.run("ps", "-o", "user=,group=", "-C", "tcpserver").stdout, "ostrel   ostrel\n")
        shown = box.run("systemctl", "show", "-p", "NoNewPrivileges", "-p", "StateDirectory", "-p", "User", UNIT).stdout
        self.assertEqual(sorted(shown.splitlines()), ["NoNewPrivileges=no", "StateDirectory=ostrel", "User=ostrel"])
        # systemd keeps the state directory and the database the user's
        self.assertEqual(box.run("stat", "-c", "%U:%G", "/var/lib/ostrel", "/var/lib/ostrel/ostrel.db").stdout,
                         "ostrel:ostrel\nostrel:ostrel\n")

        # greylisted, then accepted and delivered by exim from within the unit
        def swaks(expected):
            result = box.run("swaks", "--server", f"{SERVER}:25", "--local-interface", CLIENT, "--helo",
                             "client.example", "--from", "s@example.org", "--to", "mail@mx.test.example",
                             "--timeout", "60", namespaces=("-n",), check=False)
            self.assertRegex(result.stdout, expected)
        tempfail = r"<\*\* (451 qqt failure \(#4\.3\.0\)|452 insufficient system storage)\n"
        swaks(tempfail)
        swaks(tempfail)  # too soon for the shipped GREYLIST_MINDELAY of 300 seconds
        # the first attempt aged past the delay, written as the database's owner
        box.run("runuser", "-u", "ostrel", "--", "sqlite3", "/var/lib/ostrel/ostrel.db",
                "UPDATE pending SET tsfirstdelivery = DATETIME('now', '-301 seconds')")
        swaks(r"<- {2}250 OK id=")
        wait_until(lambda: "From: s@example.org" in box.read("/var/mail/mail"), "the delivery", timeout=60)
        mailbox = box.read("/var/mail/mail")
        self.assertIn("Received: from [192.0.2.10] (helo=client.example)\n\tby mx.test.example with esmtp ", mailbox)
        mainlog = box.read("/var/log/exim4/mainlog")
        self.assertRegex(mainlog, r"<= s@example.org H=\(client.example\) \[192.0.2.10\] P=esmtp ")
        self.assertIn("=> mail <mail@mx.test.example> R=local_user T=mail_spool", mainlog)
        self.assertEqual(box.run("sqlite3", "/var/lib/ostrel/ostrel.db", "SELECT ip FROM verified").stdout,
                         f"{CLIENT}\n")
        journal = box.run("journalctl", "-u", UNIT, "-o", "cat").stdout
        pids = set(re.findall(r"^tcpserver: pid (\d+) from ", journal, re.M))
        self.assertEqual(len(pids), 3, journal)
        for line in journal.splitlines():
            match = re.match(r"(\((\d+)\) )?(ferrow|ostrel|ostrel-exim): ", line)
            if match:
                self.assertIn(match.group(2), pids, line)

        # the purge leaves nothing of the package
        box.run("systemctl", "stop", UNIT)
        purged = box.run("dpkg", "--purge", "ostrel")
        self.assertEqual(purged.stderr, "")
        for database in ["passwd", "group", "shadow", "gshadow"]:
            self.assertEqual(box.run("getent", database, "ostrel", check=False).returncode, 2, database)
        left = subprocess.run(["find", box.upper, "-name", "*ostrel*"], capture_output=True, text=True).stdout
        self.assertEqual(left, "")
        self.assertEqual(box.run("systemctl", "list-unit-files", "ostrel*", check=False).stdout.count("ostrel"), 0)
        log(f"install, chain and purge in the container: {time.monotonic() - started:.1f} s")
