#include "pkcs11impl/pkcs15attrmap.h"

#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15errors.h"
#include "support/textutil.h"

namespace {

using A = SCPkcs15ObjectAttribute;

constexpr CK_ULONG kUnavailable = CK_UNAVAILABLE_INFORMATION;

struct FlagRow {
  CK_ATTRIBUTE_TYPE type;
  uint64_t p15Type;
  uint32_t bit;
};

const FlagRow kFlagRows[16] = {
    {CKA_PRIVATE, p15attr::kObjectFlags, 0x1},       {CKA_MODIFIABLE, p15attr::kObjectFlags, 0x2},
    {CKA_SENSITIVE, p15attr::kKeyAccess, 0x1},       {CKA_EXTRACTABLE, p15attr::kKeyAccess, 0x2},
    {CKA_ALWAYS_SENSITIVE, p15attr::kKeyAccess, 0x4}, {CKA_NEVER_EXTRACTABLE, p15attr::kKeyAccess, 0x8},
    {CKA_LOCAL, p15attr::kKeyAccess, 0x10},          {CKA_ENCRYPT, p15attr::kKeyUsage, 0x1},
    {CKA_DECRYPT, p15attr::kKeyUsage, 0x2},          {CKA_SIGN, p15attr::kKeyUsage, 0x4},
    {CKA_SIGN_RECOVER, p15attr::kKeyUsage, 0x8},     {CKA_WRAP, p15attr::kKeyUsage, 0x10},
    {CKA_UNWRAP, p15attr::kKeyUsage, 0x20},          {CKA_VERIFY, p15attr::kKeyUsage, 0x40},
    {CKA_VERIFY_RECOVER, p15attr::kKeyUsage, 0x80},  {CKA_DERIVE, p15attr::kKeyUsage, 0x100},
};

bool InRange(CK_ATTRIBUTE_TYPE t, CK_ATTRIBUTE_TYPE lo, CK_ATTRIBUTE_TYPE hi) { return t >= lo && t <= hi; }

// Key types that a PKCS#15 algorithm byte stands for (index = algorithm).
const CK_KEY_TYPE kAlgorithmKeyTypes[] = {~0UL, CKK_RSA, CKK_DSA, CKK_DH, CKK_EC, CKK_KEA};

// The algorithm byte of an asymmetric key type; 0 when the card has none for it.
uint32_t AlgorithmOfKeyType(CK_KEY_TYPE keyType) {
  for (uint32_t a = 1; a < sizeof kAlgorithmKeyTypes / sizeof kAlgorithmKeyTypes[0]; ++a)
    if (kAlgorithmKeyTypes[a] == keyType) return a;
  return 0;
}

bool IsSecretKeyType(CK_KEY_TYPE t) { return t == CKK_GENERIC_SECRET || InRange(t, CKK_RC2, CKK_JUNIPER) || t == CKK_AES; }

uint32_t SecretKindOfKeyType(CK_KEY_TYPE t) {
  return (static_cast<uint32_t>(t - CKK_GENERIC_SECRET) << 24) | P15_KIND_SECRET_KEY;
}

// The mapping rows that hold for every non-zero kind.
uint64_t MapCommon(CK_ATTRIBUTE_TYPE type, bool* found) {
  *found = true;
  switch (type) {
    case CKA_CLASS: return p15attr::kKind;
    case CKA_TOKEN: return p15attr::kNotStored;
    case CKA_PRIVATE: return p15attr::kObjectFlags;
    case CKA_LABEL: return p15attr::kLabel;
    case CKA_MODIFIABLE: return p15attr::kObjectFlags;
    default: *found = false; return p15attr::kNotStored;
  }
}

uint64_t MapCertificate(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_VALUE: return p15attr::kCertValue;
    case CKA_CERTIFICATE_TYPE: return p15attr::kKind;
    case CKA_ISSUER: return p15attr::kCertIssuer;
    case CKA_SERIAL_NUMBER: return p15attr::kCertSerialNumber;
    case CKA_TRUSTED: return p15attr::kCertTrusted;
    case CKA_SUBJECT: return p15attr::kCertSubject;
    case CKA_ID: return p15attr::kCertId;
    case CKA_MIRTAL_QUALIFIED_OBJECT: return p15attr::kNotStored;
    default: return p15attr::kInvalid;
  }
}

uint64_t MapData(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_VALUE: return p15attr::kDataValue;
    case CKA_OBJECT_ID: return p15attr::kDataObjectId;
    case CKA_APPLICATION: return p15attr::kDataApplication;
    default: return p15attr::kInvalid;
  }
}

uint64_t MapPrivateKey(uint32_t algorithm, CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_EXTRACTABLE:
    case CKA_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
    case CKA_ALWAYS_SENSITIVE: return p15attr::kKeyAccess;
    case CKA_DECRYPT:
    case CKA_UNWRAP:
    case CKA_SIGN:
    case CKA_SIGN_RECOVER: return p15attr::kKeyUsage;
    case CKA_SUBJECT: return p15attr::kPrivateSubject;
    case CKA_ALWAYS_AUTHENTICATE: return p15attr::kUserConsent;
    case CKA_SECONDARY_AUTH:
    case CKA_AUTH_PIN_FLAGS:
    case CKA_MIRTAL_QUALIFIED_OBJECT: return p15attr::kNotStored;
    default: break;
  }
  switch (algorithm) {
    case P15_ALG_RSA:
      if (InRange(type, CKA_MODULUS, CKA_COEFFICIENT) && type != CKA_MODULUS_BITS) {
        // Modulus and public exponent, then the private exponent onwards: one type each.
        if (type == CKA_MODULUS) return p15attr::kRsaPrivateModulus;
        return p15attr::kRsaPrivatePublicExponent + (type - CKA_PUBLIC_EXPONENT);
      }
      return p15attr::kInvalid;
    case P15_ALG_DSA:
      if (InRange(type, CKA_PRIME, CKA_BASE)) return p15attr::kDsaPrivatePrime + (type - CKA_PRIME);
      if (type == CKA_VALUE) return p15attr::kPrivateValue;
      return p15attr::kInvalid;
    case P15_ALG_EC:
      if (type == CKA_VALUE) return p15attr::kPrivateValue;
      if (type == CKA_EC_PARAMS) return p15attr::kPrivateEcParams;
      return p15attr::kInvalid;
    default: return p15attr::kNotStored;
  }
}

