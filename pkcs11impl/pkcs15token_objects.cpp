// The PKCS#15 token's card objects: creation, attribute reads and changes,
// destruction, sizes and searches, translated between PKCS#11 templates and the
// typed attribute lists of the card's PKCS#15 application.
#include <cstring>
#include <new>
#include <vector>

#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/pkcs15attrmap.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs11impl/session.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15errors.h"
#include "smartcard/sc_errors.h"
#include "support/ptrlist.h"

namespace {

constexpr CK_ULONG kUnavailable = CK_UNAVAILABLE_INFORMATION;

// Card results of the object operations: memory and handle failures by name,
// the rest through the common mapping.
CK_RV MapObjectResult(SCRESULT rv) {
  if (rv == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
  if (rv == SC_E_PKCS15_INVALID_HANDLE) return CKR_OBJECT_HANDLE_INVALID;
  return MapScErrorToCkr(rv, false);
}

bool TemplateHasTrue(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  CK_BBOOL v = CK_FALSE;
  return GetTemplateBool(tmpl, count, type, &v) == CKR_OK && v != CK_FALSE;
}

// Some hosts look a certificate up by a 256-byte identifier of which the card
// keeps the first 20 bytes: class, token, certificate type and identifier, in
// that order and sizes.
bool IsPaddedCertificateIdSearch(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  return tmpl != nullptr && count == 4 && tmpl[0].type == CKA_CLASS && tmpl[0].ulValueLen == 8 &&
         tmpl[1].type == CKA_TOKEN && tmpl[1].ulValueLen == 1 && tmpl[2].type == CKA_CERTIFICATE_TYPE &&
         tmpl[2].ulValueLen == 8 && tmpl[3].type == CKA_ID && tmpl[3].ulValueLen == 256 && tmpl[3].pValue != nullptr;
}

// Attributes that a change of an object of the kind may not touch.
bool IsFixedAttributeOf(uint32_t kind, CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS:
    case CKA_TOKEN:
    case CKA_PRIVATE:
    case CKA_MODIFIABLE: return true;
    case CKA_VALUE:
    case CKA_CERTIFICATE_TYPE:
    case CKA_SUBJECT: return KindCategory(kind) == P15_CATEGORY_CERTIFICATE;
    default: return false;
  }
}

// The directory list's answer: 1 private, 0 not, negative when it cannot tell.
SCRESULT ObjectPrivacy(SCPkcs15App* app, void* p15) {
  SCPkcs15ObjectList* list = app != nullptr ? app->FindListForHandle(p15) : nullptr;
  return list != nullptr ? list->IsPrivate(p15) : SC_E_PKCS15_INVALID_HANDLE;
}

}  // namespace

bool CPkcs15Token::IsPrivateObject(SCPkcs15App* app, void* p15) { return ObjectPrivacy(app, p15) > 0; }

bool CPkcs15Token::IsObjectModifiable(SCPkcs15App* app, void* p15) {
  SCPkcs15ObjectList* list = app != nullptr ? app->FindListForHandle(p15) : nullptr;
  return list == nullptr || list->IsReadOnly(p15) <= 0;
}

CK_RV CPkcs15Token::CheckObjectOnCard(CK_OBJECT_HANDLE h) {
  void* p15 = GetObjectForHandle(h);
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  const SCRESULT kind = app->GetObjectKind(p15);
  if (kind < 0) return MapObjectResult(kind);
  // A PIN's handle shares the handle space but names no object of the object calls.
  return ObjectKindToClass(static_cast<uint32_t>(kind)) == ~0UL ? CKR_OBJECT_HANDLE_INVALID : CKR_OK;
}

