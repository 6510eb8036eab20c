// The arguments of token initialisation and of the PIN calls through the
// module on simulated cards: lengths no card takes, labels in UTF-8 whatever the
// locale, a wrong SO PIN. Every refused call leaves the card image as it was
// (PIN retry counters aside) and, where the call is refused on its arguments,
// sends nothing to the card.
#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/token_rig.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";
constexpr CK_ULONG kHugeLen = 0xFFFFFFFFul;
constexpr CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;

// A 32-byte PKCS#11 label: the octets given, blank padded.
std::vector<CK_UTF8CHAR> Label32(const std::string& text) {
  std::vector<CK_UTF8CHAR> label(32, ' ');
  std::memcpy(label.data(), text.data(), text.size() < 32 ? text.size() : 32);
  return label;
}

using VendorPinFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                              CK_ULONG);
using VendorInitPinFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                                  CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
using PinListFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);

// The module on simulated readers, with the simulator's command log and the
// card images as the simulator keeps them.
class InitHost {
 public:
  explicit InitHost(const Readers& readers, const std::string& config = "") : env(readers) {
    env.Config("PKCS15Flags = 0x8000600\n" + config);
    if (sim.ok()) sim.LoadConfig(nullptr);
    for (const auto& r : readers) cards.push_back(r.second);
  }
  bool Start() {
    module.reset(new Module());
    return m().ok() && m()->C_Initialize(nullptr) == CKR_OK;
  }
  void Stop() {
    if (module) {
      EXPECT_EQ(CKR_OK, m()->C_Finalize(nullptr));
    }
    module.reset();
  }
  const Module& m() const { return *module; }
  CK_FUNCTION_LIST* f() const { return module->list(); }

  // The image of the card in reader i with the PINs' retry counters left out.
  std::string Image(size_t i) const {
    std::string text = ReadFile(env.Card(cards.at(i)));
    for (size_t at = text.find(" left="); at != std::string::npos; at = text.find(" left=", at)) {
      size_t end = at + 6;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
      text.erase(at, end - at);
    }
    return text;
  }
  std::string Log(const char* reader) const { return sim.ApduLog(reader); }
  void ClearLogs() {
    sim.ClearLog(kR0);
    sim.ClearLog(kR1);
  }
  std::string Label(CK_SLOT_ID slot) const {
    CK_TOKEN_INFO ti;
    std::memset(&ti, 0, sizeof ti);
    const CK_RV rv = m()->C_GetTokenInfo(slot, &ti);
    if (rv != CKR_OK) return "<" + std::to_string(rv) + ">";
    std::string s(reinterpret_cast<const char*>(ti.label), 32);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  CK_SESSION_HANDLE Open(CK_SLOT_ID slot) const {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(CKR_OK, m()->C_OpenSession(slot, kRw, nullptr, nullptr, &h));
    return h;
  }

  SimEnv env;
  CardSim sim;
  std::unique_ptr<Module> module;
  std::vector<std::string> cards;
};

}  // namespace

