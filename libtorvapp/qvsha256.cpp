#include "libtorvapp/qvsha256.h"

#include <initializer_list>
#include <utility>

#include "libtorvapp/qvcommon/qvendian.h"

#if QV_HAVE_X86_PATHS
#include <immintrin.h>
#endif

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 1};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const QvWord kInitialValue[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

inline QvWord SIG0(QvWord x) { return qvRotr32(x, 7) ^ qvRotr32(x, 18) ^ (x >> 3); }
inline QvWord SIG1(QvWord x) { return qvRotr32(x, 17) ^ qvRotr32(x, 19) ^ (x >> 10); }

// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)), and b ^ c is the previous round's a ^ b.
#define ROUND(a, b, c, d, e, f, g, h, k, w, ab, bc)                                           \
    do {                                                                                      \
        QvWord t1 = h + (qvRotr32(e, 6) ^ qvRotr32(e, 11) ^ qvRotr32(e, 25)) +               \
                    (g ^ (e & (f ^ g))) + k + w;                                              \
        ab = a ^ b;                                                                           \
        QvWord t2 = (qvRotr32(a, 2) ^ qvRotr32(a, 13) ^ qvRotr32(a, 22)) + (b ^ (ab & bc));  \
        d += t1;                                                                              \
        h = t1 + t2;                                                                          \
    } while (0)

QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    QvWord s[8];
    for (int i = 0; i < 8; ++i)
        s[i] = state[i];
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
        QvWord w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15;
        QvWord m0 = b ^ c, m1;
        w0 = qvLoad32Be(data + 0);
        ROUND(a, b, c, d, e, f, g, h, 0x428a2f98u, w0, m1, m0);
        w1 = qvLoad32Be(data + 4);
        ROUND(h, a, b, c, d, e, f, g, 0x71374491u, w1, m0, m1);
        w2 = qvLoad32Be(data + 8);
        ROUND(g, h, a, b, c, d, e, f, 0xb5c0fbcfu, w2, m1, m0);
        w3 = qvLoad32Be(data + 12);
        ROUND(f, g, h, a, b, c, d, e, 0xe9b5dba5u, w3, m0, m1);
        w4 = qvLoad32Be(data + 16);
        ROUND(e, f, g, h, a, b, c, d, 0x3956c25bu, w4, m1, m0);
        w5 = qvLoad32Be(data + 20);
        ROUND(d, e, f, g, h, a, b, c, 0x59f111f1u, w5, m0, m1);
        w6 = qvLoad32Be(data + 24);
        ROUND(c, d, e, f, g, h, a, b, 0x923f82a4u, w6, m1, m0);
        w7 = qvLoad32Be(data + 28);
        ROUND(b, c, d, e, f, g, h, a, 0xab1c5ed5u, w7, m0, m1);
        w8 = qvLoad32Be(data + 32);
        ROUND(a, b, c, d, e, f, g, h, 0xd807aa98u, w8, m1, m0);
        w9 = qvLoad32Be(data + 36);
        ROUND(h, a, b, c, d, e, f, g, 0x12835b01u, w9, m0, m1);
        w10 = qvLoad32Be(data + 40);
        ROUND(g, h, a, b, c, d, e, f, 0x243185beu, w10, m1, m0);
        w11 = qvLoad32Be(data + 44);
        ROUND(f, g, h, a, b, c, d, e, 0x550c7dc3u, w11, m0, m1);
        w12 = qvLoad32Be(data + 48);
        ROUND(e, f, g, h, a, b, c, d, 0x72be5d74u, w12, m1, m0);
        w13 = qvLoad32Be(data + 52);
        ROUND(d, e, f, g, h, a, b, c, 0x80deb1feu, w13, m0, m1);
        w14 = qvLoad32Be(data + 56);
        ROUND(c, d, e, f, g, h, a, b, 0x9bdc06a7u, w14, m1, m0);
        w15 = qvLoad32Be(data + 60);
        ROUND(b, c, d, e, f, g, h, a, 0xc19bf174u, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0xe49b69c1u, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0xefbe4786u, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x0fc19dc6u, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x240ca1ccu, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x2de92c6fu, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x4a7484aau, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x5cb0a9dcu, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x76f988dau, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0x983e5152u, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0xa831c66du, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0xb00327c8u, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0xbf597fc7u, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0xc6e00bf3u, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xd5a79147u, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0x06ca6351u, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0x14292967u, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0x27b70a85u, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0x2e1b2138u, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x4d2c6dfcu, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x53380d13u, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x650a7354u, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x766a0abbu, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x81c2c92eu, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x92722c85u, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0xa2bfe8a1u, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0xa81a664bu, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0xc24b8b70u, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0xc76c51a3u, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0xd192e819u, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xd6990624u, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0xf40e3585u, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0x106aa070u, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0x19a4c116u, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0x1e376c08u, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x2748774cu, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x34b0bcb5u, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x391c0cb3u, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x4ed8aa4au, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x5b9cca4fu, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x682e6ff3u, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0x748f82eeu, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0x78a5636fu, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0x84c87814u, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0x8cc70208u, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0x90befffau, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xa4506cebu, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0xbef9a3f7u, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0xc67178f2u, w15, m0, m1);
        s[0] += a; s[1] += b; s[2] += c; s[3] += d;
        s[4] += e; s[5] += f; s[6] += g; s[7] += h;
    }
    for (int i = 0; i < 8; ++i)
        state[i] = s[i];
}

