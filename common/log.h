// The log channel shared by all programs: leveled lines on standard error,
// with a program prefix and, when LOGPID is set, the process id.
#pragma once

#include <cstddef>

// Highest level that is printed; programs may overwrite it after set-up.
extern int log_threshold;

// Must run once, before the first log_msg. The prefix must hold no '%'.
int log_setup(const char* prefix);

// Prints one line at the given syslog level, or nothing. Always returns 0.
int log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

namespace logchan {

inline constexpr std::size_t format_size = 1024;

// LOGTHRESHOLD as the channel reads it: unset gives 3, out of range gives 3,
// text without leading digits gives 0.
[[nodiscard]] int threshold_from_env(const char* value);

// Composes the line's format (pid, prefix, caller's format, newline rule)
// into out, never past its format_size bytes and never ending inside a
// conversion.
void compose_format(char* out, bool with_pid, int pid, const char* prefix, const char* fmt);

}  // namespace logchan
