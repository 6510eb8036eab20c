// Both prime-curve groups against OpenSSL's EC_POINT arithmetic, and the
// behaviour of the general curve class at its edges.
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>

#include <functional>
#include <map>

#include "curves_p_support.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

struct Case {
    int nid;
    bool fixedPrime;  // QvCryptoEp, else QvEp
    const char *name;
};

std::unique_ptr<QvGroup> makeGroup(const Case &c, const RefCurve &ref) {
    if (c.fixedPrime) return std::unique_ptr<QvGroup>(makeCryptoEp(ref).release());
    return std::unique_ptr<QvGroup>(makeEp(ref).release());
}

class CurveVsOpenSsl : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ref.reset(new RefCurve(GetParam().nid));
        grp = makeGroup(GetParam(), *ref);
        L = ref->fieldOctets();
        g = decodeElem(*grp, ref->generator());
    }
    Bytes enc(const QvGroupElem *e) { return encodeElem(*grp, e, 2 * L + 1); }
    std::unique_ptr<RefCurve> ref;
    std::unique_ptr<QvGroup> grp;
    unsigned int L = 0;
    ElemPtr g;
};

TEST_P(CurveVsOpenSsl, ScalarMultiplesOfTheBasePointMatch) {
    for (int i = 0; i < 12; ++i) {
        Bytes k = ref->randomScalar();
        ElemPtr r(grp->product(toQvN(k), g.get()));
        EXPECT_EQ(toHex(enc(r.get())), toHex(ref->mulG(k))) << toHex(k);
        EXPECT_EQ(toHex(encodeElem(*grp, r.get(), L + 1)), toHex(ref->mulG(k, POINT_CONVERSION_COMPRESSED)));
    }
    // Small multiples, and scalars above the order.
    for (unsigned int w = 1; w < 20; ++w) {
        ElemPtr r(grp->productWord(w, g.get()));
        Bytes k(1, (unsigned char)w);
        EXPECT_EQ(toHex(enc(r.get())), toHex(ref->mulG(k))) << w;
    }
    Bytes big = randomBytes(L + 3);
    ElemPtr r(grp->product(toQvN(big), g.get()));
    EXPECT_EQ(toHex(enc(r.get())), toHex(ref->mulG(big)));
}

TEST_P(CurveVsOpenSsl, MultiplesOfAnyPointMatchAlsoFromJacobianOperands) {
    for (int i = 0; i < 6; ++i) {
        Bytes k1 = ref->randomScalar(), k2 = ref->randomScalar();
        // P in Jacobian form (Z != 1) and decoded (Z = 1).
        ElemPtr pj(grp->product(toQvN(k1), g.get()));
        Bytes P = enc(pj.get());
        ElemPtr pa = decodeElem(*grp, P);
        ElemPtr r1(grp->product(toQvN(k2), pj.get())), r2(grp->product(toQvN(k2), pa.get()));
        Bytes want = ref->mul(k2, P);
        EXPECT_EQ(toHex(enc(r1.get())), toHex(want));
        EXPECT_EQ(toHex(enc(r2.get())), toHex(want));
    }
}

TEST_P(CurveVsOpenSsl, AddDoubleNegateSubtractMatch) {
    for (int i = 0; i < 10; ++i) {
        Bytes k1 = ref->randomScalar(), k2 = ref->randomScalar();
        ElemPtr pj(grp->product(toQvN(k1), g.get())), qj(grp->product(toQvN(k2), g.get()));
        Bytes P = enc(pj.get()), Q = enc(qj.get());
        ElemPtr pa = decodeElem(*grp, P), qa = decodeElem(*grp, Q);
        const Bytes sum = ref->add(P, Q), dbl = ref->dbl(P), neg = ref->invert(Q);
        const Bytes diff = ref->add(P, neg);
        const QvGroupElem *ps[2] = {pj.get(), pa.get()}, *qs[2] = {qj.get(), qa.get()};
        for (const QvGroupElem *p : ps)
            for (const QvGroupElem *q : qs) {
                ElemPtr r(grp->newElement(nullptr));
                grp->add(r.get(), p, q);
                EXPECT_EQ(toHex(enc(r.get())), toHex(sum));
                grp->subtract(r.get(), p, q);
                EXPECT_EQ(toHex(enc(r.get())), toHex(diff));
                ElemPtr s(grp->sum(q, p));
                EXPECT_EQ(toHex(enc(s.get())), toHex(sum));
            }
        ElemPtr d(grp->newElement(pj.get()));
        grp->doubleInPlace(d.get());
        EXPECT_EQ(toHex(enc(d.get())), toHex(dbl));
        ElemPtr n(grp->negative(qj.get()));
        EXPECT_EQ(toHex(enc(n.get())), toHex(neg));
        EXPECT_TRUE(grp->equals(n.get(), decodeElem(*grp, neg).get()));
        EXPECT_FALSE(grp->equals(n.get(), qa.get()));
    }
}

