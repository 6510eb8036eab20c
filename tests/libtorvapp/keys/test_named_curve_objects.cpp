// The 62 ready-made curve domains: every one builds, validates, carries the
// standard's generator, order and cofactor (compared with OpenSSL's curves),
// and is reached by index and name.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>
#include <vector>

#include "libtorvapp/qvcryptoep/qvcryptoep.h"
#include "libtorvapp/qvep/qvep.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "tests/libtorvapp/keys/keys_support.h"

namespace {

std::vector<unsigned char> genOf(const QvGeneralDsaKeyDomain *d) {
    std::vector<unsigned char> v(200);
    v.resize(d->getGen(v.data(), 200));
    return v;
}
std::vector<unsigned char> orderOf(const QvGeneralDsaKeyDomain *d) {
    std::vector<unsigned char> v(100);
    v.resize(d->getOrder(v.data(), 100));
    return v;
}
std::vector<unsigned char> stripZeros(std::vector<unsigned char> v) {
    size_t i = 0;
    while (i + 1 < v.size() && v[i] == 0) ++i;
    return std::vector<unsigned char>(v.begin() + static_cast<long>(i), v.end());
}

int opensslNid(const std::string &name) {
    if (name.rfind("nistp", 0) == 0) return EC_curve_nist2nid(("P-" + name.substr(5)).c_str());
    if (name.rfind("nistk", 0) == 0) return EC_curve_nist2nid(("K-" + name.substr(5)).c_str());
    if (name.rfind("nistb", 0) == 0) return EC_curve_nist2nid(("B-" + name.substr(5)).c_str());
    return OBJ_sn2nid(name.c_str());
}

}  // namespace

TEST(NamedCurveObjects, AllBuildValidateAndCarryTheStandardValues) {
    unsigned int prime = 0, binary = 0, compared = 0;
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvNamedCurveParams *c = qvNamedCurveParams(i);
        const QvGeneralDsaKeyDomain *d = qvNamedCurveDomain(i);
        ASSERT_NE(d, nullptr) << i;
        SCOPED_TRACE(c->name);
        EXPECT_EQ(d->getType(), c->binaryField ? 2 : 3);
        (c->binaryField ? binary : prime)++;
        EXPECT_TRUE(d->isComplete());
        EXPECT_TRUE(d->isValid());
        EXPECT_EQ(genOf(d), FromHexNumber(c->generator));
        EXPECT_EQ(orderOf(d), stripZeros(FromHexNumber(c->order)));
        EXPECT_EQ(d->getCofactor(), QvN(QvN(("0x" + std::string(c->cofactor)).c_str())));

        const int nid = opensslNid(c->name);
        if (nid == NID_undef) continue;
        EC_GROUP *g = EC_GROUP_new_by_curve_name(nid);
        if (g == nullptr) continue;
        ++compared;
        unsigned char buf[200];
        size_t n = EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, buf, sizeof buf,
                                      nullptr);
        EXPECT_EQ(genOf(d), std::vector<unsigned char>(buf, buf + n));
        EXPECT_EQ(orderOf(d), bnOctets(EC_GROUP_get0_order(g)));
        EXPECT_EQ(d->getCofactor(), bnToQvN(EC_GROUP_get0_cofactor(g)));
        EC_GROUP_free(g);
    }
    EXPECT_EQ(prime, 34u);
    EXPECT_EQ(binary, 28u);
    EXPECT_GE(compared, 50u);
    EXPECT_EQ(qvNamedCurveDomain(62), nullptr);
}

