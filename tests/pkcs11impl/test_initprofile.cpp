// The card-initialisation profile: option defaults and bounds, global and token
// section precedence, value words, output variables, the validation messages
// byte for byte, and hostile profiles.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/randomtext.h"
#include "support/cfginifile.h"
#include "support/cfgparam.h"

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  CfgSectionList sections;
  InitProfile profile{&sections};
  InitPinBounds bounds;  // a card with PINs of 4 to 8, PUKs alike

  void SetUp() override {
    bounds.pinMin = 4;
    bounds.pinMax = 8;
    bounds.pukMin = 4;
    bounds.pukMax = 8;
  }
  CfgSection* Section(const char* name) {
    CfgSection* s = sections.FindSection(name, true);
    return s ? s : sections.AddSection(name, false);
  }
  void Set(const char* section, const char* name, const char* value) {
    CfgParamAndValue* p = Section(section)->GetOrAddParam(name, CFG_TYPE_TEXT, false, true);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->SetString(value));
  }
  void SetG(const char* name, const char* value) { Set("", name, value); }
  std::string Validate(CK_RV expect, bool files = false) {
    std::string msg;
    EXPECT_EQ(profile.Validate(bounds, files, InitExpandFn(), &msg), expect) << msg;
    return msg;
  }
  static const char* Text(const CfgSection* s, const char* name) {
    const char* t = InitProfile::FindText(s, name);
    return t ? t : "(absent)";
  }
  static unsigned long Number(const CfgSection* s, const char* name) {
    const CfgParamAndValue* p = s->FindParam(name, true);
    unsigned long v = 0xDEAD;
    if (p) p->GetInt(&v);
    return v;
  }
};

// A generator that writes the alphabet's first character `chars` times, so
// the settled values are predictable.
InitRandomTextFn FirstCharGenerator(std::string* alphabetsSeen = nullptr) {
  return [alphabetsSeen](uint8_t* out, CK_ULONG* len, CK_ULONG chars, const char* alphabet) -> CK_RV {
    RandomAlphabet a;
    a.Set(alphabet);
    if (alphabetsSeen) *alphabetsSeen += std::string(alphabet ? alphabet : "(digits)") + "|";
    uint8_t e[3];
    const size_t n = a.Encode(0, e);
    if (*len < chars * n) return CKR_BUFFER_TOO_SMALL;
    for (CK_ULONG i = 0; i < chars; ++i) std::memcpy(out + i * n, e, n);
    *len = chars * n;
    return CKR_OK;
  };
}

}  // namespace

TEST_F(ProfileTest, TokenSectionsAreDirectSubsectionsOfTheGlobalSection) {
  EXPECT_EQ(profile.GetTokenCount(), 0);
  SetG("SoPin", "1234");
  Section("First");
  Section("Second");
  Section("Second\\Deeper");
  EXPECT_EQ(profile.GetTokenCount(), 2);
  EXPECT_STREQ(profile.GetTokenSection(0)->GetName(), "First");
  EXPECT_STREQ(profile.GetTokenSection(1)->GetName(), "Second");
  EXPECT_EQ(profile.GetTokenSection(2), nullptr);
}

TEST_F(ProfileTest, BlockGlobalUserPinDefaultsByTokenCount) {
  EXPECT_FALSE(profile.BlockGlobalUserPin());
  Section("One");
  EXPECT_FALSE(profile.BlockGlobalUserPin());
  Section("Two");
  EXPECT_TRUE(profile.BlockGlobalUserPin());
  SetG("BlockGlobalUserPin", "no");
  EXPECT_FALSE(profile.BlockGlobalUserPin());
  EXPECT_FALSE(profile.TestSettingsOnly());
  SetG("TestSettingsOnly", "true");
  EXPECT_TRUE(profile.TestSettingsOnly());
  EXPECT_FALSE(profile.WriteAllPins());
}

