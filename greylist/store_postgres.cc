// The PostgreSQL engine of the greylist store: one database that the ostrel
// processes of every MX host of a site share, named by a postgresql:// or
// postgres:// URI. libpq is loaded with dlopen when such a URI is opened, so
// that the SQLite road does not load it (nor the libraries it pulls in) at
// each process start.
//
// Every wait is bounded: the connection and each statement by a deadline of
// their own (and by the lock and statement time-outs that the schema sets on
// the database). A failure is a database failure like SQLite's; there is no
// busy handler. Each failure is told apart as an answer of the server (its
// SQLSTATE names a fault: a missing table, a refused permission, an unknown
// database) or the server being out of reach or too slow.
//
// The server's notices (a NOTICE at init-db, the WARNING of a backend that
// the server ends after another crashed) go to the log channel as one line
// each at level 5: they never decide anything, since a failure that follows
// them arrives as an error of its own.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "dl_table.h"
#include "log.h"
#include "schema_pg_sql.h"
#include "store_engine.h"

namespace {

constexpr const char* libpq_name = "libpq.so.5";
// How long making the connection may take, every host of the URI together,
// in milliseconds.
constexpr int connect_deadline_ms = 3000;
// How long one statement may take, retries included, in milliseconds.
constexpr int statement_deadline_ms = 5000;
// Level of the server's notices in the log.
constexpr int notice_level = 5;
// Concurrent writers of one row: the later one is refused and runs again.
constexpr int serialization_retries = 20;

// The functions of libpq that the engine uses.
// clang-format off
#define LIBPQ_FUNCTIONS(F)                                                                                    \
  F(PQconninfoParse) F(PQconninfoFree) F(PQfreemem) F(PQconnectStartParams) F(PQconnectPoll)                  \
  F(PQsetErrorVerbosity) F(PQsetNoticeReceiver) F(PQstatus) F(PQerrorMessage) F(PQhost) F(PQdb) F(PQfinish)   \
  F(PQsocket) F(PQsendQuery) F(PQsetSingleRowMode) F(PQconsumeInput) F(PQisBusy) F(PQgetResult)               \
  F(PQresultStatus) F(PQresultErrorField) F(PQclear) F(PQntuples) F(PQnfields) F(PQgetvalue) F(PQgetisnull)   \
  F(PQcmdTuples) F(PQtransactionStatus)
// clang-format on

struct Libpq {
  LIBPQ_FUNCTIONS(DL_TABLE_ENTRY)
};

Libpq pq{};
bool pq_loaded = false;

bool bind_libpq(void* library, Libpq& table) { return true LIBPQ_FUNCTIONS(DL_TABLE_BIND); }

bool load_libpq(std::string& error) {
  if (pq_loaded) return true;
  DlLoad loaded = dl_load_table(libpq_name, [](void* library) { return bind_libpq(library, pq); });
  switch (loaded.status) {
    case DlStatus::loaded:
      pq_loaded = true;
      return true;  // for the life of the process
    case DlStatus::no_library:
      error = std::string("cannot load ") + libpq_name + ": " + loaded.error;
      break;
    case DlStatus::missing_function:
      error = std::string(libpq_name) + " lacks a function ostrel needs";
      break;
  }
  return false;
}

// Set while a libpq call is under way. A signal that ends the process runs
// the exit handler, which closes the store: in the middle of a libpq call
// the connection is left to the kernel to close (the server sees its end)
// rather than handed back to libpq from within itself.
volatile sig_atomic_t in_libpq = 0;

struct LibpqCall {
  LibpqCall() { in_libpq = 1; }
  ~LibpqCall() { in_libpq = 0; }
  LibpqCall(const LibpqCall&) = delete;
  LibpqCall& operator=(const LibpqCall&) = delete;
};

// libpq's messages span lines; a log line is one line.
std::string one_line(const char* text) {
  std::string line;
  bool blank = false;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    bool space = *p == '\n' || *p == '\r' || *p == '\t' || *p == ' ';
    if (space) {
      blank = !line.empty();
      continue;
    }
    if (blank) line += ' ';
    blank = false;
    line += *p;
  }
  return line;
}

