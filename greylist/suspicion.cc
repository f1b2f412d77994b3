#include "suspicion.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "compiled_regex.h"

namespace {

constexpr std::size_t longest_line = rule_buffer_size - 1;

// Thresholds of "retryinterval" for 0, 1 and 2 recorded attempts.
constexpr std::uint32_t small_retry_thresholds[3] = {0, 20, 200};

const char* lookup(const SuspicionFacts& facts, const char* name) {
  return facts.lookup_env != nullptr ? facts.lookup_env(name) : std::getenv(name);
}

RuleResult match_hostname(char* rule, const SuspicionFacts& facts) {
  if (facts.hostname == nullptr) {
    log_msg(6, "Unable to get PTR for address '%s'.", facts.addr);
    return RuleResult::internal_error;
  }
  log_msg(7, "Processing spec of kind REGEX.");
  CompiledRegex re;
  if (!re.compile(rule, REG_EXTENDED | REG_ICASE | REG_NOSUB)) {
    log_msg(3, "Unable to compile regular expression \"%s\", skipping.", rule);
    return RuleResult::spec_error;
  }
  if (!re.matches(facts.hostname)) return RuleResult::no_match;
  log_msg(6, "Address '%s' ('%s') matched REGEX spec.", facts.addr, facts.hostname);
  return RuleResult::match;
}

RuleResult match_environment(char* rule, const SuspicionFacts& facts) {
  char* rest = rule;
  while (char* token = next_rule_token(rest)) {
    if (*token == '\0' || lookup(facts, token) == nullptr) continue;
    log_msg(6, "Address '%s' matched ENVVAR spec, variable %s.", facts.addr, token);
    return RuleResult::match;
  }
  return RuleResult::no_match;
}

RuleResult match_envelope_token(const char* token, const SuspicionFacts& facts) {
  if (token[0] == '\0' || token[1] != ':' || token[2] == '\0') {
    log_msg(3, "Unrecognized block in ENVELOPE spec.");
    return RuleResult::spec_error;
  }
  const char* pattern = token + 2;
  CompiledRegex re;
  if (!re.compile(pattern, REG_EXTENDED | REG_NOSUB)) {
    log_msg(3, "Unable to compile sender regex '%s', skipping.", pattern);
    return RuleResult::spec_error;
  }
  const char* field = nullptr;
  const char* subject = nullptr;
  switch (token[0]) {
    case rule_grammar::sender_qualifier:
      field = facts.from;
      subject = "Sender";
      break;
    case rule_grammar::recipient_qualifier:
      field = facts.to;
      subject = "Recipient";
      break;
    case rule_grammar::helo_qualifier:
      field = facts.helo;
      subject = "Helo msg";
      break;
    default:
      log_msg(3, "Unrecognized qualifier '%c' for ENVELOPE spec.", token[0]);
      return RuleResult::spec_error;
  }
  if (!re.matches(field)) return RuleResult::no_match;
  log_msg(6, "%s '%s' matched ENVELOPE spec '%s'.", subject, field, token);
  return RuleResult::match;
}

RuleResult match_envelope(char* rule, const SuspicionFacts& facts) {
  char* rest = rule;
  while (char* token = next_rule_token(rest)) {
    RuleResult result = match_envelope_token(token, facts);
    if (result != RuleResult::no_match) return result;
  }
  return RuleResult::no_match;
}

RuleResult match_behaviour_token(const char* token, const SuspicionFacts& facts) {
  if (token == rule_grammar::greetdelay) {
    if (!facts.greetdelay_watched) {
      log_msg(3,
              "Unable to inspect BEHAVIOUR spec's block greetdelay: GREETDELAY env var not set, greetdelay not "
              "attempted.");
      return RuleResult::no_match;
    }
    if (facts.greetdelay_trapped != 1) return RuleResult::no_match;
    log_msg(6, "Address '%s' matched CLIBEHAVIOUR spec, type 'greetdelay'.", facts.addr);
    return RuleResult::match;
  }
  if (token == rule_grammar::retryinterval) {
    std::uint32_t threshold = retryinterval_threshold(facts.numattempts);
    if (facts.attemptsintrv >= threshold) return RuleResult::no_match;
    log_msg(6, "Address '%s' matched CLIBEHAVIOUR spec, type 'retryinterval' (%u<%u).", facts.addr, facts.attemptsintrv,
            threshold);
    return RuleResult::match;
  }
  if (token == rule_grammar::commanderrors) {
    if (facts.cmderrs == CMDERRS_NONE) return RuleResult::no_match;
    log_msg(7, "Address '%s' matched CLIBEHAVIOUR spec, type 'commanderrors' (%u).", facts.addr, facts.cmderrs);
    return RuleResult::match;
  }
  log_msg(3, "Behaviour spec '%s' not recognized.", token);
  return RuleResult::spec_error;
}

RuleResult match_behaviour(char* rule, const SuspicionFacts& facts) {
  char* rest = rule;
  while (char* token = next_rule_token(rest)) {
    RuleResult result = match_behaviour_token(token, facts);
    if (result != RuleResult::no_match) return result;
  }
  return RuleResult::no_match;
}

// "%u" takes a leading '-' and wraps the number around: such a line is
// refused rather than read as a huge number.
bool number_is_negative(const char* line) { return line[std::strspn(line, " \t\n\v\f\r")] == '-'; }

// Rule numbers stay within a signed int, as ostrel has always kept them.
bool number_fits(const char* line) {
  errno = 0;
  unsigned long long value = std::strtoull(line, nullptr, 10);
  return errno != ERANGE && value <= largest_rule_number;
}

void report_line(const RuleFileReader& reader, const RuleLine& line, const char* path) {
  switch (line.kind) {
    case LineKind::too_long:
      log_msg(2, "Line %u too long (max is %u) in suspicion file '%s', skipping.", reader.line_number(),
              static_cast<unsigned>(rule_buffer_size), path);
      break;
    case LineKind::nul_byte:
      log_msg(3, "Line %u holds a NUL byte in suspicion file '%s', skipping.", reader.line_number(), path);
      break;
    case LineKind::unparsable:
      log_msg(3, "Unable to parse line %u, expected \"number kind rule\", skipping.", reader.line_number());
      break;
    case LineKind::number_negative:
      log_msg(3, "Number in line %u is negative in suspicion file '%s', skipping.", reader.line_number(), path);
      break;
    case LineKind::number_too_large:
      log_msg(3, "Number in line %u exceeds %u in suspicion file '%s', skipping.", reader.line_number(),
              largest_rule_number, path);
      break;
    default:
      break;
  }
}

RuleResult evaluate_line(const RuleFileReader& reader, const RuleLine& line, const SuspicionFacts& facts) {
  log_msg(7, "Read line %u from suspicion file; checking against rule '%s'", reader.line_number(), line.text);
  char rule[rule_buffer_size];
  std::snprintf(rule, sizeof rule, "%s", line.proper);
  RuleResult result = match_rulespec(line.kind_char, rule, facts);
  if (line.negated && (result == RuleResult::match || result == RuleResult::no_match))
    result = result == RuleResult::match ? RuleResult::no_match : RuleResult::match;
  switch (result) {
    case RuleResult::match:
      log_msg(5, "Rule '%c' in line %u matched client '%s', returning %u attempts.", line.kind_char,
              reader.line_number(), facts.addr, line.number);
      break;
    case RuleResult::no_match:
      log_msg(7, "Rule '%c' in line %u did not match.", line.kind_char, reader.line_number());
      break;
    case RuleResult::spec_error:
      log_msg(3, "Error in rule specification in line %u, skipping...", reader.line_number());
      break;
    case RuleResult::internal_error:
      log_msg(3, "Error while processing rule in line %u, skipping...", reader.line_number());
      break;
  }
  return result;
}

}  // namespace

