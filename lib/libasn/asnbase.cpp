// ASN.1 object core: identifier and length octets, explicit tagging, the whole-TLV
// read and write, assignment from an ANY and the memory-stream wrappers.
#include "lib/libasn/asnbase.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnocstr.h"
#include "support/memfile.h"
#include "support/threadslot.h"
#include "support/textutil.h"
#include "support/lasting.h"

namespace {

// The decoding depth of each thread.
const ThreadSlot& Depth() {
    static Lasting<ThreadSlot> slot;
    return *slot;
}

intptr_t DepthNow() { return reinterpret_cast<intptr_t>(Depth().Get()); }

// Without a slot every decode counts as too deep: refused, never unbounded.
bool SetDepth(intptr_t depth) { return Depth().Set(reinterpret_cast<void*>(depth)); }

// The bound used when the caller gives none and the stream cannot tell its size.
constexpr long kNoBound = LONG_MAX / 4;

}  // namespace

ASNDepthGuard::ASNDepthGuard() {
    const intptr_t depth = DepthNow() + 1;
    m_counted = SetDepth(depth);
    m_ok = m_counted && depth <= ASN_MAX_DEPTH;
}
ASNDepthGuard::~ASNDepthGuard() {
    if (m_counted) SetDepth(DepthNow() - 1);
}
int ASNDepthGuard::current() { return static_cast<int>(DepthNow()); }

int asnReadExact(GenericFile* src, void* buf, size_t n) {
    if (n == 0) return 1;
    size_t got = 0;
    if (src->Read(n, buf, &got) != 0) return EASN_FILE;
    return got == n ? 1 : 0;
}

int asnReadNew(GenericFile* src, long len, uint8_t** out) {
    *out = nullptr;
    if (len < 0) return 0;
    if (len == 0) return 1;
    int64_t pos = src->Tell();
    int64_t size = src->Size();
    if (pos >= 0 && size >= 0) {
        if (size - pos < len) return 0;
        uint8_t* p = new (std::nothrow) uint8_t[static_cast<size_t>(len)];
        if (p == nullptr) return EASN_MEM;
        int r = asnReadExact(src, p, static_cast<size_t>(len));
        if (r < 1) {
            SecureZero(p, static_cast<size_t>(len));
            delete[] p;
            return r;
        }
        *out = p;
        return 1;
    }
    const long chunk = 65536;
    uint8_t* p = nullptr;
    long have = 0;
    while (have < len) {
        long step = len - have < chunk ? len - have : chunk;
        uint8_t* q = new (std::nothrow) uint8_t[static_cast<size_t>(have + step)];
        if (q == nullptr) {
            if (p != nullptr) SecureZero(p, static_cast<size_t>(have));
            delete[] p;
            return EASN_MEM;
        }
        if (have > 0) {
            std::memcpy(q, p, static_cast<size_t>(have));
            SecureZero(p, static_cast<size_t>(have));
        }
        delete[] p;
        p = q;
        int r = asnReadExact(src, p + have, static_cast<size_t>(step));
        if (r < 1) {
            SecureZero(p, static_cast<size_t>(have + step));
            delete[] p;
            return r;
        }
        have += step;
    }
    *out = p;
    return 1;
}

int asnWriteAll(GenericFile* dst, const void* data, size_t n) {
    if (n == 0) return 1;
    return dst->Write(n, data) == 0 ? 1 : EASN_FILE;
}

// ---------------------------------------------------------------------------

ASNobject::ASNobject(uint32_t t)
    : tag(static_cast<uint8_t>(t)), flags(0), explTag(0), source(nullptr), srcOffset(0),
      streamCtx(nullptr), m_rxHeader(0), m_rxLength(0) {
    if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY) flags |= ASN_FLAG_CLASSTAG;
    if (tag != TAG_ANY && (tag & ASN_CONSTRUCTED) != 0) flags |= ASN_FLAG_CONSTR;
}

ASNobject::ASNobject(const ASNobject& other)
    : tag(other.tag),
      flags(other.flags & ~(ASN_FLAG_CONST | ASN_FLAG_COPY | ASN_FLAG_OWNSRC)),
      explTag(other.explTag), source(nullptr), srcOffset(0), streamCtx(nullptr),
      m_rxHeader(0), m_rxLength(0) {}

ASNobject::~ASNobject() {
    dropSource();
    deleteStreamCtx();
}

