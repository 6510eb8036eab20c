// Card initialisation through the module: InitializeCard with a profile file on
// simulated cards, the PIN output file it writes, and C_InitToken.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tools/cardsim/cardsim.h"
#include "tools/cardsim/engine.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";

using InitializeCardFn = int (*)(const char*, const char*);
using PinListFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);
using UnblockFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
using InitPinFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG,
                            CK_UTF8CHAR_PTR, CK_ULONG);
using LastErrorFn = int (*)(char*, unsigned long*);

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string Trimmed(const CK_UTF8CHAR* field, size_t n) {
  std::string s(reinterpret_cast<const char*>(field), n);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// The simulator's status injection and APDU log (the instance the module loaded).
struct SimControl {
  int (*inject)(const char*, unsigned, unsigned, int) = nullptr;
  size_t (*getLog)(const char*, char*, size_t) = nullptr;
  int (*clearLog)(const char*) = nullptr;
  explicit SimControl(void* handle) {
    inject = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int)>(dlsym(handle, "CardSimInjectSw"));
    getLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(handle, "CardSimGetApduLog"));
    clearLog = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimClearLog"));
  }
  bool ok() const { return inject && getLog && clearLog; }
  std::string Log(const char* reader) const {
    const size_t n = getLog(reader, nullptr, 0);
    std::string s(n, '\0');
    getLog(reader, &s[0], n);
    return s;
  }
};

// A module started on simulated readers with a profile file written beside it.
class CardInit {
 public:
  CardInit(const Readers& readers, const std::string& config, const std::string& planted = "") : env(readers) {
    env.Config("PKCS15Flags = 0x8000600\n" + config);
    // Lines someone with no PIN added to the first card's image before it goes in.
    if (!planted.empty()) WriteFile(env.Card(readers[0].second), ImageText(readers[0].second) + planted);
    // The simulator stays loaded between scenarios: it takes this scenario's readers.
    if (sim.ok()) sim.LoadConfig(nullptr);
    out = env.Path("pins.txt");
    profile = env.Path("profile.ini");
  }
  // Loads the module: it reads its configuration when it is loaded.
  bool Start() {
    module.reset(new Module());
    if (!m().ok() || m()->C_Initialize(nullptr) != CKR_OK) return false;
    init = m().fn<InitializeCardFn>("InitializeCard");
    last = m().fn<LastErrorFn>("GetLastErrorString");
    return init != nullptr && last != nullptr;
  }
  void Profile(const std::string& text) { WriteFile(profile, text); }
  // An initialisation that went through leaves nothing open to anyone (cardimage::OpenToAnyone).
  int Initialize(const char* reader) {
    const int ok = init(reader, profile.c_str());
    EXPECT_EQ("", ok == 1 ? cardimage::OpenToAnyone(ImageText(card)) : "") << "after InitializeCard";
    return ok;
  }
  std::string LastError() {
    char buf[4096];
    unsigned long len = sizeof buf;
    return last(buf, &len) == 1 ? std::string(buf) : std::string("<none>");
  }
  std::string Label(CK_SLOT_ID slot) {
    CK_TOKEN_INFO ti;
    std::memset(&ti, 0, sizeof ti);
    const CK_RV rv = m()->C_GetTokenInfo(slot, &ti);
    if (rv != CKR_OK) return "<" + std::to_string(rv) + ">";
    return Trimmed(ti.label, 32);
  }
  CK_TOKEN_INFO Info(CK_SLOT_ID slot) {
    CK_TOKEN_INFO ti;
    std::memset(&ti, 0, sizeof ti);
    EXPECT_EQ(CKR_OK, m()->C_GetTokenInfo(slot, &ti));
    return ti;
  }
  std::string Serial() const {
    std::ifstream in(env.Card(card));
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("serial ", 0) == 0) return line.substr(7);
    return "";
  }
  std::string ImageText(const std::string& name) const { return ReadFile(env.Card(name)); }

  const Module& m() const { return *module; }

  SimEnv env;
  CardSim sim;
  std::unique_ptr<Module> module;
  std::string out, profile, card = "blank-model4.card";
  InitializeCardFn init = nullptr;
  LastErrorFn last = nullptr;
};

// Someone else's commands (hex, blank-separated) sent with no PIN to a card of this image: none but selections
// and creations goes through.
void NoneCarriedOut(const std::string& image, const std::string& apdus) {
  std::string error;
  const std::unique_ptr<cardsim::Card> card = cardsim::Card::Parse(image, &error);
  ASSERT_TRUE(card) << error;
  std::istringstream in(apdus);
  for (std::string hex; in >> hex;) {
    const testsupport::Bytes a = testsupport::FromHex(hex), r = card->Transmit(a, false);
    EXPECT_TRUE(a[1] == 0xA4 || a[1] == 0xE0 || cardimage::Hex(&r[r.size() - 2], 2) != "9000") << hex;
  }
}

// The image after the card carried out `apdus` (hex, blank-separated), each answered 9000.
std::string CarriedOut(const std::string& image, const std::string& apdus) {
  std::string error;
  const std::unique_ptr<cardsim::Card> card = cardsim::Card::Parse(image, &error);
  std::istringstream in(apdus);
  for (std::string hex; card && in >> hex;) {
    const testsupport::Bytes r = card->Transmit(testsupport::FromHex(hex), false);
    EXPECT_EQ("9000", cardimage::Hex(&r[r.size() - 2], 2)) << hex;
  }
  return card ? card->Serialise() : error;
}

// "Token: L, SerialNumber: S, SoPin: P, SoPuk: P, UserPin: P, UserPuk: P" with the PINs' shapes.
std::string TokenLinePattern(const std::string& label, const std::string& serial, const char* soPin,
                             const char* soPuk, const char* userPin, const char* userPuk) {
  return "Token: " + label + ", SerialNumber: " + serial + ", SoPin: " + soPin + ", SoPuk: " + soPuk +
         ", UserPin: " + userPin + ", UserPuk: " + userPuk;
}

std::string Field(const std::string& line, const std::string& name) {
  const std::string key = name + ": ";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "";
  const size_t end = line.find(',', at);
  return line.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A generated PIN: exactly `length` characters, each of the expected kind.
bool AllOf(const std::string& text, size_t length, bool (*kind)(char)) {
  if (text.size() != length) return false;
  for (char c : text)
    if (!kind(c)) return false;
  return true;
}

}  // namespace

