#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

TEST(Pkcs15TokenInfo, VersionAndFlagsRules) {
    ASNPkcs15TokenInfo t(0x30);
    EXPECT_EQ(Decode(t, "30 03 02 01 01"), 0);
    EXPECT_EQ(Decode(t, "30 07 02 01 00 03 02 07 80"), 0);
    EXPECT_EQ(Decode(t, "30 07 02 01 01 03 02 07 80"), 9);
    EXPECT_TRUE(t.isReadOnly());
    EXPECT_EQ(Enc(t), "30 07 02 01 01 03 02 07 80");
    EXPECT_EQ(Decode(t, "30 0A 02 01 00 04 01 AA 03 02 07 80"), 12);
}

TEST(Pkcs15TokenInfo, LabelAndLastUpdateForms) {
    ASNPkcs15TokenInfo t(0x30);
    const char* impl = "30 0E 02 01 01 80 03 41 42 43 03 02 07 80 13 00";
    const char* expl = "30 10 02 01 01 A0 05 0C 03 41 42 43 03 02 07 80 13 00";
    for (const char* d : {impl, expl}) {
        EXPECT_EQ(Decode(t, d), static_cast<long>(H(d).size())) << d;
        EXPECT_EQ(t.wasLabel, 1);
        EXPECT_TRUE(t.label.isEqual("ABC"));
        EXPECT_EQ(Enc(t), N(d));
    }
    const char* time = "32 30 32 35 30 31 30 31 30 30 30 30 30 30 5A";
    std::string e = std::string("30 1A 02 01 01 03 02 07 80 A5 11 18 0F ") + time;
    std::string i = std::string("30 18 02 01 01 03 02 07 80 85 0F ") + time;
    for (const std::string& d : {e, i}) {
        EXPECT_EQ(Decode(t, d), static_cast<long>(H(d).size())) << d;
        EXPECT_EQ(t.wasLastUpdate, 1);
        EXPECT_EQ(t.lastUpdate.year, 2025);
        EXPECT_EQ(Enc(t), N(d));
    }
}

TEST(Pkcs15TokenInfo, SkippedElementsAndOrder) {
    ASNPkcs15TokenInfo t(0x30);
    // A primitive 0x10 is not seInfo: it is no member, and is written back as received.
    EXPECT_EQ(Decode(t, "30 09 02 01 01 03 02 07 80 10 00"), 11);
    EXPECT_EQ(t.wasSeInfo, 0);
    EXPECT_EQ(Enc(t), "30 09 02 01 01 03 02 07 80 10 00");
    EXPECT_EQ(Decode(t, "30 0C 02 01 01 03 02 07 80 80 01 41"), 0);  // tokenflags before label
    EXPECT_EQ(Decode(t, "30 0D 02 01 01 80 01 41 80 01 41 03 02 07 80"), 0);
    EXPECT_EQ(Decode(t, "30 0D 02 01 01 02 01 05 03 02 07 80 87 01 00"), 15);
    // Twelve elements after the version at most.
    std::string many = "30 2D 02 01 01 03 02 07 80";
    for (int k = 0; k < 12; k++) many += " 05 01 00";
    EXPECT_EQ(Decode(t, many), 0);
    const char* langCtx = "30 13 02 01 01 03 02 07 80 13 02 70 6C A6 06 02 01 01 02 01 02";
    EXPECT_EQ(Decode(t, langCtx), 21);
    EXPECT_EQ(t.wasPreferredLanguage, 1);
    EXPECT_EQ(t.wasContextList6, 1);
    EXPECT_EQ(t.contextList6.GetCount(), 2);
    EXPECT_EQ(t.wasLastUpdate, 0);
    EXPECT_EQ(Enc(t), N(langCtx));
}

