// Key=value and INI configuration files: syntax, quoting, warnings, writing.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/cfgfile.h"
#include "support/cfginifile.h"
#include "support/cfgregistry.h"
#include "tests/support/cfg_test_util.h"

namespace {

std::string Get(CfgBase& f, const char* section, const char* name)
{
    bool found = false;
    const char* v = f.GetString(section, name, "<absent>", &found);
    return v;
}

TEST(CfgUnquoteTest, EscapesAndModes)
{
    std::string out;
    EXPECT_EQ(CfgUnquote("\"\\101\\x41\\n\\t\\\\\\\"\\q\\x\"", -1, &out, false), 1);
    EXPECT_EQ(out, "AA\n\t\\\"qx");
    EXPECT_EQ(CfgUnquote("  plain name ", -1, &out, false), 1);
    EXPECT_EQ(out, "plain name");
    EXPECT_EQ(CfgUnquote("pl\"ain", -1, &out, false), 0);
    EXPECT_EQ(CfgUnquote("\"abc\" x", -1, &out, false), 0);
    EXPECT_EQ(CfgUnquote("\"abc", -1, &out, false), 0);
    EXPECT_EQ(CfgUnquote("a \"b c\" d", -1, &out, true), 1);
    EXPECT_EQ(out, "a b c d");
    EXPECT_EQ(CfgUnquote("a \"b", -1, &out, true), 0);
    EXPECT_EQ(CfgUnquote("a\\nb", -1, &out, true), 1);  // outside quotes a backslash is plain
    EXPECT_EQ(out, "a\\nb");
    EXPECT_EQ(CfgUnquote("\"\\777\"", -1, &out, false), 1);
    EXPECT_EQ(out, std::string(1, static_cast<char>(0777 & 0xFF)));
    EXPECT_EQ(CfgUnquote("", -1, &out, false), 1);
    EXPECT_EQ(out, "");

    std::string q;
    CfgQuote("a\"b'c\\d\n\x01\xC3\x7F", -1, &q);
    EXPECT_EQ(q, "\"a\\\"b\\'c\\\\d\\n\\x01\\xC3\x7F\"");
    EXPECT_TRUE(CfgNeedsQuoting(" lead", -1));
    EXPECT_TRUE(CfgNeedsQuoting("trail ", -1));
    EXPECT_FALSE(CfgNeedsQuoting("inner space", -1));
    EXPECT_TRUE(CfgNeedsQuoting("back\\slash", -1));
    std::string back;
    EXPECT_EQ(CfgUnquote(q.c_str(), -1, &back, false), 1);
    EXPECT_EQ(back, "a\"b'c\\d\n\x01\xC3\x7F");
}

class CfgFileTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(CfgFileTest, CommentsQuotesAndContinuations)
{
    std::string path = dir.File("a.conf");
    WriteText(path,
              "# a comment line\n"
              "  key1 = value # trailing comment\n"
              "key2 = \"value # not a comment\" # but this is\n"
              "key3 = first \\\n"
              "       second \\\n"
              "       \"  third\"\n"
              "\"quoted name\" = x\n"
              "key4=\"\\101\\x41\"\r\n"
              "Readers\\Timeout = 5\n"
              "last = no newline");
    CfgFile f;
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.Read());
    EXPECT_STREQ(f.GetLastError(), "");
    EXPECT_EQ(Get(f, nullptr, "key1"), "value");
    EXPECT_EQ(Get(f, nullptr, "KEY1"), "value");  // names ignore case
    EXPECT_EQ(Get(f, nullptr, "key2"), "value # not a comment");
    EXPECT_EQ(Get(f, nullptr, "key3"), "first second  third");
    EXPECT_EQ(Get(f, nullptr, "quoted name"), "x");
    EXPECT_EQ(Get(f, nullptr, "key4"), "AA");
    EXPECT_EQ(Get(f, "Readers", "Timeout"), "5");
    EXPECT_EQ(Get(f, "readers", "timeout"), "5");
    EXPECT_EQ(Get(f, nullptr, "last"), "no newline");
}

