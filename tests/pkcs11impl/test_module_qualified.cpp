// The qualified-signature part and the end of a token's use through the vendor
// exports, on simulated model-1 and model-3 cards: every CKF_MIRTAL_QUAL_* flag
// in each state its card can show (files absent, in initialisation, without
// content, not named by the application), a model-1 card terminated, its
// image showing the terminated life cycle, and the qualified PIN changed.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
CK_UTF8CHAR kUserPin[] = "1234";

// The five vendor calls of the qualified part and of token data.
struct VendorCalls {
  CK_RV (*Terminate)(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG);
  CK_RV (*Activate)(CK_SESSION_HANDLE);
  CK_RV (*Characteristics)(CK_SLOT_ID, CK_FLAGS*, CK_VOID_PTR);
  CK_RV (*GetData)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR);
  CK_RV (*SetData)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG);
  explicit VendorCalls(const Module& m)
      : Terminate(m.fn<decltype(Terminate)>("MIRTAL_PKCS11_TerminateTokenUsage")),
        Activate(m.fn<decltype(Activate)>("MIRTAL_PKCS11_ActivateTokenQualifiedPart")),
        Characteristics(m.fn<decltype(Characteristics)>("MIRTAL_PKCS11_GetQualifiedPartCharacteristics")),
        GetData(m.fn<decltype(GetData)>("MIRTAL_PKCS11_GetTokenData")),
        SetData(m.fn<decltype(SetData)>("MIRTAL_PKCS11_SetTokenData")) {}
  bool ok() const { return Terminate && Activate && Characteristics && GetData && SetData; }
};

// An image's text with lines changed: each line starting with `head` is dropped
// (to empty) or has its word `key=...` set to `key=value`.
struct ImageText {
  std::string text;
  void Drop(const std::string& head) { Edit(head, [](std::string* line) { line->clear(); }); }
  void Set(const std::string& head, const std::string& key, const std::string& value) {
    Edit(head, [&](std::string* line) {
      const size_t at = line->find(" " + key + "=");
      ASSERT_NE(std::string::npos, at) << *line;
      size_t end = line->find(' ', at + 1);
      if (end == std::string::npos) end = line->size();
      line->replace(at + 1, end - at - 1, key + "=" + value);
    });
  }
  // Drops the words key=... of the lines starting with head.
  void Unset(const std::string& head, const std::vector<std::string>& keys) {
    Edit(head, [&](std::string* line) {
      std::istringstream in(*line);
      std::string word, out;
      while (in >> word) {
        bool drop = false;
        for (const std::string& k : keys) drop = drop || word.rfind(k + "=", 0) == 0;
        if (!drop) out += (out.empty() ? "" : " ") + word;
      }
      *line = out;
    });
  }
  // Replaces hex text inside the lines starting with head (same length: the DER stays whole).
  void Replace(const std::string& head, const std::string& from, const std::string& to) {
    Edit(head, [&](std::string* line) {
      const size_t at = line->find(from);
      ASSERT_NE(std::string::npos, at) << from;
      line->replace(at, from.size(), to);
    });
  }
  template <class F>
  void Edit(const std::string& head, F f) {
    std::istringstream in(text);
    std::string line, out;
    bool found = false;
    while (std::getline(in, line)) {
      if (line.rfind(head, 0) == 0) {
        f(&line);
        found = true;
      }
      if (!line.empty()) out += line + "\n";
    }
    ASSERT_TRUE(found) << head;
    text = out;
  }
};

// A module over one simulated reader; the card can be swapped for a changed copy of its image.
struct QualifiedHost {
  SimEnv env;
  bool configured;
  CardSim sim;
  Module m;
  VendorCalls v;
  explicit QualifiedHost(const std::string& card, const std::string& extra = "")
      : env(Readers{{kR0, card}}), configured((env.Config(extra), true)), v(m) {}
  bool Start() { return configured && sim.ok() && m.ok() && v.ok() && m->C_Initialize(nullptr) == CKR_OK; }
  ~QualifiedHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  ImageText Pristine(const std::string& card) const { return ImageText{ReadFile(CardsDir() + "/" + card)}; }
  // Takes the card out, writes the changed image and puts it back.
  void Insert(const std::string& card, const ImageText& image) {
    ASSERT_EQ(0, sim.Remove(kR0));
    WriteFile(env.Card(card), image.text);
    ASSERT_EQ(0, sim.Insert(kR0, env.Card(card).c_str()));
  }
  CK_FLAGS Flags() {
    CK_FLAGS flags = 0xDEAD;
    EXPECT_EQ(CKR_OK, v.Characteristics(0, &flags, nullptr));
    return flags;
  }
};

