// The dialogue inside TLS through the real session code: a real TLS client
// (a thread of this process, on the other end of a socket pair) sends
// STARTTLS, makes the handshake and then sends the input as its lines; the
// server's replies come from a script that the first byte chooses, with
// STARTTLS offers among them. Checked: the server program never receives a
// STARTTLS line, and the envelope fields stay terminated and free of quotes.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <strings.h>
#include <string>
#include <thread>

#include "pipe_feed.h"
#include "bdat_size.h"
#include "client_side.h"
#include "log.h"
#include "write_all.h"
#include "session.h"
#include "state.h"

namespace {

struct ProcessEnded {
  int status;
};

const char* const reply_scripts[] = {
    "250 OK\r\n",
    "250-first\r\n250-STARTTLS\r\n250 last\r\n",
    "250-first\r\n250 STARTTLS\r\n",
    "250 single\r\n",
    "451 later\r\n",
    "550 no\r\n",
    "354 go ahead\r\n",
    "250-x\r\n",
    "250-first\r\n250-CHUNKING\r\n250 last\r\n",
};

std::string server_output(uint8_t choice) {
  std::string out = "220 fuzz ESMTP\r\n";
  constexpr std::size_t scripts = sizeof reply_scripts / sizeof reply_scripts[0];
  for (unsigned i = 0; i < 200; ++i) out += reply_scripts[(choice + i * (1 + (choice & 3))) % scripts];
  return out;
}

SSL_CTX* client_context = nullptr;
int null_fd = -1;             // /dev/null, far above the descriptors a run uses
int to_server[2] = {-1, -1};  // what the session sends to the server program

// The client: STARTTLS in clear, the handshake, the input inside TLS, then
// close_notify; reads everything until the session's side is closed.
void run_client(int fd, std::string input) {
  std::string greeting;
  char c;
  while (greeting.find('\n') == std::string::npos && read(fd, &c, 1) == 1) greeting += c;
  if (write(fd, "STARTTLS\r\n", 10) != 10) return;
  std::string ready;
  while (ready.find('\n') == std::string::npos && read(fd, &c, 1) == 1) ready += c;
  SSL* ssl = SSL_new(client_context);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) == 1) {
    if (!input.empty()) SSL_write(ssl, input.data(), static_cast<int>(input.size()));
    SSL_shutdown(ssl);
    char sink[4096];
    while (SSL_read(ssl, sink, sizeof sink) > 0) {
    }
  }
  SSL_free(ssl);
  close(fd);
}

bool starts_starttls(const std::string& line) { return strncasecmp(line.c_str(), "starttls", 8) == 0; }

}  // namespace

// Ends a run instead of the process.
void terminate_process(int status) { throw ProcessEnded{status}; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_setup("ostrel: ");
  log_threshold = 7;
  signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/fuzz-tls-XXXXXX";
  if (mkdtemp(dir) == nullptr) __builtin_trap();
  std::string cert = std::string(dir) + "/cert.pem";
  std::string key = std::string(dir) + "/key.pem";
  std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 2 -noenc"
      " -subj /CN=fuzz.example -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) __builtin_trap();
  setenv("TLSCERT", cert.c_str(), 1);
  setenv("TLSKEY", key.c_str(), 1);
  client_context = SSL_CTX_new(TLS_client_method());
  int opened = open("/dev/null", O_RDWR);
  null_fd = fcntl(opened, F_DUPFD_CLOEXEC, 100);
  close(opened);
  pipe_from_server[0] = 10;
  client_metainfo.addr = "192.0.2.1";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 60000) return 0;
  Envelope envelope;  // what the session fills in, looked at after it
  // A run may close descriptor 1 (QUIT inside TLS does): the socket pair
  // must not take its place.
  dup2(null_fd, client_in);
  dup2(null_fd, client_out);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) __builtin_trap();
  dup2(pair[0], client_in);
  dup2(pair[0], client_out);
  close(pair[0]);
  if (pipe(to_server) != 0) __builtin_trap();
  fcntl(to_server[0], F_SETPIPE_SZ, 1 << 20);
  make_nonblocking(to_server[0]);
  pipe_to_server[1] = to_server[1];
  feed(pipe_from_server[0], server_output(data[0]));
  client_metainfo.validity = 0;
  client_tls_setup();
  std::thread client(run_client, pair[1], std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    // With TLS of ostrel's own, STARTTLS never ends the session.
    if (envelope_session(envelope, client_metainfo).end == SessionEnd::starttls) __builtin_trap();
  } catch (const ProcessEnded&) {
  }
  client_side_reset();
  dup2(null_fd, client_in);  // the client sees the end of the connection
  dup2(null_fd, client_out);
  client.join();

  // What the server program received: no line of it is a STARTTLS.
  close(to_server[1]);
  pipe_to_server[1] = -1;
  std::string received;
  char part[65536];
  ssize_t n;
  while ((n = read(to_server[0], part, sizeof part)) > 0) received.append(part, static_cast<std::size_t>(n));
  close(to_server[0]);
  // The chunk after a BDAT line is data, not lines.
  for (std::size_t at = 0; at < received.size();) {
    std::size_t end = received.find('\n', at);
    std::string line = received.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
    if (starts_starttls(line)) __builtin_trap();
    if (end == std::string::npos) break;
    at = end + 1;
    if (std::optional<std::uint32_t> chunk = bdat_chunk_size(line)) at += *chunk;
  }
  for (const auto* field : {&envelope.helo, &envelope.from, &envelope.to}) {
    if (std::memchr(field->data(), '\0', field->size()) == nullptr) __builtin_trap();
    if (std::strchr(field->data(), '\'') != nullptr) __builtin_trap();
  }
  return 0;
}
