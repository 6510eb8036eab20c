// A card that answered as a PKCS#15 token never misreports what happened to
// it: a read that fails after another application reset the card, or after the
// card went mute inside a command chain, is answered with the failure, and the
// next call reads the card again; a directory that cannot be read fails the
// search; a write that meets a reset by another application reconnects and
// finishes or takes back what the call made. The card's image is compared after
// every failed call, the simulator's log shows that each fault fired.
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/openssl_key.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;
using cardimage::Comparable;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kCard = "pkcs15-model3.card";
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
CK_UTF8CHAR kUserPin[] = "1234";
CK_UTF8CHAR kSoPin[] = "87654321";
// The simulator's events right after a command.
const int kAfterRemove = 1;
const int kAfterResetByOther = 2;
const int kAfterMute = 3;

// A module over one simulated reader holding the PKCS#15 model-3 card (or `card`, configured with `config`).
struct Host {
  const char* card;
  SimEnv env;
  std::string pristine;
  CardSim sim;
  Module m;
  explicit Host(const char* card_ = kCard, const std::string& config = "")
      : card(card_), env(Readers{{kR0, card}}), pristine((env.Config(config), ReadFile(env.Card(card)))) {}
  // The simulator reads this host's configuration again: one process runs several hosts.
  bool Start() { return sim.ok() && sim.LoadConfig(nullptr) == 0 && m.ok() && m->C_Initialize(nullptr) == CKR_OK; }
  ~Host() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  std::vector<CK_OBJECT_HANDLE> All(CK_SESSION_HANDLE s) {
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(CKR_OK, FindAll(m.list(), s, TestTemplate(), &out));
    return out;
  }
  // A read-write session with the user logged in (0 when that fails).
  CK_SESSION_HANDLE User() {
    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE key = 0;
    return OpenUserSession(m, 0, &s, &key) ? s : 0;
  }
  // The card image once the module let go of it, without the PINs' remaining tries.
  std::string FinalImage() {
    EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
    EXPECT_EQ(0, sim.Remove(kR0));
    return Comparable(ReadFile(env.Card(card)));
  }
  std::string Pristine() const { return Comparable(pristine); }
};

// The token as it was: its label and flags, the user logs in, finds every
// object and signs.
void ExpectTokenIntact(Host& h, size_t objects) {
  const Module& m = h.m;
  CK_TOKEN_INFO ti;
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(Padded("CardSim Token", 32), Field(ti.label, 32));
  EXPECT_EQ(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED,
            ti.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED));
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  EXPECT_EQ(objects, h.All(s).size());
  std::vector<CK_BYTE> sig;
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s));
}

size_t CountObjects(Host& h) {
  const CK_SESSION_HANDLE s = h.User();
  const size_t n = h.All(s).size();
  EXPECT_EQ(CKR_OK, h.m->C_CloseSession(s));
  return n;
}

}  // namespace

