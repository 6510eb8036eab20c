// Curves over GF(2^m): the SEC 2 / FIPS 186-4 binary curves (base points on
// the curve, of the stated order), scalar and two-scalar multiplication and
// the point encodings against OpenSSL's EC_GF2m, refusal of points that are
// not on the curve, and the exact failure texts.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qve2n/qve2n.h"
#include "tests/libtorvapp/gf2n/gf2n_test_util.h"
#include "tests/libtorvapp/exception_text.h"

using namespace gf2ntest;

namespace {

struct OsslCurve {
    BN_CTX *ctx = BN_CTX_new();
    EC_GROUP *group = nullptr;
    EC_POINT *g = nullptr;
    explicit OsslCurve(const CurveRow &c)
    {
        Bn p = bnFromOctets(FromHex(c.poly)), a = bnFromOctets(FromHex(c.a)), b = bnFromOctets(FromHex(c.b));
        group = EC_GROUP_new_curve_GF2m(p.get(), a.get(), b.get(), ctx);
        g = EC_POINT_new(group);
        Bn x = bnFromOctets(FromHex(c.gx)), y = bnFromOctets(FromHex(c.gy)), n = bnFromOctets(FromHex(c.order));
        Bn h(BN_new());
        BN_set_word(h.get(), c.cofactor);
        EC_POINT_set_affine_coordinates(group, g, x.get(), y.get(), ctx);
        EC_GROUP_set_generator(group, g, n.get(), h.get());
    }
    ~OsslCurve()
    {
        EC_POINT_free(g);
        EC_GROUP_free(group);
        BN_CTX_free(ctx);
    }
    std::vector<QvOctet> encode(const EC_POINT *pt, point_conversion_form_t form) const
    {
        size_t len = EC_POINT_point2oct(group, pt, form, nullptr, 0, ctx);
        std::vector<QvOctet> v(len);
        EC_POINT_point2oct(group, pt, form, v.data(), len, ctx);
        return v;
    }
};

struct PointDel {
    void operator()(QvGroupElem *p) const { delete p; }
};
using Elem = std::unique_ptr<QvGroupElem, PointDel>;

std::vector<QvOctet> encode(const QvE2n &c, const QvGroupElem *p)
{
    std::vector<QvOctet> v(c.getOctetStringEncodingLen(p));
    EXPECT_EQ(c.asOctetString(p, v.data(), static_cast<unsigned int>(v.size())), v.size());
    return v;
}

QvN toQvN(const BIGNUM *b)
{
    std::vector<QvOctet> v(static_cast<size_t>(BN_num_bytes(b)) + 1);
    int n = BN_bn2bin(b, v.data());
    return QvN(v.data(), static_cast<unsigned int>(n), 0);
}

const CurveRow &curve(const std::string &name)
{
    static const std::vector<CurveRow> rows = loadCurves();
    for (const CurveRow &r : rows)
        if (r.name == name) return r;
    throw std::runtime_error("no curve " + name);
}

QvE2n makeCurve(const CurveRow &c)
{
    return QvE2n(c.a.c_str(), c.b.c_str(), c.poly.c_str());
}

const char kCreate[] = "FUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) const\nFILE: "
                       "qve2n/e2n_group\nLINE: ";

} // namespace

TEST(BinaryCurve, BasePointsLieOnTheCurveAndHaveTheStatedOrder)
{
    const auto rows = loadCurves();
    ASSERT_EQ(rows.size(), 14u);
    for (const CurveRow &c : rows) {
        QvE2n e = makeCurve(c);
        QvE2nPoint g(c.gx.c_str(), c.gy.c_str(), &e);
        EXPECT_TRUE(g.isOnCurve()) << c.name;
        QvN order(FromHex(c.order).data(), static_cast<unsigned int>(FromHex(c.order).size()), 0);
        Elem r(e.newElement(nullptr));
        e.multiply(r.get(), order, &g);
        EXPECT_TRUE(static_cast<QvE2nPoint *>(r.get())->isInfinity()) << c.name;
        e.multiply(r.get(), order - 1, &g);
        EXPECT_TRUE(*static_cast<QvE2nPoint *>(r.get()) == -g) << c.name;
    }
}

