#include "rule_lint.h"

#include <cstdio>
#include <cstring>

#include "compiled_regex.h"

std::string quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\r')
      out += "\\r";
    else if (*p == '\t')
      out += "\\t";
    else if (*p == '"' || *p == '\\')
      out += std::string("\\") + *p;
    else
      out += *p;
  }
  return out + "\"";
}

std::vector<std::string> split_tokens(const char* proper) {
  std::vector<char> copy(proper, proper + std::strlen(proper) + 1);
  char* rest = copy.data();
  std::vector<std::string> tokens;
  while (char* token = next_rule_token(rest)) tokens.emplace_back(token);
  return tokens;
}

namespace {

void lint_spacing(const char* line, const RuleLine& rule, std::vector<std::string>& warnings) {
  char canonical[32];
  int len = std::snprintf(canonical, sizeof canonical, "%u %c", rule.number, rule.kind_char);
  if (std::strncmp(line, canonical, static_cast<std::size_t>(len)) != 0)
    warnings.push_back("spacing before the kind letter differs from \"" + std::string(canonical) +
                       " \": the rule text is found by position, so it starts at another character");
  if (rule.text[0] == ' ')
    warnings.push_back("the rule text begins with a space (more than one space after the kind letter)");
  std::size_t text_len = std::strlen(rule.text);
  if (text_len > 0 && rule.text[text_len - 1] == '\r')
    warnings.push_back("carriage return before the newline: it is part of the rule text");
  if (rule.text[0] == '\0') warnings.push_back("empty rule text");
  if (rule.negated && rule.text[1] != ' ')
    warnings.push_back("negation drops the character after '!', which is not a space here");
}

void lint_tokens(const RuleLine& rule, const std::vector<std::string>& tokens, std::vector<std::string>& warnings) {
  for (const std::string& token : tokens) {
    if (token.empty()) {
      warnings.push_back("empty token (two separators in a row, or one at the start or end)");
      continue;
    }
    if (rule.kind_char == rule_grammar::behaviour_kind && !rule_grammar::is_behaviour_token(token))
      warnings.push_back("unknown behaviour token " + quoted(token.c_str()));
    if (rule.kind_char != rule_grammar::envelope_kind) continue;
    if (token.size() < 3 || token[1] != ':') {
      warnings.push_back("envelope token " + quoted(token.c_str()) + " is not qualifier:pattern");
      continue;
    }
    CompiledRegex re;
    if (!re.compile(token.c_str() + 2, REG_EXTENDED | REG_NOSUB))
      warnings.push_back("pattern " + quoted(token.c_str() + 2) + " does not compile");
    if (!rule_grammar::is_qualifier(token[0]))
      warnings.push_back(std::string("unknown envelope qualifier '") + token[0] + "'");
  }
}

}  // namespace

std::vector<std::string> lint_rule(const char* line, const RuleLine& rule) {
  std::vector<std::string> warnings;
  lint_spacing(line, rule, warnings);
  switch (rule.kind_char) {
    case rule_grammar::hostname_kind: {
      CompiledRegex re;
      if (!re.compile(rule.proper, REG_EXTENDED | REG_ICASE | REG_NOSUB))
        warnings.push_back("pattern " + quoted(rule.proper) + " does not compile");
      break;
    }
    case rule_grammar::behaviour_kind:
    case rule_grammar::envelope_kind:
    case rule_grammar::environment_kind:
      lint_tokens(rule, split_tokens(rule.proper), warnings);
      break;
    default:
      warnings.push_back(std::string("unknown kind '") + rule.kind_char + "' (kinds are b, e, r and v)");
  }
  return warnings;
}

std::string skip_reason(LineKind kind) {
  char text[80];
  switch (kind) {
    case LineKind::too_long:
      std::snprintf(text, sizeof text, "too long (max is %u bytes with the newline)",
                    static_cast<unsigned>(rule_buffer_size - 1));
      return text;
    case LineKind::nul_byte:
      return "holds a NUL byte";
    case LineKind::number_negative:
      return "number is negative";
    case LineKind::number_too_large:
      std::snprintf(text, sizeof text, "number does not fit (max is %u)", largest_rule_number);
      return text;
    default:
      return "does not parse as \"number kind rule\"";
  }
}
