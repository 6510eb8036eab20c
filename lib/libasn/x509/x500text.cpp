// Attribute values as text and back.
#include "lib/libasn/x509/x500text.h"

#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/x509/x500types.h"
#include "support/memfile.h"
#include "support/textutil.h"

namespace {

// Nesting of list and constructed-string values rendered before the hex form takes over.
constexpr int kMaxRenderDepth = 16;

const char kHexDigits[] = "0123456789ABCDEF";

size_t textLength(const char* text, int len) {
    if (text == nullptr) return 0;
    return len < 0 ? std::strlen(text) : static_cast<size_t>(len);
}

bool isWhite(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

bool inSet(const char* set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

void appendHexOctet(std::string& out, uint8_t b) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
}

void hexForm(const uint8_t* p, size_t n, uint32_t flags, std::string& out) {
    if (!(flags & X500F_HEX_BARE)) out += '#';
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && (flags & X500F_HEX_BLANKS)) out += ' ';
        appendHexOctet(out, p[i]);
    }
}

bool wholeEncoding(const ASNany& v, std::vector<uint8_t>& enc) {
    enc.clear();
    return v.encodeToVector(enc) > 0;
}

void hexOfWhole(const ASNany& v, uint32_t flags, std::string& out) {
    std::vector<uint8_t> enc;
    wholeEncoding(v, enc);
    hexForm(enc.data(), enc.size(), flags, out);
}

// The selected octets in hex form: the whole encoding with 0x400.
void hexOfSelected(const ASNany& v, const uint8_t* p, size_t n, uint32_t flags, std::string& out) {
    if (flags & X500F_HEX_WHOLE)
        hexOfWhole(v, flags, out);
    else
        hexForm(p, n, flags, out);
}

bool specialOnOutput(const uint8_t* p, size_t n, size_t i) {
    uint8_t c = p[i];
    switch (c) {
    case '"': case '+': case ',': case ';': case '<': case '>': case '\\':
        return true;
    case '#':
        return i == 0;
    case ' ':
        return i == 0 || i + 1 == n;
    default:
        return false;
    }
}

// The character rules, octet by octet.
void renderChars(const uint8_t* p, size_t n, uint32_t flags, std::string& out) {
    std::string s;
    bool quote = false;
    for (size_t i = 0; i < n; i++) {
        uint8_t c = p[i];
        if ((flags & X500F_FOLD_SPACE) && c <= 0x20) {
            if (i == 0 || p[i - 1] > 0x20) s += ' ';
            continue;
        }
        if ((flags & X500F_HEX_X) && (c < 0x20 || c > 0x7E)) {
            if ((flags & X500F_HEX_HIGH) && c >= 0x80) {
                s += static_cast<char>(c);
            } else {
                s += "\\x";
                appendHexOctet(s, c);
            }
            continue;
        }
        if ((flags & X500F_ESCAPE) && specialOnOutput(p, n, i)) {
            if (flags & X500F_QUOTE) {
                // Inside double quotes only the quote and the backslash need escaping.
                if (c == '"' || c == '\\') s += '\\';
                s += static_cast<char>(c);
                quote = true;
            } else {
                s += '\\';
                s += static_cast<char>(c);
            }
            continue;
        }
        if ((flags & X500F_HEX_CTRL) && (c < 0x20 || c == 0x7F)) {
            s += '\\';
            appendHexOctet(s, c);
            continue;
        }
        if ((flags & X500F_HEX_HIGH) && c >= 0x80) {
            s += '\\';
            appendHexOctet(s, c);
            continue;
        }
        s += static_cast<char>(c);
    }
    if (quote) {
        out += '"';
        out += s;
        out += '"';
    } else {
        out += s;
    }
}

// Reads one TLV header at p (n octets): tag, header length and contents length; false
// when malformed or not within n. Indefinite lengths are refused.
bool parseHeader(const uint8_t* p, size_t n, uint8_t* tag, size_t* hdr, size_t* len) {
    if (n < 2) return false;
    *tag = p[0];
    if ((p[0] & 0x1F) == 0x1F) return false;
    size_t i = 1;
    uint8_t l = p[i++];
    size_t v = 0;
    if (l < 0x80) {
        v = l;
    } else {
        int k = l & 0x7F;
        if (k == 0 || k > 4 || i + static_cast<size_t>(k) > n) return false;
        for (int j = 0; j < k; j++) v = (v << 8) | p[i++];
    }
    if (v > n - i) return false;
    *hdr = i;
    *len = v;
    return true;
}