TEST_P(CurveVsOpenSsl, LinearCombinationsMatch) {
    for (int i = 0; i < 4; ++i) {
        Bytes k1 = ref->randomScalar(), k2 = ref->randomScalar(), kq = ref->randomScalar();
        ElemPtr q(grp->product(toQvN(kq), g.get()));
        Bytes Q = enc(q.get());
        ElemPtr r(grp->productTwo(toQvN(k1), g.get(), toQvN(k2), q.get()));
        EXPECT_EQ(toHex(enc(r.get())), toHex(ref->mulTwo(k1, ref->generator(), k2, Q)));
        // Both bases one object: (k1 + k2) G.
        ElemPtr s(grp->productTwo(toQvN(k1), g.get(), toQvN(k2), g.get()));
        EXPECT_EQ(toHex(enc(s.get())), toHex(ref->mulTwo(k1, ref->generator(), k2, ref->generator())));
    }
}

TEST_P(CurveVsOpenSsl, EncodingsBothWays) {
    for (int i = 0; i < 8; ++i) {
        Bytes k = ref->randomScalar();
        const Bytes U = ref->mulG(k), C = ref->mulG(k, POINT_CONVERSION_COMPRESSED),
                    H = ref->mulG(k, POINT_CONVERSION_HYBRID);
        for (const Bytes &form : {U, C, H}) {
            ElemPtr p = decodeElem(*grp, form);
            EXPECT_EQ(toHex(enc(p.get())), toHex(U));
            EXPECT_EQ(toHex(encodeElem(*grp, p.get(), L + 1)), toHex(C));
            EXPECT_EQ(toHex(encodeElem(*grp, p.get(), 2 * L + 7)), toHex(U));
        }
        ElemPtr p = decodeElem(*grp, U);
        QvConvOS secret = grp->asDhSecret(p.get());
        EXPECT_EQ(toHex(Bytes(secret.getData(), secret.getData() + secret.getLength())),
                  toHex(Bytes(U.begin() + 1, U.begin() + 1 + L)));
        EXPECT_EQ(grp->asQvN(p.get()), QvN(U.data() + 1, L, 0));
        EXPECT_EQ(grp->getOctetStringEncodingLen(p.get()), 2 * L + 1);
    }
}

TEST_P(CurveVsOpenSsl, PointsOffTheCurveAreRefused) {
    for (int i = 0; i < 4; ++i) {
        Bytes U = ref->mulG(ref->randomScalar());
        U[2 * L] ^= 1;  // y changed: off the curve
        try {
            decodeElem(*grp, U);
            ADD_FAILURE() << "accepted " << toHex(U);
        } catch (const QvWrongSyntaxException &e) {
            EXPECT_NE(std::string(e.what()).find("REASON: Elliptic Curve point is not on the curve.\n"),
                      std::string::npos);
        }
        U[0] = 0x06;
        EXPECT_THROW(decodeElem(*grp, U), QvWrongSyntaxException);
    }
    // An abscissa without a point: the square root is refused.
    int refused = 0;
    for (int i = 0; i < 16 && refused == 0; ++i) {
        Bytes C = ref->mulG(ref->randomScalar(), POINT_CONVERSION_COMPRESSED);
        C[L] ^= 1;
        try {
            ElemPtr p = decodeElem(*grp, C);
        } catch (const QvArgumentRangeException &) {
            ++refused;
        }
    }
    EXPECT_EQ(refused, 1);
}

