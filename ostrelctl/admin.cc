#include "admin.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "admin_pg.h"
#include "client_address.h"
#include "database.h"
#include "database_files.h"
#include "exit_status.h"
#include "unique_fd.h"
#include "store.h"
#include "table_output.h"

namespace {

struct CommonOptions {
  const char* db_path = nullptr;
  const char* ip = nullptr;
  bool tsv = false;
  std::vector<const char*> operands;
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

// Only a well-formed IPv4 or IPv6 address, or a network ADDRESS/LEN that
// ostrel can key clients on, is accepted, so nothing else can reach the
// database. key receives it in the form ostrel writes, the one that is
// looked up, stored and printed.
bool check_client_key(const char* text, client_address::KeyText& key) {
  using client_address::KeyCheck;
  switch (client_address::check_key(text, key)) {
    case KeyCheck::address:
    case KeyCheck::network:
      return true;
    case KeyCheck::host_bits_set:
      std::fprintf(stderr, "ostrelctl: '%s' has host bits set; the network is %s\n", text, key.data());
      return false;
    case KeyCheck::bad_network:
      break;
    case KeyCheck::not_an_address:
      if (std::strchr(text, '/') != nullptr) break;
      std::fprintf(stderr, "ostrelctl: '%s' is not an IPv4 or IPv6 address\n", text);
      return false;
  }
  std::fprintf(stderr,
               "ostrelctl: '%s' is not a network ADDRESS/LEN (IPv4 /%u to /%u, IPv6 /%u to /%u)\n", text,
               client_address::ipv4_prefixes.shortest, client_address::ipv4_prefixes.longest,
               client_address::ipv6_prefixes.shortest, client_address::ipv6_prefixes.longest);
  return false;
}

// The widths of the aligned columns come from a first pass over the same
// rows, so a listing holds one row at a time however long the table is.
// Lengths are in bytes, as printf pads.
std::string width_query(const std::vector<const char*>& columns, const std::string& from) {
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i)
    sql += std::string(i ? ", " : "") + "IFNULL(MAX(LENGTH(CAST(" + columns[i] + " AS BLOB))), 0)";
  return sql + " FROM " + from;
}

bool print_rows(const Database& db, const std::vector<const char*>& columns, const std::vector<std::string>& header,
                const std::string& from, const std::string& order, const char* ip, bool tsv) {
  std::vector<std::size_t> widths;
  for (const std::string& title : header) widths.push_back(title.size());
  if (!tsv) {
    Statement sizes(db, width_query(columns, from).c_str(), "list");
    if (ip != nullptr) sizes.bind(1, ip);
    if (!sizes.single_row()) return false;
    for (std::size_t i = 0; i < widths.size(); ++i)
      widths[i] = std::max(widths[i], static_cast<std::size_t>(sizes.integer(static_cast<int>(i))));
    if (!sizes.finish()) return false;
  }
  if (!tsv) print_cells(header, widths, tsv);
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < columns.size(); ++i) sql += std::string(i ? ", " : "") + columns[i];
  Statement rows(db, (sql + " FROM " + from + " ORDER BY " + order).c_str(), "list");
  if (ip != nullptr) rows.bind(1, ip);
  std::vector<std::string> cells(columns.size());
  Statement::Step step;
  while ((step = rows.step()) == Statement::Step::row) {
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = rows.text(static_cast<int>(i));
    print_cells(cells, widths, tsv);
  }
  return step == Statement::Step::done && rows.finish();
}

constexpr const char* list_usage =
    "usage: ostrelctl list pending|verified [--ip IP|NETWORK] [--tsv] [--db PATH]\n"
    "Lists the rows of a table, oldest first: aligned columns, or tab-separated with --tsv.\n"
    "A NETWORK such as 192.0.2.0/24 selects the rows ostrel keyed on that network.\n";
constexpr const char* allow_usage =
    "usage: ostrelctl allow IP|NETWORK [--db PATH]\n"
    "Makes IP a verified server now and removes its pending rows, as a promotion by ostrel does.\n"
    "A NETWORK such as 192.0.2.0/24 is what ostrel keys clients on with GREYLIST_CIDR4/6.\n";
