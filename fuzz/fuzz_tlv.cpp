// BER-TLV and compact-TLV helpers on arbitrary bytes: every result stays inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "support/textutil.h"
#include "support/tlv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint64_t tag = 0, vl = 0;
    size_t h = 0, eoc = 0;
    size_t total = TlvParse(data, size, &tag, &h, &vl, &eoc);
    if (total > size || (total && h + vl + eoc != total))
        abort();

    // Walk the top-level elements.
    size_t off = 0;
    while (off < size) {
        size_t t = TlvParseEx(data + off, size - off, &tag, &h, &vl, &eoc, 30);
        if (t == 0)
            break;
        if (t > size - off)
            abort();
        off += t;
    }

    uint64_t want = size ? data[0] : 0;
    const uint8_t* f = TlvFindTag(data, size, want ? want : 0x04, &h, &vl, &eoc, 10);
    if (f && (f < data || static_cast<size_t>(f - data) + h + vl + eoc > size))
        abort();

    const uint8_t* v = nullptr;
    uint8_t unused = 0;
    if (TlvParseInteger(data, size, nullptr, &v, &vl) && (v < data || v + vl > data + size))
        abort();
    if (TlvParseBitString(data, size, &tag, &v, &vl, &unused) && (v < data || v + vl > data + size))
        abort();

    std::vector<uint8_t> out(size);
    uint64_t outLen = out.size();
    int64_t r = TlvCopyValue(data, size, &tag, out.data(), &outLen, 20);
    if (r > 0 && outLen > size)
        abort();
    outLen = 0;
    TlvCopyValueThunk(data, size, &tag, out.data(), &outLen);

    uint8_t ct = 0, cl = 0;
    CompactTlvFind(data, size, size ? data[size - 1] & 0x0F : 1, &cl);
    CompactTlvParse(data, size, &ct, &cl);

    if (size >= 11)
        Pkcs1CheckBlockType1(data, size);
    HexToBin(reinterpret_cast<const char*>(data), static_cast<int>(size), out.data(), out.size());
    Utf8Validate(reinterpret_cast<const char*>(data), static_cast<int>(size));
    return 0;
}
