// The buffer in which the store formats each of ostrel's statements, and
// the one way a value enters a statement: between single quotes, with every
// quote inside it doubled, so that no value can end its quotes early. The
// values ostrel has (addresses, network keys, the envelope's addresses) hold
// no quote, so for them the doubling changes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

// value between single quotes, each quote in it doubled: "it's" -> "'it''s'".
[[nodiscard]] std::string sql_quoted(std::string_view value);

class StatementText {
 public:
  // 1024 bytes, so a statement holds at most 1023 characters: the size is
  // part of ostrel's behaviour (the length checks and their lines).
  static constexpr std::size_t capacity = 1024;

  // Writes pattern with each '?' replaced by the next value, quoted as
  // sql_quoted() does; pattern holds one '?' per value. Returns the length
  // of the complete statement; when that is capacity or more, the text is
  // cut to capacity - 1 characters (as snprintf cuts) and the statement
  // must not run.
  std::size_t fill(std::string_view pattern, std::initializer_list<std::string_view> values);

  // Writes a statement made of fixed text and numbers, as snprintf does.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  [[nodiscard]] const char* c_str() const { return text_.data(); }

 private:
  std::array<char, capacity> text_{};
};
