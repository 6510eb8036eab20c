// Domain-parameter objects.
#include "pkcs11impl/p11domparams.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

namespace {

const Pkcs11AttributeDef kDomainDefs[] = {
    {CKA_KEY_TYPE, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
    {CKA_LOCAL, P11Kind::Bool, 0, ~0UL, CK_FALSE, 0},
};
const Pkcs11AttributeDef kDhDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_PRIME_BITS, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
};
const Pkcs11AttributeDef kDsaDefs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_PRIME_BITS, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
};
const Pkcs11AttributeDef kX942Defs[] = {
    {CKA_PRIME, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_BASE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_SUBPRIME, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_PRIME_BITS, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
    {CKA_SUBPRIME_BITS, P11Kind::Ulong, 0, ~0UL, ~0UL, 0},
};

CK_RV DomainRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_PRIME_BITS};
  CK_RV rv = P11StorageRules(tmpl, count, mode, version);
  if (rv != CKR_OK) return rv;
  switch (mode) {
    case P11_MODE_MODIFY:
      return P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
    case P11_MODE_CREATE:
      if (!TemplateHasAttribute(tmpl, count, CKA_KEY_TYPE)) return CKR_TEMPLATE_INCOMPLETE;
      if (version < P11_VERSION_2_11) return CKR_TEMPLATE_INCONSISTENT;
      if (P11TemplateBoolTrue(tmpl, count, CKA_LOCAL)) return CKR_ATTRIBUTE_VALUE_INVALID;
      return CKR_OK;
    case P11_MODE_GENERATE:
      return version < P11_VERSION_2_11 ? CKR_TEMPLATE_INCONSISTENT : CKR_OK;
    default:
      return CKR_OK;
  }
}

const CK_ATTRIBUTE_TYPE kPrimeBits[] = {CKA_PRIME_BITS};

const CK_ATTRIBUTE_TYPE kDhReadOnly[] = {CKA_PRIME, CKA_BASE, CKA_PRIME_BITS};
const CK_ATTRIBUTE_TYPE kDhValues[] = {CKA_PRIME, CKA_BASE};
const CK_ATTRIBUTE_TYPE kDsaReadOnly[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_PRIME_BITS};
const CK_ATTRIBUTE_TYPE kDsaValues[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE};
const CK_ATTRIBUTE_TYPE kX942ReadOnly[] = {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_PRIME_BITS, CKA_SUBPRIME_BITS};

P11LeafRules ParamRules(CK_KEY_TYPE keyType, P11KnownFn known, const CK_ATTRIBUTE_TYPE* ro, size_t roCount,
                        const CK_ATTRIBUTE_TYPE* values, size_t valueCount, CK_ULONG minVersion) {
  P11LeafRules r{};
  r.objectClass = CKO_DOMAIN_PARAMETERS;
  r.subtypeAttr = CKA_KEY_TYPE;
  r.subtype = keyType;
  r.known = known;
  r.parentRules = DomainRules;
  r.readOnly = ro;
  r.readOnlyCount = roCount;
  r.createRequired = values;
  r.createRequiredCount = valueCount;
  r.createForbidden = kPrimeBits;
  r.createForbiddenCount = 1;
  r.generateRequired = kPrimeBits;
  r.generateRequiredCount = 1;
  r.generateForbidden = values;
  r.generateForbiddenCount = valueCount;
  r.generateForbiddenFirst = true;
  r.minVersionToBuild = minVersion;
  return r;
}

}  // namespace

// ---- classes ----

CPkcs11ObjectDomainParameters::CPkcs11ObjectDomainParameters(CK_KEY_TYPE keyType)
    : CPkcs11ObjectStorage(CKO_DOMAIN_PARAMETERS), m_domain(kDomainDefs, P11_COUNT(kDomainDefs)) {
  AddLevel(&m_domain);
  SetKeyTypeMember(keyType);
}
CPkcs11ObjectDomainParameters::~CPkcs11ObjectDomainParameters() = default;

void CPkcs11ObjectDomainParameters::SetKeyTypeMember(CK_KEY_TYPE keyType) {
  m_domain.SetUlongByType(CKA_KEY_TYPE, keyType);
}

void CPkcs11ObjectDomainParameters::ResetToDefaults() {
  CPkcs11ObjectStorage::ResetToDefaults();
  m_domain.Reset();
}

CK_ULONG CPkcs11ObjectDomainParameters::GetSubtype() const { return m_domain.GetUlong(0); }

CPkcs11Object* CPkcs11ObjectDomainParameters::CreateEmptyLike() const {
  return new CPkcs11ObjectDomainParameters(m_domain.GetUlong(0));
}

bool CPkcs11ObjectDomainParameters::IsDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kDomainDefs, P11_COUNT(kDomainDefs), type, version) || IsStorageAttribute(type, version);
}

CK_RV CPkcs11ObjectDomainParameters::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateDomainParametersTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

CPkcs11ObjectDhDomainParameters::CPkcs11ObjectDhDomainParameters()
    : CPkcs11ObjectDomainParameters(CKK_DH), m_params(kDhDefs, P11_COUNT(kDhDefs)) {
  AddLevel(&m_params);
}
CPkcs11ObjectDhDomainParameters::~CPkcs11ObjectDhDomainParameters() = default;
void CPkcs11ObjectDhDomainParameters::ResetToDefaults() {
  CPkcs11ObjectDomainParameters::ResetToDefaults();
  m_params.Reset();
  SetKeyTypeMember(CKK_DH);
}
bool CPkcs11ObjectDhDomainParameters::IsDhDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kDhDefs, P11_COUNT(kDhDefs), type, version) || IsDomainParametersAttribute(type, version);
}