TEST_P(CurveVsOpenSsl, OrderTimesGeneratorIsTheNeutralPoint) {
    Bytes n(L + 8);
    n.resize(BN_bn2bin(ref->order(), n.data()));
    ElemPtr r(grp->product(toQvN(n), g.get()));
    EXPECT_EQ(toHex(enc(r.get())), "00");
    EXPECT_EQ(grp->getOctetStringEncodingLen(r.get()), 1u);
    ElemPtr inf = decodeElem(*grp, Bytes{0x00});
    EXPECT_TRUE(grp->equals(r.get(), inf.get()));
    ElemPtr neutral(grp->newElement(nullptr));
    EXPECT_TRUE(grp->equals(neutral.get(), inf.get()));
    // (n - 1) G = -G
    ElemPtr m(grp->product(toQvN(n) - 1u, g.get()));
    EXPECT_EQ(toHex(enc(m.get())), toHex(ref->invert(ref->generator())));
    ElemPtr z(grp->product(QvN(), g.get()));
    EXPECT_EQ(toHex(enc(z.get())), "00");
}

const Case kCases[] = {
    {NID_X9_62_prime192v1, true, "Fixed_P192"},   {NID_secp224r1, true, "Fixed_P224"},
    {NID_X9_62_prime256v1, true, "Fixed_P256"},   {NID_secp384r1, true, "Fixed_P384"},
    {NID_secp521r1, true, "Fixed_P521"},          {NID_secp160r1, true, "Fixed_secp160r1"},
    {NID_X9_62_prime192v1, false, "General_P192"}, {NID_secp224r1, false, "General_P224"},
    {NID_X9_62_prime256v1, false, "General_P256"}, {NID_secp384r1, false, "General_P384"},
    {NID_secp521r1, false, "General_P521"},       {NID_secp160r1, false, "General_secp160r1"},
    {NID_secp256k1, false, "General_secp256k1"},  {NID_secp224k1, false, "General_secp224k1"},
    {NID_secp112r1, false, "General_secp112r1"},  {NID_secp128r2, false, "General_secp128r2"},
    {NID_brainpoolP256r1, false, "General_brainpoolP256r1"},
    {NID_brainpoolP384t1, false, "General_brainpoolP384t1"},
    {NID_brainpoolP512r1, false, "General_brainpoolP512r1"},
};

