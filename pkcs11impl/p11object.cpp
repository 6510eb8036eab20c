// Object base: attribute records, record levels and the shared attribute rules.
#include "pkcs11impl/p11object.h"

#include <atomic>
#include <cstring>
#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11validate.h"
#include "support/textutil.h"

namespace {

constexpr CK_ULONG kAllOnes = ~0UL;

std::atomic<CK_ULONG> g_defaultVersion{0};

bool IsBoolKind(P11Kind k) { return k == P11Kind::Bool; }
bool IsUlongKind(P11Kind k) { return k != P11Kind::Bytes && k != P11Kind::Bool; }

// A CK_ULONG out of a big-endian byte string; ~0 when it has more than 8
// significant bytes. False for no bytes at all.
bool BigEndianNumber(const void* value, CK_ULONG length, CK_ULONG* out) {
  if (value == nullptr || length == 0 || length == kAllOnes) return false;
  const unsigned char* p = static_cast<const unsigned char*>(value);
  CK_ULONG i = 0;
  while (i < length && p[i] == 0) ++i;
  if (length - i > sizeof(CK_ULONG)) {
    *out = kAllOnes;
    return true;
  }
  CK_ULONG v = 0;
  for (; i < length; ++i) v = (v << 8) | p[i];
  *out = v;
  return true;
}

CK_ULONG ReadNative(const void* value) {
  CK_ULONG v;
  std::memcpy(&v, value, sizeof v);
  return v;
}

}  // namespace

void SetDefaultPkcs11Version(CK_ULONG version) { g_defaultVersion.store(version); }

CK_ULONG GetDefaultPkcs11Version() {
  CK_ULONG v = g_defaultVersion.load();
  return v != 0 ? v : P11_VERSION_DEFAULT;
}

bool P11BoolFromValue(const void* value, CK_ULONG length) {
  if (value == nullptr || length == kAllOnes) return false;
  const unsigned char* p = static_cast<const unsigned char*>(value);
  for (CK_ULONG i = 0; i < length; ++i)
    if (p[i] != 0) return true;
  return false;
}

bool AttributeDefInVersion(const Pkcs11AttributeDef& def, CK_ULONG version) {
  version = EffectivePkcs11Version(version);
  if (version == P11_VERSION_ALL) return true;
  return version >= def.fromVersion && version <= def.toVersion;
}

bool AttributeDefsKnow(const Pkcs11AttributeDef* defs, size_t count, CK_ATTRIBUTE_TYPE type,
                       CK_ULONG version) {
  for (size_t i = 0; i < count; ++i)
    if (defs[i].type == type && AttributeDefInVersion(defs[i], version)) return true;
  return false;
}

bool IsCommonObjectAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  switch (type) {
    case CKA_CLASS:
    case CKA_TOKEN:
    case CKA_PRIVATE:
    case CKA_LABEL:
    case CKA_MODIFIABLE:
      return true;
    case CKA_COPYABLE:
      return EffectivePkcs11Version(version) > 541;
    default:
      return false;
  }
}

// ---- Pkcs11AttributeRecord ----

void Pkcs11AttributeRecord::Setup(CK_ATTRIBUTE_TYPE t, void* member, CK_ULONG size) {
  type = t;
  value = member;
  length = member != nullptr ? size : 0;
  owned = false;
}

void Pkcs11AttributeRecord::Release() {
  if (owned && value != nullptr) {
    if (length != kAllOnes) SecureZero(value, length);
    delete[] static_cast<unsigned char*>(value);
  }
  value = nullptr;
  length = 0;
  owned = false;
}

void Pkcs11AttributeRecord::Assign(unsigned char* buffer, const void* bytes, CK_ULONG len) {
  if (len == 0 || len == kAllOnes) {
    delete[] buffer;
    Release();
    length = len;
    return;
  }
  if (value != nullptr && length == len) {
    // Same length: write in place, so a record on a typed member stays there.
    if (bytes != nullptr && bytes != value) std::memmove(value, bytes, len);
    if (buffer != nullptr) {
      SecureZero(buffer, len);
      delete[] buffer;
    }
    return;
  }
  Release();
  value = buffer;
  length = len;
  owned = true;
}

