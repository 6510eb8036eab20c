// Explicit-tag wrapper, SEQUENCE OF and SET OF lists: decoding, DER ordering,
// resumable decoding, hostile input, and OpenSSL's DER ordering of a SET OF.
#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/asnsetl.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

typedef ASNexpl<ASNinteger> ExplInt;
typedef ASNsequenceList<ASNinteger> SeqOfInt;
typedef ASNsequenceList<ASNany> SeqOfAny;
typedef ASNsetList<ASNany> SetOfAny;

long IntValue(const ASNinteger& i) { return i.getLong(); }

// Feeds in to obj in the given piece sizes; the result of the last call (every
// earlier call must ask for more).
long FeedPieces(ASNobject& obj, const std::vector<uint8_t>& in, const std::vector<size_t>& pieces) {
    size_t at = 0;
    long r = EASN_MORE;
    for (size_t i = 0; i < pieces.size(); i++) {
        MemFile mf(in.data() + at, pieces[i], false);
        r = obj.readStreamed(&mf);
        at += pieces[i];
        if (r != EASN_MORE) {
            // Whatever the call did not take is not part of this TLV.
            if (i + 1 != pieces.size()) return -100;
            return r;
        }
        if (static_cast<size_t>(mf.Tell()) != pieces[i]) return -101;
    }
    return r;
}

std::vector<size_t> OneByOne(size_t n) { return std::vector<size_t>(n, 1); }

std::vector<size_t> RandomPieces(size_t n, std::mt19937& rng) {
    std::vector<size_t> p;
    while (n > 0) {
        size_t k = std::uniform_int_distribution<size_t>(1, n < 7 ? n : 7)(rng);
        p.push_back(k);
        n -= k;
    }
    return p;
}

// Decodes in one go and in pieces (byte by byte, every two-piece split, random
// chunks) and checks that every way gives the same length and re-encoding.
template <class Obj, class Make>
void ExpectStreamedEqualsOneShotBytes(const std::vector<uint8_t>& in, Make make, bool everySplit = true) {
    std::string hex = in.size() > 16 ? Hex(in).substr(0, 47) + "..." : Hex(in);
    Obj one = make();
    long n = one.readVector(in);
    ASSERT_EQ(n, static_cast<long>(in.size())) << hex;
    std::string want = Encode(one);

    std::vector<std::vector<size_t>> splits;
    splits.push_back(OneByOne(in.size()));
    splits.push_back({in.size()});
    for (size_t cut = 1; cut < in.size(); cut += everySplit ? 1 : 997) splits.push_back({cut, in.size() - cut});
    std::mt19937 rng(12345);
    for (int i = 0; i < 50; i++) splits.push_back(RandomPieces(in.size(), rng));

    for (const auto& pieces : splits) {
        Obj s = make();
        long r = FeedPieces(s, in, pieces);
        ASSERT_EQ(r, n) << hex << " in " << pieces.size() << " pieces";
        EXPECT_EQ(Encode(s), want) << hex;
    }
}

template <class Obj, class Make>
void ExpectStreamedEqualsOneShot(const std::string& hex, Make make) {
    ExpectStreamedEqualsOneShotBytes<Obj>(H(hex), make);
}

}  // namespace

// ---------------------------------------------------------------------------
// Explicit tag wrapper

TEST(AsnExplicit, DefiniteWrapperHoldsExactlyOneInnerValue) {
    ExplInt v;
    EXPECT_EQ(Decode(v, "A0 03 02 01 05"), 5);
    EXPECT_EQ(IntValue(v.value), 5);
    EXPECT_EQ(Encode(v), N("A0 03 02 01 05"));
    EXPECT_EQ(EncodeStream(v), N("A0 03 02 01 05"));
    EXPECT_EQ(v.lenOfObject(), 5);
    EXPECT_EQ(v.lenOfExplicitValue(), 3);

    ExplInt extra;
    EXPECT_EQ(Decode(extra, "A0 04 02 01 05 00"), 0);  // octet left over inside the wrapper
}