// Concatenates the primitive pieces of a constructed string.
bool flattenConstructed(const uint8_t* p, size_t n, std::string& out, int depth) {
    if (depth > kMaxRenderDepth) return false;
    size_t at = 0;
    while (at < n) {
        uint8_t t;
        size_t hdr, len;
        if (!parseHeader(p + at, n - at, &t, &hdr, &len)) return false;
        if (t & ASN_CONSTRUCTED) {
            if (!flattenConstructed(p + at + hdr, len, out, depth + 1)) return false;
        } else {
            out.append(reinterpret_cast<const char*>(p + at + hdr), len);
        }
        at += hdr + len;
    }
    return true;
}

// The elements of a SEQUENCE or SET value; false when the contents do not decode.
bool splitElements(const uint8_t* p, long n, std::vector<ASNany>& out) {
    out.clear();
    if (n <= 0) return true;
    MemFile mf(p, static_cast<size_t>(n), false);
    long at = 0;
    while (at < n) {
        ASNany e(TAG_ANY);
        long r = e.read(&mf, n - at);
        if (r < 1) return false;
        at += r;
        out.push_back(e);
    }
    return at == n;
}

const char* listSeparatorOut(uint32_t bits) {
    switch (bits) {
    case 0x40000: return ",";
    case 0x80000: return ";";
    case 0x100000: return "+";
    case 0x200000: return "|";
    case 0x400000: return "$";
    case 0x800000: return " ";
    case 0x1000000: return "\n";
    case 0x840000: return ", ";
    case 0x880000: return "; ";
    case 0x900000: return " + ";
    case 0xA00000: return " | ";
    case 0xC00000: return " $ ";
    case 0x1040000: return ",\n";
    case 0x1080000: return ";\n";
    default: return "";
    }
}

void render(const ASNany& v, uint32_t flags, std::string& out, int depth) {
    const uint8_t* d = v.getData();
    size_t n = static_cast<size_t>(v.getLength());
    if (flags & X500F_HEX_ALL) {
        hexOfSelected(v, d, n, flags, out);
        return;
    }
    const bool constructed = (v.tag & ASN_CONSTRUCTED) != 0 && v.tag != TAG_ANY;
    const uint8_t t = static_cast<uint8_t>(v.tag & ~ASN_CONSTRUCTED);
    switch (t) {
    case X500_TAG_BIT_STRING: {
        ASNbitstr b;
        if (constructed || b.assign(v) != 1) {
            hexOfSelected(v, d, n, flags, out);
            return;
        }
        const uint8_t* bits = b.getBits();
        size_t bn = static_cast<size_t>(b.getByteLength());
        if (flags & X500F_HEX_BINARY)
            hexOfSelected(v, bits, bn, flags, out);
        else
            renderChars(bits, bn, flags, out);
        return;
    }
    case X500_TAG_OCTET_STRING:
    case X500_TAG_UTF8:
    case X500_TAG_NUMERIC:
    case X500_TAG_PRINTABLE:
    case X500_TAG_T61:
    case X500_TAG_IA5:
    case X500_TAG_VISIBLE:
    case X500_TAG_UNIVERSAL:
    case X500_TAG_BMP: {
        std::string octets;
        if (constructed) {
            if (depth > kMaxRenderDepth || !flattenConstructed(d, n, octets, depth + 1)) {
                hexOfWhole(v, flags, out);
                return;
            }
        } else if (n > 0) {
            octets.assign(reinterpret_cast<const char*>(d), n);
        }
        const uint8_t* p = reinterpret_cast<const uint8_t*>(octets.data());
        if (t == X500_TAG_OCTET_STRING && (flags & X500F_HEX_BINARY)) {
            hexOfSelected(v, p, octets.size(), flags, out);
            return;
        }
        if (t == X500_TAG_BMP || t == X500_TAG_UNIVERSAL) {
            std::string u;
            bool ok = t == X500_TAG_BMP ? x500::bmpToUtf8(p, static_cast<long>(octets.size()), u)
                                        : x500::universalToUtf8(p, static_cast<long>(octets.size()), u);
            if (!ok) {
                hexOfSelected(v, p, octets.size(), flags, out);
                return;
            }
            renderChars(reinterpret_cast<const uint8_t*>(u.data()), u.size(), flags, out);
            return;
        }
        renderChars(p, octets.size(), flags, out);
        return;
    }
    case 0x10:
    case 0x11: {
        if (flags & X500F_HEX_BINARY) {
            hexOfWhole(v, flags, out);
            return;
        }
        std::vector<ASNany> elems;
        if (depth > kMaxRenderDepth || !splitElements(d, static_cast<long>(n), elems)) {
            hexForm(d, n, flags, out);
            return;
        }
        uint32_t sep = flags & X500F_LIST_MASK;
        if (sep == X500F_LIST_MASK) {
            hexOfSelected(v, d, n, flags, out);
            return;
        }
        if (sep == 0) {
            std::vector<uint8_t> enc;
            wholeEncoding(v, enc);
            renderChars(enc.data(), enc.size(), flags, out);
            return;
        }
        const char* s = listSeparatorOut(sep);
        for (size_t i = 0; i < elems.size(); i++) {
            if (i > 0) out += s;
            render(elems[i], flags, out, depth + 1);
        }
        return;
    }
    default:
        if (constructed) {
            hexOfWhole(v, flags, out);
        } else if (flags & X500F_HEX_BINARY) {
            hexOfSelected(v, d, n, flags, out);
        } else {
            renderChars(d, n, flags, out);
        }
        return;
    }
}

