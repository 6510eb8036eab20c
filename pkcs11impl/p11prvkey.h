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
  // The records of an algorithm class (indexed by key type).
  static const P11KeyAlgorithm& Algorithm(CK_KEY_TYPE keyType);
  CPkcs11Object* CreateEmptyLike() const override;
  bool IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE type) const override;

  Pkcs11AttributeLevel m_private;
};

class CPkcs11ObjectRsaPrivateKey : public P11AlgorithmKey<CPkcs11ObjectPrivateKey, CKK_RSA> {};
class CPkcs11ObjectDhPrivateKey : public P11AlgorithmKey<CPkcs11ObjectPrivateKey, CKK_DH> {};
class CPkcs11ObjectDsaPrivateKey : public P11AlgorithmKey<CPkcs11ObjectPrivateKey, CKK_DSA> {};
class CPkcs11ObjectEcPrivateKey : public P11AlgorithmKey<CPkcs11ObjectPrivateKey, CKK_EC> {};
class CPkcs11ObjectX942DhPrivateKey : public P11AlgorithmKey<CPkcs11ObjectPrivateKey, CKK_X9_42_DH> {};

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
