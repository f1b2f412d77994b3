// ostrelctl allow: a verified server now, as a promotion by ostrel makes one,
// or for good.
#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl allow [--permanent] IP|NETWORK [--db PATH]\n"
    "Makes IP a verified server now and removes its pending rows, as a promotion by ostrel does;\n"
    "the row expires as a learned one does. With --permanent it stays until `forget` removes it\n"
    "(a database made before this option needs `ostrelctl init-db` once).\n"
    "A NETWORK such as 192.0.2.0/24 is what ostrel keys clients on with GREYLIST_CIDR4/6.\n";

// A network key is matched only by an ostrel that keys clients on networks
// of that length; said plainly when the settings here differ.
void warn_unless_keyed_on(const char* key, const client_address::KeyPrefixes& prefixes) {
  const char* slash = std::strchr(key, '/');
  if (slash == nullptr) return;
  const bool ipv6 = std::strchr(key, ':') != nullptr;
  const unsigned length = static_cast<unsigned>(std::strtoul(slash + 1, nullptr, 10));
  const unsigned set = ipv6 ? prefixes.ipv6 : prefixes.ipv4;
  if (set == length) return;
  const char* name = ipv6 ? "GREYLIST_CIDR6" : "GREYLIST_CIDR4";
  if (set == 0)
    std::fprintf(stderr,
                 "ostrelctl: warning: %s is not set here; an ostrel without %s=%u keys clients on their "
                 "addresses and will not match %s\n",
                 name, name, length, key);
  else
    std::fprintf(stderr,
                 "ostrelctl: warning: %s is %u here; an ostrel without %s=%u keys clients on other networks "
                 "and will not match %s\n",
                 name, set, name, length, key);
}

}  // namespace

int allow_command(int argc, char** argv) {
  client_address::KeyText key{};
  std::unique_ptr<Store> store;
  bool permanent = false;
  if (int status = start_key_command(argc, argv, usage, key, store, &permanent); status >= 0) return status;
  std::optional<client_address::KeyPrefixes> prefixes = read_key_prefixes();
  if (!prefixes) return 2;
  if (permanent) {
    StoreResult<bool> due = store->upgrade_due();
    if (!due.ok()) {
      report_failure("allow", *due.error);
      return 1;
    }
    if (due.value) {
      std::fprintf(stderr,
                   "ostrelctl: the database's schema keeps no permanent rows yet; run `ostrelctl init-db` on "
                   "it first\n");
      return 1;
    }
  }
  warn_unless_keyed_on(key.data(), *prefixes);
  StoreResult<AllowReport> allowed = store->allow(key.data(), permanent);
  if (!allowed.ok()) {
    report_failure("allow", *allowed.error);
    return 1;
  }
  const AllowReport& report = allowed.value;
  std::printf("%s is %s %sverified server; %lld pending row%s removed\n", key.data(), report.known ? "still" : "now",
              permanent ? "a permanent " : "a ", report.purged, report.purged == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}
