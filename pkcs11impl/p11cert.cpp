// Certificate objects.
#include "pkcs11impl/p11cert.h"

#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"
#include "support/vtest.h"

namespace {

const Pkcs11AttributeDef kCertificateDefs[] = {
    {CKA_CERTIFICATE_TYPE, P11Kind::UlongCert, 0, ~0UL, ~0UL, 0},
    {CKA_TRUSTED, P11Kind::Bool, 523, ~0UL, CK_FALSE, 0},
    {CKA_CERTIFICATE_CATEGORY, P11Kind::UlongCert, 532, ~0UL, 0, 0},
    {CKA_CHECK_VALUE, P11Kind::Bytes, 532, ~0UL, 0, 0},
    {CKA_START_DATE, P11Kind::Bytes, 532, ~0UL, 0, 0},
    {CKA_END_DATE, P11Kind::Bytes, 532, ~0UL, 0, 0},
};

const Pkcs11AttributeDef kX509Defs[] = {
    {CKA_SUBJECT, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_ID, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_ISSUER, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_SERIAL_NUMBER, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_VALUE, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_URL, P11Kind::Bytes, 532, ~0UL, 0, 0},
    {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, P11Kind::Bytes, 532, ~0UL, 0, 0},
    {CKA_HASH_OF_ISSUER_PUBLIC_KEY, P11Kind::Bytes, 532, ~0UL, 0, 0},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, P11Kind::UlongLoose, 532, ~0UL, 0, 0},
    {CKA_NAME_HASH_ALGORITHM, P11Kind::UlongLoose, 542, ~0UL, CKM_SHA_1, 0},
};

bool HasNonEmpty(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  const CK_ATTRIBUTE* a = nullptr;
  return FindTemplateAttribute(tmpl, count, type, &a) && a->pValue != nullptr && a->ulValueLen != 0 &&
         a->ulValueLen != ~0UL;
}

CK_RV CertificateRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_CERTIFICATE_TYPE, CKA_TRUSTED, CKA_CERTIFICATE_CATEGORY};
  CK_RV rv = P11StorageRules(tmpl, count, mode, version);
  if (rv == CKR_OK && mode == P11_MODE_MODIFY)
    rv = P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
  return rv;
}

// Creation: CKA_SUBJECT always; CKA_VALUE, or from 2.20 on a URL with both key hashes.
CK_RV X509CreateRule(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version) {
  if (mode != P11_MODE_CREATE) return CKR_OK;
  if (version < P11_VERSION_2_20)
    return TemplateHasAttribute(tmpl, count, CKA_VALUE) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
  if (!HasNonEmpty(tmpl, count, CKA_URL))
    return HasNonEmpty(tmpl, count, CKA_VALUE) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
  if (!HasNonEmpty(tmpl, count, CKA_HASH_OF_SUBJECT_PUBLIC_KEY) || !HasNonEmpty(tmpl, count, CKA_HASH_OF_ISSUER_PUBLIC_KEY))
    return CKR_TEMPLATE_INCOMPLETE;
  return CKR_OK;
}

const CK_ATTRIBUTE_TYPE kX509ReadOnly[] = {CKA_SUBJECT,
                                           CKA_VALUE,
                                           CKA_JAVA_MIDP_SECURITY_DOMAIN,
                                           CKA_URL,
                                           CKA_HASH_OF_SUBJECT_PUBLIC_KEY,
                                           CKA_HASH_OF_ISSUER_PUBLIC_KEY,
                                           CKA_NAME_HASH_ALGORITHM};
const CK_ATTRIBUTE_TYPE kX509CreateRequired[] = {CKA_SUBJECT};

P11LeafRules X509Rules() {
  P11LeafRules r{};
  r.objectClass = CKO_CERTIFICATE;
  r.subtypeAttr = CKA_CERTIFICATE_TYPE;
  r.subtype = CKC_X_509;
  r.known = CPkcs11ObjectX509Certificate::IsX509CertificateAttribute;
  r.parentRules = CertificateRules;
  r.readOnly = kX509ReadOnly;
  r.readOnlyCount = P11_COUNT(kX509ReadOnly);
  r.createRequired = kX509CreateRequired;
  r.createRequiredCount = P11_COUNT(kX509CreateRequired);
  r.extra = X509CreateRule;
  return r;
}

// The certificate level alone (no subtype level below it).
CK_RV CertificateLevel(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version, bool checkKnown) {
  P11LeafRules r{};
  r.objectClass = CKO_CERTIFICATE;
  r.subtypeAttr = ~0UL;
  r.known = CPkcs11ObjectCertificate::IsCertificateAttribute;
  r.parentRules = CertificateRules;
  return P11ValidateLeaf(r, tmpl, count, mode, checkKnown ? P11_NOT_GIVEN : P11_ALREADY_CHECKED, version);
}

}  // namespace

// ---- CPkcs11ObjectCertificate ----

CPkcs11ObjectCertificate::CPkcs11ObjectCertificate(CK_CERTIFICATE_TYPE certificateType)
    : CPkcs11ObjectStorage(CKO_CERTIFICATE), m_certificate(kCertificateDefs, P11_COUNT(kCertificateDefs)) {
  AddLevel(&m_certificate);
  m_certificate.SetUlongByType(CKA_CERTIFICATE_TYPE, certificateType);
}

CPkcs11ObjectCertificate::~CPkcs11ObjectCertificate() = default;

void CPkcs11ObjectCertificate::ResetToDefaults() {
  CPkcs11ObjectStorage::ResetToDefaults();
  m_certificate.Reset();
  m_storage.SetBoolByType(CKA_PRIVATE, false);
  m_storage.SetBoolByType(CKA_MODIFIABLE, true);
}

CK_ULONG CPkcs11ObjectCertificate::GetSubtype() const { return m_certificate.GetUlong(0); }

CPkcs11Object* CPkcs11ObjectCertificate::CreateEmptyLike() const {
  return new CPkcs11ObjectCertificate(m_certificate.GetUlong(0));
}

bool CPkcs11ObjectCertificate::IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE type) const {
  return type == CKA_MIRTAL_QUALIFIED_OBJECT && GetEffectiveVersion() >= P11_VERSION_DEFAULT;
}

bool CPkcs11ObjectCertificate::IsCertificateAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  if (type == CKA_MIRTAL_QUALIFIED_OBJECT) return EffectivePkcs11Version(version) >= P11_VERSION_DEFAULT;
  return AttributeDefsKnow(kCertificateDefs, P11_COUNT(kCertificateDefs), type, version) ||
         IsStorageAttribute(type, version);
}

CK_RV CPkcs11ObjectCertificate::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateCertificateTemplate(tmpl, count, mode, GetSubtype(), GetPkcs11Version());
}

// ---- CPkcs11ObjectX509Certificate ----

CPkcs11ObjectX509Certificate::CPkcs11ObjectX509Certificate()
    : CPkcs11ObjectCertificate(CKC_X_509), m_x509(kX509Defs, P11_COUNT(kX509Defs)) {
  AddLevel(&m_x509);
}

CPkcs11ObjectX509Certificate::~CPkcs11ObjectX509Certificate() = default;

void CPkcs11ObjectX509Certificate::ResetToDefaults() {
  CPkcs11ObjectCertificate::ResetToDefaults();
  m_x509.Reset();
  m_certificate.SetUlongByType(CKA_CERTIFICATE_TYPE, CKC_X_509);
}

bool CPkcs11ObjectX509Certificate::IsX509CertificateAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return AttributeDefsKnow(kX509Defs, P11_COUNT(kX509Defs), type, version) || IsCertificateAttribute(type, version);
}

CK_RV CPkcs11ObjectX509Certificate::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateX509CertificateTemplate(tmpl, count, mode, CKC_X_509, GetPkcs11Version());
}

// ---- validators ----

CK_RV ValidateCertificateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                  CK_CERTIFICATE_TYPE certificateType, CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_ULONG type = certificateType;
  CK_RV rv = P11ResolveSubtype(tmpl, count, mode, CKA_CERTIFICATE_TYPE, certificateType, &type);
  if (rv != CKR_OK) return rv;
  if (type == CKC_X_509) return ValidateX509CertificateTemplate(tmpl, count, mode, CKC_X_509, version);
  if (type == P11_NOT_GIVEN) return CertificateLevel(tmpl, count, mode, version, true);
  if (type == P11_ALREADY_CHECKED) return CertificateLevel(tmpl, count, mode, version, false);
  return CKR_TEMPLATE_INCONSISTENT;
}

CK_RV ValidateX509CertificateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                      CK_CERTIFICATE_TYPE certificateType, CK_ULONG version) {
  return P11ValidateLeaf(X509Rules(), tmpl, count, mode, certificateType, version);
}

// ---- creators ----

CK_RV CreateCertificateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  AssertInvariant(object != nullptr, "p11cert", __LINE__, "pNewObject");
  *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_CERTIFICATE_TYPE type = ~0UL;
  CK_RV rv = GetTemplateCertificateType(tmpl, count, &type);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND || (rv == CKR_OK && type == CKC_X_509))
    return CreateX509CertificateObject(tmpl, count, object, version);
  if (rv != CKR_OK || type == ~0UL) return CKR_TEMPLATE_INCONSISTENT;
  rv = CertificateLevel(tmpl, count, P11_MODE_CREATE, version, true);
  if (rv != CKR_OK) return rv;
  return P11FinishCreate(new (std::nothrow) CPkcs11ObjectCertificate(type), tmpl, count, version, object);
}

CK_RV CreateX509CertificateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                  CK_ULONG version) {
  if (object == nullptr) return CKR_ARGUMENTS_BAD;
  *object = nullptr;
  version = EffectivePkcs11Version(version);
  CK_CERTIFICATE_TYPE type = ~0UL;
  CK_RV rv = GetTemplateCertificateType(tmpl, count, &type);
  P11LeafRules rules = X509Rules();
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    rules.subtypeAttr = ~0UL;  // an absent type is taken as X.509
  else if (rv != CKR_OK || type != CKC_X_509)
    return CKR_TEMPLATE_INCONSISTENT;
  rv = P11ValidateLeaf(rules, tmpl, count, P11_MODE_CREATE, CKC_X_509, version);
  if (rv != CKR_OK) return rv;
  return P11FinishCreate(new (std::nothrow) CPkcs11ObjectX509Certificate(), tmpl, count, version, object);
}
