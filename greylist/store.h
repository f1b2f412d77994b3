// The greylist store: the verified servers and the pending triples, shared
// by every ostrel process of a host (an SQLite file) or of a site (a
// PostgreSQL database). One interface, Store, with one implementation per
// engine (store_sqlite.cc, store_postgres.cc), chosen from the location by
// store_for() alone. It holds what ostrel runs (the start-up lookup, the
// decision's statements, the cleanups) and what ostrelctl runs (init, list,
// allow, forget, stats, cleanup, backup and restore or their refusal).
//
// ostrel's statements have one text for every engine, formatted here into
// the store's own 1024-byte buffer with the length checks of their sites;
// every value goes in between quotes with its quotes doubled
// (statement_text.h). The admin's operations are each engine's own, and
// give back data: ostrelctl formats it, once, for every engine.
//
// Nothing here ends the process or writes a program's lines: a failure comes
// back as a StoreError, and each program turns it into its own line and
// status. What the store does write, through the shared log channel and at
// the moment it happens, is its trace: each statement at level 7 before it
// runs ("Query: ..."), what the lookups found, the busy handler's waits, the
// cleanups' notices and the PostgreSQL server's notices. Those lines are the
// same whichever program runs the store, and interleave with the engine's
// own waits, which only the store sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "statement_text.h"

inline constexpr const char* default_db_path = "/var/db/ostrel/ostrel.db";

// The longest address the unbounded statements have room for.
inline constexpr std::size_t max_addr_length = 966;

// Hours after which the cleanups delete rows.
inline constexpr unsigned pending_max_age_hours = 18;
inline constexpr unsigned verified_max_age_hours = 480;

// A verified row whose ts is this text is permanent: it compares greater
// than any time as text, so no cleanup deletes it, and the schema's trigger
// keeps it when ostrel's refresh or a plain allow sets the row's ts to now.
// Only forgetting the key removes it.
inline constexpr const char* permanent_ts = "9999-12-31 23:59:59";

// The version of the schema that init-db creates (SQLite's user_version,
// PostgreSQL's schema_version table): 1 recorded the version, 2 added the
// trigger that keeps permanent rows. A store without a record is 0. ostrel
// runs on every version alike.
inline constexpr int current_schema_version = 2;

// The cleanups delete in batches of at most this many rows, each a
// statement of its own, so that no statement holds a lock or runs long
// whatever the size of the table.
inline constexpr long cleanup_batch_rows = 1000;

// One greylisting triple; the texts belong to the caller.
struct Triple {
  const char* client;  // the client key: its canonical address or its network
  const char* sender;
  const char* recipient;
};

// What the pending lookup found for a triple. When several rows match, the
// last one delivered wins.
struct PendingRow {
  bool found = false;
  std::uint32_t attempts = 0;  // recorded attempts, modulo 2^32
  std::uint32_t interval = 0;  // seconds from the first recorded attempt to now, modulo 2^32
};

// How a statement failed.
struct StoreError {
  enum class Kind {
    too_long,  // a bounded statement did not fit the buffer; nothing ran
    failed,    // the engine refused or failed it
  };
  Kind kind = Kind::failed;
  unsigned site = 0;         // too_long: the statement's fixed site number
  int needed = 0;            // too_long: the length of the complete statement
  std::string statement;     // failed: the statement as it ran
  bool has_message = false;  // failed: whether the engine gave a message of its own
  std::string message;       // that message
  std::string code_text;     // the engine's description of its result code
  // The store was out of reach or too slow (no connection, a connection
  // lost, no answer in time, a lock or a slot that did not come free in
  // time), rather than answering with a fault (a missing table, a refused
  // permission, a bad location, a read-only file).
  bool unavailable = false;

  // The engine's message, else its result code's description.
  [[nodiscard]] std::string text() const { return has_message ? message : code_text; }
};

// A statement's value, or how it failed.
template <typename T = std::monostate>
struct [[nodiscard]] StoreResult {
  T value{};
  std::optional<StoreError> error;
  [[nodiscard]] bool ok() const { return !error.has_value(); }
};

enum class StoreOpen {
  opened,
  failed,   // error says why
  refused,  // a location that must not be used (a password in the URI); error says why
};

