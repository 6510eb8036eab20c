// Big-number arithmetic beside OpenSSL's BIGNUM: modular exponentiation at
// 1024 to 4096 bits, the RSA-2048 private operation (through the CRT, and as
// each library's RSA key runs it), one Miller-Rabin round at 1024 bits,
// Montgomery products and squares. Our time / OpenSSL's closes the output.
//
// OpenSSL picks its AVX-512 IFMA code once per process from OPENSSL_ia32cap;
// run the program once as it is and once with that path masked, e.g.
//   OPENSSL_ia32cap=":~0x200000" ./bench_bignum
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench_ratios.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvnumbers/montgomery.h"
#include "libtorvapp/qvnumbers/qvprimality.h"
#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

QvN randomBits(std::mt19937_64 &rng, unsigned int bits, bool odd) {
    std::vector<QvWord> w((bits + 31) / 32);
    for (auto &x : w) x = (QvWord)rng();
    if (bits % 32) w.back() &= (1u << (bits % 32)) - 1;
    w.back() |= 1u << ((bits - 1) % 32);
    if (odd) w[0] |= 1;
    return QvN(w.data(), (unsigned int)w.size());
}

BIGNUM *toBn(const QvN &x) {
    std::vector<unsigned char> buf(x.getOctetLength() + 1);
    unsigned int len = x.asOctetString(buf.data(), (unsigned int)buf.size());
    return BN_bin2bn(buf.data(), (int)len, nullptr);
}

QvN fromBn(const BIGNUM *b) {
    std::vector<unsigned char> buf(BN_num_bytes(b) + 1);
    int len = BN_bn2bin(b, buf.data());
    return QvN(buf.data(), (unsigned int)len, 0);
}

void BM_ModExp_Ours(benchmark::State &state) {
    std::mt19937_64 rng(state.range(0));
    const unsigned int bits = (unsigned int)state.range(0);
    QvModulus m(randomBits(rng, bits, true), QvModulus::OPT_MONTGOMERY);
    QvN e = randomBits(rng, bits, false);
    QvZn x(randomBits(rng, bits - 1, false), &m);
    for (auto _ : state) {
        QvZn r = x ^ e;
        benchmark::DoNotOptimize(r.getWords()->getConstData());
    }
}

void BM_ModExp_OpenSSL(benchmark::State &state) {
    std::mt19937_64 rng(state.range(0));
    const unsigned int bits = (unsigned int)state.range(0);
    BIGNUM *m = toBn(randomBits(rng, bits, true)), *e = toBn(randomBits(rng, bits, false));
    BIGNUM *x = toBn(randomBits(rng, bits - 1, false)), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, m, ctx);
    for (auto _ : state) {
        BN_mod_exp_mont(r, x, e, m, ctx, mont);
        benchmark::DoNotOptimize(r);
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
    BN_free(m), BN_free(e), BN_free(x), BN_free(r);
}

void BM_ModExpConstTime_OpenSSL(benchmark::State &state) {
    std::mt19937_64 rng(state.range(0));
    const unsigned int bits = (unsigned int)state.range(0);
    BIGNUM *m = toBn(randomBits(rng, bits, true)), *e = toBn(randomBits(rng, bits, false));
    BIGNUM *x = toBn(randomBits(rng, bits - 1, false)), *r = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, m, ctx);
    for (auto _ : state) {
        BN_mod_exp_mont_consttime(r, x, e, m, ctx, mont);
        benchmark::DoNotOptimize(r);
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
    BN_free(m), BN_free(e), BN_free(x), BN_free(r);
}

