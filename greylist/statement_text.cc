#include "statement_text.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>

std::string sql_quoted(std::string_view value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted + "'";
}

std::size_t StatementText::fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string statement;
  const std::string_view* value = values.begin();
  for (char c : pattern) {
    if (c != '?') {
      statement += c;
      continue;
    }
    assert(value != values.end());
    statement += sql_quoted(*value++);
  }
  assert(value == values.end());
  std::snprintf(text_.data(), text_.size(), "%s", statement.c_str());
  return statement.size();
}

void StatementText::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text_.data(), text_.size(), format, args);
  va_end(args);
}