// Every profile name the configuration accepts, each with a profile file of its
// kind, on a blank model-4 card: the tokens, their labels and PIN limits, and
// the PIN output file line by line.
TEST(ModuleCardInit, AcceptedProfileNamesInitialiseABlankModel4Card) {
  struct Case {
    const char* name;
    const char* profile;
    std::vector<std::string> labels;
  } cases[] = {
      {"<default>", "[Podpis]\nUserPin = 1111\n", {"Podpis"}},
      {"default", "TokenLabel = Karta\n[Podpis]\n", {"Karta"}},
      {"normal", "UserPinMinLen = 6\n[Podpis]\n", {"Podpis"}},
      {"standard", "[Podpis]\nUserPuk = <none>\n", {"Podpis"}},
      {"rokvast", "TokenProfile = rokvast\n[Rokvast]\nUserPinMaxLen = 12\n", {"Rokvast"}},
      {"3tokens", "[Podpis]\n[Szyfrowanie]\n[Logowanie]\nTokenLabel = Podpis\n",
       {"Podpis", "Szyfrowanie", "Podpis 2"}},
      {"custom", "[Alfa]\nUserPin = <random>\nRandomUserPinChars = <alpha>\n", {"Alfa"}},
      {"default", "[Podpis]\n[Szyfrowanie]\nUserPuk = <none>\n", {"Podpis", "Szyfrowanie"}},
  };
  for (const Case& c : cases) [&] {  // each row reports on its own
    SCOPED_TRACE(c.name);
    CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
    setenv("MIRTAL_PKCS11_INIT_PROFILE", c.name, 1);
    t.Profile("OutputPinFile = " + t.out + "\n" + c.profile);
    ASSERT_TRUE(t.Start());
    EXPECT_EQ("MIRTAL", t.Label(0));
    ASSERT_EQ(1, t.Initialize(kR0)) << t.LastError();
    for (size_t i = 0; i < c.labels.size(); ++i) {
      EXPECT_EQ(c.labels[i], t.Label(i));
      const CK_TOKEN_INFO ti = t.Info(i);
      EXPECT_EQ(4u, ti.ulMinPinLen);
      EXPECT_EQ(16u, ti.ulMaxPinLen);
      EXPECT_EQ(CKF_TOKEN_INITIALIZED, ti.flags & CKF_TOKEN_INITIALIZED);
      EXPECT_EQ(CKF_USER_PIN_INITIALIZED, ti.flags & CKF_USER_PIN_INITIALIZED);
    }
    const std::vector<std::string> lines = Lines(ReadFile(t.out));
    ASSERT_EQ(c.labels.size(), lines.size()) << ReadFile(t.out);
    struct stat st;
    ASSERT_EQ(0, stat(t.out.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    const std::string serial = t.Serial(), image = t.ImageText(t.card);
    EXPECT_EQ("", cardimage::OpenToAnyone(image));
    const auto onCard = [&image](unsigned ref) {  // the value of the master file's PIN, which the file names
      const size_t at = image.find(Fmt("\npin 3F00 ref=%02X ", ref));
      const testsupport::Bytes v = testsupport::FromHex(at == std::string::npos ? "" : cardimage::ValueOf(image.substr(at + 1), "value"));
      return v.empty() ? std::string("<none>") : std::string(v.begin(), v.end());
    };
    std::string soPin, soPuk;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      const unsigned user = 2 * static_cast<unsigned>(i) + 2;  // the token's user PIN, its PUK 16 further
      if (i == 0) soPin = Field(line, "SoPin");
      soPuk = Field(line, "SoPuk");
      EXPECT_TRUE(AllOf(soPin, 4, IsDigit)) << line;
      EXPECT_TRUE(AllOf(soPuk, 4, IsDigit)) << line;
      std::string userPin = Field(line, "UserPin"), userPuk = Field(line, "UserPuk");
      const std::string name = c.name;
      if (name == "<default>") EXPECT_EQ("1111", userPin);
      else if (name == "normal") EXPECT_TRUE(AllOf(userPin, 6, IsDigit)) << line;
      else if (name == "custom") EXPECT_TRUE(AllOf(userPin, 4, IsLetter)) << line;
      else EXPECT_TRUE(AllOf(userPin, 4, IsDigit)) << line;
      if (name == "standard" || onCard(user + 16) == "<none>") EXPECT_EQ("<none>", userPuk);
      else EXPECT_TRUE(AllOf(userPuk, 4, IsDigit)) << line;
      // One SO PIN and one SO PUK for the card on every line: each PIN as the card holds it.
      EXPECT_EQ(TokenLinePattern(c.labels[i], serial, onCard(0x01).c_str(), onCard(0x11).c_str(), onCard(user).c_str(),
                                 onCard(user + 16).c_str()),
                line);
    }
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }();
}

namespace {

enum class Road { kInitToken, kInitializeCard };

// How the initialisation meets what was planted.
struct Over {
  Road road = Road::kInitToken;
  bool again = false;          // planted after a first C_InitToken and C_InitPIN, not on the blank card
  bool refused = false;        // the SO cannot take away what was planted: the call ends before it changes anything
  unsigned ins = 0, sw = 0;    // the card answers sw once, to the first command ins: that call fails, the next one goes
  std::string holder = "";     // a first holder's commands with PIN 1111, before the SO sets the user PIN anew
  std::string on = "";         // the command sw answers: the first that begins with these octets (hex), instead of ins
  bool early = false;          // sw answers a command of the module's first reading of the card
  int skip = 0;                // so many such commands answered first as the card answers them
  bool either = false;         // the call with sw may go through too, the answer taken only for what it says
  bool plantsGo = false;       // refused, having taken away what was planted, and made nothing open to anyone
  bool corrupt = false;        // instead of sw, the last data octet of that command's answer inverted
  std::string unsent = "";     // no command the card is sent begins with any of these octets (hex, blank-separated)
  int times = 1;               // so many such commands in a row answered so
  std::string opened = "";     // this file of the token put back in its creation state before the SO's C_InitPIN,
                               // which then fails and changes nothing
  std::string record = "";     // with again: an application record (hex) EF.DIR holds after the token's
  std::string kept = "";       // each of these lines is part of a line of the image after the call, octet for octet
  std::string left = "";       // what the planter's PIN the call may not touch leaves open to anyone (OpenToAnyone)
  int calls = 1;               // with refused: so many calls in a row, each refused
  std::string tokens = "";     // InitializeCard: the profile's sections after the first token's
  int repeat = 0;              // after the call went through, so many more, each going through
  bool underAnother = false;   // then the user PIN is set under another PIN on every road (SetUnderAnotherPin)
};

// On a token whose user PIN the SO set to 5678, each road that sets it under another PIN gives it the value typed,
// and only that logs in: unblocking with the SO PIN (model 3), C_InitPIN after the SO PIN became six digits (its
// C_SetPIN refused nothing for its length, reset nothing), the vendor InitPin given the SO PIN, and on model 3 with
// its SO PIN at 16 octets an unblocking with an SO PIN of 12 characters. Without the SO, or with a wrong SO PIN to
// unblock it, the user PIN keeps its value and tries; one of 9 to 16 characters, which an SO PIN held at 8 octets
// cannot be, is refused for its length with no SO try spent.
void SetUnderAnotherPin(CardInit& t, const char* image, const std::string& so) {
  const auto u8 = [](const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); };
  const CK_FUNCTION_LIST* f = t.m().list();
  const bool model3 = std::string(image).rfind("blank-model3", 0) == 0;
  const bool so16 = std::string(image) == "blank-model3-so-pin-16.card";
  const auto unblock = t.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
  const auto initPin = t.m().fn<InitPinFn>("MIRTAL_PKCS11_InitPin");
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE pins[4];
  CK_ULONG n = 4;
  (void)f->C_CloseAllSessions(0);
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, t.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(s, pins, &n));
  const auto logsIn = [&](const char* now, const char* was) {
    EXPECT_EQ(CKR_PIN_INCORRECT, f->C_Login(s, CKU_USER, u8(was), std::strlen(was))) << was;
    EXPECT_EQ(CKR_OK, f->C_Login(s, CKU_USER, u8(now), std::strlen(now))) << now;
    EXPECT_EQ(CKR_OK, f->C_Logout(s));
  };
  const auto userPin = [&](const char* value = "35363738") {  // the image's line of the user PIN (5678), its tries
    const std::string x = t.ImageText(image);
    const size_t at = x.rfind('\n', x.find(std::string(" value=") + value));
    return x.substr(at, x.find('\n', at + 1) - at);
  };
  const auto soTries = [&] {  // the tries left of the card's SO PIN
    const std::string x = t.ImageText(image);
    return cardimage::ValueOf(x.substr(x.find("\npin 3F00 ref=04 ") + 1), "left");
  };
  ASSERT_EQ(CKR_PIN_INCORRECT, f->C_Login(s, CKU_USER, u8("9999"), 4));
  const std::string before = userPin();
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, initPin(s, pins[0], nullptr, 0, u8("2468"), 4, nullptr, 0));
  ASSERT_EQ(0, t.sim.ClearLog(kR0));
  EXPECT_EQ(model3 ? CKR_PIN_INCORRECT : CKR_DEVICE_ERROR, unblock(s, pins[0], u8("12344321"), 8, u8("2468"), 4));
  EXPECT_EQ(before, userPin());
  // On model 3 a PUK refused for its length was compared with nothing: no other program's PIN is reset for it.
  if (model3) {
    EXPECT_EQ(std::string::npos, t.sim.ApduLog(kR0).find("# reset")) << t.sim.ApduLog(kR0);
    EXPECT_EQ(CKR_OK, unblock(s, pins[0], u8(so.c_str()), so.size(), u8("2468"), 4));
    logsIn("2468", "5678");
    for (const char* wrong : {"876543219", "8765432100000000"}) {  // a good SO login after each: it never blocks
      const std::string user = userPin("32343638"), tries = soTries();
      EXPECT_EQ(so16 ? CKR_PIN_INCORRECT : CKR_PIN_LEN_RANGE,
                unblock(s, pins[0], u8(wrong), std::strlen(wrong), u8("5555"), 4));
      EXPECT_EQ(user, userPin("32343638")) << wrong;
      EXPECT_EQ(so16 ? std::to_string(std::stoi(tries) - 1) : tries, soTries()) << wrong;
      ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, u8(so.c_str()), so.size()));
      EXPECT_EQ(CKR_OK, f->C_Logout(s));
    }
  }
  ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, u8(so.c_str()), so.size()));
  ASSERT_EQ(0, t.sim.ClearLog(kR0));
  EXPECT_EQ(CKR_OK, f->C_SetPIN(s, u8(so.c_str()), so.size(), u8("654321"), 6));
  const std::string log = t.sim.ApduLog(kR0);
  EXPECT_TRUE(log.find("< 6700") == std::string::npos && log.find("# reset") == std::string::npos) << log;
  EXPECT_EQ(CKR_OK, f->C_InitPIN(s, u8("1357"), 4));
  EXPECT_EQ(CKR_OK, f->C_Logout(s));
  logsIn("1357", model3 ? "2468" : "5678");
  EXPECT_EQ(CKR_OK, initPin(s, pins[0], u8("654321"), 6, u8("8642"), 4, nullptr, 0));
  logsIn("8642", "1357");
  EXPECT_EQ(model3 ? CKR_OK : CKR_DEVICE_ERROR, unblock(s, pins[0], u8("654321"), 6, u8("5678"), 4));
  if (model3) logsIn("5678", "8642");
  if (so16) {
    ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, u8("654321"), 6));
    EXPECT_EQ(CKR_OK, f->C_SetPIN(s, u8("654321"), 6, u8("210987654321"), 12));
    EXPECT_EQ(CKR_OK, f->C_Logout(s));
    EXPECT_EQ(CKR_OK, unblock(s, pins[0], u8("210987654321"), 12, u8("4321"), 4));
    logsIn("4321", "5678");
  }
}

