// ostrelctl: the admin's tool for ostrel's database and suspicion file.
#include <cstdio>
#include <cstring>

#include "admin.h"
#include "check_rules.h"
#include "init_db.h"
#include "store.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

constexpr Subcommand subcommands[] = {
    {"init-db", init_db_command, "init-db PATH         create the greylist database"},
    {"check-rules", check_rules_command, "check-rules FILE     show how ostrel reads a suspicion file"},
    {"list", list_command, "list pending|verified [--ip IP] [--tsv]   show the rows of a table"},
    {"allow", allow_command, "allow IP             make IP a verified server now"},
    {"forget", forget_command, "forget IP            remove every row of IP"},
    {"stats", stats_command, "stats                counts, ages and what the next cleanups delete"},
    {"cleanup", cleanup_command, "cleanup              run both cleanups now"},
};

int usage(std::FILE* out, int status) {
  std::fprintf(out, "usage: ostrelctl COMMAND [ARGS...]\ncommands:\n");
  for (const Subcommand& sub : subcommands) std::fprintf(out, "  %s\n", sub.summary);
  std::fprintf(out, "The database is --db PATH, else DBFILE, else %s. Each command takes --help.\n",
               default_db_path);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr, 2);
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) return usage(stdout, 0);
  for (const Subcommand& sub : subcommands)
    if (std::strcmp(argv[1], sub.name) == 0) return sub.run(argc - 1, argv + 1);
  std::fprintf(stderr, "ostrelctl: unknown command '%s'\n", argv[1]);
  return usage(stderr, 2);
}
