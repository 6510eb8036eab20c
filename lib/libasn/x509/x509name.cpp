// Distinguished names: text forms, lookup, insertion and comparison.
#include "lib/libasn/x509/x509name.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x500types.h"

namespace {

size_t textLength(const char* text, int len) {
    if (text == nullptr) return 0;
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

uint32_t parseValueFlags(uint32_t f) {
    uint32_t v = 0;
    if (f & 0x1) v |= 0x10;
    if (f & 0x2) v |= 0x60;
    if (f & 0x4) v |= 0x80;
    if (f & 0x8) v |= 0x100;
    if (f & 0x10) v |= 0x200;
    if (f & 0x20) v |= 0x1400;
    if (f & 0x40) v &= ~0x400u;
    if (f & 0x80) v |= 0x4000;
    if (!(f & 0x100)) v |= 0x2000;
    if (f & 0x20000) v |= 0x100000;
    if (f & 0x40000) v |= 0x40000;
    if (f & 0x80000) v |= 0x80000;
    if (f & 0x100000) v |= 0x400000;
    if (f & 0x200000) v |= 0x200000;
    if (f & 0x400000) v |= 0x10000000;
    if (f & 0x800000) v |= 0x8000000;
    if (f & 0x1000000) v |= 0x1000000;
    if (f & 0x2000000) v |= 0x2000000;
    if (f & 0x4000000) v |= 0x4000000;
    if (f & 0x8000000) v |= 0x20000000;
    if (f & 0x10000000) v |= 0x40000000;
    v |= (f & DNP_KEYWORDS) ? X500_STYLE_KEYWORD : X500_STYLE_NONE;
    return v;
}

std::string rdnSeparators(uint32_t f) {
    std::string s;
    if (f & 0x800) s += ',';
    if (f & 0x1000) s += ';';
    if (f & 0x4000) s += '\n';
    if (f & 0x8000) s += '|';
    if (f & 0x2000) s += '+';
    if (f & 0x10000) s += '/';
    return s;
}

const char* rdnSeparatorOut(uint32_t f) {
    switch (f & 0x3C0000) {
    case 0x40000: return " ";
    case 0x80000:
    case 0xC0000: return "\n";
    case 0x140000: return ", ";
    case 0x180000: return ",\n";
    case 0x200000: return ";";
    case 0x240000: return "; ";
    case 0x280000: return ";\n";
    case 0x300000: return "/";
    case 0x340000: return " /";
    case 0x380000: return "\n/";
    default: return ",";
    }
}

const char* valueSeparatorOut(uint32_t f) {
    switch (f & 0x3C40000) {
    case 0x400000: return "+";
    case 0x440000: return " + ";
    case 0x800000: return ",";
    case 0x840000: return ", ";
    case 0xC00000: return ";";
    case 0xC40000: return "; ";
    case 0x1000000: return "|";
    case 0x1040000: return " | ";
    case 0x1400000: return "/";
    case 0x1440000: return " /";
    case 0x2000000: return "\n";
    case 0x2400000: return "+\n";
    case 0x2800000: return ",\n";
    case 0x2C00000: return ";\n";
    case 0x3000000: return "|\n";
    case 0x3400000: return "\n/";
    default: return rdnSeparatorOut(f);
    }
}

uint32_t listValueFlags(uint32_t f) {
    switch (f & 0x1C040000) {
    case 0x4000000: return 0x40000;
    case 0x4040000: return 0x840000;
    case 0x8000000: return 0x80000;
    case 0x8040000: return 0x880000;
    case 0xC000000: return 0x200000;
    case 0xC040000: return 0xA00000;
    case 0x10000000: return 0x1000000;
    case 0x14000000: return 0x1040000;
    case 0x18000000: return 0x400000;
    case 0x18040000: return 0xC00000;
    case 0x1C000000: return 0x1FC0000;
    default: return 0;
    }
}

}  // namespace

DistinguishedName::DistinguishedName(uint32_t tag, const char* dnText, int textLen, bool forceUtf8,
                                     bool reverse)
    : ASNsequenceList<RDname>(tag) {
    if (dnText == nullptr || textLen < 1) return;
    uint32_t f = (forceUtf8 ? DNP_FORCE_UTF8 : 0) | (reverse ? DNP_REVERSE : 0);
    if (fromText(dnText, textLen, f) != 1)
        throw std::invalid_argument(std::string("DistinguishedName( tag, dnText ): Unconvertable DN text: ") +
                                    std::string(dnText, static_cast<size_t>(textLen)));
}

DistinguishedName::DistinguishedName(const char* dnText, int textLen, bool forceUtf8, bool reverse)
    : ASNsequenceList<RDname>(0x30) {
    if (dnText == nullptr || textLen < 1) return;
    uint32_t f = (forceUtf8 ? DNP_FORCE_UTF8 : 0) | (reverse ? DNP_REVERSE : 0);
    if (fromText(dnText, textLen, f) != 1)
        throw std::invalid_argument(std::string("DistinguishedName( dnText ): Unconvertable DN text: ") +
                                    std::string(dnText, static_cast<size_t>(textLen)));
}

DistinguishedName::DistinguishedName(const DistinguishedName& other) : ASNsequenceList<RDname>(other) {}

DistinguishedName::~DistinguishedName() {}

RDname* DistinguishedName::createElement() const { return new (std::nothrow) RDname(0x31); }

RDname* DistinguishedName::appendRdn() {
    RDname* r = new (std::nothrow) RDname(0x31);
    if (r == nullptr) return nullptr;
    POSITION pos = nullptr;
    try {
        pos = AddTail(r);
    } catch (const std::bad_alloc&) {
        pos = nullptr;
    }
    if (pos == nullptr) {
        delete r;
        return nullptr;
    }
    return r;
}

AttributeValue* DistinguishedName::finishRdn(RDname* rdn, AttributeValue* av) {
    if (av == nullptr) {
        // No value: the RDN just appended goes again, an empty SET is no RDN.
        RDname* last = RemoveTail();
        if (last == rdn) delete rdn;
    }
    return av;
}

int DistinguishedName::fromText(const char* text, int len, uint32_t parseFlags) {
    assertNotConst("x509name", __LINE__, "!( flags & ASN_FLAG_CONST )");
    clear();
    size_t n = textLength(text, len);
    if (n == 0) return 1;
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    const std::string seps = rdnSeparators(parseFlags);
    const uint32_t vflags = parseValueFlags(parseFlags);
    const bool forceUtf8 = (parseFlags & DNP_FORCE_UTF8) != 0;
    const char* p = text;
    const char* end = text + n;
    if (parseFlags & DNP_SEP_SLASH) {
        if (*p == '/') {
            if (n == 1) return 0;
            p++;
        }
    }
    while (p < end) {
        const char* eq = x500::findFirstOf(p, static_cast<int>(end - p), "=");
        if (eq == nullptr) return 0;
        // The RDN ends at the last separator before the next type name and its equals
        // sign; values may hold separators that no '=' follows. One pass from the
        // equals sign, with the quoting and escapes of the separator searches.
        const char* rdnEnd = end;
        if (!seps.empty()) {
            const char* lastSep = nullptr;
            bool quoted = false;
            for (const char* q = eq + 1; q < end; q++) {
                if (*q == '"' && (q == eq + 1 || q[-1] != '\\')) {
                    quoted = !quoted;
                    continue;
                }
                if (quoted) continue;
                if (*q == '\\') {
                    q++;
                    continue;
                }
                if (*q == '=' && lastSep != nullptr) {
                    rdnEnd = lastSep;
                    break;
                }
                if (*q != '\0' && seps.find(*q) != std::string::npos) lastSep = q;
            }
        }
        RDname* rdn = appendRdn();
        if (rdn == nullptr) return 0;
        if (rdn->parse(p, static_cast<int>(rdnEnd - p), forceUtf8, vflags) != 1) return 0;
        if (rdnEnd == end) break;
        p = rdnEnd + 1;
    }
    if (parseFlags & DNP_REVERSE) reverse();
    return 1;
}

int DistinguishedName::fromSimpleText(const char* text, int len, bool forceUtf8) {
    assertNotConst("x509name", __LINE__, "!( flags & ASN_FLAG_CONST )");
    size_t n = textLength(text, len);
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    if (n > 0) {
        const char* p = text;
        const char* end = text + n;
        for (;;) {
            const char* sep = x500::findSeparatorForward(p, static_cast<int>(end - p), ",;");
            const char* pe = sep != nullptr ? sep : end;
            // An RDN holds at least one value.
            if (pe == p) return 0;
            RDname* rdn = appendRdn();
            if (rdn == nullptr) return 0;
            if (rdn->parseSimple(p, static_cast<int>(pe - p), forceUtf8) != 1) return 0;
            if (sep == nullptr) break;
            p = sep + 1;
        }
    }
    reverse();
    return 1;
}

int DistinguishedName::toText(char* buf, uint32_t size, bool nulTerminate, uint32_t f) const {
    const uint32_t style = f & 15;
    const bool names = style != X500_STYLE_NONE;
    const bool rev = (f & DNF_REVERSE) != 0;
    size_t width = 0;
    std::string name, value;
    if ((f & DNF_ALIGN) && names) {
        POSITION pr = GetHeadPosition();
        while (pr != nullptr) {
            const RDname* r = GetNext(pr);
            POSITION pv = r->GetHeadPosition();
            while (pv != nullptr) {
                r->GetNext(pv)->getTypeName(name, style);
                width = std::max(width, name.size());
            }
        }
    }
    const char* rdnSep = rdnSeparatorOut(f);
    const char* valSep = valueSeparatorOut(f);
    const bool slash = std::strchr(rdnSep, '/') != nullptr;
    const uint32_t vflags = (f & 0x3FFF0) | listValueFlags(f);

    size_t total = 0, written = 0;
    bool fits = true;
    bool firstPiece = true;
    std::string piece;
    POSITION pr = rev ? GetTailPosition() : GetHeadPosition();
    while (pr != nullptr) {
        const RDname* r = rev ? GetPrev(pr) : GetNext(pr);
        POSITION pv = rev ? r->GetTailPosition() : r->GetHeadPosition();
        bool firstValue = true;
        while (pv != nullptr) {
            const AttributeValue* av = rev ? r->GetPrev(pv) : r->GetNext(pv);
            piece.clear();
            if (firstPiece) {
                if (slash) piece = "/";
            } else {
                piece = firstValue ? rdnSep : valSep;
            }
            firstPiece = false;
            firstValue = false;
            if (names) {
                av->getTypeName(name, style);
                piece += name;
                if (name.size() < width) piece.append(width - name.size(), ' ');
                piece += (f & 0x10000) ? " = " : "=";
            }
            x500::valueToText(value, av->value, vflags);
            piece += value;
            total += piece.size();
            if (total > static_cast<size_t>(INT_MAX) - 1) return INT_MIN + 1;
            if (buf != nullptr && fits) {
                if (written + piece.size() <= size) {
                    std::memcpy(buf + written, piece.data(), piece.size());
                    written += piece.size();
                } else {
                    fits = false;
                }
            }
        }
    }
    const int n = static_cast<int>(total);
    if (buf == nullptr) return n;
    if (!fits) return -n;
    if (nulTerminate) {
        if (written + 1 > size) return -n;
        buf[written] = '\0';
    }
    return n;
}

int DistinguishedName::toString(std::string& out, uint32_t f) const {
    char first[256];
    int n = toText(first, sizeof first, true, f);
    if (n >= 0) {
        out.assign(first, static_cast<size_t>(n));
        return n;
    }
    if (n == INT_MIN + 1) {
        out.clear();
        return 0;
    }
    std::vector<char> big(static_cast<size_t>(-n) + 1);
    n = toText(big.data(), static_cast<uint32_t>(big.size()), true, f);
    if (n < 0) {
        out.clear();
        return 0;
    }
    out.assign(big.data(), static_cast<size_t>(n));
    return n;
}

std::string DistinguishedName::toString(uint32_t f) const {
    std::string s;
    toString(s, f);
    return s;
}

char* DistinguishedName::toNewString(uint32_t f) const {
    int n = toText(nullptr, 0, true, f);
    if (n < 0) return nullptr;
    char* p = new (std::nothrow) char[static_cast<size_t>(n) + 1];
    if (p == nullptr) return nullptr;
    if (toText(p, static_cast<uint32_t>(n) + 1, true, f) != n) {
        delete[] p;
        return nullptr;
    }
    return p;
}

AttributeValue* DistinguishedName::findValue(const ASNobjectId& type, const AttributeValue* after) const {
    POSITION pr = GetHeadPosition();
    if (after != nullptr) {
        // Continue behind `after`: first in its own RDN, then in the RDNs that follow.
        while (pr != nullptr) {
            const RDname* r = GetNext(pr);
            if (r->Find(after) != nullptr) {
                AttributeValue* v = r->find(type, after);
                if (v != nullptr) return v;
                break;
            }
        }
        if (pr == nullptr) return nullptr;
    }
    while (pr != nullptr) {
        AttributeValue* v = GetNext(pr)->find(type, nullptr);
        if (v != nullptr) return v;
    }
    return nullptr;
}

AttributeValue* DistinguishedName::findValueByName(const char* typeName, const AttributeValue* after) const {
    if (typeName == nullptr) return nullptr;
    const X500AttributeType* t = x500::findByName(typeName, -1, X500_STYLE_ANY);
    if (t != nullptr) return findValue(*t->oid, after);
    ASNobjectId o;
    if (o.setText(typeName) != 1) return nullptr;
    return findValue(o, after);
}

AttributeValue* DistinguishedName::findValueById(uint32_t typeId, const AttributeValue* after) const {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return nullptr;
    return findValue(*t->oid, after);
}

#define MIRTAL_ADD_RDN(call)                 \
    RDname* rdn = appendRdn();               \
    if (rdn == nullptr) return nullptr;      \
    AttributeValue* av = nullptr;            \
    try {                                    \
        av = rdn->call;                      \
    } catch (...) {                          \
        finishRdn(rdn, nullptr);             \
        throw;                               \
    }                                        \
    return finishRdn(rdn, av);

AttributeValue* DistinguishedName::addRdn(const ASNobjectId& type, uint8_t tag, const void* data, long len) {
    MIRTAL_ADD_RDN(add(type, tag, data, len))
}
AttributeValue* DistinguishedName::addRdn(uint32_t typeId, uint8_t tag, const void* data, long len) {
    if (x500::findById(typeId) == nullptr) return nullptr;
    MIRTAL_ADD_RDN(add(typeId, tag, data, len))
}
AttributeValue* DistinguishedName::addRdn(const char* typeName, uint8_t tag, const void* data, long len) {
    MIRTAL_ADD_RDN(add(typeName, tag, data, len))
}
AttributeValue* DistinguishedName::addRdn(const ASNobjectId& type, const ASNany& value) {
    MIRTAL_ADD_RDN(add(type, static_cast<const ASNobject&>(value)))
}
AttributeValue* DistinguishedName::addRdn(uint32_t typeId, const ASNany& value) {
    if (x500::findById(typeId) == nullptr) return nullptr;
    MIRTAL_ADD_RDN(add(typeId, static_cast<const ASNobject&>(value)))
}
AttributeValue* DistinguishedName::addRdn(const char* typeName, const ASNany& value) {
    MIRTAL_ADD_RDN(add(typeName, static_cast<const ASNobject&>(value)))
}
AttributeValue* DistinguishedName::addRdn(const ASNobjectId& type, const char* text, int len) {
    MIRTAL_ADD_RDN(addText(type, text, len))
}
AttributeValue* DistinguishedName::addRdn(uint32_t typeId, const char* text, int len) {
    if (x500::findById(typeId) == nullptr) return nullptr;
    MIRTAL_ADD_RDN(addText(typeId, text, len))
}
AttributeValue* DistinguishedName::addRdn(const char* typeName, const char* text, int len) {
    MIRTAL_ADD_RDN(addText(typeName, text, len))
}

#undef MIRTAL_ADD_RDN

DistinguishedName& DistinguishedName::operator=(const DistinguishedName& other) {
    ASNsequenceList<RDname>::operator=(other);
    return *this;
}

void DistinguishedName::reverse() {
    POSITION a = GetHeadPosition();
    POSITION b = GetTailPosition();
    int n = GetCount();
    for (int i = 0; i < n / 2; i++) {
        RDname* x = GetAt(a);
        RDname* y = GetAt(b);
        SetAt(a, y);
        SetAt(b, x);
        GetNext(a);
        GetPrev(b);
    }
}

bool DistinguishedName::makeDER() {
    bool ok = true;
    POSITION pos = GetHeadPosition();
    while (pos != nullptr)
        if (GetNext(pos)->makeDER() != 1) ok = false;
    return ok;
}

int DistinguishedName::isEqual(const DistinguishedName& other) const {
    if (GetCount() != other.GetCount()) return 0;
    DistinguishedName a(0x30), b(0x30);
    a = *this;
    b = other;
    a.makeDER();
    b.makeDER();
    POSITION pa = a.GetHeadPosition(), pb = b.GetHeadPosition();
    while (pa != nullptr && pb != nullptr)
        if (!a.GetNext(pa)->isEqual(*b.GetNext(pb))) return 0;
    return 1;
}

int DistinguishedName::isEquivalent(const DistinguishedName& other, X500Comparator cmp) const {
    if (GetCount() != other.GetCount()) return 0;
    DistinguishedName a(0x30), b(0x30);
    a = *this;
    b = other;
    a.makeDER();
    b.makeDER();
    POSITION pa = a.GetHeadPosition(), pb = b.GetHeadPosition();
    while (pa != nullptr && pb != nullptr)
        if (a.GetNext(pa)->isEquivalent(*b.GetNext(pb), cmp) != 1) return 0;
    return 1;
}
