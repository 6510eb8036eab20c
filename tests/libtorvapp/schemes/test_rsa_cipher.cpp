// RSA encryption: raw, PKCS#1 v1.5 and OAEP against OpenSSL both ways, size
// limits, refused paddings and the exception texts.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "libtorvapp/qvrsacipher.h"
#include "libtorvapp/qvrsacipherpkcsoaep.h"
#include "libtorvapp/qvrsacipherpkcsv15.h"
#include "libtorvapp/qvrsasig.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

namespace {

Bytes osslEncrypt(EVP_PKEY *k, const Bytes &m, int padding, const char *md = nullptr, const Bytes &label = {})
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
    if (md != nullptr) {
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(md));
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md));
        if (!label.empty()) {
            unsigned char *l = static_cast<unsigned char *>(OPENSSL_memdup(label.data(), label.size()));
            EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, static_cast<int>(label.size()));
        }
    }
    size_t len = 0;
    EVP_PKEY_encrypt(ctx, nullptr, &len, m.data(), m.size());
    Bytes out(len);
    int r = EVP_PKEY_encrypt(ctx, out.data(), &len, m.data(), m.size());
    EVP_PKEY_CTX_free(ctx);
    if (r != 1)
        return {};
    out.resize(len);
    return out;
}

bool osslDecrypt(EVP_PKEY *k, const Bytes &c, int padding, Bytes &out, const char *md = nullptr,
                 const Bytes &label = {})
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
    if (md != nullptr) {
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(md));
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md));
        if (!label.empty()) {
            unsigned char *l = static_cast<unsigned char *>(OPENSSL_memdup(label.data(), label.size()));
            EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, static_cast<int>(label.size()));
        }
    }
    size_t len = 0;
    EVP_PKEY_decrypt(ctx, nullptr, &len, c.data(), c.size());
    out.assign(len, 0);
    int r = EVP_PKEY_decrypt(ctx, out.data(), &len, c.data(), c.size());
    EVP_PKEY_CTX_free(ctx);
    out.resize(r == 1 ? len : 0);
    return r == 1;
}

Bytes pattern(unsigned int len, unsigned int tag)
{
    Bytes b(len);
    for (unsigned int i = 0; i < len; ++i)
        b[i] = static_cast<unsigned char>(i * 13 + tag);
    return b;
}

struct Keys {
    explicit Keys(unsigned int bits) : k(rsaKey(bits))
    {
        fillRsaPublic(pub, k);
        fillRsaPrivate(prv, k, true);
    }
    EVP_PKEY *k;
    QvRsaPublicKey pub;
    QvRsaPrivateKey prv;
};

} // namespace

TEST(RsaRawCipher, AgreesWithOpenSslAndKeepsLeadingZeros)
{
    Keys keys(1024);
    QvRsaCipher c;
    c.setPublicKey(&keys.pub);
    EXPECT_EQ(c.getMaxCipherTextOctets(), 128u);
    EXPECT_EQ(c.getMaxPlainTextOctets(), 128u);
    Bytes m = pattern(100, 1);  // short: the value fits in 100 octets
    Bytes ct(128);
    ASSERT_EQ(c.encrypt(m.data(), 100, ct.data(), 128), 128u);
    Bytes back;
    ASSERT_TRUE(osslDecrypt(keys.k, ct, RSA_NO_PADDING, back));
    ASSERT_EQ(back.size(), 128u);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 28), Bytes(28, 0));
    EXPECT_EQ(Bytes(back.begin() + 28, back.end()), m);

    Bytes full(128, 0);
    std::copy(m.begin(), m.end(), full.begin() + 28);
    Bytes theirs = osslEncrypt(keys.k, full, RSA_NO_PADDING);
    QvRsaCipher d;
    d.setPrivateKey(&keys.prv);
    Bytes out(128);
    ASSERT_EQ(d.decrypt(theirs.data(), 128, out.data(), 128), 128u);
    EXPECT_EQ(out, full);

    Bytes n = bnParam(keys.k, "n");
    try {
        c.encrypt(n.data(), 128, ct.data(), 128);
        FAIL();
    } catch (const QvMessageToLongException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Message you are trying to encrypt is too long.");
    }
    Bytes longCt(129, 0);
    try {
        d.decrypt(longCt.data(), 129, out.data(), 128);
        FAIL();
    } catch (const QvMessageToLongException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Message you are trying to decrypt is too long.");
    }
    try {
        d.decrypt(theirs.data(), 128, out.data(), 127);
        FAIL();
    } catch (const QvArgumentRangeException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Buffer for plain text is too short.");
    }
    QvRsaCipher none;
    try {
        none.getMaxPlainTextOctets();
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Neither private nor public key is initialised.");
    }
    // Setting the private key drops the public one: the object now decrypts only.
    c.setPrivateKey(&keys.prv);
    EXPECT_EQ(c.getPublicKey(), nullptr);
    EXPECT_THROW(c.encrypt(m.data(), 100, ct.data(), 128), QvNotInitException);
}

