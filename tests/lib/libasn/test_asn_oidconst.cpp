// The global object-identifier constants: every one against the encoding OpenSSL's
// `asn1parse -genstr OID:<text>` produced (kept as a table beside the test) and
// against OpenSSL's OBJ_txt2obj / OBJ_obj2txt at run time; repeated identifiers
// compare equal; first use from many threads at once sees one fully built table.
#include <gtest/gtest.h>

#include <openssl/objects.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/libasn/asnoidconst.h"
#include "tests/lib/libasn/oid_table_check.h"

using namespace asntest;

TEST(AsnOidConstants, EveryConstantMatchesOpenSslsEncodingOfItsText) {
    std::vector<OidRow> rows = LoadOidTable("oid_constants.txt");
    ASSERT_EQ(static_cast<int>(rows.size()), 153);
    ASSERT_EQ(kAsnOidCount, 153);
    for (const OidRow& r : rows) {
        int i = r.index - 1;
        EXPECT_EQ(asnOidName(i), r.name) << r.index;
        EXPECT_EQ(asnOidText(i), r.text) << r.index;
        // Against the table, and against OpenSSL at run time from the dotted text.
        ASSERT_NO_FATAL_FAILURE(ExpectOidMatchesRow(asnOidAt(i), r));
    }
    EXPECT_EQ(asnOidName(-1), nullptr);
    EXPECT_EQ(asnOidText(153), nullptr);
}

TEST(AsnOidConstants, NamedAccessorsAndKnownEncodings) {
    EXPECT_EQ(Encode(oid::id_at_commonName()), N("06 03 55 04 03"));
    EXPECT_EQ(Encode(oid::rsaEncryption()), N("06 09 2A 86 48 86 F7 0D 01 01 01"));
    EXPECT_EQ(&oid::md2(), &asnOidAt(0));
    EXPECT_EQ(&oid::enterprise_4_2(), &asnOidAt(152));
    EXPECT_EQ(&asnOid(AsnOid::id_sha256), &oid::id_sha256());
    EXPECT_TRUE(oid::id_sha256() == ASNobjectId("2.16.840.1.101.3.4.2.1"));
    EXPECT_FALSE(oid::id_sha256() == oid::id_sha384());
    EXPECT_STREQ(kAsnTdeaText1, "1.0.18033.3.1.1");
    EXPECT_STREQ(kAsnTdeaText2, "1.0.18033.3.1.1");
}

TEST(AsnOidConstants, RepeatedIdentifiersAreSeparateObjectsThatCompareEqual) {
    EXPECT_NE(&oid::rsaEncryption(), &oid::rsaEncryption_2());
    EXPECT_TRUE(oid::rsaEncryption() == oid::rsaEncryption_2());
    EXPECT_TRUE(oid::pkcs8ShroudedKeyBag() == oid::pkcs8ShroudedKeyBag_2());
    EXPECT_TRUE(oid::id_kp_timeStamping() == oid::id_kp_timeStamping_2());
    EXPECT_TRUE(oid::id_ad_ocsp() == oid::id_ad_ocsp_2());
    EXPECT_TRUE(oid::tdea() == oid::tdea_2());
    EXPECT_TRUE(oid::tdea() == oid::tdea_3());
    EXPECT_FALSE(oid::tdea() == oid::aes());

    // Exactly these repeats: 153 objects, 147 distinct identifiers.
    std::set<std::string> distinct;
    for (int i = 0; i < kAsnOidCount; i++) distinct.insert(asnOidText(i));
    EXPECT_EQ(distinct.size(), 147u);
}

TEST(AsnOidConstants, CopiesAreIndependentOfTheConstants) {
    ASNobjectId c(oid::id_at_countryName());
    EXPECT_TRUE(c == oid::id_at_countryName());
    c = "2.5.4.7";
    EXPECT_TRUE(c == oid::id_at_localityName());
    EXPECT_EQ(Encode(oid::id_at_countryName()), N("06 03 55 04 06"));
}

TEST(AsnOidConstants, FirstUseFromManyThreadsSeesOneBuiltTable) {
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    std::vector<const ASNobjectId*> seen(16, nullptr);
    std::vector<int> bad(16, 0);
    for (int k = 0; k < 16; k++)
        threads.emplace_back([&, k] {
            while (go.load() == 0) {
            }
            const ASNobjectId& cn = oid::id_at_commonName();
            seen[static_cast<size_t>(k)] = &cn;
            for (int i = 0; i < kAsnOidCount; i++)
                if (asnOidAt(i).getLength() < 1) bad[static_cast<size_t>(k)]++;
            if (cn.getLength() != 3) bad[static_cast<size_t>(k)]++;
        });
    go.store(1);
    for (auto& t : threads) t.join();
    for (int k = 0; k < 16; k++) {
        EXPECT_EQ(seen[static_cast<size_t>(k)], &oid::id_at_commonName());
        EXPECT_EQ(bad[static_cast<size_t>(k)], 0);
    }
}

// Another load-time table may be built from the constants in its own static
// initialiser, whatever the order in which translation units start.
namespace {
struct EarlyUser {
    EarlyUser() : encodedLength(oid::id_at_commonName().lenOfObject()) {}
    long encodedLength;
};
const EarlyUser g_earlyUser;
}  // namespace

TEST(AsnOidConstants, UsableFromStaticInitialisers) { EXPECT_EQ(g_earlyUser.encodedLength, 5); }
