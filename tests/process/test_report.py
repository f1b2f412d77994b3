"""ostrel's decision line in a real run, and `ostrelctl report` on the log:
tcpserver, ostrel and exim under a clock that libfaketime sets, their
standard error time-stamped by multilog, exim's own log beside it."""

import json
import os
import re
import subprocess

from harness import FAKETIME_LIB, TEMPFAIL_REPLY_RE, WorkdirCase, free_port, preloads, program, program_env, wait_until
from realparts import ChainCase, SmtpClient, base_env, swaks

DECISION_RE = re.compile(r"ostrel: decision=\S+.*")


def report(*args, env=None, stdin=None):
    return subprocess.run([program("ostrelctl"), "report", *args], capture_output=True, text=True, input=stdin,
                          env=program_env({"TZ": "UTC"}, **(env or {})))


@preloads
class ReportOfARealRun(ChainCase):

    def setUp(self):
        super().setUp()
        self.clock = self.path("clock")
        self.log_dir = self.path("log")
        self.set_clock("2026-03-02 10:00:00")
        env = base_env(self.workdir, LOGTHRESHOLD="5", SUSPICION=self.write_file("rules", "0 e s:^postmaster@\n"
                                                                                           "2 e r:^slow@\n"),
                       LD_PRELOAD=FAKETIME_LIB, FAKETIME_TIMESTAMP_FILE=self.clock, FAKETIME_NO_CACHE="1",
                       FAKETIME_DONT_FAKE_MONOTONIC="1", TZ="UTC")
        multilog = subprocess.Popen(["multilog", "t", self.log_dir], stdin=subprocess.PIPE, env=env)
        self.port = free_port()
        server = subprocess.Popen(["tcpserver", "-v", "-R", "-H", "-l", "mx.test.example", "127.0.0.1",
                                   str(self.port), program("ostrel"), *self.exim], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=multilog.stdin, env=env, start_new_session=True)
        multilog.stdin.close()
        self.addCleanup(multilog.wait)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        wait_until(lambda: "tcpserver: status: 0/" in self.log(), "tcpserver's start in the log")

    def set_clock(self, moment):
        with open(self.clock, "w") as f:
            f.write(moment + "\n")

    def log(self):
        path = os.path.join(self.log_dir, "current")
        if not os.path.exists(path):
            return ""
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_ends(self, count):
        """Each connection writes its rows before it ends: only then may the clock move."""
        wait_until(lambda: self.log().count("tcpserver: end ") >= count, f"{count} connections ended", 60)

    def send(self, sender, recipient, local, outcome):
        out = swaks(self.port, sender, recipient, local=local)
        self.assertRegex(out, r"<\*\* 45[12] " if outcome == "refused" else r"<-  250 OK id=", out)

    def test_one_line_per_decision_and_the_report_of_the_log(self):
        self.send("a@example.org", "user@example.net", "127.0.0.2", "refused")
        client = SmtpClient(self.port, "127.0.0.3")  # the null sender
        self.addCleanup(client.close)
        client.reply()
        client.command(b"EHLO client.example\r\n")
        self.assertEqual(client.command(b"MAIL FROM:<>\r\n"), b"250 OK\r\n")
        self.assertRegex(client.command(b"RCPT TO:<user@example.net>\r\n").decode(), TEMPFAIL_REPLY_RE)
        self.send("postmaster@example.org", "user@example.net", "127.0.0.4", "passed")
        self.send("x@Slow.example", "slow@example.net", "127.0.0.5", "refused")
        quitter = SmtpClient(self.port, "127.0.0.6")  # no decision: no line
        self.addCleanup(quitter.close)
        quitter.reply()
        self.assertTrue(quitter.command(b"QUIT\r\n").startswith(b"221 "))
        self.wait_for_ends(5)
        self.set_clock("2026-03-02 10:07:30")
        self.send("a@example.org", "user@example.net", "127.0.0.2", "passed")
        self.send("x@Slow.example", "slow@example.net", "127.0.0.5", "refused")
        self.wait_for_ends(7)
        self.set_clock("2026-03-02 11:02:05")
        self.send("other@example.org", "user@example.net", "127.0.0.2", "passed")
        self.send("x@Slow.example", "slow@example.net", "127.0.0.5", "passed")
        self.wait_for_ends(9)

        envelope = "from=<%s> to=<%s> attempts=%d required=%d age=%d"
        self.assertEqual([m.group(0) for m in DECISION_RE.finditer(self.log())], [
            "ostrel: decision=greylisted client=127.0.0.2 key=127.0.0.2 "
            + envelope % ("a@example.org", "user@example.net", 0, 1, 0),
            "ostrel: decision=greylisted client=127.0.0.3 key=127.0.0.3 "
            + envelope % ("", "user@example.net", 0, 1, 0),
            "ostrel: decision=rule-passed client=127.0.0.4 key=127.0.0.4 "
            + envelope % ("postmaster@example.org", "user@example.net", 0, 0, 0) + " delay=0",
            "ostrel: decision=greylisted client=127.0.0.5 key=127.0.0.5 "
            + envelope % ("x@Slow.example", "slow@example.net", 0, 2, 0),
            "ostrel: decision=promoted client=127.0.0.2 key=127.0.0.2 "
            + envelope % ("a@example.org", "user@example.net", 1, 1, 450) + " delay=450",
            "ostrel: decision=greylisted client=127.0.0.5 key=127.0.0.5 "
            + envelope % ("x@Slow.example", "slow@example.net", 1, 2, 450),
            "ostrel: decision=verified client=127.0.0.2 key=127.0.0.2",
            "ostrel: decision=passed client=127.0.0.5 key=127.0.0.5 "
            + envelope % ("x@Slow.example", "slow@example.net", 2, 2, 3725) + " delay=3725",
        ])
        # The lines that were there before are still there.
        self.assertIn("ostrel: Rule 'e' in line 1 matched client '127.0.0.4', returning 0 attempts.", self.log())

        mixed = self.path("mixed.log")
        with open(mixed, "w") as f, open(os.path.join(self.workdir, "exim", "log", "mainlog")) as exim_log:
            f.write(self.log() + exim_log.read())
        text = report("--by", "hour", mixed)
        self.assertEqual((text.returncode, text.stderr), (0, ""))
        with open(mixed) as f:
            lines = len(f.read().splitlines())
        self.assertEqual(text.stdout, f"""{lines} lines read, 8 decision lines

hour              greylisted  passed  promoted  rule-passed  verified
2026-03-02 10:00           4       0         1            1         0
2026-03-02 11:00           0       1         0            0         1
total                      4       1         1            1         1

delay of mail passed after greylisting (2 passed): median 7m30s, 90th percentile 1h02m05s, longest 1h02m05s
greylisted triples: 3, came back 2, never came back 1 (33.3%)

sender domains delayed most:
sender domain  passed  total delay   longest  greylisted
slow.example        1     1h02m05s  1h02m05s           2
example.org         1        7m30s     7m30s           1

networks delayed most:
network       passed  total delay   longest  greylisted
127.0.0.0/24       2     1h09m35s  1h02m05s           4
""")
        with open(mixed) as f:
            as_json = report("--json", "--top", "1", stdin=f.read())
        self.assertEqual(as_json.returncode, 0)
        self.assertEqual(json.loads(as_json.stdout), {
            "lines": lines, "decision_lines": 8, "damaged_lines": 0, "by": "day",
            "periods": [{"time": "2026-03-02", "greylisted": 4, "passed": 1, "promoted": 1, "rule_passed": 1,
                         "verified": 1}],
            "total": {"greylisted": 4, "passed": 1, "promoted": 1, "rule_passed": 1, "verified": 1},
            "delay": {"passed": 2, "median": 450, "p90": 3725, "longest": 3725},
            "triples": {"greylisted": 3, "came_back": 2, "never_came_back": 1, "never_came_back_share": 0.3333},
            "senders": [{"domain": "slow.example", "passed": 1, "total_delay": 3725, "longest_delay": 3725,
                         "greylisted": 2}],
            "networks": [{"network": "127.0.0.0/24", "passed": 2, "total_delay": 4175, "longest_delay": 3725,
                          "greylisted": 4}]})


