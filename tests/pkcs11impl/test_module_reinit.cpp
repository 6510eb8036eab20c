// Initialising a token again and again: C_InitToken, C_InitPIN and
// InitializeCard on every simulated card model, round after round, with the
// card image compared octet for octet after every refused or failed call and
// faults injected at each card command.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/openssl_key.h"
#include "tests/pkcs11impl/token_check.h"
#include "tests/pkcs11impl/token_rig.h"
#include "tools/cardsim/cardsim.h"
#include "tools/cardsim/engine.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kReader = "CardSim Reader 0";
const std::string kSo = "87654321";

CK_UTF8CHAR_PTR U8(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.c_str())); }

std::vector<CK_UTF8CHAR> Label32(const std::string& text) {
  std::vector<CK_UTF8CHAR> l(32, ' ');
  std::memcpy(l.data(), text.data(), text.size() < 32 ? text.size() : 32);
  return l;
}

// The card image without what may change in a refused call: PIN retry counters.
std::string WithoutCounters(const std::string& image) {
  std::string out;
  for (size_t at = 0; at < image.size();) {
    if (image.compare(at, 6, " left=") == 0) {
      at += 6;
      while (at < image.size() && image[at] >= '0' && image[at] <= '9') ++at;
      continue;
    }
    out += image[at++];
  }
  return out;
}

// The simulator's injection of a status word after a number of commands.
using InjectAfterFn = int (*)(const char*, unsigned, unsigned, int, int);

// A module over one simulated reader holding a copy of `image`.
class Reinit {
 public:
  explicit Reinit(const std::string& image, const std::string& config = "") : env(Readers{{kReader, image}}), card(image) {
    env.Config("PKCS15Flags = 0x8000600\n" + config);
    if (sim.ok()) sim.LoadConfig(nullptr);
    injectAfter = reinterpret_cast<InjectAfterFn>(dlsym(sim.handle, "CardSimInjectSwAfter"));
  }
  ~Reinit() {
    if (module) (void)module->list()->C_Finalize(nullptr);
  }
  bool Start() {
    if (module) (void)module->list()->C_Finalize(nullptr);
    module.reset(new Module());
    return (*module).ok() && f()->C_Initialize(nullptr) == CKR_OK;
  }
  void Stop() {
    if (module) (void)f()->C_Finalize(nullptr);
    module.reset();
  }
  const CK_FUNCTION_LIST* f() const { return module->list(); }
  std::string Image() const { return ReadFile(env.Card(card)); }
  std::string Log() const { return sim.ApduLog(kReader); }

  // An initialisation that went through leaves nothing open to anyone (cardimage::OpenToAnyone);
  // whatever the card answered, the call answers a value PKCS#11 2.11 lists for it.
  CK_RV InitToken(const std::string& label) { return InitToken(label, so); }
  CK_RV InitToken(const std::string& label, const std::string& so) {
    std::vector<CK_UTF8CHAR> l = Label32(label);
    const CK_RV rv = f()->C_InitToken(slot, U8(so), so.size(), l.data());
    EXPECT_EQ(issuers, rv == CKR_OK ? cardimage::OpenToAnyone(Image()) : issuers) << "after C_InitToken " << label;
    BlankSoKeepsItsTries("C_InitToken " + label);
    static const std::set<CK_RV> listed = {CKR_OK, CKR_GENERAL_ERROR, CKR_HOST_MEMORY, CKR_FUNCTION_FAILED,
        CKR_DEVICE_MEMORY, CKR_DEVICE_ERROR, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED, CKR_ARGUMENTS_BAD,
        CKR_CRYPTOKI_NOT_INITIALIZED, CKR_FUNCTION_CANCELED, CKR_PIN_INCORRECT, CKR_PIN_LOCKED, CKR_SESSION_EXISTS,
        CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_WRITE_PROTECTED};
    EXPECT_EQ(1u, listed.count(rv)) << "C_InitToken " << label << " answered " << std::hex << rv << "\n" << Log();
    return rv;
  }
  // The SO sets the user PIN.
  CK_RV InitPin(const std::string& user) { return InitPin(user, so); }
  CK_RV InitPin(const std::string& user, const std::string& so) {
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
    if (rv != CKR_OK) return rv;
    rv = f()->C_Login(h, CKU_SO, U8(so), so.size());
    if (rv == CKR_OK) rv = f()->C_InitPIN(h, U8(user), user.size());
    (void)f()->C_CloseSession(h);
    EXPECT_EQ(issuers, rv == CKR_OK ? cardimage::OpenToAnyone(Image()) : issuers) << "after C_InitPIN";
    BlankSoKeepsItsTries("C_InitPIN");
    return rv;
  }
  // The SO changes the SO PIN from `so` to `to`, which the SO's later calls take.
  void SoSetsItsPin(const std::string& to) {
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
    ASSERT_EQ(CKR_OK, f()->C_Login(h, CKU_SO, U8(so), so.size())) << Log();
    EXPECT_EQ(CKR_OK, f()->C_SetPIN(h, U8(so), so.size(), U8(to), to.size())) << Log();
    (void)f()->C_CloseSession(h);
    so = to;
  }
  // The SO PIN a blank card of model 1 or 7 came with (01, 04), not the token's, keeps all its tries.
  void BlankSoKeepsItsTries(const std::string& call) {
    const std::string image = Image(), model = image.substr(image.find("\nmodel ") + 7, 1);
    const std::string pin = "\npin 3F00 ref=0" + std::string(model == "1" ? "1" : "4") + " min=4 max=8 pad=FF tries=3 left=";
    const size_t at = image.find(pin);
    EXPECT_TRUE(!blankSoKept || (model != "1" && model != "7") || (at != std::string::npos && image[at + pin.size()] == '3'))
        << "after " << call;
  }
  CK_RV UserSession(const std::string& user, CK_SESSION_HANDLE* h) { return UserSession(user, h, slot); }
  CK_RV UserSession(const std::string& user, CK_SESSION_HANDLE* h, CK_SLOT_ID slot) {
    CK_RV rv = f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, h);
    if (rv == CKR_OK) rv = f()->C_Login(*h, CKU_USER, U8(user), user.size());
    if (rv != CKR_OK) (void)f()->C_CloseAllSessions(slot);
    return rv;
  }
  std::string Label() {
    CK_TOKEN_INFO ti;
    std::memset(&ti, 0, sizeof ti);
    const CK_RV rv = f()->C_GetTokenInfo(0, &ti);
    if (rv != CKR_OK) return "<" + std::to_string(rv) + ">";
    std::string s(reinterpret_cast<const char*>(ti.label), 32);
    return s.erase(s.find_last_not_of(' ') + 1);
  }
  // The labels of every token object a session sees, sorted by class then label.
  std::vector<std::string> Objects(CK_SESSION_HANDLE h) {
    std::vector<std::string> out;
    CK_OBJECT_HANDLE found[64];
    CK_ULONG n = 0;
    if (f()->C_FindObjectsInit(h, nullptr, 0) != CKR_OK) return {"<find>"};
    if (f()->C_FindObjects(h, found, 64, &n) != CKR_OK) n = 0;
    (void)f()->C_FindObjectsFinal(h);
    for (CK_ULONG i = 0; i < n; ++i) {
      CK_OBJECT_CLASS cls = 0;
      char label[80] = {0};
      CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label, sizeof label - 1}};
      if (f()->C_GetAttributeValue(h, found[i], a, 2) != CKR_OK) continue;
      label[a[1].ulValueLen < sizeof label ? a[1].ulValueLen : 0] = '\0';
      out.push_back(std::to_string(cls) + ":" + label);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  SimEnv env;
  CardSim sim;
  std::string card;
  std::unique_ptr<Module> module;
  InjectAfterFn injectAfter = nullptr;
  CK_SLOT_ID slot = 0;  // the token's slot: the calls above and the sweep's take it
  std::string issuers;  // what an issuer's application keeps open on purpose (OpenToAnyone), which the calls leave
  std::string so = kSo;  // the SO PIN's value, which the SO's calls give
  bool blankSoKept = false;  // every C_InitToken and C_InitPIN leaves the blank card's SO PIN all its tries
};

// What OpenSSL recovers from a PKCS #1 v1.5 signature with the public key (n, e).
std::string OpenSslRecover(const CK_BYTE* n, size_t nLen, const CK_BYTE* e, size_t eLen, const CK_BYTE* sig,
                           size_t sigLen) {
  const std::vector<CK_BYTE> out = OpenSslRecoverPkcs1(n, nLen, e, eLen, sig, sigLen);
  return out.empty() ? "<not verified>" : std::string(out.begin(), out.end());
}

// What OpenSSL enciphers for the public key (n, e) with PKCS #1 v1.5 padding (empty on failure).
std::vector<CK_BYTE> OpenSslEncrypt(const CK_BYTE* n, size_t nLen, const CK_BYTE* e, size_t eLen,
                                    const std::string& msg) {
  EVP_PKEY* key = OpenSslPublicKey(n, nLen, e, eLen);
  std::vector<CK_BYTE> out(nLen + 16);
  size_t len = out.size();
  EVP_PKEY_CTX* ctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
  const bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_encrypt(ctx, out.data(), &len, reinterpret_cast<const unsigned char*>(msg.data()),
                                   msg.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  out.resize(ok ? len : 0);
  return out;
}

// The user's work of one round: a private data object and an RSA key pair
// named after `tag`, and a signature that OpenSSL verifies with the public key
// read from the token. Without `keys` only the data object.
void UserRound(Reinit& t, const std::string& user, const std::string& tag, bool keys) {
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession(user, &h));
  const CK_FUNCTION_LIST* f = t.f();
  CK_OBJECT_CLASS data = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  std::string dlabel = "d" + tag, klabel = "k" + tag, value = "value of " + tag;
  CK_ATTRIBUTE dt[] = {{CKA_CLASS, &data, sizeof data},
                       {CKA_TOKEN, &yes, sizeof yes},
                       {CKA_PRIVATE, &yes, sizeof yes},
                       {CKA_LABEL, &dlabel[0], dlabel.size()},
                       {CKA_VALUE, &value[0], value.size()}};
  CK_OBJECT_HANDLE obj = 0;
  ASSERT_EQ(CKR_OK, f->C_CreateObject(h, dt, 5, &obj));
  if (!keys) {
    EXPECT_EQ(std::vector<std::string>{"0:" + dlabel}, t.Objects(h));
    (void)f->C_CloseAllSessions(0);
    return;
  }
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  CK_BYTE e[] = {1, 0, 1};
  CK_BYTE id[] = {0x42};
  CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes},
                        {CKA_MODULUS_BITS, &bits, sizeof bits},
                        {CKA_PUBLIC_EXPONENT, e, sizeof e},
                        {CKA_LABEL, &klabel[0], klabel.size()},
                        {CKA_ID, id, sizeof id}};
  CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, sizeof yes},
                        {CKA_PRIVATE, &yes, sizeof yes},
                        {CKA_SIGN, &yes, sizeof yes},
                        {CKA_LABEL, &klabel[0], klabel.size()},
                        {CKA_ID, id, sizeof id}};
  CK_OBJECT_HANDLE hpub = 0, hprv = 0;
  ASSERT_EQ(CKR_OK, f->C_GenerateKeyPair(h, &gen, pub, 5, prv, 5, &hpub, &hprv));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  const std::string msg = "signed in round " + tag;
  std::vector<CK_BYTE> sig(512);
  CK_ULONG sigLen = sig.size();
  ASSERT_EQ(CKR_OK, f->C_SignInit(h, &mech, hprv));
  ASSERT_EQ(CKR_OK, f->C_Sign(h, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(msg.data())), msg.size(), sig.data(),
                             &sigLen));
  std::vector<CK_BYTE> n(512), ex(16);
  CK_ATTRIBUTE na[] = {{CKA_MODULUS, n.data(), n.size()}, {CKA_PUBLIC_EXPONENT, ex.data(), ex.size()}};
  ASSERT_EQ(CKR_OK, f->C_GetAttributeValue(h, hpub, na, 2));
  ASSERT_EQ(msg, OpenSslRecover(n.data(), na[0].ulValueLen, ex.data(), na[1].ulValueLen, sig.data(), sigLen))
      << "OpenSSL does not verify the signature";
  EXPECT_EQ((std::vector<std::string>{"0:" + dlabel, "2:" + klabel, "3:" + klabel}), t.Objects(h));
  (void)f->C_CloseAllSessions(0);
}

// One administrator's round: initialise under `label`, the SO sets a first
// PIN, then resets it to `user` (the first PIN no longer logs in), the
// previous round's PIN no longer logs in and its objects are gone, then the
// user works. With `restart` the module is started anew between the steps.
void AdminRound(Reinit& t, const std::string& label, const std::string& user, const std::string& old, bool restart) {
  SCOPED_TRACE(label);
  ASSERT_EQ(CKR_OK, t.InitToken(label)) << t.Log();
  if (restart) {
    ASSERT_TRUE(t.Start());
  }
  EXPECT_EQ(label, t.Label());
  const std::string first = "0" + user;
  ASSERT_EQ(CKR_OK, t.InitPin(first)) << t.Log();
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession(first, &h));
  (void)t.f()->C_CloseAllSessions(0);
  if (restart) {
    ASSERT_TRUE(t.Start());
  }
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(CKR_OK, t.InitPin(user)) << "the SO resets the user's PIN\n" << t.Log();
  if (restart) {
    ASSERT_TRUE(t.Start());
  }
  EXPECT_EQ(CKR_PIN_INCORRECT, t.UserSession(first, &h));
  if (!old.empty()) {
    EXPECT_NE(CKR_OK, t.UserSession(old, &h));
  }
  ASSERT_EQ(CKR_OK, t.UserSession(user, &h));
  EXPECT_EQ(std::vector<std::string>{}, t.Objects(h));
  (void)t.f()->C_CloseAllSessions(0);
  UserRound(t, user, label, true);
}

// The SO changes the SO PIN and back; the PIN it left no longer logs in.
void SoChangesItsPin(Reinit& t) {
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.f()->C_OpenSession(t.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  const std::string pins[] = {t.so, "11223344", t.so};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(CKR_OK, t.f()->C_Login(h, CKU_SO, U8(pins[i]), 8));
    EXPECT_EQ(CKR_OK, t.f()->C_SetPIN(h, U8(pins[i]), 8, U8(pins[i + 1]), 8)) << t.Log();
    ASSERT_EQ(CKR_OK, t.f()->C_Logout(h));
    EXPECT_EQ(CKR_PIN_INCORRECT, t.f()->C_Login(h, CKU_SO, U8(pins[i]), 8));
  }
  (void)t.f()->C_CloseSession(h);
}

// A card image as the sample generator made it before named DFs and EF.DIR had rules of (de)activation and
// termination (and EF.DIR one of writing).
std::string AsGeneratedBefore(std::string text) {
  const std::regex rule("((?:^|\n)(?:df [^\n]* name=|ef 3F00/2F00 )[^\n]*),(?:deactivate|activate|terminate|write):[^,\\s]+");
  for (std::string was; was != text;) was = text, text = std::regex_replace(text, rule, "$1");
  return text;
}

// The lines under `under` and EF.DIR that leave an operation of their kind without a rule (seven; a PIN's two) or give
// one "always" but reading an EF or a key's public part: what the module makes is its owners'.
std::string MadeOpenRules(const std::string& image, const std::string& under) {
  std::string out, l;
  for (std::istringstream in(image); std::getline(in, l);) {
    const size_t sp = l.find(' '), at = l.find(" ac=") + 4;
    if (l.find(" 3F00/2F00 ") != sp && l.find(" " + under) != sp) continue;
    std::string rules = l.substr(at, l.find(' ', at) - at) + ",";
    const bool named = std::count(rules.begin(), rules.end(), ',') == (l[0] == 'p' ? 2 : 7);
    if (l[0] != 'd' && l[0] != 'p' && rules.rfind("read:always,", 0) == 0) rules.erase(0, 12);
    if (!named || rules.find("always") != std::string::npos) out += l.substr(0, at + rules.size()) + "\n";
  }
  return out;
}

}  // namespace

// Blank card, then three rounds of C_InitToken under a new label, C_InitPIN by the SO (twice: a first PIN,
// then the user's), the user's work and the SO's change of the SO PIN, which the next round gives, on every
// model, in one process and across restarts; then the SO changes the SO PIN and back, and a fourth label goes
// through. The blank card's own SO PIN (models 1 and 7) keeps all its tries.
TEST(ModuleReinit, ThreeRoundsOnEveryModel) {
  for (const char* image : {"blank-model3.card", "blank-model4.card", "blank-model7.card", "blank-model1.card"}) {
    for (bool restart : {false, true}) {
      SCOPED_TRACE(std::string(image) + (restart ? " with restarts" : ""));
      Reinit t(image);
      t.blankSoKept = true;
      ASSERT_TRUE(t.Start());
      std::string old;
      const char* const users[] = {"2468", "1357", "9753"};
      const char* const sos[] = {"22334455", "33445566", "44556677"};
      for (int round = 0; round < 3; ++round) {
        AdminRound(t, "Runda " + std::to_string(round + 1), users[round], old, restart);
        if (HasFailure()) return;
        EXPECT_EQ("", MadeOpenRules(t.Image(), "3F00/5015"));
        old = users[round];
        t.SoSetsItsPin(sos[round]);
      }
      SoChangesItsPin(t);
      ASSERT_EQ(CKR_OK, t.InitToken("Runda 4")) << t.Log();
      EXPECT_EQ("Runda 4", t.Label());
    }
  }
}

namespace {

// A token made on a blank card: label "A", user PIN 2468 set by the SO, and a
// private data object of the user (with `keys` an RSA key pair too).
void MakeFirstToken(Reinit& t, bool keys) {
  ASSERT_EQ(CKR_OK, t.InitToken("A"));
  ASSERT_EQ(CKR_OK, t.InitPin("2468"));
  UserRound(t, "2468", "A", keys);
}

// Puts the card image `text` back into the reader, as a card inserted anew.
void PutBack(Reinit& t, const std::string& text) {
  ASSERT_EQ(0, t.sim.Remove(kReader));
  CK_SLOT_INFO si;
  (void)t.f()->C_GetSlotInfo(0, &si);  // the module sees the card go
  WriteFile(t.env.Card(t.card), text);
  ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
  (void)t.Label();  // the module reads the card inserted anew
}

// An issuer's PKCS#15 application DF anyone may create in, which only the SO (PIN 04) may delete or change.
const std::string kDropBox = "df 3F00/6002 lcs=05 name=A000000063504B43532D3135 ac=delete-child:pin:04,create-ef:always,"
    "create-df:always,deactivate:pin:04,activate:pin:04,terminate:pin:04,delete:pin:04\nef 3F00/6002/0001 lcs=05 size=8 "
    "ac=read:always,update:pin:04,write:pin:04,deactivate:pin:04,activate:pin:04,terminate:pin:04,delete:pin:04 "
    "data=4973737565723031\n";

int InitializeFromProfile(Reinit& t, const std::string& user, std::string* error, const std::string& puk = "<none>");
std::string LastError(Reinit& t);

// A card of `text` holding an issuer's drop box (or what else the module cannot account for): C_InitToken of slot 0
// (with `profile`, InitializeCard of two tokens) is refused, the card as it was octet for octet, retry counters
// too, and the trace and the last error name it: `named`, where it begins with "PIN ", is the whole line.
// No command the card is sent begins with any of `unsent` (hex, blank-separated).
void DropBoxRefused(Reinit& t, const std::string& text, const std::string& named = "DF 3F00/6002 of ", bool profile = false,
                    const std::string& unsent = "") {
  SCOPED_TRACE(text);
  PutBack(t, text);
  t.issuers = "3F00/6002 create-ef; 3F00/6002 create-df; ";
  t.slot = 0;
  const std::string before = t.Image();
  const size_t from = t.env.Trace().size(), sent = t.Log().size();
  std::string error;
  if (profile)
    EXPECT_NE(1, InitializeFromProfile(t, "2468", &error, "11223344\n[Szyfrowanie]\nUserPuk = <none>"));
  else
    EXPECT_EQ(CKR_FUNCTION_FAILED, t.InitToken("A"));
  if (!profile) error = LastError(t);
  EXPECT_EQ(before, t.Image());
  const std::string line = named.rfind("PIN ", 0) == 0
                               ? "ClassIC: " + named + ": the card is refused as it is (its owner clears that first), "
                                 "nothing changed ("
                               : named;
  EXPECT_NE(std::string::npos, t.env.Trace().find(line, from)) << t.env.Trace().substr(from);
  EXPECT_NE(std::string::npos, t.env.Trace().find("the card is refused as it is", from));
  EXPECT_NE(std::string::npos, error.find(named.rfind("PIN ", 0) == 0 ? line.substr(9, line.size() - 11) : named)) << error;
  std::istringstream none(unsent);
  for (std::string apdu; none >> apdu;) EXPECT_EQ(std::string::npos, t.Log().find("> " + apdu, sent)) << apdu;
}

}  // namespace

