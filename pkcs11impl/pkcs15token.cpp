#include "pkcs11impl/pkcs15token.h"

#include <strings.h>

#include <cstring>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/session.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_types.h"
#include "support/textutil.h"

namespace {

constexpr CK_ULONG kMaxMechanisms = 20;

bool HasRsaUse(uint32_t caps) { return (caps & (SC_RSA_CAP_SIGN | SC_RSA_CAP_DECRYPT)) != 0; }
bool HasPkcs1(uint32_t caps) { return (caps & (SC_RSA_CAP_PKCS1 | SC_RSA_CAP_RAW)) != 0; }
bool HasRaw(uint32_t caps) { return (caps & SC_RSA_CAP_RAW) != 0; }

bool IsDigestWithRsa(CK_MECHANISM_TYPE m) {
  return (m >= CKM_MD2_RSA_PKCS && m <= CKM_SHA1_RSA_PKCS) || (m >= CKM_SHA256_RSA_PKCS && m <= CKM_SHA512_RSA_PKCS) ||
         m == CKM_SHA224_RSA_PKCS;
}

bool DfNameEquals(const SCFileHeader* h, const char* name) {
  if (h == nullptr) return false;
  size_t len = 0;
  const uint8_t* bytes = h->GetDfName(&len);
  const size_t want = std::strlen(name);
  return bytes != nullptr && len == want && std::memcmp(bytes, name, want) == 0;
}

bool GetCardInfo(SCCard* card, SCCardInfo* info) {
  std::memset(info, 0, sizeof *info);
  return card != nullptr && card->GetCardInfo(info) >= 0;
}

}  // namespace

// ---- shared helpers ----

void PadCopyUtf8(CK_UTF8CHAR* field, size_t width, const char* text, int len) {
  std::memset(field, ' ', width);
  if (text == nullptr) return;
  size_t n = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
  if (n > width) {
    n = width;
    while (n > 0 && Utf8Kind(text, static_cast<int>(n)) == 0) --n;
  }
  std::memcpy(field, text, n);
}

void FormatSerialNumber(CK_UTF8CHAR* field16, const uint8_t* bytes, size_t len) {
  std::memset(field16, ' ', 16);
  if (bytes == nullptr) return;
  if (len > 8) {
    bytes += len - 8;
    len = 8;
  }
  char hex[17];
  const size_t n = BinToHex(bytes, len, hex, "");
  std::memcpy(field16, hex, n > 16 ? 16 : n);
}

bool CopyToBuffer(void* out, CK_ULONG* lenInOut, const void* data, CK_ULONG len) {
  if (lenInOut == nullptr) return false;
  if (out == nullptr || len == CK_UNAVAILABLE_INFORMATION) {
    *lenInOut = CK_UNAVAILABLE_INFORMATION;
    return true;
  }
  if (len > *lenInOut) {
    *lenInOut = len;
    return false;
  }
  if (len) std::memcpy(out, data, len);
  *lenInOut = len;
  return true;
}

