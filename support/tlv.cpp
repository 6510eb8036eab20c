#include "support/tlv.h"

#include <cstring>

namespace {

// Recursion into nested elements never goes deeper than this, whatever a caller asks.
const int kMaxNesting = 64;

int Clamp(int depth)
{
    return depth > kMaxNesting ? kMaxNesting : depth;
}

uint8_t FirstByte(uint64_t tag)
{
    while (tag > 0xFF)
        tag >>= 8;
    return static_cast<uint8_t>(tag);
}

bool TagNumberOf(uint64_t tag, uint64_t* num)
{
    size_t n = 1;
    for (uint64_t t = tag; t > 0xFF; t >>= 8)
        ++n;
    uint8_t first = FirstByte(tag);
    if (n == 1) {
        *num = first & 0x1F;
        return (first & 0x1F) != 0x1F;
    }
    if ((first & 0x1F) != 0x1F || n > 4)
        return false;
    uint64_t v = 0;
    for (size_t i = 1; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>(tag >> (8 * (n - 1 - i)));
        bool last = (i + 1 == n);
        if (last == ((b & 0x80) != 0))
            return false;
        v = (v << 7) | (b & 0x7F);
    }
    *num = v;
    return true;
}

// Class and number equal; the constructed bit is not compared.
bool SameClassAndNumber(uint64_t a, uint64_t b)
{
    uint64_t na = 0, nb = 0;
    return TagNumberOf(a, &na) && TagNumberOf(b, &nb) && na == nb && (FirstByte(a) >> 6) == (FirstByte(b) >> 6);
}

}  // namespace

size_t TlvParseTag(const uint8_t* p, size_t len, uint64_t* tag)
{
    if (p == nullptr || len == 0 || p[0] == 0)
        return 0;
    uint64_t t = p[0];
    size_t n = 1;
    if ((p[0] & 0x1F) == 0x1F) {
        for (;;) {
            if (n >= len || n >= 4)
                return 0;
            uint8_t b = p[n++];
            t = (t << 8) | b;
            if (!(b & 0x80))
                break;
        }
    }
    if (tag)
        *tag = t;
    return n;
}

size_t TlvParseLength(const uint8_t* p, size_t len, uint64_t* length)
{
    if (p == nullptr || len == 0)
        return 0;
    uint8_t b = p[0];
    if (b < 0x80) {
        if (length)
            *length = b;
        return 1;
    }
    if (b == 0x80) {
        if (length)
            *length = TLV_INDEFINITE;
        return 1;
    }
    size_t n = b & 0x7F;
    if (n >= len)
        return 0;
    size_t i = 1;
    while (i <= n && p[i] == 0)
        ++i;
    size_t significant = n + 1 - i;
    if (significant > 4)
        return 0;
    uint64_t v = 0;
    for (; i <= n; ++i)
        v = (v << 8) | p[i];
    if (length)
        *length = v;
    return n + 1;
}

size_t TlvTagSize(uint64_t tag)
{
    size_t n = 1;
    while (tag > 0xFF) {
        tag >>= 8;
        ++n;
    }
    return n;
}