TEST(AsnExplicit, IndefiniteWrapperNeedsItsEndOfContents) {
    ExplInt v;
    EXPECT_EQ(Decode(v, "A0 80 02 01 05 00 00"), 7);
    EXPECT_EQ(IntValue(v.value), 5);
    EXPECT_EQ(Encode(v), N("A0 80 02 01 05 00 00"));  // written in the form it came in
    EXPECT_EQ(v.lenOfObject(), 7);

    ExplInt bad;
    EXPECT_EQ(Decode(bad, "A0 80 02 01 05 00 01"), 0);
    ExplInt cut;
    EXPECT_EQ(Decode(cut, "A0 80 02 01 05 00"), 0);

    // No room for the end-of-contents within the limit.
    std::vector<uint8_t> in = H("A0 80 02 01 05 00 00");
    MemFile mf(in.data(), in.size(), false);
    ExplInt lim;
    EXPECT_EQ(lim.read(&mf, 4), 0);
}

TEST(AsnExplicit, WrongWrapperOrInnerTagsAreRefused) {
    ExplInt prim;
    EXPECT_EQ(Decode(prim, "80 03 02 01 05"), 0);  // primitive [0]: an implicit tag
    ExplInt univ;
    EXPECT_EQ(Decode(univ, "30 03 02 01 05"), 0);  // universal SEQUENCE
    ExplInt inner;
    EXPECT_EQ(Decode(inner, "A0 03 04 01 05"), 0);  // OCTET STRING inside, INTEGER wanted
    ExplInt highTag;
    EXPECT_EQ(Decode(highTag, "BF 03 02 01 05"), 0);
    ExplInt innerTooLong;
    EXPECT_EQ(Decode(innerTooLong, "A0 03 02 02 05"), 0);
    ExplInt empty;
    EXPECT_EQ(Decode(empty, "A0 00"), 0);
}

TEST(AsnExplicit, NestedWrappersKeepEachLayer) {
    ASNexpl<ExplInt> outer(0xA1);
    EXPECT_EQ(Decode(outer, "A1 05 A0 03 02 01 2A"), 7);
    EXPECT_EQ(IntValue(outer.value.value), 42);
    EXPECT_EQ(Encode(outer), N("A1 05 A0 03 02 01 2A"));
    EXPECT_EQ(outer.lenOfBody(), 5);

    ASNexpl<ExplInt> mixed(0xA1);
    EXPECT_EQ(Decode(mixed, "A1 80 A0 03 02 01 2A 00 00"), 9);
    EXPECT_EQ(IntValue(mixed.value.value), 42);
    EXPECT_EQ(Decode(mixed, "A1 05 A0 03 02 01"), 0);  // inner cut short
}

TEST(AsnExplicit, LengthsOfLargerInnerValues) {
    ASNexpl<ASNoctstr> w;
    std::vector<uint8_t> data(200, 0x5A);
    ASSERT_EQ(w.value.set(data.data(), 200), 1);
    EXPECT_EQ(w.value.lenOfObject(), 203);
    EXPECT_EQ(w.lenOfObject(), 206);
    std::string e = EncodeStream(w);
    EXPECT_EQ(e.substr(0, 17), N("A0 81 CB 04 81 C8"));
    ASNexpl<ASNoctstr> back;
    EXPECT_EQ(back.readVector(H(e)), 206);
    EXPECT_EQ(back.value.getLength(), 200);
}

TEST(AsnExplicit, AssignFromAnyHoldingTheWrapper) {
    ASNany any;
    ASSERT_EQ(Decode(any, "A2 03 02 01 07"), 5);
    ExplInt v;
    EXPECT_EQ(v.assign(any), 1);
    EXPECT_EQ(IntValue(v.value), 7);
    EXPECT_EQ(Encode(v), N("A2 03 02 01 07"));

    ASNany trailing;
    ASSERT_EQ(Decode(trailing, "A0 04 02 01 07 00"), 6);
    ExplInt t;
    EXPECT_EQ(t.assign(trailing), 0);

    ASNany universal;
    ASSERT_EQ(Decode(universal, "30 03 02 01 07"), 5);
    ExplInt u;
    EXPECT_EQ(u.assign(universal), 0);
}

TEST(AsnExplicit, AssignOnAConstantWrapperIsAnInvariantFailure) {
    std::vector<uint8_t> in = H("A0 03 02 01 05");
    MemFile mf(in.data(), in.size(), false);
    ExplInt v;
    ASSERT_EQ(v.read(&mf, 5, ASN_FLAG_CONST), 5);
    ASNany any;
    ASSERT_EQ(Decode(any, "A0 03 02 01 06"), 5);
    EXPECT_THROW(v.assign(any), VtestException);
}

