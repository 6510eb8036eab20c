// Key-domain work side by side with OpenSSL: DSA 1024/160 domain generation
// from one SEED (both reach the same p, q, g), building a curve domain from its
// parameters, and checking a public key against its domain.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <benchmark/benchmark.h>
#include <openssl/dsa.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvnamedcurveobjects.h"

namespace {

// A SEED whose first q candidate is prime, so both generators take one path.
std::vector<unsigned char> firstTrySeed() {
    static std::vector<unsigned char> seed;
    if (seed.empty()) {
        const unsigned char start[20] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                         0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x02, 0x03, 0x04, 0x05};
        QvDsaKeyDomain d;
        d.generate(start, 20, 160, 1024, nullptr, nullptr);
        seed.resize(20);
        d.getSeed(seed.data(), 20);
    }
    return seed;
}

void BM_DsaDomainGeneration_Ours(benchmark::State &state) {
    const std::vector<unsigned char> seed = firstTrySeed();
    for (auto _ : state) {
        QvDsaKeyDomain d;
        benchmark::DoNotOptimize(d.generate(seed.data(), 20, 160, 1024, nullptr, nullptr));
    }
}
BENCHMARK(BM_DsaDomainGeneration_Ours)->Unit(benchmark::kMillisecond);

void BM_DsaDomainGeneration_OpenSsl(benchmark::State &state) {
    std::vector<unsigned char> seed = firstTrySeed();
    for (auto _ : state) {
        DSA *dsa = DSA_new();
        int counter = 0;
        unsigned long h = 0;
        benchmark::DoNotOptimize(DSA_generate_parameters_ex(dsa, 1024, seed.data(), 20, &counter, &h, nullptr));
        DSA_free(dsa);
    }
}
BENCHMARK(BM_DsaDomainGeneration_OpenSsl)->Unit(benchmark::kMillisecond);

void BM_CurveDomainBuild_Ours(benchmark::State &state) {
    const char *name = state.range(0) == 0 ? "nistp256" : "brainpoolP256r1";
    const QvNamedCurveParams *c = qvFindNamedCurveParams(name);
    for (auto _ : state) {
        QvEpDsaKeyDomain d(c->a, c->b, c->field, c->generator, c->order, c->cofactor);
        benchmark::DoNotOptimize(d.getGen());
    }
    state.SetLabel(name);
}
BENCHMARK(BM_CurveDomainBuild_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_CurveDomainBuild_OpenSsl(benchmark::State &state) {
    const int nid = state.range(0) == 0 ? NID_X9_62_prime256v1 : NID_brainpoolP256r1;
    for (auto _ : state) {
        EC_GROUP *g = EC_GROUP_new_by_curve_name(nid);
        benchmark::DoNotOptimize(g);
        EC_GROUP_free(g);
    }
}
BENCHMARK(BM_CurveDomainBuild_OpenSsl)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_PublicKeyCheck_Ours(benchmark::State &state) {
    const QvGeneralDsaKeyDomain *d = qvFindNamedCurveDomain("nistp256");
    unsigned char g[80];
    const unsigned int gl = d->getGen(g, sizeof g);
    QvGeneralDsaPublicKey pub;
    pub.setDomain(d);
    for (auto _ : state) {
        pub.setH(g, gl);
        benchmark::DoNotOptimize(pub.isValid());
    }
}
BENCHMARK(BM_PublicKeyCheck_Ours)->Unit(benchmark::kMicrosecond);

void BM_PublicKeyCheck_OpenSsl(benchmark::State &state) {
    EC_GROUP *grp = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    unsigned char g[80];
    const size_t gl =
        EC_POINT_point2oct(grp, EC_GROUP_get0_generator(grp), POINT_CONVERSION_UNCOMPRESSED, g, sizeof g, nullptr);
    EC_KEY *k = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    for (auto _ : state) {
        EC_POINT *P = EC_POINT_new(grp);
        EC_POINT_oct2point(grp, P, g, gl, nullptr);
        EC_KEY_set_public_key(k, P);
        benchmark::DoNotOptimize(EC_KEY_check_key(k));
        EC_POINT_free(P);
    }
    EC_KEY_free(k);
    EC_GROUP_free(grp);
}
BENCHMARK(BM_PublicKeyCheck_OpenSsl)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
