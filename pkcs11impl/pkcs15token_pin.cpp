// The PKCS#15 token's PIN objects, login and PIN operations. A PIN is named by
// an object handle bound to an authentication object of the slot's PKCS#15
// application, or, on a card without usable application, to one of the special
// PIN objects backed by the card's profile template.
#include <strings.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/pintextcopies.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/session.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"
#include "support/b64file.h"
#include "support/memfile.h"
#include "support/ptrlist.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

constexpr CK_USER_TYPE kNobody = ~static_cast<CK_USER_TYPE>(0);
constexpr CK_ULONG kAllOnes = ~static_cast<CK_ULONG>(0);

// Kind and attribute codes of the PKCS#15 layer.
constexpr uint32_t kPinObjectKind = P15_KIND_PIN_OBJECT;
constexpr uint32_t kPrivateKeyFamily = P15_KIND_PRIVATE_KEY;
constexpr uint64_t kAttrKind = p15attr::kKind;
constexpr uint64_t kAttrLabel = p15attr::kLabel;
constexpr uint64_t kAttrUserConsent = p15attr::kUserConsent;
constexpr uint64_t kAttrAuthId = p15attr::kAuthObjectId;
constexpr uint64_t kAttrPinFlags = p15attr::kPinFlags;
constexpr uint64_t kAttrMinLength = p15attr::kPinMinLength;
constexpr uint64_t kAttrStoredLength = p15attr::kPinStoredLength;
constexpr uint64_t kAttrMaxLength = p15attr::kPinMaxLength;

bool IsSpecialPin(const void* pin) { return pin == SpecialUserPin() || pin == SpecialSoPin() || pin == SpecialSystemKey(); }

// A reference of the profile template counts when, read as a signed byte, it is 1 or more.
bool IsValidRef(uint8_t ref) { return static_cast<int8_t>(ref) >= 1; }

bool GetCardInfo(SCCard* card, SCCardInfo* info) {
  std::memset(info, 0, sizeof *info);
  return card != nullptr && card->GetCardInfo(info) >= 0;
}

bool IsReadinessStatus(CK_RV rv) { return rv == TOKEN_STATUS_CARD_NOT_INITIALIZED || rv == TOKEN_STATUS_CARD_NOT_ACTIVATED; }

// The authId of a PIN object as a big-endian number; all ones when absent or longer than 8 octets.
CK_ULONG PinIdentifier(const ASNPkcs15AuthObject* pin) {
  if (pin == nullptr) return kAllOnes;
  const long n = pin->classAttributes.authId.getLength();
  const uint8_t* b = pin->classAttributes.authId.getData();
  if (n < 1 || n > 8 || b == nullptr) return kAllOnes;
  CK_ULONG v = 0;
  for (long i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

CK_RV NarrowContextLoginResult(CK_RV rv) {
  switch (rv) {
    case CKR_HOST_MEMORY:
    case CKR_GENERAL_ERROR:
    case CKR_FUNCTION_FAILED:
    case CKR_DEVICE_ERROR:
    case CKR_DEVICE_MEMORY:
    case CKR_DEVICE_REMOVED:
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LOCKED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_USER_PIN_NOT_INITIALIZED:
      return rv;
    default:
      return CKR_OPERATION_NOT_INITIALIZED;
  }
}

}  // namespace

void* SpecialUserPin() { return reinterpret_cast<void*>(~static_cast<uintptr_t>(0) - 2); }
void* SpecialSoPin() { return reinterpret_cast<void*>(~static_cast<uintptr_t>(0) - 4); }
void* SpecialSystemKey() { return reinterpret_cast<void*>(~static_cast<uintptr_t>(0) - 6); }

CK_RV DecodeSystemKeyText(const CK_UTF8CHAR* text, CK_ULONG len, MemFile* out) {
  if (text == nullptr) return CKR_PIN_INVALID;
  const char* t = reinterpret_cast<const char*>(text);
  const size_t n = static_cast<long>(len) < 0 ? std::strlen(t) : static_cast<size_t>(len);
  char group[4];
  int have = 0;
  size_t total = 0;
  // Decodes the gathered group; false when it is no group of one to three octets.
  const auto flush = [&]() {
    uint8_t bytes[3];
    const int got = Base64DecodeQuad(group, bytes);
    const bool ok = got >= 1 && got <= 3 && out->Write(static_cast<size_t>(got), bytes) == 0;
    SecureZero(bytes, sizeof bytes);
    SecureZero(group, sizeof group);
    total += ok ? static_cast<size_t>(got) : 0;
    have = 0;
    return ok;
  };
  for (size_t i = 0; i < n; ++i) {
    const char c = t[i];
    if (c == '\b' || c == '\t' || c == '\n' || c == '\v' || c == '\r' || c == ' ') continue;
    group[have++] = c;
    if (have == 4 && !flush()) return CKR_PIN_INVALID;
  }
  if (have == 1) {
    SecureZero(group, sizeof group);
    return CKR_PIN_INVALID;
  }
  if (have > 1) {
    while (have < 4) group[have++] = '=';
    if (!flush()) return CKR_PIN_INVALID;
  }
  return total == 0 ? CKR_PIN_INVALID : CKR_OK;
}

// ---- the card and its profile template ----

SCCard* CPkcs15Token::GetSlotCard() const {
  if (!IsAttached()) return nullptr;
  SCReader* reader = m_pApp->GetSlotReader(m_nPkcs15SlotId);
  return reader != nullptr && reader->IsConnected() ? reader->GetCard() : nullptr;
}

bool CPkcs15Token::ReadPinTemplate(uint8_t* soRef, uint8_t* userRef, uint8_t* userPukRef, bool* rokvast) const {
  *soRef = *userRef = *userPukRef = SC_REF_UNUSED;
  *rokvast = false;
  SCCard* card = GetSlotCard();
  if (card == nullptr) return false;
  const SCRESULT r = m_pApp->GetSlotReaderIndex(m_nPkcs15SlotId);
  if (r < 0) return false;
  const uint32_t flags = m_pApp->GetReaderFlags(static_cast<uint32_t>(r));
  if ((flags & (READER_FLAG_NOT_INITIALIZED | READER_FLAG_NOT_ACTIVATED)) == 0) return false;
  SCCardInfo info;
  GetCardInfo(card, &info);
  const char* profile = m_pApp->GetPkcs15Lib()->GetInitProfile();
  *rokvast = info.cardFamily == SC_CARD_TYPE_CLASSIC && profile != nullptr && strcasecmp(profile, "rokvast") == 0;
  SCFileHeaderList headers;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(info.cardFamily), &headers, *rokvast ? -1 : 0);
  *soRef = headers.GetSoPinRef();
  *userRef = headers.GetUserPinRef();
  *userPukRef = headers.GetUserPukRef();
  return true;
}

