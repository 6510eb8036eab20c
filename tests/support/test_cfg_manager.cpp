// Configuration manager: source order, option flags, mandatory options, types,
// dynamic subsections and writing back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/cfgfile.h"
#include "support/cfgmanager.h"
#include "tests/support/cfg_test_util.h"

namespace {

class CfgManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* h = getenv("HOME");
        hadHome = h != nullptr;
        savedHome = h ? h : "";
        setenv("HOME", dir.File("home").c_str(), 1);
        mkdir(dir.File("home").c_str(), 0700);
        mkdir(dir.File("etc").c_str(), 0700);
    }
    void TearDown() override
    {
        if (hadHome)
            setenv("HOME", savedHome.c_str(), 1);
        else
            unsetenv("HOME");
    }
    // Two key=value sources: a system one and a user one.
    void TwoSources(CfgManager& m, const std::string& sys, const std::string& user)
    {
        WriteText(dir.File("sys.conf"), sys);
        WriteText(dir.File("user.conf"), user);
        CfgBase* s = m.AddSource(CFG_SOURCE_FILE, dir.File("sys.conf").c_str());
        ASSERT_NE(s, nullptr);
        s->SetSourceFlags(true, CFG_SOURCE_SYSTEM);
        ASSERT_NE(m.AddSource(CFG_SOURCE_FILE, dir.File("user.conf").c_str()), nullptr);
    }
    TempDir dir;
    bool hadHome = false;
    std::string savedHome;
};

TEST_F(CfgManagerTest, LaterSourceWinsUnlessKeepFirst)
{
    CfgManager m;
    TwoSources(m, "Level = 1\nName = sys\n", "Level = 2\n");
    m.DeclareOption("Level", nullptr, CFG_TYPE_INT, false);
    CfgParamAndValue* name = m.DeclareOption("Name", nullptr, CFG_TYPE_TEXT, false);
    ASSERT_TRUE(m.Read()) << m.GetLastError();
    unsigned long v = 0;
    EXPECT_EQ(m.GetInt("level", &v), 1);
    EXPECT_EQ(v, 2u);
    const char* s = nullptr;
    EXPECT_EQ(m.GetString("Name", &s), 1);
    EXPECT_STREQ(s, "sys");
    EXPECT_EQ(name->GetSource(), m.GetHead());

    CfgManager k;
    TwoSources(k, "Level = 1\n", "Level = 2\n");
    k.DeclareOption("Level", nullptr, CFG_TYPE_INT, false)->SetFlags(true, CFG_OPT_KEEP_FIRST);
    ASSERT_TRUE(k.Read());
    EXPECT_EQ(k.GetInt("Level", &v), 1);
    EXPECT_EQ(v, 1u);
}

TEST_F(CfgManagerTest, SystemOnlyOptionIgnoredInUserFile)
{
    CfgManager m;
    TwoSources(m, "Other = 1\n", "Secret = 7\nOther = 2\n");
    m.DeclareOption("Secret", nullptr, CFG_TYPE_INT, true)->SetFlags(true, CFG_OPT_SYSTEM_ONLY);
    m.DeclareOption("Other", nullptr, CFG_TYPE_INT, true);
    ASSERT_TRUE(m.Read());
    unsigned long v = 99;
    EXPECT_EQ(m.GetInt("Secret", &v), 0);
    EXPECT_EQ(v, 99u);
    EXPECT_FALSE(m.FindOption("Secret", nullptr)->HasValue());
    EXPECT_EQ(m.GetInt("Other", &v), 1);
    EXPECT_EQ(v, 2u);
}

TEST_F(CfgManagerTest, MandatoryOptionsAndSections)
{
    CfgManager m;
    TwoSources(m, "", "");
    m.DeclareOption("Needed", nullptr, CFG_TYPE_TEXT, false);
    EXPECT_FALSE(m.Read());
    EXPECT_STREQ(m.GetLastError(), "Error: Cannot read mandatory option 'Needed'");

    CfgManager s;
    TwoSources(s, "[x]\n", "Readers\\Timeout = 3\n");
    s.DeclareOption("Timeout", "Readers", CFG_TYPE_INT, false);
    s.DeclareOption("Count", "Readers", CFG_TYPE_INT, false);
    EXPECT_FALSE(s.Read());
    EXPECT_STREQ(s.GetLastError(), "Error: [Section Readers] Cannot read mandatory option 'Count'");
    EXPECT_FALSE(s.CheckMandatory("Nowhere"));
    EXPECT_NE(std::string(s.GetLastError()).find("Error: Cannot read mandatory section 'Nowhere'"), std::string::npos);
}