char* next_rule_token(char*& rest) { return strsep(&rest, " ,"); }

std::uint32_t retryinterval_threshold(std::uint32_t numattempts) {
  if (numattempts < 3) return small_retry_thresholds[numattempts];
  return 500u * numattempts - 1000u;
}

RuleResult match_rulespec(char kind, char* rule, const SuspicionFacts& facts) {
  switch (kind) {
    case rule_grammar::hostname_kind:
      return match_hostname(rule, facts);
    case rule_grammar::environment_kind:
      return match_environment(rule, facts);
    case rule_grammar::envelope_kind:
      return match_envelope(rule, facts);
    case rule_grammar::behaviour_kind:
      return match_behaviour(rule, facts);
    default:
      log_msg(3, "spec kind %c is not supported in suspicion file.", kind);
      return RuleResult::spec_error;
  }
}

void RuleFileReader::discard_rest_of_line() {
  int c;
  while ((c = std::getc(file_)) != EOF && c != '\n') {
  }
}

RuleLine RuleFileReader::next() {
  RuleLine result;
  length_ = 0;
  int c = EOF;
  bool newline = false;
  while (length_ < longest_line && (c = std::getc(file_)) != EOF) {
    if (c == '\n') {
      newline = true;
      break;
    }
    line_[length_++] = static_cast<char>(c);
  }
  line_[length_] = '\0';
  if (length_ == 0 && !newline) return result;  // end of file (or a read error)
  ++line_number_;

  // A full buffer is a whole line only when its newline or the end follows.
  bool too_long = false;
  if (!newline && length_ == longest_line) {
    int after = std::getc(file_);
    if (after != EOF) {
      too_long = true;
      if (after != '\n') discard_rest_of_line();
    }
  }
  if (line_[0] == '#') {
    result.kind = LineKind::comment;
    return result;
  }
  if (too_long) {
    result.kind = LineKind::too_long;
    return result;
  }
  if (std::memchr(line_, '\0', length_) != nullptr) {
    result.kind = LineKind::nul_byte;
    return result;
  }
  unsigned number = 0;
  char kind = '\0';
  if (std::sscanf(line_, "%u %c ", &number, &kind) != 2) {
    result.kind = LineKind::unparsable;
    return result;
  }
  if (number_is_negative(line_)) {
    result.kind = LineKind::number_negative;
    return result;
  }
  if (!number_fits(line_)) {
    result.kind = LineKind::number_too_large;
    return result;
  }
  // The rule text is found by position: right after "<number> <kind> ".
  std::size_t start = static_cast<std::size_t>(std::snprintf(nullptr, 0, "%u", number)) + 3;
  const char* text = length_ >= start ? line_ + start : "";
  std::snprintf(rule_copy_, sizeof rule_copy_, "%s", text);
  result.kind = LineKind::rule;
  result.number = number;
  result.kind_char = kind;
  result.text = rule_copy_;
  result.negated = rule_copy_[0] == '!';
  if (result.negated)
    result.proper = std::strlen(rule_copy_) >= 2 ? rule_copy_ + 2 : "";
  else
    result.proper = rule_copy_;
  return result;
}

Threshold evaluate_rule_file(std::FILE* file, const char* path, char* line_buffer, const SuspicionFacts& facts,
                             RuleObserver* observer) {
  RuleFileReader reader(file, line_buffer);
  for (RuleLine line = reader.next(); line.kind != LineKind::end_of_file; line = reader.next()) {
    RuleResult result = RuleResult::no_match;
    if (line.kind == LineKind::rule)
      result = evaluate_line(reader, line, facts);
    else
      report_line(reader, line, path);
    if (observer != nullptr) observer->on_line(reader, line, result);
    if (line.kind == LineKind::rule && result == RuleResult::match) return {Threshold::Source::rule, line.number};
  }
  log_msg(6, "Address '%s' did not match any rule.", facts.addr);
  return {Threshold::Source::no_match, 0};
}
