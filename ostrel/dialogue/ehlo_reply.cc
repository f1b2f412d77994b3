#include "ehlo_reply.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr std::string_view offer_line_last = "250 STARTTLS\r\n";
constexpr std::string_view offer_line_more = "250-STARTTLS\r\n";

bool same_letters(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) return false;
  return true;
}

}  // namespace

bool continues_reply(std::string_view line) { return line.substr(0, 4) == "250-"; }

bool offers_extension(std::string_view line, std::string_view keyword) {
  if (line.size() < 4 || line.substr(0, 3) != "250" || (line[3] != '-' && line[3] != ' ')) return false;
  std::string_view text = line.substr(4);
  if (!same_letters(text, keyword)) return false;
  std::string_view rest = text.substr(keyword.size());
  return rest.empty() || rest[0] == '\r' || rest[0] == '\n' || rest[0] == ' ';
}

bool offers_starttls(std::string_view line) { return offers_extension(line, "STARTTLS"); }

ReplyPieces EhloReplyEditor::take(std::string_view line, bool last) {
  ReplyPieces pieces = offer_ == StartTlsOffer::add ? add_offer(line, last) : remove_offer(line, last);
  first_ = false;
  return pieces;
}

// Copies line into held_text_ with its fourth character (the one after the
// code) set to fourth; a line of the bare code gets it inserted.
std::string_view EhloReplyEditor::hold(std::string_view line, char fourth) {
  std::size_t cut = std::min(line.size(), held_text_.size() - 1);
  std::string_view text = line.substr(0, cut);
  std::size_t len = 0;
  held_text_[len++] = text[0];
  held_text_[len++] = text[1];
  held_text_[len++] = text[2];
  held_text_[len++] = fourth;
  std::size_t from = text.size() > 3 && (text[3] == ' ' || text[3] == '-') ? 4 : 3;
  std::size_t room = held_text_.size() - len;
  std::size_t rest = std::min(text.size() - std::min(from, text.size()), room);
  std::memcpy(held_text_.data() + len, text.data() + from, rest);
  return {held_text_.data(), len + rest};
}

ReplyPieces EhloReplyEditor::add_offer(std::string_view line, bool last) {
  ReplyPieces out;
  if (!first_ && offers_starttls(line)) offered_ = true;
  if (!last || offered_ || line.substr(0, 3) != "250") {
    out.add(line);
    return out;
  }
  if (first_) {  // a reply of one line: it goes on, and the offer ends it
    out.add(hold(line, '-'));
    out.add(offer_line_last);
    return out;
  }
  out.add(offer_line_more);
  out.add(line);
  return out;
}

ReplyPieces EhloReplyEditor::remove_offer(std::string_view line, bool last) {
  ReplyPieces out;
  if (!first_ && offers_starttls(line) && (!last || continues_reply(held_))) {
    if (last) {  // the line before becomes the last
      std::memcpy(sent_text_.data(), held_.data(), held_.size());
      sent_text_[3] = ' ';
      out.add({sent_text_.data(), held_.size()});
      held_ = {};
    }
    return out;
  }
  if (!held_.empty()) {
    std::memcpy(sent_text_.data(), held_.data(), held_.size());
    out.add({sent_text_.data(), held_.size()});
    held_ = {};
  }
  if (last) {
    out.add(line);
  } else {
    std::size_t len = std::min(line.size(), held_text_.size());
    std::memcpy(held_text_.data(), line.data(), len);
    held_ = {held_text_.data(), len};
  }
  return out;
}
