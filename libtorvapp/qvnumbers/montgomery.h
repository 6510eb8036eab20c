// Reduction kernels behind modular multiplication: Montgomery reduction and
// multiplication for odd moduli, and the fast reduction of products modulo
// six standard field primes.  Word arrays as in longv.h (32-bit words, least
// significant first); R = 2^(32n) for a modulus of n words.
//
// Nothing here checks its arguments: Montgomery moduli are odd, the sparse
// forms need words 1..n-2 of m to be zero, operands are below m (below 2m in
// the wide forms), and the special reductions take products of residues.
#ifndef LIBTORVAPP_QVNUMBERS_MONTGOMERY_H
#define LIBTORVAPP_QVNUMBERS_MONTGOMERY_H

#include "libtorvapp/qvnumbers/longv.h"

// The shape a modulus stores: r has 2n words (the low n receive the result).
typedef void (*QvMontMulFn)(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu,
                            QvWordLen n);
typedef void (*QvMontSqrFn)(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen n);
// Special primes: r has 2k words (34 for the 521-bit prime).
typedef void (*QvSpecialMulFn)(QvWord *r, const QvWord *a, const QvWord *b);
typedef void (*QvSpecialSqrFn)(QvWord *r, const QvWord *a);

// ---------------------------------------------------------------------------
// General length
// ---------------------------------------------------------------------------
// t (2n words): t[0..n) = t * R^-1 mod m, below m.
void longvMontRedc(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n);
// The same without the final subtraction (a carry out of word 2n-1 is dropped).
void longvMontRedcWide(QvWord *t, const QvWord *m, QvWord mu, QvWordLen n);
// r (n words) = a * b * R^-1 mod m, below m.
void longvMontMul(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n);
// The same without the final subtraction: below 2m for operands below 2m
// when the top word of m is zero.
void longvMontMulWide(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n);
// r (2n words): square then reduce.
void longvMontSqr(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen n);
void longvMontSqrWide(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu, QvWordLen n);
// r (n words) = a * R^-1 mod m; computes its own constant.  r may be a.
void longvFromMontgomery(QvWord *r, const QvWord *a, const QvWord *m, QvWordLen n);
// r (nr words, zero-extended) = x * R^-1 mod m in a new array of 2n+1 words;
// 3 when that array cannot be had (r untouched), else 0.
QvRet longvMontRedcAlloc(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu,
                         QvWord *r, QvWordLen nr);
QvRet longvMontRedcAlloc(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu);
// *mu = -w^-1 mod 2^32: 8 when w = 0, 7 when w is even (mu untouched), else 0.
QvRet wordMontInverse(const QvWord *w, QvWord *mu);

// Product-buffer forms of the general routines (r of 2n words), the shape a
// modulus stores for lengths without a fixed-size routine.
void longvMontMulBuf(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu, QvWordLen n);
void longvMontMulWideBuf(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu,
                         QvWordLen n);

// ---------------------------------------------------------------------------
// Fixed sizes 3..8, 12, 16 (t and r of 2n words)
// ---------------------------------------------------------------------------
#define QV_MONT_FIXED_DECL(N)                                                                              \
    void longvMontRedc##N(QvWord *t, const QvWord *m, QvWord mu);                                          \
    void longvMontRedcSparse##N(QvWord *t, const QvWord *m, QvWord mu);                                    \
    void longvMontMul##N(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu);         \
    void longvMontMulSparse##N(QvWord *r, const QvWord *a, const QvWord *b, const QvWord *m, QvWord mu);   \
    void longvMontSqr##N(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu);                          \
    void longvMontSqrSparse##N(QvWord *r, const QvWord *a, const QvWord *m, QvWord mu);
QV_MONT_FIXED_DECL(3)
QV_MONT_FIXED_DECL(4)
QV_MONT_FIXED_DECL(5)
QV_MONT_FIXED_DECL(6)
QV_MONT_FIXED_DECL(7)
QV_MONT_FIXED_DECL(8)
QV_MONT_FIXED_DECL(12)
QV_MONT_FIXED_DECL(16)
#undef QV_MONT_FIXED_DECL

// The routines a modulus of n words stores (fixed or sparse where one exists,
// else the general length); false when n has no fixed-size routine.
bool longvMontFixedRoutines(QvWordLen n, bool sparse, QvMontMulFn *mul, QvMontSqrFn *sqr);

// ---------------------------------------------------------------------------
// Six special primes
// ---------------------------------------------------------------------------
extern const QvWord QV_PRIME_P160[5];
extern const QvWord QV_PRIME_P192[6];
extern const QvWord QV_PRIME_P224[7];
extern const QvWord QV_PRIME_P256[8];
extern const QvWord QV_PRIME_P384[12];
extern const QvWord QV_PRIME_P521[17];

// In place: t (2k words, 34 for P-521) becomes t mod p in its low k words.
void longvModP160(QvWord *t);
void longvModP192(QvWord *t);
void longvModP224(QvWord *t);
void longvModP256(QvWord *t);
void longvModP384(QvWord *t);
void longvModP521(QvWord *t);
void longvMulModP160(QvWord *r, const QvWord *a, const QvWord *b);
void longvMulModP192(QvWord *r, const QvWord *a, const QvWord *b);
void longvMulModP224(QvWord *r, const QvWord *a, const QvWord *b);
void longvMulModP256(QvWord *r, const QvWord *a, const QvWord *b);
void longvMulModP384(QvWord *r, const QvWord *a, const QvWord *b);
void longvMulModP521(QvWord *r, const QvWord *a, const QvWord *b);
void longvSqrModP160(QvWord *r, const QvWord *a);
void longvSqrModP192(QvWord *r, const QvWord *a);
void longvSqrModP224(QvWord *r, const QvWord *a);
void longvSqrModP256(QvWord *r, const QvWord *a);
void longvSqrModP384(QvWord *r, const QvWord *a);
void longvSqrModP521(QvWord *r, const QvWord *a);

#endif
