#define OPENSSL_SUPPRESS_DEPRECATED // PKCS1_MGF1 is the reference for MGF1
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rsa.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hash_vectors.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"

namespace {

const char* mdName(unsigned int id)
{
    static const char* names[] = {nullptr, "SHA1", "SHA224", "SHA256", "SHA384",
                                  "SHA512", nullptr, "RIPEMD160", "MD5"};
    return id <= 8 ? names[id] : nullptr;
}

std::vector<QvOctet> hashOf(unsigned int id, const std::vector<QvOctet>& msg)
{
    std::unique_ptr<QvHash> h(qvHashCreateObject(id));
    h->hash(msg.data(), static_cast<unsigned int>(msg.size()));
    return std::vector<QvOctet>(h->getHashPtr(), h->getHashPtr() + h->getHashOctets());
}

std::vector<QvOctet> opensslX963(const char* md, const std::vector<QvOctet>& z, std::size_t len)
{
    std::vector<QvOctet> out(len);
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "X963KDF", nullptr);
    EXPECT_NE(kdf, nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    OSSL_PARAM params[3];
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(md), 0);
    params[1] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                                  const_cast<QvOctet*>(z.data()), z.size());
    params[2] = OSSL_PARAM_construct_end();
    EXPECT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), params), 1) << md;
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    return out;
}

} // namespace

TEST(QvMgfKnownAnswers, Mgf1OfOneBlockIsTheHashWithCounterZero)
{
    QvMgf1 m(QV_HASH_DHF_ALGO_SHA1, 0);
    const QvOctet abc[3] = {0x61, 0x62, 0x63};
    QvOctet out[20];
    m.generate(out, 20, abc, 3);
    EXPECT_EQ(ToHex(out, 20),
              ToHex(hashOf(1, {0x61, 0x62, 0x63, 0, 0, 0, 0}).data(), 20));
}

TEST(QvMgfKnownAnswers, Kdf2WithShortBlocksTakesPrefixesOfEachHash)
{
    std::vector<QvOctet> z = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    QvKdf2 k(QV_HASH_DHF_ALGO_SHA1, 16);
    EXPECT_EQ(k.getBlockOctets(), 16u);
    QvOctet out[32];
    k.generate(out, 32, z.data(), 10);
    std::vector<QvOctet> z1 = z, z2 = z;
    z1.insert(z1.end(), {0, 0, 0, 1});
    z2.insert(z2.end(), {0, 0, 0, 2});
    EXPECT_EQ(ToHex(out, 16), ToHex(hashOf(1, z1).data(), 16));
    EXPECT_EQ(ToHex(out + 16, 16), ToHex(hashOf(1, z2).data(), 16));
    EXPECT_EQ(QvKdf2(QV_HASH_DHF_ALGO_SHA1, 21).getBlockOctets(), 20u);
    EXPECT_EQ(QvKdf2(QV_HASH_DHF_ALGO_SHA1, 0).getBlockOctets(), 20u);
}

TEST(QvMgfStreams, XorTwiceRestoresAndStreamMatchesGenerate)
{
    for (int kind = 0; kind < 2; ++kind) {
        std::unique_ptr<QvMgf> m(qvKdfCreateObject(kind));
        const QvOctet seed[5] = {9, 8, 7, 6, 5};
        std::vector<QvOctet> data(100), orig;
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<QvOctet>(i);
        orig = data;
        m->xorMask(data.data(), 100, seed, 5);
        EXPECT_NE(data, orig);
        m->xorMask(data.data(), 100, seed, 5);
        EXPECT_EQ(data, orig);

        QvOctet whole[30], parts[30];
        m->generate(whole, 30, seed, 5);
        EXPECT_EQ(m->setSeed(seed, 5), 32u);
        m->next(parts, 10);
        m->next(parts + 10, 10);
        m->next(parts + 20, 10);
        EXPECT_EQ(ToHex(parts, 30), ToHex(whole, 30));
        m->reset();
        std::vector<QvOctet> big(200), streamed(200);
        m->generate(big.data(), 200, seed, 5);
        m->setSeed(seed, 5);
        std::size_t off = 0;
        for (unsigned int piece : {0u, 1u, 31u, 32u, 33u, 64u, 39u})
            m->next(streamed.data() + off, piece), off += piece;
        EXPECT_EQ(off, 200u);
        EXPECT_EQ(streamed, big);
        std::unique_ptr<QvMgf> c(m->clone());
        QvOctet again[30];
        c->generate(again, 30, seed, 5);
        EXPECT_EQ(ToHex(again, 30), ToHex(whole, 30));
        EXPECT_EQ(m->getMaxKeyOctets(), 128u);
    }
}