void ASNobject::dropSource() {
    if ((flags & ASN_FLAG_OWNSRC) != 0) delete source;
    flags &= ~ASN_FLAG_OWNSRC;
    source = nullptr;
    srcOffset = 0;
}

void ASNobject::assertNotConst(const char* src, int line, const char* expr) const {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, src, static_cast<unsigned>(line), expr, nullptr);
}

void ASNobject::clear() {}

// ---------------------------------------------------------------------------
// Length octets

int ASNobject::lenOfLen(long len) {
    if (len < 0) return 1;  // indefinite form: the single octet 0x80
    if (len < 128) return 1;
    if (len < 256) return 2;
    if (len < 65536) return 3;
    if (len < 16777216) return 4;
    return 5;
}

int ASNobject::encodeLength(long len, uint8_t* out) {
    if (len < 0) {
        out[0] = 0x80;
        return 1;
    }
    if (len < 128) {
        out[0] = static_cast<uint8_t>(len);
        return 1;
    }
    int n = lenOfLen(len) - 1;
    out[0] = static_cast<uint8_t>(0x80 + n);
    for (int i = 0; i < n; i++) out[1 + i] = static_cast<uint8_t>(len >> (8 * (n - 1 - i)));
    return n + 1;
}

long ASNobject::writeLength(GenericFile* dst, long len) {
    uint8_t buf[8];
    int n = encodeLength(len, buf);
    return asnWriteAll(dst, buf, static_cast<size_t>(n)) == 1 ? n : EASN_FILE;
}

int ASNobject::readLength(GenericFile* src, long* len) {
    long avail = *len;
    if (avail < 1) return 0;
    uint8_t b;
    int r = asnReadExact(src, &b, 1);
    if (r < 1) return r;
    flags &= ~ASN_FLAG_INDEF;
    if (b < 0x80) {
        *len = b;
        return 1;
    }
    int n = b & 0x7F;
    if (n > avail - 1) return 0;
    if (n > 4) return 0;
    if (n == 0) {
        *len = -1;
        flags |= ASN_FLAG_INDEF;
        return 1;
    }
    uint8_t buf[4];
    r = asnReadExact(src, buf, static_cast<size_t>(n));
    if (r < 1) return r;
    long v = 0;
    for (int i = 0; i < n; i++) v = (v << 8) | buf[i];
    *len = v;
    return n + 1;
}

// ---------------------------------------------------------------------------
// Identifier octets

int ASNobject::acceptIdentifier(uint8_t t) {
    if ((t & ASN_TAGNUM_MASK) == ASN_TAGNUM_MASK) return 0;
    // Universal tag 0 is reserved for the end-of-contents octets; indefinite contents
    // look for those before they read an element, so it never starts one.
    if ((t & (ASN_CLASS_MASK | ASN_TAGNUM_MASK)) == 0) return 0;
    bool classBits = (t & ASN_CLASS_MASK) != 0;
    bool constructed = (t & ASN_CONSTRUCTED) != 0;
    if (classBits && (flags & ASN_FLAG_CLASSTAG) == 0) return 0;
    if (constructed && (flags & ASN_FLAG_CONSTR) == 0 && tag != TAG_ANY) return 0;
    if (classBits || tag == TAG_ANY || (constructed && (flags & ASN_FLAG_CONSTR) == 0)) {
        // A type that is always constructed (SEQUENCE, SET) keeps that form under a
        // class tag as well.
        if (classBits && !constructed && tag != TAG_ANY) {
            uint8_t dt = defaultTag();
            if (dt != TAG_ANY && (dt & ASN_CONSTRUCTED) != 0) return 0;
        }
        tag = t;
    } else {
        // Universal identifier: an implicitly (class-)tagged object takes only its
        // class tag; a universal one compares tag numbers. Whether the constructed
        // form is required follows the type, not the form of the last decode.
        if ((tag & ASN_CLASS_MASK) != 0) return 0;
        if ((t & ASN_TAGNUM_MASK) != (tag & ASN_TAGNUM_MASK)) return 0;
        uint8_t dt = defaultTag();
        if (dt != TAG_ANY && (dt & ASN_CONSTRUCTED) != 0 && !constructed) return 0;
        tag = static_cast<uint8_t>((tag & ~ASN_CONSTRUCTED) | (t & ASN_CONSTRUCTED));
    }
    return 1;
}

