// RSAPublicKey: DER against OpenSSL both ways, conversions with the library key, the
// prepared mark cleared by every change, and PKCS #1 v1.5 / PSS verification of
// signatures OpenSSL made.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <vector>

#include "keys/rsapukey.h"
#include "libtorvapp/qvasymkey.h"

namespace {

RSA* Key() {
    static RSA* rsa = [] {
        RSA* r = RSA_new();
        BIGNUM* e = BN_new();
        BN_set_word(e, 65537);
        EXPECT_EQ(1, RSA_generate_key_ex(r, 1024, e, nullptr));
        BN_free(e);
        return r;
    }();
    return rsa;
}

std::vector<uint8_t> Der() {
    unsigned char* o = nullptr;
    int n = i2d_RSAPublicKey(Key(), &o);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    return v;
}

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

RSAPublicKey Ours() {
    RSAPublicKey k(48);
    std::vector<uint8_t> d = Der();
    EXPECT_EQ(static_cast<long>(d.size()), k.readVector(d));
    return k;
}

}  // namespace

TEST(KeysRsaPublic, DerMatchesOpensslBothWays) {
    std::vector<uint8_t> der = Der();
    RSAPublicKey k = Ours();
    EXPECT_EQ(der, Enc(k));
    EXPECT_EQ(128u, k.getLength());  // stored with its 00 sign octet
    EXPECT_EQ(129, k.modulus.getValueLength());
    EXPECT_EQ(1024u, k.getKeySizeBits());
    std::vector<uint8_t> ours = Enc(k);
    const unsigned char* p = ours.data();
    RSA* back = d2i_RSAPublicKey(nullptr, &p, static_cast<long>(ours.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(RSA_get0_n(back), RSA_get0_n(Key())));
    RSA_free(back);

    // One octet past the two INTEGERs inside the SEQUENCE, or the exponent missing.
    RSAPublicKey t(48);
    EXPECT_LE(t.readVector(std::vector<uint8_t>{0x30, 0x07, 0x02, 0x01, 0x03, 0x02, 0x01, 0x03, 0x00}), 0);
    EXPECT_LE(t.readVector(std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x03}), 0);
}

TEST(KeysRsaPublic, LibraryKeyBothWays) {
    RSAPublicKey k = Ours();
    QvRsaPublicKey lib;
    ASSERT_TRUE(k.exportKey(lib));
    EXPECT_EQ(1024u, lib.getKeyBits());
    RSAPublicKey back(48);
    ASSERT_EQ(1, back.setFromQvKey(lib));
    EXPECT_TRUE(back == k);
    EXPECT_EQ(Enc(k), Enc(back));

    RSAPublicKey even(48);
    const uint8_t n[] = {0xC0, 0x00, 0x00, 0x02};
    const uint8_t e[] = {0x03};
    even.setModulusBytes(n, 4);
    even.setPublicExponentBytes(e, 1);
    QvRsaPublicKey lib2;
    EXPECT_FALSE(even.exportKey(lib2));
    EXPECT_EQ(0, even.prepare());
}

TEST(KeysRsaPublic, EveryChangeClearsThePreparedMark) {
    RSAPublicKey k = Ours();
    RSAPublicKey other = Ours();
    const uint8_t e3[] = {0x03};
    ASNinteger n = k.modulus, e = k.publicExponent;
    auto again = [&]() {
        ASSERT_EQ(1, k.prepare());
        ASSERT_TRUE(k.isPrepared());
    };
    again();
    k.setModulus(n);
    EXPECT_FALSE(k.isPrepared());
    again();
    k.setPublicExponent(e);
    EXPECT_FALSE(k.isPrepared());
    again();
    k.setPublicExponentBytes(e3, 1);
    EXPECT_FALSE(k.isPrepared());
    k = other;
    again();
    k.setModulusBytes(n.getData(), n.getValueLength());
    EXPECT_FALSE(k.isPrepared());
    again();
    EXPECT_EQ(1, k.setValues(n, e));
    EXPECT_FALSE(k.isPrepared());
    again();
    k = other;
    EXPECT_FALSE(k.isPrepared());
    again();
    EXPECT_GT(k.readVector(Der()), 0);
    EXPECT_FALSE(k.isPrepared());
    again();
    k.clear();
    EXPECT_FALSE(k.isPrepared());
    EXPECT_EQ(0, k.prepare());
}

