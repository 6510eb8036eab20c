// Common base of the library's symmetric objects (block ciphers, modes, MACs)
// and the helpers they share for their error texts and for wiping secrets.
#ifndef LIBTORVAPP_QVSYM_H
#define LIBTORVAPP_QVSYM_H

#include <cstddef>
#include <cstdint>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"

// The six-line text of a library exception, joined at compile time so that a
// throw site formats nothing at run time.
#define QV_EXC_TEXT(cls, reason, func, file, line)                                   \
    "LIBRARY: libtorvapp\nEXCEPTION: " cls "\nREASON: " reason "\nFUNCTION: " func \
    "\nFILE: " file "\nLINE: " line "\n"

class QvSym {
public:
    QvSym() = default;
    QvSym(const QvSym&) = default;
    QvSym& operator=(const QvSym&) = default;
    virtual ~QvSym();
};

// True when the areas [a, a + aLen) and [b, b + bLen) share at least one octet.
inline bool qvSymOverlap(const void* a, std::size_t aLen, const void* b, std::size_t bLen) noexcept
{
    if (aLen == 0 || bLen == 0 || a == nullptr || b == nullptr)
        return false;
    const std::uintptr_t x = reinterpret_cast<std::uintptr_t>(a);
    const std::uintptr_t y = reinterpret_cast<std::uintptr_t>(b);
    return x < y + bLen && y < x + aLen;
}

// out = a XOR b over n octets, four at a time where it can (the areas may
// coincide). Four-octet pieces match the stores of the cipher cores, so the
// processor can hand a just-written block straight on to the XOR.
inline void qvSymXor(QvOctet* out, const QvOctet* a, const QvOctet* b, std::size_t n) noexcept
{
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint32_t x, y;
        __builtin_memcpy(&x, a + i, 4);
        __builtin_memcpy(&y, b + i, 4);
        x ^= y;
        __builtin_memcpy(out + i, &x, 4);
    }
    for (; i < n; ++i)
        out[i] = QvOctet(a[i] ^ b[i]);
}

#endif
