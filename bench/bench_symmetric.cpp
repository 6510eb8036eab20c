// Block ciphers, modes and MACs of the cryptographic library beside OpenSSL's.
// Run it twice: as it is, and with QV_BENCH_PORTABLE=1
// OPENSSL_ia32cap="~0x200000200000000:~0x20000000" so that both sides run
// without AES-NI and the SHA extensions (portable code beside portable code).
#include <benchmark/benchmark.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench_ratios.h"
#include "libtorvapp/qvaes.h"
#include "libtorvapp/qvansimac.h"
#include "libtorvapp/qvcbc.h"
#include "libtorvapp/qvctr.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvecb.h"
#include "libtorvapp/qvhmac.h"
#include "libtorvapp/qvtdes.h"

namespace {

const unsigned char kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const unsigned char kDesKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x23, 0x45, 0x67, 0x89,
                                   0xab, 0xcd, 0xef, 0x01, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23};
const unsigned char kIv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

enum Mode { ECB, CBC, CTR };

std::unique_ptr<QvSymEnc> ourMode(Mode m, unsigned cipher)
{
    switch (m) {
    case ECB:
        return std::unique_ptr<QvSymEnc>(new QvEcb(cipher, QV_SYM_PAD_NONE));
    case CBC:
        return std::unique_ptr<QvSymEnc>(new QvCbc(cipher, QV_SYM_PAD_NONE));
    default:
        return std::unique_ptr<QvSymEnc>(new QvCtr(cipher, 0, QV_SYM_PAD_NONE));
    }
}

