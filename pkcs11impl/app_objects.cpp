// The application's object members: one handle space shared by session objects
// and the objects of every token, creation, destruction, attribute reads and
// changes, sizes, searches, and the labels made for certificates without one.
#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/x509/sgncert.h"
#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x509name.h"
#include "pkcs11impl/app.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/p11slot.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11token.h"
#include "pkcs11impl/p11validate.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

// Index of the common name in the X.500 attribute-type table.
constexpr uint32_t kCommonNameTypeId = 5;
// Buffer for a token certificate's subject or value read for its label.
constexpr CK_ULONG kLabelSourceBuffer = 32768;

// Holds the slot's own lock, when it has one, for the length of a scope.
class SlotLockScope {
 public:
  explicit SlotLockScope(Pkcs11Lock* lock) : m_lock(lock) {
    if (m_lock) m_lock->Lock();
  }
  ~SlotLockScope() {
    if (m_lock) m_lock->Unlock();
  }
  SlotLockScope(const SlotLockScope&) = delete;
  SlotLockScope& operator=(const SlotLockScope&) = delete;

 private:
  Pkcs11Lock* m_lock;
};

// A heap copy of some template entries that is wiped and freed with the scope.
struct TemplateCopy {
  std::vector<CK_ATTRIBUTE> entries;
  ~TemplateCopy() {
    if (!entries.empty()) SecureZero(entries.data(), entries.size() * sizeof(CK_ATTRIBUTE));
  }
};

}  // namespace

// ===========================================================================
// Object handles

CPkcs11Session* CPkcs11App::FindSessionObjectOwner(CK_OBJECT_HANDLE h) const {
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->HasObject(h)) return s;
  }
  return nullptr;
}

CPkcs11Token* CPkcs11App::FindTokenForObjectHandle(CK_OBJECT_HANDLE h) const {
  if (m_slots == nullptr || h == CK_INVALID_HANDLE) return nullptr;
  for (CK_ULONG i = 0; i < m_slotCount; ++i) {
    CPkcs11Token* token = nullptr;
    if (m_slots[i] == nullptr || m_slots[i]->GetToken(&token) != CKR_OK || token == nullptr) continue;
    // Whatever the handle is bound to counts, a PIN or an object the card no
    // longer holds included: such a handle is never given to another object.
    if (token->GetObjectForHandle(h) != nullptr) return token;
  }
  return nullptr;
}

bool CPkcs11App::IsObjectHandleInUse(CK_OBJECT_HANDLE h) const {
  return FindSessionObjectOwner(h) != nullptr || FindTokenForObjectHandle(h) != nullptr;
}

CK_OBJECT_HANDLE CPkcs11App::NextFreeObjectHandle(CK_OBJECT_HANDLE from) const {
  // Nothing above the high mark was ever given out: no search needed.
  if (m_objectHighMark <= from) {
    const CK_OBJECT_HANDLE h = from + 1;
    return h == CK_INVALID_HANDLE ? 1 : h;
  }
  CK_OBJECT_HANDLE h = from;
  for (;;) {
    ++h;
    if (h == CK_INVALID_HANDLE) continue;
    if (!IsObjectHandleInUse(h)) return h;
  }
}

CK_OBJECT_HANDLE CPkcs11App::NewObjectHandle() {
  m_objectCounter = NextFreeObjectHandle(m_objectCounter);
  if (m_objectCounter > m_objectHighMark) m_objectHighMark = m_objectCounter;
  return m_objectCounter;
}

void CPkcs11App::NextObjectHandles(CK_OBJECT_HANDLE* out, CK_ULONG n) const {
  CK_OBJECT_HANDLE h = m_objectCounter;
  for (CK_ULONG i = 0; i < n; ++i) {
    h = NextFreeObjectHandle(h);
    if (out) out[i] = h;
  }
}

void CPkcs11App::PeekObjectHandlePair(CK_OBJECT_HANDLE* h1, CK_OBJECT_HANDLE* h2) const {
  CK_OBJECT_HANDLE hs[2];
  NextObjectHandles(hs, 2);
  if (h1) *h1 = hs[0];
  if (h2) *h2 = hs[1];
}

bool CPkcs11App::IsObjectHandleFree(CK_OBJECT_HANDLE h) const {
  if (m_objectCounter >= m_objectHighMark && h > m_objectHighMark) return true;
  return !IsObjectHandleInUse(h);
}

bool CPkcs11App::ReserveObjectHandle(CK_OBJECT_HANDLE h) {
  if (h == CK_INVALID_HANDLE || !IsObjectHandleFree(h)) return false;
  if (m_objectCounter >= m_objectHighMark) {
    if (h < m_objectCounter) return false;
    m_objectHighMark = h;
  }
  m_objectCounter = h;
  return true;
}

