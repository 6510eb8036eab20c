#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvcommon/qvwordmem.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

std::vector<int> octets(const QvOctMem& m)
{
    std::vector<int> v;
    for (unsigned int i = 0; i < m.getLength(); ++i)
        v.push_back(m.getConstData()[i]);
    return v;
}

} // namespace

TEST(QvOctMemSizing, SizedBufferRoundsCapacityToPowerOfTwo)
{
    QvOctMem five(5u);
    EXPECT_EQ(five.getLength(), 5u);
    EXPECT_EQ(five.getCapacity(), 8u);
    QvOctMem zero(0u), one(1u), exact(64u), next(65u);
    EXPECT_EQ(zero.getCapacity(), 1u);
    EXPECT_EQ(zero.getLength(), 0u);
    EXPECT_EQ(one.getCapacity(), 1u);
    EXPECT_EQ(exact.getCapacity(), 64u);
    EXPECT_EQ(next.getCapacity(), 128u);
    QvOctMem empty;
    EXPECT_EQ(empty.getLength(), 0u);
    EXPECT_EQ(empty.getCapacity(), 0u);
    EXPECT_EQ(empty.getData(), nullptr);
}

TEST(QvOctMemSizing, ResizeKeepsCapacityOrGrowsWithZeros)
{
    const QvOctet src[5] = {1, 2, 3, 4, 5};
    QvOctMem m(5u);
    for (unsigned int i = 0; i < 5; ++i)
        m[i] = src[i];
    std::fill(m.getData() + 5, m.getData() + 8, 0xEE);
    m.resize(3);
    EXPECT_EQ(m.getCapacity(), 8u);
    EXPECT_EQ(octets(m), (std::vector<int>{1, 2, 3}));
    m.resize(5);
    EXPECT_EQ(octets(m), (std::vector<int>{1, 2, 3, 4, 5}));
    m.resize(12);
    EXPECT_EQ(m.getCapacity(), 12u);
    EXPECT_EQ(m.getLength(), 12u);
    EXPECT_EQ(octets(m), (std::vector<int>{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE, 0, 0, 0, 0}));
}

TEST(QvOctMemContents, HexTextIsReadWithoutChecks)
{
    EXPECT_EQ(octets(QvOctMem("ABC")), (std::vector<int>{0x0A, 0xBC}));
    EXPECT_EQ(QvOctMem("ABC").getCapacity(), 2u);
    EXPECT_EQ(octets(QvOctMem("0a1B")), (std::vector<int>{0x0A, 0x1B}));
    QvOctMem e("");
    EXPECT_EQ(e.getLength(), 0u);
    EXPECT_EQ(e.getCapacity(), 0u);
}

TEST(QvOctMemContents, CopiesInOrderOrReversed)
{
    const QvOctet src[4] = {1, 2, 3, 4};
    EXPECT_EQ(octets(QvOctMem(src, 4, true)), (std::vector<int>{1, 2, 3, 4}));
    QvOctMem r(src, 4, false);
    EXPECT_EQ(octets(r), (std::vector<int>{4, 3, 2, 1}));
    QvOctet out[4] = {};
    EXPECT_EQ(r.getOctets(out, 3, true), 0u);
    EXPECT_EQ(r.getOctets(out, 4, false), 4u);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{1, 2, 3, 4}));
}

TEST(QvOctMemContents, AssignmentKeepsLargerCapacity)
{
    const QvOctet src[3] = {9, 8, 7};
    QvOctMem big(20u);
    QvOctMem small(src, 3);
    big = small;
    EXPECT_EQ(big.getCapacity(), 32u);
    EXPECT_EQ(big.getLength(), 3u);
    EXPECT_TRUE(big == small);
    QvOctMem tiny(src, 1);
    tiny = big;
    EXPECT_EQ(tiny.getCapacity(), 3u);
    EXPECT_EQ(octets(tiny), (std::vector<int>{9, 8, 7}));
    QvOctMem copy(big);
    EXPECT_EQ(copy.getCapacity(), 3u);
    EXPECT_TRUE(copy == big);
    EXPECT_TRUE(QvOctMem() == QvOctMem(0u));
    EXPECT_FALSE(copy == QvOctMem(src, 2));
}