// An RSA-2048 key made by OpenSSL (fixed within one run; the figures do not
// depend on the particular key).
struct RsaKey {
    EVP_PKEY *pkey = nullptr;
    QvN p, q, n, d, qinv;
    RsaKey() {
        pkey = EVP_RSA_gen(2048);
        p = param(OSSL_PKEY_PARAM_RSA_FACTOR1);
        q = param(OSSL_PKEY_PARAM_RSA_FACTOR2);
        n = param(OSSL_PKEY_PARAM_RSA_N);
        d = param(OSSL_PKEY_PARAM_RSA_D);
        qinv = param(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    }
    QvN param(const char *name) const {
        BIGNUM *b = nullptr;
        EVP_PKEY_get_bn_param(pkey, name, &b);
        QvN v = fromBn(b);
        BN_free(b);
        return v;
    }
};

const RsaKey &rsaKey() {
    static const RsaKey key;
    return key;
}

void BM_Rsa2048Crt_Ours(benchmark::State &state) {
    const RsaKey &k = rsaKey();
    QvModulus n(k.n, 0);
    n.setFactors(QvModulus(k.p, 0), QvModulus(k.q, 0), k.qinv);
    std::mt19937_64 rng(5);
    QvZn x(randomBits(rng, 2000, false), &n);
    for (auto _ : state) {
        QvZn r = x ^ k.d;
        benchmark::DoNotOptimize(r.getWords()->getConstData());
    }
}

void BM_Rsa2048Crt_OpenSSL(benchmark::State &state) {
    // The CRT steps of an RSA private operation with constant-time exponentiation.
    const RsaKey &k = rsaKey();
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *p = toBn(k.p), *q = toBn(k.q), *qinv = toBn(k.qinv), *d = toBn(k.d);
    BIGNUM *dp = BN_new(), *dq = BN_new(), *t = BN_new(), *m1 = BN_new(), *m2 = BN_new(), *r = BN_new();
    BN_sub_word(p, 1), BN_sub_word(q, 1);
    BN_mod(dp, d, p, ctx), BN_mod(dq, d, q, ctx);
    BN_add_word(p, 1), BN_add_word(q, 1);
    BN_MONT_CTX *mp = BN_MONT_CTX_new(), *mq = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mp, p, ctx), BN_MONT_CTX_set(mq, q, ctx);
    std::mt19937_64 rng(5);
    BIGNUM *x = toBn(randomBits(rng, 2000, false));
    for (auto _ : state) {
        BN_mod(t, x, p, ctx);
        BN_mod_exp_mont_consttime(m1, t, dp, p, ctx, mp);
        BN_mod(t, x, q, ctx);
        BN_mod_exp_mont_consttime(m2, t, dq, q, ctx, mq);
        BN_mod_sub(t, m1, m2, p, ctx);
        BN_mod_mul(t, t, qinv, p, ctx);
        BN_mul(r, t, q, ctx);
        BN_add(r, r, m2);
        benchmark::DoNotOptimize(r);
    }
    BN_MONT_CTX_free(mp), BN_MONT_CTX_free(mq);
    BN_free(p), BN_free(q), BN_free(qinv), BN_free(d), BN_free(dp), BN_free(dq);
    BN_free(t), BN_free(m1), BN_free(m2), BN_free(r), BN_free(x);
    BN_CTX_free(ctx);
}

void BM_Rsa2048Private_Ours(benchmark::State &state) {
    // The private operation as the signature scheme runs it: the key's
    // modulus carries its primes, and x ^ d takes the CRT path.
    const RsaKey &k = rsaKey();
    QvRsaPrivateKey key(k.n, k.d, k.p);
    std::mt19937_64 rng(5);
    const QvZn x(randomBits(rng, 2000, false), &key.getModulus());
    for (auto _ : state) {
        QvZn r = x ^ key.getPrivateExponent();
        benchmark::DoNotOptimize(r.getWords()->getConstData());
    }
}

