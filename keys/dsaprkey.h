// The DSA private value x (an INTEGER), with the domain parameters it is used in
// (not part of its encoding).
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"

class QvRbg;

class DSAPrivateKey : public ASNinteger {
public:
    explicit DSAPrivateKey(uint32_t tag = 0);
    // 0 signed; 2 key-operation failure (no usable key or parameters, no generator);
    // 3 digestLen is not the output length of hashId; 6 out of memory. The digest is
    // cut to the bit length of q.
    int sign(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature* out, QvRbg* rbg) const;
    // y = g^x mod p into out. 1, or 0.
    int getPublicValue(ASNinteger& out) const;
    // The same result codes; the hash picked from the digest length (up to 16 octets
    // MD5, 20 SHA-1, 28 SHA-224, 32 SHA-256, 48 SHA-384, above SHA-512), so a length
    // between those ends in 3.
    int sign(const uint8_t* digest, unsigned digestLen, DSASignature& out, QvRbg* rbg) const;
    int signWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature& out,
                     QvRbg* rbg) const {
        return sign(digest, digestLen, hashId, &out, rbg);
    }
    // x from big-endian octets; p, q, g copied from params. 1, or 0.
    int setX(const uint8_t* x, long len) { return setUnsigned(x, len); }
    void setDomain(const DSAParameters& params) { parameters = params; }
    void getDomain(DSAParameters& out) const { out = parameters; }
    // Significant octets of x; 8 x significant octets of p and its octets.
    unsigned getPrivateValueLength() const;
    unsigned getKeySizeBits() const { return parameters.getKeySizeBits(); }
    unsigned getKeySizeBytes() const { return (getKeySizeBits() + 7) / 8; }

    DSAParameters parameters;
};
