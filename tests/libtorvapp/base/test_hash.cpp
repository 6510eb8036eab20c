#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hash_vectors.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "tests/libtorvapp/exception_text.h"

namespace {

std::string digestOf(QvHash& h, const std::string& text, unsigned long repetitions)
{
    h.init();
    std::string chunk;
    // Feed repeated texts in large pieces so the million-"a" case stays quick.
    unsigned long perChunk = text.empty() ? 1 : (repetitions > 1000 ? 1000 : repetitions);
    for (unsigned long i = 0; i < perChunk; ++i)
        chunk += text;
    unsigned long done = 0;
    while (done < repetitions) {
        unsigned long n = std::min(perChunk, repetitions - done);
        h.step(reinterpret_cast<const QvOctet*>(chunk.data()),
               static_cast<unsigned int>(n * text.size()));
        done += n;
    }
    h.finish();
    return ToHex(h.getHashPtr(), h.getHashOctets());
}

void checkFile(const char* file, std::size_t expectedCount)
{
    std::vector<HashVector> vs = readHashVectors(file);
    ASSERT_EQ(vs.size(), expectedCount) << file;
    for (const HashVector& v : vs) {
        std::unique_ptr<QvHash> h(qvHashCreateObject(v.id));
        EXPECT_EQ(digestOf(*h, v.text, v.repetitions), v.digestHex)
            << h->getName() << " of " << v.repetitions << " x \"" << v.text << "\"";
    }
}

const QvOctet kAbc[3] = {'a', 'b', 'c'};

} // namespace

TEST(QvHashKnownAnswers, ShaFamilyMatchesStandardExamples) { checkFile("fips180-4_examples.txt", 15); }
TEST(QvHashKnownAnswers, Md5MatchesItsRfcSuite) { checkFile("rfc1321_md5.txt", 7); }
TEST(QvHashKnownAnswers, RipemdMatchesPublishedVectors) { checkFile("ripemd_vectors.txt", 18); }

TEST(QvHashIdentity, TableOfIdentifiersNamesLengthsAndOids)
{
    struct Row {
        unsigned int id;
        const char* name;
        unsigned int digest, block;
        std::vector<QvWord> arcs;
        std::string der;
    } rows[] = {
        {1, "SHA-1", 20, 64, {1, 3, 14, 3, 2, 26}, "06052b0e03021a"},
        {2, "SHA-224", 28, 64, {2, 16, 840, 1, 101, 3, 4, 2, 4}, "0609608648016503040204"},
        {3, "SHA-256", 32, 64, {2, 16, 840, 1, 101, 3, 4, 2, 1}, "0609608648016503040201"},
        {4, "SHA-384", 48, 128, {2, 16, 840, 1, 101, 3, 4, 2, 2}, "0609608648016503040202"},
        {5, "SHA-512", 64, 128, {2, 16, 840, 1, 101, 3, 4, 2, 3}, "0609608648016503040203"},
        {6, "RIPEMD-128", 16, 64, {1, 0, 10118, 3, 0, 50}, "060628cf06030032"},
        {7, "RIPEMD-160", 20, 64, {1, 0, 10118, 3, 0, 49}, "060628cf06030031"},
        {8, "MD5", 16, 64, {1, 2, 840, 113549, 2, 5}, "06082a864886f70d0205"},
    };
    for (const Row& r : rows) {
        std::unique_ptr<QvHash> h(qvHashCreateObject(r.id));
        EXPECT_EQ(h->getHashAlgo(), r.id);
        EXPECT_STREQ(h->getName(), r.name);
        EXPECT_EQ(h->getHashOctets(), r.digest);
        EXPECT_EQ(h->getBlockOctets(), r.block);
        EXPECT_EQ(QvGenericHash::getGenericHashOctets(r.id), r.digest);
        EXPECT_EQ(h->getHashType(), 1u);
        EXPECT_STREQ(h->getHashTypeName(), "DHF");
        const QvWord* arcs = h->getOidArcs();
        EXPECT_EQ(std::vector<QvWord>(arcs + 1, arcs + 1 + arcs[0]), r.arcs) << r.name;
        EXPECT_EQ(ToHex(h->getOidDer(), h->getOidDerOctets()), r.der) << r.name;
    }
}

