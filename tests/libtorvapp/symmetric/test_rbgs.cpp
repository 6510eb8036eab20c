// Random-bit generators: the FIPS 186-2 example's first G value, independent
// models of each generator built from OpenSSL primitives (SHA-1 compression,
// AES, SHA-256), seeding and reseeding rules and cycle detection.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrbgdss.h"
#include "libtorvapp/qvrbghashiso18031.h"
#include "libtorvapp/qvrbgofb.h"
#include "symtest.h"

namespace {

Bytes draw(QvRbg& r, std::size_t n, std::mt19937* rng = nullptr)
{
    Bytes out(n);
    std::size_t pos = 0;
    while (pos < n) {
        std::size_t take = n - pos;
        if (rng != nullptr)
            take = std::min<std::size_t>(take, 1 + (*rng)() % 37);
        r.fillOctets(out.data() + pos, unsigned(take));
        pos += take;
    }
    return out;
}

// Model of the DSS generators: G from OpenSSL's SHA-1 compression with the
// chaining value set to t; XKEY arithmetic with octet 0 least significant.
struct DssModel {
    std::uint32_t t[5];
    Bytes xkey;
    Bytes g(const Bytes& c) const
    {
        SHA_CTX ctx;
        SHA1_Init(&ctx);
        ctx.h0 = t[0];
        ctx.h1 = t[1];
        ctx.h2 = t[2];
        ctx.h3 = t[3];
        ctx.h4 = t[4];
        unsigned char block[64] = {};
        std::memcpy(block, c.data(), c.size());
        SHA1_Transform(&ctx, block);
        const std::uint32_t h[5] = {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4};
        Bytes out;
        for (std::uint32_t w : h)
            for (int i = 3; i >= 0; --i)
                out.push_back(std::uint8_t(w >> (8 * i)));
        return out;
    }
    void add(const Bytes& addend, unsigned carry)
    {
        for (std::size_t i = 0; i < xkey.size(); ++i) {
            const unsigned s = xkey[i] + (i < addend.size() ? addend[i] : 0u) + carry;
            xkey[i] = std::uint8_t(s);
            carry = s >> 8;
        }
    }
    Bytes output(std::size_t n)
    {
        Bytes out;
        while (out.size() < n) {
            const Bytes x = g(xkey);
            add(x, 1);
            out.insert(out.end(), x.begin(), x.end());
        }
        out.resize(n);
        return out;
    }
};

const std::uint32_t kT31[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
const std::uint32_t kT32[5] = {0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0, 0x67452301};

DssModel dssModel(const std::uint32_t* t, const Bytes& seed)
{
    DssModel m;
    std::memcpy(m.t, t, sizeof m.t);
    m.xkey.assign(seed.begin(), seed.begin() + std::min<std::size_t>(seed.size(), 64));
    return m;
}

Bytes sha256(const Bytes& d)
{
    Bytes out(32);
    SHA256(d.data(), d.size(), out.data());
    return out;
}

void addBe(Bytes& target, const Bytes& addend)
{
    unsigned carry = 0;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const std::size_t ti = target.size() - 1 - i;
        const unsigned a = i < addend.size() ? addend[addend.size() - 1 - i] : 0u;
        const unsigned s = target[ti] + a + carry;
        target[ti] = std::uint8_t(s);
        carry = s >> 8;
    }
}

// Model of the hash generator over SHA-256 (strength up to 256), written from
// its description with OpenSSL's SHA-256.
struct HashDrbgModel {
    Bytes v, c, fingerprint;
    static Bytes df(const Bytes& data, unsigned bits)
    {
        Bytes in = {1, std::uint8_t(bits), std::uint8_t(bits >> 8)};
        in.insert(in.end(), data.begin(), data.end());
        Bytes result;
        for (unsigned i = 0; i < (bits + 255) / 256; ++i) {
            const Bytes h = sha256(in);
            result.insert(result.end(), h.begin(), h.end());
            in[0]++;
        }
        result.resize(bits / 8);
        return result;
    }
    static Bytes text(const std::string& s)
    {
        Bytes b(s.begin(), s.end());
        b.push_back(0);
        return b;
    }
    void init(const Bytes& seed, const std::string& pers)
    {
        Bytes entropy(32);
        for (std::size_t i = 0; i < 32; ++i)
            entropy[i] = seed[i % seed.size()];
        Bytes m = entropy;
        const Bytes p = text(pers);
        m.insert(m.end(), p.begin(), p.end());
        v = df(m, 256);
        fingerprint = sha256(entropy);
        Bytes ci = {0};
        ci.insert(ci.end(), v.begin(), v.end());
        c = sha256(ci);
    }
    Bytes generate(std::size_t n)
    {
        Bytes out, d = v;
        while (out.size() < n) {
            const Bytes h = sha256(d);
            out.insert(out.end(), h.begin(), h.end());
            addBe(d, {1});
        }
        out.resize(n);
        Bytes hi = {3};
        hi.insert(hi.end(), v.begin(), v.end());
        const Bytes h = sha256(hi);
        addBe(c, {1});
        addBe(v, h);
        addBe(v, c);
        return out;
    }
    void reseed(const Bytes& seed, const std::string& add)
    {
        Bytes m = {1};
        m.insert(m.end(), v.begin(), v.end());
        m.insert(m.end(), seed.begin(), seed.end());
        const Bytes a = text(add);
        m.insert(m.end(), a.begin(), a.end());
        v = df(m, 256);
        fingerprint = sha256(seed);
        Bytes ci = {0};
        ci.insert(ci.end(), v.begin(), v.end());
        c = sha256(ci);
    }
};

// A toy 8-octet "cipher" whose first octet steps through 0, 1, 2: the OFB
// generator's state then repeats after three blocks.
class ToyCipher : public QvBc {
public:
    QvBc* clone() const override { return new ToyCipher(*this); }
    unsigned int getAlgoId() const override { return 99; }
    const char* getName() const override { return "TOY"; }
    unsigned int getBlockOctets() const override { return 8; }
    unsigned int getMinKeyOctets() const override { return 1; }
    unsigned int getMaxKeyOctets() const override { return 8; }
    unsigned int getKeyStepOctets() const override { return 0; }
    const std::uint32_t* getOidArcs() const override { return arcs; }
    const QvOctet* getOidDer() const override { return der; }
    void encryptCore(const QvOctet* in, QvOctet* out) const override
    {
        std::memmove(out, in, 8);
        out[0] = QvOctet((in[0] + 1) % 3);
    }
    void decryptCore(const QvOctet* in, QvOctet* out) const override { std::memmove(out, in, 8); }

private:
    static constexpr std::uint32_t arcs[1] = {0};
    static constexpr QvOctet der[2] = {6, 0};
};

// A DSS generator whose G adds -1, so XKEY stays where it is: a cycle of one step.
class StuckDss : public QvRbgDss31 {
protected:
    void g(const QvOctet*, QvOctet* out20) const override { std::memset(out20, 0xFF, 20); }
};

} // namespace

