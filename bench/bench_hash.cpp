// Hash speed: our hashes next to OpenSSL's EVP digests in one program. At the end
// a table gives our time divided by OpenSSL's for each case. Run it once as
// OpenSSL runs by default and once with the SHA extensions masked on both sides:
//   QV_BENCH_PORTABLE=1 OPENSSL_ia32cap=":~0x20000000" bench_hash
// The ratios use the fastest of the repetitions and processor time, which a busy
// machine disturbs less than wall-clock time.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_ratios.h"
#include "libtorvapp/qvhash.h"

namespace {

struct Algo {
    unsigned int id;
    const char* ours;
    const char* openssl;
};

const Algo kAlgos[] = {
    {QV_HASH_DHF_ALGO_SHA1, "SHA-1", "SHA1"},
    {QV_HASH_DHF_ALGO_SHA256, "SHA-256", "SHA256"},
    {QV_HASH_DHF_ALGO_SHA512, "SHA-512", "SHA512"},
    {QV_HASH_DHF_ALGO_MD5, "MD5", "MD5"},
    {QV_HASH_DHF_ALGO_RIPEMD160, "RIPEMD-160", "RIPEMD160"},
};

std::vector<unsigned char>& message()
{
    static std::vector<unsigned char> m = [] {
        std::vector<unsigned char> v(16384);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<unsigned char>(i * 131 + 7);
        return v;
    }();
    return m;
}

void oursHash(benchmark::State& state, unsigned int id, std::size_t len)
{
    std::unique_ptr<QvHash> h(qvHashCreateObject(id));
    const unsigned char* m = message().data();
    QvOctet out[64];
    for (auto _ : state) {
        h->hash(m, static_cast<unsigned int>(len));
        h->getHash(0, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

void opensslHash(benchmark::State& state, const char* name, std::size_t len)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) {
        state.SkipWithError("OpenSSL digest not available");
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
        return;
    }
    const unsigned char* m = message().data();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, m, len);
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

// A new object per message of 20 octets: creation, hashing, read-out, release.
void oursSetup(benchmark::State& state, unsigned int id)
{
    const unsigned char* m = message().data();
    QvOctet out[64];
    for (auto _ : state) {
        QvHash* h = qvHashCreateObject(id);
        h->hash(m, 20);
        h->getHash(0, out);
        delete h;
        benchmark::DoNotOptimize(out);
    }
}

void opensslSetup(benchmark::State& state, const char* name)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr); // fetched once, as a careful caller would
    if (md == nullptr) {
        state.SkipWithError("OpenSSL digest not available");
        return;
    }
    const unsigned char* m = message().data();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, m, 20);
        EVP_DigestFinal_ex(ctx, out, &n);
        EVP_MD_CTX_free(ctx);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_free(md);
}

// Set-up alone: an object made ready for a message and released, no data hashed.
void oursCreate(benchmark::State& state, unsigned int id)
{
    for (auto _ : state) {
        QvHash* h = qvHashCreateObject(id);
        h->init();
        benchmark::DoNotOptimize(h);
        delete h;
    }
}

void opensslCreate(benchmark::State& state, const char* name)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) {
        state.SkipWithError("OpenSSL digest not available");
        return;
    }
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, md, nullptr);
        benchmark::DoNotOptimize(ctx);
        EVP_MD_CTX_free(ctx);
    }
    EVP_MD_free(md);
}

// Collects each run's time per iteration so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred)
                continue;
            std::string name = r.benchmark_name();
            if (r.run_type == Run::RT_Aggregate) {
                // With repetitions the fastest run stands for the case: a busy
                // machine only ever adds time.
                const std::string suffix = "_min";
                if (r.aggregate_name != "min" || name.size() < suffix.size())
                    continue;
                name.erase(name.size() - suffix.size());
            }
            times[name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

double fastest(const std::vector<double>& v)
{
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

void add(const std::string& name, void (*fn)(benchmark::State&, unsigned int), unsigned int id)
{
    benchmark::RegisterBenchmark(name.c_str(), fn, id)->ComputeStatistics("min", fastest);
}

void add(const std::string& name, void (*fn)(benchmark::State&, const char*), const char* md)
{
    benchmark::RegisterBenchmark(name.c_str(), fn, md)->ComputeStatistics("min", fastest);
}

void add(const std::string& name, void (*fn)(benchmark::State&, unsigned int, std::size_t),
         unsigned int id, std::size_t len)
{
    benchmark::RegisterBenchmark(name.c_str(), fn, id, len)->ComputeStatistics("min", fastest);
}

void add(const std::string& name, void (*fn)(benchmark::State&, const char*, std::size_t),
         const char* md, std::size_t len)
{
    benchmark::RegisterBenchmark(name.c_str(), fn, md, len)->ComputeStatistics("min", fastest);
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t sizes[] = {64, 1024, 16384};
    std::vector<std::string> cases;
    for (const Algo& a : kAlgos) {
        for (std::size_t len : sizes) {
            std::string c = std::string(a.ours) + "/" + std::to_string(len);
            cases.push_back(c);
            add("ours/" + c, oursHash, a.id, len);
            add("openssl/" + c, opensslHash, a.openssl, len);
        }
        std::string c = std::string(a.ours) + "/setup20";
        cases.push_back(c);
        add("ours/" + c, oursSetup, a.id);
        add("openssl/" + c, opensslSetup, a.openssl);
        c = std::string(a.ours) + "/create";
        cases.push_back(c);
        add("ours/" + c, oursCreate, a.id);
        add("openssl/" + c, opensslCreate, a.openssl);
    }
    // Ours and OpenSSL's runs are interleaved and repeated by default, so that a
    // busy or frequency-changing machine disturbs both sides alike; the ratios are
    // taken from the fastest runs. Flags given on the command line come later and win.
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char repetitions[] = "--benchmark_repetitions=12";
    static char minTime[] = "--benchmark_min_time=0.1";
    args.insert(args.begin() + 1, {interleave, repetitions, minTime});
    benchratios::choosePaths();
    int args_count = static_cast<int>(args.size());
    benchmark::Initialize(&args_count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const char* cap = std::getenv("OPENSSL_ia32cap");
    std::printf("\nour time / OpenSSL's (OPENSSL_ia32cap=%s)\n", cap != nullptr ? cap : "<unset>");
    for (const std::string& c : cases) {
        auto o = reporter.times.find("ours/" + c);
        auto s = reporter.times.find("openssl/" + c);
        if (o != reporter.times.end() && s != reporter.times.end() && s->second > 0)
            std::printf("  %-22s %6.2f\n", c.c_str(), o->second / s->second);
    }
    benchmark::Shutdown();
    return 0;
}
