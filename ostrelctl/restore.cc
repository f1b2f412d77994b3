// ostrelctl restore: a copy made by backup put in place, beside live
// traffic.
#include <cstdio>

#include "command_line.h"
#include "commands.h"
#include "database_files.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl restore SOURCE [--db PATH]\n"
    "Replaces the content of the database with that of SOURCE, a copy made by backup, in one\n"
    "transaction beside live traffic: ostrel's connections wait for it as for any lock.\n"
    "SOURCE must hold both tables with every column and pass SQLite's quick check.\n";

// The exit status after one line saying what went wrong.
int report_restore_failure(const RestoreError& error, const char* source) {
  switch (error.kind) {
    case RestoreError::Kind::source_unopenable:
      std::fprintf(stderr, "ostrelctl: restore: cannot open '%s': %s\n", source, error.message.c_str());
      return 1;
    case RestoreError::Kind::source_unsound:
      std::fprintf(stderr, "ostrelctl: restore: '%s' is not a sound greylist database: %s\n", source,
                   error.message.c_str());
      return 2;
    case RestoreError::Kind::page_size:
      std::fprintf(stderr, "ostrelctl: restore: '%s' has pages of %d bytes, the database in WAL mode of %d\n", source,
                   error.theirs, error.ours);
      return 2;
    case RestoreError::Kind::failed:
      std::fprintf(stderr, "ostrelctl: restore failed: %s\n", error.message.c_str());
      return 1;
  }
  return 1;
}

// The database must exist, but its tables need not: an empty or a damaged
// file is what a restore mends.
std::unique_ptr<Store> open_restore_target(const char* location) {
  std::unique_ptr<Store> store = open_store(location, StoreCreate::never);
  if (!store) return nullptr;
  RestoreTargetCheck target = store->check_restore_target();
  switch (target.status) {
    case RestoreTargetCheck::Status::usable:
      break;
    case RestoreTargetCheck::Status::unreadable:
      std::fprintf(stderr, "ostrelctl: reading the schema failed: %s\n", target.error.c_str());
      return nullptr;
    case RestoreTargetCheck::Status::foreign:
      std::fprintf(stderr, "ostrelctl: database '%s' has tables, but neither 'verified' nor 'pending': not ostrel's\n",
                   location);
      return nullptr;
  }
  store->tune_for_short_connections();
  return store;
}

}  // namespace

int restore_command(int argc, char** argv) {
  CommandLine line;
  if (int status = parse_command_line(argc, argv, usage, {false, false, 1}, line); status >= 0) return status;
  const char* source = line.operands[0];
  const char* location = database_location(line);
  StoreChoice engine = store_for(location);
  if (!engine.store || !engine.store->copies_as_file()) {
    std::fprintf(stderr,
                 "ostrelctl: restore copies into SQLite databases only; restore a PostgreSQL store with pg_restore\n");
    return 2;
  }
  std::unique_ptr<Store> store = open_restore_target(location);
  if (!store) return 1;
  if (DatabaseFile file = database_file_named(store->file_name().c_str(), source); file != DatabaseFile::none) {
    std::fprintf(stderr, "ostrelctl: restore: '%s' is %s\n", source, describe(file));
    return 2;
  }
  if (std::optional<RestoreError> failed = store->restore_from(source)) return report_restore_failure(*failed, source);
  std::printf("Database '%s' restored from '%s'.\n", location, source);
  return output_written() ? 0 : 1;
}
