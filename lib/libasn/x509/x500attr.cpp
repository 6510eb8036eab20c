// AttributeTypeAndValue: encoding, setters, string-type choice, canonical form and
// equivalence.
#include "lib/libasn/x509/x500attr.h"

#include <climits>
#include <cstring>
#include <cwctype>
#include <exception>
#include <new>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509time.h"
#include "support/memfile.h"
#include "support/textutil.h"

namespace {

constexpr int kMaxCanonicalDepth = 16;

size_t textLength(const char* text, int len) {
    if (text == nullptr) return 0;
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

bool isWhite(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

// Trims white space at both ends and folds inner runs into one blank.
std::string foldWhite(const std::string& s) {
    std::string out;
    bool pending = false;
    for (unsigned char c : s) {
        if (isWhite(c)) {
            pending = !out.empty();
            continue;
        }
        if (pending) out += ' ';
        pending = false;
        out += static_cast<char>(c);
    }
    return out;
}

// Resolves a type name: any name of the table, else a dotted OID.
bool resolveTypeName(const char* typeName, ASNobjectId& out) {
    if (typeName == nullptr) return false;
    const X500AttributeType* t = x500::findByName(typeName, -1, X500_STYLE_ANY);
    if (t != nullptr) {
        out = *t->oid;
        return true;
    }
    return out.setText(typeName) == 1;
}

}  // namespace

namespace x500 {

bool isValidUtf8(const char* text, size_t n) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < n) {
        uint8_t c = p[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        int extra;
        uint32_t cp, min;
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; min = 0x80; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; min = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; min = 0x10000; }
        else return false;
        if (n - i <= static_cast<size_t>(extra)) return false;
        for (int k = 1; k <= extra; k++) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

bool isPrintableChar(uint8_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::strchr(" '()+,-./:=?", c) != nullptr && c != 0;
}

int chooseStringTag(uint32_t syntax, const char* text, int len, bool forceUtf8, bool validate) {
    size_t n = textLength(text, len);
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    auto all = [&](bool (*pred)(uint8_t)) {
        for (size_t i = 0; i < n; i++)
            if (!pred(p[i])) return false;
        return true;
    };
    auto printable = [](uint8_t c) { return isPrintableChar(c); };
    auto ia5 = [](uint8_t c) { return c < 0x80; };
    auto numeric = [](uint8_t c) { return (c >= '0' && c <= '9') || c == ' '; };
    bool check = validate && text != nullptr;
    // Stricter than the shared helper: no overlong forms, surrogates or code points
    // beyond U+10FFFF.
    auto utf8ok = [&]() { return n == 0 || (Utf8Kind(text, static_cast<int>(n)) != 0 && isValidUtf8(text, n)); };
    switch (syntax) {
    case X500_SYNTAX_NONE:
    case X500_SYNTAX_DIRECTORY:
    case X500_SYNTAX_PKCS9:
        if (text != nullptr && n > 0 && !forceUtf8 && all(printable)) return X500_TAG_PRINTABLE;
        if (syntax == X500_SYNTAX_PKCS9 && text != nullptr && !forceUtf8 && all(ia5))
            return X500_TAG_IA5;
        if (check && !utf8ok()) return 0;
        return X500_TAG_UTF8;
    case X500_SYNTAX_PRINTABLE:
        if (check && (n == 0 || !all(printable))) return 0;
        return X500_TAG_PRINTABLE;
    case X500_SYNTAX_UTF8:
        if (check && !utf8ok()) return 0;
        return X500_TAG_UTF8;
    case X500_SYNTAX_IA5:
        if (check && !all(ia5)) return 0;
        return X500_TAG_IA5;
    case X500_SYNTAX_BMP:
        if (check && n % 2 != 0) return 0;
        return X500_TAG_BMP;
    case X500_SYNTAX_NUMERIC:
        if (check && (n == 0 || !all(numeric))) return 0;
        return X500_TAG_NUMERIC;
    case X500_SYNTAX_OCTETS:
        return X500_TAG_OCTET_STRING;
    case X500_SYNTAX_BITS:
        return X500_TAG_BIT_STRING;
    case X500_SYNTAX_LIST:
        return X500_TAG_SEQUENCE;
    case X500_SYNTAX_GENERALIZED_TIME:
        if (check) {
            X509time t(X500_TAG_GENERALIZED_TIME);
            if (n == 0 || t.parseGeneralizedTime(text, static_cast<int>(n)) != static_cast<int>(n)) return 0;
        }
        return X500_TAG_GENERALIZED_TIME;
    case X500_SYNTAX_TIME: {
        if (text == nullptr) return X500_TAG_UTC_TIME;
        int kind = n == 0 ? -1 : X509time::classifyText(text, static_cast<int>(n));
        if (kind == 1) return X500_TAG_GENERALIZED_TIME;
        if (kind == 0) return X500_TAG_UTC_TIME;
        return check ? 0 : X500_TAG_UTC_TIME;
    }
    case X500_SYNTAX_OID:
        if (check && n == 0) return 0;
        return X500_TAG_OID;
    case X500_SYNTAX_INTEGER:
        return 2;
    default:
        return 0;
    }
}

int checkStringContents(const ASNany& value) {
    const uint8_t* p = value.getData();
    const long n = value.getLength();
    auto all = [&](bool (*pred)(uint8_t)) {
        for (long i = 0; i < n; i++)
            if (!pred(p[i])) return false;
        return true;
    };
    switch (value.tag) {
    case X500_TAG_UTF8:
        return n == 0 || isValidUtf8(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) ? 1 : 0;
    case X500_TAG_NUMERIC:
        return all([](uint8_t c) { return (c >= '0' && c <= '9') || c == ' '; }) ? 1 : 0;
    case X500_TAG_PRINTABLE:
        return all([](uint8_t c) { return isPrintableChar(c); }) ? 1 : 0;
    case X500_TAG_IA5:
        return all([](uint8_t c) { return c < 0x80; }) ? 1 : 0;
    case X500_TAG_VISIBLE:
        return all([](uint8_t c) { return c >= 0x20 && c <= 0x7E; }) ? 1 : 0;
    case X500_TAG_T61:
        return 1;
    case X500_TAG_BMP:
        if (n % 2 != 0) return 0;
        for (long i = 0; i < n; i += 2)
            if (p[i] >= 0xD8 && p[i] <= 0xDF) return 0;
        return 1;
    case X500_TAG_UNIVERSAL:
        if (n % 4 != 0) return 0;
        for (long i = 0; i < n; i += 4) {
            uint32_t cp = (static_cast<uint32_t>(p[i]) << 24) | (static_cast<uint32_t>(p[i + 1]) << 16) |
                          (static_cast<uint32_t>(p[i + 2]) << 8) | p[i + 3];
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        }
        return 1;
    default:
        return -1;
    }
}

int utf8EncodeCodePoint(uint32_t cp, uint8_t* out, int outSize) {
    if (cp >= 0x80000000u) return 0;
    int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : cp < 0x200000 ? 4 : cp < 0x4000000 ? 5 : 6;
    if (out == nullptr) return n;
    if (outSize < n) return -n;
    if (n == 1) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    static const uint8_t lead[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    for (int i = n - 1; i > 0; i--) {
        out[i] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    out[0] = static_cast<uint8_t>(lead[n] | cp);
    return n;
}

bool universalToUtf8(const uint8_t* data, long len, std::string& out) {
    out.clear();
    if (len < 0 || len % 4 != 0) return false;
    for (long i = 0; i < len; i += 4) {
        uint32_t cp = (static_cast<uint32_t>(data[i]) << 24) | (static_cast<uint32_t>(data[i + 1]) << 16) |
                      (static_cast<uint32_t>(data[i + 2]) << 8) | data[i + 3];
        uint8_t buf[6];
        int n = utf8EncodeCodePoint(cp, buf, sizeof buf);
        if (n <= 0) return false;
        out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    }
    return true;
}

bool bmpToUtf8(const uint8_t* data, long len, std::string& out) {
    out.clear();
    if (len < 0 || len % 2 != 0) return false;
    for (long i = 0; i < len; i += 2) {
        uint32_t cp = (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
        uint8_t buf[3];
        int n = utf8EncodeCodePoint(cp, buf, sizeof buf);
        out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    }
    return true;
}

}  // namespace x500

AttributeValue::AttributeValue(uint32_t tag) : ASNsequenceF(tag), value(TAG_ANY) {}

AttributeValue::AttributeValue(uint32_t typeId, const char* text, uint32_t len)
    : ASNsequenceF(0x30), value(TAG_ANY) {
    if (len > static_cast<uint32_t>(INT_MAX)) return;
    setFromText(typeId, text, static_cast<int>(len), false);
}

AttributeValue::AttributeValue(const AttributeValue& other)
    : ASNsequenceF(other), type(other.type), value(other.value) {}

AttributeValue::~AttributeValue() {}

void AttributeValue::clear() {
    type.clear();
    value.clear();
}

int AttributeValue::read_contents(GenericFile* src, long len) {
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long r1 = type.read(src, len, f);
    if (r1 < 1) return static_cast<int>(r1);
    if (r1 >= len) return 0;
    // The value is held as a copy: constant mode would tie it to the source.
    long r2 = value.read(src, len - r1, 0);
    if (r2 < 1) return static_cast<int>(r2);
    return r1 + r2 == len ? 1 : 0;
}

int AttributeValue::write_contents(GenericFile* dst) const {
    long r = type.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = value.write(dst);
    if (r < 1) return static_cast<int>(r);
    return 1;
}

long AttributeValue::lenOfBody() const { return type.lenOfObject() + value.lenOfObject(); }

void AttributeValue::digest_contents(QvHash* hash) const {
    type.digestObject(hash);
    value.digestObject(hash);
}

int AttributeValue::set(const ASNobjectId& t, const ASNany& v) {
    assertNotConst("x500attr", __LINE__, "!( flags & ASN_FLAG_CONST )");
    ASNobjectId nt(t);
    ASNany nv(v);
    type = nt;
    value = nv;
    return 1;
}

int AttributeValue::set(uint32_t typeId, const ASNany& v) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return 0;
    return set(*t->oid, v);
}

int AttributeValue::set(const char* typeName, const ASNany& v) {
    ASNobjectId t;
    if (!resolveTypeName(typeName, t)) return 0;
    return set(t, v);
}

int AttributeValue::setRaw(const ASNobjectId& t, uint8_t tag, const void* data, long len) {
    if (len < 0 || (len > 0 && data == nullptr)) return 0;
    ASNany v(TAG_ANY);
    if (v.set(tag, data, len) != 1) throw std::bad_alloc();
    return set(t, v);
}

int AttributeValue::setRaw(uint32_t typeId, uint8_t tag, const void* data, long len) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return 0;
    return setRaw(*t->oid, tag, data, len);
}

int AttributeValue::setRaw(const char* typeName, uint8_t tag, const void* data, long len) {
    ASNobjectId t;
    if (!resolveTypeName(typeName, t)) return 0;
    return setRaw(t, tag, data, len);
}

int AttributeValue::setFromText(const ASNobjectId& t, const char* text, int len, bool forceUtf8) {
    size_t n = textLength(text, len);
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    uint32_t syntax = x500::syntaxOf(x500::findByOid(t));
    if (syntax == X500_SYNTAX_NONE) syntax = X500_SYNTAX_DIRECTORY;
    if (syntax == X500_SYNTAX_LIST) {
        X500ValueList list;
        // Separators '|', ',' and newline; no escape rules.
        if (x500::parseList(list, text, static_cast<int>(n), forceUtf8, 0x1240000) == 1) {
            ASNany v(TAG_ANY);
            v = static_cast<const ASNobject&>(list);
            return set(t, v);
        }
        syntax = X500_SYNTAX_DIRECTORY;
    }
    int tag = x500::chooseStringTag(syntax, text, static_cast<int>(n), forceUtf8, false);
    if (tag == 0) tag = X500_TAG_OCTET_STRING;
    return setRaw(t, static_cast<uint8_t>(tag), text, static_cast<long>(n));
}

int AttributeValue::setFromText(uint32_t typeId, const char* text, int len, bool forceUtf8) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return 0;
    return setFromText(*t->oid, text, len, forceUtf8);
}

int AttributeValue::setFromText(const char* typeName, const char* text, int len, bool forceUtf8) {
    ASNobjectId t;
    if (!resolveTypeName(typeName, t)) return 0;
    return setFromText(t, text, len, forceUtf8);
}

AttributeValue& AttributeValue::operator=(const AttributeValue& other) {
    if (this != &other) {
        assertNotConst("x500attr", __LINE__, "!( flags & ASN_FLAG_CONST )");
        type = other.type;
        value = other.value;
    }
    return *this;
}

bool AttributeValue::operator==(const AttributeValue& other) const {
    return type == other.type && value == other.value;
}

int AttributeValue::getTypeName(char* buf, uint32_t size, bool nulTerminate, uint32_t style) const {
    std::string s;
    getTypeName(s, style);
    return x500::deliverText(s, buf, size, nulTerminate);
}

int AttributeValue::getTypeName(std::string& out, uint32_t style) const {
    out.clear();
    if (style == X500_STYLE_NONE) return 0;
    const char* n = x500::nameOf(x500::findByOid(type), static_cast<int>(style));
    if (n != nullptr)
        out = n;
    else
        type.getText(out);
    return static_cast<int>(out.size());
}

int AttributeValue::canonicalize() { return canonicalizeAt(0); }

int AttributeValue::canonicalizeAt(int depth) {
    const uint8_t t = value.tag;
    const uint8_t* d = value.getData();
    long n = value.getLength();
    switch (t) {
    case X500_TAG_UTF8:
    case X500_TAG_PRINTABLE:
    case X500_TAG_IA5:
    case X500_TAG_VISIBLE:
        value.tag = X500_TAG_UTF8;
        return 1;
    case X500_TAG_BMP: {
        std::string u;
        if (n > 0 && x500::bmpToUtf8(d, n, u) && !u.empty()) {
            if (value.set(X500_TAG_UTF8, u.data(), static_cast<long>(u.size())) != 1) return 0;
        }
        return 1;
    }
    case X500_TAG_UNIVERSAL: {
        std::string u;
        if (x500::universalToUtf8(d, n, u)) {
            if (value.set(X500_TAG_UTF8, u.data(), static_cast<long>(u.size())) != 1) return 0;
        }
        return 1;
    }
    case X500_TAG_BIT_STRING:
        try {
            ASNbitstr b;
            if (b.assign(value) != 1) return 0;
            // Trailing zero bits removed, as DER writes a named-bit list.
            long bits = b.getBitLength();
            while (bits > 0 && b.getBit(bits - 1) == 0) bits--;
            ASNbitstr nb;
            if (bits > 0) {
                if (nb.set(b.getBits(), (bits + 7) / 8, static_cast<uint8_t>((8 - bits % 8) % 8)) != 1) return 0;
            }
            ASNany nv(TAG_ANY);
            nv = static_cast<const ASNobject&>(nb);
            value = nv;
            return 1;
        } catch (const std::exception&) {
            return 0;
        }
    case X500_TAG_SEQUENCE: {
        // Lists nested deeper than any real name are left as they are.
        if (depth >= kMaxCanonicalDepth) return 1;
        X500ValueList list;
        if (list.assign(value) != 1) return 0;
        POSITION pos = list.GetHeadPosition();
        while (pos != nullptr) {
            ASNany* e = list.GetNext(pos);
            AttributeValue tmp;
            tmp.value = *e;
            if (tmp.canonicalizeAt(depth + 1) == 1) *e = tmp.value;
        }
        ASNany nv(TAG_ANY);
        nv = static_cast<const ASNobject&>(list);
        value = nv;
        return 1;
    }
    default:
        return 1;
    }
}

int AttributeValue::isEquivalent(const AttributeValue& other, X500Comparator cmp) const {
    if (!(type == other.type)) return 0;
    std::string a, b;
    x500::valueToText(a, value, 0x48000);
    x500::valueToText(b, other.value, 0x48000);
    a = foldWhite(a);
    b = foldWhite(b);
    if (cmp != nullptr) return cmp(a.c_str(), -1, b.c_str(), -1) == 0 ? 1 : 0;
    return a == b ? 1 : 0;
}

namespace {

// One UTF-8 sequence at p (n octets left): the code point, or -1 when invalid
// (continuation lead, 0xFE/0xFF, cut short, overlong, above 0xFFFF).
long decodeUtf8(const uint8_t* p, size_t n, size_t* used) {
    uint8_t c = p[0];
    if (c < 0x80) {
        *used = 1;
        return c;
    }
    int extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
    else if ((c & 0xFC) == 0xF8) { extra = 4; cp = c & 0x03; }
    else if ((c & 0xFE) == 0xFC) { extra = 5; cp = c & 0x01; }
    else return -1;
    if (static_cast<size_t>(extra) >= n) return -1;
    for (int i = 1; i <= extra; i++) {
        if ((p[i] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    uint32_t min = extra == 1 ? 0x80 : 0x800;
    if (cp < min || cp > 0xFFFF) return -1;
    *used = static_cast<size_t>(extra) + 1;
    return static_cast<long>(cp);
}

int asciiUpper(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

}  // namespace

int AttributeValue::compareTextCaseless(const char* a, int lenA, const char* b, int lenB) {
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    size_t na = textLength(a, lenA), nb = textLength(b, lenB);
    const uint8_t* pa = reinterpret_cast<const uint8_t*>(a);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(b);
    size_t ia = 0, ib = 0;
    while (ia < na && ib < nb) {
        size_t ua = 0, ub = 0;
        long ca = decodeUtf8(pa + ia, na - ia, &ua);
        long cb = decodeUtf8(pb + ib, nb - ib, &ub);
        if (ca < 0 || cb < 0) {
            // From the first invalid sequence on: octets, ASCII letters caseless.
            while (ia < na && ib < nb) {
                int x = asciiUpper(pa[ia]), y = asciiUpper(pb[ib]);
                if (x != y) return x - y;
                ia++;
                ib++;
            }
            return static_cast<int>(static_cast<long>(na - ia) - static_cast<long>(nb - ib));
        }
        long xa = static_cast<long>(std::towupper(static_cast<wint_t>(ca)));
        long xb = static_cast<long>(std::towupper(static_cast<wint_t>(cb)));
        if (xa != xb) return xa < xb ? -1 : 1;
        ia += ua;
        ib += ub;
    }
    if (ia < na) return 1;
    if (ib < nb) return -1;
    return 0;
}
