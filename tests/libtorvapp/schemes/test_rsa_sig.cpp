// RSA signatures: PKCS#1 v1.5 and PSS checked against OpenSSL both ways, the
// raw scheme, masking, padding limits and the exception texts.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "libtorvapp/qvrsasig.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

namespace {

struct HashCase {
    QvHashAlgo id;
    const char *md;
};
const HashCase kHashes[] = {{QV_HASH_DHF_ALGO_SHA1, "SHA1"},
                            {QV_HASH_DHF_ALGO_SHA256, "SHA256"},
                            {QV_HASH_DHF_ALGO_SHA384, "SHA384"},
                            {QV_HASH_DHF_ALGO_SHA512, "SHA512"}};

Bytes message(unsigned int tag) { return Bytes{'m', 's', 'g', static_cast<unsigned char>(tag)}; }

} // namespace

TEST(RsaPkcs1V15Signature, EqualsOpenSslAndVerifiesBothWays)
{
    for (unsigned int bits : {1024u, 2048u}) {
        EVP_PKEY *k = rsaKey(bits);
        QvRsaPrivateKey prvCrt, prvPlain;
        fillRsaPrivate(prvCrt, k, true);
        fillRsaPrivate(prvPlain, k, false);
        QvRsaPublicKey pub;
        fillRsaPublic(pub, k);
        for (const HashCase &h : kHashes) {
            Bytes d = mdDigest(h.md, message(bits + h.id));
            QvRsaSigPkcsV15 signer;
            signer.setHashAlgo(h.id);
            signer.setPrivateKey(&prvCrt);
            Bytes sig(signer.getMaxSignatureOctets());
            ASSERT_EQ(signer.sign(d.data(), static_cast<unsigned int>(d.size()), sig.data(),
                                  static_cast<unsigned int>(sig.size())),
                      bits / 8);
            EXPECT_TRUE(osslVerify(k, h.md, d, sig, RSA_PKCS1_PADDING)) << h.md << " " << bits;
            // Deterministic padding: the same octets as OpenSSL's.
            Bytes theirs = osslSign(k, h.md, d, RSA_PKCS1_PADDING);
            EXPECT_EQ(sig, theirs);
            Bytes plainSig(bits / 8);
            signer.setPrivateKey(&prvPlain);
            signer.sign(d.data(), static_cast<unsigned int>(d.size()), plainSig.data(), bits / 8);
            EXPECT_EQ(plainSig, theirs);

            QvRsaSigPkcsV15 verifier;
            verifier.setHashAlgo(h.id);
            verifier.setPublicKey(&pub);
            EXPECT_TRUE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), theirs.data(),
                                        static_cast<unsigned int>(theirs.size())));
            Bytes bad = theirs;
            bad[bits / 16] ^= 0x01;
            EXPECT_FALSE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), bad.data(),
                                         static_cast<unsigned int>(bad.size())));
            Bytes otherDigest = d;
            otherDigest.back() ^= 0x80;
            EXPECT_FALSE(verifier.verify(otherDigest.data(), static_cast<unsigned int>(d.size()), theirs.data(),
                                         static_cast<unsigned int>(theirs.size())));
        }
    }
}

TEST(RsaPkcs1V15Signature, EncodingOfA1024BitKeyWithSha1)
{
    QvRsaPublicKey pub;
    fillRsaPublic(pub, rsaKey(1024));
    QvRsaSigPkcsV15 s;
    s.setPublicKey(&pub);
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    Bytes d(20, 0xAB);
    Bytes enc(200);
    ASSERT_EQ(s.encodeDigest(d.data(), 20, enc.data(), 200), 127u);
    EXPECT_EQ(enc[0], 0x01);
    EXPECT_EQ(enc[1], 0xFF);
    // 01, FF x 89, 00, DigestInfo of 35 octets.
    EXPECT_EQ(enc[90], 0xFF);
    EXPECT_EQ(enc[91], 0x00);
    Bytes t = testsupport::FromHex("3021300906052b0e03021a05000414");
    EXPECT_TRUE(std::equal(t.begin(), t.end(), enc.begin() + 92));
    // A digest of another length still carries the SHA-1 identifier.
    Bytes d32(32, 0x11);
    ASSERT_EQ(s.encodeDigest(d32.data(), 32, enc.data(), 200), 127u);
    Bytes t32 = testsupport::FromHex("302d300906052b0e03021a05000420");
    EXPECT_TRUE(std::equal(t32.begin(), t32.end(), enc.begin() + 127 - 47));
}