bool CPkcs11App::ReserveObjectHandles(const CK_OBJECT_HANDLE* hs, CK_ULONG n) {
  if (hs == nullptr || n == 0) return false;
  if (n == 1) return ReserveObjectHandle(hs[0]);
  CK_OBJECT_HANDLE lo = 0, hi = 0;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (hs[i] == CK_INVALID_HANDLE || !IsObjectHandleFree(hs[i])) return false;
    if (hs[i] < m_objectHighMark && hs[i] > lo) lo = hs[i];
    if (hs[i] > m_objectHighMark && hs[i] > hi) hi = hs[i];
  }
  if (m_objectCounter < m_objectHighMark) return ReserveObjectHandle(lo > hi ? lo : hi);
  if (hi == 0 && lo != 0) return false;
  if (hi != 0 && lo != 0) {
    m_objectHighMark = hi;
    m_objectCounter = lo;
    return true;
  }
  if (hi != 0) {
    m_objectCounter = m_objectHighMark = hi;
    return true;
  }
  // Every handle equals the high mark: nothing moves, later handles stay above it.
  return true;
}

bool CPkcs11App::ReserveObjectHandlePair(CK_OBJECT_HANDLE h1, CK_OBJECT_HANDLE h2) {
  const CK_OBJECT_HANDLE hs[2] = {h1, h2};
  return ReserveObjectHandles(hs, 2);
}

// ===========================================================================
// Members behind the object calls

CK_RV CPkcs11App::TokenPreamble(CK_SLOT_ID slotId, CPkcs11Token** token, CK_RV* status) {
  *token = nullptr;
  *status = CKR_OK;
  CPkcs11Token* t = nullptr;
  const CK_RV got = GetSlotToken(slotId, &t);
  if (got != CKR_OK) return MapTokenResult(got == CKR_SLOT_ID_INVALID ? CKR_GENERAL_ERROR : got, slotId);
  const CK_RV present = t->CheckTokenPresent();
  if (present != CKR_OK && present != TOKEN_STATUS_CARD_NOT_INITIALIZED && present != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return MapTokenResult(present, slotId);
  if (t->HasTokenChanged()) {
    t->AcknowledgeTokenChange();
    return MapTokenResult(CKR_SESSION_CLOSED, slotId);
  }
  *token = t;
  *status = present;
  return CKR_OK;
}

namespace {

// What writing a token object needs of the session and the token.
CK_RV CheckTokenWrite(const CPkcs11Session* s, CK_RV status) {
  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  if (status != CKR_OK) return CKR_TOKEN_WRITE_PROTECTED;
  if (!IsUserSessionState(s->GetState())) return CKR_USER_NOT_LOGGED_IN;
  return CKR_OK;
}

}  // namespace

CK_RV CPkcs11App::ResolveObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CPkcs11Session** owner) {
  if (owner) *owner = nullptr;
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (CPkcs11Session* o = FindSessionObjectOwner(hObject)) {
    // A private session object belongs to its token's logged-in user: any other
    // session does not see it at all.
    const CPkcs11Object* object = o->FindObject(hObject);
    if (object != nullptr && object->IsPrivate() && !s->SeesPrivateObjectsOf(*o)) return CKR_OBJECT_HANDLE_INVALID;
    if (owner) *owner = o;
    return CKR_OK;
  }
  CPkcs11Token* token = nullptr;
  if (GetSlotToken(s->GetSlotId(), &token) != CKR_OK) return CKR_GENERAL_ERROR;
  return token->CheckObjectOnCard(hObject);
}

