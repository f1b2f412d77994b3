#!/usr/bin/python3
"""Connection load through the chain on 127.0.0.1, with one client load for
every road: connections per second and the median (and slowest) time from
connect to the reply to RCPT TO, at 1 and 32 concurrent clients.

  direct        tcpserver -> exim4 -bs
  verified      tcpserver -> ostrel -> exim4 -bs, the client a verified server
  verified-dyn  the same with a dynamically linked ostrel (build-dynamic/)
  fresh-exim    tcpserver -> ostrel -> exim4 -bs, every triple new (greylisted)
  fresh-script  tcpserver -> ostrel -> minimal scripted server, every triple new
  fresh-static  the same with a fully static ostrel (build-static/)
  postfix       Postfix's smtpd with postgrey as its policy service, every triple
                new (greylisted): the whole session an admin would run instead
  postgrey      postgrey's bare policy decisions on 127.0.0.1, one connection each

tcpserver runs with -b 256: its default backlog of 20 drops connection
attempts under 32 clients, and their retries after 1 s would be measured
instead of the chain. The scripted server answers EHLO with eight lines like
exim's, so multi-line replies take the same path as in front of a real server.
Every road is measured in the same run, the roads taking turns in four
rounds, and the targets are printed as ratios of figures of this run.

Also: busy-handler waits and the slowest connection of a 32-way fresh load
(LOGTHRESHOLD=7), on this machine's disk and on a disk whose syncs take 50 ms
(the tests' preloaded slow_sync helper), and the peak RSS of one greylisting
ostrel process.

Usage: bench/load.py [CONNECTIONS_PER_RUN]   (run from the top directory, as root)"""

import concurrent.futures
import os
import re
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "process"))
from harness import free_port  # noqa: E402
from realparts import TcpServer, exim_command, wait_for_text  # noqa: E402
from postfix_anchor import PostfixSmtpd  # noqa: E402

BIN = os.environ.get("OSTREL_BIN_DIR", os.path.join(TOP, "build", "bin"))
DYN_BIN = os.path.join(TOP, "build-dynamic", "bin")
STATIC_BIN = os.path.join(TOP, "build-static", "bin")
CONNECTIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 320
ROUNDS = 4
BACKLOG = 256
EHLO_REPLY = ("250-mx.bench.example Hello bench.example [127.0.0.1]\\r\\n250-SIZE 52428800\\r\\n250-8BITMIME\\r\\n"
              "250-PIPELINING\\r\\n250-CHUNKING\\r\\n250-PRDR\\r\\n250-SMTPUTF8\\r\\n250 HELP\\r\\n")


class BenchTcpServer(TcpServer):
    """The tests' tcpserver with a listen backlog that does not drop
    connection attempts under load."""

    def __init__(self, workdir, argv, env, concurrency):  # pylint: disable=super-init-not-called
        self.port = free_port()
        self.log_path = os.path.join(workdir, f"tcpserver-{self.port}.log")
        self.log = open(self.log_path, "wb")
        self.p = subprocess.Popen(["tcpserver", "-v", "-R", "-H", "-b", str(BACKLOG), "-c", str(concurrency),
                                   "-l", "mx.test.example", "127.0.0.1", str(self.port)] + argv,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log, env=env,
                                  start_new_session=True)
        wait_for_text(self.log_path, "tcpserver: status: 0/")


def read_reply(sock, buf):
    """Reads one whole reply (its last line has a blank after the code)."""
    while True:
        while b"\n" not in buf[0]:
            chunk = sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed")
            buf[0] += chunk
        line, buf[0] = buf[0].split(b"\n", 1)
        if len(line) < 4 or line[3:4] != b"-":
            return line


def smtp_session(port, local, sender, recipient):
    start = time.perf_counter()
    with socket.socket() as sock:
        sock.bind((local, 0))
        sock.connect(("127.0.0.1", port))
        buf = [b""]
        read_reply(sock, buf)
        sock.sendall(b"EHLO bench.example\r\n")
        read_reply(sock, buf)
        sock.sendall(f"MAIL FROM:<{sender}>\r\n".encode())
        read_reply(sock, buf)
        sock.sendall(f"RCPT TO:<{recipient}>\r\n".encode())
        reply = read_reply(sock, buf)
        elapsed = time.perf_counter() - start
        if reply.startswith(b"250"):
            sock.sendall(b"QUIT\r\n")
            read_reply(sock, buf)
    return elapsed, reply[:3].decode(), time.perf_counter() - start


def policy_session(port, local, sender, recipient):
    start = time.perf_counter()
    with socket.socket() as sock:
        sock.connect(("127.0.0.1", port))
        sock.sendall((f"request=smtpd_access_policy\nprotocol_state=RCPT\nclient_address={local}\n"
                      f"client_name=unknown\nsender={sender}\nrecipient={recipient}\n\n").encode())
        data = b""
        while not data.endswith(b"\n\n"):
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    elapsed = time.perf_counter() - start
    return elapsed, data.split(b"\n")[0].decode()[:22], elapsed


