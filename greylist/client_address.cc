#include "client_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace client_address {

namespace {

constexpr std::array<unsigned char, 12> ipv4_mapped_prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

unsigned address_bits(Family family) { return family == Family::ipv4 ? 32 : 128; }

PrefixRange prefixes_of(Family family) { return family == Family::ipv4 ? ipv4_prefixes : ipv6_prefixes; }

}  // namespace

std::optional<IpAddress> parse(std::string_view text) {
  // inet_pton needs a terminated text; nothing longer than this is an address.
  std::array<char, INET6_ADDRSTRLEN> copy{};
  if (text.size() >= copy.size() || text.find('\0') != std::string_view::npos) return std::nullopt;
  std::memcpy(copy.data(), text.data(), text.size());

  IpAddress address;
  if (inet_pton(AF_INET, copy.data(), address.bytes.data()) == 1) return address;
  if (inet_pton(AF_INET6, copy.data(), address.bytes.data()) != 1) return std::nullopt;
  if (std::memcmp(address.bytes.data(), ipv4_mapped_prefix.data(), ipv4_mapped_prefix.size()) == 0) {
    std::memmove(address.bytes.data(), address.bytes.data() + ipv4_mapped_prefix.size(), 4);
    std::memset(address.bytes.data() + 4, 0, address.bytes.size() - 4);
    return address;
  }
  address.family = Family::ipv6;
  return address;
}

IpAddress network_of(const IpAddress& address, unsigned prefix_length) {
  IpAddress network = address;
  for (unsigned byte = 0; byte < network.bytes.size(); ++byte) {
    unsigned first_bit = byte * 8;
    if (first_bit + 8 <= prefix_length) continue;
    unsigned kept = prefix_length > first_bit ? prefix_length - first_bit : 0;
    network.bytes[byte] &= static_cast<unsigned char>(0xff00u >> kept);
  }
  return network;
}

KeyText format(const IpAddress& address) {
  KeyText text{};
  inet_ntop(address.family == Family::ipv4 ? AF_INET : AF_INET6, address.bytes.data(), text.data(),
            static_cast<socklen_t>(text.size()));
  return text;
}

KeyText format_network(const IpAddress& address, unsigned prefix_length) {
  KeyText text = format(network_of(address, prefix_length));
  if (prefix_length < address_bits(address.family)) {
    std::size_t used = std::strlen(text.data());
    std::snprintf(text.data() + used, text.size() - used, "/%u", prefix_length);
  }
  return text;
}

std::optional<unsigned> parse_prefix_length(std::string_view text, PrefixRange range) {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + static_cast<unsigned>(c - '0'), range.longest + 1);  // no overflow
  }
  if (value < range.shortest || value > range.longest) return std::nullopt;
  return value;
}

std::optional<KeyText> client_key(std::string_view text, const KeyPrefixes& prefixes) {
  std::optional<IpAddress> address = parse(text);
  if (!address) return std::nullopt;
  unsigned prefix_length = address->family == Family::ipv4 ? prefixes.ipv4 : prefixes.ipv6;
  if (prefix_length == 0) return format(*address);
  return format_network(*address, prefix_length);
}

KeyCheck check_key(std::string_view text, KeyText& key) {
  std::size_t slash = text.find('/');
  std::optional<IpAddress> address = parse(text.substr(0, slash));
  if (!address) return KeyCheck::not_an_address;
  if (slash == std::string_view::npos) {
    key = format(*address);
    return KeyCheck::address;
  }
  std::optional<unsigned> prefix_length = parse_prefix_length(text.substr(slash + 1), prefixes_of(address->family));
  // An IPv4-mapped address takes an IPv4 prefix length: the network is IPv4.
  if (!prefix_length) return KeyCheck::bad_network;
  key = format_network(*address, *prefix_length);
  IpAddress network = network_of(*address, *prefix_length);
  return network.bytes == address->bytes ? KeyCheck::network : KeyCheck::host_bits_set;
}

}  // namespace client_address
