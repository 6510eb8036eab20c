// Signing, decryption, key-pair generation and random numbers through the
// exported functions on simulated cards: results checked with OpenSSL against
// the card's certificate and the public keys read back, the two-call output
// convention, lengths the key cannot take, card errors injected into the
// signature and decipher commands, a card pulled in the middle of a signing
// loop, and key pairs generated with their public key on the card or in the session.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/pkcs11impl/openssl_key.h"
#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/p11test_template.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRo = CKF_SERIAL_SESSION;
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
CK_UTF8CHAR kUserPin[] = "1234";
CK_UTF8CHAR kSoPin[] = "87654321";
// SHA-256 DigestInfo of "abc" (FIPS 180-4 example), the input of a PKCS #1 v1.5 signature.
const std::vector<CK_BYTE> kDigestInfo = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
    0x04, 0x20, 0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22,
    0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

// A public key that OpenSSL checks signatures and makes ciphertexts with.
class PublicKey {
 public:
  PublicKey() = default;
  ~PublicKey() { EVP_PKEY_free(key_); }
  PublicKey(const PublicKey&) = delete;
  PublicKey& operator=(const PublicKey&) = delete;
  bool FromCertificate(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr) return false;
    key_ = X509_get_pubkey(x);
    X509_free(x);
    return key_ != nullptr;
  }
  bool FromComponents(const std::string& n, const std::string& e) {
    key_ = testhost::OpenSslPublicKey(reinterpret_cast<const CK_BYTE*>(n.data()), n.size(),
                                      reinterpret_cast<const CK_BYTE*>(e.data()), e.size());
    return key_ != nullptr;
  }
  // The signature's representative with the padding of the mode removed: the signed input.
  std::vector<CK_BYTE> Recover(const std::vector<CK_BYTE>& sig, int padding) const {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
    std::vector<CK_BYTE> out(512);
    size_t len = out.size();
    const bool ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                    EVP_PKEY_verify_recover(ctx, out.data(), &len, sig.data(), sig.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? len : 0);
    return out;
  }
  std::vector<CK_BYTE> Encrypt(const std::vector<CK_BYTE>& in, int padding) const {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
    std::vector<CK_BYTE> out(512);
    size_t len = out.size();
    const bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                    EVP_PKEY_encrypt(ctx, out.data(), &len, in.data(), in.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? len : 0);
    return out;
  }
  size_t Size() const { return key_ ? static_cast<size_t>(EVP_PKEY_size(key_)) : 0; }

 private:
  EVP_PKEY* key_ = nullptr;
};

std::vector<CK_OBJECT_HANDLE> Find(const Module& m, CK_SESSION_HANDLE s, TestTemplate t) {
  std::vector<CK_OBJECT_HANDLE> out;
  EXPECT_EQ(CKR_OK, m->C_FindObjectsInit(s, t.data(), t.size()));
  CK_OBJECT_HANDLE buf[8];
  CK_ULONG got = 0;
  do {
    EXPECT_EQ(CKR_OK, m->C_FindObjects(s, buf, 8, &got));
    out.insert(out.end(), buf, buf + got);
  } while (got == 8);
  EXPECT_EQ(CKR_OK, m->C_FindObjectsFinal(s));
  return out;
}

CK_OBJECT_HANDLE FindOne(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, cls);
  const std::vector<CK_OBJECT_HANDLE> found = Find(m, s, t);
  return found.empty() ? CK_INVALID_HANDLE : found.front();
}

