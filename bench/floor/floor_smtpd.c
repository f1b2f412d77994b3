/* The minimal SMTP server program of the floor: a fixed greeting, then one
 * fixed reply per command line (EHLO's as many lines as exim's) until QUIT
 * or the end of its input. */
#include <string.h>
#include <strings.h>
#include <unistd.h>

static const char greeting[] = "220 mx.bench.example ESMTP\r\n";
static const char ehlo_reply[] =
    "250-mx.bench.example Hello bench.example [127.0.0.1]\r\n250-SIZE 52428800\r\n250-8BITMIME\r\n"
    "250-PIPELINING\r\n250-CHUNKING\r\n250-PRDR\r\n250-SMTPUTF8\r\n250 HELP\r\n";

static int say(const char *text) {
  size_t length = strlen(text);
  return write(1, text, length) == (ssize_t)length ? 0 : -1;
}

int main(void) {
  char buf[4096];
  size_t used = 0;
  if (say(greeting) < 0) return 1;
  for (;;) {
    char *end = memchr(buf, '\n', used);
    if (end == NULL) {
      if (used == sizeof buf) return 1;
      ssize_t got = read(0, buf + used, sizeof buf - used);
      if (got <= 0) return 0;
      used += (size_t)got;
      continue;
    }
    const char *reply = strncasecmp(buf, "EHLO", 4) == 0   ? ehlo_reply
                        : strncasecmp(buf, "QUIT", 4) == 0 ? "221 bye\r\n"
                        : strncasecmp(buf, "RCPT", 4) == 0 ? "250 Accepted\r\n"
                                                           : "250 OK\r\n";
    if (say(reply) < 0 || strncmp(reply, "221", 3) == 0) return 0;
    size_t line = (size_t)(end - buf) + 1;
    memmove(buf, buf + line, used - line);
    used -= line;
  }
}
