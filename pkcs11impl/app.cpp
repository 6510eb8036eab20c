#include "pkcs11impl/app.h"

#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "libtorvapp/qvnamedcurveobjects.h"
#include "pkcs11impl/apiconfig.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11slot.h"
#include "pkcs11impl/p11token.h"
#include "pkcs11impl/pintextcopies.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "support/cfgregistry.h"
#include "support/debuglog.h"
#include "support/lasting.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

CPkcs11App* g_app = nullptr;
CfgPkcs11ApiConfig* g_config = nullptr;
std::atomic<bool> g_started{false};
std::atomic<bool> g_deferralUsed{false};
std::atomic<uint32_t> g_initCounter{0};
std::mutex g_startupMutex;
// The process whose objects these are: set at load, and by a forked child
// that starts afresh. Another process is a forked child that has not.
std::atomic<pid_t> g_pid{0};
std::atomic<pid_t> g_takingOver{0};
// A forked child's copies of its parent's objects: kept as they are, never used.
CPkcs11App* g_parentsApp = nullptr;
CfgPkcs11ApiConfig* g_parentsConfig = nullptr;
ModuleDoor g_door;

// How long the module's end waits for calls of other threads still under way,
// and then for the resets made under those that stay: longer than one card
// command's time-out.
constexpr unsigned kLeaveWaitMs = 10000;
std::atomic<bool> g_resetsMade{false};

// The answer to the first PIN text of a call whose length no card takes
// (PinTextCopies::CheckLength); CKR_OK when the card layer takes them all.
CK_RV CheckPinLengths(std::initializer_list<std::pair<const CK_UTF8CHAR*, CK_ULONG>> texts) {
  for (const auto& t : texts) {
    const CK_RV rv = PinTextCopies::CheckLength(t.first, t.second);
    if (rv != CKR_OK) return rv;
  }
  return CKR_OK;
}

// An SO PIN for token initialisation: a length the card layer takes and no NUL
// inside that would cut it short, since the PIN goes to the card as given.
bool IsSoPinArgument(const CK_UTF8CHAR* pin, CK_ULONG len) {
  return len <= PinTextCopies::kMaxPinText && std::memchr(pin, 0, len) == nullptr;
}

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

// The two card states that a presence check may answer beside CKR_OK.
bool IsTokenStatus(CK_RV rv) { return rv == TOKEN_STATUS_CARD_NOT_INITIALIZED || rv == TOKEN_STATUS_CARD_NOT_ACTIVATED; }

void FillBlankPadded(CK_UTF8CHAR* field, size_t size, const char* text) {
  std::memset(field, ' ', size);
  const size_t n = std::strlen(text);
  std::memcpy(field, text, n < size ? n : size);
}

}  // namespace

// ===========================================================================
// Process-wide start-up

