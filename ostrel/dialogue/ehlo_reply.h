// Edits the server program's reply to EHLO, line by line, so that it offers
// STARTTLS exactly when ostrel itself can take it: added before TLS, taken
// out once TLS is on.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "state.h"

enum class StartTlsOffer {
  add,     // the reply must offer STARTTLS (it is added when missing)
  remove,  // the reply must not offer it (every STARTTLS line goes)
};

// The text to send to the client after one line of the reply: up to three
// pieces, in order.
struct ReplyPieces {
  std::array<std::string_view, 3> piece;
  std::size_t count = 0;
  void add(std::string_view text) { piece[count++] = text; }
};

// One editor per EHLO reply, fed the reply's lines in order as the session
// reads them, each with whether it is the reply's last. The pieces point
// into the editor and into the line given; they stay valid until the next
// call.
class EhloReplyEditor {
 public:
  explicit EhloReplyEditor(StartTlsOffer offer) : offer_(offer) {}

  // Takes the next line of the reply, as read (line end included).
  [[nodiscard]] ReplyPieces take(std::string_view line, bool last);

 private:
  ReplyPieces add_offer(std::string_view line, bool last);
  ReplyPieces remove_offer(std::string_view line, bool last);
  std::string_view hold(std::string_view line, char fourth);

  StartTlsOffer offer_;
  bool first_ = true;
  bool offered_ = false;
  std::string_view held_;  // a line not sent yet, in held_text_
  std::array<char, text_buffer_size + 1> held_text_{};
  std::array<char, text_buffer_size + 1> sent_text_{};
};

// True for an EHLO reply line that offers the extension keyword, given in
// capitals ("250-CHUNKING", "250 chunking", "250-SIZE 1000" for "SIZE").
[[nodiscard]] bool offers_extension(std::string_view line, std::string_view keyword);

// True for an EHLO reply line that offers STARTTLS ("250-STARTTLS",
// "250 starttls", ...).
[[nodiscard]] bool offers_starttls(std::string_view line);

// True for a line that continues an EHLO reply (begins with "250-").
[[nodiscard]] bool continues_reply(std::string_view line);
