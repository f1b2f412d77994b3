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
// them arrives as an error of its own and is logged at level 3.
#include <dlfcn.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "store_engine.h"

namespace {

constexpr const char* libpq_name = "libpq.so.5";
// How long making the connection may take, every host of the URI together,
// in milliseconds.
constexpr int connect_deadline_ms = 3000;
// Level of the server's notices in the log.
constexpr int notice_level = 5;
// Concurrent writers of one row: the later one is refused and runs again.
constexpr int serialization_retries = 20;

// The functions of libpq that the engine uses, taken from the library at
// run time with the types its header declares.
struct Libpq {
  decltype(&PQconninfoParse) conninfoParse;
  decltype(&PQconninfoFree) conninfoFree;
  decltype(&PQfreemem) freemem;
  decltype(&PQconnectStartParams) connectStartParams;
  decltype(&PQconnectPoll) connectPoll;
  decltype(&PQsetErrorVerbosity) setErrorVerbosity;
  decltype(&PQsetNoticeReceiver) setNoticeReceiver;
  decltype(&PQstatus) status;
  decltype(&PQerrorMessage) errorMessage;
  decltype(&PQhost) host;
  decltype(&PQdb) db;
  decltype(&PQfinish) finish;
  decltype(&PQsocket) socket;
  decltype(&PQsendQuery) sendQuery;
  decltype(&PQconsumeInput) consumeInput;
  decltype(&PQisBusy) isBusy;
  decltype(&PQgetResult) getResult;
  decltype(&PQresultStatus) resultStatus;
  decltype(&PQresultErrorField) resultErrorField;
  decltype(&PQclear) clear;
  decltype(&PQntuples) ntuples;
  decltype(&PQnfields) nfields;
  decltype(&PQgetvalue) getvalue;
  decltype(&PQgetisnull) getisnull;
  decltype(&PQcmdTuples) cmdTuples;
  decltype(&PQtransactionStatus) transactionStatus;
};

Libpq pq{};
bool pq_loaded = false;
PGconn* conn = nullptr;

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

void finish_connection() {
  pq.finish(conn);
  conn = nullptr;
}

template <typename F>
bool resolve(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(library, name));
  return function != nullptr;
}

bool load_libpq(std::string& error) {
  if (pq_loaded) return true;
  void* library = dlopen(libpq_name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    error = std::string("cannot load ") + libpq_name + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  bool all = resolve(library, "PQconninfoParse", pq.conninfoParse) &&
             resolve(library, "PQconninfoFree", pq.conninfoFree) && resolve(library, "PQfreemem", pq.freemem) &&
             resolve(library, "PQconnectStartParams", pq.connectStartParams) &&
             resolve(library, "PQconnectPoll", pq.connectPoll) &&
             resolve(library, "PQsetErrorVerbosity", pq.setErrorVerbosity) &&
             resolve(library, "PQsetNoticeReceiver", pq.setNoticeReceiver) && resolve(library, "PQstatus", pq.status) &&
             resolve(library, "PQerrorMessage", pq.errorMessage) && resolve(library, "PQhost", pq.host) &&
             resolve(library, "PQdb", pq.db) && resolve(library, "PQfinish", pq.finish) &&
             resolve(library, "PQsocket", pq.socket) && resolve(library, "PQsendQuery", pq.sendQuery) &&
             resolve(library, "PQconsumeInput", pq.consumeInput) && resolve(library, "PQisBusy", pq.isBusy) &&
             resolve(library, "PQgetResult", pq.getResult) && resolve(library, "PQresultStatus", pq.resultStatus) &&
             resolve(library, "PQresultErrorField", pq.resultErrorField) && resolve(library, "PQclear", pq.clear) &&
             resolve(library, "PQntuples", pq.ntuples) && resolve(library, "PQnfields", pq.nfields) &&
             resolve(library, "PQgetvalue", pq.getvalue) && resolve(library, "PQgetisnull", pq.getisnull) &&
             resolve(library, "PQcmdTuples", pq.cmdTuples) &&
             resolve(library, "PQtransactionStatus", pq.transactionStatus);
  if (!all) {
    error = std::string(libpq_name) + " lacks a function ostrel needs";
    dlclose(library);
    return false;
  }
  pq_loaded = true;  // the library stays loaded for the life of the process
  return true;
}

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
  PQconninfoOption* options = pq.conninfoParse(uri, &parse_error);
  // libpq's parse messages may quote the URI, so they are not passed on.
  if (parse_error != nullptr) pq.freemem(parse_error);
  if (options == nullptr) return UriCheck::unparsable;
  UriCheck check = UriCheck::usable;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option)
    if ((std::strcmp(option->keyword, "password") == 0 || std::strcmp(option->keyword, "sslpassword") == 0) &&
        option->val != nullptr && option->val[0] != '\0')
      check = UriCheck::holds_password;
  pq.conninfoFree(options);
  return check;
}

