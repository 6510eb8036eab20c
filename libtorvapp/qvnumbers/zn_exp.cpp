// Modular exponentiation of residues: word exponents by square-and-multiply,
// longer ones by the fixed-window method, or through the Chinese remainder
// theorem when the modulus carries its factors.
#include <new>

#include "libtorvapp/qvnumbers/longv_internal.h"
#include "libtorvapp/qvnumbers/montlimbs.h"
#include "libtorvapp/qvnumbers/qvzn.h"

using namespace qvlongv;

namespace {

// Bits [pos, pos + w) of e (w < 32).
inline unsigned int bitsAt(const QvN &e, unsigned int pos, unsigned int w) {
    const QvWord *d = e.getWords();
    const unsigned int n = e.getWordCount();
    const unsigned int i = pos / 32, s = pos % 32;
    std::uint64_t x = i < n ? d[i] : 0;
    if (i + 1 < n) x |= (std::uint64_t)d[i + 1] << 32;
    return (unsigned int)(x >> s) & ((1u << w) - 1);
}

}  // namespace

unsigned int expWindowWidth(unsigned int L) {
    const unsigned long long s = (unsigned long long)L + L / 2;
    if (s <= 3) return 1;
    unsigned int k = 2;
    while (!(s < (unsigned long long)k * k << (k + 1))) ++k;
    const unsigned long long c1 = L / (2 * (k - 1)) + (1ull << (k - 1));
    const unsigned long long c2 = L / (2 * k) + (1ull << k);
    return c1 < c2 ? k - 1 : k;
}

namespace {

// Odd moduli of at least this many words exponentiate on 64-bit limbs
// (montlimbs.h); the results are the same, fully reduced values.
const unsigned int kLimbEngineWords = 8;

bool limbEngineServes(const QvModulus &M) {
    return M.getWordCount() >= kLimbEngineWords && !M.isEven();
}

// x^e mod M for x below M, by the limb engine.
QvN limbPow(const QvN &x, const QvN &e, const QvModulus &M) {
    const unsigned int k = M.getWordCount();
    QvWordMem xw(k), r(k);
    longvCopyExtend(xw.getData(), k, x.getWords(), x.getWordCount());
    longvPowModOdd(r.getData(), xw.getData(), e.getWords(), e.getWordCount(), M.getWords(), k,
                   expWindowWidth(e.getBitLength()));
    return QvN(r.getData(), k);
}

}  // namespace

void expWindow(QvZn &a, const QvN &e) {
    // Residues held fully reduced (plain or Montgomery over k words) leave
    // the work to the limb engine; the wide form keeps its own chain, whose
    // values need not be fully reduced.
    if (a.form != QvZn::FORM_WIDE && limbEngineServes(*a.modulus)) {
        a.setPlain(limbPow(a.asQvN(), e, *a.modulus));
        return;
    }
    const unsigned int L = e.getBitLength();
    const unsigned int w = expWindowWidth(L);
    const unsigned int cnt = a.count;
    const unsigned int entries = 1u << w;
    QvWord *mem = new (std::nothrow) QvWord[(std::size_t)(entries + 3) * cnt + 2];
    if (mem == nullptr)
        throw QvMemException(((std::uint64_t)entries + 3) * cnt * sizeof(QvWord), "qvnumbers/zn_exp", "73");
    QvWord *table = mem;                    // entries 1 .. 2^w - 1 (entry 0 unused)
    QvWord *acc = mem + entries * cnt;      // the running result
    QvWord *scratch = acc + cnt;            // 2 count + 2 words
    const QvWord *x = a.value.getConstData();
    longvCopy(table + cnt, x, cnt);
    for (unsigned int i = 2; i < entries; ++i) a.mulWords(table + i * cnt, table + (i - 1) * cnt, x, scratch);
    if (a.form == QvZn::FORM_PLAIN) longvSetWord(acc, cnt, 1);
    else longvCopy(acc, a.oneWords(), cnt);
    const unsigned int digits = (L + w - 1) / w;
    bool started = false;
    for (unsigned int i = digits; i-- > 0;) {
        const unsigned int d = bitsAt(e, i * w, w);
        if (started)
            for (unsigned int j = 0; j < w; ++j) a.sqrWords(acc, acc, scratch);
        if (d != 0) {
            if (started) a.mulWords(acc, acc, table + d * cnt, scratch);
            else longvCopy(acc, table + d * cnt, cnt);  // 1 squared and times entry d
            started = true;
        }
    }
    longvCopy(a.value.getData(), acc, cnt);
    wipeWords(mem, (entries + 3) * cnt + 2);
    delete[] mem;
}

