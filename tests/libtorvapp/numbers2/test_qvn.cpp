// QvN: representation, octet and text forms, operators and their failures,
// word-size number theory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libtorvapp/qvnumbers/qvn.h"
#include "libtorvapp/qvrbg.h"
#include "tests/libtorvapp/exception_text.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

TEST(QvN, OctetsWithLeadingZerosNormaliseToOneWord) {
    const QvOctet five[] = {0, 0, 0, 0, 1};
    QvN x(five, 5, 0);
    EXPECT_EQ(x, 1u);
    EXPECT_EQ(x.getWordCount(), 1u);
    EXPECT_EQ(x.getBitLength(), 1u);
    EXPECT_EQ(x.getOctetLength(), 1u);
    QvOctet out[8];
    ASSERT_EQ(x.asOctetString(out, sizeof out), 1u);
    EXPECT_EQ(out[0], 1);
}

TEST(QvN, ZeroHasBitLengthOneOctetLengthZeroAndOneOctetForm) {
    QvN z;
    EXPECT_EQ(z.getBitLength(), 1u);
    EXPECT_EQ(z.getOctetLength(), 0u);
    QvOctet out[4] = {9, 9, 9, 9};
    EXPECT_EQ(z.asOctetString(out, 4), 1u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 9);
    std::memset(out, 9, 4);
    EXPECT_EQ(z.asOctetString(out, 4, true), 4u);
    for (QvOctet o : out) EXPECT_EQ(o, 0);
    EXPECT_STREQ(z.asHexASCII().c_str(), "0");
    EXPECT_STREQ(z.asBinASCII().c_str(), "0");
    EXPECT_STREQ(z.asDecimalASCII().c_str(), "0");
}

TEST(QvN, ShortOctetBufferWritesNothing) {
    const QvOctet three[] = {1, 2, 3};
    QvN x(three, 3, 0);
    QvOctet out[2] = {7, 7};
    EXPECT_EQ(x.asOctetString(out, 2), 0u);
    EXPECT_EQ(x.asOctetString(out, 2, true), 0u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], 7);
    QvOctet padded[6];
    EXPECT_EQ(x.asOctetString(padded, 6, true), 6u);
    const QvOctet want[] = {0, 0, 0, 1, 2, 3};
    EXPECT_EQ(std::memcmp(padded, want, 6), 0);
}

TEST(QvN, DivisionAndRemainderByZero) {
    QvN zero, five(5u, 1), seven(7u, 1);
    QvN q = zero / zero;
    EXPECT_EQ(q, 0u);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { QvN r = zero % zero; }),
              exceptionText("QvDivByZeroException", "Division by zero.", "QvN& QvN::operator %=(const QvN &n)",
                            "qvnumbers/n_mod", 28));
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { QvN r = five / zero; }),
              exceptionText("QvDivByZeroException", "Division by zero.", "QvN& QvN::operator /=(const QvN &n)",
                            "qvnumbers/n_div", 38));
    EXPECT_EQ(five % seven, 5u);
    EXPECT_EQ(five / seven, 0u);
    EXPECT_EQ(seven / five, 1u);
}

TEST(QvN, NegativeDifferencesThrowAndKeepTheOperand) {
    QvN three(3u, 1), five(5u, 1), zero;
    EXPECT_EQ(thrownText<QvRevException>([&] { three -= five; }),
              exceptionText("QvRevException", "There is no proper subtraction result in natural numbers.",
                            "QvN& QvN::operator -=(const QvN &n)", "qvnumbers/n_sub", 27));
    EXPECT_EQ(three, 3u);
    EXPECT_EQ(thrownText<QvRevException>([&] { three -= 4u; }),
              exceptionText("QvRevException", "There is no proper subtraction result in natural numbers.",
                            "QvN& QvN::operator -=(unsigned int n)", "qvnumbers/n_sub", 63));
    EXPECT_EQ(three, 3u);
    EXPECT_EQ(thrownText<QvRevException>([&] { --zero; }),
              exceptionText("QvRevException", "Decrementation is not allowed, because number is equel 0.",
                            "QvN& QvN::operator --(void)", "qvnumbers/n_sub", 91));
    EXPECT_EQ(thrownText<QvRevException>([&] { zero--; }),
              exceptionText("QvRevException", "Decrementation is not allowed, because number is equel 0.",
                            "QvN& QvN::operator --(int i)", "qvnumbers/n_sub", 123));
    EXPECT_EQ(zero, 0u);
}

