// RelativeDistinguishedName: lookup, insertion, text and comparison.
#include "lib/libasn/x509/rdname.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x500types.h"

namespace {

size_t textLength(const char* text, int len) {
    if (text == nullptr) return 0;
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

bool resolveName(const char* typeName, ASNobjectId& out) {
    if (typeName == nullptr) return false;
    const X500AttributeType* t = x500::findByName(typeName, -1, X500_STYLE_ANY);
    if (t != nullptr) {
        out = *t->oid;
        return true;
    }
    return out.setText(typeName) == 1;
}

// The AVA separator characters an RDN parse takes from its flags.
std::string avaSeparators(uint32_t flags) {
    std::string s;
    if (flags & 0x40000) s += ',';
    if (flags & 0x80000) s += ';';
    if (flags & 0x400000) s += '\n';
    if (flags & 0x200000) s += '|';
    if (flags & 0x100000) s += '+';
    return s;
}

struct Encoded {
    const AttributeValue* element;
    std::vector<uint8_t> der;
};

// The elements with their encodings, in DER set order (values as they are).
bool sortedEncodings(const RDname& set, std::vector<Encoded>& out) {
    out.clear();
    POSITION pos = set.GetHeadPosition();
    while (pos != nullptr) {
        const AttributeValue* e = set.GetNext(pos);
        Encoded rec{e, {}};
        if (e->encodeToVector(rec.der) < 1) return false;
        out.push_back(std::move(rec));
    }
    std::stable_sort(out.begin(), out.end(), [](const Encoded& a, const Encoded& b) {
        return asnCompareSetEncodings(a.der.data(), static_cast<long>(a.der.size()), b.der.data(),
                                      static_cast<long>(b.der.size())) < 0;
    });
    return true;
}

}  // namespace

RDname::RDname(uint32_t tag) : ASNsetList<AttributeValue>(tag) { flags |= ASN_FLAG_CONSTR; }

RDname::RDname(const RDname& other) : ASNsetList<AttributeValue>(other) {}

RDname::~RDname() {}

AttributeValue* RDname::createElement() const { return new (std::nothrow) AttributeValue(0x30); }

int RDname::canonicalizeElement(AttributeValue* e) { return e->canonicalize(); }

POSITION RDname::getPositionAt(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return FindIndex(index);
}

AttributeValue* RDname::find(const ASNobjectId& type, const AttributeValue* after) const {
    POSITION pos = GetHeadPosition();
    if (after != nullptr) {
        bool found = false;
        while (pos != nullptr) {
            if (GetNext(pos) == after) {
                found = true;
                break;
            }
        }
        if (!found) return nullptr;
    }
    while (pos != nullptr) {
        AttributeValue* e = GetNext(pos);
        if (e->type == type) return e;
    }
    return nullptr;
}

AttributeValue* RDname::find(const char* typeName, const AttributeValue* after) const {
    ASNobjectId t;
    if (!resolveName(typeName, t)) return nullptr;
    return find(t, after);
}

AttributeValue* RDname::find(uint32_t typeId, const AttributeValue* after) const {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return nullptr;
    return find(*t->oid, after);
}

AttributeValue* RDname::adopt(AttributeValue* e) {
    if (add(e) == nullptr) {
        delete e;
        return nullptr;
    }
    return e;
}

AttributeValue* RDname::add(const ASNobjectId& type, uint8_t valueTag, const void* octets, long len) {
    AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
    if (e == nullptr) return nullptr;
    try {
        if (e->setRaw(type, valueTag, octets, len) != 1) {
            delete e;
            return nullptr;
        }
    } catch (...) {
        delete e;
        throw;
    }
    return adopt(e);
}

AttributeValue* RDname::add(const char* typeName, uint8_t valueTag, const void* octets, long len) {
    ASNobjectId t;
    if (!resolveName(typeName, t)) return nullptr;
    return add(t, valueTag, octets, len);
}

AttributeValue* RDname::add(uint32_t typeId, uint8_t valueTag, const void* octets, long len) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return nullptr;
    return add(*t->oid, valueTag, octets, len);
}

AttributeValue* RDname::add(const ASNobjectId& type, const ASNobject& obj) {
    AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
    if (e == nullptr) return nullptr;
    try {
        ASNany v(TAG_ANY);
        v = obj;
        if (e->set(type, v) != 1) {
            delete e;
            return nullptr;
        }
    } catch (...) {
        delete e;
        throw;
    }
    return adopt(e);
}

AttributeValue* RDname::add(const char* typeName, const ASNobject& obj) {
    ASNobjectId t;
    if (!resolveName(typeName, t)) return nullptr;
    return add(t, obj);
}

AttributeValue* RDname::add(uint32_t typeId, const ASNobject& obj) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return nullptr;
    return add(*t->oid, obj);
}

AttributeValue* RDname::addText(const ASNobjectId& type, const char* text, int len) {
    AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
    if (e == nullptr) return nullptr;
    try {
        if (e->setFromText(type, text, len, true) != 1) {
            delete e;
            return nullptr;
        }
    } catch (...) {
        delete e;
        throw;
    }
    return adopt(e);
}