// Another application resets the card and the module's first selection after
// it gets an error answer: the call that reads answers the failure, the token
// is never taken as blank, and the next call finds it whole.
TEST(ModuleReadFaults, FailedReadAfterResetByOtherIsReportedAndReadAgain) {
  struct Case {
    unsigned sw;
    const char* call;
  };
  const Case cases[] = {{0x6F00, "C_GetTokenInfo"}, {0x6581, "C_GetTokenInfo"}, {0x6883, "C_GetTokenInfo"},
                        {0x6F00, "C_OpenSession"},  {0x6581, "C_Login"},        {0x6883, "C_InitToken"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Fmt("%04X before %s", c.sw, c.call));
    Host h;
    ASSERT_TRUE(h.Start()) << h.m.error();
    const Module& m = h.m;
    const size_t objects = CountObjects(h);
    ASSERT_EQ(4u, objects);
    CK_SESSION_HANDLE s = 0;
    if (std::string(c.call) == "C_Login") {
      ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
    }

    ASSERT_EQ(0, h.sim.ResetByOther(kR0));
    ASSERT_EQ(0, h.sim.ClearLog(kR0));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, 0xA4, c.sw, 1));
    CK_RV rv;
    CK_TOKEN_INFO ti;
    CK_UTF8CHAR label[32];
    memset(label, ' ', sizeof label);
    const std::string call = c.call;
    if (call == "C_GetTokenInfo") rv = m->C_GetTokenInfo(0, &ti);
    else if (call == "C_OpenSession") rv = m->C_OpenSession(0, kRw, nullptr, nullptr, &s);
    else if (call == "C_Login") rv = m->C_Login(s, CKU_USER, kUserPin, 4);
    else rv = m->C_InitToken(0, kSoPin, 8, label);
    const std::string log = h.sim.ApduLog(kR0);
    // The first answer after the reset was the fault, to a selection.
    EXPECT_EQ(0u, log.find("> 00A4")) << log;
    EXPECT_NE(std::string::npos, log.find(Fmt("< %04X", c.sw))) << log;
    EXPECT_EQ(log.find("< "), log.find(Fmt("< %04X", c.sw))) << log;
    EXPECT_EQ(CKR_DEVICE_ERROR, rv) << std::hex << rv;
    EXPECT_EQ(std::string::npos, log.find("> 00E0")) << "nothing was created:\n" << log;
    EXPECT_EQ(std::string::npos, log.find("> 00D6")) << "nothing was written:\n" << log;
    EXPECT_EQ(std::string::npos, log.find("> 00E4")) << "nothing was deleted:\n" << log;

    ExpectTokenIntact(h, objects);
    EXPECT_EQ(h.Pristine(), h.FinalImage());
  }
}

// The card goes mute after the first part of a chained decipherment. The user's
// login holds PIN 81 there, so once the card answers again the next call
// disconnects with a reset before it reads the card anew: the chain goes with
// it, and the token reads whole, never blank.
TEST(ModuleReadFaults, CardMuteInsideAChainIsNotTakenAsBlank) {
  Host h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  const size_t objects = CountObjects(h);
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  CK_MECHANISM mech = {CKM_RSA_X_509, nullptr, 0};
  ASSERT_EQ(CKR_OK, m->C_DecryptInit(s, &mech, key));
  std::vector<CK_BYTE> in(256, 0x11), out(256);
  CK_ULONG len = out.size();
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  ASSERT_EQ(0, h.sim.AfterCommand(kR0, 0x2A, kAfterMute));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_Decrypt(s, in.data(), in.size(), out.data(), &len));
  std::string log = h.sim.ApduLog(kR0);
  ASSERT_NE(std::string::npos, log.find("> 102A")) << log;
  ASSERT_NE(std::string::npos, log.find("# mute")) << log;

  ASSERT_EQ(0, h.sim.SetMute(kR0, 0));
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  log = h.sim.ApduLog(kR0);
  EXPECT_EQ(0u, log.find("# reset\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("< 6883")) << log;
  ExpectTokenIntact(h, objects);
  EXPECT_EQ(h.Pristine(), h.FinalImage());
}

// The card goes mute while the module reads its structure after a reset by
// another application: the token is not recognised while the card is mute (as
// any mute card), never blank, and is whole again once the card answers.
TEST(ModuleReadFaults, CardMuteWhileItsStructureIsReadIsNotTakenAsBlank) {
  Host h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  const size_t objects = CountObjects(h);
  ASSERT_EQ(0, h.sim.ResetByOther(kR0));
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  ASSERT_EQ(0, h.sim.AfterCommand(kR0, 0xA4, kAfterMute));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(0, &ti));
  EXPECT_NE(Padded("MIRTAL", 32), Field(ti.label, 32));
  const std::string log = h.sim.ApduLog(kR0);
  ASSERT_EQ(0u, log.find("> 00A4")) << log;
  ASSERT_NE(std::string::npos, log.find("# mute")) << log;
  CK_UTF8CHAR label[32];
  memset(label, ' ', sizeof label);
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_InitToken(0, kSoPin, 8, label));
  ASSERT_EQ(0, h.sim.SetMute(kR0, 0));
  ExpectTokenIntact(h, objects);
  EXPECT_EQ(h.Pristine(), h.FinalImage());
}

