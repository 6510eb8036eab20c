// Tokens added to and removed from simulated cards through the reader bridge,
// the PIN output file's lines and failures, and the bridge's slot state helpers.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "support/cfgparam.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";

struct Inject {
  int (*inject)(const char*, unsigned, unsigned, int) = nullptr;
  size_t (*getLog)(const char*, char*, size_t) = nullptr;
  int (*clearLog)(const char*) = nullptr;
  explicit Inject(void* h) {
    inject = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int)>(dlsym(h, "CardSimInjectSw"));
    getLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(h, "CardSimGetApduLog"));
    clearLog = reinterpret_cast<int (*)(const char*)>(dlsym(h, "CardSimClearLog"));
  }
  std::string Log() const {
    const size_t n = getLog(kR0, nullptr, 0);
    std::string s(n, '\0');
    getLog(kR0, &s[0], n);
    return s;
  }
};

// A bridge over the simulator with one reader, its card read.
class Bridge {
 public:
  explicit Bridge(const char* image) : env(Readers{{kR0, image}}) {
    sim.LoadConfig(nullptr);
    b.SetEnabledReaderSubsystems("TARVO-MELK");
    b.SetDravokLibrary((SimLibrary() + ";Sim").c_str());
    b.SetPkcs15Flags(0x10000000);
    ok = b.InitLib(nullptr, 3) == SC_OK && b.GetReaderCount() == 1;
    if (ok) b.RefreshTokenInfo(0, 1, 0);
  }
  ~Bridge() { b.DeInitLib(); }
  int Apps() { return b.GetReaderPkcs15Card(0) ? b.GetReaderPkcs15Card(0)->GetApplicationCount() : -1; }
  std::string Label(int i) {
    SCPkcs15App* app = b.GetReaderPkcs15Card(0) ? b.GetReaderPkcs15Card(0)->GetApplicationAt(i) : nullptr;
    if (app == nullptr) return "<none>";
    char text[256];
    const int n = app->GetTokenLabel(text, sizeof text);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
  }
  std::string Message(CK_SLOT_ID slot) {
    char text[1024];
    const char* m = b.GetSlotMessage(slot, false, text, sizeof text);
    return m ? m : "";
  }

  SimEnv env;
  CardSim sim;
  SCPkcs15Lib b;
  bool ok = false;
};

}  // namespace

TEST(CardTokensOnBridge, AddedTokensGetFreeLabelsAndAFailedAdditionKeepsTheOthers) {
  Bridge t("blank-model4.card");
  ASSERT_TRUE(t.ok);
  Inject sim(t.sim.handle);
  EXPECT_EQ(0, t.Apps());
  ASSERT_EQ(CKR_OK, t.b.AddToken(0, "Podpis", "11223344", -1));
  ASSERT_EQ(CKR_OK, t.b.AddToken(0, "Podpis", "11223344", 8));
  ASSERT_EQ(CKR_OK, t.b.AddToken(0, "Podpis", "11223344", -1));
  ASSERT_EQ(3, t.Apps());
  EXPECT_EQ("Podpis", t.Label(0));
  EXPECT_EQ("Podpis 2", t.Label(1));
  EXPECT_EQ("Podpis 3", t.Label(2));
  // A wrong SO PIN, and a card refusing a file: the card keeps its three tokens.
  EXPECT_EQ(CKR_PIN_INCORRECT, t.b.AddToken(0, "Inny", "99999999", -1));
  ASSERT_EQ(0, sim.inject(kR0, 0xE0, 0x6A84, 1));
  EXPECT_NE(CKR_OK, t.b.AddToken(0, "Inny", "11223344", -1));
  ASSERT_EQ(3, t.Apps());
  EXPECT_EQ("Podpis 3", t.Label(2));
  // The tokens as the bridge shows them.
  ASNPkcs15TokenInfo* ti = nullptr;
  ASSERT_EQ(SC_OK, t.b.GetSlotTokenInfo(1, &ti));
  ASSERT_NE(nullptr, ti);
  EXPECT_EQ("Podpis 2", std::string(reinterpret_cast<const char*>(ti->label.getData()), ti->label.getLength()));
  EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, t.b.GetSlotTokenInfo(3, &ti));
  bool veldor = false;
  EXPECT_EQ(SC_OK, t.b.IsVeldorToken(0, &veldor, true));
  EXPECT_TRUE(veldor);
  EXPECT_EQ(SC_E_READER_NOT_FOUND, t.b.IsVeldorToken(7, &veldor, false));
  EXPECT_TRUE(SCPkcs15Lib::FindAppByLabel(t.b.GetReaderPkcs15Card(0), "Podpis 2", nullptr));
  EXPECT_FALSE(SCPkcs15Lib::FindAppByLabel(t.b.GetReaderPkcs15Card(0), "Podpis 2",
                                           t.b.GetReaderPkcs15Card(0)->GetApplicationAt(1)));
  EXPECT_FALSE(SCPkcs15Lib::FindAppByLabel(t.b.GetReaderPkcs15Card(0), "Podpis 4", nullptr));
}

