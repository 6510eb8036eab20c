#include "libtorvapp/qvcommon/qvwordmem.h"

#include <cstring>

#include "libtorvapp/qvcommon/qvalloc.h"

namespace {

const char kFile[] = "qvcommon/qvwordmem";

QvWord* allocWords(unsigned int n, const char* line)
{
    if (n == 0)
        return nullptr;
    std::size_t bytes = static_cast<std::size_t>(n) * sizeof(QvWord);
    void* p = qvAllocRaw(bytes);
    if (p == nullptr)
        throw QvMemException(bytes, kFile, line);
    return static_cast<QvWord*>(p);
}

} // namespace

QvWordMem::QvWordMem() noexcept : data(nullptr), words(0) {}

QvWordMem::QvWordMem(unsigned int n) : data(nullptr), words(0)
{
    data = allocWords(n, "37");
    words = n;
}

QvWordMem::QvWordMem(const QvOctet* src, unsigned int octets, bool bigEndian)
    : data(nullptr), words(0)
{
    unsigned int n = octets / 4 + (octets % 4 != 0 ? 1 : 0);
    data = allocWords(n, "84");
    words = n;
    if (n != 0)
        std::memset(data, 0, static_cast<std::size_t>(n) * sizeof(QvWord));
    if (src == nullptr)
        return;
    for (unsigned int j = 0; j < octets; ++j) {
        // With bigEndian the last octet becomes the least significant one.
        QvOctet o = bigEndian ? src[octets - 1 - j] : src[j];
        data[j / 4] |= static_cast<QvWord>(o) << (8 * (j % 4));
    }
}

QvWordMem::QvWordMem(const QvWord* src, unsigned int n, bool reversed) : data(nullptr), words(0)
{
    data = allocWords(n, "49");
    words = n;
    if (n == 0)
        return;
    if (src == nullptr) {
        std::memset(data, 0, static_cast<std::size_t>(n) * sizeof(QvWord));
        return;
    }
    if (reversed) {
        for (unsigned int i = 0; i < n; ++i)
            data[i] = src[n - 1 - i];
    } else {
        std::memmove(data, src, static_cast<std::size_t>(n) * sizeof(QvWord));
    }
}

QvWordMem::QvWordMem(const QvWordMem& src) : data(nullptr), words(0)
{
    data = allocWords(src.words, "24");
    words = src.words;
    if (words != 0)
        std::memcpy(data, src.data, static_cast<std::size_t>(words) * sizeof(QvWord));
}

QvWordMem::QvWordMem(QvWordMem&& src) noexcept : data(src.data), words(src.words)
{
    src.data = nullptr;
    src.words = 0;
}

QvWordMem::~QvWordMem() { release(); }

void QvWordMem::release() noexcept
{
    if (data != nullptr) {
        std::size_t bytes = static_cast<std::size_t>(words) * sizeof(QvWord);
        qvWipe(data, bytes);
        qvFreeRaw(data, bytes);
    }
    data = nullptr;
    words = 0;
}

void QvWordMem::clear() noexcept { release(); }

QvWordMem& QvWordMem::operator=(const QvWordMem& src)
{
    if (this == &src)
        return *this;
    if (words != src.words) {
        QvWord* fresh = allocWords(src.words, "180");
        release();
        data = fresh;
        words = src.words;
    }
    if (words != 0)
        std::memcpy(data, src.data, static_cast<std::size_t>(words) * sizeof(QvWord));
    return *this;
}

QvWordMem& QvWordMem::operator=(QvWordMem&& src) noexcept
{
    if (this != &src) {
        release();
        data = src.data;
        words = src.words;
        src.data = nullptr;
        src.words = 0;
    }
    return *this;
}

void QvWordMem::resize(unsigned int n)
{
    if (words >= n)
        return;
    QvWord* fresh = allocWords(n, "261");
    std::memset(fresh, 0, static_cast<std::size_t>(n) * sizeof(QvWord));
    if (words != 0)
        std::memcpy(fresh, data, static_cast<std::size_t>(words) * sizeof(QvWord));
    release();
    data = fresh;
    words = n;
}

unsigned int QvWordMem::asOctets(QvOctet* dst, unsigned int len, bool bigEndian) const
{
    if (len == 0 || words == 0 || dst == nullptr)
        return 0;
    std::size_t avail = static_cast<std::size_t>(words) * 4;
    unsigned int n = avail < len ? static_cast<unsigned int>(avail) : len;
    for (unsigned int k = 0; k < n; ++k) {
        QvOctet o = static_cast<QvOctet>(data[k / 4] >> (8 * (k % 4)));
        if (bigEndian)
            dst[len - 1 - k] = o;
        else
            dst[k] = o;
    }
    return n;
}

QvWord* QvWordMem::operator+(unsigned int offset)
{
    if (words == 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Access to uninitialised buffer.\n"
            "FUNCTION: QvWord* QvWordMem::operator +(unsigned int offset)\n"
            "FILE: qvcommon/qvwordmem\nLINE: 290\n");
    if (offset >= words)
        qvThrow<QvAccessException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
            "REASON: To large index.\n"
            "FUNCTION: QvWord* QvWordMem::operator +(unsigned int offset)\n"
            "FILE: qvcommon/qvwordmem\nLINE: 297\n");
    return data + offset;
}

const QvWord* QvWordMem::operator+(unsigned int offset) const
{
    return const_cast<QvWordMem&>(*this) + offset;
}

void copy(QvWordMem& dst, const QvWordMem& src, unsigned int n)
{
    if (src.getLength() < n)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Source argument is to large.\n"
            "FUNCTION: void copy(QvWordMem &dst, const QvWordMem &src, unsigned int n)\n"
            "FILE: qvcommon/qvwordmem\nLINE: 322\n");
    dst.resize(n);
    if (n != 0 && dst.getData() != src.getConstData())
        std::memmove(dst.getData(), src.getConstData(), static_cast<std::size_t>(n) * sizeof(QvWord));
}
