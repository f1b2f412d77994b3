#pragma once

// The admin's commands on a PostgreSQL store, which Database::open has
// opened. Each prints what its SQLite counterpart prints, reports a failure
// in one line, and returns the exit status (0 done, 1 failed). The client
// key (an address or a network in ostrel's canonical form) has been checked
// (digits, hex letters, dots, colons, a slash), so it goes into the
// statements as it is.
int list_on_postgres(bool pending, const char* ip, bool tsv);
int allow_on_postgres(const char* ip);
int forget_on_postgres(const char* ip);
int stats_on_postgres();

// `ostrelctl init-db URI` on PostgreSQL, as the owner role: the functions,
// tables, indexes and time-outs of sql/schema-pg.sql; running it again
// changes nothing. Prints the GRANT ostrel's own role needs, to role
// (quoted as an identifier where needed) or, when null, to "<role>".
int init_db_on_postgres(const char* uri, const char* role);
