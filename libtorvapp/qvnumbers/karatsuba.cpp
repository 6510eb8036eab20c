// Karatsuba multiplication: the in-place form that needs no work memory (the
// half sums are formed inside the operands and undone, and the pieces are
// combined by multiplying and dividing r by 1 - B^h), and the buffered forms.
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

QvWord longvMulAddClassical(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r,
                            QvWordLen nr) {
    QvWord overflow = 0;
    QvWordLen i = 0;
    for (; i + 2 <= nb; i += 2) {
        u64 c = mulAddRow(r + i, a, na, ld64(b + i));
        if (c != 0) overflow += addAt(r + na + i, nr - na - i, c);
    }
    if (i < nb) {
        u64 c = mulAddRow(r + i, a, na, b[i]);
        if (c != 0) overflow += addAt(r + na + i, nr - na - i, c);
    }
    return overflow;
}

QvWord longvMulSubClassical(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r,
                            QvWordLen nr) {
    QvWord borrow = 0;
    QvWordLen i = 0;
    for (; i + 2 <= nb; i += 2) {
        u64 c = mulSubRow(r + i, a, na, ld64(b + i));
        if (c != 0) borrow += subAt(r + na + i, nr - na - i, c);
    }
    if (i < nb) {
        u64 c = mulSubRow(r + i, a, na, b[i]);
        if (c != 0) borrow += subAt(r + na + i, nr - na - i, c);
    }
    return borrow;
}

QvWord longvDivOneMinusPow(QvWord *r, QvWordLen n, QvWordLen k) {
    // r[j] += r[j-k] from the bottom up: r * (1 + B^k + B^2k + ...).
    QvWord carries = 0;
    for (QvWordLen i = 0; i + k < n; ++i) carries += longvAddWord(r + k + i, n - k - i, r[i]);
    return carries + r[n - k];
}

QvWord longvMulOneMinusPow(QvWord *r, QvWordLen n, QvWordLen k) {
    // r[j] -= r[j-k] from the top down, so every subtrahend is still unchanged.
    QvWord held = r[n - k];
    QvWord borrows = 0;
    for (QvWordLen j = n; j > k; --j) borrows += longvSubWord(r + j - 1, n - j + 1, r[j - 1 - k]);
    return borrows + held;
}

static void orderOperands(QvWord *&a, QvWordLen &na, QvWord *&b, QvWordLen &nb) {
    if (na < nb) {
        QvWord *t = a;
        a = b;
        b = t;
        QvWordLen tn = na;
        na = nb;
        nb = tn;
    }
}

QvWord longvMulAddKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                            QvWordLen threshold) {
    orderOperands(a, na, b, nb);
    QvWordLen h = nb / 2;
    if (h <= threshold) return longvMulAddClassical(a, na, b, nb, r, nr);

    // r + a*b = D * ((r + B^h (a0+a1)(b0+b1)) / D + a0*b0 - B^h a1*b1), D = 1 - B^h
    QvWord ca = longvAddExt(a + h, na - h, a, h, 0);
    QvWord cb = longvAddExt(b + h, nb - h, b, h, 0);
    QvWord overflow = longvMulAddKaratsuba(a + h, na - h, b + h, nb - h, r + h, nr - h, threshold);
    if (ca) overflow += longvAddExt(r + na, nr - na, b + h, nb - h, 0);
    if (cb) overflow += longvAddExt(r + nb, nr - nb, a + h, na - h, 0);
    if (ca && cb) overflow += longvInc(r + na + nb - h, nr - na - nb + h);
    longvSubExt(a + h, na - h, a, h, 0);
    longvSubExt(b + h, nb - h, b, h, 0);

    overflow += longvDivOneMinusPow(r, nr, h);
    overflow -= longvMulSubKaratsuba(a + h, na - h, b + h, nb - h, r + h, nr - h, threshold);
    overflow += longvMulAddKaratsuba(a, h, b, h, r, nr, threshold);
    overflow -= longvMulOneMinusPow(r, nr, h);
    return overflow;
}

