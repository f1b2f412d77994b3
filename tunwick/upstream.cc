#include "upstream.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

int relay(int socket_fd) {
  fcntl(client_in, F_SETFL, O_NONBLOCK);
  fcntl(socket_fd, F_SETFL, O_NONBLOCK);
  char chunk[relay_chunk_size];
  DialogueTurn turn(owed_reply_wait_ms, false);
  bool client_sends = true;
  for (;;) {
    // Once standard input has ended, only the server is watched.
    pollfd entries[2] = {{client_sends ? client_in : -1, POLLIN, 0}, {socket_fd, POLLIN, 0}};
    if (poll(entries, 2, turn.input_wait_ms(wait_limit_ms)) < 0) return exit_status::orderly;
    if (has_input(entries[0])) {
      ssize_t n = read(client_in, chunk, sizeof chunk);
      if (n == 0) {
        // The server sees the end of the client's input and may still answer.
        shutdown(socket_fd, SHUT_WR);
        client_sends = false;
        continue;
      }
      if (n < 0) return exit_status::orderly;
      // The server may read more slowly than the client sends: wait for it.
      if (write_all(socket_fd, chunk, static_cast<std::size_t>(n), wait_limit_ms) != static_cast<std::size_t>(n)) {
        log_msg(3, "Unable to write %d bytes to the server: %s", static_cast<int>(n), strerror(errno));
        return exit_status::gave_up;
      }
      turn.client_sent();
    } else if (has_input(entries[1])) {
      ssize_t n = read(socket_fd, chunk, sizeof chunk);
      if (n <= 0) return exit_status::orderly;
      // The client may read more slowly than the server sends: wait for it.
      if (write_all(client_out, chunk, static_cast<std::size_t>(n), wait_limit_ms) != static_cast<std::size_t>(n)) {
        // After the end of the client's input the server has seen the end
        // of its own, and the socket's sending side is shut: nothing is
        // left to tell anyone.
        if (!client_sends) return exit_status::orderly;
        log_msg(3, "Unable to write %d bytes to the client.", static_cast<int>(n));
        (void)!write(socket_fd, "QUIT\r\n", 6);
        return exit_status::orderly;
      }
      turn.server_sent();
    } else {
      log_msg(5, "Timeout while proxying data.");
      return exit_status::gave_up;
    }
  }
}

}  // namespace upstream