void ApiGlobalsInit() {
  g_pid = getpid();
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

// The module's end, at unload or at exit, whether or not the host called
// C_Finalize. A host may leave while another of its threads is inside a call:
// the door is closed first (later calls are turned away and touch nothing),
// then the calls inside are waited for. Without one left, the configuration,
// the application object (whose teardown stops the reader workers, disconnects
// with a reset from each card where a login holds a PIN and unloads the reader
// back-ends) and the lasting statics go. With one left after the wait, the
// cards that teardown would reset are reset under it and nothing is freed: the
// process leaves with everything the call may still use.
void LeaveModule() {
  // A forked child that did not start afresh holds copies of its parent's
  // objects: its end waits for nothing, resets nothing and frees nothing.
  if (InForkedChild()) return;
  if (g_door.CloseAndWait(kLeaveWaitMs)) {
    DestroyConfig();
    DestroyApp();
    DestroyLastingObjects();
    qvReleaseNamedCurveDomains();
    return;
  }
  CPkcs11App* app = g_app;
  if (app == nullptr) return;
  TraceLog(app->GetLogger(), "LeaveModule", TRACE_ERROR, CKR_OK,
           "a call is still under way after %u ms: the cards where a login holds a PIN are reset under it, "
           "nothing is released", kLeaveWaitMs);
  // The reset waits for the command under way on its card; bounded as well,
  // so that the process leaves whatever the reader service does.
  try {
    std::thread([app] {
      app->Pkcs15Lib().LeaveWithCallsInside();
      g_resetsMade = true;
    }).detach();
  } catch (...) {
    app->Pkcs15Lib().LeaveWithCallsInside();
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLeaveWaitMs);
  while (!g_resetsMade.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Built at load; its destructor is the module's only static destructor (the
// statics that calls use are Lasting or have none), so it runs first at unload
// and, among what the module registered, at exit.
struct GlobalsInitializer {
  GlobalsInitializer() { ApiGlobalsInit(); }
  ~GlobalsInitializer() { LeaveModule(); }
} g_globalsInitializer;
}  // namespace

bool InForkedChild() { return g_pid.load() != getpid(); }

ModuleDoor& TheDoor() { return g_door; }

void StartAfreshInChild(void (*remakeLocks)()) {
  const pid_t self = getpid();
  if (g_pid.load() == self) return;
  pid_t seen = g_takingOver.load();
  if (seen == self || !g_takingOver.compare_exchange_strong(seen, self)) {
    // Another thread of this child takes over: its work is done once g_pid says so.
    while (g_pid.load() != self) std::this_thread::yield();
    return;
  }
  // Everything the parent left is kept as it is and never used: its contexts,
  // handles, sessions and logins, and whatever another of its threads was
  // changing when the process forked. The locks are made anew, since one may
  // have been copied held; the objects are new.
  if (g_app != nullptr) {
    g_parentsApp = g_app;
    g_parentsConfig = g_config;
  }
  g_app = nullptr;
  g_config = nullptr;
  new (&g_startupMutex) std::mutex;
  if (remakeLocks != nullptr) remakeLocks();
  DebugLogStartAfreshInChild();
  SCReader::StartAfreshInChild();
  SCCard::StartAfreshInChild();
  SCPkcs15App::StartAfreshInChild();
  g_door.Reset();
  g_initCounter = 0;
  g_started = false;
  try {
    g_app = new CPkcs11App();
    g_config = new CfgPkcs11ApiConfig();
    g_config->Attach(g_app, &g_app->Logger(), &g_app->Lock(), &g_app->Pkcs15Lib());
  } catch (...) {
    // The first entry point that needs them answers CKR_GENERAL_ERROR.
  }
  g_pid = self;
}

CPkcs11App& TheApp() { return *g_app; }
CfgPkcs11ApiConfig& TheConfig() { return *g_config; }
bool AppAlive() { return g_app != nullptr && g_config != nullptr; }

bool IsStarted() { return g_started.load(); }

int IsNotFalseWord(const char* text) {
  static const char* const kFalse[] = {"0", "n", "N", "no", "No", "NO", "off", "Off", "OFF", "f", "F", "false", "False",
                                       "FALSE"};
  if (text == nullptr) return 1;
  for (const char* w : kFalse)
    if (strcasecmp(text, w) == 0) return 0;
  return 1;
}

bool EnvIsTrue(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && IsNotFalseWord(v) != 0;
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
    OverrideBool(cfg, CFGKEY_ENABLE_LOGGING, IsNotFalseWord(v) != 0);
  if (const char* v = std::getenv("MIRTAL_PKCS11_ENABLE_LOCK_LOGGING"))
    OverrideBool(cfg, CFGKEY_ENABLE_LOCK_LOGGING, IsNotFalseWord(v) != 0);
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

  // The report shows what Apply put in force: an [Apps\...] section wins over the
  // global keys and the environment, and trace bits do nothing without a log.
  const CfgPkcs11ApiConfig::InForce& inForce = cfg.GetInForce();
  const bool logging = inForce.logging, lockLogging = inForce.lockLogging;
  const char* logFileName = inForce.logFileName.c_str();
  const unsigned long flags = inForce.pkcs15Flags, maxTokens = inForce.maxTokenCount;
  const char* pcsc = inForce.hasPcscLibrary ? inForce.pcscLibrary.c_str() : nullptr;
  const char* profile = inForce.hasInitProfile ? inForce.initProfile.c_str() : nullptr;
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

CPkcs11App::CPkcs11App() {
  m_logger.InstallAssertHook();
  // Every member holds the global lock throughout: the bridge's card checks know a call by it.
  m_pkcs15.SetCallLock(&m_lock);
}

CPkcs11App::~CPkcs11App() {
  // Gone without C_Finalize: the readers' teardown resets the cards where a login
  // holds a PIN (SCPkcs15Lib::ResetsWhenLeaving).
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
  // The object-handle counters go on from where the last C_Finalize left them:
  // a handle a host kept from before never names another object.
  m_lastError.Clear();
  return rv;
}

CK_RV CPkcs11App::Finalize(CK_VOID_PTR pReserved) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  // The calls already inside finish first; those that come meanwhile are turned
  // away, so nobody holds or waits for the lock when it goes.
  m_gate.CloseAndDrain();
  {
    Pkcs11LockGuard guard(m_lock);
    for (CK_SLOT_ID id = 0; id < m_slotCount; ++id) HandleTokenLoss(id);
    m_sessions.DeleteAll();
    ReleaseSlots();
    m_ownerPid = 0;
  }
  const CK_RV rv = m_lock.Destroy();
  m_gate.Open();
  return rv;
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

void CPkcs11App::ForgetWhatTheCallVerified() {
  if (!IsInitialized() || (!SCCard::AnyLeftVerified() && !SCReader::AnyCallHold() && !SCPkcs15App::AnyLoginEnded()))
    return;
  Pkcs11LockGuard guard(m_lock);
  if (m_slots == nullptr) return;
  EndLogins();
  std::vector<SCHeldPin> held;
  for (CK_SLOT_ID id = 0; id < m_slotCount; ++id) {
    CPkcs11Token* token = nullptr;
    if (m_slots[id] == nullptr || m_slots[id]->GetToken(&token) != CKR_OK || token == nullptr) continue;
    // The keys of operations under way for which a context-specific login was given.
    std::vector<CK_OBJECT_HANDLE> keys;
    for (POSITION p = m_sessions.GetHeadPosition(); p;) {
      const CPkcs11Session* s = m_sessions.GetNext(p);
      const CPkcs11OperationState* op = s->GetSlotId() == id ? s->GetOperation() : nullptr;
      if (op != nullptr && op->contextLogin == 3)
        keys.push_back(op->operation == CKF_SIGN ? op->signKey : op->decryptKey);
    }
    token->AddHeldPins(&held, keys);
  }
  // A card reset to forget ends the operations a context-specific login was given for.
  for (CK_SLOT_ID slot : m_pkcs15.ForgetWhatTheCallVerified(held))
    for (POSITION p = m_sessions.GetHeadPosition(); p;) {
      const CPkcs11Session* s = m_sessions.GetNext(p);
      CPkcs11OperationState* op = s->GetSlotId() == slot ? s->GetOperation() : nullptr;
      if (op != nullptr && op->contextLogin == 3) op->contextLogin = 2;
    }
  EndLogins();
}

void CPkcs11App::EndLogins() {
  // Ended without a reset: the slot's sessions fall back as after C_Logout.
  for (CK_SLOT_ID slot : m_pkcs15.EndedLogins()) {
    CPkcs11Token* token = nullptr;
    if (slot < m_slotCount && m_slots[slot] != nullptr && m_slots[slot]->GetToken(&token) == CKR_OK &&
        token != nullptr && token->EndLogin())
      SessionsFollowLogout(slot, token->GetLoggedInUserType());
  }
}

void CPkcs11App::SessionsFollowLogout(CK_SLOT_ID slotId, CK_USER_TYPE user) {
  UpdateSessionStates(slotId, user);
  for (POSITION p = m_sessions.GetHeadPosition(); p;) {
    CPkcs11Session* s = m_sessions.GetNext(p);
    if (s->GetSlotId() != slotId) continue;
    s->DropPrivateObjects();
    s->ResetFind();
    s->DropOperation();
  }
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
  token->ResetSessionCounts();
  if (token->GetLoggedInUserType() != CKU_NOBODY) {
    const CK_RV out = token->Logout();
    if (out == CKR_DEVICE_MEMORY || out == CKR_DEVICE_REMOVED || out == CKR_TOKEN_NOT_PRESENT) {
      token->AcknowledgeTokenChange();
      return out;
    }
  }
  token->AcknowledgeTokenChange();
  return CKR_OK;
}

CK_RV CPkcs11App::CheckTokenChange(CK_SLOT_ID slotId, CPkcs11Token* token) {
  if (!token->HasTokenChanged()) return CKR_OK;
  token->AcknowledgeTokenChange();
  const bool hadSessions = HasSessionOnSlot(slotId);
  HandleTokenLoss(slotId);
  return hadSessions ? CKR_SESSION_CLOSED : CKR_OK;
}

CK_OBJECT_HANDLE CPkcs11App::PinHandleForObject(CPkcs11Token* token, void* pin) {
  if (pin == nullptr) return CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE h = token->GetHandleForObject(pin);
  if (h != CK_INVALID_HANDLE) return h;
  h = NewObjectHandle();
  return token->BindHandle(pin, h, false) == CKR_OK ? h : CK_INVALID_HANDLE;
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

template <class Query>
CK_RV CPkcs11App::QuerySlotToken(CK_SLOT_ID slotId, Query query) {
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV rv = query(token);
  // A card found changed on the way closes the slot's sessions; the answer stands.
  CheckTokenChange(slotId, token);
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  return QuerySlotToken(slotId, [&](CPkcs11Token* token) { return token->GetTokenInfo(pInfo); });
}

CK_RV CPkcs11App::GetMechanismList(CK_SLOT_ID slotId, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
  return QuerySlotToken(slotId, [&](CPkcs11Token* token) { return token->GetMechanismList(pList, pulCount); });
}

CK_RV CPkcs11App::GetMechanismInfo(CK_SLOT_ID slotId, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* pInfo) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  return QuerySlotToken(slotId, [&](CPkcs11Token* token) { return token->GetMechanismInfo(type, pInfo); });
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
  if (present != CKR_OK && !IsTokenStatus(present)) return MapTokenResult(present, slotId);
  const CK_RV write = token->CheckWriteAccess();
  if (write != CKR_OK && write != CKR_TOKEN_WRITE_PROTECTED) return MapTokenResult(write, slotId);
  // A card changed since the last call: the old sessions go, the new one opens.
  if (token->HasTokenChanged()) {
    token->AcknowledgeTokenChange();
    HandleTokenLoss(slotId);
  }
  const bool rw = (flags & CKF_RW_SESSION) != 0;
  const CK_USER_TYPE user = token->GetLoggedInUserType();
  CK_STATE state;
  if (!rw) {
    if (user == CKU_SO || user == CKU_MIRTAL_PERSONALIZATION_AGENT) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    state = user == CKU_USER ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
  } else if (user == CKU_USER) {
    state = CKS_RW_USER_FUNCTIONS;
  } else if (user == CKU_SO) {
    state = CKS_RW_SO_FUNCTIONS;
  } else if (user == CKU_MIRTAL_PERSONALIZATION_AGENT) {
    state = CKS_MIRTAL_PERSONALIZATION_AGENT;
  } else {
    state = CKS_RW_PUBLIC_SESSION;
  }
  // The token's limits (0: no limit, all ones: not known).
  const auto full = [](CK_ULONG max, CK_ULONG count) {
    return max != CK_EFFECTIVELY_INFINITE && max != CK_UNAVAILABLE_INFORMATION && max <= count;
  };
  if (full(token->GetMaxSessionCount(), token->GetSessionCount())) return CKR_SESSION_COUNT;
  if (rw && full(token->GetMaxRwSessionCount(), token->GetRwSessionCount())) return CKR_SESSION_COUNT;
  CPkcs11Session* s = new (std::nothrow) CPkcs11Session(CK_INVALID_HANDLE);
  if (s == nullptr) return CKR_HOST_MEMORY;
  try {
    m_sessions.AddTail(s);
  } catch (const std::bad_alloc&) {
    delete s;
    return CKR_HOST_MEMORY;
  }
  const CK_SESSION_HANDLE hNewSession = NewSessionHandle();
  AssertInvariant(hNewSession != CK_INVALID_HANDLE, "pkcs11impl/app", 646, "hNewSession != CK_INVALID_HANDLE");
  token->SessionOpened(rw);
  s->SetHandle(hNewSession);
  s->SetSlotId(slotId);
  s->SetState(state);
  s->SetFlags(flags);
  *phSession = hNewSession;
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
  const bool rw = IsRwSessionState(s->GetState());
  m_sessions.RemoveAt(pos);
  delete s;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got == CKR_SLOT_ID_INVALID ? CKR_GENERAL_ERROR : got, slotId);
  if (token->HasTokenChanged()) {
    token->AcknowledgeTokenChange();
    return HandleTokenLoss(slotId);
  }
  CK_RV rv = CKR_OK;
  if (HasSessionOnSlot(slotId)) {
    token->SessionClosed(rw);
  } else {
    // The last session of the slot: the user is logged out and the token forgets its object handles.
    token->ResetSessionCounts();
    if (token->GetLoggedInUserType() != CKU_NOBODY) {
      const CK_RV out = token->Logout();
      if (out == CKR_SESSION_CLOSED || out == CKR_DEVICE_MEMORY || out == CKR_DEVICE_REMOVED ||
          out == CKR_TOKEN_NOT_PRESENT)
        rv = out;
    }
    token->ClearHandleTable(false);
    token->AcknowledgeTokenChange();
  }
  return MapTokenResult(rv, slotId);
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
  if (rv != CKR_OK) return rv == CKR_SLOT_ID_INVALID ? CKR_GENERAL_ERROR : rv;
  // The token is asked at most once a second per session; in between the last answer stands.
  static const char fn[] = "C_GetSessionInfo";
  const uint64_t now = NowMilliseconds();
  const uint64_t high = now >> 32, low = now & 0xFFFFFFFFu;
  if (s->GetLastQueryHigh() == 0 && s->GetLastQueryLow() == 0) {
    TraceLog(&m_logger, fn, TRACE_INSIDE, CKR_OK, "QUERY TOKEN: initial check");
  } else if (s->GetLastQueryHigh() != high) {
    TraceLog(&m_logger, fn, TRACE_INSIDE, CKR_OK, "QUERY TOKEN: checked so long ago...");
  } else {
    const unsigned long diff = static_cast<unsigned long>((low - s->GetLastQueryLow()) & 0xFFFFFFFFu);
    if (diff >= 1 && diff <= 999) {
      pInfo->ulDeviceError = s->GetDeviceStatus();
      TraceLog(&m_logger, fn, TRACE_INSIDE, CKR_OK, "NO TOKEN QUERY: diff = %lu ms", diff);
      return CKR_OK;
    }
    TraceLog(&m_logger, fn, TRACE_INSIDE, CKR_OK, "QUERY TOKEN: diff = %lu ms", diff);
  }
  s->SetLastQuery(high, low);
  const CK_RV present = token->CheckTokenPresent();
  const bool changed = (present == CKR_OK || IsTokenStatus(present)) && token->HasTokenChanged();
  if ((present == CKR_OK || IsTokenStatus(present)) && !changed) {
    s->SetDeviceStatus(static_cast<CK_ULONG>(token->GetTokenState()));
    pInfo->ulDeviceError = s->GetDeviceStatus();
    return CKR_OK;
  }
  if (changed) token->AcknowledgeTokenChange();
  s->SetLastQuery(0, 0);
  s->SetDeviceStatus(static_cast<CK_ULONG>(token->GetTokenState()));
  return MapTokenResult(CKR_SESSION_CLOSED, slotId);
}

// ---- login, PINs, token initialisation ----

CK_RV CPkcs11App::Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (userType > CKU_CONTEXT_SPECIFIC && userType != CKU_MIRTAL_PERSONALIZATION_AGENT) return CKR_USER_TYPE_INVALID;
  // The module has no protected authentication path: a PIN is always given.
  if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
  // The agent's key text is no card PIN: only a length that is no text at all is refused here.
  const CK_RV length = PinTextCopies::CheckLength(
      pPin, ulPinLen, userType == CKU_MIRTAL_PERSONALIZATION_AGENT ? CKR_OK : CKR_PIN_LEN_RANGE);
  if (length != CKR_OK) return length;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got == CKR_SLOT_ID_INVALID ? CKR_GENERAL_ERROR : got, slotId);
  const CK_RV present = token->CheckTokenPresent();
  if (present == TOKEN_STATUS_CARD_NOT_INITIALIZED)
    return userType == CKU_CONTEXT_SPECIFIC ? CKR_OPERATION_NOT_INITIALIZED : CKR_USER_PIN_NOT_INITIALIZED;
  if (present == TOKEN_STATUS_CARD_NOT_ACTIVATED && userType == CKU_CONTEXT_SPECIFIC)
    return CKR_OPERATION_NOT_INITIALIZED;
  if (present != CKR_OK && !IsTokenStatus(present)) return MapTokenResult(present, slotId);
  if (token->HasTokenChanged()) {
    token->AcknowledgeTokenChange();
    return MapTokenResult(CKR_SESSION_CLOSED, slotId);
  }
  const CK_USER_TYPE current = token->GetLoggedInUserType();

  if (userType == CKU_CONTEXT_SPECIFIC) {
    // A second PIN entry for the key of the running operation.
    CPkcs11OperationState* op = s->GetOperation();
    if (op == nullptr || current != CKU_USER) return CKR_OPERATION_NOT_INITIALIZED;
    CK_OBJECT_HANDLE key;
    if (op->operation == CKF_SIGN)
      key = op->signKey;
    else if (op->operation == CKF_DECRYPT)
      key = op->decryptKey;
    else
      return CKR_OPERATION_NOT_INITIALIZED;
    CPkcs11Session* owner = nullptr;
    if (key == CK_INVALID_HANDLE || ResolveObject(hSession, key, &owner) != CKR_OK || owner != nullptr)
      return CKR_OPERATION_NOT_INITIALIZED;
    const CK_RV rv = token->LoginContextSpecific(key, pPin, ulPinLen);
    if (rv == CKR_OK) {
      op->contextLogin = 3;
      return CKR_OK;
    }
    op->contextLogin = 2;
    // A PIN that got blocked here logs the slot's sessions out, as C_Logout would;
    // that ends their operations, this one included.
    if (rv == CKR_PIN_LOCKED) LogoutSlot(slotId, token, present);
    return MapTokenResult(rv, slotId);
  }

  if (current != CKU_NOBODY) return current == userType ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  if ((userType == CKU_SO || userType == CKU_MIRTAL_PERSONALIZATION_AGENT) &&
      HasSessionInState(slotId, CKS_RO_PUBLIC_SESSION))
    return CKR_SESSION_READ_ONLY_EXISTS;
  void* pin = token->GetPinObjectForUser(userType);
  if (pin == nullptr) return CKR_USER_PIN_NOT_INITIALIZED;
  const CK_OBJECT_HANDLE hPin = PinHandleForObject(token, pin);
  if (hPin == CK_INVALID_HANDLE) return CKR_HOST_MEMORY;
  const CK_RV rv = token->Login(hPin, pPin, ulPinLen);
  if (rv != CKR_OK) return MapTokenResult(rv, slotId);
  UpdateSessionStates(slotId, userType);
  return CKR_OK;
}

CK_RV CPkcs11App::Logout(CK_SESSION_HANDLE hSession) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV present = CKR_OK;
  const CK_RV pre = TokenPreamble(slotId, &token, &present);
  if (pre != CKR_OK) return pre;
  return LogoutSlot(slotId, token, present);
}

CK_RV CPkcs11App::LogoutSlot(CK_SLOT_ID slotId, CPkcs11Token* token, CK_RV present) {
  // A card without PKCS#15 structure has nothing to log out of on the card; the
  // token still forgets its user, so that the sessions fall back with it.
  CK_RV rv = token->Logout();
  if (present == TOKEN_STATUS_CARD_NOT_INITIALIZED) rv = CKR_OK;
  rv = MapTokenResult(rv, slotId);
  SessionsFollowLogout(slotId, token->GetLoggedInUserType());
  return rv;
}

CK_RV CPkcs11App::InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_RV length = PinTextCopies::CheckLength(pPin, ulPinLen);
  if (length != CKR_OK) return length;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetState() != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV present = CKR_OK;
  const CK_RV pre = TokenPreamble(slotId, &token, &present);
  if (pre != CKR_OK) return pre;
  if (IsTokenStatus(present)) return CKR_TOKEN_WRITE_PROTECTED;
  void* pin = token->GetPinObjectForUser(CKU_USER);
  if (pin == nullptr) return CKR_FUNCTION_FAILED;
  const CK_OBJECT_HANDLE hPin = PinHandleForObject(token, pin);
  if (hPin == CK_INVALID_HANDLE) return CKR_HOST_MEMORY;
  const CK_RV rv = token->InitPin(hPin, nullptr, 0, pPin, ulPinLen, nullptr, 0);
  return rv == CKR_OK ? rv : MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
                         CK_ULONG ulNewLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pOldPin == nullptr || pNewPin == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_RV length = CheckPinLengths({{pOldPin, ulOldLen}, {pNewPin, ulNewLen}});
  if (length != CKR_OK) return length;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV present = CKR_OK;
  const CK_RV pre = TokenPreamble(slotId, &token, &present);
  if (pre != CKR_OK) return pre;
  if (IsTokenStatus(present)) return CKR_TOKEN_WRITE_PROTECTED;
  CK_USER_TYPE user = token->GetLoggedInUserType();
  if (user == CKU_NOBODY) user = CKU_USER;
  void* pin = token->GetPinObjectForUser(user);
  if (pin == nullptr) return CKR_FUNCTION_FAILED;
  const CK_OBJECT_HANDLE hPin = PinHandleForObject(token, pin);
  if (hPin == CK_INVALID_HANDLE) return CKR_HOST_MEMORY;
  const CK_RV rv = token->ChangePin(hPin, pOldPin, ulOldLen, pNewPin, ulNewLen);
  return rv == CKR_OK ? rv : MapTokenResult(rv, slotId);
}

