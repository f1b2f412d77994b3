"""Suspicion rules as ostrel reads them, and `ostrelctl check-rules`."""

import subprocess

from harness import EHLO_REPLY, GREETING, OK, OstrelCase, program



class RulesInOstrel(OstrelCase):
    def decide(self, rules, extra_steps=(), client_lines=(), **env):
        """Runs one connection to its decision with the rule file; returns the log."""
        path = self.write_file(f"rules{len(self.procs)}", rules, mode="wb" if isinstance(rules, bytes) else "w")
        proc = self.ostrel([GREETING, EHLO_REPLY, *extra_steps, OK, "reply 250 Accepted\\r\\n", "silent"],
                           SUSPICION=path, **env)
        proc.recv_line()
        proc.send(b"EHLO client.example\r\n")
        proc.recv_until(b"250 HELP\r\n")
        for line in client_lines:
            proc.send(line)
            proc.recv_line()
        proc.send(b"MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\n")
        proc.shut_write()  # a client let through ends the relay at once
        proc.recv_all()
        proc.wait()
        return proc.stderr()

    def test_first_match_wins_and_later_lines_are_not_read(self):
        err = self.decide("# comment\n4 v BLACKLISTED\n2 r .\n", BLACKLISTED="", TCPREMOTEHOST="h.example")
        self.assertIn("ostrel: Read line 2 from suspicion file; checking against rule 'BLACKLISTED'\n", err)
        self.assertIn("ostrel: Address '192.0.2.7' matched ENVVAR spec, variable BLACKLISTED.\n", err)
        self.assertIn("ostrel: Rule 'v' in line 2 matched client '192.0.2.7', returning 4 attempts.\n", err)
        self.assertIn("ostrel: suspicious host '192.0.2.7' requires 4 re-attempts, 0 have been done.\n", err)
        self.assertNotIn("line 3", err)

    def test_negation_and_errors(self):
        err = self.decide("5 v ! BLACKLISTED\n2 r ! mail\n3 b greetdelay, retryinterval\n3 R foo\n", BLACKLISTED="")
        self.assertIn("ostrel: Rule 'v' in line 1 did not match.\n", err)
        self.assertIn("ostrel: Unable to get PTR for address '192.0.2.7'.\n", err)
        self.assertIn("ostrel: Error while processing rule in line 2, skipping...\n", err)
        self.assertIn("ostrel: Behaviour spec '' not recognized.\n", err)
        self.assertIn("ostrel: Error in rule specification in line 3, skipping...\n", err)
        self.assertIn("ostrel: spec kind R is not supported in suspicion file.\n", err)
        self.assertIn("ostrel: Address '192.0.2.7' did not match any rule.\n", err)
        self.assertIn("ostrel: host '192.0.2.7' requires 1 re-attempts", err)

    def test_host_name_rule_reads_tcpremotehost(self):
        err = self.decide("2 r dsl\n", TCPREMOTEHOST="pool-7.DSL.example.net")
        self.assertIn("ostrel: Processing spec of kind REGEX.\n", err)
        self.assertIn("ostrel: Address '192.0.2.7' ('pool-7.DSL.example.net') matched REGEX spec.\n", err)

    def test_envelope_rules(self):
        err = self.decide("3 e s:(x,y)\n1 e x:foo\n0 e h:^client\\.,s:^s@\n")
        self.assertIn("ostrel: Unable to compile sender regex '(x', skipping.\n", err)
        self.assertIn("ostrel: Unrecognized qualifier 'x' for ENVELOPE spec.\n", err)
        self.assertIn("ostrel: Helo msg 'client.example' matched ENVELOPE spec 'h:^client\\.'.\n", err)
        self.assertIn("returning 0 attempts.\n", err)

    def test_behaviour_commanderrors_and_greetdelay_not_run(self):
        err = self.decide("3 b greetdelay,commanderrors\n", extra_steps=["reply 502 no\\r\\n"],
                          client_lines=[b"VRFY x\r\n"])
        self.assertIn("ostrel: Unable to inspect BEHAVIOUR spec's block greetdelay: GREETDELAY env var not set, "
                      "greetdelay not attempted.\n", err)
        self.assertIn("ostrel: Address '192.0.2.7' matched CLIBEHAVIOUR spec, type 'commanderrors' (2).\n", err)

    def test_retryinterval_uses_the_recorded_row(self):
        self.query("INSERT INTO pending VALUES ('192.0.2.7', 's@example.org', 'r@example.org', "
                   "DATETIME('now', '-5 seconds'), DATETIME('now'), 1)")
        err = self.decide("3 b retryinterval\n")
        self.assertRegex(err, r"type 'retryinterval' \([4-6]<20\)\.\n")
        self.assertIn("ostrel: State: UPDATE-ENTRY\n", err)

    def test_spacing_quirks_and_carriage_return(self):
        err = self.decide("3 v  BLACKLISTED\r\n", BLACKLISTED="")
        self.assertIn("ostrel: Rule 'v' in line 1 did not match.\n", err)  # the token holds the CR
        err = self.decide("3 v  BLACKLISTED\n", BLACKLISTED="")
        self.assertIn("ostrel: Read line 1 from suspicion file; checking against rule ' BLACKLISTED'\n", err)
        self.assertIn("returning 3 attempts", err)

    def test_long_lines_nul_bytes_and_huge_numbers(self):
        rules = ("#" + "c" * 2999 + "\n" + "3 v " + "A" * 1019 + "\n" + "\n" + "2147483648 v X\n").encode() + \
            b"1 v A\x00B\n" + b"7 v " + b"B" * 1018 + b"\n"
        err = self.decide(rules, X="")
        path = self.path("rules0")
        self.assertIn(f"ostrel: Line 2 too long (max is 1024) in suspicion file '{path}', skipping.\n", err)
        self.assertIn("ostrel: Unable to parse line 3, expected \"number kind rule\", skipping.\n", err)
        self.assertIn(f"ostrel: Number in line 4 exceeds 2147483647 in suspicion file '{path}', skipping.\n", err)
        self.assertIn(f"ostrel: Line 5 holds a NUL byte in suspicion file '{path}', skipping.\n", err)
        self.assertIn("ostrel: Rule 'v' in line 6 did not match.\n", err)

    def test_negative_number_has_its_own_line(self):
        err = self.decide("-3 v X\n", X="")
        path = self.path("rules0")
        self.assertIn(f"ostrel: Number in line 1 is negative in suspicion file '{path}', skipping.\n", err)
        self.assertNotIn("exceeds", err)
        self.assertIn("requires 1 re-attempts", err)


