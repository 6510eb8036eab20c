// Secret-key objects (CKO_SECRET_KEY) with the length rules of each key type.
#ifndef MIRTAL_PKCS11IMPL_P11SECKEY_H
#define MIRTAL_PKCS11IMPL_P11SECKEY_H

#include "pkcs11impl/p11key.h"

class CPkcs11ObjectSecretKey : public CPkcs11ObjectKey {
public:
  explicit CPkcs11ObjectSecretKey(CK_KEY_TYPE keyType = CKK_GENERIC_SECRET);
  ~CPkcs11ObjectSecretKey() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;

  // Sets CKA_VALUE through the ordinary set path and CKA_VALUE_LEN to its length.
  bool SetSecretValue(const void* value, CK_ULONG length);
  // The key value (null when unavailable or empty) and its length.
  const unsigned char* GetSecretValue(CK_ULONG* length) const;
  CK_ULONG GetSecretValueLength() const;

  static bool IsSecretKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override;
  // CKA_VALUE_LEN is listed only for key types of variable length.
  bool IsRecordActive(const Pkcs11AttributeDef& def) const override;
  Pkcs11AttributeLevel m_secret;
};

// Lengths of CKA_VALUE_LEN in bytes for a key type: CKR_KEY_TYPE_INCONSISTENT for
// types outside 16-31. A step of 0 marks a fixed length (min == max); max ~0 is unbounded.
CK_RV GetSecretKeyLengthRule(CK_KEY_TYPE keyType, CK_ULONG* step, CK_ULONG* min, CK_ULONG* max);

CK_RV ValidateSecretKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                CK_ULONG version);
CK_RV CreateSecretKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);

#endif