INSTANTIATE_TEST_SUITE_P(Curves, CurveVsOpenSsl, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Known answers
// ---------------------------------------------------------------------------
TEST(CurvePKnownAnswers, P256ParametersAndSmallMultiples) {
    std::map<std::string, std::string> par;
    std::vector<std::vector<std::string>> mults;
    for (const testsupport::DataLine &l : testsupport::ReadDataLines(testsupport::DataFile("p256_multiples.txt"))) {
        if (l.fields.size() == 2) par[l.fields[0]] = l.fields[1];
        else if (l.fields.size() == 3) mults.push_back(l.fields);
    }
    ASSERT_EQ(mults.size(), 3u);
    RefCurve ref(NID_X9_62_prime256v1);
    EXPECT_EQ(ref.pHex(), "0x" + par["p"]);
    EXPECT_EQ(ref.bHex(), "0x" + par["b"]);
    EXPECT_EQ(ref.nHex(), "0x" + par["n"]);
    const std::string p = "0x" + par["p"], b = "0x" + par["b"];
    QvEp ep(("-3"), b.c_str(), p.c_str());
    EXPECT_TRUE(ep.isAMinus3());
    QvCryptoEp cep(ref.aHex().c_str(), b.c_str(), p.c_str());
    EXPECT_TRUE(cep.isAMinus3());
    const Bytes G = FromHex("04" + par["Gx"] + par["Gy"]);
    ASSERT_EQ(toHex(ref.generator()), toHex(G));
    for (QvGroup *grp : {(QvGroup *)&ep, (QvGroup *)&cep}) {
        ElemPtr g = decodeElem(*grp, G);
        for (const auto &m : mults) {
            ElemPtr r(grp->product(QvN(("0x" + m[0]).c_str()), g.get()));
            EXPECT_EQ(toHex(encodeElem(*grp, r.get(), 65)), "04" + m[1] + m[2]) << m[0];
        }
    }
}

// ---------------------------------------------------------------------------
// The general curve at its edges (P-256 parameters)
// ---------------------------------------------------------------------------
class EpEdges : public ::testing::Test {
protected:
    void SetUp() override {
        ref.reset(new RefCurve(NID_X9_62_prime256v1));
        ep = makeEp(*ref);
        G = ref->generator();
        g = decodeElem(*ep, G);
    }
    std::unique_ptr<RefCurve> ref;
    std::unique_ptr<QvEp> ep;
    Bytes G;
    ElemPtr g;
};

TEST_F(EpEdges, EncodingFormFollowsTheBufferSize) {
    Bytes buf(80, 0xAA);
    EXPECT_EQ(ep->asOctetString(g.get(), buf.data(), 65), 65u);
    EXPECT_EQ(toHex(Bytes(buf.begin(), buf.begin() + 65)), toHex(G));
    for (unsigned int len : {33u, 40u, 64u}) {
        Bytes b(len, 0xAA);
        EXPECT_EQ(ep->asOctetString(g.get(), b.data(), len), 33u);
        EXPECT_EQ(toHex(Bytes(b.begin(), b.begin() + 33)), toHex(ref->generator(POINT_CONVERSION_COMPRESSED)));
    }
    for (unsigned int len : {1u, 16u, 32u}) {
        Bytes b(len, 0xAA);
        EXPECT_EQ(ep->asOctetString(g.get(), b.data(), len), 0u);
        EXPECT_EQ(b, Bytes(len, 0xAA));
    }
    EXPECT_EQ(ep->asOctetString(nullptr, buf.data(), 0), 0u);
    ElemPtr inf(ep->newElement(nullptr));
    Bytes one(1, 0xAA);
    EXPECT_EQ(ep->asOctetString(inf.get(), one.data(), 1), 1u);
    EXPECT_EQ(one[0], 0x00);
}

TEST_F(EpEdges, FirstOctetForms) {
    Bytes U = G;
    for (unsigned char pc : {0x05, 0x06, 0x07}) {
        U[0] = pc;
        ElemPtr p = decodeElem(*ep, U);
        EXPECT_TRUE(ep->equals(p.get(), g.get())) << (int)pc;
    }
    Bytes C = ref->generator(POINT_CONVERSION_COMPRESSED);
    const bool yOdd = C[0] == 0x03;
    C[0] = 0x0A;  // compressed, even y
    ElemPtr p = decodeElem(*ep, C);
    EXPECT_EQ(ep->equals(p.get(), g.get()), !yOdd);
    const std::string wrong =
        exceptionText("QvWrongSyntaxException", "Wrong encoging of Elliptic Curve point.",
                      "QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const", "qvep/ep_group", 79);
    for (unsigned char pc : {0x01, 0x08}) {
        Bytes b = G;
        b[0] = pc;
        EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { decodeElem(*ep, b); }), wrong);
    }
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { decodeElem(*ep, Bytes{0x00, 0x00}); }), wrong);
    EXPECT_EQ(
        thrownText<QvArgumentRangeException>([&] { ep->createNew(G.data(), 0); }),
        exceptionText("QvArgumentRangeException", "Number of octets (const QvOctet *oct) must be more than 0",
                      "QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const", "qvep/ep_group", 42));
    EXPECT_EQ(
        thrownText<QvArgumentRangeException>([&] { ep->createNew(G.data(), 64); }),
        exceptionText("QvArgumentRangeException", "Wrong number of (const QvOctet *oct) octets.",
                      "QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const", "qvep/ep_group", 52));
    Bytes C2 = ref->generator(POINT_CONVERSION_COMPRESSED);
    EXPECT_EQ(
        thrownText<QvArgumentRangeException>([&] { ep->createNew(C2.data(), 32); }),
        exceptionText("QvArgumentRangeException", "Wrong number of (const QvOctet *oct) octets.",
                      "QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const", "qvep/ep_group", 65));
}

