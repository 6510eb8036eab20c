// Word-array kernels of the number part: natural numbers held as arrays of
// 32-bit words, least significant word first, with explicit lengths.
//
// The caller owns and sizes every operand and result.  Unless a routine says
// otherwise a result array must not overlap an input array.  Lengths are not
// checked here: they are the caller's contract.
#ifndef LIBTORVAPP_QVNUMBERS_LONGV_H
#define LIBTORVAPP_QVNUMBERS_LONGV_H

#include <cstdint>

#include "libtorvapp/qvcommon/qvtypes.h"

typedef std::uint32_t QvWordLen;
typedef std::uint32_t QvRet;

// Status words of the routines that report instead of throwing.
enum : QvRet {
    QV_RET_OK = 0,
    QV_RET_NO_MEMORY = 3,
    QV_RET_NO_INVERSE = 7,
    QV_RET_BAD_ARGUMENT = 8
};

// Karatsuba threshold in words (half the shorter operand for the in-place
// form, the operand length for the buffered forms).
const QvWordLen LONGV_KARATSUBA_THRESHOLD = 32;

// ---------------------------------------------------------------------------
// Elementary operations
// ---------------------------------------------------------------------------
void longvCopy(QvWord *dst, const QvWord *src, QvWordLen n);
void longvCopyExtend(QvWord *dst, QvWordLen nDst, const QvWord *src, QvWordLen nSrc);
void longvSwap(QvWord *a, QvWord *b, QvWordLen n);
void longvZero(QvWord *a, QvWordLen n);
void longvSetWord(QvWord *a, QvWordLen n, QvWord w);
QvWord longvAdd(QvWord *a, const QvWord *b, QvWordLen n, QvWord carry);
QvWord longvSub(QvWord *a, const QvWord *b, QvWordLen n, QvWord borrow);
QvWord longvAddExt(QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord carry);
QvWord longvSubExt(QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord borrow);
QvWord longvAdd3(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord carry,
                 QvWord *r, QvWordLen nr);
QvWord longvSub3(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord borrow,
                 QvWord *r, QvWordLen nr);
QvWord longvInc(QvWord *a, QvWordLen n);
QvWord longvDec(QvWord *a, QvWordLen n);
QvWord longvAddWord(QvWord *a, QvWordLen n, QvWord w);
QvWord longvSubWord(QvWord *a, QvWordLen n, QvWord w);
int longvCmp(const QvWord *a, const QvWord *b, QvWordLen n);
int longvCmpExt(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb);
int longvIsZero(const QvWord *a, QvWordLen n);
int longvIsOne(const QvWord *a, QvWordLen n);
// count, then count pairs (QvWord *array, QvWordLen length)
void longvWipe(int count, ...);

// ---------------------------------------------------------------------------
// Bit and word positions, shifts (in place)
// ---------------------------------------------------------------------------
int longvTopBit(const QvWord *a, QvWordLen n);    // -1 for zero
int longvTopWord(const QvWord *a, QvWordLen n);   // 0 for zero
void longvShrWords(QvWord *a, QvWordLen n, QvWordLen k);
void longvShlWords(QvWord *a, QvWordLen n, QvWordLen k);
void longvShr1(QvWord *a, QvWordLen n);
void longvShl1(QvWord *a, QvWordLen n);
QvWord longvShrBits(QvWord *a, QvWordLen n, QvWordLen bits);
QvWord longvShlBits(QvWord *a, QvWordLen n, QvWordLen bits);
QvWord longvShrOctets(QvWord *a, QvWordLen n, QvWordLen octets);
QvWord longvShlOctets(QvWord *a, QvWordLen n, QvWordLen octets);

// ---------------------------------------------------------------------------
// Single-word multiplication
// ---------------------------------------------------------------------------
void wordMul(QvWord a, QvWord b, QvWord *hi, QvWord *lo);
void wordSqr(QvWord a, QvWord *hi, QvWord *lo);
QvWord longvMulWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n);
QvWord longvMulAddWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n);
QvWord longvMulSubWord(QvWord *r, const QvWord *a, QvWord w, QvWordLen n);
QvWord longvScaleWord(QvWord *a, QvWord w, QvWordLen n);

// ---------------------------------------------------------------------------
// Multiplication and squaring
// ---------------------------------------------------------------------------
void longvMul(QvWord *r, const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb);
void longvMulN(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n);
void longvMulMN(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr);
void longvSqr(QvWord *r, const QvWord *a, QvWordLen n);
void longvSqrHalving(const QvWord *a, QvWord *r, QvWordLen n);

