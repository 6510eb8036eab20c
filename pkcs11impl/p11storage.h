// Storage objects: the base of data objects, certificates, keys and domain
// parameters (CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_COPYABLE).
#ifndef MIRTAL_PKCS11IMPL_P11STORAGE_H
#define MIRTAL_PKCS11IMPL_P11STORAGE_H

#include "pkcs11impl/p11object.h"

class CPkcs11ObjectStorage : public CPkcs11Object {
public:
  explicit CPkcs11ObjectStorage(CK_OBJECT_CLASS objectClass);
  ~CPkcs11ObjectStorage() override;

  bool IsToken() const override;
  bool IsPrivate() const override;
  bool IsReadOnly() const override;
  bool IsModifiable() const override;
  bool IsCopyable() const override;
  const unsigned char* GetLabel(CK_ULONG* length) const override;
  CK_ULONG GetLabelLength() const override;
  void ResetToDefaults() override;

  // The storage attributes in a version code.
  static bool IsStorageAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  Pkcs11AttributeLevel m_storage;
};

#endif
