// Cards that work only over a secure channel, through the exported functions
// on simulated cards: the personalisation agent logging in with the system key
// of a not-activated IAS-ECC card (its Base64 text, the key's length, keys
// that are not the card's, the token as the agent sees it, the logout ending
// the channel); the same key given as token data making the card readable
// before its activation; and a card whose TokenInfo names a Diffie-Hellman
// group used over secure messaging (after a reset, a logout, an edited TokenInfo,
// a re-initialisation, one pulled at each of its commands and a card swapped
// for another of the same ATR too), or refusing its PINs without it; a card that
// holds the key of the key agreement getting no PIN in the clear whatever its
// TokenInfo or one answer at first contact says.
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/token_check.h"
#include "tests/pkcs11impl/token_rig.h"
#include "tests/pkcs11impl/p11test_template.h"
#include "tools/cardsim/cardsim.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRo = CKF_SERIAL_SESSION;
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
CK_UTF8CHAR kUserPin[] = "1234";
CK_UTF8CHAR kSoPin[] = "87654321";
const std::string kDhConfig = "EnableSecureMessaging = 1\nPKCS15Flags = 0x8000600\n";
// The generated cards' GlobalPlatform key set ENC || MAC || DEK (tools/cardsim/README.md) in Base64,
// split over lines as a key file holds it.
const std::string kSystemKeyText = "QEFCQ0RFRkdISUpLTE1OT1BR\r\n  UlNUVVZXWFlaW1xdXl9g\n\tYWJjZGVmZ2hpamtsbW5v\n";

// Forms of the sample card a row may ask for (InForm).
const std::string kNoLifeCycle = "no life-cycle byte", kIssuersFile = "an issuer's file at the copy's place",
                  kOpenMf = "a master file anyone may create in";
const std::string kIssuersD015 =
    "ef 3F00/D015 lcs=05 size=16 ac=read:always,update:pin:04,delete:pin:04 data=00000000000000000000000000000000";
std::string InForm(const std::string& form, std::string text) {
  if (form == kNoLifeCycle) return text.insert(text.find("\nmemory ") + 1, "fcp-lcs 0\n");
  if (form == kIssuersFile) return text + kIssuersD015 + "\n";
  const std::string mf = "create-ef:pin:04,create-df:pin:04";  // the master file's rules
  return form != kOpenMf ? text : text.replace(text.find(mf), mf.size(), "create-ef:always,create-df:always");
}

struct ChannelHost {
  SimEnv env;
  bool configured;
  CardSim sim;
  Module m;
  CK_RV (*getData)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR);
  CK_RV (*setData)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG);
  CK_SESSION_HANDLE s = 0;
  // `edit` gives the card's image the form a row asks for, before the simulator reads it.
  explicit ChannelHost(const std::string& card, const std::string& extra = "",
                       const std::function<std::string(std::string)>& edit = nullptr)
      : env(Readers{{kR0, card}}),
        configured((env.Config(extra), edit ? WriteFile(env.Card(card), edit(ReadFile(env.Card(card)))) : void(), true)),
        getData(m.fn<decltype(getData)>("MIRTAL_PKCS11_GetTokenData")),
        setData(m.fn<decltype(setData)>("MIRTAL_PKCS11_SetTokenData")) {}
  bool Start(CK_FLAGS flags = kRw) {
    return configured && sim.ok() && m.ok() && getData && setData && m->C_Initialize(nullptr) == CKR_OK &&
           m->C_OpenSession(0, flags, nullptr, nullptr, &s) == CKR_OK;
  }
  ~ChannelHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  // A boolean token datum; -1 when it cannot be read.
  int Bool(CK_ATTRIBUTE_TYPE type) {
    CK_BBOOL b = 0x55;
    CK_ULONG len = 1;
    return getData(s, type, &b, &len) == CKR_OK ? b : -1;
  }
  CK_RV AgentLogin(const std::string& text) {
    return m->C_Login(s, CKU_MIRTAL_PERSONALIZATION_AGENT,
                      reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data())), text.size());
  }
  CK_STATE State() {
    CK_SESSION_INFO si;
    return m->C_GetSessionInfo(s, &si) == CKR_OK ? si.state : ~static_cast<CK_STATE>(0);
  }
  std::string Label() {
    CK_TOKEN_INFO ti;
    return m->C_GetTokenInfo(0, &ti) == CKR_OK ? Field(ti.label, 32) : "";
  }
  CK_FLAGS TokenFlags() {
    CK_TOKEN_INFO ti;
    return m->C_GetTokenInfo(0, &ti) == CKR_OK ? ti.flags : 0;
  }
  // The card's certificates (public objects).
  size_t Certificates() {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_CERTIFICATE);
    if (m->C_FindObjectsInit(s, t.data(), t.size()) != CKR_OK) return 0;
    CK_OBJECT_HANDLE found[8];
    CK_ULONG n = 0;
    m->C_FindObjects(s, found, 8, &n);
    m->C_FindObjectsFinal(s);
    return n;
  }
};

}  // namespace