CK_RV CopyOutWithLength(void* out, CK_ULONG* lenInOut, const void* data, CK_ULONG len) {
  return CopyToBuffer(out, lenInOut, data, len) ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

bool FillAttribute(CK_ATTRIBUTE* attr, const void* data, CK_ULONG len) {
  if (attr == nullptr) return false;
  if (attr->pValue != nullptr && len != CK_UNAVAILABLE_INFORMATION) {
    if (len > attr->ulValueLen) {
      attr->ulValueLen = CK_UNAVAILABLE_INFORMATION;
      return false;
    }
    if (len) std::memcpy(attr->pValue, data, len);
  }
  attr->ulValueLen = len;
  return true;
}

CK_RV SetAttributeBytes(CK_ATTRIBUTE* attr, const void* data, CK_ULONG len) {
  return FillAttribute(attr, data, len) ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

// ---- the token ----

CPkcs15Token::CPkcs15Token() {
  m_maxSessionCount = 0;
  m_maxRwSessionCount = 0;
}

CPkcs15Token::~CPkcs15Token() { DetachFromSlot(); }

bool CPkcs15Token::IsAgentSession() {
  SCCard* card = GetSlotCard();
  return card != nullptr && card->GetCardType() == SC_CARD_TYPE_IAS && card->GetCardState() == 2 &&
         m_pApp->GetPkcs15Lib()->CheckCardKeySet(m_nPkcs15SlotId) == SC_OK;
}

CK_RV CPkcs15Token::RefreshAndGetApp(SCPkcs15App** app, SCPkcs15Lib** bridge) {
  if (app) *app = nullptr;
  if (bridge) *bridge = nullptr;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  if (bridge) *bridge = lib;
  const SCRESULT rv = lib->RefreshTokenInfo(m_nPkcs15SlotId, 1, 0);
  const bool first = lib->IsFirstSlotOfReader(m_nPkcs15SlotId);
  SCPkcs15App* a = lib->GetSlotApp(m_nPkcs15SlotId);
  if (rv < 0) {
    if (app) *app = a;
    // A token an interrupted initialisation left incomplete keeps its slot, whichever it is.
    if (rv == SC_E_PKCS15_CARD_NOT_INITIALIZED)
      return first || a != nullptr ? TOKEN_STATUS_CARD_NOT_INITIALIZED : CKR_TOKEN_NOT_PRESENT;
    if (rv == SC_E_PKCS15_CARD_NOT_ACTIVATED) return first ? TOKEN_STATUS_CARD_NOT_ACTIVATED : CKR_TOKEN_NOT_PRESENT;
    if (a == nullptr && !first) return CKR_TOKEN_NOT_PRESENT;
    return MapScErrorToCkr(rv, true);
  }
  if (m_loggedInUser == ~static_cast<CK_USER_TYPE>(0) && IsAgentSession())
    m_loggedInUser = CKU_MIRTAL_PERSONALIZATION_AGENT;
  if (app) *app = a;
  return a == nullptr ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
}

CK_RV CPkcs15Token::GetTokenInfo(CK_TOKEN_INFO* pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready != CKR_OK && ready != CKR_TOKEN_NOT_RECOGNIZED && ready != TOKEN_STATUS_CARD_NOT_INITIALIZED &&
      ready != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return ready;
  SCReader* reader = lib->GetSlotReader(m_nPkcs15SlotId);
  SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;

  SCCardInfo info;
  GetCardInfo(card, &info);
  const uint32_t os = card->GetOsVersion();
  const uint32_t platform = card->GetPlatformVersion();
  pInfo->hardwareVersion.major = static_cast<CK_BYTE>(os >> 24);
  pInfo->hardwareVersion.minor = static_cast<CK_BYTE>(os >> 16);
  pInfo->firmwareVersion.major = static_cast<CK_BYTE>(platform >> 24);
  pInfo->firmwareVersion.minor = static_cast<CK_BYTE>(((platform >> 8) & 0xFF) + 10 * ((platform >> 16) & 0xFF));
  std::memset(pInfo->utcTime, ' ', sizeof pInfo->utcTime);
  pInfo->ulMaxSessionCount = pInfo->ulSessionCount = CK_UNAVAILABLE_INFORMATION;
  pInfo->ulMaxRwSessionCount = pInfo->ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
  pInfo->ulMaxPinLen = info.maxPinLen;
  pInfo->ulMinPinLen = info.minPinLen;
  const int64_t free = card->GetCardCapacity();
  pInfo->ulFreePublicMemory = pInfo->ulFreePrivateMemory =
      free < 0 ? CK_UNAVAILABLE_INFORMATION : static_cast<CK_ULONG>(free);
  pInfo->ulTotalPublicMemory = pInfo->ulTotalPrivateMemory =
      info.totalMemory == 0 ? CK_UNAVAILABLE_INFORMATION : info.totalMemory;
  const bool rng = (info.flags & SC_CARDINFO_HAS_RNG) != 0;
  std::memset(pInfo->label, ' ', sizeof pInfo->label);
  std::memset(pInfo->manufacturerID, ' ', sizeof pInfo->manufacturerID);
  std::memset(pInfo->model, ' ', sizeof pInfo->model);
  std::memset(pInfo->serialNumber, ' ', sizeof pInfo->serialNumber);

  const SCRESULT state = lib->GetSlotResult(m_nPkcs15SlotId);
  const uint32_t r = static_cast<uint32_t>(m_nPkcs15SlotId / lib->GetTokensPerReader());
  if (state == SC_E_CARD_UNSUPPORTED || ready == CKR_TOKEN_NOT_RECOGNIZED) return FillUnrecognised(pInfo, app, rng);
  const bool notInit = state == SC_E_PKCS15_CARD_NOT_INITIALIZED || ready == TOKEN_STATUS_CARD_NOT_INITIALIZED;
  const bool notActive = state == SC_E_PKCS15_CARD_NOT_ACTIVATED || ready == TOKEN_STATUS_CARD_NOT_ACTIVATED;
  if (notInit || notActive) {
    PadCopyUtf8(pInfo->label, sizeof pInfo->label, "MIRTAL", -1);
    PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, g_pszTokenManufacturer, -1);
    PadCopyUtf8(pInfo->model, sizeof pInfo->model, card->GetCardName(), -1);
    uint8_t serial[512];
    const SCRESULT n = lib->GetCardSerialNumber(r, serial, sizeof serial);
    if (n > 0) FormatSerialNumber(pInfo->serialNumber, serial, static_cast<size_t>(n));
    m_tokenFlags = notInit ? CKF_WRITE_PROTECTED : (CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_WRITE_PROTECTED);
    if (rng) m_tokenFlags |= CKF_RNG;
  } else if (app == nullptr) {
    return FillUnrecognised(pInfo, nullptr, rng);
  } else {
    ASNPkcs15TokenInfo* ti = nullptr;
    const SCRESULT got = app->GetTokenInfoFile().GetTokenInfo(&ti);
    if (ti == nullptr) return MapScErrorToCkr(got < 0 ? got : SC_E_CARD_UNSUPPORTED, false);
    char label[256];
    const int n = app->GetTokenLabel(label, sizeof label);
    if (n > 0)
      PadCopyUtf8(pInfo->label, sizeof pInfo->label, label, n);
    else
      PadCopyUtf8(pInfo->label, sizeof pInfo->label, app->IsKnownProfile() ? "MIRTAL" : "Generic PKCS#15 R/O Token", -1);
    if (ti->manufacturerID.getLength() > 0)
      PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID,
                  reinterpret_cast<const char*>(ti->manufacturerID.getData()),
                  static_cast<int>(ti->manufacturerID.getLength()));
    else
      PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID,
                  app->IsKnownProfile() ? g_pszTokenManufacturerLong : "unknown", -1);
    PadCopyUtf8(pInfo->model, sizeof pInfo->model, card->GetCardName(), -1);
    if (ti->serialNumber.getLength() > 0) {
      FormatSerialNumber(pInfo->serialNumber, ti->serialNumber.getData(),
                         static_cast<size_t>(ti->serialNumber.getLength()));
    } else {
      uint8_t serial[512];
      const SCRESULT k = lib->GetCardSerialNumber(r, serial, sizeof serial);
      if (k > 0) FormatSerialNumber(pInfo->serialNumber, serial, static_cast<size_t>(k));
    }
    CK_FLAGS flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED;
    // The agent works on a card not yet activated without any further login.
    if (m_loggedInUser == CKU_MIRTAL_PERSONALIZATION_AGENT && IsAgentSession()) flags &= ~CKF_LOGIN_REQUIRED;
    if ((info.flags & SC_CARDINFO_WRITABLE) == 0 || !app->IsWritable() || ti->isReadOnly())
      flags |= CKF_WRITE_PROTECTED;
    if (rng) flags |= CKF_RNG;
    ASNPkcs15AuthObject* pin = nullptr;
    if (app->FindPinObject(SCPkcs15App::PIN_USER, &pin) >= 0 && pin != nullptr &&
        pin->typeAttributes.pinFlags.getBit(4) == 1)
      flags |= CKF_USER_PIN_INITIALIZED;
    flags |= GetUserPinStateFlags(app);
    m_tokenFlags = flags;
  }
  pInfo->flags = m_tokenFlags;
  pInfo->ulMaxSessionCount = m_maxSessionCount;
  pInfo->ulSessionCount = m_sessionCount;
  pInfo->ulMaxRwSessionCount = m_maxRwSessionCount;
  pInfo->ulRwSessionCount = m_rwSessionCount;
  return (ready == TOKEN_STATUS_CARD_NOT_INITIALIZED || ready == TOKEN_STATUS_CARD_NOT_ACTIVATED) ? CKR_OK : ready;
}