std::string describe_database() {
  if (conn == nullptr) return "PostgreSQL database";
  return std::string("PostgreSQL database '") + or_default(pq.db(conn)) + "' on '" + or_default(pq.host(conn)) + "'";
}

// Failures that are the server out of reach or too slow, by SQLSTATE; an
// empty one is libpq's own failure, with no answer from a server at all.
bool means_unavailable(const std::string& state) {
  return state.empty() || state.compare(0, 2, "08") == 0 ||  // connection failures (pgbouncer's too)
         state == "53300" ||                                  // no connection slot left
         state == "57P01" || state == "57P02" || state == "57P03" ||  // shutting down, crashed, starting up
         state == "57014" ||                                  // cancelled: the statement time-out
         state == "55P03";                                    // a lock not had within the lock time-out
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
  const char* severity = pq.resultErrorField(notice, PG_DIAG_SEVERITY);
  const char* primary = pq.resultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
  log_msg(notice_level, "PostgreSQL server %s: %s", severity != nullptr ? severity : "NOTICE",
          one_line(primary).c_str());
}

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Drives libpq's connection through its steps until it is made, fails, or
// the deadline passes (false with why set for the last two).
bool complete_connection(std::string& why) {
  long long deadline = now_ms() + connect_deadline_ms;
  PostgresPollingStatusType step = PGRES_POLLING_WRITING;
  while (step != PGRES_POLLING_OK) {
    if (step == PGRES_POLLING_FAILED) {
      why = pq.errorMessage(conn);
      return false;
    }
    long long left = deadline - now_ms();
    if (left <= 0) {
      why = "no connection within " + std::to_string(connect_deadline_ms / 1000) + " seconds";
      return false;
    }
    pollfd wait{pq.socket(conn), static_cast<short>(step == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    int ready = poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) {
      why = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready > 0) step = pq.connectPoll(conn);
  }
  return true;
}

EngineOpen open_database(const char* uri, bool /*create_missing*/, std::string& error) {
  if (!load_libpq(error)) return EngineOpen::failed;
  LibpqCall call;
  switch (check_uri(uri)) {
    case UriCheck::unparsable:
      error = "the PostgreSQL URI does not parse";
      return EngineOpen::failed;
    case UriCheck::holds_password:
      error =
          "the PostgreSQL URI holds a password, which would show in process listings; keep it in libpq's "
          "password file (~/.pgpass or PGPASSFILE) or in a service file (postgresql:///?service=NAME)";
      return EngineOpen::refused;
    case UriCheck::usable: break;
  }
  const char* const keywords[] = {"fallback_application_name", "dbname", nullptr};
  const char* const values[] = {"ostrel", uri, nullptr};
  conn = pq.connectStartParams(keywords, values, 1);
  if (conn == nullptr) {
    error = "out of memory";
    return EngineOpen::failed;
  }
  // The verbose form carries the SQLSTATE of a server's refusal, which
  // tells a fault of the set-up from a server that cannot take us now.
  pq.setErrorVerbosity(conn, PQERRORS_VERBOSE);
  pq.setNoticeReceiver(conn, log_notice, nullptr);
  std::string why;
  if (pq.status(conn) == CONNECTION_BAD || !complete_connection(why)) {
    if (why.empty()) why = pq.errorMessage(conn);
    std::string state;
    error = describe_database() + ": " + connection_message(why.c_str(), state);
    finish_connection();
    return means_unavailable(state) ? EngineOpen::unreachable : EngineOpen::failed;
  }
  pq.setErrorVerbosity(conn, PQERRORS_DEFAULT);
  return EngineOpen::opened;
}

void close_database() {
  if (conn != nullptr && in_libpq == 0) finish_connection();
}

long long statement_deadline() {
  constexpr long long far_away = 1LL << 60;
  return postgres_statement_deadline_ms > 0 ? now_ms() + postgres_statement_deadline_ms : far_away;
}

// Waits until the answer to the query sent is complete, or the deadline.
bool await_answer(long long deadline, EngineOutcome& outcome) {
  while (pq.isBusy(conn) != 0) {
    long long left = deadline - now_ms();
    if (left <= 0) {
      outcome.message = "no answer from the PostgreSQL server within " +
                        std::to_string(postgres_statement_deadline_ms / 1000) + " seconds";
      return false;
    }
    pollfd wait{pq.socket(conn), POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, 60 * 1000)));
    if (ready < 0 && errno != EINTR) {
      outcome.message = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (ready > 0 && pq.consumeInput(conn) == 0) {
      outcome.message = one_line(pq.errorMessage(conn));
      return false;
    }
  }
  return true;
}

