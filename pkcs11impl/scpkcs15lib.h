// The reader bridge: turns readers into slots and PKCS#15 applications into
// tokens. This file holds the bridge's configuration (PKCS#15 option word,
// tokens per reader, reader libraries and back-ends, per-reader options chosen
// by name pattern, the allowed-reader list, the card-initialisation profile)
// and its slot bookkeeping. The configuration writes it through the setters.
#ifndef MIRTAL_PKCS11IMPL_SCPKCS15LIB_H
#define MIRTAL_PKCS11IMPL_SCPKCS15LIB_H

#include <cstdint>

#include "pkcs11impl/cryptoki.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_readeroptions.h"
#include "support/ptrlist.h"
#include "support/tlists.h"

class TraceLogger;

// Bridge result codes (same form as the card result codes).
constexpr SCRESULT SC_E_PKCS15_NO_APPLICATION = SC_RESULT_CODE(0xE000000000021388ULL);
constexpr SCRESULT SC_E_PKCS15_NEED_CREATE_THREADS = SC_RESULT_CODE(0xE000000000021389ULL);
constexpr SCRESULT SC_E_PKCS15_CANT_LOCK = SC_RESULT_CODE(0xE00000000002138AULL);
constexpr SCRESULT SC_E_PKCS15_BAD_READER_SUBSYSTEM = SC_RESULT_CODE(0xE00000000002138BULL);
constexpr SCRESULT SC_E_PKCS15_CARD_NOT_INITIALIZED = SC_RESULT_CODE(0xE00000000002138CULL);
constexpr SCRESULT SC_E_PKCS15_IGNORE_READER = SC_RESULT_CODE(0xE00000000002138DULL);
constexpr SCRESULT SC_E_PKCS15_BAD_CONFIG = SC_RESULT_CODE(0xE00000000002138EULL);
constexpr SCRESULT SC_E_PKCS15_CARD_NOT_ACTIVATED = SC_RESULT_CODE(0xE00000000002138FULL);
constexpr SCRESULT SC_E_PKCS15_GENERAL_WARNING = SC_RESULT_CODE(0xA000000000021388ULL);

// PKCS#15 option word: defaults and the bits the configuration touches.
constexpr uint32_t PKCS15_FLAGS_BRIDGE_DEFAULT = 0x10000000;  // before any configuration
constexpr uint32_t PKCS15_FLAGS_CONFIG_DEFAULT = 0x8000200;   // the PKCS15Flags key's default
constexpr uint32_t PKCS15_FLAG_ANY_CARD_BLANK = 0x8;
constexpr uint32_t PKCS15_FLAG_LOG = 0x400;
constexpr uint32_t PKCS15_FLAG_PCSC_TRACE = 0x10000;
constexpr uint32_t PKCS15_FLAG_SIM_TRACE = 0x20000;
constexpr uint32_t PKCS15_FLAGS_LOGGING_MASK = 0x3DE00;       // cleared while trace logging is off
constexpr uint32_t PKCS15_FLAG_WORKER_THREADS = 0x08000000;
// Option word: bits 0xF00 choose secure messaging, 0x200 = off.
constexpr uint32_t PKCS15_OPTION_SM_MASK = 0xF00;
constexpr uint32_t PKCS15_OPTION_SM_OFF = 0x200;

constexpr uint32_t PKCS15_DEFAULT_TOKENS_PER_READER = 3;

// Score of a reader name against a pattern with '*' and '?': 2 per literal
// character, 1 per '?', 0 for a '*' run; -1 when the name does not match.
// Without wildcards the whole name must equal the pattern (2 x length).
int WildcardMatchScore(const char* name, const char* pattern, bool ignoreCase);

class SCPkcs15Lib {
 public:
  // Per-reader settings chosen by reader-name pattern (layout in sc_readeroptions.h).
  struct ReaderOptions {
    uint64_t options = 0;  // option word (low 32 bits) and APDU wait time (high 32 bits)
    uint64_t limits = 0;   // the four 16-bit send/receive limits
    char* pattern = nullptr;
    uint32_t flags = 0;    // SC_ROPT_FLAG_*
    ReaderOptions() = default;
    ~ReaderOptions();
    ReaderOptions(const ReaderOptions&) = delete;
    ReaderOptions& operator=(const ReaderOptions&) = delete;
  };

  SCPkcs15Lib();
  virtual ~SCPkcs15Lib();
  SCPkcs15Lib(const SCPkcs15Lib&) = delete;
  SCPkcs15Lib& operator=(const SCPkcs15Lib&) = delete;

