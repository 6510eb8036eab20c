// Elementary word-array operations: copy, compare, add, subtract, shifts.
#include <cstdarg>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

void longvCopy(QvWord *dst, const QvWord *src, QvWordLen n) {
    // From the top down, so that a destination above the source is safe.
    while (n > 0) {
        --n;
        dst[n] = src[n];
    }
}

void longvCopyExtend(QvWord *dst, QvWordLen nDst, const QvWord *src, QvWordLen nSrc) {
    QvWordLen k = nSrc < nDst ? nSrc : nDst;
    for (QvWordLen i = nDst; i > k; --i) dst[i - 1] = 0;
    longvCopy(dst, src, k);
}

void longvSwap(QvWord *a, QvWord *b, QvWordLen n) {
    for (QvWordLen i = 0; i < n; ++i) {
        QvWord t = a[i];
        a[i] = b[i];
        b[i] = t;
    }
}

void longvZero(QvWord *a, QvWordLen n) {
    for (QvWordLen i = 0; i < n; ++i) a[i] = 0;
}

void longvSetWord(QvWord *a, QvWordLen n, QvWord w) {
    if (n == 0) return;
    a[0] = w;
    longvZero(a + 1, n - 1);
}

QvWord longvAdd(QvWord *a, const QvWord *b, QvWordLen n, QvWord carry) {
    u64 c = carry;
    QvWordLen i = 0;
    for (; i + 2 <= n; i += 2) {
        u128 s = (u128)ld64(a + i) + ld64(b + i) + c;
        st64(a + i, (u64)s);
        c = (u64)(s >> 64);
    }
    if (i < n) {
        u64 s = (u64)a[i] + b[i] + c;
        a[i] = (QvWord)s;
        c = s >> 32;
    }
    return (QvWord)c;
}

QvWord longvSub(QvWord *a, const QvWord *b, QvWordLen n, QvWord borrow) {
    u64 c = borrow;
    QvWordLen i = 0;
    for (; i + 2 <= n; i += 2) {
        u128 d = (u128)ld64(a + i) - ld64(b + i) - c;
        st64(a + i, (u64)d);
        c = (u64)(d >> 64) & 1;
    }
    if (i < n) {
        u64 d = (u64)a[i] - b[i] - c;
        a[i] = (QvWord)d;
        c = (d >> 32) & 1;
    }
    return (QvWord)c;
}

QvWord longvAddExt(QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord carry) {
    QvWord c = longvAdd(a, b, nb, carry);
    if (c && na > nb) c = longvInc(a + nb, na - nb);
    return c;
}

QvWord longvSubExt(QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord borrow) {
    QvWord c = longvSub(a, b, nb, borrow);
    if (c && na > nb) c = longvDec(a + nb, na - nb);
    return c;
}

QvWord longvAdd3(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord carry,
                 QvWord *r, QvWordLen nr) {
    if (na < nb) {
        const QvWord *t = a;
        a = b;
        b = t;
        QvWordLen tn = na;
        na = nb;
        nb = tn;
    }
    longvCopyExtend(r, nr, a, na);
    QvWordLen len = na < nr ? na : nr;
    QvWordLen nbb = nb < len ? nb : len;
    return longvAddExt(r, len, b, nbb, carry);
}

QvWord longvSub3(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord borrow,
                 QvWord *r, QvWordLen nr) {
    if (na < nb) {
        // A shorter minuend: subtract over the longer length, as if a were
        // zero-extended; the borrow tells whether the result went negative.
        longvCopyExtend(r, nr, a, na);
        QvWordLen len = nb < nr ? nb : nr;
        return longvSubExt(r, len, b, len, borrow);
    }
    longvCopyExtend(r, nr, a, na);
    QvWordLen len = na < nr ? na : nr;
    QvWordLen nbb = nb < len ? nb : len;
    return longvSubExt(r, len, b, nbb, borrow);
}

QvWord longvInc(QvWord *a, QvWordLen n) {
    for (QvWordLen i = 0; i < n; ++i)
        if (++a[i] != 0) return 0;
    return 1;
}

QvWord longvDec(QvWord *a, QvWordLen n) {
    for (QvWordLen i = 0; i < n; ++i)
        if (a[i]-- != 0) return 0;
    return 1;
}

QvWord longvAddWord(QvWord *a, QvWordLen n, QvWord w) {
    if (n == 0) return w != 0;
    QvWord x = a[0];
    a[0] = x + w;
    if (a[0] >= x) return 0;
    return longvInc(a + 1, n - 1);
}

