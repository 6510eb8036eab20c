// Algorithm identifiers and their tables, X9.42 domain parameters and subject public
// keys, cross-checked with OpenSSL where it has a view of the same structure.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "asn_test_util.h"
#include "keys/dsaparms.h"
#include "keys/dsaprkey.h"
#include "keys/dsapukey.h"
#include "keys/rsaparams.h"
#include "lib/libasn/asnoidconst.h"
#include "lib/libasn/x509/siganddigoid.h"
#include "lib/libasn/x509/spkinfo.h"
#include "lib/libasn/x509/x942dh.h"

using namespace asntest;

namespace {

std::string OidText(const ASNobjectId& o) { return o.toString(); }

}  // namespace

// ---------------------------------------------------------------------------
// AlgorithmIdentifier

TEST(AlgorithmIdentifier, OidOnlyDecodesWithoutParametersAndReencodesTheSame) {
    AlgorithmIdentifier a;
    const std::string der = "30 0B 06 09 2A 86 48 86 F7 0D 01 01 0B";
    ASSERT_EQ(13, Decode(a, der));
    EXPECT_EQ(0, a.parametersPresent);
    EXPECT_EQ(N(der), Encode(a));
    EXPECT_EQ(N(der), EncodeStream(a));
}

TEST(AlgorithmIdentifier, NullParametersAreKeptAndCompareUnequalToAbsentOnes) {
    AlgorithmIdentifier withNull, without;
    ASSERT_GT(Decode(withNull, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 0B 05 00"), 0);
    ASSERT_GT(Decode(without, "30 0B 06 09 2A 86 48 86 F7 0D 01 01 0B"), 0);
    EXPECT_EQ(1, withNull.parametersPresent);
    EXPECT_EQ(0x05, withNull.parameters.tag);
    EXPECT_FALSE(withNull == without);
    AlgorithmIdentifier copy;
    copy = withNull;
    EXPECT_TRUE(copy == withNull);
    EXPECT_EQ(Encode(withNull), Encode(copy));
}

TEST(AlgorithmIdentifier, TrailingOctetsAfterTheParametersAreMalformed) {
    AlgorithmIdentifier a;
    EXPECT_EQ(0, Decode(a, "30 0F 06 09 2A 86 48 86 F7 0D 01 01 0B 05 00 05 00"));
    EXPECT_EQ(0, Decode(a, "30 02 05 00"));
    EXPECT_EQ(0, Decode(a, "30 0B 06 09 2A 86 48 86 F7 0D 01 01"));
}

TEST(AlgorithmIdentifier, SignatureSettersGiveNullParameters) {
    AlgorithmIdentifier a;
    ASSERT_EQ(1, a.setRsaSignature(7));
    EXPECT_EQ("1.2.840.113549.1.1.6", OidText(a.algorithm));
    EXPECT_EQ(N("30 0D 06 09 2A 86 48 86 F7 0D 01 01 06 05 00"), Encode(a));
    unsigned len = 0, hash = 0;
    EXPECT_EQ(1, RsaSignatureOidToHash(a.algorithm, &len, &hash));
    EXPECT_EQ(7u, hash);
    EXPECT_EQ(20u, len);

    ASSERT_EQ(1, a.setEcdsaSignature(3));
    EXPECT_EQ("1.2.840.10045.4.3.2", OidText(a.algorithm));
    EXPECT_EQ(1, a.parametersPresent);
    ASSERT_EQ(1, a.setDsaSignature(1));
    EXPECT_EQ("1.2.840.10040.4.3", OidText(a.algorithm));
    EXPECT_EQ(0, a.setEcdsaSignature(6));
    EXPECT_EQ(0, a.setDsaSignature(3));
    ASSERT_EQ(1, a.setDigestAlgorithm(3));
    EXPECT_EQ("2.16.840.1.101.3.4.2.1", OidText(a.algorithm));
    EXPECT_EQ(0, a.setDigestAlgorithm(6));
}

TEST(AlgorithmIdentifier, OldSha1WithRsaOidDecodesButHashOneEncodesAsPkcs1) {
    ASNobjectId old("1.3.14.3.2.29");
    unsigned hash = 0, len = 0;
    EXPECT_EQ(1, RsaSignatureOidToHash(old, &len, &hash));
    EXPECT_EQ(1u, hash);
    EXPECT_EQ(20u, len);
    ASNobjectId out;
    EXPECT_EQ(1, HashToRsaSignatureOid(1, &out, nullptr));
    EXPECT_EQ("1.2.840.113549.1.1.5", OidText(out));
    EXPECT_EQ(0, RsaSignatureOidToHash(ASNobjectId("1.3.36.3.3.1.2"), nullptr, nullptr));
}

TEST(AlgorithmIdentifier, DigestTableMatchesOpenSslsOidsAndLengths) {
    const struct {
        unsigned id;
        const EVP_MD* (*md)();
        const char* name;
    } rows[] = {{1, EVP_sha1, "SHA-1"},     {2, EVP_sha224, "SHA-224"}, {3, EVP_sha256, "SHA-256"},
                {4, EVP_sha384, "SHA-384"}, {5, EVP_sha512, "SHA-512"}, {8, EVP_md5, "MD5"}};
    for (const auto& r : rows) {
        ASNobjectId o;
        unsigned len = 0;
        ASSERT_STREQ(r.name, HashToDigestOid(r.id, &o, &len));
        EXPECT_EQ(static_cast<unsigned>(EVP_MD_get_size(r.md())), len) << r.name;
        char text[80];
        OBJ_obj2txt(text, sizeof text, OBJ_nid2obj(EVP_MD_get_type(r.md())), 1);
        EXPECT_EQ(std::string(text), OidText(o)) << r.name;
        unsigned back = 0;
        EXPECT_STREQ(r.name, DigestOidToHash(o, nullptr, &back));
        EXPECT_EQ(r.id, back);
    }
    unsigned len = 0;
    EXPECT_EQ(nullptr, HashToDigestOid(6, nullptr, &len));
    EXPECT_EQ(16u, len);
    EXPECT_STREQ("RIPEMD-160", HashToDigestOid(7, nullptr, nullptr));
    EXPECT_EQ(nullptr, DigestOidToHash(ASNobjectId("1.2.840.113549.2.2"), nullptr, nullptr));
}

TEST(AlgorithmIdentifier, EcdsaAndDsaTablesAndPredicates) {
    for (unsigned h = 1; h <= 5; h++) {
        ASNobjectId o;
        unsigned len = 0, back = 0;
        ASSERT_EQ(1, HashToEcdsaSignatureOid(h, &o, &len));
        EXPECT_TRUE(isEcdsaSignatureOid(o));
        EXPECT_FALSE(isRsaOrPssSignatureOid(o));
        EXPECT_EQ(1, EcdsaSignatureOidToHash(o, nullptr, &back));
        EXPECT_EQ(h, back);
    }
    EXPECT_EQ(0, HashToEcdsaSignatureOid(7, nullptr, nullptr));
    EXPECT_TRUE(isDsaSignatureOid(ASNobjectId("1.3.36.8.5.1.2.2")));
    EXPECT_TRUE(isRsaKeyOid(ASNobjectId("2.5.8.1.1")));
    EXPECT_TRUE(isRsaKeyOid(ASNobjectId("1.2.840.113549.1.1.10")));
    EXPECT_TRUE(isRsaOrPssSignatureOid(ASNobjectId("1.2.840.113549.1.1.10")));
    EXPECT_FALSE(isRsaSignatureOid(ASNobjectId("1.2.840.113549.1.1.10")));
    EXPECT_FALSE(isRsaSignatureOid(ASNobjectId("1.2.840.113549.1.1.2")));
}

TEST(AlgorithmIdentifier, PssParametersWithDefaults) {
    AlgorithmIdentifier a;
    ASSERT_EQ(1, a.setOidText("1.2.840.113549.1.1.10", nullptr));
    unsigned h = 0;
    int64_t salt = 0;
    int sel = -1, mh = 0, tr = 0;
    uint8_t present = 9;
    EXPECT_EQ(0, GetRsaPssParams(a, &h, &salt, &sel, &mh, &tr, nullptr));
    ASSERT_EQ(1, GetRsaPssParams(a, &h, &salt, &sel, &mh, &tr, &present));
    EXPECT_EQ(0, present);
    EXPECT_EQ(1u, h);
    EXPECT_EQ(20, salt);
    EXPECT_EQ(0, sel);
    EXPECT_EQ(1, mh);
    EXPECT_EQ(1, tr);
    unsigned sh = 0, sl = 0;
    EXPECT_EQ(0, SignatureAlgorithmToHash(a, &sh, &sl));  // no parameters to read
}

TEST(AlgorithmIdentifier, PssParametersMatchOpenSslsEncoding) {
    // RSASSA-PSS with SHA-256, MGF1-SHA-256, salt 32, as OpenSSL writes it.
    EVP_PKEY* pk = nullptr;
    {
        EVP_PKEY_CTX* kc = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
        ASSERT_NE(nullptr, kc);
        ASSERT_EQ(1, EVP_PKEY_keygen_init(kc));
        ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_keygen_bits(kc, 1024));
        ASSERT_EQ(1, EVP_PKEY_keygen(kc, &pk));
        EVP_PKEY_CTX_free(kc);
    }
    EVP_MD_CTX* mc = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pc = nullptr;
    ASSERT_EQ(1, EVP_DigestSignInit(mc, &pc, EVP_sha256(), nullptr, pk));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(pc, RSA_PKCS1_PSS_PADDING));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_pss_saltlen(pc, 32));
    X509_ALGOR* alg = X509_ALGOR_new();
    ASSERT_EQ(1, X509_ALGOR_set0(alg, OBJ_nid2obj(NID_rsassaPss), V_ASN1_UNDEF, nullptr));
    // Let OpenSSL fill the parameters through a certificate signing of a dummy.
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 60);
    X509_set_pubkey(x, pk);
    ASSERT_GT(X509_sign_ctx(x, mc), 0);
    const X509_ALGOR* sa = nullptr;
    X509_get0_signature(nullptr, &sa, x);
    unsigned char* der = nullptr;
    int n = i2d_X509_ALGOR(sa, &der);
    ASSERT_GT(n, 0);
    AlgorithmIdentifier ours;
    ASSERT_EQ(n, ours.readBuffer(der, n));
    unsigned h = 0;
    int64_t salt = 0;
    int sel = -1, mh = 0, tr = 0;
    ASSERT_EQ(1, GetRsaPssParams(ours, &h, &salt, &sel, &mh, &tr, nullptr));
    EXPECT_EQ(3u, h);
    EXPECT_EQ(32, salt);
    EXPECT_EQ(0, sel);
    EXPECT_EQ(3, mh);
    EXPECT_EQ(1, tr);
    unsigned sh = 0, sl = 0;
    EXPECT_EQ(1, SignatureAlgorithmToHash(ours, &sh, &sl));
    EXPECT_EQ(3u, sh);
    EXPECT_EQ(32u, sl);
    // Our own parameters for the same values encode as OpenSSL's do.
    RsaPssParams mine;
    ASSERT_NE(0, mine.set(3, 0, 3, 32, 1));
    AlgorithmIdentifier built;
    ASSERT_EQ(1, built.set(algoid::rsassaPss(), &mine));
    EXPECT_EQ(Hex(der, n), Encode(built));
    // Without a salt output the salt must be the default.
    EXPECT_EQ(0, GetRsaPssParams(ours, &h, nullptr, &sel, &mh, &tr, nullptr));
    OPENSSL_free(der);
    X509_free(x);
    X509_ALGOR_free(alg);
    EVP_MD_CTX_free(mc);
    EVP_PKEY_free(pk);
}

