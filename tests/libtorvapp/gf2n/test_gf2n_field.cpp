// Binary fields: the field's shape (degree, words, terms, octets), element
// conversions and the exact failure texts, and the arithmetic against
// OpenSSL's BN_GF2m_* routines for the SEC 2 polynomials and other shapes.
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgf2n/qvgf2n.h"
#include "libtorvapp/qvgf2n/qvgf2nfield.h"
#include "tests/libtorvapp/gf2n/gf2n_test_util.h"
#include "tests/libtorvapp/exception_text.h"

using namespace gf2ntest;

namespace {

const char kF163[] = "0800000000000000000000000000000000000000c9"; // x^163 + x^7 + x^6 + x^3 + 1

std::vector<QvOctet> randomElement(std::mt19937 &rng, unsigned int m)
{
    std::vector<QvOctet> v((m + 7) / 8);
    for (auto &o : v) o = static_cast<QvOctet>(rng());
    if (m % 8) v[0] &= static_cast<QvOctet>((1u << (m % 8)) - 1);
    return v;
}

std::vector<QvOctet> octetsOf(const QvGF2n &e)
{
    std::vector<QvOctet> v(e.getOctetLength());
    e.asOctetString(v.data(), static_cast<unsigned int>(v.size()));
    return v;
}

struct Ctx {
    BN_CTX *c = BN_CTX_new();
    ~Ctx() { BN_CTX_free(c); }
};

} // namespace

TEST(BinaryField, ShapeOfThePentanomialOfDegree163)
{
    QvGF2nField f(kF163);
    EXPECT_EQ(f.getDegree(), 163u);
    EXPECT_EQ(f.getWordCount(), 6u);
    EXPECT_EQ(f.getTermCount(), 5u);
    const unsigned int expected[] = {0, 3, 6, 7, 163, 164};
    for (unsigned int i = 0; i < 6; ++i) EXPECT_EQ(f.getTermExponent(i), expected[i]) << i;
    QvOctet out[32];
    ASSERT_EQ(f.asOctetString(out, sizeof out), 21u);
    EXPECT_EQ(out[0], 0x08);
    EXPECT_EQ(ToHex(out, 21), kF163);
    EXPECT_TRUE(f.usesFixedRoutines());

    // The same field from octets, with leading zero octets dropped; and from
    // text with leading "00" pairs.
    std::vector<QvOctet> oct = FromHex(std::string("0000") + kF163);
    QvGF2nField g(oct.data(), static_cast<unsigned int>(oct.size()));
    EXPECT_EQ(g.getDegree(), 163u);
    QvGF2nField h((std::string("0000") + kF163).c_str());
    EXPECT_EQ(h.getDegree(), 163u);
    EXPECT_EQ(h.getTermCount(), 5u);
}

TEST(BinaryField, WordCountsAndRoutineChoice)
{
    // Degree 192: one word more than the 6 an element needs, 7-word routines.
    QvGF2nField f192("01000000000000000000000000000000000000000000000087");
    EXPECT_EQ(f192.getDegree(), 192u);
    EXPECT_EQ(f192.getWordCount(), 7u);
    EXPECT_TRUE(f192.usesFixedRoutines());
    QvGF2nField f113("020000000000000000000000000201");
    EXPECT_EQ(f113.getDegree(), 113u);
    EXPECT_EQ(f113.getWordCount(), 4u);
    EXPECT_FALSE(f113.usesFixedRoutines());
    QvGF2nField empty;
    EXPECT_EQ(empty.getDegree(), 0u);
    EXPECT_EQ(empty.getWordCount(), 0u);
    // Copies keep everything.
    QvGF2nField c;
    c = f192;
    EXPECT_EQ(c.getDegree(), 192u);
    EXPECT_TRUE(c.usesFixedRoutines());
}

