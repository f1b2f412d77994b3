#include "server_start.h"

#include <gtest/gtest.h>

#include <cstring>

// The child's line takes the error text from error_text, which must read as
// strerror's in the C locale, known numbers and unknown ones alike.
TEST(ServerStart, ErrorTextIsStrerrorsText) {
  for (int errnum = -2; errnum <= 200; ++errnum) {
    char scratch[32];
    EXPECT_STREQ(error_text(errnum, scratch), std::strerror(errnum)) << errnum;
  }
}
