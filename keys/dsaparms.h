// DSA domain parameters (Dss-Parms: p, q, g) and the signature value (Dss-Sig-Value: r, s).
#pragma once

#include <cstdint>

#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"

class QvGFpKeyDomain;

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
    // Bit length of p's value.
    unsigned getPBits() const;
    // Significant octets of q; 8 x significant octets of p.
    unsigned getQLength() const;
    unsigned getKeySizeBits() const;

    // p, q, g from the domain's octet forms. 1, or 0.
    int setFromDomain(const QvGFpKeyDomain& domain);
    // p, q, g into the domain. 1, or 0 when the library refuses a value.
    int toDomain(QvGFpKeyDomain& domain) const;
    // y = g^x mod p; false when nothing can be computed or stored.
    bool computePublicValue(const ASNinteger& x, ASNinteger& y) const;
    // q and p prime, q | p - 1, 2 <= g < p and g^q mod p = 1. 1, or 0.
    int isValid() const;

    ASNinteger p;
    ASNinteger q;
    ASNinteger g;
};

class DSASignature : public ASNsequenceF {
public:
    explicit DSASignature(uint32_t tag = 0);
    DSASignature(const DSASignature& other);
    DSASignature& operator=(const DSASignature& other);
    ~DSASignature() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Encoded length of r plus that of s.
    long getRSLength() const;
    // r and s from two consecutive INTEGER encodings filling len exactly. 1, or 0.
    int setRS(const uint8_t* rs, unsigned len);
    // The two INTEGER encodings into out: 1; -1 when len is too small; 0 or less on failure.
    int getRS(uint8_t* out, unsigned len) const;

    ASNinteger r;
    ASNinteger s;
};
