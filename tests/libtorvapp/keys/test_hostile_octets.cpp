// Malformed and hostile octet strings given to domains and keys end in a
// library exception or a well-formed result, never a crash.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvnamedcurveobjects.h"

namespace {

template <class F>
void tolerate(F f) {
    try {
        f();
    } catch (const QvException &) {
    }
}

}  // namespace

TEST(HostileOctets, RandomEncodingsOnEveryKindOfGroup) {
    std::mt19937 rng(12345);
    const char *names[] = {"nistp256", "brainpoolP160r1", "sect163k1", "sect233r1", "nistp521"};
    QvGFpKeyDomain gfp;
    gfp.setP("23");
    gfp.setQ("11");
    gfp.setG("4");
    std::vector<const QvGeneralDsaKeyDomain *> doms;
    for (const char *n : names) doms.push_back(qvFindNamedCurveDomain(n));
    doms.push_back(&gfp);
    for (const QvGeneralDsaKeyDomain *d : doms) {
        QvGeneralDsaPublicKey pub;
        pub.setDomain(d);
        for (unsigned int len = 0; len < 140; ++len) {
            std::vector<unsigned char> v(len);
            for (auto &c : v) c = static_cast<unsigned char>(rng());
            if (len > 0) v[0] = static_cast<unsigned char>(len % 8);  // every form octet 00..07
            tolerate([&] { pub.setH(v.data(), len); });
            tolerate([&] {
                if (pub.isReady()) pub.isValid();
            });
            unsigned char out[200];
            tolerate([&] { pub.get(out, sizeof out); });
        }
    }
}

TEST(HostileOctets, NullPointersAndEmptyStrings) {
    const QvGeneralDsaKeyDomain *d = qvFindNamedCurveDomain("secp256k1");
    QvGeneralDsaPublicKey pub;
    pub.setDomain(d);
    EXPECT_THROW(pub.setH(nullptr, 5), QvException);
    EXPECT_THROW(pub.setH(nullptr, 0), QvException);
    QvGeneralDsaPrivateKey priv;
    priv.setDomain(d);
    priv.set(nullptr, 7);
    EXPECT_TRUE(priv.getX().isZero());
    EXPECT_EQ(priv.getX(nullptr, 10), 0u);
    QvEpDsaKeyDomain ep;
    EXPECT_THROW(ep.setCurve(nullptr, 3, nullptr, 3, nullptr, 3), QvException);
    EXPECT_EQ(ep.getGroup(), nullptr);
    QvE2nDsaKeyDomain e2n;
    EXPECT_THROW(e2n.setCurve(nullptr, 3, nullptr, 3, nullptr, 3), QvException);
    EXPECT_EQ(e2n.getGroup(), nullptr);
    QvGFpKeyDomain g;
    tolerate([&] { g.setP(nullptr, 4); });
    tolerate([&] { g.setQ(nullptr, 4); });
    g.setSeed(nullptr, 4);
    unsigned char s[4];
    EXPECT_EQ(g.getSeed(s, 4), 0u);
    g.setCounter(nullptr, 4);
    EXPECT_EQ(g.getCounter(), 0u);
    QvRsaPublicKey r;
    r.setE(nullptr, 9);
    EXPECT_TRUE(r.getE().isZero());
    EXPECT_EQ(r.getN(nullptr, 100), 0u);
}

TEST(HostileOctets, CompressedPointsOnCofactorCurvesNeedTheSubgroupCheck) {
    // Random x decoded as compressed points: on a curve with cofactor 2 about
    // half of the points that decode lie outside the subgroup of order n.
    std::mt19937 rng(777);
    for (const char *name : {"sect163k1", "sect233k1", "secp112r2"}) {
        SCOPED_TRACE(name);
        const QvGeneralDsaKeyDomain *d = qvFindNamedCurveDomain(name);
        unsigned char g[200];
        const unsigned int gl = d->getGen(g, sizeof g);
        const unsigned int xl = (gl - 1) / 2;
        unsigned int decoded = 0, valid = 0;
        for (int i = 0; i < 60; ++i) {
            std::vector<unsigned char> v(1 + xl);
            v[0] = static_cast<unsigned char>(2 + (rng() & 1));
            for (unsigned int k = 1; k <= xl; ++k) v[k] = static_cast<unsigned char>(rng());
            v[1] &= 0x01;  // keep x below the field size
            QvGeneralDsaPublicKey pub;
            pub.setDomain(d);
            try {
                pub.setH(v.data(), static_cast<unsigned int>(v.size()));
            } catch (const QvException &) {
                EXPECT_EQ(pub.getH(), nullptr);
                continue;
            }
            ++decoded;
            if (pub.isValid()) ++valid;
        }
        EXPECT_GT(decoded, 10u);
        EXPECT_LT(valid, decoded);
    }
}