TEST(RsaPkcs1V15Cipher, AgainstOpenSslBothWaysAndLimits)
{
    Keys keys(1024);
    auto rbg = makeRbg(11);
    QvRsaCipherPkcsV15 enc(rbg.get());
    enc.setPublicKey(&keys.pub);
    EXPECT_EQ(enc.getMaxPlainTextOctets(), 117u);
    QvRsaCipherPkcsV15 dec;
    dec.setPrivateKey(&keys.prv);
    for (unsigned int len : {0u, 1u, 50u, 117u}) {
        Bytes m = pattern(len, 2);
        Bytes ct(128);
        ASSERT_EQ(enc.encrypt(m.data(), len, ct.data(), 128), 128u);
        Bytes back;
        ASSERT_TRUE(osslDecrypt(keys.k, ct, RSA_PKCS1_PADDING, back)) << len;
        EXPECT_EQ(back, m);
        Bytes theirs = osslEncrypt(keys.k, m, RSA_PKCS1_PADDING);
        Bytes out(128);
        ASSERT_EQ(dec.decrypt(theirs.data(), 128, out.data(), 128), len);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), m);
    }
    Bytes m118 = pattern(118, 3), ct(128);
    try {
        enc.encrypt(m118.data(), 118, ct.data(), 128);
        FAIL();
    } catch (const QvMessageToLongException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Message you are tryiung encrypt is too long.");
    }
    QvRsaCipherPkcsV15 noRbg;
    noRbg.setPublicKey(&keys.pub);
    try {
        noRbg.encrypt(m118.data(), 10, ct.data(), 128);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_EQ(reasonOf(e.what()), "There is no random bit generator.");
    }
}

TEST(RsaPkcs1V15Cipher, MalformedBlocksAreRefusedAndNothingIsWritten)
{
    Keys keys(1024);
    QvRsaCipher raw;
    raw.setPublicKey(&keys.pub);
    QvRsaCipherPkcsV15 dec;
    dec.setPrivateKey(&keys.prv);
    auto tryBlock = [&](const Bytes &block) {
        Bytes ct(128);
        raw.encrypt(block.data(), 128, ct.data(), 128);
        Bytes out(128, 0xEE);
        try {
            dec.decrypt(ct.data(), 128, out.data(), 128);
            ADD_FAILURE() << "accepted";
        } catch (const QvWrongSyntaxException &e) {
            EXPECT_EQ(reasonOf(e.what()), "Wrong padding syntax of decrypted message.");
        }
        EXPECT_EQ(out, Bytes(128, 0xEE));
    };
    // Seven padding octets.
    Bytes b(128, 0x55);
    b[0] = 0x00;
    b[1] = 0x02;
    b[9] = 0x00;
    tryBlock(b);
    // Eight padding octets are accepted.
    Bytes ok = b;
    ok[9] = 0x55;
    ok[10] = 0x00;
    {
        Bytes ct(128), out(128);
        raw.encrypt(ok.data(), 128, ct.data(), 128);
        EXPECT_EQ(dec.decrypt(ct.data(), 128, out.data(), 128), 117u);
    }
    // Block type 1.
    Bytes t1 = ok;
    t1[1] = 0x01;
    tryBlock(t1);
    // No zero separator.
    Bytes noSep(128, 0x77);
    noSep[0] = 0;
    noSep[1] = 2;
    tryBlock(noSep);
    // A buffer too short for the message, after the padding was accepted.
    Bytes ct(128), out(116, 0xEE);
    raw.encrypt(ok.data(), 128, ct.data(), 128);
    try {
        dec.decrypt(ct.data(), 128, out.data(), 116);
        FAIL();
    } catch (const QvArgumentRangeException &e) {
        EXPECT_EQ(reasonOf(e.what()), "Buffer for plain text is too short.");
    }
    EXPECT_EQ(out, Bytes(116, 0xEE));
}

