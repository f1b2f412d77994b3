// The SQLite engine of the greylist store: one file shared by every ostrel
// process of a host, with a busy handler for the locks of the others.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "store.h"
#include "store_engine.h"

namespace {

sqlite3* db = nullptr;

constexpr std::uint32_t busy_give_up_after = 30;
constexpr std::uint32_t longest_pause_ms = 480 * 1000;

EngineOpen open_file(const char* path, bool create_missing, std::string& error) {
  int flags = SQLITE_OPEN_READWRITE | (create_missing ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path, &db, flags, nullptr) == SQLITE_OK) return EngineOpen::opened;
  error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  db = nullptr;
  return EngineOpen::failed;
}

void close_file() {
  if (db == nullptr) return;
  sqlite3_close(db);
  db = nullptr;
}

std::string describe_file() {
  const char* name = db != nullptr ? sqlite3_db_filename(db, "main") : nullptr;
  return std::string("SQLite database '") + (name != nullptr ? name : "") + "'";
}

EngineOutcome exec_statement(const char* sql, RowCallback on_row, void* userarg) {
  EngineOutcome outcome;
  char* errmsg = nullptr;
  int rc = sqlite3_exec(db, sql, on_row, userarg, &errmsg);
  outcome.ok = rc == SQLITE_OK;
  if (errmsg != nullptr) {
    outcome.has_message = true;
    outcome.message = errmsg;
    sqlite3_free(errmsg);
  }
  if (!outcome.ok) outcome.code_text = sqlite3_errstr(rc);
  // A lock that outlasted the busy handler is the one failure of a local
  // file that is about time rather than the file itself.
  int primary = rc & 0xff;
  outcome.unavailable = primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
  outcome.changes = outcome.ok ? sqlite3_changes(db) : 0;
  return outcome;
}

int record_journal_mode(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  if (argc >= 1 && argv[0] != nullptr) *static_cast<bool*>(userarg) = std::strcmp(argv[0], "wal") == 0;
  return 0;
}

void hold_nothing(std::uint64_t /*key*/) {}

EngineOutcome release_nothing() { return {}; }

}  // namespace

// An open file costs nothing while it sits idle, and holds no lock between
// statements.
const StoreEngine sqlite_engine = {open_file,     close_file, exec_statement, describe_file,
                                   false,         "rowid",    hold_nothing,   release_nothing};

sqlite3* store_handle() { return db; }

bool store_in_wal_mode() {
  bool wal = false;
  return db != nullptr && sqlite3_exec(db, "PRAGMA journal_mode", record_journal_mode, &wal, nullptr) == SQLITE_OK &&
         wal;
}

void store_register_busy_handler() {
  if (db != nullptr) sqlite3_busy_handler(db, busydb_callback, nullptr);
}

// Every connection is a process of its own that opens the database, runs a
// statement or two and closes it, so two defaults of WAL mode would make the
// processes queue behind one another on a slow disk: a sync of the log at
// every commit, and a checkpoint by whichever process happens to close the
// database last. Commits then only append to the log, which keeps the
// database intact (a power loss may undo the last few rows, which costs a
// sender one more retry), and checkpoints are left to SQLite's automatic
// ones, which do not hold writers up. A reader that stays long (a backup, a
// listing) keeps those checkpoints from reaching the log's end, so the log
// grows meanwhile; SQLite reuses the file afterwards but never shrinks it, so
// the first commit after the next complete checkpoint cuts it back to 4 MiB,
// the size SQLite's automatic checkpoint (1000 pages of 4 KiB) lets it reach
// anyway. All three are optimisations: a failure is not worth a word. Run
// after the first statement, the journal mode is known without a lock, so
// none of them waits.
void store_tune_for_short_connections() {
  if (!store_in_wal_mode()) return;
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=4194304", nullptr, nullptr, nullptr);
}

std::uint32_t busy_pause_ms(int count, long random_value) {
  int shift = std::clamp(count, 0, 32);
  std::uint64_t pause = (std::uint64_t{10} << shift) + static_cast<std::uint64_t>(random_value % 20);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(pause, longest_pause_ms));
}

int busydb_callback(void* /*userarg*/, int count) noexcept {
  if (count > static_cast<int>(busy_give_up_after)) return 0;
  log_msg(7, "Ouch! Database locked (%dth time).", count);
  std::uint32_t pause = busy_pause_ms(count, random());
  log_msg(7, "Trying again in %u millisecs.", pause);
  usleep(static_cast<useconds_t>(pause) * 1000u);
  return 1;
}