// ---- Pkcs11AttributeLevel ----

Pkcs11AttributeLevel::Pkcs11AttributeLevel(const Pkcs11AttributeDef* defs, size_t count)
    : m_defs(defs), m_count(count < kMaxRecords ? count : kMaxRecords) {
  Reset();
}

Pkcs11AttributeLevel::~Pkcs11AttributeLevel() {
  for (size_t i = m_count; i-- > 0;) m_records[i].Release();
  SecureZero(m_ulong, sizeof m_ulong);
}

void Pkcs11AttributeLevel::Reset() {
  for (size_t i = 0; i < m_count; ++i) {
    const Pkcs11AttributeDef& d = m_defs[i];
    m_bool[i] = IsBoolKind(d.kind) ? (d.defaultValue != 0 ? CK_TRUE : CK_FALSE) : CK_FALSE;
    m_ulong[i] = IsUlongKind(d.kind) ? d.defaultValue : 0;
    RepointRecord(i);
  }
}

void Pkcs11AttributeLevel::RepointRecord(size_t i) {
  Pkcs11AttributeRecord& r = m_records[i];
  r.Release();
  const Pkcs11AttributeDef& d = m_defs[i];
  if (IsBoolKind(d.kind))
    r.Setup(d.type, &m_bool[i], 1);
  else if (IsUlongKind(d.kind))
    r.Setup(d.type, &m_ulong[i], sizeof(CK_ULONG));
  else
    r.Setup(d.type, nullptr, 0);
}

int Pkcs11AttributeLevel::IndexOf(CK_ATTRIBUTE_TYPE type) const {
  for (size_t i = 0; i < m_count; ++i)
    if (m_defs[i].type == type) return static_cast<int>(i);
  return -1;
}

bool Pkcs11AttributeLevel::SetUlongByType(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
  int i = IndexOf(type);
  if (i < 0 || !IsUlongKind(m_defs[i].kind)) return false;
  m_ulong[i] = v;
  RepointRecord(static_cast<size_t>(i));
  return true;
}

bool Pkcs11AttributeLevel::SetBoolByType(CK_ATTRIBUTE_TYPE type, bool v) {
  int i = IndexOf(type);
  if (i < 0 || !IsBoolKind(m_defs[i].kind)) return false;
  m_bool[i] = v ? CK_TRUE : CK_FALSE;
  RepointRecord(static_cast<size_t>(i));
  return true;
}

// ---- CPkcs11Object ----

CPkcs11Object::CPkcs11Object(CK_OBJECT_CLASS objectClass)
    : m_handle(reinterpret_cast<CK_OBJECT_HANDLE>(this)),
      m_owner(0),
      m_class(objectClass),
      m_constructedClass(objectClass),
      m_version(0),
      m_extra(nullptr),
      m_extraCount(0),
      m_extraCapacity(0),
      m_template(nullptr),
      m_templateCount(0),
      m_levels{},
      m_levelCount(0) {
  m_classRecord.Setup(CKA_CLASS, &m_class, sizeof m_class);
}

CPkcs11Object::~CPkcs11Object() {
  ReleaseTemplate();
  FreeExtraAttributes();
  m_classRecord.Release();
}

void CPkcs11Object::AddLevel(Pkcs11AttributeLevel* level) {
  if (m_levelCount < kMaxLevels) m_levels[m_levelCount++] = level;
}

bool CPkcs11Object::IsRecordActive(const Pkcs11AttributeDef& def) const {
  return AttributeDefInVersion(def, m_version);
}

bool CPkcs11Object::LocateFixed(CK_ATTRIBUTE_TYPE type, Pkcs11AttributeLevel** level, size_t* index) const {
  for (size_t l = 0; l < m_levelCount; ++l) {
    Pkcs11AttributeLevel* lv = m_levels[l];
    for (size_t i = 0; i < lv->Count(); ++i) {
      if (lv->Def(i).type == type && IsRecordActive(lv->Def(i))) {
        if (level) *level = lv;
        if (index) *index = i;
        return true;
      }
    }
  }
  return false;
}