constexpr CK_FLAGS kDir = CKF_MIRTAL_QUAL_SIGGDIR_PRESENT | CKF_MIRTAL_QUAL_SIGGDIR_ACTIVATED;
constexpr CK_FLAGS kKey = CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT | CKF_MIRTAL_QUAL_USERPRVKEY_INITIATED |
                          CKF_MIRTAL_QUAL_USERPRVKEY_ACTIVATED | CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE;
constexpr CK_FLAGS kCert = CKF_MIRTAL_QUAL_USERCERT_PRESENT | CKF_MIRTAL_QUAL_USERCERT_INITIATED |
                           CKF_MIRTAL_QUAL_USERCERT_ACTIVATED | CKF_MIRTAL_QUAL_USERCERT_VISIBLE;
constexpr CK_FLAGS kRoot = CKF_MIRTAL_QUAL_ROOTPUBKEY_PRESENT | CKF_MIRTAL_QUAL_ROOTPUBKEY_INITIATED |
                           CKF_MIRTAL_QUAL_ROOTPUBKEY_ACTIVATED;

}  // namespace

TEST(ModuleQualified, ModelOneFlagsFollowEachFileOfTheQualifiedPart) {
  const std::string card = "qualified-model1-visible.card";
  QualifiedHost h(card);
  ASSERT_TRUE(h.Start()) << h.m.error();
  // Everything there, activated and holding values; the application names the key and the
  // certificate. Nothing names the root key, and the directory is reported visible only
  // when an absent part is asked for, which the export never does.
  const CK_FLAGS all = kDir | kKey | kCert | kRoot;
  EXPECT_EQ(all, h.Flags());

  struct Case {
    const char* what;
    void (*change)(ImageText*);
    CK_FLAGS flags;
  } const cases[] = {
      {"directory absent",
       [](ImageText* t) {
         for (const char* head : {"df 3F00/DF01", "pin 3F00/DF01", "key 3F00/DF01", "ef 3F00/DF01"}) t->Drop(head);
       },
       // The application still names the key and the certificate by their paths.
       CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE | CKF_MIRTAL_QUAL_USERCERT_VISIBLE},
      {"directory in initialisation", [](ImageText* t) { t->Set("df 3F00/DF01", "lcs", "03"); },
       all & ~CKF_MIRTAL_QUAL_SIGGDIR_ACTIVATED},
      {"key absent", [](ImageText* t) { t->Drop("key 3F00/DF01/EFD5"); },
       all & ~(kKey & ~CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE)},
      {"key without value",
       [](ImageText* t) { t->Unset("key 3F00/DF01/EFD5", {"n", "e", "d", "p", "q", "dp", "dq", "qi"}); },
       all & ~CKF_MIRTAL_QUAL_USERPRVKEY_INITIATED},
      {"key in initialisation", [](ImageText* t) { t->Set("key 3F00/DF01/EFD5", "lcs", "03"); },
       all & ~CKF_MIRTAL_QUAL_USERPRVKEY_ACTIVATED},
      {"key not named", [](ImageText* t) { t->Replace("ef 3F00/5015/4402", "3F00DF01EFD5", "3F00DF01EFD6"); },
       all & ~CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE},
      {"certificate absent", [](ImageText* t) { t->Drop("ef 3F00/DF01/C000"); },
       all & ~(kCert & ~CKF_MIRTAL_QUAL_USERCERT_VISIBLE)},
      {"certificate file erased", [](ImageText* t) { t->Set("ef 3F00/DF01/C000", "data", std::string(4096, 'F')); },
       all & ~CKF_MIRTAL_QUAL_USERCERT_INITIATED},
      {"certificate file zeroed", [](ImageText* t) { t->Set("ef 3F00/DF01/C000", "data", std::string(4096, '0')); },
       all & ~CKF_MIRTAL_QUAL_USERCERT_INITIATED},
      {"certificate in initialisation", [](ImageText* t) { t->Set("ef 3F00/DF01/C000", "lcs", "03"); },
       all & ~CKF_MIRTAL_QUAL_USERCERT_ACTIVATED},
      {"certificate not named", [](ImageText* t) { t->Replace("ef 3F00/5015/4404", "3F00DF01C000", "3F00DF01C001"); },
       all & ~CKF_MIRTAL_QUAL_USERCERT_VISIBLE},
      {"root key absent", [](ImageText* t) { t->Drop("ef 3F00/DF01/B000"); }, all & ~kRoot},
      {"root key without value", [](ImageText* t) { t->Set("ef 3F00/DF01/B000", "data", "FFFFFFFF"); },
       all & ~CKF_MIRTAL_QUAL_ROOTPUBKEY_INITIATED},
      {"root key in initialisation", [](ImageText* t) { t->Set("ef 3F00/DF01/B000", "lcs", "03"); },
       all & ~CKF_MIRTAL_QUAL_ROOTPUBKEY_ACTIVATED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageText image = h.Pristine(card);
    c.change(&image);
    h.Insert(card, image);
    EXPECT_EQ(c.flags, h.Flags());
  }
  // An application that names no qualified PIN has no qualified part to report.
  h.Insert("qualified-model1.card", h.Pristine("qualified-model1.card"));
  EXPECT_EQ(0u, h.Flags());
}

TEST(ModuleQualified, ModelThreeFlagsComeFromTheApplicationsObjects) {
  const std::string card = "qualified-model3.card";
  QualifiedHost h(card);
  ASSERT_TRUE(h.Start()) << h.m.error();
  // The key that the qualified PIN guards and its certificate: all their flags and the
  // directory's present, activated and visible; the root key is not a model-3 object.
  EXPECT_EQ(kKey | kCert | kDir | CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE, h.Flags());

  // Without its certificate the key alone is reported.
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, h.m->C_Login(s, CKU_USER, kUserPin, 4));
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  char label[] = "Qualified certificate";
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label, sizeof label - 1}};
  ASSERT_EQ(CKR_OK, h.m->C_FindObjectsInit(s, tmpl, 2));
  CK_OBJECT_HANDLE cert = 0;
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, h.m->C_FindObjects(s, &cert, 1, &n));
  ASSERT_EQ(1u, n);
  ASSERT_EQ(CKR_OK, h.m->C_FindObjectsFinal(s));
  ASSERT_EQ(CKR_OK, h.m->C_DestroyObject(s, cert));
  EXPECT_EQ(kKey, h.Flags());

  // A PIN whose label does not say it is qualified guards no qualified part.
  ImageText image = h.Pristine(card);
  image.Replace("ef 3F00/5015/4401", testsupport::ToHex(std::string("PIN kwalifikowany"), testsupport::HexCase::Upper),
                testsupport::ToHex(std::string("PIN podpisu 12345"), testsupport::HexCase::Upper));
  h.Insert(card, image);
  EXPECT_EQ(0u, h.Flags());
  h.Insert("pkcs15-model3.card", h.Pristine("pkcs15-model3.card"));
  EXPECT_EQ(0u, h.Flags());
}

