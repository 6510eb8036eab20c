// DSA parameters, public value and signature structures: DER checked against OpenSSL
// both ways, the domain checks, conversions with the library objects, signatures made
// by OpenSSL verified here, and hostile signature encodings.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/dsa.h>

#include <memory>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/dsaprkey.h"
#include "keys/dsapukey.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvrbg.h"

namespace {

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

std::vector<uint8_t> Bn(const BIGNUM* b) {
    std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

void SetBn(ASNinteger& i, const BIGNUM* b) {
    std::vector<uint8_t> v = Bn(b);
    ASSERT_EQ(1, i.setUnsigned(v.data(), static_cast<long>(v.size())));
}

std::vector<uint8_t> Mag(const ASNinteger& i) {
    const uint8_t* d = i.getData();
    long n = i.getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return std::vector<uint8_t>(d, d + n);
}

// One 1024/160 key shared by the tests of this process.
DSA* Key() {
    static DSA* dsa = [] {
        DSA* d = DSA_new();
        EXPECT_EQ(1, DSA_generate_parameters_ex(d, 1024, nullptr, 0, nullptr, nullptr, nullptr));
        EXPECT_EQ(1, DSA_generate_key(d));
        return d;
    }();
    return dsa;
}

DSAParameters Params() {
    DSAParameters p(48);
    SetBn(p.p, DSA_get0_p(Key()));
    SetBn(p.q, DSA_get0_q(Key()));
    SetBn(p.g, DSA_get0_g(Key()));
    return p;
}

}  // namespace

TEST(KeysDsa, ParametersDerMatchesOpensslBothWays) {
    unsigned char* o = nullptr;
    int n = i2d_DSAparams(Key(), &o);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> der(o, o + n);
    OPENSSL_free(o);
    DSAParameters p(48);
    ASSERT_EQ(n, p.readVector(der));
    EXPECT_EQ(der, Enc(p));
    EXPECT_EQ(Enc(Params()), der);
    EXPECT_EQ(20u, p.getQLength());
    EXPECT_EQ(1024u, p.getKeySizeBits());
    const unsigned char* q = der.data();
    DSA* back = d2i_DSAparams(nullptr, &q, n);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(DSA_get0_p(back), DSA_get0_p(Key())));
    DSA_free(back);
}

TEST(KeysDsa, DomainChecks) {
    // A 512-bit p keeps the primality proof of p short.
    DSA* small = DSA_new();
    ASSERT_EQ(1, DSA_generate_parameters_ex(small, 512, nullptr, 0, nullptr, nullptr, nullptr));
    DSAParameters p(48);
    SetBn(p.p, DSA_get0_p(small));
    SetBn(p.q, DSA_get0_q(small));
    SetBn(p.g, DSA_get0_g(small));
    DSA_free(small);
    EXPECT_EQ(1, p.isValid());
    DSAParameters bad = p;
    bad.g.setValue(1);
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.g = p.p;
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.q.setValue(15);  // composite
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.q.setValue(65537);  // prime, but not a divisor of p - 1
    EXPECT_EQ(0, bad.isValid());
    DSAParameters empty(48);
    EXPECT_EQ(0, empty.isValid());
}

TEST(KeysDsa, DomainAndPublicValueConversions) {
    DSAParameters p = Params();
    QvDsaKeyDomain domain;
    ASSERT_EQ(1, p.toDomain(domain));
    DSAParameters back(48);
    ASSERT_EQ(1, back.setFromDomain(domain));
    EXPECT_EQ(Enc(p), Enc(back));

    DSAPrivateKey x(0);
    SetBn(x, DSA_get0_priv_key(Key()));
    x.parameters = p;
    ASNinteger y(0);
    ASSERT_EQ(1, x.getPublicValue(y));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key())), Mag(y));

    QvDsaPublicKey qk;
    qk.setDomain(&domain);
    qk.setY(Mag(y).data(), static_cast<unsigned>(Mag(y).size()));
    DSAPublicKey pub(0);
    ASSERT_EQ(1, pub.setFromQvKey(qk));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key())), Mag(pub));
    EXPECT_EQ(1024u, pub.getKeySizeBits());
}