CK_RV CPkcs15Token::GetObjectSize(CK_OBJECT_HANDLE h, CK_ULONG_PTR size) {
  void* p15 = GetObjectForHandle(h);
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  if (IsPrivateObject(app, p15) && !IsUserLoggedIn()) {
    if (size != nullptr) *size = kUnavailable;
    return CKR_INFORMATION_SENSITIVE;
  }
  const SCRESULT n = app->GetObjectSize(p15);
  // -1 is the PKCS#15 layer's "size not known" (a key that lives only in the
  // card), not a failure.
  if (n == -1) {
    if (size != nullptr) *size = kUnavailable;
    return CKR_OK;
  }
  if (n < 0) return MapObjectResult(n);
  if (size != nullptr) *size = static_cast<CK_ULONG>(n);
  return CKR_OK;
}

CK_RV CPkcs15Token::CreateObject(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE newHandle) {
  if (tmpl == nullptr || count == 0) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;

  CK_OBJECT_CLASS cls = ~0UL;
  CK_RV rv = GetTemplateClass(tmpl, count, &cls);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) return CKR_TEMPLATE_INCOMPLETE;
  if (rv != CKR_OK) return rv;
  CK_ULONG subtype = ~0UL;
  if (cls == CKO_PRIVATE_KEY || cls == CKO_PUBLIC_KEY) {
    rv = GetTemplateKeyType(tmpl, count, &subtype);
  } else if (cls == CKO_CERTIFICATE) {
    rv = GetTemplateCertificateType(tmpl, count, &subtype);
  } else if (cls != CKO_DATA && cls != CKO_SECRET_KEY) {
    return CKR_TEMPLATE_INCONSISTENT;
  }
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) {
    subtype = ~0UL;
  } else if (rv != CKR_OK) {
    return rv;
  }
  const uint32_t kind = ObjectKindForClass(cls, subtype);
  if (kind == 0) return CKR_TEMPLATE_INCONSISTENT;
  if (newHandle != 0 && GetObjectForHandle(newHandle) != nullptr) return CKR_OBJECT_HANDLE_INVALID;

  // Any failure while the list is built stops here: the card never receives an
  // object made from part of a template.
  SCPkcs15ObjectAttributeList list;
  rv = BuildObjectAttributeList(kind, true, tmpl, count, &list);
  if (rv != CKR_OK) return rv;
  void* p15 = nullptr;
  if (kind == P15_KIND_X509_CERTIFICATE) {
    if (TemplateHasTrue(tmpl, count, CKA_MIRTAL_QUALIFIED_OBJECT)) return CKR_ATTRIBUTE_VALUE_INVALID;
    // A certificate of the card's qualified key goes into the qualified part's own file.
    rv = m_pApp->GetPkcs15Lib()->CreateQualifiedObject(app, &list, &p15);
    if (rv != QUALIFIED_NOT_HANDLED) {
      if (rv != CKR_OK) return rv;
      if (newHandle != 0) AddHandle(p15, newHandle);
      return CKR_OK;
    }
  }
  const SCRESULT made = app->CreateObject(list, &p15, 0);
  if (made < 0) return MapObjectResult(made);
  if (newHandle != 0) AddHandle(p15, newHandle);
  return CKR_OK;
}

CK_RV CPkcs15Token::GetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, TracedObject* found) {
  if (tmpl == nullptr || count == 0) return CKR_ARGUMENTS_BAD;
  void* p15 = GetObjectForHandle(h);
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  const SCRESULT kind = app->GetObjectKind(p15);
  if (kind < 0) return MapObjectResult(kind);
  const SCRESULT privacy = ObjectPrivacy(app, p15);
  if (privacy > 0 && !IsUserLoggedIn()) return CKR_OBJECT_HANDLE_INVALID;
  if (found != nullptr) {
    found->objectClass = ObjectKindToClass(static_cast<uint32_t>(kind));
    // A privacy the list cannot tell counts as private.
    found->isPrivate = privacy != 0;
  }
  return ReadObjectAttributes(app, p15, tmpl, count);
}

