// Shared helpers of the prime-curve tests: OpenSSL curves as the independent
// reference, our curves built from the same parameters, conversions between
// the two, and random scalars.
#ifndef TESTS_LIBTORVAPP_CURVES_P_SUPPORT_H
#define TESTS_LIBTORVAPP_CURVES_P_SUPPORT_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <memory>
#include <string>
#include <vector>

#include "libtorvapp/qvcryptoep/qvcryptoep.h"
#include "libtorvapp/qvep/qvep.h"
#include "tests/common/testsupport.h"

typedef std::vector<unsigned char> Bytes;

// One reference curve by OpenSSL's curve id.
class RefCurve {
public:
    explicit RefCurve(int nid);
    ~RefCurve();
    RefCurve(const RefCurve &) = delete;
    RefCurve &operator=(const RefCurve &) = delete;

    EC_GROUP *group() const { return g; }
    BN_CTX *ctx() const { return c; }
    std::string pHex() const { return hex(p); }
    std::string aHex() const { return hex(a); }
    std::string bHex() const { return hex(b); }
    std::string nHex() const { return hex(n); }
    const BIGNUM *order() const { return n; }
    unsigned int fieldOctets() const { return (unsigned int)BN_num_bytes(p); }
    Bytes generator(point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED) const;
    // k*G + 0 (k as big-endian octets) in the given form.
    Bytes mulG(const Bytes &k, point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED) const;
    // k * P (P encoded).
    Bytes mul(const Bytes &k, const Bytes &P) const;
    // k1 * P1 + k2 * P2.
    Bytes mulTwo(const Bytes &k1, const Bytes &P1, const Bytes &k2, const Bytes &P2) const;
    Bytes add(const Bytes &P, const Bytes &Q) const;
    Bytes dbl(const Bytes &P) const;
    Bytes invert(const Bytes &P) const;
    Bytes reencode(const Bytes &P, point_conversion_form_t form) const;
    // A random scalar below the order (octets, big-endian, minimal).
    Bytes randomScalar() const;

    static std::string hex(const BIGNUM *v);

private:
    EC_POINT *decode(const Bytes &P) const;
    Bytes encode(const EC_POINT *P, point_conversion_form_t form) const;
    EC_GROUP *g;
    BN_CTX *c;
    BIGNUM *p, *a, *b, *n;
};

QvN toQvN(const Bytes &k);
using testsupport::FromHex;
// Upper-case digits, as OpenSSL and the curve tables write them.
inline std::string toHex(const Bytes &b) { return testsupport::ToHex(b, testsupport::HexCase::Upper); }
Bytes randomBytes(unsigned int n);

// Our curves from the reference's parameters.
std::unique_ptr<QvEp> makeEp(const RefCurve &ref);
std::unique_ptr<QvCryptoEp> makeCryptoEp(const RefCurve &ref);

// Encoding of a group element through the group (buffer of the given size).
Bytes encodeElem(const QvGroup &grp, const QvGroupElem *e, unsigned int bufLen);
struct ElemDeleter {
    void operator()(QvGroupElem *e) const { delete e; }
};
typedef std::unique_ptr<QvGroupElem, ElemDeleter> ElemPtr;
ElemPtr decodeElem(const QvGroup &grp, const Bytes &b);

#endif
