// QvEp: the elliptic curve y^2 = x^3 + a*x + b over GF(p), p an odd prime
// above 3, as an abelian group (written additively), and QvEpPoint, a point of
// such a curve in Jacobian coordinates (the affine point is (X/Z^2, Y/Z^3);
// Z = 0 is the point at infinity).  Field arithmetic runs on the words of QvZn
// residues of the curve's own modulus; the in-place operations keep every
// intermediate value in the target point's work registers, so they allocate
// nothing once the point has been used with its curve.
//
// A curve must outlive its points, and must not be re-initialised or assigned
// while points of it exist.
#ifndef LIBTORVAPP_QVEP_QVEP_H
#define LIBTORVAPP_QVEP_QVEP_H

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"

class QvEpPoint;

class QvEp : public QvAbelianGroup {
public:
    // Empty curve: modulus 0, residues without modulus.
    QvEp();
    explicit QvEp(const QvN &p);
    QvEp(const QvN &b, const QvN &p);
    QvEp(const QvN &a, const QvN &b, const QvN &p);
    // b is chosen so that (x, y) lies on the curve: b = y^2 - x^3 - a*x mod p.
    QvEp(const QvN &x, const QvN &y, const QvN &a, const QvN &p);
    // Big-endian octet strings.
    QvEp(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen, const QvOctet *p,
         unsigned int pLen);
    // Number texts ("0x" hexadecimal, leading "0" octal, else decimal); a and
    // b may start with "-" and are then taken modulo p.
    QvEp(const char *a, const char *b, const char *p);
    QvEp(const QvEp &other);
    QvEp &operator=(const QvEp &other);
    ~QvEp() override;

    // Re-initialisation of an existing curve (no points of it may exist).
    void init(const QvN &a, const QvN &b, const QvN &p);
    void init(const QvN &b, const QvN &p);

    // a (b) big-endian, padded with leading zeros to L octets (L the octet
    // length of p); returns L.  A shorter buffer is refused.
    unsigned int getA(QvOctet *oct, unsigned int len) const;
    unsigned int getB(QvOctet *oct, unsigned int len) const;

    const QvModulus &getModulus() const { return modulus; }
    const QvZn &getAResidue() const { return a; }
    const QvZn &getBResidue() const { return b; }
    bool isAMinus3() const { return aIsMinus3; }
    // L: the number of significant octets of p.
    unsigned int getFieldOctets() const { return modulus.getOctetLength(); }
    // Whether the point satisfies the curve equation (the neutral point does).
    bool isOnCurve(const QvEpPoint &P) const;

    void assignElement(QvGroupElem *r, const QvGroupElem *a) const override;
    void assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const override;
    QvGroupElem *newElement(const QvGroupElem *a) const override;
    QvGroupElem *createNew(const QvOctet *oct, unsigned int len) const override;
    void doubleInPlace(QvGroupElem *r) const override;
    void addInPlace(QvGroupElem *r, const QvGroupElem *b) const override;
    void negateInPlace(QvGroupElem *r) const override;
    void subtractInPlace(QvGroupElem *r, const QvGroupElem *b) const override;
    bool equals(const QvGroupElem *a, const QvGroupElem *b) const override;
    unsigned int getOctetStringEncodingLen(const QvGroupElem *g) const override;
    unsigned int asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const override;
    QvConvOS asDhSecret(const QvGroupElem *g) const override;
    QvN asQvN(const QvGroupElem *g) const override;

private:
    friend class QvEpPoint;
    void setUp(const QvN &p);
    void setCoefficients(const QvZn &aRes, const QvZn &bRes);
    void addOrSubtract(QvEpPoint *r, const QvEpPoint *b, bool subtract) const;
    // Binds r's registers to this curve's modulus when they are not yet.
    void bindRegisters(QvEpPoint *r) const;
    void setNeutralWords(QvEpPoint *r) const;
    bool wordsAreOne(const QvWord *x) const;
    void mul(QvWord *x, const QvWord *y, QvWord *scratch) const;
    void sqr(QvWord *x, QvWord *scratch) const;
    void addMod(QvWord *x, const QvWord *y) const;
    void subMod(QvWord *x, const QvWord *y) const;
    void negMod(QvWord *x) const;

    QvModulus modulus;
    QvZn half;
    QvZn a;
    QvZn b;
    bool aIsMinus3;
};

class QvEpPoint : public QvGroupElem {
public:
    // No curve, coordinates without modulus.
    QvEpPoint();
    // Jacobian coordinates, each reduced modulo p.
    QvEpPoint(const QvN &X, const QvN &Y, const QvN &Z, const QvEp *curve);
    // Affine point (x, y, 1).
    QvEpPoint(const QvN &x, const QvN &y, const QvEp *curve);
    // The point with abscissa x whose ordinate has lowest bit yBit.
    QvEpPoint(const QvN &x, unsigned int yBit, const QvEp *curve);
    // The neutral point (1, 1, 0).
    explicit QvEpPoint(const QvEp *curve);
    // Copies everything, work registers included.
    QvEpPoint(const QvEpPoint &other);
    // Copies the curve pointer and X, Y, Z only.
    QvEpPoint &operator=(const QvEpPoint &other);
    ~QvEpPoint() override;

    void precompute() override;
    void setNeutral(const QvEp *curve);

    // Same point of the curve (whatever the Jacobian representation).
    bool operator==(const QvEpPoint &P) const;
    bool operator!=(const QvEpPoint &P) const;

    const QvEp *getCurve() const { return curve; }
    const QvZn &getX() const { return X; }
    const QvZn &getY() const { return Y; }
    const QvZn &getZ() const { return Z; }
    bool isNeutral() const;

private:
    friend class QvEp;
    bool sameAs(const QvEpPoint &P) const;

    const QvEp *curve;
    QvZn X, Y, Z;
    QvZn t1, t2, t3, t4, t5, t6, t7;
    QvWordMem scratch;
};

#endif
