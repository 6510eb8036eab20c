// OCTET STRING (primitive or constructed); also the base of INTEGER and of the
// character-string types.
#pragma once

#include <vector>

#include "lib/libasn/asnbase.h"

// Stream context of an OCTET STRING: pass-through of contents to an output stream,
// and the segment being decoded of a constructed string.
class ASNOctStrStreamCtx : public ASNStreamCtx {
public:
    ASNOctStrStreamCtx();
    ~ASNOctStrStreamCtx() override;
    void reset() override;

    bool passThrough;
    long delivered;       // value octets delivered so far
    long consumed;        // contents octets consumed so far
    class ASNoctstr* segment;
    bool segmentDone;
    int zeroCount;        // zero octets met between segments
    bool started;
};

class ASNoctstr : public ASNobject {
public:
    // A class tag stays the implicit tag; a non-zero universal tag is kept and
    // becomes the default tag (so that other string types can use this class); 0
    // gives OCTET STRING (4).
    explicit ASNoctstr(uint32_t tag = 0);
    ASNoctstr(const ASNoctstr& other);
    ~ASNoctstr() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    long read_indefinite_contents(GenericFile* src, long maxLen) override;
    uint8_t defaultTag() const override { return m_universalTag; }
    void digest_contents(QvHash* hash) const override;
    long lenOfBodyStreamed(long len) const override;
    int createStreamCtx() override;
    // Resumable contents: primitive strings gather (or pass through) their octets,
    // constructed ones decode segment after segment.
    int read_contents_streamed(GenericFile* src, long len, GenericFile* out) override;
    // Pass-through: contents copied from src in chunks (definite), or each piece
    // written as one primitive segment (indefinite).
    int write_contents_streamed(GenericFile* src, long len, bool final, GenericFile* dst) override;
    // In pass-through mode decoded contents go to the output stream instead of the value.
    void setStreamOutput(bool on);
    bool getStreamOutput() const;
    // Value octets delivered by resumable decoding so far.
    long getStreamDelivered() const;

    // Clears, makes the string primitive and returns a new value buffer of size
    // octets (NULL when it cannot be allocated or size is 0).
    uint8_t* allocate(long size);
    // Copies the value; 1, or 0 when memory runs out.
    int set(const void* data, long len);
    // The value octets; for a constructed string the concatenation of its segments.
    const uint8_t* getData() const;
    long getLength() const { return static_cast<long>(m_valueLen); }
    long getValueLength() const { return static_cast<long>(m_valueLen); }
    bool isConstructed() const { return tag != TAG_ANY && (tag & ASN_CONSTRUCTED) != 0; }
    size_t getSegmentCount() const { return m_segments.size(); }

    ASNoctstr& operator=(const ASNoctstr& other);
    bool operator==(const ASNoctstr& other) const;
    bool operator!=(const ASNoctstr& other) const { return !(*this == other); }
    // Three-way: the longer value is greater; equal lengths compare by octets.
    static int compare(const ASNoctstr& a, const ASNoctstr& b);

protected:
    ASNoctstr(uint32_t tag, uint8_t universalTag);
    void freeValue();
    void freeSegments();
    // Reads one segment under the remaining budget and appends it.
    long readSegment(GenericFile* src, long budget);
    int concatenateSegments();
    int readPrimitiveStreamed(GenericFile* src, long len, GenericFile* out);

    int64_t m_valueLen;
    uint8_t* m_value;
    std::vector<ASNoctstr*> m_segments;  // owned
    uint8_t m_universalTag;
};
