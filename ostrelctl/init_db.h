#pragma once

// `ostrelctl init-db PATH`: creates the tables, indexes and WAL mode.
// Returns the exit status.
int init_db_command(int argc, char** argv);
