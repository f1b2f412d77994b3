#include "server_end.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "log.h"
#include "state.h"

namespace {

volatile std::sig_atomic_t server_pid = -1;
// Readable once the program has ended; -1 where the kernel has no pidfd.
volatile std::sig_atomic_t server_pidfd = -1;

// Collects the server program, waiting at most limit_ms for its end: on
// its pidfd, or else in steps of a millisecond. The pid that waitpid
// returned: 0 while the program runs, -1 when there is nothing to collect.
pid_t reap_within(pid_t pid, int limit_ms, int& status) {
  if (server_pidfd >= 0) {
    pollfd entry{server_pidfd, POLLIN, 0};
    (void)poll(&entry, 1, limit_ms);
    return waitpid(pid, &status, WNOHANG);
  }
  pid_t got = waitpid(pid, &status, WNOHANG);
  for (int waited = 0; got == 0 && waited < limit_ms; ++waited) {
    (void)poll(nullptr, 0, 1);
    got = waitpid(pid, &status, WNOHANG);
  }
  return got;
}

}  // namespace

void note_server_started(pid_t pid) {
  if (pid <= 0) return;
  server_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  server_pid = pid;
}

void close_server_input() {
  int fd = pipe_to_server[1];
  if (fd < 0) return;
  pipe_to_server[1] = -1;
  close(fd);
}

void collect_server(int limit_ms) {
  pid_t pid = server_pid;
  int status = 0;
  pid_t got = pid > 0 ? reap_within(pid, limit_ms, status) : waitpid(-1, &status, WNOHANG);
  if (got <= 0) return;
  bool normal = WIFEXITED(status);
  log_pieces(7, {"Child exited (", logchan::Decimal(normal ? 1 : 0).c_str(), ") status ",
                 logchan::Decimal(normal ? WEXITSTATUS(status) : 0).c_str(), "."});
}
