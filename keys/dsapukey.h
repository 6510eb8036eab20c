// The DSA public value y (an INTEGER, as a certificate's subjectPublicKey holds it).
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"

class QvGFpPublicKey;

class DSAPublicKey : public ASNinteger {
public:
    explicit DSAPublicKey(uint32_t tag = 0);
    DSAPublicKey(const DSAPublicKey& other) : ASNinteger(other) {}
    DSAPublicKey& operator=(const DSAPublicKey& other) {
        ASNinteger::operator=(other);
        return *this;
    }
    bool operator==(const DSAPublicKey& other) const { return ASNinteger::operator==(other); }
    unsigned getBits() const;
    // 8 x significant octets of y.
    unsigned getKeySizeBits() const;
    // y from the library key. 1, or 0.
    int setFromQvKey(const QvGFpPublicKey& key);

    // 0 valid, 1 invalid, 2 key-operation failure (no or unusable parameters),
    // 3 when digestLen is not the output length of hashId. The digest is cut to
    // the bit length of q.
    int verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, const DSAParameters* params,
                       const DSASignature& sig) const;
    // The same for a digest of any length (no hash check): 0 valid, 1 invalid, 2 unusable key.
    int verify(const uint8_t* digest, unsigned digestLen, const DSAParameters& params, const DSASignature& sig) const;
};
