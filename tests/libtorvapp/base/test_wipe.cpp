// Released buffers must hold only zeros. The global allocation functions of this
// test program are replaced: each block carries its size in a small header, so
// that every release can be inspected while a check is armed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvcommon/qvwordmem.h"

namespace {

bool g_armed = false;
bool g_failNothrow = false; // the next nothrow allocation fails
int g_released = 0;
int g_dirty = 0;
std::size_t g_releasedBytes = 0;

constexpr std::size_t kHeader = 16; // keeps the returned block 16-aligned

void* allocOrNull(std::size_t n) noexcept
{
    unsigned char* raw = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (raw == nullptr)
        return nullptr;
    std::memcpy(raw, &n, sizeof(n));
    return raw + kHeader;
}

void* allocOrThrow(std::size_t n)
{
    void* p = allocOrNull(n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void inspectAndFree(void* p) noexcept
{
    if (p == nullptr)
        return;
    unsigned char* raw = static_cast<unsigned char*>(p) - kHeader;
    std::size_t n;
    std::memcpy(&n, raw, sizeof(n));
    if (g_armed) {
        ++g_released;
        g_releasedBytes += n;
        const unsigned char* b = static_cast<const unsigned char*>(p);
        for (std::size_t i = 0; i < n; ++i)
            if (b[i] != 0) {
                ++g_dirty;
                break;
            }
    }
    std::free(raw);
}

struct Armed {
    Armed() { g_armed = true; g_released = 0; g_dirty = 0; g_releasedBytes = 0; }
    ~Armed() { g_armed = false; }
};

} // namespace

void* operator new(std::size_t n) { return allocOrThrow(n); }
void* operator new[](std::size_t n) { return allocOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    if (g_failNothrow) {
        g_failNothrow = false;
        return nullptr;
    }
    return allocOrNull(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocOrNull(n); }
void operator delete(void* p) noexcept { inspectAndFree(p); }
void operator delete[](void* p) noexcept { inspectAndFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { inspectAndFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { inspectAndFree(p); }
void operator delete(void* p, std::size_t) noexcept { inspectAndFree(p); }
void operator delete[](void* p, std::size_t) noexcept { inspectAndFree(p); }

TEST(QvMemoryWiping, OctetBufferIsZeroWhenDestroyed)
{
    QvOctMem* m = new QvOctMem(100u);
    std::memset(m->getData(), 0xA5, m->getCapacity());
    QvOctet* raw = m->getData();
    (void)raw;
    {
        Armed a;
        m->~QvOctMem();
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_releasedBytes, 128u); // the whole capacity, not only the length
        EXPECT_EQ(g_dirty, 0);
    }
    ::operator delete(static_cast<void*>(m));
}

TEST(QvMemoryWiping, OctetBufferGrowthWipesTheOldStorage)
{
    const QvOctet key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    QvOctMem m(key, 8);
    {
        Armed a;
        m.resize(40);
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_dirty, 0);
    }
    EXPECT_EQ(m[7u], 8);
}

TEST(QvMemoryWiping, OctetAssignmentWipesTheStorageItReplaces)
{
    const QvOctet key[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    QvOctMem small(key, 4);
    QvOctMem big(64u);
    std::memset(big.getData(), 0x11, 64);
    {
        Armed a;
        small = big;
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_dirty, 0);
    }
    {
        Armed a;
        small.clear();
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_dirty, 0);
    }
}

TEST(QvMemoryWiping, WordBufferIsZeroOnDestroyGrowAndAssign)
{
    const QvWord w[3] = {0xFFFFFFFF, 0x12345678, 0x9ABCDEF0};
    {
        QvWordMem m(w, 3, false);
        Armed a;
        m.resize(10);
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_releasedBytes, 12u);
        EXPECT_EQ(g_dirty, 0);
    }
    {
        QvWordMem m(w, 3, false);
        QvWordMem other(5u);
        std::memset(other.getData(), 0x77, 20);
        Armed a;
        m = other;
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_dirty, 0);
    }
    QvWordMem* m = new QvWordMem(w, 3, true);
    {
        Armed a;
        m->~QvWordMem();
        EXPECT_EQ(g_released, 1);
        EXPECT_EQ(g_releasedBytes, 12u);
        EXPECT_EQ(g_dirty, 0);
    }
    ::operator delete(static_cast<void*>(m));
}

namespace {

template <class F>
std::string memFailureText(F f, std::uint64_t* size)
{
    g_failNothrow = true;
    try {
        f();
    } catch (const QvMemException& e) {
        g_failNothrow = false;
        *size = e.getSize();
        return e.what();
    }
    g_failNothrow = false;
    return "nothing thrown";
}

std::string memText(const char* hexSize, const char* file, const char* line)
{
    return std::string("LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
                       "REASON: out of memory during allocation 0x") +
           hexSize + " octets\nFILE: " + file + "\nLINE: " + line + "\n";
}

} // namespace

TEST(QvMemoryFailure, FailedAllocationsNameSizeFileAndLine)
{
    std::uint64_t size = 0;
    const QvOctet src[3] = {1, 2, 3};
    EXPECT_EQ(memFailureText([] { QvOctMem m(5u); }, &size),
              memText("0000000000000008", "qvcommon/qvoctmem", "47"));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(memFailureText([&] { QvOctMem m(src, 3); }, &size),
              memText("0000000000000003", "qvcommon/qvoctmem", "106"));
    EXPECT_EQ(memFailureText([] { QvOctMem m("abcd"); }, &size),
              memText("0000000000000002", "qvcommon/qvoctmem", "65"));
    QvOctMem three(src, 3);
    EXPECT_EQ(memFailureText([&] { QvOctMem m(three); }, &size),
              memText("0000000000000003", "qvcommon/qvoctmem", "26"));
    QvOctMem one(src, 1);
    EXPECT_EQ(memFailureText([&] { one = three; }, &size),
              memText("0000000000000003", "qvcommon/qvoctmem", "170"));
    EXPECT_EQ(one.getLength(), 1u); // unchanged by the failure
    EXPECT_EQ(memFailureText([&] { one.resize(300); }, &size),
              memText("000000000000012c", "qvcommon/qvoctmem", "283"));
    EXPECT_EQ(one.getLength(), 1u);
    EXPECT_EQ(one[0u], 1);

    const QvWord w[2] = {1, 2};
    EXPECT_EQ(memFailureText([] { QvWordMem m(3u); }, &size),
              memText("000000000000000c", "qvcommon/qvwordmem", "37"));
    EXPECT_EQ(memFailureText([&] { QvWordMem m(w, 2, false); }, &size),
              memText("0000000000000008", "qvcommon/qvwordmem", "49"));
    EXPECT_EQ(memFailureText([&] { QvWordMem m(src, 3, true); }, &size),
              memText("0000000000000004", "qvcommon/qvwordmem", "84"));
    QvWordMem two(w, 2, false);
    EXPECT_EQ(memFailureText([&] { QvWordMem m(two); }, &size),
              memText("0000000000000008", "qvcommon/qvwordmem", "24"));
    QvWordMem single(w, 1, false);
    EXPECT_EQ(memFailureText([&] { single = two; }, &size),
              memText("0000000000000008", "qvcommon/qvwordmem", "180"));
    EXPECT_EQ(single.getLength(), 1u);
    EXPECT_EQ(memFailureText([&] { single.resize(4); }, &size),
              memText("0000000000000010", "qvcommon/qvwordmem", "261"));
    EXPECT_EQ(single.getLength(), 1u);
}
