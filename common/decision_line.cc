#include "decision_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <initializer_list>

#include "log.h"

namespace decision_line {

namespace {

constexpr std::array<std::string_view, 5> outcome_words = {"greylisted", "passed", "promoted", "rule-passed",
                                                           "verified"};

// ostrel's prefix in the log channel, and the first field of the line.
constexpr std::string_view program_prefix = "ostrel: ";
constexpr std::string_view marker = "ostrel: decision=";

constexpr char hex_digits[] = "0123456789abcdef";

bool is_bare_byte(unsigned char c) { return c > ' ' && c < 0x7f && c != '"' && c != '\\'; }
bool is_quoted_byte(unsigned char c) { return c >= ' ' && c < 0x7f && c != '"' && c != '\\'; }

bool needs_quotes(std::initializer_list<std::string_view> pieces) {
  bool empty = true;
  for (std::string_view piece : pieces) {
    for (char c : piece)
      if (!is_bare_byte(static_cast<unsigned char>(c))) return true;
    empty = empty && piece.empty();
  }
  return empty;
}

// Appends to a fixed buffer, remembering whether everything fitted; one
// byte stays free for the zero byte.
class Writer {
 public:
  Writer(char* out, std::size_t size) : out_(out), size_(size) {}

  void text(std::string_view s) {
    if (!fits_ || s.size() >= size_ - len_) {
      fits_ = false;
      return;
    }
    std::memcpy(out_ + len_, s.data(), s.size());
    len_ += s.size();
  }

  // One value made of pieces, quoted when it must be.
  void field(std::string_view key, std::initializer_list<std::string_view> pieces) {
    start_field(key);
    if (!needs_quotes(pieces)) {
      for (std::string_view piece : pieces) text(piece);
      return;
    }
    text("\"");
    for (std::string_view piece : pieces)
      for (char c : piece) escaped(static_cast<unsigned char>(c));
    text("\"");
  }