constexpr const char* forget_usage =
    "usage: ostrelctl forget IP|NETWORK [--db PATH]\n"
    "Removes every row of IP from both tables: it is greylisted again like a new client.\n";
constexpr const char* stats_usage =
    "usage: ostrelctl stats [--db PATH]\n"
    "Rows in each table, pending rows by attempts, oldest and newest timestamps, and what the\n"
    "next cleanups would delete.\n";
constexpr const char* backup_usage =
    "usage: ostrelctl backup DEST [--db PATH]\n"
    "Copies the database, as one consistent snapshot taken beside live traffic, into a\n"
    "temporary file beside DEST that then replaces DEST.\n";
const std::string cleanup_usage = "usage: ostrelctl cleanup [--db PATH]\n"
                                  "Runs both of ostrel's cleanups now: pending rows first seen more than " +
                                  std::to_string(pending_max_age_hours) + " hours ago and\nverified rows not seen for "
                                  "more than " + std::to_string(verified_max_age_hours) + " hours are deleted.\n";

}  // namespace

int list_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, list_usage, true, true, 1, options); status >= 0) return status;
  std::string table = options.operands[0];
  if (table != "pending" && table != "verified") {
    std::fprintf(stderr, "ostrelctl: list: unknown table '%s' (pending or verified)\n", table.c_str());
    return 2;
  }
  client_address::KeyText key{};
  if (options.ip != nullptr && !check_client_key(options.ip, key)) return 2;
  const char* ip = options.ip != nullptr ? key.data() : nullptr;
  Database db;
  if (!db.open(database_path(options))) return 1;
  bool pending = table == "pending";
  if (db.on_postgres()) return list_on_postgres(pending, ip, options.tsv);
  std::string from = table + (options.ip != nullptr ? " WHERE ip = ?" : "");
  // Both passes read one snapshot, so rows written meanwhile cannot outgrow the widths.
  if (!db.exec("BEGIN", "list")) return 1;
  bool listed =
      pending ? print_rows(db, {"ip", "envsender", "envrecipient", "tsfirstdelivery", "tslastdelivery", "attempts"},
                           {"ip", "sender", "recipient", "first attempt", "last attempt", "attempts"}, from,
                           "tsfirstdelivery, rowid", ip, options.tsv)
              : print_rows(db, {"ip", "ts"}, {"ip", "last seen"}, from, "ts, rowid", ip, options.tsv);
  if (!listed || !db.exec("COMMIT", "list")) return 1;
  return output_written() ? 0 : 1;
}

int allow_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, allow_usage, false, false, 1, options); status >= 0) return status;
  client_address::KeyText key{};
  if (!check_client_key(options.operands[0], key)) return 2;
  const char* ip = key.data();
  Database db;
  if (!db.open(database_path(options))) return 1;
  if (db.on_postgres()) return allow_on_postgres(ip);
  if (!db.exec("BEGIN IMMEDIATE", "allow")) return 1;
  Statement known_row(db, "SELECT COUNT(*) FROM verified WHERE ip = ?", "allow");
  known_row.bind(1, ip);
  if (!known_row.single_row()) return 1;  // the open transaction ends with the process
  bool known = known_row.integer(0) > 0;
  if (!known_row.finish()) return 1;
  Statement write(db,
                  known ? "UPDATE verified SET ts = DATETIME('now') WHERE ip = ?"
                        : "INSERT INTO verified (ip, ts) VALUES (?, DATETIME('now'))",
                  "allow");
  write.bind(1, ip);
  if (!write.run()) return 1;
  Statement purge(db, "DELETE FROM pending WHERE ip = ?", "allow");
  purge.bind(1, ip);
  if (!purge.run()) return 1;
  int purged = db.changes();
  if (!db.exec("COMMIT", "allow")) return 1;
  std::printf("%s is %s a verified server; %d pending row%s removed\n", ip, known ? "still" : "now", purged,
              purged == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}

