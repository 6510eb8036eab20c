// The top of the validator chain and the shared rule helpers.
#include "pkcs11impl/p11validate.h"

#include "pkcs11impl/p11cert.h"
#include "pkcs11impl/p11data.h"
#include "pkcs11impl/p11domparams.h"
#include "pkcs11impl/p11key.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/p11storage.h"
#include "pkcs11impl/p11template.h"

namespace {

// The template helpers report an absent attribute with an internal value; it
// never leaves the object model.
CK_RV Absent(CK_RV rv) { return rv == CKR_ATTRIBUTE_NOT_FOUND ? CKR_TEMPLATE_INCOMPLETE : rv; }

bool IsPlaceholder(CK_ULONG v) { return v == P11_NOT_GIVEN || v == P11_ALREADY_CHECKED; }

}  // namespace

CK_RV P11CheckKnown(const CK_ATTRIBUTE* tmpl, CK_ULONG count, P11KnownFn known, CK_ULONG version) {
  for (CK_ULONG i = 0; i < count; ++i)
    if (!known(tmpl[i].type, version)) return CKR_ATTRIBUTE_TYPE_INVALID;
  return CKR_OK;
}

CK_RV P11CheckTemplateUlong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ATTRIBUTE_TYPE type,
                            CK_ULONG expected) {
  CK_ULONG v = 0;
  CK_RV rv = GetTemplateUlong(tmpl, count, type, &v);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) return mode == P11_MODE_CREATE ? CKR_TEMPLATE_INCOMPLETE : CKR_OK;
  if (rv != CKR_OK) return rv;
  return v == expected ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

CK_RV P11CheckNoneOf(const CK_ATTRIBUTE* tmpl, CK_ULONG count, const CK_ATTRIBUTE_TYPE* list, size_t n, CK_RV rv) {
  for (size_t i = 0; i < n; ++i)
    if (TemplateHasAttribute(tmpl, count, list[i])) return rv;
  return CKR_OK;
}

CK_RV P11CheckAllOf(const CK_ATTRIBUTE* tmpl, CK_ULONG count, const CK_ATTRIBUTE_TYPE* list, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!TemplateHasAttribute(tmpl, count, list[i])) return CKR_TEMPLATE_INCOMPLETE;
  return CKR_OK;
}

bool P11TemplateBoolTrue(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  const CK_ATTRIBUTE* a = nullptr;
  if (!FindTemplateAttribute(tmpl, count, type, &a)) return false;
  return P11BoolFromValue(a->pValue, a->ulValueLen);
}

CK_RV P11ResolveSubtype(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ATTRIBUTE_TYPE attr,
                        CK_ULONG arg, CK_ULONG* resolved) {
  *resolved = arg;
  if (arg == P11_ALREADY_CHECKED) return CKR_OK;
  CK_ULONG tv = ~0UL;
  CK_RV rv = GetTemplateUlong(tmpl, count, attr, &tv);
  bool present = rv == CKR_OK;
  if (rv != CKR_OK && rv != CKR_ATTRIBUTE_NOT_FOUND) return rv;
  if (!present) {
    if (mode == P11_MODE_CREATE) return CKR_TEMPLATE_INCOMPLETE;
    return CKR_OK;  // the argument stands (~0: this level only)
  }
  if (arg == P11_NOT_GIVEN) {
    *resolved = tv;
    return CKR_OK;
  }
  bool match = attr == CKA_KEY_TYPE ? KeyTypeMatches(arg, tv) : arg == tv;
  if (!match) return CKR_TEMPLATE_INCONSISTENT;
  *resolved = tv;
  return CKR_OK;
}

CK_RV P11ValidateLeaf(const P11LeafRules& r, const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                      CK_ULONG subtypeArg, CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_RV rv;
  if (subtypeArg != P11_ALREADY_CHECKED) {
    for (CK_ULONG i = 0; i < count; ++i)
      if (!AttributeDefsKnow(r.defs, r.defCount, tmpl[i].type, version) && !r.known(tmpl[i].type, version))
        return CKR_ATTRIBUTE_TYPE_INVALID;
  }
  rv = P11CheckTemplateUlong(tmpl, count, mode, CKA_CLASS, r.objectClass);
  if (rv != CKR_OK) return rv;
  if (r.subtypeAttr != ~0UL) {
    rv = P11CheckTemplateUlong(tmpl, count, mode, r.subtypeAttr, r.subtype);
    if (rv != CKR_OK) return rv;
  }
  if (r.minVersionToBuild != 0 && (mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) &&
      version < r.minVersionToBuild)
    return CKR_TEMPLATE_INCONSISTENT;
  if (r.parentRules != nullptr) {
    rv = r.parentRules(tmpl, count, mode, version);
    if (rv != CKR_OK) return rv;
  }
  switch (mode) {
    case P11_MODE_MODIFY:
      return P11CheckNoneOf(tmpl, count, r.readOnly, r.readOnlyCount, CKR_ATTRIBUTE_READ_ONLY);
    case P11_MODE_CREATE:
      rv = P11CheckAllOf(tmpl, count, r.createRequired, r.createRequiredCount);
      if (rv == CKR_OK && r.extra != nullptr) rv = r.extra(tmpl, count, mode, version);
      if (rv == CKR_OK)
        rv = P11CheckNoneOf(tmpl, count, r.createForbidden, r.createForbiddenCount, CKR_TEMPLATE_INCONSISTENT);
      return rv;
    case P11_MODE_GENERATE: {
      CK_RV forbiddenRv = r.generateForbiddenRv != 0 ? r.generateForbiddenRv : CKR_TEMPLATE_INCONSISTENT;
      if (r.generateForbiddenFirst) {
        rv = P11CheckNoneOf(tmpl, count, r.generateForbidden, r.generateForbiddenCount, forbiddenRv);
        if (rv != CKR_OK) return rv;
      }
      rv = P11CheckAllOf(tmpl, count, r.generateRequired, r.generateRequiredCount);
      if (rv == CKR_OK && r.extra != nullptr) rv = r.extra(tmpl, count, mode, version);
      if (rv == CKR_OK)
        rv = P11CheckNoneOf(tmpl, count, r.generateForbidden, r.generateForbiddenCount, forbiddenRv);
      return rv;
    }
    default:
      return CKR_OK;
  }
}