std::string Attribute(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (m->C_GetAttributeValue(s, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return "";
  std::string value(a.ulValueLen, '\0');
  a.pValue = &value[0];
  if (m->C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return "";
  return value;
}

// C_SignInit and C_Sign with a buffer of the key's size.
CK_RV SignOnce(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech,
               const std::vector<CK_BYTE>& data, std::vector<CK_BYTE>* sig) {
  CK_MECHANISM mechanism = {mech, nullptr, 0};
  CK_RV rv = m->C_SignInit(s, &mechanism, key);
  if (rv != CKR_OK) return rv;
  sig->assign(256, 0);
  CK_ULONG len = sig->size();
  rv = m->C_Sign(s, const_cast<CK_BYTE*>(data.data()), data.size(), sig->data(), &len);
  sig->resize(rv == CKR_OK ? len : 0);
  return rv;
}

CK_RV DecryptOnce(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech,
                  const std::vector<CK_BYTE>& in, std::vector<CK_BYTE>* out) {
  CK_MECHANISM mechanism = {mech, nullptr, 0};
  CK_RV rv = m->C_DecryptInit(s, &mechanism, key);
  if (rv != CKR_OK) return rv;
  out->assign(256, 0);
  CK_ULONG len = out->size();
  rv = m->C_Decrypt(s, const_cast<CK_BYTE*>(in.data()), in.size(), out->data(), &len);
  out->resize(rv == CKR_OK ? len : 0);
  return rv;
}

// A module over simulated readers, each with a card.
struct CryptoHost {
  SimEnv env;
  bool configured;
  CardSim sim;
  Module m;
  // Without the trace, which would show the whole input of every call.
  explicit CryptoHost(const Readers& readers = Readers{{kR0, "pkcs15-model3.card"}}, bool trace = true)
      : env(readers), configured((Configure(env, trace), true)) {}
  static void Configure(const SimEnv& env, bool trace) {
    if (trace)
      env.Config("");
    else
      env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n");
  }
  // The simulator stays loaded from test to test: its readers are read anew here.
  bool Start() {
    return configured && sim.ok() && sim.LoadConfig(nullptr) == 0 && m.ok() && m->C_Initialize(nullptr) == CKR_OK;
  }
  ~CryptoHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  // A logged-in session on the slot with the card's private key and certificate key.
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  PublicKey cert;
  bool Open(CK_SLOT_ID slot = 0, CK_FLAGS flags = kRw) {
    if (m->C_OpenSession(slot, flags, nullptr, nullptr, &s) != CKR_OK) return false;
    if (m->C_Login(s, CKU_USER, kUserPin, 4) != CKR_OK) return false;
    key = FindOne(m, s, CKO_PRIVATE_KEY);
    return key != CK_INVALID_HANDLE && cert.FromCertificate(Attribute(m, s, FindOne(m, s, CKO_CERTIFICATE), CKA_VALUE));
  }
};

}  // namespace

TEST(ModuleCrypto, SignaturesVerifyWithTheCardCertificate) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  std::vector<CK_BYTE> sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig));
  ASSERT_EQ(256u, sig.size());
  EXPECT_EQ(kDigestInfo, h.cert.Recover(sig, RSA_PKCS1_PADDING));

  // Raw RSA: the whole representative is the caller's.
  std::vector<CK_BYTE> block(256, 0x5A);
  block[0] = 0x00;
  ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_X_509, block, &sig));
  EXPECT_EQ(block, h.cert.Recover(sig, RSA_NO_PADDING));
}

TEST(ModuleCrypto, SignatureOutputFollowsTheTwoCallConvention) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE* data = const_cast<CK_BYTE*>(kDigestInfo.data());
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_OPERATION_ACTIVE, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_OPERATION_ACTIVE, m->C_DecryptInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Sign(h.s, data, kDigestInfo.size(), nullptr, nullptr));
  // A length query and a short buffer keep the operation.
  CK_ULONG len = 0;
  ASSERT_EQ(CKR_OK, m->C_Sign(h.s, data, kDigestInfo.size(), nullptr, &len));
  EXPECT_EQ(256u, len);
  std::vector<CK_BYTE> sig(255);
  len = sig.size();
  ASSERT_EQ(CKR_BUFFER_TOO_SMALL, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  EXPECT_EQ(256u, len);
  sig.assign(300, 0xEE);
  len = sig.size();
  ASSERT_EQ(CKR_OK, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  ASSERT_EQ(256u, len);
  EXPECT_EQ(0xEE, sig[256]);
  sig.resize(len);
  EXPECT_EQ(kDigestInfo, h.cert.Recover(sig, RSA_PKCS1_PADDING));
  // The completed call ended the operation.
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Decrypt(h.s, data, kDigestInfo.size(), sig.data(), &len));

  // The update step is not offered and ends the operation, so another can start.
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, m->C_SignUpdate(h.s, data, 4));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  ASSERT_EQ(CKR_OK, m->C_DecryptInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, m->C_SignFinal(h.s, sig.data(), &len));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, m->C_DecryptFinal(h.s, sig.data(), &len));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Decrypt(h.s, data, 4, sig.data(), &len));
}

