// Data objects.
#include "pkcs11impl/p11data.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

const Pkcs11AttributeDef kDataDefs[] = {
    {CKA_APPLICATION, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_OBJECT_ID, P11Kind::Bytes, 522, ~0UL, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, ~0UL, 0, 0},
};

CK_RV ValidateData(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version, bool classOptional) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_RV rv = P11CheckKnown(tmpl, count, CPkcs11ObjectData::IsDataAttribute, version);
  if (rv != CKR_OK) return rv;
  bool classMayBeAbsent = classOptional && !TemplateHasAttribute(tmpl, count, CKA_CLASS);
  rv = P11CheckTemplateUlong(tmpl, count, classMayBeAbsent ? P11_MODE_OTHER : mode, CKA_CLASS, CKO_DATA);
  if (rv != CKR_OK) return rv;
  return P11StorageRules(tmpl, count, mode, version);
}

}  // namespace

CPkcs11ObjectData::CPkcs11ObjectData() : CPkcs11ObjectStorage(CKO_DATA), m_data(kDataDefs, P11_COUNT(kDataDefs)) {
  AddLevel(&m_data);
}

CPkcs11ObjectData::~CPkcs11ObjectData() = default;

void CPkcs11ObjectData::ResetToDefaults() {
  CPkcs11ObjectStorage::ResetToDefaults();
  m_data.Reset();
}

bool CPkcs11ObjectData::IsDataAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kDataDefs, P11_COUNT(kDataDefs), type, version) || IsStorageAttribute(type, version);
}

CK_RV CPkcs11ObjectData::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateDataTemplate(tmpl, count, mode, ~0UL, GetPkcs11Version());
}

CK_RV ValidateDataTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG, CK_ULONG version) {
  return ValidateData(tmpl, count, mode, version, false);
}

CK_RV CreateDataObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  if (object == nullptr) return CKR_ARGUMENTS_BAD;
  *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_RV rv = ValidateData(tmpl, count, P11_MODE_CREATE, version, true);
  if (rv != CKR_OK) return rv;
  return P11FinishCreate(new (std::nothrow) CPkcs11ObjectData(), tmpl, count, version, object);
}