CK_RV P11ValidateByKeyType(const P11KeyTypeLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                           CK_KEY_TYPE keyType, CK_ULONG version) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  CK_ULONG type = keyType;
  CK_RV rv = P11ResolveSubtype(tmpl, count, mode, CKA_KEY_TYPE, keyType, &type);
  if (rv != CKR_OK) return rv;
  for (size_t i = 0; i < level.routeCount; ++i) {
    const P11KeyTypeRoute& route = level.routes[i];
    if (route.keyType == type) return route.validate(tmpl, count, mode, route.passAs, version);
  }
  if (type != P11_NOT_GIVEN && type != P11_ALREADY_CHECKED) return CKR_TEMPLATE_INCONSISTENT;
  if (type == P11_NOT_GIVEN) {
    rv = P11CheckKnown(tmpl, count, level.known, version);
    if (rv != CKR_OK) return rv;
  }
  rv = P11CheckTemplateUlong(tmpl, count, mode, CKA_CLASS, level.objectClass);
  if (rv != CKR_OK) return rv;
  return level.rules(tmpl, count, mode, version);
}

CK_RV P11StorageRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG) {
  static const CK_ATTRIBUTE_TYPE kReadOnly[] = {CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE};
  if (mode == P11_MODE_MODIFY)
    return P11CheckNoneOf(tmpl, count, kReadOnly, P11_COUNT(kReadOnly), CKR_ATTRIBUTE_READ_ONLY);
  return CKR_OK;
}

namespace {

// Steps shared by the object and storage levels.
CK_RV ValidateTop(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                  CK_ULONG subtype, CK_ULONG version, bool storageOnly) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  version = EffectivePkcs11Version(version);
  if (mode == P11_MODE_CREATE) {
    CK_OBJECT_CLASS tc = ~0UL;
    CK_RV rv = GetTemplateClass(tmpl, count, &tc);
    if (rv != CKR_OK) return Absent(rv);
    if (objectClass == P11_NOT_GIVEN) {
      objectClass = tc;
      subtype = P11_NOT_GIVEN;
    } else if (!ObjectClassMatches(objectClass, tc)) {
      return CKR_TEMPLATE_INCONSISTENT;
    } else if (objectClass == P11_ALREADY_CHECKED) {
      objectClass = tc;
    }
  }
  switch (objectClass) {
    case CKO_DATA:
      return ValidateDataTemplate(tmpl, count, mode, subtype, version);
    case CKO_CERTIFICATE:
      return ValidateCertificateTemplate(tmpl, count, mode, subtype, version);
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
    case CKO_SECRET_KEY:
      return ValidateKeyTemplate(tmpl, count, mode, objectClass, subtype, version);
    case CKO_DOMAIN_PARAMETERS:
      return ValidateDomainParametersTemplate(tmpl, count, mode, subtype, version);
    case CKO_HW_FEATURE:
      if (storageOnly) return CKR_ATTRIBUTE_TYPE_INVALID;
      if ((mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) && version < P11_VERSION_2_11)
        return CKR_TEMPLATE_INCONSISTENT;
      return CKR_OK;
    case CKO_MECHANISM:
      if (storageOnly) return CKR_ATTRIBUTE_TYPE_INVALID;
      if ((mode == P11_MODE_CREATE || mode == P11_MODE_GENERATE) && version < P11_VERSION_2_20)
        return CKR_TEMPLATE_INCONSISTENT;
      return CKR_OK;
    default:
      if (!IsPlaceholder(objectClass)) return CKR_ATTRIBUTE_TYPE_INVALID;
      break;
  }
  if (objectClass == P11_NOT_GIVEN) {
    for (CK_ULONG i = 0; i < count; ++i)
      if (!IsCommonObjectAttribute(tmpl[i].type, version)) return CKR_ATTRIBUTE_TYPE_INVALID;
  }
  if (mode == P11_MODE_MODIFY) {
    if (storageOnly) return P11StorageRules(tmpl, count, mode, version);
    if (TemplateHasAttribute(tmpl, count, CKA_CLASS)) return CKR_ATTRIBUTE_READ_ONLY;
  }
  return CKR_OK;
}

}  // namespace

CK_RV ValidateObjectTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                             CK_ULONG subtype, CK_ULONG version) {
  return ValidateTop(tmpl, count, mode, objectClass, subtype, version, false);
}

CK_RV ValidateStorageTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                              CK_ULONG subtype, CK_ULONG version) {
  return ValidateTop(tmpl, count, mode, objectClass, subtype, version, true);
}