TEST(AlgorithmIdentifier, OaepParametersAndLabel) {
    // RSAES-OAEP-params: SHA-256, MGF1(SHA-256), pSpecified "abc".
    AlgorithmIdentifier h, mgfHash, mgf, src;
    ASSERT_EQ(1, h.setDigestAlgorithm(3));
    ASSERT_EQ(1, mgfHash.setDigestAlgorithm(3));
    ASSERT_EQ(1, mgf.set(algoid::mgf1(), &mgfHash));
    ASNoctstr label;
    ASSERT_EQ(1, label.set("abc", 3));
    ASSERT_EQ(1, src.set(algoid::pSpecified(), &label));
    RsaOaepParams p;
    p.hashAlgorithm.value = h;
    p.maskGenAlgorithm.value = mgf;
    p.pSourceAlgorithm.value = src;
    p.wasHashAlgorithm = p.wasMaskGenAlgorithm = p.wasPSourceAlgorithm = 1;
    AlgorithmIdentifier a;
    ASSERT_EQ(1, a.set(algoid::rsaesOaep(), &p));
    unsigned hash = 0;
    int mv = -1, mo = 0;
    const uint8_t* l = nullptr;
    long ll = 0;
    ASSERT_EQ(1, GetRsaOaepParams(a, &hash, &mv, &mo, &l, &ll));
    EXPECT_EQ(3u, hash);
    EXPECT_EQ(0, mv);
    EXPECT_EQ(3, mo);
    ASSERT_EQ(3, ll);
    EXPECT_EQ(0, std::memcmp(l, "abc", 3));
    AlgorithmIdentifier bare;
    ASSERT_EQ(1, bare.setOidText("1.2.840.113549.1.1.7", nullptr));
    EXPECT_EQ(0, GetRsaOaepParams(bare, &hash, &mv, &mo, &l, &ll));
}