TEST(NamedCurveObjects, FipsCurvesExistTwiceAsDistinctEqualObjects) {
    const char *pairs[][2] = {{"nistp192", "secp192r1"}, {"nistp224", "secp224r1"}, {"nistp256", "secp256r1"},
                              {"nistp384", "secp384r1"}, {"nistp521", "secp521r1"}, {"nistk163", "sect163k1"},
                              {"nistb163", "sect163r2"}, {"nistk233", "sect233k1"}, {"nistb233", "sect233r1"},
                              {"nistk283", "sect283k1"}, {"nistb283", "sect283r1"}, {"nistk409", "sect409k1"},
                              {"nistb409", "sect409r1"}, {"nistk571", "sect571k1"}, {"nistb571", "sect571r1"}};
    for (const auto &p : pairs) {
        SCOPED_TRACE(p[0]);
        const QvGeneralDsaKeyDomain *a = qvFindNamedCurveDomain(p[0]);
        const QvGeneralDsaKeyDomain *b = qvFindNamedCurveDomain(p[1]);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        EXPECT_NE(a->getGroup(), b->getGroup());
        EXPECT_EQ(genOf(a), genOf(b));
        EXPECT_EQ(orderOf(a), orderOf(b));
        EXPECT_EQ(a->getCofactor(), b->getCofactor());
    }
}

TEST(NamedCurveObjects, FixedPrimeCurvesCarryDoublingTables) {
    const char *fixed[] = {"nistp192", "nistp224", "nistp256", "nistp384", "nistp521", "secp160r1",
                           "secp192r1", "secp224r1", "secp256r1", "secp384r1", "secp521r1"};
    unsigned int count = 0;
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvGeneralDsaKeyDomain *any = qvNamedCurveDomain(i);
        ASSERT_NE(any, nullptr);
        if (any->getType() != QvAsymKeyDomain::TYPE_EP) {
            EXPECT_EQ(any->getType(), QvAsymKeyDomain::TYPE_E2N);
            continue;
        }
        const auto *d = static_cast<const QvEpDsaKeyDomain *>(any);
        bool isFixed = false;
        for (const char *f : fixed) isFixed |= std::strcmp(f, qvNamedCurveParams(i)->name) == 0;
        SCOPED_TRACE(qvNamedCurveParams(i)->name);
        EXPECT_EQ(d->getCurveFlag(), isFixed ? 1 : 0);
        if (isFixed) {
            ++count;
            const auto *g = dynamic_cast<const QvCryptoEpPoint *>(d->getGen());
            ASSERT_NE(g, nullptr);
            unsigned char pb[80];
            unsigned int pl = d->getP(pb, sizeof pb);
            EXPECT_EQ(g->getTableSize(), QvN(pb, pl, 0).getBitLength() + 2);
        } else {
            EXPECT_NE(dynamic_cast<const QvEpPoint *>(d->getGen()), nullptr);
        }
    }
    EXPECT_EQ(count, 11u);
    const auto *g256 = dynamic_cast<const QvCryptoEpPoint *>(qvFindNamedCurveDomain("nistp256")->getGen());
    ASSERT_NE(g256, nullptr);
    EXPECT_EQ(g256->getTableSize(), 258u);
    EXPECT_EQ(dynamic_cast<const QvCryptoEpPoint *>(qvFindNamedCurveDomain("brainpoolP256r1")->getGen()), nullptr);
}

TEST(NamedCurveObjects, LookupByNameAndIndexAgree) {
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i)
        EXPECT_EQ(qvFindNamedCurveDomain(qvNamedCurveParams(i)->name), qvNamedCurveDomain(i));
    EXPECT_EQ(qvFindNamedCurveDomain("prime256v1"), nullptr);
    EXPECT_EQ(qvFindNamedCurveDomain(""), nullptr);
    EXPECT_EQ(qvFindNamedCurveDomain(nullptr), nullptr);
    EXPECT_EQ(qvNamedCurveDomain(5)->getType(), QvAsymKeyDomain::TYPE_E2N);  // nistk163 is binary
    EXPECT_EQ(qvNamedCurveDomain(0)->getType(), QvAsymKeyDomain::TYPE_EP);
    EXPECT_EQ(qvFindNamedCurveDomain("secp128r1")->getCofactor(), QvN(1, 1));
    EXPECT_STREQ(qvNamedCurveParams(0)->name, "nistp192");
    EXPECT_STREQ(qvNamedCurveParams(61)->name, "brainpoolP512t1");
}
