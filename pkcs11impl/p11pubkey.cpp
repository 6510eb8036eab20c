// Public-key objects.
#include "pkcs11impl/p11pubkey.h"

#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

constexpr CK_ULONG kAll = ~0UL;

const Pkcs11AttributeDef kPublicDefs[] = {
    {CKA_SUBJECT, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_ENCRYPT, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_VERIFY, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_VERIFY_RECOVER, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_WRAP, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_TRUSTED, P11Kind::Bool, 523, kAll, CK_FALSE, 0},
    {CKA_WRAP_TEMPLATE, P11Kind::Bytes, 532, kAll, 0, 0},
};

const Pkcs11AttributeDef kRsaDefs[] = {
    {CKA_MODULUS_BITS, P11Kind::Ulong, 0, kAll, 0, 0},
    {CKA_MODULUS, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_PUBLIC_EXPONENT, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kDhDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kDsaDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kEcDefs[] = {
    {CKA_EC_PARAMS, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_EC_POINT, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kX942Defs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, 0},
};

const CK_ATTRIBUTE_TYPE kRsaReadOnly[] = {CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT};
const CK_ATTRIBUTE_TYPE kRsaCreate[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT};
const CK_ATTRIBUTE_TYPE kModulusBits[] = {CKA_MODULUS_BITS};
const CK_ATTRIBUTE_TYPE kModulus[] = {CKA_MODULUS};
const CK_ATTRIBUTE_TYPE kPgv[] = {CKA_PRIME, CKA_BASE, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kPg[] = {CKA_PRIME, CKA_BASE};
const CK_ATTRIBUTE_TYPE kValue[] = {CKA_VALUE};
const CK_ATTRIBUTE_TYPE kPqgv[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kPqg[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE};
const CK_ATTRIBUTE_TYPE kEcBoth[] = {CKA_EC_PARAMS, CKA_EC_POINT};
const CK_ATTRIBUTE_TYPE kEcParams[] = {CKA_EC_PARAMS};
const CK_ATTRIBUTE_TYPE kEcPoint[] = {CKA_EC_POINT};

#define P11_LIST(a) a, P11_COUNT(a)
#define P11_NONE nullptr, 0

const P11KeyAlgorithm kAlgorithms[] = {
    {CKK_RSA, P11_LIST(kRsaDefs), P11_LIST(kRsaReadOnly), P11_LIST(kRsaCreate), P11_LIST(kModulusBits),
     P11_LIST(kModulusBits), P11_LIST(kModulus), 0, 0},
    {CKK_DH, P11_LIST(kDhDefs), P11_LIST(kPgv), P11_LIST(kPgv), P11_NONE, P11_LIST(kPg), P11_LIST(kValue), 0, 0},
    {CKK_DSA, P11_LIST(kDsaDefs), P11_LIST(kPqgv), P11_LIST(kPqgv), P11_NONE, P11_LIST(kPqg), P11_LIST(kValue), 0, 0},
    {CKK_EC, P11_LIST(kEcDefs), P11_LIST(kEcBoth), P11_LIST(kEcBoth), P11_NONE, P11_LIST(kEcParams),
     P11_LIST(kEcPoint), CKR_TEMPLATE_INCOMPLETE, 0},
    {CKK_X9_42_DH, P11_LIST(kX942Defs), P11_LIST(kPqgv), P11_LIST(kPqgv), P11_NONE, P11_LIST(kPqg), P11_LIST(kValue),
     0, P11_VERSION_2_11},
};
enum { kRsa, kDh, kDsa, kEc, kX942 };

CK_RV PublicRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_TRUSTED, CKA_WRAP_TEMPLATE};
  CK_RV rv = P11KeyRules(tmpl, count, mode, version);
  if (rv == CKR_OK && mode == P11_MODE_MODIFY)
    rv = P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
  return rv;
}

// Generation needs a well-formed modulus size.
CK_RV RsaModulusBits(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG) {
  if (mode != P11_MODE_GENERATE) return CKR_OK;
  CK_ULONG bits = 0;
  CK_RV rv = GetTemplateUlong(tmpl, count, CKA_MODULUS_BITS, &bits);
  return rv == CKR_ATTRIBUTE_NOT_FOUND ? CKR_TEMPLATE_INCOMPLETE : rv;
}

template <int K>
bool KnownIn(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kAlgorithms[K].defs, kAlgorithms[K].defCount, type, version) ||
         CPkcs11ObjectPublicKey::IsPublicKeyAttribute(type, version);
}

template <int K>
CK_RV ValidateAlgorithm(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType, CK_ULONG version) {
  return P11ValidateKeyAlgorithm(kAlgorithms[K], CKO_PUBLIC_KEY, KnownIn<K>, PublicRules,
                                 K == kRsa ? RsaModulusBits : nullptr, tmpl, count, mode, keyType, version);
}

}  // namespace

// ---- classes ----

CPkcs11ObjectPublicKey::CPkcs11ObjectPublicKey(CK_KEY_TYPE keyType) : CPkcs11ObjectPublicKey(keyType, nullptr) {}