TEST(RbgDss, FirstBlockIsTheFips186ExampleGValue)
{
    const auto r = ReadRecords(DataFile("dss_fips186_2.txt")).at(0);
    const Bytes xkey = FromHex(r.at("xkey"));
    QvRbgDss31 dss;
    dss.init(xkey.data(), unsigned(xkey.size()));
    EXPECT_EQ(ToHex(draw(dss, 20)), r.at("g"));
}

TEST(RbgDss, MatchesModelWithLittleEndianXkeyForAnySeedLengthAndRequestSizes)
{
    std::mt19937 rng(186);
    for (std::size_t seedLen : {20u, 21u, 33u, 64u, 100u}) {
        const Bytes seed = randomBytes(rng, seedLen);
        QvRbgDss31 d31;
        d31.init(seed.data(), unsigned(seed.size()));
        QvRbgDss32 d32;
        d32.init(seed.data(), unsigned(seed.size()));
        DssModel m31 = dssModel(kT31, seed), m32 = dssModel(kT32, seed);
        const Bytes o31 = draw(d31, 203, &rng), o32 = draw(d32, 203);
        EXPECT_EQ(ToHex(o31), ToHex(m31.output(203))) << seedLen;
        EXPECT_EQ(ToHex(o32), ToHex(m32.output(203))) << seedLen;
        EXPECT_NE(ToHex(o31), ToHex(o32));
    }
}