TEST(KeysDsa, OpensslSignatureVerifiesAndTamperedOneDoesNot) {
    uint8_t digest[20];
    for (int i = 0; i < 20; i++) digest[i] = static_cast<uint8_t>(i * 11 + 3);
    DSA_SIG* s = DSA_do_sign(digest, 20, Key());
    ASSERT_NE(nullptr, s);
    unsigned char* o = nullptr;
    int n = i2d_DSA_SIG(s, &o);
    std::vector<uint8_t> der(o, o + n);
    OPENSSL_free(o);
    DSA_SIG_free(s);

    DSASignature sig(48);
    ASSERT_EQ(n, sig.readVector(der));
    EXPECT_EQ(der, Enc(sig));
    DSAPublicKey pub(0);
    SetBn(pub, DSA_get0_pub_key(Key()));
    DSAParameters p = Params();
    EXPECT_EQ(0, pub.verify(digest, 20, p, sig));
    EXPECT_EQ(0, pub.verifyWithHash(digest, 20, 1, &p, sig));
    EXPECT_EQ(3, pub.verifyWithHash(digest, 20, 3, &p, sig));
    digest[0] ^= 1;
    EXPECT_EQ(1, pub.verify(digest, 20, p, sig));
    DSAPublicKey one(0);
    one.setValue(1);
    EXPECT_EQ(2, one.verify(digest, 20, p, sig));
    DSAPublicKey g(0);
    g = DSAPublicKey(0);
    static_cast<ASNinteger&>(g) = p.g;
    EXPECT_NE(0, g.verify(digest, 20, p, sig));
}

TEST(KeysDsa, SignatureRsFormAndHostileEncodings) {
    DSASignature sig(48);
    sig.r.setValue(0x1234);
    sig.s.setValue(0x80);
    const std::vector<uint8_t> rs = {0x02, 0x02, 0x12, 0x34, 0x02, 0x02, 0x00, 0x80};
    EXPECT_EQ(8, sig.getRSLength());
    std::vector<uint8_t> out(8);
    ASSERT_EQ(1, sig.getRS(out.data(), 8));
    EXPECT_EQ(rs, out);
    EXPECT_EQ(-1, sig.getRS(out.data(), 7));

    DSASignature back(48);
    ASSERT_EQ(1, back.setRS(rs.data(), 8));
    EXPECT_EQ(Enc(sig), Enc(back));
    std::vector<uint8_t> trailing = rs;
    trailing.push_back(0);
    EXPECT_EQ(0, back.setRS(trailing.data(), 9));
    EXPECT_EQ(0, back.setRS(rs.data(), 4));  // s missing
    EXPECT_EQ(0, back.setRS(rs.data(), 7));  // s cut
    EXPECT_EQ(0, back.setRS(nullptr, 8));

    // A SEQUENCE with a third INTEGER, and one with a length past the data.
    const std::vector<uint8_t> three = {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x03};
    EXPECT_LE(back.readVector(three), 0);
    const std::vector<uint8_t> cut = {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01};
    EXPECT_LE(back.readVector(cut), 0);
}

TEST(KeysDsa, SignatureByDigestLengthVerifiedByOpenssl) {
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 29 + 5);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));

    DSAPrivateKey x(0);
    SetBn(x, DSA_get0_priv_key(Key()));
    x.setDomain(Params());
    EXPECT_LE(x.getPrivateValueLength(), 20u);  // x < q of 160 bits
    EXPECT_GE(x.getPrivateValueLength(), 16u);
    EXPECT_EQ(1024u, x.getKeySizeBits());
    EXPECT_EQ(128u, x.getKeySizeBytes());

    uint8_t digest[28];
    for (int i = 0; i < 28; i++) digest[i] = static_cast<uint8_t>(i * 7 + 1);
    for (unsigned len : {20u, 28u}) {
        DSASignature sig(48);
        ASSERT_EQ(0, x.sign(digest, len, sig, rbg.get()));
        std::vector<uint8_t> der = Enc(sig);
        EXPECT_EQ(1, DSA_verify(0, digest, static_cast<int>(len), der.data(), static_cast<int>(der.size()), Key()));
    }
    DSASignature sig(48);
    EXPECT_EQ(3, x.sign(digest, 24, sig, rbg.get()));
    EXPECT_EQ(3, x.signWithHash(digest, 20, 3, sig, rbg.get()));
}
