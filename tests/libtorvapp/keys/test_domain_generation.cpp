// Generation of prime-field domains from a seed: size refusals, reproducible
// results, the seed-and-counter check and the interrupt callback; the 1024/160
// case against OpenSSL's own generation from the same SEED.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvrbg.h"
#include "tests/libtorvapp/keys/keys_support.h"

namespace {

const unsigned char kSeed[20] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x02, 0x03, 0x04, 0x05};

std::vector<unsigned char> pOf(const QvGFpKeyDomain &d) {
    std::vector<unsigned char> v(600);
    v.resize(d.getP(v.data(), 600));
    return v;
}
std::vector<unsigned char> qOf(const QvGFpKeyDomain &d) {
    std::vector<unsigned char> v(600);
    v.resize(d.getQ(v.data(), 600));
    return v;
}
std::vector<unsigned char> gOf(const QvGFpKeyDomain &d) {
    std::vector<unsigned char> v(600);
    v.resize(d.getG(v.data(), 600));
    return v;
}
std::vector<unsigned char> seedOf(const QvGFpKeyDomain &d) {
    std::vector<unsigned char> v(64);
    v.resize(d.getSeed(v.data(), 64));
    return v;
}

int calls = 0;
int stopWith7(void *) {
    ++calls;
    return 7;
}
int countCalls(void *ctx) {
    ++*static_cast<int *>(ctx);
    return 0;
}

}  // namespace

TEST(DomainGeneration, DsaDomainRefusesAnySizeButTheClassicOne) {
    QvDsaKeyDomain d;
    EXPECT_EQ(d.generate(kSeed, 20, 160, 2048, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 19, 160, 1024, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 20, 224, 1024, nullptr, nullptr), 0);
    QvRbg *rbg = qvRbgCreateObject(QV_RBG_DSS31);
    std::vector<unsigned char> s(20, 7);
    rbg->init(s.data(), 20);
    EXPECT_EQ(d.generate(rbg, 160, 2048, nullptr, nullptr), 0);
    delete rbg;
    // Nothing changed by a refusal.
    EXPECT_FALSE(d.isComplete());
    unsigned char buf[20];
    EXPECT_EQ(d.getSeed(buf, 20), 0u);
}

TEST(DomainGeneration, DhDomainRefusesSmallSizes) {
    QvDhGFpKeyDomain d;
    EXPECT_EQ(d.generate(kSeed, 20, 224, 1000, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 20, 159, 1024, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 19, 160, 1024, nullptr, nullptr), 0);
    EXPECT_FALSE(d.isComplete());
}

TEST(DomainGeneration, GeneralDomainNeedsThirtyTwoBitsBetweenQAndP) {
    QvGFpKeyDomain d;
    EXPECT_EQ(d.generate(kSeed, 20, 160, 191, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 19, 160, 192, nullptr, nullptr), 0);
    // A q of no bits has nothing to search.
    EXPECT_EQ(d.generate(kSeed, 20, 0, 192, nullptr, nullptr), 0);
    EXPECT_EQ(d.generate(kSeed, 20, 160, 192, nullptr, nullptr), 1);
    EXPECT_TRUE(d.isComplete());
    EXPECT_TRUE(d.isValid());
    EXPECT_EQ(d.getP().getBitLength(), 192u);
    EXPECT_EQ(d.getQ().getBitLength(), 160u);
}

TEST(DomainGeneration, TinyQIsBuiltWithThreeBits) {
    QvGFpKeyDomain d;
    ASSERT_EQ(d.generate(kSeed, 20, 1, 64, nullptr, nullptr), 1);
    EXPECT_EQ(d.getQ().getBitLength(), 3u);
    EXPECT_EQ(d.getP().getBitLength(), 66u);
    EXPECT_TRUE(d.isValid());
}

TEST(DomainGeneration, SameSeedGivesSameDomain) {
    QvGFpKeyDomain a, b;
    ASSERT_EQ(a.generate(kSeed, 20, 160, 512, nullptr, nullptr), 1);
    ASSERT_EQ(b.generate(kSeed, 24, 160, 512, nullptr, nullptr), 1);
    EXPECT_EQ(pOf(a), pOf(b));
    EXPECT_EQ(qOf(a), qOf(b));
    EXPECT_EQ(gOf(a), gOf(b));
    EXPECT_EQ(seedOf(a), seedOf(b));
    EXPECT_EQ(a.getCounter(), b.getCounter());
    EXPECT_EQ(seedOf(a).size(), 20u);
}

