// Elliptic curves over GF(p) in Jacobian coordinates.
#include "libtorvapp/qvep/qvep.h"

#include <cstdint>
#include <memory>

#include "libtorvapp/qvep/qvepfield.h"

namespace {

QvWord *W(QvZn &z) { return z.getWords()->getData(); }
const QvWord *W(const QvZn &z) { return z.getWords()->getConstData(); }

const QvEpPoint *pt(const QvGroupElem *e) { return static_cast<const QvEpPoint *>(e); }
QvEpPoint *pt(QvGroupElem *e) { return static_cast<QvEpPoint *>(e); }

[[noreturn]] void curveNotInitialised() {
    qvThrow<QvNotInitException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Elliptic Curve not initialised.\n"
        "FUNCTION: void QvEp::bindRegisters(QvEpPoint *r) const\nFILE: qvep/ep_group\nLINE: 0\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// Curve construction
// ---------------------------------------------------------------------------
QvEp::QvEp() : aIsMinus3(false) {}

QvEp::QvEp(const QvN &p) : aIsMinus3(false) { init(QvN(), QvN(), p); }

QvEp::QvEp(const QvN &bv, const QvN &p) : aIsMinus3(false) { init(bv, p); }

QvEp::QvEp(const QvN &av, const QvN &bv, const QvN &p) : aIsMinus3(false) { init(av, bv, p); }

QvEp::QvEp(const QvN &x, const QvN &y, const QvN &av, const QvN &p) : aIsMinus3(false) {
    setUp(p);
    const QvZn X(x, &modulus), Y(y, &modulus), A(av, &modulus);
    const QvZn B = Y * Y - (X * X + A) * X;
    setCoefficients(A, B);
    aIsMinus3 = p >= 3u && av == p - 3u;
}

QvEp::QvEp(const QvOctet *ao, unsigned int aLen, const QvOctet *bo, unsigned int bLen, const QvOctet *po,
           unsigned int pLen)
    : aIsMinus3(false) {
    setUp(QvN(po, pLen, 0));
    setCoefficients(QvZn(QvN(ao, aLen, 0), &modulus), QvZn(QvN(bo, bLen, 0), &modulus));
    aIsMinus3 = modulus >= 3u && a.asQvN() == QvN(modulus) - 3u;
}

QvEp::QvEp(const char *at, const char *bt, const char *pt_) : aIsMinus3(false) {
    setUp(QvN(pt_));
    setCoefficients(QvZn(at, &modulus), QvZn(bt, &modulus));
    aIsMinus3 = modulus >= 3u && a.asQvN() == QvN(modulus) - 3u;
}

QvEp::QvEp(const QvEp &o) : QvAbelianGroup(), aIsMinus3(false) { *this = o; }

QvEp &QvEp::operator=(const QvEp &o) {
    if (this == &o) return *this;
    if (o.modulus.isZero() || o.a.getModulus() == nullptr) {
        modulus = QvModulus();
        half = QvZn();
        a = QvZn();
        b = QvZn();
        aIsMinus3 = false;
        return *this;
    }
    const QvN av = o.a.asQvN(), bv = o.b.asQvN();
    setUp(o.modulus);
    setCoefficients(QvZn(av, &modulus), QvZn(bv, &modulus));
    aIsMinus3 = o.aIsMinus3;
    return *this;
}

QvEp::~QvEp() {}

void QvEp::init(const QvN &av, const QvN &bv, const QvN &p) {
    setUp(p);
    setCoefficients(QvZn(av, &modulus), QvZn(bv, &modulus));
    aIsMinus3 = p >= 3u && av == p - 3u;
}

void QvEp::init(const QvN &bv, const QvN &p) {
    setUp(p);
    setCoefficients(QvZn(&modulus), QvZn(bv, &modulus));
    aIsMinus3 = false;
}

void QvEp::setUp(const QvN &p) {
    modulus = QvModulus(p, QvModulus::OPT_CURVE);
    half = QvZn((p + 1u) >> 1, &modulus);
}

void QvEp::setCoefficients(const QvZn &aRes, const QvZn &bRes) {
    a = aRes;
    b = bRes;
}

unsigned int QvEp::getA(QvOctet *oct, unsigned int len) const {
    const unsigned int L = getFieldOctets();
    if (len < L)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvEp::getA(QvOctet *oct, unsigned int len) const\nFILE: "
            "qvep/ep_access\nLINE: 28\n");
    a.asQvN().asOctetString(oct, L, true);
    return L;
}

unsigned int QvEp::getB(QvOctet *oct, unsigned int len) const {
    const unsigned int L = getFieldOctets();
    if (len < L)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvEp::getB(QvOctet *oct, unsigned int len) const\nFILE: "
            "qvep/ep_access\nLINE: 46\n");
    b.asQvN().asOctetString(oct, L, true);
    return L;
}

