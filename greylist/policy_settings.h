// The greylisting policy's settings, read from the environment: the
// minimum retry delay, the ages of the two cleanups and the reply of a
// refusal. ostrel reads them all at start-up; ostrelctl reads the ages for
// cleanup and stats. Each reader gives back the value or, for a value that
// is out of range or no number, the one line that says so (without a
// program's prefix or ending): each program logs it its own way and ends
// with its own status. Unset, every setting is what ostrel has always done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store.h"

// Seconds; a day at most, and below the pending age (a triple must be
// able to come back before the pending cleanup forgets it).
inline constexpr std::uint32_t max_min_delay_s = 86400;
// Hours, for both ages: from one hour to ten years.
inline constexpr unsigned min_age_hours = 1;
inline constexpr unsigned max_age_hours = 87600;

template <typename T>
struct [[nodiscard]] SettingRead {
  T value{};
  std::optional<std::string> error;  // the line for a bad value
  [[nodiscard]] bool ok() const { return !error.has_value(); }
};

struct CleanupAges {
  unsigned pending_hours = pending_max_age_hours;    // GREYLIST_PENDING_HOURS
  unsigned verified_hours = verified_max_age_hours;  // GREYLIST_VERIFIED_HOURS
};

// A decimal number from low to high, digits only (no sign, no blank).
[[nodiscard]] std::optional<std::uint32_t> parse_bounded_number(std::string_view text, std::uint32_t low,
                                                                std::uint32_t high);

// GREYLIST_PENDING_HOURS and GREYLIST_VERIFIED_HOURS; the defaults when unset.
[[nodiscard]] SettingRead<CleanupAges> cleanup_ages_from_env();

// GREYLIST_MINDELAY: none when unset. It must end before the pending age.
[[nodiscard]] SettingRead<std::optional<std::uint32_t>> min_delay_from_env(const CleanupAges& ages);

// Whether text is one temporary-failure reply line that, with its CRLF and
// a zero byte, fits in room bytes: three digits of which the first is 4,
// then a blank or the end, and printable ASCII only.
[[nodiscard]] bool is_temporary_reply_line(std::string_view text, std::size_t room);

// GREYLIST_REPLY: none when unset; room as above.
[[nodiscard]] SettingRead<std::optional<std::string>> reply_from_env(std::size_t room);