TEST(RsaOaepCipher, AgainstOpenSslWithLabelsAndHashes)
{
    auto rbg = makeRbg(12);
    for (unsigned int bits : {1024u, 2048u}) {
        Keys keys(bits);
        for (auto h : {std::make_pair(QV_HASH_DHF_ALGO_SHA1, "SHA1"), std::make_pair(QV_HASH_DHF_ALGO_SHA256, "SHA256")}) {
            QvRsaCipherPkcsOaep enc(rbg.get(), h.first, 0, h.first);
            enc.setPublicKey(&keys.pub);
            QvRsaCipherPkcsOaep dec(nullptr, h.first, 0, h.first);
            dec.setPrivateKey(&keys.prv);
            unsigned int k = bits / 8;
            unsigned int maxLen = enc.getMaxPlainTextOctets();
            EXPECT_EQ(maxLen, k - 2 * enc.getHLen() - 2);
            for (const Bytes &label : {Bytes{}, Bytes{'l', 'a', 'b', 'e', 'l'}}) {
                for (unsigned int len : {0u, 7u, maxLen}) {
                    Bytes m = pattern(len, 4);
                    Bytes ct(k);
                    ASSERT_EQ(enc.encryptWithLabel(m.data(), len, label.data(), static_cast<unsigned int>(label.size()),
                                                   ct.data(), k),
                              k);
                    Bytes back;
                    ASSERT_TRUE(osslDecrypt(keys.k, ct, RSA_PKCS1_OAEP_PADDING, back, h.second, label));
                    EXPECT_EQ(back, m);
                    Bytes theirs = osslEncrypt(keys.k, m, RSA_PKCS1_OAEP_PADDING, h.second, label);
                    Bytes out(k);
                    ASSERT_EQ(dec.decryptWithLabel(theirs.data(), k, label.data(),
                                                   static_cast<unsigned int>(label.size()), out.data(), k),
                              len);
                    EXPECT_EQ(Bytes(out.begin(), out.begin() + len), m);
                }
            }
            Bytes tooLong = pattern(maxLen + 1, 5), ct(k);
            try {
                enc.encrypt(tooLong.data(), maxLen + 1, ct.data(), k);
                FAIL();
            } catch (const QvMessageToLongException &e) {
                EXPECT_EQ(reasonOf(e.what()), "Message is too long for such modulus.");
            }
        }
    }
}

