#include "libtorvapp/qvmd5.h"

#include "libtorvapp/qvcommon/qvendian.h"

namespace {

const QvWord kOidArcs[] = {6, 1, 2, 840, 113549, 2, 5};
const QvOctet kOidDer[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
const QvWord kInitialValue[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    QvWord s0 = state[0], s1 = state[1], s2 = state[2], s3 = state[3];
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = qvLoad32Le(data + 4 * i);
        QvWord a = s0, b = s1, c = s2, d = s3;
        a = b + qvRotl32(a + (d ^ (b & (c ^ d))) + x[0] + 0xd76aa478u, 7);
        d = a + qvRotl32(d + (c ^ (a & (b ^ c))) + x[1] + 0xe8c7b756u, 12);
        c = d + qvRotl32(c + (b ^ (d & (a ^ b))) + x[2] + 0x242070dbu, 17);
        b = c + qvRotl32(b + (a ^ (c & (d ^ a))) + x[3] + 0xc1bdceeeu, 22);
        a = b + qvRotl32(a + (d ^ (b & (c ^ d))) + x[4] + 0xf57c0fafu, 7);
        d = a + qvRotl32(d + (c ^ (a & (b ^ c))) + x[5] + 0x4787c62au, 12);
        c = d + qvRotl32(c + (b ^ (d & (a ^ b))) + x[6] + 0xa8304613u, 17);
        b = c + qvRotl32(b + (a ^ (c & (d ^ a))) + x[7] + 0xfd469501u, 22);
        a = b + qvRotl32(a + (d ^ (b & (c ^ d))) + x[8] + 0x698098d8u, 7);
        d = a + qvRotl32(d + (c ^ (a & (b ^ c))) + x[9] + 0x8b44f7afu, 12);
        c = d + qvRotl32(c + (b ^ (d & (a ^ b))) + x[10] + 0xffff5bb1u, 17);
        b = c + qvRotl32(b + (a ^ (c & (d ^ a))) + x[11] + 0x895cd7beu, 22);
        a = b + qvRotl32(a + (d ^ (b & (c ^ d))) + x[12] + 0x6b901122u, 7);
        d = a + qvRotl32(d + (c ^ (a & (b ^ c))) + x[13] + 0xfd987193u, 12);
        c = d + qvRotl32(c + (b ^ (d & (a ^ b))) + x[14] + 0xa679438eu, 17);
        b = c + qvRotl32(b + (a ^ (c & (d ^ a))) + x[15] + 0x49b40821u, 22);
        a = b + qvRotl32(a + (c ^ (d & (b ^ c))) + x[1] + 0xf61e2562u, 5);
        d = a + qvRotl32(d + (b ^ (c & (a ^ b))) + x[6] + 0xc040b340u, 9);
        c = d + qvRotl32(c + (a ^ (b & (d ^ a))) + x[11] + 0x265e5a51u, 14);
        b = c + qvRotl32(b + (d ^ (a & (c ^ d))) + x[0] + 0xe9b6c7aau, 20);
        a = b + qvRotl32(a + (c ^ (d & (b ^ c))) + x[5] + 0xd62f105du, 5);
        d = a + qvRotl32(d + (b ^ (c & (a ^ b))) + x[10] + 0x02441453u, 9);
        c = d + qvRotl32(c + (a ^ (b & (d ^ a))) + x[15] + 0xd8a1e681u, 14);
        b = c + qvRotl32(b + (d ^ (a & (c ^ d))) + x[4] + 0xe7d3fbc8u, 20);
        a = b + qvRotl32(a + (c ^ (d & (b ^ c))) + x[9] + 0x21e1cde6u, 5);
        d = a + qvRotl32(d + (b ^ (c & (a ^ b))) + x[14] + 0xc33707d6u, 9);
        c = d + qvRotl32(c + (a ^ (b & (d ^ a))) + x[3] + 0xf4d50d87u, 14);
        b = c + qvRotl32(b + (d ^ (a & (c ^ d))) + x[8] + 0x455a14edu, 20);
        a = b + qvRotl32(a + (c ^ (d & (b ^ c))) + x[13] + 0xa9e3e905u, 5);
        d = a + qvRotl32(d + (b ^ (c & (a ^ b))) + x[2] + 0xfcefa3f8u, 9);
        c = d + qvRotl32(c + (a ^ (b & (d ^ a))) + x[7] + 0x676f02d9u, 14);
        b = c + qvRotl32(b + (d ^ (a & (c ^ d))) + x[12] + 0x8d2a4c8au, 20);
        a = b + qvRotl32(a + (b ^ c ^ d) + x[5] + 0xfffa3942u, 4);
        d = a + qvRotl32(d + (a ^ b ^ c) + x[8] + 0x8771f681u, 11);
        c = d + qvRotl32(c + (d ^ a ^ b) + x[11] + 0x6d9d6122u, 16);
        b = c + qvRotl32(b + (c ^ d ^ a) + x[14] + 0xfde5380cu, 23);
        a = b + qvRotl32(a + (b ^ c ^ d) + x[1] + 0xa4beea44u, 4);
        d = a + qvRotl32(d + (a ^ b ^ c) + x[4] + 0x4bdecfa9u, 11);
        c = d + qvRotl32(c + (d ^ a ^ b) + x[7] + 0xf6bb4b60u, 16);
        b = c + qvRotl32(b + (c ^ d ^ a) + x[10] + 0xbebfbc70u, 23);
        a = b + qvRotl32(a + (b ^ c ^ d) + x[13] + 0x289b7ec6u, 4);
        d = a + qvRotl32(d + (a ^ b ^ c) + x[0] + 0xeaa127fau, 11);
        c = d + qvRotl32(c + (d ^ a ^ b) + x[3] + 0xd4ef3085u, 16);
        b = c + qvRotl32(b + (c ^ d ^ a) + x[6] + 0x04881d05u, 23);
        a = b + qvRotl32(a + (b ^ c ^ d) + x[9] + 0xd9d4d039u, 4);
        d = a + qvRotl32(d + (a ^ b ^ c) + x[12] + 0xe6db99e5u, 11);
        c = d + qvRotl32(c + (d ^ a ^ b) + x[15] + 0x1fa27cf8u, 16);
        b = c + qvRotl32(b + (c ^ d ^ a) + x[2] + 0xc4ac5665u, 23);
        a = b + qvRotl32(a + (c ^ (b | ~d)) + x[0] + 0xf4292244u, 6);
        d = a + qvRotl32(d + (b ^ (a | ~c)) + x[7] + 0x432aff97u, 10);
        c = d + qvRotl32(c + (a ^ (d | ~b)) + x[14] + 0xab9423a7u, 15);
        b = c + qvRotl32(b + (d ^ (c | ~a)) + x[5] + 0xfc93a039u, 21);
        a = b + qvRotl32(a + (c ^ (b | ~d)) + x[12] + 0x655b59c3u, 6);
        d = a + qvRotl32(d + (b ^ (a | ~c)) + x[3] + 0x8f0ccc92u, 10);
        c = d + qvRotl32(c + (a ^ (d | ~b)) + x[10] + 0xffeff47du, 15);
        b = c + qvRotl32(b + (d ^ (c | ~a)) + x[1] + 0x85845dd1u, 21);
        a = b + qvRotl32(a + (c ^ (b | ~d)) + x[8] + 0x6fa87e4fu, 6);
        d = a + qvRotl32(d + (b ^ (a | ~c)) + x[15] + 0xfe2ce6e0u, 10);
        c = d + qvRotl32(c + (a ^ (d | ~b)) + x[6] + 0xa3014314u, 15);
        b = c + qvRotl32(b + (d ^ (c | ~a)) + x[13] + 0x4e0811a1u, 21);
        a = b + qvRotl32(a + (c ^ (b | ~d)) + x[4] + 0xf7537e82u, 6);
        d = a + qvRotl32(d + (b ^ (a | ~c)) + x[11] + 0xbd3af235u, 10);
        c = d + qvRotl32(c + (a ^ (d | ~b)) + x[2] + 0x2ad7d2bbu, 15);
        b = c + qvRotl32(b + (d ^ (c | ~a)) + x[9] + 0xeb86d391u, 21);
        s0 += a; s1 += b; s2 += c; s3 += d;
    }
    state[0] = s0; state[1] = s1; state[2] = s2; state[3] = s3;
}

using Paths = QvMdCompressPaths<QvWord, compressBody>;

} // namespace

QvMd5::QvMd5() : QvMdHash(16, Paths::pick()) {}

QvHash* QvMd5::clone() const { return qvMdClone(*this, "qvmd5", "133"); }

const QvWord* QvMd5::getOidArcs() const { return kOidArcs; }
const QvOctet* QvMd5::getOidDer() const { return kOidDer; }

void QvMd5::resetState() { loadInitialValue(kInitialValue); }
