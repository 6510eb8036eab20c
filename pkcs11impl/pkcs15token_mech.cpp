// Mechanism helpers of the token: the digest of a mechanism, the key type it
// works on, whether it generates keys, and the key-pair template check.
#include <cstring>

#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11validate.h"
#include "pkcs11impl/pkcs15token.h"

namespace {

constexpr CK_ULONG kNone = ~static_cast<CK_ULONG>(0);

struct MechanismRange {
  CK_MECHANISM_TYPE first;
  CK_MECHANISM_TYPE last;
  CK_ULONG value;
};

CK_ULONG FindInRanges(const MechanismRange* ranges, size_t count, CK_MECHANISM_TYPE m) {
  for (size_t i = 0; i < count; ++i)
    if (m >= ranges[i].first && m <= ranges[i].last) return ranges[i].value;
  return kNone;
}

// Each digest with its signature mechanisms, its HMAC family and its derivations.
const MechanismRange kDigests[] = {
    {CKM_MD2_RSA_PKCS, CKM_MD2_RSA_PKCS, CKM_MD2},
    {CKM_MD2, CKM_MD2_HMAC_GENERAL, CKM_MD2},
    {CKM_MD2_KEY_DERIVATION, CKM_MD2_KEY_DERIVATION, CKM_MD2},
    {CKM_PBE_MD2_DES_CBC, CKM_PBE_MD2_DES_CBC, CKM_MD2},
    {CKM_MD5_RSA_PKCS, CKM_MD5_RSA_PKCS, CKM_MD5},
    {CKM_MD5, CKM_MD5_HMAC_GENERAL, CKM_MD5},
    {CKM_SSL3_MD5_MAC, CKM_SSL3_MD5_MAC, CKM_MD5},
    {CKM_MD5_KEY_DERIVATION, CKM_MD5_KEY_DERIVATION, CKM_MD5},
    {CKM_PBE_MD5_DES_CBC, CKM_PBE_MD5_CAST128_CBC, CKM_MD5},
    {CKM_SHA1_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA_1},
    {CKM_SHA1_RSA_X9_31, CKM_SHA1_RSA_X9_31, CKM_SHA_1},
    {CKM_SHA1_RSA_PKCS_PSS, CKM_SHA1_RSA_PKCS_PSS, CKM_SHA_1},
    {CKM_DSA_SHA1, CKM_DSA_SHA1, CKM_SHA_1},
    {CKM_ECDSA_SHA1, CKM_ECDSA_SHA1, CKM_SHA_1},
    {CKM_SHA_1, CKM_SHA_1_HMAC_GENERAL, CKM_SHA_1},
    {CKM_SSL3_SHA1_MAC, CKM_SSL3_SHA1_MAC, CKM_SHA_1},
    {CKM_SHA1_KEY_DERIVATION, CKM_SHA1_KEY_DERIVATION, CKM_SHA_1},
    {CKM_PBE_SHA1_CAST128_CBC, CKM_PBE_SHA1_RC2_40_CBC, CKM_SHA_1},
    {CKM_RIPEMD128_RSA_PKCS, CKM_RIPEMD128_RSA_PKCS, CKM_RIPEMD128},
    {CKM_RIPEMD128, CKM_RIPEMD128_HMAC_GENERAL, CKM_RIPEMD128},
    {CKM_RIPEMD160_RSA_PKCS, CKM_RIPEMD160_RSA_PKCS, CKM_RIPEMD160},
    {CKM_RIPEMD160, CKM_RIPEMD160_HMAC_GENERAL, CKM_RIPEMD160},
    {CKM_SHA256_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA256},
    {CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256},
    {CKM_SHA256, CKM_SHA256_HMAC_GENERAL, CKM_SHA256},
    {CKM_SHA256_KEY_DERIVATION, CKM_SHA256_KEY_DERIVATION, CKM_SHA256},
    {CKM_SHA384_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA384},
    {CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384},
    {CKM_SHA384, CKM_SHA384_HMAC_GENERAL, CKM_SHA384},
    {CKM_SHA384_KEY_DERIVATION, CKM_SHA384_KEY_DERIVATION, CKM_SHA384},
    {CKM_SHA512_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_SHA512},
    {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512},
    {CKM_SHA512, CKM_SHA512_HMAC_GENERAL, CKM_SHA512},
    {CKM_SHA512_KEY_DERIVATION, CKM_SHA512_KEY_DERIVATION, CKM_SHA512},
    {CKM_FASTHASH, CKM_FASTHASH, CKM_FASTHASH},
};

// Mechanism numbers of PKCS#11 2.20 by the key type they work on.
const MechanismRange kKeyTypes[] = {
    {0x0, 0xE, CKK_RSA},           {0x40, 0x45, CKK_RSA},          {0x401, 0x401, CKK_RSA},
    {0x10, 0x12, CKK_DSA},         {0x2000, 0x2000, CKK_DSA},      {0x20, 0x21, CKK_DH},
    {0x2001, 0x2001, CKK_DH},      {0x30, 0x33, CKK_X9_42_DH},     {0x1010, 0x1011, CKK_KEA},
    {0x1040, 0x1042, CKK_EC},      {0x1050, 0x1052, CKK_EC},       {0x350, 0x350, CKK_GENERIC_SECRET},
    {0x100, 0x105, CKK_RC2},       {0x3AA, 0x3AB, CKK_RC2},        {0x110, 0x111, CKK_RC4},
    {0x3A6, 0x3A7, CKK_RC4},       {0x120, 0x125, CKK_DES},        {0x3A0, 0x3A1, CKK_DES},
    {0x400, 0x400, CKK_DES},       {0x1100, 0x1101, CKK_DES},      {0x130, 0x130, CKK_DES2},
    {0x3A9, 0x3A9, CKK_DES2},      {0x131, 0x136, CKK_DES3},       {0x3A8, 0x3A8, CKK_DES3},
    {0x1102, 0x1103, CKK_DES3},    {0x300, 0x305, CKK_CAST},       {0x3A2, 0x3A2, CKK_CAST},
    {0x310, 0x315, CKK_CAST3},     {0x3A3, 0x3A3, CKK_CAST3},      {0x320, 0x325, CKK_CAST128},
    {0x3A4, 0x3A5, CKK_CAST128},   {0x330, 0x335, CKK_RC5},        {0x340, 0x345, CKK_IDEA},
    {0x1000, 0x100A, CKK_SKIPJACK}, {0x1030, 0x1036, CKK_BATON},   {0x1060, 0x1065, CKK_JUNIPER},
    {0x140, 0x145, CKK_CDMF},      {0x1080, 0x1085, CKK_AES},      {0x1104, 0x1105, CKK_AES},
    {0x1090, 0x1091, CKK_BLOWFISH}, {0x1092, 0x1093, CKK_TWOFISH},
};

const CK_MECHANISM_TYPE kPairGenerators[] = {0x0, 0xA, 0x10, 0x20, 0x30, 0x1010, 0x1040};
const CK_MECHANISM_TYPE kKeyGenerators[] = {0x100, 0x110, 0x120, 0x130, 0x131, 0x140, 0x300, 0x310,
                                            0x320, 0x330, 0x340, 0x350, 0x370, 0x374, 0x3D0, 0x1000,
                                            0x1030, 0x1060, 0x1080, 0x1090, 0x1092, 0x2000, 0x2001, 0x2002};

template <size_t N>
bool Contains(const CK_MECHANISM_TYPE (&list)[N], CK_MECHANISM_TYPE m) {
  for (CK_MECHANISM_TYPE x : list)
    if (x == m) return true;
  return false;
}

}  // namespace