void CPkcs11App::NoteInitFailure(CPkcs11Token* token, CK_RV rv) {
  // No one logs in to an initialisation: that answer is the card refusing a step under its
  // rules (a PIN or file it keeps), whatever the reading of the card left as the message.
  // A wrong or blocked SO PIN is told as such, whatever that reading left too. A card
  // refused as it is answers CKR_FUNCTION_FAILED, its message naming what the call found.
  char refused[512];
  const char* text = rv == CKR_USER_NOT_LOGGED_IN ? SCPkcs15Lib::GetErrorText(SC_E_ACCESS_DENIED, refused, sizeof refused)
                     : rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED ? nullptr
                                                                       : token->GetMessageText();
  m_lastError.Set(text != nullptr && *text != '\0' ? text : CkrMessageTable(rv));
}

CK_RV CPkcs11App::InitToken(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  // GetLastErrorString tells why C_InitToken failed, as it does for InitializeCard.
  m_lastError.Clear();
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pPin == nullptr || ulPinLen == 0) return CKR_ARGUMENTS_BAD;
  // An SO PIN no card takes, or one that a NUL would cut short, and a label that
  // is not UTF-8 are refused before anything is copied or sent.
  if (!IsSoPinArgument(pPin, ulPinLen) || (pLabel != nullptr && !Utf8IsWellFormed(pLabel, 32)))
    return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  if (HasSessionOnSlot(slotId)) return CKR_SESSION_EXISTS;
  CPkcs11Token* token = nullptr;
  CK_RV rv = GetSlotToken(slotId, &token);
  if (rv != CKR_OK) return MapTokenResult(rv, slotId);
  const char* profile = GetInitProfile();
  const char* file = GetInitTokenConfigFileName();
  const bool byDefault = profile == nullptr || strcasecmp(profile, "<default>") == 0 || strcasecmp(profile, "default") == 0;
  if ((profile != nullptr && strcasecmp(profile, "custom") == 0) || (byDefault && *file != '\0')) {
    TraceLog(GetLogger(), "CPkcs11App::InitToken", TRACE_INSIDE, CKR_OK,
             "Initializing specialized token using config file: %s", file);
    rv = token->InitToken(pPin, ulPinLen, file, pLabel);
  } else {
    TraceLog(GetLogger(), "CPkcs11App::InitToken", TRACE_INSIDE, CKR_OK, "Initializing default token");
    rv = token->PrepareInitToken(pPin, ulPinLen, pLabel);
  }
  if (rv != CKR_OK) NoteInitFailure(token, rv);
  if (token->HasTokenChanged()) {
    token->AcknowledgeTokenChange();
    HandleTokenLoss(slotId);
  }
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::InitializeCardInReader(const char* readerName, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                                         const char* profileName) {
  m_lastError.Clear();
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pPin != nullptr && !IsSoPinArgument(pPin, ulPinLen)) return CKR_ARGUMENTS_BAD;
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
      continue;
    }
    if (!equal) {
      if ((info.flags & CKF_TOKEN_PRESENT) != 0 && token->CheckTokenPresent() != CKR_TOKEN_NOT_RECOGNIZED) continue;
      HandleTokenLoss(id);
      token->AcknowledgeTokenChange();
      continue;
    }
    const CK_RV rv = token->InitToken(pPin, ulPinLen, profileName, nullptr);
    if (rv != CKR_OK) NoteInitFailure(token, rv);
    return rv;
  }
  m_lastError.SetFormatted("Reader named '%.100s' not found", readerName);
  return CKR_SLOT_ID_INVALID;
}

