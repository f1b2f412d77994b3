// The admin's operations on an SQLite store: prepared statements with bound
// values, transactions of their own, and SQLite's online backup for copies.
#include <cstdlib>
#include <memory>
#include <string>

#include "schema_sql.h"
#include "sqlite_statement.h"
#include "store_sqlite.h"

namespace {

StoreError error_saying(std::string message) {
  StoreError error;
  error.has_message = true;
  error.message = std::move(message);
  return error;
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

int count_schema_objects(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  int count = -1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    count = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  return count;
}

enum class TablePresence { present, absent, failed };

TablePresence find_table(sqlite3* db, const char* name, std::string& error) {
  SqliteStatement stmt(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  stmt.bind(1, name);
  SqliteStatement::Step step = stmt.step();
  if (step == SqliteStatement::Step::failed || !stmt.finish()) {
    error = stmt.error();
    return TablePresence::failed;
  }
  return step == SqliteStatement::Step::row ? TablePresence::present : TablePresence::absent;
}

// Copies all pages of `from` into `to` in one step: one read transaction on
// the source, so the copy is one snapshot however the writers go on, and
// one write transaction on the destination. The busy handlers wait for the
// locks; SQLite's result code.
int copy_pages(sqlite3* to, sqlite3* from) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) return SQLITE_ERROR;
  int rc = sqlite3_backup_step(backup, -1);
  int finished = sqlite3_backup_finish(backup);
  return rc == SQLITE_DONE ? finished : rc;
}

bool copied(int rc) { return rc == SQLITE_OK || rc == SQLITE_DONE; }

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

// The widths of the aligned columns come from a first pass over the same
// rows. Lengths are in bytes, as printf pads.
std::string width_query(const std::vector<const char*>& columns, const std::string& from) {
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i)
    sql += std::string(i ? ", " : "") + "IFNULL(MAX(LENGTH(CAST(" + columns[i] + " AS BLOB))), 0)";
  return sql + " FROM " + from;
}

}  // namespace

TablesCheck SqliteStore::check_tables() {
  for (const char* table : {"verified", "pending"}) {
    std::string error;
    switch (find_table(db_, table, error)) {
      case TablePresence::present:
        break;
      case TablePresence::absent:
        return {TablesCheck::Status::missing, table, ""};
      case TablePresence::failed:
        return {TablesCheck::Status::unreadable, "", error};
    }
  }
  return {};
}

StoreResult<InitReport> SqliteStore::init() {
  int before = count_schema_objects(db_);
  bool wal_before = before >= 0 && in_wal_mode();
  char* errmsg = nullptr;
  if (before < 0 || sqlite3_exec(db_, schema_sql, nullptr, nullptr, &errmsg) != SQLITE_OK) {
    std::string message = errmsg != nullptr ? errmsg : sqlite3_errmsg(db_);
    sqlite3_free(errmsg);
    return {{}, error_saying(message)};
  }
  int after = count_schema_objects(db_);
  return {{!(after == before && wal_before)}, std::nullopt};
}

// Both passes read one snapshot, so rows written meanwhile cannot outgrow
// the widths.
StoreResult<> SqliteStore::list(Table table, const std::vector<std::string>& keys, bool widths, RowSink& sink) {
  const std::vector<const char*>& columns = table_columns(table);
  std::string from = table == Table::pending ? "pending" : "verified";
  for (std::size_t i = 0; i < keys.size(); ++i) from += i == 0 ? " WHERE ip IN (?" : ", ?";
  if (!keys.empty()) from += ")";
  auto bind_keys = [&keys](SqliteStatement& stmt) {
    for (std::size_t i = 0; i < keys.size(); ++i) stmt.bind(static_cast<int>(i) + 1, keys[i].c_str());
  };
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  if (widths) {
    SqliteStatement sizes(db_, width_query(columns, from).c_str());
    bind_keys(sizes);
    if (!sizes.single_row()) return {{}, error_saying(sizes.error())};
    std::vector<std::size_t> longest;
    for (std::size_t i = 0; i < columns.size(); ++i)
      longest.push_back(static_cast<std::size_t>(sizes.integer(static_cast<int>(i))));
    if (!sizes.finish()) return {{}, error_saying(sizes.error())};
    sink.widths(longest);
  }
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i) sql += std::string(i ? ", " : "") + columns[i];
  sql += " FROM " + from + " ORDER BY " + (table == Table::pending ? "tsfirstdelivery, rowid" : "ts, rowid");
  SqliteStatement rows(db_, sql.c_str());
  bind_keys(rows);
  std::vector<std::string> cells(columns.size());
  SqliteStatement::Step step;
  while ((step = rows.step()) == SqliteStatement::Step::row) {
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = rows.text(static_cast<int>(i));
    sink.row(cells);
  }
  if (step != SqliteStatement::Step::done || !rows.finish()) return {{}, error_saying(rows.error())};
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  return {};
}

