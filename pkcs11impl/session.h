// Sessions and their operation state: the record of one C_OpenSession with its
// slot, flags and state, the sign or decrypt operation in progress, the handles
// of the current object search and the session objects created in it.
#ifndef MIRTAL_PKCS11IMPL_SESSION_H
#define MIRTAL_PKCS11IMPL_SESSION_H

#include <cstdint>

#include "pkcs11impl/cryptoki.h"
#include "support/ptrlist.h"

class CPkcs11Object;
struct TracedObject;

// Internal token statuses beside CKR_OK; they never leave the module.
constexpr CK_RV TOKEN_STATUS_CARD_NOT_INITIALIZED = 0x80002002UL;
constexpr CK_RV TOKEN_STATUS_CARD_NOT_ACTIVATED = 0x80002003UL;

// Nobody logged in.
constexpr CK_USER_TYPE CKU_NOBODY = ~static_cast<CK_USER_TYPE>(0);

bool IsRwSessionState(CK_STATE state);
bool IsUserSessionState(CK_STATE state);
// The states in which private session objects are seen (and so may be made):
// the user's, read-only or read-write; the security officer works with public objects.
bool SeesPrivateObjects(CK_STATE state);

class CPkcs11OperationState {
 public:
  CPkcs11OperationState(uint32_t operation, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, CK_STATE state,
                        uint32_t contextLogin);
  virtual ~CPkcs11OperationState();
  virtual CK_RV SaveState();
  virtual CK_RV RestoreState();

  uint32_t operation;           // CKF_SIGN or CKF_DECRYPT
  CK_MECHANISM_TYPE mechanism;  // all ones until set
  CK_OBJECT_HANDLE signKey;
  CK_OBJECT_HANDLE decryptKey;
  CK_STATE stateAtInit;
  uint32_t contextLogin;  // 0 not needed, 1 needed, 2 failed, 3 given
};

// Integers kept in the pointer slots of a list.
class IntegerNumberList : public PointerList {
 public:
  explicit IntegerNumberList(int blockSize = 10) : PointerList(blockSize) {}
  ~IntegerNumberList() override;
  // Throws std::bad_alloc and leaves the list as it was when memory runs out.
  void AddNumber(CK_ULONG value) { AddTail(reinterpret_cast<void*>(static_cast<uintptr_t>(value))); }
  // Moves up to max numbers from the head into out; returns how many. A null
  // array returns the list's count and leaves the list as it is.
  CK_ULONG RemoveHeadToArray(CK_ULONG* out, CK_ULONG max);
  // The same without changing the list.
  CK_ULONG CopyHeadToArray(CK_ULONG* out, CK_ULONG max) const;
};

class CPkcs11ObjectHandleList : public IntegerNumberList {
 public:
  explicit CPkcs11ObjectHandleList(int blockSize = 8) : IntegerNumberList(blockSize) {}
  ~CPkcs11ObjectHandleList() override;
};

class CPkcs11Session {
 public:
  explicit CPkcs11Session(CK_SESSION_HANDLE handle);
  virtual ~CPkcs11Session();
  CPkcs11Session(const CPkcs11Session&) = delete;
  CPkcs11Session& operator=(const CPkcs11Session&) = delete;

  void Reset();
  void ResetFind();
  void AddFindResult(CK_OBJECT_HANDLE handle) { m_findResults.AddNumber(handle); }
  CK_ULONG FetchFindResults(CK_OBJECT_HANDLE* out, CK_ULONG max) { return m_findResults.RemoveHeadToArray(out, max); }
  CK_ULONG GetFindResultCount() const { return static_cast<CK_ULONG>(m_findResults.GetCount()); }
  void DropOperation();

  CPkcs11Object* FindObject(CK_OBJECT_HANDLE handle) const;
  bool HasObject(CK_OBJECT_HANDLE handle) const { return FindObject(handle) != nullptr; }
  void DropPrivateObjects();
  void ClearObjects();
  // Builds a session object from a create template and gives it the handle.
  CK_RV CreateObject(const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE handle);
  CK_RV DestroyObject(CK_OBJECT_HANDLE handle);
  // found (may be null) receives the object's class and privacy.
  CK_RV GetObjectAttributes(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount,
                            TracedObject* found = nullptr) const;
  CK_RV SetObjectAttributes(CK_OBJECT_HANDLE handle, const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount);
  // Appends the objects matching the template that the asking session (this
  // one when null) sees: private ones only from a session of the same slot in
  // the user states 1 and 3.
  CK_RV FindObjects(const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount, PointerList* out, bool clearFirst,
                    const CPkcs11Session* asking = nullptr) const;
  // True when this session may reach the private objects of the owner's session.
  bool SeesPrivateObjectsOf(const CPkcs11Session& owner) const {
    return m_slotId == owner.m_slotId && SeesPrivateObjects(m_state);
  }
  CK_RV GetObjectHandle(const CPkcs11Object* object, CK_OBJECT_HANDLE* handle) const;
  CK_RV BindObjectHandle(CPkcs11Object* object, CK_OBJECT_HANDLE handle, bool force);
  int GetObjectCount() const { return m_objects.GetCount(); }

  CK_SESSION_HANDLE GetHandle() const { return m_handle; }
  void SetHandle(CK_SESSION_HANDLE h) { m_handle = h; }
  CK_SLOT_ID GetSlotId() const { return m_slotId; }
  void SetSlotId(CK_SLOT_ID id) { m_slotId = id; }
  CK_STATE GetState() const { return m_state; }
  void SetState(CK_STATE s) { m_state = s; }
  CK_FLAGS GetFlags() const { return m_flags; }
  void SetFlags(CK_FLAGS f) { m_flags = f; }
  CK_ULONG GetDeviceStatus() const { return m_deviceStatus; }
  void SetDeviceStatus(CK_ULONG s) { m_deviceStatus = s; }
  bool IsFindActive() const { return m_findActive; }
  void SetFindActive(bool on) { m_findActive = on; }
  CPkcs11OperationState* GetOperation() const { return m_operation; }
  void SetOperation(CPkcs11OperationState* op);
  // Millisecond time of the last token query split in halves; 0 = never.
  uint64_t GetLastQueryHigh() const { return m_lastQueryHigh; }
  uint64_t GetLastQueryLow() const { return m_lastQueryLow; }
  void SetLastQuery(uint64_t high, uint64_t low) {
    m_lastQueryHigh = high;
    m_lastQueryLow = low;
  }

 private:
  CPkcs11OperationState* m_operation = nullptr;
  CPkcs11ObjectHandleList m_findResults;
  bool m_findActive = false;
  uint64_t m_lastQueryHigh = 0;
  uint64_t m_lastQueryLow = 0;
  TypedPointerList<CPkcs11Object> m_objects;
  CK_FLAGS m_flags = 0;
  CK_STATE m_state = 0;
  CK_SLOT_ID m_slotId = 0;
  CK_ULONG m_deviceStatus = 0;
  CK_SESSION_HANDLE m_handle;
};

#endif
