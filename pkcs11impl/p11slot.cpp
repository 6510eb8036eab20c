#include "pkcs11impl/p11slot.h"

#include <cstring>

#include "pkcs11impl/p11token.h"

CK_RV CPkcs11Slot::SetOwner(CK_ULONG owner) {
  m_owner = owner;
  return CKR_OK;
}

CK_RV CPkcs11Slot::GetSlotInfo(CK_SLOT_INFO* pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  std::memset(pInfo->slotDescription, ' ', sizeof pInfo->slotDescription);
  std::memset(pInfo->manufacturerID, ' ', sizeof pInfo->manufacturerID);
  return CKR_OK;
}

CK_RV CPkcs11Slot::CreateToken() { return CKR_OK; }

CK_RV CPkcs11Slot::GetToken(CPkcs11Token** token) {
  if (token == nullptr) return CKR_GENERAL_ERROR;
  *token = m_token;
  return m_token != nullptr ? CKR_OK : CKR_GENERAL_ERROR;
}

CPkcs11Slot::~CPkcs11Slot() {
  delete m_token;
  m_token = nullptr;
}

Pkcs11Lock* CPkcs11Slot::GetLock() { return nullptr; }
