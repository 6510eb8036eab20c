// Elementary word-array operations: carries, comparisons, positions, shifts.
#include <gtest/gtest.h>

#include "tests/libtorvapp/numbers/words.h"

TEST(LongvElementary, AddAndSubOfZeroWordsReturnTheIncomingCarry) {
    QvWord a[1] = {5}, b[1] = {7};
    EXPECT_EQ(longvAdd(a, b, 0, 1), 1u);
    EXPECT_EQ(longvAdd(a, b, 0, 0), 0u);
    EXPECT_EQ(longvSub(a, b, 0, 1), 1u);
    EXPECT_EQ(longvInc(a, 0), 1u);
    EXPECT_EQ(longvDec(a, 0), 1u);
    EXPECT_EQ(a[0], 5u);
}

TEST(LongvElementary, CarryRunsThroughAllOnesWords) {
    Words a = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    Words b = {1, 0, 0};
    EXPECT_EQ(longvAdd(a.data(), b.data(), 3, 0), 1u);
    EXPECT_EQ(a, (Words{0, 0, 0}));
    EXPECT_EQ(longvSub(a.data(), b.data(), 3, 0), 1u);
    EXPECT_EQ(a, (Words{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}));
    // Odd length: the last word is handled alone.
    Words c = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    Words d = {0, 0, 0, 0, 0};
    EXPECT_EQ(longvAdd(c.data(), d.data(), 5, 1), 1u);
    EXPECT_EQ(c, Words(5, 0));
    EXPECT_EQ(longvSub(c.data(), d.data(), 5, 1), 1u);
    EXPECT_EQ(c, Words(5, 0xFFFFFFFF));
}

TEST(LongvElementary, ExtendedAddPropagatesIntoTheLongerOperand) {
    Words a = {0xFFFFFFFF, 0xFFFFFFFF, 7};
    Words b = {1};
    EXPECT_EQ(longvAddExt(a.data(), 3, b.data(), 1, 0), 0u);
    EXPECT_EQ(a, (Words{0, 0, 8}));
    EXPECT_EQ(longvSubExt(a.data(), 3, b.data(), 1, 0), 0u);
    EXPECT_EQ(a, (Words{0xFFFFFFFF, 0xFFFFFFFF, 7}));
    Words z = {0, 0};
    EXPECT_EQ(longvSubExt(z.data(), 2, b.data(), 1, 0), 1u);
    EXPECT_EQ(z, (Words{0xFFFFFFFF, 0xFFFFFFFF}));
}

TEST(LongvElementary, ThreeOperandFormsZeroExtendTheResult) {
    Words a = {0xFFFFFFFF, 0xFFFFFFFF}, b = {1};
    Words r(4, 0xAAAAAAAA);
    // The sum runs over the longer operand's length; its carry is returned.
    EXPECT_EQ(longvAdd3(b.data(), 1, a.data(), 2, 0, r.data(), 4), 1u);
    EXPECT_EQ(r, (Words{0, 0, 0, 0}));
    Words r2(3, 0xAAAAAAAA);
    EXPECT_EQ(longvAdd3(a.data(), 2, b.data(), 1, 0, r2.data(), 2), 1u);
    Words s(3, 0x55555555);
    EXPECT_EQ(longvSub3(a.data(), 2, b.data(), 1, 0, s.data(), 3), 0u);
    EXPECT_EQ(s, (Words{0xFFFFFFFE, 0xFFFFFFFF, 0}));
    // A shorter minuend is subtracted over the longer length: 1 - (B^2 - 1) borrows.
    Words t(2, 0);
    EXPECT_EQ(longvSub3(b.data(), 1, a.data(), 2, 0, t.data(), 2), 1u);
    EXPECT_EQ(t, (Words{2, 0}));
}