TEST(AlgorithmIdentifier, KeyAndCipherTables) {
    const int ids[] = {1, 2, 3, 4, 5, 51, 52, 101, 102, 201, 202, 203};
    for (int id : ids) {
        const ASNobjectId* o = KeyAlgorithmOid(id);
        ASSERT_NE(nullptr, o) << id;
        EXPECT_EQ(id, SubPubKeyInfo::KeyAlgorithmId(*o)) << id;
    }
    EXPECT_EQ(nullptr, KeyAlgorithmOid(6));
    EXPECT_EQ(1, SubPubKeyInfo::KeyAlgorithmId("2.5.8.1.1"));
    EXPECT_EQ(0, SubPubKeyInfo::KeyAlgorithmId("1.2.3"));

    unsigned bs = 0, cid = 0, der = 9, kl = 0;
    EXPECT_STREQ("AES-192", CipherOidToParams(ASNobjectId("2.16.840.1.101.3.4.1.22"), &bs, &cid, &der, &kl));
    EXPECT_EQ(16u, bs);
    EXPECT_EQ(1u, cid);
    EXPECT_EQ(0u, der);
    EXPECT_EQ(24u, kl);
    EXPECT_STREQ("DES-EEE", CipherOidToParams(ASNobjectId("1.3.6.1.4.1.32473.4.6"), &bs, &cid, &der, &kl));
    EXPECT_EQ(1u, der);
    EXPECT_EQ(5u, cid);
    EXPECT_EQ(nullptr, CipherOidToParams(ASNobjectId("1.3.6.1.4.1.32473.4.3"), &bs, &cid, &der, &kl));
    EXPECT_STREQ("NASZ1", CipherOidToParams(ASNobjectId("1.3.6.1.4.1.32473.4.3"), &bs, nullptr, &der, &kl));
    EXPECT_EQ(32u, kl);
    EXPECT_EQ(nullptr, CipherOidToParams(ASNobjectId("1.2.840.113549.3.2"), &bs, &cid, &der, &kl));
    EXPECT_STREQ("RC2", CipherOidToParams(ASNobjectId("1.2.840.113549.3.2"), &bs, &cid, &der, nullptr));
    EXPECT_EQ(nullptr, CipherOidToParams(ASNobjectId("1.2.840.113549.3.6"), &bs, nullptr, nullptr, nullptr));
}