TEST(ModuleChannels, AgentLogsInWithTheSystemKeyAndSeesTheCardBeforeItsActivation) {
  ChannelHost h("ias-not-activated.card", "PKCS15Flags = 0x8000600\n");
  ASSERT_TRUE(h.Start(kRo)) << h.m.error();
  // Without the agent the card is one not activated: nothing of its token reads.
  EXPECT_EQ(Padded("MIRTAL", 32), h.Label());
  EXPECT_NE(0u, h.TokenFlags() & CKF_LOGIN_REQUIRED);
  EXPECT_EQ(0u, h.Certificates());
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
  // The agent needs the read-only sessions gone.
  EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS, h.AgentLogin(kSystemKeyText));
  ASSERT_EQ(CKR_OK, h.m->C_CloseSession(h.s));
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));

  // Texts that are no key, keys of the wrong length, keys that are not the card's.
  EXPECT_EQ(CKR_PIN_INVALID, h.AgentLogin(kSystemKeyText + "Q"));
  EXPECT_EQ(CKR_PIN_INVALID, h.AgentLogin(" \r\n"));
  EXPECT_EQ(CKR_PIN_INVALID, h.AgentLogin("QEFC*0RF"));
  EXPECT_EQ(CKR_PIN_LEN_RANGE, h.AgentLogin("QEFCQ0RFRkdISUpLTE1OT1BRUlNUVVZXWFlaW1xdXl8="));
  EXPECT_EQ(CKR_PIN_INCORRECT, h.AgentLogin("UFFSU1RVVldYWVpbXF1eX0BBQkNERUZHSElKS0xNTk9gYWJjZGVmZ2hpamtsbW5v"));
  // The card refuses the channel the token is read over (its second EXTERNAL AUTHENTICATE, its
  // second INITIALIZE UPDATE), or a command of the reading over it (6988 to the wrapped SELECT,
  // SELECT, READ BINARY or GET RESPONSE): the login fails, nothing shows the agent in.
  for (unsigned ins : {0x82u, 0x50u, 4u, 5u, 6u, 7u}) {
    SCOPED_TRACE(ins);
    ASSERT_EQ(0, ins > 7 ? h.sim.InjectSwAfter(kR0, ins, ins == 0x82u ? 0x6988 : 0x6A88, 1, 1)
                         : h.sim.InjectSwAfter(kR0, 0x100, 0x6988, ins, 1));
    EXPECT_EQ(CKR_DEVICE_ERROR, h.AgentLogin(kSystemKeyText));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.m->C_Logout(h.s));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, h.State());
  }
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, h.State());
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));

  // The right key: the card reads over the agent's channel, no further login needed.
  ASSERT_EQ(CKR_OK, h.AgentLogin(kSystemKeyText));
  EXPECT_EQ(CKS_MIRTAL_PERSONALIZATION_AGENT, h.State());
  EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, h.AgentLogin(kSystemKeyText));
  EXPECT_EQ(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(Padded("CardSim Token", 32), h.Label());
  EXPECT_EQ(0u, h.TokenFlags() & CKF_LOGIN_REQUIRED);
  EXPECT_EQ(1u, h.Certificates());
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  // The card's applet saw its commands only over the channel.
  const std::string log = h.sim.ApduLog(kR0);
  EXPECT_NE(std::string::npos, log.find("> 8050")) << log;
  EXPECT_NE(std::string::npos, log.find("> 04B0")) << log;
  const std::string trace = h.env.Trace();
  for (const char* line : {"RefreshTokenInfo(0), re-authenticating as personalisation agent (",
                           "RefreshTokenInfo(0), OK, authentication success (",
                           "RefreshTokenInfo(0), Rereading profile again after authentication ("})
    EXPECT_NE(std::string::npos, trace.find(line)) << line;

  // The logout ends the channel, and with it what was read over it: the session
  // stays, the token is again the card not activated.
  ASSERT_EQ(CKR_OK, h.m->C_Logout(h.s));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, h.State());
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.m->C_Logout(h.s));
  EXPECT_EQ(Padded("MIRTAL", 32), h.Label());
  EXPECT_NE(0u, h.TokenFlags() & CKF_LOGIN_REQUIRED);
  EXPECT_EQ(0u, h.Certificates());
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, h.State());
  // The agent comes back in through the same session and reads the card again.
  ASSERT_EQ(CKR_OK, h.AgentLogin(kSystemKeyText));
  EXPECT_EQ(Padded("CardSim Token", 32), h.Label());
  EXPECT_EQ(1u, h.Certificates());
}

