#include "pkcs11impl/app.h"

#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "pkcs11impl/apiconfig.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11slot.h"
#include "pkcs11impl/p11token.h"
#include "smartcard/sc_reader.h"
#include "support/cfgregistry.h"
#include "support/vtest.h"

namespace {

CPkcs11App* g_app = nullptr;
CfgPkcs11ApiConfig* g_config = nullptr;
std::atomic<bool> g_started{false};
std::atomic<bool> g_deferralUsed{false};
std::atomic<uint32_t> g_initCounter{0};
std::mutex g_startupMutex;

void DestroyApp() {
  CPkcs11App* app = g_app;
  g_app = nullptr;
  delete app;
}

void DestroyConfig() {
  CfgPkcs11ApiConfig* cfg = g_config;
  g_config = nullptr;
  delete cfg;
}

uint64_t NowMilliseconds() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

void FillBlankPadded(CK_UTF8CHAR* field, size_t size, const char* text) {
  std::memset(field, ' ', size);
  const size_t n = std::strlen(text);
  std::memcpy(field, text, n < size ? n : size);
}

}  // namespace

// ===========================================================================
// Process-wide start-up

void ApiGlobalsInit() {
  try {
    // What the application's destructor unloads must outlive it (see below).
    SCReader::PrepareBackends();
    g_app = new CPkcs11App();
    g_config = new CfgPkcs11ApiConfig();
    g_config->Attach(g_app, &g_app->Logger(), &g_app->Lock(), &g_app->Pkcs15Lib());
    g_started = LibraryStartup() != 0;
  } catch (...) {
    // Loading never fails: an exception here leaves the library unstarted and
    // the first entry point tries again.
  }
}

namespace {
// Built at load; its destructor runs at unload (or exit) with the module's own
// static destructors: the configuration first, then the application object,
// whose teardown stops the reader workers and unloads the reader back-ends. A
// host may leave without C_Finalize, so everything that teardown touches is
// either built before this object (and so destroyed after it) or has no
// destructor at all.
struct GlobalsInitializer {
  GlobalsInitializer() { ApiGlobalsInit(); }
  ~GlobalsInitializer() {
    DestroyConfig();
    DestroyApp();
  }
} g_globalsInitializer;
}  // namespace

CPkcs11App& TheApp() { return *g_app; }
CfgPkcs11ApiConfig& TheConfig() { return *g_config; }
bool AppAlive() { return g_app != nullptr && g_config != nullptr; }

bool IsStarted() { return g_started.load(); }

int IsFalseWord(const char* text) {
  static const char* const kFalse[] = {"0", "n", "N", "no", "No", "NO", "off", "Off", "OFF", "f", "F", "false", "False",
                                       "FALSE"};
  if (text == nullptr) return 1;
  for (const char* w : kFalse)
    if (strcasecmp(text, w) == 0) return 0;
  return 1;
}

bool EnvIsTrue(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && IsFalseWord(v) != 0;
}

bool IsVerboseInit() { return EnvIsTrue("MIRTAL_PKCS11_VERBOSE_INIT"); }

unsigned long ParseNumberOrDefault(const char* text, unsigned long def) {
  if (text == nullptr) return def;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (v != 0) return v;
  return (end != nullptr && *end == '\0') ? 0 : def;
}

const char* GetProcessPath(long pid, char* buffer, size_t size) {
  static char s_buffer[4096];
  if (buffer == nullptr || size == 0) {
    buffer = s_buffer;
    size = sizeof s_buffer;
  }
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%ld/exe", pid);
  const size_t cap = size < 4096 ? size : 4096;
  const ssize_t n = readlink(link, buffer, cap - 1);
  if (n <= 0) {
    buffer[0] = '\0';
    return nullptr;
  }
  buffer[n] = '\0';
  return buffer;
}

