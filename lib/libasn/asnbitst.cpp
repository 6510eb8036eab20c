// BIT STRING.
#include "lib/libasn/asnbitst.h"

#include <cstring>
#include <new>
#include <vector>

#include "support/textutil.h"

ASNbitstr::ASNbitstr(uint32_t t)
    : ASNobject((t & ASN_CLASS_MASK) != 0 ? t : 0x03), m_len(0), m_contents(nullptr) {}

ASNbitstr::ASNbitstr(const ASNbitstr& other) : ASNobject(other), m_len(0), m_contents(nullptr) {
    *this = other;
}

ASNbitstr::~ASNbitstr() { freeValue(); }

void ASNbitstr::freeValue() {
    if (m_contents != nullptr) {
        SecureZero(m_contents, m_len);
        delete[] m_contents;
    }
    m_contents = nullptr;
    m_len = 0;
}

void ASNbitstr::clear() { freeValue(); }

int ASNbitstr::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 1) return 0;
    if (len > 0x7FFFFFFFL) return 0;  // the length is kept in 32 bits
    if ((flags & ASN_FLAG_CONST) != 0) {
        int64_t pos = src->Tell();
        int64_t size = src->Size();
        if (pos < 0 || (size >= 0 && pos + len > size)) return 0;
        uint8_t unused;
        int r = asnReadExact(src, &unused, 1);
        if (r < 1) return r;
        if (unused > 7 || (len == 1 && unused != 0)) return 0;
        if (src->Seek(static_cast<long>(pos + len)) != 0) return EASN_FILE;
        m_len = static_cast<uint32_t>(len);
        return 1;
    }
    uint8_t* p = nullptr;
    int r = asnReadNew(src, len, &p);
    // Unused bits 0..7, and none when there is no bit octet.
    if (r == 1 && (p[0] > 7 || (len == 1 && p[0] != 0))) r = 0;
    if (r < 1) {
        if (p != nullptr) SecureZero(p, static_cast<size_t>(len));
        delete[] p;
        return r;
    }
    m_contents = p;
    m_len = static_cast<uint32_t>(len);
    return 1;
}

const uint8_t* ASNbitstr::getContents() const {
    if ((flags & ASN_FLAG_CONST) != 0) return constContents(static_cast<long>(m_len));
    return m_contents;
}

const uint8_t* ASNbitstr::getBits() const {
    const uint8_t* c = getContents();
    return (c != nullptr && m_len > 1) ? c + 1 : nullptr;
}

uint8_t ASNbitstr::getUnusedBits() const {
    const uint8_t* c = getContents();
    return (c != nullptr && m_len > 0) ? c[0] : 0;
}

int ASNbitstr::write_contents(GenericFile* dst) const {
    if (m_len == 0) {
        static const uint8_t zero = 0;
        return asnWriteAll(dst, &zero, 1);
    }
    const uint8_t* c = getContents();
    if (c == nullptr) return EASN_FILE;
    return asnWriteAll(dst, c, m_len);
}

long ASNbitstr::lenOfBody() const { return m_len == 0 ? 1 : static_cast<long>(m_len); }

void ASNbitstr::digest_contents(QvHash* hash) const {
    if (m_len == 0) {
        static const uint8_t zero = 0;
        hashUpdate(&zero, 1, hash);
        return;
    }
    hashUpdate(getContents(), static_cast<long>(m_len), hash);
}

int ASNbitstr::set(const uint8_t* data, long len, uint8_t unusedBits) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    if (len < 0 || unusedBits > 7 || (len > 0 && data == nullptr) || len >= 0x7FFFFFFFL) return 0;
    if (len == 0) {
        freeValue();
        return 1;
    }
    uint8_t* p = new (std::nothrow) uint8_t[static_cast<size_t>(len) + 1];
    if (p == nullptr) return 0;
    p[0] = unusedBits;
    std::memcpy(p + 1, data, static_cast<size_t>(len));
    p[len] &= static_cast<uint8_t>(0xFF << unusedBits);
    freeValue();
    m_contents = p;
    m_len = static_cast<uint32_t>(len + 1);
    return 1;
}

int ASNbitstr::setBitLength(int bits) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    if (bits <= 0) {
        freeValue();
        return bits == 0 ? 1 : 0;
    }
    long octets = (static_cast<long>(bits) + 7) / 8;
    std::vector<uint8_t> zeros(static_cast<size_t>(octets), 0);
    return set(zeros.data(), octets, static_cast<uint8_t>((8 - bits % 8) % 8));
}

