#include "pkcs11impl/pkcs15slot.h"

#include <cstring>
#include <new>

#include "pkcs11impl/p11template.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/scerrmap.h"
#include "smartcard/sc_reader.h"

namespace {

// Blanks, then up to `size` bytes of text; a UTF-8 character broken by the cut is blanked.
void FillField(CK_UTF8CHAR* field, size_t size, const char* text, size_t len) {
  std::memset(field, ' ', size);
  const size_t n = len < size ? len : size;
  std::memcpy(field, text, n);
  if (len > size) FixTruncatedUtf8Field(field, size, ' ');
}

}  // namespace

CK_VERSION SlotHardwareVersion(uint32_t mode) {
  CK_VERSION v;
  const uint32_t proto = mode & 0x230;
  if (proto == 0x20)
    v.major = 1;
  else if (proto == 0x10)
    v.major = 2;
  else if (proto == 0x200)
    v.major = 15;
  else
    v.major = static_cast<CK_BYTE>((proto >> 4) + 16);
  const uint32_t share = mode & 0xF0000;
  if (share == 0x10000)
    v.minor = 0;
  else if (share == 0x20000)
    v.minor = 1;
  else if (share == 0x80000)
    v.minor = 15;
  else if (share == 0x40000)
    v.minor = 14;
  else
    v.minor = static_cast<CK_BYTE>((share >> 16) + 16);
  return v;
}

CK_RV CPkcs15Slot::GetSlotInfo(CK_SLOT_INFO* pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  if (m_bridge == nullptr) return CKR_GENERAL_ERROR;
  SCReader* reader = m_bridge->GetSlotReader(m_slotId);
  if (reader == nullptr) return CKR_FUNCTION_FAILED;

  const char* name = reader->GetName();
  FillField(pInfo->slotDescription, sizeof pInfo->slotDescription, name, std::strlen(name));
  const char* vendor = reader->GetVendorName();
  if (vendor != nullptr && *vendor != '\0') {
    FillField(pInfo->manufacturerID, sizeof pInfo->manufacturerID, vendor, std::strlen(vendor));
  } else {
    const char* blank = std::strchr(name, ' ');
    const size_t len = blank ? static_cast<size_t>(blank - name) : std::strlen(name);
    FillField(pInfo->manufacturerID, sizeof pInfo->manufacturerID, name, len);
  }

  pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  const SCRESULT rc = m_bridge->RefreshTokenInfo(m_slotId, 1, 0);
  if (rc == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
  if (m_bridge->GetSlotPresence(m_slotId) != CKR_TOKEN_NOT_PRESENT) pInfo->flags |= CKF_TOKEN_PRESENT;

  pInfo->hardwareVersion = SlotHardwareVersion(reader->GetMode());
  const uint32_t version = reader->GetVendorVersion();
  pInfo->firmwareVersion.major = static_cast<CK_BYTE>(version >> 24);
  pInfo->firmwareVersion.minor = static_cast<CK_BYTE>(version >> 16);
  return CKR_OK;
}

CK_RV CPkcs15Slot::CreateToken() {
  CPkcs15Token* token = new (std::nothrow) CPkcs15Token();
  if (token == nullptr) return CKR_HOST_MEMORY;
  delete m_token;
  m_token = token;
  return m_token->AttachToSlot(m_slotId, m_bridge, this);
}