TEST(RsaPkcs1V15Signature, EightPaddingOctetsAcceptedSevenRefused)
{
    // DigestInfo with SHA-1 is 35 octets: k = 46 leaves eight FF octets, 45 seven.
    QvRsaPublicKey ok;
    ok.setN("0x8000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001");
    ok.setE("65537");
    ASSERT_EQ(ok.getKeyOctets(), 46u);
    QvRsaSigPkcsV15 s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    s.setPublicKey(&ok);
    Bytes d(20, 0x42), enc(64);
    ASSERT_EQ(s.encodeDigest(d.data(), 20, enc.data(), 64), 45u);
    EXPECT_EQ(enc[8], 0xFF);
    EXPECT_EQ(enc[9], 0x00);

    QvRsaPublicKey tooSmall;
    tooSmall.setN("0x80000000000000000000000000000000000000000000000000000000000000000000000000000000000000001");
    tooSmall.setE("65537");
    ASSERT_EQ(tooSmall.getKeyOctets(), 45u);
    s.setPublicKey(&tooSmall);
    Bytes sig(45, 1);
    try {
        s.verify(d.data(), 20, sig.data(), 45);
        FAIL() << "no exception";
    } catch (const QvMessageToLongException &e) {
        EXPECT_STREQ(e.what(),
                     "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
                     "REASON: Digest you are trying encode is too long.\n"
                     "FUNCTION: unsigned int QvRsaSigPkcsV15::encode(QvOctMem &encoding, const QvOctet *digest, "
                     "unsigned int digestLen)\nFILE: rsasigpkcsv15_encode\nLINE: 81\n");
    }
}

TEST(RsaPkcs1V15Signature, SignatureLengthRules)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPublicKey pub;
    fillRsaPublic(pub, k);
    QvRsaSigPkcsV15 v;
    v.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    v.setPublicKey(&pub);
    // Find a signature with a leading zero octet: it also verifies without it.
    for (unsigned int i = 0; i < 2000; ++i) {
        Bytes d = mdDigest("SHA256", message(i) );
        d[0] = static_cast<unsigned char>(i);
        d[1] = static_cast<unsigned char>(i >> 8);
        Bytes sig = osslSign(k, "SHA256", d, RSA_PKCS1_PADDING);
        if (sig[0] != 0)
            continue;
        Bytes shortSig(sig.begin() + 1, sig.end());
        EXPECT_TRUE(v.verify(d.data(), 32, shortSig.data(), 127));
        break;
    }
    Bytes d = mdDigest("SHA256", message(1));
    Bytes sig = osslSign(k, "SHA256", d, RSA_PKCS1_PADDING);
    Bytes longSig(1, 0);
    longSig.insert(longSig.end(), sig.begin(), sig.end());
    try {
        v.verify(d.data(), 32, longSig.data(), 129);
        FAIL() << "no exception";
    } catch (const QvMessageToLongException &e) {
        EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
                               "REASON: Signature you are trying verify is too long.\n"
                               "FUNCTION: bool QvRsaSig::verify(const QvOctet *signature, unsigned int signatureLen)\n"
                               "FILE: rassig_verify\nLINE: 42\n");
    }
    // A signature value at or above n is refused, not reduced.
    Bytes n = bnParam(k, "n");
    Bytes plusN(128);
    unsigned int carry = 0;
    for (int i = 127; i >= 0; --i) {
        unsigned int s = sig[static_cast<size_t>(i)] + n[static_cast<size_t>(i)] + carry;
        plusN[static_cast<size_t>(i)] = static_cast<unsigned char>(s);
        carry = s >> 8;
    }
    if (carry == 0) {
        EXPECT_FALSE(v.verify(d.data(), 32, plusN.data(), 128));
    }
}

