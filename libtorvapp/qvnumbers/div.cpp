// Long division (Knuth's algorithm D).  The words are taken in pairs as 64-bit
// digits: the divisor is normalised so that its top digit has its top bit set,
// each quotient digit is estimated from the top two digits of the window and
// corrected with the next one, and a rare over-estimate is added back.
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace qvlongv {

QvWordLen divCore(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nmSig, QvWord *q) {
    const QvWordLen qWords = nx - nmSig + 1;
    if (nmSig == 1) {
        // One-word divisor: one native division per word.
        const u64 d = m[0];
        u64 rem = 0;
        for (QvWordLen i = nx; i > 0; --i) {
            u64 cur = (rem << 32) | x[i - 1];
            u64 qw = cur / d;
            rem = cur - qw * d;
            if (q != nullptr) q[i - 1] = (QvWord)qw;
        }
        longvSetWord(x, nx, (QvWord)rem);
        return q != nullptr ? sigLen(q, qWords) : 0;
    }

    const QvWordLen vn = (nmSig + 1) / 2;  // divisor digits
    const QvWordLen un = (nx + 1) / 2;     // dividend digits, one more for the shift
    QvWordMem work(2 * vn + 2 * (un + 1));
    QvWord *v = work.getData();
    QvWord *u = v + 2 * vn;
    longvCopyExtend(v, 2 * vn, m, nmSig);
    longvCopyExtend(u, 2 * (un + 1), x, nx);
    const QvWordLen s = (QvWordLen)__builtin_clzll(ld64(v + 2 * vn - 2));
    if (s != 0) {
        longvShlBits(v, 2 * vn, s);
        longvShlBits(u, 2 * (un + 1), s);
    }

    const u64 v1 = ld64(v + 2 * vn - 2);
    QvWordLen nqSig = 0;
    for (QvWordLen j = un - vn + 1; j-- > 0;) {
        QvWord *win = u + 2 * j;  // vn + 1 digits
        const u64 n2 = ld64(win + 2 * vn), n1 = ld64(win + 2 * vn - 2);
        u64 qhat, rhat;
        bool rhatFits = true;
        if (n2 >= v1) {
            qhat = ~(u64)0;
            rhat = n1 + v1;
            rhatFits = rhat >= n1;
        } else {
            qhat = div128(n2, n1, v1, &rhat);
        }
        if (vn >= 2) {
            const u64 v2 = ld64(v + 2 * vn - 4), n0 = ld64(win + 2 * vn - 4);
            while (rhatFits) {
                u128 lhs = (u128)qhat * v2;
                u128 rhs = ((u128)rhat << 64) | n0;
                if (lhs <= rhs) break;
                --qhat;
                u64 nr = rhat + v1;
                rhatFits = nr >= rhat;
                rhat = nr;
            }
        }
        u64 borrow = mulSubRow(win, v, 2 * vn, qhat);
        u64 top = ld64(win + 2 * vn);
        st64(win + 2 * vn, top - borrow);
        if (top < borrow) {
            --qhat;
            QvWord c = longvAdd(win, v, 2 * vn, 0);
            st64(win + 2 * vn, ld64(win + 2 * vn) + c);
        }
        if (q != nullptr) {
            if (2 * j < qWords) q[2 * j] = (QvWord)qhat;
            if (2 * j + 1 < qWords) q[2 * j + 1] = (QvWord)(qhat >> 32);
        }
        if (nqSig == 0 && qhat != 0) nqSig = 2 * j + ((qhat >> 32) != 0 ? 2 : 1);
    }
    if (q != nullptr && 2 * (un - vn + 1) < qWords) longvZero(q + 2 * (un - vn + 1), qWords - 2 * (un - vn + 1));

    if (s != 0) longvShrBits(u, 2 * vn, s);
    longvCopyExtend(x, nx, u, nmSig < nx ? nmSig : nx);
    return nqSig;
}

}  // namespace qvlongv

void longvDivClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *q, QvWordLen *nq) {
    const QvWordLen nmSig = sigLen(m, nm);
    if (nmSig == 0)
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: void longvDivClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, "
            "QvWord *q, QvWordLen *nq)\nFILE: qvnumbers/div\nLINE: 99\n");
    if (nx == 0 || longvCmpExt(x, nx, m, nmSig) < 0) {
        *nq = 0;
        return;
    }
    *nq = divCore(x, nx, m, nmSig, q);
}

QvRet wordDiv2by1(QvWord hi, QvWord lo, QvWord d, QvWord *q, QvWord *r) {
    if (d <= hi) return QV_RET_BAD_ARGUMENT;
    // Exact for every divisor above hi, normalised or not.
    u64 n = ((u64)hi << 32) | lo;
    *q = (QvWord)(n / d);
    *r = (QvWord)(n % d);
    return QV_RET_OK;
}
