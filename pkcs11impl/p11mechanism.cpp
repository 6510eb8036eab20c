// Mechanism objects.
#include "pkcs11impl/p11mechanism.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

const Pkcs11AttributeDef kMechanismDefs[] = {
    {CKA_MECHANISM_TYPE, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
};

}  // namespace

CPkcs11ObjectMechanism::CPkcs11ObjectMechanism(CK_MECHANISM_TYPE mechanismType)
    : CPkcs11Object(CKO_MECHANISM), m_mechanism(kMechanismDefs, P11_COUNT(kMechanismDefs)) {
  AddLevel(&m_mechanism);
  m_mechanism.SetUlongByType(CKA_MECHANISM_TYPE, mechanismType);
}

CPkcs11ObjectMechanism::~CPkcs11ObjectMechanism() = default;

void CPkcs11ObjectMechanism::ResetToDefaults() {
  CPkcs11Object::ResetToDefaults();
  m_mechanism.Reset();
}

CK_ULONG CPkcs11ObjectMechanism::GetSubtype() const { return m_mechanism.GetUlong(0); }

CPkcs11Object* CPkcs11ObjectMechanism::CreateEmptyLike() const { return new CPkcs11ObjectMechanism(GetSubtype()); }

CK_RV CPkcs11ObjectMechanism::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateMechanismTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

CK_RV ValidateMechanismTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_MECHANISM_TYPE,
                                CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  if ((mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) && EffectivePkcs11Version(version) < P11_VERSION_2_20)
    return CKR_TEMPLATE_INCONSISTENT;
  return CKR_OK;
}

CK_RV CreateMechanismObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  if (object == nullptr) return CKR_ARGUMENTS_BAD;
  *object = nullptr;
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_OBJECT_CLASS cls = ~0UL;
  if (GetTemplateClass(tmpl, count, &cls) != CKR_OK || cls != CKO_MECHANISM) return CKR_TEMPLATE_INCONSISTENT;
  CK_MECHANISM_TYPE type = ~0UL;
  CK_RV rv = GetTemplateUlong(tmpl, count, CKA_MECHANISM_TYPE, &type);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) return CKR_TEMPLATE_INCOMPLETE;
  if (rv != CKR_OK) return rv;
  rv = ValidateMechanismTemplate(tmpl, count, P11_MODE_CREATE, type, version);
  if (rv != CKR_OK) return rv;
  // Every mechanism type, whatever its value, gets its object.
  return P11FinishCreate(new (std::nothrow) CPkcs11ObjectMechanism(type), tmpl, count, version, object);
}