CPkcs11ObjectPublicKey::CPkcs11ObjectPublicKey(CK_KEY_TYPE keyType, const P11KeyAlgorithm* algorithm)
    : CPkcs11ObjectKey(CKO_PUBLIC_KEY, keyType),
      m_algorithmInfo(algorithm),
      m_public(kPublicDefs, P11_COUNT(kPublicDefs)),
      m_algorithm(algorithm != nullptr ? algorithm->defs : nullptr, algorithm != nullptr ? algorithm->defCount : 0) {
  AddLevel(&m_public);
  AddLevel(&m_algorithm);
}

CPkcs11ObjectPublicKey::~CPkcs11ObjectPublicKey() = default;

void CPkcs11ObjectPublicKey::ResetToDefaults() {
  CPkcs11ObjectKey::ResetToDefaults();
  m_public.Reset();
  m_algorithm.Reset();
  if (m_algorithmInfo != nullptr) SetKeyTypeMember(m_algorithmInfo->keyType);
}

CPkcs11Object* CPkcs11ObjectPublicKey::CreateEmptyLike() const { return new CPkcs11ObjectPublicKey(GetSubtype()); }

bool CPkcs11ObjectPublicKey::IsPublicKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kPublicDefs, P11_COUNT(kPublicDefs), type, version) || IsKeyAttribute(type, version);
}

CK_RV CPkcs11ObjectPublicKey::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidatePublicKeyTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

CPkcs11ObjectRsaPublicKey::CPkcs11ObjectRsaPublicKey() : CPkcs11ObjectPublicKey(CKK_RSA, &kAlgorithms[kRsa]) {}
CPkcs11ObjectDhPublicKey::CPkcs11ObjectDhPublicKey() : CPkcs11ObjectPublicKey(CKK_DH, &kAlgorithms[kDh]) {}
CPkcs11ObjectDsaPublicKey::CPkcs11ObjectDsaPublicKey() : CPkcs11ObjectPublicKey(CKK_DSA, &kAlgorithms[kDsa]) {}
CPkcs11ObjectEcPublicKey::CPkcs11ObjectEcPublicKey() : CPkcs11ObjectPublicKey(CKK_EC, &kAlgorithms[kEc]) {}
CPkcs11ObjectX942DhPublicKey::CPkcs11ObjectX942DhPublicKey()
    : CPkcs11ObjectPublicKey(CKK_X9_42_DH, &kAlgorithms[kX942]) {}

CPkcs11Object* CPkcs11ObjectDsaPublicKey::CreateEmptyLike() const {
  CPkcs11ObjectDsaPublicKey* k = new CPkcs11ObjectDsaPublicKey();
  k->SetKeyTypeMember(GetSubtype());  // KEA keys stay KEA keys
  return k;
}

// ---- validators ----

CK_RV ValidateRsaPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return ValidateAlgorithm<kRsa>(t, n, m, k, v);
}
CK_RV ValidateDhPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return ValidateAlgorithm<kDh>(t, n, m, k, v);
}
CK_RV ValidateDsaPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return ValidateAlgorithm<kDsa>(t, n, m, k, v);
}
CK_RV ValidateEcPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return ValidateAlgorithm<kEc>(t, n, m, k, v);
}
CK_RV ValidateX942DhPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return ValidateAlgorithm<kX942>(t, n, m, k, v);
}

CK_RV ValidatePublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                CK_ULONG version) {
  static const P11KeyTypeRoute kRoutes[] = {
      {CKK_RSA, ValidateRsaPublicKeyTemplate, CKK_RSA},
      {CKK_DSA, ValidateDsaPublicKeyTemplate, CKK_DSA},
      {CKK_KEA, ValidateDsaPublicKeyTemplate, CKK_DSA},
      {CKK_DH, ValidateDhPublicKeyTemplate, CKK_DH},
      {CKK_EC, ValidateEcPublicKeyTemplate, CKK_EC},
      {CKK_X9_42_DH, ValidateX942DhPublicKeyTemplate, CKK_X9_42_DH},
  };
  static const P11KeyTypeLevel kLevel = {CKO_PUBLIC_KEY, CPkcs11ObjectPublicKey::IsPublicKeyAttribute, PublicRules,
                                         kRoutes, P11_COUNT(kRoutes)};
  return P11ValidateByKeyType(kLevel, tmpl, count, mode, keyType, version);
}

// ---- creator ----

CK_RV CreatePublicKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  static const P11NewKeyFn kNewKey[5] = {
      P11NewKey<CPkcs11ObjectRsaPublicKey>, P11NewKey<CPkcs11ObjectDsaPublicKey>, P11NewKey<CPkcs11ObjectDhPublicKey>,
      P11NewKey<CPkcs11ObjectEcPublicKey>, P11NewKey<CPkcs11ObjectX942DhPublicKey>};
  return P11CreateAsymmetricKey(tmpl, count, object, version, ValidatePublicKeyTemplate, kNewKey);
}
