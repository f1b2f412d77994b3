// Suspicion rules: how many re-attempts a client needs, from a file of
// rules on its host name, environment, envelope and behaviour. ostrel and
// `ostrelctl check-rules` share this code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

enum RulespecResult : int {
  RULESPEC_INTERNALERROR = -2,  // cannot be evaluated for this client
  RULESPEC_SPECERROR = -1,      // the rule is malformed
  RULESPEC_NOMATCH = 0,
  RULESPEC_MATCH = 1,
};

// Results of host_delivattempts_threshold besides a rule's number.
enum : int { SUSPICION_DISABLED = -1, SUSPICION_UNREADABLE = -3, SUSPICION_NO_MATCH = -4 };

// What the rules may know of a client.
struct SuspicionFacts {
  const char* addr = "";
  const char* hostname = nullptr;  // none when the client has no host name
  std::uint32_t greetdelay_trapped = 0;
  bool greetdelay_watched = false;  // the greeting delay trap ran
  std::uint32_t numattempts = 0;
  std::uint32_t attemptsintrv = 0;
  std::uint32_t cmderrs = 0;
  const char* helo = "";
  const char* from = "";
  const char* to = "";
  const char* (*lookup_env)(const char* name) = nullptr;  // getenv when null
};

inline constexpr std::size_t rule_buffer_size = 1024;
inline constexpr std::uint32_t largest_rule_number = 2147483647;

// How ostrel reads one line of the file.
enum class LineKind { end_of_file, comment, too_long, nul_byte, unparsable, number_too_large, rule };

struct RuleLine {
  LineKind kind = LineKind::end_of_file;
  unsigned number = 0;
  char kind_char = '\0';
  const char* text = "";    // the rule text as located, negation prefix included
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
  virtual void on_line(const RuleFileReader& reader, const RuleLine& line, int result) = 0;
};

// Takes the next token off rest, splitting at every single space or comma
// (so adjacent separators give empty tokens); null when none is left.
char* next_rule_token(char*& rest);

// Seconds since the first attempt below which a retry counts as too fast.
[[nodiscard]] std::uint32_t retryinterval_threshold(std::uint32_t numattempts);

// Evaluates one rule proper (split in place for kinds b, e and v).
[[nodiscard]] int match_rulespec(char kind, char* rule, const SuspicionFacts& facts);

// Evaluates the open file from the top; the first matching rule's number,
// or SUSPICION_NO_MATCH.
[[nodiscard]] int evaluate_rule_file(std::FILE* file, const char* path, char* line_buffer,
                                     const SuspicionFacts& facts, RuleObserver* observer = nullptr);

// ostrel's entry: reads SUSPICION and TCPREMOTEHOST and the process's
// records; fills client_metainfo.hostname.
[[nodiscard]] int host_delivattempts_threshold();
