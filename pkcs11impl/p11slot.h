// A PKCS#11 slot: one token position of a reader. It answers C_GetSlotInfo and
// owns the token of its position. The bridge's slots derive from it.
#ifndef MIRTAL_PKCS11IMPL_P11SLOT_H
#define MIRTAL_PKCS11IMPL_P11SLOT_H

#include "pkcs11impl/cryptoki.h"

class CPkcs11Token;
class Pkcs11Lock;

class CPkcs11Slot {
 public:
  CPkcs11Slot() = default;
  virtual CK_RV SetOwner(CK_ULONG owner);
  // Blank description and manufacturer; nothing else is touched.
  virtual CK_RV GetSlotInfo(CK_SLOT_INFO* pInfo);
  virtual CK_RV CreateToken();
  // CKR_GENERAL_ERROR when there is no token or token is null.
  virtual CK_RV GetToken(CPkcs11Token** token);
  // Deletes the token.
  virtual ~CPkcs11Slot();
  // Null: token operations run under the global lock alone.
  virtual Pkcs11Lock* GetLock();

  CPkcs11Slot(const CPkcs11Slot&) = delete;
  CPkcs11Slot& operator=(const CPkcs11Slot&) = delete;

  CK_ULONG GetOwner() const { return m_owner; }

 protected:
  CK_ULONG m_owner = ~static_cast<CK_ULONG>(0);
  CPkcs11Token* m_token = nullptr;
};

#endif
