// Distinguished names from arbitrary DER and text. The first octet picks the road:
// DER: decode, print in several formats (lengths measured must equal lengths
// written), compare with a copy, canonicalise, re-encode (a re-encoding decodes to
// the same octets again); text: parse under flags taken from the input, print,
// encode and decode back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/libasn/x509/x500attr.h"
#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x509name.h"

namespace {

const uint32_t kFormats[] = {0x8C540120, 0x8C540130, 0x0F, 0x300000, 0x10000, 0x40000001,
                             0x80400070, 0x1C001C00, 0x1FC6800, 0x48000};

void CheckText(const DistinguishedName& dn, uint32_t f) {
    int n = dn.toText(nullptr, 0, true, f);
    if (n < 0) abort();
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    if (dn.toText(buf.data(), static_cast<uint32_t>(buf.size()), true, f) != n) abort();
    if (buf[static_cast<size_t>(n)] != '\0') abort();
    if (n > 0 && dn.toText(buf.data(), static_cast<uint32_t>(n), true, f) != -n) abort();
    std::string s;
    dn.toString(s, f);
    if (s.size() != static_cast<size_t>(n) || std::memcmp(s.data(), buf.data(), s.size()) != 0) abort();
}

void CheckEncoding(const DistinguishedName& dn) {
    std::vector<uint8_t> a;
    if (dn.encodeToVector(a) <= 0) abort();
    DistinguishedName b;
    if (b.readVector(a) != static_cast<long>(a.size())) abort();
    std::vector<uint8_t> c;
    b.encodeToVector(c);
    if (a != c) abort();
}

void FromDer(const uint8_t* data, size_t size) {
    DistinguishedName dn;
    long r = dn.readBuffer(data, static_cast<long>(size));
    if (r <= 0) return;
    for (uint32_t f : kFormats) CheckText(dn, f);
    CheckEncoding(dn);
    DistinguishedName copy(dn);
    if (dn.isEqual(copy) != 1) abort();
    dn.isEquivalent(copy, AttributeValue::compareTextCaseless);
    AttributeValue* cn = dn.findValueById(X500_CN);
    while (cn != nullptr) {
        std::string t;
        x500::valueToText(t, *cn, 0);
        cn = dn.findValueById(X500_CN, cn);
    }
    copy.makeDER();
    CheckEncoding(copy);
    // The RFC 2253 text of a name parses (when it parses) into an equivalent name.
    std::string text = dn.toString(0x80400070);
    DistinguishedName parsed;
    parsed.fromText(text.c_str(), static_cast<int>(text.size()), 0x80020827);
}

void FromText(const uint8_t* data, size_t size) {
    if (size < 4) return;
    uint32_t flags = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                     (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    const char* text = reinterpret_cast<const char*>(data + 4);
    int len = static_cast<int>(size - 4);
    DistinguishedName dn;
    if (dn.fromText(text, len, flags) == 1) {
        CheckText(dn, flags & ~0xFu);
        CheckEncoding(dn);
    }
    DistinguishedName simple;
    if (simple.fromSimpleText(text, len, (flags & 1) != 0) == 1) CheckEncoding(simple);
    AttributeValue av;
    if (x500::fromText(av, text, len, false, flags) == 1) {
        std::string s;
        x500::avaToText(s, av, flags);
    }
    std::string out;
    x500::unescapeValue(out, text, len, flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    if (data[0] & 1)
        FromText(data + 1, size - 1);
    else
        FromDer(data + 1, size - 1);
    return 0;
}
