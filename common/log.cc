#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int log_threshold = 3;

namespace {

const char* prefix_copy = "";
bool pid_flag = false;
int pid_at_setup = 0;
char format_buffer[logchan::format_size];

// Length of the text without a conversion that the cut left
// unfinished at its end: "%", "%-", "%l" and the like are dropped.
std::size_t length_without_partial_conversion(const char* text, std::size_t len) {
  std::size_t open = len;  // start of an unfinished conversion, if any
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] != '%') continue;
    std::size_t j = i + 1;
    if (j < len && text[j] == '%') {
      i = j;
      continue;
    }
    while (j < len && std::strchr("0123456789.-+ #'*hlLqjzt$", text[j]) != nullptr) ++j;
    if (j >= len) {
      open = i;
      break;
    }
    i = j;
  }
  return open;
}

}  // namespace

namespace logchan {

int threshold_from_env(const char* value) {
  if (value == nullptr) return 3;
  errno = 0;
  long n = std::strtol(value, nullptr, 10);
  if (errno == ERANGE || n < 0 || n > 7) return 3;
  return static_cast<int>(n);
}

void compose_format(char* out, bool with_pid, int pid, const char* prefix, const char* fmt) {
  int n = with_pid ? std::snprintf(out, format_size, "(%d) %s%s", pid, prefix, fmt)
                   : std::snprintf(out, format_size, "%s%s", prefix, fmt);
  std::size_t len = n < 0 ? 0 : static_cast<std::size_t>(n);
  bool cut = len >= format_size;
  std::size_t fmt_len = std::strlen(fmt);
  bool ends_in_newline = fmt_len > 0 && fmt[fmt_len - 1] == '\n';
  if (ends_in_newline && !cut) return;
  // Room for the newline: it takes the last character of a full buffer, and
  // a conversion that the cut leaves unfinished is dropped.
  len = length_without_partial_conversion(out, std::min(len, format_size - 2));
  out[len] = '\n';
  out[len + 1] = '\0';
}

Decimal::Decimal(long value) : text_{}, start_(static_cast<int>(sizeof text_) - 1) {
  // Digits are taken from the negative value, which also holds LONG_MIN.
  long rest = value < 0 ? value : -value;
  do {
    text_[--start_] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) text_[--start_] = '-';
}

}  // namespace logchan

void log_pieces(int level, std::initializer_list<const char*> pieces) {
  if (level > log_threshold) return;
  int saved_errno = errno;
  char line[logchan::line_size];
  std::size_t len = 0;
  auto append = [&](const char* text) {
    if (text == nullptr) text = "(null)";
    std::size_t n = std::min(std::strlen(text), sizeof line - 1 - len);
    std::memcpy(line + len, text, n);
    len += n;
  };
  if (pid_flag) {
    append("(");
    append(logchan::Decimal(pid_at_setup).c_str());
    append(") ");
  }
  append(prefix_copy);
  for (const char* piece : pieces) append(piece);
  line[len++] = '\n';
  (void)!write(2, line, len);
  errno = saved_errno;
}

std::string log_line_start() {
  std::string start;
  if (pid_flag) start.append("(").append(logchan::Decimal(pid_at_setup).c_str()).append(") ");
  return start.append(prefix_copy);
}

int log_setup(const char* prefix) {
  char* copy = strdup(prefix);
  if (copy == nullptr) {
    static const char message[] = "log_setup: out of memory for the log prefix\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(100);
  }
  // A second set-up (the tests make several) replaces the first one's copy.
  static char* owned_copy = nullptr;
  std::free(owned_copy);
  owned_copy = copy;
  prefix_copy = copy;
  log_threshold = logchan::threshold_from_env(std::getenv("LOGTHRESHOLD"));
  pid_flag = std::getenv("LOGPID") != nullptr;
  pid_at_setup = pid_flag ? static_cast<int>(getpid()) : 0;
  return 0;
}

int log_msg(int level, const char* fmt, ...) {
  if (level > log_threshold) return 0;
  int saved_errno = errno;
  logchan::compose_format(format_buffer, pid_flag, pid_at_setup, prefix_copy, fmt);
  va_list args;
  va_start(args, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::vfprintf(stderr, format_buffer, args);
#pragma GCC diagnostic pop
  va_end(args);
  errno = saved_errno;
  return 0;
}
