#include "database.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "log.h"
#include "store.h"

namespace {

enum class TableCheck { present, absent, failed };

TableCheck find_table(const Database& db, const char* name) {
  Statement stmt(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", "reading the schema");
  stmt.bind(1, name);
  Statement::Step step = stmt.step();
  if (step == Statement::Step::failed || !stmt.finish()) return TableCheck::failed;
  return step == Statement::Step::row ? TableCheck::present : TableCheck::absent;
}

// Every column that ostrel's statements use, read from no row: preparing
// them fails on a file that is no database, a missing table or a missing
// column.
constexpr const char* greylist_columns[] = {
    "SELECT ip, ts FROM verified",
    "SELECT ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts FROM pending"};

int keep_first_value(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& value = *static_cast<std::string*>(userarg);
  if (value.empty() && argc >= 1 && argv[0] != nullptr) value = argv[0];
  return 0;
}

// Why `db` is not a sound greylist database; empty when it is one.
std::string greylist_database_fault(sqlite3* db) {
  for (const char* sql : greylist_columns) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    std::string fault = rc == SQLITE_OK ? "" : sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    if (!fault.empty()) return fault;
  }
  std::string verdict;
  if (sqlite3_exec(db, "PRAGMA quick_check", keep_first_value, &verdict, nullptr) != SQLITE_OK)
    return sqlite3_errmsg(db);
  return verdict == "ok" ? "" : verdict;
}

int page_size(sqlite3* db) {
  std::string size;
  return sqlite3_exec(db, "PRAGMA page_size", keep_first_value, &size, nullptr) == SQLITE_OK ? std::atoi(size.c_str())
                                                                                            : 0;
}

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

}  // namespace

Database::~Database() {
  if (db_ != nullptr || postgres_) store_close();
}

namespace {

// One 't' or 'f' per boolean column of the row.
int record_flags(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& flags = *static_cast<std::string*>(userarg);
  for (int i = 0; i < argc; ++i) flags += argv[i] != nullptr && argv[i][0] == 't' ? 't' : 'f';
  return 0;
}

}  // namespace

// The URI itself is never printed: it may name more than it should show.
bool Database::open_postgres(const char* uri) {
  switch (store_connect(uri)) {
    case StoreOpen::opened: break;
    case StoreOpen::refused:
      std::fprintf(stderr, "ostrelctl: refusing the database: %s\n", store_errmsg());
      return false;
    case StoreOpen::failed:
      std::fprintf(stderr, "ostrelctl: cannot open database: %s\n", store_errmsg());
      return false;
  }
  postgres_ = true;
  std::string present, error;
  if (!store_exec("SELECT to_regclass('verified') IS NOT NULL, to_regclass('pending') IS NOT NULL", record_flags,
                  &present, error)) {
    std::fprintf(stderr, "ostrelctl: reading the schema failed: %s\n", error.c_str());
    return false;
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (i < present.size() && present[i] == 't') continue;
    std::fprintf(stderr, "ostrelctl: %s has no table '%s' (create it with: ostrelctl init-db)\n",
                 store_describe().c_str(), i == 0 ? "verified" : "pending");
    return false;
  }
  return true;
}

bool Database::open(const char* path) {
  log_setup("ostrelctl: ");
  path_ = path;
  if (is_postgres_location(path)) return open_postgres(path);
  // A missing file is refused, where ostrel's own open would create it.
  if (!open_file(path, StoreCreate::never, "open")) return false;
  store_register_busy_handler();
  for (const char* table : {"verified", "pending"}) {
    switch (find_table(*this, table)) {
      case TableCheck::present:
        break;
      case TableCheck::absent:
        std::fprintf(stderr, "ostrelctl: database '%s' has no table '%s' (create it with: ostrelctl init-db %s)\n",
                     path, table, path);
        return false;
      case TableCheck::failed:
        return false;
    }
  }
  store_tune_for_short_connections();  // the schema is read: no wait
  return true;
}

bool Database::open_for_restore(const char* path) {
  log_setup("ostrelctl: ");
  path_ = path;
  if (!open_file(path, StoreCreate::never, "open")) return false;
  store_register_busy_handler();
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT COUNT(*), IFNULL(SUM(name IN ('verified', 'pending')), 0) FROM sqlite_master "
                              "WHERE type = 'table'",
                              -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  const bool foreign = rc == SQLITE_ROW && sqlite3_column_int64(stmt, 0) > 0 && sqlite3_column_int64(stmt, 1) == 0;
  std::string error = rc == SQLITE_ROW ? "" : sqlite3_errmsg(db_);
  sqlite3_finalize(stmt);
  // A damaged schema is no reason to keep the damage.
  if (rc != SQLITE_ROW && (rc & 0xff) != SQLITE_CORRUPT) {
    std::fprintf(stderr, "ostrelctl: reading the schema failed: %s\n", error.c_str());
    return false;
  }
  if (foreign) {
    std::fprintf(stderr, "ostrelctl: database '%s' has tables, but neither 'verified' nor 'pending': not ostrel's\n",
                 path);
    return false;
  }
  store_tune_for_short_connections();
  return true;
}

bool Database::create(const char* path) {
  log_setup("ostrelctl: ");
  path_ = path;
  return open_file(path, StoreCreate::if_missing, "create");
}