void BM_Rsa2048Private_OpenSSL(benchmark::State &state) {
    // OpenSSL's own RSA private operation through its key object (the
    // figure includes its blinding).
    const RsaKey &k = rsaKey();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k.pkey, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    std::vector<unsigned char> in(256), out(256);
    std::mt19937_64 rng(5);
    QvN x = randomBits(rng, 2000, false);
    x.asOctetString(in.data(), 256, true);
    for (auto _ : state) {
        size_t outLen = out.size();
        EVP_PKEY_decrypt(ctx, out.data(), &outLen, in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
}

void BM_MillerRabin1024_Ours(benchmark::State &state) {
    const QvN &p = rsaKey().p;
    QvN base(2u, 1);
    for (auto _ : state) benchmark::DoNotOptimize(isStrongProbablePrime(p, &base, 1));
}

void BM_MillerRabin1024_OpenSSL(benchmark::State &state) {
    // One round: a^d mod p and the squarings, as the test does.
    BIGNUM *p = toBn(rsaKey().p), *d = BN_dup(p), *a = BN_new(), *x = BN_new();
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, p, ctx);
    BN_sub_word(d, 1);
    int s = 0;
    while (!BN_is_odd(d)) BN_rshift1(d, d), ++s;
    BN_set_word(a, 2);
    for (auto _ : state) {
        BN_mod_exp_mont(x, a, d, p, ctx, mont);
        for (int i = 1; i < s; ++i) BN_mod_mul_montgomery(x, x, x, mont, ctx);
        benchmark::DoNotOptimize(x);
    }
    BN_MONT_CTX_free(mont);
    BN_free(p), BN_free(d), BN_free(a), BN_free(x);
    BN_CTX_free(ctx);
}

void BM_MontMul_Ours(benchmark::State &state) {
    std::mt19937_64 rng(7);
    const unsigned int bits = (unsigned int)state.range(0);
    QvModulus m(randomBits(rng, bits, true), QvModulus::OPT_MONTGOMERY);
    QvZn a(randomBits(rng, bits - 1, false), &m), b(randomBits(rng, bits - 1, false), &m);
    for (auto _ : state) {
        a *= b;
        benchmark::DoNotOptimize(a.getWords()->getConstData());
    }
}

void BM_MontSqr_Ours(benchmark::State &state) {
    std::mt19937_64 rng(7);
    const unsigned int bits = (unsigned int)state.range(0);
    QvModulus m(randomBits(rng, bits, true), QvModulus::OPT_MONTGOMERY);
    QvZn a(randomBits(rng, bits - 1, false), &m);
    for (auto _ : state) {
        a *= a;
        benchmark::DoNotOptimize(a.getWords()->getConstData());
    }
}

void BM_MontMul_OpenSSL(benchmark::State &state) {
    std::mt19937_64 rng(7);
    const unsigned int bits = (unsigned int)state.range(0);
    BIGNUM *m = toBn(randomBits(rng, bits, true)), *a = toBn(randomBits(rng, bits - 1, false));
    BIGNUM *b = toBn(randomBits(rng, bits - 1, false));
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, m, ctx);
    BN_to_montgomery(a, a, mont, ctx), BN_to_montgomery(b, b, mont, ctx);
    for (auto _ : state) {
        BN_mod_mul_montgomery(a, a, b, mont, ctx);
        benchmark::DoNotOptimize(a);
    }
    BN_MONT_CTX_free(mont);
    BN_free(m), BN_free(a), BN_free(b);
    BN_CTX_free(ctx);
}

void BM_MontSqr_OpenSSL(benchmark::State &state) {
    std::mt19937_64 rng(7);
    const unsigned int bits = (unsigned int)state.range(0);
    BIGNUM *m = toBn(randomBits(rng, bits, true)), *a = toBn(randomBits(rng, bits - 1, false));
    BN_CTX *ctx = BN_CTX_new();
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, m, ctx);
    BN_to_montgomery(a, a, mont, ctx);
    for (auto _ : state) {
        BN_mod_mul_montgomery(a, a, a, mont, ctx);
        benchmark::DoNotOptimize(a);
    }
    BN_MONT_CTX_free(mont);
    BN_free(m), BN_free(a);
    BN_CTX_free(ctx);
}

void BM_P256Mul_Ours(benchmark::State &state) {
    QvModulus p(QvN(QV_PRIME_P256, 8), QvModulus::OPT_CURVE);
    std::mt19937_64 rng(9);
    QvZn a(randomBits(rng, 255, false), &p), b(randomBits(rng, 255, false), &p);
    for (auto _ : state) {
        a *= b;
        benchmark::DoNotOptimize(a.getWords()->getConstData());
    }
}

}  // namespace

BENCHMARK(BM_ModExp_Ours)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExp_OpenSSL)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModExpConstTime_OpenSSL)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048Crt_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048Crt_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048Private_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048Private_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MillerRabin1024_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MillerRabin1024_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MontMul_Ours)->Arg(256)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(BM_MontMul_OpenSSL)->Arg(256)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(BM_MontSqr_Ours)->Arg(256)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(BM_MontSqr_OpenSSL)->Arg(256)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(BM_P256Mul_Ours);

int main(int argc, char **argv) { return benchratios::runWithRatios(argc, argv); }