struct StoreOpening {
  StoreOpen status = StoreOpen::failed;
  std::string error;
  bool unreachable = false;  // as StoreError::unavailable
};

// Whether a missing store is created (ostrel, init-db) or refused (the
// admin's other commands); only an engine that keeps its store in a file
// creates one.
enum class StoreCreate { if_missing, never };

enum class VerifiedLookup { verified, unknown };

// The admin's views of the store.
enum class Table { pending, verified };

// The columns list() gives, in this order: pending: ip, envsender,
// envrecipient, tsfirstdelivery, tslastdelivery, attempts; verified: ip, ts.
[[nodiscard]] const std::vector<const char*>& table_columns(Table table);

// Told the rows of a listing as they are read, one at a time.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // Before the first row, when widths were asked for: the longest value of
  // each column in bytes (0 for an empty table), from the same snapshot.
  virtual void widths(const std::vector<std::size_t>& longest) = 0;
  // One row; a value the store holds none of is "".
  virtual void row(const std::vector<std::string>& cells) = 0;
};

struct TablesCheck {
  enum class Status { present, missing, unreadable };
  Status status = Status::present;
  const char* missing_table = "";  // missing: the first table not there
  std::string error;               // unreadable: why the schema could not be read
};

struct InitReport {
  bool changed = false;  // something was created; else the store was complete
};

struct AllowReport {
  bool known = false;    // the key was a verified server already
  long long purged = 0;  // pending rows removed
};

struct ForgetReport {
  long long verified = 0;
  long long pending = 0;
};

struct StoreStats {
  long long verified_rows = 0;
  std::string verified_oldest = "-";
  std::string verified_newest = "-";
  long long verified_stale = 0;      // the next verified cleanup deletes them
  long long verified_permanent = 0;  // rows no cleanup deletes; not in oldest and newest
  long long pending_rows = 0;
  std::string pending_first = "-";  // the oldest first attempt
  std::string pending_last = "-";   // the newest last attempt
  long long pending_stale = 0;
  std::vector<std::pair<std::string, long long>> by_attempts;  // attempts, rows; ascending
};

// How copying a store file went.
struct CopyError {
  enum class Step { open, copy, close };
  Step step;
  std::string message;
};

struct RestoreTargetCheck {
  enum class Status { usable, foreign, unreadable };
  Status status = Status::usable;
  std::string error;  // unreadable: why
};

struct RestoreError {
  enum class Kind {
    source_unopenable,  // message: why
    source_unsound,     // message: what is wrong with it
    page_size,          // theirs and ours differ, and the database keeps a write-ahead log
    failed,             // message: why the copy failed
  };
  Kind kind;
  std::string message;
  int theirs = 0;
  int ours = 0;
};

class Store {
 public:
  explicit Store(std::string location) : location_(std::move(location)) {}
  virtual ~Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // ---- Opening and closing, both programs.

  // Opens the store at the location it was made for. The SQLite engine's
  // busy handler (the one place that waits for the locks of others) serves
  // every statement from here on.
  [[nodiscard]] virtual StoreOpening open(StoreCreate create) = 0;
  // Closes it; harmless when nothing is open, and twice.
  virtual void close() = 0;
  // Whether this engine creates a missing store (SQLite creates the file).
  [[nodiscard]] virtual bool creates_missing() const = 0;
  // The location to name beside the engine's own messages in a program's
  // lines, or null where those messages name the store themselves
  // (PostgreSQL, whose connection string must never show).
  [[nodiscard]] virtual const char* location_named_in_errors() const = 0;
  // The open store's name for people (database and host, or file; never a
  // connection string).
  [[nodiscard]] virtual std::string describe() const = 0;
  // After the first statement has read the schema: settings for a store
  // used by many short-lived processes (SQLite's write-ahead log); nothing
  // that waits, and a failure is not worth a word.
  virtual void tune_for_short_connections() {}
  // A store whose idle connection takes a slot of its server (PostgreSQL)
  // holds none while ostrel's dialogue runs: set aside after the verified
  // lookup, connected again by resume() for the decision, which fails as
  // open() does. An SQLite file stays open.
  virtual void set_aside() {}
  [[nodiscard]] virtual StoreOpening resume() { return {StoreOpen::opened, "", false}; }