std::string trimmed(const char* text, size_t n, bool keepEscaped) {
    size_t b = 0, e = n;
    while (b < e && isWhite(static_cast<unsigned char>(text[b]))) b++;
    while (e > b && isWhite(static_cast<unsigned char>(text[e - 1]))) {
        if (keepEscaped && e - 1 > b && text[e - 2] == '\\') break;
        e--;
    }
    return std::string(text + b, e - b);
}

// A dotted OID from a name: '.' only when strict, else the default separators.
bool oidFromName(const std::string& name, ASNobjectId& out, bool dotsOnly) {
    if (name.empty() || name.find('\0') != std::string::npos) return false;
    return out.setText(name.c_str(), dotsOnly ? "." : nullptr) == 1;
}

// Decodes octets as one complete BER TLV; true when every octet is used.
bool decodeWhole(const std::string& octets, ASNany& out) {
    if (octets.size() < 2) return false;
    ASNany v(TAG_ANY);
    long r = v.readBuffer(octets.data(), static_cast<long>(octets.size()));
    if (r != static_cast<long>(octets.size())) return false;
    out = v;
    return true;
}

// A hex form's BER value is taken only when a string in it fits its type.
int setDecoded(AttributeValue& av, const ASNobjectId& type, const ASNany& v) {
    if (x500::checkStringContents(v) == 0) return 0;
    return av.set(type, v);
}

bool isHexDigit(char c) { return HexDigitValue(static_cast<unsigned char>(c)) >= 0; }

}  // namespace

