// Modular addition and subtraction on word arrays below an odd modulus m of
// k words, shared by both curve implementations.  Results may alias operands
// (each word is read before it is written).
#ifndef LIBTORVAPP_QVEP_QVEPFIELD_H
#define LIBTORVAPP_QVEP_QVEPFIELD_H

#include <cstdint>

#include "libtorvapp/qvnumbers/longv.h"

namespace qvepfield {

inline QvWord addWords(QvWord *r, const QvWord *a, const QvWord *b, unsigned int k) {
    std::uint64_t c = 0;
    for (unsigned int i = 0; i < k; ++i) {
        c += (std::uint64_t)a[i] + b[i];
        r[i] = (QvWord)c;
        c >>= 32;
    }
    return (QvWord)c;
}

inline QvWord subWords(QvWord *r, const QvWord *a, const QvWord *b, unsigned int k) {
    std::uint64_t br = 0;
    for (unsigned int i = 0; i < k; ++i) {
        const std::uint64_t d = (std::uint64_t)a[i] - b[i] - br;
        r[i] = (QvWord)d;
        br = (d >> 32) & 1;
    }
    return (QvWord)br;
}

// r = a + b mod m (a, b below m).
inline void addMod(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, unsigned int k) {
    if (addWords(r, a, b, k) != 0 || longvCmp(r, m, k) >= 0) subWords(r, r, m, k);
}

// r = a - b mod m (a, b below m).
inline void subMod(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, unsigned int k) {
    if (subWords(r, a, b, k) != 0) addWords(r, r, m, k);
}

// x = -x mod m.
inline void negMod(QvWord *x, const QvWord *m, unsigned int k) {
    if (!longvIsZero(x, k)) subWords(x, m, x, k);
}

// Decoding refusals of both curve classes (the fixed-prime class when
// cryptoEp is set).
[[noreturn]] void coordinateNotReduced(bool cryptoEp);
[[noreturn]] void pointNotOnCurve(bool cryptoEp);

}  // namespace qvepfield

#endif
