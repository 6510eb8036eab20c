// The parameter sets of the 62 standard curves: every value equal to
// OpenSSL's copy of the standards, and every prime-field set a working
// domain of our curve classes (base point on the curve, n G neutral).
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <map>
#include <set>
#include <string>

#include "curves_p_support.h"
#include "libtorvapp/qvnamedcurves.h"

namespace {

std::string referenceName(const std::string &n) {
    static const std::map<std::string, std::string> m = {
        {"nistp192", "prime192v1"}, {"nistp224", "secp224r1"}, {"nistp256", "prime256v1"},
        {"nistp384", "secp384r1"},  {"nistp521", "secp521r1"}, {"nistk163", "sect163k1"},
        {"nistb163", "sect163r2"},  {"nistk233", "sect233k1"}, {"nistb233", "sect233r1"},
        {"nistk283", "sect283k1"},  {"nistb283", "sect283r1"}, {"nistk409", "sect409k1"},
        {"nistb409", "sect409r1"},  {"nistk571", "sect571k1"}, {"nistb571", "sect571r1"},
        {"secp192r1", "prime192v1"}, {"secp256r1", "prime256v1"}};
    auto it = m.find(n);
    return it == m.end() ? n : it->second;
}

bool sameNumber(const char *hex, const BIGNUM *v) {
    BIGNUM *x = nullptr;
    BN_hex2bn(&x, hex);
    const bool eq = BN_cmp(x, v) == 0;
    BN_free(x);
    return eq;
}

const std::set<std::string> kFixedPrime = {"nistp192", "nistp224", "nistp256", "nistp384", "nistp521", "secp160r1",
                                           "secp192r1", "secp224r1", "secp256r1", "secp384r1", "secp521r1"};

TEST(NamedCurveParams, SixtyTwoSetsInBuildOrderAndFoundByName) {
    unsigned int prime = 0, binary = 0;
    std::set<std::string> names;
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvNamedCurveParams *c = qvNamedCurveParams(i);
        ASSERT_NE(c, nullptr);
        (c->binaryField ? binary : prime)++;
        names.insert(c->name);
        EXPECT_EQ(qvFindNamedCurveParams(c->name), c);
    }
    EXPECT_EQ(prime, 34u);
    EXPECT_EQ(binary, 28u);
    EXPECT_EQ(names.size(), 62u);
    EXPECT_EQ(qvNamedCurveParams(62), nullptr);
    EXPECT_EQ(qvFindNamedCurveParams("prime256v1"), nullptr);
    EXPECT_EQ(qvFindNamedCurveParams(nullptr), nullptr);
    EXPECT_STREQ(qvNamedCurveParams(0)->name, "nistp192");
    EXPECT_STREQ(qvNamedCurveParams(5)->name, "nistk163");
    EXPECT_STREQ(qvNamedCurveParams(15)->name, "secp112r1");
    EXPECT_STREQ(qvNamedCurveParams(30)->name, "sect113r1");
    EXPECT_STREQ(qvNamedCurveParams(48)->name, "brainpoolP160r1");
    EXPECT_STREQ(qvNamedCurveParams(61)->name, "brainpoolP512t1");
    // The two sets of a FIPS curve are distinct and equal.
    const QvNamedCurveParams *a = qvFindNamedCurveParams("nistp256"), *b = qvFindNamedCurveParams("secp256r1");
    EXPECT_NE(a, b);
    EXPECT_STREQ(a->generator, b->generator);
    EXPECT_STREQ(a->field, b->field);
    EXPECT_STREQ(qvFindNamedCurveParams("nistb571")->b, qvFindNamedCurveParams("sect571r1")->b);
    EXPECT_TRUE(sameNumber(qvFindNamedCurveParams("secp128r1")->cofactor, BN_value_one()));
}

TEST(NamedCurveParams, ValuesEqualTheReference) {
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvNamedCurveParams *c = qvNamedCurveParams(i);
        const int nid = OBJ_sn2nid(referenceName(c->name).c_str());
        ASSERT_NE(nid, NID_undef) << c->name;
        EC_GROUP *g = EC_GROUP_new_by_curve_name(nid);
        ASSERT_NE(g, nullptr) << c->name;
        BN_CTX *ctx = BN_CTX_new();
        BIGNUM *f = BN_new(), *a = BN_new(), *b = BN_new(), *n = BN_new(), *h = BN_new();
        EC_GROUP_get_curve(g, f, a, b, ctx);
        EC_GROUP_get_order(g, n, ctx);
        EC_GROUP_get_cofactor(g, h, ctx);
        EXPECT_EQ(c->binaryField, EC_GROUP_get_field_type(g) != NID_X9_62_prime_field) << c->name;
        EXPECT_TRUE(sameNumber(c->field, f)) << c->name;
        EXPECT_TRUE(sameNumber(c->a, a)) << c->name;
        EXPECT_TRUE(sameNumber(c->b, b)) << c->name;
        EXPECT_TRUE(sameNumber(c->order, n)) << c->name;
        EXPECT_TRUE(sameNumber(c->cofactor, h)) << c->name;
        unsigned char G[200];
        size_t len =
            EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, G, sizeof G, ctx);
        EXPECT_EQ(std::string(c->generator), toHex(Bytes(G, G + len))) << c->name;
        BN_free(f);
        BN_free(a);
        BN_free(b);
        BN_free(n);
        BN_free(h);
        BN_CTX_free(ctx);
        EC_GROUP_free(g);
    }
}

TEST(NamedCurveParams, PrimeFieldSetsFormValidDomains) {
    unsigned int fixed = 0;
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvNamedCurveParams *c = qvNamedCurveParams(i);
        if (c->binaryField) continue;
        const Bytes a = FromHex(c->a), b = FromHex(c->b), p = FromHex(c->field), G = FromHex(c->generator);
        const QvN n(("0x" + std::string(c->order)).c_str());
        std::unique_ptr<QvGroup> grp;
        try {
            grp.reset(new QvCryptoEp(a.data(), (unsigned int)a.size(), b.data(), (unsigned int)b.size(), p.data(),
                                     (unsigned int)p.size()));
            ++fixed;
            EXPECT_EQ(kFixedPrime.count(c->name), 1u) << c->name;
        } catch (const QvLibNotImplementedException &) {
            EXPECT_EQ(kFixedPrime.count(c->name), 0u) << c->name;
            grp.reset(new QvEp(a.data(), (unsigned int)a.size(), b.data(), (unsigned int)b.size(), p.data(),
                               (unsigned int)p.size()));
        }
        ElemPtr g = decodeElem(*grp, G);  // refused if off the curve
        g->precompute();
        if (std::string(c->name) == "nistp256") {
            EXPECT_EQ(static_cast<QvCryptoEpPoint *>(g.get())->getTableSize(), 258u);
        }
        ElemPtr r(grp->product(n, g.get()));
        EXPECT_EQ(toHex(encodeElem(*grp, r.get(), 200)), "00") << c->name;
        ElemPtr neutral(grp->newElement(nullptr));
        EXPECT_TRUE(grp->equals(r.get(), neutral.get())) << c->name;
        EXPECT_EQ(toHex(encodeElem(*grp, g.get(), 200)), std::string(c->generator)) << c->name;
    }
    EXPECT_EQ(fixed, 11u);
}

}  // namespace
