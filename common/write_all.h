// Writing a whole chunk to a descriptor that may be non-blocking.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Writes all len bytes, waiting for the descriptor to become writable
// (at most timeout_ms per wait) whenever it would block or took only part.
// Returns the number of bytes written: len on success, fewer when a write
// failed or a wait ran out (errno then tells why; EAGAIN for the time-out).
std::size_t write_all(int fd, const char* data, std::size_t len, int timeout_ms);