bool Database::open_file(const char* path, StoreCreate create, const char* verb) {
  if (store_connect(path, create) == StoreOpen::opened) {
    db_ = store_handle();
    return true;
  }
  std::fprintf(stderr, "ostrelctl: cannot %s database '%s': %s\n", verb, path, store_errmsg());
  store_close();
  return false;
}

bool Database::exec(const char* sql, const char* what) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  std::fprintf(stderr, "ostrelctl: %s failed: %s\n", what, sqlite3_errmsg(db_));
  return false;
}

bool Database::copy_into(const char* file) {
  sqlite3* copy = nullptr;
  if (sqlite3_open_v2(file, &copy, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: backup failed: cannot open '%s': %s\n", file,
                 copy != nullptr ? sqlite3_errmsg(copy) : "out of memory");
    sqlite3_close(copy);
    return false;
  }
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
  int rc = SQLITE_ERROR;
  if (backup != nullptr) {
    // All pages in one step: one read transaction, so the copy is one
    // snapshot however the writers go on. The source's busy handler waits
    // for its locks; a lock on the source held by this very connection
    // cannot occur, as the tool runs nothing else meanwhile.
    rc = sqlite3_backup_step(backup, -1);
    int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE) rc = finished;
  }
  bool done = rc == SQLITE_OK || rc == SQLITE_DONE;
  if (!done) std::fprintf(stderr, "ostrelctl: backup failed: %s\n", sqlite3_errmsg(copy));
  if (sqlite3_close(copy) != SQLITE_OK && done) {
    std::fprintf(stderr, "ostrelctl: backup failed: cannot close '%s'\n", file);
    done = false;
  }
  return done;
}

Database::Restore Database::restore_from(const char* file) {
  sqlite3* opened = nullptr;
  // Read-write, so that SQLite may mend a copy left by a crash and remove
  // the log files it creates beside a copy in WAL mode; nothing is written.
  int rc = sqlite3_open_v2(file, &opened, SQLITE_OPEN_READWRITE, nullptr);
  Connection source(opened, &sqlite3_close);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: restore: cannot open '%s': %s\n", file,
                 opened != nullptr ? sqlite3_errmsg(opened) : "out of memory");
    return Restore::failed;
  }
  sqlite3_busy_handler(source.get(), busydb_callback, nullptr);
  if (std::string fault = greylist_database_fault(source.get()); !fault.empty()) {
    std::fprintf(stderr, "ostrelctl: restore: '%s' is not a sound greylist database: %s\n", file, fault.c_str());
    return Restore::unusable_source;
  }
  // SQLite cannot change the page size of a database in WAL mode.
  if (int theirs = page_size(source.get()), ours = page_size(db_); theirs != ours && store_in_wal_mode()) {
    std::fprintf(stderr, "ostrelctl: restore: '%s' has pages of %d bytes, the database in WAL mode of %d\n", file,
                 theirs, ours);
    return Restore::unusable_source;
  }
  sqlite3_backup* backup = sqlite3_backup_init(db_, "main", source.get(), "main");
  rc = SQLITE_ERROR;
  if (backup != nullptr) {
    // All pages in one step: one write transaction on the database, which
    // the busy handler waits for as ostrel's statements do.
    rc = sqlite3_backup_step(backup, -1);
    int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE) rc = finished;
  }
  if (rc != SQLITE_OK && rc != SQLITE_DONE) {
    std::fprintf(stderr, "ostrelctl: restore failed: %s\n", sqlite3_errmsg(db_));
    return Restore::failed;
  }
  return Restore::done;
}

const char* Database::file_name() const {
  const char* name = db_ != nullptr ? sqlite3_db_filename(db_, "main") : nullptr;
  return name != nullptr ? name : "";
}

int Database::changes() const { return sqlite3_changes(db_); }

Statement::Statement(const Database& db, const char* sql, const char* what) : db_(db.handle()), what_(what) {
  if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK || stmt_ == nullptr) fail();
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

bool Statement::fail() {
  if (!failed_) std::fprintf(stderr, "ostrelctl: %s failed: %s\n", what_, sqlite3_errmsg(db_));
  failed_ = true;
  return false;
}

void Statement::bind(int index, const char* text) {
  if (!failed_ && sqlite3_bind_text(stmt_, index, text, -1, SQLITE_TRANSIENT) != SQLITE_OK) fail();
}

Statement::Step Statement::step() {
  if (failed_) return Step::failed;
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return Step::row;
    case SQLITE_DONE:
      return Step::done;
    default:
      fail();
      return Step::failed;
  }
}

bool Statement::single_row() {
  Step result = step();
  if (result == Step::row) return true;
  if (result == Step::done) {
    std::fprintf(stderr, "ostrelctl: %s failed: no result\n", what_);
    failed_ = true;
  }
  return false;
}

bool Statement::run() {
  Step result;
  while ((result = step()) == Step::row) {
  }
  return result == Step::done && finish();
}

bool Statement::finish() {
  if (failed_) return false;
  int rc = sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: %s failed: %s\n", what_, sqlite3_errstr(rc));
    failed_ = true;
  }
  return !failed_;
}

std::string Statement::text(int column) const {
  const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return value != nullptr ? value : "";
}

long long Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }
