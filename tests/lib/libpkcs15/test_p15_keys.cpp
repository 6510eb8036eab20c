#include <gtest/gtest.h>

#include <map>

#include "lib/libpkcs15/asnpkcs15keyattributes.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15KeyAttributes, RsaPathValueAndKeyInfo) {
    ASNPkcs15PrivateRSAKeyAttributes a(0x30);
    const char* base = "30 0C 30 06 04 04 3F 00 4B 01 02 02 08 00";
    EXPECT_EQ(Decode(a, base), 14);
    EXPECT_EQ(a.value.getChosenIndex(), 0);
    EXPECT_EQ(a.modulusLength.getLong(), 2048);
    EXPECT_EQ(a.wasKeyInfo, 0);
    EXPECT_EQ(Enc(a), N(base));
    EXPECT_EQ(Decode(a, "30 0E 30 06 04 04 3F 00 4B 01 02 02 08 00 A0 00"), 0);
    EXPECT_EQ(Decode(a, "30 11 30 06 04 04 3F 00 4B 01 02 02 08 00 02 01 05 05 00"), 0);
    const char* ref = "30 0F 30 06 04 04 3F 00 4B 01 02 02 08 00 02 01 05";
    EXPECT_EQ(Decode(a, ref), 17);
    EXPECT_EQ(a.wasKeyInfo, 1);
    EXPECT_EQ(a.keyInfo.getChosenIndex(), 0);
    EXPECT_EQ(Enc(a), N(ref));
    const char* pao = "30 14 30 06 04 04 3F 00 4B 01 02 02 08 00 30 06 05 00 03 02 06 40";
    EXPECT_EQ(Decode(a, pao), 22);
    EXPECT_EQ(a.keyInfo.getChosenIndex(), 1);
    EXPECT_EQ(a.keyInfo.paramsAndOps.wasSupportedOperations, 1);
    EXPECT_EQ(Enc(a), N(pao));
    const char* noOps = "30 10 30 06 04 04 3F 00 4B 01 02 02 08 00 30 02 05 00";
    EXPECT_EQ(Decode(a, noOps), 18);
    EXPECT_EQ(a.keyInfo.paramsAndOps.wasSupportedOperations, 0);
    ASNPkcs15PrivateRSAKeyAttributes b(0x30);
    b = a;
    EXPECT_TRUE(a == b);
}

TEST(Pkcs15KeyAttributes, DirectValues) {
    ASNPkcs15PrivateRSAKeyAttributes a(0x30);
    const char* direct = "30 0E A0 08 80 01 0F 81 01 03 00 00 02 02 08 00";
    // The octets after the RSA components are not part of a valid record.
    EXPECT_EQ(Decode(a, direct), 0);
    const char* ok = "30 0C A0 06 80 01 0F 81 01 03 02 02 08 00";
    EXPECT_EQ(Decode(a, ok), 14);
    EXPECT_EQ(a.value.getChosenIndex(), 1);
    EXPECT_EQ(a.value.direct.present[0], 1);
    EXPECT_EQ(Enc(a), N(ok));
    ASNPkcs15PrivateECKeyAttributes e(0x30);
    EXPECT_EQ(Decode(e, "30 05 80 03 01 02 03"), 7);
    EXPECT_EQ(e.value.getChosenIndex(), 1);
    EXPECT_EQ(Enc(e), "30 05 80 03 01 02 03");
    // An enveloped value is not supported.
    EXPECT_EQ(Decode(e, "30 04 A2 02 05 00"), EASN_UNSUPPORTED);
    EXPECT_EQ(Decode(e, "30 04 82 02 05 00"), EASN_UNSUPPORTED);
    ASNPkcs15ObjectValue<ASNinteger> v(0);
    EXPECT_EQ(Enc(v), "30 02 04 00");
    ASSERT_EQ(Decode(v, "80 01 05"), 3);
    v.clear();
    EXPECT_EQ(Enc(v), "30 02 04 00");
}

TEST(Pkcs15KeyAttributes, ConstantCopyAsserts) {
    ASNPkcs15PrivateRSAKeyAttributes a(0x30);
    std::vector<uint8_t> b = H("30 0C 30 06 04 04 3F 00 4B 01 02 02 08 00");
    ASSERT_EQ(a.readVector(b, ASN_FLAG_CONST | ASN_FLAG_COPY), 14);
    ASNPkcs15PrivateRSAKeyAttributes src(0x30);
    EXPECT_THROW(a = src, VtestException);
}

TEST(Pkcs15PrivateKeyType, FreshRecordIsRsaWithEmptyPath) {
    ASNPkcs15PrivateKeyType k(0x30);
    EXPECT_EQ(k.getChosenIndex(), 0u);
    EXPECT_EQ(k.getValueChoice(), 0u);
    ASSERT_NE(k.getValuePath(), nullptr);
    EXPECT_EQ(k.getValuePath()->getPath(nullptr, 0), 0);
    EXPECT_EQ(k.getKeySizeBits(), 0);
}