void StartupMessage(unsigned level, const char* format, ...) {
  va_list ap;
  if (g_app != nullptr && g_app->GetLogger()->IsEnabled()) {
    va_start(ap, format);
    TraceLogV(g_app->GetLogger(), "INITIALIZING", level, CKR_OK, format, ap);
    va_end(ap);
  }
  if (IsVerboseInit()) {
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    const size_t n = std::strlen(format);
    if (n == 0 || format[n - 1] != '\n') std::fputc('\n', stderr);
  }
}

namespace {

void Verbose(const char* line) {
  if (IsVerboseInit()) std::fprintf(stderr, "%s\n", line);
}

// Environment overrides of the configuration keys; the option keeps its flags.
void OverrideText(CfgPkcs11ApiConfig& cfg, const char* key, const char* value) {
  CfgParamAndValue* o = cfg.FindOption(key, nullptr);
  if (o == nullptr) o = cfg.GetOrDeclareOption(key, nullptr, CFG_TYPE_TEXT, true);
  if (o == nullptr) return;
  o->SetType(CFG_TYPE_TEXT);
  o->SetString(value);
}

void OverrideBool(CfgPkcs11ApiConfig& cfg, const char* key, bool value) {
  CfgParamAndValue* o = cfg.FindOption(key, nullptr);
  if (o == nullptr) o = cfg.GetOrDeclareOption(key, nullptr, CFG_TYPE_BOOL, true);
  if (o == nullptr) return;
  o->SetType(CFG_TYPE_BOOL);
  o->SetBool(value);
}

void OverrideInt(CfgPkcs11ApiConfig& cfg, const char* key, unsigned long value) {
  CfgParamAndValue* o = cfg.FindOption(key, nullptr);
  if (o == nullptr) o = cfg.GetOrDeclareOption(key, nullptr, CFG_TYPE_INT, true);
  if (o == nullptr) return;
  o->SetType(CFG_TYPE_INT);
  o->SetInt(value);
}

const char* EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "<not defined>";
}