CK_RV CPkcs15Token::FillUnrecognised(CK_TOKEN_INFO* pInfo, SCPkcs15App* app, bool rng) {
  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  SCReader* reader = lib->GetSlotReader(m_nPkcs15SlotId);
  SCCard* card = reader->GetCard();
  const uint32_t r = static_cast<uint32_t>(m_nPkcs15SlotId / lib->GetTokensPerReader());
  bool haveLabel = false, haveMaker = false, haveSerial = false;
  // The administrator whose client stops here reads why in the trace.
  lib->TellUnrecognised(m_nPkcs15SlotId, app);
  if (app != nullptr) {
    if (!app->IsLoaded()) app->Load(false);
    uint8_t serial[512];
    const int n = app->GetSerialNumber(serial, sizeof serial);
    if (n > 0) {
      FormatSerialNumber(pInfo->serialNumber, serial, static_cast<size_t>(n));
      haveSerial = true;
    }
    char label[256];
    const int k = app->GetTokenLabel(label, sizeof label);
    if (k > 0) {
      PadCopyUtf8(pInfo->label, sizeof pInfo->label, label, k);
      haveLabel = true;
    }
    ASNPkcs15TokenInfo& ti = app->GetTokenInfoFile().Contents();
    if (ti.manufacturerID.getLength() > 0) {
      PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID,
                  reinterpret_cast<const char*>(ti.manufacturerID.getData()),
                  static_cast<int>(ti.manufacturerID.getLength()));
      haveMaker = true;
    }
  }
  SCCardInfo info;
  GetCardInfo(card, &info);
  if (info.cardFamily != 0) PadCopyUtf8(pInfo->model, sizeof pInfo->model, card->GetCardName(), -1);
  if (!haveSerial) {
    uint8_t serial[512];
    const SCRESULT n = lib->GetCardSerialNumber(r, serial, sizeof serial);
    if (n > 0) FormatSerialNumber(pInfo->serialNumber, serial, static_cast<size_t>(n));
  }
  lib->ReadCardId(r, false);
  const SCFileHeader* header = lib->GetSlotCardId(m_nPkcs15SlotId);
  if (header == nullptr && info.cardFamily == SC_CARD_TYPE_SETCOS441) {
    PadCopyUtf8(pInfo->label, sizeof pInfo->label, "MIRTAL empty", -1);
    PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, g_pszTokenManufacturer, -1);
    haveLabel = true;
  } else if (DfNameEquals(header, "MIRTAL MASTER")) {
    PadCopyUtf8(pInfo->label, sizeof pInfo->label, "MIRTAL master", -1);
    PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, g_pszTokenManufacturer, -1);
    haveLabel = true;
  } else if (DfNameEquals(header, "MIRTAL")) {
    if (!haveLabel) PadCopyUtf8(pInfo->label, sizeof pInfo->label, "MIRTAL", -1);
    if (!haveMaker) PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, g_pszTokenManufacturer, -1);
    haveLabel = true;
  } else if (!haveMaker && info.cardFamily == SC_CARD_TYPE_COSMOPOLIC) {
    if (info.issuerCode < 2)
      PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, g_pszTokenManufacturer, -1);
    else if (info.issuerCode == 50 || info.issuerCode == 51)
      PadCopyUtf8(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Oberthur Card Systems", -1);
  }
  if (!haveLabel) {
    std::memset(pInfo->label, ' ', sizeof pInfo->label);
    uint8_t atr[40];
    uint32_t atrLen = sizeof atr;
    if (reader->GetATR(atr, &atrLen) < 0) atrLen = 0;
    char hex[2 * sizeof atr + 1];
    const size_t digits = BinToHex(atr, atrLen, hex, "");
    std::memcpy(pInfo->label, "ATR:", 4);
    std::memcpy(pInfo->label + 4, hex, digits > 28 ? 28 : digits);
    if (atrLen >= 16) std::memcpy(pInfo->label + sizeof pInfo->label - 3, "...", 3);
  }
  m_tokenFlags = CKF_WRITE_PROTECTED | (rng ? CKF_RNG : 0);
  pInfo->flags = m_tokenFlags;
  return CKR_TOKEN_NOT_RECOGNIZED;
}

