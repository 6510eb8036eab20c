// The group of points of a non-supersingular curve y^2 + xy = x^3 + a x^2 + b
// over GF(2^m) in affine coordinates.  Scalar multiplication and the other
// composite operations are the group base's, built on the primitive ones here.
// A curve embeds its field; its points refer to the curve, which must outlive
// them.
#ifndef LIBTORVAPP_QVE2N_QVE2N_H
#define LIBTORVAPP_QVE2N_QVE2N_H

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvgf2n/qvgf2n.h"

class QvE2n;

class QvE2nPoint : public QvGroupElem {
public:
    QvE2nPoint();
    // The coordinates are taken as they are, without checking the curve equation.
    QvE2nPoint(const QvOctet *x, unsigned int xLen, const QvOctet *y, unsigned int yLen, const QvE2n *curve);
    QvE2nPoint(const char *x, const char *y, const QvE2n *curve);
    // The point at infinity of the curve.
    explicit QvE2nPoint(const QvE2n *curve);
    QvE2nPoint(const QvE2nPoint &other);
    ~QvE2nPoint() override;

    void precompute() override {}

    QvE2nPoint &operator=(const QvE2nPoint &other);
    QvE2nPoint &operator+=(const QvE2nPoint &q);
    QvE2nPoint &operator-=(const QvE2nPoint &q);
    bool operator==(const QvE2nPoint &q) const;
    bool operator!=(const QvE2nPoint &q) const { return !(*this == q); }

    // r = r + r.
    void doubleInPlace();
    void negateInPlace();

    const QvE2n *getCurve() const { return curve; }
    bool isInfinity() const { return infinity; }
    const QvGF2n &getX() const { return x; }
    const QvGF2n &getY() const { return y; }
    // True when the point satisfies the curve equation (the point at infinity does).
    bool isOnCurve() const;

private:
    friend class QvE2n;
    void bind(const QvE2n *c);

    const QvE2n *curve;
    QvGF2n x;
    QvGF2n y;
    bool infinity;
    QvGF2n t1;
    QvGF2n t2;
    QvGF2n lambda;
};

QvE2nPoint operator-(const QvE2nPoint &p);
QvE2nPoint operator+(const QvE2nPoint &p, const QvE2nPoint &q);
QvE2nPoint operator-(const QvE2nPoint &p, const QvE2nPoint &q);

class QvE2n : public QvAbelianGroup {
public:
    QvE2n();
    // a, b as hexadecimal text in the curve's field; f the reduction polynomial.
    QvE2n(const char *a, const char *b, const char *f);
    QvE2n(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen, const QvOctet *f,
          unsigned int fLen);
    QvE2n(const QvE2n &other);
    QvE2n &operator=(const QvE2n &other);
    ~QvE2n() override;

    const QvGF2nField &getField() const { return field; }
    const QvGF2n &getA() const { return a; }
    const QvGF2n &getB() const { return b; }

    void assignElement(QvGroupElem *r, const QvGroupElem *g) const override;
    void assignOctets(QvGroupElem *r, const QvOctet *oct, unsigned int len) const override;
    QvGroupElem *newElement(const QvGroupElem *g) const override;
    // Decodes 00, 02/03 (compressed), 04 (uncompressed) and 06/07 (hybrid); a
    // point that is not on the curve is refused.
    QvGroupElem *createNew(const QvOctet *oct, unsigned int len) const override;
    void doubleInPlace(QvGroupElem *r) const override;
    void addInPlace(QvGroupElem *r, const QvGroupElem *g) const override;
    void negateInPlace(QvGroupElem *r) const override;
    void subtractInPlace(QvGroupElem *r, const QvGroupElem *g) const override;
    bool equals(const QvGroupElem *g1, const QvGroupElem *g2) const override;
    unsigned int getOctetStringEncodingLen(const QvGroupElem *g) const override;
    unsigned int asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const override;
    QvConvOS asDhSecret(const QvGroupElem *g) const override;
    QvN asQvN(const QvGroupElem *g) const override;

    // Scalar multiplication by the x-only Montgomery ladder in projective
    // coordinates (one inversion per product instead of one per step, and
    // the same operations for every scalar bit); exceptional cases (x = 0,
    // an intermediate point at infinity) take the group base's method.
    void multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *g) const override;
    // k1 g1 + k2 g2 as two ladders and one addition.
    void multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *g1, const QvN &k2,
                     const QvGroupElem *g2) const override;

private:
    bool ladder(QvE2nPoint *r, const QvN &k, const QvE2nPoint &p) const;

    QvGF2nField field;
    QvGF2n a;
    QvGF2n b;
};

#endif
