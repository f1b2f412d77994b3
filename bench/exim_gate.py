#!/usr/bin/python3
"""CPU per connection of ostrel-exim in front of exim4 -bs, with Debian's own
configuration of an Internet site (made by update-exim4.conf, host name
lookups off): one short session each (EHLO, MAIL, a remote recipient that
exim refuses, QUIT), run as

  exim alone          exim4 -C FILE -bs, as root (what ostrel ran before)
  ostrel-exim, root   root is trusted without a question
  ostrel-exim, user   a user named in trusted_users: ostrel-exim first asks
                      exim (exim -bP) whether it trusts the user

CPU is user + system time of the process and its children, wall the time
from start to end; medians of rounds that run the three interleaved. Runs in a network and mount namespace
of its own (it re-runs itself under unshare), so that exim's look-ups reach
no resolver but one on 127.0.0.1 that is not there.

Usage: bench/exim_gate.py [RUNS_PER_ROUND]   (as root, from the top directory)"""

import os
import pwd
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
from realparts import debian_exim_config  # noqa: E402

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 100
ROUNDS = 7
DIALOGUE = b"EHLO bench.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@remote.example>\r\nQUIT\r\n"
CLIENT_ENV = {"PATH": "/usr/bin:/bin", "TCPREMOTEIP": "192.0.2.10", "TCPREMOTEPORT": "4444",
              "TCPLOCALIP": "192.0.2.1", "TCPLOCALPORT": "25"}


def own_namespace(workdir):
    resolv = os.path.join(workdir, "resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver 127.0.0.1\n")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def run_once(argv, uid, gid):
    """CPU and wall seconds of argv (and its children) for one session, run
    as uid."""
    started = time.monotonic()
    read_end, write_end = os.pipe()
    os.write(write_end, DIALOGUE)
    os.close(write_end)
    devnull = os.open(os.devnull, os.O_WRONLY)
    pid = os.fork()
    if pid == 0:
        os.dup2(read_end, 0)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
        os.execve(argv[0], argv, CLIENT_ENV)
    os.close(read_end)
    os.close(devnull)
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv} ended with {status}")
    return usage.ru_utime + usage.ru_stime, time.monotonic() - started


def main():
    if "OSTREL_BENCH_NS" not in os.environ:
        os.execvpe("unshare", ["unshare", "-m", "-n", sys.executable, *sys.argv],
                   {**os.environ, "OSTREL_BENCH_NS": "1"})
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-exim-")
    own_namespace(workdir)
    conf = debian_exim_config(workdir, macros="MAIN_HOST_LOOKUP =\nMAIN_TRUSTED_USERS = uucp : nobody\n")
    ostrel_exim = os.path.join(TOP, "build", "bin", "ostrel-exim")
    nobody = pwd.getpwnam("nobody")
    variants = [("exim alone", ["/usr/sbin/exim4", "-C", conf, "-bs"], 0, 0),
                ("ostrel-exim, root", [ostrel_exim, "-C", conf], 0, 0),
                ("ostrel-exim, user", [ostrel_exim, "-C", conf], nobody.pw_uid, nobody.pw_gid)]
    cpu = {name: [] for name, *_ in variants}
    wall = {name: [] for name, *_ in variants}
    for _ in range(ROUNDS):
        for name, argv, uid, gid in variants:
            runs = [run_once(argv, uid, gid) for _ in range(RUNS)]
            cpu[name].append(sum(c for c, _ in runs) / RUNS * 1000)
            wall[name].append(sum(w for _, w in runs) / RUNS * 1000)
    base_cpu, base_wall = statistics.median(cpu["exim alone"]), statistics.median(wall["exim alone"])
    print(f"per session, ms (medians of {ROUNDS} rounds of {RUNS}; lowest round in brackets):")
    print(f"  {'':18} {'CPU':>15} {'beside exim':>12} {'wall':>15} {'beside exim':>12}")
    for name, *_ in variants:
        c, w = statistics.median(cpu[name]), statistics.median(wall[name])
        print(f"  {name:18} {c:6.2f} ({min(cpu[name]):6.2f}) {c - base_cpu:+12.2f} "
              f"{w:6.2f} ({min(wall[name]):6.2f}) {w - base_wall:+12.2f}")
    subprocess.run(["rm", "-rf", workdir])


if __name__ == "__main__":
    main()
