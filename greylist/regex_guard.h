// The guard against regular expressions that would take unbounded memory
// to compile. Every pattern ostrel compiles from a rule file passes here
// first (through CompiledRegex::compile).
#pragma once

// Whether the regex library can compile pattern in bounded memory. glibc's
// regcomp copies the tree of a repeated atom once per repetition, so
// repetition stacked on repetition ("a+++"), nested intervals
// ("((a{100}){100})") or one huge interval multiply without bound, and a
// single line of a rule file could take gigabytes. A pattern is tame when no
// repetition operator follows another and the expansion of every repeated
// atom, groups included, stays within 4096 copies. Bracket expressions and
// escaped characters are single atoms. Text that regcomp refuses anyway
// (an unterminated bracket) counts as tame: refusing it is cheap.
[[nodiscard]] bool pattern_is_tame(const char* pattern);
