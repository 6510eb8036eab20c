// The card engine on its own: selection, binary files, file creation and
// deletion, PINs with counters and blocking, signatures and deciphering checked
// with OpenSSL, persistence of the image across processes, hostile input.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <random>

#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/engine.h"

using cardsim::Bytes;
using cardsim::Card;
using namespace cardsim_test;

namespace {

// A TLV writer of the test's own (short and two-byte lengths).
Bytes T(unsigned tag, const Bytes& v) {
  Bytes o;
  if (tag > 0xFF) o.push_back(uint8_t(tag >> 8));
  o.push_back(uint8_t(tag));
  if (v.size() < 0x80) {
    o.push_back(uint8_t(v.size()));
  } else if (v.size() < 0x100) {
    o.push_back(0x81);
    o.push_back(uint8_t(v.size()));
  } else {
    o.push_back(0x82);
    o.push_back(uint8_t(v.size() >> 8));
    o.push_back(uint8_t(v.size()));
  }
  o.insert(o.end(), v.begin(), v.end());
  return o;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes o;
  for (auto& p : parts) o.insert(o.end(), p.begin(), p.end());
  return o;
}

// Finds the value of a tag at the top level of a TLV buffer (tags of 1 or 2 bytes).
bool Find(const Bytes& b, unsigned tag, Bytes* out) {
  size_t i = 0;
  while (i < b.size()) {
    unsigned t = b[i++];
    if ((t & 0x1F) == 0x1F && i < b.size()) t = t << 8 | b[i++];
    if (i >= b.size()) return false;
    size_t len = b[i++];
    if (len == 0x81 && i < b.size()) len = b[i++];
    else if (len == 0x82 && i + 1 < b.size()) len = size_t(b[i]) << 8 | b[i + 1], i += 2;
    if (i + len > b.size()) return false;
    if (t == tag) {
      out->assign(b.begin() + long(i), b.begin() + long(i + len));
      return true;
    }
    i += len;
  }
  return false;
}

Bytes Apdu(const std::string& head, const Bytes& data, int le = -1) {
  Bytes a = Unhex(head);
  if (!data.empty()) {
    a.push_back(uint8_t(data.size()));
    a.insert(a.end(), data.begin(), data.end());
  }
  if (le >= 0) a.push_back(uint8_t(le));
  return a;
}

Bytes EfFcp(uint16_t fid, uint16_t size, const Bytes& extra = {}) {
  return T(0x62, Cat({T(0x82, {0x01}), T(0x83, {uint8_t(fid >> 8), uint8_t(fid)}),
                      T(0x80, {uint8_t(size >> 8), uint8_t(size)}), T(0x8A, {0x05}), extra}));
}

Bytes KeyFcp(uint16_t fid, uint8_t ref, uint16_t bits) {
  return T(0x62, Cat({T(0x82, {0x11}), T(0x83, {uint8_t(fid >> 8), uint8_t(fid)}),
                      T(0x8A, {0x05}),
                      T(0xA5, Cat({T(0x83, {ref}), T(0x80, {uint8_t(bits >> 8), uint8_t(bits)})}))}));
}

class Engine : public ::testing::Test {
 protected:
  void Open(const std::string& name) {
    path_ = CopyCard(dir_, name);
    std::string err;
    card_ = Card::Load(path_, &err);
    ASSERT_TRUE(card_) << err;
  }
  // A card made by the image generator with the given command and arguments.
  void Generate(const std::string& args) {
    path_ = dir_.File("generated.card");
    const std::string cmd =
        std::string("/usr/bin/python3 ") + CARDSIM_GENERATOR + " " + args + " '" + path_ + "' >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    Reopen();
  }
  void Reopen() {
    std::string err;
    card_ = Card::Load(path_, &err);
    ASSERT_TRUE(card_) << err;
  }
  uint16_t Tx(const Bytes& apdu, bool t0 = false) {
    Bytes r = card_->Transmit(apdu, t0);
    EXPECT_GE(r.size(), 2u);
    if (r.size() < 2) return 0;
    sw_ = uint16_t(r[r.size() - 2] << 8 | r[r.size() - 1]);
    data_.assign(r.begin(), r.end() - 2);
    return sw_;
  }
  uint16_t Tx(const std::string& hex, bool t0 = false) { return Tx(Unhex(hex), t0); }
  RSA* PublicKey() {
    // the card's own answer: GENERATE ASYMMETRIC KEY PAIR, read the public part
    EXPECT_EQ(Tx("00468101000000"), 0x9000);  // extended Le: 270 bytes at once
    Bytes pub, n, e;
    EXPECT_TRUE(Find(data_, 0x7F49, &pub));
    EXPECT_TRUE(Find(pub, 0x81, &n));
    EXPECT_TRUE(Find(pub, 0x82, &e));
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, BN_bin2bn(n.data(), int(n.size()), nullptr),
                 BN_bin2bn(e.data(), int(e.size()), nullptr), nullptr);
    return rsa;
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<Card> card_;
  uint16_t sw_ = 0;
  Bytes data_;
};

TEST_F(Engine, SelectsByFidPathParentAndName) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  ASSERT_FALSE(data_.empty());
  EXPECT_EQ(data_[0], 0x62);
  Bytes inner, v;
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "3F00");
  ASSERT_TRUE(Find(inner, 0x82, &v));
  EXPECT_EQ(ToHex(v), "38");

  EXPECT_EQ(Tx("00A4040C0CA000000063504B43532D3135"), 0x9000);
  EXPECT_TRUE(data_.empty());  // P2 0C: no answer data
  EXPECT_EQ(Tx("00A4020C025032"), 0x9000);
  ASSERT_EQ(Tx("00B0000002"), 0x9000);
  EXPECT_EQ(ToHex(data_).substr(0, 2), "30");  // TokenInfo

  ASSERT_EQ(Tx("00A40300"), 0x9000);  // parent of 5015 is the MF
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "3F00");

  ASSERT_EQ(Tx("00A408000450154401"), 0x9000);
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "4401");
  EXPECT_EQ(Tx("00A40800063F0050154402"), 0x9000);  // with the MF in front
  EXPECT_EQ(Tx("00A40900024403"), 0x9000);          // relative to 5015
  EXPECT_EQ(Tx("00A40100025015"), 0x6A82);          // 5015 is no child of 5015

  ASSERT_EQ(Tx("00A40000024B01"), 0x9000);  // key file: descriptor 11, reference in A5
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x82, &v));
  EXPECT_EQ(ToHex(v), "11");
  ASSERT_TRUE(Find(inner, 0xA5, &v));
  EXPECT_EQ(ToHex(v).substr(0, 6), "830101");

  EXPECT_EQ(Tx("00A40000021234"), 0x6A82);
  EXPECT_EQ(Tx("00A4080002DF99"), 0x6A82);
  EXPECT_EQ(Tx("00A40000033F0000"), 0x6700);
  EXPECT_EQ(Tx("00A40500023F00"), 0x6A86);

  // right-truncated DF name, then no next occurrence
  EXPECT_EQ(Tx("00A4040005A000000063"), 0x9000);
  EXPECT_EQ(Tx("00A4040205A000000063"), 0x6A82);
}

