// Elliptic-curve point multiplication over P-256, P-384 and P-521 beside
// OpenSSL's EC_POINT_mul: multiples of the base point (ours with the doubling
// table of the fixed-prime curve) and of an arbitrary point (fixed-prime and
// general curve classes).
//
// OpenSSL picks its vector code once per process from OPENSSL_ia32cap; run
// the program once as it is and once with those paths masked, e.g.
//   OPENSSL_ia32cap=":~0x200000" ./bench_ecp
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <memory>
#include <string>
#include <vector>

#include "libtorvapp/qvcryptoep/qvcryptoep.h"
#include "libtorvapp/qvep/qvep.h"

namespace {

int nidOf(int64_t bits) {
    return bits == 256 ? NID_X9_62_prime256v1 : bits == 384 ? NID_secp384r1 : NID_secp521r1;
}

std::string hexOf(const BIGNUM *v) {
    char *h = BN_bn2hex(v);
    std::string s = std::string("0x") + h;
    OPENSSL_free(h);
    return s;
}

struct Setup {
    explicit Setup(int64_t bits) {
        g = EC_GROUP_new_by_curve_name(nidOf(bits));
        ctx = BN_CTX_new();
        BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new();
        order = BN_new();
        EC_GROUP_get_curve(g, p, a, b, ctx);
        EC_GROUP_get_order(g, order, ctx);
        ep.reset(new QvEp(hexOf(a).c_str(), hexOf(b).c_str(), hexOf(p).c_str()));
        cep.reset(new QvCryptoEp(hexOf(a).c_str(), hexOf(b).c_str(), hexOf(p).c_str()));
        BN_free(p);
        BN_free(a);
        BN_free(b);
        k = BN_new();
        BN_rand_range(k, order);
        kBytes.resize(BN_num_bytes(k));
        BN_bn2bin(k, kBytes.data());
        // An arbitrary point: a random multiple of the generator.
        BIGNUM *j = BN_new();
        BN_rand_range(j, order);
        P = EC_POINT_new(g);
        EC_POINT_mul(g, P, j, nullptr, nullptr, ctx);
        BN_free(j);
        encP.resize(EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, ctx));
        EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, encP.data(), encP.size(), ctx);
        encG.resize(EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, ctx));
        EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, encG.data(), encG.size(), ctx);
    }
    ~Setup() {
        EC_POINT_free(P);
        BN_free(k);
        BN_free(order);
        BN_CTX_free(ctx);
        EC_GROUP_free(g);
    }
    EC_GROUP *g;
    BN_CTX *ctx;
    BIGNUM *order, *k;
    EC_POINT *P;
    std::vector<unsigned char> kBytes, encP, encG;
    std::unique_ptr<QvEp> ep;
    std::unique_ptr<QvCryptoEp> cep;
};

void BM_MulBase_Ours_FixedPrimeTable(benchmark::State &state) {
    Setup s(state.range(0));
    std::unique_ptr<QvGroupElem> G(s.cep->createNew(s.encG.data(), (unsigned int)s.encG.size()));
    G->precompute();
    std::unique_ptr<QvGroupElem> r(s.cep->newElement(nullptr));
    const QvN k(s.kBytes.data(), (unsigned int)s.kBytes.size(), 0);
    for (auto _ : state) s.cep->multiply(r.get(), k, G.get());
}

void BM_MulBase_OpenSSL(benchmark::State &state) {
    Setup s(state.range(0));
    EC_POINT *r = EC_POINT_new(s.g);
    for (auto _ : state) EC_POINT_mul(s.g, r, s.k, nullptr, nullptr, s.ctx);
    EC_POINT_free(r);
}

void BM_MulPoint_Ours_FixedPrime(benchmark::State &state) {
    Setup s(state.range(0));
    std::unique_ptr<QvGroupElem> P(s.cep->createNew(s.encP.data(), (unsigned int)s.encP.size()));
    std::unique_ptr<QvGroupElem> r(s.cep->newElement(nullptr));
    const QvN k(s.kBytes.data(), (unsigned int)s.kBytes.size(), 0);
    for (auto _ : state) s.cep->multiply(r.get(), k, P.get());
}

void BM_MulPoint_Ours_General(benchmark::State &state) {
    Setup s(state.range(0));
    std::unique_ptr<QvGroupElem> P(s.ep->createNew(s.encP.data(), (unsigned int)s.encP.size()));
    std::unique_ptr<QvGroupElem> r(s.ep->newElement(nullptr));
    const QvN k(s.kBytes.data(), (unsigned int)s.kBytes.size(), 0);
    for (auto _ : state) s.ep->multiply(r.get(), k, P.get());
}

void BM_MulPoint_OpenSSL(benchmark::State &state) {
    Setup s(state.range(0));
    EC_POINT *r = EC_POINT_new(s.g);
    for (auto _ : state) EC_POINT_mul(s.g, r, nullptr, s.P, s.k, s.ctx);
    EC_POINT_free(r);
}

// Two-base combination as in signature verification: k1 G + k2 P.
void BM_MulTwo_Ours_FixedPrime(benchmark::State &state) {
    Setup s(state.range(0));
    std::unique_ptr<QvGroupElem> G(s.cep->createNew(s.encG.data(), (unsigned int)s.encG.size()));
    std::unique_ptr<QvGroupElem> P(s.cep->createNew(s.encP.data(), (unsigned int)s.encP.size()));
    std::unique_ptr<QvGroupElem> r(s.cep->newElement(nullptr));
    const QvN k(s.kBytes.data(), (unsigned int)s.kBytes.size(), 0);
    for (auto _ : state) s.cep->multiplyTwo(r.get(), k, G.get(), k, P.get());
}

void BM_MulTwo_OpenSSL(benchmark::State &state) {
    Setup s(state.range(0));
    EC_POINT *r = EC_POINT_new(s.g);
    for (auto _ : state) EC_POINT_mul(s.g, r, s.k, s.P, s.k, s.ctx);
    EC_POINT_free(r);
}

void BM_Precompute_Ours_FixedPrime(benchmark::State &state) {
    Setup s(state.range(0));
    std::unique_ptr<QvGroupElem> G(s.cep->createNew(s.encG.data(), (unsigned int)s.encG.size()));
    for (auto _ : state) G->precompute();
}

}  // namespace

BENCHMARK(BM_MulBase_Ours_FixedPrimeTable)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulBase_OpenSSL)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulPoint_Ours_FixedPrime)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulPoint_Ours_General)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulPoint_OpenSSL)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulTwo_Ours_FixedPrime)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MulTwo_OpenSSL)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Precompute_Ours_FixedPrime)->Arg(256)->Arg(384)->Arg(521)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
