// The one relay loop of ostrel (clear text and TLS) and tunwick: carries
// data both ways between a client and a server until the server's output
// ends. The end of the client's input ends the server's input, and the
// server's replies are still carried until its output ends. Every chunk is
// written whole before anything more is read; the client's input is taken
// before the server's. The loop neither logs nor ends the process: it says
// how the relay ended, and each program turns that into its own line and
// status.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <span>

#include "relay_io.h"
#include "write_all.h"

enum class ReadStatus { data, ended, failed };

struct ReadResult {
  ReadStatus status;
  std::size_t len = 0;  // the bytes read, for data (0: nothing for the relay yet)
};

enum class WriteStatus { done, hung_up, failed };

enum class RelayEnd {
  server_ended,         // the server's output ended (or could not be read)
  timed_out,            // no side showed input within the wait
  wait_failed,          // the wait itself failed
  client_read_failed,   // the client's input broke (not its end)
  client_hung_up,       // a write met a client that had hung up
  client_write_failed,  // the client took no more data
  server_write_failed,  // the server took no more data
};

struct RelayResult {
  RelayEnd end;
  std::size_t bytes = 0;      // the chunk a failed write held
  int error = 0;              // errno of the failure
  bool client_ended = false;  // the client's input had ended
  // For a time-out's line: poll's answer and what it reported of each side.
  int ready = 0;
  short client_events = 0;
  short server_events = 0;
};

struct RelaySettings {
  int wait_ms = wait_limit_ms;  // the limit of a wait for the client's input
  PollFunction wait = ::poll;
  DialogueTurn turn{};
  // An interrupted wait, and a server read that would block or was
  // interrupted, start the round again instead of ending the relay.
  bool retry_interrupted = false;
};

// A side of a relay is any type with
//   pollfd watch() const;             what to wait for (fd -1: nothing)
//   bool ready(const pollfd&) const;  whether what the wait reported is worth a read
//   bool has_pending() const;         input held inside, to be read without a wait
//   ReadResult read(char* data, std::size_t len);
//   WriteStatus write(const char* data, std::size_t len);  errno set on failure
// and the server's side also with
//   void end_input();                 the client's input has ended

// A side on plain descriptors; writes wait for room at most wait_ms at a
// time, through wait.
class FdSide {
 public:
  FdSide(int in, int out, int wait_ms, PollFunction wait = ::poll, short ready_events = POLLIN | POLLHUP)
      : in_(in), out_(out), wait_ms_(wait_ms), wait_(wait), ready_events_(ready_events) {}

  [[nodiscard]] pollfd watch() const { return {in_, POLLIN, 0}; }
  [[nodiscard]] bool ready(const pollfd& entry) const { return (entry.revents & ready_events_) != 0; }
  [[nodiscard]] bool has_pending() const { return false; }
  [[nodiscard]] ReadResult read(char* data, std::size_t len) {
    ssize_t n = ::read(in_, data, len);
    if (n < 0) return {ReadStatus::failed};
    if (n == 0) return {ReadStatus::ended};
    return {ReadStatus::data, static_cast<std::size_t>(n)};
  }
  [[nodiscard]] WriteStatus write(const char* data, std::size_t len) {
    return write_all(out_, data, len, wait_ms_, wait_) == len ? WriteStatus::done : WriteStatus::failed;
  }

 protected:
  int in_;
  int out_;
  int wait_ms_;
  PollFunction wait_;
  short ready_events_;
};

template <typename Client, typename Server>
[[nodiscard]] RelayResult relay_loop(Client& client, Server& server, std::span<char> chunk, RelaySettings settings) {
  DialogueTurn& turn = settings.turn;
  bool client_open = true;
  for (;;) {
    bool client_ready = client_open && client.has_pending();
    bool server_ready = false;
    if (!client_ready) {
      // Once the client's input has ended, only the server's output is watched.
      pollfd entries[2] = {client_open ? client.watch() : pollfd{-1, POLLIN, 0}, server.watch()};
      int ready = settings.wait(entries, 2, turn.input_wait_ms(settings.wait_ms));
      if (ready < 0) {
        if (settings.retry_interrupted && errno == EINTR) continue;
        return {RelayEnd::wait_failed, 0, errno, !client_open};
      }
      client_ready = client.ready(entries[0]);
      server_ready = server.ready(entries[1]);
      if (!client_ready && !server_ready)
        return {RelayEnd::timed_out, 0, 0, !client_open, ready, entries[0].revents, entries[1].revents};
    }

    if (client_ready) {
      ReadResult got = client.read(chunk.data(), chunk.size());
      if (got.status == ReadStatus::failed) return {RelayEnd::client_read_failed, 0, errno, false};
      if (got.status == ReadStatus::ended) {
        server.end_input();
        client_open = false;
      } else if (got.len > 0) {
        if (server.write(chunk.data(), got.len) != WriteStatus::done)
          return {RelayEnd::server_write_failed, got.len, errno, false};
        turn.client_sent();
      }
      continue;
    }

    ReadResult got = server.read(chunk.data(), chunk.size());
    if (got.status == ReadStatus::failed && settings.retry_interrupted && (errno == EAGAIN || errno == EINTR)) continue;
    if (got.status != ReadStatus::data) return {RelayEnd::server_ended, 0, 0, !client_open};
    if (got.len == 0) continue;
    WriteStatus sent = client.write(chunk.data(), got.len);
    if (sent == WriteStatus::hung_up) return {RelayEnd::client_hung_up, got.len, errno, !client_open};
    if (sent == WriteStatus::failed) return {RelayEnd::client_write_failed, got.len, errno, !client_open};
    turn.server_sent();
  }
}