  // ---- ostrel's statements: one text for every engine.

  // Start-up: whether the client key is a verified server.
  StoreResult<VerifiedLookup> lookup_verified(const char* client);
  // The refresh of a verified server's timestamp; its outcome is ignored.
  void refresh_verified(const char* client);
  // From hold_triple() to release_triple() no other process decides the
  // same triple on PostgreSQL, so that its lookup and its write go together
  // (two first attempts make one row, every attempt counts); the lock and
  // its transaction are the engine's, never logged. A failure to commit
  // comes back as a failed statement "COMMIT".
  void hold_triple(const Triple& triple);
  StoreResult<> release_triple();
  StoreResult<PendingRow> lookup_pending(const Triple& triple);
  StoreResult<> promote_client(const char* client);
  // Every pending row of the client, after its promotion.
  StoreResult<> purge_client(const char* client);
  // The triple's rows, after a suspicious client passed.
  StoreResult<> delete_triple(const Triple& triple);
  // Records a failed attempt on a new or an existing row.
  StoreResult<> record_new_attempt(const Triple& triple);
  StoreResult<> record_repeated_attempt(const Triple& triple);
  // A retry sooner than the minimum delay: its time becomes the latest
  // attempt's, and the attempts stay as they are.
  StoreResult<> record_early_retry(const Triple& triple);

  // The cleanups: stale rows deleted in batches, one (in a decision) or
  // until a batch finds fewer stale rows than it may delete (the admin).
  // The value is the number of rows deleted; a failed batch ends the run.
  // Rows older than hours go (pending: by the first attempt; verified: by
  // the last connection).
  enum class CleanupRun { one_batch, until_done };
  StoreResult<long> cleanup_pending(CleanupRun run, unsigned hours = pending_max_age_hours);
  StoreResult<long> cleanup_verified(CleanupRun run, unsigned hours = verified_max_age_hours);

  // ---- The admin's operations: each engine its own statements.

  // Whether both tables are there.
  [[nodiscard]] virtual TablesCheck check_tables() = 0;
  // Creates what the store lacks of its schema (engine's schema file), and
  // leaves the rest as it is.
  virtual StoreResult<InitReport> init() = 0;
  // What init() creates, for its report ("tables verified and pending,
  // their indexes, ...").
  [[nodiscard]] virtual const char* schema_summary() const = 0;
  // The grant ostrel's own role needs, to role (quoted as an identifier
  // where needed) or, when null, to "<role>"; nothing where the engine has
  // no roles.
  [[nodiscard]] virtual std::optional<std::string> role_grant(const char* role) const = 0;
  // The rows of a table (of the client keys given, or all when there are
  // none), oldest first, each handed to sink as it is read, so that a table
  // of any size takes little memory; with widths, a first pass in the same
  // snapshot gives the longest value of each column before the first row.
  virtual StoreResult<> list(Table table, const std::vector<std::string>& keys, bool widths, RowSink& sink) = 0;
  // Makes the key a verified server now (or refreshes it), permanently when
  // asked (a schema of the current version is needed for that to last),
  // and removes its pending rows, in one transaction. A permanent row stays
  // permanent.
  virtual StoreResult<AllowReport> allow(const char* key, bool permanent) = 0;
  // The version of the store's schema (0 when none is recorded).
  virtual StoreResult<int> schema_version() = 0;
  // Whether init-db has something to add: a schema older than this build's.
  StoreResult<bool> upgrade_due();
  // Removes every row of the key from both tables.
  virtual StoreResult<ForgetReport> forget(const char* key) = 0;
  // The figures of both tables, from one snapshot; stale by the ages given.
  virtual StoreResult<StoreStats> stats(unsigned pending_hours, unsigned verified_hours) = 0;

