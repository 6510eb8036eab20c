// PKCS #3 DHParameter: SEQUENCE { prime, base, privateValueLength OPTIONAL }.
#pragma once

#include <cstdint>

#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"

class Pkcs3DHParameter : public ASNsequenceF {
public:
    explicit Pkcs3DHParameter(uint32_t tag = 0);
    ~Pkcs3DHParameter() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    // Bit length of the prime; 0 when empty.
    unsigned getPrimeBits() const;

    ASNinteger prime;
    ASNinteger base;
    ASNinteger privateValueLength;
    uint8_t wasPrivateValueLength;
};
