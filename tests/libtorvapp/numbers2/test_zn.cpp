// Moduli, residues and exponentiation: the choice of reduction, the held
// forms, edge cases of every operator, CRT against the plain path, square
// roots.
#include <gtest/gtest.h>

#include <string>

#include "libtorvapp/qvnumbers/qvzn.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"
#include "tests/libtorvapp/exception_text.h"

using namespace numbers2;

namespace {

const unsigned int kOptions[] = {0, 1, 8, 9, 16, 25};

QvN p256() { return QvN(QV_PRIME_P256, 8); }

}  // namespace

TEST(QvModulus, ChoiceOfReduction) {
    QvModulus special(p256(), 25);
    EXPECT_EQ(special.specialSize, 256u);
    EXPECT_EQ(special.mode, QvModulus::MODE_PLAIN);
    EXPECT_EQ(special.mu, 0u);
    EXPECT_EQ(special.rModN.getLength(), 0u);
    EXPECT_EQ(special.flags & 1, 1u);
    QvModulus mont(p256(), 8);
    EXPECT_EQ(mont.specialSize, 0u);
    EXPECT_EQ(mont.mode, QvModulus::MODE_MONTGOMERY);
    QvModulus notSpecial(p256() + 2u, 25);
    EXPECT_EQ(notSpecial.mode, QvModulus::MODE_MONTGOMERY);
    QvModulus wide(p256() + 2u, 16);
    EXPECT_EQ(wide.mode, QvModulus::MODE_WIDE);
    EXPECT_EQ(wide.wideCount, 9u);
    EXPECT_EQ(wide.wideModulus.getData()[8], 0u);
    QvN even = p256() + 1u;
    EXPECT_EQ(QvModulus(even, 8).mode, QvModulus::MODE_EVEN);
    EXPECT_EQ(QvModulus(even, 16).mode, QvModulus::MODE_EVEN);
    EXPECT_EQ(QvModulus(even, 0).mode, QvModulus::MODE_PLAIN);
    EXPECT_EQ(QvModulus(even, 1).mode, QvModulus::MODE_PLAIN);
    for (const QvWord *prime : {QV_PRIME_P160, QV_PRIME_P192, QV_PRIME_P224, QV_PRIME_P384, QV_PRIME_P521}) {
        const unsigned int k = prime == QV_PRIME_P160 ? 5 : prime == QV_PRIME_P192 ? 6 : prime == QV_PRIME_P224 ? 7
                             : prime == QV_PRIME_P384 ? 12 : 17;
        EXPECT_NE(QvModulus(QvN(prime, k), 16).specialSize, 0u) << k;
    }
}

TEST(QvModulus, MontgomeryConstantsOfTwoTo61MinusOne) {
    QvModulus m((QvN(1u, 1) << 61) - 1u, 8);
    EXPECT_EQ(m.getWordCount(), 2u);
    EXPECT_EQ((QvWord)(m.getLowestWord() * m.mu), 0xFFFFFFFFu);
    EXPECT_EQ(QvN(m.rModN), 8u);
    EXPECT_EQ(QvN(m.r2ModN), 64u);
    EXPECT_EQ(QvN(m.r3ModN), 512u);
}

TEST(QvModulus, SparseShapeTakesItsOwnRoutine) {
    std::vector<QvWord> w(8, 0);
    w[0] = 0x12345679;
    w[7] = 0x80000001;
    QvModulus sparse(QvN(w.data(), 8), 8);
    QvModulus dense(p256() + 2u, 8);
    EXPECT_NE(sparse.montMul, dense.montMul);
    QvModulus general(QvN("0xfffffffffffffffd"), 8);
    EXPECT_EQ(general.montMul, (QvMontMulFn)longvMontMulBuf);
    // Products through each agree with plain arithmetic.
    for (QvModulus *m : {&sparse, &dense, &general}) {
        QvZn a(QvN("0x123456789abcdef0123456789"), m), b(QvN("0xfedcba98765432100123"), m);
        EXPECT_EQ((a * b).asQvN(), QvN("0x123456789abcdef0123456789") % *m * (QvN("0xfedcba98765432100123") % *m) % *m);
    }
}

