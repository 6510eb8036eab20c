// Eight host threads sign at once on the tokens of two simulated cards, each
// in sessions of its own, and check every signature with the card's
// certificate key; random numbers are drawn between the signatures.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

CK_UTF8CHAR kUserPin[] = "1234";
// The slots of the two cards' tokens (three slots per reader).
const CK_SLOT_ID kSlots[2] = {0, 3};

struct Outcome {
  std::mutex lock;
  std::vector<std::string> problems;
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> g(lock);
    if (problems.size() < 20) problems.push_back(what);
  }
};

CK_OBJECT_HANDLE FindOne(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
  CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
  CK_ULONG n = 0;
  if (f->C_FindObjectsInit(s, &t, 1) != CKR_OK) return h;
  if (f->C_FindObjects(s, &h, 1, &n) != CKR_OK || n != 1) h = CK_INVALID_HANDLE;
  f->C_FindObjectsFinal(s);
  return h;
}

// The public key of the certificate on a slot's card, for OpenSSL.
EVP_PKEY* CertificateKey(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) {
  CK_SESSION_HANDLE s = 0;
  if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) return nullptr;
  const CK_OBJECT_HANDLE cert = FindOne(f, s, CKO_CERTIFICATE);
  std::vector<CK_BYTE> der(4096);
  CK_ATTRIBUTE v = {CKA_VALUE, der.data(), der.size()};
  EVP_PKEY* key = nullptr;
  if (cert != CK_INVALID_HANDLE && f->C_GetAttributeValue(s, cert, &v, 1) == CKR_OK) {
    const unsigned char* p = der.data();
    if (X509* x = d2i_X509(nullptr, &p, static_cast<long>(v.ulValueLen))) {
      key = X509_get_pubkey(x);
      X509_free(x);
    }
  }
  f->C_CloseSession(s);
  return key;
}

bool Verifies(EVP_PKEY* key, const std::vector<CK_BYTE>& data, const CK_BYTE* sig, CK_ULONG len) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  std::vector<CK_BYTE> out(512);
  size_t n = out.size();
  const bool ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_verify_recover(ctx, out.data(), &n, sig, len) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok && n == data.size() && std::memcmp(out.data(), data.data(), n) == 0;
}

void Signer(CK_FUNCTION_LIST* f, EVP_PKEY* key, CK_SLOT_ID slot, int id, int rounds, Outcome* out) {
  const auto fail = [&](const char* what, CK_RV rv) { out->Add(Fmt("thread %d: %s gave 0x%lx", id, what, rv)); };
  CK_SESSION_HANDLE s = 0;
  CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
  if (rv != CKR_OK) return fail("C_OpenSession", rv);
  // Every session of a token shares its login: whichever thread comes first logs in.
  rv = f->C_Login(s, CKU_USER, kUserPin, 4);
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return fail("C_Login", rv);
  const CK_OBJECT_HANDLE prv = FindOne(f, s, CKO_PRIVATE_KEY);
  if (prv == CK_INVALID_HANDLE) return fail("finding the key", 0);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  for (int i = 0; i < rounds; ++i) {
    std::vector<CK_BYTE> data(20 + (id + i) % 100, static_cast<CK_BYTE>(id * 16 + i));
    CK_BYTE sig[256];
    CK_ULONG len = sizeof sig;
    rv = f->C_SignInit(s, &mech, prv);
    if (rv != CKR_OK) return fail("C_SignInit", rv);
    rv = f->C_Sign(s, data.data(), data.size(), sig, &len);
    if (rv != CKR_OK) return fail("C_Sign", rv);
    if (!Verifies(key, data, sig, len)) return fail("the signature's check", 0);
    CK_BYTE random[16];
    rv = f->C_GenerateRandom(s, random, sizeof random);
    if (rv != CKR_OK) return fail("C_GenerateRandom", rv);
  }
  f->C_CloseSession(s);
}

}  // namespace

TEST(ModuleCryptoThreads, EightThreadsSignOnTwoCardsAtOnce) {
  SimEnv env(Readers{{"CardSim Reader 0", "pkcs15-model3.card"}, {"CardSim Reader 1", "pkcs15-model3-two-apps.card"}});
  env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  // The host's threads call in at once: the module locks with the system's mutexes.
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&args));
  EVP_PKEY* keys[2] = {CertificateKey(m.list(), kSlots[0]), CertificateKey(m.list(), kSlots[1])};
  ASSERT_NE(nullptr, keys[0]);
  ASSERT_NE(nullptr, keys[1]);
  // The two cards hold different keys.
  ASSERT_NE(1, EVP_PKEY_eq(keys[0], keys[1]));
  Outcome out;
  std::vector<std::thread> threads;
  for (int id = 0; id < 8; ++id)
    threads.emplace_back(Signer, m.list(), keys[id % 2], kSlots[id % 2], id, 6, &out);
  for (std::thread& t : threads) t.join();
  for (const std::string& p : out.problems) ADD_FAILURE() << p;
  EVP_PKEY_free(keys[0]);
  EVP_PKEY_free(keys[1]);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}