namespace {

// The card image's key lines ("key <path> ... ref=NN"), path and reference only.
std::vector<std::string> CardKeys(const std::string& image) {
  std::vector<std::string> keys;
  for (size_t at = image.find("\nkey "); at != std::string::npos; at = image.find("\nkey ", at + 1)) {
    const size_t end = image.find(' ', at + 5), line = image.find('\n', at + 1), ref = image.find(" ref=", at);
    keys.push_back(image.substr(at + 5, end - at - 5) + (ref < line ? image.substr(ref, 7) : ""));
  }
  return keys;
}

// The private key `prv` signs what OpenSSL verifies with (n, e), and decrypts what
// OpenSSL enciphered for it.
void SignsAndDecrypts(const CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h, CK_OBJECT_HANDLE prv,
                      const std::vector<CK_BYTE>& n, const std::vector<CK_BYTE>& e, const std::string& msg) {
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  std::vector<CK_BYTE> sig(512);
  CK_ULONG sigLen = sig.size();
  ASSERT_EQ(CKR_OK, f->C_SignInit(h, &mech, prv));
  ASSERT_EQ(CKR_OK, f->C_Sign(h, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(msg.data())), msg.size(), sig.data(),
                             &sigLen));
  EXPECT_EQ(msg, OpenSslRecover(n.data(), n.size(), e.data(), e.size(), sig.data(), sigLen));
  std::vector<CK_BYTE> ct = OpenSslEncrypt(n.data(), n.size(), e.data(), e.size(), msg);
  ASSERT_FALSE(ct.empty());
  std::vector<CK_BYTE> plain(512);
  CK_ULONG plainLen = plain.size();
  ASSERT_EQ(CKR_OK, f->C_DecryptInit(h, &mech, prv));
  ASSERT_EQ(CKR_OK, f->C_Decrypt(h, ct.data(), ct.size(), plain.data(), &plainLen));
  EXPECT_EQ(msg, std::string(reinterpret_cast<char*>(plain.data()), plainLen));
}

// A card's private key stays sensitive and not extractable: the changes that
// would loosen it are refused and its record is not written.
void KeyStaysSensitive(Reinit& t, CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) {
  const std::string image = t.Image();
  CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
  CK_ATTRIBUTE loosen[] = {{CKA_SENSITIVE, &no, 1}, {CKA_EXTRACTABLE, &yes, 1}};
  for (CK_ATTRIBUTE& a : loosen) EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, t.f()->C_SetAttributeValue(h, key, &a, 1)) << a.type;
  EXPECT_TRUE(image == t.Image()) << "the key's record was written";
}

}  // namespace

// On a token the module made, the user generates and imports RSA keys. Where the
// card keeps private keys in files of their own (models 1, 3 and 4) each key gets a
// file from 6000 up without a key reference, and its directory record names none;
// on model 7 the key is an object of the application's DF, named by a reference
// that its record names too. Each key signs what OpenSSL verifies and decrypts what
// OpenSSL enciphered. A generation the card refuses leaves the image as it was, and
// the next key takes the next file or reference.
TEST(ModuleReinit, TokensGenerateAndImportKeysAsTheirCardKeepsThem) {
  const struct {
    const char* image;
    std::vector<std::string> generated, imported;  // the card's keys after each step
    std::vector<std::string> refs;                 // the references the records name (DER INTEGER octets)
  } cases[] = {
      {"blank-model1.card", {"3F00/5015/5000/6000"}, {"3F00/5015/5000/6000", "3F00/5015/5000/6001"}, {"-", "-"}},
      {"blank-model3.card", {"3F00/5015/5000/6000"}, {"3F00/5015/5000/6000", "3F00/5015/5000/6001"}, {"-", "-"}},
      {"blank-model4.card", {"3F00/5015/5000/6000"}, {"3F00/5015/5000/6000", "3F00/5015/5000/6001"}, {"-", "-"}},
      {"blank-model7.card", {"3F00/5015/5000/4B81 ref=81"},
       {"3F00/5015/5000/4B81 ref=81", "3F00/5015/5000/4B82 ref=82"}, {"0081", "0082"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    Reinit t(c.image);
    ASSERT_TRUE(t.Start());
    MakeFirstToken(t, false);
    if (HasFailure()) return;
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, t.UserSession("2468", &h));
    const CK_FUNCTION_LIST* f = t.f();
    CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE id[] = {0x43};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_ID, id, 1}};
    CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, sizeof yes},
                          {CKA_PRIVATE, &yes, sizeof yes},
                          {CKA_SIGN, &yes, sizeof yes},
                          {CKA_DECRYPT, &yes, sizeof yes},
                          {CKA_ID, id, 1}};
    CK_OBJECT_HANDLE hPub = 0, hPrv = 0;
    const std::string before = t.Image();
    // The card refuses the key file, then the generation.
    for (unsigned ins : {0xE0u, 0x46u}) {
      SCOPED_TRACE(ins);
      ASSERT_EQ(0, t.sim.ClearLog(kReader));
      ASSERT_EQ(0, t.sim.InjectSw(kReader, ins, 0x6A84, 1));
      EXPECT_NE(CKR_OK, f->C_GenerateKeyPair(h, &gen, pub, 3, prv, 5, &hPub, &hPrv));
      EXPECT_NE(std::string::npos, t.Log().find(Fmt("> 00%02X", ins)));
      EXPECT_NE(std::string::npos, t.Log().find("< 6A84"));
      EXPECT_EQ(before, t.Image());
    }
    ASSERT_EQ(CKR_OK, f->C_GenerateKeyPair(h, &gen, pub, 3, prv, 5, &hPub, &hPrv)) << t.Log();
    EXPECT_EQ(c.generated, CardKeys(t.Image()));
    std::vector<CK_BYTE> n(512), e(16);
    CK_ATTRIBUTE na[] = {{CKA_MODULUS, n.data(), n.size()}, {CKA_PUBLIC_EXPONENT, e.data(), e.size()}};
    ASSERT_EQ(CKR_OK, f->C_GetAttributeValue(h, hPub, na, 2));
    n.resize(na[0].ulValueLen);
    e.resize(na[1].ulValueLen);
    SignsAndDecrypts(f, h, hPrv, n, e, "with the generated key");
    KeyStaysSensitive(t, h, hPrv);

    std::vector<std::vector<CK_BYTE>> k = OpenSslRsaKey(1024);
    ASSERT_EQ(8u, k.size());
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BYTE id2[] = {0x44};
    std::vector<CK_ATTRIBUTE> imp = WithRsaKeyParts({{CKA_CLASS, &cls, sizeof cls},
                                                     {CKA_KEY_TYPE, &type, sizeof type},
                                                     {CKA_TOKEN, &yes, sizeof yes},
                                                     {CKA_SENSITIVE, &yes, sizeof yes},
                                                     {CKA_SIGN, &yes, sizeof yes},
                                                     {CKA_DECRYPT, &yes, sizeof yes},
                                                     {CKA_ID, id2, 1}},
                                                    k);
    CK_OBJECT_HANDLE hImp = 0;
    ASSERT_EQ(CKR_OK, f->C_CreateObject(h, imp.data(), imp.size(), &hImp));
    EXPECT_EQ(c.imported, CardKeys(t.Image()));
    EXPECT_EQ(c.refs, cardimage::PrivateKeyReferences(t.env.Card(t.card)));
    SignsAndDecrypts(f, h, hImp, k[0], k[1], "with the imported key");
    KeyStaysSensitive(t, h, hImp);
    (void)f->C_CloseAllSessions(0);
    // Read anew by a module started again, both keys still work.
    ASSERT_TRUE(t.Start());
    ASSERT_EQ(CKR_OK, t.UserSession("2468", &h));
    CK_OBJECT_CLASS prvClass = CKO_PRIVATE_KEY;
    for (CK_BYTE* which : {id, id2}) {
      CK_ATTRIBUTE find[] = {{CKA_CLASS, &prvClass, sizeof prvClass}, {CKA_ID, which, 1}};
      CK_OBJECT_HANDLE found = 0;
      CK_ULONG count = 0;
      ASSERT_EQ(CKR_OK, t.f()->C_FindObjectsInit(h, find, 2));
      ASSERT_EQ(CKR_OK, t.f()->C_FindObjects(h, &found, 1, &count));
      ASSERT_EQ(CKR_OK, t.f()->C_FindObjectsFinal(h));
      ASSERT_EQ(1u, count);
      if (which == id)
        SignsAndDecrypts(t.f(), h, found, n, e, "generated, after a restart");
      else
        SignsAndDecrypts(t.f(), h, found, k[0], k[1], "imported, after a restart");
    }
    // On model 7 the 32nd key makes a DF of its own (one holds 31): its owners' alone, as the key it holds.
    if (c.refs[0] != "-") {
      for (int i = 0; i < 30; ++i) ASSERT_EQ(CKR_OK, t.f()->C_GenerateKeyPair(h, &gen, pub, 3, prv, 5, &hPub, &hPrv));
      ASSERT_NE(std::string::npos, t.Image().find("\ndf 3F00/5015/5000/6000 "));
      EXPECT_EQ("", cardimage::OpenToAnyone(t.Image(), true) + MadeOpenRules(t.Image(), "3F00/5015"));
    }
    (void)t.f()->C_CloseAllSessions(0);
  }
}

// A second C_InitToken straight after the first on a blank card builds the
// token again under the new label; the SO then sets the user PIN. Before, the
// user's login finds a PIN not yet initialised, after either initialisation.
TEST(ModuleReinit, SecondInitTokenOnAFreshTokenBuildsItAgain) {
  const auto userLogin = [](Reinit& t) {
    CK_SESSION_HANDLE h = 0;
    const CK_RV rv = t.UserSession("1357", &h);
    (void)t.f()->C_CloseAllSessions(0);
    return rv;
  };
  for (const char* image : {"blank-model3.card", "blank-model4.card", "blank-model7.card", "blank-model1.card"}) {
    SCOPED_TRACE(image);
    Reinit t(image);
    ASSERT_TRUE(t.Start());
    ASSERT_EQ(CKR_OK, t.InitToken("A"));
    EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, userLogin(t)) << t.Log();
    ASSERT_EQ(CKR_OK, t.InitToken("B")) << t.Log();
    EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, userLogin(t)) << t.Log();
    EXPECT_EQ("B", t.Label());
    ASSERT_EQ(CKR_OK, t.InitPin("1357"));
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(CKR_OK, t.UserSession("1357", &h));
    (void)t.f()->C_CloseAllSessions(0);
  }
}

// The shipped model-3 token: C_InitToken erases it with its key, certificate
// and data object; the SO sets the user PIN of the new token, whose user finds
// none of them, in this process and after a restart.
// Also where EF.DIR names the token's DF twice, or names as an application a place inside the token's own files
// or a DF that does not stand: none of them is another application, and the token is built anew (the shipped one,
// and one made here whose user PIN is the master file's).
TEST(ModuleReinit, InitTokenOnTheShippedModel3TokenErasesItsObjects) {
  for (const char* place : {"3F005015", "3F0050154402", "3F0050155000", "3F0050155017"}) {
    for (const char* card : {"pkcs15-model3.card", "blank-model3.card"}) {
      SCOPED_TRACE(std::string(card) + " " + place);
      Reinit t(card);
      ASSERT_TRUE(t.Start());
      if (std::string(card) == "blank-model3.card") {
        ASSERT_EQ(CKR_OK, t.InitToken("CardSim Token"));
        ASSERT_EQ(CKR_OK, t.InitPin("1234"));
        UserRound(t, "1234", "A", true);
      }
      SoChangesItsPin(t);  // the card's own, of 8 octets
      // A second record: the token's own, labelled X and naming `place`.
      std::string image = t.Image();
      const size_t data = image.find("data=", image.find("\nef 3F00/2F00 ")) + 5;
      const std::string first = image.substr(data, 4 + 2 * std::stoul(image.substr(data + 2, 2), nullptr, 16));
      std::string body = first.substr(4);
      body.replace(body.find("51043F005015"), 12, Fmt("51%02zX", std::strlen(place) / 2) + place);
      const size_t label = 4 + 2 * std::stoul(body.substr(2, 2), nullptr, 16);  // after the AID
      body.replace(label + 2, 2 + 2 * std::stoul(body.substr(label + 2, 2), nullptr, 16), "0158");
      image.replace(data + first.size(), 4 + body.size(), Fmt("61%02zX", body.size() / 2) + body);
      PutBack(t, image);
      // The token's own label, but a new one where EF.DIR names its DF twice.
      ASSERT_EQ(CKR_OK, t.InitToken(std::strlen(place) == 8 ? "Nowy" : "CardSim Token")) << t.Log();
      EXPECT_EQ(std::string::npos, t.Image().find("\nkey 3F00/5015/4B01 "));
      EXPECT_EQ(std::string::npos, t.Image().find("\nkey 3F00/5015/5000/")) << t.Image();
      EXPECT_EQ("", cardimage::OpenToAnyone(t.Image()));
      CK_SESSION_HANDLE h = 0;
      EXPECT_NE(CKR_OK, t.UserSession("1234", &h));
    }
  }
  Reinit t("pkcs15-model3.card");
  ASSERT_TRUE(t.Start());
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(CKR_OK, t.InitToken("Nowy")) << t.Log();
  // EF.DIR is rewritten in place, never deleted and made again at another size.
  EXPECT_EQ(std::string::npos, t.Log().find("> 00E40000022F00")) << t.Log();
  EXPECT_NE(std::string::npos, t.Image().find("ef 3F00/2F00 lcs=05 size=256 "));
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "same process" : "after a restart");
    if (pass == 1) {
      ASSERT_TRUE(t.Start());
    }
    EXPECT_EQ("Nowy", t.Label());
    CK_SESSION_HANDLE h = 0;
    EXPECT_NE(CKR_OK, t.UserSession("1234", &h));
    ASSERT_EQ(CKR_OK, t.f()->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
    EXPECT_EQ(std::vector<std::string>{}, t.Objects(h));
    (void)t.f()->C_CloseAllSessions(0);
  }
  ASSERT_EQ(CKR_OK, t.InitPin("5555"));
  UserRound(t, "5555", "Nowy", true);
  // A token whose EF.DIR only the SO may read shows none: its user PIN 01 stands where a new token's goes on a card
  // that shows no token, so C_InitToken changes nothing and sends that PIN no value.
  Reinit h("blank-model3.card");
  ASSERT_TRUE(h.Start());
  ASSERT_EQ(CKR_OK, h.InitToken("A"));
  ASSERT_EQ(CKR_OK, h.InitPin("1234"));
  std::string image = h.Image();
  PutBack(h, image.replace(image.find("read:always", image.find("\nef 3F00/2F00 ")), 11, "read:pin:04"));
  ASSERT_EQ(0, h.sim.ClearLog(kReader));
  EXPECT_EQ(CKR_FUNCTION_FAILED, h.InitToken("Nowy"));
  EXPECT_EQ(WithoutCounters(image), WithoutCounters(h.Image()));
  EXPECT_EQ(std::string::npos, h.Log().find("> 0020000110")) << h.Log();
}

namespace {
void TokenWorks(Reinit& t, const std::string& pin, size_t objects);
void DirectoriesWhole(Reinit& t);
}  // namespace

// Every sample card that holds a token, as the sample generator made it before its DFs and EF.DIR named
// deactivate, activate and terminate rules, and as a card whose headers carry no life-cycle byte; a nested card so
// made beside an issuer's DF, and a token whose DF holds an application of another kind that EF.DIR names:
// C_InitToken of each slot changes nothing but that token's DF, EF.DIR and the master file's PINs at global
// references (never a qualified key or its PIN, nor an issuer's PIN), or is refused with the card as it was.
TEST(ModuleReinit, InitTokenOfOneSlotTouchesNothingElseOnCardsOfEveryForm) {
  const auto noLifeCycle = [](std::string text) { return text.insert(text.find("\nmemory ") + 1, "fcp-lcs 0\n"); };
  const auto openDir = [](std::string text) {
    const size_t at = text.find(" ac=", text.find("\nef 3F00/2F00 ")) + 4;
    return text.replace(at, text.find(' ', at) - at, "read:always");
  };
  std::vector<std::pair<std::string, std::string>> cards;
  for (const char* name : {"pkcs15-model3.card", "pkcs15-model3-puk.card", "pkcs15-model3-two-apps.card",
                           "pkcs15-model3-two-apps-puk.card", "pkcs15-model3-nested-apps-puk.card",
                           "pkcs15-model3-user-owned.card", "qualified-model1.card", "qualified-model3.card",
                           "written-to-size-model1.card", "written-to-size-model3.card", "written-to-size-model4.card",
                           "written-to-size-model7.card", "filled-by-22053d3-model3.card"}) {
    const std::string text = ReadFile(CardsDir() + "/" + name);
    cards.emplace_back(std::string(name) + ", older", AsGeneratedBefore(text));
    cards.emplace_back(std::string(name) + ", no life-cycle byte", noLifeCycle(text));
    cards.emplace_back(std::string(name) + ", EF.DIR anyone may change", openDir(text));
  }
  const std::string nested = AsGeneratedBefore(ReadFile(CardsDir() + "/pkcs15-model3-nested-apps-puk.card"));
  cards.emplace_back("nested, beside an issuer's DF",
                     nested + "df 3F00/5016 lcs=05 name=D2760000850101 ac=delete-child:pin:04,create-ef:pin:04,"
                              "create-df:pin:04,delete:pin:04\nef 3F00/5016/5001 lcs=05 size=4 ac=read:pin:04,"
                              "update:pin:04,delete:pin:04 data=31323334\n");
  std::string issuers = ReadFile(CardsDir() + "/pkcs15-model3-puk.card");
  const size_t dir = issuers.find("data=", issuers.find("\nef 3F00/2F00 ")) + 5;
  issuers.replace(dir + 2 * (2 + std::stoul(issuers.substr(dir + 2, 2), nullptr, 16)), 52,
                  "61184F06A00000000102500649737375657251063F0050155020");
  cards.emplace_back("an issuer's application in the token's DF",
                     issuers + "df 3F00/5015/5020 lcs=05 name=A00000000102 ac=create-ef:pin:04,create-df:pin:04,"
                               "deactivate:pin:04,terminate:pin:04,delete:pin:04\nef 3F00/5015/5020/5021 lcs=05 size=4 "
                               "ac=update:pin:04,delete:pin:04 data=31323334\n");
  // An issuer's PIN 81 in the master file, the SO's, guarding the issuer's own application (as plant.py issuerpin
  // makes it): it is never the token's, whose local PIN 81 stands in its DF.
  std::string issuerPin = ReadFile(CardsDir() + "/written-to-size-model1.card");
  const size_t line = issuerPin.find("\nef 3F00/2F00 lcs=05 size=41 ") + 1;
  issuerPin.replace(issuerPin.find("size=41", line), 7, "size=57");
  issuerPin.insert(issuerPin.find('\n', line), "610E4F06D2760000FF0151043F004100");
  cards.emplace_back("an issuer's PIN 81 in the master file",
                     issuerPin + "pin 3F00 ref=81 min=4 max=16 pad=FF tries=3 ac=update:pin:02,delete:pin:02 value=35353535\n"
                     "df 3F00/4100 lcs=05 name=D2760000FF01 ac=create-ef:pin:02,create-df:pin:02,delete:pin:02\n"
                     "ef 3F00/4100/0001 lcs=05 size=8 ac=read:pin:81,update:pin:81,delete:pin:02 data=5345435245543031\n");
  // Issuers' cards: a master file that lets anyone create (the second application's own PIN stands in its own
  // DF), and an issuer's PKCS#15 application anyone may create in but only the SO may delete or change.
  std::string openMf = ReadFile(CardsDir() + "/pkcs15-model3-two-apps-puk.card");
  for (const char* op : {"create-ef:", "create-df:"}) {
    const size_t at = openMf.find(op, openMf.find("\ndf 3F00 ")) + std::strlen(op);
    openMf.replace(at, openMf.find_first_of(", ", at) - at, "always");
  }
  cards.emplace_back("a master file anyone may create in", openMf);
  std::string dropbox = ReadFile(CardsDir() + "/pkcs15-model3.card");
  const size_t data = dropbox.find("data=", dropbox.find("\nef 3F00/2F00 ")) + 5;
  dropbox.replace(data + 2 * (2 + std::stoul(dropbox.substr(data + 2, 2), nullptr, 16)), 44,
                  "61144F0CA000000063504B43532D313551043F006002");
  cards.emplace_back("an issuer's drop box", dropbox + kDropBox);
  Reinit t("pkcs15-model3.card");
  ASSERT_TRUE(t.Start());
  int calls = 0, through = 0;
  for (const auto& [name, text] : cards) {
    for (CK_SLOT_ID slot = 0; slot < 3; ++slot) {
      SCOPED_TRACE(name + ", slot " + std::to_string(slot));
      t.slot = slot;
      t.issuers = name.rfind("an issuer's drop box", 0) == 0 ? "3F00/6002 create-ef; 3F00/6002 create-df; " : "";
      PutBack(t, text);
      CK_TOKEN_INFO ti;
      if (t.f()->C_GetTokenInfo(slot, &ti) != CKR_OK || !(ti.flags & CKF_TOKEN_INITIALIZED)) continue;
      const std::string before = WithoutCounters(t.Image());
      const size_t from = t.env.Trace().size();
      const CK_RV rv = t.InitToken("Nowy");
      const std::string after = WithoutCounters(t.Image());
      ++calls;
      through += rv == CKR_OK;
      EXPECT_EQ(name.find("naming its user PIN") != std::string::npos,
                t.env.Trace().find("user PIN 02 in 3F00 is not its own: the card is refused as it is", from) != std::string::npos);
      CK_SESSION_HANDLE h = 0;  // the previous user's PIN
      const CK_RV old = rv == CKR_OK && name.find("before the token") != std::string::npos ? t.UserSession("1234", &h)
                                                                                           : CKR_PIN_INCORRECT;
      EXPECT_TRUE(old == CKR_USER_PIN_NOT_INITIALIZED || old == CKR_PIN_INCORRECT) << old;
      if (rv != CKR_OK) {
        EXPECT_EQ(before, after);
        continue;
      }
      // The DF of the token now labelled "Nowy": its TokenInfo holds the label.
      std::string df;
      std::istringstream lines(after);
      for (std::string l; std::getline(lines, l);)
        if (l.rfind("ef ", 0) == 0 && l.find("/5032 ") != std::string::npos && l.find("4E6F7779") != std::string::npos)
          df = l.substr(3, l.find("/5032 ") - 3);
      ASSERT_NE("", df);
      // The issuer's application keeps its record.
      if (name.rfind("an issuer's drop box", 0) == 0) {
        EXPECT_NE(std::string::npos, after.find("51043F006002")) << after;
      }
      // Under an EF.DIR anyone may change, the token is made where the previous one stood, none of its keys left.
      if (name.find("EF.DIR anyone") != std::string::npos) {
        EXPECT_EQ("3F00/5015", df);
        EXPECT_EQ(std::string::npos, after.find("\nkey 3F00/5015/")) << after;
      }
      std::istringstream in(before);
      for (std::string l; std::getline(in, l);) {
        const std::string path = l.substr(l.find(' ') + 1, l.find(' ', l.find(' ') + 1) - l.find(' ') - 1);
        const bool token = path == df || path.rfind(df + "/", 0) == 0;
        const bool qualified = l.find("/4B02 ") != std::string::npos || l.find(" ref=83 ") != std::string::npos;
        // The master file's PINs at global references may be the token's; one at a local reference never is.
        const bool global = l.rfind("pin 3F00 ", 0) == 0 && cardimage::ValueOf(l, "ref") < "80";
        if (global || l.rfind("ef 3F00/2F00 ", 0) == 0 || (token && !qualified)) continue;
        EXPECT_NE(std::string::npos, after.find(l + "\n")) << l;
      }
    }
  }
  EXPECT_LE(30, calls);
  EXPECT_LE(20, through);
  t.issuers = "";
  // InitializeCard of a model-4 card in those forms: its token made, or refused with the card as it was.
  for (const auto& [name, text] : cards) {
    if (name.rfind("written-to-size-model4", 0) != 0) continue;
    SCOPED_TRACE(name + ", InitializeCard");
    t.slot = 0;
    PutBack(t, text);
    const std::string before = WithoutCounters(t.Image());
    if (InitializeFromProfile(t, "2468", nullptr) != 1) EXPECT_EQ(before, WithoutCounters(t.Image()));
    else EXPECT_EQ("Podpis", t.Label());
  }
}