TEST(QvN, IndexPastTheCountThrows) {
    QvN x(5u, 1);
    EXPECT_EQ(x[0], 5u);
    EXPECT_EQ(thrownText<QvAccessException>([&] { x[1] = 3; }),
              exceptionText("QvAccessException", "To large index.", "QvWord& QvN::operator [](unsigned int i)",
                            "qvnumbers/n_access", 34));
}

TEST(QvN, DivisibilityWithZeroDivisors) {
    QvN zero, six(6u, 1), three(3u, 1);
    EXPECT_TRUE(three | six);
    EXPECT_FALSE(six | three);
    EXPECT_TRUE(zero | zero);
    EXPECT_TRUE(3u | six);
    EXPECT_TRUE(three | 6u);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { (void)(zero | six); }),
              exceptionText("QvDivByZeroException", "Division by zero.", "bool QvN::operator |(const QvN &n) const",
                            "qvnumbers/n_divisibility", 58));
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { (void)(zero | 6u); }),
              exceptionText("QvDivByZeroException", "Division by zero.", "bool QvN::operator |(unsigned int n) const",
                            "qvnumbers/n_divisibility", 92));
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { (void)(0u | six); }),
              exceptionText("QvDivByZeroException", "Division by zero.",
                            "bool operator |(unsigned int n, const QvN &m)", "qvnumbers/n_divisibility", 128));
}

TEST(QvN, CarriesAndZeroProducts) {
    QvN x(0xFFFFFFFFu, 1);
    x += 1u;
    EXPECT_EQ(x.getWordCount(), 2u);
    EXPECT_EQ(hexOf(x), "100000000");
    QvN y = QvN(0xFFFFFFFFu, 1) + QvN(1u, 1);
    EXPECT_EQ(x, y);
    const QvWord w[] = {1, 2, 3};
    QvN p = QvN() * QvN(w, 3);
    EXPECT_EQ(p, 0u);
    EXPECT_EQ(p.getWordCount(), 1u);
    QvN q = QvN(w, 3) * 0u;
    EXPECT_EQ(q.getWordCount(), 1u);
}

TEST(QvN, TextForms) {
    EXPECT_EQ(QvN("0x00ff"), 255u);
    EXPECT_EQ(QvN("0xABCdef"), 0xABCDEFu);
    EXPECT_EQ(QvN("017"), 15u);
    EXPECT_EQ(QvN("0"), 0u);
    EXPECT_EQ(QvN(""), 0u);
    QvN big("123456789012");
    EXPECT_EQ(big.getWordCount(), 2u);
    EXPECT_EQ(hexOf(big), "1cbe991a14");
    EXPECT_STREQ(big.asDecimalASCII().c_str(), "123456789012");
    EXPECT_STREQ(QvN(5u, 1).asBinASCII().c_str(), "101");
    // A text with characters outside the base neither crashes nor overruns.
    QvN junk("0xzz~~qq");
    QvN junk2("9x9x9x9x9x9x9x9x9x9x9x9x9x9x9x9x9x9x");
    std::string many(4000, '\xff');
    QvN junk3(many.c_str());
    std::string octal = "0" + std::string(3000, 'z');
    QvN junk4(octal.c_str());
    (void)junk, (void)junk2, (void)junk3, (void)junk4;
}

TEST(QvN, DerContentsBecomeTheValue) {
    const QvOctet der[] = {0x02, 0x03, 0x01, 0x00, 0x01};
    QvConv c(der, sizeof der);
    EXPECT_EQ(QvN(c), 65537u);
}

TEST(QvN, NonAdjacentFormOfSeven) {
    QvWord digits[8];
    ASSERT_EQ(QvN(7u, 1).getNaf(digits), 4u);
    EXPECT_EQ(digits[0], 0xFFFFFFFFu);
    EXPECT_EQ(digits[1], 0u);
    EXPECT_EQ(digits[2], 0u);
    EXPECT_EQ(digits[3], 1u);
}

TEST(QvN, NonAdjacentFormRebuildsRandomValues) {
    Source src(21);
    for (int i = 0; i < 200; ++i) {
        QvN x = src.bits(1 + src.below(300));
        std::vector<QvWord> d(x.getBitLength() + 1);
        unsigned int n = x.getNaf(d.data());
        QvN pos, neg;
        for (unsigned int j = 0; j < n; ++j) {
            if (j + 1 < n) {
                ASSERT_TRUE(d[j] == 0 || d[j + 1] == 0) << "adjacent non-zero digits";
            }
            if (d[j] == 1) pos += QvN(1u, 1) << j;
            if (d[j] == 0xFFFFFFFFu) neg += QvN(1u, 1) << j;
        }
        ASSERT_EQ(pos - neg, x);
    }
}

