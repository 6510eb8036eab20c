// Object core: identifier and length octets, explicit tagging, read/write/assign
// bookkeeping, memory wrappers and hashing of encodings.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

// SEQUENCE { a INTEGER, b INTEGER OPTIONAL } decoded the way structure types do.
class TwoInts : public ASNsequenceF {
public:
    explicit TwoInts(uint32_t t = 0) : ASNsequenceF(t) {}
    ASNinteger a, b;
    uint8_t wasB = 0;
    int read_contents(GenericFile* src, long len) override {
        wasB = 0;
        long used = 0;
        int stage = 0;
        while (used < len) {
            ASNany el(TAG_ANY);
            long r = el.read(src, len - used, 0);
            if (r < 1) return static_cast<int>(r);
            used += r;
            if (el.tag != 0x02 || stage > 1) return 0;
            int ar = (stage == 0 ? a : b).assign(el);
            if (ar != 1) return ar;
            if (stage == 1) wasB = 1;
            stage++;
        }
        return (used == len && stage >= 1) ? 1 : 0;
    }
    int write_contents(GenericFile* dst) const override {
        if (a.write(dst) < 0) return -1;
        if (wasB && b.write(dst) < 0) return -1;
        return 1;
    }
    long lenOfBody() const override { return a.lenOfObject() + (wasB ? b.lenOfObject() : 0); }
    void digest_contents(QvHash* h) const override {
        a.digestObject(h);
        if (wasB) b.digestObject(h);
    }
};

struct LenCase {
    long len;
    const char* enc;
};

}  // namespace

TEST(AsnLength, EncodesMinimalDefiniteForms) {
    const LenCase cases[] = {{0, "00"},          {1, "01"},          {127, "7F"},
                             {128, "81 80"},      {255, "81 FF"},     {256, "82 01 00"},
                             {65535, "82 FF FF"}, {65536, "83 01 00 00"},
                             {16777215, "83 FF FF FF"}, {16777216, "84 01 00 00 00"},
                             {-1, "80"}};
    for (const LenCase& c : cases) {
        uint8_t buf[8];
        int n = ASNobject::encodeLength(c.len, buf);
        EXPECT_EQ(Hex(buf, n), N(c.enc)) << c.len;
        EXPECT_EQ(ASNobject::lenOfLen(c.len), n) << c.len;
    }
}

TEST(AsnLength, OctetStringsAtLengthBoundariesRoundTrip) {
    for (long len : {0L, 1L, 127L, 128L, 255L, 256L, 65535L, 65536L}) {
        std::vector<uint8_t> value(static_cast<size_t>(len), 0x5A);
        ASNoctstr s;
        ASSERT_EQ(s.set(value.data(), len), 1);
        std::vector<uint8_t> enc;
        ASSERT_EQ(s.encodeToVector(enc), s.lenOfObject());
        ASNoctstr back;
        EXPECT_EQ(back.readVector(enc), static_cast<long>(enc.size())) << len;
        EXPECT_TRUE(back == s) << len;
        EXPECT_EQ(enc[1] & 0x80 ? (enc[1] & 0x7F) + 1 : 1, ASNobject::lenOfLen(len));
    }
}

TEST(AsnLength, LongAndNonMinimalFormsDecode) {
    std::string v256;
    for (int i = 0; i < 256; i++) v256 += "AB";
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "04 82 01 00" + v256), 260);
    EXPECT_EQ(s.getLength(), 256);
    // Non-minimal length octets are accepted on input; the encoder writes minimal ones.
    EXPECT_EQ(Decode(s, "04 81 05 01 02 03 04 05"), 8);
    EXPECT_EQ(Encode(s), N("04 05 01 02 03 04 05"));
    EXPECT_EQ(Decode(s, "04 84 00 00 00 01 41"), 7);
    // More than four length octets.
    EXPECT_EQ(Decode(s, "04 85 00 00 00 00 01 41"), 0);
}

TEST(AsnLength, LengthBeyondInputIsMalformed) {
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "04 05 01 02 03"), 0);
    EXPECT_EQ(Decode(s, "04 84 FF FF FF FF 00"), 0);
    EXPECT_EQ(Decode(s, "04 82 01"), 0);
    std::vector<uint8_t> b = H("04 03 01 02 03");
    EXPECT_EQ(s.readBuffer(b.data(), 1), 0);           // maxLen 1
    EXPECT_EQ(s.readBuffer(b.data(), 4), 0);           // shorter than header + length
    EXPECT_EQ(s.readBuffer(b.data(), 5), 5);
    EXPECT_EQ(s.readBuffer(nullptr, 5), 0);
}