QvWord longvSubWord(QvWord *a, QvWordLen n, QvWord w) {
    if (n == 0) return w != 0;
    QvWord x = a[0];
    a[0] = x - w;
    if (x >= w) return 0;
    return longvDec(a + 1, n - 1);
}

int longvCmp(const QvWord *a, const QvWord *b, QvWordLen n) {
    while (n > 0) {
        --n;
        if (a[n] != b[n]) return a[n] > b[n] ? 1 : -1;
    }
    return 0;
}

int longvCmpExt(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb) {
    if (na > nb) {
        if (!longvIsZero(a + nb, na - nb)) return 1;
        return longvCmp(a, b, nb);
    }
    if (nb > na) {
        if (!longvIsZero(b + na, nb - na)) return -1;
    }
    return longvCmp(a, b, na);
}

int longvIsZero(const QvWord *a, QvWordLen n) {
    for (QvWordLen i = 0; i < n; ++i)
        if (a[i] != 0) return 0;
    return 1;
}

int longvIsOne(const QvWord *a, QvWordLen n) {
    if (n == 0 || a[0] != 1) return 0;
    return longvIsZero(a + 1, n - 1);
}

void longvWipe(int count, ...) {
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; ++i) {
        QvWord *p = va_arg(ap, QvWord *);
        QvWordLen n = va_arg(ap, QvWordLen);
        if (p != nullptr) wipeWords(p, n);
    }
    va_end(ap);
}

int longvTopBit(const QvWord *a, QvWordLen n) {
    QvWordLen k = sigLen(a, n);
    if (k == 0) return -1;
    return (int)((k - 1) * 32 + (31 - __builtin_clz(a[k - 1])));
}

int longvTopWord(const QvWord *a, QvWordLen n) { return longvTopBit(a, n) / 32; }

void longvShrWords(QvWord *a, QvWordLen n, QvWordLen k) {
    if (k > n || k == 0) return;
    for (QvWordLen i = 0; i + k < n; ++i) a[i] = a[i + k];
    longvZero(a + (n - k), k);
}

void longvShlWords(QvWord *a, QvWordLen n, QvWordLen k) {
    if (k > n || k == 0) return;
    for (QvWordLen i = n; i > k; --i) a[i - 1] = a[i - 1 - k];
    longvZero(a, k);
}

// Each word takes its new value from the pair it starts, read as one 64-bit
// value before the next word is written.
static inline void shrSmall(QvWord *a, QvWordLen m, unsigned s) {
    for (QvWordLen i = 0; i + 1 < m; ++i) a[i] = (QvWord)(ld64(a + i) >> s);
    if (m > 0) a[m - 1] >>= s;
}

static inline void shlSmall(QvWord *a, QvWordLen m, unsigned s) {
    for (QvWordLen i = m; i > 1; --i) a[i - 1] = (QvWord)((ld64(a + i - 2) << s) >> 32);
    if (m > 0) a[0] <<= s;
}

void longvShr1(QvWord *a, QvWordLen n) { shrSmall(a, n, 1); }

void longvShl1(QvWord *a, QvWordLen n) { shlSmall(a, n, 1); }

QvWord longvShrBits(QvWord *a, QvWordLen n, QvWordLen bits) {
    if (bits == 0 || n == 0) return 0;
    if (bits > 32 * n) bits = 32 * n;  // never more than the whole array
    QvWordLen k = bits / 32, s = bits % 32;
    if (s == 0) {
        QvWord out = a[k - 1];
        longvShrWords(a, n, k);
        return out;
    }
    longvShrWords(a, n, k);
    QvWord out = a[0] << (32 - s);
    shrSmall(a, n - k, s);
    return out;
}

QvWord longvShlBits(QvWord *a, QvWordLen n, QvWordLen bits) {
    if (bits == 0 || n == 0) return 0;
    if (bits > 32 * n) bits = 32 * n;
    QvWordLen k = bits / 32, s = bits % 32;
    if (s == 0) {
        QvWord out = a[n - k];
        longvShlWords(a, n, k);
        return out;
    }
    longvShlWords(a, n, k);
    QvWord out = a[n - 1] >> (32 - s);
    shlSmall(a + k, n - k, s);
    return out;
}

QvWord longvShrOctets(QvWord *a, QvWordLen n, QvWordLen octets) { return longvShrBits(a, n, 8 * octets); }

QvWord longvShlOctets(QvWord *a, QvWordLen n, QvWordLen octets) { return longvShlBits(a, n, 8 * octets); }
