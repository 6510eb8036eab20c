// The generated card images: each loads, carries a well-formed ATR naming its
// model, and the PKCS#15 cards hold what their directory files say: the
// certificate and public-key files match the card's key, whose signatures
// verify with the certificate's key (all checked with OpenSSL).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/engine.h"

using cardsim::Bytes;
using cardsim::Card;
using namespace cardsim_test;

namespace {

struct Sim {
  explicit Sim(std::unique_ptr<Card> c) : card(std::move(c)) {}
  std::unique_ptr<Card> card;
  uint16_t sw = 0;
  Bytes data;
  uint16_t Tx(const std::string& hex) {
    Bytes r = card->Transmit(Unhex(hex), false);
    if (r.size() < 2) return 0;
    sw = uint16_t(r[r.size() - 2] << 8 | r[r.size() - 1]);
    data.assign(r.begin(), r.end() - 2);
    return sw;
  }
  // Reads a whole transparent EF by path from the MF.
  Bytes ReadFileAt(const std::string& path) {
    Bytes all;
    char hdr[32];
    snprintf(hdr, sizeof hdr, "00A4080C%02zX", path.size() / 2);
    if (Tx(hdr + path) != 0x9000) return all;
    for (size_t off = 0;; off += 200) {
      char cmd[16];
      snprintf(cmd, sizeof cmd, "00B0%04zXC8", off);
      uint16_t s = Tx(cmd);
      if (s == 0x9000) {
        all.insert(all.end(), data.begin(), data.end());
        continue;
      }
      if ((s & 0xFF00) == 0x6C00) {
        snprintf(cmd, sizeof cmd, "00B0%04zX%02X", off, s & 0xFF);
        if (Tx(cmd) == 0x9000) all.insert(all.end(), data.begin(), data.end());
      }
      break;
    }
    return all;
  }
};

std::unique_ptr<Card> Parse(const std::string& name) {
  std::string err;
  auto c = Card::Parse(ReadFile(std::string(CARDSIM_CARDS_DIR) + "/" + name), &err);
  EXPECT_TRUE(c) << name << ": " << err;
  return c;
}

// The same card without its demand for a secure channel (the line "protect"
// left out), so that its structure can be read in the clear.
std::unique_ptr<Card> ParseUnprotected(const std::string& name) {
  std::string text = ReadFile(std::string(CARDSIM_CARDS_DIR) + "/" + name), kept, line;
  std::istringstream in(text);
  while (std::getline(in, line))
    if (line.rfind("protect ", 0) != 0) kept += line + "\n";
  EXPECT_NE(kept.size(), text.size()) << name << " asks for no channel";
  std::string err;
  auto c = Card::Parse(kept, &err);
  EXPECT_TRUE(c) << name << ": " << err;
  return c;
}

// The length of the DER element at the start of b (0 when malformed).
size_t DerLen(const Bytes& b, size_t at = 0) {
  if (b.size() < at + 2) return 0;
  size_t len = b[at + 1], hdr = 2;
  if (len & 0x80) {
    size_t k = len & 0x7F;
    if (k == 0 || k > 2 || b.size() < at + 2 + k) return 0;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = len << 8 | b[at + 2 + i];
    hdr += k;
  }
  return at + hdr + len <= b.size() ? hdr + len : 0;
}

TEST(GeneratedCards, EachImageLoadsWithAWellFormedAtr) {
  struct Row {
    const char* name;
    int model;
    uint8_t lifecycle;
    unsigned so = 0, guarded = 0;  // the SO PIN and a PIN it sets, where the card answers in the clear
  } rows[] = {{"blank-model1.card", 1, 0x0F, 1, 1}, {"blank-model3.card", 3, 0x0F, 4, 4},
              {"blank-model4.card", 4, 0x0F}, {"blank-model7.card", 7, 0x0F, 4, 4},
              {"unknown-atr.card", 0, 0x0F},  {"pkcs15-model3.card", 3, 0x0F, 4, 4},
              {"pkcs15-model3-two-apps.card", 3, 0x0F, 4, 4}, {"qualified-model1.card", 1, 0x0F, 1, 1},
              {"qualified-model1-visible.card", 1, 0x0F, 1, 1}, {"qualified-model3.card", 3, 0x0F, 4, 4},
              {"ias-not-activated.card", 7, 0x07}, {"pkcs15-gp-channel.card", 4, 0x0F},
              {"ias-dh-channel.card", 7, 0x0F},  {"written-to-size-model3.card", 3, 0x0F, 4, 1},
              {"written-to-size-model4.card", 4, 0x0F, 1, 2}, {"written-to-size-model7.card", 7, 0x0F, 1, 2}};
  const auto h = [](unsigned ref) { return ToHex(Bytes{uint8_t(ref)}); };
  for (const Row& r : rows) {
    if (r.so) {  // with no PIN: a DF of one's own, a PIN at the SO's reference in it, then the SO PIN's rules
      Sim a(Parse(r.name));
      ASSERT_EQ(a.Tx("00A4000C023F00"), 0x9000);
      const bool open = a.Tx("00E000000C620A820138830240008A0105") == 0x9000;  // the MF lets anyone
      EXPECT_EQ(a.Tx("00E0000010620E820121A5098301" + h(r.so) + "950431313131"), open ? 0x6A80 : 0x6982) << r.name;
      EXPECT_EQ(a.Tx("002000" + h(r.so) + "0431313131"), 0x63C2) << r.name;
      EXPECT_EQ(a.Tx("002C02" + h(r.guarded) + "0439393939"), 0x6982) << r.name;
      ASSERT_EQ(a.Tx("00A4000C023F00"), 0x9000);
      EXPECT_EQ(a.Tx("00E4200001" + h(r.so)), 0x6982) << r.name;
      EXPECT_EQ(a.Tx("002401" + h(r.so) + "0439393939"), 0x6982) << r.name;
    }
    auto c = Parse(r.name);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->model(), r.model) << r.name;
    const Bytes& atr = c->Atr();
    ASSERT_EQ(atr.size(), 20u) << r.name;
    EXPECT_EQ(atr[0], 0x3B);
    uint8_t x = 0;
    for (size_t i = 1; i < atr.size(); ++i) x ^= atr[i];
    EXPECT_EQ(x, 0) << r.name << ": check byte";
    EXPECT_EQ(c->Protocols(), 3u) << r.name << ": T=0 and T=1";
    std::string hist(atr.begin() + 6, atr.begin() + 15);
    if (r.model) EXPECT_EQ(hist, "CARDSIM-" + std::to_string(r.model)) << r.name;
    else EXPECT_EQ(hist, "OTHERCARD");
    EXPECT_EQ(atr[16], r.lifecycle) << r.name;
  }
  // the blank model-1 card's MF carries the blank-card name and the model code
  Sim s(Parse("blank-model1.card"));
  ASSERT_EQ(s.Tx("00A40000023F00"), 0x9000);
  std::string fcp = ToHex(s.data);
  EXPECT_NE(fcp.find("8406" + ToHex(Bytes{'M', 'I', 'R', 'T', 'A', 'L'})), std::string::npos) << fcp;
  EXPECT_NE(fcp.find("850101"), std::string::npos) << fcp;
}