CK_RV CPkcs15Token::ReadyCardInfo(SCCardInfo* info) {
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(nullptr, &lib);
  if (ready != CKR_OK && ready != TOKEN_STATUS_CARD_NOT_INITIALIZED && ready != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return ready;
  SCReader* reader = lib->GetSlotReader(m_nPkcs15SlotId);
  GetCardInfo(reader != nullptr ? reader->GetCard() : nullptr, info);
  return CKR_OK;
}

CK_RV CPkcs15Token::GetMechanismList(CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
  if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
  SCCardInfo info;
  const CK_RV ready = ReadyCardInfo(&info);
  if (ready != CKR_OK) return ready;
  CK_MECHANISM_TYPE list[kMaxMechanisms];
  CK_ULONG n = 0;
  if (HasRsaUse(info.rsaCaps) && HasPkcs1(info.rsaCaps)) list[n++] = CKM_RSA_PKCS;
  if (HasRsaUse(info.rsaCaps) && HasRaw(info.rsaCaps)) list[n++] = CKM_RSA_X_509;
  if (info.rsaCaps & SC_RSA_CAP_GENERATE) list[n++] = CKM_RSA_PKCS_KEY_PAIR_GEN;
  // Digest-with-RSA mechanisms would need the token to hash, which it does not.
  if (pList == nullptr) {
    *pulCount = n;
    return CKR_OK;
  }
  if (*pulCount < n) {
    *pulCount = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; i < n; ++i) pList[i] = list[i];
  *pulCount = n;
  return CKR_OK;
}

CK_RV CPkcs15Token::GetMechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  SCCardInfo info;
  const CK_RV ready = ReadyCardInfo(&info);
  if (ready != CKR_OK) return ready;
  const uint32_t caps = info.rsaCaps;
  if (type == CKM_RSA_PKCS_KEY_PAIR_GEN) {
    if ((caps & SC_RSA_CAP_GENERATE) == 0) return CKR_MECHANISM_INVALID;
    pInfo->ulMinKeySize = info.rsaMinBits;
    pInfo->ulMaxKeySize = info.rsaMaxBits;
    pInfo->flags = CKF_HW | CKF_GENERATE_KEY_PAIR;
    return CKR_OK;
  }
  if ((type == CKM_RSA_PKCS && HasPkcs1(caps)) || (type == CKM_RSA_X_509 && HasRaw(caps))) {
    if (!HasRsaUse(caps)) return CKR_MECHANISM_INVALID;
    pInfo->ulMinKeySize = info.rsaMinBits;
    pInfo->ulMaxKeySize = info.rsaMaxBits;
    pInfo->flags = CKF_HW;
    if (caps & SC_RSA_CAP_SIGN) pInfo->flags |= CKF_SIGN;
    if (caps & SC_RSA_CAP_DECRYPT) pInfo->flags |= CKF_DECRYPT;
    return CKR_OK;
  }
  return CKR_MECHANISM_INVALID;
}