using Paths = QvMdCompressPaths<QvWord, compressBody>;

#if QV_HAVE_X86_PATHS
// The compression with the processor's SHA-256 instructions. The state lives
// in two registers, A B E F and C D G H (first named in the top lane);
// SHA256RNDS2 runs two rounds on the low two lanes of W + K, and
// SHA256MSG1/SHA256MSG2 with one addition extend the message four words at a
// time: W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16].
#define QV_SHA256_TARGET __attribute__((target("sha,sse4.1,ssse3")))

alignas(16) const QvWord kRoundConstants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u,
    0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u,
    0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu,
    0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u,
    0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u,
    0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u,
    0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u,
    0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

// Rounds 4k .. 4k+3; beside them word group k+1 is finished (its sum with
// W[t-7] and msg2) and group k+3 started (msg1).
template <int K>
QV_SHA256_TARGET QV_ALWAYS_INLINE void sha256Quad(__m128i& abef, __m128i& cdgh, __m128i* m)
{
    __m128i wk = _mm_add_epi32(m[K % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * K)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    if (K >= 3 && K <= 14) {
        const __m128i w7 = _mm_alignr_epi8(m[K % 4], m[(K + 3) % 4], 4);
        m[(K + 1) % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(K + 1) % 4], w7), m[K % 4]);
    }
    wk = _mm_shuffle_epi32(wk, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
    if (K >= 1 && K <= 12)
        m[(K + 3) % 4] = _mm_sha256msg1_epu32(m[(K + 3) % 4], m[K % 4]);
}

template <int... K>
QV_SHA256_TARGET QV_ALWAYS_INLINE void sha256Quads(std::integer_sequence<int, K...>, __m128i& abef, __m128i& cdgh,
                                                   __m128i* m)
{
    (void)std::initializer_list<int>{(sha256Quad<K>(abef, cdgh, m), 0)...};
}

QV_SHA256_TARGET void compressShaExt(QvWord* state, const QvOctet* data, std::size_t n)
{
    // Big-endian words, the first word in the lowest lane.
    const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        const __m128i abefIn = abef, cdghIn = cdgh;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), order);
        sha256Quads(std::make_integer_sequence<int, 16>(), abef, cdgh, m);
        abef = _mm_add_epi32(abef, abefIn);
        cdgh = _mm_add_epi32(cdgh, cdghIn);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#else
constexpr QvMdCompressFn<QvWord> compressShaExt = nullptr;
#endif

} // namespace

QvSha256::QvSha256() : QvSha256(32u) {}

QvSha256::QvSha256(unsigned int digestOctets) : QvMdHash(digestOctets, Paths::pick(compressShaExt, QV_CPU_SHA)) {}

QvHash* QvSha256::clone() const { return qvMdClone(*this, "qvsha256", "215"); }

const QvWord* QvSha256::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha256::getOidDer() const { return kOidDer; }

void QvSha256::resetState() { loadInitialValue(kInitialValue); }