void CheckApplication(Sim& s, const std::string& df) {
  SCOPED_TRACE(df);
  // ODF entries point at files that exist and hold DER
  Bytes odf = s.ReadFileAt(df + "5031");
  ASSERT_FALSE(odf.empty());
  size_t i = 0;
  int entries = 0;
  while (i < odf.size() && odf[i] != 0x00) {
    size_t n = DerLen(odf, i);
    ASSERT_GT(n, 0u);
    // A0..A8 { 30 { 04 path } }
    ASSERT_EQ(odf[i + 2], 0x30);
    ASSERT_EQ(odf[i + 4], 0x04);
    Bytes path(odf.begin() + long(i) + 6, odf.begin() + long(i) + 6 + odf[i + 5]);
    Bytes content = s.ReadFileAt(ToHex(path).substr(4));
    ASSERT_FALSE(content.empty()) << ToHex(path);
    EXPECT_EQ(content[0], 0x30) << ToHex(path);
    EXPECT_GT(DerLen(content), 0u) << ToHex(path);
    ++entries;
    i += n;
  }
  EXPECT_EQ(entries, 5);

  // the certificate's key is the card's key and is the public-key file's key
  Bytes certDer = s.ReadFileAt(df + "4301");
  const uint8_t* p = certDer.data();
  X509* cert = d2i_X509(nullptr, &p, long(certDer.size()));
  ASSERT_TRUE(cert);
  EVP_PKEY* pk = X509_get_pubkey(cert);
  ASSERT_TRUE(pk);
  const RSA* certRsa = EVP_PKEY_get0_RSA(pk);
  ASSERT_TRUE(certRsa);
  Bytes pubDer = s.ReadFileAt(df + "5501");
  p = pubDer.data();
  RSA* fileRsa = d2i_RSAPublicKey(nullptr, &p, long(pubDer.size()));
  ASSERT_TRUE(fileRsa);
  EXPECT_EQ(BN_cmp(RSA_get0_n(certRsa), RSA_get0_n(fileRsa)), 0);
  EXPECT_EQ(RSA_bits(certRsa), 2048);

  ASSERT_EQ(s.Tx("00A4080C02" + df.substr(4)), 0x9000);
  ASSERT_EQ(s.Tx("0020008108 31323334FFFFFFFF"), 0x9000);
  ASSERT_EQ(s.Tx("002241B606800113840101"), 0x9000);
  uint8_t dig[32];
  SHA256(reinterpret_cast<const uint8_t*>("abc"), 3, dig);
  ASSERT_EQ(s.Tx("002A9E9A20" + ToHex(dig, 32) + "00"), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha256, dig, 32, s.data.data(), unsigned(s.data.size()),
                       const_cast<RSA*>(certRsa)),
            1);
  RSA_free(fileRsa);
  EVP_PKEY_free(pk);
  X509_free(cert);
}

