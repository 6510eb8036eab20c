// Token data through the vendor exports on simulated cards: every CKA_MIRTAL_*
// type read and written with the answers of its table, the two-call rule of
// the reads, the personalisation agent's system key opening the channel of a
// not-activated IAS-ECC card (and kept out of the trace), and the card's
// activation by writing CKA_MIRTAL_NOT_ACTIVATED.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRo = CKF_SERIAL_SESSION;
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
const CK_ULONG kAllOnes = ~static_cast<CK_ULONG>(0);
CK_UTF8CHAR kUserPin[] = "1234";

struct DataCalls {
  CK_RV (*Get)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR);
  CK_RV (*Set)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG);
  CK_RV (*Activate)(CK_SESSION_HANDLE);
  explicit DataCalls(const Module& m)
      : Get(m.fn<decltype(Get)>("MIRTAL_PKCS11_GetTokenData")),
        Set(m.fn<decltype(Set)>("MIRTAL_PKCS11_SetTokenData")),
        Activate(m.fn<decltype(Activate)>("MIRTAL_PKCS11_ActivateTokenQualifiedPart")) {}
  bool ok() const { return Get && Set && Activate; }
};

struct DataHost {
  SimEnv env;
  bool configured;
  CardSim sim;
  Module m;
  DataCalls d;
  CK_SESSION_HANDLE s = 0;
  explicit DataHost(const std::string& card, const std::string& extra = "")
      : env(Readers{{kR0, card}}), configured((env.Config(extra), true)), d(m) {}
  bool Start(CK_FLAGS flags = kRw) {
    return configured && sim.ok() && m.ok() && d.ok() && m->C_Initialize(nullptr) == CKR_OK &&
           m->C_OpenSession(0, flags, nullptr, nullptr, &s) == CKR_OK;
  }
  ~DataHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  // A boolean token datum, after checking the length query and a short buffer.
  int Bool(CK_ATTRIBUTE_TYPE type) {
    CK_ULONG len = kAllOnes;
    EXPECT_EQ(CKR_OK, d.Get(s, type, nullptr, &len));
    EXPECT_EQ(1u, len);
    CK_BBOOL b = 0x55;
    len = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, d.Get(s, type, &b, &len));
    EXPECT_EQ(1u, len);
    EXPECT_EQ(0x55, b);
    len = 8;
    const CK_RV rv = d.Get(s, type, &b, &len);
    EXPECT_EQ(CKR_OK, rv);
    EXPECT_EQ(1u, len);
    return rv == CKR_OK ? b : -1;
  }
  CK_RV GetRv(CK_ATTRIBUTE_TYPE type) {
    CK_BYTE buf[64];
    CK_ULONG len = sizeof buf;
    return d.Get(s, type, buf, &len);
  }
  CK_RV SetBool(CK_ATTRIBUTE_TYPE type, CK_BBOOL value) { return d.Set(s, type, &value, 1); }
};

}  // namespace

TEST(ModuleTokenData, EveryTypeAnswersAsItsTableSaysOnAnActivatedCard) {
  DataHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_VELDOR_TOKEN));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_ACTIVATE_FOLLOWS_INITIALIZE));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  // No channel, no keys to give out.
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, h.GetRv(CKA_MIRTAL_SYSAUTH_KEY));
  CK_ULONG len = 0;
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, h.d.Get(h.s, CKA_MIRTAL_SYSAUTH_KEY, nullptr, &len));
  for (CK_ATTRIBUTE_TYPE t : {CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA, CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE,
                              CKA_MIRTAL, CKA_MIRTAL_QUALIFIED_OBJECT, static_cast<CK_ATTRIBUTE_TYPE>(0xABEC100A),
                              static_cast<CK_ATTRIBUTE_TYPE>(CKA_LABEL)})
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, h.GetRv(t)) << std::hex << t;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.d.Get(h.s, CKA_MIRTAL_NOT_ACTIVATED, nullptr, nullptr));

  // Writing: the read-only types, a card that is no IAS-ECC card to activate, no channel to key.
  for (CK_ATTRIBUTE_TYPE t = CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA; t <= CKA_MIRTAL_SECURE_MESSAGING_ENABLED; ++t)
    EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, h.SetBool(t, CK_TRUE)) << std::hex << t;
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, h.SetBool(0xABEC100A, CK_TRUE));
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, h.SetBool(CKA_LABEL, CK_TRUE));
  EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_FALSE));
  CK_BYTE two[2] = {0, 0};
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, h.d.Set(h.s, CKA_MIRTAL_NOT_ACTIVATED, two, 2));
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, h.d.Set(h.s, CKA_MIRTAL_NOT_ACTIVATED, two, 0));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.d.Set(h.s, CKA_MIRTAL_NOT_ACTIVATED, nullptr, 1));
  std::vector<uint8_t> key = CardSystemKey();
  EXPECT_EQ(CKR_KEY_FUNCTION_NOT_PERMITTED, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, key.data(), key.size()));
  // The qualified part is activated by its own means, never through the module.
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, h.d.Activate(h.s));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, h.d.Activate(h.s + 1));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, h.d.Set(h.s + 1, CKA_MIRTAL_NOT_ACTIVATED, two, 1));
}

