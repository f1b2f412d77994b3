// TLS on the client's connection (OpenSSL): the server context built from
// the credentials (tls_credentials.h), and one server-side connection on
// the client's descriptors with a handshake, a line reader and a bounded
// writer.
// Nothing here logs or ends the process: every step returns what happened,
// and the caller decides.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "openssl_api.h"
#include "tls_credentials.h"
#include "write_all.h"

// The owners free through the loaded library, which made every object.
struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const noexcept { openssl().SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const noexcept { openssl().SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

struct TlsContext {
  SslCtxPtr ctx;  // set only when status is loaded
  TlsLoad status;
  std::string detail;
};

// Builds the server context from loaded credentials: TLS 1.2 and 1.3 with
// the library's default ciphers; no renegotiation, no session tickets or
// cache (every connection is a process of its own, so nothing could be
// resumed). Fails only when the library does (status library).
[[nodiscard]] TlsContext make_tls_context(const TlsCredentials& credentials);

// How one step on the connection ended.
enum class TlsStatus {
  done,       // the handshake finished, or the data moved
  timed_out,  // a wait for the peer ran out
  closed,     // the peer ended the connection (close_notify, end of input, reset)
  failed,     // a protocol or system error; error_text() tells which
};

// One server-side TLS connection on the descriptors rfd and wfd (under
// tcpserver both are the client's socket). The descriptors are not owned:
// they stay open when the connection is destroyed, and are left
// non-blocking. Every wait for the peer goes through wait (ostrel's own
// also ends the process on a signal).
class TlsConnection {
 public:
  // Fails (valid() false) only when the library cannot make the connection.
  TlsConnection(SSL_CTX* ctx, int rfd, int wfd, PollFunction wait = ::poll);

  [[nodiscard]] bool valid() const { return ssl_ != nullptr; }

  // The server side of the handshake; the whole of it may take at most
  // limit_ms milliseconds.
  [[nodiscard]] TlsStatus accept(int limit_ms);

  // Reads one line (up to and including "\n", at most len - 1 bytes) into
  // line with a NUL after it; got is the number of bytes stored. Bytes
  // after the line stay inside the library for the next read. Every wait
  // lasts at most wait_ms. A line cut short by the end of the connection is
  // reported as closed.
  [[nodiscard]] TlsStatus read_line(char* line, std::size_t len, std::size_t& got, int wait_ms);

  // Reads at least one and at most len bytes into data (what the library
  // holds or what arrives next); got is the number read. Every wait lasts
  // at most wait_ms.
  [[nodiscard]] TlsStatus read_up_to(char* data, std::size_t len, std::size_t& got, int wait_ms);

  // Writes all len bytes, waiting at most wait_ms each time there is no room.
  [[nodiscard]] TlsStatus write_all(const char* data, std::size_t len, int wait_ms);

  // Reads what is there, up to len bytes, without waiting. done with got 0
  // means that nothing was ready; wants_write() then tells whether the
  // library waits for room to write rather than for input.
  [[nodiscard]] TlsStatus read_some(char* data, std::size_t len, std::size_t& got);

  // Data already inside the library, which a poll on rfd cannot see.
  [[nodiscard]] bool has_pending() const;
  [[nodiscard]] bool wants_write() const { return wants_write_; }

  // Sends close_notify (waiting at most wait_ms for room), without waiting
  // for the peer's; nothing after a failed handshake or a broken connection.
  void close_notify(int wait_ms);

  // The negotiated protocol and cipher, as "TLSv1.3 TLS_AES_256_GCM_SHA384".
  [[nodiscard]] std::string description() const;

  // The reason of the last failed step.
  [[nodiscard]] const std::string& error_text() const { return error_; }

  [[nodiscard]] int read_fd() const { return rfd_; }
  [[nodiscard]] int write_fd() const { return wfd_; }

 private:
  enum class Outcome { progress, wait_read, wait_write, end };
  Outcome classify(int ret);
  // One SSL_read of at most len bytes (capped at INT_MAX), on a clean error
  // queue and errno, so that classify() reads only what this call left.
  int ssl_read(char* data, std::size_t len);
  [[nodiscard]] TlsStatus wait(Outcome outcome, int wait_ms);

  SslPtr ssl_;
  PollFunction poll_;
  int rfd_;
  int wfd_;
  bool wants_write_ = false;
  bool broken_ = false;                // a fatal error: no close_notify may follow
  TlsStatus end_ = TlsStatus::failed;  // set by classify for Outcome::end
  std::string error_;
};
