// Base of the PKCS#11 tokens that slots own. The operations the slot and
// application layers call so far: attaching to a slot, the presence check, the
// token information and the change notice. The token layer overrides them.
#ifndef MIRTAL_PKCS11IMPL_P11TOKEN_H
#define MIRTAL_PKCS11IMPL_P11TOKEN_H

#include "pkcs11impl/cryptoki.h"

class CPkcs11Slot;
class CPkcs15Lib;

class CPkcs11Token {
 public:
  CPkcs11Token() = default;
  virtual ~CPkcs11Token();
  CPkcs11Token(const CPkcs11Token&) = delete;
  CPkcs11Token& operator=(const CPkcs11Token&) = delete;

  // Records the slot id, the bridge and the owning slot; nobody logged in. CKR_OK.
  CK_RV AttachToSlot(CK_SLOT_ID slotId, CPkcs15Lib* library, CPkcs11Slot* slot);
  // CKR_OK or a token status when a token is there, else why not.
  virtual CK_RV CheckTokenPresent() { return CKR_TOKEN_NOT_PRESENT; }
  virtual CK_RV GetTokenInfo(CK_TOKEN_INFO* pInfo);
  virtual bool HasTokenChanged() { return false; }
  virtual CK_RV AcknowledgeTokenChange() { return CKR_OK; }

  CK_SLOT_ID GetSlotId() const { return m_slotId; }
  CPkcs15Lib* GetLibrary() const { return m_library; }
  CPkcs11Slot* GetSlot() const { return m_slot; }
  CK_USER_TYPE GetLoggedInUserType() const { return m_userType; }

 protected:
  CK_SLOT_ID m_slotId = ~static_cast<CK_SLOT_ID>(0);
  CPkcs15Lib* m_library = nullptr;
  CPkcs11Slot* m_slot = nullptr;
  CK_USER_TYPE m_userType = ~static_cast<CK_USER_TYPE>(0);
};

#endif