TEST(LongvElementary, SingleWordAddAndSubPropagate) {
    Words a = {0xFFFFFFFF, 0xFFFFFFFF, 1};
    EXPECT_EQ(longvAddWord(a.data(), 3, 1), 0u);
    EXPECT_EQ(a, (Words{0, 0, 2}));
    EXPECT_EQ(longvSubWord(a.data(), 3, 1), 0u);
    EXPECT_EQ(a, (Words{0xFFFFFFFF, 0xFFFFFFFF, 1}));
    Words z = {0, 0};
    EXPECT_EQ(longvSubWord(z.data(), 2, 3), 1u);
    EXPECT_EQ(z, (Words{0xFFFFFFFD, 0xFFFFFFFF}));
    Words o = {0xFFFFFFFF};
    EXPECT_EQ(longvAddWord(o.data(), 1, 2), 1u);
    EXPECT_EQ(o[0], 1u);
}

TEST(LongvElementary, CompareFromTheTopWord) {
    Words a = {1, 2, 3}, b = {1, 2, 3}, c = {9, 1, 3};
    EXPECT_EQ(longvCmp(a.data(), b.data(), 3), 0);
    EXPECT_EQ(longvCmp(a.data(), c.data(), 3), 1);
    EXPECT_EQ(longvCmp(c.data(), a.data(), 3), -1);
    // A 3-word a with a zero top word against a 2-word b: the low words decide.
    Words a3 = {5, 6, 0}, b2 = {5, 7};
    EXPECT_EQ(longvCmpExt(a3.data(), 3, b2.data(), 2), -1);
    EXPECT_EQ(longvCmpExt(b2.data(), 2, a3.data(), 3), 1);
    Words a4 = {0, 0, 1};
    EXPECT_EQ(longvCmpExt(a4.data(), 3, b2.data(), 2), 1);
    EXPECT_EQ(longvCmpExt(b2.data(), 2, a4.data(), 3), -1);
    Words e = {5, 7, 0, 0};
    EXPECT_EQ(longvCmpExt(e.data(), 4, b2.data(), 2), 0);
}

TEST(LongvElementary, ZeroAndOneTests) {
    Words z = {0, 0}, one = {1, 0}, two = {1, 1};
    EXPECT_EQ(longvIsZero(z.data(), 2), 1);
    EXPECT_EQ(longvIsZero(z.data(), 0), 1);
    EXPECT_EQ(longvIsZero(one.data(), 2), 0);
    EXPECT_EQ(longvIsOne(one.data(), 2), 1);
    EXPECT_EQ(longvIsOne(two.data(), 2), 0);
    EXPECT_EQ(longvIsOne(z.data(), 2), 0);
}

TEST(LongvElementary, CopySetSwapAndWipe) {
    Words a = {1, 2, 3, 4, 5, 0};
    // Overlapping copy upwards: the top-down order keeps it correct.
    longvCopy(a.data() + 1, a.data(), 5);
    EXPECT_EQ(a, (Words{1, 1, 2, 3, 4, 5}));
    Words d(4, 9);
    longvCopyExtend(d.data(), 4, a.data() + 2, 2);
    EXPECT_EQ(d, (Words{2, 3, 0, 0}));
    longvCopyExtend(d.data(), 2, a.data(), 6);
    EXPECT_EQ(d, (Words{1, 1, 0, 0}));
    longvSetWord(d.data(), 4, 7);
    EXPECT_EQ(d, (Words{7, 0, 0, 0}));
    Words x = {1, 2}, y = {3, 4};
    longvSwap(x.data(), y.data(), 2);
    EXPECT_EQ(x, (Words{3, 4}));
    EXPECT_EQ(y, (Words{1, 2}));
    longvWipe(2, x.data(), (QvWordLen)2, y.data(), (QvWordLen)1);
    EXPECT_EQ(x, (Words{0, 0}));
    EXPECT_EQ(y, (Words{0, 2}));
}

