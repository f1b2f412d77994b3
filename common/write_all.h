// Writing a whole chunk to a descriptor that may be non-blocking.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

// The wait for room: poll itself, or a caller's poll that also watches
// something else (ostrel's ends the process when a signal arrives).
using PollFunction = int (*)(pollfd* entries, nfds_t count, int timeout_ms);

// Writes all len bytes, waiting for the descriptor to become writable
// (at most timeout_ms per wait, through wait) whenever it would block or
// took only part. Only a non-blocking descriptor has its waits bounded.
// Returns the number of bytes written: len on success, fewer when a write
// failed or a wait ran out (errno then tells why; EAGAIN for the time-out).
std::size_t write_all(int fd, const char* data, std::size_t len, int timeout_ms, PollFunction wait = ::poll);

// Adds O_NONBLOCK to the descriptor's status flags (those of every
// descriptor that shares its open file description). Returns false when
// fcntl fails.
bool make_nonblocking(int fd);