TEST(QvHashSession, SplitStepsGiveTheOneShotDigest)
{
    std::vector<QvOctet> msg(1000);
    for (std::size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<QvOctet>(i * 7 + 3);
    for (unsigned int id = 1; id <= 8; ++id) {
        std::unique_ptr<QvHash> h(qvHashCreateObject(id));
        h->hash(msg.data(), static_cast<unsigned int>(msg.size()));
        std::string whole = ToHex(h->getHashPtr(), h->getHashOctets());
        for (unsigned int piece : {1u, 63u, 64u, 65u, 127u, 128u, 129u}) {
            h->init();
            for (std::size_t off = 0; off < msg.size(); off += piece)
                h->step(msg.data() + off,
                        static_cast<unsigned int>(std::min<std::size_t>(piece, msg.size() - off)));
            h->finish();
            EXPECT_EQ(ToHex(h->getHashPtr(), h->getHashOctets()), whole) << id << " piece " << piece;
        }
    }
}

TEST(QvHashSession, StateMachineTextsAreExact)
{
    QvSha1 h;
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.step(kAbc, 3); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Nie wykonano funkcji init.\n"
              "FUNCTION: QvDhf::step\nFILE: qvdhf\nLINE: 50\n");
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.finish(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Nie wykonano funkcji init.\n"
              "FUNCTION: QvDhf::finish\nFILE: qvdhf\nLINE: 83\n");
    QvOctet out[64];
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.getHash(0, out); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Skrot nie gotowy.\n"
              "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 39\n");
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.getHashObject(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Skrot nie gotowy.\n"
              "FUNCTION: QvHash::getHashObject\nFILE: qvhash\nLINE: 57\n");
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.getHashPtr(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Skrot nie gotowy.\n"
              "FUNCTION: QvHash::getHashPtr\nFILE: qvhash\nLINE: 68\n");
    h.init();
    h.step(kAbc, 3);
    EXPECT_EQ(thrownText<QvFsmException>([&] { h.getHash(0, out); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
              "REASON: Niezakonczona sesja przetwarzania.\n"
              "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 36\n");
    EXPECT_THROW(h.getHashPtr(), QvFsmException);
    h.finish();
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { h.getHash(21, out); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Zazadany zbyt dlugi skrot.\n"
              "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 42\n");
    std::fill(out, out + 64, 0xEE);
    h.getHash(0, out);
    EXPECT_EQ(ToHex(out, 21), "a9993e364706816aba3e25717850c26c9cd0d89dee");
    h.getHash(4, out);
    EXPECT_EQ(ToHex(out, 4), "a9993e36");
    EXPECT_EQ(h.getHashObject().getLength(), 20u);
    EXPECT_THROW(h.step(kAbc, 3), QvFsmException);
    EXPECT_THROW(h.finish(), QvFsmException);
    h.init(); // a finished object can start again
    EXPECT_THROW(h.getHashObject(), QvFsmException);
    h.step(kAbc, 3);
    h.init(); // restart discards the running session
    h.step(kAbc, 3);
    h.finish();
    EXPECT_EQ(ToHex(h.getHashPtr(), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(QvHashSession, NullDataWithLengthIsRefused)
{
    QvSha256 h;
    h.init();
    EXPECT_THROW(h.step(nullptr, 5), QvArgumentRangeException);
    h.step(nullptr, 0);
    h.finish();
    EXPECT_EQ(ToHex(h.getHashPtr(), 32),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(QvHashFactory, UnknownIdentifiersThrow)
{
    const std::string text = "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                             "REASON: Nieznany identyfikator algorytmu.\n"
                             "FUNCTION: qvHashCreateObject\nFILE: qvhash\nLINE: 97\n";
    EXPECT_EQ(thrownText<QvArgumentRangeException>([] { qvHashCreateObject(0); }), text);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([] { qvHashCreateObject(9); }), text);
    EXPECT_EQ(thrownText<QvArgumentRangeException>([] { QvGenericHash::getGenericHashOctets(9); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Nieznany identyfikator algorytmu.\n"
              "FUNCTION: QvGenericHash::getGenericHashOctets\nFILE: qvgenerichash\nLINE: 78\n");
    QvGenericHash g;
    EXPECT_EQ(thrownText<QvArgumentRangeException>([&] { g.setHashAlgo(0); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Nieznany identyfikator algorytmu.\n"
              "FUNCTION: QvGenericHash::setHashAlgo\nFILE: qvgenerichash\nLINE: 115\n");
    EXPECT_EQ(g.currentHash->getHashAlgo(), 3u); // unchanged by the failure
}

TEST(QvHashGeneric, DefaultSelectsSha256AndSwitches)
{
    QvGenericHash g;
    EXPECT_EQ(g.currentHash->getHashAlgo(), 3u);
    EXPECT_EQ(g.maxHashOctets, 64u);
    g.setHashAlgo(8);
    g.currentHash->hash(kAbc, 3);
    EXPECT_EQ(ToHex(g.currentHash->getHashPtr(), g.currentHash->getHashOctets()),
              "900150983cd24fb0d6963f7d28e17f72");
    g.setHashAlgo(1);
    g.currentHash->init();
    g.currentHash->step(kAbc, 1);
    g.setHashAlgo(1); // closes the session
    EXPECT_THROW(g.currentHash->step(kAbc, 1), QvFsmException);
    g.setHashAlgo(8); // a finished digest stays readable
    EXPECT_EQ(ToHex(g.currentHash->getHashPtr(), 16), "900150983cd24fb0d6963f7d28e17f72");
    QvGenericHash copy(g);
    EXPECT_EQ(copy.currentHash, static_cast<QvHash*>(&copy.md5));
    QvGenericHash other(5);
    EXPECT_EQ(other.currentHash->getHashAlgo(), 5u);
    other = g;
    EXPECT_EQ(other.currentHash, static_cast<QvHash*>(&other.md5));
    EXPECT_THROW(QvGenericHash bad(9), QvArgumentRangeException);
}

TEST(QvHashSession, CloneContinuesARunningSession)
{
    std::vector<QvOctet> msg(300);
    for (std::size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<QvOctet>(i);
    for (unsigned int id = 1; id <= 8; ++id) {
        std::unique_ptr<QvHash> h(qvHashCreateObject(id));
        h->init();
        h->step(msg.data(), 100);
        std::unique_ptr<QvHash> c(h->clone());
        EXPECT_EQ(c->getHashAlgo(), id);
        h->step(msg.data() + 100, 200);
        c->step(msg.data() + 100, 200);
        h->finish();
        c->finish();
        EXPECT_EQ(ToHex(c->getHashPtr(), c->getHashOctets()),
                  ToHex(h->getHashPtr(), h->getHashOctets()));
    }
}

TEST(QvHashSession, PaddingBoundariesAgreeWithByteByByteFeeding)
{
    for (unsigned int id = 1; id <= 8; ++id) {
        std::unique_ptr<QvHash> h(qvHashCreateObject(id));
        for (unsigned int len : {55u, 56u, 63u, 64u, 111u, 112u, 119u, 120u, 127u, 128u}) {
            std::vector<QvOctet> msg(len, 0x5A);
            h->hash(msg.data(), len);
            std::string one = ToHex(h->getHashPtr(), h->getHashOctets());
            h->init();
            for (unsigned int i = 0; i < len; ++i)
                h->step(&msg[i], 1);
            h->finish();
            EXPECT_EQ(ToHex(h->getHashPtr(), h->getHashOctets()), one) << id << " " << len;
        }
    }
}
