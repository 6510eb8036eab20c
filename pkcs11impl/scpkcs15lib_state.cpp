// The bridge's per-slot and per-reader state, its error texts and slot
// messages, and the small text-value parsers of card initialisation.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"

namespace {

struct BridgeErrorRow {
  SCRESULT code;
  const char* name;
  const char* text;
};

const BridgeErrorRow kBridgeErrors[] = {
    {SC_E_PKCS15_NO_APPLICATION, "SC_E_PKCS15_NO_APPLICATION", "We wskazanym slocie nie ma karty z aplikacją PKCS#15"},
    {SC_E_PKCS15_NEED_CREATE_THREADS, "SC_E_PKCS15_NEED_CREATE_THREADS",
     "Biblioteka wymaga utworzenia nowych wątków, a aplikacja nie zezwala na to"},
    {SC_E_PKCS15_CANT_LOCK, "SC_E_PKCS15_CANT_LOCK",
     "Aplikacja nie zezwala na użycie mechanizmów wykluczania z systemu, a nie podała funkcji do obsługi wykluczania"},
    {SC_E_PKCS15_BAD_READER_SUBSYSTEM, "SC_E_PKCS15_BAD_READER_SUBSYSTEM",
     "Niepoprawny lub błędnie skonfigurowany podsystem czytników kart"},
    {SC_E_PKCS15_CARD_NOT_INITIALIZED, "SC_E_PKCS15_CARD_NOT_INITIALIZED", "Karta nie jest zainicjowana"},
    {SC_E_PKCS15_IGNORE_READER, "SC_E_PKCS15_IGNORE_READER", "Wybrany czytnik jest zaznaczony jako do ignorowania"},
    {SC_E_PKCS15_BAD_CONFIG, "SC_E_PKCS15_BAD_CONFIG", "Niepoprawna konfiguracja"},
    {SC_E_PKCS15_CARD_NOT_ACTIVATED, "SC_E_PKCS15_CARD_NOT_ACTIVATED", "Karta nie jest aktywowana"},
    {SC_E_PKCS15_GENERAL_WARNING, "SC_E_PKCS15_GENERAL_WARNING", "Są ostrzeżenia dotyczące ostatniego przetwarzania"},
};

const BridgeErrorRow* FindBridgeError(SCRESULT code) {
  for (const BridgeErrorRow& row : kBridgeErrors)
    if (row.code == code) return &row;
  return nullptr;
}

// Copies text into buf (cut on a UTF-8 character boundary); returns buf.
const char* CopyText(const char* text, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return nullptr;
  size_t n = std::strlen(text);
  if (n >= len) {
    n = len - 1;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return buf;
}

SCFileHeader* const kUnreadableHeader = reinterpret_cast<SCFileHeader*>(~static_cast<uintptr_t>(0));

bool IsDefaultText(const char* text) { return text == nullptr || *text == '\0' || strcasecmp(text, "<default>") == 0; }

}  // namespace

// ===========================================================================
// Slot and reader state

SCRESULT SCPkcs15Lib::GetSlotReaderIndex(CK_SLOT_ID slot) const {
  if (!m_initialized || m_tokensPerReader == 0 || slot >= m_slotCount) return SC_E_PKCS15_INVALID_HANDLE;
  return static_cast<SCRESULT>(slot / m_tokensPerReader);
}

bool SCPkcs15Lib::IsFirstSlotOfReader(CK_SLOT_ID slot) const {
  if (m_readerCount == 0 || m_tokensPerReader == 0) return false;
  return slot % m_tokensPerReader == 0;
}

SCReader* SCPkcs15Lib::GetSlotReader(CK_SLOT_ID slot) const {
  const SCRESULT r = GetSlotReaderIndex(slot);
  return r < 0 ? nullptr : GetReader(static_cast<uint32_t>(r));
}

SCPkcs15Card* SCPkcs15Lib::GetReaderPkcs15Card(uint32_t reader) const {
  if (reader >= m_readerCount || m_pkcs15Cards == nullptr) return nullptr;
  return m_pkcs15Cards[reader];
}

SCPkcs15Card* SCPkcs15Lib::GetSlotPkcs15Card(CK_SLOT_ID slot) const {
  const SCRESULT r = GetSlotReaderIndex(slot);
  return r < 0 ? nullptr : GetReaderPkcs15Card(static_cast<uint32_t>(r));
}

SCPkcs15App* SCPkcs15Lib::GetSlotApp(CK_SLOT_ID slot) const {
  if (slot >= m_slotCount || m_pAppTable == nullptr) return nullptr;
  return m_pAppTable[slot];
}

SCRESULT SCPkcs15Lib::GetSlotTokenInfo(CK_SLOT_ID slot, ASNPkcs15TokenInfo** tokenInfo) const {
  if (tokenInfo != nullptr) *tokenInfo = nullptr;
  if (slot >= m_slotCount || m_pAppTable == nullptr) return SC_E_PKCS15_INVALID_HANDLE;
  SCPkcs15App* app = m_pAppTable[slot];
  if (app == nullptr) return SC_OK;
  if (!app->IsLoaded()) {
    const SCRESULT loaded = app->Load(false);
    if (loaded < 0) return loaded;
  }
  ASNPkcs15TokenInfo* ti = nullptr;
  const SCRESULT rv = app->GetTokenInfoFile().GetTokenInfo(&ti);
  if (tokenInfo != nullptr && rv >= 0) *tokenInfo = ti;
  return rv;
}

bool SCPkcs15Lib::FindAppByLabel(SCPkcs15Card* card, const char* label, const SCPkcs15App* except) {
  if (card == nullptr || label == nullptr) return false;
  const size_t want = std::strlen(label);
  const int32_t count = card->GetApplicationCount();
  for (int32_t i = 0; i < count; ++i) {
    SCPkcs15App* app = card->GetApplicationAt(static_cast<uint32_t>(i));
    if (app == nullptr || app == except) continue;
    char text[1024];
    const int n = app->GetTokenLabel(text, sizeof text);
    if (n >= 0 && static_cast<size_t>(n) == want && std::memcmp(text, label, want) == 0) return true;
  }
  return false;
}

SCRESULT SCPkcs15Lib::GetSlotResult(CK_SLOT_ID slot) const {
  if (slot >= m_slotCount || m_slotResults == nullptr) return SC_E_BAD_USAGE;
  return m_slotResults[slot];
}

void SCPkcs15Lib::SetSlotResult(CK_SLOT_ID slot, SCRESULT code) {
  if (slot < m_slotCount && m_slotResults != nullptr) m_slotResults[slot] = code;
}

CK_RV SCPkcs15Lib::GetSlotPresence(CK_SLOT_ID slot) const {
  const SCRESULT r = GetSlotResult(slot);
  const bool first = IsFirstSlotOfReader(slot);
  if (r == SC_E_PKCS15_UNSUPPORTED_PROFILE) return CKR_TOKEN_NOT_RECOGNIZED;
  if (r < SC_E_PKCS15_UNSUPPORTED_OBJECT) {
    if (r == SC_E_CARD_PROTO_MISMATCH || r == SC_E_PKCS15_NO_PROFILES || r == SC_E_CARD_UNSUPPORTED)
      return first ? CKR_TOKEN_NOT_RECOGNIZED : CKR_TOKEN_NOT_PRESENT;
    return CKR_TOKEN_NOT_PRESENT;
  }
  if (r == SC_OK) return CKR_OK;
  // A token an interrupted initialisation left incomplete keeps its slot, whichever it is.
  if (r == SC_E_PKCS15_CARD_NOT_INITIALIZED || r == SC_E_PKCS15_CARD_NOT_ACTIVATED)
    return first || (r == SC_E_PKCS15_CARD_NOT_INITIALIZED && GetSlotApp(slot) != nullptr) ? CKR_OK
                                                                                             : CKR_TOKEN_NOT_PRESENT;
  return CKR_TOKEN_NOT_PRESENT;
}

SCFileHeader* SCPkcs15Lib::GetSlotCardId(CK_SLOT_ID slot) const {
  const SCRESULT r = GetSlotReaderIndex(slot);
  if (r < 0 || m_cardIds == nullptr) return nullptr;
  SCFileHeader* h = m_cardIds[r];
  return h == kUnreadableHeader ? nullptr : h;
}

SCRESULT SCPkcs15Lib::GetReaderCardAndKind(uint32_t reader, uint32_t* kind, SCCard** card) const {
  if (card) *card = nullptr;
  if (reader >= m_readerCount) return SC_E_READER_NOT_FOUND;
  SCReader* rd = GetReader(reader);
  SCCard* c = rd ? rd->GetCard() : nullptr;
  if (c == nullptr) return SC_E_NO_SMARTCARD;
  if (kind) *kind = c->GetCardType();
  if (card) *card = c;
  return static_cast<SCRESULT>(c->GetCardState());
}

void SCPkcs15Lib::SetReaderResults(uint32_t reader, SCRESULT code) {
  if (reader >= m_readerCount || m_slotResults == nullptr) return;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t) m_slotResults[reader * m_tokensPerReader + t] = code;
}

