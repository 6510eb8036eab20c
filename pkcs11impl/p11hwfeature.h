// Hardware-feature objects (CKO_HW_FEATURE): clock, monotonic counter, user
// interface and the token-information object carrying the token's activation and
// secure-messaging state.
#ifndef MIRTAL_PKCS11IMPL_P11HWFEATURE_H
#define MIRTAL_PKCS11IMPL_P11HWFEATURE_H

#include "pkcs11impl/p11object.h"

class CPkcs11ObjectHwFeature : public CPkcs11Object {
public:
  explicit CPkcs11ObjectHwFeature(CK_HW_FEATURE_TYPE featureType);
  ~CPkcs11ObjectHwFeature() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  CK_ULONG GetSubtype() const override;

protected:
  // Subclasses add their own records after CKA_HW_FEATURE_TYPE.
  CPkcs11ObjectHwFeature(CK_HW_FEATURE_TYPE featureType, const Pkcs11AttributeDef* defs, size_t count);
  CPkcs11Object* CreateEmptyLike() const override;

  CK_HW_FEATURE_TYPE m_constructedType;
  Pkcs11AttributeLevel m_feature;
  Pkcs11AttributeLevel m_details;
};

class CPkcs11ObjectHwClock : public CPkcs11ObjectHwFeature {
public:
  CPkcs11ObjectHwClock();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectHwClock(); }
};

class CPkcs11ObjectHwMonotonicCounter : public CPkcs11ObjectHwFeature {
public:
  CPkcs11ObjectHwMonotonicCounter();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectHwMonotonicCounter(); }
};

class CPkcs11ObjectHwMirtalTokenInfo : public CPkcs11ObjectHwFeature {
public:
  CPkcs11ObjectHwMirtalTokenInfo();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectHwMirtalTokenInfo(); }
};

class CPkcs11ObjectHwUserInterface : public CPkcs11ObjectHwFeature {
public:
  CPkcs11ObjectHwUserInterface();
protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectHwUserInterface(); }
};

// Hardware features are checked only for the version: creation and generation
// need version code 523 or above.
CK_RV ValidateHwFeatureTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                CK_HW_FEATURE_TYPE featureType, CK_ULONG version);
CK_RV CreateHwFeatureObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);
CK_RV CreateHwClockObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);
CK_RV CreateHwMonotonicCounterObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                     CK_ULONG version);
CK_RV CreateHwUserInterfaceObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                  CK_ULONG version);
CK_RV CreateHwMirtalTokenInfoObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                    CK_ULONG version);

#endif
