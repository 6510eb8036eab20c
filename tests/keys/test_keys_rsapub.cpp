// RSAPublicKey: DER against OpenSSL both ways, conversions with the library key, the
// prepared mark cleared by every change, raw, PKCS #1 v1.5 and PSS (every salt rule)
// verification of signatures OpenSSL made, EMSA-PSS-VERIFY and MGF1 against OpenSSL,
// and raw, PKCS #1 v1.5 and OAEP encryption that OpenSSL decrypts.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>
#include <string>
#include <vector>

#include "keys/rsapukey.h"
#include "keys_test_util.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvrbg.h"
#include "rsa_test_key.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

using keystest::Enc;

RSA* Key() { return keystest::OpensslRsaKey(); }
std::vector<uint8_t> Der() { return keystest::OpensslRsaDer(false); }

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
    EXPECT_THROW(k.verifyPkcs1(nullptr, 32, 3, sig.data(), sl), VtestException);
    try {
        k.verifyPkcs1(digest, 32, 3, nullptr, sl);
        ADD_FAILURE();
    } catch (const VtestException& e) {
        EXPECT_NE(std::string(e.what()).find("rsapukey(649)"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("digest != NULL && signature != NULL"), std::string::npos);
    }
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

namespace {

std::vector<uint8_t> Bn(const BIGNUM* b) {
    std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

std::unique_ptr<QvRbg> Rbg(int salt) {
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 17 + salt);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    return rbg;
}

std::vector<uint8_t> Bytes(MemFile& f) { return std::vector<uint8_t>(f.GetData(), f.GetData() + f.Size()); }

// OpenSSL's decryption of c with the padding and OAEP settings given.
std::vector<uint8_t> OpensslDecrypt(const std::vector<uint8_t>& c, int padding, const EVP_MD* md = nullptr,
                                    const EVP_MD* mgf = nullptr, const std::vector<uint8_t>& label = {}) {
    EVP_PKEY* pk = EVP_PKEY_new();
    RSA_up_ref(Key());
    EVP_PKEY_assign_RSA(pk, Key());
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    EXPECT_EQ(1, EVP_PKEY_decrypt_init(ctx));
    EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
    if (md != nullptr) EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md);
    if (mgf != nullptr) EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf);
    if (!label.empty()) {
        unsigned char* l = static_cast<unsigned char*>(OPENSSL_malloc(label.size()));
        std::copy(label.begin(), label.end(), l);
        EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, static_cast<int>(label.size()));
    }
    std::vector<uint8_t> out(256);
    size_t n = out.size();
    std::vector<uint8_t> result;
    if (EVP_PKEY_decrypt(ctx, out.data(), &n, c.data(), c.size()) == 1) result.assign(out.begin(), out.begin() + n);
    else result = {0xDE, 0xAD};
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pk);
    return result;
}

// An OpenSSL PSS signature over digest with the salt length given.
std::vector<uint8_t> OpensslPss(const uint8_t* digest, const EVP_MD* md, const EVP_MD* mgf, int saltLen) {
    std::vector<uint8_t> em(RSA_size(Key())), sig(RSA_size(Key()));
    EXPECT_EQ(1, RSA_padding_add_PKCS1_PSS_mgf1(Key(), em.data(), digest, md, mgf, saltLen));
    EXPECT_EQ(RSA_size(Key()), RSA_private_encrypt(RSA_size(Key()), em.data(), sig.data(), Key(), RSA_NO_PADDING));
    return sig;
}

}  // namespace