// C_InitToken with an SO PIN length that no card takes (the crash of a host
// passing 0xFFFFFFFF), on a token and on a blank card, and the other PIN calls
// with such lengths: refused before anything is copied, nothing sent to the card.
TEST(ModuleInitArgs, PinLengthsNoCardTakesAreRefusedBeforeTheCardIsAsked) {
  InitHost h(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "blank-model3.card"}});
  ASSERT_TRUE(h.Start()) << h.m().error();
  const std::vector<CK_UTF8CHAR> label = Label32("Nowy");
  ASSERT_EQ("CardSim Token", h.Label(0));
  const std::string token = h.Image(0), blank = h.Image(1);
  CK_UTF8CHAR so[] = "87654321";
  CK_UTF8CHAR soWithNul[] = {'8', '7', '6', '5', 0, '3', '2', '1'};
  std::vector<CK_UTF8CHAR> longPin(256, '1');
  struct Case {
    CK_SLOT_ID slot;
    CK_UTF8CHAR_PTR pin;
    CK_ULONG len;
  } cases[] = {{0, so, kHugeLen}, {3, so, kHugeLen}, {0, so, 256},  {3, longPin.data(), 256},
               {0, so, ~0ul},     {3, so, ~0ul},     {0, soWithNul, 8}, {3, soWithNul, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE("slot " + std::to_string(c.slot) + ", length " + std::to_string(c.len));
    h.ClearLogs();
    EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_InitToken(c.slot, c.pin, c.len, const_cast<CK_UTF8CHAR_PTR>(label.data())));
    EXPECT_EQ("", h.Log(kR0));
    EXPECT_EQ("", h.Log(kR1));
  }
  EXPECT_EQ(token, h.Image(0));
  EXPECT_EQ(blank, h.Image(1));
  EXPECT_EQ("CardSim Token", h.Label(0));

  // The other PIN calls of a session on the token.
  PinListFn list = h.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList");
  VendorPinFn change = h.m().fn<VendorPinFn>("MIRTAL_PKCS11_ChangePin");
  VendorPinFn unblock = h.m().fn<VendorPinFn>("MIRTAL_PKCS11_UnblockPin");
  VendorInitPinFn initPin = h.m().fn<VendorInitPinFn>("MIRTAL_PKCS11_InitPin");
  ASSERT_TRUE(list && change && unblock && initPin);
  const CK_SESSION_HANDLE s = h.Open(0);
  CK_OBJECT_HANDLE pins[8];
  CK_ULONG n = 8;
  ASSERT_EQ(CKR_OK, list(s, pins, &n));
  ASSERT_GE(n, 1u);
  CK_UTF8CHAR user[] = "1234";
  h.ClearLogs();
  for (CK_ULONG len : {kHugeLen, ~0ul, 4097ul}) {
    SCOPED_TRACE("length " + std::to_string(len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_Login(s, CKU_USER, user, len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_Login(s, CKU_SO, so, len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_SetPIN(s, user, len, user, 4));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_SetPIN(s, user, 4, user, len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, change(s, pins[0], user, len, user, 4));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, change(s, pins[0], user, 4, user, len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, unblock(s, pins[0], user, len, user, 4));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, unblock(s, pins[0], user, 4, user, len));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, initPin(s, pins[0], user, len, user, 4, nullptr, 0));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, initPin(s, pins[0], nullptr, 0, user, len, nullptr, 0));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, initPin(s, pins[0], nullptr, 0, user, 4, user, len));
  }
  // Longer than any card's PIN, yet a text: the PIN calls' own answer.
  EXPECT_EQ(CKR_PIN_LEN_RANGE, h.f()->C_Login(s, CKU_USER, longPin.data(), 256));
  EXPECT_EQ(CKR_PIN_LEN_RANGE, h.f()->C_SetPIN(s, user, 4, longPin.data(), 256));
  EXPECT_EQ("", h.Log(kR0));
  // The SO, logged in, sets no user PIN of such a length either.
  ASSERT_EQ(CKR_OK, h.f()->C_Login(s, CKU_SO, so, 8));
  h.ClearLogs();
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_InitPIN(s, user, kHugeLen));
  EXPECT_EQ(CKR_PIN_LEN_RANGE, h.f()->C_InitPIN(s, longPin.data(), 256));
  EXPECT_EQ("", h.Log(kR0));
  EXPECT_EQ(token, h.Image(0));
  h.Stop();
}

// PKCS#11 labels are UTF-8 whatever the process's locale: a label outside ASCII
// given in the C locale is stored as given, on the card and in what
// C_GetTokenInfo reads back, also after a restart. A label that fills the
// 32 octets with a character of two ends whole.
TEST(ModuleInitArgs, Utf8LabelIsStoredAsGivenWhateverTheLocale) {
  ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C"));
  const std::string zazolc = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87";  // "Zażółć"
  const std::string full = std::string(30, 'a') + "\xC5\xBC";      // 32 octets
  struct Case {
    const char* image;
    const char* so;
    std::string label;
  } cases[] = {{"blank-model3.card", "87654321", zazolc},
               {"blank-model1.card", "87654321", zazolc},
               {"blank-model4.card", "11223344", zazolc},
               {"blank-model3.card", "87654321", full}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " " + c.label);
    InitHost h(Readers{{kR0, c.image}});
    ASSERT_TRUE(h.Start()) << h.m().error();
    std::vector<CK_UTF8CHAR> label = Label32(c.label);
    CK_UTF8CHAR_PTR so = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(c.so));
    ASSERT_EQ(CKR_OK, h.f()->C_InitToken(0, so, std::strlen(c.so), label.data()));
    EXPECT_EQ(c.label, h.Label(0));
    h.Stop();
    ASSERT_TRUE(h.Start());
    EXPECT_EQ(c.label, h.Label(0));
    h.Stop();
  }
}

