// Certificate objects (CKO_CERTIFICATE) and X.509 public-key certificates.
#ifndef MIRTAL_PKCS11IMPL_P11CERT_H
#define MIRTAL_PKCS11IMPL_P11CERT_H

#include "pkcs11impl/p11storage.h"

class CPkcs11ObjectCertificate : public CPkcs11ObjectStorage {
public:
  explicit CPkcs11ObjectCertificate(CK_CERTIFICATE_TYPE certificateType);
  ~CPkcs11ObjectCertificate() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  CK_ULONG GetSubtype() const override;
  static bool IsCertificateAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override;
  bool IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE type) const override;
  Pkcs11AttributeLevel m_certificate;
};

class CPkcs11ObjectX509Certificate : public CPkcs11ObjectCertificate {
public:
  CPkcs11ObjectX509Certificate();
  ~CPkcs11ObjectX509Certificate() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  static bool IsX509CertificateAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectX509Certificate(); }
  Pkcs11AttributeLevel m_x509;
};

CK_RV ValidateCertificateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                  CK_CERTIFICATE_TYPE certificateType, CK_ULONG version);
CK_RV ValidateX509CertificateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                      CK_CERTIFICATE_TYPE certificateType, CK_ULONG version);
CK_RV CreateCertificateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);
CK_RV CreateX509CertificateObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                  CK_ULONG version);

#endif