Pkcs11AttributeLevel* CPkcs11Object::LevelOf(CK_ATTRIBUTE_TYPE type) const {
  Pkcs11AttributeLevel* lv = nullptr;
  return LocateFixed(type, &lv, nullptr) ? lv : nullptr;
}

bool CPkcs11Object::MemberBool(CK_ATTRIBUTE_TYPE type, bool fallback) const {
  Pkcs11AttributeLevel* lv = nullptr;
  size_t i = 0;
  if (!LocateFixed(type, &lv, &i)) return fallback;
  return lv->GetBool(i) != 0;
}

bool CPkcs11Object::IsToken() const {
  bool v = false;
  return GetBoolAttribute(CKA_TOKEN, &v) && v;
}
bool CPkcs11Object::IsPrivate() const {
  bool v = false;
  return GetBoolAttribute(CKA_PRIVATE, &v) && v;
}
bool CPkcs11Object::IsReadOnly() const {
  bool v = true;
  return GetBoolAttribute(CKA_MODIFIABLE, &v) && !v;
}
bool CPkcs11Object::IsModifiable() const {
  bool v = false;
  return GetBoolAttribute(CKA_MODIFIABLE, &v) && v;
}
bool CPkcs11Object::IsCopyable() const {
  bool v = false;
  return GetBoolAttribute(CKA_COPYABLE, &v) && v;
}

const unsigned char* CPkcs11Object::GetLabel(CK_ULONG* length) const {
  const Pkcs11AttributeRecord* r = nullptr;
  if (FindAttribute(CKA_LABEL, &r) != CKR_OK) {
    if (length) *length = 0;
    return nullptr;
  }
  if (length) *length = r->length;
  return r->HasBytes() ? static_cast<const unsigned char*>(r->value) : nullptr;
}

CK_ULONG CPkcs11Object::GetLabelLength() const {
  CK_ULONG len = 0;
  GetLabel(&len);
  return len == kAllOnes ? 0 : len;
}

CK_ULONG CPkcs11Object::CopyLabel(unsigned char* buffer, CK_ULONG size) const {
  CK_ULONG len = 0;
  const unsigned char* label = GetLabel(&len);
  if (len == kAllOnes) len = 0;
  if (buffer != nullptr && label != nullptr) std::memcpy(buffer, label, len < size ? len : size);
  return len;
}

void CPkcs11Object::ResetToDefaults() {
  // The class stays the one the object was built for.
  m_classRecord.Release();
  m_class = m_constructedClass;
  m_classRecord.Setup(CKA_CLASS, &m_class, sizeof m_class);
}