uint64_t MapPublicKey(uint32_t algorithm, CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_ENCRYPT:
    case CKA_WRAP:
    case CKA_VERIFY:
    case CKA_VERIFY_RECOVER: return p15attr::kKeyUsage;
    case CKA_TRUSTED: return p15attr::kPublicTrusted;
    case CKA_SUBJECT: return p15attr::kPublicSubject;
    default: break;
  }
  switch (algorithm) {
    case P15_ALG_RSA:
      if (type == CKA_MODULUS_BITS) return p15attr::kRsaPublicModulusBits;
      if (type == CKA_MODULUS) return p15attr::kRsaPublicModulus;
      if (type == CKA_PUBLIC_EXPONENT) return p15attr::kRsaPublicExponent;
      break;
    case P15_ALG_EC:
      if (type == CKA_EC_PARAMS) return p15attr::kPublicEcParams;
      if (type == CKA_EC_POINT) return p15attr::kPublicValue;
      break;
    case P15_ALG_DSA:
      if (InRange(type, CKA_PRIME, CKA_BASE)) return p15attr::kDsaPublicPrime + (type - CKA_PRIME);
      if (type == CKA_VALUE) return p15attr::kPublicValue;
      break;
    default: break;
  }
  return p15attr::kInvalid;
}

uint64_t MapSecretKey(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_VALUE: return p15attr::kSecretValue;
    case CKA_VALUE_LEN: return p15attr::kSecretValueLength;
    case CKA_SENSITIVE:
    case CKA_EXTRACTABLE:
    case CKA_NEVER_EXTRACTABLE:
    case CKA_ALWAYS_SENSITIVE: return p15attr::kKeyAccess;
    default: break;
  }
  if (InRange(type, CKA_ENCRYPT, CKA_SIGN) || type == CKA_VERIFY) return p15attr::kKeyUsage;
  return p15attr::kInvalid;
}

uint64_t MapKey(uint32_t kind, CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_START_DATE: return p15attr::kStartDate;
    case CKA_END_DATE: return p15attr::kEndDate;
    case CKA_ID: return p15attr::kKeyId;
    case CKA_DERIVE: return p15attr::kKeyUsage;
    case CKA_KEY_TYPE: return p15attr::kKind;
    case CKA_LOCAL: return p15attr::kKeyAccess;
    case CKA_KEY_GEN_MECHANISM: return p15attr::kNotStored;
    default: break;
  }
  switch (KindKeyClass(kind)) {
    case P15_KEYCLASS_PRIVATE: return MapPrivateKey(KindAlgorithm(kind), type);
    case P15_KEYCLASS_PUBLIC: return MapPublicKey(KindAlgorithm(kind), type);
    case P15_KEYCLASS_SECRET: return MapSecretKey(type);
    default: return p15attr::kNotStored;  // a key of any class: only the rows above apply
  }
}

uint64_t MapAnyKind(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS: return p15attr::kKind;
    case CKA_TOKEN: return p15attr::kInvalid;
    case CKA_PRIVATE: return p15attr::kObjectFlags;
    case CKA_LABEL: return p15attr::kLabel;
    case CKA_APPLICATION: return p15attr::kDataApplication;
    case CKA_OBJECT_ID: return p15attr::kDataObjectId;
    case CKA_VALUE: return p15attr::kAnyValue;
    case CKA_CERTIFICATE_TYPE: return p15attr::kKind;
    case CKA_ISSUER: return p15attr::kCertIssuer;
    case CKA_SERIAL_NUMBER: return p15attr::kCertSerialNumber;
    case CKA_TRUSTED: return p15attr::kAnyTrusted;
    case CKA_KEY_TYPE: return p15attr::kKind;
    case CKA_SUBJECT: return p15attr::kAnySubject;
    case CKA_ID: return p15attr::kAnyId;
    case CKA_SENSITIVE: return p15attr::kKeyAccess;
    case CKA_START_DATE: return p15attr::kStartDate;
    case CKA_END_DATE: return p15attr::kEndDate;
    case CKA_MODULUS: return p15attr::kAnyModulus;
    case CKA_MODULUS_BITS: return p15attr::kRsaPublicModulusBits;
    case CKA_PUBLIC_EXPONENT: return p15attr::kAnyPublicExponent;
    case CKA_VALUE_LEN: return p15attr::kAnyValueLength;
    case CKA_KEY_GEN_MECHANISM: return p15attr::kNotStored;
    case CKA_MODIFIABLE: return p15attr::kObjectFlags;
    case CKA_EC_PARAMS: return p15attr::kAnyEcParams;
    case CKA_EC_POINT: return p15attr::kPublicValue;
    case CKA_SECONDARY_AUTH:
    case CKA_AUTH_PIN_FLAGS: return p15attr::kNotStored;
    case CKA_ALWAYS_AUTHENTICATE: return p15attr::kUserConsent;
    case CKA_MIRTAL_QUALIFIED_OBJECT: return p15attr::kNotStored;
    default: break;
  }
  if (InRange(type, CKA_ENCRYPT, CKA_DERIVE)) return p15attr::kKeyUsage;
  if (InRange(type, CKA_PRIVATE_EXPONENT, CKA_COEFFICIENT))
    return p15attr::kRsaPrivateExponent + (type - CKA_PRIVATE_EXPONENT);
  if (InRange(type, CKA_PRIME, CKA_BASE)) return p15attr::kAnyPrime + (type - CKA_PRIME);
  if (InRange(type, CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE)) return p15attr::kKeyAccess;
  return p15attr::kInvalid;
}

