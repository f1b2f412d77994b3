#include "server_start.h"

#include <sched.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "exit_status.h"
#include "log.h"
#include "signals.h"

namespace {

// The child's stack, touched only while the parent waits. The child needs a
// few frames; the sanitizers' instrumentation makes them larger.
constexpr std::size_t child_stack_size = 64 * 1024;
alignas(64) unsigned char child_stack[child_stack_size];

// Room for the error text in the prepared line: glibc's longest is under 60.
constexpr std::size_t error_text_room = 128;
constexpr char line_end[] = ". Terminating\n";

// The exec failure's line, all but the error text, made before the clone.
// Empty when level 2 is not printed.
struct FailureLine {
  std::unique_ptr<char[]> text;
  std::size_t head = 0;  // up to and with "Unable to run ARGV0: "
};

FailureLine prepare_failure_line(const char* program) {
  FailureLine line;
  if (!log_prints(2)) return line;
  std::string head = log_line_start() + "Unable to run " + (program != nullptr ? program : "(null)") + ": ";
  line.head = head.size();
  line.text = std::make_unique<char[]>(line.head + error_text_room + sizeof line_end);
  std::memcpy(line.text.get(), head.data(), line.head);
  return line;
}

struct ChildPlan {
  char** argv;
  ServerEnds ends;
  const sigset_t* mask;  // the parent's mask before the clone
  char* line;            // FailureLine::text, or null
  std::size_t head;
};

// Runs in the child on child_stack, in the parent's memory: system calls
// and the plan only. errno is the parent's; start_server puts it back.
int become_server(void* arg) noexcept {
  const ChildPlan& plan = *static_cast<const ChildPlan*>(arg);
  default_stop_signals();
  sigprocmask(SIG_SETMASK, plan.mask, nullptr);
  if (plan.ends.input != 0) {
    dup2(plan.ends.input, 0);
    close(plan.ends.input);
  }
  if (plan.ends.output != 1) {
    dup2(plan.ends.output, 1);
    close(plan.ends.output);
  }
  close(plan.ends.parent_input);
  close(plan.ends.parent_output);
  execv(plan.argv[0], plan.argv);
  if (plan.line != nullptr) {
    char scratch[32];
    const char* why = error_text(errno, scratch);
    std::size_t why_len = strnlen(why, error_text_room);
    char* end = plan.line + plan.head;
    std::memcpy(end, why, why_len);
    std::memcpy(end + why_len, line_end, sizeof line_end - 1);
    (void)!write(2, plan.line, plan.head + why_len + sizeof line_end - 1);
  }
  _exit(exit_status::gave_up);
}

}  // namespace

const char* error_text(int errnum, char (&scratch)[32]) {
  if (const char* known = strerrordesc_np(errnum)) return known;
  static constexpr char unknown[] = "Unknown error ";
  logchan::Decimal number(errnum);
  std::size_t n = std::strlen(number.c_str());
  std::memcpy(scratch, unknown, sizeof unknown - 1);
  std::memcpy(scratch + sizeof unknown - 1, number.c_str(), n + 1);
  return scratch;
}

pid_t start_server(char** argv, ServerEnds ends) {
  FailureLine line = prepare_failure_line(argv[0]);
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &saved);  // no handler may run in the child
  ChildPlan plan{argv, ends, &saved, line.text.get(), line.head};
  int saved_errno = errno;
  pid_t pid = clone(become_server, child_stack + child_stack_size, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  int clone_errno = errno;
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  errno = pid < 0 ? clone_errno : saved_errno;
  return pid;
}