TEST_F(EpEdges, CoordinatesNotBelowThePrimeAreRefused) {
    // On P-521 every coordinate plus p still fits in 66 octets.
    RefCurve r521(NID_secp521r1);
    auto e = makeEp(r521);
    Bytes U = r521.generator();
    QvN x(U.data() + 1, 66, 0);
    x += QvN(r521.pHex().c_str());
    x.asOctetString(U.data() + 1, 66, true);
    EXPECT_EQ(
        thrownText<QvWrongSyntaxException>([&] { decodeElem(*e, U); }),
        exceptionText("QvWrongSyntaxException", "Elliptic Curve point coordinate is not below the field prime.",
                      "QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const", "qvep/ep_group", 0));
}

TEST_F(EpEdges, LeadingZeroOctetsAreKept) {
    for (int i = 0; i < 4000; ++i) {
        Bytes k = ref->randomScalar();
        Bytes U = ref->mulG(k);
        if (U[1] != 0) continue;
        ElemPtr p(ep->product(toQvN(k), g.get()));
        EXPECT_EQ(toHex(encodeElem(*ep, p.get(), 65)), toHex(U));
        QvConvOS s = ep->asDhSecret(p.get());
        ASSERT_EQ(s.getLength(), 32u);
        EXPECT_EQ(toHex(Bytes(s.getData(), s.getData() + 32)), toHex(Bytes(U.begin() + 1, U.begin() + 33)));
        return;
    }
    ADD_FAILURE() << "no multiple with a leading zero octet found";
}

TEST_F(EpEdges, CancellationAndDoublingThroughAddition) {
    ElemPtr p(ep->productWord(7, g.get()));
    ElemPtr n(ep->negative(p.get()));
    ElemPtr r(ep->sum(p.get(), n.get()));
    EXPECT_EQ(toHex(encodeElem(*ep, r.get(), 65)), "00");
    ElemPtr d(ep->difference(p.get(), p.get()));
    EXPECT_EQ(toHex(encodeElem(*ep, d.get(), 65)), "00");
    ElemPtr copy(ep->newElement(p.get()));
    ep->subtractInPlace(copy.get(), p.get());
    EXPECT_EQ(toHex(encodeElem(*ep, copy.get(), 65)), "00");
    // Same object: doubled, or cancelled.
    ElemPtr s(ep->newElement(p.get()));
    ep->addInPlace(s.get(), s.get());
    ElemPtr twice(ep->productWord(14, g.get()));
    EXPECT_TRUE(ep->equals(s.get(), twice.get()));
    ElemPtr s2(ep->newElement(p.get()));
    ep->subtractInPlace(s2.get(), s2.get());
    EXPECT_EQ(toHex(encodeElem(*ep, s2.get(), 65)), "00");
    // Equal points held with different Z.
    const QvEpPoint *pp = static_cast<const QvEpPoint *>(p.get());
    const QvN lambda("0x1234567890abcdef");
    const QvZn l(lambda, &ep->getModulus());
    const QvZn X = pp->getX() * l * l, Y = pp->getY() * l * l * l, Z = pp->getZ() * l;
    QvEpPoint other(X.asQvN(), Y.asQvN(), Z.asQvN(), ep.get());
    EXPECT_TRUE(*pp == other);
    EXPECT_FALSE(*pp != other);
    ElemPtr t(ep->newElement(p.get()));
    ep->addInPlace(t.get(), &other);
    EXPECT_TRUE(ep->equals(t.get(), twice.get()));
    EXPECT_EQ(toHex(encodeElem(*ep, t.get(), 65)), toHex(encodeElem(*ep, twice.get(), 65)));
}

