// PKCS#15 Path: file identifiers as big-endian octet pairs, with an optional
// window (index and [0] length) into the file.
#pragma once

#include <cstdint>

#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libpkcs15/asnpkcs15common.h"

class ASNPkcs15Path : public ASNsequenceF {
public:
    explicit ASNPkcs15Path(uint32_t tag = 0);
    ASNPkcs15Path(const ASNPkcs15Path& other);
    ~ASNPkcs15Path() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // Stores count words high byte first; NULL or 0 empties the path. 1, or 0.
    int setPath(const uint16_t* words, int count);
    // setPath, then index and length: both 0 makes both absent, else both present.
    int set(const uint16_t* words, int count, uint32_t index, uint32_t length);
    // -1 odd octet count; out NULL: the word count; -2 too small; else the count.
    int getPath(uint16_t* out, uint32_t maxWords) const;
    // Index and length as plain numbers, 0 when absent or unusable.
    uint32_t getIndex() const;
    uint32_t getLengthValue() const;

    ASNPkcs15Path& operator=(const ASNPkcs15Path& other);
    bool operator==(const ASNPkcs15Path& other) const;
    bool operator!=(const ASNPkcs15Path& other) const { return !(*this == other); }

    ASNoctstr path;
    ASNinteger index;
    ASNinteger length;
    uint8_t wasIndex;
    uint8_t wasLength;

private:
    std::array<asnp15::Member, 3> members() const;
};
