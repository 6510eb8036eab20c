// Barrett reduction and reduction with a table of powers of the word base.
#include <new>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

namespace {

// Plain work array, wiped before it is released.
struct PlainWork {
    QvWord *p;
    QvWordLen n;
    explicit PlainWork(QvWordLen words) : p(new (std::nothrow) QvWord[words == 0 ? 1 : words]), n(words) {}
    ~PlainWork() {
        if (p != nullptr) {
            wipeWords(p, n);
            delete[] p;
        }
    }
    PlainWork(const PlainWork &) = delete;
    PlainWork &operator=(const PlainWork &) = delete;
};

}  // namespace

QvRet longvBarrettMu(QvWord *mu, const QvWord *m, QvWordLen n) {
    const QvWordLen nmSig = sigLen(m, n);
    if (nmSig == 0) return QV_RET_BAD_ARGUMENT;
    const QvWordLen nNum = 2 * n + 1;
    PlainWork w(nNum + nNum + 2);
    if (w.p == nullptr) return QV_RET_NO_MEMORY;
    QvWord *num = w.p, *q = w.p + nNum;
    longvZero(num, nNum);
    num[2 * n] = 1;  // B^(2n)
    QvWordLen nq = 0;
    longvDivClassical(num, nNum, m, n, q, &nq);
    if (nq > n + 1) return QV_RET_BAD_ARGUMENT;
    longvCopyExtend(mu, n + 1, q, nq);
    return QV_RET_OK;
}

QvRet longvModBarrett(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu, QvWord *r,
                      QvWordLen nr) {
    const QvWordLen nmSig = sigLen(m, n);
    if (nmSig == 0) return QV_RET_BAD_ARGUMENT;
    if (nmSig == 1 && m[0] == 1) {
        longvZero(r, nr);
        return QV_RET_OK;
    }
    // The method needs m's top word non-zero (mu then has n + 1 words) and
    // x below B^(2n); anything else would give a wrong remainder.
    if (nmSig != n || sigLen(x, nx) > 2 * n) return QV_RET_BAD_ARGUMENT;
    const QvWordLen k = n;
    PlainWork w(2 * k + 2 * (k + 1) + 2 * (k + 1) + 3 * (k + 2));
    if (w.p == nullptr) return QV_RET_NO_MEMORY;
    QvWord *xx = w.p;                  // x zero-extended to 2k words
    QvWord *q2 = xx + 2 * k;           // q1 * mu, 2k + 2 words
    QvWord *p = q2 + 2 * (k + 1);      // q3 * m, 2k + 2 words
    QvWord *mm = p + 2 * (k + 1);      // m, k + 2 words
    QvWord *r1 = mm + (k + 2);         // k + 2 words
    QvWord *r2 = r1 + (k + 2);         // k + 2 words
    longvCopyExtend(xx, 2 * k, x, sigLen(x, nx));
    longvCopyExtend(mm, k + 2, m, k);
    // q1 = x div B^(k-1), q2 = q1 * mu, q3 = q2 div B^(k+1)
    longvMulN(xx + k - 1, mu, q2, k + 1);
    const QvWord *q3 = q2 + k + 1;
    // r2 = q3 * m mod B^(k+1), r1 = x mod B^(k+1)
    longvMulN(q3, mm, p, k + 1);
    longvCopyExtend(r2, k + 2, p, k + 1);
    longvCopyExtend(r1, k + 2, xx, k + 1);
    if (longvCmp(r2, r1, k + 2) > 0) r1[k + 1] = 1;
    longvSub(r1, r2, k + 2, 0);
    while (longvCmp(r1, mm, k + 2) >= 0) longvSub(r1, mm, k + 2, 0);
    longvCopyExtend(r, nr, r1, k);
    return QV_RET_OK;
}

QvRet longvModBarrett(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu) {
    return longvModBarrett(x, nx, m, n, mu, x, nx);
}

QvRet longvPowTable(QvWord *table, const QvWord *m, QvWordLen n) {
    if (sigLen(m, n) < n || n == 0) return QV_RET_BAD_ARGUMENT;
    PlainWork w(2 * n);
    if (w.p == nullptr) return QV_RET_NO_MEMORY;
    for (QvWordLen j = n + 1; j < 2 * n; ++j) {
        longvZero(w.p, j + 1);
        w.p[j] = 1;  // B^j
        longvMod(w.p, j + 1, m, n);
        longvCopy(table + (j - n - 1) * n, w.p, n);
    }
    return QV_RET_OK;
}

QvRet longvModPowTable(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *table, QvWord *r,
                       QvWordLen nr) {
    const QvWordLen nmSig = sigLen(m, n);
    if (nmSig == 0) return QV_RET_BAD_ARGUMENT;
    if (nmSig == 1 && m[0] == 1) {
        longvZero(r, nr);
        return QV_RET_OK;
    }
    // The table covers the words up to 2n - 1; a longer x would lose words.
    if (sigLen(x, nx) > 2 * n) return QV_RET_BAD_ARGUMENT;
    const QvWordLen nxx = sigLen(x, nx);
    PlainWork w(n + 2 > nxx + 1 ? n + 2 : nxx + 1);
    if (w.p == nullptr) return QV_RET_NO_MEMORY;
    QvWord *t = w.p;
    longvCopyExtend(t, n + 2, x, nxx < n + 1 ? nxx : n + 1);
    for (QvWordLen j = n + 1; j < nxx; ++j) {
        QvWord c = longvMulAddWord(t, table + (j - n - 1) * n, x[j], n);
        longvAddWord(t + n, 2, c);
    }
    longvMod(t, n + 2, m, n);
    longvCopyExtend(r, nr, t, n);
    return QV_RET_OK;
}

QvRet longvModPowTable(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *table) {
    return longvModPowTable(x, nx, m, n, table, x, nx);
}

void longvPowTableWipe(QvWord *table, QvWordLen n) {
    if (n > 0) wipeWords(table, (n - 1) * n);
}