int LibraryStartupLocked() {
  if (EnvIsTrue("MIRTAL_PKCS11_DELAYED_INIT") && !g_deferralUsed.load()) {
    g_deferralUsed = true;
    if (IsVerboseInit()) std::fprintf(stderr, "MIRTAL PKCS#11 init delayed\n");
    return 0;
  }
  if (g_started.load()) return 1;
  g_started = true;
  if (g_app == nullptr || g_config == nullptr) return 1;
  CfgPkcs11ApiConfig& cfg = *g_config;

  Verbose("MIRTAL PKCS#11 starting");
  Verbose("MIRTAL PKCS#11 init options");
  cfg.DeclareOptions();
  Verbose("MIRTAL PKCS#11 read config");
  const bool read = cfg.Read();
  if (IsVerboseInit()) std::fprintf(stderr, "MIRTAL PKCS#11 config has been read: %s\n", read ? "true" : "false");

  if (const char* v = std::getenv("MIRTAL_PKCS11_LOG_FILE_NAME")) OverrideText(cfg, CFGKEY_LOG_FILE_NAME, v);
  if (const char* v = std::getenv("MIRTAL_PKCS11_ENABLE_LOGGING"))
    OverrideBool(cfg, CFGKEY_ENABLE_LOGGING, IsFalseWord(v) != 0);
  if (const char* v = std::getenv("MIRTAL_PKCS11_ENABLE_LOCK_LOGGING"))
    OverrideBool(cfg, CFGKEY_ENABLE_LOCK_LOGGING, IsFalseWord(v) != 0);
  if (const char* v = std::getenv("MIRTAL_PKCS11_PKCS15_FLAGS"))
    OverrideInt(cfg, CFGKEY_PKCS15_FLAGS, ParseNumberOrDefault(v, 0));
  if (const char* v = std::getenv("MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT")) {
    unsigned long n = ParseNumberOrDefault(v, 3);
    OverrideInt(cfg, CFGKEY_PKCS15_MAX_TOKEN_COUNT, n == 0 ? 3 : n);
  }
  if (const char* v = std::getenv("MIRTAL_PKCS11_PCSC_LIBRARY")) OverrideText(cfg, CFGKEY_PCSC_LIBRARY, v);
  if (const char* v = std::getenv("MIRTAL_PKCS11_INIT_PROFILE")) OverrideText(cfg, CFGKEY_INIT_PROFILE, v);

  Verbose("MIRTAL PKCS#11 configuring");
  cfg.Apply();

  bool logging = false, lockLogging = false;
  cfg.GetBool(CFGKEY_ENABLE_LOGGING, &logging);
  cfg.GetBool(CFGKEY_ENABLE_LOCK_LOGGING, &lockLogging);
  const char* logFileName = CFG_DEFAULT_LOG_FILE_NAME;
  cfg.GetString(CFGKEY_LOG_FILE_NAME, &logFileName);
  unsigned long flags = PKCS15_FLAGS_CONFIG_DEFAULT;
  cfg.GetInt(CFGKEY_PKCS15_FLAGS, &flags);
  unsigned long maxTokens = PKCS15_DEFAULT_TOKENS_PER_READER;
  cfg.GetInt(CFGKEY_PKCS15_MAX_TOKEN_COUNT, &maxTokens);
  const char* pcsc = nullptr;
  cfg.GetString(CFGKEY_PCSC_LIBRARY, &pcsc);
  const char* profile = nullptr;
  cfg.GetString(CFGKEY_INIT_PROFILE, &profile);
  char processPath[10240];
  if (GetProcessPath(static_cast<long>(getpid()), processPath, sizeof processPath) == nullptr) processPath[0] = '\0';

  const bool loggingOn = g_app->GetLogger()->IsEnabled();
  if (!loggingOn && !IsVerboseInit()) return 1;
  if (IsVerboseInit()) std::fprintf(stderr, "%s\nLoading app: '%s'\n", MIRTAL_VERSION_BANNER, processPath);
  if (loggingOn)
    TraceLog(g_app->GetLogger(), "INITIALIZING", TRACE_STARTING, CKR_OK,
             "\n\n\n----- MARKER -----\n%s'\nLoading app: '%s'\n\n\n", MIRTAL_VERSION_BANNER, processPath);

  for (POSITION p = cfg.GetHeadPosition(); p;) {
    CfgBase* s = cfg.GetNext(p);
    StartupMessage(1, "Reading options from %s%s: %s", s->IsSystemSource() ? "admin " : " user ",
                   GetConfigSourceKind(s) == 3 ? "registry" : "config file", s->GetPath());
    if (*s->GetLastError()) StartupMessage(3, "Read config warnings/errors: %s", s->GetLastError());
  }
  if (*cfg.GetLastError()) StartupMessage(3, "Configuration warnings/errors: %s", cfg.GetLastError());

  const char* envFlags = std::getenv("MIRTAL_PKCS11_PKCS15_FLAGS");
  StartupMessage(1,
                 "\n  Logging:\n    env(MIRTAL_PKCS11_ENABLE_LOGGING)=%s\n    env(MIRTAL_PKCS11_LOG_FILE_NAME)=%s\n    "
                 "env(MIRTAL_PKCS11_ENABLE_LOCK_LOGGING)=%s\n  PC/SC Library:\n    env(MIRTAL_PKCS11_PCSC_LIBRARY)=%s\n  "
                 "PKCS15:\n    env(MIRTAL_PKCS11_PKCS15_FLAGS)=%s (0x%04lx)\n    "
                 "env(MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT)=%s\n  Settings:\n    env(MIRTAL_PKCS11_INIT_PROFILE=%s",
                 EnvText("MIRTAL_PKCS11_ENABLE_LOGGING"), EnvText("MIRTAL_PKCS11_LOG_FILE_NAME"),
                 EnvText("MIRTAL_PKCS11_ENABLE_LOCK_LOGGING"), EnvText("MIRTAL_PKCS11_PCSC_LIBRARY"),
                 EnvText("MIRTAL_PKCS11_PKCS15_FLAGS"), ParseNumberOrDefault(envFlags, 0),
                 EnvText("MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT"), EnvText("MIRTAL_PKCS11_INIT_PROFILE"));
  const std::string expanded = ExpandLogFileName(logFileName);
  StartupMessage(1,
                 "\n  Logging %s, file name: %s\n  Expanded log file name: '%s'\n  Lock logging: %s\n  PC/SC library: "
                 "%s\n  PKCS15: Flags=0x%04lx, maxTokenCount=%lu\n  InitProfile: '%s'",
                 logging ? "enabled" : "disabled", logFileName, expanded.c_str(), lockLogging ? "enabled" : "disabled",
                 pcsc ? pcsc : "<default>", flags, maxTokens, profile ? profile : "<default>");
  return 1;
}

}  // namespace

