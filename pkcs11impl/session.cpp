#include "pkcs11impl/session.h"

#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/p11object.h"

bool IsRwSessionState(CK_STATE state) {
  return state == CKS_RW_PUBLIC_SESSION || state == CKS_RW_USER_FUNCTIONS || state == CKS_RW_SO_FUNCTIONS ||
         state == CKS_MIRTAL_PERSONALIZATION_AGENT || state == CKS_MIRTAL_USER_PUK || state == CKS_MIRTAL_SO_PUK;
}

bool IsUserSessionState(CK_STATE state) {
  return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS || state == CKS_RW_SO_FUNCTIONS ||
         state == CKS_MIRTAL_PERSONALIZATION_AGENT || state == CKS_MIRTAL_USER_PUK || state == CKS_MIRTAL_SO_PUK;
}

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
  CK_ULONG n = 0;
  while (n < max && !IsEmpty()) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(RemoveHead());
    if (out != nullptr) out[n] = static_cast<CK_ULONG>(v);
    ++n;
  }
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