TEST(AlgorithmIdentifier, UnknownHashIdForTheLengthIsAnAssertion) {
    EXPECT_THROW(HashToDigestOid(9, nullptr, &*std::make_unique<unsigned>()), VtestException);
}

// ---------------------------------------------------------------------------
// X9.42 domain parameters

TEST(X942DomainParameters, ThreeIntegersDecodeAndReencode) {
    X942DomainParameters d;
    const std::string der = "30 09 02 01 17 02 01 05 02 01 0B";
    ASSERT_EQ(11, Decode(d, der));
    EXPECT_EQ(0, d.jPresent);
    EXPECT_EQ(0, d.validationParmsPresent);
    EXPECT_EQ(N(der), Encode(d));
}

TEST(X942DomainParameters, OptionalMembersInOrderOnly) {
    X942DomainParameters d;
    // j and validationParms.
    const std::string full = "30 15 02 01 17 02 01 05 02 01 0B 02 01 02 30 07 03 02 00 AA 02 01 07";
    ASSERT_EQ(23, Decode(d, full));
    EXPECT_EQ(1, d.jPresent);
    EXPECT_EQ(1, d.validationParmsPresent);
    EXPECT_EQ(7, d.validationParms.getPgenCounter());
    long sl = 0;
    const uint8_t* s = d.validationParms.getSeed(&sl);
    ASSERT_EQ(1, sl);
    EXPECT_EQ(0xAA, s[0]);
    EXPECT_EQ(N(full), Encode(d));
    // INTEGER after the SEQUENCE.
    EXPECT_EQ(0, Decode(d, "30 15 02 01 17 02 01 05 02 01 0B 30 07 03 02 00 AA 02 01 07 02 01 02"));
    // [0] after q.
    EXPECT_EQ(0, Decode(d, "30 0C 02 01 17 02 01 05 02 01 0B 80 01 00"));
    // Missing q; repeated j.
    EXPECT_EQ(0, Decode(d, "30 06 02 01 17 02 01 05"));
    EXPECT_EQ(0, Decode(d, "30 0F 02 01 17 02 01 05 02 01 0B 02 01 02 02 01 02"));
}

TEST(X942DomainParameters, DsaConversionMapsByName) {
    X942DomainParameters d;
    ASSERT_GT(Decode(d, "30 15 02 01 17 02 01 05 02 01 0B 02 01 02 30 07 03 02 00 AA 02 01 07"), 0);
    DSAParameters dsa;
    d.copyToDsaParameters(dsa);
    EXPECT_EQ(N("30 09 02 01 17 02 01 0B 02 01 05"), Encode(dsa));
    X942DomainParameters back;
    ASSERT_EQ(1, back.setFromDsaParameters(dsa, false));
    EXPECT_EQ(N("30 09 02 01 17 02 01 05 02 01 0B"), Encode(back));
    ASSERT_EQ(1, back.setFromDsaParameters(dsa, true));
    EXPECT_EQ(1, back.jPresent);
    EXPECT_EQ(N("02 01 02"), Encode(back.j));  // (23 - 1) / 11
}