TEST(QvModulus, CopiesKeepTheChoiceAndTheFactors) {
    QvModulus n(QvN(77u, 1), 0);
    n.setFactors(QvModulus(QvN(7u, 1), 0), QvModulus(QvN(11u, 1), 0), QvN(2u, 1));  // 11^-1 mod 7 = 2
    QvModulus c(n);
    EXPECT_EQ(c.flags & 14, 14u);
    ASSERT_NE(c.p, nullptr);
    EXPECT_NE(c.p, n.p);
    EXPECT_EQ(*c.p, 7u);
    QvModulus d;
    d = n;
    EXPECT_EQ(*d.q, 11u);
    EXPECT_EQ(d.mode, QvModulus::MODE_WIDE);
}

TEST(QvModulus, FactorsThatDoNotDivideLeaveNoFactorData) {
    QvModulus n(QvN(77u, 1), 0);
    n.setFactors(QvModulus(QvN(5u, 1), 0), QvModulus(QvN(11u, 1), 0), QvN(1u, 1));
    EXPECT_EQ(n.flags & 14, 0u);
    EXPECT_EQ(n.p, nullptr);
    EXPECT_EQ(n.mode, QvModulus::MODE_WIDE);
    QvZn x(QvN(3u, 1), &n);
    QvN e = (QvN(1u, 1) << 40) + 1u;
    BnCtx ctx(BN_CTX_new());
    Bn r = newBn(), b = toBn(QvN(3u, 1)), ee = toBn(e), mm = toBn(QvN(77u, 1));
    BN_mod_exp(r.get(), b.get(), ee.get(), mm.get(), ctx.get());
    EXPECT_EQ((x ^ e).asQvN(), fromBn(r.get()));
}

TEST(QvZn, SmallProductsInEveryForm) {
    for (unsigned int opt : kOptions) {
        for (const QvN &nv : {QvN("1000000007"), p256(), p256() + 2u, QvN("0xfffffffffffffffffffffffd")}) {
            QvModulus m(nv, opt);
            QvZn a(5, &m), b(7, &m);
            EXPECT_EQ((a * b).asQvN(), QvN(35u, 1) % m) << opt;
            QvZn c(3, &m), d(QvN(nv - 1u), &m);
            EXPECT_EQ((c * d).asQvN(), nv - 3u) << opt;
        }
    }
}

TEST(QvZn, IntegerAndTextConstructors) {
    QvModulus seven(QvN(7u, 1), 8);
    EXPECT_EQ(QvZn(-3, &seven).asQvN(), 4u);
    EXPECT_EQ(QvZn(-7, &seven).asQvN(), 0u);
    EXPECT_EQ(QvZn(-2147483647 - 1, &seven).asQvN(), 5u);  // 2^31 = 2 mod 7
    QvModulus n(p256(), 16);
    EXPECT_EQ(QvZn("-1", &n).asQvN(), p256() - 1u);
    EXPECT_EQ(QvZn("0x10", &n).asQvN(), 16u);
}

TEST(QvZn, InverseAndDivision) {
    QvModulus seven(QvN(7u, 1), 8);
    EXPECT_EQ((1u / QvZn(3, &seven)).asQvN(), 5u);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { QvZn r = QvZn(3, &seven) / QvZn(0, &seven); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
              "FUNCTION: QvZn& QvZn::operator /=(QvZn a)\nFILE: qvnumbers/zn_div\nLINE: 36\n");
    EXPECT_EQ((QvZn(0, &seven) / QvZn(0, &seven)).asQvN(), 0u);
    for (unsigned int opt : kOptions) {
        QvModulus nine(QvN(9u, 1), opt);
        QvZn two(2, &nine), three(3, &nine);
        EXPECT_EQ(thrownText<QvInvException>([&] { two /= three; }),
                  "LIBRARY: libtorvapp\nEXCEPTION: QvInvException\nREASON: There is no inversion of number a.v "
                  "modulo number n->v.\nFUNCTION: QvZn& QvZn::operator /=(QvZn a)\nFILE: qvnumbers/zn_div\nLINE: 47\n");
        EXPECT_EQ(two.asQvN(), 2u);
        QvZn a(5, &nine);
        QvZn &same = a;
        a /= same;
        EXPECT_EQ(a.asQvN(), 1u) << opt;
    }
}

