// The one clock of the programs' deadlines: monotonic, in milliseconds.
#pragma once

#include <time.h>

[[nodiscard]] inline long long monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
