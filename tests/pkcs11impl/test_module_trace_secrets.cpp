// The trace log with every trace bit on (calls, locks, the bridge's lines, every
// kind of card-layer line and the reader's command trace with each answer's
// status word) on both reader back-ends, the card simulator and
// PC/SC through pcscd and vpcd: logins, PIN changes, unblocking, C_InitPIN,
// InitializeCard, the personalisation agent's login, a secret key made through
// the API, a decryption, random numbers and a secure-messaging session leave
// no PIN, PUK, key, plaintext or random output in it, neither whole nor as its
// first three octets, as text or as hexadecimal with or without blanks. The
// trace file is readable by its owner only.
#include <openssl/bn.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/p11test_template.h"
#include "tests/pkcs11impl/pcscd_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

using Bytes = std::vector<uint8_t>;

const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
// Every trace bit: the bridge's log, every kind of card-layer line, the simulator's
// and PC/SC's call traces, worker threads.
const char* const kAllTraces = "PKCS15Flags = 0x803FE00\nEnableLockLogging = 1\nEnableSecureMessaging = 1\n";

// The test's secrets. Their first three octets never occur in a trace of these
// runs made with the cards' own PINs and keys (checked when they were chosen).
const std::string kUserPin = "Kx9Jw", kNewUserPin = "Vq4Zp", kPuk = "Yh3Ub6Tn", kUnblockedPin = "Gm8Rc",
                  kSoPin = "Wd5Ls2Ek", kInitPin = "Fj6Np", kCardSoPin = "Hb2Xe7Ru", kCardUserPin = "Pw6Dk",
                  kCardUserPuk = "Ns4Yg9Ca";
const Bytes kSecretKey = {0xC7, 0x1D, 0x93, 0x5E, 0xA2, 0x08, 0x6B, 0xF4, 0x3C, 0xD9, 0x71, 0x2E, 0x85, 0xB0, 0x4F, 0xE6};
const std::string kPlainText = "Tz8Qm, for your eyes only";
// Values of session data objects and certificates, private or of the token's default kind.
const Bytes kPrivateData = {0x6E, 0xA3, 0x1F, 0xD4, 0x58, 0x0B, 0xC2, 0x97};
const Bytes kDefaultData = {0x3B, 0xE8, 0x74, 0x0D, 0xA6, 0x51, 0xF9, 0x2C};
const Bytes kPrivateCert = {0xD2, 0x47, 0x9E, 0x13, 0x6C, 0xB5, 0x0A, 0xF8}, kPublicCert = {0x30, 0x06, 0x02, 0x01, 0x07};
const Bytes kSeed = {0xB6, 0x0E, 0x5D, 0x97, 0x2A, 0xF1, 0x64, 0x39};
// The GlobalPlatform key set given to the not-activated card: ENC, MAC, DEK.
const Bytes kEnc = {0x9D, 0x3A, 0x61, 0xC4, 0xE0, 0x7B, 0x52, 0xF8, 0xA1, 0x16, 0x3D, 0xBE, 0x49, 0xC7, 0x05, 0x8E};
const Bytes kMac = {0x2F, 0x84, 0xD6, 0x1B, 0xA9, 0x3E, 0x7C, 0x05, 0xF1, 0x62, 0x8B, 0x4D, 0xE0, 0x37, 0x9A, 0xC6};
const Bytes kDek = {0xE1, 0x5B, 0x08, 0xC3, 0x7F, 0xA2, 0x94, 0x6D, 0xB3, 0x20, 0x5E, 0xC8, 0x1F, 0x7D, 0x4A, 0x93};

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string HexOf(const Bytes& b, const char* separator) { return testsupport::ToHex(b, testsupport::HexCase::Upper, separator); }

std::string Base64(const Bytes& b) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  for (size_t i = 0; i < b.size(); i += 3) {
    const uint32_t n = (b[i] << 16) | ((i + 1 < b.size() ? b[i + 1] : 0) << 8) | (i + 2 < b.size() ? b[i + 2] : 0);
    for (size_t k = 0; k < 4; ++k)
      s += (k <= 1 || i + k - 1 < b.size()) ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
  }
  return s;
}