// The first search after the login reads the directories; the card fails the
// reading of one of them (the private keys' 4402, or the certificates' 4404):
// the search answers the failure instead of a shorter list, and the next
// search finds every object.
TEST(ModuleReadFaults, UnreadableDirectoryFailsTheSearch) {
  struct Case {
    unsigned sw;
    int skip;  // READ BINARY commands that run before the one refused
    const char* select;
    CK_OBJECT_CLASS cls;  // ~0: every object
  };
  const Case cases[] = {{0x6581, 0, "> 00A40804045015440200", ~0ul},
                        {0x6F00, 0, "> 00A40804045015440200", CKO_PRIVATE_KEY},
                        {0x6400, 8, "> 00A40804045015440400", ~0ul}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Fmt("%04X after %d reads", c.sw, c.skip));
    Host h;
    ASSERT_TRUE(h.Start()) << h.m.error();
    const Module& m = h.m;
    // Logged in without a search: the search below is the first to read the directories.
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
    ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, kUserPin, 4));
    TestTemplate t;
    if (c.cls != ~0ul) t.Ulong(CKA_CLASS, c.cls);
    ASSERT_EQ(0, h.sim.ClearLog(kR0));
    ASSERT_EQ(0, h.sim.InjectSwAfter(kR0, 0xB0, c.sw, c.skip, 1));
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(CKR_DEVICE_ERROR, FindAll(m.list(), s, t, &found));
    EXPECT_TRUE(found.empty());
    const std::string log = h.sim.ApduLog(kR0);
    const size_t at = log.find(c.select);
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(at, log.rfind(c.select)) << log;
    // A directory is read whole, from its start.
    EXPECT_NE(std::string::npos, log.find(Fmt("> 00B0000000\n< %04X", c.sw), at)) << log;
    // The search is over: a new one may begin, and reads the directory again.
    ASSERT_EQ(CKR_OK, FindAll(m.list(), s, t, &found));
    EXPECT_EQ(c.cls == ~0ul ? 4u : 1u, found.size());
    EXPECT_EQ(h.Pristine(), h.FinalImage());
  }
}

// A read of a key's public part that fails answers that request with an error; the next reads again and answers the
// card's value. Over the secure channel the private key's is read from the key (SELECT of 4B01, READ PUBLIC KEY, GET
// RESPONSE: one refused at each); on the shipped token the public key's from its file 5501.
TEST(ModuleReadFaults, FailedReadOfAKeysPublicPartIsReadAgain) {
  struct Row { const char* card; CK_OBJECT_CLASS cls; unsigned ins; int skip; unsigned sw; };
  std::vector<Row> rows = {{kCard, CKO_PUBLIC_KEY, 0xB0, 0, 0x6581}};
  for (int k = 0; k < 3; ++k)
    for (unsigned sw : {0x6987u, 0x6988u, 0x6581u, 0x6A82u})
      rows.push_back({"ias-dh-channel.card", CKO_PRIVATE_KEY, 0x100, k, sw});
  for (const Row& row : rows) {
    SCOPED_TRACE(Fmt("%s: %04X at command %d", row.card, row.sw, row.skip));
    Host h(row.card, row.cls == CKO_PUBLIC_KEY ? "" : "EnableSecureMessaging = 1\nPKCS15Flags = 0x8000600\n");
    CK_SESSION_HANDLE s = 0, key = 0;
    ASSERT_TRUE(h.Start() && OpenUserSession(h.m, 0, &s, &key)) << h.m.error();
    key = FindOne(h.m, s, row.cls);
    std::vector<CK_BYTE> value(512);
    CK_ATTRIBUTE a = {CKA_MODULUS, value.data(), value.size()};
    ASSERT_EQ(0, h.sim.ClearLog(kR0) + h.sim.InjectSwAfter(kR0, row.ins, row.sw, row.skip, 1));
    EXPECT_NE(CKR_OK, h.m->C_GetAttributeValue(s, key, &a, 1));
    const std::string log = h.sim.ApduLog(kR0), image = ReadFile(h.env.Card(row.card));
    EXPECT_TRUE(log.find(Fmt("< %04X", row.sw)) != std::string::npos && (row.ins != 0x100 || !log.find("> 0CA4"))) << log;
    a.ulValueLen = value.size();
    ASSERT_EQ(CKR_OK, h.m->C_GetAttributeValue(s, key, &a, 1)) << h.sim.ApduLog(kR0);
    std::string got;  // the modulus in the image's hex
    for (CK_ULONG i = 0; i < a.ulValueLen; ++i) got += Fmt("%02X", value[i]);
    const size_t n = image.find(" n=", image.find("\nkey 3F00/5015/4B01 ")) + 3;
    EXPECT_EQ(image.substr(n, image.find(' ', n) - n), got);
  }
}

