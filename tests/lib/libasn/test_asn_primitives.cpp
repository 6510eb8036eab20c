// Leaf types: BOOLEAN, NULL, OCTET STRING, INTEGER, ENUMERATED, UTF8String,
// BIT STRING, GeneralizedTime.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

TEST(AsnBool, DecodesAnyNonZeroAsTrueAndKeepsTheOctet) {
    ASNbool b;
    EXPECT_EQ(Encode(b), N("01 01 01"));  // fresh
    EXPECT_EQ(Decode(b, "01 01 FF"), 3);
    EXPECT_TRUE(b.isTrue());
    EXPECT_EQ(Encode(b), N("01 01 FF"));
    EXPECT_EQ(Decode(b, "01 01 05"), 3);
    EXPECT_TRUE(b.isTrue());
    EXPECT_EQ(Encode(b), N("01 01 05"));
    EXPECT_EQ(Decode(b, "01 01 00"), 3);
    EXPECT_FALSE(b.isTrue());
    EXPECT_EQ(Decode(b, "01 00"), 0);
    EXPECT_EQ(Decode(b, "01 02 FF FF"), 0);
    b = true;
    EXPECT_EQ(Encode(b), N("01 01 FF"));
    EXPECT_EQ(b.getValue(), -1);
    b = false;
    EXPECT_EQ(Encode(b), N("01 01 00"));
    ASNbool t(0x81);
    t = true;
    EXPECT_EQ(Encode(t), N("81 01 FF"));
}

TEST(AsnNull, OnlyTheEmptyEncoding) {
    ASNnull n;
    EXPECT_EQ(Decode(n, "05 00"), 2);
    EXPECT_EQ(Decode(n, "05 01 00"), 0);
    EXPECT_EQ(Encode(n), N("05 00"));
}

TEST(AsnOctetString, ConstructedIndefiniteDecodesAndReencodesInItsForm) {
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "24 80 04 02 41 42 04 01 43 00 00"), 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.getData()), s.getLength()), "ABC");
    EXPECT_EQ(s.getSegmentCount(), 2u);
    EXPECT_EQ(EncodeStream(s), N("24 80 04 02 41 42 04 01 43 00 00"));
    // Nested constructed segments concatenate too.
    EXPECT_EQ(Decode(s, "24 0A 24 80 04 01 41 00 00 04 01 42"), 12);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.getData()), s.getLength()), "AB");
    // Segments must be OCTET STRINGs and fill the length exactly.
    EXPECT_EQ(Decode(s, "24 03 02 01 41"), 0);
    EXPECT_EQ(Decode(s, "24 04 04 01 41 00"), 0);
    EXPECT_EQ(Decode(s, "24 02 04 01 41"), 0);
}

TEST(AsnOctetString, CopiesCarrySegmentsAndValue) {
    ASNoctstr s;
    ASSERT_EQ(Decode(s, "24 80 04 02 41 42 04 01 43 00 00"), 11);
    ASNoctstr c(s);
    EXPECT_TRUE(c == s);
    ASSERT_NE(c.getData(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.getData()), c.getLength()), "ABC");
    EXPECT_EQ(Encode(c), Encode(s));
    ASNoctstr p;
    ASSERT_EQ(p.set("ABC", 3), 1);
    EXPECT_FALSE(p == s);  // primitive vs constructed
    EXPECT_EQ(ASNoctstr::compare(p, p), 0);
    ASNoctstr q;
    ASSERT_EQ(q.set("ABD", 3), 1);
    EXPECT_EQ(ASNoctstr::compare(p, q), -1);
    ASNoctstr longer;
    ASSERT_EQ(longer.set("AB\x00\x00", 4), 1);
    EXPECT_EQ(ASNoctstr::compare(longer, q), 1);
}

