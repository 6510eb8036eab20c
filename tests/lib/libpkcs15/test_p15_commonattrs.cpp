#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "support/vtest.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15CommonAuthObjectAttributes, MembersAndOrder) {
    ASNPkcs15CommonAuthObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 00"), 2);
    EXPECT_EQ(a.wasAuthId + a.wasAuthReference + a.wasSeIdentifier, 0);
    EXPECT_EQ(Decode(a, "30 03 04 01 01"), 5);
    EXPECT_EQ(a.wasAuthId, 1);
    EXPECT_EQ(Decode(a, "30 06 02 01 03 80 01 05"), 8);
    EXPECT_EQ(a.authReference.getLong(), 3);
    EXPECT_EQ(a.seIdentifier.getLong(), 5);
    EXPECT_EQ(Enc(a), "30 06 02 01 03 80 01 05");
    EXPECT_EQ(Decode(a, "30 06 80 01 05 02 01 03"), 0);
    uint8_t x = 0x11;
    ASNPkcs15CommonAuthObjectAttributes b(0x30);
    EXPECT_EQ(b.set(&x, 1, -1, -1), 1);
    EXPECT_EQ(Enc(b), "30 03 04 01 11");
}

TEST(Pkcs15CommonCertificateAttributes, MembersFormsAndOrder) {
    ASNPkcs15CommonCertificateAttributes c(0x30);
    EXPECT_EQ(Decode(c, "30 03 04 01 07"), 5);
    EXPECT_EQ(c.wasAuthority + c.wasIdentifier + c.wasCertHash + c.wasTrustedUsage + c.wasIdentifiers + c.wasImplicitTrust, 0);
    // authority after identifier
    EXPECT_EQ(Decode(c, "30 0F 04 01 07 30 07 02 01 04 04 02 01 02 01 01 FF"), 0);
    const char* hash = "30 15 04 01 07 A0 10 30 0E 30 09 06 05 2B 0E 03 02 1A 05 00 04 01 AB";
    EXPECT_EQ(Decode(c, hash), 23);
    EXPECT_EQ(c.wasCertHash, 1);
    EXPECT_EQ(Enc(c), N(hash));
    for (const char* d : {"30 06 04 01 07 83 01 FF", "30 08 04 01 07 A3 03 01 01 FF"}) {
        EXPECT_EQ(Decode(c, d), static_cast<long>(H(d).size())) << d;
        EXPECT_EQ(c.wasImplicitTrust, 1);
        EXPECT_TRUE(c.implicitTrust.isTrue());
        EXPECT_EQ(Enc(c), N(d));
    }
    const char* full = "30 27 04 01 07 01 01 FF 30 07 02 01 04 04 02 01 02 A0 02 30 00 A1 04 03 02 07 80 "
                       "A2 09 30 07 02 01 04 04 02 01 02 83 01 FF";
    EXPECT_EQ(Decode(c, full), 41);
    EXPECT_EQ(c.wasAuthority + c.wasIdentifier + c.wasCertHash + c.wasTrustedUsage + c.wasIdentifiers + c.wasImplicitTrust, 6);
    EXPECT_EQ(Enc(c), N(full));
    ASNPkcs15CommonCertificateAttributes d(0x30);
    d = c;
    EXPECT_TRUE(d == c);
    EXPECT_EQ(Enc(d), N(full));
    EXPECT_EQ(Decode(c, "30 2A 04 01 07 01 01 FF 30 07 02 01 04 04 02 01 02 A0 02 30 00 A1 04 03 02 07 80 "
                        "A2 09 30 07 02 01 04 04 02 01 02 83 01 FF 05 01 00"), 0);
}

TEST(Pkcs15CommonDataObjectAttributes, EmptyContentsRule) {
    ASNPkcs15CommonDataObjectAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 00"), 0);
    EXPECT_EQ(Decode(a, "30 03 04 01 01"), 0);
    a.bAllowEmptyContents = true;
    EXPECT_EQ(Decode(a, "30 00"), 2);
    EXPECT_EQ(Decode(a, "30 03 04 01 01"), 5);
    a.bAllowEmptyContents = false;
    EXPECT_EQ(Decode(a, "30 05 06 03 2A 03 04"), 7);
    EXPECT_EQ(Decode(a, "30 0A 06 03 2A 03 04 0C 03 41 42 43"), 0);
    const char* all = "30 0D 0C 03 41 42 43 06 03 2A 03 04 04 01 09";
    EXPECT_EQ(Decode(a, all), 15);
    EXPECT_EQ(Enc(a), N(all));
    ASNPkcs15CommonDataObjectAttributes empty(0x30);
    std::vector<uint8_t> out;
    EXPECT_THROW(empty.encodeToVector(out), VtestException);
}

TEST(Pkcs15AlgorithmInfo, DecodeAndNumbers) {
    ASNPkcs15AlgorithmInfo a(0x30);
    const char* base = "30 0C 02 01 01 02 01 05 05 00 03 02 07 80";
    EXPECT_EQ(Decode(a, base), 14);
    EXPECT_EQ(a.reference.getLong(), 1);
    EXPECT_EQ(a.getAlgorithm(), 5);
    // 07 80 carries named bit 0 only.
    EXPECT_EQ(a.supportedOperations.getValue(), 0x01u);
    EXPECT_EQ(a.getAlgRef(), 0);
    const char* ext = "30 14 02 01 01 02 01 05 05 00 03 02 07 80 06 03 2A 03 04 02 01 02";
    EXPECT_EQ(Decode(a, ext), 22);
    EXPECT_EQ(a.wasAlgId, 1);
    EXPECT_EQ(a.getAlgRef(), 2);
    EXPECT_EQ(Enc(a), N(ext));
    EXPECT_EQ(Decode(a, "30 14 02 01 01 02 01 05 05 00 03 02 07 80 02 01 02 06 03 2A 03 04"), 0);
    EXPECT_EQ(Decode(a, "30 10 02 01 01 02 05 01 00 00 00 00 05 00 03 02 07 80"), 18);
    EXPECT_EQ(a.getAlgorithm(), -2);
    // The reference is read without sign: 02 01 80 is 128.
    EXPECT_EQ(Decode(a, "30 0F 02 01 01 02 01 05 05 00 03 02 07 80 02 01 80"), 17);
    EXPECT_EQ(a.getAlgRef(), 128);
    EXPECT_EQ(Decode(a, "30 10 02 01 01 02 01 05 05 00 03 02 07 80 02 02 00 80"), 18);
    EXPECT_EQ(a.getAlgRef(), 128);
}

TEST(Pkcs15AlgorithmInfo, Setters) {
    ASNPkcs15AlgorithmInfo a(0x30);
    EXPECT_EQ(a.set(1, 3, 0x22, "1.2.840.113549.1.1.1", 4), 1);
    EXPECT_EQ(Enc(a), N("30 1A 02 01 01 02 01 03 05 00 03 02 02 44 06 09 2A 86 48 86 F7 0D 01 01 01 02 01 04"));
    EXPECT_EQ(a.set(1, 3, 0x22, "not an oid", 4), 0);
    ASNPkcs15AlgorithmInfo u(0x30);
    EXPECT_EQ(u.setUnknownAlgorithm(7, -1), 1);
    // Generate-key is named bit 7: the last bit of the first octet.
    EXPECT_EQ(Enc(u), N("30 0C 02 01 07 02 01 FF 05 00 03 02 00 01"));
    EXPECT_EQ(u.supportedOperations.getValue(), 0x80u);
}
