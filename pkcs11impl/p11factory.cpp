// The object factory.
#include "pkcs11impl/p11factory.h"

#include <new>

#include "pkcs11impl/p11cert.h"
#include "pkcs11impl/p11data.h"
#include "pkcs11impl/p11domparams.h"
#include "pkcs11impl/p11hwfeature.h"
#include "pkcs11impl/p11mechanism.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11seckey.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"

CK_RV P11FinishCreate(CPkcs11Object* obj, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG version,
                      CPkcs11Object** out) {
  if (out != nullptr) *out = nullptr;
  if (obj == nullptr) return CKR_HOST_MEMORY;
  if (out == nullptr) {
    delete obj;
    return CKR_ARGUMENTS_BAD;
  }
  obj->SetPkcs11Version(version);
  CK_RV rv = obj->SetAttributeValues(tmpl, count);
  if (rv != CKR_OK) {
    delete obj;
    return rv;
  }
  *out = obj;
  return CKR_OK;
}

namespace {

CK_RV Create(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version, bool storageOnly) {
  if (object == nullptr) return CKR_FUNCTION_FAILED;
  *object = nullptr;
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  // The default is read once: validation and the object follow the same version.
  version = EffectivePkcs11Version(version);
  CK_OBJECT_CLASS cls = ~0UL;
  CK_RV rv = GetTemplateClass(tmpl, count, &cls);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) return CKR_TEMPLATE_INCOMPLETE;
  if (rv != CKR_OK) return rv;
  rv = storageOnly ? ValidateStorageTemplate(tmpl, count, P11_MODE_CREATE, cls, ~0UL, version)
                   : ValidateObjectTemplate(tmpl, count, P11_MODE_CREATE, cls, ~0UL, version);
  if (rv != CKR_OK) return rv;
  try {
    switch (cls) {
      case CKO_DATA: rv = CreateDataObject(tmpl, count, object, version); break;
      case CKO_CERTIFICATE: rv = CreateCertificateObject(tmpl, count, object, version); break;
      case CKO_PUBLIC_KEY: rv = CreatePublicKeyObject(tmpl, count, object, version); break;
      case CKO_PRIVATE_KEY: rv = CreatePrivateKeyObject(tmpl, count, object, version); break;
      case CKO_SECRET_KEY: rv = CreateSecretKeyObject(tmpl, count, object, version); break;
      case CKO_DOMAIN_PARAMETERS: rv = CreateDomainParametersObject(tmpl, count, object, version); break;
      case CKO_HW_FEATURE:
        rv = storageOnly ? CKR_TEMPLATE_INCONSISTENT : CreateHwFeatureObject(tmpl, count, object, version);
        break;
      case CKO_MECHANISM:
        rv = storageOnly ? CKR_TEMPLATE_INCONSISTENT : CreateMechanismObject(tmpl, count, object, version);
        break;
      default: rv = CKR_TEMPLATE_INCONSISTENT; break;
    }
  } catch (const std::bad_alloc&) {
    rv = CKR_HOST_MEMORY;
  }
  // Success always comes with an object, and failure never leaves one.
  if (rv == CKR_OK && *object == nullptr) rv = CKR_FUNCTION_FAILED;
  if (rv != CKR_OK && *object != nullptr) {
    delete *object;
    *object = nullptr;
  }
  return rv;
}

}  // namespace

CK_RV CreateObjectFromTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version) {
  return Create(tmpl, count, object, version, false);
}

CK_RV CreateStorageObjectFromTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                      CK_ULONG version) {
  return Create(tmpl, count, object, version, true);
}
