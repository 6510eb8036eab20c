#include "libtorvapp/qvcommon/qvoctmem.h"

#include <cstring>

#include "libtorvapp/qvcommon/qvalloc.h"

namespace {

const char kFile[] = "qvcommon/qvoctmem";

QvOctet* allocOctets(unsigned int n, const char* line)
{
    if (n == 0)
        return nullptr;
    void* p = qvAllocRaw(n);
    if (p == nullptr)
        throw QvMemException(n, kFile, line);
    return static_cast<QvOctet*>(p);
}

unsigned int roundUpPow2(unsigned int len)
{
    if (len <= 1)
        return 1;
    if (len > 0x80000000u)
        return len; // no power of two that fits
    unsigned int c = 1;
    while (c < len)
        c <<= 1;
    return c;
}

void copyOctets(QvOctet* dst, const QvOctet* src, unsigned int len, bool sameOrder)
{
    if (len == 0)
        return;
    if (sameOrder) {
        std::memmove(dst, src, len);
    } else {
        for (unsigned int i = 0; i < len; ++i)
            dst[i] = src[len - 1 - i];
    }
}

unsigned int hexValue(char c)
{
    // Deliberately unchecked: '0'-'9', 'A'-'Z', anything above 'Z' as lower case.
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= '9')
        return u - '0';
    if (u <= 'Z')
        return u - 55;
    return u - 87;
}

} // namespace

QvOctMem::QvOctMem() noexcept : data(nullptr), capacity(0), length(0) {}

QvOctMem::QvOctMem(unsigned int len) : data(nullptr), capacity(0), length(0)
{
    unsigned int cap = roundUpPow2(len);
    data = allocOctets(cap, "47");
    capacity = cap;
    length = len;
}

QvOctMem::QvOctMem(const QvOctet* src, unsigned int len, bool sameOrder)
    : data(nullptr), capacity(0), length(0)
{
    data = allocOctets(len, "106");
    capacity = len;
    length = len;
    if (src != nullptr)
        copyOctets(data, src, len, sameOrder);
    else if (len != 0)
        std::memset(data, 0, len);
}

QvOctMem::QvOctMem(const char* hex) : data(nullptr), capacity(0), length(0)
{
    if (hex == nullptr)
        return;
    std::size_t n = std::strlen(hex);
    if ((n + 1) / 2 > 0xFFFFFFFFu) // more octets than a buffer can count
        throw QvMemException((n + 1) / 2, kFile, "65");
    unsigned int cap = static_cast<unsigned int>((n + 1) / 2);
    data = allocOctets(cap, "65");
    capacity = cap;
    std::size_t pos = 0;
    unsigned int out = 0;
    if (n % 2 == 1) {
        data[out++] = static_cast<QvOctet>(hexValue(hex[0]));
        pos = 1;
    }
    for (; pos < n; pos += 2)
        data[out++] = static_cast<QvOctet>((hexValue(hex[pos]) << 4) | hexValue(hex[pos + 1]));
    length = out;
}

QvOctMem::QvOctMem(const QvOctMem& src) : data(nullptr), capacity(0), length(0)
{
    data = allocOctets(src.length, "26");
    capacity = src.length;
    length = src.length;
    copyOctets(data, src.data, length, true);
}

QvOctMem::QvOctMem(QvOctMem&& src) noexcept
    : data(src.data), capacity(src.capacity), length(src.length)
{
    src.data = nullptr;
    src.capacity = 0;
    src.length = 0;
}

QvOctMem::~QvOctMem() { release(); }

void QvOctMem::release() noexcept
{
    if (data != nullptr) {
        qvWipe(data, capacity);
        qvFreeRaw(data, capacity);
    }
    data = nullptr;
    capacity = 0;
    length = 0;
}

void QvOctMem::clear() noexcept { release(); }

QvOctMem& QvOctMem::operator=(const QvOctMem& src)
{
    if (this == &src)
        return *this;
    if (capacity < src.length) {
        QvOctet* fresh = allocOctets(src.length, "170");
        release();
        data = fresh;
        capacity = src.length;
    }
    copyOctets(data, src.data, src.length, true);
    length = src.length;
    return *this;
}

QvOctMem& QvOctMem::operator=(QvOctMem&& src) noexcept
{
    if (this != &src) {
        release();
        data = src.data;
        capacity = src.capacity;
        length = src.length;
        src.data = nullptr;
        src.capacity = 0;
        src.length = 0;
    }
    return *this;
}

void QvOctMem::resize(unsigned int len)
{
    if (capacity >= len) {
        length = len;
        return;
    }
    QvOctet* fresh = allocOctets(len, "283");
    std::memset(fresh, 0, len);
    if (capacity != 0)
        std::memcpy(fresh, data, capacity);
    release();
    data = fresh;
    capacity = len;
    length = len;
}

unsigned int QvOctMem::getOctets(QvOctet* dst, unsigned int dstLen, bool sameOrder) const
{
    if (length > dstLen)
        return 0;
    if (length != 0 && dst != nullptr)
        copyOctets(dst, data, length, sameOrder);
    return length;
}

bool QvOctMem::operator==(const QvOctMem& other) const noexcept
{
    if (length != other.length)
        return false;
    return length == 0 || std::memcmp(data, other.data, length) == 0;
}

QvOctet& QvOctMem::operator[](int i)
{
    if (length == 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Access to uninitialised bufer.\n"
            "FUNCTION: QvOctet& QvOctMem::operator [](int i)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 230\n");
    // A negative index is as far outside the buffer as a large one.
    if (i < 0 || static_cast<unsigned int>(i) >= length)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: To large index\n"
            "FUNCTION: QvOctet& QvOctMem::operator [](int i)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 237\n");
    return data[i];
}

QvOctet& QvOctMem::operator[](unsigned int i)
{
    if (length == 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Access to uninitialised bufer.\n"
            "FUNCTION: QvOctet& QvOctMem::operator [](unsigned int i)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 250\n");
    if (i >= length)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: To large index.\n"
            "FUNCTION: QvOctet& QvOctMem::operator [](unsigned int i)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 257\n");
    return data[i];
}

const QvOctet& QvOctMem::operator[](int i) const
{
    return const_cast<QvOctMem&>(*this)[i];
}

const QvOctet& QvOctMem::operator[](unsigned int i) const
{
    return const_cast<QvOctMem&>(*this)[i];
}

QvOctet* QvOctMem::operator+(unsigned int offset)
{
    if (length == 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Access to uninitialised buffer.\n"
            "FUNCTION: QvOctet* QvOctMem::operator +(unsigned int offset)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 314\n");
    if (offset >= length)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: To large index.\n"
            "FUNCTION: QvOctet* QvOctMem::operator +(unsigned int offset)\n"
            "FILE: qvcommon/qvoctmem\nLINE: 321\n");
    return data + offset;
}

const QvOctet* QvOctMem::operator+(unsigned int offset) const
{
    return const_cast<QvOctMem&>(*this) + offset;
}