CK_RV CPkcs11App::ObjectPreamble(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CPkcs11Session** s,
                                 CPkcs11Session** owner, CPkcs11Token** token, CK_RV* status) {
  *owner = nullptr;
  *s = FindSession(hSession, nullptr);
  if (*s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_RV rv = ResolveObject(hSession, hObject, owner);
  if (rv != CKR_OK) return MapSessionTokenResult(rv, hSession);
  return TokenPreamble((*s)->GetSlotId(), token, status);
}

CK_RV CPkcs11App::CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                               CK_OBJECT_HANDLE_PTR phObject) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (ulCount == 0 || phObject == nullptr || pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
  *phObject = CK_INVALID_HANDLE;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  CK_BBOOL onToken = CK_FALSE;
  CK_RV rv = GetTemplateBool(pTemplate, ulCount, CKA_TOKEN, &onToken);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    onToken = CK_FALSE;
  else if (rv != CKR_OK)
    return rv;
  if (TemplateContradictsItsKind(pTemplate, ulCount)) return CKR_TEMPLATE_INCONSISTENT;
  rv = ValidateObjectTemplate(pTemplate, ulCount, P11_MODE_CREATE, P11_NOT_GIVEN, P11_NOT_GIVEN, 0);
  if (rv != CKR_OK) return rv;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;
  // Private session objects are made only where they can be seen: while the user is logged in.
  const bool isPrivate = P11TemplateBoolTrue(pTemplate, ulCount, CKA_PRIVATE);
  CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
  if (onToken) {
    rv = CheckTokenWrite(s, status);
    if (rv != CKR_OK) return rv;
    h = NewObjectHandle();
    rv = token->CreateObject(pTemplate, ulCount, h);
  } else {
    if (isPrivate && !SeesPrivateObjects(s->GetState())) return CKR_USER_NOT_LOGGED_IN;
    h = NewObjectHandle();
    rv = s->CreateObject(pTemplate, ulCount, h);
  }
  if (rv == CKR_OK) *phObject = h;
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = nullptr;
  CPkcs11Session* owner = nullptr;
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  CK_RV rv = ObjectPreamble(hSession, hObject, &s, &owner, &token, &status);
  if (rv != CKR_OK) return rv;
  const CK_SLOT_ID slotId = s->GetSlotId();
  if (owner != nullptr) {
    rv = owner->DestroyObject(hObject);
  } else {
    rv = CheckTokenWrite(s, status);
    if (rv == CKR_OK) rv = token->DestroyObject(hObject);
  }
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = nullptr;
  CPkcs11Session* owner = nullptr;
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  CK_RV rv = ObjectPreamble(hSession, hObject, &s, &owner, &token, &status);
  if (rv != CKR_OK) return rv;
  const CK_SLOT_ID slotId = s->GetSlotId();
  if (owner != nullptr || status != CKR_OK) {
    *pulSize = CK_UNAVAILABLE_INFORMATION;
    return CKR_OK;
  }
  return MapTokenResult(token->GetObjectSize(hObject, pulSize), slotId);
}

CK_RV CPkcs11App::SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pTemplate == nullptr || ulCount == 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = nullptr;
  CPkcs11Session* owner = nullptr;
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  CK_RV rv = ObjectPreamble(hSession, hObject, &s, &owner, &token, &status);
  if (rv != CKR_OK) return rv;
  const CK_SLOT_ID slotId = s->GetSlotId();
  if (owner != nullptr) return owner->SetObjectAttributes(hObject, pTemplate, ulCount);
  rv = CheckTokenWrite(s, status);
  if (rv == CKR_OK) rv = token->SetAttributeValue(hObject, pTemplate, ulCount);
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::ReadObjectAttributes(CPkcs11Session* owner, CPkcs11Token* token, CK_OBJECT_HANDLE hObject,
                                       CK_ATTRIBUTE* tmpl, CK_ULONG count, TracedObject* found) {
  if (owner != nullptr) return owner->GetObjectAttributes(hObject, tmpl, count, found);
  return token->GetAttributeValue(hObject, tmpl, count, found);
}

