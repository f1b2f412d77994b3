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

}  // namespace

std::size_t get_line(int fd, char* string, std::size_t len) {
  assert(string != nullptr && len > 0);
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1) {
    log_msg(3, "Cannot get attributes for fd %d", fd);
    terminate_process(exit_status::gave_up);
  }
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);

  std::size_t i = 0;
  while (i + 1 < len) {
    ssize_t n = read(fd, string + i, 1);
    if (n == 1) {
      if (string[i++] == '\n') break;
      continue;
    }
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
  string[i] = '\0';
  fcntl(fd, F_SETFL, flags);
  return i;
}
