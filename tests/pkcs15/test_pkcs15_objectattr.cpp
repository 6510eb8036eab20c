// Typed object attributes: value encodings of every store type, comparison rules
// (templates against objects), object-kind matching and the owning list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "pkcs15/objectattr.h"
#include "support/vtest.h"

using Attr = SCPkcs15ObjectAttribute;

namespace {
std::string Bytes(const Attr& a) {
    uint32_t n = 0;
    const uint8_t* p = a.GetBinary(&n);
    return std::string(reinterpret_cast<const char*>(p), n);
}
}  // namespace

TEST(ObjectAttr, StoreTypesComeFromTheTable) {
    EXPECT_EQ(Attr::integer, Attr::GetStoreTypeForAttribute(0x1));
    EXPECT_EQ(Attr::string, Attr::GetStoreTypeForAttribute(0x2));
    EXPECT_EQ(Attr::flags, Attr::GetStoreTypeForAttribute(0x3));
    EXPECT_EQ(Attr::binary, Attr::GetStoreTypeForAttribute(0x101));
    EXPECT_EQ(Attr::boolean, Attr::GetStoreTypeForAttribute(0x103));
    EXPECT_EQ(Attr::date, Attr::GetStoreTypeForAttribute(0x106));
    EXPECT_EQ(Attr::asnder, Attr::GetStoreTypeForAttribute(0x20104));
    EXPECT_EQ(Attr::bigint, Attr::GetStoreTypeForAttribute(0x101010A));
    EXPECT_EQ(Attr::bigint, Attr::GetStoreTypeForAttribute(0xFF00002B));
    EXPECT_EQ(Attr::date, Attr::GetStoreTypeForAttribute(0x1000708));
    EXPECT_EQ(Attr::binary, Attr::GetStoreTypeForAttribute(0x1000709));
    // Not in the table: the subject key identifier of certificates, unknown codes.
    EXPECT_EQ(0u, Attr::GetStoreTypeForAttribute(0x281));
    EXPECT_EQ(0u, Attr::GetStoreTypeForAttribute(0x1010100));
    EXPECT_EQ(0u, Attr::GetStoreTypeForAttribute(0));
    Attr a(0x1020104);
    EXPECT_EQ(Attr::bigint, a.GetStoreType());
    EXPECT_EQ(0, a.GetResult());
    EXPECT_EQ(0u, a.GetLength());
}