CK_RV CPkcs11App::GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount, TracedObject* found) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pTemplate == nullptr || ulCount == 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_SLOT_ID slotId = s->GetSlotId();
  SlotLockScope slotLock(m_slots != nullptr && slotId < m_slotCount && m_slots[slotId] ? m_slots[slotId]->GetLock()
                                                                                       : nullptr);
  CPkcs11Session* owner = nullptr;
  CK_RV rv = ResolveObject(hSession, hObject, &owner);
  if (rv != CKR_OK) return MapSessionTokenResult(rv, hSession);
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;
  if (owner == nullptr && status != CKR_OK) return MapTokenResult(CKR_FUNCTION_FAILED, slotId);

  // A certificate without a label gets one made from its subject.
  bool generate = false;
  if (m_certLabelMode != 0 && TemplateHasAttribute(pTemplate, ulCount, CKA_LABEL)) {
    CK_OBJECT_CLASS cls = ~0UL;
    CK_ATTRIBUTE probe[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, nullptr, 0}};
    // An object that cannot answer the probe is read as it is: its entries say why.
    generate = ReadObjectAttributes(owner, token, hObject, probe, 2, found) == CKR_OK && probe[1].ulValueLen == 0 &&
               cls == CKO_CERTIFICATE;
  }
  if (!generate) return MapTokenResult(ReadObjectAttributes(owner, token, hObject, pTemplate, ulCount, found), slotId);

  TemplateCopy rest;
  try {
    for (CK_ULONG i = 0; i < ulCount; ++i)
      if (pTemplate[i].type != CKA_LABEL) rest.entries.push_back(pTemplate[i]);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  CK_RV read = CKR_OK;
  if (!rest.entries.empty())
    read = ReadObjectAttributes(owner, token, hObject, rest.entries.data(), static_cast<CK_ULONG>(rest.entries.size()),
                                found);
  CK_RV result = read;
  if (read == CKR_OK || read == CKR_ATTRIBUTE_SENSITIVE || read == CKR_ATTRIBUTE_TYPE_INVALID ||
      read == CKR_BUFFER_TOO_SMALL) {
    CK_RV label = CKR_OK;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      if (pTemplate[i].type != CKA_LABEL) continue;
      label = GenerateCertificateLabel(owner, token, hObject, &pTemplate[i], m_certLabelMode == 1);
      if (label != CKR_OK && label != CKR_BUFFER_TOO_SMALL) break;
    }
    if (label != CKR_OK && read != CKR_ATTRIBUTE_SENSITIVE && read != CKR_ATTRIBUTE_TYPE_INVALID) result = label;
  }
  size_t next = 0;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    if (pTemplate[i].type == CKA_LABEL) continue;
    AssertInvariant(next < rest.entries.size(), "pkcs11impl/app", 2042, "cnt2 == ulCnt");
    pTemplate[i].ulValueLen = rest.entries[next++].ulValueLen;
  }
  return MapTokenResult(result, slotId);
}

bool GetCertificateNameText(const DistinguishedName& name, char** text, bool oneAttribute) {
  *text = nullptr;
  if (oneAttribute) {
    if (const AttributeValue* cn = name.findValueById(kCommonNameTypeId)) {
      *text = x500::valueToNewText(cn->value, 0);
      return *text != nullptr;
    }
  }
  *text = name.toNewString(DNF_LABEL);
  return *text != nullptr;
}

namespace {

// One attribute of a certificate, read whole: a session object tells its length
// first, a token object answers into a buffer of fixed size.
CK_RV ReadWholeAttribute(CPkcs11App& app, CPkcs11Session* owner, CPkcs11Token* token, CK_OBJECT_HANDLE h,
                         CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* out) {
  out->clear();
  CK_ATTRIBUTE a = {type, nullptr, 0};
  CK_ULONG size = kLabelSourceBuffer;
  if (owner != nullptr) {
    const CK_RV rv = app.ReadObjectAttributes(owner, token, h, &a, 1);
    if (rv != CKR_OK) return rv;
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > P11_MAX_ATTRIBUTE_VALUE_LENGTH)
      return CKR_FUNCTION_FAILED;
    size = a.ulValueLen;
  }
  try {
    out->resize(size);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  a.pValue = out->data();
  a.ulValueLen = size;
  const CK_RV rv = app.ReadObjectAttributes(owner, token, h, &a, 1);
  if (rv == CKR_BUFFER_TOO_SMALL && owner == nullptr) return CKR_FUNCTION_FAILED;
  if (rv != CKR_OK) return rv;
  out->resize(a.ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : a.ulValueLen);
  return CKR_OK;
}

}  // namespace

CK_RV CPkcs11App::GenerateCertificateLabel(CPkcs11Session* owner, CPkcs11Token* token, CK_OBJECT_HANDLE hObject,
                                           CK_ATTRIBUTE* label, bool oneAttribute) {
  std::vector<uint8_t> der;
  CK_RV rv = ReadWholeAttribute(*this, owner, token, hObject, CKA_SUBJECT, &der);
  if (rv != CKR_OK) return rv;
  char* text = nullptr;
  if (!der.empty()) {
    DistinguishedName subject(0x30);
    if (subject.readBuffer(der.data(), static_cast<long>(der.size())) > 0 &&
        !GetCertificateNameText(subject, &text, oneAttribute))
      return CKR_HOST_MEMORY;
  }
  if (text == nullptr || *text == '\0') {
    delete[] text;
    text = nullptr;
    rv = ReadWholeAttribute(*this, owner, token, hObject, CKA_VALUE, &der);
    if (rv != CKR_OK) return rv;
    if (!der.empty()) {
      SignedCertificate cert;
      if (cert.readBuffer(der.data(), static_cast<long>(der.size())) > 0 &&
          !GetCertificateNameText(cert.tbsCertificate.subject, &text, oneAttribute))
        return CKR_HOST_MEMORY;
    }
  }
  const CK_ULONG n = text != nullptr ? std::strlen(text) : 0;
  rv = CKR_OK;
  if (label->pValue == nullptr) {
    label->ulValueLen = n;
  } else if (label->ulValueLen >= n) {
    if (n) std::memcpy(label->pValue, text, n);
    label->ulValueLen = n;
  } else {
    label->ulValueLen = CK_UNAVAILABLE_INFORMATION;
    rv = CKR_BUFFER_TOO_SMALL;
  }
  delete[] text;
  return rv;
}