class CheckRules(OstrelCase):
    def check(self, rules, *facts):
        path = self.write_file("rules", rules)
        return subprocess.run([program("ostrelctl"), "check-rules", path, *facts], capture_output=True, text=True)

    def test_clean_file(self):
        result = self.check("# flagged by the DNS blacklist flagger\n4 v BLACKLISTED\n0 e s:^postmaster,r:^abuse\n"
                            "3 b greetdelay,commanderrors\n2 r dsl\n2 r ! mail\n")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("line 1: comment\n", result.stdout)
        self.assertIn('line 3: number 0, kind \'e\', rule text "s:^postmaster,r:^abuse", tokens ["s:^postmaster", '
                      '"r:^abuse"]\n', result.stdout)
        self.assertIn('line 6: number 2, kind \'r\', rule text "! mail", negated, pattern "mail"\n', result.stdout)
        self.assertIn("0 faulty lines\n", result.stdout)

    def test_warnings(self):
        result = self.check("3 v  BLACKLISTED\n3 v X\r\n3 b greetdelay, retryinterval\n3 e s:(x,y)\n3 e q:foo\n"
                            "3 b bogus\n3 x foo\n03 v X\n4294967296 v X\n2 r !mail\n\n")
        self.assertEqual(result.returncode, 1)
        out = result.stdout
        for text in ["the rule text begins with a space", "carriage return before the newline", "empty token",
                     'pattern "(x" does not compile', "unknown envelope qualifier 'q'",
                     'unknown behaviour token "bogus"', "unknown kind 'x'", "spacing before the kind letter",
                     "number does not fit", "negation drops the character after '!'",
                     "does not parse as \"number kind rule\"", "11 faulty lines"]:
            self.assertIn(text, out)
        negative = self.check("-2 v X\n")
        self.assertEqual(negative.returncode, 1)
        self.assertIn("line 1: number is negative: skipped\n", negative.stdout)

    def test_evaluation_with_facts(self):
        rules = "4 v BLACKLISTED\n2 r dsl\n0 e s:^postmaster\n"
        result = self.check(rules, "--host", "x.dsl.example", "--from", "postmaster@example.org")
        self.assertIn("  line 1 does not match\n  line 2 matches\nresult: 2 re-attempts required", result.stdout)
        result = self.check(rules, "--env", "BLACKLISTED")
        self.assertIn("result: 4 re-attempts required", result.stdout)
        result = self.check(rules, "--from", "someone@example.org")
        self.assertIn("  line 2 cannot be evaluated for this client (skipped)\n", result.stdout)
        self.assertIn("result: no rule matches", result.stdout)
        result = self.check("3 b greetdelay,retryinterval,commanderrors\n", "--greet-trapped", "0", "--attempts", "3",
                            "--interval", "499")
        self.assertIn("result: 3 re-attempts required", result.stdout)
        result = self.check("3 b commanderrors\n", "--cmderrs", "1", "--verbose")
        self.assertIn("matched CLIBEHAVIOUR spec, type 'commanderrors' (1).", result.stderr)

    def test_usage_errors(self):
        self.assertEqual(self.check("1 v X\n", "--attempts", "many").returncode, 2)
        self.assertEqual(self.check("1 v X\n", "--bogus").returncode, 2)
        self.assertEqual(subprocess.run([program("ostrelctl"), "check-rules"], capture_output=True).returncode, 2)
