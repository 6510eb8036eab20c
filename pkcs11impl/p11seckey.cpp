// Secret-key objects.
#include "pkcs11impl/p11seckey.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"
#include "support/vtest.h"

namespace {

constexpr CK_ULONG kAll = ~0UL;

const Pkcs11AttributeDef kSecretDefs[] = {
    {CKA_SENSITIVE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_ENCRYPT, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_DECRYPT, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_SIGN, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_VERIFY, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_WRAP, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_UNWRAP, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_EXTRACTABLE, P11Kind::Bool, 0, kAll, CK_TRUE, 0},
    {CKA_ALWAYS_SENSITIVE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_NEVER_EXTRACTABLE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, P11_ATTR_SENSITIVE},
    {CKA_VALUE_LEN, P11Kind::UlongLoose, 0, kAll, 0, P11_ATTR_VARIABLE_LEN_ONLY},
    {CKA_CHECK_VALUE, P11Kind::Bytes, 532, kAll, 0, 0},
    {CKA_WRAP_WITH_TRUSTED, P11Kind::Bool, 532, kAll, CK_FALSE, 0},
    {CKA_TRUSTED, P11Kind::Bool, 532, kAll, CK_FALSE, 0},
    {CKA_WRAP_TEMPLATE, P11Kind::Bytes, 532, kAll, 0, 0},
    {CKA_UNWRAP_TEMPLATE, P11Kind::Bytes, 532, kAll, 0, 0},
};
enum { kValueIndex = 10, kValueLenIndex = 11 };

struct LengthRule {
  CK_ULONG min, max, step;
};
// Key types 16 to 31.
const LengthRule kLengthRules[] = {
    {0, kAll, 1},  // GENERIC_SECRET
    {1, 128, 1},   // RC2
    {1, 256, 1},   // RC4
    {8, 8, 0},     // DES
    {16, 16, 0},   // DES2
    {24, 24, 0},   // DES3
    {1, 8, 1},     // CAST
    {1, 8, 1},     // CAST3
    {1, 16, 1},    // CAST128
    {0, 255, 1},   // RC5
    {16, 16, 0},   // IDEA
    {12, 12, 0},   // SKIPJACK
    {40, 40, 0},   // BATON
    {40, 40, 0},   // JUNIPER
    {8, 8, 0},     // CDMF
    {16, 32, 8},   // AES
};

bool IsFixedLength(CK_KEY_TYPE keyType) {
  CK_ULONG step = 1, min = 0, max = 0;
  return GetSecretKeyLengthRule(keyType, &step, &min, &max) == CKR_OK && step == 0;
}

}  // namespace

CK_RV GetSecretKeyLengthRule(CK_KEY_TYPE keyType, CK_ULONG* step, CK_ULONG* min, CK_ULONG* max) {
  if (keyType < CKK_GENERIC_SECRET || keyType > CKK_AES) return CKR_KEY_TYPE_INCONSISTENT;
  const LengthRule& r = kLengthRules[keyType - CKK_GENERIC_SECRET];
  if (step) *step = r.step;
  if (min) *min = r.min;
  if (max) *max = r.max;
  return CKR_OK;
}

// ---- CPkcs11ObjectSecretKey ----

CPkcs11ObjectSecretKey::CPkcs11ObjectSecretKey(CK_KEY_TYPE keyType)
    : CPkcs11ObjectKey(CKO_SECRET_KEY, keyType), m_secret(kSecretDefs, P11_COUNT(kSecretDefs)) {
  AddLevel(&m_secret);
}

CPkcs11ObjectSecretKey::~CPkcs11ObjectSecretKey() = default;

void CPkcs11ObjectSecretKey::ResetToDefaults() {
  CPkcs11ObjectKey::ResetToDefaults();
  m_secret.Reset();
  SetKeyTypeMember(CKK_GENERIC_SECRET);
}

CPkcs11Object* CPkcs11ObjectSecretKey::CreateEmptyLike() const { return new CPkcs11ObjectSecretKey(GetSubtype()); }

bool CPkcs11ObjectSecretKey::IsRecordActive(const Pkcs11AttributeDef& def) const {
  if ((def.flags & P11_ATTR_VARIABLE_LEN_ONLY) != 0 && IsFixedLength(GetSubtype())) return false;
  return CPkcs11ObjectKey::IsRecordActive(def);
}

bool CPkcs11ObjectSecretKey::IsSecretKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kSecretDefs, P11_COUNT(kSecretDefs), type, version) || IsKeyAttribute(type, version);
}

