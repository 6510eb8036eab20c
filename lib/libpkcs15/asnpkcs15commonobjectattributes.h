// PKCS#15 CommonObjectAttributes: label, flags (private, modifiable), authId,
// userConsent and the access-control rules (kept undecoded).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "lib/libpkcs15/asnpkcs15common.h"

class ASNPkcs15CommonObjectAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonObjectAttributes(uint32_t tag = 0);
    ASNPkcs15CommonObjectAttributes(const ASNPkcs15CommonObjectAttributes& other);
    ~ASNPkcs15CommonObjectAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // label NULL, flags 0xFFFFFFFF, authId NULL/0 and userConsent 0 mean absent.
    // The access-control rules are left as they are. 1, or 0 when a value cannot
    // be stored.
    int set(const char* label, uint64_t flags, const uint8_t* authId, size_t authIdLen, int userConsent);

    ASNPkcs15CommonObjectAttributes& operator=(const ASNPkcs15CommonObjectAttributes& other);
    bool operator==(const ASNPkcs15CommonObjectAttributes& other) const;
    bool operator!=(const ASNPkcs15CommonObjectAttributes& other) const { return !(*this == other); }

    ASNUtf8String label;
    ASNbitstr flags;
    ASNoctstr authId;
    ASNinteger userConsent;
    ASNany accessControlRules;
    uint8_t wasLabel;
    uint8_t wasFlags;
    uint8_t wasAuthId;
    uint8_t wasUserConsent;
    uint8_t wasAccessControlRules;

private:
    bool useRawFlags() const;
    std::array<asnp15::Member, 5> members() const;
    ASNany m_rawFlags;       // a flags element the bit string refused, kept as received
    uint8_t m_rawFlagsHeld;
};