CK_RV CPkcs15Token::CheckMechanismForKey(CK_MECHANISM_TYPE type, CK_FLAGS usage) {
  if (usage != 0 && usage != CKF_SIGN && usage != CKF_DECRYPT && usage != CKF_GENERATE_KEY_PAIR)
    return CKR_MECHANISM_INVALID;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCReader* reader = m_pApp->GetSlotReader(m_nPkcs15SlotId);
  SCCard* card = reader != nullptr && reader->IsConnected() ? reader->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_PRESENT;
  SCCardInfo info;
  GetCardInfo(card, &info);
  const uint32_t caps = info.rsaCaps;
  if (type == CKM_RSA_PKCS_KEY_PAIR_GEN)
    return (usage == 0 || usage == CKF_GENERATE_KEY_PAIR) && (caps & SC_RSA_CAP_GENERATE) ? CKR_OK
                                                                                           : CKR_MECHANISM_INVALID;
  if ((type == CKM_RSA_PKCS && HasPkcs1(caps)) || (type == CKM_RSA_X_509 && HasRaw(caps))) {
    if (usage == 0) return HasRsaUse(caps) ? CKR_OK : CKR_MECHANISM_INVALID;
    if (usage == CKF_SIGN) return (caps & SC_RSA_CAP_SIGN) ? CKR_OK : CKR_MECHANISM_INVALID;
    if (usage == CKF_DECRYPT) return (caps & SC_RSA_CAP_DECRYPT) ? CKR_OK : CKR_MECHANISM_INVALID;
    return CKR_MECHANISM_INVALID;
  }
  // Digest-with-RSA: the token does not hash, so the digest check refuses them.
  (void)IsDigestWithRsa(type);
  return CKR_MECHANISM_INVALID;
}

CK_RV CPkcs15Token::CheckWriteAccess() {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (app != nullptr) return app->IsWritable() ? CKR_OK : CKR_TOKEN_WRITE_PROTECTED;
  if (ready == TOKEN_STATUS_CARD_NOT_INITIALIZED || ready == TOKEN_STATUS_CARD_NOT_ACTIVATED) {
    const uint32_t r = static_cast<uint32_t>(m_nPkcs15SlotId / lib->GetTokensPerReader());
    return lib->IsCardNotWritable(r) ? CKR_TOKEN_WRITE_PROTECTED : CKR_OK;
  }
  return ready == CKR_OK ? CKR_GENERAL_ERROR : ready;
}

