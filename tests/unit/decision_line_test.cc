#include "decision_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using decision_line::Decision;
using decision_line::LineKind;
using decision_line::Outcome;

Decision greylisted(std::string_view client, std::string_view key, std::string_view from, std::string_view to) {
  return decision_line::on_envelope(Outcome::greylisted, client, key, from, to, 0, 1, 0);
}

TEST(DecisionLine, WritesAndReadsBackEveryDecisionWhateverThePrefix) {
  Decision too_early =
      decision_line::on_envelope(Outcome::greylisted, "::1", "::/64", "a@b.example", "c@d.example", 1, 1, 12);
  too_early.wait = 288;
  struct Case {
    Decision decision;
    std::string text;
  };
  const std::vector<Case> cases = {
      {greylisted("192.0.2.10", "192.0.2.10", "a@example.org", "b@example.net"),
       "decision=greylisted client=192.0.2.10 key=192.0.2.10 from=<a@example.org> to=<b@example.net> attempts=0 "
       "required=1 age=0"},
      {decision_line::on_envelope(Outcome::promoted, "192.0.2.10", "192.0.2.0/24", "", "b=x@example.net", 1, 1, 400),
       "decision=promoted client=192.0.2.10 key=192.0.2.0/24 from=<> to=<b=x@example.net> attempts=1 required=1 "
       "age=400 delay=400"},
      {decision_line::on_envelope(Outcome::passed, "h", "h", "s@x", "", 4294967295u, 4294967295u, 4294967295u),
       "decision=passed client=h key=h from=<s@x> to=<> attempts=4294967295 required=4294967295 age=4294967295 "
       "delay=4294967295"},
      {decision_line::on_envelope(Outcome::rule_passed, "a", "a", "x@y", "z@w", 0, 0, 0),
       "decision=rule-passed client=a key=a from=<x@y> to=<z@w> attempts=0 required=0 age=0 delay=0"},
      {too_early,
       "decision=greylisted client=::1 key=::/64 from=<a@b.example> to=<c@d.example> attempts=1 required=1 age=12 "
       "wait=288"},
      {decision_line::on_verified("2001:db8::1", "2001:db8::1"),
       "decision=verified client=2001:db8::1 key=2001:db8::1"},
      // Blanks, quotes, backslashes, control and 8-bit bytes, empty texts.
      {greylisted("a b", "q\"\\k", std::string_view("\x01\xff=\t", 4), "x y"),
       "decision=greylisted client=\"a b\" key=\"q\\\"\\\\k\" from=\"<\\x01\\xff=\\x09>\" to=\"<x y>\" attempts=0 "
       "required=1 age=0"},
      {decision_line::on_verified("", "ostrel: decision=verified"),
       "decision=verified client=\"\" key=\"ostrel: decision=verified\""},
  };
  const std::vector<std::string> prefixes = {
      "ostrel: ", "(4711) ostrel: ", "@4000000065a1b2c30a1b2c3d ostrel: ", "Jan  5 10:00:00 mx tcpserver[12]: ostrel: ",
      "2026-01-05T10:00:00+0100 mx ostrel-smtp[9]: (12) ostrel: "};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[decision_line::text_size];
    ASSERT_EQ(decision_line::format(c.decision, out, sizeof out), c.text.size());
    EXPECT_EQ(std::string(out), c.text);
    EXPECT_EQ(decision_line::format(c.decision, out, c.text.size()), 0u);  // no room for the zero byte
    std::string scratch;
    std::optional<Decision> fields = decision_line::parse_fields(c.text, scratch);
    ASSERT_TRUE(fields);
    EXPECT_EQ(*fields, c.decision);
    for (const std::string& prefix : prefixes) {
      std::string line = prefix + c.text + "\r";
      decision_line::ReadLine read = decision_line::read_log_line(line, scratch);
      ASSERT_EQ(read.kind, LineKind::decision) << line;
      EXPECT_EQ(read.decision, c.decision) << line;
    }
  }
}

TEST(DecisionLine, TellsOtherLinesFromDamagedOnes) {
  const std::string good = "ostrel: decision=verified client=192.0.2.1 key=192.0.2.1";
  const std::string envelope = " from=<a@b> to=<c@d> attempts=1 required=1 age=5";
  const std::vector<std::pair<std::string, LineKind>> cases = {
      {"", LineKind::other},
      {"ostrel: Envelope (helo,from,to): (b,a@b,c@d)", LineKind::other},
      {"xostrel: decision=verified client=a key=a", LineKind::other},
      {"2026-01-05 10:00:00 1rXyZ-000ABC-0a <= a@b H=(x) [192.0.2.1] P=smtp S=300", LineKind::other},
      {"tcpserver: end 4711 status 0", LineKind::other},
      {good + " seen=3 note=\"later field\"", LineKind::decision},  // keys of later versions
      {"ostrel: decision=greylisted client=192.0.2.1 key=192.0.2.1" + envelope, LineKind::decision},
      {"ostrel: decision=greylisted client=192.0.2.1 key=192.0.2.1 from=<a@b> to=<c", LineKind::damaged},
      {"ostrel: decision=greylisted client=192.0.2.1 key=192.0.2.1", LineKind::damaged},  // no envelope
      {good + envelope, LineKind::damaged},                                               // verified with one
      {"ostrel: decision=waved client=a key=a", LineKind::damaged},
      {"ostrel: decision=verified client=a", LineKind::damaged},
      {good + " key=b", LineKind::damaged},
      {good + "  delay=1", LineKind::damaged},
      {good + " delay=01", LineKind::damaged},
      {good + " delay=4294967296", LineKind::damaged},
      {good + " delay=-1", LineKind::damaged},
      {good + " delay=", LineKind::damaged},
      {good + " =1", LineKind::damaged},
      {good + " Delay=1", LineKind::damaged},
      {good + " note=\"abc\"", LineKind::damaged},       // a bare value in quotes
      {good + " note=\"a\\x41 b\"", LineKind::damaged},  // a printable byte as \x
      {good + " note=\"a\\q b\"", LineKind::damaged},
      {good + " note=\"a b", LineKind::damaged},
      {good + " note=\"a b\"x", LineKind::damaged},
      {good + " note=a\"b", LineKind::damaged},
      {"ostrel: decision=greylisted client=a key=a from=<>x to=<> attempts=0 required=0 age=0", LineKind::damaged},
  };
  std::string scratch;
  for (const auto& [line, kind] : cases) EXPECT_EQ(decision_line::read_log_line(line, scratch).kind, kind) << line;
}

}  // namespace
