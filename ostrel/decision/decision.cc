#include "decision.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "client_side.h"
#include "decision_settings.h"
#include "decision_line.h"
#include "exit_status.h"
#include "log.h"
#include "sending.h"
#include "server_end.h"
#include "session.h"
#include "state.h"
#include "store.h"
#include "rules.h"

namespace {

constexpr long pending_cleanup_odds = 800;
constexpr long verified_cleanup_odds = 15;

// After a temporary failure the client gets this long to read the reply and
// end its side, while what it still sends (pipelined commands, a BDAT
// chunk) is read and discarded. The reply and the end of ostrel's side
// leave together, so a client needs one round trip to see them and
// usually ends its own side with the next; three seconds cover slow round
// trips and a retransmission (TCP's first time-out is one second), and
// hold a refused connection's slot no longer than that.
constexpr int refusal_linger_ms = 3000;

constexpr char reply_storage[] = "452 insufficient system storage\r\n";
constexpr char reply_qqt[] = "451 qqt failure (#4.3.0)\r\n";

struct Requirement {
  std::uint32_t required;
  bool suspicious;
};

// A client that a rule matched needs that rule's number of re-attempts and
// is suspicious; any other needs one.
Requirement required_attempts(ClientMetainfo& client, const Envelope& envelope) {
  Threshold threshold = host_delivattempts_threshold(client, envelope);
  if (threshold.source == Threshold::Source::rule) return {threshold.number, true};
  return {1, false};
}

// A statement that failed ends the connection, with one line.
[[noreturn]] void statement_failed(const StoreError& error) {
  if (error.kind == StoreError::Kind::too_long)
    log_msg(2, "Buffer too small to handle request near line %u: %d bytes needed, %u available. Terminating",
            error.site, error.needed, static_cast<unsigned>(StatementText::capacity));
  else
    log_msg(3, "Query failed: '%s' -- '%s'", error.statement.c_str(), error.has_message ? error.message.c_str() : "");
  terminate_process(exit_status::gave_up);
}

void must_succeed(const StoreResult<>& result) {
  if (!result.ok()) statement_failed(*result.error);
}

PendingRow look_up(Store& store, const Triple& triple) {
  StoreResult<PendingRow> found = store.lookup_pending(triple);
  if (found.ok()) return found.value;
  if (found.error->kind == StoreError::Kind::too_long) statement_failed(*found.error);
  log_msg(3, "Error querying db: %s", found.error->text().c_str());
  terminate_process(exit_status::gave_up);
}

// The pending row becomes the facts the suspicion rules read; a triple
// without a row leaves them 0 and not established.
void record_lookup(ClientMetainfo& client, const PendingRow& row) {
  if (!row.found) return;
  client.numattempts = row.attempts;
  client.attemptsintrv = row.interval;
  client.validity |= VALID_NUMATTEMPTS | VALID_ATTEMPTSINTRV;
}

// The decision's one line, once its writes are done; wait for a retry that
// came too early.
void log_outcome(const ClientMetainfo& client, decision_line::Outcome outcome, const Triple& triple,
                 std::uint32_t required, std::optional<std::uint32_t> wait = std::nullopt) {
  decision_line::Decision decision =
      decision_line::on_envelope(outcome, client.addr, triple.client, triple.sender, triple.recipient,
                                 client.numattempts, required, client.attemptsintrv);
  decision.wait = wait;
  decision_line::log_decision(decision);
}

// The seconds a retry of a recorded triple still has to wait before the
// minimum delay has passed since its first attempt; none when it may be
// decided. A rule requiring no attempt lets the client through at once.
std::optional<std::uint32_t> early_retry_wait(const DecisionSettings& settings, const PendingRow& row,
                                              std::uint32_t required) {
  if (!settings.min_delay_s || !row.found || required == 0 || row.interval >= *settings.min_delay_s)
    return std::nullopt;
  return *settings.min_delay_s - row.interval;
}

// The cleanups a decision drew. They run once the decision's own writes are
// done, one batch each, and a failed one is logged and costs the client
// nothing.
struct Cleanups {
  bool pending = false;
  bool verified = false;
};

void run_cleanup(const StoreResult<long>& cleanup) {
  if (const std::optional<StoreError>& error = cleanup.error)
    log_msg(3, "Query failed: '%s' -- '%s'", error->statement.c_str(),
            error->has_message ? error->message.c_str() : "");
}

void run_cleanups(Store& store, const Cleanups& due, const CleanupAges& ages) {
  if (due.verified) run_cleanup(store.cleanup_verified(Store::CleanupRun::one_batch, ages.verified_hours));
  if (due.pending) run_cleanup(store.cleanup_pending(Store::CleanupRun::one_batch, ages.pending_hours));
}

// The store was set aside while the dialogue ran. Not reaching it now ends
// the connection without a reply, as a failed lookup does, with DBFAILOPEN
// too: the dialogue has started, and the client tries again later.
void resume_store(Store& store) {
  StoreOpening resumed = store.resume();
  if (resumed.status == StoreOpen::opened) return;
  log_msg(3, "Error querying db: %s", resumed.error.c_str());
  terminate_process(exit_status::gave_up);
}

// DATA, AUTH and STARTTLS: the server's reply was passed on, the client's
// turn; for an expression that did not compile nobody has spoken yet.
[[noreturn]] void hand_over_untouched(Store& store) {
  store.close();
  client_relay(false);
}

// On a pass the held line goes to the server; otherwise the server's reply
// to RCPT TO, held back until now, goes to the client, whatever its length.
// With no recorded attempt (a rule requiring 0) there is no row to delete.
[[noreturn]] void pass(Store& store, const DecisionSettings& settings, const ClientMetainfo& client,
                       const Triple& triple, Requirement requirement, const HeldLine* held, Cleanups due) {
  bool suspicious = requirement.suspicious;
  bool recorded = client.numattempts != 0;
  if (suspicious) {
    log_msg(7, "State: PENDING-SUSPICIOUS-PASSED");
    if (recorded) must_succeed(store.delete_triple(triple));
  } else {
    log_msg(7, "State: PENDING-VERIFIED");
    must_succeed(store.promote_client(triple.client));
    if (random() % verified_cleanup_odds == 0) due.verified = true;
    if (recorded) must_succeed(store.purge_client(triple.client));
  }
  must_succeed(store.release_triple());
  using decision_line::Outcome;
  log_outcome(client,
              !suspicious                 ? Outcome::promoted
              : requirement.required == 0 ? Outcome::rule_passed
                                          : Outcome::passed,
              triple, requirement.required);
  run_cleanups(store, due, settings.ages);  // before the reply: the relay follows it
  store.close();
  // The server's reply to RCPT TO, held back until now, whatever its length;
  // or the DATA or BDAT line held back from the server.
  if (held != nullptr)
    send_bounded(pipe_to_server[1], held->text.data(), held->len);
  else
    client_send(srvresp.data(), srvresp_len);
  client_relay(held != nullptr);  // the server owes its reply to the held line
}

// Cuts the server off, answers the client with a temporary failure (the
// admin's reply, else one of two at random) and closes the client's output.
void refuse_temporarily(const DecisionSettings& settings) {
  close_server_input();
  const char* reply = settings.reply ? settings.reply->c_str() : random() % 2 == 1 ? reply_storage : reply_qqt;
  std::size_t len = std::strlen(reply);
  std::memcpy(buf.data(), reply, len + 1);
  client_send(buf.data(), len);
  client_close_output();
}

// Once the attempt is recorded (a client that retries as soon as it sees
// the end must find it), the client sees the end; the connection closes
// once the client has stopped sending or the linger has run out: closed
// with the client's bytes unread, it would be reset.
[[noreturn]] void end_after_refusal(Store& store) {
  store.close();
  client_linger(refusal_linger_ms);
  terminate_process(exit_status::orderly);
}

[[noreturn]] void fail(Store& store, const DecisionSettings& settings, const ClientMetainfo& client,
                       const Triple& triple, std::uint32_t required, const Cleanups& due) {
  refuse_temporarily(settings);
  if (client.numattempts != 0) {
    log_msg(7, "State: UPDATE-ENTRY");
    must_succeed(store.record_repeated_attempt(triple));
  } else {
    log_msg(7, "State: NEW-ENTRY");
    must_succeed(store.record_new_attempt(triple));
  }
  must_succeed(store.release_triple());
  log_outcome(client, decision_line::Outcome::greylisted, triple, required);
  run_cleanups(store, due, settings.ages);
  end_after_refusal(store);
}

// A retry before the minimum delay: refused again, its time recorded as the
// latest attempt's, its attempts left as they were.
[[noreturn]] void refuse_early_retry(Store& store, const DecisionSettings& settings, const ClientMetainfo& client,
                                     const Triple& triple, std::uint32_t required, std::uint32_t wait,
                                     const Cleanups& due) {
  log_msg(6,
          "Client '%s' retried %u seconds after its first attempt, before the minimum delay of %u; %u seconds "
          "still to wait.",
          client.addr, client.attemptsintrv, *settings.min_delay_s, wait);
  refuse_temporarily(settings);
  log_msg(7, "State: EARLY-RETRY");
  must_succeed(store.record_early_retry(triple));
  must_succeed(store.release_triple());
  log_outcome(client, decision_line::Outcome::greylisted, triple, required, wait);
  run_cleanups(store, due, settings.ages);
  end_after_refusal(store);
}

}  // namespace

