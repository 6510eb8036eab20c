// Data objects (CKO_DATA).
#ifndef MIRTAL_PKCS11IMPL_P11DATA_H
#define MIRTAL_PKCS11IMPL_P11DATA_H

#include "pkcs11impl/p11storage.h"

class CPkcs11ObjectData : public CPkcs11ObjectStorage {
public:
  CPkcs11ObjectData();
  ~CPkcs11ObjectData() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  static bool IsDataAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectData(); }
  Pkcs11AttributeLevel m_data;
};

CK_RV ValidateDataTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG subtype,
                           CK_ULONG version);
// A template without CKA_CLASS is taken as a data object.
CK_RV CreateDataObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);

#endif