CK_RV CPkcs11ObjectSecretKey::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateSecretKeyTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

bool CPkcs11ObjectSecretKey::SetSecretValue(const void* value, CK_ULONG length) {
  if (SetAttributeValue(CKA_VALUE, value, length) != CKR_OK) return false;
  m_secret.SetUlongMember(kValueLenIndex, length);
  m_secret.RepointRecord(kValueLenIndex);
  return true;
}

const unsigned char* CPkcs11ObjectSecretKey::GetSecretValue(CK_ULONG* length) const {
  const Pkcs11AttributeRecord& r = m_secret.Record(kValueIndex);
  AssertInvariant(r.type == CKA_VALUE, "p11seckey", __LINE__, "m_pSecretKeyAttribTable[cka_value].type == CKA_VALUE");
  if (length) *length = r.length;
  if (r.length == ~0UL) return nullptr;
  return r.HasBytes() ? static_cast<const unsigned char*>(r.value) : nullptr;
}

CK_ULONG CPkcs11ObjectSecretKey::GetSecretValueLength() const {
  const Pkcs11AttributeRecord& r = m_secret.Record(kValueIndex);
  AssertInvariant(r.type == CKA_VALUE, "p11seckey", __LINE__, "m_pSecretKeyAttribTable[cka_value].type == CKA_VALUE");
  return r.length;
}

// ---- validation ----

CK_RV ValidateSecretKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_WRAP_WITH_TRUSTED,
                                                CKA_WRAP_TEMPLATE,     CKA_UNWRAP_TEMPLATE,  CKA_TRUSTED,
                                                CKA_CHECK_VALUE};
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_RV rv = P11CheckKnown(tmpl, count, CPkcs11ObjectSecretKey::IsSecretKeyAttribute, version);
  if (rv != CKR_OK) return rv;

  rv = P11CheckTemplateUlong(tmpl, count, mode, CKA_CLASS, CKO_SECRET_KEY);
  if (rv != CKR_OK) return rv;
  CK_KEY_TYPE tk = ~0UL;
  rv = GetTemplateKeyType(tmpl, count, &tk);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) {
    if (mode == P11_MODE_CREATE) return CKR_TEMPLATE_INCOMPLETE;
  } else if (rv != CKR_OK) {
    return rv;
  } else if (mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) {
    keyType = tk;
  }

  rv = P11KeyRules(tmpl, count, mode, version);
  if (rv != CKR_OK) return rv;

  bool hasValueLen = TemplateHasAttribute(tmpl, count, CKA_VALUE_LEN);
  switch (mode) {
    case P11_MODE_MODIFY:
      rv = P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
      if (rv == CKR_OK && hasValueLen && IsFixedLength(keyType)) rv = CKR_ATTRIBUTE_TYPE_INVALID;
      return rv;
    case P11_MODE_OTHER:
      return hasValueLen && IsFixedLength(keyType) ? CKR_ATTRIBUTE_TYPE_INVALID : CKR_OK;
    case P11_MODE_GENERATE:
      if (TemplateHasAttribute(tmpl, count, CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
      break;
    default:
      break;
  }

  // Create and generate: the length rule of the key type.
  CK_ULONG step = 0, min = 0, max = 0;
  if (GetSecretKeyLengthRule(keyType, &step, &min, &max) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
  CK_ULONG len = 0;
  if (!hasValueLen) {
    if (step != 0) return CKR_TEMPLATE_INCOMPLETE;
    len = min;
  } else {
    if (step == 0) return CKR_ATTRIBUTE_TYPE_INVALID;
    rv = GetTemplateUlong(tmpl, count, CKA_VALUE_LEN, &len);
    if (rv != CKR_OK) return rv;
    if (len < min || len > max || (max - len) % step != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  // A key value given at creation must have the length the template states.
  const CK_ATTRIBUTE* value = nullptr;
  if (mode == P11_MODE_CREATE && FindTemplateAttribute(tmpl, count, CKA_VALUE, &value) && value->ulValueLen != len)
    return CKR_ATTRIBUTE_VALUE_INVALID;
  return CKR_OK;
}

CK_RV CreateSecretKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  if (object != nullptr) *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_RV rv = ValidateSecretKeyTemplate(tmpl, count, P11_MODE_CREATE, ~0UL, version);
  if (rv != CKR_OK) return rv;
  if (object == nullptr) return CKR_FUNCTION_FAILED;
  return P11FinishCreate(new (std::nothrow) CPkcs11ObjectSecretKey(CKK_GENERIC_SECRET), tmpl, count, version, object);
}
