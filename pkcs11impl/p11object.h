// Base of the in-memory PKCS#11 objects (session objects): attribute records,
// per-class record levels, the PKCS#11 version code that gates attribute sets,
// and the attribute read, write, match and copy rules shared by every class.
#ifndef MIRTAL_PKCS11IMPL_P11OBJECT_H
#define MIRTAL_PKCS11IMPL_P11OBJECT_H

#include <cstddef>
#include <cstdint>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"

// ---- PKCS#11 version codes: major * 256 + minor (minor in decimal) ----
constexpr CK_ULONG P11_VERSION_2_01 = 513;
constexpr CK_ULONG P11_VERSION_2_10 = 522;
constexpr CK_ULONG P11_VERSION_2_11 = 523;
constexpr CK_ULONG P11_VERSION_2_20 = 532;
constexpr CK_ULONG P11_VERSION_2_30 = 542;
constexpr CK_ULONG P11_VERSION_DEFAULT = 524;
// Lists every attribute of every version (also those a later version dropped).
constexpr CK_ULONG P11_VERSION_ALL = 0xFFFFFFFFUL;

// Replaces the program-wide default version code (0 restores 524).
void SetDefaultPkcs11Version(CK_ULONG version);
// The default version code (524 unless replaced).
CK_ULONG GetDefaultPkcs11Version();
// 0 stands for the default.
inline CK_ULONG EffectivePkcs11Version(CK_ULONG version) {
  return version != 0 ? version : GetDefaultPkcs11Version();
}

// Longest attribute value an object accepts. Templates come from the host; a
// length beyond this is refused before any byte of the value is read.
constexpr CK_ULONG P11_MAX_ATTRIBUTE_VALUE_LENGTH = 0x1000000UL;  // 16 MiB

// ---- attribute records ----
struct Pkcs11AttributeRecord {
  CK_ATTRIBUTE_TYPE type = ~0UL;  // ~0: not yet set up
  void* value = nullptr;          // null when empty
  CK_ULONG length = 0;            // ~0: unavailable
  bool owned = false;             // value is a heap buffer of this record
  uint32_t flags = 0;             // carried, never interpreted

  // Points the record at a typed member (or at nothing) of the given size.
  void Setup(CK_ATTRIBUTE_TYPE t, void* member, CK_ULONG size);
  // Wipes and frees an owned value; a borrowed value is only detached.
  void Release();
  // Stores a value of `len` bytes. A value of the present length is written into
  // the present buffer (a typed member stays in place) and `buffer` is freed;
  // otherwise the record takes `buffer` (new[], len bytes; null for 0 and ~0).
  // Never fails.
  void Assign(unsigned char* buffer, const void* bytes, CK_ULONG len);
  bool HasBytes() const { return value != nullptr && length != 0 && length != ~0UL; }
};

// How a fixed attribute keeps its typed member in line with a value just set.
enum class P11Kind : uint8_t {
  Bytes,          // byte array, no member
  Bool,           // CK_BBOOL member, true when any byte is non-zero
  Ulong,          // CK_ULONG member; a value other than 8 bytes is CKR_ATTRIBUTE_VALUE_INVALID
  UlongCert,      // the same with CKR_TEMPLATE_INCONSISTENT
  UlongLoose,     // CK_ULONG member changed only by 8-byte values; other lengths kept as bytes
  UlongNumber,    // CK_ULONG member; other lengths read as a big-endian number; ~0 refused
  UlongMechanism, // as UlongNumber, and a 24-byte mechanism structure gives its first word
  UlongBool,      // 64-bit member set by the boolean rule
};

constexpr uint8_t P11_ATTR_SENSITIVE = 0x01;        // hidden unless extractable and not sensitive
constexpr uint8_t P11_ATTR_VARIABLE_LEN_ONLY = 0x02; // listed only for variable-length secret keys