TEST(RbgDss, ReseedingRules)
{
    std::mt19937 rng(4);
    const Bytes seed = randomBytes(rng, 24), extra = randomBytes(rng, 30);
    QvRbgDss31 a, b;
    a.init(seed.data(), 24);
    b.init(seed.data(), 24);
    // A seed of zeros, or none, changes nothing.
    const Bytes zeros(24, 0);
    b.reinit(zeros.data(), 24);
    b.reinit(extra.data(), 0);
    EXPECT_EQ(ToHex(draw(a, 7)), ToHex(draw(b, 7)));
    // A real seed is added to XKEY (its first b octets, carries running upward);
    // the octets still in hand stay available.
    DssModel m = dssModel(kT31, seed);
    const Bytes first = m.output(20);
    Bytes rest(first.begin() + 7, first.end());
    a.reinit(extra.data(), unsigned(extra.size()));
    m.add(Bytes(extra.begin(), extra.begin() + 24), 0);
    Bytes expect = rest;
    const Bytes more = m.output(40);
    expect.insert(expect.end(), more.begin(), more.end());
    EXPECT_EQ(ToHex(draw(a, 53)), ToHex(expect));

    QvRbgDss31 fresh;
    EXPECT_THROW(fresh.reinit(extra.data(), 20), QvRbgNotInitialisedException);
    try {
        fresh.init(seed.data(), 19);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x00000013\nMIN_OCTETS: 0x00000014\nMAX_OCTETS: 0x00000040\n"
                                    "STEP_OCTETS: 0x00000001\n");
        EXPECT_EQ(std::string(e.what()), "LIBRARY: libtorvapp\nEXCEPTION: QvBadKeyLengthException\nREASON: Zbyt "
                                         "krótkie ziarno.\nFUNCTION: QvRbgDss::init\nFILE: qvrbgdss\nLINE: 178\n");
    }
    // A failed init leaves the generator unseeded.
    EXPECT_THROW(a.init(seed.data(), 3), QvBadKeyLengthException);
    EXPECT_FALSE(a.isInitialised());
}

TEST(RbgDss, CycleIsDetected)
{
    StuckDss d;
    const Bytes seed(20, 0x11);
    d.init(seed.data(), 20);
    QvOctet o[4];
    try {
        d.fillOctets(o, 4);
        FAIL();
    } catch (const QvRbgCycleException& e) {
        EXPECT_EQ(std::string(e.what()), "LIBRARY: libtorvapp\nEXCEPTION: QvRbgCycleException\nREASON: Wykryto cykl "
                                         "RBG\nFUNCTION: QvRbgDss::step\nFILE: qvrbgdss\nLINE: 139\n");
    }
}

TEST(RbgOfb, MatchesAesModelAndHandsOutHalfBlocks)
{
    std::mt19937 rng(8);
    QvRbgOfb ofb;
    EXPECT_EQ(ofb.getMinSeedOctets(), 32u);
    EXPECT_EQ(ofb.getMaxSeedOctets(), 48u);
    EXPECT_EQ(ofb.getSeedStepOctets(), 8u);
    EXPECT_STREQ(ofb.getName(), "OFB");
    for (std::size_t seedLen : {32u, 40u, 48u, 60u}) {
        const Bytes seed = randomBytes(rng, seedLen);
        ofb.init(seed.data(), unsigned(seedLen));
        const std::size_t keyLen = std::min<std::size_t>(seedLen - 16, 32);
        const Bytes key(seed.begin() + 16, seed.begin() + 16 + keyLen);
        const char* ecb = keyLen == 16 ? "AES-128-ECB" : keyLen == 24 ? "AES-192-ECB" : "AES-256-ECB";
        Bytes v(seed.begin(), seed.begin() + 16), model;
        for (int i = 0; i < 6; ++i) {
            v = evpCrypt(ecb, true, key, {}, v);
            model.insert(model.end(), v.begin(), v.begin() + 8);
        }
        EXPECT_EQ(ToHex(draw(ofb, 48, &rng)), ToHex(model)) << seedLen;
    }
    const Bytes seed = randomBytes(rng, 36);
    EXPECT_THROW(ofb.init(seed.data(), 36), QvBadKeyLengthException); // a 20-octet AES key
    EXPECT_FALSE(ofb.isInitialised());
    try {
        ofb.init(seed.data(), 15);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Zbyt krotkie ziarno.\nFUNCTION: QvRbgOfb::init\n"),
                  std::string::npos);
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x0000000f\nMIN_OCTETS: 0x00000020\nMAX_OCTETS: 0x00000030\n"
                                    "STEP_OCTETS: 0x00000008\n");
    }
}

TEST(RbgOfb, ReseedXorsTheFeedbackValue)
{
    std::mt19937 rng(10);
    const Bytes seed = randomBytes(rng, 32), extra = randomBytes(rng, 20);
    QvRbgOfb a;
    a.init(seed.data(), 32);
    const Bytes first = draw(a, 4);
    a.reinit(extra.data(), unsigned(extra.size()));
    // The buffered half block stays; then v ^ extra is encrypted.
    const Bytes key(seed.begin() + 16, seed.end());
    Bytes v = evpCrypt("AES-128-ECB", true, key, {}, Bytes(seed.begin(), seed.begin() + 16));
    for (int i = 0; i < 16; ++i)
        v[i] ^= extra[i];
    const Bytes next = evpCrypt("AES-128-ECB", true, key, {}, v);
    const Bytes got = draw(a, 12);
    EXPECT_EQ(ToHex(got).substr(0, 8), ToHex(evpCrypt("AES-128-ECB", true, key, {}, Bytes(seed.begin(), seed.begin() + 16))).substr(8, 8));
    EXPECT_EQ(ToHex(got).substr(8), ToHex(next).substr(0, 16));
    QvRbgOfb fresh;
    EXPECT_THROW(fresh.reinit(extra.data(), 16), QvRbgNotInitialisedException);
}