bool QvEp::isOnCurve(const QvEpPoint &P) const {
    if (P.isNeutral()) return true;
    const QvZn Z2 = P.Z * P.Z;
    const QvZn Z4 = Z2 * Z2;
    const QvZn Z6 = Z4 * Z2;
    const QvZn lhs = P.Y * P.Y;
    const QvZn rhs = (P.X * P.X + a * Z4) * P.X + b * Z6;
    return lhs == rhs;
}

// ---------------------------------------------------------------------------
// Word-level field arithmetic on the held form of the curve's residues
// ---------------------------------------------------------------------------
void QvEp::mul(QvWord *x, const QvWord *y, QvWord *s) const { half.mulWords(x, x, y, s); }

void QvEp::sqr(QvWord *x, QvWord *s) const { half.mulWords(x, x, x, s); }

void QvEp::addMod(QvWord *x, const QvWord *y) const {
    qvepfield::addMod(x, x, y, modulus.getWords(), half.getCount());
}

void QvEp::subMod(QvWord *x, const QvWord *y) const {
    qvepfield::subMod(x, x, y, modulus.getWords(), half.getCount());
}

void QvEp::negMod(QvWord *x) const { qvepfield::negMod(x, modulus.getWords(), half.getCount()); }

bool QvEp::wordsAreOne(const QvWord *x) const {
    const unsigned int k = half.getCount();
    if (half.getForm() == QvZn::FORM_PLAIN) return longvIsOne(x, k) != 0;
    return longvCmp(x, half.oneWords(), k) == 0;
}

void QvEp::setNeutralWords(QvEpPoint *r) const {
    const unsigned int k = half.getCount();
    if (half.getForm() == QvZn::FORM_PLAIN) {
        longvSetWord(W(r->X), k, 1);
        longvSetWord(W(r->Y), k, 1);
    } else {
        longvCopy(W(r->X), half.oneWords(), k);
        longvCopy(W(r->Y), half.oneWords(), k);
    }
    longvZero(W(r->Z), k);
}

void QvEp::bindRegisters(QvEpPoint *r) const {
    if (r->curve == nullptr || r->X.getModulus() == nullptr) curveNotInitialised();
    if (r->t1.getModulus() == &modulus && r->scratch.getLength() >= 2 * half.getCount() + 2) return;
    r->t1 = QvZn(&modulus);
    r->t2 = QvZn(&modulus);
    r->t3 = QvZn(&modulus);
    r->t4 = QvZn(&modulus);
    r->t5 = QvZn(&modulus);
    r->t6 = QvZn(&modulus);
    r->t7 = QvZn(&modulus);
    r->scratch = QvWordMem(2 * half.getCount() + 2);
}

// ---------------------------------------------------------------------------
// Group operations
// ---------------------------------------------------------------------------
void QvEp::assignElement(QvGroupElem *r, const QvGroupElem *e) const {
    if (e == nullptr) pt(r)->setNeutral(this);
    else *pt(r) = *pt(e);
}

void QvEp::assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const {
    std::unique_ptr<QvGroupElem> t(createNew(octets, length));
    assignElement(r, t.get());
}

QvGroupElem *QvEp::newElement(const QvGroupElem *e) const {
    if (e == nullptr) return new QvEpPoint(this);
    return new QvEpPoint(*pt(e));
}

QvGroupElem *QvEp::createNew(const QvOctet *oct, unsigned int len) const {
    if (len == 0)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Number of octets (const QvOctet "
            "*oct) must be more than 0\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int "
            "len) const\nFILE: qvep/ep_group\nLINE: 42\n");
    const unsigned int L = getFieldOctets();
    const QvOctet pc = oct[0];
    std::unique_ptr<QvEpPoint> P;
    if (pc & 4) {
        if (len != 2 * L + 1)
            qvThrow<QvArgumentRangeException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong number of (const QvOctet "
                "*oct) octets.\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) "
                "const\nFILE: qvep/ep_group\nLINE: 52\n");
        const QvN x(oct + 1, L, 0), y(oct + 1 + L, L, 0);
        if (x >= modulus || y >= modulus) qvepfield::coordinateNotReduced(false);
        P.reset(new QvEpPoint(x, y, this));
    } else if (pc & 2) {
        if (len != L + 1)
            qvThrow<QvArgumentRangeException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong number of (const QvOctet "
                "*oct) octets.\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) "
                "const\nFILE: qvep/ep_group\nLINE: 65\n");
        const QvN x(oct + 1, L, 0);
        if (x >= modulus) qvepfield::coordinateNotReduced(false);
        P.reset(new QvEpPoint(x, pc & 1u, this));
    } else if (pc == 0 && len == 1) {
        return new QvEpPoint(this);
    } else {
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong encoging of Elliptic Curve "
            "point.\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const\nFILE: "
            "qvep/ep_group\nLINE: 79\n");
    }
    // A point that is not on the curve would leak the private value it is
    // multiplied with (invalid-curve attacks): refused.
    if (!isOnCurve(*P)) qvepfield::pointNotOnCurve(false);
    return P.release();
}

