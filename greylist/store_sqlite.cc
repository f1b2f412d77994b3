#include "store_sqlite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "store_engine.h"

namespace {

constexpr std::uint32_t busy_give_up_after = 30;
constexpr std::uint32_t longest_pause_ms = 480 * 1000;

// The write-ahead log: a commit that leaves at least checkpoint_frames in it
// checkpoints it; a complete checkpoint starts the log over at once when
// nobody else has written meanwhile, and past longest_log_frames even if
// writers must wait for the few frames written meanwhile.
constexpr int checkpoint_frames = 256;    // 1 MiB of 4 KiB pages
constexpr int longest_log_frames = 1000;  // 4 MiB, where SQLite's own checkpoint would run
constexpr sqlite3_int64 log_header_bytes = 32;
constexpr sqlite3_int64 frame_header_bytes = 24;

// Whether the log file ends after its first `frames` frames: nobody has
// appended to it since the checkpoint that copied them looked.
bool log_file_ends_after(sqlite3* handle, const char* name, int frames, sqlite3_int64 frame_bytes) {
  const char* log = sqlite3_filename_wal(sqlite3_db_filename(handle, name));
  struct stat file {};
  return log != nullptr && stat(log, &file) == 0 && file.st_size <= log_header_bytes + frame_bytes * frames;
}

// In place of SQLite's automatic checkpoint, after every commit; userarg is
// the store's frame size. Neither checkpoint waits for anyone: one that
// would is left to a later commit.
int checkpoint_after_commit(void* userarg, sqlite3* handle, const char* name, int frames) noexcept {
  if (frames < checkpoint_frames) return SQLITE_OK;
  int in_log = 0;
  int copied = 0;
  if (sqlite3_wal_checkpoint_v2(handle, name, SQLITE_CHECKPOINT_PASSIVE, &in_log, &copied) != SQLITE_OK ||
      copied != in_log)
    return SQLITE_OK;
  const auto frame_bytes = *static_cast<const std::int64_t*>(userarg);
  if (frames < longest_log_frames && !log_file_ends_after(handle, name, in_log, frame_bytes)) return SQLITE_OK;
  sqlite3_busy_handler(handle, nullptr, nullptr);
  (void)sqlite3_wal_checkpoint_v2(handle, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_handler(handle, busydb_callback, nullptr);
  return SQLITE_OK;
}

int record_page_size(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  long long page_bytes = argc >= 1 && argv[0] != nullptr ? std::atoll(argv[0]) : 0;
  if (page_bytes > 0) *static_cast<std::int64_t*>(userarg) = page_bytes + frame_header_bytes;
  return 0;
}

int record_journal_mode(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  if (argc >= 1 && argv[0] != nullptr) *static_cast<bool*>(userarg) = std::strcmp(argv[0], "wal") == 0;
  return 0;
}

}  // namespace

std::unique_ptr<Store> make_sqlite_store(const char* path) { return std::make_unique<SqliteStore>(path); }

namespace {

// Before SQLite's first use in the process: it keeps no count of the
// memory it holds (a lock and two counters at every allocation), which no
// program here asks for. Too late once SQLite is set up, which is harmless.
void count_no_memory() {
  static const bool configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  (void)configured;
}

}  // namespace

StoreOpening SqliteStore::open(StoreCreate create) {
  close();
  count_no_memory();
  int flags = SQLITE_OPEN_READWRITE | (create == StoreCreate::if_missing ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(location().c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    StoreOpening failed{StoreOpen::failed, db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory", false};
    close();
    return failed;
  }
  sqlite3_busy_handler(db_, busydb_callback, nullptr);
  return {StoreOpen::opened, "", false};
}

void SqliteStore::close() {
  if (db_ == nullptr) return;
  sqlite3_close(db_);
  db_ = nullptr;
}

std::string SqliteStore::describe() const { return "SQLite database '" + file_name() + "'"; }

std::string SqliteStore::file_name() const {
  const char* name = db_ != nullptr ? sqlite3_db_filename(db_, "main") : nullptr;
  return name != nullptr ? name : "";
}

Store::Outcome SqliteStore::run(const char* sql, RowCallback on_row, void* userarg) {
  Outcome outcome;
  char* errmsg = nullptr;
  int rc = sqlite3_exec(db_, sql, on_row, userarg, &errmsg);
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
  outcome.changes = outcome.ok ? sqlite3_changes(db_) : 0;
  return outcome;
}

bool SqliteStore::in_wal_mode() const {
  bool wal = false;
  return db_ != nullptr && sqlite3_exec(db_, "PRAGMA journal_mode", record_journal_mode, &wal, nullptr) == SQLITE_OK &&
         wal;
}

// Every connection is a process of its own that opens the database, runs a
// statement or two and closes it, so two defaults of WAL mode would make the
// processes queue behind one another on a slow disk: a sync of the log at
// every commit, and a checkpoint by whichever process happens to close the
// database last, holding off every process that opens it meanwhile. Commits
// then only append to the log, which keeps the database intact (a power loss
// may undo the last few rows, which costs a sender one more retry), and the
// log is checkpointed after commits, which holds nobody up for long.
//
// SQLite's automatic checkpoint alone does not bound the log here. A process
// that opens the database while no other has it open rebuilds the log's
// index from the log file, reading all of it, and the rebuilt index no
// longer knows how much of the log was copied already; SQLite starts the
// log over only at a write that follows a complete checkpoint in the same
// index. On a quiet server, one connection at a time, that never happened:
// the log grew by every connection, and every connection read it whole and
// checkpointed it whole again. Under load on a disk with slow syncs the
// same happened for another reason: writers kept appending while each
// checkpoint synced, so none reached the end. So after a complete
// checkpoint the committing process starts the log over itself
// (checkpoint_after_commit), and the next one to open finds a short log: at
// most about 1 MiB on a quiet server, 4 MiB under load. A reader that stays
// long (a listing) keeps checkpoints from completing, so the log grows
// meanwhile and is cut back by the first commit after it. All of this is
// optimisation: a failure is not worth a word. Run after the first
// statement, the journal mode is known without a lock, so none of it waits.
void SqliteStore::tune_for_short_connections() {
  if (!in_wal_mode()) return;
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=4194304", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA page_size", record_page_size, &frame_bytes_, nullptr);
  sqlite3_wal_hook(db_, checkpoint_after_commit, &frame_bytes_);
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
