// Division, remainders, Barrett and table reduction, gcds, inverses and the
// Jacobi symbol: the documented corner cases and the exception texts.
#include <gtest/gtest.h>

#include "libtorvapp/qvcommon/qvexception.h"
#include "tests/libtorvapp/numbers/words.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

Words w1(QvWord v, QvWordLen n = 1) {
    Words w(n, 0);
    w[0] = v;
    return w;
}

}  // namespace

TEST(LongvDivision, DividendBelowDivisorIsLeftAsItWas) {
    Words x = {5, 1}, m = {6, 1}, q(4, 0xEEEEEEEE);
    QvWordLen nq = 99;
    longvDivClassical(x.data(), 2, m.data(), 2, q.data(), &nq);
    EXPECT_EQ(nq, 0u);
    EXPECT_EQ(x, (Words{5, 1}));
    longvDivClassical(x.data(), 0, m.data(), 2, q.data(), &nq);
    EXPECT_EQ(nq, 0u);
}

TEST(LongvDivision, EqualOperandsGiveQuotientOne) {
    Words x = {0x12345678, 0x9ABCDEF0, 3}, m = x, q(4, 0xEEEEEEEE);
    QvWordLen nq = 0;
    longvDivClassical(x.data(), 3, m.data(), 3, q.data(), &nq);
    EXPECT_EQ(nq, 1u);
    EXPECT_EQ(q[0], 1u);
    EXPECT_EQ(x, Words(3, 0));
    EXPECT_EQ(m, (Words{0x12345678, 0x9ABCDEF0, 3}));
}

TEST(LongvDivision, OneWordDivisorsWithAndWithoutNormalisingShift) {
    // (2^96 - 1) / 3 and / (2^32 - 1)
    Words x(3, 0xFFFFFFFF), q(4);
    QvWordLen nq = 0;
    Words m = {3};
    longvDivClassical(x.data(), 3, m.data(), 1, q.data(), &nq);
    EXPECT_EQ(nq, 3u);
    EXPECT_EQ(Words(q.begin(), q.begin() + 3), Words(3, 0x55555555));
    EXPECT_EQ(x, Words(3, 0));
    x.assign(3, 0xFFFFFFFF);
    m = {0xFFFFFFFF};
    longvDivClassical(x.data(), 3, m.data(), 1, q.data(), &nq);
    EXPECT_EQ(nq, 3u);
    EXPECT_EQ(Words(q.begin(), q.begin() + 3), (Words{0x00000001, 0x00000001, 0x00000001}));
    EXPECT_EQ(x, Words(3, 0));
}

TEST(LongvDivision, WindowTopEqualToDivisorTopTakesTheAllOnesEstimate) {
    // x = m * (B^2 - 1) + (m - 1) with m's top word repeated at the window top.
    Words m = {0xFFFFFFFF, 0x80000000, 0x80000000, 0x80000000};
    Words qq = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    Words x(7, 0);
    longvMul(x.data(), m.data(), 4, qq.data(), 3);
    Words rem = m;
    longvDec(rem.data(), 4);
    longvAddExt(x.data(), 7, rem.data(), 4, 0);
    Words q(7, 0);
    QvWordLen nq = 0;
    longvDivClassical(x.data(), 7, m.data(), 4, q.data(), &nq);
    EXPECT_EQ(nq, 3u);
    EXPECT_EQ(Words(q.begin(), q.begin() + 3), qq);
    Words r4(x.begin(), x.begin() + 4);
    EXPECT_EQ(r4, rem);
    EXPECT_EQ(Words(x.begin() + 4, x.end()), Words(3, 0));
}

TEST(LongvDivision, DivisorWithLeadingZeroWordsAndUntouchedDivisor) {
    Words x = {7, 0, 0, 1}, m = {2, 0, 0, 0, 0}, q(8);
    const Words m0 = m;
    QvWordLen nq = 0;
    longvDivClassical(x.data(), 4, m.data(), 5, q.data(), &nq);
    EXPECT_EQ(m, m0);
    EXPECT_EQ(nq, 3u);
    EXPECT_EQ(Words(q.begin(), q.begin() + 3), (Words{3, 0, 0x80000000}));
    EXPECT_EQ(x, (Words{1, 0, 0, 0}));
}

