// Byte streams: memory streams, the null stream and the Base64 view and codec.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/b64file.h"
#include "support/memfile.h"
#include "support/vtest.h"
#include "support/zerofile.h"
#include "tests/common/testsupport.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Array allocations are watched: when a watched block is freed, whether it was all
// zero is recorded. The size sits in a header before the block.
namespace {
void* g_watched = nullptr;
int g_watchedFreed = 0;
bool g_watchedWasZero = false;
bool g_failNextArray = false;
}  // namespace

void* operator new[](size_t n)
{
    if (g_failNextArray) {
        g_failNextArray = false;
        throw std::bad_alloc();
    }
    unsigned char* p = static_cast<unsigned char*>(malloc(n + 16));
    if (!p)
        throw std::bad_alloc();
    memcpy(p, &n, sizeof(n));
    return p + 16;
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept
{
    try {
        return operator new[](n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete[](void* p) noexcept
{
    if (!p)
        return;
    unsigned char* b = static_cast<unsigned char*>(p) - 16;
    if (p == g_watched) {
        size_t n;
        memcpy(&n, b, sizeof(n));
        g_watchedWasZero = true;
        for (size_t i = 0; i < n; ++i)
            if (static_cast<unsigned char*>(p)[i])
                g_watchedWasZero = false;
        ++g_watchedFreed;
        g_watched = nullptr;
    }
    free(b);
}
void operator delete[](void* p, size_t) noexcept
{
    operator delete[](p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    operator delete[](p);
}

namespace {

std::string Text(MemFile& m)
{
    return std::string(reinterpret_cast<const char*>(m.GetData()), static_cast<size_t>(m.Size()));
}

struct Silence {
    Silence() { testing::internal::CaptureStderr(); }
    ~Silence() { testing::internal::GetCapturedStderr(); }
};

// ---- MemFile ----

TEST(MemFileTest, GrowthSizesDoubleFrom32)
{
    MemFile m;
    uint8_t b[200] = {1};
    ASSERT_EQ(m.Write(1, b), 0);
    EXPECT_EQ(m.GetCapacity(), 32u);
    EXPECT_EQ(m.Size(), 1);
    MemFile m2;
    ASSERT_EQ(m2.Write(40, b), 0);
    EXPECT_EQ(m2.GetCapacity(), 64u);
    ASSERT_EQ(m2.Write(24, b), 0);
    EXPECT_EQ(m2.GetCapacity(), 64u);
    ASSERT_EQ(m2.Write(1, b), 0);  // one byte more into the full buffer
    EXPECT_EQ(m2.GetCapacity(), 128u);
    EXPECT_EQ(m2.Size(), 65);
    MemFile m3;
    ASSERT_EQ(m3.Write(129, b), 0);
    EXPECT_EQ(m3.GetCapacity(), 256u);
}

TEST(MemFileTest, ByteByByteAppendKeepsContent)
{
    MemFile m;
    std::string want;
    for (int i = 0; i < 1000; ++i) {
        char c = static_cast<char>('a' + i % 26);
        want += c;
        ASSERT_EQ(m.Write(1, &c), 0);
    }
    EXPECT_EQ(Text(m), want);
    ASSERT_EQ(m.Seek(500), 0);
    char buf[600];
    size_t got = 0;
    EXPECT_EQ(m.Read(sizeof(buf), buf, &got), 0);
    EXPECT_EQ(got, 500u);
    EXPECT_EQ(std::string(buf, got), want.substr(500));
    EXPECT_EQ(m.Tell(), 1000);
}

TEST(MemFileTest, ViewOverCallerBufferRefusesOverflow)
{
    uint8_t buf[12];
    memset(buf, 'z', sizeof(buf));
    MemFile m(buf, 10, false);
    uint8_t data[11];
    memset(data, 'a', sizeof(data));
    EXPECT_EQ(m.Write(11, data), -1);
    EXPECT_EQ(buf[10], 'z');
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(m.Tell(), 0);
    EXPECT_EQ(m.Seek(11), -1);
    EXPECT_EQ(m.Seek(-1), -1);
    EXPECT_EQ(m.Seek(10), 0);
    size_t got = 99;
    uint8_t out[4];
    EXPECT_EQ(m.Read(4, out, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(m.Seek(6), 0);
    EXPECT_EQ(m.Write(5, data), -1);
    EXPECT_EQ(m.Write(4, data), 0);
    EXPECT_EQ(buf[9], 'a');
    EXPECT_FALSE(m.SetLength(11));
    EXPECT_EQ(m.Size(), 10);
    {
        Silence s;
        EXPECT_THROW(m.Extend(1), VtestException);
    }
}

TEST(MemFileTest, SizedConstructorAndSetLengthExtend)
{
    MemFile m(5, true);
    EXPECT_EQ(m.Size(), 5);
    EXPECT_EQ(std::vector<uint8_t>(m.GetData(), m.GetData() + 5), std::vector<uint8_t>(5, 0));
    ASSERT_EQ(m.Seek(5), 0);
    EXPECT_TRUE(m.SetLength(2));
    EXPECT_EQ(m.Tell(), 2);
    EXPECT_TRUE(m.SetLength(40));
    EXPECT_EQ(m.GetCapacity(), 40u);
    EXPECT_EQ(m.Extend(8), 40);
    EXPECT_EQ(m.Size(), 48);
    EXPECT_EQ(m.GetCapacity(), 48u);
    EXPECT_EQ(m.GetPointer(47), m.GetData() + 47);
    Silence s;
    EXPECT_THROW(m.GetPointer(48), VtestException);
    EXPECT_THROW(m.Read(1, nullptr, nullptr), VtestException);
}

TEST(MemFileTest, SetLengthExposesNoStaleBytes)
{
    MemFile m;
    ASSERT_EQ(m.Write(8, "SECRET!!"), 0);
    ASSERT_TRUE(m.SetLength(0));
    ASSERT_TRUE(m.SetLength(8));
    EXPECT_EQ(std::vector<uint8_t>(m.GetData(), m.GetData() + 8), std::vector<uint8_t>(8, 0));
}

TEST(MemFileTest, DetachHandsOverBufferUnwiped)
{
    MemFile m;
    ASSERT_EQ(m.Write(3, "abc"), 0);
    unsigned char* p = static_cast<unsigned char*>(m.Detach());
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.GetData(), nullptr);
    EXPECT_EQ(memcmp(p, "abc", 3), 0);
    delete[] p;
}

TEST(MemFileTest, ReleaseWipesCallerBufferWhenWiping)
{
    uint8_t buf[16];
    memset(buf, 0x5A, sizeof(buf));
    {
        MemFile m(buf, sizeof(buf), true);
    }
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 16), std::vector<uint8_t>(16, 0));
    memset(buf, 0x5A, sizeof(buf));
    {
        MemFile m(buf, sizeof(buf), false);
    }
    EXPECT_EQ(buf[0], 0x5A);
}

TEST(MemFileTest, ReleaseWipesHeapBufferBeforeFreeing)
{
    g_watchedFreed = 0;
    {
        ZeroizedMemFile m;
        ASSERT_EQ(m.Write(10, "PIN=123456"), 0);
        g_watched = m.GetData();
    }
    EXPECT_EQ(g_watchedFreed, 1);
    EXPECT_TRUE(g_watchedWasZero);
}

TEST(MemFileTest, GrowthWipesOldBufferWhenWiping)
{
    g_watchedFreed = 0;
    MemFile m;
    ASSERT_EQ(m.Write(30, "KEY-KEY-KEY-KEY-KEY-KEY-KEY-KE"), 0);
    g_watched = m.GetData();
    ASSERT_EQ(m.Write(10, "0123456789"), 0);  // grows to 64
    EXPECT_EQ(g_watchedFreed, 1);
    EXPECT_TRUE(g_watchedWasZero);

    g_watchedFreed = 0;
    g_watched = m.GetData();
    ASSERT_TRUE(m.SetLength(100));
    EXPECT_EQ(g_watchedFreed, 1);
    EXPECT_TRUE(g_watchedWasZero);

    g_watchedFreed = 0;
    g_watched = m.GetData();
    ASSERT_GE(m.Extend(10), 0);
    EXPECT_EQ(g_watchedFreed, 1);
    EXPECT_TRUE(g_watchedWasZero);
    EXPECT_EQ(memcmp(m.GetData(), "KEY-KEY-KEY-KEY-KEY-KEY-KEY-KE0123456789", 40), 0);
}

TEST(MemFileTest, NonWipingGrowthLeavesOldBufferAlone)
{
    g_watchedFreed = 0;
    MemFile m(nullptr, 0, true, false);
    ASSERT_EQ(m.Write(30, "public-public-public-public-pu"), 0);
    g_watched = m.GetData();
    ASSERT_EQ(m.Write(10, "0123456789"), 0);
    EXPECT_EQ(g_watchedFreed, 1);
    EXPECT_FALSE(g_watchedWasZero);
}

TEST(MemFileTest, FailedGrowthLeavesStreamUnchanged)
{
    MemFile m;
    ASSERT_EQ(m.Write(32, "0123456789abcdef0123456789abcdef"), 0);
    unsigned char* before = m.GetData();
    g_failNextArray = true;
    EXPECT_EQ(m.Write(1, "x"), -1);
    EXPECT_EQ(m.GetData(), before);
    EXPECT_EQ(m.Size(), 32);
    EXPECT_EQ(m.Tell(), 32);
    g_failNextArray = true;
    EXPECT_FALSE(m.SetLength(1000));
    g_failNextArray = true;
    EXPECT_EQ(m.Extend(1000), -1);
    EXPECT_EQ(m.Size(), 32);
    g_failNextArray = true;
    EXPECT_THROW(MemFile big(100, true), std::bad_alloc);
}

// ---- GenericFile shared operations ----

TEST(GenericFileTest, CopyToInChunksAndZeroCount)
{
    std::string src(5000, '\0');
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<char>(i * 7);
    MemFile in(src.data(), src.size(), false);
    MemFile out;
    size_t copied = 123;
    EXPECT_EQ(in.CopyTo(&out, 0, &copied), 0);
    EXPECT_EQ(copied, 0u);
    EXPECT_EQ(in.Tell(), 0);
    EXPECT_EQ(in.CopyTo(&out, 3000, &copied), 0);
    EXPECT_EQ(copied, 3000u);
    EXPECT_EQ(in.CopyTo(&out, ~static_cast<size_t>(0), &copied), 0);
    EXPECT_EQ(copied, 2000u);
    EXPECT_EQ(Text(out), src);
    uint8_t small[4];
    MemFile full(small, sizeof(small), false);
    ASSERT_EQ(in.Seek(0), 0);
    EXPECT_EQ(in.CopyTo(&full, 10, &copied), -2);
    EXPECT_EQ(copied, 0u);
}

TEST(GenericFileTest, PrintfWritesLongTextInOneWrite)
{
    struct CountingFile : MemFile {
        int writes = 0;
        int16_t Write(size_t n, const void* d) override
        {
            ++writes;
            return MemFile::Write(n, d);
        }
    } f;
    std::string big(5000, 'q');
    EXPECT_EQ(f.Printf("%s", big.c_str()), 5000);
    EXPECT_EQ(f.writes, 1);
    EXPECT_EQ(Text(f), big);
    EXPECT_EQ(f.Printf("%s", ""), 0);
    EXPECT_EQ(f.writes, 1);
    EXPECT_EQ(f.Printf("%d-%s", 42, "x"), 4);
    uint8_t small[2];
    MemFile tiny(small, 2, false);
    EXPECT_EQ(tiny.Printf("%s", "abc"), -2);
}

TEST(GenericFileTest, ZeroFileCountsAndFills)
{
    ZeroFile z(0xAB);
    uint8_t buf[5];
    size_t got = 0;
    EXPECT_EQ(z.Read(5, buf, &got), 0);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(buf[4], 0xAB);
    EXPECT_EQ(z.Write(100, nullptr), 0);
    EXPECT_EQ(z.Tell(), 105);
    EXPECT_EQ(z.Size(), 105);
    EXPECT_EQ(z.Printf("abc"), 0);
    EXPECT_EQ(z.Tell(), 105);
}

// ---- Base64 ----

std::vector<std::pair<std::string, std::string>> Rfc4648Vectors()
{
    std::vector<std::pair<std::string, std::string>> v;
    for (const testsupport::DataLine& l : testsupport::ReadDataLines(testsupport::DataFile("base64_rfc4648.txt"), '|'))
        v.emplace_back(l.fields.at(0), l.fields.size() > 1 ? l.fields[1] : std::string());
    return v;
}

TEST(Base64Test, Rfc4648VectorsEncodeAndDecode)
{
    auto vec = Rfc4648Vectors();
    ASSERT_EQ(vec.size(), 7u);
    for (auto& [plain, enc] : vec) {
        char out[32];
        int n = Base64EncodeText(plain.data(), static_cast<int>(plain.size()), out);
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), enc);
        MemFile f;
        EXPECT_EQ(Base64EncodeToFile(plain.data(), plain.size(), &f, 64), static_cast<long>(enc.size()));
        EXPECT_EQ(Text(f), enc);
        if (!enc.empty()) {
            uint8_t dec[16];
            EXPECT_EQ(Base64DecodeText(enc.c_str(), -1, dec), static_cast<int>(plain.size()));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(dec), plain.size()), plain);
        }
        MemFile src(enc.data(), enc.size(), false);
        Base64File view(&src, 64, 0);
        char buf[16];
        size_t got = 0;
        EXPECT_EQ(view.Read(sizeof(buf), buf, &got), 0);
        EXPECT_EQ(std::string(buf, got), plain);
    }
}

TEST(Base64Test, CodecRoutinesRefuseBadInput)
{
    uint8_t out[16];
    EXPECT_EQ(Base64DecodeText("YWJ", -1, out), 0);          // not whole quads
    EXPECT_EQ(Base64DecodeText("YW Jj", -1, out), 0);        // white space
    EXPECT_EQ(Base64DecodeText("YQ==YWJj", -1, out), 0);     // data after padding
    EXPECT_EQ(Base64DecodeText("YW=j", -1, out), 0);         // padding then data
    EXPECT_EQ(Base64DecodeText("Y===", -1, out), 0);
    EXPECT_EQ(Base64DecodeText("YW*j", -1, out), 0);
    EXPECT_EQ(Base64CharValue('*'), 127);
    EXPECT_EQ(Base64CharValue('/'), 63);
    MemFile sink;
    EXPECT_EQ(Base64DecodeToFile("YWJjZ", 5, &sink, 0), 0);  // incomplete quad at the end
    EXPECT_EQ(Base64DecodeToFile("YW\tJj", 5, &sink, 0), 0);
    EXPECT_EQ(Base64DecodeToFile("YW J\r\nj", 7, &sink, 0), 3);
}

TEST(Base64Test, EncodeToFileBreaksLines)
{
    std::vector<uint8_t> data(96, 0x41);
    MemFile f;
    EXPECT_EQ(Base64EncodeToFile(data.data(), data.size(), &f, 64), 128);
    std::string t = Text(f);
    ASSERT_EQ(t.size(), 132u);
    EXPECT_EQ(t.substr(64, 2), "\r\n");
    EXPECT_EQ(t.substr(130, 2), "\r\n");
    MemFile g;
    EXPECT_EQ(Base64EncodeToFile(data.data(), data.size(), &g, 0), 128);
    EXPECT_EQ(Text(g).find('\r'), std::string::npos);
    EXPECT_EQ(Text(g).size(), 128u);
}

TEST(Base64Test, ViewReadsAcrossLineBreaksInAnyChunkSize)
{
    const std::string text = "YWJj\r\nZGVm";
    for (size_t chunk = 1; chunk <= 7; ++chunk) {
        MemFile src(text.data(), text.size(), false);
        Base64File view(&src, 64, 0);
        std::string out;
        char buf[8];
        for (;;) {
            size_t got = 0;
            ASSERT_EQ(view.Read(chunk, buf, &got), 0);
            if (got == 0)
                break;
            out.append(buf, got);
        }
        EXPECT_EQ(out, "abcdef") << "chunk " << chunk;
        EXPECT_EQ(view.Tell(), 6);
    }
}

TEST(Base64Test, ViewFailsOnStrayTrailingCharacters)
{
    const std::string text = "YWJjZG";
    MemFile src(text.data(), text.size(), false);
    Base64File view(&src, 64, 0);
    char buf[16];
    size_t got = 0;
    EXPECT_EQ(view.Read(3, buf, &got), 0);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(view.Read(3, buf, &got), -1);
}

TEST(Base64Test, ViewSizeAndSeekKeepPositions)
{
    const std::string text = "xxYWJj\r\nZGVmZ2g=";  // view starts after "xx"
    MemFile src(text.data(), text.size(), false);
    ASSERT_EQ(src.Seek(2), 0);
    Base64File view(&src, 64, 0);
    char buf[4];
    size_t got = 0;
    ASSERT_EQ(view.Read(2, buf, &got), 0);
    int64_t binPos = src.Tell();
    EXPECT_EQ(view.Size(), 8);
    EXPECT_EQ(src.Tell(), binPos);
    EXPECT_EQ(view.Tell(), 2);
    ASSERT_EQ(view.Read(2, buf, &got), 0);
    EXPECT_EQ(std::string(buf, 2), "cd");
    ASSERT_EQ(view.Seek(5), 0);
    ASSERT_EQ(view.Read(3, buf, &got), 0);
    EXPECT_EQ(std::string(buf, got), "fgh");
    EXPECT_EQ(view.Seek(9), -1);
    ASSERT_EQ(view.Seek(0), 0);
    ASSERT_EQ(view.Read(1, buf, &got), 0);
    EXPECT_EQ(buf[0], 'a');
}

TEST(Base64Test, ViewRespectsCharacterLimit)
{
    const std::string text = "YWJjZGVm";
    MemFile src(text.data(), text.size(), false);
    Base64File view(&src, 64, 4);
    char buf[8];
    size_t got = 0;
    ASSERT_EQ(view.Read(6, buf, &got), 0);
    EXPECT_EQ(std::string(buf, got), "abc");
}

TEST(Base64Test, ViewWritesInOddChunksWithLineBreaks)
{
    std::vector<uint8_t> data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + 1);
    MemFile ref;
    Base64EncodeToFile(data.data(), data.size(), &ref, 64);
    for (size_t chunk : {1u, 2u, 5u, 7u, 64u, 199u}) {
        MemFile out;
        {
            Base64File view(&out, 64, 0);
            for (size_t i = 0; i < data.size(); i += chunk) {
                size_t k = std::min(chunk, data.size() - i);
                ASSERT_EQ(view.Write(k, data.data() + i), 0);
            }
            EXPECT_EQ(view.Size(), 200);
        }
        EXPECT_EQ(Text(out), Text(ref)) << "chunk " << chunk;
    }
}

