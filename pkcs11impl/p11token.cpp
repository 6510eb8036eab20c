#include "pkcs11impl/p11token.h"

#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/session.h"
#include "support/ptrlist.h"

namespace {
constexpr CK_USER_TYPE kNobody = ~static_cast<CK_USER_TYPE>(0);
}

CPkcs11Token::~CPkcs11Token() = default;

CK_RV CPkcs11Token::GetTokenInfo(CK_TOKEN_INFO* /*pInfo*/) { return CKR_OK; }

CK_RV CPkcs11Token::GetMechanismList(CK_MECHANISM_TYPE_PTR /*pList*/, CK_ULONG_PTR pulCount) {
  if (pulCount != nullptr) *pulCount = 0;
  return CKR_OK;
}

CK_RV CPkcs11Token::GetMechanismInfo(CK_MECHANISM_TYPE /*type*/, CK_MECHANISM_INFO* /*pInfo*/) {
  return CKR_MECHANISM_INVALID;
}

CK_OBJECT_HANDLE CPkcs11Token::GetPinHandleForUser(CK_USER_TYPE user) {
  void* pin = GetPinObjectForUser(user);
  return pin == nullptr ? 0 : GetHandleForObject(pin);
}

CK_USER_TYPE CPkcs11Token::GetUserTypeForPinHandle(CK_OBJECT_HANDLE h) {
  void* pin = GetObjectForHandle(h);
  return pin == nullptr ? 0 : GetUserTypeForPinObject(pin);
}

CK_RV CPkcs11Token::Login(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR /*pin*/, CK_ULONG /*len*/) {
  // A handle that names no PIN object logs nobody in (it would read as the officer's type 0).
  if (GetObjectForHandle(pinHandle) == nullptr) {
    m_loggedInUser = kNobody;
    return CKR_USER_TYPE_INVALID;
  }
  m_loggedInUser = GetUserTypeForPinHandle(pinHandle);
  return m_loggedInUser == kNobody ? CKR_USER_TYPE_INVALID : CKR_OK;
}

CK_RV CPkcs11Token::Logout() {
  m_loggedInUser = kNobody;
  return CKR_OK;
}

CK_RV CPkcs11Token::GetObjectSize(CK_OBJECT_HANDLE h, CK_ULONG_PTR size) {
  const CK_RV rv = CheckObjectOnCard(h);
  if (rv == CKR_OK && size != nullptr) *size = CK_UNAVAILABLE_INFORMATION;
  return rv;
}

CK_RV CPkcs11Token::FindObjectsInit(CK_ATTRIBUTE_PTR /*tmpl*/, CK_ULONG /*count*/, PointerList* result, bool clear) {
  if (clear && result != nullptr) result->RemoveAll();
  return CKR_OK;
}

CK_RV CPkcs11Token::AttachToSlot(CK_SLOT_ID slotId, CPkcs15Lib* library, CPkcs11Slot* slot) {
  m_nPkcs15SlotId = slotId;
  m_pApp = library;
  m_pSlot = slot;
  m_loggedInUser = kNobody;
  return CKR_OK;
}

CK_RV CPkcs11Token::DetachFromSlot() {
  // The base's logout: a token going away forgets its user without touching the card.
  CPkcs11Token::Logout();
  m_nPkcs15SlotId = ~static_cast<CK_SLOT_ID>(0);
  return CKR_OK;
}

bool CPkcs11Token::IsUserLoggedIn() const {
  const CK_USER_TYPE u = GetLoggedInUserType();
  return u == CKU_USER || u == CKU_MIRTAL_PERSONALIZATION_AGENT;
}

void CPkcs11Token::SessionOpened(bool rw) {
  ++m_sessionCount;
  if (rw) ++m_rwSessionCount;
}

void CPkcs11Token::SessionClosed(bool rw) {
  if (m_sessionCount > 0) --m_sessionCount;
  if (rw && m_rwSessionCount > 0) --m_rwSessionCount;
}
