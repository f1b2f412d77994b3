// The size of a BDAT chunk, read from the client's command line. The chunk
// that follows a BDAT line is data whatever the server answers, so ostrel
// and the server program must agree on its size: a line whose size could be
// read in more than one way never reaches the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The largest chunk passed on: what every server program can hold in a
// signed 32-bit number.
inline constexpr std::uint32_t bdat_size_max = 2147483647;

// The size of "BDAT" SP size [SP "LAST"] followed by CRLF or LF (the words
// in any case), the size in decimal digits without a leading zero (except
// "0" itself) and at most bdat_size_max. Nothing for any other line:
// missing, signed, overflowing or spaced sizes, junk after the size or
// after LAST, a line without its end, a NUL inside it.
[[nodiscard]] std::optional<std::uint32_t> bdat_chunk_size(std::string_view line);
