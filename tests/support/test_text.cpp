// Character-set conversions, hexadecimal text, dates and PKCS#1 v1.5 blocks.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iconv.h>
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rsa.h>
#include <string>
#include <vector>

#include "support/textutil.h"

namespace {

std::vector<uint8_t> V(std::initializer_list<int> l)
{
    std::vector<uint8_t> v;
    for (int x : l)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

std::string S(std::initializer_list<int> l)
{
    std::string s;
    for (int x : l)
        s.push_back(static_cast<char>(x));
    return s;
}

TEST(TextTest, UnicodeToUtf8SizesAndShortBuffer)
{
    const uint16_t e9[] = {0x00E9, 0};
    uint8_t out[8];
    EXPECT_EQ(ConvertUnicodeToUtf8(e9, -1, out, 8), 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), V({0xC3, 0xA9}));
    const uint16_t euro[] = {0x20AC};
    EXPECT_EQ(ConvertUnicodeToUtf8(euro, 1, nullptr, 0), 3);
    EXPECT_EQ(ConvertUnicodeToUtf8(euro, 1, out, 3), 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), V({0xE2, 0x82, 0xAC}));
    EXPECT_EQ(ConvertUnicodeToUtf8(euro, 1, out, 2), -3);
    EXPECT_EQ(ConvertUnicodeToUtf8(nullptr, 5, out, 8), 0);
    EXPECT_EQ(ConvertUnicodeToUtf8(euro, 0, out, 8), 0);
    // Surrogate halves are encoded one by one.
    const uint16_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(ConvertUnicodeToUtf8(pair, 2, out, 8), 6);
    EXPECT_EQ(out[0], 0xED);
}

TEST(TextTest, Cp1250ToUtf8MatchesIconvForEveryDefinedByte)
{
    uint8_t out[8];
    EXPECT_EQ(ConvertCp1250ToUtf8("\xB9", 1, out, 8), 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), V({0xC4, 0x85}));
    EXPECT_EQ(ConvertCp1250ToUtf8("\x81", 1, out, 8), 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), V({0xEF, 0xBF, 0xBD}));
    EXPECT_EQ(ConvertCp1250ToUtf8("a\xB9", 2, out, 2), -3);

    iconv_t cd = iconv_open("UTF-8", "CP1250");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int b = 1; b < 256; ++b) {
        char in[1] = {static_cast<char>(b)};
        char ref[8];
        char* ip = in;
        size_t il = 1;
        char* op = ref;
        size_t ol = sizeof(ref);
        size_t r = iconv(cd, &ip, &il, &op, &ol);
        int n = ConvertCp1250ToUtf8(in, 1, out, 8);
        if (r == static_cast<size_t>(-1)) {
            EXPECT_EQ(std::vector<uint8_t>(out, out + n), V({0xEF, 0xBF, 0xBD})) << b;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)),
                  std::string(ref, sizeof(ref) - ol))
            << "byte " << b;
        // And back again.
        char back[4];
        EXPECT_EQ(ConvertUtf8ToCp1250(reinterpret_cast<char*>(out), n, back, 4), 1);
        EXPECT_EQ(static_cast<uint8_t>(back[0]), b);
    }
    iconv_close(cd);
}

TEST(TextTest, Utf8ToCp1250ReplacesUnmappableCharacters)
{
    char out[16];
    std::string polish = "Błąd";
    EXPECT_EQ(ConvertUtf8ToCp1250(polish.c_str(), -1, out, 16), 4);
    EXPECT_EQ(std::string(out, 4), S({'B', 0xB3, 0xB9, 'd'}));
    EXPECT_EQ(ConvertUtf8ToCp1250("\xE4\xB8\xAD", -1, out, 16), 1);  // a CJK character
    EXPECT_EQ(out[0], '?');
    EXPECT_EQ(ConvertUtf8ToCp1250("\xC3", -1, out, 16), 0);
    EXPECT_EQ(ConvertUtf8ToCp1250("abc", -1, out, 2), -3);
}