TEST(DomainGeneration, GeneratedDomainIsSoundAndTamperingIsSeen) {
    QvGFpKeyDomain d;
    ASSERT_EQ(d.generate(kSeed, 20, 160, 512, nullptr, nullptr), 1);
    ASSERT_TRUE(d.isValid());
    // Independent checks with OpenSSL: p and q prime, q | p - 1, g^q = 1, g != 1.
    BIGNUM *p = qvnToBn(d.getP());
    BIGNUM *q = qvnToBn(d.getQ());
    BIGNUM *g = qvnToBn(d.getG());
    BN_CTX *ctx = BN_CTX_new();
    EXPECT_EQ(BN_check_prime(p, ctx, nullptr), 1);
    EXPECT_EQ(BN_check_prime(q, ctx, nullptr), 1);
    BIGNUM *r = BN_new(), *pm1 = BN_dup(p);
    BN_sub_word(pm1, 1);
    BN_mod(r, pm1, q, ctx);
    EXPECT_TRUE(BN_is_zero(r));
    BN_mod_exp(r, g, q, p, ctx);
    EXPECT_TRUE(BN_is_one(r));
    EXPECT_FALSE(BN_is_one(g));
    // Cofactor and group order as the domain stores them.
    BIGNUM *h = BN_new();
    BN_div(h, nullptr, pm1, q, ctx);
    EXPECT_EQ(bnToQvN(h), d.getCofactor());
    EXPECT_EQ(bnToQvN(pm1), static_cast<const QvN &>(d.getGroupOrder()));
    BN_free(h);
    BN_free(r);
    BN_free(pm1);
    BN_free(p);
    BN_free(q);
    BN_free(g);
    BN_CTX_free(ctx);

    std::vector<unsigned char> s = seedOf(d);
    {
        QvGFpKeyDomain t(d);
        EXPECT_TRUE(t.isValid());
        std::vector<unsigned char> bad = s;
        bad[19] ^= 1;
        t.setSeed(bad.data(), 20);
        EXPECT_FALSE(t.isValid());
    }
    {
        QvGFpKeyDomain t(d);
        unsigned char c[4];
        unsigned int n = t.getCounter(c, 4);
        QvN cn(c, n, 0);
        cn += 1u;
        unsigned char c2[4];
        n = cn.asOctetString(c2, 4);
        t.setCounter(c2, n);
        EXPECT_FALSE(t.isValid());
    }
    {
        QvGFpKeyDomain t(d);
        t.setG("1");
        EXPECT_FALSE(t.isValid());
        EXPECT_FALSE(t.isComplete());
        t.setG("-1");  // p - 1
        EXPECT_FALSE(t.isValid());
    }
    {
        // A domain filled from p, q and g only (no seed) is not valid.
        QvGFpKeyDomain t;
        std::vector<unsigned char> pv = pOf(d), qv = qOf(d), gv = gOf(d);
        t.setP(pv.data(), static_cast<unsigned int>(pv.size()));
        t.setQ(qv.data(), static_cast<unsigned int>(qv.size()));
        t.setG(gv.data(), static_cast<unsigned int>(gv.size()));
        EXPECT_TRUE(t.isComplete());
        EXPECT_FALSE(t.isValid());
        t.setSeedAndCounter(s.data(), 20, nullptr, 0);
        unsigned char c[4];
        unsigned int n = d.getCounter(c, 4);
        t.setCounter(c, n);
        // With the seed and counter of its generation it checks out again.
        EXPECT_TRUE(t.isValid());
    }
}

TEST(DomainGeneration, InterruptStopsBeforeTheFirstQIsTested) {
    QvGFpKeyDomain d;
    calls = 0;
    try {
        d.generate(kSeed, 20, 160, 512, stopWith7, nullptr);
        FAIL() << "no exception";
    } catch (const QvInterruptException &e) {
        EXPECT_EQ(e.getCode(), 7u);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(reasonOf(e.what()), "function terminated by user or application");
        EXPECT_EQ(firstLines(e.what(), 3),
                  "LIBRARY: libtorvapp\nEXCEPTION: QvInterruptException\nREASON: function terminated by user or "
                  "application\n");
        EXPECT_NE(std::string(e.what()).find("FILE: qvgfpkeydomain\n"), std::string::npos);
    }
    // The seed buffer holds the SEED tried.
    EXPECT_EQ(seedOf(d), std::vector<unsigned char>(kSeed, kSeed + 20));

    // A complete domain interrupted while it is regenerated is no longer complete.
    QvGFpKeyDomain e;
    ASSERT_EQ(e.generate(kSeed, 20, 160, 256, nullptr, nullptr), 1);
    ASSERT_TRUE(e.isComplete());
    const unsigned char other[20] = {42};
    EXPECT_THROW(e.generate(other, 20, 160, 256, stopWith7, nullptr), QvInterruptException);
    EXPECT_FALSE(e.isComplete());
    EXPECT_FALSE(e.isValid());
    EXPECT_THROW(e.generateGFpKeyDomain(nullptr, 160, 256, nullptr, nullptr), QvArgumentRangeException);
}

TEST(DomainGeneration, InterruptCallbackIsCalledAndZeroLetsItRun) {
    QvGFpKeyDomain d;
    int n = 0;
    ASSERT_EQ(d.generate(kSeed, 20, 160, 256, countCalls, &n), 1);
    EXPECT_GE(n, 1);
    EXPECT_TRUE(d.isValid());
}