TEST(QvZn, AssigningAnIntegerNeedsAModulus) {
    QvZn r;
    EXPECT_EQ(thrownText<QvNotInitException>([&] { r = 5; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised modulus pointer or modulus "
              "equel zero.\nFUNCTION: QvZn& QvZn::operator =(int a)\nFILE: qvnumbers/zn_assign\nLINE: 50\n");
    QvModulus zero;
    QvZn z(&zero);
    EXPECT_THROW(z = 3, QvNotInitException);
    EXPECT_THROW(QvZn(3, &zero), QvDivByZeroException);
    EXPECT_THROW(QvZn(QvN(3u, 1), nullptr), QvNotInitException);
}

TEST(QvZn, OperandsWithoutOrOfAnotherModulusAreRefused) {
    QvModulus m8(p256() + 2u, 8), m4(QvN("0xfffffffffffffffffffffffd"), 8), wide(p256() + 2u, 16);
    QvZn a(QvN(5u, 1), &m8), shorter(QvN(5u, 1), &m4), widened(QvN(5u, 1), &wide), none;
    EXPECT_THROW(a *= shorter, QvArgumentRangeException);
    EXPECT_THROW(a += shorter, QvArgumentRangeException);
    EXPECT_THROW(a -= widened, QvArgumentRangeException);
    EXPECT_THROW(a /= widened, QvArgumentRangeException);
    EXPECT_THROW(a *= none, QvNotInitException);
    EXPECT_THROW(none *= a, QvNotInitException);
    EXPECT_THROW(none ^= QvN("0x100000000"), QvNotInitException);
    EXPECT_THROW(none ^= 5u, QvNotInitException);
    EXPECT_EQ(a.asQvN(), 5u);
    EXPECT_EQ(none.asQvN(), 0u);
    EXPECT_FALSE(none == 0u);
}

TEST(QvZn, EqualityComparesResiduesNotRepresentatives) {
    for (unsigned int opt : kOptions) {
        QvModulus seven(QvN(7u, 1), opt);
        QvZn a = QvZn(3, &seven) * QvZn(5, &seven);
        EXPECT_TRUE(a == 1u) << opt;
        EXPECT_EQ(a.asQvN(), 1u);
        EXPECT_TRUE(QvZn(0, &seven) == 0u);
        EXPECT_TRUE(QvZn(6, &seven) == 6u);
        EXPECT_FALSE(QvZn(6, &seven) == 5u);
    }
    // Wide form: a value and the same value plus n are one residue.
    QvModulus n(p256() + 2u, 16);
    QvZn a(QvN(12345u, 1), &n), b(a);
    QvWordMem *w = b.getWords();
    longvAdd(w->getData(), n.wideModulus.getConstData(), 9, 0);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.asQvN(), b.asQvN());
    QvModulus other(p256() + 2u, 16);
    EXPECT_TRUE(a == QvZn(QvN(12345u, 1), &other));
    QvModulus different(p256() + 4u, 16);
    EXPECT_FALSE(a == QvZn(QvN(12345u, 1), &different));
}

TEST(QvZn, AdditionSubtractionNegation) {
    Source src(31);
    BnCtx ctx(BN_CTX_new());
    for (unsigned int opt : kOptions) {
        for (int i = 0; i < 200; ++i) {
            QvN nv = src.bits(32 + src.below(600));
            if (opt != 0 && opt != 1 && i % 2) nv[0] |= 1;
            QvModulus m(nv, opt);
            QvN x = src.below(nv), y = src.below(nv);
            if (i == 0) x = QvN(), y = nv - 1u;
            QvZn a(x, &m), b(y, &m);
            ASSERT_EQ((a + b).asQvN(), (x + y) % nv);
            ASSERT_EQ((a - b).asQvN(), (x + nv - y) % nv);
            ASSERT_EQ((-a).asQvN(), (nv - x) % nv);
            QvZn c(a);
            ++c;
            ASSERT_EQ(c.asQvN(), (x + 1u) % nv);
            --c;
            --c;
            ASSERT_EQ(c.asQvN(), (x + nv - 1u) % nv);
        }
    }
}

TEST(QvZn, TextForms) {
    QvModulus m(QvN(23u, 1), 8);
    QvZn a(5, &m);
    EXPECT_STREQ(a.asHexASCII().c_str(), "5 mod (17)");
    EXPECT_STREQ(a.asDecimalASCII().c_str(), "5 mod (23)");
    EXPECT_STREQ(a.asBinASCII().c_str(), "101 mod (10111)");
}

TEST(QvZn, SquareRoots) {
    QvModulus seven(QvN(7u, 1), 8);
    QvN r = sqrt(QvZn(4, &seven)).asQvN();
    EXPECT_TRUE(r == 2u || r == 5u);
    QvModulus seventeen(QvN(17u, 1), 8);
    QvZn s = sqrt(QvZn(2, &seventeen));
    EXPECT_TRUE(s.asQvN() == 6u || s.asQvN() == 11u);
    EXPECT_TRUE(s * s == 2u);
    EXPECT_TRUE(sqrt(QvZn(0, &seventeen)) == 0u);
    // Non-residues are refused, also when p = 3 mod 4.
    EXPECT_THROW(sqrt(QvZn(3, &seven)), QvArgumentRangeException);
    EXPECT_THROW(sqrt(QvZn(3, &seventeen)), QvArgumentRangeException);
    // A square modulus has no non-residue among units to find: refused, not a hang.
    QvModulus square(QvN(25u * 25u * 25u * 25u, 1), 8);
    EXPECT_THROW(sqrt(QvZn(QvN(6u, 1), &square)), QvArgumentRangeException);
}

TEST(QvZn, SquareRootsModuloLargePrimesMatchSquares) {
    Source src(32);
    BnCtx ctx(BN_CTX_new());
    // Primes 1 mod 8 (Tonelli-Shanks with several rounds), 5 mod 8 and 3 mod 4.
    for (int kind = 0; kind < 3; ++kind) {
        Bn p = newBn(), add = newBn(), rem = newBn();
        BN_set_word(add.get(), kind == 2 ? 4 : 8);
        BN_set_word(rem.get(), kind == 0 ? 1 : kind == 1 ? 5 : 3);
        if (kind == 0) {
            BN_set_word(add.get(), 1 << 20);
            BN_set_word(rem.get(), 1);
        }
        ASSERT_TRUE(BN_generate_prime_ex(p.get(), 256, 0, add.get(), rem.get(), nullptr));
        QvN pv = fromBn(p.get());
        for (unsigned int opt : {8u, 16u, 0u}) {
            QvModulus m(pv, opt);
            for (int i = 0; i < 20; ++i) {
                QvZn x(src.below(pv), &m);
                QvZn sq = x * x;
                QvZn r = sqrt(sq);
                ASSERT_TRUE(r * r == sq);
                ASSERT_TRUE(r == x || r == -x);
                Bn bsq = toBn(sq.asQvN()), want(BN_mod_sqrt(nullptr, bsq.get(), p.get(), ctx.get()));
                QvN w = fromBn(want.get());
                ASSERT_TRUE(r.asQvN() == w || r.asQvN() == (pv - w) % pv);
            }
        }
    }
}

TEST(Exponentiation, WindowWidths) {
    EXPECT_EQ(expWindowWidth(1), 1u);
    EXPECT_EQ(expWindowWidth(2), 1u);
    EXPECT_EQ(expWindowWidth(3), 1u);
    EXPECT_EQ(expWindowWidth(21), 2u);
    EXPECT_EQ(expWindowWidth(22), 2u);
    EXPECT_EQ(expWindowWidth(160), 3u);
    EXPECT_EQ(expWindowWidth(256), 4u);
    EXPECT_EQ(expWindowWidth(1024), 5u);
    EXPECT_EQ(expWindowWidth(2048), 6u);
}

TEST(Exponentiation, ZeroOneAndTheWordBoundary) {
    for (unsigned int opt : kOptions) {
        QvModulus m(QvN("1000000007"), opt);
        for (int v : {0, 1, 2, 12345}) {
            QvZn a(v, &m);
            EXPECT_TRUE((a ^ QvN()) == 1u);
            EXPECT_TRUE((a ^ 0u) == 1u);
            EXPECT_TRUE((a ^ 1u) == a);
            EXPECT_TRUE((a ^ QvN(1u, 1)) == a);
            const QvN big = QvN(1u, 1) << 32, small = big - 1u;
            BnCtx ctx(BN_CTX_new());
            for (const QvN &e : {big, small}) {
                Bn r = newBn(), b = toBn(QvN((QvWord)v, 1)), ee = toBn(e), mm = toBn(m);
                BN_mod_exp(r.get(), b.get(), ee.get(), mm.get(), ctx.get());
                EXPECT_EQ((a ^ e).asQvN(), fromBn(r.get())) << opt << " " << v;
            }
        }
    }
}

TEST(Exponentiation, CrtAgreesWithThePlainPath) {
    BnCtx ctx(BN_CTX_new());
    Source src(33);
    for (int round = 0; round < 3; ++round) {
        Bn bp = newBn(), bq = newBn();
        ASSERT_TRUE(BN_generate_prime_ex(bp.get(), 256 + 32 * round, 0, nullptr, nullptr, nullptr));
        ASSERT_TRUE(BN_generate_prime_ex(bq.get(), 256 + 32 * round, 0, nullptr, nullptr, nullptr));
        QvN p = fromBn(bp.get()), q = fromBn(bq.get()), n = p * q;
        Bn u(BN_mod_inverse(nullptr, bq.get(), bp.get(), ctx.get()));
        QvModulus crt(n, 0);
        crt.setFactors(QvModulus(p, 0), QvModulus(q, 0), fromBn(u.get()));
        ASSERT_EQ(crt.flags & 14, 14u);
        QvModulus plain(n, 8);
        QvN d = src.below(n);
        // e with (p - 1) | e: the reduced exponents are 0.
        const QvN lcmE = lcm(p - 1u, q - 1u);
        for (const QvN &e : {d, lcmE, lcmE * 3u, QvN(1u, 1) << 40}) {
            for (const QvN &x : {QvN(), QvN(1u, 1), p, q, p * 2u, src.below(n), src.below(n)}) {
                QvN viaCrt = (QvZn(x, &crt) ^ e).asQvN();
                QvN viaPlain = (QvZn(x, &plain) ^ e).asQvN();
                ASSERT_EQ(hexOf(viaCrt), hexOf(viaPlain)) << "x=" << hexOf(x) << " e=" << hexOf(e);
            }
        }
        EXPECT_TRUE((QvZn(QvN(), &crt) ^ lcmE) == 0u);
    }
}

TEST(Exponentiation, FactorListRecombination) {
    // n = p * q recorded as a split: CRT over the list, reduced exponents per
    // prime, the whole exponent for a residue that a prime divides.
    const QvN p(1000003u, 1), q(999983u, 1);
    QvModulus n(p * q, 8);
    n.setCrtFactor(p);
    ASSERT_EQ(n.flags & 6, 6u);
    QvModulus plain(p * q, 8);
    Source src(34);
    const QvN lcmE = lcm(p - 1u, q - 1u);
    for (const QvN &e : {(QvN(1u, 1) << 45) + 7u, lcmE * 5u, src.bits(200)}) {
        for (const QvN &x : {QvN(), QvN(1u, 1), p, q, p * 3u, src.below(p * q), src.below(p * q)}) {
            QvN got = (QvZn(x, &n) ^ e).asQvN();
            EXPECT_EQ(got, (QvZn(x, &plain) ^ e).asQvN()) << hexOf(x);
        }
    }
    // A split that is only recorded (setFactor) is not used for CRT.
    QvModulus recorded(p * q, 8);
    recorded.setFactor(p);
    EXPECT_EQ(recorded.flags & 6, 2u);
    EXPECT_EQ((QvZn(p, &recorded) ^ lcmE).asQvN(), (QvZn(p, &plain) ^ lcmE).asQvN());
}

TEST(Exponentiation, CrtCombineOfThreeModuli) {
    QvModulus m3(QvN(3u, 1), 0), m5(QvN(5u, 1), 8), m7(QvN(7u, 1), 16);
    QvZn r[3] = {QvZn(2, &m3), QvZn(3, &m5), QvZn(2, &m7)};
    EXPECT_EQ(crtCombine(r, 3), 23u);
    QvModulus m6(QvN(6u, 1), 0), m9(QvN(9u, 1), 0);
    QvZn bad[2] = {QvZn(1, &m6), QvZn(1, &m9)};
    EXPECT_THROW(crtCombine(bad, 2), QvInvException);
}

TEST(Exponentiation, FindGenerator) {
    // p = 23, q = 11: the first h^2 that is not 1.
    EXPECT_EQ(findGenerator(QvN(23u, 1), QvN(11u, 1)), 4u);
    QvN g = findGenerator(QvN(607u, 1), QvN(101u, 1));
    QvModulus m(QvN(607u, 1), 8);
    EXPECT_TRUE((QvZn(g, &m) ^ 101u) == 1u);
    EXPECT_FALSE(g == 1u);
}
