// The generic group operations on the multiplicative group of residues.
#include <gtest/gtest.h>

#include <memory>

#include "libtorvapp/qvnumbers/qvmultiplicativemodulusgroup.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

namespace {

struct Del {
    void operator()(QvGroupElem *e) const { delete e; }
};
typedef std::unique_ptr<QvGroupElem, Del> Elem;

QvN val(const QvGroup &g, const QvGroupElem *e) { return g.asQvN(e); }

// Reaches the generic scalar multiplication of the base classes, which the
// residue group replaces by exponentiation.
class GenericGroup : public QvMultiplicativeModulusGroup {
public:
    using QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup;
    void multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const override {
        QvGroup::multiply(r, k, a);
    }
};

}  // namespace

TEST(QvGroup, WindowWidths) {
    EXPECT_EQ(qvGroupWindowWidth(160), 4u);
    EXPECT_EQ(qvGroupWindowWidth(256), 4u);
    EXPECT_EQ(qvGroupWindowWidth(384), 5u);
    EXPECT_EQ(qvGroupWindowWidth(521), 5u);
    EXPECT_EQ(qvGroupWindowWidth(1024), 5u);
    EXPECT_EQ(qvGroupWindowWidth(2048), 6u);
    EXPECT_EQ(qvGroupWindowWidth(1), 1u);
    EXPECT_EQ(qvAbelianGroupWindowWidth(160), 2u);
    EXPECT_EQ(qvAbelianGroupWindowWidth(256), 2u);
    EXPECT_EQ(qvAbelianGroupWindowWidth(521), 3u);
    EXPECT_EQ(qvAbelianGroupWindowWidth(1024), 3u);
    EXPECT_EQ(qvAbelianGroupWindowWidth(2048), 3u);
}

TEST(QvGroup, MultiplicativeGroupModulo23) {
    for (unsigned int opt : {0u, 8u, 16u}) {
        GenericGroup g(QvN(23u, 1), opt);
        Elem five(g.createNew((const QvOctet *)"\x05", 1)), two(g.createNew((const QvOctet *)"\x02", 1));
        Elem three(g.createNew((const QvOctet *)"\x03", 1)), r(g.newElement(nullptr));
        g.multiply(r.get(), QvN(11u, 1), five.get());
        EXPECT_EQ(val(g, r.get()), 22u);
        g.multiplyWord(r.get(), 0, five.get());
        EXPECT_EQ(val(g, r.get()), 1u);
        g.multiplyWord(r.get(), 11, five.get());
        EXPECT_EQ(val(g, r.get()), 22u);
        g.multiplyTwo(r.get(), QvN(3u, 1), two.get(), QvN(5u, 1), three.get());
        EXPECT_EQ(val(g, r.get()), 12u);
        g.QvGroup::multiplyTwo(r.get(), QvN(3u, 1), two.get(), QvN(5u, 1), three.get());
        EXPECT_EQ(val(g, r.get()), 12u);
        g.multiplyTwo(r.get(), QvN(3u, 1), two.get(), QvN(5u, 1), two.get());
        EXPECT_EQ(val(g, r.get()), 3u);
        g.add(r.get(), five.get(), five.get());
        EXPECT_EQ(val(g, r.get()), 2u);
        g.subtract(r.get(), five.get(), five.get());
        EXPECT_EQ(val(g, r.get()), 1u);
        g.add(r.get(), two.get(), three.get());
        EXPECT_EQ(val(g, r.get()), 6u);
        g.subtract(r.get(), two.get(), three.get());  // 2 / 3 = 2 * 8 = 16
        EXPECT_EQ(val(g, r.get()), 16u);
        g.negate(r.get(), two.get());
        EXPECT_EQ(val(g, r.get()), 12u);
        g.assignElement(r.get(), five.get());
        EXPECT_TRUE(g.equals(r.get(), five.get()));
        // The result may be one of the operands.
        g.assignElement(r.get(), two.get());
        g.add(r.get(), three.get(), r.get());
        EXPECT_EQ(val(g, r.get()), 6u);
        g.assignElement(r.get(), two.get());
        g.subtract(r.get(), three.get(), r.get());  // 3 / 2 = 3 * 12 = 13
        EXPECT_EQ(val(g, r.get()), 13u);
        Elem s(g.sum(two.get(), three.get())), d(g.difference(two.get(), two.get())), n(g.negative(two.get()));
        EXPECT_EQ(val(g, s.get()), 6u);
        EXPECT_EQ(val(g, d.get()), 1u);
        EXPECT_EQ(val(g, n.get()), 12u);
        Elem p(g.product(QvN(11u, 1), five.get())), pw(g.productWord(11, five.get()));
        Elem p2(g.productTwo(QvN(3u, 1), two.get(), QvN(5u, 1), three.get()));
        EXPECT_EQ(val(g, p.get()), 22u);
        EXPECT_EQ(val(g, pw.get()), 22u);
        EXPECT_EQ(val(g, p2.get()), 12u);
    }
}

