#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15path.h"
#include "lib/libpkcs15/asnpkcs15pinattributes.h"
#include "support/vtest.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15Path, PlainPathRoundTrips) {
    ASNPkcs15Path p(0x30);
    EXPECT_EQ(Decode(p, "30 04 04 02 3F 00"), 6);
    EXPECT_EQ(p.wasIndex, 0);
    EXPECT_EQ(p.wasLength, 0);
    uint16_t w[4] = {0};
    EXPECT_EQ(p.getPath(nullptr, 0), 1);
    EXPECT_EQ(p.getPath(w, 4), 1);
    EXPECT_EQ(w[0], 0x3F00);
    EXPECT_EQ(Enc(p), N("30 04 04 02 3F 00"));
}

TEST(Pkcs15Path, IndexAndLengthDecode) {
    ASNPkcs15Path p(0x30);
    EXPECT_EQ(Decode(p, "30 0D 04 04 50 15 44 00 02 01 00 80 02 01 00"), 15);
    EXPECT_EQ(p.wasIndex, 1);
    EXPECT_EQ(p.wasLength, 1);
    EXPECT_EQ(p.getIndex(), 0u);
    EXPECT_EQ(p.getLengthValue(), 256u);
    uint16_t w[2];
    EXPECT_EQ(p.getPath(w, 2), 2);
    EXPECT_EQ(w[0], 0x5015);
    EXPECT_EQ(w[1], 0x4400);
    EXPECT_EQ(Enc(p), N("30 0D 04 04 50 15 44 00 02 01 00 80 02 01 00"));
}

TEST(Pkcs15Path, OddPathIsMalformed) {
    ASNPkcs15Path p(0x30);
    EXPECT_EQ(Decode(p, "30 05 04 03 3F 00 50"), 0);
    ASNPkcs15Path q(0x30);
    uint8_t three[3] = {1, 2, 3};
    q.path.set(three, 3);
    EXPECT_EQ(q.getPath(nullptr, 0), -1);
}

TEST(Pkcs15Path, ExplicitLengthIsKept) {
    ASNPkcs15Path p(0x30);
    EXPECT_EQ(Decode(p, "30 09 04 02 3F 00 A0 03 02 01 10"), 11);
    EXPECT_EQ(p.wasLength, 1);
    EXPECT_EQ(p.getLengthValue(), 16u);
    EXPECT_EQ(Enc(p), N("30 09 04 02 3F 00 A0 03 02 01 10"));
    p.clear();
    uint16_t w = 0x3F00;
    p.set(&w, 1, 1, 2);
    EXPECT_EQ(Enc(p), N("30 0A 04 02 3F 00 02 01 01 80 01 02"));
}

TEST(Pkcs15Path, OrderAndCountAreChecked) {
    ASNPkcs15Path p(0x30);
    EXPECT_EQ(Decode(p, "30 0A 04 02 3F 00 80 01 01 02 01 00"), 0);  // index after length
    EXPECT_EQ(Decode(p, "30 0A 04 02 3F 00 02 01 01 02 01 00"), 0);  // two indexes
    EXPECT_EQ(Decode(p, "30 0D 04 02 3F 00 02 01 01 80 01 02 05 00"), 0);  // third element
    EXPECT_EQ(Decode(p, "30 07 04 02 3F 00 04 01 00"), 0);  // element of another kind
    EXPECT_EQ(Decode(p, "30 07 04 02 3F 00 80 01 05"), 9);  // length alone is kept
    EXPECT_EQ(p.wasLength, 1);
    EXPECT_EQ(p.wasIndex, 0);
}

TEST(Pkcs15Path, SettersKeepIndexAndLengthTogether) {
    ASNPkcs15Path p(0x30);
    uint16_t w[2] = {0x3F00, 0x5015};
    EXPECT_EQ(p.set(w, 2, 0, 0), 1);
    EXPECT_EQ(p.wasIndex, 0);
    EXPECT_EQ(p.wasLength, 0);
    EXPECT_EQ(p.set(w, 2, 0, 5), 1);
    EXPECT_EQ(p.wasIndex, 1);
    EXPECT_EQ(p.wasLength, 1);
    EXPECT_EQ(Enc(p), N("30 0C 04 04 3F 00 50 15 02 01 00 80 01 05"));
    uint16_t one[1] = {0xAAAA};
    EXPECT_EQ(p.getPath(one, 1), -2);
    EXPECT_EQ(one[0], 0xAAAA);
    EXPECT_EQ(p.getPath(nullptr, 0), 2);
    ASNPkcs15Path e(0x30);
    EXPECT_EQ(Enc(e), N("30 02 04 00"));
    EXPECT_EQ(e.getPath(one, 1), 0);
}

TEST(Pkcs15Path, ContextTagGainsConstructedBit) {
    ASNPkcs15Path p(0x80);
    EXPECT_EQ(p.tag, 0xA0);
    ASNPkcs15Path q(0x04);
    EXPECT_EQ(q.tag, 0x30);
    EXPECT_EQ(Decode(p, "A0 04 04 02 3F 00"), 6);
}

