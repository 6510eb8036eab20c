// QvCryptoEp: the curve group y^2 = x^3 + a*x + b over GF(p) for six fixed
// primes (the 160-bit prime 2^160 - 2^31 - 1 and the P-192 .. P-521 primes),
// with points held as raw word arrays and nine field routines chosen once per
// curve: no residue object and no allocation in the point arithmetic.  A point
// may carry a table of its doublings (P, 2P, 4P, ...); scalar multiples of such
// a point are a run of additions over the non-adjacent form of the scalar.
//
// Any other prime makes the constructors throw QvLibNotImplementedException;
// callers then use QvEp.  A curve must outlive its points.
#ifndef LIBTORVAPP_QVCRYPTOEP_QVCRYPTOEP_H
#define LIBTORVAPP_QVCRYPTOEP_QVCRYPTOEP_H

#include <cstdint>

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"

class QvCryptoEpPoint;

typedef void (*QvFieldCopyFn)(QvWord *x, const QvWord *y);
typedef bool (*QvFieldTestFn)(const QvWord *x);
typedef bool (*QvFieldEqualFn)(const QvWord *x, const QvWord *y);
typedef void (*QvFieldUnaryFn)(QvWord *x);
typedef void (*QvFieldBinaryFn)(QvWord *x, const QvWord *y);

class QvCryptoEp : public QvAbelianGroup {
public:
    // Empty curve: no routines; must not be used.
    QvCryptoEp();
    // Big-endian octet strings.
    QvCryptoEp(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen, const QvOctet *p,
               unsigned int pLen);
    // Number texts ("0x" hexadecimal, leading "0" octal, else decimal); no sign.
    QvCryptoEp(const char *a, const char *b, const char *p);
    QvCryptoEp(const QvCryptoEp &other);
    QvCryptoEp &operator=(const QvCryptoEp &other);
    ~QvCryptoEp() override;

    // Installs the routines of the matching prime; any other prime throws.
    void setField(const QvN &prime);

    unsigned int getA(QvOctet *oct, unsigned int len) const;
    unsigned int getB(QvOctet *oct, unsigned int len) const;

    const QvModulus &getModulus() const { return modulus; }
    unsigned int getWordCount() const { return n; }
    unsigned int getStride() const { return stride; }
    bool isAMinus3() const { return aIsMinus3 != 0; }
    unsigned int getFieldOctets() const { return modulus.getOctetLength(); }
    // Whether the point satisfies the curve equation (the neutral point does).
    bool isOnCurve(const QvCryptoEpPoint &P) const;

    void assignElement(QvGroupElem *r, const QvGroupElem *a) const override;
    void assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const override;
    void multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const override;
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
    friend class QvCryptoEpPoint;
    void build(const QvN &av, const QvN &bv, const QvN &p);
    void addOrSubtract(QvCryptoEpPoint *r, const QvCryptoEpPoint *b, bool subtract) const;
    // Affine coordinates of a point that is not neutral.
    void affine(const QvCryptoEpPoint *P, QvN *x, QvN *y) const;
    void checkPoint(const QvCryptoEpPoint *r) const;
    void normalise(QvGroupElem **pts, unsigned int count) const;

    QvFieldCopyFn fieldCopy;
    QvFieldEqualFn fieldEqual;
    QvFieldTestFn fieldIsZero;
    QvFieldTestFn fieldIsOne;
    QvFieldUnaryFn fieldNegate;
    QvFieldBinaryFn fieldAdd;
    QvFieldBinaryFn fieldSubtract;
    QvFieldBinaryFn fieldMultiply;
    QvFieldUnaryFn fieldSquare;
    QvModulus modulus;
    std::uint32_t n;
    QvWordMem half;
    QvWordMem a;
    QvWordMem b;
    std::uint32_t stride;
    std::uint8_t aIsMinus3;
};

class QvCryptoEpPoint : public QvGroupElem {
public:
    QvCryptoEpPoint();
    // Same curve and coordinates; never the table.
    QvCryptoEpPoint(const QvCryptoEpPoint &other);
    // Affine point (x mod p, y mod p, 1); not checked against the curve.
    QvCryptoEpPoint(const QvN &x, const QvN &y, const QvCryptoEp *curve);
    // The neutral point (1, 1, 0).
    explicit QvCryptoEpPoint(const QvCryptoEp *curve);
    // Takes the curve and X, Y, Z; drops this point's own table.
    QvCryptoEpPoint &operator=(const QvCryptoEpPoint &other);
    ~QvCryptoEpPoint() override;

    // Builds the doubling table P, 2P, 4P, ... ((bit length of p) + 2 points).
    void precompute() override;
    void dropTable();
    // "(x, y)" in octal digits, or "O" for the neutral point; no line end.
    void print() const;

    const QvCryptoEp *getCurve() const { return curve; }
    unsigned int getTableSize() const { return size; }
    bool isNeutral() const;
    const QvWord *getXWords() const { return words.getConstData(); }
    const QvWord *getYWords() const { return words.getConstData() + (curve ? curve->stride : 0); }
    const QvWord *getZWords() const { return words.getConstData() + (curve ? 2 * curve->stride : 0); }

private:
    friend class QvCryptoEp;
    QvWord *slot(unsigned int i) { return words.getData() + i * curve->stride; }
    const QvWord *slot(unsigned int i) const { return words.getConstData() + i * curve->stride; }
    void bind(const QvCryptoEp *c);
    void setNeutralWords();

    const QvCryptoEp *curve;
    QvWordMem words;
    QvGroupElem **table;
    std::uint32_t size;
};

#endif