def run_load(session, port, concurrency, fresh, tag="s", first=0, count=None):
    """Sessions number first .. first+count-1 (all CONNECTIONS by default)
    from `concurrency` clients; with `fresh`, every one from its own address.
    `tag` keeps the senders of roads that share a database (postgrey's)
    apart. Returns the results of the sessions and the wall time."""
    counter = iter(range(first, first + (CONNECTIONS if count is None else count)))

    def client(worker):
        results = []
        for n in counter:
            local = f"127.{10 + n // 65000}.{(n // 250) % 250}.{n % 250 + 1}" if fresh else "127.0.0.1"
            results.append(session(port, local, f"{tag}{n}@example.org", f"r{worker}@example.net"))
        return results

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(concurrency) as pool:
        results = [r for batch in pool.map(client, range(concurrency)) for r in batch]
    return results, time.perf_counter() - start


def summarize(parts):
    """Figures of one road from the (results, wall time) of its rounds."""
    results = [r for batch, _ in parts for r in batch]
    times = sorted(t for t, _, _ in results)
    return {"cps": len(results) / sum(wall for _, wall in parts), "median": statistics.median(times) * 1000,
            "max": times[-1] * 1000, "whole": statistics.mean(whole for _, _, whole in results) * 1000,
            "replies": sorted(set(code for _, code, _ in results))}


def chain_env(workdir, threshold="3", db="g", **extra):
    return {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "GREYLIST": "", "DBFILE": os.path.join(workdir, f"{db}.db"),
            "LOGTHRESHOLD": threshold, **extra}


def fresh_db(workdir, verified=(), db="g"):
    path = os.path.join(workdir, f"{db}.db")
    for suffix in ["", "-wal", "-shm"]:
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    subprocess.run([os.path.join(BIN, "ostrelctl"), "init-db", path], check=True, capture_output=True)
    with sqlite3.connect(path) as conn:
        conn.executemany("INSERT INTO verified VALUES (?, DATETIME('now'))", [(ip,) for ip in verified])


def measure_chain(workdir, argv, concurrency, fresh, threshold="3", **extra_env):
    server = BenchTcpServer(workdir, argv, chain_env(workdir, threshold, **extra_env), concurrency=200)
    try:
        result = summarize([run_load(smtp_session, server.port, concurrency, fresh)])
        server.wait_for_ends(CONNECTIONS)
        statuses = server.statuses()
        result["status100"] = statuses.count(100)
        result["log"] = server.stderr()
    finally:
        server.close()
    return result


