// UTF8String.
#include "lib/libasn/asnu8str.h"

#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "support/textutil.h"

ASNUtf8String::ASNUtf8String(uint32_t t)
    : ASNoctstr((t & ASN_CLASS_MASK) != 0 ? t : 0x0C, 0x0C) {}

int ASNUtf8String::setText(const char* text, int len) {
    assertNotConst("asnu8str", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (text == nullptr) return set(nullptr, 0);
    size_t n = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
    return set(text, static_cast<long>(n));
}

ASNUtf8String& ASNUtf8String::operator=(const char* text) {
    if (setText(text, -1) != 1) throw std::bad_alloc();
    return *this;
}

int ASNUtf8String::setUnicode(const uint16_t* text, int len) {
    assertNotConst("asnu8str", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (len < 0 && text != nullptr) {
        len = 0;
        while (text[len] != 0) {
            if (len == INT_MAX) return 0;
            len++;
        }
    }
    if (text == nullptr || len == 0) return set(nullptr, 0);
    int utf8len = ConvertUnicodeToUtf8(text, len, nullptr, 0);
    AssertInvariant(utf8len != 0, "asnu8str", __LINE__, "utf8len != 0", nullptr);
    if (utf8len < 0) return 0;
    std::vector<uint8_t> buf(static_cast<size_t>(utf8len));
    int got = ConvertUnicodeToUtf8(text, len, buf.data(), utf8len);
    AssertInvariant(got > 0, "asnu8str", __LINE__,
                    "ConvertUnicodeToUtf8(unicodeText, unicodeTextlen, utf8text, utf8len ) > 0",
                    nullptr);
    int r = set(buf.data(), got);
    SecureZero(buf.data(), buf.size());
    return r;
}

ASNUtf8String& ASNUtf8String::operator=(const uint16_t* text) {
    if (setUnicode(text, -1) != 1) throw std::bad_alloc();
    return *this;
}

int ASNUtf8String::setSystemText(const char* text, int len) {
    assertNotConst("asnu8str", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (text == nullptr) return set(nullptr, 0);
    if (len < 0) {
        size_t n = std::strlen(text);
        if (n > static_cast<size_t>(INT_MAX)) return 0;
        len = static_cast<int>(n);
    }
    if (len == 0) return set(nullptr, 0);
    int utf8len = systemDefault2Utf8(text, len, nullptr, 0);
    AssertInvariant(utf8len != 0, "asnu8str", __LINE__, "utf8len != 0", nullptr);
    if (utf8len < 0) return 0;
    // The size query may give a bound rather than the exact count: keep what the
    // conversion produced.
    std::vector<uint8_t> buf(static_cast<size_t>(utf8len));
    // Text the locale cannot convert is the caller's input, not a broken invariant.
    int got = systemDefault2Utf8(text, len, buf.data(), utf8len);
    if (got <= 0) return 0;
    int r = set(buf.data(), got);
    SecureZero(buf.data(), buf.size());
    return r;
}

ASNUtf8String& ASNUtf8String::operator=(const ASNoctstr& other) {
    ASNoctstr::operator=(other);
    return *this;
}

bool ASNUtf8String::isValid() const {
    long n = getValueLength();
    if (n == 0) return true;
    if (n > INT_MAX) return false;
    return Utf8Kind(reinterpret_cast<const char*>(getData()), static_cast<int>(n)) > 0;
}

bool ASNUtf8String::isEqual(const char* text) const {
    size_t n = text == nullptr ? 0 : std::strlen(text);
    if (static_cast<size_t>(getValueLength()) != n) return false;
    if (n == 0) return true;
    const uint8_t* d = getData();
    return d != nullptr && std::memcmp(d, text, n) == 0;
}

int ASNUtf8String::getCharCount() const {
    long n = getValueLength();
    if (n == 0 || n > INT_MAX) return 0;
    int c = Utf8Validate(reinterpret_cast<const char*>(getData()), static_cast<int>(n));
    return c < 0 ? 0 : c;
}

int ASNUtf8String::getSystemText(char* out, int* size, bool terminate) const {
    if (size == nullptr) return isValid() ? 1 : 0;
    long n = getValueLength();
    if (n == 0) {
        if (terminate) {
            if (out == nullptr || *size < 1) {
                *size = 1;
                return 0;
            }
            out[0] = 0;
            *size = 1;
        } else {
            *size = 0;
        }
        return 1;
    }
    if (n > INT_MAX) {
        *size = 0;
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(getData());
    // Convert into a buffer of the bound the size query gives, then hand out the
    // exact length.
    int bound = ConvertUtf8ToSystemDefault(text, static_cast<int>(n), nullptr, 0);
    if (bound <= 0) {
        *size = 0;
        return 0;
    }
    std::vector<char> tmp(static_cast<size_t>(bound));
    int got = ConvertUtf8ToSystemDefault(text, static_cast<int>(n), tmp.data(), bound);
    if (got <= 0) {
        *size = 0;
        return 0;
    }
    int total = got + (terminate ? 1 : 0);
    if (out == nullptr || *size < total) {
        *size = total;
        return 0;
    }
    std::memcpy(out, tmp.data(), static_cast<size_t>(got));
    if (terminate) out[got] = 0;
    *size = got + (terminate ? 1 : 0);
    return 1;
}
