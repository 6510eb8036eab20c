// Montgomery and special-prime kernels against long division (QvN) and
// OpenSSL's BIGNUM.
#include <gtest/gtest.h>

#include <vector>

#include "libtorvapp/qvnumbers/montgomery.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

namespace {

typedef void (*FixedMul)(QvWord *, const QvWord *, const QvWord *, const QvWord *, QvWord);
typedef void (*FixedSqr)(QvWord *, const QvWord *, const QvWord *, QvWord);

struct FixedRow {
    QvWordLen n;
    FixedMul mul, mulSparse;
    FixedSqr sqr, sqrSparse;
};

const FixedRow kFixed[] = {
    {3, longvMontMul3, longvMontMulSparse3, longvMontSqr3, longvMontSqrSparse3},
    {4, longvMontMul4, longvMontMulSparse4, longvMontSqr4, longvMontSqrSparse4},
    {5, longvMontMul5, longvMontMulSparse5, longvMontSqr5, longvMontSqrSparse5},
    {6, longvMontMul6, longvMontMulSparse6, longvMontSqr6, longvMontSqrSparse6},
    {7, longvMontMul7, longvMontMulSparse7, longvMontSqr7, longvMontSqrSparse7},
    {8, longvMontMul8, longvMontMulSparse8, longvMontSqr8, longvMontSqrSparse8},
    {12, longvMontMul12, longvMontMulSparse12, longvMontSqr12, longvMontSqrSparse12},
    {16, longvMontMul16, longvMontMulSparse16, longvMontSqr16, longvMontSqrSparse16},
};

QvWord muOf(const QvN &m) {
    QvWord mu = 0;
    QvWord w = m.getLowestWord();
    EXPECT_EQ(wordMontInverse(&w, &mu), 0u);
    return mu;
}

std::vector<QvWord> wordsOf(const QvN &x, QvWordLen n) {
    std::vector<QvWord> w(n, 0);
    for (unsigned i = 0; i < x.getWordCount() && i < n; ++i) w[i] = x.getWords()[i];
    return w;
}

// a * b * R^-1 mod m by long division: (a * b * (R^-1 mod m)) mod m with
// R^-1 found as the modular inverse through OpenSSL.
QvN expected(const QvN &a, const QvN &b, const QvN &m, QvWordLen n) {
    BnCtx ctx(BN_CTX_new());
    Bn r = toBn(QvN(1u, 1) << (32 * n));
    Bn mm = toBn(m);
    Bn rinv(BN_mod_inverse(nullptr, r.get(), mm.get(), ctx.get()));
    QvN ri = fromBn(rinv.get());
    return (a * b % m) * ri % m;
}

}  // namespace

TEST(MontgomeryKernels, FixedSizesMatchLongDivisionIncludingTheFinalSubtraction) {
    Source src(11);
    for (const FixedRow &row : kFixed) {
        const QvWordLen n = row.n;
        for (int round = 0; round < 60; ++round) {
            QvN m = src.odd(32 * n);
            if (round % 3 == 0) {
                // Sparse shape: m = c * 2^(32(n-1)) + d.
                std::vector<QvWord> w(n, 0);
                w[0] = src.word() | 1;
                w[n - 1] = src.word() | 0x80000001u;
                m = QvN(w.data(), n);
            }
            const QvWord mu = muOf(m);
            QvN a = src.below(m), b = src.below(m);
            if (round == 1) a = b = m - 1u;  // forces the final subtraction
            if (round == 2) a = QvN();
            std::vector<QvWord> aw = wordsOf(a, n), bw = wordsOf(b, n), mw = wordsOf(m, n), r(2 * n);
            const QvN want = expected(a, b, m, n);
            row.mul(r.data(), aw.data(), bw.data(), mw.data(), mu);
            EXPECT_EQ(hexOf(QvN(r.data(), n)), hexOf(want)) << "n=" << n << " round " << round;
            row.sqr(r.data(), aw.data(), mw.data(), mu);
            EXPECT_EQ(hexOf(QvN(r.data(), n)), hexOf(expected(a, a, m, n))) << "n=" << n;
            if (round % 3 == 0) {
                row.mulSparse(r.data(), aw.data(), bw.data(), mw.data(), mu);
                EXPECT_EQ(hexOf(QvN(r.data(), n)), hexOf(want)) << "sparse n=" << n;
                row.sqrSparse(r.data(), aw.data(), mw.data(), mu);
                EXPECT_EQ(hexOf(QvN(r.data(), n)), hexOf(expected(a, a, m, n))) << "sparse n=" << n;
            }
        }
    }
}

