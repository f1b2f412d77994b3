#include "tls_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "signals.h"
#include "write_all.h"

namespace {

// The largest plaintext one TLS record holds.
constexpr std::size_t record_size = 16384;
std::array<char, record_size> chunk;

constexpr short any_event = POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL;

// A client that has hung up makes the write fail (closed) instead of
// ending the process.
TlsStatus send_to_client(TlsConnection& tls, const char* data, std::size_t len, int wait_ms) {
  ClientWriteGuard guard;
  TlsStatus sent = tls.write_all(data, len, wait_ms);
  if (sent == TlsStatus::closed) guard.client_hung_up();
  return sent;
}

// The last the client gets; whether it still can does not matter now.
void end_tls(TlsConnection& tls, int wait_ms) {
  ClientWriteGuard guard;
  tls.close_notify(wait_ms);
  guard.client_hung_up();
}

}  // namespace

TlsRelayResult relay_tls(TlsConnection& tls, int server_out, int& server_in, int wait_ms, PollFunction wait,
                         DialogueTurn turn) {
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
      int ready = wait(entries, 2, turn.input_wait_ms(wait_ms));
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
      } else if (got > 0) {
        if (write_all(server_in, chunk.data(), got, wait_ms, wait) != got)
          return {TlsRelayEnd::server_write_failed, got, std::strerror(errno)};
        turn.client_sent();
      }
      continue;  // the client's data first, as the clear-text relay does
    }

    if (server_ready) {
      ssize_t n = read(server_out, chunk.data(), chunk.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        end_tls(tls, wait_ms);
        return {TlsRelayEnd::server_ended, 0, ""};
      }
      auto len = static_cast<std::size_t>(n);
      TlsStatus sent = send_to_client(tls, chunk.data(), len, wait_ms);
      if (sent == TlsStatus::closed) return {TlsRelayEnd::client_hung_up, len, tls.error_text()};
      if (sent != TlsStatus::done) return {TlsRelayEnd::client_write_failed, len, tls.error_text()};
      turn.server_sent();
    }
  }
}