TEST_F(Engine, SelectsEachApplicationOfATwoApplicationCard) {
  Open("pkcs15-model3-two-apps.card");
  ASSERT_EQ(Tx("00A404000CA000000063504B43532D3135"), 0x9000);
  Bytes inner, v;
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "5015");
  ASSERT_EQ(Tx("00A404020CA000000063504B43532D3135"), 0x9000);  // next occurrence
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "5016");
  EXPECT_EQ(Tx("00A404020CA000000063504B43532D3135"), 0x6A82);
  ASSERT_EQ(Tx("00A404000CA000000063504B43532D3135"), 0x9000);  // first again
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0x83, &v));
  EXPECT_EQ(ToHex(v), "5015");
}

TEST_F(Engine, HeadersCarryAccessRulesInExpandedForm) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40800045015 5031"), 0x9000);
  Bytes inner, ab;
  ASSERT_TRUE(Find(data_, 0x62, &inner));
  ASSERT_TRUE(Find(inner, 0xAB, &ab));
  std::string h = ToHex(ab);
  // read always; update (02) under user PIN 81; delete (40) under the SO PIN 04
  // one access-mode byte per distinct rule, every bit named (a file made like this
  // one gets the same rules): 3D always, 40 SO PIN 04, 02 user PIN 81
  EXPECT_EQ(h, "80013D" "9000" "800140" "A406830104950108" "800102" "A406830181950108");

  // a model without rules in its headers
  std::string text = ReadFile(path_);
  text.replace(text.find("model 3"), 7, "model 6");
  std::string err;
  auto m6 = Card::Parse(text, &err);
  ASSERT_TRUE(m6) << err;
  Bytes r = m6->Transmit(Unhex("00A40000023F00"), false);
  ASSERT_GE(r.size(), 2u);
  ASSERT_TRUE(Find(Bytes(r.begin(), r.end() - 2), 0x62, &inner));
  EXPECT_FALSE(Find(inner, 0xAB, &ab));
}

TEST_F(Engine, ReadsUpdatesAndErasesBinary) {
  Open("blank-model3.card");
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x1111, 100))), 0x9000);
  ASSERT_EQ(Tx("00D6000A03AABBCC"), 0x9000);
  ASSERT_EQ(Tx("00B0000A03"), 0x9000);
  EXPECT_EQ(ToHex(data_), "AABBCC");
  EXPECT_EQ(Tx("00B0006305"), 0x6C01);  // one byte left
  EXPECT_EQ(Tx("00B0006400"), 0x6B00);  // offset at the end
  EXPECT_EQ(Tx("00D6006204 01020304"), 0x6A84);
  ASSERT_EQ(Tx("00B0000000"), 0x9000);  // Le 00: what is there
  EXPECT_EQ(data_.size(), 100u);
  ASSERT_EQ(Tx("000E000A02000C"), 0x9000);  // erase 10..11
  ASSERT_EQ(Tx("00B0000A03"), 0x9000);
  EXPECT_EQ(ToHex(data_), "0000CC");  // model 3 erases to 00
  ASSERT_EQ(Tx("000E0000"), 0x9000);
  ASSERT_EQ(Tx("00B0000C01"), 0x9000);
  EXPECT_EQ(ToHex(data_), "00");

  // no current EF, and a DF is no transparent file
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx("00B0000001"), 0x6986);
  // extended Le reads more than 256 bytes at once
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x1112, 600))), 0x9000);
  ASSERT_EQ(Tx("00B00000000258"), 0x9000);
  EXPECT_EQ(data_.size(), 600u);
}