TEST(BinaryField, OutputBufferTooSmallTexts)
{
    QvGF2nField f(kF163);
    QvOctet out[21];
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { f.asOctetString(out, 20); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
              "*fOct).\nFUNCTION: unsigned int QvGF2nField::asOctetString(QvOctet *fOct, unsigned int fLen) "
              "const\nFILE: qvgf2n/qvgf2nfield\nLINE: 187\n");
    QvGF2n e("01", &f);
    EXPECT_EQ(e.asOctetString(out, 21), 21u);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { e.asOctetString(out, 20); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
              "*oct).\nFUNCTION: unsigned int QvGF2n::asOctetString(QvOctet *oct, unsigned int octLen) const\nFILE: "
              "qvgf2n/gf2n_conv\nLINE: 37\n");
}

TEST(BinaryField, DivisionByZeroAndInverseOfOne)
{
    QvGF2nField f(kF163);
    QvGF2n one("01", &f), zero(&f), a("0123456789abcdef", &f);
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { a /= zero; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\nFUNCTION: QvGF2n& "
              "QvGF2n::operator /=(const QvGF2n &gf2n)\nFILE: qvgf2n/gf2n_div\nLINE: 24\n");
    EXPECT_EQ(a, QvGF2n("0123456789abcdef", &f)); // unchanged by the refused division
    QvGF2n inv(one);
    inv /= one;
    EXPECT_TRUE(inv == 1u);
    EXPECT_EQ(a / a, one);
}

TEST(BinaryField, NonInvertibleDivisorOfAReduciblePolynomialIsRefused)
{
    // x^64 + 1 = (x + 1)^64: x + 1 has no inverse; the division must end.
    QvGF2nField f("010000000000000001");
    QvGF2n a("01", &f), d("03", &f);
    EXPECT_THROW(a /= d, QvInvException);
}