TEST(MontgomeryKernels, GeneralLengthsAndTheWideFormAgreeModuloM) {
    Source src(12);
    for (QvWordLen n : {1u, 2u, 9u, 11u, 13u, 17u, 31u, 32u, 33u, 64u, 65u, 96u, 128u}) {
        for (int round = 0; round < 8; ++round) {
            QvN m = src.odd(32 * n - (round % 2));
            const QvWord mu = muOf(m);
            QvN a = src.below(m), b = src.below(m);
            if (round == 0) a = b = m - 1u;
            std::vector<QvWord> aw = wordsOf(a, n), bw = wordsOf(b, n), mw = wordsOf(m, n), r(n), t(2 * n);
            const QvN want = expected(a, b, m, n);
            longvMontMul(r.data(), aw.data(), bw.data(), mw.data(), mu, n);
            EXPECT_EQ(hexOf(QvN(r.data(), n)), hexOf(want)) << "n=" << n;
            longvMontSqr(t.data(), aw.data(), mw.data(), mu, n);
            EXPECT_EQ(hexOf(QvN(t.data(), n)), hexOf(expected(a, a, m, n))) << "n=" << n;
            // Wide: n+1 words, operands up to 2m - 1, results below 2m.
            const QvWordLen w = n + 1;
            QvN a2 = a + m, b2 = round == 0 ? m + m - 1u : b;
            std::vector<QvWord> aw2 = wordsOf(a2, w), bw2 = wordsOf(b2, w), mw2 = wordsOf(m, w), r2(w), t2(2 * w);
            longvMontMulWide(r2.data(), aw2.data(), bw2.data(), mw2.data(), mu, w);
            QvN got(r2.data(), w);
            EXPECT_LT(got, m + m);
            EXPECT_EQ(hexOf(got % m), hexOf(expected(a2 % m, b2 % m, m, w)));
            longvMontSqrWide(t2.data(), aw2.data(), mw2.data(), mu, w);
            QvN gotSq(t2.data(), w);
            EXPECT_LT(gotSq, m + m);
            EXPECT_EQ(hexOf(gotSq % m), hexOf(expected(a2 % m, a2 % m, m, w)));
        }
    }
}

TEST(MontgomeryKernels, LeavingTheFormAndTheAllocatingReduction) {
    Source src(13);
    for (QvWordLen n : {1u, 3u, 8u, 33u, 64u}) {
        QvN m = src.odd(32 * n);
        std::vector<QvWord> mw = wordsOf(m, n), r(n);
        QvN rmod = (QvN(1u, 1) << (32 * n)) % m;
        std::vector<QvWord> rw = wordsOf(rmod, n);
        longvFromMontgomery(r.data(), rw.data(), mw.data(), n);
        EXPECT_EQ(QvN(r.data(), n), 1u);
        std::vector<QvWord> zero(n, 0);
        longvFromMontgomery(r.data(), zero.data(), mw.data(), n);
        EXPECT_EQ(QvN(r.data(), n), 0u);
        // x of 2n words below m*R.
        QvN x = src.below(m * (QvN(1u, 1) << (32 * n)));
        std::vector<QvWord> xw = wordsOf(x, 2 * n), out(n + 3, 0xAAAAAAAAu);
        QvWord mu = muOf(m);
        ASSERT_EQ(longvMontRedcAlloc(xw.data(), 2 * n, mw.data(), n, &mu, out.data(), n + 3), 0u);
        EXPECT_EQ(hexOf(QvN(out.data(), n + 3)), hexOf(expected(x % m, QvN(1u, 1), m, n)));
    }
}

TEST(MontgomeryKernels, WordInverse) {
    QvWord mu = 0x1234;
    QvWord w = 1;
    EXPECT_EQ(wordMontInverse(&w, &mu), 0u);
    EXPECT_EQ(mu, 0xFFFFFFFFu);
    w = 3;
    EXPECT_EQ(wordMontInverse(&w, &mu), 0u);
    EXPECT_EQ((QvWord)(3u * mu), 0xFFFFFFFFu);
    mu = 77;
    w = 0;
    EXPECT_EQ(wordMontInverse(&w, &mu), 8u);
    w = 2;
    EXPECT_EQ(wordMontInverse(&w, &mu), 7u);
    EXPECT_EQ(mu, 77u);
    for (QvWord v = 1; v < 200000; v += 2) {
        ASSERT_EQ(wordMontInverse(&v, &mu), 0u);
        ASSERT_EQ((QvWord)(v * mu), 0xFFFFFFFFu);
    }
}