TEST(RbgOfb, CycleIsDetected)
{
    QvRbgOfb ofb;
    ofb.setCipher(ToyCipher());
    EXPECT_EQ(ofb.getMinSeedOctets(), 9u);
    const Bytes seed(12, 0);
    ofb.init(seed.data(), 12);
    QvOctet o[8];
    ofb.fillOctets(o, 8); // two blocks of 4 octets
    try {
        ofb.fillOctets(o, 8);
        FAIL();
    } catch (const QvRbgCycleException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Wykryto cykl RBG.\nFUNCTION: QvRbgOfb::generate\n"),
                  std::string::npos);
    }
}

TEST(RbgHash, MatchesModelThroughInitGenerateAndReseed)
{
    std::mt19937 rng(18031);
    const Bytes seed = randomBytes(rng, 32), seed2 = randomBytes(rng, 40);
    QvRbgHashIso18031 h;
    h.init(seed.data(), 32, "personal");
    HashDrbgModel m;
    m.init(seed, "personal");
    EXPECT_EQ(ToHex(draw(h, 100)), ToHex(m.generate(100)));
    EXPECT_EQ(ToHex(draw(h, 1)), ToHex(m.generate(1)));
    EXPECT_EQ(ToHex(draw(h, 64)), ToHex(m.generate(64)));
    h.reinit(seed2.data(), 40, "more");
    m.reseed(seed2, "more");
    EXPECT_EQ(ToHex(draw(h, 77)), ToHex(m.generate(77)));
    // Each fillOctets call is one request: splitting a draw changes the stream.
    QvRbgHashIso18031 a, b;
    a.init(seed.data(), 32);
    b.init(seed.data(), 32);
    Bytes whole = draw(a, 40), split(40);
    b.fillOctets(split.data(), 20);
    b.fillOctets(split.data() + 20, 20);
    EXPECT_EQ(ToHex(whole).substr(0, 40), ToHex(split).substr(0, 40));
    EXPECT_NE(ToHex(whole), ToHex(split));
    // The seeded constructor equals construction followed by init.
    QvRbgHashIso18031 c(seed.data(), 32, "personal", QV_RBG_PREDICTION_RESISTANCE);
    HashDrbgModel mc;
    mc.init(seed, "personal");
    EXPECT_EQ(ToHex(draw(c, 50)), ToHex(mc.generate(50)));
}

TEST(RbgHash, ShortSeedIsRepeatedAndTooShortIsRefused)
{
    std::mt19937 rng(2);
    const Bytes s16 = randomBytes(rng, 16);
    Bytes s32 = s16;
    s32.insert(s32.end(), s16.begin(), s16.end());
    QvRbgHashIso18031 a, b;
    a.init(s16.data(), 16);
    b.init(s32.data(), 32);
    EXPECT_EQ(ToHex(draw(a, 40)), ToHex(draw(b, 40)));
    try {
        a.init(s16.data(), 15);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Number of seed octets is too small.\nFUNCTION: void "
                                             "QvRbgHashIso18031::init(const QvOctet *seed, unsigned int seedLen, "
                                             "const char *personalisationString)\n"),
                  std::string::npos);
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x0000000f\nMIN_OCTETS: 0x00000010\nMAX_OCTETS: 0x00000000\n"
                                    "STEP_OCTETS: 0x00000000\n");
    }
    EXPECT_FALSE(a.isInitialised());
    QvOctet o;
    EXPECT_THROW(a.fillOctets(&o, 1), QvRbgNotInitialisedException);
}