CK_RV CPkcs11Object::FindRecord(CK_ATTRIBUTE_TYPE type, Pkcs11AttributeRecord** record) const {
  if (record) *record = nullptr;
  Pkcs11AttributeRecord* r = nullptr;
  if (type == CKA_CLASS) {
    r = const_cast<Pkcs11AttributeRecord*>(&m_classRecord);
  } else {
    Pkcs11AttributeLevel* lv = nullptr;
    size_t i = 0;
    if (LocateFixed(type, &lv, &i)) {
      r = &lv->Record(i);
    } else {
      for (CK_ULONG e = 0; e < m_extraCount; ++e) {
        if (m_extra[e].type == type) {
          r = &m_extra[e];
          break;
        }
      }
    }
  }
  if (r == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
  if (record) *record = r;
  return CKR_OK;
}

CK_RV CPkcs11Object::FindAttribute(CK_ATTRIBUTE_TYPE type, const Pkcs11AttributeRecord** record) const {
  Pkcs11AttributeRecord* r = nullptr;
  CK_RV rv = FindRecord(type, &r);
  if (record) *record = r;
  return rv;
}

const Pkcs11AttributeRecord* CPkcs11Object::GetFixedAttribute(CK_ULONG index) const {
  if (index == 0) return &m_classRecord;
  CK_ULONG k = 1;
  for (size_t l = 0; l < m_levelCount; ++l) {
    Pkcs11AttributeLevel* lv = m_levels[l];
    for (size_t i = 0; i < lv->Count(); ++i) {
      if (!IsRecordActive(lv->Def(i))) continue;
      if (k == index) return &lv->Record(i);
      ++k;
    }
  }
  return nullptr;
}

CK_ULONG CPkcs11Object::GetFixedAttributeCount() const {
  CK_ULONG n = 1;
  for (size_t l = 0; l < m_levelCount; ++l)
    for (size_t i = 0; i < m_levels[l]->Count(); ++i)
      if (IsRecordActive(m_levels[l]->Def(i))) ++n;
  return n;
}

bool CPkcs11Object::IsAttributeKnownInVersion(CK_ATTRIBUTE_TYPE type) const {
  if (m_levelCount == 0) return IsCommonObjectAttribute(type, m_version);
  if (type == CKA_CLASS) return true;
  if (LocateFixed(type, nullptr, nullptr)) return true;
  return IsTemplateOnlyAttribute(type);
}

bool CPkcs11Object::IsAttributeReadable(CK_ATTRIBUTE_TYPE type) const {
  Pkcs11AttributeLevel* lv = nullptr;
  size_t i = 0;
  if (!LocateFixed(type, &lv, &i)) return true;
  if ((lv->Def(i).flags & P11_ATTR_SENSITIVE) == 0) return true;
  return AreSensitiveValuesReadable();
}

bool CPkcs11Object::GetBoolAttribute(CK_ATTRIBUTE_TYPE type, bool* out) const {
  const Pkcs11AttributeRecord* r = nullptr;
  bool v = false;
  bool found = FindAttribute(type, &r) == CKR_OK && r->length != kAllOnes;
  if (found) {
    if (r->value == nullptr || r->length == 0)
      v = false;
    else if (r->length == 1)
      v = *static_cast<const unsigned char*>(r->value) != 0;
    else
      v = P11BoolFromValue(r->value, r->length);
  }
  if (out) *out = v;
  return found;
}

bool CPkcs11Object::GetUlongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* out) const {
  const Pkcs11AttributeRecord* r = nullptr;
  if (FindAttribute(type, &r) != CKR_OK || r->length != sizeof(CK_ULONG) || r->value == nullptr) return false;
  if (out) *out = ReadNative(r->value);
  return true;
}