TEST(RsaSignature, MaskedAndUnmaskedSigningAgree)
{
    EVP_PKEY *k = rsaKey(2048);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, true);
    auto rbg = makeRbg(7);
    QvRsaSigPkcsV15 s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    s.setPrivateKey(&prv);
    Bytes d = mdDigest("SHA256", message(9));
    Bytes plain(256), masked1(256), masked2(256);
    s.sign(d.data(), 32, plain.data(), 256);
    s.setMode(1);
    try {
        s.sign(d.data(), 32, masked1.data(), 256);
        FAIL() << "no exception";
    } catch (const QvNotInitException &e) {
        EXPECT_EQ(reasonOf(e.what()), "There is no random bit generator and masking mode was chosen.");
    }
    s.setRbg(rbg.get());
    s.sign(d.data(), 32, masked1.data(), 256);
    s.sign(d.data(), 32, masked2.data(), 256);  // squared masks
    EXPECT_EQ(plain, masked1);
    EXPECT_EQ(plain, masked2);
    EXPECT_EQ(plain, osslSign(k, "SHA256", d, RSA_PKCS1_PADDING));
}

TEST(RsaSignature, RawSchemeSignsTheReducedValue)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, true);
    QvRsaPublicKey pub;
    fillRsaPublic(pub, k);
    Bytes n = bnParam(k, "n");
    Bytes big(128, 0xFF);  // above n
    Bytes reduced(128);
    {
        BIGNUM *a = BN_bin2bn(big.data(), 128, nullptr);
        BIGNUM *m = BN_bin2bn(n.data(), 128, nullptr);
        BN_CTX *ctx = BN_CTX_new();
        BN_mod(a, a, m, ctx);
        BN_bn2binpad(a, reduced.data(), 128);
        BN_free(a);
        BN_free(m);
        BN_CTX_free(ctx);
    }
    QvRsaSig raw;
    raw.setPrivateKey(&prv);
    Bytes s1(128), s2(128);
    raw.sign(big.data(), 128, s1.data(), 128);
    raw.sign(reduced.data(), 128, s2.data(), 128);
    EXPECT_EQ(s1, s2);
    raw.setPublicKey(&pub);
    EXPECT_TRUE(raw.verify(reduced.data(), 128, s1.data(), 128));
    Bytes small(129, 0);
    try {
        raw.setPrivateKey(&prv);
        raw.sign(small.data(), 129, s1.data(), 128);
        FAIL();
    } catch (const QvMessageToLongException &e) {
        EXPECT_EQ(reasonOf(e.what()), "QV-MESSAGE-TO-LONG: Digest you are trying sign is too long.");
    }
    try {
        raw.sign(reduced.data(), 128, s1.data(), 127);
        FAIL();
    } catch (const QvArgumentRangeException &e) {
        EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                               "REASON: There is too small buffer to write signature.\nFUNCTION: \n"
                               "FILE: rsasig_sign\nLINE: 126\n");
    }
}

