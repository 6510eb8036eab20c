#include "libtorvapp/qve2n/qve2n.h"

#include "libtorvapp/qvcommon/qvoctmem.h"

#include <cstring>

namespace {

QvE2nPoint *pointOf(QvGroupElem *g)
{
    QvE2nPoint *p = dynamic_cast<QvE2nPoint *>(g);
    if (p == nullptr || p->getCurve() == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (QvGroupElem "
            "*g).\nFUNCTION: QvE2nPoint *pointOf(QvGroupElem *g)\nFILE: qve2n/e2n_group\nLINE: 12\n");
    return p;
}

const QvE2nPoint *pointOf(const QvGroupElem *g)
{
    return pointOf(const_cast<QvGroupElem *>(g));
}

// The coordinate octets must stand for a field element: no bit at or above x^m.
bool fitsField(const QvOctet *oct, unsigned int m)
{
    return m % 8 == 0 || (oct[0] >> (m % 8)) == 0;
}

} // namespace

// ---------------------------------------------------------------- points

QvE2nPoint::QvE2nPoint() : curve(nullptr), x(), y(), infinity(true), t1(), t2(), lambda() {}

void QvE2nPoint::bind(const QvE2n *c)
{
    curve = c;
    const QvGF2nField *f = c ? &c->getField() : nullptr;
    x.setField(f);
    y.setField(f);
    t1.setField(f);
    t2.setField(f);
    lambda.setField(f);
}

QvE2nPoint::QvE2nPoint(const QvE2n *c) : QvE2nPoint()
{
    bind(c);
    infinity = true;
}

QvE2nPoint::QvE2nPoint(const QvOctet *xo, unsigned int xLen, const QvOctet *yo, unsigned int yLen, const QvE2n *c)
    : QvE2nPoint()
{
    bind(c);
    x.setOctets(xo, xLen);
    y.setOctets(yo, yLen);
    infinity = false;
}

QvE2nPoint::QvE2nPoint(const char *xt, const char *yt, const QvE2n *c) : QvE2nPoint()
{
    bind(c);
    x.setText(xt);
    y.setText(yt);
    infinity = false;
}

QvE2nPoint::QvE2nPoint(const QvE2nPoint &other)
    : QvGroupElem(other), curve(other.curve), x(other.x), y(other.y), infinity(other.infinity), t1(other.t1),
      t2(other.t2), lambda(other.lambda)
{
}

QvE2nPoint::~QvE2nPoint() {}

QvE2nPoint &QvE2nPoint::operator=(const QvE2nPoint &other)
{
    if (this == &other) return *this;
    if (curve != other.curve || x.getField() == nullptr) bind(other.curve);
    if (other.curve != nullptr) {
        x.setValue(other.x);
        y.setValue(other.y);
    }
    infinity = other.infinity;
    return *this;
}

bool QvE2nPoint::operator==(const QvE2nPoint &q) const
{
    if (infinity != q.infinity) return false;
    if (infinity) return true;
    return x == q.x && y == q.y;
}

void QvE2nPoint::negateInPlace()
{
    if (!infinity) y += x;
}

void QvE2nPoint::doubleInPlace()
{
    if (infinity) return;
    if (x.isZero()) {
        infinity = true;
        return;
    }
    t2.setValue(y);
    lambda.setValue(y);
    lambda /= x;
    lambda += x;
    t1.setValue(lambda);
    t1 *= lambda;
    t1 += lambda;
    t1 += curve->getA(); // x3
    x += t1;             // x1 + x3
    x *= lambda;
    x += t1;
    x += t2; // y3
    y.setValue(x);
    x.setValue(t1);
}

QvE2nPoint &QvE2nPoint::operator+=(const QvE2nPoint &q)
{
    if (infinity) {
        *this = q;
        return *this;
    }
    if (q.infinity) return *this;
    if (this == &q || *this == q) {
        doubleInPlace();
        return *this;
    }
    if (x == q.x) {
        infinity = true;
        return *this;
    }
    t1.setValue(x);
    t2.setValue(y);
    lambda.setValue(y);
    lambda += q.y;
    QvGF2n &den = x; // x1 + x2, x is rewritten below
    den += q.x;
    lambda /= den;
    // x3 = lambda^2 + lambda + x1 + x2 + a
    y.setValue(lambda);
    y *= lambda;
    y += lambda;
    y += den;
    y += curve->getA();
    x.setValue(y); // x3
    // y3 = lambda (x3 + x1) + x3 + y1
    y += t1;
    y *= lambda;
    y += x;
    y += t2;
    return *this;
}

QvE2nPoint &QvE2nPoint::operator-=(const QvE2nPoint &q)
{
    if (q.infinity) return *this;
    QvE2nPoint neg(q);
    neg.negateInPlace();
    return *this += neg;
}

bool QvE2nPoint::isOnCurve() const
{
    if (infinity) return true;
    if (curve == nullptr) return false;
    // y^2 + xy = x^3 + a x^2 + b, i.e. y (y + x) = x^2 (x + a) + b
    QvGF2n lhs(y);
    lhs += x;
    lhs *= y;
    QvGF2n rhs(x);
    rhs += curve->getA();
    QvGF2n x2(x);
    x2 *= x;
    rhs *= x2;
    rhs += curve->getB();
    return lhs == rhs;
}

QvE2nPoint operator-(const QvE2nPoint &p)
{
    QvE2nPoint r(p);
    r.negateInPlace();
    return r;
}

QvE2nPoint operator+(const QvE2nPoint &p, const QvE2nPoint &q)
{
    QvE2nPoint r(p);
    r += q;
    return r;
}

QvE2nPoint operator-(const QvE2nPoint &p, const QvE2nPoint &q)
{
    QvE2nPoint r(p);
    r -= q;
    return r;
}

// ---------------------------------------------------------------- curve

QvE2n::QvE2n() : field(), a(), b() {}

QvE2n::QvE2n(const char *at, const char *bt, const char *ft) : field(ft), a(&field), b(&field)
{
    a.setText(at);
    b.setText(bt);
}

QvE2n::QvE2n(const QvOctet *ao, unsigned int aLen, const QvOctet *bo, unsigned int bLen, const QvOctet *fo,
             unsigned int fLen)
    : field(fo, fLen), a(&field), b(&field)
{
    a.setOctets(ao, aLen);
    b.setOctets(bo, bLen);
}

QvE2n::QvE2n(const QvE2n &other) : QvAbelianGroup(other), field(other.field), a(&field), b(&field)
{
    if (other.a.getField() != nullptr) {
        a.setValue(other.a);
        b.setValue(other.b);
    }
}

QvE2n &QvE2n::operator=(const QvE2n &other)
{
    if (this != &other) {
        field = other.field;
        a.setField(&field);
        b.setField(&field);
        if (other.a.getField() != nullptr) {
            a.setValue(other.a);
            b.setValue(other.b);
        }
    }
    return *this;
}

QvE2n::~QvE2n() {}

void QvE2n::assignElement(QvGroupElem *r, const QvGroupElem *g) const
{
    QvE2nPoint *p = dynamic_cast<QvE2nPoint *>(r);
    if (p == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (QvGroupElem "
            "*r).\nFUNCTION: void QvE2n::assignElement(QvGroupElem *r, const QvGroupElem *g) const\nFILE: "
            "qve2n/e2n_group\nLINE: 60\n");
    if (g == nullptr) {
        if (p->curve != this) p->bind(this);
        p->infinity = true;
        return;
    }
    *p = *pointOf(g);
}

void QvE2n::assignOctets(QvGroupElem *r, const QvOctet *oct, unsigned int len) const
{
    QvGroupElem *g = createNew(oct, len);
    try {
        assignElement(r, g);
    } catch (...) {
        delete g;
        throw;
    }
    delete g;
}

QvGroupElem *QvE2n::newElement(const QvGroupElem *g) const
{
    if (g == nullptr) return new QvE2nPoint(this);
    return new QvE2nPoint(*pointOf(g));
}

QvGroupElem *QvE2n::createNew(const QvOctet *oct, unsigned int len) const
{
    if (len == 0)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Length of input buffer (const QvOctet "
            "*oct) must be more than 0.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int "
            "len) const\nFILE: qve2n/e2n_group\nLINE: 241\n");
    const unsigned int m = field.getDegree();
    const unsigned int n = (m + 7) / 8;
    QvE2nPoint *p = new QvE2nPoint(this);
    try {
        const QvOctet first = oct[0];
        if (first == 0x04 || first == 0x06 || first == 0x07) {
            if (len != 2 * n + 1)
                qvThrow<QvArgumentRangeException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong size of input buffer "
                    "(const QvOctet *oct).\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int "
                    "len) const\nFILE: qve2n/e2n_group\nLINE: 251\n");
            if (!fitsField(oct + 1, m) || !fitsField(oct + 1 + n, m))
                qvThrow<QvWrongSyntaxException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong syntax of Elliptic Curve "
                    "point.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) "
                    "const\nFILE: qve2n/e2n_group\nLINE: 254\n");
            p->x.setOctets(oct + 1, n);
            p->y.setOctets(oct + 1 + n, n);
            p->infinity = false;
            bool ok = p->isOnCurve();
            if (ok && first != 0x04) {
                // Hybrid form: the low bit of the first octet is y~ and must agree.
                bool bit = false;
                if (!p->x.isZero()) {
                    QvGF2n z(p->y);
                    z /= p->x;
                    bit = z.lowBit();
                }
                ok = bit == ((first & 1) != 0);
            }
            if (!ok)
                qvThrow<QvLibNotImplementedException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\nREASON: Point is not on the "
                    "Elliptic Curve.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) "
                    "const\nFILE: qve2n/e2n_group\nLINE: 258\n");
        } else if (first == 0x02 || first == 0x03) {
            if (len != n + 1)
                qvThrow<QvArgumentRangeException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong size of input buffer "
                    "(const QvOctet *oct).\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int "
                    "len) const\nFILE: qve2n/e2n_group\nLINE: 266\n");
            if (!fitsField(oct + 1, m))
                qvThrow<QvWrongSyntaxException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong syntax of Elliptic Curve "
                    "point.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) "
                    "const\nFILE: qve2n/e2n_group\nLINE: 269\n");
            p->x.setOctets(oct + 1, n);
            // rhs = (x + a) x^2 + b
            QvGF2n rhs(p->x);
            rhs += a;
            QvGF2n x2(p->x);
            x2 *= p->x;
            rhs *= x2;
            rhs += b;
            QvGF2n y1, y2;
            if (solve(p->x, rhs, &field, y1, y2) == 0)
                qvThrow<QvLibNotImplementedException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\nREASON: Point is not on the "
                    "Elliptic Curve.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) "
                    "const\nFILE: qve2n/e2n_group\nLINE: 285\n");
            if (!p->x.isZero()) {
                QvGF2n z(y1);
                z /= p->x;
                p->y.setValue(z.lowBit() != ((first & 1) != 0) ? y2 : y1);
            } else {
                p->y.setValue(y1);
            }
            p->infinity = false;
        } else if (first == 0x00 && len == 1) {
            p->infinity = true;
        } else {
            qvThrow<QvWrongSyntaxException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong syntax of Elliptic Curve "
                "point.\nFUNCTION: QvGroupElem* QvE2n::createNew(const QvOctet *oct, unsigned int len) const\nFILE: "
                "qve2n/e2n_group\nLINE: 300\n");
        }
    } catch (...) {
        delete p;
        throw;
    }
    return p;
}

