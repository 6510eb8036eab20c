// Decoding a record into an object that held another record gives the same
// object as decoding it into a fresh one: nothing of the earlier record stays.
#include <gtest/gtest.h>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15commonobjectattributes.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "lib/libpkcs15/asnpkcs15keyattributes.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "lib/libpkcs15/asnpkcs15pinattributes.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "lib/libpkcs15/asnpkcs15usage.h"
#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

namespace {

// Decodes `full`, then `smaller` into the same object, and compares that with
// `smaller` decoded into a fresh object.
template <class T>
void ExpectCleanDecode(const std::string& full, const std::string& smaller, uint32_t tag = 0x30) {
    T used(tag);
    ASSERT_EQ(Decode(used, full), static_cast<long>(H(full).size())) << full;
    const std::string before = Enc(used);
    ASSERT_EQ(Decode(used, smaller), static_cast<long>(H(smaller).size())) << smaller;
    T fresh(tag);
    ASSERT_EQ(Decode(fresh, smaller), static_cast<long>(H(smaller).size()));
    EXPECT_EQ(Enc(fresh), Enc(used)) << "after " << before;
}

const char* const kName = "30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74";

}  // namespace

TEST(Pkcs15CleanDecode, CommonKeyAttributesForgetTheUsageAndReference) {
    // An identifier alone: the usage and the reference of the earlier key go.
    ASNPkcs15CommonKeyAttributes a(0x30);
    ASSERT_EQ(Decode(a, "30 0A 04 01 45 03 02 05 20 02 01 07"), 12);
    ASSERT_EQ(a.getKeyReference(), 7);
    ASSERT_EQ(Decode(a, "30 03 04 01 46"), 5);
    EXPECT_EQ(a.getKeyReference(), -1);
    EXPECT_EQ(a.usage.getFlags(), 0u);
    EXPECT_EQ(Enc(a), "30 06 04 01 46 03 01 00");
    ExpectCleanDecode<ASNPkcs15CommonKeyAttributes>(
        "30 38 04 01 45 03 02 05 20 01 01 00 03 02 03 B8 02 01 02 "
        "18 0F 32 30 32 34 30 31 30 31 31 32 30 30 30 30 5A "
        "80 0F 32 30 33 34 30 31 30 31 31 32 30 30 30 30 5A A1 03 02 01 05",
        "30 03 04 01 46");
}

TEST(Pkcs15CleanDecode, CommonAttributesOfEveryObjectKind) {
    ExpectCleanDecode<ASNPkcs15CommonObjectAttributes>("30 0F 0C 03 41 42 43 03 02 07 80 04 01 01 02 01 01",
                                                       "30 00");
    ExpectCleanDecode<ASNPkcs15CommonPrivateKeyAttributes>("30 0C 30 00 A0 08 30 06 02 01 04 04 01 AB", "30 00");
    ExpectCleanDecode<ASNPkcs15CommonPublicKeyAttributes>("30 08 30 00 A0 04 03 02 07 80", "30 00");
    ExpectCleanDecode<ASNPkcs15CommonSecretKeyAttributes>("30 04 02 02 04 00", "30 00");
    ExpectCleanDecode<ASNPkcs15CommonAuthObjectAttributes>("30 06 02 01 03 80 01 05", "30 00");
    ExpectCleanDecode<ASNPkcs15CommonCertificateAttributes>(
        "30 27 04 01 07 01 01 FF 30 07 02 01 04 04 02 01 02 A0 02 30 00 A1 04 03 02 07 80 "
        "A2 09 30 07 02 01 04 04 02 01 02 83 01 FF",
        "30 03 04 01 07");
    ExpectCleanDecode<ASNPkcs15CommonDataObjectAttributes>("30 0D 0C 03 41 42 43 06 03 2A 03 04 04 01 09",
                                                           "30 05 06 03 2A 03 04");
    ExpectCleanDecode<ASNPkcs15Usage>("30 0B 03 02 07 80 30 05 06 03 2A 03 04", "30 00");
}

TEST(Pkcs15CleanDecode, PathsPinsAndDirectoryRecords) {
    ExpectCleanDecode<ASNPkcs15Path>("30 0A 04 02 50 15 02 01 10 80 01 20", "30 04 04 02 50 15");
    ExpectCleanDecode<ASNPkcs15PinAttributes>(
        "30 1E 03 02 02 CC 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 01 04 01 FF 30 06 04 04 3F 00 50 15",
        "30 0D 03 02 02 CC 0A 01 01 02 01 04 02 01 08");
    ExpectCleanDecode<ASNPkcs15DDO>("30 14 06 03 2A 03 04 30 04 04 02 50 31 A0 04 04 02 50 32 4F 01 AA", "30 00");
    const std::string aid = "4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35";
    ExpectCleanDecode<ASNPkcs15DIRRecord>("61 1E " + aid + " 50 03 41 42 43 51 02 50 15 73 05 06 03 2A 03 04",
                                          "61 12 " + aid + " 51 02 50 15", 0x61);
}

