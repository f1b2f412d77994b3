// ostrelctl forget: every row of a client key, from both tables.
#include <cstdio>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl forget IP|NETWORK [--db PATH]\n"
    "Removes every row of IP from both tables: it is greylisted again like a new client.\n";

}  // namespace

int forget_command(int argc, char** argv) {
  client_address::KeyText key{};
  std::unique_ptr<Store> store;
  if (int status = start_key_command(argc, argv, usage, key, store); status >= 0) return status;
  StoreResult<ForgetReport> forgotten = store->forget(key.data());
  if (!forgotten.ok()) {
    report_failure("forget", *forgotten.error);
    return 1;
  }
  const ForgetReport& report = forgotten.value;
  std::printf("%s forgotten: %lld verified row%s and %lld pending row%s removed\n", key.data(), report.verified,
              report.verified == 1 ? "" : "s", report.pending, report.pending == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}
