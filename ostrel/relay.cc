#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_status.h"
#include "line_reader.h"
#include "log.h"
#include "relay_io.h"
#include "server_end.h"
#include "signals.h"
#include "state.h"
#include "write_all.h"

namespace {

enum class Moved { chunk, end_of_input };

// Moves one chunk to the destination, named "server" or "client" in the
// failure line. A failed read ends the process (0). The destination is
// non-blocking, so a write that would block or takes only part waits for
// room, at most 40 seconds at a time, before anything more is read.
Moved move_chunk(int from, int to, const char* destination) {
  ssize_t n = read(from, buf.data(), relay_chunk_size);
  if (n == 0) return Moved::end_of_input;
  if (n < 0) terminate_process(exit_status::orderly);
  std::size_t len = static_cast<std::size_t>(n);
  if (write_all(to, buf.data(), len, wait_limit_ms, watched_poll) != len) {
    log_msg(3, "Unable to write to the %s %d bytes: %s.", destination, static_cast<int>(n), strerror(errno));
    terminate_process(exit_status::orderly);
  }
  return Moved::chunk;
}

}  // namespace

void report_child_state() {
  int status = 0;
  if (waitpid(-1, &status, WNOHANG) <= 0) return;
  if (WIFSIGNALED(status))
    log_msg(7, "Child terminated, signal %d.", WTERMSIG(status));
  else
    log_msg(7, "Child exited, status %d.", WEXITSTATUS(status));
}

void relay_traffic() {
  const int server_out = pipe_from_server[0];
  fcntl(client_in, F_SETFL, O_NONBLOCK);
  fcntl(server_out, F_SETFL, O_NONBLOCK);

  bool client_sends = true;
  for (;;) {
    // Once the client's input has ended, only the server's output is watched.
    pollfd entries[2] = {{client_sends ? client_in : -1, POLLIN, 0}, {server_out, POLLIN, 0}};
    int ready = watched_poll(entries, 2, wait_limit_ms);
    if (ready == -1) terminate_process(exit_status::orderly);
    if (has_input(entries[0])) {
      if (move_chunk(client_in, pipe_to_server[1], "server") == Moved::end_of_input) {
        // The server gets the end of its input and may still answer what
        // it has read: its replies are carried until its output ends.
        close_server_input();
        client_sends = false;
      }
    } else if (has_input(entries[1])) {
      if (move_chunk(server_out, client_out, "client") == Moved::end_of_input)
        terminate_process(exit_status::orderly);
    } else {
      log_msg(6, "Timeout while reading from network (%d:%hd:%hd).", ready, entries[0].revents, entries[1].revents);
      report_child_state();
      terminate_process(exit_status::gave_up);
    }
  }
}
