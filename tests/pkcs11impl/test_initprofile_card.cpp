// Random PIN texts and the profile validation on simulated cards through the
// reader bridge (no worker threads).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "support/cfgparam.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";

void Configure(SCPkcs15Lib& b) {
  b.SetEnabledReaderSubsystems("TARVO-MELK");
  b.SetDravokLibrary((SimLibrary() + ";Sim").c_str());
  b.SetPkcs15Flags(0);
}

// Stands a marker in for the reader's PKCS#15 card object, which the
// validation only requires to exist; removed again before shut-down.
class ProfileBridge : public SCPkcs15Lib {
 public:
  void MarkPkcs15Card(uint32_t reader, bool on) {
    if (m_pkcs15Cards != nullptr && reader < m_readerCount)
      m_pkcs15Cards[reader] = on ? reinterpret_cast<SCPkcs15Card*>(&m_marker) : nullptr;
  }

 private:
  int m_marker = 0;
};

// The simulator's APDU log and status injection (same library instance as the bridge's).
struct SimLog {
  size_t (*getLog)(const char*, char*, size_t) = nullptr;
  int (*clearLog)(const char*) = nullptr;
  int (*inject)(const char*, unsigned, unsigned, int) = nullptr;
  explicit SimLog(void* handle) {
    getLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(handle, "CardSimGetApduLog"));
    clearLog = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimClearLog"));
    inject = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int)>(dlsym(handle, "CardSimInjectSw"));
  }
  bool ok() const { return getLog && clearLog && inject; }
  // Commands of the log whose header starts with `prefix` (hex, no blanks).
  int Count(const char* reader, const std::string& prefix) const {
    const size_t n = getLog(reader, nullptr, 0);
    std::string s(n, '\0');
    getLog(reader, &s[0], n);
    int count = 0;
    for (size_t pos = s.find("> " + prefix); pos != std::string::npos; pos = s.find("> " + prefix, pos + 1)) ++count;
    return count;
  }
};

CfgSectionList* OneTokenProfile(CfgSectionList* sections, const char* name, const char* value) {
  CfgSection* t = sections->AddSection("Tok", false);
  t->GetOrAddParam(name, CFG_TYPE_TEXT, false, true)->SetString(value);
  return sections;
}

}  // namespace

TEST(RandomTextOnCard, CardReaderGivesPinsAndAnEmptyReaderIsRefused) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  SCPkcs15Lib b;
  Configure(b);
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 3));
  ASSERT_EQ(2u, b.GetReaderCount());
  b.CheckCardStateAndReconnectIfNeeded(0);
  b.CheckCardStateAndReconnectIfNeeded(1);
  ASSERT_NE(b.GetReader(0)->GetCard(), nullptr);
  uint8_t buf[64];
  for (const char* word : {"<digits>", "<alnum>", "<printable>"}) {
    CK_ULONG len = sizeof buf;
    ASSERT_EQ(CKR_OK, b.GenerateRandomText(0, buf, &len, 40, word)) << word;
    EXPECT_EQ(40u, len);
    for (CK_ULONG i = 0; i < len; ++i) {
      const char* chars = std::strcmp(word, "<digits>") == 0 ? "0123456789"
                          : std::strcmp(word, "<alnum>") == 0
                              ? "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                              : "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ _!@#$%^&*/+-=:;,.?(){}[]";
      EXPECT_NE(std::strchr(chars, buf[i]), nullptr);
    }
  }
  CK_ULONG len = sizeof buf;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, b.GenerateRandomText(1, buf, &len, 8, nullptr));
  len = sizeof buf;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.GenerateRandomText(2, buf, &len, 8, nullptr));
  len = 4;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.GenerateRandomText(0, buf, &len, 8, nullptr));
  len = sizeof buf;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.GenerateRandomText(0, buf, &len, 8, "x"));
  EXPECT_EQ(SC_OK, b.DeInitLib());
}