int LibraryStartup() {
  std::lock_guard<std::mutex> guard(g_startupMutex);
  return LibraryStartupLocked();
}

long GetCurrentProcessId() { return static_cast<long>(getpid()); }

const char* FindLastSlash(const char* text) { return text ? std::strrchr(text, '/') : nullptr; }

int WildcardMatchForwarder(const char* name, const char* pattern, bool ignoreCase) {
  return WildcardMatchScore(name, pattern, ignoreCase);
}

const char* const kMirtalCardText = "MIRTAL";
const char* const kMirtalMasterCardText = "MIRTAL MASTER";
namespace {
const size_t g_cardTextLength = std::strlen(kMirtalCardText);
const size_t g_masterCardTextLength = std::strlen(kMirtalMasterCardText);
}  // namespace
size_t MirtalCardTextLength() { return g_cardTextLength; }
size_t MirtalMasterCardTextLength() { return g_masterCardTextLength; }

uint32_t GetInitCounter() { return g_initCounter.load(); }

uint32_t CountReinitialization() {
  Pkcs11LockGuard guard(TheApp().Lock());
  return ++g_initCounter;
}

bool UncountReinitialization(uint32_t* newValue) {
  Pkcs11LockGuard guard(TheApp().Lock());
  uint32_t v = g_initCounter.load();
  while (v > 0) {
    if (g_initCounter.compare_exchange_weak(v, v - 1)) {
      if (newValue) *newValue = v - 1;
      return true;
    }
  }
  return false;
}

// ===========================================================================
// The application object

CPkcs11App::CPkcs11App() { m_logger.InstallAssertHook(); }

CPkcs11App::~CPkcs11App() {
  ReleaseSlots();
  m_lastError.Clear();
  m_ownerPid = 0;
  m_sessions.DeleteAll();
  delete[] m_initTokenConfigFile;
  m_logger.RemoveAssertHook();
}

CK_RV CPkcs11App::Initialize(const CK_C_INITIALIZE_ARGS* args) {
  if (IsInitialized()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (args != nullptr) {
    // Either all four mutex callbacks or none; the reserved field stays null.
    const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                      (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
    if ((given != 0 && given != 4) || args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  }
  CK_RV rv = m_lock.Initialize(args);
  if (rv == CKR_OK) rv = InitApplication(args);
  if (rv == CKR_OK) rv = m_lock.Create();
  if (rv != CKR_OK) {
    // A failed initialisation leaves nothing behind.
    ReleaseSlots();
    m_sessions.DeleteAll();
    return rv;
  }
  m_ownerPid = static_cast<int64_t>(getpid());
  return CKR_OK;
}

CK_RV CPkcs11App::InitApplication(const CK_C_INITIALIZE_ARGS* args) {
  CK_RV rv = m_pkcs15.InitLib(args);
  if (rv != CKR_OK) return rv;
  m_slotCount = 0;
  CK_ULONG count = 0;
  m_pkcs15.GetSlotCount(&count);
  delete[] m_slots;
  m_slots = new (std::nothrow) CPkcs11Slot*[count + 1]();
  if (m_slots == nullptr) return CKR_HOST_MEMORY;
  m_slotCount = count;
  rv = m_pkcs15.CreateSlots(m_slots, &m_slotCount);
  m_sessionCounter = 0;
  m_reservedCounter = 0;
  m_objectCounter = 0;
  m_objectHighMark = 0;
  m_lastError.Clear();
  return rv;
}

CK_RV CPkcs11App::Finalize(CK_VOID_PTR pReserved) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  m_lock.Lock();
  for (CK_SLOT_ID id = 0; id < m_slotCount; ++id) HandleTokenLoss(id);
  m_sessions.DeleteAll();
  ReleaseSlots();
  m_ownerPid = 0;
  m_lock.Unlock();
  return m_lock.Destroy();
}

void CPkcs11App::ReleaseSlots() {
  if (m_slots != nullptr) {
    for (CK_ULONG i = 0; i < m_slotCount; ++i) delete m_slots[i];
    delete[] m_slots;
    m_slots = nullptr;
  }
  m_slotCount = 0;
  m_pkcs15.DeInitLib();
}

CK_RV CPkcs11App::GetInfo(CK_INFO* pInfo) const {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  pInfo->cryptokiVersion.major = 2;
  pInfo->cryptokiVersion.minor = 11;
  FillBlankPadded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, MIRTAL_MANUFACTURER);
  pInfo->flags = 0;
  FillBlankPadded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, MIRTAL_LIBRARY_DESCRIPTION);
  pInfo->libraryVersion.major = 4;
  pInfo->libraryVersion.minor = 1;
  return CKR_OK;
}