TEST(AsnTag, HighTagNumberFormIsRejected) {
    ASNany any;
    EXPECT_EQ(Decode(any, "1F 01 00"), 0);
    EXPECT_EQ(Decode(any, "9F 20 01 00"), 0);
    EXPECT_EQ(Decode(any, "3F 00"), 0);
    EXPECT_EQ(Decode(any, "BF 00"), 0);
}

TEST(AsnTag, ClassTagIsTakenAsItComesUniversalObjectsRejectClassTags) {
    ASNoctstr s(0x80);
    EXPECT_EQ(Decode(s, "81 01 41"), 3);
    EXPECT_EQ(s.tag, 0x81);
    EXPECT_EQ(Encode(s), N("81 01 41"));
    ASNoctstr u;
    EXPECT_EQ(Decode(u, "81 01 41"), 0);
    EXPECT_EQ(Decode(u, "A4 00"), 0);
    EXPECT_EQ(Decode(u, "44 00"), 0);
    // An implicitly tagged object does not take the universal identifier.
    ASNoctstr implicit(0x84);
    EXPECT_EQ(Decode(implicit, "04 01 41"), 0);
}

TEST(AsnTag, ConstructedFormAcceptedOnlyWhereTheTypeAllowsIt) {
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "24 03 04 01 41"), 5);
    EXPECT_EQ(s.tag, 0x24);
    // The same object reads a primitive encoding again.
    EXPECT_EQ(Decode(s, "04 01 42"), 3);
    EXPECT_EQ(s.tag, 0x04);
    ASNbool b;
    EXPECT_EQ(Decode(b, "21 03 01 01 FF"), 0);
    ASNinteger i;
    EXPECT_EQ(Decode(i, "22 03 02 01 05"), 0);
    TwoInts seq;
    EXPECT_EQ(Decode(seq, "10 03 02 01 05"), 0);  // a SEQUENCE is constructed
    EXPECT_EQ(Decode(seq, "30 03 02 01 05"), 5);
}

TEST(AsnTag, WrongUniversalTagIsRejected) {
    ASNinteger i;
    EXPECT_EQ(Decode(i, "04 01 05"), 0);
    EXPECT_EQ(Decode(i, "0A 01 05"), 0);
    ASNenum e;
    EXPECT_EQ(Decode(e, "0A 01 05"), 3);
    EXPECT_EQ(e.getLong(), 5);
}

TEST(AsnIndefinite, AnyKeepsIndefiniteFormAndReencodesIt) {
    ASNany any;
    EXPECT_EQ(Decode(any, "30 80 02 01 05 00 00"), 7);
    EXPECT_EQ(Hex(any.getData(), any.getLength()), N("02 01 05"));
    EXPECT_TRUE(any.isIndefinite());
    EXPECT_EQ(any.lenOfObject(), 7);
    EXPECT_EQ(EncodeStream(any), N("30 80 02 01 05 00 00"));
}

TEST(AsnIndefinite, TypeWithoutIndefiniteFormRejectsIt) {
    TwoInts seq;
    EXPECT_EQ(Decode(seq, "30 80 02 01 05 00 00"), 0);
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "04 80 41 00 00"), 0);  // primitive identifiers have no indefinite form
    ASNany any;
    EXPECT_EQ(Decode(any, "04 80 41 00 00"), 0);
}

TEST(AsnIndefinite, AnyKeepsTheOctetsItReceivedAndCountsThem) {
    // Inner element with non-minimal length octets: the ANY keeps them, and the
    // count is what the input held, so the next TLV is read where it starts.
    std::vector<uint8_t> in = H("30 80 04 81 01 41 00 00 02 01 07");
    MemFile mf(in.data(), in.size(), false);
    ASNany any;
    EXPECT_EQ(any.read(&mf, static_cast<long>(in.size())), 8);
    EXPECT_EQ(Hex(any.getData(), any.getLength()), N("04 81 01 41"));
    EXPECT_EQ(EncodeStream(any), N("30 80 04 81 01 41 00 00"));
    ASNinteger next;
    EXPECT_EQ(next.read(&mf, 3), 3);
    EXPECT_EQ(next.getLong(), 7);
}

