// Montgomery arithmetic on 64-bit limbs (montlimbs.h).  Values are word
// arrays of 2L words, L limbs of two words each, least significant first.
//
// With carry chains a product is formed whole (rows of one limb of b over all
// of a; squares from the cross products doubled plus the diagonal), then
// reduced row by row: each row adds u * m with u = t[i] * (-m^-1) mod 2^64,
// which clears limb i.  The limb count is a multiple of four, so that these
// rows need no tail.  The portable path runs the general product, square and
// reduction kernels of longv.h and montgomery.h on the same words (R is the
// same 2^(64L)), so both give the same fully reduced values.
#include "libtorvapp/qvnumbers/montlimbs.h"

#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "libtorvapp/qvnumbers/longv_internal.h"
#include "libtorvapp/qvnumbers/montgomery.h"

using namespace qvlongv;

namespace {

typedef MontLimbs::Limb Limb;

#if QV_HAVE_X86_PATHS
// t[0..n) += a[0..n) * w on limbs of two words (n a positive multiple of
// four); returns the carry limb.  For processors with BMI2 and ADX:
// MULX leaves the flags alone, ADCX adds the low halves into t[j] on the
// carry flag and ADOX the high halves into t[j + 1] on the overflow flag, so
// the two carry chains run side by side.  The loop counts in rcx with LEA and
// JRCXZ, which leave both flags alone too.  The carry out is the last high
// half plus both flags; the row's value fits n + 1 limbs, so it cannot wrap.
inline Limb rowCarryChains(QvWord *t, const QvWord *a, Limb w, unsigned int n) {
    Limb c, lo, hi, x;
    unsigned long groups = n / 4;
    __asm__(
        "xorl %k[c], %k[c]\n\t"
        "1:\n\t"
        "mulxq (%[a]), %[lo], %[hi]\n\t"
        "movq (%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], (%[t])\n\t"
        "mulxq 8(%[a]), %[lo], %[c]\n\t"
        "movq 8(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], 8(%[t])\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "movq 16(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], 16(%[t])\n\t"
        "mulxq 24(%[a]), %[lo], %[c]\n\t"
        "movq 24(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], 24(%[t])\n\t"
        "leaq 32(%[a]), %[a]\n\t"
        "leaq 32(%[t]), %[t]\n\t"
        "leaq -1(%[g]), %[g]\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "movl $0, %k[x]\n\t"
        "adcxq %[x], %[c]\n\t"
        "adoxq %[x], %[c]\n\t"
        : [a] "+r"(a), [t] "+r"(t), [g] "+c"(groups), [c] "=&r"(c), [lo] "=&r"(lo), [hi] "=&r"(hi),
          [x] "=&r"(x)
        : "d"(w)
        : "cc", "memory");
    return c;
}

// The same rows written out for G groups of four limbs (the assembler repeats
// the group), so that no loop control stands between the products.
template <unsigned int G>
Limb rowCarryChainsUnrolled(QvWord *t, const QvWord *a, Limb w) {
    Limb c, lo, hi, x;
    __asm__(
        "xorl %k[c], %k[c]\n\t"
        ".set .Lqvrow, 0\n\t"
        ".rept %c[g]\n\t"
        "mulxq .Lqvrow(%[a]), %[lo], %[hi]\n\t"
        "movq .Lqvrow(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], .Lqvrow(%[t])\n\t"
        "mulxq .Lqvrow+8(%[a]), %[lo], %[c]\n\t"
        "movq .Lqvrow+8(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], .Lqvrow+8(%[t])\n\t"
        "mulxq .Lqvrow+16(%[a]), %[lo], %[hi]\n\t"
        "movq .Lqvrow+16(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], .Lqvrow+16(%[t])\n\t"
        "mulxq .Lqvrow+24(%[a]), %[lo], %[c]\n\t"
        "movq .Lqvrow+24(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], .Lqvrow+24(%[t])\n\t"
        ".set .Lqvrow, .Lqvrow+32\n\t"
        ".endr\n\t"
        "movl $0, %k[x]\n\t"
        "adcxq %[x], %[c]\n\t"
        "adoxq %[x], %[c]\n\t"
        : [c] "=&r"(c), [lo] "=&r"(lo), [hi] "=&r"(hi), [x] "=&r"(x)
        : [a] "r"(a), [t] "r"(t), "d"(w), [g] "i"(G)
        : "cc", "memory");
    return c;
}

// t (8G limbs) = 2 t + the squares a[i]^2 at limb 2i, for a of 4G limbs: ADCX
// doubles each limb into the carry chain (x + x + CF), ADOX adds the squares.
template <unsigned int G>
void doubleAddSquares(QvWord *t, const QvWord *a) {
    Limb lo, hi, x;
    // volatile: the work is in memory; the outputs are only scratch registers.
    __asm__ volatile(
        "xorl %k[x], %k[x]\n\t"
        ".set .Lqvsq, 0\n\t"
        ".rept %c[n]\n\t"
        "movq .Lqvsq(%[a]), %%rdx\n\t"
        "mulxq %%rdx, %[lo], %[hi]\n\t"
        "movq 2*.Lqvsq(%[t]), %[x]\n\t"
        "adcxq %[x], %[x]\n\t"
        "adoxq %[lo], %[x]\n\t"
        "movq %[x], 2*.Lqvsq(%[t])\n\t"
        "movq 2*.Lqvsq+8(%[t]), %[x]\n\t"
        "adcxq %[x], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], 2*.Lqvsq+8(%[t])\n\t"
        ".set .Lqvsq, .Lqvsq+8\n\t"
        ".endr\n\t"
        : [lo] "=&r"(lo), [hi] "=&r"(hi), [x] "=&r"(x)
        : [a] "r"(a), [t] "r"(t), [n] "i"(4 * G)
        : "rdx", "cc", "memory");
}

// All L = 4G reduction rows of t (2L + 1 limbs, below m * R): row i adds u * m
// at limb i with u = t[i] * n0, which clears that limb, and its carry limb
// (with the carry left by the row before) at limb i + L.  Returns the carry
// out of limb 2L - 1 (0 or 1).
template <unsigned int G>
Limb reduceCarryChains(QvWord *t, const QvWord *m, Limb n0) {
    Limb c, lo, hi, x, in = 0, rows = 4 * G;
    __asm__(
        "1:\n\t"
        "movq (%[t]), %%rdx\n\t"
        "imulq %[n0], %%rdx\n\t"
        "xorl %k[c], %k[c]\n\t"
        ".set .Lqvrd, 0\n\t"
        ".rept %c[g]\n\t"
        "mulxq .Lqvrd(%[m]), %[lo], %[hi]\n\t"
        "movq .Lqvrd(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], .Lqvrd(%[t])\n\t"
        "mulxq .Lqvrd+8(%[m]), %[lo], %[c]\n\t"
        "movq .Lqvrd+8(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], .Lqvrd+8(%[t])\n\t"
        "mulxq .Lqvrd+16(%[m]), %[lo], %[hi]\n\t"
        "movq .Lqvrd+16(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[c], %[x]\n\t"
        "movq %[x], .Lqvrd+16(%[t])\n\t"
        "mulxq .Lqvrd+24(%[m]), %[lo], %[c]\n\t"
        "movq .Lqvrd+24(%[t]), %[x]\n\t"
        "adcxq %[lo], %[x]\n\t"
        "adoxq %[hi], %[x]\n\t"
        "movq %[x], .Lqvrd+24(%[t])\n\t"
        ".set .Lqvrd, .Lqvrd+32\n\t"
        ".endr\n\t"
        "movl $0, %k[x]\n\t"
        "adcxq %[x], %[c]\n\t"
        "adoxq %[x], %[c]\n\t"
        "addq %c[top](%[t]), %[c]\n\t"
        "adcq $0, %[x]\n\t"
        "addq %[in], %[c]\n\t"
        "adcq $0, %[x]\n\t"
        "movq %[c], %c[top](%[t])\n\t"
        "movq %[x], %[in]\n\t"
        "leaq 8(%[t]), %[t]\n\t"
        "decq %[rows]\n\t"
        "jnz 1b\n\t"
        : [t] "+r"(t), [in] "+r"(in), [rows] "+r"(rows), [c] "=&r"(c), [lo] "=&r"(lo), [hi] "=&r"(hi),
          [x] "=&r"(x)
        : [m] "r"(m), [n0] "r"(n0), [g] "i"(G), [top] "i"(32 * G)
        : "rdx", "cc", "memory");
    return in;
}

typedef Limb (*UnrolledRow)(QvWord *, const QvWord *, Limb);

template <unsigned int... G>
constexpr std::array<UnrolledRow, sizeof...(G)> unrolledRows(std::integer_sequence<unsigned int, G...>) {
    return {{rowCarryChainsUnrolled<G + 1>...}};
}

// Rows of up to 64 limbs (4096-bit moduli) are written out; longer ones loop.
const std::array<UnrolledRow, 16> kUnrolledRows = unrolledRows(std::make_integer_sequence<unsigned int, 16>());

typedef void (*DoubleAddSquares)(QvWord *, const QvWord *);
typedef Limb (*Reduction)(QvWord *, const QvWord *, Limb);

template <unsigned int... G>
constexpr std::array<DoubleAddSquares, sizeof...(G)> doublings(std::integer_sequence<unsigned int, G...>) {
    return {{doubleAddSquares<G + 1>...}};
}

template <unsigned int... G>
constexpr std::array<Reduction, sizeof...(G)> reductions(std::integer_sequence<unsigned int, G...>) {
    return {{reduceCarryChains<G + 1>...}};
}

const std::array<DoubleAddSquares, 16> kDoubleAddSquares = doublings(std::make_integer_sequence<unsigned int, 16>());
const std::array<Reduction, 16> kReductions = reductions(std::make_integer_sequence<unsigned int, 16>());

// One row on limbs of two words: written out up to 64 limbs, looped beyond.
inline Limb row(QvWord *t, const QvWord *a, Limb w, unsigned int n) {
    if (n <= 4 * kUnrolledRows.size()) return kUnrolledRows[n / 4 - 1](t, a, w);
    return rowCarryChains(t, a, w, n);
}

// t (4L + 2 words) = a * b.
void productChains(QvWord *t, const QvWord *a, const QvWord *b, unsigned int L) {
    std::memset(t, 0, (4 * L + 2) * sizeof(QvWord));
    for (unsigned int i = 0; i < L; ++i) st64(t + 2 * (i + L), row(t + 2 * i, a, ld64(b + 2 * i), L));
}

// t (4L + 2 words) = a^2: the cross products a[i] * a[j] (i < j) row by row,
// doubled, plus the squares a[i]^2 at limb 2i.  Rows start at a multiple of
// four limbs; za (a copy of a whose limbs up to i are cleared) makes the
// extra products at their start zero.
void squareChains(QvWord *t, const QvWord *a, QvWord *za, unsigned int L) {
    std::memset(t, 0, (4 * L + 2) * sizeof(QvWord));
    std::memcpy(za, a, 2 * L * sizeof(QvWord));
    for (unsigned int i = 0; i + 1 < L; ++i) {
        za[2 * i] = za[2 * i + 1] = 0;
        const unsigned int s = (i + 1) & ~3u;
        st64(t + 2 * (i + L), row(t + 2 * (i + s), za + 2 * s, ld64(a + 2 * i), L - s));
    }
    if (L <= 4 * kDoubleAddSquares.size()) {
        kDoubleAddSquares[L / 4 - 1](t, a);
        return;
    }
    Limb top = 0, carry = 0;
    for (unsigned int i = 0; i < L; ++i) {
        const Limb lo = ld64(t + 4 * i), hi = ld64(t + 4 * i + 2), ai = ld64(a + 2 * i);
        const Limb dlo = (lo << 1) | top;
        const Limb dhi = (hi << 1) | (lo >> 63);
        top = hi >> 63;
        const u128 sq = (u128)ai * ai;
        const u128 s0 = (u128)dlo + (Limb)sq + carry;
        st64(t + 4 * i, (Limb)s0);
        const u128 s1 = (u128)dhi + (Limb)(sq >> 64) + (Limb)(s0 >> 64);
        st64(t + 4 * i + 2, (Limb)s1);
        carry = (Limb)(s1 >> 64);
    }
}

// r (2L words) = t * R^-1 mod m, below m, for t (4L + 2 words) below m * R;
// t is used up.
void reduceChains(QvWord *r, QvWord *t, const QvWord *m, Limb n0, unsigned int L) {
    Limb c = 0;
    if (L <= 4 * kReductions.size()) {
        c = kReductions[L / 4 - 1](t, m, n0);
    } else {
        for (unsigned int i = 0; i < L; ++i) {
            const Limb hi = row(t + 2 * i, m, ld64(t + 2 * i) * n0, L);
            const u128 s = (u128)ld64(t + 2 * (i + L)) + hi + c;
            st64(t + 2 * (i + L), (Limb)s);
            c = (Limb)(s >> 64);
        }
    }
    // v = t[2L..4L) + c * R is below 2m: subtract m unless v < m.  The
    // difference goes into the cleared low half of t.
    const QvWord *v = t + 2 * L;
    Limb borrow = 0;
    for (unsigned int j = 0; j < 2 * L; j += 2) {
        const u128 d = (u128)ld64(v + j) - ld64(m + j) - borrow;
        st64(t + j, (Limb)d);
        borrow = (Limb)(d >> 64) & 1;
    }
    // r may be an operand, never t.
    std::memcpy(r, (c != 0 || borrow == 0) ? t : v, 2 * L * sizeof(QvWord));
}
#endif

// Bits [pos, pos + w) of e (ne words, w < 32).
inline unsigned int bitsAt(const QvWord *e, QvWordLen ne, unsigned long long pos, unsigned int w) {
    const unsigned long long i = pos / 32;
    const unsigned int s = (unsigned int)(pos % 32);
    u64 x = i < ne ? e[i] : 0;
    if (i + 1 < ne) x |= (u64)e[i + 1] << 32;
    return (unsigned int)(x >> s) & ((1u << w) - 1);
}

}  // namespace

