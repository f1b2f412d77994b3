#include "tls_relay.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "relay_loop.h"
#include "signals.h"
#include "write_all.h"

namespace {

// The largest plaintext one TLS record holds.
constexpr std::size_t record_size = 16384;
std::array<char, record_size> chunk;

constexpr short any_event = POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL;

// The client's TLS connection as a side of the relay; what failed is in
// the connection's error text.
class TlsClient {
 public:
  TlsClient(TlsConnection& tls, int wait_ms) : tls_(tls), wait_ms_(wait_ms) {}

  [[nodiscard]] pollfd watch() const {
    return tls_.wants_write() ? pollfd{tls_.write_fd(), POLLOUT, 0} : pollfd{tls_.read_fd(), POLLIN, 0};
  }
  [[nodiscard]] bool ready(const pollfd& entry) const { return (entry.revents & any_event) != 0; }
  [[nodiscard]] bool has_pending() const { return tls_.has_pending(); }
  [[nodiscard]] ReadResult read(char* data, std::size_t len) {
    std::size_t got = 0;
    TlsStatus status = tls_.read_some(data, len, got);
    if (status == TlsStatus::closed) return {ReadStatus::ended};
    if (status != TlsStatus::done) return {ReadStatus::failed};
    return {ReadStatus::data, got};
  }
  // A client that has hung up makes the write fail (hung_up) instead of
  // ending the process.
  [[nodiscard]] WriteStatus write(const char* data, std::size_t len) {
    ClientWriteGuard guard;
    TlsStatus sent = tls_.write_all(data, len, wait_ms_);
    if (sent == TlsStatus::done) return WriteStatus::done;
    if (sent != TlsStatus::closed) return WriteStatus::failed;
    guard.client_hung_up();
    return WriteStatus::hung_up;
  }

 private:
  TlsConnection& tls_;
  int wait_ms_;
};

// The server program's pipes; the end of the client's input closes
// server_in, which becomes -1, and the server's replies still go out.
class ServerPipes : public FdSide {
 public:
  ServerPipes(int server_out, int& server_in, int wait_ms, PollFunction wait)
      : FdSide(server_out, server_in, wait_ms, wait, any_event), server_in_(server_in) {}
  void end_input() { close(std::exchange(server_in_, -1)); }

 private:
  int& server_in_;
};

// The last the client gets; whether it still can does not matter now.
void end_tls(TlsConnection& tls, int wait_ms) {
  ClientWriteGuard guard;
  tls.close_notify(wait_ms);
  guard.client_hung_up();
}

}  // namespace

TlsRelayResult relay_tls(TlsConnection& tls, int server_out, int& server_in, int wait_ms, PollFunction wait,
                         DialogueTurn turn) {
  make_nonblocking(server_out);
  TlsClient client(tls, wait_ms);
  ServerPipes server(server_out, server_in, wait_ms, wait);
  RelayResult result = relay_loop(client, server, chunk, {wait_ms, wait, turn, true});
  switch (result.end) {
    case RelayEnd::server_ended:
      end_tls(tls, wait_ms);
      return {TlsRelayEnd::server_ended, 0, ""};
    case RelayEnd::timed_out:
      return {TlsRelayEnd::timed_out, 0, ""};
    case RelayEnd::wait_failed:
      return {TlsRelayEnd::client_failed, 0, std::strerror(result.error)};
    case RelayEnd::client_read_failed:
      return {TlsRelayEnd::client_failed, 0, tls.error_text()};
    case RelayEnd::client_hung_up:
      return {TlsRelayEnd::client_hung_up, result.bytes, tls.error_text()};
    case RelayEnd::client_write_failed:
      return {TlsRelayEnd::client_write_failed, result.bytes, tls.error_text()};
    case RelayEnd::server_write_failed:
      break;
  }
  return {TlsRelayEnd::server_write_failed, result.bytes, std::strerror(result.error)};
}
