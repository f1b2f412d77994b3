#include "signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "connection_slots.h"
#include "exit_status.h"
#include "log.h"
#include "server_end.h"
#include "state.h"

namespace {

constexpr nfds_t most_watched_entries = 2;

volatile std::sig_atomic_t arrived = 0;  // the signal, once one came
volatile std::sig_atomic_t polling = 0;  // inside watched_poll's wait
int stop_pipe[2] = {-1, -1};

// Async-signal-safe, like everything the handler calls.
void log_signal_line(int signal_number) {
  if (signal_number == SIGPIPE)
    log_pieces(6, {"Client '", client_metainfo.addr, "' closed connection prematurely."});
  else
    log_pieces(4, {"Big timeout reached from '", client_metainfo.addr, "'!"});
}

extern "C" void on_stop_signal(int signal_number) {
  arrived = signal_number;
  if (polling != 0) {
    int saved_errno = errno;
    (void)!write(stop_pipe[1], "s", 1);
    errno = saved_errno;
    return;
  }
  log_signal_line(signal_number);
  close_server_input();
  release_connection_slot();
  collect_server(server_exit_wait_ms);
  _exit(exit_status::gave_up);
}

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGALRM);
  sigaddset(&set, SIGPIPE);
  return set;
}

sigset_t broken_pipe_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

void set_disposition(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = stop_signal_set();  // one handler at a time
  sigaction(SIGALRM, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
}

[[noreturn]] void end_on_signal() {
  block_stop_signals();
  log_signal_line(arrived);
  terminate_process(exit_status::gave_up);
}

}  // namespace

void install_stop_signals() {
  // Without the pipe a signal still interrupts the wait; only one that
  // comes right before it would then wait for the time-out.
  if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe[0] = stop_pipe[1] = -1;
  set_disposition(on_stop_signal);
}

void release_stop_signals() {
  alarm(0);
  set_disposition(SIG_DFL);
}

void default_stop_signals() { set_disposition(SIG_DFL); }

void block_stop_signals() {
  sigset_t set = stop_signal_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

int watched_poll(pollfd* entries, nfds_t count, int timeout_ms) {
  assert(count <= most_watched_entries);
  pollfd watched[most_watched_entries + 1];
  for (nfds_t i = 0; i < count; ++i) watched[i] = entries[i];
  watched[count] = {stop_pipe[0], POLLIN, 0};
  polling = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  int ready = poll(watched, count + 1, timeout_ms);
  int saved_errno = errno;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  polling = 0;
  if (arrived != 0) end_on_signal();
  for (nfds_t i = 0; i < count; ++i) entries[i].revents = watched[i].revents;
  errno = saved_errno;
  return ready;
}

ClientWriteGuard::ClientWriteGuard() {
  sigset_t pipe = broken_pipe_set();
  sigprocmask(SIG_BLOCK, &pipe, &saved_);
}

ClientWriteGuard::~ClientWriteGuard() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void ClientWriteGuard::client_hung_up() {
  sigset_t pipe = broken_pipe_set();
  const timespec no_wait{0, 0};
  int saved_errno = errno;
  (void)sigtimedwait(&pipe, nullptr, &no_wait);
  errno = saved_errno;
}