long ASNobject::readHeader(GenericFile* src, long* len) {
    long wl, wh;
    return readHeaderEx(src, len, &wl, &wh);
}

long ASNobject::readHeaderEx(GenericFile* src, long* len, long* wrapperLen, long* wrapperHdr) {
    long avail = *len;
    *wrapperLen = -1;
    *wrapperHdr = 0;
    if (avail < 2) return 0;
    uint8_t t;
    int r = asnReadExact(src, &t, 1);
    if (r < 1) return r;
    long hdr = 1;
    long innerAvail = avail - 1;
    if ((flags & ASN_FLAG_EXPLICIT) != 0) {
        flags &= ~ASN_FLAG_EXPL_INDEF;
        if ((t & ASN_TAGNUM_MASK) == ASN_TAGNUM_MASK) return 0;
        if ((t & ASN_CLASS_MASK) == 0) return 0;
        if ((t & ASN_CONSTRUCTED) == 0) return 0;
        if (explTag != TAG_ANY && (t | ASN_CONSTRUCTED) != (explTag | ASN_CONSTRUCTED)) return 0;
        explTag = t;
        long wlen = avail - 1;
        r = readLength(src, &wlen);
        if (r < 1) return r;
        if ((flags & ASN_FLAG_INDEF) != 0) {
            flags &= ~ASN_FLAG_INDEF;
            flags |= ASN_FLAG_EXPL_INDEF;
        }
        if (avail < 1 + r + 1) return 0;
        hdr = 1 + r;
        *wrapperHdr = hdr;
        *wrapperLen = wlen;
        r = asnReadExact(src, &t, 1);
        if (r < 1) return r;
        hdr += 1;
        // The wrapper's length bounds the inner TLV; an indefinite wrapper leaves
        // room for its end-of-contents octets, which read checks after the inner TLV.
        if (wlen >= 0) {
            innerAvail = wlen - 1;
            if (wlen > avail - hdr + 1) return 0;
        } else {
            innerAvail = avail - hdr - 2;
        }
    }
    if (acceptIdentifier(t) != 1) return 0;
    bool constructed = (t & ASN_CONSTRUCTED) != 0;
    long ilen = innerAvail;
    r = readLength(src, &ilen);
    if (r < 1) return r;
    if (ilen < 0 && !constructed) return 0;
    hdr += r;
    *len = ilen;
    // A definite wrapper holds exactly the inner TLV.
    if (*wrapperLen >= 0 && ilen >= 0 && *wrapperLen != 1 + r + ilen) return 0;
    return hdr;
}

// ---------------------------------------------------------------------------
// Whole-TLV read and write

long ASNobject::boundLength(GenericFile* src, long maxLen) {
    int64_t pos = src->Tell();
    int64_t size = src->Size();
    if (pos >= 0 && size >= 0) {
        long rem = static_cast<long>(size - pos);
        if (rem < 0) rem = 0;
        if (maxLen <= 0 || maxLen > rem) maxLen = rem;
    } else if (maxLen <= 0) {
        maxLen = kNoBound;
    }
    return maxLen;
}