TEST_F(ProfileTest, SettledDefaultsOfAnEmptyTokenSection) {
  Section("");
  Section("Tok");
  InitTokenSettings s;
  std::string alphabets;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(&alphabets), &s), CKR_OK);
  EXPECT_EQ(s.tokenLabel, "Tok");
  EXPECT_EQ(s.userPinLabel, "PIN u\xc5\xbcytkownika");
  EXPECT_EQ(s.userPukLabel, "Kod PUK u\xc5\xbcytkownika");
  EXPECT_EQ(s.soPinLabel, "PIN administratora");
  EXPECT_EQ(s.soPukLabel, "Kod PUK administratora");
  EXPECT_EQ(s.userPinMinLen, 4u);
  EXPECT_EQ(s.userPinMaxLen, 8u);
  EXPECT_EQ(s.userPinMaxTries, 3u);
  EXPECT_EQ(s.userPukMaxTries, 3u);
  EXPECT_EQ(s.userPukUseCount, 0xFFFFFFFFul);
  EXPECT_EQ(s.soPinMaxTries, 10u);
  EXPECT_EQ(s.soPukMaxTries, 10u);
  EXPECT_EQ(s.soPukUseCount, 0xFFFFFFFFul);
  EXPECT_FALSE(s.userPinIsLocal);
  EXPECT_TRUE(s.userPinRandom && s.userPukRandom && s.soPinRandom && s.soPukRandom);
  EXPECT_STREQ(s.userPin.Get(), "0000");  // random values have the minimum length
  EXPECT_STREQ(s.soPuk.Get(), "0000");
  EXPECT_EQ(s.tokenProfile, "<default>");
  EXPECT_EQ(s.tokenIssuerId, "");
  EXPECT_EQ(s.outputPinFile, "");
  EXPECT_EQ(s.outputPinFormat,
            "Token: $TokenLabel, SerialNumber: $TokenSerialNumber, SoPin: $SoPin, SoPuk: $SoPuk, UserPin: $UserPin, "
            "UserPuk: $UserPuk\n");
  EXPECT_STREQ(kInitDefaultGlobalSoPinFormat,
               "Card: $CardModel, SerialNumber: $TokenSerialNumber, SoPin: $SoPin, SoPuk: $SoPuk\n");
  EXPECT_EQ(alphabets, "(digits)|(digits)|(digits)|(digits)|");
}

TEST_F(ProfileTest, TokenSectionOverridesGlobalAndSoOptionsAreGlobalOnly) {
  SetG("UserPinLabel", "global label");
  SetG("UserPinMaxTries", "5");
  SetG("SoPinMaxTries", "7");
  Set("A", "UserPinLabel", "token label");
  Set("A", "SoPinMaxTries", "2");  // not read from a token section
  Set("A", "SoPinLabel", "token admin");
  Section("B");
  InitTokenSettings a, b;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &a), CKR_OK);
  ASSERT_EQ(profile.Settle(1, bounds, false, nullptr, FirstCharGenerator(), &b), CKR_OK);
  EXPECT_EQ(a.userPinLabel, "token label");
  EXPECT_EQ(b.userPinLabel, "global label");
  EXPECT_EQ(a.userPinMaxTries, 5u);
  EXPECT_EQ(a.soPinMaxTries, 7u);
  EXPECT_EQ(a.soPinLabel, "token admin");
  EXPECT_EQ(b.soPinLabel, "PIN administratora");
}

TEST_F(ProfileTest, TokenLabelLookup) {
  Section("");
  Set("Named", "Other", "x");
  Set("Labelled", "TokenLabel", "Mine");
  Set("Default", "TokenLabel", "<default>");
  EXPECT_EQ(profile.GetTokenLabel(0), "Named");
  EXPECT_EQ(profile.GetTokenLabel(1), "Mine");
  EXPECT_EQ(profile.GetTokenLabel(2), "Default");
  // A section named "<default>" falls back to the global default label.
  Section("<default>");
  EXPECT_EQ(profile.GetTokenLabel(3), "MIRTAL");
  SetG("__ADD_DefaultTokenLabel", "Company");
  EXPECT_EQ(profile.GetTokenLabel(3), "Company");
  SetG("TokenLabel", "Everyone");
  EXPECT_EQ(profile.GetTokenLabel(0), "Everyone");
  EXPECT_EQ(profile.GetTokenLabel(1), "Mine");
}