TEST(RandomTextOnCard, CardChallengesAreUsedAndAnUnsupportedCardFallsBack) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  SimLog log(sim.handle);
  ASSERT_TRUE(log.ok());
  SCPkcs15Lib b;
  Configure(b);
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 3));
  b.CheckCardStateAndReconnectIfNeeded(0);
  ASSERT_NE(b.GetReader(0)->GetCard(), nullptr);
  uint8_t buf[400];
  // 40 printable characters: 280 bits, one draw of 35 octets from the card.
  log.clearLog(kR0);
  CK_ULONG len = sizeof buf;
  ASSERT_EQ(CKR_OK, b.GenerateRandomText(0, buf, &len, 40, "<printable>"));
  EXPECT_EQ(1, log.Count(kR0, "0084000023"));
  // 400 digits: 1600 bits, served by draws of at most 128 octets, all from the card.
  log.clearLog(kR0);
  len = sizeof buf;
  ASSERT_EQ(CKR_OK, b.GenerateRandomText(0, buf, &len, 400, nullptr));
  EXPECT_EQ(400u, len);
  EXPECT_EQ(1, log.Count(kR0, "0084000080"));
  EXPECT_GE(log.Count(kR0, "00840000"), 2);
  // A card without the command: asked once, the rest comes from the software generator.
  log.clearLog(kR0);
  ASSERT_EQ(0, log.inject(kR0, 0x84, 0x6D00, 100));
  len = sizeof buf;
  ASSERT_EQ(CKR_OK, b.GenerateRandomText(0, buf, &len, 400, nullptr));
  EXPECT_EQ(400u, len);
  for (CK_ULONG i = 0; i < len; ++i) EXPECT_TRUE(buf[i] >= '0' && buf[i] <= '9');
  EXPECT_EQ(1, log.Count(kR0, "00840000"));
  // Another card failure is mapped and ends the call.
  log.clearLog(kR0);
  ASSERT_EQ(0, log.inject(kR0, 0x84, 0x6982, 1));
  len = sizeof buf;
  EXPECT_NE(CKR_OK, b.GenerateRandomText(0, buf, &len, 8, nullptr));
  EXPECT_EQ(0u, len);
  log.inject(kR0, 0x84, 0, 0);
  EXPECT_EQ(SC_OK, b.DeInitLib());
}

TEST(ProfileValidationOnCard, MessagesReachEverySlotOfTheReader) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "blank-model7.card"}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  ProfileBridge b;
  Configure(b);
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 3));
  b.CheckCardStateAndReconnectIfNeeded(0);
  b.CheckCardStateAndReconnectIfNeeded(1);
  CfgSectionList bad, good;
  InitProfile local(OneTokenProfile(&bad, "SoPinIsLocal", "yes"));
  InitProfile fine(OneTokenProfile(&good, "UserPin", "1234"));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.ValidateInitProfile(5, &local, false));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.ValidateInitProfile(0, nullptr, false));
  // Without a PKCS#15 card object.
  EXPECT_EQ(CKR_FUNCTION_FAILED, b.ValidateInitProfile(0, &local, false));
  b.MarkPkcs15Card(0, true);
  b.MarkPkcs15Card(1, true);
  EXPECT_EQ(CKR_OK, b.ValidateInitProfile(0, &fine, false));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, b.ValidateInitProfile(0, &local, false));
  char text[512];
  for (CK_SLOT_ID slot = 0; slot < 3; ++slot) {
    const char* m = b.GetSlotMessage(slot, false, text, sizeof text);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m, "Admin (Security Officer) PIN can't be local for token: yes, on tokenTok (number 1)\n");
  }
  EXPECT_EQ(nullptr, b.GetSlotMessage(3, false, text, sizeof text));  // the other reader's slots
  // A card of a model the validation does not serve.
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, b.ValidateInitProfile(1, &fine, false));
  b.MarkPkcs15Card(0, false);
  b.MarkPkcs15Card(1, false);
  EXPECT_EQ(SC_OK, b.DeInitLib());
}
