#include <gtest/gtest.h>

#include <cstdio>

#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15keyidentifier.h"
#include "lib/libpkcs15/asnpkcs15usage.h"
#include "support/vtest.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

// Usage --------------------------------------------------------------------

TEST(Pkcs15Usage, EmptyAndOrder) {
    ASNPkcs15Usage u(0x30);
    EXPECT_EQ(Decode(u, "30 00"), 2);
    EXPECT_EQ(u.wasKeyUsage + u.wasExtKeyUsage, 0);
    EXPECT_EQ(Enc(u), "30 00");
    const char* both = "30 0B 03 02 05 A0 30 05 06 03 2A 03 04";
    EXPECT_EQ(Decode(u, both), 13);
    EXPECT_EQ(u.extKeyUsage.GetCount(), 1);
    EXPECT_EQ(Enc(u), N(both));
    EXPECT_EQ(Decode(u, "30 0B 30 05 06 03 2A 03 04 03 02 05 A0"), 0);
    EXPECT_EQ(Decode(u, "30 03 02 01 00"), 0);
    EXPECT_EQ(Decode(u, "30 08 03 02 05 A0 03 02 05 A0"), 0);
}

TEST(Pkcs15Usage, EqualityNeedsSameMembers) {
    ASNPkcs15Usage a(0x30), b(0x30);
    ASSERT_EQ(Decode(a, "30 0B 03 02 05 A0 30 05 06 03 2A 03 04"), 13);
    ASSERT_EQ(Decode(b, "30 04 03 02 05 A0"), 6);
    EXPECT_FALSE(a == b);
    b = a;
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Enc(b), Enc(a));
}

// Key identifiers -----------------------------------------------------------

TEST(Pkcs15KeyIdentifier, HashValueIsOctetString) {
    ASNPkcs15KeyIdentifier k(0x30);
    std::string der = "30 19 02 01 04 04 14 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13";
    EXPECT_EQ(Decode(k, der), 27);
    EXPECT_EQ(k.getIdType(), 4u);
    ASSERT_NE(dynamic_cast<ASNoctstr*>(k.idValue), nullptr);
    EXPECT_EQ(dynamic_cast<ASNany*>(k.idValue), nullptr);
    EXPECT_EQ(Enc(k), N(der));
}

TEST(Pkcs15KeyIdentifier, OtherTypesKeepRawValue) {
    ASNPkcs15KeyIdentifier k(0x30);
    const char* isn = "30 0D 02 01 01 30 08 30 03 02 01 01 02 01 07";
    EXPECT_EQ(Decode(k, isn), 15);
    EXPECT_NE(dynamic_cast<ASNany*>(k.idValue), nullptr);
    EXPECT_EQ(Enc(k), N(isn));
    EXPECT_EQ(Decode(k, "30 07 02 02 27 0F 01 01 FF"), 9);  // type 9999 with a BOOLEAN
    EXPECT_NE(dynamic_cast<ASNany*>(k.idValue), nullptr);
    EXPECT_EQ(Decode(k, "30 08 02 02 27 0F 02 02 01 00"), 10);
    EXPECT_NE(dynamic_cast<ASNinteger*>(k.idValue), nullptr);
    EXPECT_EQ(Decode(k, "30 06 02 01 02 02 01 05"), 0);  // a hash must be an OCTET STRING
    EXPECT_EQ(Decode(k, "30 09 02 01 04 04 01 AA 04 01 BB"), 0);
    EXPECT_EQ(Decode(k, "30 06 02 01 04 04 05 AA"), 0);
}

TEST(Pkcs15KeyIdentifiers, AddFindRemove) {
    ASNPkcs15KeyIdentifiers l(0x30);
    uint8_t h[20] = {1, 2, 3};
    EXPECT_EQ(l.add(2, h, 20), 1);
    EXPECT_EQ(l.add(4, h, 20), 1);
    EXPECT_EQ(l.add(2, h, 3), 1);
    ASNPkcs15KeyIdentifier* f = l.find(2);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(static_cast<ASNoctstr*>(f->idValue)->getLength(), 20);
    POSITION c = nullptr;
    int seen = 0;
    while (l.findNext(2, c) != nullptr) seen++;
    EXPECT_EQ(seen, 2);
    uint8_t notTlv[3] = {0x04, 0x05, 0x00};
    EXPECT_EQ(l.add(1, notTlv, 3), 0);
    EXPECT_EQ(l.GetCount(), 3);
    EXPECT_EQ(l.remove(2), 1);
    EXPECT_EQ(l.remove(2), 0);
    EXPECT_EQ(l.GetCount(), 1);
    EXPECT_EQ(l.find(2), nullptr);
    EXPECT_NE(l.getValueObject(4), nullptr);
}

