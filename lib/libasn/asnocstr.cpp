// OCTET STRING: primitive values and constructed strings made of segments.
#include "lib/libasn/asnocstr.h"

#include <cstring>
#include <new>

#include "support/memfile.h"
#include "support/textutil.h"

namespace {
// Flags that describe a decoded form or a source rather than the type.
constexpr uint32_t kValueStateFlags =
    ASN_FLAG_CONST | ASN_FLAG_COPY | ASN_FLAG_INDEF | ASN_FLAG_OWNSRC;
}  // namespace

ASNoctstr::ASNoctstr(uint32_t t)
    : ASNoctstr(((t & ASN_CLASS_MASK) != 0) ? t : (t & 0xFF) == 0 ? 0x04 : t,
                ((t & ASN_CLASS_MASK) != 0 || (t & 0xFF) == 0)
                    ? 0x04
                    : static_cast<uint8_t>(t & ~ASN_CONSTRUCTED)) {}

ASNoctstr::ASNoctstr(uint32_t t, uint8_t universalTag)
    : ASNobject(t), m_valueLen(0), m_value(nullptr), m_universalTag(universalTag) {
    flags |= ASN_FLAG_CONSTR;
}

ASNoctstr::ASNoctstr(const ASNoctstr& other)
    : ASNobject(other), m_valueLen(0), m_value(nullptr), m_universalTag(other.m_universalTag) {
    flags &= ~kValueStateFlags;
    flags |= other.flags & ASN_FLAG_INDEF;
    *this = other;
}

ASNoctstr::~ASNoctstr() {
    freeValue();
    freeSegments();
}

void ASNoctstr::freeValue() {
    if (m_value != nullptr) {
        SecureZero(m_value, static_cast<size_t>(m_valueLen));
        delete[] m_value;
    }
    m_value = nullptr;
    m_valueLen = 0;
}

void ASNoctstr::freeSegments() {
    for (ASNoctstr* s : m_segments) delete s;
    m_segments.clear();
}

void ASNoctstr::clear() {
    freeValue();
    freeSegments();
}

long ASNoctstr::readSegment(GenericFile* src, long budget) {
    ASNoctstr* seg = new (std::nothrow) ASNoctstr(0);
    if (seg == nullptr) return EASN_MEM;
    try {
        m_segments.push_back(seg);
    } catch (const std::bad_alloc&) {
        delete seg;
        return EASN_MEM;
    }
    long r = seg->read(src, budget, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
    if (r < 1) {
        m_segments.pop_back();
        delete seg;
    }
    return r;
}

int ASNoctstr::concatenateSegments() {
    long total = 0;
    for (const ASNoctstr* s : m_segments) total += s->getLength();
    freeValue();
    if (total == 0) return 1;
    uint8_t* p = new (std::nothrow) uint8_t[static_cast<size_t>(total)];
    if (p == nullptr) return EASN_MEM;
    long at = 0;
    for (const ASNoctstr* s : m_segments) {
        long n = s->getLength();
        if (n == 0) continue;
        const uint8_t* d = s->getData();
        if (d == nullptr) {
            SecureZero(p, static_cast<size_t>(total));
            delete[] p;
            return EASN_FILE;
        }
        std::memcpy(p + at, d, static_cast<size_t>(n));
        at += n;
    }
    m_value = p;
    m_valueLen = total;
    return 1;
}

int ASNoctstr::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 0) return 0;
    if (len == 0) return 1;
    if (!isConstructed()) {
        if ((flags & ASN_FLAG_CONST) != 0) {
            int64_t pos = src->Tell();
            int64_t size = src->Size();
            if (pos < 0 || (size >= 0 && pos + len > size)) return 0;
            if (src->Seek(static_cast<long>(pos + len)) != 0) return EASN_FILE;
            m_valueLen = len;
            return 1;
        }
        uint8_t* p = nullptr;
        int r = asnReadNew(src, len, &p);
        if (r < 1) return r;
        m_value = p;
        m_valueLen = len;
        return 1;
    }
    long consumed = 0;
    while (consumed < len) {
        long r = readSegment(src, len - consumed);
        if (r < 1) return static_cast<int>(r);
        consumed += r;
    }
    if (consumed != len) return 0;
    return concatenateSegments();
}

long ASNoctstr::read_indefinite_contents(GenericFile* src, long budget) {
    clear();
    long consumed = 0;
    for (;;) {
        int e = isEndOfContents(src);
        if (e < 0) return 0;
        if (e == 1) break;
        long room = 0;
        if (budget > 0) {
            room = budget - consumed - 2;
            if (room < 2) return 0;
        }
        long r = readSegment(src, room);
        if (r < 1) return r;
        consumed += r;
    }
    int r = readEndOfContents(src, budget > 0 ? budget - consumed : 2);
    if (r != 2) return r < 0 ? r : 0;
    int c = concatenateSegments();
    if (c < 1) return c;
    return consumed + 2;
}