// The secrets of a run and the forms in which their first three octets could
// stand in the trace; and public values' exact trace lines, which must stand in it.
class Secrets {
 public:
  void Add(const std::string& name, const Bytes& secret, bool asText) {
    const Bytes head(secret.begin(), secret.begin() + static_cast<long>(std::min<size_t>(3, secret.size())));
    forms_.push_back({name, HexOf(head, " ")});
    forms_.push_back({name, HexOf(head, "")});
    if (asText) forms_.push_back({name, std::string(head.begin(), head.end())});
  }
  void Text(const std::string& name, const std::string& secret) { Add(name, B(secret), true); }
  void Shown(const std::string& lines) { shown_.push_back(lines); }
  // A public value the trace shows in hex, left out of the search for secrets.
  void Public(const std::string& hex) { public_.push_back(hex); }
  void ExpectInTrace(const std::string& fullTrace) const {
    for (const auto& lines : shown_) EXPECT_NE(std::string::npos, fullTrace.find(lines)) << lines;
    // A card's serial number, certificate and modulus are no secrets, and their
    // octets may hold the first three of a drawn PIN or of random output by chance.
    std::string trace;
    std::istringstream lines(fullTrace);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("Serial number:", 0) != 0) trace += line + "\n";
    for (const auto& hex : public_)
      for (size_t at; (at = trace.find(hex)) != std::string::npos;) trace.replace(at, hex.size(), "(public)");
    for (const auto& f : forms_) {
      const size_t at = trace.find(f.second);
      EXPECT_EQ(std::string::npos, at) << f.first << " shows as '" << f.second << "' in: "
                                       << (at == std::string::npos ? "" : trace.substr(at < 200 ? 0 : at - 200, 400));
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> forms_;
  std::vector<std::string> shown_, public_;
};

// Sets the value of the card image's PIN with that reference (its "value=" field).
void SetImagePin(const std::string& path, const std::string& ref, const std::string& pin) {
  std::istringstream in(ReadFile(path));
  std::string out;
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("pin ", 0) == 0 && line.find(" ref=" + ref + " ") != std::string::npos) {
      const size_t at = line.find(" value=");
      ASSERT_NE(std::string::npos, at) << line;
      line = line.substr(0, at) + " value=" + HexOf(B(pin), "");
      found = true;
    }
    out += line + "\n";
  }
  ASSERT_TRUE(found) << path << " has no PIN " << ref;
  std::ofstream(path) << out;
}

void SetImageKeys(const std::string& path) {
  std::string text = ReadFile(path);
  const std::string from = "enc=404142434445464748494A4B4C4D4E4F mac=505152535455565758595A5B5C5D5E5F "
                           "dek=606162636465666768696A6B6C6D6E6F";
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << path;
  text.replace(at, from.size(), "enc=" + HexOf(kEnc, "") + " mac=" + HexOf(kMac, "") + " dek=" + HexOf(kDek, ""));
  std::ofstream(path) << text;
}

// The PKCS#15 cards get the test's PINs, the not-activated card the test's key set.
void PrepareImages(const std::string& token, const std::string& channel, const std::string& agent) {
  for (const std::string& image : {token, channel}) {
    SetImagePin(image, "81", kUserPin);
    SetImagePin(image, "82", kPuk);
    SetImagePin(image, "04", kSoPin);
  }
  SetImageKeys(agent);
}