TEST(QvGroup, ScalarMultiplicationMatchesExponentiation) {
    Source src(41);
    BnCtx ctx(BN_CTX_new());
    Bn bp = newBn();
    ASSERT_TRUE(BN_generate_prime_ex(bp.get(), 512, 0, nullptr, nullptr, nullptr));
    const QvN p = fromBn(bp.get());
    GenericGroup g(p, 8);
    for (int i = 0; i < 10; ++i) {
        QvN a = src.below(p), b = src.below(p), k1 = src.bits(1 + src.below(600)), k2 = src.bits(1 + src.below(600));
        QvZn ea(a, &g), eb(b, &g);
        Elem r(g.newElement(nullptr));
        g.multiply(r.get(), k1, &ea);
        Bn want = newBn(), t = newBn(), ba = toBn(a), bb = toBn(b), bk1 = toBn(k1), bk2 = toBn(k2);
        BN_mod_exp(want.get(), ba.get(), bk1.get(), bp.get(), ctx.get());
        ASSERT_EQ(val(g, r.get()), fromBn(want.get()));
        g.multiplyTwo(r.get(), k1, &ea, k2, &eb);
        BN_mod_exp(t.get(), bb.get(), bk2.get(), bp.get(), ctx.get());
        BN_mod_mul(want.get(), want.get(), t.get(), bp.get(), ctx.get());
        ASSERT_EQ(val(g, r.get()), fromBn(want.get()));
        g.QvGroup::multiplyTwo(r.get(), k1, &ea, k2, &eb);
        ASSERT_EQ(val(g, r.get()), fromBn(want.get()));
        // The residue group's own multiply gives the same.
        g.QvMultiplicativeModulusGroup::multiply(r.get(), k1, &ea);
        BN_mod_exp(want.get(), ba.get(), bk1.get(), bp.get(), ctx.get());
        ASSERT_EQ(val(g, r.get()), fromBn(want.get()));
    }
}

TEST(QvGroup, EncodingsOfResidues) {
    std::vector<QvOctet> m(128, 0xFF);
    m[127] = 0xF1;
    QvMultiplicativeModulusGroup g(QvN(m.data(), 128, 0), 8);
    Elem one(g.newElement(nullptr)), zero(g.createNew((const QvOctet *)"\x00", 1));
    QvConvOS secret = g.asDhSecret(one.get());
    ASSERT_EQ(secret.getLength(), 128u);
    for (unsigned int i = 0; i < 127; ++i) EXPECT_EQ(secret.getConstData()[i], 0);
    EXPECT_EQ(secret.getConstData()[127], 1);
    QvOctet out[4] = {9, 9, 9, 9};
    EXPECT_EQ(g.asOctetString(zero.get(), out, 4), 1u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(g.getOctetStringEncodingLen(zero.get()), 0u);
    EXPECT_EQ(g.getOctetStringEncodingLen(one.get()), 1u);
    // An encoding at or above n is reduced.
    Elem big(g.createNew(m.data(), 128));
    EXPECT_EQ(val(g, big.get()), 0u);
    Elem r(g.newElement(nullptr));
    g.assignOctets(r.get(), (const QvOctet *)"\x01\x00", 2);
    EXPECT_EQ(val(g, r.get()), 256u);
    EXPECT_THROW(g.getOctetStringEncodingLen(nullptr), QvNotInitException);
    try {
        g.asOctetString(nullptr, out, 4);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_STREQ(e.what(),
                     "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const "
                     "QvGroupElem *g).\nFUNCTION: unsigned int QvMultiplicativeModulusGroup::asOctetString(const "
                     "QvGroupElem *g, QvOctet *oct, unsigned int len) const\nFILE: "
                     "qvnumbers/qvmultiplicativemodulusgroup\nLINE: 120\n");
    }
}
