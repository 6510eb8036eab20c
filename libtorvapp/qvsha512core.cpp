#include "libtorvapp/qvsha512core.h"

#include "libtorvapp/qvcommon/qvendian.h"

namespace {

inline std::uint64_t SIG0(std::uint64_t x) { return qvRotr64(x, 1) ^ qvRotr64(x, 8) ^ (x >> 7); }
inline std::uint64_t SIG1(std::uint64_t x) { return qvRotr64(x, 19) ^ qvRotr64(x, 61) ^ (x >> 6); }

// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)), and b ^ c is the previous round's a ^ b.
#define ROUND(a, b, c, d, e, f, g, h, k, w, ab, bc)                                           \
    do {                                                                                      \
        std::uint64_t t1 = h + (qvRotr64(e, 14) ^ qvRotr64(e, 18) ^ qvRotr64(e, 41)) +       \
                           (g ^ (e & (f ^ g))) + k + w;                                       \
        ab = a ^ b;                                                                           \
        std::uint64_t t2 = (qvRotr64(a, 28) ^ qvRotr64(a, 34) ^ qvRotr64(a, 39)) +           \
                           (b ^ (ab & bc));                                                   \
        d += t1;                                                                              \
        h = t1 + t2;                                                                          \
    } while (0)

QV_ALWAYS_INLINE void compressBody(std::uint64_t* state, const QvOctet* data, std::size_t n)
{
    std::uint64_t s[8];
    for (int i = 0; i < 8; ++i)
        s[i] = state[i];
    for (std::size_t blk = 0; blk < n; ++blk, data += 128) {
        std::uint64_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
        std::uint64_t w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15;
        std::uint64_t m0 = b ^ c, m1;
        w0 = qvLoad64Be(data + 0);
        ROUND(a, b, c, d, e, f, g, h, 0x428a2f98d728ae22ull, w0, m1, m0);
        w1 = qvLoad64Be(data + 8);
        ROUND(h, a, b, c, d, e, f, g, 0x7137449123ef65cdull, w1, m0, m1);
        w2 = qvLoad64Be(data + 16);
        ROUND(g, h, a, b, c, d, e, f, 0xb5c0fbcfec4d3b2full, w2, m1, m0);
        w3 = qvLoad64Be(data + 24);
        ROUND(f, g, h, a, b, c, d, e, 0xe9b5dba58189dbbcull, w3, m0, m1);
        w4 = qvLoad64Be(data + 32);
        ROUND(e, f, g, h, a, b, c, d, 0x3956c25bf348b538ull, w4, m1, m0);
        w5 = qvLoad64Be(data + 40);
        ROUND(d, e, f, g, h, a, b, c, 0x59f111f1b605d019ull, w5, m0, m1);
        w6 = qvLoad64Be(data + 48);
        ROUND(c, d, e, f, g, h, a, b, 0x923f82a4af194f9bull, w6, m1, m0);
        w7 = qvLoad64Be(data + 56);
        ROUND(b, c, d, e, f, g, h, a, 0xab1c5ed5da6d8118ull, w7, m0, m1);
        w8 = qvLoad64Be(data + 64);
        ROUND(a, b, c, d, e, f, g, h, 0xd807aa98a3030242ull, w8, m1, m0);
        w9 = qvLoad64Be(data + 72);
        ROUND(h, a, b, c, d, e, f, g, 0x12835b0145706fbeull, w9, m0, m1);
        w10 = qvLoad64Be(data + 80);
        ROUND(g, h, a, b, c, d, e, f, 0x243185be4ee4b28cull, w10, m1, m0);
        w11 = qvLoad64Be(data + 88);
        ROUND(f, g, h, a, b, c, d, e, 0x550c7dc3d5ffb4e2ull, w11, m0, m1);
        w12 = qvLoad64Be(data + 96);
        ROUND(e, f, g, h, a, b, c, d, 0x72be5d74f27b896full, w12, m1, m0);
        w13 = qvLoad64Be(data + 104);
        ROUND(d, e, f, g, h, a, b, c, 0x80deb1fe3b1696b1ull, w13, m0, m1);
        w14 = qvLoad64Be(data + 112);
        ROUND(c, d, e, f, g, h, a, b, 0x9bdc06a725c71235ull, w14, m1, m0);
        w15 = qvLoad64Be(data + 120);
        ROUND(b, c, d, e, f, g, h, a, 0xc19bf174cf692694ull, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0xe49b69c19ef14ad2ull, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0xefbe4786384f25e3ull, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x0fc19dc68b8cd5b5ull, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x240ca1cc77ac9c65ull, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x2de92c6f592b0275ull, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x4a7484aa6ea6e483ull, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x5cb0a9dcbd41fbd4ull, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x76f988da831153b5ull, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0x983e5152ee66dfabull, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0xa831c66d2db43210ull, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0xb00327c898fb213full, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0xbf597fc7beef0ee4ull, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0xc6e00bf33da88fc2ull, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xd5a79147930aa725ull, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0x06ca6351e003826full, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0x142929670a0e6e70ull, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0x27b70a8546d22ffcull, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0x2e1b21385c26c926ull, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x4d2c6dfc5ac42aedull, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x53380d139d95b3dfull, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x650a73548baf63deull, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x766a0abb3c77b2a8ull, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x81c2c92e47edaee6ull, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x92722c851482353bull, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0xa2bfe8a14cf10364ull, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0xa81a664bbc423001ull, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0xc24b8b70d0f89791ull, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0xc76c51a30654be30ull, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0xd192e819d6ef5218ull, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xd69906245565a910ull, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0xf40e35855771202aull, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0x106aa07032bbd1b8ull, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0x19a4c116b8d2d0c8ull, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0x1e376c085141ab53ull, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0x2748774cdf8eeb99ull, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0x34b0bcb5e19b48a8ull, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x391c0cb3c5c95a63ull, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x4ed8aa4ae3418acbull, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x5b9cca4f7763e373ull, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x682e6ff3d6b2b8a3ull, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0x748f82ee5defb2fcull, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0x78a5636f43172f60ull, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0x84c87814a1f0ab72ull, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0x8cc702081a6439ecull, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0x90befffa23631e28ull, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0xa4506cebde82bde9ull, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0xbef9a3f7b2c67915ull, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0xc67178f2e372532bull, w15, m0, m1);
        w0 += SIG1(w14) + w9 + SIG0(w1);
        ROUND(a, b, c, d, e, f, g, h, 0xca273eceea26619cull, w0, m1, m0);
        w1 += SIG1(w15) + w10 + SIG0(w2);
        ROUND(h, a, b, c, d, e, f, g, 0xd186b8c721c0c207ull, w1, m0, m1);
        w2 += SIG1(w0) + w11 + SIG0(w3);
        ROUND(g, h, a, b, c, d, e, f, 0xeada7dd6cde0eb1eull, w2, m1, m0);
        w3 += SIG1(w1) + w12 + SIG0(w4);
        ROUND(f, g, h, a, b, c, d, e, 0xf57d4f7fee6ed178ull, w3, m0, m1);
        w4 += SIG1(w2) + w13 + SIG0(w5);
        ROUND(e, f, g, h, a, b, c, d, 0x06f067aa72176fbaull, w4, m1, m0);
        w5 += SIG1(w3) + w14 + SIG0(w6);
        ROUND(d, e, f, g, h, a, b, c, 0x0a637dc5a2c898a6ull, w5, m0, m1);
        w6 += SIG1(w4) + w15 + SIG0(w7);
        ROUND(c, d, e, f, g, h, a, b, 0x113f9804bef90daeull, w6, m1, m0);
        w7 += SIG1(w5) + w0 + SIG0(w8);
        ROUND(b, c, d, e, f, g, h, a, 0x1b710b35131c471bull, w7, m0, m1);
        w8 += SIG1(w6) + w1 + SIG0(w9);
        ROUND(a, b, c, d, e, f, g, h, 0x28db77f523047d84ull, w8, m1, m0);
        w9 += SIG1(w7) + w2 + SIG0(w10);
        ROUND(h, a, b, c, d, e, f, g, 0x32caab7b40c72493ull, w9, m0, m1);
        w10 += SIG1(w8) + w3 + SIG0(w11);
        ROUND(g, h, a, b, c, d, e, f, 0x3c9ebe0a15c9bebcull, w10, m1, m0);
        w11 += SIG1(w9) + w4 + SIG0(w12);
        ROUND(f, g, h, a, b, c, d, e, 0x431d67c49c100d4cull, w11, m0, m1);
        w12 += SIG1(w10) + w5 + SIG0(w13);
        ROUND(e, f, g, h, a, b, c, d, 0x4cc5d4becb3e42b6ull, w12, m1, m0);
        w13 += SIG1(w11) + w6 + SIG0(w14);
        ROUND(d, e, f, g, h, a, b, c, 0x597f299cfc657e2aull, w13, m0, m1);
        w14 += SIG1(w12) + w7 + SIG0(w15);
        ROUND(c, d, e, f, g, h, a, b, 0x5fcb6fab3ad6faecull, w14, m1, m0);
        w15 += SIG1(w13) + w8 + SIG0(w0);
        ROUND(b, c, d, e, f, g, h, a, 0x6c44198c4a475817ull, w15, m0, m1);
        s[0] += a; s[1] += b; s[2] += c; s[3] += d;
        s[4] += e; s[5] += f; s[6] += g; s[7] += h;
    }
    for (int i = 0; i < 8; ++i)
        state[i] = s[i];
}

} // namespace

QvMdCompressFn<std::uint64_t> qvSha512ChooseCompress()
{
    return QvMdCompressPaths<std::uint64_t, compressBody>::pick();
}