TEST(Pkcs15KeyIdentifiers, EqualityIsOrdered) {
    ASNPkcs15KeyIdentifiers a(0x30), b(0x30);
    uint8_t x[2] = {1, 2}, y[2] = {3, 4};
    a.add(2, x, 2);
    a.add(3, y, 2);
    b.add(3, y, 2);
    b.add(2, x, 2);
    EXPECT_FALSE(a == b);
    ASNPkcs15KeyIdentifiers c(0x30);
    c = a;
    EXPECT_TRUE(a == c);
    EXPECT_EQ(Enc(c), Enc(a));
}

TEST(Pkcs15Operations, WordEncodings) {
    ASNPkcs15Operations o(0x03, 0);
    EXPECT_EQ(Enc(o), "03 01 00");
    o = 0x22u;
    EXPECT_EQ(Enc(o), "03 02 02 44");
    EXPECT_EQ((o | 1u), 0x23u);
    o |= 0x80u;
    EXPECT_TRUE(o == 0xA2u);
}

// Common key attributes -----------------------------------------------------

TEST(Pkcs15CommonKeyAttributes, MandatoryMembers) {
    ASNPkcs15CommonKeyAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 06 04 01 45 03 01 00"), 8);
    EXPECT_EQ(a.wasNative + a.wasAccessFlags + a.wasKeyReference + a.wasStartDate + a.wasEndDate + a.wasAlgReference, 0);
    EXPECT_EQ(Enc(a), "30 06 04 01 45 03 01 00");
    EXPECT_EQ(Decode(a, "30 03 04 01 45"), 5);
}

TEST(Pkcs15CommonKeyAttributes, AllOptionalMembers) {
    ASNPkcs15CommonKeyAttributes a(0x30);
    std::string der =
        "30 38 04 01 45 03 02 05 20 01 01 00 03 02 03 B8 02 01 02 "
        "18 0F 32 30 32 34 30 31 30 31 31 32 30 30 30 30 5A "
        "80 0F 32 30 33 34 30 31 30 31 31 32 30 30 30 30 5A A1 03 02 01 05";
    EXPECT_EQ(Decode(a, der), 58);
    EXPECT_EQ(a.isNative(), 0);
    EXPECT_EQ(a.getKeyReference(), 2);
    EXPECT_EQ(a.accessFlags.getFlags(), 0x1Du);
    EXPECT_EQ(a.algReference.GetCount(), 1);
    EXPECT_EQ(Enc(a), N(der));
    ASNPkcs15CommonKeyAttributes b(0x30);
    b = a;
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Enc(b), N(der));
    // A seventh element is too many.
    std::string seven = "30 3A" + der.substr(5) + " 05 00";
    EXPECT_EQ(Decode(a, seven), 0);
}

TEST(Pkcs15CommonKeyAttributes, OrderRules) {
    ASNPkcs15CommonKeyAttributes a(0x30);
    EXPECT_EQ(Decode(a, "30 0C 04 01 45 03 01 00 02 01 01 01 01 00"), 0);
    EXPECT_EQ(Decode(a, "30 0D 04 01 45 03 01 00 A1 03 02 01 05 01 01 00"), 0);
    EXPECT_EQ(Decode(a, "30 0E 04 01 45 03 01 00 03 02 03 B8 03 02 03 B8"), 16);
    EXPECT_EQ(Decode(a, "30 0E 04 01 45 03 01 00 03 02 03 B8 03 02 03 A8"), 0);
}

TEST(Pkcs15CommonKeyAttributes, DateAndReferenceForms) {
    ASNPkcs15CommonKeyAttributes a(0x30);
    std::string utc = "30 15 04 01 45 03 01 00 17 0D 32 34 30 31 30 31 31 32 30 30 30 30 5A";
    EXPECT_EQ(Decode(a, utc), 23);
    EXPECT_EQ(a.wasStartDate, 1);
    EXPECT_EQ(Enc(a), N(utc));
    std::string gen = "32 30 33 34 30 31 30 31 31 32 30 30 30 30 5A";
    std::string impl = "30 17 04 01 45 03 01 00 80 0F " + gen;
    std::string expl = "30 19 04 01 45 03 01 00 A0 11 18 0F " + gen;
    std::string explUtc = "30 17 04 01 45 03 01 00 A0 0F 17 0D 33 34 30 31 30 31 31 32 30 30 30 30 5A";
    for (const std::string& d : {impl, expl, explUtc}) {
        EXPECT_EQ(Decode(a, d), static_cast<long>(H(d).size())) << d;
        EXPECT_EQ(a.wasEndDate, 1);
        EXPECT_EQ(Enc(a), N(d));
    }
    std::string algImpl = "30 0B 04 01 45 03 01 00 A1 03 02 01 05";
    std::string algExpl = "30 0D 04 01 45 03 01 00 A1 05 30 03 02 01 05";
    for (const std::string& d : {algImpl, algExpl}) {
        EXPECT_EQ(Decode(a, d), static_cast<long>(H(d).size()));
        ASSERT_EQ(a.algReference.GetCount(), 1);
        EXPECT_EQ(a.algReference.getAt(0)->getLong(), 5);
        EXPECT_EQ(Enc(a), N(d));
    }
}