  // A store kept in a file (SQLite) is backed up and restored here, beside
  // live traffic; one kept by a server (PostgreSQL) with the server's own
  // tools, and then the three below are never called. Needs no open store.
  [[nodiscard]] virtual bool copies_as_file() const = 0;
  // The file of the open store as the engine opened it: its full name,
  // links resolved.
  [[nodiscard]] virtual std::string file_name() const = 0;
  // Copies the whole store, as one snapshot, into the empty file `file`.
  [[nodiscard]] virtual std::optional<CopyError> copy_into(const char* file) = 0;
  // Whether an existing store may be restored over: its tables are not
  // required (an empty or a damaged file is what a restore mends), but one
  // that holds other tables and neither of ostrel's is not.
  [[nodiscard]] virtual RestoreTargetCheck check_restore_target() = 0;
  // Replaces the whole content with that of the greylist store in `file`,
  // in one transaction, once `file` holds both tables with every column
  // ostrel uses and passes the engine's check.
  [[nodiscard]] virtual std::optional<RestoreError> restore_from(const char* file) = 0;

 protected:
  const std::string& location() const { return location_; }

  // ---- What an engine gives ostrel's statements.

  // How one statement ran.
  struct Outcome {
    bool ok = true;
    bool unavailable = false;  // as StoreError::unavailable
    bool has_message = false;
    std::string message;
    std::string code_text;
    long changes = 0;  // rows inserted, updated or deleted
  };
  // The row callback's shape: SQLite's, which every engine follows.
  using RowCallback = int (*)(void* userarg, int argc, char** argv, char** colnames);
  // Runs one statement text in autocommit, or inside the transaction that
  // hold_key() opened; rows go to on_row as text when it is given (a
  // non-zero return aborts the statement). The texts use, beside plain SQL,
  // SQLite's date functions DATETIME('now'), DATETIME(time, '-N hours') and
  // strftime('%s', time), and names a row of any table by row_id(): an
  // engine that lacks them provides them (schema-pg.sql defines the
  // functions for PostgreSQL).
  virtual Outcome run(const char* sql, RowCallback on_row, void* userarg) = 0;
  // The column that names a row of any table, for deletions in batches.
  [[nodiscard]] virtual const char* row_id() const = 0;
  // From the next statement until release_key(), the statements run in one
  // transaction that holds a lock on key, so that processes holding the
  // same key run one after another. Nothing on an engine whose statements
  // each run on their own (SQLite).
  virtual void hold_key(std::uint64_t /*key*/) {}
  // Ends that transaction, keeping what it wrote; ok when none is open.
  virtual Outcome release_key() { return {}; }

 private:
  StoreResult<> bounded(unsigned site, std::string_view pattern, std::initializer_list<std::string_view> values);
  // How the trace line shows a statement: between quotes, or bare (the
  // pending insert and update).
  enum class Trace { quoted, bare };
  StoreResult<> run_statement(Trace trace);
  StoreResult<long> delete_in_batches(CleanupRun run);
  StoreError failure(const Outcome& outcome) const;

  std::string location_;
  StatementText statement_;
};

// The engine for a location: PostgreSQL for a postgresql:// or postgres://
// URI, SQLite for anything else (the path of a file). The one place where
// the engines are told apart. Nothing is opened yet. No store, with why,
// when the engine was left out of this build.
struct StoreChoice {
  std::unique_ptr<Store> store;
  std::string unsupported;
};
[[nodiscard]] StoreChoice store_for(const char* location);

// Whether location names a PostgreSQL database (a postgresql:// or
// postgres:// URI); anything else is the path of an SQLite file.
[[nodiscard]] bool is_postgres_location(const char* location);

// An address may go into a statement only when it fits the unbounded
// statements and holds no quote.
[[nodiscard]] bool address_fits_statements(const char* addr);

// The moment `hours` ago as an expression both engines evaluate
// ("DATETIME('now', '-18 hours')").
[[nodiscard]] std::string hours_ago_sql(unsigned hours);

// The row callback of ostrel's lookups, and its record: handed to it as its
// user argument, one per query.
enum QueryType : std::uint32_t { QUERY_ADDRINVERIFIED = 0, QUERY_DELIVERYATTEMPTED = 1 };
struct sqlret {
  std::uint32_t querytype;
  union {
    std::int32_t intval;  // the verified lookup: 1 once a row arrived
  } types;
  PendingRow pending{};  // the pending lookup's row
};
extern "C" int sqcallback(void* userarg, int argc, char** argv, char** colnames) noexcept;
