#include "admin_pg.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "schema_pg_sql.h"
#include "store.h"
#include "table_output.h"

namespace {

using Row = std::vector<std::string>;

int collect_row(void* userarg, int argc, char** argv, char** /*colnames*/) noexcept {
  auto& rows = *static_cast<std::vector<Row>*>(userarg);
  try {
    Row row;
    for (int i = 0; i < argc; ++i) row.emplace_back(argv[i] != nullptr ? argv[i] : "");
    rows.push_back(std::move(row));
    return 0;
  } catch (...) {
    return 1;
  }
}

// Runs one statement (a transaction of its own) and gives its rows as text.
bool query(const std::string& sql, std::vector<Row>& rows, const char* what) {
  std::string error;
  if (store_exec(sql.c_str(), collect_row, &rows, error)) return true;
  std::fprintf(stderr, "ostrelctl: %s failed: %s\n", what, error.c_str());
  return false;
}

// A statement that must give exactly one row of `columns` values.
bool query_one(const std::string& sql, std::size_t columns, Row& row, const char* what) {
  std::vector<Row> rows;
  if (!query(sql, rows, what)) return false;
  if (rows.size() != 1 || rows[0].size() != columns) {
    std::fprintf(stderr, "ostrelctl: %s failed: no result\n", what);
    return false;
  }
  row = rows[0];
  return true;
}

long long number(const std::string& text) { return text.empty() ? 0 : std::stoll(text); }

void print_table(const Row& header, const std::vector<Row>& rows, bool tsv) {
  std::vector<std::size_t> widths;
  for (const std::string& title : header) widths.push_back(title.size());
  for (const Row& row : rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  if (!tsv) print_cells(header, widths, tsv);
  for (const Row& row : rows) print_cells(row, widths, tsv);
}

// A role as the GRANT must name it: a plain lower-case name as it is, any
// other in double quotes (a quote inside doubled), as psql would need it.
std::string quoted_role(std::string_view role) {
  const bool plain = (role[0] == '_' || (role[0] >= 'a' && role[0] <= 'z')) &&
                     std::all_of(role.begin(), role.end(), [](char c) {
                       return c == '_' || c == '$' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
                     });
  if (plain) return std::string(role);
  std::string quoted = "\"";
  for (char c : role) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

int list_on_postgres(bool pending, const char* ip, bool tsv) {
  std::string where = ip != nullptr ? std::string(" WHERE ip = '") + ip + "'" : "";
  std::string sql = pending ? "SELECT ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts FROM "
                              "pending" + where + " ORDER BY tsfirstdelivery, ctid"
                            : "SELECT ip, ts FROM verified" + where + " ORDER BY ts, ctid";
  // One statement, one snapshot; the rows arrive whole, then print.
  std::vector<Row> rows;
  if (!query(sql, rows, "list")) return 1;
  print_table(pending ? Row{"ip", "sender", "recipient", "first attempt", "last attempt", "attempts"}
                      : Row{"ip", "last seen"},
              rows, tsv);
  return output_written() ? 0 : 1;
}

int allow_on_postgres(const char* ip) {
  const std::string value = std::string("'") + ip + "'";
  // One statement: its parts share one snapshot and commit together.
  Row row;
  if (!query_one("WITH known AS (SELECT count(*) AS n FROM verified WHERE ip = " + value +
                     "), refreshed AS (UPDATE verified SET ts = DATETIME('now') WHERE ip = " + value +
                     " RETURNING 1), added AS (INSERT INTO verified (ip, ts) SELECT " + value +
                     ", DATETIME('now') WHERE (SELECT n FROM known) = 0 RETURNING 1), purged AS (DELETE FROM "
                     "pending WHERE ip = " + value +
                     " RETURNING 1) SELECT (SELECT n FROM known), (SELECT count(*) FROM purged), "
                     "(SELECT count(*) FROM refreshed) + (SELECT count(*) FROM added)",
                 3, row, "allow"))
    return 1;
  bool known = number(row[0]) > 0;
  long long purged = number(row[1]);
  std::printf("%s is %s a verified server; %lld pending row%s removed\n", ip, known ? "still" : "now", purged,
              purged == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}

int forget_on_postgres(const char* ip) {
  const std::string value = std::string("'") + ip + "'";
  Row row;
  if (!query_one("WITH v AS (DELETE FROM verified WHERE ip = " + value +
                     " RETURNING 1), p AS (DELETE FROM pending WHERE ip = " + value +
                     " RETURNING 1) SELECT (SELECT count(*) FROM v), (SELECT count(*) FROM p)",
                 2, row, "forget"))
    return 1;
  long long verified = number(row[0]), pending = number(row[1]);
  std::printf("%s forgotten: %lld verified row%s and %lld pending row%s removed\n", ip, verified,
              verified == 1 ? "" : "s", pending, pending == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}

int stats_on_postgres() {
  // One statement, so the figures agree.
  Row row;
  if (!query_one("SELECT (SELECT count(*) FROM verified), COALESCE((SELECT min(ts) FROM verified), '-'), "
                 "COALESCE((SELECT max(ts) FROM verified), '-'), (SELECT count(*) FROM verified WHERE ts < " +
                     hours_ago_sql(verified_max_age_hours) +
                     "), (SELECT count(*) FROM pending), COALESCE((SELECT min(tsfirstdelivery) FROM pending), '-'), "
                     "COALESCE((SELECT max(tslastdelivery) FROM pending), '-'), (SELECT count(*) FROM pending WHERE "
                     "tsfirstdelivery < " + hours_ago_sql(pending_max_age_hours) +
                     "), COALESCE((SELECT string_agg(' ' || attempts || ': ' || n, '' ORDER BY attempts) FROM "
                     "(SELECT attempts, count(*) AS n FROM pending GROUP BY attempts) AS counts), '')",
                 9, row, "stats"))
    return 1;
  std::printf("verified: %lld rows, oldest %s, newest %s; the next cleanup deletes %lld (not seen for %u hours)\n",
              number(row[0]), row[1].c_str(), row[2].c_str(), number(row[3]), verified_max_age_hours);
  std::printf("pending:  %lld rows, first attempts from %s, last attempt %s; the next cleanup deletes %lld "
              "(first seen over %u hours ago)\n",
              number(row[4]), row[5].c_str(), row[6].c_str(), number(row[7]), pending_max_age_hours);
  std::printf("pending by attempts:%s\n", row[8].empty() ? " none" : row[8].c_str());
  return output_written() ? 0 : 1;
}

int init_db_on_postgres(const char* uri, const char* role) {
  log_setup("ostrelctl: ");
  switch (store_connect(uri)) {
    case StoreOpen::opened: break;
    case StoreOpen::refused:
      std::fprintf(stderr, "ostrelctl: refusing the database: %s\n", store_errmsg());
      return 1;
    case StoreOpen::failed:
      std::fprintf(stderr, "ostrelctl: cannot open database: %s\n", store_errmsg());
      return 1;
  }
  const std::string name = store_describe();
  const std::string census =
      "SELECT (SELECT count(*) FROM pg_class WHERE relnamespace = current_schema()::regnamespace AND relname IN "
      "('verified', 'pending', 'verified_by_ip', 'pending_by_triple', 'verified_by_age', 'pending_by_age')) + (SELECT count(*) FROM pg_proc WHERE "
      "pronamespace = current_schema()::regnamespace AND proname IN ('datetime', 'strftime'))";
  Row before, after;
  std::vector<Row> none;
  // An index built on a large table may take longer than the time-out that
  // the schema sets for ostrel's own statements; this transaction waits.
  const std::string schema = std::string("SET LOCAL statement_timeout = 0;") + schema_pg_sql;
  store_lift_statement_deadline();
  bool done = query_one(census, 1, before, "init-db") && query(schema, none, "init-db") &&
              query_one(census, 1, after, "init-db");
  store_close();
  if (!done) return 1;
  if (before[0] == after[0] && number(after[0]) == 9)
    std::printf("%s is already initialised; nothing changed.\n", name.c_str());
  else
    std::printf("%s initialised: tables verified and pending, their indexes, the date functions, lock and "
                "statement time-outs.\n",
                name.c_str());
  const std::string grantee = role != nullptr ? quoted_role(role) : "<role>";
  std::printf("ostrel's own role needs: GRANT SELECT, INSERT, UPDATE, DELETE ON verified, pending TO %s;\n",
              grantee.c_str());
  return output_written() ? 0 : 1;
}
