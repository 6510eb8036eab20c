// The named-curve catalogue: every row by id, name and OID and back, OIDs and
// curve parameters against OpenSSL's built-in curves, shared objects of the
// alias rows, equivalence, sizes, descriptions, and the "not found" answers.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "keys/ecdomain.h"
#include "keys/ecnamedcurves.h"
#include "keys/oidconst2.h"
#include "keys_test_util.h"
#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"

using T = EcNamedCurveTable;

namespace {

// OpenSSL's short name of a record (NIST rows by their FIPS name).
std::string OpenSslName(const EcNamedCurve* e) {
    std::string n = e->shortName;
    // OpenSSL names these two by their X9.62 names.
    if (n == "secp192r1") return "prime192v1";
    if (n == "secp256r1") return "prime256v1";
    if (n == "c2pnb176w1") return "c2pnb176v1";
    if (n == "c2pnb359v1") return "c2tnb359v1";
    if (n == "c2pnb431r1") return "c2tnb431r1";
    return n;
}

int OpenSslNid(const EcNamedCurve* e) {
    std::string n = e->shortName;
    if (n.rfind("nist", 0) == 0) {
        std::string fips(1, static_cast<char>(std::toupper(static_cast<unsigned char>(n[4]))));
        fips += "-" + n.substr(5);
        return EC_curve_nist2nid(fips.c_str());
    }
    return OBJ_sn2nid(OpenSslName(e).c_str());
}

std::string OidTextOfNid(int nid) {
    char text[64];
    if (OBJ_obj2txt(text, sizeof text, OBJ_nid2obj(nid), 1) <= 0) return "";
    return text;
}

std::vector<uint8_t> Trim(std::vector<uint8_t> v) {
    size_t i = 0;
    while (i < v.size() && v[i] == 0) i++;
    return std::vector<uint8_t>(v.begin() + static_cast<long>(i), v.end());
}

std::vector<uint8_t> Bn(const BIGNUM* b) {
    std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

template <typename G>
std::vector<uint8_t> Ours(G get) {
    std::vector<uint8_t> v(200);
    unsigned int n = get(v.data(), static_cast<unsigned int>(v.size()));
    v.resize(n);
    return Trim(v);
}

std::string Hex(const std::vector<uint8_t>& v) { return testsupport::ToHex(v, testsupport::HexCase::Upper); }

// Field, a, b, base point, order and cofactor of a group, as hex text.
std::string Parameters(const EC_GROUP* g, BN_CTX* ctx) {
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *n = BN_new(), *h = BN_new();
    EC_GROUP_get_curve(g, p, a, b, ctx);
    EC_GROUP_get_order(g, n, ctx);
    EC_GROUP_get_cofactor(g, h, ctx);
    std::vector<uint8_t> gu(200);
    gu.resize(EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, gu.data(),
                                 gu.size(), ctx));
    std::string s = Hex(Bn(p)) + "/" + Hex(Bn(a)) + "/" + Hex(Bn(b)) + "/" + Hex(gu) + "/" + Hex(Bn(n)) + "/" +
                    Hex(Bn(h));
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(n);
    BN_free(h);
    return s;
}

}  // namespace

TEST(NamedCurveCatalogue, EveryRowByIdNameAndOidAndBack) {
    std::set<std::string> names;
    for (int id = 1; id <= 100; id++) {
        const EcNamedCurve* e = T::findById(id);
        ASSERT_NE(e, nullptr) << id;
        EXPECT_EQ(e->id, id);
        EXPECT_EQ(T::at(id - 1), e);
        EXPECT_TRUE(names.insert(e->shortName).second) << e->shortName;
        EXPECT_EQ(T::findByName(e->shortName), e) << e->shortName;
        EXPECT_EQ(T::findByName(e->longName), e) << e->longName;
        if (e->alias) {
            EXPECT_EQ(T::findByName(e->alias), e) << e->alias;
        }
        EXPECT_STREQ(T::getName(id, T::kShortName), e->shortName);
        EXPECT_STREQ(T::getName(e, T::kLongName), e->longName);
        EXPECT_EQ(T::getName(e, T::kAlias), e->alias);
        EXPECT_EQ(T::getOid(e->shortName), e->oid);

        bool nist = id >= 34 && id <= 48;
        EXPECT_EQ(e->oid == nullptr, nist) << id;
        if (e->oid) {
            EXPECT_GE(asnOid2IndexOf(e->oid), 0) << id;
            const EcNamedCurve* byOid = T::findByOid(*e->oid);
            ASSERT_NE(byOid, nullptr);
            EXPECT_EQ(byOid->id, id == 63 ? 9 : id == 69 ? 13 : id) << id;
            std::string text = "unchanged";
            EXPECT_EQ(T::getOidText(text, id), 1);
            EXPECT_EQ(text, e->oid->toString());
            EXPECT_EQ(T::findByOidText(text.c_str()), byOid);
            std::string byName;
            EXPECT_EQ(T::getOidText(byName, e->shortName), 1);
            EXPECT_EQ(byName, text);
        } else {
            std::string text = "unchanged";
            EXPECT_EQ(T::getOidText(text, id), 0);
            EXPECT_EQ(text, "unchanged");
        }

        const QvAsymKeyDomain* d = T::getDomain(id);
        bool normalBasis = id == 77 || id == 78 || id == 83 || id == 84;
        EXPECT_EQ(d == nullptr, normalBasis) << id;
        if (d) {
            EXPECT_EQ(d->getType(), e->fieldType == 0 ? QvAsymKeyDomain::TYPE_EP : QvAsymKeyDomain::TYPE_E2N);
            EXPECT_EQ(T::getDomainByName(e->shortName), d);
            if (e->oid) {
                EXPECT_EQ(T::getDomain(*e->oid), T::getDomain(T::findByOid(*e->oid)));
            }
        }
    }
    EXPECT_EQ(names.size(), 100u);
}

