// Resumable decoding on hostile and odd input: the bound on one object's size, the
// same verdict as the one-shot decoder (refusals included), the end-of-contents
// identifier, empty segments written back as received, and times of either form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/asnsetl.h"
#include "lib/libasn/asnu8str.h"
#include "lib/libasn/x509time.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

typedef ASNexpl<ASNinteger> ExplInt;
typedef ASNexpl<X509time> ExplTime;
typedef ASNsequenceList<ASNany> SeqOfAny;
typedef ASNsequenceList<ASNinteger> SeqOfInt;
typedef ASNsetList<ASNany> SetOfAny;

// Feeds in to obj in pieces of at most `piece` octets (0: all at once) and returns
// the result of the last call made; every earlier call must have asked for more and
// taken its whole piece.
long Stream(ASNobject& obj, const std::vector<uint8_t>& in, size_t piece = 0) {
    size_t at = 0;
    long r = EASN_MORE;
    while (at < in.size()) {
        size_t n = piece == 0 ? in.size() - at : std::min(piece, in.size() - at);
        MemFile mf(in.data() + at, n, false);
        r = obj.readStreamed(&mf);
        if (r != EASN_MORE) return r;
        EXPECT_EQ(static_cast<size_t>(mf.Tell()), n) << "more asked, input left";
        at += n;
    }
    return r;
}

// Streams the input both at once and octet by octet and decodes it in one shot:
// the same verdict, length and re-encoding every way.
template <class T>
void ExpectAgreement(const std::string& hex) {
    std::vector<uint8_t> in = H(hex);
    T one;
    long r1 = one.readVector(in);
    T whole;
    long r2 = Stream(whole, in);
    T octets;
    long r3 = Stream(octets, in, 1);
    EXPECT_EQ(r1 > 0, r2 > 0) << hex << ": one-shot " << r1 << ", streamed " << r2;
    EXPECT_EQ(r2, r3) << hex;
    if (r1 > 0 && r2 > 0) {
        EXPECT_EQ(r1, r2) << hex;
        EXPECT_EQ(Encode(one), Encode(whole)) << hex;
        EXPECT_EQ(Encode(one), Encode(octets)) << hex;
    }
}

// A primitive OCTET STRING segment header of n content octets (n below 2^24).
void AppendSegmentHeader(std::vector<uint8_t>& v, long n) {
    v.push_back(0x04);
    v.push_back(0x83);
    v.push_back(static_cast<uint8_t>(n >> 16));
    v.push_back(static_cast<uint8_t>(n >> 8));
    v.push_back(static_cast<uint8_t>(n));
}

}  // namespace

// ---------------------------------------------------------------------------
// Bound on one object's size

TEST(AsnStreamBound, HugeDeclaredLengthIsRefusedAtTheHeader) {
    // Fed one octet at a time: more is asked for until the last length octet, which
    // makes the input malformed before a single contents octet is asked for.
    std::vector<uint8_t> in = H("04 84 7F FF FF FF 41 42");
    ASNoctstr s;
    std::vector<long> got;
    for (size_t i = 0; i < in.size(); i++) {
        MemFile mf(in.data() + i, 1, false);
        long r = s.readStreamed(&mf);
        got.push_back(r);
        if (r != EASN_MORE) break;
    }
    EXPECT_EQ(got, (std::vector<long>{-3, -3, -3, -3, -3, 0}));
    MemFile again(in.data() + 6, 2, false);
    EXPECT_LE(s.readStreamed(&again), 0);
    EXPECT_EQ(s.getLength(), 0);
}

TEST(AsnStreamBound, TheBoundItselfIsAcceptedOneMoreIsNot) {
    ASSERT_EQ(ASN_MAX_STREAMED_LENGTH, 16L * 1024 * 1024);
    ASNoctstr at;
    EXPECT_EQ(Stream(at, H("04 84 01 00 00 00 41 42 43")), EASN_MORE);
    ASNoctstr over;
    EXPECT_EQ(Stream(over, H("04 84 01 00 00 01 41")), 0);
}

