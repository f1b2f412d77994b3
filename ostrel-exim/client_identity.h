// The client of a connection as tcpserver names it in the UCSPI variables
// (TCPREMOTEIP, TCPREMOTEPORT, TCPLOCALIP, TCPLOCALPORT), written the way
// exim's -oMa and -oMi options take it: the address as inet_ntop writes
// it, an IPv4-mapped IPv6 address as its IPv4 address (as exim shows a
// client on a socket), and the port, when given, after a dot. Pure
// functions, no state.
#pragma once

#include <string>
#include <string_view>

namespace client_identity {

// The variables as the environment holds them; null for an unset one.
struct Variables {
  const char* remote_ip = nullptr;
  const char* remote_port = nullptr;
  const char* local_ip = nullptr;
  const char* local_port = nullptr;
};

[[nodiscard]] Variables from_environment();

enum class Status {
  ok,
  remote_missing,  // TCPREMOTEIP is not set
  remote_not_an_address,
  remote_port_bad,
  local_not_an_address,
  local_port_bad,
};

struct Identity {
  Status status = Status::ok;
  std::string remote;  // the value of -oMa
  std::string local;   // the value of -oMi; empty when TCPLOCALIP is not set
};

// The client's address is required; the local address and both ports are
// used when set, and a set one must be valid.
[[nodiscard]] Identity read(const Variables& variables);

// Writes "ADDRESS" or "ADDRESS.PORT" into out for an IP address text and
// an optional port text (null: no port). An IPv6 address is written
// without an embedded dotted quad, so that the only dot is the one before
// the port. out is left alone when a part is bad.
enum class Part { ok, bad_address, bad_port };
[[nodiscard]] Part exim_address(std::string_view address, const char* port, std::string& out);

}  // namespace client_identity