TEST(ModuleQualified, CharacteristicsCheckTheirArgumentsSlotAndCard) {
  SimEnv env(Readers{{kR0, "blank-model3.card"}, {"CardSim Reader 1", "pkcs15-model3-two-apps.card"}});
  env.Config("");
  CardSim sim;
  Module m;
  VendorCalls v(m);
  ASSERT_TRUE(m.ok() && v.ok());
  CK_FLAGS flags = 0;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, v.Characteristics(0, &flags, nullptr));
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, v.Characteristics(0, nullptr, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, v.Characteristics(6, &flags, nullptr));
  // A card without PKCS#15 structure has no token to ask; the second token of a card answers for itself.
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, v.Characteristics(0, &flags, nullptr));
  flags = 0xDEAD;
  EXPECT_EQ(CKR_OK, v.Characteristics(4, &flags, nullptr));
  EXPECT_EQ(0u, flags);
  // A slot without token.
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, v.Characteristics(5, &flags, nullptr));
  // A card pulled: the slot has no card.
  ASSERT_EQ(0, sim.Remove("CardSim Reader 1"));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, v.Characteristics(3, &flags, nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleQualified, TerminationEndsTheCardAndItsImageShowsIt) {
  const std::string card = "qualified-model1-visible.card";
  QualifiedHost h(card);
  // The card's termination rule names the application's user PIN, which is made global.
  ImageText image = h.Pristine(card);
  image.Set("df 3F00 ", "ac", "delete-child:pin:01,create-ef:pin:01,create-df:pin:01,terminate:pin:81,delete:never");
  image.Replace("pin 3F00/5015 ref=81", "pin 3F00/5015 ref=81", "pin 3F00 ref=81");
  WriteFile(h.env.Card(card), image.text);
  ASSERT_TRUE(h.Start()) << h.m.error();
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &s));

  // Only a check: no PIN, an empty PIN. Bad lengths are refused before anything is copied.
  EXPECT_EQ(CKR_OK, h.v.Terminate(0, nullptr, 0));
  EXPECT_EQ(CKR_OK, h.v.Terminate(0, nullptr, ~static_cast<CK_ULONG>(0)));
  EXPECT_EQ(CKR_OK, h.v.Terminate(0, kUserPin, 0));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.v.Terminate(0, kUserPin, ~static_cast<CK_ULONG>(0)));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.v.Terminate(0, kUserPin, 4097));
  // Not a PIN the card layer takes: too long for any card, or cut short by a NUL.
  std::vector<CK_UTF8CHAR> longPin(300, '1');
  EXPECT_EQ(CKR_PIN_LEN_RANGE, h.v.Terminate(0, longPin.data(), longPin.size()));
  CK_UTF8CHAR withNul[] = {'1', '2', 0, '4'};
  EXPECT_EQ(CKR_PIN_INVALID, h.v.Terminate(0, withNul, 4));
  CK_UTF8CHAR wrong[] = "9999";
  EXPECT_EQ(CKR_PIN_INCORRECT, h.v.Terminate(0, wrong, 4));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, h.v.Terminate(3, kUserPin, 4));
  EXPECT_EQ(std::string::npos, ReadFile(h.env.Card(card)).find("terminated 1"));
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_OK, h.m->C_GetSessionInfo(s, &si));

  ASSERT_EQ(CKR_OK, h.m->C_Login(s, CKU_USER, kUserPin, 4));
  ASSERT_EQ(CKR_OK, h.v.Terminate(0, kUserPin, 4));
  const std::string after = ReadFile(h.env.Card(card));
  EXPECT_NE(std::string::npos, after.find("\nterminated 1\n"));
  EXPECT_NE(std::string::npos, after.find("\nlifecycle FF\n"));
  // The card answers nothing any more: its token and sessions are gone at once, as when the card comes back.
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, h.m->C_GetSessionInfo(s, &si));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.v.Terminate(0, kUserPin, 4));
  ASSERT_EQ(0, h.sim.Remove(kR0));
  ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card(card).c_str()));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.v.Terminate(0, kUserPin, 4));
  CK_FLAGS flags = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.v.Characteristics(0, &flags, nullptr));
}

