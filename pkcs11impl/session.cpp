#include "pkcs11impl/session.h"

#include "pkcs11impl/cryptoki_vendor.h"
#include <new>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11object.h"

bool IsRwSessionState(CK_STATE state) {
  return state == CKS_RW_PUBLIC_SESSION || state == CKS_RW_USER_FUNCTIONS || state == CKS_RW_SO_FUNCTIONS ||
         state == CKS_MIRTAL_PERSONALIZATION_AGENT || state == CKS_MIRTAL_USER_PUK || state == CKS_MIRTAL_SO_PUK;
}

bool IsUserSessionState(CK_STATE state) {
  return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS || state == CKS_RW_SO_FUNCTIONS ||
         state == CKS_MIRTAL_PERSONALIZATION_AGENT || state == CKS_MIRTAL_USER_PUK || state == CKS_MIRTAL_SO_PUK;
}

bool SeesPrivateObjects(CK_STATE state) { return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS; }

CPkcs11OperationState::CPkcs11OperationState(uint32_t op, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key,
                                             CK_STATE state, uint32_t login)
    : operation(op),
      mechanism(mech),
      signKey(op == CKF_SIGN ? key : 0),
      decryptKey(op == CKF_DECRYPT ? key : 0),
      stateAtInit(state),
      contextLogin(login) {}

CPkcs11OperationState::~CPkcs11OperationState() = default;
CK_RV CPkcs11OperationState::SaveState() { return CKR_STATE_UNSAVEABLE; }
CK_RV CPkcs11OperationState::RestoreState() { return CKR_SAVED_STATE_INVALID; }

IntegerNumberList::~IntegerNumberList() = default;

CK_ULONG IntegerNumberList::RemoveHeadToArray(CK_ULONG* out, CK_ULONG max) {
  // A null array asks for the count; nothing is taken off the list then.
  if (out == nullptr) return static_cast<CK_ULONG>(GetCount());
  CK_ULONG n = 0;
  while (n < max && !IsEmpty()) {
    out[n] = static_cast<CK_ULONG>(reinterpret_cast<uintptr_t>(RemoveHead()));
    ++n;
  }
  return n;
}

CK_ULONG IntegerNumberList::CopyHeadToArray(CK_ULONG* out, CK_ULONG max) const {
  if (out == nullptr) return static_cast<CK_ULONG>(GetCount());
  CK_ULONG n = 0;
  for (POSITION p = GetHeadPosition(); p != nullptr && n < max; ++n)
    out[n] = static_cast<CK_ULONG>(reinterpret_cast<uintptr_t>(GetNext(p)));
  return n;
}

CPkcs11ObjectHandleList::~CPkcs11ObjectHandleList() = default;

CPkcs11Session::CPkcs11Session(CK_SESSION_HANDLE handle) : m_findResults(8), m_objects(8, true), m_handle(handle) {}

CPkcs11Session::~CPkcs11Session() { Reset(); }

void CPkcs11Session::Reset() {
  m_findResults.RemoveAll();
  m_findActive = false;
  DropOperation();
  m_objects.DeleteAll();
}

void CPkcs11Session::ResetFind() {
  m_findResults.RemoveAll();
  m_findActive = false;
}

void CPkcs11Session::DropOperation() {
  delete m_operation;
  m_operation = nullptr;
}

void CPkcs11Session::SetOperation(CPkcs11OperationState* op) {
  if (op != m_operation) delete m_operation;
  m_operation = op;
}

CPkcs11Object* CPkcs11Session::FindObject(CK_OBJECT_HANDLE handle) const {
  if (handle == CK_INVALID_HANDLE) return nullptr;
  for (POSITION p = m_objects.GetHeadPosition(); p;) {
    CPkcs11Object* o = m_objects.GetNext(p);
    if (o->GetHandle() == handle) return o;
  }
  return nullptr;
}

void CPkcs11Session::DropPrivateObjects() {
  for (POSITION p = m_objects.GetHeadPosition(); p;) {
    POSITION here = p;
    CPkcs11Object* o = m_objects.GetNext(p);
    if (o->IsPrivate()) {
      m_objects.RemoveAt(here);
      delete o;
    }
  }
}

void CPkcs11Session::ClearObjects() { m_objects.DeleteAll(); }

CK_RV CPkcs11Session::CreateObject(const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE handle) {
  if (pTemplate == nullptr || ulCount == 0) return CKR_ARGUMENTS_BAD;
  if (handle != CK_INVALID_HANDLE && FindObject(handle) != nullptr) return CKR_OBJECT_HANDLE_INVALID;
  CPkcs11Object* object = nullptr;
  const CK_RV rv = CreateObjectFromTemplate(pTemplate, ulCount, &object, 0);
  if (rv != CKR_OK) return rv;
  try {
    m_objects.AddTail(object);
  } catch (const std::bad_alloc&) {
    delete object;
    return CKR_HOST_MEMORY;
  }
  object->SetHandle(handle);
  return CKR_OK;
}

CK_RV CPkcs11Session::DestroyObject(CK_OBJECT_HANDLE handle) {
  CPkcs11Object* o = FindObject(handle);
  if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (o->IsPrivate() && !IsRwSessionState(m_state)) return CKR_SESSION_READ_ONLY;
  m_objects.RemoveAt(m_objects.Find(o));
  delete o;
  return CKR_OK;
}

CK_RV CPkcs11Session::GetObjectAttributes(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount,
                                          TracedObject* found) const {
  const CPkcs11Object* o = FindObject(handle);
  if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (found != nullptr) {
    found->objectClass = o->GetClass();
    found->isPrivate = o->IsPrivate();
  }
  return o->GetAttributeValues(pTemplate, ulCount);
}

CK_RV CPkcs11Session::SetObjectAttributes(CK_OBJECT_HANDLE handle, const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount) {
  CPkcs11Object* o = FindObject(handle);
  if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  return o->ModifyAttributeValues(pTemplate, ulCount);
}

CK_RV CPkcs11Session::FindObjects(const CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount, PointerList* out,
                                  bool clearFirst, const CPkcs11Session* asking) const {
  if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  if (clearFirst) out->RemoveAll();
  const bool seesPrivate = (asking != nullptr ? asking : this)->SeesPrivateObjectsOf(*this);
  for (POSITION p = m_objects.GetHeadPosition(); p;) {
    CPkcs11Object* o = m_objects.GetNext(p);
    if (o->IsPrivate() && !seesPrivate) continue;
    const CK_RV rv = ulCount == 0 ? CKR_OK : o->Matches(pTemplate, ulCount);
    if (rv == CKR_HOST_MEMORY) return rv;
    if (rv != CKR_OK) continue;
    try {
      out->AddTail(o);
    } catch (const std::bad_alloc&) {
      return CKR_HOST_MEMORY;
    }
  }
  return CKR_OK;
}

CK_RV CPkcs11Session::GetObjectHandle(const CPkcs11Object* object, CK_OBJECT_HANDLE* handle) const {
  if (handle == nullptr) return CKR_ARGUMENTS_BAD;
  *handle = CK_INVALID_HANDLE;
  if (object == nullptr || m_objects.Find(object) == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  *handle = object->GetHandle();
  return CKR_OK;
}

CK_RV CPkcs11Session::BindObjectHandle(CPkcs11Object* object, CK_OBJECT_HANDLE handle, bool force) {
  if (object == nullptr || m_objects.Find(object) == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (object->GetHandle() != CK_INVALID_HANDLE && !force) return CKR_NO_EVENT;
  object->SetHandle(handle);
  return CKR_OK;
}