CK_UTF8CHAR_PTR P(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

CK_RV Login(const Module& m, CK_SESSION_HANDLE s, CK_USER_TYPE user, const std::string& pin) {
  return m->C_Login(s, user, P(pin), pin.size());
}

// The index-th slot with a token whose description names the reader.
CK_SLOT_ID SlotOf(const Module& m, const std::string& reader, int index = 0) {
  CK_SLOT_ID ids[32];
  CK_ULONG n = 32;
  if (m->C_GetSlotList(CK_TRUE, ids, &n) != CKR_OK) return ~0UL;
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_SLOT_INFO si;
    if (m->C_GetSlotInfo(ids[i], &si) == CKR_OK && Field(si.slotDescription, 64).rfind(reader, 0) == 0 && index-- == 0)
      return ids[i];
  }
  return ~0UL;
}

std::string Attribute(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (m->C_GetAttributeValue(s, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return "";
  std::string value(a.ulValueLen, '\0');
  a.pValue = &value[0];
  return m->C_GetAttributeValue(s, h, &a, 1) == CKR_OK ? value : "";
}

// PKCS #1 v1.5 encryption (block type 2) with the token's public key, done here with OpenSSL's numbers.
Bytes EncryptFor(const std::string& modulus, const std::string& exponent, const Bytes& plain) {
  const size_t k = modulus.size();
  if (k < plain.size() + 11) return {};
  Bytes block(k, 0);
  block[1] = 2;
  for (size_t i = 2; i < k - plain.size() - 1; ++i) block[i] = static_cast<uint8_t>(0x11 + i % 200);
  std::copy(plain.begin(), plain.end(), block.end() - static_cast<long>(plain.size()));
  BIGNUM* n = BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus.data()), static_cast<int>(k), nullptr);
  BIGNUM* e = BN_bin2bn(reinterpret_cast<const unsigned char*>(exponent.data()), static_cast<int>(exponent.size()), nullptr);
  BIGNUM* x = BN_bin2bn(block.data(), static_cast<int>(k), nullptr);
  BIGNUM* c = BN_new();
  BN_CTX* ctx = BN_CTX_new();
  Bytes out(k, 0);
  if (!(n && e && x && c && ctx && BN_mod_exp(c, x, e, n, ctx) == 1 && BN_bn2binpad(c, out.data(), static_cast<int>(k)) > 0))
    out.clear();
  BN_CTX_free(ctx);
  BN_free(c);
  BN_free(x);
  BN_free(e);
  BN_free(n);
  return out;
}

// Decrypts the test's plain text, enciphered with the token's public key, with its
// private key; the modulus and the cipher text are public values of the trace.
void DecryptPlainText(const Module& m, CK_SESSION_HANDLE s, Secrets* secrets) {
  using modulecalls::FindOne;
  const CK_OBJECT_HANDLE pub = FindOne(m, s, CKO_PUBLIC_KEY), prv = FindOne(m, s, CKO_PRIVATE_KEY);
  ASSERT_NE(CK_INVALID_HANDLE, pub);
  ASSERT_NE(CK_INVALID_HANDLE, prv);
  const std::string modulus = Attribute(m, s, pub, CKA_MODULUS);
  const Bytes enc = EncryptFor(modulus, Attribute(m, s, pub, CKA_PUBLIC_EXPONENT), B(kPlainText));
  ASSERT_FALSE(enc.empty());
  secrets->Public(HexOf(B(modulus), " "));
  secrets->Public(HexOf(enc, " "));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(CKR_OK, m->C_DecryptInit(s, &mech, prv));
  Bytes out(512);
  CK_ULONG len = out.size();
  ASSERT_EQ(CKR_OK, m->C_Decrypt(s, const_cast<CK_BYTE*>(enc.data()), enc.size(), out.data(), &len));
  out.resize(len);
  EXPECT_EQ(B(kPlainText), out);
}