TEST(ObjectAttr, IntegersAreShortestBigEndian) {
    Attr a;
    ASSERT_EQ(1, a.SetInteger(0x1, 0));
    EXPECT_EQ(std::string("\0", 1), Bytes(a));
    ASSERT_EQ(1, a.SetInteger(0x1, 0x1010100));
    EXPECT_EQ(std::string("\x01\x01\x01\x00", 4), Bytes(a));
    ASSERT_EQ(1, a.SetInteger(0x105, 0x81));
    EXPECT_EQ(std::string("\x81"), Bytes(a));
    uint32_t v = 0;
    ASSERT_EQ(1, a.GetInteger(&v));
    EXPECT_EQ(0x81u, v);

    const uint8_t fiveLeadingZero[5] = {0, 1, 2, 3, 4};
    const uint8_t fiveWide[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(1, a.Set(0x105, fiveLeadingZero, 5));
    EXPECT_EQ(1, a.GetInteger(&v));
    EXPECT_EQ(0x01020304u, v);
    ASSERT_EQ(1, a.Set(0x105, fiveWide, 5));
    EXPECT_EQ(0, a.GetInteger(&v));
}

TEST(ObjectAttr, BigIntDropsLeadingZeros) {
    Attr a;
    const uint8_t n[] = {0, 0, 0xC3, 0x01};
    ASSERT_EQ(1, a.SetBigInt(0x1010103, n, sizeof n));
    EXPECT_EQ(2u, a.GetLength());
    uint32_t len = 0;
    const uint8_t* p = a.GetBigInt(&len);
    ASSERT_EQ(2u, len);
    EXPECT_EQ(0xC3, p[0]);
}

TEST(ObjectAttr, StringsCarryATerminator) {
    Attr a;
    ASSERT_EQ(1, a.SetString(0x2, ""));
    EXPECT_EQ(0u, a.GetLength());
    ASSERT_NE(nullptr, a.GetValue());
    EXPECT_EQ(1u, a.GetCapacity());
    EXPECT_EQ(0, a.GetValue()[0]);
    ASSERT_EQ(1, a.SetString(0x2, "Podpis", 3));
    EXPECT_EQ(3u, a.GetLength());
    EXPECT_STREQ("Pod", reinterpret_cast<const char*>(a.GetValue()));
}

TEST(ObjectAttr, FlagsAreValueThenMask) {
    Attr a;
    ASSERT_EQ(1, a.SetFlags(0x3, 0x1, 0x3));
    EXPECT_EQ(std::string("\0\0\0\x01\0\0\0\x03", 8), Bytes(a));
    uint32_t v, m;
    ASSERT_EQ(1, a.GetFlags(&v, &m));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(3u, m);
    const uint8_t seven[7] = {};
    ASSERT_EQ(1, a.Set(0x3, seven, 7));
    EXPECT_EQ(0, a.GetFlags(&v, &m));
}

TEST(ObjectAttr, BooleansReadAnyNonZeroAsTrue) {
    Attr t1, t2, f;
    ASSERT_EQ(1, t1.SetBoolean(0x206, true));
    EXPECT_EQ(std::string("\xFF"), Bytes(t1));
    const uint8_t one = 1;
    ASSERT_EQ(1, t2.Set(0x206, &one, 1));
    ASSERT_EQ(1, f.SetBoolean(0x206, false));
    EXPECT_EQ(0, t1.Compare(t2, true));
    EXPECT_NE(0, t1.Compare(f, true));
    Attr empty(0x206);
    bool b = true;
    EXPECT_EQ(1, empty.GetBoolean(&b));
    EXPECT_FALSE(b);
}

TEST(ObjectAttr, DatesFromNumbersAndTexts) {
    Attr a;
    ASSERT_EQ(1, a.SetDate(0x106, 2024, 2, 29));
    EXPECT_EQ("20240229", Bytes(a));
    ASSERT_EQ(1, a.SetDate(0x106, 2024, 2, 29, 13, 5));
    EXPECT_EQ("202402291305", Bytes(a));
    ASSERT_EQ(1, a.SetDate(0x106, 1999, 12, 31, 23, 59, 58, 99));
    EXPECT_EQ("1999123123595899", Bytes(a));
    uint32_t y, m, d, h, mi, s, hs;
    ASSERT_EQ(1, a.GetDate(&y, &m, &d, &h, &mi, &s, &hs));
    EXPECT_EQ(1999u, y);
    EXPECT_EQ(12u, m);
    EXPECT_EQ(31u, d);
    EXPECT_EQ(23u, h);
    EXPECT_EQ(99u, hs);
    ASSERT_EQ(1, a.SetDate(0x107, "20250101"));
    ASSERT_EQ(1, a.GetDate(&y, &m, &d, &h));
    EXPECT_EQ(0u, h);  // beyond the stored text
    EXPECT_EQ(0, a.SetDate(0x107, "2025-01-01"));
    EXPECT_EQ("20250101", Bytes(a));  // old value kept
    EXPECT_THROW(a.SetDate(0x106, 2023, 2, 29), VtestException);
    EXPECT_THROW(a.SetDate(0x106, 2023, 13, 1), VtestException);
    EXPECT_THROW(a.SetDate(0x106, 2023, 1, 1, 24), VtestException);
}

TEST(ObjectAttr, DateComparisonIgnoresTrailingZeros) {
    Attr a, b, c;
    ASSERT_EQ(1, a.SetDate(0x106, "20240101"));
    ASSERT_EQ(1, b.SetDate(0x106, "2024010100"));
    ASSERT_EQ(1, c.SetDate(0x106, "2024010101"));
    EXPECT_EQ(0, a.Compare(b, true));
    EXPECT_EQ(0, b.Compare(a, true));
    EXPECT_LT(a.Compare(c, true), 0);
    EXPECT_GT(c.Compare(a, true), 0);
    Attr d;
    ASSERT_EQ(1, d.SetDate(0x106, "20240201"));
    EXPECT_LT(a.Compare(d, true), 0);
}

TEST(ObjectAttr, TypedSettersRefuseAWrongType) {
    Attr a;
    EXPECT_THROW(a.SetBinary(0x2, "x", 1), VtestException);
    EXPECT_THROW(a.SetString(0x101, "x"), VtestException);
    EXPECT_THROW(a.SetInteger(0x101, 1), VtestException);
    EXPECT_THROW(a.SetBoolean(0x1, true), VtestException);
    Attr s(0x2);
    uint32_t v;
    EXPECT_THROW(s.GetInteger(&v), VtestException);
}

TEST(ObjectAttr, ComparisonNeedsMatchingStoreTypes) {
    Attr unknown, known;
    const uint8_t x[2] = {1, 2};
    ASSERT_EQ(1, unknown.Set(0x281, x, 2));
    EXPECT_EQ(0u, unknown.GetStoreType());
    ASSERT_EQ(1, known.SetBinary(0x101, x, 2));
    EXPECT_NE(0, unknown.Compare(known, false));
    Attr unknown2;
    ASSERT_EQ(1, unknown2.Set(0x281, x, 2));
    EXPECT_EQ(0, unknown.Compare(unknown2, true));
    // Integers compare with big integers by value.
    Attr i, bi;
    ASSERT_EQ(1, i.SetInteger(0x10104, 2048));
    const uint8_t b[] = {0, 0x08, 0x00};
    ASSERT_EQ(1, bi.SetBigInt(0xFF000015, b, 3));
    EXPECT_EQ(0, i.Compare(bi, false));
    EXPECT_NE(0, i.Compare(bi, true));
    // No type on either side: never equal.
    Attr none;
    EXPECT_NE(0, none.Compare(none, false));
}

TEST(ObjectAttr, FlagsCompareUnderTheTemplateMask) {
    Attr tmpl, obj;
    ASSERT_EQ(1, tmpl.SetFlags(0x3, 0x1, 0x1));
    ASSERT_EQ(1, obj.SetFlags(0x3, 0x3, 0xFFFFFFFF));
    EXPECT_EQ(0, tmpl.Compare(obj, true));
    ASSERT_EQ(1, obj.SetFlags(0x3, 0x2, 0xFFFFFFFF));
    EXPECT_NE(0, tmpl.Compare(obj, true));
}

TEST(ObjectAttr, StringsCompareByLengthThenBytes) {
    Attr a, b;
    ASSERT_EQ(1, a.SetString(0x2, "abc"));
    ASSERT_EQ(1, b.SetString(0x2, "abd"));
    EXPECT_EQ(-1, a.Compare(b, true));
    EXPECT_EQ(1, b.Compare(a, true));
    ASSERT_EQ(1, b.SetString(0x2, "abcd"));
    EXPECT_EQ(-1, a.Compare(b, true));
    ASSERT_EQ(1, b.SetString(0x2, "abc"));
    EXPECT_EQ(0, a.Compare(b, true));
}

TEST(ObjectAttr, KindMatching) {
    auto kind = [](uint32_t t, uint32_t k) {
        Attr a, b;
        a.SetInteger(0x1, t);
        b.SetInteger(0x1, k);
        return a.Compare(b, true) == 0;
    };
    EXPECT_TRUE(kind(0, 0x1010100));
    EXPECT_TRUE(kind(0x100, 0x1010100));
    EXPECT_TRUE(kind(0x100, 0x20100));
    EXPECT_FALSE(kind(0x200, 0x1010100));
    EXPECT_TRUE(kind(0x1000100, 0x1010100));
    EXPECT_TRUE(kind(0x1000100, 0x1020100));
    EXPECT_FALSE(kind(0x1000100, 0x2010100));
    EXPECT_FALSE(kind(0x1000000, 0x1010100));
    EXPECT_FALSE(kind(0x1000000, 0x1020100));
    EXPECT_TRUE(kind(0x10100, 0x4010100));
    EXPECT_FALSE(kind(0x10100, 0x1020100));
    EXPECT_TRUE(kind(0x1000200, 0x1000200));
    EXPECT_TRUE(kind(0x200, 0x1000200));
    EXPECT_FALSE(kind(0x1000201, 0x1000200));
}

TEST(ObjectAttr, AsnValuesWholeAndContents) {
    ASNinteger n;
    n.setValue(0x1234);
    Attr a;
    ASSERT_EQ(1, a.SetAsnObject(0x1000204, n));
    EXPECT_EQ(std::string("\x02\x02\x12\x34", 4), Bytes(a));
    ASNinteger back;
    EXPECT_EQ(0, a.GetAsnObject(back));
    EXPECT_EQ(0x1234, back.getLong());
    ASSERT_EQ(1, a.SetAsnContents(n));
    EXPECT_EQ(std::string("\x12\x34", 2), Bytes(a));
    ASNinteger fromContents;
    EXPECT_EQ(0, a.GetAsnContents(fromContents));
    EXPECT_EQ(0x1234, fromContents.getLong());
    // Broken and empty values.
    const uint8_t broken[] = {0x02, 0x05, 0x01};
    ASSERT_EQ(1, a.Set(0x1000204, broken, 3));
    EXPECT_EQ(-3, a.GetAsnObject(back));
    Attr empty(0x1000204);
    EXPECT_EQ(-2, empty.GetAsnObject(back));
    // Trailing bytes after the value are refused.
    const uint8_t trailing[] = {0x02, 0x01, 0x05, 0x00};
    ASSERT_EQ(1, a.Set(0x1000204, trailing, 4));
    EXPECT_EQ(-3, a.GetAsnObject(back));
}

TEST(ObjectAttr, SetValueReusesAndFrees) {
    Attr a;
    ASSERT_EQ(1, a.SetBinary(0x101, "abcdef", 6));
    const uint8_t* buf = a.GetValue();
    ASSERT_EQ(1, a.SetValue("xy", 2));
    EXPECT_EQ(buf, a.GetValue());
    EXPECT_EQ(6u, a.GetCapacity());
    EXPECT_EQ("xy", Bytes(a));
    ASSERT_EQ(1, a.SetValue(nullptr, 3));
    EXPECT_EQ(std::string("\0\0\0", 3), Bytes(a));
    ASSERT_EQ(1, a.SetValue(nullptr, 0));
    EXPECT_EQ(nullptr, a.GetValue());
    EXPECT_EQ(0u, a.GetCapacity());
    uint32_t n = 9;
    ASSERT_NE(nullptr, a.GetBinary(&n));
    EXPECT_EQ(0u, n);
    // Set with no bytes leaves no type.
    ASSERT_EQ(1, a.Set(0x101, nullptr, 0));
    EXPECT_EQ(0u, a.GetType());
    // A null source with a length is refused.
    EXPECT_EQ(0, a.SetBinary(0x101, nullptr, 4));
    a.Clear();
    EXPECT_EQ(0u, a.GetStoreType());
}

TEST(ObjectAttr, CopyValueKeepsStringTerminator) {
    Attr a, b(0x2);
    ASSERT_EQ(1, a.SetString(0x2, "etykieta"));
    ASSERT_EQ(1, b.CopyValue(a));
    EXPECT_EQ(8u, b.GetLength());
    EXPECT_STREQ("etykieta", reinterpret_cast<const char*>(b.GetValue()));
}

TEST(ObjectAttrList, AddFindRemove) {
    SCPkcs15ObjectAttributeList l;
    ASSERT_NE(nullptr, l.AddInteger(0x1, 0x1010100));
    ASSERT_EQ(1, l.AddAttribute(0x2)->SetString(0x2, "klucz"));
    ASSERT_NE(nullptr, l.AddFlags(0x102, 4, 4));
    ASSERT_NE(nullptr, l.AddBinary(0x101, "\x01\x02", 2));
    ASSERT_NE(nullptr, l.AddBinary(0x101, "\x03", 1));
    // A failing setter leaves nothing behind.
    EXPECT_EQ(nullptr, l.AddDate(0x106, "20x40101"));
    EXPECT_EQ(5u, l.GetCount());
    SCPkcs15ObjectAttribute* id = l.FindAttribute(0x101);
    ASSERT_NE(nullptr, id);
    EXPECT_EQ(2u, id->GetLength());
    EXPECT_EQ(nullptr, l.FindAttribute(0x5));
    EXPECT_EQ(1, l.RemoveAttribute(0x101));
    EXPECT_EQ(3u, l.GetCount());
    EXPECT_EQ(0, l.RemoveAttribute(0x101));
    EXPECT_EQ(nullptr, l.GetAt(3));
    ASNoctstr o;
    const uint8_t v[] = {9, 8};
    o.set(v, 2);
    ASSERT_NE(nullptr, l.AddAsnObject(0x10101, o));
    ASSERT_NE(nullptr, l.AddBigInt(0x1010103, v, 2));
    ASSERT_EQ(1, l.AddAttribute(0x20103)->SetBoolean(0x20103, true));
    EXPECT_EQ(6u, l.GetCount());
}