  void number(std::string_view key, std::uint32_t value) {
    start_field(key);
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    text(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
  }

  std::size_t finish() {
    if (!fits_ || size_ == 0) return 0;
    out_[len_] = '\0';
    return len_;
  }

 private:
  void start_field(std::string_view key) {
    if (len_ != 0) text(" ");
    text(key);
    text("=");
  }

  void escaped(unsigned char c) {
    if (is_quoted_byte(c)) {
      char one = static_cast<char>(c);
      text(std::string_view(&one, 1));
    } else if (c == '"' || c == '\\') {
      char pair[2] = {'\\', static_cast<char>(c)};
      text(std::string_view(pair, 2));
    } else {
      char code[4] = {'\\', 'x', hex_digits[c >> 4], hex_digits[c & 0xf]};
      text(std::string_view(code, 4));
    }
  }

  char* out_;
  std::size_t size_;
  std::size_t len_ = 0;
  bool fits_ = true;
};

int hex_value(char c) {
  const char* found = std::strchr(hex_digits, c);
  return c != '\0' && found != nullptr ? static_cast<int>(found - hex_digits) : -1;
}

// A quoted value from text[i] (the opening quote) on, decoded into scratch,
// which has room for it. i ends after the closing quote.
std::optional<std::string_view> read_quoted(std::string_view text, std::size_t& i, std::string& scratch) {
  std::size_t start = scratch.size();
  for (++i; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      ++i;
      std::string_view value(scratch.data() + start, scratch.size() - start);
      if (!needs_quotes({value})) return std::nullopt;  // a bare value written in quotes
      return value;
    }
    if (is_quoted_byte(c)) {
      scratch.push_back(static_cast<char>(c));
      continue;
    }
    if (c != '\\' || ++i == text.size()) return std::nullopt;
    if (text[i] == '"' || text[i] == '\\') {
      scratch.push_back(text[i]);
      continue;
    }
    if (text[i] != 'x' || text.size() - i < 3) return std::nullopt;
    int high = hex_value(text[i + 1]);
    int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    unsigned char byte = static_cast<unsigned char>(high << 4 | low);
    if (is_quoted_byte(byte) || byte == '"' || byte == '\\') return std::nullopt;  // written as itself
    scratch.push_back(static_cast<char>(byte));
    i += 2;
  }
  return std::nullopt;  // no closing quote
}

std::optional<std::uint32_t> read_number(std::string_view value) {
  if (value.empty() || (value.size() > 1 && value[0] == '0')) return std::nullopt;
  std::uint32_t number = 0;
  auto result = std::from_chars(value.data(), value.data() + value.size(), number);
  if (result.ec != std::errc() || result.ptr != value.data() + value.size()) return std::nullopt;
  return number;
}

std::optional<std::string_view> read_address(std::string_view value) {
  if (value.size() < 2 || value.front() != '<' || value.back() != '>') return std::nullopt;
  return value.substr(1, value.size() - 2);
}

bool is_key_byte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

enum Field : unsigned {
  f_decision = 1u << 0,
  f_client = 1u << 1,
  f_key = 1u << 2,
  f_from = 1u << 3,
  f_to = 1u << 4,
  f_attempts = 1u << 5,
  f_required = 1u << 6,
  f_age = 1u << 7,
  f_delay = 1u << 8,
  f_wait = 1u << 9,
};
constexpr unsigned envelope_fields = f_from | f_to | f_attempts | f_required | f_age;

constexpr std::array<std::string_view, 10> field_names = {"decision", "client",   "key", "from",  "to",
                                                          "attempts", "required", "age", "delay", "wait"};

// Takes one value into the decision; false when it does not read.
bool take(unsigned field, std::string_view value, Decision& d) {
  std::optional<std::uint32_t> number;
  std::optional<std::string_view> address;
  switch (field) {
    case f_decision: {
      std::optional<Outcome> outcome = outcome_from_word(value);
      if (outcome) d.outcome = *outcome;
      return outcome.has_value();
    }
    case f_client:
      d.client = value;
      return true;
    case f_key:
      d.key = value;
      return true;
    case f_from:
    case f_to:
      if (!(address = read_address(value))) return false;
      (field == f_from ? d.sender : d.recipient) = *address;
      return true;
    default:
      break;
  }
  if (!(number = read_number(value))) return false;
  switch (field) {
    case f_attempts:
      d.attempts = *number;
      break;
    case f_required:
      d.required = *number;
      break;
    case f_age:
      d.age = *number;
      break;
    case f_delay:
      d.delay = number;
      break;
    default:
      d.wait = number;
      break;
  }
  return true;
}

}  // namespace

std::string_view outcome_word(Outcome outcome) { return outcome_words[static_cast<std::size_t>(outcome)]; }

std::optional<Outcome> outcome_from_word(std::string_view word) {
  for (std::size_t i = 0; i < outcome_words.size(); ++i)
    if (outcome_words[i] == word) return static_cast<Outcome>(i);
  return std::nullopt;
}

bool is_pass(Outcome outcome) {
  return outcome == Outcome::passed || outcome == Outcome::promoted || outcome == Outcome::rule_passed;
}

Decision on_envelope(Outcome outcome, std::string_view client, std::string_view key, std::string_view sender,
                     std::string_view recipient, std::uint32_t attempts, std::uint32_t required, std::uint32_t age) {
  Decision d;
  d.outcome = outcome;
  d.client = client;
  d.key = key;
  d.with_envelope = true;
  d.sender = sender;
  d.recipient = recipient;
  d.attempts = attempts;
  d.required = required;
  d.age = age;
  if (is_pass(outcome)) d.delay = age;
  return d;
}

Decision on_verified(std::string_view client, std::string_view key) {
  Decision d;
  d.outcome = Outcome::verified;
  d.client = client;
  d.key = key;
  return d;
}

std::size_t format(const Decision& d, char* out, std::size_t size) {
  Writer w(out, size);
  w.field("decision", {outcome_word(d.outcome)});
  w.field("client", {d.client});
  w.field("key", {d.key});
  if (d.with_envelope) {
    w.field("from", {"<", d.sender, ">"});
    w.field("to", {"<", d.recipient, ">"});
    w.number("attempts", d.attempts);
    w.number("required", d.required);
    w.number("age", d.age);
  }
  if (d.delay) w.number("delay", *d.delay);
  if (d.wait) w.number("wait", *d.wait);
  return w.finish();
}

void log_decision(const Decision& decision) {
  if (log_threshold < 5) return;
  std::array<char, text_size> text;
  if (format(decision, text.data(), text.size()) != 0)
    log_msg(5, "%s", text.data());
  else  // beyond what ostrel's bounds on addresses allow
    log_msg(3, "The decision on client '%.*s' is too long to log.", static_cast<int>(decision.client.size()),
            decision.client.data());
}

std::optional<Decision> parse_fields(std::string_view text, std::string& scratch) {
  scratch.clear();
  scratch.reserve(text.size());  // a decoded value is never longer: views into scratch stay valid
  Decision d;
  unsigned seen = 0;
  std::size_t i = 0;
  for (;;) {
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos || eq == i) return std::nullopt;
    std::string_view name = text.substr(i, eq - i);
    for (char c : name)
      if (!is_key_byte(c)) return std::nullopt;
    i = eq + 1;
    std::optional<std::string_view> value;
    if (i < text.size() && text[i] == '"') {
      value = read_quoted(text, i, scratch);
    } else {
      std::size_t end = std::min(text.find(' ', i), text.size());
      value = text.substr(i, end - i);
      i = end;
      if (needs_quotes({*value})) value.reset();
    }
    if (!value) return std::nullopt;
    unsigned field = 0;
    for (std::size_t f = 0; f < field_names.size(); ++f)
      if (field_names[f] == name) field = 1u << f;
    if (field != 0) {  // keys of later versions are passed over
      if ((seen & field) != 0 || !take(field, *value, d)) return std::nullopt;
      seen |= field;
    }
    if (i == text.size()) break;
    if (text[i] != ' ' || ++i == text.size()) return std::nullopt;
  }
  if ((seen & (f_decision | f_client | f_key)) != (f_decision | f_client | f_key)) return std::nullopt;
  unsigned envelope = seen & envelope_fields;
  if (envelope != 0 && envelope != envelope_fields) return std::nullopt;
  d.with_envelope = envelope != 0;
  if (d.with_envelope == (d.outcome == Outcome::verified)) return std::nullopt;
  return d;
}

ReadLine read_log_line(std::string_view line, std::string& scratch) {
  std::size_t at = line.find(marker);
  while (at != std::string_view::npos && at != 0 && line[at - 1] != ' ') at = line.find(marker, at + 1);
  if (at == std::string_view::npos) return {};
  std::string_view fields = line.substr(at + program_prefix.size());
  while (!fields.empty() && (fields.back() == ' ' || fields.back() == '\r' || fields.back() == '\t'))
    fields.remove_suffix(1);
  std::optional<Decision> decision = parse_fields(fields, scratch);
  if (!decision) return {LineKind::damaged, {}};
  return {LineKind::decision, *decision};
}

}  // namespace decision_line
