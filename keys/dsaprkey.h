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

    DSAParameters parameters;
};