TEST_F(Engine, CreatesAndDeletesFilesAndDirectories) {
  Open("blank-model3.card");
  Bytes df = T(0x62, Cat({T(0x82, {0x38}), T(0x83, {0x40, 0x00}), T(0x84, Unhex("F0010203")),
                          T(0x8A, {0x05})}));
  ASSERT_EQ(Tx(Apdu("00E00000", df)), 0x9000);
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x4001, 16))), 0x9000);  // inside the new DF
  EXPECT_EQ(Tx(Apdu("00E00000", EfFcp(0x4001, 16))), 0x6A89);
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx(Apdu("00E00000", df)), 0x6A89);                // identifier exists
  Bytes df2 = T(0x62, Cat({T(0x82, {0x38}), T(0x83, {0x40, 0x10}), T(0x84, Unhex("F0010203"))}));
  EXPECT_EQ(Tx(Apdu("00E00000", df2)), 0x9000);  // a shared DF name is allowed here
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx(Apdu("00E00000", EfFcp(0x3F00, 4))), 0x6A80);  // reserved identifier
  EXPECT_EQ(Tx("00E00000026205"), 0x6A80);                    // malformed template

  ASSERT_EQ(Tx("00A4040004F0010203"), 0x9000);
  EXPECT_EQ(Tx("00E40000024001"), 0x9000);
  EXPECT_EQ(Tx("00A40200024001"), 0x6A82);
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx("00E40000024000"), 0x9000);
  EXPECT_EQ(Tx("00A40000024000"), 0x6A82);
  EXPECT_EQ(Tx("00E40000024010"), 0x9000);
  EXPECT_EQ(Tx("00E40000024000"), 0x6A82);
  EXPECT_EQ(Tx("00E40000"), 0x6985);  // the MF stays

  // A DF with what it holds: models 1, 3, 4 and 7 delete it whole once the
  // DF's own delete rule is met; other models refuse it until it is empty.
  for (int model : {0, 1, 2, 3, 4, 5, 6, 7}) {
    SCOPED_TRACE(model);
    std::string err;
    auto c = Card::Parse("cardsim-image 1\nmodel " + std::to_string(model) +
                             "\natr 3B8F800180594341524453494D2D33830F900096\n"
                             "df 3F00 lcs=05 ac=delete-child:always,create-ef:always,create-df:always,delete:never\n",
                         &err);
    ASSERT_TRUE(c) << err;
    const auto tx = [&](const Bytes& apdu) { return ToHex(c->Transmit(apdu, false)); };
    ASSERT_EQ(tx(Apdu("00E00000", df)), "9000");
    ASSERT_EQ(tx(Apdu("00E00000", EfFcp(0x4001, 16))), "9000");
    ASSERT_EQ(tx(Unhex("00A4000C023F00")), "9000");
    const bool whole = model == 1 || model == 3 || model == 4 || model == 7;
    EXPECT_EQ(tx(Unhex("00E40000024000")), whole ? "9000" : "6985");
    const std::string again = tx(Unhex("00A40000024000"));
    EXPECT_EQ(again.substr(again.size() - 4), whole ? "6A82" : "9000");
  }
  // The DF's own rule decides, not those of what it holds: a DF only the user
  // PIN deletes stays while the SO alone is verified; a DF the SO deletes goes
  // with the user's key file in it.
  {
    TempDir other;
    std::string err;
    auto c = Card::Load(CopyCard(other, "pkcs15-model3-user-owned.card"), &err);
    ASSERT_TRUE(c) << err;
    const auto tx = [&](const char* hex) { return ToHex(c->Transmit(Unhex(hex), false)); };
    EXPECT_EQ(tx("00200004083837363534333231"), "9000");
    const std::string mf = tx("00A4000C023F00");
    EXPECT_EQ(mf.substr(mf.size() - 4), "9000");
    EXPECT_EQ(tx("00E40000025015"), "6982");
    auto m3 = Card::Load(CopyCard(other, "pkcs15-model3.card"), &err);
    ASSERT_TRUE(m3) << err;
    EXPECT_EQ(ToHex(m3->Transmit(Unhex("00200004083837363534333231"), false)), "9000");
    EXPECT_EQ(ToHex(m3->Transmit(Unhex("00E40000025015"), false)), "9000");
    const std::string gone = ToHex(m3->Transmit(Unhex("00A40800045015 4B01"), false));
    EXPECT_EQ(gone.substr(gone.size() - 4), "6A82");
  }

  // model 7 keeps DF names unique
  {
    TempDir other;
    std::string err;
    auto m7 = Card::Load(CopyCard(other, "blank-model7.card"), &err);
    ASSERT_TRUE(m7) << err;
    EXPECT_EQ(ToHex(m7->Transmit(Apdu("00E00000", df), false)), "9000");
    m7->Transmit(Unhex("00A40000023F00"), false);
    EXPECT_EQ(ToHex(m7->Transmit(Apdu("00E00000", df2), false)), "6A8A");
  }

  // memory runs out: 64 KB on the card
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x5001, 0x7FFF))), 0x9000);
  ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx(Apdu("00E00000", EfFcp(0x5002, 0x7FFF))), 0x6A84);
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x5002, 0x4000))), 0x9000);

  // the changes are in the image file
  Reopen();
  EXPECT_EQ(Tx("00A40000025001"), 0x9000);
  EXPECT_EQ(Tx("00A40000024000"), 0x6A82);
}

TEST_F(Engine, AccessRulesAskForTheRightPin) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A408000450155031"), 0x9000);
  EXPECT_EQ(Tx("00D6000001A0"), 0x6982);
  EXPECT_EQ(Tx("00E40000"), 0x6982);    // delete needs the SO PIN
  ASSERT_EQ(Tx("0020008108313233 34FFFFFFFF"), 0x9000);
  EXPECT_EQ(Tx("00D6000001A0"), 0x9000);
  EXPECT_EQ(Tx("00E40000"), 0x6982);  // the user PIN is not enough
  ASSERT_EQ(Tx("0020FF81"), 0x9000);  // forget the verification
  EXPECT_EQ(Tx("00D6000001A0"), 0x6982);
  // the key may be used only after the user PIN
  EXPECT_EQ(Tx("002241B6068001028401 01"), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A9E9A", Bytes(35, 0x11), 0)), 0x6982);
}

TEST_F(Engine, PinCountersBlockAndUnblock) {
  Open("pkcs15-model3-puk.card");
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x63C3);
  EXPECT_EQ(Tx("002000810439393939"), 0x63C2);
  EXPECT_EQ(Tx("00200081"), 0x63C2);
  EXPECT_EQ(Tx("0020008103313233"), 0x6700);  // too short: not counted
  EXPECT_EQ(Tx("00200081"), 0x63C2);
  EXPECT_EQ(Tx("002000810439393939"), 0x63C1);

  // the counter is in the image
  Reopen();
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x63C1);
  EXPECT_EQ(Tx("002000810439393939"), 0x63C0);
  EXPECT_EQ(Tx("00200081"), 0x6983);
  EXPECT_EQ(Tx("002000810431323334"), 0x6983);  // right value, still blocked
  EXPECT_EQ(Tx("0020008F"), 0x6A88);

  // wrong PUK counts on the PUK
  EXPECT_EQ(Tx("002C00810C393939393939393935353535"), 0x63C4);
  ASSERT_EQ(Tx("002C00810C31323334353637383535353535"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x63C3);
  EXPECT_EQ(Tx("002000810435353535"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x9000);  // verified now
  ASSERT_EQ(Tx("0020FF82"), 0x9000);
  EXPECT_EQ(Tx("00200082"), 0x63C5);  // the PUK's counter is back to its limit

  // RESET RETRY COUNTER with the PUK alone keeps the value
  EXPECT_EQ(Tx("002000810439393939"), 0x63C2);
  ASSERT_EQ(Tx("002C0181083132333435363738"), 0x9000);
  EXPECT_EQ(Tx("00200081"), 0x63C3);
  // setting without the PUK needs the SO PIN
  EXPECT_EQ(Tx("002C02810436363636"), 0x6982);
  ASSERT_EQ(Tx("00200004083837363534333231"), 0x9000);
  EXPECT_EQ(Tx("002C02810436363636"), 0x9000);
  EXPECT_EQ(Tx("002000810436363636"), 0x9000);
  EXPECT_EQ(Tx("002C0281023636"), 0x6700);  // shorter than the minimum
}

TEST_F(Engine, ChangesReferenceDataWithAndWithoutTheOldValue) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  // old value padded to the stored length, then the new one
  ASSERT_EQ(Tx("002400810D31323334FFFFFFFF3838383838"), 0x9000);
  EXPECT_EQ(Tx("00200081053838383838"), 0x9000);
  EXPECT_EQ(Tx("002000810431323334"), 0x63C2);
  EXPECT_EQ(Tx("002400810C39393939FFFFFFFF31313131"), 0x63C1);  // wrong old value counts
  EXPECT_EQ(Tx("002401810431313131"), 0x6982);
  ASSERT_EQ(Tx("00200004083837363534333231"), 0x9000);
  EXPECT_EQ(Tx("002401810431313131"), 0x9000);
  EXPECT_EQ(Tx("002000810431313131"), 0x9000);
  EXPECT_EQ(Tx("002402810431313131"), 0x6A86);
  EXPECT_EQ(Tx("002400900431313131"), 0x6A88);
}