// On a card with two tokens: the user's PIN of the first changed and unblocked
// with the PUK, a secret key made and read back, a decryption and random
// numbers; the officer sets the user PIN of the second, which it guards.
void TokenScenario(const Module& m, CK_SLOT_ID slot, CK_SLOT_ID guarded, Secrets* secrets) {
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, Login(m, s, CKU_USER, kUserPin));
  ASSERT_EQ(CKR_OK, m->C_SetPIN(s, P(kUserPin), kUserPin.size(), P(kNewUserPin), kNewUserPin.size()));
  ASSERT_EQ(CKR_OK, m->C_Logout(s));

  using PinListFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);
  using UnblockFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
  const auto pinList = m.fn<PinListFn>("MIRTAL_PKCS11_GetPinList");
  const auto unblock = m.fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
  ASSERT_TRUE(pinList && unblock);
  CK_OBJECT_HANDLE pins[8];
  CK_ULONG n = 8;
  ASSERT_EQ(CKR_OK, pinList(s, pins, &n));
  ASSERT_GE(n, 1u);
  ASSERT_EQ(CKR_OK, unblock(s, pins[0], P(kPuk), kPuk.size(), P(kUnblockedPin), kUnblockedPin.size()));
  ASSERT_EQ(CKR_OK, Login(m, s, CKU_USER, kUnblockedPin));

  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Ulong(CKA_VALUE_LEN, 16).Bool(CKA_TOKEN, false);
  t.Raw(CKA_VALUE, kSecretKey.data(), kSecretKey.size());
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, t.data(), t.size(), &key));
  EXPECT_EQ(std::string(kSecretKey.begin(), kSecretKey.end()), Attribute(m, s, key, CKA_VALUE));
  // Data objects and certificates that are private, or may be (no CKA_PRIVATE: the
  // token's default), created and read back with their class in the template.
  for (const Bytes* value : {&kPrivateData, &kDefaultData, &kPrivateCert, &kPublicCert}) {
    const bool cert = value == &kPrivateCert || value == &kPublicCert;
    TestTemplate d;
    d.Ulong(CKA_CLASS, cert ? CKO_CERTIFICATE : CKO_DATA).Bool(CKA_TOKEN, false);
    if (cert) d.Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Raw(CKA_SUBJECT, "\x30\x00", 2);
    d.Raw(CKA_VALUE, value->data(), value->size());
    if (value == &kPrivateData || value == &kPrivateCert) d.Bool(CKA_PRIVATE, true);
    CK_OBJECT_HANDLE data = CK_INVALID_HANDLE;
    ASSERT_EQ(CKR_OK, m->C_CreateObject(s, d.data(), d.size(), &data));
    Bytes read(value->size());
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE get[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_VALUE, read.data(), read.size()}};
    ASSERT_EQ(CKR_OK, m->C_GetAttributeValue(s, data, get, 2));
    EXPECT_EQ(*value, read);
  }
  const std::string publicCert = "CKA_VALUE[len=5]: 30 06 02 01 07\n  )";
  secrets->Shown("    CKA_SUBJECT[len=2]: 30 00\n    " + publicCert);
  secrets->Shown("  (CKA_CLASS[len=8]: CKO_CERTIFICATE\n    " + publicCert);
  // The card's certificate, found by its class and value and read alone.
  const std::string der = Attribute(m, s, modulecalls::FindOne(m, s, CKO_CERTIFICATE), CKA_VALUE);
  ASSERT_FALSE(der.empty());
  EXPECT_EQ(1u, modulecalls::Find(m, s, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_VALUE, der)).size());
  const std::string cardCert = "CKA_VALUE[len=" + std::to_string(der.size()) + "]: " + HexOf(B(der), " ") + "\n  )";
  secrets->Shown("  ( CKA_CLASS[len=8]: CKO_CERTIFICATE\n    " + cardCert);
  secrets->Shown("  Template returned:\n  (" + cardCert);
  secrets->Public(HexOf(B(der), " "));

  DecryptPlainText(m, s, secrets);

  // The token may refuse the seed; its call is traced all the same.
  (void)m->C_SeedRandom(s, const_cast<CK_BYTE*>(kSeed.data()), kSeed.size());
  Bytes random(32);
  ASSERT_EQ(CKR_OK, m->C_GenerateRandom(s, random.data(), random.size()));
  secrets->Add("random output", random, false);
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));

  ASSERT_EQ(CKR_OK, m->C_OpenSession(guarded, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, Login(m, s, CKU_SO, kSoPin));
  ASSERT_EQ(CKR_OK, m->C_InitPIN(s, P(kInitPin), kInitPin.size()));
  ASSERT_EQ(CKR_OK, m->C_Logout(s));
  EXPECT_EQ(CKR_OK, Login(m, s, CKU_USER, kInitPin));
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));
}