uint32_t SCPkcs15Lib::GetReaderFlags(uint32_t reader) const {
  if (reader >= m_readerCount || m_readerFlags == nullptr) return 0;
  return m_readerFlags[reader];
}

void SCPkcs15Lib::SetReaderFlag(uint32_t reader, uint32_t flag) {
  if (reader < m_readerCount && m_readerFlags != nullptr) m_readerFlags[reader] |= flag;
}

void SCPkcs15Lib::ClearReaderFlag(uint32_t reader, uint32_t flag) {
  if (reader < m_readerCount && m_readerFlags != nullptr) m_readerFlags[reader] &= ~flag;
}

// The clear functions work on the allocated size (m_readerCapacity), so that a
// failed start-up that counted fewer readers still frees everything.
void SCPkcs15Lib::ClearSlotApps(int reader, bool release) {
  if (m_pAppTable != nullptr) {
    // The applications belong to the reader's PKCS#15 card object.
    const size_t slots = static_cast<size_t>(m_readerCapacity) * m_tokensPerReader;
    for (size_t s = 0; s < slots; ++s)
      if (reader < 0 || s / m_tokensPerReader == static_cast<size_t>(reader)) m_pAppTable[s] = nullptr;
  }
  if (release) {
    delete[] m_pAppTable;
    m_pAppTable = nullptr;
  }
}

