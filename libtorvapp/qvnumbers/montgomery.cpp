// Montgomery reduction and multiplication.  The value arrays are 32-bit words;
// inside, the reduction takes two or four words per step (64- or 128-bit
// quotient digits), which gives the same quotient R-adic digits as one word
// per step: U = -t * m^-1 mod R is one number whichever base it is built in.
#include "libtorvapp/qvnumbers/montgomery.h"

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace {

inline u128 ld128(const QvWord *p) { return ((u128)ld64(p + 2) << 64) | ld64(p); }

// Adds the 128-bit v at r[0..n) (n >= 4); returns the carry out of the top.
inline QvWord add128(QvWord *r, QvWordLen n, u128 v) {
    u128 x = ld128(r);
    u128 s = x + v;
    st64(r, (u64)s);
    st64(r + 2, (u64)(s >> 64));
    if (s >= x) return 0;
    return longvInc(r + 4, n - 4);
}

// Adds lo + hi * 2^64 (hi below 2^97) at r[0..n) (n >= 5); returns the carry
// out of the top.
inline QvWord add160(QvWord *r, QvWordLen n, u64 lo, u128 hi) {
    const u128 low = ((u128)(u64)hi << 64) | lo;
    const u128 s = ld128(r) + low;
    st64(r, (u64)s);
    st64(r + 2, (u64)(s >> 64));
    return addAt(r + 4, n - 4, (u64)(hi >> 64) + (s < low ? 1 : 0));
}

// The inverse of m modulo 2^64 and 2^128 from the one modulo 2^32 (Newton).
inline u64 inv64From(QvWord mu, const QvWord *m) {
    const u64 m0 = ld64(m);
    u64 x = (QvWord)(0u - mu);
    return x * (2 - m0 * x);
}

inline u128 inv128From(u64 inv64, const QvWord *m) {
    const u128 m0 = ld128(m);
    u128 x = inv64;
    return x * (2 - m0 * x);
}

// t (2n words) += U * m so that its low n words vanish; returns the carry out
// of word 2n-1 (0 or 1 for t below m * R).
QV_ALWAYS_INLINE QvWord redcRows(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n) {
    QvWord over = 0;
    QvWordLen i = 0;
    if (n >= 2) {
        const u64 inv64 = inv64From(mu, m);
        if (n >= 8) {
            // Four words per step; an odd top word of m is added beside the
            // two-limb row (moduli of k + 1 words in the wide form are odd-sized).
            const u128 mu128 = (u128)0 - inv128From(inv64, m);
            const QvWordLen ne = n & ~1u;
            const QvWord mt = m[n - 1];
            for (; i + 4 <= n; i += 4) {
                const u128 u = ld128(t + i) * mu128;
                const u64 u0 = (u64)u, u1 = (u64)(u >> 64);
                const u128 c = mulAddRow2(t + i, m, ne, u0, u1);
                if (ne == n) {
                    over += add128(t + i + n, n - i, c);
                } else {
                    const u128 p0 = (u128)u0 * mt + (u64)c;
                    const u128 p1 = (u128)u1 * mt + (u64)(c >> 64) + (u64)(p0 >> 64);
                    over += add160(t + i + ne, n - i + 1, (u64)p0, p1);
                }
            }
        }
        const u64 mu64 = 0 - inv64;
        for (; i + 2 <= n; i += 2) {
            const u64 u = ld64(t + i) * mu64;
            const u64 c = mulAddRow(t + i, m, n, u);
            over += addAt(t + i + n, n - i, c);
        }
    }
    for (; i < n; ++i) {
        const QvWord u = t[i] * mu;
        const u64 c = mulAddRow(t + i, m, n, u);
        over += addAt(t + i + n, n - i, c);
    }
    return over;
}

QV_ALWAYS_INLINE void redcFinish(QvWord *t, const QvWord *m, QvWordLen n, QvWord over, bool subtract) {
    for (QvWordLen j = 0; j < n; ++j) t[j] = t[n + j];
    if (subtract && (over != 0 || longvCmp(t, m, n) >= 0)) longvSub(t, m, n, 0);
}

QV_ALWAYS_INLINE void redc(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n, bool subtract) {
    const QvWord over = redcRows(t, m, mu, n);
    redcFinish(t, m, n, over, subtract);
}

// Rows for a modulus whose words 1..n-2 are zero: u*m[0] at word i and
// u*m[n-1] at word i+n-1; the words between carry only.
QV_ALWAYS_INLINE void redcSparse(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n) {
    QvWord over = 0;
    const QvWord m0 = m[0], mt = m[n - 1];
    for (QvWordLen i = 0; i < n; ++i) {
        const QvWord u = t[i] * mu;
        u64 c = ((u64)u * m0 + t[i]) >> 32;
        QvWordLen j = i + 1;
        for (; c != 0 && j < i + n - 1; ++j) {
            const u64 s = (u64)t[j] + c;
            t[j] = (QvWord)s;
            c = s >> 32;
        }
        const u64 s = (u64)u * mt + t[i + n - 1] + c;
        t[i + n - 1] = (QvWord)s;
        over += addAt(t + i + n, n - i, s >> 32);
    }
    redcFinish(t, m, n, over, true);
}

// Product of two n-word operands into r (2n words).
QV_ALWAYS_INLINE void product(QvWord *r, const QvWord *a, const QvWord *b, QvWordLen n) {
    if (a == b) sqrPlain(r, a, n);
    else mulPlain(r, a, n, b, n);
}

// Runs f on a 2n-word buffer from the stack (or the heap when long).
template <class F>
void withBuffer(QvWordLen words, F f) {
    if (words <= 1024) {
        QvWord buf[1024];
        f(buf);
        wipeWords(buf, words);
    } else {
        QvWordMem mem(words);
        f(mem.getData());
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// General length
// ---------------------------------------------------------------------------
void longvMontRedc(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n) { redc(t, m, mu, n, true); }

void longvMontRedcWide(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n) { redc(t, m, mu, n, false); }

void longvMontMulBuf(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n) {
    product(r, a, b, n);
    redc(r, m, mu, n, true);
}

void longvMontMulWideBuf(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu,
                         QvWordLen n) {
    product(r, a, b, n);
    redc(r, m, mu, n, false);
}

void longvMontMul(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n) {
    if (n == 0) return;
    withBuffer(2 * n, [&](QvWord *t) {
        product(t, a, b, n);
        redc(t, m, mu, n, true);
        longvCopy(r, t, n);
    });
}

void longvMontMulWide(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n) {
    if (n == 0) return;
    withBuffer(2 * n, [&](QvWord *t) {
        product(t, a, b, n);
        redc(t, m, mu, n, false);
        longvCopy(r, t, n);
    });
}

void longvMontSqr(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen n) {
    sqrPlain(r, a, n);
    redc(r, m, mu, n, true);
}

void longvMontSqrWide(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen n) {
    sqrPlain(r, a, n);
    redc(r, m, mu, n, false);
}

void longvFromMontgomery(QvWord *r, const QvWord *a, const QvWord *m, QvWordLen n) {
    if (n == 0) return;
    QvWord mu = 0;
    wordMontInverse(&m[0], &mu);
    withBuffer(2 * n, [&](QvWord *t) {
        longvCopy(t, a, n);
        longvZero(t + n, n);
        redc(t, m, mu, n, true);
        longvCopy(r, t, n);
    });
}

QvRet longvMontRedcAlloc(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu,
                         QvWord *r, QvWordLen nr) {
    const QvWordLen words = 2 * n + 1;
    QvWord *t = new (std::nothrow) QvWord[words];
    if (t == nullptr) return QV_RET_NO_MEMORY;
    longvCopyExtend(t, words, x, nx < words ? nx : words);
    QvWord over = redcRows(t, m, *mu, n);
    over += t[2 * n];
    redcFinish(t, m, n, over, true);
    longvCopyExtend(r, nr, t, n);
    wipeWords(t, words);
    delete[] t;
    return QV_RET_OK;
}

QvRet longvMontRedcAlloc(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu) {
    return longvMontRedcAlloc(x, nx, m, n, mu, x, nx);
}

QvRet wordMontInverse(const QvWord *w, QvWord *mu) {
    const QvWord v = *w;
    if (v == 0) return QV_RET_BAD_ARGUMENT;
    if ((v & 1) == 0) return QV_RET_NO_INVERSE;
    QvWord x = v;  // correct to 3 bits; each step doubles them
    for (int i = 0; i < 4; ++i) x *= 2 - v * x;
    *mu = 0u - x;
    return QV_RET_OK;
}

// ---------------------------------------------------------------------------
// Fixed sizes
// ---------------------------------------------------------------------------
namespace {

template <QvWordLen N>
struct Fixed;

#define QV_FIXED_PRODUCTS(N)                                                                         \
    template <>                                                                                      \
    struct Fixed<N> {                                                                                \
        static void mul(QvWord *r, const QvWord *a, const QvWord *b) { longvMul##N(r, a, b); }      \
        static void sqr(QvWord *r, const QvWord *a) { longvSqr##N(r, a); }                          \
    };
QV_FIXED_PRODUCTS(3)
QV_FIXED_PRODUCTS(4)
QV_FIXED_PRODUCTS(5)
QV_FIXED_PRODUCTS(6)
QV_FIXED_PRODUCTS(7)
QV_FIXED_PRODUCTS(8)
QV_FIXED_PRODUCTS(12)
QV_FIXED_PRODUCTS(16)
#undef QV_FIXED_PRODUCTS

template <QvWordLen N>
void fixedMul(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen) {
    Fixed<N>::mul(r, a, b);
    redc(r, m, mu, N, true);
}
template <QvWordLen N>
void fixedSqr(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen) {
    Fixed<N>::sqr(r, a);
    redc(r, m, mu, N, true);
}
template <QvWordLen N>
void sparseMul(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen) {
    Fixed<N>::mul(r, a, b);
    redcSparse(r, m, mu, N);
}
template <QvWordLen N>
void sparseSqr(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen) {
    Fixed<N>::sqr(r, a);
    redcSparse(r, m, mu, N);
}

}  // namespace

#define QV_MONT_FIXED_DEF(N)                                                                                 \
    void longvMontRedc##N(QvWord *t, const QvWord *m, QvWord mu) { redc(t, m, mu, N, true); }                \
    void longvMontRedcSparse##N(QvWord *t, const QvWord *m, QvWord mu) { redcSparse(t, m, mu, N); }          \
    void longvMontMul##N(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu) {          \
        fixedMul<N>(r, a, b, m, mu, N);                                                                      \
    }                                                                                                        \
    void longvMontMulSparse##N(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu) {    \
        sparseMul<N>(r, a, b, m, mu, N);                                                                     \
    }                                                                                                        \
    void longvMontSqr##N(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu) {                           \
        fixedSqr<N>(r, a, m, mu, N);                                                                         \
    }                                                                                                        \
    void longvMontSqrSparse##N(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu) {                     \
        sparseSqr<N>(r, a, m, mu, N);                                                                        \
    }
QV_MONT_FIXED_DEF(3)
QV_MONT_FIXED_DEF(4)
QV_MONT_FIXED_DEF(5)
QV_MONT_FIXED_DEF(6)
QV_MONT_FIXED_DEF(7)
QV_MONT_FIXED_DEF(8)
QV_MONT_FIXED_DEF(12)
QV_MONT_FIXED_DEF(16)
#undef QV_MONT_FIXED_DEF

bool longvMontFixedRoutines(QvWordLen n, bool sparse, QvMontMulFn *mul, QvMontSqrFn *sqr) {
#define QV_CASE(N)                                     \
    case N:                                            \
        *mul = sparse ? sparseMul<N> : fixedMul<N>;   \
        *sqr = sparse ? sparseSqr<N> : fixedSqr<N>;   \
        return true;
    switch (n) {
        QV_CASE(3)
        QV_CASE(4)
        QV_CASE(5)
        QV_CASE(6)
        QV_CASE(7)
        QV_CASE(8)
        QV_CASE(12)
        QV_CASE(16)
        default:
            *mul = longvMontMulBuf;
            *sqr = longvMontSqr;
            return false;
    }
#undef QV_CASE
}
