// Single-word products, general multiplication and squaring.
#include <new>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

void wordMul(QvWord a, QvWord b, QvWord *hi, QvWord *lo) {
    u64 p = (u64)a * b;
    *hi = (QvWord)(p >> 32);
    *lo = (QvWord)p;
}

void wordSqr(QvWord a, QvWord *hi, QvWord *lo) {
    u64 p = (u64)a * a;
    *hi = (QvWord)(p >> 32);
    *lo = (QvWord)p;
}

QvWord longvMulWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n) { return (QvWord)mulRow(r, a, n, w); }

QvWord longvMulAddWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n) {
    return (QvWord)mulAddRow(r, a, n, w);
}

QvWord longvMulSubWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n) {
    return (QvWord)mulSubRow(r, a, n, w);
}

QvWord longvScaleWord(QvWord *a, QvWord w, QvWordLen n) { return (QvWord)mulRow(a, a, n, w); }

namespace qvlongv {

void mulPlain(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb) {
    if (na < nb) {
        const QvWord *t = a;
        a = b;
        b = t;
        QvWordLen tn = na;
        na = nb;
        nb = tn;
    }
    if (nb == 0) {
        longvZero(r, na);
        return;
    }
    if (na & 1) {
        // a = a' + t*B^(na-1) with a' of an even length.
        mulPlain(r, a, na - 1, b, nb);
        r[na - 1 + nb] = (QvWord)mulAddRow(r + na - 1, b, nb, a[na - 1]);
        return;
    }
    // Rows of four words of b over all of a (two 64-bit multipliers per pass
    // over r); each row's carries land in the words above it, not yet written.
    longvZero(r, na);
    QvWordLen j = 0;
    for (; j + 4 <= nb; j += 4) {
        u128 c = mulAddRow2(r + j, a, na, ld64(b + j), ld64(b + j + 2));
        st64(r + j + na, (u64)c);
        st64(r + j + na + 2, (u64)(c >> 64));
    }
    if (j + 2 <= nb) {
        st64(r + j + na, mulAddRow(r + j, a, na, ld64(b + j)));
        j += 2;
    }
    if (j < nb) r[j + na] = (QvWord)mulAddRow(r + j, a, na, b[j]);
}

// Balanced products of at least this many words (even) take one or more
// subtractive Karatsuba steps inside longvMul; below it the rows are faster.
static const QvWordLen kMulSplitWords = 48;

// Scratch words that karaMul needs for n words.
static QvWordLen karaScratch(QvWordLen n) {
    QvWordLen total = 0;
    while (n >= kMulSplitWords && (n & 3) == 0) {
        total += 3 * n + 1;  // |a0-a1|, |b1-b0|, their product, the middle sum
        n /= 2;
    }
    return total;
}

// r[0..n) = x - y for even n; the borrow is not needed (x >= y).
static inline void diffEven(QvWord *r, const QvWord *x, const QvWord *y, QvWordLen n) {
    u64 c = 0;
    for (QvWordLen i = 0; i < n; i += 2) {
        u128 d = (u128)ld64(x + i) - ld64(y + i) - c;
        st64(r + i, (u64)d);
        c = (u64)(d >> 64) & 1;
    }
}

// u[0..n] = z0 + z2 + m or z0 + z2 - m (n even, the result fits n + 1 words).
static inline void middleSum(QvWord *u, const QvWord *z0, const QvWord *z2, const QvWord *m, QvWordLen n,
                             bool plus) {
    u64 c = 0, d = 0;
    for (QvWordLen i = 0; i < n; i += 2) {
        u128 s = (u128)ld64(z0 + i) + ld64(z2 + i) + c;
        c = (u64)(s >> 64);
        u128 t;
        if (plus) {
            t = (u128)(u64)s + ld64(m + i) + d;
            d = (u64)(t >> 64);
        } else {
            t = (u128)(u64)s - ld64(m + i) - d;
            d = (u64)(t >> 64) & 1;
        }
        st64(u + i, (u64)t);
    }
    u[n] = plus ? (QvWord)(c + d) : (QvWord)(c - d);
}

// r[0..2n) = a*b: a0*b0 + ((a0*b0 + a1*b1 + (a0-a1)(b1-b0)) << h) + (a1*b1 << 2h).
static void karaMul(QvWord *r, const QvWord *a, const QvWord *b, QvWordLen n, QvWord *scratch) {
    if (n < kMulSplitWords || (n & 1) != 0 || ((n / 2) & 1) != 0) {
        mulPlain(r, a, n, b, n);
        return;
    }
    const QvWordLen h = n / 2;
    QvWord *da = scratch, *db = da + h, *m = db + h, *u = m + 2 * h, *next = u + 2 * h + 1;
    const bool negA = longvCmp(a, a + h, h) < 0, negB = longvCmp(b + h, b, h) < 0;
    diffEven(da, negA ? a + h : a, negA ? a : a + h, h);
    diffEven(db, negB ? b : b + h, negB ? b + h : b, h);
    karaMul(r, a, b, h, next);
    karaMul(r + n, a + h, b + h, h, next);
    karaMul(m, da, db, h, next);
    middleSum(u, r, r + n, m, 2 * h, negA == negB);
    longvAddExt(r + h, 2 * n - h, u, 2 * h + 1, 0);
}

// Adds the 128-bit value v at r[0..n) (n >= 4) with carry propagation.
static inline void add128At(QvWord *r, QvWordLen n, u128 v) {
    u128 x = ((u128)ld64(r + 2) << 64) | ld64(r);
    u128 s = x + v;
    st64(r, (u64)s);
    st64(r + 2, (u64)(s >> 64));
    if (s < x) longvInc(r + 4, n - 4);
}

// Square of an even number of words: cross products of 64-bit limbs (two
// multiplier limbs per pass), doubled, plus the limb squares on the diagonal.
static void sqrEven(QvWord *r, const QvWord *a, QvWordLen n) {
    longvZero(r, 2 * n);
    const QvWordLen L = n / 2;
    for (QvWordLen p = 0; p + 1 < L; p += 2) {
        const u64 l0 = ld64(a + 2 * p), l1 = ld64(a + 2 * p + 2);
        add128At(r + 4 * p + 2, 2 * n - 4 * p - 2, (u128)l0 * l1);
        if (p + 2 < L) {
            u128 c = mulAddRow2(r + 4 * p + 4, a + 2 * p + 4, 2 * (L - p - 2), l0, l1);
            const QvWordLen at = n + 2 * p;  // word of limb L + p
            add128At(r + at, 2 * n - at, (u128)(u64)c);
            if (at + 6 <= 2 * n) add128At(r + at + 2, 2 * n - at - 2, (u128)(u64)(c >> 64));
            else st64(r + at + 2, ld64(r + at + 2) + (u64)(c >> 64));
        }
    }
    u64 shiftIn = 0;
    u64 c = 0;
    for (QvWordLen i = 0; i < n; i += 2) {
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

void sqrPlain(QvWord *r, const QvWord *a, QvWordLen n) {
    if (n == 0) return;
    if ((n & 1) == 0) {
        sqrEven(r, a, n);
        return;
    }
    // (a' + t*B^(n-1))^2 = a'^2 + 2*t*a'*B^(n-1) + t^2*B^(2n-2)
    QvWord t = a[n - 1];
    QvWordLen m = n - 1;
    if (m > 0) sqrEven(r, a, m);
    st64(r + 2 * m, (u64)t * t);
    if (m > 0) {
        u64 c = mulAddRow(r + m, a, m, 2 * (u64)t);
        addAt(r + 2 * m, 2, c);
    }
}

}  // namespace qvlongv

void longvMul(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb) {
    if (na == nb) {
        switch (na) {  // the unrolled sizes
        case 3: longvMul3(r, a, b); return;
        case 4: longvMul4(r, a, b); return;
        case 5: longvMul5(r, a, b); return;
        case 6: longvMul6(r, a, b); return;
        case 7: longvMul7(r, a, b); return;
        case 8: longvMul8(r, a, b); return;
        case 12: longvMul12(r, a, b); return;
        case 16: longvMul16(r, a, b); return;
        case 17: longvMul17(r, a, b); return;
        default: break;
        }
    }
    if (na == nb && na >= kMulSplitWords && (na & 3) == 0) {
        const QvWordLen ns = karaScratch(na);
        QvWord local[1024];
        QvWord *scratch = ns <= 1024 ? local : new (std::nothrow) QvWord[ns];
        if (scratch != nullptr) {
            karaMul(r, a, b, na, scratch);
            qvWipe(scratch, ns * sizeof(QvWord));
            if (scratch != local) delete[] scratch;
            return;
        }
    }
    mulPlain(r, a, na, b, nb);
}

void longvMulN(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n) { longvMul(r, a, n, b, n); }

void longvMulMN(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    mulPlain(r, a, na, b, nb);
    if (nr > na + nb) longvZero(r + na + nb, nr - na - nb);
}

void longvSqr(QvWord *r, const QvWord *a, QvWordLen n) {
    switch (n) {  // the unrolled sizes
    case 3: longvSqr3(r, a); return;
    case 4: longvSqr4(r, a); return;
    case 5: longvSqr5(r, a); return;
    case 6: longvSqr6(r, a); return;
    case 7: longvSqr7(r, a); return;
    case 8: longvSqr8(r, a); return;
    case 12: longvSqr12(r, a); return;
    case 16: longvSqr16(r, a); return;
    case 17: longvSqr17(r, a); return;
    default: sqrPlain(r, a, n);
    }
}

void longvSqrHalving(const QvWord *a, QvWord *r, QvWordLen n) {
    if (n == 0) return;
    // Diagonal squares, halved; the cross products are added once (not
    // doubled) and the whole doubled back.
    for (QvWordLen i = 0; i < n; ++i) st64(r + 2 * i, (u64)a[i] * a[i]);
    QvWord kept = r[0] & 1;
    longvShr1(r, 2 * n);
    for (QvWordLen i = 1; i < n; ++i) {
        QvWord c = longvMulAddWord(r + 2 * i - 1, a + i, a[i - 1], n - i);
        if (c != 0) longvAddWord(r + n + i - 1, n - i + 1, c);
    }
    longvShl1(r, 2 * n);
    r[0] |= kept;
}