void SCPkcs15Lib::ClearSlotResults(int reader, bool release) {
  if (m_slotResults != nullptr) {
    const size_t slots = static_cast<size_t>(m_readerCapacity) * m_tokensPerReader;
    for (size_t s = 0; s < slots; ++s)
      if (reader < 0 || s / m_tokensPerReader == static_cast<size_t>(reader)) m_slotResults[s] = SC_OK;
  }
  if (release) {
    delete[] m_slotResults;
    m_slotResults = nullptr;
  }
}

void SCPkcs15Lib::ClearSlotMessages(int reader, bool release) {
  if (m_slotMessages != nullptr) {
    const size_t slots = static_cast<size_t>(m_readerCapacity) * m_tokensPerReader;
    for (size_t s = 0; s < slots; ++s) {
      if (reader < 0 || s / m_tokensPerReader == static_cast<size_t>(reader)) {
        delete[] m_slotMessages[s];
        m_slotMessages[s] = nullptr;
      }
    }
  }
  if (release) {
    delete[] m_slotMessages;
    m_slotMessages = nullptr;
  }
}

void SCPkcs15Lib::ClearPkcs15Cards(int reader, bool release) {
  if (m_pkcs15Cards != nullptr) {
    for (uint32_t i = 0; i < m_readerCapacity; ++i)
      if (reader < 0 || i == static_cast<uint32_t>(reader)) {
        // The card object owns its applications: the slots must not point at them any more.
        if (m_pkcs15Cards[i] != nullptr) ClearSlotApps(static_cast<int>(i), false);
        delete m_pkcs15Cards[i];
        m_pkcs15Cards[i] = nullptr;
      }
  }
  if (release) {
    delete[] m_pkcs15Cards;
    m_pkcs15Cards = nullptr;
  }
}

void SCPkcs15Lib::ClearCardIds(int reader, bool release) {
  if (m_cardIds != nullptr) {
    for (uint32_t i = 0; i < m_readerCapacity; ++i) {
      if (reader >= 0 && i != static_cast<uint32_t>(reader)) continue;
      if (m_cardIds[i] != nullptr && m_cardIds[i] != kUnreadableHeader) delete m_cardIds[i];
      m_cardIds[i] = nullptr;
    }
  }
  if (release) {
    delete[] m_cardIds;
    m_cardIds = nullptr;
  }
}

void SCPkcs15Lib::ClearSerialNumbers(int reader, bool release) {
  if (m_serialNumbers != nullptr) {
    for (uint32_t i = 0; i < m_readerCapacity; ++i) {
      if (reader >= 0 && i != static_cast<uint32_t>(reader)) continue;
      delete[] m_serialNumbers[i].bytes;
      m_serialNumbers[i].bytes = nullptr;
      m_serialNumbers[i].length = 0;
    }
  }
  if (release) {
    delete[] m_serialNumbers;
    m_serialNumbers = nullptr;
  }
}

void SCPkcs15Lib::ClearReaderFlags(int reader, bool release) {
  if (m_readerFlags != nullptr) {
    for (uint32_t i = 0; i < m_readerCapacity; ++i)
      if (reader < 0 || i == static_cast<uint32_t>(reader)) m_readerFlags[i] = 0;
  }
  if (release) {
    delete[] m_readerFlags;
    m_readerFlags = nullptr;
  }
}