// Where the SO may not delete what the user made, C_InitToken answers
// CKR_FUNCTION_FAILED after the SO PIN was verified, says why in the trace,
// and leaves every octet of the card and the token as they were.
TEST(ModuleReinit, InitTokenThatWouldLeaveThePreviousUsersObjectsChangesNothing) {
  Reinit t("pkcs15-model3-user-owned.card");
  ASSERT_TRUE(t.Start());
  const std::string before = t.Image();
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.InitToken("Nowy"));
  EXPECT_EQ(WithoutCounters(before), WithoutCounters(t.Image()));
  const std::string log = t.Log();
  EXPECT_NE(std::string::npos, log.find("> 00200004")) << log;       // the SO PIN was verified
  EXPECT_EQ(std::string::npos, log.find("> 00E4")) << log;  // its header keeps the DF from the SO: not asked
  EXPECT_NE(std::string::npos, t.env.Trace().find("the SO PIN cannot delete the private objects of token "
                                                  "'CardSim Token'"));
  EXPECT_EQ("CardSim Token", t.Label());
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
  EXPECT_EQ(4u, t.Objects(h).size());
  (void)t.f()->C_CloseAllSessions(0);
  // So too where the DF holds another application's, or is the issuer's (the SO may not write TokenInfo, nor make
  // the user PIN in it anew), also under its own label (the user deleted the key): the user PIN is never blocked.
  std::string issuers = ReadFile(CardsDir() + "/pkcs15-model3.card");
  issuers.replace(issuers.find("delete:pin:04", issuers.find("\ndf 3F00/5015 ")), 13, "delete:never");
  issuers.replace(issuers.find(" data=", issuers.find("/4402 ")), 8, " data=00");
  issuers.erase(issuers.find("\nkey "), issuers.find('\n', issuers.find("\nkey ") + 1) - issuers.find("\nkey "));
  std::string ownersDf = issuers;
  ownersDf.replace(ownersDf.find("create-ef:pin:81", ownersDf.find("\ndf 3F00/5015 ")), 16, "create-ef:pin:04");
  // The shipped token on models 2, 5 and 6: the holder's key, which the SO may not delete, ends the call before a file goes.
  const auto asModel = [](char m) {
    std::string x = ReadFile(CardsDir() + "/pkcs15-model3.card");
    const size_t atr = x.replace(x.find("\nmodel 3\n") + 7, 1, 1, m).find("2D33830F9000");
    return x.replace(atr + 3, 1, 1, m).replace(atr + 12, 2, Fmt("%02X", 0x96 ^ 3 ^ (m - '0')));
  };
  // The key the SO may delete, the public key after it not; the private-key directory the SO may change or not.
  // (Its user PIN in the master file, so that the DF can go once empty on these cards.)
  const auto keyToSo = [&asModel](char m, const char* prkdfUpdate) {
    std::string x = asModel(m);
    x.replace(x.find("\npin 3F00/5015 ref=81 "), 22, "\npin 3F00 ref=81 ");
    const size_t aodf = x.find("data=3037300D", x.find("\nef 3F00/5015/4401 ")) + 5;
    x.replace(aodf, 4, "3035").replace(x.find("A121301F", aodf), 8, "A11F301D");
    x.replace(x.find("300604043F005015", aodf), 16, "300404023F00").insert(x.find('\n', aodf), "0000");
    x.replace(x.find("delete:pin:81", x.find("\nkey 3F00/5015/4B01 ")), 13, "delete:pin:04");
    return x.replace(x.find("update:pin:81", x.find("\nef 3F00/5015/4402 ")), 13, prkdfUpdate);
  };
  // Every file the SO's to delete: the DF, which holds the user PIN, would stay on these cards.
  const auto allToSo = [&asModel](char m) {
    std::string x = asModel(m);
    for (size_t at = x.find("delete:pin:81"); at != std::string::npos; at = x.find("delete:pin:81", at))
      x.replace(at, 13, "delete:pin:04");
    return x;
  };
  // changes: the card refuses a deletion after others went (its headers show no rules); every directory then
  // names only what stands, and the objects still standing are all listed. ask: where headers show the rules, the
  // call asks them first and sends no DELETE.
  const char* const soMayNot = "the SO PIN deleted what it may of token 'CardSim Token' and cannot delete the rest";
  const struct { std::string image; CK_SLOT_ID slot; const char* label; CK_RV rv; const char* why; size_t objects = 0;
                 bool changes = false, ask = false; } rows[] = {
      {asModel('2'), 0, "Nowy", CKR_FUNCTION_FAILED, "the SO PIN cannot delete the private objects of token", 4, false, true},
      {asModel('5'), 0, "Nowy", CKR_FUNCTION_FAILED, "the SO PIN cannot delete the private objects of token", 4, false, true},
      {asModel('6'), 0, "Nowy", CKR_FUNCTION_FAILED, "the SO PIN cannot delete the private objects of token", 4, false, true},
      {allToSo('6'), 0, "Nowy", CKR_FUNCTION_FAILED, "3F00/5015 holds PIN 81, which keeps the DF on this card", 4, false, true},
      {keyToSo('5', "update:pin:81"), 0, "Nowy", CKR_FUNCTION_FAILED, "3F00/5015/5501 - the PINs held may not delete it",
       4, false, true},
      {keyToSo('2', "update:pin:81"), 0, "Nowy", CKR_FUNCTION_FAILED, "3F00/5015/4402 named 1 files gone: deleted", 3, true},
      {keyToSo('6', "update:pin:04"), 0, "Nowy", CKR_FUNCTION_FAILED, "3F00/5015/4402 named 1 files gone: written", 3, true},
      {ReadFile(CardsDir() + "/pkcs15-model3-nested-apps-puk.card"), 1, "Nowy", CKR_FUNCTION_FAILED,
       "of token 'CardSim Token 2', which stays"},
      {issuers, 0, "Nowy", CKR_FUNCTION_FAILED, "the SO PIN may not make the user PIN 81 anew where it stands", 0, false, true},
      {issuers, 0, "CardSim Token", CKR_FUNCTION_FAILED, "the SO PIN may not make the user PIN 81 anew where it stands",
       0, false, true},
      // Where the SO may make it anew, a PIN 81 in the master file (anyone's) would answer for the token's files while
      // it is: the call ends before it changes anything.
      {ownersDf + "pin 3F00 ref=81 min=4 max=16 pad=FF tries=3 left=3 ac=update:always,delete:always value=39393939\n", 0,
       "Nowy", CKR_FUNCTION_FAILED, "a PIN 81 stands above the DF of the token's user PIN", 0, false, true},
      // As the sample generator made them before their DFs and EF.DIR named deactivate and terminate rules: what
      // anyone may only deactivate or terminate is no one's to take, so they answer as they do today.
      {AsGeneratedBefore(ReadFile(CardsDir() + "/pkcs15-model3-user-owned.card")), 0, "Nowy", CKR_FUNCTION_FAILED,
       "the SO PIN cannot delete the private objects of token"},
      {AsGeneratedBefore(ReadFile(CardsDir() + "/qualified-model1.card")), 0, "Nowy", CKR_DEVICE_ERROR,
       "no SO PIN stands at 02, where this card keeps it: nothing changed"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    t.slot = row.slot;
    PutBack(t, row.image);
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    const size_t from = t.env.Trace().size();
    EXPECT_EQ(row.rv, t.InitToken(row.label));
    const std::string trace = t.env.Trace().substr(from);
    EXPECT_NE(std::string::npos, trace.find(row.why)) << trace;
    if (row.changes) {
      EXPECT_NE(std::string::npos, trace.find(soMayNot)) << trace;
      DirectoriesWhole(t);
    } else {
      EXPECT_EQ(WithoutCounters(row.image), WithoutCounters(t.Image()));
      if (row.ask) {
        EXPECT_EQ(std::string::npos, t.Log().find("> 00E4")) << t.Log();
      }
    }
    EXPECT_EQ(CKR_OK, t.UserSession("1234", &h));
    (void)t.f()->C_CloseAllSessions(t.slot);
    if (row.objects) TokenWorks(t, "1234", row.objects);
  }
  // On those cards one "no such file" or "no such PIN" at any command of the call loses nothing: the holder's
  // token stays listed, the user logs in and every key signs (or, where it went through, the token is the new one).
  t.slot = 0;
  for (char m : {'2', '5', '6'}) {
    PutBack(t, asModel(m));
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    (void)t.InitToken("Nowy");
    const size_t commands = tokenrig::Commands(t.Log()).size();
    for (int k = 0; k < static_cast<int>(commands); ++k) {
      SCOPED_TRACE(testing::Message() << "model " << m << ", " << (k % 2 ? "6A88" : "6A82") << " at command " << k);
      PutBack(t, asModel(m));
      ASSERT_EQ(0, t.injectAfter(kReader, 0x100, k % 2 ? 0x6A88 : 0x6A82, k, 1));
      const CK_RV rv = t.InitToken("Nowy");
      (void)t.injectAfter(kReader, 0x100, 0x6F00, 0, 0);
      if (rv == CKR_OK) EXPECT_EQ("Nowy", t.Label());
      else TokenWorks(t, "1234", 4);
    }
  }
}

namespace {

using AfterCommandsFn = int (*)(const char*, unsigned, int, int);

// A fault at one card command: an error answer, a reset by another application,
// a card that goes mute, or one pulled out; or a card that refuses a deletion
// (file, key or PIN) and every later one.
// (kRefused: the security status is not satisfied, 6982, at that one command;
// kNotFoundTwice: that SELECT and the next answer "no such file", 6A82.)
enum class Fault { kErrorAnswer, kResetByOther, kMute, kPull, kDeletionsRefused, kRefused, kNotFoundTwice };
const Fault kAllFaults[] = {Fault::kErrorAnswer, Fault::kMute, Fault::kPull, Fault::kResetByOther,
                            Fault::kDeletionsRefused};

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kErrorAnswer: return "error answer";
    case Fault::kResetByOther: return "reset by another application";
    case Fault::kPull: return "pulled";
    case Fault::kDeletionsRefused: return "deletions refused";
    case Fault::kRefused: return "security status not satisfied";
    case Fault::kNotFoundTwice: return "two SELECTs answered not found";
    default: return "mute";
  }
}

const char kUninitialised[] = "<uninitialised>";

// What C_GetTokenInfo shows of the token's slot: the label of an initialised token,
// kUninitialised for one still to be initialised, "<rv>" for an error.
// "<no token>" where the slot shows none.
std::string TokenState(Reinit& t) {
  if (CK_SLOT_INFO si; t.f()->C_GetSlotInfo(t.slot, &si) != CKR_OK || (si.flags & CKF_TOKEN_PRESENT) == 0) return "<no token>";
  CK_TOKEN_INFO ti;
  std::memset(&ti, 0, sizeof ti);
  const CK_RV rv = t.f()->C_GetTokenInfo(t.slot, &ti);
  if (rv != CKR_OK) return "<" + std::to_string(rv) + ">";
  if ((ti.flags & CKF_TOKEN_INITIALIZED) == 0) return kUninitialised;
  std::string s(reinterpret_cast<const char*>(ti.label), 32);
  return s.erase(s.find_last_not_of(' ') + 1);
}

// Every directory record of the card's token is whole and names a file that
// is there. The ODF may name object directories not made yet: the token makes
// each with its first object (the user's PIN guards their creation).
void DirectoriesWhole(Reinit& t) {
  cardimage::DirectoryCheck c = cardimage::CheckDirectories(t.env.Card(t.card));
  const auto notMadeYet = [](const std::string& m) { return m.compare(0, 5, "ODF: ") == 0 && m != "ODF: 3F0050155200"; };
  c.missing.erase(std::remove_if(c.missing.begin(), c.missing.end(), notMadeYet), c.missing.end());
  EXPECT_EQ(std::vector<std::string>{}, c.missing);
  EXPECT_EQ(std::vector<std::string>{}, c.torn);
}

// `pin` logs in; the token holds `objects` objects, every value reads and
// every private key signs what OpenSSL verifies with the key's public parts.
void TokenWorks(Reinit& t, const std::string& pin, size_t objects) {
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession(pin, &h)) << t.Log();
  const CK_FUNCTION_LIST* f = t.f();
  CK_OBJECT_HANDLE found[64];
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, f->C_FindObjectsInit(h, nullptr, 0));
  ASSERT_EQ(CKR_OK, f->C_FindObjects(h, found, 64, &n));
  (void)f->C_FindObjectsFinal(h);
  EXPECT_EQ(objects, n);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE a = {CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(CKR_OK, f->C_GetAttributeValue(h, found[i], &a, 1));
    if (cls == CKO_DATA || cls == CKO_CERTIFICATE) {
      std::vector<CK_BYTE> value(4096);
      CK_ATTRIBUTE v = {CKA_VALUE, value.data(), value.size()};
      EXPECT_EQ(CKR_OK, f->C_GetAttributeValue(h, found[i], &v, 1));
      EXPECT_GT(v.ulValueLen, 0u);
    } else if (cls == CKO_PRIVATE_KEY) {
      std::vector<CK_BYTE> mod(512), ex(16), sig(512);
      CK_ATTRIBUTE na[] = {{CKA_MODULUS, mod.data(), mod.size()}, {CKA_PUBLIC_EXPONENT, ex.data(), ex.size()}};
      ASSERT_EQ(CKR_OK, f->C_GetAttributeValue(h, found[i], na, 2));
      CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
      const std::string msg = "signed after a fault";
      CK_ULONG sigLen = sig.size();
      ASSERT_EQ(CKR_OK, f->C_SignInit(h, &mech, found[i]));
      ASSERT_EQ(CKR_OK, f->C_Sign(h, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(msg.data())), msg.size(),
                                 sig.data(), &sigLen));
      EXPECT_EQ(msg, OpenSslRecover(mod.data(), na[0].ulValueLen, ex.data(), na[1].ulValueLen, sig.data(), sigLen));
    }
  }
  (void)f->C_CloseAllSessions(t.slot);
}

// pkcs11-tool, a host of its own, initialises the card as an administrator
// would, with this module stopped meanwhile.
void InitTokenWithPkcs11Tool(Reinit& t, const std::string& label) {
  t.Stop();
  // Out of this simulator's reader (which saves the image as it goes) while the tool's simulator has the card.
  ASSERT_EQ(0, t.sim.Remove(kReader));
  const std::string out = t.env.Path("pkcs11-tool.out");
  const std::string cmd = "HOME='" + t.env.home + "' pkcs11-tool --module '" + ModulePath() + "' --slot " +
                          std::to_string(t.slot) + " --init-token --label '" + label + "' --so-pin " + t.so + " >'" + out + "' 2>&1";
  EXPECT_EQ(0, std::system(cmd.c_str())) << ReadFile(out);
  EXPECT_NE(std::string::npos, ReadFile(out).find("Token successfully initialized")) << ReadFile(out);
  ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
  ASSERT_TRUE(t.Start());
}

bool HavePkcs11Tool() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;  // a module built with a sanitizer loads only into a host built with it
#else
  return std::system("command -v pkcs11-tool >/dev/null 2>&1") == 0;
#endif
}

// One administrator's call on a prepared card, and what it leaves.
struct Operation {
  const char* name;
  std::function<CK_RV(Reinit&)> call;
  std::function<void(Reinit&)> succeeded;  // checks the token after success
  std::function<void(Reinit&)> unchanged;  // checks the token after a failure
  // What C_GetTokenInfo may show after the card was pulled or went mute.
  std::vector<std::string> afterCut;
  // The initialisation: C_InitToken (the SO then sets the user PIN), or the SO's C_InitPIN.
  bool initToken;
  // The objects of the token that C_InitPIN leaves to the user.
  size_t objects = 0;
  // The card commands the call takes at least (the sweep's check that it ran its course).
  int commands = 11;
  // The previous owner's label and user PIN: that PIN opens no other token.
  std::string oldLabel = "", oldPin = "";
  // The previous owner's user PUK: it sets no PIN of another token.
  std::string oldPuk = "";
  // What the call leaves alone whatever happens (checked after each case and recovery).
  std::function<void(Reinit&)> spared = nullptr;
  bool again = false;  // after a cut the administrator makes the same call again (else C_InitToken, C_InitPIN)
};

// After a call that went through no PIN of the card, nor EF.DIR or a token's DF, is open to someone with no PIN.
void NoPinOpenToAnyone(Reinit& t) { EXPECT_EQ(t.issuers, cardimage::OpenToAnyone(t.Image())); }

using PinListFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);
using UnblockFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);

