// The time stamp that the program collecting ostrel's standard error wrote
// in front of a line: ostrel's own lines carry none.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// A wall-clock time as the log shows it, to the second.
struct LogTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The stamp at the very start of line, followed by a blank:
//   @4000000065a1b2c30a1b2c3d      TAI64N (multilog, s6-log, tai64n): shown
//                                  in local time, as tai64nlocal shows it
//   2026-01-05T10:00:00[.frac][Z|+01:00|+0100]
//   2026-01-05 10:00:00[.frac]     ISO 8601 (journalctl -o short-iso, s6-log's T,
//                                  exim): the wall clock as written, offset aside
//   Jan  5 10:00:00[.frac]         syslog and journalctl's default: the year is
//                                  taken from now, the previous one for a month
//                                  later than now's
// Nothing for any other line.
[[nodiscard]] std::optional<LogTime> log_line_time(std::string_view line, const std::tm& now);

// "2026-01-05 10:00" for hours, "2026-01-05" for days.
[[nodiscard]] std::string hour_label(const LogTime& t);
[[nodiscard]] std::string day_label(const LogTime& t);