namespace {

enum Write { kCreateData, kGenerateKeyPair, kRenameData };

// One write of the user's on the token (a rename renames the data object
// `renamed`); CKR_OK or its failure.
CK_RV DoWrite(const Module& m, CK_SESSION_HANDLE s, Write w, const std::string& label = "Written",
              CK_OBJECT_HANDLE renamed = CK_INVALID_HANDLE) {
  if (w == kCreateData) {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bytes(CKA_LABEL, label).Bytes(CKA_VALUE, "payload");
    CK_OBJECT_HANDLE h = 0;
    return m->C_CreateObject(s, TT_ARGS(t), &h);
  }
  if (w == kGenerateKeyPair) {
    TestTemplate pub, prv;
    pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_TOKEN, true).Bool(CKA_VERIFY, true).Ulong(CKA_MODULUS_BITS, 2048);
    pub.Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3)).Bytes(CKA_ID, "\x42").Bytes(CKA_LABEL, label);
    prv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
    prv.Bytes(CKA_ID, "\x42").Bytes(CKA_LABEL, label);
    CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE a = 0, b = 0;
    return m->C_GenerateKeyPair(s, &gen, TT_ARGS(pub), TT_ARGS(prv), &a, &b);
  }
  TestTemplate t;
  t.Bytes(CKA_LABEL, label);
  return m->C_SetAttributeValue(s, renamed, TT_ARGS(t));
}

// The kind and path of every file of an image (keys generated anew differ in value only).
std::vector<std::string> Files(const std::string& image) {
  std::vector<std::string> out;
  std::istringstream in(image);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, path;
    words >> kind >> path;
    if (kind == "df" || kind == "ef" || kind == "key" || kind == "pin") out.push_back(kind + " " + path);
  }
  return out;
}

// The card image after the write made without any fault.
std::string ImageAfterCleanWrite(Write w) {
  Host h;
  EXPECT_TRUE(h.Start()) << h.m.error();
  const CK_SESSION_HANDLE s = h.User();
  EXPECT_EQ(CKR_OK, DoWrite(h.m, s, w, "Written", FindOne(h.m, s, CKO_DATA)));
  return h.FinalImage();
}

}  // namespace

