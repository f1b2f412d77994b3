#include "log_time.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

// Reads a fixed number of decimal digits at text[at]; advances at.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t count) {
  if (at > text.size() || text.size() - at < count) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char c = text[at + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  at += count;
  return value;
}

bool take(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

bool plausible(const LogTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour <= 23 && t.minute <= 59 && t.second <= 60;
}

// "HH:MM:SS" and a fraction of a second, which is passed over.
bool clock_time(std::string_view text, std::size_t& at, LogTime& t) {
  std::optional<int> h, m, s;
  if (!(h = digits(text, at, 2)) || !take(text, at, ':') || !(m = digits(text, at, 2)) || !take(text, at, ':') ||
      !(s = digits(text, at, 2)))
    return false;
  t.hour = *h;
  t.minute = *m;
  t.second = *s;
  if (take(text, at, '.') || take(text, at, ',')) {
    std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == start) return false;
  }
  return true;
}

std::optional<LogTime> tai64n(std::string_view line) {
  constexpr std::uint64_t unix_epoch_label = (std::uint64_t{1} << 62) + 10;  // as daemontools writes it
  if (line.size() < 26 || line[25] != ' ') return std::nullopt;
  std::uint64_t label = 0;
  for (std::size_t i = 1; i < 25; ++i) {
    char c = line[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) return std::nullopt;
    if (i <= 16) label = label << 4 | static_cast<std::uint64_t>(v);  // the nanoseconds are passed over
  }
  if (label < unix_epoch_label || label - unix_epoch_label > (std::uint64_t{1} << 40)) return std::nullopt;
  std::time_t seconds = static_cast<std::time_t>(label - unix_epoch_label);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return std::nullopt;
  return LogTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

std::optional<LogTime> iso8601(std::string_view line) {
  std::size_t at = 0;
  LogTime t;
  std::optional<int> y, mo, d;
  if (!(y = digits(line, at, 4)) || !take(line, at, '-') || !(mo = digits(line, at, 2)) || !take(line, at, '-') ||
      !(d = digits(line, at, 2)) || !(take(line, at, 'T') || take(line, at, ' ')))
    return std::nullopt;
  t.year = *y;
  t.month = *mo;
  t.day = *d;
  if (!clock_time(line, at, t)) return std::nullopt;
  if (!take(line, at, 'Z') && (take(line, at, '+') || take(line, at, '-'))) {
    if (!digits(line, at, 2)) return std::nullopt;
    bool colon = take(line, at, ':');
    if (!digits(line, at, 2) && colon) return std::nullopt;
  }
  if (!take(line, at, ' ') || !plausible(t)) return std::nullopt;
  return t;
}

std::optional<LogTime> syslog_stamp(std::string_view line, const std::tm& now) {
  static constexpr std::array<std::string_view, 12> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  LogTime t;
  for (std::size_t i = 0; i < months.size(); ++i)
    if (line.size() > 4 && line[3] == ' ' && line.substr(0, 3) == months[i]) t.month = static_cast<int>(i) + 1;
  if (t.month == 0) return std::nullopt;
  std::size_t at = 4;
  take(line, at, ' ');  // a day of one digit, padded with a blank
  std::optional<int> d = digits(line, at, 2);
  if (!d) {
    if (!(d = digits(line, at, 1))) return std::nullopt;
  }
  t.day = *d;
  if (!take(line, at, ' ') || !clock_time(line, at, t) || !take(line, at, ' ') || !plausible(t)) return std::nullopt;
  t.year = now.tm_year + 1900 - (t.month > now.tm_mon + 1 ? 1 : 0);
  return t;
}

}  // namespace

std::optional<LogTime> log_line_time(std::string_view line, const std::tm& now) {
  if (line.empty()) return std::nullopt;
  if (line[0] == '@') return tai64n(line);
  if (line[0] >= '0' && line[0] <= '9') return iso8601(line);
  return syslog_stamp(line, now);
}

std::string hour_label(const LogTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:00", t.year, t.month, t.day, t.hour);
  return text;
}

std::string day_label(const LogTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}
