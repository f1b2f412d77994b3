// The greylist store: the verified servers and the pending triples, shared
// by every ostrel process of a host (an SQLite file) or of a site (a
// PostgreSQL database). The store formats every statement into `buf`, checks
// its length, logs it and runs it on the engine chosen by the location; its
// callers hand it what it needs and get back what it found. This code knows
// nothing of sockets or SMTP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum QueryType : std::uint32_t { QUERY_ADDRINVERIFIED = 0, QUERY_DELIVERYATTEMPTED = 1 };

// What the pending lookup found for a triple. When several rows match, the
// last one delivered wins.
struct PendingRow {
  bool found = false;
  std::uint32_t attempts = 0;  // recorded attempts, modulo 2^32
  std::uint32_t interval = 0;  // seconds from the first recorded attempt to now, modulo 2^32
};

// Handed to sqcallback as its user argument, one per query.
struct sqlret {
  std::uint32_t querytype;
  union {
    std::int32_t intval;  // the verified lookup: 1 once a row arrived
  } types;
  PendingRow pending{};  // the pending lookup's row
};

// One greylisting triple; the texts belong to the caller and hold no quote.
struct Triple {
  const char* client;  // the client key: its canonical address or its network
  const char* sender;
  const char* recipient;
};

inline constexpr const char* default_db_path = "/var/db/ostrel/ostrel.db";

// The longest address the unbounded statements have room for.
inline constexpr std::size_t max_addr_length = 966;

// Hours after which the cleanups delete rows.
inline constexpr unsigned pending_max_age_hours = 18;
inline constexpr unsigned verified_max_age_hours = 480;

// The moment `hours` ago as an expression both engines evaluate
// ("DATETIME('now', '-18 hours')"), for statements that count what the
// cleanups would delete.
[[nodiscard]] std::string hours_ago_sql(unsigned hours);

// An address may go into a statement only when it fits the unbounded
// statements and holds no quote, since values are placed unescaped.
[[nodiscard]] bool address_fits_statements(const char* addr);

// Whether location names a PostgreSQL database (a postgresql:// or
// postgres:// URI); anything else is the path of an SQLite file.
[[nodiscard]] bool is_postgres_location(const char* location);

enum class StoreOpen {
  opened,
  failed,   // store_errmsg() says why
  refused,  // a location that must not be used (a password in the URI); store_errmsg() says why
};
// Whether a missing SQLite file is created (ostrel, init-db) or refused
// (the admin's other commands); PostgreSQL never creates a database.
enum class StoreCreate { if_missing, never };
[[nodiscard]] StoreOpen store_connect(const char* location, StoreCreate create = StoreCreate::if_missing);
// Why the last open, resume or verified lookup failed.
[[nodiscard]] const char* store_errmsg();
// Whether that failure was the store out of reach or too slow (no
// connection, no answer in time, a lock or a slot not had in time) rather
// than an answer the store gave (a missing table, a refused permission, a
// bad location, a read-only file): the one kind of failure DBFAILOPEN lets
// a client through on.
[[nodiscard]] bool store_unreachable();
// A store whose idle connection takes a slot of the server (PostgreSQL)
// holds none while the dialogue runs: set aside after the verified lookup,
// connected again by store_resume() for the decision. An SQLite file stays
// open. store_resume() fails as store_connect() does.
void store_set_aside();
[[nodiscard]] StoreOpen store_resume();
// The open SQLite handle, for the admin tool's own statements; null on the
// PostgreSQL road. The store stays its only owner: store_close() closes it.
[[nodiscard]] struct sqlite3* store_handle();
// Closes the store and marks it closed, so nothing closes it twice.
void store_close();
// The admin's schema changes may take long on a large table: statements
// then wait for the server without a limit of ostrel's own.
void store_lift_statement_deadline();
// The open store's name for people (database and host, or file; never a
// connection string).
[[nodiscard]] std::string store_describe();
// Runs one of the admin tool's own statements on the open store, unlogged;
// rows go to on_row. False with error set on failure.
[[nodiscard]] bool store_exec(const char* sql, int (*on_row)(void*, int, char**, char**), void* userarg,
                              std::string& error);
// SQLite only (no-ops on the PostgreSQL road, which waits for no lock of
// its own): the busy handler, and settings for a WAL database used by many
// short-lived processes. The settings go after the first statement: until
// one has read the schema, asking for the journal mode waits for the locks
// of others, and its failure would go unreported.
void store_register_busy_handler();
void store_tune_for_short_connections();
// Whether the open SQLite database keeps a write-ahead log (false when the
// question fails, and on PostgreSQL).
[[nodiscard]] bool store_in_wal_mode();

extern "C" int sqcallback(void* userarg, int argc, char** argv, char** colnames) noexcept;
extern "C" int busydb_callback(void* userarg, int count) noexcept;

// Pause of the busy handler for the given count, in milliseconds. Capped at
// the process's whole life, which the 480-second alarm bounds anyway.
[[nodiscard]] std::uint32_t busy_pause_ms(int count, long random_value);

// The statements. Unless said otherwise, a failure is logged and ends the
// process with status 100, and so does a statement that does not fit `buf`.

// Delete stale rows in batches of at most cleanup_batch_rows, each a
// statement of its own, so that no statement holds a lock or runs long
// whatever the size of the table: one batch (in a decision), or batches
// until one finds fewer stale rows than that. A failed batch is logged and
// ends the cleanup; nothing else ends the process.
inline constexpr long cleanup_batch_rows = 1000;
enum class CleanupRun { one_batch, until_done };
struct CleanupOutcome {
  bool ok = true;
  long deleted = 0;
};
CleanupOutcome cleanup_pending(CleanupRun run);
CleanupOutcome cleanup_verified(CleanupRun run);

enum class VerifiedLookup { verified, unknown, failed };
// Start-up: whether the client key is a verified server. A failure is
// returned (with store_errmsg()), not logged, so that the caller chooses
// what follows.
[[nodiscard]] VerifiedLookup lookup_verified(const char* client);
// The refresh of a verified server's timestamp; its outcome is ignored.
void refresh_verified(const char* client);

// The decision's statements. From hold_triple() to release_triple() no other
// process decides the same triple on PostgreSQL, so that its lookup and its
// write go together (two first attempts make one row, every attempt counts);
// the lock and its transaction are the engine's, never logged. A failure to
// commit is logged as a failed statement and ends the process.
void hold_triple(const Triple& triple);
void release_triple();
[[nodiscard]] PendingRow lookup_pending(const Triple& triple);
void promote_client(const char* client);
// Every pending row of the client, after its promotion.
void purge_client(const char* client);
// The triple's rows, after a suspicious client passed.
void delete_triple(const Triple& triple);
// Record a failed attempt on a new or an existing row.
void record_new_attempt(const Triple& triple);
void record_repeated_attempt(const Triple& triple);