// A card that takes its PINs and deciphers only over secure messaging.
void ChannelScenario(const Module& m, CK_SLOT_ID slot, Secrets* secrets) {
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, Login(m, s, CKU_USER, kUserPin));
  ASSERT_EQ(CKR_OK, m->C_SetPIN(s, P(kUserPin), kUserPin.size(), P(kNewUserPin), kNewUserPin.size()));
  DecryptPlainText(m, s, secrets);
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));
}

// The personalisation agent logs in with the card's key set as Base64 text.
void AgentScenario(const Module& m, CK_SLOT_ID slot) {
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, kRw, nullptr, nullptr, &s));
  Bytes keys = kEnc;
  keys.insert(keys.end(), kMac.begin(), kMac.end());
  keys.insert(keys.end(), kDek.begin(), kDek.end());
  ASSERT_EQ(CKR_OK, Login(m, s, CKU_MIRTAL_PERSONALIZATION_AGENT, Base64(keys)));
  EXPECT_FALSE(modulecalls::Find(m, s, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE)).empty());
  EXPECT_EQ(CKR_OK, m->C_Logout(s));
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));
}

// InitializeCard on a blank card with the test's PINs, or with PINs it draws
// (then added to the secrets from its PIN output file).
void InitializeScenario(const Module& m, const HostEnv& env, const std::string& reader, bool drawn, Secrets* secrets) {
  const auto init = m.fn<int (*)(const char*, const char*)>("InitializeCard");
  ASSERT_TRUE(init);
  const std::string out = env.Path(drawn ? "drawn.txt" : "pins.txt"), profile = env.Path("profile.ini");
  WriteFile(profile, "OutputPinFile = " + out + "\n" +
                         (drawn ? "[Podpis]\n"
                                : "SoPin = " + kCardSoPin + "\n[Podpis]\nUserPin = " + kCardUserPin +
                                      "\nUserPuk = " + kCardUserPuk + "\n"));
  const auto lastError = m.fn<int (*)(char*, unsigned long*)>("GetLastErrorString");
  char error[2048] = "";
  unsigned long errorLen = sizeof error;
  const int initialised = init(reader.c_str(), profile.c_str());
  if (initialised != 1 && lastError) lastError(error, &errorLen);
  ASSERT_EQ(1, initialised) << error;
  std::istringstream in(ReadFile(out));
  std::string line;
  ASSERT_TRUE(std::getline(in, line)) << out;
  // "Token: L, SerialNumber: S, SoPin: P, SoPuk: P, UserPin: P, UserPuk: P"
  for (const char* name : {"SoPin", "SoPuk", "UserPin", "UserPuk"}) {
    const size_t at = line.find(std::string(name) + ": ");
    ASSERT_NE(std::string::npos, at) << line;
    const size_t from = at + std::strlen(name) + 2, end = line.find(',', from);
    const std::string pin = line.substr(from, end == std::string::npos ? std::string::npos : end - from);
    // Drawn PINs are digits, which times and process ids show by chance: they are looked for in hex only.
    const bool digits = pin.find_first_not_of("0123456789") == std::string::npos;
    if (pin != "<none>") secrets->Add(std::string("initialised ") + name, B(pin), !digits);
  }
  if (drawn) return;
  EXPECT_NE(std::string::npos, line.find("SoPin: " + kCardSoPin + ", ")) << line;
  const CK_SLOT_ID slot = SlotOf(m, reader);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, kRw, nullptr, nullptr, &s));
  EXPECT_EQ(CKR_OK, Login(m, s, CKU_USER, kCardUserPin));
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));
}