void fail_with(EngineOutcome& outcome, const PGresult* result) {
  if (!outcome.ok) return;  // the first failure is the one that counts
  outcome.ok = false;
  outcome.has_message = true;
  const char* primary = pq.resultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  const char* state = pq.resultErrorField(result, PG_DIAG_SQLSTATE);
  outcome.message = primary != nullptr ? one_line(primary) : one_line(pq.errorMessage(conn));
  outcome.code_text = state != nullptr ? state : "";
  outcome.unavailable = means_unavailable(outcome.code_text);
}

// The connection itself failed: the server went away, or never answered.
EngineOutcome connection_lost(std::string message, const char* code_text) {
  EngineOutcome outcome;
  outcome.ok = false;
  outcome.unavailable = true;
  outcome.has_message = true;
  outcome.message = std::move(message);
  outcome.code_text = code_text;
  return outcome;
}

// Hands each row to on_row as text; a non-zero return aborts the statement.
bool deliver_rows(const PGresult* result, RowCallback on_row, void* userarg) {
  int columns = pq.nfields(result);
  std::vector<char*> values(static_cast<std::size_t>(columns) + 1, nullptr);
  for (int row = 0; row < pq.ntuples(result); ++row) {
    for (int column = 0; column < columns; ++column)
      values[static_cast<std::size_t>(column)] =
          pq.getisnull(result, row, column) != 0 ? nullptr : pq.getvalue(result, row, column);
    if (on_row(userarg, columns, values.data(), nullptr) != 0) return false;
  }
  return true;
}

// Sends text, which may hold several statements, in one round trip and
// collects the answers; the answer at position `statement` (counted from 0;
// -1 for none) is the caller's statement, whose rows go to on_row.
EngineOutcome try_statement(const std::string& text, int statement, RowCallback on_row, void* userarg,
                            long long deadline) {
  EngineOutcome outcome;
  if (pq.sendQuery(conn, text.c_str()) == 0) return connection_lost(one_line(pq.errorMessage(conn)), "");
  int index = 0;
  for (;;) {
    EngineOutcome wait;
    if (!await_answer(deadline, wait)) {
      finish_connection();  // the connection is mid-answer: no further statement on it
      return connection_lost(wait.message, "timeout");
    }
    PGresult* result = pq.getResult(conn);
    if (result == nullptr) break;
    ExecStatusType status = pq.resultStatus(result);
    if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
      fail_with(outcome, result);
    } else if (index == statement) {
      if (status == PGRES_TUPLES_OK && on_row != nullptr && !deliver_rows(result, on_row, userarg) && outcome.ok) {
        outcome.ok = false;
        outcome.has_message = true;
        outcome.message = "query aborted";
      }
      const char* changed = pq.cmdTuples(result);
      if (changed != nullptr && *changed != '\0') outcome.changes = std::strtol(changed, nullptr, 10);
    }
    pq.clear(result);
    ++index;
  }
  return outcome;
}

