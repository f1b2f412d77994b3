#include "suspicion.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "compiled_regex.h"
#include "log.h"

namespace {

// The rule file as a FILE read from memory.
class RuleFile {
 public:
  explicit RuleFile(const std::string& content) : content_(content) {
    file_ = fmemopen(content_.data(), content_.size(), "r");
  }
  ~RuleFile() { std::fclose(file_); }
  std::FILE* get() { return file_; }

 private:
  std::string content_;
  std::FILE* file_;
};

std::vector<LineKind> kinds_of(const std::string& content) {
  RuleFile file(content);
  char line[rule_buffer_size];
  RuleFileReader reader(file.get(), line);
  std::vector<LineKind> kinds;
  for (RuleLine rule = reader.next(); rule.kind != LineKind::end_of_file; rule = reader.next())
    kinds.push_back(rule.kind);
  return kinds;
}

// The matching rule's number, or no_rule.
constexpr long no_rule = -1;
long evaluate(const std::string& content, const SuspicionFacts& facts) {
  RuleFile file(content);
  char line[rule_buffer_size];
  Threshold threshold = evaluate_rule_file(file.get(), "rules", line, facts);
  return threshold.source == Threshold::Source::rule ? long{threshold.number} : no_rule;
}

RuleResult match(char kind, std::string rule, const SuspicionFacts& facts) {
  return match_rulespec(kind, rule.data(), facts);
}

const char* only_blacklisted(const char* name) { return std::string(name) == "BLACKLISTED" ? "" : nullptr; }

}  // namespace

TEST(RuleReader, LineLengthBoundaryAndLongComments) {
  std::string fits = "3 v " + std::string(1018, 'A') + "\n";  // 1022 characters and the newline
  std::string too_long = "3 v " + std::string(1019, 'A') + "\n";
  std::string comment = "#" + std::string(2999, 'c') + "\n";
  EXPECT_EQ(kinds_of(fits + too_long + comment + "1 v X"),
            (std::vector<LineKind>{LineKind::rule, LineKind::too_long, LineKind::comment, LineKind::rule}));
}

TEST(RuleReader, LastLineOfFullLengthWithoutNewlineIsWhole) {
  EXPECT_EQ(kinds_of("3 v " + std::string(1019, 'A')), (std::vector<LineKind>{LineKind::rule}));
}

TEST(RuleReader, LocatesTheRuleTextByPosition) {
  RuleFile file("12 v  FOO\n012 v FOO\n3 v\n5 b!x\n");
  char line[rule_buffer_size];
  RuleFileReader reader(file.get(), line);
  RuleLine rule = reader.next();
  EXPECT_STREQ(rule.text, " FOO");  // a second space starts the rule text
  rule = reader.next();
  EXPECT_EQ(rule.number, 12u);
  EXPECT_STREQ(rule.text, " FOO");  // a leading zero shifts it one character earlier
  rule = reader.next();
  EXPECT_STREQ(rule.text, "");
  rule = reader.next();
  EXPECT_EQ(rule.kind_char, 'b');
  EXPECT_STREQ(rule.text, "x");
}

TEST(RuleReader, NegationDropsTwoCharacters) {
  RuleFile file("2 r ! mail\n2 r !\n");
  char line[rule_buffer_size];
  RuleFileReader reader(file.get(), line);
  RuleLine rule = reader.next();
  EXPECT_TRUE(rule.negated);
  EXPECT_STREQ(rule.proper, "mail");
  rule = reader.next();
  EXPECT_TRUE(rule.negated);
  EXPECT_STREQ(rule.proper, "");
}

