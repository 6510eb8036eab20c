// PKCS #3 DHParameter: SEQUENCE { prime, base, privateValueLength OPTIONAL }, with its
// conversions to the library's GF(p) key domains and to DSA parameters.
#pragma once

#include <cstdint>

#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"

class DSAParameters;
class QvGFpKeyDomain;

class Pkcs3DHParameter : public ASNsequenceF {
public:
    explicit Pkcs3DHParameter(uint32_t tag = 0);
    Pkcs3DHParameter(const Pkcs3DHParameter& other);
    Pkcs3DHParameter& operator=(const Pkcs3DHParameter& other);
    ~Pkcs3DHParameter() override;

    void clear() override;
    // A fourth element (or any trailing octets) refuses the structure.
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Bit length of the prime's value; 0 when empty.
    unsigned getPrimeBits() const;
    // 8 x significant octets of prime (at least 8).
    unsigned getKeyBitsFromPrime() const;
    // privateValueLength read whatever the flag; 0 when empty or wider than 8 octets.
    uint64_t getPrivateValueLength() const;
    uint64_t getPrivateValueOctets() const;

    // prime/base from p/g, privateValueLength = bit length of q - 1. 1, or 0.
    int fromKeyDomain(const QvGFpKeyDomain& domain);
    // p, g and a q of privateValueLength bits (5 when absent) into the domain. 1, or 0.
    int toKeyDomain(QvGFpKeyDomain& domain) const;
    int toDsaParameters(DSAParameters& out) const;
    int fromDsaParameters(const DSAParameters& in);
    // 1 when prime == p and base == g by value.
    int isSameDomain(const DSAParameters& params) const;
    // y = base^x mod prime. 1, or 0 (result over 2048 octets, bad numbers).
    int computePublicValue(const ASNinteger& x, ASNinteger& y) const;

    ASNinteger prime;
    ASNinteger base;
    ASNinteger privateValueLength;
    uint8_t wasPrivateValueLength;
};