TEST(CardTokensOnBridge, DeletionNeedsTheRightSoPin) {
  Bridge t("blank-model4.card");
  ASSERT_TRUE(t.ok);
  ASSERT_EQ(CKR_OK, t.b.AddToken(0, "Podpis", "11223344", -1));
  ASSERT_EQ(CKR_OK, t.b.AddToken(0, "Szyfrowanie", "11223344", -1));
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.b.DeleteToken(0, 5, "11223344", -1));
  EXPECT_EQ(CKR_PIN_INCORRECT, t.b.DeleteToken(0, 1, "00000000", -1));
  EXPECT_EQ(2, t.Apps());
  // The application's files and directories all go (its object directories sit in a sub-DF).
  t.b.ClearSlotMessages(0, false);
  EXPECT_EQ(CKR_OK, t.b.DeleteToken(0, 1, "11223344", -1)) << t.Message(0);
  EXPECT_EQ(std::string::npos, testhost::ReadFile(t.env.Card("blank-model4.card")).find("3F00/5016"));
  ASSERT_EQ(1, t.Apps());
  EXPECT_EQ("Podpis", t.Label(0));
  // The whole card: a wrong PIN stops it, the right one removes every token.
  EXPECT_EQ(CKR_PIN_INCORRECT, t.b.DeleteToken(0, -1, "00000000", -1));
  EXPECT_EQ(1, t.Apps());
  EXPECT_NE("", t.Message(0));
  EXPECT_EQ(CKR_OK, t.b.DeleteToken(0, -1, "11223344", -1));
  EXPECT_EQ(0, t.Apps());
}

TEST(CardTokensOnBridge, WholeCardOfModel7IsNotDeleted) {
  Bridge t("blank-model7.card");
  ASSERT_TRUE(t.ok);
  Inject sim(t.sim.handle);
  sim.clearLog(kR0);
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, t.b.DeleteToken(0, -1, "87654321", -1));
  EXPECT_EQ(std::string::npos, sim.Log().find("> 00E4"));
}

TEST(CardTokensOnBridge, OptionWordSetsAndClearsTheApplicationsBit) {
  Bridge t("pkcs15-model3.card");
  ASSERT_TRUE(t.ok);
  t.b.SetPkcs15Flags(0x10000000);
  SCPkcs15App* app = t.b.GetSlotApp(0);
  ASSERT_NE(nullptr, app);
  t.b.SetPkcs15Flags(0x10000400);
  app = t.b.GetSlotApp(0);
  ASSERT_NE(nullptr, app);
  EXPECT_TRUE(app->HasFlagBits(SCPkcs15App::FLAG_NO_OTHER_APPS_B));
  t.b.SetPkcs15Flags(0x400);
  app = t.b.GetSlotApp(0);
  ASSERT_NE(nullptr, app);
  EXPECT_FALSE(app->HasFlagBits(SCPkcs15App::FLAG_NO_OTHER_APPS_B));
}

TEST(CardTokensOnBridge, TestSettingsOnlyWritesVariablesButNothingToTheCard) {
  Bridge t("blank-model4.card");
  ASSERT_TRUE(t.ok);
  Inject sim(t.sim.handle);
  CfgSectionList sections;
  CfgSection* g = sections.AddSection("", false);
  g->GetOrAddParam("TestSettingsOnly", CFG_TYPE_BOOL, false, true)->SetBool(true);
  sections.AddSection("Podpis", false);
  sections.AddSection("Podpis2", false)->GetOrAddParam("TokenLabel", CFG_TYPE_TEXT, false, true)->SetString("Podpis");
  InitProfile profile(&sections);
  sim.clearLog(kR0);
  ASSERT_EQ(CKR_OK, t.b.InitTokenFromProfile(0, 0, &profile, nullptr, -1));
  ASSERT_EQ(CKR_OK, t.b.InitTokenFromProfile(0, 1, &profile, nullptr, -1));
  const std::string log = sim.Log();
  for (const char* write : {"> 00E0", "> 00D6", "> 00E4", "> 0024", "> 002C"})
    EXPECT_EQ(std::string::npos, log.find(write)) << write;
  EXPECT_EQ(0, t.Apps());
  EXPECT_STREQ("Podpis", InitProfile::FindText(profile.GetTokenSection(0), "__SET_TokenLabel"));
  EXPECT_STREQ("Podpis 2", InitProfile::FindText(profile.GetTokenSection(1), "__SET_TokenLabel"));
  const char* userPin = InitProfile::FindText(profile.GetTokenSection(0), "__SET_UserPin");
  ASSERT_NE(nullptr, userPin);
  EXPECT_EQ(4u, std::strlen(userPin));
}

