#include "session.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "bdat_size.h"
#include "client_side.h"
#include "compiled_regex.h"
#include "ehlo_reply.h"
#include "exit_status.h"
#include "line_reader.h"
#include "log.h"
#include "sending.h"
#include "state.h"

namespace {

constexpr std::size_t line_size = held_line_size;

enum class Address { found, null_sender, missing };

void send(int fd, const char* data, std::size_t len) { send_bounded(fd, data, len); }

constexpr char reply_tls_active[] = "503 5.5.1 TLS already active\r\n";
constexpr char reply_tls_syntax[] = "501 5.5.4 Syntax error (no parameters allowed)\r\n";
constexpr char reply_no_chunking[] = "503 5.5.1 CHUNKING was not offered\r\n";
constexpr char reply_bdat_syntax[] = "501 5.5.4 Syntax error in BDAT chunk size\r\n";
constexpr char rset_line[] = "RSET\r\n";

// A chunk goes from the client to the server in parts of at most this size.
constexpr std::size_t chunk_part_size = 16384;

// "STARTTLS" alone, in any case, with nothing after it but white space.
bool bare_starttls(const char* line) {
  if (strncasecmp(line, "starttls", 8) != 0) return false;
  for (const char* p = line + 8; *p != '\0'; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
  return true;
}

bool is_error_reply() { return srvresp[0] == '4' || srvresp[0] == '5'; }

// A server's challenge in an AUTH exchange: the exchange goes on.
bool is_auth_challenge() { return std::strncmp(srvresp.data(), "334", 3) == 0; }

// How the dialogue goes on after a step of a command.
enum class Turn {
  send,       // the line goes to the server (only before it was sent)
  next_line,  // the line has its answer: the next client line is read
  end,        // the session is over, its result set
};

class Session;

constexpr std::size_t command_count = 14;

// What the session knows of an SMTP command. A client line is the first
// command whose expression it matches (tried in the table's order; each
// expression is anchored on a word of its own, so at most one matches); a
// line that matches none is passed on and logged as unsupported. What the
// session records, and when it ends, is the command's: before_sending runs
// before the line goes to the server (it may answer the line itself, or end
// the session), on_accepted once the server has accepted the line. Flags
// tell, by the line's first word alone (whatever follows it), what a
// command does to the server's state.
struct Command {
  const char* name;     // as the log lines name it
  const char* word;     // the command's word, in any case
  const char* pattern;  // the expression (extended, any case); null where the word alone names it
  unsigned compiled;    // where the expression comes in the order of compilation
  unsigned flags;
  Turn (Session::*before_sending)();
  Turn (Session::*on_accepted)();
};

enum : unsigned {
  greets = 1,                 // a HELO or EHLO: the server forgets what it offered
  leaves_no_transaction = 2,  // accepted, it begins no mail transaction
  ends_transaction = 4,       // accepted, it ends one
  carries_credentials = 8,    // the line and the exchange after it are not logged
};

// The expression that finds an address in a MAIL FROM or RCPT TO line; it
// is compiled among the commands' expressions, at this place.
constexpr const char* address_pattern = "([-&*+./0-9=?a-zA-Z^_{}~]+@([-a-zA-Z0-9_]+\\.)*[a-zA-Z0-9]+)";
constexpr const char* address_name = "email";
constexpr unsigned address_compiled = 4;

class Session {
 public:
  Session(Envelope& envelope, ClientMetainfo& client) : envelope_(envelope), client_(client) {}

  [[nodiscard]] bool compile();
  void greet();
  SessionResult dialogue();

  // The commands' steps (the table below names them).
  Turn helo();
  Turn ehlo();
  Turn mail_from();
  Turn rcpt_to();
  Turn hold_unless_named();
  Turn data();
  Turn authenticate();
  Turn take_starttls();
  Turn starttls();
  Turn quit();
  Turn rset();
  Turn check_bdat();
  Turn unsupported();

 private:
  void send_whole_line();
  bool exchange_credentials();
  std::optional<std::uint32_t> readable_bdat();
  void pass_chunk(std::uint32_t size);
  Turn hold();
  void read_server_line();
  void note_line_start();
  [[nodiscard]] bool reply_goes_on() const { return inside_line_ || continued_line_; }
  void pass_rest_of_reply();
  bool takes_starttls_itself();
  bool server_forgets_transaction();
  void pass_ehlo_reply_on();
  void note_error_reply();
  Turn pass_reply_on();
  [[nodiscard]] std::size_t classify() const;
  [[nodiscard]] const Command* by_word() const;
  void note_transaction(const Command* word);
  Turn finish(SessionEnd end, bool send_reply);
  void record_helo();
  Address extract_address(std::array<char, envelope_field_size>& field);
  void store_capture(std::array<char, envelope_field_size>& field, const regmatch_t& group);
  [[noreturn]] void answer_quit();

  std::array<CompiledRegex, command_count> re_;  // the expression of each command that has one
  CompiledRegex address_;
  std::size_t command_ = 0;  // the row of the line read last
  SessionResult result_;
  std::array<char, line_size> line_{};
  std::size_t line_len_ = 0;
  std::optional<std::uint32_t> chunk_;  // the chunk size of the BDAT line read last
  // A RCPT TO without an extractable address was accepted since the last
  // MAIL FROM, RSET, HELO or EHLO.
  bool unnamed_recipient_accepted_ = false;
  // The server accepted a line that may have begun a transaction (any line
  // but a greeting, NOOP, HELP, VRFY or EXPN) since it last accepted RSET.
  bool server_transaction_ = false;
  // Where the server's reply stands: inside a line longer than the buffer,
  // and whether the line read last is a continuation line.
  bool inside_line_ = false;
  bool continued_line_ = false;
  bool starts_line_ = true;  // the piece read last begins a line
  // The server's reply to the latest EHLO offered CHUNKING, and no HELO or
  // EHLO line has been sent since.
  bool chunking_offered_ = false;
  Envelope& envelope_;      // what the session fills in
  ClientMetainfo& client_;  // its cmderrs fact
  const int server_in_ = pipe_to_server[1];
  const int server_out_ = pipe_from_server[0];
};

// In the order in which lines are tried.
constexpr std::array<Command, command_count> commands = {{
    {"HELO", "helo", "^helo[[:space:]]+([^'[:space:]]+)[[:space:]]*$", 0, greets | leaves_no_transaction, nullptr,
     &Session::helo},
    {"EHLO", "ehlo", "^ehlo[[:space:]]+([^'[:space:]]+)[[:space:]]*$", 1, greets | leaves_no_transaction, nullptr,
     &Session::ehlo},
    {"MAIL FROM", "mail", "^mail[[:space:]]+from:", 2, 0, nullptr, &Session::mail_from},
    {"RCPT TO", "rcpt", "^rcpt[[:space:]]+to:", 3, 0, nullptr, &Session::rcpt_to},
    {"DATA", "data", "^data", 5, 0, &Session::hold_unless_named, &Session::data},
    {"AUTH", "auth", "^auth ", 7, carries_credentials, &Session::authenticate, nullptr},  // ends before
    {"STARTTLS", "starttls", "^starttls", 8, 0, &Session::take_starttls, &Session::starttls},
    {"QUIT", "quit", "^quit", 9, 0, nullptr, &Session::quit},
    {"RSET", "rset", "^rset", 6, ends_transaction, nullptr, &Session::rset},
    {"BDAT", "bdat", "^bdat", 10, 0, &Session::check_bdat, &Session::unsupported},
    {"NOOP", "noop", nullptr, 0, leaves_no_transaction, nullptr, &Session::unsupported},
    {"HELP", "help", nullptr, 0, leaves_no_transaction, nullptr, &Session::unsupported},
    {"VRFY", "vrfy", nullptr, 0, leaves_no_transaction, nullptr, &Session::unsupported},
    {"EXPN", "expn", nullptr, 0, leaves_no_transaction, nullptr, &Session::unsupported},
}};

constexpr std::size_t unclassified = commands.size();

// The expressions in the order of compilation, which their failure lines
// show: each a row of the table, or the address expression (unclassified).
constexpr auto compile_order = [] {
  std::array<std::size_t, 11> order{};
  order[address_compiled] = unclassified;
  for (std::size_t row = 0; row < commands.size(); ++row)
    if (commands[row].pattern != nullptr) order[commands[row].compiled] = row;
  return order;
}();
static_assert(
    [] {
      unsigned places = 1u << address_compiled;
      std::size_t expressions = 1;
      for (const Command& command : commands) {
        if (command.pattern == nullptr) continue;
        places |= 1u << command.compiled;
        ++expressions;
      }
      return expressions == compile_order.size() && places == (1u << compile_order.size()) - 1;
    }(),
    "every expression has a place of its own in the order of compilation");

bool Session::compile() {
  for (std::size_t row : compile_order) {
    bool ok = row == unclassified ? address_.compile(address_pattern, REG_EXTENDED | REG_ICASE)
                                  : re_[row].compile(commands[row].pattern, REG_EXTENDED | REG_ICASE);
    if (!ok) {
      log_msg(2, "Unable to compile %s regular expression", row == unclassified ? address_name : commands[row].name);
      return false;
    }
  }
  return true;
}

void Session::greet() {
  client_.cmderrs = CMDERRS_NONE;
  client_.validity |= VALID_CMDERRS;
  log_msg(7, "Expecting server greeting...");
  srvresp_len = get_line(server_out_, srvresp.data(), srvresp.size());
  note_line_start();
  client_send(srvresp.data(), srvresp_len);
  log_msg(7, "Got message from server: '%s'", srvresp.data());
  bool refused = is_error_reply();
  pass_rest_of_reply();
  if (refused) {
    log_msg(5, "\"Service unavailable\" from the upstream server (closing connection): '%s'.", srvresp.data());
    terminate_process(exit_status::orderly);
  }
}

// One client line at a time: its command's step before it is sent, the
// line to the server, the server's reply, and the command's step once the
// server accepted the line.
SessionResult Session::dialogue() {
  for (;;) {
    line_len_ = client_get_line(line_.data(), line_.size());
    command_ = classify();
    const Command* command = command_ == unclassified ? nullptr : &commands[command_];
    if (command == nullptr || (command->flags & carries_credentials) == 0)
      log_msg(7, "Got message from client: '%s'", line_.data());
    chunk_.reset();
    Turn before =
        command != nullptr && command->before_sending != nullptr ? (this->*command->before_sending)() : Turn::send;
    if (before == Turn::end) return result_;
    if (before == Turn::next_line) continue;
    const Command* word = by_word();
    // Whatever the server may make of a greeting, it may no longer offer
    // CHUNKING; only the reply to an accepted EHLO tells that it does.
    if (word != nullptr && (word->flags & greets) != 0) chunking_offered_ = false;
    send(server_in_, line_.data(), line_len_);
    if (chunk_) pass_chunk(*chunk_);
    read_server_line();
    if (is_error_reply()) {
      note_error_reply();
      continue;
    }
    note_transaction(word);
    Turn (Session::*accepted)() =
        command != nullptr && command->on_accepted != nullptr ? command->on_accepted : &Session::unsupported;
    if ((this->*accepted)() == Turn::end) return result_;
  }
}

// The line is classified only up to a NUL byte it may hold.
std::size_t Session::classify() const {
  for (std::size_t row = 0; row < commands.size(); ++row)
    if (commands[row].pattern != nullptr && re_[row].matches(line_.data())) return row;
  return unclassified;
}

// The command whose word begins the line, whatever follows the word.
const Command* Session::by_word() const {
  for (const Command& command : commands)
    if (strncasecmp(line_.data(), command.word, std::strlen(command.word)) == 0) return &command;
  return nullptr;
}

void Session::note_transaction(const Command* word) {
  unsigned flags = word != nullptr ? word->flags : 0;
  if ((flags & ends_transaction) != 0)
    server_transaction_ = false;
  else if ((flags & leaves_no_transaction) == 0)
    server_transaction_ = true;
}

Turn Session::helo() {
  unnamed_recipient_accepted_ = false;
  record_helo();
  return pass_reply_on();
}

Turn Session::ehlo() {
  unnamed_recipient_accepted_ = false;
  record_helo();
  pass_ehlo_reply_on();
  return Turn::next_line;
}

Turn Session::mail_from() {
  unnamed_recipient_accepted_ = false;
  if (extract_address(envelope_.from) == Address::missing)
    log_msg(5, "Syntax error in MAIL FROM command, cannot extract email from '%s'.", line_.data());
  else
    log_msg(7, "Got MAIL FROM command '%s'", envelope_.from.data());
  return pass_reply_on();
}

Turn Session::rcpt_to() {
  if (extract_address(envelope_.to) == Address::missing) {
    log_msg(5, "Syntax error in RCPT TO command, cannot extract email from '%s'.", line_.data());
    unnamed_recipient_accepted_ = true;
    return pass_reply_on();
  }
  log_msg(7, "Got RCPT TO command '%s'", envelope_.to.data());
  return finish(SessionEnd::recipient, false);
}

// DATA or BDAT after recipients that the server accepted but none of which
// named an extractable address: the line is kept from the server until the
// decision has run on an empty recipient.
Turn Session::hold_unless_named() { return unnamed_recipient_accepted_ ? hold() : Turn::send; }

Turn Session::data() {
  log_msg(7, "DATA command, terminating envelope session.");
  return finish(SessionEnd::data, true);
}

Turn Session::authenticate() { return exchange_credentials() ? finish(SessionEnd::auth, true) : Turn::next_line; }

// With TLSCERT set, no STARTTLS ever reaches the server program: ostrel
// answers every one itself.
Turn Session::take_starttls() { return takes_starttls_itself() ? Turn::next_line : Turn::send; }

Turn Session::starttls() { return finish(SessionEnd::starttls, true); }

Turn Session::quit() { answer_quit(); }

Turn Session::rset() {
  envelope_ = Envelope{};
  unnamed_recipient_accepted_ = false;
  return pass_reply_on();
}

Turn Session::check_bdat() {
  if (unnamed_recipient_accepted_) return hold();
  chunk_ = readable_bdat();
  return chunk_ ? Turn::send : Turn::next_line;
}

Turn Session::unsupported() {
  log_msg(6, "Got unsupported message '%s'", line_.data());
  return pass_reply_on();
}

// Passes an AUTH exchange on: the AUTH line, then each of the server's 334
// challenges and the client's answer to it, up to the server's final reply.
// None of these lines is classified or logged, since they carry
// credentials; the final reply is logged like any other reply. True when
// the server accepted the exchange (a 2xx reply, not yet sent).
bool Session::exchange_credentials() {
  log_msg(7, "Got AUTH command, its exchange is not logged.");
  for (;;) {
    send_whole_line();
    srvresp_len = get_line(server_out_, srvresp.data(), srvresp.size());
    note_line_start();
    if (!is_auth_challenge()) break;
    client_send(srvresp.data(), srvresp_len);
    while (reply_goes_on()) {
      srvresp_len = get_line(server_out_, srvresp.data(), srvresp.size());
      note_line_start();
      client_send(srvresp.data(), srvresp_len);
    }
    line_len_ = client_get_line(line_.data(), line_.size());
  }
  log_msg(7, "Got message from server: '%s'", srvresp.data());
  if (srvresp[0] == '2') return true;
  if (is_error_reply()) {
    note_error_reply();
  } else {
    client_send(srvresp.data(), srvresp_len);
    pass_rest_of_reply();
  }
  return false;
}

// Sends the client line, and the rest of it when it is longer than the
// buffer, so that the server has all of it before a reply is awaited.
void Session::send_whole_line() {
  send(server_in_, line_.data(), line_len_);
  while (line_len_ == line_.size() - 1 && line_[line_len_ - 1] != '\n') {
    line_len_ = client_get_line(line_.data(), line_.size());
    send(server_in_, line_.data(), line_len_);
  }
}

// The chunk size of a BDAT line that ostrel and the server can only read
// alike; nothing when the line was answered here instead, unsent. A server
// reads a chunk as data only where it offered CHUNKING: elsewhere it may
// take the chunk's bytes for commands, and ostrel, which would pass them on
// as data, could no longer pair the server's replies with the client's
// lines. After a refusal here, ostrel and the server read whatever follows
// as commands, both of them.
std::optional<std::uint32_t> Session::readable_bdat() {
  std::optional<std::uint32_t> size = bdat_chunk_size({line_.data(), line_len_});
  if (!size) {
    log_msg(6, "Refused '%s': its chunk size cannot be read.", line_.data());
    client_send(reply_bdat_syntax, sizeof reply_bdat_syntax - 1);
  } else if (*size > 0 && !chunking_offered_) {
    log_msg(6, "Refused '%s': the server offered no CHUNKING.", line_.data());
    client_send(reply_no_chunking, sizeof reply_no_chunking - 1);
    size.reset();
  }
  return size;
}

// The chunk of a BDAT line is data, whatever the server answers: exactly
// size bytes go to the server as they came, none of them read as a line,
// before the server's reply is read. The server may answer before it has
// read the chunk; its reply then waits in the pipe.
void Session::pass_chunk(std::uint32_t size) {
  log_msg(7, "Passing a chunk of %u bytes to the server.", size);
  std::array<char, chunk_part_size> part;
  for (std::uint32_t left = size; left > 0;) {
    std::size_t got = client_read_some(part.data(), std::min<std::size_t>(part.size(), left));
    send(server_in_, part.data(), got);
    left -= static_cast<std::uint32_t>(got);
  }
}

Turn Session::hold() {
  log_msg(6, "Recipients accepted without an extractable address, deciding before '%s' reaches the server.",
          line_.data());
  envelope_.to[0] = '\0';
  std::memcpy(result_.held.text.data(), line_.data(), line_len_ + 1);
  result_.held.len = line_len_;
  return finish(SessionEnd::held, false);
}

void Session::read_server_line() {
  srvresp_len = get_line(server_out_, srvresp.data(), srvresp.size());
  note_line_start();
  log_msg(7, "Got message from server: '%s'", srvresp.data());
}

// Notes, for the piece of a server line just read, whether it starts a
// line and whether that line is a continuation ("NNN-"). A line longer than
// the buffer arrives in pieces, and only its first piece has a code.
void Session::note_line_start() {
  starts_line_ = !inside_line_;
  if (starts_line_) continued_line_ = srvresp_len >= 4 && srvresp[3] == '-';
  inside_line_ = srvresp_len == 0 || srvresp[srvresp_len - 1] != '\n';
}

// Every reply is passed on whole, whatever its code, so that each of the
// client's lines is paired with the server's reply to that very line.
void Session::pass_rest_of_reply() {
  while (reply_goes_on()) {
    read_server_line();
    client_send(srvresp.data(), srvresp_len);
  }
}

// ostrel refuses STARTTLS while the certificate cannot be used. True when
// the line was answered here.
bool Session::takes_starttls_itself() {
  if (!client_tls_offered() && !client_tls_active() && !client_tls_unusable()) return false;
  if (client_tls_active()) {
    client_send(reply_tls_active, sizeof reply_tls_active - 1);
  } else if (!bare_starttls(line_.data())) {
    client_send(reply_tls_syntax, sizeof reply_tls_syntax - 1);
  } else if (client_tls_unusable() || !client_prepare_tls() || !server_forgets_transaction()) {
    client_refuse_tls();
  } else {
    // What the client said before TLS counts for nothing, here as in the
    // server.
    envelope_ = Envelope{};
    unnamed_recipient_accepted_ = false;
    client_start_tls();
  }
  return true;
}

// The server program never sees the client's STARTTLS, so a transaction it
// may hold is ended with a RSET of ostrel's own, whose reply, whole, never
// reaches the client. True when the server holds none now; otherwise
// STARTTLS is refused, and ostrel keeps its view of the transaction as the
// server keeps the transaction.
bool Session::server_forgets_transaction() {
  if (!server_transaction_) return true;
  log_msg(7, "Sending RSET to the server before TLS; its reply is not passed on.");
  send(server_in_, rset_line, sizeof rset_line - 1);
  read_server_line();
  bool reset = srvresp[0] == '2';
  if (!reset) log_msg(5, "The server refused RSET before TLS: '%s'. STARTTLS is refused.", srvresp.data());
  while (reply_goes_on()) read_server_line();
  if (reset) server_transaction_ = false;
  return reset;
}

// The reply to EHLO offers STARTTLS exactly when ostrel takes it itself,
// and tells whether the server offers CHUNKING.
void Session::pass_ehlo_reply_on() {
  bool edit = client_tls_offered() || client_tls_active() || client_tls_unusable();
  EhloReplyEditor editor(client_tls_offered() ? StartTlsOffer::add : StartTlsOffer::remove);
  for (;;) {
    std::string_view line{srvresp.data(), srvresp_len};
    if (starts_line_ && offers_extension(line, "CHUNKING")) chunking_offered_ = true;
    bool last = !reply_goes_on();
    if (edit) {
      ReplyPieces pieces = editor.take(line, last);
      for (std::size_t i = 0; i < pieces.count; ++i) client_send(pieces.piece[i].data(), pieces.piece[i].size());
    } else {
      client_send(srvresp.data(), srvresp_len);
    }
    if (last) return;
    read_server_line();
  }
}

void Session::note_error_reply() {
  log_msg(6, "Error from the upstream server: '%s'.", srvresp.data());
  client_.cmderrs = srvresp[0] == '4' ? CMDERRS_TEMPORARY : CMDERRS_PERMANENT;
  client_send(srvresp.data(), srvresp_len);
  pass_rest_of_reply();
}

// Sends the reply, with its continuation lines.
Turn Session::pass_reply_on() {
  client_send(srvresp.data(), srvresp_len);
  pass_rest_of_reply();
  return Turn::next_line;
}

// The server's reply to the line that ends the session is passed on, and
// the rest is relayed untouched; or it is held (or the line itself is), and
// the decision runs first.
Turn Session::finish(SessionEnd end, bool send_reply) {
  for (CompiledRegex& re : re_) re.release();
  address_.release();
  if (send_reply) client_send(srvresp.data(), srvresp_len);
  result_.end = end;
  result_.decide = !send_reply;
  return Turn::end;
}

// The name of a HELO or EHLO line.
void Session::record_helo() {
  regmatch_t group;
  if (re_[command_].find_group(line_.data(), group)) store_capture(envelope_.helo, group);
  log_msg(7, "Got %s command '%s'", commands[command_].name, envelope_.helo.data());
}

Address Session::extract_address(std::array<char, envelope_field_size>& field) {
  regmatch_t group;
  if (address_.find_group(line_.data(), group)) {
    store_capture(field, group);
    return Address::found;
  }
  if (std::strstr(line_.data(), "<>") != nullptr) {
    field[0] = '\0';
    return Address::null_sender;
  }
  return Address::missing;
}

void Session::store_capture(std::array<char, envelope_field_size>& field, const regmatch_t& group) {
  auto len = static_cast<std::size_t>(group.rm_eo - group.rm_so);
  if (len >= field.size()) {
    log_msg(3, "Maximum command length (%d >= %d) exceeded ('%s')! Closing connection.", static_cast<int>(len),
            static_cast<int>(field.size()), line_.data());
    terminate_process(exit_status::gave_up);
  }
  std::memcpy(field.data(), line_.data() + group.rm_so, len);
  field[len] = '\0';
}

void Session::answer_quit() {
  log_msg(7, "QUIT command, terminating connection.");
  int needed = std::snprintf(line_.data(), line_.size(), "221 %s\r\n", local_hostname);
  if (needed < 0 || static_cast<std::size_t>(needed) >= line_.size()) {
    log_msg(2, "Buffer too small to handle request near line %u: %d bytes needed, %u available. Terminating", 1004u,
            needed, static_cast<unsigned>(line_.size()));
    terminate_process(exit_status::gave_up);
  }
  client_send(line_.data(), static_cast<std::size_t>(needed));
  if (client_tls_active()) client_close_output();  // close_notify after the last reply
  terminate_process(exit_status::orderly);
}

}  // namespace

SessionResult envelope_session(Envelope& envelope, ClientMetainfo& client) {
  Session session(envelope, client);
  if (!session.compile()) return {};
  session.greet();
  return session.dialogue();
}
