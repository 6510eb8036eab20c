// Products and squares of the fixed sizes that carry the curve fields and
// short moduli, unrolled over the inner loop (each size its own routine).
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace {

// r[0..N) (+)= a[0..N) * w with the carry returned; fully unrolled.
template <QvWordLen N, bool Add>
inline __attribute__((always_inline)) u64 rowT(QvWord *r, const QvWord *a, u64 w) {
    u64 c = 0;
#pragma GCC unroll 16
    for (QvWordLen i = 0; i + 2 <= N; i += 2) {
        u128 p = (u128)ld64(a + i) * w + c;
        if (Add) p += ld64(r + i);
        st64(r + i, (u64)p);
        c = (u64)(p >> 64);
    }
    if constexpr ((N & 1) != 0) {
        u128 p = (u128)a[N - 1] * w + c;
        if (Add) p += r[N - 1];
        r[N - 1] = (QvWord)p;
        c = (u64)(p >> 32);
    }
    return c;
}

// Rows of two words of b over all N words of a; row 0 writes, the others
// add and write their carry into the fresh words above.
template <QvWordLen N>
inline __attribute__((always_inline)) void mulT(QvWord *r, const QvWord *a, const QvWord *b) {
    st64(r + N, rowT<N, false>(r, a, ld64(b)));
#pragma GCC unroll 16
    for (QvWordLen j = 2; j + 2 <= N; j += 2) st64(r + j + N, rowT<N, true>(r + j, a, ld64(b + j)));
    if constexpr ((N & 1) != 0) r[2 * N - 1] = (QvWord)rowT<N, true>(r + N - 1, a, b[N - 1]);
}

// Square of an even number of words: limb cross products, doubled, plus the
// diagonal in one pass.
template <QvWordLen N>
inline __attribute__((always_inline)) void sqrEvenT(QvWord *r, const QvWord *a) {
#pragma GCC unroll 34
    for (QvWordLen i = 0; i < 2 * N; ++i) r[i] = 0;
#pragma GCC unroll 16
    for (QvWordLen i = 0; i + 2 < N; i += 2) {
        const QvWordLen len = N - i - 2;
        u64 w = ld64(a + i);
        u64 c = 0;
#pragma GCC unroll 16
        for (QvWordLen k = 0; k < len; k += 2) {
            u128 p = (u128)ld64(a + i + 2 + k) * w + ld64(r + 2 * i + 2 + k) + c;
            st64(r + 2 * i + 2 + k, (u64)p);
            c = (u64)(p >> 64);
        }
        st64(r + N + i, c);
    }
    u64 shiftIn = 0, c = 0;
#pragma GCC unroll 16
    for (QvWordLen i = 0; i < N; i += 2) {
        u64 x = ld64(a + i);
        u128 sq = (u128)x * x;
        u64 r0 = ld64(r + 2 * i), r1 = ld64(r + 2 * i + 2);
        u64 d0 = (r0 << 1) | shiftIn;
        u64 d1 = (r1 << 1) | (r0 >> 63);
        shiftIn = r1 >> 63;
        u128 s0 = (u128)d0 + (u64)sq + c;
        u128 s1 = (u128)d1 + (u64)(sq >> 64) + (u64)(s0 >> 64);
        st64(r + 2 * i, (u64)s0);
        st64(r + 2 * i + 2, (u64)s1);
        c = (u64)(s1 >> 64);
    }
}

template <QvWordLen N>
inline __attribute__((always_inline)) void sqrT(QvWord *r, const QvWord *a) {
    if constexpr ((N & 1) == 0) {
        sqrEvenT<N>(r, a);
    } else {
        constexpr QvWordLen M = N - 1;
        const QvWord t = a[M];
        sqrEvenT<M>(r, a);
        st64(r + 2 * M, (u64)t * t);
        u64 c = rowT<M, true>(r + M, a, 2 * (u64)t);
        u64 x = ld64(r + 2 * M);
        st64(r + 2 * M, x + c);
    }
}

}  // namespace

void longvMul3(QvWord *r, const QvWord *a, const QvWord *b) { mulT<3>(r, a, b); }
void longvMul4(QvWord *r, const QvWord *a, const QvWord *b) { mulT<4>(r, a, b); }
void longvMul5(QvWord *r, const QvWord *a, const QvWord *b) { mulT<5>(r, a, b); }
void longvMul6(QvWord *r, const QvWord *a, const QvWord *b) { mulT<6>(r, a, b); }
void longvMul7(QvWord *r, const QvWord *a, const QvWord *b) { mulT<7>(r, a, b); }
void longvMul8(QvWord *r, const QvWord *a, const QvWord *b) { mulT<8>(r, a, b); }
void longvMul12(QvWord *r, const QvWord *a, const QvWord *b) { mulT<12>(r, a, b); }
void longvMul16(QvWord *r, const QvWord *a, const QvWord *b) { mulT<16>(r, a, b); }
void longvMul17(QvWord *r, const QvWord *a, const QvWord *b) { mulT<17>(r, a, b); }

void longvSqr3(QvWord *r, const QvWord *a) { sqrT<3>(r, a); }
void longvSqr4(QvWord *r, const QvWord *a) { sqrT<4>(r, a); }
void longvSqr5(QvWord *r, const QvWord *a) { sqrT<5>(r, a); }
void longvSqr6(QvWord *r, const QvWord *a) { sqrT<6>(r, a); }
void longvSqr7(QvWord *r, const QvWord *a) { sqrT<7>(r, a); }
void longvSqr8(QvWord *r, const QvWord *a) { sqrT<8>(r, a); }
void longvSqr12(QvWord *r, const QvWord *a) { sqrT<12>(r, a); }
void longvSqr16(QvWord *r, const QvWord *a) { sqrT<16>(r, a); }
void longvSqr17(QvWord *r, const QvWord *a) { sqrT<17>(r, a); }