TEST_F(CfgFileTest, SyntaxErrorsAreReportedTwiceAndSkipped)
{
    std::string path = dir.File("bad.conf");
    WriteText(path,
              "good = 1\n"
              "bad\"na\"me = 2\n"
              "= 3\n"
              "no separator here\n"
              "x = \"open\n"
              "\"open = 4\n"
              "good = 5\n"
              "S\\dup = a\n"
              "s\\DUP = b\n"
              "after = 6\n");
    CfgFile f;
    f.SetPath(path.c_str());
    EXPECT_TRUE(f.Read());
    const std::string p = path;
    EXPECT_EQ(std::string(f.GetLastError()),
              p + "(2): Invalid quoted option name\n" + p + "(2): Bad syntax - line ignored\n" + p +
                  "(3): Empty option name\n" + p + "(3): Bad syntax - line ignored\n" + p +
                  "(4): No option-value separator ('=' character) in line\n" + p +
                  "(4): Bad syntax - line ignored\n" + p + "(5): Invalid quoted option value\n" + p +
                  "(5): Bad syntax - line ignored\n" + p + "(6): No closing \" character in line\n" + p +
                  "(6): Bad syntax - line ignored\n" + p + "(7): Warning: Duplicate option: good = 5 ignored\n" + p +
                  "(9): Warning: [Section s] Duplicate option: DUP = b ignored\n");
    EXPECT_EQ(Get(f, nullptr, "good"), "1");
    EXPECT_EQ(Get(f, "S", "dup"), "a");
    EXPECT_EQ(Get(f, nullptr, "after"), "6");
}

TEST_F(CfgFileTest, MissingFileIsReported)
{
    CfgFile f;
    std::string path = dir.File("none.conf");
    f.SetPath(path.c_str());
    EXPECT_FALSE(f.Read());
    EXPECT_EQ(std::string(f.GetLastError()),
              path + ": Can't open config file for reading: " + strerror(ENOENT) + "\n");
}

TEST_F(CfgFileTest, WriteThenReadBackIdentical)
{
    std::string path = dir.File("sub/dir/out.conf");  // the folders do not exist yet
    CfgFile f;
    f.SetPath(path.c_str());
    f.SetString(nullptr, "plain", "inner space");
    f.SetString(nullptr, "lead", " leading");
    f.SetString(nullptr, "nl", "two\nlines");
    f.SetString(nullptr, "hash", "a # b");
    f.SetString(nullptr, "eq=name", "v=w");
    f.SetString(nullptr, "empty", "");
    f.SetString(nullptr, "endslash", "C:\\dir\\");
    f.SetString("Readers", "Timeout", "5");
    f.SetString("Apps\\tool", "Flag", "yes");
    ASSERT_TRUE(f.Flush());
    std::string text = ReadFileText(path);
    EXPECT_EQ(text.substr(0, text.find("\n\n") + 2),
              "# out.conf: configuration file generated automatically.\n"
              "# Any changes made to this file will be overwritten next\n"
              "# time this config will be written\n\n");
    EXPECT_NE(text.find("plain = inner space\n"), std::string::npos);
    EXPECT_NE(text.find("lead = \" leading\"\n"), std::string::npos);
    EXPECT_NE(text.find("nl = \"two\\nlines\"\n"), std::string::npos);
    EXPECT_NE(text.find("Readers\\Timeout = 5\n"), std::string::npos);
    EXPECT_NE(text.find("empty = \n"), std::string::npos);
    EXPECT_FALSE(FileExists(path + "-" + std::to_string(getpid())));

    CfgFile g;
    g.SetPath(path.c_str());
    ASSERT_TRUE(g.Read());
    EXPECT_STREQ(g.GetLastError(), "");
    for (const char* n : {"plain", "lead", "nl", "hash", "eq=name", "empty", "endslash"})
        EXPECT_EQ(Get(g, nullptr, n), Get(f, nullptr, n)) << n;
    EXPECT_EQ(Get(g, "Readers", "Timeout"), "5");
    EXPECT_EQ(Get(g, "Apps\\tool", "Flag"), "yes");
}

TEST_F(CfgFileTest, FlushWritesOnlyAfterAChange)
{
    std::string path = dir.File("c.conf");
    WriteText(path, "a = 1\n");
    CfgFile f;
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.Read());
    WriteText(path, "a = 1\n# hand edit\n");
    f.SetString(nullptr, "a", "1");  // same text: no change
    EXPECT_TRUE(f.Flush());
    EXPECT_EQ(ReadFileText(path), "a = 1\n# hand edit\n");
    f.SetString(nullptr, "a", "2");
    EXPECT_TRUE(f.Flush());
    EXPECT_NE(ReadFileText(path).find("a = 2\n"), std::string::npos);
}