TEST(LongvDivision, ZeroDivisorThrowsWithItsText) {
    Words x = {5}, m = {0, 0}, q(4);
    QvWordLen nq = 7;
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longvDivClassical(x.data(), 1, m.data(), 2, q.data(), &nq); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
              "FUNCTION: void longvDivClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *q, "
              "QvWordLen *nq)\nFILE: qvnumbers/div\nLINE: 99\n");
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longvDivClassical(x.data(), 1, m.data(), 0, q.data(), &nq); }).substr(0, 19),
              "LIBRARY: libtorvapp");
    EXPECT_EQ(x, Words{5});
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longvModClassical(x.data(), 1, m.data(), 2, x.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
              "FUNCTION: void longvModClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *c, "
              "QvWordLen cWords)\nFILE: qvnumbers/mod\nLINE: 128\n");
    EXPECT_THROW(longvMod(x.data(), 1, m.data(), 2), QvInvException);
    EXPECT_EQ(x, Words{5});
}

TEST(LongvDivision, RemainderIntoAShorterBuffer) {
    // x = 2^64 + 2^32 + 5 mod (2^64 - 1 + ...) with c of one word
    Words x = {5, 1, 1, 0}, m = {0, 0, 1}, c(1, 0xDDDDDDDD);
    longvModClassical(x.data(), 4, m.data(), 3, c.data(), 1);
    EXPECT_EQ(x, (Words{5, 1, 0, 0}));
    EXPECT_EQ(c, Words{5});
    // x below m: c gets the low words of x.
    Words y = {9, 8}, big = {1, 1, 1}, c2(1);
    longvModClassical(y.data(), 2, big.data(), 3, c2.data(), 1);
    EXPECT_EQ(c2, Words{9});
    EXPECT_EQ(y, (Words{9, 8}));
    // c longer than x is zero-extended.
    Words c3(4, 0xDDDDDDDD);
    longvModClassical(y.data(), 2, big.data(), 3, c3.data(), 4);
    EXPECT_EQ(c3, (Words{9, 8, 0, 0}));
}

TEST(LongvDivision, WordByWordDivision) {
    QvWord q = 0, r = 0;
    EXPECT_EQ(wordDiv2by1(5, 0, 5, &q, &r), 8u);
    EXPECT_EQ(wordDiv2by1(6, 0, 5, &q, &r), 8u);
    EXPECT_EQ(wordDiv2by1(0x7FFFFFFF, 0xFFFFFFFF, 0x80000000, &q, &r), 0u);
    EXPECT_EQ(q, 0xFFFFFFFFu);
    EXPECT_EQ(r, 0x7FFFFFFFu);
    EXPECT_EQ(wordDiv2by1(2, 7, 3, &q, &r), 0u);  // divisor without its top bit
    std::uint64_t n = ((std::uint64_t)2 << 32) | 7;
    EXPECT_EQ(q, (QvWord)(n / 3));
    EXPECT_EQ(r, (QvWord)(n % 3));
}

TEST(LongvDivision, MontgomeryFormByPlainReduction) {
    Words m = {0xFFFFFFFF, 0x0000FFFF}, x = {123, 1};
    // x * B^2 mod m, reference by division
    Words t = {0, 0, 123, 1};
    longvMod(t.data(), 4, m.data(), 2);
    EXPECT_EQ(longvToMontgomery(x.data(), 2, m.data(), 2), 0u);
    EXPECT_EQ(x, Words(t.begin(), t.begin() + 2));
    Words z = {0, 0};
    EXPECT_EQ(longvToMontgomery(x.data(), 2, z.data(), 2), 8u);
}

