// Word-array number kernels beside OpenSSL's BIGNUM: products and squares at
// 256, 1024 and 2048 bits, 4096-by-2048-bit division, inverse modulo the
// P-256 field prime.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>

#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/longv.h"

namespace {

typedef std::vector<QvWord> Words;

Words randomWords(QvWordLen n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Words w(n);
    for (auto &x : w) x = (QvWord)rng();
    w[n - 1] |= 0x80000000u;
    return w;
}

BIGNUM *toBn(const Words &w) {
    std::string oct(4 * w.size(), '\0');
    const size_t n = w.size();
    for (size_t i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k) oct[4 * (n - 1 - i) + (3 - k)] = (char)(w[i] >> (8 * k));
    return BN_bin2bn((const unsigned char *)oct.data(), (int)oct.size(), nullptr);
}

void Ours_Mul(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    Words a = randomWords(n, 1), b = randomWords(n, 2), r(2 * n);
    for (auto _ : st) {
        longvMul(r.data(), a.data(), n, b.data(), n);
        benchmark::DoNotOptimize(r.data());
    }
}

void Ours_MulFixed8(benchmark::State &st) {
    Words a = randomWords(8, 1), b = randomWords(8, 2), r(16);
    for (auto _ : st) {
        longvMul8(r.data(), a.data(), b.data());
        benchmark::DoNotOptimize(r.data());
    }
}

void Ours_MulKaratsubaBuf(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    Words a = randomWords(n, 1), b = randomWords(n, 2), r(2 * n);
    for (auto _ : st) {
        longvMulKaratsubaBuf(a.data(), b.data(), r.data(), n);
        benchmark::DoNotOptimize(r.data());
    }
}

void Ours_MulKaratsubaInPlace(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    Words a = randomWords(n, 1), b = randomWords(n, 2), r(2 * n);
    for (auto _ : st) {
        longvMulKaratsuba(a.data(), n, b.data(), n, r.data(), 2 * n, 16);
        benchmark::DoNotOptimize(r.data());
    }
}

void Ossl_Mul(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    BIGNUM *a = toBn(randomWords(n, 1)), *b = toBn(randomWords(n, 2)), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    for (auto _ : st) {
        BN_mul(r, a, b, ctx);
        benchmark::DoNotOptimize(r);
    }
    BN_CTX_free(ctx);
    BN_free(a);
    BN_free(b);
    BN_free(r);
}

void Ours_Sqr(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    Words a = randomWords(n, 1), r(2 * n);
    for (auto _ : st) {
        longvSqr(r.data(), a.data(), n);
        benchmark::DoNotOptimize(r.data());
    }
}

void Ours_SqrFixed8(benchmark::State &st) {
    Words a = randomWords(8, 1), r(16);
    for (auto _ : st) {
        longvSqr8(r.data(), a.data());
        benchmark::DoNotOptimize(r.data());
    }
}

void Ours_SqrKaratsubaBuf(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    Words a = randomWords(n, 1), r(2 * n);
    for (auto _ : st) {
        longvSqrKaratsubaBuf(a.data(), r.data(), n);
        benchmark::DoNotOptimize(r.data());
    }
}

void Ossl_Sqr(benchmark::State &st) {
    const QvWordLen n = (QvWordLen)st.range(0) / 32;
    BIGNUM *a = toBn(randomWords(n, 1)), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    for (auto _ : st) {
        BN_sqr(r, a, ctx);
        benchmark::DoNotOptimize(r);
    }
    BN_CTX_free(ctx);
    BN_free(a);
    BN_free(r);
}

void Ours_Div4096by2048(benchmark::State &st) {
    const Words x0 = randomWords(128, 3), m = randomWords(64, 4);
    Words x(128), q(128);
    QvWordLen nq = 0;
    for (auto _ : st) {
        x = x0;
        longvDivClassical(x.data(), 128, m.data(), 64, q.data(), &nq);
        benchmark::DoNotOptimize(q.data());
    }
}

void Ossl_Div4096by2048(benchmark::State &st) {
    BIGNUM *x = toBn(randomWords(128, 3)), *m = toBn(randomWords(64, 4)), *q = BN_new(), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    for (auto _ : st) {
        BN_div(q, r, x, m, ctx);
        benchmark::DoNotOptimize(q);
    }
    BN_CTX_free(ctx);
    BN_free(x);
    BN_free(m);
    BN_free(q);
    BN_free(r);
}

// The P-256 field prime, least significant word first.
const Words kP256 = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 1, 0xFFFFFFFF};

Words belowP256() {
    Words a = randomWords(8, 5);
    a[7] &= 0x7FFFFFFF;
    return a;
}

void Ours_InvP256BinaryTc(benchmark::State &st) {
    const Words a = belowP256();
    Words r(8);
    for (auto _ : st) {
        benchmark::DoNotOptimize(longvInverseBinaryTc(r.data(), a.data(), kP256.data(), 8));
    }
}

void Ours_InvP256SteinOdd(benchmark::State &st) {
    Words a = belowP256(), m = kP256, r(8);
    for (auto _ : st) {
        benchmark::DoNotOptimize(longvInverseSteinOddModulus(a.data(), 8, m.data(), 8, r.data()));
    }
}

void Ours_InvP256Euclid(benchmark::State &st) {
    Words a = belowP256(), m = kP256, r(8);
    for (auto _ : st) {
        benchmark::DoNotOptimize(longInverseEuclid(a.data(), 8, m.data(), 8, r.data(), 8));
    }
}

void Ossl_InvP256(benchmark::State &st) {
    BIGNUM *a = toBn(belowP256()), *m = toBn(kP256), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    for (auto _ : st) {
        BN_mod_inverse(r, a, m, ctx);
        benchmark::DoNotOptimize(r);
    }
    BN_CTX_free(ctx);
    BN_free(a);
    BN_free(m);
    BN_free(r);
}

}  // namespace

BENCHMARK(Ours_Mul)->Arg(256)->Arg(512)->Arg(1024)->Arg(2048);
BENCHMARK(Ours_MulFixed8);
BENCHMARK(Ours_MulKaratsubaBuf)->Arg(2048);
BENCHMARK(Ours_MulKaratsubaInPlace)->Arg(2048);
BENCHMARK(Ossl_Mul)->Arg(256)->Arg(1024)->Arg(2048);
BENCHMARK(Ours_Sqr)->Arg(256)->Arg(1024)->Arg(2048);
BENCHMARK(Ours_SqrFixed8);
BENCHMARK(Ours_SqrKaratsubaBuf)->Arg(2048);
BENCHMARK(Ossl_Sqr)->Arg(256)->Arg(1024)->Arg(2048);
BENCHMARK(Ours_Div4096by2048);
BENCHMARK(Ossl_Div4096by2048);
BENCHMARK(Ours_InvP256BinaryTc);
BENCHMARK(Ours_InvP256SteinOdd);
BENCHMARK(Ours_InvP256Euclid);
BENCHMARK(Ossl_InvP256);

BENCHMARK_MAIN();
