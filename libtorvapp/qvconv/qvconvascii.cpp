#include "libtorvapp/qvconv/qvconvascii.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

const QvOctet kZero = 0;

// a + b for the text classes: a text of a's class holding a, then b.
template <class Text, class A, class B>
Text joined(const A& a, const B& b)
{
    Text r(a);
    r += b;
    return r;
}

} // namespace

// ---- QvConvASCII ----

QvConvASCII::QvConvASCII() : QvConv(&kZero, 1) {}

QvConvASCII::QvConvASCII(const char* text) : QvConv()
{
    setText(text, text != nullptr ? std::strlen(text) : 0);
}

QvConvASCII::QvConvASCII(unsigned int capacity)
    : QvConv(Capacity{capacity < 0xFFFFFFFFu ? capacity + 1 : capacity})
{
    setText("", 0);
}

QvConvASCII::QvConvASCII(const QvConvASCII& other) : QvConv(other) {}
QvConvASCII::~QvConvASCII() = default;

void QvConvASCII::setText(const char* text, std::size_t n)
{
    if (n >= 0xFFFFFFFFu)
        throw QvMemException(n + 1, "qvconv/qvconvascii", "34");
    std::string copy(text != nullptr ? text : "", n); // text may lie in our own storage
    setOctets(reinterpret_cast<const QvOctet*>(copy.c_str()), static_cast<unsigned int>(n + 1));
}

void QvConvASCII::appendText(const char* text, std::size_t n)
{
    if (n == 0)
        return;
    if (n >= 0xFFFFFFFFu - length)
        throw QvMemException(static_cast<std::uint64_t>(length) + n, "qvconv/qvconvascii", "44");
    std::string copy(text, n);
    length -= 1; // the terminator moves behind the appended text
    data.resize(length);
    appendOctets(reinterpret_cast<const QvOctet*>(copy.c_str()), static_cast<unsigned int>(n + 1));
}

const char* QvConvASCII::c_str() const { return getChars(); }

void QvConvASCII::writeStream(FILE* stream) const
{
    if (stream != nullptr && length > 1)
        std::fwrite(data.getConstData(), 1, length - 1, stream);
}

void QvConvASCII::writeFile(const char* fileName) const { QvConv::writeFile(fileName); }

void QvConvASCII::readStream(FILE* stream, unsigned int bound)
{
    QvConv::readStream(stream, bound);
    appendOctets(&kZero, 1);
}

QvConvASCII& QvConvASCII::operator=(const QvConvASCII& other)
{
    QvConv::operator=(other);
    return *this;
}

QvConvASCII& QvConvASCII::operator=(const char* text)
{
    setText(text, text != nullptr ? std::strlen(text) : 0);
    return *this;
}