TEST(AsnExplicit, DigestIsTheHashOfTheEncoding) {
    ExplInt v;
    ASSERT_EQ(Decode(v, "A0 03 02 01 05"), 5);
    std::vector<uint8_t> enc = H("A0 03 02 01 05");
    uint8_t want[32], got[32];
    SHA256(enc.data(), enc.size(), want);
    ASSERT_EQ(v.digest(3, got, 32), 1);
    EXPECT_EQ(Hex(got, 32), Hex(want, 32));
}

TEST(AsnExplicit, StreamedDecodingEqualsOneShot) {
    auto make = [] { return ExplInt(); };
    ExpectStreamedEqualsOneShot<ExplInt>("A0 03 02 01 05", make);
    ExpectStreamedEqualsOneShot<ExplInt>("A0 80 02 01 05 00 00", make);
    std::string big = "A0 81 84 02 81 81 00";
    for (int i = 0; i < 128; i++) big += " A5";
    ExpectStreamedEqualsOneShot<ExplInt>(big, make);
}

TEST(AsnExplicit, StreamedDecodingRefusesWrongEndings) {
    ExplInt v;
    EXPECT_EQ(FeedPieces(v, H("A0 80 02 01 05 00 01"), OneByOne(7)), 0);
    ExplInt w;
    EXPECT_EQ(FeedPieces(w, H("A0 04 02 01 05 00"), OneByOne(6)), -100);  // ends early: 0 before the last octet
    ExplInt p;
    EXPECT_EQ(FeedPieces(p, H("80 03 02 01 05"), OneByOne(5)), -100);
}

// ---------------------------------------------------------------------------
// SEQUENCE OF

TEST(AsnSequenceOf, EmptyAndTwoElements) {
    SeqOfInt s;
    EXPECT_EQ(Decode(s, "30 00"), 2);
    EXPECT_EQ(s.GetCount(), 0);
    EXPECT_EQ(Encode(s), N("30 00"));

    EXPECT_EQ(Decode(s, "30 06 02 01 01 02 01 02"), 8);
    ASSERT_EQ(s.GetCount(), 2);
    EXPECT_EQ(IntValue(*s.getAt(0)), 1);
    EXPECT_EQ(IntValue(*s.getAt(1)), 2);
    EXPECT_EQ(s.getAt(2), nullptr);
    EXPECT_EQ(Encode(s), N("30 06 02 01 01 02 01 02"));
    EXPECT_EQ(EncodeStream(s), N("30 06 02 01 01 02 01 02"));
}

TEST(AsnSequenceOf, IndefiniteFormConsumesItsEndOfContents) {
    SeqOfInt s;
    EXPECT_EQ(Decode(s, "30 80 02 01 01 00 00"), 7);
    EXPECT_EQ(s.GetCount(), 1);
    EXPECT_EQ(Encode(s), N("30 80 02 01 01 00 00"));
    EXPECT_EQ(Decode(s, "30 80 00 00"), 4);
    EXPECT_EQ(s.GetCount(), 0);
    EXPECT_EQ(Decode(s, "30 80 02 01 01"), 0);        // no end-of-contents
    EXPECT_EQ(Decode(s, "30 80 02 01 01 00"), 0);     // half an end-of-contents
    EXPECT_EQ(Decode(s, "30 80 02 01 01 00 01"), 0);  // not an end-of-contents
}

TEST(AsnSequenceOf, FailedElementIsNotKeptEarlierOnesStay) {
    SeqOfInt s;
    EXPECT_EQ(Decode(s, "30 05 02 01 01 02 01"), 0);
    ASSERT_EQ(s.GetCount(), 1);
    EXPECT_EQ(IntValue(*s.getAt(0)), 1);
    EXPECT_EQ(Decode(s, "30 06 02 01 01 04 01 02"), 0);  // wrong element type
    EXPECT_EQ(s.GetCount(), 1);
}

TEST(AsnSequenceOf, DecodingAgainStartsFromAnEmptyList) {
    SeqOfInt s;
    ASSERT_EQ(Decode(s, "30 06 02 01 01 02 01 02"), 8);
    ASSERT_EQ(Decode(s, "30 03 02 01 09"), 5);
    ASSERT_EQ(s.GetCount(), 1);
    EXPECT_EQ(IntValue(*s.getAt(0)), 9);
}