// ---- sessions ----

CPkcs11Session* CPkcs11App::FindSession(CK_SESSION_HANDLE hSession, POSITION* pos) const {
  if (pos) *pos = nullptr;
  if (hSession == CK_INVALID_HANDLE) return nullptr;
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    POSITION here = p;
    CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->GetHandle() == hSession) {
      if (pos) *pos = here;
      return s;
    }
  }
  return nullptr;
}

CK_SESSION_HANDLE CPkcs11App::NewSessionHandle() {
  do {
    ++m_sessionCounter;
  } while (m_sessionCounter == CK_INVALID_HANDLE || FindSession(m_sessionCounter, nullptr) != nullptr);
  return m_sessionCounter;
}

bool CPkcs11App::HasSessionOnSlot(CK_SLOT_ID slotId) const {
  for (POSITION p = m_sessions.GetHeadPosition(); p;)
    if (m_sessions.GetNext(p)->GetSlotId() == slotId) return true;
  return false;
}

bool CPkcs11App::HasSessionInState(CK_SLOT_ID slotId, CK_STATE state) const {
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    const CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->GetSlotId() == slotId && s->GetState() == state) return true;
  }
  return false;
}

void CPkcs11App::UpdateSessionStates(CK_SLOT_ID slotId, CK_USER_TYPE userType) {
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->GetSlotId() != slotId) continue;
    const bool rw = (s->GetFlags() & CKF_RW_SESSION) != 0;
    CK_STATE st;
    if (userType == CKU_USER)
      st = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else if (userType == CKU_SO)
      st = CKS_RW_SO_FUNCTIONS;
    else if (userType == CKU_MIRTAL_PERSONALIZATION_AGENT)
      st = CKS_MIRTAL_PERSONALIZATION_AGENT;
    else
      st = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    s->SetState(st);
  }
}

CK_RV CPkcs11App::GetSlotToken(CK_SLOT_ID slotId, CPkcs11Token** token) {
  *token = nullptr;
  if (m_slots == nullptr || slotId >= m_slotCount || m_slots[slotId] == nullptr) return CKR_SLOT_ID_INVALID;
  const CK_RV rv = m_slots[slotId]->GetToken(token);
  if (rv != CKR_OK) return rv;
  return *token != nullptr ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV CPkcs11App::HandleTokenLoss(CK_SLOT_ID slotId) {
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    POSITION here = p;
    CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->GetSlotId() == slotId) {
      m_sessions.RemoveAt(here);
      delete s;
    }
  }
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  if (rv != CKR_OK) return rv == CKR_SLOT_ID_INVALID ? CKR_GENERAL_ERROR : rv;
  // No session is left: the token forgets its counts and whoever was logged in.
  while (token->GetSessionCount() > 0) token->SessionClosed(token->GetRwSessionCount() > 0);
  token->Logout();
  return CKR_OK;
}