TEST(Pkcs15Path, CopyOfConstantPathAsserts) {
    ASNPkcs15Path src(0x30);
    std::vector<uint8_t> b = H("30 04 04 02 3F 00");
    ASNPkcs15Path c(0x30);
    ASSERT_EQ(c.readVector(b, ASN_FLAG_CONST | ASN_FLAG_COPY), 6);
    EXPECT_THROW(c = src, VtestException);
}

// PIN attributes ------------------------------------------------------------

TEST(Pkcs15PinAttributes, MandatoryOnlyRoundTrips) {
    ASNPkcs15PinAttributes a(0x30);
    const char* der = "30 0D 03 02 04 30 0A 01 01 02 01 04 02 01 08";
    EXPECT_EQ(Decode(a, der), 15);
    EXPECT_EQ(a.wasMaxLength + a.wasPinReference + a.wasPadChar + a.wasLastPinChange + a.wasPath, 0);
    EXPECT_EQ(a.pinFlags.getFlags(), 0x0Cu);
    EXPECT_EQ(Enc(a), N(der));
}

TEST(Pkcs15PinAttributes, SetterRules) {
    ASNPkcs15PinAttributes a(0x30);
    EXPECT_EQ(a.set(0x12, 1, nullptr, 0, 2, 8, 8, 0, 0xFF), 1);
    EXPECT_EQ(a.minLength.getLong(), 4);
    EXPECT_EQ(a.wasPinReference, 0);
    EXPECT_EQ(a.wasPadChar, 0);
    EXPECT_EQ(a.wasPath, 0);
    uint16_t w[2] = {0x3F00, 0x5015};
    EXPECT_EQ(a.set(0x32, 1, w, 2, 6, 8, 0, 0x81, 0xFF), 1);
    EXPECT_EQ(a.minLength.getLong(), 6);
    EXPECT_EQ(a.wasMaxLength, 0);
    EXPECT_EQ(a.wasPadChar, 1);
    EXPECT_EQ(Enc(a), N("30 1C 03 02 02 4C 0A 01 01 02 01 06 02 01 08 80 02 00 81 04 01 FF 30 06 04 04 3F 00 50 15"));
}

TEST(Pkcs15PinAttributes, PinReferenceInBothTaggings) {
    ASNPkcs15PinAttributes a(0x30);
    const char* expl = "30 12 03 02 04 30 0A 01 01 02 01 04 02 01 08 A0 03 02 01 01";
    EXPECT_EQ(Decode(a, expl), 20);
    EXPECT_EQ(a.wasPinReference, 1);
    EXPECT_EQ(a.pinReference.getLong(), 1);
    EXPECT_EQ(Enc(a), N(expl));
    const char* impl = "30 10 03 02 04 30 0A 01 01 02 01 04 02 01 08 80 01 01";
    EXPECT_EQ(Decode(a, impl), 18);
    EXPECT_EQ(Enc(a), N(impl));
}

TEST(Pkcs15PinAttributes, OrderViolationsAreMalformed) {
    ASNPkcs15PinAttributes a(0x30);
    const char* m = "03 02 04 30 0A 01 01 02 01 04 02 01 08 ";
    EXPECT_EQ(Decode(a, std::string("30 13 ") + m + "04 01 FF 02 01 08"), 0);  // padChar before maxLength
    EXPECT_EQ(Decode(a, std::string("30 19 ") + m + "30 04 04 02 3F 00 30 04 04 02 3F 00"), 0);
    EXPECT_EQ(Decode(a, std::string("30 24 ") + m + "30 04 04 02 3F 00 18 0F 32 30 32 34 30 31 30 31 31 32 30 30 30 30 5A"), 0);
    EXPECT_EQ(Decode(a, std::string("30 10 ") + m + "05 00 05 00"), 0);
    EXPECT_EQ(Decode(a, std::string("30 0F ") + m + "02"), 0);
}

TEST(Pkcs15PinAttributes, AllOptionalMembersRoundTrip) {
    ASNPkcs15PinAttributes a(0x30);
    std::string der = "30 2D 03 02 04 30 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 01 04 01 FF "
                      "18 0F 32 30 32 34 30 31 30 31 31 32 30 30 30 30 5A 30 04 04 02 3F 00";
    EXPECT_EQ(Decode(a, der), 47);
    EXPECT_EQ(a.wasMaxLength + a.wasPinReference + a.wasPadChar + a.wasLastPinChange + a.wasPath, 5);
    EXPECT_EQ(Enc(a), N(der));
    ASNPkcs15PinAttributes b(0x30);
    b = a;
    EXPECT_TRUE(b == a);
    EXPECT_EQ(Enc(b), N(der));
    // A sixth optional element is too many.
    ASNPkcs15PinAttributes c(0x30);
    std::string six = "30 30 03 02 04 30 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 01 04 01 FF "
                      "18 0F 32 30 32 34 30 31 30 31 31 32 30 30 30 30 5A 30 04 04 02 3F 00 05 01 00";
    EXPECT_EQ(Decode(c, six), 0);
}