TEST(GeneratedCards, Pkcs15ApplicationsAreConsistent) {
  Sim s(Parse("pkcs15-model3.card"));
  Bytes dir = s.ReadFileAt("2F00");
  ASSERT_GT(dir.size(), 2u);
  EXPECT_EQ(dir[0], 0x61);
  EXPECT_NE(ToHex(dir).find("4F0CA000000063504B43532D3135"), std::string::npos);
  EXPECT_NE(ToHex(dir).find("51043F005015"), std::string::npos);
  CheckApplication(s, "3F005015");

  Sim two(Parse("pkcs15-model3-two-apps.card"));
  Bytes dir2 = two.ReadFileAt("2F00");
  EXPECT_NE(ToHex(dir2).find("51043F005016"), std::string::npos);
  EXPECT_EQ(ToHex(dir2).find("E828BD080F"), std::string::npos);
  CheckApplication(two, "3F005015");
  CheckApplication(two, "3F005016");

  Sim ias(ParseUnprotected("ias-not-activated.card"));
  CheckApplication(ias, "3F005015");
  Sim gp(ParseUnprotected("pkcs15-gp-channel.card"));
  CheckApplication(gp, "3F005015");
  Sim dh(ParseUnprotected("ias-dh-channel.card"));
  CheckApplication(dh, "3F005015");
}

