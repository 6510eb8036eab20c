// The low-level routines of the binary fields.  Each is one template over the
// word count: N > 0 gives the fixed-size form (every word loop has a constant
// bound, so the compiler writes it out), N = 0 the looping form over n words.
// Multiplication is a left-to-right comb with a 4-bit window followed by a
// word-wise reduction for sparse polynomials; squaring (multiplicand equal to
// multiplier) spreads the bits instead.  Both give exactly the reduced
// product that the bit-serial shift-and-add method gives.
#include "libtorvapp/qvgf2n/qvgf2nfield.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Big enough for the fixed sizes and the looping form up to 64 words on the
// stack; larger fields take heap scratch.
constexpr unsigned int kStackWords = 64;

template <unsigned int N>
void addKernel(QvWord *dst, const QvWord *src, unsigned int nrt)
{
    const unsigned int n = N ? N : nrt;
    for (unsigned int i = 0; i < n; ++i) dst[i] ^= src[i];
}

inline void xorShifted(QvWord *c, QvWord t, unsigned int pos)
{
    const unsigned int w = pos >> 5, b = pos & 31;
    c[w] ^= t << b;
    if (b) c[w + 1] ^= t >> (32 - b);
}

// Reduces the 2n-word polynomial c modulo f (degree m, n words) into out.
void reduceProduct(QvWord *c, unsigned int n, const QvWord *f, unsigned int m, QvWord *out)
{
    unsigned int terms[32];
    unsigned int termCount = 0;
    bool sparse = true;
    for (unsigned int j = 0; j < n && sparse; ++j) {
        QvWord w = f[j];
        while (w) {
            const unsigned int b = static_cast<unsigned int>(__builtin_ctz(w));
            w &= w - 1;
            const unsigned int k = 32 * j + b;
            if (k >= m) break;
            if (termCount == 32) { sparse = false; break; }
            terms[termCount++] = k;
        }
    }
    if (sparse && termCount > 0 && m - terms[termCount - 1] > 31) {
        const unsigned int jm = m >> 5, s = m & 31;
        for (unsigned int j = 2 * n - 1; j > jm; --j) {
            const QvWord t = c[j];
            if (!t) continue;
            c[j] = 0;
            for (unsigned int i = 0; i < termCount; ++i) xorShifted(c, t, 32 * j + terms[i] - m);
        }
        const QvWord t = c[jm] >> s;
        if (t) {
            c[jm] &= s ? ((static_cast<QvWord>(1) << s) - 1) : 0;
            for (unsigned int i = 0; i < termCount; ++i) xorShifted(c, t, terms[i]);
        }
    } else {
        // Bit by bit from the top: x^i = x^(i-m) (f - x^m).
        for (unsigned int i = 64 * n; i-- > m;) {
            if (!((c[i >> 5] >> (i & 31)) & 1)) continue;
            const unsigned int shift = i - m;
            for (unsigned int j = 0; j < n; ++j) {
                if (!f[j]) continue;
                const unsigned int pos = 32 * j + shift, w = pos >> 5, b = pos & 31;
                c[w] ^= f[j] << b;
                if (b && w + 1 < 2 * n) c[w + 1] ^= f[j] >> (32 - b);
            }
        }
    }
    std::memcpy(out, c, n * sizeof(QvWord));
}

const QvWord *spreadTable()
{
    static const struct Table {
        QvWord v[256];
        Table()
        {
            for (unsigned int i = 0; i < 256; ++i) {
                QvWord r = 0;
                for (unsigned int b = 0; b < 8; ++b)
                    if (i & (1u << b)) r |= static_cast<QvWord>(1) << (2 * b);
                v[i] = r;
            }
        }
    } table;
    return table.v;
}