TEST(ModuleCrypto, InitCallsCheckTheKeyAndTheMechanism) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_SignInit(h.s, nullptr, h.key));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_SignInit(h.s + 100, &mech, h.key));
  EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, m->C_SignInit(h.s, &mech, FindOne(m, h.s, CKO_PUBLIC_KEY)));
  EXPECT_EQ(CKR_KEY_TYPE_INCONSISTENT, m->C_DecryptInit(h.s, &mech, FindOne(m, h.s, CKO_PUBLIC_KEY)));
  EXPECT_EQ(CKR_KEY_HANDLE_INVALID, m->C_SignInit(h.s, &mech, FindOne(m, h.s, CKO_CERTIFICATE)));
  // A handle that names no object is an invalid key handle to the init calls.
  EXPECT_EQ(CKR_KEY_HANDLE_INVALID, m->C_SignInit(h.s, &mech, 0x7777));
  EXPECT_EQ(CKR_KEY_HANDLE_INVALID, m->C_DecryptInit(h.s, &mech, CK_INVALID_HANDLE));
  // Hashing mechanisms are not offered: the card signs DigestInfos the host made.
  CK_MECHANISM sha1 = {CKM_SHA1_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(CKR_MECHANISM_INVALID, m->C_SignInit(h.s, &sha1, h.key));
  // A private key made in the session does not sign: only the card's keys do.
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, false).Bool(CKA_SIGN, true);
  t.Bytes(CKA_MODULUS, std::string(128, '\x33')).Bytes(CKA_PRIVATE_EXPONENT, std::string(128, '\x11'));
  CK_OBJECT_HANDLE session = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(h.s, t.data(), t.size(), &session));
  EXPECT_EQ(CKR_KEY_HANDLE_INVALID, m->C_SignInit(h.s, &mech, session));
  // None of these left an operation behind.
  std::vector<CK_BYTE> sig;
  EXPECT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig));
}

TEST(ModuleCrypto, InputsTheKeyCannotTakeAreRefusedBeforeTheCard) {
  // The untraced module reads no input past what the key can take.
  CryptoHost h(Readers{{kR0, "pkcs15-model3.card"}}, false);
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  std::vector<CK_BYTE> sig;
  // PKCS #1 v1.5 leaves 245 octets of a 2048-bit modulus; raw RSA takes the modulus' length.
  EXPECT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, std::vector<CK_BYTE>(245, 1), &sig));
  EXPECT_EQ(CKR_DATA_LEN_RANGE, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, std::vector<CK_BYTE>(246, 1), &sig));
  EXPECT_EQ(CKR_DATA_LEN_RANGE, SignOnce(m, h.s, h.key, CKM_RSA_X_509, std::vector<CK_BYTE>(257, 0), &sig));
  std::vector<CK_BYTE> out;
  EXPECT_EQ(CKR_ENCRYPTED_DATA_LEN_RANGE, DecryptOnce(m, h.s, h.key, CKM_RSA_PKCS, std::vector<CK_BYTE>(257, 0), &out));

  // A length past 32 bits is never cut down to the octets in front of it.
  ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE buf[256];
  CK_ULONG len = sizeof buf;
  const CK_ULONG wrapped = (CK_ULONG{1} << 32) + 16;
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_DATA_LEN_RANGE, m->C_Sign(h.s, buf, wrapped, buf, &len));
  ASSERT_EQ(CKR_OK, m->C_DecryptInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_ENCRYPTED_DATA_LEN_RANGE, m->C_Decrypt(h.s, buf, wrapped, buf, &len));
  EXPECT_EQ(std::string::npos, h.sim.ApduLog(kR0).find("> 002A")) << h.sim.ApduLog(kR0);
}

TEST(ModuleCrypto, EmptyShortAndTooLargeRsaInputsGetTheirOwnAnswers) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  const std::string n = Attribute(m, h.s, FindOne(m, h.s, CKO_PUBLIC_KEY), CKA_MODULUS);
  ASSERT_EQ(256u, n.size());
  const std::vector<CK_BYTE> modulus(n.begin(), n.end());
  std::vector<CK_BYTE> aboveModulus(256, 0xFF), short255(255, 0xA5), empty;
  struct Case {
    const char* what;
    bool sign;
    CK_MECHANISM_TYPE mech;
    const std::vector<CK_BYTE>& in;
    CK_RV rv;
    bool reachesCard;
  };
  const Case cases[] = {
      {"empty PKCS #1 input", true, CKM_RSA_PKCS, empty, CKR_OK, true},
      {"empty raw input", true, CKM_RSA_X_509, empty, CKR_DATA_LEN_RANGE, false},
      {"raw input equal to the modulus", true, CKM_RSA_X_509, modulus, CKR_DATA_INVALID, false},
      {"raw input above the modulus", true, CKM_RSA_X_509, aboveModulus, CKR_DATA_INVALID, false},
      {"raw input one octet short", true, CKM_RSA_X_509, short255, CKR_OK, true},
      {"empty ciphertext", false, CKM_RSA_PKCS, empty, CKR_ENCRYPTED_DATA_LEN_RANGE, false},
      {"empty raw ciphertext", false, CKM_RSA_X_509, empty, CKR_ENCRYPTED_DATA_LEN_RANGE, false},
      {"ciphertext equal to the modulus", false, CKM_RSA_PKCS, modulus, CKR_ENCRYPTED_DATA_INVALID, false},
      {"raw ciphertext above the modulus", false, CKM_RSA_X_509, aboveModulus, CKR_ENCRYPTED_DATA_INVALID, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, h.sim.ClearLog(kR0));
    std::vector<CK_BYTE> out;
    EXPECT_EQ(c.rv, c.sign ? SignOnce(m, h.s, h.key, c.mech, c.in, &out) : DecryptOnce(m, h.s, h.key, c.mech, c.in, &out));
    const std::string log = h.sim.ApduLog(kR0);
    EXPECT_EQ(c.reachesCard, log.find("> 002A") != std::string::npos) << log;
    // The operation ended either way.
    CK_ULONG len = 0;
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, c.sign ? m->C_Sign(h.s, nullptr, 0, nullptr, &len)
                                                    : m->C_Decrypt(h.s, nullptr, 0, nullptr, &len));
    if (!c.sign || c.rv != CKR_OK) continue;
    // The signed representative, as OpenSSL recovers it: the padded empty input, or
    // the short raw input with a leading zero.
    std::vector<CK_BYTE> expected(256, 0xFF);
    if (c.mech == CKM_RSA_PKCS) {
      expected[0] = 0x00;
      expected[1] = 0x01;
      expected[255] = 0x00;
    } else {
      expected.assign(1, 0x00);
      expected.insert(expected.end(), c.in.begin(), c.in.end());
    }
    EXPECT_EQ(expected, h.cert.Recover(out, RSA_NO_PADDING));
  }
}