// One fixed attribute of a class: type, kind, the versions in which it exists
// (inclusive) and its default member value.
struct Pkcs11AttributeDef {
  CK_ATTRIBUTE_TYPE type;
  P11Kind kind;
  CK_ULONG fromVersion;
  CK_ULONG toVersion;
  CK_ULONG defaultValue;
  uint8_t flags;
};

constexpr CK_ULONG P11_ANY_VERSION_FROM = 0;
constexpr CK_ULONG P11_ANY_VERSION_TO = ~0UL;

// True when the attribute exists in the version code (0 = default; P11_VERSION_ALL lists all).
bool AttributeDefInVersion(const Pkcs11AttributeDef& def, CK_ULONG version);
// True when one of the definitions has the type and exists in the version code.
bool AttributeDefsKnow(const Pkcs11AttributeDef* defs, size_t count, CK_ATTRIBUTE_TYPE type,
                       CK_ULONG version);

// The fixed records one class adds to its parent's, with their typed members.
class Pkcs11AttributeLevel {
public:
  static constexpr size_t kMaxRecords = 17;

  Pkcs11AttributeLevel(const Pkcs11AttributeDef* defs, size_t count);
  ~Pkcs11AttributeLevel();
  Pkcs11AttributeLevel(const Pkcs11AttributeLevel&) = delete;
  Pkcs11AttributeLevel& operator=(const Pkcs11AttributeLevel&) = delete;

  // Releases every value and brings records and members back to the defaults.
  void Reset();
  size_t Count() const { return m_count; }
  const Pkcs11AttributeDef& Def(size_t i) const { return m_defs[i]; }
  Pkcs11AttributeRecord& Record(size_t i) { return m_records[i]; }
  const Pkcs11AttributeRecord& Record(size_t i) const { return m_records[i]; }
  int IndexOf(CK_ATTRIBUTE_TYPE type) const;

  // Typed members (by record index).
  CK_BBOOL GetBool(size_t i) const { return m_bool[i]; }
  CK_ULONG GetUlong(size_t i) const { return m_ulong[i]; }
  void SetBoolMember(size_t i, bool v) { m_bool[i] = v ? CK_TRUE : CK_FALSE; }
  void SetUlongMember(size_t i, CK_ULONG v) { m_ulong[i] = v; }
  // Points record i back at its typed member (the value it holds is released).
  void RepointRecord(size_t i);
  // Sets the member and re-points the record at it.
  bool SetUlongByType(CK_ATTRIBUTE_TYPE type, CK_ULONG v);
  bool SetBoolByType(CK_ATTRIBUTE_TYPE type, bool v);

private:
  const Pkcs11AttributeDef* m_defs;
  size_t m_count;
  Pkcs11AttributeRecord m_records[kMaxRecords];
  CK_BBOOL m_bool[kMaxRecords];
  CK_ULONG m_ulong[kMaxRecords];
};

class CPkcs11Object;

// CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_MODIFIABLE, and CKA_COPYABLE above 541.
bool IsCommonObjectAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version);

// ---- the object base ----
class CPkcs11Object {
public:
  explicit CPkcs11Object(CK_OBJECT_CLASS objectClass);
  virtual ~CPkcs11Object();
  CPkcs11Object(const CPkcs11Object&) = delete;
  CPkcs11Object& operator=(const CPkcs11Object&) = delete;

