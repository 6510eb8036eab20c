// The second OID table: every constant against the encoding OpenSSL's
// `asn1parse -genstr OID:<text>` produced (table beside the test) and against
// OBJ_txt2obj / OBJ_obj2txt at run time; construction order; no value shared
// with the first table; usable from other static initialisers.
#include <gtest/gtest.h>

#include <openssl/objects.h>

#include <set>
#include <string>
#include <vector>

#include "keys/oidconst2.h"
#include "lib/libasn/asnoidconst.h"
#include "tests/lib/libasn/oid_table_check.h"

using namespace asntest;

namespace {

int PositionOf(const char* name) {
    for (int i = 0; i < kAsnOid2Count; i++)
        if (std::string(asnOid2Name(i)) == name) return i;
    return -1;
}

}  // namespace

TEST(SecondOidTable, EveryConstantMatchesOpenSslsEncodingOfItsText) {
    std::vector<OidRow> rows = LoadOidTable("oid2_constants.txt");
    ASSERT_EQ(static_cast<int>(rows.size()), 146);
    ASSERT_EQ(kAsnOid2Count, 146);
    for (const OidRow& r : rows) {
        int i = r.index - 1;
        EXPECT_EQ(asnOid2Name(i), r.name) << r.index;
        EXPECT_EQ(asnOid2Text(i), r.text) << r.index;
        const ASNobjectId& o = asnOid2At(i);
        EXPECT_EQ(asnOid2IndexOf(&o), i);
        ASSERT_NO_FATAL_FAILURE(ExpectOidMatchesRow(o, r));
    }
    EXPECT_EQ(asnOid2Name(-1), nullptr);
    EXPECT_EQ(asnOid2Text(146), nullptr);
    EXPECT_EQ(asnOid2IndexOf(nullptr), -1);
    ASNobjectId copy(oid2::gnBasis());
    EXPECT_EQ(asnOid2IndexOf(&copy), -1);
}

TEST(SecondOidTable, AllDistinctAndNoneSharedWithTheFirstTable) {
    std::set<std::string> second;
    for (int i = 0; i < kAsnOid2Count; i++) second.insert(asnOid2Text(i));
    EXPECT_EQ(second.size(), 146u);
    for (int i = 0; i < kAsnOidCount; i++) EXPECT_EQ(second.count(asnOidText(i)), 0u) << asnOidText(i);
}

TEST(SecondOidTable, CurveConstantsCarryTheirStandardsOids) {
    EXPECT_EQ(oid2::secp192r1().toString(), "1.2.840.10045.3.1.1");
    EXPECT_EQ(oid2::secp256r1().toString(), "1.2.840.10045.3.1.7");
    EXPECT_EQ(Encode(oid2::gnBasis()), N("06 09 2A 86 48 CE 3D 01 02 03 01"));
    // OpenSSL's names for the curve OIDs agree with ours.
    for (const char* name : {"secp112r1", "secp160k1", "secp384r1", "sect163k1", "sect571r1", "brainpoolP512t1",
                             "c2pnb163v1", "c2tnb431r1", "prime239v3", "wap-wsg-idm-ecid-wtls12"}) {
        int nid = OBJ_sn2nid(name);
        ASSERT_NE(nid, NID_undef) << name;
        char text[64];
        ASSERT_GT(OBJ_obj2txt(text, sizeof text, OBJ_nid2obj(nid), 1), 0);
        std::string accessor(name);
        for (char& c : accessor)
            if (c == '-') c = '_';
        int pos = PositionOf(accessor.c_str());
        ASSERT_GE(pos, 0) << name;
        EXPECT_EQ(asnOid2At(pos).toString(), text) << name;
    }
}

TEST(SecondOidTable, ConstructionOrderOfGroups) {
    EXPECT_EQ(PositionOf("id_ce_subjectDirectoryAttributes"), 0);
    EXPECT_EQ(PositionOf("id_ce_inhibitAnyPolicy"), 28);
    EXPECT_EQ(PositionOf("id_pe_qcStatements"), 29);
    EXPECT_EQ(PositionOf("mail"), 33);
    EXPECT_EQ(PositionOf("id_RSASSA_PSS"), 36);
    EXPECT_EQ(PositionOf("dhKeyAgreement"), 40);
    EXPECT_EQ(PositionOf("id_ecSigType"), 42);
    EXPECT_EQ(PositionOf("secg_ellipticCurve"), 50);
    EXPECT_EQ(PositionOf("secp112r1"), 52);
    EXPECT_EQ(PositionOf("brainpoolP160r1"), 85);
    EXPECT_EQ(PositionOf("c2pnb163v1"), 99);
    EXPECT_EQ(PositionOf("prime192v2"), 119);
    EXPECT_EQ(PositionOf("wap_wsg_idm_ecid_wtls1"), 124);
    EXPECT_EQ(PositionOf("prime_field"), 135);
    EXPECT_EQ(PositionOf("id_ecPublicKey"), 140);
    EXPECT_EQ(PositionOf("id_keyExchangeAlgorithm"), 145);
    // wtls10 and wtls11 come after wtls5 and before wtls6.
    int w5 = PositionOf("wap_wsg_idm_ecid_wtls5"), w10 = PositionOf("wap_wsg_idm_ecid_wtls10"),
        w11 = PositionOf("wap_wsg_idm_ecid_wtls11"), w6 = PositionOf("wap_wsg_idm_ecid_wtls6");
    EXPECT_EQ(w10, w5 + 1);
    EXPECT_EQ(w11, w5 + 2);
    EXPECT_EQ(w6, w5 + 3);
}

TEST(SecondOidTable, NamedAccessorsAndCopies) {
    EXPECT_EQ(&oid2::id_ce_subjectKeyIdentifier(), &asnOid2At(1));
    EXPECT_EQ(&asnOid2(AsnOid2::id_mgf1), &oid2::id_mgf1());
    EXPECT_TRUE(oid2::id_ce_basicConstraints() == ASNobjectId("2.5.29.19"));
    EXPECT_FALSE(oid2::ecdsa_with_SHA256() == oid2::ecdsa_with_SHA384());
    ASNobjectId c(oid2::id_ecPublicKey());
    c = "1.2.840.10045.2.2";
    EXPECT_TRUE(c == oid2::id_ecPublicKeyRestricted());
    EXPECT_EQ(oid2::id_ecPublicKey().toString(), "1.2.840.10045.2.1");
}

namespace {
struct EarlyUser {
    EarlyUser() : encodedLength(oid2::gnBasis().lenOfObject()) {}
    long encodedLength;
};
const EarlyUser g_earlyUser;
}  // namespace

TEST(SecondOidTable, UsableFromStaticInitialisers) { EXPECT_EQ(g_earlyUser.encodedLength, 11); }
