// What the relays of ostrel and tunwick share: the client's descriptors,
// the wait limit, the chunk size and how a side's end shows in poll. Each
// program keeps its own messages and exit statuses.
#pragma once

#include <poll.h>

#include <cstddef>

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