  static bool IsCommonObjectAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
    return ::IsCommonObjectAttribute(type, version);
  }

  // Flags and label.
  virtual bool IsToken() const;
  virtual bool IsPrivate() const;
  virtual bool IsReadOnly() const;
  virtual bool IsModifiable() const;
  virtual bool IsCopyable() const;
  // The CKA_LABEL bytes and their length (null and 0 without a label, null and ~0 when unavailable).
  virtual const unsigned char* GetLabel(CK_ULONG* length) const;
  virtual CK_ULONG GetLabelLength() const;
  // Label length; copies at most `size` bytes when a buffer is given.
  CK_ULONG CopyLabel(unsigned char* buffer, CK_ULONG size) const;

  virtual void ResetToDefaults();

  // Sets every entry, whole or not at all: each entry is checked (value and
  // length, the attribute's existence, the class's rule) before anything is
  // stored. The first failing entry's result is returned.
  CK_RV SetAttributeValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count);
  // C_SetAttributeValue on a session object: refuses a non-modifiable object,
  // validates in modify mode, then sets the template whole or not at all.
  CK_RV ModifyAttributeValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count);
  // C_GetAttributeValue rules (sensitive, unknown, size query, too small).
  CK_RV GetAttributeValues(CK_ATTRIBUTE* tmpl, CK_ULONG count) const;
  // CKR_OK when every entry matches; CKR_ATTRIBUTE_DIFFERENT (internal) when a
  // value differs; CKR_ATTRIBUTE_TYPE_INVALID for an attribute the object lacks;
  // CKR_ATTRIBUTE_VALUE_INVALID for a null value with a length; a hidden value
  // never matches (CKR_ATTRIBUTE_SENSITIVE).
  CK_RV Matches(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const;
  // A new object of the same class and subtype with every attribute (extra
  // attributes included), then the template applied whole or not at all.
  CK_RV Copy(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** newObject) const;
  // The class's validator with the object's class, subtype and version code.
  virtual CK_RV ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const;
  virtual bool IsAttributeKnownInVersion(CK_ATTRIBUTE_TYPE type) const;
  virtual const Pkcs11AttributeRecord* GetFixedAttribute(CK_ULONG index) const;
  virtual CK_ULONG GetFixedAttributeCount() const;
  virtual bool IsAttributeReadable(CK_ATTRIBUTE_TYPE type) const;
  // Fixed records first, then extra records; CKR_ATTRIBUTE_TYPE_INVALID when absent.
  CK_RV FindAttribute(CK_ATTRIBUTE_TYPE type, const Pkcs11AttributeRecord** record) const;

  // Single-attribute reads.
  bool GetBoolAttribute(CK_ATTRIBUTE_TYPE type, bool* out) const;
  bool GetUlongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* out) const;
  bool GetKeyType(CK_KEY_TYPE* out) const { return GetUlongAttribute(CKA_KEY_TYPE, out); }
  bool GetCertificateType(CK_CERTIFICATE_TYPE* out) const { return GetUlongAttribute(CKA_CERTIFICATE_TYPE, out); }
  bool GetHwFeatureType(CK_HW_FEATURE_TYPE* out) const { return GetUlongAttribute(CKA_HW_FEATURE_TYPE, out); }
  bool GetMechanismType(CK_MECHANISM_TYPE* out) const { return GetUlongAttribute(CKA_MECHANISM_TYPE, out); }
  // One attribute set through the whole-template path.
  CK_RV SetAttributeValue(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length);

  // Extra attributes (beyond the fixed list).
  CK_RV AddExtraAttribute(CK_ATTRIBUTE_TYPE type, uint32_t flags, const void* value, CK_ULONG length);
  bool RemoveExtraAttribute(CK_ATTRIBUTE_TYPE type);
  bool RemoveExtraAttributes(const CK_ATTRIBUTE_TYPE* types, CK_ULONG count);
  bool SwapExtraAttributes(CK_ULONG i, CK_ULONG j);
  void FreeExtraAttributes();
  CK_ULONG GetExtraAttributeCount() const { return m_extraCount; }
  const Pkcs11AttributeRecord* GetExtraAttribute(CK_ULONG i) const {
    return i < m_extraCount ? &m_extra[i] : nullptr;
  }

  // Sets each attribute the class knows in its version; stops only on CKR_HOST_MEMORY.
  CK_RV ApplyAttributeTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count);
  // Gives each entry a new[] copy of the object's value (an entry whose buffer
  // has the value's length is refilled; a replaced buffer is freed with delete[]);
  // unknown or empty values leave the entry without a buffer and length 0.
  CK_RV CopyValuesToTemplate(CK_ATTRIBUTE* tmpl, CK_ULONG count) const;
  // The object's own CK_ATTRIBUTE array (kept by the object): fixed records in
  // index order, then the extra records when asked. *count receives the number of
  // fixed records; *total (optional) every entry.
  CK_RV BuildAttributeTemplate(const CK_ATTRIBUTE** tmpl, CK_ULONG* count, bool lengthsOnly,
                               bool includeExtras, CK_ULONG* total = nullptr);

  // Identity and version.
  CK_OBJECT_HANDLE GetHandle() const { return m_handle; }
  void SetHandle(CK_OBJECT_HANDLE h) { m_handle = h; }
  CK_ULONG GetOwner() const { return m_owner; }
  void SetOwner(CK_ULONG owner) { m_owner = owner; }
  CK_OBJECT_CLASS GetClass() const { return m_class; }
  // The object's version code as stored (0 = default).
  CK_ULONG GetPkcs11Version() const { return m_version; }
  CK_ULONG GetEffectiveVersion() const { return EffectivePkcs11Version(m_version); }
  void SetPkcs11Version(CK_ULONG version) { m_version = version; }
  // The subtype the validators take: certificate, key, hardware-feature or
  // mechanism type; ~0 when the class has none.
  virtual CK_ULONG GetSubtype() const { return ~0UL; }

