#include "init_db.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "admin_pg.h"
#include "database.h"
#include "schema_sql.h"
#include "store.h"

namespace {

int count_schema_objects(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  int count = -1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    count = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  return count;
}

}  // namespace

int init_db_command(int argc, char** argv) {
  // --grant-to ROLE: the role named in the GRANT printed for PostgreSQL.
  const char* role = nullptr;
  if (argc == 4 && std::strcmp(argv[1], "--grant-to") == 0 && argv[2][0] != '\0') {
    role = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "usage: ostrelctl init-db [--grant-to ROLE] PATH|URI\n"
                 "Creates the greylist database at PATH (tables, indexes, WAL journal mode), or its\n"
                 "schema in the PostgreSQL database a postgresql:// URI names (run it as the owner;\n"
                 "the GRANT it prints names ROLE, the role ostrel connects as).\n"
                 "An existing database keeps its rows; whatever it has already is left alone.\n");
    return argc == 2 ? 0 : 2;
  }
  const char* path = argv[1];
  if (is_postgres_location(path)) return init_db_on_postgres(path, role);
  if (role != nullptr) {
    std::fprintf(stderr, "ostrelctl: --grant-to names a PostgreSQL role, but '%s' is an SQLite file\n", path);
    return 2;
  }
  Database db;
  if (!db.create(path)) return 1;
  sqlite3_busy_timeout(db.handle(), 10000);
  int before = count_schema_objects(db.handle());
  bool wal_before = before >= 0 && store_in_wal_mode();
  char* errmsg = nullptr;
  if (before < 0 || sqlite3_exec(db.handle(), schema_sql, nullptr, nullptr, &errmsg) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: cannot initialise database '%s': %s\n", path,
                 errmsg != nullptr ? errmsg : sqlite3_errmsg(db.handle()));
    sqlite3_free(errmsg);
    return 1;
  }
  int after = count_schema_objects(db.handle());
  if (after == before && wal_before)
    std::printf("Database '%s' is already initialised; nothing changed.\n", path);
  else
    std::printf("Database '%s' initialised: tables verified and pending, their indexes, WAL journal mode.\n", path);
  return 0;
}