const char* or_default(const char* text) { return text != nullptr && *text != '\0' ? text : "(default)"; }

// The password belongs in libpq's password file or a service file: a URI
// in DBFILE shows in process listings, unit files and run scripts.
enum class UriCheck { usable, unparsable, holds_password };

UriCheck check_uri(const char* uri) {
  char* parse_error = nullptr;
  PQconninfoOption* options = pq.PQconninfoParse(uri, &parse_error);
  // libpq's parse messages may quote the URI, so they are not passed on.
  if (parse_error != nullptr) pq.PQfreemem(parse_error);
  if (options == nullptr) return UriCheck::unparsable;
  UriCheck check = UriCheck::usable;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option)
    if ((std::strcmp(option->keyword, "password") == 0 || std::strcmp(option->keyword, "sslpassword") == 0) &&
        option->val != nullptr && option->val[0] != '\0')
      check = UriCheck::holds_password;
  pq.PQconninfoFree(options);
  return check;
}

// Failures that are the server out of reach or too slow, by SQLSTATE; an
// empty one is libpq's own failure, with no answer from a server at all.
bool means_unavailable(const std::string& state) {
  return state.empty() || state.compare(0, 2, "08") == 0 ||           // connection failures (pgbouncer's too)
         state == "53300" ||                                          // no connection slot left
         state == "57P01" || state == "57P02" || state == "57P03" ||  // shutting down, crashed, starting up
         state == "57014" ||                                          // cancelled: the statement time-out
         state == "55P03";                                            // a lock not had within the lock time-out
}

bool is_sqlstate(std::string_view text) {
  if (text.size() != 5) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  return true;
}

// A connection's message as libpq gives it in verbose form, where a
// server's answer reads "SEVERITY:  SQLSTATE: text" and ends with a
// LOCATION line. The SQLSTATE of the last answer (empty when no server
// answered) goes to state; the line for people keeps neither.
std::string connection_message(const char* text, std::string& state) {
  std::string kept;
  std::string_view rest = text != nullptr ? text : "";
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.rfind("LOCATION:", 0) == 0) continue;
    std::string copy(line);
    for (std::size_t at = copy.find(":  "); at != std::string::npos; at = copy.find(":  ", at + 1)) {
      std::string_view after = std::string_view(copy).substr(at + 3);
      if (after.size() > 6 && is_sqlstate(after.substr(0, 5)) && after.substr(5, 2) == ": ") {
        state = std::string(after.substr(0, 5));
        copy.erase(at + 3, 7);
      }
    }
    kept += copy + "\n";
  }
  return one_line(kept.c_str());
}

void log_notice(void* /*arg*/, const PGresult* notice) noexcept {
  const char* severity = pq.PQresultErrorField(notice, PG_DIAG_SEVERITY);
  const char* primary = pq.PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
  log_msg(notice_level, "PostgreSQL server %s: %s", severity != nullptr ? severity : "NOTICE",
          one_line(primary).c_str());
}

StoreError error_saying(std::string message) {
  StoreError error;
  error.has_message = true;
  error.message = std::move(message);
  return error;
}

// Where the rows of one answer of a round trip go: the answer at position
// `answer` (counted from 0), row by row.
struct RowTarget {
  int answer;
  int (*on_row)(void* userarg, int argc, char** argv, char** colnames);
  void* userarg;
};

// Keeps the one row of an answer that must give exactly one.
struct OneRow {
  std::vector<std::string> values;
  int rows = 0;
};

int keep_one_row(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& row = *static_cast<OneRow*>(userarg);
  if (++row.rows > 1) return 0;
  try {
    for (int i = 0; i < argc; ++i) row.values.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return 0;
  } catch (...) {
    return 1;
  }
}

long long number(const std::string& text) { return text.empty() ? 0 : std::stoll(text); }

constexpr const char* repeatable_read = "BEGIN ISOLATION LEVEL REPEATABLE READ;";

