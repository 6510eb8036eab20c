// The card side of the secure channels on its own rules: what the set-up
// commands answer and refuse, the sequence counter kept in the image, the
// card's demand for protection, and the image lines of keys and policy.
// (The cryptography meets the module's own side in tests/smartcard.)
#include <gtest/gtest.h>

#include <memory>

#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/engine.h"

using cardsim::Bytes;
using cardsim::Card;
using namespace cardsim_test;

namespace {

class Channel : public ::testing::Test {
 protected:
  void Open(const std::string& name) {
    path_ = CopyCard(dir_, name);
    std::string err;
    card_ = Card::Load(path_, &err);
    ASSERT_TRUE(card_) << err;
  }
  uint16_t Tx(const std::string& hex) {
    Bytes r = card_->Transmit(Unhex(hex), false);
    EXPECT_GE(r.size(), 2u);
    if (r.size() < 2) return 0;
    data_.assign(r.begin(), r.end() - 2);
    return uint16_t(r[r.size() - 2] << 8 | r[r.size() - 1]);
  }
  std::string Line(const std::string& keyword) {
    const std::string text = ReadFile(path_);
    const size_t at = text.find("\n" + keyword + " ");
    if (at == std::string::npos) return "";
    return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<Card> card_;
  Bytes data_;
};

TEST_F(Channel, InitializeUpdateAnswersAndCountsInTheImage) {
  Open("pkcs15-gp-channel.card");
  EXPECT_NE(Line("gp-keys").find("counter=0000"), std::string::npos);
  ASSERT_EQ(Tx("8050000008010203040506070800"), 0x9000);
  ASSERT_EQ(data_.size(), 28u);
  EXPECT_EQ(data_[10], 0x01);  // key version
  EXPECT_EQ(data_[11], 0x02);  // Secure Channel Protocol '02'
  EXPECT_EQ(ToHex(Bytes(data_.begin() + 12, data_.begin() + 14)), "0001");
  EXPECT_NE(Line("gp-keys").find("counter=0001"), std::string::npos);
  ASSERT_EQ(Tx("8050010008010203040506070800"), 0x9000);
  EXPECT_EQ(ToHex(Bytes(data_.begin() + 12, data_.begin() + 14)), "0002");
  EXPECT_EQ(Tx("8050200008010203040506070800"), 0x6A88);  // no key set of version 20
  EXPECT_EQ(Tx("80500000040102030400"), 0x6700);
  EXPECT_EQ(Tx("8050000108010203040506070800"), 0x6A86);
  // EXTERNAL AUTHENTICATE: only after INITIALIZE UPDATE; a wrong C-MAC ends it all.
  EXPECT_EQ(Tx("848213001000000000000000000000000000000000"), 0x6985);
  ASSERT_EQ(Tx("8050000008010203040506070800"), 0x9000);
  EXPECT_EQ(Tx("848213001000000000000000000000000000000000"), 0x6982);
  EXPECT_EQ(Tx("848213001000000000000000000000000000000000"), 0x6985);
  // Commands in a GlobalPlatform class without a channel.
  EXPECT_EQ(Tx("04A40000023F00"), 0x6882);
  EXPECT_EQ(Tx("84CA9F7F08000000000000000000"), 0x6882);
}

TEST_F(Channel, KeyAgreementAnswersAndRefuses) {
  Open("ias-dh-channel.card");
  EXPECT_EQ(Tx("00860000067C048502010200"), 0x6985);  // no MSE SET KAT before
  EXPECT_EQ(Tx("002241A603830102"), 0x6A88);            // no key of group 2
  EXPECT_EQ(Tx("002241A603840101"), 0x6A80);
  ASSERT_EQ(Tx("002241A603830101"), 0x9000);
  // Public values the card refuses: 1, a value of 2 (outside the subgroup), none.
  EXPECT_EQ(Tx("00860000057C03850101 00"), 0x6A80);
  ASSERT_EQ(Tx("002241A603830101"), 0x9000);
  EXPECT_EQ(Tx("00860000057C03850102 00"), 0x6A80);
  ASSERT_EQ(Tx("002241A603830101"), 0x9000);
  EXPECT_EQ(Tx("00860000047C02840100"), 0x6A80);
  // Secure messaging without a session; a chain of GENERAL AUTHENTICATE waits for its end.
  EXPECT_EQ(Tx("0CB000000D9701048E08ED6705417E96BA5500"), 0x6988);
  ASSERT_EQ(Tx("002241A603830101"), 0x9000);
  EXPECT_EQ(Tx("10860000027C03"), 0x9000);
  EXPECT_EQ(Tx("008600000385010100"), 0x6A80);  // the whole value is 1
}

TEST_F(Channel, CardsAskForProtectionAsTheirPolicySays) {
  // until-secured: nothing of the applet before activation, everything after.
  Open("ias-not-activated.card");
  EXPECT_EQ(Tx("00A40800025015"), 0x6982);
  EXPECT_EQ(Tx("00A4040009F04341524453494D07"), 0x9000);  // the applet's selection
  EXPECT_EQ(Tx("00A4040008A000000151000000"), 0x9000);    // the security domain's
  EXPECT_EQ(Tx("00CA008A00"), 0x9000);
  EXPECT_EQ(Tx("80F0800F"), 0x6982);  // SET STATUS over the channel only
  EXPECT_EQ(Tx("00C0000000"), 0x6985);  // nothing to fetch, but no refusal
  // The same card activated (as SET STATUS over the channel leaves it) works in the clear.
  std::string text = ReadFile(path_);
  const size_t at = text.find("lifecycle 07");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 12, "lifecycle 0F");
  std::string err;
  card_ = Card::Parse(text, &err);
  ASSERT_TRUE(card_) << err;
  EXPECT_EQ(Tx("00A40800025015"), 0x9000);
  EXPECT_EQ(Tx("0020008108313233 34FFFFFFFF"), 0x9000);
  // ins=..: only the instructions listed.
  Open("ias-dh-channel.card");
  EXPECT_EQ(Tx("00A40800025015"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x6982);
  EXPECT_EQ(Tx("0084000008"), 0x9000);  // GET CHALLENGE is not listed
}

TEST_F(Channel, ImageLinesRoundTripAndBadOnesAreRefused) {
  Open("pkcs15-gp-channel.card");
  const std::string text = card_->Serialise();
  std::string err;
  auto again = Card::Parse(text, &err);
  ASSERT_TRUE(again) << err;
  EXPECT_EQ(again->Serialise(), text);
  EXPECT_NE(text.find("\nprotect all\n"), std::string::npos);
  Open("ias-dh-channel.card");
  const std::string dh = card_->Serialise();
  EXPECT_NE(dh.find("\nprotect ins=20,24,2C,2A,46,47,DB\n"), std::string::npos);
  auto dhAgain = Card::Parse(dh, &err);
  ASSERT_TRUE(dhAgain) << err;
  EXPECT_EQ(dhAgain->Serialise(), dh);

  const std::string head = "cardsim-image 1\nmodel 4\natr 3B00\n";
  const char* bad[] = {
      "gp-keys version=01 enc=00 mac=00 dek=00\n",
      "gp-keys version=00 enc=404142434445464748494A4B4C4D4E4F mac=404142434445464748494A4B4C4D4E4F "
      "dek=404142434445464748494A4B4C4D4E4F\n",
      "gp-keys version=01 level=14 enc=404142434445464748494A4B4C4D4E4F mac=404142434445464748494A4B4C4D4E4F "
      "dek=404142434445464748494A4B4C4D4E4F\n",
      "gp-keys color=red enc=404142434445464748494A4B4C4D4E4F mac=404142434445464748494A4B4C4D4E4F "
      "dek=404142434445464748494A4B4C4D4E4F\n",
      "dh-key ref=01 p=17 g=05\n",
      "dh-key ref=100 p=17 g=05 x=03\n",
      "protect some\n",
      "protect ins=\n",
      "protect ins=2A,XYZ\n",
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(Card::Parse(head + line + "df 3F00\n", &err));
  }
  const std::string twice = "dh-key ref=01 p=17 g=05 x=03\n";
  EXPECT_FALSE(Card::Parse(head + twice + twice + "df 3F00\n", &err));
  EXPECT_TRUE(Card::Parse(head + twice + "df 3F00\n", &err)) << err;
}

}  // namespace