TEST(ModuleCrypto, DecryptionUndoesOpenSslEncryption) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  const std::vector<CK_BYTE> secret = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'k', 'e', 'y'};
  std::vector<CK_BYTE> out;
  ASSERT_EQ(CKR_OK, DecryptOnce(m, h.s, h.key, CKM_RSA_PKCS, h.cert.Encrypt(secret, RSA_PKCS1_PADDING), &out));
  EXPECT_EQ(secret, out);
  std::vector<CK_BYTE> block(256, 0x17);
  block[0] = 0;
  ASSERT_EQ(CKR_OK, DecryptOnce(m, h.s, h.key, CKM_RSA_X_509, h.cert.Encrypt(block, RSA_NO_PADDING), &out));
  EXPECT_EQ(block, out);

  // The plaintext's length, then a buffer too small for it; both keep the operation.
  const std::vector<CK_BYTE> enc = h.cert.Encrypt(secret, RSA_PKCS1_PADDING);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE* in = const_cast<CK_BYTE*>(enc.data());
  ASSERT_EQ(CKR_OK, m->C_DecryptInit(h.s, &mech, h.key));
  CK_ULONG len = 0;
  ASSERT_EQ(CKR_OK, m->C_Decrypt(h.s, in, enc.size(), nullptr, &len));
  EXPECT_GE(len, secret.size());
  CK_BYTE small[4];
  len = sizeof small;
  ASSERT_EQ(CKR_BUFFER_TOO_SMALL, m->C_Decrypt(h.s, in, enc.size(), small, &len));
  EXPECT_EQ(secret.size(), len);
  out.assign(len, 0);
  ASSERT_EQ(CKR_OK, m->C_Decrypt(h.s, in, enc.size(), out.data(), &len));
  EXPECT_EQ(secret, out);

  // A cryptogram whose padding is wrong gives no plaintext.
  std::vector<CK_BYTE> garbage = h.cert.Encrypt(block, RSA_NO_PADDING);
  EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, DecryptOnce(m, h.s, h.key, CKM_RSA_PKCS, garbage, &out));
}

