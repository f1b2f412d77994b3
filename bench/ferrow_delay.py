#!/usr/bin/python3
"""The delay that ferrow adds before its child starts, for 1, 5 and 20
unlisted zones answered at once by rbldnsd on 127.0.0.1, beside rblsmtpd
(ucspi-tcp) checking the same zones. Runs itself in a network and mount
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


def median_ms(argv, env):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    isolate()
    with tempfile.TemporaryDirectory() as root:
        server = start_rbldnsd(root)
        try:
            env = {"TCPREMOTEIP": "192.0.2.5", "PATH": "/usr/bin:/bin", "LOGTHRESHOLD": "0"}
            baseline = median_ms(["/bin/true"], env)
            print(f"median delay before the child starts, ms ({RUNS} runs; /bin/true alone: {baseline:.2f} ms)")
            print(f"{'zones':>6}{'ferrow':>10}{'rblsmtpd':>10}")
            for count in [1, 5, 20]:
                zones = [f"z{i}.bench" for i in range(1, count + 1)]
                ferrow = median_ms([os.path.join(BIN, "ferrow"), "/bin/true"], dict(env, DNSBL=" ".join(zones)))
                rbl_args = [arg for zone in zones for arg in ("-r", zone)]
                rblsmtpd = median_ms(["rblsmtpd"] + rbl_args + ["/bin/true"], env)
                print(f"{count:>6}{ferrow - baseline:>10.1f}{rblsmtpd - baseline:>10.1f}")
        finally:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