// Every secret the scenarios use.
Secrets TestSecrets() {
  Secrets s;
  for (const std::string* pin : {&kUserPin, &kNewUserPin, &kPuk, &kUnblockedPin, &kSoPin, &kInitPin, &kCardSoPin,
                                 &kCardUserPin, &kCardUserPuk})
    s.Text("PIN " + *pin, *pin);
  s.Add("secret key", kSecretKey, false);
  s.Add("seed", kSeed, false);
  s.Add("private data object's value", kPrivateData, false);
  s.Add("data object's value, private by default", kDefaultData, false);
  s.Add("private certificate's value", kPrivateCert, false);
  s.Text("plain text", kPlainText);
  s.Add("ENC key", kEnc, false);
  s.Add("MAC key", kMac, false);
  s.Add("DEK key", kDek, false);
  Bytes keys = kEnc;
  keys.insert(keys.end(), kMac.begin(), kMac.end());
  keys.insert(keys.end(), kDek.begin(), kDek.end());
  s.Text("key set in Base64", Base64(keys));
  return s;
}

// Lines the scenarios leave in the trace, exactly: commands with the status word
// the card answered, and each kind of card-layer line. The trace is there, so the
// search for secrets is not vacuous.
void ExpectLines(const std::string& fullTrace, const std::string& backend) {
  const std::string trace = StripLogPrefixes(fullTrace);
  const std::string rows[] = {
      // a PIN's state asked, a command refused outside the secure channel (the
      // selection of EF.DIR's spare, which comes first)
      backend + ": SCardTransmit(4 bytes: 00 20 00 81 (data not shown)) -> SCARD_S_SUCCESS, 2 bytes, SW 63C3",
      backend + ": SCardTransmit(8 bytes: 00 A4 08 04 02 AF 00 00 ...) -> SCARD_S_SUCCESS, 2 bytes, SW 6982",
      "card: 00 A4 08 04 answered 6982: SC_E_ACCESS_DENIED (Brak dostępu - warunki dostępu nie zostały spełnione)",
      "card: select path 3F00/5015/4B01 -> 9000, key file 4B01, current DF 3F00/5015",
      "card: security environment B8 (deciphering): algorithm 02, key reference 01 -> 9000",
      "card: secure messaging by key agreement (group 1) set up",
      "card: secure messaging: 00 24 00 81 sent as 0C 24 00 81, answer 9000 unwrapped to 9000",
      "card: GlobalPlatform channel (mode 5) opened",
      "card: PIN 81, state: not verified, 3 tries left",
      "card: PIN 81, unblock: unblocked, new value set",
  };
  for (const std::string& line : rows)
    EXPECT_NE(std::string::npos, trace.find("\n" + line + "\n")) << line << "\n" << trace.substr(0, 2000);
}

void ExpectOwnerOnly(const std::string& path) {
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
  EXPECT_EQ(0600u, st.st_mode & 0777u);
}

}  // namespace