TEST(TextTest, Utf8ValidateReportsFailingOffset)
{
    EXPECT_EQ(Utf8Validate("a\xC3", 2), ~2);
    EXPECT_EQ(Utf8Validate("\xC0\x80", 2), ~0);
    EXPECT_EQ(Utf8Validate("\xE0\x80\x80", 3), ~1);
    EXPECT_EQ(Utf8Validate("\xF0\x80\x80\x80", 4), ~1);
    EXPECT_EQ(Utf8Validate("\xF8\x87\x80\x80\x80", 5), ~1);
    EXPECT_EQ(Utf8Validate("\xFC\x83\x80\x80\x80\x80", 6), ~1);
    EXPECT_EQ(Utf8Validate("\xFE", 1), ~0);
    EXPECT_EQ(Utf8Validate("ab\x80", 3), ~2);
    EXPECT_EQ(Utf8Validate("\xC3\xA9x\xE2\x82\xAC", -1), 3);
    EXPECT_EQ(Utf8Validate("\xE2\x82(", 3), ~2);
    EXPECT_EQ(Utf8Validate(nullptr, 4), 0);
    EXPECT_EQ(Utf8Validate("", -1), 0);
    EXPECT_EQ(Utf8Kind("", -1), 1);
    EXPECT_EQ(Utf8Kind("plain", -1), 1);
    EXPECT_EQ(Utf8Kind("\xC3\xA9", -1), 2);
    EXPECT_EQ(Utf8Kind("\xC3", -1), 0);
    EXPECT_EQ(Utf8Kind(nullptr, 0), 0);
}

// Well-formed UTF-8 as RFC 3629 (section 4) defines it, boundary by boundary.
TEST(TextTest, Utf8IsWellFormedFollowsRfc3629)
{
    struct Case {
        const char* text;
        size_t len;
        bool ok;
    } cases[] = {
        {"", 0, true},
        {"Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87", 10, true},  // "Zażółć"
        {"a\0b", 3, true},                                    // NUL is a character
        {"\x7F\xC2\x80\xDF\xBF", 5, true},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", 9, true},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 8, true},   // U+10000, U+10FFFF
        {"\x80", 1, false},                                   // continuation alone
        {"\xC0\xAF", 2, false},                               // overlong '/'
        {"\xC1\xBF", 2, false},
        {"\xE0\x9F\xBF", 3, false},                           // overlong
        {"\xED\xA0\x80", 3, false},                           // surrogate D800
        {"\xF0\x8F\xBF\xBF", 4, false},                       // overlong
        {"\xF4\x90\x80\x80", 4, false},                       // above U+10FFFF
        {"\xF5\x80\x80\x80", 4, false},
        {"\xF8\x88\x80\x80\x80", 5, false},                   // five octets
        {"\xFF", 1, false},
        {"Za\xC5", 3, false},                                 // cut short
        {"\xE2\x82", 2, false},
        {"\xE2\x82(", 3, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.ok, Utf8IsWellFormed(c.text, c.len)) << testing::PrintToString(std::string(c.text, c.len));
    EXPECT_TRUE(Utf8IsWellFormed(nullptr, 0));
    EXPECT_FALSE(Utf8IsWellFormed(nullptr, 1));
}

TEST(TextTest, Utf8ToUnicodeAndUcs2BeRefuseInvalidAndFourByteSequences)
{
    uint16_t u[8];
    EXPECT_EQ(ConvertUtf8ToUnicode("a\xC4\x85\xE2\x82\xAC", -1, u, 8), 3);
    EXPECT_EQ(u[0], 'a');
    EXPECT_EQ(u[1], 0x0105);
    EXPECT_EQ(u[2], 0x20AC);
    EXPECT_EQ(ConvertUtf8ToUnicode("a\xC4\x85", -1, nullptr, 0), 2);
    EXPECT_EQ(ConvertUtf8ToUnicode("abc", -1, u, 2), -3);
    EXPECT_EQ(ConvertUtf8ToUnicode("\xF0\x9F\x98\x80", -1, u, 8), 0);  // outside UCS-2
    EXPECT_EQ(ConvertUtf8ToUnicode("\xC3(", -1, u, 8), 0);
    uint8_t be[16];
    EXPECT_EQ(ConvertUtf8ToUcs2Be("A\xC4\x85", -1, be, 16), 4);
    EXPECT_EQ(std::vector<uint8_t>(be, be + 4), V({0x00, 0x41, 0x01, 0x05}));
    EXPECT_EQ(ConvertUtf8ToUcs2Be("A\xC4\x85", -1, be, 3), -4);
    EXPECT_EQ(ConvertUtf8ToUcs2Be("\xFF", -1, be, 16), 0);
    // Long texts take the heap path.
    std::string longText(5000, 'x');
    std::vector<uint8_t> big(10000);
    EXPECT_EQ(ConvertUtf8ToUcs2Be(longText.c_str(), -1, big.data(), 10000), 10000);
    EXPECT_EQ(big[9999], 'x');
}

TEST(TextTest, Ucs2BeToUtf8HandlesTerminatorAndOddLength)
{
    const uint8_t in[] = {0x00, 0x41, 0x20, 0xAC, 0x00, 0x00, 0x00, 0x42};
    uint8_t out[16];
    EXPECT_EQ(ConvertUcs2BeToUtf8(in, -1, out, 16), 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), V({0x41, 0xE2, 0x82, 0xAC}));
    EXPECT_EQ(ConvertUcs2BeToUtf8(in, 3, out, 16), 0);
    EXPECT_EQ(ConvertUcs2BeToUtf8(in, 4, nullptr, 0), 4);
    // A zero byte at an odd offset is not a terminator.
    const uint8_t odd[] = {0x01, 0x00, 0x00, 0x41, 0x00, 0x00};
    EXPECT_EQ(ConvertUcs2BeToUtf8(odd, -1, out, 16), 3);
}