void QvE2n::doubleInPlace(QvGroupElem *r) const
{
    pointOf(r)->doubleInPlace();
}

void QvE2n::addInPlace(QvGroupElem *r, const QvGroupElem *g) const
{
    *pointOf(r) += *pointOf(g);
}

void QvE2n::negateInPlace(QvGroupElem *r) const
{
    pointOf(r)->negateInPlace();
}

void QvE2n::subtractInPlace(QvGroupElem *r, const QvGroupElem *g) const
{
    *pointOf(r) -= *pointOf(g);
}

bool QvE2n::equals(const QvGroupElem *g1, const QvGroupElem *g2) const
{
    if (g1 == g2) return true;
    return *pointOf(g1) == *pointOf(g2);
}

unsigned int QvE2n::getOctetStringEncodingLen(const QvGroupElem *g) const
{
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvE2n::getOctetStringEncodingLen(const QvGroupElem *g) const\nFILE: "
            "qve2n/e2n_group\nLINE: 343\n");
    if (pointOf(g)->infinity) return 1;
    return 2 * ((field.getDegree() + 7) / 8) + 1;
}

unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const
{
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) "
            "const\nFILE: qve2n/e2n_group\nLINE: 363\n");
    const QvE2nPoint *p = pointOf(g);
    if (p->infinity) {
        if (len == 0)
            qvThrow<QvArgumentRangeException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
                "*oct).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned "
                "int len) const\nFILE: qve2n/e2n_group\nLINE: 377\n");
        oct[0] = 0;
        return 1;
    }
    const unsigned int n = (field.getDegree() + 7) / 8;
    if (len < 2 * n + 1)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvE2n::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int "
            "len) const\nFILE: qve2n/e2n_group\nLINE: 393\n");
    oct[0] = 0x04;
    p->x.asOctetString(oct + 1, n);
    p->y.asOctetString(oct + 1 + n, n);
    return 2 * n + 1;
}

