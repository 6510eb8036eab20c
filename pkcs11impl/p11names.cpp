// Name lookup over the PKCS#11 name tables, flag-word formatting and the PIN
// status and trust texts.
#include "pkcs11impl/p11names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <optional>
#include <utility>
#include <vector>

#include "support/lasting.h"

namespace {

constexpr CK_ULONG kAllOnes = ~0UL;
constexpr CK_ULONG kVendorBit = 0x80000000UL;

inline const P11NameRow* RowAt(const void* table, size_t rowSize, size_t i) {
  return reinterpret_cast<const P11NameRow*>(static_cast<const char*>(table) + i * rowSize);
}

// "CKA_" from "CKA_CLASS", "CK_OTP_" from "CK_OTP_FORMAT_DECIMAL".
std::string TablePrefix(const char* first) {
  if (first == nullptr) return std::string();
  size_t n = std::strlen(first);
  if (n >= 4 && std::toupper((unsigned char)first[0]) == 'C' && std::toupper((unsigned char)first[1]) == 'K' &&
      std::isalpha((unsigned char)first[2]) && first[3] == '_') {
    std::string p = "CK";
    p += static_cast<char>(std::toupper((unsigned char)first[2]));
    p += '_';
    return p;
  }
  if (n >= 3 && std::strncmp(first, "CK_", 3) == 0) {
    const char* us = std::strchr(first + 3, '_');
    if (us != nullptr && static_cast<size_t>(us - first + 1) < 20) return std::string(first, us - first + 1);
  }
  return std::string();
}

// Writes text into buf when it fits (with its terminator).
bool PutIfFits(const std::string& text, char* buf, int bufSize) {
  if (text.size() + 1 > static_cast<size_t>(bufSize)) return false;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return true;
}

std::string Hex08(const char* fmt, CK_ULONG v) {
  char tmp[40];
  std::snprintf(tmp, sizeof tmp, fmt, v);
  return tmp;
}

// The lookup itself, given the rows that carry value (in row order).
const char* LookupWithMatches(CK_ULONG value, const void* table, size_t count, size_t rowSize,
                              const std::vector<size_t>& matches, char* buf, int bufSize) {
  const bool vendor = (value & kVendorBit) != 0;
  const bool found = !matches.empty();
  if (found && (!vendor || value == kAllOnes)) return RowAt(table, rowSize, matches[0])->name;

  if (buf != nullptr && bufSize > 0) {
    std::string prefix = count ? TablePrefix(RowAt(table, rowSize, 0)->name) : std::string();
    bool done;
    if (vendor) {
      std::string shortForm = prefix + Hex08("VENDOR_%08lX", value);
      done = false;
      if (found) {
        std::string longForm = shortForm + " (";
        for (size_t k = 0; k < matches.size(); ++k) {
          if (k) longForm += ", ";
          longForm += RowAt(table, rowSize, matches[k])->name;
        }
        longForm += ")";
        done = PutIfFits(longForm, buf, bufSize);
      }
      if (!done) done = PutIfFits(shortForm, buf, bufSize);
    } else {
      done = PutIfFits(prefix + Hex08("UNKNOWN_%08lX", value), buf, bufSize);
    }
    if (done) return buf;
    if (bufSize >= 9) {
      std::snprintf(buf, static_cast<size_t>(bufSize), "%08lX", value);
      return buf;
    }
  }

  if (vendor) {
    if (found) return RowAt(table, rowSize, matches[0])->name;
    for (size_t i = 0; i < count; ++i)
      if (RowAt(table, rowSize, i)->value == kVendorBit) return RowAt(table, rowSize, i)->name;
    return "UNKNOWN_VENDOR";
  }
  for (size_t i = count; i-- > 0;)
    if (RowAt(table, rowSize, i)->value == kAllOnes) return RowAt(table, rowSize, i)->name;
  return "UNKNOWN";
}

// Sorted (value, row) pairs: the rows of one value come out in row order.
class NameIndex {
 public:
  explicit NameIndex(const P11NameTable& t) : table_(t) {
    pairs_.reserve(t.count);
    for (size_t i = 0; i < t.count; ++i) pairs_.emplace_back(RowAt(t.rows, t.rowSize, i)->value, i);
    std::sort(pairs_.begin(), pairs_.end());
  }
  bool Covers(const P11NameTable& t) const { return t.rows == table_.rows; }
  void Matches(CK_ULONG value, std::vector<size_t>& out) const {
    auto it = std::lower_bound(pairs_.begin(), pairs_.end(), std::make_pair(value, size_t(0)));
    for (; it != pairs_.end() && it->first == value; ++it) out.push_back(it->second);
  }