// ---- PIN objects ----

void* CPkcs15Token::GetPinObjectForUser(CK_USER_TYPE user) {
  if (!IsAttached()) return nullptr;
  if (user != CKU_SO && user != CKU_USER && user != CKU_MIRTAL_PERSONALIZATION_AGENT) return nullptr;
  // The personalisation agent authenticates with the system key of an IAS-ECC card.
  if (user == CKU_MIRTAL_PERSONALIZATION_AGENT) {
    SCCard* card = GetSlotCard();
    return card != nullptr && card->GetCardType() == SC_CARD_TYPE_IAS ? SpecialSystemKey() : nullptr;
  }
  if (SCPkcs15App* app = m_pApp->GetSlotApp(m_nPkcs15SlotId)) {
    ASNPkcs15AuthObject* pin = nullptr;
    const int kind = user == CKU_SO ? SCPkcs15App::PIN_SO : SCPkcs15App::PIN_USER;
    return app->FindPinObject(kind, &pin) >= 0 ? SCPkcs15App::HandleOfPin(pin) : nullptr;
  }
  uint8_t so = 0, userRef = 0, puk = 0;
  bool rokvast = false;
  if (!ReadPinTemplate(&so, &userRef, &puk, &rokvast)) return nullptr;
  if (user == CKU_SO) return !rokvast && IsValidRef(so) ? SpecialSoPin() : nullptr;
  return IsValidRef(userRef) ? SpecialUserPin() : nullptr;
}

CK_USER_TYPE CPkcs15Token::GetUserTypeForPinObject(void* pin) {
  if (pin == nullptr || !IsAttached()) return kNobody;
  if (pin == SpecialSystemKey()) {
    SCCard* card = GetSlotCard();
    return card != nullptr && card->GetCardType() == SC_CARD_TYPE_IAS ? CKU_MIRTAL_PERSONALIZATION_AGENT : kNobody;
  }
  if (SCPkcs15App* app = m_pApp->GetSlotApp(m_nPkcs15SlotId)) {
    if (IsSpecialPin(pin) || !app->IsPinObject(pin)) return kNobody;
    if (pin == GetPinObjectForUser(CKU_USER)) return CKU_USER;
    if (pin == GetPinObjectForUser(CKU_SO)) return CKU_SO;
    return CKU_CONTEXT_SPECIFIC;
  }
  uint8_t so = 0, userRef = 0, puk = 0;
  bool rokvast = false;
  if (!ReadPinTemplate(&so, &userRef, &puk, &rokvast)) return kNobody;
  if (pin == SpecialSoPin() && IsValidRef(so)) return CKU_SO;
  if (pin == SpecialUserPin() && IsValidRef(userRef)) return CKU_USER;
  return kNobody;
}

// ---- login ----

CK_RV CPkcs15Token::Login(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = GetObjectForHandle(pinHandle);
  // A handle that names no PIN object logs nobody in.
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  const CK_USER_TYPE user = GetUserTypeForPinObject(object);
  if (user > CKU_USER && user != CKU_MIRTAL_PERSONALIZATION_AGENT) return CKR_USER_TYPE_INVALID;
  // Without a text the card would only be asked for the PIN's state, which must never count as a login.
  if (pin == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK && !IsReadinessStatus(ready)) return ready;
  if (object == SpecialSystemKey()) return LoginAgent(pin, len);
  if (ready == TOKEN_STATUS_CARD_NOT_ACTIVATED) return CKR_USER_PIN_NOT_INITIALIZED;
  PinTextCopies texts;
  const char* text = nullptr;
  const CK_RV copied = texts.Add(pin, len, &text);
  if (copied != CKR_OK) return copied;
  // A card without PKCS#15 structure has no PIN to log in with yet.
  if (app == nullptr || IsSpecialPin(object)) return CKR_USER_PIN_NOT_INITIALIZED;
  const SCRESULT r = app->VerifyPin(app->PinFor(object), text, true, nullptr);
  if (r == SC_E_INVALID_DATA_LENGTH) return CKR_PIN_INCORRECT;
  // A user PIN that the token names but the card does not hold yet (a token
  // initialised before the SO set the PIN) is one not initialised.
  if (user == CKU_USER && (r == SC_E_NO_REFERENCED_DATA || r == SC_E_PIN_NOT_INITIALIZED))
    return CKR_USER_PIN_NOT_INITIALIZED;
  if (r < 0) return MapScErrorToCkr(r, false);
  if (r > 0) return CKR_PIN_INCORRECT;  // a tries count is no verification
  // What the card shows just after it took the value: a later use presents it only then.
  const SCRESULT learnt = app->LearnTryLimit(app->PinFor(object));
  if (learnt < 0) return MapScErrorToCkr(learnt, false);
  m_loggedInUser = user;
  return CKR_OK;
}

