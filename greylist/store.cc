#include "store.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exit_status.h"
#include "log.h"
#include "state.h"
#include "store_engine.h"

namespace {

const StoreEngine* engine = &sqlite_engine;
std::string last_error;
bool last_failure_unreachable = false;
// Where the open store is, for store_resume(); set aside while true.
std::string location;
bool set_aside = false;

// Formats a statement with a length check; a statement that does not fit
// ends the process with the message naming its site.
__attribute__((format(printf, 2, 3))) void format_bounded(unsigned site, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int needed = std::vsnprintf(buf.data(), buf.size(), fmt, args);
  va_end(args);
  if (needed < 0 || static_cast<std::size_t>(needed) >= buf.size()) {
    log_msg(2, "Buffer too small to handle request near line %u: %d bytes needed, %u available. Terminating",
            site, needed, static_cast<unsigned>(buf.size()));
    terminate_process(exit_status::gave_up);
  }
}

// Statements with the client key alone: its text was checked at start-up.
__attribute__((format(printf, 1, 2))) void format_unbounded(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf.data(), buf.size(), fmt, args);
  va_end(args);
}

// A value the statement gave no text for counts as 0.
std::uint32_t column_as_u32(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  return static_cast<std::uint32_t>(std::strtol(text, nullptr, 10));
}

void record_verified_row(sqlret& result, int argc, char** argv) {
  const char* ip = argc >= 1 && argv[0] != nullptr ? argv[0] : "";
  log_msg(7, "Query-AddrInVerified: %s found amidst verified servers", ip);
  result.types.intval = 1;
}

void record_pending_row(PendingRow& row, int argc, char** argv) {
  const char* interval = argc >= 1 ? argv[0] : nullptr;
  const char* attempts = argc >= 2 ? argv[1] : nullptr;
  if (interval == nullptr || *interval == '\0' || attempts == nullptr || *attempts == '\0')
    log_msg(4, "Query-DeliveryAttempted: row lacks a value, taking it as 0");
  row.found = true;
  row.attempts = column_as_u32(attempts);
  row.interval = column_as_u32(interval);
  log_msg(7, "Query-DeliveryAttempted: found %d attempts over %d secs", static_cast<int>(row.attempts),
          static_cast<int>(row.interval));
}

// The message of a failed lookup: the engine's own, else its result code's.
std::string query_error(const EngineOutcome& outcome) {
  return outcome.has_message ? outcome.message : outcome.code_text;
}

// Runs the query in buf with the row callback.
EngineOutcome run_query(sqlret& result) {
  log_msg(7, "Query: '%s'", buf.data());
  return engine->exec(buf.data(), sqcallback, &result);
}

[[noreturn]] void statement_failed(const EngineOutcome& outcome) {
  log_msg(3, "Query failed: '%s' -- '%s'", buf.data(), outcome.has_message ? outcome.message.c_str() : "");
  terminate_process(exit_status::gave_up);
}

// Runs the statement in buf, which returns no rows.
long run_statement() {
  log_msg(7, "Query: '%s'", buf.data());
  EngineOutcome outcome = engine->exec(buf.data(), nullptr, nullptr);
  if (!outcome.ok) statement_failed(outcome);
  return outcome.changes;
}

// The pending insert and update are logged without quotes around them.
void run_recording_statement() {
  log_msg(7, "Query: %s", buf.data());
  EngineOutcome outcome = engine->exec(buf.data(), nullptr, nullptr);
  if (!outcome.ok) statement_failed(outcome);
}

}  // namespace

bool address_fits_statements(const char* text) {
  return std::strlen(text) <= max_addr_length && std::strchr(text, '\'') == nullptr;
}

std::string hours_ago_sql(unsigned hours) { return "DATETIME('now', '-" + std::to_string(hours) + " hours')"; }

bool is_postgres_location(const char* location) {
  return std::strncmp(location, "postgresql://", 13) == 0 || std::strncmp(location, "postgres://", 11) == 0;
}

StoreOpen store_connect(const char* where, StoreCreate create) {
  engine = &sqlite_engine;
  last_failure_unreachable = false;
  set_aside = false;
  if (is_postgres_location(where)) {
    if (postgres_engine == nullptr) {
      last_error = "this ostrel was built without PostgreSQL support";
      return StoreOpen::failed;
    }
    engine = postgres_engine;
  }
  location = where;
  switch (engine->open(where, create == StoreCreate::if_missing, last_error)) {
    case EngineOpen::opened: return StoreOpen::opened;
    case EngineOpen::refused: return StoreOpen::refused;
    case EngineOpen::unreachable: last_failure_unreachable = true; break;
    case EngineOpen::failed: break;
  }
  return StoreOpen::failed;
}

const char* store_errmsg() { return last_error.c_str(); }

bool store_unreachable() { return last_failure_unreachable; }

void store_set_aside() {
  if (!engine->idle_connection_costly) return;
  engine->close();
  set_aside = true;
}

StoreOpen store_resume() {
  if (!set_aside) return StoreOpen::opened;
  set_aside = false;
  const std::string where = location;
  return store_connect(where.c_str(), StoreCreate::never);
}

void store_close() { engine->close(); }

void store_lift_statement_deadline() { postgres_statement_deadline_ms = 0; }

std::string store_describe() { return engine->describe(); }

bool store_exec(const char* sql, int (*on_row)(void*, int, char**, char**), void* userarg, std::string& error) {
  EngineOutcome outcome = engine->exec(sql, on_row, userarg);
  if (!outcome.ok) error = query_error(outcome);
  return outcome.ok;
}

