// QvModulus: choice of the reduction method and its constants, factor data.
#include "libtorvapp/qvnumbers/qvmodulus.h"

#include <new>

#include "libtorvapp/qvnumbers/longv_internal.h"

namespace {

struct SpecialPrime {
    unsigned int words;
    unsigned int size;
    const QvWord *prime;
    QvSpecialMulFn mul;
    QvSpecialSqrFn sqr;
};

const SpecialPrime kSpecial[] = {
    {5, 160, QV_PRIME_P160, longvMulModP160, longvSqrModP160},
    {6, 192, QV_PRIME_P192, longvMulModP192, longvSqrModP192},
    {7, 224, QV_PRIME_P224, longvMulModP224, longvSqrModP224},
    {8, 256, QV_PRIME_P256, longvMulModP256, longvSqrModP256},
    {12, 384, QV_PRIME_P384, longvMulModP384, longvSqrModP384},
    {17, 521, QV_PRIME_P521, longvMulModP521, longvSqrModP521},
};

// (1 << bits) mod n in exactly `words` words.
QvWordMem powerOfTwoMod(const QvN &n, unsigned int bits, unsigned int words) {
    QvN x = (QvN(1u, 1) << bits) % n;
    QvWordMem out(words);
    longvCopyExtend(out.getData(), words, x.getWords(), x.getWordCount());
    return out;
}

}  // namespace

QvModulus::QvModulus() : QvN() { prepareReduction(0); }

QvModulus::QvModulus(const QvN &nv, unsigned int options) : QvN(nv) { prepareReduction(options); }

QvModulus::QvModulus(const QvWordMem &words, unsigned int options) : QvN(words) { prepareReduction(options); }

QvModulus::QvModulus(const QvWord *words, unsigned int count, unsigned int options) : QvN(words, count) {
    prepareReduction(options);
}

QvModulus::QvModulus(const char *text, unsigned int options) : QvN(text) { prepareReduction(options); }

QvModulus::QvModulus(const QvConv &der, unsigned int options) : QvN(der) { prepareReduction(options); }

QvModulus::QvModulus(const QvOctet *oct, unsigned int len, unsigned int flag, unsigned int options)
    : QvN(oct, len, flag) {
    prepareReduction(options);
}

QvModulus::QvModulus(const QvModulus &other) : QvN(other) { copyPrepared(other, false); }

QvModulus::~QvModulus() { clearFactors(); }

QvModulus &QvModulus::operator=(const QvModulus &other) {
    if (this != &other) {
        QvN::operator=(other);
        copyPrepared(other, true);
    }
    return *this;
}

void QvModulus::clearFactors() {
    delete[] factors;
    delete[] factorExponents;
    delete p;
    delete q;
    factors = nullptr;
    factorExponents = nullptr;
    p = nullptr;
    q = nullptr;
    factorCount = 0;
}

void QvModulus::copyPrepared(const QvModulus &o, bool assigning) {
    // The failure texts name the copy constructor's lines, or the assignment.
    const char *file = assigning ? "qvnumbers/modulus_assign" : "qvnumbers/qvmodulus";
    QvN *newFactors = nullptr;
    unsigned int *newExponents = nullptr;
    QvModulus *newP = nullptr, *newQ = nullptr;
    if (o.factorCount != 0) {
        newFactors = new (std::nothrow) QvN[o.factorCount];
        if (newFactors == nullptr) throw QvMemException(o.factorCount * sizeof(QvN), file, assigning ? "0" : "387");
        newExponents = new (std::nothrow) unsigned int[o.factorCount];
        if (newExponents == nullptr) {
            delete[] newFactors;
            throw QvMemException(o.factorCount * sizeof(unsigned int), file, assigning ? "0" : "392");
        }
        try {
            for (unsigned int i = 0; i < o.factorCount; ++i) {
                newFactors[i] = o.factors[i];
                newExponents[i] = o.factorExponents[i];
            }
        } catch (...) {
            delete[] newFactors;
            delete[] newExponents;
            throw;
        }
    }
    try {
        if (o.p != nullptr) {
            newP = new (std::nothrow) QvModulus(*o.p);
            if (newP == nullptr) throw QvMemException(sizeof(QvModulus), file, assigning ? "0" : "412");
        }
        if (o.q != nullptr) {
            newQ = new (std::nothrow) QvModulus(*o.q);
            if (newQ == nullptr) throw QvMemException(sizeof(QvModulus), file, assigning ? "0" : "417");
        }
    } catch (...) {
        delete[] newFactors;
        delete[] newExponents;
        delete newP;
        throw;
    }
    clearFactors();
    factors = newFactors;
    factorExponents = newExponents;
    factorCount = o.factorCount;
    p = newP;
    q = newQ;
    flags = o.flags;
    coefficient = o.coefficient;
    mode = o.mode;
    mu = o.mu;
    montMul = o.montMul;
    montSqr = o.montSqr;
    rModN = o.rModN;
    r2ModN = o.r2ModN;
    r3ModN = o.r3ModN;
    wideModulus = o.wideModulus;
    wideCount = o.wideCount;
    wideMul = o.wideMul;
    wideSqr = o.wideSqr;
    rWide = o.rWide;
    r2Wide = o.r2Wide;
    r3Wide = o.r3Wide;
    specialSize = o.specialSize;
    specialMul = o.specialMul;
    specialSqr = o.specialSqr;
}

