#!/usr/bin/python3
"""The delay that ferrow adds before its child starts, for 1, 5 and 20
unlisted zones answered at once by rbldnsd on 127.0.0.1, beside rblsmtpd
(ucspi-tcp) checking the same zones, with the target ferrow is held to:
an added delay of at most 1.5 times rblsmtpd's plus 1 ms. The runs of the
two programs and of /bin/true alone are interleaved, so a change in the
machine's load touches all three alike. Runs itself in a network and mount
namespace of its own, so no query leaves the machine.

Usage: bench/ferrow_delay.py [BUILD_BIN_DIR] [RUNS]"""

import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 40


def isolate():
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        os.execvp("unshare", ["unshare", "-m", "-n", sys.executable] + sys.argv)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    resolv = tempfile.NamedTemporaryFile("w", delete=False)
    resolv.write("nameserver 127.0.0.1\n")
    resolv.close()
    subprocess.run(["mount", "--bind", resolv.name, "/etc/resolv.conf"], check=True)


def start_rbldnsd(root):
    os.chmod(root, 0o755)
    with open(os.path.join(root, "empty.txt"), "w") as f:
        f.write("# nothing listed\n")
    zones = [f"z{i}.bench:ip4set:empty.txt" for i in range(1, 21)]
    log = open(os.path.join(root, "rbldnsd.log"), "w")
    server = subprocess.Popen(["rbldnsd", "-n", "-b", "127.0.0.1/53", "-r", root, "-w", "."] + zones,
                              stdout=log, stderr=log)
    deadline = time.monotonic() + 10
    while "started" not in open(log.name).read():
        assert time.monotonic() < deadline, "rbldnsd did not start"
        time.sleep(0.01)
    return server


def run_ms(argv, env):
    start = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def interleaved_medians(commands):
    """The median time of each (argv, env) pair, the pairs run in turn."""
    times = [[] for _ in commands]
    for _ in range(RUNS):
        for column, (argv, env) in zip(times, commands):
            column.append(run_ms(argv, env))
    return [statistics.median(column) for column in times]


def main():
    isolate()
    with tempfile.TemporaryDirectory() as root:
        server = start_rbldnsd(root)
        try:
            env = {"TCPREMOTEIP": "192.0.2.5", "PATH": "/usr/bin:/bin", "LOGTHRESHOLD": "0"}
            print(f"median delay added before the child starts, ms ({RUNS} interleaved runs each)")
            print(f"{'zones':>6}{'ferrow':>10}{'rblsmtpd':>10}{'ratio':>8}{'target':>10}  met")
            for count in [1, 5, 20]:
                zones = [f"z{i}.bench" for i in range(1, count + 1)]
                rbl_args = [arg for zone in zones for arg in ("-r", zone)]
                baseline, ferrow, rblsmtpd = interleaved_medians([
                    (["/bin/true"], env),
                    ([os.path.join(BIN, "ferrow"), "/bin/true"], dict(env, DNSBL=" ".join(zones))),
                    (["rblsmtpd"] + rbl_args + ["/bin/true"], env),
                ])
                ferrow -= baseline
                rblsmtpd -= baseline
                target = 1.5 * rblsmtpd + 1
                ratio = ferrow / rblsmtpd if rblsmtpd > 0 else float("inf")
                print(f"{count:>6}{ferrow:>10.2f}{rblsmtpd:>10.2f}{ratio:>7.2f}x{target:>10.2f}  "
                      f"{'yes' if ferrow <= target else 'NO'}")
        finally:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