TEST(ModuleCrypto, PrivateKeysNeedTheUser) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  // Logging out ends the operation, and the key is out of sight until the next login.
  ASSERT_EQ(CKR_OK, m->C_Logout(h.s));
  CK_BYTE sig[256];
  CK_ULONG len = sizeof sig;
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED,
            m->C_Sign(h.s, const_cast<CK_BYTE*>(kDigestInfo.data()), kDigestInfo.size(), sig, &len));
  EXPECT_NE(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  // The officer is no user of the key.
  CK_SESSION_HANDLE ro = 0;
  ASSERT_EQ(CKR_OK, m->C_Login(h.s, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKR_SESSION_READ_WRITE_SO_EXISTS, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  EXPECT_NE(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  ASSERT_EQ(CKR_OK, m->C_Logout(h.s));
  ASSERT_EQ(CKR_OK, m->C_Login(h.s, CKU_USER, kUserPin, 4));
  std::vector<CK_BYTE> out;
  EXPECT_EQ(CKR_OK, SignOnce(m, h.s, FindOne(m, h.s, CKO_PRIVATE_KEY), CKM_RSA_PKCS, kDigestInfo, &out));
}

TEST(ModuleCrypto, CardErrorsDuringSigningAndDecipheringMapToReturnValues) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  const std::vector<CK_BYTE> enc = h.cert.Encrypt({1, 2, 3}, RSA_PKCS1_PADDING);
  struct Case {
    unsigned sw;
    CK_RV sign, decrypt;
    int signCommands;  // a wrong length is tried once more with the padding made by the host
  };
  const Case cases[] = {
      {0x6982, CKR_USER_NOT_LOGGED_IN, CKR_USER_NOT_LOGGED_IN, 1},
      {0x6983, CKR_PIN_LOCKED, CKR_PIN_LOCKED, 1},
      {0x6700, CKR_DATA_LEN_RANGE, CKR_ATTRIBUTE_VALUE_INVALID, 2},
      {0x6A88, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR, 1},
      {0x6A82, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR, 1},
      {0x6F00, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR, 1},
  };
  std::vector<CK_BYTE> out;
  for (const Case& c : cases) {
    SCOPED_TRACE(Fmt("status %04X", c.sw));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, 0x2A, c.sw, c.signCommands));
    EXPECT_EQ(c.sign, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &out));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, 0x2A, c.sw, 1));
    EXPECT_EQ(c.decrypt, DecryptOnce(m, h.s, h.key, CKM_RSA_PKCS, enc, &out));
    // The failure ended the operation; the next one works.
    CK_ULONG len = 0;
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Decrypt(h.s, out.data(), 0, nullptr, &len));
    EXPECT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &out));
  }
  // A refused security environment fails the signature the same way.
  ASSERT_EQ(0, h.sim.InjectSw(kR0, 0x22, 0x6982, 1));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &out));
}

// A signature the card computed wrongly is checked with the key's public part and
// refused; the simulator's log shows the card's wrong answer.
TEST(ModuleCrypto, WrongSignatureFromTheCardIsRefused) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  std::vector<CK_BYTE> good, sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &good));
  ASSERT_EQ(kDigestInfo, h.cert.Recover(good, RSA_PKCS1_PADDING));
  std::vector<CK_BYTE> wrong = good;
  wrong.back() ^= 0xFF;
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  ASSERT_EQ(0, h.sim.CorruptData(kR0, 0x2A, 1));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  std::vector<CK_BYTE> out(256, 0);
  CK_ULONG len = out.size();
  EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID,
            m->C_Sign(h.s, const_cast<CK_BYTE*>(kDigestInfo.data()), kDigestInfo.size(), out.data(), &len));
  EXPECT_EQ(std::search(out.begin(), out.end(), wrong.begin(), wrong.end() - 1), out.end())
      << "the wrong signature is left in the buffer";
  std::string answer;
  for (CK_BYTE b : wrong) answer += Fmt("%02X", b);
  EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("< " + answer + "9000")) << "the card's wrong answer";
  // The failure ended the operation; the next signature is the right one.
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Sign(h.s, out.data(), 1, nullptr, &len));
  ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig));
  EXPECT_EQ(good, sig);
}

TEST(ModuleCrypto, CardPulledDuringSigningLoop) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  std::vector<CK_BYTE> sig;
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE* data = const_cast<CK_BYTE*>(kDigestInfo.data());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig));
  // Pulled between C_SignInit and C_Sign.
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  ASSERT_EQ(0, h.sim.Remove(kR0));
  CK_BYTE out[256];
  CK_ULONG len = sizeof out;
  const CK_RV pulled = m->C_Sign(h.s, data, kDigestInfo.size(), out, &len);
  EXPECT_TRUE(pulled == CKR_DEVICE_REMOVED || pulled == CKR_TOKEN_NOT_PRESENT || pulled == CKR_SESSION_CLOSED)
      << std::hex << pulled;
  // Every later call on the lost session answers cleanly.
  for (int i = 0; i < 3; ++i) {
    const CK_RV rv = SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig);
    EXPECT_TRUE(rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
                rv == CKR_SESSION_CLOSED)
        << std::hex << rv;
  }
  CK_SESSION_HANDLE none = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(0, kRw, nullptr, nullptr, &none));
  CK_BYTE random[8];
  EXPECT_NE(CKR_OK, m->C_GenerateRandom(h.s, random, sizeof random));

  // The card comes back: a new session signs again after login.
  ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card("pkcs15-model3.card").c_str()));
  PublicKey before;
  ASSERT_TRUE(h.Open());
  ASSERT_EQ(CKR_OK, SignOnce(m, h.s, h.key, CKM_RSA_PKCS, kDigestInfo, &sig));
  EXPECT_EQ(kDigestInfo, h.cert.Recover(sig, RSA_PKCS1_PADDING));
}

