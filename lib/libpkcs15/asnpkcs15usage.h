// PKCS#15 Usage: key usage bits and extended key usage OIDs a key or certificate
// is trusted for.
#pragma once

#include <cstdint>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnseql.h"
#include "lib/libpkcs15/asnpkcs15common.h"

class ASNPkcs15Usage : public ASNsequenceF {
public:
    explicit ASNPkcs15Usage(uint32_t tag = 0);
    ASNPkcs15Usage(const ASNPkcs15Usage& other);
    ~ASNPkcs15Usage() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15Usage& operator=(const ASNPkcs15Usage& other);
    bool operator==(const ASNPkcs15Usage& other) const;
    bool operator!=(const ASNPkcs15Usage& other) const { return !(*this == other); }

    ASNbitstr keyUsage;
    ASNsequenceList<ASNobjectId> extKeyUsage;
    uint8_t wasKeyUsage;
    uint8_t wasExtKeyUsage;

private:
    std::array<asnp15::Member, 2> members() const;
};
