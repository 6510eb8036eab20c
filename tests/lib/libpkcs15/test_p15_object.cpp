#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

// A PIN record as cards carry it: label, authId, [1] PinAttributes.
static const char* kPin =
    "30 2F 30 0A 0C 08 55 73 65 72 20 50 49 4E 30 03 04 01 01 "
    "A1 1C 30 1A 03 02 02 CC 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 81 04 01 FF 30 02 04 00";

TEST(Pkcs15Object, PinRecordRoundTrips) {
    ASNPkcs15AuthObject o(0x30);
    EXPECT_EQ(Decode(o, kPin), 49);
    EXPECT_EQ(o.wasSubClassAttributes, 0);
    EXPECT_TRUE(o.commonObjectAttributes.label.isEqual("User PIN"));
    EXPECT_EQ(o.classAttributes.wasAuthId, 1);
    EXPECT_EQ(o.typeAttributes.pinReference.getLong(), 0x81);
    EXPECT_EQ(o.typeAttributes.wasPath, 1);
    EXPECT_EQ(Enc(o), N(kPin));
    ASNPkcs15AuthObject c(0x30);
    c = o;
    EXPECT_TRUE(c == o);
    EXPECT_EQ(Enc(c), N(kPin));
}

TEST(Pkcs15Object, ImplicitTypeAttributesKeepTheirForm) {
    ASNPkcs15AuthObject o(0x30);
    const char* impl =
        "30 2D 30 0A 0C 08 55 73 65 72 20 50 49 4E 30 03 04 01 01 "
        "A1 1A 03 02 02 CC 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 81 04 01 FF 30 02 04 00";
    EXPECT_EQ(Decode(o, impl), 47);
    EXPECT_EQ(o.typeAttributes.pinReference.getLong(), 0x81);
    EXPECT_EQ(Enc(o), N(impl));
    // After clear the record is written in the explicit form again.
    std::vector<uint8_t> b = H(impl);
    ASNPkcs15AuthObject p(0x30);
    ASSERT_EQ(p.readVector(b), 47);
    ASNPkcs15PinAttributes saved(0x30);
    saved = p.typeAttributes;
    ASNPkcs15CommonObjectAttributes coa(0x30);
    coa = p.commonObjectAttributes;
    ASNPkcs15CommonAuthObjectAttributes ca(0x30);
    ca = p.classAttributes;
    p.clear();
    p.commonObjectAttributes = coa;
    p.classAttributes = ca;
    p.typeAttributes = saved;
    EXPECT_EQ(Enc(p), N(kPin));
}

TEST(Pkcs15Object, SubclassAndOrder) {
    ASNPkcs15AuthObject o(0x30);
    const char* common = "30 00 30 00 ";
    const char* pin = "A1 0F 30 0D 03 02 02 CC 0A 01 01 02 01 04 02 01 08";
    EXPECT_EQ(Decode(o, std::string("30 19 ") + common + "A0 02 05 00 " + pin), 27);
    EXPECT_EQ(o.wasSubClassAttributes, 1);
    EXPECT_EQ(Enc(o), N(std::string("30 19 ") + common + "A0 02 05 00 " + pin));
    EXPECT_EQ(Decode(o, std::string("30 17 ") + common + "80 00 " + pin), 25);
    EXPECT_EQ(o.wasSubClassAttributes, 1);
    EXPECT_EQ(Decode(o, std::string("30 19 ") + common + pin + " A0 02 05 00"), 0);
    EXPECT_EQ(Decode(o, std::string("30 19 ") + common + "A0 02 04 00 " + pin), 0);  // not a NULL
    EXPECT_EQ(Decode(o, "30 04 30 00 30 00"), 0);
    EXPECT_EQ(Decode(o, std::string("30 28 ") + common + pin + " " + pin), 0);
    EXPECT_EQ(Decode(o, std::string("30 1B ") + common + "A0 02 05 00 A0 02 05 00 " + pin), 0);
    EXPECT_EQ(Decode(o, std::string("30 19 ") + common + "A2 02 05 00 " + pin), 0);
}

TEST(Pkcs15Object, AddNewAppendsOwnedObject) {
    ASNPkcs15AuthObjectList list(8, true);
    ASNPkcs15AuthObject* a = AddNew(list);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(list.GetCount(), 1);
    EXPECT_EQ(a->tag, 0x30);
    uint8_t id = 1;
    a->commonObjectAttributes.set("PIN", 1, &id, 1, 0);
    a->classAttributes.set(&id, 1, -1, -1);
    uint16_t w[2] = {0x3F00, 0x5015};
    a->typeAttributes.set(0x32, 1, w, 2, 4, 8, 8, 0x81, 0xFF);
    std::vector<uint8_t> out;
    long n = a->encodeToVector(out);
    ASSERT_GT(n, 0);
    ASNPkcs15AuthObject back(0x30);
    EXPECT_EQ(back.readVector(out), n);
    EXPECT_TRUE(back == *a);
}