TEST(GeneratedCards, ChannelCardsRefuseCommandsInTheClear) {
  // Before activation the IAS-ECC card answers its identity and the selection
  // of its applications, nothing else.
  Sim ias(Parse("ias-not-activated.card"));
  EXPECT_EQ(ias.Tx("00A4040009F04341524453494D07"), 0x9000);
  EXPECT_EQ(ias.Tx("00CA008A00"), 0x9000);
  EXPECT_EQ(ias.Tx("00A40800025015"), 0x6982);
  EXPECT_EQ(ias.Tx("00B0000001"), 0x6982);
  EXPECT_EQ(ias.Tx("80F0800F"), 0x6982);  // activation only through the channel
  // The GlobalPlatform card: everything of the applet needs the channel.
  Sim gp(Parse("pkcs15-gp-channel.card"));
  EXPECT_EQ(gp.Tx("00A40000023F00"), 0x6982);
  EXPECT_EQ(gp.Tx("00200081"), 0x6982);
  // The key-agreement card reads in the clear but keeps PINs, keys and
  // signatures for the channel.
  Sim dh(Parse("ias-dh-channel.card"));
  Bytes dir = dh.ReadFileAt("2F00");
  EXPECT_FALSE(dir.empty());
  EXPECT_EQ(dh.Tx("00A40800025015"), 0x9000);
  EXPECT_EQ(dh.Tx("00200081"), 0x6982);
  EXPECT_EQ(dh.Tx("002A9E9A0130"), 0x6982);
  EXPECT_EQ(dh.Tx("0046000100"), 0x6982);
  // TokenInfo names the group of the card's key (seInfo of the X9.42 owner,
  // supportedAlgorithms with algorithm 49 and algRef 1).
  Bytes ti = dh.ReadFileAt("50155032");
  std::string hex = ToHex(ti);
  EXPECT_NE(hex.find("060D2B0601040181FD590209050101"), std::string::npos) << hex;
}

TEST(GeneratedCards, QualifiedPartOfTheModel1Card) {
  Sim s(Parse("qualified-model1.card"));
  ASSERT_EQ(s.Tx("00A40800045015 4401"), 0x9000);
  ASSERT_EQ(s.Tx("00A4080004DF01C000"), 0x9000);
  ASSERT_EQ(s.Tx("00B0000004"), 0x9000);
  EXPECT_EQ(ToHex(s.data), "FFFFFFFF");  // the certificate file waits for its certificate
  EXPECT_EQ(s.Tx("00D6000001 30"), 0x6982);
  ASSERT_EQ(s.Tx("00A4080002DF01"), 0x9000);
  EXPECT_EQ(s.Tx("00200081"), 0x63C3);
  EXPECT_EQ(s.Tx("00200081053132333435"), 0x6700);  // the qualified PIN has 6 to 8 digits
  ASSERT_EQ(s.Tx("002000810631323334 3536"), 0x9000);
  ASSERT_EQ(s.Tx("00A40200 02C000"), 0x9000);
  EXPECT_EQ(s.Tx("00D6000001 30"), 0x9000);
  EXPECT_EQ(s.Tx("00A40000024B01"), 0x6A82);
  EXPECT_EQ(s.Tx("00A4080004DF01EFD5"), 0x9000);
  Bytes root = s.ReadFileAt("DF01B000");
  const uint8_t* p = root.data();
  RSA* rsa = d2i_RSAPublicKey(nullptr, &p, long(root.size()));
  EXPECT_TRUE(rsa);
  RSA_free(rsa);
}

// The certificate in `certPath` is that of the key with reference `keyRef` in
// the DF `df` (a path from the MF), which signs once the PIN `pinRef` of that
// DF is verified.
void CheckQualifiedKey(Sim& s, const std::string& df, const std::string& pinRef, const std::string& keyRef,
                       const std::string& certPath) {
  SCOPED_TRACE(certPath);
  Bytes certDer = s.ReadFileAt(certPath);
  const uint8_t* p = certDer.data();
  X509* cert = d2i_X509(nullptr, &p, long(certDer.size()));
  ASSERT_TRUE(cert);
  EVP_PKEY* pk = X509_get_pubkey(cert);
  ASSERT_TRUE(pk);
  char select[32];
  snprintf(select, sizeof select, "00A4080C%02zX", df.size() / 2);
  ASSERT_EQ(s.Tx(select + df), 0x9000);
  uint8_t dig[32];
  SHA256(reinterpret_cast<const uint8_t*>("abc"), 3, dig);
  ASSERT_EQ(s.Tx("002241B6068001138401" + keyRef), 0x9000);
  EXPECT_EQ(s.Tx("002A9E9A20" + ToHex(dig, 32) + "00"), 0x6982);  // not before its PIN
  ASSERT_EQ(s.Tx("002000" + pinRef + "08313233343536FFFF"), 0x9000);
  ASSERT_EQ(s.Tx("002A9E9A20" + ToHex(dig, 32) + "00"), 0x9000);
  EXPECT_EQ(RSA_verify(NID_sha256, dig, 32, s.data.data(), unsigned(s.data.size()),
                       const_cast<RSA*>(EVP_PKEY_get0_RSA(pk))),
            1);
  EVP_PKEY_free(pk);
  X509_free(cert);
}