TEST(NamedCurveCatalogue, OidsEqualOpenSslsCurveOids) {
    for (int id = 1; id <= 100; id++) {
        const EcNamedCurve* e = T::findById(id);
        int nid = OpenSslNid(e);
        ASSERT_NE(nid, NID_undef) << e->shortName;
        std::string expected = OidTextOfNid(nid);
        if (e->oid) {
            EXPECT_EQ(e->oid->toString(), expected) << e->shortName;
        } else {
            // A NIST row: its OID is that of its SECG equivalent.
            int secg = T::nextEquivalentId(id, 0, true);
            ASSERT_GT(secg, 0);
            ASSERT_LT(secg, 34);
            EXPECT_EQ(T::findById(secg)->oid->toString(), expected) << e->shortName;
        }
    }
}

// Every domain against OpenSSL's curve of the same name: field, a, b, base
// point, order, cofactor and degree. This checks the 24 domains built here as
// much as the library's objects.
TEST(NamedCurveCatalogue, DomainParametersEqualOpenSsls) {
    BN_CTX* ctx = BN_CTX_new();
    for (int id = 1; id <= 100; id++) {
        const EcNamedCurve* e = T::findById(id);
        const QvAsymKeyDomain* d = T::getDomain(e);
        if (!d) continue;
        EC_GROUP* g = EC_GROUP_new_by_curve_name(OpenSslNid(e));
        ASSERT_NE(g, nullptr) << e->shortName;
        BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *n = BN_new(), *h = BN_new();
        ASSERT_EQ(EC_GROUP_get_curve(g, p, a, b, ctx), 1);
        EC_GROUP_get_order(g, n, ctx);
        EC_GROUP_get_cofactor(g, h, ctx);
        std::vector<uint8_t> gu(200), gc(200);
        gu.resize(EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, gu.data(),
                                     gu.size(), ctx));
        gc.resize(EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_COMPRESSED, gc.data(),
                                     gc.size(), ctx));
        if (e->fieldType == 0) {
            const auto* x = static_cast<const QvEpDsaKeyDomain*>(d);
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getP(o, l); })), Hex(Bn(p))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getA(o, l); })), Hex(Bn(a))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getB(o, l); })), Hex(Bn(b))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getN(o, l); })), Hex(Bn(n))) << e->shortName;
            std::vector<uint8_t> ours(200);
            ours.resize(x->getG(ours.data(), 200));
            EXPECT_TRUE(ours == gu || ours == gc) << e->shortName;
        } else {
            const auto* x = static_cast<const QvE2nDsaKeyDomain*>(d);
            unsigned int m = 0;
            EXPECT_EQ(Hex(Ours([x, &m](uint8_t* o, unsigned l) { return x->getFieldPolynomial(&m, o, l); })),
                      Hex(Bn(p)))
                << e->shortName;
            EXPECT_EQ(static_cast<int>(m), EC_GROUP_get_degree(g)) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getA(o, l); })), Hex(Bn(a))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getB(o, l); })), Hex(Bn(b))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getN(o, l); })), Hex(Bn(n))) << e->shortName;
            EXPECT_EQ(Hex(Ours([x](uint8_t* o, unsigned l) { return x->getH(o, l); })), Hex(Bn(h))) << e->shortName;
            std::vector<uint8_t> ours(200);
            ours.resize(x->getG(ours.data(), 200));
            EXPECT_TRUE(ours == gu || ours == gc) << e->shortName;
        }
        EXPECT_EQ(T::bitSize(e), static_cast<unsigned long>(EC_GROUP_get_degree(g))) << e->shortName;
        BN_free(p);
        BN_free(a);
        BN_free(b);
        BN_free(n);
        BN_free(h);
        EC_GROUP_free(g);
    }
    BN_CTX_free(ctx);
}

TEST(NamedCurveCatalogue, AliasRowsShareTheObjectsOfTheirCurve) {
    struct Pair {
        int alias, of;
    };
    for (Pair p : {Pair{63, 9}, Pair{69, 13}, Pair{91, 20}, Pair{92, 16}, Pair{93, 70}, Pair{94, 1}, Pair{95, 7},
                   Pair{98, 25}, Pair{99, 26}, Pair{100, 11}}) {
        EXPECT_EQ(T::getDomain(p.alias), T::getDomain(p.of)) << p.alias;
        EXPECT_NE(T::getDomain(p.alias), nullptr);
    }
    EXPECT_EQ(T::findById(63)->oid, T::findById(9)->oid);
    EXPECT_EQ(T::findById(69)->oid, T::findById(13)->oid);
    EXPECT_EQ(T::findById(69)->oid, &oid2::secp256r1());
    // The NIST rows have objects of their own.
    EXPECT_NE(T::getDomain(36), T::getDomain(13));
    EXPECT_TRUE(ecKeyDomainsEqual(T::getDomain(36), T::getDomain(13)));
    // The rows built here are distinct objects.
    std::set<const QvAsymKeyDomain*> distinct;
    for (int id : {64, 65, 66, 67, 68, 96, 97, 70, 71, 72, 73, 74, 75, 76, 79, 80, 81, 82, 85, 86, 87, 88, 89, 90})
        EXPECT_TRUE(distinct.insert(T::getDomain(id)).second) << id;
}