TEST(Base64Test, StreamRoutinesRoundTrip)
{
    std::vector<uint8_t> data(10000);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    MemFile src(data.data(), data.size(), false);
    MemFile enc;
    long chars = Base64EncodeStream(&src, &enc, 0, 76);
    EXPECT_EQ(chars, static_cast<long>((data.size() + 2) / 3 * 4));
    MemFile ref;
    Base64EncodeToFile(data.data(), data.size(), &ref, 76);
    EXPECT_EQ(Text(enc), Text(ref));
    ASSERT_EQ(src.Seek(0), 0);
    MemFile shortOut;
    EXPECT_EQ(Base64EncodeStream(&src, &shortOut, data.size() + 1, 64), -1);

    ASSERT_EQ(enc.Seek(0), 0);
    MemFile dec;
    size_t consumed = 0;
    EXPECT_EQ(Base64DecodeStream(&enc, &dec, 0, 0, &consumed), static_cast<long>(data.size()));
    EXPECT_EQ(consumed, static_cast<size_t>(enc.Size()));
    EXPECT_EQ(std::vector<uint8_t>(dec.GetData(), dec.GetData() + dec.Size()), data);
}

TEST(Base64Test, RestartAndBoundedStreamRoutines)
{
    const std::string text = "junkYWJjZGVm";
    MemFile src(text.data(), text.size(), false);
    Base64File view(&src, 64, 0);
    ASSERT_EQ(view.Restart(4, 4), 0);  // start after "junk", take 4 characters
    char buf[8];
    size_t got = 0;
    ASSERT_EQ(view.Read(6, buf, &got), 0);
    EXPECT_EQ(std::string(buf, got), "abc");
    EXPECT_EQ(view.Restart(100, 0), -1);

    MemFile src2(text.data() + 4, 8, false);
    MemFile out;
    size_t consumed = 0;
    EXPECT_EQ(Base64DecodeStream(&src2, &out, 4, 0, &consumed), 3);
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(Base64DecodeStream(&src2, &out, 8, 0, &consumed), -1);  // only 4 characters left
    ASSERT_EQ(src2.Seek(0), 0);
    MemFile capped;
    EXPECT_EQ(Base64DecodeToFile("YWJjZGVmZ2hp", 12, &capped, 3), 3);

    const std::string raw = "abcdefgh";
    MemFile in(raw.data(), raw.size(), false);
    MemFile enc;
    EXPECT_EQ(Base64EncodeStream(&in, &enc, 3, 0), 4);
    EXPECT_EQ(Text(enc), "YWJj");
    EXPECT_EQ(in.Tell(), 3);
}

