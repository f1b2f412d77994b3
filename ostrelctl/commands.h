// The commands of ostrelctl. Each takes its own argv (argv[0] is the
// command's name) and returns the exit status: 0 done, 1 failed, 2 usage.
#pragma once

int init_db_command(int argc, char** argv);
int check_rules_command(int argc, char** argv);
// 1 when an item of the set-up failed; each item is one line on stdout.
int check_command(int argc, char** argv);
int list_command(int argc, char** argv);
int allow_command(int argc, char** argv);
int forget_command(int argc, char** argv);
int stats_command(int argc, char** argv);
int cleanup_command(int argc, char** argv);
int backup_command(int argc, char** argv);
int restore_command(int argc, char** argv);
// Reads ostrel's decision lines among any other lines of a log; 1 also
// when a file or a decision line could not be read (the report holds the
// rest).
int report_command(int argc, char** argv);