CK_RV CPkcs11Object::OnAttributeSet(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length, bool commit) {
  if (type == CKA_CLASS) {
    if (value == nullptr || length != sizeof(CK_ULONG)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (commit) m_class = ReadNative(value);
    return CKR_OK;
  }
  Pkcs11AttributeLevel* lv = nullptr;
  size_t i = 0;
  if (!LocateFixed(type, &lv, &i)) return CKR_OK;  // extra records take any value
  bool is8 = value != nullptr && length == sizeof(CK_ULONG);
  switch (lv->Def(i).kind) {
    case P11Kind::Bytes:
      return CKR_OK;
    case P11Kind::Bool:
      if (commit) lv->SetBoolMember(i, P11BoolFromValue(value, length));
      return CKR_OK;
    case P11Kind::UlongBool:
      if (commit) lv->SetUlongMember(i, P11BoolFromValue(value, length) ? 1 : 0);
      return CKR_OK;
    case P11Kind::Ulong:
    case P11Kind::UlongCert:
      if (!is8)
        return lv->Def(i).kind == P11Kind::Ulong ? CKR_ATTRIBUTE_VALUE_INVALID : CKR_TEMPLATE_INCONSISTENT;
      if (commit) lv->SetUlongMember(i, ReadNative(value));
      return CKR_OK;
    case P11Kind::UlongLoose:
      if (commit && is8) lv->SetUlongMember(i, ReadNative(value));
      return CKR_OK;
    case P11Kind::UlongNumber:
    case P11Kind::UlongMechanism: {
      CK_ULONG v = kAllOnes;
      if (is8)
        v = ReadNative(value);
      else if (lv->Def(i).kind == P11Kind::UlongMechanism && value != nullptr && length == sizeof(CK_MECHANISM))
        v = ReadNative(value);
      else if (!BigEndianNumber(value, length, &v))
        return CKR_ATTRIBUTE_VALUE_INVALID;
      if (v == kAllOnes) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (commit) {
        // Kept as a native CK_ULONG, so reads give the number in its usual form.
        lv->SetUlongMember(i, v);
        lv->RepointRecord(i);
      }
      return CKR_OK;
    }
  }
  return CKR_OK;
}

CK_RV CPkcs11Object::SetAttributeValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (count == 0) return CKR_OK;
  if (tmpl == nullptr) return CKR_ARGUMENTS_BAD;
  // Every entry is checked before anything is stored.
  for (CK_ULONG n = 0; n < count; ++n) {
    const CK_ATTRIBUTE& a = tmpl[n];
    if (a.pValue == nullptr && a.ulValueLen != 0 && a.ulValueLen != kAllOnes) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (a.ulValueLen != kAllOnes && a.ulValueLen > P11_MAX_ATTRIBUTE_VALUE_LENGTH) return CKR_ATTRIBUTE_VALUE_INVALID;
    CK_RV rv = FindRecord(a.type, nullptr);
    if (rv != CKR_OK) return rv;
    rv = OnAttributeSet(a.type, a.pValue, a.ulValueLen, false);
    if (rv != CKR_OK) return rv;
  }
  // Buffers for every value, so that storing cannot fail half-way.
  unsigned char** buffers = new (std::nothrow) unsigned char*[count]();
  if (buffers == nullptr) return CKR_HOST_MEMORY;
  for (CK_ULONG n = 0; n < count; ++n) {
    CK_ULONG len = tmpl[n].ulValueLen;
    if (len == 0 || len == kAllOnes) continue;
    buffers[n] = new (std::nothrow) unsigned char[len];
    if (buffers[n] == nullptr) {
      for (CK_ULONG k = 0; k < n; ++k) {
        if (buffers[k] != nullptr) SecureZero(buffers[k], tmpl[k].ulValueLen);
        delete[] buffers[k];
      }
      delete[] buffers;
      return CKR_HOST_MEMORY;
    }
    std::memcpy(buffers[n], tmpl[n].pValue, len);
  }
  for (CK_ULONG n = 0; n < count; ++n) {
    const CK_ATTRIBUTE& a = tmpl[n];
    Pkcs11AttributeRecord* r = nullptr;
    if (FindRecord(a.type, &r) != CKR_OK) {
      // An earlier entry (a new key type) removed the record from the list.
      if (buffers[n] != nullptr) SecureZero(buffers[n], a.ulValueLen);
      delete[] buffers[n];
      continue;
    }
    r->Assign(buffers[n], buffers[n], a.ulValueLen);
    OnAttributeSet(a.type, a.pValue, a.ulValueLen, true);
  }
  delete[] buffers;
  return CKR_OK;
}

CK_RV CPkcs11Object::SetAttributeValue(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
  CK_ATTRIBUTE a{type, const_cast<void*>(value), length};
  return SetAttributeValues(&a, 1);
}

CK_RV CPkcs11Object::ModifyAttributeValues(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  if (IsReadOnly()) return CKR_ATTRIBUTE_READ_ONLY;
  CK_RV rv = ValidateTemplate(tmpl, count, P11_MODE_MODIFY);
  if (rv != CKR_OK) return rv;
  return SetAttributeValues(tmpl, count);
}