// ---- vendor members ----

#define MIRTAL_VENDOR_SESSION_START(check)                        \
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;      \
  if (check) return CKR_ARGUMENTS_BAD;                            \
  Pkcs11LockGuard guard(m_lock);                                  \
  CPkcs11Session* s = FindSession(hSession, nullptr);             \
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID

CK_RV CPkcs11App::VendorSessionToken(CPkcs11Session* s, CPkcs11Token** token, bool mapGetFailure,
                                     StatusesPassing passing) {
  const CK_SLOT_ID slotId = s->GetSlotId();
  *token = nullptr;
  const CK_RV got = GetSlotToken(slotId, token);
  if (*token == nullptr)
    return mapGetFailure && got != CKR_SLOT_ID_INVALID ? MapTokenResult(got, slotId) : CKR_GENERAL_ERROR;
  const CK_RV present = (*token)->CheckTokenPresent();
  const bool passes = present == CKR_OK ||
                      (present == TOKEN_STATUS_CARD_NOT_ACTIVATED && passing != StatusesPassing::None) ||
                      (present == TOKEN_STATUS_CARD_NOT_INITIALIZED && passing == StatusesPassing::Both);
  if (!passes) return MapTokenResult(present, slotId);
  if ((*token)->HasTokenChanged()) {
    (*token)->AcknowledgeTokenChange();
    return MapTokenResult(CKR_SESSION_CLOSED, slotId);
  }
  return CKR_OK;
}

