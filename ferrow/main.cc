// ferrow: the DNS blacklist flagger. Started as `ferrow CHILD [ARGS...]`;
// looks TCPREMOTEIP up in the zones of DNSBL and sets the flag variable for
// CHILD when a zone lists the client.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dnsbl.h"
#include "exit_status.h"
#include "log.h"

namespace {

[[noreturn]] void run_child(char** child_argv) {
  execv(child_argv[0], child_argv);
  log_msg(2, "Unable to run %s: %s.\n", child_argv[0], strerror(errno));
  std::exit(exit_status::gave_up);
}

void set_flag() {
  const char* name = std::getenv("DNSBL_VARNAME");
  setenv(name != nullptr ? name : "BLACKLISTED", "", 1);  // a bad name leaves the client unflagged
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    static const char usage[] = "Specify the child to run as argument.\n";
    (void)!write(2, usage, sizeof usage - 1);
    return exit_status::flagger_setup;
  }
  char** child_argv = argv + 1;
  log_setup("ferrow: ");
  const char* zones = std::getenv("DNSBL");
  if (zones == nullptr) {
    execvp(child_argv[0], child_argv);
    log_msg(2, "Unable to exec: %s\n", strerror(errno));
    return exit_status::flagger_setup;
  }
  const char* client_addr = std::getenv("TCPREMOTEIP");
  if (client_addr == nullptr) {
    log_msg(2, "Unable to fetch remote client address. Terminating.\n");
    return exit_status::flagger_setup;
  }
  std::array<char, dnsbl::reversed_size> reversed{};
  if (!dnsbl::reverse_address(client_addr, reversed)) {
    log_msg(6, "Address '%s' is neither an IPv4 nor an IPv6 address, no DNS blacklist lookups.\n", client_addr);
    run_child(child_argv);
  }
  dnsbl::Lookup lookup(client_addr, reversed.data());
  if (!lookup.open()) {
    log_msg(3, "Unable to open dns channel.\n");
    return exit_status::flagger_setup;
  }
  if (lookup.run(zones) == dnsbl::Outcome::over_limit) {
    log_msg(2, "Warning! Number of RBLs configured exceeds hardcoded limit (%u)",
            static_cast<unsigned>(dnsbl::max_zones));
    run_child(child_argv);
  }
  lookup.close();
  if (lookup.listed()) set_flag();
  run_child(child_argv);
}
