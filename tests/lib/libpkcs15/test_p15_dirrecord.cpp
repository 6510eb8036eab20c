#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

static const char* kAid = "A0 00 00 00 63 50 4B 43 53 2D 31 35";

TEST(Pkcs15DirRecord, Pkcs15ApplicationWithPath) {
    ASNPkcs15DIRRecord r(0x61);
    std::string der = std::string("61 12 4F 0C ") + kAid + " 51 02 50 15";
    EXPECT_EQ(Decode(r, der), 20);
    EXPECT_EQ(r.hasPkcs15Aid(), 1);
    EXPECT_EQ(r.wasLabel + r.wasDdo, 0);
    uint16_t w[2];
    EXPECT_EQ(r.getPath(w, 2), 1);
    EXPECT_EQ(w[0], 0x5015);
    EXPECT_EQ(Enc(r), N(der));
}

TEST(Pkcs15DirRecord, PathRulesDependOnApplicationKind) {
    ASNPkcs15DIRRecord r(0x61);
    EXPECT_EQ(Decode(r, std::string("61 0E 4F 0C ") + kAid), 0);
    EXPECT_EQ(Decode(r, "61 09 4F 07 E8 28 BD 08 0F 01 02"), 11);
    EXPECT_EQ(r.hasIso7816_15Aid(), 1);
    EXPECT_EQ(r.wasPath, 0);
    EXPECT_EQ(Decode(r, "61 11 4F 0B A0 00 00 00 63 50 4B 43 53 2D 31 51 02 50 15"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(r, "61 09 4F 07 D2 76 00 00 85 01 01"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(r, std::string("61 15 50 01 58 4F 0C ") + kAid + " 51 02 50 15"), 0);
}

TEST(Pkcs15DirRecord, OrderAndDdoChecks) {
    ASNPkcs15DIRRecord r(0x61);
    EXPECT_EQ(Decode(r, std::string("61 15 4F 0C ") + kAid + " 51 02 50 15 50 01 58"), 0);
    const char* ddoGood = "73 0F 06 07 2A 81 7A 01 70 01 01 30 04 04 02 50 31";
    std::string good = std::string("61 23 4F 0C ") + kAid + " 51 02 50 15 " + ddoGood;
    EXPECT_EQ(Decode(r, good), 37);
    EXPECT_EQ(r.wasDdo, 1);
    EXPECT_EQ(r.ddo.wasOid, 1);
    EXPECT_EQ(r.ddo.wasOdfPath, 1);
    EXPECT_EQ(Enc(r), N(good));
    std::vector<uint8_t> two = H(std::string("61 25 4F 0C ") + kAid + " 51 02 50 15 " + ddoGood + " 73 00");
    EXPECT_EQ(r.readVector(two), 0);
    // DDO of a PKCS#15 application without its oid, or with an aid.
    EXPECT_EQ(Decode(r, std::string("61 18 4F 0C ") + kAid + " 51 02 50 15 73 06 30 04 04 02 50 31"), 0);
    EXPECT_EQ(Decode(r, std::string("61 1C 4F 0C ") + kAid + " 51 02 50 15 73 0A 06 03 2A 03 04 4F 03 01 02 03"), 0);
    // An ISO/IEC 7816-15 application: empty DDO accepted, [1] refused.
    EXPECT_EQ(Decode(r, "61 0B 4F 07 E8 28 BD 08 0F 01 02 73 00"), 13);
    EXPECT_EQ(Decode(r, "61 11 4F 07 E8 28 BD 08 0F 01 02 73 06 A1 04 04 02 50 32"), 0);
}

TEST(Pkcs15DirRecord, DdoPathOrder) {
    ASNPkcs15DDO d(0x73);
    EXPECT_EQ(Decode(d, "73 0C A1 04 04 02 50 32 A0 04 04 02 50 33"), 14);
    EXPECT_EQ(d.wasTokenInfoPath, 1);
    EXPECT_EQ(d.wasUnusedPath, 1);
    EXPECT_EQ(Decode(d, "73 0C A0 04 04 02 50 32 30 04 04 02 50 31"), 0);
    EXPECT_EQ(Decode(d, "73 03 05 01 00"), 0);
}

TEST(Pkcs15DirRecord, SetPkcs15Encodes) {
    ASNPkcs15DIRRecord r(0x61);
    uint16_t w[2] = {0x3F00, 0x5015};
    EXPECT_EQ(r.setPkcs15(w, 2, "X"), 1);
    EXPECT_EQ(Enc(r), N(std::string("61 17 4F 0C ") + kAid + " 50 01 58 51 04 3F 00 50 15"));
    ASNPkcs15DIRRecord* c = ASNPkcs15DIRRecord::createIso7816_15(reinterpret_cast<const uint8_t*>("\x01\x02"), 2, w, 2, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Enc(*c), N("61 0F 4F 07 E8 28 BD 08 0F 01 02 51 04 3F 00 50 15"));
    delete c;
    EXPECT_EQ(ASNPkcs15DIRRecord::isPkcs15Aid(ASNPkcs15DIRRecord::kPkcs15Aid, 11), 0);
}

TEST(Pkcs15DirRecordVariants, ExchangedTagsCopiedToStandardLayout) {
    ASNPkcs15DIRRecord_Pomerantix v;
    std::string der = std::string("61 17 4F 03 41 42 43 50 0C ") + kAid + " 51 02 50 15";
    EXPECT_EQ(Decode(v, der), 25);
    EXPECT_EQ(v.wasLabel, 1);
    ASNPkcs15DIRRecord s(0x61);
    s = v;
    EXPECT_EQ(Enc(s), N(std::string("61 17 4F 0C ") + kAid + " 50 03 41 42 43 51 02 50 15"));
    EXPECT_EQ(Decode(v, "61 16 4F 03 41 42 43 50 0B A0 00 00 00 63 50 4B 43 53 2D 31 51 02 50 15"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(v, "61 18 4F 03 41 42 43 50 0D A0 00 00 00 63 50 4B 43 53 2D 31 35 00 51 02 50 15"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(v, std::string("61 13 4F 03 41 42 43 50 0C ") + kAid), 0);
    EXPECT_EQ(Decode(v, std::string("61 17 50 0C ") + kAid + " 4F 03 41 42 43 51 02 50 15"), 0);
    EXPECT_EQ(Decode(v, std::string("61 13 50 0C ") + kAid + " 73 03 51 02 50"), 0);
}

TEST(Pkcs15DirRecordVariants, SigGRecord) {
    ASNSigGDirRecord g;
    EXPECT_EQ(Decode(g, "61 0C 4F 06 D2 76 00 00 66 01 51 02 3F 00"), 14);
    EXPECT_EQ(g.wasLabel, 0);
    EXPECT_EQ(Enc(g), N("61 0C 4F 06 D2 76 00 00 66 01 51 02 3F 00"));
    EXPECT_EQ(Decode(g, "61 08 4F 06 D2 76 00 00 66 01"), 0);
    EXPECT_EQ(Decode(g, "61 0C 4F 06 D2 76 00 00 66 02 51 02 3F 00"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(g, "61 0F 4F 06 D2 76 00 00 66 01 52 01 00 51 02 3F 00"), 17);
    EXPECT_EQ(Decode(g, "61 11 4F 06 D2 76 00 00 66 01 51 02 3F 00 73 03 01 01 FF"), 19);
    EXPECT_EQ(g.wasDdo, 1);
    EXPECT_EQ(Enc(g), N("61 11 4F 06 D2 76 00 00 66 01 51 02 3F 00 73 03 01 01 FF"));
    ASNSigGDirRecord d;
    EXPECT_EQ(d.setDefault(nullptr), 1);
    EXPECT_EQ(Enc(d), N("61 0E 4F 06 D2 76 00 00 66 01 51 04 3F 00 DF 01"));
}