namespace qvlongv {

MontLimbs::MontLimbs(const QvWord *mw, QvWordLen n) : L(0), adx(false), n0(0), mu(0), mem(nullptr) {
    const QvWordLen ns = sigLen(mw, n);
    L = ((ns + 1) / 2 + 3) & ~3u;
    if (L == 0) L = 4;
#if QV_HAVE_X86_PATHS
    adx = qvCpuHas(QV_CPU_BMI2 | QV_CPU_ADX);
#endif
    const std::size_t total = (std::size_t)10 * L + 2;
    mem = new (std::nothrow) QvWord[total];
    if (mem == nullptr) throw QvMemException(total * sizeof(QvWord), "qvnumbers/zn_exp", "73");
    m = mem;
    rr = m + 2 * L;
    t = rr + 2 * L;
    za = t + 4 * L + 2;
    longvCopyExtend(m, 2 * L, mw, ns);
    const Limb m0 = ld64(m);
    Limb x = m0;  // right to 3 bits for odd m; each step doubles them
    for (int i = 0; i < 5; ++i) x *= 2 - m0 * x;
    n0 = 0 - x;
    mu = (QvWord)n0;
    try {
        // R^2 mod m by long division of 2^(128L).
        QvWordMem r2(4 * L + 1);
        QvWord *w = r2.getData();
        longvZero(w, 4 * L);
        w[4 * L] = 1;
        longvMod(w, 4 * L + 1, mw, ns);
        longvCopy(rr, w, 2 * L);
    } catch (...) {
        delete[] mem;
        throw;
    }
}

MontLimbs::~MontLimbs() {
    wipeWords(mem, 10 * L + 2);
    delete[] mem;
}

void MontLimbs::mul(QvWord *r, const QvWord *a, const QvWord *b) {
#if QV_HAVE_X86_PATHS
    if (adx) {
        productChains(t, a, b, L);
        reduceChains(r, t, m, n0, L);
        return;
    }
#endif
    mulPlain(t, a, 2 * L, b, 2 * L);
    longvMontRedc(t, m, mu, 2 * L);
    longvCopy(r, t, 2 * L);
}

void MontLimbs::sqr(QvWord *r, const QvWord *a) {
#if QV_HAVE_X86_PATHS
    if (adx) {
        squareChains(t, a, za, L);
        reduceChains(r, t, m, n0, L);
        return;
    }
#endif
    sqrPlain(t, a, 2 * L);
    longvMontRedc(t, m, mu, 2 * L);
    longvCopy(r, t, 2 * L);
}

void MontLimbs::enter(QvWord *r, const QvWord *x, QvWordLen nx) {
    longvCopyExtend(za, 2 * L, x, nx);
    mul(r, za, rr);
}

void MontLimbs::leave(QvWord *r, QvWordLen n, const QvWord *a) {
    longvSetWord(za, 2 * L, 1);
    mul(za, a, za);
    longvCopyExtend(r, n, za, 2 * L);
    wipeWords(za, 2 * L);
}

}  // namespace qvlongv