TEST(X942DomainParameters, BitLengthsCountSignificantOctets) {
    X942DomainParameters d;
    ASSERT_GT(Decode(d, "30 0C 02 03 00 80 01 02 01 05 02 02 00 FF"), 0);
    EXPECT_EQ(8, d.getQBits());
    EXPECT_EQ(1, d.getQLength());
    EXPECT_EQ(16, d.getPBits());
}

// ---------------------------------------------------------------------------
// Subject public key info

namespace {

std::vector<uint8_t> PubKeyDer(EVP_PKEY* pk) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(pk, &der);
    std::vector<uint8_t> v(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return v;
}

EVP_PKEY* GenKey(const char* type, const char* param, int value) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* pk = nullptr;
    if (c == nullptr || EVP_PKEY_keygen_init(c) != 1) return nullptr;
    if (std::strcmp(type, "RSA") == 0) EVP_PKEY_CTX_set_rsa_keygen_bits(c, value);
    if (std::strcmp(type, "EC") == 0) EVP_PKEY_CTX_set_group_name(c, param);
    EVP_PKEY_keygen(c, &pk);
    EVP_PKEY_CTX_free(c);
    return pk;
}

}  // namespace

TEST(SubPubKeyInfo, Rsa2048FromOpenSslDecodesAndReportsItsSize) {
    EVP_PKEY* pk = GenKey("RSA", nullptr, 2048);
    ASSERT_NE(nullptr, pk);
    std::vector<uint8_t> der = PubKeyDer(pk);
    SubPubKeyInfo s;
    ASSERT_EQ(static_cast<long>(der.size()), s.readVector(der));
    EXPECT_EQ(Hex(der), Encode(s));
    EXPECT_EQ(2048u, s.getKeySizeBits());
    EXPECT_EQ(256u, s.getKeySizeBytes());
    EXPECT_EQ(1, s.getKeyAlgorithmId());
    EXPECT_TRUE(s.isRsaKey());
    EXPECT_EQ(2048u, s.rsaKey.getModulusBits());
    EXPECT_EQ(1, s.detectKeyType());

    // Key identifier: SHA-1 of the key bits, as OpenSSL computes it.
    uint8_t ours[20], theirs[20];
    unsigned tl = 0;
    ASSERT_EQ(1, s.getKeyIdSha1(ours));
    X509_PUBKEY* xp = X509_PUBKEY_new();
    ASSERT_EQ(1, X509_PUBKEY_set(&xp, pk));
    const unsigned char* kb = nullptr;
    int kl = 0;
    ASSERT_EQ(1, X509_PUBKEY_get0_param(nullptr, &kb, &kl, nullptr, xp));
    SHA1(kb, static_cast<size_t>(kl), theirs);
    tl = 20;
    EXPECT_EQ(Hex(theirs, tl), Hex(ours, 20));
    uint8_t id64[8];
    ASSERT_EQ(1, s.getKeyId64(id64));
    EXPECT_EQ(0x40, id64[0] & 0xF0);
    EXPECT_EQ(theirs[12] & 0x0F, id64[0] & 0x0F);
    EXPECT_EQ(Hex(theirs + 13, 7), Hex(id64 + 1, 7));

    // The same key set from its components encodes identically.
    BIGNUM *n = nullptr, *e = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pk, "n", &n));
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pk, "e", &e));
    std::vector<uint8_t> nb(BN_num_bytes(n)), eb(BN_num_bytes(e));
    BN_bn2bin(n, nb.data());
    BN_bn2bin(e, eb.data());
    SubPubKeyInfo built;
    ASSERT_EQ(1, built.setRsaPublicKey(nb.data(), static_cast<long>(nb.size()), eb.data(),
                                       static_cast<long>(eb.size())));
    EXPECT_EQ(Hex(der), Encode(built));
    EXPECT_TRUE(built == s);
    SubPubKeyInfo copy;
    copy = s;
    EXPECT_EQ(2048u, copy.getKeySizeBits());
    BN_free(n);
    BN_free(e);
    X509_PUBKEY_free(xp);
    EVP_PKEY_free(pk);
}

TEST(SubPubKeyInfo, IdEaRsaWithIntegerParameterReportsThatSize) {
    SubPubKeyInfo s;
    // 2.5.8.1.1 with INTEGER 1024; key: modulus 0x00C5 (8 bits), exponent 3.
    const std::string der = "30 18 30 0A 06 04 55 08 01 01 02 02 04 00 03 0A 00 30 07 02 02 00 C5 02 01 03";
    ASSERT_EQ(26, Decode(s, der));
    EXPECT_EQ(1024u, s.getKeySizeBits());
    EXPECT_EQ(N(der), Encode(s));
}

