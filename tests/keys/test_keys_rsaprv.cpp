// RSAPrivateKey: DER against OpenSSL both ways, completion of missing members checked
// against OpenSSL's key, conversions with the library key and the prepared mark.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <vector>

#include "keys/rsaprkey.h"
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
    int n = i2d_RSAPrivateKey(Key(), &o);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    return v;
}

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

RSAPrivateKey Ours() {
    RSAPrivateKey k(48);
    std::vector<uint8_t> d = Der();
    EXPECT_EQ(static_cast<long>(d.size()), k.readVector(d));
    return k;
}

}  // namespace

TEST(KeysRsaPrivate, DerMatchesOpensslBothWays) {
    RSAPrivateKey k = Ours();
    EXPECT_EQ(Der(), Enc(k));
    EXPECT_EQ(128u, k.getModulusOctets());
    EXPECT_EQ(2, k.getKeyForm());
    std::vector<uint8_t> ours = Enc(k);
    const unsigned char* p = ours.data();
    RSA* back = d2i_RSAPrivateKey(nullptr, &p, static_cast<long>(ours.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(RSA_get0_d(back), RSA_get0_d(Key())));
    RSA_free(back);
    // Eight INTEGERs only, and a tenth one: both refused.
    std::vector<uint8_t> eight = {0x30, 0x18};
    for (int i = 0; i < 8; i++) eight.insert(eight.end(), {0x02, 0x01, 0x03});
    EXPECT_LE(k.readVector(eight), 0);
    std::vector<uint8_t> ten = {0x30, 0x1E};
    for (int i = 0; i < 10; i++) ten.insert(ten.end(), {0x02, 0x01, 0x03});
    EXPECT_LE(k.readVector(ten), 0);
}

TEST(KeysRsaPrivate, CompleteCrtDerivesOnlyTheMissingMembers) {
    const std::vector<uint8_t> full = Enc(Ours());
    // n, e, p: q, d and the CRT members derived. OpenSSL's d uses the Carmichael
    // function, ours Euler's totient, so d is compared through dP and dQ.
    RSAPrivateKey k = Ours();
    k.prime2.setValue(0);
    k.privateExponent.setValue(0);
    k.exponent1.setValue(0);
    k.exponent2.setValue(0);
    k.coefficient.setValue(0);
    EXPECT_EQ(-1, k.getKeyForm());
    ASSERT_EQ(1, k.completeCrt());
    RSAPrivateKey ref = Ours();
    EXPECT_TRUE(k.prime2 == ref.prime2);
    EXPECT_TRUE(k.exponent1 == ref.exponent1);
    EXPECT_TRUE(k.exponent2 == ref.exponent2);
    EXPECT_TRUE(k.coefficient == ref.coefficient);
    EXPECT_EQ(2, k.getKeyForm());

    // Only p, q and e: n = p x q.
    RSAPrivateKey m = Ours();
    m.modulus.setValue(0);
    m.privateExponent.setValue(0);
    ASSERT_EQ(1, m.completeCrt());
    EXPECT_TRUE(m.modulus == ref.modulus);

    // All present: untouched even with a wrong dP.
    RSAPrivateKey w = Ours();
    w.exponent1.setValue(5);
    ASSERT_EQ(1, w.completeCrt());
    EXPECT_EQ(5, w.exponent1.getLong());

    // e and d both missing; n and p missing: nothing derivable, nothing written.
    RSAPrivateKey x = Ours();
    x.publicExponent.setValue(0);
    x.privateExponent.setValue(0);
    x.exponent1.setValue(0);
    EXPECT_EQ(0, x.completeCrt());
    EXPECT_EQ(0, x.exponent1.getLong());
    RSAPrivateKey y = Ours();
    y.modulus.setValue(0);
    y.prime1.setValue(0);
    EXPECT_EQ(0, y.completeCrt());
    EXPECT_EQ(full, Enc(Ours()));
}

TEST(KeysRsaPrivate, LibraryKeyBothWaysAndPreparedMark) {
    RSAPrivateKey k = Ours();
    QvRsaPrivateKey lib;
    ASSERT_EQ(1, k.toQvKey(lib));
    EXPECT_TRUE(lib.isPrivatePartReady());
    RSAPrivateKey back(48);
    ASSERT_EQ(1, back.setFromQvKey(lib));
    EXPECT_EQ(Enc(k), Enc(back));
    QvRsaPublicKey pub;
    EXPECT_TRUE(k.toQvPublicKey(pub));
    EXPECT_EQ(1024u, pub.getKeyBits());

    ASSERT_EQ(1, k.prepareKey());
    EXPECT_TRUE(k.isPrepared());
    k = Ours();
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    EXPECT_GT(k.readVector(Der()), 0);
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    ASSERT_EQ(1, k.setFromQvKey(lib));
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    k.clear();
    EXPECT_FALSE(k.isPrepared());
    EXPECT_EQ(0, k.prepareKey());
    // Zero primes give no key rather than an internal error.
    RSAPrivateKey z = Ours();
    z.prime1.setValue(0);
    z.prime2.setValue(0);
    EXPECT_NO_THROW(z.prepareKey());
}