TEST(BinaryField, SettersMaskAboveTheDegreeAndTextForms)
{
    QvGF2nField f(kF163);
    QvWord w[8] = {1, 2, 3, 4, 5, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    QvGF2n e(w, 8, &f);
    // Bit 163 is bit 3 of word 5: bits 0..3 kept.
    EXPECT_EQ(e.getWords()[5], 0xFu);
    EXPECT_EQ(std::string(e.asText().getChars()),
              "0000000f000000050000000400000003000000020000000" "1");
    QvGF2n s(w, 3, &f);
    EXPECT_EQ(s.getWords()[2], 3u);
    EXPECT_EQ(s.getWords()[3], 0u);
    EXPECT_EQ(s.getWords()[5], 0u);
    QvGF2n t("ABcd", &f);
    EXPECT_TRUE(t == 0xabcdu);
    EXPECT_FALSE(t == 0xabcu);
    EXPECT_TRUE(t != 0xabcu);
    EXPECT_THROW(QvGF2n("abc", &f), QvWrongSyntaxException);
    EXPECT_THROW(QvGF2n("zz", &f), QvWrongSyntaxException);
    EXPECT_EQ(t.asQvN(), QvN(0xabcd, 1));
    QvConvOS os = t.asQvConvOS();
    ASSERT_EQ(os.getLength(), 21u);
    EXPECT_EQ(os.getConstData()[19], 0xab);
    EXPECT_EQ(os.getConstData()[20], 0xcd);
}

TEST(BinaryField, UnboundElementsAndMixedFieldsAreRefused)
{
    QvGF2nField f(kF163), g("01000000000000000000000000000000000000000000000087");
    QvGF2n u, a("01", &f), b("01", &g);
    EXPECT_THROW(u += a, QvNotInitException);
    EXPECT_THROW(u *= a, QvNotInitException);
    EXPECT_THROW(a *= b, QvArgumentRangeException);
    EXPECT_FALSE(a == b);
}

namespace {

struct Poly {
    const char *hex;
    bool invertible; // irreducible: inversion and square roots are checked
};

// Beside the SEC 2 polynomials: the 128-bit GCM pentanomial (even m), a
// trinomial whose middle term lies within a word of the top (bit-serial
// reduction path), and a degree-192 polynomial (7 words, not known to be
// irreducible, so only multiplication is compared).
const Poly kPolys[] = {
    {"0100000000000000000000000000000087", true},
    {"c0000000000000000000000000000001", true},
    {"01000000000000000000000000000000000000000000000087", false},
};

std::string bigSparseHex()
{
    // x^2100 + x^15 + 1: only multiplication and squaring are compared.
    std::string s(526, '0');
    s[0] = '1';
    // x^15 and 1 in the low octets.
    s[522] = '8';
    s[525] = '1';
    return s;
}

void compareArithmetic(const std::string &polyHex, bool invertible, int rounds)
{
    Ctx ctx;
    QvGF2nField f(polyHex.c_str());
    const unsigned int m = f.getDegree();
    std::vector<QvOctet> po = FromHex(polyHex);
    Bn p = bnFromOctets(po);
    std::mt19937 rng(m * 7919u + 17u);
    const size_t len = (m + 7) / 8;
    for (int i = 0; i < rounds; ++i) {
        auto ao = randomElement(rng, m), bo = randomElement(rng, m);
        if (i == 0) std::fill(ao.begin(), ao.end(), 0xFF), ao[0] &= static_cast<QvOctet>(m % 8 ? (1u << (m % 8)) - 1 : 0xFF);
        QvGF2n a(ao.data(), static_cast<unsigned int>(len), &f), b(bo.data(), static_cast<unsigned int>(len), &f);
        Bn ab = bnFromOctets(ao), bb = bnFromOctets(bo), r(BN_new());

        ASSERT_TRUE(BN_GF2m_mod_mul(r.get(), ab.get(), bb.get(), p.get(), ctx.c));
        EXPECT_EQ(octetsOf(a * b), bnToOctets(r.get(), len)) << polyHex << " mul " << i;
        ASSERT_TRUE(BN_GF2m_mod_sqr(r.get(), ab.get(), p.get(), ctx.c));
        QvGF2n sq(a);
        sq *= sq;
        EXPECT_EQ(octetsOf(sq), bnToOctets(r.get(), len)) << polyHex << " sqr " << i;
        EXPECT_EQ(octetsOf(a + b), bnToOctets(BN_GF2m_add(r.get(), ab.get(), bb.get()) ? r.get() : nullptr, len));
        if (!invertible || b.isZero()) continue;

        ASSERT_TRUE(BN_GF2m_mod_div(r.get(), ab.get(), bb.get(), p.get(), ctx.c));
        EXPECT_EQ(octetsOf(a / b), bnToOctets(r.get(), len)) << polyHex << " div " << i;
        ASSERT_TRUE(BN_GF2m_mod_inv(r.get(), bb.get(), p.get(), ctx.c));
        QvGF2n inv("01", &f);
        inv /= b;
        EXPECT_EQ(octetsOf(inv), bnToOctets(r.get(), len)) << polyHex << " inv " << i;

        // Quadratic equations x^2 + b x = a: roots, their count and their
        // relation to OpenSSL's solution of z^2 + z = a / b^2.
        QvGF2n x1, x2;
        const unsigned int roots = solve(b, a, &f, x1, x2);
        Bn beta(BN_new()), z(BN_new());
        ASSERT_TRUE(BN_GF2m_mod_sqr(beta.get(), bb.get(), p.get(), ctx.c));
        ASSERT_TRUE(BN_GF2m_mod_div(beta.get(), ab.get(), beta.get(), p.get(), ctx.c));
        const bool solvable = BN_GF2m_mod_solve_quad(z.get(), beta.get(), p.get(), ctx.c) == 1;
        EXPECT_EQ(roots, solvable ? 2u : 0u) << polyHex << " solve " << i;
        if (roots == 2) {
            EXPECT_EQ(x1 * x1 + b * x1, a);
            EXPECT_EQ(x2 * x2 + b * x2, a);
            EXPECT_EQ(x1 + x2, b);
            QvGF2n zq(x1);
            zq /= b;
            std::vector<QvOctet> zo = bnToOctets(z.get(), len);
            QvGF2n zs(zo.data(), static_cast<unsigned int>(len), &f);
            EXPECT_TRUE(zq == zs || zq + zs == QvGF2n("01", &f));
        }
        if (i < 3) {
            ASSERT_TRUE(BN_GF2m_mod_sqrt(r.get(), ab.get(), p.get(), ctx.c));
            QvGF2n zero(&f), s1, s2;
            EXPECT_EQ(solve(zero, a, &f, s1, s2), 1u);
            EXPECT_EQ(octetsOf(s1), bnToOctets(r.get(), len));
            EXPECT_EQ(s1, s2);
        }
    }
}

} // namespace

TEST(BinaryFieldVsOpenssl, ArithmeticAgreesOverManyPolynomials)
{
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable comb" : "carry-less multiply where available");
        qvGF2nForcePortableMultiply(portable);
        for (const Poly &p : kPolys) compareArithmetic(p.hex, p.invertible, 25);
        for (const CurveRow &c : loadCurves()) compareArithmetic(c.poly, true, 25);
    }
    qvGF2nForcePortableMultiply(false);
}

