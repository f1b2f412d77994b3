#include "sqlite_statement.h"

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK || stmt_ == nullptr) fail(sqlite3_errmsg(db_));
}

void SqliteStatement::fail(std::string message) {
  if (!failed_) error_ = std::move(message);
  failed_ = true;
}

void SqliteStatement::bind(int index, const char* text) {
  if (!failed_ && sqlite3_bind_text(stmt_, index, text, -1, SQLITE_TRANSIENT) != SQLITE_OK) fail(sqlite3_errmsg(db_));
}

SqliteStatement::Step SqliteStatement::step() {
  if (failed_) return Step::failed;
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return Step::row;
    case SQLITE_DONE:
      return Step::done;
    default:
      fail(sqlite3_errmsg(db_));
      return Step::failed;
  }
}

bool SqliteStatement::single_row() {
  Step result = step();
  if (result == Step::done) fail("no result");
  return result == Step::row;
}

bool SqliteStatement::run() {
  Step result;
  while ((result = step()) == Step::row) {
  }
  return result == Step::done && finish();
}

bool SqliteStatement::finish() {
  if (failed_) return false;
  int rc = sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (rc != SQLITE_OK) fail(sqlite3_errstr(rc));
  return !failed_;
}

std::string SqliteStatement::text(int column) const {
  const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return value != nullptr ? value : "";
}
