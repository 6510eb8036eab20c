// Public-key schemes beside OpenSSL: RSA-2048 PKCS#1 v1.5 signing (through the
// prime factors) and verification, ECDSA on P-256 signing and verification.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrsasigpkcsv15.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes param(EVP_PKEY *k, const char *name)
{
    BIGNUM *b = nullptr;
    EVP_PKEY_get_bn_param(k, name, &b);
    Bytes out(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_free(b);
    return out;
}

EVP_PKEY *rsa2048()
{
    static EVP_PKEY *k = EVP_RSA_gen(2048);
    return k;
}

EVP_PKEY *p256()
{
    static EVP_PKEY *k = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    return k;
}

std::unique_ptr<QvRbg> rbg()
{
    std::unique_ptr<QvRbg> r(qvRbgCreateObject(QV_RBG_DSS31));
    unsigned char seed[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    r->init(seed, 32);
    return r;
}

struct OurRsa {
    OurRsa()
    {
        EVP_PKEY *k = rsa2048();
        auto set = [&](void (QvRsaPrivateKey::*f)(const QvOctet *, unsigned int), const char *name) {
            Bytes b = param(k, name);
            (prv.*f)(b.data(), static_cast<unsigned int>(b.size()));
        };
        set(&QvRsaPrivateKey::setModulus, OSSL_PKEY_PARAM_RSA_N);
        set(&QvRsaPrivateKey::setPublicExponent, OSSL_PKEY_PARAM_RSA_E);
        set(&QvRsaPrivateKey::setPrivateExponent, OSSL_PKEY_PARAM_RSA_D);
        set(&QvRsaPrivateKey::setPrime1, OSSL_PKEY_PARAM_RSA_FACTOR1);
        set(&QvRsaPrivateKey::setPrime2, OSSL_PKEY_PARAM_RSA_FACTOR2);
        set(&QvRsaPrivateKey::setCoefficient, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
        prv.precompute();
        Bytes n = param(k, OSSL_PKEY_PARAM_RSA_N), e = param(k, OSSL_PKEY_PARAM_RSA_E);
        pub.setN(n.data(), static_cast<unsigned int>(n.size()));
        pub.setE(e.data(), static_cast<unsigned int>(e.size()));
        signer.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
        signer.setPrivateKey(&prv);
        verifier.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
        verifier.setPublicKey(&pub);
    }
    QvRsaPrivateKey prv;
    QvRsaPublicKey pub;
    QvRsaSigPkcsV15 signer, verifier;
};

const Bytes kDigest(32, 0x5C);

void osslSign(EVP_PKEY *k, bool rsa, Bytes &sig)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_sign_init(ctx);
    if (rsa) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    }
    size_t len = sig.size();
    EVP_PKEY_sign(ctx, sig.data(), &len, kDigest.data(), kDigest.size());
    sig.resize(len);
    EVP_PKEY_CTX_free(ctx);
}

bool osslVerify(EVP_PKEY *k, bool rsa, const Bytes &sig)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_verify_init(ctx);
    if (rsa) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    }
    int r = EVP_PKEY_verify(ctx, sig.data(), sig.size(), kDigest.data(), kDigest.size());
    EVP_PKEY_CTX_free(ctx);
    return r == 1;
}

void BM_Rsa2048Sign_Ours(benchmark::State &st)
{
    OurRsa r;
    Bytes sig(256);
    for (auto _ : st)
        benchmark::DoNotOptimize(r.signer.sign(kDigest.data(), 32, sig.data(), 256));
}
void BM_Rsa2048Sign_OpenSsl(benchmark::State &st)
{
    for (auto _ : st) {
        Bytes sig(256);
        osslSign(rsa2048(), true, sig);
        benchmark::DoNotOptimize(sig.data());
    }
}
void BM_Rsa2048Verify_Ours(benchmark::State &st)
{
    OurRsa r;
    Bytes sig(256);
    r.signer.sign(kDigest.data(), 32, sig.data(), 256);
    for (auto _ : st)
        benchmark::DoNotOptimize(r.verifier.verify(kDigest.data(), 32, sig.data(), 256));
}
void BM_Rsa2048Verify_OpenSsl(benchmark::State &st)
{
    Bytes sig(256);
    osslSign(rsa2048(), true, sig);
    for (auto _ : st)
        benchmark::DoNotOptimize(osslVerify(rsa2048(), true, sig));
}

struct OurEc {
    OurEc() : dom(qvFindNamedCurveDomain("secp256r1")), gen(rbg())
    {
        EVP_PKEY *k = p256();
        Bytes x = param(k, OSSL_PKEY_PARAM_PRIV_KEY);
        prv.setDomain(dom);
        prv.set(x.data(), static_cast<unsigned int>(x.size()));
        unsigned char point[80];
        size_t len = 0;
        EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len);
        pub.setDomain(dom);
        pub.setH(point, static_cast<unsigned int>(len));
        signer.setPrivateKey(&prv);
        signer.setRbg(gen.get());
        verifier.setPublicKey(&pub);
    }
    const QvGeneralDsaKeyDomain *dom;
    std::unique_ptr<QvRbg> gen;
    QvGeneralDsaPrivateKey prv;
    QvGeneralDsaPublicKey pub;
    QvGeneralDsaSig signer, verifier;
};

void BM_EcdsaP256Sign_Ours(benchmark::State &st)
{
    OurEc e;
    Bytes sig(80);
    for (auto _ : st)
        benchmark::DoNotOptimize(e.signer.sign(kDigest.data(), 32, sig.data(), 80));
}
void BM_EcdsaP256Sign_OpenSsl(benchmark::State &st)
{
    for (auto _ : st) {
        Bytes sig(80);
        osslSign(p256(), false, sig);
        benchmark::DoNotOptimize(sig.data());
    }
}
void BM_EcdsaP256Verify_Ours(benchmark::State &st)
{
    OurEc e;
    Bytes sig(80);
    unsigned int n = e.signer.sign(kDigest.data(), 32, sig.data(), 80);
    for (auto _ : st)
        benchmark::DoNotOptimize(e.verifier.verify(kDigest.data(), 32, sig.data(), n));
}
void BM_EcdsaP256Verify_OpenSsl(benchmark::State &st)
{
    Bytes sig(80);
    osslSign(p256(), false, sig);
    for (auto _ : st)
        benchmark::DoNotOptimize(osslVerify(p256(), false, sig));
}

} // namespace

BENCHMARK(BM_Rsa2048Sign_Ours);
BENCHMARK(BM_Rsa2048Sign_OpenSsl);
BENCHMARK(BM_Rsa2048Verify_Ours);
BENCHMARK(BM_Rsa2048Verify_OpenSsl);
BENCHMARK(BM_EcdsaP256Sign_Ours);
BENCHMARK(BM_EcdsaP256Sign_OpenSsl);
BENCHMARK(BM_EcdsaP256Verify_Ours);
BENCHMARK(BM_EcdsaP256Verify_OpenSsl);
BENCHMARK_MAIN();
