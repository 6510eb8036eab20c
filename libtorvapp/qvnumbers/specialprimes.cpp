// Fast reduction modulo six standard field primes.  Each reduction takes a
// product of two residues (2k words) and leaves it fully reduced in the low k
// words, using additions, subtractions, shifts and small signed weights (the
// multiples of 2^32k modulo the prime that the primes' sparse forms give).
#include "libtorvapp/qvnumbers/montgomery.h"

#include <cstdint>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

const QvWord QV_PRIME_P160[5] = {0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
const QvWord QV_PRIME_P192[6] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
const QvWord QV_PRIME_P224[7] = {0x00000001, 0x00000000, 0x00000000, 0xFFFFFFFF,
                                 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
const QvWord QV_PRIME_P256[8] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
                                 0x00000000, 0x00000000, 0x00000001, 0xFFFFFFFF};
const QvWord QV_PRIME_P384[12] = {0xFFFFFFFF, 0x00000000, 0x00000000, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF,
                                  0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
const QvWord QV_PRIME_P521[17] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                  0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                  0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x000001FF};

namespace {

template <QvWordLen K>
inline void subtractWhileNotBelow(QvWord *t, const QvWord *p, QvWord top) {
    while (top != 0 || longvCmp(t, p, K) >= 0) top -= longvSub(t, p, K, 0);
}

// Signed word coefficients of 2^(32j) mod p for j = k .. 2k-1 (row j - k),
// from the primes' sparse forms (each row sums to 2^(32j) modulo p).
const signed char kFold192[6][6] = {
    {1, 0, 1, 0, 0, 0},
    {0, 1, 0, 1, 0, 0},
    {0, 0, 1, 0, 1, 0},
    {0, 0, 0, 1, 0, 1},
    {1, 0, 1, 0, 1, 0},
    {0, 1, 0, 1, 0, 1},
};
const signed char kFold224[7][7] = {
    {-1, 0, 0, 1, 0, 0, 0},
    {0, -1, 0, 0, 1, 0, 0},
    {0, 0, -1, 0, 0, 1, 0},
    {0, 0, 0, -1, 0, 0, 1},
    {-1, 0, 0, 1, -1, 0, 0},
    {0, -1, 0, 0, 1, -1, 0},
    {0, 0, -1, 0, 0, 1, -1},
};
const signed char kFold256[8][8] = {
    {1, 0, 0, -1, 0, 0, -1, 1},
    {1, 1, 0, -1, -1, 0, -1, 0},
    {0, 1, 1, 0, -1, -1, 0, -1},
    {-1, 0, 1, 2, 0, -1, 0, -1},
    {-1, -1, 0, 2, 2, 0, 0, -1},
    {-1, -1, -1, 1, 2, 2, 1, -1},
    {-1, -1, -1, 0, 1, 2, 3, 0},
    {0, -1, -1, -1, 0, 1, 2, 3},
};
const signed char kFold384[12][12] = {
    {1, -1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, -1, 0, 1, 1, 0, 0, 0, 0, 0, 0},
    {0, 0, 1, -1, 0, 1, 1, 0, 0, 0, 0, 0},
    {0, 0, 0, 1, -1, 0, 1, 1, 0, 0, 0, 0},
    {0, 0, 0, 0, 1, -1, 0, 1, 1, 0, 0, 0},
    {0, 0, 0, 0, 0, 1, -1, 0, 1, 1, 0, 0},
    {0, 0, 0, 0, 0, 0, 1, -1, 0, 1, 1, 0},
    {0, 0, 0, 0, 0, 0, 0, 1, -1, 0, 1, 1},
    {1, -1, 0, 1, 1, 0, 0, 0, 1, -1, 0, 1},
    {1, 0, -1, 1, 2, 1, 0, 0, 0, 1, -1, 0},
    {0, 1, 0, -1, 1, 2, 1, 0, 0, 0, 1, -1},
    {-1, 1, 1, -1, -2, 1, 2, 1, 0, 0, 0, 1},
};

// t (2K words) mod p through the coefficient rows: every word of the upper
// half is added into the lower half with its row's small signed weights, the
// signed columns are propagated, and a remaining carry c * 2^(32K) is folded
// back the same way through row 0 until none is left.
template <QvWordLen K>
QV_ALWAYS_INLINE void foldRows(QvWord *t, const signed char (*rows)[K], const QvWord *p) {
    std::int64_t acc[K];
#pragma GCC unroll 16
    for (QvWordLen w = 0; w < K; ++w) acc[w] = t[w];
#pragma GCC unroll 16
    for (QvWordLen j = 0; j < K; ++j) {
        const std::int64_t c = t[K + j];
#pragma GCC unroll 16
        for (QvWordLen w = 0; w < K; ++w) acc[w] += rows[j][w] * c;
    }
    std::int64_t carry = 0;
    for (;;) {
#pragma GCC unroll 16
        for (QvWordLen w = 0; w < K; ++w) {
            const std::int64_t v = acc[w] + carry;
            t[w] = (QvWord)v;
            carry = v >> 32;  // arithmetic: the columns may be negative
        }
        if (carry == 0) break;
#pragma GCC unroll 16
        for (QvWordLen w = 0; w < K; ++w) acc[w] = (std::int64_t)t[w] + rows[0][w] * carry;
        carry = 0;
    }
    subtractWhileNotBelow<K>(t, p, 0);
}

// Adds the value v (n words) at word `at` of t (total words tn); returns the carry.
inline QvWord addInto(QvWord *t, QvWordLen tn, QvWordLen at, const QvWord *v, QvWordLen n) {
    QvWord c = longvAdd(t + at, v, n, 0);
    if (c != 0 && at + n < tn) c = longvInc(t + at + n, tn - at - n);
    return c;
}

}  // namespace

void longvModP521(QvWord *t) {
    QvWord h[17];
    for (int i = 0; i < 16; ++i) h[i] = (t[16 + i] >> 9) | (t[17 + i] << 23);
    h[16] = t[32] >> 9;
    t[16] &= 0x1FF;
    longvAdd(t, h, 17, 0);
    subtractWhileNotBelow<17>(t, QV_PRIME_P521, 0);
}

void longvModP384(QvWord *t) { foldRows<12>(t, kFold384, QV_PRIME_P384); }

void longvModP256(QvWord *t) { foldRows<8>(t, kFold256, QV_PRIME_P256); }

void longvModP224(QvWord *t) { foldRows<7>(t, kFold224, QV_PRIME_P224); }

void longvModP192(QvWord *t) { foldRows<6>(t, kFold192, QV_PRIME_P192); }

// 2^160 = 2^31 + 1 (mod p).
void longvModP160(QvWord *t) {
    for (;;) {
        QvWord hi[6];
        longvCopy(hi, t + 5, 5);
        if (longvIsZero(hi, 5)) break;
        longvZero(t + 5, 5);
        addInto(t, 10, 0, hi, 5);
        hi[5] = longvShlBits(hi, 5, 31);
        addInto(t, 10, 0, hi, 6);
    }
    subtractWhileNotBelow<5>(t, QV_PRIME_P160, 0);
}

#define QV_SPECIAL(BITS, K)                                                                       \
    void longvMulModP##BITS(QvWord *r, const QvWord *a, const QvWord *b) {                        \
        longvMul##K(r, a, b);                                                                     \
        longvModP##BITS(r);                                                                       \
    }                                                                                             \
    void longvSqrModP##BITS(QvWord *r, const QvWord *a) {                                         \
        longvSqr##K(r, a);                                                                        \
        longvModP##BITS(r);                                                                       \
    }
QV_SPECIAL(160, 5)
QV_SPECIAL(192, 6)
QV_SPECIAL(224, 7)
QV_SPECIAL(256, 8)
QV_SPECIAL(384, 12)
QV_SPECIAL(521, 17)
#undef QV_SPECIAL