CK_RV CPkcs15Token::ReadObjectAttributes(SCPkcs15App* app, void* p15, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  const SCRESULT kind = app->GetObjectKind(p15);
  if (kind < 0) return MapObjectResult(kind);
  SCPkcs15ObjectAttributeList list;
  const uint32_t k = static_cast<uint32_t>(kind);
  const CK_RV built = BuildObjectAttributeList(k, false, tmpl, count, &list);
  if (built == CKR_HOST_MEMORY) return built;
  if (list.GetCount() > 0) {
    const SCRESULT got = app->GetAttributeValues(p15, &list);
    if (got == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
    if (got == SC_E_PKCS15_INVALID_HANDLE) return CKR_OBJECT_HANDLE_INVALID;
  }
  CK_RV result = built;
  for (CK_RV rv : {AttributesToTemplate(k, list, tmpl, count), GetDerivedAttributes(app, p15, tmpl, count),
                   CheckTemplateTypes(tmpl, count)})
    if (rv != CKR_OK) result = rv;
  return result;
}

CK_RV CPkcs15Token::GetDerivedAttributes(SCPkcs15App* app, void* p15, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  if (app == nullptr) return CKR_TOKEN_NOT_PRESENT;
  const SCRESULT k = app->GetObjectKind(p15);
  if (k < 0) return MapObjectResult(k);
  const uint32_t kind = static_cast<uint32_t>(k);
  CK_RV first = CKR_OK;
  auto keep = [&first](CK_RV rv) {
    if (first == CKR_OK) first = rv;
  };
  auto unavailable = [&keep](CK_ATTRIBUTE* a, CK_RV rv) {
    a->ulValueLen = kUnavailable;
    keep(rv);
  };
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE* a = &tmpl[i];
    const uint64_t mapped = MapAttributeToPkcs15(kind, a->type);
    CK_ULONG v = 0;
    switch (a->type) {
      case CKA_CLASS:
        v = ObjectKindToClass(kind);
        if (v == ~0UL)
          unavailable(a, CKR_FUNCTION_FAILED);
        else
          keep(SetAttributeBytes(a, &v, sizeof v));
        continue;
      case CKA_CERTIFICATE_TYPE:
        if (KindCategory(kind) != P15_CATEGORY_CERTIFICATE) {
          unavailable(a, CKR_ATTRIBUTE_TYPE_INVALID);
        } else {
          v = CKC_X_509;
          keep(SetAttributeBytes(a, &v, sizeof v));
        }
        continue;
      case CKA_KEY_TYPE:
        v = KeyTypeOfKind(kind);
        if (v == ~0UL)
          unavailable(a, CKR_ATTRIBUTE_TYPE_INVALID);
        else
          keep(SetAttributeBytes(a, &v, sizeof v));
        continue;
      default: break;
    }
    // The rest only where no card attribute answers the entry.
    if (mapped != p15attr::kNotStored) continue;
    switch (a->type) {
      case CKA_TOKEN: {
        const CK_BBOOL t = CK_TRUE;
        keep(SetAttributeBytes(a, &t, 1));
        break;
      }
      case CKA_SECONDARY_AUTH: {
        const CK_BBOOL f = CK_FALSE;
        keep(SetAttributeBytes(a, &f, 1));
        break;
      }
      case CKA_AUTH_PIN_FLAGS:
        v = 0;
        keep(SetAttributeBytes(a, &v, sizeof v));
        break;
      case CKA_MIRTAL_QUALIFIED_OBJECT: {
        const CK_BBOOL q = QualifiedObjectKind(app, p15) > 0 ? CK_TRUE : CK_FALSE;
        keep(SetAttributeBytes(a, &q, 1));
        break;
      }
      case CKA_KEY_GEN_MECHANISM: {
        SCPkcs15ObjectAttribute access(p15attr::kKeyAccess);
        const SCRESULT r = app->GetAttributeValue(p15, &access);
        uint32_t bits = 0, mask = 0;
        if (r == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
        if (r == SC_E_PKCS15_INVALID_ATTR) {
          unavailable(a, CKR_ATTRIBUTE_TYPE_INVALID);
          break;
        }
        if (r < 0 && r != SC_E_PKCS15_ATTR_NOT_FOUND) {
          unavailable(a, MapScErrorToCkr(r, false));
          break;
        }
        if (r >= 0) access.GetFlags(&bits, &mask);
        uint64_t flagsType = 0;
        const uint32_t local = GetFlagMaskForAttribute(CKA_LOCAL, &flagsType);
        // A key made elsewhere names no mechanism: the value says so.
        v = (bits & mask & local) != 0 ? KeyGenerationMechanismOfKind(kind) : kUnavailable;
        if (v == ~0UL) v = kUnavailable;
        keep(SetAttributeBytes(a, &v, sizeof v));
        break;
      }
      default:
        // Stored nowhere and not derived: nothing to say about it.
        unavailable(a, CKR_ATTRIBUTE_TYPE_INVALID);
        break;
    }
  }
  return first;
}

CK_RV CPkcs15Token::SetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  if (tmpl == nullptr || count == 0) return CKR_ARGUMENTS_BAD;
  void* p15 = GetObjectForHandle(h);
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  if (!app->IsWritable()) return CKR_TOKEN_WRITE_PROTECTED;
  if (!IsObjectModifiable(app, p15)) return CKR_ATTRIBUTE_READ_ONLY;
  const SCRESULT k = app->GetObjectKind(p15);
  if (k < 0) return MapObjectResult(k);
  const uint32_t kind = static_cast<uint32_t>(k);

  CK_RV rv = CKR_OK;
  const uint32_t keyClass = KindKeyClass(kind);
  if (KindCategory(kind) == P15_CATEGORY_KEY && (keyClass == P15_KEYCLASS_PRIVATE || keyClass == P15_KEYCLASS_PUBLIC)) {
    const CK_KEY_TYPE keyType = KeyTypeOfKind(kind);
    rv = keyClass == P15_KEYCLASS_PRIVATE ? ValidatePrivateKeyTemplate(tmpl, count, 1, keyType, 0)
                                          : ValidatePublicKeyTemplate(tmpl, count, 1, keyType, 0);
  } else if (KindCategory(kind) == P15_CATEGORY_CERTIFICATE || KindCategory(kind) == P15_CATEGORY_DATA) {
    for (CK_ULONG i = 0; i < count && rv == CKR_OK; ++i)
      if (IsFixedAttributeOf(kind, tmpl[i].type)) rv = CKR_ATTRIBUTE_READ_ONLY;
  }
  if (rv != CKR_OK) return rv;

  SCPkcs15ObjectAttributeList list;
  rv = BuildObjectAttributeList(kind, true, tmpl, count, &list);
  if (rv != CKR_OK || list.GetCount() == 0) return rv;
  rv = m_pApp->GetPkcs15Lib()->SetQualifiedObjectAttributes(app, p15, &list);
  if (rv != QUALIFIED_NOT_HANDLED) return rv;
  const SCRESULT set = app->SetAttributeValues(p15, &list);
  return set < 0 ? MapObjectResult(set) : CKR_OK;
}

