#include "admin.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include <sqlite3.h>
#include "store.h"

namespace {

struct CommonOptions {
  const char* db_path = nullptr;
  const char* ip = nullptr;
  bool tsv = false;
  std::vector<const char*> operands;
};

// A prepared statement that is finalized when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }
  [[nodiscard]] bool ok() const { return stmt_ != nullptr; }
  void bind(int index, const char* text) { sqlite3_bind_text(stmt_, index, text, -1, SQLITE_TRANSIENT); }
  [[nodiscard]] int step() { return sqlite3_step(stmt_); }
  [[nodiscard]] std::string text(int column) const {
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return value != nullptr ? value : "";
  }
  [[nodiscard]] long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

const char* database_path(const CommonOptions& options) {
  if (options.db_path != nullptr) return options.db_path;
  const char* env = std::getenv("DBFILE");
  return env != nullptr ? env : default_db_path;
}

// Parses --db, --ip, --tsv and --help; returns -1 to go on, else a status.
int parse(int argc, char** argv, const char* usage, bool with_ip, bool with_tsv, std::size_t operands,
          CommonOptions& options) {
  enum { DB = 256, IP, TSV, HELP };
  static const option long_options[] = {{"db", required_argument, nullptr, DB},
                                        {"ip", required_argument, nullptr, IP},
                                        {"tsv", no_argument, nullptr, TSV},
                                        {"help", no_argument, nullptr, HELP},
                                        {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    if (c == DB) options.db_path = optarg;
    else if (c == IP && with_ip) options.ip = optarg;
    else if (c == TSV && with_tsv) options.tsv = true;
    else if (c == HELP) {
      std::fputs(usage, stdout);
      return 0;
    } else {
      if (c == IP || c == TSV) std::fprintf(stderr, "ostrelctl: %s takes no %s\n", argv[0], argv[optind - 1]);
      std::fputs(usage, stderr);
      return 2;
    }
  }
  for (int i = optind; i < argc; ++i) options.operands.push_back(argv[i]);
  if (options.operands.size() != operands) {
    std::fputs(usage, stderr);
    return 2;
  }
  return -1;
}

// Only a well-formed IPv4 or IPv6 address is accepted, so nothing else can
// reach the database.
bool is_address(const char* text) {
  unsigned char binary[16];
  if (std::strspn(text, "0123456789abcdefABCDEF.:") != std::strlen(text)) return false;
  return inet_pton(AF_INET, text, binary) == 1 || inet_pton(AF_INET6, text, binary) == 1;
}

bool check_address(const char* text) {
  if (is_address(text)) return true;
  std::fprintf(stderr, "ostrelctl: '%s' is not an IPv4 or IPv6 address\n", text);
  return false;
}

bool has_table(sqlite3* db, const char* name) {
  Statement stmt(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  if (!stmt.ok()) return false;
  stmt.bind(1, name);
  return stmt.step() == SQLITE_ROW;
}

// Opens an existing database that has both tables, with ostrel's busy
// handler so that the tool can run beside live traffic.
bool open_database(const char* path) {
  log_setup("ostrelctl: ");
  sqlite3* probe = nullptr;
  if (sqlite3_open_v2(path, &probe, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: cannot open database '%s': %s\n", path,
                 probe != nullptr ? sqlite3_errmsg(probe) : "out of memory");
    sqlite3_close(probe);
    return false;
  }
  sqlite3_close(probe);
  if (store_open(path) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: cannot open database '%s': %s\n", path, store_errmsg());
    return false;
  }
  store_register_busy_handler();
  store_tune_for_short_connections();
  for (const char* table : {"verified", "pending"}) {
    if (!has_table(store_handle(), table)) {
      std::fprintf(stderr, "ostrelctl: database '%s' has no table '%s' (create it with: ostrelctl init-db %s)\n",
                   path, table, path);
      store_close();
      return false;
    }
  }
  return true;
}

bool run(Statement& stmt, const char* what) {
  if (stmt.ok() && stmt.step() == SQLITE_DONE) return true;
  std::fprintf(stderr, "ostrelctl: %s failed: %s\n", what, sqlite3_errmsg(store_handle()));
  return false;
}

long long count(const char* sql, const char* ip = nullptr) {
  Statement stmt(store_handle(), sql);
  if (!stmt.ok()) return -1;
  if (ip != nullptr) stmt.bind(1, ip);
  return stmt.step() == SQLITE_ROW ? stmt.integer(0) : -1;
}

void print_rows(Statement& stmt, const std::vector<std::string>& header, bool tsv) {
  std::vector<std::vector<std::string>> rows;
  int rc;
  while ((rc = stmt.step()) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (std::size_t i = 0; i < header.size(); ++i) row.push_back(stmt.text(static_cast<int>(i)));
    rows.push_back(row);
  }
  if (tsv) {
    for (const auto& row : rows) {
      for (std::size_t i = 0; i < row.size(); ++i) std::printf("%s%s", i ? "\t" : "", row[i].c_str());
      std::printf("\n");
    }
    return;
  }
  std::vector<std::size_t> widths;
  for (const std::string& title : header) widths.push_back(title.size());
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  auto print_line = [&](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
      std::printf(i + 1 < cells.size() ? "%-*s  " : "%-*s\n", static_cast<int>(i + 1 < cells.size() ? widths[i] : 0),
                  cells[i].c_str());
  };
  print_line(header);
  for (const auto& row : rows) print_line(row);
}

constexpr const char* list_usage =
    "usage: ostrelctl list pending|verified [--ip IP] [--tsv] [--db PATH]\n"
    "Lists the rows of a table, oldest first: aligned columns, or tab-separated with --tsv.\n";
constexpr const char* allow_usage =
    "usage: ostrelctl allow IP [--db PATH]\n"
    "Makes IP a verified server now and removes its pending rows, as a promotion by ostrel does.\n";
constexpr const char* forget_usage =
    "usage: ostrelctl forget IP [--db PATH]\n"
    "Removes every row of IP from both tables: it is greylisted again like a new client.\n";
constexpr const char* stats_usage =
    "usage: ostrelctl stats [--db PATH]\n"
    "Rows in each table, pending rows by attempts, oldest and newest timestamps, and what the\n"
    "next cleanups would delete.\n";
constexpr const char* cleanup_usage =
    "usage: ostrelctl cleanup [--db PATH]\n"
    "Runs both of ostrel's cleanups now: pending rows first seen more than 18 hours ago and\n"
    "verified rows not seen for more than 480 hours are deleted.\n";

}  // namespace

int list_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, list_usage, true, true, 1, options); status >= 0) return status;
  std::string table = options.operands[0];
  if (table != "pending" && table != "verified") {
    std::fprintf(stderr, "ostrelctl: list: unknown table '%s' (pending or verified)\n", table.c_str());
    return 2;
  }
  if (options.ip != nullptr && !check_address(options.ip)) return 2;
  if (!open_database(database_path(options))) return 1;
  std::string where = options.ip != nullptr ? " WHERE ip = ?" : "";
  bool pending = table == "pending";
  std::string sql = pending ? "SELECT ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts FROM "
                              "pending" + where + " ORDER BY tsfirstdelivery, rowid"
                            : "SELECT ip, ts FROM verified" + where + " ORDER BY ts, rowid";
  Statement stmt(store_handle(), sql.c_str());
  if (!stmt.ok()) return 1;
  if (options.ip != nullptr) stmt.bind(1, options.ip);
  std::vector<std::string> header = pending ? std::vector<std::string>{"ip", "sender", "recipient", "first attempt",
                                                                        "last attempt", "attempts"}
                                            : std::vector<std::string>{"ip", "last seen"};
  print_rows(stmt, header, options.tsv);
  return 0;
}

