// Reading from the client or the server: one line at a time, or what has
// arrived.
#pragma once

#include <cstddef>

#include "relay_io.h"  // wait_limit_ms

// Reads one line (up to and including "\n", at most len - 1 bytes) into
// string, one byte per read so that everything after the line stays in the
// descriptor, and terminates it with a NUL. Returns the number of bytes
// stored, which may hold NUL bytes of their own. The descriptor's flags are
// as before on return. Every failure is logged and ends the process (100).
std::size_t get_line(int fd, char* string, std::size_t len);

// Reads at least one and at most len bytes into data: what has arrived,
// waiting for it as get_line does. Returns the number of bytes read. The
// descriptor's flags are as before on return; failures end the process as
// in get_line.
std::size_t get_some(int fd, char* data, std::size_t len);
