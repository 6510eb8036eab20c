// CHOICE and the SEQUENCE/SET bases.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

// CHOICE { OCTET STRING, INTEGER }
class StrOrInt : public ASNchoice {
public:
    explicit StrOrInt(uint32_t t = 0) : ASNchoice(t) {}
    ASNoctstr str;
    ASNinteger num;
    ASNobject** getObjectList() override {
        list_[0] = &str;
        list_[1] = &num;
        list_[2] = nullptr;
        return list_;
    }

private:
    ASNobject* list_[3];
};

// CHOICE { [0] EXPLICIT INTEGER, [1] IMPLICIT BOOLEAN }
class Tagged : public ASNchoice {
public:
    Tagged() : ASNchoice(0), num(0x80), flag(0x81) { num.setExplicitTag(); }
    ASNinteger num;
    ASNbool flag;
    ASNobject** getObjectList() override {
        list_[0] = &num;
        list_[1] = &flag;
        list_[2] = nullptr;
        return list_;
    }

private:
    ASNobject* list_[3];
};

class Empty : public ASNchoice {
public:
    ASNobject** getObjectList() override { return list_; }
    ASNobject* list_[1] = {nullptr};
};

class Seq : public ASNsequenceF {
public:
    using ASNsequenceF::ASNsequenceF;
    int read_contents(GenericFile*, long len) override { return len == 0 ? 1 : 0; }
    int write_contents(GenericFile*) const override { return 1; }
    long lenOfBody() const override { return 0; }
};

class Set : public ASNsetF {
public:
    using ASNsetF::ASNsetF;
    int read_contents(GenericFile*, long len) override { return len == 0 ? 1 : 0; }
    int write_contents(GenericFile*) const override { return 1; }
    long lenOfBody() const override { return 0; }
};

}  // namespace

TEST(AsnChoice, SelectsTheAlternativeByIdentifier) {
    StrOrInt c;
    EXPECT_EQ(c.getChosenIndex(), -1);
    EXPECT_EQ(Decode(c, "04 01 41"), 3);
    EXPECT_EQ(c.getChosenIndex(), 0);
    EXPECT_EQ(c.getChosenObject(), &c.str);
    EXPECT_EQ(Decode(c, "02 01 05"), 3);
    EXPECT_EQ(c.getChosenIndex(), 1);
    EXPECT_EQ(c.num.getLong(), 5);
    EXPECT_EQ(c.getChosenTag(), 0x02);
    EXPECT_EQ(Decode(c, "24 80 04 01 41 00 00"), 7);
    EXPECT_EQ(c.getChosenIndex(), 0);
    EXPECT_EQ(Decode(c, "01 01 FF"), 0);
    EXPECT_EQ(Decode(c, "04"), 0);
}

TEST(AsnChoice, UntaggedEncodesAsItsAlternative) {
    StrOrInt c;
    ASSERT_EQ(Decode(c, "02 01 05"), 3);
    EXPECT_EQ(EncodeStream(c), N("02 01 05"));
    EXPECT_EQ(c.lenOfBody(), 1);
    EXPECT_EQ(c.defaultTag(), 0x02);
}

TEST(AsnChoice, TaggedChoiceIsExplicit) {
    StrOrInt c(0xA1);
    EXPECT_TRUE(c.isExplicit());
    c.chooseByIndex(1);
    c.num.setValue(5);
    EXPECT_EQ(EncodeStream(c), N("A1 03 02 01 05"));
    EXPECT_EQ(c.getTag(), 0xA1);
    StrOrInt d(0xA1);
    EXPECT_EQ(Decode(d, "A1 03 02 01 05"), 5);
    EXPECT_EQ(d.num.getLong(), 5);
    EXPECT_EQ(Decode(d, "A2 03 02 01 05"), 0);
    EXPECT_EQ(Decode(d, "81 03 02 01 05"), 0);
    EXPECT_EQ(Decode(d, "A1 04 02 01 05 00"), 0);  // wrapper longer than the alternative
    EXPECT_EQ(Decode(d, "A1 80 02 01 05 00 00"), 7);
    EXPECT_EQ(EncodeStream(d), N("A1 80 02 01 05 00 00"));
    EXPECT_EQ(Decode(d, "A1 80 02 01 05 00 01"), 0);  // end-of-contents not zero
    EXPECT_EQ(Decode(d, "A1 80 02 01 05"), 0);
}

TEST(AsnChoice, ClearKeepsTheWrapper) {
    StrOrInt c(0xA1);
    ASSERT_EQ(Decode(c, "A1 03 02 01 05"), 5);
    c.clear();
    EXPECT_EQ(c.getChosenObject(), nullptr);
    EXPECT_EQ(c.getChosenIndex(), -1);
    c.chooseByTag(0x04);
    ASSERT_EQ(c.str.set("A", 1), 1);
    EXPECT_EQ(EncodeStream(c), N("A1 03 04 01 41"));
    EXPECT_THROW(c.chooseByTag(0x05), VtestException);
    EXPECT_THROW(c.chooseByIndex(2), VtestException);
}