TEST(RsaOaepCipher, LimitsOfA1024BitKey)
{
    Keys keys(1024);
    QvRsaCipherPkcsOaep sha1(nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    sha1.setPublicKey(&keys.pub);
    EXPECT_EQ(sha1.getMaxPlainTextOctets(), 86u);
    EXPECT_EQ(sha1.getMaxCipherTextOctets(), 128u);
    QvRsaCipherPkcsOaep sha256(nullptr, QV_HASH_DHF_ALGO_SHA256, 0, QV_HASH_DHF_ALGO_SHA256);
    sha256.setPublicKey(&keys.pub);
    EXPECT_EQ(sha256.getMaxPlainTextOctets(), 62u);
    Bytes m(10, 1), ct(128);
    try {
        sha256.encrypt(m.data(), 10, ct.data(), 128);
        FAIL();
    } catch (const QvNotInitException &e) {
        EXPECT_EQ(reasonOf(e.what()), "There is no random bit generator or no hash or no mask generation function.");
    }
}

TEST(RsaOaepCipher, TamperingGivesOneRefusal)
{
    Keys keys(1024);
    auto rbg = makeRbg(13);
    QvRsaCipherPkcsOaep enc(rbg.get(), QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    enc.setPublicKey(&keys.pub);
    QvRsaCipherPkcsOaep dec(nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
    dec.setPrivateKey(&keys.prv);
    QvRsaCipher rawDec;
    rawDec.setPrivateKey(&keys.prv);
    QvRsaCipher rawEnc;
    rawEnc.setPublicKey(&keys.pub);
    Bytes m = pattern(20, 6), ct(128), out(128, 0xEE);
    const Bytes label{'A'};
    enc.encryptWithLabel(m.data(), 20, label.data(), 1, ct.data(), 128);
    auto refused = [&](const Bytes &c, const Bytes &l) {
        try {
            dec.decryptWithLabel(c.data(), 128, l.data(), static_cast<unsigned int>(l.size()), out.data(), 128);
            ADD_FAILURE() << "accepted";
        } catch (const QvWrongSyntaxException &e) {
            EXPECT_STREQ(reasonOf(e.what()).c_str(), "Wrong padding syntax of decrypted message.");
        }
    };
    refused(ct, Bytes{'B'});
    refused(ct, Bytes{});
    Bytes em(128);
    rawDec.decrypt(ct.data(), 128, em.data(), 128);
    Bytes flipped = em;
    flipped[3] ^= 0x04;  // inside the masked seed
    Bytes c2(128);
    rawEnc.encrypt(flipped.data(), 128, c2.data(), 128);
    refused(c2, label);
    Bytes y = em;
    y[0] = 0x01;  // non-zero first octet
    rawEnc.encrypt(y.data(), 128, c2.data(), 128);
    refused(c2, label);
    EXPECT_EQ(out, Bytes(128, 0xEE));
    EXPECT_EQ(dec.decryptWithLabel(ct.data(), 128, label.data(), 1, out.data(), 128), 20u);
    // Copies work on their own hash and mask generator.
    QvRsaCipherPkcsOaep copy(dec);
    copy.setPrivateKey(&keys.prv);
    EXPECT_EQ(copy.decryptWithLabel(ct.data(), 128, label.data(), 1, out.data(), 128), 20u);
}

TEST(RsaRawCipher, CiphertextAboveTheModulusIsReduced)
{
    Keys keys(1024);
    // c = 5 and c + n (which still fits in k octets) decrypt alike.
    Bytes c(128, 0);
    c[127] = 5;
    Bytes n = bnParam(keys.k, "n");
    Bytes plusN = n;
    unsigned int carry = 5;
    for (int i = 127; i >= 0 && carry != 0; --i) {
        unsigned int s = plusN[static_cast<size_t>(i)] + carry;
        plusN[static_cast<size_t>(i)] = static_cast<unsigned char>(s);
        carry = s >> 8;
    }
    ASSERT_EQ(carry, 0u);
    QvRsaCipher d;
    d.setPrivateKey(&keys.prv);
    Bytes out1(128), out2(128), expected;
    ASSERT_EQ(d.decrypt(c.data(), 128, out1.data(), 128), 128u);
    ASSERT_EQ(d.decrypt(plusN.data(), 128, out2.data(), 128), 128u);
    ASSERT_TRUE(osslDecrypt(keys.k, c, RSA_NO_PADDING, expected));
    EXPECT_EQ(out1, expected);
    EXPECT_EQ(out2, expected);
}

TEST(RsaOaepCipher, AssignmentTakesKeysAndOwnHashAndMgf)
{
    Keys keys(1024);
    auto rbg = makeRbg(14);
    QvRsaCipherPkcsOaep src(rbg.get(), QV_HASH_DHF_ALGO_SHA256, 0, QV_HASH_DHF_ALGO_SHA256);
    src.setPublicKey(&keys.pub);
    QvRsaCipherPkcsOaep dst(nullptr, QV_HASH_DHF_ALGO_SHA1, 1, QV_HASH_DHF_ALGO_SHA1);
    dst = src;
    EXPECT_EQ(dst.getPublicKey(), &keys.pub);
    EXPECT_EQ(dst.getHLen(), 32u);
    Bytes m = pattern(30, 7), ct(128);
    dst.encrypt(m.data(), 30, ct.data(), 128);
    Bytes back;
    ASSERT_TRUE(osslDecrypt(keys.k, ct, RSA_PKCS1_OAEP_PADDING, back, "SHA256"));
    EXPECT_EQ(back, m);
    // setHash and setMgf replace the owned objects.
    EXPECT_EQ(dst.setHash(QV_HASH_DHF_ALGO_SHA1), 20u);
    dst.setMgf(0, QV_HASH_DHF_ALGO_SHA1);
    dst.encrypt(m.data(), 30, ct.data(), 128);
    ASSERT_TRUE(osslDecrypt(keys.k, ct, RSA_PKCS1_OAEP_PADDING, back, "SHA1"));
    EXPECT_EQ(back, m);
}
