#include "log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

using logchan::compose_format;
using logchan::format_size;
using logchan::threshold_from_env;

TEST(LogThreshold, ReadsTheVariableLikeStrtol) {
  EXPECT_EQ(threshold_from_env(nullptr), 3);
  EXPECT_EQ(threshold_from_env("7"), 7);
  EXPECT_EQ(threshold_from_env("0"), 0);
  EXPECT_EQ(threshold_from_env("8"), 3);
  EXPECT_EQ(threshold_from_env("-1"), 3);
  EXPECT_EQ(threshold_from_env("99999999999999999999999"), 3);
  EXPECT_EQ(threshold_from_env(""), 0);
  EXPECT_EQ(threshold_from_env("abc"), 0);
  EXPECT_EQ(threshold_from_env("5abc"), 5);
  EXPECT_EQ(threshold_from_env("  5"), 5);
}

TEST(LogFormat, AddsPrefixPidAndNewline) {
  char out[format_size];
  compose_format(out, false, 0, "ostrel: ", "State: %s");
  EXPECT_STREQ(out, "ostrel: State: %s\n");
  compose_format(out, true, 812, "ferrow: ", "Querying for %s\n");
  EXPECT_STREQ(out, "(812) ferrow: Querying for %s\n");
  compose_format(out, true, -2147483647 - 1, "tunwick: ", "");
  EXPECT_STREQ(out, "(-2147483648) tunwick: \n");
}

TEST(LogFormat, LongFormatIsCutWithinTheBufferAndKeepsItsNewline) {
  char out[format_size + 16];
  std::string fmt(2000, 'x');
  compose_format(out, false, 0, "ostrel: ", fmt.c_str());
  std::string composed = out;
  EXPECT_EQ(composed.size(), format_size - 1);
  EXPECT_EQ(composed.back(), '\n');
  std::string exact(format_size - 1 - 8, 'y');  // fills the buffer to the last byte
  compose_format(out, false, 0, "ostrel: ", (exact + "\n").c_str());
  EXPECT_EQ(std::string(out).size(), format_size - 1);
  EXPECT_EQ(std::string(out).back(), '\n');
}

// True when text ends in a '%' conversion that has no conversion letter.
bool ends_inside_conversion(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    std::size_t j = i + 1;
    while (j < text.size() && std::string("0123456789.-+ #lhz").find(text[j]) != std::string::npos) ++j;
    if (j >= text.size()) return true;
    i = j;
  }
  return false;
}

TEST(LogFormat, CutNeverEndsInsideAConversion) {
  char out[format_size];
  for (int pad = 990; pad < 1030; ++pad) {
    std::string fmt = std::string(static_cast<std::size_t>(pad), 'a') + "%llu and %-20s and %%";
    compose_format(out, false, 0, "p: ", fmt.c_str());
    std::string composed = out;
    ASSERT_EQ(composed.back(), '\n');
    EXPECT_FALSE(ends_inside_conversion(composed.substr(0, composed.size() - 1))) << "pad " << pad;
  }
}

// What the log channel writes to standard error while f runs.
template <typename F>
std::string stderr_of(F f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class LogPieces : public testing::Test {
 protected:
  void TearDown() override {
    unsetenv("LOGPID");
    unsetenv("LOGTHRESHOLD");
  }
  static void setup(bool with_pid, const char* threshold) {
    if (with_pid)
      setenv("LOGPID", "", 1);
    else
      unsetenv("LOGPID");
    setenv("LOGTHRESHOLD", threshold, 1);
    log_setup("ostrel: ");
  }
};

TEST_F(LogPieces, PrintsWhatLogMsgPrints) {
  for (bool with_pid : {false, true}) {
    setup(with_pid, "7");
    const char* addr = "192.0.2.7";
    EXPECT_EQ(stderr_of([&] {
                log_pieces(4, {"Big timeout reached from '", addr, "'!"});
              }),
              stderr_of([&] { log_msg(4, "Big timeout reached from '%s'!", addr); }));
    EXPECT_EQ(stderr_of([] {
                log_pieces(7, {"Child exited (", logchan::Decimal(1).c_str(), ") status ",
                               logchan::Decimal(100).c_str(), "."});
              }),
              stderr_of([] { log_msg(7, "Child exited (%d) status %d.", 1, 100); }));
  }
  EXPECT_EQ(stderr_of([] {
              log_pieces(6, {"Client '", nullptr, "' closed."});
            }),
            "(" + std::to_string(getpid()) + ") ostrel: Client '(null)' closed.\n");
}

TEST_F(LogPieces, RespectsTheThreshold) {
  setup(false, "3");
  EXPECT_EQ(stderr_of([] { log_pieces(4, {"not printed"}); }), "");
  EXPECT_EQ(stderr_of([] { log_pieces(3, {"printed"}); }), "ostrel: printed\n");
}

TEST_F(LogPieces, KeepsErrnoAndCutsAnOverlongLineBeforeItsNewline) {
  setup(false, "7");
  std::string long_text(3 * logchan::line_size, 'x');
  errno = ENOSPC;
  std::string out = stderr_of([&] { log_pieces(7, {long_text.c_str(), "tail"}); });
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(out.size(), logchan::line_size);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find("tail"), std::string::npos);
}

TEST(Decimal, FormatsLikePrintf) {
  for (long value : {0L, 7L, -7L, 10L, 255L, 2147483647L, -2147483648L, std::numeric_limits<long>::max(),
                     std::numeric_limits<long>::min()}) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%ld", value);
    EXPECT_STREQ(logchan::Decimal(value).c_str(), expected);
  }
}