TEST(KeysRsaPublic, EncryptionThatOpensslDecrypts) {
    RSAPublicKey k = Ours();
    std::unique_ptr<QvRbg> rbg = Rbg(3);
    const std::vector<uint8_t> msg = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'k', 'e', 'y'};
    MemFile out;
    ASSERT_EQ(0, k.encryptPkcs1(msg.data(), static_cast<unsigned>(msg.size()), rbg.get(), out));
    EXPECT_EQ(128, out.Size());
    EXPECT_EQ(msg, OpensslDecrypt(Bytes(out), RSA_PKCS1_PADDING));
    // Two encryptions of one message differ (random padding).
    MemFile again;
    ASSERT_EQ(0, k.encryptPkcs1(msg.data(), static_cast<unsigned>(msg.size()), rbg.get(), again));
    EXPECT_NE(Bytes(out), Bytes(again));
    // The longest message: k - 11 octets; one more is refused.
    std::vector<uint8_t> longest(117, 0x42);
    ASSERT_EQ(0, k.encryptPkcs1(longest.data(), 117, rbg.get(), out));
    EXPECT_EQ(longest, OpensslDecrypt(Bytes(out), RSA_PKCS1_PADDING));
    EXPECT_EQ(3, k.encryptPkcs1(longest.data(), 118, rbg.get(), out));
    EXPECT_EQ(3, k.encryptPkcs1(msg.data(), 10, nullptr, out));
    // An empty message is a message.
    ASSERT_EQ(0, k.encryptPkcs1(nullptr, 0, rbg.get(), out));
    EXPECT_EQ(std::vector<uint8_t>{}, OpensslDecrypt(Bytes(out), RSA_PKCS1_PADDING));

    // OAEP: the defaults (SHA-1, MGF1-SHA-1), then SHA-256 with MGF1-SHA-256 and a label.
    ASSERT_EQ(0, k.encryptOaep(msg.data(), 10, rbg.get(), out, 1, 0, 1, nullptr, 0));
    EXPECT_EQ(msg, OpensslDecrypt(Bytes(out), RSA_PKCS1_OAEP_PADDING, EVP_sha1(), EVP_sha1()));
    const std::vector<uint8_t> label = {'l', 'a', 'b'};
    ASSERT_EQ(0, k.encryptOaep(msg.data(), 10, rbg.get(), out, 3, 0, 3, label.data(), 3));
    EXPECT_EQ(msg, OpensslDecrypt(Bytes(out), RSA_PKCS1_OAEP_PADDING, EVP_sha256(), EVP_sha256(), label));
    EXPECT_NE(msg, OpensslDecrypt(Bytes(out), RSA_PKCS1_OAEP_PADDING, EVP_sha256(), EVP_sha256()));
    ASSERT_EQ(0, k.encryptOaep(msg.data(), 10, rbg.get(), out, 4, 0, 1, nullptr, 0));
    EXPECT_EQ(msg, OpensslDecrypt(Bytes(out), RSA_PKCS1_OAEP_PADDING, EVP_sha384(), EVP_sha1()));
    std::vector<uint8_t> oaepLongest(128 - 2 * 32 - 2, 0x17);
    ASSERT_EQ(0, k.encryptOaep(oaepLongest.data(), 62, rbg.get(), out, 3, 0, 3, nullptr, 0));
    EXPECT_EQ(oaepLongest, OpensslDecrypt(Bytes(out), RSA_PKCS1_OAEP_PADDING, EVP_sha256(), EVP_sha256()));
    EXPECT_EQ(3, k.encryptOaep(oaepLongest.data(), 63, rbg.get(), out, 3, 0, 3, nullptr, 0));
    EXPECT_EQ(3, k.encryptOaep(msg.data(), 10, rbg.get(), out, 9, 0, 1, nullptr, 0));
    // SHA-512 needs 130 octets of padding: no room in a 128-octet modulus.
    EXPECT_EQ(3, k.encryptOaep(msg.data(), 1, rbg.get(), out, 5, 0, 5, nullptr, 0));

    // Raw: a value below n, into a file or a buffer; n itself is refused.
    std::vector<uint8_t> raw(128, 0x33);
    raw[0] = 0x01;
    ASSERT_EQ(0, k.encryptRaw(raw.data(), 128, out));
    EXPECT_EQ(raw, OpensslDecrypt(Bytes(out), RSA_NO_PADDING));
    std::vector<uint8_t> buf(128);
    ASSERT_EQ(0, k.encryptRaw(raw.data(), 128, buf.data(), 128));
    EXPECT_EQ(Bytes(out), buf);
    EXPECT_EQ(3, k.encryptRaw(raw.data(), 128, buf.data(), 127));
    EXPECT_EQ(3, k.encryptRaw(raw.data(), 128, nullptr, 128));
    std::vector<uint8_t> n = Bn(RSA_get0_n(Key()));
    EXPECT_EQ(3, k.encryptRaw(n.data(), 128, out));
    EXPECT_EQ(3, k.encryptRaw(raw.data(), 129, out));

    // A key that is none encrypts nothing.
    RSAPublicKey empty(48);
    EXPECT_EQ(2, empty.encryptPkcs1(msg.data(), 10, rbg.get(), out));
}

