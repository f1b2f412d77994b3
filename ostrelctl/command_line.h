// What the database commands share: their options, the database they name,
// the client keys they take, and their lines for a store that cannot be
// used or a statement that failed.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "client_address.h"
#include "policy_settings.h"
#include "store.h"

struct CommandLine {
  const char* db_path = nullptr;
  const char* ip = nullptr;
  bool tsv = false;
  bool permanent = false;
  std::vector<const char*> operands;
};

// What a command accepts beside --db and --help.
struct Accepts {
  bool ip = false;
  bool tsv = false;
  std::size_t operands = 0;
  bool permanent = false;
};

// Parses --db, --ip, --tsv, --permanent and --help; returns -1 to go on, else the exit
// status (the usage printed).
[[nodiscard]] int parse_command_line(int argc, char** argv, const char* usage, Accepts accepts, CommandLine& line);

// --db PATH, else DBFILE, else the default path.
[[nodiscard]] const char* database_location(const CommandLine& line);

// Only a well-formed IPv4 or IPv6 address, or a network ADDRESS/LEN that
// ostrel can key clients on, is accepted, so nothing else can reach the
// database. key receives it in the form ostrel writes, the one that is
// looked up, stored and printed. False after one line saying why.
[[nodiscard]] bool read_client_key(const char* text, client_address::KeyText& key);

// The prefix lengths ostrel keys clients on (GREYLIST_CIDR4,
// GREYLIST_CIDR6), 0 where unset; none after one line saying which is bad.
[[nodiscard]] std::optional<client_address::KeyPrefixes> read_key_prefixes();

// The cleanups' ages as ostrel reads them (GREYLIST_PENDING_HOURS,
// GREYLIST_VERIFIED_HOURS); none after one line saying which is bad.
[[nodiscard]] std::optional<CleanupAges> read_cleanup_ages();

// The store at the location, opened without creating it and with both
// tables there; null after one line saying why not.
[[nodiscard]] std::unique_ptr<Store> open_existing_store(const char* location);

// Opens the store at the location, creating a missing one if asked and the
// engine can; null after one line saying why not.
[[nodiscard]] std::unique_ptr<Store> open_store(const char* location, StoreCreate create);

// "ostrelctl: COMMAND failed: ERROR".
void report_failure(const char* command, const StoreError& error);

// The start of a command on one client key (allow, forget): its command
// line with the key as its one operand, then the store. Returns the status
// to end with (2 for a bad line or key, 1 for a store that would not open),
// or -1 with key and store ready. A command that takes --permanent (allow)
// gives permanent, which receives whether it was given.
[[nodiscard]] int start_key_command(int argc, char** argv, const char* usage, client_address::KeyText& key,
                                    std::unique_ptr<Store>& store, bool* permanent = nullptr);