// ===========================================================================
// Texts and messages

const char* SCPkcs15Lib::GetErrorText(SCRESULT code, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return nullptr;
  if (const BridgeErrorRow* row = FindBridgeError(code)) return CopyText(row->text, buf, len);
  const uint32_t n = len > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(len);
  const char* text = SCPkcs15GetErrorText(code, buf, n);
  return text == buf ? buf : CopyText(text, buf, len);
}

const char* SCPkcs15Lib::GetErrorName(SCRESULT code, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return nullptr;
  if (const BridgeErrorRow* row = FindBridgeError(code)) return CopyText(row->name, buf, len);
  const uint32_t n = len > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(len);
  const char* name = SCPkcs15GetErrorName(code, buf, n);
  return name == buf ? buf : CopyText(name, buf, len);
}

const char* SCPkcs15Lib::GetSlotMessage(CK_SLOT_ID slot, bool useCode, char* buf, size_t len) const {
  if (slot >= m_slotCount || buf == nullptr || len == 0) return nullptr;
  if (m_slotMessages != nullptr && m_slotMessages[slot] != nullptr) return CopyText(m_slotMessages[slot], buf, len);
  if (useCode && m_slotResults != nullptr && m_slotResults[slot] != SC_OK)
    return GetErrorText(m_slotResults[slot], buf, len);
  return nullptr;
}

const char* SCPkcs15Lib::GetReaderMessage(uint32_t reader, bool useCode, char* buf, size_t len) const {
  if (reader >= m_readerCount || buf == nullptr || len == 0) return nullptr;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t)
    if (m_slotMessages != nullptr && m_slotMessages[first + t] != nullptr)
      return CopyText(m_slotMessages[first + t], buf, len);
  if (useCode && m_slotResults != nullptr)
    for (uint32_t t = 0; t < m_tokensPerReader; ++t)
      if (m_slotResults[first + t] != SC_OK) return GetErrorText(m_slotResults[first + t], buf, len);
  return nullptr;
}

bool SCPkcs15Lib::AppendSlotMessage(CK_SLOT_ID slot, const char* text, bool append) {
  if (slot >= m_slotCount || m_slotMessages == nullptr || text == nullptr) return false;
  const size_t old = append && m_slotMessages[slot] ? std::strlen(m_slotMessages[slot]) : 0;
  const bool newline = old > 0 && m_slotMessages[slot][old - 1] != '\n';
  const size_t add = std::strlen(text);
  char* joined = new (std::nothrow) char[old + (newline ? 1 : 0) + add + 1];
  if (joined == nullptr) return false;
  if (old) std::memcpy(joined, m_slotMessages[slot], old);
  if (newline) joined[old] = '\n';
  std::memcpy(joined + old + (newline ? 1 : 0), text, add + 1);
  delete[] m_slotMessages[slot];
  m_slotMessages[slot] = joined;
  return true;
}

bool SCPkcs15Lib::AppendReaderMessage(uint32_t reader, const char* text, bool append) {
  if (reader >= m_readerCount) return false;
  bool ok = true;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t)
    ok = AppendSlotMessage(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader + t, text, append) && ok;
  return ok;
}

bool SCPkcs15Lib::SetSlotMessageForPin(CK_SLOT_ID slot, const char* prefix, const char* message,
                                       const char* tokenLabel) {
  std::string line = std::string(prefix ? prefix : "") + ": " + (message ? message : "");
  if (tokenLabel != nullptr) line += std::string(", on token") + tokenLabel;
  line += "\n";
  return AppendSlotMessage(slot, line.c_str());
}

bool SCPkcs15Lib::SetSlotMessageForToken(CK_SLOT_ID slot, const char* prefix, const char* message, int tokenIndex,
                                         const char* tokenLabel) {
  std::string line = std::string(prefix ? prefix : "") + ": " + (message ? message : "");
  if (tokenIndex >= 0) {
    if (tokenLabel != nullptr)
      line += std::string(", on token") + tokenLabel + " (number " + std::to_string(tokenIndex + 1) + ")";
    else
      line += ", on token number " + std::to_string(tokenIndex + 1);
  }
  line += "\n";
  return AppendSlotMessage(slot, line.c_str());
}