 private:
  P11NameTable table_;
  std::vector<std::pair<CK_ULONG, size_t>> pairs_;
};

// The index of one of the module's tables; a table of the caller's own is
// indexed into `local` for this call only.
const NameIndex& IndexFor(const P11NameTable& t, std::optional<NameIndex>& local) {
  // One index per table, built on first use (function-local statics are
  // initialised once, also under concurrent first calls) and lasting until the
  // module's end: a call may still trace while the host exits.
  static Lasting<std::vector<NameIndex>> all(std::vector<NameIndex>{
      NameIndex(ReturnValueTable()), NameIndex(MechanismTable()), NameIndex(AttributeTable()),
      NameIndex(ObjectClassTable()), NameIndex(KeyTypeTable()), NameIndex(CertificateTypeTable()),
      NameIndex(HwFeatureTable()), NameIndex(SessionStateTable()), NameIndex(UserTypeTable()),
      NameIndex(MgfTable()), NameIndex(KdfTable()), NameIndex(OtpFormatTable()), NameIndex(OtpParamTable()),
      NameIndex(PinStatusTable()), NameIndex(TrustTable())});
  for (const NameIndex& i : *all)
    if (i.Covers(t)) return i;
  return local.emplace(t);
}

}  // namespace

const char* LookupConstantName(CK_ULONG value, const void* table, size_t rowCount, size_t rowSize, char* buf,
                               int bufSize) {
  std::vector<size_t> matches;
  if (table != nullptr && rowSize >= sizeof(P11NameRow))
    for (size_t i = 0; i < rowCount; ++i)
      if (RowAt(table, rowSize, i)->value == value) matches.push_back(i);
  if (table == nullptr || rowSize < sizeof(P11NameRow)) rowCount = 0;
  return LookupWithMatches(value, table, rowCount, rowSize, matches, buf, bufSize);
}

const char* LookupConstantNameIndexed(CK_ULONG value, const P11NameTable& table, char* buf, int bufSize) {
  std::vector<size_t> matches;
  std::optional<NameIndex> local;
  IndexFor(table, local).Matches(value, matches);
  return LookupWithMatches(value, table.rows, table.count, table.rowSize, matches, buf, bufSize);
}

#define NAME_WRAPPER(fn, tableFn, type) \
  const char* fn(type value, char* buf, int bufSize) { return LookupConstantNameIndexed(value, tableFn(), buf, bufSize); }
NAME_WRAPPER(GetReturnValueName, ReturnValueTable, CK_RV)
NAME_WRAPPER(GetMechanismName, MechanismTable, CK_MECHANISM_TYPE)
NAME_WRAPPER(GetAttributeName, AttributeTable, CK_ATTRIBUTE_TYPE)
NAME_WRAPPER(GetObjectClassName, ObjectClassTable, CK_OBJECT_CLASS)
NAME_WRAPPER(GetKeyTypeName, KeyTypeTable, CK_KEY_TYPE)
NAME_WRAPPER(GetCertificateTypeName, CertificateTypeTable, CK_CERTIFICATE_TYPE)
NAME_WRAPPER(GetHwFeatureName, HwFeatureTable, CK_HW_FEATURE_TYPE)
NAME_WRAPPER(GetSessionStateName, SessionStateTable, CK_STATE)
NAME_WRAPPER(GetUserTypeName, UserTypeTable, CK_USER_TYPE)
NAME_WRAPPER(GetMgfName, MgfTable, CK_ULONG)
NAME_WRAPPER(GetKdfName, KdfTable, CK_ULONG)
NAME_WRAPPER(GetOtpFormatName, OtpFormatTable, CK_ULONG)
NAME_WRAPPER(GetOtpParamName, OtpParamTable, CK_ULONG)
#undef NAME_WRAPPER