// Another application resets the card between two commands of a write: the
// module takes the card back (the user PIN verified again, the file selected
// again) and goes on. Without a further fault the write finishes and reports
// success, and the card holds what the same write makes without the reset, no
// file more; a step the card then refuses is taken back as without the reset,
// and the card is as it was.
TEST(ModuleReadFaults, WriteMeetingAResetByOtherIsFinishedOrTakenBack) {
  struct Case {
    Write write;
    unsigned resetAfter;  // the reset comes right after the first command with this INS
    int refusedWrite;     // UPDATE BINARY commands that run before the card refuses them (6581); -1: none
    int skip = 0;         // commands with that INS let through before the one the reset follows
    const char* after = nullptr;  // the command that the reset follows, when the case is about it
  };
  const Case cases[] = {{kCreateData, 0xE0, -1},     {kCreateData, 0xD6, -1}, {kGenerateKeyPair, 0x46, -1},
                        {kGenerateKeyPair, 0xE0, -1}, {kRenameData, 0xA4, -1},
                        // the directory read again just before its one update
                        {kRenameData, 0xB0, -1, 3, "> 00B0030000"},
                        {kCreateData, 0xE0, 1},       {kGenerateKeyPair, 0x46, 2},
                        // the directory's reading meets the reset (its spare was looked for
                        // earlier in the card session, and is again in the next)
                        {kCreateData, 0xA4, -1, 2, "> 00A40804045015440500"}};
  const size_t added[] = {1, 2, 0};  // objects each write adds
  for (const Case& c : cases) {
    SCOPED_TRACE(Fmt("write %d, reset after INS %02X, refused %d", c.write, c.resetAfter, c.refusedWrite));
    const bool refused = c.refusedWrite >= 0;
    const std::string expected = refused ? std::string() : ImageAfterCleanWrite(c.write);
    Host h;
    ASSERT_TRUE(h.Start()) << h.m.error();
    const Module& m = h.m;
    CK_SESSION_HANDLE s = h.User();
    const size_t before = h.All(s).size();
    const CK_OBJECT_HANDLE data = FindOne(m, s, CKO_DATA);
    ASSERT_EQ(0, h.sim.ClearLog(kR0));
    const auto afterCommands = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(
        dlsym(h.sim.handle, "CardSimAfterCommands"));
    ASSERT_NE(nullptr, afterCommands);
    ASSERT_EQ(0, afterCommands(kR0, c.resetAfter, kAfterResetByOther, c.skip));
    if (refused) {
      ASSERT_EQ(0, h.sim.InjectSwAfter(kR0, 0xD6, 0x6581, c.refusedWrite, 8));
    }
    EXPECT_EQ(refused ? CKR_DEVICE_ERROR : CKR_OK, DoWrite(m, s, c.write, "Written", data));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, 0xD6, 0x9000, 0));
    const std::string log = h.sim.ApduLog(kR0);
    const size_t at = log.find("# reset by another application");
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_NE(std::string::npos, log.find("> 0020008108", at)) << "the user PIN verified again:\n" << log;
    if (c.after) {
      EXPECT_EQ(log.rfind(c.after, at), log.rfind("> ", at)) << log;
    }
    if (refused) {
      EXPECT_NE(std::string::npos, log.find("< 6581", at)) << log;
    }

    // The session went with the reset; a new one finds what the card holds.
    CK_SESSION_INFO si;
    EXPECT_NE(CKR_OK, m->C_GetSessionInfo(s, &si));
    s = h.User();
    EXPECT_EQ(before + (refused ? 0 : added[c.write]), h.All(s).size());
    const std::string image = h.FinalImage();
    if (refused)
      EXPECT_EQ(h.Pristine(), image);
    else if (c.write == kGenerateKeyPair)
      EXPECT_EQ(Files(expected), Files(image));  // the keys differ
    else
      EXPECT_EQ(expected, image);
  }
}

// A card pulled in the middle of a creation keeps the file made so far: no
// record names it, the next calls never list it, and the next creation works.
TEST(ModuleReadFaults, FileLeftByAPulledCardIsNeverListed) {
  Host h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE s = h.User();
  const size_t before = h.All(s).size();
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  ASSERT_EQ(0, h.sim.AfterCommand(kR0, 0xE0, kAfterRemove));
  EXPECT_EQ(CKR_DEVICE_REMOVED, DoWrite(m, s, kCreateData, "Lost"));
  ASSERT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 00E0"));
  ASSERT_NE(std::string::npos, h.sim.ApduLog(kR0).find("# removed"));
  ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card(kCard).c_str()));
  s = h.User();
  EXPECT_EQ(before, h.All(s).size());
  EXPECT_EQ(CKR_OK, DoWrite(m, s, kCreateData, "Kept"));
  for (const char* label : {"Kept", "Lost"}) {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_LABEL, label);
    EXPECT_EQ(std::string(label) == "Kept" ? 1u : 0u, Find(m, s, t).size()) << label;
  }
  EXPECT_EQ(before + 1, h.All(s).size());
}