TEST(AsnSequenceOf, AnyElementsKeepTheirTags) {
    SeqOfAny s;
    ASSERT_EQ(Decode(s, "30 0A 02 01 01 04 01 AA 80 00 A1 00"), 12);
    ASSERT_EQ(s.GetCount(), 4);
    EXPECT_EQ(s.getAt(0)->tag, 0x02);
    EXPECT_EQ(s.getAt(1)->tag, 0x04);
    EXPECT_EQ(s.getAt(2)->tag, 0x80);
    EXPECT_EQ(s.getAt(3)->tag, 0xA1);
    EXPECT_EQ(Encode(s), N("30 0A 02 01 01 04 01 AA 80 00 A1 00"));
}

TEST(AsnSequenceOf, CopiesAreDeepAndBuiltListsEncode) {
    SeqOfInt s;
    for (uint32_t v : {3u, 1u, 2u}) {
        ASNinteger* i = new ASNinteger();
        i->setValue(v);
        s.AddTail(i);
    }
    EXPECT_EQ(Encode(s), N("30 09 02 01 03 02 01 01 02 01 02"));  // list order, not sorted
    SeqOfInt c(s);
    s.clear();
    EXPECT_EQ(Encode(c), N("30 09 02 01 03 02 01 01 02 01 02"));
    SeqOfInt d;
    d = c;
    EXPECT_EQ(Encode(d), Encode(c));
}

TEST(AsnSequenceOf, HostileLengthsAreRefusedWithoutAllocating) {
    SeqOfInt s;
    EXPECT_EQ(Decode(s, "30 84 7F FF FF FF 02 01 01"), 0);
    EXPECT_EQ(Decode(s, "30 84 FF FF FF FF 02 01 01"), 0);
    EXPECT_EQ(Decode(s, "30 06 02 84 7F FF FF FF"), 0);
    EXPECT_EQ(s.GetCount(), 0);
    // Streamed: a declared length beyond the streaming bound is refused at the header,
    // before anything is reserved or gathered.
    SeqOfInt t;
    std::vector<uint8_t> in = H("30 84 7F FF FF FF 02 01 01");
    EXPECT_EQ(FeedPieces(t, in, {in.size()}), 0);
    EXPECT_EQ(t.GetCount(), 0);
}

TEST(AsnSequenceOf, DeepNestingIsRefused) {
    // SEQUENCE OF SEQUENCE OF ... nested far deeper than any real structure.
    typedef ASNsequenceList<SeqOfAny> SeqOfSeq;
    std::vector<uint8_t> in;
    const int depth = 200;
    for (int i = 0; i < depth; i++) {
        in.push_back(0x30);
        in.push_back(0x80);
    }
    for (int i = 0; i < depth; i++) {
        in.push_back(0);
        in.push_back(0);
    }
    SeqOfSeq s;
    EXPECT_EQ(s.readVector(in), 0);
}

TEST(AsnSequenceOf, StreamedDecodingEqualsOneShot) {
    auto make = [] { return SeqOfInt(); };
    ExpectStreamedEqualsOneShot<SeqOfInt>("30 00", make);
    ExpectStreamedEqualsOneShot<SeqOfInt>("30 06 02 01 01 02 01 02", make);
    ExpectStreamedEqualsOneShot<SeqOfInt>("30 0B 02 01 01 02 02 01 00 02 02 FF 7F", make);
}

// ---------------------------------------------------------------------------
// SET OF

namespace {

const char* kAvaO = "30 09 06 03 55 04 0A 13 02 41 42";
const char* kAvaCN = "30 09 06 03 55 04 03 13 02 41 42";

ASNany* Elem(const std::string& hex) {
    ASNany* a = new ASNany();
    EXPECT_EQ(a->readVector(H(hex)), static_cast<long>(H(hex).size()));
    return a;
}

}  // namespace

TEST(AsnSetOf, BuiltSetIsWrittenInDerOrder) {
    SetOfAny s;
    ASSERT_NE(s.add(Elem(kAvaO)), nullptr);
    ASSERT_NE(s.add(Elem(kAvaCN)), nullptr);
    EXPECT_EQ(s.receivedOrder, 0);
    EXPECT_EQ(Encode(s), N(std::string("31 16 ") + kAvaCN + " " + kAvaO));
    EXPECT_EQ(EncodeStream(s), N(std::string("31 16 ") + kAvaCN + " " + kAvaO));
    // The list itself is not reordered by writing.
    EXPECT_EQ(Encode(*s.getAt(0)), N(kAvaO));
}

