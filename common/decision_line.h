// The one log line of a greylisting decision: what ostrel writes at level 5
// for every connection that reaches a decision, and what `ostrelctl report`
// reads back. Writer and reader live here together so that they cannot
// drift apart.
//
// The line, after the log channel's prefix ("ostrel: ", "(PID) ostrel: "):
//
//   decision=greylisted client=192.0.2.10 key=192.0.2.10 from=<a@example.org> to=<b@example.net>
//     attempts=0 required=1 age=0
//   decision=promoted client=... key=... from=<...> to=<...> attempts=1 required=1 age=400 delay=400
//   decision=verified client=192.0.2.10 key=192.0.2.10
//
// Fields are KEY=VALUE, separated by one blank, in the order above. A value
// is written bare when it is not empty and every byte of it is printable
// ASCII other than the blank, '"' and '\'; otherwise it is written between
// double quotes, '"' and '\' as \" and \\, and every byte outside printable
// ASCII as \xHH (two lower-case hex digits). The addresses are written in
// angle brackets, so the null sender is from=<>. Numbers are decimal,
// unsigned 32-bit, without leading zeros. A reader ignores keys it does not
// know, so fields added later leave older readers working.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace decision_line {

enum class Outcome {
  greylisted,   // answered with a temporary failure (the attempt recorded)
  passed,       // a client that a rule made suspicious passed after the attempts it required
  promoted,     // an ordinary client passed and became a verified server
  rule_passed,  // a rule requiring no attempt let the client through at once
  verified,     // a verified server: straight to the SMTP server, no dialogue watched
};

// The word the line uses: "greylisted", "passed", "promoted", "rule-passed", "verified".
[[nodiscard]] std::string_view outcome_word(Outcome outcome);
[[nodiscard]] std::optional<Outcome> outcome_from_word(std::string_view word);
// Whether the client was let through on its envelope (passed, promoted, rule-passed).
[[nodiscard]] bool is_pass(Outcome outcome);

// The texts are views: the caller's when writing, the line's or the
// parser's scratch when read back.
struct Decision {
  Outcome outcome = Outcome::greylisted;
  std::string_view client;  // TCPREMOTEIP
  std::string_view key;     // what the store keys the client on: its address or network
  // The envelope and the pending row of its triple; absent on the verified
  // road, where no dialogue is watched.
  bool with_envelope = false;
  std::string_view sender;             // "" for the null sender
  std::string_view recipient;          // "" when the accepted recipient had no address ostrel could read
  std::uint32_t attempts = 0;          // attempts recorded before this one
  std::uint32_t required = 0;          // attempts the triple needs before it passes
  std::uint32_t age = 0;               // seconds since the triple's first recorded attempt (0 without one)
  std::optional<std::uint32_t> delay;  // on a pass: how long the sender was held back
  std::optional<std::uint32_t> wait;   // on a refusal for a too early retry: seconds still to wait

  bool operator==(const Decision&) const = default;
};

// The decision on an envelope; a pass gets its delay, the triple's age.
[[nodiscard]] Decision on_envelope(Outcome outcome, std::string_view client, std::string_view key,
                                   std::string_view sender, std::string_view recipient, std::uint32_t attempts,
                                   std::uint32_t required, std::uint32_t age);
// The verified road's decision.
[[nodiscard]] Decision on_verified(std::string_view client, std::string_view key);

// Room for any line whose client and key are at most 1023 bytes each and
// whose addresses at most 511 each, however they must be quoted.
inline constexpr std::size_t text_size = 16384;

// Writes the fields (no prefix, no newline) and a zero byte into out;
// returns their length, or 0 when they do not fit in size bytes.
[[nodiscard]] std::size_t format(const Decision& decision, char* out, std::size_t size);

// Logs the decision at level 5 through the log channel, in one write. Costs
// nothing when the threshold is below 5.
void log_decision(const Decision& decision);

enum class LineKind {
  other,     // not a decision line: another program's, or another of ostrel's
  decision,  // read whole
  damaged,   // a decision line whose fields do not read (cut, altered)
};

struct ReadLine {
  LineKind kind = LineKind::other;
  Decision decision;  // when kind is decision
};

// Reads one log line (without its newline): the fields after "ostrel: ",
// whatever comes before that (a time stamp, a host and program name, a
// process id). Unquoted values are views into line; quoted ones into
// scratch, which the call empties first: both must outlive the decision.
[[nodiscard]] ReadLine read_log_line(std::string_view line, std::string& scratch);

// Reads the fields alone, as format() writes them.
[[nodiscard]] std::optional<Decision> parse_fields(std::string_view fields, std::string& scratch);

}  // namespace decision_line
