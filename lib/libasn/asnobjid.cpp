// OBJECT IDENTIFIER: encoded value, dotted text conversion, validation.
#include "lib/libasn/asnobjid.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "support/textutil.h"

namespace {
const char* const kDefaultSeparators = "., ";

int subidOctets(uint32_t v) {
    if (v < 0x80u) return 1;
    if (v < 0x4000u) return 2;
    if (v <= 0x1FFFFFu) return 3;
    if (v <= 0xFFFFFFFu) return 4;
    return 5;
}

// Decimal digits of v into out (at least 10 octets); returns their count.
long decimal(uint32_t v, char* out) {
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; i++) out[i] = tmp[n - 1 - i];
    return n;
}

// Decodes one sub-identifier at ber[*pos]; 1 done, 0 unterminated or not minimal,
// -1 more than 32 bits.
int readSubid(const uint8_t* ber, long len, long* pos, uint32_t* out) {
    long start = *pos;
    if (start >= len) return 0;
    if (ber[start] == 0x80) return 0;  // a leading 0x80 octet is not minimal
    uint64_t v = 0;
    long i = start;
    for (;;) {
        if (i >= len) return 0;
        uint8_t b = ber[i++];
        v = (v << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) break;
        if (i - start >= 5 && v > 0) {
            // A sixth octet would follow: beyond 32 bits.
            while (i < len && (ber[i] & 0x80) != 0) i++;
            if (i >= len) return 0;
            *pos = i + 1;
            return -1;
        }
    }
    long n = i - start;
    *pos = i;
    if (n == 5 && ber[start] > 0x8F) return -1;
    if (v > 0xFFFFFFFFull) return -1;
    *out = static_cast<uint32_t>(v);
    return 1;
}
}  // namespace

ASNobjectId::ASNobjectId(uint32_t t)
    : ASNobject((t & ASN_CLASS_MASK) != 0 ? t : 0x06), m_longArc(0), m_value(nullptr), m_len(0) {
    explTag = 0x06;
}

ASNobjectId::ASNobjectId(const char* text) : ASNobjectId(0u) {
    if (setText(text) != 1) throw std::bad_alloc();
}

// The copy keeps the other's tagging (an explicit member stays explicit), not its
// source or decoding state.
ASNobjectId::ASNobjectId(const ASNobjectId& other)
    : ASNobject(other), m_longArc(other.m_longArc), m_value(nullptr), m_len(0) {
    flags &= ~(ASN_FLAG_INDEF | ASN_FLAG_EXPL_INDEF);
    long n = other.getLength();
    const uint8_t* d = other.getData();
    if (n > 0 && d != nullptr) {
        m_value = new uint8_t[static_cast<size_t>(n)];
        std::memcpy(m_value, d, static_cast<size_t>(n));
        m_len = n;
    }
}

ASNobjectId::~ASNobjectId() { freeValue(); }

void ASNobjectId::freeValue() {
    if (m_value != nullptr) delete[] m_value;
    m_value = nullptr;
    m_len = 0;
}

void ASNobjectId::clear() {
    if ((flags & ASN_FLAG_CONST) == 0) freeValue();
    m_value = nullptr;
    m_len = 0;
}

const uint8_t* ASNobjectId::getData() const {
    if ((flags & ASN_FLAG_CONST) != 0) return constContents(static_cast<long>(m_len));
    return m_value;
}

int ASNobjectId::read_contents(GenericFile* src, long len) {
    if (len < 1) return 0;
    clear();
    const uint8_t* v;
    std::vector<uint8_t> view;
    if ((flags & ASN_FLAG_CONST) != 0) {
        int64_t pos = src->Tell();
        int64_t size = src->Size();
        if (pos < 0 || (size >= 0 && pos + len > size)) return 0;
        view.resize(static_cast<size_t>(len));
        int r = asnReadExact(src, view.data(), static_cast<size_t>(len));
        if (r < 1) return r;
        m_len = len;
        v = view.data();
    } else {
        uint8_t* p = nullptr;
        int r = asnReadNew(src, len, &p);
        if (r < 1) return r;
        m_value = p;
        m_len = len;
        v = p;
    }
    long arcs = countArcs(v, len);
    if (arcs > 0) return 1;
    if (arcs < -1 && m_longArc) return 1;
    return 0;
}