namespace {

// The administrator's and the user's writes that change the token itself.
enum TokenWrite { kChangePin, kSoSetsUserPin, kRelabel };

const char* TokenWriteName(TokenWrite w) {
  switch (w) {
    case kChangePin: return "C_SetPIN";
    case kSoSetsUserPin: return "C_InitPIN";
    default: return "C_InitToken with a new label";
  }
}

// The write on a fresh module, the fault armed once the caller is logged in
// (`arm`); CKR_OK or its failure.
CK_RV DoTokenWrite(const Module& m, TokenWrite w, const std::function<void()>& arm) {
  CK_UTF8CHAR newPin[] = "5678";
  CK_SESSION_HANDLE s = 0;
  if (w == kRelabel) {
    std::vector<CK_UTF8CHAR> label(32, ' ');
    std::memcpy(label.data(), "Nowa", 4);
    arm();
    return m->C_InitToken(0, kSoPin, 8, label.data());
  }
  CK_RV rv = m->C_OpenSession(0, kRw, nullptr, nullptr, &s);
  if (rv == CKR_OK) rv = w == kChangePin ? m->C_Login(s, CKU_USER, kUserPin, 4) : m->C_Login(s, CKU_SO, kSoPin, 8);
  if (rv != CKR_OK) return rv;
  arm();
  rv = w == kChangePin ? m->C_SetPIN(s, kUserPin, 4, newPin, 4) : m->C_InitPIN(s, newPin, 4);
  (void)m->C_CloseAllSessions(0);
  return rv;
}

// Whether the token holds the change: the new user PIN logs in, or the new label.
bool HoldsTokenWrite(const Module& m, TokenWrite w) {
  if (w == kRelabel) {
    CK_TOKEN_INFO ti;
    return m->C_GetTokenInfo(0, &ti) == CKR_OK && Field(ti.label, 32) == Padded("Nowa", 32);
  }
  CK_UTF8CHAR newPin[] = "5678";
  CK_SESSION_HANDLE s = 0;
  CK_RV rv = m->C_OpenSession(0, kRw, nullptr, nullptr, &s);
  if (rv == CKR_OK) rv = m->C_Login(s, CKU_USER, newPin, 4);
  (void)m->C_CloseAllSessions(0);
  return rv == CKR_OK;
}

using AfterCommandsFn = int (*)(const char*, unsigned, int, int);

}  // namespace

// Another application resets the card right after each command of a PIN change,
// of the SO setting the user PIN and of a new label: a write the reset met
// (its first card write already sent) goes on after the module took the card
// back and answers CKR_OK with the change on the card; a call the reset met
// before it wrote anything may fail, with the card as it was.
TEST(ModuleReadFaults, TokenWriteMeetingAResetByOtherIsFinishedOrChangesNothing) {
  const char* const kWrites[] = {"\n> 00D6", "\n> 00E0", "\n> 00E4", "\n> 0024", "\n> 002C", "\n> 00DA", "\n> 00DB"};
  for (TokenWrite w : {kChangePin, kSoSetsUserPin, kRelabel}) {
    SCOPED_TRACE(TokenWriteName(w));
    int fired = 0, finished = 0;
    for (int k = 0; k < 400; ++k) {
      SCOPED_TRACE(k);
      Host h;
      ASSERT_TRUE(h.Start()) << h.m.error();
      const auto after = reinterpret_cast<AfterCommandsFn>(dlsym(h.sim.handle, "CardSimAfterCommands"));
      ASSERT_NE(nullptr, after);
      const CK_RV rv = DoTokenWrite(h.m, w, [&] {
        ASSERT_EQ(0, h.sim.ClearLog(kR0));
        ASSERT_EQ(0, after(kR0, 0x100, kAfterResetByOther, k));
      });
      const std::string log = h.sim.ApduLog(kR0);
      const size_t at = log.find("# reset by another application");
      if (at == std::string::npos) {
        // Past the last command: the write went through without a fault.
        EXPECT_EQ(CKR_OK, rv) << log;
        break;
      }
      ++fired;
      // The call is inside its write once it sent a write command; a PIN change
      // once it sent any command (it reads nothing before; the SO's C_InitPIN
      // looks at the token first).
      bool inside = w == kChangePin && log.find("\n> ") < at;
      for (const char* ins : kWrites) inside = inside || log.find(ins) < at;
      if (inside) {
        EXPECT_EQ(CKR_OK, rv) << log;
      }
      if (rv == CKR_OK) {
        ++finished;
        EXPECT_TRUE(HoldsTokenWrite(h.m, w)) << log;
        EXPECT_NE(h.Pristine(), h.FinalImage());
      } else {
        EXPECT_FALSE(HoldsTokenWrite(h.m, w)) << log;
        EXPECT_EQ(h.Pristine(), h.FinalImage()) << "rv " << rv << "\n" << log;
      }
      if (HasFailure()) return;
    }
    EXPECT_GT(fired, 1);
    EXPECT_GT(finished, 1);
  }
}