QvConvOS QvE2n::asDhSecret(const QvGroupElem *g) const
{
    const unsigned int n = (field.getDegree() + 7) / 8;
    QvOctMem buf(2 * n + 1);
    const unsigned int got = asOctetString(g, buf.getData(), 2 * n + 1);
    if (got == 1)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Neutral point as DH secret is not "
            "allowed.\nFUNCTION: QvConvOS QvEp::asDhSecret(const QvGroupElem *g) const\nFILE: qve2n/e2n_group\nLINE: "
            "410\n");
    return QvConvOS(buf.getData() + 1, n);
}

QvN QvE2n::asQvN(const QvGroupElem *g) const
{
    const QvE2nPoint *p = pointOf(g);
    if (p->infinity)
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Converted element is point at "
            "infinity.\nFUNCTION: QvN QvE2n::asQvN(const QvGroupElem *g) const\nFILE: qve2n/e2n_group\nLINE: 432\n");
    return p->x.asQvN();
}

// ---------------------------------------------------------------- ladder

bool QvE2n::ladder(QvE2nPoint *r, const QvN &k, const QvE2nPoint &p) const
{
    const QvGF2nField *f = &field;
    const QvGF2n &x = p.x;
    // (X1 : Z1) = k' P and (X2 : Z2) = (k' + 1) P for the scalar prefix k'.
    QvGF2n x1(x), z1("01", f), x2(x), z2(x), t(f), u(f);
    z2 *= z2;           // x^2
    x2.setValue(z2);
    x2 *= x2;           // x^4
    x2 += b;            // x^4 + b
    const unsigned int bits = k.getBitLength();
    auto madd = [&](QvGF2n &xa, QvGF2n &za, const QvGF2n &xb, const QvGF2n &zb) {
        // (xa : za) := (xa : za) + (xb : zb), their difference being P.
        xa *= zb;
        za *= xb;
        t.setValue(xa);
        t *= za;
        za += xa;
        za *= za;
        xa.setValue(za);
        xa *= x;
        xa += t;
    };
    auto mdouble = [&](QvGF2n &xa, QvGF2n &za) {
        // (xa : za) := 2 (xa : za): X = X^4 + b Z^4, Z = X^2 Z^2.
        za *= za;
        xa *= xa;
        u.setValue(za);
        u *= u;
        u *= b;
        za *= xa;
        xa *= xa;
        xa += u;
    };
    for (unsigned int i = bits - 1; i-- > 0;) {
        if (k.getBit(i)) {
            madd(x1, z1, x2, z2);
            mdouble(x2, z2);
        } else {
            madd(x2, z2, x1, z1);
            mdouble(x1, z1);
        }
        if ((z1.isZero() || z2.isZero()) && i != 0) return false;
    }
    if (z1.isZero()) {
        r->bind(this);
        r->infinity = true;
        return true;
    }
    if (z2.isZero()) {
        *r = p;
        r->negateInPlace();
        return true;
    }
    // y_k = (x + X1/Z1) [(X1 + x Z1)(X2 + x Z2) + (x^2 + y) Z1 Z2] / (x Z1 Z2) + y
    QvGF2n xk(x1), zz(z1), a1(z1), a2(z2), s(x);
    xk /= z1;
    zz *= z2;    // Z1 Z2
    a1 *= x;
    a1 += x1;    // X1 + x Z1
    a2 *= x;
    a2 += x2;    // X2 + x Z2
    a1 *= a2;
    s *= x;
    s += p.y;    // x^2 + y
    s *= zz;
    a1 += s;
    zz *= x;     // x Z1 Z2
    a1 /= zz;
    s.setValue(x);
    s += xk;
    a1 *= s;
    a1 += p.y;
    r->bind(this);
    r->x.setValue(xk);
    r->y.setValue(a1);
    r->infinity = false;
    return true;
}

void QvE2n::multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *g) const
{
    QvE2nPoint *rp = dynamic_cast<QvE2nPoint *>(r);
    const QvE2nPoint *gp = dynamic_cast<const QvE2nPoint *>(g);
    if (rp != nullptr && gp != nullptr && gp->curve == this && !gp->infinity && !gp->x.isZero()) {
        if (k.isZero()) {
            rp->bind(this);
            rp->infinity = true;
            return;
        }
        const QvE2nPoint p(*gp); // r and g may be the same point
        if (ladder(rp, k, p)) return;
    }
    QvAbelianGroup::multiply(r, k, g);
}

void QvE2n::multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *g1, const QvN &k2,
                        const QvGroupElem *g2) const
{
    if (g1 == g2) {
        multiply(r, k1 + k2, g1);
        return;
    }
    QvGroupElem *t = product(k2, g2);
    try {
        multiply(r, k1, g1);
        addInPlace(r, t);
    } catch (...) {
        delete t;
        throw;
    }
    delete t;
}