TEST(LongvReduction, BarrettOfMTimesMMinusOneEqualsPlainRemainder) {
    std::mt19937_64 rng(21);
    for (QvWordLen n : {1u, 2u, 3u, 8u, 17u, 33u}) {
        for (int it = 0; it < 20; ++it) {
            Words m = randomWords(rng, n);
            m[n - 1] |= 1u << (rng() % 32);
            if (it == 0) m.assign(n, 0xFFFFFFFF);
            Words mu(n + 1);
            ASSERT_EQ(longvBarrettMu(mu.data(), m.data(), n), 0u);
            Words m1 = m;
            longvDec(m1.data(), n);
            Words x(2 * n);
            longvMul(x.data(), m.data(), n, m1.data(), n);
            if (it > 1) x = randomWords(rng, 2 * n);
            Words ref = x;
            longvMod(ref.data(), 2 * n, m.data(), n);
            Words r(n + 1, 0xABABABAB);
            EXPECT_EQ(longvModBarrett(x.data(), 2 * n, m.data(), n, mu.data(), r.data(), n + 1), 0u);
            EXPECT_EQ(Words(r.begin(), r.begin() + n), Words(ref.begin(), ref.begin() + n));
            EXPECT_EQ(r[n], 0u);
            EXPECT_EQ(longvModBarrett(x.data(), 2 * n, m.data(), n, mu.data()), 0u);
            EXPECT_EQ(x, ref);
        }
    }
}

TEST(LongvReduction, BarrettRefusesWhatItCannotReduce) {
    Words mu(3), m = {0, 0}, r(2), x = {1, 2, 3, 4};
    EXPECT_EQ(longvBarrettMu(mu.data(), m.data(), 2), 8u);
    EXPECT_EQ(longvModBarrett(x.data(), 4, m.data(), 2, mu.data(), r.data(), 2), 8u);
    Words shortM = {5, 0};  // top word zero: mu would need more words
    EXPECT_EQ(longvBarrettMu(mu.data(), shortM.data(), 2), 8u);
    Words one = {1, 0};
    r.assign(2, 9);
    EXPECT_EQ(longvModBarrett(x.data(), 4, one.data(), 2, mu.data(), r.data(), 2), 0u);
    EXPECT_EQ(r, Words(2, 0));
}

TEST(LongvReduction, PowerTableReductionEqualsPlainRemainder) {
    std::mt19937_64 rng(22);
    for (QvWordLen n : {1u, 2u, 5u, 8u, 16u}) {
        Words m = randomWords(rng, n);
        m[n - 1] |= 0x100;
        Words table((n - 1) * n + 1);
        ASSERT_EQ(longvPowTable(table.data(), m.data(), n), 0u);
        for (int it = 0; it < 20; ++it) {
            Words x = randomWords(rng, 2 * n);
            Words ref = x;
            longvMod(ref.data(), 2 * n, m.data(), n);
            Words r(n);
            EXPECT_EQ(longvModPowTable(x.data(), 2 * n, m.data(), n, table.data(), r.data(), n), 0u);
            EXPECT_EQ(r, Words(ref.begin(), ref.begin() + n));
            EXPECT_EQ(longvModPowTable(x.data(), 2 * n, m.data(), n, table.data()), 0u);
            EXPECT_EQ(x, ref);
        }
        longvPowTableWipe(table.data(), n);
        EXPECT_EQ(Words(table.begin(), table.begin() + (n - 1) * n), Words((n - 1) * n, 0));
    }
    Words shortM = {7, 0, 0}, t(6);
    EXPECT_EQ(longvPowTable(t.data(), shortM.data(), 3), 8u);
    Words zero = {0, 0}, x = {1, 2, 3, 4}, r(2);
    EXPECT_EQ(longvModPowTable(x.data(), 4, zero.data(), 2, t.data(), r.data(), 2), 8u);
    Words one = {1, 0};
    EXPECT_EQ(longvModPowTable(x.data(), 4, one.data(), 2, t.data(), r.data(), 2), 0u);
    EXPECT_EQ(r, Words(2, 0));
}