TEST(AsnSetOf, DecodedSetKeepsReceivedOrderUntilChanged) {
    SetOfAny s;
    std::string in = std::string("31 16 ") + kAvaO + " " + kAvaCN;
    ASSERT_EQ(Decode(s, in), 24);
    EXPECT_EQ(s.receivedOrder, 1);
    EXPECT_EQ(Encode(s), N(in));
    uint8_t d1[32], want[32];
    std::vector<uint8_t> raw = H(in);
    SHA256(raw.data(), raw.size(), want);
    ASSERT_EQ(s.digest(3, d1, 32), 1);
    EXPECT_EQ(Hex(d1, 32), Hex(want, 32));

    ASSERT_NE(s.add(Elem("30 08 06 03 55 04 06 13 01 50")), nullptr);  // countryName P
    EXPECT_EQ(s.receivedOrder, 0);
    std::string sorted = Encode(s);
    // The shorter AVA's length octet (08) decides first.
    EXPECT_EQ(sorted, N(std::string("31 20 30 08 06 03 55 04 06 13 01 50 ") + kAvaCN + " " + kAvaO));
    // The digest follows the order that is written.
    std::vector<uint8_t> enc = H(sorted);
    SHA256(enc.data(), enc.size(), want);
    ASSERT_EQ(s.digest(3, d1, 32), 1);
    EXPECT_EQ(Hex(d1, 32), Hex(want, 32));
}

TEST(AsnSetOf, MakeDerReordersTheList) {
    SetOfAny s;
    ASSERT_EQ(Decode(s, std::string("31 16 ") + kAvaO + " " + kAvaCN), 24);
    ASSERT_EQ(s.makeDER(), 1);
    EXPECT_EQ(s.receivedOrder, 0);
    EXPECT_EQ(Encode(*s.getAt(0)), N(kAvaCN));
    EXPECT_EQ(Encode(*s.getAt(1)), N(kAvaO));
    EXPECT_EQ(Encode(s), N(std::string("31 16 ") + kAvaCN + " " + kAvaO));
}

TEST(AsnSetOf, ZeroPaddedEncodingsSortEqual) {
    std::vector<uint8_t> a = H("04 02 41"), b = H("04 02 41 00"), c = H("04 02 41 01");
    EXPECT_EQ(asnCompareSetEncodings(a.data(), 3, b.data(), 4), 0);
    EXPECT_EQ(asnCompareSetEncodings(b.data(), 4, a.data(), 3), 0);
    EXPECT_LT(asnCompareSetEncodings(a.data(), 3, c.data(), 4), 0);
    EXPECT_GT(asnCompareSetEncodings(c.data(), 4, a.data(), 3), 0);
    std::vector<uint8_t> x = H("02 01 80"), y = H("02 01 7F");
    EXPECT_GT(asnCompareSetEncodings(x.data(), 3, y.data(), 3), 0);  // octets compare unsigned
}

TEST(AsnSetOf, ShorterEncodingFirstAndEqualOnesKeepListOrder) {
    SetOfAny s;
    s.add(Elem("04 02 41 42"));
    s.add(Elem("04 01 41"));
    s.add(Elem("02 01 05"));
    s.add(Elem("04 01 41"));
    EXPECT_EQ(Encode(s), N("31 0D 02 01 05 04 01 41 04 01 41 04 02 41 42"));
}

TEST(AsnSetOf, EmptyAndSingleElementSets) {
    SetOfAny s;
    EXPECT_EQ(Encode(s), N("31 00"));
    EXPECT_EQ(Decode(s, "31 00"), 2);
    EXPECT_EQ(s.receivedOrder, 1);
    EXPECT_EQ(Encode(s), N("31 00"));
    s.add(Elem("05 00"));
    EXPECT_EQ(Encode(s), N("31 02 05 00"));
}

TEST(AsnSetOf, FailedDecodeAndIndefiniteForm) {
    SetOfAny s;
    EXPECT_EQ(Decode(s, "31 05 02 01 01 02 01"), 0);
    EXPECT_EQ(s.GetCount(), 1);
    EXPECT_EQ(s.receivedOrder, 0);
    // The ordinary decoder does not take the indefinite form of a SET OF.
    EXPECT_EQ(Decode(s, "31 80 02 01 01 00 00"), 0);
}

TEST(AsnSetOf, AddingAnElementWithoutAFixedTagIsAnInvariantFailure) {
    SetOfAny s;
    ASNany* loose = new ASNany(TAG_ANY);
    EXPECT_THROW(s.add(loose), VtestException);
    delete loose;
}