int GetAttributeDisplayKind(CK_ATTRIBUTE_TYPE type) {
  std::vector<size_t> matches;
  const P11NameTable& t = AttributeTable();
  std::optional<NameIndex> local;
  IndexFor(t, local).Matches(type, matches);
  if (matches.empty()) return 0;
  return reinterpret_cast<const P11AttributeRow*>(RowAt(t.rows, t.rowSize, matches[0]))->kind;
}

const P11MechanismRow* FindMechanismRow(CK_MECHANISM_TYPE mechanism) {
  std::vector<size_t> matches;
  const P11NameTable& t = MechanismTable();
  std::optional<NameIndex> local;
  IndexFor(t, local).Matches(mechanism, matches);
  if (matches.empty()) return nullptr;
  return reinterpret_cast<const P11MechanismRow*>(RowAt(t.rows, t.rowSize, matches[0]));
}

CK_FLAGS GetMechanismFlagsForClass(CK_MECHANISM_TYPE mechanism, CK_OBJECT_CLASS objectClass) {
  const P11MechanismRow* row = FindMechanismRow(mechanism);
  if (row == nullptr) return 0;
  CK_FLAGS f = row->flags;
  if (objectClass == CKO_PRIVATE_KEY) f &= ~static_cast<CK_FLAGS>(0x26100);
  if (objectClass == CKO_PUBLIC_KEY) f &= ~static_cast<CK_FLAGS>(0x41A00);
  return f;
}

// ---- flags ----

namespace {

std::string FlagsText(const P11FlagRow* table, int rowCount, CK_FLAGS flags) {
  if (flags == 0) return "0";
  std::string text;
  CK_FLAGS unknown = 0;
  for (int bit = 0; bit < 64; ++bit) {
    CK_FLAGS b = static_cast<CK_FLAGS>(1) << bit;
    if ((flags & b) == 0) continue;
    const char* name = nullptr;
    if (table != nullptr) {
      for (int i = 0; rowCount < 0 || i < rowCount; ++i) {
        if (rowCount < 0 && table[i].bit == 0 && table[i].name == nullptr) break;
        if (table[i].bit == b) {
          name = table[i].name;
          break;
        }
      }
    }
    if (name == nullptr) {
      unknown |= b;
      continue;
    }
    if (!text.empty()) text += ", ";
    text += name;
  }
  if (unknown != 0) {
    char tmp[64];
    std::snprintf(tmp, sizeof tmp, "%s_%08lx", "CKF_UNKNOWN", unknown);
    if (!text.empty()) text += ", ";
    text += tmp;
  }
  return text;
}

int PutOrMeasure(const std::string& text, char* buf, int bufSize) {
  int needed = static_cast<int>(text.size() + 1);
  if (buf == nullptr || bufSize < needed) return -needed;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return needed;
}

}  // namespace

int FormatFlags(const P11FlagRow* table, int rowCount, CK_FLAGS flags, char* buf, int bufSize) {
  return PutOrMeasure(FlagsText(table, rowCount, flags), buf, bufSize);
}

int FormatInitializeFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kInitializeFlags, kInitializeFlagCount, f, b, n); }
int FormatSlotFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kSlotFlags, kSlotFlagCount, f, b, n); }
int FormatTokenFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kTokenFlags, kTokenFlagCount, f, b, n); }
int FormatSessionFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kSessionFlags, kSessionFlagCount, f, b, n); }
int FormatMechanismFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kMechanismFlags, kMechanismFlagCount, f, b, n); }
int FormatUserPinFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kUserPinFlags, kUserPinFlagCount, f, b, n); }
int FormatPinObjectFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kPinObjectFlags, kPinObjectFlagCount, f, b, n); }
int FormatOtpFlags(CK_FLAGS f, char* b, int n) { return FormatFlags(kOtpFlags, kOtpFlagCount, f, b, n); }

