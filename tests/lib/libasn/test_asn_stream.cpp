// Resumable decoding (input arriving in pieces) and streamed encoding.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

// Feeds `in` to obj in pieces of the given sizes; returns the result of each call.
std::vector<long> Feed(ASNobject& obj, const std::vector<uint8_t>& in, const std::vector<size_t>& pieces,
                       GenericFile* out = nullptr) {
    std::vector<long> results;
    size_t at = 0;
    for (size_t n : pieces) {
        MemFile mf(in.data() + at, n, false);
        long r = obj.readStreamed(&mf, out);
        results.push_back(r);
        if (r == EASN_MORE) {
            EXPECT_EQ(static_cast<size_t>(mf.Tell()), n) << "more asked, input left";
        }
        at += n;
    }
    return results;
}

// An output stream that records the size of every write.
class RecordingFile : public MemFile {
public:
    int16_t Write(size_t n, const void* data) override {
        sizes.push_back(n);
        return MemFile::Write(n, data);
    }
    std::vector<size_t> sizes;
};

}  // namespace

TEST(AsnStream, OneOctetPerCall) {
    ASNoctstr s;
    std::vector<uint8_t> in = H("04 05 41 42 43 44 45");
    std::vector<long> r = Feed(s, in, {1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(r, (std::vector<long>{-3, -3, -3, -3, -3, -3, 7}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.getData()), s.getLength()), "ABCDE");
    MemFile more(in.data(), in.size(), false);
    EXPECT_EQ(s.readStreamed(&more), 0);  // complete: further calls give 0
    EXPECT_EQ(more.Tell(), 0);
}

TEST(AsnStream, MoreThanFourLengthOctets) {
    ASNoctstr s;
    EXPECT_EQ(Feed(s, H("04 85 01 02 03 04 05 06"), {8}), std::vector<long>{0});
}

TEST(AsnStream, EndOfContentsSplitAcrossPieces) {
    ASNoctstr s;
    std::vector<uint8_t> in = H("24 80 04 02 41 42 00 00");
    std::vector<long> r = Feed(s, in, {7, 1});
    EXPECT_EQ(r, (std::vector<long>{-3, 8}));
    EXPECT_EQ(Hex(s.getData(), s.getLength()), N("41 42"));
    ASNoctstr t;
    EXPECT_EQ(Feed(t, in, {3, 3, 1, 1}), (std::vector<long>{-3, -3, -3, 8}));
    ASNoctstr bad;
    EXPECT_EQ(Feed(bad, H("24 80 04 01 41 00 01"), {7}), std::vector<long>{0});
}

TEST(AsnStream, ConstructedDefiniteAndNested) {
    ASNoctstr s;
    std::vector<uint8_t> in = H("24 0B 04 02 41 42 24 80 04 01 43 00 00 04 00");
    std::vector<size_t> ones(in.size(), 1);
    std::vector<long> r = Feed(s, in, ones);
    EXPECT_EQ(r[12], 13);
    EXPECT_EQ(r[13], 0);  // the trailing 04 00 is not part of it
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.getData()), s.getLength()), "ABC");
    ASNoctstr over;
    EXPECT_EQ(Feed(over, H("24 03 04 05 41 42 43 44 45"), {9}), std::vector<long>{0});
}

TEST(AsnStream, PassThroughDeliversChunksAndKeepsNoValue) {
    std::vector<uint8_t> value(25000);
    for (size_t i = 0; i < value.size(); i++) value[i] = static_cast<uint8_t>(i * 7);
    ASNoctstr src;
    ASSERT_EQ(src.set(value.data(), static_cast<long>(value.size())), 1);
    std::vector<uint8_t> in;
    ASSERT_GT(src.encodeToVector(in), 0);
    ASNoctstr s;
    s.setStreamOutput(true);
    EXPECT_TRUE(s.getStreamOutput());
    RecordingFile out;
    std::vector<long> r = Feed(s, in, {3000, in.size() - 3000}, &out);
    EXPECT_EQ(r, (std::vector<long>{-3, static_cast<long>(in.size())}));
    EXPECT_EQ(s.getLength(), 0);
    ASSERT_EQ(out.Size(), 25000);
    EXPECT_EQ(std::memcmp(out.GetData(), value.data(), value.size()), 0);
    for (size_t n : out.sizes) EXPECT_LE(n, 10000u);
}

