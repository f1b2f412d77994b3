// ostrelctl cleanup: ostrel's two cleanups, now, until nothing stale is left.
#include <cstdio>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

const std::string usage =
    "usage: ostrelctl cleanup [--db PATH]\n"
    "Runs both of ostrel's cleanups now: pending rows first seen more than " +
    std::to_string(pending_max_age_hours) +
    " hours ago and\nverified rows not seen for "
    "more than " +
    std::to_string(verified_max_age_hours) +
    " hours are deleted, or the hours "
    "that\nGREYLIST_PENDING_HOURS and GREYLIST_VERIFIED_HOURS set, as for ostrel.\n";

}  // namespace

int cleanup_command(int argc, char** argv) {
  CommandLine line;
  if (int status = parse_command_line(argc, argv, usage.c_str(), {false, false, 0}, line); status >= 0) return status;
  std::optional<CleanupAges> ages = read_cleanup_ages();
  if (!ages) return 2;
  std::unique_ptr<Store> store = open_existing_store(database_location(line));
  if (!store) return 1;
  StoreResult<long> pending = store->cleanup_pending(Store::CleanupRun::until_done, ages->pending_hours);
  if (!pending.ok()) {
    report_failure("cleanup", *pending.error);
    return 1;
  }
  StoreResult<long> verified = store->cleanup_verified(Store::CleanupRun::until_done, ages->verified_hours);
  if (!verified.ok()) {
    report_failure("cleanup", *verified.error);
    return 1;
  }
  std::printf("cleanup: %ld pending and %ld verified rows deleted\n", pending.value, verified.value);
  return output_written() ? 0 : 1;
}