TEST(AsnIndefinite, ConstructedStringCountsOctetsFromTheInput) {
    std::vector<uint8_t> in = H("24 80 04 81 02 41 42 00 00 05 00");
    MemFile mf(in.data(), in.size(), false);
    ASNoctstr s;
    EXPECT_EQ(s.read(&mf, static_cast<long>(in.size())), 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.getData()), 2), "AB");
    EXPECT_EQ(mf.Tell(), 9);
}

TEST(AsnIndefinite, MissingOrBrokenEndOfContentsIsMalformed) {
    ASNany any;
    EXPECT_EQ(Decode(any, "30 80 02 01 05"), 0);
    EXPECT_EQ(Decode(any, "30 80 02 01 05 00"), 0);
    EXPECT_EQ(Decode(any, "30 80 02 01 05 00 01"), 0);
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "24 80 04 01 41"), 0);
}

TEST(AsnExplicit, WrapperIsCheckedAndWritten) {
    ASNinteger i;
    i.setTag(0xA0);
    i.setExplicitTag();
    EXPECT_EQ(i.explTag, 0xA0);
    EXPECT_EQ(i.tag, 0x02);
    EXPECT_EQ(i.getTag(), 0xA0);
    EXPECT_EQ(Decode(i, "A0 03 02 01 05"), 5);
    EXPECT_EQ(i.getLong(), 5);
    EXPECT_EQ(EncodeStream(i), N("A0 03 02 01 05"));
    EXPECT_EQ(Decode(i, "80 03 02 01 05"), 0);  // primitive wrapper
    EXPECT_EQ(Decode(i, "A1 03 02 01 05"), 0);  // other tag number
    EXPECT_EQ(Decode(i, "30 03 02 01 05"), 0);  // universal wrapper
}

TEST(AsnExplicit, IndefiniteWrapperDecodesAndReencodes) {
    ASNinteger i(0x80);
    i.setExplicitTag();
    EXPECT_EQ(Decode(i, "A0 80 02 01 05 00 00"), 7);
    EXPECT_EQ(i.getLong(), 5);
    EXPECT_EQ(EncodeStream(i), N("A0 80 02 01 05 00 00"));
    EXPECT_EQ(Decode(i, "A0 80 02 01 05 00 01"), 0);  // end-of-contents not zero
    EXPECT_EQ(Decode(i, "A0 80 02 01 05 00"), 0);
    EXPECT_EQ(Decode(i, "A0 80 02 01 05"), 0);
    ASNoctstr s(0x81);
    s.setExplicitTag();
    EXPECT_EQ(Decode(s, "A1 80 24 80 04 01 41 00 00 00 00"), 11);
    EXPECT_EQ(EncodeStream(s), N("A1 80 24 80 04 01 41 00 00 00 00"));
    EXPECT_EQ(Decode(s, "A1 80 24 80 04 01 41 00 00"), 0);
    ASNinteger d(0x80);
    d.setExplicitTag();
    EXPECT_EQ(Decode(d, "A0 03 02 01 05"), 5);
    EXPECT_EQ(EncodeStream(d), N("A0 03 02 01 05"));  // a definite wrapper stays definite
}

TEST(AsnExplicit, WrapperLengthMustEqualTheInnerTlv) {
    ASNinteger i;
    i.setTag(0xA0);
    i.setExplicitTag();
    EXPECT_EQ(Decode(i, "A0 03 02 05 01 02 03 04 05"), 0);
    EXPECT_EQ(Decode(i, "A0 05 02 01 05 00 00"), 0);
    EXPECT_EQ(Decode(i, "A0 02 02 01 05"), 0);
    ASNoctstr s(0x81);
    s.setExplicitTag();
    EXPECT_EQ(Decode(s, "A1 08 24 80 04 01 41 00 00"), 0);  // wrapper shorter than inner
    EXPECT_EQ(Decode(s, "A1 07 24 80 04 01 41 00 00"), 9);
}

TEST(AsnExplicit, AssignFromWrapperAnyNeedsTheWholeValue) {
    ASNinteger i;
    i.setTag(0xA0);
    i.setExplicitTag();
    ASNany any;
    ASSERT_EQ(Decode(any, "A0 03 02 01 05"), 5);
    EXPECT_EQ(i.assign(any), 1);
    EXPECT_EQ(i.getLong(), 5);
    EXPECT_EQ(Encode(i), N("A0 03 02 01 05"));
    ASSERT_EQ(Decode(any, "A0 07 02 01 05 02 01 06 00"), 9);
    EXPECT_EQ(i.assign(any), 0);
    ASSERT_EQ(Decode(any, "80 03 02 01 05"), 5);
    EXPECT_EQ(i.assign(any), 0);
    ASSERT_EQ(Decode(any, "A0 80 02 01 05 00 00"), 7);
    EXPECT_EQ(i.assign(any), 1);
    EXPECT_EQ(Encode(i), N("A0 80 02 01 05 00 00"));
}

