// OBJECT IDENTIFIER: text and encoded forms, validation.
#include <gtest/gtest.h>

#include <string>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnobjid.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {
std::string Enc(const char* text, const char* seps = nullptr) {
    uint8_t buf[64];
    long n = ASNobjectId::textToBer(text, buf, sizeof buf, seps);
    if (n <= 0) return "REJECTED";
    return Hex(buf, n);
}
}  // namespace

TEST(AsnOid, TextEncodesToKnownOctets) {
    EXPECT_EQ(Enc("2.5.4.3"), N("55 04 03"));
    EXPECT_EQ(Enc("1.2.840.113549"), N("2A 86 48 86 F7 0D"));
    EXPECT_EQ(Enc("2.999"), N("88 37"));
    EXPECT_EQ(Enc("1.2.4294967295"), N("2A 8F FF FF FF 7F"));
    EXPECT_EQ(Enc("0.0"), N("00"));
    EXPECT_EQ(Enc("1.39"), N("4F"));
    EXPECT_EQ(Enc("2.47"), N("7F"));
    EXPECT_EQ(Enc("2.48"), N("81 00"));
    EXPECT_EQ(Enc("1.3.6.1.4.1.311.21.20"), N("2B 06 01 04 01 82 37 15 14"));
}

TEST(AsnOid, MalformedTextIsRejected) {
    for (const char* t : {"1.40", "3.1", "1", "1..2", "1.2.", ".1.2", "1.2,3", "", "1.2.4294967296",
                          "1.a", "1.-2", "1.2 ", "2.107374183", "01x.2"}) {
        EXPECT_EQ(Enc(t), "REJECTED") << t;
    }
    EXPECT_EQ(ASNobjectId::textToBer(nullptr, nullptr, 0), 0);
}

TEST(AsnOid, OtherSeparatorsAreAcceptedOneKindPerText) {
    EXPECT_EQ(Enc("1,2,3"), Enc("1.2.3"));
    EXPECT_EQ(Enc("1 2 3"), Enc("1.2.3"));
    EXPECT_EQ(Enc("1/2/3", "/"), Enc("1.2.3"));
    EXPECT_EQ(Enc("1/2/3"), "REJECTED");
    ASNobjectId a("1,2,3"), b("1.2.3");
    EXPECT_TRUE(a == b);
}

TEST(AsnOid, OutputBufferTooSmallGivesMinusTheLength) {
    uint8_t buf[2];
    EXPECT_EQ(ASNobjectId::textToBer("1.2.840", buf, sizeof buf), -3);
    EXPECT_EQ(ASNobjectId::textToBer("1.2.840", nullptr, 0), 3);
    const std::vector<uint8_t> ber = H("2A 86 48");
    char text[4];
    EXPECT_EQ(ASNobjectId::berToText(ber.data(), 3, text, sizeof text), -8);
    EXPECT_EQ(ASNobjectId::berToText(ber.data(), 3, nullptr, 0), 8);
    EXPECT_EQ(ASNobjectId::berToText(ber.data(), 3, nullptr, 0, ".", false), 7);
}

TEST(AsnOid, EncodedFormsPrintBack) {
    ASNobjectId o;
    std::string s;
    ASSERT_EQ(Decode(o, "06 02 88 37"), 4);
    EXPECT_EQ(o.getText(s), 1);
    EXPECT_EQ(s, "2.999");
    ASSERT_EQ(Decode(o, "06 06 2A 8F FF FF FF 7F"), 8);
    EXPECT_EQ(o.toString(), "1.2.4294967295");
    ASSERT_EQ(Decode(o, "06 03 55 04 03"), 5);
    EXPECT_EQ(o.getText(s, "/"), 1);
    EXPECT_EQ(s, "2/5/4/3");
    EXPECT_TRUE(o.isEqual("2.5.4.3"));
    EXPECT_FALSE(o.isEqual("2.5.4.4"));
    EXPECT_FALSE(o.isEqual("junk"));
    // The leading arcs come from the whole first sub-identifier.
    ASSERT_EQ(Decode(o, "06 02 81 00"), 4);
    EXPECT_EQ(o.toString(), "2.48");
    ASSERT_EQ(Decode(o, "06 01 27"), 3);
    EXPECT_EQ(o.toString(), "0.39");
    ASSERT_EQ(Decode(o, "06 01 28"), 3);
    EXPECT_EQ(o.toString(), "1.0");
}