void longvPowModOdd(QvWord *r, const QvWord *x, const QvWord *e, QvWordLen ne, const QvWord *m, QvWordLen n,
                    unsigned int width) {
    MontLimbs mont(m, n);
    const unsigned int w = mont.words();
    const std::size_t entries = (std::size_t)1 << width;
    // Entries 1 .. 2^width - 1 (entry 0 is not used), then the running result.
    const std::size_t total = (entries + 1) * w;
    QvWord *table = new (std::nothrow) QvWord[total];
    if (table == nullptr) throw QvMemException(total * sizeof(QvWord), "qvnumbers/zn_exp", "73");
    QvWord *acc = table + entries * w;
    mont.enter(table + w, x, n);
    for (std::size_t i = 2; i < entries; ++i) mont.mul(table + i * w, table + (i - 1) * w, table + w);
    const QvWordLen es = sigLen(e, ne);
    const unsigned long long bits = es == 0 ? 1 : 32ull * (es - 1) + (32 - __builtin_clz(e[es - 1]));
    const unsigned long long digits = (bits + width - 1) / width;
    bool started = false;
    for (unsigned long long i = digits; i-- > 0;) {
        const unsigned int d = bitsAt(e, ne, i * width, width);
        if (started)
            for (unsigned int j = 0; j < width; ++j) mont.sqr(acc, acc);
        if (d != 0) {
            if (started) {
                mont.mul(acc, acc, table + (std::size_t)d * w);
            } else {
                longvCopy(acc, table + (std::size_t)d * w, w);
                started = true;
            }
        }
    }
    if (started) {
        mont.leave(r, n, acc);
    } else {
        // e = 0: 1 mod m.
        longvSetWord(r, n, longvIsOne(m, n) ? 0 : 1);
    }
    wipeWords(table, (QvWordLen)total);
    delete[] table;
}