TEST(ModuleChannels, SystemKeyAsTokenDataMakesTheCardUsableAndActivationLetsItWorkInTheClear) {
  ChannelHost h("ias-not-activated.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(0u, h.Certificates());
  const std::vector<uint8_t> key = CardSystemKey();
  ASSERT_EQ(CKR_OK, h.setData(h.s, CKA_MIRTAL_SYSAUTH_KEY, const_cast<uint8_t*>(key.data()), key.size()));
  // The agent is in: the card's token reads over the channel.
  EXPECT_EQ(Padded("CardSim Token", 32), h.Label());
  EXPECT_EQ(1u, h.Certificates());
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));

  // Activated, the card needs no channel any more: the user logs in in the clear.
  CK_BBOOL activated = CK_FALSE;
  ASSERT_EQ(CKR_OK, h.setData(h.s, CKA_MIRTAL_NOT_ACTIVATED, &activated, 1));
  EXPECT_NE(std::string::npos, ReadFile(h.env.Card("ias-not-activated.card")).find("\nlifecycle 0F\n"));
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
  EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(1u, h.Certificates());
  EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 00200081")) << h.sim.ApduLog(kR0);
}

namespace {
// The SO logs in and sets the user PIN, then the user logs in, in the host's open session.
void SoSetsTheUserPinAndUserLogsIn(ChannelHost& h) {
  EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKR_OK, h.m->C_InitPIN(h.s, kUserPin, 4));
  EXPECT_EQ(CKR_OK, h.m->C_Logout(h.s));
  EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
}
// The image with its TokenInfo (3F00/5015/5032) as its holder may rewrite it: without the supportedAlgorithms element
// (A2, its last) that gives the group's key set, and without the seInfo element naming the group too, padded with 00.
std::string WithoutGroup(std::string image, bool seInfoToo) {
  const size_t at = image.find("data=", image.find(" 3F00/5015/5032 ")) + 5, end = image.find_first_of(" \n", at);
  std::string body = image.substr(at + 8, image.find("A28202", at) - at - 8);  // the elements after 30 82 LLLL
  if (seInfoToo) body.erase(body.find("30143012"), 2 * 0x16);
  const std::string der = Fmt("30%02X", static_cast<unsigned>(body.size() / 2)) + body;
  return image.replace(at, end - at, der + std::string(end - at - der.size(), '0'));
}
}  // namespace

