// Tables of Rijndael built at compile time from the field arithmetic: the S-box,
// its inverse and the round tables of the 128-bit block core.
#ifndef LIBTORVAPP_QVRIJNDAELTABLES_H
#define LIBTORVAPP_QVRIJNDAELTABLES_H

#include <cstdint>

namespace qvrijndael {

constexpr std::uint8_t xtime(std::uint8_t x)
{
    return std::uint8_t((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t r = 0;
    while (b != 0) {
        if (b & 1)
            r = std::uint8_t(r ^ a);
        a = xtime(a);
        b = std::uint8_t(b >> 1);
    }
    return r;
}

struct Tables {
    std::uint8_t sbox[256];
    std::uint8_t inv[256];
    std::uint32_t te[4][256];
    std::uint32_t td[4][256];

    constexpr Tables() : sbox(), inv(), te(), td()
    {
        // Powers of the generator 03 give the inverses: x^-1 = 03^(255 - log x).
        std::uint8_t exp[256] = {};
        std::uint8_t log[256] = {};
        std::uint8_t p = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = p;
            log[p] = std::uint8_t(i);
            p = std::uint8_t(xtime(p) ^ p);
        }
        for (int x = 0; x < 256; ++x) {
            const std::uint8_t b = x == 0 ? 0 : exp[(255 - log[x]) % 255];
            std::uint8_t s = 0x63;
            for (int i = 0; i < 8; ++i) {
                const int bit = ((b >> i) ^ (b >> ((i + 4) % 8)) ^ (b >> ((i + 5) % 8)) ^
                                 (b >> ((i + 6) % 8)) ^ (b >> ((i + 7) % 8))) & 1;
                s = std::uint8_t(s ^ (bit << i));
            }
            sbox[x] = s;
        }
        for (int x = 0; x < 256; ++x)
            inv[sbox[x]] = std::uint8_t(x);
        for (int x = 0; x < 256; ++x) {
            const std::uint8_t s = sbox[x];
            const std::uint32_t e = (std::uint32_t(gmul(s, 2)) << 24) | (std::uint32_t(s) << 16) |
                                    (std::uint32_t(s) << 8) | gmul(s, 3);
            const std::uint8_t v = inv[x];
            const std::uint32_t d = (std::uint32_t(gmul(v, 14)) << 24) | (std::uint32_t(gmul(v, 9)) << 16) |
                                    (std::uint32_t(gmul(v, 13)) << 8) | gmul(v, 11);
            for (int r = 0; r < 4; ++r) {
                te[r][x] = r == 0 ? e : ((e >> (8 * r)) | (e << (32 - 8 * r)));
                td[r][x] = r == 0 ? d : ((d >> (8 * r)) | (d << (32 - 8 * r)));
            }
        }
    }
};

inline constexpr Tables kTables{};

} // namespace qvrijndael

#endif
