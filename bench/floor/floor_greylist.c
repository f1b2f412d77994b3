/* The floor of ostrel's process model: what one greylisted connection must
 * cost at least when tcpserver starts a program per connection. Started as
 *   floor_greylist SERVER_PROGRAM
 * with DBFILE naming a database made by `ostrelctl init-db` and TCPREMOTEIP
 * set by tcpserver, it forks and execs the SMTP server program on two pipes,
 * relays whole lines between client and server until RCPT TO, then opens
 * the database, looks the (client, sender, recipient) triple up, records it
 * and answers the temporary failure itself. Nothing more: no limits, no
 * logging, no checks of the dialogue, SQLite's own busy handler. */
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

struct lines {
  int fd;
  char buf[4096];
  size_t used;
};

/* The next line of `in` into line (with its CRLF); its length, 0 at the end. */
static size_t read_line(struct lines *in, char *line, size_t size) {
  for (;;) {
    char *end = memchr(in->buf, '\n', in->used);
    if (end != NULL) {
      size_t length = (size_t)(end - in->buf) + 1;
      if (length >= size) return 0;
      memcpy(line, in->buf, length);
      line[length] = '\0';
      memmove(in->buf, in->buf + length, in->used - length);
      in->used -= length;
      return length;
    }
    if (in->used == sizeof in->buf) return 0;
    ssize_t got = read(in->fd, in->buf + in->used, sizeof in->buf - in->used);
    if (got <= 0) return 0;
    in->used += (size_t)got;
  }
}

/* Copies one whole reply (until a line with a blank after its code) in one
 * write: a reply written line by line meets the client's delayed ACK. */
static int relay_reply(struct lines *server) {
  char reply[4096];
  size_t used = 0, length;
  do {
    length = read_line(server, reply + used, sizeof reply - used);
    if (length == 0) return -1;
    used += length;
  } while (length > 4 && reply[used - length + 3] == '-');
  return write(1, reply, used) == (ssize_t)used ? 0 : -1;
}

/* The address between < and > of a MAIL FROM or RCPT TO line. */
static void address(const char *line, char *out, size_t size) {
  const char *open = strchr(line, '<'), *close = open ? strchr(open, '>') : NULL;
  size_t length = open && close ? (size_t)(close - open - 1) : 0;
  if (length >= size) length = size - 1;
  memcpy(out, open ? open + 1 : "", length);
  out[length] = '\0';
}

static void record(const char *ip, const char *sender, const char *recipient) {
  sqlite3 *db;
  sqlite3_stmt *stmt;
  if (sqlite3_open_v2(getenv("DBFILE"), &db, SQLITE_OPEN_READWRITE, NULL) != SQLITE_OK) exit(111);
  sqlite3_busy_timeout(db, 5000);
  /* ostrel's settings for a database in WAL mode: commits that sync only at
   * checkpoints, and no checkpoint by every last connection that closes. */
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, NULL);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", NULL, NULL, NULL);
  static const char *const sql[] = {
      "SELECT attempts FROM pending WHERE ip = ?1 AND envsender = ?2 AND envrecipient = ?3",
      "INSERT INTO pending VALUES (?1, ?2, ?3, DATETIME('now'), DATETIME('now'), 1)"};
  for (int n = 0; n < 2; n++) {
    if (sqlite3_prepare_v2(db, sql[n], -1, &stmt, NULL) != SQLITE_OK) exit(111);
    sqlite3_bind_text(stmt, 1, ip, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, sender, -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 3, recipient, -1, SQLITE_STATIC);
    int step;
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (step != SQLITE_DONE) exit(111);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}

int main(int argc, char **argv) {
  int to_server[2], from_server[2];
  if (argc < 2 || pipe(to_server) < 0 || pipe(from_server) < 0) return 111;
  pid_t child = fork();
  if (child < 0) return 111;
  if (child == 0) {
    dup2(to_server[0], 0);
    dup2(from_server[1], 1);
    close(to_server[0]), close(to_server[1]), close(from_server[0]), close(from_server[1]);
    execv(argv[1], argv + 1);
    _exit(111);
  }
  close(to_server[0]);
  close(from_server[1]);
  signal(SIGPIPE, SIG_IGN);

  static struct lines client = {.fd = 0}, server;
  server.fd = from_server[0];
  char line[1024], sender[512] = "";
  size_t length;
  if (relay_reply(&server) < 0) return 111;
  while ((length = read_line(&client, line, sizeof line)) > 0) {
    if (strncasecmp(line, "RCPT", 4) == 0) {
      char recipient[512];
      const char *ip = getenv("TCPREMOTEIP");
      address(line, recipient, sizeof recipient);
      record(ip ? ip : "", sender, recipient);
      static const char tempfail[] = "451 qqt failure (#4.3.0)\r\n";
      if (write(1, tempfail, sizeof tempfail - 1) < 0) break;
      continue;
    }
    if (strncasecmp(line, "MAIL", 4) == 0) address(line, sender, sizeof sender);
    if (write(to_server[1], line, length) != (ssize_t)length || relay_reply(&server) < 0) break;
  }
  close(to_server[1]);
  waitpid(child, NULL, 0);
  return 0;
}