// One initialisation on a card of `image` to which someone with no PIN added `planted`: it goes through, the SO
// sets the user PIN (InitializeCard sets its own), the user logs in, nothing is open to anyone and none of the
// planter's commands `attack` is carried out; or it is `refused` and the card is as it was (retry counters aside).
void InitialiseOver(const char* image, const std::string& planted, const std::string& attack, const Over& over = {}) {
  SCOPED_TRACE(std::string(image) + (over.road == Road::kInitializeCard ? ", InitializeCard" : "") + "\n" + planted);
  CardInit t(Readers{{kR0, image}}, "", over.again ? "" : planted);
  if (over.early) {
    ASSERT_EQ(0, t.sim.InjectSwOn(kR0, over.on.c_str(), over.sw, over.skip, 1));
  }
  ASSERT_TRUE(t.Start());
  const CK_FUNCTION_LIST* f = t.m().list();
  // A blank model-1 or model-3 card already carries its SO PIN; model 4 takes the one given here.
  const std::string so = std::string(image) == "blank-model4.card" ? "11223344" : "87654321";
  CK_UTF8CHAR_PTR soPin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(so.c_str()));
  CK_UTF8CHAR label[32], user[] = "5678";
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Podpis", 6);
  CK_SESSION_HANDLE h = 0;
  const auto initPin = [&] {
    EXPECT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
    EXPECT_EQ(CKR_OK, f->C_Login(h, CKU_SO, soPin, so.size()));
    EXPECT_EQ(CKR_OK, f->C_InitPIN(h, user, 4));
    (void)f->C_CloseAllSessions(0);
  };
  if (over.again) {
    ASSERT_EQ(CKR_OK, f->C_InitToken(0, soPin, so.size(), label));
    initPin();
    ASSERT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
    // Out of the simulator's reader while the image is written.
    ASSERT_EQ(0, t.sim.Remove(kR0));
    std::string text = t.ImageText(image);
    if (!over.record.empty()) {
      const size_t at = text.find("\nef 3F00/2F00 ") + 1, end = text.find('\n', at);
      std::string line = text.substr(at, end - at), data = cardimage::ValueOf(line, "data");
      while (data.size() >= 2 && (data.substr(data.size() - 2) == "00" || data.substr(data.size() - 2) == "FF"))
        data.resize(data.size() - 2);
      data += over.record;
      const size_t size = line.find(" size=") + 6;
      line.replace(size, line.find(' ', size) - size, std::to_string(data.size() / 2));
      text.replace(at, end - at, line.replace(line.find(" data=") + 6, std::string::npos, data));
    }
    WriteFile(t.env.Card(image), text + planted);
    ASSERT_EQ(0, t.sim.Insert(kR0, t.env.Card(image).c_str()));
    ASSERT_TRUE(t.Start());
  }
  const std::string before = t.ImageText(image);
  const auto call = [&] {
    if (over.road != Road::kInitializeCard) return f->C_InitToken(0, soPin, so.size(), label);
    t.Profile("OutputPinFile = " + t.out + "\nSoPin = " + so + "\n[Podpis]\nUserPin = 5678\n" + over.tokens);
    return t.Initialize(kR0) == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
  };
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_InitToken(0, nullptr, 0, label));
  // Model 4 keeps no SO PIN: one given too short or too long for the SO PIN the call makes writes nothing.
  for (const char* odd : {"123", "12345678901234567"}) {
    if (!over.underAnother || so != "11223344") break;
    ASSERT_EQ(0, t.sim.ClearLog(kR0));
    EXPECT_EQ(CKR_FUNCTION_FAILED, f->C_InitToken(0, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(odd)), std::strlen(odd), label));
    std::istringstream log(t.sim.ApduLog(kR0));
    for (std::string l; std::getline(log, l);)
      EXPECT_TRUE(l.rfind("> ", 0) != 0 || std::string(" A4 B0 CA ").find(" " + l.substr(4, 2) + " ") != std::string::npos ||
                  (l.substr(4, 2) == "20" && l.size() == 10)) << l;  // reads, and PIN states asked
  }
  CK_RV rv = CKR_FUNCTION_FAILED;
  if ((over.sw != 0 || over.corrupt) && !over.early) {
    ASSERT_EQ(0, over.corrupt      ? t.sim.CorruptDataOn(kR0, over.on.c_str(), over.skip, over.times)
                 : over.on.empty() ? t.sim.InjectSwAfter(kR0, over.ins, over.sw, 0, over.times)
                                   : t.sim.InjectSwOn(kR0, over.on.c_str(), over.sw, over.skip, over.times));
    rv = call();
    // A call that fails lets no one in who could not come in before; one to a command named by its octets may
    // also go through, the answer taken only for what it says.
    EXPECT_EQ("", rv != CKR_OK ? cardimage::NewlyOpen(before, t.ImageText(image)) : "");
    EXPECT_TRUE(rv != CKR_OK || over.either) << t.sim.ApduLog(kR0);
  }
  if (rv != CKR_OK) rv = call();
  for (int n = 1; n < over.calls && rv != CKR_OK; ++n) rv = call();
  for (int n = 0; n < over.repeat && rv == CKR_OK; ++n) rv = call();
  std::istringstream unsent(over.unsent), kept(over.kept);
  for (std::string apdu; unsent >> apdu;) EXPECT_EQ(std::string::npos, t.sim.ApduLog(kR0).find("> " + apdu)) << apdu;
  for (std::string line; std::getline(kept, line);) EXPECT_NE(std::string::npos, t.ImageText(image).find(line)) << line;
  if (over.refused) {
    EXPECT_NE(CKR_OK, rv);
    // Whatever reading the card left as the message, the text says the card refused, names what the card was
    // refused as it is for, or says the SO PIN was wrong (where no fault of the card's came first).
    if (over.road == Road::kInitializeCard && over.sw == 0 && !over.corrupt) {
      const std::string text = t.LastError();
      EXPECT_TRUE(text == "Brak dost\xea" "pu - warunki dost\xea" "pu nie zosta\xb3y spe\xb3nione" ||
                  text == "Niepoprawny PIN do karty" ||
                  text.find(": the card is refused as it is (its owner clears that first), nothing changed") <
                      text.find('\n'))
          << text;
    }
    if (over.plantsGo) EXPECT_EQ("", cardimage::NewlyOpen(before, t.ImageText(image)));
    else EXPECT_EQ(cardimage::Comparable(before), cardimage::Comparable(t.ImageText(image)));
    return (void)t.m()->C_Finalize(nullptr);
  }
  ASSERT_EQ(CKR_OK, rv) << t.LastError() << "\n" << t.sim.ApduLog(kR0);
  EXPECT_EQ("Podpis", t.Label(0));
  if (over.road != Road::kInitializeCard) {
    ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
    EXPECT_EQ(CKR_SESSION_EXISTS, f->C_InitToken(0, soPin, so.size(), label));
    if (!over.holder.empty()) {  // the first holder's PIN 1111 and what they do with it on the card
      ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_SO, soPin, so.size()));
      ASSERT_EQ(CKR_OK, f->C_InitPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1111")), 4));
      ASSERT_EQ(0, t.sim.Remove(kR0));
      (void)f->C_CloseAllSessions(0);
      WriteFile(t.env.Card(image), CarriedOut(t.ImageText(image), over.holder));
      ASSERT_EQ(0, t.sim.Insert(kR0, t.env.Card(image).c_str()));
    }
    (void)f->C_CloseAllSessions(0);
    if (!over.opened.empty()) {
      ASSERT_EQ(0, t.sim.Remove(kR0));
      std::string text = t.ImageText(image);
      const size_t at = text.find("\n" + over.opened + " lcs=05 ");
      ASSERT_NE(std::string::npos, at);
      WriteFile(t.env.Card(image), text.replace(at + over.opened.size() + 6, 2, "01"));
      ASSERT_EQ(0, t.sim.Insert(kR0, t.env.Card(image).c_str()));
      ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
      ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_SO, soPin, so.size()));
      EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, f->C_InitPIN(h, user, 4));
      EXPECT_EQ(text, t.ImageText(image));
      return (void)t.m()->C_Finalize(nullptr);
    }
    initPin();
  }
  EXPECT_EQ(over.left, cardimage::OpenToAnyone(t.ImageText(image), true));
  // No DF of the PKCS#15 name stands in the master file beside the tokens EF.DIR names.
  {
    const std::string text = t.ImageText(image);
    const std::vector<std::string> tokens = cardimage::WhoMay(text).Tokens(text);
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
      EXPECT_TRUE(l.rfind("df 3F00/", 0) != 0 || l.find(' ', 3) != 12 || l.find(" name=A000000063504B43532D3135") == std::string::npos ||
                  std::find(tokens.begin(), tokens.end(), l.substr(3, 9)) != tokens.end()) << l;
  }
  // The planter's commands in the token's DF, wherever the token was made.
  std::string commands = attack, df = cardimage::ValueOf(t.ImageText(image).substr(t.ImageText(image).find("\nef 3F00/2F00 ") + 1), "data");
  df = df.substr(df.find("51043F00") + 8, 4);
  for (size_t at = commands.find("00A4000002501500"); at != std::string::npos; at = commands.find("00A4000002501500", at + 1))
    commands.replace(at + 10, 4, df);
  NoneCarriedOut(t.ImageText(image), "00A40000023F0000 " + commands);
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_PIN_INCORRECT, f->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("9999")), 4));
  EXPECT_EQ(CKR_OK, f->C_Login(h, CKU_USER, user, 4));
  if (over.underAnother) SetUnderAnotherPin(t, image, so);
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// A card of `image` with `planted` added, pulled after command k of C_InitToken for each k: no PIN but the SO's
// holds the SO's value, and (`rerun`) the call run again finishes with EF.DIR naming only DFs that stand and nothing
// of the token open to anyone but what the planter's PIN the call may not touch leaves open (`left`).
void PulledAtEachCommand(const char* image, const std::string& planted, bool rerun = true, const std::string& left = "") {
  const std::string model = image, so = model == "blank-model4.card" ? "11223344" : "87654321";
  const std::string soRefs = model == "blank-model1.card" ? "01 02" : model == "blank-model3.card" ? "04" : "01 04";
  for (int k = 0;; ++k) {
    SCOPED_TRACE("pulled after command " + std::to_string(k));
    CardInit t(Readers{{kR0, image}}, "", planted);
    ASSERT_TRUE(t.Start());
    const auto after = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(dlsym(t.sim.handle, "CardSimAfterCommands"));
    ASSERT_TRUE(after != nullptr);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    const auto init = [&] { return t.m()->C_InitToken(0, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(so.c_str())), so.size(), label); };
    ASSERT_EQ(0, after(kR0, 0x100, CARDSIM_AFTER_REMOVE, k));
    const CK_RV rv = init();
    ASSERT_EQ(0, after(kR0, 0x100, CARDSIM_AFTER_NOTHING, 0));
    EXPECT_EQ("", LeftToAnotherProgram(t.sim, kR0));
    std::istringstream in(t.ImageText(image));
    for (std::string l; std::getline(in, l);)
      EXPECT_TRUE(l.rfind("pin ", 0) != 0 || soRefs.find(cardimage::ValueOf(l, "ref")) != std::string::npos ||
                  cardimage::ValueOf(l, "value").rfind(cardimage::Hex(reinterpret_cast<const uint8_t*>(so.data()), so.size()), 0) != 0) << l;
    if (rv == CKR_OK && t.ImageText(image).find("\ndf 3F00/5015 ") != std::string::npos) break;
    if (!rerun) continue;
    (void)t.sim.Insert(kR0, t.env.Card(image).c_str());
    (void)t.Label(0);
    ASSERT_EQ(CKR_OK, init()) << t.sim.ApduLog(kR0);
    const std::string text = t.ImageText(image);
    for (const std::string& df : cardimage::WhoMay(text).Tokens(text))
      EXPECT_NE(std::string::npos, text.find("\ndf " + df + " ")) << df;
    EXPECT_EQ(left, cardimage::OpenToAnyone(text, true));
    ASSERT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }
}

// The planter's commands on a PIN of the master file: CHANGE REFERENCE DATA and RESET RETRY COUNTER without the
// old value, and RESET RETRY COUNTER with the PUK 1D planted beside it.
std::string SetPin(const std::string& ref) {
  return Fmt("002401%s0439393939 002C02%s0439393939 002C00%s083131313139393939 ", ref.c_str(), ref.c_str(), ref.c_str());
}