// The PUK `puk` unblocks no PIN of the token to a value that logs in, and the
// session sees no object that is private.
void OldPukShut(Reinit& t, const std::string& puk) {
  const auto unblock = t.module->fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
  CK_SESSION_HANDLE h = 0;
  CK_OBJECT_HANDLE pins[8];
  CK_ULONG n = 8;
  ASSERT_EQ(CKR_OK, t.f()->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  ASSERT_EQ(CKR_OK, t.module->fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(h, pins, &n));
  for (CK_ULONG i = 0; i < n; ++i)
    EXPECT_NE(CKR_OK, unblock(h, pins[i], U8(puk), puk.size(), U8("9999"), 4)) << "PIN " << i << "\n" << t.Log();
  EXPECT_NE(CKR_OK, t.f()->C_Login(h, CKU_USER, U8("9999"), 4));
  EXPECT_EQ(std::vector<std::string>{}, t.Objects(h));
  (void)t.f()->C_CloseAllSessions(0);
}

// The previous owner's PIN and PUK open no token but the old one (`label` shows which).
void OldPinShut(Reinit& t, const Operation& op, const std::string& label) {
  CK_SESSION_HANDLE h = 0;
  if (op.oldPin.empty() || label == op.oldLabel) return;
  EXPECT_NE(CKR_OK, t.UserSession(op.oldPin, &h)) << "the previous owner's PIN opens " << label << "\n" << t.Log();
  (void)t.f()->C_CloseAllSessions(t.slot);
  if (!op.oldPuk.empty() && label != kUninitialised) OldPukShut(t, op.oldPuk);
}

// The administrator's next steps after a cut: C_InitToken (through pkcs11-tool
// when asked), the SO sets the user PIN, the user logs in.
void Recover(Reinit& t, const Operation& op, bool withTool, const std::string& log) {
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  if (op.again) {
    ASSERT_EQ(CKR_OK, op.call(t)) << log << "\nThe call anew:\n" << t.Log();
    return op.succeeded(t);
  }
  if (op.initToken) {
    if (withTool) {
      InitTokenWithPkcs11Tool(t, "C");
      if (::testing::Test::HasFailure()) return;
    } else {
      ASSERT_EQ(CKR_OK, t.InitToken("C")) << log << "\nC_InitToken anew:\n" << t.Log();
    }
    EXPECT_EQ("C", TokenState(t));
    DirectoriesWhole(t);
    OldPinShut(t, op, "C");
  }
  if (!op.initToken) {
    // The call may have set the new PIN before the cut: the user logs in with it.
    CK_SESSION_HANDLE h = 0;
    if (t.UserSession("1357", &h) == CKR_OK) {
      (void)t.f()->C_CloseAllSessions(0);
      return;
    }
  }
  ASSERT_EQ(CKR_OK, t.InitPin("8642")) << log << "\nC_InitPIN anew:\n" << t.Log();
  TokenWorks(t, "8642", op.initToken ? 0 : op.objects);
}

// The fault at the k-th command of the operation, for every k until the call
// runs past its last command. After an error answer or a reset the call
// succeeded or the card image is as it was (retry counters aside) and the token
// works as before. After a card pulled or gone mute, reinserted, in this
// process and after a restart, C_GetTokenInfo shows the old token, the new one
// or an uninitialised one, no directory record names a missing file, and the
// administrator's next call goes through (once through pkcs11-tool); so too
// after deletions refused once the old token is gone. The previous owner's PIN
// never opens another token. Each case shows in the simulator's log that its
// fault fired.
void FaultAtEachCommand(Reinit& t, const std::string& before, const Operation& op, Fault fault) {
  SCOPED_TRACE(std::string(op.name) + ", " + FaultName(fault));
  const auto after = reinterpret_cast<AfterCommandsFn>(dlsym(t.sim.handle, "CardSimAfterCommands"));
  ASSERT_NE(nullptr, after);
  ASSERT_NE(nullptr, t.injectAfter);
  int fired = 0, failed = 0;
  std::string lastState;
  bool toolUsed = !op.initToken || fault != Fault::kPull || !HavePkcs11Tool();
  for (int k = 0; k < 600; ++k) {
    SCOPED_TRACE(k);
    PutBack(t, before);
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    std::string mark;
    switch (fault) {
      case Fault::kErrorAnswer:
        // A memory failure and a card without an answer, at alternate commands.
        ASSERT_EQ(0, t.injectAfter(kReader, 0x100, k % 2 ? 0x6581 : 0x6F00, k, 1));
        mark = k % 2 ? "\n< 6581" : "\n< 6F00";
        break;
      case Fault::kResetByOther:
        ASSERT_EQ(0, after(kReader, 0x100, CARDSIM_AFTER_RESET_BY_OTHER, k));
        mark = "# reset by another application";
        break;
      case Fault::kMute:
        ASSERT_EQ(0, after(kReader, 0x100, CARDSIM_AFTER_MUTE, k));
        mark = "# mute";
        break;
      case Fault::kPull:
        ASSERT_EQ(0, after(kReader, 0x100, CARDSIM_AFTER_REMOVE, k));
        mark = "# removed";
        break;
      case Fault::kDeletionsRefused:
        ASSERT_EQ(0, t.injectAfter(kReader, 0xE4, 0x6581, k, 16));
        mark = "\n< 6581";
        break;
      case Fault::kRefused:
        ASSERT_EQ(0, t.injectAfter(kReader, 0x100, 0x6982, k, 1));
        break;
      case Fault::kNotFoundTwice:
        ASSERT_EQ(0, t.sim.InjectSwOn(kReader, "00A4", 0x6A82, k, 2));
        break;
    }
    const CK_RV rv = op.call(t);
    const std::string log = t.Log();
    if (fault == Fault::kNotFoundTwice) {  // fired where the call sent more than k SELECTs
      const std::vector<std::string> sent = tokenrig::Commands(log);
      mark = std::count_if(sent.begin(), sent.end(), [](const std::string& c) { return c.rfind("00A4", 0) == 0; }) > k
                 ? "" : "<not fired>";
    }
    if (fault == Fault::kRefused) {  // the answer to the k-th command, which the card may give of itself too
      size_t at = 0;
      for (int n = 0; n <= k && at != std::string::npos; ++n) at = log.find("\n< ", at + 1);
      mark = at != std::string::npos && log.compare(at, 7, "\n< 6982") == 0 ? log.substr(0, at + 7) : "<not fired>";
    }
    (void)t.injectAfter(kReader, 0x100, 0x6F00, 0, 0);
    // Whatever the fault, the call leaves no PIN verified (the test keeps no login) and the reader free; a fault
    // the call did not reach is disarmed first, so that the probe does not set it off.
    (void)after(kReader, 0x100, CARDSIM_AFTER_NOTHING, 0);
    EXPECT_EQ("", LeftToAnotherProgram(t.sim, kReader)) << log;
    if (log.find(mark) == std::string::npos) {
      // Past the last command: nothing fired and the call went through.
      EXPECT_EQ(CKR_OK, rv) << log;
      NoPinOpenToAnyone(t);
      (void)after(kReader, 0x100, CARDSIM_AFTER_NOTHING, 0);
      if (op.spared) op.spared(t);
      break;
    }
    ++fired;
    const bool same = WithoutCounters(t.Image()) == WithoutCounters(before);
    // What a call that failed leaves lets no one in who could not come in before.
    EXPECT_EQ("", rv != CKR_OK ? cardimage::NewlyOpen(before, t.Image()) : "") << log;
    // A refusal after the call's first deletion or creation leaves what a cut leaves.
    const bool erased = (fault == Fault::kDeletionsRefused || fault == Fault::kRefused || fault == Fault::kNotFoundTwice) &&
                        rv != CKR_OK && !same;
    if (fault == Fault::kMute || fault == Fault::kPull || erased) {
      (void)t.f()->C_CloseAllSessions(t.slot);
      ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
      std::string state;
      for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "same process" : "after a restart");
        if (pass == 1) {
          // A restart costs about 0.1 s: it follows the first case of each
          // state the card is left in, and every eighth case.
          if (state == lastState && k % 8 != 0) break;
          lastState = state;
          ASSERT_TRUE(t.Start());
        }
        const std::string now = TokenState(t);
        EXPECT_NE(op.afterCut.end(), std::find(op.afterCut.begin(), op.afterCut.end(), now)) << now << "\n" << log;
        if (pass == 1) {
          EXPECT_EQ(state, now);
        }
        state = now;
        if (now != kUninitialised) DirectoriesWhole(t);
        if (same) op.unchanged(t);
        OldPinShut(t, op, now);
      }
      const bool withTool = !toolUsed && state == kUninitialised;
      toolUsed = toolUsed || withTool;
      Recover(t, op, withTool, log);
      NoPinOpenToAnyone(t);
    } else if (rv == CKR_OK) {
      NoPinOpenToAnyone(t);
      op.succeeded(t);
      DirectoriesWhole(t);
      OldPinShut(t, op, "");
      if (::testing::Test::HasFailure()) ADD_FAILURE() << "the call that went through:\n" << log;
    } else {
      ++failed;
      EXPECT_EQ(WithoutCounters(before), WithoutCounters(t.Image())) << "rv " << rv << "\n" << log;
      op.unchanged(t);
    }
    if (op.spared) op.spared(t);
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GE(fired, fault == Fault::kDeletionsRefused ? 0 : op.commands);
  // A reset by another application inside a write is taken up where it met the call.
  if (fault == Fault::kErrorAnswer) {
    EXPECT_GT(failed, 0);
  }
  // A pulled card that left the token to be initialised was initialised by pkcs11-tool once.
  EXPECT_TRUE(toolUsed);
}

const auto kLabelIs = [](const char* label) { return [label](Reinit& t) { EXPECT_EQ(label, TokenState(t)); }; };

const auto kUserLogsIn = [](const char* pin) {
  return [pin](Reinit& t) {
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    EXPECT_EQ(CKR_OK, t.UserSession(pin, &h)) << t.Log();
    (void)t.f()->C_CloseAllSessions(0);
  };
};

// C_InitToken under `label` on a token labelled `old` whose user (PIN `pin`)
// has `objects` objects, or on a blank card (old null).
Operation InitTokenOn(const char* old, const char* pin, size_t objects, const char* label = "B") {
  Operation op{"C_InitToken", [label](Reinit& t) { return t.InitToken(label); }, kLabelIs(label), nullptr,
               {kUninitialised, label}, true};
  if (old == nullptr) {
    op.name = "C_InitToken on a blank card";
    op.unchanged = kLabelIs(kUninitialised);
  } else {
    op.afterCut.push_back(old);
    op.oldLabel = old;
    op.oldPin = pin;
    const std::string label = old, user = pin;
    op.unchanged = [label, user, objects](Reinit& t) {
      EXPECT_EQ(label, TokenState(t));
      TokenWorks(t, user, objects);
    };
  }
  return op;
}

// C_InitToken of the token in slot 1, pulled at each command; slot 0's user (PIN `first`) logs in after each.
void SecondSlotPulled(Reinit& t, const std::string& before, const char* old, size_t objects, const char* first) {
  Operation op = InitTokenOn(old, "1234", objects);
  op.spared = [first](Reinit& r) { r.slot = 0; kUserLogsIn(first)(r); r.slot = 1; };
  t.slot = 1;
  FaultAtEachCommand(t, before, op, Fault::kPull);
  t.slot = 0;
}

// The SO's C_InitPIN (new PIN 1357) on the token labelled `label` that holds `objects` objects.
Operation InitPinOn(const char* label, std::function<void(Reinit&)> unchanged, size_t objects) {
  return {"C_InitPIN", [](Reinit& t) { return t.InitPin("1357"); }, kUserLogsIn("1357"), std::move(unchanged),
          {label}, false, objects};
}

// After a failed C_InitPIN over the user's PIN `pin`: it logs in and the
// token (with `objects` objects) works, or the PIN was blocked on the way to
// its reset (a card that resets only a blocked PIN) and the SO's next
// C_InitPIN recovers it.
std::function<void(Reinit&)> OldPinOrSoRecovers(const char* pin, size_t objects) {
  return [pin, objects](Reinit& t) {
    CK_SESSION_HANDLE h = 0;
    const CK_RV rv = t.UserSession(pin, &h);
    (void)t.f()->C_CloseAllSessions(0);
    if (rv == CKR_OK) {
      TokenWorks(t, pin, objects);
      return;
    }
    // Recovered already, in the same process before a restart.
    if (rv == CKR_PIN_INCORRECT && t.UserSession("8642", &h) == CKR_OK) {
      (void)t.f()->C_CloseAllSessions(0);
      TokenWorks(t, "8642", objects);
      return;
    }
    EXPECT_EQ(CKR_PIN_LOCKED, rv);
    ASSERT_EQ(CKR_OK, t.InitPin("8642")) << t.Log();
    TokenWorks(t, "8642", objects);
  };
}

}  // namespace

namespace {

void NewHolderSeesOnlyTheirs(Reinit& t);

// Faults at each card command of C_InitToken (on a token with the user's
// objects and on a blank card) and of the SO's C_InitPIN on one model, on a
// fresh token and over the user's PIN.
void FaultAtEachCommandOnModel(const char* image) {
  Reinit t(image);
  ASSERT_TRUE(t.Start());
  const std::string blank = t.Image();
  MakeFirstToken(t, true);
  const std::string withUserObjects = t.Image();
  ASSERT_EQ(CKR_OK, t.InitToken("B"));
  const std::string initialisedAnew = t.Image();
  ASSERT_EQ(CKR_OK, t.InitPin("2468"));
  const std::string withUserPin = t.Image();
  // A blank card that also holds what someone made before the SO at the references the token takes: refused, the
  // card as it was, none of it blocked, the SO's value sent to none of it.
  PutBack(t, blank + cardimage::Planted(std::string(image) == "blank-model1.card"   ? "02"
                                        : std::string(image) == "blank-model3.card" ? "01"
                                                                                     : "01 11 02 12"));
  const std::string planted = t.Image();
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.InitToken("B")) << t.Log();
  EXPECT_EQ(cardimage::Comparable(planted), cardimage::Comparable(t.Image()));
  EXPECT_EQ(std::string::npos, t.Image().find(" left=0 "));
  FaultAtEachCommand(t, blank, InitTokenOn(nullptr, nullptr, 0), Fault::kRefused);
  Operation notFound = InitTokenOn("A", "2468", 3);
  notFound.succeeded = [](Reinit& r) { kLabelIs("B")(r); NewHolderSeesOnlyTheirs(r); };
  FaultAtEachCommand(t, withUserObjects, notFound, Fault::kNotFoundTwice);
  for (Fault fault : kAllFaults) {
    FaultAtEachCommand(t, withUserObjects, InitTokenOn("A", "2468", 3), fault);
    FaultAtEachCommand(t, blank, InitTokenOn(nullptr, nullptr, 0), fault);
    FaultAtEachCommand(t, initialisedAnew, InitPinOn("B", kLabelIs("B"), 0), fault);
    Operation reset = InitPinOn("B", OldPinOrSoRecovers("2468", 0), 0);
    reset.name = "C_InitPIN over the user's PIN";
    reset.commands = 7;  // the value is set with one command
    FaultAtEachCommand(t, withUserPin, reset, fault);
    if (::testing::Test::HasFailure()) return;
  }
  const std::string model = image;
  if (model == "blank-model4.card" || model == "blank-model7.card") {
    // A card of these models that does not set a value without the old one:
    // the user's PIN is made anew under the officer.
    PutBack(t, withUserPin);
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    ASSERT_EQ(0, t.injectAfter(kReader, 0x2C, 0x6D00, 0, 1));
    EXPECT_EQ(CKR_OK, t.InitPin("1357")) << t.Log();
    EXPECT_NE(std::string::npos, t.Log().find("\n< 6D00")) << t.Log();
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(CKR_PIN_INCORRECT, t.UserSession("2468", &h));
    kUserLogsIn("1357")(t);
  }
}

}  // namespace

// The sweep on each model (one test each, so that they run side by side).
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenAndInitPinOnModel1) { FaultAtEachCommandOnModel("blank-model1.card"); }
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenAndInitPinOnModel3) { FaultAtEachCommandOnModel("blank-model3.card"); }
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenAndInitPinOnModel4) { FaultAtEachCommandOnModel("blank-model4.card"); }
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenAndInitPinOnModel7) { FaultAtEachCommandOnModel("blank-model7.card"); }

namespace {

// The image with the card's memory set to `bytes`: a creation beyond it is answered 6A84.
std::string WithMemory(std::string image, size_t bytes) {
  const size_t at = image.find("\nmemory ") + 8;
  return image.replace(at, image.find('\n', at) - at, std::to_string(bytes));
}

// The memory the card of `image` uses: what its master file's header shows free, taken from its memory line.
size_t UsedMemory(const std::string& image) {
  std::string error;
  const std::unique_ptr<cardsim::Card> card = cardsim::Card::Parse(image, &error);
  const testsupport::Bytes fcp = card ? card->Transmit(testsupport::FromHex("00A40000023F0000"), false) : testsupport::Bytes();
  for (size_t i = 2; i + 3 < fcp.size(); i += 2 + fcp[i + 1])
    if (fcp[i] == 0x81)
      return std::stoul(image.substr(image.find("\nmemory ") + 8)) - (static_cast<size_t>(fcp[i + 2]) << 8 | fcp[i + 3]);
  return 0;
}

// The PINs a failure's text names as standing ("PIN 01 it made stands", "PINs 01, 11 it made stand") that the
// image does not hold.
std::string NamedButAbsent(const std::string& text, const std::string& image) {
  const size_t at = text.find(" it made stand");
  if (at == std::string::npos) return "";
  std::istringstream in(text.substr(text.rfind("; PIN", at) + 2, at - text.rfind("; PIN", at) - 2));
  std::string absent, word;
  in >> word;
  for (std::string ref; in >> ref;)
    if (image.find("\npin 3F00 ref=" + ref.substr(0, 2) + " ") == std::string::npos) absent += ref.substr(0, 2) + " ";
  return absent;
}

// A call (`call`: 1 where it went through) on the card `tight`, whose memory the call's last creation does not fit,
// pulled after each command of what it takes back, then on a card that answers 6F00 once to each of those commands:
// the text names no PIN the card does not hold, and the next call of the same kind, with room, takes the card.
// (`first`: the call makes nothing before what fails, and leaves the card as it was.)
void CutInTheTakeBack(Reinit& t, const std::string& tight, const std::function<int()>& call, bool first = true) {
  PutBack(t, tight);
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(0, call());
  EXPECT_EQ(first ? WithoutCounters(tight) : "", first ? WithoutCounters(t.Image()) : "");
  // The commands of the take-back: from the refused creation to the last deletion or update.
  const std::vector<std::string> sent = tokenrig::Commands(t.Log());
  const std::string log = t.Log();
  size_t refused = 0, last = 0;
  for (size_t at = log.find("\n< "), n = 0; at != std::string::npos; at = log.find("\n< ", at + 1), ++n)
    if (log.compare(at, 7, "\n< 6A84") == 0 && refused == 0) refused = n;
  for (size_t n = refused; n < sent.size(); ++n)
    if (sent[n].rfind("00E4", 0) == 0 || sent[n].rfind("00D6", 0) == 0) last = n;
  ASSERT_GT(last, refused) << log;
  const auto after = reinterpret_cast<AfterCommandsFn>(dlsym(t.sim.handle, "CardSimAfterCommands"));
  for (int pull = 1; pull >= 0; --pull)
    for (size_t n = refused; n < last; ++n) {
      SCOPED_TRACE((pull ? "pulled after command " : "6F00 to command ") + std::to_string(n + 1) + ": " + sent[n + 1]);
      PutBack(t, tight);
      ASSERT_EQ(0, t.sim.ClearLog(kReader));
      ASSERT_EQ(0, pull ? after(kReader, 0x100, CARDSIM_AFTER_REMOVE, static_cast<int>(n))
                        : t.injectAfter(kReader, 0x100, 0x6F00, static_cast<int>(n + 1), 1));
      EXPECT_EQ(0, call());
      const std::string error = LastError(t), cut = t.Log();
      (void)after(kReader, 0x100, CARDSIM_AFTER_NOTHING, 0);
      (void)t.injectAfter(kReader, 0x100, 0x6F00, 0, 0);
      EXPECT_EQ("", NamedButAbsent(error, t.Image())) << error;
      if (pull) {
        (void)t.f()->C_CloseAllSessions(t.slot);
        WriteFile(t.env.Card(t.card), WithMemory(t.Image(), 65536));
        ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
        (void)t.Label();
      } else {
        PutBack(t, WithMemory(t.Image(), 65536));
      }
      ASSERT_EQ(1, call()) << error << "\n" << cut << "\n" << t.Log();
    }
}

// The second token InitializeFromProfile's profile takes (its first: [Podpis] 1111/22223333).
const std::string kSecondToken = "22223333\n[Szyfrowanie]\nUserPin = 3333\nUserPuk = 44445555";

}  // namespace

// A cut or a second fault at any command of what a failed InitializeCard (its first token's last creation beyond the
// card's memory) or C_InitToken takes back leaves a card the next such call takes with the SO's value.
TEST(ModuleReinit, CutInTheTakeBackOfInitializeCard) {
  Reinit t("blank-model4.card");
  ASSERT_TRUE(t.Start());
  const std::string blank = t.Image();
  ASSERT_EQ(1, InitializeFromProfile(t, "1111", nullptr, "22223333"));
  const std::string tight = WithMemory(blank, UsedMemory(t.Image()) - 1);
  const auto two = [&] { return InitializeFromProfile(t, "1111", nullptr, kSecondToken); };
  CutInTheTakeBack(t, tight, two);
  // The second token's, the first kept.
  PutBack(t, blank);
  ASSERT_EQ(1, two());
  CutInTheTakeBack(t, WithMemory(blank, UsedMemory(t.Image()) - 1), two, false);
}

