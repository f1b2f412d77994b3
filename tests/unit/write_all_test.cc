#include "write_all.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "unique_fd.h"

namespace {

struct SocketPair {
  UniqueFd writer;
  UniqueFd reader;
  SocketPair() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) ADD_FAILURE() << "socketpair";
    writer.reset(ends[0]);
    reader.reset(ends[1]);
    int small = 4096;
    setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  }
};

int polls = 0;
int counting_poll(pollfd* entries, nfds_t count, int timeout_ms) {
  ++polls;
  return ::poll(entries, count, timeout_ms);
}

const std::string megabyte(1 << 20, 'm');

}  // namespace

TEST(WriteAll, AReaderThatTakesNothingEndsTheWaitAfterTheLimit) {
  SocketPair pair;
  ASSERT_TRUE(make_nonblocking(pair.writer.get()));
  auto started = std::chrono::steady_clock::now();
  std::size_t done = write_all(pair.writer.get(), megabyte.data(), megabyte.size(), 50);
  int saved = errno;
  EXPECT_LT(done, megabyte.size());
  EXPECT_GT(done, 0u);
  EXPECT_EQ(saved, EAGAIN);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
}

TEST(WriteAll, AReaderThatMerelyNeedsTimeGetsEverythingThroughTheCallersPoll) {
  SocketPair pair;
  ASSERT_TRUE(make_nonblocking(pair.writer.get()));
  std::size_t received = 0;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char chunk[65536];
    ssize_t n;
    while ((n = read(pair.reader.get(), chunk, sizeof chunk)) > 0) received += static_cast<std::size_t>(n);
  });
  polls = 0;
  EXPECT_EQ(write_all(pair.writer.get(), megabyte.data(), megabyte.size(), 5000, counting_poll), megabyte.size());
  EXPECT_GT(polls, 0);
  pair.writer.reset();
  reader.join();
  EXPECT_EQ(received, megabyte.size());
}

TEST(MakeNonblocking, AddsTheFlagAndKeepsTheOthers) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  ASSERT_EQ(fcntl(write_end.get(), F_SETFL, O_APPEND), 0);  // a flag that pipes keep
  int before = fcntl(write_end.get(), F_GETFL);
  ASSERT_TRUE(make_nonblocking(write_end.get()));
  EXPECT_EQ(fcntl(write_end.get(), F_GETFL), before | O_NONBLOCK);
  EXPECT_TRUE(make_nonblocking(write_end.get()));
  EXPECT_FALSE(make_nonblocking(-1));
}
