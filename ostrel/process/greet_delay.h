// The greeting delay trap: holds the greeting back and notes a client that
// talks before it.
#pragma once

#include <cstdint>

// Delays above this are clamped, so that the wait fits poll's time-out.
inline constexpr std::uint32_t longest_greet_delay_ms = 1u << 30;
inline constexpr std::uint32_t default_greet_delay_ms = 6000;

// Waits between delay_ms and 2 * delay_ms - 1 milliseconds for descriptor 0
// to stir, reading nothing from it. delay_ms must be at least 1.
void check_greetdelay(std::uint32_t delay_ms);

// GREETDELAY as start-up reads it: a "%u" number, 6000 when there is none.
// 0 is returned as 0, which means that the trap is skipped.
[[nodiscard]] std::uint32_t greet_delay_from_env(const char* value);