// A failure leaves the transaction open; it ends with the connection.
StoreResult<AllowReport> SqliteStore::allow(const char* key, bool permanent) {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  SqliteStatement known_row(db_, "SELECT COUNT(*) FROM verified WHERE ip = ?");
  known_row.bind(1, key);
  if (!known_row.single_row()) return {{}, error_saying(known_row.error())};
  AllowReport report;
  report.known = known_row.integer(0) > 0;
  if (!known_row.finish()) return {{}, error_saying(known_row.error())};
  SqliteStatement write(db_, report.known ? (permanent ? "UPDATE verified SET ts = ?2 WHERE ip = ?1"
                                                       : "UPDATE verified SET ts = DATETIME('now') WHERE ip = ?1")
                                          : (permanent ? "INSERT INTO verified (ip, ts) VALUES (?1, ?2)"
                                                       : "INSERT INTO verified (ip, ts) VALUES (?1, DATETIME('now'))"));
  write.bind(1, key);
  if (permanent) write.bind(2, permanent_ts);
  if (!write.run()) return {{}, error_saying(write.error())};
  SqliteStatement purge(db_, "DELETE FROM pending WHERE ip = ?");
  purge.bind(1, key);
  if (!purge.run()) return {{}, error_saying(purge.error())};
  report.purged = sqlite3_changes(db_);
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  return {report, std::nullopt};
}

StoreResult<int> SqliteStore::schema_version() {
  SqliteStatement version(db_, "PRAGMA user_version");
  if (!version.single_row()) return {0, error_saying(version.error())};
  int value = static_cast<int>(version.integer(0));
  if (!version.finish()) return {0, error_saying(version.error())};
  return {value, std::nullopt};
}

StoreResult<ForgetReport> SqliteStore::forget(const char* key) {
  ForgetReport report;
  for (auto [sql, removed] : {std::pair{"DELETE FROM verified WHERE ip = ?", &report.verified},
                              std::pair{"DELETE FROM pending WHERE ip = ?", &report.pending}}) {
    SqliteStatement stmt(db_, sql);
    stmt.bind(1, key);
    if (!stmt.run()) return {{}, error_saying(stmt.error())};
    *removed = sqlite3_changes(db_);
  }
  return {report, std::nullopt};
}