namespace {

// A private key to import, made by OpenSSL.
CK_RV ImportKey(const Module& m, CK_SESSION_HANDLE s, std::vector<std::vector<CK_BYTE>>& parts) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE type = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  CK_BYTE id[] = {0x44};
  std::vector<CK_ATTRIBUTE> t = WithRsaKeyParts({{CKA_CLASS, &cls, sizeof cls},
                                                 {CKA_KEY_TYPE, &type, sizeof type},
                                                 {CKA_TOKEN, &yes, sizeof yes},
                                                 {CKA_PRIVATE, &yes, sizeof yes},
                                                 {CKA_SIGN, &yes, sizeof yes},
                                                 {CKA_ID, id, 1}},
                                                parts);
  CK_OBJECT_HANDLE h = 0;
  return m->C_CreateObject(s, t.data(), t.size(), &h);
}

}  // namespace

// The card refuses every UPDATE BINARY from the n-th of a creation, a key pair
// generation or a key import on, so that a directory the call wrote cannot be
// written back either: the call fails, and whatever the card keeps, no
// directory record names a file or key that is not there (what was made stays
// where a record may name it).
TEST(ModuleReadFaults, WriteWhoseDirectoryCannotBeWrittenBackKeepsTheFilesItNames) {
  std::vector<std::vector<CK_BYTE>> key = OpenSslRsaKey(1024);
  ASSERT_EQ(8u, key.size());
  const char* const kWrites[] = {"data object", "key pair", "imported key"};
  for (int w = 0; w < 3; ++w) {
    SCOPED_TRACE(kWrites[w]);
    const auto write = [&](Host& h, CK_SESSION_HANDLE s) {
      return w == 2 ? ImportKey(h.m, s, key) : DoWrite(h.m, s, w == 0 ? kCreateData : kGenerateKeyPair);
    };
    size_t updates = 0;
    {
      Host h;
      ASSERT_TRUE(h.Start()) << h.m.error();
      const CK_SESSION_HANDLE s = h.User();
      ASSERT_EQ(0, h.sim.ClearLog(kR0));
      ASSERT_EQ(CKR_OK, write(h, s));
      const std::string log = h.sim.ApduLog(kR0);
      for (size_t at = log.find("> 00D6"); at != std::string::npos; at = log.find("> 00D6", at + 1)) ++updates;
    }
    ASSERT_GE(updates, 1u);
    for (size_t n = 0; n < updates; ++n) {
      SCOPED_TRACE(Fmt("UPDATE BINARY refused from the %zu-th on", n + 1));
      Host h;
      ASSERT_TRUE(h.Start()) << h.m.error();
      const CK_SESSION_HANDLE s = h.User();
      ASSERT_EQ(0, h.sim.InjectSwAfter(kR0, 0xD6, 0x6581, static_cast<int>(n), 100));
      EXPECT_NE(CKR_OK, write(h, s));
      ASSERT_EQ(0, h.sim.InjectSw(kR0, 0xD6, 0x9000, 0));
      (void)h.FinalImage();
      const cardimage::DirectoryCheck c = cardimage::CheckDirectories(h.env.Card(kCard));
      EXPECT_TRUE(c.missing.empty()) << c.missing.front();
      EXPECT_TRUE(c.torn.empty()) << c.torn.front();
    }
  }
}