TEST(Base64Test, ViewWritesWithoutLineBreaksAtLineLengthZero)
{
    std::vector<uint8_t> data(100, 0x5A);
    MemFile out;
    {
        Base64File view(&out, 0, 0);
        ASSERT_EQ(view.Write(data.size(), data.data()), 0);
    }
    EXPECT_EQ(Text(out).find('\r'), std::string::npos);
    EXPECT_EQ(Text(out).size(), 136u);
    // A view that has been read from refuses writes.
    MemFile src("YWJj", 4, false);
    Base64File rv(&src, 64, 0);
    char b[2];
    size_t got;
    ASSERT_EQ(rv.Read(1, b, &got), 0);
    EXPECT_EQ(rv.Write(1, "x"), -1);
}

TEST(Base64Test, NonCanonicalInputIsHandled)
{
    uint8_t out[8];
    // Padding only at the end; characters of other alphabets are refused.
    EXPECT_EQ(Base64DecodeText("YWJj", 4, out), 3);
    EXPECT_EQ(Base64DecodeText("YW-j", 4, out), 0);
    EXPECT_EQ(Base64DecodeText("YW_j", 4, out), 0);
    EXPECT_EQ(Base64DecodeText("====", 4, out), 0);
    MemFile src("YQ==YWJj", 8, false);
    Base64File view(&src, 64, 0);
    char buf[8];
    size_t got = 0;
    EXPECT_EQ(view.Read(8, buf, &got), -1);
}

