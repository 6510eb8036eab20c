// The PKCS#11 side of the reader bridge: one Pkcs11Lock per reader, lock
// logging, slot creation and the slot list, with the bridge's card result codes
// turned into PKCS#11 return values. The application object embeds one.
#ifndef MIRTAL_PKCS11IMPL_PKCS15APP_H
#define MIRTAL_PKCS11IMPL_PKCS15APP_H

#include <cstdint>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/scpkcs15lib.h"

class CPkcs11Slot;
class Pkcs11Lock;
class TraceLogger;

// The maker's name as the library, slot and token information report it (the
// token has a short and a long form); set when the module is loaded.
extern const char* g_pszLibraryManufacturer;
extern const char* g_pszSlotManufacturer;
extern const char* g_pszTokenManufacturer;
extern const char* g_pszTokenManufacturerLong;

class CPkcs15Lib : public SCPkcs15Lib {
 public:
  CPkcs15Lib();
  ~CPkcs15Lib() override;

  CK_RV InitLib(const CK_C_INITIALIZE_ARGS* initArgs);
  CK_RV DeInitLib();
  CK_RV GetSlotCount(CK_ULONG* count) const;
  // Null array: count only; a short array: CKR_BUFFER_TOO_SMALL, nothing made.
  CK_RV CreateSlots(CPkcs11Slot** slots, CK_ULONG* count);
  CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);

  Pkcs11Lock* GetReaderLock(CK_SLOT_ID slot) const;
  CK_RV LockReader(CK_SLOT_ID slot, Pkcs11Lock** lock);
  CK_RV UnlockReader(CK_SLOT_ID slot);
  CK_RV CreateReaderLocks(const CK_C_INITIALIZE_ARGS* initArgs);
  CK_RV DestroyReaderLocks();
  void SetLockLogger(TraceLogger* logger);
  TraceLogger* GetLockLogger() const { return m_lockLogger; }
  void EnableReaderLockLogging(bool enable);

  void SetMaxTokenCount(uint32_t count) { m_maxTokenCount = count; }
  uint32_t GetMaxTokenCount() const { return m_maxTokenCount; }
  uint32_t GetReaderLockCount() const { return m_readerLockCount; }

  SCPkcs15Lib* GetPkcs15Lib() { return this; }

 private:
  Pkcs11Lock* m_readerLocks = nullptr;
  uint32_t m_readerLockCount = 0;
  TraceLogger* m_lockLogger = nullptr;
  uint32_t m_maxTokenCount = PKCS15_DEFAULT_TOKENS_PER_READER;
};

#endif
