// BER-TLV and compact-TLV helpers, with hostile lengths.
#include <gtest/gtest.h>

#include <vector>

#include "support/tlv.h"

namespace {

std::vector<uint8_t> V(std::initializer_list<int> l)
{
    std::vector<uint8_t> v;
    for (int x : l)
        v.push_back(static_cast<uint8_t>(x));
    return v;
}

TEST(TlvTest, ParseLengthForms)
{
    uint64_t l = 0;
    auto a = V({0x82, 0x00, 0x05});
    EXPECT_EQ(TlvParseLength(a.data(), a.size(), &l), 3u);
    EXPECT_EQ(l, 5u);
    auto b = V({0x85, 0x01, 0x02, 0x03, 0x04, 0x05});
    EXPECT_EQ(TlvParseLength(b.data(), b.size(), &l), 0u);
    auto c = V({0x85, 0x00, 0x01, 0x02, 0x03, 0x04});  // leading zero: four significant bytes
    EXPECT_EQ(TlvParseLength(c.data(), c.size(), &l), 6u);
    EXPECT_EQ(l, 0x01020304u);
    auto d = V({0x80});
    EXPECT_EQ(TlvParseLength(d.data(), d.size(), &l), 1u);
    EXPECT_EQ(l, TLV_INDEFINITE);
    auto e = V({0x84, 0x01, 0x02});  // cut off
    EXPECT_EQ(TlvParseLength(e.data(), e.size(), &l), 0u);
    auto f = V({0x81, 0x00});
    EXPECT_EQ(TlvParseLength(f.data(), f.size(), &l), 2u);
    EXPECT_EQ(l, 0u);
    EXPECT_EQ(TlvParseLength(nullptr, 0, &l), 0u);
}

TEST(TlvTest, ParseTagForms)
{
    uint64_t t = 0;
    auto a = V({0x5F, 0x20});
    EXPECT_EQ(TlvParseTag(a.data(), a.size(), &t), 2u);
    EXPECT_EQ(t, 0x5F20u);
    auto b = V({0x9F, 0x81, 0x82, 0x03});
    EXPECT_EQ(TlvParseTag(b.data(), b.size(), &t), 4u);
    EXPECT_EQ(t, 0x9F818203u);
    auto tooLong = V({0x9F, 0x81, 0x82, 0x83, 0x04});
    EXPECT_EQ(TlvParseTag(tooLong.data(), tooLong.size(), &t), 0u);
    auto cut = V({0x9F, 0x81});
    EXPECT_EQ(TlvParseTag(cut.data(), cut.size(), &t), 0u);
    auto zero = V({0x00});
    EXPECT_EQ(TlvParseTag(zero.data(), zero.size(), &t), 0u);
}

TEST(TlvTest, MakeTagIsMinimal)
{
    EXPECT_EQ(TlvMakeTag(30, 0, true), 0x3Eu);
    EXPECT_EQ(TlvMakeTag(31, 1, false), 0x5F1Fu);
    EXPECT_EQ(TlvMakeTag(127, 2, false), 0x9F7Fu);
    EXPECT_EQ(TlvMakeTag(128, 2, false), 0x9F8100u);
    EXPECT_EQ(TlvMakeTag(16383, 2, false), 0x9FFF7Fu);
    EXPECT_EQ(TlvMakeTag(16384, 2, false), 0x9F818000u);
    EXPECT_EQ(TlvMakeTag(2097151, 3, true), 0xFFFFFF7Fu);
    EXPECT_EQ(TlvMakeTag(2097152, 0, false), 0u);
    for (uint64_t n : {0u, 5u, 30u, 31u, 127u, 128u, 200u, 16383u, 16384u, 2097151u}) {
        uint64_t tag = TlvMakeTag(n, 2, true);
        EXPECT_EQ(TlvTagNumber(tag), n);
        EXPECT_EQ(TlvTagClass(tag), 2u);
        EXPECT_TRUE(TlvIsConstructed(tag));
        uint8_t buf[4];
        size_t sz = TlvEncodeTag(tag, buf, 4);
        ASSERT_GT(sz, 0u);
        uint64_t back = 0;
        EXPECT_EQ(TlvParseTag(buf, sz, &back), sz);
        EXPECT_EQ(back, tag);
    }
}

TEST(TlvTest, EncodeTagRefusesMalformedTags)
{
    uint8_t out[4];
    EXPECT_EQ(TlvEncodeTag(0x1F, out, 4), 0u);      // one byte ending in 11111
    EXPECT_EQ(TlvEncodeTag(0x5E20, out, 4), 0u);    // multi-byte without 11111
    EXPECT_EQ(TlvEncodeTag(0x5F8120, out, 4), 3u);  // middle set, last clear: valid
    EXPECT_EQ(TlvEncodeTag(0x5F2081, out, 4), 0u);  // middle clear
    EXPECT_EQ(TlvEncodeTag(0x5F81, out, 4), 0u);    // last with bit 8 set
    EXPECT_EQ(TlvEncodeTag(0x5F20, out, 1), 0u);
    EXPECT_EQ(TlvEncodeTag(0x5F20, nullptr, 0), 2u);
    EXPECT_EQ(TlvEncodeTag(0x1F8181818101ull, out, 4), 0u);
}

TEST(TlvTest, EncodeLengthAndHeader)
{
    uint8_t out[8];
    EXPECT_EQ(TlvEncodeLength(TLV_INDEFINITE, out, 8), 1u);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(TlvEncodeLength(127, out, 8), 1u);
    EXPECT_EQ(TlvEncodeLength(128, out, 8), 2u);
    EXPECT_EQ(V({out[0], out[1]}), V({0x81, 0x80}));
    EXPECT_EQ(TlvEncodeLength(0x10000, out, 8), 4u);
    EXPECT_EQ(V({out[0], out[1], out[2], out[3]}), V({0x83, 0x01, 0x00, 0x00}));
    EXPECT_EQ(TlvEncodeLength(0x1000000, out, 8), 5u);
    EXPECT_EQ(out[0], 0x84);
    EXPECT_EQ(TlvEncodeLength(0x100000000ull, out, 8), 0u);
    EXPECT_EQ(TlvEncodeLength(300, out, 2), 0u);
    EXPECT_EQ(TlvHeaderSize(0x5F20, 300), 5u);
    EXPECT_EQ(TlvTotalSize(0x5F20, 300), 305u);
    EXPECT_EQ(TlvTotalSize(0x30, TLV_INDEFINITE), 2u);
    EXPECT_EQ(TlvEncodeHeader(0x5F20, 3, out, 8), 3u);
    EXPECT_EQ(V({out[0], out[1], out[2]}), V({0x5F, 0x20, 0x03}));
    uint8_t built[8];
    const uint8_t val[] = {1, 2, 3};
    EXPECT_EQ(TlvBuild(0x04, val, 3, built, 8), 5u);
    EXPECT_EQ(V({built[0], built[1], built[2], built[3], built[4]}), V({0x04, 0x03, 1, 2, 3}));
    EXPECT_EQ(TlvBuild(0x04, val, 3, built, 4), 0u);
    EXPECT_EQ(TlvBuild(0x04, val, 3, nullptr, 0), 5u);
    EXPECT_EQ(TlvBuild(0x04, nullptr, 3, built, 8), 0u);
    EXPECT_EQ(TlvBuild(0x24, val, TLV_INDEFINITE, built, 8), 0u);
}

TEST(TlvTest, HostileLengthsAreRefused)
{
    uint64_t tag = 0, vl = 0;
    size_t h = 0, eoc = 0;
    // Truncated: claims 5 bytes, holds 3.
    auto trunc = V({0x04, 0x05, 1, 2, 3});
    EXPECT_EQ(TlvParse(trunc.data(), trunc.size(), &tag, &h, &vl, &eoc), 0u);
    // Over-long: four-byte length near 4 GiB.
    auto huge = V({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2});
    EXPECT_EQ(TlvParse(huge.data(), huge.size(), &tag, &h, &vl, &eoc), 0u);
    // More length bytes than allowed.
    auto wide = V({0x04, 0x88, 0, 0, 0, 1, 0, 0, 0, 0});
    EXPECT_EQ(TlvParse(wide.data(), wide.size(), &tag, &h, &vl, &eoc), 0u);
    // Indefinite on a primitive tag.
    auto primInd = V({0x04, 0x80, 1, 0, 0});
    EXPECT_EQ(TlvParse(primInd.data(), primInd.size(), &tag, &h, &vl, &eoc), 0u);
    // Indefinite without its end mark.
    auto noEoc = V({0x30, 0x80, 0x04, 0x01, 0xAA});
    EXPECT_EQ(TlvParse(noEoc.data(), noEoc.size(), &tag, &h, &vl, &eoc), 0u);
    // Indefinite whose nested element overruns.
    auto nestedOver = V({0x30, 0x80, 0x04, 0x09, 0xAA, 0x00, 0x00});
    EXPECT_EQ(TlvParse(nestedOver.data(), nestedOver.size(), &tag, &h, &vl, &eoc), 0u);
    // Header only.
    auto hdr = V({0x30});
    EXPECT_EQ(TlvParse(hdr.data(), hdr.size(), &tag, &h, &vl, &eoc), 0u);
    EXPECT_EQ(TlvParse(nullptr, 10, &tag, &h, &vl, &eoc), 0u);
}

TEST(TlvTest, IndefiniteLengthsAndDepthLimit)
{
    // 30 80 | 31 80 | 04 01 AA | 00 00 | 00 00
    auto two = V({0x30, 0x80, 0x31, 0x80, 0x04, 0x01, 0xAA, 0x00, 0x00, 0x00, 0x00});
    uint64_t tag = 0, vl = 0;
    size_t h = 0, eoc = 0;
    EXPECT_EQ(TlvParseEx(two.data(), two.size(), &tag, &h, &vl, &eoc, 1), 11u);
    EXPECT_EQ(tag, 0x30u);
    EXPECT_EQ(h, 2u);
    EXPECT_EQ(vl, 7u);
    EXPECT_EQ(eoc, 2u);
    EXPECT_EQ(TlvParseEx(two.data(), two.size(), &tag, &h, &vl, &eoc, 0), 0u);
    // Thousands of nested indefinite elements: refused by the depth limit, no stack exhaustion.
    std::vector<uint8_t> deep;
    for (int i = 0; i < 5000; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    for (int i = 0; i < 5000; ++i) {
        deep.push_back(0);
        deep.push_back(0);
    }
    EXPECT_EQ(TlvParse(deep.data(), deep.size(), &tag, &h, &vl, &eoc), 0u);
    EXPECT_EQ(TlvParseEx(deep.data(), deep.size(), &tag, &h, &vl, &eoc, 1 << 30), 0u);
    EXPECT_EQ(TlvFindTag(deep.data(), deep.size(), 0x04, &h, &vl, &eoc, 1 << 30), nullptr);
}

TEST(TlvTest, FindTagHonoursDepth)
{
    // 70 08 | 71 06 | 5F 20 03 'a' 'b' 'c'  (5F20 two levels down)
    auto d = V({0x70, 0x08, 0x71, 0x06, 0x5F, 0x20, 0x02, 'a', 'b', 0x9A, 0x00});
    d[1] = 0x09;
    d[3] = 0x05;
    size_t h = 0, eoc = 0;
    uint64_t vl = 0;
    const uint8_t* r = TlvFindTag(d.data(), 11, 0x5F20, &h, &vl, &eoc, 2);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, d.data() + 4);
    EXPECT_EQ(vl, 2u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(TlvFindTag(d.data(), 11, 0x5F20, &h, &vl, &eoc, 1), nullptr);
    // The constructed bit is not compared.
    EXPECT_EQ(TlvFindTag(d.data(), 11, 0x51, &h, &vl, &eoc, 1), d.data() + 2);
    EXPECT_EQ(TlvFindTag(d.data(), 11, 0x99, &h, &vl, &eoc, 5), nullptr);
}

TEST(TlvTest, IntegerAndBitString)
{
    auto i = V({0x02, 0x03, 0x00, 0x00, 0x05});
    const uint8_t* v = nullptr;
    uint64_t vl = 0;
    EXPECT_EQ(TlvParseInteger(i.data(), i.size(), nullptr, &v, &vl), 5u);
    EXPECT_EQ(vl, 1u);
    EXPECT_EQ(v[0], 5);
    auto z = V({0x02, 0x02, 0x00, 0x00});
    EXPECT_EQ(TlvParseInteger(z.data(), z.size(), nullptr, &v, &vl), 4u);
    EXPECT_EQ(vl, 1u);
    auto notInt = V({0x04, 0x01, 0x05});
    EXPECT_EQ(TlvParseInteger(notInt.data(), notInt.size(), nullptr, &v, &vl), 0u);
    uint64_t tag = 0;
    EXPECT_EQ(TlvParseInteger(notInt.data(), notInt.size(), &tag, &v, &vl), 3u);
    EXPECT_EQ(tag, 0x04u);
    auto cons = V({0x22, 0x03, 0x02, 0x01, 0x05});
    EXPECT_EQ(TlvParseInteger(cons.data(), cons.size(), &tag, &v, &vl), 0u);
    auto empty = V({0x02, 0x00});
    EXPECT_EQ(TlvParseInteger(empty.data(), empty.size(), nullptr, &v, &vl), 0u);

    auto bs = V({0x03, 0x03, 0x04, 0xAB, 0xC0});
    uint8_t unused = 99;
    EXPECT_EQ(TlvParseBitString(bs.data(), bs.size(), nullptr, &v, &vl, &unused), 5u);
    EXPECT_EQ(unused, 4);
    EXPECT_EQ(vl, 2u);
    EXPECT_EQ(v[0], 0xAB);
    EXPECT_EQ(TlvParseBitString(bs.data(), bs.size(), nullptr, &v, &vl, nullptr), 0u);
    auto bad = V({0x03, 0x02, 0x08, 0xAB});
    EXPECT_EQ(TlvParseBitString(bad.data(), bad.size(), nullptr, &v, &vl, &unused), 0u);
    auto noBits = V({0x03, 0x00});
    EXPECT_EQ(TlvParseBitString(noBits.data(), noBits.size(), nullptr, &v, &vl, &unused), 0u);
}

TEST(TlvTest, CopyValueReportsNeededSizeWithItsOwnCode)
{
    auto prim = V({0x04, 0x03, 'a', 'b', 'c'});
    uint8_t out[8];
    uint64_t outLen = 2;
    uint64_t tag = 0;
    EXPECT_EQ(TlvCopyValue(prim.data(), prim.size(), &tag, out, &outLen, 20), TLV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLen, 3u);
    outLen = 8;
    EXPECT_EQ(TlvCopyValue(prim.data(), prim.size(), &tag, out, &outLen, 20), 5);
    EXPECT_EQ(outLen, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
    EXPECT_EQ(TlvCopyValue(prim.data(), prim.size(), &tag, nullptr, nullptr, 20), 5);
    // A one-byte element is told apart from a too-small buffer.
    auto one = V({0x04, 0x00});
    outLen = 0;
    EXPECT_EQ(TlvCopyValue(one.data(), one.size(), &tag, out, &outLen, 20), 2);

    // Constructed: 24 80 | 04 02 'a' 'b' | 24 03 | 04 01 'c' | 00 00
    auto cons = V({0x24, 0x80, 0x04, 0x02, 'a', 'b', 0x24, 0x03, 0x04, 0x01, 'c', 0x00, 0x00});
    outLen = 8;
    EXPECT_EQ(TlvCopyValueThunk(cons.data(), cons.size(), &tag, out, &outLen), 13);
    EXPECT_EQ(outLen, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
    outLen = 1;
    EXPECT_EQ(TlvCopyValueThunk(cons.data(), cons.size(), &tag, out, &outLen), TLV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLen, 3u);
    outLen = 8;
    EXPECT_EQ(TlvCopyValue(cons.data(), cons.size(), &tag, out, &outLen, 0), 0);
    // Nested element of another number is refused.
    auto mixed = V({0x24, 0x03, 0x05, 0x01, 'x'});
    EXPECT_EQ(TlvCopyValueThunk(mixed.data(), mixed.size(), &tag, out, &outLen), 0);
}

TEST(TlvTest, CompactTlv)
{
    auto h = V({0x31, 0x80, 0x73, 0x01, 0x02, 0x03});
    uint8_t l = 0;
    const uint8_t* v = CompactTlvFind(h.data(), h.size(), 3, &l);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(v[0], 0x80);
    v = CompactTlvFind(h.data(), h.size(), 7, &l);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(l, 3);
    EXPECT_EQ(CompactTlvFind(h.data(), h.size(), 5, &l), nullptr);
    EXPECT_EQ(CompactTlvFind(h.data(), 5, 7, &l), nullptr);  // runs past the end
    auto z = V({0x00, 0x31, 0x80});
    EXPECT_EQ(CompactTlvFind(z.data(), z.size(), 3, &l), nullptr);
    uint8_t out[4];
    EXPECT_EQ(CompactTlvEncodeHeader(4, 2, out, 4), 1);
    EXPECT_EQ(out[0], 0x42);
    EXPECT_EQ(CompactTlvEncodeHeader(0, 2, out, 4), 0);
    EXPECT_EQ(CompactTlvEncodeHeader(4, 16, out, 4), 0);
    EXPECT_EQ(CompactTlvEncodeHeader(4, 2, nullptr, 0), 1);
    EXPECT_EQ(CompactTlvEncodeHeader(4, 2, out, 0), 0);
    const uint8_t val[] = {9, 8};
    EXPECT_EQ(CompactTlvBuild(4, val, 2, out, 4), 3u);
    EXPECT_EQ(V({out[0], out[1], out[2]}), V({0x42, 9, 8}));
    EXPECT_EQ(CompactTlvBuild(4, val, 2, out, 2), 0u);
    EXPECT_EQ(CompactTlvInterindustryTag(3), 0x43);
    EXPECT_EQ(CompactTlvInterindustryTag(16), 0);
    uint8_t tag = 0;
    const uint8_t* pv = nullptr;
    EXPECT_EQ(CompactTlvParseValue(h.data(), 1, &tag, &pv, &l), 0);
    EXPECT_EQ(CompactTlvParseValue(h.data(), 2, &tag, &pv, &l), 2);
}

}  // namespace