int sqcallback(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& result = *static_cast<sqlret*>(userarg);
  switch (result.querytype) {
    case QUERY_ADDRINVERIFIED:
      record_verified_row(result, argc, argv);
      return 0;
    case QUERY_DELIVERYATTEMPTED:
      record_pending_row(result.pending, argc, argv);
      return 0;
    default:
      log_msg(3, "sqcallback: unexpected query type. Forcibly terminating the query.");
      return 1;
  }
}

namespace {

// The cleanup statement in buf, once or until a batch deletes fewer rows
// than a batch may.
CleanupOutcome delete_in_batches(CleanupRun run) {
  CleanupOutcome total;
  for (;;) {
    log_msg(7, "Query: '%s'", buf.data());
    EngineOutcome outcome = engine->exec(buf.data(), nullptr, nullptr);
    if (!outcome.ok) {
      log_msg(3, "Query failed: '%s' -- '%s'", buf.data(), outcome.has_message ? outcome.message.c_str() : "");
      total.ok = false;
      return total;
    }
    total.deleted += outcome.changes;
    if (run == CleanupRun::one_batch || outcome.changes < cleanup_batch_rows) return total;
  }
}

}  // namespace

// Each batch picks its rows by the engine's row name through the index on
// the age column, so a batch costs the same on a table of any size.
CleanupOutcome cleanup_pending(CleanupRun run) {
  log_msg(5, "Cleaning up stale pending entries.");
  format_unbounded("DELETE FROM pending WHERE %s IN (SELECT %s FROM pending WHERE tsfirstdelivery < "
                   "DATETIME('now','-%u hours') LIMIT %ld)",
                   engine->row_id, engine->row_id, pending_max_age_hours, cleanup_batch_rows);
  return delete_in_batches(run);
}

CleanupOutcome cleanup_verified(CleanupRun run) {
  log_msg(5, "Cleaning up stale verified entries.");
  format_unbounded("DELETE FROM verified WHERE %s IN (SELECT %s FROM verified WHERE ts < DATETIME('now','-%u hours') "
                   "LIMIT %ld)",
                   engine->row_id, engine->row_id, verified_max_age_hours, cleanup_batch_rows);
  return delete_in_batches(run);
}

VerifiedLookup lookup_verified(const char* client) {
  format_unbounded("SELECT ip FROM verified WHERE ip = '%s'", client);
  sqlret result{QUERY_ADDRINVERIFIED, {0}};
  EngineOutcome outcome = run_query(result);
  if (!outcome.ok) {
    last_error = query_error(outcome);
    last_failure_unreachable = outcome.unavailable;
    return VerifiedLookup::failed;
  }
  return result.types.intval == 1 ? VerifiedLookup::verified : VerifiedLookup::unknown;
}

void refresh_verified(const char* client) {
  format_unbounded("UPDATE verified SET ts = DATETIME('now') WHERE ip = '%s'", client);
  log_msg(7, "Query: '%s'", buf.data());
  (void)engine->exec(buf.data(), nullptr, nullptr);
}

namespace {

// FNV-1a over the three values, each ended by a zero byte. Two triples
// that share a key only wait for one another.
std::uint64_t triple_key(const Triple& triple) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char* value : {triple.client, triple.sender, triple.recipient}) {
    for (const char* p = value;; ++p) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
      if (*p == '\0') break;
    }
  }
  return hash;
}

}  // namespace

void hold_triple(const Triple& triple) { engine->hold_key(triple_key(triple)); }

void release_triple() {
  EngineOutcome outcome = engine->release_key();
  if (outcome.ok) return;
  std::snprintf(buf.data(), buf.size(), "COMMIT");
  statement_failed(outcome);
}

PendingRow lookup_pending(const Triple& triple) {
  format_bounded(358,
                 "SELECT strftime('%%s','now') - strftime('%%s',tsfirstdelivery), attempts FROM pending "
                 "WHERE ip='%s' AND envsender='%s' AND envrecipient='%s'",
                 triple.client, triple.sender, triple.recipient);
  sqlret result{QUERY_DELIVERYATTEMPTED, {0}};
  EngineOutcome outcome = run_query(result);
  if (!outcome.ok) {
    log_msg(3, "Error querying db: %s", query_error(outcome).c_str());
    terminate_process(exit_status::gave_up);
  }
  return result.pending;
}

void promote_client(const char* client) {
  format_unbounded("INSERT INTO verified (ip,ts) VALUES ('%s', DATETIME('NOW'))", client);
  run_statement();
}

void purge_client(const char* client) {
  format_unbounded("DELETE FROM pending WHERE ip='%s'", client);
  run_statement();
}

void delete_triple(const Triple& triple) {
  format_bounded(434, "DELETE FROM pending WHERE ip='%s' AND envsender='%s' AND envrecipient='%s'", triple.client,
                 triple.sender, triple.recipient);
  run_statement();
}

void record_new_attempt(const Triple& triple) {
  format_bounded(485,
                 "INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts) "
                 "VALUES ('%s','%s','%s',DATETIME('NOW'),DATETIME('NOW'),1)",
                 triple.client, triple.sender, triple.recipient);
  run_recording_statement();
}

void record_repeated_attempt(const Triple& triple) {
  format_bounded(495,
                 "UPDATE pending SET attempts=(SELECT attempts FROM pending WHERE ip='%s' AND envsender='%s' AND "
                 "envrecipient='%s' LIMIT 1)+1, tslastdelivery=DATETIME('now') WHERE ip='%s' AND envsender='%s' "
                 "AND envrecipient='%s'",
                 triple.client, triple.sender, triple.recipient, triple.client, triple.sender, triple.recipient);
  run_recording_statement();
}