// A card that holds the key of the key agreement gets no PIN in the clear, whatever its TokenInfo says or one
// answer at first contact: its holder's TokenInfo without the group (finding's recipe: seInfo and supportedAlgorithms
// gone, or the latter alone), or one 6A82, 6A88, 6581 or a mute card at each of the first 20 commands, in a process
// whose first calls are C_InitToken, C_GetTokenInfo and C_InitToken, or a session and the user's login, the SO's, the
// SO's and C_InitPIN. A blank model-7 card (no key, 6A88) is initialised as before, its PINs in the clear.
TEST(ModuleChannels, ACardOfferingTheChannelGetsNoSecretInClear) {
  const auto calls = [](ChannelHost& h, int scene) {
    CK_UTF8CHAR label[33] = "Odnowiony                       ";
    CK_TOKEN_INFO ti;
    if (scene == 1) (void)h.m->C_GetTokenInfo(0, &ti);
    if (scene < 2) return h.m->C_InitToken(0, kSoPin, 8, label);
    CK_RV rv = h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s);
    if (rv == CKR_OK) rv = scene == 2 ? h.m->C_Login(h.s, CKU_USER, kUserPin, 4) : h.m->C_Login(h.s, CKU_SO, kSoPin, 8);
    return rv == CKR_OK && scene == 4 ? h.m->C_InitPIN(h.s, kUserPin, 4) : rv;
  };
  const std::string config = "EnableSecureMessaging = 1\nPKCS15Flags = 0x600\n";  // no reader threads
  for (int edit = 0; edit < 3; ++edit) {  // as issued, without the group's key set, without the group
    for (int scene = 0; scene < 5; ++scene) {
      SCOPED_TRACE(testing::Message() << "edit " << edit << " scene " << scene);
      ChannelHost h("ias-dh-channel.card", config);
      const std::string path = h.env.Card("ias-dh-channel.card");
      ASSERT_TRUE(h.configured && h.sim.ok() && h.m.ok() && h.sim.Remove(kR0) == 0) << h.m.error();
      const std::string image = edit ? WithoutGroup(ReadFile(path), edit == 2) : ReadFile(path);
      WriteFile(path, image);
      ASSERT_TRUE(h.sim.Insert(kR0, path.c_str()) == 0 && h.sim.ClearLog(kR0) == 0 && h.m->C_Initialize(nullptr) == 0);
      EXPECT_EQ(edit ? CKR_DEVICE_ERROR : CKR_OK, calls(h, scene));
      EXPECT_EQ(std::vector<std::string>(), tokenrig::SecretsInClear(h.sim.ApduLog(kR0))) << h.sim.ApduLog(kR0);
      EXPECT_TRUE(!edit || (image == ReadFile(path) &&
                            h.env.Trace().find("card offers secure messaging but no key set") != std::string::npos));
    }
  }
  for (unsigned fault : {0x6A82u, 0x6A88u, 0x6581u, 0u}) {
    for (int k = 1; k <= 20; ++k) {
      for (int scene = 0; scene < 5; ++scene) {
        SCOPED_TRACE(testing::Message() << std::hex << fault << std::dec << " at command " << k << " scene " << scene);
        ChannelHost h("ias-dh-channel.card", config);
        ASSERT_TRUE(h.configured && h.sim.ok() && h.m.ok() && h.sim.ClearLog(kR0) == 0) << h.m.error();
        ASSERT_TRUE(fault ? h.sim.InjectSwAfter(kR0, 0x100, fault, k - 1, 1) == 0
                          : tokenrig::ArmFault(h.sim, tokenrig::Fault::kMute, k - 1));
        ASSERT_EQ(CKR_OK, h.m->C_Initialize(nullptr));
        (void)calls(h, scene);
        EXPECT_EQ(std::vector<std::string>(), tokenrig::SecretsInClear(h.sim.ApduLog(kR0))) << h.sim.ApduLog(kR0);
      }
    }
  }
  ChannelHost h("blank-model7.card", config);
  ASSERT_TRUE(h.configured && h.sim.ok() && h.m.ok() && h.m->C_Initialize(nullptr) == CKR_OK) << h.m.error();
  EXPECT_EQ(CKR_OK, calls(h, 0));
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
  SoSetsTheUserPinAndUserLogsIn(h);
  EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 002241A603830101")) << h.sim.ApduLog(kR0);
}

