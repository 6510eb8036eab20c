// BIT STRING: an unused-bits octet followed by the bit octets.
#pragma once

#include <cstdint>

#include "lib/libasn/asnbase.h"

class ASNbitstr : public ASNobject {
public:
    explicit ASNbitstr(uint32_t tag = 0);
    ASNbitstr(const ASNbitstr& other);
    ~ASNbitstr() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    // The stored length; an empty value is written as the single octet 00.
    long lenOfBody() const override;
    uint8_t defaultTag() const override { return 0x03; }
    void digest_contents(QvHash* hash) const override;

    // Copies len octets behind a new unused-bits octet and clears the unused low
    // bits of the last octet; len 0 gives the empty value. 1, or 0 (bad arguments,
    // memory).
    int set(const uint8_t* data, long len, uint8_t unusedBits);
    // A zero-filled value of bits bits; 0 gives the empty value.
    int setBitLength(int bits);
    // Bit pos counted from the most significant bit of the first octet.
    void setBit(long pos, bool value);
    // Named-bit lists: bit i of the word is bit i of the string; trailing zero bits
    // are dropped as DER requires.
    void setFlags(uint32_t bits);
    uint32_t getFlags() const;
    int getBit(long pos) const;
    long getBitLength() const;
    void normalize();
    // The bit string becomes the DER encoding of obj with no unused bits; 1 on success.
    int setEncoded(const ASNobject& obj);

    // Unused-bits octet followed by the bit octets (NULL when empty).
    const uint8_t* getContents() const;
    // The bit octets after the unused-bits octet and their count.
    const uint8_t* getBits() const;
    long getByteLength() const { return m_len > 0 ? static_cast<long>(m_len) - 1 : 0; }
    uint8_t getUnusedBits() const;

    ASNbitstr& operator=(const ASNbitstr& other);
    bool operator==(const ASNbitstr& other) const;
    bool operator!=(const ASNbitstr& other) const { return !(*this == other); }

private:
    void freeValue();

    uint32_t m_len;       // octets including the unused-bits octet
    uint8_t* m_contents;  // owned
};