void QvModulus::prepareReduction(unsigned int options) {
    clearFactors();
    flags = 0;
    mode = MODE_PLAIN;
    specialSize = 0;
    specialMul = nullptr;
    specialSqr = nullptr;
    mu = 0;
    montMul = nullptr;
    montSqr = nullptr;
    wideMul = nullptr;
    wideSqr = nullptr;
    wideCount = 0;
    if (options == 0) return;
    if (options & OPT_FLAG1) flags |= FLAG_OPTION1;
    const unsigned int k = n;
    const QvWord *w = v.getConstData();
    if (options & OPT_SPECIAL) {
        for (const SpecialPrime &sp : kSpecial)
            if (sp.words == k && longvCmp(w, sp.prime, k) == 0) {
                specialSize = sp.size;
                specialMul = sp.mul;
                specialSqr = sp.sqr;
            }
    }
    if ((options & (OPT_MONTGOMERY | OPT_SPECIAL)) == 0 || specialSize != 0) return;
    if ((w[0] & 1) == 0) {
        mode = MODE_EVEN;
        return;
    }
    QvWord x = 1;
    for (int i = 0; i < 5; ++i) x = x * (2 - w[0] * x);
    mu = 0u - x;
    if (options & OPT_MONTGOMERY) {
        mode = MODE_MONTGOMERY;
        bool sparse = k >= 3 && longvIsZero(w + 1, k - 2);
        longvMontFixedRoutines(k, sparse, &montMul, &montSqr);
        rModN = powerOfTwoMod(*this, 32 * k, k);
        r2ModN = powerOfTwoMod(*this, 64 * k, k);
        r3ModN = powerOfTwoMod(*this, 96 * k, k);
    } else {
        mode = MODE_WIDE;
        wideCount = k + 1;
        QvWordMem wm(k + 1);
        longvCopyExtend(wm.getData(), k + 1, w, k);
        wideModulus = wm;
        wideMul = longvMontMulWideBuf;
        wideSqr = longvMontSqrWide;
        rWide = powerOfTwoMod(*this, 32 * (k + 1), k + 1);
        r2Wide = powerOfTwoMod(*this, 64 * (k + 1), k + 1);
        r3Wide = powerOfTwoMod(*this, 96 * (k + 1), k + 1);
    }
}

void QvModulus::recordSplit(const QvN &pv, unsigned int addFlags) {
    if (pv.isZero() || !(*this % pv).isZero()) return;
    QvN *newFactors = new (std::nothrow) QvN[2];
    if (newFactors == nullptr) throw QvMemException(2 * sizeof(QvN), "qvnumbers/modulus_set", "88");
    unsigned int *newExponents = new (std::nothrow) unsigned int[2];
    if (newExponents == nullptr) {
        delete[] newFactors;
        throw QvMemException(2 * sizeof(unsigned int), "qvnumbers/modulus_set", "96");
    }
    newFactors[0] = pv;
    newFactors[1] = QvN(*this) / pv;
    newExponents[0] = newExponents[1] = 1;
    delete[] factors;
    delete[] factorExponents;
    factors = newFactors;
    factorExponents = newExponents;
    factorCount = 2;
    flags |= addFlags;
}

void QvModulus::setCrtFactor(const QvN &pv) { recordSplit(pv, 6); }

void QvModulus::setFactor(const QvN &pv) { recordSplit(pv, 2); }

void QvModulus::setFactors(const QvModulus &pv, const QvModulus &qv, const QvN &coef) {
    clearFactors();
    prepareReduction(OPT_SPECIAL);
    setCrtFactor(pv);
    if (factorCount == 0) return;
    QvModulus *np = new (std::nothrow) QvModulus(pv, OPT_SPECIAL);
    if (np == nullptr) throw QvMemException(sizeof(QvModulus), "qvnumbers/modulus_set", "133");
    QvModulus *nq = new (std::nothrow) QvModulus(qv, OPT_SPECIAL);
    if (nq == nullptr) {
        delete np;
        throw QvMemException(sizeof(QvModulus), "qvnumbers/modulus_set", "142");
    }
    flags |= FLAG_TWO_PRIMES;
    p = np;
    q = nq;
    coefficient = coef;
}