int ASNoctstr::write_contents(GenericFile* dst) const {
    if (isConstructed()) {
        for (const ASNoctstr* s : m_segments) {
            long r = s->write(dst);
            if (r < 1) return static_cast<int>(r);
        }
        return 1;
    }
    long n = static_cast<long>(m_valueLen);
    if (n == 0) return 1;
    const uint8_t* d = getData();
    if (d == nullptr) return EASN_FILE;
    return asnWriteAll(dst, d, static_cast<size_t>(n));
}

long ASNoctstr::lenOfBody() const {
    if (!isConstructed()) return static_cast<long>(m_valueLen);
    long sum = 0;
    for (const ASNoctstr* s : m_segments) sum += s->lenOfObject();
    return sum;
}

void ASNoctstr::digest_contents(QvHash* hash) const {
    if (isConstructed()) {
        for (const ASNoctstr* s : m_segments) s->digestObject(hash);
        return;
    }
    hashUpdate(getData(), static_cast<long>(m_valueLen), hash);
}

const uint8_t* ASNoctstr::getData() const {
    if ((flags & ASN_FLAG_CONST) != 0 && !isConstructed())
        return constContents(static_cast<long>(m_valueLen));
    return m_value;
}

uint8_t* ASNoctstr::allocate(long size) {
    clear();
    dropSource();
    if (tag != TAG_ANY) tag &= static_cast<uint8_t>(~ASN_CONSTRUCTED);
    // The type's tagging (class tags, explicit wrapper) stays; only the state of the
    // previous value goes.
    flags &= ~kValueStateFlags;
    if (size <= 0) return nullptr;
    m_value = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    if (m_value == nullptr) return nullptr;
    std::memset(m_value, 0, static_cast<size_t>(size));
    m_valueLen = size;
    return m_value;
}