// The text of an InitializeCard that fails (the SO PIN 87654321, tokens [Podpis] 1111/22223333 and [Szyfrowanie]
// 3333/44445555) names as standing only the PINs the card holds, says "after the call wrote to the card" only where
// the card carried out a change, and that it stopped answering where it was pulled or went mute; the PIN file gets a
// line only where a PIN the call sent may stand. The next InitializeCard, with room, answers 1.
TEST(ModuleReinit, TextOfAFailedInitializeCardNamesOnlyWhatStands) {
  Reinit t("blank-model4.card");
  ASSERT_TRUE(t.Start());
  const std::string blank = t.Image(), pins = t.env.Path("pins.txt");
  PutBack(t, blank);
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(1, InitializeFromProfile(t, "1111", nullptr, "22223333"));
  const size_t first = UsedMemory(t.Image());  // the first token's
  const std::string tight = WithMemory(blank, first - 1);
  // The SO PUK's creation, then the SO PIN's.
  const std::vector<std::string> sent = tokenrig::Commands(t.Log());
  const int puk = static_cast<int>(std::find_if(sent.begin(), sent.end(), [](const std::string& c) { return c.rfind("00E0", 0) == 0; }) - sent.begin());
  const auto after = reinterpret_cast<AfterCommandsFn>(dlsym(t.sim.handle, "CardSimAfterCommands"));
  const std::string wrote = "a step of the initialisation failed after the call wrote to the card (";
  const std::string stopped = "): the card stopped answering: what the call made may stand, the next initialisation takes it";
  struct Row {
    const char* what;
    const std::string& card;
    std::function<int()> arm;
    std::string says, stand;  // in the text ("" the card's alone), the PINs the card holds
    bool line;                // the PIN file holds the token's line
  } rows[] = {
      {"pulled before any creation", blank, [&] { return after(kReader, 0x100, CARDSIM_AFTER_REMOVE, puk - 1); }, "", "",
       false},
      {"the first creation refused", blank, [&] { return t.injectAfter(kReader, 0xE0, 0x6A84, 0, 1); }, "", "", false},
      {"pulled after the SO PIN's creation", blank, [&] { return after(kReader, 0x100, CARDSIM_AFTER_REMOVE, puk + 1); },
       wrote + "Karta", "01 11 ", true},
      {"mute after the SO PUK's creation", blank, [&] { return after(kReader, 0x100, CARDSIM_AFTER_MUTE, puk); },
       wrote + "Karta", "11 ", true},
      {"no room, then the SO PIN's deletion refused twice", tight, [&] { return t.injectAfter(kReader, 0xE4, 0x6F00, 4, 2); },
       "; PINs 01, 11 it made stand, their values kept", "01 11 ", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::remove(pins.c_str());
    PutBack(t, row.card);
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    ASSERT_EQ(0, row.arm());
    std::string error;
    EXPECT_EQ(0, InitializeFromProfile(t, "1111", &error, kSecondToken));
    (void)after(kReader, 0x100, CARDSIM_AFTER_NOTHING, 0);
    (void)t.injectAfter(kReader, 0x100, 0x6F00, 0, 0);
    const std::string image = t.Image();
    std::vector<std::string> refs;
    for (size_t at = image.find("\npin 3F00 ref="); at != std::string::npos; at = image.find("\npin 3F00 ref=", at + 1))
      refs.push_back(image.substr(at + 14, 2) + " ");
    std::sort(refs.begin(), refs.end());
    EXPECT_EQ(row.stand, std::accumulate(refs.begin(), refs.end(), std::string())) << t.Log();
    if (row.says.empty()) {
      EXPECT_EQ(WithoutCounters(blank), WithoutCounters(image));
      EXPECT_EQ(std::string::npos, error.find("after the call")) << error;
      EXPECT_EQ(std::string::npos, error.find("PIN")) << error;
    } else {
      EXPECT_NE(std::string::npos, error.find(row.says)) << error;
      EXPECT_EQ(row.says.rfind(wrote, 0) == 0, error.find(stopped) != std::string::npos) << error;
    }
    EXPECT_EQ("", NamedButAbsent(error, image)) << error;
    EXPECT_EQ(row.line, ReadFile(pins).rfind("Token: Podpis, ", 0) == 0) << ReadFile(pins);
    (void)t.f()->C_CloseAllSessions(0);
    (void)t.sim.Remove(kReader);
    WriteFile(t.env.Card(t.card), WithMemory(image, 65536));
    ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
    (void)t.Label();
    EXPECT_EQ(1, InitializeFromProfile(t, "1111", &error, kSecondToken)) << error;
  }
  // A later token that does not fit (its DF and PINs do, not its files): the first token is made and kept with its
  // line in the PIN file, and the text says so beside the card's; with room, the next InitializeCard answers 1.
  std::remove(pins.c_str());
  PutBack(t, WithMemory(blank, first + 100));
  std::string error;
  EXPECT_EQ(0, InitializeFromProfile(t, "1111", &error, kSecondToken));
  EXPECT_EQ("Brak miejsca na karcie\ntoken 'Podpis' made and kept (the PIN file holds its line); token 'Szyfrowanie' "
            "not made\n", error);
  EXPECT_EQ(std::string::npos, error.find("1111")) << error;
  const std::string image = t.Image(), file = ReadFile(pins);
  for (const char* kept : {"\ndf 3F00/5015 ", "\npin 3F00 ref=01 ", "\npin 3F00 ref=11 ", "\npin 3F00 ref=02 ", "\npin 3F00 ref=12 "})
    EXPECT_NE(std::string::npos, image.find(kept)) << kept;
  for (const char* gone : {"\ndf 3F00/5016 ", "\npin 3F00 ref=04 ", "\npin 3F00 ref=14 "})
    EXPECT_EQ(std::string::npos, image.find(gone)) << gone;
  EXPECT_EQ(0u, file.find("Token: Podpis, ")) << file;
  EXPECT_EQ(std::string::npos, file.find("Szyfrowanie")) << file;
  PutBack(t, WithMemory(image, 65536));
  EXPECT_EQ(1, InitializeFromProfile(t, "1111", &error, kSecondToken)) << error;
}

TEST(ModuleReinit, CutInTheTakeBackOfInitToken) {
  for (const char* image : {"blank-model1.card", "blank-model3.card", "blank-model4.card", "blank-model7.card"}) {
    SCOPED_TRACE(image);
    Reinit t(image);
    ASSERT_TRUE(t.Start());
    const std::string blank = t.Image();
    ASSERT_EQ(CKR_OK, t.InitToken("A"));
    const std::string tight = WithMemory(blank, UsedMemory(t.Image()) - 1);
    CutInTheTakeBack(t, tight, [&] { return t.InitToken("A") == CKR_OK ? 1 : 0; });
  }
}

// A card whose master file lets only the blank card's SO PIN create DFs (an issuer's rule): the first C_InitToken
// makes the token, and C_InitToken again, with the same label and a new one, initialises it in place (the user's
// PIN gone) with the SO's value sent to the token's SO PIN alone; the blank card's keeps all its tries. Private
// objects of the user's, which the SO PIN may not delete, refuse it with the card as it was.
TEST(ModuleReinit, InitTokenAgainWhereOnlyTheBlankCardsSoPinMakesDfs) {
  for (const char* image : {"blank-model1.card", "blank-model7.card"}) {
    SCOPED_TRACE(image);
    Reinit t(image);
    t.blankSoKept = true;
    ASSERT_TRUE(t.Start());
    const std::string blankSo = std::string(image) == "blank-model1.card" ? "01" : "04";
    std::string text = t.Image();
    text.replace(text.find("create-df:always"), 16, "create-df:pin:" + blankSo);
    PutBack(t, text);
    ASSERT_EQ(CKR_OK, t.InitToken("A"));
    for (const char* label : {"A", "B"}) {
      SCOPED_TRACE(label);
      ASSERT_EQ(CKR_OK, t.InitPin("2468"));
      ASSERT_EQ(0, t.sim.ClearLog(kReader));
      EXPECT_EQ(CKR_OK, t.InitToken(label)) << LastError(t) << "\n" << t.Log();
      for (const std::string& c : tokenrig::Commands(t.Log()))
        EXPECT_FALSE(c.compare(2, 6, "2000" + blankSo) == 0 && c.size() > 8) << c;
      EXPECT_EQ(label, TokenState(t));
      CK_SESSION_HANDLE h = 0;
      EXPECT_NE(CKR_OK, t.UserSession("2468", &h));
      ASSERT_EQ(CKR_OK, t.InitPin("1357"));
      TokenWorks(t, "1357", 0);
    }
    UserRound(t, "1357", "C", false);
    const std::string used = t.Image();
    EXPECT_EQ(CKR_FUNCTION_FAILED, t.InitToken("C"));
    EXPECT_EQ(WithoutCounters(used), WithoutCounters(t.Image()));
    EXPECT_NE(std::string::npos, LastError(t).find("the SO PIN cannot delete the private objects of token 'B'")) << LastError(t);
  }
}

namespace {

// After the SO changed the SO PIN (on models 1 and 7 the token's own, not the blank card's, which keeps the
// value it had), C_InitToken with the token's label and with a new one, faults at each command, and the next
// C_InitToken after a cut finishes with the SO's current value; so does the SO's C_InitPIN. The SO's
// previous value is refused with the card as it was. The blank card's SO PIN keeps all its tries throughout.
void AfterTheSoChangedItsPin(const char* image, const std::vector<Fault>& faults) {
  Reinit t(image);
  t.blankSoKept = true;
  ASSERT_TRUE(t.Start());
  MakeFirstToken(t, true);
  t.SoSetsItsPin("11112222");
  const std::string changed = t.Image();
  EXPECT_EQ(CKR_PIN_INCORRECT, t.InitToken("B", kSo));
  EXPECT_EQ(WithoutCounters(changed), WithoutCounters(t.Image()));
  for (const char* label : {"A", "B"}) {
    SCOPED_TRACE(std::string("label ") + label);
    for (Fault fault : faults) {
      FaultAtEachCommand(t, changed, InitTokenOn("A", "2468", 3, label), fault);
      if (::testing::Test::HasFailure()) return;
    }
  }
  PutBack(t, changed);
  ASSERT_EQ(CKR_OK, t.InitToken("B"));
  // EF.DIR, which the blank card's SO PIN guards, names the token with its first label.
  EXPECT_NE(std::string::npos, t.Image().find("50014151043F005015")) << t.Image();
  EXPECT_NE(std::string::npos, t.env.Trace().find("EF.DIR's rules do not name SO PIN 0"));
  const std::string initialisedAnew = t.Image();
  for (Fault fault : faults) FaultAtEachCommand(t, initialisedAnew, InitPinOn("B", kLabelIs("B"), 0), fault);
}

}  // namespace

const std::vector<Fault> kCuts = {Fault::kPull, Fault::kMute}, kRefusals = {Fault::kErrorAnswer, Fault::kResetByOther,
                                                                            Fault::kDeletionsRefused};
TEST(ModuleReinit, CutsAfterTheSoChangedItsPinOnModel1) { AfterTheSoChangedItsPin("blank-model1.card", kCuts); }
TEST(ModuleReinit, CutsAfterTheSoChangedItsPinOnModel7) { AfterTheSoChangedItsPin("blank-model7.card", kCuts); }
TEST(ModuleReinit, RefusalsAfterTheSoChangedItsPinOnModel1) { AfterTheSoChangedItsPin("blank-model1.card", kRefusals); }
TEST(ModuleReinit, RefusalsAfterTheSoChangedItsPinOnModel7) { AfterTheSoChangedItsPin("blank-model7.card", kRefusals); }

// The same on the shipped token (a key, its certificate and a data object,
// user PIN 1234), and (below) InitializeCard on model 4.
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenAndInitPinOnTheShippedToken) {
  Reinit t("pkcs15-model3.card");
  ASSERT_TRUE(t.Start());
  const std::string shipped = t.Image();
  for (Fault fault : kAllFaults) {
    FaultAtEachCommand(t, shipped, InitTokenOn("CardSim Token", "1234", 4), fault);
    FaultAtEachCommand(t, shipped, InitPinOn("CardSim Token", OldPinOrSoRecovers("1234", 4), 4), fault);
    if (HasFailure()) return;
  }
}

TEST(ModuleReinit, FaultAtEachCommandOfInitTokenInitPinAndInitializeCard) {
  Reinit t("blank-model4.card");
  ASSERT_TRUE(t.Start());
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, "11223344"));
  std::string keptDf = t.Image();
  UserRound(t, "2468", "Podpis", false);
  const std::string fromProfile = t.Image();
  const Operation initializeCard{
      "InitializeCard",
      [](Reinit& r) { return InitializeFromProfile(r, "1357", nullptr) == 1 ? CKR_OK : CKR_FUNCTION_FAILED; },
      kUserLogsIn("1357"), kUserLogsIn("2468"), {"Podpis", kUninitialised}, true, 0, 11, "Podpis", "2468", "11223344"};
  // The previous profile's user PUK opens nothing: the new owner's PIN and private object are the new owner's.
  Operation initToken = InitTokenOn("Podpis", "2468", 1);
  initToken.name = "C_InitToken over a user PUK";
  initToken.oldPuk = "11223344";
  initToken.succeeded = [](Reinit& r) {
    EXPECT_EQ("B", TokenState(r));
    ASSERT_EQ(CKR_OK, r.InitPin("5555"));
    UserRound(r, "5555", "B", false);
  };
  for (Fault fault : kAllFaults) {
    FaultAtEachCommand(t, fromProfile, initializeCard, fault);
    FaultAtEachCommand(t, fromProfile, initToken, fault);
    if (HasFailure()) return;
  }
  // The second of two tokens (its section after the first one's PUK, as below), in the second slot.
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, "<none>\n[Szyfrowanie]\nUserPin = 1234"));
  SecondSlotPulled(t, t.Image(), "Szyfrowanie", 0, "2468");
  // Where the card keeps the token's DF from the SO, C_InitToken deletes what is
  // in it instead: the previous PUK goes all the same.
  PutBack(t, keptDf.replace(keptDf.find("delete:pin:01", keptDf.find("\ndf 3F00/5015 ")), 13, "delete:never"));
  ASSERT_EQ(CKR_OK, t.InitToken("B"));
  EXPECT_NE(std::string::npos, t.env.Trace().find("deleting all user objects instead"));
  EXPECT_EQ(std::string::npos, t.Image().find("\npin 3F00 ref=12 ")) << "the previous user's PUK stays";
  OldPukShut(t, "11223344");
  {
    // Where anyone may also change the ODF kept, the call is refused before the SO PIN is sent, a wrong one or
    // the right one: every retry counter stays where it was.
    std::string open = keptDf;
    const size_t odf = open.find("\nef 3F00/5015/5031 "), update = open.find("update:", odf);
    ASSERT_LT(update, open.find('\n', odf + 1)) << open;
    open.replace(update, open.find_first_of(", \n", update) - update, "update:always");
    PutBack(t, open);
    ASSERT_EQ(CKR_FUNCTION_FAILED, t.InitToken("B", "11111111"));
    EXPECT_EQ(open, t.Image());
    ASSERT_EQ(CKR_FUNCTION_FAILED, t.InitToken("B"));
    EXPECT_EQ(open, t.Image());
    EXPECT_NE(std::string::npos, t.env.Trace().find("anyone may change or use 3F00/5015/5031 in it: the card is refused as it is"))
        << t.env.Trace();
  }
  // Two tokens, each with a PUK, on a blank card pulled after each PIN's creation: every PIN is made after the PUK
  // that unblocks it, so no PIN names one that does not stand, and nothing is open to anyone but a PUK that no PIN
  // names yet (it opens nothing); run again, the call finishes. After the first, the card's SO PUK alone on a card
  // that shows nothing else, which cannot be told from one anyone made, is left as it is: the SO PIN gets no PUK.
  const auto pulled = reinterpret_cast<AfterCommandsFn>(dlsym(t.sim.handle, "CardSimAfterCommands"));
  const auto both = [&t] { return InitializeFromProfile(t, "2468", nullptr, "11223344\n[Szyfrowanie]\nUserPuk = 44444444"); };
  PutBack(t, ReadFile(CardsDir() + "/blank-model4.card"));
  const std::string blank4 = t.Image();
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(1, both());
  std::vector<int> creations;  // the commands that make a PIN
  std::istringstream commands(t.Log());
  int k = 0;
  for (std::string l; std::getline(commands, l); k += l.rfind("> ", 0) == 0)
    if (l.rfind("> 00E0", 0) == 0 && l.find("820121") != std::string::npos) creations.push_back(k);
  EXPECT_EQ(6u, creations.size());
  for (int at : creations) {
    SCOPED_TRACE(at);
    PutBack(t, blank4);
    ASSERT_EQ(0, pulled(kReader, 0x100, CARDSIM_AFTER_REMOVE, at));
    EXPECT_EQ(0, both());
    const std::string left = t.Image();
    for (size_t u = left.find(" unblock="); u != std::string::npos; u = left.find(" unblock=", u + 1))
      EXPECT_NE(std::string::npos, left.find("\npin 3F00 ref=" + left.substr(u + 9, 2) + " ")) << left;
    EXPECT_EQ("", cardimage::NewlyOpen(blank4, left)) << left;
    ASSERT_EQ(0, t.sim.Insert(kReader, t.env.Card(t.card).c_str()));
    EXPECT_EQ(1, both()) << t.Log();
    if (at == creations[0]) {  // the lone SO PUK stays, named by nothing
      const std::string image = WithoutCounters(t.Image()), cut = WithoutCounters(left), puk = cut.substr(cut.find("\npin 3F00 ref=11 "));
      EXPECT_NE(std::string::npos, image.find(puk.substr(0, puk.find('\n', 1)))) << image;
      EXPECT_EQ(std::string::npos, image.find(" unblock=11 ")) << image;
      EXPECT_NE(std::string::npos, ReadFile(t.env.Path("pins.txt")).find(", SoPuk: <none>,"));
    }
  }
}

namespace {

// The references of the PINs in the card's master file, in order ("01 02 11 ").
std::string MasterFilePins(const std::string& image) {
  std::set<std::string> refs;
  for (size_t at = image.find("\npin 3F00 ref="); at != std::string::npos; at = image.find("\npin 3F00 ref=", at + 1))
    refs.insert(image.substr(at + 14, 2));
  std::string text;
  for (const std::string& r : refs) text += r + " ";
  return text;
}

// InitializeCard of two tokens (the second without a user PUK), made again after a cut: it makes exactly those.
[[maybe_unused]] Operation TwoTokensAgain() {
  Operation cut{"InitializeCard of two tokens", [](Reinit& r) {
                  const int ok = InitializeFromProfile(r, "2468", nullptr, "11223344\n[Szyfrowanie]\nUserPuk = <none>");
                  return ok == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
                }, [](Reinit& r) {  // what slots 0 to 2 show
                  std::string tokens;
                  for (r.slot = 0; r.slot < 3; ++r.slot) tokens += TokenState(r) + "; ";
                  EXPECT_EQ("Podpis; Szyfrowanie; <no token>; ", tokens);
                  r.slot = 0;
                }, kLabelIs(kUninitialised), {kUninitialised, "Podpis"}, false};
  cut.again = true;
  return cut;
}

}  // namespace

// Two tokens on a blank card, cut at each command: run again, the call makes exactly the profile's tokens
// (about 30 s: left to the plain build).
TEST(ModuleReinit, FaultAtEachCommandOfInitializeCardOfTwoTokens) {
#if !defined(__SANITIZE_ADDRESS__)
  Reinit two("blank-model4.card");
  ASSERT_TRUE(two.Start());
  const std::string blank = two.Image();
  FaultAtEachCommand(two, blank, TwoTokensAgain(), Fault::kRefused);
  FaultAtEachCommand(two, blank, TwoTokensAgain(), Fault::kPull);
  // Two tokens replaced by one with a PUK, pulled at each command: that call run again, then one of two tokens,
  // each takes the card, which then holds no PIN its tokens do not name.
  const auto twoTokens = [](Reinit& r) { return InitializeFromProfile(r, "2468", nullptr, "<none>\n[Drugi]\nUserPin = 1357"); };
  ASSERT_EQ(1, twoTokens(two));
  Operation one{"InitializeCard of one token with a PUK over two", [](Reinit& r) {
                  return InitializeFromProfile(r, "2468", nullptr, "11223344") == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
                }, [&twoTokens](Reinit& r) {
                  EXPECT_EQ("01 02 11 12 ", MasterFilePins(r.Image()));
                  ASSERT_EQ(1, twoTokens(r)) << r.Log();
                  EXPECT_EQ("01 02 04 11 14 ", MasterFilePins(r.Image()));
                }, kLabelIs("Podpis"), {kUninitialised, "Podpis"}, false};
  one.again = true;
  FaultAtEachCommand(two, two.Image(), one, Fault::kPull);
#endif
}

