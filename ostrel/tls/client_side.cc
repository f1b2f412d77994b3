#include "client_side.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>

#include "clock.h"
#include "exit_status.h"
#include "line_reader.h"
#include "log.h"
#include "relay.h"
#include "sending.h"
#include "signals.h"
#include "state.h"
#include "tls.h"
#include "tls_relay.h"
#include "write_all.h"

namespace {

constexpr char ready_reply[] = "220 2.0.0 Ready to start TLS\r\n";
constexpr char unavailable_reply[] = "454 4.7.0 TLS not available due to temporary reason\r\n";

std::optional<TlsCredentials> credentials;  // loaded at start-up of the greylisting road
SslCtxPtr context;                          // built at the client's STARTTLS
std::optional<TlsConnection> tls;           // set once STARTTLS is being answered
bool unusable = false;                      // TLSCERT is set, but could not be loaded

void log_load_failure(const TlsCredentials& loaded, const char* cert, const char* key) {
  switch (loaded.status) {
    case TlsLoad::certificate:
      log_msg(3, "TLS is off for this connection: cannot load the certificate chain '%s': %s.", cert,
              loaded.detail.c_str());
      break;
    case TlsLoad::key:
      log_msg(3, "TLS is off for this connection: cannot load the private key '%s': %s.", key, loaded.detail.c_str());
      break;
    case TlsLoad::mismatch:
      log_msg(3, "TLS is off for this connection: the private key '%s' does not match the certificate '%s': %s.", key,
              cert, loaded.detail.c_str());
      break;
    case TlsLoad::library:
    case TlsLoad::loaded:
      log_msg(3, "TLS is off for this connection: the TLS library failed: %s.", loaded.detail.c_str());
      break;
  }
}

// Registered after the library's own exit handler, so it runs before the
// library cleans itself up at exit.
void release_tls() {
  tls.reset();
  context.reset();
  credentials.reset();
  unusable = false;
}

// A read inside TLS that did not deliver: the lines of the clear-text reader.
[[noreturn]] void end_on_read_failure(TlsStatus status) {
  switch (status) {
    case TlsStatus::timed_out:
      log_msg(6, "Read timeout reached for socket %d, client %s", client_in, client_metainfo.addr);
      break;
    case TlsStatus::closed:
      log_msg(6, "Client '%s' dropped the connection.", client_metainfo.addr);
      break;
    case TlsStatus::done:
    case TlsStatus::failed:
      log_msg(3, "Error in read(): %s", tls->error_text().c_str());
      break;
  }
  terminate_process(exit_status::gave_up);
}

// A client that hangs up mid-handshake shows as a failed write here, with a
// line of its own, rather than as a signal.
class SigpipeIgnored {
 public:
  SigpipeIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved_);
  }
  ~SigpipeIgnored() { sigaction(SIGPIPE, &saved_, nullptr); }
  SigpipeIgnored(const SigpipeIgnored&) = delete;
  SigpipeIgnored& operator=(const SigpipeIgnored&) = delete;

 private:
  struct sigaction saved_ {};
};

}  // namespace

void client_tls_setup() {
  const char* cert = std::getenv("TLSCERT");
  if (cert == nullptr) return;
  const char* key = std::getenv("TLSKEY");
  TlsCredentials loaded = load_tls_credentials(cert, key);
  if (loaded.status != TlsLoad::loaded) {
    log_load_failure(loaded, cert, key != nullptr ? key : cert);
    unusable = true;
    return;
  }
  credentials = std::move(loaded);
  static const bool release_registered = std::atexit(release_tls) == 0;
  (void)release_registered;
  log_msg(7, "TLS certificate '%s' loaded; STARTTLS is offered.", cert);
}

bool client_tls_offered() { return credentials.has_value() && !tls; }

bool client_tls_unusable() { return unusable; }

bool client_tls_active() { return tls.has_value(); }

std::size_t client_get_line(char* line, std::size_t len) {
  if (!tls) return get_line(client_in, line, len);
  std::size_t got = 0;
  TlsStatus status = tls->read_line(line, len, got, wait_limit_ms);
  if (status != TlsStatus::done) end_on_read_failure(status);
  return got;
}

std::size_t client_read_some(char* data, std::size_t len) {
  if (!tls) return get_some(client_in, data, len);
  std::size_t got = 0;
  TlsStatus status = tls->read_up_to(data, len, got, wait_limit_ms);
  if (status != TlsStatus::done) end_on_read_failure(status);
  return got;
}