CK_RV CPkcs15Token::DestroyObject(CK_OBJECT_HANDLE h) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* p15 = GetObjectForHandle(h);
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (GetLoggedInUserType() == CKU_NOBODY) return CKR_USER_NOT_LOGGED_IN;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  const SCRESULT kind = app->GetObjectKind(p15);
  if (kind < 0) return MapObjectResult(kind);
  if (!app->IsWritable()) return CKR_TOKEN_WRITE_PROTECTED;
  CK_RV rv = m_pApp->GetPkcs15Lib()->DestroyQualifiedObject(app, p15);
  if (rv == QUALIFIED_NOT_HANDLED) {
    const SCRESULT destroyed = app->DestroyObject(p15, true);
    rv = destroyed < 0 ? MapObjectResult(destroyed) : CKR_OK;
  }
  if (rv == CKR_OK) m_handles.RemoveByPkcs15(reinterpret_cast<uintptr_t>(p15));
  return rv;
}

CK_RV CPkcs15Token::FindObjectsInit(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, PointerList* result, bool clear) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;

  SCPkcs15ObjectAttributeList search;
  std::vector<CK_ULONG> compareLater;
  const CK_RV built = BuildSearchAttributeList(tmpl, count, &search, &compareLater);
  // A template that names nothing the card can hold finds nothing.
  if (built == CKR_ATTRIBUTE_TYPE_UNSUPPORTED) return CKR_OK;
  if (built != CKR_OK) return built;
  if (clear && result != nullptr) result->RemoveAll();

  const bool publicOnly = !IsUserLoggedIn();
  std::vector<void*> found;
  SCRESULT n = app->FindObjects(&search, &found, publicOnly ? 1 : 0);
  if (n == 0 && IsPaddedCertificateIdSearch(tmpl, count)) {
    SCPkcs15ObjectAttribute* id = search.FindAttribute(p15attr::kAnyId);
    if (id == nullptr) id = search.FindAttribute(p15attr::kCertId);
    if (id != nullptr && id->GetLength() > 20) {
      id->SetValue(tmpl[3].pValue, 20);
      found.clear();
      n = app->FindObjects(&search, &found, publicOnly ? 1 : 0);
    }
  }
  if (n < 0) {
    // A directory the card did not give (its channel refused the answer, no answer
    // came) fails the search as the device's error, never as the module's.
    const CK_RV rv = MapObjectResult(n);
    return rv == CKR_GENERAL_ERROR && scIsReadFailure(n) ? CKR_DEVICE_ERROR : rv;
  }
  try {
    for (void* p15 : found) {
      if (publicOnly && IsPrivateObject(app, p15)) continue;
      // What the card stores nowhere is compared with what the object answers.
      CK_RV matches = CKR_OK;
      for (size_t i = 0; i < compareLater.size() && matches == CKR_OK; ++i)
        matches = ObjectHasValue(app, p15, tmpl[compareLater[i]]);
      if (matches == CKR_HOST_MEMORY) return matches;
      if (matches != CKR_OK) continue;
      if (result != nullptr) result->AddTail(p15);
    }
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

CK_RV CPkcs15Token::ObjectHasValue(SCPkcs15App* app, void* p15, const CK_ATTRIBUTE& wanted) {
  CK_ATTRIBUTE probe = {wanted.type, nullptr, 0};
  CK_RV rv = ReadObjectAttributes(app, p15, &probe, 1);
  if (rv == CKR_HOST_MEMORY) return rv;
  if (rv != CKR_OK || probe.ulValueLen != wanted.ulValueLen) return CKR_FUNCTION_FAILED;
  if (wanted.ulValueLen == 0) return CKR_OK;
  if (wanted.pValue == nullptr) return CKR_FUNCTION_FAILED;
  std::vector<CK_BYTE> value(wanted.ulValueLen);
  probe.pValue = value.data();
  rv = ReadObjectAttributes(app, p15, &probe, 1);
  if (rv == CKR_HOST_MEMORY) return rv;
  if (rv != CKR_OK || probe.ulValueLen != wanted.ulValueLen ||
      std::memcmp(value.data(), wanted.pValue, wanted.ulValueLen) != 0)
    return CKR_FUNCTION_FAILED;
  return CKR_OK;
}

int CPkcs15Token::QualifiedObjectKind(SCPkcs15App* app, void* p15) {
  return IsAttached() && app != nullptr ? m_pApp->GetPkcs15Lib()->GetQualifiedObjectKind(app, p15) : 0;
}
