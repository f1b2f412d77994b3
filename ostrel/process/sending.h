// Sending to the client and to the server program during the dialogue and
// the decision.
#pragma once

#include <cstddef>

// On the greylisting road, before the dialogue: the client's output and the
// server's input become non-blocking, so that every write waits at most 40
// seconds for room, and a TCP client gets every reply line at once
// (TCP_NODELAY: a multi-line reply is not held back until the client
// acknowledges its first line).
void prepare_for_sending();

// Writes all len bytes to fd, waiting for room as long as the reader takes
// data within 40 seconds. A reader that takes nothing for 40 seconds ends
// the process (100) with "Write timeout reached for socket %d, client %s"
// (6). Other failures are not examined: the next read meets them.
void send_bounded(int fd, const char* data, std::size_t len);
