// Key objects: common key attributes and the key level of validation.
#include "pkcs11impl/p11key.h"

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11seckey.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

const Pkcs11AttributeDef kKeyDefs[] = {
    {CKA_KEY_TYPE, P11Kind::UlongNumber, 0, ~0UL, ~0UL, 0},
    {CKA_ID, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_START_DATE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_END_DATE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_DERIVE, P11Kind::Bool, 0, ~0UL, CK_TRUE, 0},
    {CKA_LOCAL, P11Kind::Bool, 0, ~0UL, CK_FALSE, 0},
    {CKA_KEY_GEN_MECHANISM, P11Kind::UlongMechanism, 523, ~0UL, ~0UL, 0},
    {CKA_ALLOWED_MECHANISMS, P11Kind::Bytes, 532, ~0UL, 0, 0},
};

}  // namespace

CPkcs11ObjectKey::CPkcs11ObjectKey(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType)
    : CPkcs11ObjectStorage(objectClass), m_key(kKeyDefs, P11_COUNT(kKeyDefs)) {
  AddLevel(&m_key);
  SetKeyTypeMember(keyType);
}

CPkcs11ObjectKey::~CPkcs11ObjectKey() = default;

void CPkcs11ObjectKey::ResetToDefaults() {
  CPkcs11ObjectStorage::ResetToDefaults();
  m_key.Reset();
}

void CPkcs11ObjectKey::SetKeyTypeMember(CK_KEY_TYPE keyType) { m_key.SetUlongByType(CKA_KEY_TYPE, keyType); }

CK_ULONG CPkcs11ObjectKey::GetSubtype() const { return m_key.GetUlong(0); }

bool CPkcs11ObjectKey::IsKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kKeyDefs, P11_COUNT(kKeyDefs), type, version) || IsStorageAttribute(type, version);
}

CK_RV CPkcs11ObjectKey::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateKeyTemplate(tmpl, count, mode, GetClass(), GetSubtype(), GetPkcs11Version());
}

bool CPkcs11ObjectKey::AreSensitiveValuesReadable() const {
  return MemberBool(CKA_EXTRACTABLE, true) && !MemberBool(CKA_SENSITIVE, false);
}

CK_RV CPkcs11ObjectKey::OnAttributeSet(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length, bool commit) {
  if (!commit && LevelOf(type) != nullptr) {
    bool v = P11BoolFromValue(value, length);
    if (type == CKA_SENSITIVE && !v && MemberBool(CKA_SENSITIVE, false)) return CKR_ATTRIBUTE_READ_ONLY;
    if (type == CKA_EXTRACTABLE && v && !MemberBool(CKA_EXTRACTABLE, true)) return CKR_ATTRIBUTE_READ_ONLY;
  }
  return CPkcs11ObjectStorage::OnAttributeSet(type, value, length, commit);
}

CK_RV P11KeyRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_KEY_TYPE, CKA_LOCAL, CKA_KEY_GEN_MECHANISM, CKA_ALLOWED_MECHANISMS};
  CK_RV rv = P11StorageRules(tmpl, count, mode, version);
  if (rv != CKR_OK) return rv;
  switch (mode) {
    case P11_MODE_MODIFY:
      return P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
    case P11_MODE_CREATE:
      if (P11TemplateBoolTrue(tmpl, count, CKA_LOCAL)) return CKR_ATTRIBUTE_READ_ONLY;
      return TemplateHasAttribute(tmpl, count, CKA_KEY_GEN_MECHANISM) ? CKR_TEMPLATE_INCONSISTENT : CKR_OK;
    case P11_MODE_GENERATE:
      return TemplateHasAttribute(tmpl, count, CKA_KEY_GEN_MECHANISM) ? CKR_TEMPLATE_INCONSISTENT : CKR_OK;
    default:
      return CKR_OK;
  }
}