TEST(ModuleTraceSecrets, SimulatedCardsLeaveNoSecretInTheTrace) {
  const char* const kToken = "CardSim Reader 0";
  const char* const kChannel = "CardSim Reader 1";
  const char* const kAgent = "CardSim Reader 2";
  const char* const kBlank = "CardSim Reader 3";
  const char* const kBlankDrawn = "CardSim Reader 4";
  SimEnv env(Readers{{kToken, "pkcs15-model3-two-apps-puk.card"},
                     {kChannel, "ias-dh-channel.card"},
                     {kAgent, "ias-not-activated.card"},
                     {kBlank, "blank-model4.card"},
                     {kBlankDrawn, "blank-drawn.card"}});
  WriteFile(env.Card("blank-drawn.card"), ReadFile(env.Card("blank-model4.card")));
  PrepareImages(env.Card("pkcs15-model3-two-apps-puk.card"), env.Card("ias-dh-channel.card"), env.Card("ias-not-activated.card"));
  env.Config(kAllTraces);
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(0, sim.LoadConfig(nullptr));
  Secrets secrets = TestSecrets();
  {
    Module m;
    ASSERT_TRUE(m.ok()) << m.error();
    ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
    TokenScenario(m, SlotOf(m, kToken), SlotOf(m, kToken, 1), &secrets);
    ChannelScenario(m, SlotOf(m, kChannel), &secrets);
    AgentScenario(m, SlotOf(m, kAgent));
    InitializeScenario(m, env, kBlank, false, &secrets);
    InitializeScenario(m, env, kBlankDrawn, true, &secrets);
    EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  }
  const std::string trace = env.Trace();
  ExpectLines(trace, "TARVO-MELK");
  EXPECT_NE(std::string::npos, trace.find("C_Decrypt"));
  EXPECT_NE(std::string::npos, trace.find("C_GenerateRandom"));
  secrets.ExpectInTrace(trace);
  ExpectOwnerOnly(env.Path("trace.log"));
}

TEST(ModuleTraceSecrets, CardsThroughPcscdLeaveNoSecretInTheTrace) {
  HostEnv env;
  pcscdhost::Pcscd pcscd(env.home);
  const std::string why = pcscd.Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string cards = std::string(MIRTAL_BUILD_DIR) + "/cards/";
  const std::string token = env.Path("token.card"), channel = env.Path("channel.card"), agent = env.Path("agent.card"),
                    blank = env.Path("blank.card"), drawn = env.Path("drawn.card");
  WriteFile(token, ReadFile(cards + "pkcs15-model3-two-apps-puk.card"));
  WriteFile(channel, ReadFile(cards + "ias-dh-channel.card"));
  WriteFile(agent, ReadFile(cards + "ias-not-activated.card"));
  WriteFile(blank, ReadFile(cards + "blank-model4.card"));
  WriteFile(drawn, ReadFile(cards + "blank-model4.card"));
  PrepareImages(token, channel, agent);
  env.UserConfig(std::string("EnabledReaderSubsystems = PC/SC\nEnableLogging = 1\nLogFileName = ") +
                 env.Path("trace.log") + "\n" + kAllTraces);
  ASSERT_TRUE(pcscd.StartDaemon()) << pcscd.Log();
  Secrets secrets = TestSecrets();
  // vpcd serves two readers: three rounds of two cards, one module each.
  const std::vector<std::vector<std::string>> rounds = {{token, channel}, {agent, blank}, {drawn}};
  for (size_t round = 0; round < rounds.size(); ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(pcscd.StartCards(rounds[round])) << pcscd.Log();
    {
      Module m;
      ASSERT_TRUE(m.ok()) << m.error();
      ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
      if (round == 0) {
        TokenScenario(m, SlotOf(m, pcscdhost::kReader0), SlotOf(m, pcscdhost::kReader0, 1), &secrets);
        ChannelScenario(m, SlotOf(m, pcscdhost::kReader1), &secrets);
      } else if (round == 1) {
        AgentScenario(m, SlotOf(m, pcscdhost::kReader0));
        InitializeScenario(m, env, pcscdhost::kReader1, false, &secrets);
      } else {
        InitializeScenario(m, env, pcscdhost::kReader0, true, &secrets);
      }
      EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
    }
    pcscd.StopCards();
    // The next cards go into the same readers: pcscd must have seen these go first.
    ASSERT_TRUE(pcscdhost::WaitFor(
        [] { return !pcscdhost::CardPresent(pcscdhost::kReader0) && !pcscdhost::CardPresent(pcscdhost::kReader1); }));
  }
  const std::string trace = ReadFile(env.Path("trace.log"));
  ExpectLines(trace, "PC/SC");
  EXPECT_NE(std::string::npos, trace.find("C_Decrypt"));
  secrets.ExpectInTrace(trace);
  ExpectOwnerOnly(env.Path("trace.log"));
}