// A role as the GRANT must name it: a plain lower-case name as it is, any
// other in double quotes (a quote inside doubled), as psql would need it.
std::string quoted_role(std::string_view role) {
  const bool plain =
      (role[0] == '_' || (role[0] >= 'a' && role[0] <= 'z')) && std::all_of(role.begin(), role.end(), [](char c) {
        return c == '_' || c == '$' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
      });
  if (plain) return std::string(role);
  std::string quoted = "\"";
  for (char c : role) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

class PostgresStore final : public Store {
 public:
  explicit PostgresStore(std::string uri) : Store(std::move(uri)) {}
  ~PostgresStore() override { close(); }

  StoreOpening open(StoreCreate create) override;
  void close() override {
    if (conn_ != nullptr && in_libpq == 0) finish_connection();
  }
  [[nodiscard]] bool creates_missing() const override { return false; }
  [[nodiscard]] const char* location_named_in_errors() const override { return nullptr; }
  [[nodiscard]] std::string describe() const override;
  // A server process (or a pool's connection) per open connection: closed
  // while the dialogue runs.
  void set_aside() override {
    close();
    set_aside_ = true;
  }
  StoreOpening resume() override {
    if (!set_aside_) return {StoreOpen::opened, "", false};
    set_aside_ = false;
    return open(StoreCreate::never);
  }

  [[nodiscard]] TablesCheck check_tables() override;
  StoreResult<InitReport> init() override;
  [[nodiscard]] const char* schema_summary() const override {
    return "tables verified and pending, their indexes, the date functions, lock and statement time-outs";
  }
  [[nodiscard]] std::optional<std::string> role_grant(const char* role) const override {
    return "GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO " +
           (role != nullptr ? quoted_role(role) : std::string("<role>")) + ";";
  }
  StoreResult<> list(Table table, const std::vector<std::string>& keys, bool widths, RowSink& sink) override;
  StoreResult<AllowReport> allow(const char* key, bool permanent) override;
  StoreResult<int> schema_version() override;
  StoreResult<ForgetReport> forget(const char* key) override;
  StoreResult<StoreStats> stats(unsigned pending_hours, unsigned verified_hours) override;
  [[nodiscard]] bool copies_as_file() const override { return false; }
  [[nodiscard]] std::string file_name() const override { return ""; }
  [[nodiscard]] std::optional<CopyError> copy_into(const char* /*file*/) override {
    return CopyError{CopyError::Step::open, "a PostgreSQL store is not a file"};
  }
  [[nodiscard]] RestoreTargetCheck check_restore_target() override {
    return {RestoreTargetCheck::Status::unreadable, "a PostgreSQL store is not a file"};
  }
  [[nodiscard]] std::optional<RestoreError> restore_from(const char* /*file*/) override {
    return RestoreError{RestoreError::Kind::failed, "a PostgreSQL store is not a file"};
  }

 protected:
  Outcome run(const char* sql, RowCallback on_row, void* userarg) override;
  [[nodiscard]] const char* row_id() const override { return "ctid"; }
  void hold_key(std::uint64_t key) override;
  Outcome release_key() override;

 private:
  void finish_connection() {
    pq.PQfinish(conn_);
    conn_ = nullptr;
  }
  bool complete_connection(std::string& why);
  long long statement_deadline() const;
  bool await_answer(long long deadline, Outcome& outcome);
  void fail_with(Outcome& outcome, const PGresult* result);
  Outcome try_statements(const std::string& text, std::initializer_list<RowTarget> targets, long long deadline,
                         bool row_by_row = false);
  void roll_back_if_open(long long deadline);
  // The connection itself failed: the server went away, or never answered.
  static Outcome connection_lost(std::string message, const char* code_text) {
    return {false, true, true, std::move(message), code_text, 0};
  }
  static Outcome no_connection() { return connection_lost("no connection to the PostgreSQL server", ""); }
  static bool worth_another_try(const Outcome& outcome) {
    return outcome.code_text == "40001" || outcome.code_text == "40P01";
  }
  // One admin statement that gives exactly one row of `columns` values.
  StoreResult<std::vector<std::string>> one_row(const std::string& sql, std::size_t columns);

  PGconn* conn_ = nullptr;
  bool set_aside_ = false;
  // 0 for no limit of ostrel's own (the admin's schema changes and
  // listings, which may take long on a large table).
  int deadline_ms_ = statement_deadline_ms;
  // The transaction that hold_key asked for: its opening goes out with the
  // first statement, in the same round trip, and it lasts until
  // release_key. Every process that records an attempt of one triple takes
  // the same lock before it looks the triple up, so the lookup always sees
  // the write of the one before, and two first attempts cannot both insert.
  // An advisory lock ends with its transaction, which also makes it hold
  // through pgbouncer's transaction pooling. READ COMMITTED: each statement
  // sees what was committed before it began, the lock's holder before it
  // included.
  bool held_ = false;
  std::string opening_;  // sent with the next statement; empty once sent
};

}  // namespace