QvConvASCII& QvConvASCII::operator=(std::int64_t value)
{
    char buf[24];
    std::uint64_t mag = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    int p = sizeof(buf) - 1;
    buf[p] = '\0';
    do {
        buf[--p] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (value < 0)
        buf[--p] = '-';
    setText(buf + p, std::strlen(buf + p));
    return *this;
}

QvConvASCII& QvConvASCII::operator=(std::int32_t value)
{
    char buf[16];
    int n = std::snprintf(buf, sizeof(buf), "%d", static_cast<int>(value));
    setText(buf, static_cast<std::size_t>(n));
    return *this;
}

QvConvASCII& QvConvASCII::operator=(double value)
{
    char buf[64];
    int n = std::snprintf(buf, sizeof(buf), "%.19g", value);
    setText(buf, static_cast<std::size_t>(n));
    return *this;
}

QvConvASCII& QvConvASCII::operator+=(const char* text)
{
    if (text != nullptr)
        appendText(text, std::strlen(text));
    return *this;
}

QvConvASCII& QvConvASCII::operator+=(const QvConvASCII& other)
{
    appendText(other.getChars(), other.getTextLength());
    return *this;
}

void QvConvASCII::assignRepeated(const char* text, unsigned int n)
{
    setText("", 0);
    appendRepeated(text, n);
}

void QvConvASCII::appendRepeated(const char* text, unsigned int n)
{
    if (text == nullptr)
        return;
    std::string copy(text);
    for (unsigned int i = 0; i < n; ++i)
        appendText(copy.c_str(), copy.size());
}

void QvConvASCII::cutEnd(unsigned int n)
{
    unsigned int textLen = getTextLength();
    if (n >= length || n >= textLen) {
        setText("", 0);
        return;
    }
    std::string keep(getChars(), textLen - n);
    setText(keep.c_str(), keep.size());
}

unsigned int QvConvASCII::removeWhiteSpace()
{
    std::string kept;
    unsigned int removed = 0;
    const char* s = getChars();
    for (unsigned int i = 0; i < getTextLength(); ++i) {
        if (std::isspace(static_cast<unsigned char>(s[i])))
            ++removed;
        else
            kept += s[i];
    }
    if (removed != 0)
        setText(kept.c_str(), kept.size());
    return removed;
}

unsigned int QvConvASCII::removeAll(const char* text)
{
    if (text == nullptr || *text == '\0')
        return 0;
    std::size_t n = std::strlen(text);
    std::string src(getChars(), getTextLength()), kept;
    unsigned int count = 0;
    std::size_t pos = 0;
    while (pos < src.size()) {
        if (src.compare(pos, n, text) == 0) {
            ++count;
            pos += n;
        } else {
            kept += src[pos++];
        }
    }
    if (count != 0)
        setText(kept.c_str(), kept.size());
    return count;
}

unsigned int QvConvASCII::find(const char* text, unsigned int from) const
{
    if (text == nullptr || from >= length)
        return NOT_FOUND;
    std::size_t n = std::strlen(text);
    unsigned int textLen = getTextLength();
    const char* s = getChars();
    // The whole of `text` must occur: a match cut off by the end of this text is none.
    for (std::size_t pos = from; pos + n <= textLen; ++pos)
        if (std::memcmp(s + pos, text, n) == 0)
            return static_cast<unsigned int>(pos);
    return NOT_FOUND;
}

unsigned int QvConvASCII::split(QvConvASCII& before, QvConvASCII& after, const char* separator) const
{
    std::string whole(getChars(), getTextLength());
    unsigned int pos = (separator != nullptr && *separator != '\0') ? find(separator, 0) : NOT_FOUND;
    if (pos == NOT_FOUND) {
        before = whole.c_str();
        after = "";
        return NOT_FOUND;
    }
    std::size_t sepLen = std::strlen(separator);
    std::string b = whole.substr(0, pos), a = whole.substr(pos + sepLen);
    before.setText(b.c_str(), b.size());
    after.setText(a.c_str(), a.size());
    return pos;
}

unsigned int QvConvASCII::getTextLength() const { return length == 0 ? 0 : length - 1; }

bool QvConvASCII::operator==(const QvConvASCII& other) const
{
    return getTextLength() == other.getTextLength() &&
           std::memcmp(getChars(), other.getChars(), getTextLength()) == 0;
}

bool QvConvASCII::operator!=(const QvConvASCII& other) const { return !(*this == other); }

bool QvConvASCII::operator==(const char* text) const
{
    if (text == nullptr)
        return false;
    std::size_t n = std::strlen(text);
    return n == getTextLength() && std::memcmp(getChars(), text, n) == 0;
}

bool QvConvASCII::operator!=(const char* text) const { return !(*this == text); }

bool QvConvASCII::readItem(FILE* stream, char commentChar, char escapeChar)
{
    setText("", 0);
    if (stream == nullptr)
        return false;
    int c;
    // Skip white space and whole comment lines.
    for (;;) {
        c = std::fgetc(stream);
        if (c == EOF)
            return false;
        if (c == static_cast<unsigned char>(commentChar)) {
            while (c != EOF && c != '\n')
                c = std::fgetc(stream);
            if (c == EOF)
                return false;
            continue;
        }
        if (!std::isspace(c))
            break;
    }
    char piece[16];
    unsigned int held = 0;
    auto put = [&](char ch) {
        piece[held++] = ch;
        if (held == sizeof(piece)) {
            appendText(piece, held);
            held = 0;
        }
    };
    while (c != EOF && c != '\n') {
        if (c == static_cast<unsigned char>(commentChar)) {
            while (c != EOF && c != '\n') // the rest of the line is a comment
                c = std::fgetc(stream);
            break;
        }
        if (c == static_cast<unsigned char>(escapeChar)) {
            int next = std::fgetc(stream);
            put(static_cast<char>(c));
            if (next == EOF)
                break;
            put(static_cast<char>(next));
        } else if (c != '\r') {
            put(static_cast<char>(c));
        }
        c = std::fgetc(stream);
    }
    if (held != 0)
        appendText(piece, held);
    return true;
}

bool QvConvASCII::readItem(FILE* stream) { return readItem(stream, '#', '\\'); }

QvConvASCII operator+(const QvConvASCII& a, const QvConvASCII& b) { return joined<QvConvASCII>(a, b); }
QvConvASCII operator+(const QvConvASCII& a, const char* b) { return joined<QvConvASCII>(a, b); }
QvConvASCII operator+(const char* a, const QvConvASCII& b) { return joined<QvConvASCII>(a, b); }

// ---- QvConvASCIIHex ----

QvConvASCIIHex::QvConvASCIIHex() : QvConvASCII() {}
QvConvASCIIHex::QvConvASCIIHex(const char* text) : QvConvASCII(text) {}
QvConvASCIIHex::QvConvASCIIHex(unsigned int capacity) : QvConvASCII(capacity) {}
QvConvASCIIHex::QvConvASCIIHex(const QvConvASCIIHex& other) : QvConvASCII(other) {}
QvConvASCIIHex::QvConvASCIIHex(const QvConvASCIIBin& bin) : QvConvASCII() { *this = bin; }
QvConvASCIIHex::~QvConvASCIIHex() = default;

QvConvASCIIHex& QvConvASCIIHex::operator=(const QvConvASCIIHex& other)
{
    QvConvASCII::operator=(other);
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator=(const char* text)
{
    QvConvASCII::operator=(text);
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator=(std::uint32_t value)
{
    char buf[16];
    int n = std::snprintf(buf, sizeof(buf), "%x", static_cast<unsigned int>(value));
    setText(buf, static_cast<std::size_t>(n));
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator=(std::int64_t value)
{
    std::uint64_t mag = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buf[24];
    int n = std::snprintf(buf, sizeof(buf), "%llx", static_cast<unsigned long long>(mag));
    setText(buf, static_cast<std::size_t>(n));
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator=(const QvConvASCIIBin& bin)
{
    static const char digits[] = "0123456789abcdef";
    std::string src(bin.getChars(), bin.getTextLength());
    std::string out;
    std::size_t end = src.size();
    while (end > 0) {
        std::size_t start = end >= 4 ? end - 4 : 0;
        unsigned int v = 0;
        for (std::size_t i = start; i < end; ++i)
            v = (v << 1) | (src[i] == '1' ? 1u : 0u);
        out.insert(out.begin(), digits[v & 15]);
        end = start;
    }
    setText(out.c_str(), out.size());
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator+=(const char* text)
{
    QvConvASCII::operator+=(text);
    return *this;
}

QvConvASCIIHex& QvConvASCIIHex::operator+=(const QvConvASCIIHex& other)
{
    QvConvASCII::operator+=(other);
    return *this;
}

QvConvASCIIHex operator+(const QvConvASCIIHex& a, const QvConvASCIIHex& b) { return joined<QvConvASCIIHex>(a, b); }
QvConvASCIIHex operator+(const QvConvASCIIHex& a, const char* b) { return joined<QvConvASCIIHex>(a, b); }
QvConvASCIIHex operator+(const char* a, const QvConvASCIIHex& b) { return joined<QvConvASCIIHex>(a, b); }

// ---- QvConvASCIIBin ----

QvConvASCIIBin::QvConvASCIIBin() : QvConvASCII() {}
QvConvASCIIBin::QvConvASCIIBin(const char* text) : QvConvASCII(text) {}
QvConvASCIIBin::QvConvASCIIBin(unsigned int capacity) : QvConvASCII(capacity) {}
QvConvASCIIBin::QvConvASCIIBin(const QvConvASCIIBin& other) : QvConvASCII(other) {}
QvConvASCIIBin::~QvConvASCIIBin() = default;

namespace {

std::string binaryDigits(std::uint64_t v)
{
    if (v == 0)
        return "0";
    std::string s;
    while (v != 0) {
        s.insert(s.begin(), (v & 1) ? '1' : '0');
        v >>= 1;
    }
    return s;
}

} // namespace

QvConvASCIIBin& QvConvASCIIBin::operator=(const QvConvASCIIBin& other)
{
    QvConvASCII::operator=(other);
    return *this;
}

QvConvASCIIBin& QvConvASCIIBin::operator=(const char* text)
{
    QvConvASCII::operator=(text);
    return *this;
}

QvConvASCIIBin& QvConvASCIIBin::operator=(std::int64_t value)
{
    std::string s = binaryDigits(static_cast<std::uint64_t>(value));
    setText(s.c_str(), s.size());
    return *this;
}

QvConvASCIIBin& QvConvASCIIBin::operator=(std::int32_t value)
{
    std::string s = binaryDigits(static_cast<std::uint32_t>(value));
    setText(s.c_str(), s.size());
    return *this;
}

QvConvASCIIBin& QvConvASCIIBin::operator+=(const char* text)
{
    QvConvASCII::operator+=(text);
    return *this;
}

QvConvASCIIBin& QvConvASCIIBin::operator+=(const QvConvASCIIBin& other)
{
    QvConvASCII::operator+=(other);
    return *this;
}

QvConvASCIIBin operator+(const QvConvASCIIBin& a, const QvConvASCIIBin& b) { return joined<QvConvASCIIBin>(a, b); }
QvConvASCIIBin operator+(const QvConvASCIIBin& a, const char* b) { return joined<QvConvASCIIBin>(a, b); }
QvConvASCIIBin operator+(const char* a, const QvConvASCIIBin& b) { return joined<QvConvASCIIBin>(a, b); }