// What someone with a blank card and no PIN may add before the SO initialises it, generated: an EF.DIR anyone may
// change (empty, naming 3F00/5015, 3F00/5016 or 3F00/5015 twice, or kept from the SO by its update rule only), an
// open DF 5015 with the PKCS#15 name (empty, or holding the directories of a token as the module makes them), and
// PINs at the references `refs` the token takes (with and without value, unblocked by a PUK of the planter's); each
// alone, and together. Every plant is followed by the initialisation `road`; where it holds a PIN at a global one of
// `refs`, the call ends before it changes anything and no value of the call's but the SO's, and no deletion, reaches
// that PIN (the SO's value may go to the SO PIN a cut call of the module could have left, and to model 4's).
void PlantsBeforeTheSo(const char* image, const std::string& refs, Road road) {
  // A token as the module makes it on this model, whose files and EF.DIR record the planter copies.
  std::string made, record;
  {
    CardInit t(Readers{{kR0, image}}, "");
    ASSERT_TRUE(t.Start());
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    const std::string so = std::string(image) == "blank-model4.card" ? "11223344" : "87654321";
    ASSERT_EQ(CKR_OK, t.m()->C_InitToken(0, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(so.c_str())), so.size(), label));
    ASSERT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
    std::istringstream in(t.ImageText(image));
    for (std::string l; std::getline(in, l);) {
      if (l.rfind("ef 3F00/2F00 ", 0) == 0) record = cardimage::ValueOf(l, "data");
      if (l.find(" 3F00/5015") == std::string::npos || l.rfind("pin 3F00 ", 0) == 0) continue;
      if (l.find(" ac=") != std::string::npos) l.erase(l.find(" ac="), l.find(' ', l.find(" ac=") + 1) - l.find(" ac="));
      made += l + "\n";
    }
    record = record.substr(0, 4 + 2 * std::stoul(record.substr(2, 2), nullptr, 16));
  }
  const auto dir = [](const std::string& data) { return "ef 3F00/2F00 lcs=05 size=256 ac=read:always data=" + data + "\n"; };
  std::string other = record;
  other.replace(other.find("3F005015"), 8, "3F005016");
  const auto pins = [&refs](int kind) {
    std::string lines = kind == 2 ? "pin 3F00 ref=1D min=4 max=16 tries=3 left=3 value=31313131\n" : "";
    std::istringstream in(refs);
    for (std::string ref; in >> ref;)
      lines += "pin 3F00 ref=" + ref + " min=4 max=16 tries=3 left=3" + (kind == 0 ? " value=39393939" : "") +
               (kind == 2 ? " unblock=1D" : "") + "\n";
    return lines;
  };
  // (Deactivating or terminating a file the SO keeps only denies service, as terminating the card does.)
  std::string attack = "00A40000022F0000 00D6000004FFFFFFFF 00E4000000 ", unsent;
  const std::string model = image, so = model == "blank-model1.card" ? "02" : model == "blank-model3.card" ? "04" : "01";
  std::istringstream in(refs);
  for (std::string ref; in >> ref;) {
    attack += ref < "80" ? "00A40000023F0000 " + SetPin(ref) : "00A4000002501500 " + SetPin(ref) + "00A40000025000 " + SetPin(ref);
    if (ref < "80") unsent += "00E4200001" + ref + (ref == so ? " " : " 002000" + ref + "08 002000" + ref + "10 ");
  }
  const auto takes = [&](const std::string& plant) {
    std::istringstream at(refs);
    for (std::string ref; at >> ref;)
      if (ref < "80" && plant.find("pin 3F00 ref=" + ref + " ") != std::string::npos) return true;
    return false;
  };
  const std::vector<std::string> dirs = {dir(""), dir(record), dir(other), dir(record + record),
      Fmt("ef 3F00/2F00 lcs=05 size=256 ac=read:always,update:pin:%s,write:pin:%s,delete:pin:%s\n", so.c_str(), so.c_str(), so.c_str())};
  const std::vector<std::string> dfs = {"df 3F00/5015 lcs=05 name=A000000063504B43532D3135\n", made};
  std::vector<std::string> plants = dirs;
  plants.insert(plants.end(), dfs.begin(), dfs.end());
  for (int kind = 0; kind < 3; ++kind) plants.push_back(pins(kind));
  for (size_t d = 1; d < 4; ++d) plants.push_back(dirs[d] + made + pins(2));
  plants.push_back(dirs[1] + dfs[0] + pins(1));
  // Files made before activation, where no rule holds, then given rules: an EF.DIR not everyone may read (alone,
  // and beside an open token's copy); an EF.DIR the SO guards naming the token's DF, where nothing stands, and an
  // open DF 6000 holding the token's directories moved there, whose PIN directory names the planter's user PIN; an
  // application found by name only inside a DF no one may enter.
  const std::string blankSo = model == "blank-model4.card" ? "01" : model == "blank-model1.card" ? "01" : "04";
  const std::string user = refs.substr(refs.rfind(' ') == std::string::npos ? 0 : refs.rfind(' ') + 1);
  const auto rulesOf = [](const std::string& all, const std::string& rest) {
    std::string out = "ac=";
    std::istringstream in(all);
    for (std::string op; in >> op;) out += op + ":" + rest + ",";
    return out.substr(0, out.size() - 1);
  };
  const std::string efOps = "update write deactivate activate terminate delete";
  std::string moved = made, beside = other;
  for (size_t at = moved.find("3F005015"); at != std::string::npos; at = moved.find("3F005015", at)) moved.replace(at, 8, "3F006000");
  for (size_t at = moved.find("3F00/5015"); at != std::string::npos; at = moved.find("3F00/5015", at)) moved.replace(at, 9, "3F00/6000");
  beside.replace(beside.find("3F005016"), 8, "3F006000");
  // (An EF.DIR the module cannot read names no token it knows: made anew, on every model.)
  const std::string unreadable = "ef 3F00/2F00 lcs=05 size=256 " + rulesOf(efOps, "pin:" + blankSo) + ",read:pin:" + blankSo + "\n";
  for (const std::string& plant : {unreadable, unreadable + made}) InitialiseOver(image, plant, attack, {road, false, true});
  const std::string userPin = "pin 3F00 ref=" + user + " min=4 max=16 pad=FF tries=3 left=3 unblock=" + blankSo +
                              " ac=update:always,delete:always value=39393939\n";
  plants.push_back("ef 3F00/2F00 lcs=05 size=256 " + rulesOf(efOps, "pin:" + blankSo) + ",read:always data=" + record + beside +
                   "\n" + moved + userPin);
  // The blank card pulled after each command of C_InitToken: every cut state is taken by the next call.
  if (road == Road::kInitToken) PulledAtEachCommand(image, "", true);
  // Every plant but PINs alone, and (on model 3) the EF.DIR only the SO may change, is refused as it is: PINs at a
  // reference the token takes too.
  for (const std::string& plant : plants) {
    Over over{road, false, takes(plant) || (plant.rfind("pin ", 0) != 0 && (plant != dirs[4] || model != "blank-model3.card"))};
    over.unsent = over.refused ? unsent : "";
    InitialiseOver(image, plant, attack, over);
  }
  // A planted token whose PIN directory names the SO PIN at global 05, beside the planter's PIN 05: the SO's value
  // never goes there.
  std::string at05 = made;
  for (size_t at = at05.find("8001" + so + "0401FF"); at != std::string::npos; at = at05.find("8001" + so + "0401FF", at))
    at05.replace(at + 4, 2, "05");
  Over to05{road, false, true};
  to05.unsent = "0020000508 0020000510";
  InitialiseOver(image, dirs[1] + at05 + "pin 3F00 ref=05 min=4 max=16 pad=FF tries=3 left=3 value=35353535\n", attack, to05);
  // A planted token's DF the card says it does not hold, once; one changed octet in the answer to a selection of a
  // planted EF.DIR, or "no such file" once to one: refused all the same.
  InitialiseOver(image, dirs[1] + made, attack, {road, false, true, 0, 0x6A82, "", "00A4080402501500", false, 0, true});
  for (int skip = 1; skip < 4; ++skip) {
    InitialiseOver(image, dirs[1] + made, attack, {road, false, true, 0, 0, "", "00A40804022F00", false, skip, true, false, true});
    InitialiseOver(image, dirs[1], attack, {road, false, true, 0, 0x6A82, "", "00A40804022F00", false, skip, true});
  }
  // (An EF.DIR anyone may change beside a DF no one may delete: refused, the card as it was.)
  InitialiseOver(image, dirs[1] + "df 3F00/6000 lcs=05 " + rulesOf("delete-child create-ef create-df deactivate activate "
                 "terminate delete", "never") + "\ndf 3F00/6000/5016 lcs=05 name=A000000063504B43532D3135\n", attack,
                 {road, false, true});
  // A DF with the PKCS#15 name that only the SO may create in and no one may delete, holding the token's directories
  // that anyone may change: the call ends before it changes anything.
  if (road == Road::kInitToken)
    InitialiseOver(image, "ef 3F00/2F00 lcs=05 size=256 " + rulesOf(efOps, "never") + ",read:always data=" + record +
                   "\ndf 3F00/5015 lcs=05 name=A000000063504B43532D3135 " +
                   rulesOf("delete-child deactivate activate terminate delete", "never") + ",create-ef:pin:" + blankSo +
                   ",create-df:pin:" + blankSo + "\n" + made.substr(made.find('\n') + 1), attack, {road, false, true});
}

}  // namespace

