#include "dnsbl.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "log.h"

namespace dnsbl {

namespace {

extern "C" void query_callback(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length) noexcept {
  auto* zone = static_cast<ZoneQuery*>(arg);
  zone->lookup->on_answer(*zone, status, answer, length);
}

void write_reversed_quad(const unsigned char* octets, std::array<char, reversed_size>& reversed) {
  std::snprintf(reversed.data(), reversed.size(), "%d.%d.%d.%d", octets[3], octets[2], octets[1], octets[0]);
}

void write_nibbles(const in6_addr& addr, std::array<char, reversed_size>& reversed) {
  static constexpr char hex[] = "0123456789abcdef";
  char* out = reversed.data();
  for (int i = 15; i >= 0; --i) {
    unsigned byte = addr.s6_addr[i];
    *out++ = hex[byte & 0xfU];
    *out++ = '.';
    *out++ = hex[byte >> 4];
    *out++ = '.';
  }
  out[-1] = '\0';  // no dot after the last digit
}

// Milliseconds from now to t, rounded up so that a wait of that length
// reaches t; 0 when t has passed.
int ms_until(Lookup::Clock::time_point t) {
  auto left = t - Lookup::Clock::now();
  if (left <= Lookup::Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

bool reverse_ipv4(const char* text, std::array<char, reversed_size>& reversed) {
  in_addr addr{};
  if (inet_pton(AF_INET, text, &addr) != 1) return false;
  write_reversed_quad(reinterpret_cast<const unsigned char*>(&addr.s_addr), reversed);
  return true;
}

bool reverse_ipv6(const char* text, std::array<char, reversed_size>& reversed) {
  in6_addr addr{};
  if (inet_pton(AF_INET6, text, &addr) != 1) return false;
  write_nibbles(addr, reversed);
  return true;
}

bool reverse_address(const char* text, std::array<char, reversed_size>& reversed) {
  if (reverse_ipv4(text, reversed)) return true;
  in6_addr addr{};
  if (inet_pton(AF_INET6, text, &addr) != 1) return false;
  if (IN6_IS_ADDR_V4MAPPED(&addr)) {
    write_reversed_quad(addr.s6_addr + 12, reversed);
  } else {
    write_nibbles(addr, reversed);
  }
  return true;
}

bool Lookup::open() {
  ares_options options{};
  options.timeout = resolver_timeout_ms;
  options.tries = resolver_tries;
  if (ares_init_options(&channel_, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) == ARES_SUCCESS) return true;
  channel_ = nullptr;
  return false;
}

void Lookup::close() {
  if (channel_ != nullptr) ares_destroy(channel_);
  channel_ = nullptr;
}

void Lookup::on_answer(ZoneQuery& zone, int status, unsigned char* answer, int length) {
  if (zone.slot == 0) ++completed_;
  ++zone.slot;
  if (status == ARES_ENODATA || status == ARES_ENOTFOUND) return;
  if (status != ARES_SUCCESS) {
    log_msg(6, "Generic error when querying '%s'.\n", zone.name.data());
    return;
  }
  listed_ = true;
  hostent* host = nullptr;
  if (ares_parse_a_reply(answer, length, &host, nullptr, nullptr) != ARES_SUCCESS) {
    log_msg(5, "Unable to parse DNS response\n");
    return;
  }
  for (char** entry = host->h_addr_list; entry != nullptr && *entry != nullptr; ++entry) {
    in_addr listed_as{};
    std::memcpy(&listed_as, *entry, sizeof listed_as);
    log_msg(6, "'%s' listed as '%s'.\n", client_addr_, inet_ntoa(listed_as));
  }
  ares_free_hostent(host);
}

// A zone that would make the query name longer than 255 characters cannot
// be asked; it is skipped.
bool Lookup::compose_query_name(ZoneQuery& zone, const char* zone_name) {
  int needed = std::snprintf(zone.name.data(), zone.name.size(), "%s.%s", reversed_, zone_name);
  if (needed >= 0 && static_cast<std::size_t>(needed) < zone.name.size()) return true;
  log_msg(3, "Zone name '%s' makes the query name longer than %u characters, skipping it.\n", zone_name,
          static_cast<unsigned>(query_name_size - 1));
  zone.name[0] = '\0';
  return false;
}

void Lookup::wait_once(Clock::time_point deadline) {
  constexpr unsigned max_sockets = ARES_GETSOCK_MAXNUM;
  std::array<ares_socket_t, max_sockets> sockets{};
  unsigned bits = static_cast<unsigned>(ares_getsock(channel_, sockets.data(), ARES_GETSOCK_MAXNUM));
  std::array<pollfd, max_sockets> fds{};
  nfds_t count = 0;
  for (unsigned i = 0; i < max_sockets; ++i) {
    short events = 0;
    if ((bits & (1U << i)) != 0) events |= POLLIN;
    if ((bits & (1U << (i + max_sockets))) != 0) events |= POLLOUT;
    if (events != 0) fds[count++] = pollfd{sockets[i], events, 0};
  }
  // Never past the deadline, and no longer than until the resolver's next
  // time-out falls due (it then sends the query to the next server).
  int budget_ms = ms_until(deadline);
  timeval longest{budget_ms / 1000, (budget_ms % 1000) * 1000};
  timeval next{};
  const timeval* wait = ares_timeout(channel_, &longest, &next);
  long wait_ms = wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000;
  int ready = poll(fds.data(), count, static_cast<int>(std::min<long>(wait_ms, budget_ms)));
  if (ready <= 0) {
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs only
    return;
  }
  for (nfds_t i = 0; i < count; ++i) {
    short got = fds[i].revents;
    if (got == 0) continue;
    ares_socket_t readable = (got & (POLLIN | POLLERR | POLLHUP)) != 0 ? fds[i].fd : ARES_SOCKET_BAD;
    ares_socket_t writable = (got & POLLOUT) != 0 ? fds[i].fd : ARES_SOCKET_BAD;
    ares_process_fd(channel_, readable, writable);
  }
}

void Lookup::wait_for_zone(const ZoneQuery& zone, Clock::time_point sent) {
  Clock::time_point deadline = std::min(sent + zone_wait, give_up_at_);
  while (zone.slot == 0 && Clock::now() < deadline) wait_once(deadline);
}

void Lookup::final_wait() {
  while (completed_ < static_cast<unsigned>(queried_) && Clock::now() < give_up_at_) wait_once(give_up_at_);
  if (completed_ < static_cast<unsigned>(queried_)) give_up();
}

// The queries still running end as if their zones had not answered.
void Lookup::give_up() {
  log_msg(4, "DNS blacklist lookups not finished within %u ms, giving them up.\n",
          static_cast<unsigned>(lookup_budget.count()));
  ares_cancel(channel_);
}

Outcome Lookup::run(const char* zone_list) {
  give_up_at_ = Clock::now() + lookup_budget;
  std::string list_copy = zone_list;  // the environment keeps DNSBL whole
  char* rest = list_copy.data();
  char* zone_name = strsep(&rest, " ");
  while (zone_name != nullptr) {
    ZoneQuery& zone = zones_[static_cast<std::size_t>(queried_)];
    if (!compose_query_name(zone, zone_name)) {
      zone_name = strsep(&rest, " ");
      continue;
    }
    ++queried_;
    zone.lookup = this;
    log_msg(7, "Querying for %s\n", zone.name.data());
    Clock::time_point sent = Clock::now();
    ares_query(channel_, zone.name.data(), ns_c_in, ns_t_a, query_callback, &zone);
    zone_name = strsep(&rest, " ");
    wait_for_zone(zone, sent);
    if (zone_name == nullptr) break;
    if (queried_ == max_zones) return Outcome::over_limit;
    if (listed_) break;
    if (Clock::now() >= give_up_at_) {
      if (completed_ == static_cast<unsigned>(queried_)) give_up();  // only zones not yet asked are left
      break;
    }
  }
  final_wait();
  return Outcome::done;
}

}  // namespace dnsbl
