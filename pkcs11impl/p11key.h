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

// The private and public levels have one shape: five algorithm classes, one
// per key type from CKK_RSA (0) to CKK_X9_42_DH (4). A KEA key (key type 5) is
// a DSA key object whose key type is set to KEA; its templates go to the DSA
// class as DSA.
constexpr size_t P11_ALGORITHM_CLASSES = 5;
typedef CPkcs11ObjectKey* (*P11NewKeyFn)();
template <class Key>
CPkcs11ObjectKey* P11NewKey() {
  return new (std::nothrow) Key();
}

// One algorithm class: its validator, its constructor, its records and the
// sets its validator checks.
struct P11KeyAlgorithm {
  CK_KEY_TYPE keyType;
  P11ValidateSubtypeFn validate;
  P11NewKeyFn newKey;
  const Pkcs11AttributeDef* defs;
  size_t defCount;
  P11ModeRules rules;
};
// An attribute list of the tables with its count, or none.
#define P11_LIST(a) a, P11_COUNT(a)
#define P11_NONE nullptr, 0

// The private or public level: its class, its known set and rules (with the
// levels above) and its algorithm classes, indexed by key type.
struct P11AsymmetricLevel {
  CK_OBJECT_CLASS objectClass;
  P11KnownFn known;
  P11RulesFn rules;
  const P11KeyAlgorithm* algorithms;
};

// The level's validator: the key type (~0: from the template) picks the
// algorithm class; without one only the level's own steps run.
CK_RV P11ValidateAsymmetricKey(const P11AsymmetricLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                               unsigned mode, CK_KEY_TYPE keyType, CK_ULONG version);
// One algorithm class's validator (class, key type, known set, the levels
// above, then the algorithm's own sets).
CK_RV P11ValidateKeyAlgorithm(const P11AsymmetricLevel& level, const P11KeyAlgorithm& algorithm,
                              const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyTypeArg,
                              CK_ULONG version);
// The level's creator: the template's key type picks the algorithm class.
CK_RV P11CreateAsymmetricKey(const P11AsymmetricLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                             CPkcs11Object** object, CK_ULONG version);
// A new, empty object of the algorithm class that holds `keyType` (a DSA
// object for KEA); null when memory runs out.
CPkcs11ObjectKey* P11NewAlgorithmKey(const P11KeyAlgorithm& algorithm, CK_KEY_TYPE keyType);

// An algorithm class of the private or public level: the level's object with
// the records of one key type after the level's own. A copy keeps the key type.
template <class Level, CK_KEY_TYPE KeyType>
class P11AlgorithmKey : public Level {
public:
  P11AlgorithmKey() : Level(KeyType), m_algorithm(Info().defs, Info().defCount) { this->AddLevel(&m_algorithm); }
  void ResetToDefaults() override {
    Level::ResetToDefaults();
    m_algorithm.Reset();
    this->SetKeyTypeMember(KeyType);
  }

protected:
  CPkcs11Object* CreateEmptyLike() const override { return P11NewAlgorithmKey(Info(), this->GetSubtype()); }

private:
  static const P11KeyAlgorithm& Info() { return Level::Algorithm(KeyType); }
  Pkcs11AttributeLevel m_algorithm;
};

// Rules of the key level and the storage level above it.
CK_RV P11KeyRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version);

#endif