TEST(BinaryCurveVsOpenssl, ScalarAndTwoScalarMultiplication)
{
    std::mt19937 rng(233);
    for (const char *name : {"sect163k1", "sect193r1", "sect233r1", "sect283k1", "sect409r1", "sect571r1"}) {
        const CurveRow &c = curve(name);
        OsslCurve o(c);
        QvE2n e = makeCurve(c);
        QvE2nPoint g(c.gx.c_str(), c.gy.c_str(), &e);
        Bn order = bnFromOctets(FromHex(c.order));
        for (int i = 0; i < 3; ++i) {
            Bn k(BN_new()), k2(BN_new());
            BN_rand_range(k.get(), order.get());
            BN_rand_range(k2.get(), order.get());
            if (i == 0) BN_set_word(k.get(), 1 + rng() % 1000);
            EC_POINT *q = EC_POINT_new(o.group);
            ASSERT_TRUE(EC_POINT_mul(o.group, q, k.get(), nullptr, nullptr, o.ctx));
            Elem r(e.product(toQvN(k.get()), &g));
            EXPECT_EQ(encode(e, r.get()), o.encode(q, POINT_CONVERSION_UNCOMPRESSED)) << name << " " << i;

            // k*G + k2*Q through the joint table.
            EC_POINT *s = EC_POINT_new(o.group);
            ASSERT_TRUE(EC_POINT_mul(o.group, s, k.get(), q, k2.get(), o.ctx));
            Elem t(e.productTwo(toQvN(k.get()), &g, toQvN(k2.get()), r.get()));
            EXPECT_EQ(encode(e, t.get()), o.encode(s, POINT_CONVERSION_UNCOMPRESSED)) << name << " two " << i;
            EC_POINT_free(s);
            EC_POINT_free(q);
        }
        Elem w(e.productWord(12345, &g));
        Elem k(e.product(QvN(12345, 1), &g));
        EXPECT_TRUE(e.equals(w.get(), k.get()));
    }
}

TEST(BinaryCurveVsOpenssl, EncodingsBothWays)
{
    for (const char *name : {"sect113r1", "sect163r2", "sect233k1", "sect239k1", "sect283r1", "sect571k1"}) {
        const CurveRow &c = curve(name);
        OsslCurve o(c);
        QvE2n e = makeCurve(c);
        Bn order = bnFromOctets(FromHex(c.order));
        for (int i = 0; i < 8; ++i) {
            Bn k(BN_new());
            BN_rand_range(k.get(), order.get());
            EC_POINT *q = EC_POINT_new(o.group);
            ASSERT_TRUE(EC_POINT_mul(o.group, q, k.get(), nullptr, nullptr, o.ctx));
            auto un = o.encode(q, POINT_CONVERSION_UNCOMPRESSED);
            for (point_conversion_form_t form : {POINT_CONVERSION_COMPRESSED, POINT_CONVERSION_HYBRID}) {
                auto enc = o.encode(q, form);
                Elem p(e.createNew(enc.data(), static_cast<unsigned int>(enc.size())));
                EXPECT_EQ(encode(e, p.get()), un) << name << " form " << form;
            }
            Elem p(e.createNew(un.data(), static_cast<unsigned int>(un.size())));
            auto ours = encode(e, p.get());
            EC_POINT *back = EC_POINT_new(o.group);
            EXPECT_EQ(EC_POINT_oct2point(o.group, back, ours.data(), ours.size(), o.ctx), 1);
            EXPECT_EQ(EC_POINT_cmp(o.group, back, q, o.ctx), 0);
            // The DH secret is the x coordinate, the number its value.
            QvConvOS dh = e.asDhSecret(p.get());
            const size_t n = (un.size() - 1) / 2;
            ASSERT_EQ(dh.getLength(), n);
            EXPECT_EQ(std::vector<QvOctet>(dh.getConstData(), dh.getConstData() + n),
                      std::vector<QvOctet>(un.begin() + 1, un.begin() + 1 + static_cast<long>(n)));
            EXPECT_EQ(e.asQvN(p.get()), QvN(un.data() + 1, static_cast<unsigned int>(n), 0));
            EC_POINT_free(back);
            EC_POINT_free(q);
        }
    }
}