TEST(QvOctMemAccess, EmptyBufferThrowsNotInit)
{
    QvOctMem m;
    EXPECT_EQ(thrownText<QvNotInitException>([&] { m[0]; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: Access to uninitialised bufer.\n"
              "FUNCTION: QvOctet& QvOctMem::operator [](int i)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 230\n");
    EXPECT_EQ(thrownText<QvNotInitException>([&] { m[0u]; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: Access to uninitialised bufer.\n"
              "FUNCTION: QvOctet& QvOctMem::operator [](unsigned int i)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 250\n");
    EXPECT_EQ(thrownText<QvNotInitException>([&] { (void)(m + 0u); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: Access to uninitialised buffer.\n"
              "FUNCTION: QvOctet* QvOctMem::operator +(unsigned int offset)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 314\n");
    QvOctMem sizedEmpty(0u); // storage allocated, but nothing in use
    EXPECT_THROW(sizedEmpty[0u], QvNotInitException);
}

TEST(QvOctMemAccess, IndexAtLengthThrowsAccess)
{
    QvOctMem m(5u);
    EXPECT_EQ(thrownText<QvAccessException>([&] { m[5]; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: To large index\n"
              "FUNCTION: QvOctet& QvOctMem::operator [](int i)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 237\n");
    EXPECT_EQ(thrownText<QvAccessException>([&] { m[5u]; }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: To large index.\n"
              "FUNCTION: QvOctet& QvOctMem::operator [](unsigned int i)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 257\n");
    EXPECT_EQ(thrownText<QvAccessException>([&] { (void)(m + 5u); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: To large index.\n"
              "FUNCTION: QvOctet* QvOctMem::operator +(unsigned int offset)\n"
              "FILE: qvcommon/qvoctmem\nLINE: 321\n");
    EXPECT_NO_THROW(m[4]);
    EXPECT_EQ(m + 4u, m.getData() + 4);
}

TEST(QvOctMemAccess, NegativeIndexThrowsAccess)
{
    QvOctMem m(5u);
    EXPECT_THROW(m[-1], QvAccessException);
    EXPECT_THROW(m[-2147483647 - 1], QvAccessException);
    const QvOctMem& c = m;
    EXPECT_THROW(c[-1], QvAccessException);
}

TEST(QvWordMemContents, BigEndianOctetsBecomeLittleEndianWords)
{
    const QvOctet src[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
    QvWordMem w(src, 5, true);
    ASSERT_EQ(w.getLength(), 2u);
    EXPECT_EQ(w.getConstData()[0], 0x02030405u);
    EXPECT_EQ(w.getConstData()[1], 0x01u);
    QvOctet out[5] = {};
    EXPECT_EQ(w.asOctets(out, 5, true), 5u);
    EXPECT_EQ(std::vector<int>(out, out + 5), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(QvWordMemContents, LittleEndianPackingAndOutput)
{
    const QvOctet src[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    QvWordMem w(src, 6, false);
    ASSERT_EQ(w.getLength(), 2u);
    EXPECT_EQ(w.getConstData()[0], 0x44332211u);
    EXPECT_EQ(w.getConstData()[1], 0x00006655u);
    QvOctet out[10];
    std::fill(out, out + 10, 0xAA);
    EXPECT_EQ(w.asOctets(out, 10, false), 8u);
    EXPECT_EQ(std::vector<int>(out, out + 10),
              (std::vector<int>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0, 0xAA, 0xAA}));
    std::fill(out, out + 10, 0xAA);
    EXPECT_EQ(w.asOctets(out, 10, true), 8u); // leading octets untouched
    EXPECT_EQ(std::vector<int>(out, out + 10),
              (std::vector<int>{0xAA, 0xAA, 0, 0, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(w.asOctets(out, 3, true), 3u);
    EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{0x33, 0x22, 0x11}));
    EXPECT_EQ(w.asOctets(out, 0, true), 0u);
    EXPECT_EQ(QvWordMem().asOctets(out, 4, false), 0u);
}

TEST(QvWordMemContents, WordsCopiedInOrderOrReversed)
{
    const QvWord src[3] = {1, 2, 3};
    QvWordMem a(src, 3, false), b(src, 3, true);
    EXPECT_EQ(a.getConstData()[0], 1u);
    EXPECT_EQ(b.getConstData()[0], 3u);
    EXPECT_EQ(b.getConstData()[2], 1u);
    b = QvWordMem(src, 1, false);
    EXPECT_EQ(b.getLength(), 1u);
    QvWordMem c(a);
    EXPECT_EQ(c.getLength(), 3u);
    EXPECT_EQ(c.getConstData()[2], 3u);
    c.resize(2);
    EXPECT_EQ(c.getLength(), 3u);
    c.resize(5);
    EXPECT_EQ(c.getLength(), 5u);
    EXPECT_EQ(c.getConstData()[2], 3u);
    EXPECT_EQ(c.getConstData()[4], 0u);
}

TEST(QvWordMemAccess, ChecksOffsetsAndCopyLength)
{
    QvWordMem empty;
    EXPECT_EQ(thrownText<QvNotInitException>([&] { (void)(empty + 0u); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: Access to uninitialised buffer.\n"
              "FUNCTION: QvWord* QvWordMem::operator +(unsigned int offset)\n"
              "FILE: qvcommon/qvwordmem\nLINE: 290\n");
    QvWordMem w(3u);
    EXPECT_EQ(thrownText<QvAccessException>([&] { (void)(w + 3u); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvAccessException\n"
              "REASON: To large index.\n"
              "FUNCTION: QvWord* QvWordMem::operator +(unsigned int offset)\n"
              "FILE: qvcommon/qvwordmem\nLINE: 297\n");
    EXPECT_EQ(w + 2u, w.getData() + 2);
    QvWordMem dst;
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { copy(dst, w, 4); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Source argument is to large.\n"
              "FUNCTION: void copy(QvWordMem &dst, const QvWordMem &src, unsigned int n)\n"
              "FILE: qvcommon/qvwordmem\nLINE: 322\n");
    EXPECT_EQ(dst.getLength(), 0u);
}

TEST(QvWordMemContents, CopyGrowsDestinationAndKeepsTail)
{
    const QvWord s[3] = {7, 8, 9};
    const QvWord d[5] = {1, 1, 1, 1, 5};
    QvWordMem src(s, 3, false), dst(d, 5, false);
    copy(dst, src, 2);
    EXPECT_EQ(dst.getLength(), 5u);
    EXPECT_EQ(std::vector<QvWord>(dst.getConstData(), dst.getConstData() + 5),
              (std::vector<QvWord>{7, 8, 1, 1, 5}));
    QvWordMem small;
    copy(small, src, 3);
    EXPECT_EQ(small.getLength(), 3u);
    EXPECT_EQ(small.getConstData()[2], 9u);
}
