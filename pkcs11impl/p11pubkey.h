// Public-key objects (CKO_PUBLIC_KEY): RSA, DH, DSA (and KEA), EC and X9.42 DH.
#ifndef MIRTAL_PKCS11IMPL_P11PUBKEY_H
#define MIRTAL_PKCS11IMPL_P11PUBKEY_H

#include "pkcs11impl/p11key.h"

class CPkcs11ObjectPublicKey : public CPkcs11ObjectKey {
public:
  explicit CPkcs11ObjectPublicKey(CK_KEY_TYPE keyType);
  ~CPkcs11ObjectPublicKey() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  static bool IsPublicKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  // The records of an algorithm class (indexed by key type).
  static const P11KeyAlgorithm& Algorithm(CK_KEY_TYPE keyType);
  CPkcs11Object* CreateEmptyLike() const override;

  Pkcs11AttributeLevel m_public;
};

class CPkcs11ObjectRsaPublicKey : public P11AlgorithmKey<CPkcs11ObjectPublicKey, CKK_RSA> {};
class CPkcs11ObjectDhPublicKey : public P11AlgorithmKey<CPkcs11ObjectPublicKey, CKK_DH> {};
class CPkcs11ObjectDsaPublicKey : public P11AlgorithmKey<CPkcs11ObjectPublicKey, CKK_DSA> {};
class CPkcs11ObjectEcPublicKey : public P11AlgorithmKey<CPkcs11ObjectPublicKey, CKK_EC> {};
class CPkcs11ObjectX942DhPublicKey : public P11AlgorithmKey<CPkcs11ObjectPublicKey, CKK_X9_42_DH> {};

// The public-key level: the key type (~0: from the template) selects the
// algorithm class. Used by the token for key-pair generation and changes.
CK_RV ValidatePublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                CK_ULONG version);
CK_RV ValidateRsaPublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                   CK_ULONG version);
CK_RV ValidateDhPublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                  CK_ULONG version);
CK_RV ValidateDsaPublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                   CK_ULONG version);
CK_RV ValidateEcPublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                  CK_ULONG version);
CK_RV ValidateX942DhPublicKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                      CK_ULONG version);
CK_RV CreatePublicKeyObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);

#endif