// C_InitToken on a blank card adds a token under the SO PIN; the SO then sets
// the user PIN and the user logs in with it. Models 1, 3, 4 and 7; so too after a first holder
// made a PIN of their own before the SO set the PIN anew.
TEST(ModuleCardInit, InitTokenAddsATokenThatTheSoGivesAUserPin) {
  const Over under = [] { Over o; o.underAnother = true; return o; }();  // and every road under another PIN
  InitialiseOver("blank-model4.card", "", "00E00000136211820121A50C830112930103950431313131 002C0002083131313132323232",
                 under);
  for (const char* image :
       {"blank-model3.card", "blank-model3-so-pin-16.card", "blank-model1.card", "blank-model7.card"})
    InitialiseOver(image, "", SetPin(std::string(image).rfind("blank-model3", 0) == 0 ? "01" : "02"), under);
  // Model 1: a first holder's PIN 81 beside the keys in 5000, which their rules find before the token's own in 5015.
  InitialiseOver("blank-model1.card", "", "00A408000450155000 002000810435353535",
                 {Road::kInitToken, false, false, 0, 0,
                  "00A408000450155000 002000810431313131 00E00000196217820121A512830181900104910108930103950435353535"});
  // An SO PUK that a cut InitializeCard left before the SO PIN that guards it.
  InitialiseOver("blank-model4.card", "pin 3F00 ref=11 min=4 max=16 tries=3 left=3 ac=update:pin:01,delete:pin:01 value=39393939\n", "");
  // Model 1: an issuer's PIN 81 in the master file (the SO's rules) beside a token made here, before the token is
  // initialised again: it stays, and the token's files find the token's own; model 4: a PIN at the SO PUK's
  // reference before InitializeCard erases a token C_InitToken made.
  InitialiseOver("blank-model1.card", "pin 3F00 ref=81 min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:02,delete:pin:02 "
                 "value=35353535\n",
                 "00A4000002501500 " + SetPin("81") + "00A40000025000 " + SetPin("81"), {Road::kInitToken, true});
  InitialiseOver("blank-model4.card", "pin 3F00 ref=11 min=4 max=16 tries=3 left=3 value=37373737\n", "",
                 {Road::kInitializeCard, true});
  // InitializeCard judges every layout's user references before its first change, with or without the issuer's SO
  // PIN: the issuer's PIN at the second token's user PIN (04) or PUK (14) refuses two tokens, and one token or a
  // second without PUK too (twice, the card as it was); a lone PIN at the SO PUK's (a cut call's, or anyone's) stays
  // beside the tokens: the SO PIN is made without one.
  const auto pin = [](const std::string& ref, const char* value) {
    return "pin 3F00 ref=" + ref + " min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:01,delete:pin:01 value=" + value + "\n";
  };
  const std::string two = "[Drugi]\nUserPin = 1357\n";
  for (const std::string& so : {pin("01", "3131323233333434"), std::string()})
    for (const char* ref : {"04", "14"})
      for (const std::string& tokens : {two, *ref == '0' ? std::string() : two + "UserPuk = <none>\n"}) {
        Over refused{Road::kInitializeCard, false, true};
        refused.calls = 2, refused.tokens = tokens, refused.unsent = "00E0 00E4 00D6 00DC";
        InitialiseOver("blank-model4.card", so + pin(ref, "35353535"), "", refused);
      }
  // Blank model 4 in the form without life-cycle bytes, an issuer's PIN 81 in its master file under an EF.DIR ruled by
  // a PIN 01 that does not stand: two tokens are refused, the card as it was; without that EF.DIR they are made.
  Over issuer81{Road::kInitializeCard, false, true}, beside81{Road::kInitializeCard};
  issuer81.tokens = beside81.tokens = two;
  const std::string pin81 = "fcp-lcs 0\npin 3F00 ref=81 min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:01,delete:pin:01 "
                            "value=35353535\n";
  InitialiseOver("blank-model4.card", pin81 + "ef 3F00/2F00 lcs=05 size=64 ac=read:always,update:pin:01,write:pin:01,"
                 "delete:pin:01 data=00\n", "", issuer81);
  beside81.kept = pin81.substr(pin81.find('\n') + 1);
  InitialiseOver("blank-model4.card", pin81, "", beside81);
  Over lone{Road::kInitializeCard};
  lone.repeat = 1, lone.tokens = two;
  lone.kept = "pin 3F00 ref=11 min=4 max=16 pad=FF tries=3 left=3 ac=update:pin:11,delete:pin:11 value=39393939\n";
  InitialiseOver("blank-model4.card", lone.kept, "", lone);
  // A PIN the card keeps at a reference the new token takes, on a card initialised before.
  InitialiseOver("blank-model4.card", "pin 3F00 ref=12 min=4 max=16 tries=3 ac=update:never,delete:never value=39393939\n", "",
                 {Road::kInitializeCard, true, true});
  // An issuer's application named by EF.DIR, under the blank card's SO PIN's rules, whose file only the issuer's PIN
  // may read or change: that PIN at a local reference (model 1's 81) or at one no token takes (model 7's 11), and its
  // file, stay as they were and the token is made; at the tokens' SO reference or the user's, every call ends before
  // it changes anything. Neither a value of the call's nor a deletion reaches that PIN, and no try of it is spent.
  const struct { const char* image; const char* so; const char* ref; bool refused; } issuers[] = {
      {"blank-model1.card", "01", "81", false}, {"blank-model7.card", "04", "11", false},
      {"blank-model1.card", "01", "02", true},  {"blank-model7.card", "04", "01", true},
      {"blank-model3.card", "04", "01", true},  {"blank-model7.card", "04", "02", true}};
  for (const auto& i : issuers) {
    const std::string so = std::string("pin:") + i.so, ref = i.ref, by = "pin:" + ref;
    const std::string issuer = "pin 3F00 ref=" + ref + " min=4 max=16 pad=FF tries=3 left=3 ac=update:" + so + ",delete:" + so +
                             " value=35353535\ndf 3F00/4100 lcs=05 name=D2760000FF01 ac=delete-child:" + so + ",create-ef:" + so +
                             ",create-df:" + so + ",deactivate:" + so + ",activate:" + so + ",terminate:" + so + ",delete:" + so +
                             "\nef 3F00/4100/0001 lcs=05 size=8 ac=read:" + by + ",update:" + by + ",write:" + by + ",deactivate:" +
                             so + ",activate:" + so + ",terminate:" + so + ",delete:" + so + " data=5345435245543031\n";
    Over over{Road::kInitToken, false, i.refused};
    over.unsent = "00E4200001" + ref + " 002000" + ref + "04 002000" + ref + "08 002000" + ref + "10";
    over.kept = issuer + "610E4F06D2760000FF0151043F004100\n";
    over.calls = 3;
    InitialiseOver(i.image, "ef 3F00/2F00 lcs=05 size=64 ac=read:always,update:" + so + ",write:" + so + ",delete:" + so +
                   " data=610E4F06D2760000FF0151043F004100\n" + issuer, "", over);
  }
  // An EF.DIR guarded by a PIN that does not stand (anyone may make one there), or by someone else's PIN that
  // stands: the call ends before it changes anything, and neither a value of the call's nor a deletion reaches PIN 01.
  Over at01{Road::kInitToken, false, true};
  at01.unsent = "00E420000101 0020000108 0020000110";
  for (const char* pin : {"", "pin 3F00 ref=01 min=4 max=16 tries=3 left=3 ac=update:never,delete:never value=35353535\n"})
    InitialiseOver("blank-model3.card",
                   std::string("ef 3F00/2F00 lcs=05 size=64 ac=read:always,update:pin:01,write:pin:01,delete:pin:01\n") + pin, "", at01);
  // A PIN at the SO's reference on a card that shows no token, whoever may delete it: the call ends before it changes
  // anything and never deletes it (the SO's value may go to it, as to an SO PIN a cut call left, or model 4's).
  for (const char* image : {"blank-model1.card", "blank-model4.card", "blank-model7.card"}) {
    const std::string ref = std::string(image) == "blank-model1.card" ? "02" : "01";
    Over keep{Road::kInitToken, false, true};
    keep.unsent = "00E4200001" + ref;
    for (const char* rule : {"always", "never"})
      InitialiseOver(image, "pin 3F00 ref=" + ref + " min=12 max=12 tries=3 left=3 ac=update:always,delete:" + rule +
                     " value=353535353535353535353535\n", "", keep);
  }
  // A file whose delete rule names a PIN 33 that does not stand, or a PIN 33 that stands, someone else's (an EF.DIR
  // anyone may change, a DF of the PKCS#15 name at the first token's place or beside it): the call ends before it
  // changes anything (InitializeCard too), and neither a value of the call's nor a deletion reaches PIN 33.
  const std::string dir33 = "ef 3F00/2F00 lcs=05 size=64 ac=read:always,update:always,write:always,delete:pin:33\n";
  const std::string pin33 = "pin 3F00 ref=33 min=4 max=16 tries=3 left=3 ac=update:pin:33,delete:";
  Over at33{Road::kInitToken, false, true};
  at33.unsent = "00E420000133 0020003308 0020003310";
  for (const std::string& plant : {dir33, dir33 + pin33 + "always value=35353535\n", dir33 + pin33 + "pin:33 value=35353535\n",
                                   std::string("df 3F00/5015 lcs=05 name=A000000063504B43532D3135 ac=delete:pin:33\n"),
                                   std::string("df 3F00/6000 lcs=05 name=A000000063504B43532D3135 ac=delete:pin:33\n")})
    InitialiseOver("blank-model3.card", plant, "", at33);
  at33.road = Road::kInitializeCard;
  InitialiseOver("blank-model4.card", dir33 + pin33 + "always value=35353535\n", "", at33);
  // Headers that show no life-cycle state: an EF.DIR, or the first token's DF, made in a state where no rule holds
  // cannot be told from the SO's, and are made anew.
  InitialiseOver("blank-model3.card", "fcp-lcs 0\nef 3F00/2F00 lcs=01 size=64 ac=read:always,update:pin:04,write:pin:04,"
                 "delete:pin:04 data=00\n", "");
  // Another kind's record in it stays in the one made anew, whether or not its DF stands: it is not the module's.
  Over other;
  other.kept = "610E4F06D2760000FF0151043F004100";
  InitialiseOver("blank-model3.card", "fcp-lcs 0\nef 3F00/2F00 lcs=01 size=64 ac=read:always,update:pin:04,write:pin:04,"
                 "delete:pin:04 data=" + other.kept + "\n", "", other);
  // A DF of the PKCS#15 name where the first token goes, with no EF.DIR naming it, is no token of the module's: the
  // call is refused and the card stays as it was.
  const Over no{Road::kInitToken, false, true};
  InitialiseOver("blank-model3.card", "fcp-lcs 0\ndf 3F00/5015 lcs=01 name=A000000063504B43532D3135 ac=delete-child:pin:04,"
                 "create-ef:pin:04,create-df:pin:04,delete:pin:04\n", "", no);
  // So is a DF of the PKCS#15 name anyone may change beside a token made here, whatever a selection of the master
  // file or a search by name answered once; and an issuer's drop box (a PKCS#15 DF anyone may create in, a file of
  // the issuer's in it, the SO's rules) on a blank card of model 3, and of model 4 with no PIN 01 standing.
  const std::string beside = "df 3F00/6000 lcs=05 name=A000000063504B43532D3135\n";
  for (unsigned sw : {0x6F00u, 0x6581u, 0x6A82u})
    for (int skip = 0; skip < 4; ++skip)
      InitialiseOver("blank-model3.card", beside, "", {Road::kInitToken, true, true, 0, sw, "", "00A40000023F00", false, skip, true});
  InitialiseOver("blank-model3.card", beside, "", {Road::kInitToken, true, true, 0, 0x6A82, "", "00A404", false, 0, true});
  const auto box = [](const std::string& so) {
    return "df 3F00/6002 lcs=05 name=A000000063504B43532D3135 ac=delete-child:pin:" + so + ",create-ef:always,create-df:"
           "always,delete:pin:" + so + "\nef 3F00/6002/0001 lcs=05 size=8 ac=read:always,update:pin:" + so + ",delete:pin:" +
           so + " data=4973737565723031\n";
  };
  InitialiseOver("blank-model3.card", box("04"), "", no);
  for (Road road : {Road::kInitToken, Road::kInitializeCard}) InitialiseOver("blank-model4.card", box("01"), "", {road, false, true});
  // A card that says "no such PIN" once of a planted one at the user's reference: every call ends before it changes
  // anything, neither a value of the call's nor a deletion reaching that PIN. An EF.DIR anyone may change is refused
  // as it is, whatever the card answers to a deletion, a reading or a search by name (here past a planted
  // application, DF 4F00 and its PIN).
  Over said{Road::kInitToken, false, true, 0, 0x6A88, "", "00200001"};
  said.unsent = at01.unsent;
  InitialiseOver("blank-model3.card", cardimage::Planted("01"), SetPin("01"), said);
  InitialiseOver("blank-model3.card", cardimage::Planted(""), "", {Road::kInitToken, false, true, 0xE4, 0x9000});
  InitialiseOver("blank-model3.card", cardimage::Planted(""), "", {Road::kInitToken, false, true, 0xE4, 0x6A82});
  const std::string open4F00 = cardimage::Planted("") + "df 3F00/4F00 lcs=05 name=A000000063504B43532D3135\n" +
                               "pin 3F00/4F00 ref=81 min=4 max=16 pad=FF tries=3 left=3 value=31313131\n";
  InitialiseOver("blank-model3.card", cardimage::Planted(""), "", {Road::kInitToken, false, true, 0, 0x6A82, "", "00B0", true});
  InitialiseOver("blank-model3.card", open4F00, SetPin("81"),
                 {Road::kInitToken, false, true, 0, 0x6A88, "", "00A404", false, 0, true});
  InitialiseOver("blank-model4.card", cardimage::Planted("01 02"), "",
                 {Road::kInitializeCard, false, true, 0, 0x6A88, "", "00200001", false, 2});
  InitialiseOver("blank-model3.card", "", "", {Road::kInitToken, true, false, 0, 0x6A82, "", "00E40000025015"});
  // Before success the call selects afresh every header the token relies on: EF.DIR answered with its last rule's
  // octet changed where the call judged it, then whole at the fresh look, or changed at both of the fresh look's
  // selections, fails the call (the next one goes through); changed at one of them, the second look decides.
  const struct { int skip, times; bool either; } looks[] = {{1, 1, false}, {2, 2, false}, {2, 1, true}};
  for (const auto& l : looks)
    InitialiseOver("blank-model3.card", "", "",
                   {Road::kInitToken, true, false, 0, 0, "", "00A40804022F00", false, l.skip, l.either, false, true, "", l.times});
  // So too the SO's C_InitPIN: a token's file back in a state where the card enforces no rule gets no PIN's value.
  Over opened;
  opened.opened = "ef 3F00/5015/5032";
  InitialiseOver("blank-model3.card", "", "", opened);
  // InitializeCard's fresh look: EF.DIR it just wrote that the card says it does not hold, twice, fails the call.
  InitialiseOver("blank-model4.card", "", "",
                 {Road::kInitializeCard, false, false, 0, 0x6A82, "", "00A40804022F00", false, 4, false, false, false, "", 2});
  // EF.DIR it keeps (another application's record stays in it when the tokens go), answered with its last rule's
  // octet changed where the call judged it and whole at the fresh look, fails the call (the next one goes through).
  Over kept{Road::kInitializeCard, true, false, 0, 0, "", "00A40804022F00", false, 1, false, false, true};
  kept.record = "610F4F07A000000123456751043F006100";
  InitialiseOver("blank-model4.card", "df 3F00/6100 lcs=05 name=A0000001234567 ac=delete-child:pin:01,create-ef:pin:01,"
                 "create-df:pin:01,deactivate:pin:01,terminate:pin:01,delete:pin:01\n", "", kept);
}

// Whatever someone with the card and no PIN planted before the SO's first initialisation, nothing of it decides
// how the token is made or becomes its PIN.
TEST(ModuleCardInit, PlantsBeforeTheSoOnModel1) { PlantsBeforeTheSo("blank-model1.card", "02 81", Road::kInitToken); }
TEST(ModuleCardInit, PlantsBeforeTheSoOnModel3) { PlantsBeforeTheSo("blank-model3.card", "01", Road::kInitToken); }
TEST(ModuleCardInit, PlantsBeforeTheSoOnModel4) {
  PlantsBeforeTheSo("blank-model4.card", "01 02", Road::kInitToken);
  PlantsBeforeTheSo("blank-model4.card", "01 11 02 12", Road::kInitializeCard);
}
TEST(ModuleCardInit, PlantsBeforeTheSoOnModel7) { PlantsBeforeTheSo("blank-model7.card", "01 02", Road::kInitToken); }