TEST(Pkcs15CommonKeyAttributes, KeyReferenceAndNative) {
    ASNPkcs15CommonKeyAttributes a(0x30);
    EXPECT_EQ(a.getKeyReference(), -1);
    EXPECT_EQ(a.isNative(), 1);
    struct {
        const char* ref;
        int want;
    } cases[] = {{"02 01 00", 0}, {"02 01 FF", 255}, {"02 04 7F FF FF FE", 2147483646},
                 {"02 04 7F FF FF FF", -1}, {"02 09 01 00 00 00 00 00 00 00 00", -1}};
    for (auto& c : cases) {
        std::string body = std::string("04 01 45 03 01 00 ") + c.ref;
        char lenHex[8];
        snprintf(lenHex, sizeof lenHex, "%02X ", static_cast<unsigned>(H(body).size()));
        std::string der = std::string("30 ") + lenHex + body;
        ASSERT_EQ(Decode(a, der), static_cast<long>(H(der).size())) << c.ref;
        EXPECT_EQ(a.getKeyReference(), c.want) << c.ref;
    }
    ASSERT_EQ(Decode(a, "30 09 04 01 45 03 01 00 01 01 01"), 11);
    EXPECT_EQ(a.isNative(), 1);
    a.setKeyReference(-1);
    EXPECT_EQ(a.getKeyReference(), -1);
    a.setKeyReference(7);
    EXPECT_EQ(a.getKeyReference(), 7);
}

TEST(Pkcs15CommonKeyAttributes, SubclassAttributes) {
    ASNPkcs15CommonPrivateKeyAttributes p(0x30);
    const char* withIds = "30 1D 30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74 A0 0A 30 08 02 01 02 04 03 01 02 03";
    EXPECT_EQ(Decode(p, withIds), 31);
    EXPECT_EQ(p.wasSubjectName, 1);
    EXPECT_EQ(p.wasKeyIdentifiers, 1);
    EXPECT_EQ(p.keyIdentifiers.GetCount(), 1);
    EXPECT_EQ(Enc(p), N(withIds));
    EXPECT_EQ(Decode(p, "30 0E A0 0A 30 08 02 01 02 04 03 01 02 03 30 00"), 0);
    ASNPkcs15CommonPublicKeyAttributes q(0x30);
    const char* pub = "30 08 30 00 A0 04 03 02 05 A0";
    EXPECT_EQ(Decode(q, pub), 10);
    EXPECT_EQ(q.wasTrustedUsage, 1);
    EXPECT_EQ(Enc(q), N(pub));
    const char* pubExpl = "30 0A 30 00 A0 06 30 04 03 02 05 A0";
    EXPECT_EQ(Decode(q, pubExpl), 12);
    EXPECT_EQ(Enc(q), N(pubExpl));
    ASNPkcs15CommonSecretKeyAttributes s(0x30);
    EXPECT_EQ(Decode(s, "30 04 02 02 04 00"), 6);
    EXPECT_EQ(s.keyLen.getLong(), 1024);
    EXPECT_EQ(Decode(s, "30 00"), 2);
    EXPECT_EQ(s.wasKeyLen, 0);
    EXPECT_EQ(Decode(s, "30 06 02 02 04 00 05 00"), 0);
}

TEST(Pkcs15CommonKeyAttributes, SubjectThatIsNotAName) {
    // A SEQUENCE holding an INTEGER instead of RDN sets.
    const char* bad = "30 05 30 03 02 01 05";
    ASNPkcs15CommonPrivateKeyAttributes p(0x30);
    EXPECT_EQ(Decode(p, bad), 7);
    EXPECT_EQ(p.wasSubjectName, 0);
    EXPECT_EQ(p.wasRawSubjectName, 1);
    EXPECT_EQ(Enc(p), N(bad));
    ASNPkcs15CommonPublicKeyAttributes q(0x30);
    EXPECT_LT(Decode(q, bad), 1);
    // A real name is decoded and compared as a name.
    const char* good = "30 11 30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74";
    EXPECT_EQ(Decode(p, good), 19);
    EXPECT_EQ(p.wasSubjectName, 1);
    EXPECT_EQ(p.subjectName.toString(0), "CN=Test");
    ASNPkcs15CommonPrivateKeyAttributes c(0x30);
    c = p;
    EXPECT_TRUE(c == p);
}