std::unique_ptr<Store> make_postgres_store(const char* uri, std::string& /*unsupported*/) {
  return std::make_unique<PostgresStore>(uri);
}

namespace {

std::string PostgresStore::describe() const {
  if (conn_ == nullptr) return "PostgreSQL database";
  return std::string("PostgreSQL database '") + or_default(pq.PQdb(conn_)) + "' on '" + or_default(pq.PQhost(conn_)) +
         "'";
}

// Drives libpq's connection through its steps until it is made, fails, or
// the deadline passes (false with why set for the last two).
bool PostgresStore::complete_connection(std::string& why) {
  long long deadline = monotonic_ms() + connect_deadline_ms;
  PostgresPollingStatusType step = PGRES_POLLING_WRITING;
  while (step != PGRES_POLLING_OK) {
    if (step == PGRES_POLLING_FAILED) {
      why = pq.PQerrorMessage(conn_);
      return false;
    }
    long long left = deadline - monotonic_ms();
    if (left <= 0) {
      why = "no connection within " + std::to_string(connect_deadline_ms / 1000) + " seconds";
      return false;
    }
    pollfd wait{pq.PQsocket(conn_), static_cast<short>(step == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    int ready = poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) {
      why = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready > 0) step = pq.PQconnectPoll(conn_);
  }
  return true;
}

StoreOpening PostgresStore::open(StoreCreate /*create*/) {
  close();
  StoreOpening failed{StoreOpen::failed, "", false};
  if (!load_libpq(failed.error)) return failed;
  LibpqCall call;
  switch (check_uri(location().c_str())) {
    case UriCheck::unparsable:
      failed.error = "the PostgreSQL URI does not parse";
      return failed;
    case UriCheck::holds_password:
      return {StoreOpen::refused,
              "the PostgreSQL URI holds a password, which would show in process listings; keep it in libpq's "
              "password file (~/.pgpass or PGPASSFILE) or in a service file (postgresql:///?service=NAME)",
              false};
    case UriCheck::usable:
      break;
  }
  const char* const keywords[] = {"fallback_application_name", "dbname", nullptr};
  const char* const values[] = {"ostrel", location().c_str(), nullptr};
  conn_ = pq.PQconnectStartParams(keywords, values, 1);
  if (conn_ == nullptr) {
    failed.error = "out of memory";
    return failed;
  }
  // The verbose form carries the SQLSTATE of a server's refusal, which
  // tells a fault of the set-up from a server that cannot take us now.
  pq.PQsetErrorVerbosity(conn_, PQERRORS_VERBOSE);
  pq.PQsetNoticeReceiver(conn_, log_notice, nullptr);
  std::string why;
  if (pq.PQstatus(conn_) == CONNECTION_BAD || !complete_connection(why)) {
    if (why.empty()) why = pq.PQerrorMessage(conn_);
    std::string state;
    failed.error = describe() + ": " + connection_message(why.c_str(), state);
    failed.unreachable = means_unavailable(state);
    finish_connection();
    return failed;
  }
  pq.PQsetErrorVerbosity(conn_, PQERRORS_DEFAULT);
  return {StoreOpen::opened, "", false};
}

long long PostgresStore::statement_deadline() const {
  constexpr long long far_away = 1LL << 60;
  return deadline_ms_ > 0 ? monotonic_ms() + deadline_ms_ : far_away;
}

// Waits until the answer to the query sent is complete, or the deadline.
bool PostgresStore::await_answer(long long deadline, Outcome& outcome) {
  while (pq.PQisBusy(conn_) != 0) {
    long long left = deadline - monotonic_ms();
    if (left <= 0) {
      outcome.message =
          "no answer from the PostgreSQL server within " + std::to_string(deadline_ms_ / 1000) + " seconds";
      return false;
    }
    pollfd wait{pq.PQsocket(conn_), POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, 60 * 1000)));
    if (ready < 0 && errno != EINTR) {
      outcome.message = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready > 0 && pq.PQconsumeInput(conn_) == 0) {
      outcome.message = one_line(pq.PQerrorMessage(conn_));
      return false;
    }
  }
  return true;
}

