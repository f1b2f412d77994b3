// ostrelctl init-db: the store's schema, created where it lacks something.
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

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
  const char* location = argv[1];
  if (role != nullptr && !is_postgres_location(location)) {
    std::fprintf(stderr, "ostrelctl: --grant-to names a PostgreSQL role, but '%s' is an SQLite file\n", location);
    return 2;
  }
  std::unique_ptr<Store> store = open_store(location, StoreCreate::if_missing);
  if (!store) return 1;
  const char* named = store->location_named_in_errors();
  const std::string name = named != nullptr ? std::string("Database '") + named + "'" : store->describe();
  StoreResult<InitReport> made = store->init();
  store->close();
  if (!made.ok()) {
    if (named != nullptr)
      std::fprintf(stderr, "ostrelctl: cannot initialise database '%s': %s\n", named, made.error->text().c_str());
    else
      report_failure("init-db", *made.error);
    return 1;
  }
  if (made.value.changed)
    std::printf("%s initialised: %s.\n", name.c_str(), store->schema_summary());
  else
    std::printf("%s is already initialised; nothing changed.\n", name.c_str());
  if (std::optional<std::string> grant = store->role_grant(role))
    std::printf("ostrel's own role needs: %s\n", grant->c_str());
  return output_written() ? 0 : 1;
}
