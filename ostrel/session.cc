#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <strings.h>

#include "bdat_size.h"
#include "client_link.h"
#include "ehlo_reply.h"
#include "exit_status.h"
#include "line_reader.h"
#include "log.h"
#include "compiled_regex.h"
#include "sending.h"
#include "state.h"

namespace {

// The expressions, in the order they are compiled.
enum Expr { HELO, EHLO, MAIL_FROM, RCPT_TO, EMAIL, DATA, RSET, AUTH, STARTTLS, QUIT, BDAT, EXPR_COUNT };

struct ExprSpec {
  const char* pattern;
  const char* failure;
};

constexpr std::array<ExprSpec, EXPR_COUNT> expr_specs = {{
    {"^helo[[:space:]]+([^'[:space:]]+)[[:space:]]*$", "Unable to compile HELO regular expression"},
    {"^ehlo[[:space:]]+([^'[:space:]]+)[[:space:]]*$", "Unable to compile EHLO regular expression"},
    {"^mail[[:space:]]+from:", "Unable to compile MAIL FROM regular expression"},
    {"^rcpt[[:space:]]+to:", "Unable to compile RCPT TO regular expression"},
    {"([-&*+./0-9=?a-zA-Z^_{}~]+@([-a-zA-Z0-9_]+\\.)*[a-zA-Z0-9]+)", "Unable to compile email regular expression"},
    {"^data", "Unable to compile DATA regular expression"},
    {"^rset", "Unable to compile RSET regular expression"},
    {"^auth ", "Unable to compile AUTH regular expression"},
    {"^starttls", "Unable to compile STARTTLS regular expression"},
    {"^quit", "Unable to compile QUIT regular expression"},
    {"^bdat", "Unable to compile BDAT regular expression"},
}};

// Every command expression is anchored on a different word, so at most one
// matches; this is the order in which they are tried.
constexpr std::array<Expr, 10> classification_order = {HELO, EHLO, MAIL_FROM, RCPT_TO, DATA,
                                                       AUTH, STARTTLS, QUIT, RSET, BDAT};

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

bool starts_with_word(const char* line, const char* word) { return strncasecmp(line, word, 4) == 0; }

// Any line that may be a HELO or EHLO, accepted or not, well formed or not.
bool may_greet(const char* line) { return starts_with_word(line, "helo") || starts_with_word(line, "ehlo"); }

// A line that no server takes for a command that begins a transaction.
bool begins_no_transaction(const char* line) {
  for (const char* word : {"helo", "ehlo", "noop", "help", "vrfy", "expn"})
    if (starts_with_word(line, word)) return true;
  return false;
}

// A server's challenge in an AUTH exchange: the exchange goes on.
bool is_auth_challenge() { return std::strncmp(srvresp.data(), "334", 3) == 0; }

class Session {
 public:
  bool compile() {
    for (std::size_t i = 0; i < EXPR_COUNT; ++i) {
      if (!re_[i].compile(expr_specs[i].pattern, REG_EXTENDED | REG_ICASE)) {
        log_msg(2, "%s", expr_specs[i].failure);
        return false;
      }
    }
    return true;
  }

