// Certificate subject names: decoding the DER, writing the label text, parsing
// RFC 2253 text and encoding, ours and OpenSSL's side by side on the same name.
#include <benchmark/benchmark.h>

#include <openssl/bio.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "lib/libasn/x509/x509name.h"

namespace {

const char kText[] = "CN=Jan Kowalski,OU=Security,O=Firma Sp. z o.o.,L=Warszawa,ST=mazowieckie,C=PL";

std::vector<uint8_t> SubjectDer() {
    DistinguishedName dn;
    dn.fromText(kText, -1, 0x80000800);
    std::vector<uint8_t> v;
    dn.encodeToVector(v);
    return v;
}

void BM_DecodeName_Ours(benchmark::State& state) {
    const std::vector<uint8_t> der = SubjectDer();
    for (auto _ : state) {
        DistinguishedName dn;
        benchmark::DoNotOptimize(dn.readVector(der));
    }
}
BENCHMARK(BM_DecodeName_Ours);

void BM_DecodeName_OpenSsl(benchmark::State& state) {
    const std::vector<uint8_t> der = SubjectDer();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        X509_NAME* n = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
        benchmark::DoNotOptimize(n);
        X509_NAME_free(n);
    }
}
BENCHMARK(BM_DecodeName_OpenSsl);

void BM_LabelText_Ours(benchmark::State& state) {
    DistinguishedName dn;
    dn.readVector(SubjectDer());
    std::string s;
    for (auto _ : state) {
        dn.toString(s, 0x80400070);  // RFC 2253 escaping, most specific first
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_LabelText_Ours);

void BM_LabelText_OpenSsl(benchmark::State& state) {
    const std::vector<uint8_t> der = SubjectDer();
    const unsigned char* p = der.data();
    X509_NAME* n = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
    BIO* b = BIO_new(BIO_s_mem());
    for (auto _ : state) {
        (void)BIO_reset(b);
        X509_NAME_print_ex(b, n, 0, XN_FLAG_RFC2253);
        char* out = nullptr;
        benchmark::DoNotOptimize(BIO_get_mem_data(b, &out));
    }
    BIO_free(b);
    X509_NAME_free(n);
}
BENCHMARK(BM_LabelText_OpenSsl);

void BM_ParseAndEncode_Ours(benchmark::State& state) {
    std::vector<uint8_t> v;
    for (auto _ : state) {
        DistinguishedName dn;
        dn.fromText(kText, -1, 0x80000800);
        v.clear();
        dn.encodeToVector(v);
        benchmark::DoNotOptimize(v.data());
    }
}
BENCHMARK(BM_ParseAndEncode_Ours);

void BM_ParseAndEncode_OpenSsl(benchmark::State& state) {
    const char* fields[][2] = {{"C", "PL"}, {"ST", "mazowieckie"}, {"L", "Warszawa"},
                               {"O", "Firma Sp. z o.o."}, {"OU", "Security"}, {"CN", "Jan Kowalski"}};
    for (auto _ : state) {
        X509_NAME* n = X509_NAME_new();
        for (auto& f : fields)
            X509_NAME_add_entry_by_txt(n, f[0], MBSTRING_ASC, reinterpret_cast<const unsigned char*>(f[1]), -1, -1, 0);
        unsigned char* out = nullptr;
        benchmark::DoNotOptimize(i2d_X509_NAME(n, &out));
        OPENSSL_free(out);
        X509_NAME_free(n);
    }
}
BENCHMARK(BM_ParseAndEncode_OpenSsl);

}  // namespace

BENCHMARK_MAIN();