void client_send(const char* data, std::size_t len) {
  if (!tls) {
    send_bounded(client_out, data, len);
    return;
  }
  // As in clear text, only a client that takes nothing for the wait limit
  // ends the process here; other failures are met by the next read.
  if (tls->write_all(data, len, wait_limit_ms) != TlsStatus::timed_out) return;
  log_msg(6, "Write timeout reached for socket %d, client %s", client_out, client_metainfo.addr);
  terminate_process(exit_status::gave_up);
}

bool client_prepare_tls() {
  if (!context) {
    TlsContext made = make_tls_context(*credentials);
    if (made.status != TlsLoad::loaded) {
      log_msg(3, "TLS with client '%s' cannot start: %s.", client_metainfo.addr, made.detail.c_str());
      return false;
    }
    context = std::move(made.ctx);
  }
  tls.emplace(context.get(), client_in, client_out, watched_poll);
  if (tls->valid()) return true;
  log_msg(3, "TLS with client '%s' cannot start: %s.", client_metainfo.addr, tls->error_text().c_str());
  tls.reset();
  return false;
}

void client_refuse_tls() {
  tls.reset();
  send_bounded(client_out, unavailable_reply, sizeof unavailable_reply - 1);
}

void client_start_tls() {
  send_bounded(client_out, ready_reply, sizeof ready_reply - 1);
  TlsStatus status;
  {
    SigpipeIgnored quiet;
    status = tls->accept(wait_limit_ms);
  }
  switch (status) {
    case TlsStatus::done:
      log_msg(6, "TLS with client '%s' established: %s.", client_metainfo.addr, tls->description().c_str());
      return;
    case TlsStatus::timed_out:
      log_msg(6, "TLS handshake with client '%s' timed out.", client_metainfo.addr);
      break;
    case TlsStatus::closed:
      log_msg(6, "Client '%s' hung up during the TLS handshake: %s.", client_metainfo.addr, tls->error_text().c_str());
      break;
    case TlsStatus::failed:
      log_msg(5, "TLS handshake with client '%s' failed: %s.", client_metainfo.addr, tls->error_text().c_str());
      break;
  }
  terminate_process(exit_status::gave_up);
}

void client_close_output() {
  if (tls) tls->close_notify(wait_limit_ms);
  close(client_out);
}

void client_linger(int limit_ms) {
  int protocol = 0;
  socklen_t size = sizeof protocol;
  if (getsockopt(client_in, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) != 0 || protocol != IPPROTO_TCP) return;
  shutdown(client_in, SHUT_WR);
  make_nonblocking(client_in);
  const long long deadline_ms = monotonic_ms() + limit_ms;
  for (long long left_ms = limit_ms; left_ms > 0; left_ms = deadline_ms - monotonic_ms()) {
    pollfd entry{client_in, POLLIN, 0};
    if (watched_poll(&entry, 1, static_cast<int>(left_ms)) <= 0) return;
    ssize_t n = read(client_in, buf.data(), buf.size());
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

void client_relay(bool server_owes_reply) {
  if (!tls) relay_traffic(server_owes_reply);
  TlsRelayResult result = relay_tls(*tls, pipe_from_server[0], pipe_to_server[1], wait_limit_ms, watched_poll,
                                    DialogueTurn(owed_reply_wait_ms, server_owes_reply));
  switch (result.end) {
    case TlsRelayEnd::server_ended:
    case TlsRelayEnd::client_hung_up:
      terminate_process(exit_status::orderly);
    case TlsRelayEnd::timed_out:
      log_msg(6, "Timeout while reading from network (%d:%hd:%hd).", 0, static_cast<short>(0), static_cast<short>(0));
      report_child_state();
      terminate_process(exit_status::gave_up);
    case TlsRelayEnd::client_failed:
      log_msg(5, "TLS with client '%s' broke: %s.", client_metainfo.addr, result.reason.c_str());
      terminate_process(exit_status::orderly);
    case TlsRelayEnd::client_write_failed:
      log_msg(3, "Unable to write to the client %d bytes: %s.", static_cast<int>(result.bytes), result.reason.c_str());
      terminate_process(exit_status::orderly);
    case TlsRelayEnd::server_write_failed:
      log_msg(3, "Unable to write to the server %d bytes: %s.", static_cast<int>(result.bytes), result.reason.c_str());
      terminate_process(exit_status::orderly);
  }
  terminate_process(exit_status::gave_up);
}

void client_side_reset() { release_tls(); }
