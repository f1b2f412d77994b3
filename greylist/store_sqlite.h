// The SQLite engine of the greylist store: one file shared by every ostrel
// process of a host, with a busy handler for the locks of the others.
// Made by store_for(); this header is for the engine's own files and tests.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "store.h"

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(std::string path) : Store(std::move(path)) {}
  ~SqliteStore() override { close(); }

  StoreOpening open(StoreCreate create) override;
  void close() override;
  [[nodiscard]] bool creates_missing() const override { return true; }
  [[nodiscard]] const char* location_named_in_errors() const override { return location().c_str(); }
  [[nodiscard]] std::string describe() const override;
  void tune_for_short_connections() override;

  [[nodiscard]] TablesCheck check_tables() override;
  StoreResult<InitReport> init() override;
  [[nodiscard]] const char* schema_summary() const override {
    return "tables verified and pending, their indexes, WAL journal mode";
  }
  [[nodiscard]] std::optional<std::string> role_grant(const char* /*role*/) const override { return std::nullopt; }
  StoreResult<> list(Table table, const std::vector<std::string>& keys, bool widths, RowSink& sink) override;
  StoreResult<AllowReport> allow(const char* key, bool permanent) override;
  StoreResult<int> schema_version() override;
  StoreResult<ForgetReport> forget(const char* key) override;
  StoreResult<StoreStats> stats(unsigned pending_hours, unsigned verified_hours) override;
  [[nodiscard]] bool copies_as_file() const override { return true; }
  [[nodiscard]] std::string file_name() const override;
  [[nodiscard]] std::optional<CopyError> copy_into(const char* file) override;
  [[nodiscard]] RestoreTargetCheck check_restore_target() override;
  [[nodiscard]] std::optional<RestoreError> restore_from(const char* file) override;

  // The open handle, for the engine's tests; null while closed.
  [[nodiscard]] sqlite3* handle() const { return db_; }
  // Whether the open database keeps a write-ahead log (false when the
  // question fails).
  [[nodiscard]] bool in_wal_mode() const;

 protected:
  Outcome run(const char* sql, RowCallback on_row, void* userarg) override;
  [[nodiscard]] const char* row_id() const override { return "rowid"; }

 private:
  sqlite3* db_ = nullptr;
  // The size of one frame of the write-ahead log, from the page size.
  std::int64_t frame_bytes_ = 4096 + 24;
};

extern "C" int busydb_callback(void* userarg, int count) noexcept;

// Pause of the busy handler for the given count, in milliseconds. Capped at
// the process's whole life, which ostrel's 480-second alarm bounds anyway.
[[nodiscard]] std::uint32_t busy_pause_ms(int count, long random_value);
