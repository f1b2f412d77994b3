// ostrelctl stats: counts, ages and what the next cleanups delete.
#include <cstdio>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl stats [--db PATH]\n"
    "Rows in each table, pending rows by attempts, oldest and newest timestamps, and what the\n"
    "next cleanups would delete (at the ages GREYLIST_PENDING_HOURS and GREYLIST_VERIFIED_HOURS set,\n"
    "as for ostrel).\n";

}  // namespace

// The lines are printed only once the store has given every figure.
int stats_command(int argc, char** argv) {
  CommandLine line;
  if (int status = parse_command_line(argc, argv, usage, {false, false, 0}, line); status >= 0) return status;
  std::optional<CleanupAges> ages = read_cleanup_ages();
  if (!ages) return 2;
  std::unique_ptr<Store> store = open_existing_store(database_location(line));
  if (!store) return 1;
  StoreResult<StoreStats> counted = store->stats(ages->pending_hours, ages->verified_hours);
  if (!counted.ok()) {
    report_failure("stats", *counted.error);
    return 1;
  }
  const StoreStats& stats = counted.value;
  std::string by_attempts;
  for (const auto& [attempts, rows] : stats.by_attempts) by_attempts += " " + attempts + ": " + std::to_string(rows);
  std::printf("verified: %lld rows, oldest %s, newest %s; the next cleanup deletes %lld (not seen for %u hours)\n",
              stats.verified_rows, stats.verified_oldest.c_str(), stats.verified_newest.c_str(), stats.verified_stale,
              ages->verified_hours);
  if (stats.verified_permanent != 0)
    std::printf("verified: %lld permanent (allow --permanent), never deleted by a cleanup\n", stats.verified_permanent);
  std::printf(
      "pending:  %lld rows, first attempts from %s, last attempt %s; the next cleanup deletes %lld "
      "(first seen over %u hours ago)\n",
      stats.pending_rows, stats.pending_first.c_str(), stats.pending_last.c_str(), stats.pending_stale,
      ages->pending_hours);
  std::printf("pending by attempts:%s\n", by_attempts.empty() ? " none" : by_attempts.c_str());
  return output_written() ? 0 : 1;
}