#if defined(__x86_64__)
// Carry-less multiplication instruction, where the processor has it: the
// 2n-word product of two n-word polynomials, schoolbook over 64-bit limbs.
__attribute__((target("pclmul,sse2"))) void clmulProduct(const QvWord *a, const QvWord *b, unsigned int n,
                                                          QvWord *c)
{
    const unsigned int n64 = (n + 1) / 2;
    std::uint64_t A[kStackWords / 2 + 1], B[kStackWords / 2 + 1], C[kStackWords + 2];
    for (unsigned int i = 0; i < n64; ++i) {
        A[i] = a[2 * i] | (2 * i + 1 < n ? static_cast<std::uint64_t>(a[2 * i + 1]) << 32 : 0);
        B[i] = b[2 * i] | (2 * i + 1 < n ? static_cast<std::uint64_t>(b[2 * i + 1]) << 32 : 0);
    }
    for (unsigned int i = 0; i < 2 * n64; ++i) C[i] = 0;
    for (unsigned int i = 0; i < n64; ++i) {
        const __m128i ai = _mm_cvtsi64_si128(static_cast<long long>(A[i]));
        for (unsigned int j = 0; j < n64; ++j) {
            const __m128i p = _mm_clmulepi64_si128(ai, _mm_cvtsi64_si128(static_cast<long long>(B[j])), 0x00);
            C[i + j] ^= static_cast<std::uint64_t>(_mm_cvtsi128_si64(p));
            C[i + j + 1] ^= static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(p, p)));
        }
    }
    // The product is below x^(64n): words from 2n on are zero.
    for (unsigned int i = 0; i < 2 * n; ++i) c[i] = static_cast<QvWord>(C[i / 2] >> (32 * (i % 2)));
    std::memset(A, 0, sizeof A);
    std::memset(B, 0, sizeof B);
    std::memset(C, 0, sizeof C);
}

std::atomic<bool> portableOnly{false};

bool haveClmul()
{
    static const bool have = __builtin_cpu_supports("pclmul");
    return have && !portableOnly.load(std::memory_order_relaxed);
}
#endif

template <unsigned int N>
void mulKernel(QvWord *ctx, unsigned int nrt)
{
    const unsigned int n = N ? N : nrt;
    const unsigned int m = ctx[2];
    const QvWord *f = ctx + 3;
    const QvWord *a = ctx + n + 3;
    const QvWord *b = ctx + 2 * n + 3;
    QvWord *out = ctx + 3 * n + 3;

    QvWord cStack[N ? 2 * N : 2 * kStackWords];
    QvWord tStack[N ? 16 * (N + 1) : 16 * (kStackWords + 1)];
    std::vector<QvWord> heapC, heapT;
    QvWord *c = cStack, *tab = tStack;
    if (!N && n > kStackWords) {
        heapC.assign(2 * n, 0);
        heapT.assign(16 * (n + 1), 0);
        c = heapC.data();
        tab = heapT.data();
    }
    for (unsigned int i = 0; i < 2 * n; ++i) c[i] = 0;

    if (std::memcmp(a, b, n * sizeof(QvWord)) == 0) {
        const QvWord *sp = spreadTable();
        for (unsigned int i = 0; i < n; ++i) {
            const QvWord w = a[i];
            c[2 * i] = sp[w & 0xFF] | (sp[(w >> 8) & 0xFF] << 16);
            c[2 * i + 1] = sp[(w >> 16) & 0xFF] | (sp[w >> 24] << 16);
        }
    }
#if defined(__x86_64__)
    else if (n <= kStackWords && haveClmul()) {
        clmulProduct(a, b, n, c);
    }
#endif
    else {
        const unsigned int tw = n + 1;
        for (unsigned int i = 0; i < tw; ++i) tab[i] = 0;
        for (unsigned int i = 0; i < n; ++i) tab[tw + i] = a[i];
        tab[tw + n] = 0;
        for (unsigned int u = 2; u < 16; ++u) {
            QvWord *t = tab + u * tw;
            if (u & 1) {
                const QvWord *p = t - tw;
                for (unsigned int i = 0; i < tw; ++i) t[i] = p[i] ^ tab[tw + i];
            } else {
                const QvWord *p = tab + (u >> 1) * tw;
                QvWord carry = 0;
                for (unsigned int i = 0; i < tw; ++i) {
                    t[i] = (p[i] << 1) | carry;
                    carry = p[i] >> 31;
                }
            }
        }
        for (int k = 7; k >= 0; --k) {
            for (unsigned int j = 0; j < n; ++j) {
                const unsigned int u = (b[j] >> (4 * k)) & 0xF;
                if (!u) continue;
                const QvWord *t = tab + u * tw;
                QvWord *cj = c + j;
                for (unsigned int i = 0; i < tw && j + i < 2 * n; ++i) cj[i] ^= t[i];
            }
            if (k) {
                for (unsigned int i = 2 * n - 1; i > 0; --i) c[i] = (c[i] << 4) | (c[i - 1] >> 28);
                c[0] <<= 4;
            }
        }
    }
    reduceProduct(c, n, f, m, out);
    // The comb leaves the multiplicand as it was; the context's multiplicand
    // area is scratch all the same.
    std::memset(cStack, 0, sizeof(cStack));
    std::memset(tStack, 0, sizeof(tStack));
}