// C_InitToken on the first token of a two-application card whose PIN directory names as its PUK
// a PIN not its own: the master file's PIN 05, which unblocks the second token's user PIN too;
// that user PIN (3F00/5016, 81); or the layout's PIN 01 of the master file, the second token's
// user PIN. Whatever the fault they stay, the second token's user logs in, and PIN 05 unblocks
// that user's PIN. The second card is swept with error answers, pulls and refused deletions
// (the first with every fault); no cuts on the last: a token built anew after one takes PIN 01.
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenBesideAnotherApplication) {
  Reinit t("pkcs15-model3-two-apps-puk.card");
  ASSERT_TRUE(t.Start());
  const std::string shipped = t.Image();
  const auto edit = [](std::string image, const std::vector<std::pair<std::string, std::string>>& swaps) {
    for (const auto& [from, to] : swaps) image.replace(image.find(from), from.size(), to);  // throws when absent
    return image;
  };
  // PIN records: label and identifiers, attributes, reference, pad octet and DF (the first token's
  // PUK 82 in 3F00/5015, the second token's user PIN 81 in 3F00/5016), or a PIN of the master file.
  const std::string puk = "30050C0350554B3003040102", user = "300D0C08557365722050494E0401033003040101";
  const std::string attrs = "0302014E0A0101020104020108020108", userAttrs = "0302024C0A0101020104020108020108";
  const std::string pad = "0401FF", pukRecord = "302F" + puk + "A121301F" + attrs + "80020082" + pad + "300604043F005015";
  const auto inMf = [&](const std::string& head, const std::string& a, const char* ref) {
    return "30" + head + "A11E301C" + a + "8001" + ref + pad + "300404023F00";
  };
  const auto mfPin = [](const char* ref, const char* value) {
    return Fmt("\npin 3F00 ref=%s min=4 max=8 pad=FF tries=5 left=5 ac=update:pin:04,delete:pin:04 value=%s\ndf 3F00/5015 ", ref, value);
  };
  const std::vector<Fault> all(std::begin(kAllFaults), std::end(kAllFaults));
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> swaps;
    const char* oldPuk;
    const char* stays;  // the master file's PIN that stays
    bool unblocks;      // PIN 05 unblocks the second token's user PIN
    const char* kept;   // the trace's line
    std::vector<Fault> faults;
  } rows[] = {
      {"C_InitToken over a PUK the master file shares",
       {{pukRecord, inMf("2C" + puk, attrs, "05")}, {"\ndf 3F00/5015 ", mfPin("05", "3535363637373838")},
        {"unblock=82", "unblock=05"}, {"unblock=04", "unblock=05"}},
       "55667788", "\npin 3F00 ref=05 ", true, "PIN 05 in 3F00 is not the token's own", all},
      {"C_InitToken over a PUK in another application's DF",
       {{"80020082" + pad + "300604043F005015", "80020081" + pad + "300604043F005016"}}, "12345678", nullptr, false,
       "names 3F00/5016 in another application's DF: read around", {Fault::kErrorAnswer, Fault::kPull, Fault::kDeletionsRefused}},
      {"C_InitToken over a PUK another application names",
       {{pukRecord, inMf("2C" + puk, attrs, "01")}, {"\ndf 3F00/5015 ", mfPin("01", "31323334")},
        {"3037" + user + "A121301F" + userAttrs + "80020081" + pad + "300604043F005016", inMf("34" + user, userAttrs, "01")}},
       "1234", "\npin 3F00 ref=01 ", false, "PIN 01 in 3F00 is not the token's own",
       {Fault::kErrorAnswer, Fault::kResetByOther}},
  };
  for (const auto& row : rows) {
    const std::string image = edit(shipped, row.swaps);
    Operation op = InitTokenOn("CardSim Token", "1234", 4);
    op.name = row.name;
    op.oldPuk = row.oldPuk;
    op.spared = [row](Reinit& r) {
      const std::string now = r.Image();
      EXPECT_NE(std::string::npos, now.find("\npin 3F00/5016 ref=81 ")) << r.Log();
      EXPECT_TRUE(row.stays == nullptr || now.find(row.stays) != std::string::npos) << r.Log();
      CK_SESSION_HANDLE h = 0;
      ASSERT_EQ(CKR_OK, r.UserSession("1234", &h, 1)) << r.Log();
      CK_OBJECT_HANDLE pins[4];
      CK_ULONG n = 4;
      ASSERT_EQ(CKR_OK, r.module->fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(h, pins, &n));
      const auto unblock = r.module->fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
      EXPECT_EQ(CKR_OK, row.unblocks ? unblock(h, pins[0], U8("55667788"), 8, U8("4321"), 4) : CKR_OK) << r.Log();
      (void)r.f()->C_CloseAllSessions(1);
      EXPECT_EQ(CKR_OK, r.UserSession(row.unblocks ? "4321" : "1234", &h, 1));
      (void)r.f()->C_CloseAllSessions(1);
    };
    for (Fault fault : row.faults) {
      FaultAtEachCommand(t, image, op, fault);
      if (HasFailure()) return;
    }
    EXPECT_NE(std::string::npos, t.env.Trace().find(row.kept));
  }
#if !defined(__SANITIZE_ADDRESS__)  // the second token as shipped; a model-4 card's second slot stands for it
  SecondSlotPulled(t, shipped, "CardSim Token 2", 4, "1234");
#endif
}

// C_InitToken on a token whose DF lies inside another application's, both with a user PIN 81 and
// the outer one with its PUK 82: from the inner DF the card finds the outer PINs wherever the inner
// DF holds none. Whatever the fault they keep their tries and the outer token's user logs in; the
// new token's user PIN is its own, in its DF, and the SO sets it.
TEST(ModuleReinit, FaultAtEachCommandOfInitTokenInsideAnotherApplication) {
  Reinit t("pkcs15-model3-nested-apps-puk.card");
  ASSERT_TRUE(t.Start());
  const std::string shipped = t.Image();
  Operation op = InitTokenOn("CardSim Token 2", "1234", 4);
  op.name = "C_InitToken inside another application's DF";
  op.succeeded = [](Reinit& r) {
    EXPECT_EQ("B", TokenState(r));
    EXPECT_NE(std::string::npos, r.Image().find("\npin 3F00/5015/5016 ref=81 ")) << r.Log();
    ASSERT_EQ(CKR_OK, r.InitPin("5555")) << r.Log();
    kUserLogsIn("5555")(r);
  };
  op.spared = [](Reinit& r) {
    const std::string now = r.Image();
    EXPECT_NE(std::string::npos, now.find("\npin 3F00/5015 ref=81 min=4 max=8 pad=FF tries=3 left=3 ")) << r.Log();
    EXPECT_NE(std::string::npos, now.find("\npin 3F00/5015 ref=82 min=4 max=8 pad=FF tries=5 left=5 ")) << r.Log();
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(CKR_OK, r.UserSession("1234", &h, 1)) << r.Log();
    (void)r.f()->C_CloseAllSessions(1);
  };
  for (Fault fault : kAllFaults) {
    FaultAtEachCommand(t, shipped, op, fault);
    if (HasFailure()) return;
  }
  FaultAtEachCommand(t, shipped, op, Fault::kRefused);
  EXPECT_NE(std::string::npos, t.env.Trace().find("PIN 81 in 3F00/5015/5016 may be answered by another application's"));
}

// An issuer's drop box on a blank card of models 3, 7 and 4 (there beside the issuer's PIN 01, and without it), a
// token's DF anyone may create in, the card where an earlier version's cut call left EF.DIR naming the drop box, an
// EF.DIR ruled by a PIN that does not stand, and an issuer's PIN on blank model 4 at a user reference of a layout
// the profile does not make (the second token's PUK 14, the second token's user PIN 04): C_InitToken and
// InitializeCard are refused, the card as it was.
TEST(ModuleReinit, InitTokenBesideAnIssuersDropBoxIsRefusedWithTheCardAsItWas) {
  Reinit t("blank-model7.card");
  // The reasons are in the trace without the trace flag of the PKCS#15 layer.
  t.env.Config("PKCS15Flags = 0x8000200\n");
  ASSERT_TRUE(t.Start());
  const auto box = [](const std::string& so) { return std::regex_replace(kDropBox, std::regex("pin:04"), "pin:" + so); };
  const auto blank = [](const char* model) { return ReadFile(CardsDir() + "/blank-model" + model + ".card"); };
  DropBoxRefused(t, blank("3") + box("04"));
  // So is why C_GetTokenInfo recognises no token there, where a client stops before C_InitToken.
  EXPECT_NE(std::string::npos, t.env.Trace().find("CosmopolIC: slot 0: the PKCS#15 application at 3F00/6002 reads as no "
                                                  "token: not recognised"));
  DropBoxRefused(t, blank("7") + box("04"));
  DropBoxRefused(t, blank("4") + box("01"));
  DropBoxRefused(t, blank("4") + "pin 3F00 ref=01 min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:01,delete:pin:01 "
                 "value=3837363534333231\n" + box("01"));
  // The token's own DF anyone may create in is not built anew either.
  std::string open = ReadFile(CardsDir() + "/pkcs15-model3.card");
  open.replace(open.find("create-ef:pin:81", open.find("\ndf 3F00/5015 ")), 16, "create-ef:always");
  DropBoxRefused(t, open, "DF 3F00/5015 of ");
  DropBoxRefused(t, blank("3") + "ef 3F00/2F00 lcs=05 size=22 ac=read:always,update:pin:04,write:pin:04,delete:pin:04 "
                 "data=61144F0CA000000063504B43532D313551043F006002\n" + kDropBox);
  // The EF.DIR a first C_InitToken writes before its SO PIN, beside a DF of the PKCS#15 name at the token's place
  // (a cut leaves none there: the DF comes after the SO PIN).
  PutBack(t, blank("7"));
  t.issuers = "";
  ASSERT_EQ(CKR_OK, t.InitToken("A"));
  const std::string made = t.Image(), dirLine = made.substr(made.find("\nef 3F00/2F00 ") + 1);
  DropBoxRefused(t, blank("7") + dirLine.substr(0, dirLine.find('\n') + 1) + "df 3F00/5015 lcs=05 name=A000000063504B43532D3135 "
                 "ac=delete-child:pin:04,create-ef:pin:04,create-df:pin:04,delete:pin:04\n", "DF 3F00/5015 of ");
  const auto pin = [](const char* ref) {
    return std::string("pin 3F00 ref=") + ref + " min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:01,delete:pin:01 "
           "value=35353535\n";
  };
  const std::string at = " stands at a reference this module's tokens use, on a card that holds no token of this module";
  // An EF.DIR in the form without life-cycle bytes ruled by a PIN 01 that does not stand: the reason names that PIN.
  DropBoxRefused(t, blank("4") + "fcp-lcs 0\nef 3F00/2F00 lcs=05 size=64 ac=read:always,update:pin:01,write:pin:01,"
                 "delete:pin:01 data=00\n", "EF.DIR 3F00/2F00 may be changed by anyone (its rules name PIN 01, which does "
                 "not stand: anyone may make it)", true);
  DropBoxRefused(t, blank("4") + pin("14"), "PIN 14" + at, true);
  DropBoxRefused(t, blank("4") + pin("14"), "PIN 14" + at);
  DropBoxRefused(t, blank("4") + pin("04"), "PIN 04" + at);
  // An issuer's application beside its PIN 03 (outside every layout), EF.DIR naming it ruled by that PIN or by
  // "never"; the master file letting only that PIN create DFs; on model 3 the issuer's PIN 05 ruling EF.DIR.
  const auto issuer = [&](const char* model, const char* ref, const std::string& dirRule) {
    const std::string r = std::string("pin:") + ref;
    return blank(model) + std::regex_replace(pin(ref), std::regex("pin:01"), r) +
           "ef 3F00/2F00 lcs=05 size=16 ac=read:always,update:" + dirRule + ",write:" + dirRule + ",delete:" + r +
           " data=610E4F06D2760000FF0151043F004100\ndf 3F00/4100 lcs=05 name=D2760000FF01 ac=delete-child:" + r +
           ",create-ef:" + r + ",create-df:" + r + ",delete:" + r + "\nef 3F00/4100/0001 lcs=05 size=8 ac=read:" + r +
           ",update:" + r + ",delete:" + r + " data=5345435245543031\n";
  };
  // No PIN made (nor anything else), no SO's value sent.
  const std::string made4 = "00E0 0020000108 0020000110", made3 = "00E0 0020000408 0020000410";
  for (bool profile : {true, false}) {
    DropBoxRefused(t, issuer("4", "03", "pin:03"), "EF.DIR 3F00/2F00 may not be updated under the SO PIN 01: its rule "
                   "names PIN 03", profile, made4);
    DropBoxRefused(t, issuer("4", "03", "never"), "EF.DIR 3F00/2F00 may not be updated under the SO PIN 01: its rule "
                   "names never", profile, made4);
    std::string mf = blank("4") + pin("03");
    mf.replace(mf.find("create-df:always"), 16, "create-df:pin:03");
    DropBoxRefused(t, mf, "the master file 3F00 lets no DF be created under the SO PIN 01: its rule names PIN 03", profile,
                   made4);
  }
  DropBoxRefused(t, issuer("3", "05", "pin:05"), "EF.DIR 3F00/2F00 may not be updated under the SO PIN 04: its rule "
                 "names PIN 05", false, made3);
  // A card that refuses a step its rules allow (EF.DIR's update) after the SO PUK and PIN were made: they go again
  // (the PUK verified first), the reason is told, and the PIN file has no line for them.
  PutBack(t, blank("4"));
  const std::string before = t.Image();
  std::remove(t.env.Path("pins.txt").c_str());
  ASSERT_EQ(0, t.sim.InjectSwOn(kReader, "00D6", 0x6982, 0, 1));
  std::string error;
  EXPECT_EQ(0, InitializeFromProfile(t, "2468", &error));
  EXPECT_EQ(before, t.Image());
  const std::string why = "a step of the initialisation failed after the call wrote to the card (Brak dost";
  EXPECT_NE(std::string::npos, error.find(why)) << error;
  EXPECT_NE(std::string::npos, t.env.Trace().find("): what it made was removed again, the card is as it was"));
  EXPECT_EQ("", ReadFile(t.env.Path("pins.txt")));
  // So does C_InitToken, its SO PIN made there.
  ASSERT_EQ(0, t.sim.InjectSwOn(kReader, "00D6", 0x6982, 0, 1));
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.InitToken("A"));
  EXPECT_EQ(before, t.Image());
  EXPECT_NE(std::string::npos, LastError(t).find(why)) << LastError(t);
  // A card holding this module's tokens, beside an issuer's PIN 03 that alone may create DFs in the master file or
  // update EF.DIR: InitializeCard (which erases the tokens first) and C_InitToken of the token (which deletes its DF
  // first) are refused before either, and before the SO's value goes.
  PutBack(t, blank("4"));
  t.issuers = "";
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", &error));
  std::string mf = t.Image() + pin("03"), dir = mf, gone = mf;
  mf.replace(mf.find("create-df:always"), 16, "create-df:pin:03");
  const size_t line = dir.find("\nef 3F00/2F00 ");
  dir.replace(dir.find("update:pin:01", line), 13, "update:pin:03");
  gone.replace(gone.find("delete:pin:01", line), 13, "delete:pin:03");
  const std::string unsent = "00E4 " + made4;
  DropBoxRefused(t, mf, "the master file 3F00 lets no DF be created under the SO PIN 01: its rule names PIN 03", true, unsent);
  // C_InitToken of the token, whose DF the SO PIN could not make again, initialises it in place: no file deleted
  // (the user PIN is made anew).
  PutBack(t, mf);
  t.issuers = "";
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  EXPECT_EQ(CKR_OK, t.InitToken("A")) << LastError(t);
  for (const std::string& c : tokenrig::Commands(t.Log())) EXPECT_NE(0u, c.rfind("00E40000", 0)) << c;
  EXPECT_EQ("A", TokenState(t));
  DropBoxRefused(t, dir, "EF.DIR 3F00/2F00 may not be updated under the SO PIN 01: its rule names PIN 03", true, unsent);
  DropBoxRefused(t, gone, "EF.DIR 3F00/2F00 may not be deleted under the SO PIN 01: its rule names PIN 03", true, unsent);
}

namespace {

using InitializeCardFn = int (*)(const char*, const char*);
using LastErrorFn = int (*)(char*, unsigned long*);

// GetLastErrorString's text.
std::string LastError(Reinit& t) {
  const auto last = t.module->fn<LastErrorFn>("GetLastErrorString");
  char buf[2048] = {0};
  unsigned long len = sizeof buf;
  return last != nullptr && last(buf, &len) == 1 ? std::string(buf) : std::string();
}

// InitializeCard with a profile file holding the SO PIN and one token with `user` and `puk`.
int InitializeFromProfile(Reinit& t, const std::string& user, std::string* error, const std::string& puk) {
  const std::string profile = t.env.Path("profile.ini");
  WriteFile(profile, "SoPin = " + kSo + "\nOutputPinFile = " + t.env.Path("pins.txt") + "\n[Podpis]\nUserPin = " + user +
                         "\nUserPuk = " + puk + "\n");
  const auto init = t.module->fn<InitializeCardFn>("InitializeCard");
  if (init == nullptr) return -1;
  const int ok = init(kReader, profile.c_str());
  EXPECT_EQ(t.issuers, ok == 1 ? cardimage::OpenToAnyone(t.Image()) : t.issuers) << "after InitializeCard";
  if (error != nullptr) *error = LastError(t);
  return ok;
}

}  // namespace

