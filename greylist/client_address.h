// Client addresses as the greylist store keys them. One client has one key
// however its address is spelled: the text inet_ntop gives, with an
// IPv4-mapped IPv6 address (::ffff:192.0.2.1) taken as the IPv4 address.
// When greylisting by network is on, the key is the client's network,
// "ADDRESS/LEN" with the host bits cleared. Pure functions, no state.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace client_address {

enum class Family { ipv4, ipv6 };

// An IPv4 address uses the first 4 bytes, the rest stay 0.
struct IpAddress {
  Family family = Family::ipv4;
  std::array<unsigned char, 16> bytes{};
};

// Room for the longest IPv6 text, "/128" and the zero byte.
inline constexpr std::size_t key_text_size = INET6_ADDRSTRLEN + 4;
using KeyText = std::array<char, key_text_size>;

struct PrefixRange {
  unsigned shortest;
  unsigned longest;
};

// The prefix lengths a network key may have: shorter ones would share one
// greylist state among too many strangers.
inline constexpr PrefixRange ipv4_prefixes{8, 32};
inline constexpr PrefixRange ipv6_prefixes{16, 128};

// Prefix lengths to key on; 0 keys on the address itself.
struct KeyPrefixes {
  unsigned ipv4 = 0;
  unsigned ipv6 = 0;
};

// A text that inet_pton takes as IPv4 or IPv6; nothing for any other text.
[[nodiscard]] std::optional<IpAddress> parse(std::string_view text);

// The address with every bit after the first prefix_length cleared.
[[nodiscard]] IpAddress network_of(const IpAddress& address, unsigned prefix_length);

// The address as inet_ntop writes it.
[[nodiscard]] KeyText format(const IpAddress& address);

// "ADDRESS/LEN" of the network holding the address. A prefix as long as
// the address names the address alone and is written as the plain address.
[[nodiscard]] KeyText format_network(const IpAddress& address, unsigned prefix_length);

// A prefix length written in decimal digits alone, within the range.
[[nodiscard]] std::optional<unsigned> parse_prefix_length(std::string_view text, PrefixRange range);

// The key of the client whose TCPREMOTEIP is text; nothing when the text is
// neither an IPv4 nor an IPv6 address (the caller then keys on it as it is).
[[nodiscard]] std::optional<KeyText> client_key(std::string_view text, const KeyPrefixes& prefixes);

enum class KeyCheck { address, network, host_bits_set, bad_network, not_an_address };

// An address or a network "ADDRESS/LEN" as an admin writes it. key receives
// the canonical key for address and network, and the network that was
// probably meant for host_bits_set.
[[nodiscard]] KeyCheck check_key(std::string_view text, KeyText& key);

}  // namespace client_address
