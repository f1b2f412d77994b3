// Start-up: the settings of the greylisting decision, read once from the
// environment and handed to the decision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "policy_settings.h"

struct DecisionSettings {
  CleanupAges ages;                          // of the cleanups the decision runs
  std::optional<std::uint32_t> min_delay_s;  // GREYLIST_MINDELAY
  std::optional<std::string> reply;          // GREYLIST_REPLY with its CRLF
};

// A value out of range or no number ends the process with one line at
// level 2 and status 100.
[[nodiscard]] DecisionSettings decision_settings_from_env();