int allow_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, allow_usage, false, false, 1, options); status >= 0) return status;
  const char* ip = options.operands[0];
  if (!check_address(ip)) return 2;
  if (!open_database(database_path(options))) return 1;
  sqlite3* db = store_handle();
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: allow failed: %s\n", sqlite3_errmsg(db));
    return 1;
  }
  bool known = count("SELECT COUNT(*) FROM verified WHERE ip = ?", ip) > 0;
  Statement write(db, known ? "UPDATE verified SET ts = DATETIME('now') WHERE ip = ?"
                            : "INSERT INTO verified (ip, ts) VALUES (?, DATETIME('now'))");
  write.bind(1, ip);
  Statement purge(db, "DELETE FROM pending WHERE ip = ?");
  purge.bind(1, ip);
  if (!run(write, "allow") || !run(purge, "allow")) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return 1;
  }
  int purged = sqlite3_changes(db);
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: allow failed: %s\n", sqlite3_errmsg(db));
    return 1;
  }
  std::printf("%s is %s a verified server; %d pending row%s removed\n", ip, known ? "still" : "now", purged,
              purged == 1 ? "" : "s");
  return 0;
}

int forget_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, forget_usage, false, false, 1, options); status >= 0) return status;
  const char* ip = options.operands[0];
  if (!check_address(ip)) return 2;
  if (!open_database(database_path(options))) return 1;
  sqlite3* db = store_handle();
  int removed[2] = {0, 0};
  const char* statements[2] = {"DELETE FROM verified WHERE ip = ?", "DELETE FROM pending WHERE ip = ?"};
  for (int i = 0; i < 2; ++i) {
    Statement stmt(db, statements[i]);
    stmt.bind(1, ip);
    if (!run(stmt, "forget")) return 1;
    removed[i] = sqlite3_changes(db);
  }
  std::printf("%s forgotten: %d verified row%s and %d pending row%s removed\n", ip, removed[0],
              removed[0] == 1 ? "" : "s", removed[1], removed[1] == 1 ? "" : "s");
  return 0;
}