TEST(CardTokensOnBridge, PinOutputFailuresAreReportedOnTheTokensSlot) {
  Bridge t("blank-model4.card");
  ASSERT_TRUE(t.ok);
  CfgSectionList sections;
  CfgSection* g = sections.AddSection("", false);
  CfgSection* tok = sections.AddSection("Podpis", false);
  tok->GetOrAddParam("__SET_TokenLabel", CFG_TYPE_TEXT, false, true)->SetString("Podpis");
  tok->GetOrAddParam("__SET_SoPin", CFG_TYPE_TEXT, false, true)->SetString("4444");
  tok->GetOrAddParam("OutputPinFormat", CFG_TYPE_TEXT, false, true)->SetString("${TokenLabel");
  InitProfile profile(&sections);
  const std::string file = t.env.Path("pins.txt");
  EXPECT_EQ(CKR_ARGUMENTS_BAD, t.b.WriteTokenPinLine(0, 0, &profile, file.c_str()));
  EXPECT_EQ("Podpis: Invalid variable OutputPinFormat contents: ${TokenLabel\n", t.Message(0));
  EXPECT_EQ("", t.Message(1));
  tok->GetOrAddParam("OutputPinFormat", CFG_TYPE_TEXT, false, true)->SetString("$$ $TokenLabel $SoPin\n");
  const std::string missing = t.env.Path("none/pins.txt");
  EXPECT_EQ(CKR_FUNCTION_FAILED, t.b.WriteTokenPinLine(0, 0, &profile, missing.c_str()));
  EXPECT_NE(std::string::npos, t.Message(0).find("Podpis: Can't open output pin file " + missing + ": "));
  ASSERT_EQ(CKR_OK, t.b.WriteTokenPinLine(0, 0, &profile, file.c_str()));
  EXPECT_EQ("$ Podpis 4444\n", testhost::ReadFile(file));
  // The SO PIN went out with the token's line: the card's SO PIN line is not written again.
  g->GetOrAddParam("OutputPinFile", CFG_TYPE_TEXT, false, true)->SetString(file.c_str());
  EXPECT_EQ(CKR_OK, t.b.WriteGlobalSoPinLine(0, &profile, nullptr));
  EXPECT_EQ("$ Podpis 4444\n", testhost::ReadFile(file));
  g->GetOrAddParam("WriteAllPins", CFG_TYPE_BOOL, false, true)->SetBool(true);
  g->GetOrAddParam("CardModel", CFG_TYPE_TEXT, false, true)->SetString("ClassIC");
  EXPECT_EQ(CKR_OK, t.b.WriteGlobalSoPinLine(0, &profile, nullptr));
  EXPECT_EQ("$ Podpis 4444\nCard: ClassIC, SerialNumber: , SoPin: 4444, SoPuk: \n", testhost::ReadFile(file));
  // At writing time too, PINs go neither through a symbolic link nor into a file others can read.
  const std::string shared = t.env.Path("shared.txt"), link = t.env.Path("link.txt");
  testhost::WriteFile(shared, "");
  ASSERT_EQ(0, chmod(shared.c_str(), 0644));
  ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
  for (const std::string& bad : {shared, link}) {
    SCOPED_TRACE(bad);
    t.b.ClearSlotMessages(0, false);
    EXPECT_EQ(CKR_FUNCTION_FAILED, t.b.WriteTokenPinLine(0, 0, &profile, bad.c_str()));
    EXPECT_NE(std::string::npos, t.Message(0).find("Podpis: Can't open output pin file " + bad + ": the file "))
        << t.Message(0);
    EXPECT_EQ(CKR_FUNCTION_FAILED, t.b.WriteGlobalSoPinLine(0, &profile, bad.c_str()));
  }
  EXPECT_EQ("", testhost::ReadFile(shared));
  EXPECT_EQ("$ Podpis 4444\nCard: ClassIC, SerialNumber: , SoPin: 4444, SoPuk: \n", testhost::ReadFile(file));
}

TEST(CardTokensOnBridge, SlotMessagesAreLinesOfText) {
  Bridge t("blank-model4.card");
  ASSERT_TRUE(t.ok);
  EXPECT_TRUE(t.b.AppendSlotMessage(0, "first"));
  EXPECT_TRUE(t.b.AppendSlotMessage(0, "second\n"));
  EXPECT_TRUE(t.b.AppendSlotMessage(0, "third"));
  EXPECT_EQ("first\nsecond\nthird", t.Message(0));
  EXPECT_TRUE(t.b.AppendReaderMessage(0, "only", false));
  for (CK_SLOT_ID s = 0; s < 3; ++s) EXPECT_EQ("only", t.Message(s));
  EXPECT_FALSE(t.b.AppendReaderMessage(1, "no such reader"));
}
