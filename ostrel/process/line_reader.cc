#include "line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

#include "exit_status.h"
#include "log.h"
#include "signals.h"
#include "state.h"

namespace {

[[noreturn]] void read_timed_out(int fd) {
  log_msg(6, "Read timeout reached for socket %d, client %s", fd, client_metainfo.addr);
  terminate_process(exit_status::gave_up);
}

void wait_for_input(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (watched_poll(&entry, 1, wait_limit_ms) <= 0) read_timed_out(fd);
}

// One read of at most len bytes, waiting for input as long as each wait ends
// within the limit; the number of bytes read, at least one.
std::size_t read_waiting(int fd, char* data, std::size_t len) {
  for (;;) {
    ssize_t n = read(fd, data, len);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EAGAIN) {
      wait_for_input(fd);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_msg(3, "Error in read(): %s", strerror(errno));
      terminate_process(exit_status::gave_up);
    }
    log_msg(6, "Client '%s' dropped the connection.", client_metainfo.addr);
    terminate_process(exit_status::gave_up);
  }
}

// The descriptor is non-blocking while it lives; its flags are restored.
class NonBlocking {
 public:
  explicit NonBlocking(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
    if (flags_ == -1) {
      log_msg(3, "Cannot get attributes for fd %d", fd);
      terminate_process(exit_status::gave_up);
    }
    fcntl(fd, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~NonBlocking() { fcntl(fd_, F_SETFL, flags_); }
  NonBlocking(const NonBlocking&) = delete;
  NonBlocking& operator=(const NonBlocking&) = delete;

 private:
  int fd_;
  int flags_;
};

}  // namespace

std::size_t get_line(int fd, char* string, std::size_t len) {
  assert(string != nullptr && len > 0);
  NonBlocking nonblocking(fd);
  std::size_t i = 0;
  while (i + 1 < len) {
    read_waiting(fd, string + i, 1);
    if (string[i++] == '\n') break;
  }
  string[i] = '\0';
  return i;
}

std::size_t get_some(int fd, char* data, std::size_t len) {
  assert(data != nullptr && len > 0);
  NonBlocking nonblocking(fd);
  return read_waiting(fd, data, len);
}
