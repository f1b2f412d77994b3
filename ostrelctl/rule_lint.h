// How ostrelctl reads a line of a suspicion file beyond what ostrel's
// reader says of it: the lines that are probably not what their author
// meant. check-rules lists them; check counts them.
#pragma once

#include <string>
#include <vector>

#include "suspicion.h"

// text between double quotes, with quotes, backslashes, tabs and carriage
// returns escaped.
[[nodiscard]] std::string quoted(const char* text);

// The tokens of a rule of kind b, e or v, as ostrel splits them.
[[nodiscard]] std::vector<std::string> split_tokens(const char* proper);

// Why ostrel skips a line that is no rule and no comment ("too long (max
// is 1023 bytes with the newline)").
[[nodiscard]] std::string skip_reason(LineKind kind);

// The warnings about a rule (kind rule), line being its text as read.
[[nodiscard]] std::vector<std::string> lint_rule(const char* line, const RuleLine& rule);
