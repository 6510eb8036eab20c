// ANY: a TLV of any (or of one expected) tag held as its raw value octets.
#pragma once

#include "lib/libasn/asnbase.h"

class ASNany : public ASNobject {
public:
    // TAG_ANY accepts any identifier; a class tag or a universal tag accepts that tag.
    explicit ASNany(uint32_t tag = TAG_ANY);
    ASNany(const ASNany& other);
    ~ASNany() override;

    // Decodes one TLV; the tag is reset to the expected tag first, so an ANY built
    // with TAG_ANY accepts any identifier each time. Constant mode is not allowed.
    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    // Resumable decoding; like read, a new decode starts from the expected tag.
    long readStreamed(GenericFile* src, GenericFile* out = nullptr) override;
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    // Keeps the octets received between the header and the end-of-contents octets.
    long read_indefinite_contents(GenericFile* src, long maxLen) override;
    uint8_t defaultTag() const override;
    void digest_contents(QvHash* hash) const override;

    // Sets the value (1, or 0 when memory runs out).
    int set(const void* data, long len);
    // Sets tag and value.
    int set(uint8_t newTag, const void* data, long len);
    // The value octets (in constant mode inside the source); NULL when empty.
    const uint8_t* getData() const;
    long getLength() const { return m_valueLen; }

    ASNany& operator=(const ASNany& other);
    // Holds the identifying tag and contents of obj's encoding.
    ASNany& operator=(const ASNobject& obj);
    bool operator==(const ASNany& other) const;
    bool operator!=(const ASNany& other) const { return !(*this == other); }

private:
    void freeValue();

    int64_t m_valueLen;
    uint8_t* m_value;
    uint8_t m_expectedTag;
    uint8_t m_universalTag;
};

// Placeholder for a member type that the system does not implement: its contents
// can be neither decoded nor encoded (EASN_UNSUPPORTED).
class ASNunsupported : public ASNobject {
public:
    explicit ASNunsupported(uint32_t tag) : ASNobject(tag), m_tag(static_cast<uint8_t>(tag)) {}
    int read_contents(GenericFile*, long) override { return EASN_UNSUPPORTED; }
    int write_contents(GenericFile*) const override { return EASN_UNSUPPORTED; }
    long lenOfBody() const override { return 0; }
    uint8_t defaultTag() const override { return m_tag; }
    void digest_contents(QvHash*) const override {}

private:
    uint8_t m_tag;
};
