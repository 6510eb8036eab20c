// DHParameter and the RSASSA-PSS / RSAES-OAEP parameter structures: DER checked
// against OpenSSL both ways, the conversions to the library's GF(p) domain and to
// DSA parameters, and hostile encodings.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DH/RSA structures are what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/pkcs3dh.h"
#include "keys/rsaparams.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvdhgfpsecret.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvrbg.h"

namespace {

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

std::vector<uint8_t> OsslDh(bool withLength, long length) {
    DH* dh = DH_new_by_nid(NID_ffdhe2048);
    EXPECT_NE(nullptr, dh);
    if (withLength) DH_set_length(dh, length);
    unsigned char* p = nullptr;
    int n = i2d_DHparams(dh, &p);
    EXPECT_GT(n, 0);
    std::vector<uint8_t> v(p, p + n);
    OPENSSL_free(p);
    DH_free(dh);
    return v;
}

std::vector<uint8_t> BnBytes(const BIGNUM* b) {
    std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

std::vector<uint8_t> Magnitude(const ASNinteger& i) {
    const uint8_t* d = i.getData();
    long n = i.getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return std::vector<uint8_t>(d, d + n);
}

}  // namespace

TEST(KeysDhParameter, OpensslEncodingWithoutLengthDecodesAndReencodes) {
    std::vector<uint8_t> der = OsslDh(false, 0);
    Pkcs3DHParameter dh(48);
    ASSERT_EQ(static_cast<long>(der.size()), dh.readVector(der));
    EXPECT_EQ(0, dh.wasPrivateValueLength);
    EXPECT_EQ(2048u, dh.getKeyBitsFromPrime());
    EXPECT_EQ(2048u, dh.getPrimeBits());
    EXPECT_EQ(der, Enc(dh));
}

TEST(KeysDhParameter, PrivateValueLengthIsReadAndOpensslReadsOurs) {
    std::vector<uint8_t> der = OsslDh(true, 160);
    Pkcs3DHParameter dh(48);
    ASSERT_EQ(static_cast<long>(der.size()), dh.readVector(der));
    EXPECT_EQ(1, dh.wasPrivateValueLength);
    EXPECT_EQ(160u, dh.getPrivateValueLength());
    EXPECT_EQ(20u, dh.getPrivateValueOctets());
    std::vector<uint8_t> ours = Enc(dh);
    EXPECT_EQ(der, ours);
    const unsigned char* p = ours.data();
    DH* back = d2i_DHparams(nullptr, &p, static_cast<long>(ours.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(160, DH_get_length(back));
    DH_free(back);
}

TEST(KeysDhParameter, HostileEncodingsAreRefused) {
    Pkcs3DHParameter dh(48);
    // Fourth element after privateValueLength.
    std::vector<uint8_t> four = {0x30, 0x0C, 0x02, 0x01, 0x17, 0x02, 0x01, 0x05, 0x02, 0x01, 0x04, 0x02, 0x01, 0x01};
    EXPECT_LE(dh.readVector(four), 0);
    // Only the prime.
    std::vector<uint8_t> one = {0x30, 0x03, 0x02, 0x01, 0x17};
    EXPECT_LE(dh.readVector(one), 0);
    // Length beyond the data.
    std::vector<uint8_t> cut = {0x30, 0x08, 0x02, 0x01, 0x17, 0x02, 0x01};
    EXPECT_LE(dh.readVector(cut), 0);
    // A wrong element type.
    std::vector<uint8_t> str = {0x30, 0x06, 0x04, 0x01, 0x17, 0x02, 0x01, 0x05};
    EXPECT_LE(dh.readVector(str), 0);
    // privateValueLength of nine significant octets reads as 0.
    std::vector<uint8_t> wide = {0x30, 0x11, 0x02, 0x01, 0x17, 0x02, 0x01, 0x05, 0x02, 0x09,
                                 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(static_cast<long>(wide.size()), dh.readVector(wide));
    EXPECT_EQ(0u, dh.getPrivateValueLength());
    // The unusable length refuses the conversions instead of building a huge q.
    DSAParameters dsa(48);
    EXPECT_EQ(0, dh.toDsaParameters(dsa));
}

TEST(KeysDhParameter, ComputePublicValueMatchesOpenssl) {
    std::vector<uint8_t> der = OsslDh(false, 0);
    Pkcs3DHParameter dh(48);
    ASSERT_GT(dh.readVector(der), 0);
    const uint8_t xb[] = {0x3A, 0x91, 0x07, 0xC4, 0x55, 0x12, 0xEE, 0x09, 0x81, 0x7F, 0x42, 0x13, 0x99, 0xAB,
                          0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA};
    ASNinteger x(0), y(0);
    ASSERT_EQ(1, x.setUnsigned(xb, sizeof xb));
    ASSERT_EQ(1, dh.computePublicValue(x, y));

    std::vector<uint8_t> p = Magnitude(dh.prime), g = Magnitude(dh.base);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bp = BN_bin2bn(p.data(), static_cast<int>(p.size()), nullptr);
    BIGNUM* bg = BN_bin2bn(g.data(), static_cast<int>(g.size()), nullptr);
    BIGNUM* bx = BN_bin2bn(xb, sizeof xb, nullptr);
    BIGNUM* by = BN_new();
    ASSERT_EQ(1, BN_mod_exp(by, bg, bx, bp, ctx));
    EXPECT_EQ(BnBytes(by), Magnitude(y));
    BN_free(bp);
    BN_free(bg);
    BN_free(bx);
    BN_free(by);
    BN_CTX_free(ctx);

    Pkcs3DHParameter empty(48);
    EXPECT_EQ(0, empty.computePublicValue(x, y));
}

TEST(KeysDhParameter, KeyDomainRoundTrip) {
    std::vector<uint8_t> der = OsslDh(true, 224);
    Pkcs3DHParameter dh(48);
    ASSERT_GT(dh.readVector(der), 0);
    QvDhGFpKeyDomain domain;
    ASSERT_EQ(1, dh.toKeyDomain(domain));
    // q = 2^224: its bit length is 225, and q - 1 has 224 bits.
    EXPECT_EQ(225u, QvN(domain.getQ()).getBitLength());
    Pkcs3DHParameter back(48);
    ASSERT_EQ(1, back.fromKeyDomain(domain));
    EXPECT_EQ(1, back.wasPrivateValueLength);
    EXPECT_EQ(224u, back.getPrivateValueLength());
    EXPECT_EQ(der, Enc(back));
}

// Without privateValueLength the private values come from [2, p - 2]: key
// generation over the converted domain draws values as long as p.
TEST(KeysDhParameter, NoPrivateValueLengthDrawsFromTheWholeGroup) {
    Pkcs3DHParameter dh(48);
    ASSERT_GT(dh.readVector(OsslDh(false, 0)), 0);
    QvDhGFpKeyDomain domain;
    ASSERT_EQ(1, dh.toKeyDomain(domain));
    const std::vector<uint8_t> p = Magnitude(dh.prime);
    EXPECT_TRUE(QvN(domain.getQ()) == QvN(p.data(), static_cast<unsigned>(p.size()), 0));
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets(), 0x61);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    unsigned longest = 0;
    for (int i = 0; i < 8; i++) {
        QvDhGFpPublicKey pub;
        QvDhGFpPrivateKey priv;
        generateKeyPair(pub, priv, &domain, rbg.get());
        EXPECT_TRUE(priv.getX() >= 2u);
        EXPECT_TRUE(priv.getX() + 2u <= QvN(domain.getQ()));
        longest = std::max(longest, priv.getX().getBitLength());
    }
    EXPECT_GT(longest, QvN(domain.getQ()).getBitLength() - 8);
}

TEST(KeysDhParameter, DsaParametersConversions) {
    Pkcs3DHParameter dh(48);
    ASSERT_GT(dh.readVector(OsslDh(true, 7)), 0);
    DSAParameters dsa(48);
    ASSERT_EQ(1, dh.toDsaParameters(dsa));
    // 2^7 needs a leading zero octet as a positive INTEGER.
    ASSERT_EQ(2, dsa.q.getValueLength());
    EXPECT_EQ(0x00, dsa.q.getData()[0]);
    EXPECT_EQ(0x80, dsa.q.getData()[1]);
    EXPECT_EQ(1, dh.isSameDomain(dsa));

    Pkcs3DHParameter noLen(48);
    ASSERT_GT(noLen.readVector(OsslDh(false, 0)), 0);
    ASSERT_EQ(1, noLen.toDsaParameters(dsa));
    EXPECT_EQ(Magnitude(noLen.prime), Magnitude(dsa.q));  // without a length: q = p

    const uint8_t q20[20] = {0x9F};
    ASSERT_EQ(1, dsa.q.setUnsigned(q20, sizeof q20));
    Pkcs3DHParameter fromDsa(48);
    ASSERT_EQ(1, fromDsa.fromDsaParameters(dsa));
    EXPECT_EQ(161u, fromDsa.getPrivateValueLength());
    EXPECT_EQ(1, fromDsa.isSameDomain(dsa));
    dsa.g.setValue(3);
    EXPECT_EQ(0, fromDsa.isSameDomain(dsa));

    Pkcs3DHParameter copy(48);
    copy = fromDsa;
    EXPECT_EQ(Enc(fromDsa), Enc(copy));
}

// --- RSASSA-PSS-params / RSAES-OAEP-params -----------------------------------

TEST(KeysRsaParams, DefaultsEncodeAsEmptySequenceAndOpensslAgrees) {
    RsaPssParams pss(48);
    ASSERT_EQ(1, pss.setParams(1, 0, 1, 20, 1));
    std::vector<uint8_t> der = Enc(pss);
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0x00}), der);
    const unsigned char* p = der.data();
    RSA_PSS_PARAMS* op = d2i_RSA_PSS_PARAMS(nullptr, &p, 2);
    ASSERT_NE(nullptr, op);
    EXPECT_EQ(nullptr, op->hashAlgorithm);
    EXPECT_EQ(nullptr, op->saltLength);
    RSA_PSS_PARAMS_free(op);