TEST_F(EpEdges, DoublingAPointOfOrderTwoGivesTheNeutralPoint) {
    const QvN p(ref->pHex().c_str());
    const QvN a = p - 3u;
    QvEp c(QvN(5u, 1), QvN(), a, p);  // (5, 0) lies on it
    EXPECT_TRUE(c.isAMinus3());
    QvEpPoint P(QvN(5u, 1), QvN(), &c);
    EXPECT_TRUE(c.isOnCurve(P));
    c.doubleInPlace(&P);
    EXPECT_TRUE(P.isNeutral());
    QvEp c2(QvN(5u, 1), QvN(), QvN(7u, 1), p);  // a = 7: the general doubling
    QvEpPoint P2(QvN(5u, 1), QvN(), &c2);
    c2.doubleInPlace(&P2);
    EXPECT_TRUE(P2.isNeutral());
}

TEST_F(EpEdges, CoefficientAccessors) {
    Bytes buf(32);
    EXPECT_EQ(ep->getA(buf.data(), 32), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->aHex());
    EXPECT_EQ(ep->getB(buf.data(), 32), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->bHex());
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { ep->getA(buf.data(), 31); }),
              exceptionText("QvArgumentRangeException", "Too small output buffer (QvOctet *oct).",
                            "unsigned int QvEp::getA(QvOctet *oct, unsigned int len) const", "qvep/ep_access", 28));
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { ep->getB(buf.data(), 31); }),
              exceptionText("QvArgumentRangeException", "Too small output buffer (QvOctet *oct).",
                            "unsigned int QvEp::getB(QvOctet *oct, unsigned int len) const", "qvep/ep_access", 46));
    // From a point: b = y^2 - x^3 - a x, which for the base point is the curve's b.
    const QvN p(ref->pHex().c_str());
    QvEp fromPoint(QvN(G.data() + 1, 32, 0), QvN(G.data() + 33, 32, 0), p - 3u, p);
    EXPECT_EQ(fromPoint.getB(buf.data(), 40), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->bHex());
    EXPECT_TRUE(fromPoint.isAMinus3());
    // Copies and assignment rebuild the residues against their own modulus.
    QvEp copy(*ep);
    QvEp assigned;
    assigned = copy;
    for (QvEp *c : {&copy, &assigned}) {
        ElemPtr q = decodeElem(*c, G);
        ElemPtr r(c->productWord(3, q.get()));
        EXPECT_EQ(toHex(encodeElem(*c, r.get(), 65)), toHex(ref->mulG(Bytes{3})));
        EXPECT_TRUE(c->isAMinus3());
    }
    // Signed coefficient texts.
    QvEp signedText("-3", ref->bHex().c_str(), ref->pHex().c_str());
    EXPECT_TRUE(signedText.isAMinus3());
    EXPECT_EQ(signedText.getA(buf.data(), 32), 32u);
    EXPECT_EQ("0x" + toHex(buf), ref->aHex());
}

TEST_F(EpEdges, FailureTexts) {
    ElemPtr inf(ep->newElement(nullptr));
    EXPECT_EQ(thrownText<QvNotInitException>([&] { ep->getOctetStringEncodingLen(nullptr); }),
              exceptionText("QvNotInitException", "Uninitialised element (const QvGroupElem *g).",
                            "unsigned int QvEp::getOctetStringEncodingLen(const QvGroupElem *g) const", "qvep/ep_group",
                            318));
    QvOctet b[65];
    EXPECT_EQ(
        thrownText<QvNotInitException>([&] { ep->asOctetString(nullptr, b, 65); }),
        exceptionText("QvNotInitException", "Uninitialised element (const QvGroupElem *g).",
                      "unsigned int QvEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const",
                      "qvep/ep_group", 349));
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { ep->asDhSecret(inf.get()); }),
              exceptionText("QvArgumentRangeException", "Neutral point as DH secret is not allowed.",
                            "QvConvOS QvEp::asDhSecret(const QvGroupElem *g) const", "qvep/ep_group", 397));
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { ep->asQvN(inf.get()); }),
              exceptionText("QvDivByZeroException", "Converted elementi is point at infinity.",
                            "QvN QvEp::asQvN(const QvGroupElem *g) const", "qvep/ep_group", 413));
    QvEpPoint none;
    const QvEpPoint &gp = *static_cast<const QvEpPoint *>(g.get());
    EXPECT_EQ(thrownText<QvNotInitException>([&] { (void)(none == gp); }),
              exceptionText("QvNotInitException", "Elliptic Curve not initialised.",
                            "bool QvEpPoint::operator ==(const QvEpPoint &P) const", "qvep/eppoint_eq", 11));
    EXPECT_EQ(thrownText<QvNotInitException>([&] { (void)(gp != none); }),
              exceptionText("QvNotInitException", "Elliptic Curve not initialised.",
                            "bool QvEpPoint::operator !=(const QvEpPoint &P) const", "qvep/eppoint_eq", 22));
}