TEST(SubPubKeyInfo, KeysThatAreNotWhatTheirAlgorithmSaysAreRefused) {
    SubPubKeyInfo s;
    // DSA without parameters.
    EXPECT_EQ(0, Decode(s, "30 0E 30 09 06 07 2A 86 48 CE 38 04 01 03 01 00"));
    // RSA whose bits are no RSAPublicKey.
    EXPECT_EQ(0, Decode(s, "30 13 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 02 00 05"));
    // EC without parameters.
    EXPECT_EQ(0, Decode(s, "30 0E 30 09 06 07 2A 86 48 CE 3D 02 01 03 02 00 04"));
}

TEST(SubPubKeyInfo, KeaKeyDecodesWithoutCacheAndCountsItsBits) {
    SubPubKeyInfo s;
    const std::string der =
        "30 24 30 17 06 09 60 86 48 01 65 02 01 01 16 04 0A 01 02 03 04 05 06 07 08 09 0A 03 09 00 11 22 33 44 55 66 77 "
        "88";
    ASSERT_EQ(38, Decode(s, der));
    EXPECT_EQ(201, s.getKeyAlgorithmId());
    EXPECT_EQ(64u, s.getKeySizeBits());
    EXPECT_EQ(201, s.detectKeyType());
    uint8_t id[8];
    ASSERT_EQ(1, s.getKeyId64(id));
    EXPECT_EQ(0x40, id[0] & 0xF0);
}

TEST(SubPubKeyInfo, EcP256FromOpenSsl) {
    EVP_PKEY* pk = GenKey("EC", "P-256", 0);
    ASSERT_NE(nullptr, pk);
    std::vector<uint8_t> der = PubKeyDer(pk);
    SubPubKeyInfo s;
    ASSERT_EQ(static_cast<long>(der.size()), s.readVector(der));
    EXPECT_EQ(Hex(der), Encode(s));
    EXPECT_TRUE(s.isEcKey());
    EXPECT_EQ(3, s.getKeyAlgorithmId());
    EXPECT_EQ(256u, s.getKeySizeBits());
    EXPECT_EQ(ECDomainParameters::kNamedCurve, s.ecParams.getType());
    EXPECT_EQ(256u, s.ecKey.getKeySizeBits());
    ASNoctstr point;
    ASSERT_EQ(1, s.getEcPoint(&point, nullptr));
    EXPECT_EQ(65, point.getLength());
    SubPubKeyInfo built;
    ASSERT_EQ(1, built.setEcPublicKey(point, &s.ecParams));
    EXPECT_EQ(Hex(der), Encode(built));
    EVP_PKEY_free(pk);
}

// Brainpool and characteristic-two curves, named or given by explicit parameters
// (trinomial and pentanomial bases): OpenSSL's ECDSA signatures verify, and a
// changed one does not.
TEST(SubPubKeyInfo, EcdsaOverBrainpoolAndBinaryCurvesFromOpenSslVerifies) {
    struct Case {
        const char* curve;
        unsigned fieldBits;
        bool explicitParams;
    };
    const Case cases[] = {{"brainpoolP256r1", 256, false}, {"brainpoolP384t1", 384, true},
                          {"sect233k1", 233, false},       {"sect283r1", 283, false},
                          {"sect163r2", 163, true},        {"sect233r1", 233, true}};
    const char msg[] = "podpisany tekst";
    for (const Case& c : cases) {
        EVP_PKEY* pk = GenKey("EC", c.curve, 0);
        ASSERT_NE(nullptr, pk) << c.curve;
        if (c.explicitParams) {
            ASSERT_EQ(1, EVP_PKEY_set_utf8_string_param(pk, "encoding", "explicit")) << c.curve;
        }
        std::vector<uint8_t> der = PubKeyDer(pk);
        SubPubKeyInfo s;
        ASSERT_EQ(static_cast<long>(der.size()), s.readVector(der)) << c.curve;
        EXPECT_EQ(c.explicitParams ? ECDomainParameters::kSpecified : ECDomainParameters::kNamedCurve,
                  s.ecParams.getType())
            << c.curve;
        EXPECT_EQ(c.fieldBits, s.ecParams.getFieldSizeBits()) << c.curve;
        EVP_MD_CTX* mc = EVP_MD_CTX_new();
        ASSERT_EQ(1, EVP_DigestSignInit(mc, nullptr, EVP_sha256(), nullptr, pk));
        size_t sl = 0;
        ASSERT_EQ(1, EVP_DigestSign(mc, nullptr, &sl, reinterpret_cast<const unsigned char*>(msg), sizeof msg));
        std::vector<uint8_t> sig(sl);
        ASSERT_EQ(1, EVP_DigestSign(mc, sig.data(), &sl, reinterpret_cast<const unsigned char*>(msg), sizeof msg));
        sig.resize(sl);
        EVP_MD_CTX_free(mc);
        AlgorithmIdentifier ecdsa;
        ecdsa.setEcdsaSignature(3);
        EXPECT_EQ(1, s.verifyData(ecdsa, reinterpret_cast<const uint8_t*>(msg), sizeof msg, sig.data(),
                                  static_cast<uint32_t>(sig.size())))
            << c.curve;
        const char other[] = "podpisany tekst!";
        EXPECT_EQ(0, s.verifyData(ecdsa, reinterpret_cast<const uint8_t*>(other), sizeof other, sig.data(),
                                  static_cast<uint32_t>(sig.size())))
            << c.curve;
        EVP_PKEY_free(pk);
    }
}

