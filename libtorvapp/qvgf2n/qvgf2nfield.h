// A binary field GF(2^m) in polynomial basis, given by its reduction
// polynomial f of degree m.  Every value of the field is held in
// n = floor(m/32) + 1 words, least significant first.  The three low-level
// routines (add, multiply, invert) are chosen once by n: fixed-size ones for
// the common sizes, a looping one for the others.
#ifndef LIBTORVAPP_QVGF2N_QVGF2NFIELD_H
#define LIBTORVAPP_QVGF2N_QVGF2NFIELD_H

#include "libtorvapp/qvcommon/qvtypes.h"
#include "libtorvapp/qvcommon/qvwordmem.h"

// dst ^= src over n words.
typedef void (*QvGF2nAddRoutine)(QvWord *dst, const QvWord *src, unsigned int n);
// Runs on an element's multiplication context (4n + 3 words): product of the
// multiplicand and multiplier areas into the product area.
typedef void (*QvGF2nMulRoutine)(QvWord *ctx, unsigned int n);
// Runs on an element's inversion context (5n + 2 words) filled with u = f,
// v = divisor, g1 = 0, g2 = 1: leaves the inverse in the u area.  Returns
// false when the divisor has no inverse (gcd with f is not 1).
typedef bool (*QvGF2nInvRoutine)(QvWord *ctx, unsigned int n);

class QvGF2nField {
public:
    QvGF2nField();
    // f as big-endian octets; leading zero octets are dropped.
    QvGF2nField(const QvOctet *f, unsigned int length);
    // f as hexadecimal text (an even number of digits).
    explicit QvGF2nField(const char *text);
    QvGF2nField(const QvGF2nField &other);
    virtual ~QvGF2nField();
    QvGF2nField &operator=(const QvGF2nField &other);

    unsigned int getDegree() const { return degree; }
    unsigned int getWordCount() const { return words; }
    const QvWordMem &getPolynomial() const { return polynomial; }
    // Exponent of the (i+1)-th non-zero term counted from x^0; m + 1 when none.
    unsigned int getTermExponent(unsigned int i) const;
    unsigned int getTermCount() const;
    // f as floor(m/8) + 1 big-endian octets; returns that count.
    unsigned int asOctetString(QvOctet *fOct, unsigned int fLen) const;

    QvGF2nAddRoutine addRoutine() const { return addFn; }
    QvGF2nMulRoutine mulRoutine() const { return mulFn; }
    QvGF2nInvRoutine invRoutine() const { return invFn; }
    // True when the routines are the fixed-size ones for this word count.
    bool usesFixedRoutines() const;

private:
    void setFromOctets(const QvOctet *f, unsigned int length);
    void selectRoutines();

    QvGF2nAddRoutine addFn;
    QvGF2nMulRoutine mulFn;
    QvGF2nInvRoutine invFn;
    unsigned int degree;
    QvWordMem polynomial;
    unsigned int words;
};

// The kernels, also used directly by the tests of the fixed-size forms.
void qvGF2nSelectRoutines(unsigned int n, QvGF2nAddRoutine *add, QvGF2nMulRoutine *mul,
                          QvGF2nInvRoutine *inv);
void qvGF2nGenericRoutines(QvGF2nAddRoutine *add, QvGF2nMulRoutine *mul, QvGF2nInvRoutine *inv);
// Multiplication uses the processor's carry-less multiply where it has one;
// true keeps to the portable comb (for comparing the two).
void qvGF2nForcePortableMultiply(bool portable);

#endif
