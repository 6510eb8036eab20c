// Base of the PKCS#11 tokens that slots own: the operations the application
// layer calls on a token, each with the answer a token gives when it does not
// support it, and the state every token keeps (token flags, session counters,
// the logged-in user, the slot binding).
#ifndef MIRTAL_PKCS11IMPL_P11TOKEN_H
#define MIRTAL_PKCS11IMPL_P11TOKEN_H

#include <cstdint>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"

class CPkcs11Slot;
class CPkcs15Lib;
class PointerList;
struct SCHeldPin;
struct TracedObject;

class CPkcs11Token {
 public:
  CPkcs11Token() = default;
  virtual ~CPkcs11Token();
  CPkcs11Token(const CPkcs11Token&) = delete;
  CPkcs11Token& operator=(const CPkcs11Token&) = delete;

  // ---- information, mechanisms, state ----
  virtual CK_RV GetTokenInfo(CK_TOKEN_INFO* pInfo);
  virtual CK_RV GetMechanismList(CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount);
  virtual CK_RV GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo);
  virtual CK_RV CheckWriteAccess() { return CKR_OK; }
  // usage: 0 (any), CKF_SIGN, CKF_DECRYPT or CKF_GENERATE_KEY_PAIR.
  virtual CK_RV CheckMechanismForKey(CK_MECHANISM_TYPE /*type*/, CK_FLAGS /*usage*/) { return CKR_MECHANISM_INVALID; }
  virtual bool HasTokenChanged() { return false; }
  virtual void AcknowledgeTokenChange() {}
  virtual int64_t GetTokenState() { return 0; }
  // Null or a text that stays valid until the next call on the token.
  virtual const char* GetMessageText() { return ""; }
  // CKR_OK or a token status when a token is there, else why not.
  virtual CK_RV CheckTokenPresent() { return CKR_OK; }

  // ---- token initialisation ----
  virtual CK_RV PrepareInitToken(CK_UTF8CHAR_PTR /*soPin*/, CK_ULONG /*len*/, CK_UTF8CHAR_PTR /*label*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  virtual CK_RV InitToken(CK_UTF8CHAR_PTR /*soPin*/, CK_ULONG /*len*/, const char* /*profile*/,
                          CK_UTF8CHAR_PTR /*label*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }

  // ---- PIN objects and login ----
  virtual CK_OBJECT_HANDLE GetPinHandleForUser(CK_USER_TYPE user);
  virtual void* GetPinObjectForUser(CK_USER_TYPE /*user*/) { return nullptr; }
  virtual CK_OBJECT_HANDLE GetHandleForObject(void* /*p15*/) { return 0; }
  virtual void* GetObjectForHandle(CK_OBJECT_HANDLE /*h*/) { return nullptr; }
  virtual CK_USER_TYPE GetUserTypeForPinHandle(CK_OBJECT_HANDLE h);
  virtual CK_USER_TYPE GetUserTypeForPinObject(void* /*pin*/) { return ~static_cast<CK_USER_TYPE>(0); }
  virtual CK_RV Login(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR pin, CK_ULONG len);
  virtual CK_RV Logout();
  virtual CK_USER_TYPE GetLoggedInUserType() const { return m_loggedInUser; }
  // The PINs this token's login holds verified on its card, and those of the
  // context-specific logins given for the operations of these keys.
  virtual void AddHeldPins(std::vector<SCHeldPin>* /*held*/, const std::vector<CK_OBJECT_HANDLE>& /*keys*/) {}
  // The card no longer takes this token's login (its PIN layer ended it): nobody is
  // logged in and private objects' handles go. False where no login stood.
  virtual bool EndLogin() { return false; }
  virtual CK_RV LoginContextSpecific(CK_OBJECT_HANDLE /*key*/, CK_UTF8CHAR_PTR /*pin*/, CK_ULONG /*len*/) {
    return CKR_OPERATION_NOT_INITIALIZED;
  }
  virtual CK_RV GetPinPromptInfo(CK_OBJECT_HANDLE /*key*/, void* /*prompt*/, bool /*flag*/) { return 8; }
  // Appends the token's PIN objects (card objects or the special PIN values) to the caller's list.
  virtual CK_RV GetPinList(PointerList* /*pinObjects*/) { return CKR_OBJECT_HANDLE_INVALID; }
  virtual CK_RV GetPinInfo(CK_OBJECT_HANDLE /*pin*/, MIRTAL_PIN_INFO* /*info*/) { return CKR_OBJECT_HANDLE_INVALID; }
  // *status (may be null): tries left, 0 verified, -1 unknown.
  virtual CK_RV GetPinStatus(CK_OBJECT_HANDLE /*pin*/, int32_t* /*status*/) { return CKR_OBJECT_HANDLE_INVALID; }
  virtual CK_RV ChangePin(CK_OBJECT_HANDLE /*pin*/, CK_UTF8CHAR_PTR /*oldPin*/, CK_ULONG /*oldLen*/,
                          CK_UTF8CHAR_PTR /*newPin*/, CK_ULONG /*newLen*/) {
    return CKR_OBJECT_HANDLE_INVALID;
  }
  virtual CK_RV UnblockPin(CK_OBJECT_HANDLE /*pin*/, CK_UTF8CHAR_PTR /*puk*/, CK_ULONG /*pukLen*/,
                           CK_UTF8CHAR_PTR /*newPin*/, CK_ULONG /*newLen*/) {
    return CKR_OBJECT_HANDLE_INVALID;
  }
  virtual CK_RV InitPin(CK_OBJECT_HANDLE /*pin*/, CK_UTF8CHAR_PTR /*authPin*/, CK_ULONG /*authLen*/,
                        CK_UTF8CHAR_PTR /*newPin*/, CK_ULONG /*newLen*/, CK_UTF8CHAR_PTR /*puk*/,
                        CK_ULONG /*pukLen*/) {
    return CKR_OBJECT_HANDLE_INVALID;
  }

  // ---- objects (every token class answers these itself) ----
  // Creates a token object that takes the handle the application chose for it.
  virtual CK_RV CreateObject(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE newHandle) = 0;
  // found (may be null) receives what the token found the object to be.
  virtual CK_RV GetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                                  TracedObject* found = nullptr) = 0;
  virtual CK_RV SetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) = 0;
  virtual CK_RV DestroyObject(CK_OBJECT_HANDLE h) = 0;
  virtual CK_RV CheckObjectOnCard(CK_OBJECT_HANDLE h) = 0;
  // CheckObjectOnCard, then CK_UNAVAILABLE_INFORMATION as the size.
  virtual CK_RV GetObjectSize(CK_OBJECT_HANDLE h, CK_ULONG_PTR size);
  // Appends the card objects (their PKCS#15 handles) that match the template to
  // the caller's list, emptied first when clear is set.
  virtual CK_RV FindObjectsInit(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, PointerList* result, bool clear);

  // ---- object-handle table ----
  virtual CK_RV BindHandle(void* /*p15*/, CK_OBJECT_HANDLE /*h*/, bool /*replace*/) { return CKR_OBJECT_HANDLE_INVALID; }
  virtual void AddHandle(void* /*p15*/, CK_OBJECT_HANDLE /*h*/) {}
  virtual CK_RV LookupHandle(void* /*p15*/, CK_OBJECT_HANDLE_PTR /*out*/) { return CKR_OBJECT_HANDLE_INVALID; }
  virtual void RemoveHandle(CK_OBJECT_HANDLE /*h*/) {}
  virtual void ClearHandleTable(bool /*privateOnly*/) {}

  // ---- random numbers and cryptography ----
  virtual CK_RV SeedRandom(CK_BYTE_PTR /*seed*/, CK_ULONG /*len*/) { return CKR_RANDOM_NO_RNG; }
  virtual CK_RV GenerateRandom(CK_BYTE_PTR /*out*/, CK_ULONG /*len*/) { return CKR_RANDOM_NO_RNG; }
  // The caller has taken both handles; the token binds them to the new card objects.
  // *publicCreated (may be null): whether a public-key object exists on the card.
  virtual CK_RV GenerateKeyPair(CK_MECHANISM_TYPE /*mechanism*/, CK_ATTRIBUTE_PTR /*prvTmpl*/, CK_ULONG /*prvCount*/,
                                CK_ATTRIBUTE_PTR /*pubTmpl*/, CK_ULONG /*pubCount*/, CK_OBJECT_HANDLE /*hPrivate*/,
                                CK_OBJECT_HANDLE /*hPublic*/, bool* /*publicCreated*/) {
    return CKR_MECHANISM_INVALID;
  }
  // *outLen in: the buffer's size (0 without one); out: the length the card layer reported.
  virtual CK_RV Sign(CK_MECHANISM_TYPE /*mechanism*/, CK_OBJECT_HANDLE /*key*/, const CK_BYTE* /*data*/,
                     CK_ULONG /*len*/, CK_BYTE_PTR /*sig*/, CK_ULONG_PTR /*sigLen*/) {
    return CKR_MECHANISM_INVALID;
  }
  virtual CK_RV Decrypt(CK_MECHANISM_TYPE /*mechanism*/, CK_OBJECT_HANDLE /*key*/, const CK_BYTE* /*in*/,
                        CK_ULONG /*len*/, CK_BYTE_PTR /*out*/, CK_ULONG_PTR /*outLen*/) {
    return CKR_MECHANISM_INVALID;
  }

  // ---- qualified part and token data ----
  // text: the user PIN (null: only the permission check), copied with a NUL by the token.
  virtual CK_RV TerminateTokenUsage(const CK_UTF8CHAR* /*text*/, CK_ULONG /*len*/) { return CKR_FUNCTION_NOT_SUPPORTED; }
  virtual CK_RV ActivateTokenQualifiedPart() { return CKR_FUNCTION_NOT_SUPPORTED; }
  // which: 1, or 2 to report an absent qualified part as well; *flags: CKF_MIRTAL_QUAL_*.
  virtual CK_RV GetQualifiedPartCharacteristics(int /*which*/, CK_FLAGS* /*flags*/) { return CKR_FUNCTION_NOT_SUPPORTED; }
  virtual CK_RV GetTokenData(CK_ULONG /*kind*/, CK_BYTE_PTR /*out*/, CK_ULONG_PTR /*len*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  virtual CK_RV SetTokenData(CK_ULONG /*kind*/, CK_BYTE_PTR /*data*/, CK_ULONG /*len*/) {
    return CKR_FUNCTION_NOT_SUPPORTED;
  }

  // ---- slot binding and sessions ----
  // Records the slot id, the bridge and the owning slot; nobody logged in. CKR_OK.
  CK_RV AttachToSlot(CK_SLOT_ID slotId, CPkcs15Lib* library, CPkcs11Slot* slot);
  // Logs out and forgets the slot number. CKR_OK.
  CK_RV DetachFromSlot();
  bool IsUserLoggedIn() const;
  bool IsAttached() const { return m_nPkcs15SlotId != ~static_cast<CK_SLOT_ID>(0) && m_pApp != nullptr; }

  CK_SLOT_ID GetSlotId() const { return m_nPkcs15SlotId; }
  CPkcs11Slot* GetSlot() const { return m_pSlot; }
  // Session bookkeeping of the application layer.
  void SessionOpened(bool rw);
  void SessionClosed(bool rw);
  void ResetSessionCounts() { m_sessionCount = m_rwSessionCount = 0; }
  CK_ULONG GetSessionCount() const { return m_sessionCount; }
  CK_ULONG GetRwSessionCount() const { return m_rwSessionCount; }
  // 0: no limit; all ones: not known.
  CK_ULONG GetMaxSessionCount() const { return m_maxSessionCount; }
  CK_ULONG GetMaxRwSessionCount() const { return m_maxRwSessionCount; }

 protected:
  CK_FLAGS m_tokenFlags = 0;
  CK_ULONG m_sessionCount = 0;
  CK_ULONG m_rwSessionCount = 0;
  CK_ULONG m_maxSessionCount = ~static_cast<CK_ULONG>(0);
  CK_ULONG m_maxRwSessionCount = ~static_cast<CK_ULONG>(0);
  CK_USER_TYPE m_loggedInUser = ~static_cast<CK_USER_TYPE>(0);
  CK_SLOT_ID m_nPkcs15SlotId = ~static_cast<CK_SLOT_ID>(0);
  CPkcs15Lib* m_pApp = nullptr;
  CPkcs11Slot* m_pSlot = nullptr;
};

#endif