TEST(GeneratedCards, QualifiedPartsNamedByTheirApplications) {
  // Model 1: the application names the qualified PIN of 3F00/DF01, the key EFD5 and the
  // certificate in C000, which is the key's.
  Sim one(Parse("qualified-model1-visible.card"));
  CheckApplication(one, "3F005015");
  const std::string label = ToHex(Bytes{'P', 'I', 'N', ' ', 'k', 'w', 'a', 'l', 'i', 'f', 'i', 'k', 'o', 'w', 'a', 'n', 'y'});
  std::string aodf = ToHex(one.ReadFileAt("50154401"));
  EXPECT_NE(aodf.find(label), std::string::npos);
  EXPECT_NE(aodf.find("04043F00DF01"), std::string::npos) << aodf;
  EXPECT_NE(ToHex(one.ReadFileAt("50154402")).find("04063F00DF01EFD5"), std::string::npos);
  EXPECT_NE(ToHex(one.ReadFileAt("50154404")).find("04063F00DF01C000"), std::string::npos);
  CheckQualifiedKey(one, "DF01", "81", "05", "DF01C000");
  // Model 3: a PIN named qualified by its label guards the second key of the application.
  Sim three(Parse("qualified-model3.card"));
  CheckApplication(three, "3F005015");
  aodf = ToHex(three.ReadFileAt("50154401"));
  EXPECT_NE(aodf.find(label), std::string::npos);
  EXPECT_NE(ToHex(three.ReadFileAt("50154402")).find("04063F0050154B02"), std::string::npos);
  EXPECT_NE(ToHex(three.ReadFileAt("50154404")).find("04063F0050154302"), std::string::npos);
  CheckQualifiedKey(three, "5015", "83", "02", "50154302");
}

TEST(GeneratedCards, GeneratorWritesEachKindOnRequest) {
  TempDir dir;
  std::string gen = std::string("/usr/bin/python3 ") + CARDSIM_GENERATOR;
  struct Cmd {
    std::string args;
    int model;
  } cmds[] = {{"blank --model 4", 4}, {"blank --model 7", 7}, {"unknown", 0},
              {"pkcs15 --model 7 --apps 2 --lifecycle 07", 7},
              {"pkcs15 --user-pin 9999 --so-pin 11112222", 3}, {"qualified --visible", 1},
              {"qualified --model 3", 3}};
  int i = 0;
  for (const Cmd& c : cmds) {
    std::string out = dir.File("card" + std::to_string(i++));
    ASSERT_EQ(system((gen + " " + c.args + " " + out + " >/dev/null 2>&1").c_str()), 0) << c.args;
    std::string err;
    auto card = Card::Load(out, &err);
    ASSERT_TRUE(card) << c.args << ": " << err;
    EXPECT_EQ(card->model(), c.model);
  }
  EXPECT_NE(system((gen + " blank --model 12 " + dir.File("x") + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_NE(system((gen + " pkcs15 --user-pin 12 " + dir.File("x") + " >/dev/null 2>&1").c_str()), 0);
  // the chosen PINs are the card's
  std::string err;
  auto card = Card::Load(dir.File("card4"), &err);
  ASSERT_TRUE(card) << err;
  Sim s(std::move(card));
  ASSERT_EQ(s.Tx("00A4080C025015"), 0x9000);
  EXPECT_EQ(s.Tx("002000810439393939"), 0x9000);
  EXPECT_EQ(s.Tx("00200004083131313132323232"), 0x9000);
}

}  // namespace