int forget_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, forget_usage, false, false, 1, options); status >= 0) return status;
  client_address::KeyText key{};
  if (!check_client_key(options.operands[0], key)) return 2;
  const char* ip = key.data();
  Database db;
  if (!db.open(database_path(options))) return 1;
  if (db.on_postgres()) return forget_on_postgres(ip);
  int removed[2] = {0, 0};
  const char* statements[2] = {"DELETE FROM verified WHERE ip = ?", "DELETE FROM pending WHERE ip = ?"};
  for (int i = 0; i < 2; ++i) {
    Statement stmt(db, statements[i], "forget");
    stmt.bind(1, ip);
    if (!stmt.run()) return 1;
    removed[i] = db.changes();
  }
  std::printf("%s forgotten: %d verified row%s and %d pending row%s removed\n", ip, removed[0],
              removed[0] == 1 ? "" : "s", removed[1], removed[1] == 1 ? "" : "s");
  return output_written() ? 0 : 1;
}

int stats_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, stats_usage, false, false, 0, options); status >= 0) return status;
  Database db;
  if (!db.open(database_path(options))) return 1;
  if (db.on_postgres()) return stats_on_postgres();
  // One snapshot for the three statements, so the figures agree.
  if (!db.exec("BEGIN", "stats")) return 1;
  Statement verified(db,
                     ("SELECT COUNT(*), IFNULL(MIN(ts), '-'), IFNULL(MAX(ts), '-'), SUM(ts < " +
                      hours_ago_sql(verified_max_age_hours) + ") FROM verified")
                         .c_str(),
                     "stats");
  if (!verified.single_row()) return 1;
  Statement pending(db,
                    ("SELECT COUNT(*), IFNULL(MIN(tsfirstdelivery), '-'), IFNULL(MAX(tslastdelivery), '-'), "
                     "SUM(tsfirstdelivery < " +
                     hours_ago_sql(pending_max_age_hours) + ") FROM pending")
                        .c_str(),
                    "stats");
  if (!pending.single_row()) return 1;
  Statement by_attempts(db, "SELECT attempts, COUNT(*) FROM pending GROUP BY attempts ORDER BY attempts", "stats");
  // The lines are printed only once every statement has succeeded.
  std::string by_attempts_line;
  Statement::Step step;
  while ((step = by_attempts.step()) == Statement::Step::row)
    by_attempts_line += " " + by_attempts.text(0) + ": " + std::to_string(by_attempts.integer(1));
  if (step != Statement::Step::done || !by_attempts.finish()) return 1;
  const long long verified_rows = verified.integer(0), verified_stale = verified.integer(3);
  const std::string verified_oldest = verified.text(1), verified_newest = verified.text(2);
  const long long pending_rows = pending.integer(0), pending_stale = pending.integer(3);
  const std::string pending_first = pending.text(1), pending_last = pending.text(2);
  if (!verified.finish() || !pending.finish() || !db.exec("COMMIT", "stats")) return 1;
  std::printf("verified: %lld rows, oldest %s, newest %s; the next cleanup deletes %lld (not seen for %u hours)\n",
              verified_rows, verified_oldest.c_str(), verified_newest.c_str(), verified_stale, verified_max_age_hours);
  std::printf("pending:  %lld rows, first attempts from %s, last attempt %s; the next cleanup deletes %lld "
              "(first seen over %u hours ago)\n",
              pending_rows, pending_first.c_str(), pending_last.c_str(), pending_stale, pending_max_age_hours);
  std::printf("pending by attempts:%s\n", by_attempts_line.empty() ? " none" : by_attempts_line.c_str());
  return output_written() ? 0 : 1;
}