size_t TlvEncodeTag(uint64_t tag, uint8_t* out, size_t outSize)
{
    if (tag == 0)
        return 0;
    size_t n = TlvTagSize(tag);
    if (n > 4)
        return 0;
    uint8_t bytes[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(tag >> (8 * (n - 1 - i)));
    if (n == 1) {
        if ((bytes[0] & 0x1F) == 0x1F)
            return 0;
    } else {
        if ((bytes[0] & 0x1F) != 0x1F)
            return 0;
        for (size_t i = 1; i + 1 < n; ++i)
            if (!(bytes[i] & 0x80))
                return 0;
        if (bytes[n - 1] & 0x80)
            return 0;
    }
    if (out == nullptr)
        return n;
    if (outSize < n)
        return 0;
    memcpy(out, bytes, n);
    return n;
}

size_t TlvLengthFieldSize(uint64_t length)
{
    if (length == TLV_INDEFINITE || length < 0x80)
        return 1;
    if (length < 0x100)
        return 2;
    if (length < 0x10000)
        return 3;
    if (length < 0x1000000)
        return 4;
    return 5;
}

size_t TlvEncodeLength(uint64_t length, uint8_t* out, size_t outSize)
{
    if (length != TLV_INDEFINITE && length > 0xFFFFFFFFull)
        return 0;  // more than four length bytes is never written
    size_t n = TlvLengthFieldSize(length);
    if (out == nullptr)
        return n;
    if (outSize < n)
        return 0;
    if (length == TLV_INDEFINITE) {
        out[0] = 0x80;
    } else if (n == 1) {
        out[0] = static_cast<uint8_t>(length);
    } else {
        out[0] = static_cast<uint8_t>(0x80 | (n - 1));
        for (size_t i = 1; i < n; ++i)
            out[i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
    }
    return n;
}

size_t TlvEncodeHeader(uint64_t tag, uint64_t length, uint8_t* out, size_t outSize)
{
    size_t ts = TlvEncodeTag(tag, nullptr, 0);
    size_t ls = TlvEncodeLength(length, nullptr, 0);
    if (ts == 0 || ls == 0)
        return 0;
    if (out == nullptr)
        return ts + ls;
    if (outSize < ts + ls)
        return 0;
    TlvEncodeTag(tag, out, outSize);
    TlvEncodeLength(length, out + ts, outSize - ts);
    return ts + ls;
}

size_t TlvHeaderSize(uint64_t tag, uint64_t length)
{
    return TlvTagSize(tag) + TlvLengthFieldSize(length);
}

uint64_t TlvTotalSize(uint64_t tag, uint64_t length)
{
    return TlvHeaderSize(tag, length) + (length == TLV_INDEFINITE ? 0 : length);
}

unsigned TlvTagClass(uint64_t tag)
{
    return FirstByte(tag) >> 6;
}

bool TlvIsConstructed(uint64_t tag)
{
    return (FirstByte(tag) & 0x20) != 0;
}

uint64_t TlvTagNumber(uint64_t tag)
{
    uint64_t n = 0;
    return TagNumberOf(tag, &n) ? n : 0;
}

uint64_t TlvMakeTag(uint64_t number, unsigned tagClass, bool constructed)
{
    uint64_t first = ((tagClass & 3u) << 6) | (constructed ? 0x20u : 0u);
    if (number <= 30)
        return first | number;
    first |= 0x1F;
    if (number <= 127)
        return (first << 8) | number;
    if (number <= 16383)
        return (first << 16) | ((0x80 | (number >> 7)) << 8) | (number & 0x7F);
    if (number <= 2097151)
        return (first << 24) | ((0x80 | (number >> 14)) << 16) | ((0x80 | ((number >> 7) & 0x7F)) << 8) |
               (number & 0x7F);
    return 0;
}

size_t TlvParseHeader(const uint8_t* p, size_t len, uint64_t* tag, uint64_t* length)
{
    uint64_t t = 0, l = 0;
    size_t ts = TlvParseTag(p, len, &t);
    if (ts == 0)
        return 0;
    size_t ls = TlvParseLength(p + ts, len - ts, &l);
    if (ls == 0)
        return 0;
    if (l == TLV_INDEFINITE && (!TlvIsConstructed(t) || ls != 1))
        return 0;
    if (tag)
        *tag = t;
    if (length)
        *length = l;
    return ts + ls;
}

size_t TlvParseEx(const uint8_t* p, size_t len, uint64_t* tag, size_t* headerLen, uint64_t* valueLen,
                  size_t* eocLen, int maxDepth)
{
    uint64_t t = 0, l = 0;
    size_t h = TlvParseHeader(p, len, &t, &l);
    if (h == 0)
        return 0;
    size_t total;
    uint64_t vlen;
    size_t eoc = 0;
    if (l != TLV_INDEFINITE) {
        if (l > len - h)
            return 0;
        vlen = l;
        total = h + static_cast<size_t>(l);
    } else {
        size_t i = h;
        for (;;) {
            if (len - i < 2)
                return 0;
            if (p[i] == 0 && p[i + 1] == 0)
                break;
            uint64_t nl = 0;
            size_t nh = TlvParseHeader(p + i, len - i, nullptr, &nl);
            if (nh == 0)
                return 0;
            size_t step;
            if (nl == TLV_INDEFINITE) {
                if (maxDepth <= 0)
                    return 0;
                step = TlvParseEx(p + i, len - i, nullptr, nullptr, nullptr, nullptr, Clamp(maxDepth) - 1);
                if (step == 0)
                    return 0;
            } else {
                if (nl > len - i - nh)
                    return 0;
                step = nh + static_cast<size_t>(nl);
            }
            i += step;
        }
        vlen = i - h;
        eoc = 2;
        total = i + 2;
    }
    if (tag)
        *tag = t;
    if (headerLen)
        *headerLen = h;
    if (valueLen)
        *valueLen = vlen;
    if (eocLen)
        *eocLen = eoc;
    return total;
}

size_t TlvParse(const uint8_t* p, size_t len, uint64_t* tag, size_t* headerLen, uint64_t* valueLen,
                size_t* eocLen)
{
    return TlvParseEx(p, len, tag, headerLen, valueLen, eocLen, 20);
}

size_t TlvParseValue(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen)
{
    size_t h = 0;
    uint64_t vl = 0;
    size_t total = TlvParse(p, len, tag, &h, &vl, nullptr);
    if (total == 0)
        return 0;
    if (value)
        *value = p + h;
    if (valueLen)
        *valueLen = vl;
    return total;
}

const uint8_t* TlvFindTag(const uint8_t* p, size_t len, uint64_t tag, size_t* headerLen, uint64_t* valueLen,
                          size_t* eocLen, int depth)
{
    if (p == nullptr)
        return nullptr;
    depth = Clamp(depth);
    size_t i = 0;
    while (i < len) {
        uint64_t t = 0, vl = 0;
        size_t h = 0, eoc = 0;
        size_t total = TlvParse(p + i, len - i, &t, &h, &vl, &eoc);
        if (total == 0)
            return nullptr;
        if (SameClassAndNumber(t, tag)) {
            if (headerLen)
                *headerLen = h;
            if (valueLen)
                *valueLen = vl;
            if (eocLen)
                *eocLen = eoc;
            return p + i;
        }
        if (TlvIsConstructed(t) && depth > 0) {
            const uint8_t* r =
                TlvFindTag(p + i + h, static_cast<size_t>(vl), tag, headerLen, valueLen, eocLen, depth - 1);
            if (r)
                return r;
        }
        i += total;
    }
    return nullptr;
}

size_t TlvParseInteger(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen)
{
    uint64_t t = 0, vl = 0;
    const uint8_t* v = nullptr;
    size_t total = TlvParseValue(p, len, &t, &v, &vl);
    if (total == 0 || TlvIsConstructed(t) || vl == 0)
        return 0;
    if (tag == nullptr && t != 0x02)
        return 0;
    while (vl > 1 && v[0] == 0) {
        ++v;
        --vl;
    }
    if (tag)
        *tag = t;
    if (value)
        *value = v;
    if (valueLen)
        *valueLen = vl;
    return total;
}

size_t TlvParseBitString(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen,
                         uint8_t* unusedBits)
{
    uint64_t t = 0, vl = 0;
    const uint8_t* v = nullptr;
    size_t total = TlvParseValue(p, len, &t, &v, &vl);
    if (total == 0 || TlvIsConstructed(t) || vl == 0)
        return 0;
    if (tag == nullptr && t != 0x03)
        return 0;
    uint8_t unused = v[0];
    if (unused >= 8 || (unusedBits == nullptr && unused != 0) || (vl == 1 && unused != 0))
        return 0;
    if (tag)
        *tag = t;
    if (unusedBits)
        *unusedBits = unused;
    if (value)
        *value = v + 1;
    if (valueLen)
        *valueLen = vl - 1;
    return total;
}

namespace {
// Walks one element; adds its value bytes to *size and copies them to out (when
// given, out has room for all of them). Returns the element size, 0 when malformed.
size_t CollectValue(const uint8_t* p, size_t len, uint64_t outer, uint8_t* out, uint64_t* size, int depth)
{
    uint64_t t = 0, vl = 0;
    size_t h = 0;
    size_t total = TlvParse(p, len, &t, &h, &vl, nullptr);
    if (total == 0)
        return 0;
    if (outer && !SameClassAndNumber(t, outer))
        return 0;
    if (!TlvIsConstructed(t)) {
        if (out)
            memcpy(out + *size, p + h, static_cast<size_t>(vl));
        *size += vl;
        return total;
    }
    if (depth <= 0)
        return 0;
    size_t i = 0;
    const uint8_t* v = p + h;
    while (i < vl) {
        size_t step = CollectValue(v + i, static_cast<size_t>(vl) - i, t, out, size, depth - 1);
        if (step == 0)
            return 0;
        i += step;
    }
    return total;
}
}  // namespace

int64_t TlvCopyValue(const uint8_t* p, size_t len, uint64_t* tag, uint8_t* out, uint64_t* outLen, int depth)
{
    if (p == nullptr)
        return 0;
    depth = Clamp(depth);
    uint64_t t = 0;
    if (TlvParseHeader(p, len, &t, nullptr) == 0)
        return 0;
    uint64_t needed = 0;
    size_t total = CollectValue(p, len, 0, nullptr, &needed, depth);
    if (total == 0)
        return 0;
    if (tag)
        *tag = t;
    if (outLen == nullptr)
        return static_cast<int64_t>(total);
    if (*outLen < needed || (out == nullptr && needed > 0)) {
        *outLen = needed;
        return TLV_E_BUFFER_TOO_SMALL;
    }
    uint64_t copied = 0;
    CollectValue(p, len, 0, out, &copied, depth);
    *outLen = copied;
    return static_cast<int64_t>(total);
}

int64_t TlvCopyValueThunk(const uint8_t* p, size_t len, uint64_t* tag, uint8_t* out, uint64_t* outLen)
{
    return TlvCopyValue(p, len, tag, out, outLen, 20);
}

size_t TlvBuild(uint64_t tag, const void* value, size_t valueLen, uint8_t* out, size_t outSize)
{
    if (valueLen == TLV_INDEFINITE || (value == nullptr && valueLen > 0))
        return 0;
    size_t h = TlvEncodeHeader(tag, valueLen, nullptr, 0);
    if (h == 0 || valueLen > SIZE_MAX - h)
        return 0;
    size_t total = h + valueLen;
    if (out == nullptr)
        return total;
    if (outSize < total)
        return 0;
    TlvEncodeHeader(tag, valueLen, out, outSize);
    if (valueLen)
        memmove(out + h, value, valueLen);
    return total;
}

int CompactTlvParse(const uint8_t* p, size_t len, uint8_t* tag, uint8_t* length)
{
    if (p == nullptr || len == 0 || p[0] == 0)
        return 0;
    if (tag)
        *tag = p[0] >> 4;
    if (length)
        *length = p[0] & 0x0F;
    return 1;
}

int CompactTlvParseValue(const uint8_t* p, size_t len, uint8_t* tag, const uint8_t** value, uint8_t* valueLen)
{
    uint8_t t = 0, l = 0;
    if (!CompactTlvParse(p, len, &t, &l))
        return 0;
    if (static_cast<size_t>(l) + 1 > len)
        return 0;
    if (tag)
        *tag = t;
    if (value)
        *value = p + 1;
    if (valueLen)
        *valueLen = l;
    return 1 + l;
}

const uint8_t* CompactTlvFind(const uint8_t* p, size_t len, uint8_t tag, uint8_t* valueLen)
{
    size_t i = 0;
    while (p && i < len) {
        uint8_t t = 0, l = 0;
        const uint8_t* v = nullptr;
        int step = CompactTlvParseValue(p + i, len - i, &t, &v, &l);
        if (step == 0)
            return nullptr;
        if (t == tag) {
            if (valueLen)
                *valueLen = l;
            return v;
        }
        i += static_cast<size_t>(step);
    }
    return nullptr;
}

int CompactTlvEncodeHeader(uint8_t tag, uint8_t length, uint8_t* out, size_t outSize)
{
    if (tag < 1 || tag > 15 || length > 15)
        return 0;
    if (out == nullptr)
        return 1;
    if (outSize == 0)
        return 0;
    out[0] = static_cast<uint8_t>((tag << 4) | length);
    return 1;
}

size_t CompactTlvBuild(uint8_t tag, const void* value, uint8_t length, uint8_t* out, size_t outSize)
{
    if (CompactTlvEncodeHeader(tag, length, nullptr, 0) == 0 || (value == nullptr && length > 0))
        return 0;
    size_t total = 1 + static_cast<size_t>(length);
    if (out == nullptr)
        return total;
    if (outSize < total)
        return 0;
    CompactTlvEncodeHeader(tag, length, out, outSize);
    if (length)
        memmove(out + 1, value, length);
    return total;
}

uint8_t CompactTlvInterindustryTag(unsigned n)
{
    return n < 16 ? static_cast<uint8_t>(0x40 + n) : 0;
}
