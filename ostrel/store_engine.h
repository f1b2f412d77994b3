// The seam between the greylist store and the database engine behind it.
// The store formats, logs and checks every statement itself; an engine only
// opens a location, runs one statement text (handing each result row, as
// text, to the row callback) and closes. One engine is active per process.
#pragma once

#include <string>

// The row callback's shape: SQLite's, which the other engine follows too.
using RowCallback = int (*)(void* userarg, int argc, char** argv, char** colnames);

// How one statement went.
struct EngineOutcome {
  bool ok = true;
  bool has_message = false;  // whether the engine gave a message of its own
  std::string message;       // that message
  std::string code_text;     // the engine's description of its result code
  long changes = 0;          // rows inserted, updated or deleted
};

enum class EngineOpen { opened, failed, refused };

struct StoreEngine {
  // Opens the store at location, creating a missing one when create_missing
  // and the engine can; on failure error says why in one line.
  EngineOpen (*open)(const char* location, bool create_missing, std::string& error);
  // Closes it; harmless when nothing is open.
  void (*close)();
  // Runs one statement in autocommit; rows go to on_row when it is given.
  EngineOutcome (*exec)(const char* sql, RowCallback on_row, void* userarg);
  // Names the open store for people, without secrets or connection strings.
  std::string (*describe)();
};

extern const StoreEngine sqlite_engine;
// Null when the program was built without PostgreSQL support.
extern const StoreEngine* const postgres_engine;
