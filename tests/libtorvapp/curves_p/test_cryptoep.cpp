// The fixed-prime curve class: doubling tables, its own decoding rules and
// failure texts.
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>

#include <functional>
#include <sstream>

#include "curves_p_support.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

const char kCreateNew[] = "QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, unsigned int len) const";

class CryptoEpP256 : public ::testing::Test {
protected:
    void SetUp() override {
        ref.reset(new RefCurve(NID_X9_62_prime256v1));
        c = makeCryptoEp(*ref);
        G = ref->generator();
        g = decodeElem(*c, G);
    }
    Bytes enc(const QvGroupElem *e) { return encodeElem(*c, e, 65); }
    std::unique_ptr<RefCurve> ref;
    std::unique_ptr<QvCryptoEp> c;
    Bytes G;
    ElemPtr g;
};

TEST(CryptoEpPrimes, OnlyTheSixPrimesAreAccepted) {
    for (int nid : {NID_secp160r1, NID_X9_62_prime192v1, NID_secp224r1, NID_X9_62_prime256v1, NID_secp384r1,
                    NID_secp521r1}) {
        RefCurve r(nid);
        EXPECT_NO_THROW(makeCryptoEp(r));
    }
    const std::string refused =
        exceptionText("QvLibNotImplementedException", "There is no special implementation for this prime field.",
                      "void QvCryptoEp::setField(const QvN &prime)", "qvcryptoep/qvcryptoep", 90);
    for (int nid : {NID_secp256k1, NID_brainpoolP256r1, NID_secp160k1}) {
        RefCurve r(nid);
        EXPECT_EQ(thrownText<QvLibNotImplementedException>([&] { makeCryptoEp(r); }), refused);
    }
    QvCryptoEp empty;
    EXPECT_EQ(empty.getWordCount(), 0u);
    EXPECT_EQ(empty.getStride(), 0u);
}

TEST_F(CryptoEpP256, WordLayout) {
    EXPECT_EQ(c->getWordCount(), 8u);
    EXPECT_EQ(c->getStride(), 24u);
    EXPECT_TRUE(c->isAMinus3());
    RefCurve r521(NID_secp521r1);
    EXPECT_EQ(makeCryptoEp(r521)->getWordCount(), 17u);
    RefCurve r160(NID_secp160r1);
    EXPECT_EQ(makeCryptoEp(r160)->getWordCount(), 5u);
}

TEST_F(CryptoEpP256, CompressedFormsAndTheirRefusals) {
    const Bytes C = ref->mulG(Bytes{0x77, 0x12}, POINT_CONVERSION_COMPRESSED);
    ElemPtr p = decodeElem(*c, C);
    EXPECT_EQ(toHex(encodeElem(*c, p.get(), 33)), toHex(C));
    const std::string notImpl =
        exceptionText("QvLibNotImplementedException", "Elliptic Curve point compresion is not implemented.", kCreateNew,
                      "qvcryptoep/cryptoep_group", 120);
    Bytes c34 = C;
    c34.push_back(0);
    EXPECT_EQ(thrownText<QvLibNotImplementedException>([&] { c->createNew(C.data(), 32); }), notImpl);
    EXPECT_EQ(thrownText<QvLibNotImplementedException>([&] { decodeElem(*c, c34); }), notImpl);
    Bytes one = G;
    one[0] = 0x01;
    const std::string wrong =
        exceptionText("QvWrongSyntaxException", "Wrong length of input buffer (const QvOctet *oct).", kCreateNew,
                      "qvcryptoep/cryptoep_group", 140);
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { decodeElem(*c, one); }), wrong);
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { decodeElem(*c, Bytes{0x00, 0x01}); }), wrong);
    EXPECT_EQ(
        thrownText<QvArgumentRangeException>([&] { c->createNew(G.data(), 0); }),
        exceptionText("QvArgumentRangeException", "Length of input buffer (const QvOctet *oct) must be more than 0.",
                      kCreateNew, "qvcryptoep/cryptoep_group", 97));
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { c->createNew(G.data(), 66 - 2); }),
              exceptionText("QvArgumentRangeException", "Wrong size of input buffer (const QvOctet *oct).", kCreateNew,
                            "qvcryptoep/cryptoep_group", 107));
    ElemPtr inf = decodeElem(*c, Bytes{0x00});
    EXPECT_EQ(toHex(enc(inf.get())), "00");
}

TEST_F(CryptoEpP256, DoublingTableMultiplication) {
    EXPECT_EQ(static_cast<QvCryptoEpPoint *>(g.get())->getTableSize(), 0u);
    g->precompute();
    EXPECT_EQ(static_cast<QvCryptoEpPoint *>(g.get())->getTableSize(), 258u);
    ElemPtr plain = decodeElem(*c, G);
    // k = 0
    ElemPtr r(c->product(QvN(), g.get()));
    EXPECT_EQ(toHex(enc(r.get())), "00");
    // k = q - 1 gives -G
    const QvN q(ref->nHex().c_str());
    ElemPtr m(c->product(q - 1u, g.get()));
    EXPECT_EQ(toHex(enc(m.get())), toHex(ref->invert(G)));
    // With and without the table, random scalars, and scalars as long as p
    // and one bit longer (the latter takes the group's method).
    for (int i = 0; i < 20; ++i) {
        Bytes k = ref->randomScalar();
        if (i == 0) k = Bytes(32, 0xFF);
        if (i == 1) {
            k = Bytes(33, 0xFF);
            k[0] = 0x01;
        }
        if (i == 2) k = Bytes(32, 0xFF), k[31] = 0xFE;
        ElemPtr a(c->product(toQvN(k), g.get())), b(c->product(toQvN(k), plain.get()));
        EXPECT_EQ(toHex(enc(a.get())), toHex(enc(b.get())));
        EXPECT_EQ(toHex(enc(a.get())), toHex(ref->mulG(k))) << toHex(k);
    }
    // The result may be the table's own point.
    ElemPtr copy(c->newElement(g.get()));
    EXPECT_EQ(static_cast<QvCryptoEpPoint *>(copy.get())->getTableSize(), 0u);
    Bytes k = ref->randomScalar();
    c->multiply(g.get(), toQvN(k), g.get());
    EXPECT_EQ(toHex(enc(g.get())), toHex(ref->mulG(k)));
    // Assignment drops the table; multiplication falls back.
    g = decodeElem(*c, G);
    g->precompute();
    c->assignElement(g.get(), plain.get());
    EXPECT_EQ(static_cast<QvCryptoEpPoint *>(g.get())->getTableSize(), 0u);
    ElemPtr after(c->product(toQvN(k), g.get()));
    EXPECT_EQ(toHex(enc(after.get())), toHex(ref->mulG(k)));
}

