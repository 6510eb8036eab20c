// The arithmetic DSA and ECDSA share, written once against the abstract group:
// the digest as a number cut to the bit length of the order, the (r, s) pair
// of a signature and its check, and the two-INTEGER octet form of the pair.
#ifndef LIBTORVAPP_QVDSAARITH_H
#define LIBTORVAPP_QVDSAARITH_H

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvrbg.h"

// The digest as a big-endian number keeping only its leftmost orderBits bits
// when it is longer (FIPS 186-4, SEC 1).
QvN qvDsaDigestNumber(const QvOctet *digest, unsigned int digestLen, unsigned int orderBits);

// One signature: k drawn from `kOctets` random octets reduced modulo n (again
// while 0), r = asQvN(k G) mod n, s = k^-1 (z + x r) mod n, repeated until
// both are non-zero.  An order below 2^64 is refused (QvArgumentRangeException).
void qvDsaSignRS(const QvGroup &group, const QvGroupElem *gen, const QvModulus &n, const QvN &x, const QvN &z,
                 QvRbg &rbg, unsigned int kOctets, QvN &r, QvN &s);

// The check of (r, s) against the public element h: false for r or s outside
// [1, n - 1] and when an inverse or the point at infinity turns up.
bool qvDsaVerifyRS(const QvGroup &group, const QvGroupElem *gen, const QvModulus &n, const QvGroupElem *h,
                   const QvN &z, const QvN &r, const QvN &s);

// Octets of 02 len [00] r 02 len [00] s.
unsigned int qvDsaEncodedRSLength(const QvN &r, const QvN &s);
// Writes that form; 0 (nothing written) when outLen is too short.
unsigned int qvDsaEncodeRS(const QvN &r, const QvN &s, QvOctet *out, unsigned int outLen);

// Splits two consecutive TLVs (tags not examined); false when either does
// not lie wholly inside the len octets.
bool qvDsaSplitRS(const QvOctet *sig, unsigned int len, const QvOctet *&r, unsigned int &rLen, const QvOctet *&s,
                  unsigned int &sLen);

#endif
