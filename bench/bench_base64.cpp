// Base64 encoding and decoding: our codec and stream view beside OpenSSL's block codec.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "support/b64file.h"
#include "support/memfile.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(1);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

void BM_OurEncode(benchmark::State& state)
{
    auto data = RandomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        MemFile out;
        benchmark::DoNotOptimize(Base64EncodeToFile(data.data(), data.size(), &out, 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslEncode(benchmark::State& state)
{
    auto data = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> out(data.size() / 3 * 4 + 8);
    for (auto _ : state)
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OurDecode(benchmark::State& state)
{
    auto data = RandomBytes(static_cast<size_t>(state.range(0)));
    MemFile enc;
    Base64EncodeToFile(data.data(), data.size(), &enc, 0);
    for (auto _ : state) {
        MemFile out;
        benchmark::DoNotOptimize(Base64DecodeToFile(reinterpret_cast<const char*>(enc.GetData()),
                                                    static_cast<size_t>(enc.Size()), &out, 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OurStreamView(benchmark::State& state)
{
    auto data = RandomBytes(static_cast<size_t>(state.range(0)));
    MemFile enc;
    Base64EncodeToFile(data.data(), data.size(), &enc, 64);
    std::vector<uint8_t> buf(4096);
    for (auto _ : state) {
        MemFile src(enc.GetData(), static_cast<size_t>(enc.Size()), false);
        Base64File view(&src, 64, 0);
        size_t got = 0;
        while (view.Read(buf.size(), buf.data(), &got) == 0 && got)
            benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslDecode(benchmark::State& state)
{
    auto data = RandomBytes(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> enc(data.size() / 3 * 4 + 8);
    int n = EVP_EncodeBlock(enc.data(), data.data(), static_cast<int>(data.size()));
    std::vector<unsigned char> out(data.size() + 8);
    for (auto _ : state)
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), enc.data(), n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_OurEncode)->Arg(48)->Arg(64 * 1024);
BENCHMARK(BM_OpenSslEncode)->Arg(48)->Arg(64 * 1024);
BENCHMARK(BM_OurDecode)->Arg(48)->Arg(64 * 1024);
BENCHMARK(BM_OurStreamView)->Arg(64 * 1024);
BENCHMARK(BM_OpenSslDecode)->Arg(48)->Arg(64 * 1024);
BENCHMARK_MAIN();
