// Preloaded into the programs under test to play a disk whose syncs are
// slow, as on a busy shared machine: fsync and fdatasync of any file whose
// path starts with SLOW_SYNC_PREFIX take SLOW_SYNC_MS milliseconds (20 by
// default) longer. Other files are synced at the disk's own speed.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool under_prefix(int fd) {
  const char* prefix = std::getenv("SLOW_SYNC_PREFIX");
  if (prefix == nullptr || *prefix == '\0') return false;
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length < 0) return false;
  path[length] = '\0';
  return std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

void slow_down(int fd) {
  if (!under_prefix(fd)) return;
  const char* value = std::getenv("SLOW_SYNC_MS");
  long ms = value != nullptr ? std::atol(value) : 20;
  timespec pause{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&pause, nullptr);
}

template <typename Sync>
Sync next(const char* name) {
  return reinterpret_cast<Sync>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  slow_down(fd);
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  slow_down(fd);
  return real(fd);
}
