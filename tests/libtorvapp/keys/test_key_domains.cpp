// Key domains: readiness, validity, the "Uninitialised group." refusals, the
// choice between the fixed-prime and the general curve, binary-field
// polynomials and the copying rules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnamedcurves.h"
#include "tests/libtorvapp/keys/keys_support.h"

namespace {

std::vector<unsigned char> octets(unsigned int (QvEpDsaKeyDomain::*get)(QvOctet *, unsigned int) const,
                                  const QvEpDsaKeyDomain &d) {
    std::vector<unsigned char> v(100);
    v.resize((d.*get)(v.data(), 100));
    return v;
}

// Small GF(p) domain: q = 11, p = 2q + 1 = 23, g = 4 of order 11.
void smallDomain(QvGFpKeyDomain &d) {
    d.setP("23");
    d.setQ("11");
    d.setG("4");
}

}  // namespace

TEST(KeyDomains, FreshDomainsAreIncompleteAndRefuseGenerators) {
    std::vector<std::unique_ptr<QvGeneralDsaKeyDomain>> all;
    all.emplace_back(new QvGeneralDsaKeyDomain);
    all.emplace_back(new QvGFpKeyDomain);
    all.emplace_back(new QvDhGFpKeyDomain);
    all.emplace_back(new QvDsaKeyDomain);
    all.emplace_back(new QvEpDsaKeyDomain);
    all.emplace_back(new QvE2nDsaKeyDomain);
    const int types[] = {1, 4, 5, 6, 3, 2};
    for (size_t i = 0; i < all.size(); ++i) {
        QvGeneralDsaKeyDomain &d = *all[i];
        EXPECT_EQ(d.getType(), types[i]);
        EXPECT_FALSE(d.isComplete());
        EXPECT_FALSE(d.isValid());
        unsigned char buf[8];
        try {
            d.getGen(buf, sizeof buf);
            ADD_FAILURE() << "getGen";
        } catch (const QvNotInitException &e) {
            EXPECT_EQ(reasonOf(e.what()), "Uninitialised group.");
        }
        EXPECT_THROW(d.setGen(static_cast<const QvGroupElem *>(nullptr)), QvNotInitException);
        EXPECT_THROW(d.setGen(buf, 1), QvNotInitException);
    }
    QvGeneralDsaKeyDomain g;
    try {
        g.setGen(static_cast<const QvGroupElem *>(nullptr));
    } catch (const QvException &e) {
        EXPECT_STREQ(e.what(),
                     "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
                     "FUNCTION: void QvGeneralDsaKeyDomain::setGen(const QvGroupElem *g)\n"
                     "FILE: qvgeneraldsakeydomain\nLINE: 0\n");
    }
}

TEST(KeyDomains, PrimeFieldDomainNeedsAGeneratorAboveOne) {
    QvGFpKeyDomain d;
    d.setP("23");
    d.setQ("11");
    EXPECT_FALSE(d.isComplete());
    EXPECT_THROW(d.getG(), QvNotInitException);
    d.setG("1");
    EXPECT_FALSE(d.isComplete());
    d.setG("4");
    EXPECT_TRUE(d.isComplete());
    EXPECT_EQ(d.getG(), QvN(4, 1));
    unsigned char b[4];
    ASSERT_EQ(d.getP(b, 4), 1u);
    EXPECT_EQ(b[0], 23);
    ASSERT_EQ(d.getQ(b, 4), 1u);
    EXPECT_EQ(b[0], 11);
    ASSERT_EQ(d.getG(b, 4), 1u);
    EXPECT_EQ(b[0], 4);
    // The general check: 11 * g is the neutral element; a wrong order fails.
    QvGeneralDsaKeyDomain &gen = d;
    EXPECT_TRUE(gen.QvGeneralDsaKeyDomain::isValid());
    d.setQ("7");
    EXPECT_FALSE(gen.QvGeneralDsaKeyDomain::isValid());
    // "-1" is p - 1.
    d.setG("-1");
    EXPECT_EQ(d.getG(), QvN(22, 1));
}

TEST(KeyDomains, ReplacingPKeepsTheGeneratorValueWithoutDanglingIt) {
    QvGFpKeyDomain d;
    smallDomain(d);
    d.setP("47");
    EXPECT_EQ(d.getG(), QvN(4, 1));
    EXPECT_EQ(d.getP().getBitLength(), 6u);
    d.setG("2");
    EXPECT_EQ(d.getG(), QvN(2, 1));
}