TEST_F(CfgManagerTest, TypeRulesAndInvalidValues)
{
    CfgManager m;
    TwoSources(m, "Flag = yes\nNum = 5\nBin = hex:0102\n", "Num = abc\n");
    m.DeclareOption("Flag", nullptr, CFG_TYPE_BOOL, false);
    m.DeclareOption("Num", nullptr, CFG_TYPE_INT, false);
    m.DeclareOption("Bin", nullptr, CFG_TYPE_BINARY, false);
    ASSERT_TRUE(m.Read());
    unsigned long n = 0;
    bool b = false;
    EXPECT_EQ(m.GetInt("Flag", &n), 0);  // declared boolean
    EXPECT_EQ(m.GetBool("Flag", &b), 1);
    EXPECT_TRUE(b);
    EXPECT_EQ(m.GetBool("Num", &b), 1);  // declared integer reads as boolean
    EXPECT_EQ(m.GetInt("Num", &n), 1);
    EXPECT_EQ(n, 5u);  // the user file's invalid text is skipped
    std::string user = dir.File("user.conf");
    EXPECT_EQ(std::string(m.GetTail()->GetLastError()),
              user + ": Error reading integer option 'Num': invalid value\n");
    const uint8_t* d = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(m.GetBinary("Bin", &d, &len), 1);
    ASSERT_EQ(len, 2u);
    EXPECT_EQ(d[1], 2);
    const char* s = nullptr;
    EXPECT_EQ(m.GetString("Num", &s), 0);
    EXPECT_EQ(m.GetString("Missing", &s), 0);
}

TEST_F(CfgManagerTest, DefaultFilesAndHome)
{
    CfgManager m;
    ASSERT_TRUE(m.SetConfigName("pkcs11", "MIRTAL"));
    ASSERT_TRUE(m.SetSystemDirectory(dir.File("etc").c_str()));
    ASSERT_TRUE(m.AddDefaultConfigFiles(true));
    ASSERT_EQ(m.GetCount(), 2);
    EXPECT_EQ(std::string(m.GetHead()->GetPath()), dir.File("etc") + "/MIRTAL/pkcs11.conf");
    EXPECT_TRUE(m.GetHead()->IsSystemSource());
    EXPECT_EQ(std::string(m.GetTail()->GetPath()), dir.File("home") + "/.MIRTAL/pkcs11.conf");
    EXPECT_FALSE(m.GetTail()->IsSystemSource());

    unsetenv("HOME");
    CfgManager u;
    u.SetConfigName("pkcs11", nullptr);
    EXPECT_FALSE(u.AddUserConfigFile());
    EXPECT_EQ(u.GetCount(), 0);
    EXPECT_TRUE(u.AddSystemConfigFile());
    EXPECT_STREQ(u.GetHead()->GetPath(), "/etc/pkcs11.conf");
}

TEST_F(CfgManagerTest, UserFileIsIniWithSections)
{
    mkdir(dir.File("home/.MIRTAL").c_str(), 0700);
    WriteText(dir.File("home/.MIRTAL/pkcs11.conf"), "EnableLogging = true\n[Readers]\nTimeout = 9\n");
    CfgManager m;
    m.SetConfigName("pkcs11", "MIRTAL");
    ASSERT_TRUE(m.AddUserConfigFile());
    m.DeclareOption("EnableLogging", nullptr, CFG_TYPE_BOOL, true);
    m.DeclareOption("Timeout", "Readers", CFG_TYPE_INT, true);
    ASSERT_TRUE(m.Read());
    bool on = false;
    unsigned long t = 0;
    EXPECT_EQ(m.GetBool("EnableLogging", &on), 1);
    EXPECT_TRUE(on);
    EXPECT_EQ(m.GetInt("Timeout", &t, "Readers"), 1);
    EXPECT_EQ(t, 9u);
}