TEST(ModuleTokenData, WritingNeedsAReadWriteSession) {
  DataHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start(kRo)) << h.m.error();
  EXPECT_EQ(CKR_SESSION_READ_ONLY, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_FALSE));
  EXPECT_EQ(CKR_SESSION_READ_ONLY, h.SetBool(0xABEC100A, CK_FALSE));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
}

TEST(ModuleTokenData, CardsAnswerWhatTheyAre) {
  // A card whose TokenInfo names a Diffie-Hellman group has secure messaging at hand.
  {
    DataHost h("ias-dh-channel.card");
    ASSERT_TRUE(h.Start()) << h.m.error();
    EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE));
    EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  }
}

TEST(ModuleTokenData, BlankCardsAreTheMakersAndCannotBeWritten) {
  DataHost h("blank-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_VELDOR_TOKEN));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE));
  // Only a card that is not activated takes token data; a blank one is no token yet.
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_FALSE));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, h.d.Activate(h.s));
}

TEST(ModuleTokenData, SystemKeyOpensTheAgentsChannelAndActivationSecuresTheCard) {
  DataHost h("ias-not-activated.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_VELDOR_TOKEN));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_ACTIVATE_FOLLOWS_INITIALIZE));
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, h.GetRv(CKA_MIRTAL_SYSAUTH_KEY));
  // "Not activated" set again changes nothing.
  EXPECT_EQ(CKR_OK, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_TRUE));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));

  // Keys of the wrong length, keys that are not the card's.
  std::vector<uint8_t> key = CardSystemKey();
  EXPECT_EQ(CKR_DATA_LEN_RANGE, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, key.data(), 32));
  EXPECT_EQ(CKR_DATA_LEN_RANGE, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, key.data(), 0));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, nullptr, 48));
  // One key for all three: the card's cryptogram checks out (the first part is the right
  // ENC key), the card refuses the MAC made with it.
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, key.data(), 16));
  std::vector<uint8_t> swapped(key.begin() + 16, key.begin() + 32);
  swapped.insert(swapped.end(), key.begin(), key.begin() + 16);
  swapped.insert(swapped.end(), key.begin() + 32, key.end());
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, swapped.data(), 48));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));

  // The right key: the channel is up, and the key comes back in the order it was given.
  ASSERT_EQ(CKR_OK, h.d.Set(h.s, CKA_MIRTAL_SYSAUTH_KEY, key.data(), key.size()));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CK_TRUE, h.Bool(CKA_MIRTAL_AGENT_AUTHENTICATED));
  CK_ULONG len = kAllOnes;
  ASSERT_EQ(CKR_OK, h.d.Get(h.s, CKA_MIRTAL_SYSAUTH_KEY, nullptr, &len));
  EXPECT_EQ(48u, len);
  std::vector<uint8_t> back(64, 0xEE);
  len = 16;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, h.d.Get(h.s, CKA_MIRTAL_SYSAUTH_KEY, back.data(), &len));
  EXPECT_EQ(48u, len);
  EXPECT_EQ(std::vector<uint8_t>(64, 0xEE), back);
  len = back.size();
  ASSERT_EQ(CKR_OK, h.d.Get(h.s, CKA_MIRTAL_SYSAUTH_KEY, back.data(), &len));
  ASSERT_EQ(48u, len);
  back.resize(48);
  EXPECT_EQ(key, back);

  // Activation: the card goes to the life cycle SECURED and reads as the token it holds.
  ASSERT_EQ(CKR_OK, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_FALSE));
  EXPECT_NE(std::string::npos, ReadFile(h.env.Card("ias-not-activated.card")).find("\nlifecycle 0F\n"));
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_CLOSED, h.m->C_GetSessionInfo(h.s, &si));
  ASSERT_EQ(CKR_OK, h.m->C_OpenSession(0, kRw, nullptr, nullptr, &h.s));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_NOT_ACTIVATED));
  EXPECT_EQ(CK_FALSE, h.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, h.SetBool(CKA_MIRTAL_NOT_ACTIVATED, CK_FALSE));
  CK_TOKEN_INFO ti;
  ASSERT_EQ(CKR_OK, h.m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(Padded("CardSim Token", 32), Field(ti.label, 32));
  EXPECT_EQ(CKR_OK, h.m->C_Login(h.s, CKU_USER, kUserPin, 4));

  // The system key never reached the trace.
  std::string trace = h.env.Trace();
  EXPECT_NE(std::string::npos, trace.find("MIRTAL_PKCS11_SetTokenData"));
  EXPECT_NE(std::string::npos, trace.find("Returned data: <48 octets not shown>"));
  for (char& c : trace) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* part : {"4142434445464748", "5152535455565758", "6162636465666768", "41 42 43 44", "41:42:43"})
    EXPECT_EQ(std::string::npos, trace.find(part)) << part;
}