CK_RV CPkcs15Token::LoginAgent(const CK_UTF8CHAR* text, CK_ULONG len) {
  MemFile key;  // wiped when it goes
  const CK_RV decoded = DecodeSystemKeyText(text, len, &key);
  if (decoded != CKR_OK) return decoded;
  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  const SCRESULT r =
      lib->SetCardAuthKeys(m_nPkcs15SlotId, key.GetPointer(0), static_cast<size_t>(key.Size()), false);
  if (r == SC_E_CRYPT_ERROR || r == SC_E_INVALID_DATA_LENGTH) return CKR_PIN_INCORRECT;
  if (r < 0) return MapScErrorToCkr(r, false);
  // The card reads anew over the agent's channel. A card that refuses to open
  // it again for that, or whose reading over it fails, ends the channel: no
  // agent is in, and the session stays as it was.
  const SCRESULT read = lib->RefreshTokenInfo(m_nPkcs15SlotId, 1, 0);
  const bool open = lib->CheckCardKeySet(m_nPkcs15SlotId) == SC_OK;
  if (!open || !SCPkcs15Lib::IsCardStructureResult(read)) {
    const CK_RV gone = MapScErrorToCkr(read, false);
    if (gone == CKR_DEVICE_REMOVED || gone == CKR_TOKEN_NOT_PRESENT) return gone;
    if (open) {
      lib->ResetCardSm(m_nPkcs15SlotId);
      AcknowledgeTokenChange();
    }
    return CKR_DEVICE_ERROR;
  }
  m_loggedInUser = CKU_MIRTAL_PERSONALIZATION_AGENT;
  return CKR_OK;
}

CK_RV CPkcs15Token::Logout() {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  if (m_loggedInUser == kNobody) return CKR_USER_NOT_LOGGED_IN;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  CK_RV rv = ready;
  if (ready == CKR_OK) rv = app != nullptr ? MapScErrorToCkr(app->Logout(true), false) : CKR_OK;
  // The agent's channel ends with the logout, whatever the card reads as. What
  // was read over it goes too: the token shows the card as it reads without the
  // channel (a card not yet activated: no objects, its own label), and this
  // token's sessions stay open as after any logout.
  if (lib != nullptr && lib->CheckCardKeySet(m_nPkcs15SlotId) == SC_OK) {
    lib->ResetCardSm(m_nPkcs15SlotId);
    AcknowledgeTokenChange();
  }
  if (ready != CKR_OK || lib == nullptr || lib->CheckCardKeySet(m_nPkcs15SlotId) != SC_OK) m_loggedInUser = kNobody;
  ClearHandleTable(true);
  return rv;
}

