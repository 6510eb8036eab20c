// Fast reduction modulo six standard field primes.  Each reduction takes a
// product of two residues (2k words) and leaves it fully reduced in the low k
// words; only additions, subtractions and shifts are used.
#include "libtorvapp/qvnumbers/montgomery.h"

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

// Word-serial folding for the primes whose multiples w*p are written out
// from the prime's word pattern: the top word w of the (K+1)-word window
// ending at word i is cleared by subtracting w*p there.
template <QvWordLen K, void (*Pattern)(QvWord, QvWord *)>
inline void foldPattern(QvWord *t, const QvWord *p) {
    QvWord wp[K + 1];
    for (QvWordLen i = 2 * K - 1; i >= K; --i) {
        const QvWord w = t[i];
        if (w != 0) {
            Pattern(w, wp);
            longvSub(t + i - K, wp, K + 1, 0);
        }
        while (t[i] != 0) t[i] -= longvSub(t + i - K, p, K, 0);
    }
    subtractWhileNotBelow<K>(t, p, 0);
}

// w * p256 = -w, ~0, ~0, w-1, 0, 0, w, -w, w-1 (least significant word first).
void pattern256(QvWord w, QvWord *o) {
    o[0] = 0u - w; o[1] = 0xFFFFFFFF; o[2] = 0xFFFFFFFF; o[3] = w - 1;
    o[4] = 0; o[5] = 0; o[6] = w; o[7] = 0u - w; o[8] = w - 1;
}

// w * p384 = -w, w-1, 0, -w, ~w, seven words ~0, w-1.
void pattern384(QvWord w, QvWord *o) {
    o[0] = 0u - w; o[1] = w - 1; o[2] = 0; o[3] = 0u - w; o[4] = ~w;
    for (int j = 5; j < 12; ++j) o[j] = 0xFFFFFFFF;
    o[12] = w - 1;
}

// Adds the value v (n words) at word `at` of t (total words tn); returns the carry.
inline QvWord addInto(QvWord *t, QvWordLen tn, QvWordLen at, const QvWord *v, QvWordLen n) {
    QvWord c = longvAdd(t + at, v, n, 0);
    if (c != 0 && at + n < tn) c = longvInc(t + at + n, tn - at - n);
    return c;
}

inline QvWord subFrom(QvWord *t, QvWordLen tn, QvWordLen at, const QvWord *v, QvWordLen n) {
    QvWord b = longvSub(t + at, v, n, 0);
    if (b != 0 && at + n < tn) b = longvDec(t + at + n, tn - at - n);
    return b;
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

void longvModP384(QvWord *t) { foldPattern<12, pattern384>(t, QV_PRIME_P384); }

void longvModP256(QvWord *t) { foldPattern<8, pattern256>(t, QV_PRIME_P256); }

// 2^224 = 2^96 - 1 (mod p): a group X at word j is removed, added at word j-4
// and subtracted at word j-7.
void longvModP224(QvWord *t) {
    // Fold words 7..13 (and whatever a fold carries back up) until none is left.
    for (;;) {
        QvWord hi[7];
        longvCopy(hi, t + 7, 7);
        if (longvIsZero(hi, 7)) break;
        longvZero(t + 7, 7);
        // t (14 words) = low + hi * 2^96 - hi; low + hi*2^96 stays below 2^320.
        addInto(t, 14, 3, hi, 7);
        subFrom(t, 14, 0, hi, 7);  // never borrows: hi * 2^96 >= hi
    }
    subtractWhileNotBelow<7>(t, QV_PRIME_P224, 0);
}

// 2^192 = 2^64 + 1 (mod p).
void longvModP192(QvWord *t) {
    for (;;) {
        QvWord hi[6];
        longvCopy(hi, t + 6, 6);
        if (longvIsZero(hi, 6)) break;
        longvZero(t + 6, 6);
        addInto(t, 12, 0, hi, 6);
        addInto(t, 12, 2, hi, 6);
    }
    subtractWhileNotBelow<6>(t, QV_PRIME_P192, 0);
}

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