TEST_F(CfgFileTest, FailedRenameLeavesTheFileUntouched)
{
    // The target is a folder holding a file: the rename cannot replace it.
    std::string path = dir.File("target.conf");
    mkdir(path.c_str(), 0700);
    WriteText(path + "/keep", "precious");
    CfgFile f;
    f.SetPath(path.c_str());
    f.SetString(nullptr, "a", "1");
    EXPECT_FALSE(f.Flush());
    std::string tmp = path + "-" + std::to_string(getpid());
    EXPECT_EQ(std::string(f.GetLastError()),
              path + ": Cannot rename from temporary config file " + tmp +
                  ". File was not deleted and changed configuration was not written\n");
    EXPECT_EQ(ReadFileText(path + "/keep"), "precious");
}

TEST_F(CfgFileTest, UncreatableDirectoryIsReported)
{
    WriteText(dir.File("plainfile"), "x");
    std::string path = dir.File("plainfile/sub/c.conf");
    CfgFile f;
    f.SetPath(path.c_str());
    f.SetString(nullptr, "a", "1");
    EXPECT_FALSE(f.Flush());
    EXPECT_EQ(std::string(f.GetLastError()).rfind(path + ": Can't create directory for configuration file: ", 0), 0u)
        << f.GetLastError();
}

TEST_F(CfgFileTest, ReadFileResultIsReturnedOnceByRead)
{
    std::string path = dir.File("p.conf");
    WriteText(path, "a = 1\n");
    CfgFile f;
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.ReadFile());
    WriteText(path, "a = 2\n");
    EXPECT_TRUE(f.Read());  // the pending result, no second read
    EXPECT_EQ(Get(f, nullptr, "a"), "1");
    EXPECT_TRUE(f.Read());
    EXPECT_EQ(Get(f, nullptr, "a"), "2");
}

TEST_F(CfgFileTest, EnumerationAndRemoval)
{
    CfgIniFile f;
    std::string path = dir.File("e.ini");
    WriteText(path, "top = 1\n[Apps]\nx = int:3\n[Apps\\one]\nn = 12\nt = text\nb = bool:on\nh = hex:01\n"
                    "[Apps\\two]\n[Apps\\one\\deep]\nq = 1\n");
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.Read());
    size_t it = 0;
    std::string name;
    std::vector<std::string> subs;
    while (f.GetNextSection("Apps", &it, &name) == 0)
        subs.push_back(name);
    EXPECT_EQ(subs, (std::vector<std::string>{"one", "two"}));
    it = 0;
    EXPECT_EQ(f.GetNextSection("Nothing", &it, &name), 2);
    uint32_t type = 99;
    std::vector<std::pair<std::string, uint32_t>> params;
    it = 0;
    while (f.GetNextParam("Apps\\one", &it, &name, &type) == 0)
        params.emplace_back(name, type);
    ASSERT_EQ(params.size(), 4u);
    EXPECT_EQ(params[0], std::make_pair(std::string("n"), CFG_TYPE_INT));
    EXPECT_EQ(params[1], std::make_pair(std::string("t"), CFG_TYPE_TEXT));
    EXPECT_EQ(params[2], std::make_pair(std::string("b"), CFG_TYPE_BOOL));
    EXPECT_EQ(params[3], std::make_pair(std::string("h"), CFG_TYPE_BINARY));
    it = 0;
    EXPECT_EQ(f.GetNextParam("Missing", &it, &name, &type), 2);

    EXPECT_TRUE(f.Remove("Apps\\one", "t"));
    EXPECT_FALSE(f.Remove("Apps\\one", "t"));
    EXPECT_FALSE(f.Remove("Missing", "t"));
    EXPECT_FALSE(f.RemoveSection("Apps", false) && Get(f, "Apps", "x") != "<absent>");
    EXPECT_TRUE(f.RemoveSection("Apps", true));
    it = 0;
    EXPECT_EQ(f.GetNextSection("Apps", &it, &name), 2);
    EXPECT_EQ(Get(f, nullptr, "top"), "1");
}