TEST(RbgHash, StrengthRulesAndRepeatedEntropyIsACycle)
{
    try {
        QvRbgHashIso18031 bad(192, QV_HASH_DHF_ALGO_SHA1);
        FAIL();
    } catch (const QvLibNotImplementedException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Requested strength is to large.\n"), std::string::npos);
    }
    QvRbgHashIso18031 s(100, QV_HASH_DHF_ALGO_SHA256);
    EXPECT_EQ(s.getStrength(), 112u);
    EXPECT_EQ(QvRbgHashIso18031(129).getStrength(), 192u);
    EXPECT_EQ(QvRbgHashIso18031(0).getStrength(), 80u);
    EXPECT_EQ(QvRbgHashIso18031(80, QV_HASH_DHF_ALGO_SHA224).getHash().getHashAlgo(), unsigned(QV_HASH_DHF_ALGO_SHA256));
    EXPECT_EQ(QvRbgHashIso18031(80, 77).getHash().getHashAlgo(), unsigned(QV_HASH_DHF_ALGO_SHA256));
    EXPECT_EQ(QvRbgHashIso18031(256, QV_HASH_DHF_ALGO_SHA512).getMinSeedOctets(), 32u);
    try {
        s.setHashAlgo(QV_HASH_DHF_ALGO_MD5, 200);
        FAIL();
    } catch (const QvArgumentRangeException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Zbyt duza sila RBG.\n"), std::string::npos);
    }
    EXPECT_EQ(s.getHash().getHashAlgo(), unsigned(QV_HASH_DHF_ALGO_MD5));

    const Bytes seed(32, 0x5a);
    QvRbgHashIso18031 h;
    h.init(seed.data(), 32);
    try {
        h.reinit(seed.data(), 32);
        FAIL();
    } catch (const QvRbgCycleException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: There is cycle in random bit generator.\n"), std::string::npos);
    }
    // A 16-octet seed is used twice as the entropy input; reseeding with the same
    // 16 octets is the repeat, reseeding with their repetition is not.
    const Bytes s16(16, 0x3c);
    const Bytes s32(32, 0x3c);
    QvRbgHashIso18031 g;
    g.init(s16.data(), 16);
    EXPECT_THROW(g.reinit(s16.data(), 16), QvRbgCycleException);
    QvRbgHashIso18031 k;
    k.init(s16.data(), 16);
    EXPECT_NO_THROW(k.reinit(s32.data(), 32));
    EXPECT_THROW(k.reinit(s32.data(), 32), QvRbgCycleException);
    QvRbgHashIso18031 fresh;
    EXPECT_THROW(fresh.reinit(seed.data(), 32), QvRbgNotInitialisedException);
    // A reseed needs no minimum length.
    h.reinit(seed.data(), 1);
    EXPECT_EQ(draw(h, 5).size(), 5u);
}

TEST(RbgFactory, IdentifiersNamesAndUnseededUse)
{
    const char* names[] = {"OFB", "DSS31", "DSS32", "HASH-DRBG-18031"};
    const unsigned mins[] = {32, 20, 20, 16}, maxs[] = {48, 64, 64, 64}, steps[] = {8, 1, 1, 1};
    for (unsigned id = 1; id <= 4; ++id) {
        std::unique_ptr<QvRbg> r(qvRbgCreateObject(id));
        EXPECT_STREQ(r->getName(), names[id - 1]);
        EXPECT_EQ(r->getMinSeedOctets(), mins[id - 1]);
        EXPECT_EQ(r->getMaxSeedOctets(), maxs[id - 1]);
        EXPECT_EQ(r->getSeedStepOctets(), steps[id - 1]);
        QvOctet o;
        try {
            r->fillOctets(&o, 1);
            FAIL();
        } catch (const QvRbgNotInitialisedException& e) {
            EXPECT_NE(std::string(e.what()).find("REASON: Niezainicjowane RBG.\n"), std::string::npos);
        }
        // Words take four octets, the first most significant.
        Bytes seed(48, std::uint8_t(id));
        r->init(seed.data(), r->getMinSeedOctets());
        std::unique_ptr<QvRbg> twin(qvRbgCreateObject(id));
        twin->init(seed.data(), r->getMinSeedOctets());
        const QvWord w = r->getWord();
        Bytes o4(4);
        for (auto& x : o4)
            twin->fillOctets(&x, 1);
        EXPECT_EQ(w, (QvWord(o4[0]) << 24) | (QvWord(o4[1]) << 16) | (QvWord(o4[2]) << 8) | o4[3]);
        r->uninit();
        EXPECT_THROW(r->getOctet(), QvRbgNotInitialisedException);
    }
    for (unsigned id : {0u, 5u}) {
        try {
            qvRbgCreateObject(id);
            FAIL();
        } catch (const QvArgumentRangeException& e) {
            EXPECT_EQ(std::string(e.what()), "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: "
                                             "Nieznany identyfikator RBG\nFUNCTION: qvRbgCreateObject\nFILE: qvrbg\n"
                                             "LINE: 86\n");
        }
    }
}