CK_RV CPkcs11App::CheckTokenChange(CK_SLOT_ID slotId, CPkcs11Token* token) {
  if (!token->HasTokenChanged()) return CKR_OK;
  token->AcknowledgeTokenChange();
  const bool hadSessions = HasSessionOnSlot(slotId);
  HandleTokenLoss(slotId);
  return hadSessions ? CKR_SESSION_CLOSED : CKR_OK;
}

CK_RV CPkcs11App::MapTokenResult(CK_RV rv, CK_SLOT_ID slotId) {
  if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED) {
    HandleTokenLoss(slotId);
    return rv;
  }
  if (rv == TOKEN_STATUS_CARD_NOT_INITIALIZED || rv == TOKEN_STATUS_CARD_NOT_ACTIVATED) return CKR_TOKEN_NOT_RECOGNIZED;
  return rv;
}

CK_RV CPkcs11App::MapSessionTokenResult(CK_RV rv, CK_SESSION_HANDLE hSession) {
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  return MapTokenResult(rv, s->GetSlotId());
}

// ---- slot, token and mechanism queries ----

CK_RV CPkcs11App::GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  return m_pkcs15.GetSlotList(tokenPresent, pSlotList, pulCount);
}

CK_RV CPkcs11App::GetSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (m_slots == nullptr) return CKR_GENERAL_ERROR;
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  const CK_RV rv = m_slots[slotId]->GetSlotInfo(pInfo);
  CPkcs11Token* token = nullptr;
  m_slots[slotId]->GetToken(&token);
  if (token == nullptr) {
    HandleTokenLoss(slotId);
  } else {
    // Asking for the slot is what notices a removed or unrecognised card.
    CK_RV present = CKR_TOKEN_NOT_PRESENT;
    if (pInfo->flags & CKF_TOKEN_PRESENT) present = token->CheckTokenPresent();
    if ((pInfo->flags & CKF_TOKEN_PRESENT) == 0 || present == CKR_TOKEN_NOT_RECOGNIZED) {
      HandleTokenLoss(slotId);
      token->AcknowledgeTokenChange();
    }
  }
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV rv = token->GetTokenInfo(pInfo);
  if (token->HasTokenChanged()) {
    token->AcknowledgeTokenChange();
    HandleTokenLoss(slotId);
  }
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::GetMechanismList(CK_SLOT_ID slotId, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV rv = token->GetMechanismList(pList, pulCount);
  CheckTokenChange(slotId, token);
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::GetMechanismInfo(CK_SLOT_ID slotId, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV rv = token->GetMechanismInfo(type, pInfo);
  CheckTokenChange(slotId, token);
  return MapTokenResult(rv, slotId);
}

// ---- sessions ----

CK_RV CPkcs11App::OpenSession(CK_SLOT_ID slotId, CK_FLAGS flags, CK_VOID_PTR /*pApplication*/, CK_NOTIFY /*notify*/,
                              CK_SESSION_HANDLE_PTR phSession) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if ((flags & ~static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION)) != 0 || phSession == nullptr)
    return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  if (rv != CKR_OK) return rv;
  // No session opens on a slot without a token.
  const CK_RV present = token->CheckTokenPresent();
  if (present != CKR_OK && present != TOKEN_STATUS_CARD_NOT_INITIALIZED && present != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return MapTokenResult(present, slotId);
  // A card changed since the last call: the old sessions go, the new one opens.
  CheckTokenChange(slotId, token);
  const bool rw = (flags & CKF_RW_SESSION) != 0;
  const CK_USER_TYPE user = token->GetLoggedInUserType();
  if (!rw && user == CKU_SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  CPkcs11Session* s = new (std::nothrow) CPkcs11Session(NewSessionHandle());
  if (s == nullptr) return CKR_HOST_MEMORY;
  s->SetSlotId(slotId);
  s->SetFlags(flags);
  try {
    m_sessions.AddTail(s);
  } catch (const std::bad_alloc&) {
    delete s;
    return CKR_HOST_MEMORY;
  }
  token->SessionOpened(rw);
  UpdateSessionStates(slotId, user);
  *phSession = s->GetHandle();
  return CKR_OK;
}

CK_RV CPkcs11App::CloseSession(CK_SESSION_HANDLE hSession) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  POSITION pos = nullptr;
  CPkcs11Session* s = FindSession(hSession, &pos);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  AssertInvariant(pos != nullptr, "pkcs11impl/app", 858, "pos != NULL");
  const CK_SLOT_ID slotId = s->GetSlotId();
  const bool rw = (s->GetFlags() & CKF_RW_SESSION) != 0;
  m_sessions.RemoveAt(pos);
  delete s;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  if (rv != CKR_OK) return MapTokenResult(rv, slotId);
  token->SessionClosed(rw);
  // The last session of a token logs it out.
  if (!HasSessionOnSlot(slotId)) token->Logout();
  return CKR_OK;
}