TEST(LongvPositions, TopBitAndTopWord) {
    Words z = {0, 0, 0};
    EXPECT_EQ(longvTopBit(z.data(), 3), -1);
    EXPECT_EQ(longvTopWord(z.data(), 3), 0);
    Words one = {1, 0};
    EXPECT_EQ(longvTopBit(one.data(), 2), 0);
    Words p63 = {0, 0x80000000};
    EXPECT_EQ(longvTopBit(p63.data(), 2), 63);
    EXPECT_EQ(longvTopWord(p63.data(), 2), 1);
    Words w = {0, 0, 0x10, 0};
    EXPECT_EQ(longvTopBit(w.data(), 4), 68);
    EXPECT_EQ(longvTopWord(w.data(), 4), 2);
}

TEST(LongvShifts, WholeWordShiftsAtAndPastTheLength) {
    Words a = {1, 2, 3};
    longvShrWords(a.data(), 3, 1);
    EXPECT_EQ(a, (Words{2, 3, 0}));
    longvShlWords(a.data(), 3, 2);
    EXPECT_EQ(a, (Words{0, 0, 2}));
    Words b = {1, 2, 3};
    longvShrWords(b.data(), 3, 4);  // past the length: unchanged
    EXPECT_EQ(b, (Words{1, 2, 3}));
    longvShlWords(b.data(), 3, 4);
    EXPECT_EQ(b, (Words{1, 2, 3}));
    longvShrWords(b.data(), 3, 3);  // exactly the length: cleared
    EXPECT_EQ(b, Words(3, 0));
    Words c = {1, 2, 3};
    longvShlWords(c.data(), 3, 3);
    EXPECT_EQ(c, Words(3, 0));
}

TEST(LongvShifts, ShiftRightBy40MovesOneWordAndEightBits) {
    Words a = {0x11223344, 0x55667788, 0x99AABBCC};
    QvWord out = longvShrBits(a.data(), 3, 40);
    EXPECT_EQ(a, (Words{0xCC556677, 0x0099AABB, 0}));
    EXPECT_EQ(out, 0x88000000u);  // the 8 bits that left word 0, in the top byte
}

TEST(LongvShifts, ReturnedBitsForWholeWordAndZeroShifts) {
    Words a = {0x11223344, 0x55667788, 0x99AABBCC};
    Words b = a;
    EXPECT_EQ(longvShrBits(b.data(), 3, 0), 0u);
    EXPECT_EQ(b, a);
    EXPECT_EQ(longvShrBits(b.data(), 3, 64), 0x55667788u);  // highest word shifted out
    EXPECT_EQ(b, (Words{0x99AABBCC, 0, 0}));
    b = a;
    EXPECT_EQ(longvShlBits(b.data(), 3, 64), 0x55667788u);  // lowest word shifted out
    EXPECT_EQ(b, (Words{0, 0, 0x11223344}));
    b = a;
    EXPECT_EQ(longvShlBits(b.data(), 3, 4), 0x9u);
    EXPECT_EQ(b, (Words{0x12233440, 0x56677881, 0x9AABBCC5}));
    b = a;
    EXPECT_EQ(longvShrBits(b.data(), 3, 96), 0x99AABBCCu);
    EXPECT_EQ(b, Words(3, 0));
    EXPECT_EQ(longvShrBits(b.data(), 0, 5), 0u);
}

TEST(LongvShifts, OneBitAndOctetShifts) {
    Words a = {0x80000001, 0x80000000};
    longvShl1(a.data(), 2);
    EXPECT_EQ(a, (Words{2, 1}));  // the top bit is lost
    longvShr1(a.data(), 2);
    EXPECT_EQ(a, (Words{0x80000001, 0}));
    Words b = {0x11223344, 0x55667788};
    EXPECT_EQ(longvShrOctets(b.data(), 2, 1), 0x44000000u);
    EXPECT_EQ(b, (Words{0x88112233, 0x00556677}));
    EXPECT_EQ(longvShlOctets(b.data(), 2, 2), 0x0055u);
    EXPECT_EQ(b, (Words{0x22330000, 0x66778811}));
}