TEST(QvN, PowersAndShifts) {
    EXPECT_EQ(QvN() ^ 0u, 1u);
    EXPECT_EQ(QvN(7u, 1) ^ 0u, 1u);
    EXPECT_EQ(hexOf(QvN(3u, 1) ^ 40u), "a8b8b452291fe821");
    EXPECT_EQ(hexOf(QvN(1u, 1) << 100), "10000000000000000000000000");
    EXPECT_EQ((QvN(1u, 1) << 100) >> 100, 1u);
    EXPECT_EQ(QvN(5u, 1) >> 64, 0u);
}

TEST(QvN, WordNumberTheory) {
    EXPECT_EQ(isPrimeWord(0), 0u);
    EXPECT_EQ(isPrimeWord(1), 0u);
    EXPECT_EQ(isPrimeWord(2), 1u);
    EXPECT_EQ(isPrimeWord(9), 0u);
    EXPECT_EQ(isPrimeWord(25), 0u);
    EXPECT_EQ(isPrimeWord(4294967291u), 1u);  // the largest 32-bit prime
    EXPECT_EQ(isPrimeWord(4294967295u), 0u);
    EXPECT_EQ(isPrimeWord(4294967279u), 1u);
    EXPECT_EQ(isPrimeWord(65521u * 65537u), 0u);
    EXPECT_EQ(gcdWord(12, 18), 6u);
    EXPECT_EQ(gcdWord(0, 5), 5u);
    EXPECT_EQ(gcdWord(5, 0), 5u);
    EXPECT_EQ(powModWord(3, 0, 7), 1u);
    EXPECT_EQ(powModWord(4294967291u, 4294967290u, 4294967291u), 0u);
    EXPECT_EQ(powModWord(2, 4294967290u, 4294967291u), 1u);
    EXPECT_EQ(invModPrimePower(3, 7, 0), 5u);
    EXPECT_EQ((invModPrimePower(7, 3, 27) * 7) % 27, 1u);
    EXPECT_EQ(primePowerPart(2, 48), 16u);
    EXPECT_EQ(primePowerPart(3, 10), 1u);
    EXPECT_EQ(countPrimeDivisorShifts(6), 2u);   // q = 3, 7
    EXPECT_EQ(countPrimeDivisorShifts(12), 4u);  // q = 3, 5, 7, 13
    EXPECT_EQ(countPrimeDivisorShifts(1), 0u);
    EXPECT_EQ(countPrimeDivisorShifts(0xFFFFFFFEu), 0u);
}

TEST(QvN, RandomValuesStayInRange) {
    QvRbg *rbg = qvRbgCreateObject(QV_RBG_DSS31);
    QvOctet seed[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    rbg->init(seed, sizeof seed);
    QvN x;
    x.setRandom(0u, rbg);
    EXPECT_EQ(x, 0u);
    for (unsigned int bits : {1u, 31u, 32u, 33u, 100u}) {
        for (int i = 0; i < 50; ++i) {
            x.setRandom(bits, rbg);
            ASSERT_LT(x, QvN(1u, 1) << bits);
        }
    }
    const QvN limit("0x10000000000000001");
    for (int i = 0; i < 50; ++i) {
        x.setRandom(limit, rbg);
        ASSERT_LT(x, limit);
    }
    x.setRandom(QvN(1u, 1), rbg);
    EXPECT_EQ(x, 0u);
    delete rbg;
}

TEST(QvN, GcdLcmJacobi) {
    EXPECT_EQ(gcd(QvN(12u, 1), QvN(18u, 1)), 6u);
    EXPECT_EQ(gcd(QvN(), QvN(18u, 1)), 18u);
    EXPECT_EQ(lcm(QvN(4u, 1), QvN(6u, 1)), 12u);
    EXPECT_EQ(jacobi(QvN(2u, 1), QvN(7u, 1)), 1);
    EXPECT_EQ(jacobi(QvN(2u, 1), QvN(5u, 1)), -1);
    EXPECT_EQ(jacobi(QvN(3u, 1), QvN(9u, 1)), 0);
}
