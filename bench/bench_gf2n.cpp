// Binary fields and curves beside OpenSSL's GF(2^m) code: field multiply,
// square and invert at the sizes of sect233r1, sect283k1 and sect571r1, and
// point multiplication by a full-size scalar on those curves.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qve2n/qve2n.h"
#include "libtorvapp/qvgf2n/qvgf2n.h"

namespace {

struct CurveData {
    const char *name;
    int nid;
    const char *poly, *a, *b, *gx, *gy, *order;
};

// SEC 2 sect233r1, sect283k1, sect571r1.
const CurveData kCurves[] = {
    {"sect233r1", NID_sect233r1, "020000000000000000000000000000000000000004000000000000000001", "01",
     "66647ede6c332c7f8c0923bb58213b333b20e9ce4281fe115f7d8f90ad",
     "00fac9dfcbac8313bb2139f1bb755fef65bc391f8b36f8f8eb7371fd558b",
     "01006a08a41903350678e58528bebf8a0beff867a7ca36716f7e01f81052",
     "01000000000000000000000000000013e974e72f8a6922031d2603cfe0d7"},
    {"sect283k1", NID_sect283k1, "0800000000000000000000000000000000000000000000000000000000000000000010a1", "00",
     "01",
     "0503213f78ca44883f1a3b8162f188e553cd265f23c1567a16876913b0c2ac2458492836",
     "01ccda380f1c9e318d90f95d07e5426fe87e45c0e8184698e45962364e34116177dd2259",
     "01ffffffffffffffffffffffffffffffffffe9ae2ed07577265dff7f94451e061e163c61"},
    {"sect571r1", NID_sect571r1, "080000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000425", "01",
     "02f40e7e2221f295de297117b7f3d62f5c6a97ffcb8ceff1cd6ba8ce4a9a18ad84ffabbd8efa59332be7ad6756a66e294afd185a78ff12aa520e4de739baca0c7ffeff7f2955727a",
     "0303001d34b856296c16c0d40d3cd7750a93d1d2955fa80aa5f40fc8db7b2abdbde53950f4c0d293cdd711a35b67fb1499ae60038614f1394abfa3b4c850d927e1e7769c8eec2d19",
     "037bf27342da639b6dccfffeb73d69d78c6c27a6009cbbca1980f8533921e8a684423e43bab08a576291af8f461bb2a8b3531d2f0485c19b16e2f1516e23dd3c1a4827af1b8ac15b",
     "03ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffe661ce18ff55987308059b186823851ec7dd9ca1161de93d5174d66e8382e9bb2fe84e47"},
};

std::vector<unsigned char> randomOctets(std::mt19937 &rng, unsigned int m)
{
    std::vector<unsigned char> v((m + 7) / 8);
    for (auto &o : v) o = static_cast<unsigned char>(rng());
    if (m % 8) v[0] &= static_cast<unsigned char>((1u << (m % 8)) - 1);
    return v;
}

enum Op { MUL, SQR, INV };

void ourField(benchmark::State &state, int curve, Op op)
{
    const CurveData &c = kCurves[curve];
    QvGF2nField f(c.poly);
    std::mt19937 rng(1);
    auto ao = randomOctets(rng, f.getDegree()), bo = randomOctets(rng, f.getDegree());
    QvGF2n a(ao.data(), static_cast<unsigned int>(ao.size()), &f), b(bo.data(), static_cast<unsigned int>(bo.size()), &f);
    for (auto _ : state) {
        if (op == MUL) a *= b;
        else if (op == SQR) a *= a;
        else b /= a;
        benchmark::DoNotOptimize(a.getWords());
    }
}

void opensslField(benchmark::State &state, int curve, Op op)
{
    const CurveData &c = kCurves[curve];
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *p = nullptr;
    BN_hex2bn(&p, c.poly);
    const unsigned int m = static_cast<unsigned int>(BN_num_bits(p) - 1);
    std::mt19937 rng(1);
    auto ao = randomOctets(rng, m), bo = randomOctets(rng, m);
    BIGNUM *a = BN_bin2bn(ao.data(), static_cast<int>(ao.size()), nullptr);
    BIGNUM *b = BN_bin2bn(bo.data(), static_cast<int>(bo.size()), nullptr);
    BIGNUM *r = BN_new();
    for (auto _ : state) {
        if (op == MUL) BN_GF2m_mod_mul(r, a, b, p, ctx);
        else if (op == SQR) BN_GF2m_mod_sqr(r, a, p, ctx);
        else BN_GF2m_mod_div(r, b, a, p, ctx);
        std::swap(r, a);
        benchmark::DoNotOptimize(a);
    }
    BN_free(a);
    BN_free(b);
    BN_free(r);
    BN_free(p);
    BN_CTX_free(ctx);
}

void ourPointMul(benchmark::State &state, int curve)
{
    const CurveData &c = kCurves[curve];
    QvE2n e(c.a, c.b, c.poly);
    QvE2nPoint g(c.gx, c.gy, &e);
    QvN order(("0x" + std::string(c.order)).c_str());
    std::mt19937 rng(7);
    std::vector<QvWord> kw(order.getWordCount());
    for (auto &w : kw) w = static_cast<QvWord>(rng());
    QvN k = QvN(kw.data(), static_cast<unsigned int>(kw.size())) % order;
    std::unique_ptr<QvGroupElem> r(e.newElement(nullptr));
    for (auto _ : state) {
        e.multiply(r.get(), k, &g);
        benchmark::DoNotOptimize(r.get());
    }
}

void opensslPointMul(benchmark::State &state, int curve)
{
    const CurveData &c = kCurves[curve];
    EC_GROUP *group = EC_GROUP_new_by_curve_name(c.nid);
    if (group == nullptr) {
        state.SkipWithError("curve not available in this OpenSSL");
        return;
    }
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *k = BN_new();
    BN_rand_range(k, EC_GROUP_get0_order(group));
    EC_POINT *r = EC_POINT_new(group);
    for (auto _ : state) {
        EC_POINT_mul(group, r, k, nullptr, nullptr, ctx);
        benchmark::DoNotOptimize(r);
    }
    EC_POINT_free(r);
    BN_free(k);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
}

} // namespace

#define FIELD_BENCH(idx, tag)                                                                   \
    BENCHMARK_CAPTURE(ourField, tag##_mul_ours, idx, MUL);                                      \
    BENCHMARK_CAPTURE(opensslField, tag##_mul_openssl, idx, MUL);                               \
    BENCHMARK_CAPTURE(ourField, tag##_sqr_ours, idx, SQR);                                      \
    BENCHMARK_CAPTURE(opensslField, tag##_sqr_openssl, idx, SQR);                               \
    BENCHMARK_CAPTURE(ourField, tag##_div_ours, idx, INV);                                      \
    BENCHMARK_CAPTURE(opensslField, tag##_div_openssl, idx, INV);                               \
    BENCHMARK_CAPTURE(ourPointMul, tag##_pointmul_ours, idx)->Unit(benchmark::kMicrosecond);    \
    BENCHMARK_CAPTURE(opensslPointMul, tag##_pointmul_openssl, idx)->Unit(benchmark::kMicrosecond);

FIELD_BENCH(0, m233)
FIELD_BENCH(1, m283)
FIELD_BENCH(2, m571)

BENCHMARK_MAIN();
