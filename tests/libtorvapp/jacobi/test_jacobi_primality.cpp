// The deterministic Jacobi-sums primality proof: small values, known primes
// (Mersenne primes and others) proven, composites (Carmichael numbers, strong
// pseudoprimes, products of primes) refused, numbers at the top of the
// bands of t, and agreement with OpenSSL's BN_check_prime on random inputs.
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/qvjacobisumstest.h"
#include "libtorvapp/qvnumbers/qvprimality.h"
#include "tests/common/testsupport.h"

namespace {

QvN fromBn(const BIGNUM *b)
{
    char *dec = BN_bn2dec(b);
    QvN n(dec);
    OPENSSL_free(dec);
    return n;
}

QvN mersenne(unsigned int e)
{
    return (QvN(1, 1) << e) - 1;
}

} // namespace

TEST(JacobiSumsProof, SmallValues)
{
    for (QvWord n : {0u, 1u, 4u, 6u, 8u, 9u, 10u, 12u, 14u, 100u, 4096u}) EXPECT_EQ(deterministicJacobiSumsTest(QvN(n, 1)), 0) << n;
    for (QvWord n : {2u, 3u, 5u, 7u, 11u}) EXPECT_EQ(deterministicJacobiSumsTest(QvN(n, 1)), 1) << n;
}

TEST(JacobiSumsProof, EveryNumberBelowTwentyThousandAgreesWithTrialDivision)
{
    for (QvWord n = 13; n < 20000; ++n)
        ASSERT_EQ(deterministicJacobiSumsTest(QvN(n, 1)), isPrimeWord(n) ? 1 : 0) << n;
}

TEST(JacobiSumsProof, TheTableOfT)
{
    EXPECT_EQ(jacobiSumsTestT(1), 6u);
    EXPECT_EQ(jacobiSumsTestT(17), 6u);
    EXPECT_EQ(jacobiSumsTestT(18), 12u);
    EXPECT_EQ(jacobiSumsTestT(105), 504u);
    EXPECT_EQ(jacobiSumsTestT(127), 420u);
    EXPECT_EQ(jacobiSumsTestT(512), 27720u);
    EXPECT_EQ(jacobiSumsTestT(1024), 166320u);
    EXPECT_EQ(jacobiSumsTestT(3491), 8648640u);
    EXPECT_EQ(jacobiSumsTestT(3492), 24504480u);
}

TEST(JacobiSumsProof, MersennePrimesAreProven)
{
    for (unsigned int e : {13u, 17u, 19u, 31u, 61u, 89u, 107u, 127u})
        EXPECT_EQ(deterministicJacobiSumsTest(mersenne(e)), 1) << e;
    // Mersenne numbers with a prime exponent that are composite.
    for (unsigned int e : {11u, 23u, 29u, 37u, 41u, 43u, 47u, 53u, 59u, 67u, 71u, 73u, 79u, 83u, 97u, 101u, 103u,
                           109u, 113u})
        EXPECT_EQ(deterministicJacobiSumsTest(mersenne(e)), 0) << e;
}

TEST(JacobiSumsProof, LargerKnownPrimes)
{
    // 2^255 - 19 (the Curve25519 field prime), 2^521 - 1 is too slow here;
    // the NIST P-256 and P-384 field primes.
    EXPECT_EQ(deterministicJacobiSumsTest((QvN(1, 1) << 255) - 19), 1);
    EXPECT_EQ(deterministicJacobiSumsTest(
                  QvN("0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff")),
              1);
    EXPECT_EQ(deterministicJacobiSumsTest(QvN("0xfffffffffffffffffffffffffffffffffffffffffffffffffffffffefffffc2f")), 1);
}

TEST(JacobiSumsProof, CompositesAreRefused)
{
    EXPECT_EQ(deterministicJacobiSumsTest(QvN(561, 1)), 0);
    for (const testsupport::DataLine &line : testsupport::ReadDataLines(testsupport::DataFile("composites.txt")))
        EXPECT_EQ(deterministicJacobiSumsTest(QvN(line.fields.at(0).c_str())), 0) << line.fields.at(0);
    // The product of two 64-bit primes.
    EXPECT_EQ(deterministicJacobiSumsTest(QvN("18446744073709551557") * QvN("18446744073709551533")), 0);
    // Squares of primes.
    EXPECT_EQ(deterministicJacobiSumsTest(mersenne(61) * mersenne(61)), 0);
}

TEST(JacobiSumsProofVsOpenssl, PrimesAtTheTopOfTheBands)
{
    // The largest primes below 2^L for L at the top of a band (where the
    // table's t alone leaves e^2 <= N) and below it.
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *b = BN_new();
    for (unsigned int L : {31u, 33u, 43u, 53u, 64u, 77u, 101u, 103u, 107u, 126u, 135u, 152u, 164u}) {
        BN_one(b);
        BN_lshift(b, b, static_cast<int>(L));
        BN_sub_word(b, 1);
        while (BN_check_prime(b, ctx, nullptr) != 1) BN_sub_word(b, 2);
        EXPECT_EQ(deterministicJacobiSumsTest(fromBn(b)), 1) << L;
        BN_sub_word(b, 2);
        while (BN_check_prime(b, ctx, nullptr) == 1) BN_sub_word(b, 2);
        EXPECT_EQ(deterministicJacobiSumsTest(fromBn(b)), 0) << L;
    }
    BN_free(b);
    BN_CTX_free(ctx);
}

TEST(JacobiSumsProofVsOpenssl, RandomNumbersAgreeWithCheckPrime)
{
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *b = BN_new();
    std::mt19937 rng(20261207);
    unsigned int primes = 0;
    for (int i = 0; i < 120; ++i) {
        const int bits = 64 + static_cast<int>(rng() % 449);
        BN_rand(b, bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
        const int expect = BN_check_prime(b, ctx, nullptr);
        EXPECT_EQ(deterministicJacobiSumsTest(fromBn(b)), expect) << BN_bn2hex(b);
        primes += expect == 1;
    }
    // Random primes of several sizes (bounded count: the proof of a prime
    // does the full work).
    for (int bits : {64, 96, 128, 160, 192, 256, 320, 384, 448, 512}) {
        BN_generate_prime_ex(b, bits, 0, nullptr, nullptr, nullptr);
        EXPECT_EQ(deterministicJacobiSumsTest(fromBn(b)), 1) << bits;
        // A product of two primes of half the size.
        BIGNUM *p = BN_new(), *q = BN_new();
        BN_generate_prime_ex(p, bits / 2, 0, nullptr, nullptr, nullptr);
        BN_generate_prime_ex(q, bits / 2, 0, nullptr, nullptr, nullptr);
        BN_mul(b, p, q, ctx);
        EXPECT_EQ(deterministicJacobiSumsTest(fromBn(b)), 0) << bits;
        BN_free(p);
        BN_free(q);
    }
    (void)primes;
    BN_free(b);
    BN_CTX_free(ctx);
}