TEST(BinaryField, MultiplicationOfAFieldWiderThanSixtyFourWordsMatchesShiftAndAdd)
{
    // OpenSSL's GF(2^m) routines stop short of this size: the reference is
    // the bit-serial shift-and-add product with interleaved reduction.
    const std::string hex = bigSparseHex();
    QvGF2nField f(hex.c_str());
    const unsigned int m = f.getDegree(), n = f.getWordCount();
    ASSERT_EQ(m, 2100u);
    ASSERT_EQ(n, 66u);
    const QvWord *poly = f.getPolynomial().getConstData();
    std::mt19937 rng(2100);
    for (int round = 0; round < 4; ++round) {
        auto ao = randomElement(rng, m), bo = randomElement(rng, m);
        QvGF2n a(ao.data(), static_cast<unsigned int>(ao.size()), &f), b(bo.data(), static_cast<unsigned int>(bo.size()), &f);
        auto reference = [&](const QvGF2n &u, const QvGF2n &v) {
            std::vector<QvWord> x(u.getWords(), u.getWords() + n), prod(n, 0);
            const QvWord *y = v.getWords();
            for (unsigned int i = 0; i < m; ++i) {
                if ((y[i / 32] >> (i % 32)) & 1)
                    for (unsigned int j = 0; j < n; ++j) prod[j] ^= x[j];
                for (unsigned int j = n; j-- > 1;) x[j] = (x[j] << 1) | (x[j - 1] >> 31);
                x[0] <<= 1;
                if ((x[m / 32] >> (m % 32)) & 1)
                    for (unsigned int j = 0; j < n; ++j) x[j] ^= poly[j];
            }
            return prod;
        };
        QvGF2n r = a * b;
        EXPECT_EQ(std::vector<QvWord>(r.getWords(), r.getWords() + n), reference(a, b)) << round;
        QvGF2n s(a);
        s *= s;
        EXPECT_EQ(std::vector<QvWord>(s.getWords(), s.getWords() + n), reference(a, a)) << round;
    }
}

TEST(BinaryField, QuadraticWithoutRootsLeavesOutputsAlone)
{
    // Over GF(2^163), z^2 + z = 1 has no root (Tr(1) = m mod 2 = 1).
    QvGF2nField f(kF163);
    QvGF2n one("01", &f), x1, x2;
    EXPECT_EQ(solve(one, one, &f, x1, x2), 0u);
    EXPECT_EQ(x1.getField(), nullptr);
    EXPECT_EQ(x2.getField(), nullptr);
    // Over GF(2^128) (even m), Tr(1) = 0: two roots differing by 1.
    QvGF2nField g("0100000000000000000000000000000087");
    QvGF2n o("01", &g), y1, y2;
    EXPECT_EQ(solve(o, o, &g, y1, y2), 2u);
    EXPECT_EQ(y1 * y1 + y1, o);
    EXPECT_EQ(y1 + y2, o);
}
