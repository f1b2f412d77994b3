// DNS blacklist lookups of one client address, one zone at a time.
#pragma once

#include <ares.h>

#include <array>
#include <cstddef>

namespace dnsbl {

inline constexpr int max_zones = 20;
inline constexpr int passes_per_zone = 15;
inline constexpr unsigned pass_sleep_us = 20000;
inline constexpr std::size_t query_name_size = 256;  // 255 characters and a NUL
inline constexpr std::size_t reversed_size = 16;

// The reversed dotted quad of an IPv4 address ("192.0.2.1" -> "1.2.0.192");
// false when text is not a dotted-quad address.
[[nodiscard]] bool reverse_ipv4(const char* text, std::array<char, reversed_size>& reversed);

class Lookup;

// One zone's query: its completion slot, and a copy of its query name for
// the callback's messages.
struct ZoneQuery {
  int slot = 0;
  std::array<char, query_name_size> name{};
  Lookup* lookup = nullptr;
};

enum class Outcome { done, over_limit };

class Lookup {
 public:
  Lookup(const char* client_addr, const char* reversed) : client_addr_(client_addr), reversed_(reversed) {}
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  // Opens the resolver channel; false on failure.
  [[nodiscard]] bool open();
  // Queries the zones of the blank-separated list until one lists the
  // client; done after the final wait, or over_limit when a 21st zone
  // follows the 20th (then nothing more is waited for).
  Outcome run(const char* zone_list);
  void close();
  [[nodiscard]] bool listed() const { return listed_; }

  // Called by c-ares when a zone's query has ended.
  void on_answer(ZoneQuery& zone, int status, unsigned char* answer, int length);

 private:
  bool compose_query_name(ZoneQuery& zone, const char* zone_name);
  void wait_for_zone(const ZoneQuery& zone);
  void process_once();
  void final_wait();

  const char* client_addr_;
  const char* reversed_;
  ares_channel channel_ = nullptr;
  fd_set read_fds_{};
  fd_set write_fds_{};
  std::array<ZoneQuery, max_zones> zones_{};
  unsigned completed_ = 0;
  int queried_ = 0;
  bool listed_ = false;
};

}  // namespace dnsbl