def start_postgrey(workdir):
    dbdir = os.path.join(workdir, "postgrey")
    os.makedirs(dbdir)
    shutil.chown(dbdir, "postgrey", "postgrey")
    port = free_port()
    proc = subprocess.Popen(["postgrey", f"--inet=127.0.0.1:{port}", f"--dbdir={dbdir}", "--delay=300",
                             f"--pidfile={workdir}/postgrey.pid"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                break
        assert time.monotonic() < deadline, "postgrey did not start"
        time.sleep(0.05)
    return proc, port


def peak_rss_kib(workdir, script):
    """Measured by GNU time, whose own small image is what the fork copies
    (a child forked from this Python process would start at Python's size)."""
    fresh_db(workdir)
    env = dict(chain_env(workdir), TCPREMOTEIP="192.0.2.1")
    result = subprocess.run(["/usr/bin/time", "-f", "maxrss %M", os.path.join(BIN, "ostrel"),
                             os.path.join(BIN, "scripted_smtpd"), script],
                            input=b"EHLO b.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n",
                            capture_output=True, env=env)
    return int(re.search(r"maxrss (\d+)", result.stderr.decode()).group(1))


def measure_interleaved(workdir, chains, postfix_port, policy_port, concurrency):
    """Every road at one concurrency, in ROUNDS rounds that take turns, so
    that a change in the machine's load falls on every road alike. Each
    chain has its own tcpserver and database for the whole run."""
    servers = {}
    parts = {}
    try:
        for name, argv, fresh in chains:
            fresh_db(workdir, verified=[] if fresh else ["127.0.0.1"], db=name)
            servers[name] = BenchTcpServer(workdir, argv, chain_env(workdir, db=name), concurrency=200)
        chunk = CONNECTIONS // ROUNDS
        for r in range(ROUNDS):
            first = r * chunk
            for name, _, fresh in chains:
                parts.setdefault(name, []).append(
                    run_load(smtp_session, servers[name].port, concurrency, fresh, first=first, count=chunk))
            parts.setdefault("postfix", []).append(
                run_load(smtp_session, postfix_port, concurrency, True, tag=f"pf{concurrency}-", first=first,
                         count=chunk))
            parts.setdefault("postgrey", []).append(
                run_load(policy_session, policy_port, concurrency, True, tag=f"pg{concurrency}-", first=first,
                         count=chunk))
        rows = {}
        for name, road_parts in parts.items():
            rows[name, concurrency] = summarize(road_parts)
            if name in servers:
                servers[name].wait_for_ends(chunk * ROUNDS)
                rows[name, concurrency]["status100"] = servers[name].statuses().count(100)
    finally:
        for server in servers.values():
            server.close()
    return rows


def ratio_line(name, value, anchor, limit, higher_is_better):
    ratio = value / anchor
    met = ratio >= limit if higher_is_better else ratio <= limit
    sign = ">=" if higher_is_better else "<="
    return f"{name:<80}{ratio:>6.2f}x  (target {sign} {limit}: {'met' if met else 'NOT met'})"


def main():
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-")
    os.chmod(workdir, 0o755)
    exim = exim_command(workdir)
    script = os.path.join(workdir, "script")
    with open(script, "w") as f:
        f.write(f"greet 220 mx.bench.example ESMTP\\r\\n\nreply {EHLO_REPLY}\nreply 250 OK\\r\\n\n"
                "reply 250 Accepted\\r\\n\nreply 221 bye\\r\\n\n")
    ostrel = os.path.join(BIN, "ostrel")
    scripted = [ostrel, os.path.join(BIN, "scripted_smtpd"), script]
    chains = [("direct", exim, False), ("verified", [ostrel] + exim, False)]
    if os.path.exists(os.path.join(DYN_BIN, "ostrel")):
        chains.append(("verified-dyn", [os.path.join(DYN_BIN, "ostrel")] + exim, False))
    chains += [("fresh-exim", [ostrel] + exim, True), ("fresh-script", scripted, True)]
    if os.path.exists(os.path.join(STATIC_BIN, "ostrel")):
        chains.append(("fresh-static", [os.path.join(STATIC_BIN, "ostrel")] + scripted[1:], True))
    postgrey, policy_port = start_postgrey(workdir)
    rows = {}
    try:
        postfix = PostfixSmtpd(workdir, policy_port, free_port())
        try:
            for concurrency in [1, 32]:
                rows.update(measure_interleaved(workdir, chains, postfix.port, policy_port, concurrency))
        finally:
            postfix.close()
    finally:
        postgrey.terminate()
        postgrey.wait()

    print(f"{CONNECTIONS} connections per run, tcpserver -b {BACKLOG}")
    print("median and max: connect to the reply to RCPT TO; ms/conn: mean time of a whole connection")
    print(f"{'road':<14}{'clients':>8}{'conn/s':>9}{'median ms':>11}{'max ms':>9}{'ms/conn':>9}{'status 100':>11}"
          "  replies")
    for (road, concurrency), r in sorted(rows.items(), key=lambda item: item[0][1]):
        print(f"{road:<14}{concurrency:>8}{r['cps']:>9.1f}{r['median']:>11.2f}{r['max']:>9.1f}{r['whole']:>9.1f}"
              f"{r.get('status100', '-'):>11}  {','.join(r['replies'])}")

    slow_disk = {"LD_PRELOAD": os.path.join(BIN, "libslow_sync.so"), "SLOW_SYNC_PREFIX": os.path.join(workdir, "g.db"),
                 "SLOW_SYNC_MS": "50"}
    for disk, extra_env in [("this disk", {}), ("50 ms syncs", slow_disk)]:
        fresh_db(workdir)
        counted = measure_chain(workdir, scripted, 32, True, threshold="7", **extra_env)
        counts = [int(c) for c in re.findall(r"Ouch! Database locked \((\d+)th time\)", counted["log"])]
        print(f"32-way fresh load at LOGTHRESHOLD=7, {disk}: {len(counts)} busy-handler waits "
              f"(deepest count {max(counts, default='-')}), slowest connection {counted['max']:.1f} ms, "
              f"{counted['status100']} endings with status 100")
    rss = peak_rss_kib(workdir, script)
    print(f"peak RSS of a greylisting ostrel process: {rss} KiB")

    print("targets (ratios of this run):")
    print(ratio_line("greylisted in front of exim, connect->4xx / direct connect->RCPT, 1 client",
                     rows["fresh-exim", 1]["median"], rows["direct", 1]["median"], 1.5, False))
    for concurrency, limit in [(32, 0.8), (1, 0.5)]:
        for road in ["fresh-script", "fresh-static"]:
            if (road, concurrency) in rows:
                print(ratio_line(f"{road} sessions/s / Postfix+postgrey whole sessions, {concurrency} client(s)",
                                 rows[road, concurrency]["cps"], rows["postfix", concurrency]["cps"], limit, True))
    print(ratio_line("ostrel peak RSS / 4 MiB", rss, 4096, 1.0, False))
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