void SCPkcs15Lib::HexText(char* out, size_t outLen, const uint8_t* bytes, size_t len, const char* separator) {
  if (out == nullptr || outLen == 0) return;
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t sepLen = separator ? std::strlen(separator) : 0;
  size_t pos = 0;
  out[0] = '\0';
  for (size_t i = 0; i < len && bytes != nullptr; ++i) {
    const size_t need = (i ? sepLen : 0) + 2;
    if (pos + need >= outLen) break;
    if (i && sepLen) {
      std::memcpy(out + pos, separator, sepLen);
      pos += sepLen;
    }
    out[pos++] = kDigits[bytes[i] >> 4];
    out[pos++] = kDigits[bytes[i] & 0xF];
    out[pos] = '\0';
  }
}

// ===========================================================================
// Text-value helpers

int ParsePinValueKind(const char* text) {
  if (text == nullptr || *text == '\0' || strcasecmp(text, "<default>") == 0 || strcasecmp(text, "<random>") == 0)
    return 1;
  if (strcasecmp(text, "<none>") == 0) return 2;
  if (strcasecmp(text, "<not inited>") == 0 || strcasecmp(text, "<not initialized>") == 0) return 3;
  if (strcasecmp(text, "<blocked>") == 0) return 4;
  return 0;
}

int ParseBoolText(const char* text, int defaultValue) {
  if (IsDefaultText(text)) return defaultValue;
  for (const char* yes : {"1", "y", "yes", "on", "t", "true", "tak"})
    if (strcasecmp(text, yes) == 0) return 1;
  for (const char* no : {"0", "n", "no", "off", "f", "false"})
    if (strcasecmp(text, no) == 0) return 0;
  return defaultValue;
}

const char* DefaultIfEmpty(const char* text, const char* fallback) { return IsDefaultText(text) ? fallback : text; }

const char* GetPinAlphabet(const char* text) {
  static const char kDigits[] = "0123456789";
  static const char kAlpha[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static const char kAlnum[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static const char kPrintable[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ _!@#$%^&*/+-=:;,.?(){}[]";
  if (IsDefaultText(text) || strcasecmp(text, "<digits>") == 0) return kDigits;
  if (strcasecmp(text, "<alpha>") == 0) return kAlpha;
  if (strcasecmp(text, "<alnum>") == 0) return kAlnum;
  if (strcasecmp(text, "<printable>") == 0 || strcasecmp(text, "<ascii>") == 0) return kPrintable;
  return text;
}

namespace {
// A whole unsigned number in C notation; false for trailing characters, a sign or overflow.
bool ParseWholeUnsigned(const char* text, unsigned long* out) {
  if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}
}  // namespace

unsigned long ParseUnsignedDefault(const char* text, unsigned long defaultValue) {
  if (IsDefaultText(text)) return defaultValue;
  unsigned long v = 0;
  return ParseWholeUnsigned(text, &v) ? v : defaultValue;
}

unsigned long ParseUnsignedUpper(const char* text, unsigned long minValue, unsigned long maxValue) {
  if (IsDefaultText(text)) return maxValue;
  unsigned long v = 0;
  if (!ParseWholeUnsigned(text, &v)) return 0;
  if (v > maxValue) return maxValue;
  if (v < minValue) return 0;
  return v;
}

unsigned long ParseUnsignedLower(const char* text, unsigned long minValue, unsigned long maxValue) {
  if (IsDefaultText(text)) return minValue;
  unsigned long v = 0;
  if (!ParseWholeUnsigned(text, &v) || v > maxValue) return 0;
  if (v < minValue) return minValue;
  return v;
}

bool IsIdentifierChar(int ch) {
  return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

bool HasTwoDistinctChars(const char* text) {
  if (text == nullptr || text[0] == '\0' || text[1] == '\0') return false;
  for (const char* p = text + 1; *p; ++p)
    if (*p != text[0]) return true;
  return false;
}

const char* FindSubstringNoCase(const char* text, size_t textLen, const char* pattern) {
  if (text == nullptr || textLen == 0) return nullptr;
  if (pattern == nullptr || *pattern == '\0') return text;
  const size_t n = std::strlen(pattern);
  for (size_t i = 0; i + n <= textLen; ++i)
    if (strncasecmp(text + i, pattern, n) == 0) return text + i;
  return nullptr;
}

void NormalizeTokenLabel(unsigned char dst[32], const char* label) {
  std::memset(dst, ' ', 32);
  if (label != nullptr) {
    const size_t n = strnlen(label, 32);
    std::memcpy(dst, label, n);
  }
  size_t end = 32;
  while (end > 0 && (dst[end - 1] == ' ' || dst[end - 1] == '\0')) --end;
  for (size_t i = 0; i < end; ++i)
    if (dst[i] == '\0') dst[i] = '_';
  for (size_t i = end; i < 32; ++i) dst[i] = ' ';
  if (end == 0) std::memcpy(dst, "MIRTAL", 6);
}
