#include "dnsbl.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <unistd.h>

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

}  // namespace

bool reverse_ipv4(const char* text, std::array<char, reversed_size>& reversed) {
  in_addr addr{};
  if (inet_pton(AF_INET, text, &addr) != 1) return false;
  const auto* octets = reinterpret_cast<const unsigned char*>(&addr.s_addr);
  std::snprintf(reversed.data(), reversed.size(), "%d.%d.%d.%d", octets[3], octets[2], octets[1], octets[0]);
  return true;
}

bool Lookup::open() {
  if (ares_init(&channel_) != ARES_SUCCESS) return false;
  FD_ZERO(&read_fds_);
  FD_ZERO(&write_fds_);
  return true;
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

void Lookup::process_once() { ares_process(channel_, &read_fds_, &write_fds_); }

void Lookup::wait_for_zone(const ZoneQuery& zone) {
  for (int pass = 0; pass < passes_per_zone; ++pass) {
    usleep(pass_sleep_us);
    process_once();
    if (zone.slot != 0) break;
  }
}

void Lookup::final_wait() {
  while (completed_ < static_cast<unsigned>(queried_)) {
    usleep(pass_sleep_us);
    ares_fds(channel_, &read_fds_, &write_fds_);
    process_once();
  }
}

Outcome Lookup::run(const char* zone_list) {
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
    ares_query(channel_, zone.name.data(), ns_c_in, ns_t_a, query_callback, &zone);
    zone_name = strsep(&rest, " ");
    ares_fds(channel_, &read_fds_, &write_fds_);
    wait_for_zone(zone);
    if (zone_name == nullptr) break;
    if (queried_ == max_zones) return Outcome::over_limit;
    if (listed_) break;
  }
  final_wait();
  return Outcome::done;
}

}  // namespace dnsbl