TEST(AsnStreamBound, EveryStreamingTypeChecksTheDeclaredLength) {
    const char* huge = "84 FF FF FF F0 30 03 02 01 05";
    ASNany any;
    EXPECT_EQ(Stream(any, H(std::string("30 ") + huge), 2), 0);
    SeqOfAny seq;
    EXPECT_EQ(Stream(seq, H(std::string("30 ") + huge), 3), 0);
    SetOfAny set;
    EXPECT_EQ(Stream(set, H(std::string("31 ") + huge), 1), 0);
    ExplInt wrapper;
    EXPECT_EQ(Stream(wrapper, H(std::string("A0 ") + huge)), 0);
    ExplInt inner;
    EXPECT_EQ(Stream(inner, H("A0 80 02 84 02 00 00 00 01")), 0);
    ASNoctstr segment;
    EXPECT_EQ(Stream(segment, H("24 80 04 84 7F 00 00 00 41")), 0);
}

TEST(AsnStreamBound, IndefiniteContentsStopGrowingAtTheBound) {
    // Segments of 64 KiB (65541 octets with their headers): the sum passes the bound
    // with the 256th, long before any end-of-contents.
    const long seg = 65536;
    std::vector<uint8_t> chunk;
    AppendSegmentHeader(chunk, seg);
    chunk.resize(chunk.size() + static_cast<size_t>(seg), 0x5A);
    ASNoctstr s;
    MemFile first("\x24\x80", 2, false);
    ASSERT_EQ(s.readStreamed(&first), EASN_MORE);
    long r = EASN_MORE;
    int fed = 0;
    while (r == EASN_MORE && fed < 300) {
        MemFile mf(chunk.data(), chunk.size(), false);
        r = s.readStreamed(&mf);
        fed++;
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fed, 256);

    // The same for a type that gathers its indefinite contents whole.
    std::vector<uint8_t> elem = {0x04, 0x83, 0x01, 0x00, 0x00};
    elem.resize(elem.size() + 65536, 0x11);
    ASNany any;
    MemFile head("\x30\x80", 2, false);
    ASSERT_EQ(any.readStreamed(&head), EASN_MORE);
    r = EASN_MORE;
    fed = 0;
    while (r == EASN_MORE && fed < 300) {
        MemFile mf(elem.data(), elem.size(), false);
        r = any.readStreamed(&mf);
        fed++;
    }
    EXPECT_EQ(r, 0);
    EXPECT_LE(fed, 257);
}

// ---------------------------------------------------------------------------
// Streamed and one-shot decoding give the same verdict

TEST(AsnStreamAgreement, EmptyContentsWhereTheTypeForbidsThem) {
    ExpectAgreement<ASNinteger>("02 00");
    ExpectAgreement<ASNenum>("0A 00");
    ExpectAgreement<ASNbitstr>("03 00");
    ExpectAgreement<ASNbool>("01 00");
    ExpectAgreement<ASNobjectId>("06 00");
    ExpectAgreement<ExplInt>("A0 02 02 00");
    ExpectAgreement<ExplInt>("A0 80 02 00 00 00");
    ExpectAgreement<SeqOfInt>("30 04 02 01 05 02 00");
    // And where they are allowed.
    ExpectAgreement<ASNoctstr>("04 00");
    ExpectAgreement<ASNoctstr>("24 00");
    ExpectAgreement<ASNUtf8String>("0C 00");
    ExpectAgreement<ASNnull>("05 00");
    ExpectAgreement<SeqOfAny>("30 00");
    ExpectAgreement<ASNany>("30 00");
}