TEST_F(ProfileTest, LengthBoundsAndNumbers) {
  Section("T");
  auto minLen = [&](const char* v) {
    Set("T", "UserPinMinLen", v);
    return profile.GetMinLen(0, "UserPinMinLen", 4, 8);
  };
  auto maxLen = [&](const char* v) {
    Set("T", "UserPinMaxLen", v);
    return profile.GetMaxLen(0, "UserPinMaxLen", 4, 8);
  };
  EXPECT_EQ(minLen("<default>"), 4u);
  EXPECT_EQ(minLen("2"), 4u);
  EXPECT_EQ(minLen("6"), 6u);
  EXPECT_EQ(minLen("0x6"), 6u);
  EXPECT_EQ(minLen("07"), 7u);
  EXPECT_EQ(minLen("99"), 0u);
  EXPECT_EQ(minLen("5 chars"), 0u);
  EXPECT_EQ(minLen("abc"), 0u);
  EXPECT_EQ(maxLen(""), 8u);
  EXPECT_EQ(maxLen("99"), 8u);
  EXPECT_EQ(maxLen("6"), 6u);
  EXPECT_EQ(maxLen("3"), 0u);
  EXPECT_EQ(maxLen("6x"), 0u);
  Set("T", "UserPinMaxTries", "5 tries");
  EXPECT_EQ(profile.GetNumber(0, "UserPinMaxTries", 3), 3u);
  Set("T", "UserPinMaxTries", "0x10");
  EXPECT_EQ(profile.GetNumber(0, "UserPinMaxTries", 3), 16u);
  Set("T", "UserPinMaxTries", "99999999999999999999999999");
  EXPECT_EQ(profile.GetNumber(0, "UserPinMaxTries", 3), 3u);
  // A value of another type counts as absent.
  CfgParamAndValue* p = Section("T")->GetOrAddParam("UserPukMaxTries", CFG_TYPE_INT, false, true);
  p->SetType(CFG_TYPE_INT);
  p->SetInt(9);
  EXPECT_EQ(profile.GetNumber(0, "UserPukMaxTries", 3), 3u);
}

TEST_F(ProfileTest, LocalPinFlags) {
  Section("T");
  EXPECT_TRUE(profile.GetUserPinIsLocal(0, true));
  EXPECT_FALSE(profile.GetUserPinIsLocal(0, false));
  for (const char* yes : {"1", "y", "YES", "on", "t", "True", "tak"}) {
    Set("T", "SoPinIsLocal", yes);
    EXPECT_TRUE(profile.GetSoPinIsLocal(0)) << yes;
  }
  for (const char* no : {"0", "n", "no", "OFF", "f", "false"}) {
    Set("T", "UserPinIsLocal", no);
    EXPECT_FALSE(profile.GetUserPinIsLocal(0, true)) << no;
  }
  Set("T", "UserPinIsLocal", "maybe");
  EXPECT_TRUE(profile.GetUserPinIsLocal(0, true));
  EXPECT_FALSE(profile.GetUserPinIsLocal(0, false));
}

TEST_F(ProfileTest, AlphabetLookupOrder) {
  Section("T");
  EXPECT_EQ(profile.GetUserPinAlphabet(0), nullptr);
  SetG("RandomPinChars", "g-base");
  EXPECT_STREQ(profile.GetUserPinAlphabet(0), "g-base");
  EXPECT_STREQ(profile.GetSoPinAlphabet(), "g-base");
  SetG("RandomUserPinChars", "g-user");
  EXPECT_STREQ(profile.GetUserPinAlphabet(0), "g-user");
  Set("T", "RandomPinChars", "t-base");
  EXPECT_STREQ(profile.GetUserPinAlphabet(0), "t-base");
  EXPECT_STREQ(profile.GetUserPukAlphabet(0), "t-base");
  Set("T", "RandomUserPinChars", "t-user");
  EXPECT_STREQ(profile.GetUserPinAlphabet(0), "t-user");
  // The SO alphabets are global only.
  Set("T", "RandomSoPinChars", "t-so");
  EXPECT_STREQ(profile.GetSoPinAlphabet(), "g-base");
  SetG("RandomSoPukChars", "g-sopuk");
  EXPECT_STREQ(profile.GetSoPukAlphabet(), "g-sopuk");
}