TEST(TextTest, SystemDefaultConversionsThroughIconv)
{
    // Tests run in the C locale: the default set is ASCII.
    char out[64];
    uint8_t u8[64];
    EXPECT_EQ(systemDefault2Utf8("hello", -1, u8, 64), 5);
    EXPECT_EQ(systemDefault2Utf8("hello", -1, nullptr, 0), 30);
    EXPECT_EQ(ConvertUtf8ToSystemDefault("hello", -1, out, 64), 5);
    EXPECT_EQ(ConvertUtf8ToSystemDefault("\xC4\x85", -1, out, 64), -12);
    uint8_t be[16];
    EXPECT_EQ(ConvertSystemDefaultToUcs2Be("AB", -1, be, 16), 4);
    EXPECT_EQ(std::vector<uint8_t>(be, be + 4), V({0, 'A', 0, 'B'}));
    EXPECT_EQ(ConvertSystemDefaultToUcs2Be("AB", -1, be, 3), -4);
    EXPECT_EQ(ConvertUcs2BeToSystemDefault(be, 4, out, 64), 2);
    EXPECT_EQ(ConvertUcs2BeToSystemDefault(be, 3, out, 64), 0);
    char small[2];
    EXPECT_EQ(IconvConvert("UTF-8", "UTF-8", "abcd", 4, small, 2), -1);
    EXPECT_EQ(IconvConvert("NO-SUCH-SET", "UTF-8", "abcd", 4, small, 2), 0);
}