int stats_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, stats_usage, false, false, 0, options); status >= 0) return status;
  if (!open_database(database_path(options))) return 1;
  sqlite3* db = store_handle();
  Statement verified(db,
                     "SELECT COUNT(*), IFNULL(MIN(ts), '-'), IFNULL(MAX(ts), '-'), "
                     "SUM(ts < DATETIME('now', '-480 hours')) FROM verified");
  Statement pending(db,
                    "SELECT COUNT(*), IFNULL(MIN(tsfirstdelivery), '-'), IFNULL(MAX(tslastdelivery), '-'), "
                    "SUM(tsfirstdelivery < DATETIME('now', '-18 hours')) FROM pending");
  if (!verified.ok() || !pending.ok() || verified.step() != SQLITE_ROW || pending.step() != SQLITE_ROW) {
    std::fprintf(stderr, "ostrelctl: stats failed: %s\n", sqlite3_errmsg(db));
    return 1;
  }
  std::printf("verified: %lld rows, oldest %s, newest %s; the next cleanup deletes %lld (not seen for %u hours)\n",
              verified.integer(0), verified.text(1).c_str(), verified.text(2).c_str(), verified.integer(3),
              verified_max_age_hours);
  std::printf("pending:  %lld rows, first attempts from %s, last attempt %s; the next cleanup deletes %lld "
              "(first seen over %u hours ago)\n",
              pending.integer(0), pending.text(1).c_str(), pending.text(2).c_str(), pending.integer(3),
              pending_max_age_hours);
  Statement by_attempts(db, "SELECT attempts, COUNT(*) FROM pending GROUP BY attempts ORDER BY attempts");
  std::printf("pending by attempts:");
  bool any = false;
  while (by_attempts.ok() && by_attempts.step() == SQLITE_ROW) {
    std::printf(" %s: %lld", by_attempts.text(0).c_str(), by_attempts.integer(1));
    any = true;
  }
  std::printf("%s\n", any ? "" : " none");
  return 0;
}

int cleanup_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, cleanup_usage, false, false, 0, options); status >= 0) return status;
  if (!open_database(database_path(options))) return 1;
  // ostrel's own cleanups; a failure is logged and ends the tool with 100.
  cleanup_pending();
  int pending = sqlite3_changes(store_handle());
  cleanup_verified();
  int verified = sqlite3_changes(store_handle());
  std::printf("cleanup: %d pending and %d verified rows deleted\n", pending, verified);
  return 0;
}