class ReportInput(WorkdirCase):

    @preloads
    def test_time_stamps_other_lines_damage_and_unreadable_files(self):
        line = "ostrel: decision=greylisted client=192.0.2.1 key=192.0.2.1 from=<a@b.example> to=<c@d.example>" \
               " attempts=0 required=1 age=0"
        tai = "@%016x%08x " % ((1 << 62) + 10 + 1772445600, 123)  # 2026-03-02 10:00:00 UTC
        stamped = [
            (tai + line, "2026-03-02 10:00"),
            ("2026-03-02T11:30:00+01:00 mx ostrel-smtp[9]: (12) " + line, "2026-03-02 11:00"),
            ("2026-03-02 12:00:00.123456789  " + line, "2026-03-02 12:00"),
            ("Dec 31 23:59:59 mx tcpserver[1]: " + line, "2025-12-31 23:00"),  # a year before "now"
            ("Mar  2 13:00:00 mx tcpserver[1]: " + line, "2026-03-02 13:00"),
            ("Mar 02 13:15:00.123456 mx tcpserver[1]: " + line, "2026-03-02 13:00"),
            ("(77) " + line, None),
            ("Mar 32 13:00:00 " + line, None),
            (line, None),
        ]
        other = ["tcpserver: status: 1/40", "2026-03-02 10:00:00 1rXyZ-000ABC-0a <= a@b.example H=(x) [192.0.2.1]",
                 "ostrel: Client '192.0.2.1' closed connection prematurely.", "\x00\xff binary", "x" * 200000]
        damaged = [line.replace("age=0", "age=01"), line[:60]]
        log = self.write_file("log", "\n".join(other[:3] + [s for s, _ in stamped] + damaged + other[3:]) + "\n")
        os.mkdir(self.path("dir"))
        now = {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": "@2026-03-02 15:00:00"}
        result = report("--json", "--by", "hour", log, self.path("missing"), self.path("dir"), env=now)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.splitlines(), [
            f"ostrelctl: report: cannot read '{self.path('missing')}': No such file or directory",
            f"ostrelctl: report: cannot read '{self.path('dir')}': Is a directory",
            f"ostrelctl: report: 2 decision lines could not be read, the first at {log}:13"])
        out = json.loads(result.stdout)
        self.assertEqual((out["lines"], out["decision_lines"], out["damaged_lines"]), (16, 9, 2))
        expected = {}
        for _, label in stamped:
            expected[label] = expected.get(label, 0) + 1
        self.assertEqual([(p["time"], p["greylisted"]) for p in out["periods"]],
                         sorted((t, n) for t, n in expected.items() if t) + [(None, expected[None])])

        for args, message in [(["--by", "week"], "--by takes hour or day, not 'week'"),
                              (["--top", "x"], "--top takes a number up to 999999, not 'x'")]:
            result = report(*args, log)
            self.assertEqual((result.returncode, result.stdout), (2, ""))
            self.assertEqual(result.stderr.splitlines()[0], "ostrelctl: report: " + message)
