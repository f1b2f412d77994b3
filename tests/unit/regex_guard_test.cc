#include "regex_guard.h"

#include <gtest/gtest.h>

#include "compiled_regex.h"

namespace {

TEST(RegexGuard, ReasonablePatternsAreTame) {
  for (const char* pattern :
       {"", "dsl", "^(abuse|postmaster)@", "a{4096}", "(ab){2048}", "x{3,}", "a{1,4096}b*", "(a|b)*c+d?", "\\+\\+\\+",
        "[*+?{]+", "[]*+]+", "[^]*]+", "[[:digit:]*]+", "a{", "a{x}", "a{2,x}", "a\\{2}{3}"})
    EXPECT_TRUE(pattern_is_tame(pattern)) << pattern;
}

TEST(RegexGuard, StackedOrOversizedRepetitionIsRefused) {
  for (const char* pattern : {"a**", "a+?", "a{2}*", "(a)*+", "a{4097}", "a{2,5000}", "(a{65}){65}",
                              "((a{16}){16}){17}", "([a-z]{100}){50}", "x(a|b{4000}){2}"})
    EXPECT_FALSE(pattern_is_tame(pattern)) << pattern;
}

TEST(RegexGuard, GroupsCarryTheirLargestInnerExpansion) {
  EXPECT_TRUE(pattern_is_tame("(a{64}|b){64}"));   // 64 * 64 = 4096
  EXPECT_FALSE(pattern_is_tame("(a{64}|b){65}"));  // one copy more
  EXPECT_TRUE(pattern_is_tame("(a{64})b{64}"));    // side by side, not nested
  EXPECT_TRUE(pattern_is_tame("a)){4096}"));       // stray closing parentheses do not underflow
}

TEST(RegexGuard, UnterminatedBracketIsLeftToRegcomp) {
  EXPECT_TRUE(pattern_is_tame("[a-z{9999}"));
  CompiledRegex re;
  EXPECT_FALSE(re.compile("[a-z{9999}", REG_EXTENDED));
}

TEST(RegexGuard, RegexRefusesWhatTheGuardRefuses) {
  CompiledRegex re;
  EXPECT_FALSE(re.compile("a{2}{3}", REG_EXTENDED));
  EXPECT_TRUE(re.compile("a{2}b{3}", REG_EXTENDED));
  EXPECT_TRUE(re.matches("aabbb"));
}

}  // namespace