TEST(ModuleCrypto, RandomNumbersComeFromTheCard) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &s));
  CK_TOKEN_INFO ti;
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  EXPECT_NE(0u, ti.flags & CKF_RNG);
  ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
  std::vector<CK_BYTE> a(300), b(300);
  ASSERT_EQ(CKR_OK, m->C_GenerateRandom(s, a.data(), a.size()));
  ASSERT_EQ(CKR_OK, m->C_GenerateRandom(s, b.data(), b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 0084000080"));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GenerateRandom(s, a.data(), 0));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GenerateRandom(s, nullptr, 8));
  // A count the card layer cannot carry is refused, not cut.
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GenerateRandom(s, a.data(), (CK_ULONG{1} << 32) + 8));
  EXPECT_EQ(CKR_RANDOM_SEED_NOT_SUPPORTED, m->C_SeedRandom(s, a.data(), 8));
  EXPECT_EQ(CKR_RANDOM_SEED_NOT_SUPPORTED, m->C_SeedRandom(s, nullptr, 5));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_SeedRandom(s, nullptr, 0));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GenerateRandom(s + 7, a.data(), 8));
  // A card that does not answer the challenge.
  ASSERT_EQ(0, h.sim.InjectSw(kR0, 0x84, 0x6D00, 1));
  EXPECT_EQ(CKR_RANDOM_NO_RNG, m->C_GenerateRandom(s, a.data(), 8));
  ASSERT_EQ(0, h.sim.InjectSw(kR0, 0x84, 0x6F00, 1));
  EXPECT_EQ(CKR_DEVICE_ERROR, m->C_GenerateRandom(s, a.data(), 8));
}

TEST(ModuleCrypto, RandomNumbersFromACardWithoutPkcs15Structure) {
  CryptoHost h(Readers{{kR0, "blank-model3.card"}});
  ASSERT_TRUE(h.Start()) << h.m.error();
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRo, nullptr, nullptr, &s));
  std::vector<CK_BYTE> a(32, 0), zero(32, 0);
  ASSERT_EQ(CKR_OK, h.m->C_GenerateRandom(s, a.data(), a.size()));
  EXPECT_NE(zero, a);
}

namespace {

TestTemplate PublicTemplate(bool onToken, const std::string& id) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_TOKEN, onToken).Bool(CKA_VERIFY, true).Ulong(CKA_MODULUS_BITS, 2048);
  t.Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3)).Bytes(CKA_ID, id).Bytes(CKA_LABEL, "generated " + id);
  return t;
}

TestTemplate PrivateTemplate(const std::string& id) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  t.Bool(CKA_DECRYPT, true).Bytes(CKA_ID, id).Bytes(CKA_LABEL, "generated " + id);
  return t;
}

size_t CountKeys(const Module& m, CK_SESSION_HANDLE s) {
  TestTemplate t;
  t.Bool(CKA_TOKEN, true);
  size_t n = 0;
  for (CK_OBJECT_HANDLE h : Find(m, s, t)) {
    const std::string cls = Attribute(m, s, h, CKA_CLASS);
    CK_OBJECT_CLASS c = ~0UL;
    if (cls.size() == sizeof c) std::memcpy(&c, cls.data(), sizeof c);
    if (c == CKO_PRIVATE_KEY || c == CKO_PUBLIC_KEY) ++n;
  }
  return n;
}

}  // namespace

TEST(ModuleCrypto, GeneratedKeyPairSignsAndItsPublicKeyVerifies) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  const size_t keysBefore = CountKeys(m, h.s);
  for (bool publicOnToken : {true, false}) {
    SCOPED_TRACE(publicOnToken ? "public key on the card" : "public key in the session");
    const std::string id = publicOnToken ? "\x42" : "\x43";
    TestTemplate pub = PublicTemplate(publicOnToken, id), prv = PrivateTemplate(id);
    CK_OBJECT_HANDLE hPub = 0, hPrv = 0;
    ASSERT_EQ(CKR_OK, m->C_GenerateKeyPair(h.s, &gen, pub.data(), pub.size(), prv.data(), prv.size(), &hPub, &hPrv));
    ASSERT_NE(hPub, hPrv);
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE tokenAttr = {CKA_TOKEN, &onToken, 1};
    ASSERT_EQ(CKR_OK, m->C_GetAttributeValue(h.s, hPub, &tokenAttr, 1));
    EXPECT_EQ(publicOnToken ? CK_TRUE : CK_FALSE, onToken);
    PublicKey pk;
    ASSERT_TRUE(pk.FromComponents(Attribute(m, h.s, hPub, CKA_MODULUS), Attribute(m, h.s, hPub, CKA_PUBLIC_EXPONENT)));
    EXPECT_EQ(256u, pk.Size());
    EXPECT_EQ(Attribute(m, h.s, hPub, CKA_MODULUS), Attribute(m, h.s, hPrv, CKA_MODULUS));
    std::vector<CK_BYTE> sig;
    ASSERT_EQ(CKR_OK, SignOnce(m, h.s, hPrv, CKM_RSA_PKCS, kDigestInfo, &sig));
    EXPECT_EQ(kDigestInfo, pk.Recover(sig, RSA_PKCS1_PADDING));
    const std::vector<CK_BYTE> secret = {9, 8, 7, 6};
    std::vector<CK_BYTE> out;
    ASSERT_EQ(CKR_OK, DecryptOnce(m, h.s, hPrv, CKM_RSA_PKCS, pk.Encrypt(secret, RSA_PKCS1_PADDING), &out));
    EXPECT_EQ(secret, out);
  }
  // Both private keys and the one public key on the card are found again.
  EXPECT_EQ(keysBefore + 3, CountKeys(m, h.s));
}

