// What the relays of ostrel and tunwick share: the client's descriptors,
// the wait limits, the chunk size and how a side's end shows in poll. Each
// program keeps its own messages and exit statuses.
#pragma once

#include <poll.h>

#include <cstddef>
#include <optional>

// The client connection as tcpserver hands it over.
inline constexpr int client_in = 0;
inline constexpr int client_out = 1;

// Milliseconds every wait for input, or for room to write, may last.
inline constexpr int wait_limit_ms = 40000;

// Relays move the data in chunks of this size, one read each.
inline constexpr std::size_t relay_chunk_size = 1024;

// Whether a side has input after poll: data, or a hang-up without data,
// which a read then gives as the end of that side (0).
[[nodiscard]] inline bool has_input(const pollfd& entry) { return (entry.revents & (POLLIN | POLLHUP)) != 0; }

// Whose word it is in a relayed dialogue, as far as its bytes tell: the
// server owes a reply while the last bytes came from the client. A server
// may take minutes over the final "." of a message (content scanning) after
// it has queued it, and a client that then sees its connection end without
// the reply sends the message again. So a relay waits for an owed reply up
// to its program's own limit, and for a client (the last bytes came from
// the server) the usual wait limit.
class DialogueTurn {
 public:
  // Every wait as long as a client's.
  DialogueTurn() = default;
  // reply_wait_ms: the longest wait for an owed reply; -1 for none of the
  // relay's own (a process-wide limit then ends it).
  DialogueTurn(int reply_wait_ms, bool server_owes_reply)
      : reply_wait_ms_(reply_wait_ms), server_owes_reply_(server_owes_reply) {}

  void client_sent() { server_owes_reply_ = true; }
  void server_sent() { server_owes_reply_ = false; }

  // The limit of the next wait for input, given the client's.
  [[nodiscard]] int input_wait_ms(int client_wait_ms) const {
    return server_owes_reply_ && reply_wait_ms_ ? *reply_wait_ms_ : client_wait_ms;
  }

 private:
  std::optional<int> reply_wait_ms_;
  bool server_owes_reply_ = false;
};
