// Domain-parameter objects (CKO_DOMAIN_PARAMETERS): DH, DSA and X9.42 DH.
#ifndef MIRTAL_PKCS11IMPL_P11DOMPARAMS_H
#define MIRTAL_PKCS11IMPL_P11DOMPARAMS_H

#include "pkcs11impl/p11storage.h"

class CPkcs11ObjectDomainParameters : public CPkcs11ObjectStorage {
public:
  explicit CPkcs11ObjectDomainParameters(CK_KEY_TYPE keyType);
  ~CPkcs11ObjectDomainParameters() override;
  void ResetToDefaults() override;
  CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const override;
  CK_ULONG GetSubtype() const override;
  static bool IsDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override;
  void SetKeyTypeMember(CK_KEY_TYPE keyType);
  Pkcs11AttributeLevel m_domain;
};

class CPkcs11ObjectDhDomainParameters : public CPkcs11ObjectDomainParameters {
public:
  CPkcs11ObjectDhDomainParameters();
  ~CPkcs11ObjectDhDomainParameters() override;
  void ResetToDefaults() override;
  static bool IsDhDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectDhDomainParameters(); }
  Pkcs11AttributeLevel m_params;
};

class CPkcs11ObjectDsaDomainParameters : public CPkcs11ObjectDomainParameters {
public:
  CPkcs11ObjectDsaDomainParameters();
  ~CPkcs11ObjectDsaDomainParameters() override;
  void ResetToDefaults() override;
  static bool IsDsaDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectDsaDomainParameters(); }
  Pkcs11AttributeLevel m_params;
};

class CPkcs11ObjectX942DhDomainParameters : public CPkcs11ObjectDomainParameters {
public:
  CPkcs11ObjectX942DhDomainParameters();
  ~CPkcs11ObjectX942DhDomainParameters() override;
  void ResetToDefaults() override;
  static bool IsX942DhDomainParametersAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

protected:
  CPkcs11Object* CreateEmptyLike() const override { return new CPkcs11ObjectX942DhDomainParameters(); }
  Pkcs11AttributeLevel m_params;
};

CK_RV ValidateDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_KEY_TYPE keyType,
                                       CK_ULONG version);
CK_RV ValidateDhDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                         CK_KEY_TYPE keyType, CK_ULONG version);
CK_RV ValidateDsaDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                          CK_KEY_TYPE keyType, CK_ULONG version);
CK_RV ValidateX942DhDomainParametersTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                                             CK_KEY_TYPE keyType, CK_ULONG version);
CK_RV CreateDomainParametersObject(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                   CK_ULONG version);

#endif