TEST(Pkcs15PrivateKeyType, DecodesIndependentRsaRecord) {
    std::map<std::string, std::string> v = testsupport::ReadNamedValues(testsupport::DataFile("pyasn1_vectors.txt"));
    ASSERT_FALSE(v["prkdf_rsa"].empty());
    ASNPkcs15PrivateKeyType k(0x30);
    EXPECT_EQ(Decode(k, v["prkdf_rsa"]), static_cast<long>(H(v["prkdf_rsa"]).size()));
    EXPECT_EQ(k.getChosenIndex(), 0u);
    EXPECT_EQ(k.getKeySizeBits(), 2048);
    EXPECT_EQ(k.getKeyReference(), 1);
    EXPECT_TRUE(k.getCommonObjectAttributes()->label.isEqual("Private key"));
    uint16_t w[3];
    ASSERT_NE(k.getValuePath(), nullptr);
    EXPECT_EQ(k.getValuePath()->getPath(w, 3), 3);
    EXPECT_EQ(w[2], 0x4B01);
    EXPECT_EQ(k.getSupportedOperations(), -1);
    EXPECT_EQ(Enc(k), N(v["prkdf_rsa"]));
    ASNPkcs15PrivateKeyType c(0x30);
    c = k;
    EXPECT_TRUE(c == k);
}

TEST(Pkcs15PrivateKeyType, DhRecordAndAccessors) {
    ASNPkcs15PrivateKeyType k(0x30);
    const char* dh = "A1 14 30 00 30 06 04 01 01 03 01 00 A1 08 30 06 30 04 04 02 3F 00";
    EXPECT_EQ(Decode(k, dh), 22);
    EXPECT_EQ(k.getChosenIndex(), 2u);
    EXPECT_EQ(k.findRSAKeyAttributes(), nullptr);
    EXPECT_EQ(k.findECKeyAttributes(), nullptr);
    EXPECT_EQ(k.findDSAKeyAttributes(), nullptr);
    EXPECT_EQ(k.dhKeyAttributes().value.getChosenIndex(), 0);
    EXPECT_EQ(Enc(k), N(dh));
}

TEST(Pkcs15PrivateKeyType, KeySizes) {
    ASNPkcs15PrivateKeyType rsa(0x30);
    std::string mod = "80 81 80 80";
    for (int i = 0; i < 127; i++) mod += " 11";
    std::string direct = "A0 81 83 " + mod;
    std::string rec = "30 81 99 30 00 30 06 04 01 01 03 01 00 A1 81 8C 30 81 89 " + direct + " 02 01 00";
    ASSERT_EQ(Decode(rsa, rec), static_cast<long>(H(rec).size()));
    EXPECT_EQ(rsa.getValueChoice(), 1u);
    EXPECT_EQ(rsa.getKeySizeBits(), 1024);

    ASNPkcs15PrivateKeyType kea(0x30);
    std::string val = "80 10 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10";
    std::string keaRec = "A3 20 30 00 30 06 04 01 01 03 01 00 A1 14 30 12 " + val;
    ASSERT_EQ(Decode(kea, keaRec), static_cast<long>(H(keaRec).size()));
    EXPECT_EQ(kea.getKeySizeBits(), 128);
    ASNPkcs15PrivateKeyType keaPath(0x30);
    ASSERT_EQ(keaPath.create(4, nullptr, 1), 1);
    EXPECT_EQ(keaPath.getKeySizeBits(), 0);

    // DSA parameters p (32 octets), g, q (20 octets): the size is that of q.
    std::string p = "02 20";
    for (int i = 0; i < 32; i++) p += " 7F";
    std::string q = "02 14";
    for (int i = 0; i < 20; i++) q += " 33";
    std::string params = "30 3C " + p + " 02 02 00 02 " + q;
    ASNany prm(TAG_ANY);
    ASSERT_GT(Decode(prm, params), 0);
    ASNPkcs15PrivateKeyType dsa(0x30);
    ASSERT_EQ(dsa.createIndirect(3, nullptr, &prm, -1), 1);
    EXPECT_EQ(dsa.getKeySizeBits(), 160);
    EXPECT_EQ(dsa.getSupportedOperations(), 0);
    EXPECT_EQ(dsa.hasKeyInfoParams(), 1);
    ASNPkcs15PrivateKeyType back(0x30);
    std::vector<uint8_t> out;
    ASSERT_GT(dsa.encodeToVector(out), 0);
    EXPECT_EQ(back.readVector(out), static_cast<long>(out.size()));
    EXPECT_EQ(back.getKeySizeBits(), 160);
}

