// Private-key objects (CKO_PRIVATE_KEY): RSA, DH, DSA (and KEA), EC and X9.42 DH.
#ifndef MIRTAL_PKCS11IMPL_P11PRVKEY_H
#define MIRTAL_PKCS11IMPL_P11PRVKEY_H

#include "pkcs11impl/p11key.h"

class CPkcs11ObjectPrivateKey : public CPkcs11ObjectKey {
public:
  explicit CPkcs11ObjectPrivateKey(CK_KEY_TYPE keyType);
  ~CPkcs11ObjectPrivateKey() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  static bool IsPrivateKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  // Algorithm classes pass their own records.
  CPkcs11ObjectPrivateKey(CK_KEY_TYPE keyType, const P11KeyAlgorithm* algorithm);
  CPkcs11Object* CreateEmptyLike() const override;
  bool IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE type) const override;

  const P11KeyAlgorithm* m_algorithmInfo;
  CK_KEY_TYPE m_constructedKeyType;
  Pkcs11AttributeLevel m_private;
  Pkcs11AttributeLevel m_algorithm;
};

class CPkcs11ObjectRsaPrivateKey : public CPkcs11ObjectPrivateKey {
public:
  CPkcs11ObjectRsaPrivateKey();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectRsaPrivateKey(); }
};
class CPkcs11ObjectDhPrivateKey : public CPkcs11ObjectPrivateKey {
public:
  CPkcs11ObjectDhPrivateKey();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectDhPrivateKey(); }
};
class CPkcs11ObjectDsaPrivateKey : public CPkcs11ObjectPrivateKey {
public:
  CPkcs11ObjectDsaPrivateKey();
protected:
  CPkcs11Object* CreateEmptyLike() const override;
};
class CPkcs11ObjectEcPrivateKey : public CPkcs11ObjectPrivateKey {
public:
  CPkcs11ObjectEcPrivateKey();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectEcPrivateKey(); }
};
class CPkcs11ObjectX942DhPrivateKey : public CPkcs11ObjectPrivateKey {
public:
  CPkcs11ObjectX942DhPrivateKey();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectX942DhPrivateKey(); }
};

// The private-key level: the key type (~0: from the template) selects the
// algorithm class. Used by the token for key-pair generation and changes.
CK_RV ValidatePrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                 CK_ULONG version);
CK_RV ValidateRsaPrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                    CK_ULONG version);
CK_RV ValidateDhPrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                   CK_ULONG version);
CK_RV ValidateDsaPrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                    CK_ULONG version);
CK_RV ValidateEcPrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                   CK_ULONG version);
CK_RV ValidateX942DhPrivateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                       CK_ULONG version);
CK_RV CreatePrivateKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);

#endif