void QvEp::doubleInPlace(QvGroupElem *re) const {
    QvEpPoint *r = pt(re);
    bindRegisters(r);
    const unsigned int k = half.getCount();
    QvWord *s = r->scratch.getData();
    QvWord *X = W(r->X), *Y = W(r->Y), *Z = W(r->Z);
    QvWord *t1 = W(r->t1), *t2 = W(r->t2), *t3 = W(r->t3), *t4 = W(r->t4), *t5 = W(r->t5), *t6 = W(r->t6);
    if (longvIsZero(Z, k)) return;
    if (longvIsZero(Y, k)) {
        setNeutralWords(r);
        return;
    }
    longvCopy(t1, X, k);
    longvCopy(t2, Y, k);
    longvCopy(t3, Z, k);
    if (aIsMinus3) {
        // M = 3 (X - Z^2)(X + Z^2)
        longvCopy(t4, t3, k);
        sqr(t4, s);
        longvCopy(t5, t1, k);
        subMod(t5, t4);
        addMod(t4, t1);
        mul(t5, t4, s);
        longvCopy(t4, t5, k);
        addMod(t4, t5);
        addMod(t4, t5);
    } else {
        // M = 3 X^2 + a Z^4
        longvCopy(t5, t3, k);
        sqr(t5, s);
        sqr(t5, s);
        mul(t5, W(a), s);
        longvCopy(t4, t1, k);
        sqr(t4, s);
        longvCopy(t6, t4, k);
        addMod(t6, t4);
        addMod(t4, t6);
        addMod(t4, t5);
    }
    // Z' = 2 Y Z
    mul(t3, t2, s);
    addMod(t3, t3);
    // S = 4 X Y^2
    sqr(t2, s);
    longvCopy(t5, t1, k);
    mul(t5, t2, s);
    addMod(t5, t5);
    addMod(t5, t5);
    // X' = M^2 - 2S
    longvCopy(t1, t4, k);
    sqr(t1, s);
    subMod(t1, t5);
    subMod(t1, t5);
    // T = 8 Y^4
    sqr(t2, s);
    addMod(t2, t2);
    addMod(t2, t2);
    addMod(t2, t2);
    // Y' = M (S - X') - T
    subMod(t5, t1);
    mul(t5, t4, s);
    subMod(t5, t2);
    longvCopy(X, t1, k);
    longvCopy(Y, t5, k);
    longvCopy(Z, t3, k);
}

void QvEp::addInPlace(QvGroupElem *r, const QvGroupElem *b_) const { addOrSubtract(pt(r), pt(b_), false); }

void QvEp::subtractInPlace(QvGroupElem *r, const QvGroupElem *b_) const { addOrSubtract(pt(r), pt(b_), true); }