    RsaPssParams back(48);
    ASSERT_EQ(2, back.readVector(der));
    EXPECT_EQ(1u, back.getHashAlgo());
    unsigned mh = 0;
    EXPECT_EQ(0, back.getMgfHashAlgo(&mh));
    EXPECT_EQ(1u, mh);
    EXPECT_EQ(20, back.getSaltLength());
    EXPECT_EQ(1, back.getTrailerField());

    RsaOaepParams oaep(48);
    ASSERT_EQ(1, oaep.setParams(1, 0, 1, nullptr, 0));
    der = Enc(oaep);
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0x00}), der);
    p = der.data();
    RSA_OAEP_PARAMS* oo = d2i_RSA_OAEP_PARAMS(nullptr, &p, 2);
    ASSERT_NE(nullptr, oo);
    RSA_OAEP_PARAMS_free(oo);
    RsaOaepParams oback(48);
    ASSERT_EQ(2, oback.readVector(der));
    EXPECT_EQ(1u, oback.getHashAlgo());
    EXPECT_EQ(0, oback.getMgfHashAlgo(nullptr));
    EXPECT_EQ(nullptr, oback.getLabel());
    EXPECT_EQ(0u, oback.getLabelLength());
}

TEST(KeysRsaParams, PssSha256ReadByOpensslAndBack) {
    RsaPssParams pss(48);
    ASSERT_EQ(1, pss.setParams(3, 0, 3, 32, 1));
    EXPECT_EQ(1, pss.wasHashAlgorithm);
    EXPECT_EQ(1, pss.wasMaskGenAlgorithm);
    EXPECT_EQ(1, pss.wasSaltLength);
    EXPECT_EQ(0, pss.wasTrailerField);
    std::vector<uint8_t> der = Enc(pss);
    const unsigned char* p = der.data();
    RSA_PSS_PARAMS* op = d2i_RSA_PSS_PARAMS(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, op);
    ASSERT_NE(nullptr, op->hashAlgorithm);
    EXPECT_EQ(NID_sha256, OBJ_obj2nid(op->hashAlgorithm->algorithm));
    ASSERT_NE(nullptr, op->maskGenAlgorithm);
    EXPECT_EQ(NID_mgf1, OBJ_obj2nid(op->maskGenAlgorithm->algorithm));
    ASSERT_NE(nullptr, op->saltLength);
    EXPECT_EQ(32, ASN1_INTEGER_get(op->saltLength));
    EXPECT_EQ(nullptr, op->trailerField);
    unsigned char* re = nullptr;
    int n = i2d_RSA_PSS_PARAMS(op, &re);
    ASSERT_GT(n, 0);
    EXPECT_EQ(der, std::vector<uint8_t>(re, re + n));
    OPENSSL_free(re);
    RSA_PSS_PARAMS_free(op);

    RsaPssParams back(48);
    ASSERT_EQ(static_cast<long>(der.size()), back.readVector(der));
    EXPECT_EQ(3u, back.getHashAlgo());
    unsigned mh = 0;
    EXPECT_EQ(0, back.getMgfHashAlgo(&mh));
    EXPECT_EQ(3u, mh);
    EXPECT_EQ(-1, back.getMgfHashAlgo(nullptr));
    EXPECT_EQ(32, back.getSaltLength());
    EXPECT_EQ(1, back.getTrailerField());
    EXPECT_TRUE(back == pss);
    RsaPssParams other(48);
    ASSERT_EQ(1, other.setParams(3, 0, 3, 33, 1));
    EXPECT_FALSE(other == pss);
}

