// The files SQLite keeps for a database: the database itself and, beside
// it, its write-ahead log, its shared-memory index and its rollback
// journal. A copy written over one of them, or read from one of them,
// damages the live database or copies nothing sound.
#pragma once

enum class DatabaseFile { none, database, write_ahead_log, shared_memory, rollback_journal };

// Which of the files of the database that SQLite opened as `database` (its
// full name, links resolved, as sqlite3_db_filename gives it) `path` names,
// however it is spelt: resolved as the system resolves it (symbolic links,
// "." and ".."), and, where the file exists, by device and inode, which
// also finds it through a hard link or a bind mount.
[[nodiscard]] DatabaseFile database_file_named(const char* database, const char* path);

// "the database itself", "the database's write-ahead log", ...
[[nodiscard]] const char* describe(DatabaseFile file);