CK_RV CPkcs11App::FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->IsFindActive()) return CKR_OPERATION_ACTIVE;
  // A search cannot answer that its template contradicts itself: a value is wrong.
  if (TemplateContradictsItsKind(pTemplate, ulCount)) return CKR_ATTRIBUTE_VALUE_INVALID;
  CK_BBOOL tokenValue = CK_FALSE;
  const CK_RV scope = GetTemplateBool(pTemplate, ulCount, CKA_TOKEN, &tokenValue);
  if (scope != CKR_OK && scope != CKR_ATTRIBUTE_NOT_FOUND) return scope;
  const bool tokenObjects = scope == CKR_ATTRIBUTE_NOT_FOUND || tokenValue != CK_FALSE;
  const bool sessionObjects = scope == CKR_ATTRIBUTE_NOT_FOUND || tokenValue == CK_FALSE;

  s->ResetFind();
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  CK_RV rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;

  // Each found object's handle, given from the one handle space when it has none
  // yet, joins the results; a failure ends the search with nothing found.
  auto take = [&](auto lookup, auto bind) -> CK_RV {
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_RV r = lookup(&h);
    if (r == CKR_OK && h == CK_INVALID_HANDLE) {
      h = NewObjectHandle();
      r = bind(h);
    }
    if (r == CKR_OBJECT_HANDLE_INVALID) r = CKR_FUNCTION_FAILED;
    if (r != CKR_OK) {
      s->ResetFind();
      return MapTokenResult(r, slotId);
    }
    s->AddFindResult(h);
    return CKR_OK;
  };
  try {
    if (tokenObjects && status == CKR_OK) {
      PointerList found;
      rv = token->FindObjectsInit(pTemplate, ulCount, &found, true);
      if (rv == CKR_TEMPLATE_INCONSISTENT) rv = CKR_ATTRIBUTE_VALUE_INVALID;
      if (rv != CKR_OK) return MapTokenResult(rv, slotId);
      for (POSITION p = found.GetHeadPosition(); p;) {
        void* p15 = found.GetNext(p);
        rv = take([&](CK_OBJECT_HANDLE* h) { return token->LookupHandle(p15, h); },
                  [&](CK_OBJECT_HANDLE h) { return token->BindHandle(p15, h, false); });
        if (rv != CKR_OK) return rv;
      }
    }
    CK_RV remembered = CKR_OK;
    if (sessionObjects) {
      for (POSITION p = m_sessions.GetHeadPosition(); p;) {
        CPkcs11Session* other = m_sessions.GetNext(p);
        PointerList found;
        rv = other->FindObjects(pTemplate, ulCount, &found, true, s);
        if (rv != CKR_OK) {
          if (remembered == CKR_OK) remembered = rv;
          continue;
        }
        for (POSITION q = found.GetHeadPosition(); q;) {
          CPkcs11Object* object = static_cast<CPkcs11Object*>(found.GetNext(q));
          rv = take([&](CK_OBJECT_HANDLE* h) { return other->GetObjectHandle(object, h); },
                    [&](CK_OBJECT_HANDLE h) { return other->BindObjectHandle(object, h, false); });
          if (rv != CKR_OK) return rv;
          remembered = CKR_OK;
        }
      }
    }
    if (remembered != CKR_OK) {
      s->ResetFind();
      return remembered;
    }
  } catch (const std::bad_alloc&) {
    s->ResetFind();
    return CKR_HOST_MEMORY;
  }
  s->SetFindActive(true);
  return CKR_OK;
}

CK_RV CPkcs11App::FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                              CK_ULONG_PTR pulObjectCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if ((phObject == nullptr && ulMaxObjectCount != 0) || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->IsFindActive()) return CKR_OPERATION_NOT_INITIALIZED;
  if (phObject != nullptr)
    *pulObjectCount = s->FetchFindResults(phObject, ulMaxObjectCount);
  else
    *pulObjectCount = s->GetFindResultCount();
  return CKR_OK;
}

CK_RV CPkcs11App::FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!s->IsFindActive()) return CKR_OPERATION_NOT_INITIALIZED;
  s->ResetFind();
  return CKR_OK;
}