TEST(KeysRsaPublic, RawVerificationAndPssSaltRules) {
    RSAPublicKey k = Ours();
    uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("salt"), 4, digest);
    // Every salt length OpenSSL can make, verified by the scheme and by EMSA-PSS-VERIFY
    // on the encoded message recovered with the public key.
    const int maxSalt = 128 - 32 - 2;
    for (int salt : {0, 20, 32, maxSalt}) {
        SCOPED_TRACE(salt);
        std::vector<uint8_t> sig = OpensslPss(digest, EVP_sha256(), EVP_sha256(), salt);
        EXPECT_EQ(0, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 3, static_cast<unsigned>(salt)));
        EXPECT_EQ(1, k.verifyPss(digest, 32, 3, sig.data(), 128, 0, 3, static_cast<unsigned>(salt) + 1));
        std::vector<uint8_t> em(128);
        ASSERT_EQ(128, RSA_public_decrypt(128, sig.data(), em.data(), Key(), RSA_NO_PADDING));
        EXPECT_EQ(0, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 3, static_cast<unsigned>(salt)));
        EXPECT_EQ(0, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 0, static_cast<unsigned>(salt)));
        EXPECT_EQ(1, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 1, static_cast<unsigned>(salt)));
        // The raw operation gives back the same encoded message.
        EXPECT_EQ(0, k.verifyRaw(em.data(), 128, sig.data(), 128));
        em[60] ^= 1;
        EXPECT_EQ(1, k.verifyRaw(em.data(), 128, sig.data(), 128));
    }
    std::vector<uint8_t> sig = OpensslPss(digest, EVP_sha256(), EVP_sha256(), 32);
    std::vector<uint8_t> em(128);
    ASSERT_EQ(128, RSA_public_decrypt(128, sig.data(), em.data(), Key(), RSA_NO_PADDING));
    // All ones: the digest length; the word must be 0; hash 0 and modBits 0 are refused.
    EXPECT_EQ(0, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 3, 0xFFFFFFFFu));
    EXPECT_EQ(3, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 1, 3, 32));
    EXPECT_EQ(3, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 0, 0, 3, 32));
    EXPECT_EQ(3, RSAPublicKey::emsaPssVerify(0, em.data(), digest, 32, 3, 0, 3, 32));
    EXPECT_EQ(1, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 20, 3, 0, 3, 32));  // digest length
    digest[0] ^= 1;
    EXPECT_EQ(1, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 3, 32));
    em[127] = 0xBD;
    EXPECT_EQ(1, RSAPublicKey::emsaPssVerify(1024, em.data(), digest, 32, 3, 0, 3, 32));

    // Raw: the signature not below n is refused; a shorter one than the value: 3.
    std::vector<uint8_t> n = Bn(RSA_get0_n(Key()));
    std::vector<uint8_t> one = {1};
    EXPECT_EQ(1, k.verifyRaw(one.data(), 1, n.data(), 128));
    EXPECT_EQ(3, k.verifyRaw(em.data(), 128, sig.data(), 127));
    EXPECT_THROW(k.verifyRaw(nullptr, 128, sig.data(), 128), VtestException);
}

