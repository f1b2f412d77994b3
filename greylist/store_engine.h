// The seam between the greylist store and the database engine behind it.
// The store formats, logs and checks every statement itself; an engine only
// opens a location, runs one statement text (handing each result row, as
// text, to the row callback) and closes. One engine is active per process.
#pragma once

#include <cstdint>
#include <string>

// The row callback's shape: SQLite's, which the other engine follows too.
using RowCallback = int (*)(void* userarg, int argc, char** argv, char** colnames);

// How one statement went.
struct EngineOutcome {
  bool ok = true;
  // The failure is the store being out of reach or too slow (no connection,
  // a connection lost, no answer in time, a lock or a slot that did not come
  // free in time), not an answer the store gave (a missing table, a refused
  // permission, a bad location).
  bool unavailable = false;
  bool has_message = false;  // whether the engine gave a message of its own
  std::string message;       // that message
  std::string code_text;     // the engine's description of its result code
  long changes = 0;          // rows inserted, updated or deleted
};

enum class EngineOpen { opened, failed, unreachable, refused };

struct StoreEngine {
  // Opens the store at location, creating a missing one when create_missing
  // and the engine can; on failure error says why in one line.
  EngineOpen (*open)(const char* location, bool create_missing, std::string& error);
  // Closes it; harmless when nothing is open.
  void (*close)();
  // Runs one statement in autocommit, or inside the transaction that
  // hold_key opened; rows go to on_row when it is given.
  EngineOutcome (*exec)(const char* sql, RowCallback on_row, void* userarg);
  // Names the open store for people, without secrets or connection strings.
  std::string (*describe)();
  // Whether an idle connection takes one of the store's limited slots (a
  // server process, a pool's connection): then nothing holds one while a
  // dialogue runs.
  bool idle_connection_costly;
  // The column that names a row of any table, for deletions in batches.
  const char* row_id;
  // From the next statement until release_key, the statements run in one
  // transaction that holds a lock on key, so that processes holding the
  // same key run one after another. A no-op on SQLite, whose statements
  // each run on their own.
  void (*hold_key)(std::uint64_t key);
  // Ends that transaction, keeping what it wrote; ok when none is open.
  EngineOutcome (*release_key)();
};

// How long one PostgreSQL statement may take, retries included, in
// milliseconds; 0 for no limit of ostrel's own (the admin's schema changes).
extern int postgres_statement_deadline_ms;

extern const StoreEngine sqlite_engine;
// Null when the program was built without PostgreSQL support.
extern const StoreEngine* const postgres_engine;
