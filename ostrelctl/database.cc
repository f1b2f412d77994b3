#include "database.h"

#include <sqlite3.h>

#include <cstdio>

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