TEST_F(CfgFileTest, IniSectionsAndHeaders)
{
    std::string path = dir.File("r.ini");
    WriteText(path,
              "global = g ; comment\n"
              "[Readers]\n"
              "Timeout = 5\n"
              "[\"Quoted ] name\"]\n"
              "k = v\n"
              "[]\n"
              "again = global\n"
              "[Open\n"
              "[\"open]\n"
              "a.b = 1\n");
    CfgIniFile f;
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.Read());
    EXPECT_EQ(Get(f, "Readers", "Timeout"), "5");
    EXPECT_EQ(Get(f, "Quoted ] name", "k"), "v");
    EXPECT_EQ(Get(f, nullptr, "again"), "global");
    EXPECT_EQ(Get(f, nullptr, "global"), "g");
    const std::string p = path;
    EXPECT_EQ(std::string(f.GetLastError()),
              p + "(8): No matching closing section character ']' in line\n" + p + "(8): Bad syntax - line ignored\n" +
                  p + "(9): No closing \" character\n" + p + "(9): Bad syntax - line ignored\n" + p +
                  "(10): Can't specify sections as option names (a\\b)\n" + p + "(10): Bad syntax - line ignored\n");
}

TEST_F(CfgFileTest, IniSectionPathsInOptionNamesWithTheFlag)
{
    std::string path = dir.File("s.ini");
    WriteText(path, "[s]\na.b = 1\nc\\d = 2\n");
    CfgIniFile f(1);
    f.SetPath(path.c_str());
    ASSERT_TRUE(f.Read());
    EXPECT_STREQ(f.GetLastError(), "");
    EXPECT_EQ(Get(f, "s\\a", "b"), "1");
    EXPECT_EQ(Get(f, "s\\c", "d"), "2");
}

TEST_F(CfgFileTest, IniWriteQuotesNamesThatHoldSeparators)
{
    std::string path = dir.File("w.ini");
    CfgIniFile f;
    f.SetPath(path.c_str());
    f.SetString(nullptr, "dotted.name", "1");
    f.SetString(nullptr, "semi;colon", "x ; y");
    f.SetString("Apps\\tool", "back\\slash", "2");
    f.SetString("odd]section", "[bracket", "3");
    f.SetString("Readers", "Timeout", "5");
    ASSERT_TRUE(f.Flush());
    std::string text = ReadFileText(path);
    EXPECT_NE(text.find("\n[Apps\\tool]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n[Readers]\nTimeout = 5\n"), std::string::npos) << text;
    CfgIniFile g;
    g.SetPath(path.c_str());
    ASSERT_TRUE(g.Read());
    EXPECT_STREQ(g.GetLastError(), "");
    EXPECT_EQ(Get(g, nullptr, "dotted.name"), "1");
    EXPECT_EQ(Get(g, nullptr, "semi;colon"), "x ; y");
    EXPECT_EQ(Get(g, "Apps\\tool", "back\\slash"), "2");
    EXPECT_EQ(Get(g, "odd]section", "[bracket"), "3");
    EXPECT_EQ(Get(g, "Readers", "Timeout"), "5");
}

TEST(CfgRegistryTest, ReportsNoSupport)
{
    CfgRegistry r;
    EXPECT_FALSE(r.SetPath("user\\Software\\x"));
    EXPECT_FALSE(r.Read());
    EXPECT_STREQ(r.GetLastError(), ": Registry configuration is not supported on non-Win32 platform\n");
    bool found = true;
    EXPECT_EQ(r.GetInt(nullptr, "x", 3, &found), 3u);
    EXPECT_FALSE(found);
    EXPECT_FALSE(r.SetInt(nullptr, "x", 1));
    EXPECT_TRUE(r.Flush());
    size_t it = 0;
    std::string n;
    EXPECT_EQ(r.GetNextSection(nullptr, &it, &n), 1);
    EXPECT_EQ(CfgRegistry::GetRootKey("system\\a"), nullptr);
    EXPECT_STREQ(CfgRegistry::StripRootKey("user\\a\\b"), "a\\b");
    std::string m;
    CfgRegistry::GetSystemMessage(ENOENT, &m);
    EXPECT_EQ(m, strerror(ENOENT));
}

}  // namespace