int cleanup_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, cleanup_usage.c_str(), false, false, 0, options); status >= 0) return status;
  Database db;
  if (!db.open(database_path(options))) return 1;
  // ostrel's own cleanups, on either engine, in batches until done; a
  // failure is logged and ends the tool with 100.
  CleanupOutcome pending = cleanup_pending(CleanupRun::until_done);
  if (!pending.ok) return exit_status::gave_up;
  CleanupOutcome verified = cleanup_verified(CleanupRun::until_done);
  if (!verified.ok) return exit_status::gave_up;
  std::printf("cleanup: %ld pending and %ld verified rows deleted\n", pending.deleted, verified.deleted);
  return output_written() ? 0 : 1;
}

int backup_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, backup_usage, false, false, 1, options); status >= 0) return status;
  const std::string dest = options.operands[0];
  if (is_postgres_location(database_path(options))) {
    std::fprintf(stderr, "ostrelctl: backup copies SQLite databases only; back a PostgreSQL store up with pg_dump\n");
    return 2;
  }
  Database db;
  if (!db.open(database_path(options))) return 1;
  // A copy renamed over the log or the index beside the database would
  // take the live rows with it.
  if (DatabaseFile file = database_file_named(db.file_name(), dest.c_str()); file != DatabaseFile::none) {
    std::fprintf(stderr, "ostrelctl: backup: '%s' is %s\n", dest.c_str(), describe(file));
    return 2;
  }
  // Built beside DEST, so the rename is atomic and DEST is either the old
  // file or a complete copy, never half of one.
  std::string temporary = dest + ".tmp-XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    std::fprintf(stderr, "ostrelctl: backup: cannot create a file beside '%s': %s\n", dest.c_str(),
                 std::strerror(errno));
    return 1;
  }
  UniqueFd file(fd);
  bool copied = db.copy_into(temporary.c_str());
  if (copied && fsync(file.get()) != 0) {
    std::fprintf(stderr, "ostrelctl: backup: cannot sync '%s': %s\n", temporary.c_str(), std::strerror(errno));
    copied = false;
  }
  if (copied && std::rename(temporary.c_str(), dest.c_str()) != 0) {
    std::fprintf(stderr, "ostrelctl: backup: cannot rename '%s' to '%s': %s\n", temporary.c_str(), dest.c_str(),
                 std::strerror(errno));
    copied = false;
  }
  if (copied) {  // the rename itself survives a power loss once the directory is synced
    std::string directory = dest.find('/') == std::string::npos ? "." : dest.substr(0, dest.rfind('/') + 1);
    UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || fsync(dir.get()) != 0) {
      std::fprintf(stderr, "ostrelctl: backup: cannot sync the directory of '%s': %s\n", dest.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  if (!copied) {
    unlink(temporary.c_str());
    unlink((temporary + "-journal").c_str());
    return 1;
  }
  std::printf("Database '%s' copied to '%s'.\n", db.path(), dest.c_str());
  return output_written() ? 0 : 1;
}

constexpr const char* restore_usage =
    "usage: ostrelctl restore SOURCE [--db PATH]\n"
    "Replaces the content of the database with that of SOURCE, a copy made by backup, in one\n"
    "transaction beside live traffic: ostrel's connections wait for it as for any lock.\n"
    "SOURCE must hold both tables with every column and pass SQLite's quick check.\n";

int restore_command(int argc, char** argv) {
  CommonOptions options;
  if (int status = parse(argc, argv, restore_usage, false, false, 1, options); status >= 0) return status;
  const char* source = options.operands[0];
  if (is_postgres_location(database_path(options))) {
    std::fprintf(stderr,
                 "ostrelctl: restore copies into SQLite databases only; restore a PostgreSQL store with pg_restore\n");
    return 2;
  }
  Database db;
  if (!db.open_for_restore(database_path(options))) return 1;
  if (DatabaseFile file = database_file_named(db.file_name(), source); file != DatabaseFile::none) {
    std::fprintf(stderr, "ostrelctl: restore: '%s' is %s\n", source, describe(file));
    return 2;
  }
  switch (db.restore_from(source)) {
    case Database::Restore::done: break;
    case Database::Restore::unusable_source: return 2;
    case Database::Restore::failed: return 1;
  }
  std::printf("Database '%s' restored from '%s'.\n", db.path(), source);
  return output_written() ? 0 : 1;
}
