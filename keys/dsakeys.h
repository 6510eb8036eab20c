// DSA key structures: Dss-Parms (p, q, g), the public value y, Dss-Sig-Value (r, s).
#pragma once

#include <cstdint>

#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"

class QvRbg;

class DSAParameters : public ASNsequenceF {
public:
    explicit DSAParameters(uint32_t tag = 0);
    DSAParameters(const DSAParameters& other);
    DSAParameters& operator=(const DSAParameters& other);
    ~DSAParameters() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    unsigned getPBits() const;

    ASNinteger p;
    ASNinteger q;
    ASNinteger g;
};

class DSASignature : public ASNsequenceF {
public:
    explicit DSASignature(uint32_t tag = 0);
    ~DSASignature() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    ASNinteger r;
    ASNinteger s;
};

// The public value y (an INTEGER).
class DSAPublicKey : public ASNinteger {
public:
    explicit DSAPublicKey(uint32_t tag = 0);
    DSAPublicKey(const DSAPublicKey& other) : ASNinteger(other) {}
    DSAPublicKey& operator=(const DSAPublicKey& other) {
        ASNinteger::operator=(other);
        return *this;
    }
    unsigned getBits() const;

    // 0 valid, 1 invalid, 2 key-operation failure (no or unusable parameters),
    // 3 when digestLen is not the output length of hashId. The digest is cut to
    // the bit length of q.
    int verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, const DSAParameters* params,
                       const DSASignature& sig) const;
};

// The private value x (an INTEGER), with the domain parameters it is used in (not
// part of its encoding).
class DSAPrivateKey : public ASNinteger {
public:
    explicit DSAPrivateKey(uint32_t tag = 0);
    // 0 signed; 2 key-operation failure (no usable key or parameters, no generator);
    // 3 digestLen is not the output length of hashId; 6 out of memory. The digest is
    // cut to the bit length of q.
    int sign(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature* out, QvRbg* rbg) const;

    DSAParameters parameters;
};