CK_RV CPkcs11App::CloseAllSessions(CK_SLOT_ID slotId) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  return HandleTokenLoss(slotId);
}

CK_RV CPkcs11App::GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  pInfo->slotID = s->GetSlotId();
  pInfo->state = s->GetState();
  pInfo->flags = s->GetFlags();
  pInfo->ulDeviceError = 0;
  CPkcs11Token* token = nullptr;
  const CK_SLOT_ID slotId = s->GetSlotId();
  const CK_RV rv = GetSlotToken(slotId, &token);
  if (rv != CKR_OK) return rv;
  const uint64_t now = NowMilliseconds();
  s->SetLastQuery(now >> 32, now & 0xFFFFFFFFu);
  const CK_RV present = token->CheckTokenPresent();
  if (present != CKR_OK && present != TOKEN_STATUS_CARD_NOT_INITIALIZED && present != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return MapTokenResult(present, slotId);
  if (CheckTokenChange(slotId, token) != CKR_OK) return CKR_SESSION_CLOSED;
  return CKR_OK;
}

// ---- login, PINs, token initialisation ----

CK_RV CPkcs11App::Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR /*pPin*/,
                        CK_ULONG /*ulPinLen*/) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (userType > CKU_CONTEXT_SPECIFIC && userType != CKU_MIRTAL_PERSONALIZATION_AGENT) return CKR_USER_TYPE_INVALID;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(s->GetSlotId(), &token);
  return MapTokenResult(rv == CKR_OK ? CKR_GENERAL_ERROR : rv, s->GetSlotId());
}

namespace {
// The common start of the session-addressed members once the session is known:
// the slot's token; the token's own work joins with the token layer.
}  // namespace

#define MIRTAL_SESSION_TOKEN_STEP(s)                                 \
  do {                                                               \
    CPkcs11Token* token_ = nullptr;                                  \
    const CK_RV rvToken_ = GetSlotToken((s)->GetSlotId(), &token_);  \
    return MapTokenResult(rvToken_ == CKR_OK ? CKR_GENERAL_ERROR : rvToken_, (s)->GetSlotId()); \
  } while (0)

CK_RV CPkcs11App::Logout(CK_SESSION_HANDLE hSession) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR, CK_ULONG) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetState() != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::InitToken(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pPin == nullptr || ulPinLen == 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  if (HasSessionOnSlot(slotId)) return CKR_SESSION_EXISTS;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  return MapTokenResult(rv == CKR_OK ? CKR_GENERAL_ERROR : rv, slotId);
}

CK_RV CPkcs11App::InitializeCardInReader(const char* readerName, CK_UTF8CHAR_PTR, CK_ULONG, const char*) {
  m_lastError.Clear();
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  if (m_slots == nullptr) return CKR_GENERAL_ERROR;
  if (readerName == nullptr) readerName = "";
  char wanted[64];
  std::memset(wanted, ' ', sizeof wanted);
  const size_t n = std::strlen(readerName);
  std::memcpy(wanted, readerName, n < sizeof wanted ? n : sizeof wanted);
  for (CK_SLOT_ID id = 0; id < m_slotCount; ++id) {
    CK_SLOT_INFO info;
    std::memset(&info, 0, sizeof info);
    m_slots[id]->GetSlotInfo(&info);
    const bool equal = std::memcmp(wanted, info.slotDescription, sizeof wanted) == 0;
    CPkcs11Token* token = nullptr;
    const CK_RV r = m_slots[id]->GetToken(&token);
    if (token == nullptr) {
      HandleTokenLoss(id);
      if (equal) return r;
    }
  }
  m_lastError.SetFormatted("Reader named '%.100s' not found", readerName);
  return CKR_SLOT_ID_INVALID;
}