// InitializeCard with a profile that holds the SO PIN, round after round on a
// model-4 card whose user made a private data object and a key pair: each
// round's token has none of the previous round's objects, and the previous
// PIN no longer logs in; also after a restart.
TEST(ModuleReinit, InitializeCardAgainAndAgainOnModel4) {
  Reinit t("blank-model4.card");
  ASSERT_TRUE(t.Start());
  const std::string blank = t.Image();
  const char* const users[] = {"2468", "1357", "9753"};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::string error;
    ASSERT_EQ(1, InitializeFromProfile(t, users[round], &error)) << error << t.Log();
    if (round == 2) {
      ASSERT_TRUE(t.Start());
    }
    EXPECT_EQ("Podpis", t.Label());
    CK_SESSION_HANDLE h = 0;
    if (round > 0) {
      EXPECT_NE(CKR_OK, t.UserSession(users[round - 1], &h));
    }
    ASSERT_EQ(CKR_OK, t.UserSession(users[round], &h));
    EXPECT_EQ(std::vector<std::string>{}, t.Objects(h));
    (void)t.f()->C_CloseAllSessions(0);
    UserRound(t, users[round], "Podpis", true);
    // The PIN file names the SO PUK the first round drew; the later rounds keep it, its value not theirs to tell.
    const std::string pins = ReadFile(t.env.Path("pins.txt")), image = t.Image();
    const testsupport::Bytes puk = testsupport::FromHex(cardimage::ValueOf(image.substr(image.find("\npin 3F00 ref=11 ") + 1), "value"));
    EXPECT_EQ(", SoPuk: " + (round == 0 ? std::string(puk.begin(), puk.end()) : "<unchanged>") + ",",
              pins.substr(pins.rfind(", SoPuk: "), pins.find(',', pins.rfind(", SoPuk: ") + 1) + 1 - pins.rfind(", SoPuk: ")));
  }
  // C_InitToken on that card: the next user reads none of the old user's objects.
  ASSERT_EQ(CKR_OK, t.InitToken("Nowy"));
  ASSERT_EQ(CKR_OK, t.InitPin("5555"));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession("5555", &h));
  EXPECT_EQ(std::vector<std::string>{}, t.Objects(h));
  (void)t.f()->C_CloseAllSessions(0);
  // A user PIN the SO may not delete (an issuer's rule), with a PUK reference of its own or open to anyone's change:
  // the next InitializeCard fails, the PIN as it was (never blocked nor taken over), nothing opened to anyone, and
  // no later call takes it over.
  const std::string deletable = t.Image();
  ASSERT_EQ(1, InitializeFromProfile(t, "111111", nullptr, "22222222"));
  const std::string one = t.Image();
  for (const char* rules : {"unblock=13 ac=update:pin:01,delete:never", "unblock=12 ac=update:always,delete:never"}) {
    SCOPED_TRACE(rules);
    std::string kept = one;
    const size_t pin = kept.find("\npin 3F00 ref=02 ") + 1, at = kept.find(" unblock=12 ", pin) + 1;
    kept.replace(at, kept.find(' ', kept.find(" ac=", pin) + 1) - at, rules);
    PutBack(t, kept);
    const std::string before = t.Image(), line = kept.substr(pin, kept.find('\n', pin) + 1 - pin);
    EXPECT_EQ(0, InitializeFromProfile(t, "8642", nullptr, "44444444"));
    EXPECT_NE(std::string::npos, t.Image().find(line)) << t.Image();
    EXPECT_EQ("", cardimage::NewlyOpen(before, t.Image()));
    const std::string failed = t.Image();
    EXPECT_NE(CKR_OK, t.InitToken("Nowy"));
    EXPECT_EQ(WithoutCounters(failed), WithoutCounters(t.Image()));
  }
  // A deletion the card answers "not there" once is asked again: the PIN it still holds goes and is made anew.
  for (unsigned sw : {0x6A82u, 0x6A88u}) {
    PutBack(t, deletable);
    ASSERT_EQ(0, t.sim.InjectSwOn(kReader, "00E420000102", sw, 0, 1));
    ASSERT_EQ(1, InitializeFromProfile(t, "1357", nullptr, "22446688")) << t.Log();
    EXPECT_EQ(CKR_OK, t.UserSession("1357", &h));
    (void)t.f()->C_CloseAllSessions(0);
    EXPECT_NE(std::string::npos, t.Image().find("value=3232343436363838\n")) << t.Image();
  }
  // A "not found" to the selection of the master file before the token's DF goes is asked again; two erase nothing.
  PutBack(t, deletable);
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(1, InitializeFromProfile(t, "1357", nullptr));
  const std::string log = t.Log();
  int before = -1;  // the command before DELETE FILE 5015
  for (size_t at = log.find("\n> "); at < log.find("> 00E40000025015"); at = log.find("\n> ", at + 1)) ++before;
  PutBack(t, deletable);
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_EQ(0, t.injectAfter(kReader, 0x100, 0x6A82, before, 2));
  EXPECT_EQ(0, InitializeFromProfile(t, "1357", nullptr));
  EXPECT_NE(std::string::npos, t.Log().find("> 00A40004023F0000\n< 6A82")) << t.Log();
  EXPECT_EQ(WithoutCounters(deletable), WithoutCounters(t.Image()));
  // The second of two tokens with a PUK of its own (14) that an issuer's file names too: InitializeCard of one token
  // deletes PINs 04 and 14 with the tokens, so that a later profile of two takes the card; the issuer's DF and file
  // stay as they were, their rules naming a PIN that stands no more.
  PutBack(t, blank);
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, "<none>\n[Szyfrowanie]\nUserPin = 1234\nUserPuk = 44444444"));
  PutBack(t, t.Image() + "df 3F00/4300 lcs=05 name=D2760000850103 ac=create-ef:pin:01,create-df:pin:01,delete:pin:01\n"
                         "ef 3F00/4300/0001 lcs=05 size=4 ac=read:pin:14,update:pin:14,delete:pin:01 data=31323334\n");
  const std::string two = t.Image();
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr));
  EXPECT_EQ("3F00/4300/0001 read; 3F00/4300/0001 update; ", cardimage::NewlyOpen(two, t.Image()));
  for (const char* ref : {"\npin 3F00 ref=04 ", "\npin 3F00 ref=14 ", "\ndf 3F00/4300 ", "\nef 3F00/4300/0001 "}) {
    const std::string line = two.substr(two.find(ref), two.find('\n', two.find(ref) + 1) - two.find(ref));
    EXPECT_EQ(line[1] != 'p', t.Image().find(line) != std::string::npos) << line;
  }
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, "<none>\n[Szyfrowanie]\nUserPin = 1234"));
  // C_InitToken on both tokens, then two tokens, one with a PUK and two again: each call takes the card.
  for (t.slot = 0; t.slot < 2; ++t.slot) ASSERT_EQ(CKR_OK, t.InitToken("Nowy")) << t.Log();
  t.slot = 0;
  for (const char* tokens : {"<none>\n[Szyfrowanie]\nUserPin = 1234", "22446688", "<none>\n[Szyfrowanie]\nUserPin = 1234"})
    ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, tokens)) << t.Log();
  EXPECT_EQ("01 02 04 11 14 ", MasterFilePins(t.Image()));
  // An application of another kind that EF.DIR names keeps its record when EF.DIR is made anew (its DF no one may
  // change); one inside the token's DF is never erased with it: the call fails before its first deletion.
  std::string bare;
  std::istringstream lines(deletable);
  for (std::string l; std::getline(lines, l);)
    if (l.find(" 3F00/5015") == std::string::npos && l.rfind("pin 3F00 ref=02 ", 0) != 0 && l.rfind("pin 3F00 ref=12 ", 0) != 0)
      bare += l.rfind("ef 3F00/2F00 ", 0) == 0 ? l.substr(0, l.find("data=") + 5) + "61104F07A000000151500051043F004000\n" : l + "\n";
  PutBack(t, bare + "df 3F00/4000 lcs=05 name=A0000001515000 ac=create-ef:never,create-df:never,delete:never\n");
  ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr)) << t.Log();
  EXPECT_NE(std::string::npos, t.Image().find("61104F07A000000151500051043F004000")) << t.Image();
  std::string inside = deletable;
  const size_t dir = inside.find("data=", inside.find("\nef 3F00/2F00 ")) + 5;
  inside.replace(dir + 2 * (2 + std::stoul(inside.substr(dir + 2, 2), nullptr, 16)), 38, "61114F07A000000151500051063F0050154000");
  inside.insert(inside.find("\n", inside.find("\ndf 3F00/5015 ") + 1) + 1, "df 3F00/5015/4000 lcs=05 name=A0000001515000 "
                "ac=create-ef:pin:01,create-df:pin:01,delete:pin:01\n");
  PutBack(t, inside);
  EXPECT_EQ(0, InitializeFromProfile(t, "2468", nullptr));
  EXPECT_EQ(WithoutCounters(inside), WithoutCounters(t.Image()));
  // Two tokens; the card says once that no SO PIN stands: C_InitToken of the first fails with the card as it was,
  // and the next one goes.
  PutBack(t, blank);
  WriteFile(t.env.Path("profile.ini"), "SoPin = " + kSo + "\n[Podpis]\nUserPin = 2468\n[Drugi]\nUserPin = 1357\n");
  ASSERT_EQ(1, t.module->fn<InitializeCardFn>("InitializeCard")(kReader, t.env.Path("profile.ini").c_str()));
  const std::string twoTokens = t.Image();
  ASSERT_NE(std::string::npos, twoTokens.find("\ndf 3F00/5016 "));
  ASSERT_EQ(0, t.sim.InjectSwOn(kReader, "0020000110", 0x6A88, 0, 1));
  EXPECT_NE(CKR_OK, t.InitToken("Nowy"));
  EXPECT_EQ(WithoutCounters(twoTokens), WithoutCounters(t.Image()));
  ASSERT_EQ(CKR_OK, t.InitToken("Nowy")) << t.Log();
  EXPECT_NE(std::string::npos, t.Image().find("\ndf 3F00/5016 "));
  // Two tokens, C_InitToken on both slots, two tokens, one with a PUK, two again: each call takes the card, and
  // after each the master file holds no PIN but the card's SO PIN and PUK and those its tokens name.
  PutBack(t, blank);
  const std::string second = "<none>\n[Drugi]\nUserPin = 1357";
  for (const auto& [user, puk, pins] : std::vector<std::array<std::string, 3>>{
           {"2468", second, "01 02 04 11 14 "}, {"", "", "01 02 04 11 "}, {"2468", second, "01 02 04 11 14 "},
           {"2468", "22446688", "01 02 11 12 "}, {"2468", second, "01 02 04 11 14 "}}) {
    SCOPED_TRACE(user + puk);
    if (user.empty()) {
      for (t.slot = 0; t.slot < 2; ++t.slot) ASSERT_EQ(CKR_OK, t.InitToken("Nowy")) << t.Log();
      t.slot = 0;
    } else {
      std::string error;
      ASSERT_EQ(1, InitializeFromProfile(t, user, &error, puk)) << error;
    }
    EXPECT_EQ(pins, MasterFilePins(t.Image()));
  }
  // PINs where the tokens put theirs, on a card InitializeCard made (`made`, then `added` to its image): a PIN goes
  // only where a token the call erases names it, or where no token names it and the card shows nothing but this
  // module's tokens (what an earlier erasure left); an issuer's PIN, its application's DF and file stay octet for
  // octet, also through C_InitToken, or the call is refused before the SO's value goes, the card as it was, the trace
  // (without the trace flag of the PKCS#15 layer) and the last error naming the PIN and the application found.
  const auto issuer = [](const char* ref, const char* del) {
    return std::string("pin 3F00 ref=") + ref + " min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:" + ref + ",delete:" +
           del + " value=35353535\ndf 3F00/4100 lcs=05 name=D2760000850102 ac=delete-child:pin:01,create-ef:pin:01,"
           "create-df:pin:01,deactivate:pin:01,activate:pin:01,terminate:pin:01,delete:pin:01\nef 3F00/4100/0001 lcs=05 "
           "size=16 ac=read:pin:" + ref + ",update:pin:" + ref + ",write:pin:" + ref + ",deactivate:pin:01,activate:pin:01,"
           "terminate:pin:01,delete:pin:01 data=53454352455400000000000000000000\n";
  };
  const auto tokens = [](int n, bool pukOnLast) {
    std::string text = "<none>";
    for (int i = 1; i < n; ++i)
      text += "\n[T" + std::to_string(i) + "]\nUserPin = 1357" + (i == n - 1 && pukOnLast ? "" : "\nUserPuk = <none>");
    return text;
  };
  const std::string named = "610F4F07D276000085010251043F004100";  // EF.DIR's record of the issuer's application
  const std::string pin04 = "pin 3F00 ref=04 min=4 max=16 pad=FF tries=3 unblock=14 ac=update:pin:01,delete:pin:01 value=31323334\n";
  const std::string pin14 = "pin 3F00 ref=14 min=4 max=16 pad=FF tries=3 ac=update:pin:01,delete:pin:01 value=3434343434343434\n";
  const struct Row {
    const char* name;
    std::string made, added, record;  // the card's tokens, the lines added to its image, a record added to EF.DIR
    std::string call;                 // InitializeCard's tokens
    const char* pins;                 // the master file's PINs after the call; null: refused, the card as it was
    std::string refusal;              // the PIN it names
    bool left = false;                // the PINs added are leftovers: new tokens' PINs replace them
  } rows[] = {
      {"an earlier erasure's leftovers", "22446688", pin14 + pin04, "", second, "01 02 04 11 14 ", "", true},
      {"an issuer's PIN 04 that nothing on the card shows", "<none>", issuer("04", "pin:01"), "", "<none>", "01 02 04 11 ", ""},
      {"an issuer's PIN 06", second, issuer("06", "pin:01"), named, second, "01 02 04 06 11 14 ", ""},
      {"an issuer's PIN 08", second, issuer("08", "pin:01"), named, second, "01 02 04 08 11 14 ", ""},
      {"an issuer's PIN 0A that anyone may delete", second, issuer("0A", "always"), named, second, "01 02 04 0A 11 14 ", ""},
      {"an issuer's PIN 1A", second, issuer("1A", "pin:01"), named, second, "01 02 04 11 14 1A ", ""},
      {"an issuer's PIN 06 where a third token's goes", second, issuer("06", "pin:01"), named, tokens(3, false), nullptr, "06"},
      {"an issuer's PIN 08 where a fourth token's goes", second, issuer("08", "pin:01"), named, tokens(4, false), nullptr, "08"},
      {"an issuer's PIN 0A where a fifth token's goes", second, issuer("0A", "always"), named, tokens(5, false), nullptr, "0A"},
      {"an issuer's PIN 1A where a fifth token's PUK goes", second, issuer("1A", "pin:01"), named, tokens(5, true), nullptr, "1A"},
  };
  t.env.Config("PKCS15Flags = 0x8000200\n");
  ASSERT_TRUE(t.Start());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    t.issuers = "";
    PutBack(t, blank);
    ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr, row.made));
    std::string image = t.Image();
    size_t end = image.find("data=", image.find("\nef 3F00/2F00 ")) + 5;  // the record goes after the tokens'
    while (image.compare(end, 2, "61") == 0) end += 2 * (2 + std::stoul(image.substr(end + 2, 2), nullptr, 16));
    image.replace(end, row.record.size(), row.record);
    PutBack(t, image + row.added);
    const std::string before = t.Image();
    t.issuers = cardimage::OpenToAnyone(before);
    const size_t from = t.env.Trace().size();
    ASSERT_EQ(0, t.sim.ClearLog(kReader));
    std::string error;
    EXPECT_EQ(row.pins != nullptr, InitializeFromProfile(t, "2468", &error, row.call) == 1) << error << t.Log();
    if (row.pins == nullptr) {
      const std::string line = "ClassIC: PIN " + row.refusal + " stands where a new token's PIN goes, and no token names "
                               "it; the card holds other applications: D2760000850102 at 3F00/4100: the card is refused "
                               "as it is (its owner clears that first), nothing changed";
      EXPECT_EQ(before, t.Image());
      EXPECT_EQ(std::string::npos, t.Log().find("> 0020000110")) << "the SO's value was sent";
      EXPECT_NE(std::string::npos, t.env.Trace().find(line + " (", from)) << t.env.Trace().substr(from);
      EXPECT_EQ(line.substr(9) + "\n", error);
      continue;
    }
    EXPECT_EQ(row.pins, MasterFilePins(t.Image()));
    EXPECT_EQ("", cardimage::NewlyOpen(before, t.Image()));
    EXPECT_EQ(row.left, t.env.Trace().find("PIN 04 in the master file, which no token names, stood where a new token's "
                                           "PIN goes: deleted", from) != std::string::npos);
    // What was added stays as it was, but where a new token's PIN replaced a leftover; so it does through C_InitToken.
    for (int call = 0; call < 2; ++call) {
      std::istringstream lines(row.added);
      for (std::string l; std::getline(lines, l);)
        EXPECT_EQ(row.left, t.Image().find(l + "\n") == std::string::npos) << l;
      EXPECT_TRUE(t.Image().find(row.record) != std::string::npos);
      if (call == 0) {
        ASSERT_EQ(CKR_OK, t.InitToken("Nowy")) << t.Log();
      }
    }
  }
}

// InitializeCard writes tokens on model 4 only: on the other models the
// profile is refused and the card stays as it was, octet for octet.
// Blank (also with an EF.DIR anyone could have written, '*') or holding a token (the shipped one, one written
// to size, one C_InitToken made, '+'), and a model-4 card where someone planted a PIN the profile's second token
// needs that the SO may not delete.
TEST(ModuleReinit, InitializeCardRefusesOtherModelsAndChangesNothing) {
  for (const char* image : {"blank-model1.card", "blank-model3.card", "blank-model7.card", "pkcs15-model3.card",
                            "written-to-size-model3.card", "blank-model1.card+", "blank-model3.card+",
                            "blank-model7.card+", "blank-model4.card+", "blank-model1.card*", "blank-model3.card*"}) {
    SCOPED_TRACE(image);
    const std::string name = image;
    const bool made = name.back() == '+';
    Reinit t(made || name.back() == '*' ? name.substr(0, name.size() - 1) : name);
    ASSERT_TRUE(t.Start());
    if (name.back() == '*')
      PutBack(t, t.Image() + "ef 3F00/2F00 lcs=05 size=64 ac=read:always data=61324F0CA000000063504B43532D3135"
                             "500D4361726453696D20546F6B656E51043F005015730D060B2B0601040181FD59020702\n");
    if (made && name != "blank-model4.card+") {
      ASSERT_EQ(CKR_OK, t.InitToken("A"));
    }
    if (name == "blank-model4.card+") {
      ASSERT_EQ(1, InitializeFromProfile(t, "2468", nullptr));
      PutBack(t, t.Image() + "pin 3F00 ref=14 min=4 max=16 tries=3 left=3 ac=delete:never value=31313131\n");
    }
    const std::string before = t.Image(), label = t.Label();
    std::string error;
    EXPECT_EQ(0, name == "blank-model4.card+" ? InitializeFromProfile(t, "1357", &error, "<none>\n[Szyfrowanie]\nUserPuk = 1234")
                                              : InitializeFromProfile(t, "2468", &error));
    EXPECT_EQ(WithoutCounters(before), WithoutCounters(t.Image())) << error;
    EXPECT_EQ(label, t.Label());
  }
}


// A token whose TokenInfo is missing, as a cut initialisation leaves it: with
// this module's profile in the card's directory it reads as a card to
// initialise (C_GetTokenInfo answers, CKF_TOKEN_INITIALIZED clear) and
// C_InitToken builds it anew after the SO PIN is verified; a wrong SO PIN
// changes nothing. Under another profile the same structure is no token of
// this module: it stays unrecognised (also when any card counts) and
// C_InitToken leaves the card as it is.
TEST(ModuleReinit, TokenLeftIncompleteIsUninitialisedOnlyUnderThisModulesProfile) {
  std::string image = ReadFile(CardsDir() + "/pkcs15-model3.card");
  const size_t ti = image.find("\nef 3F00/5015/5032 ");
  ASSERT_NE(std::string::npos, ti);
  image.erase(ti, image.find('\n', ti + 1) - ti);
  const std::string ours = "060B2B0601040181FD59020702", other = "060B2B0601040181FD59020709";
  ASSERT_NE(std::string::npos, image.find(ours));
  std::string foreign = image;
  foreign.replace(foreign.find(ours), ours.size(), other);
  {
    Reinit t("pkcs15-model3.card");
    ASSERT_TRUE(t.Start());
    PutBack(t, image);
    EXPECT_EQ(kUninitialised, TokenState(t));
    EXPECT_EQ(CKR_PIN_INCORRECT, t.InitToken("B", "11112222"));
    EXPECT_EQ(WithoutCounters(image), WithoutCounters(t.Image()));
    ASSERT_EQ(CKR_OK, t.InitToken("B")) << t.Log();
    EXPECT_EQ("B", TokenState(t));
    ASSERT_EQ(CKR_OK, t.InitPin("1357"));
    TokenWorks(t, "1357", 0);
    DirectoriesWhole(t);
  }
  for (const char* flags : {"0x8000600", "0x8000608"}) {
    SCOPED_TRACE(flags);
    Reinit t("pkcs15-model3.card");
    t.env.Config(std::string("PKCS15Flags = ") + flags + "\n");
    ASSERT_TRUE(t.Start());
    PutBack(t, foreign);
    EXPECT_EQ("<" + std::to_string(CKR_TOKEN_NOT_RECOGNIZED) + ">", TokenState(t));
    EXPECT_NE(CKR_OK, t.InitToken("B"));
    EXPECT_EQ(WithoutCounters(foreign), WithoutCounters(t.Image()));
  }
}

namespace {

// One object of a kind, number n: a certificate of 1,481 octets, a data object of
// 256 octets, or an RSA key pair of 1024 bits unless told.
enum class Kind { kCertificate, kData, kKeyPair };
CK_RV MakeObject(const CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h, Kind kind, int n, const std::string& more = "",
                 CK_ULONG bits = 1024) {
  const std::string label = "Object " + std::to_string(n) + more, id = {static_cast<char>(n), static_cast<char>(n >> 8)};
  TestTemplate t;
  CK_OBJECT_HANDLE obj = 0, pub = 0;
  switch (kind) {
    case Kind::kCertificate: {
      static const testsupport::Bytes der = testsupport::ReadDataFile("large-cert.der");
      t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Bool(CKA_TOKEN, true);
      t.Bytes(CKA_LABEL, label).Bytes(CKA_ID, id).Bytes(CKA_SUBJECT, std::string("\x30\x00", 2));
      t.Bytes(CKA_VALUE, std::string(der.begin(), der.end()));
      return f->C_CreateObject(h, TT_ARGS(t), &obj);
    }
    case Kind::kData:
      t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false).Bytes(CKA_LABEL, label);
      t.Bytes(CKA_VALUE, std::string(256, static_cast<char>(n)));
      return f->C_CreateObject(h, TT_ARGS(t), &obj);
    default: {
      CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
      TestTemplate prv;
      t.Bool(CKA_TOKEN, true).Ulong(CKA_MODULUS_BITS, bits).Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3));
      t.Bytes(CKA_LABEL, label).Bytes(CKA_ID, id);
      prv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true).Bytes(CKA_LABEL, label).Bytes(CKA_ID, id);
      return f->C_GenerateKeyPair(h, &gen, TT_ARGS(t), TT_ARGS(prv), &pub, &obj);
    }
  }
}

size_t CountObjects(const CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h) {
  std::vector<CK_OBJECT_HANDLE> all;
  return modulecalls::FindAll(const_cast<CK_FUNCTION_LIST*>(f), h, TestTemplate(), &all) == CKR_OK ? all.size() : 0;
}

// The SO gives the token initialised anew a user PIN, whose holder makes a data object, a certificate and a key
// pair: the card, read anew, lists these and nothing of the previous holder's.
void NewHolderSeesOnlyTheirs(Reinit& t) {
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.InitPin("1357")) << t.Log();
  ASSERT_EQ(CKR_OK, t.UserSession("1357", &h));
  for (Kind kind : {Kind::kData, Kind::kCertificate, Kind::kKeyPair})
    ASSERT_EQ(CKR_OK, MakeObject(t.f(), h, kind, 7 + static_cast<int>(kind))) << t.Log();
  PutBack(t, t.Image());
  ASSERT_EQ(CKR_OK, t.UserSession("1357", &h));
  EXPECT_EQ((std::vector<std::string>{"0:Object 8", "1:Object 7", "2:Object 9", "3:Object 9"}), t.Objects(h));
  (void)t.f()->C_CloseAllSessions(t.slot);
}

}  // namespace