TEST_F(ProfileTest, ValueWordsWhenSettling) {
  SetG("SoPin", "<RANDOM>");
  SetG("SoPuk", "<none>");
  Set("T", "UserPin", "<not inited>");
  Set("T", "UserPuk", "<none>");
  InitTokenSettings s;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_OK);
  EXPECT_TRUE(s.soPinRandom);
  EXPECT_FALSE(s.soPuk.IsSet());
  EXPECT_FALSE(s.userPuk.IsSet());
  EXPECT_STREQ(s.userPin.Get(), "<not inited>");  // passed on as text
  // The caller's SO PIN takes precedence over the profile.
  InitTokenSettings c;
  ASSERT_EQ(profile.Settle(0, bounds, false, "87654321", FirstCharGenerator(), &c), CKR_OK);
  EXPECT_STREQ(c.soPin.Get(), "87654321");
  EXPECT_FALSE(c.soPinRandom);
  // A card whose SO PIN is already set gets no random one.
  InitTokenSettings d;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &d, false), CKR_OK);
  EXPECT_FALSE(d.soPin.IsSet());
  // A failing generator leaves no values behind.
  InitTokenSettings f;
  const InitRandomTextFn failing = [](uint8_t*, CK_ULONG*, CK_ULONG, const char*) -> CK_RV {
    return CKR_FUNCTION_FAILED;
  };
  EXPECT_EQ(profile.Settle(0, bounds, false, nullptr, failing, &f), CKR_FUNCTION_FAILED);
  EXPECT_FALSE(f.soPin.IsSet());
}

TEST_F(ProfileTest, RandomValuesWithMultibyteAlphabet) {
  SetG("RandomUserPinChars", "\xc4\x85\xc4\x99");
  Set("T", "UserPinMinLen", "6");
  InitTokenSettings s;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_OK);
  EXPECT_EQ(s.userPin.Length(), 12u);
}

TEST_F(ProfileTest, OutputVariables) {
  SetG("SoPin", "11112222");
  Set("T", "UserPuk", "<none>");
  Set("T", "UserPin", "123456");
  InitTokenSettings s;
  ASSERT_EQ(profile.Settle(0, bounds, true, nullptr, FirstCharGenerator(), &s), CKR_OK);
  ASSERT_TRUE(profile.WriteOutputVariables(0, s, false));
  const CfgSection* t = sections.FindSection("T", true);
  const CfgSection* g = sections.FindSection("", true);
  EXPECT_STREQ(Text(t, "__SET_TokenLabel"), "T");
  EXPECT_STREQ(Text(t, "__SET_UserPin"), "123456");
  EXPECT_STREQ(Text(t, "__SET_SoPin"), "11112222");
  EXPECT_STREQ(Text(t, "__SET_SoPuk"), "0000");
  EXPECT_STREQ(Text(t, "__SET_UserPinLabel"), "PIN u\xc5\xbcytkownika");
  // A PUK without a value: a string parameter without text.
  const CfgParamAndValue* puk = t->FindParam("__SET_UserPuk", true);
  ASSERT_NE(puk, nullptr);
  EXPECT_EQ(puk->GetType(), CFG_TYPE_TEXT);
  EXPECT_FALSE(puk->HasValue());
  EXPECT_EQ(Number(t, "__SET_UserPinMinLen"), 4u);
  EXPECT_EQ(Number(t, "__SET_UserPinMaxLen"), 8u);
  EXPECT_EQ(Number(t, "__SET_UserPinMaxTries"), 3u);
  EXPECT_EQ(Number(t, "__SET_UserPukUseCount"), 0xFFFFFFFFul);
  EXPECT_EQ(Number(t, "__SET_SoPinMaxTries"), 10u);
  EXPECT_EQ(Number(t, "__SET_SoPukMaxLen"), 8u);
  bool flag = false;
  ASSERT_TRUE(t->FindParam("__SET_UserPinIsLocal", true)->GetBool(&flag));
  EXPECT_TRUE(flag);
  ASSERT_TRUE(t->FindParam("__SET_SoPinIsLocal", true)->GetBool(&flag));
  EXPECT_FALSE(flag);
  EXPECT_EQ(t->FindParam("__SET_SoPinIsLocal", true)->GetType(), CFG_TYPE_BOOL);
  ASSERT_NE(g->FindParam("__SET_GlobalUserPinBlocked", true), nullptr);
  ASSERT_NE(g->FindParam("__SET_GlobalOTPPinBlocked", true), nullptr);
  EXPECT_EQ(g->FindParam("__SET_SoPin", true), nullptr);  // only with the caller's SO PIN
  ASSERT_TRUE(profile.WriteOutputVariables(0, s, true));
  EXPECT_STREQ(Text(g, "__SET_SoPin"), "11112222");
}

TEST_F(ProfileTest, OutputVariablesMakeASectionWhenTheProfileHasNone) {
  InitTokenSettings s;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_OK);
  EXPECT_EQ(s.tokenLabel, "MIRTAL");
  ASSERT_TRUE(profile.WriteOutputVariables(0, s, false));
  const CfgSection* t = sections.FindSection("MIRTAL", true);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(Text(t, "__SET_UserPin"), "0000");
  ASSERT_NE(sections.FindSection("", true), nullptr);
}

