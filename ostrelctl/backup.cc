// ostrelctl backup: a consistent copy of an SQLite store beside live
// traffic, renamed into place.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "database_files.h"
#include "table_output.h"
#include "unique_fd.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl backup DEST [--db PATH]\n"
    "Copies the database, as one consistent snapshot taken beside live traffic, into a\n"
    "temporary file beside DEST that then replaces DEST.\n";

void report_copy_failure(const CopyError& error, const std::string& file) {
  switch (error.step) {
    case CopyError::Step::open:
      std::fprintf(stderr, "ostrelctl: backup failed: cannot open '%s': %s\n", file.c_str(), error.message.c_str());
      break;
    case CopyError::Step::copy:
      std::fprintf(stderr, "ostrelctl: backup failed: %s\n", error.message.c_str());
      break;
    case CopyError::Step::close:
      std::fprintf(stderr, "ostrelctl: backup failed: cannot close '%s'\n", file.c_str());
      break;
  }
}

// The copy in temporary is synced and renamed over dest; false after one
// line saying why not.
bool put_in_place(int fd, const std::string& temporary, const std::string& dest) {
  if (fsync(fd) != 0) {
    std::fprintf(stderr, "ostrelctl: backup: cannot sync '%s': %s\n", temporary.c_str(), std::strerror(errno));
    return false;
  }
  if (std::rename(temporary.c_str(), dest.c_str()) != 0) {
    std::fprintf(stderr, "ostrelctl: backup: cannot rename '%s' to '%s': %s\n", temporary.c_str(), dest.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// The rename itself survives a power loss once the directory is synced.
bool sync_directory_of(const std::string& dest) {
  std::string directory = dest.find('/') == std::string::npos ? "." : dest.substr(0, dest.rfind('/') + 1);
  UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid() && fsync(dir.get()) == 0) return true;
  std::fprintf(stderr, "ostrelctl: backup: cannot sync the directory of '%s': %s\n", dest.c_str(),
               std::strerror(errno));
  return false;
}

}  // namespace

int backup_command(int argc, char** argv) {
  CommandLine line;
  if (int status = parse_command_line(argc, argv, usage, {false, false, 1}, line); status >= 0) return status;
  const std::string dest = line.operands[0];
  const char* location = database_location(line);
  StoreChoice engine = store_for(location);
  if (!engine.store || !engine.store->copies_as_file()) {
    std::fprintf(stderr, "ostrelctl: backup copies SQLite databases only; back a PostgreSQL store up with pg_dump\n");
    return 2;
  }
  std::unique_ptr<Store> store = open_existing_store(location);
  if (!store) return 1;
  // A copy renamed over the log or the index beside the database would
  // take the live rows with it.
  if (DatabaseFile file = database_file_named(store->file_name().c_str(), dest.c_str()); file != DatabaseFile::none) {
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
  std::optional<CopyError> failed = store->copy_into(temporary.c_str());
  if (failed) report_copy_failure(*failed, temporary);
  if (failed || !put_in_place(file.get(), temporary, dest)) {
    unlink(temporary.c_str());
    unlink((temporary + "-journal").c_str());
    return 1;
  }
  if (!sync_directory_of(dest)) return 1;
  std::printf("Database '%s' copied to '%s'.\n", location, dest.c_str());
  return output_written() ? 0 : 1;
}
