#include "upstream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "exit_status.h"
#include "log.h"
#include "relay_loop.h"
#include "write_all.h"

namespace upstream {

AddressWord read_address_word(const char* arg, Target& target) {
  const char* start = arg;
  while (*start != '\0' && std::isspace(static_cast<unsigned char>(*start))) ++start;
  std::size_t len = 0;
  while (start[len] != '\0' && !std::isspace(static_cast<unsigned char>(start[len]))) ++len;
  if (len == 0) return AddressWord::missing;
  if (len >= target.address.size()) return AddressWord::too_long;
  std::memcpy(target.address.data(), start, len);
  target.address[len] = '\0';
  return AddressWord::ok;
}

std::uint16_t read_port(const char* arg) {
  unsigned short port = 0;
  if (arg == nullptr || std::sscanf(arg, "%hu", &port) != 1) return default_port;
  return port;
}

Connection connect_to(const Target& target, int timeout_ms) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return {UniqueFd(), ConnectFailure::socket};
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(target.port);
  server.sin_addr.s_addr = inet_addr(target.address.data());
  int result = connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server);
  if (result != 0 && errno == EINPROGRESS) {
    // An upstream that never answers would hold the kernel's SYN retries
    // (two minutes and more): the connection gets the 40 seconds of any wait.
    pollfd entry{fd.get(), POLLOUT, 0};
    int ready = poll(&entry, 1, timeout_ms);
    int error = 0;
    socklen_t error_len = sizeof error;
    if (ready == 0)
      error = ETIMEDOUT;
    else if (ready < 0)
      error = errno;
    else if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &error_len) != 0)
      error = errno;
    errno = error;
    result = error == 0 ? 0 : -1;
  }
  if (result != 0) {
    int saved = errno;
    fd.reset();
    errno = saved;
    return {UniqueFd(), ConnectFailure::connect};
  }
  return {std::move(fd), ConnectFailure::none};
}

void prepare_client_output() {
  make_nonblocking(client_out);
  int on = 1;
  (void)setsockopt(client_out, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // fails where it is no TCP socket
}

namespace {

// The upstream server's socket; the end of the client's input shuts its
// sending side.
class UpstreamSide : public FdSide {
 public:
  explicit UpstreamSide(int socket_fd) : FdSide(socket_fd, socket_fd, wait_limit_ms) {}
  void end_input() { shutdown(in_, SHUT_WR); }
};

}  // namespace

// The client or the server may read more slowly than the other sends: each
// write waits for room.
int relay(int socket_fd) {
  make_nonblocking(client_in);
  make_nonblocking(socket_fd);
  char chunk[relay_chunk_size];
  FdSide client(client_in, client_out, wait_limit_ms);
  UpstreamSide server(socket_fd);
  RelayResult result =
      relay_loop(client, server, chunk, {wait_limit_ms, ::poll, DialogueTurn(owed_reply_wait_ms, false)});
  switch (result.end) {
    case RelayEnd::server_ended:
    case RelayEnd::wait_failed:
    case RelayEnd::client_read_failed:
      return exit_status::orderly;
    case RelayEnd::timed_out:
      log_msg(5, "Timeout while proxying data.");
      return exit_status::gave_up;
    case RelayEnd::server_write_failed:
      log_msg(3, "Unable to write %d bytes to the server: %s", static_cast<int>(result.bytes), strerror(result.error));
      return exit_status::gave_up;
    case RelayEnd::client_hung_up:
    case RelayEnd::client_write_failed:
      break;
  }
  // After the end of the client's input the server has seen the end of its
  // own, and the socket's sending side is shut: nothing is left to tell
  // anyone.
  if (result.client_ended) return exit_status::orderly;
  log_msg(3, "Unable to write %d bytes to the client.", static_cast<int>(result.bytes));
  (void)!write(socket_fd, "QUIT\r\n", 6);
  return exit_status::orderly;
}

}  // namespace upstream