void greylist_decision(const SessionResult& result, const Envelope& envelope, ClientMetainfo& client, Store& store,
                       const DecisionSettings& settings) {
  if (!result.decide) hand_over_untouched(store);

  // A recipient of "<>" after no sender or the null sender names nobody:
  // such an envelope is refused for now and never recorded or promoted.
  // Held DATA or BDAT follows recipients that the server accepted, so its
  // empty recipient is decided like any other.
  if (result.end == SessionEnd::recipient && envelope.from[0] == '\0' && envelope.to[0] == '\0') {
    log_msg(5, "Client '%s' named neither sender nor recipient, refusing it temporarily.", client.addr);
    refuse_temporarily(settings);
    end_after_refusal(store);
  }
  log_msg(6, "Envelope (helo,from,to): (%s,%s,%s)", envelope.helo.data(), envelope.from.data(), envelope.to.data());
  Triple triple{client.key, envelope.from.data(), envelope.to.data()};
  Cleanups due;
  due.pending = random() % pending_cleanup_odds == 0;
  resume_store(store);
  store.hold_triple(triple);  // until the attempt is recorded
  const PendingRow row = look_up(store, triple);
  record_lookup(client, row);
  log_msg(6, "Metainfo ready: addr(%s) greet(%d) attemptsnum(%u) attemptsintrv(%u) numpendingdelivs(%u) cmderrs(%u)",
          client.addr, static_cast<int>(client.greetdelay_trapped), client.numattempts, client.attemptsintrv,
          client.numpendingdelivs, client.cmderrs);
  Requirement requirement = required_attempts(client, envelope);
  log_msg(6, "%shost '%s' requires %u re-attempts, %u have been done.", requirement.suspicious ? "suspicious " : "",
          client.addr, requirement.required, client.numattempts);
  if (std::optional<std::uint32_t> wait = early_retry_wait(settings, row, requirement.required))
    refuse_early_retry(store, settings, client, triple, requirement.required, *wait, due);
  if (client.numattempts >= requirement.required)
    pass(store, settings, client, triple, requirement, result.end == SessionEnd::held ? &result.held : nullptr, due);
  fail(store, settings, client, triple, requirement.required, due);
}