TEST(SubPubKeyInfo, VerificationRefusesKeysOfTheWrongFamilyAndUnknownAlgorithms) {
    EVP_PKEY* pk = GenKey("RSA", nullptr, 1024);
    ASSERT_NE(nullptr, pk);
    std::vector<uint8_t> der = PubKeyDer(pk);
    SubPubKeyInfo s;
    ASSERT_GT(s.readVector(der), 0);
    AlgorithmIdentifier ecdsa, unknown;
    ecdsa.setEcdsaSignature(3);
    unknown.setOidText("1.2.3.4", nullptr);
    uint8_t d[32] = {0}, sig[8] = {0};
    EXPECT_EQ(-3, s.verifyDigest(ecdsa, d, 32, sig, 8));
    EXPECT_EQ(-4, s.verifyDigest(unknown, d, 32, sig, 8));
    EXPECT_EQ(-4, s.verifyData(unknown, d, 32, sig, 8));

    // A real RSA signature verifies; a changed one does not.
    const char msg[] = "podpisany tekst";
    EVP_MD_CTX* mc = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestSignInit(mc, nullptr, EVP_sha256(), nullptr, pk));
    size_t sl = 0;
    ASSERT_EQ(1, EVP_DigestSign(mc, nullptr, &sl, reinterpret_cast<const unsigned char*>(msg), sizeof msg));
    std::vector<uint8_t> rs(sl);
    ASSERT_EQ(1, EVP_DigestSign(mc, rs.data(), &sl, reinterpret_cast<const unsigned char*>(msg), sizeof msg));
    AlgorithmIdentifier rsa;
    rsa.setRsaSignature(3);
    EXPECT_EQ(1, s.verifyData(rsa, reinterpret_cast<const uint8_t*>(msg), sizeof msg, rs.data(),
                              static_cast<uint32_t>(sl)));
    rs[5] ^= 1;
    EXPECT_EQ(0, s.verifyData(rsa, reinterpret_cast<const uint8_t*>(msg), sizeof msg, rs.data(),
                              static_cast<uint32_t>(sl)));
    // The wrong hash for the signature.
    rs[5] ^= 1;
    rsa.setRsaSignature(1);
    EXPECT_EQ(0, s.verifyData(rsa, reinterpret_cast<const uint8_t*>(msg), sizeof msg, rs.data(),
                              static_cast<uint32_t>(sl)));
    // A PKCS #1 v1.5 signature is no RSASSA-PSS signature; a PSS variant with another
    // mask-generation function is unsupported.
    AlgorithmIdentifier pss;
    RsaPssParams pp;
    pp.set(3, 0, 3, 32, 1);
    pss.set(algoid::rsassaPss(), &pp);
    EXPECT_EQ(0, s.verifyData(pss, reinterpret_cast<const uint8_t*>(msg), sizeof msg, rs.data(),
                              static_cast<uint32_t>(sl)));
    pp.maskGenAlgorithm.value.algorithm = ASNobjectId("1.2.3.4");
    pss.set(algoid::rsassaPss(), &pp);
    EXPECT_EQ(-4, s.verifyData(pss, reinterpret_cast<const uint8_t*>(msg), sizeof msg, rs.data(),
                               static_cast<uint32_t>(sl)));
    EVP_MD_CTX_free(mc);
    EVP_PKEY_free(pk);
}

TEST(SubPubKeyInfo, SetKeyTakesBitStringsAsTheyAre) {
    ECPublicKey pt;
    const uint8_t point[] = {0x04, 1, 2, 3, 4};
    ASSERT_EQ(1, pt.set(point, sizeof point, 0));
    SubPubKeyInfo s;
    ASNobjectId curve("1.2.840.10045.3.1.7");
    ASSERT_EQ(1, s.setKey(3, pt, &curve));
    std::vector<uint8_t> enc;
    ASSERT_GT(s.encodeToVector(enc), 0);
    EXPECT_EQ(N("30 1D 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 86 48 CE 3D 03 01 07 03 06 00 04 01 02 03 04"),
              Hex(enc));
    EXPECT_EQ(0, s.setKey(77, pt, nullptr));
}

