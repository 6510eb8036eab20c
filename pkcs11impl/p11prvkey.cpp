// Private-key objects.
#include "pkcs11impl/p11prvkey.h"

#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

constexpr CK_ULONG kAll = ~0UL;
constexpr uint8_t S = P11_ATTR_SENSITIVE;

const Pkcs11AttributeDef kPrivateDefs[] = {
    {CKA_SUBJECT, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_SENSITIVE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_DECRYPT, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_SIGN, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_SIGN_RECOVER, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_UNWRAP, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_EXTRACTABLE, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_ALWAYS_SENSITIVE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_NEVER_EXTRACTABLE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_SECONDARY_AUTH, P11Kind::Bool, 522, 531, CK_FALSE, 0},
    {CKA_AUTH_PIN_FLAGS, P11Kind::Ulong, 522, 531, 0, 0},
    {CKA_ALWAYS_AUTHENTICATE, P11Kind::Bool, 524, kAll, CK_FALSE, 0},
    {CKA_WRAP_WITH_TRUSTED, P11Kind::Bool, 532, kAll, CK_FALSE, 0},
    {CKA_UNWRAP_TEMPLATE, P11Kind::Bytes, 532, kAll, 0, 0},
};

const Pkcs11AttributeDef kRsaDefs[] = {
    {CKA_MODULUS, P11Kind::Bytes, 0, kAll, 0, 0},          {CKA_PUBLIC_EXPONENT, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_PRIVATE_EXPONENT, P11Kind::Bytes, 0, kAll, 0, S}, {CKA_PRIME_1, P11Kind::Bytes, 0, kAll, 0, S},
    {CKA_PRIME_2, P11Kind::Bytes, 0, kAll, 0, S},          {CKA_EXPONENT_1, P11Kind::Bytes, 0, kAll, 0, S},
    {CKA_EXPONENT_2, P11Kind::Bytes, 0, kAll, 0, S},       {CKA_COEFFICIENT, P11Kind::Bytes, 0, kAll, 0, S},
};
const Pkcs11AttributeDef kDhDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, S},
    {CKA_VALUE_BITS, P11Kind::UlongNumber, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kDsaDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, S},
};
const Pkcs11AttributeDef kEcDefs[] = {
    {CKA_EC_PARAMS, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, S},
};
const Pkcs11AttributeDef kX942Defs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, S},
};

const CK_ATTRIBUTE_TYPE kRsaReadOnly[] = {CKA_MODULUS,     CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                                          CKA_EXPONENT_1, CKA_EXPONENT_2,       CKA_COEFFICIENT};
const CK_ATTRIBUTE_TYPE kDhReadOnly[] = {CKA_PRIME, CKA_BASE, CKA_VALUE, CKA_VALUE_BITS};
const CK_ATTRIBUTE_TYPE kPgv[] = {CKA_PRIME, CKA_BASE, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kValueBits[] = {CKA_VALUE_BITS};
const CK_ATTRIBUTE_TYPE kPqgv[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kEcPv[] = {CKA_EC_PARAMS, CKA_VALUE};

// The algorithm classes, indexed by key type.
const P11KeyAlgorithm kAlgorithms[] = {
    {CKK_RSA, ValidateRsaPrivateKeyTemplate, P11NewKey<CPkcs11ObjectRsaPrivateKey>, P11_LIST(kRsaDefs),
     {P11_LIST(kRsaReadOnly), P11_NONE, P11_NONE, P11_NONE, P11_LIST(kRsaReadOnly)}},
    {CKK_DSA, ValidateDsaPrivateKeyTemplate, P11NewKey<CPkcs11ObjectDsaPrivateKey>, P11_LIST(kDsaDefs),
     {P11_LIST(kPqgv), P11_LIST(kPqgv), P11_NONE, P11_NONE, P11_LIST(kPqgv)}},
    {CKK_DH, ValidateDhPrivateKeyTemplate, P11NewKey<CPkcs11ObjectDhPrivateKey>, P11_LIST(kDhDefs),
     {P11_LIST(kDhReadOnly), P11_LIST(kPgv), P11_LIST(kValueBits), P11_NONE, P11_LIST(kPgv)}},
    {CKK_EC, ValidateEcPrivateKeyTemplate, P11NewKey<CPkcs11ObjectEcPrivateKey>, P11_LIST(kEcDefs),
     {P11_LIST(kEcPv), P11_LIST(kEcPv), P11_NONE, P11_NONE, P11_LIST(kEcPv)}},
    {CKK_X9_42_DH, ValidateX942DhPrivateKeyTemplate, P11NewKey<CPkcs11ObjectX942DhPrivateKey>, P11_LIST(kX942Defs),
     {P11_LIST(kPgv), P11_LIST(kPgv), P11_NONE, P11_NONE, P11_LIST(kPgv), 0, P11_VERSION_2_11}},
};
static_assert(P11_COUNT(kAlgorithms) == P11_ALGORITHM_CLASSES, "one algorithm class per key type");

CK_RV PrivateRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_ALWAYS_AUTHENTICATE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE,
                                                CKA_WRAP_WITH_TRUSTED, CKA_UNWRAP_TEMPLATE};
  static const CK_ATTRIBUTE_TYPE kNotGiven[] = {CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE};
  CK_RV rv = P11KeyRules(tmpl, count, mode, version);
  if (rv != CKR_OK) return rv;
  if (mode == P11_MODE_MODIFY)
    return P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
  if (mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE)
    return P11CheckNoneOf(tmpl, count, kNotGiven, P11_COUNT(kNotGiven), CKR_TEMPLATE_INCONSISTENT);
  return CKR_OK;
}

const P11AsymmetricLevel kLevel = {CKO_PRIVATE_KEY, CPkcs11ObjectPrivateKey::IsPrivateKeyAttribute, PrivateRules,
                                   kAlgorithms};

}  // namespace

// ---- classes ----

CPkcs11ObjectPrivateKey::CPkcs11ObjectPrivateKey(CK_KEY_TYPE keyType)
    : CPkcs11ObjectKey(CKO_PRIVATE_KEY, keyType), m_private(kPrivateDefs, P11_COUNT(kPrivateDefs)) {
  AddLevel(&m_private);
}

CPkcs11ObjectPrivateKey::~CPkcs11ObjectPrivateKey() = default;

void CPkcs11ObjectPrivateKey::ResetToDefaults() {
  CPkcs11ObjectKey::ResetToDefaults();
  m_private.Reset();
}

CPkcs11Object* CPkcs11ObjectPrivateKey::CreateEmptyLike() const { return new CPkcs11ObjectPrivateKey(GetSubtype()); }

const P11KeyAlgorithm& CPkcs11ObjectPrivateKey::Algorithm(CK_KEY_TYPE keyType) { return kAlgorithms[keyType]; }

bool CPkcs11ObjectPrivateKey::IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE type) const {
  return type == CKA_MIRTAL_QUALIFIED_OBJECT;
}

bool CPkcs11ObjectPrivateKey::IsPrivateKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return type == CKA_MIRTAL_QUALIFIED_OBJECT || AttributeDefsKnow(kPrivateDefs, P11_COUNT(kPrivateDefs), type, version) ||
         IsKeyAttribute(type, version);
}

CK_RV CPkcs11ObjectPrivateKey::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidatePrivateKeyTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

// ---- validators ----

CK_RV ValidatePrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                 CK_ULONG version) {
  return P11ValidateAsymmetricKey(kLevel, tmpl, count, mode, keyType, version);
}
CK_RV ValidateRsaPrivateKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_RSA], t, n, m, k, v);
}
CK_RV ValidateDhPrivateKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_DH], t, n, m, k, v);
}
CK_RV ValidateDsaPrivateKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_DSA], t, n, m, k, v);
}
CK_RV ValidateEcPrivateKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_EC], t, n, m, k, v);
}
CK_RV ValidateX942DhPrivateKeyTemplate(const CK_ATTRIBUTE* t, CK_ULONG n, unsigned m, CK_KEY_TYPE k, CK_ULONG v) {
  return P11ValidateKeyAlgorithm(kLevel, kAlgorithms[CKK_X9_42_DH], t, n, m, k, v);
}

// ---- creator ----

CK_RV CreatePrivateKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  return P11CreateAsymmetricKey(kLevel, tmpl, count, object, version);
}