TEST(AsnOctetString, SettingAValueKeepsTheTagging) {
    ASNoctstr s(0x80);
    s.setExplicitTag();
    ASSERT_EQ(s.set("hi", 2), 1);
    EXPECT_EQ(Encode(s), N("A0 04 04 02 68 69"));
    ASNoctstr d;
    ASSERT_EQ(Decode(d, "24 03 04 01 41"), 5);
    ASSERT_EQ(d.set("Z", 1), 1);
    EXPECT_EQ(Encode(d), N("04 01 5A"));  // a set value is primitive
    ASSERT_EQ(d.set(nullptr, 0), 1);
    EXPECT_EQ(Encode(d), N("04 00"));
    ASNoctstr printable(0x13);  // the class serves other string types
    ASSERT_EQ(Decode(printable, "13 02 41 42"), 4);
    EXPECT_EQ(Decode(printable, "04 02 41 42"), 0);
}

TEST(AsnInteger, SettersProduceMinimalTwosComplement) {
    ASNinteger i;
    i.setValue(0);
    EXPECT_EQ(Encode(i), N("02 01 00"));
    i.setValue(127);
    EXPECT_EQ(Encode(i), N("02 01 7F"));
    i.setValue(128);
    EXPECT_EQ(Encode(i), N("02 02 00 80"));
    i.setValue(255);
    EXPECT_EQ(Encode(i), N("02 02 00 FF"));
    i.setValue(0xFFFFFFFFu);
    EXPECT_EQ(Encode(i), N("02 05 00 FF FF FF FF"));
    EXPECT_EQ(i.setUnsigned(H("00 00 01 02").data(), 4), 1);
    EXPECT_EQ(Encode(i), N("02 02 01 02"));
    EXPECT_EQ(i.setUnsigned(nullptr, 0), 1);
    EXPECT_EQ(Encode(i), N("02 01 00"));
    EXPECT_EQ(i.setHex("  f0 01 "), 1);
    EXPECT_EQ(Encode(i), N("02 03 00 F0 01"));
    EXPECT_EQ(i.setHex(""), 0);
    EXPECT_EQ(i.setHex("xyz"), 0);
}

TEST(AsnInteger, GetLongReadsTheMagnitude) {
    ASNinteger i;
    ASSERT_EQ(Decode(i, "02 01 FF"), 3);
    EXPECT_EQ(i.getLong(), 255);
    ASSERT_EQ(Decode(i, "02 09 00 FF FF FF FF FF FF FF FE"), 11);
    EXPECT_EQ(static_cast<unsigned long>(i.getLong()), 0xFFFFFFFFFFFFFFFEul);
    EXPECT_EQ(i.getLength(), 8);
    ASSERT_EQ(Decode(i, "02 09 01 00 00 00 00 00 00 00 00"), 11);
    try {
        i.getLong();
        FAIL() << "no overflow";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "ASNinteger overflow");
    }
}

TEST(AsnInteger, EmptyContentsAreMalformed) {
    ASNinteger i;
    EXPECT_EQ(Decode(i, "02 00"), 0);
    ASNany any;
    ASSERT_EQ(Decode(any, "02 00"), 2);
    EXPECT_EQ(i.assign(any), 0);
}

