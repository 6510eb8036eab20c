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

// Fixed-length forms (fully unrolled, no branch on the values): x = x + y,
// x = x - y and x = p - x (x = 0 stays 0) modulo p.
template <unsigned int N>
inline void addModFixed(QvWord *x, const QvWord *y, const QvWord *p) {
    std::uint64_t c = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) {
        c += (std::uint64_t)x[i] + y[i];
        x[i] = (QvWord)c;
        c >>= 32;
    }
    QvWord t[N];
    std::uint64_t br = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) {
        const std::uint64_t d = (std::uint64_t)x[i] - p[i] - br;
        t[i] = (QvWord)d;
        br = d >> 63;
    }
    // The sum carried out, or did not go below p when p was subtracted.
    const QvWord mask = 0u - (QvWord)((c | (br ^ 1u)) & 1u);
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) x[i] = (t[i] & mask) | (x[i] & ~mask);
}

template <unsigned int N>
inline void subModFixed(QvWord *x, const QvWord *y, const QvWord *p) {
    std::uint64_t br = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) {
        const std::uint64_t d = (std::uint64_t)x[i] - y[i] - br;
        x[i] = (QvWord)d;
        br = d >> 63;
    }
    const QvWord mask = 0u - (QvWord)br;
    std::uint64_t c = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) {
        c += (std::uint64_t)x[i] + (p[i] & mask);
        x[i] = (QvWord)c;
        c >>= 32;
    }
}

template <unsigned int N>
inline void negModFixed(QvWord *x, const QvWord *p) {
    QvWord any = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) any |= x[i];
    const QvWord mask = 0u - (QvWord)(any != 0);
    std::uint64_t br = 0;
#pragma GCC unroll 17
    for (unsigned int i = 0; i < N; ++i) {
        const std::uint64_t d = (std::uint64_t)(p[i] & mask) - x[i] - br;
        x[i] = (QvWord)d;
        br = d >> 63;
    }
}

// Decoding refusals of both curve classes (the fixed-prime class when
// cryptoEp is set).
[[noreturn]] void coordinateNotReduced(bool cryptoEp);
[[noreturn]] void pointNotOnCurve(bool cryptoEp);

}  // namespace qvepfield

#endif