TEST_F(Engine, CreatesPinObjectsThatStartUninitialised) {
  Open("blank-model3.card");
  Bytes pin = T(0x62, Cat({T(0x82, {0x21}),
                           T(0xA5, Cat({T(0x83, {0x10}), T(0x90, {4}), T(0x91, {8}),
                                        T(0x92, {0xFF}), T(0x93, {3})}))}));
  ASSERT_EQ(Tx(Apdu("00E00000", pin)), 0x9000);
  EXPECT_EQ(Tx(Apdu("00E00000", pin)), 0x6A89);
  EXPECT_EQ(Tx("00200010"), 0x6984);
  EXPECT_EQ(Tx("002000100431323334"), 0x6984);
  EXPECT_EQ(Tx("002C011004 31323334"), 0x6A88);  // no unblocking PIN
  ASSERT_EQ(Tx("002C02100431323334"), 0x9000);
  EXPECT_EQ(Tx("00200010"), 0x63C3);
  EXPECT_EQ(Tx("002000100431323334"), 0x9000);
  // with a value and an unblocking reference
  Bytes pin2 = T(0x62, Cat({T(0x82, {0x21}),
                            T(0xA5, Cat({T(0x83, {0x11}), T(0x93, {2}), T(0x94, {0x10}),
                                         T(0x95, Unhex("35353535"))}))}));
  ASSERT_EQ(Tx(Apdu("00E00000", pin2)), 0x9000);
  EXPECT_EQ(Tx("00200011"), 0x63C2);
  EXPECT_EQ(Tx("002000110435353535"), 0x9000);
  // deleting a PIN object by reference
  EXPECT_EQ(Tx("00E4200001 11"), 0x9000);
  EXPECT_EQ(Tx("00200011"), 0x6A88);
  // PIN 81 of the MF, unblocked by 11 and set under 86, neither of which stands: in a DF of
  // one's own, no global 11 can be made and a local 86 meets no rule of PIN 81's DF
  ASSERT_EQ(Tx(Apdu("00E00000", T(0x62, Cat({T(0x82, {0x21}), T(0xAB, Unhex("800102A406830186950108")),
                                             T(0xA5, Unhex("830181 940111 950431323334"))})))), 0x9000);
  ASSERT_EQ(Tx("00E000000C620A820138830240008A0105"), 0x9000);
  EXPECT_EQ(Tx("00E0000010620E820121A509830111950435353535"), 0x6A80);
  ASSERT_EQ(Tx("00E0000010620E820121A509830186950435353535"), 0x9000);
  ASSERT_EQ(Tx("002000860435353535"), 0x9000);
  EXPECT_EQ(Tx("002C02810439393939"), 0x6982);
  EXPECT_EQ(Tx("002C0081083535353539393939"), 0x6A88);
  EXPECT_EQ(Tx("002000810431323334"), 0x9000);
}

TEST_F(Engine, SignaturesVerifyWithOpenSsl) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  RSA* rsa = PublicKey();
  ASSERT_EQ(RSA_size(rsa), 256);
  ASSERT_EQ(Tx("0020008108313233 34FFFFFFFF"), 0x9000);

  const char msg[] = "message to sign";
  uint8_t d256[32], d1[20];
  SHA256(reinterpret_cast<const uint8_t*>(msg), sizeof msg - 1, d256);
  SHA1(reinterpret_cast<const uint8_t*>(msg), sizeof msg - 1, d1);

  // bare SHA-256 digest, the card adds the DigestInfo
  ASSERT_EQ(Tx("002241B606800113840101"), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A9E9A", Bytes(d256, d256 + 32), 0)), 0x9000);
  ASSERT_EQ(data_.size(), 256u);
  EXPECT_EQ(RSA_verify(NID_sha256, d256, 32, data_.data(), 256, rsa), 1);
  EXPECT_EQ(Tx(Apdu("002A9E9A", Bytes(d1, d1 + 20), 0)), 0x6700);

  // the caller's DigestInfo (SHA-1)
  ASSERT_EQ(Tx("002241B606800102840101"), 0x9000);
  Bytes di = Cat({Unhex("3021300906052B0E03021A05000414"), Bytes(d1, d1 + 20)});
  ASSERT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha1, d1, 20, data_.data(), 256, rsa), 1);

  // raw: a whole block in, the private-key operation out
  ASSERT_EQ(Tx("002241B606800100840101"), 0x9000);
  Bytes block(256, 0x5A);
  block[0] = 0x00;
  Bytes cmd = Unhex("002A9E9A000100");
  cmd.insert(cmd.end(), block.begin(), block.end());
  cmd.push_back(0x00);
  cmd.push_back(0x00);
  ASSERT_EQ(Tx(cmd), 0x9000);
  ASSERT_EQ(data_.size(), 256u);
  Bytes back(256);
  ASSERT_EQ(RSA_public_decrypt(256, data_.data(), back.data(), rsa, RSA_NO_PADDING), 256);
  EXPECT_EQ(back, block);

  // unknown algorithm and missing key
  EXPECT_EQ(Tx("002241B606800177840101"), 0x6A80);
  EXPECT_EQ(Tx("002241B606800102840133"), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x6A88);
  // the key addressed by its file
  ASSERT_EQ(Tx("002241B60980010281043F004B01"), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x6A88);  // 3F00/4B01 does not exist
  ASSERT_EQ(Tx("002241B608800102810350154B"), 0x6A80);  // odd path
  ASSERT_EQ(Tx("002241B60780010281024B01"), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x9000);
  // RESTORE: environment n names the key n; one without a key clears
  ASSERT_EQ(Tx("0022F309"), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x6985);
  ASSERT_EQ(Tx("0022F301"), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha1, d1, 20, data_.data(), 256, rsa), 1);
  RSA_free(rsa);
}

