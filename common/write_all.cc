#include "write_all.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

std::size_t write_all(int fd, const char* data, std::size_t len, int timeout_ms) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, data + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return done;
    pollfd entry{fd, POLLOUT, 0};
    int ready = ::poll(&entry, 1, timeout_ms);
    if (ready == 0) errno = EAGAIN;
    if (ready <= 0) return done;
    // Writable, or in error: the next write tells which.
  }
  return done;
}
