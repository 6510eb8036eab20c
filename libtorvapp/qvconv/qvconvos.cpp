#include <cstring>

#include "libtorvapp/qvconv/qvconv.h"

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

QvConvOS::QvConvOS() : QvConv() {}
QvConvOS::QvConvOS(const QvOctet* src, unsigned int len) : QvConv(src, len) {}
QvConvOS::QvConvOS(unsigned int len) : QvConv(nullptr, len) {}
QvConvOS::QvConvOS(const QvConvOS& other) : QvConv(other) {}
QvConvOS::~QvConvOS() = default;

QvConvOS::QvConvOS(const char* str) : QvConv()
{
    if (str == nullptr)
        return;
    std::size_t n = std::strlen(str);
    if (n % 2 != 0)
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
            "REASON: Wrong syntax of input string (const char *str). Converted string should "
            "have even number of characters.\n"
            "FUNCTION: QvConvOS::QvConvOS(const char *str)\n"
            "FILE: qvconv/qvconvos\nLINE: 56\n");
    if (n == 0)
        return;
    if (n / 2 > 0xFFFFFFFFu)
        throw QvMemException(n / 2, "qvconv/qvconvos", "41");
    setOctets(nullptr, static_cast<unsigned int>(n / 2));
    QvOctet* out = data.getData();
    for (std::size_t i = 0; i < n; i += 2) {
        int hi = hexDigit(str[i]);
        if (hi < 0)
            qvThrow<QvWrongSyntaxException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
                "REASON: Wrong character in converted string (const char *str). Function accepts "
                "only characters from set {0,1,2,3,4,5,6,7,8,9,A,B,C,D,E,F,a,b,c,d,e,f}.\n"
                "FUNCTION: QvConvOS::QvConvOS(const char *str)\n"
                "FILE: qvconv/qvconvos\nLINE: 79\n");
        int lo = hexDigit(str[i + 1]);
        if (lo < 0)
            qvThrow<QvWrongSyntaxException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
                "REASON: Wrong character in converted string (const char *str). Function accepts "
                "only characters from set {0,1,2,3,4,5,6,7,8,9,A,B,C,D,E,F,a,b,c,d,e,f}.\n"
                "FUNCTION: QvConvOS::QvConvOS(const char *str)\n"
                "FILE: qvconv/qvconvos\nLINE: 98\n");
        out[i / 2] = static_cast<QvOctet>((hi << 4) | lo);
    }
}

void QvConvOS::assign(const QvOctet* src, unsigned int len) { setOctets(src, len); }

QvConvOS& QvConvOS::operator=(const QvConvOS& other)
{
    QvConv::operator=(other);
    return *this;
}

QvConvOS& QvConvOS::operator=(const char* hex)
{
    QvConvOS parsed(hex); // a syntax error leaves this object unchanged
    setOctets(parsed.getConstData(), parsed.getLength());
    return *this;
}

QvConvOS& QvConvOS::operator+=(const QvConvOS& other)
{
    appendOctets(other.getConstData(), other.getLength());
    return *this;
}

QvConvOS QvConvOS::operator+(const QvConvOS& other) const
{
    QvConvOS r(*this);
    r += other;
    return r;
}