TEST_F(Engine, DeciphersChainedCryptograms) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  RSA* rsa = PublicKey();
  ASSERT_EQ(Tx("0020008108313233 34FFFFFFFF"), 0x9000);
  const uint8_t secret[] = "session key bytes";
  Bytes ct(256);
  ASSERT_EQ(RSA_public_encrypt(sizeof secret, secret, ct.data(), rsa, RSA_PKCS1_PADDING), 256);
  ASSERT_EQ(Tx("002241B806800102840101"), 0x9000);
  // padding indicator + 256 bytes, sent in two chained parts
  Bytes in = Cat({Bytes{0x00}, ct});
  Bytes first(in.begin(), in.begin() + 128), rest(in.begin() + 128, in.end());
  ASSERT_EQ(Tx(Apdu("102A8086", first)), 0x9000);
  EXPECT_TRUE(data_.empty());
  ASSERT_EQ(Tx(Apdu("002A8086", rest, 0)), 0x9000);
  EXPECT_EQ(data_, Bytes(secret, secret + sizeof secret));

  // raw deciphering gives the whole block
  ASSERT_EQ(Tx("002241B806800100840101"), 0x9000);
  ASSERT_EQ(Tx(Apdu("102A8086", first)), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A8086", rest, 0)), 0x9000);
  ASSERT_EQ(data_.size(), 256u);
  EXPECT_EQ(data_[0], 0x00);
  EXPECT_EQ(data_[1], 0x02);

  // a block that is not PKCS#1 type 2 is refused
  ASSERT_EQ(Tx("002241B806800102840101"), 0x9000);
  Bytes junk(256, 0x33);
  Bytes enc(256);
  ASSERT_EQ(RSA_public_encrypt(256, junk.data(), enc.data(), rsa, RSA_NO_PADDING), 256);
  ASSERT_EQ(Tx(Apdu("102A8086", Bytes(enc.begin(), enc.begin() + 100))), 0x9000);
  EXPECT_EQ(Tx(Apdu("002A8086", Bytes(enc.begin() + 100, enc.end()), 0)), 0x6A80);
  // a chain broken by another command is refused
  ASSERT_EQ(Tx(Apdu("102A8086", first)), 0x9000);
  EXPECT_EQ(Tx("0084000008"), 0x6883);
  // wrong length
  EXPECT_EQ(Tx(Apdu("002A8086", Bytes(100, 1), 0)), 0x6700);
  RSA_free(rsa);
}

