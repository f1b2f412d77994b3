// Suspicion rules: how many re-attempts a client needs, from a file of
// rules on its host name, environment, envelope and behaviour. ostrel and
// `ostrelctl check-rules` share this code, which reads the facts it is given
// (and the environment, for `v` rules, when a rule asks) and writes what
// the rules do to the log channel, the same lines for both programs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// The grammar of a rule file. ostrel's matcher and the checker of
// `ostrelctl check-rules` both read it from here.
namespace rule_grammar {
inline constexpr char hostname_kind = 'r';     // a regular expression on the host name
inline constexpr char environment_kind = 'v';  // variable names
inline constexpr char envelope_kind = 'e';     // qualifier:pattern tokens
inline constexpr char behaviour_kind = 'b';    // behaviour tokens
inline constexpr std::string_view kinds = "berv";

inline constexpr char sender_qualifier = 's';
inline constexpr char recipient_qualifier = 'r';
inline constexpr char helo_qualifier = 'h';
inline constexpr std::string_view qualifiers = "srh";

inline constexpr std::string_view greetdelay = "greetdelay";
inline constexpr std::string_view retryinterval = "retryinterval";
inline constexpr std::string_view commanderrors = "commanderrors";
inline constexpr std::array<std::string_view, 3> behaviour_tokens = {greetdelay, retryinterval, commanderrors};

[[nodiscard]] constexpr bool is_kind(char c) { return c != '\0' && kinds.find(c) != std::string_view::npos; }
[[nodiscard]] constexpr bool is_qualifier(char c) { return c != '\0' && qualifiers.find(c) != std::string_view::npos; }
[[nodiscard]] constexpr bool is_behaviour_token(std::string_view token) {
  for (std::string_view known : behaviour_tokens)
    if (token == known) return true;
  return false;
}
}  // namespace rule_grammar

// What evaluating one rule gave.
enum class RuleResult {
  match,
  no_match,
  spec_error,      // the rule is malformed
  internal_error,  // it cannot be evaluated for this client (no host name)
};

// What the rule file says of a client: the number of re-attempts of the
// first rule that matched, or why there is none.
struct Threshold {
  enum class Source { disabled, unreadable, no_match, rule };
  Source source = Source::no_match;
  unsigned number = 0;  // the rule's number when source is rule
};

// The class of the latest error reply of the server in the dialogue.
enum : std::uint32_t { CMDERRS_NONE = 0, CMDERRS_TEMPORARY = 1, CMDERRS_PERMANENT = 2 };

// What the rules may know of a client.
struct SuspicionFacts {
  const char* addr = "";
  const char* hostname = nullptr;  // none when the client has no host name
  std::uint32_t greetdelay_trapped = 0;
  bool greetdelay_watched = false;  // the greeting delay trap ran
  std::uint32_t numattempts = 0;
  std::uint32_t attemptsintrv = 0;
  std::uint32_t cmderrs = CMDERRS_NONE;
  const char* helo = "";
  const char* from = "";
  const char* to = "";
  const char* (*lookup_env)(const char* name) = nullptr;  // getenv when null
};

inline constexpr std::size_t rule_buffer_size = 1024;
inline constexpr std::uint32_t largest_rule_number = 2147483647;

// How ostrel reads one line of the file.
enum class LineKind { end_of_file, comment, too_long, nul_byte, unparsable, number_negative, number_too_large, rule };

struct RuleLine {
  LineKind kind = LineKind::end_of_file;
  unsigned number = 0;
  char kind_char = '\0';
  const char* text = "";  // the rule text as located, negation prefix included
  bool negated = false;
  const char* proper = "";  // the rule proper, after the negation prefix
};

// Reads the lines of one suspicion file into a caller's 1024-byte buffer.
class RuleFileReader {
 public:
  RuleFileReader(std::FILE* file, char* line_buffer) : file_(file), line_(line_buffer) {}

  // Reads and classifies the next line; kind end_of_file when none is left.
  // The line (newline removed) stays in the buffer until the next call.
  RuleLine next();
  [[nodiscard]] unsigned line_number() const { return line_number_; }
  [[nodiscard]] const char* line() const { return line_; }
  [[nodiscard]] std::size_t length() const { return length_; }

 private:
  void discard_rest_of_line();

  std::FILE* file_;
  char* line_;
  std::size_t length_ = 0;
  unsigned line_number_ = 0;
  char rule_copy_[rule_buffer_size] = {};
};

// Told about every line as the file is evaluated (the checker listens).
class RuleObserver {
 public:
  virtual ~RuleObserver() = default;
  virtual void on_line(const RuleFileReader& reader, const RuleLine& line, RuleResult result) = 0;
};

// Takes the next token off rest, splitting at every single space or comma
// (so adjacent separators give empty tokens); null when none is left.
char* next_rule_token(char*& rest);

// Seconds since the first attempt below which a retry counts as too fast.
[[nodiscard]] std::uint32_t retryinterval_threshold(std::uint32_t numattempts);

// Evaluates one rule proper (split in place for kinds b, e and v).
[[nodiscard]] RuleResult match_rulespec(char kind, char* rule, const SuspicionFacts& facts);

// Evaluates the open file from the top: the first matching rule's number,
// or no_match.
[[nodiscard]] Threshold evaluate_rule_file(std::FILE* file, const char* path, char* line_buffer,
                                           const SuspicionFacts& facts, RuleObserver* observer = nullptr);