// A label that is not UTF-8 is refused with CKR_ARGUMENTS_BAD before anything is
// sent, on a token and on a blank card, never as an internal error.
TEST(ModuleInitArgs, LabelThatIsNotUtf8IsRefusedBeforeTheCardIsAsked) {
  ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C"));
  InitHost h(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "blank-model3.card"}});
  ASSERT_TRUE(h.Start()) << h.m().error();
  const std::string token = h.Image(0), blank = h.Image(1);
  CK_UTF8CHAR so[] = "87654321";
  const std::string labels[] = {
      std::string("Za\xC5", 3),                   // cut short, blanks after it
      std::string(31, 'a') + "\xC5",              // cut short by the field's end
      "\x80",                                     // a continuation octet alone
      "\xC0\xAF",                                 // overlong
      "\xED\xA0\x80",                             // a surrogate
      "Zaz\xF3\xB3\xE6",                          // Windows-1250, not UTF-8
      "\xFF"};
  for (const std::string& text : labels) {
    for (CK_SLOT_ID slot : {0ul, 3ul}) {
      SCOPED_TRACE(testing::PrintToString(text) + " slot " + std::to_string(slot));
      std::vector<CK_UTF8CHAR> label = Label32(text);
      h.ClearLogs();
      EXPECT_EQ(CKR_ARGUMENTS_BAD, h.f()->C_InitToken(slot, so, 8, label.data()));
      EXPECT_EQ("", h.Log(kR0));
      EXPECT_EQ("", h.Log(kR1));
    }
  }
  EXPECT_EQ(token, h.Image(0));
  EXPECT_EQ(blank, h.Image(1));
  EXPECT_EQ("CardSim Token", h.Label(0));
  h.Stop();
}

// C_InitToken with a wrong SO PIN on the blank model-3 card, whose SO PIN the
// card holds already, changes nothing on the card (no EF.DIR left behind): the
// PIN is verified before the first write.
TEST(ModuleInitArgs, WrongSoPinOnABlankCardChangesNothing) {
  {
    InitHost h(Readers{{kR0, "blank-model3.card"}});
    ASSERT_TRUE(h.Start()) << h.m().error();
    const std::string before = h.Image(0);
    std::vector<CK_UTF8CHAR> label = Label32("Podpis");
    CK_UTF8CHAR wrong[] = "11111111";
    h.ClearLogs();
    EXPECT_EQ(CKR_PIN_INCORRECT, h.f()->C_InitToken(0, wrong, 8, label.data()));
    EXPECT_EQ(before, h.Image(0)) << h.Log(kR0);
    EXPECT_EQ("MIRTAL", h.Label(0));
    // The right one initialises the card.
    CK_UTF8CHAR so[] = "87654321";
    EXPECT_EQ(CKR_OK, h.f()->C_InitToken(0, so, 8, label.data()));
    EXPECT_EQ("Podpis", h.Label(0));
    h.Stop();
  }
}