CK_RV ValidateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                          CK_KEY_TYPE keyType, CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_OBJECT_CLASS tc = ~0UL;
  CK_RV rv = GetTemplateClass(tmpl, count, &tc);
  bool present = rv == CKR_OK;
  if (rv != CKR_OK && rv != CKR_ATTRIBUTE_NOT_FOUND) return rv;
  CK_OBJECT_CLASS cls = objectClass;
  if (objectClass == P11_NOT_GIVEN || objectClass == P11_ALREADY_CHECKED) {
    if (present)
      cls = tc;
    else if (mode == P11_MODE_CREATE)
      return CKR_TEMPLATE_INCOMPLETE;
  } else if (present) {
    if (!ObjectClassMatches(objectClass, tc)) return CKR_TEMPLATE_INCONSISTENT;
    cls = tc;
  } else if (mode == P11_MODE_CREATE) {
    return CKR_TEMPLATE_INCOMPLETE;
  }
  switch (cls) {
    case CKO_PUBLIC_KEY:
      return ValidatePublicKeyTemplate(tmpl, count, mode, keyType, version);
    case CKO_PRIVATE_KEY:
      return ValidatePrivateKeyTemplate(tmpl, count, mode, keyType, version);
    case CKO_SECRET_KEY:
      return ValidateSecretKeyTemplate(tmpl, count, mode, keyType, version);
    case P11_NOT_GIVEN:
    case P11_ALREADY_CHECKED: {
      // No class to hand over to: the key level alone.
      if (cls == P11_NOT_GIVEN) {
        rv = P11CheckKnown(tmpl, count, CPkcs11ObjectKey::IsKeyAttribute, version);
        if (rv != CKR_OK) return rv;
      }
      return P11KeyRules(tmpl, count, mode, version);
    }
    default:
      return CKR_TEMPLATE_INCONSISTENT;
  }
}

CK_RV P11ValidateKeyAlgorithm(const P11AsymmetricLevel& level, const P11KeyAlgorithm& a, const CK_ATTRIBUTE* tmpl,
                              CK_ULONG count, unsigned mode, CK_KEY_TYPE keyTypeArg, CK_ULONG version) {
  P11LeafRules r;
  static_cast<P11ModeRules&>(r) = a.rules;
  r.objectClass = level.objectClass;
  r.subtypeAttr = CKA_KEY_TYPE;
  r.subtype = a.keyType;
  r.defs = a.defs;
  r.defCount = a.defCount;
  r.known = level.known;
  r.parentRules = level.rules;
  return P11ValidateLeaf(r, tmpl, count, mode, keyTypeArg, version);
}

CK_RV P11ValidateAsymmetricKey(const P11AsymmetricLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                               unsigned mode, CK_KEY_TYPE keyType, CK_ULONG version) {
  const P11KeyAlgorithm* a = level.algorithms;
  const P11KeyTypeRoute routes[] = {
      {CKK_RSA, a[CKK_RSA].validate, CKK_RSA}, {CKK_DSA, a[CKK_DSA].validate, CKK_DSA},
      {CKK_KEA, a[CKK_DSA].validate, CKK_DSA}, {CKK_DH, a[CKK_DH].validate, CKK_DH},
      {CKK_EC, a[CKK_EC].validate, CKK_EC},    {CKK_X9_42_DH, a[CKK_X9_42_DH].validate, CKK_X9_42_DH},
  };
  const P11KeyTypeLevel byKeyType = {level.objectClass, level.known, level.rules, routes, P11_COUNT(routes)};
  return P11ValidateByKeyType(byKeyType, tmpl, count, mode, keyType, version);
}

CPkcs11ObjectKey* P11NewAlgorithmKey(const P11KeyAlgorithm& algorithm, CK_KEY_TYPE keyType) {
  CPkcs11ObjectKey* key = algorithm.newKey();
  if (key != nullptr && keyType != algorithm.keyType) key->SetKeyTypeMember(keyType);
  return key;
}

CK_RV P11CreateAsymmetricKey(const P11AsymmetricLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                             CPkcs11Object** object, CK_ULONG version) {
  if (object != nullptr) *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_KEY_TYPE keyType = ~0UL;
  if (GetTemplateKeyType(tmpl, count, &keyType) != CKR_OK || keyType > CKK_KEA) return CKR_TEMPLATE_INCONSISTENT;
  CK_RV rv = P11ValidateAsymmetricKey(level, tmpl, count, P11_MODE_CREATE, keyType, version);
  if (rv != CKR_OK) return rv;
  if (object == nullptr) return CKR_FUNCTION_FAILED;
  const P11KeyAlgorithm& algorithm = level.algorithms[keyType == CKK_KEA ? CKK_DSA : keyType];
  return P11FinishCreate(P11NewAlgorithmKey(algorithm, keyType), tmpl, count, version, object);
}
