#include "upstream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "unique_fd.h"

using upstream::AddressWord;

TEST(AddressWord, TakesTheFirstWord) {
  upstream::Target target;
  EXPECT_EQ(upstream::read_address_word("127.0.0.1 and more", target), AddressWord::ok);
  EXPECT_STREQ(target.address.data(), "127.0.0.1");
  EXPECT_EQ(upstream::read_address_word("  10.0.0.1\t", target), AddressWord::ok);
  EXPECT_STREQ(target.address.data(), "10.0.0.1");
  EXPECT_EQ(upstream::read_address_word("255.255.255.255", target), AddressWord::ok);
}

TEST(AddressWord, RefusesEmptyAndOverlongWords) {
  upstream::Target target;
  EXPECT_EQ(upstream::read_address_word("", target), AddressWord::missing);
  EXPECT_EQ(upstream::read_address_word(" \t ", target), AddressWord::missing);
  EXPECT_EQ(upstream::read_address_word("1234567890123456", target), AddressWord::too_long);
}

TEST(Port, DefaultsTo25) {
  EXPECT_EQ(upstream::read_port(nullptr), 25);
  EXPECT_EQ(upstream::read_port("abc"), 25);
  EXPECT_EQ(upstream::read_port("2525"), 2525);
  EXPECT_EQ(upstream::read_port(" 587x"), 587);
}

namespace {

// A listener on 127.0.0.1 whose queue of connections waiting to be
// accepted is full: the kernel drops further connection attempts, as an
// upstream that never answers would.
struct FullListener {
  UniqueFd listener;
  std::vector<UniqueFd> queued;
  std::uint16_t port = 0;
  FullListener() {
    listener.reset(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), len) != 0 || listen(listener.get(), 0) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &len) != 0)
      ADD_FAILURE() << "listener";
    port = ntohs(address.sin_port);
    for (int i = 0; i < 3; ++i) {
      queued.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      (void)connect(queued.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    pollfd first{queued.front().get(), POLLOUT, 0};
    if (poll(&first, 1, 10000) != 1) ADD_FAILURE() << "no connection queued";  // now the queue is full
  }
};

upstream::Target loopback(std::uint16_t port) {
  upstream::Target target;
  std::strcpy(target.address.data(), "127.0.0.1");
  target.port = port;
  return target;
}

}  // namespace

TEST(Connect, AnUpstreamThatNeverAnswersTimesOut) {
  FullListener full;
  auto started = std::chrono::steady_clock::now();
  upstream::Connection connection = upstream::connect_to(loopback(full.port), 300);
  int saved = errno;
  EXPECT_EQ(connection.failure, upstream::ConnectFailure::connect);
  EXPECT_EQ(connection.fd, -1);
  EXPECT_EQ(saved, ETIMEDOUT);
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(Connect, RefusedAndMadeConnections) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), len), 0);
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &len), 0);
  std::uint16_t port = ntohs(address.sin_port);

  upstream::Connection refused = upstream::connect_to(loopback(port), 5000);  // bound, not listening
  EXPECT_EQ(refused.failure, upstream::ConnectFailure::connect);
  EXPECT_EQ(errno, ECONNREFUSED);

  ASSERT_EQ(listen(listener.get(), 1), 0);
  upstream::Connection made = upstream::connect_to(loopback(port), 5000);
  UniqueFd owner(made.fd);
  ASSERT_EQ(made.failure, upstream::ConnectFailure::none);
  EXPECT_NE(fcntl(made.fd, F_GETFL) & O_NONBLOCK, 0);
  UniqueFd accepted(accept(listener.get(), nullptr, nullptr));
  EXPECT_TRUE(accepted.valid());
}
