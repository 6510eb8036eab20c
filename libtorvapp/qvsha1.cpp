#include "libtorvapp/qvsha1.h"

#include <initializer_list>
#include <utility>

#include "libtorvapp/qvcommon/qvendian.h"

#if QV_HAVE_X86_PATHS
#include <immintrin.h>
#endif

namespace {

const QvWord kOidArcs[] = {6, 1, 3, 14, 3, 2, 26};
const QvOctet kOidDer[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
const QvWord kInitialValue[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};

QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    QvWord s0 = state[0], s1 = state[1], s2 = state[2], s3 = state[3], s4 = state[4];
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord a = s0, b = s1, c = s2, d = s3, e = s4;
        QvWord w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15;
        w0 = qvLoad32Be(data + 0);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w0 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w1 = qvLoad32Be(data + 4);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w1 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w2 = qvLoad32Be(data + 8);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w2 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w3 = qvLoad32Be(data + 12);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w3 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w4 = qvLoad32Be(data + 16);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w4 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w5 = qvLoad32Be(data + 20);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w5 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w6 = qvLoad32Be(data + 24);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w6 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w7 = qvLoad32Be(data + 28);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w7 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w8 = qvLoad32Be(data + 32);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w8 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w9 = qvLoad32Be(data + 36);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w9 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w10 = qvLoad32Be(data + 40);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w10 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w11 = qvLoad32Be(data + 44);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w11 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w12 = qvLoad32Be(data + 48);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w12 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w13 = qvLoad32Be(data + 52);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w13 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w14 = qvLoad32Be(data + 56);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w14 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w15 = qvLoad32Be(data + 60);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w15 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w0 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w1 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w2 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w3 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w4 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w5 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w6 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w7 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w8 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w9 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w10 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w11 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w12 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w13 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w14 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w15 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w0 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w1 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w2 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w3 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w4 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w5 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w6 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w7 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w8 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w9 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w10 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w11 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w12 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w13 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w14 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w15 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w0 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w1 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w2 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w3 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w4 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w5 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w6 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w7 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w8 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w9 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w10 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w11 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w12 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w13 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w14 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w15 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w0 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w1 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w2 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w3 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w4 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w5 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w6 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w7 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w8 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w9 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w10 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w11 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w12 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w13 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w14 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w15 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        s0 += a; s1 += b; s2 += c; s3 += d; s4 += e;
    }
    state[0] = s0; state[1] = s1; state[2] = s2; state[3] = s3; state[4] = s4;
}

using Paths = QvMdCompressPaths<QvWord, compressBody>;

#if QV_HAVE_X86_PATHS
// The compression with the processor's SHA-1 instructions. One register holds
// A, B, C, D (A in the top lane), another E in its top lane; SHA1RNDS4 runs
// four rounds, SHA1NEXTE forms the next E (A of four rounds back, rotated)
// plus message words, and SHA1MSG1/SHA1MSG2 with one XOR extend the message
// four words at a time: W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]).
#define QV_SHA1_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Rounds 4k .. 4k+3 and the message work that runs beside them: word group
// k+3 gets its first part (msg1) here, its XOR with group k+2 next time and
// its last part (msg2) the time after. `before` holds A, B, C, D from before
// the previous quad, whose A (rotated) is the E of this one.
template <int K>
QV_SHA1_TARGET QV_ALWAYS_INLINE void sha1Quad(__m128i& abcd, __m128i& before, __m128i e, __m128i* m)
{
    const __m128i ew = K == 0 ? _mm_add_epi32(e, m[0]) : _mm_sha1nexte_epu32(before, m[K % 4]);
    before = abcd;
    if (K >= 3 && K <= 18)
        m[(K + 1) % 4] = _mm_sha1msg2_epu32(m[(K + 1) % 4], m[K % 4]);
    abcd = _mm_sha1rnds4_epu32(abcd, ew, K / 5);
    if (K >= 1 && K <= 16)
        m[(K + 3) % 4] = _mm_sha1msg1_epu32(m[(K + 3) % 4], m[K % 4]);
    if (K >= 2 && K <= 17)
        m[(K + 2) % 4] = _mm_xor_si128(m[(K + 2) % 4], m[K % 4]);
}

template <int... K>
QV_SHA1_TARGET QV_ALWAYS_INLINE void sha1Quads(std::integer_sequence<int, K...>, __m128i& abcd, __m128i& before,
                                               __m128i e, __m128i* m)
{
    (void)std::initializer_list<int>{(sha1Quad<K>(abcd, before, e, m), 0)...};
}

QV_SHA1_TARGET void compressShaExt(QvWord* state, const QvOctet* data, std::size_t n)
{
    // Reverses the 16 octets: big-endian words, the first word in the top lane.
    const __m128i order = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        const __m128i abcdIn = abcd;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), order);
        __m128i before = abcd;
        sha1Quads(std::make_integer_sequence<int, 20>(), abcd, before, e, m);
        // A from before the last quad, rotated, is the final E.
        e = _mm_sha1nexte_epu32(before, e);
        abcd = _mm_add_epi32(abcd, abcdIn);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<QvWord>(_mm_extract_epi32(e, 3));
}
#else
constexpr QvMdCompressFn<QvWord> compressShaExt = nullptr;
#endif

} // namespace

QvSha1::QvSha1() : QvMdHash(20, Paths::pick(compressShaExt, QV_CPU_SHA)) {}

QvHash* QvSha1::clone() const { return qvMdClone(*this, "qvsha1", "307"); }

const QvWord* QvSha1::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha1::getOidDer() const { return kOidDer; }

void QvSha1::resetState() { loadInitialValue(kInitialValue); }