template <unsigned int N>
inline bool isOne(const QvWord *u, unsigned int n)
{
    if (u[0] != 1) return false;
    for (unsigned int i = 1; i < n; ++i)
        if (u[i]) return false;
    return true;
}

template <unsigned int N>
inline bool isZero(const QvWord *u, unsigned int n)
{
    for (unsigned int i = 0; i < n; ++i)
        if (u[i]) return false;
    return true;
}

template <unsigned int N>
inline void shiftRight1(QvWord *u, unsigned int n)
{
    for (unsigned int i = 0; i + 1 < n; ++i) u[i] = (u[i] >> 1) | (u[i + 1] << 31);
    u[n - 1] >>= 1;
}

// Binary extended Euclid: u = f, v = divisor, g1 = 0, g2 = 1 with the
// invariants g1 * b = u and g2 * b = v modulo f.
template <unsigned int N>
bool invKernel(QvWord *ctx, unsigned int nrt)
{
    const unsigned int n = N ? N : nrt;
    const QvWord topMask = ctx[0];
    const QvWord *f = ctx + 2;
    QvWord *u = ctx + n + 2;
    QvWord *v = ctx + 2 * n + 2;
    QvWord *g1 = ctx + 3 * n + 2;
    QvWord *g2 = ctx + 4 * n + 2;
    QvWord *g = nullptr;
    for (;;) {
        if (isOne<N>(u, n)) { g = g1; break; }
        if (isOne<N>(v, n)) { g = g2; break; }
        // A zero u or v means the divisor shares a factor with f: no inverse
        // (only possible for a reducible f); the halving loops would not end.
        if (isZero<N>(u, n) || isZero<N>(v, n)) return false;
        while (!(u[0] & 1)) {
            shiftRight1<N>(u, n);
            if (g1[0] & 1)
                for (unsigned int i = 0; i < n; ++i) g1[i] ^= f[i];
            shiftRight1<N>(g1, n);
        }
        while (!(v[0] & 1)) {
            shiftRight1<N>(v, n);
            if (g2[0] & 1)
                for (unsigned int i = 0; i < n; ++i) g2[i] ^= f[i];
            shiftRight1<N>(g2, n);
        }
        if (isOne<N>(u, n)) { g = g1; break; }
        if (isOne<N>(v, n)) { g = g2; break; }
        int cmp = 0;
        for (unsigned int i = n; i-- > 0;) {
            if (u[i] != v[i]) { cmp = u[i] > v[i] ? 1 : -1; break; }
        }
        if (cmp > 0) {
            for (unsigned int i = 0; i < n; ++i) { u[i] ^= v[i]; g1[i] ^= g2[i]; }
        } else {
            for (unsigned int i = 0; i < n; ++i) { v[i] ^= u[i]; g2[i] ^= g1[i]; }
        }
    }
    if (g[n - 1] & topMask)
        for (unsigned int i = 0; i < n; ++i) g[i] ^= f[i];
    if (g != u) std::memcpy(u, g, n * sizeof(QvWord));
    return true;
}

template <unsigned int N>
void select(QvGF2nAddRoutine *add, QvGF2nMulRoutine *mul, QvGF2nInvRoutine *inv)
{
    *add = &addKernel<N>;
    *mul = &mulKernel<N>;
    *inv = &invKernel<N>;
}

} // namespace

void qvGF2nGenericRoutines(QvGF2nAddRoutine *add, QvGF2nMulRoutine *mul, QvGF2nInvRoutine *inv)
{
    select<0>(add, mul, inv);
}

void qvGF2nSelectRoutines(unsigned int n, QvGF2nAddRoutine *add, QvGF2nMulRoutine *mul,
                          QvGF2nInvRoutine *inv)
{
    switch (n) {
    case 6: select<6>(add, mul, inv); break;
    case 7: select<7>(add, mul, inv); break;
    case 8: select<8>(add, mul, inv); break;
    case 9: select<9>(add, mul, inv); break;
    case 13: select<13>(add, mul, inv); break;
    case 18: select<18>(add, mul, inv); break;
    default: select<0>(add, mul, inv); break;
    }
}

void qvGF2nForcePortableMultiply(bool portable)
{
#if defined(__x86_64__)
    portableOnly.store(portable, std::memory_order_relaxed);
#else
    (void)portable;
#endif
}
