// Reading one line at a time from the client or the server.
#pragma once

#include <cstddef>

#include "relay_io.h"  // wait_limit_ms

// Reads one line (up to and including "\n", at most len - 1 bytes) into
// string, one byte per read so that everything after the line stays in the
// descriptor, and terminates it with a NUL. Returns the number of bytes
// stored, which may hold NUL bytes of their own. The descriptor's flags are
// as before on return. Every failure is logged and ends the process (100).
std::size_t get_line(int fd, char* string, std::size_t len);
