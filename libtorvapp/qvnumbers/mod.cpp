// Remainder without quotient, and the Montgomery form by plain reduction.
#include <new>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

void longvModClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *c, QvWordLen cWords) {
    const QvWordLen nmSig = sigLen(m, nm);
    if (nmSig == 0)
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: void longvModClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, "
            "QvWord *c, QvWordLen cWords)\nFILE: qvnumbers/mod\nLINE: 128\n");
    if (nx != 0 && longvCmpExt(x, nx, m, nmSig) >= 0) divCore(x, nx, m, nmSig, nullptr);
    // c gets the low words of the remainder; beyond nx it is zero-extended.
    if (c != x) longvCopyExtend(c, cWords, x, nx);
}

void longvMod(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm) { longvModClassical(x, nx, m, nm, x, nx); }

QvRet longvToMontgomery(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm) {
    if (sigLen(m, nm) == 0) return QV_RET_BAD_ARGUMENT;
    const QvWordLen n = nm + nx;
    QvWord *t = new (std::nothrow) QvWord[n == 0 ? 1 : n];
    if (t == nullptr) return QV_RET_NO_MEMORY;
    longvZero(t, nm);
    longvCopy(t + nm, x, nx);
    try {
        longvModClassical(t, n, m, nm, x, nx);
    } catch (...) {
        wipeWords(t, n);
        delete[] t;
        throw;
    }
    wipeWords(t, n);
    delete[] t;
    return QV_RET_OK;
}