TEST(QvMgfFactory, KnowsOnlyMgf1AndKdf2)
{
    std::unique_ptr<QvMgf> m(qvKdfCreateObject(0)), k(qvKdfCreateObject(1));
    EXPECT_NE(dynamic_cast<QvMgf1*>(m.get()), nullptr);
    EXPECT_NE(dynamic_cast<QvKdf2*>(k.get()), nullptr);
    EXPECT_EQ(m->getHashAlgo(), 3u);
    EXPECT_EQ(k->getBlockOctets(), 32u);
    try {
        qvKdfCreateObject(2);
        FAIL() << "nothing thrown";
    } catch (const QvLibNotImplementedException& e) {
        std::string t = e.what();
        EXPECT_EQ(t.substr(0, t.find("LINE: ")),
                  "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\n"
                  "REASON: Nieznany algorytm.\nFUNCTION: qvKdfCreateObject\nFILE: qvmgf\n");
    }
    EXPECT_THROW(QvMgf1(9, 0), QvArgumentRangeException);
}

TEST(QvMgfStreams, RefusesNullBuffersAndUnseededStreams)
{
    QvMgf1 m(QV_HASH_DHF_ALGO_SHA256, 0);
    QvOctet out[4];
    EXPECT_THROW(m.next(out, 4), QvNotInitException);
    EXPECT_THROW(m.generate(nullptr, 4, out, 1), QvArgumentRangeException);
    EXPECT_THROW(m.generate(out, 4, nullptr, 1), QvArgumentRangeException);
    m.generate(out, 0, nullptr, 0); // nothing asked, nothing computed
}

TEST(QvMgfAgainstOpenssl, Mgf1MatchesPkcs1Mgf1)
{
    std::mt19937 rng(5);
    for (unsigned int id = 1; id <= 8; ++id) {
        const char* name = mdName(id);
        if (name == nullptr)
            continue;
        EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
        ASSERT_NE(md, nullptr) << name;
        QvMgf1 m(id, 0);
        for (unsigned int len : {0u, 1u, 19u, 20u, 21u, 64u, 100u, 257u, 1000u}) {
            std::vector<QvOctet> seed(rng() % 80), ours(len), theirs(len);
            for (QvOctet& o : seed)
                o = static_cast<QvOctet>(rng());
            m.generate(ours.data(), len, seed.data(), static_cast<unsigned int>(seed.size()));
            ASSERT_EQ(PKCS1_MGF1(theirs.data(), len, seed.data(), static_cast<long>(seed.size()), md), 0);
            EXPECT_EQ(ours, theirs) << name << " " << len;
        }
        EVP_MD_free(md);
    }
}

TEST(QvMgfAgainstOpenssl, Kdf2MatchesX963Kdf)
{
    std::mt19937 rng(6);
    for (unsigned int id = 1; id <= 8; ++id) {
        const char* name = mdName(id);
        if (name == nullptr || id == 7 || id == 8)
            continue; // the X9.63 KDF takes SHA digests only
        QvKdf2 k(id, 0);
        for (unsigned int len : {1u, 16u, 32u, 33u, 64u, 100u, 500u}) {
            std::vector<QvOctet> z(1 + rng() % 64), ours(len);
            for (QvOctet& o : z)
                o = static_cast<QvOctet>(rng());
            k.generate(ours.data(), len, z.data(), static_cast<unsigned int>(z.size()));
            EXPECT_EQ(ours, opensslX963(name, z, len)) << name << " " << len;
            std::vector<QvOctet> streamed(len);
            k.setSeed(z.data(), static_cast<unsigned int>(z.size()));
            k.next(streamed.data(), len / 3);
            k.next(streamed.data() + len / 3, len - len / 3);
            EXPECT_EQ(streamed, ours);
        }
    }
}
