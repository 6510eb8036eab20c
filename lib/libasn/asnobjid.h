// OBJECT IDENTIFIER, kept in its encoded (BER) form.
#pragma once

#include <cstdint>
#include <string>

#include "lib/libasn/asnbase.h"

class ASNobjectId : public ASNobject {
public:
    explicit ASNobjectId(uint32_t tag = 0);
    // From dotted text; text that does not convert throws std::bad_alloc.
    explicit ASNobjectId(const char* text);
    ASNobjectId(const ASNobjectId& other);
    ~ASNobjectId() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override { return static_cast<long>(m_len); }
    uint8_t defaultTag() const override { return 0x06; }
    void digest_contents(QvHash* hash) const override;

    // Separators default to "., " (one kind per text); 1, or 0 when the text does
    // not convert.
    int setText(const char* text, const char* separators = nullptr);
    ASNobjectId& operator=(const char* text);
    // Accepts the contents octets when they form a valid OID; 0 otherwise.
    int setEncoded(const uint8_t* ber, long len);
    // Dotted text ("." unless separator is given); 1, or 0 for an invalid value.
    int getText(std::string& out, const char* separator = nullptr) const;
    // See berToText.
    long getTextBuffer(char* out, long size, bool terminate, const char* separator = nullptr) const;
    std::string toString() const;
    long countArcs() const;
    const uint8_t* getData() const;
    long getLength() const { return static_cast<long>(m_len); }
    bool getLongArcs() const { return m_longArc != 0; }
    void setLongArcs(bool on) { m_longArc = on ? 1 : 0; }

    ASNobjectId& operator=(const ASNobjectId& other);
    bool operator==(const ASNobjectId& other) const;
    bool operator!=(const ASNobjectId& other) const { return !(*this == other); }
    bool isEqual(const char* text) const;

    // Dotted text to contents octets: the encoded length; minus it when out is too
    // small; without out the length only; 0 for text that does not convert.
    static long textToBer(const char* text, uint8_t* out, long outSize,
                          const char* separators = nullptr);
    // Contents octets to text: the text length (with the NUL when terminate is set),
    // negated when out is too small; without out the length only; 0 when invalid.
    static long berToText(const uint8_t* ber, long len, char* out, long outSize,
                          const char* separator = nullptr, bool terminate = true);
    // Number of arcs; 0 for empty input; -1 when the last sub-identifier is not
    // terminated or a sub-identifier is not minimally encoded; minus the arc count
    // when a sub-identifier exceeds 32 bits.
    static long countArcs(const uint8_t* ber, long len);

private:
    void freeValue();

    uint8_t m_longArc;
    uint8_t* m_value;
    int64_t m_len;
};