long ASNobject::read(GenericFile* src, long maxLen, uint8_t rflags) {
    ASNDepthGuard guard;
    if (!guard.ok()) return 0;
    if (src == nullptr) return EASN_FILE;
    dropSource();
    deleteStreamCtx();
    m_rxHeader = m_rxLength = 0;
    flags &= ~(ASN_FLAG_CONST | ASN_FLAG_COPY);
    flags |= rflags & (ASN_FLAG_CONST | ASN_FLAG_COPY);

    // Every length is bounded by what the stream actually holds.
    int64_t start = src->Tell();
    maxLen = boundLength(src, maxLen);
    if (maxLen < 2) return 0;

    GenericFile* in = src;
    if ((flags & ASN_FLAG_CONST) != 0) {
        if ((flags & ASN_FLAG_COPY) != 0) {
            MemFile* copy = new (std::nothrow) MemFile();
            if (copy == nullptr) return EASN_MEM;
            size_t copied = 0;
            int16_t cr = src->CopyTo(copy, static_cast<size_t>(maxLen), &copied);
            if (cr == -1) {
                delete copy;
                return EASN_FILE;
            }
            if (cr != 0) {
                delete copy;
                return EASN_MEM;
            }
            copy->Seek(0);
            source = copy;
            flags |= ASN_FLAG_OWNSRC;
            flags &= ~ASN_FLAG_COPY;
            srcOffset = 0;
            if (static_cast<long>(copied) < maxLen) maxLen = static_cast<long>(copied);
            in = copy;
        } else {
            // The value stays in the caller's memory stream.
            if (dynamic_cast<MemFile*>(src) == nullptr || start < 0) return EASN_FILE;
            source = src;
            srcOffset = start;
        }
    }
    int64_t inStart = in->Tell();

    long len = maxLen;
    long wrapperLen, wrapperHdr;
    long hdr = readHeaderEx(in, &len, &wrapperLen, &wrapperHdr);
    if (hdr < 1) return hdr;
    long consumed;
    if (len >= 0) {
        if (hdr + len > maxLen) return 0;
        int r = read_contents(in, len);
        if (r < 1) return r;
        consumed = hdr + len;
    } else {
        long r = read_indefinite_contents(in, maxLen - hdr);
        if (r < 1) return r;
        if (r < 2 || hdr + r > maxLen) return 0;
        consumed = hdr + r;
        if (wrapperLen >= 0 && wrapperLen != consumed - wrapperHdr) return 0;
    }
    if ((flags & ASN_FLAG_EXPLICIT) != 0 && (flags & ASN_FLAG_EXPL_INDEF) != 0) {
        int e = readEndOfContents(in, maxLen - consumed);
        if (e != 2) return e < 0 ? e : 0;
        consumed += 2;
    }
    // The count returned is what the input held; a contents step that consumed
    // another amount leaves the stream out of step and the input is refused.
    if (inStart >= 0) {
        int64_t end = in->Tell();
        if (end >= 0 && end - inStart != consumed) return 0;
    }
    m_rxHeader = hdr;
    m_rxLength = consumed;
    return consumed;
}

long ASNobject::writeHeader(GenericFile* dst, long contentsLen) const {
    // Four length octets at most, as on input: a longer value is refused, not cut.
    if (contentsLen > 0xFFFFFFFFL - 16) return EASN_FILE;
    uint8_t buf[20];
    int n = 0;
    if ((flags & ASN_FLAG_EXPLICIT) != 0) {
        AssertInvariant(explTag != TAG_ANY, "asnbase", __LINE__, "explTag != TAG_ANY", nullptr);
        buf[n++] = explTag;
        if ((flags & ASN_FLAG_EXPL_INDEF) != 0) {
            buf[n++] = 0x80;
        } else {
            long inner = (flags & ASN_FLAG_INDEF) != 0 ? contentsLen + 4
                                                       : contentsLen + lenOfLen(contentsLen) + 1;
            n += encodeLength(inner, buf + n);
        }
    }
    buf[n++] = tag;
    n += encodeLength((flags & ASN_FLAG_INDEF) != 0 ? -1 : contentsLen, buf + n);
    return asnWriteAll(dst, buf, static_cast<size_t>(n)) == 1 ? n : EASN_FILE;
}

long ASNobject::write(GenericFile* dst) const {
    if (dst == nullptr) return EASN_FILE;
    long b = lenOfBody();
    long h = writeHeader(dst, b);
    if (h < 0) return h;
    if (b != 0) {
        int r = write_contents(dst);
        if (r < 1) return r;
    }
    long n = h + b;
    if ((flags & ASN_FLAG_INDEF) != 0) {
        if (writeEndOfContents(dst) < 0) return EASN_FILE;
        n += 2;
    }
    if ((flags & ASN_FLAG_EXPLICIT) != 0 && (flags & ASN_FLAG_EXPL_INDEF) != 0) {
        if (writeEndOfContents(dst) < 0) return EASN_FILE;
        n += 2;
    }
    return n;
}

long ASNobject::lenOfObject() const {
    long b = lenOfBody();
    long inner = (flags & ASN_FLAG_INDEF) != 0 ? b + 4 : b + lenOfLen(b) + 1;
    if ((flags & ASN_FLAG_EXPLICIT) != 0) {
        if ((flags & ASN_FLAG_EXPL_INDEF) != 0)
            inner += 4;
        else
            inner += lenOfLen(inner) + 1;
    }
    return inner;
}

long ASNobject::read_indefinite_contents(GenericFile*, long) { return 0; }

// ---------------------------------------------------------------------------
// Assignment from an ANY

