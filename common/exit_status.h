// The few exit statuses of the programs.
#pragma once

namespace exit_status {
inline constexpr int orderly = 0;          // the connection ended in an orderly way
inline constexpr int gave_up = 100;        // usage, set-up, database, time-out, limit, signal
inline constexpr int flagger_setup = 110;  // ferrow failed before its lookups
}  // namespace exit_status