TEST_F(Engine, GeneratesKeyPairsWithAndWithoutThePublicPart) {
  Open("blank-model3.card");
  ASSERT_EQ(Tx(Apdu("00E00000", KeyFcp(0x4B10, 0x10, 1024))), 0x9000);
  EXPECT_EQ(Tx(Apdu("00E00000", KeyFcp(0x4B11, 0x10, 1024))), 0x6A89);  // reference taken
  EXPECT_EQ(Tx("0046811000"), 0x6A88);  // nothing to read yet
  ASSERT_EQ(Tx("0046001000"), 0x9000);
  Bytes pub, n, e;
  ASSERT_TRUE(Find(data_, 0x7F49, &pub));
  ASSERT_TRUE(Find(pub, 0x81, &n));
  ASSERT_TRUE(Find(pub, 0x82, &e));
  EXPECT_EQ(n.size(), 128u);
  EXPECT_EQ(ToHex(e), "010001");
  RSA* rsa = RSA_new();
  RSA_set0_key(rsa, BN_bin2bn(n.data(), int(n.size()), nullptr),
               BN_bin2bn(e.data(), int(e.size()), nullptr), nullptr);
  uint8_t dig[32] = {1, 2, 3};
  ASSERT_EQ(Tx("002241B606800113840110"), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A9E9A", Bytes(dig, dig + 32), 0)), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha256, dig, 32, data_.data(), unsigned(data_.size()), rsa), 1);
  RSA_free(rsa);

  // without the public part, with exponent 3 and another length
  ASSERT_EQ(Tx(Apdu("00E00000", KeyFcp(0x4B12, 0x12, 1024))), 0x9000);
  ASSERT_EQ(Tx(Apdu("00460112", Cat({T(0x80, {0x03, 0x00}), T(0x82, {0x03})}))), 0x9000);
  EXPECT_TRUE(data_.empty());
  ASSERT_EQ(Tx("0046811200"), 0x9000);
  ASSERT_TRUE(Find(data_, 0x7F49, &pub));
  ASSERT_TRUE(Find(pub, 0x81, &n));
  ASSERT_TRUE(Find(pub, 0x82, &e));
  EXPECT_EQ(n.size(), 96u);
  EXPECT_EQ(ToHex(e), "03");
  EXPECT_EQ(Tx(Apdu("00460012", T(0x82, {0x04}))), 0x6A80);  // even exponent
  EXPECT_EQ(Tx(Apdu("00460012", T(0x80, {0x00, 0x10}))), 0x6A80);
  // the key survives in the image
  Reopen();
  ASSERT_EQ(Tx("0046811200"), 0x9000);
  Bytes pub2;
  ASSERT_TRUE(Find(data_, 0x7F49, &pub2));
  EXPECT_EQ(pub2, pub);
}

TEST_F(Engine, ImportsKeyComponentsAndDerivesTheRest) {
  Open("blank-model3.card");
  RSA* key = RSA_new();
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  ASSERT_EQ(RSA_generate_key_ex(key, 1024, e, nullptr), 1);
  BN_free(e);
  const BIGNUM *n, *pe, *d, *p, *q;
  RSA_get0_key(key, &n, &pe, &d);
  RSA_get0_factors(key, &p, &q);
  auto bytes = [](const BIGNUM* b) {
    Bytes o(size_t(BN_num_bytes(b)));
    BN_bn2bin(b, o.data());
    return o;
  };
  ASSERT_EQ(Tx(Apdu("00E00000", KeyFcp(0x4B20, 0x20, 1024))), 0x9000);
  // p and q in one chained part, e in the last: n, d and the CRT values follow
  ASSERT_EQ(Tx(Apdu("10DB0020", Cat({T(0x84, bytes(p)), T(0x85, bytes(q))}))), 0x9000);
  ASSERT_EQ(Tx(Apdu("00DB0020", T(0x82, bytes(pe)))), 0x9000);
  EXPECT_EQ(Tx(Apdu("00DB0020", T(0x99, {1}))), 0x6A80);
  ASSERT_EQ(Tx("0046812000"), 0x9000);
  Bytes pub, cn;
  ASSERT_TRUE(Find(data_, 0x7F49, &pub));
  ASSERT_TRUE(Find(pub, 0x81, &cn));
  EXPECT_EQ(cn, bytes(n));
  uint8_t dig[20] = {9, 8, 7};
  ASSERT_EQ(Tx("002241B606800111840120"), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A9E9A", Bytes(dig, dig + 20), 0)), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha1, dig, 20, data_.data(), unsigned(data_.size()), key), 1);
  RSA_free(key);
  // delete the key by reference
  EXPECT_EQ(Tx("00E4100001 20"), 0x9000);
  EXPECT_EQ(Tx("0046812000"), 0x6A88);
}

// Models 1, 3 and 4 keep keys in files without a reference: such a key is made,
// generated, imported, used and deleted by its file, and no reference reaches it.
// The other models name every key by a reference and refuse a key file without one.
TEST_F(Engine, KeyFilesWithoutAReferenceAreUsedByTheirFileOnModelsOneThreeAndFour) {
  Open("blank-model3.card");
  const std::string blank = ReadFile(path_);
  auto keyFcp = [](uint16_t fid) {
    return T(0x62, Cat({T(0x82, {0x11}), T(0x83, {uint8_t(fid >> 8), uint8_t(fid)}), T(0x8A, {0x05}),
                        T(0xA5, T(0x80, {0x04, 0x00}))}));
  };
  auto rsaOf = [](const Bytes& n, const Bytes& e) {
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, BN_bin2bn(n.data(), int(n.size()), nullptr), BN_bin2bn(e.data(), int(e.size()), nullptr),
                 nullptr);
    return rsa;
  };
  uint8_t dig[20] = {7, 7, 7};
  const Bytes di = Cat({Unhex("3021300906052B0E03021A05000414"), Bytes(dig, dig + 20)});
  for (int model = 0; model < 8; ++model) {
    SCOPED_TRACE(model);
    std::string text = blank, err;
    text.replace(text.find("model 3"), 7, "model " + std::to_string(model));
    card_ = Card::Parse(text, &err);
    ASSERT_TRUE(card_) << err;
    const bool byFile = model == 1 || model == 3 || model == 4;
    ASSERT_EQ(Tx(Apdu("00E00000", keyFcp(0x6000))), byFile ? 0x9000 : 0x6A80);
    if (!byFile) continue;
    ASSERT_EQ(Tx("00A40000026000"), 0x9000);
    Bytes inner, a5, ref, pub, n, e;
    ASSERT_TRUE(Find(data_, 0x62, &inner));
    ASSERT_TRUE(Find(inner, 0xA5, &a5));
    EXPECT_FALSE(Find(a5, 0x83, &ref));  // the header names no reference
    // Generated in the selected key file.
    ASSERT_EQ(Tx("0046000000"), 0x9000);
    ASSERT_TRUE(Find(data_, 0x7F49, &pub));
    ASSERT_TRUE(Find(pub, 0x81, &n));
    ASSERT_TRUE(Find(pub, 0x82, &e));
    RSA* rsa = rsaOf(n, e);
    // Signed and deciphered with the security environment naming the file.
    ASSERT_EQ(Tx("002241B60780010281026000"), 0x9000);
    ASSERT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x9000);
    EXPECT_EQ(RSA_verify(NID_sha1, dig, 20, data_.data(), unsigned(data_.size()), rsa), 1);
    const uint8_t secret[] = "by its file";
    Bytes ct(128);
    ASSERT_EQ(RSA_public_encrypt(sizeof secret, secret, ct.data(), rsa, RSA_PKCS1_PADDING), 128);
    ASSERT_EQ(Tx("002241B80780010281026000"), 0x9000);
    ASSERT_EQ(Tx(Apdu("002A8086", Cat({Bytes{0x00}, ct}), 0)), 0x9000);
    EXPECT_EQ(data_, Bytes(secret, secret + sizeof secret));
    RSA_free(rsa);
    // No reference names it: not the security environment, not a stored one, not deletion.
    ASSERT_EQ(Tx("002241B606800102840100"), 0x9000);
    EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x6A88);
    ASSERT_EQ(Tx("0022F300"), 0x9000);
    EXPECT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x6985);
    EXPECT_EQ(Tx("00E4100001 00"), 0x6A88);
    // Imported into a second key file, selected as it was made.
    RSA* key = RSA_new();
    BIGNUM* f4 = BN_new();
    BN_set_word(f4, 65537);
    ASSERT_EQ(RSA_generate_key_ex(key, 1024, f4, nullptr), 1);
    BN_free(f4);
    const BIGNUM *kn, *ke, *kd, *kp, *kq;
    RSA_get0_key(key, &kn, &ke, &kd);
    RSA_get0_factors(key, &kp, &kq);
    auto bytes = [](const BIGNUM* b) {
      Bytes o(size_t(BN_num_bytes(b)));
      BN_bn2bin(b, o.data());
      return o;
    };
    ASSERT_EQ(Tx("00A40000023F00"), 0x9000);
    ASSERT_EQ(Tx(Apdu("00E00000", keyFcp(0x6001))), 0x9000);
    ASSERT_EQ(Tx(Apdu("00DB0000", Cat({T(0x84, bytes(kp)), T(0x85, bytes(kq)), T(0x82, bytes(ke))}))), 0x9000);
    ASSERT_EQ(Tx("002241B60780010281026001"), 0x9000);
    ASSERT_EQ(Tx(Apdu("002A9E9A", di, 0)), 0x9000);
    EXPECT_EQ(RSA_verify(NID_sha1, dig, 20, data_.data(), unsigned(data_.size()), key), 1);
    RSA_free(key);
    // The image keeps both without a reference; each goes by its file.
    const std::string image = card_->Serialise();
    EXPECT_NE(image.find("\nkey 3F00/6000 lcs=05 bits=1024 "), std::string::npos) << image;
    EXPECT_NE(image.find("\nkey 3F00/6001 lcs=05 bits=1024 "), std::string::npos) << image;
    card_ = Card::Parse(image, &err);
    ASSERT_TRUE(card_) << err;
    ASSERT_EQ(Tx("00E4000002 6000"), 0x9000);
    ASSERT_EQ(Tx("00E4000002 6001"), 0x9000);
    EXPECT_EQ(card_->Serialise().find("\nkey "), std::string::npos);
  }
}

