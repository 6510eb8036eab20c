// Storage objects.
#include "pkcs11impl/p11storage.h"

namespace {

const Pkcs11AttributeDef kStorageDefs[] = {
    {CKA_TOKEN, P11Kind::Bool, 0, ~0UL, CK_FALSE, 0},
    {CKA_PRIVATE, P11Kind::Bool, 0, ~0UL, CK_FALSE, 0},
    {CKA_MODIFIABLE, P11Kind::Bool, 0, ~0UL, CK_TRUE, 0},
    {CKA_LABEL, P11Kind::Bytes, 0, ~0UL, 0, 0},
    {CKA_COPYABLE, P11Kind::Bool, 542, ~0UL, CK_TRUE, 0},
};
enum { kToken, kPrivate, kModifiable, kLabel, kCopyable };

}  // namespace

CPkcs11ObjectStorage::CPkcs11ObjectStorage(CK_OBJECT_CLASS objectClass)
    : CPkcs11Object(objectClass), m_storage(kStorageDefs, sizeof kStorageDefs / sizeof kStorageDefs[0]) {
  AddLevel(&m_storage);
}

CPkcs11ObjectStorage::~CPkcs11ObjectStorage() = default;

bool CPkcs11ObjectStorage::IsStorageAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG version) {
  return type == CKA_CLASS || AttributeDefsKnow(kStorageDefs, sizeof kStorageDefs / sizeof kStorageDefs[0], type, version);
}

bool CPkcs11ObjectStorage::IsToken() const { return m_storage.GetBool(kToken) != 0; }
bool CPkcs11ObjectStorage::IsPrivate() const { return m_storage.GetBool(kPrivate) != 0; }
bool CPkcs11ObjectStorage::IsReadOnly() const { return m_storage.GetBool(kModifiable) == 0; }
bool CPkcs11ObjectStorage::IsModifiable() const { return m_storage.GetBool(kModifiable) != 0; }
bool CPkcs11ObjectStorage::IsCopyable() const {
  // Objects of versions without CKA_COPYABLE can always be copied.
  if (!AttributeDefInVersion(kStorageDefs[kCopyable], GetPkcs11Version())) return true;
  return m_storage.GetBool(kCopyable) != 0;
}

const unsigned char* CPkcs11ObjectStorage::GetLabel(CK_ULONG* length) const {
  const Pkcs11AttributeRecord& r = m_storage.Record(kLabel);
  if (length) *length = r.length;
  return r.HasBytes() ? static_cast<const unsigned char*>(r.value) : nullptr;
}

CK_ULONG CPkcs11ObjectStorage::GetLabelLength() const {
  CK_ULONG len = m_storage.Record(kLabel).length;
  return len == ~0UL ? 0 : len;
}

void CPkcs11ObjectStorage::ResetToDefaults() {
  CPkcs11Object::ResetToDefaults();
  m_storage.Reset();
}