// The kinds whose private or public values are DER INTEGERs on the card (and
// the elliptic-curve public kind, whose point is a DER OCTET STRING).
bool IsWrappedValue(uint32_t kind, uint64_t p15Type) {
  if (p15Type != p15attr::kPrivateValue && p15Type != p15attr::kPublicValue && p15Type != p15attr::kAnyValue)
    return false;
  if (KindCategory(kind) != P15_CATEGORY_KEY) return false;
  const uint32_t alg = KindAlgorithm(kind);
  return alg == P15_ALG_DSA || alg == P15_ALG_DH || alg == P15_ALG_EC || alg == P15_ALG_KEA;
}

bool IsEcPublicKind(uint32_t kind) {
  return KindCategory(kind) == P15_CATEGORY_KEY && KindKeyClass(kind) == P15_KEYCLASS_PUBLIC &&
         KindAlgorithm(kind) == P15_ALG_EC;
}

bool ValidDate(const uint8_t* p) {
  for (int i = 0; i < 8; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  const unsigned year = (p[0] - '0') * 1000u + (p[1] - '0') * 100u + (p[2] - '0') * 10u + (p[3] - '0');
  const unsigned month = (p[4] - '0') * 10u + (p[5] - '0');
  const unsigned day = (p[6] - '0') * 10u + (p[7] - '0');
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  unsigned last = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) last = 29;
  return day <= last;
}

bool ReadUlong(const CK_ATTRIBUTE& a, CK_ULONG* out) {
  if (a.pValue == nullptr || a.ulValueLen != sizeof(CK_ULONG)) return false;
  std::memcpy(out, a.pValue, sizeof(CK_ULONG));
  return true;
}

// A stored integer of up to eight octets.
bool StoredUlong(const A& a, CK_ULONG* out) {
  uint32_t len = 0;
  const uint8_t* p = a.GetBinary(&len);
  while (len > 0 && *p == 0) {
    ++p;
    --len;
  }
  if (len > sizeof(CK_ULONG)) return false;
  CK_ULONG v = 0;
  for (uint32_t i = 0; i < len; ++i) v = (v << 8) | p[i];
  *out = v;
  return true;
}

// Keeps the strongest failure of a template read: sensitive, then type invalid,
// then buffer too small, then the first other failure.
void KeepReadFailure(CK_RV* result, CK_RV rv) {
  if (rv == CKR_OK) return;
  static const CK_RV kOrder[] = {CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID, CKR_BUFFER_TOO_SMALL};
  auto rank = [](CK_RV r) {
    for (int i = 0; i < 3; ++i)
      if (kOrder[i] == r) return i;
    return 3;
  };
  if (*result == CKR_OK || rank(rv) < rank(*result)) *result = rv;
}

CK_RV WriteUlong(CK_ATTRIBUTE* a, CK_ULONG v) { return SetAttributeBytes(a, &v, sizeof v); }

CK_RV WriteBool(CK_ATTRIBUTE* a, bool v) {
  const CK_BBOOL b = v ? CK_TRUE : CK_FALSE;
  return SetAttributeBytes(a, &b, 1);
}

}  // namespace

// ---- kinds ----

CK_OBJECT_CLASS ObjectKindToClass(uint32_t kind) {
  switch (KindCategory(kind)) {
    case P15_CATEGORY_CERTIFICATE: return CKO_CERTIFICATE;
    case P15_CATEGORY_DATA: return CKO_DATA;
    case P15_CATEGORY_KEY:
      switch (KindKeyClass(kind)) {
        case P15_KEYCLASS_PRIVATE: return CKO_PRIVATE_KEY;
        case P15_KEYCLASS_PUBLIC: return CKO_PUBLIC_KEY;
        case P15_KEYCLASS_SECRET: return CKO_SECRET_KEY;
        default: return ~0UL;
      }
    default: return ~0UL;
  }
}

CK_KEY_TYPE KeyTypeOfKind(uint32_t kind) {
  if (KindCategory(kind) != P15_CATEGORY_KEY) return ~0UL;
  const uint32_t alg = KindAlgorithm(kind);
  if (KindKeyClass(kind) == P15_KEYCLASS_SECRET) {
    const CK_KEY_TYPE t = CKK_GENERIC_SECRET + alg;
    return IsSecretKeyType(t) ? t : ~0UL;
  }
  if (KindKeyClass(kind) != P15_KEYCLASS_PRIVATE && KindKeyClass(kind) != P15_KEYCLASS_PUBLIC) return ~0UL;
  return alg < sizeof kAlgorithmKeyTypes / sizeof kAlgorithmKeyTypes[0] ? kAlgorithmKeyTypes[alg] : ~0UL;
}