TEST_F(CfgManagerTest, RegistrySourceRefusesPaths)
{
    CfgManager m;
    EXPECT_EQ(m.AddSource(CFG_SOURCE_REGISTRY, "user\\x"), nullptr);
    EXPECT_EQ(m.GetCount(), 0);
    CfgBase* r = m.AddSource(CFG_SOURCE_REGISTRY, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(m.AddSource(2, nullptr), nullptr);
    ASSERT_TRUE(m.Read());
    EXPECT_STREQ(r->GetLastError(), ": Registry configuration is not supported on non-Win32 platform\n");
}

TEST_F(CfgManagerTest, WriteOffersChangedOptionsAndFlushesOnlyAcceptingSource)
{
    CfgManager m;
    TwoSources(m, "A = 1\nB = 2\n", "C = 3\n");
    m.DeclareOption("A", nullptr, CFG_TYPE_INT, false);
    m.DeclareOption("B", nullptr, CFG_TYPE_INT, false);
    m.DeclareOption("C", nullptr, CFG_TYPE_INT, false);
    ASSERT_TRUE(m.Read());
    std::string userBefore = ReadFileText(dir.File("user.conf"));
    ASSERT_TRUE(m.SetInt("A", 10));
    ASSERT_TRUE(m.Write(false, true)) << m.GetLastError();
    std::string sys = ReadFileText(dir.File("sys.conf"));
    EXPECT_NE(sys.find("A = 0x0000000a\n"), std::string::npos) << sys;
    EXPECT_NE(sys.find("B = 2\n"), std::string::npos) << sys;
    EXPECT_EQ(ReadFileText(dir.File("user.conf")), userBefore);
    // Nothing pending any more: a second Write touches no file.
    WriteText(dir.File("sys.conf"), "A = 0x0000000a\nB = 2\n# edited\n");
    ASSERT_TRUE(m.Write(false, true));
    EXPECT_NE(ReadFileText(dir.File("sys.conf")).find("# edited"), std::string::npos);

    // Reverse order offers a new option to the last source first.
    ASSERT_TRUE(m.SetString("New", "n"));
    ASSERT_TRUE(m.Write(true, false));
    EXPECT_NE(ReadFileText(dir.File("user.conf")).find("New = n\n"), std::string::npos);
}

TEST_F(CfgManagerTest, WriteReportsRequiredOptionWithoutValue)
{
    CfgManager m;
    TwoSources(m, "", "");
    m.DeclareOption("Must", nullptr, CFG_TYPE_TEXT, false);
    m.DeclareOption("Deep", "Sec", CFG_TYPE_TEXT, false);
    EXPECT_FALSE(m.Write());
    EXPECT_STREQ(m.GetLastError(), "Error: Required option Must is not set on configuration write"
                                   "Error: [Section Sec]: Required option Deep is not set on configuration write");
}

TEST_F(CfgManagerTest, ResetRemoveAndRedeclare)
{
    CfgManager m;
    TwoSources(m, "X = 4\n", "");
    m.DeclareOption("X", nullptr, CFG_TYPE_INT, true);
    ASSERT_TRUE(m.Read());
    EXPECT_TRUE(m.ResetOption("X", nullptr));
    unsigned long v = 0;
    EXPECT_EQ(m.GetInt("X", &v), 0);
    EXPECT_TRUE(m.FindOption("X", nullptr)->TestFlags(CFG_OPT_CHANGED));
    EXPECT_FALSE(m.ResetOption("Nope", nullptr));
    CfgParamAndValue* o = m.GetOrDeclareOption("x", nullptr, CFG_TYPE_TEXT, false);
    EXPECT_EQ(o, m.FindOption("X", nullptr));
    EXPECT_EQ(o->GetType(), CFG_TYPE_TEXT);
    EXPECT_FALSE(o->TestFlags(CFG_OPT_OPTIONAL));
    EXPECT_TRUE(m.RemoveOption("X", nullptr));
    EXPECT_EQ(m.FindOption("X", nullptr), nullptr);
    EXPECT_NE(m.AddSection("S"), nullptr);
    EXPECT_TRUE(m.RemoveSection("S"));
    EXPECT_FALSE(m.RemoveSection("S"));
}

TEST_F(CfgManagerTest, DynamicSubsectionsAreMergedFromEverySource)
{
    WriteText(dir.File("sys.ini"), "[Apps\\firefox]\nEnableLogging = no\nLevel = 3\n[Readers\\ACME 1]\nDisabled = yes\n");
    WriteText(dir.File("user.ini"),
              "[Apps\\firefox]\nLevel = 5\n[Apps\\ssh]\nEnableLogging = yes\n[Apps\\ssh\\deep]\nK = v\n");
    CfgManager m;
    CfgBase* sys = m.AddSource(CFG_SOURCE_INI, dir.File("sys.ini").c_str());
    sys->SetSourceFlags(true, CFG_SOURCE_SYSTEM);
    m.AddSource(CFG_SOURCE_INI, dir.File("user.ini").c_str());
    const uint32_t dyn = CFG_SECT_TAKE_ALL | CFG_SECT_TAKE_SUBSECTIONS | CFG_SECT_OPTIONAL;
    ASSERT_TRUE(m.SetSectionFlags("Apps", dyn, true));
    ASSERT_TRUE(m.SetSectionFlags("Readers", dyn, true));
    ASSERT_TRUE(m.Read()) << m.GetLastError();

    size_t pos = 0;
    std::vector<std::string> apps;
    while (CfgSection* s = m.FindNextSection("Apps", &pos, true))
        apps.push_back(s->GetShortName());
    EXPECT_EQ(apps, (std::vector<std::string>{"firefox", "ssh"}));
    unsigned long level = 0;
    EXPECT_EQ(m.GetInt("Level", &level, "Apps\\firefox"), 1);
    EXPECT_EQ(level, 5u);  // the user file overrides
    bool b = true;
    EXPECT_EQ(m.GetBool("EnableLogging", &b, "Apps\\firefox"), 0);  // text type: read by the caller
    const char* t = nullptr;
    EXPECT_EQ(m.GetString("EnableLogging", &t, "Apps\\ssh"), 1);
    EXPECT_STREQ(t, "yes");
    EXPECT_EQ(m.GetString("K", &t, "Apps\\ssh\\deep"), 1);
    EXPECT_STREQ(t, "v");
    EXPECT_EQ(m.GetString("Disabled", &t, "Readers\\ACME 1"), 1);
    // Sections no source mentions stay optional: Read still succeeds.
    CfgManager empty;
    WriteText(dir.File("none.ini"), "x = 1\n");
    empty.AddSource(CFG_SOURCE_INI, dir.File("none.ini").c_str());
    empty.SetSectionFlags("Apps", dyn, true);
    EXPECT_TRUE(empty.Read()) << empty.GetLastError();
    EXPECT_EQ(empty.GetSections().CountSubsections("Apps", true), 0);
}

// Thousands of reader sections in two files are all read, and finding them
// takes a number of name comparisons that grows with their number, not with
// its square.
TEST_F(CfgManagerTest, ManyDynamicSubsectionsAreAllReadWithLinearWork)
{
    const int n = 5000;
    std::string sys, user;
    for (int i = 0; i < n; ++i) {
        sys += "[Readers\\R" + std::to_string(i) + "]\nK = s" + std::to_string(i) + "\nOnly = " + std::to_string(i) +
               "\n";
        user += "[readers\\R" + std::to_string(n - 1 - i) + "]\nK = u" + std::to_string(n - 1 - i) + "\n";
    }
    WriteText(dir.File("sys.ini"), sys);
    WriteText(dir.File("user.ini"), user);
    CfgManager m;
    CfgBase* a = m.AddSource(CFG_SOURCE_INI, dir.File("sys.ini").c_str());
    CfgBase* b = m.AddSource(CFG_SOURCE_INI, dir.File("user.ini").c_str());
    a->SetSourceFlags(true, CFG_SOURCE_SYSTEM);
    ASSERT_TRUE(m.SetSectionFlags("Readers", CFG_SECT_TAKE_ALL | CFG_SECT_TAKE_SUBSECTIONS | CFG_SECT_OPTIONAL, true));
    ASSERT_TRUE(m.Read()) << m.GetLastError();
    EXPECT_EQ(m.GetSections().CountSubsections("Readers", true), n);
    for (int i = 0; i < n; ++i) {
        const std::string name = "Readers\\R" + std::to_string(i);
        const char* k = nullptr;
        unsigned long only = 0;
        ASSERT_EQ(m.GetString("K", &k, name.c_str()), 1) << name;
        EXPECT_EQ(std::string(k), "u" + std::to_string(i));  // the later file wins
        ASSERT_EQ(m.GetInt("Only", &only, name.c_str()), 1) << name;
        EXPECT_EQ(only, static_cast<unsigned long>(i));
    }
    unsigned long comparisons = m.GetSections().GetNameComparisons();
    for (CfgBase* src : {a, b})
        comparisons += dynamic_cast<CfgFile*>(src)->GetSections().GetNameComparisons();
    EXPECT_LT(comparisons, 40ul * n);
}

TEST_F(CfgManagerTest, RepeatedReadTakesNewValues)
{
    CfgManager m;
    TwoSources(m, "V = 1\n", "");
    m.DeclareOption("V", nullptr, CFG_TYPE_INT, false);
    ASSERT_TRUE(m.Read());
    WriteText(dir.File("sys.conf"), "V = 7\n");
    ASSERT_TRUE(m.Read());
    unsigned long v = 0;
    EXPECT_EQ(m.GetInt("V", &v), 1);
    EXPECT_EQ(v, 7u);
}

}  // namespace