TEST(RsaSignature, MissingKeysGiveTheirTexts)
{
    QvRsaSigPkcsV15 s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    try {
        s.getMaxSignatureOctets();
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                               "REASON: Neither private nor public key is initialised.\n"
                               "FUNCTION: unsigned int QvRsaSig::getMaxSignatureOctets(void) const\n"
                               "FILE: qvrsasig\nLINE: 161\n");
    }
    QvRsaSig raw;
    Bytes d(20, 1), sig(128);
    try {
        raw.sign(d.data(), 20, sig.data(), 128);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                               "REASON: There is no private key or it is not ready to sign.\n"
                               "FUNCTION: unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
                               "QvOctet *signature, unsigned int signatureLen)\nFILE: rsasig_sign\nLINE: 47\n");
    }
    try {
        raw.verify(d.data(), 20, sig.data(), 128);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_STREQ(e.what(), "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                               "REASON: There is no key or it is not ready to verification.\n"
                               "FUNCTION: bool QvRsaSig::verify(const QvOctet *signature, unsigned int signatureLen)\n"
                               "FILE: rassig_verify\nLINE: 34\n");
    }
}

TEST(RsaPssSignature, SaltLengthsAgainstOpenSslBothWays)
{
    auto rbg = makeRbg(3);
    for (unsigned int bits : {1024u, 1025u, 2048u}) {
        EVP_PKEY *k = rsaKey(bits);
        QvRsaPrivateKey prv;
        fillRsaPrivate(prv, k, true);
        QvRsaPublicKey pub;
        fillRsaPublic(pub, k);
        for (const HashCase &h : {kHashes[0], kHashes[1], kHashes[2]}) {
            Bytes d = mdDigest(h.md, message(bits ^ h.id));
            unsigned int hLen = static_cast<unsigned int>(d.size());
            for (unsigned int salt : {0u, 20u, hLen}) {
                QvRsaSigPkcsPss signer(salt, rbg.get(), h.id, 0, h.id);
                signer.setPrivateKey(&prv);
                Bytes sig(signer.getMaxSignatureOctets());
                ASSERT_EQ(signer.sign(d.data(), hLen, sig.data(), static_cast<unsigned int>(sig.size())),
                          (bits + 7) / 8);
                EXPECT_TRUE(osslVerify(k, h.md, d, sig, RSA_PKCS1_PSS_PADDING, static_cast<int>(salt)))
                    << bits << " " << h.md << " salt " << salt;

                Bytes theirs = osslSign(k, h.md, d, RSA_PKCS1_PSS_PADDING, static_cast<int>(salt));
                QvRsaSigPkcsPss verifier(salt, nullptr, h.id, 0, h.id);
                verifier.setPublicKey(&pub);
                EXPECT_TRUE(verifier.verify(d.data(), hLen, theirs.data(), static_cast<unsigned int>(theirs.size())));
                EXPECT_TRUE(verifier.verify(d.data(), hLen, sig.data(), static_cast<unsigned int>(sig.size())));
                Bytes bad = theirs;
                bad[bad.size() / 2] ^= 0x10;
                EXPECT_FALSE(verifier.verify(d.data(), hLen, bad.data(), static_cast<unsigned int>(bad.size())));
                QvRsaSigPkcsPss otherSalt(salt + 1, nullptr, h.id, 0, h.id);
                otherSalt.setPublicKey(&pub);
                EXPECT_FALSE(otherSalt.verify(d.data(), hLen, theirs.data(), static_cast<unsigned int>(theirs.size())));
            }
        }
    }
}

TEST(RsaPssSignature, MgfOverSha256BySelector)
{
    EVP_PKEY *k = rsaKey(2048);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, true);
    auto rbg = makeRbg(4);
    QvRsaSigPkcsPss signer(32, rbg.get(), QV_HASH_DHF_ALGO_SHA256, 1, QV_HASH_DHF_ALGO_SHA1);
    signer.setPrivateKey(&prv);
    Bytes d = mdDigest("SHA256", message(5));
    Bytes sig(256);
    signer.sign(d.data(), 32, sig.data(), 256);
    EXPECT_TRUE(osslVerify(k, "SHA256", d, sig, RSA_PKCS1_PSS_PADDING, 32));
    QvRsaSigPkcsPss copy(signer);
    EXPECT_NE(copy.getMgf(), signer.getMgf());
    Bytes sig2(256);
    copy.sign(d.data(), 32, sig2.data(), 256);
    EXPECT_TRUE(osslVerify(k, "SHA256", d, sig2, RSA_PKCS1_PSS_PADDING, 32));
}

