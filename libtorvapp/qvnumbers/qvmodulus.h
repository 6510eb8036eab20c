// QvModulus: a QvN prepared to serve as the modulus of residues (QvZn).  The
// options given at construction choose once how products are reduced, and
// everything that choice needs is computed then:
//   options 0       plain reduction (long division);
//   bit 1           recorded in flags bit 0, changes nothing else;
//   bit 8           Montgomery reduction over k words for an odd modulus;
//   bit 16          the fast reduction of one of six standard primes when the
//                   value is one of them, else (without 8) Montgomery over
//                   k + 1 words with no final subtraction ("wide");
//   an even modulus asked for 8 or 16 gets plain reduction (mode 3).
// A modulus may carry its factorisation for CRT exponentiation.  It is
// read-only after preparation; residues keep a plain pointer to it.
#ifndef LIBTORVAPP_QVNUMBERS_QVMODULUS_H
#define LIBTORVAPP_QVNUMBERS_QVMODULUS_H

#include "libtorvapp/qvnumbers/montgomery.h"
#include "libtorvapp/qvnumbers/qvn.h"

class QvModulus : public QvN {
public:
    enum : unsigned int {
        OPT_FLAG1 = 1,
        OPT_MONTGOMERY = 8,
        OPT_SPECIAL = 16,
        OPT_CURVE = 25
    };
    enum : unsigned int {
        MODE_PLAIN = 0,
        MODE_MONTGOMERY = 1,
        MODE_WIDE = 2,
        MODE_EVEN = 3
    };
    enum : unsigned int {
        FLAG_OPTION1 = 1,
        FLAG_FACTORS = 6,       // factor list usable for CRT
        FLAG_TWO_PRIMES = 14    // p, q and the coefficient recorded
    };

    QvModulus();
    QvModulus(const QvN &n, unsigned int options);
    QvModulus(const QvWordMem &words, unsigned int options);
    QvModulus(const QvWord *words, unsigned int count, unsigned int options);
    QvModulus(const char *text, unsigned int options);
    QvModulus(const QvConv &der, unsigned int options);
    QvModulus(const QvOctet *oct, unsigned int len, unsigned int flag, unsigned int options);
    QvModulus(const QvModulus &other);
    ~QvModulus() override;

    QvModulus &operator=(const QvModulus &other);

    void prepareReduction(unsigned int options);
    // Records p, q and q^-1 mod p for CRT exponentiation (prepares this
    // modulus and both primes with option 16); nothing is kept when p does
    // not divide the value.
    void setFactors(const QvModulus &p, const QvModulus &q, const QvN &coefficient);
    // Records n = p * (n / p), usable (setCrtFactor) or not (setFactor) for CRT.
    void setCrtFactor(const QvN &p);
    void setFactor(const QvN &p);

    // Read by residues and exponentiation.
    unsigned int flags = 0;
    unsigned int factorCount = 0;
    QvN *factors = nullptr;
    unsigned int *factorExponents = nullptr;
    QvModulus *p = nullptr;
    QvModulus *q = nullptr;
    QvN coefficient;
    unsigned int mode = MODE_PLAIN;
    QvWord mu = 0;
    QvMontMulFn montMul = nullptr;
    QvMontSqrFn montSqr = nullptr;
    QvWordMem rModN, r2ModN, r3ModN;
    QvWordMem wideModulus;
    unsigned int wideCount = 0;
    QvMontMulFn wideMul = nullptr;
    QvMontSqrFn wideSqr = nullptr;
    QvWordMem rWide, r2Wide, r3Wide;
    unsigned int specialSize = 0;
    QvSpecialMulFn specialMul = nullptr;
    QvSpecialSqrFn specialSqr = nullptr;

private:
    void clearFactors();
    void copyPrepared(const QvModulus &other, bool assigning);
    void recordSplit(const QvN &p, unsigned int addFlags);
};

#endif
