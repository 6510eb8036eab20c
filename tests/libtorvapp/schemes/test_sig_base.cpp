// The signature base: hash handling, digest encoding into caller buffers and
// the long-message operations, seen through the PKCS#1 v1.5 scheme.
#include <gtest/gtest.h>

#include <cstring>

#include "libtorvapp/qvrsasig.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

TEST(SignatureBase, SetHashAlgoKeepsOrReplacesTheHashObject)
{
    QvRsaSigPkcsV15 s;
    EXPECT_EQ(s.getHash(), nullptr);
    EXPECT_EQ(s.getDigestOctets(), 0u);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    const QvHash *first = s.getHash();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(s.getDigestOctets(), 32u);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    EXPECT_EQ(s.getHash(), first);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    EXPECT_EQ(s.getHash()->getHashAlgo(), QV_HASH_DHF_ALGO_SHA1);
    EXPECT_EQ(s.getDigestOctets(), 20u);
    EXPECT_EQ(s.getHashAlgo(), QV_HASH_DHF_ALGO_SHA1);
}

TEST(SignatureBase, CopyHasItsOwnHashOfTheSameAlgorithm)
{
    QvRsaSigPkcsV15 s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA384);
    QvRsaSigPkcsV15 c(s);
    ASSERT_NE(c.getHash(), nullptr);
    EXPECT_NE(c.getHash(), s.getHash());
    EXPECT_EQ(c.getHash()->getHashAlgo(), QV_HASH_DHF_ALGO_SHA384);
    EXPECT_EQ(c.getDigestOctets(), 48u);
    QvRsaSigPkcsV15 a;
    a.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    a = s;
    EXPECT_EQ(a.getHash()->getHashAlgo(), QV_HASH_DHF_ALGO_SHA384);
    EXPECT_EQ(a.getDigestOctets(), 48u);
}

TEST(SignatureBase, LongMessageWithoutAnyHashThrowsFromTheFactory)
{
    QvRsaSig s;
    EXPECT_THROW(s.longMsgHashInit(0), QvArgumentRangeException);
    // Update without a started hash is refused, never a crash.
    const QvOctet m[1] = {1};
    EXPECT_THROW(s.longMsgHashUpdate(m, 1), QvFsmException);
}

TEST(SignatureBase, EncodeDigestFitsExactlyAndRefusesOneOctetLess)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPublicKey pub;
    fillRsaPublic(pub, k);
    QvRsaSigPkcsV15 s;
    s.setPublicKey(&pub);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    Bytes d = mdDigest("SHA256", Bytes{'a', 'b', 'c'});
    Bytes enc(127, 0xEE);
    EXPECT_EQ(s.encodeDigest(d.data(), 32, enc.data(), 127), 127u);
    Bytes shortBuf(126, 0xEE);
    try {
        s.encodeDigest(d.data(), 32, shortBuf.data(), 126);
        FAIL() << "no exception";
    } catch (const QvArgumentRangeException &e) {
        EXPECT_STREQ(e.what(),
                     "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                     "REASON: Buffer for encoding is too short.\n"
                     "FUNCTION: unsigned int QvAsymSig::encodeDigest(const QvOctet *digest, unsigned int digestLen, "
                     "QvOctet *encoding, unsigned int encodingMaxLen)\nFILE: asymsig_encode\nLINE: 46\n");
    }
    EXPECT_EQ(shortBuf, Bytes(126, 0xEE));
}

TEST(SignatureBase, LongMessageInPiecesEqualsTheDigestSignature)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, true);
    QvRsaSigPkcsV15 s;
    s.setPrivateKey(&prv);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    Bytes msg(1000);
    for (size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<unsigned char>(i * 7);
    Bytes d = mdDigest("SHA256", msg);
    Bytes viaDigest(128), viaPieces(128), whole(128);
    ASSERT_EQ(s.sign(d.data(), 32, viaDigest.data(), 128), 128u);
    s.signInit(0);
    s.signUpdate(msg.data(), 333);
    s.signUpdate(msg.data() + 333, 667);
    ASSERT_EQ(s.signFinal(viaPieces.data(), 128), 128u);
    ASSERT_EQ(s.signMessage(msg.data(), 1000, whole.data(), 128, 0), 128u);
    EXPECT_EQ(viaDigest, viaPieces);
    EXPECT_EQ(viaDigest, whole);

    // The empty message signs the digest of the empty string.
    Bytes e = mdDigest("SHA256", Bytes{});
    Bytes a(128), b(128);
    s.sign(e.data(), 32, a.data(), 128);
    s.signMessage(nullptr, 0, b.data(), 128, 0);
    EXPECT_EQ(a, b);

    QvRsaPublicKey pub;
    fillRsaPublic(pub, k);
    QvRsaSigPkcsV15 v;
    v.setPublicKey(&pub);
    v.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    EXPECT_TRUE(v.verifyMessage(msg.data(), 1000, whole.data(), 128, 0));
    v.verifyInit(0);
    v.verifyUpdate(msg.data(), 999);
    EXPECT_FALSE(v.verifyFinal(whole.data(), 128));
}
