// Hardware-feature objects.
#include "pkcs11impl/p11hwfeature.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

constexpr CK_ULONG kAll = ~0UL;

const Pkcs11AttributeDef kFeatureDefs[] = {
    {CKA_HW_FEATURE_TYPE, P11Kind::Ulong, 0, kAll, kAll, 0},
};
const Pkcs11AttributeDef kClockDefs[] = {
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kCounterDefs[] = {
    {CKA_RESET_ON_INIT, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_HAS_RESET, P11Kind::UlongBool, 0, kAll, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, kAll, 0, 0},
};
const Pkcs11AttributeDef kTokenInfoDefs[] = {
    {CKA_MIRTAL_NOT_ACTIVATED, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_MIRTAL_SYSAUTH_KEY, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE, P11Kind::Ulong, 0, kAll, 0, 0},
    {CKA_MIRTAL_AGENT_AUTHENTICATED, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_MIRTAL_VELDOR_TOKEN, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_MIRTAL_ACTIVATE_FOLLOWS_INITIALIZE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_MIRTAL_SECURE_MESSAGING_ENABLED, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
};
const Pkcs11AttributeDef kUserInterfaceDefs[] = {
    {CKA_PIXEL_X, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_PIXEL_Y, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_RESOLUTION, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_CHAR_ROWS, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_CHAR_COLUMNS, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_COLOR, P11Kind::Bool, 0, kAll, CK_FALSE, 0},
    {CKA_BITS_PER_PIXEL, P11Kind::Ulong, 0, kAll, kAll, 0},
    {CKA_CHAR_SETS, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_ENCODING_METHODS, P11Kind::Bytes, 0, kAll, 0, 0},
    {CKA_MIME_TYPES, P11Kind::Bytes, 0, kAll, 0, 0},
};

// Class and feature-type checks of the creators; `defaultType` stands in for an
// absent type (~0: the type is required).
CK_RV CheckFeatureTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG version, CK_HW_FEATURE_TYPE defaultType,
                           CK_HW_FEATURE_TYPE* type) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  CK_OBJECT_CLASS cls = ~0UL;
  CK_RV rv = GetTemplateClass(tmpl, count, &cls);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    cls = CKO_HW_FEATURE;
  else if (rv != CKR_OK)
    return CKR_TEMPLATE_INCONSISTENT;
  if (cls != CKO_HW_FEATURE) return CKR_TEMPLATE_INCONSISTENT;
  rv = GetTemplateUlong(tmpl, count, CKA_HW_FEATURE_TYPE, type);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) {
    if (defaultType == ~0UL) return CKR_TEMPLATE_INCOMPLETE;
    *type = defaultType;
  } else if (rv != CKR_OK) {
    return rv;
  } else if (defaultType != ~0UL && *type != defaultType) {
    return CKR_TEMPLATE_INCONSISTENT;
  }
  return ValidateHwFeatureTemplate(tmpl, count, P11_MODE_CREATE, *type, version);
}

template <class T>
CK_RV CreateFeature(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version,
                    CK_HW_FEATURE_TYPE ownType) {
  if (object == nullptr) return CKR_ARGUMENTS_BAD;
  *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_HW_FEATURE_TYPE type = ~0UL;
  CK_RV rv = CheckFeatureTemplate(tmpl, count, version, ownType, &type);
  if (rv != CKR_OK) return rv;
  return P11FinishCreate(new (std::nothrow) T(), tmpl, count, version, object);
}

}  // namespace

// ---- classes ----

CPkcs11ObjectHwFeature::CPkcs11ObjectHwFeature(CK_HW_FEATURE_TYPE featureType)
    : CPkcs11ObjectHwFeature(featureType, nullptr, 0) {}

CPkcs11ObjectHwFeature::CPkcs11ObjectHwFeature(CK_HW_FEATURE_TYPE featureType, const Pkcs11AttributeDef* defs,
                                               size_t count)
    : CPkcs11Object(CKO_HW_FEATURE),
      m_constructedType(featureType),
      m_feature(kFeatureDefs, P11_COUNT(kFeatureDefs)),
      m_details(defs, count) {
  AddLevel(&m_feature);
  AddLevel(&m_details);
  m_feature.SetUlongByType(CKA_HW_FEATURE_TYPE, featureType);
}

CPkcs11ObjectHwFeature::~CPkcs11ObjectHwFeature() = default;

