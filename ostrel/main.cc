// ostrel: the greylisting proxy. Started by tcpserver once per connection
// as `ostrel CHILD [ARGS...]`; CHILD is the SMTP server program.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "store_key.h"
#include "client_side.h"
#include "connection_limit.h"
#include "connection_slots.h"
#include "decision.h"
#include "decision_settings.h"
#include "decision_line.h"
#include "exit_status.h"
#include "greet_delay.h"
#include "log.h"
#include "sending.h"
#include "server_end.h"
#include "server_start.h"
#include "session.h"
#include "signals.h"
#include "state.h"
#include "store.h"

namespace {

constexpr unsigned process_time_limit_s = 480;

char** child_argv = nullptr;

// The greylist store, from start-up to the end of the decision. Global
// because the exit handler closes it on every way out.
std::unique_ptr<Store> store;

void atexit_cleanup() {
  block_stop_signals();
  close_server_input();  // the server sees the end of its input now
  if (store) store->close();
  release_connection_slot();
  collect_server(server_exit_wait_ms);
}

// The server program in place of ostrel: from here on its own limits
// govern, not ostrel's alarm and handler.
[[noreturn]] void run_child(int failure_level) {
  release_stop_signals();
  execv(child_argv[0], child_argv);
  log_msg(failure_level, "Unable to run %s: %s. Terminating", child_argv[0], strerror(errno));
  std::exit(exit_status::gave_up);
}

void seed_random() {
  timeval now{};
  gettimeofday(&now, nullptr);
  srandom(static_cast<unsigned>(static_cast<std::uint64_t>(now.tv_sec) + static_cast<std::uint64_t>(now.tv_usec)));
}

void read_client_address() {
  client_metainfo = ClientMetainfo{};
  client_metainfo.addr = std::getenv("TCPREMOTEIP");
  if (client_metainfo.addr == nullptr) {
    log_msg(2, "Unable to fetch remote host address. Are we running under tcpserver? Terminating.");
    std::exit(exit_status::gave_up);
  }
  if (!address_fits_statements(client_metainfo.addr)) {
    log_msg(2, "Remote host address '%s' is longer than %u characters or holds a quote. Terminating.",
            client_metainfo.addr, static_cast<unsigned>(max_addr_length));
    std::exit(exit_status::gave_up);
  }
}

// A store that fails before the dialogue starts ends the connection
// (fail-closed). DBFAILOPEN lets the client have the SMTP server program as
// if greylisting were off, but only while the store is out of reach or too
// slow: a store that answers with an error (a missing table, a refused
// permission, a bad location) is a fault of the set-up, which must not turn
// greylisting off for as long as it lasts.
enum class StoreStep { open, verified_lookup };

[[noreturn]] void store_unusable(StoreStep step, const std::string& why, bool unreachable) {
  if (std::getenv("DBFAILOPEN") != nullptr && unreachable) {
    log_msg(3, "%s: %s. DBFAILOPEN is set: running the SMTP server program without greylisting.",
            step == StoreStep::open ? "Can't open database" : "Error querying db", why.c_str());
    if (store) store->close();
    run_child(1);
  }
  if (step == StoreStep::open)
    log_msg(3, "Can't open database: %s. Use the DBFILE environment variable! Terminating.", why.c_str());
  else
    log_msg(3, "Error querying db: %s", why.c_str());
  std::exit(exit_status::gave_up);
}

void open_store() {
  const char* path = std::getenv("DBFILE");
  StoreChoice choice = store_for(path != nullptr ? path : default_db_path);
  if (!choice.store) store_unusable(StoreStep::open, choice.unsupported, false);
  store = std::move(choice.store);
  StoreOpening opened = store->open(StoreCreate::if_missing);
  switch (opened.status) {
    case StoreOpen::opened:
      return;
    case StoreOpen::refused:
      log_msg(2, "Refusing DBFILE: %s. Terminating.", opened.error.c_str());
      std::exit(exit_status::gave_up);
    case StoreOpen::failed:
      break;
  }
  store_unusable(StoreStep::open, opened.error, opened.unreachable);
}

bool is_verified_server() {
  StoreResult<VerifiedLookup> found = store->lookup_verified(client_metainfo.key);
  if (!found.ok()) store_unusable(StoreStep::verified_lookup, found.error->text(), found.error->unavailable);
  return found.value == VerifiedLookup::verified;
}

void run_greet_delay_trap() {
  const char* value = std::getenv("GREETDELAY");
  if (value == nullptr) return;
  std::uint32_t delay_ms = greet_delay_from_env(value);
  if (delay_ms != 0) check_greetdelay(delay_ms);
}

void make_pipes() {
  if (pipe(pipe_to_server) != 0 || pipe(pipe_from_server) != 0) {
    log_msg(2, "Could not create pipe: %s", strerror(errno));
    std::exit(exit_status::gave_up);
  }
}

[[noreturn]] void watch_dialogue(const DecisionSettings& settings) {
  close(pipe_to_server[0]);
  pipe_to_server[0] = -1;
  close(pipe_from_server[1]);
  pipe_from_server[1] = -1;
  prepare_for_sending();
  Envelope envelope;  // lives until the end: the decision never returns
  SessionResult result = envelope_session(envelope, client_metainfo);
  greylist_decision(result, envelope, client_metainfo, *store, settings);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    static const char usage[] = "Do specify a child to call.\n";
    (void)!write(2, usage, sizeof usage - 1);
    return exit_status::gave_up;
  }
  child_argv = argv + 1;
  log_setup("ostrel: ");
  install_stop_signals();
  alarm(process_time_limit_s);
  log_msg(7, "State: CHECK-OPERATION");
  if (std::getenv("GREYLIST") == nullptr) run_child(1);

  log_msg(7, "State: CHECK-VERIFIED-SERVER");
  if (const char* local = std::getenv("TCPLOCALHOST")) local_hostname = local;
  read_client_address();
  set_client_key();
  const DecisionSettings settings = decision_settings_from_env();
  const unsigned connection_limit = connection_limit_from_env();
  open_store();
  seed_random();
  std::atexit(atexit_cleanup);
  const bool verified = is_verified_server();
  store->tune_for_short_connections();  // the lookup has read the schema: no wait
  if (!verified) store->set_aside();    // until the decision
  if (verified) {
    log_msg(6, "Address '%s' is recognized as a verified server, updating timestamp...", client_metainfo.addr);
    store->refresh_verified(client_metainfo.key);
    decision_line::log_decision(decision_line::on_verified(client_metainfo.addr, client_metainfo.key));
    store->close();
    run_child(2);
  }

  if (connection_limit != 0) hold_connection_slot(connection_limit);
  client_tls_setup();
  run_greet_delay_trap();
  log_msg(7, "State: VERIF-NEW-PENDING");
  make_pipes();
  note_server_started(
      start_server(child_argv, {pipe_to_server[0], pipe_from_server[1], pipe_to_server[1], pipe_from_server[0]}));
  watch_dialogue(settings);
}