void PostgresStore::fail_with(Outcome& outcome, const PGresult* result) {
  if (!outcome.ok) return;  // the first failure is the one that counts
  outcome.ok = false;
  outcome.has_message = true;
  const char* primary = pq.PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  const char* state = pq.PQresultErrorField(result, PG_DIAG_SQLSTATE);
  outcome.message = primary != nullptr ? one_line(primary) : one_line(pq.PQerrorMessage(conn_));
  outcome.code_text = state != nullptr ? state : "";
  outcome.unavailable = means_unavailable(outcome.code_text);
}

// Hands each row of result to target's callback as text; a non-zero return
// aborts the statement.
bool deliver_rows(const PGresult* result, const RowTarget& target) {
  int columns = pq.PQnfields(result);
  std::vector<char*> values(static_cast<std::size_t>(columns) + 1, nullptr);
  for (int row = 0; row < pq.PQntuples(result); ++row) {
    for (int column = 0; column < columns; ++column)
      values[static_cast<std::size_t>(column)] =
          pq.PQgetisnull(result, row, column) != 0 ? nullptr : pq.PQgetvalue(result, row, column);
    if (target.on_row(target.userarg, columns, values.data(), nullptr) != 0) return false;
  }
  return true;
}

// Sends text, which may hold several statements, in one round trip and
// collects the answers; the rows of the answers that targets name go to
// their callbacks, and the first target's answer gives the count of rows
// changed. Row by row, libpq holds one row at a time, however many the
// answers give.
Store::Outcome PostgresStore::try_statements(const std::string& text, std::initializer_list<RowTarget> targets,
                                             long long deadline, bool row_by_row) {
  Outcome outcome;
  if (pq.PQsendQuery(conn_, text.c_str()) == 0) return connection_lost(one_line(pq.PQerrorMessage(conn_)), "");
  if (row_by_row) (void)pq.PQsetSingleRowMode(conn_);
  int answer = 0;
  for (;;) {
    Outcome wait;
    if (!await_answer(deadline, wait)) {
      finish_connection();  // the connection is mid-answer: no further statement on it
      return connection_lost(wait.message, "timeout");
    }
    PGresult* result = pq.PQgetResult(conn_);
    if (result == nullptr) break;
    ExecStatusType status = pq.PQresultStatus(result);
    const RowTarget* target = nullptr;
    for (const RowTarget& candidate : targets)
      if (candidate.answer == answer) target = &candidate;
    if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
      fail_with(outcome, result);
    } else if (target != nullptr) {
      if ((status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE) && target->on_row != nullptr && outcome.ok &&
          !deliver_rows(result, *target)) {
        outcome.ok = false;
        outcome.has_message = true;
        outcome.message = "query aborted";
      }
      const char* changed = pq.PQcmdTuples(result);
      if (target == targets.begin() && changed != nullptr && *changed != '\0')
        outcome.changes = std::strtol(changed, nullptr, 10);
    }
    pq.PQclear(result);
    if (status != PGRES_SINGLE_TUPLE) ++answer;  // a row of an answer still under way
  }
  return outcome;
}