// Each invalid profile option is refused with its message before the card is
// touched; so is an output file whose folder does not exist.
TEST(ModuleCardInit, InvalidProfileOptionsAreRefusedWithTheirMessages) {
  struct Case {
    const char* profile;
    const char* message;
  } cases[] = {
      {"[Podpis]\nRandomUserPinChars = xxxx\n", "Invalid value for random chars for user PIN: xxxx, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPinMinLen = 99\n",
       "Invalid value for minimum user pin length (valid lengths are from 4 to 16): 99, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPinMaxLen = 2\n",
       "Invalid value for maximum user pin length (valid lengths are from 4 to 16): 2, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPin = 12\n",
       "Invalid user PIN value according minimum and maximum lengths (specified lengths are from 4 to 16): **, on "
       "tokenPodpis (number 1)\n"},
      {"[Podpis]\nRandomUserPukChars = 7\n", "Invalid value for random chars for user PUK: 7, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPukMinLen = 4x\n",
       "Invalid value for minimum user PUK length (valid lengths are from 4 to 16): 4x, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPukMaxLen = 3\n",
       "Invalid value for maximum user PUK length (valid lengths are from 4 to 16): 3, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nUserPuk = 123456789012345678\n",
       "Invalid user PUK value according minimum and maximum lengths (specified lengths are from 4 to 16): "
       "******************, on tokenPodpis (number 1)\n"},
      {"[Podpis]\nSoPinIsLocal = tak\n", "Admin (Security Officer) PIN can't be local for token: tak, on tokenPodpis (number 1)\n"},
      {"RandomSoPinChars = aa\n[Podpis]\n",
       "Invalid value for random chars for admin (Security Officer) PIN: aa, on tokenPodpis (number 1)\n"},
      {"SoPinMinLen = 17\n[Podpis]\n",
       "Invalid value for minimum admin PIN length (valid lengths are from 4 to 16): 17, on tokenPodpis (number 1)\n"},
      {"SoPinMaxLen = 1\n[Podpis]\n",
       "Invalid value for maximum admin PIN length (valid lengths are from 4 to 16): 1, on tokenPodpis (number 1)\n"},
      {"SoPin = 123\n[Podpis]\n",
       "Invalid admin (SO) PIN value according minimum and maximum lengths (specified lengths are from 4 to 16): ***, "
       "on tokenPodpis (number 1)\n"},
      {"RandomSoPukChars = b\n[Podpis]\n",
       "Invalid value for random chars for admin (Security Officer) PUK: b, on tokenPodpis (number 1)\n"},
      {"SoPukMaxLen = 0\n[Podpis]\n",
       "Invalid value for maximum admin PUK length (valid lengths are from 4 to 16): 0, on tokenPodpis (number 1)\n"},
      {"SoPuk = 1\n[Podpis]\n",
       "Invalid admin (SO) PUK value according minimum and maximum lengths (specified lengths are from 4 to 16): *, on "
       "tokenPodpis (number 1)\n"},
      {"OutputPinFile = ${TokenLabel\n[Podpis]\n",
       ": Invalid option OutputPinFile value: ${TokenLabel, on tokenPodpis (number 1)\n"},
      // Two tokens of one layout: the first would be made before the second fails.
      {"TokenProfile = rokvast\n[Podpis]\n[Szyfrowanie]\n",
       "An earlier token of the profile makes a PIN at its reference: 02, on tokenSzyfrowanie (number 2)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
    t.Profile(c.profile);
    const std::string before = t.ImageText("blank-model4.card");
    ASSERT_TRUE(t.Start());
    EXPECT_EQ(0, t.Initialize(kR0));
    EXPECT_EQ(c.message, t.LastError());
    EXPECT_EQ("MIRTAL", t.Label(0));
    EXPECT_EQ(before, t.ImageText("blank-model4.card"));
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }
}

// The PIN output file is checked before the card is touched: PINs go only into
// the user's own regular file that no one else can read, never through a
// symbolic link; otherwise the card stays as it was and the file untouched.
TEST(ModuleCardInit, PinOutputFileThatOthersCouldReadIsRefusedBeforeTheCard) {
  struct Case {
    const char* what;
    void (*setUp)(const std::string& file, const std::string& other);
    const char* reason;  // "" when the initialisation goes ahead
    // The profile's PINs, global and the token's: none given (all drawn) by default.
    const char* globalPins = "";
    const char* tokenPins = "";
  } cases[] = {
      {"missing folder", [](const std::string&, const std::string&) {}, "No such file or directory"},
      {"existing file readable by others",
       [](const std::string& file, const std::string&) {
         WriteFile(file, "old\n");
         chmod(file.c_str(), 0644);
       },
       "the file can be read or written by other users"},
      {"existing file writable by the group",
       [](const std::string& file, const std::string&) {
         WriteFile(file, "old\n");
         chmod(file.c_str(), 0620);
       },
       "the file can be read or written by other users"},
      {"symbolic link to a private file",
       [](const std::string& file, const std::string& other) {
         WriteFile(other, "old\n");
         chmod(other.c_str(), 0600);
         ASSERT_EQ(0, symlink(other.c_str(), file.c_str()));
       },
       "the file is a symbolic link"},
      {"dangling symbolic link",
       [](const std::string& file, const std::string& other) { ASSERT_EQ(0, symlink(other.c_str(), file.c_str())); },
       "the file is a symbolic link"},
      {"directory", [](const std::string& file, const std::string&) { ASSERT_EQ(0, mkdir(file.c_str(), 0700)); },
       "the file is not a regular file"},
      {"existing private file", [](const std::string& file, const std::string&) {
         WriteFile(file, "old\n");
         chmod(file.c_str(), 0600);
       },
       ""},
      // Nothing drawn, but the token's line is written all the same.
      {"existing file readable by others, every PIN given",
       [](const std::string& file, const std::string&) {
         WriteFile(file, "old\n");
         chmod(file.c_str(), 0644);
       },
       "the file can be read or written by other users", "SoPin = 87654321\nSoPuk = <none>\n",
       "UserPin = 2468\nUserPuk = <none>\n"},
      {"existing private file, every PIN given",
       [](const std::string& file, const std::string&) {
         WriteFile(file, "old\n");
         chmod(file.c_str(), 0600);
       },
       "", "SoPin = 87654321\nSoPuk = <none>\n", "UserPin = 2468\nUserPuk = <none>\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
    const std::string dir = std::string(c.what) == "missing folder" ? t.env.Path("missing") : t.env.Path("out");
    if (dir == t.env.Path("out")) {
      ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    }
    const std::string file = dir + "/Podpis.txt", other = t.env.Path("elsewhere.txt");
    c.setUp(file, other);
    // A file name with variables is expanded first.
    t.Profile("OutputPinFile = " + dir + "/$TokenLabel.txt\n" + c.globalPins + "[Podpis]\n" + c.tokenPins);
    struct stat before {};
    const bool existed = lstat(file.c_str(), &before) == 0;
    const std::string image = t.ImageText("blank-model4.card");
    const std::string target = FileExists(other) ? ReadFile(other) : "";
    ASSERT_TRUE(t.Start());
    if (*c.reason == '\0') {
      EXPECT_EQ(1, t.Initialize(kR0)) << t.LastError();
      EXPECT_EQ("Podpis", t.Label(0));
      const std::vector<std::string> lines = Lines(ReadFile(file));
      ASSERT_EQ(2u, lines.size());
      EXPECT_EQ("old", lines[0]);
      EXPECT_NE(std::string::npos, lines[1].find("UserPin: "));
      struct stat st {};
      ASSERT_EQ(0, stat(file.c_str(), &st));
      EXPECT_EQ(0600u, st.st_mode & 0777u);
    } else {
      EXPECT_EQ(0, t.Initialize(kR0));
      EXPECT_EQ("Can't open file for writing generated pins: " + file + " (" + c.reason +
                    "), on tokenPodpis (number 1)\n",
                t.LastError());
      EXPECT_EQ("MIRTAL", t.Label(0));
      EXPECT_EQ(image, t.ImageText("blank-model4.card"));
      struct stat after {};
      EXPECT_EQ(existed, lstat(file.c_str(), &after) == 0);
      if (existed) {
        EXPECT_EQ(before.st_mode, after.st_mode);
        EXPECT_EQ(before.st_size, after.st_size);
      }
      if (!target.empty()) {
        EXPECT_EQ(target, ReadFile(other));
      }
      EXPECT_EQ(!target.empty(), FileExists(other));
    }
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }
}

// A profile file that cannot be read, and a reader that does not exist.
TEST(ModuleCardInit, UnreadableProfileAndUnknownReader) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(0, t.Initialize(kR0));  // no profile file written
  EXPECT_EQ(0u, t.LastError().rfind("B\xb3\xb9" "d odczytu pliku konfiguracyjnego: ", 0)) << t.LastError();
  EXPECT_EQ("MIRTAL", t.Label(0));
  t.Profile("[Podpis]\n");
  EXPECT_EQ(0, t.init("No Such Reader", t.profile.c_str()));
  EXPECT_EQ("Reader named 'No Such Reader' not found", t.LastError());
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// A card command that fails at any step of the initialisation leaves the card
// without a half-made token, and the card can be initialised afterwards.
TEST(ModuleCardInit, FailedCardStepLeavesTheCardAsItWas) {
  struct Step {
    unsigned ins;
    const char* what;
    bool needed;  // the initialisation of a blank card sends it
  } steps[] = {{0xE0, "create file", true},   {0xD6, "update binary", true},
               {0x20, "verify", true},        {0x84, "get challenge", true},
               {0x2C, "reset retry counter", false}, {0xE4, "delete file", false}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
    t.Profile("OutputPinFile = " + t.out + "\nSoPin = 11223344\n[Podpis]\nUserPin = 1111\n");
    ASSERT_TRUE(t.Start());
    SimControl ctl(t.sim.handle);
    ASSERT_TRUE(ctl.ok());
    EXPECT_EQ("MIRTAL", t.Label(0));
    ASSERT_EQ(0, ctl.inject(kR0, s.ins, 0x6581, 1));
    const int first = t.Initialize(kR0);
    EXPECT_EQ(s.needed ? 0 : 1, first) << t.LastError();
    if (first == 0) {
      EXPECT_EQ("MIRTAL", t.Label(0)) << t.LastError();
    } else {
      // The step was not needed here (or its failure was tolerated): the token is whole.
      EXPECT_EQ("Podpis", t.Label(0));
    }
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
    // Everything the failure touched is gone: the card initialises as a blank one.
    ASSERT_EQ(0, ctl.inject(kR0, s.ins, 0x6581, 0));
    ASSERT_TRUE(t.Start());
    if (first == 0) {
      ASSERT_EQ(1, t.Initialize(kR0)) << t.LastError();
      EXPECT_EQ("Podpis", t.Label(0));
    }
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }
}

// A card that answers no serial number (GET DATA refused) is initialised all
// the same; its line in the PIN output file has no serial number.
TEST(ModuleCardInit, CardWithoutSerialNumberIsInitialised) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  t.Profile("OutputPinFile = " + t.out + "\nSoPin = 11223344\n[Podpis]\nUserPin = 1111\nUserPuk = <none>\n");
  ASSERT_TRUE(t.Start());
  SimControl ctl(t.sim.handle);
  ASSERT_TRUE(ctl.ok());
  // The card's life cycle is asked first, then the serial number both ways: its
  // own element and the card production data.
  ASSERT_EQ(0, ctl.inject(kR0, 0xCA, 0x6A88, 3));
  EXPECT_EQ(1, t.Initialize(kR0)) << t.LastError();
  EXPECT_EQ("Podpis", t.Label(0));
  const std::vector<std::string> lines = Lines(ReadFile(t.out));
  ASSERT_EQ(1u, lines.size()) << ReadFile(t.out);
  EXPECT_EQ(0u, lines[0].find("Token: Podpis, SerialNumber: , SoPin: ")) << lines[0];
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  // C_InitToken on a card that answers "no such file" for its serial number: the token reads as initialised,
  // in a new process too, and the SO sets its user PIN.
  for (const char* image : {"blank-model1.card", "blank-model3.card"}) {
    SCOPED_TRACE(image);
    CardInit c(Readers{{kR0, image}}, "");
    ASSERT_TRUE(c.Start());
    ASSERT_EQ(0, c.sim.InjectSwOn(kR0, "00CA005A", 0x6A82, 0, 50));
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    CK_UTF8CHAR so[] = "87654321", user[] = "5678";
    ASSERT_EQ(CKR_OK, c.m()->C_InitToken(0, so, 8, label));
    ASSERT_EQ(CKR_OK, c.m()->C_Finalize(nullptr));
    ASSERT_TRUE(c.Start());
    EXPECT_EQ(CKF_TOKEN_INITIALIZED, c.Info(0).flags & CKF_TOKEN_INITIALIZED);
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, c.m()->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
    EXPECT_EQ(CKR_OK, c.m()->C_Login(h, CKU_SO, so, 8));
    EXPECT_EQ(CKR_OK, c.m()->C_InitPIN(h, user, 4));
    EXPECT_EQ(CKR_OK, c.m()->C_Finalize(nullptr));
  }
}

// A serial number that the card failed to give is asked for again by the next
// call; it is not taken for one the card does not have.
TEST(ModuleCardInit, SerialNumberIsAskedAgainAfterAFailedExchange) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  ASSERT_TRUE(t.Start());
  SimControl ctl(t.sim.handle);
  ASSERT_TRUE(ctl.ok());
  // The card is read first (the slot's state); its serial number only for the token's information.
  CK_SLOT_INFO si;
  ASSERT_EQ(CKR_OK, t.m()->C_GetSlotInfo(0, &si));
  ASSERT_EQ(0, ctl.inject(kR0, 0xCA, 0x6F00, 1));
  EXPECT_EQ("", Trimmed(t.Info(0).serialNumber, 16));
  EXPECT_EQ(t.Serial(), Trimmed(t.Info(0).serialNumber, 16));
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// A token whose user's objects the SO PIN may not delete keeps its label, its
// objects and every octet of the card when C_InitToken is refused.
TEST(ModuleCardInit, InitTokenThatCannotEmptyTheTokenKeepsTheCardsLabel) {
  CardInit t(Readers{{kR0, "pkcs15-model3-user-owned.card"}}, "");
  ASSERT_TRUE(t.Start());
  const std::string before = t.ImageText("pkcs15-model3-user-owned.card");
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Nowy", 4);
  CK_UTF8CHAR so[] = "87654321";
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.m()->C_InitToken(0, so, 8, label));
  EXPECT_EQ("CardSim Token", t.Label(0));
  EXPECT_EQ(before, t.ImageText("pkcs15-model3-user-owned.card"));
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// Number of token objects a user session sees.
CK_ULONG CountObjects(const CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h) {
  CK_OBJECT_HANDLE found[16];
  CK_ULONG n = 0;
  if (f->C_FindObjectsInit(h, nullptr, 0) != CKR_OK) return ~0UL;
  if (f->C_FindObjects(h, found, 16, &n) != CKR_OK) n = ~0UL;
  (void)f->C_FindObjectsFinal(h);
  return n;
}

// A token "Podpis" made by C_InitToken on a blank model-4 card under the SO PIN
// 11223344, whose user PIN (5678) the SO has set; with `object` the user has
// stored a private data object in it.
void MakeToken(CardInit& t, bool object) {
  const CK_FUNCTION_LIST* f = t.m().list();
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Podpis", 6);
  CK_UTF8CHAR so[] = "11223344";
  ASSERT_EQ(CKR_OK, f->C_InitToken(0, so, 8, label));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_SO, so, 8));
  CK_UTF8CHAR user[] = "5678";
  ASSERT_EQ(CKR_OK, f->C_InitPIN(h, user, 4));
  ASSERT_EQ(CKR_OK, f->C_Logout(h));
  if (object) {
    ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_USER, user, 4));
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char value[] = "notatka";
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &yes, sizeof yes},
                           {CKA_VALUE, value, sizeof value - 1}};
    CK_OBJECT_HANDLE obj = 0;
    ASSERT_EQ(CKR_OK, f->C_CreateObject(h, tmpl, 4, &obj));
  }
  (void)f->C_CloseAllSessions(0);
  EXPECT_EQ(CKF_USER_PIN_INITIALIZED, t.Info(0).flags & CKF_USER_PIN_INITIALIZED);
  EXPECT_EQ("", cardimage::OpenToAnyone(t.ImageText(t.card)));
}

