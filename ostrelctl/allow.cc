// ostrelctl allow: a verified server now, as a promotion by ostrel makes one.
#include <cstdio>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl allow IP|NETWORK [--db PATH]\n"
    "Makes IP a verified server now and removes its pending rows, as a promotion by ostrel does.\n"
    "A NETWORK such as 192.0.2.0/24 is what ostrel keys clients on with GREYLIST_CIDR4/6.\n";

}  // namespace

int allow_command(int argc, char** argv) {
  client_address::KeyText key{};
  std::unique_ptr<Store> store;
  if (int status = start_key_command(argc, argv, usage, key, store); status >= 0) return status;
  StoreResult<AllowReport> allowed = store->allow(key.data());
  if (!allowed.ok()) {
    report_failure("allow", *allowed.error);
    return 1;
  }
  const AllowReport& report = allowed.value;
  std::printf("%s is %s a verified server; %lld pending row%s removed\n", key.data(), report.known ? "still" : "now",
              report.purged, report.purged == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}