CK_RV CPkcs11Object::GetAttributeValues(CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
  if (count == 0) return CKR_OK;
  if (tmpl == nullptr) return CKR_ARGUMENTS_BAD;
  CK_RV result = CKR_OK;
  for (CK_ULONG n = 0; n < count; ++n) {
    CK_ATTRIBUTE& a = tmpl[n];
    if (!IsAttributeReadable(a.type)) {
      a.ulValueLen = kAllOnes;
      if (result == CKR_OK) result = CKR_ATTRIBUTE_SENSITIVE;
      continue;
    }
    const Pkcs11AttributeRecord* r = nullptr;
    CK_RV rv = FindAttribute(a.type, &r);
    if (rv != CKR_OK) {
      a.ulValueLen = kAllOnes;
      if (result == CKR_OK) result = rv;
      continue;
    }
    if (a.pValue == nullptr) {
      a.ulValueLen = r->length;  // size query
      continue;
    }
    if (a.ulValueLen < r->length) {
      // Too small: the caller learns the length it needs.
      a.ulValueLen = r->length;
      result = CKR_BUFFER_TOO_SMALL;
      continue;
    }
    a.ulValueLen = r->length;
    if (r->HasBytes()) std::memcpy(a.pValue, r->value, r->length);
  }
  return result;
}

CK_RV CPkcs11Object::Matches(const CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
  if (count == 0) return CKR_OK;
  if (tmpl == nullptr) return CKR_ARGUMENTS_BAD;
  for (CK_ULONG n = 0; n < count; ++n) {
    const CK_ATTRIBUTE& a = tmpl[n];
    const Pkcs11AttributeRecord* r = nullptr;
    CK_RV rv = FindAttribute(a.type, &r);
    if (rv != CKR_OK) return rv;
    // A search must not reveal what a read would hide.
    if (!IsAttributeReadable(a.type)) return CKR_ATTRIBUTE_SENSITIVE;
    if (a.ulValueLen != r->length) return CKR_ATTRIBUTE_DIFFERENT;
    if (a.ulValueLen == 0 || a.ulValueLen == kAllOnes) continue;
    if (a.pValue == nullptr) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (r->value == nullptr || std::memcmp(a.pValue, r->value, a.ulValueLen) != 0) return CKR_ATTRIBUTE_DIFFERENT;
  }
  return CKR_OK;
}

CPkcs11Object* CPkcs11Object::CreateEmptyLike() const { return new CPkcs11Object(m_constructedClass); }

CK_RV CPkcs11Object::CopyRecordsInto(CPkcs11Object* target) const {
  target->m_version = m_version;
  target->m_class = m_class;
  if (target->m_levelCount != m_levelCount) return CKR_GENERAL_ERROR;
  for (size_t l = 0; l < m_levelCount; ++l) {
    Pkcs11AttributeLevel* src = m_levels[l];
    Pkcs11AttributeLevel* dst = target->m_levels[l];
    if (src->Count() != dst->Count()) return CKR_GENERAL_ERROR;
    for (size_t i = 0; i < src->Count(); ++i) {
      const Pkcs11AttributeRecord& sr = src->Record(i);
      dst->SetBoolMember(i, src->GetBool(i) != 0);
      dst->SetUlongMember(i, src->GetUlong(i));
      dst->RepointRecord(i);
      Pkcs11AttributeRecord& dr = dst->Record(i);
      dr.flags = sr.flags;
      if (!sr.owned && sr.value != nullptr) continue;  // on its typed member, like the source
      if (!sr.HasBytes()) {
        dr.Release();
        dr.length = sr.length;
        continue;
      }
      unsigned char* buf = new (std::nothrow) unsigned char[sr.length];
      if (buf == nullptr) return CKR_HOST_MEMORY;
      std::memcpy(buf, sr.value, sr.length);
      dr.Release();
      dr.value = buf;
      dr.length = sr.length;
      dr.owned = true;
    }
  }
  for (CK_ULONG e = 0; e < m_extraCount; ++e) {
    const Pkcs11AttributeRecord& x = m_extra[e];
    CK_RV rv = target->AddExtraAttribute(x.type, x.flags, x.HasBytes() ? x.value : nullptr,
                                         x.HasBytes() ? x.length : 0);
    if (rv != CKR_OK) return rv;
    Pkcs11AttributeRecord* added = nullptr;
    if (target->FindRecord(x.type, &added) == CKR_OK && !x.HasBytes()) added->length = x.length;
  }
  return CKR_OK;
}

