// Loads, stores and rotations of fixed-width words in memory; the compilers turn
// these into single instructions on the platforms we build for.
#ifndef LIBTORVAPP_QVCOMMON_QVENDIAN_H
#define LIBTORVAPP_QVCOMMON_QVENDIAN_H

#include <cstdint>
#include <cstring>

inline std::uint32_t qvLoad32Be(const std::uint8_t* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline std::uint32_t qvLoad32Le(const std::uint8_t* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline std::uint64_t qvLoad64Be(const std::uint8_t* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void qvStore32Be(std::uint8_t* p, std::uint32_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

inline void qvStore32Le(std::uint8_t* p, std::uint32_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

inline void qvStore64Be(std::uint8_t* p, std::uint64_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

inline void qvStore64Le(std::uint8_t* p, std::uint64_t v) noexcept
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

inline std::uint32_t qvRotl32(std::uint32_t x, unsigned int n) noexcept
{
    return (x << (n & 31)) | (x >> ((32 - n) & 31));
}

inline std::uint32_t qvRotr32(std::uint32_t x, unsigned int n) noexcept
{
    return (x >> (n & 31)) | (x << ((32 - n) & 31));
}

inline std::uint64_t qvRotr64(std::uint64_t x, unsigned int n) noexcept
{
    return (x >> (n & 63)) | (x << ((64 - n) & 63));
}

#endif
