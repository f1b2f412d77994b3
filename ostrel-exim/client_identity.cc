#include "client_identity.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "client_address.h"

namespace client_identity {

namespace {

// A port as tcpserver writes it: decimal digits, 0 to 65535.
bool valid_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

// inet_ntop writes an IPv4-compatible IPv6 address with a dotted quad
// (::192.0.2.1), which exim would read as an address and a port: such an
// address is written as eight groups instead.
std::string ipv6_text(const client_address::IpAddress& address) {
  client_address::KeyText text = client_address::format(address);
  std::string_view written(text.data());
  if (written.find('.') == std::string_view::npos) return std::string(written);
  std::string groups;
  for (std::size_t i = 0; i < address.bytes.size(); i += 2) {
    char group[8];
    std::snprintf(group, sizeof group, i == 0 ? "%x" : ":%x", (address.bytes[i] << 8) | address.bytes[i + 1]);
    groups += group;
  }
  return groups;
}

}  // namespace

Variables from_environment() {
  return {std::getenv("TCPREMOTEIP"), std::getenv("TCPREMOTEPORT"), std::getenv("TCPLOCALIP"),
          std::getenv("TCPLOCALPORT")};
}

Part exim_address(std::string_view address, const char* port, std::string& out) {
  std::optional<client_address::IpAddress> parsed = client_address::parse(address);
  if (!parsed) return Part::bad_address;
  if (port != nullptr && !valid_port(port)) return Part::bad_port;
  out = parsed->family == client_address::Family::ipv4 ? std::string(client_address::format(*parsed).data())
                                                       : ipv6_text(*parsed);
  if (port != nullptr) out.append(".").append(port);
  return Part::ok;
}

Identity read(const Variables& variables) {
  Identity identity;
  if (variables.remote_ip == nullptr) {
    identity.status = Status::remote_missing;
    return identity;
  }
  switch (exim_address(variables.remote_ip, variables.remote_port, identity.remote)) {
    case Part::ok:
      break;
    case Part::bad_address:
      identity.status = Status::remote_not_an_address;
      return identity;
    case Part::bad_port:
      identity.status = Status::remote_port_bad;
      return identity;
  }
  if (variables.local_ip == nullptr) return identity;
  switch (exim_address(variables.local_ip, variables.local_port, identity.local)) {
    case Part::ok:
      break;
    case Part::bad_address:
      identity.status = Status::local_not_an_address;
      break;
    case Part::bad_port:
      identity.status = Status::local_port_bad;
      break;
  }
  return identity;
}

}  // namespace client_identity