QvWord longvMulSubKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                            QvWordLen threshold) {
    orderOperands(a, na, b, nb);
    QvWordLen h = nb / 2;
    if (h <= threshold) return longvMulSubClassical(a, na, b, nb, r, nr);

    // r - a*b = D * ((r - B^h (a0+a1)(b0+b1)) / D - a0*b0 + B^h a1*b1)
    QvWord ca = longvAddExt(a + h, na - h, a, h, 0);
    QvWord cb = longvAddExt(b + h, nb - h, b, h, 0);
    QvWord borrow = longvMulSubKaratsuba(a + h, na - h, b + h, nb - h, r + h, nr - h, threshold);
    if (ca) borrow += longvSubExt(r + na, nr - na, b + h, nb - h, 0);
    if (cb) borrow += longvSubExt(r + nb, nr - nb, a + h, na - h, 0);
    if (ca && cb) borrow += longvDec(r + na + nb - h, nr - na - nb + h);
    longvSubExt(a + h, na - h, a, h, 0);
    longvSubExt(b + h, nb - h, b, h, 0);

    borrow -= longvDivOneMinusPow(r, nr, h);
    borrow -= longvMulAddKaratsuba(a + h, na - h, b + h, nb - h, r + h, nr - h, threshold);
    borrow += longvMulSubKaratsuba(a, h, b, h, r, nr, threshold);
    borrow += longvMulOneMinusPow(r, nr, h);
    return borrow;
}

QvWord longvMulKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                         QvWordLen threshold) {
    longvZero(r, nr);
    return longvMulAddKaratsuba(a, na, b, nb, r, nr, threshold);
}

QvWord longvMulKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    return longvMulKaratsuba(a, na, b, nb, r, nr, LONGV_KARATSUBA_THRESHOLD);
}

void longvMulKaratsubaBuf(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n, QvWordLen threshold) {
    // Below four words the halves plus their carry word are no shorter than
    // n itself, so a smaller threshold could not end the recursion.
    if (n <= threshold || n < 4) {
        mulPlain(r, a, n, b, n);
        return;
    }
    const QvWordLen E = n + (n & 1), h = E / 2;
    const QvWordLen hi = n - h;  // words in the high halves (h or h - 1)
    // Halves and their sums, each h + 1 words (zero-extended).
    QvWordMem work(6 * (h + 1) + 3 * (E + 2) + 2 * E + 2);
    QvWord *w = work.getData();
    QvWord *alo = w, *ahi = alo + (h + 1), *blo = ahi + (h + 1), *bhi = blo + (h + 1);
    QvWord *sa = bhi + (h + 1), *sb = sa + (h + 1);
    QvWord *M = sb + (h + 1), *z2 = M + (E + 2), *z0 = z2 + (E + 2), *res = z0 + (E + 2);
    longvCopyExtend(alo, h + 1, a, h);
    longvCopyExtend(ahi, h + 1, a + h, hi);
    longvCopyExtend(blo, h + 1, b, h);
    longvCopyExtend(bhi, h + 1, b + h, hi);
    longvAdd3(alo, h + 1, ahi, h + 1, 0, sa, h + 1);
    longvAdd3(blo, h + 1, bhi, h + 1, 0, sb, h + 1);
    longvMulKaratsubaBuf(sa, sb, M, h + 1, threshold);
    longvMulKaratsubaBuf(ahi, bhi, z2, h + 1, threshold);
    longvMulKaratsubaBuf(alo, blo, z0, h + 1, threshold);
    longvSub(M, z2, E + 2, 0);
    longvSub(M, z0, E + 2, 0);
    const QvWordLen nres = 2 * E + 2;
    longvCopyExtend(res, nres, z0, E);
    if (longvAdd(res + h, M, E + 2, 0)) longvInc(res + h + E + 2, nres - (h + E + 2));
    longvAddExt(res + E, nres - E, z2, E, 0);
    longvCopy(r, res, 2 * n);
}

void longvMulKaratsubaBuf(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n) {
    longvMulKaratsubaBuf(a, b, r, n, LONGV_KARATSUBA_THRESHOLD);
}

void longvSqrKaratsubaBuf(const QvWord *a, QvWord *r, QvWordLen n) {
    if (n < LONGV_KARATSUBA_THRESHOLD) {
        longvSqrHalving(a, r, n);
        return;
    }
    const QvWordLen E = n + (n & 1), h = E / 2;
    const QvWordLen hi = n - h;
    QvWordMem work(h + E + 1 + E + E + 2 * E);
    QvWord *w = work.getData();
    QvWord *ahi = w, *c = ahi + h, *z2 = c + (E + 1), *z0 = z2 + E, *res = z0 + E;
    longvCopyExtend(ahi, h, a + h, hi);
    longvSqrKaratsubaBuf(ahi, z2, h);
    longvSqrKaratsubaBuf(a, z0, h);
    longvMulN(a, ahi, c, h);
    c[E] = 0;
    longvShl1(c, E + 1);
    longvCopyExtend(res, 2 * E, z0, E);
    if (longvAdd(res + h, c, E + 1, 0)) longvInc(res + h + E + 1, h - 1);
    longvAdd(res + E, z2, E, 0);
    longvCopy(r, res, 2 * n);
}
