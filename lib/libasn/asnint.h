// INTEGER and ENUMERATED: big-endian two's-complement value octets.
#pragma once

#include <cstdint>

#include "lib/libasn/asnocstr.h"

class ASNinteger : public ASNoctstr {
public:
    explicit ASNinteger(uint32_t tag = 0);
    ASNinteger(const ASNinteger& other) : ASNoctstr(other) {}

    // An INTEGER has at least one contents octet.
    int read_contents(GenericFile* src, long len) override;

    // From an unsigned big-endian magnitude: leading zeros dropped, 00 prepended
    // when the top bit is set; empty input gives 0. 1, or 0 when memory runs out.
    int setUnsigned(const uint8_t* data, long len);
    // Throws std::bad_alloc when memory runs out.
    void setValue(uint32_t value);
    // From hexadecimal text (white space skipped); 1, or 0 for no digits / bad text.
    int setHex(const char* hexText);
    ASNinteger& operator=(const ASNinteger& other);
    // Number of value octets after leading zero octets, at least 1.
    long getLength() const;
    // The value read as an unsigned magnitude (02 01 FF gives 255); more than eight
    // significant octets throw std::overflow_error("ASNinteger overflow").
    long getLong() const;
    // Upper-case hex of the significant octets ("0" for zero), NUL-terminated;
    // 1, or 0 when out (of size octets) is too small.
    int getHex(char* out, long size) const;
    bool operator==(const ASNinteger& other) const { return ASNoctstr::operator==(other); }

protected:
    ASNinteger(uint32_t tag, uint8_t universalTag);
};

class ASNenum : public ASNinteger {
public:
    explicit ASNenum(uint32_t tag = 0);
    ASNenum(const ASNenum& other) : ASNinteger(other) {}
    ASNenum& operator=(const ASNenum& other) {
        ASNinteger::operator=(other);
        return *this;
    }
};
