#include "ehlo_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds the reply's lines and returns what the client would receive.
std::string edited(StartTlsOffer offer, const std::vector<std::string>& lines) {
  EhloReplyEditor editor(offer);
  std::string out;
  for (const std::string& line : lines) {
    ReplyPieces pieces = editor.take(line, !continues_reply(line));
    for (std::size_t i = 0; i < pieces.count; ++i) out += pieces.piece[i];
  }
  return out;
}

TEST(OffersStarttls, RecognisesTheKeywordOnlyAsAWholeWord) {
  EXPECT_TRUE(offers_starttls("250-STARTTLS\r\n"));
  EXPECT_TRUE(offers_starttls("250 starttls\r\n"));
  EXPECT_TRUE(offers_starttls("250-StartTLS\n"));
  EXPECT_TRUE(offers_starttls("250-STARTTLS"));
  EXPECT_FALSE(offers_starttls("250-STARTTLSX\r\n"));
  EXPECT_FALSE(offers_starttls("250-X-STARTTLS\r\n"));
  EXPECT_FALSE(offers_starttls("251-STARTTLS\r\n"));
  EXPECT_FALSE(offers_starttls("250STARTTLS\r\n"));
  EXPECT_FALSE(offers_starttls("250-START\r\n"));
}

TEST(EhloReplyEditor, AddsTheOfferBeforeTheLastLine) {
  EXPECT_EQ(edited(StartTlsOffer::add, {"250-mx.example\r\n", "250-PIPELINING\r\n", "250 HELP\r\n"}),
            "250-mx.example\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 HELP\r\n");
}

TEST(EhloReplyEditor, AReplyOfOneLineGoesOnAndTheOfferEndsIt) {
  EXPECT_EQ(edited(StartTlsOffer::add, {"250 mx.example Hello\r\n"}), "250-mx.example Hello\r\n250 STARTTLS\r\n");
  EXPECT_EQ(edited(StartTlsOffer::add, {"250\r\n"}), "250-\r\n250 STARTTLS\r\n");
}

TEST(EhloReplyEditor, AnOfferAlreadyMadeIsLeftAlone) {
  std::vector<std::string> middle = {"250-mx.example\r\n", "250-STARTTLS\r\n", "250 HELP\r\n"};
  EXPECT_EQ(edited(StartTlsOffer::add, middle), "250-mx.example\r\n250-STARTTLS\r\n250 HELP\r\n");
  std::vector<std::string> last = {"250-mx.example\r\n", "250-SIZE 52428800\r\n", "250 STARTTLS\r\n"};
  EXPECT_EQ(edited(StartTlsOffer::add, last), "250-mx.example\r\n250-SIZE 52428800\r\n250 STARTTLS\r\n");
}

TEST(EhloReplyEditor, AReplyThatIsNotA250IsLeftAlone) {
  EXPECT_EQ(edited(StartTlsOffer::add, {"220 odd\r\n"}), "220 odd\r\n");
  EXPECT_EQ(edited(StartTlsOffer::remove, {"220 odd\r\n"}), "220 odd\r\n");
}

TEST(EhloReplyEditor, RemovesTheOfferFromTheMiddle) {
  EXPECT_EQ(
      edited(StartTlsOffer::remove, {"250-mx.example\r\n", "250-STARTTLS\r\n", "250-PIPELINING\r\n", "250 HELP\r\n"}),
      "250-mx.example\r\n250-PIPELINING\r\n250 HELP\r\n");
}

TEST(EhloReplyEditor, RemovingTheLastLineEndsTheReplyOneLineEarlier) {
  EXPECT_EQ(edited(StartTlsOffer::remove, {"250-mx.example\r\n", "250-PIPELINING\r\n", "250 STARTTLS\r\n"}),
            "250-mx.example\r\n250 PIPELINING\r\n");
  EXPECT_EQ(edited(StartTlsOffer::remove, {"250-mx.example\r\n", "250 STARTTLS\r\n"}), "250 mx.example\r\n");
}

TEST(EhloReplyEditor, RemovingLeavesOtherRepliesAsTheyCame) {
  std::vector<std::string> lines = {"250-mx.example\r\n", "250-8BITMIME\r\n", "250-SIZE\r\n", "250 HELP\r\n"};
  EXPECT_EQ(edited(StartTlsOffer::remove, lines), "250-mx.example\r\n250-8BITMIME\r\n250-SIZE\r\n250 HELP\r\n");
  EXPECT_EQ(edited(StartTlsOffer::remove, {"250 mx.example\r\n"}), "250 mx.example\r\n");
  // The first line names the host, whatever it says.
  EXPECT_EQ(edited(StartTlsOffer::remove, {"250-STARTTLS\r\n", "250 HELP\r\n"}), "250-STARTTLS\r\n250 HELP\r\n");
}

TEST(EhloReplyEditor, PiecesAreSentAsSoonAsTheyAreKnown) {
  // Adding never holds a line back; removing holds back one line at most.
  EhloReplyEditor adding(StartTlsOffer::add);
  EXPECT_EQ(adding.take("250-mx.example\r\n", false).count, 1u);
  EhloReplyEditor removing(StartTlsOffer::remove);
  EXPECT_EQ(removing.take("250-mx.example\r\n", false).count, 0u);
  ReplyPieces next = removing.take("250-PIPELINING\r\n", false);
  ASSERT_EQ(next.count, 1u);
  EXPECT_EQ(next.piece[0], "250-mx.example\r\n");
}

TEST(EhloReplyEditor, ALineAsLongAsTheReaderAllowsIsKeptWhole) {
  std::string long_line = "250-" + std::string(1017, 'a') + "\r\n";  // 1023 bytes
  EXPECT_EQ(edited(StartTlsOffer::remove, {"250-mx\r\n", long_line, "250 STARTTLS\r\n"}),
            "250-mx\r\n250 " + long_line.substr(4));
  std::string long_last = "250 " + std::string(1017, 'b') + "\r\n";
  EXPECT_EQ(edited(StartTlsOffer::add, {long_last}), "250-" + long_last.substr(4) + "250 STARTTLS\r\n");
}

TEST(EhloReplyEditor, APieceOfALongLineIsNeverTakenForTheOffer) {
  // The last line arrives after a long line's second piece, which holds no
  // code: the offer cannot be taken out without breaking that line, so it stays.
  EhloReplyEditor editor(StartTlsOffer::remove);
  std::string out;
  for (auto [line, last] : {std::pair<std::string, bool>{"250-mx\r\n", false},
                            {"250-" + std::string(1019, 'a'), false},
                            {"aaaa\r\n", false},
                            {"250 STARTTLS\r\n", true}}) {
    ReplyPieces pieces = editor.take(line, last);
    for (std::size_t i = 0; i < pieces.count; ++i) out += pieces.piece[i];
  }
  EXPECT_EQ(out, "250-mx\r\n250-" + std::string(1019, 'a') + "aaaa\r\n250 STARTTLS\r\n");
}

}  // namespace
