#include "write_all.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

std::size_t write_all(int fd, const char* data, std::size_t len, int timeout_ms, PollFunction wait) {
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
    int ready = wait(&entry, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) errno = EAGAIN;
    if (ready <= 0) return done;
    // Writable, or in error: the next write tells which.
  }
  return done;
}

bool make_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1) return false;
  return (flags & O_NONBLOCK) != 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
