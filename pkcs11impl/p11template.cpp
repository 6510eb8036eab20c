// Template helpers: single attributes out of CK_ATTRIBUTE arrays, key-type and
// class patterns, template buffers and the repair of cut UTF-8 fields.
#include "pkcs11impl/p11template.h"

#include <cstring>
#include <new>
#include <utility>

#include "support/textutil.h"

namespace {

constexpr CK_ULONG kAllOnes = ~0UL;

long AsSigned(CK_ULONG v) { return static_cast<long>(v); }

bool IsKeyGroup(CK_ULONG v) {
  long s = AsSigned(v);
  return s <= -2 && s >= -10;
}

bool GroupHas(long group, CK_ULONG keyType) {
  CK_ULONG k = keyType;
  switch (group) {
    case -2: return k != kAllOnes;
    case -3: return k <= 5 || k == CKK_NSS_PKCS8;
    case -4: return (k >= 16 && k <= 33) || k == 36 || k == 37;
    case -5: return k >= 19 && k <= 21;
    case -6: return k >= 20 && k <= 21;
    case -7: return k >= 34 && k <= 36;
    case -8: return k == 1 || k == 5;
    case -9: return k >= 27 && k <= 29;
    case -10: return k == 16 || k == 50;
    default: return false;
  }
}

// Reads a CK_ULONG-sized attribute; presets *out.
CK_RV GetUlongAttr(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_ULONG* out, CK_ULONG preset) {
  if (out != nullptr) *out = preset;
  const CK_ATTRIBUTE* a = nullptr;
  if (!FindTemplateAttribute(tmpl, count, type, &a)) return CKR_ATTRIBUTE_NOT_FOUND;
  if (a->pValue == nullptr || a->ulValueLen != sizeof(CK_ULONG)) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (out != nullptr) std::memcpy(out, a->pValue, sizeof(CK_ULONG));
  return CKR_OK;
}

}  // namespace

bool KeyTypeMatches(CK_ULONG pattern, CK_ULONG keyType) {
  if (!IsKeyGroup(pattern) && IsKeyGroup(keyType)) std::swap(pattern, keyType);
  if (pattern == kAllOnes) return keyType == kAllOnes;
  if (IsKeyGroup(pattern)) {
    if (keyType == pattern) return true;
    return GroupHas(AsSigned(pattern), keyType);
  }
  return pattern == keyType;
}

bool ObjectClassMatches(CK_ULONG pattern, CK_ULONG objectClass) {
  switch (AsSigned(pattern)) {
    case -1: return objectClass == kAllOnes;
    case -2: return true;
    case -3:
      return objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY || objectClass == CKO_SECRET_KEY ||
             objectClass == CKO_DOMAIN_PARAMETERS || objectClass == CKO_OTP_KEY ||
             AsSigned(objectClass) == -4 || AsSigned(objectClass) == -3;
    case -4:
      return objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY || AsSigned(objectClass) == -4;
    default: return pattern == objectClass;
  }
}

bool FindTemplateAttribute(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                           const CK_ATTRIBUTE** attr) {
  if (attr != nullptr) *attr = nullptr;
  if (tmpl == nullptr) return false;
  for (CK_ULONG i = 0; i < count; ++i) {
    if (tmpl[i].type == type) {
      if (attr != nullptr) *attr = &tmpl[i];
      return true;
    }
  }
  return false;
}

bool TemplateHasAttribute(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  return FindTemplateAttribute(tmpl, count, type, nullptr);
}

bool TemplateContradictsItsKind(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr) return false;
  for (CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE}) {
    const CK_ATTRIBUTE* first = nullptr;
    for (CK_ULONG i = 0; i < count; ++i) {
      const CK_ATTRIBUTE& a = tmpl[i];
      if (a.type != type) continue;
      if (first == nullptr) {
        first = &a;
        continue;
      }
      // Values that are no CK_ULONG are left to the value checks.
      if (a.pValue == nullptr || first->pValue == nullptr || a.ulValueLen != sizeof(CK_ULONG) ||
          first->ulValueLen != sizeof(CK_ULONG))
        continue;
      if (std::memcmp(a.pValue, first->pValue, sizeof(CK_ULONG)) != 0) return true;
    }
  }
  return false;
}

