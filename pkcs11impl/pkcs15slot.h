// The slot of one token position of a reader of the bridge, and the token it makes.
#ifndef MIRTAL_PKCS11IMPL_PKCS15SLOT_H
#define MIRTAL_PKCS11IMPL_PKCS15SLOT_H

#include <cstdint>

#include "pkcs11impl/p11slot.h"
#include "pkcs11impl/pkcs15token.h"

class CPkcs15Lib;

class CPkcs15Slot : public CPkcs11Slot {
 public:
  CPkcs15Slot() = default;
  ~CPkcs15Slot() override = default;
  CK_RV GetSlotInfo(CK_SLOT_INFO* pInfo) override;
  CK_RV CreateToken() override;

  void SetSlotId(CK_SLOT_ID id) { m_slotId = id; }
  CK_SLOT_ID GetSlotId() const { return m_slotId; }
  void SetBridge(CPkcs15Lib* bridge) { m_bridge = bridge; }

 private:
  CK_SLOT_ID m_slotId = ~static_cast<CK_SLOT_ID>(0);
  CPkcs15Lib* m_bridge = nullptr;
};

// Hardware version of a slot from the reader's mode word.
CK_VERSION SlotHardwareVersion(uint32_t mode);

#endif
