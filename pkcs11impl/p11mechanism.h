// Mechanism objects (CKO_MECHANISM).
#ifndef MIRTAL_PKCS11IMPL_P11MECHANISM_H
#define MIRTAL_PKCS11IMPL_P11MECHANISM_H

#include "pkcs11impl/p11object.h"

class CPkcs11ObjectMechanism : public CPkcs11Object {
public:
  explicit CPkcs11ObjectMechanism(CK_MECHANISM_TYPE mechanismType);
  ~CPkcs11ObjectMechanism() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  CK_ULONG GetSubtype() const override;

protected:
  CPkcs11Object* CreateEmptyLike() const override;
  Pkcs11AttributeLevel m_mechanism;
};

// Mechanism objects are checked only for the version: creation and generation
// need version code 532 or above.
CK_RV ValidateMechanismTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                CK_MECHANISM_TYPE mechanismType, CK_ULONG version);
CK_RV CreateMechanismObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);

#endif