CK_RV CPkcs11App::GetPinStatus(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_ULONG_PTR pulStatus) {
  MIRTAL_VENDOR_SESSION_START(pulStatus == nullptr);
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  int32_t tries = -1;
  CK_RV rv = token->GetPinStatus(hPin, &tries);
  if (rv == CKR_OK || rv == CKR_PIN_EXPIRED) {
    *pulStatus = tries >= 1 ? static_cast<CK_ULONG>(tries) : (tries == 0 ? CKS_MIRTAL_PIN_STATUS_OK : CKS_MIRTAL_PIN_STATUS_UNAVAILABLE);
  } else if (rv == CKR_PIN_LOCKED) {
    *pulStatus = CKS_MIRTAL_PIN_BLOCKED;
    rv = CKR_OK;
  } else if (rv == CKR_USER_PIN_NOT_INITIALIZED) {
    *pulStatus = CKS_MIRTAL_PIN_NOT_INITIALIZED;
    rv = CKR_OK;
  } else {
    *pulStatus = CKS_MIRTAL_PIN_STATUS_UNAVAILABLE;
  }
  return MapTokenResult(rv, s->GetSlotId());
}

CK_RV CPkcs11App::GetPinInfo(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, MIRTAL_PIN_INFO* pInfo) {
  MIRTAL_VENDOR_SESSION_START(pInfo == nullptr);
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->GetPinInfo(hPin, pInfo), s->GetSlotId());
}

