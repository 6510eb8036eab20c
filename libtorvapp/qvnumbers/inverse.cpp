// Modular inverses: Stein's method with a power-of-two accumulator, the
// extended Euclidean algorithm, and the binary extended gcd used by residue
// division and the Montgomery constant.
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace {

// x = 2x mod b (x below b, n + 1 words, b zero-extended to n + 1 words).
void doubleMod(QvWord *x, const QvWord *b, QvWordLen n1) {
    longvShl1(x, n1);
    if (longvCmp(x, b, n1) >= 0) longvSub(x, b, n1, 0);
}

// x = x / 2 mod b for odd b (x below b, n + 1 words).
void halveMod(QvWord *x, const QvWord *b, QvWordLen n1) {
    if (x[0] & 1) longvAdd(x, b, n1, 0);
    longvShr1(x, n1);
}

// x = x - y mod b (both below b, n + 1 words).
void subMod(QvWord *x, const QvWord *y, const QvWord *b, QvWordLen n1) {
    if (longvCmp(x, y, n1) >= 0) {
        longvSub(x, y, n1, 0);
    } else {
        longvAdd(x, b, n1, 0);
        longvSub(x, y, n1, 0);
    }
}

// x = x / 2^z mod m for odd m (x below m, n + 2 words, m zero-extended to
// n + 2 words): in steps of up to 32 bits, the multiple of m that clears the
// low bits is added (minv = -m^-1 mod 2^32) and the sum shifted down.
void divPow2Mod(QvWord *x, QvWordLen z, const QvWord *m, QvWordLen n2, QvWord minv) {
    if (z <= 2) {  // one or two halvings are cheaper one bit at a time
        for (; z > 0; --z) halveMod(x, m, n2);
        return;
    }
    while (z > 0) {
        const QvWordLen s = z < 32 ? z : 32;
        const QvWord mask = s == 32 ? 0xFFFFFFFFu : ((1u << s) - 1);
        const QvWord t = (x[0] * minv) & mask;
        if (t != 0) {
            u64 c = mulAddRow(x, m, n2 - 2, t);
            addAt(x + n2 - 2, 2, c);
        }
        longvShrBits(x, n2, s);
        if (longvCmp(x, m, n2) >= 0) longvSub(x, m, n2, 0);
        z -= s;
    }
}

// r (n words) = a^-1 mod m for odd m > 0 of n words; false when gcd(a, m) > 1.
// Binary extended gcd keeping only the coefficients of a, reduced mod m:
// A*a = u and C*a = v (mod m).  All factors of two leave u or v in one step.
bool inverseOddCore(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *m, QvWordLen n) {
    const QvWordLen n2 = n + 2;
    const QvWordLen na2 = na > n ? na : n;
    QvWordMem work(na2 + n + 3 * n2 + n);
    QvWord *ta = work.getData(), *v = ta + na2, *mm = v + n, *A = mm + n2, *C = A + n2, *u = C + n2;
    longvCopyExtend(ta, na2, a, na);
    longvMod(ta, na2, m, n);
    longvCopy(u, ta, n);
    longvCopy(v, m, n);
    longvCopyExtend(mm, n2, m, n);
    longvSetWord(A, n2, 1);
    longvZero(C, n2);
    if (longvIsOne(m, n)) {
        longvZero(r, n);
        return true;
    }
    QvWord inv = m[0];  // m^-1 mod 2^32 by Newton's iteration (3, 6, 12, 24, 48 bits)
    for (int i = 0; i < 4; ++i) inv *= 2 - m[0] * inv;
    const QvWord minv = 0 - inv;
    QvWordLen lu = sigLen(u, n), lv = sigLen(v, n);
    while (lu != 0) {
        if ((u[0] & 1) == 0) {
            QvWordLen z = 0;
            while (u[z / 32] == 0) z += 32;
            z += (QvWordLen)__builtin_ctz(u[z / 32]);
            longvShrBits(u, lu, z);
            divPow2Mod(A, z, mm, n2, minv);
            lu = sigLen(u, lu);
        }
        if ((v[0] & 1) == 0) {
            QvWordLen z = 0;
            while (v[z / 32] == 0) z += 32;
            z += (QvWordLen)__builtin_ctz(v[z / 32]);
            longvShrBits(v, lv, z);
            divPow2Mod(C, z, mm, n2, minv);
            lv = sigLen(v, lv);
        }
        const QvWordLen l = lu > lv ? lu : lv;
        if (longvCmp(u, v, l) >= 0) {
            longvSub(u, v, l, 0);
            subMod(A, C, mm, n2);
        } else {
            longvSub(v, u, l, 0);
            subMod(C, A, mm, n2);
        }
        lu = sigLen(u, l);
        lv = sigLen(v, l);
    }
    const bool ok = longvIsOne(v, n) != 0;
    longvCopy(r, C, n);
    return ok;
}

// r (n words) = a^-1 mod m for even m > 0: with c = m^-1 mod a (a odd),
// c*m - 1 = q*a, so that m - q is the inverse.  false when none exists.
bool inverseEvenModulus(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *m, QvWordLen n) {
    if (na == 0 || (a[0] & 1) == 0) return false;
    const QvWordLen na2 = na > n ? na : n;
    QvWordMem work(na2 + 2 * n + 2 * n + 2 * n + 3);
    QvWord *ar = work.getData(), *c = ar + na2, *p = c + n, *q = p + 2 * n;
    longvCopyExtend(ar, na2, a, na);
    longvMod(ar, na2, m, n);  // still odd: m is even
    if (longvIsOne(ar, n)) {
        longvSetWord(r, n, 1);
        return true;
    }
    const QvWordLen la = sigLen(ar, n);
    if (!inverseOddCore(c, m, n, ar, la)) return false;
    longvZero(c + la, n - la);
    longvMulN(c, m, p, n);
    longvDec(p, 2 * n);
    QvWordLen nq = 0;
    longvDivClassical(p, 2 * n, ar, la, q, &nq);
    longvCopy(r, m, n);
    longvSubExt(r, n, q, nq, 0);
    return true;
}

}  // namespace

QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv) {
    if (longvIsZero(a, na) || longvIsZero(b, nb))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, "
            "QvWord *inv)\nFILE: qvnumbers/inverse\nLINE: 456\n");
    if (longvIsOne(b, nb))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, "
            "QvWord *inv)\nFILE: qvnumbers/inverse\nLINE: 463\n");
    if ((b[0] & 1) == 0)
        qvThrow<QvLibNotImplementedException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\n"
            "REASON: This algorithm is implemented only for odd numbers (QvWord *b).\n"
            "FUNCTION: QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, "
            "QvWord *inv)\nFILE: qvnumbers/inverse\nLINE: 470\n");
    const QvWordLen n = na > nb ? na : nb, n1 = n + 1;
    if (longvIsOne(a, na)) {
        longvSetWord(inv, n, 1);
        return QV_RET_OK;
    }
    QvWordMem work(2 * n + 4 * n1 + 2 * n);
    QvWord *u = work.getData(), *v = u + n, *x1 = v + n, *x2 = x1 + n1, *h = x2 + n1, *bb = h + n1,
           *prod = bb + n1;
    longvCopyExtend(u, n, a, na);
    longvCopyExtend(v, n, b, nb);
    longvCopyExtend(bb, n1, b, nb);
    longvSetWord(x1, n1, 1);
    longvZero(x2, n1);
    longvSetWord(h, n1, 1);  // 2^-k mod b
    // Invariants: x1*a = u*2^k and x2*a = v*2^k (mod b).
    const QvWord *x = nullptr;
    while (x == nullptr) {
        if (v[0] & 1) {
            while ((u[0] & 1) == 0) {
                longvShr1(u, n);
                doubleMod(x2, bb, n1);
                halveMod(h, bb, n1);
            }
            if (longvIsOne(u, n)) {
                x = x1;
                break;
            }
            int c = longvCmp(u, v, n);
            if (c == 0) return QV_RET_NO_INVERSE;
            if (c > 0) {
                longvSub(u, v, n, 0);
                subMod(x1, x2, bb, n1);
                if (longvIsOne(u, n)) {
                    x = x1;
                    break;
                }
            } else {
                longvSub(v, u, n, 0);
                subMod(x2, x1, bb, n1);
            }
        } else {
            longvShr1(v, n);
            doubleMod(x1, bb, n1);
            halveMod(h, bb, n1);
        }
        if (longvIsOne(v, n)) x = x2;
    }
    longvMulN(h, x, prod, n);
    longvMod(prod, 2 * n, b, nb);
    longvCopy(inv, prod, n);
    return QV_RET_OK;
}

QvRet longvInverseStein(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv) {
    if (longvIsZero(a, na))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longvInverseStein(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv)\n"
            "FILE: qvnumbers/inverse\nLINE: 698\n");
    if (longvIsZero(b, nb) || longvIsOne(b, nb))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longvInverseStein(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv)\n"
            "FILE: qvnumbers/inverse\nLINE: 705\n");
    const bool aEven = (a[0] & 1) == 0, bEven = (b[0] & 1) == 0;
    if (aEven && bEven) return QV_RET_NO_INVERSE;
    if (longvIsOne(a, na)) {
        longvSetWord(inv, nb, 1);
        return QV_RET_OK;
    }
    if (aEven) return longvInverseSteinOddModulus(a, na, b, nb, inv);

    // a odd: c = b^-1 mod a, c*b - 1 = q*a, inv = b - q.
    const QvWordLen n = na > nb ? na : nb;
    QvRet ret = longvInverseSteinOddModulus(b, nb, a, na, inv);
    if (ret != QV_RET_OK) return ret;
    QvWordMem work(n + n + 2 * n + 2 * n + 2);
    QvWord *c = work.getData(), *bb = c + n, *p = bb + n, *q = p + 2 * n;
    longvCopyExtend(c, n, inv, na);
    longvCopyExtend(bb, n, b, nb);
    longvMulN(c, bb, p, n);
    longvDec(p, 2 * n);
    QvWordLen nq = 0;
    longvDivClassical(p, 2 * n, a, na, q, &nq);
    longvCopy(inv, b, nb);
    longvSubExt(inv, nb, q, nq < nb ? nq : nb, 0);
    return QV_RET_OK;
}