TEST_F(Engine, ImageKeepsChangesAcrossProcesses) {
  Open("pkcs15-model3.card");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // another process: its own engine over the same image file
    std::string err;
    auto c = Card::Load(path_, &err);
    if (!c) _exit(10);
    auto sw = [&](const std::string& h) {
      Bytes r = c->Transmit(Unhex(h), false);
      return r.size() >= 2 ? (r[r.size() - 2] << 8 | r[r.size() - 1]) : 0;
    };
    if (sw("00A40800025015") != 0x9000) _exit(11);
    if (sw("002000810439393939") != 0x63C2) _exit(12);
    if (sw("0020008108 31323334FFFFFFFF") != 0x9000) _exit(13);
    if (sw("00A40200025701") != 0x9000) _exit(14);
    if (sw("00D6000004 CAFEBABE") != 0x9000) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  Reopen();
  ASSERT_EQ(Tx("00A408000450155701"), 0x9000);
  ASSERT_EQ(Tx("00B0000004"), 0x9000);
  EXPECT_EQ(ToHex(data_), "CAFEBABE");
  EXPECT_EQ(Tx("00200081"), 0x63C3);  // the right value reset the counter
  // the verification itself is volatile
  EXPECT_EQ(Tx("00D6000001 00"), 0x6982);

  // what is written reads back the same
  std::string text = card_->Serialise();
  std::string err;
  auto again = Card::Parse(text, &err);
  ASSERT_TRUE(again) << err;
  EXPECT_EQ(again->Serialise(), text);
}

TEST_F(Engine, TransportRulesOfT0AndLongResponses) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("00A40000023F00", true) & 0xFF00, 0x6100);
  size_t n = sw_ & 0xFF;
  ASSERT_GT(n, 10u);
  EXPECT_EQ(Tx("00C00000" + ToHex(Bytes{uint8_t(n + 5)}), true), 0x6C00 | n);
  ASSERT_EQ(Tx("00C0000005", true), 0x6100 | (n - 5));  // part, the rest still waits
  EXPECT_EQ(data_.size(), 5u);
  ASSERT_EQ(Tx("00C00000" + ToHex(Bytes{uint8_t(n - 5)}), true), 0x9000);
  EXPECT_EQ(data_.size(), n - 5);
  EXPECT_EQ(Tx("00C0000010", true), 0x6985);  // nothing waits
  // case 2 on T=0: P3 must match
  ASSERT_EQ(Tx("00A4080C0450155032", true), 0x9000);
  ASSERT_EQ(Tx("00B0000010", true), 0x9000);
  EXPECT_EQ(data_.size(), 16u);
  ASSERT_EQ(Tx("00A408000450155501", true) & 0xFF00, 0x6100);
  // the public key file holds 270 bytes: Le 00 (256) fits, the rest is 14
  ASSERT_EQ(Tx("00B0000000", true), 0x9000);
  EXPECT_EQ(data_.size(), 256u);
  EXPECT_EQ(Tx("00B0010000", true), 0x6C0E);

  // T=1: answers longer than Le wait for GET RESPONSE
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  ASSERT_EQ(Tx("0020008108313233 34FFFFFFFF"), 0x9000);
  ASSERT_EQ(Tx("002241B606800102840101"), 0x9000);
  ASSERT_EQ(Tx(Apdu("002A9E9A", Bytes(35, 0x11), 0x80)), 0x6180);
  EXPECT_EQ(data_.size(), 128u);
  ASSERT_EQ(Tx("00C0000000"), 0x9000);
  EXPECT_EQ(data_.size(), 128u);
}

TEST_F(Engine, HostileCommandsGetStatusWordsNeverCrashes) {
  Open("pkcs15-model3.card");
  std::string err;
  auto card = Card::Parse(ReadFile(path_), &err);  // no file: nothing is written
  ASSERT_TRUE(card) << err;
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00A4"), false)), "6700");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00A4000005 3F00"), false)), "6700");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00A40000 0000"), false)), "6700");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("FFA40000"), false)), "6E00");
  // secure messaging without a channel; a class of no channel the card offers
  EXPECT_EQ(ToHex(card->Transmit(Unhex("0CA40000023F00"), false)), "6988");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("04A40000023F00"), false)), "6882");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("08A40000023F00"), false)), "6882");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00EE0000"), false)), "6D00");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00E00000 04 62 82 01 01"), false)), "6A80");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00E00000 04 62 02 82 05"), false)), "6A80");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00220000"), false)), "6A86");
  EXPECT_EQ(ToHex(card->Transmit(Unhex("002241B6 02 84 05"), false)), "6A80");
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes a(size_t(rng() % 40));
    for (auto& b : a) b = uint8_t(rng());
    if (a.size() > 1 && (rng() % 2)) a[0] = 0x00;
    if (a.size() > 1 && (rng() % 3 == 0)) a[1] = uint8_t("\xA4\xB0\xD6\xE0\xE4\x20\x24\x2C\x22\x2A\x46\xDB\xCA\xCB\xC0"[rng() % 15]);
    if (a.size() > 5 && (rng() % 2)) a[4] = uint8_t(a.size() - 5);
    Bytes r = card->Transmit(a, rng() % 2);
    ASSERT_GE(r.size(), 2u);
  }
}

TEST_F(Engine, MalformedImagesAreRefusedWithAReason) {
  const char* bad[] = {
      "",
      "cardsim-image 2\n",
      "cardsim-image 1\nmodel 3\n",                                  // no MF, no ATR
      "cardsim-image 1\natr 3B00\nef 3F00/2F00 size=4\n",           // EF before the MF
      "cardsim-image 1\natr 3B00\ndf 3F00\ndf 3F00\n",              // MF twice
      "cardsim-image 1\natr 3B00\ndf 3F00\nef 3F00/2F00 data=ABC\n",  // odd hex
      "cardsim-image 1\natr 3B00\ndf 3F00\nef 3F00/2F00 size=1 data=ABCD\n",
      "cardsim-image 1\natr 3B00\ndf 3F00\nef 3F00/5015/4401 size=1\n",  // no parent
      "cardsim-image 1\natr 3B00\ndf 3F00\nef 3F00/2F00 colour=red\n",
      "cardsim-image 1\natr 3B00\ndf 3F00 ac=read:always\n",  // no such mode on a DF
      "cardsim-image 1\natr 3B00\ndf 3F00 ac=delete:pin:100\n",
      "cardsim-image 1\natr 3B00\ndf 3F00\npin 3F00 ref=01 tries=3 left=4\n",
      "cardsim-image 1\natr 3B00\ndf 3F00\npin 3F00 ref=01\npin 3F00 ref=01\n",
      "cardsim-image 1\natr 3B00\ndf 3F00\ndf 3F00/5015\npin 3F00/5015 ref=7F\n",  // global, not in the MF
      "cardsim-image 1\natr 3B00\ndf 3F00\nkey 3F00/4B01 bits=1024\n",  // no reference on model 0
      "cardsim-image 1\nmodel 7\natr 3B00\ndf 3F00\nkey 3F00/4B01 bits=1024\n",
      "cardsim-image 1\nmodel 3\natr 3B00\ndf 3F00\nkey 3F00/4B01 ref=1FF bits=1024\n",
      "cardsim-image 1\nmodel 9\natr 3B00\ndf 3F00\n",
      "cardsim-image 1\natr 3B\ndf 3F00\n",
      "cardsim-image 1\natr 3B00\ndf 3F0\n",
  };
  for (const char* text : bad) {
    std::string err;
    EXPECT_FALSE(Card::Parse(text, &err)) << text;
    EXPECT_FALSE(err.empty()) << text;
  }
  std::string err;
  EXPECT_FALSE(Card::Load("/nonexistent/card", &err));
  EXPECT_NE(err.find("cannot open"), std::string::npos);
  EXPECT_TRUE(Card::Parse("cardsim-image 1\n# comment\natr 3B00\ndf 3F00\n", &err)) << err;
}

