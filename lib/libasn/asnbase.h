// ASN.1 object core: the base of every ASN.1 type, its BER decoding and DER
// encoding of identifier and length octets, explicit tagging and hashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/genericfile.h"
#include "support/vtest.h"

class GenericFile;
class MemFile;
class QvHash;
class ASNany;
class ASNoctstr;
class ASNStreamCtx;

// Results of the codec: a positive value is an octet count (or 1 for success of a
// contents step); these are the failures.
enum {
    EASN_MALFORMED = 0,     // malformed input, or a tag or type mismatch
    EASN_FILE = -1,         // the stream reported an error
    EASN_MEM = -2,          // allocation failed
    EASN_MORE = -3,         // resumable decoding: more input needed
    EASN_UNSUPPORTED = -4   // a type or alternative without an implementation
};

// Accept any identifier on decoding.
constexpr uint8_t TAG_ANY = 255;

constexpr uint32_t ASN_FLAG_CONST = 1;        // value stays in the source stream
constexpr uint32_t ASN_FLAG_COPY = 2;         // with CONST: decode from a private copy
constexpr uint32_t ASN_FLAG_CLASSTAG = 4;     // application/context/private identifiers accepted
constexpr uint32_t ASN_FLAG_INDEF = 8;        // own TLV uses the indefinite length form
constexpr uint32_t ASN_FLAG_OWNSRC = 16;      // the source is a private copy, deleted with us
constexpr uint32_t ASN_FLAG_CONSTR = 32;      // constructed form accepted on a primitive tag
constexpr uint32_t ASN_FLAG_EXPLICIT = 64;    // TLV wrapped in an explicit tag (outer tag)
constexpr uint32_t ASN_FLAG_EXPL_INDEF = 128; // the explicit wrapper is indefinite

// Deepest nesting accepted on decoding (indefinite ANYs, constructed strings,
// structures decoding their members); deeper input is malformed. Real certificates
// and card files nest a dozen levels at most.
constexpr int ASN_MAX_DEPTH = 64;

// Largest contents one resumably decoded object may declare (or, in the indefinite
// form, gather); a longer one is malformed as soon as its header is read. Buffers
// grow only with the input, so this bounds what a hostile stream can make us hold.
constexpr long ASN_MAX_STREAMED_LENGTH = 16L * 1024 * 1024;

// Identifier octet helpers.
constexpr uint8_t ASN_CLASS_MASK = 0xC0;
constexpr uint8_t ASN_CONSTRUCTED = 0x20;
constexpr uint8_t ASN_TAGNUM_MASK = 0x1F;

// Counts the nesting of decodes on this thread. Every recursive decode holds one;
// when the nesting passes ASN_MAX_DEPTH, ok() is false and the decode gives 0.
class ASNDepthGuard {
public:
    ASNDepthGuard();
    ~ASNDepthGuard();
    ASNDepthGuard(const ASNDepthGuard&) = delete;
    ASNDepthGuard& operator=(const ASNDepthGuard&) = delete;
    bool ok() const { return m_ok; }
    static int current();

private:
    bool m_ok;
    bool m_counted;
};

class ASNobject {
public:
    explicit ASNobject(uint32_t tag);
    virtual ~ASNobject();

    // Decodes one whole TLV (with its explicit wrapper when explicitly tagged).
    // maxLen bounds the octets that may be consumed (0 or less: no bound beyond the
    // stream's size); flags may carry ASN_FLAG_CONST and ASN_FLAG_COPY.
    // Returns the octets consumed from src, 0, -1 or -2.
    virtual long read(GenericFile* src, long maxLen, uint8_t flags = 0);
    // Encodes the whole TLV; returns the octets written or -1.
    virtual long write(GenericFile* dst) const;
    // Hash of the encoding (hash ids 1..8); 1 on success.
    virtual int digest(unsigned hashId, uint8_t* buf, long bufLen) const;
    // Full encoded length.
    virtual long lenOfObject() const;
    // Decodes this object from the value of an ANY; 1, 0, -1, -2.
    virtual int assign(const ASNany& anyObj);
    // Resets the value.
    virtual void clear();
    virtual void resetStreamCtx();
    virtual long lenOfBodyStreamed(long len) const;
    virtual long lenOfInnerObject(long len) const;
    // Decodes len contents octets; 1 on success.
    virtual int read_contents(GenericFile* src, long len) = 0;
    // Writes the contents octets; 1 on success.
    virtual int write_contents(GenericFile* dst) const = 0;
    virtual long lenOfBody() const = 0;
    // Contents of indefinite length up to and including the end-of-contents octets.
    // Returns the number of octets consumed from src (end-of-contents included), so
    // the caller counts what it received, not a re-encoding; 0 when the type has no
    // indefinite form.
    virtual long read_indefinite_contents(GenericFile* src, long maxLen);
    virtual uint8_t defaultTag() const = 0;
    virtual void digest_contents(QvHash* hash) const;
    virtual void digestEndOfContents(QvHash* hash) const;
    virtual int createStreamCtx();
    virtual void deleteStreamCtx();
    virtual int read_contents_streamed(GenericFile* src, long len, GenericFile* out);
    virtual int write_contents_streamed(GenericFile* src, long len, bool final, GenericFile* dst);

    // Explicit tagging and tags (virtual so that CHOICE keeps its wrapper in its tag).
    virtual void setExplicitTag();
    virtual void resetExplicitTag();
    virtual void setTag(uint8_t newTag);
    virtual uint8_t getTag() const;
    bool isExplicit() const { return (flags & ASN_FLAG_EXPLICIT) != 0; }
    bool isIndefinite() const { return (flags & ASN_FLAG_INDEF) != 0; }
    bool isConstant() const { return (flags & ASN_FLAG_CONST) != 0; }