// After C_InitToken with the SO PIN 11223344: the user PIN has no value until
// the SO sets it, then the user logs in with it (and sees `objects` objects
// when that is not negative).
void ExpectUserPinMadeAnew(CardInit& t, long objects) {
  const CK_FUNCTION_LIST* f = t.m().list();
  EXPECT_EQ(0u, t.Info(0).flags & CKF_USER_PIN_INITIALIZED);
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  CK_UTF8CHAR user[] = "5678";
  EXPECT_NE(CKR_OK, f->C_Login(h, CKU_USER, user, 4));
  CK_UTF8CHAR so[] = "11223344";
  ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_SO, so, 8));
  CK_UTF8CHAR again[] = "6789";
  ASSERT_EQ(CKR_OK, f->C_InitPIN(h, again, 4));
  EXPECT_EQ("", cardimage::OpenToAnyone(t.ImageText(t.card)));
  ASSERT_EQ(CKR_OK, f->C_Logout(h));
  EXPECT_EQ(CKF_USER_PIN_INITIALIZED, t.Info(0).flags & CKF_USER_PIN_INITIALIZED);
  ASSERT_EQ(CKR_OK, f->C_Login(h, CKU_USER, again, 4));
  if (objects >= 0) {
    EXPECT_EQ(static_cast<CK_ULONG>(objects), CountObjects(f, h));
  }
  (void)f->C_CloseAllSessions(0);
}

const char* const kReinitFallback = "deleting all user objects";

// C_InitToken on a token that exists erases its PKCS#15 directory and builds it
// anew under the new label; a wrong SO PIN changes nothing.
TEST(ModuleCardInit, InitTokenOnAnExistingTokenBuildsItAnew) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  ASSERT_TRUE(t.Start());
  const CK_FUNCTION_LIST* f = t.m().list();
  MakeToken(t, false);
  SimControl ctl(t.sim.handle);
  ASSERT_TRUE(ctl.ok());
  ASSERT_EQ(0, ctl.clearLog(kR0));

  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Nowy", 4);
  CK_UTF8CHAR wrong[] = "00000000", so[] = "11223344";
  EXPECT_EQ(CKR_PIN_INCORRECT, f->C_InitToken(0, wrong, 8, label));
  EXPECT_EQ("Podpis", t.Label(0));
  ASSERT_EQ(CKR_OK, f->C_InitToken(0, so, 8, label));
  EXPECT_EQ("Nowy", t.Label(0));
  // The application DF went (emptied, then DELETE FILE 5015 taken) and came back.
  const std::string apdus = ctl.Log(kR0);
  EXPECT_NE(std::string::npos, apdus.find("> 00E40000025015\n< 9000")) << apdus;
  EXPECT_NE(std::string::npos, apdus.find("50044E6F777951")) << "no EF.DIR record with the label Nowy";
  EXPECT_EQ(std::string::npos, t.env.Trace().find(kReinitFallback)) << t.env.Trace();
  ExpectUserPinMadeAnew(t, 0);
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  // The card holds the new structure and names it in EF.DIR too: a module that
  // reads the card afresh finds the same token.
  ASSERT_TRUE(t.Start());
  f = t.m().list();
  EXPECT_EQ("Nowy", t.Label(0));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  CK_UTF8CHAR again[] = "6789";
  EXPECT_EQ(CKR_OK, f->C_Login(h, CKU_USER, again, 4));
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// A card error while the token's directory is erased is the result and the
// token stays whole; the next C_InitToken erases the directory with the user's
// objects in it (the card deletes the application DF with what it holds).
TEST(ModuleCardInit, InitTokenOnATokenTheCardFailsToEraseKeepsItsStructure) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  ASSERT_TRUE(t.Start());
  const CK_FUNCTION_LIST* f = t.m().list();
  MakeToken(t, true);
  SimControl ctl(t.sim.handle);
  ASSERT_TRUE(ctl.ok());
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Nowy", 4);
  CK_UTF8CHAR so[] = "11223344";
  ASSERT_EQ(0, t.sim.InjectSwOn(kR0, "00E40000", 0x6581, 0, 1));
  EXPECT_EQ(CKR_DEVICE_ERROR, f->C_InitToken(0, so, 8, label));
  EXPECT_EQ(std::string::npos, t.env.Trace().find(kReinitFallback)) << t.env.Trace();
  EXPECT_EQ("Podpis", t.Label(0));

  ASSERT_EQ(CKR_OK, f->C_InitToken(0, so, 8, label));
  EXPECT_EQ(std::string::npos, t.env.Trace().find(kReinitFallback)) << t.env.Trace();
  EXPECT_EQ("Nowy", t.Label(0));
  // The user's private data object went with the directory.
  ExpectUserPinMadeAnew(t, 0);
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}

// A token with a qualified part is never erased; its user's key, which the SO
// may not delete, would pass to the next user: C_InitToken is refused, and the
// card and the qualified part stay as they were.
TEST(ModuleCardInit, InitTokenKeepsTheQualifiedPart) {
  CardInit t(Readers{{kR0, "qualified-model3.card"}}, "");
  ASSERT_TRUE(t.Start());
  using CharacteristicsFn = CK_RV (*)(CK_SLOT_ID, CK_FLAGS*, void*);
  const CharacteristicsFn characteristics =
      t.m().fn<CharacteristicsFn>("MIRTAL_PKCS11_GetQualifiedPartCharacteristics");
  ASSERT_NE(nullptr, characteristics);
  CK_FLAGS before = 0, after = 0;
  ASSERT_EQ(CKR_OK, characteristics(0, &before, nullptr));
  ASSERT_NE(0u, before);
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "CardSim Token", 13);
  CK_UTF8CHAR so[] = "87654321";
  const std::string image = t.ImageText("qualified-model3.card");
  const CK_RV rv = t.m()->C_InitToken(0, so, 8, label);
  EXPECT_NE(std::string::npos,
            t.env.Trace().find(
                "CosmopolIC: reinit qualified token CardSim Token - can't delete qualified profile, deleting all "
                "user objects..."))
      << t.env.Trace();
  EXPECT_NE(std::string::npos,
            t.env.Trace().find("CosmopolIC: the SO PIN cannot delete the private objects of token 'CardSim Token' (2): "
                               "the card is refused as it is"))
      << t.env.Trace();
  EXPECT_EQ(CKR_FUNCTION_FAILED, rv);
  EXPECT_EQ(image, t.ImageText("qualified-model3.card"));
  ASSERT_EQ(CKR_OK, characteristics(0, &after, nullptr));
  EXPECT_EQ(before, after);
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
}


