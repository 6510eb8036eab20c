#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15SecretKeyAttributes, GenericValueForms) {
    ASNPkcs15GenericSecretKeyAttributes g(0x30);
    EXPECT_EQ(Decode(g, "30 04 30 02 04 00"), 6);
    EXPECT_EQ(g.value.getChosenIndex(), 0);
    EXPECT_EQ(Decode(g, "30 05 80 03 01 02 03"), 7);
    EXPECT_EQ(g.value.getChosenIndex(), 1);
    EXPECT_EQ(g.value.direct.getLength(), 3);
    EXPECT_EQ(Enc(g), "30 05 80 03 01 02 03");
    EXPECT_EQ(Decode(g, "30 07 80 03 01 02 03 05 00"), 0);
    ASNPkcs15GenericKeyAttributes k(0x30);
    const char* gk = "30 0D 06 09 60 86 48 01 65 03 04 01 02 30 00";
    EXPECT_EQ(Decode(k, "30 0F 06 09 60 86 48 01 65 03 04 01 02 30 02 04 00"), 17);
    EXPECT_EQ(Decode(k, gk), 0);  // a path needs its OCTET STRING
}

namespace {
// common object attributes, common key attributes, [0] secret-key attributes (keyLen 128)
// and [1] generic secret-key attributes with a path.
const char* kGenericBody = "30 00 30 06 04 01 05 03 01 00 A0 06 30 04 02 02 00 80 A1 06 30 04 30 02 04 00";
}  // namespace

TEST(Pkcs15SecretKeyType, GenericAndTaggedAlternatives) {
    ASNPkcs15SecretKeyType s(0x30);
    std::string rec = std::string("30 1A ") + kGenericBody;
    EXPECT_EQ(Decode(s, rec), 28);
    EXPECT_EQ(s.selector, 0u);
    EXPECT_EQ(s.getKeyAlgorithm(), 0);
    EXPECT_EQ(s.getKeyBits(), 128);
    EXPECT_EQ(Enc(s), N(rec));
    // [2] is the algorithm index 3 (DES): 64 bits without keyLen and with a path.
    std::string des = "A2 16 30 00 30 06 04 01 05 03 01 00 A0 02 30 00 A1 06 30 04 30 02 04 00";
    EXPECT_EQ(Decode(s, des), 24);
    EXPECT_EQ(s.getKeyAlgorithm(), 3);
    EXPECT_EQ(s.getKeyBits(), 64);
    EXPECT_EQ(Enc(s), N(des));
    std::string a7 = "A7 12 30 00 30 06 04 01 05 03 01 00 A1 06 30 04 30 02 04 00";
    EXPECT_EQ(Decode(s, a7), 20);
    EXPECT_EQ(s.getKeyAlgorithm(), 8);
    EXPECT_EQ(s.getKeyBits(), 0);  // no sub-class attributes
    EXPECT_EQ(Enc(s), N(a7));
    EXPECT_EQ(Decode(s, "04 02 00 00"), 0);
    EXPECT_EQ(Decode(s, "80 02 00 00"), 0);
}

TEST(Pkcs15SecretKeyType, OtherKeyAndGenericKeyUnder14) {
    ASNPkcs15SecretKeyType s(0x30);
    // otherKey: AES key type then a whole secret-key object.
    std::string other = "AE 1D 06 09 60 86 48 01 65 03 04 01 02 30 10 30 00 30 06 04 01 05 03 01 00 A1 04 30 02 80 00";
    EXPECT_EQ(Decode(s, other), 31);
    EXPECT_EQ(s.selector, 1u);
    EXPECT_EQ(s.getKeyAlgorithm(), 15);
    EXPECT_EQ(Enc(s), N(other));
    // A generic-key structure under [14].
    std::string generic = "AE 1D 30 00 30 06 04 01 05 03 01 00 A1 11 30 0F 06 09 60 86 48 01 65 03 04 01 02 30 02 04 00";
    EXPECT_EQ(Decode(s, generic), 31);
    EXPECT_EQ(s.selector, 2u);
    EXPECT_EQ(s.getKeyAlgorithm(), 15);
}