TEST(BinaryCurveVsOpenssl, PointsOffTheCurveAreRefused)
{
    const CurveRow &c = curve("sect233r1");
    OsslCurve o(c);
    QvE2n e = makeCurve(c);
    std::mt19937 rng(5);
    const std::string offText = "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\nREASON: Point is not "
                                "on the Elliptic Curve.\n" + std::string(kCreate);
    // A base point with one bit of y flipped.
    std::vector<QvOctet> un = FromHex("04" + c.gx + c.gy);
    un.back() ^= 1;
    EXPECT_EQ(thrownText<QvLibNotImplementedException>([&] { delete e.createNew(un.data(), 61); }), offText + "258\n");
    EC_POINT *q = EC_POINT_new(o.group);
    EXPECT_NE(EC_POINT_oct2point(o.group, q, un.data(), un.size(), o.ctx), 1);
    ERR_clear_error();
    // Hybrid forms whose y~ bit contradicts y.
    std::vector<QvOctet> hy = FromHex("04" + c.gx + c.gy);
    for (QvOctet first : {0x06, 0x07}) {
        hy[0] = first;
        bool okOurs = true;
        try {
            delete e.createNew(hy.data(), 61);
        } catch (const QvLibNotImplementedException &) {
            okOurs = false;
        }
        const bool okOssl = EC_POINT_oct2point(o.group, q, hy.data(), hy.size(), o.ctx) == 1;
        ERR_clear_error();
        EXPECT_EQ(okOurs, okOssl) << int(first);
    }
    // Compressed x values without a y on the curve.
    int refused = 0;
    for (int i = 0; i < 40; ++i) {
        std::vector<QvOctet> cx(31);
        cx[0] = 0x02 | (rng() & 1);
        for (size_t j = 1; j < cx.size(); ++j) cx[j] = static_cast<QvOctet>(rng());
        cx[1] &= 1;
        const bool okOssl = EC_POINT_oct2point(o.group, q, cx.data(), cx.size(), o.ctx) == 1;
        ERR_clear_error();
        std::string text = "accepted";
        try {
            Elem p(e.createNew(cx.data(), 31));
            EXPECT_TRUE(static_cast<QvE2nPoint *>(p.get())->isOnCurve());
            auto enc = encode(e, p.get());
            auto want = o.encode(q, POINT_CONVERSION_UNCOMPRESSED);
            if (okOssl) {
                EXPECT_EQ(enc, want);
            }
        } catch (const QvLibNotImplementedException &ex) {
            text = ex.what();
            ++refused;
        }
        EXPECT_EQ(text != "accepted", !okOssl);
        if (!okOssl) {
            EXPECT_EQ(text, offText + "285\n");
        }
    }
    EXPECT_GT(refused, 0);
    EC_POINT_free(q);
    // Coordinates with bits at or above x^m are no field elements.
    std::vector<QvOctet> big = FromHex("04" + c.gx + c.gy);
    big[1] |= 0x80;
    EXPECT_THROW(delete e.createNew(big.data(), 61), QvWrongSyntaxException);
}

TEST(BinaryCurve, DecodingEdgeCasesAndTexts)
{
    const CurveRow &c = curve("sect163k1");
    QvE2n e = makeCurve(c);
    const QvOctet zero[] = {0x00};
    Elem inf(e.createNew(zero, 1));
    EXPECT_TRUE(static_cast<QvE2nPoint *>(inf.get())->isInfinity());
    const std::string wrong = "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong syntax of "
                              "Elliptic Curve point.\n" + std::string(kCreate) + "300\n";
    const QvOctet zeroMore[] = {0x00, 0x01};
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { delete e.createNew(zeroMore, 2); }), wrong);
    const QvOctet one[] = {0x01};
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { delete e.createNew(one, 1); }), wrong);
    // First octets other than 04/06/07 and 02/03 are refused even with bit 2 or 1 set.
    std::vector<QvOctet> g = FromHex("04" + c.gx + c.gy);
    g[0] = 0x05;
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { delete e.createNew(g.data(), 43); }), wrong);
    g[0] = 0x0A;
    EXPECT_EQ(thrownText<QvWrongSyntaxException>([&] { delete e.createNew(g.data(), 22); }), wrong);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { delete e.createNew(g.data(), 0); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Length of input buffer (const "
              "QvOctet *oct) must be more than 0.\n" + std::string(kCreate) + "241\n");
    g[0] = 0x04;
    const std::string size = "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong size of input "
                             "buffer (const QvOctet *oct).\n" + std::string(kCreate);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { delete e.createNew(g.data(), 42); }), size + "251\n");
    g[0] = 0x02;
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { delete e.createNew(g.data(), 23); }), size + "266\n");

    // The compressed form with y~ = low bit of y/x decodes to the point.
    QvE2nPoint gp(c.gx.c_str(), c.gy.c_str(), &e);
    QvGF2n z(gp.getY());
    z /= gp.getX();
    std::vector<QvOctet> comp = FromHex((z.lowBit() ? "03" : "02") + c.gx);
    Elem d(e.createNew(comp.data(), 22));
    EXPECT_TRUE(e.equals(d.get(), &gp));
    comp[0] ^= 1;
    Elem dn(e.createNew(comp.data(), 22));
    EXPECT_TRUE(*static_cast<QvE2nPoint *>(dn.get()) == -gp);
    // The encoder writes the uncompressed form only.
    EXPECT_EQ(encode(e, d.get())[0], 0x04);
    EXPECT_EQ(e.getOctetStringEncodingLen(d.get()), 43u);
}