TEST(AsnExplicit, ResetAndSetTagMoveTheWrapper) {
    ASNoctstr s(0x82);
    s.setExplicitTag();
    EXPECT_TRUE(s.isExplicit());
    EXPECT_EQ(s.explTag, 0xA2);
    s.setTag(0x85);
    EXPECT_EQ(s.explTag, 0xA5);
    ASSERT_EQ(s.set("x", 1), 1);
    EXPECT_EQ(Encode(s), N("A5 03 04 01 78"));
    s.resetExplicitTag();
    EXPECT_FALSE(s.isExplicit());
    EXPECT_EQ(s.tag, 0x85);
    EXPECT_EQ(Encode(s), N("85 01 78"));
    TwoInts seq;
    seq.setTag(0x81);
    EXPECT_EQ(seq.tag, 0xA1);  // an implicitly tagged SEQUENCE stays constructed
}

TEST(AsnExplicit, WritingWithAnyWrapperIsAnAssertion) {
    ASNany any(TAG_ANY);
    any.setExplicitTag();
    ASSERT_EQ(any.set(0x02, "\x05", 1), 1);
    EXPECT_THROW(Encode(any), VtestException);
}

TEST(AsnAssign, UniversalAnyMustCarryTheTagNumber) {
    ASNany any;
    ASSERT_EQ(Decode(any, "02 01 05"), 3);
    ASNinteger i;
    EXPECT_EQ(i.assign(any), 1);
    EXPECT_EQ(i.getLong(), 5);
    ASNoctstr s;
    EXPECT_EQ(s.assign(any), 0);
    ASSERT_EQ(Decode(any, "22 03 02 01 05"), 5);
    EXPECT_EQ(i.assign(any), 0);  // INTEGER is primitive only
    ASSERT_EQ(Decode(any, "81 01 05"), 3);
    ASNinteger ctx(0x81);
    EXPECT_EQ(ctx.assign(any), 1);
    EXPECT_EQ(ctx.tryAssign(any), 1);
    // A member assigned from an implicitly tagged element keeps the tag.
    EXPECT_EQ(s.tryAssign(any), 1);
    EXPECT_EQ(Encode(s), N("81 01 05"));
    ASSERT_EQ(Decode(any, "A1 03 02 01 05"), 5);
    EXPECT_EQ(i.tryAssign(any), -1);  // INTEGER is primitive only
    ASSERT_EQ(Decode(any, "04 01 05"), 3);
    EXPECT_EQ(i.tryAssign(any), -1);
}

TEST(AsnAssign, StructureDecodesFromAnyAndRejectsTrailingMembers) {
    ASNany any;
    ASSERT_EQ(Decode(any, "30 06 02 01 05 02 01 06"), 8);
    TwoInts seq;
    EXPECT_EQ(seq.assign(any), 1);
    EXPECT_EQ(seq.a.getLong(), 5);
    EXPECT_EQ(seq.b.getLong(), 6);
    EXPECT_EQ(seq.wasB, 1);
    EXPECT_EQ(Encode(seq), N("30 06 02 01 05 02 01 06"));
    ASSERT_EQ(Decode(any, "30 09 02 01 05 02 01 06 02 01 07"), 11);
    EXPECT_EQ(seq.assign(any), 0);
}

TEST(AsnWrappers, ConvertFromAndVectorsRoundTrip) {
    TwoInts a;
    ASSERT_EQ(Decode(a, "30 06 02 01 05 02 01 06"), 8);
    TwoInts b;
    EXPECT_EQ(b.convertFrom(a), 1);
    EXPECT_EQ(Encode(b), Encode(a));
    ASNoctstr holder;
    EXPECT_EQ(a.encodeToOctetString(holder), 8);
    EXPECT_EQ(Hex(holder.getData(), holder.getLength()), N("30 06 02 01 05 02 01 06"));
    TwoInts c;
    EXPECT_EQ(c.decodeFromOctetString(holder), 8);
    EXPECT_EQ(c.b.getLong(), 6);
    ASNany any;
    any = a;
    EXPECT_EQ(any.tag, 0x30);
    EXPECT_EQ(Hex(any.getData(), any.getLength()), N("02 01 05 02 01 06"));
}

