// The TLS pieces against a real OpenSSL client on the other end of a socket
// pair, with a throwaway certificate made by `openssl req`.
#include "tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tls_relay.h"
#include "unique_fd.h"

namespace {

namespace fs = std::filesystem;

// A temporary directory with a certificate, its key, the two in one file, a
// key of another pair and a key that needs a passphrase.
class Certificates {
 public:
  Certificates() {
    char pattern[] = "/tmp/ostrel-tls-XXXXXX";
    dir_ = mkdtemp(pattern);
    make("key.pem", "cert.pem", "");
    make("other-key.pem", "other-cert.pem", "");
    make("locked-key.pem", "locked-cert.pem", "-passout pass:secret");
    std::ofstream both(path("both.pem"));
    both << std::ifstream(path("cert.pem")).rdbuf() << std::ifstream(path("key.pem")).rdbuf();
    std::ofstream chain(path("chain.pem"));
    chain << std::ifstream(path("cert.pem")).rdbuf() << std::ifstream(path("other-cert.pem")).rdbuf();
  }
  ~Certificates() { fs::remove_all(dir_); }
  Certificates(const Certificates&) = delete;
  Certificates& operator=(const Certificates&) = delete;

  [[nodiscard]] std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  void make(const std::string& key, const std::string& cert, const std::string& key_options) {
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 2"
        " -subj /CN=mx.test.example -keyout " +
        path(key) + " -out " + path(cert) + " " + (key_options.empty() ? "-noenc" : key_options) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
  }
  std::string dir_;
};

// A peer that has gone must show as an error, not end the test program.
const bool sigpipe_ignored = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

Certificates& certificates() {
  static Certificates made;
  return made;
}

SslCtxPtr server_context() {
  TlsCredentials loaded =
      load_tls_credentials(certificates().path("cert.pem").c_str(), certificates().path("key.pem").c_str());
  EXPECT_EQ(loaded.status, TlsLoad::loaded) << loaded.detail;
  TlsContext made = make_tls_context(loaded);
  EXPECT_EQ(made.status, TlsLoad::loaded) << made.detail;
  return std::move(made.ctx);
}

// The client: a real OpenSSL client on its end of the socket pair, run in a
// thread of its own; it checks the server's certificate.
class Client {
 public:
  explicit Client(int fd) {
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_load_verify_locations(ctx_.get(), certificates().path("cert.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd);
    SSL_set1_host(ssl_.get(), "mx.test.example");
  }
  bool connect() { return SSL_connect(ssl_.get()) == 1; }
  [[nodiscard]] int chain_length() const { return sk_X509_num(SSL_get_peer_cert_chain(ssl_.get())); }
  void write(const std::string& data) {
    ASSERT_EQ(SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  }
  std::string read_exactly(std::size_t count) {
    std::string all;
    char part[16384];
    while (all.size() < count) {
      int n = SSL_read(ssl_.get(), part, static_cast<int>(std::min(sizeof part, count - all.size())));
      if (n <= 0) break;
      all.append(part, static_cast<std::size_t>(n));
    }
    return all;
  }
  void close_notify() { SSL_shutdown(ssl_.get()); }

 private:
  SslCtxPtr ctx_;
  SslPtr ssl_;
};

struct SocketPair {
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    server.reset(fds[0]);
    client.reset(fds[1]);
  }
  UniqueFd server;
  UniqueFd client;
};

// Runs body in a thread, joined when the guard goes.
class Thread {
 public:
  explicit Thread(std::function<void()> body) : thread_(std::move(body)) {}
  ~Thread() { thread_.join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

 private:
  std::thread thread_;
};

TEST(TlsCredentials, LoadsTheCertificateWithItsKeyOrFromOneFile) {
  EXPECT_EQ(
      load_tls_credentials(certificates().path("cert.pem").c_str(), certificates().path("key.pem").c_str()).status,
      TlsLoad::loaded);
  TlsCredentials both = load_tls_credentials(certificates().path("both.pem").c_str(), nullptr);
  EXPECT_EQ(both.status, TlsLoad::loaded) << both.detail;
  EXPECT_NE(both.key, nullptr);
}

TEST(TlsCredentials, TellsWhichFileFailedAndWhy) {
  TlsCredentials no_cert = load_tls_credentials(certificates().path("absent.pem").c_str(), nullptr);
  EXPECT_EQ(no_cert.status, TlsLoad::certificate);
  EXPECT_EQ(no_cert.leaf, nullptr);
  EXPECT_NE(no_cert.detail.find("No such file"), std::string::npos) << no_cert.detail;

  TlsCredentials no_key =
      load_tls_credentials(certificates().path("cert.pem").c_str(), certificates().path("absent-key.pem").c_str());
  EXPECT_EQ(no_key.status, TlsLoad::key);
  EXPECT_NE(no_key.detail.find("No such file"), std::string::npos) << no_key.detail;

  // The certificate file alone holds no key.
  EXPECT_EQ(load_tls_credentials(certificates().path("cert.pem").c_str(), nullptr).status, TlsLoad::key);
  // A key that needs a passphrase is refused, never asked for.
  EXPECT_EQ(load_tls_credentials(certificates().path("locked-cert.pem").c_str(),
                                 certificates().path("locked-key.pem").c_str())
                .status,
            TlsLoad::key);
  // A key is not a certificate.
  EXPECT_EQ(load_tls_credentials(certificates().path("key.pem").c_str(), nullptr).status, TlsLoad::certificate);

  TlsCredentials mismatch =
      load_tls_credentials(certificates().path("cert.pem").c_str(), certificates().path("other-key.pem").c_str());
  EXPECT_EQ(mismatch.status, TlsLoad::mismatch);
  EXPECT_FALSE(mismatch.detail.empty());
  EXPECT_EQ(ERR_peek_error(), 0u);  // nothing left behind for the next caller
}

TEST(TlsConnection, ReadsOneLineAtATimeFromARecordOfSeveral) {
  SslCtxPtr ctx = server_context();
  SocketPair pair;
  TlsConnection tls(ctx.get(), pair.server.get(), pair.server.get());
  ASSERT_TRUE(tls.valid());
  std::string long_line(1500, 'x');
  Thread client_thread([&] {
    Client client(pair.client.get());
    ASSERT_TRUE(client.connect());
    client.write("EHLO client.example\r\nMAIL FROM:<a@b.example>\r\nRCPT TO:<c@d.example>\r\n");
    client.write(long_line + "\r\n");
    client.write("QUIT\r\n");
    EXPECT_EQ(client.read_exactly(8), "221 bye\n");
    client.close_notify();
  });
  ASSERT_EQ(tls.accept(5000), TlsStatus::done) << tls.error_text();
  EXPECT_EQ(tls.description().rfind("TLSv1.3 ", 0), 0u) << tls.description();

  char line[1024];
  std::size_t got = 0;
  ASSERT_EQ(tls.read_line(line, sizeof line, got, 5000), TlsStatus::done);
  EXPECT_EQ(std::string(line, got), "EHLO client.example\r\n");
  EXPECT_TRUE(tls.has_pending());  // the rest of the record is inside the library, not on the socket
  ASSERT_EQ(tls.read_line(line, sizeof line, got, 0), TlsStatus::done);  // no wait needed
  EXPECT_EQ(std::string(line, got), "MAIL FROM:<a@b.example>\r\n");
  ASSERT_EQ(tls.read_line(line, sizeof line, got, 0), TlsStatus::done);
  EXPECT_EQ(std::string(line, got), "RCPT TO:<c@d.example>\r\n");
  EXPECT_FALSE(tls.has_pending());

  ASSERT_EQ(tls.read_line(line, sizeof line, got, 5000), TlsStatus::done);  // cut at 1023 bytes
  EXPECT_EQ(got, 1023u);
  EXPECT_EQ(std::string(line, got), long_line.substr(0, 1023));
  ASSERT_EQ(tls.read_line(line, sizeof line, got, 5000), TlsStatus::done);
  EXPECT_EQ(std::string(line, got), long_line.substr(1023) + "\r\n");
  ASSERT_EQ(tls.read_line(line, sizeof line, got, 5000), TlsStatus::done);
  EXPECT_EQ(std::string(line, got), "QUIT\r\n");
  ASSERT_EQ(tls.write_all("221 bye\n", 8, 5000), TlsStatus::done);
  EXPECT_EQ(tls.read_line(line, sizeof line, got, 5000), TlsStatus::closed);
  EXPECT_EQ(got, 0u);
}

TEST(TlsConnection, ServesEveryCertificateOfTheFile) {
  TlsCredentials loaded =
      load_tls_credentials(certificates().path("chain.pem").c_str(), certificates().path("key.pem").c_str());
  ASSERT_EQ(loaded.status, TlsLoad::loaded) << loaded.detail;
  EXPECT_EQ(sk_X509_num(loaded.chain.get()), 1);
  TlsContext made = make_tls_context(loaded);
  ASSERT_EQ(made.status, TlsLoad::loaded) << made.detail;
  SocketPair pair;
  TlsConnection tls(made.ctx.get(), pair.server.get(), pair.server.get());
  Client client(pair.client.get());
  int served = 0;
  {
    Thread client_thread([&] {
      ASSERT_TRUE(client.connect());
      served = client.chain_length();
    });
    EXPECT_EQ(tls.accept(5000), TlsStatus::done) << tls.error_text();
  }
  EXPECT_EQ(served, 2);
}

TEST(TlsConnection, TheWholeHandshakeIsBounded) {
  SslCtxPtr ctx = server_context();
  SocketPair pair;
  TlsConnection tls(ctx.get(), pair.server.get(), pair.server.get());
  // A client that trickles its hello, a byte at a time, is timed out as a whole.
  Thread trickle([&] {
    const char hello_start[] = "\x16\x03\x01\x01\x00\x01\x00\x00\xfc\x03\x03";
    for (std::size_t i = 0; i + 1 < sizeof hello_start; ++i) {
      if (write(pair.client.get(), hello_start + i, 1) != 1) return;
      usleep(60000);
    }
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(tls.accept(300), TlsStatus::timed_out);
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST(TlsRelay, SilenceOnBothSidesTimesOut) {
  SslCtxPtr ctx = server_context();
  SocketPair pair;
  int to_server[2];
  int from_server[2];
  ASSERT_EQ(pipe(to_server), 0);
  ASSERT_EQ(pipe(from_server), 0);
  UniqueFd a(to_server[0]), b(from_server[1]), c(from_server[0]);
  int relay_writes = to_server[1];
  Client client(pair.client.get());
  Thread client_thread([&] { ASSERT_TRUE(client.connect()); });
  TlsConnection tls(ctx.get(), pair.server.get(), pair.server.get());
  ASSERT_EQ(tls.accept(5000), TlsStatus::done);
  EXPECT_EQ(relay_tls(tls, c.get(), relay_writes, 150).end, TlsRelayEnd::timed_out);
  close(relay_writes);
}

}  // namespace
