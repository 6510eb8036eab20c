// ANY: raw value octets of a TLV of any tag.
#include "lib/libasn/asnany.h"

#include <cstring>
#include <new>
#include <vector>

#include "support/memfile.h"
#include "support/textutil.h"

ASNany::ASNany(uint32_t t) : ASNobject(t), m_valueLen(0), m_value(nullptr) {
    m_expectedTag = tag;
    m_universalTag = (tag & ASN_CLASS_MASK) != 0 ? TAG_ANY : tag;
    if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY) flags |= ASN_FLAG_CLASSTAG;
}

ASNany::ASNany(const ASNany& other)
    : ASNobject(other), m_valueLen(0), m_value(nullptr), m_expectedTag(other.m_expectedTag),
      m_universalTag(other.m_universalTag) {
    long n = other.lenOfBody();
    const uint8_t* d = other.getData();
    if (n > 0) {
        m_value = new uint8_t[static_cast<size_t>(n)];
        std::memcpy(m_value, d, static_cast<size_t>(n));
        m_valueLen = n;
    }
}

ASNany::~ASNany() { freeValue(); }

void ASNany::freeValue() {
    if (m_value != nullptr) {
        SecureZero(m_value, static_cast<size_t>(m_valueLen));
        delete[] m_value;
    }
    m_value = nullptr;
    m_valueLen = 0;
}

void ASNany::clear() { freeValue(); }

long ASNany::read(GenericFile* src, long maxLen, uint8_t rflags) {
    AssertInvariant((rflags & ASN_FLAG_CONST) == 0, "asnany", __LINE__, "!(flags & ASN_FLAG_CONST)",
                    nullptr);
    if ((flags & ASN_FLAG_EXPLICIT) == 0) {
        tag = m_expectedTag;
        if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY) flags |= ASN_FLAG_CLASSTAG;
    }
    return ASNobject::read(src, maxLen, rflags);
}

long ASNany::readStreamed(GenericFile* src, GenericFile* out) {
    bool fresh = streamCtx == nullptr || (streamCtx->headerState == 0 && !streamCtx->complete);
    if (fresh && (flags & ASN_FLAG_EXPLICIT) == 0) {
        tag = m_expectedTag;
        if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY) flags |= ASN_FLAG_CLASSTAG;
    }
    return ASNobject::readStreamed(src, out);
}

int ASNany::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 0) return 0;
    if (len == 0) return 1;
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

long ASNany::read_indefinite_contents(GenericFile* src, long budget) {
    clear();
    int64_t start = src->Tell();
    if (start < 0) return 0;
    long total = 0;
    for (;;) {
        int e = isEndOfContents(src);
        if (e < 0) return 0;
        if (e == 1) break;
        long room = 0;
        if (budget > 0) {
            room = budget - total - 2;
            if (room < 2) return 0;
        }
        // Each element is checked as a TLV of its own; nested indefinite elements
        // recurse through here, bounded by the decoding depth.
        ASNany element(TAG_ANY);
        long r = element.read(src, room, 0);
        if (r < 1) return r;
        total += r;
    }
    // The value is the octets received, not a re-encoding of the elements.
    if ((flags & ASN_FLAG_CONST) != 0) {
        m_valueLen = total;
    } else if (total > 0) {
        uint8_t* p = new (std::nothrow) uint8_t[static_cast<size_t>(total)];
        if (p == nullptr) return EASN_MEM;
        if (src->Seek(static_cast<long>(start)) != 0) {
            delete[] p;
            return EASN_FILE;
        }
        int r = asnReadExact(src, p, static_cast<size_t>(total));
        if (r < 1) {
            SecureZero(p, static_cast<size_t>(total));
            delete[] p;
            return r;
        }
        m_value = p;
        m_valueLen = total;
    }
    if (src->Seek(static_cast<long>(start + total)) != 0) return EASN_FILE;
    int r = readEndOfContents(src, budget > 0 ? budget - total : 2);
    if (r != 2) return r < 0 ? r : 0;
    return total + 2;
}

int ASNany::write_contents(GenericFile* dst) const {
    long n = lenOfBody();
    if (n <= 0) return 1;
    const uint8_t* d = getData();
    if (d == nullptr) return EASN_FILE;
    return asnWriteAll(dst, d, static_cast<size_t>(n));
}

long ASNany::lenOfBody() const { return static_cast<long>(m_valueLen); }

uint8_t ASNany::defaultTag() const { return m_universalTag; }

void ASNany::digest_contents(QvHash* hash) const { hashUpdate(getData(), lenOfBody(), hash); }

const uint8_t* ASNany::getData() const {
    if ((flags & ASN_FLAG_CONST) != 0) return constContents(static_cast<long>(m_valueLen));
    return m_value;
}

int ASNany::set(const void* data, long len) {
    assertNotConst("asnany", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (len < 0 || (len > 0 && data == nullptr)) return 0;
    uint8_t* p = nullptr;
    if (len > 0) {
        p = new (std::nothrow) uint8_t[static_cast<size_t>(len)];
        if (p == nullptr) return 0;
        std::memcpy(p, data, static_cast<size_t>(len));
    }
    freeValue();
    dropSource();
    flags &= ~(ASN_FLAG_INDEF | ASN_FLAG_COPY);
    m_value = p;
    m_valueLen = len;
    return 1;
}

int ASNany::set(uint8_t newTag, const void* data, long len) {
    int r = set(data, len);
    if (r != 1) return r;
    tag = newTag;
    if ((newTag & ASN_CLASS_MASK) != 0 || newTag == TAG_ANY)
        flags |= ASN_FLAG_CLASSTAG;
    else
        flags &= ~ASN_FLAG_CLASSTAG;
    if (newTag != TAG_ANY && (newTag & ASN_CONSTRUCTED) != 0)
        flags |= ASN_FLAG_CONSTR;
    else
        flags &= ~ASN_FLAG_CONSTR;
    return 1;
}

ASNany& ASNany::operator=(const ASNany& other) {
    if (this == &other) return *this;
    assertNotConst("asnany", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (set(other.getData(), other.lenOfBody()) != 1) throw std::bad_alloc();
    tag = other.tag;
    explTag = other.explTag;
    const uint32_t form = ASN_FLAG_INDEF | ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF |
                          ASN_FLAG_CLASSTAG | ASN_FLAG_CONSTR;
    flags = (flags & ~form) | (other.flags & form);
    return *this;
}

ASNany& ASNany::operator=(const ASNobject& obj) {
    if (this == &obj) return *this;
    assertNotConst("asnany", __LINE__, "!( flags & ASN_FLAG_CONST )");
    std::vector<uint8_t> enc;
    long w = obj.encodeToVector(enc);
    if (w < 1) throw std::bad_alloc();
    uint8_t expected = m_expectedTag;
    uint32_t keepExplicit = flags & (ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    m_expectedTag = TAG_ANY;
    flags |= ASN_FLAG_CLASSTAG;
    long r = readBuffer(enc.data(), static_cast<long>(enc.size()), 0);
    m_expectedTag = expected;
    if (r != static_cast<long>(enc.size())) {
        flags |= keepExplicit;
        throw std::bad_alloc();
    }
    return *this;
}

bool ASNany::operator==(const ASNany& other) const {
    if (lenOfBody() != other.lenOfBody() || tag != other.tag) return false;
    long n = lenOfBody();
    if (n == 0) return true;
    const uint8_t* a = getData();
    const uint8_t* b = other.getData();
    if (a == nullptr || b == nullptr) return false;
    return std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}