// ---- signing, decryption, key pairs, random ----

CK_RV CPkcs11App::SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE) {
  if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetOperation() != nullptr) return CKR_OPERATION_ACTIVE;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE) {
  if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetOperation() != nullptr) return CKR_OPERATION_ACTIVE;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR,
                       CK_ULONG_PTR pulSignatureLen) {
  if ((pData == nullptr && ulDataLen != 0) || pulSignatureLen == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetOperation() == nullptr || s->GetOperation()->operation != CKF_SIGN) return CKR_OPERATION_NOT_INITIALIZED;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR, CK_ULONG_PTR pulDataLen) {
  if ((pEncryptedData == nullptr && ulEncryptedDataLen != 0) || pulDataLen == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetOperation() == nullptr || s->GetOperation()->operation != CKF_DECRYPT)
    return CKR_OPERATION_NOT_INITIALIZED;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pMechanism == nullptr || pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
      ulPublicKeyAttributeCount == 0 || ulPrivateKeyAttributeCount == 0 || phPublicKey == nullptr ||
      phPrivateKey == nullptr)
    return CKR_ARGUMENTS_BAD;
  *phPublicKey = CK_INVALID_HANDLE;
  *phPrivateKey = CK_INVALID_HANDLE;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  if (pRandomData == nullptr || ulRandomLen == 0) return CKR_ARGUMENTS_BAD;
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(s->GetSlotId(), &token);
  return rv == CKR_OK ? CKR_GENERAL_ERROR : rv;
}

CK_RV CPkcs11App::SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pSeed == nullptr && ulSeedLen == 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(s->GetSlotId(), &token);
  return rv == CKR_OK ? CKR_GENERAL_ERROR : rv;
}

// ---- vendor members ----

#define MIRTAL_VENDOR_SESSION_START(check)                        \
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;      \
  if (check) return CKR_ARGUMENTS_BAD;                            \
  Pkcs11LockGuard guard(m_lock);                                  \
  CPkcs11Session* s = FindSession(hSession, nullptr);             \
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID

CK_RV CPkcs11App::GetPinStatus(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE, CK_ULONG_PTR pulStatus) {
  MIRTAL_VENDOR_SESSION_START(pulStatus == nullptr);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GetPinInfo(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE, MIRTAL_PIN_INFO* pInfo) {
  MIRTAL_VENDOR_SESSION_START(pInfo == nullptr);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GetPinList(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR pulCount) {
  MIRTAL_VENDOR_SESSION_START(pulCount == nullptr);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::ChangePin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                            CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::UnblockPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                             CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::InitPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                          CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::ActivateTokenQualifiedPart(CK_SESSION_HANDLE hSession, CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR pulLen) {
  if (pulLen == nullptr) return CKR_ARGUMENTS_BAD;
  MIRTAL_VENDOR_SESSION_START(false);
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::SetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  MIRTAL_SESSION_TOKEN_STEP(s);
}

CK_RV CPkcs11App::GetQualifiedPartCharacteristics(CK_SLOT_ID slotId, CK_FLAGS* pOut, bool) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pOut == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  return MapTokenResult(rv == CKR_OK ? CKR_GENERAL_ERROR : rv, slotId);
}

CK_RV CPkcs11App::TerminateTokenUsage(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR, CK_ULONG) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV rv = GetSlotToken(slotId, &token);
  return MapTokenResult(rv == CKR_OK ? CKR_GENERAL_ERROR : rv, slotId);
}
