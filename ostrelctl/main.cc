// ostrelctl: the admin's tool for ostrel's database and suspicion file.
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"
#include "log.h"
#include "store.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
  bool takes_db;  // reads --db PATH (given before or after the command)
};

constexpr Subcommand subcommands[] = {
    {"init-db", init_db_command, "init-db PATH         create the greylist database", false},
    {"check-rules", check_rules_command, "check-rules FILE     show how ostrel reads a suspicion file", false},
    {"list", list_command, "list pending|verified [--ip IP] [--tsv]   show the rows of a table", true},
    {"allow", allow_command, "allow IP             make IP a verified server now", true},
    {"forget", forget_command, "forget IP            remove every row of IP", true},
    {"stats", stats_command, "stats                counts, ages and what the next cleanups delete", true},
    {"cleanup", cleanup_command, "cleanup              run both cleanups now", true},
    {"backup", backup_command, "backup DEST          copy the database into DEST beside live traffic", true},
    {"restore", restore_command, "restore SOURCE       put a copy made by backup in place, beside live traffic", true},
    {"report", report_command, "report [FILE...]     greylisting decisions of a log: counts, delays, senders", false},
};

int usage(std::FILE* out, int status) {
  std::fprintf(out, "usage: ostrelctl [--db PATH] COMMAND [ARGS...]\n       ostrelctl --version\ncommands:\n");
  for (const Subcommand& sub : subcommands) std::fprintf(out, "  %s\n", sub.summary);
  std::fprintf(out, "The database is --db PATH, else DBFILE, else %s. Each command takes --help.\n", default_db_path);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  log_setup("ostrelctl: ");
  // A --db PATH before the command is handed to the command before its own
  // arguments; one given after the command as well is read last and wins.
  const char* global_db = nullptr;
  int first = 1;
  if (argc > first && std::strncmp(argv[first], "--db=", 5) == 0) {
    global_db = argv[first] + 5;
    first += 1;
  } else if (argc > first && std::strcmp(argv[first], "--db") == 0) {
    if (argc == first + 1) return usage(stderr, 2);
    global_db = argv[first + 1];
    first += 2;
  }
  if (argc <= first) return usage(stderr, 2);
  const char* command = argv[first];
  if (global_db == nullptr && (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0))
    return usage(stdout, 0);
  if (global_db == nullptr && std::strcmp(command, "--version") == 0) {
    std::printf("ostrelctl %s\n", OSTREL_VERSION);
    return 0;
  }
  for (const Subcommand& sub : subcommands) {
    if (std::strcmp(command, sub.name) != 0) continue;
    if (global_db == nullptr) return sub.run(argc - first, argv + first);
    if (!sub.takes_db) {
      std::fprintf(stderr, "ostrelctl: %s takes no --db\n", sub.name);
      return 2;
    }
    std::vector<char*> args(argv + first, argv + argc);
    char db_option[] = "--db";
    args.insert(args.begin() + 1, {db_option, const_cast<char*>(global_db)});
    args.push_back(nullptr);
    return sub.run(static_cast<int>(args.size()) - 1, args.data());
  }
  std::fprintf(stderr, "ostrelctl: unknown command '%s'\n", command);
  return usage(stderr, 2);
}
