// ostrel-exim: runs exim's SMTP session for the client of a tcpserver
// connection. Started as `ostrel-exim [EXIM-ARGS...]` (behind ostrel, or
// in its place); execs `exim -bs` with the client's address from the UCSPI
// variables, so that exim judges a remote client as remote even when it
// reads the dialogue from ostrel's pipes. Refuses to run an exim that would
// ignore the address because it does not trust the user running it.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "client_identity.h"
#include "exim_command.h"
#include "exim_trust.h"
#include "exit_status.h"
#include "log.h"

namespace {

// The longest wait for exim's answer about trust, as every wait of the chain.
constexpr int answer_timeout_ms = 40000;

void report_identity(client_identity::Status status, const client_identity::Variables& variables) {
  using client_identity::Status;
  switch (status) {
    case Status::ok:
      break;
    case Status::remote_missing:
      log_msg(2,
              "Unable to fetch remote host address (TCPREMOTEIP is not set). Are we running under tcpserver? "
              "Terminating.");
      break;
    case Status::remote_not_an_address:
      log_msg(2, "TCPREMOTEIP '%s' is neither an IPv4 nor an IPv6 address. Terminating.", variables.remote_ip);
      break;
    case Status::remote_port_bad:
      log_msg(2, "TCPREMOTEPORT '%s' is not a port number. Terminating.", variables.remote_port);
      break;
    case Status::local_not_an_address:
      log_msg(2, "TCPLOCALIP '%s' is neither an IPv4 nor an IPv6 address. Terminating.", variables.local_ip);
      break;
    case Status::local_port_bad:
      log_msg(2, "TCPLOCALPORT '%s' is not a port number. Terminating.", variables.local_port);
      break;
  }
}

void report_trust(const exim_trust::Check& trust, const std::string& exim, const std::string& user) {
  using exim_trust::Failure;
  switch (trust.failure) {
    case Failure::none:
      log_msg(2,
              "User '%s' is not trusted by %s, which would ignore the client's address and take every client for "
              "a local user: name the user in trusted_users (Debian: MAIN_TRUSTED_USERS) or one of its groups in "
              "trusted_groups (MAIN_TRUSTED_GROUPS) of exim's configuration. Terminating.",
              user.c_str(), exim.c_str());
      break;
    case Failure::cannot_run:
      log_msg(2, "Unable to run %s: %s. Terminating", exim.c_str(), strerror(trust.error));
      break;
    case Failure::timed_out:
      log_msg(2, "%s gave no answer within %d seconds whether it trusts user '%s'. Terminating.", exim.c_str(),
              answer_timeout_ms / 1000, user.c_str());
      break;
    case Failure::ended_badly:
      log_msg(2, "Unable to learn whether %s trusts user '%s': it ended with status %d: %s. Terminating.", exim.c_str(),
              user.c_str(), WIFEXITED(trust.status) ? WEXITSTATUS(trust.status) : 128 + WTERMSIG(trust.status),
              trust.detail.c_str());
      break;
    case Failure::unreadable:
      log_msg(2,
              "Unable to learn whether %s trusts user '%s': its answer names no exim_user, trusted_users and "
              "trusted_groups: %s. Terminating.",
              exim.c_str(), user.c_str(), trust.detail.c_str());
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  log_setup("ostrel-exim: ");
  client_identity::Variables variables = client_identity::from_environment();
  client_identity::Identity identity = client_identity::read(variables);
  if (identity.status != client_identity::Status::ok) {
    report_identity(identity.status, variables);
    return exit_status::gave_up;
  }

  std::string exim = exim_command::exim_path(std::getenv("EXIM"));
  std::span<char* const> args(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
  exim_trust::Caller caller = exim_trust::current_caller();
  exim_trust::Check trust = exim_trust::check(exim, exim_command::configuration_args(args), caller, answer_timeout_ms);
  std::string user = exim_trust::user_name(caller.uid);
  if (trust.failure != exim_trust::Failure::none || trust.verdict == exim_trust::Verdict::untrusted) {
    report_trust(trust, exim, user);
    return exit_status::gave_up;
  }
  log_msg(7, "User '%s' is trusted by %s (%s); the client is -oMa %s.", user.c_str(), exim.c_str(),
          exim_trust::describe(trust.verdict), identity.remote.c_str());

  std::vector<std::string> words = exim_command::session(exim, identity, args);
  std::vector<char*> session_argv = exim_command::argv_of(words);
  execv(session_argv[0], session_argv.data());
  log_msg(2, "Unable to run %s: %s. Terminating", exim.c_str(), strerror(errno));
  return exit_status::gave_up;
}