// A token whose records and ODF entry name another application's files or PIN, beside it or inside it, while that
// one's user (PIN 5678) is logged in in the same process: the token lists none of them and, whatever it is
// asked, the other's files, key and PIN stay. A record read around stays in its file.
TEST(ModuleReinit, RecordsNamingAnotherApplicationsFilesAreReadAround) {
  const struct {
    const char* name;
    bool inside;  // the nested card, this token the outer one (slot 1); else the card of two side by side
    std::vector<std::pair<std::string, std::string>> swaps;
    CK_OBJECT_CLASS cls;  // what the token is asked to sign with, destroy or change; CKO_VENDOR_DEFINED: C_InitPIN, + 1: C_SetPIN
  } rows[] = {
      {"a PIN record naming the other's user PIN", false, {{"800200810401FF300604043F005015", "800200810401FF300604043F005016"}},
       CKO_VENDOR_DEFINED + 1},
      {"a key record naming the other's key", false, {{"04063F0050154B01", "04063F0050164B01"}}, CKO_PRIVATE_KEY},
      {"a certificate record naming the other's", false, {{"04063F0050154301", "04063F0050164301"}}, CKO_CERTIFICATE},
      {"a data object record naming the other's", false, {{"04063F0050155701", "04063F0050165701"}}, CKO_DATA},
      {"an ODF entry naming the other's PIN directory", false,
       {{"A80A300804063F0050154401", "A80A300804063F0050164401"}}, CKO_VENDOR_DEFINED},
      {"an outer key record naming the key inside by a relative path", true,
       {{"304B30140C0B", "304930140C0B"}, {"A110300E300804063F0050154B01", "A10E300C3006040450164B01"}}, CKO_PRIVATE_KEY},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Reinit t(row.inside ? "pkcs15-model3-nested-apps-puk.card" : "pkcs15-model3-two-apps-puk.card");
    ASSERT_TRUE(t.Start());
    const std::string pin = " unblock=04 ";  // the other's user PIN: its value becomes 5678
    std::string image = t.Image();
    image.replace(image.find("value=31323334", image.find(pin)), 14, "value=35363738");
    for (const auto& [from, to] : row.swaps) image.replace(image.find(from), from.size(), to);  // throws when absent
    PutBack(t, image);
    // The other's user PIN, key and files, up to EF.DIR.
    const std::string theirs = image.substr(image.find(pin), image.find("\nef 3F00/2F00 ") - image.find(pin));
    const Module& m = *t.module;
    CK_SESSION_HANDLE other = 0, h = 0;
    std::vector<CK_BYTE> sig;
    ASSERT_EQ(CKR_OK, t.UserSession("5678", &other, !row.inside)) << t.Log();
    if (row.cls == CKO_VENDOR_DEFINED + 1) {  // logins, wrong and right, and a change reach no PIN of the other
      for (const char* user : {"0000", "0000", "0000", "5678"}) EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, t.UserSession(user, &h, 0));
      ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
      EXPECT_EQ(CKR_FUNCTION_FAILED, m->C_SetPIN(h, U8("5678"), 4, U8("9999"), 4));
      EXPECT_NE(std::string::npos, t.env.Trace().find("names 3F00/5016 in another application's DF: read around"));
    } else if (row.cls != CKO_VENDOR_DEFINED) {
      ASSERT_EQ(CKR_OK, t.UserSession("1234", &h, row.inside)) << t.Log();
      const auto found = modulecalls::Find(m, h, TestTemplate().Ulong(CKA_CLASS, row.cls));
      for (CK_OBJECT_HANDLE o : found)  // what it lists it may not sign with, destroy or change
        EXPECT_NE(CKR_OK, row.cls == CKO_PRIVATE_KEY ? modulecalls::SignOnce(m, h, o, CKM_RSA_PKCS, modulecalls::DigestInfoOfAbc(), &sig)
                          : row.cls == CKO_CERTIFICATE ? m->C_DestroyObject(h, o)
                                                       : m->C_SetAttributeValue(h, o, TT_ARGS(TestTemplate().Bytes(CKA_VALUE, "A"))));
      EXPECT_EQ(0u, found.size());
      EXPECT_EQ(CKR_OK, MakeObject(t.f(), h, Kind::kData, 7));  // a write of the data objects' directory
      for (const auto& swap : row.swaps) EXPECT_LT(t.Image().find(swap.second), t.Image().find(pin));  // in its own files
      EXPECT_NE(std::string::npos, t.env.Trace().find(" in another application's DF: read around"));
    } else {  // without its PIN directory the token has no SO to log in, nor a PIN to set
      EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, t.InitPin("4321"));
      EXPECT_NE(std::string::npos, t.env.Trace().find("the ODF entry A8 names 3F00/5016/4401 in another application's DF"));
    }
    EXPECT_NE(std::string::npos, t.Image().find(theirs)) << t.Log();
    const CK_OBJECT_HANDLE theirKey = modulecalls::FindOne(m, other, CKO_PRIVATE_KEY);
    EXPECT_EQ(CKR_OK, modulecalls::SignOnce(m, other, theirKey, CKM_RSA_PKCS, modulecalls::DigestInfoOfAbc(), &sig));
  }
}

namespace {

// A capacity run's object number n of a kind, as clients write it: a certificate
// of about 1 KB with subject, issuer and serial and a label of 1 to 64 characters
// (some of two octets), a data object of 256 octets, or an RSA-1024 key pair.
CK_RV MakeAsClient(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h, Kind kind, int n, std::string* label,
                   std::string* value, const std::string& more = "") {
  if (kind != Kind::kCertificate) return MakeObject(f, h, kind, n, more);
  std::mt19937 rng(static_cast<unsigned>(n));
  label->clear();
  for (unsigned i = 0, len = 1 + rng() % 64; i < len; ++i)
    *label += rng() % 10 == 0 ? std::string("\xc5\x82") : std::string(1, static_cast<char>('a' + rng() % 26));
  *label += more;
  const testhost::Certificate c = OpenSslCertificate(Fmt("User %d", n), 1000u + static_cast<unsigned>(n), 950 + rng() % 150);
  value->assign(c.der.begin(), c.der.end());
  TestTemplate t = CertificateObject(c, *label, std::string{static_cast<char>(n), static_cast<char>(n >> 8)});
  CK_OBJECT_HANDLE obj = 0;
  return f->C_CreateObject(h, TT_ARGS(t), &obj);
}

class TokenCapacity : public ::testing::TestWithParam<const char*> {};

}  // namespace

// On a token made by C_InitToken the user writes objects of one kind, each in a
// process of its own (the module started anew, the card taken out and put back),
// until the card refuses one for want of memory (CKR_DEVICE_MEMORY): at least four
// fifths of what a token took when its directories grew without a spare
// (certificates 36, data objects 197, key pairs 31, 100 on model 7, where
// references bounded them); then every one is listed with its label and value,
// and every key signs what OpenSSL verifies.
TEST_P(TokenCapacity, EachObjectInAProcessOfItsOwnUntilTheCardIsFull) {
  const std::string card = GetParam();
#if defined(__SANITIZE_ADDRESS__)
  if (card != "blank-model3.card") GTEST_SKIP() << "the other models as in the build without the sanitizer";
#endif
  std::string counts;
  for (Kind kind : {Kind::kCertificate, Kind::kData, Kind::kKeyPair}) {
    const size_t least = kind == Kind::kCertificate ? 29 : kind == Kind::kData ? 158
                         : card == "blank-model7.card"  ? 80 : 25;
    SCOPED_TRACE(Fmt("%s, kind %d", card.c_str(), static_cast<int>(kind)));
    tokenrig::Rig rig(card.c_str());
    ASSERT_NE(0u, rig.MakeToken(rig.Image()));
    CK_FUNCTION_LIST* const f = rig.m.list();
    std::multiset<std::pair<std::string, std::string>> written;  // certificates' labels and values
    int made = 0;
    CK_RV rv = CKR_OK;
    for (; made < 400; ++made) {
      const CK_SESSION_HANDLE h = rig.Restart();
      ASSERT_NE(0u, h) << made;
      std::string label, value;
      if ((rv = MakeAsClient(f, h, kind, made, &label, &value)) != CKR_OK) break;
      if (kind == Kind::kCertificate) written.insert({label, value});
    }
    EXPECT_EQ(CKR_DEVICE_MEMORY, rv) << made;
    EXPECT_GE(static_cast<size_t>(made), least);
    const CK_SESSION_HANDLE h = rig.Restart();
    ASSERT_NE(0u, h);
    EXPECT_EQ(static_cast<size_t>(kind == Kind::kKeyPair ? 2 * made : made), CountObjects(f, h));
    EXPECT_EQ("", tokencheck::Join(tokencheck::TokenProblems(f, h, nullptr, nullptr)));
    if (kind == Kind::kCertificate) {
      std::multiset<std::pair<std::string, std::string>> listed;
      for (CK_OBJECT_HANDLE c : modulecalls::Find(rig.m, h, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE))) {
        std::string label, value;
        EXPECT_EQ(CKR_OK, tokencheck::Attribute(f, h, c, CKA_LABEL, &label));
        EXPECT_EQ(CKR_OK, tokencheck::Attribute(f, h, c, CKA_VALUE, &value));
        listed.insert({label, value});
      }
      EXPECT_TRUE(written == listed) << listed.size() << " of " << written.size() << " listed as written";
    }
    // A deletion gives its room back: on the full card an object with a longer label
    // fits in its place, then the same object again; other readers find every record.
    CK_SESSION_HANDLE again = h;
    std::string gone = "Object 5";
    for (const std::string more : {" made again", ""}) {
      TestTemplate fifth;
      if (kind == Kind::kData)
        fifth.Bytes(CKA_LABEL, gone);
      else
        fifth.Bytes(CKA_ID, std::string("\x05\x00", 2));
      for (CK_OBJECT_HANDLE o : modulecalls::Find(rig.m, again, fifth)) EXPECT_EQ(CKR_OK, f->C_DestroyObject(again, o));
      EXPECT_EQ("", cardimage::Unpacked(cardimage::CheckDirectories(rig.CardPath()))) << more;
      again = rig.Restart();
      ASSERT_NE(0u, again);
      std::string label, value;
      EXPECT_EQ(CKR_OK, MakeAsClient(f, again, kind, 5, &label, &value, more)) << more;
      EXPECT_EQ(static_cast<size_t>(kind == Kind::kKeyPair ? 2 * made : made), CountObjects(f, again)) << more;
      EXPECT_EQ("", tokencheck::Join(tokencheck::TokenProblems(f, again, nullptr, nullptr)));
      gone += more;
    }
    counts += Fmt(" %d %s", made, kind == Kind::kCertificate ? "certificates," : kind == Kind::kData ? "data objects," : "key pairs");
  }
  std::printf("%s:%s\n", card.c_str(), counts.c_str());
}

INSTANTIATE_TEST_SUITE_P(Models, TokenCapacity,
                         ::testing::Values("blank-model1.card", "blank-model3.card", "blank-model4.card",
                                           "blank-model7.card"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).substr(6, 6);  // "model1"
                         });

// A full model-3 token the module at 22053d3 made and filled (data objects of 256
// octets labelled "000-data" to "199-data", each in a process of its own, until
// CKR_DEVICE_MEMORY): the room "005-data" leaves takes "new data" of the same
// size; the directories stay packed from their start and every other object is
// still listed with its value.
TEST(ModuleReinit, AFullTokenAnEarlierVersionFilledTakesAnObjectWhereOneWasDeleted) {
  tokenrig::Rig rig("filled-by-22053d3-model3.card");
  CK_FUNCTION_LIST* const f = rig.m.list();
  const auto listed = [&](CK_SESSION_HANDLE h) {
    std::set<std::pair<std::string, std::string>> out;  // labels and values
    for (CK_OBJECT_HANDLE o : modulecalls::Find(rig.m, h, TestTemplate().Ulong(CKA_CLASS, CKO_DATA))) {
      std::string label, value;
      EXPECT_EQ(CKR_OK, tokencheck::Attribute(f, h, o, CKA_LABEL, &label));
      EXPECT_EQ(CKR_OK, tokencheck::Attribute(f, h, o, CKA_VALUE, &value));
      out.insert({label, value});
    }
    return out;
  };
  CK_SESSION_HANDLE h = rig.Restart();
  ASSERT_NE(0u, h);
  std::set<std::pair<std::string, std::string>> expected = listed(h);
  ASSERT_EQ(200u, expected.size());
  ASSERT_EQ(1u, expected.erase({"005-data", std::string(256, '\x05')}));
  for (CK_OBJECT_HANDLE o : modulecalls::Find(rig.m, h, TestTemplate().Bytes(CKA_LABEL, "005-data")))
    EXPECT_EQ(CKR_OK, f->C_DestroyObject(h, o));
  ASSERT_NE(0u, h = rig.Restart());
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false).Bytes(CKA_LABEL, "new data");
  t.Bytes(CKA_VALUE, std::string(256, 'N'));
  CK_OBJECT_HANDLE made = 0;
  EXPECT_EQ(CKR_OK, f->C_CreateObject(h, TT_ARGS(t), &made));
  expected.insert({"new data", std::string(256, 'N')});
  const cardimage::DirectoryCheck dirs = cardimage::CheckDirectories(rig.CardPath());
  EXPECT_EQ("", cardimage::Unpacked(dirs) + tokencheck::Join(dirs.torn));
  // On the full card a shorter label takes its record's place and the records
  // after it move up; a longer one has no room on its way and changes nothing.
  for (const auto& [from, to] : {std::make_pair("006-data", "6"), std::make_pair("007-data", "007-data, longer")}) {
    const std::string before = rig.Image();
    const CK_OBJECT_HANDLE o = modulecalls::Find(rig.m, h, TestTemplate().Bytes(CKA_LABEL, from)).at(0);
    EXPECT_EQ(to[1] ? CKR_DEVICE_MEMORY : CKR_OK, f->C_SetAttributeValue(h, o, TT_ARGS(TestTemplate().Bytes(CKA_LABEL, to))));
    const cardimage::DirectoryCheck now = cardimage::CheckDirectories(rig.CardPath());
    EXPECT_EQ("", cardimage::Unpacked(now) + tokencheck::Join(now.torn));
    if (to[1]) {
      EXPECT_EQ(before, rig.Image());
    } else {
      expected.insert({"6", std::string(256, '\x06')});
      expected.erase({"006-data", std::string(256, '\x06')});
    }
  }
  ASSERT_NE(0u, h = rig.Restart());
  EXPECT_TRUE(expected == listed(h));
  EXPECT_EQ("", tokencheck::Join(tokencheck::TokenProblems(f, h, nullptr, nullptr)));
}

// Tokens an earlier version made and filled, with every file of records exactly
// as long as its contents, take what the user asks of them (a certificate, a
// data object, a key pair, a longer label, longer and shorter values, a
// deletion) and C_InitToken with a longer label. Where EF.DIR may not grow (its
// rules), that C_InitToken fails before it erases anything; where the card
// refuses a deletion and every later one, the user's PIN 1234 opens no new token.
TEST(ModuleReinit, TokensWrittenToSizeGrowAsTheyAreUsed) {
  for (const char* card : {"written-to-size-model1.card", "written-to-size-model3.card", "written-to-size-model4.card",
                           "written-to-size-model7.card"}) {
    SCOPED_TRACE(card);
    Reinit t(card);
    ASSERT_TRUE(t.Start());
    SoChangesItsPin(t);  // on model 3 the card's own, of 8 octets
    const std::string written = t.Image();  // a key pair and a certificate
    FaultAtEachCommand(t, written, InitTokenOn("T3", "1234", 3, "A longer token label"), Fault::kDeletionsRefused);
    PutBack(t, written);
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
    CK_FUNCTION_LIST* const f = const_cast<CK_FUNCTION_LIST*>(t.f());
    for (Kind kind : {Kind::kCertificate, Kind::kData, Kind::kKeyPair}) EXPECT_EQ(CKR_OK, MakeObject(f, h, kind, 7));
    TestTemplate byLabel, longer, shorter, relabel;
    byLabel.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_LABEL, "Certificate");
    relabel.Bytes(CKA_LABEL, "A certificate label much longer than the one it had");
    EXPECT_EQ(CKR_OK, f->C_SetAttributeValue(h, modulecalls::Find(*t.module, h, byLabel).at(0), TT_ARGS(relabel)));
    const CK_OBJECT_HANDLE data = modulecalls::FindOne(*t.module, h, CKO_DATA);
    longer.Bytes(CKA_VALUE, std::string(600, 'L'));
    shorter.Bytes(CKA_VALUE, "short");
    EXPECT_EQ(CKR_OK, f->C_SetAttributeValue(h, data, TT_ARGS(longer)));
    EXPECT_EQ(CKR_OK, f->C_SetAttributeValue(h, data, TT_ARGS(shorter)));
    ASSERT_TRUE(t.Start());
    ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
    EXPECT_EQ(7u, CountObjects(f, h));  // the pair and certificate the token held, and four more
    EXPECT_EQ("", tokencheck::Join(tokencheck::TokenProblems(const_cast<CK_FUNCTION_LIST*>(t.f()), h, nullptr,
                                                              nullptr)));
    EXPECT_EQ(CKR_OK, f->C_DestroyObject(h, modulecalls::FindOne(*t.module, h, CKO_DATA)));
    (void)f->C_CloseAllSessions(0);
    // A longer label: EF.DIR grows; where its rules keep it from that, nothing changes.
    const std::string kept = t.Image();
    std::string locked = kept;
    const size_t del = locked.find("delete:pin:", locked.find("ef 3F00/2F00 "));
    locked.replace(del, locked.find_first_of(", ", del) - del, "delete:never");
    PutBack(t, locked);
    EXPECT_EQ(CKR_DEVICE_MEMORY, t.InitToken("A longer token label"));
    EXPECT_EQ(cardimage::Comparable(locked), cardimage::Comparable(t.Image()));
    PutBack(t, kept);
    EXPECT_EQ(CKR_OK, t.InitToken("A longer token label"));
    EXPECT_EQ("A longer token label", t.Label());
  }
}

// On a token made by C_InitToken (model 3) C_Initialize with the first
// C_GetTokenInfo takes at most 16 commands and 1500 octets with the card,
// commands and answers together (files of records are read whole: a record may
// stand after filler anywhere). Each row is a call in a process of its own (the
// module started anew, the user logged in and the object found before the
// count), the first write of the card session: it reads only the directories of
// the records it changes, each once, so that the rows after 20 certificates with
// long names cost at most 2 commands and 300 octets more than the row they repeat
// (every command costs a real card milliseconds).
TEST(ModuleReinit, ATokenMadeHereIsReadAndChangedInFewCommands) {
  Reinit t("blank-model3.card");
  ASSERT_TRUE(t.Start());
  ASSERT_EQ(CKR_OK, t.InitToken("Counted"));
  ASSERT_EQ(CKR_OK, t.InitPin("1234"));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(CKR_OK, MakeObject(t.f(), h, Kind::kData, i));
  ASSERT_EQ(CKR_OK, MakeObject(t.f(), h, Kind::kKeyPair, 3));
  t.Stop();
  const auto count = [&t](size_t* octets) {
    std::istringstream log(t.Log());
    size_t commands = 0;
    *octets = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.compare(0, 2, "> ") == 0) ++commands;
      if (line.compare(0, 2, "> ") == 0 || line.compare(0, 2, "< ") == 0) *octets += (line.size() - 2) / 2;
    }
    (void)t.sim.ClearLog(kReader);
    return commands;
  };
  ASSERT_EQ(0, t.sim.ClearLog(kReader));
  ASSERT_TRUE(t.Start());
  EXPECT_EQ("Counted", t.Label());
  size_t octets = 0;
  EXPECT_LE(count(&octets), 16u);
  EXPECT_LE(octets, 1500u) << t.Log();
  CK_FUNCTION_LIST* const f = const_cast<CK_FUNCTION_LIST*>(t.f());
  int certificates = 0;
  // A row's call: its objects found first (not counted), then the counted call.
  using Call = std::function<CK_RV()>;
  const auto one = [&t](CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::string& label) {
    return modulecalls::Find(*t.module, s, TestTemplate().Ulong(CKA_CLASS, cls).Bytes(CKA_LABEL, label)).at(0);
  };
  const auto set = [&](const char* label, CK_ATTRIBUTE_TYPE type, const std::string& v) {
    return [=, &one](CK_SESSION_HANDLE s) -> Call {
      const CK_OBJECT_HANDLE o = one(s, CKO_DATA, label);
      return [=]() { return f->C_SetAttributeValue(s, o, TT_ARGS(TestTemplate().Bytes(type, v))); };
    };
  };
  const auto destroy = [&](CK_OBJECT_CLASS a, CK_OBJECT_CLASS b, const char* label) {
    return [=, &one](CK_SESSION_HANDLE s) -> Call {
      const CK_OBJECT_HANDLE x = one(s, a, label), y = b ? one(s, b, label) : 0;
      return [=]() {
        const CK_RV rv = f->C_DestroyObject(s, x);
        return rv == CKR_OK && y ? f->C_DestroyObject(s, y) : rv;
      };
    };
  };
  const auto make = [&](Kind kind) {
    return [=, &certificates](CK_SESSION_HANDLE s) -> Call {
      std::string l, v;
      return [=, &certificates]() mutable {
        return kind == Kind::kKeyPair ? MakeObject(f, s, kind, 100, "", 2048)
                                      : MakeAsClient(f, s, kind, certificates++, &l, &v);
      };
    };
  };
  const struct {
    const char* what;
    int certificates;  // made before, each in a process of its own
    std::function<Call(CK_SESSION_HANDLE)> call;
    size_t commands, octets;
    int like;  // the row whose counts this one keeps within 2 commands and 300 octets
  } rows[] = {
      {"same-length value (a new file)", 0, set("Object 1", CKA_VALUE, std::string(256, 'a')), 18, 1800, -1},
      {"rename", 0, set("Object 2", CKA_LABEL, "Renamed 2"), 10, 1200, -1},
      {"destroy a data object", 0, destroy(CKO_DATA, 0, "Object 0"), 10, 1350, -1},
      {"destroy a key pair", 0, destroy(CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, "Object 3"), 18, 2600, -1},
      {"RSA-2048 key pair", 0, make(Kind::kKeyPair), 32, 3600, -1},
      {"1st certificate with long names", 0, make(Kind::kCertificate), 16, 1700, -1},
      {"10th certificate with long names", 9, make(Kind::kCertificate), 26, 4300, -1},
      {"20th certificate (the directory grows)", 19, make(Kind::kCertificate), 75, 15500, -1},
      {"same-length value, 20 certificates", 20, set("Object 1", CKA_VALUE, std::string(256, 'b')), 18, 1800, 0},
      {"rename, 20 certificates", 20, set("Renamed 2", CKA_LABEL, "Object 2"), 10, 1200, 1},
      {"30th certificate with long names", 29, make(Kind::kCertificate), 42, 9000, -1},
  };
  std::vector<std::pair<size_t, size_t>> counted;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    while (certificates < row.certificates) {
      ASSERT_TRUE(t.Start());
      ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
      ASSERT_EQ(CKR_OK, make(Kind::kCertificate)(h)());
    }
    ASSERT_TRUE(t.Start());
    ASSERT_EQ(CKR_OK, t.UserSession("1234", &h));
    Call call = row.call(h);
    (void)count(&octets);
    EXPECT_EQ(CKR_OK, call());
    counted.emplace_back(count(&octets), octets);
    EXPECT_LE(counted.back().first, row.commands);
    EXPECT_LE(octets, row.octets);
    if (row.like < 0) continue;
    EXPECT_LE(counted.back().first, counted[row.like].first + 2);
    EXPECT_LE(octets, counted[row.like].second + 300);
  }
}