TEST(ModuleCrypto, KeyPairGenerationChecksSessionLoginAndTemplates) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  TestTemplate pub = PublicTemplate(true, "\x51"), prv = PrivateTemplate("\x51");
  CK_OBJECT_HANDLE hPub = 7, hPrv = 7;
  CK_SESSION_HANDLE ro = 0, rw = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &rw));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_GenerateKeyPair(rw, &gen, pub.data(), pub.size(), prv.data(), prv.size(), &hPub, &hPrv));
  EXPECT_EQ(0u, hPub);
  EXPECT_EQ(0u, hPrv);
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_SESSION_READ_ONLY, m->C_GenerateKeyPair(ro, &gen, pub.data(), pub.size(), prv.data(), prv.size(), &hPub, &hPrv));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GenerateKeyPair(rw, &gen, pub.data(), 0, prv.data(), prv.size(), &hPub, &hPrv));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GenerateKeyPair(rw, &gen, pub.data(), pub.size(), prv.data(), prv.size(), nullptr, &hPrv));
  // The private key is always a card object.
  TestTemplate noToken;
  noToken.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_SIGN, true);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, m->C_GenerateKeyPair(rw, &gen, pub.data(), pub.size(), noToken.data(), noToken.size(), &hPub, &hPrv));
  TestTemplate sessionKey;
  sessionKey.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, false);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, m->C_GenerateKeyPair(rw, &gen, pub.data(), pub.size(), sessionKey.data(), sessionKey.size(), &hPub, &hPrv));
  TestTemplate dsa = PrivateTemplate("\x51");
  dsa.Ulong(CKA_KEY_TYPE, CKK_DSA);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, m->C_GenerateKeyPair(rw, &gen, pub.data(), pub.size(), dsa.data(), dsa.size(), &hPub, &hPrv));
  CK_MECHANISM ec = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  TestTemplate ecPrv;
  ecPrv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, true);
  TestTemplate ecPub;
  ecPub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bytes(CKA_EC_PARAMS, std::string("\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07", 10));
  // The card generates RSA keys only.
  EXPECT_NE(CKR_OK, m->C_GenerateKeyPair(rw, &ec, ecPub.data(), ecPub.size(), ecPrv.data(), ecPrv.size(), &hPub, &hPrv));
  EXPECT_EQ(0u, hPub);
  // A template that names two classes, in either order.
  for (bool ownFirst : {true, false}) {
    TestTemplate twoPub = PublicTemplate(true, "\x51"), twoPrv = PrivateTemplate("\x51");
    twoPub.Without(CKA_CLASS);
    twoPrv.Without(CKA_CLASS);
    twoPub.Ulong(CKA_CLASS, ownFirst ? CKO_PUBLIC_KEY : CKO_DATA).Ulong(CKA_CLASS, ownFirst ? CKO_DATA : CKO_PUBLIC_KEY);
    twoPrv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
    EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, m->C_GenerateKeyPair(rw, &gen, TT_ARGS(twoPub), TT_ARGS(twoPrv), &hPub, &hPrv));
  }
}

TEST(ModuleCrypto, FailedKeyGenerationLeavesNothingOnTheCard) {
  CryptoHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  const size_t before = CountKeys(m, h.s);
  TestTemplate pub = PublicTemplate(true, "\x61"), prv = PrivateTemplate("\x61");
  CK_OBJECT_HANDLE hPub = 0, hPrv = 0;
  // The card refuses the generation, then the writing of the public key's file.
  for (unsigned ins : {0x46u, 0xD6u}) {
    SCOPED_TRACE(Fmt("INS %02X", ins));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, ins, 0x6A84, 1));
    EXPECT_NE(CKR_OK, m->C_GenerateKeyPair(h.s, &gen, pub.data(), pub.size(), prv.data(), prv.size(), &hPub, &hPrv));
    EXPECT_EQ(0u, hPub);
    EXPECT_EQ(0u, hPrv);
    EXPECT_EQ(before, CountKeys(m, h.s));
  }
  // The card is as it was: a generation works afterwards.
  ASSERT_EQ(CKR_OK, m->C_GenerateKeyPair(h.s, &gen, pub.data(), pub.size(), prv.data(), prv.size(), &hPub, &hPrv));
  EXPECT_EQ(before + 2, CountKeys(m, h.s));
}