void PostgresStore::roll_back_if_open(long long deadline) {
  if (conn_ == nullptr || pq.PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
  Outcome ignored = try_statements("ROLLBACK", {}, deadline);
  (void)ignored;
}

void PostgresStore::hold_key(std::uint64_t key) {
  held_ = true;
  opening_ = "BEGIN ISOLATION LEVEL READ COMMITTED;SELECT pg_advisory_xact_lock(" +
             std::to_string(static_cast<std::int64_t>(key)) + ");";
}

Store::Outcome PostgresStore::release_key() {
  bool began = held_ && opening_.empty();
  held_ = false;
  opening_.clear();
  if (!began) return {};
  if (conn_ == nullptr) return no_connection();
  LibpqCall call;
  return try_statements("COMMIT", {{0, nullptr, nullptr}}, statement_deadline());
}

Store::Outcome PostgresStore::run(const char* sql, RowCallback on_row, void* userarg) {
  if (conn_ == nullptr) return no_connection();
  LibpqCall call;
  long long deadline = statement_deadline();
  if (held_) {
    // A failure inside the held transaction ends it: nothing runs again.
    int answer = opening_.empty() ? 0 : 2;
    std::string text = opening_ + sql;
    opening_.clear();
    return try_statements(text, {{answer, on_row, userarg}}, deadline);
  }
  // Otherwise each statement runs in a REPEATABLE READ transaction of its
  // own, sent in one round trip: a statement that reads a row which another
  // transaction changes meanwhile is refused (serialization failure) and
  // runs again instead of writing a value computed from the old row.
  std::string text = std::string(repeatable_read) + sql + ";COMMIT";
  Outcome outcome;
  for (int attempt = 0;; ++attempt) {
    outcome = try_statements(text, {{1, on_row, userarg}}, deadline);
    if (outcome.ok) return outcome;
    roll_back_if_open(deadline);
    if (!worth_another_try(outcome) || attempt == serialization_retries || conn_ == nullptr) return outcome;
    usleep(static_cast<useconds_t>(1000 + random() % (1000 * (attempt + 1))));
  }
}

// ---- The admin's operations. The client key has been checked (an address
// or a network in ostrel's canonical form) and goes in quoted.

int record_flags(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& flags = *static_cast<std::string*>(userarg);
  for (int i = 0; i < argc; ++i) flags += argv[i] != nullptr && argv[i][0] == 't' ? 't' : 'f';
  return 0;
}

TablesCheck PostgresStore::check_tables() {
  std::string present;
  Outcome outcome =
      run("SELECT to_regclass('verified') IS NOT NULL, to_regclass('pending') IS NOT NULL", record_flags, &present);
  if (!outcome.ok)
    return {TablesCheck::Status::unreadable, "", outcome.has_message ? outcome.message : outcome.code_text};
  const char* tables[] = {"verified", "pending"};
  for (std::size_t i = 0; i < 2; ++i)
    if (i >= present.size() || present[i] != 't') return {TablesCheck::Status::missing, tables[i], ""};
  return {};
}

StoreResult<std::vector<std::string>> PostgresStore::one_row(const std::string& sql, std::size_t columns) {
  OneRow row;
  Outcome outcome = run(sql.c_str(), keep_one_row, &row);
  if (!outcome.ok) return {{}, error_saying(outcome.has_message ? outcome.message : outcome.code_text)};
  if (row.rows != 1 || row.values.size() != columns) return {{}, error_saying("no result")};
  return {row.values, std::nullopt};
}

// As the owner role: the functions, tables, indexes and time-outs of
// schema-pg.sql; running it again changes nothing. An index built on a
// large table may take longer than the time-out that the schema sets for
// ostrel's own statements: this transaction waits.
StoreResult<InitReport> PostgresStore::init() {
  const std::string census =
      "SELECT (SELECT count(*) FROM pg_class WHERE relnamespace = current_schema()::regnamespace AND relname IN "
      "('verified', 'pending', 'verified_by_ip', 'pending_by_triple', 'verified_by_age', 'pending_by_age', "
      "'schema_version')) + (SELECT count(*) FROM pg_proc WHERE pronamespace = current_schema()::regnamespace AND "
      "proname IN ('datetime', 'strftime', 'verified_keep_permanent')) + (SELECT count(*) FROM pg_trigger WHERE "
      "tgname = 'verified_permanent_kept')";
  deadline_ms_ = 0;
  StoreResult<std::vector<std::string>> before = one_row(census, 1);
  if (!before.ok()) return {{}, before.error};
  Outcome schema = run((std::string("SET LOCAL statement_timeout = 0;") + schema_pg_sql).c_str(), nullptr, nullptr);
  if (!schema.ok) return {{}, error_saying(schema.has_message ? schema.message : schema.code_text)};
  StoreResult<std::vector<std::string>> after = one_row(census, 1);
  if (!after.ok()) return {{}, after.error};
  return {{!(before.value[0] == after.value[0] && number(after.value[0]) == 12)}, std::nullopt};
}

struct ListRows {
  RowSink& sink;
  std::size_t columns;
  std::vector<std::string> cells;
};

int pass_widths(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& list = *static_cast<ListRows*>(userarg);
  try {
    std::vector<std::size_t> longest;
    for (int i = 0; i < argc; ++i) longest.push_back(argv[i] != nullptr ? std::strtoul(argv[i], nullptr, 10) : 0);
    list.sink.widths(longest);
    return 0;
  } catch (...) {
    return 1;
  }
}

int pass_row(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& list = *static_cast<ListRows*>(userarg);
  try {
    list.cells.assign(static_cast<std::size_t>(argc), "");
    for (int i = 0; i < argc; ++i)
      if (argv[i] != nullptr) list.cells[static_cast<std::size_t>(i)] = argv[i];
    list.sink.row(list.cells);
    return 0;
  } catch (...) {
    return 1;
  }
}

// Both passes in one read-only snapshot, the rows row by row: a listing
// holds one row at a time however long the table is, and a listing that a
// slow reader holds up has no deadline.
StoreResult<> PostgresStore::list(Table table, const std::vector<std::string>& keys, bool widths, RowSink& sink) {
  if (conn_ == nullptr) return {{}, error_saying(no_connection().message)};
  const std::vector<const char*>& columns = table_columns(table);
  std::string from = table == Table::pending ? "pending" : "verified";
  for (std::size_t i = 0; i < keys.size(); ++i)
    from += (i == 0 ? " WHERE ip IN (" : ", ") + sql_quoted(keys[i].c_str());
  if (!keys.empty()) from += ")";
  std::string width_sql = "SELECT ";
  std::string row_sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    width_sql += std::string(i ? ", " : "") + "COALESCE(MAX(octet_length(" + columns[i] + "::text)), 0)";
    row_sql += std::string(i ? ", " : "") + columns[i];
  }
  width_sql += " FROM " + from;
  row_sql += " FROM " + from + (table == Table::pending ? " ORDER BY tsfirstdelivery, ctid" : " ORDER BY ts, ctid");
  ListRows rows{sink, columns.size(), {}};
  std::string text = "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY;SET LOCAL statement_timeout = 0;" +
                     (widths ? width_sql + ";" : "") + row_sql + ";COMMIT";
  LibpqCall call;
  deadline_ms_ = 0;
  Outcome outcome =
      widths ? try_statements(text, {{3, pass_row, &rows}, {2, pass_widths, &rows}}, statement_deadline(), true)
             : try_statements(text, {{2, pass_row, &rows}}, statement_deadline(), true);
  roll_back_if_open(statement_deadline());
  if (!outcome.ok) return {{}, error_saying(outcome.has_message ? outcome.message : outcome.code_text)};
  return {};
}