TEST_F(ProfileTest, ValidationPassesDefaultsAndStopsAtFirstProblem) {
  Section("");
  EXPECT_EQ(Validate(CKR_OK), "");
  Section("Alpha");
  EXPECT_EQ(Validate(CKR_OK), "");
}

TEST_F(ProfileTest, ValidationMessagesUserPin) {
  Set("Alpha", "RandomUserPinChars", "aaaa");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for random chars for user PIN: aaaa, on tokenAlpha (number 1)\n");
  Set("Alpha", "RandomUserPinChars", "ab");
  Set("Alpha", "UserPinMinLen", "99");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for minimum user pin length (valid lengths are from 4 to 8): 99, on tokenAlpha (number 1)\n");
  Set("Alpha", "UserPinMinLen", "5");
  Set("Alpha", "UserPinMaxLen", "3");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for maximum user pin length (valid lengths are from 4 to 8): 3, on tokenAlpha (number 1)\n");
  Set("Alpha", "UserPinMaxLen", "6");
  Set("Alpha", "UserPin", "1234567");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid user PIN value according minimum and maximum lengths (specified lengths are from 5 to 6): "
            "*******, on tokenAlpha (number 1)\n");
  Set("Alpha", "UserPin", "<blocked>");  // exempt from the length test
  EXPECT_EQ(Validate(CKR_OK), "");
}

TEST_F(ProfileTest, ValidationMessagesUserPukOnSecondToken) {
  Section("First");
  Set("Second", "TokenLabel", "Lab");
  Set("Second", "RandomUserPukChars", "zz");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD), "Invalid value for random chars for user PUK: zz, on tokenLab (number 2)\n");
  Set("Second", "RandomUserPukChars", "<alnum>");
  Set("Second", "UserPukMinLen", "x");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for minimum user PUK length (valid lengths are from 4 to 8): x, on tokenLab (number 2)\n");
  Set("Second", "UserPukMinLen", "4");
  Set("Second", "UserPukMaxLen", "1");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for maximum user PUK length (valid lengths are from 4 to 8): 1, on tokenLab (number 2)\n");
  Set("Second", "UserPukMaxLen", "8");
  Set("Second", "UserPuk", "123");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid user PUK value according minimum and maximum lengths (specified lengths are from 4 to 8): ***, "
            "on tokenLab (number 2)\n");
  Set("Second", "UserPuk", "<none>");
  EXPECT_EQ(Validate(CKR_OK), "");
}

TEST_F(ProfileTest, ValidationMessagesAdmin) {
  Set("Tok", "SoPinIsLocal", "tak");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Admin (Security Officer) PIN can't be local for token: tak, on tokenTok (number 1)\n");
  Set("Tok", "SoPinIsLocal", "no");
  SetG("RandomSoPinChars", "q");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for random chars for admin (Security Officer) PIN: q, on tokenTok (number 1)\n");
  SetG("RandomSoPinChars", "<digits>");
  SetG("SoPinMinLen", "9");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for minimum admin PIN length (valid lengths are from 4 to 8): 9, on tokenTok (number 1)\n");
  SetG("SoPinMinLen", "");
  SetG("SoPinMaxLen", "2");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for maximum admin PIN length (valid lengths are from 4 to 8): 2, on tokenTok (number 1)\n");
  SetG("SoPinMaxLen", "<default>");
  SetG("SoPin", "123456789");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid admin (SO) PIN value according minimum and maximum lengths (specified lengths are from 4 to 8): "
            "*********, on tokenTok (number 1)\n");
  SetG("SoPin", "1234");
  SetG("RandomSoPukChars", "11");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for random chars for admin (Security Officer) PUK: 11, on tokenTok (number 1)\n");
  SetG("RandomSoPukChars", "12");
  SetG("SoPukMaxLen", "1");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for maximum admin PUK length (valid lengths are from 4 to 8): 1, on tokenTok (number 1)\n");
  SetG("SoPukMaxLen", "8");
  SetG("SoPukMinLen", "100");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid value for minimum admin PUK length (valid lengths are from 4 to 8): 100, on tokenTok (number 1)\n");
  SetG("SoPukMinLen", "4");
  SetG("SoPuk", "12");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD),
            "Invalid admin (SO) PUK value according minimum and maximum lengths (specified lengths are from 4 to 8): "
            "**, on tokenTok (number 1)\n");
  SetG("SoPuk", "<none>");
  EXPECT_EQ(Validate(CKR_OK), "");
}

