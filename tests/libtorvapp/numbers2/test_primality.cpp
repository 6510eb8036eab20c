// The strong probable-prime test on small values, known strong pseudoprimes,
// Carmichael numbers and primes that OpenSSL generates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/qvprimality.h"
#include "tests/common/testsupport.h"
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
    // Fermat pseudoprimes to base 2 that the strong test catches.
    EXPECT_EQ(sprp("341", 2), 0);
    EXPECT_EQ(sprp("645", 2), 0);
    // A strong pseudoprime to base 2 that is not Carmichael.
    EXPECT_EQ(sprp("3277", 2), 1);
    EXPECT_EQ(sprp("3277", 3), 0);
}

TEST(StrongProbablePrime, SmallestPseudoprimesToTheFirstPrimeBases) {
    const std::vector<QvN> primes = primeBases(43);
    const std::vector<testsupport::DataLine> lines = testsupport::ReadDataLines(testsupport::DataFile("strong_pseudoprimes.txt"));
    ASSERT_EQ(lines.size(), 13u);
    std::vector<QvN> values;
    for (const testsupport::DataLine &line : lines) {
        ASSERT_EQ(line.fields.size(), 2u) << "line " << line.number;
        const std::string &value = line.fields[1];
        values.push_back(QvN(value.c_str()));
    }
    for (unsigned int k = 1; k <= values.size(); ++k) {
        const QvN &n = values[k - 1];
        // Each prime base alone, then all k together.
        for (unsigned int i = 0; i < k; ++i) EXPECT_EQ(isStrongProbablePrime(n, primes[i]), 1) << k << " " << i;
        EXPECT_EQ(isStrongProbablePrime(n, primes.data(), k), 1) << k;
        // The smallest for k + 1 bases is larger, so this one fails base k + 1.
        if (k == values.size() || values[k] != n) {
            EXPECT_EQ(isStrongProbablePrime(n, primes[k]), 0) << k;
            EXPECT_EQ(isStrongProbablePrime(n, primes.data(), k + 1), 0) << k;
        }
        EXPECT_EQ(isStrongProbablePrime(n, primes.data(), (unsigned)primes.size()), 0) << k;
    }
}

TEST(StrongProbablePrime, CarmichaelNumbersFailThePrimeBases) {
    BnCtx ctx(BN_CTX_new());
    const std::vector<QvN> bases = primeBases(41);
    const std::vector<testsupport::DataLine> lines = testsupport::ReadDataLines(testsupport::DataFile("carmichael.txt"));
    ASSERT_GE(lines.size(), 30u);
    for (const testsupport::DataLine &line : lines) {
        const std::string &c = line.fields.at(0);
        const QvN n(c.c_str());
        ASSERT_EQ(BN_check_prime(toBn(n).get(), ctx.get(), nullptr), 0) << c;
        // Fermat's test passes every unit base; the strong test does not.
        EXPECT_EQ(isStrongProbablePrime(n, bases.data(), (unsigned)bases.size()), 0) << c;
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
