#include "store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "log.h"
#include "state.h"

namespace {

sqlite3* db = nullptr;

constexpr std::uint32_t busy_give_up_after = 30;
constexpr std::uint32_t longest_pause_ms = 480 * 1000;

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

// Rows name the client by its key: its canonical address or its network.
const char* client_key() { return client_metainfo.key; }
const char* from() { return envelope.from.data(); }
const char* to() { return envelope.to.data(); }

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

void record_pending_row(int argc, char** argv) {
  const char* interval = argc >= 1 ? argv[0] : nullptr;
  const char* attempts = argc >= 2 ? argv[1] : nullptr;
  if (interval == nullptr || *interval == '\0' || attempts == nullptr || *attempts == '\0')
    log_msg(4, "Query-DeliveryAttempted: row lacks a value, taking it as 0");
  client_metainfo.numattempts = column_as_u32(attempts);
  client_metainfo.attemptsintrv = column_as_u32(interval);
  client_metainfo.validity |= VALID_NUMATTEMPTS | VALID_ATTEMPTSINTRV;
  log_msg(7, "Query-DeliveryAttempted: found %d attempts over %d secs",
          static_cast<int>(client_metainfo.numattempts), static_cast<int>(client_metainfo.attemptsintrv));
}

int record_journal_mode(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  if (argc >= 1 && argv[0] != nullptr) *static_cast<bool*>(userarg) = std::strcmp(argv[0], "wal") == 0;
  return 0;
}

bool journal_is_wal() {
  bool wal = false;
  return sqlite3_exec(db, "PRAGMA journal_mode", record_journal_mode, &wal, nullptr) == SQLITE_OK && wal;
}

// The pending insert and update are logged without quotes around them.
void run_recording_statement() {
  log_msg(7, "Query: %s", buf.data());
  char* errmsg = nullptr;
  if (sqlite3_exec(db, buf.data(), nullptr, nullptr, &errmsg) != SQLITE_OK) {
    log_msg(3, "Query failed: '%s' -- '%s'", buf.data(), errmsg != nullptr ? errmsg : "");
    sqlite3_free(errmsg);
    terminate_process(exit_status::gave_up);
  }
}

}  // namespace

bool address_fits_statements(const char* text) {
  return std::strlen(text) <= max_addr_length && std::strchr(text, '\'') == nullptr;
}

int store_open(const char* path) { return sqlite3_open(path, &db); }

const char* store_errmsg() { return sqlite3_errmsg(db); }

bool store_is_open() { return db != nullptr; }

sqlite3* store_handle() { return db; }

void store_close() {
  if (db == nullptr) return;
  sqlite3_close(db);
  db = nullptr;
}

void store_register_busy_handler() { sqlite3_busy_handler(db, busydb_callback, nullptr); }

// Every connection is a process of its own that opens the database, runs a
// statement or two and closes it, so two defaults of WAL mode would make the
// processes queue behind one another on a slow disk: a sync of the log at
// every commit, and a checkpoint by whichever process happens to close the
// database last. Commits then only append to the log, which keeps the
// database intact (a power loss may undo the last few rows, which costs a
// sender one more retry), and checkpoints are left to SQLite's automatic
// ones, which do not hold writers up. A reader that stays long (a backup, a
// listing) keeps those checkpoints from reaching the log's end, so the log
// grows meanwhile; SQLite reuses the file afterwards but never shrinks it, so
// the first commit after the next complete checkpoint cuts it back to 4 MiB,
// the size SQLite's automatic checkpoint (1000 pages of 4 KiB) lets it reach
// anyway. All three are optimisations: a failure is not worth a word.
void store_tune_for_short_connections() {
  if (!journal_is_wal()) return;
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=4194304", nullptr, nullptr, nullptr);
}

QueryOutcome run_query(std::uint32_t querytype) {
  log_msg(7, "Query: '%s'", buf.data());
  sqlret result{querytype, {0}};
  char* errmsg = nullptr;
  int rc = sqlite3_exec(db, buf.data(), sqcallback, &result, &errmsg);
  return {rc, errmsg, result.types.intval};
}

void run_statement() {
  log_msg(7, "Query: '%s'", buf.data());
  char* errmsg = nullptr;
  if (sqlite3_exec(db, buf.data(), nullptr, nullptr, &errmsg) != SQLITE_OK) {
    log_msg(3, "Query failed: '%s' -- '%s'", buf.data(), errmsg != nullptr ? errmsg : "");
    sqlite3_free(errmsg);
    terminate_process(exit_status::gave_up);
  }
}