TEST(NamedCurveCatalogue, LookupsOfTheTellingCases) {
    EXPECT_EQ(T::findById(0), nullptr);
    EXPECT_EQ(T::findById(101), nullptr);
    EXPECT_EQ(T::findById(-5), nullptr);
    EXPECT_STREQ(T::findById(57)->shortName, "brainpoolP320r1");
    EXPECT_EQ(T::findByName("SECP256R1")->id, 13);
    EXPECT_EQ(T::findByName("CERTICOM PRIME 256 R1")->id, 13);
    EXPECT_EQ(T::findByName("certicom prime 256 r1")->id, 13);
    EXPECT_EQ(T::findByName("prime256v1")->id, 69);
    EXPECT_EQ(T::findByName("ansix9p256r1")->id, 69);
    EXPECT_EQ(T::findByName("ANSIX9P192R1")->id, 63);
    EXPECT_EQ(T::findByName("c2pnb176v1")->id, 73);
    EXPECT_EQ(T::findByName("c2tnb431r1")->id, 89);
    EXPECT_EQ(T::findByOidText("1.2.840.10045.3.1.7")->id, 13);
    EXPECT_EQ(T::findByOidText("1.2.840.10045.3.1.1")->id, 9);
    EXPECT_STREQ(T::findById(98)->longName, "WTLS BINARY 12 233");
    EXPECT_STREQ(T::findById(73)->longName, "ANSI BINARY 176 W1");
    EXPECT_STREQ(T::findById(89)->longName, "ANSI BINARY 431 R1");
    EXPECT_STREQ(T::findById(16)->longName, "CERTICOM BINARY 113 R1");
    EXPECT_STREQ(T::findById(40)->longName, "FIPS186 BINARY B163");
    EXPECT_STREQ(T::findById(50)->longName, "BRAINPOOL PRIME 160 T1");
    EXPECT_STREQ(T::findById(68)->longName, "ANSI PRIME 239 V3");
    for (int id = 1; id <= 100; id++) {
        int fam = id <= 33 ? 1 : id <= 48 ? 2 : id <= 62 ? 3 : id <= 89 ? 4 : 5;
        EXPECT_EQ(T::findById(id)->family, fam) << id;
    }
    EXPECT_STREQ(T::familyName(1), "SECG");
    EXPECT_STREQ(T::familyName(T::findById(40)), "NIST");
    EXPECT_STREQ(T::familyName(oid2::brainpoolP256r1()), "Brainpool");
    EXPECT_STREQ(T::familyName(oid2::secp256r1()), "SECG");
    EXPECT_STREQ(T::familyName(4), "X9.62");
    EXPECT_STREQ(T::familyName(5), "WTLS");
}

TEST(NamedCurveCatalogue, UnknownNamesAndOidsAreNotFound) {
    EXPECT_EQ(T::findByName("secp256r2"), nullptr);
    EXPECT_EQ(T::findByName(""), nullptr);
    EXPECT_EQ(T::findByName(nullptr), nullptr);
    EXPECT_EQ(T::findByName("secp256r1 "), nullptr);
    EXPECT_EQ(T::findByOidText("1.2.840.10045.3.1.8"), nullptr);
    EXPECT_EQ(T::findByOidText("not an oid"), nullptr);
    EXPECT_EQ(T::findByOidText(""), nullptr);
    EXPECT_EQ(T::findByOidText(nullptr), nullptr);
    EXPECT_EQ(T::findByOid(oid2::gnBasis()), nullptr);
    EXPECT_EQ(T::findByOid(ASNobjectId()), nullptr);
    EXPECT_EQ(T::getName(nullptr, 0), nullptr);
    EXPECT_EQ(T::getName(13, 3), nullptr);
    EXPECT_EQ(T::getName(13, -1), nullptr);
    EXPECT_EQ(T::getName(0, 0), nullptr);
    EXPECT_EQ(T::getNameByOid(oid2::id_ecPublicKey(), 0), nullptr);
    EXPECT_STREQ(T::getNameByOid(oid2::secp256r1(), 0), "secp256r1");
    EXPECT_EQ(T::getOid("nope"), nullptr);
    EXPECT_EQ(T::getOid(static_cast<const EcNamedCurve*>(nullptr)), nullptr);
    EXPECT_EQ(T::getOid("nistp256"), nullptr);
    std::string text = "unchanged";
    EXPECT_EQ(T::getOidText(text, "nope"), 0);
    EXPECT_EQ(T::getOidText(text, 0), 0);
    EXPECT_EQ(T::getOidText(text, "nistp256"), 0);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(T::getDomain(0), nullptr);
    EXPECT_EQ(T::getDomain(77), nullptr);
    EXPECT_EQ(T::getDomain(static_cast<const EcNamedCurve*>(nullptr)), nullptr);
    EXPECT_EQ(T::getDomainByName("nope"), nullptr);
    EXPECT_EQ(T::getDomainByOidText("1.2.3.4"), nullptr);
    EXPECT_EQ(T::getDomainByOidText("1.3.132.0.34"), T::getDomain(14));
    EXPECT_EQ(T::familyName(0), nullptr);
    EXPECT_EQ(T::familyName(6), nullptr);
    EXPECT_EQ(T::familyName(static_cast<const EcNamedCurve*>(nullptr)), nullptr);
    EXPECT_EQ(T::familyName(oid2::gnBasis()), nullptr);
    EXPECT_EQ(T::findNextByDomain(nullptr, 0), nullptr);
    EXPECT_EQ(T::nextEquivalentId(0, 0, true), 0);
    EXPECT_EQ(T::nextEquivalentId(101, 0, false), 0);
    EXPECT_EQ(T::nextEquivalent(2, 0, true), nullptr);
}