QvZn &QvZn::operator^=(QvWord w) {
    QvZn t(*this);
    *this = 1;
    ensureScratch();
    QvWord *a = value.getData();
    QvWord *tw = t.value.getData();
    while (w != 0) {
        if (w & 1) mulWords(a, a, tw, scratch.getData());
        w >>= 1;
        if (w != 0) mulWords(tw, tw, tw, scratch.getData());
    }
    return *this;
}

namespace {

// base^e in modulus M (prepared by the caller), as a number; x is below M.
QvN powIn(const QvN &x, const QvN &e, const QvModulus *M) {
    if (e.getWordCount() > 1 && limbEngineServes(*M)) return limbPow(x, e, *M);
    QvZn r(x, M);
    if (e.getWordCount() == 1) r ^= e.getLowestWord();
    else expWindow(r, e);
    return r.asQvN();
}

}  // namespace

QvZn &QvZn::operator^=(const QvN &e) {
    checkOperands(*this);
    if (e.getWordCount() == 1) return *this ^= e.getLowestWord();
    const QvModulus *M = modulus;
    if ((M->flags & QvModulus::FLAG_TWO_PRIMES) == QvModulus::FLAG_TWO_PRIMES) {
        const QvModulus &p = *M->p, &q = *M->q;
        const QvN x = asQvN();
        // e has two words or more, so e > 0: a residue 0 modulo a prime gives 0
        // there, whatever e reduced modulo p - 1 is.
        const QvN xq = x % q, xp = x % p;
        const QvN mq = xq.isZero() ? QvN() : powIn(xq, e % (QvN(q) - 1u), &q);
        QvN mp = xp.isZero() ? QvN() : powIn(xp, e % (QvN(p) - 1u), &p);
        const QvN pn(p);
        QvN diff = (mp + pn - mq % pn) % pn;
        const QvN h = (diff * M->coefficient) % pn;
        *this = QvZn(mq + h * QvN(q), M);
        return *this;
    }
    if ((M->flags & QvModulus::FLAG_FACTORS) == QvModulus::FLAG_FACTORS && M->factorCount > 0) {
        const unsigned int t = M->factorCount;
        const QvN x = asQvN();
        QvModulus *mods = new QvModulus[t];
        QvZn *parts = new QvZn[t];
        try {
            for (unsigned int i = 0; i < t; ++i) {
                const QvN &pi = M->factors[i];
                const unsigned int j = M->factorExponents[i];
                mods[i] = QvModulus(pi ^ j, QvModulus::OPT_MONTGOMERY);
                const QvN xi = x % mods[i];
                // The reduced exponent holds only for units; a multiple of p_i
                // takes the whole exponent.
                QvN ei = (xi % pi).isZero() ? e : e % ((pi - 1u) * (pi ^ (j - 1)));
                parts[i] = QvZn(powIn(xi, ei, &mods[i]), &mods[i]);
            }
            *this = QvZn(crtCombine(parts, t), M);
        } catch (...) {
            delete[] parts;
            delete[] mods;
            throw;
        }
        delete[] parts;
        delete[] mods;
        return *this;
    }
    expWindow(*this, e);
    return *this;
}

QvZn operator^(const QvZn &base, const QvN &e) {
    QvZn r(base);
    return r ^= e;
}

QvZn operator^(const QvZn &base, QvWord e) {
    QvZn r(base);
    return r ^= e;
}

QvN crtCombine(const QvZn *r, unsigned int t) {
    if (t == 0) return QvN();
    QvZn *C = new QvZn[t];
    try {
        for (unsigned int i = 1; i < t; ++i) {
            const QvModulus *Mi = r[i].getModulus();
            QvZn prod(1, Mi);
            for (unsigned int j = 0; j < i; ++j) prod *= QvZn(QvN(*r[j].getModulus()), Mi);
            C[i] = 1u / prod;
        }
        QvN x = r[0].asQvN();
        QvN u(*r[0].getModulus());
        for (unsigned int i = 1; i < t; ++i) {
            const QvModulus *Mi = r[i].getModulus();
            const QvN y = ((r[i] - QvZn(x, Mi)) * C[i]).asQvN();
            x += y * u;
            u *= QvN(*Mi);
        }
        delete[] C;
        return x;
    } catch (...) {
        delete[] C;
        throw;
    }
}

QvN findGenerator(const QvN &p, const QvN &q) {
    const QvModulus M(p, 9);
    const QvN e = (p - 1u) / q;
    for (QvWord h = 2;; ++h) {
        QvZn g = QvZn(QvN(h, 1), &M) ^ e;
        if (!(g == 1u)) return g.asQvN();
    }
}