TEST(DomainGeneration, DsaDomainMatchesOpenSslFromTheSameSeed) {
    QvDsaKeyDomain d;
    ASSERT_EQ(d.generate(kSeed, 20, 160, 1024, nullptr, nullptr), 1);
    EXPECT_TRUE(d.isValid());
    EXPECT_LT(d.getCounter(), 4096u);
    EXPECT_EQ(d.getP().getBitLength(), 1024u);
    EXPECT_EQ(d.getQ().getBitLength(), 160u);
    std::vector<unsigned char> s = seedOf(d);
    ASSERT_EQ(s.size(), 20u);

    // The SEED q came from is prime at the first try, so OpenSSL's FIPS 186-2
    // generation from it must reach the same p, q, g and counter.
    DSA *dsa = DSA_new();
    int counter = -1;
    unsigned long h = 0;
    ASSERT_EQ(DSA_generate_parameters_ex(dsa, 1024, s.data(), 20, &counter, &h, nullptr), 1);
    const BIGNUM *p, *q, *g;
    DSA_get0_pqg(dsa, &p, &q, &g);
    EXPECT_EQ(bnOctets(p), pOf(d));
    EXPECT_EQ(bnOctets(q), qOf(d));
    EXPECT_EQ(bnOctets(g), gOf(d));
    EXPECT_EQ(static_cast<unsigned int>(counter), d.getCounter());

    // OpenSSL's parameter check on our p, q, g.
    DSA *ours = DSA_new();
    DSA_set0_pqg(ours, qvnToBn(d.getP()), qvnToBn(d.getQ()), qvnToBn(d.getG()));
    EVP_PKEY *pk = EVP_PKEY_new();
    EVP_PKEY_assign_DSA(pk, ours);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pk, nullptr);
    EXPECT_EQ(EVP_PKEY_param_check(ctx), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pk);
    DSA_free(dsa);
}

TEST(DomainGeneration, DhDomainWithLargeQGenerates) {
    QvDhGFpKeyDomain d;
    ASSERT_EQ(d.generate(kSeed, 20, 224, 2048, nullptr, nullptr), 1);
    EXPECT_EQ(d.getType(), 5);
    EXPECT_EQ(d.getP().getBitLength(), 2048u);
    EXPECT_EQ(d.getQ().getBitLength(), 224u);
    EXPECT_TRUE(d.isValid());
    EXPECT_LT(d.getCounter(), 8192u);
}

TEST(DomainGeneration, RbgSeedIsTwentyOctetsFromTheGenerator) {
    QvRbg *rbg = qvRbgCreateObject(QV_RBG_DSS31);
    std::vector<unsigned char> s(20, 0x5a);
    rbg->init(s.data(), 20);
    QvRbg *twin = qvRbgCreateObject(QV_RBG_DSS31);
    twin->init(s.data(), 20);
    unsigned char expect[20];
    twin->fillOctets(expect, 20);
    QvGFpKeyDomain d, e;
    ASSERT_EQ(d.generate(rbg, 160, 256, nullptr, nullptr), 1);
    ASSERT_EQ(e.generate(expect, 20, 160, 256, nullptr, nullptr), 1);
    EXPECT_EQ(pOf(d), pOf(e));
    EXPECT_EQ(gOf(d), gOf(e));
    delete rbg;
    delete twin;
}

namespace {

// The values of the published example, by name.
std::string kat(const std::string &key) {
    static const testsupport::Record example =
        testsupport::ReadRecords(testsupport::DataFile("fips186_2_dsa_example.txt")).at(0);
    const auto it = example.find(key);
    return it == example.end() ? std::string() : it->second;
}

}  // namespace

TEST(DomainGeneration, ReproducesThePublishedDsaExample) {
    const std::vector<unsigned char> seed = FromHexNumber(kat("seed"));
    ASSERT_EQ(seed.size(), 20u);
    QvGFpKeyDomain d;
    ASSERT_EQ(d.generate(seed.data(), 20, 160, 512, nullptr, nullptr), 1);
    EXPECT_EQ(seedOf(d), seed);
    EXPECT_EQ(d.getCounter(), static_cast<unsigned int>(std::stoul(kat("counter"))));
    EXPECT_EQ(pOf(d), FromHexNumber(kat("p")));
    EXPECT_EQ(qOf(d), FromHexNumber(kat("q")));
    EXPECT_EQ(gOf(d), FromHexNumber(kat("g")));
    EXPECT_TRUE(d.isValid());

    // The same values set by hand check out against seed and counter.
    QvGFpKeyDomain t;
    t.setP(("0x" + kat("p")).c_str());
    t.setQ(("0x" + kat("q")).c_str());
    t.setG(("0x" + kat("g")).c_str());
    t.setSeedAndCounter(kat("seed").c_str(), kat("counter").c_str());
    EXPECT_TRUE(t.isValid());
    t.setCounter("104");
    EXPECT_FALSE(t.isValid());
}