// A wrong SO PIN changes nothing on a card that holds a token either: C_InitToken
// on the token, the vendor InitPin with a wrong authorising PIN, and
// InitializeCard whose profile names a wrong SO PIN for a card made from a profile.
TEST(ModuleInitArgs, WrongSoPinOnATokenChangesNothing) {
  CK_UTF8CHAR wrong[] = "11111111";
  {
    SCOPED_TRACE("C_InitToken and the vendor InitPin on the shipped token");
    InitHost h(Readers{{kR0, "pkcs15-model3.card"}});
    ASSERT_TRUE(h.Start()) << h.m().error();
    const std::string before = h.Image(0);
    std::vector<CK_UTF8CHAR> label = Label32("Podpis");
    EXPECT_EQ(CKR_PIN_INCORRECT, h.f()->C_InitToken(0, wrong, 8, label.data()));
    EXPECT_EQ(before, h.Image(0));
    EXPECT_EQ("CardSim Token", h.Label(0));
    PinListFn list = h.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList");
    VendorInitPinFn initPin = h.m().fn<VendorInitPinFn>("MIRTAL_PKCS11_InitPin");
    ASSERT_TRUE(list && initPin);
    const CK_SESSION_HANDLE s = h.Open(0);
    CK_OBJECT_HANDLE pins[8];
    CK_ULONG n = 8;
    ASSERT_EQ(CKR_OK, list(s, pins, &n));
    CK_UTF8CHAR user[] = "5555";
    EXPECT_EQ(CKR_PIN_INCORRECT, initPin(s, pins[0], wrong, 8, user, 4, nullptr, 0));
    EXPECT_EQ(before, h.Image(0));
    CK_UTF8CHAR old[] = "1234";
    EXPECT_EQ(CKR_OK, h.f()->C_Login(s, CKU_USER, old, 4));
    h.Stop();
  }
  {
    SCOPED_TRACE("InitializeCard");
    InitHost h(Readers{{kR0, "blank-model4.card"}});
    const std::string profile = h.env.Path("profile.ini");
    WriteFile(profile, "SoPin = 11223344\n[Podpis]\nUserPin = 1111\n");
    ASSERT_TRUE(h.Start()) << h.m().error();
    const auto init = h.m().fn<int (*)(const char*, const char*)>("InitializeCard");
    ASSERT_NE(nullptr, init);
    ASSERT_EQ(1, init(kR0, profile.c_str()));
    ASSERT_EQ("Podpis", h.Label(0));
    const std::string before = h.Image(0);
    WriteFile(profile, "SoPin = 99999999\n[Nowy]\nUserPin = 2222\n");
    EXPECT_EQ(0, init(kR0, profile.c_str()));
    EXPECT_EQ(before, h.Image(0));
    EXPECT_EQ("Podpis", h.Label(0));
    h.Stop();
  }
  // Another program holds the SO's login on the card (the card's security state is shared by every program):
  // a wrong SO PIN to C_InitToken, or InitializeCard whose profile gives a wrong SoPin, still changes nothing.
  for (const char* image : {"blank-model1.card", "blank-model4.card", "blank-model7.card", "blank-model4.card"}) {
    SCOPED_TRACE(image);
    static int row = 0;
    tokenrig::Rig r(image);
    ASSERT_NE(0u, r.MakeToken(r.Image()));
    ASSERT_EQ(CKR_OK, r.m->C_CloseAllSessions(0));
    CK_SESSION_HANDLE so = 0;
    ASSERT_EQ(CKR_OK, r.m->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &so));
    ASSERT_EQ(CKR_OK, r.m->C_Login(so, CKU_SO, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(tokenrig::kRigSoPin)), 8));
    ASSERT_TRUE(r.StartOther());
    const std::string before = r.Image();
    std::vector<CK_UTF8CHAR> label = Label32("EVIL");
    if (++row < 4) {
      EXPECT_EQ(CKR_PIN_INCORRECT, (*r.other)->C_InitToken(0, wrong, 8, label.data()));
    } else {
      const std::string profile = r.env.Path("profile.ini");
      WriteFile(profile, "SoPin = 99999999\n[Nowy]\nUserPin = 2222\n");
      EXPECT_EQ(0, r.other->fn<int (*)(const char*, const char*)>("InitializeCard")(kR0, profile.c_str()));
    }
    EXPECT_EQ(cardimage::Comparable(before), cardimage::Comparable(r.Image()));
  }
  // The model-3 cards, whose SO PIN is set: the shipped token and the blank card.
  for (const char* image : {"pkcs15-model3.card", "blank-model3.card"}) {
    SCOPED_TRACE(std::string("InitializeCard on ") + image);
    InitHost h(Readers{{kR0, image}});
    const std::string profile = h.env.Path("profile.ini");
    WriteFile(profile, "SoPin = 99999999\n[Nowy]\nUserPin = 2222\n");
    ASSERT_TRUE(h.Start()) << h.m().error();
    const auto init = h.m().fn<int (*)(const char*, const char*)>("InitializeCard");
    ASSERT_NE(nullptr, init);
    const std::string before = h.Image(0), label = h.Label(0);
    EXPECT_EQ(0, init(kR0, profile.c_str()));
    EXPECT_EQ(before, h.Image(0));
    EXPECT_EQ(label, h.Label(0));
    h.Stop();
  }
}

