// Owner of one compiled POSIX regular expression; patterns that would
// explode in memory are refused before regcomp sees them.
#pragma once

#include <regex.h>

#include "regex_guard.h"

class CompiledRegex {
 public:
  CompiledRegex() = default;
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;
  ~CompiledRegex() { release(); }

  // Compiles pattern with the given flags; false when it does not compile
  // or could not be compiled in bounded memory.
  [[nodiscard]] bool compile(const char* pattern, int flags) {
    release();
    compiled_ = pattern_is_tame(pattern) && regcomp(&re_, pattern, flags) == 0;
    return compiled_;
  }
  [[nodiscard]] bool matches(const char* text) const { return compiled_ && regexec(&re_, text, 0, nullptr, 0) == 0; }
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