CK_RV CPkcs11App::GetPinList(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phPins, CK_ULONG_PTR pulCount) {
  MIRTAL_VENDOR_SESSION_START(pulCount == nullptr);
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, true);
  if (pre != CKR_OK) return pre;
  PointerList pins(8);
  const CK_RV rv = token->GetPinList(&pins);
  if (rv != CKR_OK) return MapTokenResult(rv, s->GetSlotId());
  // Every PIN object gets its handle; the user's PIN comes first, then the officer's.
  void* const user = token->GetPinObjectForUser(CKU_USER);
  void* const so = token->GetPinObjectForUser(CKU_SO);
  std::vector<CK_OBJECT_HANDLE> ordered;
  ordered.reserve(static_cast<size_t>(pins.GetCount()));
  bool haveUser = false, haveSo = false;
  for (POSITION p = pins.GetHeadPosition(); p;) {
    void* pin = pins.GetNext(p);
    const CK_OBJECT_HANDLE h = PinHandleForObject(token, pin);
    if (h == CK_INVALID_HANDLE) return CKR_HOST_MEMORY;
    haveUser = haveUser || (pin == user && user != nullptr);
    haveSo = haveSo || (pin == so && so != nullptr);
  }
  if (haveUser) ordered.push_back(token->GetHandleForObject(user));
  if (haveSo) ordered.push_back(token->GetHandleForObject(so));
  for (POSITION p = pins.GetHeadPosition(); p;) {
    void* pin = pins.GetNext(p);
    if ((haveUser && pin == user) || (haveSo && pin == so)) continue;
    ordered.push_back(token->GetHandleForObject(pin));
  }
  const CK_ULONG n = static_cast<CK_ULONG>(ordered.size());
  if (phPins == nullptr) {
    *pulCount = n;
    return CKR_OK;
  }
  if (*pulCount < n) {
    *pulCount = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; i < n; ++i) phPins[i] = ordered[i];
  *pulCount = n;
  return CKR_OK;
}