  void greet() {
    client_metainfo.cmderrs = CMDERRS_NONE;
    client_metainfo.validity |= VALID_CMDERRS;
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

  SessionEnd dialogue(HeldLine& held) {
    for (;;) {
      line_len_ = client_get_line(line_.data(), line_.size());
      Expr command = classify();
      if (command == AUTH) {
        if (authenticate()) return finish(SessionEnd::auth, true);
        continue;
      }
      log_msg(7, "Got message from client: '%s'", line_.data());
      if (command == STARTTLS && takes_starttls_itself()) continue;
      if ((command == DATA || command == BDAT) && unnamed_recipient_accepted_) return hold(held);
      std::optional<std::uint32_t> chunk;
      if (command == BDAT && !(chunk = readable_bdat())) continue;
      // Whatever the server may make of a greeting, it may no longer offer
      // CHUNKING; only the reply to an accepted EHLO tells that it does.
      if (may_greet(line_.data())) chunking_offered_ = false;
      send(server_in_, line_.data(), line_len_);
      if (chunk) pass_chunk(*chunk);
      read_server_line();
      if (is_error_reply()) {
        note_error_reply();
        continue;
      }
      if (command == RSET)
        server_transaction_ = false;
      else if (!begins_no_transaction(line_.data()))
        server_transaction_ = true;
      if (std::optional<SessionEnd> end = handle_accepted_line(command)) return *end;
    }
  }

 private:
  // Passes an AUTH exchange on: the AUTH line, then each of the server's
  // 334 challenges and the client's answer to it, up to the server's final
  // reply. None of these lines is classified or logged, since they carry
  // credentials; the final reply is logged like any other reply. True when
  // the server accepted the exchange (a 2xx reply, not yet sent).
  bool authenticate() {
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
  void send_whole_line() {
    send(server_in_, line_.data(), line_len_);
    while (line_len_ == line_.size() - 1 && line_[line_len_ - 1] != '\n') {
      line_len_ = client_get_line(line_.data(), line_.size());
      send(server_in_, line_.data(), line_len_);
    }
  }

  // The chunk size of a BDAT line that ostrel and the server can only read
  // alike; nothing when the line was answered here instead, unsent. A
  // server reads a chunk as data only where it offered CHUNKING: elsewhere
  // it may take the chunk's bytes for commands, and ostrel, which would pass
  // them on as data, could no longer pair the server's replies with the
  // client's lines. After a refusal here, ostrel and the server read
  // whatever follows as commands, both of them.
  std::optional<std::uint32_t> readable_bdat() {
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
  void pass_chunk(std::uint32_t size) {
    log_msg(7, "Passing a chunk of %u bytes to the server.", size);
    std::array<char, chunk_part_size> part;
    for (std::uint32_t left = size; left > 0;) {
      std::size_t got = client_read_some(part.data(), std::min<std::size_t>(part.size(), left));
      send(server_in_, part.data(), got);
      left -= static_cast<std::uint32_t>(got);
    }
  }

  // DATA or BDAT after recipients that the server accepted but none of
  // which named an extractable address: the line is kept from the server
  // until the decision has run on an empty recipient.
  SessionEnd hold(HeldLine& held) {
    log_msg(6, "Recipients accepted without an extractable address, deciding before '%s' reaches the server.",
            line_.data());
    envelope.to[0] = '\0';
    std::memcpy(held.text.data(), line_.data(), line_len_ + 1);
    held.len = line_len_;
    return finish(SessionEnd::held, false);
  }

  void read_server_line() {
    srvresp_len = get_line(server_out_, srvresp.data(), srvresp.size());
    note_line_start();
    log_msg(7, "Got message from server: '%s'", srvresp.data());
  }

  // Notes, for the piece of a server line just read, whether it starts a
  // line and whether that line is a continuation ("NNN-"). A line longer
  // than the buffer arrives in pieces, and only its first piece has a code.
  void note_line_start() {
    starts_line_ = !inside_line_;
    if (starts_line_) continued_line_ = srvresp_len >= 4 && srvresp[3] == '-';
    inside_line_ = srvresp_len == 0 || srvresp[srvresp_len - 1] != '\n';
  }

  // Whether the server's reply has more to come after the piece read last:
  // the rest of a long line, or the next line of a multi-line reply.
  [[nodiscard]] bool reply_goes_on() const { return inside_line_ || continued_line_; }

  // Every reply is passed on whole, whatever its code, so that each of the
  // client's lines is paired with the server's reply to that very line.
  void pass_rest_of_reply() {
    while (reply_goes_on()) {
      read_server_line();
      client_send(srvresp.data(), srvresp_len);
    }
  }

  // With TLSCERT set, no STARTTLS ever reaches the server program: ostrel
  // answers every one itself, and refuses it while the certificate cannot
  // be used. True when the line was answered here.
  bool takes_starttls_itself() {
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
      envelope = Envelope{};
      unnamed_recipient_accepted_ = false;
      client_start_tls();
    }
    return true;
  }

  // The server program never sees the client's STARTTLS, so a transaction
  // it may hold is ended with a RSET of ostrel's own, whose reply, whole,
  // never reaches the client. True when the server holds none now;
  // otherwise STARTTLS is refused, and ostrel keeps its view of the
  // transaction as the server keeps the transaction.
  bool server_forgets_transaction() {
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
  void pass_ehlo_reply_on() {
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

  void note_error_reply() {
    log_msg(6, "Error from the upstream server: '%s'.", srvresp.data());
    client_metainfo.cmderrs = srvresp[0] == '4' ? CMDERRS_TEMPORARY : CMDERRS_PERMANENT;
    client_send(srvresp.data(), srvresp_len);
    pass_rest_of_reply();
  }

  // Sends the reply, with its continuation lines.
  void pass_reply_on() {
    client_send(srvresp.data(), srvresp_len);
    pass_rest_of_reply();
  }

  // The line is classified only up to a NUL byte it may hold.
  [[nodiscard]] Expr classify() const {
    for (Expr e : classification_order)
      if (re_[e].matches(line_.data())) return e;
    return EXPR_COUNT;
  }

  // Handles a line the server accepted; the session's result when it ends here.
  std::optional<SessionEnd> handle_accepted_line(Expr command) {
    switch (command) {
      case HELO:
        unnamed_recipient_accepted_ = false;
        record_helo(HELO);
        break;
      case EHLO:
        unnamed_recipient_accepted_ = false;
        record_helo(EHLO);
        pass_ehlo_reply_on();
        return std::nullopt;
      case MAIL_FROM:
        unnamed_recipient_accepted_ = false;
        if (extract_address(envelope.from) == Address::missing) {
          log_msg(5, "Syntax error in MAIL FROM command, cannot extract email from '%s'.", line_.data());
          break;
        }
        log_msg(7, "Got MAIL FROM command '%s'", envelope.from.data());
        break;
      case RCPT_TO:
        if (extract_address(envelope.to) == Address::missing) {
          log_msg(5, "Syntax error in RCPT TO command, cannot extract email from '%s'.", line_.data());
          unnamed_recipient_accepted_ = true;
          break;
        }
        log_msg(7, "Got RCPT TO command '%s'", envelope.to.data());
        return finish(SessionEnd::recipient, false);
      case DATA:
        log_msg(7, "DATA command, terminating envelope session.");
        return finish(SessionEnd::data, true);
      case STARTTLS:
        return finish(SessionEnd::starttls, true);
      case QUIT:
        answer_quit();
      case RSET:
        envelope = Envelope{};
        unnamed_recipient_accepted_ = false;
        break;
      default:
        log_msg(6, "Got unsupported message '%s'", line_.data());
        break;
    }
    pass_reply_on();
    return std::nullopt;
  }

  SessionEnd finish(SessionEnd end, bool send_reply) {
    for (CompiledRegex& re : re_) re.release();
    if (send_reply) client_send(srvresp.data(), srvresp_len);
    return end;
  }

  void record_helo(Expr which) {
    regmatch_t group;
    if (re_[which].find_group(line_.data(), group)) store_capture(envelope.helo, group);
    log_msg(7, "Got %s command '%s'", which == HELO ? "HELO" : "EHLO", envelope.helo.data());
  }

  Address extract_address(std::array<char, envelope_field_size>& field) {
    regmatch_t group;
    if (re_[EMAIL].find_group(line_.data(), group)) {
      store_capture(field, group);
      return Address::found;
    }
    if (std::strstr(line_.data(), "<>") != nullptr) {
      field[0] = '\0';
      return Address::null_sender;
    }
    return Address::missing;
  }

  void store_capture(std::array<char, envelope_field_size>& field, const regmatch_t& group) {
    auto len = static_cast<std::size_t>(group.rm_eo - group.rm_so);
    if (len >= field.size()) {
      log_msg(3, "Maximum command length (%d >= %d) exceeded ('%s')! Closing connection.", static_cast<int>(len),
              static_cast<int>(field.size()), line_.data());
      terminate_process(exit_status::gave_up);
    }
    std::memcpy(field.data(), line_.data() + group.rm_so, len);
    field[len] = '\0';
  }

  [[noreturn]] void answer_quit() {
    log_msg(7, "QUIT command, terminating connection.");
    int needed = std::snprintf(line_.data(), line_.size(), "221 %s\r\n", local_hostname);
    if (needed < 0 || static_cast<std::size_t>(needed) >= line_.size()) {
      log_msg(2, "Buffer too small to handle request near line %u: %d bytes needed, %u available. Terminating",
              1004u, needed, static_cast<unsigned>(line_.size()));
      terminate_process(exit_status::gave_up);
    }
    client_send(line_.data(), static_cast<std::size_t>(needed));
    if (client_tls_active()) client_close_output();  // close_notify after the last reply
    terminate_process(exit_status::orderly);
  }

  std::array<CompiledRegex, EXPR_COUNT> re_;
  std::array<char, line_size> line_{};
  std::size_t line_len_ = 0;
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
  const int server_in_ = pipe_to_server[1];
  const int server_out_ = pipe_from_server[0];
};

}  // namespace

SessionResult envelope_session() {
  SessionResult result;
  Session session;
  if (!session.compile()) return result;
  session.greet();
  result.end = session.dialogue(result.held);
  return result;
}