TEST(NamedCurveCatalogue, SizesAndStrengths) {
    EXPECT_EQ(T::bitSize(T::findByName("c2onb239v4")), 239u);
    EXPECT_EQ(T::bitSize(T::findByName("c2onb191v5")), 191u);
    EXPECT_EQ(T::byteSize(T::findByName("c2onb191v5")), 24u);
    EXPECT_EQ(T::byteSize(T::findByName("secp521r1")), 66u);
    EXPECT_EQ(T::bitSize(T::findByName("sect571r1")), 571u);
    EXPECT_EQ(T::bitSize(nullptr), 0u);
    EXPECT_EQ(T::fieldBitSize(nullptr), 0u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp256r1")), 128u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp160r1")), 80u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp521r1")), 256u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp384r1")), 192u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("brainpoolP320r1")), 160u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp224r1")), 112u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("prime192v2")), 96u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("secp128r1")), 0u);
    EXPECT_EQ(T::securityStrength(T::getDomainByName("sect233k1")), 112u);
    EXPECT_EQ(T::securityStrength(nullptr), 0u);
    // An empty domain carries no field.
    QvEpDsaKeyDomain empty;
    EXPECT_EQ(T::fieldBitSize(&empty), 0u);
    EXPECT_EQ(T::findNextByDomain(&empty, 0), nullptr);
}

TEST(NamedCurveCatalogue, EquivalentRecords) {
    EXPECT_EQ(T::nextEquivalentId(22, 0, true), 40);
    EXPECT_EQ(T::nextEquivalentId(22, 40, true), 0);
    EXPECT_EQ(T::nextEquivalentId(20, 0, true), 39);
    EXPECT_EQ(T::nextEquivalentId(20, 39, true), 91);
    EXPECT_EQ(T::nextEquivalentId(20, 91, true), 0);
    EXPECT_EQ(T::nextEquivalentId(91, 0, true), 20);
    EXPECT_EQ(T::nextEquivalentId(95, 0, true), 7);
    EXPECT_EQ(T::nextEquivalentId(6, 0, true), 0);
    EXPECT_EQ(T::nextEquivalentId(57, 0, true), 0);
    EXPECT_EQ(T::nextEquivalent(13, 36, true)->id, 69);
    // By domain value the same classes come out, for every record with a domain.
    for (int id = 1; id <= 100; id++) {
        if (!T::getDomain(id)) continue;
        std::vector<int> fixed, byValue;
        for (int n = T::nextEquivalentId(id, 0, true); n; n = T::nextEquivalentId(id, n, true)) fixed.push_back(n);
        for (int n = T::nextEquivalentId(id, 0, false); n; n = T::nextEquivalentId(id, n, false))
            byValue.push_back(n);
        EXPECT_EQ(fixed, byValue) << id;
    }
}

TEST(NamedCurveCatalogue, FindByDomainBuiltFromOpenSslParameters) {
    // secp256r1 from OpenSSL's numbers: a fresh object of equal value.
    BN_CTX* ctx = BN_CTX_new();
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *n = BN_new();
    EC_GROUP_get_curve(g, p, a, b, ctx);
    EC_GROUP_get_order(g, n, ctx);
    std::vector<uint8_t> gu(65);
    EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, gu.data(), gu.size(), ctx);
    QvEpDsaKeyDomain mine(Hex(Bn(a)).c_str(), Hex(Bn(b)).c_str(), Hex(Bn(p)).c_str(), Hex(gu).c_str(),
                          Hex(Bn(n)).c_str(), "1");
    EXPECT_EQ(T::findNextByDomain(&mine, 0)->id, 13);
    EXPECT_EQ(T::findNextByDomain(&mine, 13)->id, 36);
    EXPECT_EQ(T::findNextByDomain(&mine, 36)->id, 69);
    EXPECT_EQ(T::findNextByDomain(&mine, 69), nullptr);
    EXPECT_FALSE(ecKeyDomainsEqual(&mine, T::getDomain(14)));
    EXPECT_FALSE(ecKeyDomainsEqual(&mine, T::getDomain(16)));
    EXPECT_FALSE(ecKeyDomainsEqual(&mine, nullptr));
    // The same curve with another base point is another domain.
    std::vector<uint8_t> g2(65);
    EC_POINT* twice = EC_POINT_new(g);
    EC_POINT_dbl(g, twice, EC_GROUP_get0_generator(g), ctx);
    EC_POINT_point2oct(g, twice, POINT_CONVERSION_UNCOMPRESSED, g2.data(), g2.size(), ctx);
    QvEpDsaKeyDomain other(Hex(Bn(a)).c_str(), Hex(Bn(b)).c_str(), Hex(Bn(p)).c_str(), Hex(g2).c_str(),
                           Hex(Bn(n)).c_str(), "1");
    EXPECT_EQ(T::findNextByDomain(&other, 0), nullptr);
    EC_POINT_free(twice);
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(n);
    EC_GROUP_free(g);
    BN_CTX_free(ctx);
}