// One statement: its parts share one snapshot and commit together.
StoreResult<AllowReport> PostgresStore::allow(const char* key, bool permanent) {
  const std::string value = sql_quoted(key);
  const std::string ts = permanent ? sql_quoted(permanent_ts) : "DATETIME('now')";
  StoreResult<std::vector<std::string>> row =
      one_row("WITH known AS (SELECT count(*) AS n FROM verified WHERE ip = " + value +
                  "), refreshed AS (UPDATE verified SET ts = " + ts + " WHERE ip = " + value +
                  " RETURNING 1), added AS (INSERT INTO verified (ip, ts) SELECT " + value + ", " + ts +
                  " WHERE (SELECT n FROM known) = 0 RETURNING 1), purged AS (DELETE FROM "
                  "pending WHERE ip = " +
                  value +
                  " RETURNING 1) SELECT (SELECT n FROM known), (SELECT count(*) FROM purged), "
                  "(SELECT count(*) FROM refreshed) + (SELECT count(*) FROM added)",
              3);
  if (!row.ok()) return {{}, row.error};
  return {{number(row.value[0]) > 0, number(row.value[1])}, std::nullopt};
}

// A schema from before the version was recorded has no table for it.
StoreResult<int> PostgresStore::schema_version() {
  StoreResult<std::vector<std::string>> recorded = one_row("SELECT to_regclass('schema_version') IS NOT NULL", 1);
  if (!recorded.ok()) return {0, recorded.error};
  if (recorded.value[0] != "t") return {0, std::nullopt};
  StoreResult<std::vector<std::string>> version =
      one_row("SELECT COALESCE((SELECT max(version) FROM schema_version), 0)", 1);
  if (!version.ok()) return {0, version.error};
  return {static_cast<int>(number(version.value[0])), std::nullopt};
}

