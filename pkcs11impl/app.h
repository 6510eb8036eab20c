// The single application object behind every exported function: library
// start-up, initialisation counting, the global lock, slots and sessions, and
// the members that the exports call (argument checks, the lock, the session or
// slot, then the slot's token).
#ifndef MIRTAL_PKCS11IMPL_APP_H
#define MIRTAL_PKCS11IMPL_APP_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/p11messages.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/session.h"
#include "pkcs11impl/thread.h"
#include "pkcs11impl/tracelog.h"
#include "support/ptrlist.h"

class CPkcs11Slot;
class CPkcs11Token;
class CfgPkcs11ApiConfig;
struct TracedObject;

#define MIRTAL_MANUFACTURER "Mirtal Systems"
#define MIRTAL_LIBRARY_DESCRIPTION "MIRTAL PKCS#11"
#define MIRTAL_VERSION_BANNER "MIRTAL PKCS#11, " MIRTAL_MANUFACTURER "\nwersja 4.1.0.1 (2015120101)"

class CPkcs11App {
 public:
  CPkcs11App();
  virtual ~CPkcs11App();
  CPkcs11App(const CPkcs11App&) = delete;
  CPkcs11App& operator=(const CPkcs11App&) = delete;

  // ---- life cycle ----
  bool IsInitialized() const { return m_ownerPid != 0; }
  CK_RV Initialize(const CK_C_INITIALIZE_ARGS* args);
  CK_RV InitApplication(const CK_C_INITIALIZE_ARGS* args);
  CK_RV Finalize(CK_VOID_PTR pReserved);
  void ReleaseSlots();
  CK_RV GetInfo(CK_INFO* pInfo) const;

  // ---- settings ----
  void SetInitProfile(const char* name) { m_pkcs15.SetInitProfile(name); }
  const char* GetInitProfile() const { return m_pkcs15.GetInitProfile(); }
  // Keeps a copy (null keeps ""); 0 when the copy cannot be made.
  int SetInitTokenConfigFileName(const char* name) {
    if (name == nullptr) name = "";
    const size_t n = std::strlen(name);
    char* copy = new (std::nothrow) char[n + 1];
    if (copy == nullptr) return 0;
    std::memcpy(copy, name, n + 1);
    delete[] m_initTokenConfigFile;
    m_initTokenConfigFile = copy;
    return 1;
  }
  const char* GetInitTokenConfigFileName() const { return m_initTokenConfigFile ? m_initTokenConfigFile : ""; }
  void SetCertLabelMode(uint32_t mode) { m_certLabelMode = mode; }
  uint32_t GetCertLabelMode() const { return m_certLabelMode; }
  bool SetLastErrorText(const char* text) { return m_lastError.Set(text); }
  const char* GetLastErrorText() const { return m_lastError.Get(); }
  const char* GetLastErrorTextForCaller() const { return m_lastError.GetForCaller(); }
  LastErrorText& LastError() { return m_lastError; }

  TraceLogger& Logger() { return m_logger; }
  const TraceLogger* GetLogger() const { return &m_logger; }
  Pkcs11Lock& Lock() { return m_lock; }
  // Every export that reaches the members passes it; C_Finalize closes it.
  CallGate& Gate() { return m_gate; }
  CPkcs15Lib& Pkcs15Lib() { return m_pkcs15; }
  CK_ULONG GetSlotCount() const { return m_slotCount; }

  // ---- sessions ----
  CPkcs11Session* FindSession(CK_SESSION_HANDLE hSession, POSITION* pos) const;
  CK_SESSION_HANDLE NewSessionHandle();
  bool HasSessionOnSlot(CK_SLOT_ID slotId) const;
  bool HasSessionInState(CK_SLOT_ID slotId, CK_STATE state) const;
  void UpdateSessionStates(CK_SLOT_ID slotId, CK_USER_TYPE userType);
  CK_RV HandleTokenLoss(CK_SLOT_ID slotId);
  CK_RV MapTokenResult(CK_RV rv, CK_SLOT_ID slotId);
  CK_RV MapSessionTokenResult(CK_RV rv, CK_SESSION_HANDLE hSession);
  // At the frame of every exported call: the cards forget the PINs the call's
  // commands left verified but those a login of this process holds.
  void ForgetWhatTheCallVerified();
  // The logins the cards ended in this call (their kept values no longer presented).
  void EndLogins();
  // The slot's sessions take the state of `user` after a logout: private objects,
  // searches and operations go.
  void SessionsFollowLogout(CK_SLOT_ID slotId, CK_USER_TYPE user);
  int GetSessionCount() const { return m_sessions.GetCount(); }

