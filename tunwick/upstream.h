// The upstream connector: its arguments, the connection and the relay.
#pragma once

#include <array>
#include <cstdint>

#include "relay_io.h"
#include "unique_fd.h"

namespace upstream {

inline constexpr std::uint16_t default_port = 25;
inline constexpr std::size_t address_size = 16;  // a dotted quad and a NUL

enum class AddressWord { ok, missing, too_long };

struct Target {
  std::array<char, address_size> address{};
  std::uint16_t port = default_port;
};

// The first white-space-delimited word of arg into target.address.
[[nodiscard]] AddressWord read_address_word(const char* arg, Target& target);
// The port of argument 2 ("%hu"), 25 when there is none or it is no number.
[[nodiscard]] std::uint16_t read_port(const char* arg);

enum class ConnectFailure { none, socket, connect };

struct Connection {
  UniqueFd fd;                                    // open when failure is none
  ConnectFailure failure = ConnectFailure::none;  // errno tells why
};

// Connects to the target, waiting at most timeout_ms for the connection
// (errno ETIMEDOUT when the wait runs out). The socket is non-blocking.
[[nodiscard]] Connection connect_to(const Target& target, int timeout_ms = wait_limit_ms);

// Standard output: non-blocking, so that every write to the client waits
// at most 40 seconds for room, and without Nagle's delay where it is a TCP
// socket, so that every reply line leaves at once.
void prepare_client_output();

// The longest wait for a reply the server owes (the last bytes came from
// the client): 10 minutes, as long as an SMTP client waits for the reply to
// the end of a message; past that the client has given up.
inline constexpr int owed_reply_wait_ms = 10 * 60 * 1000;

// Relays between standard input/output and the socket. The end of standard
// input shuts the socket's sending side, and the server's replies are still
// carried until the server ends; the server's end ends the relay. A wait
// for input lasts at most 40 seconds, or owed_reply_wait_ms while the server
// owes a reply. A client that takes no more data gets the server a QUIT,
// unless its input has ended: then it is the orderly end, without a line.
// Returns the exit status.
[[nodiscard]] int relay(int socket_fd);

}  // namespace upstream