int ASNobject::assign(const ASNany& anyObj) {
    ASNDepthGuard guard;
    if (!guard.ok()) return 0;
    long valueLen = anyObj.lenOfBody();
    GenericFile* in;
    bool constAny = (anyObj.flags & ASN_FLAG_CONST) != 0;
    MemFile view(constAny ? nullptr : static_cast<const void*>(anyObj.getData()),
                 constAny || valueLen < 0 ? 0 : static_cast<size_t>(valueLen), false);
    if (constAny) {
        AssertInvariant((anyObj.flags & ASN_FLAG_COPY) == 0, "asnbase", __LINE__,
                        "!(anyObj->flags & ASN_FLAG_COPY)", nullptr);
        if (anyObj.source == nullptr) return EASN_FILE;
        in = anyObj.source;
        if (in->Seek(static_cast<long>(anyObj.srcOffset + anyObj.receivedHeaderLength())) != 0)
            return EASN_FILE;
    } else {
        in = &view;
    }
    int64_t inStart = in->Tell();

    if ((flags & ASN_FLAG_EXPLICIT) != 0 && (anyObj.flags & ASN_FLAG_EXPLICIT) == 0) {
        // The ANY is the wrapper: its value is exactly our inner TLV.
        if ((anyObj.tag & ASN_CLASS_MASK) == 0 || (anyObj.tag & ASN_CONSTRUCTED) == 0) return 0;
        if (explTag != TAG_ANY &&
            (anyObj.tag | ASN_CONSTRUCTED) != (explTag | ASN_CONSTRUCTED))
            return 0;
        if (valueLen < 2) return 0;
        explTag = anyObj.tag;
        flags &= ~ASN_FLAG_EXPLICIT;
        tag = defaultTag();
        long r = read(in, valueLen, static_cast<uint8_t>(anyObj.flags & ASN_FLAG_CONST));
        flags |= ASN_FLAG_EXPLICIT;
        flags &= ~ASN_FLAG_EXPL_INDEF;
        if (r < 1) return static_cast<int>(r);
        if (r != valueLen) return 0;
        if ((anyObj.flags & ASN_FLAG_INDEF) != 0) flags |= ASN_FLAG_EXPL_INDEF;
    } else {
        uint8_t at = anyObj.tag;
        if (at == TAG_ANY) return 0;
        // A universal ANY tag must be this object's; a class tag is taken as it
        // comes (structure decoders choose members by tag, and a member assigned
        // from an implicitly tagged element keeps that tag).
        if ((at & ASN_CLASS_MASK) == 0 && tag != TAG_ANY) {
            if ((tag & ASN_CLASS_MASK) != 0) return 0;
            if ((at & ASN_TAGNUM_MASK) != (tag & ASN_TAGNUM_MASK)) return 0;
        }
        if (tag != TAG_ANY) {
            if ((at & ASN_CONSTRUCTED) != 0 && (flags & ASN_FLAG_CONSTR) == 0) return 0;
            uint8_t dt = defaultTag();
            if (dt != TAG_ANY && (dt & ASN_CONSTRUCTED) != 0 && (at & ASN_CONSTRUCTED) == 0)
                return 0;
        }
        dropSource();
        tag = at;
        if ((at & ASN_CLASS_MASK) != 0) flags |= ASN_FLAG_CLASSTAG;
        explTag = anyObj.explTag;
        uint32_t keep = flags & ~(ASN_FLAG_INDEF | ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF |
                                  ASN_FLAG_CONST | ASN_FLAG_COPY);
        flags = keep | (anyObj.flags & (ASN_FLAG_INDEF | ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF |
                                        ASN_FLAG_CONST));
        if (constAny) {
            source = anyObj.source;
            srcOffset = anyObj.srcOffset;
        }
        int r = read_contents(in, valueLen);
        if (r != 1) return r;
        int64_t end = in->Tell();
        if (inStart >= 0 && end >= 0 && end - inStart != valueLen) return 0;
        m_rxHeader = constAny ? anyObj.receivedHeaderLength() : 0;
        m_rxLength = constAny ? anyObj.receivedLength() : 0;
    }
    flags &= ~(ASN_FLAG_CONST | ASN_FLAG_COPY);
    flags |= anyObj.flags & ASN_FLAG_CONST;
    return 1;
}