TEST_F(CryptoEpP256, EqualityAcrossRepresentations) {
    ElemPtr jac(c->productWord(5, g.get()));  // Z != 1
    ElemPtr aff = decodeElem(*c, ref->mulG(Bytes{5}));
    EXPECT_TRUE(c->equals(jac.get(), aff.get()));
    ElemPtr neg(c->negative(aff.get()));
    EXPECT_FALSE(c->equals(jac.get(), neg.get()));
    EXPECT_TRUE(c->equals(jac.get(), jac.get()));
    // Same object through the in-place operations.
    ElemPtr s(c->newElement(aff.get()));
    c->addInPlace(s.get(), s.get());
    EXPECT_EQ(toHex(enc(s.get())), toHex(ref->mulG(Bytes{10})));
    c->subtractInPlace(s.get(), s.get());
    EXPECT_EQ(toHex(enc(s.get())), "00");
}

TEST_F(CryptoEpP256, FailureTexts) {
    EXPECT_EQ(thrownText<QvNotInitException>([&] { c->getOctetStringEncodingLen(nullptr); }),
              exceptionText("QvNotInitException", "Not initialised element (const QvGroupElem *g).",
                            "unsigned int QvCryptoEp::getOctetStringEncodingLen(const QvGroupElem *g) const",
                            "qvcryptoep/cryptoep_group", 198));
    QvOctet b[65];
    EXPECT_EQ(c->asOctetString(nullptr, b, 0), 0u);
    EXPECT_EQ(
        thrownText<QvNotInitException>([&] { c->asOctetString(nullptr, b, 65); }),
        exceptionText("QvNotInitException", "Not initialised element (const QvGroupElem *g).",
                      "unsigned int QvCryptoEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) "
                      "const",
                      "qvcryptoep/cryptoep_group", 233));
    ElemPtr inf(c->newElement(nullptr));
    EXPECT_EQ(
        thrownText<QvArgumentRangeException>([&] { c->asDhSecret(inf.get()); }),
        exceptionText("QvArgumentRangeException", "Neutral point is not allowed as DH secret.",
                      "QvConvOS QvCryptoEp::asDhSecret(const QvGroupElem *g) const", "qvcryptoep/cryptoep_group", 285));
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { c->asQvN(inf.get()); }),
              exceptionText("QvDivByZeroException", "Converted element is point at infinity.",
                            "QvN QvCryptoEp::asQvN(const QvGroupElem *g) const", "qvcryptoep/cryptoep_group", 301));
    Bytes buf(32);
    EXPECT_EQ(c->getA(buf.data(), 32), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->aHex());
    EXPECT_EQ(c->getB(buf.data(), 33), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->bHex());
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { c->getA(buf.data(), 31); }),
              exceptionText("QvArgumentRangeException", "Too small output buffer (QvOctet *oct).",
                            "unsigned int QvCryptoEp::getA(QvOctet *oct, unsigned int len) const",
                            "qvcryptoep/cryptoep_access", 20));
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { c->getB(buf.data(), 0); }),
              exceptionText("QvArgumentRangeException", "Too small output buffer (QvOctet *oct).",
                            "unsigned int QvCryptoEp::getB(QvOctet *oct, unsigned int len) const",
                            "qvcryptoep/cryptoep_access", 34));
}

TEST_F(CryptoEpP256, PrintWritesOctalAffineCoordinates) {
    QvCryptoEpPoint p(QvN(8u, 1), QvN(9u, 1), c.get());
    testing::internal::CaptureStdout();
    p.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(10, 11)");
    QvCryptoEpPoint o(c.get());
    testing::internal::CaptureStdout();
    o.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "O");
}

TEST_F(CryptoEpP256, CopiesAndAssignedCurvesWork) {
    QvCryptoEp copy(*c);
    QvCryptoEp assigned;
    assigned = copy;
    for (QvCryptoEp *cur : {&copy, &assigned}) {
        ElemPtr q = decodeElem(*cur, G);
        ElemPtr r(cur->productWord(3, q.get()));
        EXPECT_EQ(toHex(encodeElem(*cur, r.get(), 65)), toHex(ref->mulG(Bytes{3})));
    }
    // Octet constructor.
    Bytes a(32), b(32), p = FromHex(ref->pHex().substr(2));
    c->getA(a.data(), 32);
    c->getB(b.data(), 32);
    QvCryptoEp fromOctets(a.data(), 32, b.data(), 32, p.data(), 32);
    EXPECT_TRUE(fromOctets.isAMinus3());
    ElemPtr q = decodeElem(fromOctets, G);
    EXPECT_TRUE(fromOctets.isOnCurve(*static_cast<QvCryptoEpPoint *>(q.get())));
}

}  // namespace
