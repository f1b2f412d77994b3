#include "tls_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "write_all.h"

namespace {

// The largest plaintext one TLS record holds.
constexpr std::size_t record_size = 16384;
std::array<char, record_size> chunk;

constexpr short any_event = POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

TlsRelayResult relay_tls(TlsConnection& tls, int server_out, int& server_in, int wait_ms, PollFunction wait) {
  fcntl(server_out, F_SETFL, fcntl(server_out, F_GETFL) | O_NONBLOCK);
  bool client_open = true;
  for (;;) {
    bool client_ready = client_open && tls.has_pending();
    bool server_ready = false;
    if (!client_ready) {
      pollfd entries[2] = {
          {client_open ? (tls.wants_write() ? tls.write_fd() : tls.read_fd()) : -1,
           static_cast<short>(tls.wants_write() ? POLLOUT : POLLIN), 0},
          {server_out, POLLIN, 0}};
      int ready = wait(entries, 2, wait_ms);
      if (ready == 0) return {TlsRelayEnd::timed_out, 0, ""};
      if (ready < 0) {
        if (errno == EINTR) continue;
        return {TlsRelayEnd::client_failed, 0, std::strerror(errno)};
      }
      client_ready = (entries[0].revents & any_event) != 0;
      server_ready = (entries[1].revents & any_event) != 0;
    }

    if (client_ready) {
      std::size_t got = 0;
      TlsStatus status = tls.read_some(chunk.data(), chunk.size(), got);
      if (status == TlsStatus::closed) {
        client_open = false;
        int fd = std::exchange(server_in, -1);
        close(fd);  // the server sees the end of its input; its replies still go out
      } else if (status != TlsStatus::done) {
        return {TlsRelayEnd::client_failed, 0, tls.error_text()};
      } else if (got > 0 && write_all(server_in, chunk.data(), got, wait_ms, wait) != got) {
        return {TlsRelayEnd::server_write_failed, got, std::strerror(errno)};
      }
      continue;  // the client's data first, as the clear-text relay does
    }

    if (server_ready) {
      ssize_t n = read(server_out, chunk.data(), chunk.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        tls.close_notify(wait_ms);
        return {TlsRelayEnd::server_ended, 0, ""};
      }
      auto len = static_cast<std::size_t>(n);
      if (tls.write_all(chunk.data(), len, wait_ms) != TlsStatus::done)
        return {TlsRelayEnd::client_write_failed, len, tls.error_text()};
    }
  }
}