CK_MECHANISM_TYPE KeyGenerationMechanismOfKind(uint32_t kind) {
  if (KindCategory(kind) != P15_CATEGORY_KEY || KindKeyClass(kind) == P15_KEYCLASS_SECRET) return ~0UL;
  switch (KindAlgorithm(kind)) {
    case P15_ALG_RSA: return CKM_RSA_PKCS_KEY_PAIR_GEN;
    case P15_ALG_DSA: return CKM_DSA_KEY_PAIR_GEN;
    case P15_ALG_DH: return CKM_DH_PKCS_KEY_PAIR_GEN;
    case P15_ALG_EC: return CKM_EC_KEY_PAIR_GEN;
    case P15_ALG_KEA: return CKM_KEA_KEY_PAIR_GEN;
    default: return ~0UL;
  }
}

uint32_t ObjectKindForClass(CK_OBJECT_CLASS objectClass, CK_ULONG subtype) {
  switch (objectClass) {
    case CKO_DATA: return P15_KIND_DATA;
    case CKO_CERTIFICATE: return subtype == ~0UL || subtype == CKC_X_509 ? P15_KIND_X509_CERTIFICATE : P15_KIND_ANY;
    case CKO_PRIVATE_KEY:
    case CKO_PUBLIC_KEY: {
      const uint32_t keyClass = objectClass == CKO_PRIVATE_KEY ? P15_KEYCLASS_PRIVATE : P15_KEYCLASS_PUBLIC;
      const uint32_t alg = subtype == ~0UL ? P15_ALG_RSA : AlgorithmOfKeyType(subtype);
      return alg == 0 ? 0 : MakeKeyKind(alg, keyClass);
    }
    case CKO_SECRET_KEY: return P15_KIND_SECRET_KEY;
    default: return 0;
  }
}

uint32_t GetFlagMaskForAttribute(CK_ATTRIBUTE_TYPE type, uint64_t* p15Type) {
  for (const FlagRow& r : kFlagRows)
    if (r.type == type) {
      if (p15Type) *p15Type = r.p15Type;
      return r.bit;
    }
  if (p15Type) *p15Type = 0;
  return 0;
}

uint64_t MapAttributeToPkcs15(uint32_t kind, CK_ATTRIBUTE_TYPE type) {
  if (kind == P15_KIND_ANY) return MapAnyKind(type);
  bool found = false;
  const uint64_t common = MapCommon(type, &found);
  if (found) return common;
  switch (KindCategory(kind)) {
    case P15_CATEGORY_CERTIFICATE: return MapCertificate(type);
    case P15_CATEGORY_DATA: return MapData(type);
    case P15_CATEGORY_KEY: return MapKey(kind, type);
    default: return p15attr::kNotStored;
  }
}

bool IsReadableTokenAttribute(CK_ATTRIBUTE_TYPE t) {
  return InRange(t, CKA_CLASS, CKA_LABEL) || t == CKA_APPLICATION || t == CKA_VALUE || t == CKA_OBJECT_ID ||
         t == CKA_CERTIFICATE_TYPE || t == CKA_ISSUER || t == CKA_SERIAL_NUMBER || t == CKA_TRUSTED ||
         InRange(t, CKA_KEY_TYPE, CKA_DERIVE) || t == CKA_START_DATE || t == CKA_END_DATE ||
         InRange(t, CKA_MODULUS, CKA_COEFFICIENT) || InRange(t, CKA_PRIME, CKA_BASE) ||
         InRange(t, CKA_VALUE_BITS, CKA_KEY_GEN_MECHANISM) || t == CKA_MODIFIABLE || t == CKA_EC_PARAMS ||
         t == CKA_EC_POINT || t == CKA_SECONDARY_AUTH || t == CKA_AUTH_PIN_FLAGS || t == CKA_ALWAYS_AUTHENTICATE ||
         t == CKA_MIRTAL_QUALIFIED_OBJECT;
}

CK_RV CheckTemplateTypes(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr) return count == 0 ? CKR_OK : CKR_ARGUMENTS_BAD;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i)
    if (!IsReadableTokenAttribute(tmpl[i].type)) {
      tmpl[i].ulValueLen = kUnavailable;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    }
  return rv;
}

// ---- template into attributes ----

