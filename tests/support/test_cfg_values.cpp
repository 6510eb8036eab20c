// Typed configuration values: readers of typed text, typed getters with their
// warning lines, writers, and the path helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/cfgbase.h"
#include "support/cfgfile.h"
#include "support/cfgparam.h"
#include "tests/support/cfg_test_util.h"

namespace {

std::vector<uint8_t> V(std::initializer_list<int> l)
{
    std::vector<uint8_t> v;
    for (int x : l)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

TEST(CfgValuesTest, IntegerPrefixSuffixAndFailures)
{
    unsigned long v = 7;
    EXPECT_EQ(CfgParseInt("int:0x10", &v), 1);
    EXPECT_EQ(v, 16u);
    EXPECT_EQ(CfgParseInt("16k", &v), 1);
    EXPECT_EQ(v, 16384u);
    EXPECT_EQ(CfgParseInt("16K", &v), 1);
    EXPECT_EQ(v, 16384u);
    EXPECT_EQ(CfgParseInt("2M", &v), 1);
    EXPECT_EQ(v, 2097152u);
    EXPECT_EQ(CfgParseInt("2m", &v), 1);
    EXPECT_EQ(CfgParseInt("010", &v), 1);
    EXPECT_EQ(v, 8u);
    EXPECT_EQ(CfgParseInt(" 42", &v), 1);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(CfgParseInt("-1", &v), 1);
    EXPECT_EQ(v, ULONG_MAX);
    v = 7;
    EXPECT_EQ(CfgParseInt("12 ", &v), 0);
    EXPECT_EQ(CfgParseInt("", &v), 0);
    EXPECT_EQ(CfgParseInt("int:", &v), 0);
    EXPECT_EQ(CfgParseInt("Int:5", &v), 0);
    EXPECT_EQ(CfgParseInt("5kk", &v), 0);
    EXPECT_EQ(CfgParseInt("abc", &v), 0);
    EXPECT_EQ(CfgParseInt("08", &v), 0);
    EXPECT_EQ(CfgParseInt("0xFFFFFFFFFFFFFFFFF", &v), 0);  // out of range
    EXPECT_EQ(CfgParseInt("0x40000000000000k", &v), 0);    // suffix overflows
    EXPECT_EQ(v, 7u);
}

TEST(CfgValuesTest, BooleanWordsAndCaseRules)
{
    bool b = false;
    for (const char* t : {"bool:YES", "Tak", "on", "1", "y", "T", "TRUE"}) {
        b = false;
        EXPECT_EQ(CfgParseBool(t, &b), 1) << t;
        EXPECT_TRUE(b) << t;
    }
    for (const char* t : {"OFF", "0", "n", "No", "f", "false", "bool:off"}) {
        b = true;
        EXPECT_EQ(CfgParseBool(t, &b), 1) << t;
        EXPECT_FALSE(b) << t;
    }
    b = true;
    for (const char* t : {"nie", "", "Bool:yes", "yes ", "2"})
        EXPECT_EQ(CfgParseBool(t, &b), 0) << t;
    EXPECT_TRUE(b);
}

TEST(CfgValuesTest, BinaryPrefixesHexAndBase64)
{
    std::vector<uint8_t> out;
    EXPECT_EQ(CfgParseBinary("hex:0A0b", &out), 1);
    EXPECT_EQ(out, V({0x0A, 0x0B}));
    EXPECT_EQ(CfgParseBinary("0x0A", &out), 1);
    EXPECT_EQ(out, V({0x0A}));
    EXPECT_EQ(CfgParseBinary("x0A", &out), 1);
    EXPECT_EQ(out, V({0x0A}));
    EXPECT_EQ(CfgParseBinary("BIN:01 02", &out), 1);
    EXPECT_EQ(out, V({1, 2}));
    EXPECT_EQ(CfgParseBinary("binary:ff", &out), 1);
    EXPECT_EQ(out, V({0xFF}));
    EXPECT_EQ(CfgParseBinary("B64:AQI", &out), 1);
    EXPECT_EQ(out, V({1, 2}));
    EXPECT_EQ(CfgParseBinary("base-64:AQ", &out), 1);
    EXPECT_EQ(out, V({1}));
    EXPECT_EQ(CfgParseBinary("base64: AQ\tID\n", &out), 1);
    EXPECT_EQ(out, V({1, 2, 3}));
    EXPECT_EQ(CfgParseBinary("   ", &out), 1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(CfgParseBinary("AQI", &out), 0);  // no prefix: hexadecimal
    EXPECT_EQ(CfgParseBinary("base64:A", &out), 0);
    EXPECT_EQ(CfgParseBinary("b64:A*==", &out), 0);
    EXPECT_EQ(CfgParseBinary("b64:AQ==AQ==", &out), 0);
    EXPECT_EQ(CfgParseBinary("hex:0G", &out), 0);
}

// A source holding fixed texts, for the typed getters of the base class.
class MapSource : public CfgFile {
public:
    MapSource() { AssignPath("test.conf"); }
};

TEST(CfgValuesTest, TypedGettersReportInvalidValuesWithExactLines)
{
    MapSource src;
    src.SetString(nullptr, "count", "abc");
    src.SetString("Readers", "flag", "maybe");
    src.SetString(nullptr, "blob", "zz");
    src.SetString(nullptr, "good", "0x20");
    bool found = true;
    EXPECT_EQ(src.GetInt(nullptr, "count", 99, &found), 99u);
    EXPECT_FALSE(found);
    EXPECT_STREQ(src.GetLastError(), "test.conf: Error reading integer option 'count': invalid value\n");
    src.ClearLastError();
    EXPECT_EQ(src.GetBool("Readers", "flag", true, &found), true);
    EXPECT_FALSE(found);
    EXPECT_STREQ(src.GetLastError(),
                 "test.conf: [Section Readers]: Error reading boolean option 'flag': invalid value: 'maybe'\n");
    src.ClearLastError();
    std::vector<uint8_t> b = src.GetBinary(nullptr, "blob", &found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(b.empty());
    EXPECT_STREQ(src.GetLastError(), "test.conf: Error reading binary option 'blob': invalid value\n");
    src.ClearLastError();
    EXPECT_EQ(src.GetInt(nullptr, "good", 0, &found), 32u);
    EXPECT_TRUE(found);
    EXPECT_EQ(src.GetInt(nullptr, "missing", 5, &found), 5u);
    EXPECT_FALSE(found);
    EXPECT_STREQ(src.GetLastError(), "");
}

TEST(CfgValuesTest, TypedSettersWriteTheirTextForms)
{
    MapSource src;
    src.SetInt(nullptr, "n", 255);
    src.SetInt(nullptr, "one", 1);
    const uint8_t bytes[] = {0x01, 0xAB};
    src.SetBinary(nullptr, "b", bytes, 2);
    src.SetBool("S", "t", true);
    src.SetBool("S", "f", false);
    bool found = false;
    EXPECT_STREQ(src.GetString(nullptr, "n", nullptr, &found), "0x000000ff");
    EXPECT_STREQ(src.GetString(nullptr, "one", nullptr, &found), "0x00000001");
    EXPECT_EQ(src.GetInt(nullptr, "one", 0, &found), 1u);
    EXPECT_STREQ(src.GetString(nullptr, "b", nullptr, &found), "01AB");
    EXPECT_STREQ(src.GetString("S", "t", nullptr, &found), "true");
    EXPECT_STREQ(src.GetString("S", "f", nullptr, &found), "false");
    EXPECT_STREQ(src.GetString("S", "missing", nullptr, &found), "");
    EXPECT_FALSE(found);
    EXPECT_STREQ(src.GetString("S", "missing", "dflt", &found), "dflt");
}

TEST(CfgValuesTest, WarningAndFileErrorLines)
{
    MapSource src;
    src.AddError("first %d", 1);
    src.AddError("second\n");
    EXPECT_STREQ(src.GetLastError(), "first 1\nsecond\n");
    src.ClearLastError();
    src.AddFileError("Something failed", 0, 12);
    src.AddFileError("Other", 0, 0);
    src.AddFileError("With errno", ENOENT, 3);
    std::string expect = std::string("test.conf(12): Something failed\ntest.conf: Other\ntest.conf(3): With errno: ") +
                         strerror(ENOENT) + "\n";
    EXPECT_EQ(src.GetLastError(), expect);
    std::string out = "no newline";
    CfgAppendErrorLine(&out, nullptr, "msg", 0, 5);
    EXPECT_EQ(out, "no newline\nmsg\n");
}

class UpperHandler : public CfgMessageHandler {
public:
    const char* TranslateMessage(const char* text, const char* context) override
    {
        lastContext = context ? context : "<null>";
        if (strstr(text, "integer"))
            return "%s: INTEGER '%s' BAD";
        return text;
    }
    std::string lastContext;
};

TEST(CfgValuesTest, MessageHandlerTranslatesWarningFormats)
{
    MapSource src;
    src.SetString(nullptr, "count", "abc");
    UpperHandler h;
    src.SetMessageHandler(&h);
    bool found;
    src.GetInt(nullptr, "count", 0, &found);
    EXPECT_STREQ(src.GetLastError(), "test.conf: INTEGER 'count' BAD\n");
    EXPECT_EQ(CfgGetDefaultMessageHandler(), nullptr);
}

TEST(CfgValuesTest, PathHelpers)
{
    std::string out;
    const char* saved = getenv("HOME");
    std::string keep = saved ? saved : "";
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(CfgExpandPath(&out, "~/x.conf"), 1);
    EXPECT_EQ(out, "/home/u/x.conf");
    EXPECT_EQ(GetHomeDirectory(&out), 1);
    EXPECT_EQ(out, "/home/u");
    unsetenv("HOME");
    EXPECT_EQ(CfgExpandPath(&out, "~/x.conf"), 1);
    EXPECT_EQ(out, "/x.conf");
    out = "kept";
    EXPECT_EQ(GetHomeDirectory(&out), 0);
    EXPECT_EQ(out, "kept");
    setenv("HOME", "", 1);
    EXPECT_EQ(GetHomeDirectory(&out), 0);
    if (saved)
        setenv("HOME", keep.c_str(), 1);
    EXPECT_EQ(CfgExpandPath(&out, "/etc/a.conf"), 1);
    EXPECT_EQ(out, "/etc/a.conf");
    EXPECT_EQ(CfgExpandPath(&out, nullptr), 0);

    out = "unchanged";
    EXPECT_STREQ(CfgDirectoryPart(&out, "noslash"), "unchanged");
    EXPECT_STREQ(CfgDirectoryPart(&out, "/a/b/c.conf"), "/a/b");
    MapSource src;
    src.AssignPath("/x/y/name.conf");
    EXPECT_STREQ(src.GetFileName(), "name.conf");

    TempDir dir;
    std::string deep = dir.File("a/b/c");
    EXPECT_EQ(CfgMakeDirectory(deep.c_str(), false, 0777), 0);
    EXPECT_EQ(CfgMakeDirectory(deep.c_str(), true, 0777), 1);
    EXPECT_EQ(CfgIsDirectory(deep.c_str()), 1);
    EXPECT_EQ(CfgMakeDirectory(deep.c_str(), true, 0777), 1);  // exists already
    WriteText(dir.File("file"), "x");
    EXPECT_EQ(CfgMakeDirectory(dir.File("file").c_str(), true, 0777), 0);
    EXPECT_EQ(CfgMakeDirectory(dir.File("file/sub").c_str(), true, 0777), 0);
    EXPECT_EQ(CfgMakeDirectory(std::string(1100, 'a').c_str(), true, 0777), 0);
    EXPECT_EQ(CfgRenameFile(dir.File("file").c_str(), dir.File("moved").c_str()), 1);
    EXPECT_EQ(CfgRenameFile(dir.File("file").c_str(), dir.File("moved2").c_str()), 0);
    EXPECT_EQ(CfgHexDigitChar(11), 'B');
    EXPECT_EQ(CfgHexDigitChar(16), 0);
    EXPECT_EQ(CfgHexDigitValue('c'), 12);
    EXPECT_EQ(CfgIsHexDigit('g'), 0);
}

TEST(CfgParamTest, RecordConversionsAndChangedFlag)
{
    CfgParamAndValue r;
    r.SetName("x");
    ASSERT_TRUE(r.SetString("yes"));
    bool b = false;
    EXPECT_TRUE(r.GetBool(&b));
    EXPECT_TRUE(b);
    ASSERT_TRUE(r.SetString("5"));
    r.SetFlags(false, CFG_OPT_CHANGED);
    r.SetInt(5);  // reads as the same value: not a change
    EXPECT_FALSE(r.TestFlags(CFG_OPT_CHANGED));
    EXPECT_EQ(r.GetType(), CFG_TYPE_INT);
    r.SetInt(6);
    EXPECT_TRUE(r.TestFlags(CFG_OPT_CHANGED));

    const uint8_t zeros[] = {0, 0};
    const uint8_t one[] = {0, 1};
    r.SetBinary(zeros, 2);
    EXPECT_TRUE(r.GetBool(&b));
    EXPECT_FALSE(b);
    r.SetBinary(one, 2);
    EXPECT_TRUE(r.GetBool(&b));
    EXPECT_TRUE(b);
    unsigned long n = 9;
    EXPECT_FALSE(r.GetInt(&n));
    EXPECT_EQ(n, 9u);
    const char* s = nullptr;
    EXPECT_FALSE(r.GetString(&s));
    r.SetFlags(false, CFG_OPT_CHANGED);
    r.SetBinary(one, 2);
    EXPECT_FALSE(r.TestFlags(CFG_OPT_CHANGED));
    r.SetType(CFG_TYPE_TEXT);
    EXPECT_FALSE(r.HasValue());
    r.SetString(nullptr);
    EXPECT_TRUE(r.GetString(&s));
    EXPECT_STREQ(s, "");
    r.ClearValue();
    EXPECT_FALSE(r.HasValue());
    EXPECT_FALSE(r.TestFlags(CFG_OPT_CHANGED));
}

TEST(CfgParamTest, IndexedNamesAndSubsections)
{
    CfgParamAndValueList l;
    l.AddParam("Reader{2}", CFG_TYPE_TEXT, false);
    l.AddParam("Reader [2]", CFG_TYPE_TEXT, false);
    l.AddParam("Reader( 2 )", CFG_TYPE_TEXT, false);
    l.AddParam("Other{2}", CFG_TYPE_TEXT, false);
    CfgParamAndValue* a = l.AddIndexedParam("Reader", "3", CFG_TYPE_INT, true);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->GetName(), "Reader{3}");
    EXPECT_EQ(l.FindIndexed("Reader", "2", true), l.GetHead());
    EXPECT_EQ(l.CountIndexed("reader", true), 4);
    EXPECT_EQ(l.CountIndexed("reader", false), 0);
    size_t pos = 0;
    int n = 0;
    while (l.FindNextIndexed("Reader", &pos, true))
        ++n;
    EXPECT_EQ(n, 4);
    std::string base, index;
    EXPECT_TRUE(l.SplitIndexedName("Reader( 2 )", &base, &index));
    EXPECT_EQ(base, "Reader");
    EXPECT_EQ(index, "2");
    EXPECT_FALSE(l.SplitIndexedName("Plain", &base, &index));
    EXPECT_TRUE(l.RemoveIndexed("Reader", true));
    EXPECT_EQ(l.GetCount(), 1);
    EXPECT_NE(l.FindParamFormatted(false, "Other{%d}", 2), nullptr);

    EXPECT_TRUE(CfgSectionIsDirectSubsection("a\\b", "a", false));
    EXPECT_FALSE(CfgSectionIsDirectSubsection("a\\b\\c", "a", false));
    EXPECT_TRUE(CfgSectionIsSubsection("a\\b\\c", "a", false));
    EXPECT_TRUE(CfgSectionIsDirectSubsection("A\\b", "a", true));
    EXPECT_FALSE(CfgSectionIsDirectSubsection("A\\b", "a", false));
    EXPECT_TRUE(CfgSectionIsDirectSubsection("top", nullptr, false));
    EXPECT_FALSE(CfgSectionIsDirectSubsection("ab\\c", "a", false));

    CfgSectionList sl;
    sl.AddSection("a", false);
    sl.AddSection("a\\b", true);
    sl.AddSection("a\\c", false);
    sl.AddSection("a\\b\\d", false);
    EXPECT_EQ(sl.CountSubsections("a", false), 2);
    EXPECT_STREQ(sl.GetSubsection(1, "a", false)->GetName(), "a\\c");
    EXPECT_STREQ(sl.GetSubsection(0, "a", false)->GetShortName(), "b");
    EXPECT_TRUE(sl.GetSubsection(0, "a", false)->GetSectionFlags() & CFG_SECT_TAKE_ALL);
    EXPECT_EQ(sl.GetSubsection(2, "a", false), nullptr);
    CfgSection* idx = sl.AddIndexedSectionByNumber("Slot", 4);
    EXPECT_STREQ(idx->GetName(), "Slot(4)");
    EXPECT_EQ(sl.FindIndexedSectionByNumber("slot", 4), idx);
    EXPECT_TRUE(sl.RemoveIndexedSections("Slot"));
    EXPECT_EQ(sl.FindSection("A", true), sl.GetHead());
    EXPECT_EQ(sl.FindSection("A", false), nullptr);
}

}  // namespace