TEST(TextTest, HexHelpers)
{
    char out[16];
    const uint8_t b[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(BinToHex(b, 3, out, ":"), 8u);
    EXPECT_EQ(std::string(out, 8), "01:02:03");
    EXPECT_EQ(BinToHex(b, 3, nullptr, " "), 8u);
    EXPECT_EQ(BinToHex(b, 3, out, nullptr), 6u);
    const uint8_t ab[] = {0xAB, 0xFE};
    BinToHex(ab, 2, out, "");
    EXPECT_EQ(std::string(out, 4), "ABFE");
    EXPECT_EQ(BinToHex(b, 0, out, ":"), 0u);

    uint8_t bin[8];
    EXPECT_EQ(HexToBin("0A 1 b2", -1, bin, 8), 3);
    EXPECT_EQ(std::vector<uint8_t>(bin, bin + 3), V({0x0A, 0x01, 0xB2}));
    EXPECT_EQ(HexToBin("0G", -1, bin, 8), INT_MIN);
    EXPECT_EQ(HexToBin("a", -1, bin, 8), 1);
    EXPECT_EQ(bin[0], 0x0A);
    EXPECT_EQ(HexToBin("010203", -1, bin, 2), -3);
    EXPECT_EQ(HexToBin("010203", -1, nullptr, 0), 3);
    EXPECT_EQ(HexToBin("0102\t\n03", -1, bin, 8), 3);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
}

TEST(TextTest, DatesAndNumbers)
{
    EXPECT_TRUE(IsValidDateTimeText("20160229", 8));
    EXPECT_FALSE(IsValidDateTimeText("20150229", 8));
    EXPECT_TRUE(IsValidDateTimeText("2016022912", 10));
    EXPECT_FALSE(IsValidDateTimeText("201602291", 9));
    EXPECT_FALSE(IsValidDateTimeText("2016022924", 10));
    EXPECT_TRUE(IsValidDateTimeText("20161231235959", 14));
    EXPECT_FALSE(IsValidDateTimeText("20161231235960", 14));
    EXPECT_TRUE(IsValidDateTimeText("2016123123595999", 16));
    EXPECT_FALSE(IsValidDateTimeText("20161301", 8));
    EXPECT_FALSE(IsValidDateTimeText("2016010a", 8));
    EXPECT_FALSE(IsValidDateTimeText("201601011212121212", 18));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_EQ(DaysInMonth(2016, 2), 29);
    EXPECT_EQ(DaysInMonth(2016, 13), 0);
    char d[4];
    ByteToTwoDigits(7, d);
    EXPECT_EQ(std::string(d, 2), "07");
    YearToFourDigits(2015, d);
    EXPECT_EQ(std::string(d, 4), "2015");
    EXPECT_EQ(FourDigitsValue("2015"), 2015);
    EXPECT_EQ(TwoDigitsValue("x1"), -1);

    const uint8_t be[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(BigEndianToUInt(be, 3), 0x010203u);
    EXPECT_EQ(BigEndianToUInt(be, 0), 0u);
    uint8_t o[4];
    UInt32ToBigEndian(0xA1B2C3D4, o);
    EXPECT_EQ(std::vector<uint8_t>(o, o + 4), V({0xA1, 0xB2, 0xC3, 0xD4}));
    const uint8_t z[] = {0, 0, 5, 0};
    size_t n = 0;
    EXPECT_EQ(StripLeadingZeroBytes(z, 4, &n), z + 2);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(StripLeadingZeroBytes(z, 2, &n), z + 2);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(StripLeadingZeroBytes(nullptr, 2, &n), nullptr);
}

TEST(TextTest, SecureZeroAndSystemErrorText)
{
    uint8_t buf[9];
    memset(buf, 0xCC, sizeof(buf));
    SecureZero(buf, 8);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 9), V({0, 0, 0, 0, 0, 0, 0, 0, 0xCC}));
    char t[8];
    EXPECT_EQ(GetSystemErrorText(ENOENT, t, sizeof(t)), t);
    EXPECT_EQ(strlen(t), 7u);
    EXPECT_EQ(std::string(t), std::string(strerror(ENOENT)).substr(0, 7));
    EXPECT_STREQ(GetSystemErrorText(ENOENT, nullptr, 0), strerror(ENOENT));
}

