#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15commonobjectattributes.h"
#include "support/vtest.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15CommonObjectAttributes, EmptyRoundTrips) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 00"), 2);
    EXPECT_EQ(a.wasLabel + a.wasFlags + a.wasAuthId + a.wasUserConsent + a.wasAccessControlRules, 0);
    EXPECT_EQ(Enc(a), "30 00");
}

TEST(Pkcs15CommonObjectAttributes, LabelFlagsAuthId) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    const char* der = "30 0C 0C 03 41 42 43 03 02 07 80 04 01 01";
    EXPECT_EQ(Decode(a, der), 14);
    EXPECT_EQ(a.wasLabel, 1);
    EXPECT_TRUE(a.label.isEqual("ABC"));
    EXPECT_EQ(a.flags.getFlags(), 1u);
    EXPECT_EQ(a.wasAuthId, 1);
    EXPECT_EQ(a.authId.getLength(), 1);
    EXPECT_EQ(a.wasUserConsent + a.wasAccessControlRules, 0);
    EXPECT_EQ(Enc(a), N(der));
}

TEST(Pkcs15CommonObjectAttributes, OrderAndKindAreChecked) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 09 03 02 07 80 0C 03 41 42 43"), 0);
    EXPECT_EQ(Decode(a, "30 06 04 01 01 04 01 02"), 0);
    EXPECT_EQ(Decode(a, "30 05 2C 03 0C 01 41"), 0);
    EXPECT_EQ(Decode(a, "30 03 80 01 00"), 0);
    EXPECT_EQ(Decode(a, "30 03 A1 01 00"), 0);
    EXPECT_EQ(Decode(a, "30 06 23 04 03 02 07 80"), 0);
}

TEST(Pkcs15CommonObjectAttributes, LenientFlagsWrittenBackUnchanged) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 02 03 00"), 4);
    EXPECT_EQ(a.wasFlags, 1);
    EXPECT_EQ(a.flags.getFlags(), 0u);
    EXPECT_EQ(Enc(a), "30 02 03 00");
    EXPECT_EQ(Decode(a, "30 03 03 01 08"), 5);
    EXPECT_EQ(a.flags.getFlags(), 0u);
    EXPECT_EQ(Enc(a), "30 03 03 01 08");
    // Setting a flag replaces the octets kept.
    a.flags.setFlags(2);
    EXPECT_EQ(Enc(a), "30 04 03 02 06 40");
    EXPECT_EQ(Decode(a, "30 03 03 01 80"), 0);
}

TEST(Pkcs15CommonObjectAttributes, ConstructedAuthIdAndRulesKept) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 05 24 03 04 01 07"), 7);
    EXPECT_EQ(a.wasAuthId, 1);
    ASSERT_EQ(a.authId.getLength(), 1);
    EXPECT_EQ(a.authId.getData()[0], 7);
    const char* rules = "30 0D 02 01 05 30 08 30 06 03 02 07 80 04 00";
    EXPECT_EQ(Decode(a, rules), 15);
    EXPECT_EQ(a.wasUserConsent, 1);
    EXPECT_EQ(a.wasAccessControlRules, 1);
    EXPECT_EQ(Enc(a), N(rules));
}

TEST(Pkcs15CommonObjectAttributes, SetBuildsPinObjectAttributes) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    ASSERT_EQ(Decode(a, "30 0A 30 08 30 06 03 02 07 80 04 00"), 12);
    EXPECT_EQ(a.set(nullptr, 0xFFFFFFFF, nullptr, 0, 0), 1);
    EXPECT_EQ(Enc(a), "30 0A 30 08 30 06 03 02 07 80 04 00");
    a.wasAccessControlRules = 0;
    uint8_t x = 0x42;
    EXPECT_EQ(a.set("PIN", 1, &x, 1, 0), 1);
    EXPECT_EQ(Enc(a), N("30 0C 0C 03 50 49 4E 03 02 07 80 04 01 42"));
    ASNPkcs15CommonObjectAttributes b(0x30);
    b = a;
    EXPECT_TRUE(a == b);
    b.label.setText("PIM", -1);
    EXPECT_FALSE(a == b);
    EXPECT_EQ(a.set("L", 3, nullptr, 0, 5), 1);
    EXPECT_EQ(Enc(a), N("30 0A 0C 01 4C 03 02 06 C0 02 01 05"));
}

TEST(Pkcs15CommonObjectAttributes, SetOnConstantObjectAsserts) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    std::vector<uint8_t> b = H("30 00");
    ASSERT_EQ(a.readVector(b, ASN_FLAG_CONST | ASN_FLAG_COPY), 2);
    EXPECT_THROW(a.set("x", 0, nullptr, 0, 0), VtestException);
}
