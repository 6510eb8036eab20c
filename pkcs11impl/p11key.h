// Key objects: the attributes every key shares (public, private and secret keys).
#ifndef MIRTAL_PKCS11IMPL_P11KEY_H
#define MIRTAL_PKCS11IMPL_P11KEY_H

#include <new>

#include "pkcs11impl/p11storage.h"
#include "pkcs11impl/p11validate.h"

class CPkcs11ObjectKey : public CPkcs11ObjectStorage {
public:
  CPkcs11ObjectKey(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType);
  ~CPkcs11ObjectKey() override;
  void ResetToDefaults() override;
  CK_ULONG GetSubtype() const override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  // Sets the key type member (KEA keys are DSA key objects of key type 5).
  void SetKeyTypeMember(CK_KEY_TYPE keyType);
  static bool IsKeyAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  // Key values marked sensitive are readable only while the key is extractable
  // and not sensitive.
  bool AreSensitiveValuesReadable() const override;
  // CKA_SENSITIVE never goes back to false, CKA_EXTRACTABLE never back to true.
  CK_RV OnAttributeSet(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length, bool commit) override;
  Pkcs11AttributeLevel m_key;
};

// The key level: class 2, 3 or 4 hands over to the public, private or secret level.
CK_RV ValidateKeyTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                          CK_KEY_TYPE keyType, CK_ULONG version);
// One algorithm class of the private or public keys: its records and validation sets.
struct P11KeyAlgorithm {
  CK_KEY_TYPE keyType;
  const Pkcs11AttributeDef* defs;
  size_t defCount;
  const CK_ATTRIBUTE_TYPE* readOnly;
  size_t readOnlyCount;
  const CK_ATTRIBUTE_TYPE* createRequired;
  size_t createRequiredCount;
  const CK_ATTRIBUTE_TYPE* createForbidden;
  size_t createForbiddenCount;
  const CK_ATTRIBUTE_TYPE* generateRequired;
  size_t generateRequiredCount;
  const CK_ATTRIBUTE_TYPE* generateForbidden;
  size_t generateForbiddenCount;
  CK_RV generateForbiddenRv;
  CK_ULONG minVersionToBuild;
};

// Validates a template against one algorithm class (class, key type, known set,
// the levels above through `parentRules`, then the algorithm's own sets).
CK_RV P11ValidateKeyAlgorithm(const P11KeyAlgorithm& algorithm, CK_OBJECT_CLASS objectClass, P11KnownFn known,
                              P11RulesFn parentRules, P11RulesFn extra, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                              unsigned mode, CK_KEY_TYPE keyTypeArg, CK_ULONG version);

// Creator of a private or public key: the template's key type picks the
// algorithm class from newKey (indexed by CKK_RSA, CKK_DSA, CKK_DH, CKK_EC,
// CKK_X9_42_DH); KEA builds a DSA key object and then sets its key type to KEA.
typedef CPkcs11ObjectKey* (*P11NewKeyFn)();
template <class Key>
CPkcs11ObjectKey* P11NewKey() {
  return new (std::nothrow) Key();
}
CK_RV P11CreateAsymmetricKey(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version,
                             P11ValidateSubtypeFn validate, const P11NewKeyFn (&newKey)[5]);

// Rules of the key level and the storage level above it.
CK_RV P11KeyRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version);

#endif
