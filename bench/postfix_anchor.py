"""The road an admin would pick instead of ostrel: Postfix's smtpd on
127.0.0.1 with postgrey as its policy service, every recipient greylisted.

Postfix conflicts with exim4 as a package, so it is fetched with
`apt-get download postfix`, unpacked with `dpkg -x` into a private root under
the bench's temporary directory and run from there by its own master process,
with a private configuration, queue and log. Nothing is installed system-wide.
The accounts are existing ones: the queue belongs to `mail`, the setgid group
is `news`; no chroot, no DNS lookups (tcpserver runs with -R -H as well)."""

import glob
import os
import shutil
import socket
import subprocess
import time

MAIN_CF = """compatibility_level = 3.6
config_directory = {conf}
meta_directory = {conf}
queue_directory = {queue}
data_directory = {data}
command_directory = {root}/usr/sbin
daemon_directory = {root}/usr/lib/postfix/sbin
shlib_directory = {root}/usr/lib/postfix
import_environment = MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C LD_LIBRARY_PATH={root}/usr/lib/postfix
mail_owner = mail
setgid_group = news
maillog_file = {log}
maillog_file_prefixes = {base}
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.bench.example
mydomain = bench.example
mydestination = example.net
mynetworks = 127.0.0.1/32
alias_maps =
alias_database =
local_recipient_maps =
smtpd_peername_lookup = no
smtpd_banner = $myhostname ESMTP
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = check_policy_service inet:127.0.0.1:{policy_port}
smtpd_client_connection_count_limit = 0
smtpd_client_connection_rate_limit = 0
default_process_limit = 200
smtpd_tls_security_level = none
"""

# Only the services a greylisted session touches; no chroot.
MASTER_CF = """127.0.0.1:{port} inet n - n - - smtpd
cleanup   unix  n       -       n       -       0       cleanup
rewrite   unix  -       -       n       -       -       trivial-rewrite
proxymap  unix  -       -       n       -       -       proxymap
anvil     unix  -       -       n       -       1       anvil
postlog   unix-dgram n  -       n       -       1       postlogd
"""

QUEUE_DIRS = ["pid", "public", "private", "incoming", "active", "deferred", "defer", "bounce", "trace", "flush",
              "hold", "corrupt", "saved", "maildrop"]


def unpack_postfix(workdir):
    """Downloads the postfix package into workdir and unpacks it into
    workdir/postfix-root; returns that root."""
    download = os.path.join(workdir, "postfix-deb")
    os.makedirs(download)
    os.chmod(download, 0o777)  # apt's unprivileged downloader writes here
    subprocess.run(["apt-get", "download", "-q", "postfix"], cwd=download, check=True, capture_output=True)
    root = os.path.join(workdir, "postfix-root")
    subprocess.run(["dpkg", "-x", glob.glob(os.path.join(download, "postfix_*.deb"))[0], root], check=True)
    return root


class PostfixSmtpd:
    """Postfix's master on 127.0.0.1:self.port running smtpd with the policy
    service on policy_port."""

    def __init__(self, workdir, policy_port, port):
        self.port = port
        root = unpack_postfix(workdir)
        base = os.path.join(workdir, "postfix")
        conf, queue, data = (os.path.join(base, d) for d in ["conf", "queue", "data"])
        self.log_path = os.path.join(base, "maillog")
        os.makedirs(conf)
        for sub in QUEUE_DIRS:
            os.makedirs(os.path.join(queue, sub))
            shutil.chown(os.path.join(queue, sub), "mail", "news" if sub in ("public", "maildrop") else None)
            os.chmod(os.path.join(queue, sub), 0o730 if sub in ("public", "maildrop") else 0o700)
        shutil.chown(os.path.join(queue, "pid"), "root")
        os.chmod(os.path.join(queue, "pid"), 0o755)
        os.makedirs(data)
        shutil.chown(data, "mail")
        for path in [base, queue]:
            os.chmod(path, 0o755)
        with open(os.path.join(conf, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(base=base, conf=conf, queue=queue, data=data, root=root, log=self.log_path,
                                   policy_port=policy_port))
        with open(os.path.join(conf, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(port=port))
        env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "MAIL_CONFIG": conf,
               "LD_LIBRARY_PATH": os.path.join(root, "usr", "lib", "postfix")}
        self.err = open(os.path.join(base, "master.err"), "wb")
        self.p = subprocess.Popen([os.path.join(root, "usr/lib/postfix/sbin/master"), "-c", conf, "-d"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err,
                                  start_new_session=True)
        self._wait_for_banner()

    def _wait_for_banner(self, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                    if s.recv(100).startswith(b"220"):
                        s.sendall(b"QUIT\r\n")
                        return
            except OSError:
                pass
            if self.p.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("Postfix's smtpd did not start; see " + self.log_path)
            time.sleep(0.05)

    def close(self):
        self.p.terminate()
        self.p.wait()
        self.err.close()