TEST(AsnChoice, ExplicitAlternativeIsFoundByItsWrapper) {
    Tagged t;
    EXPECT_EQ(Decode(t, "A0 03 02 01 07"), 5);
    EXPECT_EQ(t.getChosenIndex(), 0);
    EXPECT_EQ(t.num.getLong(), 7);
    EXPECT_EQ(EncodeStream(t), N("A0 03 02 01 07"));
    EXPECT_EQ(Decode(t, "81 01 FF"), 3);
    EXPECT_EQ(t.getChosenIndex(), 1);
    EXPECT_EQ(Decode(t, "02 01 07"), 0);
    ASNany any;
    ASSERT_EQ(Decode(any, "A0 03 02 01 09"), 5);
    EXPECT_EQ(t.assign(any), 1);
    EXPECT_EQ(t.num.getLong(), 9);
}

TEST(AsnChoice, AssignFromAny) {
    StrOrInt c;
    ASNany any;
    ASSERT_EQ(Decode(any, "02 01 05"), 3);
    EXPECT_EQ(c.assign(any), 1);
    EXPECT_EQ(c.getChosenIndex(), 1);
    ASSERT_EQ(Decode(any, "05 00"), 2);
    EXPECT_EQ(c.assign(any), 0);
    StrOrInt t(0xA2);
    ASSERT_EQ(Decode(any, "A2 03 04 01 41"), 5);
    EXPECT_EQ(t.assign(any), 1);
    EXPECT_EQ(t.getChosenIndex(), 0);
    ASSERT_EQ(Decode(any, "A2 06 04 01 41 04 01 42"), 8);
    EXPECT_EQ(t.assign(any), 0);  // the wrapper holds exactly one alternative
    ASSERT_EQ(Decode(any, "A2 01 04"), 3);
    EXPECT_EQ(t.assign(any), 0);
    ASSERT_EQ(Decode(any, "A3 03 04 01 41"), 5);
    EXPECT_EQ(t.assign(any), 0);
}

TEST(AsnChoice, CopyAndCompare) {
    StrOrInt a, b;
    ASSERT_EQ(Decode(a, "04 02 41 42"), 4);
    b = a;
    EXPECT_EQ(b.getChosenIndex(), 0);
    EXPECT_TRUE(a == b);
    ASSERT_EQ(Decode(b, "02 01 05"), 3);
    EXPECT_FALSE(a == b);
    static_cast<ASNchoice&>(a) = b;
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.getChosenObject(), &a.num);
    EXPECT_EQ(a.str.getLength(), 0);  // the other alternative was cleared
}

TEST(AsnChoice, CopyConstructionChoosesItsOwnMember) {
    StrOrInt a(0xA1);
    ASSERT_EQ(Decode(a, "A1 03 02 01 05"), 5);
    StrOrInt b(a);
    EXPECT_EQ(b.getChosenObject(), &b.num);
    EXPECT_EQ(b.getChosenIndex(), 1);
    EXPECT_EQ(EncodeStream(b), N("A1 03 02 01 05"));
    StrOrInt none;
    StrOrInt c(none);
    EXPECT_EQ(c.getChosenObject(), nullptr);
}

TEST(AsnChoice, DigestCoversExactlyTheEncoding) {
    for (const char* hex : {"A1 03 02 01 05", "A1 80 04 01 41 00 00"}) {
        StrOrInt c(0xA1);
        ASSERT_GT(Decode(c, hex), 0);
        std::vector<uint8_t> enc = H(hex);
        uint8_t want[32], got[32];
        SHA256(enc.data(), enc.size(), want);
        ASSERT_EQ(c.digest(3, got, sizeof got), 1);
        EXPECT_EQ(Hex(got, 32), Hex(want, 32)) << hex;
    }
    StrOrInt u;
    ASSERT_EQ(Decode(u, "02 01 05"), 3);
    uint8_t want[32], got[32];
    std::vector<uint8_t> enc = H("02 01 05");
    SHA256(enc.data(), enc.size(), want);
    ASSERT_EQ(u.digest(3, got, sizeof got), 1);
    EXPECT_EQ(Hex(got, 32), Hex(want, 32));
}

TEST(AsnChoice, MisuseIsAnAssertion) {
    StrOrInt c;
    EXPECT_THROW(c.lenOfObject(), VtestException);
    EXPECT_THROW(Encode(c), VtestException);
    EXPECT_THROW(c.getChosenTag(), VtestException);
    Empty e;
    EXPECT_THROW(Decode(e, "02 01 05"), VtestException);
}

TEST(AsnStructureBases, TagsAreConstructed) {
    Seq s;
    EXPECT_EQ(s.tag, 0x30);
    EXPECT_EQ(Encode(s), N("30 00"));
    Seq ctx(0x82);
    EXPECT_EQ(ctx.tag, 0xA2);
    EXPECT_EQ(Decode(ctx, "A2 00"), 2);
    EXPECT_EQ(Decode(ctx, "82 00"), 0);
    Set st;
    EXPECT_EQ(st.tag, 0x31);
    EXPECT_EQ(Decode(st, "31 00"), 2);
    EXPECT_EQ(Decode(st, "30 00"), 0);
    Seq notClass(0x04);
    EXPECT_EQ(notClass.tag, 0x30);
}
