#include "greet_delay.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "log.h"
#include "signals.h"
#include "state.h"

void check_greetdelay(std::uint32_t delay_ms) {
  assert(delay_ms >= 1);
  delay_ms = std::min(delay_ms, longest_greet_delay_ms);
  auto wait_ms = static_cast<int>(delay_ms + static_cast<std::uint32_t>(random()) % delay_ms);
  pollfd entry{client_in, POLLIN, 0};
  int ready = watched_poll(&entry, 1, wait_ms);
  client_metainfo.validity |= VALID_GREETDELAY;
  if (ready > 0) {
    client_metainfo.greetdelay_trapped = 1;
    log_msg(7, "greetdelay trap: caught.");
    return;
  }
  if (ready < 0) log_msg(3, "poll() failed when tricking client with greetdelay.");
  client_metainfo.greetdelay_trapped = 0;
  log_msg(7, "greetdelay trap: not caught.");
}

std::uint32_t greet_delay_from_env(const char* value) {
  unsigned delay = 0;
  if (std::sscanf(value, "%u", &delay) != 1) return default_greet_delay_ms;
  return delay;
}
