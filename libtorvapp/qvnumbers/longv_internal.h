// Helpers shared by the kernel sources: pairs of words handled as 64-bit
// limbs with 128-bit products.  Not part of the public interface.
#ifndef LIBTORVAPP_QVNUMBERS_LONGV_INTERNAL_H
#define LIBTORVAPP_QVNUMBERS_LONGV_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvnumbers/longv.h"

namespace qvlongv {

typedef std::uint64_t u64;
typedef unsigned __int128 u128;

// Two adjacent words as one little-endian 64-bit limb (any word offset).
inline u64 ld64(const QvWord *p) {
    u64 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void st64(QvWord *p, u64 v) { std::memcpy(p, &v, sizeof v); }

// r[0..n) = a[0..n) * w; returns the carry (two words when w is 64-bit).
inline u64 mulRow(QvWord *r, const QvWord *a, QvWordLen n, u64 w) {
    u64 c = 0;
    QvWordLen i = 0;
    for (; i + 2 <= n; i += 2) {
        u128 p = (u128)ld64(a + i) * w + c;
        st64(r + i, (u64)p);
        c = (u64)(p >> 64);
    }
    if (i < n) {
        u128 p = (u128)a[i] * w + c;
        r[i] = (QvWord)p;
        c = (u64)(p >> 32);
    }
    return c;
}

// r[0..n) += a[0..n) * w; returns the carry.
inline u64 mulAddRow(QvWord *r, const QvWord *a, QvWordLen n, u64 w) {
    u64 c = 0;
    QvWordLen i = 0;
    for (; i + 2 <= n; i += 2) {
        u128 p = (u128)ld64(a + i) * w + ld64(r + i) + c;
        st64(r + i, (u64)p);
        c = (u64)(p >> 64);
    }
    if (i < n) {
        u128 p = (u128)a[i] * w + r[i] + c;
        r[i] = (QvWord)p;
        c = (u64)(p >> 32);
    }
    return c;
}

// r[0..n) -= a[0..n) * w; returns the borrow.
inline u64 mulSubRow(QvWord *r, const QvWord *a, QvWordLen n, u64 w) {
    u64 c = 0;
    QvWordLen i = 0;
    for (; i + 2 <= n; i += 2) {
        u128 p = (u128)ld64(a + i) * w + c;
        u64 lo = (u64)p;
        u64 x = ld64(r + i);
        st64(r + i, x - lo);
        c = (u64)(p >> 64) + (x < lo);
    }
    if (i < n) {
        u128 p = (u128)a[i] * w + c;
        QvWord lo = (QvWord)p;
        QvWord x = r[i];
        r[i] = x - lo;
        c = (u64)(p >> 32) + (x < lo);
    }
    return c;
}

// r[0..n) += a[0..n) * (w0 + w1 * 2^64) for even n, in one pass over r;
// returns the two carry limbs (word n in the low half, word n + 2 in the high).
inline u128 mulAddRow2(QvWord *r, const QvWord *a, QvWordLen n, u64 w0, u64 w1) {
    u64 c0 = 0, c1 = 0;
#if defined(__x86_64__) && !defined(QV_PLAIN_ROWS)
    // The same loop by hand: compilers keep too few of its values in registers.
    if (n >= 2) {
        u64 cnt = n / 2, x, t;
        __asm__(
            "1:\n\t"
            "movq (%[a]), %[x]\n\t"
            "movq %[x], %%rax\n\t"
            "mulq %[w0]\n\t"
            "addq (%[r]), %%rax\n\t"
            "adcq $0, %%rdx\n\t"
            "addq %[c0], %%rax\n\t"
            "adcq $0, %%rdx\n\t"
            "movq %%rax, (%[r])\n\t"
            "movq %%rdx, %[t]\n\t"
            "movq %[x], %%rax\n\t"
            "mulq %[w1]\n\t"
            "addq %[t], %%rax\n\t"
            "adcq $0, %%rdx\n\t"
            "addq %[c1], %%rax\n\t"
            "adcq $0, %%rdx\n\t"
            "movq %%rax, %[c0]\n\t"
            "movq %%rdx, %[c1]\n\t"
            "leaq 8(%[a]), %[a]\n\t"
            "leaq 8(%[r]), %[r]\n\t"
            "decq %[cnt]\n\t"
            "jnz 1b\n\t"
            : [a] "+r"(a), [r] "+r"(r), [cnt] "+r"(cnt), [c0] "+r"(c0), [c1] "+r"(c1), [x] "=&r"(x), [t] "=&r"(t)
            : [w0] "r"(w0), [w1] "r"(w1)
            : "rax", "rdx", "cc", "memory");
    }
#else
    for (QvWordLen i = 0; i < n; i += 2) {
        const u64 x = ld64(a + i);
        u128 p0 = (u128)x * w0 + ld64(r + i) + c0;
        st64(r + i, (u64)p0);
        u128 p1 = (u128)x * w1 + (u64)(p0 >> 64) + c1;
        c0 = (u64)p1;
        c1 = (u64)(p1 >> 64);
    }
#endif
    return ((u128)c1 << 64) | c0;
}

// Adds a 64-bit value at r[0..n) with carry propagation; returns the part
// that leaves the top (as a multiple of B^n, modulo 2^32).
inline QvWord addAt(QvWord *r, QvWordLen n, u64 v) {
    if (n == 0) return (QvWord)v;
    if (n == 1) {
        u64 s = (u64)r[0] + (QvWord)v;
        r[0] = (QvWord)s;
        return (QvWord)((v >> 32) + (s >> 32));
    }
    u64 x = ld64(r);
    u64 s = x + v;
    st64(r, s);
    if (s >= x) return 0;
    return longvInc(r + 2, n - 2);
}

// Subtracts a 64-bit value at r[0..n); returns the borrow out of the top.
inline QvWord subAt(QvWord *r, QvWordLen n, u64 v) {
    if (n == 0) return (QvWord)v;
    if (n == 1) {
        QvWord lo = (QvWord)v;
        QvWord x = r[0];
        r[0] = x - lo;
        return (QvWord)((v >> 32) + (x < lo));
    }
    u64 x = ld64(r);
    st64(r, x - v);
    if (x >= v) return 0;
    return longvDec(r + 2, n - 2);
}

// Significant length (no high zero words; 0 for zero).
inline QvWordLen sigLen(const QvWord *a, QvWordLen n) {
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}

// Wipes memory so that the compiler cannot drop the stores.
inline void wipeWords(QvWord *p, QvWordLen n) {
    volatile QvWord *v = p;
    for (QvWordLen i = 0; i < n; ++i) v[i] = 0;
}

// Plain product into r[0..na+nb) (na, nb may be 0), rows of two words.
void mulPlain(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb);
// Plain square into r[0..2n).
void sqrPlain(QvWord *r, const QvWord *a, QvWordLen n);

// Division of x (nx words) by m whose nmSig-th word is its top non-zero word,
// for x >= m: x becomes the remainder (zero-extended to nx words) and, when q
// is not null, q[0..nx-nmSig] receives the quotient.  Returns the significant
// length of the quotient.  Work memory comes from QvWordMem.
QvWordLen divCore(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nmSig, QvWord *q);

// 128-by-64-bit division; hi < d.
inline u64 div128(u64 hi, u64 lo, u64 d, u64 *rem) {
#if defined(__x86_64__)
    u64 q, r;
    __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    *rem = r;
    return q;
#else
    u128 n = ((u128)hi << 64) | lo;
    u64 q = (u64)(n / d);
    *rem = lo - q * d;
    return q;
#endif
}

}  // namespace qvlongv

#endif
