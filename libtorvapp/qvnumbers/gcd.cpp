// Greatest common divisors (Euclid's repeated remainder and Stein's binary
// method) and the Jacobi symbol.
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace {

// Trailing zero bits of a non-zero number.
QvWordLen lowZeroBits(const QvWord *a, QvWordLen n) {
    QvWordLen i = 0;
    while (i < n && a[i] == 0) ++i;
    return i == n ? 0 : 32 * i + (QvWordLen)__builtin_ctz(a[i]);
}

// Zero or one operand: the answer is immediate.  Returns true when r is set.
bool gcdTrivial(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    if (longvIsZero(a, na)) {
        longvCopyExtend(r, nr, b, sigLen(b, nb));
        return true;
    }
    if (longvIsZero(b, nb)) {
        longvCopyExtend(r, nr, a, sigLen(a, na));
        return true;
    }
    if (longvIsOne(a, na) || longvIsOne(b, nb)) {
        longvSetWord(r, nr, 1);
        return true;
    }
    return false;
}

}  // namespace

void longvGcdEuclid(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    if (gcdTrivial(a, na, b, nb, r, nr)) return;
    const QvWordLen n = na > nb ? na : nb;
    QvWordMem work(2 * n);
    QvWord *first = work.getData(), *second = first + n;
    if (longvCmpExt(a, na, b, nb) >= 0) {
        longvCopyExtend(first, n, a, na);
        longvCopyExtend(second, n, b, nb);
    } else {
        longvCopyExtend(first, n, b, nb);
        longvCopyExtend(second, n, a, na);
    }
    for (;;) {
        longvMod(first, n, second, n);
        if (longvIsZero(first, n)) break;
        QvWord *t = first;
        first = second;
        second = t;
        if (longvIsOne(second, n)) break;
    }
    longvCopyExtend(r, nr, second, n);
}

void longvGcdBinary(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr) {
    if (gcdTrivial(a, na, b, nb, r, nr)) return;
    const QvWordLen n = na > nb ? na : nb;
    QvWordMem work(2 * n);
    QvWord *u = work.getData(), *v = u + n;
    longvCopyExtend(u, n, a, na);
    longvCopyExtend(v, n, b, nb);
    const QvWordLen zu = lowZeroBits(u, n), zv = lowZeroBits(v, n);
    const QvWordLen k = zu < zv ? zu : zv;
    longvShrBits(u, n, zu);
    longvShrBits(v, n, zv);
    // Both odd from here on; the even one after a subtraction is halved.
    for (;;) {
        if (longvIsOne(u, n) || longvIsOne(v, n)) {
            longvSetWord(u, n, 1);
            break;
        }
        int c = longvCmp(u, v, n);
        if (c == 0) break;
        if (c > 0) {
            longvSub(u, v, n, 0);
            longvShrBits(u, n, lowZeroBits(u, n));
        } else {
            longvSub(v, u, n, 0);
            longvShrBits(v, n, lowZeroBits(v, n));
        }
    }
    longvCopyExtend(r, nr, u, n);
    longvShlBits(r, nr, k);
}

void longvGcdBinary(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n) { longvGcdBinary(a, n, b, n, r, n); }

int longvCoprime(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb) {
    const QvWordLen n = na > nb ? na : nb;
    if (n == 0) return 0;
    if ((na > 0 && (a[0] & 1) == 0) && (nb > 0 && (b[0] & 1) == 0)) return 0;
    QvWordMem g(n);
    longvGcdBinary(a, na, b, nb, g.getData(), n);
    return longvIsOne(g.getData(), n);
}

int longvJacobi(const QvWord *a, QvWordLen na, const QvWord *n, QvWordLen nn) {
    static const int two[8] = {0, 1, 0, -1, 0, -1, 0, 1};
    if (longvIsZero(n, nn)) return longvIsOne(a, na) ? 1 : 0;
    const bool aEven = na == 0 || (a[0] & 1) == 0;
    if (aEven && (n[0] & 1) == 0) return 0;
    const QvWordLen len = na > nn ? na : nn;
    QvWordMem work(2 * len);
    QvWord *x = work.getData(), *y = x + len;
    longvCopyExtend(x, len, a, na);
    longvCopyExtend(y, len, n, nn);
    int result = 1;
    QvWordLen t = lowZeroBits(y, len);
    if (t != 0) {
        longvShrBits(y, len, t);
        if (t & 1) result = two[x[0] & 7];
    }
    while (!longvIsZero(x, len)) {
        QvWordLen z = lowZeroBits(x, len);
        if (z != 0) {
            longvShrBits(x, len, z);
            if (z & 1) result *= two[y[0] & 7];
        }
        if ((x[0] & 3) == 3 && (y[0] & 3) == 3) result = -result;
        longvMod(y, len, x, len);
        QvWord *tmp = x;
        x = y;
        y = tmp;
    }
    return longvIsOne(y, len) ? result : 0;
}