TEST(NamedCurveCatalogue, AllNamesJoinsEquivalents) {
    std::string s;
    EXPECT_EQ(T::allNames(s, T::findById(9), T::kShortName), 1);
    EXPECT_EQ(s, "secp192r1/nistp192/prime192v1");
    EXPECT_EQ(T::allNames(s, T::findById(34), T::kShortName), 1);
    EXPECT_EQ(s, "nistp192/secp192r1/prime192v1");
    EXPECT_EQ(T::allNames(s, oid2::secp256r1(), T::kLongName), 1);
    EXPECT_EQ(s, "CERTICOM PRIME 256 R1/FIPS186 PRIME P256/ANSI PRIME 256 V1");
    EXPECT_EQ(T::allNames(s, T::findById(63), T::kAlias), 1);
    EXPECT_EQ(s, "ansiX9p192r1");
    EXPECT_EQ(T::allNames(s, T::findById(57), T::kShortName), 1);
    EXPECT_EQ(s, "brainpoolP320r1");
    s = "unchanged";
    EXPECT_EQ(T::allNames(s, T::findById(9), T::kAlias), 0);
    EXPECT_EQ(T::allNames(s, nullptr, T::kShortName), 0);
    EXPECT_EQ(T::allNames(s, T::findById(9), 7), 0);
    EXPECT_EQ(T::allNames(s, oid2::gnBasis(), 0), 0);
    EXPECT_EQ(s, "unchanged");
}

TEST(NamedCurveCatalogue, DescriptionsInBothLanguages) {
    std::string s;
    EXPECT_EQ(T::describe(s, 13, true, T::kEnglish), 1);
    EXPECT_EQ(s, "SECG/NIST/X9.62 curve over a 256 bit prime field");
    EXPECT_EQ(T::describe(s, 13, true, T::kPolish), 1);
    EXPECT_EQ(s, "Krzywa nad 256 bitowym ciałem prostym z norm SECG/NIST/X9.62");
    EXPECT_EQ(T::describe(s, T::findByName("wap-wsg-idm-ecid-wtls8"), false, T::kPolish), 1);
    EXPECT_EQ(s, "Krzywa nad 112 bitowym ciałem prostym z normy WTLS");
    EXPECT_EQ(T::describe(s, 13, false, T::kEnglish), 1);
    EXPECT_EQ(s, "SECG curve over a 256 bit prime field");
    EXPECT_EQ(T::describe(s, 83, false, T::kEnglish), 1);
    EXPECT_EQ(s, "X9.62 curve over a 239 bit binary field");
    EXPECT_EQ(T::describe(s, 20, true, T::kPolish), 1);
    EXPECT_EQ(s, "Krzywa nad 163 bitowym ciałem binarnym z norm SECG/NIST/WTLS");
    EXPECT_EQ(T::describe(s, 22, true, T::kEnglish), 1);
    EXPECT_EQ(s, "SECG/NIST curve over a 163 bit binary field");
    s = "unchanged";
    EXPECT_EQ(T::describe(s, 13, true, 2), 0);
    EXPECT_EQ(T::describe(s, 0, true, T::kEnglish), 0);
    EXPECT_EQ(T::describe(s, nullptr, false, T::kPolish), 0);
    EXPECT_EQ(s, "unchanged");
}

namespace {

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

// The record's explicit form as DER; empty when it has none.
std::vector<uint8_t> SpecifiedDer(int id) {
    ECSpecifiedDomain d(0x30);
    if (T::toSpecifiedDomain(d, id) != 1) return {};
    return Enc(d);
}

// The first record after 'after' matching explicit parameters given as DER (with
// withOid, the first that has an OID); null also when the DER does not decode.
const EcNamedCurve* MatchDer(const uint8_t* der, long n, int after, bool withOid = false) {
    ECSpecifiedDomain d(0x30);
    if (der == nullptr || n <= 0 || d.readBuffer(der, n) != n) return nullptr;
    const EcNamedCurve* e = T::findNextMatching(d, after);
    while (withOid && e != nullptr && e->oid == nullptr) e = T::findNextMatching(d, e->id);
    return e;
}

}  // namespace