CK_RV CPkcs15Token::LoginContextSpecific(CK_OBJECT_HANDLE key, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = GetObjectForHandle(key);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (pin == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK) return ready;
  const SCRESULT kind = app->GetObjectKind(object);
  if (kind < 0) return NarrowContextLoginResult(MapScErrorToCkr(kind, false));
  if ((static_cast<uint32_t>(kind) & 0xFFFF00u) != kPrivateKeyFamily) return CKR_OPERATION_NOT_INITIALIZED;
  SCPkcs15ObjectAttribute consent(kAttrUserConsent);
  consent.m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(kAttrUserConsent);
  uint32_t uses = 0;
  if (app->GetAttributeValue(object, &consent) < 0 || !consent.GetInteger(&uses) || uses == 0)
    return CKR_OPERATION_NOT_INITIALIZED;
  PinTextCopies texts;
  const char* text = nullptr;
  const CK_RV copied = texts.Add(pin, len, &text);
  if (copied != CKR_OK) return copied;
  ASNPkcs15AuthObject* auth = nullptr;
  SCRESULT r = app->FindAuthObjectForObject(object, &auth, false);
  if (r < 0) return NarrowContextLoginResult(MapScErrorToCkr(r, false));
  if (auth == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
  SCCardInfo info;
  GetCardInfo(app->GetCard(), &info);
  r = app->VerifyPin(auth, text, info.cardFamily == SC_CARD_TYPE_COSMOPOLIC, nullptr);
  if (r < 0) return NarrowContextLoginResult(MapScErrorToCkr(r, false));
  return r == 0 ? CKR_OK : CKR_PIN_INCORRECT;
}

// ---- the PIN list and PIN information ----

CK_RV CPkcs15Token::GetPinList(PointerList* pinObjects) {
  AssertInvariant(pinObjects != nullptr, "pkcs11impl/pkcs15token", __LINE__, "pinObjectList != NULL");
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCPkcs15App* app = nullptr;
  RefreshAndGetApp(&app, nullptr);
  if (app != nullptr) {
    // The PIN objects that unblock no other PIN.
    SCPkcs15ObjectAttributeList tmpl;
    if (tmpl.AddInteger(kAttrKind, kPinObjectKind) == nullptr ||
        tmpl.AddFlags(kAttrPinFlags, 0, SCPkcs15App::PINF_UNBLOCKING) == nullptr)
      return CKR_HOST_MEMORY;
    std::vector<void*> found;
    SCRESULT r;
    try {
      r = app->FindObjects(&tmpl, &found, 1);
      for (void* h : found) pinObjects->AddTail(h);
    } catch (const std::bad_alloc&) {
      return CKR_HOST_MEMORY;
    }
    return MapScErrorToCkr(r < 0 ? r : SC_OK, false);
  }
  uint8_t so = 0, userRef = 0, puk = 0;
  bool rokvast = false;
  if (!ReadPinTemplate(&so, &userRef, &puk, &rokvast)) return CKR_TOKEN_NOT_RECOGNIZED;
  try {
    if (IsValidRef(so) && !rokvast) pinObjects->AddTail(SpecialSoPin());
    if (IsValidRef(userRef)) pinObjects->AddTail(SpecialUserPin());
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

CK_RV CPkcs15Token::GetPinInfo(CK_OBJECT_HANDLE pinHandle, MIRTAL_PIN_INFO* info) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = pinHandle != 0 ? GetObjectForHandle(pinHandle) : nullptr;
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (ready != CKR_OK && !IsReadinessStatus(ready)) return ready;
  if (app == nullptr || IsSpecialPin(object)) return GetSpecialPinInfo(object, info);
  ASNPkcs15AuthObject* pin = app->PinFor(object);
  if (pin == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (info->structSize != sizeof(MIRTAL_PIN_INFO)) return CKR_ARGUMENTS_BAD;
  SCCardInfo card;
  GetCardInfo(app->GetCard(), &card);

  SCPkcs15ObjectAttributeList attrs;
  for (uint64_t type : {kAttrKind, kAttrLabel, kAttrAuthId, kAttrPinFlags, kAttrMinLength, kAttrStoredLength,
                        kAttrMaxLength}) {
    SCPkcs15ObjectAttribute* a = attrs.AddAttribute(type);
    if (a == nullptr) return CKR_HOST_MEMORY;
    a->m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(type);
  }
  const SCRESULT got = app->GetAttributeValues(object, &attrs);
  if (got < 0 && got != SC_E_PKCS15_ATTR_NOT_FOUND && got != SC_E_PKCS15_INVALID_ATTR) return MapScErrorToCkr(got, false);
  const auto number = [&](uint64_t type, bool* present) -> uint32_t {
    const SCPkcs15ObjectAttribute* a = attrs.FindAttribute(type);
    uint32_t v = 0;
    *present = a != nullptr && a->GetResult() >= 0 && a->GetLength() > 0 && a->GetInteger(&v) != 0;
    return *present ? v : 0;
  };

  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  const bool qualified = lib->IsQualifiedPin(app, object);
  const bool known = app->IsKnownProfile();
  ASNPkcs15AuthObject* userPin = app->PinFor(GetPinObjectForUser(CKU_USER));
  ASNPkcs15AuthObject* soPin = app->PinFor(GetPinObjectForUser(CKU_SO));
  CK_FLAGS flags = 0;

  // The PIN that unblocks this one.
  ASNPkcs15AuthObject* unblocking = nullptr;
  if (known && qualified) {
    unblocking = userPin;
  } else {
    if (app->FindAuthObjectForObject(object, &unblocking, false) < 0) unblocking = nullptr;
    if (unblocking == nullptr && pin == userPin) {
      if (card.cardFamily == SC_CARD_TYPE_COSMOPOLIC) {
        unblocking = soPin;
        flags |= CKF_MIRTAL_PIN_PROTECTS_FOR_INIT_ONLY;
      } else if (card.cardFamily == SC_CARD_TYPE_CLASSIC) {
        unblocking = pin;
        flags |= CKF_MIRTAL_PIN_PROTECTS_FOR_INIT_ONLY;
      }
    }
  }
  ASNPkcs15AuthObject* puk = nullptr;
  if (app->FindAuthObjectForObject(object, &puk, true) >= 0 && puk != nullptr) flags |= CKF_MIRTAL_PIN_CAN_BE_UNBLOCKED;

  std::memset(info->label, ' ', sizeof info->label);
  const SCPkcs15ObjectAttribute* label = attrs.FindAttribute(kAttrLabel);
  if (label != nullptr && label->GetResult() >= 0 && label->GetLength() > 0) {
    const uint32_t n = label->GetLength() > 32 ? 32 : label->GetLength();
    PadCopyUtf8(info->label, 32, reinterpret_cast<const char*>(label->GetValue()), static_cast<int>(n));
  }
  if (qualified && known)
    info->userType = 2;
  else
    info->userType = pin == userPin ? CKU_USER : (pin == soPin ? CKU_SO : 2);

  bool present = false;
  uint32_t minLen = number(kAttrMinLength, &present);
  if (minLen >= 256) minLen = 0;
  if (minLen < card.minPinLen) minLen = card.minPinLen;
  bool haveMax = false, haveStored = false;
  uint32_t maxLen = number(kAttrMaxLength, &haveMax);
  const uint32_t stored = number(kAttrStoredLength, &haveStored);
  if (!haveMax || maxLen == 0) maxLen = stored;
  if (maxLen >= 256) maxLen = 255;
  // The card's own limit, where it knows one.
  if (card.maxPinLen != 0 && (card.maxPinLen < maxLen || maxLen == 0)) maxLen = card.maxPinLen;
  info->minLen = static_cast<CK_BYTE>(minLen);
  info->maxLen = static_cast<CK_BYTE>(maxLen);
  info->pinId = PinIdentifier(pin);
  info->unblockPinId = PinIdentifier(unblocking);

  const uint32_t pinFlags = pin->typeAttributes.pinFlags.getFlags();
  if (qualified) {
    flags |= CKF_MIRTAL_PIN_CAN_BE_UNBLOCKED | CKF_MIRTAL_PIN_FOR_SIGNING_ONLY | CKF_MIRTAL_PIN_QUALIFIED_SIGN_PIN |
             CKF_MIRTAL_PIN_INIT_REQUIRE_RANDOM_PUK;
    if (known) flags |= CKF_MIRTAL_PIN_PROTECTS_FOR_INIT_ONLY;
  }
  if (pinFlags & SCPkcs15App::PINF_SO) {
    flags |= CKF_MIRTAL_PIN_IS_SO_PIN;
    if (pin == soPin) flags |= CKF_MIRTAL_PIN_USED_FOR_LOG_IN;
    if (known && (pinFlags & SCPkcs15App::PINF_LOCAL) == 0) flags |= CKF_MIRTAL_PIN_GLOBAL;
  } else if ((pinFlags & SCPkcs15App::PINF_UNBLOCKING) == 0) {
    flags |= CKF_MIRTAL_PIN_IS_USER_PIN;
    if (pin == userPin) flags |= CKF_MIRTAL_PIN_USED_FOR_LOG_IN;
  }
  info->flags = flags;
  return CKR_OK;
}

CK_RV CPkcs15Token::GetSpecialPinInfo(void* pin, MIRTAL_PIN_INFO* info) {
  uint8_t so = 0, userRef = 0, puk = 0;
  bool rokvast = false;
  if (!ReadPinTemplate(&so, &userRef, &puk, &rokvast)) return CKR_TOKEN_NOT_RECOGNIZED;
  if (info->structSize != sizeof(MIRTAL_PIN_INFO)) return CKR_ARGUMENTS_BAD;
  SCCardInfo card;
  GetCardInfo(GetSlotCard(), &card);
  const uint32_t model = card.cardFamily;
  const CK_FLAGS soFlags = so >= 128 ? 0xA0 : 0x80A0;
  struct Row {
    CK_ULONG id;
    CK_USER_TYPE user;
    CK_BYTE maxLen;
    CK_ULONG unblockId;
    CK_FLAGS flags;
    const char* label;
  } row;
  const char* const soLabel = "PIN administratora";
  const char* const userLabel = "PIN u\xC5\xBCytkownika";
  if (pin == SpecialSoPin() && model == SC_CARD_TYPE_SETCOS441)
    row = {2, CKU_SO, 8, kAllOnes, soFlags, soLabel};
  else if (pin == SpecialSoPin() && model == SC_CARD_TYPE_COSMOPOLIC)
    row = {2, CKU_SO, 16, kAllOnes, soFlags, soLabel};
  else if (pin == SpecialUserPin() && (model == SC_CARD_TYPE_COSMOPOLIC || model == SC_CARD_TYPE_IAS))
    row = {1, CKU_USER, 64, 2, 0x90, userLabel};
  else if (pin == SpecialUserPin() && model == SC_CARD_TYPE_CLASSIC && rokvast)
    row = {1, CKU_USER, 64, 1, static_cast<CK_FLAGS>(userRef >= 128 ? 0x81 : 0x8081), userLabel};
  else if (pin == SpecialUserPin() && model == SC_CARD_TYPE_CLASSIC)
    row = {1, CKU_USER, 64, 2, 0x80, userLabel};
  else if (pin == SpecialSoPin() && ((model == SC_CARD_TYPE_CLASSIC && !rokvast) || model == SC_CARD_TYPE_IAS))
    row = {2, CKU_SO, 64, kAllOnes, soFlags, soLabel};
  else
    return CKR_OBJECT_HANDLE_INVALID;
  info->pinId = row.id;
  info->userType = row.user;
  PadCopyUtf8(info->label, sizeof info->label, row.label, -1);
  info->minLen = 4;
  info->maxLen = row.maxLen;
  info->unblockPinId = row.unblockId;
  info->flags = row.flags;
  return CKR_OK;
}

// ---- PIN status ----

CK_FLAGS CPkcs15Token::GetUserPinStateFlags(SCPkcs15App* app) {
  // Only what the card is sent moves the PIN's counter (other applications aside):
  // while the reader exchanged nothing since, the last answer stands.
  const SCReader* reader = IsAttached() ? m_pApp->GetSlotReader(m_nPkcs15SlotId) : nullptr;
  if (reader != nullptr && app != nullptr && app == m_userPinFlagsApp && reader->GetChangeCount() == m_userPinFlagsAt)
    return m_userPinFlags;
  m_userPinFlags = ReadUserPinStateFlags(app);
  m_userPinFlagsApp = reader != nullptr ? app : nullptr;
  m_userPinFlagsAt = reader != nullptr ? reader->GetChangeCount() : 0;
  return m_userPinFlags;
}

CK_FLAGS CPkcs15Token::ReadUserPinStateFlags(SCPkcs15App* app) {
  // Cards keep the retry limit to themselves; 3 is the limit this module gives the PINs it
  // sets up, and a higher count once seen is taken as the PIN's own.
  constexpr int32_t kUsualTryLimit = 3;
  ASNPkcs15AuthObject* pin = nullptr;
  if (app == nullptr || app->FindPinObject(SCPkcs15App::PIN_USER, &pin) < 0 || pin == nullptr) return 0;
  const SCRESULT r = app->QueryPinStatus(pin, nullptr);
  if (r == SC_E_PIN_BLOCKED) return CKF_USER_PIN_LOCKED;
  if (r <= 0) return 0;  // verified now, or not known
  const int32_t tries = static_cast<int32_t>(r);
  if (tries > m_userPinTriesSeen) m_userPinTriesSeen = tries;
  CK_FLAGS flags = 0;
  if (tries < m_userPinTriesSeen || tries < kUsualTryLimit) flags |= CKF_USER_PIN_COUNT_LOW;
  if (tries == 1) flags |= CKF_USER_PIN_FINAL_TRY;
  return flags;
}

CK_RV CPkcs15Token::GetSpecialPinStatus(void* pin, int32_t* status, bool* pukMissing) {
  SCCard* card = GetSlotCard();
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  uint8_t so = 0, userRef = 0, puk = 0;
  bool rokvast = false;
  if (!ReadPinTemplate(&so, &userRef, &puk, &rokvast)) return CKR_TOKEN_NOT_RECOGNIZED;
  uint8_t ref;
  if (pin == SpecialSoPin())
    ref = so;
  else if (pin == SpecialUserPin())
    ref = userRef;
  else
    return CKR_OBJECT_HANDLE_INVALID;
  if (!IsValidRef(ref)) return CKR_OBJECT_HANDLE_INVALID;
  SCCardInfo info;
  GetCardInfo(card, &info);
  SCRESULT r;
  if ((info.cardFamily == SC_CARD_TYPE_IAS || info.cardFamily == SC_CARD_TYPE_CLASSIC) && card->GetCardState() != 3) {
    r = SC_E_PIN_NOT_INITIALIZED;
  } else {
    SCTransactGuard guard(card);
    r = card->SelectMf(nullptr);
    if (r >= 0) r = card->VerifyPin(ref, nullptr, 0);
    if (info.cardFamily == SC_CARD_TYPE_CLASSIC) {
      if (r == SC_E_NO_REFERENCED_DATA) r = SC_E_PIN_NOT_INITIALIZED;
      if (rokvast && puk < SC_REF_UNUSED) {
        const SCRESULT p = card->VerifyPin(puk, nullptr, 0);
        if (p == SC_E_NO_REFERENCED_DATA || p == SC_E_PIN_NOT_INITIALIZED) *pukMissing = true;
      }
    }
  }
  if (r >= 0 && status != nullptr) *status = static_cast<int32_t>(r);
  if (r >= 0) return CKR_OK;
  if (status != nullptr) *status = -1;
  if (r == SC_E_PIN_BLOCKED) return CKR_PIN_LOCKED;
  if (r == SC_E_PIN_NOT_INITIALIZED) return CKR_USER_PIN_NOT_INITIALIZED;
  return MapScErrorToCkr(r, false);
}

CK_RV CPkcs15Token::GetPinStatus(CK_OBJECT_HANDLE pinHandle, int32_t* status) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = pinHandle != 0 ? GetObjectForHandle(pinHandle) : nullptr;
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (status != nullptr) *status = -1;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  bool pukMissing = false;
  CK_RV rv;
  if (IsReadinessStatus(ready)) {
    rv = GetSpecialPinStatus(object, status, &pukMissing);
  } else if (ready != CKR_OK) {
    return ready;
  } else {
    AssertInvariant(app != nullptr, "pkcs11impl/pkcs15token", __LINE__, "pPkcs15Lib && pPkcs15App");
    ASNPkcs15AuthObject* pin = app->PinFor(object);
    if (pin == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    SCCardInfo info;
    GetCardInfo(app->GetCard(), &info);
    if (info.cardFamily == SC_CARD_TYPE_CLASSIC && object == GetPinObjectForUser(CKU_USER)) {
      ASNPkcs15AuthObject* puk = nullptr;
      if (app->FindAuthObjectForObject(object, &puk, true) >= 0 && puk != nullptr) {
        const SCRESULT p = app->QueryPinStatus(puk, nullptr);
        if (p == SC_E_PIN_NOT_INITIALIZED || p == SC_E_NO_REFERENCED_DATA) pukMissing = true;
      }
    }
    const SCRESULT r = app->QueryPinStatus(pin, nullptr);
    if (r >= 0) {
      if (status != nullptr) *status = static_cast<int32_t>(r);
      rv = CKR_OK;
    } else {
      rv = r == SC_E_PIN_BLOCKED ? CKR_PIN_LOCKED
           : r == SC_E_PIN_NOT_INITIALIZED ? CKR_USER_PIN_NOT_INITIALIZED
                                            : MapScErrorToCkr(r, false);
    }
  }
  if (rv == CKR_OK && pukMissing) return CKR_PIN_EXPIRED;
  return rv;
}

// ---- changing, unblocking and setting PINs ----

CK_RV CPkcs15Token::ChangePin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen,
                              CK_UTF8CHAR_PTR newPin, CK_ULONG newLen) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = GetObjectForHandle(pinHandle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (newPin == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (IsReadinessStatus(ready)) return CKR_TOKEN_WRITE_PROTECTED;
  if (ready != CKR_OK) return ready;
  ASNPkcs15AuthObject* pin = app->PinFor(object);
  if (pin == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  PinTextCopies texts;
  const char* oldText = nullptr;
  const char* newText = nullptr;
  CK_RV rv = texts.Add(oldPin, oldLen, &oldText);
  if (rv == CKR_OK) rv = texts.Add(newPin, newLen, &newText);
  if (rv != CKR_OK) return rv;
  const SCRESULT r = app->ChangePin(pin, oldText, newText);
  if (r == SC_OK && lib->IsQualifiedPin(app, object)) {
    // The card holds a PIN verified once it is changed; the qualified one opens a
    // signature only through its own entry, so it is left unverified, as after a signature.
    const SCRESULT out = app->LogoutPin(pin, false);
    return out < 0 ? MapScErrorToCkr(out, false) : CKR_OK;
  }
  if (r == SC_E_PIN_NOT_INITIALIZED) {
    SCCardInfo info;
    GetCardInfo(app->GetCard(), &info);
    if (info.cardFamily != SC_CARD_TYPE_CLASSIC) return MapScErrorToCkr(r, false);
    const SCRESULT q = app->QueryPinStatus(pin, nullptr);
    return q < 0 ? MapScErrorToCkr(q, false) : CKR_PIN_EXPIRED;
  }
  if (r == SC_E_ACCESS_DENIED && (oldText == nullptr || *oldText == '\0')) return CKR_PIN_INCORRECT;
  // The card refused a PIN for its length: its PIN objects may hold fewer octets than the token's records say.
  if (r == SC_E_INVALID_DATA_LENGTH) return CKR_PIN_LEN_RANGE;
  return MapScErrorToCkr(r, false);
}

CK_RV CPkcs15Token::UnblockPin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR puk, CK_ULONG pukLen,
                               CK_UTF8CHAR_PTR newPin, CK_ULONG newLen) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* object = GetObjectForHandle(pinHandle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, nullptr);
  if (IsReadinessStatus(ready)) return CKR_TOKEN_WRITE_PROTECTED;
  if (ready != CKR_OK) return ready;
  ASNPkcs15AuthObject* pin = app->PinFor(object);
  if (pin == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  PinTextCopies texts;
  const char* pukText = nullptr;
  const char* newText = nullptr;
  CK_RV rv = texts.Add(puk, pukLen, &pukText);
  if (rv == CKR_OK) rv = texts.Add(newPin, newLen, &newText);
  if (rv != CKR_OK) return rv;
  const SCRESULT r = app->UnblockPin(pin, pukText, newText);
  // The card refused a value for its length: nothing was compared or changed.
  return r == SC_E_INVALID_DATA_LENGTH ? CKR_PIN_LEN_RANGE : MapScErrorToCkr(r, false);
}

CK_RV CPkcs15Token::InitPin(CK_OBJECT_HANDLE pinHandle, CK_UTF8CHAR_PTR authPin, CK_ULONG authLen,
                            CK_UTF8CHAR_PTR newPin, CK_ULONG newLen, CK_UTF8CHAR_PTR puk, CK_ULONG pukLen) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  if (newPin == nullptr || newLen == 0) return CKR_ARGUMENTS_BAD;
  void* object = GetObjectForHandle(pinHandle);
  if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready == TOKEN_STATUS_CARD_NOT_INITIALIZED) return CKR_TOKEN_WRITE_PROTECTED;
  if (ready == TOKEN_STATUS_CARD_NOT_ACTIVATED) {
    const SCRESULT r = m_pApp->GetSlotReaderIndex(m_nPkcs15SlotId);
    const bool notActivated = r >= 0 && m_pApp->IsCardNotActivated(static_cast<uint32_t>(r));
    // The bare card state never leaves the module: a writing call on such a card is refused.
    return notActivated ? CKR_USER_NOT_LOGGED_IN : CKR_TOKEN_WRITE_PROTECTED;
  }
  if (ready != CKR_OK) return ready;
  if (app == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  ASNPkcs15AuthObject* pin = app->PinFor(object);
  if (pin == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (authPin == nullptr) authLen = 0;
  if (puk == nullptr) pukLen = 0;

  SCCardInfo info;
  GetCardInfo(app->GetCard(), &info);
  const auto outOfRange = [&](CK_ULONG n) { return n < info.minPinLen || (info.maxPinLen != 0 && n > info.maxPinLen); };
  if (outOfRange(newLen) || (pukLen != 0 && outOfRange(pukLen))) return CKR_PIN_LEN_RANGE;
  // Each new value by its own PIN's record too, before any PIN goes to the card.
  ASNPkcs15AuthObject* unblocking = nullptr;
  if (app->JudgeNewPin(pin, newLen) < 0 ||
      (pukLen != 0 && app->FindAuthObjectForObject(object, &unblocking, true) >= 0 && unblocking != nullptr &&
       app->JudgeNewPin(unblocking, pukLen) < 0))
    return CKR_PIN_LEN_RANGE;
  {
    // The card must still be there.
    SCTransactGuard guard(app->GetCard());
  }

  const bool qualified = lib->IsQualifiedPin(app, object);
  SCPinParams params;
  params.pinType = (GetUserTypeForPinObject(object) == CKU_SO && !qualified) ? 10 : 3;
  params.officerRef = app->GetHeaderList().GetSoPinOrSysKeyRef();
  params.spare = SC_UNSET;
  params.pukTryLimit = pukLen != 0 ? 3 : 0;
  if (qualified) {
    if (newLen < 6 || pukLen < 8) return CKR_PIN_LEN_RANGE;
    params.pukTryLimit = 3;
    params.pukType = 10;
    params.flags = SC_PINREC_NO_RESET;
    params.pukUseCount = 1;
  } else {
    params.pukType = 0;
    params.flags = 0;
    params.pukUseCount = SC_UNSET;
  }

  PinTextCopies texts;
  const char* authText = nullptr;
  const char* newText = nullptr;
  const char* pukText = nullptr;
  CK_RV rv = texts.Add(authLen != 0 ? authPin : nullptr, authLen, &authText);
  if (rv == CKR_OK) rv = texts.Add(newPin, newLen, &newText);
  if (rv == CKR_OK) rv = texts.Add(pukLen != 0 ? puk : nullptr, pukLen, &pukText);
  if (rv != CKR_OK) return rv;
  params.pukText = pukText;

  ASNPkcs15AuthObject* userPin = nullptr;
  const bool hasUserPin = app->FindPinObject(SCPkcs15App::PIN_USER, &userPin) >= 0 && userPin != nullptr;
  const char* setAuth = authText;
  if (hasUserPin) {
    if (authText != nullptr) {
      if (qualified) {
        const SCRESULT v = app->VerifyPin(userPin, authText, false, nullptr);
        if (v < 0) return MapScErrorToCkr(v, false);
        setAuth = nullptr;
      }
    } else if (info.cardFamily == SC_CARD_TYPE_COSMOPOLIC) {
      ASNPkcs15AuthObject* so = nullptr;
      if (app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr) {
        const bool kept = app->HasVerifiedPin(so);
        const SCRESULT v = app->VerifyCachedPin(so, nullptr);
        if (kept && v == SC_E_PKCS15_NOT_LOGGED_IN) return CKR_USER_NOT_LOGGED_IN;  // the SO's login ended
        if (v < 0 && v != SC_E_PKCS15_PIN_UNKNOWN && v != SC_E_PKCS15_NOT_LOGGED_IN) return MapScErrorToCkr(v, false);
      }
    }
  }
  // A PIN the holder made where the token's files find it before the token's own
  // (model 1: beside the keys) goes before the user PIN takes its new value.
  if (hasUserPin && pin == userPin) {
    const SCRESULT d = app->DeleteShadowingPins(pin);
    if (d < 0) return d == SC_E_ACCESS_DENIED ? CKR_FUNCTION_FAILED : MapScErrorToCkr(d, false);
  }
  // The SO's: success only after a fresh look at what the token relies on, taken
  // before the PIN's value goes (the value changes no header): a token anyone may
  // change gets none, and a fault after the write finds the call done. The call made
  // nothing of the token; what its headers leave out was judged by the call that did.
  if (authText == nullptr) {
    SCTransactGuard guard(app->GetCard());
    ASNPkcs15AuthObject* so = nullptr;
    const uint8_t soRef = app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr
                              ? SCPkcs15App::GetPinReference(so) : 0xFF;
    const SCRESULT look = FreshLook(lib, app, soRef, true, true);
    if (look < 0) return MapScErrorToCkr(look, false);
  }
  const SCRESULT r = app->SetPin(pin, setAuth, newText, &params, nullptr);
  // The SO's: a key set's copy that a cut of C_InitToken left beside the whole token goes now.
  if (r >= 0 && authText == nullptr) app->DropLeftKeySetCopy();
  // A PIN that has a value: where neither the officer logged in nor the PIN given may set it
  // (nobody, or a PIN its PUK alone resets), the caller is told to come as the one who may.
  if (r == SC_E_PIN_ALREADY_INITIALIZED && (authText != nullptr || GetLoggedInUserType() != CKU_SO))
    return CKR_USER_NOT_LOGGED_IN;
  return r == SC_E_INVALID_DATA_LENGTH ? CKR_PIN_LEN_RANGE : MapScErrorToCkr(r, false);
}

// ---- PINs held verified ----

void CPkcs15Token::AddHeldPins(std::vector<SCHeldPin>* held, const std::vector<CK_OBJECT_HANDLE>& keys) {
  SCPkcs15App* app = IsAttached() ? m_pApp->GetSlotApp(m_nPkcs15SlotId) : nullptr;
  SCCard* card = app != nullptr ? app->GetCard() : nullptr;
  if (card == nullptr) return;
  const auto add = [&](const SCCard::PinAt& at, bool forOperation) {
    SCHeldPin h;
    h.card = card;
    h.df = at.df;
    h.ref = at.ref;
    h.forOperation = forOperation;
    held->push_back(std::move(h));
  };
  if (GetLoggedInUserType() != CKU_NOBODY) {
    std::vector<SCCard::PinAt> kept;
    app->KeptPins(&kept);
    for (const SCCard::PinAt& at : kept) add(at, false);
  }
  for (CK_OBJECT_HANDLE key : keys) {
    void* object = GetObjectForHandle(key);
    ASNPkcs15AuthObject* auth = nullptr;
    if (object != nullptr && app->FindAuthObjectForObject(object, &auth, false) >= 0 && auth != nullptr)
      add(app->PinAtOf(auth), true);
  }
}

bool CPkcs15Token::EndLogin() {
  if (m_loggedInUser != CKU_USER && m_loggedInUser != CKU_SO) return false;
  m_loggedInUser = kNobody;
  ClearHandleTable(true);
  return true;
}