void ours(benchmark::State& state, Mode m, unsigned cipher, unsigned keyLen, unsigned dir)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x5a), out(n + 32);
    auto mode = ourMode(m, cipher);
    mode->setKey(cipher == QV_BC_ALGO_TDES ? kDesKey : kKey, keyLen);
    for (auto _ : state) {
        mode->init(dir, kIv, mode->getIvOctets());
        unsigned w = mode->step(in.data(), unsigned(n), out.data());
        w += mode->finish(out.data() + w);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void openssl(benchmark::State& state, const char* name, int enc)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x5a), out(n + 32);
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char* key = std::strncmp(name, "DES", 3) == 0 ? kDesKey : kKey;
    EVP_CipherInit_ex2(ctx, c, key, kIv, enc, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int l1 = 0, l2 = 0;
        // Re-init with the same key: only the IV is loaded again, as in our init.
        EVP_CipherInit_ex2(ctx, nullptr, nullptr, kIv, enc, nullptr);
        EVP_CipherUpdate(ctx, out.data(), &l1, in.data(), int(n));
        EVP_CipherFinal_ex(ctx, out.data() + l1, &l2);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

#define SIZES ->Arg(16)->Arg(1024)->Arg(16384)
BENCHMARK_CAPTURE(ours, aes128_ecb_enc, ECB, QV_BC_ALGO_AES, 16, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes128_ecb_enc, "AES-128-ECB", 1) SIZES;
BENCHMARK_CAPTURE(ours, aes128_ecb_dec, ECB, QV_BC_ALGO_AES, 16, QV_SYM_DECRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes128_ecb_dec, "AES-128-ECB", 0) SIZES;
BENCHMARK_CAPTURE(ours, aes128_cbc_enc, CBC, QV_BC_ALGO_AES, 16, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes128_cbc_enc, "AES-128-CBC", 1) SIZES;
BENCHMARK_CAPTURE(ours, aes128_cbc_dec, CBC, QV_BC_ALGO_AES, 16, QV_SYM_DECRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes128_cbc_dec, "AES-128-CBC", 0) SIZES;
BENCHMARK_CAPTURE(ours, aes128_ctr, CTR, QV_BC_ALGO_AES, 16, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes128_ctr, "AES-128-CTR", 1) SIZES;
BENCHMARK_CAPTURE(ours, aes256_ecb_enc, ECB, QV_BC_ALGO_AES, 32, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes256_ecb_enc, "AES-256-ECB", 1) SIZES;
BENCHMARK_CAPTURE(ours, aes256_ecb_dec, ECB, QV_BC_ALGO_AES, 32, QV_SYM_DECRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes256_ecb_dec, "AES-256-ECB", 0) SIZES;
BENCHMARK_CAPTURE(ours, aes256_cbc_enc, CBC, QV_BC_ALGO_AES, 32, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes256_cbc_enc, "AES-256-CBC", 1) SIZES;
BENCHMARK_CAPTURE(ours, aes256_cbc_dec, CBC, QV_BC_ALGO_AES, 32, QV_SYM_DECRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes256_cbc_dec, "AES-256-CBC", 0) SIZES;
BENCHMARK_CAPTURE(ours, aes256_ctr, CTR, QV_BC_ALGO_AES, 32, QV_SYM_ENCRYPT) SIZES;
BENCHMARK_CAPTURE(openssl, aes256_ctr, "AES-256-CTR", 1) SIZES;
BENCHMARK_CAPTURE(ours, tdes_cbc_enc, CBC, QV_BC_ALGO_TDES, 24, QV_SYM_ENCRYPT)->Arg(16)->Arg(128)->Arg(1024);
BENCHMARK_CAPTURE(openssl, tdes_cbc_enc, "DES-EDE3-CBC", 1)->Arg(16)->Arg(128)->Arg(1024);
BENCHMARK_CAPTURE(ours, tdes_cbc_dec, CBC, QV_BC_ALGO_TDES, 24, QV_SYM_DECRYPT)->Arg(16)->Arg(128)->Arg(1024);
BENCHMARK_CAPTURE(openssl, tdes_cbc_dec, "DES-EDE3-CBC", 0)->Arg(16)->Arg(128)->Arg(1024);

// Key set-up: AES (both schedules) and triple DES.
void oursKeySetup(benchmark::State& state, unsigned cipher, unsigned keyLen, QvKeyExpansionOption option)
{
    std::unique_ptr<QvBc> bc(qvBcCreateObject(cipher));
    for (auto _ : state) {
        bc->setKey(cipher == QV_BC_ALGO_TDES ? kDesKey : kKey, keyLen, option);
        benchmark::ClobberMemory();
    }
}

void opensslKeySetup(benchmark::State& state, const char* name)
{
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char* key = std::strncmp(name, "DES", 3) == 0 ? kDesKey : kKey;
    EVP_CipherInit_ex2(ctx, c, nullptr, nullptr, 1, nullptr);
    for (auto _ : state) {
        EVP_CipherInit_ex2(ctx, nullptr, key, nullptr, 1, nullptr);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}

BENCHMARK_CAPTURE(oursKeySetup, aes128_enc, QV_BC_ALGO_AES, 16, QV_KEY_EXPANSION_ENCRYPT);
BENCHMARK_CAPTURE(oursKeySetup, aes128_both, QV_BC_ALGO_AES, 16, QV_KEY_EXPANSION_BOTH);
BENCHMARK_CAPTURE(opensslKeySetup, aes128_enc, "AES-128-ECB");
BENCHMARK_CAPTURE(oursKeySetup, aes256_enc, QV_BC_ALGO_AES, 32, QV_KEY_EXPANSION_ENCRYPT);
BENCHMARK_CAPTURE(oursKeySetup, aes256_both, QV_BC_ALGO_AES, 32, QV_KEY_EXPANSION_BOTH);
BENCHMARK_CAPTURE(opensslKeySetup, aes256_enc, "AES-256-ECB");
BENCHMARK_CAPTURE(oursKeySetup, tdes, QV_BC_ALGO_TDES, 24, QV_KEY_EXPANSION_BOTH);
BENCHMARK_CAPTURE(opensslKeySetup, tdes, "DES-EDE3-ECB");

// HMAC-SHA-256, keyed once, one MAC per iteration.
void oursHmac(benchmark::State& state)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x42);
    QvHmac h(QV_HASH_DHF_ALGO_SHA256);
    h.setKey(kKey, 32);
    unsigned char mac[32];
    for (auto _ : state) {
        h.computeMac(in.data(), unsigned(n));
        h.getMac(0, mac);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void opensslHmac(benchmark::State& state)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x42);
    EVP_MAC* m = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(m);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    EVP_MAC_init(ctx, kKey, 32, params);
    unsigned char mac[32];
    for (auto _ : state) {
        std::size_t outl = 0;
        EVP_MAC_init(ctx, nullptr, 0, nullptr); // same key: OpenSSL reuses its pad states
        EVP_MAC_update(ctx, in.data(), n);
        EVP_MAC_final(ctx, mac, &outl, sizeof mac);
        benchmark::DoNotOptimize(mac);
    }
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(m);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

BENCHMARK(oursHmac)->Arg(64)->Arg(1024);
BENCHMARK(opensslHmac)->Arg(64)->Arg(1024);

// Retail MAC over DES (ISO/IEC 9797-1 algorithm 3, padding method 2); OpenSSL's
// side is the same computation from its DES-CBC and single-DES blocks.
void oursRetail(benchmark::State& state)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x42);
    QvAnsiMac m(QV_BC_ALGO_DES, QV_MAC_PAD_BIT);
    m.setKey(kDesKey, 16);
    unsigned char mac[8];
    for (auto _ : state) {
        m.computeMac(in.data(), unsigned(n));
        m.getMac(0, mac);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

void opensslRetail(benchmark::State& state)
{
    const std::size_t n = std::size_t(state.range(0));
    std::vector<unsigned char> in(n, 0x42), padded(n + 8), out(n + 16);
    EVP_CIPHER* cbc = EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr);
    EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
    EVP_CIPHER_CTX* c1 = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* d2 = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* e1 = EVP_CIPHER_CTX_new();
    const unsigned char zero[8] = {};
    EVP_CipherInit_ex2(c1, cbc, kDesKey, zero, 1, nullptr);
    EVP_CIPHER_CTX_set_padding(c1, 0);
    EVP_CipherInit_ex2(d2, ecb, kDesKey + 8, nullptr, 0, nullptr);
    EVP_CIPHER_CTX_set_padding(d2, 0);
    EVP_CipherInit_ex2(e1, ecb, kDesKey, nullptr, 1, nullptr);
    EVP_CIPHER_CTX_set_padding(e1, 0);
    unsigned char h[8], t[8];
    for (auto _ : state) {
        std::memcpy(padded.data(), in.data(), n);
        std::size_t p = n;
        padded[p++] = 0x80;
        while (p % 8 != 0)
            padded[p++] = 0;
        int l = 0;
        EVP_CipherInit_ex2(c1, nullptr, nullptr, zero, 1, nullptr);
        EVP_CipherUpdate(c1, out.data(), &l, padded.data(), int(p));
        std::memcpy(h, out.data() + p - 8, 8);
        EVP_CipherUpdate(d2, t, &l, h, 8);
        EVP_CipherUpdate(e1, h, &l, t, 8);
        benchmark::DoNotOptimize(h);
    }
    EVP_CIPHER_CTX_free(c1);
    EVP_CIPHER_CTX_free(d2);
    EVP_CIPHER_CTX_free(e1);
    EVP_CIPHER_free(cbc);
    EVP_CIPHER_free(ecb);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

BENCHMARK(oursRetail)->Arg(16)->Arg(64)->Arg(256);
BENCHMARK(opensslRetail)->Arg(16)->Arg(64)->Arg(256);

} // namespace

int main(int argc, char** argv)
{
    // Single DES lives in OpenSSL's legacy provider.
    OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER_load(nullptr, "legacy");
    return benchratios::runWithRatios(argc, argv);
}