// One snapshot for the three statements, so the figures agree.
StoreResult<StoreStats> SqliteStore::stats(unsigned pending_hours, unsigned verified_hours) {
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  const std::string lasting = std::string("ts <> '") + permanent_ts + "'";
  SqliteStatement verified(db_, ("SELECT COUNT(*), IFNULL(MIN(CASE WHEN " + lasting +
                                 " THEN ts END), '-'), "
                                 "IFNULL(MAX(CASE WHEN " +
                                 lasting + " THEN ts END), '-'), SUM(ts < " + hours_ago_sql(verified_hours) +
                                 "), TOTAL(NOT " + lasting + ") FROM verified")
                                    .c_str());
  if (!verified.single_row()) return {{}, error_saying(verified.error())};
  SqliteStatement pending(db_, ("SELECT COUNT(*), IFNULL(MIN(tsfirstdelivery), '-'), IFNULL(MAX(tslastdelivery), '-'), "
                                "SUM(tsfirstdelivery < " +
                                hours_ago_sql(pending_hours) + ") FROM pending")
                                   .c_str());
  if (!pending.single_row()) return {{}, error_saying(pending.error())};
  SqliteStatement by_attempts(db_, "SELECT attempts, COUNT(*) FROM pending GROUP BY attempts ORDER BY attempts");
  StoreStats stats;
  SqliteStatement::Step step;
  while ((step = by_attempts.step()) == SqliteStatement::Step::row)
    stats.by_attempts.emplace_back(by_attempts.text(0), by_attempts.integer(1));
  if (step != SqliteStatement::Step::done || !by_attempts.finish()) return {{}, error_saying(by_attempts.error())};
  stats.verified_rows = verified.integer(0);
  stats.verified_oldest = verified.text(1);
  stats.verified_newest = verified.text(2);
  stats.verified_stale = verified.integer(3);
  stats.verified_permanent = verified.integer(4);
  stats.pending_rows = pending.integer(0);
  stats.pending_first = pending.text(1);
  stats.pending_last = pending.text(2);
  stats.pending_stale = pending.integer(3);
  if (!verified.finish()) return {{}, error_saying(verified.error())};
  if (!pending.finish()) return {{}, error_saying(pending.error())};
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    return {{}, error_saying(sqlite3_errmsg(db_))};
  return {stats, std::nullopt};
}

// The source's busy handler waits for its locks; a lock on the source held
// by this very connection cannot occur, as nothing else runs meanwhile.
std::optional<CopyError> SqliteStore::copy_into(const char* file) {
  sqlite3* opened = nullptr;
  if (sqlite3_open_v2(file, &opened, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    CopyError error{CopyError::Step::open, opened != nullptr ? sqlite3_errmsg(opened) : "out of memory"};
    sqlite3_close(opened);
    return error;
  }
  std::optional<CopyError> error;
  if (!copied(copy_pages(opened, db_))) error = CopyError{CopyError::Step::copy, sqlite3_errmsg(opened)};
  if (sqlite3_close(opened) != SQLITE_OK && !error) error = CopyError{CopyError::Step::close, ""};
  return error;
}

RestoreTargetCheck SqliteStore::check_restore_target() {
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
  if (rc != SQLITE_ROW && (rc & 0xff) != SQLITE_CORRUPT) return {RestoreTargetCheck::Status::unreadable, error};
  if (foreign) return {RestoreTargetCheck::Status::foreign, ""};
  return {};
}

std::optional<RestoreError> SqliteStore::restore_from(const char* file) {
  sqlite3* opened = nullptr;
  // Read-write, so that SQLite may mend a copy left by a crash and remove
  // the log files it creates beside a copy in WAL mode; nothing is written.
  int rc = sqlite3_open_v2(file, &opened, SQLITE_OPEN_READWRITE, nullptr);
  Connection source(opened, &sqlite3_close);
  if (rc != SQLITE_OK)
    return RestoreError{RestoreError::Kind::source_unopenable,
                        opened != nullptr ? sqlite3_errmsg(opened) : "out of memory"};
  sqlite3_busy_handler(source.get(), busydb_callback, nullptr);
  if (std::string fault = greylist_database_fault(source.get()); !fault.empty())
    return RestoreError{RestoreError::Kind::source_unsound, fault};
  // SQLite cannot change the page size of a database in WAL mode.
  if (int theirs = page_size(source.get()), ours = page_size(db_); theirs != ours && in_wal_mode())
    return RestoreError{RestoreError::Kind::page_size, "", theirs, ours};
  // One write transaction on the database, which the busy handler waits for
  // as ostrel's statements do: every reader sees the old content or the new.
  if (!copied(copy_pages(db_, source.get()))) return RestoreError{RestoreError::Kind::failed, sqlite3_errmsg(db_)};
  return std::nullopt;
}