TEST(Pkcs15TokenInfo, UnknownAndUndecodableElementsAreWrittenBackInPlace) {
    // A recordInfo [1] whose contents do not decode and an unknown [7]: both kept.
    const char* stored = "30 14 02 01 00 04 02 12 34 03 01 00 A1 03 87 01 10 87 03 01 02 03";
    ASNPkcs15TokenInfo t(0x30);
    ASSERT_EQ(Decode(t, stored), 22);
    EXPECT_EQ(t.wasRecordInfo, 0);
    EXPECT_EQ(Enc(t), N(stored));
    // The serial-number save writes the new number and everything else as it was.
    const uint8_t serial[2] = {0xAB, 0xCD};
    ASSERT_EQ(t.setSerialNumber(serial, 2), 1);
    EXPECT_EQ(Enc(t), "30 14 02 01 00 04 02 AB CD 03 01 00 A1 03 87 01 10 87 03 01 02 03");
    // A copy keeps them too.
    ASNPkcs15TokenInfo c(0x30);
    c = t;
    EXPECT_EQ(Enc(c), Enc(t));

    // Unknown elements after the version and between members keep their places.
    const char* spread = "30 11 02 01 01 05 00 0C 01 4D 02 01 07 03 01 00 88 01 FF";
    ASSERT_EQ(Decode(t, spread), 19);
    EXPECT_EQ(Enc(t), N(spread));
    // A label set later goes to its own place, after the kept INTEGER.
    ASSERT_EQ(t.setLabel("L"), 1);
    EXPECT_EQ(Enc(t), "30 14 02 01 01 05 00 0C 01 4D 02 01 07 80 01 4C 03 01 00 88 01 FF");

    // A lastUpdate that is no time stays as received until the record gets one.
    const char* badTime = "30 0A 02 01 01 03 01 00 85 02 41 42";
    ASSERT_EQ(Decode(t, badTime), 12);
    EXPECT_EQ(t.wasLastUpdate, 0);
    EXPECT_EQ(Enc(t), N(badTime));
    const char* time = "32 30 32 35 30 31 30 31 30 30 30 30 30 30 5A";
    ASNPkcs15TokenInfo withTime(0x30);
    ASSERT_EQ(Decode(withTime, std::string("30 18 02 01 01 03 02 07 80 85 0F ") + time), 26);
    t.lastUpdate = withTime.lastUpdate;
    t.wasLastUpdate = 1;
    EXPECT_EQ(Enc(t), N(std::string("30 19 02 01 01 03 01 00 A5 11 18 0F ") + time));

    // Decoding another record starts without the kept elements of the last one.
    ASSERT_EQ(Decode(t, "30 07 02 01 01 03 02 07 80"), 9);
    EXPECT_EQ(Enc(t), "30 07 02 01 01 03 02 07 80");
}

TEST(Pkcs15TokenInfo, SettersAndSerialRemoval) {
    ASNPkcs15TokenInfo t(0x30);
    uint8_t serial[2] = {0x01, 0x02};
    EXPECT_EQ(t.setBasicInfo("Maker", 0, "Label", serial, 2, nullptr, nullptr), 1);
    std::string d = Enc(t);
    EXPECT_EQ(d, N("30 18 02 01 00 04 02 01 02 0C 05 4D 61 6B 65 72 80 05 4C 61 62 65 6C 03 01 00"));
    EXPECT_EQ(t.setSerialNumber(nullptr, 0), 1);
    std::string noSerial = Enc(t);
    ASNPkcs15TokenInfo u(0x30);
    EXPECT_EQ(Decode(u, noSerial), 0);
}

TEST(Pkcs15RecordInfo, OrderedContextIntegers) {
    ASNPkcs15RecordInfo r(0x30);
    EXPECT_EQ(Decode(r, "30 00"), 2);
    EXPECT_EQ(Decode(r, "30 06 80 01 10 82 01 20"), 8);
    EXPECT_EQ(r.oDFRecordLength.getLong(), 16);
    EXPECT_EQ(r.puKDFRecordLength.getLong(), 32);
    EXPECT_EQ(Enc(r), "30 06 80 01 10 82 01 20");
    EXPECT_EQ(Decode(r, "30 06 82 01 20 80 01 10"), 0);
    EXPECT_EQ(Decode(r, "30 06 80 01 10 80 01 11"), 0);
    EXPECT_EQ(Decode(r, "30 03 87 01 00"), 0);
}

TEST(Pkcs15RecordInfo, RsaPrivateKeyObject) {
    ASNPkcs15RSAPrivateKeyObject k(0x80);
    EXPECT_EQ(k.tag, 0xA0);
    EXPECT_EQ(Decode(k, "A0 06 80 01 0F 81 01 03"), 8);
    EXPECT_EQ(k.isComplete(), 0);
    std::string all = "A0 18 80 01 0F 81 01 03 82 01 07 83 01 05 84 01 03 85 01 03 86 01 01 87 01 02";
    EXPECT_EQ(Decode(k, all), 26);
    EXPECT_EQ(k.isComplete(), 1);
    EXPECT_EQ(Enc(k), N(all));
}

TEST(Pkcs15RecordInfo, SecurityEnvironmentInfo) {
    ASNPkcs15SecEnvInfo s(0x30);
    EXPECT_EQ(Decode(s, "30 03 02 01 00"), 5);
    EXPECT_EQ(s.wasOwner + s.wasAid, 0);
    const char* full = "30 0B 02 01 00 06 03 2A 03 04 04 01 AA";
    EXPECT_EQ(Decode(s, full), 13);
    EXPECT_EQ(Decode(s, "30 0B 02 01 00 04 01 AA 06 03 2A 03 04"), 0);
    EXPECT_EQ(Decode(s, "30 0D 02 01 00 06 03 2A 03 04 06 03 2A 03 04"), 0);
    ASSERT_EQ(Decode(s, full), 13);
    ASNPkcs15SecEnvInfo c(0x30);
    c = s;
    EXPECT_TRUE(c == s);
    EXPECT_EQ(Enc(c), N(full));
}