int ASNobject::tryAssign(const ASNany& anyObj) {
    int r = assign(anyObj);
    if (r == 1) return 1;
    if (r == EASN_MEM) return 0;
    return -1;
}

// ---------------------------------------------------------------------------
// Explicit tagging

namespace {

// The inner tag of an explicitly tagged object: the type's default tag, keeping the
// form (constructed bit) the object had; types that are always constructed stay so.
uint8_t innerTagFor(uint8_t defTag, uint8_t oldTag) {
    if (defTag == TAG_ANY) return TAG_ANY;
    uint8_t c = static_cast<uint8_t>(defTag & ASN_CONSTRUCTED);
    if (oldTag != TAG_ANY) c |= oldTag & ASN_CONSTRUCTED;
    return static_cast<uint8_t>((defTag & ~ASN_CONSTRUCTED) | c);
}

}  // namespace

void ASNobject::setExplicitTag() {
    if ((flags & ASN_FLAG_EXPLICIT) != 0) return;
    flags |= ASN_FLAG_EXPLICIT;
    flags &= ~ASN_FLAG_EXPL_INDEF;
    explTag = tag == TAG_ANY ? TAG_ANY : static_cast<uint8_t>(tag | ASN_CONSTRUCTED);
    tag = innerTagFor(defaultTag(), tag);
    if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY)
        flags |= ASN_FLAG_CLASSTAG;
    else
        flags &= ~ASN_FLAG_CLASSTAG;
}

void ASNobject::resetExplicitTag() {
    if ((flags & ASN_FLAG_EXPLICIT) == 0) return;
    flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    if (explTag == TAG_ANY)
        tag = TAG_ANY;
    else
        tag = static_cast<uint8_t>((explTag & ~ASN_CONSTRUCTED) |
                                   (tag == TAG_ANY ? 0 : (tag & ASN_CONSTRUCTED)));
    if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY) flags |= ASN_FLAG_CLASSTAG;
}

void ASNobject::setTag(uint8_t t) {
    if ((flags & ASN_FLAG_EXPLICIT) != 0) {
        explTag = t == TAG_ANY ? TAG_ANY : static_cast<uint8_t>(t | ASN_CONSTRUCTED);
        tag = innerTagFor(defaultTag(), tag);
        return;
    }
    if (t == TAG_ANY) {
        tag = TAG_ANY;
        flags |= ASN_FLAG_CLASSTAG;
        return;
    }
    // An implicit tag keeps the object's form: a SEQUENCE stays constructed, a
    // string keeps the form it was decoded or built in.
    uint8_t d = defaultTag();
    if (d == TAG_ANY) {
        tag = t;
    } else {
        uint8_t c = static_cast<uint8_t>(d & ASN_CONSTRUCTED);
        if (tag != TAG_ANY) c |= tag & ASN_CONSTRUCTED;
        tag = static_cast<uint8_t>((t & ~ASN_CONSTRUCTED) | c);
    }
    if ((t & ASN_CLASS_MASK) != 0)
        flags |= ASN_FLAG_CLASSTAG;
    else
        flags &= ~ASN_FLAG_CLASSTAG;
}

uint8_t ASNobject::getTag() const { return (flags & ASN_FLAG_EXPLICIT) != 0 ? explTag : tag; }

// ---------------------------------------------------------------------------
// Memory wrappers

long ASNobject::readBuffer(const void* data, long len, uint8_t rflags) {
    if (data == nullptr || len < 1) return 0;
    MemFile mf(data, static_cast<size_t>(len), false);
    return read(&mf, len, rflags);
}

long ASNobject::readVector(const std::vector<uint8_t>& bytes, uint8_t rflags) {
    if (bytes.empty()) return 0;
    return readBuffer(bytes.data(), static_cast<long>(bytes.size()), rflags);
}

long ASNobject::encodeToVector(std::vector<uint8_t>& bytes) const {
    long n = lenOfObject();
    if (n < 0) return EASN_MEM;
    try {
        bytes.assign(static_cast<size_t>(n), 0);
    } catch (const std::bad_alloc&) {
        return EASN_MEM;
    }
    MemFile mf(static_cast<void*>(bytes.data()), static_cast<size_t>(n), false, false);
    long r = write(&mf);
    if (r >= 0 && r != n) return EASN_FILE;
    return r;
}