TEST(Pkcs15CleanDecode, TokenInfoAndItsElements) {
    ExpectCleanDecode<ASNPkcs15TokenInfo>("30 14 02 01 00 04 02 12 34 03 01 00 A1 03 87 01 10 87 03 01 02 03",
                                          "30 07 02 01 01 03 02 07 80");
    ExpectCleanDecode<ASNPkcs15TokenInfo>("30 13 02 01 01 03 02 07 80 13 02 70 6C A6 06 02 01 01 02 01 02",
                                          "30 07 02 01 01 03 02 07 80");
    ExpectCleanDecode<ASNPkcs15RecordInfo>("30 06 80 01 10 82 01 20", "30 00");
    ExpectCleanDecode<ASNPkcs15SecEnvInfo>("30 0B 02 01 00 06 03 2A 03 04 04 01 AA", "30 03 02 01 01");
    ExpectCleanDecode<ASNPkcs15AlgorithmInfo>("30 14 02 01 01 02 01 05 05 00 03 02 07 80 06 03 2A 03 04 02 01 07",
                                              "30 0C 02 01 01 02 01 05 05 00 03 02 07 80");
}

TEST(Pkcs15CleanDecode, KeyValuesAndObjectRecords) {
    ExpectCleanDecode<ASNPkcs15RSAPrivateKeyObject>(
        "30 18 80 01 0F 81 01 03 82 01 07 83 01 05 84 01 03 85 01 03 86 01 01 87 01 02", "30 06 80 01 0F 81 01 03");
    ExpectCleanDecode<ASNPkcs15PrivateRSAKeyAttributes>("30 0F 30 06 04 04 3F 00 4B 01 02 02 08 00 02 01 05",
                                                        "30 0C 30 06 04 04 3F 00 4B 01 02 02 08 00");
    ExpectCleanDecode<ASNPkcs15X509CertificateAttributes>(
        std::string("30 2F 30 06 04 04 3F 00 43 01 ") + kName + " A0 11 " + kName + " 02 01 07",
        "30 08 30 06 04 04 3F 00 43 01");
    ExpectCleanDecode<ASNPkcs15AuthObject>(
        "30 2F 30 0A 0C 08 55 73 65 72 20 50 49 4E 30 03 04 01 01 "
        "A1 1C 30 1A 03 02 02 CC 0A 01 01 02 01 04 02 01 08 02 01 08 80 01 81 04 01 FF 30 02 04 00",
        "30 15 30 00 30 00 A1 0F 30 0D 03 02 02 CC 0A 01 01 02 01 04 02 01 08");
}

TEST(Pkcs15DirRecord, VendorLayoutWithPrimitiveDiscretionaryData) {
    // Label 4F, application identifier 50, path 51 and the discretionary data
    // under the primitive identifier 53 (an OID, the ODF and TokenInfo paths).
    const std::string aid = "A0 00 00 00 63 50 4B 43 53 2D 31 35";
    const std::string ddo = "06 03 2A 03 04 30 04 04 02 50 31 A0 04 04 02 50 32";
    const std::string vendor = "61 2A 4F 03 41 42 43 50 0C " + aid + " 51 02 50 15 53 11 " + ddo;
    ASNPkcs15DIRRecord_Pomerantix v;
    ASSERT_EQ(Decode(v, vendor), 44);
    EXPECT_EQ(v.wasDdo, 1);
    EXPECT_EQ(v.ddo.hasOidWithoutAid(), 1);
    EXPECT_EQ(v.ddo.wasTokenInfoPath, 1);
    uint16_t w[2];
    EXPECT_EQ(v.ddo.odfPath.getPath(w, 2), 1);
    EXPECT_EQ(w[0], 0x5031);
    // Copied into a standard record it is written in the standard layout, which
    // the standard record reads back.
    ASNPkcs15DIRRecord standard(0x61);
    standard = v;
    const std::string written = "61 2A 4F 0C " + aid + " 50 03 41 42 43 51 02 50 15 73 11 " + ddo;
    EXPECT_EQ(Enc(standard), N(written));
    ASNPkcs15DIRRecord back(0x61);
    EXPECT_EQ(Decode(back, written), 44);
    EXPECT_TRUE(back == standard);
    // Discretionary data without an OID would not be valid in the standard layout.
    EXPECT_EQ(Decode(v, "61 24 4F 03 41 42 43 50 0C " + aid + " 51 02 50 15 53 0C 30 04 04 02 50 31 A0 04 04 02 50 32"),
              0);
    // Contents that do not decode as discretionary data fail the record.
    EXPECT_EQ(Decode(v, "61 1D 4F 03 41 42 43 50 0C " + aid + " 51 02 50 15 53 02 05 00"), 0);
}