TEST(RuleReader, RefusesNulBytesAndNumbersThatDoNotFit) {
  std::string with_nul = std::string("3 v A") + '\0' + "B\n";
  EXPECT_EQ(kinds_of(with_nul + std::string(1, '\0') + "\n2147483647 v X\n2147483648 v X\n-1 v X\n\nabc\n"),
            (std::vector<LineKind>{LineKind::nul_byte, LineKind::nul_byte, LineKind::rule, LineKind::number_too_large,
                                   LineKind::number_negative, LineKind::unparsable, LineKind::unparsable}));
  EXPECT_EQ(kinds_of(" -0 v X\n-4294967297 v X\n"),
            (std::vector<LineKind>{LineKind::number_negative, LineKind::number_negative}));
}

TEST(RuleGrammar, EveryKnownWordIsUnderstoodByTheMatcher) {
  SuspicionFacts facts;
  facts.hostname = "mx.example.org";
  for (std::string_view token : rule_grammar::behaviour_tokens)
    EXPECT_NE(match(rule_grammar::behaviour_kind, std::string(token), facts), RuleResult::spec_error) << token;
  for (char qualifier : rule_grammar::qualifiers)
    EXPECT_NE(match(rule_grammar::envelope_kind, std::string(1, qualifier) + ":x", facts), RuleResult::spec_error);
  EXPECT_NE(match(rule_grammar::hostname_kind, "x", facts), RuleResult::spec_error);
  EXPECT_NE(match(rule_grammar::environment_kind, "x", facts), RuleResult::spec_error);
  for (char kind : {'R', 'V', 'a', 'x'}) {
    EXPECT_FALSE(rule_grammar::is_kind(kind));
    EXPECT_EQ(match(kind, "x", facts), RuleResult::spec_error) << kind;
  }
  EXPECT_FALSE(rule_grammar::is_kind('\0'));
  EXPECT_FALSE(rule_grammar::is_qualifier('x'));
  EXPECT_FALSE(rule_grammar::is_behaviour_token("greetdelay "));
}

TEST(RetryInterval, ThresholdTable) {
  EXPECT_EQ(retryinterval_threshold(0), 0u);
  EXPECT_EQ(retryinterval_threshold(1), 20u);
  EXPECT_EQ(retryinterval_threshold(2), 200u);
  EXPECT_EQ(retryinterval_threshold(3), 500u);
  EXPECT_EQ(retryinterval_threshold(5), 1500u);
}

TEST(MatchRule, EnvironmentTokens) {
  SuspicionFacts facts;
  facts.lookup_env = only_blacklisted;
  EXPECT_EQ(match('v', "BLACKLISTED", facts), RuleResult::match);
  EXPECT_EQ(match('v', " BLACKLISTED", facts), RuleResult::match);
  EXPECT_EQ(match('v', "OTHER,BLACKLISTED", facts), RuleResult::match);
  EXPECT_EQ(match('v', "BLACKLISTED\r", facts), RuleResult::no_match);
  EXPECT_EQ(match('v', "", facts), RuleResult::no_match);
}

TEST(MatchRule, EnvelopeTokens) {
  SuspicionFacts facts;
  facts.from = "postmaster@example.org";
  facts.to = "Abuse@example.org";
  EXPECT_EQ(match('e', "s:^postmaster,r:^abuse", facts), RuleResult::match);
  EXPECT_EQ(match('e', "r:^abuse", facts), RuleResult::no_match);  // case matters
  EXPECT_EQ(match('e', "s:(x,y", facts), RuleResult::spec_error);
  EXPECT_EQ(match('e', "x:foo", facts), RuleResult::spec_error);
  EXPECT_EQ(match('e', "", facts), RuleResult::spec_error);
  EXPECT_EQ(match('e', "r:nomatch,s:", facts), RuleResult::spec_error);  // a faulty token stops the scan
  facts.from = "";
  EXPECT_EQ(match('e', "s:^$", facts), RuleResult::match);
}

TEST(MatchRule, HostNameRegex) {
  SuspicionFacts facts;
  EXPECT_EQ(match('r', "dsl", facts), RuleResult::internal_error);
  facts.hostname = "host-1.DSL.example.net";
  EXPECT_EQ(match('r', "dsl", facts), RuleResult::match);
  EXPECT_EQ(match('r', "^mail", facts), RuleResult::no_match);
  EXPECT_EQ(match('r', "(", facts), RuleResult::spec_error);
}

