// The token of one PKCS#15 application of the card in one slot, reached
// through the reader bridge; and the small helpers that token operations share.
#ifndef MIRTAL_PKCS11IMPL_PKCS15TOKEN_H
#define MIRTAL_PKCS11IMPL_PKCS15TOKEN_H

#include <cstddef>
#include <cstdint>

#include "pkcs11impl/p11token.h"
#include "pkcs11impl/tokenhandles.h"

class SCCard;
struct SCCardInfo;
class SCPkcs15App;
class SCPkcs15Lib;

// PIN objects of a card without usable PKCS#15 application, backed by the card's
// profile template: the user PIN, the SO PIN and the personalisation agent's system key.
void* SpecialUserPin();
void* SpecialSoPin();
void* SpecialSystemKey();
// The personalisation agent's system key from its Base64 text (len all ones: up
// to the NUL): blanks and line breaks are skipped, a last group of two or three
// characters is completed with padding. CKR_PIN_INVALID for a null or empty
// text, a dangling single character, or a group that does not decode.
CK_RV DecodeSystemKeyText(const CK_UTF8CHAR* text, CK_ULONG len, class MemFile* out);

class CPkcs15Token : public CPkcs11Token {
 public:
  CPkcs15Token();
  ~CPkcs15Token() override;

  CK_RV GetTokenInfo(CK_TOKEN_INFO* pInfo) override;
  CK_RV GetMechanismList(CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) override;
  CK_RV GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo) override;
  CK_RV CheckWriteAccess() override;
  CK_RV CheckMechanismForKey(CK_MECHANISM_TYPE type, CK_FLAGS usage) override;
  bool HasTokenChanged() override;
  void AcknowledgeTokenChange() override;
  int64_t GetTokenState() override;
  const char* GetMessageText() override;
  CK_RV CheckTokenPresent() override;

  // ---- PIN objects, login and PINs ----
  void* GetPinObjectForUser(CK_USER_TYPE user) override;
  CK_USER_TYPE GetUserTypeForPinObject(void* pin) override;
  CK_RV Login(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR pin, CK_ULONG len) override;
  CK_RV Logout() override;
  CK_RV LoginContextSpecific(CK_OBJECT_HANDLE key, CK_UTF8CHAR_PTR pin, CK_ULONG len) override;
  void AddHeldPins(std::vector<SCHeldPin>* held, const std::vector<CK_OBJECT_HANDLE>& keys) override;
  bool EndLogin() override;
  CK_RV GetPinList(PointerList* pinObjects) override;
  CK_RV GetPinInfo(CK_OBJECT_HANDLE pinHandle, MIRTAL_PIN_INFO* info) override;
  CK_RV GetPinStatus(CK_OBJECT_HANDLE pinHandle, int32_t* status) override;
  CK_RV ChangePin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
                  CK_ULONG newLen) override;
  CK_RV UnblockPin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR puk, CK_ULONG pukLen, CK_UTF8CHAR_PTR newPin,
                   CK_ULONG newLen) override;
  CK_RV InitPin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR authPin, CK_ULONG authLen, CK_UTF8CHAR_PTR newPin,
                CK_ULONG newLen, CK_UTF8CHAR_PTR puk, CK_ULONG pukLen) override;

  CK_OBJECT_HANDLE GetHandleForObject(void* p15) override;
  void* GetObjectForHandle(CK_OBJECT_HANDLE h) override;
  CK_RV BindHandle(void* p15, CK_OBJECT_HANDLE h, bool replace) override;
  void AddHandle(void* p15, CK_OBJECT_HANDLE h) override;
  CK_RV LookupHandle(void* p15, CK_OBJECT_HANDLE_PTR out) override;
  void RemoveHandle(CK_OBJECT_HANDLE h) override;
  void ClearHandleTable(bool privateOnly) override;
  CK_RV SeedRandom(CK_BYTE_PTR seed, CK_ULONG len) override;

  // ---- cryptography on the card ----
  CK_RV GenerateRandom(CK_BYTE_PTR out, CK_ULONG len) override;
  CK_RV GenerateKeyPair(CK_MECHANISM_TYPE mechanism, CK_ATTRIBUTE_PTR prvTmpl, CK_ULONG prvCount,
                        CK_ATTRIBUTE_PTR pubTmpl, CK_ULONG pubCount, CK_OBJECT_HANDLE hPrivate, CK_OBJECT_HANDLE hPublic,
                        bool* publicCreated) override;
  CK_RV Sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const CK_BYTE* data, CK_ULONG len, CK_BYTE_PTR sig,
             CK_ULONG_PTR sigLen) override;
  CK_RV Decrypt(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const CK_BYTE* in, CK_ULONG len, CK_BYTE_PTR out,
                CK_ULONG_PTR outLen) override;

  // ---- qualified part, end of the token's use and token data ----
  // text: the user PIN (null or empty: only whether the user may end the card).
  CK_RV TerminateTokenUsage(const CK_UTF8CHAR* text, CK_ULONG len) override;
  CK_RV GetQualifiedPartCharacteristics(int which, CK_FLAGS* flags) override;
  // Token data by CKA_MIRTAL_* type. Reading follows the two-call rule: a null
  // buffer asks for the length, a short one gives CKR_BUFFER_TOO_SMALL.
  CK_RV GetTokenData(CK_ULONG kind, CK_BYTE_PTR out, CK_ULONG_PTR len) override;
  CK_RV SetTokenData(CK_ULONG kind, CK_BYTE_PTR data, CK_ULONG len) override;

  // Token initialisation: a new token on an uninitialised card or the slot's
  // token emptied (label and SO PIN), or the card's tokens from a profile file.
  CK_RV PrepareInitToken(CK_UTF8CHAR_PTR soPin, CK_ULONG len, CK_UTF8CHAR_PTR label) override;
  CK_RV InitToken(CK_UTF8CHAR_PTR soPin, CK_ULONG len, const char* profile, CK_UTF8CHAR_PTR label) override;

  // ---- card objects ----
  CK_RV CreateObject(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE newHandle) override;
  CK_RV GetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                          TracedObject* found = nullptr) override;
  CK_RV SetAttributeValue(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) override;
  CK_RV DestroyObject(CK_OBJECT_HANDLE h) override;
  CK_RV CheckObjectOnCard(CK_OBJECT_HANDLE h) override;
  CK_RV GetObjectSize(CK_OBJECT_HANDLE h, CK_ULONG_PTR size) override;
  CK_RV FindObjectsInit(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, PointerList* result, bool clear) override;
  // Whether the card object's directory list says it is private; whether it may
  // be changed (an object outside any list may).
  bool IsPrivateObject(SCPkcs15App* app, void* p15);
  bool IsObjectModifiable(SCPkcs15App* app, void* p15);
  // The attributes the token answers itself (class, token, types, key-generation
  // mechanism, ...) for the entries of the template that no card attribute holds.
  CK_RV GetDerivedAttributes(SCPkcs15App* app, void* p15, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);

  // The readiness step of every card-touching operation: CKR_OK, CKR_TOKEN_NOT_PRESENT,
  // a card state above or a mapped failure; *app may be null.
  CK_RV RefreshAndGetApp(SCPkcs15App** app, SCPkcs15Lib** bridge);

 private:
  // The two initialisations, whose answer PrepareInitToken and InitToken give
  // (AnswerInit): C_InitToken of this slot, and InitializeCard from a profile file.
  CK_RV InitSlotToken(CK_UTF8CHAR_PTR soPin, CK_ULONG len, CK_UTF8CHAR_PTR label);
  CK_RV InitCardFromProfile(CK_UTF8CHAR_PTR soPin, CK_ULONG len, const char* profile, CK_UTF8CHAR_PTR label);
  // A card refused as it is answers CKR_FUNCTION_FAILED, its message naming what the
  // call found (SCPkcs15Lib::Refuse); any other answer stays.
  CK_RV AnswerInit(CK_RV rv);
  // Sign (sign true) or Decrypt: one procedure.
  CK_RV PrivateKeyOperation(bool sign, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const CK_BYTE* in,
                            CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
  // The readiness step of the mechanism queries (a card without usable structure
  // answers too) and the card's information record; CKR_OK or the readiness failure.
  CK_RV ReadyCardInfo(SCCardInfo* info);
  // The unrecognised-card part of GetTokenInfo; the result is CKR_TOKEN_NOT_RECOGNIZED.
  CK_RV FillUnrecognised(CK_TOKEN_INFO* pInfo, SCPkcs15App* app, bool rng);
  // The personalisation agent is authenticated: its channel to the reader's
  // card (model 7, not yet activated) is up.
  bool IsAgentSession();
  // The agent's login: its system key (Base64 text) opens the card's channel.
  CK_RV LoginAgent(const CK_UTF8CHAR* text, CK_ULONG len);
  // 1 qualified private key, 2 qualified certificate, 0 an ordinary object.
  int QualifiedObjectKind(SCPkcs15App* app, void* p15);
  // The template's entries as a read of the card object answers them (no login test).
  CK_RV ReadObjectAttributes(SCPkcs15App* app, void* p15, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
  // CKR_OK when the card object answers the entry with the entry's own value,
  // CKR_HOST_MEMORY, or CKR_FUNCTION_FAILED when it does not.
  CK_RV ObjectHasValue(SCPkcs15App* app, void* p15, const CK_ATTRIBUTE& wanted);
  // The card of the slot's reader, null when none is connected.
  SCCard* GetSlotCard() const;
  // SO and user PIN references of the card's profile template (rokvast rule applied); false
  // without a connected card, or when neither reader flag of a card without application is set.
  bool ReadPinTemplate(uint8_t* soRef, uint8_t* userRef, uint8_t* userPukRef, bool* rokvast) const;
  // The PIN status of a special PIN object (a card without application).
  CK_RV GetSpecialPinStatus(void* pin, int32_t* status, bool* pukMissing);
  CK_RV GetSpecialPinInfo(void* pin, MIRTAL_PIN_INFO* info);
  // CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY and CKF_USER_PIN_LOCKED from the user PIN's state on the card.
  CK_FLAGS GetUserPinStateFlags(SCPkcs15App* app);
  CK_FLAGS ReadUserPinStateFlags(SCPkcs15App* app);

  TokenHandleTable m_handles;
  // The most tries left that the user PIN has shown (its retry limit as far as known).
  int32_t m_userPinTriesSeen = 0;
  // The user-PIN flags last read, for this application at this exchange count
  // of the reader: asked again only after other card work.
  CK_FLAGS m_userPinFlags = 0;
  const SCPkcs15App* m_userPinFlagsApp = nullptr;
  uint64_t m_userPinFlagsAt = 0;
  char m_message[512] = {0};
};

// ---- helpers shared by the token operations ----
// Blanks the field, then copies the text, cut to the longest valid UTF-8 prefix (len < 0: up to the NUL).
void PadCopyUtf8(CK_UTF8CHAR* field, size_t width, const char* text, int len);
// Blanks the 16-byte field and writes the upper-case hex of the last 8 bytes at most.
void FormatSerialNumber(CK_UTF8CHAR* field16, const uint8_t* bytes, size_t len);
// Two-call output: null lenInOut fails; null out reports all ones; too short reports the length needed.
bool CopyToBuffer(void* out, CK_ULONG* lenInOut, const void* data, CK_ULONG len);
CK_RV CopyOutWithLength(void* out, CK_ULONG* lenInOut, const void* data, CK_ULONG len);
bool FillAttribute(CK_ATTRIBUTE* attr, const void* data, CK_ULONG len);
CK_RV SetAttributeBytes(CK_ATTRIBUTE* attr, const void* data, CK_ULONG len);

// ---- mechanism helpers ----
// The digest of a signature or derivation mechanism; CKM_RSA_PKCS_OAEP and
// CKM_RSA_PKCS_PSS give the hashAlg of their parameter block. All ones when none.
CK_MECHANISM_TYPE GetDigestMechanism(CK_MECHANISM_TYPE mechanism, const void* params, CK_ULONG paramsLen);
// The key type a mechanism works on; all ones for an unknown mechanism.
CK_KEY_TYPE GetKeyTypeForMechanism(CK_MECHANISM_TYPE mechanism);
// True for key, key-pair and parameter generators; *isPair tells which (untouched when false).
bool IsKeyGenerationMechanism(CK_MECHANISM_TYPE mechanism, bool* isPair);
// An RSA, DSA, DH or EC key-pair generator and two templates that pass generation-mode validation.
CK_RV CheckKeyPairTemplates(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* prvTmpl, CK_ULONG prvCount,
                            const CK_ATTRIBUTE* pubTmpl, CK_ULONG pubCount);

#endif
