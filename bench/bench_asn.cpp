// ASN.1 codec against OpenSSL: decoding a nested structure of about 1 KiB, and
// object identifiers between dotted text and their encoding. Allocations per
// operation are counted for both (ours through operator new, OpenSSL's through its
// memory hooks).
#include <benchmark/benchmark.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "support/memfile.h"

namespace {

std::atomic<long> g_ourAllocs{0};
std::atomic<long> g_sslAllocs{0};

void* SslMalloc(size_t n, const char*, int) {
    g_sslAllocs++;
    return std::malloc(n);
}
void* SslRealloc(void* p, size_t n, const char*, int) {
    g_sslAllocs++;
    return std::realloc(p, n);
}
void SslFree(void* p, const char*, int) { std::free(p); }

struct HookOpenssl {
    HookOpenssl() { CRYPTO_set_mem_functions(SslMalloc, SslRealloc, SslFree); }
} g_hook;

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    o.encodeToVector(v);
    return v;
}

std::vector<uint8_t> Seq(const std::vector<uint8_t>& body) {
    ASNany a(0x30);
    a.set(0x30, body.data(), static_cast<long>(body.size()));
    return Enc(a);
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& v) { to.insert(to.end(), v.begin(), v.end()); }

// SEQUENCE of records { OID, INTEGER, OCTET STRING, UTF8String, BOOLEAN,
// SEQUENCE { INTEGER, BIT STRING } }, about 1 KiB in all.
const std::vector<uint8_t>& Structure() {
    static std::vector<uint8_t> der = [] {
        std::vector<uint8_t> body;
        for (int r = 0; r < 10; r++) {
            std::vector<uint8_t> rec;
            ASNobjectId o("1.2.840.113549.1.1.11");
            ASNinteger i;
            i.setValue(0x10000u * static_cast<unsigned>(r + 1));
            std::vector<uint8_t> bytes(40, static_cast<uint8_t>(r));
            ASNoctstr s;
            s.set(bytes.data(), 40);
            ASNUtf8String u;
            u = "Certyfikat kwalifikowany";
            ASNbool b;
            b = true;
            ASNinteger j;
            j.setValue(3);
            ASNbitstr bits;
            bits.setFlags(0x86);
            Append(rec, Enc(o));
            Append(rec, Enc(i));
            Append(rec, Enc(s));
            Append(rec, Enc(u));
            Append(rec, Enc(b));
            std::vector<uint8_t> inner = Enc(j);
            Append(inner, Enc(bits));
            Append(rec, Seq(inner));
            Append(body, Seq(rec));
        }
        return Seq(body);
    }();
    return der;
}

// Our full walk: every element decoded, constructed ones recursively.
long WalkOurs(const uint8_t* p, long len, int depth) {
    MemFile mf(p, static_cast<size_t>(len), false);
    long count = 0;
    while (mf.Tell() < len) {
        ASNany a;
        long r = a.read(&mf, len - static_cast<long>(mf.Tell()));
        if (r <= 0) return -1;
        count++;
        if ((a.tag & 0x20) && depth < 16) count += WalkOurs(a.getData(), a.getLength(), depth + 1);
    }
    return count;
}

// OpenSSL's walk: headers by ASN1_get_object, leaves decoded by d2i_ASN1_TYPE.
long WalkOpenssl(const unsigned char* p, long len, int depth) {
    const unsigned char* end = p + len;
    long count = 0;
    while (p < end) {
        const unsigned char* start = p;
        long l;
        int tag, cls;
        int ret = ASN1_get_object(&p, &l, &tag, &cls, end - p);
        if (ret & 0x80) return -1;
        count++;
        if ((ret & V_ASN1_CONSTRUCTED) && depth < 16) {
            count += WalkOpenssl(p, l, depth + 1);
        } else {
            const unsigned char* q = start;
            ASN1_TYPE* t = d2i_ASN1_TYPE(nullptr, &q, (p + l) - start);
            if (t == nullptr) return -1;
            ASN1_TYPE_free(t);
        }
        p += l;
    }
    return count;
}

