// BOOLEAN and NULL.
#pragma once

#include "lib/libasn/asnbase.h"

class ASNbool : public ASNobject {
public:
    explicit ASNbool(uint32_t tag = 0);
    ASNbool(const ASNbool& other);
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override { return 1; }
    uint8_t defaultTag() const override { return 0x01; }
    void digest_contents(QvHash* hash) const override;

    // true is stored as 0xFF, false as 0x00.
    ASNbool& operator=(bool value);
    ASNbool& operator=(const ASNbool& other);
    // The stored octet, signed; non-zero means true.
    int getValue() const { return static_cast<int8_t>(m_value); }
    bool isTrue() const { return m_value != 0; }
    bool operator==(const ASNbool& other) const { return m_value == other.m_value; }
    bool isEqual(int value) const { return static_cast<int8_t>(m_value) == value; }

private:
    uint8_t m_value;
};

class ASNnull : public ASNobject {
public:
    explicit ASNnull(uint32_t tag = 0);
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile*) const override { return 1; }
    long lenOfBody() const override { return 0; }
    uint8_t defaultTag() const override { return 0x05; }
    void digest_contents(QvHash*) const override {}
};