TEST(ModuleChannels, DiffieHellmanGroupOfTheTokenInfoCarriesThePinsOverSecureMessaging) {
  // Someone between host and card refuses the key agreement's MSE SET (1) or spoils the card's value (2), before
  // the first login and after a reset: a call that would send the PIN fails without it, the next agrees keys again.
  // Or edits the TokenInfo read again after the reset to name no group (3, its last octet): the card still needs it.
  for (int spoilt : {0, 1, 2, 3}) {
    SCOPED_TRACE(spoilt);
    ChannelHost h("ias-dh-channel.card", kDhConfig);
    bool reset = false;
    const auto spoil = [&](int n) {
      if (spoilt == 3) return reset && n ? h.sim.CorruptData(kR0, 0xB0, 5) : 0;
      return spoilt == 2 ? h.sim.CorruptData(kR0, 0x86, n) : h.sim.InjectSw(kR0, 0x22, 0x6A88, spoilt ? n : 0);
    };
    const bool refusing = spoilt == 1 || spoilt == 2;
    const auto refused = [&] {  // in session h.s; what sends nothing secret goes on
      if (!refusing) return;
      ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
      EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
      const std::string log = h.sim.ApduLog(kR0), kat = "> 002241A6";  // keys tried once
      EXPECT_TRUE(log.find(kat) != std::string::npos && log.find(kat) == log.rfind(kat)) << log;
      EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_SetPIN(h.s, kUserPin, 4, kUserPin, 4));
      EXPECT_EQ(1u, h.Certificates());
      ASSERT_EQ(0, spoil(0));
    };
    ASSERT_EQ(0, spoil(99));
    ASSERT_TRUE(h.Start()) << h.m.error();
    EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE));
    EXPECT_EQ(refusing ? CK_FALSE : CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
    ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
    refused();
    EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
    // The PIN went wrapped (class 0C), never in the clear.
    const std::string log = h.sim.ApduLog(kR0);
    EXPECT_NE(std::string::npos, log.find("> 0C20")) << log;
    EXPECT_EQ(std::string::npos, log.find("> 0020")) << log;
    EXPECT_EQ(std::string::npos, log.find("> 0024")) << log;
    EXPECT_EQ(refusing, log.find("> 002241A6") != std::string::npos) << log;
    const std::string trace = h.env.Trace();
    EXPECT_NE(std::string::npos,
              trace.find("setting up Secure Messaging using 1 dhgroup (")) << trace;
    EXPECT_NE(std::string::npos, trace.find("Secure messaging setup success, setting to automatic re-setup: ("));
    EXPECT_EQ(refusing,
              trace.find("Secure messaging setup failed, PINs and keys held back until it succeeds: (") != std::string::npos);
    // A card reset ends the channel; the next PIN goes over a new one.
    ASSERT_EQ(0, h.sim.Reset(kR0));
    reset = true;
    ASSERT_EQ(0, spoil(99));
    ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
    CK_SESSION_HANDLE again = 0;
    if (h.m->C_OpenSession(0, kRw, nullptr, nullptr, &again) != CKR_OK) ADD_FAILURE();
    h.s = again;
    refused();
    EXPECT_EQ(CKR_OK, h.m->C_Login(again, CKU_USER, kUserPin, 4));
    EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 002241A6")) << h.sim.ApduLog(kR0);
    EXPECT_NE(std::string::npos, h.sim.ApduLog(kR0).find("> 0C20")) << h.sim.ApduLog(kR0);
    for (const char* clear : {"> 0020", "> 0024"}) EXPECT_EQ(std::string::npos, h.sim.ApduLog(kR0).find(clear));
  }
  // After C_Logout (which resets the card) the card refuses the key agreement's MSE SET or GENERAL
  // AUTHENTICATE: the channel is missing, no PIN state is wrong.
  for (unsigned ins : {0x22u, 0x86u}) {
    SCOPED_TRACE(ins);
    ChannelHost h("ias-dh-channel.card", kDhConfig);
    ASSERT_TRUE(h.Start() && h.m->C_Login(h.s, CKU_USER, kUserPin, 4) == CKR_OK) << h.m.error();
    ASSERT_EQ(CKR_OK, h.m->C_Logout(h.s));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, ins, 0x6A88, 99));
    EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
    EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_Login(h.s, CKU_SO, kSoPin, 8));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, ins, 0x6A88, 0));
    EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
  }
  // The card taken out and a blank model-7 card (the same ATR, no group) put in, no call between: the second
  // is used as a fresh process uses it, a token made on it and its PINs set in the clear.
  {
    ChannelHost h("ias-dh-channel.card", kDhConfig);
    ASSERT_TRUE(h.Start() && h.m->C_Login(h.s, CKU_USER, kUserPin, 4) == CKR_OK) << h.m.error();
    ASSERT_TRUE(h.m->C_CloseAllSessions(0) == CKR_OK && h.sim.Remove(kR0) == 0);
    ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card("blank-model7.card").c_str()));
    CK_UTF8CHAR label[33] = "Druga karta                     ";
    EXPECT_EQ(CKR_OK, h.m->C_InitToken(0, kSoPin, 8, label));
    ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
    SoSetsTheUserPinAndUserLogsIn(h);
    EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  }
  // A re-initialised token keeps its key set: a new process logs in over the channel. So too when the
  // TokenInfo's write is cut: its second UPDATE refused (the call writes it again), the card gone mute
  // there (the next C_InitToken builds the token again).
  for (int cut : {0, 1, 2}) {
    SCOPED_TRACE(cut);
    ChannelHost h("ias-dh-channel.card", kDhConfig);
    const auto after = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(
        dlsym(h.sim.handle, "CardSimAfterCommands"));  // once 6 UPDATEs ran (3 of the key set's copy): the TokenInfo's second
    ASSERT_TRUE(h.Start() && h.m->C_CloseAllSessions(0) == CKR_OK) << h.m.error();
    ASSERT_EQ(0, cut == 1 ? h.sim.InjectSwAfter(kR0, 0xD6, 0x6581, 6, 1)
                          : after(kR0, 0xD6, cut ? CARDSIM_AFTER_MUTE : CARDSIM_AFTER_NOTHING, 6));
    CK_UTF8CHAR label[33] = "Odnowiony                       ";
    CK_RV rv = h.m->C_InitToken(0, kSoPin, 8, label);
    EXPECT_EQ(cut == 2, rv != CKR_OK);
    ASSERT_EQ(0, h.sim.SetMute(kR0, 0));
    if (rv != CKR_OK) rv = h.m->C_InitToken(0, kSoPin, 8, label);
    ASSERT_EQ(CKR_OK, rv);
    ASSERT_TRUE(h.m->C_Finalize(nullptr) == CKR_OK && h.Start());
    ASSERT_EQ(CKR_OK, h.sim.ClearLog(kR0));
    SoSetsTheUserPinAndUserLogsIn(h);
    const std::string log = h.sim.ApduLog(kR0);
    for (const char* clear : {"> 0020", "> 0024", "> 002C"}) EXPECT_EQ(std::string::npos, log.find(clear)) << log;
  }
  // The card pulled after each command of C_InitToken and put back, on the card as issued, on one whose headers
  // carry no life-cycle byte, and on one with an issuer's file where the key set's copy would stand (the copy takes
  // the next place): the next process (odd commands) or the same one (even commands, before it noticed) runs
  // C_InitToken again over the channel, to the card's SO PIN, the SO sets the user PIN and the user logs in; no PIN
  // goes in the clear in any call and no copy of the key set stays. Where the cut left a whole token (the old or
  // the new), the next process's SO takes the copy away with C_InitPIN; else the SO's login fails.
  const auto pulledAfter = [](const std::string& form, int k, bool* fired) {
    ChannelHost h("ias-dh-channel.card", "EnableSecureMessaging = 1\nPKCS15Flags = 0x600\n",  // no reader threads
                  [&](std::string text) { return InForm(form, text); });
    const auto after = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(
        dlsym(h.sim.handle, "CardSimAfterCommands"));
    ASSERT_TRUE(h.configured && h.sim.ok() && h.m.ok() && h.m->C_Initialize(nullptr) == CKR_OK) << h.m.error();
    ASSERT_TRUE(h.sim.ClearLog(kR0) == 0 && after(kR0, 0x100, CARDSIM_AFTER_REMOVE, k) == 0);
    CK_UTF8CHAR label[33] = "Odnowiony                       ";
    const CK_RV cut = h.m->C_InitToken(0, kSoPin, 8, label);
    *fired = h.sim.ApduLog(kR0).find("# removed") != std::string::npos;
    const auto copyGone = [&] {
      const std::string image = ReadFile(h.env.Card("ias-dh-channel.card"));
      return image.find(form == kIssuersFile ? " 3F00/9015 " : " 3F00/D015 ") == std::string::npos &&
             (form != kIssuersFile || image.find(kIssuersD015) != std::string::npos);
    };
    if (!*fired) {
      EXPECT_TRUE(cut == CKR_OK && copyGone());
      return;
    }
    ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card("ias-dh-channel.card").c_str()));
    if (k % 2 != 0) {
      ASSERT_TRUE(h.m->C_Finalize(nullptr) == CKR_OK && h.Start());
      const CK_RV so = h.m->C_Login(h.s, CKU_SO, kSoPin, 8);
      EXPECT_TRUE(so == CKR_OK || so == CKR_USER_PIN_NOT_INITIALIZED || so == CKR_DEVICE_ERROR) << so;
      if (so == CKR_OK) {
        EXPECT_EQ(CKR_OK, h.m->C_InitPIN(h.s, kUserPin, 4));
        EXPECT_TRUE(copyGone());
      }
      ASSERT_EQ(CKR_OK, h.m->C_CloseAllSessions(0));
    }
    EXPECT_EQ(CKR_OK, h.m->C_InitToken(0, kSoPin, 8, label));
    ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
    SoSetsTheUserPinAndUserLogsIn(h);
    EXPECT_EQ(Padded("Odnowiony", 32), h.Label());
    EXPECT_TRUE(copyGone());
    const std::string log = h.sim.ApduLog(kR0);
    for (const char* clear : {"> 0020", "> 0024", "> 002C"}) EXPECT_EQ(std::string::npos, log.find(clear)) << log;
  };
  for (const std::string& form : {std::string("as issued"), kNoLifeCycle, kIssuersFile}) {
    bool fired = true;
    int k = 0;
    for (; fired && !HasFatalFailure(); ++k) {
      SCOPED_TRACE(form + ", cut after " + std::to_string(k));
      pulledAfter(form, k, &fired);
    }
    EXPECT_GT(k, 110);  // the reading, the key agreement, the copy of the key set, the token
  }
  // Where anyone may create files in the master file, a copy there could be anyone's: none is kept, and
  // C_InitToken fails before it deletes anything; the token stays as it was, its PINs over the channel.
  {
    ChannelHost h("ias-dh-channel.card", kDhConfig, [](std::string text) { return InForm(kOpenMf, text); });
    ASSERT_TRUE(h.Start() && h.m->C_CloseAllSessions(0) == CKR_OK && h.sim.ClearLog(kR0) == 0) << h.m.error();
    const std::string before = ReadFile(h.env.Card("ias-dh-channel.card"));
    CK_UTF8CHAR label[33] = "Odnowiony                       ";
    EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_InitToken(0, kSoPin, 8, label));
    EXPECT_EQ(before, ReadFile(h.env.Card("ias-dh-channel.card")));
    EXPECT_NE(std::string::npos, h.env.Trace().find("the key set cannot be kept"));
    ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
    EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
    const std::string log = h.sim.ApduLog(kR0);
    for (const char* clear : {"> 0020", "> 0024", "> 002C"}) EXPECT_EQ(std::string::npos, log.find(clear)) << log;
  }
  // A card an earlier version's cut left without the token's DF, EF.DIR naming it, and no copy: nothing tells
  // the token's key set, so nothing of the SO's or the user's goes to it; C_InitToken and the logins fail.
  {
    ChannelHost h("ias-dh-channel.card", kDhConfig);
    ASSERT_TRUE(h.Start() && h.m->C_CloseAllSessions(0) == CKR_OK && h.sim.Remove(kR0) == 0) << h.m.error();
    std::string image, line;
    std::istringstream lines(ReadFile(h.env.Card("ias-dh-channel.card")));
    while (std::getline(lines, line))
      if (line.find(" 3F00/5015") == std::string::npos) image += line + "\n";
    WriteFile(h.env.Card("ias-dh-channel.card"), image);
    ASSERT_TRUE(h.sim.Insert(kR0, h.env.Card("ias-dh-channel.card").c_str()) == 0 && h.sim.ClearLog(kR0) == 0);
    CK_UTF8CHAR label[33] = "Odnowiony                       ";
    EXPECT_EQ(CKR_DEVICE_ERROR, h.m->C_InitToken(0, kSoPin, 8, label));
    ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
    EXPECT_NE(CKR_OK, h.m->C_Login(h.s, CKU_SO, kSoPin, 8));
    EXPECT_NE(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
    // (Only whether a PIN stands is asked, which the card answers to no one in the clear.)
    const std::string log = h.sim.ApduLog(kR0);
    EXPECT_EQ(std::vector<std::string>(), tokenrig::SecretsInClear(log)) << log;
    EXPECT_EQ(std::string::npos, log.find("> 0C20")) << log;
  }
  // Secure messaging switched off: the group is there, the channel is not, and the card refuses the PIN.
  ChannelHost h("ias-dh-channel.card", "EnableSecureMessaging = 0\n");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
}