TEST(KeysRsaPublic, Mgf1MaskEqualsOpenssl) {
    const uint8_t seed[] = {1, 2, 3, 4, 5, 6, 7};
    for (unsigned hashId : {1u, 3u, 5u}) {
        const EVP_MD* md = hashId == 1 ? EVP_sha1() : hashId == 3 ? EVP_sha256() : EVP_sha512();
        std::vector<uint8_t> mask(150), data(150, 0);
        ASSERT_EQ(0, PKCS1_MGF1(mask.data(), 150, seed, sizeof seed, md));  // 0 is its success
        ASSERT_EQ(1, RSAPublicKey::mgf1Mask(hashId, data.data(), 150, seed, sizeof seed));
        EXPECT_EQ(mask, data) << hashId;
        ASSERT_EQ(1, RSAPublicKey::mgf1Mask(hashId, data.data(), 150, seed, sizeof seed));
        EXPECT_EQ(std::vector<uint8_t>(150, 0), data);
    }
    uint8_t d[4] = {0};
    EXPECT_EQ(0, RSAPublicKey::mgf1Mask(9, d, 4, seed, sizeof seed));
}

TEST(KeysRsaPublic, ObjectSignaturesByAlgorithm) {
    // The DER of a key structure as the signed object.
    RSAPublicKey k = Ours();
    std::vector<uint8_t> der = Enc(k);
    uint8_t d256[32], d1[20];
    SHA256(der.data(), der.size(), d256);
    SHA1(der.data(), der.size(), d1);
    std::vector<uint8_t> sig(128);
    unsigned sl = 0;
    ASSERT_EQ(1, RSA_sign(NID_sha256, d256, 32, sig.data(), &sl, Key()));
    AlgorithmIdentifier sha256Rsa;
    ASSERT_EQ(1, sha256Rsa.setRsaSignature(3));
    EXPECT_EQ(0, k.verifyObjectPkcs1(k, sha256Rsa.algorithm, sig.data(), sl));
    EXPECT_EQ(0, k.verifyObject(k, sha256Rsa, sig.data(), sl));
    AlgorithmIdentifier sha1Rsa;
    ASSERT_EQ(1, sha1Rsa.setRsaSignature(1));
    EXPECT_EQ(1, k.verifyObject(k, sha1Rsa, sig.data(), sl));
    AlgorithmIdentifier ecdsa;
    ASSERT_EQ(1, ecdsa.setEcdsaSignature(3));
    EXPECT_EQ(4, k.verifyObject(k, ecdsa, sig.data(), sl));
    EXPECT_EQ(4, k.verifyObjectPkcs1(k, ecdsa.algorithm, sig.data(), sl));
    EXPECT_THROW(k.verifyObjectPkcs1(k, sha256Rsa.algorithm, nullptr, sl), VtestException);

    std::vector<uint8_t> pss = OpensslPss(d1, EVP_sha1(), EVP_sha1(), 20);
    AlgorithmIdentifier pssAlg;
    ASNobjectId pssOid;
    ASSERT_EQ(1, pssOid.setText("1.2.840.113549.1.1.10"));
    ASSERT_EQ(1, pssAlg.set(pssOid, nullptr));
    EXPECT_EQ(0, k.verifyObjectPss(k, pssAlg, pss.data(), 128));
    EXPECT_EQ(0, k.verifyObject(k, pssAlg, pss.data(), 128));
    EXPECT_EQ(4, k.verifyObjectPss(k, sha256Rsa, pss.data(), 128));
    // The certificate layer's entry: the same answers for a key it does not change.
    const RSAPublicKey& fixed = k;
    EXPECT_EQ(0, fixed.verifyDigest(d256, 32, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(1, fixed.verifyDigest(d256, 20, sha256Rsa, sig.data(), sl));
    EXPECT_EQ(0, fixed.verifyDigest(d1, 20, pssAlg, pss.data(), 128));
}