  // ---- object handles ----
  CK_OBJECT_HANDLE NextFreeObjectHandle(CK_OBJECT_HANDLE from) const;
  CK_OBJECT_HANDLE NewObjectHandle();
  CK_OBJECT_HANDLE PeekNextObjectHandle() const { return NextFreeObjectHandle(m_objectCounter); }
  void NextObjectHandles(CK_OBJECT_HANDLE* out, CK_ULONG n) const;
  void PeekObjectHandlePair(CK_OBJECT_HANDLE* h1, CK_OBJECT_HANDLE* h2) const;
  bool IsObjectHandleFree(CK_OBJECT_HANDLE h) const;
  bool ReserveObjectHandle(CK_OBJECT_HANDLE h);
  bool ReserveObjectHandles(const CK_OBJECT_HANDLE* hs, CK_ULONG n);
  bool ReserveObjectHandlePair(CK_OBJECT_HANDLE h1, CK_OBJECT_HANDLE h2);
  CPkcs11Session* FindSessionObjectOwner(CK_OBJECT_HANDLE h) const;
  // The token of any slot that has bound the handle (to a card object or a PIN); null when none has.
  CPkcs11Token* FindTokenForObjectHandle(CK_OBJECT_HANDLE h) const;

  // ---- members behind the exports ----
  CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
  CK_RV GetSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO* pInfo);
  CK_RV GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO* pInfo);
  CK_RV GetMechanismList(CK_SLOT_ID slotId, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount);
  CK_RV GetMechanismInfo(CK_SLOT_ID slotId, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo);

  CK_RV OpenSession(CK_SLOT_ID slotId, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY notify,
                    CK_SESSION_HANDLE_PTR phSession);
  CK_RV CloseSession(CK_SESSION_HANDLE hSession);
  CK_RV CloseAllSessions(CK_SLOT_ID slotId);
  CK_RV GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO* pInfo);

  CK_RV Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
  CK_RV Logout(CK_SESSION_HANDLE hSession);
  CK_RV InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
  CK_RV SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen);
  CK_RV InitToken(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel);
  CK_RV InitializeCardInReader(const char* readerName, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                               const char* profileName);

  CK_RV CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject);
  CK_RV DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject);
  CK_RV GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize);
  // found (may be null) receives what the object turned out to be, for the trace.
  CK_RV GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount, TracedObject* found = nullptr);
  CK_RV SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount);
  CK_RV FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
  CK_RV FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount);
  CK_RV FindObjectsFinal(CK_SESSION_HANDLE hSession);
  CK_RV ResolveObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CPkcs11Session** owner);
  // The plain attribute read of a session object (owner) or a token object.
  CK_RV ReadObjectAttributes(CPkcs11Session* owner, CPkcs11Token* token, CK_OBJECT_HANDLE hObject,
                             CK_ATTRIBUTE* tmpl, CK_ULONG count, TracedObject* found = nullptr);
  // Writes a label made from the certificate's subject into the caller's CKA_LABEL
  // entry; the certificate is a session object of owner, or else an object of token.
  CK_RV GenerateCertificateLabel(CPkcs11Session* owner, CPkcs11Token* token, CK_OBJECT_HANDLE hObject,
                                 CK_ATTRIBUTE* label, bool oneAttribute);

  CK_RV SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
  CK_RV Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen);
  CK_RV DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey);
  CK_RV Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                CK_ULONG_PTR pulDataLen);
  CK_RV GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey);
  CK_RV GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen);
  CK_RV SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen);

  // Vendor members.
  CK_RV GetPinStatus(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_ULONG_PTR pulStatus);
  CK_RV GetPinInfo(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, MIRTAL_PIN_INFO* pInfo);
  CK_RV GetPinList(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phPins, CK_ULONG_PTR pulCount);
  CK_RV ChangePin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                  CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);
  CK_RV UnblockPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pPuk, CK_ULONG ulPukLen,
                   CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);
  CK_RV InitPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pProtecting,
                CK_ULONG ulProtectingLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen, CK_UTF8CHAR_PTR pPuk,
                CK_ULONG ulPukLen);
  CK_RV ActivateTokenQualifiedPart(CK_SESSION_HANDLE hSession, CK_ULONG flags);
  CK_RV GetQualifiedPartCharacteristics(CK_SLOT_ID slotId, CK_FLAGS* pOut, bool flag);
  CK_RV GetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE type, CK_VOID_PTR pData, CK_ULONG_PTR pulLen);
  CK_RV SetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE type, CK_VOID_PTR pData, CK_ULONG ulLen);
  CK_RV TerminateTokenUsage(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);

  // The members behind the unsupported functions answer at once.
  static CK_RV NotSupported() { return CKR_FUNCTION_NOT_SUPPORTED; }
  // The unsupported update and final steps: the session's operation of that kind
  // (CKF_SIGN or CKF_DECRYPT) ends; CKR_FUNCTION_NOT_SUPPORTED.
  CK_RV EndOperation(CK_SESSION_HANDLE hSession, uint32_t operation);

 private:
  // The last error text after a failed C_InitToken or InitializeCard: why the token's call failed.
  void NoteInitFailure(CPkcs11Token* token, CK_RV rv);
  // Token of a slot under the lock: CKR_SLOT_ID_INVALID out of range; a failure
  // to get the token as the slot gives it (none: CKR_GENERAL_ERROR).
  CK_RV GetSlotToken(CK_SLOT_ID slotId, CPkcs11Token** token);
  // A changed card: acknowledged, the slot's sessions closed; CKR_SESSION_CLOSED when there were any.
  CK_RV CheckTokenChange(CK_SLOT_ID slotId, CPkcs11Token* token);
  // The slot queries under the lock: query(token) answers for the slot's token,
  // then a changed card closes the slot's sessions; the answer, mapped.
  template <class Query>
  CK_RV QuerySlotToken(CK_SLOT_ID slotId, Query query);
  // The common start of the object members under the lock: the session, the
  // object (*owner: the session holding it, null for a card object) and the
  // token preamble. Anything but CKR_OK is the member's result.
  CK_RV ObjectPreamble(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CPkcs11Session** s,
                       CPkcs11Session** owner, CPkcs11Token** token, CK_RV* status);
  // The common start of a token-addressed member: the slot's token, its presence
  // (*status: CKR_OK or a token status) and a change of card (the slot's sessions
  // closed). Anything but CKR_OK is the member's mapped result.
  CK_RV TokenPreamble(CK_SLOT_ID slotId, CPkcs11Token** token, CK_RV* status);
  bool IsObjectHandleInUse(CK_OBJECT_HANDLE h) const;
  // Which token statuses a vendor member lets pass beside CKR_OK.
  enum class StatusesPassing { Both, NotActivated, None };
  // The same for the vendor calls: only a missing token counts, unless mapGetFailure.
  CK_RV VendorSessionToken(CPkcs11Session* s, CPkcs11Token** token, bool mapGetFailure,
                           StatusesPassing passing = StatusesPassing::Both);
  // The object handle of a PIN object, taken from the shared handle space when it
  // has none yet; CK_INVALID_HANDLE when the binding fails.
  CK_OBJECT_HANDLE PinHandleForObject(CPkcs11Token* token, void* pin);
  // The token's logout and its mirror in the slot's sessions: public states,
  // private session objects, searches and operations dropped. The mapped result.
  CK_RV LogoutSlot(CK_SLOT_ID slotId, CPkcs11Token* token, CK_RV presence);
  // The twins behind C_SignInit/C_DecryptInit and C_Sign/C_Decrypt (operation CKF_SIGN or CKF_DECRYPT).
  CK_RV OperationInit(uint32_t operation, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                      CK_OBJECT_HANDLE hKey);
  CK_RV OperationRun(uint32_t operation, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG ulInLen,
                     CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen);
  // The public key of a generated pair as a session object of s with handle hPub,
  // from the private key's modulus and exponent and the caller's public template.
  CK_RV CreateSessionPublicKey(CPkcs11Session* s, CPkcs11Token* token, CK_OBJECT_HANDLE hPriv, CK_OBJECT_HANDLE hPub,
                               const CK_ATTRIBUTE* pub, CK_ULONG pubCount);
  // The session's token for the random-number calls; anything but CKR_OK is the call's result.
  CK_RV RandomPreamble(CK_SESSION_HANDLE hSession, CPkcs11Token** token, CK_SLOT_ID* slotId);

  LastErrorText m_lastError;
  CPkcs11Slot** m_slots = nullptr;
  CK_ULONG m_slotCount = 0;
  TraceLogger m_logger{"PKCS#11: "};
  CK_ULONG m_sessionCounter = 0;
  CK_ULONG m_reservedCounter = 0;
  CK_ULONG m_objectCounter = 0;
  CK_ULONG m_objectHighMark = 0;
  std::atomic<int64_t> m_ownerPid{0};
  CPkcs15Lib m_pkcs15;
  Pkcs11Lock m_lock;
  TypedPointerList<CPkcs11Session> m_sessions{8, true};
  [[maybe_unused]] void* m_reserved = nullptr;  // read by no member
  uint32_t m_certLabelMode = 2;
  char* m_initTokenConfigFile = nullptr;
  CallGate m_gate;
};