TEST(KeysRsaParams, OaepLabelAndMgfReadByOpenssl) {
    RsaOaepParams oaep(48);
    const uint8_t label[] = {'a', 'b', 'c'};
    ASSERT_EQ(1, oaep.setParams(5, 0, 5, label, 3));
    std::vector<uint8_t> der = Enc(oaep);
    const unsigned char* p = der.data();
    RSA_OAEP_PARAMS* oo = d2i_RSA_OAEP_PARAMS(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, oo);
    ASSERT_NE(nullptr, oo->hashFunc);
    EXPECT_EQ(NID_sha512, OBJ_obj2nid(oo->hashFunc->algorithm));
    ASSERT_NE(nullptr, oo->pSourceFunc);
    EXPECT_EQ(NID_pSpecified, OBJ_obj2nid(oo->pSourceFunc->algorithm));
    unsigned char* re = nullptr;
    int n = i2d_RSA_OAEP_PARAMS(oo, &re);
    ASSERT_GT(n, 0);
    EXPECT_EQ(der, std::vector<uint8_t>(re, re + n));
    OPENSSL_free(re);
    RSA_OAEP_PARAMS_free(oo);

    RsaOaepParams back(48);
    ASSERT_EQ(static_cast<long>(der.size()), back.readVector(der));
    EXPECT_EQ(5u, back.getHashAlgo());
    unsigned mh = 0;
    EXPECT_EQ(0, back.getMgfHashAlgo(&mh));
    EXPECT_EQ(5u, mh);
    ASSERT_EQ(3u, back.getLabelLength());
    EXPECT_EQ(0, std::memcmp(back.getLabel(), label, 3));
    EXPECT_TRUE(back == oaep);
    RsaOaepParams copy(back);
    EXPECT_TRUE(copy == oaep);
    EXPECT_EQ(3u, copy.getLabelLength());
}