TEST(SubPubKeyInfo, KeysBeyondAnyRealSizeAreRefusedBeforeArithmetic) {
    // A 20000-bit odd modulus: verification reports a key failure at once.
    std::vector<uint8_t> n(2500, 0xFF), e = {0x01, 0x00, 0x01};
    SubPubKeyInfo s;
    ASSERT_EQ(1, s.setRsaPublicKey(n.data(), static_cast<long>(n.size()), e.data(), 3));
    EXPECT_EQ(20000u, s.getKeySizeBits());
    AlgorithmIdentifier a;
    a.setRsaSignature(3);
    std::vector<uint8_t> sig(2500, 0x01);
    const uint8_t msg[] = "x";
    EXPECT_EQ(-1, s.verifyData(a, msg, 1, sig.data(), static_cast<uint32_t>(sig.size())));
    // An even modulus is no key either.
    n.resize(256);
    n.back() = 0xFE;
    ASSERT_EQ(1, s.setRsaPublicKey(n.data(), static_cast<long>(n.size()), e.data(), 3));
    EXPECT_EQ(-1, s.verifyData(a, msg, 1, sig.data(), 256));
}

TEST(SubPubKeyInfo, DsaKeyFromOpenSslAndBuiltFromItsParts) {
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    ASSERT_NE(nullptr, pc);
    ASSERT_EQ(1, EVP_PKEY_paramgen_init(pc));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_dsa_paramgen_bits(pc, 1024));
    EVP_PKEY* params = nullptr;
    ASSERT_EQ(1, EVP_PKEY_paramgen(pc, &params));
    EVP_PKEY_CTX* kc = EVP_PKEY_CTX_new(params, nullptr);
    ASSERT_EQ(1, EVP_PKEY_keygen_init(kc));
    EVP_PKEY* pk = nullptr;
    ASSERT_EQ(1, EVP_PKEY_keygen(kc, &pk));
    std::vector<uint8_t> der = PubKeyDer(pk);
    SubPubKeyInfo s;
    ASSERT_EQ(static_cast<long>(der.size()), s.readVector(der));
    EXPECT_EQ(Hex(der), Encode(s));
    EXPECT_TRUE(s.isDsaKey());
    EXPECT_EQ(2, s.detectKeyType());
    EXPECT_EQ(1024u, s.getKeySizeBits());
    EXPECT_EQ(1024u, s.dsaParams.getPBits());

    // Rebuilt from y and the parameters.
    SubPubKeyInfo built;
    ASSERT_EQ(1, built.setDsaPublicKey(s.dsaKey, s.dsaParams));
    EXPECT_EQ(Hex(der), Encode(built));
    // The parameters as X9.42 domain parameters keep p, q and g.
    X942DomainParameters x;
    ASSERT_EQ(1, x.setFromDsaParameters(s.dsaParams, false));
    EXPECT_EQ(1024, x.getPBits());
    BIGNUM* q = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pk, "q", &q));
    EXPECT_EQ(8 * BN_num_bytes(q), x.getQBits());
    BN_free(q);
    DSAParameters back;
    x.copyToDsaParameters(back);
    EXPECT_EQ(Encode(s.dsaParams), Encode(back));
    // The same y with X9.42 parameters is a Diffie-Hellman key of that size.
    SubPubKeyInfo dh;
    ASSERT_EQ(1, dh.setKey(102, s.dsaKey, &x));
    EXPECT_EQ(102, dh.getKeyAlgorithmId());
    EXPECT_EQ(1024u, dh.getKeySizeBits());
    // KEA: the parameter identifier from the domain's SHA-1.
    SubPubKeyInfo kea;
    ASSERT_EQ(1, kea.setKeaPublicKeyFromDomain(s.dsaKey, x));
    EXPECT_EQ(201, kea.getKeyAlgorithmId());
    EXPECT_EQ(10, kea.algorithm.parameters.getLength());
    std::vector<uint8_t> xd;
    ASSERT_GT(x.encodeToVector(xd), 0);
    unsigned char sha[20];
    SHA1(xd.data(), xd.size(), sha);
    for (int i = 0; i < 10; i++) EXPECT_EQ(sha[i] ^ sha[i + 10], kea.algorithm.parameters.getData()[i]);
    EVP_PKEY_free(pk);
    EVP_PKEY_free(params);
    EVP_PKEY_CTX_free(kc);
    EVP_PKEY_CTX_free(pc);
}
