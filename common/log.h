// The log channel shared by all programs: leveled lines on standard error,
// with a program prefix and, when LOGPID is set, the process id.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

// Highest level that is printed; programs may overwrite it after set-up.
extern int log_threshold;

// Must run once, before the first log_msg. The prefix must hold no '%'.
int log_setup(const char* prefix);

// Prints one line at the given syslog level, or nothing. Always returns 0.
int log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Prints at the given level the line that log_msg would print for a message
// made of the pieces put together (a null piece reads "(null)", as %s does),
// in one write. Safe in a signal handler: no stdio, no allocation, errno
// kept. A line longer than line_size bytes is cut and keeps its newline.
void log_pieces(int level, std::initializer_list<const char*> pieces);

// Whether lines of the given level are printed.
[[nodiscard]] inline bool log_prints(int level) { return level <= log_threshold; }

// What every line starts with: "(PID) " when LOGPID is set, then the prefix.
[[nodiscard]] std::string log_line_start();

namespace logchan {

inline constexpr std::size_t line_size = 2048;

// A number as decimal text, made without the C library's formatting, so
// that a signal handler can use it in a log line.
class Decimal {
 public:
  explicit Decimal(long value);
  [[nodiscard]] const char* c_str() const { return text_ + start_; }

 private:
  char text_[24];
  int start_;
};

inline constexpr std::size_t format_size = 1024;

// LOGTHRESHOLD as the channel reads it: unset gives 3, out of range gives 3,
// text without leading digits gives 0.
[[nodiscard]] int threshold_from_env(const char* value);

// Composes the line's format (pid, prefix, caller's format, newline rule)
// into out, never past its format_size bytes and never ending inside a
// conversion.
void compose_format(char* out, bool with_pid, int pid, const char* prefix, const char* fmt);

}  // namespace logchan
