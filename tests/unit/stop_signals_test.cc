// ostrel's ending on SIGALRM and SIGPIPE, and its wait for the server
// program, in processes of their own (death tests).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include "log.h"
#include "server_end.h"
#include "signals.h"
#include "state.h"

namespace {

void set_up_connection() {
  log_setup("ostrel: ");
  log_threshold = 7;
  client_metainfo.addr = "192.0.2.7";
  std::atexit([] { log_pieces(3, {"exit handler ran"}); });
  install_stop_signals();
}

// A server program on a pipe: it ends with status 3 at the end of its input.
void start_server() {
  if (pipe(pipe_to_server) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_to_server[1]);
    char byte;
    while (read(pipe_to_server[0], &byte, 1) > 0) {
    }
    _exit(3);
  }
  close(pipe_to_server[0]);
  pipe_to_server[0] = -1;
  note_server_started(pid);
}

[[noreturn]] void alarm_during_watched_poll() {
  set_up_connection();
  int ends[2];
  if (pipe(ends) != 0) std::abort();
  ualarm(20000, 0);
  pollfd entry{ends[0], POLLIN, 0};
  watched_poll(&entry, 1, 20000);
  _exit(1);
}

[[noreturn]] void alarm_outside_polls() {
  set_up_connection();
  start_server();
  ualarm(20000, 0);
  for (;;) pause();  // as blocking as a lock wait inside SQLite
}

[[noreturn]] void write_to_reader_that_is_gone() {
  set_up_connection();
  int ends[2];
  if (pipe(ends) != 0) std::abort();
  close(ends[0]);
  (void)!write(ends[1], "x", 1);
  _exit(1);
}

// Ends with 7 when the alarm is off and both signals have their defaults.
[[noreturn]] void release_then_report() {
  set_up_connection();
  alarm(480);
  release_stop_signals();
  struct sigaction alarm_action {};
  struct sigaction pipe_action {};
  sigaction(SIGALRM, nullptr, &alarm_action);
  sigaction(SIGPIPE, nullptr, &pipe_action);
  bool released = alarm(0) == 0 && alarm_action.sa_handler == SIG_DFL && pipe_action.sa_handler == SIG_DFL;
  _exit(released ? 7 : 1);
}

constexpr char timeout_line[] = "ostrel: Big timeout reached from '192\\.0\\.2\\.7'!\n";

}  // namespace

TEST(StopSignalsDeathTest, ASignalDuringAWatchedPollEndsThroughTheExitPath) {
  EXPECT_EXIT(alarm_during_watched_poll(), testing::ExitedWithCode(100),
              std::string("^") + timeout_line + "ostrel: exit handler ran\n$");
}

TEST(StopSignalsDeathTest, ASignalOutsideAPollEndsInTheHandlerAndCollectsTheServer) {
  EXPECT_EXIT(alarm_outside_polls(), testing::ExitedWithCode(100),
              std::string("^") + timeout_line + "ostrel: Child exited \\(1\\) status 3\\.\n$");
}

TEST(StopSignalsDeathTest, AWriteToAReaderThatIsGoneNamesTheClient) {
  EXPECT_EXIT(write_to_reader_that_is_gone(), testing::ExitedWithCode(100),
              "^ostrel: Client '192\\.0\\.2\\.7' closed connection prematurely\\.\n$");
}

TEST(StopSignalsDeathTest, ReleasedBeforeTheServerProgramRunsInPlaceOfOstrel) {
  EXPECT_EXIT(release_then_report(), testing::ExitedWithCode(7), "^$");
}

TEST(ServerEnd, TheWaitEndsAsSoonAsTheServerEnds) {
  log_setup("ostrel: ");
  log_threshold = 7;
  start_server();
  testing::internal::CaptureStderr();
  auto started = std::chrono::steady_clock::now();
  close_server_input();
  collect_server(20000);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ostrel: Child exited (1) status 3.\n");
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(pipe_to_server[1], -1);
}

TEST(ServerEnd, AServerThatGoesOnIsLeftAfterTheLimit) {
  log_setup("ostrel: ");
  log_threshold = 7;
  start_server();  // its input stays open: it goes on
  testing::internal::CaptureStderr();
  auto started = std::chrono::steady_clock::now();
  collect_server(50);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  close_server_input();
  collect_server(20000);  // and collected once it ends
}
