// The SMTP dialogue watcher: passes the dialogue between the client and the
// server line by line and records the envelope, up to the first accepted
// recipient.
#pragma once

#include <array>
#include <cstddef>

#include "state.h"

// How the watched part of the dialogue ended.
enum class SessionEnd {
  uncompiled,  // an expression did not compile; nothing was read
  recipient,   // first accepted RCPT TO; its reply held in srvresp
  auth,        // AUTH accepted, reply passed on
  data,        // DATA accepted, reply passed on
  starttls,    // STARTTLS accepted by the server, reply passed on
  held,        // DATA or BDAT after recipients none of which had an
               // extractable address; the line is held, unsent
};

inline constexpr std::size_t held_line_size = 1024;

// A client line that the session kept from the server, as it was read.
struct HeldLine {
  std::array<char, held_line_size> text{};
  std::size_t len = 0;
};

struct SessionResult {
  SessionEnd end = SessionEnd::uncompiled;
  // What follows: the decision, on the reply held in srvresp or the held
  // line; otherwise the rest of the connection is relayed untouched, the
  // server's reply (if any) passed on already.
  bool decide = false;
  HeldLine held;  // filled when end is held
};

// Runs the session on the client descriptors and the pipes. Ends the
// process itself at QUIT (0), at a refused greeting (0), on the length
// limit and on read failures (100). The session fills in envelope (from and
// to empty on entry) and records the client's cmderrs fact.
[[nodiscard]] SessionResult envelope_session(Envelope& envelope, ClientMetainfo& client);
