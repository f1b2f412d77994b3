// The greylist store: one SQLite file shared by every ostrel process of a
// host. Every statement is formatted into `buf`, logged and run from there.
// This code knows nothing of sockets or SMTP.
#pragma once

#include <cstddef>
#include <cstdint>

enum QueryType : std::uint32_t { QUERY_ADDRINVERIFIED = 0, QUERY_DELIVERYATTEMPTED = 1 };

// Handed to sqcallback as its user argument, one per query.
struct sqlret {
  std::uint32_t querytype;
  union {
    std::int32_t intval;
  } types;
};

struct QueryOutcome {
  int rc;        // SQLite's result code
  char* errmsg;  // SQLite's message (free with sqlite3_free), or null
  int intval;    // sqlret.types.intval after the query
};

inline constexpr const char* default_db_path = "/var/db/ostrel/ostrel.db";

// The longest address the unbounded statements have room for.
inline constexpr std::size_t max_addr_length = 966;

// Hours after which the cleanups delete rows.
inline constexpr unsigned pending_max_age_hours = 18;
inline constexpr unsigned verified_max_age_hours = 480;

// An address may go into a statement only when it fits the unbounded
// statements and holds no quote, since values are placed unescaped.
[[nodiscard]] bool address_fits_statements(const char* addr);

// Opens DBFILE (or the default path); returns SQLite's result code.
[[nodiscard]] int store_open(const char* path);
[[nodiscard]] const char* store_errmsg();
[[nodiscard]] bool store_is_open();
// The open handle, for the admin tool's own statements.
[[nodiscard]] struct sqlite3* store_handle();
// Closes the handle and marks it closed, so nothing closes it twice.
void store_close();
void store_register_busy_handler();
// Settings for a WAL database used by many short-lived processes; a no-op
// for a database in another journal mode.
void store_tune_for_short_connections();

[[nodiscard]] QueryOutcome run_query(std::uint32_t querytype);
// Runs the statement in buf; on failure logs and ends the process (100).
void run_statement();

extern "C" int sqcallback(void* userarg, int argc, char** argv, char** colnames) noexcept;
extern "C" int busydb_callback(void* userarg, int count) noexcept;

// Pause of the busy handler for the given count, in milliseconds. Capped at
// the process's whole life, which the 480-second alarm bounds anyway.
[[nodiscard]] std::uint32_t busy_pause_ms(int count, long random_value);

void cleanup_pending();
void cleanup_verified();

// Start-up: whether the client key is a verified server (ends the process on failure),
// and the refresh of its timestamp (outcome ignored).
[[nodiscard]] bool lookup_verified();
void refresh_verified();

// Decision: the pending lookup fills numattempts and attemptsintrv.
void lookup_pending();
void promote_address();
// Format the delete of a pass into buf; run it with run_statement.
void format_address_purge();
void format_triple_delete();
// Record a failed attempt on a new or an existing row.
void record_new_attempt();
void record_repeated_attempt();