int FormatQualifiedPartCharacteristics(CK_FLAGS flags, char* buf, int bufSize) {
  const char* state = "";
  CK_FLAGS masked = flags & 0xFFFD;
  if (masked == 0)
    state = "CKF_MIRTAL_QUAL_PART_ABSENT: ";
  else if (masked == 0x1119)
    state = "CKF_MIRTAL_QUAL_PART_EMPTY: ";
  else if (masked == 0xFFFD)
    state = "CKF_MIRTAL_QUAL_PART_READY_FOR_USE: ";
  else if ((flags & 0xFFD) == 0xFFD)
    state = "CKF_MIRTAL_QUAL_PART_READY_FOR_USE_NO_ROOTPUBKEY: ";
  return PutOrMeasure(state + FlagsText(kQualifiedPartFlags, kQualifiedPartFlagCount, flags), buf, bufSize);
}

// ---- PIN status and trust ----

namespace {

const char* FindPinStatusRow(CK_ULONG status) {
  const P11NameTable& t = PinStatusTable();
  for (size_t i = 0; i < t.count; ++i)
    if (RowAt(t.rows, t.rowSize, i)->value == status) return RowAt(t.rows, t.rowSize, i)->name;
  return nullptr;
}

// Formats into buf when the whole text fits; otherwise returns null.
template <typename... Args>
const char* TryFormat(char* buf, int bufSize, const char* fmt, Args... args) {
  if (buf == nullptr || bufSize <= 0) return nullptr;
  int n = std::snprintf(buf, static_cast<size_t>(bufSize), fmt, args...);
  if (n < 0 || n >= bufSize) return nullptr;
  return buf;
}

}  // namespace

const char* GetPinStatusName(CK_ULONG status, char* buf, int bufSize) {
  if (const char* name = FindPinStatusRow(status)) return name;
  long s = static_cast<long>(status);
  const char* r = s < 1 ? TryFormat(buf, bufSize, "CKS_MIRTAL_UNKNOWN_%08lX", status)
                        : TryFormat(buf, bufSize, "CKS_MIRTAL_PIN_%lu_TRIES", status);
  if (r) return r;
  return s < 1 ? "unknown pin status" : "good (status available)";
}

const char* GetPinStatusTextEn(CK_ULONG status, char* buf, int bufSize) {
  long s = static_cast<long>(status);
  switch (s) {
    case 0: return "good";
    case 1: return "last try left";
    case 2: return "2 tries left";
    case 3: return "3 tries left";
    case 4: return "4 tries left";
    case -3: return "blocked";
    case -2: return "uninitialized";
    case -1: return "unavailable";
    default: break;
  }
  const char* r = s > 0 ? TryFormat(buf, bufSize, "%ld tries left", s)
                        : TryFormat(buf, bufSize, "unknown status 0x%08lx", status);
  if (r) return r;
  return s > 0 ? "good (status available)" : "unknown pin status";
}

const char* GetPinStatusTextPl(CK_ULONG status, char* buf, int bufSize) {
  long s = static_cast<long>(status);
  switch (s) {
    case 0: return "dobry";
    case 1: return "pozostała ostatnia próba";
    case 2: return "pozostały 2 próby";
    case 3: return "pozostały 3 próby";
    case 4: return "pozostały 4 próby";
    case -3: return "zablokowany";
    case -2: return "niezainicjowany";
    case -1: return "niedostępny";
    default: break;
  }
  const char* r;
  if (s < 0) {
    r = TryFormat(buf, bufSize, "nieznany status 0x%08lx", status);
  } else {
    unsigned long n = status;
    bool genitive = (n % 100 >= 10 && n % 100 <= 19) || (n % 10 != 2 && n % 10 != 3 && n % 10 != 4);
    r = genitive ? TryFormat(buf, bufSize, "pozostało %lu prób", n) : TryFormat(buf, bufSize, "pozostały %lu próby", n);
  }
  if (r) return r;
  return s > 0 ? "dobry (status dostępny)" : "nieznany kod status";
}

const char* GetTrustName(CK_ULONG value, char* buf, int bufSize) {
  const P11NameTable& t = TrustTable();
  for (size_t i = 0; i < t.count; ++i)
    if (RowAt(t.rows, t.rowSize, i)->value == value) return RowAt(t.rows, t.rowSize, i)->name;
  if (const char* r = TryFormat(buf, bufSize, "CKT_NSS_UNKNOWN_%08lX", value)) return r;
  return "CKT_NSS_UNKNOWN";
}

const char* BoolText(bool b) { return b ? "TRUE" : "FALSE"; }