TEST_F(ProfileTest, ValidationUsesPukBoundsOfTheCard) {
  bounds.pukMin = 4;
  bounds.pukMax = 16;
  Set("T", "UserPuk", "1234567890123456");
  EXPECT_EQ(Validate(CKR_OK), "");
  Set("T", "UserPin", "1234567890123456");
  EXPECT_NE(Validate(CKR_ARGUMENTS_BAD).find("Invalid user PIN value"), std::string::npos);
}

TEST_F(ProfileTest, ValidationOfOutputFiles) {
  char dir[] = "/tmp/initprofile-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string good = std::string(dir) + "/pins.txt";
  const std::string bad = std::string(dir) + "/missing/pins.txt";
  Set("T", "OutputPinFile", bad.c_str());
  EXPECT_EQ(Validate(CKR_OK, false), "");  // not asked for
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD, true),
            "Can't open file for writing generated pins: " + bad + " (No such file or directory), on tokenT (number 1)\n");
  Set("T", "OutputPinFile", good.c_str());
  EXPECT_EQ(Validate(CKR_OK, true), "");
  struct stat st {};
  ASSERT_EQ(stat(good.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The default line format names SoPin and SoPuk: no global line needed.
  SetG("OutputPinFile", bad.c_str());
  EXPECT_EQ(Validate(CKR_OK, true), "");
  // A token format without them needs the global SO PIN line and its file.
  Set("T", "OutputPinFormat", "$UserPin\n");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD, true),
            "Can't open file for writing generated global admin pin: " + bad + " (No such file or directory)\n");
  Set("T", "OutputPinFormat", "$__SET_SoPin $__SET_SoPuk\n");
  EXPECT_EQ(Validate(CKR_OK, true), "");
  // A name the expander refuses.
  std::string msg;
  const InitExpandFn refuse = [](const char*, int, std::string*) { return false; };
  EXPECT_EQ(profile.Validate(bounds, true, refuse, &msg), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(msg, ": Invalid option OutputPinFile value: " + good + ", on tokenT (number 1)\n");
  // Every PIN given: nothing drawn, but the token's line still goes to its file.
  Set("T", "OutputPinFile", bad.c_str());
  Set("T", "UserPin", "1234");
  Set("T", "UserPuk", "12345");
  SetG("SoPin", "4321");
  SetG("SoPuk", "54321");
  Set("T", "OutputPinFormat", "$UserPin\n");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD, true),
            "Can't open file for writing generated pins: " + bad + " (No such file or directory), on tokenT (number 1)\n");
  // A given SO PIN needs no global line; with WriteAllPins it does.
  Set("T", "OutputPinFile", good.c_str());
  EXPECT_EQ(Validate(CKR_OK, true), "");
  SetG("WriteAllPins", "1");
  EXPECT_EQ(Validate(CKR_ARGUMENTS_BAD, true),
            "Can't open file for writing generated global admin pin: " + bad + " (No such file or directory)\n");
  // So does an SO PIN that the caller hands in (it may differ from the profile's).
  SetG("WriteAllPins", "0");
  msg.clear();
  EXPECT_EQ(profile.Validate(bounds, true, InitExpandFn(), &msg, true), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(msg, "Can't open file for writing generated global admin pin: " + bad + " (No such file or directory)\n");
  unlink(good.c_str());
  rmdir(dir);
}

TEST(InitProfileText, FormatMentionsAdminPinAndPuk) {
  EXPECT_TRUE(InitFormatHasSoPinAndPuk(kInitDefaultOutputPinFormat));
  EXPECT_TRUE(InitFormatHasSoPinAndPuk("$sopin $SOPUK"));
  EXPECT_FALSE(InitFormatHasSoPinAndPuk("$SoPin only"));
  EXPECT_TRUE(InitFormatHasSoPinAndPuk("${__SET_SoPin} ${SoPuk}"));
  EXPECT_FALSE(InitFormatHasSoPinAndPuk("SoPin SoPuk"));  // not variables
  EXPECT_FALSE(InitFormatHasSoPinAndPuk(nullptr));
}

