// Differential tests against OpenSSL's BIGNUM (an independent implementation,
// used here only as the reference): random operands of 1 to 130 words.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/libtorvapp/numbers/words.h"

namespace {

// Sanitizer builds check memory use, not arithmetic, and run several times
// slower: they take a fifth of the cases.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NUMBERS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NUMBERS_SANITIZED 1
#endif
#endif
#ifdef NUMBERS_SANITIZED
const int kCases = 2000;
#else
const int kCases = 10000;
#endif
const QvWordLen kMaxWords = 130;

// A fixed seed by default; NUMBERS_SEED in the environment picks another.
std::uint64_t testSeed(std::uint64_t base) {
    const char *s = std::getenv("NUMBERS_SEED");
    return s != nullptr ? std::strtoull(s, nullptr, 0) : base;
}

struct BnDel {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
typedef std::unique_ptr<BIGNUM, BnDel> Bn;
struct CtxDel {
    void operator()(BN_CTX *c) const { BN_CTX_free(c); }
};

Bn toBn(const QvWord *a, QvWordLen n) {
    std::string oct(4 * (size_t)n, '\0');
    for (QvWordLen i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k) oct[4 * (n - 1 - i) + (3 - k)] = (char)(a[i] >> (8 * k));
    return Bn(BN_bin2bn((const unsigned char *)oct.data(), (int)oct.size(), nullptr));
}
Bn toBn(const Words &w) { return toBn(w.data(), (QvWordLen)w.size()); }

// The number as n words (the BIGNUM must fit).
Words fromBn(const BIGNUM *b, QvWordLen n) {
    std::string oct(4 * (size_t)n, '\0');
    EXPECT_GE(BN_bn2binpad(b, (unsigned char *)&oct[0], (int)oct.size()), 0);
    Words w(n, 0);
    for (QvWordLen i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k) w[i] |= (QvWord)(unsigned char)oct[4 * (n - 1 - i) + (3 - k)] << (8 * k);
    return w;
}

QvWordLen randLen(std::mt19937_64 &rng) { return 1 + (QvWordLen)(rng() % kMaxWords); }

class VsOpenssl : public ::testing::Test {
protected:
    std::unique_ptr<BN_CTX, CtxDel> ctx{BN_CTX_new()};
};

#define SEED_INFO(seed, it) "seed " << (seed) << " case " << (it)

}  // namespace

TEST_F(VsOpenssl, AdditionSubtractionAndComparison) {
    const std::uint64_t seed = testSeed(0x5eed0001);
    std::mt19937_64 rng(seed);
    for (int it = 0; it < kCases; ++it) {
        QvWordLen na = randLen(rng), nb = 1 + (QvWordLen)(rng() % na);
        Words a = randomWords(rng, na), b = randomWords(rng, nb);
        Bn A = toBn(a), B = toBn(b), S(BN_new());
        Words r(na + 1);
        QvWord c = longvAdd3(a.data(), na, b.data(), nb, 0, r.data(), na + 1);
        BN_add(S.get(), A.get(), B.get());
        r[na] += c;
        ASSERT_EQ(r, fromBn(S.get(), na + 1)) << SEED_INFO(seed, it);
        int cmp = longvCmpExt(a.data(), na, b.data(), nb);
        ASSERT_EQ(cmp, BN_cmp(A.get(), B.get())) << SEED_INFO(seed, it);
        if (cmp >= 0) {
            Words d(na);
            ASSERT_EQ(longvSub3(a.data(), na, b.data(), nb, 0, d.data(), na), 0u);
            BN_sub(S.get(), A.get(), B.get());
            ASSERT_EQ(d, fromBn(S.get(), na)) << SEED_INFO(seed, it);
        }
    }
}

TEST_F(VsOpenssl, MultiplicationAndSquaring) {
    const std::uint64_t seed = testSeed(0x5eed0002);
    std::mt19937_64 rng(seed);
    Bn R(BN_new());
    for (int it = 0; it < kCases; ++it) {
        QvWordLen na = randLen(rng), nb = (it % 3 == 0) ? na : randLen(rng);
        Words a = randomWords(rng, na), b = randomWords(rng, nb);
        const Words a0 = a, b0 = b;
        Bn A = toBn(a), B = toBn(b);
        BN_mul(R.get(), A.get(), B.get(), ctx.get());
        const Words ref = fromBn(R.get(), na + nb);
        Words r(na + nb);
        longvMul(r.data(), a.data(), na, b.data(), nb);
        ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        QvWord of = longvMulKaratsuba(a.data(), na, b.data(), nb, r.data(), na + nb);
        ASSERT_EQ(of, 0u);
        ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        ASSERT_EQ(a, a0);
        ASSERT_EQ(b, b0);
        if (na == nb) {
            longvMulKaratsubaBuf(a.data(), b.data(), r.data(), na);
            ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        }
        BN_sqr(R.get(), A.get(), ctx.get());
        const Words sq = fromBn(R.get(), 2 * na);
        Words s(2 * na);
        longvSqr(s.data(), a.data(), na);
        ASSERT_EQ(s, sq) << SEED_INFO(seed, it);
        longvSqrKaratsubaBuf(a.data(), s.data(), na);
        ASSERT_EQ(s, sq) << SEED_INFO(seed, it);
        longvSqrHalving(a.data(), s.data(), na);
        ASSERT_EQ(s, sq) << SEED_INFO(seed, it);
        ASSERT_EQ(a, a0);
    }
}

TEST_F(VsOpenssl, DivisionAndRemainder) {
    const std::uint64_t seed = testSeed(0x5eed0003);
    std::mt19937_64 rng(seed);
    Bn Q(BN_new()), R(BN_new()), T(BN_new());
    for (int it = 0; it < kCases; ++it) {
        QvWordLen nx = randLen(rng), nm = 1 + (QvWordLen)(rng() % nx);
        Words x = randomWords(rng, nx), m = randomWords(rng, nm);
        if (longvIsZero(m.data(), nm)) m[0] = 1 + (QvWord)(rng() % 5);
        const Words x0 = x, m0 = m;
        Bn X = toBn(x), M = toBn(m);
        ASSERT_TRUE(BN_div(Q.get(), R.get(), X.get(), M.get(), ctx.get()));
        Words q(nx + 2, 0);
        QvWordLen nq = 0;
        longvDivClassical(x.data(), nx, m.data(), nm, q.data(), &nq);
        ASSERT_EQ(m, m0);
        ASSERT_EQ(x, fromBn(R.get(), nx)) << SEED_INFO(seed, it);
        ASSERT_EQ(nq, (QvWordLen)((BN_num_bits(Q.get()) + 31) / 32)) << SEED_INFO(seed, it);
        if (nq > 0) {
            ASSERT_EQ(Words(q.begin(), q.begin() + nq), fromBn(Q.get(), nq)) << SEED_INFO(seed, it);
        }
        // q*m + r == x and r < m, by our own kernels as well
        Words back(nx + nm + 2, 0);
        if (nq > 0) longvMul(back.data(), q.data(), nq, m.data(), nm);
        longvAddExt(back.data(), nx + nm + 2, x.data(), nx, 0);
        ASSERT_EQ(longvCmpExt(back.data(), nx + nm + 2, x0.data(), nx), 0) << SEED_INFO(seed, it);
        ASSERT_LT(longvCmpExt(x.data(), nx, m.data(), nm), 0);
        // remainder only
        Words y = x0, c(nm);
        longvModClassical(y.data(), nx, m.data(), nm, c.data(), nm);
        ASSERT_EQ(y, x) << SEED_INFO(seed, it);
        ASSERT_EQ(c, Words(x.begin(), x.begin() + nm));
    }
}

TEST_F(VsOpenssl, BarrettAndPowerTableReduction) {
    const std::uint64_t seed = testSeed(0x5eed0004);
    std::mt19937_64 rng(seed);
    Bn R(BN_new());
    for (int it = 0; it < kCases / 10; ++it) {
        QvWordLen n = 1 + (QvWordLen)(rng() % 64);
        Words m = randomWords(rng, n);
        m[n - 1] |= 1;
        Words x = randomWords(rng, 2 * n);
        Bn X = toBn(x), M = toBn(m);
        BN_mod(R.get(), X.get(), M.get(), ctx.get());
        const Words ref = fromBn(R.get(), n);
        Words mu(n + 1), r(n);
        QvRet ret = longvBarrettMu(mu.data(), m.data(), n);
        if (ret == 0) {
            ASSERT_EQ(longvModBarrett(x.data(), 2 * n, m.data(), n, mu.data(), r.data(), n), 0u);
            ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        }
        Words table((n - 1) * n + 1);
        ASSERT_EQ(longvPowTable(table.data(), m.data(), n), 0u);
        ASSERT_EQ(longvModPowTable(x.data(), 2 * n, m.data(), n, table.data(), r.data(), n), 0u);
        ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
    }
}

TEST_F(VsOpenssl, GreatestCommonDivisor) {
    const std::uint64_t seed = testSeed(0x5eed0005);
    std::mt19937_64 rng(seed);
    Bn G(BN_new()), F(BN_new());
    for (int it = 0; it < kCases; ++it) {
        QvWordLen na = randLen(rng), nb = randLen(rng);
        Words a = randomWords(rng, na), b = randomWords(rng, nb);
        // a shared factor half of the time
        if (it % 2 == 0) {
            QvWordLen nf = 1 + (QvWordLen)(rng() % 8);
            Words f = randomWords(rng, nf);
            Words fa(na + nf), fb(nb + nf);
            longvMul(fa.data(), a.data(), na, f.data(), nf);
            longvMul(fb.data(), b.data(), nb, f.data(), nf);
            a = fa;
            b = fb;
            na += nf;
            nb += nf;
        }
        Bn A = toBn(a), B = toBn(b);
        BN_gcd(G.get(), A.get(), B.get(), ctx.get());
        const QvWordLen n = na > nb ? na : nb;
        const Words ref = fromBn(G.get(), n);
        Words r(n, 0xEEEEEEEE);
        longvGcdBinary(a.data(), na, b.data(), nb, r.data(), n);
        ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        if (it % 4 == 0) {  // the repeated-remainder form is slower
            longvGcdEuclid(a.data(), na, b.data(), nb, r.data(), n);
            ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        }
        if (it % 2 == 1) {
            ASSERT_EQ(longvCoprime(a.data(), na, b.data(), nb), BN_is_one(G.get()) ? 1 : 0) << SEED_INFO(seed, it);
        }
    }
}

TEST_F(VsOpenssl, ModularInverses) {
    const std::uint64_t seed = testSeed(0x5eed0006);
    std::mt19937_64 rng(seed);
    Bn I(BN_new());
    for (int it = 0; it < kCases; ++it) {
        QvWordLen n = randLen(rng);
        Words m = randomWords(rng, n), a = randomWords(rng, n);
        if (it % 2 == 0) m[0] |= 1;  // odd moduli, as for primes and RSA moduli
        if (longvIsZero(m.data(), n) || longvIsOne(m.data(), n)) m[0] = 0x10001;
        if (longvIsZero(a.data(), n)) a[0] = 3;
        if (longvCmp(a.data(), m.data(), n) >= 0) longvMod(a.data(), n, m.data(), n);
        if (longvIsZero(a.data(), n)) a[0] = 1;
        Bn A = toBn(a), M = toBn(m);
        ERR_set_mark();
        BIGNUM *ok = BN_mod_inverse(I.get(), A.get(), M.get(), ctx.get());
        ERR_pop_to_mark();
        const Words ref = ok ? fromBn(I.get(), n) : Words();
        const Words a0 = a, m0 = m;

        Words r(n, 0xEEEEEEEE);
        int tc = longvInverseBinaryTc(r.data(), a.data(), m.data(), n);
        ASSERT_EQ(tc, ok ? 0 : 1) << SEED_INFO(seed, it);
        if (ok) {
            ASSERT_EQ(r, ref) << SEED_INFO(seed, it);
        }

        Words s(n, 0xEEEEEEEE);
        QvRet sm = longvInverseBinarySm(a.data(), a.size(), m.data(), n, s.data(), n);
        ASSERT_EQ(sm, ok ? 0u : 7u) << SEED_INFO(seed, it);
        if (ok) {
            ASSERT_EQ(s, ref) << SEED_INFO(seed, it);
        }

        // The Stein forms take one step per bit over the full length: a
        // quarter of the cases each (any modulus, then odd moduli only).
        if (it % 4 == 1) {
            Words st(n, 0xEEEEEEEE);
            QvRet rs = longvInverseStein(a.data(), n, m.data(), n, st.data());
            ASSERT_EQ(rs, ok ? 0u : 7u) << SEED_INFO(seed, it);
            if (ok) {
                ASSERT_EQ(st, ref) << SEED_INFO(seed, it);
            }
        }
        if (it % 4 == 2) {
            Words so(n, 0xEEEEEEEE);
            QvRet ro = longvInverseSteinOddModulus(a.data(), n, m.data(), n, so.data());
            ASSERT_EQ(ro, ok ? 0u : 7u) << SEED_INFO(seed, it);
            if (ok) {
                ASSERT_EQ(so, ref) << SEED_INFO(seed, it);
            }
        }
        if (it % 4 == 0) {  // one division per step: the slowest of them
            Words eu(n, 0xEEEEEEEE);
            QvRet re = longInverseEuclid(a.data(), n, m.data(), n, eu.data(), n);
            ASSERT_EQ(re, ok ? 0u : 7u) << SEED_INFO(seed, it);
            if (ok) {
                ASSERT_EQ(eu, ref) << SEED_INFO(seed, it);
            }
        }
        ASSERT_EQ(a, a0);
        ASSERT_EQ(m, m0);
    }
}

TEST_F(VsOpenssl, Shifts) {
    const std::uint64_t seed = testSeed(0x5eed0007);
    std::mt19937_64 rng(seed);
    Bn R(BN_new());
    for (int it = 0; it < kCases; ++it) {
        QvWordLen n = randLen(rng);
        Words a = randomWords(rng, n);
        QvWordLen bits = (QvWordLen)(rng() % (32 * n + 1));
        Bn A = toBn(a);
        Words r = a;
        longvShrBits(r.data(), n, bits);
        BN_rshift(R.get(), A.get(), (int)bits);
        ASSERT_EQ(r, fromBn(R.get(), n)) << SEED_INFO(seed, it);
        r = a;
        longvShlBits(r.data(), n, bits);
        BN_lshift(R.get(), A.get(), (int)bits);
        BN_mask_bits(R.get(), (int)(32 * n));
        ASSERT_EQ(r, fromBn(R.get(), n)) << SEED_INFO(seed, it);
        ASSERT_EQ(longvTopBit(a.data(), n), BN_num_bits(A.get()) - 1);
    }
}

TEST_F(VsOpenssl, TextConversion) {
    const std::uint64_t seed = testSeed(0x5eed0008);
    std::mt19937_64 rng(seed);
    for (int it = 0; it < kCases; ++it) {
        QvWordLen n = randLen(rng);
        Words a = randomWords(rng, n);
        Bn A = toBn(a);
        char *dec = BN_bn2dec(A.get());
        char *hex = BN_bn2hex(A.get());
        std::string buf(32 * n / 3 + 3, '\0');
        longvToOctal(&buf[0], a.data(), n);
        octalToDecimalText(&buf[0]);
        ASSERT_EQ(std::string(buf.c_str()), dec) << SEED_INFO(seed, it);
        Words back(n + 2, 0);
        QvWordLen nd = longvFromDecimal(back.data(), dec);
        ASSERT_EQ(longvCmpExt(back.data(), nd, a.data(), n), 0) << SEED_INFO(seed, it);
        std::fill(back.begin(), back.end(), 0);
        QvWordLen nh = longvFromHex(back.data(), hex);
        ASSERT_EQ(longvCmpExt(back.data(), nh, a.data(), n), 0) << SEED_INFO(seed, it);
        OPENSSL_free(dec);
        OPENSSL_free(hex);
    }
}

TEST_F(VsOpenssl, JacobiSymbol) {
    const std::uint64_t seed = testSeed(0x5eed0009);
    std::mt19937_64 rng(seed);
    for (int it = 0; it < kCases / 4; ++it) {
        QvWordLen na = randLen(rng), nn = randLen(rng);
        Words a = randomWords(rng, na), n = randomWords(rng, nn);
        if (it % 4 != 0) n[0] |= 1;  // even n a quarter of the time: (a/2) by a mod 8
        Bn A = toBn(a), N = toBn(n);
        int ref = BN_kronecker(A.get(), N.get(), ctx.get());
        ASSERT_EQ(longvJacobi(a.data(), na, n.data(), nn), ref) << SEED_INFO(seed, it);
    }
}
