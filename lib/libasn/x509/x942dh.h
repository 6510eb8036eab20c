// X9.42 Diffie-Hellman DomainParameters and ValidationParms, with conversion to and
// from the DSA parameter structure (whose members come in the order p, q, g).
#pragma once

#include <cstdint>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"

class DSAParameters;

class X942ValidationParams : public ASNsequenceF {
public:
    explicit X942ValidationParams(uint32_t tag = 0);
    X942ValidationParams(const X942ValidationParams& other);
    X942ValidationParams& operator=(const X942ValidationParams& other);
    ~X942ValidationParams() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    bool operator==(const X942ValidationParams& other) const;
    // The seed becomes the octets with 0 unused bits; 1, or 0.
    int setSeed(const uint8_t* data, long len);
    // The seed's bit octets and their count; NULL when empty.
    const uint8_t* getSeed(long* len) const;
    // The counter, -1 when it does not fit 63 bits or is negative.
    int64_t getPgenCounter() const;

    ASNbitstr seed;
    ASNinteger pgenCounter;
};

class X942DomainParameters : public ASNsequenceF {
public:
    explicit X942DomainParameters(uint32_t tag = 0);
    X942DomainParameters(const X942DomainParameters& other);
    X942DomainParameters& operator=(const X942DomainParameters& other);
    ~X942DomainParameters() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // 8 x the significant octets of p, of q; the octet count of q.
    long getPBits() const;
    long getQBits() const;
    long getQLength() const;

    void copyToDsaParameters(DSAParameters& out) const;
    // computeJ asks for j = (p - 1) / q as well; 1, or 0 when it cannot be computed.
    int setFromDsaParameters(const DSAParameters& in, bool computeJ);

    ASNinteger p;
    ASNinteger g;
    ASNinteger q;
    ASNinteger j;
    X942ValidationParams validationParms;
    uint8_t jPresent;
    uint8_t validationParmsPresent;
};
