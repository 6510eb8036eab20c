// Single-word products, general multiplication and squaring.
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
    // Row 0 writes, the later rows add; each row's carry lands in fresh words.
    if (nb == 1) {
        r[na] = (QvWord)mulRow(r, a, na, b[0]);
        return;
    }
    st64(r + na, mulRow(r, a, na, ld64(b)));
    QvWordLen j = 2;
    for (; j + 2 <= nb; j += 2) st64(r + j + na, mulAddRow(r + j, a, na, ld64(b + j)));
    if (j < nb) r[j + na] = (QvWord)mulAddRow(r + j, a, na, b[j]);
}

// Square of an even number of words: cross products of 64-bit limbs, doubled,
// plus the limb squares on the diagonal, in one pass.
static void sqrEven(QvWord *r, const QvWord *a, QvWordLen n) {
    longvZero(r, 2 * n);
    for (QvWordLen i = 0; i + 2 < n; i += 2) {
        QvWordLen len = n - i - 2;
        st64(r + n + i, mulAddRow(r + 2 * i + 2, a + i + 2, len, ld64(a + i)));
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
    mulPlain(r, a, na, b, nb);
}

void longvMulN(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n) { mulPlain(r, a, n, b, n); }

void longvMulMN(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    mulPlain(r, a, na, b, nb);
    if (nr > na + nb) longvZero(r + na + nb, nr - na - nb);
}

void longvSqr(QvWord *r, const QvWord *a, QvWordLen n) { sqrPlain(r, a, n); }

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
