#include "regex_guard.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

namespace {

constexpr unsigned long longest_expansion = 4096;

// The repetition factor of the operator at pattern[i], or 0 when there is
// none; an interval "{m}", "{m,}" or "{m,n}" moves i to its closing brace.
unsigned long repetition_at(const char* pattern, std::size_t& i) {
  char c = pattern[i];
  if (c == '*' || c == '+' || c == '?') return 2;
  if (c != '{') return 0;
  const char* first = pattern + i + 1;
  char* end = nullptr;
  unsigned long low = std::strtoul(first, &end, 10);
  if (end == first) return 0;
  unsigned long high = low;
  if (*end == ',') {
    char* after = end + 1;
    high = std::strtoul(after, &end, 10);
    if (end == after) high = low + 1;  // "{m,}": at least one more copy
  }
  if (*end != '}') return 0;
  i = static_cast<std::size_t>(end - pattern);
  return std::max({low, high, 1ul});
}

// The index of the ']' that closes the bracket expression opened at
// pattern[i], or 0 when it is not closed. "[]...]" and "[^]...]" hold a
// literal ']', and "[:class:]", "[.coll.]", "[=equiv=]" are skipped whole.
std::size_t bracket_end(const char* pattern, std::size_t i) {
  std::size_t j = i + 1;
  if (pattern[j] == '^') ++j;
  if (pattern[j] == ']') ++j;
  while (pattern[j] != '\0' && pattern[j] != ']') {
    if (pattern[j] == '[' && (pattern[j + 1] == ':' || pattern[j + 1] == '.' || pattern[j + 1] == '=')) {
      char close = pattern[j + 1];
      j += 2;
      while (pattern[j] != '\0' && !(pattern[j] == close && pattern[j + 1] == ']')) ++j;
      if (pattern[j] != '\0') ++j;
    }
    if (pattern[j] != '\0') ++j;
  }
  return pattern[j] == '\0' ? 0 : j;
}

}  // namespace

bool pattern_is_tame(const char* pattern) {
  std::vector<unsigned long> inside{1};  // the largest expansion within each open group
  unsigned long atom = 1;                // the expansion of the atom before an operator
  bool after_repetition = false;
  for (std::size_t i = 0; pattern[i] != '\0'; ++i) {
    if (unsigned long factor = repetition_at(pattern, i); factor != 0) {
      if (after_repetition || atom * factor > longest_expansion) return false;
      inside.back() = std::max(inside.back(), atom * factor);
      after_repetition = true;
      continue;
    }
    after_repetition = false;
    atom = 1;
    char c = pattern[i];
    if (c == '\\' && pattern[i + 1] != '\0') {
      ++i;
    } else if (c == '(') {
      inside.push_back(1);
    } else if (c == ')' && inside.size() > 1) {
      atom = inside.back();
      inside.pop_back();
      inside.back() = std::max(inside.back(), atom);
    } else if (c == '[') {
      std::size_t end = bracket_end(pattern, i);
      if (end == 0) return true;  // unterminated: regcomp refuses it cheaply
      i = end;
    }
  }
  return true;
}
