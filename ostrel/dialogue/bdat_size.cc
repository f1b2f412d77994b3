#include "bdat_size.h"

#include <strings.h>

namespace {

bool starts_with_word(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && strncasecmp(text.data(), word.data(), word.size()) == 0;
}

// Takes the line end off: "\r\n" or "\n"; false when there is none.
bool strip_line_end(std::string_view& line) {
  if (line.empty() || line.back() != '\n') return false;
  line.remove_suffix(line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : 1);
  return true;
}

}  // namespace

std::optional<std::uint32_t> bdat_chunk_size(std::string_view line) {
  if (!strip_line_end(line) || !starts_with_word(line, "BDAT ")) return std::nullopt;
  line.remove_prefix(5);
  std::size_t digits = line.find_first_not_of("0123456789");
  if (digits == std::string_view::npos) digits = line.size();
  if (digits == 0 || (digits > 1 && line[0] == '0')) return std::nullopt;
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    size = size * 10 + static_cast<std::uint64_t>(line[i] - '0');
    if (size > bdat_size_max) return std::nullopt;
  }
  std::string_view rest = line.substr(digits);
  if (!rest.empty() && !(rest.size() == 5 && starts_with_word(rest, " LAST"))) return std::nullopt;
  return static_cast<std::uint32_t>(size);
}