TEST(AsnSetOf, SameElementsIgnoresOrder) {
    SetOfAny a, b, c;
    a.add(Elem(kAvaO));
    a.add(Elem(kAvaCN));
    b.add(Elem(kAvaCN));
    b.add(Elem(kAvaO));
    c.add(Elem(kAvaCN));
    c.add(Elem(kAvaCN));
    EXPECT_TRUE(a.sameElements(b));
    EXPECT_TRUE(b.sameElements(a));
    EXPECT_FALSE(a.sameElements(c));
    c.clear();
    EXPECT_FALSE(a.sameElements(c));
    SetOfAny d;
    EXPECT_TRUE(c.sameElements(d));
}

TEST(AsnSetOf, CopyTakesElementsAndOrderFlag) {
    SetOfAny s;
    ASSERT_EQ(Decode(s, std::string("31 16 ") + kAvaO + " " + kAvaCN), 24);
    SetOfAny c(s);
    EXPECT_EQ(c.receivedOrder, 1);
    EXPECT_EQ(Encode(c), Encode(s));
    SetOfAny d;
    d.add(Elem("05 00"));
    d = s;
    EXPECT_EQ(d.GetCount(), 2);
    EXPECT_EQ(Encode(d), Encode(s));
}

TEST(AsnSetOf, StreamedIndefiniteSetEndsAtItsEndOfContents) {
    std::vector<uint8_t> in = H("31 80 05 00 30 00 02 01 07 00 00");
    for (const auto& pieces : {OneByOne(in.size()), std::vector<size_t>{in.size()},
                               std::vector<size_t>{3, 1, 6, 1}, std::vector<size_t>{10, 1}}) {
        SetOfAny s;
        EXPECT_EQ(FeedPieces(s, in, pieces), 11);
        ASSERT_EQ(s.GetCount(), 3);
        EXPECT_EQ(s.getAt(0)->tag, 0x05);
        EXPECT_EQ(s.getAt(1)->tag, 0x30);
        EXPECT_EQ(s.getAt(2)->tag, 0x02);
        EXPECT_EQ(s.receivedOrder, 1);
        EXPECT_EQ(Encode(s), N("31 80 05 00 30 00 02 01 07 00 00"));
    }
    SetOfAny bad;
    // 00 01 is not an end-of-contents, and identifier 0 starts no element.
    EXPECT_EQ(FeedPieces(bad, H("31 80 02 01 07 00 01"), OneByOne(7)), 0);
    SetOfAny broken;
    EXPECT_EQ(FeedPieces(broken, H("31 80 02 01 07 02 85 01 01 01 01 01"), OneByOne(12)), -100);
    SetOfAny over;
    EXPECT_EQ(FeedPieces(over, H("31 03 02 02 07 07"), {6}), 0);  // element runs past the set
}

TEST(AsnSetOf, StreamedDecodingEqualsOneShot) {
    auto make = [] { return SetOfAny(); };
    ExpectStreamedEqualsOneShot<SetOfAny>("31 00", make);
    ExpectStreamedEqualsOneShot<SetOfAny>(std::string("31 16 ") + kAvaO + " " + kAvaCN, make);
    ExpectStreamedEqualsOneShot<SetOfAny>("31 0A 02 01 01 04 01 AA 80 00 A1 00", make);
}

TEST(AsnSetOf, StreamedDecodingFromScratchAfterReset) {
    SetOfAny s;
    std::vector<uint8_t> in = H("31 06 02 01 01 02 01 02");
    EXPECT_EQ(FeedPieces(s, in, {4}), EASN_MORE);
    s.resetStreamCtx();
    EXPECT_EQ(FeedPieces(s, in, {8}), 8);
    EXPECT_EQ(s.GetCount(), 2);
}

TEST(AsnSetOf, HugeDeclaredLengthStreamedIsRefusedWithoutReserving) {
    SetOfAny s;
    std::vector<uint8_t> in = H("31 84 FF FF FF F0 02 01 01 02 01 02");
    EXPECT_EQ(FeedPieces(s, in, {in.size()}), 0);
    EXPECT_EQ(s.GetCount(), 0);
    // Within the bound the set waits for the rest.
    SetOfAny t;
    std::vector<uint8_t> ok = H("31 84 00 FF FF F0 02 01 01 02 01 02");
    EXPECT_EQ(FeedPieces(t, ok, {ok.size()}), EASN_MORE);
    EXPECT_EQ(t.GetCount(), 2);
}

