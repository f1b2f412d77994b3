// Owner of an SQLite connection for the admin tool.
#pragma once

#include <sqlite3.h>

class SqliteHandle {
 public:
  SqliteHandle() = default;
  SqliteHandle(const SqliteHandle&) = delete;
  SqliteHandle& operator=(const SqliteHandle&) = delete;
  ~SqliteHandle() { sqlite3_close(db_); }

  // Opens path with the given flags; false (with errmsg() set) on failure.
  [[nodiscard]] bool open(const char* path, int flags) { return sqlite3_open_v2(path, &db_, flags, nullptr) == SQLITE_OK; }
  [[nodiscard]] sqlite3* get() const { return db_; }
  [[nodiscard]] const char* errmsg() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

 private:
  sqlite3* db_ = nullptr;
};