TEST(ModuleQualified, OnlyModelOneTokensAreTerminatedAndOnlyInitialisedOnes) {
  QualifiedHost h("qualified-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, h.v.Terminate(0, nullptr, 0));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, h.v.Terminate(0, kUserPin, 4));
  // A model-1 card whose own rule names the officer's PIN: its token may not end it.
  h.Insert("qualified-model1.card", h.Pristine("qualified-model1.card"));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.v.Terminate(0, nullptr, 0));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.v.Terminate(0, kUserPin, 4));
  h.Insert("blank-model1.card", h.Pristine("blank-model1.card"));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.v.Terminate(0, kUserPin, 4));
  EXPECT_EQ(std::string::npos, ReadFile(h.env.Card("qualified-model1.card")).find("terminated 1"));
}

// A change of the qualified PIN ("PIN kwalifikowany", 123456 to itself) leaves it unverified on
// the card: the qualified key signs only after its own PIN entry, on either model.
TEST(ModuleQualified, ChangingTheQualifiedPinOpensNoSignature) {
  for (const char* card : {"qualified-model1-visible.card", "qualified-model3.card"}) {
    SCOPED_TRACE(card);
    QualifiedHost h(card);
    ASSERT_TRUE(h.Start()) << h.m.error();
    const auto list = h.m.fn<decltype(&MIRTAL_PKCS11_GetPinList)>("MIRTAL_PKCS11_GetPinList");
    const auto info = h.m.fn<decltype(&MIRTAL_PKCS11_GetPinInfo)>("MIRTAL_PKCS11_GetPinInfo");
    const auto change = h.m.fn<decltype(&MIRTAL_PKCS11_ChangePin)>("MIRTAL_PKCS11_ChangePin");
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
    ASSERT_EQ(CKR_OK, h.m->C_Login(s, CKU_USER, kUserPin, 4));
    CK_OBJECT_HANDLE pins[8], qualified = 0;
    CK_ULONG n = 8;
    ASSERT_EQ(CKR_OK, list(s, pins, &n));
    for (CK_ULONG i = 0; i < n; ++i) {
      MIRTAL_PIN_INFO pi = {};
      pi.structSize = sizeof pi;
      if (info(s, pins[i], &pi) == CKR_OK && Field(pi.label, 17) == "PIN kwalifikowany") qualified = pins[i];
    }
    ASSERT_NE(0u, qualified);
    CK_UTF8CHAR pin[] = "123456";
    ASSERT_EQ(CKR_OK, change(s, qualified, pin, 6, pin, 6));
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_MIRTAL_QUALIFIED_OBJECT, &yes, 1}};
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(CKR_OK, h.m->C_FindObjectsInit(s, tmpl, 2));
    ASSERT_TRUE(h.m->C_FindObjects(s, &key, 1, &n) == CKR_OK && n == 1);
    ASSERT_EQ(CKR_OK, h.m->C_FindObjectsFinal(s));
    CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE data[32] = {1}, sig[256];
    CK_ULONG len = sizeof sig;
    ASSERT_EQ(CKR_OK, h.m->C_SignInit(s, &mech, key));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.m->C_Sign(s, data, sizeof data, sig, &len));
  }
}