TEST(Pkcs15SecretKeyType, Setters) {
    ASNPkcs15SecretKeyType s(0x30);
    EXPECT_EQ(s.setPathValue(15, 0, nullptr), 0);
    EXPECT_EQ(s.setPathValue(2, 1, nullptr), 0);
    EXPECT_EQ(s.setPathValue(15, -1, nullptr), 1);
    EXPECT_EQ(s.selector, 1u);
    EXPECT_EQ(s.getKeyAlgorithm(), 15);
    uint8_t key[16] = {1};
    ASNPkcs15SecretKeyType d(0x30);
    EXPECT_EQ(d.setDirectValue(4, 0, key, 16), 1);
    EXPECT_EQ(d.selector, 0u);
    EXPECT_EQ(d.getKeyAlgorithm(), 4);
    d.genericSecretKey.wasSubClassAttributes = 1;
    EXPECT_EQ(d.getKeyBits(), 128);
    std::vector<uint8_t> out;
    ASSERT_GT(d.encodeToVector(out), 0);
    ASNPkcs15SecretKeyType back(0x30);
    EXPECT_EQ(back.readVector(out), static_cast<long>(out.size()));
    EXPECT_EQ(back.getKeyAlgorithm(), 4);
    ASNPkcs15SecretKeyType copy(0x30);
    copy = d;
    EXPECT_EQ(Enc(copy), Enc(d));
    EXPECT_EQ(ASNPkcs15SecretKeyType::algorithmFromOid("2.16.840.1.101.3.4.1.42"), 15);
    EXPECT_EQ(ASNPkcs15SecretKeyType::algorithmFromOid("1.2.840.113549.3.7"), 5);
    EXPECT_EQ(ASNPkcs15SecretKeyType::algorithmFromOid("1.2.3"), -1);
}

TEST(Pkcs15CertificateAttributes, ValueSubjectIssuerSerial) {
    ASNPkcs15X509CertificateAttributes c(0x30);
    EXPECT_EQ(Decode(c, "30 08 30 06 04 04 3F 00 43 01"), 10);
    EXPECT_EQ(c.value.getChosenIndex(), 0);
    const char* name = "30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74";
    std::string expl = std::string("30 2F 30 06 04 04 3F 00 43 01 ") + name + " A0 11 " + name + " 02 01 07";
    EXPECT_EQ(Decode(c, expl), 49);
    EXPECT_EQ(c.wasSubject + c.wasIssuer + c.wasSerialNumber, 3);
    EXPECT_TRUE(c.issuerIsExplicit());
    EXPECT_EQ(c.issuer.toString(0), "CN=Test");
    EXPECT_EQ(Enc(c), N(expl));
    ASNPkcs15X509CertificateAttributes copy(0x30);
    copy = c;
    EXPECT_TRUE(copy == c);
    EXPECT_EQ(Enc(copy), N(expl));
    std::string impl = "30 19 30 06 04 04 3F 00 43 01 A0 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74";
    EXPECT_EQ(Decode(c, impl), 27);
    EXPECT_FALSE(c.issuerIsExplicit());
    EXPECT_EQ(Enc(c), N(impl));
    std::string late = std::string("30 2F 30 06 04 04 3F 00 43 01 A0 11 ") + name + " " + name + " 02 01 07";
    EXPECT_EQ(Decode(c, late), 0);
    // The certificate itself as the direct value ([0] implicit SEQUENCE).
    EXPECT_EQ(Decode(c, "30 06 A0 04 02 02 01 02"), 8);
    EXPECT_EQ(c.value.getChosenIndex(), 1);
    EXPECT_EQ(Enc(c), "30 06 A0 04 02 02 01 02");
}
