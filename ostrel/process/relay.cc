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

// Reads one chunk into buf: its length, 0 at the end of input. A failed
// read ends the process (0).
std::size_t read_chunk(int from) {
  ssize_t n = read(from, buf.data(), relay_chunk_size);
  if (n < 0) terminate_process(exit_status::orderly);
  return static_cast<std::size_t>(n);
}

// The writes below finish the chunk in buf before anything more is read:
// the destinations are non-blocking, so a write that would block or takes
// only part waits for room, at most 40 seconds at a time. A failure ends
// the process (0).

void send_to_server(std::size_t len) {
  if (write_all(pipe_to_server[1], buf.data(), len, wait_limit_ms, watched_poll) == len) return;
  log_msg(3, "Unable to write to the server %d bytes: %s.", static_cast<int>(len), strerror(errno));
  terminate_process(exit_status::orderly);
}

// A client that has hung up ends the process without a line.
void send_to_client(std::size_t len) {
  ClientWriteGuard guard;
  if (write_all(client_out, buf.data(), len, wait_limit_ms, watched_poll) == len) return;
  if (errno == EPIPE || errno == ECONNRESET) {
    guard.client_hung_up();
    terminate_process(exit_status::orderly);
  }
  log_msg(3, "Unable to write to the client %d bytes: %s.", static_cast<int>(len), strerror(errno));
  terminate_process(exit_status::orderly);
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

void relay_traffic(bool server_owes_reply) {
  const int server_out = pipe_from_server[0];
  fcntl(client_in, F_SETFL, O_NONBLOCK);
  fcntl(server_out, F_SETFL, O_NONBLOCK);

  DialogueTurn turn(owed_reply_wait_ms, server_owes_reply);
  bool client_sends = true;
  for (;;) {
    // Once the client's input has ended, only the server's output is watched.
    pollfd entries[2] = {{client_sends ? client_in : -1, POLLIN, 0}, {server_out, POLLIN, 0}};
    int ready = watched_poll(entries, 2, turn.input_wait_ms(wait_limit_ms));
    if (ready == -1) terminate_process(exit_status::orderly);
    if (has_input(entries[0])) {
      std::size_t len = read_chunk(client_in);
      if (len == 0) {
        // The server gets the end of its input and may still answer what
        // it has read: its replies are carried until its output ends.
        close_server_input();
        client_sends = false;
        continue;
      }
      send_to_server(len);
      turn.client_sent();
    } else if (has_input(entries[1])) {
      std::size_t len = read_chunk(server_out);
      if (len == 0) terminate_process(exit_status::orderly);
      send_to_client(len);
      turn.server_sent();
    } else {
      log_msg(6, "Timeout while reading from network (%d:%hd:%hd).", ready, entries[0].revents, entries[1].revents);
      report_child_state();
      terminate_process(exit_status::gave_up);
    }
  }
}