TEST(AsnInteger, HexTextOfSignificantOctets) {
    ASNinteger i;
    char buf[16];
    ASSERT_EQ(Decode(i, "02 03 00 AB CD"), 5);
    EXPECT_EQ(i.getHex(buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "ABCD");
    EXPECT_EQ(i.getHex(buf, 5), 1);
    EXPECT_EQ(i.getHex(buf, 4), 0);
    i.setValue(0);
    EXPECT_EQ(i.getHex(buf, 2), 1);
    EXPECT_STREQ(buf, "0");
    EXPECT_EQ(i.getHex(buf, 1), 0);
    ASNinteger c;
    ASSERT_EQ(Decode(c, "02 02 01 00"), 4);
    i = c;
    EXPECT_EQ(i.getLong(), 256);
}

TEST(AsnUtf8, TextValidationAndCounts) {
    ASNUtf8String u;
    u = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87";  // "Zażółć"
    EXPECT_TRUE(u.isValid());
    EXPECT_EQ(u.getCharCount(), 6);
    EXPECT_TRUE(u.isEqual("Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"));
    EXPECT_FALSE(u.isEqual("Za"));
    EXPECT_EQ(Encode(u).substr(0, 5), N("0C 0A"));
    ASNUtf8String bad;
    ASSERT_EQ(Decode(bad, "0C 02 C3 28"), 4);
    EXPECT_FALSE(bad.isValid());
    ASNUtf8String empty;
    EXPECT_TRUE(empty.isValid());
    EXPECT_TRUE(empty.isEqual(nullptr));
    EXPECT_EQ(empty.getCharCount(), 0);
    const uint16_t ucs[] = {0x5A, 0x17C, 0x20AC, 0};
    ASSERT_EQ(u.setUnicode(ucs, -1), 1);
    EXPECT_EQ(Hex(u.getData(), u.getLength()), N("5A C5 BC E2 82 AC"));
    ASSERT_EQ(u.setSystemText("plain", -1), 1);
    EXPECT_TRUE(u.isEqual("plain"));
    char out[16];
    int size = sizeof out;
    EXPECT_EQ(u.getSystemText(out, &size, true), 1);
    EXPECT_STREQ(out, "plain");
    EXPECT_EQ(size, 6);
    size = 3;
    EXPECT_EQ(u.getSystemText(out, &size, true), 0);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(Decode(u, "0C 01 41"), 3);
    EXPECT_EQ(Decode(u, "04 01 41"), 0);
}

TEST(AsnBitString, NamedBitFlagsDropTrailingZeros) {
    ASNbitstr b;
    b.setFlags(0x1);
    EXPECT_EQ(Encode(b), N("03 02 07 80"));
    b.setFlags(0x5);
    EXPECT_EQ(Encode(b), N("03 02 05 A0"));
    b.setFlags(0);
    EXPECT_EQ(Encode(b), N("03 01 00"));
    b.setFlags(0x80000000u);
    EXPECT_EQ(Encode(b), N("03 05 00 00 00 00 01"));
    b.setFlags(0x206);  // bits 1, 2, 9
    EXPECT_EQ(Encode(b), N("03 03 06 60 40"));
    EXPECT_EQ(b.getFlags(), 0x206u);
    EXPECT_EQ(b.getBitLength(), 10);
    ASNbitstr fresh;
    EXPECT_EQ(Encode(fresh), N("03 01 00"));
    EXPECT_EQ(fresh.lenOfBody(), 1);
}

TEST(AsnBitString, BadUnusedBitsAndEmptyContentsAreMalformed) {
    ASNbitstr b;
    EXPECT_EQ(Decode(b, "03 02 08 00"), 0);
    EXPECT_EQ(Decode(b, "03 02 FF 00"), 0);
    EXPECT_EQ(Decode(b, "03 00"), 0);
    EXPECT_EQ(Decode(b, "03 01 07"), 0);  // unused bits without any bit octet
    EXPECT_EQ(Decode(b, "03 01 00"), 3);
    EXPECT_EQ(b.getBitLength(), 0);
    EXPECT_EQ(Decode(b, "03 03 04 AB C0"), 5);
    EXPECT_EQ(b.getBitLength(), 12);
    EXPECT_EQ(b.getBit(0), 1);
    EXPECT_EQ(b.getBit(1), 0);
    EXPECT_EQ(b.getBit(12), 0);
}

TEST(AsnBitString, SettersAndNormalize) {
    ASNbitstr b;
    ASSERT_EQ(b.set(H("FF FF").data(), 2, 3), 1);
    EXPECT_EQ(Encode(b), N("03 03 03 FF F8"));
    ASSERT_EQ(b.setBitLength(10), 1);
    EXPECT_EQ(Encode(b), N("03 03 06 00 00"));
    b.setBit(9, true);
    b.setBit(0, true);
    EXPECT_EQ(Encode(b), N("03 03 06 80 40"));
    EXPECT_THROW(b.setBit(10 + 6, true), VtestException);
    ASSERT_EQ(b.set(H("80 00 00").data(), 3, 0), 1);
    b.normalize();
    EXPECT_EQ(Encode(b), N("03 02 07 80"));
    ASSERT_EQ(b.set(H("00 00").data(), 2, 0), 1);
    b.normalize();
    EXPECT_EQ(Encode(b), N("03 01 00"));
    ASNbitstr c;
    ASSERT_EQ(Decode(c, "03 02 07 80"), 4);
    ASNbitstr d;
    d.setFlags(1);
    EXPECT_TRUE(c == d);
    ASNinteger i;
    i.setValue(5);
    ASSERT_EQ(d.setEncoded(i), 1);
    EXPECT_EQ(Encode(d), N("03 04 00 02 01 05"));
    c = d;
    EXPECT_TRUE(c == d);
}

struct TimeCase {
    const char* text;
    bool decodes;
};

TEST(AsnGenTime, TextForms) {
    const TimeCase cases[] = {
        {"20231231235959Z", true},         {"20231231235959.5Z", true},
        {"20231231235959+0130", true},     {"20231231235959", true},
        {"20231231235959.", false},        {"20231231235959+013", false},
        {"20231231235959.Z", true},        {"20231331235959Z", false},
        {"20231200235959Z", false},        {"20231231245959Z", false},
        {"20231231236059Z", false},        {"2023123123595Z", false},
        {"20231231235959ZZ", false},       {"20231231235959+2400", false},
        {"20231231235959.5.5Z", false},    {"2023123123595AZ", false},
        {"20231231235959.123456789012345678Z", true},
        {"20231231235959.1234567890123456789Z", false},  // fraction beyond 64 bits
    };
    for (const TimeCase& c : cases) {
        ASNgenTime t;
        std::vector<uint8_t> enc = Tlv(0x18, c.text);
        EXPECT_EQ(t.readVector(enc) > 0, c.decodes) << c.text;
    }
}

TEST(AsnGenTime, FieldsAndReencoding) {
    ASNgenTime t;
    std::string in = "20231231235959-0130";
    std::vector<uint8_t> enc = Tlv(0x18, in);
    ASSERT_EQ(t.readVector(enc), static_cast<long>(enc.size()));
    EXPECT_EQ(t.offsetHours, -1);
    EXPECT_EQ(t.offsetMinutes, -30);
    EXPECT_TRUE(t.isValid());
    EXPECT_EQ(Encode(t), Hex(enc));
    char buf[ASNgenTime::kMaxText];
    std::string frac = "20231231235959.050Z";
    enc = Tlv(0x18, frac);
    ASSERT_EQ(t.readVector(enc), static_cast<long>(enc.size()));
    t.format(buf);
    EXPECT_STREQ(buf, "20231231235959.050Z");  // leading and trailing zeros kept
    EXPECT_EQ(t.lenOfObject(), static_cast<long>(enc.size()));
    std::string nodig = "20231231235959.Z";
    enc = Tlv(0x18, nodig);
    ASSERT_EQ(t.readVector(enc), static_cast<long>(enc.size()));
    EXPECT_FALSE(t.isValid());
    EXPECT_EQ(EncodeStream(t), Hex(enc));  // length and text agree
}

TEST(AsnGenTime, SetterAndCalendar) {
    ASNgenTime t;
    t.set(24, 2, 29, 12, 0, 0);
    EXPECT_EQ(t.year, 2024);
    EXPECT_TRUE(t.isValid());
    char buf[ASNgenTime::kMaxText];
    t.format(buf);
    EXPECT_STREQ(buf, "20240229120000Z");
    t.set(99, 1, 1, 0, 0, 0, 7, 3);
    EXPECT_EQ(t.year, 1999);
    t.format(buf);
    EXPECT_STREQ(buf, "19990101000000.007Z");
    t.set(2100, 2, 29, 0, 0, 0);
    EXPECT_FALSE(t.isValid());  // Gregorian rule: 2100 is not a leap year
    t.set(2000, 2, 29, 0, 0, 0);
    EXPECT_TRUE(t.isValid());
    EXPECT_FALSE(ASNgenTime::isLeapYear(1900));
    EXPECT_TRUE(ASNgenTime::isLeapYear(2000));
    t.set(2023, 4, 31, 0, 0, 0);
    EXPECT_FALSE(t.isValid());
    t.set(2023, 1, 1, 0, 0, 0, 12345, 2);  // fraction wider than its digits: none
    EXPECT_FALSE(t.hasFraction);
    t.set(2023, 1, 1, 0, 0, 0, 5, 40);
    EXPECT_FALSE(t.hasFraction);
    t.format(buf);
    EXPECT_STREQ(buf, "20230101000000Z");
    t.setNow();
    EXPECT_TRUE(t.isValid());
    EXPECT_GE(t.year, 2024);
}