TEST(KeyDomains, SeedAndCounterRoundTrip) {
    QvGFpKeyDomain d;
    const unsigned char s[5] = {9, 8, 7, 6, 5};
    d.setSeed(s, 5);
    unsigned char out[5] = {0xee, 0xee, 0xee, 0xee, 0xee};
    EXPECT_EQ(d.getSeed(out, 4), 0u);
    for (unsigned char c : out) EXPECT_EQ(c, 0xee);
    EXPECT_EQ(d.getSeed(out, 5), 5u);
    EXPECT_EQ(0, std::memcmp(out, s, 5));
    d.setSeedAndCounter("0a0B0c", "0x1234");
    EXPECT_EQ(d.getSeed(out, 5), 3u);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0x0b);
    EXPECT_EQ(d.getCounter(), 0x1234u);
    unsigned char c[4];
    ASSERT_EQ(d.getCounter(c, 4), 2u);
    EXPECT_EQ(c[0], 0x12);
    EXPECT_EQ(c[1], 0x34);
    EXPECT_EQ(d.getCounter(c, 1), 0u);
    d.setCounter("010");  // octal
    EXPECT_EQ(d.getCounter(), 8u);
}

TEST(KeyDomains, CopiesTakeTheirOwnGeneratorButNotTheCofactor) {
    const QvNamedCurveParams *c = qvFindNamedCurveParams("brainpoolP256r1");
    QvEpDsaKeyDomain src(c->a, c->b, c->field, c->generator, c->order, c->cofactor);
    ASSERT_TRUE(src.isValid());
    const QvGeneralDsaKeyDomain &base = src;
    QvGeneralDsaKeyDomain copy(base);
    EXPECT_TRUE(copy.getCofactor().isZero());
    EXPECT_EQ(copy.getGroup(), src.getGroup());
    EXPECT_NE(copy.getGen(), src.getGen());
    EXPECT_TRUE(copy.isValid());
    QvGeneralDsaKeyDomain assigned;
    assigned.setCofactor(QvN(5, 1));
    assigned = base;
    EXPECT_EQ(assigned.getCofactor(), QvN(5, 1));
    EXPECT_TRUE(assigned.isValid());

    // A prime-field domain copy works over its own p.
    QvGFpKeyDomain g;
    smallDomain(g);
    QvGFpKeyDomain gc(g);
    EXPECT_NE(gc.getGroup(), g.getGroup());
    EXPECT_EQ(gc.getGroup(), static_cast<const QvGroup *>(&gc.getP()));
    EXPECT_TRUE(gc.isComplete());
    g.setP("47");
    EXPECT_EQ(gc.getP().getBitLength(), 5u);
    QvGFpKeyDomain ga;
    ga = gc;
    EXPECT_EQ(ga.getG(), QvN(4, 1));
    EXPECT_EQ(ga.getGroup(), static_cast<const QvGroup *>(&ga.getP()));
}

TEST(KeyDomains, PrimeCurveDomainChoosesTheFixedPrimeCurveWhereItCan) {
    const char *names[] = {"nistp256", "brainpoolP256r1", "secp160r1", "secp160k1"};
    const int flags[] = {1, 0, 1, 0};
    for (int i = 0; i < 4; ++i) {
        const QvNamedCurveParams *c = qvFindNamedCurveParams(names[i]);
        SCOPED_TRACE(names[i]);
        std::vector<unsigned char> a = FromHexNumber(c->a), b = FromHexNumber(c->b), p = FromHexNumber(c->field);
        QvEpDsaKeyDomain d;
        d.setCurve(a.data(), static_cast<unsigned int>(a.size()), b.data(), static_cast<unsigned int>(b.size()),
                   p.data(), static_cast<unsigned int>(p.size()));
        EXPECT_EQ(d.getCurveFlag(), flags[i]);
        EXPECT_EQ(d.getGroup() != nullptr, true);
        std::vector<unsigned char> pm = p;
        while (pm.size() > 1 && pm[0] == 0) pm.erase(pm.begin());
        EXPECT_EQ(octets(&QvEpDsaKeyDomain::getP, d), pm);
        // a and b come back padded to the octet length of p.
        std::vector<unsigned char> ga = octets(&QvEpDsaKeyDomain::getA, d);
        std::vector<unsigned char> gb = octets(&QvEpDsaKeyDomain::getB, d);
        EXPECT_EQ(ga.size(), pm.size());
        EXPECT_EQ(gb.size(), pm.size());
        EXPECT_EQ(QvN(ga.data(), static_cast<unsigned int>(ga.size()), 0),
                  QvN(a.data(), static_cast<unsigned int>(a.size()), 0));
        EXPECT_EQ(QvN(gb.data(), static_cast<unsigned int>(gb.size()), 0),
                  QvN(b.data(), static_cast<unsigned int>(b.size()), 0));
        std::vector<unsigned char> g = FromHexNumber(c->generator), n = FromHexNumber(c->order);
        d.setG(g.data(), static_cast<unsigned int>(g.size()));
        d.setN(n.data(), static_cast<unsigned int>(n.size()));
        EXPECT_TRUE(d.isValid());
        unsigned char small[4];
        EXPECT_THROW(d.getA(small, 4), QvArgumentRangeException);
        // A second curve replaces the first and drops its generator.
        d.setCurve(a.data(), static_cast<unsigned int>(a.size()), b.data(), static_cast<unsigned int>(b.size()),
                   p.data(), static_cast<unsigned int>(p.size()));
        EXPECT_EQ(d.getGen(), nullptr);
        EXPECT_FALSE(d.isComplete());
    }
    QvEpDsaKeyDomain none;
    unsigned char buf[8];
    EXPECT_THROW(none.getA(buf, 8), QvNotInitException);
    EXPECT_THROW(none.getP(buf, 8), QvNotInitException);
}