TEST_F(EpEdges, DecompressionConstructorPicksTheParity) {
    const QvN x(G.data() + 1, 32, 0), y(G.data() + 33, 32, 0);
    QvEpPoint same(x, y.getLowestWord() & 1, ep.get());
    QvEpPoint other(x, (y.getLowestWord() & 1) ^ 1, ep.get());
    EXPECT_TRUE(same == *static_cast<const QvEpPoint *>(g.get()));
    ElemPtr n(ep->negative(g.get()));
    EXPECT_TRUE(other == *static_cast<const QvEpPoint *>(n.get()));
    EXPECT_EQ(same.getZ().asQvN(), QvN(1u, 1));
}

}  // namespace

namespace {

TEST(EpConstruction, ShortFormsAndReinitialisation) {
    RefCurve ref(NID_secp256k1);  // y^2 = x^3 + 7
    const QvN p(ref.pHex().c_str()), b(ref.bHex().c_str());
    QvEp byB(b, p);
    QvEp byAll(QvN(), b, p);
    QvEp zero(p);
    QvEp later;
    later.init(b, p);
    Bytes buf(32);
    for (QvEp *c : {&byB, &byAll, &later}) {
        EXPECT_FALSE(c->isAMinus3());
        EXPECT_EQ(c->getA(buf.data(), 32), 32u);
        EXPECT_EQ(buf, Bytes(32, 0));
        ElemPtr g = decodeElem(*c, ref.generator());
        ElemPtr r(c->productWord(1000, g.get()));
        EXPECT_EQ(toHex(encodeElem(*c, r.get(), 65)), toHex(ref.mulG(Bytes{0x03, 0xE8})));
    }
    EXPECT_EQ(zero.getB(buf.data(), 32), 32u);
    EXPECT_EQ(buf, Bytes(32, 0));
    // Re-initialised to another curve (P-256, a = p - 3).
    RefCurve r256(NID_X9_62_prime256v1);
    later.init(QvN(r256.aHex().c_str()), QvN(r256.bHex().c_str()), QvN(r256.pHex().c_str()));
    EXPECT_TRUE(later.isAMinus3());
    ElemPtr g = decodeElem(later, r256.generator());
    ElemPtr r(later.productWord(77, g.get()));
    EXPECT_EQ(toHex(encodeElem(later, r.get(), 65)), toHex(r256.mulG(Bytes{77})));
}

TEST(EpConstruction, RefusedOctetsLeaveTheTargetUnchanged) {
    RefCurve ref(NID_X9_62_prime256v1);
    auto ep = makeEp(ref);
    auto cep = makeCryptoEp(ref);
    for (QvGroup *grp : {(QvGroup *)ep.get(), (QvGroup *)cep.get()}) {
        ElemPtr g = decodeElem(*grp, ref.generator());
        ElemPtr r(grp->productWord(9, g.get()));
        const Bytes before = encodeElem(*grp, r.get(), 65);
        Bytes bad = ref.generator();
        bad[64] ^= 0x01;
        EXPECT_THROW(grp->assignOctets(r.get(), bad.data(), (unsigned int)bad.size()), QvWrongSyntaxException);
        EXPECT_THROW(grp->assignOctets(r.get(), bad.data(), 0), QvArgumentRangeException);
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), before);
        const Bytes good = ref.mulG(Bytes{5});
        grp->assignOctets(r.get(), good.data(), (unsigned int)good.size());
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), good);
        // Null sources stand for the neutral point.
        grp->assignElement(r.get(), nullptr);
        EXPECT_EQ(toHex(encodeElem(*grp, r.get(), 65)), "00");
        ElemPtr n(grp->newElement(nullptr));
        grp->add(r.get(), n.get(), g.get());
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), ref.generator());
        grp->add(r.get(), g.get(), n.get());
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), ref.generator());
        grp->negate(r.get(), n.get());
        EXPECT_EQ(toHex(encodeElem(*grp, r.get(), 65)), "00");
        // Result and operand one object.
        grp->assignElement(r.get(), g.get());
        grp->add(r.get(), g.get(), r.get());
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), ref.mulG(Bytes{2}));
        grp->subtract(r.get(), g.get(), r.get());
        EXPECT_EQ(encodeElem(*grp, r.get(), 65), ref.invert(ref.generator()));
    }
}

}  // namespace