AttributeValue* RDname::addText(const char* typeName, const char* text, int len) {
    ASNobjectId t;
    if (!resolveName(typeName, t)) return nullptr;
    return addText(t, text, len);
}

AttributeValue* RDname::addText(uint32_t typeId, const char* text, int len) {
    const X500AttributeType* t = x500::findById(typeId);
    if (t == nullptr) return nullptr;
    return addText(*t->oid, text, len);
}

uint32_t RDname::translateValueFlags(uint32_t flags) {
    uint32_t v = flags & 0x3FFFF;
    if (flags & 0x2000000) v |= 0x40000;
    if (flags & 0x4000000) v |= 0x80000;
    if (flags & 0x8000000) v |= 0x300000;
    if (flags & 0x10000000) v |= 0x400000;
    if (flags & 0x20000000) v |= 0x1000000;
    if (flags & 0x40000000) v |= 0x2000000;
    return v;
}

AttributeValue* RDname::addFromText(const char* text, int len, bool forceUtf8, uint32_t flags) {
    AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
    if (e == nullptr) return nullptr;
    try {
        if (x500::fromText(*e, text, len, forceUtf8, translateValueFlags(flags)) != 1) {
            delete e;
            return nullptr;
        }
    } catch (...) {
        delete e;
        throw;
    }
    return adopt(e);
}

int RDname::parseSimple(const char* text, int len, bool forceUtf8) {
    size_t n = textLength(text, len);
    if (n == 0) return 1;
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    const char* p = text;
    const char* end = text + n;
    for (;;) {
        const char* sep = x500::findSeparatorForward(p, static_cast<int>(end - p), "+");
        const char* pe = sep != nullptr ? sep : end;
        AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
        if (e == nullptr) return 0;
        int r;
        try {
            r = x500::fromAvaText(*e, p, static_cast<int>(pe - p), forceUtf8, true);
        } catch (...) {
            delete e;
            throw;
        }
        if (r != 1 || adopt(e) == nullptr) {
            if (r != 1) delete e;
            return 0;
        }
        if (sep == nullptr) return 1;
        p = sep + 1;
    }
}

int RDname::parse(const char* text, int len, bool forceUtf8, uint32_t flags) {
    clear();
    size_t n = textLength(text, len);
    if (n == 0) return 1;
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    const std::string seps = avaSeparators(flags);
    const uint32_t vflags = translateValueFlags(flags);
    const char* p = text;
    const char* end = text + n;
    while (p < end) {
        const char* eq = x500::findFirstOf(p, static_cast<int>(end - p), "=");
        if (eq == nullptr) return 0;
        const char* avaEnd = end;
        const char* next = x500::findSeparatorForward(eq + 1, static_cast<int>(end - eq - 1), "=");
        if (next != nullptr && !seps.empty()) {
            const char* sep = x500::findSeparatorBackward(eq + 1, static_cast<int>(next - eq - 1), seps.c_str());
            if (sep != nullptr) avaEnd = sep;
        }
        AttributeValue* e = new (std::nothrow) AttributeValue(0x30);
        if (e == nullptr) return 0;
        int r;
        try {
            r = x500::fromText(*e, p, static_cast<int>(avaEnd - p), forceUtf8, vflags);
        } catch (...) {
            delete e;
            throw;
        }
        if (r != 1) {
            delete e;
            return 0;
        }
        if (adopt(e) == nullptr) return 0;
        if (avaEnd == end) break;
        p = avaEnd + 1;
    }
    return 1;
}

int RDname::toText(std::string& out, uint32_t flags) const {
    out.clear();
    const uint32_t style = flags & 15;
    const uint32_t vflags = translateValueFlags(flags) & ~0xFu;
    size_t width = 0;
    if ((flags & 0x80000000u) && style != X500_STYLE_NONE) {
        POSITION pos = GetHeadPosition();
        std::string name;
        while (pos != nullptr) {
            GetNext(pos)->getTypeName(name, style);
            width = std::max(width, name.size());
        }
    }
    POSITION pos = GetHeadPosition();
    bool first = true;
    std::string name, value;
    while (pos != nullptr) {
        const AttributeValue* e = GetNext(pos);
        if (!first) out += '+';
        first = false;
        if (style != X500_STYLE_NONE) {
            e->getTypeName(name, style);
            out += name;
            if (name.size() < width) out.append(width - name.size(), ' ');
            out += (flags & 0x10000) ? " = " : "=";
        }
        x500::valueToText(value, e->value, vflags);
        out += value;
    }
    return out.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out.size());
}

int RDname::toText(char* buf, uint32_t size, bool nulTerminate, uint32_t flags) const {
    std::string s;
    toText(s, flags);
    return x500::deliverText(s, buf, size, nulTerminate);
}

RDname& RDname::operator=(const RDname& other) {
    ASNsetList<AttributeValue>::operator=(other);
    return *this;
}

bool RDname::isEqual(const RDname& other) const { return sameElements(other); }

int RDname::isEquivalent(const RDname& other, X500Comparator cmp) const {
    if (GetCount() != other.GetCount()) return 0;
    std::vector<Encoded> a, b;
    if (!sortedEncodings(*this, a) || !sortedEncodings(other, b)) return 0;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].element->isEquivalent(*b[i].element, cmp) != 1) return 0;
    return 1;
}
