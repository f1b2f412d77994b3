// Owner of one compiled POSIX regular expression.
#pragma once

#include <regex.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <vector>

// Whether the regex library can compile pattern in bounded memory. It
// copies the tree of a repeated atom once per repetition, so repetition
// stacked on repetition ("a+++") or nested intervals multiply without bound
// and one line of a rule file could take gigabytes. Such patterns are
// refused as if they did not compile.
inline bool pattern_is_tame(const char* pattern) {
  constexpr unsigned long longest_expansion = 4096;
  std::vector<unsigned long> inside{1};  // largest expansion within each open group
  unsigned long atom = 1;                // expansion of the atom before an operator
  bool after_repetition = false;
  for (std::size_t i = 0; pattern[i] != '\0'; ++i) {
    char c = pattern[i];
    unsigned long factor = 0;
    if (c == '*' || c == '+' || c == '?') {
      factor = 2;
    } else if (c == '{') {
      char* end = nullptr;
      unsigned long low = std::strtoul(pattern + i + 1, &end, 10);
      unsigned long high = low;
      if (end != pattern + i + 1 && *end == ',') {
        char* after = end + 1;
        high = std::strtoul(after, &end, 10);
        if (end == after) high = low + 1;
      }
      if (end != pattern + i + 1 && *end == '}') {
        factor = std::max({low, high, 1ul});
        i = static_cast<std::size_t>(end - pattern);
      }
    }
    if (factor != 0) {
      if (after_repetition || atom * factor > longest_expansion) return false;
      inside.back() = std::max(inside.back(), atom * factor);
      after_repetition = true;
      continue;
    }
    after_repetition = false;
    atom = 1;
    if (c == '\\' && pattern[i + 1] != '\0') {
      ++i;
    } else if (c == '(') {
      inside.push_back(1);
    } else if (c == ')' && inside.size() > 1) {
      atom = inside.back();
      inside.pop_back();
      inside.back() = std::max(inside.back(), atom);
    } else if (c == '[') {
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
      if (pattern[j] == '\0') return true;  // unterminated: regcomp refuses it cheaply
      i = j;
    }
  }
  return true;
}

class Regex {
 public:
  Regex() = default;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;
  ~Regex() { release(); }

  // Compiles pattern with the given flags; false when it does not compile
  // or could not be compiled in bounded memory.
  [[nodiscard]] bool compile(const char* pattern, int flags) {
    release();
    compiled_ = pattern_is_tame(pattern) && regcomp(&re_, pattern, flags) == 0;
    return compiled_;
  }
  [[nodiscard]] bool matches(const char* text) const {
    return compiled_ && regexec(&re_, text, 0, nullptr, 0) == 0;
  }
  // Finds the leftmost match of the first group; false when none.
  [[nodiscard]] bool find_group(const char* text, regmatch_t& group) const {
    regmatch_t found[2];
    if (!compiled_ || regexec(&re_, text, 2, found, 0) != 0 || found[1].rm_so < 0) return false;
    group = found[1];
    return true;
  }
  void release() {
    if (compiled_) regfree(&re_);
    compiled_ = false;
  }

 private:
  regex_t re_{};
  bool compiled_ = false;
};