TEST_F(Engine, ChallengeSerialAndLifeCycleData) {
  Open("pkcs15-model3.card");
  ASSERT_EQ(Tx("0084000008"), 0x9000);
  Bytes a = data_;
  ASSERT_EQ(Tx("0084000008"), 0x9000);
  EXPECT_EQ(a.size(), 8u);
  EXPECT_NE(a, data_);
  ASSERT_EQ(Tx("00CA005A00"), 0x9000);
  std::string text = ReadFile(path_);
  size_t at = text.find("serial ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(ToHex(data_), text.substr(at + 7, 16));
  ASSERT_EQ(Tx("00CA008A00"), 0x9000);
  EXPECT_EQ(ToHex(data_), "0F");
  EXPECT_EQ(Tx("00CA9F7F00"), 0x6A88);  // no GlobalPlatform data on model 3
  EXPECT_EQ(Tx("80F0800F"), 0x6D00);
  EXPECT_EQ(Tx("00CB3FFF00"), 0x6D00);
}

TEST_F(Engine, GlobalPlatformModelFollowsItsLifeCycle) {
  // A not-activated IAS-ECC card that asks for no secure channel.
  Generate("pkcs15 --model 7 --lifecycle 07");
  Bytes atr = card_->Atr();
  ASSERT_EQ(atr.size(), 20u);
  EXPECT_EQ(atr[16], 0x07);  // life cycle in the status indicator
  ASSERT_EQ(Tx("00CA008A00"), 0x9000);
  EXPECT_EQ(ToHex(data_), "07");
  ASSERT_EQ(Tx("80F0800F"), 0x9000);
  atr = card_->Atr();
  EXPECT_EQ(atr[16], 0x0F);
  uint8_t x = 0;
  for (size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
  EXPECT_EQ(x, 0);  // the check byte still holds
  Reopen();
  EXPECT_EQ(card_->Atr(), atr);
  // CPLC with the IC serial number, the issuer security domain, the applet
  ASSERT_EQ(Tx("80CA9F7F00"), 0x9000);
  EXPECT_EQ(data_.size(), 45u);
  ASSERT_EQ(Tx("00A4040008A000000151000000"), 0x9000);
  EXPECT_EQ(data_[0], 0x6F);
  ASSERT_EQ(Tx("00A4040009F04341524453494D07"), 0x9000);  // the applet is the MF
  // security data object of a PIN: tries and tries left
  ASSERT_EQ(Tx("00A40800025015"), 0x9000);
  ASSERT_EQ(Tx("002000810439393939"), 0x63C2);
  ASSERT_EQ(Tx("00CB3FFF0A4D087006BF818102A08000"), 0x9000);
  Bytes a0, v;
  ASSERT_GE(data_.size(), 6u);
  EXPECT_EQ(ToHex(data_).substr(0, 6), "BF8181");
  ASSERT_TRUE(Find(Bytes(data_.begin() + 4, data_.end()), 0xA0, &a0));
  ASSERT_TRUE(Find(a0, 0x9A, &v));
  EXPECT_EQ(ToHex(v), "03");
  ASSERT_TRUE(Find(a0, 0x9B, &v));
  EXPECT_EQ(ToHex(v), "02");
  EXPECT_EQ(Tx("00CB3FFF0A4D087006BF817702A08000"), 0x6A88);
}

TEST_F(Engine, LifeCycleCommandsAndInjectedStatusWords) {
  Open("blank-model3.card");
  ASSERT_EQ(Tx(Apdu("00E00000", EfFcp(0x1111, 8))), 0x9000);
  ASSERT_EQ(Tx("00040000"), 0x9000);  // deactivate the current EF
  EXPECT_EQ(Tx("00B0000001"), 0x6985);
  EXPECT_EQ(Tx("00A40000021111"), 0x6283);
  ASSERT_EQ(Tx("00440000"), 0x9000);
  EXPECT_EQ(Tx("00B0000001"), 0x9000);
  ASSERT_EQ(Tx("00E80000"), 0x9000);
  EXPECT_EQ(Tx("00440000"), 0x6985);  // terminated for good
  EXPECT_EQ(Tx("00E60000021111"), 0x6981);  // not a DF: refused

  card_->InjectSw(0xA4, 0x6F00, 2);
  EXPECT_EQ(Tx("00A40000023F00"), 0x6F00);
  EXPECT_EQ(Tx("00B0000001"), 0x6985);  // other instructions run
  EXPECT_EQ(Tx("00A40000023F00"), 0x6F00);
  EXPECT_EQ(Tx("00A40000023F00"), 0x9000);
  card_->InjectSw(0x100, 0x6581, 1);
  EXPECT_EQ(Tx("0084000008"), 0x6581);
  // A failure at the third select only: the first two run.
  card_->InjectSwAfter(0xA4, 0x6A80, 2, 1);
  EXPECT_EQ(Tx("0084000008"), 0x9000);  // other instructions run
  EXPECT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx("00A40000023F00"), 0x9000);
  EXPECT_EQ(Tx("00A40000023F00"), 0x6A80);
  EXPECT_EQ(Tx("00A40000023F00"), 0x9000);

  ASSERT_EQ(Tx("00FE0000"), 0x9000);  // terminate the card
  EXPECT_EQ(Tx("00A40000023F00"), 0x6A81);
  Reopen();
  EXPECT_EQ(Tx("00A40000023F00"), 0x6A81);
}

}  // namespace
