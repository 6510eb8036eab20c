#include "pkcs11impl/pkcs15app.h"

#include <new>
#include <memory>

#include "pkcs11impl/app.h"
#include "pkcs11impl/pkcs15slot.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/thread.h"
#include "support/vtest.h"

const char* g_pszLibraryManufacturer = MIRTAL_MANUFACTURER;
const char* g_pszSlotManufacturer = MIRTAL_MANUFACTURER;
const char* g_pszTokenManufacturer = MIRTAL_MANUFACTURER;
const char* g_pszTokenManufacturerLong = MIRTAL_MANUFACTURER;

CPkcs15Lib::CPkcs15Lib() = default;

CPkcs15Lib::~CPkcs15Lib() { DestroyReaderLocks(); }

CK_RV CPkcs15Lib::InitLib(const CK_C_INITIALIZE_ARGS* initArgs) {
  const SCRESULT r = SCPkcs15Lib::InitLib(initArgs, m_maxTokenCount);
  if (r < 0) return MapScErrorToCkr(r, false);
  return CreateReaderLocks(initArgs);
}

CK_RV CPkcs15Lib::DeInitLib() {
  const SCRESULT r = SCPkcs15Lib::DeInitLib();
  const CK_RV locks = DestroyReaderLocks();
  if (r < 0) return MapScErrorToCkr(r, false);
  return locks;
}

CK_RV CPkcs15Lib::GetSlotCount(CK_ULONG* count) const {
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  *count = SCPkcs15Lib::GetSlotCount(false);
  return CKR_OK;
}

CK_RV CPkcs15Lib::CreateSlots(CPkcs11Slot** slots, CK_ULONG* count) {
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_ULONG n = SCPkcs15Lib::GetSlotCount(false);
  if (slots == nullptr) {
    *count = n;
    return CKR_OK;
  }
  if (*count < n) return CKR_BUFFER_TOO_SMALL;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < n; ++i) {
    CPkcs15Slot* slot = new (std::nothrow) CPkcs15Slot();
    if (slot == nullptr) return CKR_HOST_MEMORY;
    slots[i] = slot;
    slot->SetSlotId(i);
    slot->SetBridge(this);
    rv = slot->CreateToken();
    if (rv != CKR_OK) return rv;
  }
  *count = n;
  return rv;
}

CK_RV CPkcs15Lib::GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  AssertInvariant(pulCount != nullptr, "pkcs11impl/pkcs15app", 212, "pulCount");
  const bool present = tokenPresent != CK_FALSE;
  if (present) {
    const SCRESULT r = ReadTokenList();
    if (r < 0) return MapScErrorToCkr(r, false);
  }
  const uint32_t n = SCPkcs15Lib::GetSlotCount(present);
  if (pSlotList == nullptr) {
    *pulCount = n;
    return CKR_OK;
  }
  if (*pulCount < n) {
    *pulCount = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  uint32_t onStack[100];
  uint32_t* ids = onStack;
  std::unique_ptr<uint32_t[]> onHeap;
  if (n > 100) {
    onHeap.reset(new (std::nothrow) uint32_t[n]);
    if (!onHeap) return CKR_HOST_MEMORY;
    ids = onHeap.get();
  }
  uint32_t got = n;
  if (SCPkcs15Lib::GetSlotList(ids, &got, present) < 0) return CKR_GENERAL_ERROR;
  for (uint32_t i = 0; i < got; ++i) pSlotList[i] = ids[i];
  *pulCount = got;
  return CKR_OK;
}

Pkcs11Lock* CPkcs15Lib::GetReaderLock(CK_SLOT_ID slot) const {
  if (!IsInitialized() || slot >= m_slotCount || m_readerLocks == nullptr || m_tokensPerReader == 0) return nullptr;
  const CK_ULONG reader = slot / m_tokensPerReader;
  if (reader >= m_readerLockCount) return nullptr;
  return &m_readerLocks[reader];
}

CK_RV CPkcs15Lib::LockReader(CK_SLOT_ID slot, Pkcs11Lock** lock) {
  Pkcs11Lock* l = GetReaderLock(slot);
  if (lock != nullptr) *lock = l;
  if (l == nullptr) return CKR_GENERAL_ERROR;
  l->Lock();
  return CKR_OK;
}

CK_RV CPkcs15Lib::UnlockReader(CK_SLOT_ID slot) {
  Pkcs11Lock* l = GetReaderLock(slot);
  if (l == nullptr) return CKR_GENERAL_ERROR;
  l->Unlock();
  return CKR_OK;
}

CK_RV CPkcs15Lib::CreateReaderLocks(const CK_C_INITIALIZE_ARGS* initArgs) {
  DestroyReaderLocks();
  if (m_readerCount == 0) return CKR_OK;
  Pkcs11Lock* locks = new (std::nothrow) Pkcs11Lock[m_readerCount];
  if (locks == nullptr) return CKR_HOST_MEMORY;
  m_readerLocks = locks;
  m_readerLockCount = m_readerCount;
  for (uint32_t i = 0; i < m_readerLockCount; ++i) {
    Pkcs11Lock& l = m_readerLocks[i];
    l.SetLogger(m_lockLogger);
    l.SetId(m_lockLogger != nullptr ? static_cast<long>(101 + i) : 0);
    CK_RV rv = l.Initialize(initArgs);
    if (rv == CKR_OK) rv = l.Create();
    if (rv != CKR_OK) return rv;
  }
  return CKR_OK;
}

CK_RV CPkcs15Lib::DestroyReaderLocks() {
  CK_RV first = CKR_OK;
  for (uint32_t i = 0; i < m_readerLockCount; ++i) {
    Pkcs11Lock& l = m_readerLocks[i];
    if (!l.IsEnabled() || !l.HasMutex()) continue;
    const CK_RV rv = l.Destroy();
    if (first == CKR_OK) first = rv;
  }
  delete[] m_readerLocks;
  m_readerLocks = nullptr;
  m_readerLockCount = 0;
  return first;
}

void CPkcs15Lib::SetLockLogger(TraceLogger* logger) {
  m_lockLogger = logger;
  for (uint32_t i = 0; i < m_readerLockCount; ++i) {
    m_readerLocks[i].SetLogger(logger);
    m_readerLocks[i].SetId(logger != nullptr ? 101 : 0);
  }
  SetRecordLockLogger(logger);
}

void CPkcs15Lib::EnableReaderLockLogging(bool enable) {
  for (uint32_t i = 0; i < m_readerLockCount; ++i) {
    m_readerLocks[i].SetLogger(enable ? m_lockLogger : nullptr);
    m_readerLocks[i].SetId(enable && m_lockLogger != nullptr ? 101 : 0);
  }
}