int ASNobjectId::write_contents(GenericFile* dst) const {
    if (m_len == 0) return 1;
    const uint8_t* d = getData();
    if (d == nullptr) return EASN_FILE;
    return asnWriteAll(dst, d, static_cast<size_t>(m_len));
}

void ASNobjectId::digest_contents(QvHash* hash) const {
    hashUpdate(getData(), static_cast<long>(m_len), hash);
}

long ASNobjectId::countArcs(const uint8_t* ber, long len) {
    if (ber == nullptr || len <= 0) return 0;
    long pos = 0;
    long subids = 0;
    bool tooLong = false;
    while (pos < len) {
        uint32_t v;
        int r = readSubid(ber, len, &pos, &v);
        if (r == 0) return -1;
        if (r < 0) tooLong = true;
        subids++;
    }
    return tooLong ? -(subids + 1) : subids + 1;
}

long ASNobjectId::countArcs() const { return countArcs(getData(), static_cast<long>(m_len)); }

namespace {

// Walks the dotted text once, handing each sub-identifier to emit; false when the
// text does not convert.
template <typename Emit>
bool walkText(const char* text, const char* separators, Emit emit) {
    char sep = 0;
    const char* p = text;
    uint32_t firstArc = 0;
    int index = 0;
    for (;;) {
        // One component: decimal digits only, at most 4294967295.
        uint64_t v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<uint64_t>(*p - '0');
            if (v > 0xFFFFFFFFull) return false;
            digits++;
            p++;
        }
        if (digits == 0) return false;
        uint32_t arc = static_cast<uint32_t>(v);
        if (index == 0) {
            if (arc > 2) return false;
            firstArc = arc;
        } else if (index == 1) {
            if (firstArc < 2 && arc > 39) return false;
            if (arc > 107374182u) return false;
            emit(firstArc * 40 + arc);
        } else {
            emit(arc);
        }
        index++;
        if (*p == 0) break;
        if (std::strchr(separators, *p) == nullptr) return false;
        if (sep == 0)
            sep = *p;
        else if (*p != sep)
            return false;
        p++;
    }
    return index >= 2;
}

}  // namespace

long ASNobjectId::textToBer(const char* text, uint8_t* out, long outSize, const char* separators) {
    if (text == nullptr || *text == 0) return 0;
    if (separators == nullptr) separators = kDefaultSeparators;
    long need = 0;
    if (!walkText(text, separators, [&need](uint32_t s) { need += subidOctets(s); })) return 0;
    if (out == nullptr) return need;
    if (outSize < need) return -need;
    uint8_t* w = out;
    walkText(text, separators, [&w](uint32_t s) {
        int n = subidOctets(s);
        for (int k = n - 1; k >= 0; k--) {
            uint8_t b = static_cast<uint8_t>((s >> (7 * k)) & 0x7F);
            if (k != 0) b |= 0x80;
            *w++ = b;
        }
    });
    AssertInvariant(w - out == need, "asnobjid", __LINE__, "buffer - temp == requiredSize", nullptr);
    return need;
}

long ASNobjectId::berToText(const uint8_t* ber, long len, char* out, long outSize,
                            const char* separator, bool terminate) {
    if (ber == nullptr || len <= 0) return 0;
    if (separator == nullptr) separator = ".";
    const long seplen = static_cast<long>(std::strlen(separator));
    // Two passes: measure, then write when it fits.
    for (int pass = 0; pass < 2; pass++) {
        long pos = 0;
        long at = 0;
        bool first = true;
        char num[24];
        auto put = [&](const char* t, long n) {
            if (pass == 1) std::memcpy(out + at, t, static_cast<size_t>(n));
            at += n;
        };
        while (pos < len) {
            uint32_t v;
            if (readSubid(ber, len, &pos, &v) != 1) return 0;
            if (first) {
                // Both leading arcs come from the whole first sub-identifier.
                unsigned a = v < 40 ? 0 : v < 80 ? 1 : 2;
                put(num, decimal(a, num));
                put(separator, seplen);
                put(num, decimal(v - 40u * a, num));
                first = false;
            } else {
                put(separator, seplen);
                put(num, decimal(v, num));
            }
        }
        long need = at + (terminate ? 1 : 0);
        if (pass == 0) {
            if (out == nullptr) return need;
            if (outSize < need) return -need;
        } else {
            if (terminate) out[at] = 0;
            AssertInvariant(at + (terminate ? 1 : 0) == need, "asnobjid", __LINE__,
                            "txt - tmp == requiredLen", nullptr);
            return need;
        }
    }
    return 0;
}