namespace x500 {

int deliverText(const std::string& text, char* buf, uint32_t size, bool nulTerminate) {
    if (text.size() > static_cast<size_t>(INT_MAX) - 1) return INT_MIN + 1;
    int n = static_cast<int>(text.size());
    if (buf == nullptr) return n;
    size_t need = text.size() + (nulTerminate ? 1 : 0);
    if (need > size) return -n;
    if (n > 0) std::memcpy(buf, text.data(), text.size());
    if (nulTerminate) buf[n] = '\0';
    return n;
}

char* newTextCopy(const std::string& text) {
    char* p = new (std::nothrow) char[text.size() + 1];
    if (p == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

int valueToText(std::string& out, const ASNany& value, uint32_t flags) {
    out.clear();
    render(value, flags, out, 0);
    return out.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(out.size());
}

int valueToText(std::string& out, const AttributeValue& av, uint32_t flags) {
    return valueToText(out, av.value, flags);
}

int valueToText(const ASNany& value, char* buf, uint32_t size, bool nulTerminate, uint32_t flags) {
    std::string s;
    valueToText(s, value, flags);
    return deliverText(s, buf, size, nulTerminate);
}

int valueToText(const AttributeValue& av, char* buf, uint32_t size, bool nulTerminate, uint32_t flags) {
    return valueToText(av.value, buf, size, nulTerminate, flags);
}

char* valueToNewText(const ASNany& value, uint32_t flags) {
    std::string s;
    valueToText(s, value, flags);
    return newTextCopy(s);
}

namespace {

void appendEquals(std::string& out, uint32_t flags) { out += (flags & X500F_SPACED_EQUALS) ? " = " : "="; }

}  // namespace

int avaToText(std::string& out, const char* typeName, const ASNany& value, uint32_t flags) {
    out.clear();
    int style = static_cast<int>(flags & X500F_STYLE_MASK);
    if (style != X500_STYLE_NONE) {
        std::string name = typeName != nullptr ? typeName : "";
        if (style != X500_STYLE_CALLER && typeName != nullptr) {
            const X500AttributeType* t = findByName(typeName, -1, X500_STYLE_ANY);
            if (t != nullptr) {
                const char* n = nameOf(t, style);
                name = n != nullptr ? n : t->oidText;
            }
        }
        out = name;
        appendEquals(out, flags);
    }
    std::string v;
    valueToText(v, value, flags);
    out += v;
    return static_cast<int>(out.size());
}

int avaToText(const char* typeName, const ASNany& value, char* buf, uint32_t size, bool nulTerminate,
              uint32_t flags) {
    std::string s;
    avaToText(s, typeName, value, flags);
    return deliverText(s, buf, size, nulTerminate);
}

int avaToTextByOid(std::string& out, const ASNobjectId& type, const ASNany& value, uint32_t flags) {
    out.clear();
    int style = static_cast<int>(flags & X500F_STYLE_MASK);
    if (style != X500_STYLE_NONE) {
        const char* n = nameOf(findByOid(type), style);
        if (n != nullptr)
            out = n;
        else
            type.getText(out);
        appendEquals(out, flags);
    }
    std::string v;
    valueToText(v, value, flags);
    out += v;
    return static_cast<int>(out.size());
}

int avaToTextByOid(const ASNobjectId& type, const ASNany& value, char* buf, uint32_t size,
                   bool nulTerminate, uint32_t flags) {
    std::string s;
    avaToTextByOid(s, type, value, flags);
    return deliverText(s, buf, size, nulTerminate);
}

int avaToTextById(uint32_t typeId, const ASNany& value, char* buf, uint32_t size, bool nulTerminate,
                  uint32_t flags) {
    const X500AttributeType* t = findById(typeId);
    if (t == nullptr) {
        if (buf != nullptr && nulTerminate && size > 0) buf[0] = '\0';
        return 0;
    }
    return avaToTextByOid(*t->oid, value, buf, size, nulTerminate, flags);
}

int avaToText(const AttributeValue& av, char* buf, uint32_t size, bool nulTerminate, uint32_t flags) {
    return avaToTextByOid(av.type, av.value, buf, size, nulTerminate, flags);
}

int avaToText(std::string& out, const AttributeValue& av, uint32_t flags) {
    return avaToTextByOid(out, av.type, av.value, flags);
}

char* avaToNewText(const AttributeValue& av, uint32_t flags) {
    std::string s;
    avaToText(s, av, flags);
    return newTextCopy(s);
}

int hexDump(const ASNany& value, char* buf, uint32_t* len) {
    if (len == nullptr) return 2;
    std::string s;
    valueToText(s, value, 0x1FC6800);
    if (buf == nullptr || s.size() + 1 > *len) {
        *len = static_cast<uint32_t>(s.size() + 1);
        return 2;
    }
    deliverText(s, buf, *len, true);
    return s.size() + 1 == 3 * static_cast<size_t>(value.getLength()) ? 1 : 0;
}

int unescapeValue(std::string& out, const char* text, int len, uint32_t flags) {
    out.clear();
    if (text == nullptr) return len <= 0 ? 1 : 0;
    std::string s = trimmed(text, textLength(text, len), (flags & X500F_ESCAPE) != 0);
    bool quoted = false;
    if ((flags & X500F_QUOTE) && s.size() >= 2 && s.front() == '"' && s.back() == '"') {
        s = s.substr(1, s.size() - 2);
        quoted = true;
    }
    if (s.empty()) return 1;
    if ((flags & (X500F_HEX_WHOLE | X500F_HEX_BINARY | X500F_HEX_ALL)) && s[0] == '#' && !quoted) {
        size_t digits = 0;
        for (size_t i = 1; i < s.size(); i++) {
            if (isWhite(static_cast<unsigned char>(s[i]))) {
                if (!(flags & X500F_HEX_BLANKS)) return 0;
                continue;
            }
            if (!isHexDigit(s[i])) return 0;
            digits++;
        }
        if (digits == 0 || digits % 2 != 0) return 0;
        std::vector<uint8_t> bin(digits / 2);
        int r = HexToBin(s.c_str() + 1, static_cast<int>(s.size() - 1), bin.data(), bin.size());
        if (r != static_cast<int>(bin.size())) return 0;
        out.assign(reinterpret_cast<const char*>(bin.data()), bin.size());
        return 2;
    }
    if ((flags & X500F_HEX_BARE) && !quoted) {
        // A bare hex form: hex digits only (blanks between octets with 0x2000),
        // an even number of them.
        size_t digits = 0;
        bool ok = true;
        for (char c : s) {
            if (c == ' ' && (flags & X500F_HEX_BLANKS)) continue;
            if (!isHexDigit(c)) {
                ok = false;
                break;
            }
            digits++;
        }
        if (ok && digits >= 2 && digits % 2 == 0) {
            std::vector<uint8_t> bin(digits / 2);
            int r = HexToBin(s.c_str(), static_cast<int>(s.size()), bin.data(), bin.size());
            if (r == static_cast<int>(bin.size())) {
                out.assign(reinterpret_cast<const char*>(bin.data()), bin.size());
                return 2;
            }
        }
    }
    const size_t n = s.size();
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if ((flags & X500F_QUOTE) && !quoted && inSet("\"#+,;<=>", c)) {
            out.clear();
            return 0;
        }
        if (c == '\\') {
            if ((flags & (X500F_HEX_CTRL | X500F_HEX_HIGH)) && i + 2 < n && isHexDigit(s[i + 1]) &&
                isHexDigit(s[i + 2])) {
                out += static_cast<char>(HexDigitValue(static_cast<unsigned char>(s[i + 1])) * 16 +
                                         HexDigitValue(static_cast<unsigned char>(s[i + 2])));
                i += 2;
                continue;
            }
            if ((flags & X500F_HEX_X) && i + 3 < n && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
                isHexDigit(s[i + 2]) && isHexDigit(s[i + 3])) {
                out += static_cast<char>(HexDigitValue(static_cast<unsigned char>(s[i + 2])) * 16 +
                                         HexDigitValue(static_cast<unsigned char>(s[i + 3])));
                i += 3;
                continue;
            }
            // An escaped blank is a blank (output escapes leading and trailing blanks).
            if ((flags & X500F_ESCAPE) && i + 1 < n && inSet("\"#+,;<=>\\ ", s[i + 1])) {
                out += s[i + 1];
                i += 1;
                continue;
            }
            out += '\\';
            continue;
        }
        out += c;
    }
    return 1;
}

int unescapeValueDefault(std::string& out, const char* text, int len) {
    return unescapeValue(out, text, len, 0x570);
}

int splitTypeAndValue(std::string& name, std::string& value, const char* text, int len) {
    name.clear();
    value.clear();
    if (text == nullptr) return 0;
    std::string s = trimmed(text, textLength(text, len), true);
    size_t eq = s.find('=');
    if (eq == std::string::npos) return 0;
    int r = unescapeValueDefault(value, s.data() + eq + 1, static_cast<int>(s.size() - eq - 1));
    if (r == 0) return 0;
    name = trimmed(s.data(), eq, false);
    if (name.empty()) return 0;
    if (name.size() > 4 && sameName("oid.", name.c_str(), 4)) name = name.substr(4);
    return r;
}

int fromAvaText(AttributeValue& av, const char* text, int len, bool forceUtf8, bool strict) {
    std::string name, value;
    int r = splitTypeAndValue(name, value, text, len);
    if (r == 0) return 0;
    ASNobjectId type;
    const X500AttributeType* t;
    if (!strict) {
        t = findByName(name.c_str(), static_cast<int>(name.size()), X500_STYLE_ANY);
        if (t != nullptr)
            type = *t->oid;
        else if (!oidFromName(name, type, false))
            return 0;
    } else {
        t = findByName(name.c_str(), static_cast<int>(name.size()), X500_STYLE_KEYWORD);
        if (t == nullptr) t = findByOidText(name.c_str(), static_cast<int>(name.size()));
        if (t != nullptr)
            type = *t->oid;
        else if (!oidFromName(name, type, true))
            return 0;
    }
    if (r == 2) {
        ASNany v(TAG_ANY);
        if (decodeWhole(value, v)) return setDecoded(av, type, v);
        if (strict) return 0;
    }
    uint32_t syntax = syntaxOf(findByOid(type));
    if (syntax == X500_SYNTAX_NONE) syntax = X500_SYNTAX_DIRECTORY;
    if (syntax == X500_SYNTAX_LIST) {
        if (!strict) {
            X500ValueList list;
            if (parseList(list, value.data(), static_cast<int>(value.size()), forceUtf8, 0x1240000) == 1) {
                ASNany v(TAG_ANY);
                v = static_cast<const ASNobject&>(list);
                return av.set(type, v);
            }
        }
        syntax = X500_SYNTAX_DIRECTORY;
    }
    int tag = chooseStringTag(syntax, value.data(), static_cast<int>(value.size()), forceUtf8, true);
    if (tag == 0) return 0;
    return av.setRaw(type, static_cast<uint8_t>(tag), value.data(), static_cast<long>(value.size()));
}

std::string listSeparatorChars(uint32_t flags) {
    std::string s;
    if (flags & 0x40000) s += ',';
    if (flags & 0x80000) s += ';';
    if (flags & 0x100000) s += '+';
    if (flags & 0x200000) s += '|';
    if (flags & 0x400000) s += '$';
    if (flags & 0x1000000) s += '\n';
    return s;
}

int fromText(AttributeValue& av, const char* text, int len, bool forceUtf8, uint32_t flags) {
    if (text == nullptr) return 0;
    size_t n = textLength(text, len);
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    const char* eq = static_cast<const char*>(std::memchr(text, '=', n));
    if (eq == nullptr) return 0;
    std::string name = trimmed(text, static_cast<size_t>(eq - text), false);
    int style = static_cast<int>(flags & X500F_STYLE_MASK);
    const X500AttributeType* t =
        findByName(name.c_str(), static_cast<int>(name.size()), style == X500_STYLE_NONE ? X500_STYLE_ANY : style);
    ASNobjectId type;
    if (t != nullptr) {
        type = *t->oid;
    } else {
        if (name.size() > 4 && sameName("oid:", name.c_str(), 4)) {
            size_t k = 4;
            while (k < name.size() && isWhite(static_cast<unsigned char>(name[k]))) k++;
            name = name.substr(k);
        }
        if (!oidFromName(name, type, style == X500_STYLE_KEYWORD)) return 0;
    }
    const char* vb = eq + 1;
    const char* end = text + n;
    while (vb < end && isWhite(static_cast<unsigned char>(*vb))) vb++;
    int vlen = static_cast<int>(end - vb);
    uint32_t syntax = syntaxOf(findByOid(type));
    if (syntax == X500_SYNTAX_NONE) syntax = X500_SYNTAX_DIRECTORY;
    if ((flags & X500F_LIST_MASK) && ((flags & X500F_LIST_ANY_TYPE) || syntax == X500_SYNTAX_LIST)) {
        std::string seps = listSeparatorChars(flags);
        if (!seps.empty() && findSeparatorForward(vb, vlen, seps.c_str()) != nullptr) {
            X500ValueList list;
            if (parseList(list, vb, vlen, forceUtf8, flags) == 1) {
                ASNany v(TAG_ANY);
                v = static_cast<const ASNobject&>(list);
                return av.set(type, v);
            }
        }
    }
    if (syntax == X500_SYNTAX_LIST) syntax = X500_SYNTAX_DIRECTORY;
    std::string value;
    int r = unescapeValue(value, vb, vlen, flags);
    if (r == 0) return 0;
    if (r == 2) {
        ASNany v(TAG_ANY);
        if (decodeWhole(value, v)) return setDecoded(av, type, v);
        if (flags & X500F_HEX_WHOLE) return 0;
    }
    int tag = chooseStringTag(syntax, value.data(), static_cast<int>(value.size()), forceUtf8, true);
    if (tag == 0) return 0;
    return av.setRaw(type, static_cast<uint8_t>(tag), value.data(), static_cast<long>(value.size()));
}

int parseList(X500ValueList& list, const char* text, int len, bool forceUtf8, uint32_t flags) {
    list.clear();
    size_t n = textLength(text, len);
    if (n == 0) return 1;
    if (n > static_cast<size_t>(INT_MAX)) return 0;
    std::string seps = listSeparatorChars(flags);
    const char* p = text;
    const char* end = text + n;
    for (;;) {
        const char* sep = seps.empty() ? nullptr : findSeparatorForward(p, static_cast<int>(end - p), seps.c_str());
        const char* pe = sep != nullptr ? sep : end;
        std::string piece;
        int r = unescapeValue(piece, p, static_cast<int>(pe - p), flags);
        if (r == 0) return 0;
        int tag = chooseStringTag(X500_SYNTAX_DIRECTORY, piece.data(), static_cast<int>(piece.size()), forceUtf8,
                                  true);
        if (tag == 0) return 0;
        ASNany* e = new (std::nothrow) ASNany(TAG_ANY);
        if (e != nullptr) {
            if (e->set(static_cast<uint8_t>(tag), piece.data(), static_cast<long>(piece.size())) != 1 ||
                list.AddTail(e) == nullptr)
                delete e;
        }
        if (sep == nullptr) break;
        p = sep + 1;
    }
    return 1;
}

int setValueFromEscapedText(AttributeValue& av, const char* text, int len, uint8_t tag) {
    std::string octets;
    int r = unescapeValueDefault(octets, text, len);
    if (r == 0) return 0;
    if (r == 2) {
        ASNany v(TAG_ANY);
        if (decodeWhole(octets, v)) {
            av.value = v;
            return 1;
        }
    }
    if (av.value.set(tag, octets.data(), static_cast<long>(octets.size())) != 1) throw std::bad_alloc();
    return 1;
}

const char* findFirstOf(const char* text, int len, const char* set) {
    if (text == nullptr || set == nullptr) return nullptr;
    size_t n = textLength(text, len);
    for (size_t i = 0; i < n; i++)
        if (inSet(set, text[i])) return text + i;
    return nullptr;
}

const char* findSeparatorForward(const char* text, int len, const char* set) {
    if (text == nullptr) return nullptr;
    if (set == nullptr) set = ";,";
    size_t n = textLength(text, len);
    bool quoted = false;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '"' && (i == 0 || text[i - 1] != '\\')) {
            quoted = !quoted;
            continue;
        }
        if (quoted) continue;
        if (c == '\\') {
            i++;
            continue;
        }
        if (inSet(set, c)) return text + i;
    }
    return nullptr;
}

const char* findSeparatorBackward(const char* text, int len, const char* set) {
    if (text == nullptr) return nullptr;
    if (set == nullptr) set = ";,";
    size_t n = textLength(text, len);
    const char* last = nullptr;
    bool quoted = false;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '"' && (i == 0 || text[i - 1] != '\\')) {
            quoted = !quoted;
            continue;
        }
        if (quoted) continue;
        if (c == '\\') {
            i++;
            continue;
        }
        if (inSet(set, c)) last = text + i;
    }
    return last;
}

}  // namespace x500