// The security officer sets the user PIN of the shipped model-3 tokens, shaped as
// the module makes such tokens (the SO PIN guards the user PIN); on the token
// whose user PIN only its PUK unblocks and whose SO PIN has stored length 8 the
// card cannot reset the PIN for the SO: CKR_DEVICE_ERROR, the card as it was, and
// the old PIN still logs in.
TEST(ModuleInitArgs, OfficerSetsTheUserPinOfTheShippedTokens) {
  struct Case {
    const char* image;
    CK_SLOT_ID slot;
    CK_RV expected;
  } cases[] = {{"pkcs15-model3.card", 0, CKR_OK},
               {"pkcs15-model3-two-apps.card", 0, CKR_OK},
               {"pkcs15-model3-two-apps.card", 1, CKR_OK},
               {"pkcs15-many-objects.card", 0, CKR_OK},
               {"pkcs15-model3-puk.card", 0, CKR_DEVICE_ERROR}};
  CK_UTF8CHAR so[] = "87654321";
  CK_UTF8CHAR old[] = "1234";
  CK_UTF8CHAR fresh[] = "5555";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " slot " + std::to_string(c.slot));
    InitHost h(Readers{{kR0, c.image}});
    ASSERT_TRUE(h.Start()) << h.m().error();
    const std::string before = h.Image(0);
    CK_SESSION_HANDLE s = h.Open(c.slot);
    ASSERT_EQ(CKR_OK, h.f()->C_Login(s, CKU_SO, so, 8));
    EXPECT_EQ(c.expected, h.f()->C_InitPIN(s, fresh, 4));
    ASSERT_EQ(CKR_OK, h.f()->C_CloseAllSessions(c.slot));
    if (c.expected != CKR_OK) {
      EXPECT_EQ(before, h.Image(0));
    }
    h.Stop();
    // A new process: the PIN the card holds now.
    ASSERT_TRUE(h.Start());
    s = h.Open(c.slot);
    const bool set = c.expected == CKR_OK;
    EXPECT_EQ(set ? CKR_PIN_INCORRECT : CKR_OK, h.f()->C_Login(s, CKU_USER, old, 4));
    (void)h.f()->C_Logout(s);
    EXPECT_EQ(set ? CKR_OK : CKR_PIN_INCORRECT, h.f()->C_Login(s, CKU_USER, fresh, 4));
    h.Stop();
  }
}

// A profile's labels are UTF-8 too: InitializeCard in the C locale gives the
// token the UTF-8 label of its profile, and refuses a profile whose label or
// identifier is not UTF-8 (Windows-1250 text) with its message, the card as it was.
TEST(ModuleInitArgs, ProfileLabelsAreUtf8WhateverTheLocale) {
  ASSERT_NE(nullptr, std::setlocale(LC_ALL, "C"));
  struct Case {
    const char* profile;
    const char* label;     // read back; null: refused
    const char* message;   // the last error text of a refusal
  } cases[] = {
      {"SoPin = 11223344\n[Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87]\nUserPin = 1111\n", "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87",
       nullptr},
      {"SoPin = 11223344\n[Podpis]\nTokenLabel = Zaz\xF3\xB3\xE6\n", nullptr,
       "Invalid text (not UTF-8) in option: TokenLabel, on token"},
      {"SoPin = 11223344\nTokenHolderId = \xB3\n[Podpis]\n", nullptr,
       "Invalid text (not UTF-8) in option: TokenHolderId, on tokenPodpis (number 1)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    InitHost h(Readers{{kR0, "blank-model4.card"}});
    const std::string profile = h.env.Path("profile.ini");
    WriteFile(profile, c.profile);
    ASSERT_TRUE(h.Start()) << h.m().error();
    const auto init = h.m().fn<int (*)(const char*, const char*)>("InitializeCard");
    const auto last = h.m().fn<int (*)(char*, unsigned long*)>("GetLastErrorString");
    ASSERT_TRUE(init && last);
    const std::string before = h.Image(0);
    const int ok = init(kR0, profile.c_str());
    char text[2048] = "";
    unsigned long len = sizeof text;
    (void)last(text, &len);
    if (c.label != nullptr) {
      EXPECT_EQ(1, ok) << text;
      EXPECT_EQ(c.label, h.Label(0));
    } else {
      EXPECT_EQ(0, ok);
      EXPECT_EQ(0u, std::string(text).find(c.message)) << text;
      EXPECT_EQ(before, h.Image(0));
      EXPECT_EQ("MIRTAL", h.Label(0));
    }
    h.Stop();
  }
}