TEST(LongvGcd, SmallKnownValues) {
    Words a = w1(12), b = w1(18), r(1);
    longvGcdBinary(a.data(), 1, b.data(), 1, r.data(), 1);
    EXPECT_EQ(r[0], 6u);
    longvGcdEuclid(a.data(), 1, b.data(), 1, r.data(), 1);
    EXPECT_EQ(r[0], 6u);
    Words z = w1(0, 2), bb = {77, 1}, r2(3, 0xFF);
    longvGcdEuclid(z.data(), 2, bb.data(), 2, r2.data(), 3);
    EXPECT_EQ(r2, (Words{77, 1, 0}));
    longvGcdBinary(bb.data(), 2, z.data(), 2, r2.data(), 3);
    EXPECT_EQ(r2, (Words{77, 1, 0}));
    Words one = w1(1);
    longvGcdEuclid(bb.data(), 2, one.data(), 1, r2.data(), 3);
    EXPECT_EQ(r2, (Words{1, 0, 0}));
    // Common power of two restored at the end: gcd(2^40 * 3, 2^35 * 9) = 2^35 * 3
    Words p = {0, 3 << 8}, q = {0, 9 << 3}, g(2);
    longvGcdBinary(p.data(), q.data(), g.data(), 2);
    EXPECT_EQ(g, (Words{0, 3 << 3}));
    EXPECT_EQ(longvCoprime(w1(35).data(), 1, w1(64).data(), 1), 1);
    EXPECT_EQ(longvCoprime(w1(35).data(), 1, w1(63).data(), 1), 0);
    EXPECT_EQ(longvCoprime(w1(0).data(), 1, w1(0).data(), 1), 0);
}