CK_RV ConvertAttributeValue(uint32_t kind, bool withValue, const CK_ATTRIBUTE& attr, SCPkcs15ObjectAttribute* target) {
  if (target == nullptr) return CKR_GENERAL_ERROR;
  const uint64_t type = target->GetType();
  if (!withValue) return CKR_OK;
  const CK_ULONG len = attr.ulValueLen;
  // Lengths come from the host: nothing longer than any attribute can be is read,
  // and none is narrowed to the 32 bits the PKCS#15 layer keeps.
  if (len == kUnavailable || len > P11_MAX_ATTRIBUTE_VALUE_LENGTH) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (attr.pValue == nullptr && len != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  const uint8_t* value = static_cast<const uint8_t*>(attr.pValue);
  const uint32_t n = static_cast<uint32_t>(len);

  if (type == p15attr::kKind) {
    const uint32_t category = KindCategory(kind);
    const bool allowed = attr.type == CKA_CLASS || (category == P15_CATEGORY_KEY && attr.type == CKA_KEY_TYPE) ||
                         (category == P15_CATEGORY_CERTIFICATE && attr.type == CKA_CERTIFICATE_TYPE);
    if (!allowed) return CKR_ATTRIBUTE_TYPE_INVALID;
    CK_ULONG ignored = 0;
    if (!ReadUlong(attr, &ignored)) return CKR_ATTRIBUTE_VALUE_INVALID;
    return target->SetInteger(type, kind) ? CKR_OK : CKR_HOST_MEMORY;
  }
  if (type == p15attr::kUserConsent) {
    if (value == nullptr || n != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
    return target->SetInteger(type, value[0] != 0 ? 1 : 0) ? CKR_OK : CKR_HOST_MEMORY;
  }
  if (IsWrappedValue(kind, type)) {
    std::vector<uint8_t> der;
    try {
      if (IsEcPublicKind(kind)) {
        ASNoctstr point;
        if (!point.set(value, static_cast<long>(n))) return CKR_HOST_MEMORY;
        if (point.encodeToVector(der) < 1) return CKR_HOST_MEMORY;
      } else {
        ASNinteger number;
        if (!number.setUnsigned(value, static_cast<long>(n))) return CKR_HOST_MEMORY;
        if (number.encodeToVector(der) < 1) return CKR_HOST_MEMORY;
      }
    } catch (const std::bad_alloc&) {
      return CKR_HOST_MEMORY;
    }
    const int ok = target->SetValue(der.data(), static_cast<uint32_t>(der.size()));
    SecureZero(der.data(), der.size());
    return ok ? CKR_OK : CKR_HOST_MEMORY;
  }
  switch (target->GetStoreType()) {
    case A::binary:
    case A::asnder:
      if (!target->SetValue(value, n)) return CKR_HOST_MEMORY;
      return CKR_OK;
    case A::string:
      return target->SetString(type, reinterpret_cast<const char*>(value), n) ? CKR_OK : CKR_HOST_MEMORY;
    case A::flags: {
      if (value == nullptr || n != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
      uint64_t flagsType = 0;
      const uint32_t bit = GetFlagMaskForAttribute(attr.type, &flagsType);
      if (bit == 0 || flagsType != type) return CKR_ATTRIBUTE_TYPE_INVALID;
      uint32_t bits = 0, mask = 0;
      if (target->GetLength() == 8) target->GetFlags(&bits, &mask);
      if (value[0] != 0)
        bits |= bit;
      else
        bits &= ~bit;
      return target->SetFlags(type, bits, mask | bit) ? CKR_OK : CKR_HOST_MEMORY;
    }
    case A::integer: {
      CK_ULONG v = 0;
      if (!ReadUlong(attr, &v)) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (v <= 0xFFFFFFFFUL) return target->SetInteger(type, static_cast<uint32_t>(v)) ? CKR_OK : CKR_HOST_MEMORY;
      uint8_t be[8];
      for (int i = 7; i >= 0; --i, v >>= 8) be[i] = static_cast<uint8_t>(v);
      return target->SetValue(be, 8) ? CKR_OK : CKR_HOST_MEMORY;
    }
    case A::bigint: return target->SetBigInt(type, value, n) ? CKR_OK : CKR_HOST_MEMORY;
    case A::boolean:
      if (value == nullptr || n != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
      return target->SetBoolean(type, value[0] != 0) ? CKR_OK : CKR_HOST_MEMORY;
    case A::date:
      if (value == nullptr || n != 8 || !ValidDate(value)) return CKR_ATTRIBUTE_VALUE_INVALID;
      return target->SetDate(type, reinterpret_cast<const char*>(value), 8) ? CKR_OK : CKR_HOST_MEMORY;
    default: return CKR_GENERAL_ERROR;
  }
}

CK_RV MergeTemplateAttribute(const CK_ATTRIBUTE& attr, uint32_t kind, uint64_t p15Type, SCPkcs15ObjectAttributeList* list,
                             bool withValue) {
  if (list == nullptr) return CKR_GENERAL_ERROR;
  SCPkcs15ObjectAttribute* have = list->FindAttribute(p15Type);
  if (have == nullptr) {
    SCPkcs15ObjectAttribute* added = list->AddAttribute(p15Type);
    if (added == nullptr) return CKR_HOST_MEMORY;
    const CK_RV rv = ConvertAttributeValue(kind, withValue, attr, added);
    // A failed conversion leaves no half-made attribute in the list.
    if (rv != CKR_OK) list->RemoveAttribute(p15Type);
    return rv;
  }
  if (!withValue) return CKR_OK;
  if (have->GetStoreType() == A::flags && !IsWrappedValue(kind, p15Type)) {
    uint64_t flagsType = 0;
    const uint32_t bit = GetFlagMaskForAttribute(attr.type, &flagsType);
    uint32_t bits = 0, mask = 0;
    if (bit != 0 && have->GetFlags(&bits, &mask) && attr.pValue != nullptr && attr.ulValueLen == 1 &&
        *static_cast<const CK_BBOOL*>(attr.pValue) == CK_FALSE && (bits & mask & bit) != 0)
      return CKR_TEMPLATE_INCONSISTENT;
    return ConvertAttributeValue(kind, withValue, attr, have);
  }
  SCPkcs15ObjectAttribute other(p15Type);
  const CK_RV rv = ConvertAttributeValue(kind, withValue, attr, &other);
  if (rv != CKR_OK) return rv;
  return SCPkcs15ObjectAttribute::Compare(*have, other, true) == 0 ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

CK_RV BuildObjectAttributeList(uint32_t kind, bool withValue, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                               SCPkcs15ObjectAttributeList* list) {
  if (list == nullptr) return CKR_GENERAL_ERROR;
  list->RemoveAll();
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  CK_RV first = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    const uint64_t t = MapAttributeToPkcs15(kind, tmpl[i].type);
    if (t == p15attr::kNotStored) continue;
    CK_RV rv = CKR_ATTRIBUTE_TYPE_INVALID;
    if (t != p15attr::kInvalid) {
      rv = MergeTemplateAttribute(tmpl[i], kind, t, list, withValue);
      if (rv == CKR_HOST_MEMORY || rv == CKR_TEMPLATE_INCONSISTENT) return rv;
    }
    if (first == CKR_OK) first = rv;
  }
  return first;
}

namespace {

// One of CKA_CLASS, CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE, read once and compared when repeated.
CK_RV ReadSearchUlong(const CK_ATTRIBUTE& a, bool* have, CK_ULONG* value) {
  CK_ULONG v = 0;
  if (!ReadUlong(a, &v)) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (*have && *value != v) return CKR_TEMPLATE_INCONSISTENT;
  *have = true;
  *value = v;
  return CKR_OK;
}

uint32_t SearchKind(bool haveClass, CK_ULONG cls, bool haveKey, CK_ULONG keyType, bool haveCert, CK_ULONG certType,
                    bool* unsupported) {
  *unsupported = false;
  if ((haveCert && certType != CKC_X_509) || (haveKey && (keyType == CKK_CDMF || keyType >= 32))) {
    *unsupported = true;
    return 0;
  }
  if (!haveClass) {
    if (haveKey) {
      if (IsSecretKeyType(keyType)) return SecretKindOfKeyType(keyType);
      const uint32_t alg = AlgorithmOfKeyType(keyType);
      if (alg == 0) *unsupported = true;
      return alg == 0 ? 0 : MakeKeyKind(alg, 0);
    }
    return haveCert ? P15_KIND_X509_CERTIFICATE : P15_KIND_ANY;
  }
  switch (cls) {
    case CKO_DATA: return P15_KIND_DATA;
    case CKO_CERTIFICATE: return haveCert ? P15_KIND_X509_CERTIFICATE : P15_KIND_CERTIFICATE;
    case CKO_PRIVATE_KEY:
    case CKO_PUBLIC_KEY: {
      const uint32_t keyClass = cls == CKO_PRIVATE_KEY ? P15_KEYCLASS_PRIVATE : P15_KEYCLASS_PUBLIC;
      if (!haveKey) return MakeKeyKind(0, keyClass);
      const uint32_t alg = AlgorithmOfKeyType(keyType);
      if (alg == 0) *unsupported = true;
      return alg == 0 ? 0 : MakeKeyKind(alg, keyClass);
    }
    case CKO_SECRET_KEY:
      if (!haveKey) return P15_KIND_SECRET_KEY;
      if (IsSecretKeyType(keyType)) return SecretKindOfKeyType(keyType);
      *unsupported = true;
      return 0;
    default: *unsupported = true; return 0;
  }
}

}  // namespace

CK_RV BuildSearchAttributeList(const CK_ATTRIBUTE* tmpl, CK_ULONG count, SCPkcs15ObjectAttributeList* list,
                               std::vector<CK_ULONG>* compareLater) {
  if (list == nullptr) return CKR_GENERAL_ERROR;
  list->RemoveAll();
  if (compareLater != nullptr) compareLater->clear();
  if (tmpl == nullptr) return count == 0 ? CKR_OK : CKR_ARGUMENTS_BAD;
  bool haveClass = false, haveKey = false, haveCert = false;
  CK_ULONG cls = 0, keyType = 0, certType = 0;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_RV rv = CKR_OK;
    if (tmpl[i].type == CKA_CLASS)
      rv = ReadSearchUlong(tmpl[i], &haveClass, &cls);
    else if (tmpl[i].type == CKA_KEY_TYPE)
      rv = ReadSearchUlong(tmpl[i], &haveKey, &keyType);
    else if (tmpl[i].type == CKA_CERTIFICATE_TYPE)
      rv = ReadSearchUlong(tmpl[i], &haveCert, &certType);
    if (rv != CKR_OK) return rv;
  }
  if (haveKey && haveCert) return CKR_TEMPLATE_INCONSISTENT;
  bool unsupported = false;
  const uint32_t kind = SearchKind(haveClass, cls, haveKey, keyType, haveCert, certType, &unsupported);
  if (unsupported) return CKR_ATTRIBUTE_TYPE_UNSUPPORTED;
  if (kind != P15_KIND_ANY && list->AddInteger(p15attr::kKind, kind) == nullptr) return CKR_HOST_MEMORY;
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE_TYPE t = tmpl[i].type;
    if (t == CKA_CLASS || t == CKA_KEY_TYPE || t == CKA_CERTIFICATE_TYPE) continue;
    const uint64_t p15 = MapAttributeToPkcs15(kind, t);
    if (p15 == p15attr::kKind) continue;
    // An attribute that no object of the kind has matches no object: leaving it
    // out would give the host objects it did not ask for.
    if (p15 == p15attr::kInvalid && t != CKA_TOKEN) return CKR_ATTRIBUTE_TYPE_UNSUPPORTED;
    if (p15 == p15attr::kNotStored || p15 == p15attr::kInvalid) {
      try {
        if (compareLater != nullptr) compareLater->push_back(i);
      } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
      }
      continue;
    }
    const CK_RV rv = MergeTemplateAttribute(tmpl[i], kind, p15, list, true);
    if (rv != CKR_OK) return rv;
  }
  return CKR_OK;
}

namespace {

bool TakenForPrivateList(uint32_t kind, uint64_t t) {
  switch (t) {
    case p15attr::kLabel:
    case p15attr::kObjectFlags:
    case p15attr::kKeyId:
    case p15attr::kKeyUsage:
    case p15attr::kKeyAccess:
    case p15attr::kStartDate:
    case p15attr::kEndDate:
    case p15attr::kPrivateSubject: return true;
    default: break;
  }
  switch (KindAlgorithm(kind)) {
    case P15_ALG_RSA: return t == p15attr::kRsaPrivatePublicExponent;
    case P15_ALG_DSA: return t >= p15attr::kDsaPrivatePrime && t <= p15attr::kDsaPrivateBase;
    case P15_ALG_EC: return t == p15attr::kPrivateEcParams;
    default: return false;
  }
}

bool TakenForPublicList(uint64_t t) {
  switch (t) {
    case p15attr::kLabel:
    case p15attr::kObjectFlags:
    case p15attr::kKeyId:
    case p15attr::kKeyUsage:
    case p15attr::kKeyAccess:
    case p15attr::kStartDate:
    case p15attr::kEndDate:
    case p15attr::kPublicSubject: return true;
    default: return false;
  }
}

// Generation parameters of the public template go into both lists: the
// public type with its private twin.
uint64_t PrivateTwinOfGenerationParameter(uint32_t publicKind, uint64_t t) {
  switch (KindAlgorithm(publicKind)) {
    case P15_ALG_RSA:
      if (t == p15attr::kRsaPublicModulusBits) return p15attr::kRsaPrivateModulusBits;
      if (t == p15attr::kRsaPublicExponent) return p15attr::kRsaPrivatePublicExponent;
      return 0;
    case P15_ALG_DSA:
      if (t >= p15attr::kDsaPublicPrime && t <= p15attr::kDsaPublicBase)
        return p15attr::kDsaPrivatePrime + (t - p15attr::kDsaPublicPrime);
      return 0;
    case P15_ALG_EC: return t == p15attr::kPublicEcParams ? p15attr::kPrivateEcParams : 0;
    default: return 0;
  }
}

CK_RV CheckTemplateClass(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_CLASS wanted, CK_KEY_TYPE keyType) {
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ULONG v = 0;
    if (tmpl[i].type == CKA_CLASS) {
      if (!ReadUlong(tmpl[i], &v)) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (v != wanted) return CKR_TEMPLATE_INCONSISTENT;
    } else if (tmpl[i].type == CKA_KEY_TYPE) {
      if (!ReadUlong(tmpl[i], &v)) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (v != keyType) return CKR_TEMPLATE_INCONSISTENT;
    }
  }
  return CKR_OK;
}

}  // namespace

