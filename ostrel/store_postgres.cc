// The PostgreSQL engine of the greylist store: one database that the ostrel
// processes of every MX host of a site share, named by a postgresql:// or
// postgres:// URI. libpq is loaded with dlopen when such a URI is opened, so
// that the SQLite road does not load it (nor the libraries it pulls in) at
// each process start.
//
// Every wait is bounded: the connection by libpq's connect_timeout, each
// statement by a deadline of its own (and by the lock and statement
// time-outs that the schema sets on the database). A failure is a database
// failure like SQLite's; there is no busy handler and no lock to wait for.
#include <dlfcn.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "store_engine.h"

namespace {

constexpr const char* libpq_name = "libpq.so.5";
// libpq's connect_timeout, in seconds, for each host of the URI.
constexpr const char* connect_timeout_s = "3";
// How long one statement may take, retries included, in milliseconds.
constexpr int statement_deadline_ms = 5000;
// Concurrent writers of one row: the later one is refused and runs again.
constexpr int serialization_retries = 20;

// The functions of libpq that the engine uses, taken from the library at
// run time with the types its header declares.
struct Libpq {
  decltype(&PQconninfoParse) conninfoParse;
  decltype(&PQconninfoFree) conninfoFree;
  decltype(&PQfreemem) freemem;
  decltype(&PQconnectdbParams) connectdbParams;
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
             resolve(library, "PQconnectdbParams", pq.connectdbParams) && resolve(library, "PQstatus", pq.status) &&
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
  // Later keywords win: the URI cannot lengthen the connection time-out.
  const char* const keywords[] = {"fallback_application_name", "dbname", "connect_timeout", nullptr};
  const char* const values[] = {"ostrel", uri, connect_timeout_s, nullptr};
  conn = pq.connectdbParams(keywords, values, 1);
  if (conn == nullptr) {
    error = "out of memory";
    return EngineOpen::failed;
  }
  if (pq.status(conn) != CONNECTION_OK) {
    error = describe_database() + ": " + one_line(pq.errorMessage(conn));
    finish_connection();
    return EngineOpen::failed;
  }
  return EngineOpen::opened;
}

void close_database() {
  if (conn != nullptr && in_libpq == 0) finish_connection();
}

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the answer to the query sent is complete, or the deadline.
bool await_answer(long long deadline, EngineOutcome& outcome) {
  while (pq.isBusy(conn) != 0) {
    long long left = deadline - now_ms();
    if (left <= 0) {
      outcome.message = "no answer from the PostgreSQL server within " +
                        std::to_string(statement_deadline_ms / 1000) + " seconds";
      return false;
    }
    pollfd wait{pq.socket(conn), POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(left));
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

// One try: the statement in a transaction of its own, sent in one round
// trip. Under REPEATABLE READ a statement that reads a row which another
// transaction changes meanwhile is refused (serialization failure) instead
// of writing a value computed from the old row, so no attempt count is lost.
EngineOutcome try_statement(const std::string& text, RowCallback on_row, void* userarg, long long deadline) {
  EngineOutcome outcome;
  if (pq.sendQuery(conn, text.c_str()) == 0) {
    outcome.ok = false;
    outcome.has_message = true;
    outcome.message = one_line(pq.errorMessage(conn));
    return outcome;
  }
  int index = 0;
  for (;;) {
    EngineOutcome wait;
    if (!await_answer(deadline, wait)) {
      outcome.ok = false;
      outcome.has_message = true;
      outcome.message = wait.message;
      outcome.code_text = "timeout";
      finish_connection();  // the connection is mid-answer: no further statement on it
      return outcome;
    }
    PGresult* result = pq.getResult(conn);
    if (result == nullptr) break;
    ExecStatusType status = pq.resultStatus(result);
    if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
      fail_with(outcome, result);
    } else if (index == 1) {  // the statement itself, between BEGIN and COMMIT
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
  EngineOutcome ignored = try_statement("ROLLBACK", nullptr, nullptr, deadline);
  (void)ignored;
}

bool worth_another_try(const EngineOutcome& outcome) {
  return outcome.code_text == "40001" || outcome.code_text == "40P01";
}

EngineOutcome exec_statement(const char* sql, RowCallback on_row, void* userarg) {
  EngineOutcome outcome;
  if (conn == nullptr) {
    outcome.ok = false;
    outcome.has_message = true;
    outcome.message = "no connection to the PostgreSQL server";
    return outcome;
  }
  LibpqCall call;
  std::string text = std::string("BEGIN ISOLATION LEVEL REPEATABLE READ;") + sql + ";COMMIT";
  long long deadline = now_ms() + statement_deadline_ms;
  for (int attempt = 0;; ++attempt) {
    outcome = try_statement(text, on_row, userarg, deadline);
    if (outcome.ok) return outcome;
    roll_back_if_open(deadline);
    if (!worth_another_try(outcome) || attempt == serialization_retries || conn == nullptr) return outcome;
    usleep(static_cast<useconds_t>(1000 + random() % (1000 * (attempt + 1))));
  }
}

const StoreEngine engine = {open_database, close_database, exec_statement, describe_database};

}  // namespace

const StoreEngine* const postgres_engine = &engine;