TEST(MatchRule, BehaviourTokens) {
  SuspicionFacts facts;
  EXPECT_EQ(match('b', "greetdelay", facts), RuleResult::no_match);  // trap not run: neither match nor error
  facts.greetdelay_watched = true;
  facts.greetdelay_trapped = 1;
  EXPECT_EQ(match('b', "greetdelay", facts), RuleResult::match);
  facts.greetdelay_trapped = 0;
  facts.numattempts = 1;
  facts.attemptsintrv = 19;
  EXPECT_EQ(match('b', "retryinterval", facts), RuleResult::match);
  facts.attemptsintrv = 20;
  EXPECT_EQ(match('b', "retryinterval", facts), RuleResult::no_match);
  facts.numattempts = 3;
  facts.attemptsintrv = 499;
  EXPECT_EQ(match('b', "retryinterval", facts), RuleResult::match);
  facts.numattempts = 0;
  facts.attemptsintrv = 0;
  EXPECT_EQ(match('b', "retryinterval", facts), RuleResult::no_match);
  EXPECT_EQ(match('b', "commanderrors", facts), RuleResult::no_match);
  facts.cmderrs = 1;
  EXPECT_EQ(match('b', "commanderrors", facts), RuleResult::match);
  EXPECT_EQ(match('b', "greetdelay, retryinterval", facts), RuleResult::spec_error);
  EXPECT_EQ(match('b', "GreetDelay", facts), RuleResult::spec_error);
  EXPECT_EQ(match('R', "foo", facts), RuleResult::spec_error);
}

TEST(RuleFile, FirstMatchWinsAndFaultyRulesAreSkipped) {
  SuspicionFacts facts;
  facts.lookup_env = only_blacklisted;
  EXPECT_EQ(evaluate("# comment\n\n3 b bogus\n4 v BLACKLISTED\n5 v BLACKLISTED\n", facts), 4);
  EXPECT_EQ(evaluate("5 v ! BLACKLISTED\n", facts), no_rule);
  EXPECT_EQ(evaluate("5 v ! OTHER\n", facts), 5);
  EXPECT_EQ(evaluate("2 r ! mail\n", facts), no_rule);  // no host name: error, not a match
  EXPECT_EQ(evaluate("", facts), no_rule);
  EXPECT_EQ(evaluate("0 v BLACKLISTED", facts), 0);
  EXPECT_EQ(evaluate("4294967295 v BLACKLISTED\n", facts), no_rule);
}

TEST(PatternBound, RefusesPatternsThatExplodeInTheRegexLibrary) {
  EXPECT_TRUE(pattern_is_tame("^(abuse|postmaster)@"));
  EXPECT_TRUE(pattern_is_tame("(dsl|dialup|dyn)[-.0-9]+"));
  EXPECT_TRUE(pattern_is_tame("a{2,4096}"));
  EXPECT_TRUE(pattern_is_tame("[+*]+x\\++"));
  EXPECT_TRUE(pattern_is_tame("[[:alpha:]]+"));
  EXPECT_TRUE(pattern_is_tame("^helo[[:space:]]+([^'[:space:]]+)[[:space:]]*$"));
  EXPECT_FALSE(pattern_is_tame("d+++++++++++++++++++++++++++++sl"));
  EXPECT_FALSE(pattern_is_tame("a*{2}"));
  EXPECT_FALSE(pattern_is_tame("((a{100}){100})"));
  EXPECT_FALSE(pattern_is_tame("a{5000}"));
  SuspicionFacts facts;
  facts.hostname = "dsl.example";
  EXPECT_EQ(match('r', "d++++++++++++++++++++++++++++++++++++++++++++++sl", facts), RuleResult::spec_error);
}