std::string RunBase64Tool(const std::vector<uint8_t>& data, const char* args)
{
    char path[] = "/tmp/mirtal_b64_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    FILE* f = fdopen(fd, "wb");
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    std::string cmd = std::string("base64 ") + args + " " + path;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    if (p)
        pclose(p);
    unlink(path);
    return out;
}

TEST(Base64Test, MatchesCoreutilsForRandomData)
{
    std::mt19937 rng(12345);
    for (size_t len : {0u, 1u, 2u, 3u, 57u, 1000u, 4097u, 20001u}) {
        std::vector<uint8_t> data(len);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        std::string tool = RunBase64Tool(data, "-w 0");
        MemFile mine;
        Base64EncodeToFile(data.data(), data.size(), &mine, 0);
        EXPECT_EQ(Text(mine), tool) << len;

        // coreutils' wrapped output (LF line breaks, 76 columns) decodes back.
        std::string wrapped = RunBase64Tool(data, "-w 76");
        MemFile dec;
        EXPECT_EQ(Base64DecodeToFile(wrapped.data(), wrapped.size(), &dec, 0), static_cast<long>(len));
        EXPECT_EQ(std::vector<uint8_t>(dec.GetData(), dec.GetData() + dec.Size()), data);
        MemFile src(wrapped.data(), wrapped.size(), false);
        Base64File view(&src, 64, 0);
        std::vector<uint8_t> got(len + 10);
        size_t n = 0, total = 0;
        do {
            ASSERT_EQ(view.Read(777, got.data() + total, &n), 0);
            total += n;
        } while (n);
        got.resize(total);
        EXPECT_EQ(got, data);
    }
}

}  // namespace