namespace {

struct SpecialRow {
    const char *name;
    const QvWord *prime;
    QvWordLen k;
    void (*reduce)(QvWord *);
    void (*mul)(QvWord *, const QvWord *, const QvWord *);
    void (*sqr)(QvWord *, const QvWord *);
};

const SpecialRow kSpecialRows[] = {
    {"P-160", QV_PRIME_P160, 5, longvModP160, longvMulModP160, longvSqrModP160},
    {"P-192", QV_PRIME_P192, 6, longvModP192, longvMulModP192, longvSqrModP192},
    {"P-224", QV_PRIME_P224, 7, longvModP224, longvMulModP224, longvSqrModP224},
    {"P-256", QV_PRIME_P256, 8, longvModP256, longvMulModP256, longvSqrModP256},
    {"P-384", QV_PRIME_P384, 12, longvModP384, longvMulModP384, longvSqrModP384},
    {"P-521", QV_PRIME_P521, 17, longvModP521, longvMulModP521, longvSqrModP521},
};

// The product buffer of t words (34 for P-521) holding x.
std::vector<QvWord> productBuffer(const QvN &x, QvWordLen k) { return wordsOf(x, k == 17 ? 34 : 2 * k); }

}  // namespace

// The primes as published: FIPS 186-4 appendix D (P-192 .. P-521) and SEC 2
// (secp160r1).
TEST(SpecialPrimes, TablesHoldThePublishedPrimes) {
    const char *hex[] = {
        "ffffffffffffffffffffffffffffffff7fffffff",
        "fffffffffffffffffffffffffffffffeffffffffffffffff",
        "ffffffffffffffffffffffffffffffff000000000000000000000001",
        "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff0000000000000000ffffffff",
        nullptr,  // 2^521 - 1: "1" and 130 digits f, below
    };
    for (int i = 0; i < 6; ++i) {
        const SpecialRow &row = kSpecialRows[i];
        const std::string want = hex[i] != nullptr ? std::string(hex[i]) : "1" + std::string(130, 'f');
        EXPECT_EQ(hexOf(QvN(row.prime, row.k)), want) << row.name;
    }
}

TEST(SpecialPrimes, ReductionsOfTheEdgeProducts) {
    for (const SpecialRow &row : kSpecialRows) {
        const QvN p(row.prime, row.k);
        const QvN pm1 = p - 1u;
        std::vector<QvWord> t = productBuffer(pm1 * pm1, row.k);
        row.reduce(t.data());
        EXPECT_EQ(QvN(t.data(), row.k), 1u) << row.name << " (p-1)^2";
        t = productBuffer(QvN(), row.k);
        row.reduce(t.data());
        EXPECT_EQ(QvN(t.data(), row.k), 0u) << row.name << " 0";
        t = productBuffer(pm1 * 2u, row.k);
        row.reduce(t.data());
        EXPECT_EQ(QvN(t.data(), row.k), p - 2u) << row.name << " 2(p-1)";
        // The largest buffer value of all ones above, a product's worst case
        // for the carry folding.
        QvN big = (QvN(1u, 1) << (32 * row.k)) - 1u;
        QvN prod = big * big;
        if (row.k == 17) prod = pm1 * pm1;
        t = productBuffer(prod, row.k);
        row.reduce(t.data());
        EXPECT_EQ(hexOf(QvN(t.data(), row.k)), hexOf(prod % p)) << row.name << " all ones";
    }
}

TEST(SpecialPrimes, P521IgnoresItsTopWordAndFoldsTwoToThe521) {
    std::vector<QvWord> t = productBuffer(QvN(1u, 1) << 521, 17);
    t[33] = 0xDEADBEEF;  // never read
    longvModP521(t.data());
    EXPECT_EQ(QvN(t.data(), 17), 1u);
}

TEST(SpecialPrimes, P160CarriesOfAllOnesHighWords) {
    QvN p(QV_PRIME_P160, 5);
    std::vector<QvWord> t(10, 0xFFFFFFFFu);
    for (int i = 0; i < 5; ++i) t[i] = 0;
    QvN x(t.data(), 10);
    longvModP160(t.data());
    EXPECT_EQ(hexOf(QvN(t.data(), 5)), hexOf(x % p));
}

TEST(SpecialPrimes, RandomProductsMatchOpenSSL) {
    Source src(14);
    BnCtx ctx(BN_CTX_new());
    for (const SpecialRow &row : kSpecialRows) {
        const QvN p(row.prime, row.k);
        Bn bp = toBn(p);
        for (int i = 0; i < 2000; ++i) {
            QvN a = src.below(p), b = src.below(p);
            if (i < 4) a = p - 1u - QvN(i, 1);
            std::vector<QvWord> aw = wordsOf(a, row.k), bw = wordsOf(b, row.k), r(row.k == 17 ? 34 : 2 * row.k);
            Bn ba = toBn(a), bb = toBn(b), want = newBn();
            BN_mod_mul(want.get(), ba.get(), bb.get(), bp.get(), ctx.get());
            row.mul(r.data(), aw.data(), bw.data());
            ASSERT_EQ(hexOf(QvN(r.data(), row.k)), hexOf(want.get())) << row.name;
            BN_mod_mul(want.get(), ba.get(), ba.get(), bp.get(), ctx.get());
            row.sqr(r.data(), aw.data());
            ASSERT_EQ(hexOf(QvN(r.data(), row.k)), hexOf(want.get())) << row.name;
        }
    }
}