TEST(ModuleCrypto, KeyThatAsksForItsPinOnEveryUse) {
  CryptoHost h;
  // A card whose private key's record asks for the PIN before each use.
  const std::string image = h.env.Card("consent.card");
  const std::string cmd = "/usr/bin/python3 " MIRTAL_SOURCE_DIR "/tools/cardsim/cardgen.py pkcs15 --user-consent 1 '" +
                          image + "'";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  ASSERT_TRUE(h.Start()) << h.m.error();
  ASSERT_EQ(0, h.sim.Insert(kR0, image.c_str()));
  ASSERT_TRUE(h.Open());
  const Module& m = h.m;
  CK_BBOOL always = CK_FALSE;
  CK_ATTRIBUTE a = {CKA_ALWAYS_AUTHENTICATE, &always, 1};
  ASSERT_EQ(CKR_OK, m->C_GetAttributeValue(h.s, h.key, &a, 1));
  ASSERT_EQ(CK_TRUE, always);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE* data = const_cast<CK_BYTE*>(kDigestInfo.data());
  std::vector<CK_BYTE> sig(256);
  CK_ULONG len = sig.size();

  // Without the second PIN entry the signature is refused and the operation ends.
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  // A wrong PIN for the operation: refused, and so is the signature.
  CK_UTF8CHAR wrong[] = "9999";
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(h.s, CKU_CONTEXT_SPECIFIC, wrong, 4));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  // With it the card signs.
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  ASSERT_EQ(CKR_OK, m->C_Login(h.s, CKU_CONTEXT_SPECIFIC, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
  sig.resize(len);
  EXPECT_EQ(kDigestInfo, h.cert.Recover(sig, RSA_PKCS1_PADDING));

  // Wrong PINs for the operation until the card blocks the PIN: the slot is logged
  // out as by C_Logout, which ends the operation that asked for the PIN.
  ASSERT_EQ(CKR_OK, m->C_SignInit(h.s, &mech, h.key));
  CK_RV rv = CKR_PIN_INCORRECT;
  for (int i = 0; i < 8 && rv == CKR_PIN_INCORRECT; ++i) rv = m->C_Login(h.s, CKU_CONTEXT_SPECIFIC, wrong, 4);
  EXPECT_EQ(CKR_PIN_LOCKED, rv);
  CK_SESSION_INFO info;
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(h.s, &info));
  EXPECT_FALSE(info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) << info.state;
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Sign(h.s, data, kDigestInfo.size(), sig.data(), &len));
}

TEST(ModuleCrypto, QualifiedKeySignsOnlyAndItsPinIsForgottenAfterEachUse) {
  CryptoHost h(Readers{{kR0, "qualified-model3.card"}});
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
  ASSERT_EQ(CKR_OK, m->C_Login(h.s, CKU_USER, kUserPin, 4));
  TestTemplate q;
  q.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_MIRTAL_QUALIFIED_OBJECT, true);
  const std::vector<CK_OBJECT_HANDLE> found = Find(m, h.s, q);
  ASSERT_EQ(1u, found.size());
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(CKR_KEY_FUNCTION_NOT_PERMITTED, m->C_DecryptInit(h.s, &mech, found[0]));
  // The user's login does not open the qualified key: the card refuses, and its
  // PIN's state on the card is reset after the attempt as after every use.
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  std::vector<CK_BYTE> sig;
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, SignOnce(m, h.s, found[0], CKM_RSA_PKCS, kDigestInfo, &sig));
  const std::string log = h.sim.ApduLog(kR0);
  const size_t sign = log.find("> 002A9E9A");
  ASSERT_NE(std::string::npos, sign) << log;
  EXPECT_NE(std::string::npos, log.find("> 0020FF83", sign)) << log;
  // The ordinary key of the same token signs as before.
  TestTemplate ordinary;
  ordinary.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_MIRTAL_QUALIFIED_OBJECT, false);
  std::vector<CK_OBJECT_HANDLE> keys = Find(m, h.s, ordinary);
  keys.erase(std::remove(keys.begin(), keys.end(), found[0]), keys.end());
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(CKR_OK, SignOnce(m, h.s, keys[0], CKM_RSA_PKCS, kDigestInfo, &sig));
}