void QvEp::addOrSubtract(QvEpPoint *r, const QvEpPoint *q, bool subtract) const {
    bindRegisters(r);
    const unsigned int k = half.getCount();
    QvWord *X1 = W(r->X), *Y1 = W(r->Y), *Z1 = W(r->Z);
    const QvWord *X2 = W(q->X), *Y2 = W(q->Y), *Z2 = W(q->Z);
    // 1. b neutral.
    if (longvIsZero(Z2, k)) return;
    // 2. r neutral.
    if (longvIsZero(Z1, k)) {
        longvCopy(X1, X2, k);
        longvCopy(Y1, Y2, k);
        longvCopy(Z1, Z2, k);
        if (subtract) negMod(Y1);
        return;
    }
    // 3. The same object.
    if (r == q) {
        if (subtract) setNeutralWords(r);
        else doubleInPlace(r);
        return;
    }
    QvWord *s = r->scratch.getData();
    QvWord *t1 = W(r->t1), *t2 = W(r->t2), *t3 = W(r->t3), *t4 = W(r->t4), *t5 = W(r->t5), *t6 = W(r->t6),
           *t7 = W(r->t7);
    // 4.
    longvCopy(t1, X1, k);
    longvCopy(t2, Y1, k);
    longvCopy(t3, Z1, k);
    longvCopy(t4, X2, k);
    longvCopy(t5, Y2, k);
    if (subtract) negMod(t5);
    // 5. U1 = X1 Z2^2, S1 = Y1 Z2^3.
    const bool z2One = wordsAreOne(Z2);
    if (!z2One) {
        longvCopy(t6, Z2, k);
        longvCopy(t7, t6, k);
        sqr(t7, s);
        mul(t1, t7, s);
        mul(t7, t6, s);
        mul(t2, t7, s);
    }
    // 6. U2 = X2 Z1^2, S2 = s Y2 Z1^3.
    longvCopy(t7, t3, k);
    sqr(t7, s);
    mul(t4, t7, s);
    mul(t7, t3, s);
    mul(t5, t7, s);
    // 7. W = U1 - U2, R = S1 - S2.
    qvepfield::subMod(t4, t1, t4, modulus.getWords(), k);
    qvepfield::subMod(t5, t2, t5, modulus.getWords(), k);
    // 8.
    if (longvIsZero(t4, k)) {
        if (!longvIsZero(t5, k)) {
            setNeutralWords(r);
        } else {
            longvCopy(X1, X2, k);
            longvCopy(Y1, Y2, k);
            longvCopy(Z1, Z2, k);
            if (subtract) negMod(Y1);
            doubleInPlace(r);
        }
        return;
    }
    // 9. T = U1 + U2, M = S1 + S2.
    addMod(t1, t1);
    subMod(t1, t4);
    addMod(t2, t2);
    subMod(t2, t5);
    // 10. Z3 = Z1 Z2 W.
    if (!z2One) mul(t3, t6, s);
    mul(t3, t4, s);
    // 11.
    longvCopy(t7, t4, k);
    sqr(t7, s);
    mul(t4, t7, s);
    mul(t7, t1, s);
    // 12. X3 = R^2 - T W^2.
    longvCopy(t1, t5, k);
    sqr(t1, s);
    subMod(t1, t7);
    // 13. V = T W^2 - 2 X3.
    subMod(t7, t1);
    subMod(t7, t1);
    // 14. Y3 = (R V - M W^3) / 2.
    mul(t5, t7, s);
    mul(t4, t2, s);
    qvepfield::subMod(t2, t5, t4, modulus.getWords(), k);
    mul(t2, W(half), s);
    // 15.
    longvCopy(X1, t1, k);
    longvCopy(Y1, t2, k);
    longvCopy(Z1, t3, k);
}

void QvEp::negateInPlace(QvGroupElem *re) const {
    QvEpPoint *r = pt(re);
    if (r->curve == nullptr || r->Y.getModulus() == nullptr) curveNotInitialised();
    negMod(W(r->Y));
}

bool QvEp::equals(const QvGroupElem *x, const QvGroupElem *y) const {
    if (x == y) return true;
    return *pt(x) == *pt(y);
}

unsigned int QvEp::getOctetStringEncodingLen(const QvGroupElem *g) const {
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvEp::getOctetStringEncodingLen(const QvGroupElem *g) const\nFILE: "
            "qvep/ep_group\nLINE: 318\n");
    if (pt(g)->isNeutral()) return 1;
    return 2 * getFieldOctets() + 1;
}

unsigned int QvEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const {
    if (len == 0) return 0;
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int "
            "len) const\nFILE: qvep/ep_group\nLINE: 349\n");
    const QvEpPoint *P = pt(g);
    if (P->isNeutral()) {
        oct[0] = 0x00;
        return 1;
    }
    const unsigned int L = getFieldOctets();
    if (len <= L) return 0;
    const QvZn i = 1u / P->Z;
    const QvZn i2 = i * i;
    const QvN x = (P->X * i2).asQvN();
    if (len > 2 * L) {
        const QvN y = (P->Y * i2 * i).asQvN();
        oct[0] = 0x04;
        x.asOctetString(oct + 1, L, true);
        y.asOctetString(oct + 1 + L, L, true);
        return 2 * L + 1;
    }
    const QvN y = (P->Y * i2 * i).asQvN();
    oct[0] = (QvOctet)(0x02 + (y.getLowestWord() & 1));
    x.asOctetString(oct + 1, L, true);
    return L + 1;
}

