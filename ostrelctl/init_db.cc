#include "init_db.h"

#include <cstdio>
#include <cstring>

#include "admin_pg.h"
#include "schema_sql.h"
#include "sqlite_handle.h"
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

bool in_wal_mode(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  bool wal = false;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    wal = mode != nullptr && std::strcmp(mode, "wal") == 0;
  }
  sqlite3_finalize(stmt);
  return wal;
}

}  // namespace

int init_db_command(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "usage: ostrelctl init-db PATH|URI\n"
                 "Creates the greylist database at PATH (tables, indexes, WAL journal mode), or its\n"
                 "schema in the PostgreSQL database a postgresql:// URI names (run it as the owner).\n"
                 "An existing database keeps its rows; whatever it has already is left alone.\n");
    return argc == 2 ? 0 : 2;
  }
  const char* path = argv[1];
  if (is_postgres_location(path)) return init_db_on_postgres(path);
  SqliteHandle db;
  if (!db.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
    std::fprintf(stderr, "ostrelctl: cannot create database '%s': %s\n", path, db.errmsg());
    return 1;
  }
  sqlite3_busy_timeout(db.get(), 10000);
  int before = count_schema_objects(db.get());
  bool wal_before = before >= 0 && in_wal_mode(db.get());
  char* errmsg = nullptr;
  if (before < 0 || sqlite3_exec(db.get(), schema_sql, nullptr, nullptr, &errmsg) != SQLITE_OK) {
    std::fprintf(stderr, "ostrelctl: cannot initialise database '%s': %s\n", path,
                 errmsg != nullptr ? errmsg : db.errmsg());
    sqlite3_free(errmsg);
    return 1;
  }
  int after = count_schema_objects(db.get());
  if (after == before && wal_before)
    std::printf("Database '%s' is already initialised; nothing changed.\n", path);
  else
    std::printf("Database '%s' initialised: tables verified and pending, their indexes, WAL journal mode.\n", path);
  return 0;
}