TEST(Pkcs15PrivateKeyType, Builders) {
    ASNPkcs15PrivateKeyType k(0x30);
    EXPECT_EQ(k.create(0, nullptr, 5), 0);
    EXPECT_EQ(k.getChosenIndex(), 0u);
    EXPECT_EQ(k.create(3, nullptr, 5), 1);
    EXPECT_EQ(k.getChosenIndex(), 3u);
    EXPECT_EQ(k.getValuePath()->getPath(nullptr, 0), 0);
    EXPECT_EQ(k.getKeyInfoReference(), 5);
    EXPECT_EQ(k.getSupportedOperations(), -1);
    int marker = 0;
    k.setKeyObject(&marker);
    EXPECT_EQ(k.getKeyObject(), &marker);

    ASNPkcs15PrivateKeyType e(0x30);
    ASNany value(TAG_ANY);
    ASSERT_EQ(Decode(value, "02 03 01 02 03"), 5);
    EXPECT_EQ(e.createDirect(1, value, nullptr, -1), 1);
    EXPECT_EQ(e.getChosenIndex(), 1u);
    EXPECT_EQ(e.getValueChoice(), 1u);
    EXPECT_NE(e.getDirectECKey(), nullptr);
    EXPECT_EQ(e.ecKeyAttributes().wasKeyInfo, 0);
    EXPECT_EQ(e.getKeySizeBits(), 24);
}

TEST(Pkcs15KeyAttributes, RsaPublicKeyChoice) {
    const char* rsaKey = "30 08 02 03 00 C3 55 02 01 03";
    ASNPkcs15RSAPublicKeyChoice c(0);
    EXPECT_EQ(Decode(c, rsaKey), 10);
    EXPECT_EQ(c.getChosenIndex(), 0);
    ASSERT_NE(c.getRSAPublicKey(), nullptr);
    EXPECT_EQ(c.getRSAPublicKey()->getModulusBits(), 16u);
    std::string spki = std::string("A1 1C 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 0B 00 ") + rsaKey;
    EXPECT_EQ(Decode(c, spki), 30);
    EXPECT_EQ(c.getChosenIndex(), 1);
    ASSERT_NE(c.getRSAPublicKey(), nullptr);
    EXPECT_EQ(c.getRSAPublicKey()->getModulusBits(), 16u);
    EXPECT_EQ(Enc(c), N(spki));
    const char* other = "A1 0F 30 07 06 03 2A 03 04 05 00 03 04 00 02 01 05";
    EXPECT_EQ(Decode(c, other), 17);
    EXPECT_EQ(c.getRSAPublicKey(), nullptr);
    // As the direct value of the public-key attributes: [0] around the choice.
    ASNPkcs15PublicRSAKeyAttributes a(0x30);
    std::string attrs = std::string("30 0F A0 0A ") + rsaKey + " 02 01 10";
    EXPECT_EQ(Decode(a, attrs), 17);
    EXPECT_EQ(a.value.getChosenIndex(), 1);
    EXPECT_EQ(Enc(a), N(attrs));
}

TEST(Pkcs15KeyAttributes, KeyIdentifierWithWholeRsaKey) {
    ASNPkcs15KeyIdentifier k(0x30);
    EXPECT_EQ(Decode(k, "30 0E 02 02 27 0F 30 08 02 03 00 C3 55 02 01 03"), 16);
    EXPECT_NE(dynamic_cast<RSAPublicKey*>(k.idValue), nullptr);
    EXPECT_EQ(Enc(k), N("30 0E 02 02 27 0F 30 08 02 03 00 C3 55 02 01 03"));
    EXPECT_EQ(Decode(k, "30 09 02 02 27 0F 30 03 04 01 00"), 11);
    EXPECT_NE(dynamic_cast<ASNany*>(k.idValue), nullptr);
    EXPECT_EQ(Enc(k), N("30 09 02 02 27 0F 30 03 04 01 00"));
}

TEST(Pkcs15PrivateKeyType, EcKeySizeFromNamedCurve) {
    // keyInfo paramsAndOps with the named curve P-256 and sign operations.
    ASNPkcs15PrivateKeyType k(0x30);
    std::string rec = "A0 24 30 00 30 06 04 01 01 03 01 00 A1 18 30 16 30 04 04 02 4B 01 "
                      "30 0E 06 08 2A 86 48 CE 3D 03 01 07 03 02 06 40";
    EXPECT_EQ(Decode(k, rec), static_cast<long>(H(rec).size()));
    EXPECT_EQ(k.getChosenIndex(), 1u);
    ASSERT_NE(k.getECParameters(), nullptr);
    EXPECT_EQ(k.getKeySizeBits(), 256);
    EXPECT_EQ(k.getSupportedOperations(), 0x02);
    EXPECT_EQ(Enc(k), N(rec));
}

TEST(Pkcs15PrivateKeyType, OversizedModulusLengthGivesNoSize) {
    ASNPkcs15PrivateKeyType k(0x30);
    std::string rec = "30 21 30 00 30 06 04 01 01 03 01 00 A1 15 30 13 30 04 04 02 4B 01 "
                      "02 0B 01 00 00 00 00 00 00 00 00 00 00";
    ASSERT_EQ(Decode(k, rec), static_cast<long>(H(rec).size()));
    EXPECT_EQ(k.getKeySizeBits(), 0);
}