QvConvOS QvEp::asDhSecret(const QvGroupElem *g) const {
    const unsigned int L = getFieldOctets();
    QvOctMem buf(2 * L + 1);
    const unsigned int n = asOctetString(g, buf.getData(), 2 * L + 1);
    if (n == 1)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Neutral point as DH secret is not "
            "allowed.\nFUNCTION: QvConvOS QvEp::asDhSecret(const QvGroupElem *g) const\nFILE: qvep/ep_group\n"
            "LINE: 397\n");
    return QvConvOS(buf.getConstData() + 1, L);
}

QvN QvEp::asQvN(const QvGroupElem *g) const {
    if (g == nullptr || pt(g)->isNeutral())
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Converted elementi is point at "
            "infinity.\nFUNCTION: QvN QvEp::asQvN(const QvGroupElem *g) const\nFILE: qvep/ep_group\nLINE: 413\n");
    const QvEpPoint *P = pt(g);
    const QvZn i = 1u / P->Z;
    return (P->X * i * i).asQvN();
}

// ---------------------------------------------------------------------------
// Points
// ---------------------------------------------------------------------------
QvEpPoint::QvEpPoint() : curve(nullptr) {}

QvEpPoint::QvEpPoint(const QvN &x, const QvN &y, const QvN &z, const QvEp *c)
    : curve(c), X(x, &c->modulus), Y(y, &c->modulus), Z(z, &c->modulus) {
    c->bindRegisters(this);
}

QvEpPoint::QvEpPoint(const QvN &x, const QvN &y, const QvEp *c)
    : curve(c), X(x, &c->modulus), Y(y, &c->modulus), Z(QvN(1u, 1), &c->modulus) {
    c->bindRegisters(this);
}

QvEpPoint::QvEpPoint(const QvN &x, unsigned int yBit, const QvEp *c)
    : curve(c), X(x, &c->modulus), Z(QvN(1u, 1), &c->modulus) {
    const QvZn t = X * (X * X + c->a) + c->b;
    Y = sqrt(t);
    if ((Y.asQvN().getLowestWord() & 1) != (yBit & 1)) Y = -Y;
    c->bindRegisters(this);
}

QvEpPoint::QvEpPoint(const QvEp *c) : curve(nullptr) { setNeutral(c); }

QvEpPoint::QvEpPoint(const QvEpPoint &o)
    : QvGroupElem(o), curve(o.curve), X(o.X), Y(o.Y), Z(o.Z), t1(o.t1), t2(o.t2), t3(o.t3), t4(o.t4), t5(o.t5),
      t6(o.t6), t7(o.t7), scratch(o.scratch) {}

QvEpPoint &QvEpPoint::operator=(const QvEpPoint &o) {
    if (this != &o) {
        curve = o.curve;
        X = o.X;
        Y = o.Y;
        Z = o.Z;
    }
    return *this;
}

QvEpPoint::~QvEpPoint() { curve = nullptr; }

void QvEpPoint::precompute() {}

void QvEpPoint::setNeutral(const QvEp *c) {
    if (curve != c || X.getModulus() != &c->modulus) {
        X = QvZn(&c->modulus);
        Y = QvZn(&c->modulus);
        Z = QvZn(&c->modulus);
    }
    curve = c;
    c->bindRegisters(this);
    c->setNeutralWords(this);
}

bool QvEpPoint::isNeutral() const { return Z.getModulus() == nullptr || Z == 0u; }

bool QvEpPoint::sameAs(const QvEpPoint &P) const {
    const bool n1 = isNeutral(), n2 = P.isNeutral();
    if (n1 || n2) return n1 && n2;
    const QvZn z1s = Z * Z, z2s = P.Z * P.Z;
    if (!(X * z2s == P.X * z1s)) return false;
    return Y * z2s * P.Z == P.Y * z1s * Z;
}

bool QvEpPoint::operator==(const QvEpPoint &P) const {
    if (curve == nullptr || P.curve == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Elliptic Curve not initialised.\n"
            "FUNCTION: bool QvEpPoint::operator ==(const QvEpPoint &P) const\nFILE: qvep/eppoint_eq\nLINE: 11\n");
    return sameAs(P);
}

bool QvEpPoint::operator!=(const QvEpPoint &P) const {
    if (curve == nullptr || P.curve == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Elliptic Curve not initialised.\n"
            "FUNCTION: bool QvEpPoint::operator !=(const QvEpPoint &P) const\nFILE: qvep/eppoint_eq\nLINE: 22\n");
    return !sameAs(P);
}