// Fixed sizes: r has 2n words.
void longvMul3(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul4(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul5(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul6(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul7(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul8(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul12(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul16(QvWord *r, const QvWord *a, const QvWord *b);
void longvMul17(QvWord *r, const QvWord *a, const QvWord *b);
void longvSqr3(QvWord *r, const QvWord *a);
void longvSqr4(QvWord *r, const QvWord *a);
void longvSqr5(QvWord *r, const QvWord *a);
void longvSqr6(QvWord *r, const QvWord *a);
void longvSqr7(QvWord *r, const QvWord *a);
void longvSqr8(QvWord *r, const QvWord *a);
void longvSqr12(QvWord *r, const QvWord *a);
void longvSqr16(QvWord *r, const QvWord *a);
void longvSqr17(QvWord *r, const QvWord *a);

// Karatsuba.  The in-place forms treat r modulo B^nr (nr >= na + nb) and
// return the overflow (or borrow) word; a and b are changed during the call
// and restored before it returns, so they must be writable, distinct and
// must not overlap r.
QvWord longvMulAddClassical(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb,
                            QvWord *r, QvWordLen nr);
QvWord longvMulSubClassical(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb,
                            QvWord *r, QvWordLen nr);
QvWord longvDivOneMinusPow(QvWord *r, QvWordLen n, QvWordLen k);
QvWord longvMulOneMinusPow(QvWord *r, QvWordLen n, QvWordLen k);
QvWord longvMulAddKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                            QvWordLen threshold);
QvWord longvMulSubKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                            QvWordLen threshold);
QvWord longvMulKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr,
                         QvWordLen threshold);
QvWord longvMulKaratsuba(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr);
void longvMulKaratsubaBuf(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n, QvWordLen threshold);
void longvMulKaratsubaBuf(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n);
void longvSqrKaratsubaBuf(const QvWord *a, QvWord *r, QvWordLen n);

// ---------------------------------------------------------------------------
// Division, remainder, Barrett and power tables
// ---------------------------------------------------------------------------
// x becomes x mod m (nx words); q receives x div m, *nq its significant length.
// q has room for nx - nm' + 2 words (nm' the significant length of m).
void longvDivClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *q, QvWordLen *nq);
void longvModClassical(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm, QvWord *c, QvWordLen cWords);
void longvMod(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm);
QvRet wordDiv2by1(QvWord hi, QvWord lo, QvWord d, QvWord *q, QvWord *r);
QvRet longvToMontgomery(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen nm);
// mu has n + 1 words.
QvRet longvBarrettMu(QvWord *mu, const QvWord *m, QvWordLen n);
QvRet longvModBarrett(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu,
                      QvWord *r, QvWordLen nr);
QvRet longvModBarrett(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *mu);
// table has (n - 1) * n words.
QvRet longvPowTable(QvWord *table, const QvWord *m, QvWordLen n);
QvRet longvModPowTable(const QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *table,
                       QvWord *r, QvWordLen nr);
QvRet longvModPowTable(QvWord *x, QvWordLen nx, const QvWord *m, QvWordLen n, const QvWord *table);
void longvPowTableWipe(QvWord *table, QvWordLen n);

// ---------------------------------------------------------------------------
// Greatest common divisors, inverses, Jacobi symbol
// ---------------------------------------------------------------------------
void longvGcdEuclid(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr);
void longvGcdBinary(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb, QvWord *r, QvWordLen nr);
void longvGcdBinary(const QvWord *a, const QvWord *b, QvWord *r, QvWordLen n);
int longvCoprime(const QvWord *a, QvWordLen na, const QvWord *b, QvWordLen nb);
// inv receives max(na, nb) words.
QvRet longvInverseSteinOddModulus(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv);
// inv receives nb words; it has room for max(na, nb) words.
QvRet longvInverseStein(QvWord *a, QvWordLen na, QvWord *b, QvWordLen nb, QvWord *inv);
QvRet longvInverseStein(QvWord *a, QvWord *b, QvWord *inv, QvWordLen n);
QvRet longInverseEuclid(QvWord *e, QvWordLen eWords, QvWord *f, QvWordLen fWords, QvWord *inv,
                        QvWordLen invWords);
// out has ny words (nout >= ny; words above ny are cleared).
QvRet longvInverseBinarySm(const QvWord *x, QvWordLen nx, const QvWord *y, QvWordLen ny, QvWord *out,
                           QvWordLen nout);
QvRet longvInverseBinarySm(const QvWord *x, const QvWord *y, QvWord *out, QvWordLen n);
// 0 when gcd(a, m) = 1 (r = a^-1 mod m), else 1.  r may be a.
int longvInverseBinaryTc(QvWord *r, const QvWord *a, const QvWord *m, QvWordLen n);
int longvJacobi(const QvWord *a, QvWordLen na, const QvWord *n, QvWordLen nn);

// ---------------------------------------------------------------------------
// Text conversion (digits only, no sign, no prefix)
// ---------------------------------------------------------------------------
QvWordLen longvFromDecimal(QvWord *r, const char *text);
QvWordLen longvFromHex(QvWord *r, const char *text);
QvWordLen longvFromOctal(QvWord *r, const char *text);
// text holds at least 32 * n / 3 + 2 octets.
void longvToOctal(char *text, const QvWord *a, QvWordLen n);
void octalToDecimalText(char *text);

#endif