CK_RV CPkcs11Object::Copy(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** newObject) const {
  if (newObject == nullptr) return CKR_ARGUMENTS_BAD;
  *newObject = nullptr;
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  CPkcs11Object* obj = nullptr;
  try {
    obj = CreateEmptyLike();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  if (obj == nullptr) return CKR_HOST_MEMORY;
  CK_RV rv = CopyRecordsInto(obj);
  if (rv == CKR_OK) rv = obj->SetAttributeValues(tmpl, count);
  if (rv != CKR_OK) {
    delete obj;
    return rv;
  }
  *newObject = obj;
  return CKR_OK;
}

CK_RV CPkcs11Object::ValidateTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode) const {
  return ValidateObjectTemplate(tmpl, count, mode, m_class, GetSubtype(), m_version);
}

// ---- extra attributes ----

CK_RV CPkcs11Object::AddExtraAttribute(CK_ATTRIBUTE_TYPE type, uint32_t flags, const void* value, CK_ULONG length) {
  if (FindRecord(type, nullptr) == CKR_OK) return CKR_OK;  // already known: nothing to add
  if (value != nullptr && length != 0 && length != kAllOnes && length > P11_MAX_ATTRIBUTE_VALUE_LENGTH)
    return CKR_ATTRIBUTE_VALUE_INVALID;
  unsigned char* buf = nullptr;
  if (value != nullptr && length != 0 && length != kAllOnes) {
    buf = new (std::nothrow) unsigned char[length];
    if (buf == nullptr) return CKR_HOST_MEMORY;
    std::memcpy(buf, value, length);
  }
  if (m_extraCount == m_extraCapacity) {
    CK_ULONG cap = m_extraCapacity + 8;
    Pkcs11AttributeRecord* grown = new (std::nothrow) Pkcs11AttributeRecord[cap];
    if (grown == nullptr) {
      delete[] buf;
      return CKR_HOST_MEMORY;
    }
    for (CK_ULONG i = 0; i < m_extraCount; ++i) grown[i] = m_extra[i];
    delete[] m_extra;  // the records moved; their values now belong to the new array
    m_extra = grown;
    m_extraCapacity = cap;
  }
  Pkcs11AttributeRecord& r = m_extra[m_extraCount++];
  r = Pkcs11AttributeRecord();
  r.type = type;
  r.flags = flags;
  if (buf != nullptr) {
    r.value = buf;
    r.length = length;
    r.owned = true;
  }
  return CKR_OK;
}

bool CPkcs11Object::RemoveExtraAttribute(CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; i < m_extraCount; ++i) {
    if (m_extra[i].type != type) continue;
    m_extra[i].Release();
    for (CK_ULONG k = i + 1; k < m_extraCount; ++k) m_extra[k - 1] = m_extra[k];
    --m_extraCount;
    m_extra[m_extraCount] = Pkcs11AttributeRecord();
    return true;
  }
  return false;
}

bool CPkcs11Object::RemoveExtraAttributes(const CK_ATTRIBUTE_TYPE* types, CK_ULONG count) {
  if (types == nullptr) return false;
  bool any = false;
  for (CK_ULONG i = 0; i < count; ++i)
    if (RemoveExtraAttribute(types[i])) any = true;
  return any;
}

bool CPkcs11Object::SwapExtraAttributes(CK_ULONG i, CK_ULONG j) {
  if (i >= m_extraCount || j >= m_extraCount) return false;
  Pkcs11AttributeRecord t = m_extra[i];
  m_extra[i] = m_extra[j];
  m_extra[j] = t;
  return true;
}

void CPkcs11Object::FreeExtraAttributes() {
  for (CK_ULONG i = m_extraCount; i-- > 0;) m_extra[i].Release();
  delete[] m_extra;
  m_extra = nullptr;
  m_extraCount = 0;
  m_extraCapacity = 0;
}

// ---- template helpers ----

CK_RV CPkcs11Object::ApplyAttributeTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  for (CK_ULONG n = 0; n < count; ++n) {
    if (!IsAttributeKnownInVersion(tmpl[n].type)) continue;
    CK_RV rv = SetAttributeValues(&tmpl[n], 1);
    if (rv == CKR_HOST_MEMORY) return rv;
  }
  return CKR_OK;
}

