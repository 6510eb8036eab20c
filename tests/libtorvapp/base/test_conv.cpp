#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "hash_vectors.h"
#include "libtorvapp/qvconv/qvconv.h"
#include "libtorvapp/qvconv/qvconvascii.h"
#include "libtorvapp/qvconv/qvder.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

std::string hexOf(const QvConv& c) { return ToHex(c.getConstData(), c.getLength()); }

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/qvconvXXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const char* name) const { return path + "/" + name; }
};

std::string slurp(const std::string& file)
{
    std::string s;
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    int c;
    while ((c = std::fgetc(f)) != EOF)
        s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

const std::string kWrongChar =
    "REASON: Wrong character in converted string (const char *str). Function accepts only "
    "characters from set {0,1,2,3,4,5,6,7,8,9,A,B,C,D,E,F,a,b,c,d,e,f}.\n";

} // namespace

TEST(QvConvOctets, CheckedHexTextAndItsErrors)
{
    EXPECT_EQ(hexOf(QvConvOS("0aFf")), "0aff");
    EXPECT_EQ(QvConvOS("").getLength(), 0u);
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([] { QvConvOS("abc"); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
              "REASON: Wrong syntax of input string (const char *str). Converted string should "
              "have even number of characters.\n"
              "FUNCTION: QvConvOS::QvConvOS(const char *str)\nFILE: qvconv/qvconvos\nLINE: 56\n");
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([] { QvConvOS("0g"); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n" + kWrongChar +
                  "FUNCTION: QvConvOS::QvConvOS(const char *str)\nFILE: qvconv/qvconvos\nLINE: 98\n");
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([] { QvConvOS("00g0"); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n" + kWrongChar +
                  "FUNCTION: QvConvOS::QvConvOS(const char *str)\nFILE: qvconv/qvconvos\nLINE: 79\n");
    QvConvOS keep("0102");
    EXPECT_THROW(keep = "zz", QvWrongSyntaxException);
    EXPECT_EQ(hexOf(keep), "0102");
}

TEST(QvConvOctets, ConcatenationComparisonAndAccess)
{
    QvConvOS a("0102"), b("ff");
    QvConvOS c = a + b;
    EXPECT_EQ(hexOf(c), "0102ff");
    a += a; // appending itself
    EXPECT_EQ(hexOf(a), "01020102");
    EXPECT_TRUE(QvConvOS() == QvConvOS(""));
    EXPECT_TRUE(c != a);
    EXPECT_EQ(c[2u], static_cast<char>(0xFF));
    EXPECT_EQ(thrownText<QvAccessException>([&] { c[3u]; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\nREASON: To large index.\n"
              "FUNCTION: char& QvConv::operator [](unsigned int idx)\n"
              "FILE: qvconv/conv_access\nLINE: 48\n");
    QvConvOS zeros(3u);
    EXPECT_EQ(hexOf(zeros), "000000");
    const QvOctet raw[2] = {9, 8};
    zeros.assign(raw, 2);
    EXPECT_EQ(hexOf(zeros), "0908");
}

TEST(QvConvText, ConcatenationKeepsOneTerminator)
{
    QvConvASCII ab("ab"), cd("cd");
    QvConvASCII abcd = ab + cd;
    EXPECT_TRUE(abcd == "abcd");
    EXPECT_EQ(abcd.getLength(), 5u);
    EXPECT_EQ(abcd.getTextLength(), 4u);
    abcd.cutEnd(10);
    EXPECT_TRUE(abcd == "");
    EXPECT_EQ(abcd.getLength(), 1u);
    EXPECT_EQ(QvConvASCII().getLength(), 1u);
    EXPECT_TRUE(("x" + ab) == "xab");
    EXPECT_TRUE((ab + "y") == "aby");
    QvConvASCII t("hello");
    t.cutEnd(2);
    EXPECT_TRUE(t == "hel");
    t += t;
    EXPECT_TRUE(t == "helhel");
}

TEST(QvConvText, RemoveFindAndSplit)
{
    QvConvASCII t("xabyab");
    EXPECT_EQ(t.removeAll("ab"), 2u);
    EXPECT_TRUE(t == "xy");
    QvConvASCII s("abcb");
    EXPECT_EQ(s.find("b", 3), 3u);
    EXPECT_EQ(s.find("b", 0), 1u);
    EXPECT_EQ(s.find("b", 5), QvConvASCII::NOT_FOUND);
    // A match must be whole: "bcd" does not occur in "abcb".
    EXPECT_EQ(s.find("cbd", 0), QvConvASCII::NOT_FOUND);
    QvConvASCII w(" a\tb\nc ");
    EXPECT_EQ(w.removeWhiteSpace(), 4u);
    EXPECT_TRUE(w == "abc");
    QvConvASCII kv("key=value=x"), before, after;
    EXPECT_EQ(kv.split(before, after, "="), 3u);
    EXPECT_TRUE(before == "key");
    EXPECT_TRUE(after == "value=x");
    EXPECT_EQ(kv.split(before, after, ":"), QvConvASCII::NOT_FOUND);
    EXPECT_TRUE(before == "key=value=x");
    EXPECT_TRUE(after == "");
    QvConvASCII r;
    r.assignRepeated("ab", 3);
    EXPECT_TRUE(r == "ababab");
    r.appendRepeated("-", 2);
    EXPECT_TRUE(r == "ababab--");
}

TEST(QvConvText, NumbersInDecimalHexAndBinary)
{
    QvConvASCII d;
    d = std::int64_t(-1205);
    EXPECT_TRUE(d == "-1205");
    d = std::int64_t(INT64_MIN);
    EXPECT_TRUE(d == "-9223372036854775808");
    d = std::int32_t(42);
    EXPECT_TRUE(d == "42");
    d = 0.5;
    EXPECT_TRUE(d == "0.5");
    QvConvASCIIHex h;
    h = std::int64_t(-255);
    EXPECT_TRUE(h == "ff");
    h = std::uint32_t(0xABCDEF);
    EXPECT_TRUE(h == "abcdef");
    h = std::int64_t(0);
    EXPECT_TRUE(h == "0");
    QvConvASCIIBin b;
    b = std::int64_t(5);
    EXPECT_TRUE(b == "101");
    EXPECT_TRUE(QvConvASCIIHex(b) == "5");
    b = std::int32_t(0);
    EXPECT_TRUE(b == "0");
    b = std::int32_t(-1);
    EXPECT_EQ(b.getTextLength(), 32u);
    b = std::int64_t(-2);
    EXPECT_EQ(b.getTextLength(), 64u);
    EXPECT_EQ(std::string(b.c_str()).substr(60), "1110");
    QvConvASCIIBin odd("110000");
    EXPECT_TRUE(QvConvASCIIHex(odd) == "30");
}

TEST(QvConvFiles, WriteAppendsOrUsesTheGivenMode)
{
    TempDir dir;
    std::string out = dir.file("out.bin");
    QvConvOS a("0102");
    a.writeFile(out.c_str());
    a.writeFile(out.c_str());
    EXPECT_EQ(slurp(out), std::string("\x01\x02\x01\x02", 4));
    QvConvOS b("ff");
    b.writeFile((out + "+wb").c_str());
    EXPECT_EQ(slurp(out), std::string("\xff", 1));
    QvConvOS back;
    back.readFile(out.c_str());
    EXPECT_EQ(hexOf(back), "ff");
    QvConvASCII text("line");
    std::string txt = dir.file("t.txt");
    text.writeFile((txt + "+w").c_str());
    EXPECT_EQ(slurp(txt), "line"); // no terminator in text output
    QvConvASCII readBack("old");
    readBack.readFile(txt.c_str());
    EXPECT_TRUE(readBack == "line"); // read as a text: terminated again
    EXPECT_EQ(readBack.getLength(), 5u);
    readBack += "s";
    EXPECT_STREQ(readBack.c_str(), "lines");
}

TEST(QvConvFiles, ReadHonoursTheBoundAndLargeFiles)
{
    TempDir dir;
    std::string file = dir.file("big.bin");
    std::vector<QvOctet> big(10000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<QvOctet>(i * 31);
    QvConvOS(big.data(), 10000).writeFile((file + "+wb").c_str());
    QvConvOS all, part;
    all.readFile(file.c_str());
    EXPECT_EQ(all.getLength(), 10000u);
    EXPECT_TRUE(all == QvConvOS(big.data(), 10000));
    part.readFile(file.c_str(), 5000);
    EXPECT_EQ(part.getLength(), 5000u);
    EXPECT_TRUE(part == QvConvOS(big.data(), 5000));
}

TEST(QvConvFiles, FilesThatCannotBeOpenedThrowAndChangeNothing)
{
    QvConvOS a("0102");
    EXPECT_EQ(thrownText<QvAccessException>([&] { a.readFile("/nonexistent/dir/file", 0); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: Couldn't open file to read.\n"
              "FUNCTION: void QvConv::readFile(const char *fileName, unsigned int bound)\n"
              "FILE: qvconv/conv_io\nLINE: 33\n");
    EXPECT_EQ(hexOf(a), "0102");
    EXPECT_EQ(thrownText<QvAccessException>([&] { a.writeFile("/nonexistent/dir/file+wb"); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: Coudn't open file to write.\n"
              "FUNCTION: void QvConv::writeFile(const char *fileName) const\n"
              "FILE: qvconv/conv_io\nLINE: 160\n");
    EXPECT_EQ(thrownText<QvAccessException>([&] { a.writeFile("/nonexistent/dir/file"); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: Coudn't open file to write.\n"
              "FUNCTION: void QvConv::writeFile(const char *fileName) const\n"
              "FILE: qvconv/conv_io\nLINE: 172\n");
    const char* fn = "FUNCTION: void QvConv::fprintTxt(const char *fileName, const char *beginFrase, "
                     "const char *endFrase, const char *format) const\n";
    EXPECT_EQ(thrownText<QvAccessException>([&] { a.fprintTxt("/nonexistent/x+w", "[", "]", nullptr); }),
              std::string("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                          "REASON: Coudn't open file.\n") + fn + "FILE: qvconv/conv_io\nLINE: 280\n");
    EXPECT_EQ(thrownText<QvAccessException>([&] { a.fprintTxt("/nonexistent/x", "[", "]", nullptr); }),
              std::string("LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
                          "REASON: Coudn't open file to write.\n") + fn +
                  "FILE: qvconv/conv_io\nLINE: 293\n");
}

TEST(QvConvFiles, PrintsOctetsWithDefaultOrGivenFormat)
{
    TempDir dir;
    std::string file = dir.file("p.txt");
    QvConvOS o("01ff");
    FILE* f = std::fopen(file.c_str(), "w");
    o.fprintTxt(f, "[", "]", nullptr);
    std::fclose(f);
    EXPECT_EQ(slurp(file), "[0x01 0xff ]");
    o.fprintTxt((file + "+w").c_str(), nullptr, "\n", "%02X");
    EXPECT_EQ(slurp(file), "01FF\n");
}

TEST(QvConvFiles, ReadItemSkipsCommentsAndKeepsEscapes)
{
    TempDir dir;
    std::string file = dir.file("items.txt");
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("  # a comment line\n\n   first item # trailing\n"
               "a\\#b\n"
               "a very long item that is more than sixteen characters\n"
               "last", f);
    std::fclose(f);
    f = std::fopen(file.c_str(), "r");
    QvConvASCII item;
    ASSERT_TRUE(item.readItem(f));
    EXPECT_STREQ(item.c_str(), "first item ");
    ASSERT_TRUE(item.readItem(f));
    EXPECT_STREQ(item.c_str(), "a\\#b");
    ASSERT_TRUE(item.readItem(f));
    EXPECT_STREQ(item.c_str(), "a very long item that is more than sixteen characters");
    ASSERT_TRUE(item.readItem(f));
    EXPECT_STREQ(item.c_str(), "last");
    EXPECT_FALSE(item.readItem(f));
    EXPECT_TRUE(item == "");
    std::fclose(f);
}

TEST(QvDerHelpers, LengthEncodingAndFixedWidthIntegers)
{
    QvOctet out[8];
    EXPECT_EQ(qvDerEncodeLength(300, out), 3u);
    EXPECT_EQ(ToHex(out, 3), "82012c");
    EXPECT_EQ(qvDerEncodeLength(127, out), 1u);
    EXPECT_EQ(out[0], 127);
    EXPECT_EQ(qvDerEncodeLength(0xFFFFFFFFu, out), 5u);
    EXPECT_EQ(ToHex(out, 5), "84ffffffff");
    EXPECT_EQ(qvDerLengthOfLength(127), 1u);
    EXPECT_EQ(qvDerLengthOfLength(128), 2u);
    EXPECT_EQ(qvDerLengthOfLength(256), 3u);
    qvUintToOctets(0x0102, out, 4);
    EXPECT_EQ(ToHex(out, 4), "00000102");
    qvUintToOctets(7, out, 6);
    EXPECT_EQ(ToHex(out, 6), "000000000007");
    EXPECT_EQ(thrownText<QvAccessException>([&] { qvUintToOctets(256, out, 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\nREASON: ???\nFUNCTION: ???\n"
              "FILE: ???\nLINE: ???\n");
    qvUintToOctets(255, out, 1);
    EXPECT_EQ(out[0], 255);
}

TEST(QvDerHelpers, ReadsTlvsWithinTheirBuffer)
{
    const QvOctet shortForm[] = {0x04, 0x03, 1, 2, 3, 0xEE};
    EXPECT_EQ(qvDerGetLength(shortForm, 6), 3u);
    EXPECT_EQ(qvDerGetContents(shortForm, 6), shortForm + 2);
    EXPECT_EQ(qvDerGetEnd(shortForm, 6), shortForm + 5);
    EXPECT_EQ(qvDerGetTlvLength(shortForm, 5), 5u);

    std::vector<QvOctet> longForm = {0x30, 0x82, 0x01, 0x00};
    longForm.resize(4 + 256, 0xAB);
    EXPECT_EQ(qvDerGetLength(longForm.data(), 260), 256u);
    EXPECT_EQ(qvDerGetContents(longForm.data(), 260), longForm.data() + 4);
    EXPECT_EQ(qvDerGetTlvLength(longForm.data(), 260), 260u);

    const QvOctet highTag[] = {0x9F, 0x81, 0x22, 0x01, 0x55};
    EXPECT_EQ(qvDerGetContents(highTag, 5), highTag + 4);
    EXPECT_EQ(qvDerGetTlvLength(highTag, 5), 5u);

    // SEQUENCE (indefinite) { OCTET STRING 01, SEQUENCE (indefinite) { NULL } } 00 00
    const QvOctet indefinite[] = {0x30, 0x80, 0x04, 0x01, 0x01, 0x30, 0x80, 0x05, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_EQ(qvDerGetLength(indefinite, 14), 0u);
    EXPECT_EQ(qvDerGetEnd(indefinite, 14), indefinite + 13);
    EXPECT_EQ(qvDerGetTlvLength(indefinite, 13), 13u);
}

TEST(QvDerHelpers, RefusesReadsPastTheBufferAndOverlongLengths)
{
    const QvOctet truncated[] = {0x04, 0x05, 1, 2};
    EXPECT_THROW(qvDerGetLength(truncated, 4), QvAccessException);
    EXPECT_THROW(qvDerGetContents(truncated, 4), QvAccessException);
    EXPECT_THROW(qvDerGetEnd(truncated, 4), QvAccessException);
    EXPECT_THROW(qvDerGetLength(truncated, 1), QvAccessException);
    EXPECT_THROW(qvDerGetLength(nullptr, 10), QvAccessException);
    const QvOctet cutLength[] = {0x04, 0x82, 0x01};
    EXPECT_THROW(qvDerGetLength(cutLength, 3), QvAccessException);
    const QvOctet fiveOctets[] = {0x04, 0x85, 0, 0, 0, 0, 1, 0};
    EXPECT_THROW(qvDerGetLength(fiveOctets, 8), QvWrongSyntaxException);
    const QvOctet hugeLength[] = {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_THROW(qvDerGetTlvLength(hugeLength, 7), QvAccessException);
    const QvOctet endlessTag[] = {0x1F, 0x81, 0x81, 0x81};
    EXPECT_THROW(qvDerGetLength(endlessTag, 4), QvAccessException);
    const QvOctet noEnd[] = {0x30, 0x80, 0x05, 0x00};
    EXPECT_THROW(qvDerGetEnd(noEnd, 4), QvAccessException);
    const QvOctet primitiveIndefinite[] = {0x04, 0x80, 0x00, 0x00};
    EXPECT_THROW(qvDerGetEnd(primitiveIndefinite, 4), QvWrongSyntaxException);
    std::vector<QvOctet> deep;
    for (int i = 0; i < 200; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    deep.resize(deep.size() + 400, 0);
    EXPECT_THROW(qvDerGetEnd(deep.data(), static_cast<unsigned int>(deep.size())),
                 QvWrongSyntaxException);
}