QvRet longvInverseStein(QvWord *a, QvWord *b, QvWord *inv, QvWordLen n) { return longvInverseStein(a, n, b, n, inv); }

QvRet longInverseEuclid(QvWord *e, QvWordLen eWords, QvWord *f, QvWordLen fWords, QvWord *inv, QvWordLen invWords) {
    if (longvIsOne(f, fWords))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longInverseEuclid(QvWord *e, QvWordLen eWords, QvWord *f, QvWordLen fWords, "
            "QvWord *inv, QvWordLen invWords)\nFILE: qvnumbers/inverse\nLINE: 325\n");
    if (longvIsZero(e, eWords) || longvIsZero(f, fWords))
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvRet longInverseEuclid(QvWord *e, QvWordLen eWords, QvWord *f, QvWordLen fWords, "
            "QvWord *inv, QvWordLen invWords)\nFILE: qvnumbers/inverse\nLINE: 333\n");
    if (longvIsOne(e, eWords)) {
        longvSetWord(inv, invWords, 1);
        return QV_RET_OK;
    }
    const QvWordLen n = eWords > fWords ? eWords : fWords, n1 = n + 1;
    QvWordMem work(2 * n + 3 * n1 + (n + 2) + (2 * n + 3));
    QvWord *r0 = work.getData(), *r1 = r0 + n, *x0 = r1 + n, *x1 = x0 + n1, *ff = x1 + n1, *q = ff + n1,
           *t = q + (n + 2);
    longvCopyExtend(r0, n, f, fWords);
    longvCopyExtend(r1, n, e, eWords);
    longvCopyExtend(ff, n1, f, fWords);
    // e is taken modulo f first, so that e >= f gives the inverse as well.
    longvMod(r1, n, f, fWords);
    if (longvIsZero(r1, n)) {
        longvCopyExtend(inv, invWords, f, fWords);
        return QV_RET_NO_INVERSE;
    }
    if (longvIsOne(r1, n)) {
        longvSetWord(inv, invWords, 1);
        return QV_RET_OK;
    }
    longvZero(x0, n1);
    longvSetWord(x1, n1, 1);
    unsigned parity = 0;
    do {
        QvWordLen nq = 0;
        longvDivClassical(r0, n, r1, n, q, &nq);
        if (longvIsZero(r0, n)) {
            longvCopyExtend(inv, invWords, r1, n);
            return QV_RET_NO_INVERSE;
        }
        longvMulMN(x1, n, q, nq, t, n + nq);
        longvMod(t, n + nq, f, fWords);
        x0[n] += longvAdd(x0, t, n, 0);  // both below f: the sum fits n + 1 words
        if (longvCmp(x0, ff, n1) >= 0) longvSub(x0, ff, n1, 0);
        QvWord *s = x0;
        x0 = x1;
        x1 = s;
        s = r0;
        r0 = r1;
        r1 = s;
        parity ^= 1;
    } while (!longvIsOne(r1, n));
    if (parity) {
        longvCopy(t, ff, n1);
        longvSub(t, x1, n1, 0);
        longvCopyExtend(inv, invWords, t, n);
    } else {
        longvCopyExtend(inv, invWords, x1, n);
    }
    return QV_RET_OK;
}

QvRet longvInverseBinarySm(const QvWord *x, QvWordLen nx, const QvWord *y, QvWordLen ny, QvWord *out, QvWordLen nout) {
    const QvWordLen nySig = sigLen(y, ny);
    if (nySig == 0) return QV_RET_BAD_ARGUMENT;  // no inverse modulo zero
    const bool xEven = nx == 0 || (x[0] & 1) == 0;
    if (xEven && (y[0] & 1) == 0) return QV_RET_NO_INVERSE;
    QvWordMem res(ny);
    bool ok = (y[0] & 1) ? inverseOddCore(res.getData(), x, nx, y, ny)
                         : inverseEvenModulus(res.getData(), x, nx, y, ny);
    if (!ok) return QV_RET_NO_INVERSE;
    longvCopyExtend(out, nout, res.getData(), ny);
    return QV_RET_OK;
}

QvRet longvInverseBinarySm(const QvWord *x, const QvWord *y, QvWord *out, QvWordLen n) {
    return longvInverseBinarySm(x, n, y, n, out, n);
}

int longvInverseBinaryTc(QvWord *r, const QvWord *a, const QvWord *m, QvWordLen n) {
    if (sigLen(m, n) == 0) return 1;
    QvWordMem res(n);
    bool ok = (m[0] & 1) ? inverseOddCore(res.getData(), a, n, m, n) : inverseEvenModulus(res.getData(), a, n, m, n);
    longvCopy(r, res.getData(), n);
    return ok ? 0 : 1;
}
