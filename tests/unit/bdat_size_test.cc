#include "bdat_size.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

TEST(BdatChunkSize, ReadsOnlySizesThatNoServerReadsOtherwise) {
  const std::optional<std::uint32_t> none;
  const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
      {"BDAT 3\r\n", 3},
      {"bdat 0 last\r\n", 0},
      {"BDAT 1000 LAST\n", 1000},
      {"BDAT 2147483647\r\n", 2147483647},
      {"BDAT 2147483648\r\n", none},  // over a signed 32-bit number
      {"BDAT 4294967299\r\n", none},  // 3 to a reader that wraps at 32 bits
      {"BDAT 03\r\n", none},          // octal to some readers
      {"BDAT\r\n", none},
      {"BDAT x\r\n", none},
      {"BDAT -1\r\n", none},
      {"BDAT +3\r\n", none},
      {"BDAT 3x\r\n", none},
      {"BDAT  3\r\n", none},
      {"BDAT 3 \r\n", none},
      {"BDAT 3 LASTX\r\n", none},
      {"BDAT 3 junk\r\n", none},
      {"BDATX 3\r\n", none},
      {"BDAT 3", none},  // no line end: the rest of a long line follows
      {std::string("BDAT 3\0\r\n", 9), none},
      {std::string("BDAT 3 LA\0T\r\n", 13), none},
  };
  for (const auto& [line, size] : cases) EXPECT_EQ(bdat_chunk_size(line), size) << line;
}

}  // namespace
