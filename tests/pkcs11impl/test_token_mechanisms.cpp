// The token's mechanism helpers: digests, key types, generators and the
// key-pair template check.
#include <gtest/gtest.h>

#include "pkcs11impl/pkcs15token.h"

namespace {
constexpr CK_ULONG kNone = ~static_cast<CK_ULONG>(0);
}  // namespace

TEST(TokenMechanisms, DigestOfSignatureHmacAndDerivationMechanisms) {
  EXPECT_EQ(CKM_MD2, GetDigestMechanism(CKM_MD2_RSA_PKCS, nullptr, 0));
  EXPECT_EQ(CKM_MD2, GetDigestMechanism(CKM_PBE_MD2_DES_CBC, nullptr, 0));
  EXPECT_EQ(CKM_MD5, GetDigestMechanism(CKM_MD5_HMAC_GENERAL, nullptr, 0));
  EXPECT_EQ(CKM_MD5, GetDigestMechanism(CKM_SSL3_MD5_MAC, nullptr, 0));
  EXPECT_EQ(CKM_MD5, GetDigestMechanism(CKM_PBE_MD5_CAST128_CBC, nullptr, 0));
  EXPECT_EQ(CKM_SHA_1, GetDigestMechanism(CKM_SHA1_RSA_PKCS, nullptr, 0));
  EXPECT_EQ(CKM_SHA_1, GetDigestMechanism(CKM_ECDSA_SHA1, nullptr, 0));
  EXPECT_EQ(CKM_SHA_1, GetDigestMechanism(CKM_DSA_SHA1, nullptr, 0));
  EXPECT_EQ(CKM_SHA_1, GetDigestMechanism(CKM_PBE_SHA1_RC2_40_CBC, nullptr, 0));
  EXPECT_EQ(CKM_RIPEMD160, GetDigestMechanism(CKM_RIPEMD160_RSA_PKCS, nullptr, 0));
  EXPECT_EQ(CKM_SHA256, GetDigestMechanism(CKM_SHA256_RSA_PKCS_PSS, nullptr, 0));
  EXPECT_EQ(CKM_SHA384, GetDigestMechanism(CKM_SHA384_KEY_DERIVATION, nullptr, 0));
  EXPECT_EQ(CKM_SHA512, GetDigestMechanism(CKM_SHA512_HMAC, nullptr, 0));
  EXPECT_EQ(CKM_FASTHASH, GetDigestMechanism(CKM_FASTHASH, nullptr, 0));
  // Mechanisms without a digest of their own.
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_RSA_PKCS, nullptr, 0));
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_AES_CBC, nullptr, 0));
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_DSA_SHA256, nullptr, 0));
}

TEST(TokenMechanisms, OaepAndPssTakeTheDigestOfTheirParameters) {
  CK_RSA_PKCS_OAEP_PARAMS oaep = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
  EXPECT_EQ(CKM_SHA256, GetDigestMechanism(CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep));
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep - 8));
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_RSA_PKCS_OAEP, nullptr, sizeof oaep));
  CK_RSA_PKCS_PSS_PARAMS pss = {CKM_SHA_1, CKG_MGF1_SHA1, 20};
  EXPECT_EQ(CKM_SHA_1, GetDigestMechanism(CKM_RSA_PKCS_PSS, &pss, sizeof pss));
  EXPECT_EQ(kNone, GetDigestMechanism(CKM_RSA_PKCS_PSS, &oaep, sizeof oaep));
}

TEST(TokenMechanisms, KeyTypeByMechanismRange) {
  EXPECT_EQ(CKK_RSA, GetKeyTypeForMechanism(CKM_RSA_PKCS_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_RSA, GetKeyTypeForMechanism(CKM_RSA_X9_31_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_RSA, GetKeyTypeForMechanism(CKM_SHA512_RSA_PKCS_PSS));
  EXPECT_EQ(CKK_DSA, GetKeyTypeForMechanism(CKM_DSA_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_DH, GetKeyTypeForMechanism(CKM_DH_PKCS_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_X9_42_DH, GetKeyTypeForMechanism(CKM_X9_42_DH_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_KEA, GetKeyTypeForMechanism(CKM_KEA_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_EC, GetKeyTypeForMechanism(CKM_EC_KEY_PAIR_GEN));
  EXPECT_EQ(CKK_EC, GetKeyTypeForMechanism(CKM_ECDH1_DERIVE));
  EXPECT_EQ(CKK_DES3, GetKeyTypeForMechanism(CKM_DES3_CBC_PAD));
  EXPECT_EQ(CKK_DES2, GetKeyTypeForMechanism(CKM_PBE_SHA1_DES2_EDE_CBC));
  EXPECT_EQ(CKK_AES, GetKeyTypeForMechanism(CKM_AES_KEY_GEN));
  EXPECT_EQ(CKK_TWOFISH, GetKeyTypeForMechanism(0x1093));
  EXPECT_EQ(kNone, GetKeyTypeForMechanism(CKM_SHA_1));
  EXPECT_EQ(kNone, GetKeyTypeForMechanism(CKM_DSA_SHA224));
}

TEST(TokenMechanisms, GeneratorsTellPairsFromSecretKeys) {
  bool pair = false;
  EXPECT_TRUE(IsKeyGenerationMechanism(CKM_RSA_PKCS_KEY_PAIR_GEN, &pair));
  EXPECT_TRUE(pair);
  EXPECT_TRUE(IsKeyGenerationMechanism(CKM_EC_KEY_PAIR_GEN, &pair));
  EXPECT_TRUE(pair);
  EXPECT_TRUE(IsKeyGenerationMechanism(CKM_AES_KEY_GEN, &pair));
  EXPECT_FALSE(pair);
  EXPECT_TRUE(IsKeyGenerationMechanism(0x2002, &pair));
  EXPECT_FALSE(pair);
  pair = true;
  EXPECT_FALSE(IsKeyGenerationMechanism(CKM_RSA_PKCS, &pair));
  EXPECT_TRUE(pair);  // untouched
  EXPECT_TRUE(IsKeyGenerationMechanism(CKM_DES_KEY_GEN, nullptr));
}

TEST(TokenMechanisms, KeyPairTemplatesNeedAPairGeneratorOfAKnownKeyType) {
  CK_ULONG bits = 2048;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_VERIFY, &yes, sizeof yes}};
  CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes}};
  EXPECT_EQ(CKR_OK, CheckKeyPairTemplates(CKM_RSA_PKCS_KEY_PAIR_GEN, prv, 2, pub, 2));
  EXPECT_EQ(CKR_MECHANISM_INVALID, CheckKeyPairTemplates(CKM_AES_KEY_GEN, prv, 2, pub, 2));
  EXPECT_EQ(CKR_MECHANISM_INVALID, CheckKeyPairTemplates(CKM_KEA_KEY_PAIR_GEN, prv, 2, pub, 2));
  EXPECT_EQ(CKR_MECHANISM_INVALID, CheckKeyPairTemplates(CKM_RSA_PKCS, prv, 2, pub, 2));
  // A modulus in a generation template is the card's to choose.
  CK_BYTE modulus[4] = {1, 2, 3, 4};
  CK_ATTRIBUTE badPub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_MODULUS, modulus, sizeof modulus}};
  EXPECT_NE(CKR_OK, CheckKeyPairTemplates(CKM_RSA_PKCS_KEY_PAIR_GEN, prv, 2, badPub, 2));
}
