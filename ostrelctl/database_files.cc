#include "database_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Companion {
  const char* suffix;
  DatabaseFile file;
};

constexpr Companion companions[] = {{"", DatabaseFile::database},
                                    {"-wal", DatabaseFile::write_ahead_log},
                                    {"-shm", DatabaseFile::shared_memory},
                                    {"-journal", DatabaseFile::rollback_journal}};

std::string resolved(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> full(realpath(path, nullptr), &std::free);
  return full != nullptr ? full.get() : "";
}

// What `path` means to the system: the file it leads to when that exists,
// and the entry that a rename to it would replace (its directory resolved,
// its last component as written).
std::vector<std::string> resolutions(const std::string& path) {
  std::vector<std::string> names;
  if (std::string full = resolved(path.c_str()); !full.empty()) names.push_back(full);
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string entry = slash == std::string::npos ? path : path.substr(slash + 1);
  if (std::string full = resolved(directory.c_str()); !full.empty())
    names.push_back(full + (full == "/" ? "" : "/") + entry);
  return names;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

DatabaseFile database_file_named(const char* database, const char* path) {
  const std::vector<std::string> names = resolutions(path);
  struct stat target {};
  const bool exists = stat(path, &target) == 0;
  for (const Companion& companion : companions) {
    const std::string name = std::string(database) + companion.suffix;
    for (const std::string& candidate : names)
      if (candidate == name) return companion.file;
    struct stat file {};
    if (exists && stat(name.c_str(), &file) == 0 && same_file(file, target)) return companion.file;
  }
  return DatabaseFile::none;
}

const char* describe(DatabaseFile file) {
  switch (file) {
    case DatabaseFile::database:
      return "the database itself";
    case DatabaseFile::write_ahead_log:
      return "the database's write-ahead log";
    case DatabaseFile::shared_memory:
      return "the database's shared-memory index";
    case DatabaseFile::rollback_journal:
      return "the database's rollback journal";
    case DatabaseFile::none:
      break;
  }
  return "another file";
}