TEST(AsnOid, MalformedEncodingsAreRejected) {
    ASNobjectId o;
    EXPECT_EQ(Decode(o, "06 00"), 0);
    EXPECT_EQ(Decode(o, "06 02 2A 86"), 0);                 // unterminated
    EXPECT_EQ(Decode(o, "06 06 2A 90 80 80 80 00"), 0);     // beyond 32 bits
    EXPECT_EQ(Decode(o, "06 07 2A 81 80 80 80 80 00"), 0);  // six octets
    EXPECT_EQ(Decode(o, "06 02 80 01"), 0);                 // non-minimal sub-identifier
    EXPECT_EQ(Decode(o, "06 03 2A 80 01"), 0);
    EXPECT_EQ(Decode(o, "26 03 2A 03 04"), 0);              // constructed
    EXPECT_EQ(ASNobjectId::countArcs(H("2A 03").data(), 2), 3);
    EXPECT_EQ(ASNobjectId::countArcs(H("2A 86").data(), 2), -1);
    EXPECT_EQ(ASNobjectId::countArcs(H("2A 90 80 80 80 00").data(), 6), -3);
    EXPECT_EQ(ASNobjectId::countArcs(H("80 01").data(), 2), -1);
    EXPECT_EQ(ASNobjectId::countArcs(nullptr, 0), 0);
    EXPECT_EQ(o.setEncoded(H("80 01").data(), 2), 0);
    EXPECT_EQ(o.setEncoded(H("2A 03").data(), 2), 1);
    EXPECT_EQ(o.toString(), "1.2.3");
}

TEST(AsnOid, LongArcFlagAdmitsWideSubidentifiers) {
    ASNobjectId o;
    o.setLongArcs(true);
    EXPECT_EQ(Decode(o, "06 06 2A 90 80 80 80 00"), 8);
    std::string s;
    EXPECT_EQ(o.getText(s), 0);  // still not printable in 32 bits
    EXPECT_EQ(Decode(o, "06 02 80 01"), 0);
    ASNobjectId c(o);
    EXPECT_TRUE(c.getLongArcs());
    EXPECT_TRUE(c == o);
}

TEST(AsnOid, CopiesComparisonAndTagging) {
    ASNobjectId a("1.2.840.113549.1.1.11");
    ASNobjectId b;
    EXPECT_FALSE(a == b);
    b = a;
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Encode(b), N("06 09 2A 86 48 86 F7 0D 01 01 0B"));
    EXPECT_THROW(ASNobjectId("1.40"), std::bad_alloc);
    EXPECT_THROW(b = "x", std::bad_alloc);
    ASNobjectId tagged("2.5.4.3");
    tagged.setTag(0x82);
    tagged.setExplicitTag();
    ASNobjectId taggedCopy(tagged);
    EXPECT_EQ(Encode(taggedCopy), N("A2 05 06 03 55 04 03"));
    ASNobjectId ctx(0x85);
    ASSERT_EQ(ctx.setText("1.2.3"), 1);
    EXPECT_EQ(Encode(ctx), N("85 02 2A 03"));
    ASNany any;
    ASSERT_EQ(Decode(any, "06 03 55 04 03"), 5);
    ASNobjectId fromAny;
    EXPECT_EQ(fromAny.assign(any), 1);
    EXPECT_EQ(fromAny.toString(), "2.5.4.3");
    std::string longText = "1.2";
    for (int i = 0; i < 80; i++) longText += ".4294967295";
    ASNobjectId big(longText.c_str());
    std::string back;
    EXPECT_EQ(big.getText(back), 1);
    EXPECT_EQ(back, longText);
    EXPECT_TRUE(big.isEqual(longText.c_str()));
}