TEST(AsnStreamAgreement, ContentsRulesOfEachType) {
    ExpectAgreement<ASNinteger>("02 01 05");
    ExpectAgreement<ASNinteger>("02 02 00 80");
    ExpectAgreement<ASNbitstr>("03 01 01");      // unused bits without bit octets
    ExpectAgreement<ASNbitstr>("03 02 08 00");   // more than seven unused bits
    ExpectAgreement<ASNbitstr>("03 02 07 80");
    ExpectAgreement<ASNbool>("01 02 00 00");
    ExpectAgreement<ASNbool>("01 01 FF");
    ExpectAgreement<ASNnull>("05 01 00");
    ExpectAgreement<ASNobjectId>("06 02 80 01");
    ExpectAgreement<ASNobjectId>("06 03 2A 86 48");
    ExpectAgreement<ASNgenTime>("18 0F 32 30 35 30 30 31 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<ASNgenTime>("18 0F 32 30 35 30 31 33 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<ASNinteger>("22 03 02 01 05");  // INTEGER is never constructed
    ExpectAgreement<ASNinteger>("02 80 01 00 00");  // nor indefinite
}

TEST(AsnStreamAgreement, IndefiniteStructuresAndAnys) {
    // Types that gather their contents take the indefinite form as a one-shot read does.
    ExpectAgreement<SeqOfAny>("30 80 02 01 05 04 00 00 00");
    ExpectAgreement<SeqOfAny>("30 80 30 80 02 01 05 00 00 00 00");
    ExpectAgreement<SeqOfAny>("30 80 30 80 02 01 05 00 00 00 01");
    ExpectAgreement<SeqOfInt>("30 80 02 01 05 02 01 06 00 00");
    ExpectAgreement<SeqOfInt>("30 80 02 01 05 04 01 06 00 00");
    ExpectAgreement<ASNany>("30 80 02 01 05 00 00");
    ExpectAgreement<ASNany>("A1 80 30 80 05 00 00 00 00 00");
    ExpectAgreement<ASNany>("30 80 02 80 05 00 00");
    ExpectAgreement<ExplInt>("A0 80 02 01 05 00 00");
    ExpectAgreement<ASNoctstr>("24 80 04 01 41 24 80 04 00 00 00 00 00");
}

// ---------------------------------------------------------------------------
// The end-of-contents identifier

TEST(AsnEndOfContents, IdentifierZeroStartsNoElement) {
    for (const char* hex : {"00 00", "00 01 41", "20 00", "20 02 05 00"}) {
        ASNany one;
        EXPECT_EQ(Decode(one, hex), 0) << hex;
        ASNany streamed;
        EXPECT_EQ(Stream(streamed, H(hex), 1), 0) << hex;
    }
    // Inside structures: not an element of definite contents, nor one that merely
    // begins with a zero octet inside indefinite contents.
    SeqOfAny seq;
    EXPECT_EQ(Decode(seq, "30 02 00 00"), 0);
    SeqOfAny seq2;
    EXPECT_EQ(Decode(seq2, "30 80 00 01 41 00 00"), 0);
    ASNany any;
    EXPECT_EQ(Decode(any, "30 80 00 01 41 00 00"), 0);
    ExpectAgreement<SeqOfAny>("30 02 00 00");
    ExpectAgreement<ASNany>("30 80 00 01 41 00 00");
    SetOfAny set;
    EXPECT_EQ(Stream(set, H("31 02 00 00")), 0);
    // The closing octets of indefinite contents still close them.
    SeqOfAny empty;
    EXPECT_EQ(Decode(empty, "30 80 00 00"), 4);
    ASNany emptyAny;
    EXPECT_EQ(Stream(emptyAny, H("30 80 00 00"), 1), 4);
}

// ---------------------------------------------------------------------------
// Constructed strings with empty segments

TEST(AsnStreamSegments, EmptySegmentsAreWrittenBackAsReceived) {
    for (const char* hex : {"24 80 04 00 04 02 41 42 04 00 00 00", "24 06 04 00 04 02 41 42",
                            "24 80 24 00 04 01 41 24 80 00 00 00 00", "24 02 04 00"}) {
        std::vector<uint8_t> in = H(hex);
        ASNoctstr one;
        ASSERT_EQ(one.readVector(in), static_cast<long>(in.size())) << hex;
        for (size_t piece : {size_t(0), size_t(1), size_t(3)}) {
            ASNoctstr s;
            ASSERT_EQ(Stream(s, in, piece), static_cast<long>(in.size())) << hex;
            EXPECT_EQ(Encode(s), N(hex)) << hex;
            EXPECT_EQ(s.getSegmentCount(), one.getSegmentCount()) << hex;
            EXPECT_TRUE(s == one) << hex;
            EXPECT_EQ(Hex(s.getData(), s.getLength()), Hex(one.getData(), one.getLength()));
        }
    }
}

// ---------------------------------------------------------------------------
// Times of either form

TEST(AsnStreamTime, UtcTimeObjectStreamsAGeneralizedTime) {
    const std::string gen = "18 0F 32 30 35 30 30 31 30 31 31 32 30 30 30 30 5A";
    for (size_t piece : {size_t(0), size_t(1), size_t(4)}) {
        X509time t;  // built as UTCTime
        ASSERT_EQ(t.getType(), 0);
        ASSERT_EQ(Stream(t, H(gen), piece), 17) << piece;
        EXPECT_EQ(t.getType(), 1);
        EXPECT_EQ(t.year, 2050);
        EXPECT_EQ(Encode(t), N(gen));
    }
    const std::string utc = "17 0D 32 35 30 31 30 31 31 32 30 30 30 30 5A";
    X509time g(TAG_GENERAL_TIME);
    ASSERT_EQ(Stream(g, H(utc), 1), 15);
    EXPECT_EQ(g.getType(), 0);
    EXPECT_EQ(g.year, 2025);
    EXPECT_EQ(Encode(g), N(utc));
}

TEST(AsnStreamTime, IdentifierRulesMatchTheOneShotRead) {
    ExpectAgreement<X509time>("18 0F 32 30 35 30 30 31 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<X509time>("17 0D 32 35 30 31 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<X509time>("04 0D 32 35 30 31 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<X509time>("37 0F 17 0D 32 35 30 31 30 31 31 32 30 30 30 30 5A");
    ExpectAgreement<X509time>("17 0D 32 35 31 33 30 31 31 32 30 30 30 30 5A");
    // An implicitly tagged time takes only its own tag.
    std::vector<uint8_t> implicit = H("80 0D 32 35 30 31 30 31 31 32 30 30 30 30 5A");
    X509time tagged(0x80);
    EXPECT_EQ(Stream(tagged, implicit, 2), 15);
    EXPECT_EQ(tagged.year, 2025);
    EXPECT_EQ(Encode(tagged), Hex(implicit));
    X509time other(0x81);
    EXPECT_EQ(Stream(other, implicit, 2), 0);
    EXPECT_EQ(other.getTag(), 0x81);
    X509time universal;
    EXPECT_EQ(Stream(universal, implicit, 1), 0);
    EXPECT_EQ(universal.getTag(), TAG_UTCT_TIME);
    // A refused decode stays refused.
    MemFile rest(implicit.data() + 1, implicit.size() - 1, false);
    EXPECT_EQ(universal.readStreamed(&rest), 0);
}

TEST(AsnStreamTime, WrapperStreamsTheTimeItHolds) {
    std::vector<uint8_t> in = H("A0 11 18 0F 32 30 35 30 30 31 30 31 31 32 30 30 30 30 5A");
    for (size_t piece : {size_t(0), size_t(1), size_t(5)}) {
        ExplTime w;
        ASSERT_EQ(Stream(w, in, piece), 19);
        EXPECT_EQ(w.value.getType(), 1);
        EXPECT_EQ(Encode(w), Hex(in));
    }
}

TEST(AsnStreamAgreement, AnyTakesAnyTagAgainAfterAnEarlierDecode) {
    ASNany any;
    ASSERT_EQ(Stream(any, H("02 01 05")), 3);
    EXPECT_EQ(any.tag, 0x02);
    any.resetStreamCtx();
    EXPECT_EQ(Stream(any, H("04 02 41 42"), 1), 4);
    EXPECT_EQ(any.tag, 0x04);
    EXPECT_EQ(Encode(any), N("04 02 41 42"));
    // A universal expected tag stays the only one accepted.
    ASNany ints(0x02);
    EXPECT_EQ(Stream(ints, H("04 01 41")), 0);
    ints.resetStreamCtx();
    EXPECT_EQ(Stream(ints, H("02 01 41")), 3);
}