CK_RV CPkcs11Object::CopyValuesToTemplate(CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
  if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  for (CK_ULONG n = 0; n < count; ++n) {
    CK_ATTRIBUTE& a = tmpl[n];
    const Pkcs11AttributeRecord* r = nullptr;
    if (FindAttribute(a.type, &r) != CKR_OK || !r->HasBytes()) {
      delete[] static_cast<unsigned char*>(a.pValue);
      a.pValue = nullptr;
      a.ulValueLen = 0;
      continue;
    }
    if (a.pValue != nullptr && a.ulValueLen == r->length) {
      std::memcpy(a.pValue, r->value, r->length);
      continue;
    }
    unsigned char* buf = new (std::nothrow) unsigned char[r->length];
    if (buf == nullptr) return CKR_HOST_MEMORY;
    std::memcpy(buf, r->value, r->length);
    delete[] static_cast<unsigned char*>(a.pValue);
    a.pValue = buf;
    a.ulValueLen = r->length;
  }
  return CKR_OK;
}

void CPkcs11Object::ReleaseTemplate() {
  if (m_template == nullptr) return;
  for (CK_ULONG i = 0; i < m_templateCount; ++i) {
    CK_ATTRIBUTE& a = m_template[i];
    if (a.pValue != nullptr && a.ulValueLen != kAllOnes) SecureZero(a.pValue, a.ulValueLen);
    delete[] static_cast<unsigned char*>(a.pValue);
  }
  delete[] m_template;
  m_template = nullptr;
  m_templateCount = 0;
}

CK_RV CPkcs11Object::BuildAttributeTemplate(const CK_ATTRIBUTE** tmpl, CK_ULONG* count, bool lengthsOnly,
                                            bool includeExtras, CK_ULONG* total) {
  if (tmpl == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
  *tmpl = nullptr;
  *count = 0;
  CK_ULONG fixed = GetFixedAttributeCount();
  CK_ULONG n = fixed + (includeExtras ? m_extraCount : 0);
  if (n != m_templateCount || m_template == nullptr) {
    ReleaseTemplate();
    m_template = new (std::nothrow) CK_ATTRIBUTE[n];
    if (m_template == nullptr) return CKR_HOST_MEMORY;
    m_templateCount = n;
    for (CK_ULONG i = 0; i < n; ++i) {
      const Pkcs11AttributeRecord* r = i < fixed ? GetFixedAttribute(i) : &m_extra[i - fixed];
      m_template[i].type = r->type;
      m_template[i].pValue = nullptr;
      m_template[i].ulValueLen = 0;
    }
  }
  for (CK_ULONG i = 0; i < n; ++i) {
    const Pkcs11AttributeRecord* r = i < fixed ? GetFixedAttribute(i) : &m_extra[i - fixed];
    CK_ATTRIBUTE& a = m_template[i];
    a.type = r->type;
    bool reuse = a.pValue != nullptr && a.ulValueLen == r->length && r->HasBytes();
    if (!reuse && a.pValue != nullptr) {
      if (a.ulValueLen != kAllOnes) SecureZero(a.pValue, a.ulValueLen);
      delete[] static_cast<unsigned char*>(a.pValue);
      a.pValue = nullptr;
    }
    a.ulValueLen = r->length;
    if (!r->HasBytes() || (lengthsOnly && r->owned)) {
      if (a.pValue != nullptr) {
        SecureZero(a.pValue, r->length);
        delete[] static_cast<unsigned char*>(a.pValue);
        a.pValue = nullptr;
      }
      continue;
    }
    if (a.pValue == nullptr) {
      a.pValue = new (std::nothrow) unsigned char[r->length];
      if (a.pValue == nullptr) return CKR_HOST_MEMORY;
    }
    std::memcpy(a.pValue, r->value, r->length);
  }
  *tmpl = m_template;
  *count = fixed;
  if (total) *total = n;
  return CKR_OK;
}