    // Thin wrappers over read and write on a memory stream.
    long readBuffer(const void* data, long len, uint8_t flags = 0);
    long readVector(const std::vector<uint8_t>& bytes, uint8_t flags = 0);
    long encodeToVector(std::vector<uint8_t>& bytes) const;
    long encodeToOctetString(ASNoctstr& out) const;
    long decodeFromOctetString(const ASNoctstr& in, uint8_t flags = 0);
    // Re-decodes this object from the encoding of src; 1 or the failing value.
    int convertFrom(const ASNobject& src, uint8_t flags = 0);
    // assign mapped for structure decoders: 1 assigned, 0 out of memory, -1 not this type.
    int tryAssign(const ASNany& anyObj);

    // Header helpers.
    static int lenOfLen(long len);
    static int encodeLength(long len, uint8_t* out);
    static long writeLength(GenericFile* dst, long len);
    long writeHeader(GenericFile* dst, long contentsLen) const;
    int readLength(GenericFile* src, long* len);
    long readHeader(GenericFile* src, long* len);
    static int isEndOfContents(GenericFile* src);
    static int readEndOfContents(GenericFile* src, long remaining);
    static int writeEndOfContents(GenericFile* dst);
    static void hashUpdate(const uint8_t* data, long len, QvHash* hash);
    void digestHeader(QvHash* hash) const;
    // Feeds exactly the octets write produces (in constant mode the octets received).
    virtual void digestObject(QvHash* hash) const;

    // Resumable decoding of one TLV (no explicit wrapper): the TLV length when it is
    // complete, -3 (EASN_MORE) when the source ran dry (call again with more input;
    // the progress is kept in the stream context), 0, -1 or -2. out receives the
    // contents of types that pass them through. Virtual so that types which choose
    // among several identifiers (times) stream as they read.
    virtual long readStreamed(GenericFile* src, GenericFile* out = nullptr);
    long readStreamedBuffer(const void* data, long len, GenericFile* out = nullptr);
    // Streamed encoding: the contents come from src; len is the contents length or
    // -1 for the indefinite form. The TLV length when complete, -3 while a streaming
    // type waits for its final piece, 0, -1.
    long writeStreamed(GenericFile* src, long len, bool final, GenericFile* dst);

    // Octets of the header (wrapper included) and of the whole TLV as they were
    // received by the last decode; 0 before any decode.
    long receivedHeaderLength() const { return m_rxHeader; }
    long receivedLength() const { return m_rxLength; }

    uint8_t tag;
    uint32_t flags;
    uint8_t explTag;          // identifier of the explicit wrapper
    GenericFile* source;      // constant mode: the stream holding the value
    int64_t srcOffset;        // constant mode: offset of the first identifier octet
    ASNStreamCtx* streamCtx;

protected:
    ASNobject(const ASNobject& other);
    ASNobject& operator=(const ASNobject&) = delete;

    // The bound for a decode of at most maxLen octets (0 or less: none) from src:
    // never more than the stream holds from its position.
    static long boundLength(GenericFile* src, long maxLen);
    // Drops an owned source copy and forgets the source.
    void dropSource();
    // Constant mode: address of the contents octets in the source memory (NULL
    // when there is no addressable source or the contents are empty).
    const uint8_t* constContents(long contentsLen) const;
    // Header parsing shared by read and assign; see readHeader.
    long readHeaderEx(GenericFile* src, long* len, long* wrapperLen, long* wrapperHdr);
    // Checks an identifier octet against this object (tag, class and form rules) and
    // takes it into the tag; 1, or 0 when it does not fit.
    int acceptIdentifier(uint8_t t);
    // Resumable header steps: 1 when the header is complete, -3 for more input, 0.
    int readStreamedHeader(GenericFile* src);
    // Guards setters of constant objects.
    void assertNotConst(const char* source, int line, const char* expr) const;

    long m_rxHeader;  // header octets received (wrapper included)
    long m_rxLength;  // whole TLV octets received
};

// State of resumable decoding and streamed encoding.
class ASNStreamCtx {
public:
    ASNStreamCtx();
    virtual ~ASNStreamCtx();
    virtual void reset();

    int headerState;
    int lenOctets;
    long lenValue;
    bool headerDone;
    bool contentsDone;
    bool headerWritten;
    long headerLen;
    long contentsLen;
    int eocCount;
    bool eocDone;
    long written;
    MemFile* buffer;
    bool complete;  // the TLV has been delivered; further calls give 0
    // Gathering indefinite contents: open indefinite levels (0 before the first
    // octet), header step of the element being scanned (0 identifier, 1 first length
    // octet, 2 + k after k long-form octets), its identifier, long-form octet count
    // and length, and the octets of a definite element still to be copied.
    int scanDepth;
    int scanState;
    uint8_t scanId;
    int scanLenOctets;
    long scanLen;
    long scanSkip;
};

// Reads exactly n octets; 1, 0 on a short read, -1 on a stream error.
int asnReadExact(GenericFile* src, void* buf, size_t n);
// Reads exactly len octets into a new[] buffer (*out, NULL for len 0); 1, 0 on a
// short read, -1 on a stream error, -2 when memory runs out. When the stream cannot
// tell its size, the buffer grows with what arrives, so a hostile length costs no
// more memory than the input.
int asnReadNew(GenericFile* src, long len, uint8_t** out);
// Writes n octets; 1 or -1.
int asnWriteAll(GenericFile* dst, const void* data, size_t n);