TEST(KeyDomains, PrimeCurveDomainRefusesAPointOffTheCurve) {
    const QvNamedCurveParams *c = qvFindNamedCurveParams("brainpoolP192r1");
    QvEpDsaKeyDomain d(c->a, c->b, c->field, c->generator, c->order, c->cofactor);
    std::vector<unsigned char> g = FromHexNumber(c->generator);
    g.back() ^= 1;
    EXPECT_ANY_THROW(d.setG(g.data(), static_cast<unsigned int>(g.size())));
    // The old generator stays.
    EXPECT_TRUE(d.isValid());
}

TEST(KeyDomains, BinaryCurveTrinomialAndPentanomial) {
    const QvNamedCurveParams *c = qvFindNamedCurveParams("sect233r1");
    std::vector<unsigned char> a = FromHexNumber(c->a), b = FromHexNumber(c->b);
    QvE2nDsaKeyDomain d;
    EXPECT_EQ(d.getBasisType(), 0);
    d.setCurveTrinomial(a.data(), static_cast<unsigned int>(a.size()), b.data(), static_cast<unsigned int>(b.size()),
                        233, 74);
    unsigned int m = 0, k = 0;
    unsigned char f[40];
    ASSERT_EQ(d.getFieldPolynomial(&m, f, sizeof f), 30u);
    EXPECT_EQ(m, 233u);
    EXPECT_EQ(f[0], 0x02);  // x^233: bit 1 of the first of 30 octets
    EXPECT_EQ(f[29], 0x01);
    EXPECT_EQ(f[29 - 74 / 8], 1 << (74 % 8));
    EXPECT_EQ(std::vector<unsigned char>(f, f + 30), FromHexNumber(c->field));
    EXPECT_EQ(d.getBasisType(), 3);
    EXPECT_EQ(d.getTrinomial(&m, &k), 0);
    EXPECT_EQ(m, 233u);
    EXPECT_EQ(k, 74u);
    std::vector<unsigned char> g = FromHexNumber(c->generator), n = FromHexNumber(c->order), h = FromHexNumber(c->cofactor);
    d.setG(g.data(), static_cast<unsigned int>(g.size()));
    d.setN(n.data(), static_cast<unsigned int>(n.size()));
    d.setCofactor(h.data(), static_cast<unsigned int>(h.size()));
    EXPECT_TRUE(d.isValid());
    unsigned char hb[4];
    ASSERT_EQ(d.getH(hb, 4), 1u);
    EXPECT_EQ(hb[0], 2);

    const QvNamedCurveParams *c163 = qvFindNamedCurveParams("sect163r2");
    std::vector<unsigned char> a2 = FromHexNumber(c163->a), b2 = FromHexNumber(c163->b);
    QvE2nDsaKeyDomain e;
    e.setCurvePentanomial(a2.data(), static_cast<unsigned int>(a2.size()), b2.data(),
                          static_cast<unsigned int>(b2.size()), 163, 3, 6, 7);
    EXPECT_EQ(e.getBasisType(), 5);
    unsigned int k1 = 0, k2 = 0, k3 = 0;
    EXPECT_EQ(e.getPentanomial(&m, &k1, &k2, &k3), 0);
    EXPECT_EQ(m, 163u);
    EXPECT_EQ(k1, 3u);
    EXPECT_EQ(k2, 6u);
    EXPECT_EQ(k3, 7u);
    ASSERT_EQ(e.getFieldPolynomial(&m, f, sizeof f), 21u);
    EXPECT_EQ(std::vector<unsigned char>(f, f + 21), FromHexNumber(c163->field));
    std::vector<unsigned char> ga(40);
    ga.resize(e.getA(ga.data(), 40));
    EXPECT_EQ(QvN(ga.data(), static_cast<unsigned int>(ga.size()), 0),
              QvN(a2.data(), static_cast<unsigned int>(a2.size()), 0));
}