void CPkcs11ObjectHwFeature::ResetToDefaults() {
  CPkcs11Object::ResetToDefaults();
  m_feature.Reset();
  m_details.Reset();
  // Subclasses keep their feature type; the plain class goes back to ~0.
  if (m_details.Count() != 0) m_feature.SetUlongByType(CKA_HW_FEATURE_TYPE, m_constructedType);
}

CK_ULONG CPkcs11ObjectHwFeature::GetSubtype() const { return m_feature.GetUlong(0); }

CPkcs11Object* CPkcs11ObjectHwFeature::CreateEmptyLike() const { return new CPkcs11ObjectHwFeature(GetSubtype()); }

CK_RV CPkcs11ObjectHwFeature::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateHwFeatureTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

CPkcs11ObjectHwClock::CPkcs11ObjectHwClock() : CPkcs11ObjectHwFeature(CKH_CLOCK, kClockDefs, P11_COUNT(kClockDefs)) {}
CPkcs11ObjectHwMonotonicCounter::CPkcs11ObjectHwMonotonicCounter()
    : CPkcs11ObjectHwFeature(CKH_MONOTONIC_COUNTER, kCounterDefs, P11_COUNT(kCounterDefs)) {}
CPkcs11ObjectHwMirtalTokenInfo::CPkcs11ObjectHwMirtalTokenInfo()
    : CPkcs11ObjectHwFeature(CKH_MIRTAL_TOKEN_INFO, kTokenInfoDefs, P11_COUNT(kTokenInfoDefs)) {}
CPkcs11ObjectHwUserInterface::CPkcs11ObjectHwUserInterface()
    : CPkcs11ObjectHwFeature(CKH_USER_INTERFACE, kUserInterfaceDefs, P11_COUNT(kUserInterfaceDefs)) {}

// ---- validation and creation ----

CK_RV ValidateHwFeatureTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_HW_FEATURE_TYPE,
                                CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  if ((mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) && EffectivePkcs11Version(version) < P11_VERSION_2_11)
    return CKR_TEMPLATE_INCONSISTENT;
  return CKR_OK;
}

CK_RV CreateHwClockObject(const CK_ATTRIBUTE* t, CK_ULONG n, CPkcs11Object** o, CK_ULONG v) {
  return CreateFeature<CPkcs11ObjectHwClock>(t, n, o, v, CKH_CLOCK);
}
CK_RV CreateHwMonotonicCounterObject(const CK_ATTRIBUTE* t, CK_ULONG n, CPkcs11Object** o, CK_ULONG v) {
  return CreateFeature<CPkcs11ObjectHwMonotonicCounter>(t, n, o, v, CKH_MONOTONIC_COUNTER);
}
CK_RV CreateHwUserInterfaceObject(const CK_ATTRIBUTE* t, CK_ULONG n, CPkcs11Object** o, CK_ULONG v) {
  return CreateFeature<CPkcs11ObjectHwUserInterface>(t, n, o, v, CKH_USER_INTERFACE);
}
CK_RV CreateHwMirtalTokenInfoObject(const CK_ATTRIBUTE* t, CK_ULONG n, CPkcs11Object** o, CK_ULONG v) {
  return CreateFeature<CPkcs11ObjectHwMirtalTokenInfo>(t, n, o, v, CKH_MIRTAL_TOKEN_INFO);
}

CK_RV CreateHwFeatureObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  if (object == nullptr) return CKR_ARGUMENTS_BAD;
  *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_HW_FEATURE_TYPE type = ~0UL;
  CK_RV rv = CheckFeatureTemplate(tmpl, count, version, ~0UL, &type);
  if (rv != CKR_OK) return rv;
  switch (type) {
    case CKH_MONOTONIC_COUNTER: return CreateHwMonotonicCounterObject(tmpl, count, object, version);
    case CKH_CLOCK: return CreateHwClockObject(tmpl, count, object, version);
    case CKH_USER_INTERFACE: return CreateHwUserInterfaceObject(tmpl, count, object, version);
    case CKH_MIRTAL_TOKEN_INFO: return CreateHwMirtalTokenInfoObject(tmpl, count, object, version);
    default: return P11FinishCreate(new (std::nothrow) CPkcs11ObjectHwFeature(type), tmpl, count, version, object);
  }
}