// One answer refused over the channel (6988: its session lost) at each command of the first search, through the
// agent's channel and the user's, for every object and for the certificate by its value: the search lists what it
// matches or fails (CKR_DEVICE_ERROR); the session stays logged in and the next search lists every object.
TEST(ModuleChannels, ASearchWithAnAnswerRefusedOverTheChannelListsEveryObjectOrFails) {
  std::string certificate[2];
  for (int scene = 0; scene < 4; ++scene) {
    const bool agent = scene % 2 == 0, byValue = scene > 1;
    TestTemplate t;
    if (byValue) t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_VALUE, certificate[agent]);
    for (size_t k = 0, commands = 1; k <= commands; ++k) {  // k = 0 counts the commands, then 6988 to command k - 1
      SCOPED_TRACE(testing::Message() << scene << " " << k);
      ChannelHost h(agent ? "ias-not-activated.card" : "ias-dh-channel.card", agent ? "" : kDhConfig);
      ASSERT_TRUE(h.Start()) << h.m.error();
      ASSERT_EQ(CKR_OK, agent ? h.AgentLogin(kSystemKeyText) : h.m->C_Login(h.s, CKU_USER, kUserPin, 4));
      ASSERT_EQ(0, k ? h.sim.InjectSwAfter(kR0, 0x100, 0x6988, static_cast<int>(k - 1), 1) : h.sim.ClearLog(kR0));
      std::vector<CK_OBJECT_HANDLE> found;
      const CK_RV rv = FindAll(h.m.list(), h.s, t, &found);
      if (k == 0) commands = tokenrig::Commands(h.sim.ApduLog(kR0)).size();
      EXPECT_TRUE(rv == CKR_DEVICE_ERROR || (rv == CKR_OK && found.size() == (byValue ? 1u : 4u))) << std::hex << rv;
      EXPECT_EQ(agent ? CKS_MIRTAL_PERSONALIZATION_AGENT : CKS_RW_USER_FUNCTIONS, h.State());
      EXPECT_TRUE(FindAll(h.m.list(), h.s, TestTemplate(), &found) == CKR_OK && found.size() == 4);
      if (!byValue && k == 0)
        (void)tokencheck::Attribute(h.m.list(), h.s, FindOne(h.m, h.s, CKO_CERTIFICATE), CKA_VALUE, &certificate[agent]);
    }
  }
}