void BM_DecodeTop_Ours(benchmark::State& st) {
    const auto& der = Structure();
    long before = g_ourAllocs;
    for (auto _ : st) {
        ASNany a;
        benchmark::DoNotOptimize(a.readBuffer(der.data(), static_cast<long>(der.size())));
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_ourAllocs - before) / st.iterations());
    st.counters["bytes"] = static_cast<double>(der.size());
}

void BM_DecodeTop_Openssl(benchmark::State& st) {
    const auto& der = Structure();
    long before = g_sslAllocs;
    for (auto _ : st) {
        const unsigned char* p = der.data();
        ASN1_TYPE* t = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(der.size()));
        benchmark::DoNotOptimize(t);
        ASN1_TYPE_free(t);
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_sslAllocs - before) / st.iterations());
}

void BM_DecodeTree_Ours(benchmark::State& st) {
    const auto& der = Structure();
    long before = g_ourAllocs;
    for (auto _ : st) benchmark::DoNotOptimize(WalkOurs(der.data(), static_cast<long>(der.size()), 0));
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_ourAllocs - before) / st.iterations());
}

void BM_DecodeTree_Openssl(benchmark::State& st) {
    const auto& der = Structure();
    long before = g_sslAllocs;
    for (auto _ : st) benchmark::DoNotOptimize(WalkOpenssl(der.data(), static_cast<long>(der.size()), 0));
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_sslAllocs - before) / st.iterations());
}

const char* kOidText = "1.2.840.113549.1.9.16.3.18";

void BM_OidTextToBer_Ours(benchmark::State& st) {
    long before = g_ourAllocs;
    for (auto _ : st) {
        uint8_t buf[32];
        benchmark::DoNotOptimize(ASNobjectId::textToBer(kOidText, buf, sizeof buf));
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_ourAllocs - before) / st.iterations());
}

void BM_OidTextToBer_Openssl(benchmark::State& st) {
    long before = g_sslAllocs;
    for (auto _ : st) {
        ASN1_OBJECT* o = OBJ_txt2obj(kOidText, 1);
        benchmark::DoNotOptimize(o);
        ASN1_OBJECT_free(o);
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_sslAllocs - before) / st.iterations());
}

void BM_OidBerToText_Ours(benchmark::State& st) {
    ASNobjectId o(kOidText);
    long before = g_ourAllocs;
    for (auto _ : st) {
        char buf[80];
        benchmark::DoNotOptimize(o.getTextBuffer(buf, sizeof buf, true));
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_ourAllocs - before) / st.iterations());
}

void BM_OidBerToText_Openssl(benchmark::State& st) {
    ASN1_OBJECT* o = OBJ_txt2obj(kOidText, 1);
    long before = g_sslAllocs;
    for (auto _ : st) {
        char buf[80];
        benchmark::DoNotOptimize(OBJ_obj2txt(buf, sizeof buf, o, 1));
    }
    st.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_sslAllocs - before) / st.iterations());
    ASN1_OBJECT_free(o);
}

}  // namespace

// The replacements pair malloc with free themselves.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t n) {
    g_ourAllocs++;
    void* p = std::malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) {
    g_ourAllocs++;
    void* p = std::malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    g_ourAllocs++;
    return std::malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    g_ourAllocs++;
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

BENCHMARK(BM_DecodeTop_Ours);
BENCHMARK(BM_DecodeTop_Openssl);
BENCHMARK(BM_DecodeTree_Ours);
BENCHMARK(BM_DecodeTree_Openssl);
BENCHMARK(BM_OidTextToBer_Ours);
BENCHMARK(BM_OidTextToBer_Openssl);
BENCHMARK(BM_OidBerToText_Ours);
BENCHMARK(BM_OidBerToText_Openssl);
BENCHMARK_MAIN();
