// Preloaded ahead of libfaketime into the programs under test, for a clock
// whose speed a test changes while they run (harness.SteppedClock).
// libfaketime scales the time-out of a wait by the speed it read last, and it
// reads its settings again only when the program reads the clock; a program
// that waits without reading the clock would keep the old speed. So before
// every wait this reads the clock, then waits through libfaketime.
#include <dlfcn.h>
#include <poll.h>

#include <ctime>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void read_the_clock() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
}

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeout_ms) {
  static auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
  if (timeout_ms > 0) read_the_clock();
  return real(fds, count, timeout_ms);
}

extern "C" int nanosleep(const timespec* duration, timespec* left) {
  static auto real = next<int (*)(const timespec*, timespec*)>("nanosleep");
  read_the_clock();
  return real(duration, left);
}