TEST(AsnStream, OtherTypesGatherTheirContents) {
    ASNinteger i;
    std::vector<uint8_t> in = H("02 03 01 00 01");
    EXPECT_EQ(Feed(i, in, {2, 2, 1}), (std::vector<long>{-3, -3, 5}));
    EXPECT_EQ(i.getLong(), 65537);
    ASNinteger j;
    EXPECT_EQ(Feed(j, H("04 01 00"), {3}), std::vector<long>{0});
    ASNinteger k;
    EXPECT_EQ(k.readStreamedBuffer(nullptr, 0), EASN_MORE);  // nothing yet
    EXPECT_EQ(k.readStreamedBuffer("\x02\x01\x07", 3), 3);
    EXPECT_EQ(k.getLong(), 7);
}

TEST(AsnStream, DeepStreamedNestingIsRefused) {
    std::vector<uint8_t> in;
    for (int k = 0; k < 5000; k++) {
        in.push_back(0x24);
        in.push_back(0x80);
    }
    ASNoctstr s;
    EXPECT_EQ(Feed(s, in, {in.size()}), std::vector<long>{0});
}

TEST(AsnStream, WriteDefiniteInPieces) {
    ASNoctstr s;
    s.setStreamOutput(true);
    MemFile dst;
    std::vector<uint8_t> a = H("41 42"), b = H("43 44 45");
    MemFile pa(a.data(), a.size(), false), pb(b.data(), b.size(), false);
    EXPECT_EQ(s.writeStreamed(&pa, 5, false, &dst), EASN_MORE);
    EXPECT_EQ(s.writeStreamed(&pb, 5, true, &dst), 7);
    EXPECT_EQ(Hex(dst.GetData(), dst.Size()), N("04 05 41 42 43 44 45"));
    ASNoctstr t;
    t.setStreamOutput(true);
    MemFile d2;
    MemFile pa2(a.data(), a.size(), false);
    EXPECT_EQ(t.writeStreamed(&pa2, 5, true, &d2), 0);  // short on the final piece
}

TEST(AsnStream, WriteIndefiniteAsSegments) {
    ASNoctstr s(0x24);
    s.setStreamOutput(true);
    MemFile dst;
    std::vector<uint8_t> a = H("41 42"), b = H("43");
    MemFile pa(a.data(), a.size(), false), pb(b.data(), b.size(), false), empty(nullptr, 0, false);
    EXPECT_EQ(s.writeStreamed(&pa, -1, false, &dst), EASN_MORE);
    EXPECT_EQ(s.writeStreamed(&pb, -1, false, &dst), EASN_MORE);
    EXPECT_EQ(s.writeStreamed(&empty, -1, true, &dst), 11);
    EXPECT_EQ(Hex(dst.GetData(), dst.Size()), N("24 80 04 02 41 42 04 01 43 00 00"));
    ASNoctstr back;
    EXPECT_EQ(back.readVector(std::vector<uint8_t>(dst.GetData(), dst.GetData() + dst.Size())), 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.getData()), back.getLength()), "ABC");
    ASNoctstr prim;
    prim.setStreamOutput(true);
    MemFile d2;
    MemFile pa2(a.data(), a.size(), false);
    EXPECT_EQ(prim.writeStreamed(&pa2, -1, true, &d2), 0);  // a primitive tag has no indefinite form
}

TEST(AsnStream, WriteWithoutPassThroughIsThePlainEncoding) {
    ASNinteger i;
    i.setValue(300);
    MemFile dst;
    EXPECT_EQ(i.writeStreamed(nullptr, 0, true, &dst), 4);
    EXPECT_EQ(Hex(dst.GetData(), dst.Size()), N("02 02 01 2C"));
}