TEST(KeysRsaParams, MgfOtherThanMgf1GivesMinusOne) {
    // [1] { id-pSpecified, NULL }: an AlgorithmIdentifier that is no MGF1.
    std::vector<uint8_t> der = {0x30, 0x0F, 0xA1, 0x0D, 0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48,
                                0x86, 0xF7, 0x0D, 0x01, 0x01, 0x09, 0x05, 0x00};
    der[1] = static_cast<uint8_t>(der.size() - 2);
    der[3] = static_cast<uint8_t>(der.size() - 4);
    der[5] = static_cast<uint8_t>(der.size() - 6);
    RsaOaepParams oaep(48);
    ASSERT_EQ(static_cast<long>(der.size()), oaep.readVector(der));
    unsigned mh = 77;
    EXPECT_EQ(-1, oaep.getMgfHashAlgo(&mh));
    EXPECT_EQ(77u, mh);
}

TEST(KeysRsaParams, OutOfOrderRepeatedAndUnknownFieldsAreMalformed) {
    // [0] sha1 identifier and [1] mgf1-sha1 pieces.
    const std::vector<uint8_t> f0 = {0xA0, 0x09, 0x30, 0x07, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
    const std::vector<uint8_t> f2 = {0xA2, 0x03, 0x02, 0x01, 0x20};
    const std::vector<uint8_t> f4 = {0xA4, 0x03, 0x02, 0x01, 0x01};
    auto seq = [](std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> body;
        for (auto& x : parts) body.insert(body.end(), x.begin(), x.end());
        std::vector<uint8_t> v = {0x30, static_cast<uint8_t>(body.size())};
        v.insert(v.end(), body.begin(), body.end());
        return v;
    };
    RsaPssParams pss(48);
    EXPECT_GT(pss.readVector(seq({f0, f2})), 0);
    EXPECT_EQ(32, pss.getSaltLength());
    EXPECT_LE(pss.readVector(seq({f2, f0})), 0);
    EXPECT_LE(pss.readVector(seq({f0, f0})), 0);
    EXPECT_LE(pss.readVector(seq({f4})), 0);
    RsaOaepParams oaep(48);
    EXPECT_LE(oaep.readVector(seq({f2, f0})), 0);
    EXPECT_LE(oaep.readVector(seq({f4})), 0);
    // Truncated inner identifier.
    std::vector<uint8_t> cut = {0x30, 0x04, 0xA0, 0x02, 0x30, 0x07};
    EXPECT_LE(pss.readVector(cut), 0);
}