bool CPkcs15Token::HasTokenChanged() {
  if (!IsAttached()) return false;
  const SCRESULT ri = m_pApp->GetSlotReaderIndex(m_nPkcs15SlotId);
  if (ri >= 0 && m_pApp->IsReaderReinserted(static_cast<uint32_t>(ri))) return true;
  if (m_pApp->GetSlotApp(m_nPkcs15SlotId) == nullptr) return false;
  return m_pApp->IsSlotChanged(m_nPkcs15SlotId);
}

void CPkcs15Token::AcknowledgeTokenChange() {
  if (!IsAttached()) return;
  const SCRESULT ri = m_pApp->GetSlotReaderIndex(m_nPkcs15SlotId);
  if (ri >= 0) m_pApp->ClearReaderFlag(static_cast<uint32_t>(ri), READER_FLAG_REINSERTED);
  m_pApp->AcknowledgeSlotChange(m_nPkcs15SlotId);
  ClearHandleTable(false);
}

int64_t CPkcs15Token::GetTokenState() {
  if (!IsAttached()) return SC_E_BAD_USAGE;
  return m_pApp->GetSlotResult(m_nPkcs15SlotId);
}

const char* CPkcs15Token::GetMessageText() {
  if (!IsAttached()) return nullptr;
  return m_pApp->GetSlotMessage(m_nPkcs15SlotId, true, m_message, sizeof m_message);
}

CK_RV CPkcs15Token::CheckTokenPresent() { return RefreshAndGetApp(nullptr, nullptr); }

// ---- object-handle table ----

CK_OBJECT_HANDLE CPkcs15Token::GetHandleForObject(void* p15) {
  if (p15 == nullptr) return 0;
  return static_cast<CK_OBJECT_HANDLE>(m_handles.Pkcs11HandleOf(reinterpret_cast<uintptr_t>(p15)));
}

void* CPkcs15Token::GetObjectForHandle(CK_OBJECT_HANDLE h) {
  if (h == 0) return nullptr;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(m_handles.Pkcs15HandleOf(h)));
}

void CPkcs15Token::AddHandle(void* p15, CK_OBJECT_HANDLE h) {
  if (p15 != nullptr && h != 0) m_handles.Add(h, reinterpret_cast<uintptr_t>(p15));
}

CK_RV CPkcs15Token::BindHandle(void* p15, CK_OBJECT_HANDLE h, bool replace) {
  const uint64_t key = reinterpret_cast<uintptr_t>(p15);
  TokenHandlePair* pair = key != 0 ? m_handles.FindByPkcs15(key) : nullptr;
  if (h == 0) {
    if (pair == nullptr) return 8;
    m_handles.RemovePair(pair);
    return CKR_OK;
  }
  if (pair == nullptr) return m_handles.Add(h, key) != nullptr ? CKR_OK : CKR_HOST_MEMORY;
  if (pair->p11Handle != 0 && !replace) return 8;
  pair->p11Handle = h;
  return CKR_OK;
}

CK_RV CPkcs15Token::LookupHandle(void* p15, CK_OBJECT_HANDLE_PTR out) {
  if (p15 == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (out != nullptr) *out = GetHandleForObject(p15);
  return CKR_OK;
}

void CPkcs15Token::RemoveHandle(CK_OBJECT_HANDLE h) {
  if (h != 0) m_handles.RemoveAllByPkcs11(h);
}

void CPkcs15Token::ClearHandleTable(bool privateOnly) {
  if (m_handles.GetUsedCount() == 0) return;
  if (!privateOnly) {
    m_handles.Clear();
    return;
  }
  // Only the handles of private card objects go; their directory list tells.
  SCPkcs15App* app = IsAttached() ? m_pApp->GetSlotApp(m_nPkcs15SlotId) : nullptr;
  if (app == nullptr) return;
  for (int i = 0; i < m_handles.GetCapacity(); ++i) {
    const TokenHandlePair* pair = m_handles.PairAt(i);
    if (pair == nullptr || pair->p15Handle == 0) continue;
    void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(pair->p15Handle));
    if (IsPrivateObject(app, object)) m_handles.RemoveAllByPkcs15(pair->p15Handle);
  }
}

CK_RV CPkcs15Token::SeedRandom(CK_BYTE_PTR /*seed*/, CK_ULONG /*len*/) { return CKR_RANDOM_SEED_NOT_SUPPORTED; }