void roll_back_if_open(long long deadline) {
  if (conn == nullptr || pq.transactionStatus(conn) == PQTRANS_IDLE) return;
  EngineOutcome ignored = try_statement("ROLLBACK", -1, nullptr, nullptr, deadline);
  (void)ignored;
}

bool worth_another_try(const EngineOutcome& outcome) {
  return outcome.code_text == "40001" || outcome.code_text == "40P01";
}

// The transaction that hold_key asked for: its opening goes out with the
// first statement, in the same round trip, and it lasts until release_key.
// Every process that records an attempt of one triple takes the same lock
// before it looks the triple up, so the lookup always sees the write of the
// one before, and two first attempts cannot both insert. An advisory lock
// ends with its transaction, which also makes it hold through pgbouncer's
// transaction pooling. READ COMMITTED: each statement sees what was
// committed before it began, the lock's holder before it included.
struct HeldKey {
  bool held = false;
  std::string opening;  // sent with the next statement; empty once sent
};
HeldKey held_key;

void hold_key(std::uint64_t key) {
  held_key.held = true;
  held_key.opening = "BEGIN ISOLATION LEVEL READ COMMITTED;SELECT pg_advisory_xact_lock(" +
                     std::to_string(static_cast<std::int64_t>(key)) + ");";
}

EngineOutcome no_connection() {
  return connection_lost("no connection to the PostgreSQL server", "");
}

EngineOutcome release_key() {
  bool began = held_key.held && held_key.opening.empty();
  held_key = HeldKey{};
  if (!began) return {};
  if (conn == nullptr) return no_connection();
  LibpqCall call;
  return try_statement("COMMIT", 0, nullptr, nullptr, statement_deadline());
}

EngineOutcome exec_statement(const char* sql, RowCallback on_row, void* userarg) {
  if (conn == nullptr) return no_connection();
  LibpqCall call;
  long long deadline = statement_deadline();
  if (held_key.held) {
    // A failure inside the held transaction ends it: nothing runs again.
    int statement = held_key.opening.empty() ? 0 : 2;
    std::string text = held_key.opening + sql;
    held_key.opening.clear();
    return try_statement(text, statement, on_row, userarg, deadline);
  }
  // Otherwise each statement runs in a REPEATABLE READ transaction of its
  // own, sent in one round trip: a statement that reads a row which another
  // transaction changes meanwhile is refused (serialization failure) and
  // runs again instead of writing a value computed from the old row.
  std::string text = std::string("BEGIN ISOLATION LEVEL REPEATABLE READ;") + sql + ";COMMIT";
  EngineOutcome outcome;
  for (int attempt = 0;; ++attempt) {
    outcome = try_statement(text, 1, on_row, userarg, deadline);
    if (outcome.ok) return outcome;
    roll_back_if_open(deadline);
    if (!worth_another_try(outcome) || attempt == serialization_retries || conn == nullptr) return outcome;
    usleep(static_cast<useconds_t>(1000 + random() % (1000 * (attempt + 1))));
  }
}

// A server process (or a pool's connection) per open connection: closed
// while the dialogue runs.
const StoreEngine engine = {open_database, close_database, exec_statement, describe_database, true, "ctid",
                            hold_key,      release_key};

}  // namespace

int postgres_statement_deadline_ms = 5000;

const StoreEngine* const postgres_engine = &engine;