CPkcs11ObjectDsaDomainParameters::CPkcs11ObjectDsaDomainParameters()
    : CPkcs11ObjectDomainParameters(CKK_DSA), m_params(kDsaDefs, P11_COUNT(kDsaDefs)) {
  AddLevel(&m_params);
}
CPkcs11ObjectDsaDomainParameters::~CPkcs11ObjectDsaDomainParameters() = default;
void CPkcs11ObjectDsaDomainParameters::ResetToDefaults() {
  CPkcs11ObjectDomainParameters::ResetToDefaults();
  m_params.Reset();
  SetKeyTypeMember(CKK_DSA);
}
bool CPkcs11ObjectDsaDomainParameters::IsDsaDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kDsaDefs, P11_COUNT(kDsaDefs), type, version) || IsDomainParametersAttribute(type, version);
}

CPkcs11ObjectX942DhDomainParameters::CPkcs11ObjectX942DhDomainParameters()
    : CPkcs11ObjectDomainParameters(CKK_X9_42_DH), m_params(kX942Defs, P11_COUNT(kX942Defs)) {
  AddLevel(&m_params);
}
CPkcs11ObjectX942DhDomainParameters::~CPkcs11ObjectX942DhDomainParameters() = default;
void CPkcs11ObjectX942DhDomainParameters::ResetToDefaults() {
  CPkcs11ObjectDomainParameters::ResetToDefaults();
  m_params.Reset();
  SetKeyTypeMember(CKK_X9_42_DH);
}
bool CPkcs11ObjectX942DhDomainParameters::IsX942DhDomainParametersAttribute(CK_ATTRIBUTE_TYPE type,
                                                                            CK_ULONG version) {
  return AttributeDefsKnow(kX942Defs, P11_COUNT(kX942Defs), type, version) ||
         IsDomainParametersAttribute(type, version);
}

// ---- validators ----

CK_RV ValidateDhDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                         CK_KEY_TYPE keyType, CK_ULONG version) {
  return P11ValidateLeaf(ParamRules(CKK_DH, CPkcs11ObjectDhDomainParameters::IsDhDomainParametersAttribute,
                                    kDhReadOnly, P11_COUNT(kDhReadOnly), kDhValues, P11_COUNT(kDhValues), 0),
                         tmpl, count, mode, keyType, version);
}

CK_RV ValidateDsaDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                          CK_KEY_TYPE keyType, CK_ULONG version) {
  return P11ValidateLeaf(ParamRules(CKK_DSA, CPkcs11ObjectDsaDomainParameters::IsDsaDomainParametersAttribute,
                                    kDsaReadOnly, P11_COUNT(kDsaReadOnly), kDsaValues, P11_COUNT(kDsaValues),
                                    P11_VERSION_2_11),
                         tmpl, count, mode, keyType, version);
}

CK_RV ValidateX942DhDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                             CK_KEY_TYPE keyType, CK_ULONG version) {
  return P11ValidateLeaf(
      ParamRules(CKK_X9_42_DH, CPkcs11ObjectX942DhDomainParameters::IsX942DhDomainParametersAttribute, kX942ReadOnly,
                 P11_COUNT(kX942ReadOnly), kDhValues, P11_COUNT(kDhValues), P11_VERSION_2_11),
      tmpl, count, mode, keyType, version);
}

CK_RV ValidateDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                       CK_ULONG version) {
  static const P11KeyTypeRoute kRoutes[] = {
      {CKK_DH, ValidateDhDomainParametersTemplate, CKK_DH},
      {CKK_DSA, ValidateDsaDomainParametersTemplate, CKK_DSA},
      {CKK_KEA, ValidateDsaDomainParametersTemplate, CKK_DSA},
      {CKK_X9_42_DH, ValidateX942DhDomainParametersTemplate, CKK_X9_42_DH},
  };
  static const P11KeyTypeLevel kLevel = {CKO_DOMAIN_PARAMETERS,
                                         CPkcs11ObjectDomainParameters::IsDomainParametersAttribute, DomainRules,
                                         kRoutes, P11_COUNT(kRoutes)};
  return P11ValidateByKeyType(kLevel, tmpl, count, mode, keyType, version);
}

// ---- creator ----

CK_RV CreateDomainParametersObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                   CK_ULONG version) {
  if (object != nullptr) *object = nullptr;
  version = EffectivePkcs11Version(version);
  if (version < P11_VERSION_2_11) return CKR_TEMPLATE_INCONSISTENT;
  CK_KEY_TYPE keyType = ~0UL;
  if (GetTemplateKeyType(tmpl, count, &keyType) != CKR_OK) return CKR_TEMPLATE_INCONSISTENT;
  if (keyType != CKK_DH && keyType != CKK_DSA && keyType != CKK_X9_42_DH) return CKR_TEMPLATE_INCONSISTENT;
  CK_RV rv = ValidateDomainParametersTemplate(tmpl, count, P11_MODE_CREATE, keyType, version);
  if (rv != CKR_OK) return rv;
  if (object == nullptr) return CKR_FUNCTION_FAILED;
  CPkcs11Object* obj = nullptr;
  if (keyType == CKK_DH)
    obj = new (std::nothrow) CPkcs11ObjectDhDomainParameters();
  else if (keyType == CKK_DSA)
    obj = new (std::nothrow) CPkcs11ObjectDsaDomainParameters();
  else
    obj = new (std::nothrow) CPkcs11ObjectX942DhDomainParameters();
  return P11FinishCreate(obj, tmpl, count, version, object);
}