// OpenSSL writes the attributes of a multi-valued RDN as a DER SET OF; our set, given
// the same attributes in insertion order, must write the same octets.
TEST(AsnSetOf, SameOrderAsOpenSslForMultiValuedNames) {
    const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
        {{"O", "AB"}, {"CN", "AB"}},
        {{"CN", "Zeta"}, {"CN", "Alpha"}, {"C", "PL"}},
        {{"OU", "x"}, {"OU", "xx"}, {"OU", "x\x01"}, {"L", "Krakow"}},
        {{"CN", std::string(60, 'q')}, {"CN", "q"}, {"CN", std::string(59, 'q')}},
    };
    for (const auto& avas : cases) {
        X509_NAME* name = X509_NAME_new();
        ASSERT_NE(name, nullptr);
        for (size_t i = 0; i < avas.size(); i++)
            ASSERT_EQ(X509_NAME_add_entry_by_txt(name, avas[i].first.c_str(), MBSTRING_ASC,
                                                 reinterpret_cast<const unsigned char*>(avas[i].second.data()),
                                                 static_cast<int>(avas[i].second.size()), -1, i == 0 ? 0 : -1),
                      1);
        unsigned char* der = nullptr;
        int n = i2d_X509_NAME(name, &der);
        ASSERT_GT(n, 0);
        std::vector<uint8_t> nameDer(der, der + n);
        OPENSSL_free(der);

        // Our own view of OpenSSL's name: SEQUENCE OF SET OF ANY; collect the AVAs.
        ASNsequenceList<SetOfAny> parsed;
        ASSERT_EQ(parsed.readVector(nameDer), n);
        ASSERT_EQ(parsed.GetCount(), 1);
        SetOfAny* rdn = parsed.getAt(0);
        ASSERT_EQ(rdn->GetCount(), static_cast<int>(avas.size()));

        // Insert OpenSSL's entries in their insertion order.
        SetOfAny ours;
        for (size_t i = 0; i < avas.size(); i++) {
            X509_NAME_ENTRY* ent = X509_NAME_get_entry(name, static_cast<int>(i));
            unsigned char* ed = nullptr;
            int en = i2d_X509_NAME_ENTRY(ent, &ed);
            ASSERT_GT(en, 0);
            ours.add(Elem(Hex(std::vector<uint8_t>(ed, ed + en))));
            OPENSSL_free(ed);
        }
        EXPECT_EQ(Encode(ours), Encode(*rdn));
        X509_NAME_free(name);
    }
}

// ---------------------------------------------------------------------------
// Streamed decoding of encodings that OpenSSL wrote, cut every way.

TEST(AsnStreamedProperty, OpenSslEncodingsDecodeTheSameInAnyPieces) {
    std::vector<uint8_t> v;
    ASSERT_FALSE((v = testsupport::ReadDataFile("octets_300.der")).empty());
    ExpectStreamedEqualsOneShotBytes<ASNoctstr>(v, [] { return ASNoctstr(); });
    ASSERT_FALSE((v = testsupport::ReadDataFile("int_big.der")).empty());
    ExpectStreamedEqualsOneShotBytes<ASNinteger>(v, [] { return ASNinteger(); });
    ASSERT_FALSE((v = testsupport::ReadDataFile("oid_longarc.der")).empty());
    ExpectStreamedEqualsOneShotBytes<ASNobjectId>(v, [] { return ASNobjectId(); });
    ASSERT_FALSE((v = testsupport::ReadDataFile("nested.der")).empty());
    ExpectStreamedEqualsOneShotBytes<SeqOfAny>(v, [] { return SeqOfAny(); });
    for (const char* cert : {"validity_utc.der", "validity_gen.der"}) {
        ASSERT_FALSE((v = testsupport::ReadDataFile(cert)).empty());
        ExpectStreamedEqualsOneShotBytes<SeqOfAny>(v, [] { return SeqOfAny(); });
        ExpectStreamedEqualsOneShotBytes<ASNany>(v, [] { return ASNany(); });
    }
    ASSERT_FALSE((v = testsupport::ReadDataFile("octets_65536.der")).empty());
    ExpectStreamedEqualsOneShotBytes<ASNoctstr>(v, [] { return ASNoctstr(); }, false);
}
