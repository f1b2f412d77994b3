// The admin tool's side of the greylist database: the one place that speaks
// SQLite for the commands. Every failure is reported here in one line,
// "ostrelctl: WHAT failed: ERROR", so a command only has to return 1.
#pragma once

#include <string>

#include "store.h"

struct sqlite3;
struct sqlite3_stmt;

// The database ostrel uses, opened through ostrel's store with its busy
// handler and settings, so the tool waits for locks as ostrel does. Closed
// when the object goes.
class Database {
 public:
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Opens an existing database that has both tables; reports and returns
  // false otherwise.
  [[nodiscard]] bool open(const char* path);
  // Opens an existing SQLite database that a restore is to replace: its
  // tables are not required, since an empty or a damaged file is what a
  // restore mends, but one that holds other tables and neither of ostrel's
  // is refused. Reports and returns false otherwise.
  [[nodiscard]] bool open_for_restore(const char* path);
  // Opens the SQLite file at path, creating it when missing, without the
  // busy handler or any check of its tables (init-db); reports failures.
  [[nodiscard]] bool create(const char* path);
  // Runs a statement without results (BEGIN, COMMIT...); reports failures
  // under the name `what`.
  [[nodiscard]] bool exec(const char* sql, const char* what);
  // Copies the whole database, as one snapshot, into the empty file `file`
  // with SQLite's online backup, waiting for locks like every statement.
  [[nodiscard]] bool copy_into(const char* file);
  // Replaces the whole content with that of the greylist database in
  // `file`, in one transaction with SQLite's online backup, waiting for
  // locks like every statement: every reader sees the old content or the
  // new, and writers wait meanwhile. `file` is checked first and the
  // database is not touched unless it holds both tables with every column
  // ostrel uses and passes SQLite's quick check.
  enum class Restore { done, unusable_source, failed };
  [[nodiscard]] Restore restore_from(const char* file);
  // Rows changed by the last write.
  [[nodiscard]] int changes() const;
  [[nodiscard]] const char* path() const { return path_.c_str(); }
  // The database file as SQLite opened it: its full name, links resolved.
  [[nodiscard]] const char* file_name() const;
  [[nodiscard]] sqlite3* handle() const { return db_; }
  // A PostgreSQL store (a postgresql:// or postgres:// path): the commands
  // take their own road there (admin_pg.h), and handle() is null.
  [[nodiscard]] bool on_postgres() const { return postgres_; }

 private:
  [[nodiscard]] bool open_postgres(const char* uri);
  [[nodiscard]] bool open_file(const char* path, StoreCreate create, const char* verb);

  sqlite3* db_ = nullptr;
  bool postgres_ = false;
  std::string path_;
};

// A prepared statement, finalized when it goes. Any failure (to prepare, to
// bind, a step that ends in an error, the final check) is reported once,
// naming `what`, and leaves the statement failed.
class Statement {
 public:
  enum class Step { row, done, failed };

  Statement(const Database& db, const char* sql, const char* what);
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  [[nodiscard]] bool ok() const { return !failed_; }
  void bind(int index, const char* text);
  [[nodiscard]] Step step();
  // Steps once and expects a row (aggregates); reports if there is none.
  [[nodiscard]] bool single_row();
  // Steps to the end, for statements that return nothing.
  [[nodiscard]] bool run();
  // Finalizes now and says whether everything went well.
  [[nodiscard]] bool finish();
  [[nodiscard]] std::string text(int column) const;
  [[nodiscard]] long long integer(int column) const;

 private:
  bool fail();

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  const char* what_;
  bool failed_ = false;
};
