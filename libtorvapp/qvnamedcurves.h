// The parameters of the 62 standard elliptic curves that the library carries
// as ready-made key domains: 34 over prime fields and 28 over binary fields,
// in the order in which the domains are built.  Each set holds six
// hexadecimal texts, big-endian: a, b, the field (the prime p, or the
// reduction polynomial as a bit string, bit i the coefficient of x^i), the
// base point in the uncompressed encoding 04 || x || y, its order n and the
// cofactor h.  The FIPS 186 curves appear twice (nist and sec names), as two
// sets of equal values.
#ifndef LIBTORVAPP_QVNAMEDCURVES_H
#define LIBTORVAPP_QVNAMEDCURVES_H

struct QvNamedCurveParams {
    const char *name;
    bool binaryField;
    const char *a;
    const char *b;
    const char *field;
    const char *generator;
    const char *order;
    const char *cofactor;
};

enum : unsigned int { QV_NAMED_CURVE_COUNT = 62 };

// The set at a position of the build order (0 .. 61), or null.
const QvNamedCurveParams *qvNamedCurveParams(unsigned int index);
// The set of a name ("nistp256", "secp256r1", "brainpoolP256r1", ...), or null.
const QvNamedCurveParams *qvFindNamedCurveParams(const char *name);

#endif