namespace {

TEST(EpConstruction, PointsWithoutCurveAreRefusedNotRead) {
    RefCurve ref(NID_X9_62_prime256v1);
    auto ep = makeEp(ref);
    auto cep = makeCryptoEp(ref);
    QvEpPoint bare;
    ElemPtr g = decodeElem(*ep, ref.generator());
    EXPECT_THROW(ep->doubleInPlace(&bare), QvNotInitException);
    EXPECT_THROW(ep->addInPlace(&bare, g.get()), QvNotInitException);
    EXPECT_THROW(ep->negateInPlace(&bare), QvNotInitException);
    QvCryptoEpPoint cbare;
    ElemPtr cg = decodeElem(*cep, ref.generator());
    EXPECT_THROW(cep->doubleInPlace(&cbare), QvNotInitException);
    EXPECT_THROW(cep->subtractInPlace(&cbare, cg.get()), QvNotInitException);
    EXPECT_THROW(cep->addInPlace(cg.get(), &cbare), QvNotInitException);
    EXPECT_THROW(cep->negateInPlace(&cbare), QvNotInitException);
    // Assignment gives a bare point its curve.
    ep->assignElement(&bare, g.get());
    ep->doubleInPlace(&bare);
    EXPECT_EQ(encodeElem(*ep, &bare, 65), ref.mulG(Bytes{2}));
    cep->assignElement(&cbare, cg.get());
    cep->doubleInPlace(&cbare);
    EXPECT_EQ(encodeElem(*cep, &cbare, 65), ref.mulG(Bytes{2}));
}

}  // namespace

namespace {

// Random octet strings of every length around the encoded sizes: either a
// point on the curve or one of the library's exceptions, never anything else.
TEST(EpConstruction, HostileOctetsGiveLibraryExceptionsOnly) {
    for (int nid : {NID_X9_62_prime256v1, NID_secp224r1, NID_brainpoolP256r1}) {
        RefCurve ref(nid);
        std::unique_ptr<QvGroup> groups[2];
        groups[0].reset(makeEp(ref).release());
        if (nid != NID_brainpoolP256r1) groups[1].reset(makeCryptoEp(ref).release());
        const unsigned int L = ref.fieldOctets();
        for (auto &grp : groups) {
            if (!grp) continue;
            int accepted = 0;
            for (unsigned int len = 1; len <= 2 * L + 3; ++len)
                for (int rep = 0; rep < 6; ++rep) {
                    Bytes b = randomBytes(len);
                    const unsigned char pcs[] = {0x00, 0x02, 0x03, 0x04, 0x06, 0x07};
                    b[0] = pcs[rep];
                    try {
                        ElemPtr e = decodeElem(*grp, b);
                        ++accepted;
                        Bytes again = encodeElem(*grp, e.get(), 2 * L + 1);
                        ElemPtr e2 = decodeElem(*grp, again);
                        EXPECT_TRUE(grp->equals(e.get(), e2.get()));
                    } catch (const QvException &) {
                    }
                }
            EXPECT_GE(accepted, 1);  // 00 alone, and about half the compressed strings
        }
    }
}

}  // namespace