// The certificate label text of a subject name: with oneAttribute its common
// name when it has one, else the whole name. *text is a new[] string; false
// (and null) when memory runs out.
class DistinguishedName;
bool GetCertificateNameText(const DistinguishedName& name, char** text, bool oneAttribute);

// ---- process-wide state and start-up ----
CPkcs11App& TheApp();
CfgPkcs11ApiConfig& TheConfig();
// False before the globals exist and after they were destroyed at unload.
bool AppAlive();
// Whether this is a forked child that has not started afresh: the module's
// objects are then the parent's, and no call may use them.
bool InForkedChild();
// In such a child (no-op elsewhere): the parent's objects are left untouched,
// the module's process-wide locks made anew (remakeLocks for those of the
// caller's file) and new objects made, not initialised.
void StartAfreshInChild(void (*remakeLocks)());
// Counts the calls inside any export, for the module's end.
ModuleDoor& TheDoor();
// 0 when it deferred itself, 1 when the library is (now) started.
int LibraryStartup();
bool IsStarted();
// 1 unless the text is a word for false ("0", "n", "no", "off", "f", "false",
// any case); a null text counts as not false.
int IsNotFalseWord(const char* text);
bool EnvIsTrue(const char* name);
bool IsVerboseInit();
unsigned long ParseNumberOrDefault(const char* text, unsigned long def);
const char* GetProcessPath(long pid, char* buffer, size_t size);
void StartupMessage(unsigned level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Counts one more initialisation (under the lock: take and release); returns the new count.
uint32_t CountReinitialization();
// Counts one down when positive; false when it was 0.
bool UncountReinitialization(uint32_t* newValue);

// Small helpers of the start-up and name code.
long GetCurrentProcessId();
const char* FindLastSlash(const char* text);
int WildcardMatchForwarder(const char* name, const char* pattern, bool ignoreCase);

// The maker's texts that the card checks compare with (length first, then bytes).
extern const char* const kMirtalCardText;        // "MIRTAL"
extern const char* const kMirtalMasterCardText;  // "MIRTAL MASTER"

#endif
