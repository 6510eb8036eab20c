// Cyclotomic polynomials and rings, and the Jacobi sums of small primes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/qvcyclotomic.h"

namespace {

std::vector<std::int32_t> phi(QvWord m)
{
    std::vector<std::int32_t> p(m + 2, 0);
    const unsigned int d = cyclotomicPolynomial(p.data(), m);
    p.resize(d + 1);
    return p;
}

// A 127-bit prime modulus (2^127 - 1) for ring arithmetic.
const QvN &bigPrime()
{
    static const QvN p("170141183460469231731687303715884105727");
    return p;
}

std::string printed(const QvQJacobiSums &js, QvWord p, int which)
{
    FILE *f = tmpfile();
    if (which == 0) js.printJ(f, p);
    else js.printJ3J2(f, which);
    std::rewind(f);
    std::string s;
    int c;
    while ((c = std::fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
    std::fclose(f);
    return s;
}

} // namespace

TEST(CyclotomicPolynomial, KnownPolynomials)
{
    EXPECT_EQ(phi(1), (std::vector<std::int32_t>{-1, 1}));
    EXPECT_EQ(phi(2), (std::vector<std::int32_t>{1, 1}));
    EXPECT_EQ(phi(7), (std::vector<std::int32_t>{1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(phi(9), (std::vector<std::int32_t>{1, 0, 0, 1, 0, 0, 1}));
    EXPECT_EQ(phi(8), (std::vector<std::int32_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(phi(6), (std::vector<std::int32_t>{1, -1, 1}));
    EXPECT_EQ(static_cast<std::uint32_t>(phi(6)[1]), 0xFFFFFFFFu);
    EXPECT_EQ(phi(15), (std::vector<std::int32_t>{1, -1, 0, 1, -1, 1, 0, -1, 1}));
    EXPECT_EQ(phi(36), (std::vector<std::int32_t>{1, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 1}));
    // Phi_105 is the first with a coefficient -2 (at x^7 and x^41).
    const auto p105 = phi(105);
    ASSERT_EQ(p105.size(), 49u);
    EXPECT_EQ(p105[7], -2);
    EXPECT_EQ(p105[41], -2);
    EXPECT_EQ(moebius(1), 1);
    EXPECT_EQ(moebius(6), 1);
    EXPECT_EQ(moebius(30), -1);
    EXPECT_EQ(moebius(12), 0);
    EXPECT_EQ(moebius(49), 0);
    EXPECT_EQ(moebius(97), -1);
}

TEST(CyclotomicRing, OrderTwoReducesToConstants)
{
    QvCyclotomicExtension ext(2, 2, QvN(101, 1));
    EXPECT_EQ(ext.getDegree(), 1u);
    const QvWord v[] = {5, 7};
    QvCyclotomicRing a(v, 2, &ext); // 5 + 7 zeta = 5 - 7 = -2
    EXPECT_TRUE(a == -2);
    EXPECT_TRUE(a == 99);
    QvCyclotomicRing zeta(&ext);
    zeta.coefficient(1) = 1;
    zeta.reduce();
    EXPECT_TRUE(zeta == -1);
}

TEST(CyclotomicRing, SquaresAndProductsOfOrderThree)
{
    const QvN n(1000003, 1);
    QvCyclotomicExtension ext(3, 3, n);
    const QvWord v[] = {1234, 987654};
    QvCyclotomicRing a(v, 2, &ext);
    QvCyclotomicRing sq(a);
    sq *= sq;
    // (a0 + a1 z)^2 = (a0^2 - a1^2) + (2 a0 a1 - a1^2) z
    const long long a0 = 1234, a1 = 987654, N = 1000003;
    const long long c0 = ((a0 * a0 - a1 * a1) % N + N) % N, c1 = ((2 * a0 * a1 - a1 * a1) % N + N) % N;
    EXPECT_EQ(sq.coefficient(0).asQvN(), QvN(static_cast<QvWord>(c0), 1));
    EXPECT_EQ(sq.coefficient(1).asQvN(), QvN(static_cast<QvWord>(c1), 1));
    QvCyclotomicRing b(a);
    QvCyclotomicRing prod = a * b;
    EXPECT_TRUE(prod == sq);
    EXPECT_TRUE(power(a, 2u) == sq);
    EXPECT_TRUE(power(a, QvN(2, 1)) == sq);
    // Big exponents through the window: a^(e1 + e2) = a^e1 a^e2, and the
    // word power agrees with the window.
    const QvN e1("123456789012345678901"), e2("98765432109876543210987");
    EXPECT_TRUE(power(a, e1 + e2) == power(a, e1) * power(a, e2));
    EXPECT_TRUE(power(a, 4000000007u) == power(a, QvN(4000000007u, 1)));
    EXPECT_TRUE(power(a, 0u) == 1);
    EXPECT_TRUE(power(a, QvN()) == 1);
    // N = 1 mod 3: the ring is F_N x F_N, so a unit to the power N - 1 is 1.
    ASSERT_EQ(1000003 % 3, 1);
    EXPECT_TRUE(power(a, QvN("1000002")) == 1);
    EXPECT_FALSE(power(a, QvN("500001")) == 1 && power(a, QvN("333334")) == 1);
}

TEST(CyclotomicRing, ClosedFormSquaresAgreeWithProducts)
{
    // Orders 3 and 4 square by closed forms, the others by the general
    // method: all agree with the product of two equal copies.
    const QvN n("0xfffffffffffffffffffffffffffffffeffffffffffffffff"); // the P-192 prime
    for (QvWord m : {3u, 4u, 5u, 8u, 9u, 16u}) {
        QvWord p = m % 2 ? (m == 9 ? 3 : m) : 2;
        QvCyclotomicExtension ext(m, p, n);
        std::vector<QvWord> v(m);
        for (QvWord i = 0; i < m; ++i) v[i] = 0x9E3779B9u * (i + 7) ^ (i << 20);
        QvCyclotomicRing a(v.data(), m, &ext), b(a);
        QvCyclotomicRing sq(a);
        sq *= sq;
        EXPECT_TRUE(sq == a * b) << m;
    }
}

TEST(CyclotomicRing, GaloisConjugateGivesTheNormOfJacobiSums)
{
    // J(p,q) times its complex conjugate is q.
    for (QvWord q : {7u, 11u, 13u, 17u, 19u, 29u, 37u, 41u, 73u, 97u, 113u}) {
        QvQJacobiSums js(q);
        EXPECT_EQ(js.getQ(), q);
        for (QvWord p : {2u, 3u, 5u, 7u, 11u, 13u, 17u}) {
            const QvWord *j = js.getJ(p);
            if ((q - 1) % p) {
                EXPECT_EQ(j, nullptr);
                EXPECT_EQ(js.getPower(p), 1u);
                EXPECT_EQ(js.getExponent(p), 0u);
                continue;
            }
            const QvWord m = js.getPower(p);
            QvWord sum = 0;
            for (QvWord i = 0; i < m; ++i) sum += j[i];
            EXPECT_EQ(sum, q - 2) << p << " " << q;
            if (m == 2) continue; // J(2,q) with k = 1 is the integer -chi(-1)... checked in the proof
            QvCyclotomicExtension ext(m, p, bigPrime());
            QvCyclotomicRing a(j, m, &ext);
            std::vector<QvWord> conj(m, 0);
            conj[m - 1] = 1;
            QvCyclotomicRing norm = a * galoisProduct(a, conj.data());
            EXPECT_TRUE(norm == static_cast<int>(q)) << p << " " << q;
        }
    }
}

TEST(JacobiSums, ShapesForSmallPrimes)
{
    QvQJacobiSums q3(3);
    EXPECT_EQ(q3.getPower(2), 2u);
    EXPECT_EQ(q3.getExponent(2), 1u);
    EXPECT_EQ(q3.getJ(3), nullptr);
    EXPECT_EQ(q3.getJ3(), q3.getJ(2));
    EXPECT_EQ(printed(q3, 2, 0), "J(2,3) = [1, 0]\n");
    EXPECT_EQ(printed(q3, 2, 1), "");
    QvQJacobiSums q17(17);
    EXPECT_EQ(q17.getPower(2), 16u);
    EXPECT_EQ(q17.getExponent(2), 4u);
    ASSERT_NE(q17.getJ3(), nullptr);
    EXPECT_EQ(q17.getJ3(), q17.getJ(2) + 16);
    EXPECT_EQ(q17.getJ2(), q17.getJ(2) + 32);
    QvWord s3 = 0, s2 = 0;
    for (int i = 0; i < 16; ++i) {
        s3 += q17.getJ3()[i];
        s2 += q17.getJ2()[i];
        if (i % 2) {
            EXPECT_EQ(q17.getJ2()[i], 0u); // J2 lives in Z[zeta_8]
        }
    }
    EXPECT_EQ(s3, 15u);
    EXPECT_EQ(s2, 15u);
    EXPECT_EQ(printed(q17, 2, 1).rfind("J3(2,17) = [", 0), 0u);
    EXPECT_EQ(printed(q17, 2, 2).rfind("J2(2,17) = [", 0), 0u);
    EXPECT_EQ(printed(q17, 3, 0), "");
    QvQJacobiSums copy(q17), assigned;
    assigned = q17;
    for (int i = 0; i < 48; ++i) {
        EXPECT_EQ(copy.getJ(2)[i], q17.getJ(2)[i]);
        EXPECT_EQ(assigned.getJ(2)[i], q17.getJ(2)[i]);
    }
    QvQJacobiSums none(0);
    EXPECT_EQ(none.getJ(2), nullptr);
    EXPECT_EQ(none.getPower(5), 1u);
    EXPECT_EQ(none.getPower(19), 1u);
}

TEST(CyclotomicRing, RootOfUnityCheck)
{
    // m = 9 over the prime 2^127 - 1.
    QvCyclotomicExtension ext(9, 3, bigPrime());
    QvCyclotomicRing zeta(&ext);
    zeta.coefficient(1) = 1;
    EXPECT_EQ(rootOfUnityCheck(zeta, 3, 9), 2);
    EXPECT_EQ(zeta.findExponent(), 1u);
    QvCyclotomicRing z3 = power(zeta, 3u);
    EXPECT_EQ(rootOfUnityCheck(z3, 3, 9), 1);
    EXPECT_EQ(z3.findExponent(), 3u);
    QvCyclotomicRing z7 = power(zeta, 7u); // beyond the degree 6: reduced
    EXPECT_EQ(z7.findExponent(), 7u);
    QvCyclotomicRing one(1, &ext);
    EXPECT_EQ(one.findExponent(), 9u);
    EXPECT_EQ(rootOfUnityCheck(one, 3, 9), 1);
    QvCyclotomicRing two(2, &ext);
    EXPECT_EQ(rootOfUnityCheck(two, 3, 9), 0);
    // An element whose 9th power is 1 is accepted only when it is a power of
    // zeta: -1 is not (its 9th power is -1), nor is -zeta.
    QvCyclotomicRing minusZeta(zeta);
    minusZeta *= QvCyclotomicRing(-1, &ext);
    EXPECT_EQ(rootOfUnityCheck(minusZeta, 3, 9), 0);
    // Copies of the extension are independent rings.
    QvCyclotomicExtension copy(ext), general(9, bigPrime());
    EXPECT_EQ(copy.getDegree(), 6u);
    EXPECT_EQ(general.getDegree(), 6u);
    QvCyclotomicRing zc(&general);
    zc.coefficient(1) = 1;
    EXPECT_EQ(power(zc, 9u).findExponent(), 9u);
}
