#include "relay.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_status.h"
#include "log.h"
#include "relay_loop.h"
#include "relay_io.h"
#include "server_end.h"
#include "signals.h"
#include "state.h"
#include "write_all.h"

namespace {

// The server program's pipes; the end of the client's input closes its input.
class ServerPipes : public FdSide {
 public:
  ServerPipes() : FdSide(pipe_from_server[0], pipe_to_server[1], wait_limit_ms, watched_poll) {}
  void end_input() { close_server_input(); }
};

// The client's descriptors; a write that meets a client that has hung up
// fails as hung_up, its SIGPIPE taken back.
class ClearClient : public FdSide {
 public:
  ClearClient() : FdSide(client_in, client_out, wait_limit_ms, watched_poll) {}
  [[nodiscard]] WriteStatus write(const char* data, std::size_t len) {
    ClientWriteGuard guard;
    if (FdSide::write(data, len) == WriteStatus::done) return WriteStatus::done;
    if (errno != EPIPE && errno != ECONNRESET) return WriteStatus::failed;
    int saved = errno;
    guard.client_hung_up();
    errno = saved;
    return WriteStatus::hung_up;
  }
};

}  // namespace

void report_child_state() {
  int status = 0;
  if (waitpid(-1, &status, WNOHANG) <= 0) return;
  if (WIFSIGNALED(status))
    log_msg(7, "Child terminated, signal %d.", WTERMSIG(status));
  else
    log_msg(7, "Child exited, status %d.", WEXITSTATUS(status));
}

// The chunks pass through buf, the scratch space of one step.
void relay_traffic(bool server_owes_reply) {
  make_nonblocking(client_in);
  make_nonblocking(pipe_from_server[0]);
  ClearClient client;
  ServerPipes server;
  RelaySettings settings{wait_limit_ms, watched_poll, DialogueTurn(owed_reply_wait_ms, server_owes_reply)};
  RelayResult result = relay_loop(client, server, std::span<char>(buf.data(), relay_chunk_size), settings);
  switch (result.end) {
    case RelayEnd::server_ended:
    case RelayEnd::wait_failed:
    case RelayEnd::client_read_failed:
    case RelayEnd::client_hung_up:
      terminate_process(exit_status::orderly);
    case RelayEnd::timed_out:
      log_msg(6, "Timeout while reading from network (%d:%hd:%hd).", result.ready, result.client_events,
              result.server_events);
      report_child_state();
      terminate_process(exit_status::gave_up);
    case RelayEnd::client_write_failed:
      log_msg(3, "Unable to write to the client %d bytes: %s.", static_cast<int>(result.bytes), strerror(result.error));
      terminate_process(exit_status::orderly);
    case RelayEnd::server_write_failed:
      log_msg(3, "Unable to write to the server %d bytes: %s.", static_cast<int>(result.bytes), strerror(result.error));
      terminate_process(exit_status::orderly);
  }
  terminate_process(exit_status::orderly);
}
