// A prepared SQLite statement for the admin's operations, finalized when it
// goes. The first failure (to prepare, to bind, a step that ends in an
// error, the final check) is kept as its error and leaves it failed.
#pragma once

#include <sqlite3.h>

#include <string>

class SqliteStatement {
 public:
  enum class Step { row, done, failed };

  SqliteStatement(sqlite3* db, const char* sql);
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  ~SqliteStatement() { sqlite3_finalize(stmt_); }

  void bind(int index, const char* text);
  [[nodiscard]] Step step();
  // Steps once and expects a row (aggregates); "no result" if there is none.
  [[nodiscard]] bool single_row();
  // Steps to the end, for statements that return nothing.
  [[nodiscard]] bool run();
  // Finalizes now and says whether everything went well.
  [[nodiscard]] bool finish();
  [[nodiscard]] std::string text(int column) const;
  [[nodiscard]] long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  // Why it failed: SQLite's message.
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  void fail(std::string message);

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool failed_ = false;
  std::string error_;
};
