#include "connection_slots.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// What the exit handler and the signal handler need to let the slot go.
char slot_path[PATH_MAX];
volatile std::sig_atomic_t slot_fd = -1;

constexpr std::size_t longest_readable_key = 64;

bool readable_key(std::string_view key) {
  if (key.empty() || key.size() > longest_readable_key) return false;
  for (char c : key)
    if (std::strchr("0123456789abcdefABCDEF.:/", c) == nullptr) return false;
  return true;
}

// FNV-1a: stable across processes and builds.
std::uint64_t key_hash(std::string_view key) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : key) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

// A descriptor of the locked file at path, -1 with errno EWOULDBLOCK when
// another connection holds it, -1 with another errno on failure. The
// previous holder may remove the file meanwhile: only a lock on the file
// that is still there counts.
int lock_slot(const char* path) {
  for (;;) {
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
    struct stat locked {};
    struct stat present {};
    if (fstat(fd, &locked) == 0 && stat(path, &present) == 0 && locked.st_dev == present.st_dev &&
        locked.st_ino == present.st_ino)
      return fd;
    close(fd);
  }
}

}  // namespace

std::optional<unsigned> parse_connection_limit(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + static_cast<unsigned>(c - '0'), most_connections_per_client + 1);
  }
  if (value < 1 || value > most_connections_per_client) return std::nullopt;
  return value;
}

std::string slot_file_name(std::string_view key, unsigned slot) {
  std::string name;
  if (readable_key(key)) {
    for (char c : key) name += c == '/' ? '_' : c;
  } else {
    char hashed[24];
    std::snprintf(hashed, sizeof hashed, "key-%016llx", static_cast<unsigned long long>(key_hash(key)));
    name = hashed;
  }
  return name + ".slot" + std::to_string(slot);
}

SlotTaken take_connection_slot(const char* directory, const char* key, unsigned limit) {
  for (unsigned slot = 0; slot < limit; ++slot) {
    std::string path = std::string(directory) + "/" + slot_file_name(key, slot);
    if (path.size() >= sizeof slot_path) {
      errno = ENAMETOOLONG;
      return SlotTaken::failed;
    }
    int fd = lock_slot(path.c_str());
    if (fd < 0 && errno == EWOULDBLOCK) continue;
    if (fd < 0) return SlotTaken::failed;
    std::memcpy(slot_path, path.c_str(), path.size() + 1);
    slot_fd = fd;  // after the path: the handlers look at the descriptor first
    return SlotTaken::taken;
  }
  return SlotTaken::all_busy;
}

void release_connection_slot() {
  int fd = slot_fd;
  if (fd < 0) return;
  slot_fd = -1;
  int saved_errno = errno;
  unlink(slot_path);
  close(fd);
  errno = saved_errno;
}
