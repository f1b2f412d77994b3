// tunwick: the upstream connector. Started as `tunwick IP [PORT]`; joins
// standard input and output to a TCP connection to an SMTP server.
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_status.h"
#include "log.h"
#include "upstream.h"

namespace {

// tunwick logs everything by default; LOGTHRESHOLD may name any number.
void override_threshold() {
  log_threshold = 7;
  unsigned threshold = 0;
  const char* value = std::getenv("LOGTHRESHOLD");
  if (value != nullptr && std::sscanf(value, "%u", &threshold) == 1) log_threshold = static_cast<int>(threshold);
}

}  // namespace

int main(int argc, char** argv) {
  log_setup("tunwick: ");
  upstream::Target target;
  upstream::AddressWord word = argc < 2 ? upstream::AddressWord::missing : upstream::read_address_word(argv[1], target);
  if (word == upstream::AddressWord::missing) {
    log_msg(2, "Specify upstream server IP as command line argument.");
    return exit_status::gave_up;
  }
  override_threshold();
  if (word == upstream::AddressWord::too_long) {
    log_msg(2, "Upstream server IP '%s' is not an IPv4 address.", argv[1]);
    return exit_status::gave_up;
  }
  target.port = upstream::read_port(argc > 2 ? argv[2] : nullptr);
  log_msg(7, "Got server address '%s' port %hu", target.address.data(), target.port);

  // A peer that has gone shows as a failed write, with its own message.
  std::signal(SIGPIPE, SIG_IGN);
  upstream::Connection server = upstream::connect_to(target);
  if (server.failure == upstream::ConnectFailure::socket) {
    log_msg(3, "Unable to create socket: %s.", strerror(errno));
    return exit_status::gave_up;
  }
  if (server.failure == upstream::ConnectFailure::connect) {
    log_msg(3, "Unable to connect socket: %s\n", strerror(errno));
    return exit_status::gave_up;
  }
  log_msg(7, "Connected successfully to %s:%hu, socket %d", target.address.data(), target.port, server.fd.get());
  upstream::prepare_client_output();
  return upstream::relay(server.fd.get());
}