int ASNobjectId::setText(const char* text, const char* separators) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnobjid", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    clear();
    long n = textToBer(text, nullptr, 0, separators);
    if (n <= 0) return 0;
    uint8_t* p = new (std::nothrow) uint8_t[static_cast<size_t>(n)];
    if (p == nullptr) return 0;
    if (textToBer(text, p, n, separators) != n) {
        delete[] p;
        return 0;
    }
    m_value = p;
    m_len = n;
    return 1;
}

ASNobjectId& ASNobjectId::operator=(const char* text) {
    if (setText(text) != 1) throw std::bad_alloc();
    return *this;
}

int ASNobjectId::setEncoded(const uint8_t* ber, long len) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnobjid", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    long arcs = countArcs(ber, len);
    if (!(arcs > 0 || (arcs < -1 && m_longArc))) return 0;
    uint8_t* p = new uint8_t[static_cast<size_t>(len)];
    std::memcpy(p, ber, static_cast<size_t>(len));
    clear();
    m_value = p;
    m_len = len;
    return 1;
}

long ASNobjectId::getTextBuffer(char* out, long size, bool terminate, const char* separator) const {
    return berToText(getData(), static_cast<long>(m_len), out, size, separator, terminate);
}

int ASNobjectId::getText(std::string& out, const char* separator) const {
    char buf[256];
    long n = getTextBuffer(buf, sizeof buf, false, separator);
    if (n == 0) return 0;
    if (n > 0) {
        out.assign(buf, static_cast<size_t>(n));
        return 1;
    }
    out.assign(static_cast<size_t>(-n), '\0');
    long m = getTextBuffer(&out[0], -n, false, separator);
    if (m <= 0) return 0;
    out.resize(static_cast<size_t>(m));
    return 1;
}

std::string ASNobjectId::toString() const {
    std::string s;
    if (getText(s) != 1) s.clear();
    return s;
}

ASNobjectId& ASNobjectId::operator=(const ASNobjectId& other) {
    if (this == &other) return *this;
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnobjid", __LINE__,
                    "! ( flags & ASN_FLAG_CONST )", nullptr);
    long n = other.getLength();
    const uint8_t* d = other.getData();
    uint8_t* p = nullptr;
    if (n > 0 && d != nullptr) {
        p = new uint8_t[static_cast<size_t>(n)];
        std::memcpy(p, d, static_cast<size_t>(n));
    }
    clear();
    m_value = p;
    m_len = p != nullptr ? n : 0;
    m_longArc = other.m_longArc;
    return *this;
}

bool ASNobjectId::operator==(const ASNobjectId& other) const {
    if (m_len != other.m_len) return false;
    if (m_len == 0) return true;
    const uint8_t* a = getData();
    const uint8_t* b = other.getData();
    if (a == nullptr || b == nullptr) return false;
    return std::memcmp(a, b, static_cast<size_t>(m_len)) == 0;
}

bool ASNobjectId::isEqual(const char* text) const {
    uint8_t buf[128];
    long n = textToBer(text, buf, sizeof buf);
    if (n == 0) return false;
    if (n < 0) {
        std::vector<uint8_t> big(static_cast<size_t>(-n));
        n = textToBer(text, big.data(), -n);
        if (n <= 0 || n != m_len) return false;
        return std::memcmp(big.data(), getData(), static_cast<size_t>(n)) == 0;
    }
    if (n != m_len) return false;
    const uint8_t* d = getData();
    return d != nullptr && std::memcmp(buf, d, static_cast<size_t>(n)) == 0;
}