TEST(LongvInverse, SteinOddModulusKnownValuesAndRefusals) {
    Words a = w1(3), b = w1(7), inv(1);
    EXPECT_EQ(longvInverseSteinOddModulus(a.data(), 1, b.data(), 1, inv.data()), 0u);
    EXPECT_EQ(inv[0], 5u);
    a = w1(6);
    b = w1(9);
    EXPECT_EQ(longvInverseSteinOddModulus(a.data(), 1, b.data(), 1, inv.data()), 7u);
    const std::string fn =
        "FUNCTION: QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv)\n";
    Words one = w1(1), eight = w1(8), zero = w1(0);
    EXPECT_EQ(thrownText<QvDivByZeroException>(
                  [&] { longvInverseSteinOddModulus(a.data(), 1, one.data(), 1, inv.data()); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 463\n");
    EXPECT_EQ(thrownText<QvDivByZeroException>(
                  [&] { longvInverseSteinOddModulus(zero.data(), 1, b.data(), 1, inv.data()); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 456\n");
    EXPECT_EQ(thrownText<QvLibNotImplementedException>(
                  [&] { longvInverseSteinOddModulus(a.data(), 1, eight.data(), 1, inv.data()); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\n"
              "REASON: This algorithm is implemented only for odd numbers (QvWord *b).\n" +
                  fn + "FILE: qvnumbers/inverse\nLINE: 470\n");
}

TEST(LongvInverse, SteinAnyModulusKnownValuesAndRefusals) {
    Words a = w1(3), b = w1(8), inv(1);
    EXPECT_EQ(longvInverseStein(a.data(), 1, b.data(), 1, inv.data()), 0u);
    EXPECT_EQ(inv[0], 3u);
    a = w1(4);
    EXPECT_EQ(longvInverseStein(a.data(), 1, b.data(), 1, inv.data()), 7u);
    a = w1(2);
    b = w1(9);
    EXPECT_EQ(longvInverseStein(a.data(), b.data(), inv.data(), 1), 0u);
    EXPECT_EQ(inv[0], 5u);
    // a above b, odd: 9 = 1 (mod 4); and 10 = 3 (mod 7) through the odd-modulus form
    Words nine = w1(9), four = w1(4), ten = w1(10), seven = w1(7);
    EXPECT_EQ(longvInverseStein(nine.data(), 1, four.data(), 1, inv.data()), 0u);
    EXPECT_EQ(inv[0], 1u);
    EXPECT_EQ(longvInverseStein(ten.data(), 1, seven.data(), 1, inv.data()), 0u);
    EXPECT_EQ(inv[0], 5u);
    const std::string fn =
        "FUNCTION: QvRet longvInverseStein(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv)\n";
    Words one = w1(1), zero = w1(0);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longvInverseStein(zero.data(), 1, b.data(), 1, inv.data()); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 698\n");
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longvInverseStein(a.data(), 1, one.data(), 1, inv.data()); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 705\n");
    EXPECT_THROW(longvInverseStein(a.data(), 1, zero.data(), 1, inv.data()), QvDivByZeroException);
}

TEST(LongvInverse, EuclidKnownValuesAndRefusals) {
    Words e = w1(3), f = w1(7), inv(1);
    EXPECT_EQ(longInverseEuclid(e.data(), 1, f.data(), 1, inv.data(), 1), 0u);
    EXPECT_EQ(inv[0], 5u);
    e = w1(6);
    f = w1(9);
    EXPECT_EQ(longInverseEuclid(e.data(), 1, f.data(), 1, inv.data(), 1), 7u);
    EXPECT_EQ(inv[0], 3u);  // the gcd
    // e above f is taken modulo f first.
    e = w1(10);
    f = w1(7);
    EXPECT_EQ(longInverseEuclid(e.data(), 1, f.data(), 1, inv.data(), 1), 0u);
    EXPECT_EQ(inv[0], 5u);
    const std::string fn = "FUNCTION: QvRet longInverseEuclid(QvWord *e, QvWordLen eWords, QvWord *f, QvWordLen fWords, "
                           "QvWord *inv, QvWordLen invWords)\n";
    Words one = w1(1), zero = w1(0);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longInverseEuclid(e.data(), 1, one.data(), 1, inv.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 325\n");
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { longInverseEuclid(zero.data(), 1, f.data(), 1, inv.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n" + fn +
                  "FILE: qvnumbers/inverse\nLINE: 333\n");
}

TEST(LongvInverse, BinaryFormsKnownValuesAndRefusals) {
    Words a = w1(1, 2), m = {0x1234567, 0x89}, r(2);
    EXPECT_EQ(longvInverseBinaryTc(r.data(), a.data(), m.data(), 2), 0);
    EXPECT_EQ(r, w1(1, 2));
    Words six = w1(6, 2), nine = w1(9, 2);
    EXPECT_EQ(longvInverseBinaryTc(r.data(), six.data(), nine.data(), 2), 1);
    Words two = w1(2, 2), four = w1(4, 2);
    EXPECT_EQ(longvInverseBinaryTc(r.data(), two.data(), four.data(), 2), 1);  // both even
    Words zero = w1(0, 2);
    EXPECT_EQ(longvInverseBinaryTc(r.data(), six.data(), zero.data(), 2), 1);
    // r may be a itself
    Words x = w1(3, 2), even = w1(8, 2);
    EXPECT_EQ(longvInverseBinaryTc(x.data(), x.data(), even.data(), 2), 0);
    EXPECT_EQ(x, w1(3, 2));
    Words out(3, 0xCC);
    EXPECT_EQ(longvInverseBinarySm(w1(3).data(), 1, w1(7, 2).data(), 2, out.data(), 3), 0u);
    EXPECT_EQ(out, (Words{5, 0, 0}));
    EXPECT_EQ(longvInverseBinarySm(six.data(), nine.data(), out.data(), 2), 7u);
    EXPECT_EQ(longvInverseBinarySm(two.data(), four.data(), out.data(), 2), 7u);
    EXPECT_EQ(longvInverseBinarySm(six.data(), zero.data(), out.data(), 2), 8u);
}

TEST(LongvJacobi, KnownSymbols) {
    auto J = [](QvWord a, QvWord n) { return longvJacobi(w1(a).data(), 1, w1(n).data(), 1); };
    EXPECT_EQ(J(2, 7), 1);
    EXPECT_EQ(J(2, 5), -1);
    EXPECT_EQ(J(3, 9), 0);
    EXPECT_EQ(J(1, 0), 1);
    EXPECT_EQ(J(2, 0), 0);
    EXPECT_EQ(J(0, 0), 0);
    EXPECT_EQ(J(4, 6), 0);
    EXPECT_EQ(J(5, 21), 1);   // (5/3)(5/7) = (-1)(-1)
    EXPECT_EQ(J(19, 45), 1);  // (19/5)(19/9) = (4/5)... = 1 * 1
    EXPECT_EQ(J(1001, 9907), -1);
    // Kronecker-style extension to an even n: (a/2) by a mod 8.
    EXPECT_EQ(J(3, 2), -1);
    EXPECT_EQ(J(7, 2), 1);
}