namespace {

// The VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER commands of an APDU log, whatever their class.
std::string PinCommands(const std::string& log) {
  std::string out;
  std::istringstream in(log);
  for (std::string l; std::getline(in, l);)
    if (l.rfind("> ", 0) == 0 && l.size() >= 6 && std::string(" 20 24 2C ").find(" " + l.substr(4, 2) + " ") != std::string::npos)
      out += l + "\n";
  return out;
}

}  // namespace

// Model 3, the user PIN blocked and unblocked with the right unblocking value (the SO PIN, or the PUK): a new value
// its record refuses goes nowhere, no PIN command is sent, the user PIN stays blocked and the unblocking PIN keeps its
// tries; where the card refuses the new value after it took the unblocking value alone, the user PIN's count is whole,
// its old value logs in, and the trace says so. On the shipped tokens, and on tokens made on the blank cards.
TEST(ModuleCardInit, Model3UnblockingJudgesTheNewValueByItsRecordBeforeAnyCommand) {
  const struct {
    const char* image;
    const char* unblocking;
  } rows[] = {{"pkcs15-model3.card", "87654321"}, {"pkcs15-model3-puk.card", "12345678"},
              {"blank-model3.card", "87654321"}, {"blank-model3-so-pin-16.card", "87654321"}};
  const auto u8 = [](const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.image);
    CardInit t(Readers{{kR0, row.image}}, "");
    ASSERT_TRUE(t.Start());
    const CK_FUNCTION_LIST* f = t.m().list();
    const bool made = std::string(row.image).rfind("blank", 0) == 0;
    const char* user = made ? "5678" : "1234";
    CK_SESSION_HANDLE s = 0;
    if (made) {
      CK_UTF8CHAR label[32];
      std::memset(label, ' ', sizeof label);
      ASSERT_EQ(CKR_OK, f->C_InitToken(0, u8("87654321"), 8, label));
      ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
      ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, u8("87654321"), 8));
      ASSERT_EQ(CKR_OK, f->C_InitPIN(s, u8(user), 4));
      ASSERT_EQ(CKR_OK, f->C_Logout(s));
    } else {
      ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
    }
    CK_OBJECT_HANDLE pins[4];
    CK_ULONG n = 4;
    ASSERT_EQ(CKR_OK, t.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(s, pins, &n));
    const UnblockFn unblock = t.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
    CK_RV rv = CKR_PIN_INCORRECT;
    for (int i = 0; i < 16 && rv == CKR_PIN_INCORRECT; ++i) rv = f->C_Login(s, CKU_USER, u8("9999"), 4);
    ASSERT_EQ(CKR_PIN_LOCKED, rv);
    const auto pinLines = [&] {  // every PIN of the card: values, limits and tries
      std::string out;
      std::istringstream in(t.ImageText(row.image));
      for (std::string l; std::getline(in, l);)
        if (l.rfind("pin ", 0) == 0) out += l + "\n";
      return out;
    };
    const std::string blocked = pinLines();
    for (const char* next : {"12", "123"}) {
      ASSERT_EQ(0, t.sim.ClearLog(kR0));
      EXPECT_EQ(CKR_PIN_LEN_RANGE, unblock(s, pins[0], u8(row.unblocking), 8, u8(next), std::strlen(next)));
      EXPECT_EQ("", PinCommands(t.sim.ApduLog(kR0)));
      EXPECT_EQ(blocked, pinLines()) << next;
    }
    ASSERT_EQ(0, t.sim.InjectSwOn(kR0, "002C00", 0x6700, 0, 1));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, unblock(s, pins[0], u8(row.unblocking), 8, u8("2468"), 4));
    EXPECT_NE(std::string::npos, t.env.Trace().find(": the card took the unblocking value alone, then refused the new "
                                                    "value (SC_E_INVALID_DATA_LENGTH): the PIN's count is whole, its "
                                                    "value unchanged")) << t.env.Trace();
    EXPECT_EQ(CKR_PIN_INCORRECT, f->C_Login(s, CKU_USER, u8("2468"), 4));
    EXPECT_EQ(CKR_OK, f->C_Login(s, CKU_USER, u8(user), 4));
    EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
  }
}

// On a model-4 card initialised from a profile each PIN is unblocked by its own
// PUK and never by the other one, also once the module has read the token anew;
// a token initialised anew keeps no user PUK: the user PIN that the SO sets
// reports it missing, and the previous PUK unblocks nothing.
TEST(ModuleCardInit, Model4PinsAreUnblockedByTheirOwnPuks) {
  CardInit t(Readers{{kR0, "blank-model4.card"}}, "");
  t.Profile("OutputPinFile = " + t.out +
            "\nSoPin = 11223344\nSoPuk = 55667788\n[Podpis]\nUserPin = 1111\nUserPuk = 22223333\n");
  ASSERT_TRUE(t.Start());
  ASSERT_EQ(1, t.Initialize(kR0)) << t.LastError();
  const auto u8 = [](const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.c_str())); };
  // Blocks a PIN with wrong values, tries the other PUK, then unblocks it with its own to `next`.
  const auto blockAndUnblock = [&](CK_SESSION_HANDLE s, CK_USER_TYPE user, const std::string& pin,
                                   const std::string& puk, const std::string& otherPuk, const std::string& next) {
    SCOPED_TRACE(user == CKU_SO ? "SO PIN" : "user PIN");
    const CK_FUNCTION_LIST* f = t.m().list();
    const PinListFn pinList = t.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList");
    const UnblockFn unblock = t.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin");
    ASSERT_TRUE(pinList && unblock);
    CK_OBJECT_HANDLE pins[4];
    CK_ULONG n = 4;
    ASSERT_EQ(CKR_OK, pinList(s, pins, &n));
    ASSERT_EQ(2u, n);  // the user PIN, then the officer's
    const CK_OBJECT_HANDLE h = pins[user == CKU_SO ? 1 : 0];
    CK_RV rv = CKR_PIN_INCORRECT;
    for (int i = 0; i < 16 && rv == CKR_PIN_INCORRECT; ++i) rv = f->C_Login(s, user, u8("9999"), 4);
    EXPECT_EQ(CKR_PIN_LOCKED, rv);
    EXPECT_EQ(CKR_PIN_LOCKED, f->C_Login(s, user, u8(pin), pin.size()));
    // A new value too short for the PIN's record goes nowhere: the PIN stays blocked.
    ASSERT_EQ(0, t.sim.ClearLog(kR0));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, unblock(s, h, u8(puk), puk.size(), u8("123"), 3));
    EXPECT_EQ("", PinCommands(t.sim.ApduLog(kR0)));
    EXPECT_EQ(CKR_PIN_LOCKED, f->C_Login(s, user, u8(pin), pin.size()));
    EXPECT_EQ(CKR_PIN_INCORRECT, unblock(s, h, u8(otherPuk), otherPuk.size(), u8(next), next.size()));
    EXPECT_EQ(CKR_OK, unblock(s, h, u8(puk), puk.size(), u8(next), next.size()));
    EXPECT_EQ(CKR_OK, f->C_Login(s, user, u8(next), next.size()));
    EXPECT_EQ(CKR_OK, f->C_Logout(s));
  };
  const CK_FUNCTION_LIST* f = t.m().list();
  CK_SESSION_HANDLE s = 0;
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "token as initialised" : "token read anew");
    if (pass == 1) {
      ASSERT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));
      ASSERT_TRUE(t.Start());
      f = t.m().list();
    }
    ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
    blockAndUnblock(s, CKU_USER, pass == 0 ? "1111" : "4444", "22223333", "55667788", pass == 0 ? "4444" : "1111");
    blockAndUnblock(s, CKU_SO, pass == 0 ? "11223344" : "44332211", "55667788", "22223333",
                    pass == 0 ? "44332211" : "11223344");
    ASSERT_EQ(CKR_OK, f->C_CloseSession(s));
  }

  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Nowy", 4);
  ASSERT_EQ(CKR_OK, f->C_InitToken(0, u8("11223344"), 8, label));
  EXPECT_EQ(0u, t.Info(0).flags & CKF_USER_PIN_INITIALIZED);
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, u8("11223344"), 8));
  ASSERT_EQ(CKR_OK, f->C_InitPIN(s, u8("7777"), 4));
  EXPECT_EQ("", cardimage::OpenToAnyone(t.ImageText(t.card)));
  ASSERT_EQ(CKR_OK, f->C_Logout(s));
  using PinStatusFn = CK_RV (*)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR);
  CK_OBJECT_HANDLE pins[4];
  CK_ULONG n = 4, status = 0;
  ASSERT_EQ(CKR_OK, t.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(s, pins, &n));
  // The SO PIN unblocks it: no PUK is named, none missing.
  EXPECT_EQ(CKR_OK, t.m().fn<PinStatusFn>("MIRTAL_PKCS11_GetPinStatus")(s, pins[0], &status));
  EXPECT_EQ(3u, status);
  EXPECT_NE(CKR_OK, t.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin")(s, pins[0], u8("22223333"), 8, u8("8888"), 4));
  EXPECT_EQ(CKR_PIN_INCORRECT, f->C_Login(s, CKU_USER, u8("8888"), 4));
  EXPECT_EQ(CKR_OK, f->C_Login(s, CKU_USER, u8("7777"), 4));
  EXPECT_EQ(CKR_OK, t.m()->C_Finalize(nullptr));

  // A user PIN whose record asks for six characters: five, which the card's own limit allows, go nowhere either.
  CardInit six(Readers{{kR0, "blank-model4.card"}}, "");
  six.Profile("OutputPinFile = " + six.out + "\nSoPin = 11223344\nUserPinMinLen = 6\n[Podpis]\nUserPin = 111111\nUserPuk = 22223333\n");
  ASSERT_TRUE(six.Start());
  ASSERT_EQ(1, six.Initialize(kR0)) << six.LastError();
  f = six.m().list();
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
  for (int i = 0; i < 3; ++i) EXPECT_NE(CKR_OK, f->C_Login(s, CKU_USER, u8("999999"), 6));
  ASSERT_EQ(CKR_PIN_LOCKED, f->C_Login(s, CKU_USER, u8("111111"), 6));
  ASSERT_EQ(CKR_OK, six.m().fn<PinListFn>("MIRTAL_PKCS11_GetPinList")(s, pins, &n));
  ASSERT_EQ(0, six.sim.ClearLog(kR0));
  EXPECT_EQ(CKR_PIN_LEN_RANGE, six.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin")(s, pins[0], u8("22223333"), 8, u8("12345"), 5));
  EXPECT_EQ("", PinCommands(six.sim.ApduLog(kR0)));
  EXPECT_EQ(CKR_PIN_LOCKED, f->C_Login(s, CKU_USER, u8("111111"), 6));
  EXPECT_EQ(CKR_OK, six.m().fn<UnblockFn>("MIRTAL_PKCS11_UnblockPin")(s, pins[0], u8("22223333"), 8, u8("123456"), 6));
  EXPECT_EQ(CKR_OK, f->C_Login(s, CKU_USER, u8("123456"), 6));
  EXPECT_EQ(CKR_OK, six.m()->C_Finalize(nullptr));
}
