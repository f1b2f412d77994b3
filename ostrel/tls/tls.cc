#include "tls.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "clock.h"

namespace {

TlsContext context_failure() { return {nullptr, TlsLoad::library, take_tls_error()}; }

bool is_hang_up(int error) { return error == ECONNRESET || error == EPIPE || error == ENOTCONN; }

}  // namespace

TlsContext make_tls_context(const TlsCredentials& credentials) {
  openssl().ERR_clear_error();
  SslCtxPtr ctx(openssl().SSL_CTX_new(openssl().TLS_server_method()));
  if (!ctx) return context_failure();
  openssl().SSL_CTX_ctrl(ctx.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // A client that ends its input without close_notify is taken as one that
  // sent it: the server's last replies may still go out (SMTP marks the end
  // of a message itself, so no truncation passes unseen).
  openssl().SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
  openssl().SSL_CTX_set_num_tickets(ctx.get(), 0);
  openssl().SSL_CTX_ctrl(ctx.get(), SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
  if (openssl().SSL_CTX_use_certificate(ctx.get(), credentials.leaf.get()) != 1 ||
      openssl().SSL_CTX_ctrl(ctx.get(), SSL_CTRL_CHAIN, 1, credentials.chain.get()) != 1 ||
      openssl().SSL_CTX_use_PrivateKey(ctx.get(), credentials.key.get()) != 1 ||
      openssl().SSL_CTX_check_private_key(ctx.get()) != 1)
    return context_failure();
  return {std::move(ctx), TlsLoad::loaded, ""};
}

TlsConnection::TlsConnection(SSL_CTX* ctx, int rfd, int wfd, PollFunction wait)
    : ssl_(openssl().SSL_new(ctx)), poll_(wait), rfd_(rfd), wfd_(wfd) {
  if (!ssl_ || openssl().SSL_set_rfd(ssl_.get(), rfd) != 1 || openssl().SSL_set_wfd(ssl_.get(), wfd) != 1) {
    error_ = take_tls_error();
    ssl_.reset();
    return;
  }
  openssl().SSL_ctrl(ssl_.get(), SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  make_nonblocking(rfd);
  make_nonblocking(wfd);
}

// Called after every library call that did not simply succeed; ret is its
// result. Must follow the call before anything else touches the error queue.
TlsConnection::Outcome TlsConnection::classify(int ret) {
  int saved_errno = errno;
  switch (openssl().SSL_get_error(ssl_.get(), ret)) {
    case SSL_ERROR_NONE:
      return Outcome::progress;
    case SSL_ERROR_WANT_READ:
      return Outcome::wait_read;
    case SSL_ERROR_WANT_WRITE:
      return Outcome::wait_write;
    case SSL_ERROR_ZERO_RETURN:
      openssl().ERR_clear_error();
      error_ = "the peer ended TLS";
      end_ = TlsStatus::closed;
      return Outcome::end;
    case SSL_ERROR_SYSCALL:
      if (saved_errno == EINTR) return Outcome::progress;
      error_ = saved_errno != 0 ? std::strerror(saved_errno) : "unexpected end of input";
      end_ = saved_errno == 0 || is_hang_up(saved_errno) ? TlsStatus::closed : TlsStatus::failed;
      openssl().ERR_clear_error();
      broken_ = true;
      return Outcome::end;
    default: {
      unsigned long code = openssl().ERR_peek_error();
      bool eof = ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
      bool reset = ERR_GET_LIB(code) == ERR_LIB_SYS && is_hang_up(ERR_GET_REASON(code));
      error_ = take_tls_error();
      if (error_.empty()) error_ = "TLS library error";
      end_ = eof || reset ? TlsStatus::closed : TlsStatus::failed;
      broken_ = true;
      return Outcome::end;
    }
  }
}

TlsStatus TlsConnection::wait(Outcome outcome, int wait_ms) {
  pollfd entry{outcome == Outcome::wait_write ? wfd_ : rfd_,
               static_cast<short>(outcome == Outcome::wait_write ? POLLOUT : POLLIN), 0};
  int ready = poll_(&entry, 1, wait_ms);
  if (ready == 0) {
    error_ = "time-out";
    return TlsStatus::timed_out;
  }
  if (ready < 0 && errno != EINTR) {
    error_ = std::strerror(errno);
    return TlsStatus::failed;
  }
  return TlsStatus::done;  // ready (or in error: the next call tells), or interrupted
}

TlsStatus TlsConnection::accept(int limit_ms) {
  const long long deadline = monotonic_ms() + limit_ms;
  for (;;) {
    openssl().ERR_clear_error();
    errno = 0;
    int ret = openssl().SSL_accept(ssl_.get());
    if (ret == 1) return TlsStatus::done;
    Outcome outcome = classify(ret);
    if (outcome == Outcome::progress) continue;
    if (outcome == Outcome::end) return end_;
    long long left = deadline - monotonic_ms();
    if (left <= 0) {
      error_ = "time-out";
      return TlsStatus::timed_out;
    }
    TlsStatus waited = wait(outcome, static_cast<int>(left));
    if (waited != TlsStatus::done) return waited;
  }
}

TlsStatus TlsConnection::read_line(char* line, std::size_t len, std::size_t& got, int wait_ms) {
  got = 0;
  TlsStatus status = TlsStatus::done;
  while (got + 1 < len) {
    openssl().ERR_clear_error();
    errno = 0;
    int n = openssl().SSL_read(ssl_.get(), line + got, 1);
    if (n == 1) {
      if (line[got++] == '\n') break;
      continue;
    }
    Outcome outcome = classify(n);
    if (outcome == Outcome::progress) continue;
    if (outcome == Outcome::end) {
      status = end_;
      break;
    }
    status = wait(outcome, wait_ms);
    if (status != TlsStatus::done) break;
  }
  line[got] = '\0';
  return status;
}

int TlsConnection::ssl_read(char* data, std::size_t len) {
  openssl().ERR_clear_error();
  errno = 0;
  return openssl().SSL_read(ssl_.get(), data, len > INT_MAX ? INT_MAX : static_cast<int>(len));
}

TlsStatus TlsConnection::read_up_to(char* data, std::size_t len, std::size_t& got, int wait_ms) {
  for (;;) {
    int n = ssl_read(data, len);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return TlsStatus::done;
    }
    got = 0;
    Outcome outcome = classify(n);
    if (outcome == Outcome::progress) continue;
    if (outcome == Outcome::end) return end_;
    TlsStatus waited = wait(outcome, wait_ms);
    if (waited != TlsStatus::done) return waited;
  }
}

TlsStatus TlsConnection::write_all(const char* data, std::size_t len, int wait_ms) {
  while (len > 0) {
    int part = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    openssl().ERR_clear_error();
    errno = 0;
    int n = openssl().SSL_write(ssl_.get(), data, part);
    if (n > 0) {
      data += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    Outcome outcome = classify(n);
    if (outcome == Outcome::progress) continue;
    if (outcome == Outcome::end) return end_;
    TlsStatus waited = wait(outcome, wait_ms);
    if (waited != TlsStatus::done) return waited;
  }
  return TlsStatus::done;
}

TlsStatus TlsConnection::read_some(char* data, std::size_t len, std::size_t& got) {
  got = 0;
  wants_write_ = false;
  int n = ssl_read(data, len);
  if (n > 0) {
    got = static_cast<std::size_t>(n);
    return TlsStatus::done;
  }
  Outcome outcome = classify(n);
  if (outcome == Outcome::end) return end_;
  wants_write_ = outcome == Outcome::wait_write;
  return TlsStatus::done;
}

bool TlsConnection::has_pending() const { return openssl().SSL_pending(ssl_.get()) > 0; }

void TlsConnection::close_notify(int wait_ms) {
  if (broken_ || !openssl().SSL_is_init_finished(ssl_.get())) return;
  for (int tries = 0; tries < 2; ++tries) {
    openssl().ERR_clear_error();
    errno = 0;
    int ret = openssl().SSL_shutdown(ssl_.get());
    if (ret >= 0) return;  // sent; the peer's close_notify is not awaited
    Outcome outcome = classify(ret);
    if (outcome != Outcome::wait_write || wait(outcome, wait_ms) != TlsStatus::done) return;
  }
}

std::string TlsConnection::description() const {
  return std::string(openssl().SSL_get_version(ssl_.get())) + " " +
         openssl().SSL_CIPHER_get_name(openssl().SSL_get_current_cipher(ssl_.get()));
}
