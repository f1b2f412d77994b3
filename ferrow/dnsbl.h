// DNS blacklist lookups of one client address, one zone at a time.
#pragma once

#include <ares.h>

#include <array>
#include <chrono>
#include <cstddef>

namespace dnsbl {

inline constexpr int max_zones = 20;
// How long a zone's query is waited for before the next zone is asked; a
// query still running then is collected by the final wait.
inline constexpr std::chrono::milliseconds zone_wait{300};
// The whole lookup, every zone's wait and the final wait, ends this long
// after the first query at the latest; queries still running are given up.
inline constexpr std::chrono::milliseconds lookup_budget{4000};
// The resolver's wait for a server's answer to a first try (doubled on each
// later round over the servers), and its number of rounds.
inline constexpr int resolver_timeout_ms = 1000;
inline constexpr int resolver_tries = 2;
inline constexpr std::size_t query_name_size = 256;  // 255 characters and a NUL
// The longest reversed address: 32 nibbles of an IPv6 address, 31 dots and a NUL.
inline constexpr std::size_t reversed_size = 64;

// The reversed dotted quad of an IPv4 address ("192.0.2.1" -> "1.2.0.192");
// false when text is not a dotted-quad address.
[[nodiscard]] bool reverse_ipv4(const char* text, std::array<char, reversed_size>& reversed);
// The nibble name of an IPv6 address: its 32 hexadecimal digits, lowest
// first, joined by dots ("2001:db8::1" -> "1.0.0. ... .8.b.d.0.1.0.0.2");
// false when text is not an IPv6 address.
[[nodiscard]] bool reverse_ipv6(const char* text, std::array<char, reversed_size>& reversed);
// The name under which blacklists list the client: an IPv4 address and an
// IPv4-mapped IPv6 address (::ffff:192.0.2.1) as a reversed dotted quad,
// any other IPv6 address as its nibble name; false for anything else.
[[nodiscard]] bool reverse_address(const char* text, std::array<char, reversed_size>& reversed);

class Lookup;

// One zone's query: its completion slot, and a copy of its query name for
// the callback's messages.
struct ZoneQuery {
  int slot = 0;
  std::array<char, query_name_size> name{};
  Lookup* lookup = nullptr;
};

enum class Outcome { done, over_limit };

// Owns the resolver channel from open() to close(); the over-limit path
// leaves it open on purpose (the process is replaced at once).
class Lookup {
 public:
  using Clock = std::chrono::steady_clock;

  Lookup(const char* client_addr, const char* reversed) : client_addr_(client_addr), reversed_(reversed) {}
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  // Opens the resolver channel with the bounded time-out and tries; false
  // on failure.
  [[nodiscard]] bool open();
  // Queries the zones of the blank-separated list until one lists the
  // client or the lookup budget is spent; done after the final wait, or
  // over_limit when a 21st zone follows the 20th (then nothing more is
  // waited for).
  Outcome run(const char* zone_list);
  void close();
  [[nodiscard]] bool listed() const { return listed_; }

  // Called by c-ares when a zone's query has ended.
  void on_answer(ZoneQuery& zone, int status, unsigned char* answer, int length);

 private:
  bool compose_query_name(ZoneQuery& zone, const char* zone_name);
  // Waits on the resolver's sockets until a query ends, a resolver time-out
  // falls due or the deadline passes, and lets c-ares process what came.
  void wait_once(Clock::time_point deadline);
  void wait_for_zone(const ZoneQuery& zone, Clock::time_point sent);
  void final_wait();
  void give_up();

  const char* client_addr_;
  const char* reversed_;
  ares_channel channel_ = nullptr;
  std::array<ZoneQuery, max_zones> zones_{};
  unsigned completed_ = 0;
  int queried_ = 0;
  bool listed_ = false;
  Clock::time_point give_up_at_{};
};

}  // namespace dnsbl
