#include "store.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "store_engine.h"

namespace {

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

StoreChoice store_for(const char* location) {
  StoreChoice choice;
  if (is_postgres_location(location))
    choice.store = make_postgres_store(location, choice.unsupported);
  else
    choice.store = make_sqlite_store(location);
  return choice;
}

bool is_postgres_location(const char* location) {
  return std::strncmp(location, "postgresql://", 13) == 0 || std::strncmp(location, "postgres://", 11) == 0;
}

bool address_fits_statements(const char* text) {
  return std::strlen(text) <= max_addr_length && std::strchr(text, '\'') == nullptr;
}

std::string hours_ago_sql(unsigned hours) { return "DATETIME('now', '-" + std::to_string(hours) + " hours')"; }

StoreResult<bool> Store::upgrade_due() {
  StoreResult<int> version = schema_version();
  if (!version.ok()) return {false, version.error};
  return {version.value < current_schema_version, std::nullopt};
}

const std::vector<const char*>& table_columns(Table table) {
  static const std::vector<const char*> pending = {
      "ip", "envsender", "envrecipient", "tsfirstdelivery", "tslastdelivery", "attempts"};
  static const std::vector<const char*> verified = {"ip", "ts"};
  return table == Table::pending ? pending : verified;
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

StoreError Store::failure(const Outcome& outcome) const {
  StoreError error;
  error.statement = statement_.c_str();
  error.has_message = outcome.has_message;
  error.message = outcome.message;
  error.code_text = outcome.code_text;
  error.unavailable = outcome.unavailable;
  return error;
}

// A statement with values of the envelope, whose length has no bound of its
// own: one that does not fit is refused, naming its site.
StoreResult<> Store::bounded(unsigned site, std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::size_t needed = statement_.fill(pattern, values);
  if (needed < StatementText::capacity) return {};
  StoreError error;
  error.kind = StoreError::Kind::too_long;
  error.site = site;
  error.needed = static_cast<int>(needed);
  return {{}, error};
}

// The statement in the buffer, which returns no rows.
StoreResult<> Store::run_statement(Trace trace) {
  log_msg(7, trace == Trace::bare ? "Query: %s" : "Query: '%s'", statement_.c_str());
  Outcome outcome = run(statement_.c_str(), nullptr, nullptr);
  if (!outcome.ok) return {{}, failure(outcome)};
  return {};
}

// Statements with the client key alone have no length check: its text was
// checked at start-up (address_fits_statements).

StoreResult<VerifiedLookup> Store::lookup_verified(const char* client) {
  (void)statement_.fill("SELECT ip FROM verified WHERE ip = ?", {client});
  sqlret result{QUERY_ADDRINVERIFIED, {0}};
  log_msg(7, "Query: '%s'", statement_.c_str());
  Outcome outcome = run(statement_.c_str(), sqcallback, &result);
  if (!outcome.ok) return {VerifiedLookup::unknown, failure(outcome)};
  return {result.types.intval == 1 ? VerifiedLookup::verified : VerifiedLookup::unknown, std::nullopt};
}

void Store::refresh_verified(const char* client) {
  (void)statement_.fill("UPDATE verified SET ts = DATETIME('now') WHERE ip = ?", {client});
  log_msg(7, "Query: '%s'", statement_.c_str());
  (void)run(statement_.c_str(), nullptr, nullptr);
}

void Store::hold_triple(const Triple& triple) { hold_key(triple_key(triple)); }

StoreResult<> Store::release_triple() {
  Outcome outcome = release_key();
  if (outcome.ok) return {};
  statement_.print("COMMIT");
  return {{}, failure(outcome)};
}

StoreResult<PendingRow> Store::lookup_pending(const Triple& triple) {
  StoreResult<> fits = bounded(358,
                               "SELECT strftime('%s','now') - strftime('%s',tsfirstdelivery), attempts FROM pending "
                               "WHERE ip=? AND envsender=? AND envrecipient=?",
                               {triple.client, triple.sender, triple.recipient});
  if (!fits.ok()) return {{}, fits.error};
  sqlret result{QUERY_DELIVERYATTEMPTED, {0}};
  log_msg(7, "Query: '%s'", statement_.c_str());
  Outcome outcome = run(statement_.c_str(), sqcallback, &result);
  if (!outcome.ok) return {{}, failure(outcome)};
  return {result.pending, std::nullopt};
}

StoreResult<> Store::promote_client(const char* client) {
  (void)statement_.fill("INSERT INTO verified (ip,ts) VALUES (?, DATETIME('NOW'))", {client});
  return run_statement(Trace::quoted);
}

StoreResult<> Store::purge_client(const char* client) {
  (void)statement_.fill("DELETE FROM pending WHERE ip=?", {client});
  return run_statement(Trace::quoted);
}

StoreResult<> Store::delete_triple(const Triple& triple) {
  StoreResult<> fits = bounded(434, "DELETE FROM pending WHERE ip=? AND envsender=? AND envrecipient=?",
                               {triple.client, triple.sender, triple.recipient});
  if (!fits.ok()) return fits;
  return run_statement(Trace::quoted);
}

StoreResult<> Store::record_new_attempt(const Triple& triple) {
  StoreResult<> fits = bounded(485,
                               "INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, "
                               "attempts) VALUES (?,?,?,DATETIME('NOW'),DATETIME('NOW'),1)",
                               {triple.client, triple.sender, triple.recipient});
  if (!fits.ok()) return fits;
  return run_statement(Trace::bare);
}

StoreResult<> Store::record_repeated_attempt(const Triple& triple) {
  StoreResult<> fits =
      bounded(495,
              "UPDATE pending SET attempts=(SELECT attempts FROM pending WHERE ip=? AND envsender=? "
              "AND envrecipient=? LIMIT 1)+1, tslastdelivery=DATETIME('now') WHERE ip=? AND "
              "envsender=? AND envrecipient=?",
              {triple.client, triple.sender, triple.recipient, triple.client, triple.sender, triple.recipient});
  if (!fits.ok()) return fits;
  return run_statement(Trace::bare);
}

StoreResult<> Store::record_early_retry(const Triple& triple) {
  StoreResult<> fits = bounded(505,
                               "UPDATE pending SET tslastdelivery=DATETIME('now') WHERE ip=? AND envsender=? AND "
                               "envrecipient=?",
                               {triple.client, triple.sender, triple.recipient});
  if (!fits.ok()) return fits;
  return run_statement(Trace::bare);
}

// The cleanup statement in the buffer, once or until a batch deletes fewer
// rows than a batch may.
StoreResult<long> Store::delete_in_batches(CleanupRun run_how) {
  long deleted = 0;
  for (;;) {
    log_msg(7, "Query: '%s'", statement_.c_str());
    Outcome outcome = run(statement_.c_str(), nullptr, nullptr);
    if (!outcome.ok) return {deleted, failure(outcome)};
    deleted += outcome.changes;
    if (run_how == CleanupRun::one_batch || outcome.changes < cleanup_batch_rows) return {deleted, std::nullopt};
  }
}

// Each batch picks its rows by the engine's row name through the index on
// the age column, so a batch costs the same on a table of any size.
StoreResult<long> Store::cleanup_pending(CleanupRun run_how, unsigned hours) {
  log_msg(5, "Cleaning up stale pending entries.");
  statement_.print(
      "DELETE FROM pending WHERE %s IN (SELECT %s FROM pending WHERE tsfirstdelivery < "
      "DATETIME('now','-%u hours') LIMIT %ld)",
      row_id(), row_id(), hours, cleanup_batch_rows);
  return delete_in_batches(run_how);
}

StoreResult<long> Store::cleanup_verified(CleanupRun run_how, unsigned hours) {
  log_msg(5, "Cleaning up stale verified entries.");
  statement_.print(
      "DELETE FROM verified WHERE %s IN (SELECT %s FROM verified WHERE ts < DATETIME('now','-%u hours') "
      "LIMIT %ld)",
      row_id(), row_id(), hours, cleanup_batch_rows);
  return delete_in_batches(run_how);
}