TEST(Pkcs1Test, BlockType1HasAtLeastEightPaddingBytes)
{
    uint8_t out[32];
    const uint8_t data[21] = {0x30};
    EXPECT_TRUE(Pkcs1PadBlockType1(out, 32, data, 21));
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x01);
    for (int i = 2; i < 10; ++i)
        EXPECT_EQ(out[i], 0xFF);
    EXPECT_EQ(out[10], 0x00);
    EXPECT_EQ(out[11], 0x30);
    EXPECT_EQ(Pkcs1CheckBlockType1(out, 32), 11);
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 32, data, 22));  // only 7 padding bytes would fit
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 32, data, 0));
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 10, data, 1));   // below 11 bytes, no underflow
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 3, data, 1));
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 0, data, 1));
    EXPECT_FALSE(Pkcs1PadBlockType1(out, 32, data, -5));
}

TEST(Pkcs1Test, BlockType1MatchesOpenSsl)
{
    for (int k : {11 + 8, 64, 128, 256}) {
        for (int dataLen : {1, 20, k - 11}) {
            if (dataLen > k - 11)
                continue;
            std::vector<uint8_t> data(static_cast<size_t>(dataLen));
            for (int i = 0; i < dataLen; ++i)
                data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31 + 7);
            std::vector<uint8_t> ours(static_cast<size_t>(k)), theirs(static_cast<size_t>(k));
            ASSERT_TRUE(Pkcs1PadBlockType1(ours.data(), static_cast<uint32_t>(k), data.data(), dataLen));
            ASSERT_EQ(RSA_padding_add_PKCS1_type_1(theirs.data(), k, data.data(), dataLen), 1);
            EXPECT_EQ(ours, theirs) << k << "/" << dataLen;
            EXPECT_EQ(Pkcs1CheckBlockType1(theirs.data(), theirs.size()), k - dataLen);
        }
        // One byte more than OpenSSL accepts is refused by both.
        std::vector<uint8_t> data(static_cast<size_t>(k - 10)), out(static_cast<size_t>(k));
        EXPECT_FALSE(Pkcs1PadBlockType1(out.data(), static_cast<uint32_t>(k), data.data(), k - 10));
        EXPECT_NE(RSA_padding_add_PKCS1_type_1(out.data(), k, data.data(), k - 10), 1);
    }
}

TEST(Pkcs1Test, CheckBlockType1RefusesShortPaddingAndStaysInBounds)
{
    std::vector<uint8_t> b = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(Pkcs1CheckBlockType1(b.data(), b.size()), 0);  // 7 padding bytes
    b.insert(b.begin() + 2, 0xFF);
    EXPECT_EQ(Pkcs1CheckBlockType1(b.data(), b.size()), 11);
    std::vector<uint8_t> noSep = {0x00, 0x01};
    noSep.resize(40, 0xFF);
    EXPECT_EQ(Pkcs1CheckBlockType1(noSep.data(), noSep.size()), 0);
    std::vector<uint8_t> bad = b;
    bad[5] = 0xFE;
    EXPECT_EQ(Pkcs1CheckBlockType1(bad.data(), bad.size()), 0);
    bad = b;
    bad[1] = 0x02;
    EXPECT_EQ(Pkcs1CheckBlockType1(bad.data(), bad.size()), 0);
    EXPECT_EQ(Pkcs1CheckBlockType1(b.data(), 5), 0);
    EXPECT_EQ(Pkcs1CheckBlockType1(nullptr, 20), 0);
}

TEST(Pkcs1Test, BlockType2ReplacesZeroRandomBytes)
{
    uint8_t out[24];
    uint8_t rnd[24];
    for (int i = 0; i < 24; ++i)
        rnd[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : 0x40 + i);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(Pkcs1PadBlockType2(out, 24, rnd, data, 5));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 2);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out[2 + i], rnd[i] ? rnd[i] : 1);
    EXPECT_EQ(out[18], 0);
    EXPECT_EQ(std::vector<uint8_t>(out + 19, out + 24), V({1, 2, 3, 4, 5}));
    EXPECT_FALSE(Pkcs1PadBlockType2(out, 24, nullptr, data, 5));
    EXPECT_FALSE(Pkcs1PadBlockType2(out, 15, rnd, data, 5));
}

}  // namespace