TEST(InitProfileHostile, NullAndEmptyProfiles) {
  InitProfile none(nullptr);
  EXPECT_EQ(none.GetTokenCount(), 0);
  EXPECT_EQ(none.GetGlobal(), nullptr);
  EXPECT_FALSE(none.BlockGlobalUserPin());
  InitPinBounds b;
  std::string msg;
  EXPECT_EQ(none.Validate(b, true, InitExpandFn(), &msg), CKR_OK);
  InitTokenSettings s;
  EXPECT_EQ(none.Settle(0, b, false, nullptr, InitRandomTextFn(), nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_FALSE(none.WriteOutputVariables(0, s, false));
}

TEST_F(ProfileTest, ProfileWithoutGlobalSection) {
  Set("Only", "UserPin", "123456");
  EXPECT_EQ(profile.GetGlobal(), nullptr);
  EXPECT_EQ(profile.GetTokenCount(), 1);
  EXPECT_EQ(Validate(CKR_OK, true), "");
  InitTokenSettings s;
  ASSERT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_OK);
  ASSERT_TRUE(profile.WriteOutputVariables(0, s, false));
  ASSERT_NE(profile.GetGlobal(), nullptr);
  EXPECT_NE(profile.GetGlobal()->FindParam("__SET_GlobalUserPinBlocked", true), nullptr);
  EXPECT_EQ(profile.GetTokenCount(), 1);  // still one token section
}

TEST_F(ProfileTest, InvalidLengthNeverGivesAnEmptyRandomPin) {
  Set("T", "UserPinMinLen", "99");
  InitTokenSettings s;
  EXPECT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_ARGUMENTS_BAD);
  EXPECT_FALSE(s.userPin.IsSet());
}

TEST_F(ProfileTest, HostileValuesNeverCrash) {
  const std::string longLabel(100000, 'L');
  Set("T", "TokenLabel", longLabel.c_str());
  Set("T", "UserPinMinLen", "-5");
  EXPECT_EQ(profile.GetTokenLabel(0), longLabel);
  const std::string msg = Validate(CKR_ARGUMENTS_BAD);
  EXPECT_EQ(msg, "Invalid value for minimum user pin length (valid lengths are from 4 to 8): -5, on token" + longLabel +
                     " (number 1)\n");
  Set("T", "UserPinMinLen", "4");
  Set("T", "UserPin", std::string(5000, '9').c_str());
  EXPECT_NE(Validate(CKR_ARGUMENTS_BAD).find("specified lengths are from 4 to 8"), std::string::npos);
  // A generator asked for a huge length is served by the caller's bound, not trusted blindly.
  InitTokenSettings s;
  Set("T", "UserPin", "<random>");
  EXPECT_EQ(profile.Settle(0, bounds, false, nullptr, FirstCharGenerator(), &s), CKR_OK);
  EXPECT_EQ(s.userPin.Length(), 4u);
}

TEST(InitProfileFile, ReadFromAnIniFile) {
  char dir[] = "/tmp/initprofile-ini-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/profile.ini";
  {
    std::ofstream f(path);
    f << "SoPin = 12345678\nUserPinMaxTries = 5\n[Alpha]\nUserPin = 2222\n[Beta]\nUserPinLabel = Beta PIN\n";
  }
  CfgIniFile ini;
  ASSERT_TRUE(ini.SetPath(path.c_str()));
  ASSERT_TRUE(ini.Read());
  InitProfile profile(const_cast<CfgSectionList*>(&ini.GetSections()));
  EXPECT_EQ(profile.GetTokenCount(), 2);
  EXPECT_TRUE(profile.BlockGlobalUserPin());
  EXPECT_STREQ(profile.GetText(-1, "SoPin", nullptr), "12345678");
  EXPECT_STREQ(profile.GetText(0, "UserPin", nullptr), "2222");
  EXPECT_STREQ(profile.GetText(1, "userpinlabel", nullptr), "Beta PIN");
  EXPECT_EQ(profile.GetNumber(1, "UserPinMaxTries", 3), 5u);
  InitPinBounds b{4, 8, 4, 8};
  std::string msg;
  EXPECT_EQ(profile.Validate(b, false, InitExpandFn(), &msg), CKR_OK) << msg;
  unlink(path.c_str());
  rmdir(dir);
}

// ---- variables in output texts ----

namespace {
CfgParamAndValue* Put(CfgSection* s, const char* name, uint32_t type) {
  CfgParamAndValue* p = s->GetOrAddParam(name, type, false, true);
  p->SetType(type);
  return p;
}
}  // namespace

