// The RSA key value held in a private-key record, to and from the key structure,
// checked against OpenSSL: its key components, its PKCS #1 DER and its signature
// verification.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA structure gives the components
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>
#include <vector>

#include "keys/rsaprkey.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "libtorvapp/qvrbg.h"
#include "support/memfile.h"
#include "support/vtest.h"
#include "tests/keys/keys_test_util.h"
#include "tests/keys/rsa_test_key.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

namespace {

RSA* OpensslKey() { return keystest::OpensslRsaKey(); }
std::vector<uint8_t> OpensslDer() { return keystest::OpensslRsaDer(true); }
std::vector<uint8_t> Bytes(const ASNobject& o) { return keystest::Enc(o); }

// The key value as the record is written: [0] to [7] around the components,
// each a minimal two's-complement INTEGER value, built from OpenSSL's numbers.
std::vector<uint8_t> ExpectedRecord() {
    const BIGNUM* n;
    const BIGNUM* e;
    const BIGNUM* d;
    const BIGNUM* p;
    const BIGNUM* q;
    const BIGNUM* dp;
    const BIGNUM* dq;
    const BIGNUM* qi;
    RSA_get0_key(OpensslKey(), &n, &e, &d);
    RSA_get0_factors(OpensslKey(), &p, &q);
    RSA_get0_crt_params(OpensslKey(), &dp, &dq, &qi);
    const BIGNUM* c[8] = {n, e, d, p, q, dp, dq, qi};
    std::vector<uint8_t> body;
    for (int k = 0; k < 8; k++) {
        std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(c[k])));
        BN_bn2bin(c[k], v.data());
        if (v.empty() || (v[0] & 0x80) != 0) v.insert(v.begin(), 0x00);
        body.push_back(static_cast<uint8_t>(0x80 + k));
        if (v.size() >= 0x80) body.push_back(0x81);
        body.push_back(static_cast<uint8_t>(v.size()));
        body.insert(body.end(), v.begin(), v.end());
    }
    std::vector<uint8_t> out = {0xA0, 0x82, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

RSAPrivateKey OursFromOpenssl() {
    RSAPrivateKey k(0);
    std::vector<uint8_t> der = OpensslDer();
    EXPECT_EQ(static_cast<long>(der.size()), k.readVector(der));
    return k;
}

}  // namespace

TEST(Pkcs15RsaKeyValue, KeyIntoRecordMatchesOpensslComponents) {
    RSAPrivateKey key = OursFromOpenssl();
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    ASSERT_EQ(1, rec.setFromKey(key));
    EXPECT_EQ(1, rec.isComplete());
    EXPECT_EQ(Hex(ExpectedRecord()), Enc(rec));
    // The key's version is not part of the record; the key itself is unchanged.
    EXPECT_EQ(OpensslDer(), Bytes(key));
}

TEST(Pkcs15RsaKeyValue, RecordIntoKeyGivesOpensslDerAndAVerifiableSignature) {
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    const std::vector<uint8_t> stored = ExpectedRecord();
    ASSERT_EQ(static_cast<long>(stored.size()), rec.readVector(stored));

    RSAPrivateKey key(0);
    ASSERT_EQ(1, rec.toKey(key));
    EXPECT_EQ(OpensslDer(), Bytes(key));

    const uint8_t msg[] = "key value read from a card record";
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(msg, sizeof msg, digest);
    MemFile sig;
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets(), 0x5C);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    ASSERT_EQ(RSAPrivateKey::kSuccess, key.signPkcsV15(digest, sizeof digest, 3, rbg.get(), sig));
    EXPECT_EQ(1, RSA_verify(NID_sha256, digest, sizeof digest, sig.GetData(), static_cast<unsigned>(sig.Size()),
                            OpensslKey()));
}

TEST(Pkcs15RsaKeyValue, RecordIntoKeyOutdatesThePreparedKey) {
    RSAPrivateKey key = OursFromOpenssl();
    ASSERT_EQ(1, key.prepareKey());
    ASSERT_TRUE(key.isPrepared());
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    ASSERT_EQ(1, rec.setFromKey(key));
    EXPECT_TRUE(key.isPrepared());
    ASSERT_EQ(1, rec.toKey(key));
    EXPECT_FALSE(key.isPrepared());
    EXPECT_EQ(OpensslDer(), Bytes(key));
}

TEST(Pkcs15RsaKeyValue, IncompleteRecordLeavesTheKeyUntouched) {
    // Only the modulus and the public exponent, as a record of a public value.
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    ASSERT_EQ(8, Decode(rec, "A0 06 80 01 0F 81 01 03"));
    RSAPrivateKey key = OursFromOpenssl();
    ASSERT_EQ(1, key.prepareKey());
    EXPECT_EQ(0, rec.toKey(key));
    EXPECT_TRUE(key.isPrepared());
    EXPECT_EQ(OpensslDer(), Bytes(key));
}

TEST(Pkcs15RsaKeyValue, KeyWithoutSomeComponentsLeavesThemAbsent) {
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    ASSERT_EQ(1, rec.setFromKey(OursFromOpenssl()));
    RSAPrivateKey partial(0);
    partial.modulus.setValue(0xC5);
    partial.publicExponent.setValue(3);
    // A later key replaces the whole value; empty components are not written.
    ASSERT_EQ(1, rec.setFromKey(partial));
    EXPECT_EQ(0, rec.isComplete());
    EXPECT_EQ("A0 07 80 02 00 C5 81 01 03", Enc(rec));
    RSAPrivateKey key(0);
    EXPECT_EQ(0, rec.toKey(key));
}

TEST(Pkcs15RsaKeyValue, ConstantRecordRefusesAKey) {
    ASNPkcs15RSAPrivateKeyObject rec(0x80);
    std::vector<uint8_t> b = H("A0 06 80 01 0F 81 01 03");
    ASSERT_EQ(8, rec.readVector(b, ASN_FLAG_CONST | ASN_FLAG_COPY));
    EXPECT_THROW(rec.setFromKey(OursFromOpenssl()), VtestException);
}