TEST(BinaryCurve, EncodingTextsAndThePointAtInfinity)
{
    const CurveRow &c = curve("sect163k1");
    QvE2n e = makeCurve(c);
    QvE2nPoint o(&e), g(c.gx.c_str(), c.gy.c_str(), &e);
    QvOctet buf[64];
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { e.asOctetString(&o, buf, 0); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
              "*oct).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int "
              "len) const\nFILE: qve2n/e2n_group\nLINE: 377\n");
    buf[0] = 0x55;
    EXPECT_EQ(e.asOctetString(&o, buf, 5), 1u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(e.getOctetStringEncodingLen(&o), 1u);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { e.asOctetString(&g, buf, 42); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
              "*oct).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int "
              "len) const\nFILE: qve2n/e2n_group\nLINE: 393\n");
    EXPECT_EQ(thrownText<QvNotInitException>([&] { e.asOctetString(nullptr, buf, 64); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const "
              "QvGroupElem *g).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, "
              "unsigned int len) const\nFILE: qve2n/e2n_group\nLINE: 363\n");
    EXPECT_EQ(thrownText<QvNotInitException>([&] { e.getOctetStringEncodingLen(nullptr); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const "
              "QvGroupElem *g).\nFUNCTION: unsigned int QvE2n::getOctetStringEncodingLen(const QvGroupElem *g) "
              "const\nFILE: qve2n/e2n_group\nLINE: 343\n");
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { e.asDhSecret(&o); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Neutral point as DH secret is not "
              "allowed.\nFUNCTION: QvConvOS QvEp::asDhSecret(const QvGroupElem *g) const\nFILE: "
              "qve2n/e2n_group\nLINE: 410\n");
    EXPECT_EQ(thrownText<QvDivByZeroException>([&] { e.asQvN(&o); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Converted element is point at "
              "infinity.\nFUNCTION: QvN QvE2n::asQvN(const QvGroupElem *g) const\nFILE: qve2n/e2n_group\nLINE: "
              "432\n");
    EXPECT_EQ(e.asDhSecret(&g).getLength(), 21u);
}

TEST(BinaryCurve, GroupLawEdgeCases)
{
    const CurveRow &c = curve("sect163r2");
    QvE2n e = makeCurve(c);
    QvE2nPoint o(&e), g(c.gx.c_str(), c.gy.c_str(), &e);
    EXPECT_TRUE((g + (-g)).isInfinity());
    EXPECT_TRUE(g + o == g);
    EXPECT_TRUE(o + g == g);
    EXPECT_TRUE((g - g).isInfinity());
    QvE2nPoint two(g);
    two += two; // the same object doubles
    EXPECT_TRUE(two == g + g);
    EXPECT_TRUE(two.isOnCurve());
    EXPECT_TRUE(two - g == g);
    // The point of order two: x = 0, y = sqrt(b).
    QvGF2n zero(&e.getField()), y1, y2;
    ASSERT_EQ(solve(zero, e.getB(), &e.getField(), y1, y2), 1u);
    std::vector<QvOctet> yo(21);
    y1.asOctetString(yo.data(), 21);
    std::vector<QvOctet> xo(21, 0);
    QvE2nPoint t(xo.data(), 21, yo.data(), 21, &e);
    EXPECT_TRUE(t.isOnCurve());
    EXPECT_TRUE((t + t).isInfinity());
    Elem r(e.newElement(nullptr));
    e.add(r.get(), &t, &t);
    EXPECT_TRUE(static_cast<QvE2nPoint *>(r.get())->isInfinity());
    e.subtract(r.get(), &g, &g);
    EXPECT_TRUE(static_cast<QvE2nPoint *>(r.get())->isInfinity());
    const QvE2nPoint three = two + g;
    e.add(r.get(), &g, &two);
    EXPECT_TRUE(e.equals(r.get(), &three));
    e.multiplyWord(r.get(), 0, &g);
    EXPECT_TRUE(static_cast<QvE2nPoint *>(r.get())->isInfinity());
    e.multiplyWord(r.get(), 3, &g);
    EXPECT_TRUE(e.equals(r.get(), &three));

    // A copied curve owns its field: points of the copy survive the original.
    std::unique_ptr<QvE2n> orig(new QvE2n(makeCurve(c)));
    QvE2n copy(*orig);
    QvE2n assigned;
    assigned = *orig;
    orig.reset();
    QvE2nPoint gc(c.gx.c_str(), c.gy.c_str(), &copy), ga(c.gx.c_str(), c.gy.c_str(), &assigned);
    EXPECT_TRUE(gc.isOnCurve());
    EXPECT_TRUE(ga.isOnCurve());
    EXPECT_EQ(copy.getA().getField(), &copy.getField());
    EXPECT_EQ(assigned.getB().getField(), &assigned.getField());
}

TEST(BinaryCurve, LadderAgreesWithTheGenericWindowIncludingExceptionalScalars)
{
    for (const char *name : {"sect113r1", "sect163k1", "sect233r1", "sect409k1"}) {
        const CurveRow &c = curve(name);
        QvE2n e = makeCurve(c);
        QvE2nPoint g(c.gx.c_str(), c.gy.c_str(), &e);
        const std::vector<QvOctet> ord = FromHex(c.order);
        const QvN n(ord.data(), static_cast<unsigned int>(ord.size()), 0);
        std::mt19937 rng(99);
        std::vector<QvN> scalars = {QvN(), QvN(1, 1), QvN(2, 1), QvN(3, 1), n - 1, n, n + 1, n + 2, n * 2u + 5u,
                                    n * QvWord(c.cofactor), n - 2};
        for (int i = 0; i < 4; ++i) {
            std::vector<QvWord> w(n.getWordCount());
            for (auto &x : w) x = static_cast<QvWord>(rng());
            scalars.push_back(QvN(w.data(), static_cast<unsigned int>(w.size())));
        }
        // A point that is not in the subgroup of G when the cofactor is 2 or 4
        // (the point of order two plus G).
        QvGF2n zero(&e.getField()), y1, y2;
        ASSERT_EQ(solve(zero, e.getB(), &e.getField(), y1, y2), 1u);
        std::vector<QvOctet> yo(y1.getOctetLength()), xo(y1.getOctetLength(), 0);
        y1.asOctetString(yo.data(), static_cast<unsigned int>(yo.size()));
        QvE2nPoint t(xo.data(), static_cast<unsigned int>(xo.size()), yo.data(), static_cast<unsigned int>(yo.size()), &e);
        QvE2nPoint gt = g + t;
        for (const QvE2nPoint *base : {&g, &gt, &t}) {
            for (const QvN &k : scalars) {
                QvE2nPoint fast(&e), generic(&e);
                e.multiply(&fast, k, base);
                e.QvAbelianGroup::multiply(&generic, k, base);
                EXPECT_TRUE(fast == generic) << name << " " << k.asDecimalASCII().getChars();
                EXPECT_TRUE(fast.isOnCurve());
            }
        }
        // The result may be the base itself.
        QvE2nPoint same(g);
        e.multiply(&same, QvN(7, 1), &same);
        EXPECT_TRUE(same == g + g + g + g + g + g + g);
    }
}

TEST(BinaryCurve, CurveFromOctetsEqualsCurveFromText)
{
    const CurveRow &c = curve("sect283r1");
    const auto a = FromHex(c.a), b = FromHex(c.b), f = FromHex(c.poly);
    QvE2n fromOctets(a.data(), static_cast<unsigned int>(a.size()), b.data(), static_cast<unsigned int>(b.size()),
                     f.data(), static_cast<unsigned int>(f.size()));
    QvE2n fromText = makeCurve(c);
    EXPECT_EQ(fromOctets.getField().getDegree(), 283u);
    EXPECT_EQ(fromOctets.getField().getTermCount(), 5u);
    EXPECT_TRUE(fromOctets.getA() == fromText.getA());
    EXPECT_TRUE(fromOctets.getB() == fromText.getB());
    const auto gx = FromHex(c.gx), gy = FromHex(c.gy);
    QvE2nPoint g(gx.data(), static_cast<unsigned int>(gx.size()), gy.data(), static_cast<unsigned int>(gy.size()),
                 &fromOctets);
    EXPECT_TRUE(g.isOnCurve());
    // An element's text form is 8 digits per word, most significant word first.
    EXPECT_EQ(std::string(fromText.getB().asText().getChars()).size(), 8u * 9u);
}
