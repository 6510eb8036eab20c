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

// Generation needs a well-formed modulus size.
CK_RV RsaModulusBits(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG) {
  if (mode != P11_MODE_GENERATE) return CKR_OK;
  CK_ULONG bits = 0;
  CK_RV rv = GetTemplateUlong(tmpl, count, CKA_MODULUS_BITS, &bits);
  return rv == CKR_ATTRIBUTE_NOT_FOUND ? CKR_TEMPLATE_INCOMPLETE : rv;
}

// The algorithm classes, indexed by key type.
const P11KeyAlgorithm kAlgorithms[] = {
    {CKK_RSA, ValidateRsaPublicKeyTemplate, P11NewKey<CPkcs11ObjectRsaPublicKey>, P11_LIST(kRsaDefs),
     {P11_LIST(kRsaReadOnly), P11_LIST(kRsaCreate), P11_LIST(kModulusBits), P11_LIST(kModulusBits),
      P11_LIST(kModulus), 0, 0, RsaModulusBits}},
    {CKK_DSA, ValidateDsaPublicKeyTemplate, P11NewKey<CPkcs11ObjectDsaPublicKey>, P11_LIST(kDsaDefs),
     {P11_LIST(kPqgv), P11_LIST(kPqgv), P11_NONE, P11_LIST(kPqg), P11_LIST(kValue)}},
    {CKK_DH, ValidateDhPublicKeyTemplate, P11NewKey<CPkcs11ObjectDhPublicKey>, P11_LIST(kDhDefs),
     {P11_LIST(kPgv), P11_LIST(kPgv), P11_NONE, P11_LIST(kPg), P11_LIST(kValue)}},
    {CKK_EC, ValidateEcPublicKeyTemplate, P11NewKey<CPkcs11ObjectEcPublicKey>, P11_LIST(kEcDefs),
     {P11_LIST(kEcBoth), P11_LIST(kEcBoth), P11_NONE, P11_LIST(kEcParams), P11_LIST(kEcPoint),
      CKR_TEMPLATE_INCOMPLETE}},
    {CKK_X9_42_DH, ValidateX942DhPublicKeyTemplate, P11NewKey<CPkcs11ObjectX942DhPublicKey>, P11_LIST(kX942Defs),
     {P11_LIST(kPqgv), P11_LIST(kPqgv), P11_NONE, P11_LIST(kPqg), P11_LIST(kValue), 0, P11_VERSION_2_11}},
};
static_assert(P11_COUNT(kAlgorithms) == P11_ALGORITHM_CLASSES, "one algorithm class per key type");

CK_RV PublicRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_TRUSTED, CKA_WRAP_TEMPLATE};
  CK_RV rv = P11KeyRules(tmpl, count, mode, version);
  if (rv == CKR_OK && mode == P11_MODE_MODIFY)
    rv = P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
  return rv;
}

const P11AsymmetricLevel kLevel = {CKO_PUBLIC_KEY, CPkcs11ObjectPublicKey::IsPublicKeyAttribute, PublicRules,
                                   kAlgorithms};

}  // namespace

// ---- classes ----

CPkcs11ObjectPublicKey::CPkcs11ObjectPublicKey(CK_KEY_TYPE keyType)
    : CPkcs11ObjectKey(CKO_PUBLIC_KEY, keyType), m_public(kPublicDefs, P11_COUNT(kPublicDefs)) {
  AddLevel(&m_public);
}

CPkcs11ObjectPublicKey::~CPkcs11ObjectPublicKey() = default;

void CPkcs11ObjectPublicKey::ResetToDefaults() {
  CPkcs11ObjectKey::ResetToDefaults();
  m_public.Reset();
}

CPkcs11Object* CPkcs11ObjectPublicKey::CreateEmptyLike() const { return new CPkcs11ObjectPublicKey(GetSubtype()); }

const P11KeyAlgorithm& CPkcs11ObjectPublicKey::Algorithm(CK_KEY_TYPE keyType) { return kAlgorithms[keyType]; }

bool CPkcs11ObjectPublicKey::IsPublicKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kPublicDefs, P11_COUNT(kPublicDefs), type, version) || IsKeyAttribute(type, version);
}

CK_RV CPkcs11ObjectPublicKey::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidatePublicKeyTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

// ---- validators ----

CK_RV ValidatePublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                CK_ULONG version) {
  return P11ValidateAsymmetricKey(kLevel, tmpl, count, mode, keyType, version);
}
CK_RV ValidateRsaPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_RSA], t, n, m, k, v);
}
CK_RV ValidateDhPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_DH], t, n, m, k, v);
}
CK_RV ValidateDsaPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_DSA], t, n, m, k, v);
}
CK_RV ValidateEcPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_EC], t, n, m, k, v);
}
CK_RV ValidateX942DhPublicKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_X9_42_DH], t, n, m, k, v);
}

// ---- creator ----

CK_RV CreatePublicKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  return P11CreateAsymmetricKey(kLevel, tmpl, count, object, version);
}
