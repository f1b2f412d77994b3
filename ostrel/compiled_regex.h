// Owner of one compiled POSIX regular expression.
#pragma once

#include <regex.h>

class Regex {
 public:
  Regex() = default;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;
  ~Regex() { release(); }

  // Compiles pattern with the given flags; false when it does not compile.
  [[nodiscard]] bool compile(const char* pattern, int flags) {
    release();
    compiled_ = regcomp(&re_, pattern, flags) == 0;
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
