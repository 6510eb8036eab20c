// PKCS#11 values, templates and structures as trace text.
#include "pkcs11impl/p11format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "pkcs11impl/p11names.h"
#include "support/textutil.h"

namespace {

constexpr CK_ULONG kAllOnes = ~0UL;
constexpr int kMaxNestedDepth = 5;
const char kUnavailable[] = "<informaion unavailable>";

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  std::string s;
  if (n < 0) {
    va_end(ap2);
    return s;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    s.assign(small, n);
  } else {
    s.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&s[0], s.size(), fmt, ap2);
    s.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return s;
}

// Copies the whole text with its terminator, or nothing when it does not fit.
int PutWhole(const std::string& text, char* out, int outSize) {
  int needed = static_cast<int>(text.size() + 1);
  if (out != nullptr && outSize >= needed) std::memcpy(out, text.c_str(), text.size() + 1);
  return needed;
}

// Copies the text, cut to fit when needed (always terminated when outSize > 0).
int PutPrefix(const std::string& text, char* out, int outSize) {
  int needed = static_cast<int>(text.size() + 1);
  if (out != nullptr && outSize > 0) {
    size_t n = std::min(text.size(), static_cast<size_t>(outSize - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return needed;
}

// A fixed-width blank-padded field as text (control bytes replaced by '?').
std::string Field(const CK_UTF8CHAR* field, size_t width) {
  char tmp[80];
  CopyPrintable(tmp, reinterpret_cast<const char*>(field), static_cast<int>(sizeof tmp),
                static_cast<int>(width), '?');
  return tmp;
}

std::string FlagsWith(int (*fmt)(CK_FLAGS, char*, int), CK_FLAGS flags) {
  int n = fmt(flags, nullptr, 0);
  if (n < 0) n = -n;
  std::string s(static_cast<size_t>(n), '\0');
  fmt(flags, &s[0], n);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

std::string NameWith(const char* (*fn)(CK_ULONG, char*, int), CK_ULONG value) {
  char buf[160];
  return fn(value, buf, sizeof buf);
}

bool AllDigits(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  return true;
}

std::string Chars(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// "YYYY-MM-DD", then " HH", ":MM", ":SS" and ".FF" as far as the digits go.
std::string DateTimeText(const unsigned char* p, size_t n) {
  std::string s = Chars(p, 4) + "-" + Chars(p + 4, 2) + "-" + Chars(p + 6, 2);
  if (n >= 10) s += " " + Chars(p + 8, 2);
  if (n >= 12) s += ":" + Chars(p + 10, 2);
  if (n >= 14) s += ":" + Chars(p + 12, 2);
  if (n >= 16) s += "." + Chars(p + 14, n - 14);
  return s;
}

std::string TextValue(const unsigned char* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  if (nul == nullptr) return Chars(p, n);
  size_t before = static_cast<const unsigned char*>(nul) - p;
  return Chars(p, before) + " (HEX: " + HexText(p, n) + ")";
}

}  // namespace

int FormatToBuffer(char* buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, buf ? size : 0, fmt, ap);
  va_end(ap);
  return n;
}

char* FormatAlloc(const char* fmt, ...) {
  char stackBuf[1023];
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(stackBuf, sizeof stackBuf, fmt, ap);
  va_end(ap);
  char* out = nullptr;
  if (n >= 0) {
    out = new (std::nothrow) char[static_cast<size_t>(n) + 1];
    if (out != nullptr) {
      if (static_cast<size_t>(n) < sizeof stackBuf)
        std::memcpy(out, stackBuf, static_cast<size_t>(n) + 1);
      else
        std::vsnprintf(out, static_cast<size_t>(n) + 1, fmt, ap2);
    }
  }
  va_end(ap2);
  return out;
}

int CopyPrintable(char* dst, const char* src, int dstSize, int srcLen, int replacement) {
  if (dst == nullptr) return 0;
  if (src == nullptr) srcLen = 0;
  if (srcLen < 0) srcLen = static_cast<int>(std::strlen(src));
  int limit = srcLen;
  if (dstSize >= 0) limit = std::min(srcLen, dstSize > 0 ? dstSize - 1 : 0);
  int i = 0;
  bool stopped = false;
  char fill = 0;
  for (; i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    if (!stopped && replacement != 0 && c < 0x20) {
      stopped = true;
      fill = (replacement < 0 && c == 0) ? static_cast<char>(-replacement) : static_cast<char>(replacement);
    }
    dst[i] = stopped ? fill : static_cast<char>(c);
  }
  if (dstSize != 0) dst[i] = '\0';
  return i;
}

std::string HexText(const void* data, size_t len) {
  if (data == nullptr || len == 0 || len == kAllOnes) return std::string();
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const size_t shown = std::min(len, kTraceDumpLimit);
  size_t n = BinToHex(p, shown, nullptr, " ");
  std::string s(n, '\0');
  BinToHex(p, shown, &s[0], " ");
  if (shown < len) s += Printf(" ... (%zu octets, the first %zu shown)", len, shown);
  return s;
}

// ---- attribute values and templates ----

std::string AttributeValueText(const CK_ATTRIBUTE* attr, int depth) {
  if (attr == nullptr) return std::string();
  const CK_ULONG len = attr->ulValueLen;
  if (len == kAllOnes) return kUnavailable;
  if (attr->pValue == nullptr) return "<null>";
  const unsigned char* p = static_cast<const unsigned char*>(attr->pValue);
  if (len > kTraceDumpLimit) return HexText(p, len);
  CK_ULONG ul = 0;
  if (len == sizeof(CK_ULONG)) std::memcpy(&ul, p, sizeof ul);
  const bool isUlong = len == sizeof(CK_ULONG);

  switch (GetAttributeDisplayKind(attr->type)) {
    case 2:
      if (len == 1) return BoolText(p[0] != 0);
      break;
    case 3:
      if (isUlong) return Printf("0x%08lx", ul);
      break;
    case 5:
      if (isUlong) return FlagsWith(FormatUserPinFlags, ul);
      break;
    case 6:
      return TextValue(p, len);
    case 9:
      if (len == 8) return Chars(p, 4) + "-" + Chars(p + 4, 2) + "-" + Chars(p + 6, 2);
      if ((len == 14 || len == 16) && AllDigits(p, len)) return DateTimeText(p, 14) + "." + Chars(p + 14, len - 14);
      break;
    case 10:
      if (len >= 8 && len <= 16 && len % 2 == 0 && AllDigits(p, len)) return DateTimeText(p, len);
      return TextValue(p, len);
    case 11:
      if (isUlong) return NameWith(GetObjectClassName, ul);
      break;
    case 12:
      if (isUlong) return NameWith(GetHwFeatureName, ul);
      break;
    case 13:
      if (isUlong) return NameWith(GetKeyTypeName, ul);
      break;
    case 14:
      if (isUlong) return NameWith(GetCertificateTypeName, ul);
      break;
    case 15:
      if (isUlong) return NameWith(GetMechanismName, ul);
      break;
    case 16:
      if (len % sizeof(CK_ATTRIBUTE) == 0 && depth <= kMaxNestedDepth) {
        std::string nested = TemplateText(depth + 1, static_cast<const CK_ATTRIBUTE*>(attr->pValue),
                                          len / sizeof(CK_ATTRIBUTE), true, "\n  ");
        if (depth > 0) return "(\n" + nested + ")";
        return nested;
      }
      break;
    case 17:
      if (len % sizeof(CK_MECHANISM_TYPE) == 0) {
        std::string s;
        for (CK_ULONG i = 0; i < len / sizeof(CK_MECHANISM_TYPE); ++i) {
          CK_MECHANISM_TYPE m;
          std::memcpy(&m, p + i * sizeof m, sizeof m);
          s += NameWith(GetMechanismName, m);
        }
        return s;
      }
      break;
    case 18:
      if (isUlong) return NameWith(GetOtpFormatName, ul);
      break;
    case 19:
      if (isUlong) return NameWith(GetOtpParamName, ul);
      break;
    case 20:
      if (isUlong) return NameWith(GetTrustName, ul);
      break;
    default:
      break;
  }
  return HexText(p, len);
}

int FormatAttributeValue(const CK_ATTRIBUTE* attr, char* out, int outSize, int depth) {
  return PutWhole(AttributeValueText(attr, depth), out, outSize);
}

namespace {
// How the trace treats the CKA_VALUE of a class, from the most open to the
// strictest: certificates and public keys show by their class alone; data,
// hardware features, domain parameters and mechanisms only when the template
// also says CKA_PRIVATE is CK_FALSE (a data object often holds a host's secret
// and a token may make it private by default); keys and unknown classes never.
enum ValueRule { kValueShown = 0, kValueShownIfSaidPublic = 1, kValueHidden = 2 };

ValueRule ValueRuleOf(CK_OBJECT_CLASS c) {
  switch (c) {
    case CKO_CERTIFICATE:
    case CKO_PUBLIC_KEY:
      return kValueShown;
    case CKO_DATA:
    case CKO_HW_FEATURE:
    case CKO_DOMAIN_PARAMETERS:
    case CKO_MECHANISM:
      return kValueShownIfSaidPublic;
    default:
      return kValueHidden;
  }
}
}  // namespace

bool IsHiddenInTrace(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, const TracedObject* object) {
  switch (type) {
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
    case CKA_MIRTAL_SYSAUTH_KEY:
    case CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA:
      return true;
    case CKA_VALUE:
      break;
    default:
      return false;
  }
  // A CKA_PRIVATE entry other than CK_FALSE marks an object that is or may be
  // private: its value is a secret.
  bool saidPublic = false;
  for (CK_ULONG i = 0; tmpl != nullptr && i < count; ++i) {
    if (tmpl[i].type != CKA_PRIVATE) continue;
    if (tmpl[i].pValue == nullptr || tmpl[i].ulValueLen != sizeof(CK_BBOOL) ||
        *static_cast<const CK_BBOOL*>(tmpl[i].pValue) != CK_FALSE)
      return true;
    saidPublic = true;
  }
  // The object the module found joins the template's classes; one it found
  // private keeps its value out whatever the template says.
  const bool objectKnown = object != nullptr && object->objectClass != kAllOnes;
  if (objectKnown && object->isPrivate) return true;
  int rule = objectKnown ? ValueRuleOf(object->objectClass) : kValueShown;
  bool classGiven = objectKnown;
  for (CK_ULONG i = 0; tmpl != nullptr && i < count; ++i) {
    if (tmpl[i].type != CKA_CLASS) continue;
    CK_OBJECT_CLASS c = kAllOnes;
    if (tmpl[i].pValue == nullptr || tmpl[i].ulValueLen != sizeof c) return true;
    std::memcpy(&c, tmpl[i].pValue, sizeof c);
    rule = std::max(rule, static_cast<int>(ValueRuleOf(c)));
    classGiven = true;
  }
  if (!classGiven || rule == kValueHidden) return true;
  return rule == kValueShownIfSaidPublic && !saidPublic;
}

std::string TemplateText(int depth, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool withValues,
                         const char* separator, const TracedObject* object) {
  if (tmpl == nullptr) return "<null template>";
  if (separator == nullptr) separator = "\n";
  const std::string indent(depth > 0 ? static_cast<size_t>(2 * depth) : 0, ' ');
  std::string s;
  if (depth > 0) s = "Template:\n" + indent;
  char nameBuf[160];
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& a = tmpl[i];
    if (i > 0) s += separator + indent;
    s += GetAttributeName(a.type, nameBuf, sizeof nameBuf);
    if (a.ulValueLen == kAllOnes) {
      s += ": ";
      s += a.pValue == nullptr ? "<null, informaion unavailable>" : kUnavailable;
      continue;
    }
    s += Printf("[len=%ld]: ", static_cast<long>(a.ulValueLen));
    if (a.pValue == nullptr)
      s += "<null>";
    else if (withValues)
      s += IsHiddenInTrace(tmpl, count, a.type, object) ? std::string("<not shown>") : AttributeValueText(&a, depth);
  }
  return s;
}

int FormatTemplate(int depth, const CK_ATTRIBUTE* tmpl, CK_ULONG count, char* out, int outSize, bool withValues,
                   const char* separator) {
  return PutWhole(TemplateText(depth, tmpl, count, withValues, separator), out, outSize);
}

// ---- structures ----

namespace {
const char* Sep(const char* s) { return s ? s : "\n"; }

std::string CountText(CK_ULONG v, bool isMaximum) {
  if (v == CK_UNAVAILABLE_INFORMATION) return "<unavailable>";
  if (isMaximum && v == CK_EFFECTIVELY_INFINITE) return "<inifinite>";
  return Printf("%lu", v);
}

std::string PinLenText(CK_ULONG v) {
  if (v == CK_UNAVAILABLE_INFORMATION) return "<no limit>";
  return Printf("%ld", static_cast<long>(v));
}

std::string PointerText(const void* p) { return p ? Printf("%p", p) : std::string("<null>"); }
}  // namespace

std::string InfoText(const CK_INFO* info, const CK_VERSION* fl, const char* separator) {
  if (info == nullptr) return "<null>";
  const char* sep = Sep(separator);
  std::string funclist = fl ? Printf("funclist ver: %u.%02u", fl->major, fl->minor) : std::string();
  return Printf("library desc: '%s'%smanufacturer: '%s'%slibrary ver:  %u.%02u%scryptoki ver: %u.%02u%s%s%sflags:        %s",
                Field(info->libraryDescription, 32).c_str(), sep, Field(info->manufacturerID, 32).c_str(), sep,
                info->libraryVersion.major, info->libraryVersion.minor, sep, info->cryptokiVersion.major,
                info->cryptokiVersion.minor, sep, funclist.c_str(), fl ? sep : "",
                Printf("%08lx", info->flags).c_str());
}

std::string SlotInfoText(const CK_SLOT_INFO* info, const char* separator) {
  if (info == nullptr) return "<null>";
  const char* sep = Sep(separator);
  return Printf("slot desc:    '%s'%smanufacturer: '%s'%shw version:   %u.%u%sfw version:   %u.%u%sflags:        %s",
                Field(info->slotDescription, 64).c_str(), sep, Field(info->manufacturerID, 32).c_str(), sep,
                info->hardwareVersion.major, info->hardwareVersion.minor, sep, info->firmwareVersion.major,
                info->firmwareVersion.minor, sep, FlagsWith(FormatSlotFlags, info->flags).c_str());
}

std::string TokenInfoText(const CK_TOKEN_INFO* t, const char* separator) {
  if (t == nullptr) return "<null>";
  const char* sep = Sep(separator);
  return Printf(
      "label:           '%s'%smanufacturer:    '%s'%smodel:           '%s'%sserial:          '%s'%sflags:            %s%s"
      "sessions/max:     %s/%s%srw sessions/max:  %s/%s%smin-max pin len:  %s-%s%spublic/free mem:  %s/%s%s"
      "private/free mem: %s/%s%shw version:       %u.%u%sfw version:       %u.%u%stoken date:       %s",
      Field(t->label, 32).c_str(), sep, Field(t->manufacturerID, 32).c_str(), sep, Field(t->model, 16).c_str(), sep,
      Field(t->serialNumber, 16).c_str(), sep, FlagsWith(FormatTokenFlags, t->flags).c_str(), sep,
      CountText(t->ulSessionCount, false).c_str(), CountText(t->ulMaxSessionCount, true).c_str(), sep,
      CountText(t->ulRwSessionCount, false).c_str(), CountText(t->ulMaxRwSessionCount, true).c_str(), sep,
      PinLenText(t->ulMinPinLen).c_str(), PinLenText(t->ulMaxPinLen).c_str(), sep,
      CountText(t->ulTotalPublicMemory, false).c_str(), CountText(t->ulFreePublicMemory, false).c_str(), sep,
      CountText(t->ulTotalPrivateMemory, false).c_str(), CountText(t->ulFreePrivateMemory, false).c_str(), sep,
      t->hardwareVersion.major, t->hardwareVersion.minor, sep, t->firmwareVersion.major, t->firmwareVersion.minor,
      sep, Field(t->utcTime, 16).c_str());
}

std::string SessionInfoText(const CK_SESSION_INFO* s, const char* separator) {
  if (s == nullptr) return "<null>";
  const char* sep = Sep(separator);
  return Printf("slot:      %ld%sstate:     %s%sflags:     %s%sdev error: %08lX", static_cast<long>(s->slotID), sep,
                NameWith(GetSessionStateName, s->state).c_str(), sep, FlagsWith(FormatSessionFlags, s->flags).c_str(),
                sep, s->ulDeviceError);
}

std::string PinInfoText(const MIRTAL_PIN_INFO* p, const char* separator) {
  if (p == nullptr) return "<null>";
  const char* sep = Sep(separator);
  std::string protectedBy = p->unblockPinId == kAllOnes ? std::string("<none>") : Printf("%ld", static_cast<long>(p->unblockPinId));
  return Printf("struct size:  %ld%spin id:       %ld%spin type:     %s%spin label:    '%s'%smin/max len:  %s/%s%s"
                "protected by: %s%sflags:        %s",
                static_cast<long>(p->structSize), sep, static_cast<long>(p->pinId), sep,
                NameWith(GetUserTypeName, p->userType).c_str(), sep, Field(p->label, 64).c_str(), sep,
                Printf("%u", p->minLen).c_str(), Printf("%u", p->maxLen).c_str(), sep, protectedBy.c_str(), sep,
                FlagsWith(FormatPinObjectFlags, p->flags).c_str());
}

std::string MechanismText(const CK_MECHANISM* m, const char* separator) {
  if (m == nullptr) return "<null>";
  const char* sep = Sep(separator);
  std::string s = Printf("mechanism type: %s%sparams[len=%ld]: ", NameWith(GetMechanismName, m->mechanism).c_str(),
                         sep, static_cast<long>(m->ulParameterLen));
  if (m->pParameter == nullptr) return s + "<null>";
  if (m->mechanism >= CKM_PBE_MD2_DES_CBC && m->mechanism <= CKM_PBE_SHA1_RC2_40_CBC &&
      m->ulParameterLen == sizeof(CK_PBE_PARAMS)) {
    const CK_PBE_PARAMS* p = static_cast<const CK_PBE_PARAMS*>(m->pParameter);
    std::string iv;
    if (m->mechanism == CKM_PBE_SHA1_RC4_128 || m->mechanism == CKM_PBE_SHA1_RC4_40)
      iv = Printf("%p (ignored)", static_cast<const void*>(p->pInitVector));
    else
      iv = p->pInitVector ? HexText(p->pInitVector, 8) : std::string("<null>");
    // The password itself never reaches the log: only its length.
    s += Printf("CK_PBE_PARAMS:%s( ", sep);
    s += Printf("iv:  %s%s", iv.c_str(), sep);
    s += Printf("password len: %lu%s", p->ulPasswordLen, sep);
    s += Printf("salt: %s%s", p->pSalt ? HexText(p->pSalt, p->ulSaltLen).c_str() : "<null>", sep);
    s += Printf("iterations: %lu%s)", p->ulIteration, sep);
    return s;
  }
  if ((m->mechanism == CKM_ECDH1_DERIVE || m->mechanism == CKM_ECDH1_COFACTOR_DERIVE) &&
      m->ulParameterLen == sizeof(CK_ECDH1_DERIVE_PARAMS)) {
    const CK_ECDH1_DERIVE_PARAMS* p = static_cast<const CK_ECDH1_DERIVE_PARAMS*>(m->pParameter);
    s += Printf("CK_ECDH1_DERIVE_PARAMS:%s( ", sep);
    s += Printf("kdf algo: %s%s", NameWith(GetKdfName, p->kdf).c_str(), sep);
    s += Printf("shared data[len=%lu]: %s%s", p->ulSharedDataLen,
                p->pSharedData ? HexText(p->pSharedData, p->ulSharedDataLen).c_str() : "<null>", sep);
    s += Printf("public data[len=%lu]: %s%s)", p->ulPublicDataLen,
                p->pPublicData ? HexText(p->pPublicData, p->ulPublicDataLen).c_str() : "<null>", sep);
    return s;
  }
  return s + HexText(m->pParameter, m->ulParameterLen);
}

std::string MechanismInfoText(const CK_MECHANISM_TYPE* type, const CK_MECHANISM_INFO* info, const char* separator) {
  if (info == nullptr) return "<null>";
  const char* sep = Sep(separator);
  std::string s;
  if (type != nullptr) s = Printf("mechanism:   %s%s", NameWith(GetMechanismName, *type).c_str(), sep);
  s += Printf("min keysize: %ld%smax keysize: %ld%sflags: %s", static_cast<long>(info->ulMinKeySize), sep,
              static_cast<long>(info->ulMaxKeySize), sep, FlagsWith(FormatMechanismFlags, info->flags).c_str());
  return s;
}

std::string InitializeArgsText(const CK_C_INITIALIZE_ARGS* a, const char* separator) {
  if (a == nullptr) return "<null>";
  const char* sep = Sep(separator);
  std::string flags = FlagsWith(FormatInitializeFlags, a->flags);
  std::string head = Printf("create():  %p%sdestroy(): %p%slock():    %p%sunlock():  %p%sflags:     %s%s",
                            reinterpret_cast<void*>(a->CreateMutex), sep, reinterpret_cast<void*>(a->DestroyMutex),
                            sep, reinterpret_cast<void*>(a->LockMutex), sep, reinterpret_cast<void*>(a->UnlockMutex),
                            sep, flags.c_str(), sep);
  // The reserved pointer is only ever printed as a pointer: what it points to
  // is unknown, so reading it as text could run off into unmapped memory
  // before C_Initialize gets to refuse it.
  return head + Printf("pReserved: %s", PointerText(a->pReserved).c_str());
}

int FormatInfo(const CK_INFO* i, const CK_VERSION* v, char* o, int n, const char* s) { return PutPrefix(InfoText(i, v, s), o, n); }
int FormatSlotInfo(const CK_SLOT_INFO* i, char* o, int n, const char* s) { return PutPrefix(SlotInfoText(i, s), o, n); }
int FormatTokenInfo(const CK_TOKEN_INFO* i, char* o, int n, const char* s) { return PutPrefix(TokenInfoText(i, s), o, n); }
int FormatSessionInfo(const CK_SESSION_INFO* i, char* o, int n, const char* s) { return PutPrefix(SessionInfoText(i, s), o, n); }
int FormatPinInfo(const MIRTAL_PIN_INFO* i, char* o, int n, const char* s) { return PutPrefix(PinInfoText(i, s), o, n); }
int FormatMechanism(const CK_MECHANISM* m, char* o, int n, const char* s) { return PutPrefix(MechanismText(m, s), o, n); }
int FormatMechanismInfo(const CK_MECHANISM_TYPE* t, const CK_MECHANISM_INFO* i, char* o, int n, const char* s) {
  return PutPrefix(MechanismInfoText(t, i, s), o, n);
}
int FormatInitializeArgs(const CK_C_INITIALIZE_ARGS* a, char* o, int n, const char* s) {
  return PutPrefix(InitializeArgsText(a, s), o, n);
}
