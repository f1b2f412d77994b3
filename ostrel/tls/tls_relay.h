// The relay between the client's TLS connection and the SMTP server
// program's pipes, for the rest of a connection that passed.
#pragma once

#include <string>

#include "relay_io.h"
#include "tls.h"

enum class TlsRelayEnd {
  server_ended,         // the server program's output ended: an orderly end
  timed_out,            // neither side moved within the wait limit
  client_failed,        // the TLS connection broke (not an orderly close)
  client_hung_up,       // a write met a client that had hung up: an orderly end
  client_write_failed,  // the client took no more data
  server_write_failed,  // the server program took no more data
};

struct TlsRelayResult {
  TlsRelayEnd end;
  std::size_t bytes = 0;  // the chunk a failed write held
  std::string reason;     // what failed, for the log line
};

// Carries data both ways until the server program's output ends, reading at
// most one TLS record's worth at a time and finishing every write (each wait
// for room lasts at most wait_ms) before it reads more. A wait for input
// lasts at most wait_ms, or turn's limit while the server owes a reply.
// Data held inside the library is taken before poll is asked. When the
// client ends TLS or its input, the server's input is closed (server_in
// becomes -1) and the server's output is still carried until it ends. When
// the server's output ends, the client is sent close_notify. Writes to the
// client are made under a ClientWriteGuard. Every wait goes through wait.
[[nodiscard]] TlsRelayResult relay_tls(TlsConnection& tls, int server_out, int& server_in, int wait_ms,
                                       PollFunction wait = ::poll, DialogueTurn turn = {});