CK_RV BuildKeyPairAttributeLists(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* prvTmpl, CK_ULONG prvCount,
                                 const CK_ATTRIBUTE* pubTmpl, CK_ULONG pubCount, SCPkcs15ObjectAttributeList* prvList,
                                 SCPkcs15ObjectAttributeList* pubList) {
  if (prvList == nullptr || pubList == nullptr) return CKR_GENERAL_ERROR;
  prvList->RemoveAll();
  pubList->RemoveAll();
  if ((prvTmpl == nullptr && prvCount != 0) || (pubTmpl == nullptr && pubCount != 0)) return CKR_ARGUMENTS_BAD;
  bool pair = false;
  if (!IsKeyGenerationMechanism(mechanism, &pair) || !pair) return CKR_MECHANISM_INVALID;
  const CK_KEY_TYPE keyType = GetKeyTypeForMechanism(mechanism);
  if (keyType == ~0UL) return CKR_MECHANISM_INVALID;
  CK_RV rv = CheckTemplateClass(prvTmpl, prvCount, CKO_PRIVATE_KEY, keyType);
  if (rv == CKR_OK) rv = CheckTemplateClass(pubTmpl, pubCount, CKO_PUBLIC_KEY, keyType);
  if (rv != CKR_OK) return rv;
  const uint32_t alg = AlgorithmOfKeyType(keyType);
  if (alg == 0) return CKR_TEMPLATE_INCONSISTENT;
  const uint32_t prvKind = MakeKeyKind(alg, P15_KEYCLASS_PRIVATE);
  const uint32_t pubKind = MakeKeyKind(alg, P15_KEYCLASS_PUBLIC);

  for (CK_ULONG i = 0; i < prvCount; ++i) {
    const uint64_t t = MapAttributeToPkcs15(prvKind, prvTmpl[i].type);
    if (t == p15attr::kNotStored || t == p15attr::kInvalid || !TakenForPrivateList(prvKind, t)) continue;
    rv = MergeTemplateAttribute(prvTmpl[i], prvKind, t, prvList, true);
    if (rv != CKR_OK) return rv;
  }
  for (CK_ULONG i = 0; i < pubCount; ++i) {
    const uint64_t t = MapAttributeToPkcs15(pubKind, pubTmpl[i].type);
    if (t == p15attr::kNotStored || t == p15attr::kInvalid) continue;
    const uint64_t twin = PrivateTwinOfGenerationParameter(pubKind, t);
    if (twin != 0) {
      rv = MergeTemplateAttribute(pubTmpl[i], pubKind, t, pubList, true);
      if (rv == CKR_OK) rv = MergeTemplateAttribute(pubTmpl[i], prvKind, twin, prvList, true);
    } else if (TakenForPublicList(t)) {
      rv = MergeTemplateAttribute(pubTmpl[i], pubKind, t, pubList, true);
    }
    if (rv != CKR_OK) return rv;
  }
  if (prvList->AddInteger(p15attr::kKind, prvKind) == nullptr || pubList->AddInteger(p15attr::kKind, pubKind) == nullptr)
    return MapScErrorToCkr(SC_E_NO_MEMORY, false);
  return CKR_OK;
}

