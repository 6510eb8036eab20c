// PKCS#15 PinAttributes: how a PIN is formatted and checked on the card.
#pragma once

#include <cstdint>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "lib/libpkcs15/asnpkcs15common.h"

class ASNPkcs15PinAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15PinAttributes(uint32_t tag = 0);
    ASNPkcs15PinAttributes(const ASNPkcs15PinAttributes& other);
    ~ASNPkcs15PinAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // Fills a new PIN's attributes; 1, or 0 when a value cannot be stored.
    int set(uint32_t pinFlags, uint32_t pinType, const uint16_t* pathWords, int pathWordCount, int minLength,
            int storedLength, int maxLength, uint32_t pinReference, uint8_t padChar);

    ASNPkcs15PinAttributes& operator=(const ASNPkcs15PinAttributes& other);
    bool operator==(const ASNPkcs15PinAttributes& other) const;

    ASNbitstr pinFlags;
    ASNenum pinType;
    ASNinteger minLength;
    ASNinteger storedLength;
    ASNinteger maxLength;
    ASNinteger pinReference;
    ASNoctstr padChar;
    ASNgenTime lastPinChange;
    ASNPkcs15Path path;
    uint8_t wasMaxLength;
    uint8_t wasPinReference;
    uint8_t wasPadChar;
    uint8_t wasLastPinChange;
    uint8_t wasPath;

private:
    std::array<asnp15::Member, 9> members() const;
};