TEST(RsaPssSignature, GeneratorRulesAndEncodingSizes)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, true);
    Bytes d = mdDigest("SHA1", message(6));
    QvRsaSigPkcsPss noSalt(0, nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    noSalt.setPrivateKey(&prv);
    Bytes a(128), b(128);
    noSalt.sign(d.data(), 20, a.data(), 128);
    noSalt.sign(d.data(), 20, b.data(), 128);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(osslVerify(k, "SHA1", d, a, RSA_PKCS1_PSS_PADDING, 0));
    Bytes enc(200);
    EXPECT_EQ(noSalt.encodeDigest(d.data(), 20, enc.data(), 200), 128u);
    EXPECT_EQ(enc[0] & 0x80, 0);  // 1024 bits: the top bit is masked off
    EXPECT_EQ(enc[127], 0xBC);

    QvRsaSigPkcsPss salted(20, nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    salted.setPrivateKey(&prv);
    try {
        salted.sign(d.data(), 20, a.data(), 128);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_STREQ(e.what(),
                     "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                     "REASON: There is no random bit generator and scheme needs nonzero length of salt octets.\n"
                     "FUNCTION: unsigned int QvRsaSigPkcsPss::encode(QvOctMem &encoding, const QvOctet *digest, "
                     "unsigned int digestLen)\nFILE: rsasigpkcspss_encode\nLINE: 42\n");
    }
    // A salt that leaves no room is refused with the key-size text.
    auto rbg = makeRbg(8);
    QvRsaSigPkcsPss largest(106, rbg.get(), QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    largest.setPrivateKey(&prv);
    ASSERT_EQ(largest.sign(d.data(), 20, a.data(), 128), 128u);  // 128 = 20 + 106 + 2
    EXPECT_TRUE(osslVerify(k, "SHA1", d, a, RSA_PKCS1_PSS_PADDING, 106));
    QvRsaSigPkcsPss tooLarge(107, rbg.get(), QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    tooLarge.setPrivateKey(&prv);
    try {
        tooLarge.sign(d.data(), 20, a.data(), 128);
        FAIL();
    } catch (const QvArgumentRangeException &e) {
        EXPECT_EQ(reasonOf(e.what()), "There is no key or key is too short to encode message.");
    }
    // A scheme without a mask generator refuses instead of crashing.
    QvRsaSigPkcsPss bare;
    bare.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    bare.setPrivateKey(&prv);
    EXPECT_THROW(bare.sign(d.data(), 20, a.data(), 128), QvNotInitException);
}

TEST(RsaSignature, InconsistentPrivateKeyNeverYieldsASignature)
{
    EVP_PKEY *k = rsaKey(1024);
    QvRsaPrivateKey prv;
    fillRsaPrivate(prv, k, false);
    Bytes p = bnParam(k, "rsa-factor1"), q = bnParam(k, "rsa-factor2"), c = bnParam(k, "rsa-coefficient1");
    prv.setPrime1(p.data(), static_cast<unsigned int>(p.size()));
    prv.setPrime2(q.data(), static_cast<unsigned int>(q.size()));
    c.back() ^= 0x01;  // a damaged coefficient: recombination goes wrong
    prv.setCoefficient(c.data(), static_cast<unsigned int>(c.size()));
    prv.precompute();
    QvRsaSigPkcsV15 s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
    s.setPrivateKey(&prv);
    Bytes d = mdDigest("SHA256", message(42));
    Bytes sig(128, 0xEE);
    try {
        s.sign(d.data(), 32, sig.data(), 128);
        FAIL() << "a wrong signature left the scheme";
    } catch (const QvInternalErrorException &e) {
        EXPECT_EQ(reasonOf(e.what()), "The private-key operation gave a wrong result.");
    }
    EXPECT_EQ(sig, Bytes(128, 0xEE));
}