CK_MECHANISM_TYPE GetDigestMechanism(CK_MECHANISM_TYPE mechanism, const void* params, CK_ULONG paramsLen) {
  if (mechanism == CKM_RSA_PKCS_OAEP) {
    if (params == nullptr || paramsLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS)) return kNone;
    CK_RSA_PKCS_OAEP_PARAMS p;
    std::memcpy(&p, params, sizeof p);
    return p.hashAlg;
  }
  if (mechanism == CKM_RSA_PKCS_PSS) {
    if (params == nullptr || paramsLen != sizeof(CK_RSA_PKCS_PSS_PARAMS)) return kNone;
    CK_RSA_PKCS_PSS_PARAMS p;
    std::memcpy(&p, params, sizeof p);
    return p.hashAlg;
  }
  return FindInRanges(kDigests, sizeof kDigests / sizeof kDigests[0], mechanism);
}

CK_KEY_TYPE GetKeyTypeForMechanism(CK_MECHANISM_TYPE mechanism) {
  return FindInRanges(kKeyTypes, sizeof kKeyTypes / sizeof kKeyTypes[0], mechanism);
}

bool IsKeyGenerationMechanism(CK_MECHANISM_TYPE mechanism, bool* isPair) {
  bool pair;
  if (Contains(kPairGenerators, mechanism))
    pair = true;
  else if (Contains(kKeyGenerators, mechanism))
    pair = false;
  else
    return false;
  if (isPair != nullptr) *isPair = pair;
  return true;
}

CK_RV CheckKeyPairTemplates(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* prvTmpl, CK_ULONG prvCount,
                            const CK_ATTRIBUTE* pubTmpl, CK_ULONG pubCount) {
  bool pair = false;
  if (!IsKeyGenerationMechanism(mechanism, &pair) || !pair) return CKR_MECHANISM_INVALID;
  const CK_KEY_TYPE type = GetKeyTypeForMechanism(mechanism);
  if (type != CKK_RSA && type != CKK_DSA && type != CKK_DH && type != CKK_EC) return CKR_MECHANISM_INVALID;
  CK_RV rv = ValidatePrivateKeyTemplate(prvTmpl, prvCount, P11_MODE_GENERATE, type, 0);
  if (rv != CKR_OK) return rv;
  return ValidatePublicKeyTemplate(pubTmpl, pubCount, P11_MODE_GENERATE, type, 0);
}