protected:
  // A new object of the same class and subtype with default attributes.
  virtual CPkcs11Object* CreateEmptyLike() const;
  // Registers the fixed records of one class level (parent levels first).
  void AddLevel(Pkcs11AttributeLevel* level);
  // Whether a fixed record of a level is listed in the object's version code.
  virtual bool IsRecordActive(const Pkcs11AttributeDef& def) const;
  // Readability of the values marked sensitive (true in the base).
  virtual bool AreSensitiveValuesReadable() const { return true; }
  // Attributes accepted in templates without a record.
  virtual bool IsTemplateOnlyAttribute(CK_ATTRIBUTE_TYPE) const { return false; }
  // The class's rule for a value about to be stored: CK_RV without storing
  // anything when commit is false; brings the typed member in line when commit is
  // true (called after the record holds the value).
  virtual CK_RV OnAttributeSet(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length, bool commit);
  // The level and index of a fixed record listed in the version, or false.
  bool LocateFixed(CK_ATTRIBUTE_TYPE type, Pkcs11AttributeLevel** level, size_t* index) const;
  Pkcs11AttributeLevel* LevelOf(CK_ATTRIBUTE_TYPE type) const;
  bool MemberBool(CK_ATTRIBUTE_TYPE type, bool fallback) const;

private:
  CK_RV FindRecord(CK_ATTRIBUTE_TYPE type, Pkcs11AttributeRecord** record) const;
  void ReleaseTemplate();
  CK_RV CopyRecordsInto(CPkcs11Object* target) const;

  static constexpr size_t kMaxLevels = 4;

  CK_OBJECT_HANDLE m_handle;
  CK_ULONG m_owner;
  CK_OBJECT_CLASS m_class;
  CK_OBJECT_CLASS m_constructedClass;
  CK_ULONG m_version;
  Pkcs11AttributeRecord m_classRecord;
  Pkcs11AttributeRecord* m_extra;
  CK_ULONG m_extraCount;
  CK_ULONG m_extraCapacity;
  CK_ATTRIBUTE* m_template;
  CK_ULONG m_templateCount;
  Pkcs11AttributeLevel* m_levels[kMaxLevels];
  size_t m_levelCount;
};

// The boolean rule for CK_BBOOL members: true when any byte is non-zero; false for
// a null value or length ~0.
bool P11BoolFromValue(const void* value, CK_ULONG length);

#endif
