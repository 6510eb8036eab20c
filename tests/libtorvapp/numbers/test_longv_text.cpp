// Digit text to word arrays and back, and fixed published values.
#include <gtest/gtest.h>

#include <string>

#include "tests/common/testsupport.h"
#include "tests/libtorvapp/numbers/words.h"

namespace {

std::string toDecimal(const Words &a) {
    std::string buf(32 * a.size() / 3 + 3, '\0');
    longvToOctal(&buf[0], a.data(), (QvWordLen)a.size());
    octalToDecimalText(&buf[0]);
    return std::string(buf.c_str());
}

std::string toOctal(const Words &a) {
    std::string buf(32 * a.size() / 3 + 3, '\0');
    longvToOctal(&buf[0], a.data(), (QvWordLen)a.size());
    return std::string(buf.c_str());
}

std::string octToDec(const char *t) {
    std::string s(t);
    s.push_back('\0');
    octalToDecimalText(&s[0]);
    return std::string(s.c_str());
}

Words parse(QvWordLen (*f)(QvWord *, const char *), const std::string &t) {
    Words r(t.size() / 2 + 4, 0xEEEEEEEE);
    QvWordLen n = f(r.data(), t.c_str());
    r.resize(n);
    return r;
}

}  // namespace

TEST(LongvText, DecimalParsing) {
    EXPECT_EQ(parse(longvFromDecimal, "4294967296"), (Words{0, 1}));
    EXPECT_EQ(parse(longvFromDecimal, ""), (Words{0}));
    EXPECT_EQ(parse(longvFromDecimal, "0"), (Words{0}));
    // 19 digits: chunks of 9, 9 and 1 digits
    EXPECT_EQ(parse(longvFromDecimal, "1234567890123456789"), (Words{0x7DE98115, 0x112210F4}));
    EXPECT_EQ(parse(longvFromDecimal, "18446744073709551615"), (Words{0xFFFFFFFF, 0xFFFFFFFF}));
}

TEST(LongvText, HexadecimalParsing) {
    EXPECT_EQ(parse(longvFromHex, "000000000FFFFFFFF1"), (Words{0xFFFFFFF1, 0xF}));
    EXPECT_EQ(parse(longvFromHex, "0000"), (Words{0}));
    EXPECT_EQ(parse(longvFromHex, ""), (Words{0}));
    EXPECT_EQ(parse(longvFromHex, "aB"), (Words{171}));
    EXPECT_EQ(parse(longvFromHex, "123456789abcdefABCDEF"), (Words{0xefABCDEF, 0x6789abcd, 0x12345}));
    EXPECT_EQ(parse(longvFromHex, "100000000"), (Words{0, 1}));
}

TEST(LongvText, OctalParsing) {
    EXPECT_EQ(parse(longvFromOctal, "37777777777"), (Words{0xFFFFFFFF}));
    EXPECT_EQ(parse(longvFromOctal, "40000000000"), (Words{0, 1}));
    EXPECT_EQ(parse(longvFromOctal, ""), (Words{0}));
    EXPECT_EQ(parse(longvFromOctal, "17"), (Words{15}));
}

TEST(LongvText, OctalOutput) {
    EXPECT_EQ(toOctal(Words{8}), "10");
    EXPECT_EQ(toOctal(Words{0, 0, 0}), "0");
    EXPECT_EQ(toOctal(Words{}), "0");
    // Three words with a zero middle word keep their inner zero digits.
    EXPECT_EQ(toOctal(Words{1, 0, 1}), "2000000000000000000001");
    EXPECT_EQ(toOctal(Words{0, 0, 0, 1}), "1" + std::string(32, '0'));
    EXPECT_EQ(toOctal(Words{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), std::string(1, '3') + std::string(42, '7'));
}

TEST(LongvText, OctalToDecimalInPlace) {
    EXPECT_EQ(octToDec("17"), "15");
    EXPECT_EQ(octToDec("777"), "511");
    EXPECT_EQ(octToDec("100"), "64");
    EXPECT_EQ(octToDec("7"), "7");
    EXPECT_EQ(octToDec("00"), "0");
    EXPECT_EQ(octToDec("0"), "0");
    EXPECT_EQ(octToDec("0017"), "15");
    EXPECT_EQ(octToDec("1777777777777777777777"), "18446744073709551615");
}

TEST(LongvText, PublishedValuesInAllThreeBases) {
    int records = 0;
    for (const testsupport::DataLine &l : testsupport::ReadDataLines(testsupport::DataFile("fixed_numbers.txt"))) {
        ASSERT_EQ(l.fields.size(), 3u) << "line " << l.number;
        const std::string &hex = l.fields[0], &oct = l.fields[1], &dec = l.fields[2];
        Words fromHex = parse(longvFromHex, hex);
        Words fromOct = parse(longvFromOctal, oct);
        Words fromDec = parse(longvFromDecimal, dec);
        EXPECT_EQ(fromHex, fromOct) << dec;
        EXPECT_EQ(fromHex, fromDec) << dec;
        EXPECT_EQ(toOctal(fromHex), oct);
        EXPECT_EQ(toDecimal(fromHex), dec);
        // Leading zero words do not change the text.
        Words padded = fromHex;
        padded.push_back(0);
        padded.push_back(0);
        EXPECT_EQ(toDecimal(padded), dec);
        ++records;
    }
    EXPECT_GE(records, 12);
}

TEST(LongvText, DecimalOfTwoToThe521MinusOne) {
    Words m(17, 0xFFFFFFFF);
    m[16] = 0x1FF;
    EXPECT_EQ(toDecimal(m),
              "6864797660130609714981900799081393217269435300143305409394463459185543183397656052122559640661454554977"
              "296311391480858037121987999716643812574028291115057151");
}