TEST(ProfileTextExpansion, VariablesWordsAndMalformedTexts) {
  CfgSectionList sections;
  CfgSection* g = sections.AddSection("", false);
  CfgSection* t0 = sections.AddSection("Podpis", false);
  sections.AddSection("Drugi", false);
  Put(g, "CardModel", CFG_TYPE_TEXT)->SetString("ClassIC");
  Put(g, "SoPin", CFG_TYPE_TEXT)->SetString("<random>");
  Put(t0, "__SET_SoPin", CFG_TYPE_TEXT)->SetString("4321");
  Put(t0, "__SET_UserPinMaxTries", CFG_TYPE_INT)->SetInt(5);
  Put(t0, "__SET_UserPinIsLocal", CFG_TYPE_BOOL)->SetBool(true);
  Put(t0, "__SET_UserPuk", CFG_TYPE_TEXT)->ClearValue();
  Put(t0, "UserPuk", CFG_TYPE_TEXT)->SetString("<none>");
  Put(g, "Model", CFG_TYPE_TEXT)->SetString("global");
  Put(t0, "Model", CFG_TYPE_TEXT)->SetString("token");
  std::string out;
  ASSERT_TRUE(ExpandProfileText("", &sections, &out, 0));
  EXPECT_EQ("", out);
  ASSERT_TRUE(ExpandProfileText("no variables", &sections, &out, 0));
  EXPECT_EQ("no variables", out);
  ASSERT_TRUE(ExpandProfileText("$CardModel: ${SoPin}, $$5, $UserPinMaxTries tries, local $UserPinIsLocal", &sections,
                                &out, 0));
  EXPECT_EQ("ClassIC: 4321, $5, 5 tries, local 1", out);
  // The token's section wins over the global one; the global section alone for -1.
  ASSERT_TRUE(ExpandProfileText("$Model $SoPin", &sections, &out, 0));
  EXPECT_EQ("token 4321", out);
  ASSERT_TRUE(ExpandProfileText("$Model $SoPin", &sections, &out, -1));
  EXPECT_EQ("global <random>", out);
  // A variable set without text falls back to the profile's word; unknown names are empty.
  ASSERT_TRUE(ExpandProfileText("[$UserPuk][$Unknown][$-][$]", &sections, &out, 0));
  EXPECT_EQ("[<none>][][$-][$]", out);
  // The token label: the section's name, then the default label, then MIRTAL.
  ASSERT_TRUE(ExpandProfileText("$TokenLabel/${TokenLabel}", &sections, &out, 1));
  EXPECT_EQ("Drugi/Drugi", out);
  ASSERT_TRUE(ExpandProfileText("$TokenLabel", &sections, &out, 5));
  EXPECT_EQ("MIRTAL 5", out);
  ASSERT_TRUE(ExpandProfileText("$TokenLabel", &sections, &out, -1));
  EXPECT_EQ("MIRTAL", out);
  Put(g, "__ADD_DefaultTokenLabel", CFG_TYPE_TEXT)->SetString("Karta");
  ASSERT_TRUE(ExpandProfileText("$TokenLabel", &sections, &out, -1));
  EXPECT_EQ("Karta", out);
  // Malformed: an unclosed brace or a character a name cannot hold.
  EXPECT_FALSE(ExpandProfileText("x ${TokenLabel", &sections, &out, 0));
  EXPECT_EQ("", out);
  EXPECT_FALSE(ExpandProfileText("${Token-Label}", &sections, &out, 0));
  EXPECT_TRUE(ExpandProfileText("${Token Label}", &sections, &out, 0));
}

TEST(ProfileTextExpansion, MentionsOfVariables) {
  EXPECT_TRUE(ProfileTextMentions("SoPin", "a $sopin b"));
  EXPECT_TRUE(ProfileTextMentions("SoPin", "${SoPin}"));
  EXPECT_FALSE(ProfileTextMentions("SoPin", "SoPin"));
  EXPECT_FALSE(ProfileTextMentions("SoPin", "${SoPinX}"));
  EXPECT_TRUE(InitFormatHasSoPinAndPuk(kInitDefaultGlobalSoPinFormat));
  EXPECT_TRUE(InitFormatHasSoPinAndPuk("$__SET_SoPin ${SoPuk}"));
  EXPECT_FALSE(InitFormatHasSoPinAndPuk("$UserPin $SoPuk"));
}
