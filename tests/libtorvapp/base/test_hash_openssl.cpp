// Differential checks against OpenSSL's libcrypto, an independent implementation.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hash_vectors.h"
#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvhash.h"

namespace {

const char* opensslName(unsigned int id)
{
    switch (id) {
    case 1: return "SHA1";
    case 2: return "SHA224";
    case 3: return "SHA256";
    case 4: return "SHA384";
    case 5: return "SHA512";
    case 7: return "RIPEMD160";
    case 8: return "MD5";
    default: return nullptr; // RIPEMD-128 is not offered by OpenSSL
    }
}

std::string opensslDigest(EVP_MD* md, const std::vector<QvOctet>& msg)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(msg.data(), msg.size(), out, &n, md, nullptr), 1);
    return ToHex(out, n);
}

// Feeds msg in pieces cut at random points.
std::string ourDigestSplit(QvHash& h, const std::vector<QvOctet>& msg, std::mt19937& rng)
{
    h.init();
    std::size_t off = 0;
    while (off < msg.size()) {
        std::size_t left = msg.size() - off;
        std::size_t piece;
        switch (rng() % 4) {
        case 0: piece = 1; break;
        case 1: piece = rng() % 200; break;
        default: piece = rng() % (left + 1); break;
        }
        if (piece > left)
            piece = left;
        h.step(msg.data() + off, static_cast<unsigned int>(piece));
        off += piece;
    }
    h.finish();
    return ToHex(h.getHashPtr(), h.getHashOctets());
}

struct Md {
    EVP_MD* md;
    explicit Md(const char* name) : md(EVP_MD_fetch(nullptr, name, nullptr)) {}
    ~Md() { EVP_MD_free(md); }
};

} // namespace

TEST(QvHashAgainstOpenssl, RandomMessagesUpTo300OctetsAtRandomSplits)
{
    std::mt19937 rng(20261207);
    int compared = 0;
    for (unsigned int id = 1; id <= 8; ++id) {
        const char* name = opensslName(id);
        if (name == nullptr)
            continue;
        Md md(name);
        if (md.md == nullptr) {
            ADD_FAILURE() << "OpenSSL does not offer " << name;
            continue;
        }
        std::unique_ptr<QvHash> h(qvHashCreateObject(id));
        for (std::size_t len = 0; len <= 300; ++len) {
            std::vector<QvOctet> msg(len);
            for (QvOctet& o : msg)
                o = static_cast<QvOctet>(rng());
            std::string want = opensslDigest(md.md, msg);
            for (int rep = 0; rep < 3; ++rep) {
                ASSERT_EQ(ourDigestSplit(*h, msg, rng), want) << name << " length " << len;
                ++compared;
            }
            h->hash(msg.data(), static_cast<unsigned int>(len));
            ASSERT_EQ(ToHex(h->getHashPtr(), h->getHashOctets()), want) << name << " " << len;
        }
    }
    EXPECT_EQ(compared, 7 * 301 * 3);
}

TEST(QvHashAgainstOpenssl, OneMebibyteAtRandomSplits)
{
    std::mt19937 rng(77);
    std::vector<QvOctet> msg(1u << 20);
    for (QvOctet& o : msg)
        o = static_cast<QvOctet>(rng());
    for (unsigned int id = 1; id <= 8; ++id) {
        const char* name = opensslName(id);
        if (name == nullptr)
            continue;
        Md md(name);
        ASSERT_NE(md.md, nullptr) << name;
        std::unique_ptr<QvHash> h(qvHashCreateObject(id));
        std::string want = opensslDigest(md.md, msg);
        EXPECT_EQ(ourDigestSplit(*h, msg, rng), want) << name;
        h->hash(msg.data(), static_cast<unsigned int>(msg.size()));
        EXPECT_EQ(ToHex(h->getHashPtr(), h->getHashOctets()), want) << name;
    }
}

// The accelerated compressions (where the processor has them) and the portable
// ones, chosen in one process, agree with each other and with OpenSSL; a clone
// keeps the path of its original.
TEST(QvHashAgainstOpenssl, PortableAndProcessorPathsAgree)
{
    std::mt19937 rng(4242);
    const bool forcedBefore = qvCpuPortableForced();
    for (unsigned int id = 1; id <= 8; ++id) {
        const char* name = opensslName(id);
        if (name == nullptr)
            continue;
        Md md(name);
        ASSERT_NE(md.md, nullptr) << name;
        qvCpuForcePortable(true);
        std::unique_ptr<QvHash> portable(qvHashCreateObject(id));
        qvCpuForcePortable(false);
        std::unique_ptr<QvHash> native(qvHashCreateObject(id));
        for (std::size_t len : {0u, 55u, 56u, 64u, 119u, 1000u, 4096u, 65537u}) {
            std::vector<QvOctet> msg(len);
            for (QvOctet& o : msg)
                o = static_cast<QvOctet>(rng());
            const std::string want = opensslDigest(md.md, msg);
            EXPECT_EQ(ourDigestSplit(*portable, msg, rng), want) << name << " portable " << len;
            EXPECT_EQ(ourDigestSplit(*native, msg, rng), want) << name << " native " << len;
            std::unique_ptr<QvHash> copy(native->clone());
            copy->hash(msg.data(), static_cast<unsigned int>(len));
            EXPECT_EQ(ToHex(copy->getHashPtr(), copy->getHashOctets()), want) << name << " clone " << len;
        }
    }
    qvCpuForcePortable(forcedBefore);
}