long ASNobject::encodeToOctetString(ASNoctstr& out) const {
    long n = lenOfObject();
    if (n < 0) return EASN_MEM;
    uint8_t* p = out.allocate(n);
    if (p == nullptr && n > 0) return EASN_MEM;
    MemFile mf(static_cast<void*>(p), static_cast<size_t>(n), false, false);
    long r = write(&mf);
    if (r >= 0 && r != n) return EASN_FILE;
    return r;
}

long ASNobject::decodeFromOctetString(const ASNoctstr& in, uint8_t rflags) {
    return readBuffer(in.getData(), in.getLength(), rflags);
}

int ASNobject::convertFrom(const ASNobject& src, uint8_t rflags) {
    long n = src.lenOfObject();
    if (n < 1) return EASN_MEM;
    std::vector<uint8_t> buf;
    long w = src.encodeToVector(buf);
    if (w == EASN_FILE) return EASN_MEM;
    if (w < 1) return static_cast<int>(w);
    MemFile mf(static_cast<const void*>(buf.data()), buf.size(), true);
    long r = read(&mf, static_cast<long>(buf.size()), static_cast<uint8_t>(rflags & ~ASN_FLAG_CONST));
    if (r < 1) return static_cast<int>(r);
    return r == static_cast<long>(buf.size()) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// End-of-contents octets

int ASNobject::isEndOfContents(GenericFile* src) {
    int64_t pos = src->Tell();
    if (pos < 0) return EASN_FILE;
    uint8_t b[2];
    size_t got = 0;
    if (src->Read(2, b, &got) != 0) return EASN_FILE;
    if (src->Seek(static_cast<long>(pos)) != 0) return EASN_FILE;
    if (got < 2) return EASN_FILE;
    return (b[0] == 0 && b[1] == 0) ? 1 : 0;
}

int ASNobject::readEndOfContents(GenericFile* src, long remaining) {
    if (remaining == 1) return 0;
    uint8_t b[2];
    int r = asnReadExact(src, b, 2);
    if (r < 0) return EASN_FILE;
    if (r == 0) return 0;
    return (b[0] == 0 && b[1] == 0) ? 2 : 0;
}

int ASNobject::writeEndOfContents(GenericFile* dst) {
    static const uint8_t eoc[2] = {0, 0};
    return asnWriteAll(dst, eoc, 2) == 1 ? 2 : EASN_FILE;
}

// ---------------------------------------------------------------------------
// Constant mode

const uint8_t* ASNobject::constContents(long contentsLen) const {
    if (contentsLen <= 0 || source == nullptr) return nullptr;
    MemFile* mf = dynamic_cast<MemFile*>(source);
    if (mf == nullptr) return nullptr;
    long pos = static_cast<long>(srcOffset + m_rxHeader);
    if (mf->Size() >= 0 && pos + contentsLen > mf->Size()) return nullptr;
    return static_cast<const uint8_t*>(mf->GetPointer(pos));
}

// ---------------------------------------------------------------------------
// Streamed coding: the base keeps only the context; types that stream override.

ASNStreamCtx::ASNStreamCtx() : buffer(nullptr) { reset(); }
ASNStreamCtx::~ASNStreamCtx() { delete buffer; }
void ASNStreamCtx::reset() {
    headerState = 0;
    lenOctets = 0;
    lenValue = 0;
    headerDone = contentsDone = headerWritten = false;
    headerLen = contentsLen = 0;
    eocCount = 0;
    eocDone = false;
    written = 0;
    complete = false;
    scanDepth = scanState = 0;
    scanId = 0;
    scanLenOctets = 0;
    scanLen = scanSkip = 0;
    if (buffer != nullptr) {
        buffer->SetLength(0);
        buffer->Seek(0);
    }
}

void ASNobject::resetStreamCtx() {
    if (streamCtx != nullptr) streamCtx->reset();
}
long ASNobject::lenOfBodyStreamed(long) const { return lenOfBody(); }
long ASNobject::lenOfInnerObject(long len) const {
    long b = lenOfBodyStreamed(len);
    return b + lenOfLen(b) + 1;
}
int ASNobject::createStreamCtx() {
    if (streamCtx != nullptr) return 1;
    streamCtx = new (std::nothrow) ASNStreamCtx();
    return streamCtx != nullptr ? 1 : EASN_MEM;
}
void ASNobject::deleteStreamCtx() {
    delete streamCtx;
    streamCtx = nullptr;
}
namespace {

// Copies up to n octets from src to the end of buf; 1 when all n came, -3 when
// fewer did (*n then holds what is still missing), -1 on an error.
int gatherOctets(GenericFile* src, MemFile* buf, long* n) {
    if (*n <= 0) return 1;
    buf->Seek(static_cast<long>(buf->Size()));
    size_t copied = 0;
    if (src->CopyTo(buf, static_cast<size_t>(*n), &copied) != 0) return EASN_FILE;
    *n -= static_cast<long>(copied);
    return *n == 0 ? 1 : EASN_MORE;
}

// Gathers indefinite-length contents into c->buffer up to and including the
// end-of-contents octets that close them, reading no octet beyond those. Only the
// framing is followed here (identifiers, lengths, nested indefinite levels); the
// type's own decoder judges the octets afterwards. 1 when the closing octets have
// arrived, -3 for more input, 0, -1.
int gatherIndefinite(GenericFile* src, ASNStreamCtx* c) {
    if (c->scanDepth == 0) c->scanDepth = 1;
    for (;;) {
        if (c->buffer->Size() > ASN_MAX_STREAMED_LENGTH + 2) return 0;
        if (c->scanSkip > 0) {
            int r = gatherOctets(src, c->buffer, &c->scanSkip);
            if (r != 1) return r;
        }
        long one = 1;
        int64_t at = c->buffer->Size();
        int r = gatherOctets(src, c->buffer, &one);
        if (r != 1) return r;
        uint8_t b = c->buffer->GetData()[at];
        if (c->scanState == 0) {
            c->scanId = b;
            c->scanState = 1;
            continue;
        }
        if (c->scanState == 1) {
            c->scanState = 0;
            if (c->scanId == 0) {
                // End-of-contents closes one indefinite level; identifier 0 opens nothing.
                if (b != 0) return 0;
                if (--c->scanDepth == 0) return 1;
                continue;
            }
            if ((c->scanId & ASN_TAGNUM_MASK) == ASN_TAGNUM_MASK) return 0;
            if (b < 0x80) {
                c->scanSkip = b;
            } else if (b == 0x80) {
                if ((c->scanId & ASN_CONSTRUCTED) == 0) return 0;
                if (++c->scanDepth > ASN_MAX_DEPTH) return 0;
            } else {
                c->scanLenOctets = b & 0x7F;
                if (c->scanLenOctets > 4) return 0;
                c->scanLen = 0;
                c->scanState = 2;
            }
            continue;
        }
        c->scanLen = (c->scanLen << 8) | b;
        if (++c->scanState - 2 == c->scanLenOctets) {
            if (c->scanLen > ASN_MAX_STREAMED_LENGTH) return 0;
            c->scanSkip = c->scanLen;
            c->scanState = 0;
        }
    }
}

}  // namespace

int ASNobject::read_contents_streamed(GenericFile* src, long len, GenericFile*) {
    // Gather the contents, then decode them in one step with the one-shot decoder.
    if (streamCtx == nullptr) {
        int c = createStreamCtx();
        if (c < 1) return c;
    }
    ASNStreamCtx* c = streamCtx;
    if (c->buffer == nullptr) {
        c->buffer = new (std::nothrow) MemFile();
        if (c->buffer == nullptr) return EASN_MEM;
    }
    if (len < 0) {
        // Indefinite: the end-of-contents octets are gathered (and consumed) here.
        int g = gatherIndefinite(src, c);
        if (g != 1) return g;
        long size = static_cast<long>(c->buffer->Size());
        c->buffer->Seek(0);
        long r = read_indefinite_contents(c->buffer, size);
        if (r < 1) return static_cast<int>(r);
        if (r != size || c->buffer->Tell() != size) return 0;
        c->contentsLen = size - 2;
        c->eocCount = 2;
        return 1;
    }
    long missing = len - static_cast<long>(c->buffer->Size());
    int g = gatherOctets(src, c->buffer, &missing);
    if (g != 1) return g;
    c->buffer->Seek(0);
    int r = read_contents(c->buffer, len);
    if (r < 1) return r;
    // As in a one-shot read, the contents step must take exactly the contents.
    return c->buffer->Tell() == len ? 1 : 0;
}
int ASNobject::write_contents_streamed(GenericFile*, long, bool, GenericFile* dst) {
    return write_contents(dst);
}