int sqcallback(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& result = *static_cast<sqlret*>(userarg);
  switch (result.querytype) {
    case QUERY_ADDRINVERIFIED:
      record_verified_row(result, argc, argv);
      return 0;
    case QUERY_DELIVERYATTEMPTED:
      record_pending_row(argc, argv);
      return 0;
    default:
      log_msg(3, "sqcallback: unexpected query type. Forcibly terminating the query.");
      return 1;
  }
}

std::uint32_t busy_pause_ms(int count, long random_value) {
  int shift = std::clamp(count, 0, 32);
  std::uint64_t pause = (std::uint64_t{10} << shift) + static_cast<std::uint64_t>(random_value % 20);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(pause, longest_pause_ms));
}

int busydb_callback(void* /*userarg*/, int count) noexcept {
  if (count > static_cast<int>(busy_give_up_after)) return 0;
  log_msg(7, "Ouch! Database locked (%dth time).", count);
  std::uint32_t pause = busy_pause_ms(count, random());
  log_msg(7, "Trying again in %u millisecs.", pause);
  usleep(static_cast<useconds_t>(pause) * 1000u);
  return 1;
}

void cleanup_pending() {
  log_msg(5, "Cleaning up stale pending entries.");
  format_unbounded("DELETE FROM pending WHERE tsfirstdelivery < DATETIME('now','-%u hours')", pending_max_age_hours);
  run_statement();
}

void cleanup_verified() {
  log_msg(5, "Cleaning up stale verified entries.");
  format_unbounded("DELETE FROM verified WHERE ts < DATETIME('now','-%u hours')", verified_max_age_hours);
  run_statement();
}

bool lookup_verified() {
  format_unbounded("SELECT ip FROM verified WHERE ip = '%s'", client_key());
  QueryOutcome outcome = run_query(QUERY_ADDRINVERIFIED);
  if (outcome.rc != SQLITE_OK) {
    log_msg(3, "Error querying db: %s", outcome.errmsg != nullptr ? outcome.errmsg : sqlite3_errstr(outcome.rc));
    sqlite3_free(outcome.errmsg);
    terminate_process(exit_status::gave_up);
  }
  return outcome.intval == 1;
}

void refresh_verified() {
  format_unbounded("UPDATE verified SET ts = DATETIME('now') WHERE ip = '%s'", client_key());
  log_msg(7, "Query: '%s'", buf.data());
  char* errmsg = nullptr;
  sqlite3_exec(db, buf.data(), nullptr, nullptr, &errmsg);
  sqlite3_free(errmsg);
}

void lookup_pending() {
  format_bounded(358,
                 "SELECT strftime('%%s','now') - strftime('%%s',tsfirstdelivery), attempts FROM pending "
                 "WHERE ip='%s' AND envsender='%s' AND envrecipient='%s'",
                 client_key(), from(), to());
  QueryOutcome outcome = run_query(QUERY_DELIVERYATTEMPTED);
  if (outcome.rc != SQLITE_OK) {
    log_msg(3, "Error querying db: %s", outcome.errmsg != nullptr ? outcome.errmsg : sqlite3_errstr(outcome.rc));
    sqlite3_free(outcome.errmsg);
    terminate_process(exit_status::gave_up);
  }
}

void promote_address() {
  format_unbounded("INSERT INTO verified (ip,ts) VALUES ('%s', DATETIME('NOW'))", client_key());
  run_statement();
}

void format_address_purge() { format_unbounded("DELETE FROM pending WHERE ip='%s'", client_key()); }

void format_triple_delete() {
  format_bounded(434, "DELETE FROM pending WHERE ip='%s' AND envsender='%s' AND envrecipient='%s'", client_key(),
                 from(), to());
}

void record_new_attempt() {
  format_bounded(485,
                 "INSERT INTO pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts) "
                 "VALUES ('%s','%s','%s',DATETIME('NOW'),DATETIME('NOW'),1)",
                 client_key(), from(), to());
  run_recording_statement();
}

void record_repeated_attempt() {
  format_bounded(495,
                 "UPDATE pending SET attempts=(SELECT attempts FROM pending WHERE ip='%s' AND envsender='%s' AND "
                 "envrecipient='%s' LIMIT 1)+1, tslastdelivery=DATETIME('now') WHERE ip='%s' AND envsender='%s' "
                 "AND envrecipient='%s'",
                 client_key(), from(), to(), client_key(), from(), to());
  run_recording_statement();
}