  // ---- life cycle ----
  // Sets the slot tables up (0 when already initialised). The reader back-ends
  // are not loaded here yet: the bridge starts with zero readers.
  SCRESULT InitLib(const CK_C_INITIALIZE_ARGS* initArgs, uint32_t maxTokenCount);
  SCRESULT DeInitLib();
  bool IsInitialized() const { return m_initialized != 0; }
  uint32_t GetSlotCount(bool tokenPresent) const;
  // Null list: count only; a short list: count set, SC_E_INSUFFICIENT_BUFFER.
  SCRESULT GetSlotList(uint32_t* list, uint32_t* count, bool tokenPresent) const;
  uint32_t GetReaderCount() const { return m_readerCount; }
  uint32_t GetTotalSlotCount() const { return m_slotCount; }

  // ---- option words ----
  void SetPkcs15Flags(uint32_t word);
  uint32_t GetPkcs15Flags() const { return m_pkcs15Flags; }
  void SetAnyCardBlankFlag(bool on);
  void SetOptionBit1(bool on);
  // option word = (word & ~mask) | (value & mask); mask 0 means every bit.
  void SetOptionBits(uint32_t value, uint32_t mask);
  uint32_t GetOptionBits(uint32_t mask) const;
  // Only bits 0xFF00 of the mask count (0xFF00 when they are 0).
  uint32_t GetOptionBitsHigh(uint32_t mask) const;

  uint32_t GetTokensPerReader() const { return m_tokensPerReader; }
  // Taken only in 1..20 (the bridge's own range); false otherwise.
  bool SetTokensPerReader(uint32_t count);

  // ---- texts: null clears; false when the copy cannot be made ----
  static int SetStringOption(char** variable, const char* value);
  bool SetPcscLibrary(const char* path) { return SetStringOption(&m_pcscLibrary, path) != 0; }
  bool SetDravokLibrary(const char* pathAndPrefix) { return SetStringOption(&m_dravokLibrary, pathAndPrefix) != 0; }
  bool SetEnabledReaderSubsystems(const char* list) {
    return SetStringOption(&m_enabledReaderSubsystems, list) != 0;
  }
  bool SetInitProfile(const char* name) { return SetStringOption(&m_initProfile, name) != 0; }
  const char* GetPcscLibrary() const { return m_pcscLibrary; }
  const char* GetDravokLibrary() const { return m_dravokLibrary; }
  const char* GetEnabledReaderSubsystems() const { return m_enabledReaderSubsystems; }
  const char* GetInitProfile() const { return m_initProfile; }

  // ---- reader options and allowed readers ----
  // A new record for the pattern, appended; null when memory runs out.
  ReaderOptions* AddReaderOptions(const char* pattern);
  ReaderOptions* FindReaderOptions(const char* pattern) const;
  int RemoveReaderOptions(const char* pattern);
  void ClearReaderOptions();
  // Best-scoring record (its own ignore-case bit), ties to the earlier; null when none matches.
  ReaderOptions* MatchReaderOptions(const char* readerName) const;
  int GetReaderOptionsCount() const { return m_readerOptions.GetCount(); }
  ReaderOptions* GetReaderOptionsAt(int index) const;

  bool AddAllowedReader(const char* pattern);
  void ClearAllowedReaders();
  int GetAllowedReaderCount() const { return m_allowedReaders.GetCount(); }
  const char* GetAllowedReaderAt(int index) const;
  // 1: explicitly allowed (a pattern scores above 0); 0: allowed; SC_E_PKCS15_IGNORE_READER:
  // not on a non-empty list, or disabled by its options record without being named.
  SCRESULT CheckAllowedReaderName(const char* readerName, const ReaderOptions** options) const;

  // ---- reader-lock logging ----
  void SetRecordLockLogger(TraceLogger* logger) { m_recordLockLogger = logger; }
  TraceLogger* GetRecordLockLogger() const { return m_recordLockLogger; }
  uint32_t GetRecordLockIdBase() const { return m_recordLockIdBase; }

 protected:
  uint32_t m_slotCount = 0;
  uint32_t m_readerCount = 0;
  TypedPointerList<ReaderOptions> m_readerOptions;
  TextStringList m_allowedReaders;
  TraceLogger* m_recordLockLogger = nullptr;
  uint32_t m_recordLockIdBase = 500;
  uint8_t m_initialized = 0;
  uint32_t m_pkcs15Flags = PKCS15_FLAGS_BRIDGE_DEFAULT;
  uint32_t m_optionBits = 0;
  uint32_t m_tokensPerReader = PKCS15_DEFAULT_TOKENS_PER_READER;
  char* m_pcscLibrary = nullptr;
  char* m_dravokLibrary = nullptr;
  char* m_enabledReaderSubsystems = nullptr;
  char* m_initProfile = nullptr;
};

#endif
