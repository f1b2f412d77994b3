#include "policy_settings.h"

#include <cstdlib>

namespace {

std::string out_of_range(const char* name, const char* unit, std::uint32_t low, std::uint32_t high, const char* value) {
  return std::string(name) + " must be a number of " + unit + " from " + std::to_string(low) + " to " +
         std::to_string(high) + ", not '" + value + "'";
}

// An unset variable keeps fallback.
std::optional<std::string> read_hours(const char* name, unsigned& hours) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::optional<std::uint32_t> number = parse_bounded_number(value, min_age_hours, max_age_hours);
  if (!number) return out_of_range(name, "hours", min_age_hours, max_age_hours, value);
  hours = *number;
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> parse_bounded_number(std::string_view text, std::uint32_t low, std::uint32_t high) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (number < low || number > high) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

SettingRead<CleanupAges> cleanup_ages_from_env() {
  SettingRead<CleanupAges> read;
  read.error = read_hours("GREYLIST_PENDING_HOURS", read.value.pending_hours);
  if (!read.error) read.error = read_hours("GREYLIST_VERIFIED_HOURS", read.value.verified_hours);
  return read;
}

SettingRead<std::optional<std::uint32_t>> min_delay_from_env(const CleanupAges& ages) {
  const char* value = std::getenv("GREYLIST_MINDELAY");
  if (value == nullptr) return {};
  std::optional<std::uint32_t> seconds = parse_bounded_number(value, 0, max_min_delay_s);
  if (!seconds) return {{}, out_of_range("GREYLIST_MINDELAY", "seconds", 0, max_min_delay_s, value)};
  if (static_cast<std::uint64_t>(*seconds) >= static_cast<std::uint64_t>(ages.pending_hours) * 3600)
    return {{},
            "GREYLIST_MINDELAY of " + std::to_string(*seconds) +
                " seconds does not end before pending triples are forgotten (GREYLIST_PENDING_HOURS, " +
                std::to_string(ages.pending_hours) + " hours)"};
  return {seconds, std::nullopt};
}

bool is_temporary_reply_line(std::string_view text, std::size_t room) {
  if (text.size() < 3 || text.size() + 3 > room) return false;
  if (text[0] != '4' || text[1] < '0' || text[1] > '9' || text[2] < '0' || text[2] > '9') return false;
  if (text.size() > 3 && text[3] != ' ') return false;
  for (char c : text)
    if (c < ' ' || c > '~') return false;
  return true;
}

SettingRead<std::optional<std::string>> reply_from_env(std::size_t room) {
  const char* value = std::getenv("GREYLIST_REPLY");
  if (value == nullptr) return {};
  if (!is_temporary_reply_line(value, room))
    return {{},
            "GREYLIST_REPLY must be one temporary-failure reply line (a code 4xx, then a blank or nothing; "
            "printable ASCII; at most " +
                std::to_string(room - 3) + " characters)"};
  return {std::string(value), std::nullopt};
}
