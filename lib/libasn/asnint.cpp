// INTEGER and ENUMERATED.
#include "lib/libasn/asnint.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "support/textutil.h"

namespace {
uint32_t tagOr(uint32_t t, uint8_t def) { return (t & ASN_CLASS_MASK) != 0 ? t : def; }

// First significant octet (at least one octet kept) of a big-endian value.
const uint8_t* significant(const uint8_t* p, long len, long* outLen) {
    while (len > 1 && *p == 0) {
        p++;
        len--;
    }
    *outLen = len;
    return p;
}
}  // namespace

ASNinteger::ASNinteger(uint32_t t) : ASNinteger(tagOr(t, 0x02), 0x02) {}

ASNinteger::ASNinteger(uint32_t t, uint8_t universalTag) : ASNoctstr(t, universalTag) {
    // Primitive only.
    flags &= ~ASN_FLAG_CONSTR;
    if (tag != TAG_ANY) tag &= static_cast<uint8_t>(~ASN_CONSTRUCTED);
}

ASNenum::ASNenum(uint32_t t) : ASNinteger(tagOr(t, 0x0A), 0x0A) {}

int ASNinteger::read_contents(GenericFile* src, long len) {
    if (len < 1) {
        clear();
        return 0;
    }
    return ASNoctstr::read_contents(src, len);
}

int ASNinteger::setUnsigned(const uint8_t* data, long len) {
    assertNotConst("asnint", __LINE__, "!( flags & ASN_FLAG_CONST )");
    uint8_t zero = 0;
    if (data == nullptr || len <= 0) {
        data = &zero;
        len = 1;
    }
    long n;
    const uint8_t* p = significant(data, len, &n);
    bool pad = (p[0] & 0x80) != 0;
    std::vector<uint8_t> tmp(p, p + n);  // data may be our own value
    uint8_t* out = allocate(n + (pad ? 1 : 0));
    if (out == nullptr) return 0;
    if (pad) out[0] = 0;
    std::memcpy(out + (pad ? 1 : 0), tmp.data(), static_cast<size_t>(n));
    return 1;
}

void ASNinteger::setValue(uint32_t value) {
    assertNotConst("asnint", __LINE__, "!( flags & ASN_FLAG_CONST )");
    clear();
    uint8_t be[4];
    UInt32ToBigEndian(value, be);
    if (setUnsigned(be, 4) != 1) throw std::bad_alloc();
}

int ASNinteger::setHex(const char* hexText) {
    assertNotConst("asnint", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (hexText == nullptr) return 0;
    int n = HexToBin(hexText, -1, nullptr, 0);
    if (n <= 0) return 0;
    std::vector<uint8_t> bin(static_cast<size_t>(n));
    int got = HexToBin(hexText, -1, bin.data(), bin.size());
    if (got <= 0) return 0;
    bool pad = (bin[0] & 0x80) != 0;
    uint8_t* out = allocate(got + (pad ? 1 : 0));
    if (out == nullptr) return 0;
    if (pad) out[0] = 0;
    std::memcpy(out + (pad ? 1 : 0), bin.data(), static_cast<size_t>(got));
    return 1;
}

ASNinteger& ASNinteger::operator=(const ASNinteger& other) {
    if (this == &other) return *this;
    assertNotConst("asnint", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (set(other.getData(), other.getValueLength()) != 1) throw std::bad_alloc();
    return *this;
}

long ASNinteger::getLength() const {
    long n = getValueLength();
    const uint8_t* d = getData();
    if (n <= 0 || d == nullptr) return 1;
    long s;
    significant(d, n, &s);
    return s;
}

long ASNinteger::getLong() const {
    long n = getValueLength();
    const uint8_t* d = getData();
    if (n <= 0 || d == nullptr) return 0;
    long s;
    const uint8_t* p = significant(d, n, &s);
    if (s > 8) throw std::overflow_error("ASNinteger overflow");
    uint64_t v = 0;
    for (long i = 0; i < s; i++) v = (v << 8) | p[i];
    return static_cast<long>(v);
}

int ASNinteger::getHex(char* out, long size) const {
    if (out == nullptr) return 0;
    long n = getValueLength();
    const uint8_t* d = getData();
    long s = 0;
    const uint8_t* p = (n > 0 && d != nullptr) ? significant(d, n, &s) : nullptr;
    if (p == nullptr || (s == 1 && p[0] == 0)) {
        if (size < 2) return 0;
        out[0] = '0';
        out[1] = 0;
        return 1;
    }
    if (size < 1 + 2 * s) return 0;
    size_t w = BinToHex(p, static_cast<size_t>(s), out, "");
    out[w] = 0;
    return 1;
}