StoreResult<ForgetReport> PostgresStore::forget(const char* key) {
  const std::string value = sql_quoted(key);
  StoreResult<std::vector<std::string>> row =
      one_row("WITH v AS (DELETE FROM verified WHERE ip = " + value +
                  " RETURNING 1), p AS (DELETE FROM pending WHERE ip = " + value +
                  " RETURNING 1) SELECT (SELECT count(*) FROM v), (SELECT count(*) FROM p)",
              2);
  if (!row.ok()) return {{}, row.error};
  return {{number(row.value[0]), number(row.value[1])}, std::nullopt};
}

int count_attempts(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& by_attempts = *static_cast<std::vector<std::pair<std::string, long long>>*>(userarg);
  try {
    if (argc >= 2)
      by_attempts.emplace_back(argv[0] != nullptr ? argv[0] : "", number(argv[1] != nullptr ? argv[1] : ""));
    return 0;
  } catch (...) {
    return 1;
  }
}

// The figures and the counts by attempts in one snapshot. Rows without a
// number of attempts are left out of those counts.
StoreResult<StoreStats> PostgresStore::stats(unsigned pending_hours, unsigned verified_hours) {
  if (conn_ == nullptr) return {{}, error_saying(no_connection().message)};
  const std::string lasting = "ts <> " + sql_quoted(permanent_ts);
  const std::string figures =
      "SELECT (SELECT count(*) FROM verified), COALESCE((SELECT min(ts) FROM verified WHERE " + lasting +
      "), '-'), COALESCE((SELECT max(ts) FROM verified WHERE " + lasting +
      "), '-'), (SELECT count(*) FROM verified WHERE ts < " + hours_ago_sql(verified_hours) +
      "), (SELECT count(*) FROM pending), COALESCE((SELECT min(tsfirstdelivery) FROM pending), '-'), "
      "COALESCE((SELECT max(tslastdelivery) FROM pending), '-'), (SELECT count(*) FROM pending WHERE "
      "tsfirstdelivery < " +
      hours_ago_sql(pending_hours) + "), (SELECT count(*) FROM verified WHERE ts = " + sql_quoted(permanent_ts) + ")";
  const std::string counts =
      "SELECT attempts, count(*) FROM pending WHERE attempts IS NOT NULL GROUP BY attempts ORDER BY attempts";
  OneRow row;
  StoreStats stats;
  LibpqCall call;
  Outcome outcome =
      try_statements(std::string(repeatable_read) + figures + ";" + counts + ";COMMIT",
                     {{1, keep_one_row, &row}, {2, count_attempts, &stats.by_attempts}}, statement_deadline());
  roll_back_if_open(statement_deadline());
  if (!outcome.ok) return {{}, error_saying(outcome.has_message ? outcome.message : outcome.code_text)};
  if (row.rows != 1 || row.values.size() != 9) return {{}, error_saying("no result")};
  const std::vector<std::string>& v = row.values;
  stats.verified_rows = number(v[0]);
  stats.verified_oldest = v[1];
  stats.verified_newest = v[2];
  stats.verified_stale = number(v[3]);
  stats.pending_rows = number(v[4]);
  stats.pending_first = v[5];
  stats.pending_last = v[6];
  stats.pending_stale = number(v[7]);
  stats.verified_permanent = number(v[8]);
  return {stats, std::nullopt};
}

}  // namespace