// ---- attributes into the template ----

CK_RV AttributesToTemplate(uint32_t kind, const SCPkcs15ObjectAttributeList& list, CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr) return count == 0 ? CKR_OK : CKR_ARGUMENTS_BAD;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE* out = &tmpl[i];
    const uint64_t t = MapAttributeToPkcs15(kind, out->type);
    if (t == p15attr::kNotStored) continue;
    if (t == p15attr::kInvalid) {
      out->ulValueLen = kUnavailable;
      KeepReadFailure(&result, CKR_ATTRIBUTE_TYPE_INVALID);
      continue;
    }
    const SCPkcs15ObjectAttribute* a = list.FindAttribute(t);
    if (a == nullptr) {
      out->ulValueLen = kUnavailable;
      continue;
    }
    const SCRESULT read = a->GetResult();
    if (t == p15attr::kUserConsent && read == SC_E_PKCS15_ATTR_NOT_FOUND) {
      KeepReadFailure(&result, WriteBool(out, false));
      continue;
    }
    if (read == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
    if (read == SC_E_PKCS15_ATTR_NOT_FOUND) {
      out->ulValueLen = 0;
      continue;
    }
    if (read < 0) {
      out->ulValueLen = kUnavailable;
      if (read == SC_E_PKCS15_INVALID_ATTR || read == SC_E_PKCS15_UNSUPPORTED_ATTR)
        KeepReadFailure(&result, CKR_ATTRIBUTE_TYPE_INVALID);
      else if (read == SC_E_PKCS15_ATTR_UNEXTRACTABLE)
        KeepReadFailure(&result, CKR_ATTRIBUTE_SENSITIVE);
      else
        KeepReadFailure(&result, MapScErrorToCkr(read, false));
      continue;
    }

    if (t == p15attr::kKind) {
      CK_ULONG v = ~0UL;
      if (out->type == CKA_CERTIFICATE_TYPE)
        v = KindCategory(kind) == P15_CATEGORY_CERTIFICATE ? CKC_X_509 : ~0UL;
      else if (out->type == CKA_KEY_TYPE)
        v = KeyTypeOfKind(kind);
      else if (out->type == CKA_CLASS)
        v = ObjectKindToClass(kind);
      else {
        out->ulValueLen = kUnavailable;
        KeepReadFailure(&result, CKR_ATTRIBUTE_TYPE_INVALID);
        continue;
      }
      if (v == ~0UL) {
        out->ulValueLen = kUnavailable;
        KeepReadFailure(&result, CKR_FUNCTION_FAILED);
        continue;
      }
      KeepReadFailure(&result, WriteUlong(out, v));
      continue;
    }
    if (t == p15attr::kUserConsent) {
      CK_ULONG v = 0;
      KeepReadFailure(&result, WriteBool(out, StoredUlong(*a, &v) && v != 0));
      continue;
    }
    if (IsWrappedValue(kind, t)) {
      ASNinteger number;
      ASNoctstr point;
      ASNoctstr* holder = IsEcPublicKind(kind) ? &point : &number;
      const int got = a->GetAsnObject(*holder);
      if (got == -1) return CKR_HOST_MEMORY;
      if (got != 0) {
        out->ulValueLen = kUnavailable;
        KeepReadFailure(&result, CKR_FUNCTION_FAILED);
        continue;
      }
      const uint8_t* p = holder->getData();
      long n = holder->getValueLength();
      if (holder == &number)
        while (n > 1 && *p == 0) {
          ++p;
          --n;
        }
      KeepReadFailure(&result, SetAttributeBytes(out, p, static_cast<CK_ULONG>(n)));
      continue;
    }
    uint32_t len = 0;
    const uint8_t* bytes = a->GetBinary(&len);
    switch (a->GetStoreType()) {
      case A::binary:
      case A::bigint:
      case A::asnder:
      case A::date:
      case A::string: KeepReadFailure(&result, SetAttributeBytes(out, bytes, len)); break;
      case A::flags: {
        uint32_t bits = 0, mask = 0;
        const uint32_t bit = GetFlagMaskForAttribute(out->type, nullptr);
        if (bit != 0 && a->GetFlags(&bits, &mask) && (mask & bit) != 0) {
          KeepReadFailure(&result, WriteBool(out, (bits & bit) != 0));
        } else {
          out->ulValueLen = kUnavailable;  // the card object does not say
        }
        break;
      }
      case A::integer: {
        CK_ULONG v = 0;
        if (StoredUlong(*a, &v)) {
          KeepReadFailure(&result, WriteUlong(out, v));
        } else {
          out->ulValueLen = kUnavailable;
          KeepReadFailure(&result, CKR_FUNCTION_FAILED);
        }
        break;
      }
      case A::boolean: {
        bool v = false;
        a->GetBoolean(&v);
        KeepReadFailure(&result, WriteBool(out, v));
        break;
      }
      default:
        out->ulValueLen = kUnavailable;
        KeepReadFailure(&result, CKR_FUNCTION_FAILED);
        break;
    }
  }
  return result;
}