// The explicit parameters we write, read back by OpenSSL, are the same group as
// its named curve, for every record with a domain (OpenSSL has no normal basis:
// those four curves are checked against their published figures below).
TEST(NamedCurveCatalogue, ExplicitParametersReadBackByOpenSslAsTheSameGroup) {
    BN_CTX* ctx = BN_CTX_new();
    for (int id = 1; id <= 100; id++) {
        const EcNamedCurve* e = T::findById(id);
        ECSpecifiedDomain spec(0x30);
        if (!T::getDomain(e)) continue;
        ASSERT_EQ(T::toSpecifiedDomain(spec, e), 1) << e->shortName;
        EXPECT_TRUE(ecKeyDomainsEqual(spec.getKeyDomain(), T::getDomain(e))) << e->shortName;
        EXPECT_EQ(spec.getFieldSizeBits(), T::bitSize(e)) << e->shortName;
        std::vector<uint8_t> der = Enc(spec);
        const unsigned char* p = der.data();
        EC_GROUP* ours = d2i_ECPKParameters(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(ours, nullptr) << e->shortName << " " << Hex(der);
        EXPECT_EQ(p, der.data() + der.size());
        EC_GROUP* named = EC_GROUP_new_by_curve_name(OpenSslNid(e));
        ASSERT_NE(named, nullptr);
        // The parameters, not the groups: OpenSSL may give the decoded group
        // the name and arithmetic of another record of the same curve.
        EXPECT_EQ(Parameters(ours, ctx), Parameters(named, ctx)) << e->shortName;
        EXPECT_EQ(EC_GROUP_get_degree(ours), EC_GROUP_get_degree(named));
        EXPECT_EQ(1, EC_GROUP_check(ours, ctx)) << e->shortName;
        EC_GROUP_free(ours);
        EC_GROUP_free(named);
    }
    BN_CTX_free(ctx);
    ECSpecifiedDomain a(0x30), b(0x30), c(0x30);
    EXPECT_EQ(T::toSpecifiedDomain(a, "prime256v1"), 1);
    EXPECT_EQ(T::toSpecifiedDomain(b, "1.2.840.10045.3.1.7"), 1);
    EXPECT_EQ(T::toSpecifiedDomain(c, oid2::secp256r1()), 1);
    EXPECT_EQ(Enc(a), Enc(b));
    EXPECT_EQ(Enc(a), Enc(c));
    EXPECT_TRUE(a == c);
    EXPECT_EQ(T::toSpecifiedDomain(a, "no such curve"), 0);
    EXPECT_EQ(T::toSpecifiedDomain(a, static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(T::toSpecifiedDomain(a, 101), 0);
    // secp256r1 (one 32-octet prime, a, b, a 65-octet point, order, cofactor).
    std::vector<uint8_t> der = Enc(c);
    ASSERT_GT(der.size(), 200u);
    EXPECT_EQ(der[0], 0x30);
}

namespace {
int FirstOfClass(int id) {
    int first = id;
    for (int n = T::nextEquivalentId(id, 0, true); n; n = T::nextEquivalentId(id, n, true))
        if (n < first) first = n;
    return first;
}
}  // namespace

TEST(NamedCurveCatalogue, ExplicitParametersFindTheirRecords) {
    for (int id = 1; id <= 100; id++) {
        ECSpecifiedDomain d(0x30);
        if (!T::toSpecifiedDomain(d, id)) continue;
        const EcNamedCurve* e = T::findNextMatching(d, 0);
        ASSERT_NE(e, nullptr) << id;
        EXPECT_EQ(e->id, FirstOfClass(id)) << id;
        EXPECT_EQ(T::findNextMatchingId(d, 0), e->id);
        EXPECT_EQ(T::findFirstMatching(d), e);
        if (e->id != id) {
            EXPECT_NE(T::findNextMatching(d, id - 1), nullptr);
        }
    }
    ECSpecifiedDomain d(0x30);
    ASSERT_EQ(T::toSpecifiedDomain(d, "nistp192"), 1);
    EXPECT_EQ(T::findNextMatching(d, 9)->id, 34);
    EXPECT_EQ(T::findNextMatchingId(d, 63), 0);
    EXPECT_EQ(T::findFirstMatching(d, true)->id, 9);
    EXPECT_EQ(T::findMatchingOid(d, 9), &oid2::secp192r1());  // 63 carries 9's OID
    EXPECT_EQ(T::findMatchingOid(d, 63), nullptr);
    std::vector<uint8_t> der = Enc(d);
    long n = static_cast<long>(der.size());
    EXPECT_EQ(MatchDer(der.data(), n, 9, true)->id, 63);
    // The NIST-only records (no OID) are passed over when an OID is wanted.
    ECSpecifiedDomain k163(0x30);
    ASSERT_EQ(T::toSpecifiedDomain(k163, "nistk163"), 1);
    EXPECT_EQ(T::findFirstMatching(k163, true)->id, 20);
    EXPECT_EQ(T::findMatchingOid(k163, 20), &oid2::wap_wsg_idm_ecid_wtls3());
}

// OpenSSL's own explicit encoding (with the seed, where the curve has one).
TEST(NamedCurveCatalogue, OpenSslsExplicitParametersFindTheRecords) {
    for (int id = 1; id <= 100; id++) {
        const EcNamedCurve* e = T::findById(id);
        if (!T::getDomain(e)) continue;
        EC_GROUP* g = EC_GROUP_new_by_curve_name(OpenSslNid(e));
        ASSERT_NE(g, nullptr);
        EC_GROUP_set_asn1_flag(g, OPENSSL_EC_EXPLICIT_CURVE);
        EC_GROUP_set_point_conversion_form(g, POINT_CONVERSION_UNCOMPRESSED);
        unsigned char* der = nullptr;
        int n = i2d_ECPKParameters(g, &der);
        ASSERT_GT(n, 0);
        ASSERT_EQ(der[0], 0x30);  // specified, not a named OID
        const EcNamedCurve* found = MatchDer(der, n, 0);
        ASSERT_NE(found, nullptr) << e->shortName;
        EXPECT_EQ(found->id, FirstOfClass(id)) << e->shortName;
        // Read and written back unchanged (the seed included).
        ECSpecifiedDomain spec(0x30);
        ASSERT_EQ(n, spec.readBuffer(der, n));
        EXPECT_EQ(std::vector<uint8_t>(der, der + n), Enc(spec)) << e->shortName;
        OPENSSL_free(der);
        // The same with the base point compressed.
        EC_GROUP_set_point_conversion_form(g, POINT_CONVERSION_COMPRESSED);
        der = nullptr;
        n = i2d_ECPKParameters(g, &der);
        ASSERT_GT(n, 0);
        found = MatchDer(der, n, 0);
        ASSERT_NE(found, nullptr) << e->shortName << " compressed";
        EXPECT_EQ(found->id, FirstOfClass(id)) << e->shortName;
        OPENSSL_free(der);
        EC_GROUP_free(g);
    }
}

TEST(NamedCurveCatalogue, MalformedExplicitParametersMatchNothing) {
    std::vector<uint8_t> der = SpecifiedDer(70);  // c2pnb163v1
    ASSERT_FALSE(der.empty());
    EXPECT_EQ(MatchDer(nullptr, 10, 0), nullptr);
    EXPECT_EQ(MatchDer(der.data(), 0, 0), nullptr);
    EXPECT_EQ(MatchDer(der.data(), -1, 0), nullptr);
    // Every truncation, into an exactly sized buffer.
    for (size_t len = 1; len < der.size(); len++) {
        std::vector<uint8_t> cut(der.begin(), der.begin() + static_cast<long>(len));
        EXPECT_EQ(MatchDer(cut.data(), static_cast<long>(cut.size()), 0), nullptr) << len;
    }
    // Every single-octet change: never a crash; a changed curve or point is
    // not the record's curve.
    for (size_t i = 0; i < der.size(); i++) {
        std::vector<uint8_t> bad = der;
        bad[i] ^= 0x01;
        const EcNamedCurve* e = MatchDer(bad.data(), static_cast<long>(bad.size()), 0);
        if (e) {
            EXPECT_EQ(e->id, 70) << i;  // only octets that play no part (the version)
        }
    }
    // The base point moved off the curve.
    std::vector<uint8_t> p256 = SpecifiedDer(13);
    ASSERT_FALSE(p256.empty());
    p256[p256.size() - 60] ^= 0x40;
    EXPECT_EQ(MatchDer(p256.data(), static_cast<long>(p256.size()), 0), nullptr);
    // A long-form length running past the end.
    const uint8_t huge[] = {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01};
    EXPECT_EQ(MatchDer(huge, sizeof huge, 0), nullptr);
    // A domain that never built is compared with the normal-basis curves only.
    ECSpecifiedDomain empty(0x30);
    EXPECT_EQ(T::findNextMatching(empty, 0), nullptr);
}

namespace {

// The four curves over a Gaussian normal basis as ANSI X9.62 publishes them (data file).
struct NormalBasisCurve {
    std::string name, oid;
    unsigned m = 0;
    std::vector<uint8_t> a, b, base, order, cofactor;
};

std::vector<NormalBasisCurve> LoadNormalBasisCurves() {
    std::vector<NormalBasisCurve> curves;
    for (const testsupport::DataLine& l : testsupport::ReadDataLines(keystest::DataFile("x962_normal_basis_curves.txt"))) {
        if (l.fields.size() < 2) continue;
        const std::string &key = l.fields[0], &value = l.fields[1];
        if (key == "name") curves.emplace_back();
        if (curves.empty()) continue;
        NormalBasisCurve& c = curves.back();
        if (key == "name") c.name = value;
        if (key == "oid") c.oid = value;
        if (key == "m") c.m = static_cast<unsigned>(std::stoul(value));
        if (key == "a") c.a = testsupport::FromHex(value);
        if (key == "b") c.b = testsupport::FromHex(value);
        if (key == "base") c.base = testsupport::FromHex(value);
        if (key == "order") c.order = testsupport::FromHex(value);
        if (key == "cofactor") c.cofactor = testsupport::FromHex(value);
    }
    return curves;
}

// A DER writer of the test's own: tag, minimal length, contents.
std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& contents) {
    std::vector<uint8_t> out{tag};
    size_t n = contents.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        std::vector<uint8_t> len;
        for (; n; n >>= 8) len.insert(len.begin(), static_cast<uint8_t>(n));
        out.push_back(static_cast<uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An unsigned INTEGER: leading zero octets dropped, 00 put back before a top bit.
std::vector<uint8_t> Int(std::vector<uint8_t> magnitude) {
    while (magnitude.size() > 1 && magnitude[0] == 0) magnitude.erase(magnitude.begin());
    if (magnitude.empty() || magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0);
    return Tlv(0x02, magnitude);
}

std::vector<uint8_t> Int(unsigned v) {
    return Int(std::vector<uint8_t>{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// SpecifiedECDomain: version 1, characteristic-two field (m, gnBasis, NULL), curve
// a and b without seed, base point, order, cofactor.
std::vector<uint8_t> NormalBasisDer(const NormalBasisCurve& c) {
    const std::vector<uint8_t> characteristicTwo = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02};
    const std::vector<uint8_t> gnBasis = {0x06, 0x09, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x01, 0x02, 0x03, 0x01};
    const std::vector<uint8_t> null = {0x05, 0x00};
    return Tlv(0x30, Cat({Int(1u), Tlv(0x30, Cat({characteristicTwo, Tlv(0x30, Cat({Int(c.m), gnBasis, null}))})),
                          Tlv(0x30, Cat({Tlv(0x04, c.a), Tlv(0x04, c.b)})), Tlv(0x04, c.base), Int(c.order),
                          Int(c.cofactor)}));
}

}  // namespace

TEST(NamedCurveCatalogue, NormalBasisCurvesCarryTheirPublishedExplicitParameters) {
    std::vector<NormalBasisCurve> curves = LoadNormalBasisCurves();
    ASSERT_EQ(curves.size(), 4u);
    const int ids[] = {77, 78, 83, 84};
    for (size_t i = 0; i < curves.size(); i++) {
        const NormalBasisCurve& c = curves[i];
        const EcNamedCurve* e = T::findByName(c.name.c_str());
        ASSERT_NE(e, nullptr) << c.name;
        EXPECT_EQ(e->id, ids[i]);
        EXPECT_EQ(e->oid->toString(), c.oid);
        EXPECT_EQ(T::getDomain(e), nullptr);  // no arithmetic over a normal basis
        EXPECT_EQ(T::bitSize(e), c.m);
        const std::vector<uint8_t> der = NormalBasisDer(c);
        EXPECT_EQ(der.size(), c.m == 191 ? 146u : 170u) << c.name;
        // By id, entry, OID, dotted OID and name alike; a domain that held another
        // curve loses it.
        ECSpecifiedDomain byId(0x30), byEntry(0x30), byOid(0x30), byText(0x30), byName(0x30);
        ASSERT_EQ(T::toSpecifiedDomain(byName, "prime256v1"), 1);
        EXPECT_EQ(T::toSpecifiedDomain(byId, e->id), 1);
        EXPECT_EQ(T::toSpecifiedDomain(byEntry, e), 1);
        EXPECT_EQ(T::toSpecifiedDomain(byOid, *e->oid), 1);
        EXPECT_EQ(T::toSpecifiedDomain(byText, c.oid.c_str()), 1);
        EXPECT_EQ(T::toSpecifiedDomain(byName, c.name.c_str()), 1);
        for (const ECSpecifiedDomain* d : {&byId, &byEntry, &byOid, &byText, &byName}) {
            EXPECT_EQ(Enc(*d), der) << c.name << " " << Hex(Enc(*d));
            EXPECT_EQ(d->getKeyDomain(), nullptr);
            EXPECT_EQ(d->getFieldSizeBits(), c.m);
        }
        // The DER is malformed to the decoder (no curve builds over the basis), yet
        // what it read is the record's explicit form.
        ECSpecifiedDomain read(0x30);
        EXPECT_EQ(read.readVector(der), 0);
        EXPECT_TRUE(read == byId) << c.name;
    }
}

TEST(NamedCurveCatalogue, NormalBasisCurvesAreFoundByTheirExplicitParameters) {
    std::vector<NormalBasisCurve> curves = LoadNormalBasisCurves();
    ASSERT_EQ(curves.size(), 4u);
    for (const NormalBasisCurve& c : curves) {
        const EcNamedCurve* e = T::findByName(c.name.c_str());
        ASSERT_NE(e, nullptr);
        ECSpecifiedDomain d(0x30);
        d.readVector(NormalBasisDer(c));
        // Without a key domain the 'after' id plays no part.
        for (int after : {0, e->id - 1, e->id, 100}) EXPECT_EQ(T::findNextMatching(d, after), e) << after;
        EXPECT_EQ(T::findNextMatchingId(d, 0), e->id);
        EXPECT_EQ(T::findFirstMatching(d), e);
        EXPECT_EQ(T::findFirstMatching(d, true), e);
        EXPECT_EQ(T::findMatchingOid(d, 0), e->oid);
        // One figure changed is no curve of the catalogue.
        for (int change = 0; change < 7; change++) {
            NormalBasisCurve other = c;
            switch (change) {
            case 0: other.a.back() ^= 1; break;
            case 1: other.b.back() ^= 1; break;
            case 2: other.base[0] ^= 1; break;  // the other y
            case 3: other.base.back() ^= 1; break;
            case 4: other.order.back() ^= 2; break;
            case 5: other.cofactor.back() ^= 1; break;
            default: other.m += 2; break;
            }
            ECSpecifiedDomain o(0x30);
            o.readVector(NormalBasisDer(other));
            EXPECT_EQ(T::findNextMatching(o, 0), nullptr) << c.name << " " << change;
            EXPECT_EQ(T::findMatchingOid(o, 0), nullptr);
        }
        // Cut short, or with any one octet changed: never a crash, and the curve only
        // when what was read lacks just the optional cofactor.
        const std::vector<uint8_t> der = NormalBasisDer(c);
        for (size_t i = 0; i < der.size(); i++) {
            std::vector<uint8_t> bad = der;
            bad[i] ^= 0x01;
            for (const auto& v : {bad, std::vector<uint8_t>(der.begin(), der.begin() + static_cast<long>(i))}) {
                ECSpecifiedDomain o(0x30);
                o.readVector(v);
                const EcNamedCurve* found = T::findNextMatching(o, 0);
                if (found) {
                    EXPECT_EQ(found, e) << c.name << " " << i;
                    EXPECT_FALSE(o.cofactorPresent) << c.name << " " << i;
                }
            }
        }
    }
}