CK_RV GetTemplateClass(const CK_ATTRIBUTE* t, CK_ULONG n, CK_OBJECT_CLASS* out) {
  return GetUlongAttr(t, n, CKA_CLASS, out, kAllOnes);
}
CK_RV GetTemplateKeyType(const CK_ATTRIBUTE* t, CK_ULONG n, CK_KEY_TYPE* out) {
  return GetUlongAttr(t, n, CKA_KEY_TYPE, out, kAllOnes);
}
CK_RV GetTemplateCertificateType(const CK_ATTRIBUTE* t, CK_ULONG n, CK_CERTIFICATE_TYPE* out) {
  return GetUlongAttr(t, n, CKA_CERTIFICATE_TYPE, out, kAllOnes);
}
CK_RV GetTemplateUlong(const CK_ATTRIBUTE* t, CK_ULONG n, CK_ATTRIBUTE_TYPE type, CK_ULONG* out) {
  return GetUlongAttr(t, n, type, out, 0);
}

CK_RV GetTemplateBool(const CK_ATTRIBUTE* t, CK_ULONG n, CK_ATTRIBUTE_TYPE type, CK_BBOOL* out) {
  if (out != nullptr) *out = 0;
  const CK_ATTRIBUTE* a = nullptr;
  if (!FindTemplateAttribute(t, n, type, &a)) return CKR_ATTRIBUTE_NOT_FOUND;
  if (a->pValue == nullptr || a->ulValueLen != sizeof(CK_BBOOL)) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (out != nullptr) *out = *static_cast<const CK_BBOOL*>(a->pValue);
  return CKR_OK;
}

bool LookupTriple(const uint64_t (*rows)[3], size_t count, uint64_t key, uint64_t* a, uint64_t* b) {
  if (rows == nullptr) return false;
  for (size_t i = 0; i < count; ++i) {
    if (rows[i][0] == key) {
      if (a) *a = rows[i][1];
      if (b) *b = rows[i][2];
      return true;
    }
  }
  return false;
}

void FreeTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr) return;
  for (CK_ULONG i = 0; i < count; ++i) {
    delete[] static_cast<unsigned char*>(tmpl[i].pValue);
    tmpl[i].pValue = nullptr;
  }
}

namespace {
bool AllocValues(CK_ATTRIBUTE* tmpl, CK_ULONG count, bool onlyMissing) {
  if (tmpl == nullptr) return count == 0;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ULONG len = tmpl[i].ulValueLen;
    if (len == 0 || len == kAllOnes) continue;
    if (onlyMissing && tmpl[i].pValue != nullptr) continue;
    unsigned char* p = new (std::nothrow) unsigned char[len]();
    if (p == nullptr) return false;
    if (!onlyMissing) delete[] static_cast<unsigned char*>(tmpl[i].pValue);
    tmpl[i].pValue = p;
  }
  return true;
}
}  // namespace

bool AllocTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count) { return AllocValues(tmpl, count, false); }
bool AllocMissingTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count) { return AllocValues(tmpl, count, true); }

bool FixTruncatedUtf8Field(unsigned char* field, size_t length, unsigned char padChar) {
  if (field == nullptr || length == 0 || length > 0x7FFFFFFF) return false;
  const char* text = reinterpret_cast<const char*>(field);
  if (Utf8Validate(text, static_cast<int>(length)) >= 0) return false;
  for (size_t cut = 1; cut <= 5 && cut <= length; ++cut) {
    size_t keep = length - cut;
    if (keep == 0 || Utf8Validate(text, static_cast<int>(keep)) >= 0) {
      std::memset(field + keep, padChar, cut);
      return true;
    }
  }
  return false;
}
