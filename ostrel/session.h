// The SMTP dialogue watcher: passes the dialogue between the client and the
// server line by line and records the envelope, up to the first accepted
// recipient.
#pragma once

#include <array>
#include <cstddef>

enum SessionResult : int {
  SESSION_UNCOMPILED = -1,  // an expression did not compile; nothing was read
  SESSION_RCPT = 0,         // first accepted RCPT TO; its reply held in srvresp
  SESSION_AUTH = 2,         // AUTH accepted, reply passed on
  SESSION_DATA = 3,         // DATA accepted, reply passed on
  SESSION_STARTTLS = 4,     // STARTTLS accepted, reply passed on
  SESSION_HELD = 5,         // DATA or BDAT after recipients none of which had an
                            // extractable address; the line is held, unsent
};

inline constexpr std::size_t held_line_size = 1024;

// A client line that the session kept from the server, as it was read.
struct HeldLine {
  std::array<char, held_line_size> text{};
  std::size_t len = 0;
};

// Runs the session on the client descriptors and the pipes. Ends the
// process itself at QUIT (0), at a refused greeting (0), on the length
// limit and on read failures (100). Fills held for SESSION_HELD.
[[nodiscard]] int envelope_session(HeldLine& held);