TEST(KeysRsaPublic, Pkcs1SignatureFromOpenssl) {
    uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("abc"), 3, digest);
    std::vector<uint8_t> sig(RSA_size(Key()));
    unsigned sl = 0;
    ASSERT_EQ(1, RSA_sign(NID_sha256, digest, 32, sig.data(), &sl, Key()));
    RSAPublicKey k = Ours();
    EXPECT_EQ(0, k.verifyPkcs1(digest, 32, 3, sig.data(), sl));
    EXPECT_TRUE(k.isPrepared());
    EXPECT_EQ(3, k.verifyPkcs1(digest, 20, 3, sig.data(), sl));
    EXPECT_EQ(3, k.verifyPkcs1(nullptr, 32, 3, sig.data(), sl));
    sig[5] ^= 1;
    EXPECT_EQ(1, k.verifyPkcs1(digest, 32, 3, sig.data(), sl));
    // A new exponent is picked up by the next verification: e = 0 is no key.
    const uint8_t zero[] = {0};
    k.setPublicExponentBytes(zero, 1);
    EXPECT_EQ(2, k.verifyPkcs1(digest, 32, 3, sig.data(), sl));
}

TEST(KeysRsaPublic, PssSignatureFromOpenssl) {
    uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("pss"), 3, digest);
    std::vector<uint8_t> em(RSA_size(Key())), sig(RSA_size(Key()));
    ASSERT_EQ(1, RSA_padding_add_PKCS1_PSS_mgf1(Key(), em.data(), digest, EVP_sha256(), EVP_sha256(), 32));
    ASSERT_EQ(RSA_size(Key()), RSA_private_encrypt(RSA_size(Key()), em.data(), sig.data(), Key(), RSA_NO_PADDING));
    RSAPublicKey k = Ours();
    EXPECT_EQ(0, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 0, 32));
    EXPECT_EQ(0, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 3, 32));
    EXPECT_EQ(1, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 3, 20));
    EXPECT_EQ(1, k.verifyPss(digest, 32, 3, sig.data(), 127, 0, 3, 32));
    EXPECT_EQ(3, k.verifyPss(digest, 20, 3, sig.data(), 128, 0, 3, 32));
    EXPECT_EQ(1, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 3, 100));
}

TEST(KeysRsaPublic, SignatureAlgorithmChoosesSchemeAndHash) {
    RSAPublicKey k = Ours();
    const unsigned char msg[] = "signed data";
    uint8_t digest[32];
    SHA256(msg, sizeof msg - 1, digest);
    std::vector<uint8_t> sig(RSA_size(Key()));
    unsigned sl = 0;
    ASSERT_EQ(1, RSA_sign(NID_sha256, digest, 32, sig.data(), &sl, Key()));

    AlgorithmIdentifier sha256Rsa;
    ASSERT_EQ(1, sha256Rsa.setRsaSignature(3));
    EXPECT_EQ(0, k.verify(digest, 32, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(3, k.verify(digest, 20, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(0, k.verifyData(msg, sizeof msg - 1, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(0, k.verifyPkcs1Data(msg, sizeof msg - 1, 3, sig.data(), sl));
    EXPECT_EQ(3, k.verifyData(msg, 0, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(1, k.verifyData(msg, sizeof msg - 2, sha256Rsa, sig.data(), sl));

    AlgorithmIdentifier ecdsa;
    ASSERT_EQ(1, ecdsa.setEcdsaSignature(3));
    EXPECT_EQ(4, k.verify(digest, 32, ecdsa, sig.data(), sl));

    // id-RSASSA-PSS without parameters: SHA-1, MGF1-SHA-1, salt 20.
    uint8_t d1[20];
    SHA1(msg, sizeof msg - 1, d1);
    std::vector<uint8_t> em(RSA_size(Key())), pss(RSA_size(Key()));
    ASSERT_EQ(1, RSA_padding_add_PKCS1_PSS_mgf1(Key(), em.data(), d1, EVP_sha1(), EVP_sha1(), 20));
    ASSERT_EQ(RSA_size(Key()), RSA_private_encrypt(RSA_size(Key()), em.data(), pss.data(), Key(), RSA_NO_PADDING));
    AlgorithmIdentifier pssAlg;
    ASNobjectId pssOid;
    ASSERT_EQ(1, pssOid.setText("1.2.840.113549.1.1.10"));
    ASSERT_EQ(1, pssAlg.set(pssOid, nullptr));
    EXPECT_EQ(0, k.verify(d1, 20, pssAlg, pss.data(), 128));
    EXPECT_EQ(0, k.verifyData(msg, sizeof msg - 1, pssAlg, pss.data(), 128));
    EXPECT_EQ(0, k.verifyPssData(msg, sizeof msg - 1, 1, pss.data(), 128, 0, 1, 20));
}