CK_RV CPkcs11App::ChangePin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pOldPin,
                            CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  MIRTAL_VENDOR_SESSION_START(false);
  const CK_RV length = CheckPinLengths({{pOldPin, ulOldLen}, {pNewPin, ulNewLen}});
  if (length != CKR_OK) return length;
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->ChangePin(hPin, pOldPin, ulOldLen, pNewPin, ulNewLen), s->GetSlotId());
}

CK_RV CPkcs11App::UnblockPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pPuk,
                             CK_ULONG ulPukLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  MIRTAL_VENDOR_SESSION_START(false);
  const CK_RV length = CheckPinLengths({{pPuk, ulPukLen}, {pNewPin, ulNewLen}});
  if (length != CKR_OK) return length;
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->UnblockPin(hPin, pPuk, ulPukLen, pNewPin, ulNewLen), s->GetSlotId());
}

CK_RV CPkcs11App::InitPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pProtecting,
                          CK_ULONG ulProtectingLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen, CK_UTF8CHAR_PTR pPuk,
                          CK_ULONG ulPukLen) {
  MIRTAL_VENDOR_SESSION_START(false);
  const CK_RV length = CheckPinLengths({{pProtecting, ulProtectingLen}, {pNewPin, ulNewLen}, {pPuk, ulPukLen}});
  if (length != CKR_OK) return length;
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->InitPin(hPin, pProtecting, ulProtectingLen, pNewPin, ulNewLen, pPuk, ulPukLen),
                        s->GetSlotId());
}

CK_RV CPkcs11App::ActivateTokenQualifiedPart(CK_SESSION_HANDLE hSession, CK_ULONG) {
  MIRTAL_VENDOR_SESSION_START(false);
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false, StatusesPassing::None);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->ActivateTokenQualifiedPart(), s->GetSlotId());
}

CK_RV CPkcs11App::GetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE type, CK_VOID_PTR pData,
                               CK_ULONG_PTR pulLen) {
  if (pulLen == nullptr) return CKR_ARGUMENTS_BAD;
  MIRTAL_VENDOR_SESSION_START(false);
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->GetTokenData(type, static_cast<CK_BYTE_PTR>(pData), pulLen), s->GetSlotId());
}

CK_RV CPkcs11App::SetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE type, CK_VOID_PTR pData,
                               CK_ULONG ulLen) {
  MIRTAL_VENDOR_SESSION_START(false);
  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  CPkcs11Token* token = nullptr;
  const CK_RV pre = VendorSessionToken(s, &token, false, StatusesPassing::NotActivated);
  if (pre != CKR_OK) return pre;
  return MapTokenResult(token->SetTokenData(type, static_cast<CK_BYTE_PTR>(pData), ulLen), s->GetSlotId());
}

CK_RV CPkcs11App::GetQualifiedPartCharacteristics(CK_SLOT_ID slotId, CK_FLAGS* pOut, bool flag) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pOut == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV present = token->CheckTokenPresent();
  if (present != CKR_OK) return MapTokenResult(present, slotId);
  const CK_RV rv = token->GetQualifiedPartCharacteristics(flag ? 2 : 1, pOut);
  // A card found changed on the way still gives the operation's own answer.
  CheckTokenChange(slotId, token);
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::TerminateTokenUsage(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  if (slotId >= m_slotCount) return CKR_SLOT_ID_INVALID;
  CPkcs11Token* token = nullptr;
  const CK_RV got = GetSlotToken(slotId, &token);
  if (got != CKR_OK) return MapTokenResult(got, slotId);
  const CK_RV present = token->CheckTokenPresent();
  if (IsTokenStatus(present)) return CKR_TOKEN_NOT_RECOGNIZED;
  if (present != CKR_OK) return MapTokenResult(present, slotId);
  const CK_RV rv = token->TerminateTokenUsage(pPin, ulPinLen);
  CheckTokenChange(slotId, token);
  return MapTokenResult(rv, slotId);
}