TEST(AsnWrappers, WriteReportsStreamErrors) {
    ASNoctstr s;
    ASSERT_EQ(s.set("abcdef", 6), 1);
    uint8_t small[4];
    MemFile mf(static_cast<void*>(small), sizeof small, false, false);
    EXPECT_EQ(s.write(&mf), EASN_FILE);
    EXPECT_EQ(s.write(nullptr), EASN_FILE);
    EXPECT_EQ(s.read(nullptr, 10), EASN_FILE);
}

TEST(AsnConstant, ValuesStayInTheSourceMemory) {
    std::vector<uint8_t> in = H("04 81 03 41 42 43");
    MemFile mf(in.data(), in.size(), false);
    ASNoctstr s;
    EXPECT_EQ(s.read(&mf, static_cast<long>(in.size()), ASN_FLAG_CONST), 6);
    EXPECT_TRUE(s.isConstant());
    EXPECT_EQ(s.getData(), in.data() + 3);  // after the header as received
    EXPECT_EQ(Encode(s), N("04 03 41 42 43"));
    // The copying form owns its source.
    ASNoctstr c;
    {
        std::vector<uint8_t> tmp = in;
        MemFile mf2(tmp.data(), tmp.size(), false);
        EXPECT_EQ(c.read(&mf2, static_cast<long>(tmp.size()), ASN_FLAG_CONST | ASN_FLAG_COPY), 6);
        std::fill(tmp.begin(), tmp.end(), 0);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.getData()), 3), "ABC");
    EXPECT_THROW(c.set("x", 1), VtestException);
}

namespace {
std::vector<uint8_t> Ossl(const EVP_MD* md, const std::vector<uint8_t>& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
    return std::vector<uint8_t>(out, out + n);
}
}  // namespace

TEST(AsnDigest, HashesExactlyTheEncodingAgainstOpenSsl) {
    ASNoctstr s;
    std::vector<uint8_t> v(300, 0x11);
    ASSERT_EQ(s.set(v.data(), 300), 1);
    s.setTag(0x83);
    s.setExplicitTag();
    std::vector<uint8_t> enc;
    ASSERT_GT(s.encodeToVector(enc), 0);
    struct {
        unsigned id;
        const EVP_MD* md;
    } algs[] = {{1, EVP_sha1()},   {2, EVP_sha224()}, {3, EVP_sha256()},
                {4, EVP_sha384()}, {5, EVP_sha512()}, {8, EVP_md5()}};
    for (auto& a : algs) {
        uint8_t buf[64];
        ASSERT_EQ(s.digest(a.id, buf, sizeof buf), 1);
        std::vector<uint8_t> want = Ossl(a.md, enc);
        EXPECT_EQ(Hex(buf, static_cast<long>(want.size())), Hex(want)) << a.id;
    }
    // Indefinite and constructed forms hash what write produces.
    ASNoctstr c;
    ASSERT_EQ(Decode(c, "24 80 04 02 41 42 04 01 43 00 00"), 11);
    uint8_t buf[32];
    ASSERT_EQ(c.digest(3, buf, sizeof buf), 1);
    EXPECT_EQ(Hex(buf, 32), Hex(Ossl(EVP_sha256(), H("24 80 04 02 41 42 04 01 43 00 00"))));
}

TEST(AsnDigest, ConstantObjectHashesTheOctetsReceived) {
    std::vector<uint8_t> in = H("04 81 03 41 42 43");
    MemFile mf(in.data(), in.size(), false);
    ASNoctstr s;
    ASSERT_EQ(s.read(&mf, static_cast<long>(in.size()), ASN_FLAG_CONST), 6);
    uint8_t buf[32];
    ASSERT_EQ(s.digest(3, buf, sizeof buf), 1);
    EXPECT_EQ(Hex(buf, 32), Hex(Ossl(EVP_sha256(), in)));
}

TEST(AsnDigest, MisuseIsAnAssertion) {
    ASNbool b;
    uint8_t buf[64];
    EXPECT_THROW(b.digest(9, buf, sizeof buf), VtestException);
    EXPECT_THROW(b.digest(0, buf, sizeof buf), VtestException);
    EXPECT_THROW(b.digest(3, nullptr, 32), VtestException);
    EXPECT_THROW(b.digest(3, buf, 0), VtestException);
    EXPECT_THROW(b.digest(3, buf, 31), VtestException);
    TwoInts seq;
    seq.a.setValue(1);
    EXPECT_EQ(seq.digest(1, buf, 20), 1);
}