void ASNbitstr::setBit(long pos, bool value) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    AssertInvariant(pos >= 0 && m_len > 0 && pos < (static_cast<long>(m_len) - 1) * 8, "asnbitst",
                    __LINE__, "pos < ( length - 1 ) * 8", nullptr);
    uint8_t mask = static_cast<uint8_t>(0x80 >> (pos % 8));
    if (value)
        m_contents[1 + pos / 8] |= mask;
    else
        m_contents[1 + pos / 8] &= static_cast<uint8_t>(~mask);
}

void ASNbitstr::setFlags(uint32_t bits) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    uint8_t oct[4];
    int n = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t o = 0;
        for (int b = 0; b < 8; b++)
            if ((bits >> (i * 8 + b)) & 1u) o |= static_cast<uint8_t>(0x80 >> b);
        oct[i] = o;
        if (o != 0) n = i + 1;
    }
    uint8_t* p = new uint8_t[static_cast<size_t>(n) + 1];
    int unused = 0;
    if (n > 0) {
        uint8_t last = oct[n - 1];
        while ((last & 1) == 0) {
            last >>= 1;
            unused++;
        }
    }
    p[0] = static_cast<uint8_t>(unused);
    std::memcpy(p + 1, oct, static_cast<size_t>(n));
    freeValue();
    m_contents = p;
    m_len = static_cast<uint32_t>(n + 1);
}

uint32_t ASNbitstr::getFlags() const {
    const uint8_t* c = getContents();
    if (c == nullptr || m_len < 2) return 0;
    uint32_t v = 0;
    long octets = static_cast<long>(m_len) - 1;
    if (octets > 4) octets = 4;
    for (long i = 0; i < octets; i++)
        for (int b = 0; b < 8; b++)
            if (c[1 + i] & (0x80 >> b)) v |= 1u << (i * 8 + b);
    long bl = getBitLength();
    if (bl < 32) v &= (1u << bl) - 1u;
    return v;
}

long ASNbitstr::getBitLength() const {
    if (m_len == 0) return 0;
    return (static_cast<long>(m_len) - 1) * 8 - getUnusedBits();
}

int ASNbitstr::getBit(long pos) const {
    AssertInvariant(pos >= 0, "asnbitst", __LINE__, "pos >= 0", nullptr);
    if (pos >= getBitLength()) return 0;
    const uint8_t* c = getContents();
    return (c[1 + pos / 8] & (0x80 >> (pos % 8))) != 0 ? 1 : 0;
}

void ASNbitstr::normalize() {
    AssertInvariant(m_contents != nullptr, "asnbitst", __LINE__, "memory != NULL", nullptr);
    AssertInvariant(m_len > 0, "asnbitst", __LINE__, "length > 0", nullptr);
    uint32_t n = m_len;
    while (n > 1 && m_contents[n - 1] == 0) n--;
    if (n == 1) {
        m_contents[0] = 0;
    } else {
        uint8_t last = m_contents[n - 1];
        int unused = 0;
        while ((last & 1) == 0) {
            last >>= 1;
            unused++;
        }
        m_contents[0] = static_cast<uint8_t>(unused);
    }
    m_len = n;
}

int ASNbitstr::setEncoded(const ASNobject& obj) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    std::vector<uint8_t> enc;
    long w = obj.encodeToVector(enc);
    if (w < 1) return 0;
    return set(enc.data(), static_cast<long>(enc.size()), 0);
}

ASNbitstr& ASNbitstr::operator=(const ASNbitstr& other) {
    if (this == &other) return *this;
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnbitst", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    const uint8_t* c = other.getContents();
    if (other.m_len == 0 || c == nullptr) {
        freeValue();
        return *this;
    }
    uint8_t* p = new uint8_t[other.m_len];
    std::memcpy(p, c, other.m_len);
    freeValue();
    m_contents = p;
    m_len = other.m_len;
    return *this;
}

bool ASNbitstr::operator==(const ASNbitstr& other) const {
    long bl = getBitLength();
    if (bl != other.getBitLength()) return false;
    for (long i = 0; i < bl; i++)
        if (getBit(i) != other.getBit(i)) return false;
    return true;
}
