// The strong probable-prime test on small values, known strong pseudoprimes,
// Carmichael numbers and primes that OpenSSL generates.
#include <gtest/gtest.h>

#include <vector>

#include "libtorvapp/qvnumbers/qvprimality.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

namespace {

std::vector<QvN> primeBases(QvWord upTo) {
    std::vector<QvN> b;
    for (QvWord q = 2; q <= upTo; ++q)
        if (isPrimeWord(q)) b.push_back(QvN(q, 1));
    return b;
}

int sprp(const char *n, QvWord base) { return isStrongProbablePrime(QvN(n), QvN(base, 1)); }

}  // namespace

TEST(StrongProbablePrime, SmallValues) {
    const int want[13] = {0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0};
    for (QvWord n = 0; n < 13; ++n) EXPECT_EQ(isStrongProbablePrime(QvN(n, 1), nullptr, 0), want[n]) << n;
    EXPECT_EQ(isStrongProbablePrime(QvN(14u, 1), nullptr, 0), 0);
    EXPECT_EQ(isStrongProbablePrime(QvN(1u, 1) << 100, nullptr, 0), 0);
    // No bases: the caller asked for no rounds.
    EXPECT_EQ(isStrongProbablePrime(QvN(15u, 1), nullptr, 0), 1);
}

TEST(StrongProbablePrime, BasesThatAreMultiplesOrShareAFactor) {
    EXPECT_EQ(sprp("221", 221), 1);  // skipped
    EXPECT_EQ(sprp("221", 0), 1);    // skipped
    EXPECT_EQ(sprp("221", 13), 0);   // gcd 13
    EXPECT_EQ(sprp("221", 442 + 17), 0);
}

TEST(StrongProbablePrime, KnownStrongPseudoprimes) {
    EXPECT_EQ(sprp("561", 2), 0);
    EXPECT_EQ(sprp("2047", 2), 1);
    EXPECT_EQ(sprp("2047", 3), 0);
    EXPECT_EQ(sprp("8911", 2), 0);
    EXPECT_EQ(sprp("1373653", 2), 1);
    EXPECT_EQ(sprp("1373653", 3), 1);
    EXPECT_EQ(sprp("1373653", 5), 0);
    EXPECT_EQ(sprp("25326001", 2), 1);
    EXPECT_EQ(sprp("25326001", 3), 1);
    EXPECT_EQ(sprp("25326001", 5), 1);
    EXPECT_EQ(sprp("25326001", 7), 0);
    // Passes every prime base up to 31 and fails 37.
    const QvN n1("3825123056546413051");
    for (const QvN &b : primeBases(31)) EXPECT_EQ(isStrongProbablePrime(n1, b), 1) << hexOf(b);
    EXPECT_EQ(sprp("3825123056546413051", 37), 0);
    std::vector<QvN> upTo31 = primeBases(31);
    EXPECT_EQ(isStrongProbablePrime(n1, upTo31.data(), (unsigned)upTo31.size()), 1);
    upTo31.push_back(QvN(37u, 1));
    EXPECT_EQ(isStrongProbablePrime(n1, upTo31.data(), (unsigned)upTo31.size()), 0);
    // Passes every prime base up to 41 and fails 43.
    const QvN n2("3317044064679887385961981");
    for (const QvN &b : primeBases(41)) EXPECT_EQ(isStrongProbablePrime(n2, b), 1) << hexOf(b);
    EXPECT_EQ(sprp("3317044064679887385961981", 43), 0);
}

TEST(StrongProbablePrime, CarmichaelNumbersFailSmallBases) {
    const std::vector<QvN> bases = primeBases(13);
    for (const char *c : {"561", "1105", "1729", "2465", "2821", "6601", "8911", "41041", "825265", "321197185",
                          "5394826801", "232250619601", "9746347772161"}) {
        EXPECT_EQ(isStrongProbablePrime(QvN(c), bases.data(), (unsigned)bases.size()), 0) << c;
    }
}

TEST(StrongProbablePrime, PrimesFromOpenSSLAndTheirProducts) {
    Source src(51);
    BnCtx ctx(BN_CTX_new());
    std::vector<QvN> bases;
    for (int i = 0; i < 8; ++i) bases.push_back(src.bits(60));
    std::vector<QvN> primes;
    for (int bits : {64, 127, 128, 256, 512, 1024}) {
        Bn p = newBn();
        ASSERT_TRUE(BN_generate_prime_ex(p.get(), bits, 0, nullptr, nullptr, nullptr));
        primes.push_back(fromBn(p.get()));
        EXPECT_EQ(isStrongProbablePrime(primes.back(), bases.data(), (unsigned)bases.size()), 1) << bits;
        EXPECT_EQ(isStrongProbablePrime(primes.back() + 2u, bases.data(), (unsigned)bases.size()),
                  BN_check_prime(toBn(primes.back() + 2u).get(), ctx.get(), nullptr))
            << bits;
    }
    EXPECT_EQ(isStrongProbablePrime((QvN(1u, 1) << 127) - 1u, bases.data(), (unsigned)bases.size()), 1);
    for (std::size_t i = 0; i + 1 < primes.size(); ++i)
        EXPECT_EQ(isStrongProbablePrime(primes[i] * primes[i + 1], bases.data(), (unsigned)bases.size()), 0);
    // Squares of primes and a product of three.
    EXPECT_EQ(isStrongProbablePrime(primes[2] * primes[2], bases.data(), (unsigned)bases.size()), 0);
    EXPECT_EQ(isStrongProbablePrime(primes[0] * primes[1] * primes[2], bases.data(), (unsigned)bases.size()), 0);
}
