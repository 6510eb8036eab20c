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
