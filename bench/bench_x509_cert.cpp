// X.509 certificates: decoding and signature verification of an RSA-2048
// certificate, our code and OpenSSL's side by side.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <vector>

#include "lib/libasn/x509/sgncert.h"

namespace {

// A self-signed RSA-2048 certificate with a few extensions, made once.
const std::vector<uint8_t>& Cert() {
    static const std::vector<uint8_t> der = [] {
        EVP_PKEY* pk = EVP_RSA_gen(2048);
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 123456789);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
        X509_NAME* n = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(n, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("PL"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(n, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Firma"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench"), -1, -1, 0);
        X509_set_issuer_name(x, n);
        X509_set_pubkey(x, pk);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        const char* exts[][2] = {{"basicConstraints", "critical,CA:TRUE"},
                                 {"keyUsage", "critical,keyCertSign,cRLSign"},
                                 {"subjectKeyIdentifier", "hash"}};
        for (auto& e : exts) {
            X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, e[0], e[1]);
            if (ext != nullptr) X509_add_ext(x, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(x, pk, EVP_sha256());
        unsigned char* p = nullptr;
        int len = i2d_X509(x, &p);
        std::vector<uint8_t> v(p, p + (len > 0 ? len : 0));
        OPENSSL_free(p);
        X509_free(x);
        EVP_PKEY_free(pk);
        if (v.empty()) std::abort();
        return v;
    }();
    return der;
}

void BM_Decode_Ours(benchmark::State& st) {
    const std::vector<uint8_t>& der = Cert();
    for (auto _ : st) {
        SignedCertificate c;
        benchmark::DoNotOptimize(c.readBuffer(der.data(), static_cast<long>(der.size())));
    }
}

void BM_Decode_OpenSSL(benchmark::State& st) {
    const std::vector<uint8_t>& der = Cert();
    for (auto _ : st) {
        const unsigned char* p = der.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        benchmark::DoNotOptimize(x);
        X509_free(x);
    }
}

void BM_Verify_Ours(benchmark::State& st) {
    const std::vector<uint8_t>& der = Cert();
    SignedCertificate c;
    if (c.readBuffer(der.data(), static_cast<long>(der.size())) < 1) std::abort();
    for (auto _ : st) benchmark::DoNotOptimize(c.verifySelfSigned());
}

void BM_Verify_OpenSSL(benchmark::State& st) {
    const std::vector<uint8_t>& der = Cert();
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    EVP_PKEY* pk = X509_get0_pubkey(x);
    for (auto _ : st) benchmark::DoNotOptimize(X509_verify(x, pk));
    X509_free(x);
}

}  // namespace

BENCHMARK(BM_Decode_Ours);
BENCHMARK(BM_Decode_OpenSSL);
BENCHMARK(BM_Verify_Ours);
BENCHMARK(BM_Verify_OpenSSL);
BENCHMARK_MAIN();
