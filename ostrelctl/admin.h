#pragma once

// The admin's commands on the greylist database named by --db PATH, DBFILE
// or the default path: list, allow, forget, stats, cleanup, backup, restore.
// Each returns the exit status (0 done, 1 failed, 2 usage).
int list_command(int argc, char** argv);
int allow_command(int argc, char** argv);
int forget_command(int argc, char** argv);
int stats_command(int argc, char** argv);
int cleanup_command(int argc, char** argv);
int backup_command(int argc, char** argv);
int restore_command(int argc, char** argv);