int ASNoctstr::set(const void* data, long len) {
    assertNotConst("asnocstr", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (len < 0 || (len > 0 && data == nullptr)) return 0;
    if (data != nullptr && data == m_value && len <= m_valueLen) {
        // Setting from our own value: copy first.
        ASNoctstr tmp;
        if (tmp.set(data, len) != 1) return 0;
        return set(tmp.getData(), len);
    }
    if (len == 0) {
        allocate(0);
        return 1;
    }
    uint8_t* p = allocate(len);
    if (p == nullptr) return 0;
    std::memcpy(p, data, static_cast<size_t>(len));
    return 1;
}

ASNoctstr& ASNoctstr::operator=(const ASNoctstr& other) {
    if (this == &other) return *this;
    assertNotConst("asnocstr", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (!other.isConstructed()) {
        if (set(other.getData(), other.getLength()) != 1) throw std::bad_alloc();
        return *this;
    }
    clear();
    dropSource();
    flags &= ~kValueStateFlags;
    flags |= other.flags & ASN_FLAG_INDEF;
    if (tag != TAG_ANY) tag |= ASN_CONSTRUCTED;
    for (const ASNoctstr* s : other.m_segments) {
        ASNoctstr* c = new ASNoctstr(*s);
        try {
            m_segments.push_back(c);
        } catch (...) {
            delete c;
            throw;
        }
    }
    // The copy also carries the concatenated value, so getData stays usable.
    if (concatenateSegments() != 1) throw std::bad_alloc();
    return *this;
}

bool ASNoctstr::operator==(const ASNoctstr& other) const {
    bool ca = isConstructed() && (flags & ASN_FLAG_CONST) == 0;
    bool cb = other.isConstructed() && (other.flags & ASN_FLAG_CONST) == 0;
    if (ca != cb) return false;
    if (ca) {
        if (m_segments.size() != other.m_segments.size()) return false;
        for (size_t i = 0; i < m_segments.size(); i++)
            if (!(*m_segments[i] == *other.m_segments[i])) return false;
        return true;
    }
    if (m_valueLen != other.m_valueLen) return false;
    if (m_valueLen == 0) return true;
    const uint8_t* a = getData();
    const uint8_t* b = other.getData();
    if (a == nullptr || b == nullptr) return false;
    return std::memcmp(a, b, static_cast<size_t>(m_valueLen)) == 0;
}

int ASNoctstr::compare(const ASNoctstr& a, const ASNoctstr& b) {
    if (a.getLength() != b.getLength()) return a.getLength() > b.getLength() ? 1 : -1;
    long n = a.getLength();
    if (n == 0) return 0;
    const uint8_t* pa = a.getData();
    const uint8_t* pb = b.getData();
    if (pa == nullptr || pb == nullptr) return (pa == pb) ? 0 : (pa == nullptr ? -1 : 1);
    int c = std::memcmp(pa, pb, static_cast<size_t>(n));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Resumable decoding and streamed encoding

namespace {
constexpr long kStreamChunk = 10000;

ASNOctStrStreamCtx* octCtx(ASNStreamCtx* c) { return static_cast<ASNOctStrStreamCtx*>(c); }

// Peeks one octet: 1, -3 when the source has none now, -1 on an error.
int peekOctet(GenericFile* src, uint8_t* b) {
    int64_t pos = src->Tell();
    size_t got = 0;
    if (pos < 0 || src->Read(1, b, &got) != 0) return EASN_FILE;
    if (got == 0) return EASN_MORE;
    if (src->Seek(static_cast<long>(pos)) != 0) return EASN_FILE;
    return 1;
}
}  // namespace

ASNOctStrStreamCtx::ASNOctStrStreamCtx()
    : passThrough(false), delivered(0), consumed(0), segment(nullptr), segmentDone(true),
      zeroCount(0), started(false) {}

ASNOctStrStreamCtx::~ASNOctStrStreamCtx() { delete segment; }

void ASNOctStrStreamCtx::reset() {
    ASNStreamCtx::reset();
    delete segment;
    segment = nullptr;
    delivered = consumed = 0;
    segmentDone = true;
    zeroCount = 0;
    started = false;
}

int ASNoctstr::createStreamCtx() {
    if (streamCtx != nullptr) return 1;
    streamCtx = new (std::nothrow) ASNOctStrStreamCtx();
    return streamCtx != nullptr ? 1 : EASN_MEM;
}

void ASNoctstr::setStreamOutput(bool on) {
    if (createStreamCtx() < 1) return;
    octCtx(streamCtx)->passThrough = on;
}

bool ASNoctstr::getStreamOutput() const {
    return streamCtx != nullptr && octCtx(streamCtx)->passThrough;
}

long ASNoctstr::getStreamDelivered() const {
    return streamCtx != nullptr ? octCtx(streamCtx)->delivered : 0;
}

long ASNoctstr::lenOfBodyStreamed(long len) const {
    return getStreamOutput() ? len : lenOfBody();
}

// Kept out of read_contents_streamed so that the chunk buffer is not part of every
// frame of a nested constructed string.
__attribute__((noinline)) int ASNoctstr::readPrimitiveStreamed(GenericFile* src, long len,
                                                               GenericFile* out) {
    ASNOctStrStreamCtx* c = octCtx(streamCtx);
    if (len < 0) return 0;
    if (c->passThrough && out == nullptr) return EASN_FILE;
    if (!c->passThrough && c->buffer == nullptr) {
        c->buffer = new (std::nothrow) MemFile();
        if (c->buffer == nullptr) return EASN_MEM;
    }
    // The octets gather as they arrive: a long length costs nothing until the
    // input holds it.
    uint8_t chunk[kStreamChunk];
    while (c->delivered < len) {
        long want = len - c->delivered < kStreamChunk ? len - c->delivered : kStreamChunk;
        size_t got = 0;
        if (src->Read(static_cast<size_t>(want), chunk, &got) != 0) return EASN_FILE;
        if (got == 0) return EASN_MORE;
        GenericFile* dst = c->passThrough ? out : c->buffer;
        if (dst->Write(got, chunk) != 0) return c->passThrough ? EASN_FILE : EASN_MEM;
        c->delivered += static_cast<long>(got);
    }
    SecureZero(chunk, sizeof chunk);
    if (!c->passThrough) {
        // The gathered octets go through the type's own contents step, so that a
        // type with rules of its own (INTEGER) refuses here what a one-shot read
        // refuses.
        c->buffer->Seek(0);
        int r = read_contents(c->buffer, len);
        if (r == 1 && c->buffer->Tell() != len) r = 0;
        SecureZero(c->buffer->GetData(), static_cast<size_t>(c->buffer->Size()));
        c->buffer->SetLength(0);
        c->buffer->Seek(0);
        if (r < 1) return r;
    }
    streamCtx->contentsLen = len;
    return 1;
}

int ASNoctstr::read_contents_streamed(GenericFile* src, long len, GenericFile* out) {
    AssertInvariant(streamCtx != nullptr, "asnocstr", __LINE__, "streamCtx != NULL", nullptr);
    ASNOctStrStreamCtx* c = octCtx(streamCtx);
    if (!c->started) {
        clear();
        c->started = true;
        if (c->buffer != nullptr) {
            c->buffer->SetLength(0);
            c->buffer->Seek(0);
        }
    }
    // Empty contents: the type's own contents step decides (an empty INTEGER is
    // malformed, an empty OCTET STRING is not).
    if (len == 0) return read_contents(src, 0);
    if (!isConstructed()) return readPrimitiveStreamed(src, len, out);
    for (;;) {
        if (len >= 0) {
            if (c->consumed == len) break;
            if (c->consumed > len) return 0;
        }
        if (c->segmentDone) {
            if (len < 0) {
                // Two zero octets in a row end the string.
                uint8_t b;
                int r = peekOctet(src, &b);
                if (r != 1) return r;
                if (b == 0) {
                    src->Read(1, &b, nullptr);
                    if (++c->zeroCount == 2) {
                        streamCtx->eocCount = 2;
                        break;
                    }
                    continue;
                }
                if (c->zeroCount != 0) return 0;
            }
            c->segment = new (std::nothrow) ASNoctstr(0);
            if (c->segment == nullptr) return EASN_MEM;
            if (c->segment->createStreamCtx() < 1) {
                delete c->segment;
                c->segment = nullptr;
                return EASN_MEM;
            }
            octCtx(c->segment->streamCtx)->passThrough = c->passThrough;
            c->segmentDone = false;
        }
        long r = c->segment->readStreamed(src, out);
        ASNStreamCtx* sc = c->segment->streamCtx;
        if (len >= 0 && sc->headerDone && sc->lenValue >= 0 &&
            sc->headerLen + sc->lenValue > len - c->consumed)
            return 0;  // the segment overruns the string
        if (r == EASN_MORE) return EASN_MORE;
        if (r < 1) return static_cast<int>(r);
        c->consumed += r;
        // Indefinite contents have no declared length; their sum is bounded instead.
        if (c->consumed > ASN_MAX_STREAMED_LENGTH) return 0;
        c->delivered += c->passThrough ? c->segment->getStreamDelivered() : c->segment->getLength();
        // Every segment is kept, empty ones too, so that the string is written back
        // in the form it was received, as after a one-shot read.
        if (!c->passThrough) {
            c->segment->deleteStreamCtx();
            try {
                m_segments.push_back(c->segment);
            } catch (const std::bad_alloc&) {
                return EASN_MEM;
            }
        } else {
            delete c->segment;
        }
        c->segment = nullptr;
        c->segmentDone = true;
    }
    streamCtx->contentsLen = c->consumed;
    if (!c->passThrough) return concatenateSegments();
    return 1;
}

int ASNoctstr::write_contents_streamed(GenericFile* src, long len, bool final, GenericFile* dst) {
    if (!getStreamOutput()) return write_contents(dst);
    AssertInvariant(streamCtx != nullptr, "asnocstr", __LINE__, "streamCtx != NULL", nullptr);
    ASNStreamCtx* c = streamCtx;
    uint8_t chunk[kStreamChunk];
    if (len >= 0) {
        while (src != nullptr && c->written < len) {
            long want = len - c->written < kStreamChunk ? len - c->written : kStreamChunk;
            size_t got = 0;
            if (src->Read(static_cast<size_t>(want), chunk, &got) != 0) return EASN_FILE;
            if (got == 0) break;
            if (dst->Write(got, chunk) != 0) return EASN_FILE;
            c->written += static_cast<long>(got);
        }
        // More than announced waiting in the source is an error.
        if (src != nullptr && c->written == len) {
            int64_t pos = src->Tell(), size = src->Size();
            if (pos >= 0 && size > pos) return 0;
        }
        if (final) return c->written == len ? 1 : 0;
        return c->written < len ? EASN_MORE : (c->written == len ? 1 : 0);
    }
    // Indefinite: each piece becomes one primitive segment.
    if (tag == TAG_ANY || (tag & ASN_CONSTRUCTED) == 0) return 0;
    if (src != nullptr) {
        int64_t pos = src->Tell(), size = src->Size();
        long piece = (pos >= 0 && size > pos) ? static_cast<long>(size - pos) : 0;
        if (piece > 0) {
            long h = 0;
            uint8_t hdr[8];
            hdr[0] = 0x04;
            h = 1 + encodeLength(piece, hdr + 1);
            if (asnWriteAll(dst, hdr, static_cast<size_t>(h)) != 1) return EASN_FILE;
            size_t copied = 0;
            if (src->CopyTo(dst, static_cast<size_t>(piece), &copied) != 0 ||
                copied != static_cast<size_t>(piece))
                return EASN_FILE;
            c->written += h + piece;
        }
    }
    return final ? 1 : EASN_MORE;
}
