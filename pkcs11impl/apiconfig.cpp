#include "pkcs11impl/apiconfig.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "pkcs11impl/app.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/thread.h"
#include "pkcs11impl/tracelog.h"
#include "smartcard/sc_readeroptions.h"
#include "support/cfgfile.h"
#include "support/cfginifile.h"
#include "support/cfgregistry.h"
#include "support/debuglog.h"
#include "support/safefile.h"

#ifndef MIRTAL_ETC_DIR
#define MIRTAL_ETC_DIR "/etc"
#endif

// The test module of the system-wide files replaces this with its own folder.
__attribute__((weak)) const char* MirtalEtcDir() { return MIRTAL_ETC_DIR; }

namespace {

std::atomic<bool> g_vtestMsgBox{false};

const uint32_t kIniSourceOptions = CFG_FILE_SECTION_PATHS | CFG_FILE_TRIM_NAMES;  // 0x10001

bool StartsWithNoCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Splits "Name[qualifier]" into its parts; no brackets: the qualifier is "".
void SplitQualifiedName(const std::string& name, std::string* base, std::string* qualifier, bool* hasQualifier) {
  const size_t open = name.find('[');
  if (open != std::string::npos && !name.empty() && name.back() == ']') {
    *base = name.substr(0, open);
    *qualifier = name.substr(open + 1, name.size() - open - 2);
    *hasQualifier = true;
  } else {
    *base = name;
    qualifier->clear();
    *hasQualifier = false;
  }
}

// Typed reads from a section where values may have arrived as text (the
// application and reader sections take every parameter of the files).
const CfgParamAndValue* FindValue(const CfgSection* s, const char* name) {
  if (s == nullptr) return nullptr;
  const CfgParamAndValue* p = s->FindParam(name, true);
  return (p != nullptr && p->HasValue()) ? p : nullptr;
}

bool ReadLenientInt(const CfgParamAndValue* p, unsigned long* out) {
  if (p == nullptr) return false;
  switch (p->GetType()) {
    case CFG_TYPE_INT:
      return p->GetInt(out);
    case CFG_TYPE_BOOL: {
      bool b = false;
      if (!p->GetBool(&b)) return false;
      *out = b ? 1 : 0;
      return true;
    }
    case CFG_TYPE_TEXT: {
      const char* t = nullptr;
      return p->GetString(&t) && t != nullptr && CfgParseInt(t, out) == 1;
    }
    default:
      return false;
  }
}

bool ReadLenientBool(const CfgParamAndValue* p, bool* out) {
  if (p == nullptr) return false;
  switch (p->GetType()) {
    case CFG_TYPE_INT: {
      unsigned long v = 0;
      if (!p->GetInt(&v)) return false;
      *out = v != 0;
      return true;
    }
    case CFG_TYPE_BOOL:
      return p->GetBool(out);
    case CFG_TYPE_TEXT: {
      const char* t = nullptr;
      return p->GetString(&t) && t != nullptr && CfgParseBool(t, out) == 1;
    }
    case CFG_TYPE_BINARY: {
      const uint8_t* d = nullptr;
      uint32_t n = 0;
      if (!p->GetBinary(&d, &n)) return false;
      bool any = false;
      for (uint32_t i = 0; i < n; ++i) any = any || d[i] != 0;
      *out = any;
      return true;
    }
    default:
      return false;
  }
}

bool ReadLenientString(const CfgParamAndValue* p, std::string* out) {
  if (p == nullptr) return false;
  if (p->GetType() == CFG_TYPE_TEXT) {
    const char* t = nullptr;
    if (!p->GetString(&t)) return false;
    *out = t ? t : "";
    return true;
  }
  if (p->GetType() == CFG_TYPE_INT) {
    unsigned long v = 0;
    if (!p->GetInt(&v)) return false;
    *out = std::to_string(v);
    return true;
  }
  return false;
}

// One optional text value of the configuration.
struct OptText {
  bool set = false;
  std::string value;
  const char* Get() const { return set ? value.c_str() : nullptr; }
};

struct ApiValues {
  bool enableLogging = false;
  std::string logFileName = CFG_DEFAULT_LOG_FILE_NAME;
  bool lockLogging = false;
  bool vtestMsgBox = false;
  OptText pcscLibrary, dravokLibrary, readerSubsystems, allowedReaders, initProfile;
  unsigned long certLabels = 1;
  unsigned long pkcs15Flags = PKCS15_FLAGS_CONFIG_DEFAULT;
  unsigned long maxTokenCount = PKCS15_DEFAULT_TOKENS_PER_READER;
  bool forceRecognizeSet = false;
  unsigned long forceRecognize = 0;
  bool secureMessaging = false;
};

bool IsNegative(unsigned long v) { return static_cast<long>(v) < 0; }

void ReadGlobalValues(const CfgManager& cfg, ApiValues* v) {
  bool b = false;
  unsigned long n = 0;
  const char* t = nullptr;
  if (cfg.GetBool(CFGKEY_ENABLE_LOGGING, &b)) v->enableLogging = b;
  if (cfg.GetString(CFGKEY_LOG_FILE_NAME, &t) && t) v->logFileName = t;
  if (cfg.GetBool(CFGKEY_ENABLE_LOCK_LOGGING, &b)) v->lockLogging = b;
  if (cfg.GetBool(CFGKEY_VTEST_MSGBOX, &b)) v->vtestMsgBox = b;
  auto text = [&](const char* key, OptText* out) {
    const char* s = nullptr;
    if (cfg.GetString(key, &s) && s) {
      out->set = true;
      out->value = s;
    }
  };
  text(CFGKEY_PCSC_LIBRARY, &v->pcscLibrary);
  text(CFGKEY_DRAVOK_LIBRARY, &v->dravokLibrary);
  text(CFGKEY_ENABLED_READER_SUBSYSTEMS, &v->readerSubsystems);
  if (cfg.GetInt(CFGKEY_GENERATE_CERT_LABELS, &n)) v->certLabels = n;
  if (cfg.GetInt(CFGKEY_PKCS15_FLAGS, &n)) v->pkcs15Flags = IsNegative(n) ? PKCS15_FLAGS_CONFIG_DEFAULT : n;
  if (cfg.GetInt(CFGKEY_PKCS15_MAX_TOKEN_COUNT, &n)) v->maxTokenCount = n;
  if (cfg.GetInt(CFGKEY_FORCE_RECOGNIZE_PKCS15, &n)) {
    v->forceRecognizeSet = true;
    v->forceRecognize = n;
  }
  if (cfg.GetBool(CFGKEY_ENABLE_SECURE_MESSAGING, &b)) v->secureMessaging = b;
  text(CFGKEY_ALLOWED_READER_LIST, &v->allowedReaders);
  text(CFGKEY_INIT_PROFILE, &v->initProfile);
}

// A value of a system-only key counts only when a system-wide source gave it.
bool FromSystemSource(const CfgParamAndValue* p) {
  return p != nullptr && p->GetSource() != nullptr && p->GetSource()->IsSystemSource();
}

void ReadAppValues(const CfgSection* s, ApiValues* v) {
  bool b = false;
  unsigned long n = 0;
  std::string t;
  if (ReadLenientBool(FindValue(s, CFGKEY_ENABLE_LOGGING), &b)) v->enableLogging = b;
  if (ReadLenientString(FindValue(s, CFGKEY_LOG_FILE_NAME), &t)) v->logFileName = t;
  if (ReadLenientBool(FindValue(s, CFGKEY_ENABLE_LOCK_LOGGING), &b)) v->lockLogging = b;
  if (ReadLenientBool(FindValue(s, CFGKEY_VTEST_MSGBOX), &b)) v->vtestMsgBox = b;
  auto text = [&](const char* key, OptText* out) {
    std::string value;
    if (ReadLenientString(FindValue(s, key), &value)) {
      out->set = true;
      out->value = value;
    }
  };
  text(CFGKEY_PCSC_LIBRARY, &v->pcscLibrary);
  text(CFGKEY_DRAVOK_LIBRARY, &v->dravokLibrary);
  text(CFGKEY_ENABLED_READER_SUBSYSTEMS, &v->readerSubsystems);
  if (ReadLenientInt(FindValue(s, CFGKEY_GENERATE_CERT_LABELS), &n)) v->certLabels = n;
  if (ReadLenientInt(FindValue(s, CFGKEY_PKCS15_FLAGS), &n) && !IsNegative(n)) v->pkcs15Flags = n;
  if (ReadLenientInt(FindValue(s, CFGKEY_PKCS15_MAX_TOKEN_COUNT), &n)) v->maxTokenCount = n;
  const CfgParamAndValue* force = FindValue(s, CFGKEY_FORCE_RECOGNIZE_PKCS15);
  if (FromSystemSource(force) && ReadLenientInt(force, &n)) {
    v->forceRecognizeSet = true;
    v->forceRecognize = n;
  }
  if (ReadLenientBool(FindValue(s, CFGKEY_ENABLE_SECURE_MESSAGING), &b)) v->secureMessaging = b;
  text(CFGKEY_ALLOWED_READER_LIST, &v->allowedReaders);
  const CfgParamAndValue* profile = FindValue(s, CFGKEY_INIT_PROFILE);
  if (FromSystemSource(profile) && ReadLenientString(profile, &t)) {
    v->initProfile.set = true;
    v->initProfile.value = t;
  }
}

// The reader keys of one options record, read from the reader section and then
// from the application's reader section, which wins.
struct ReaderKeySource {
  const CfgSection* primary;
  const CfgSection* override;
  const CfgParamAndValue* Find(const char* name) const {
    const CfgParamAndValue* p = FindValue(override, name);
    return p != nullptr ? p : FindValue(primary, name);
  }
  bool Bool(const char* name, bool* out) const { return ReadLenientBool(Find(name), out); }
  bool Int(const char* name, unsigned long* out) const { return ReadLenientInt(Find(name), out); }
};

void ApplyReaderKeys(const ReaderKeySource& keys, SCPkcs15Lib::ReaderOptions* r) {
  bool b = false;
  unsigned long n = 0;
  if (keys.Bool("Disabled", &b)) r->flags = b ? (r->flags | SC_ROPT_FLAG_DISABLED) : (r->flags & ~SC_ROPT_FLAG_DISABLED);
  bool disablePinpad = false;
  const bool hasDisable = keys.Bool("DisablePinpad", &disablePinpad);
  if (hasDisable && disablePinpad) {
    r->options = scRoptSetPinpadMode(r->options, static_cast<uint32_t>(SC_ROPT_PINPAD_DISABLED));
  } else if (keys.Bool("ForceEnablePinpad", &b) && b) {
    r->options = scRoptSetPinpadMode(r->options, static_cast<uint32_t>(SC_ROPT_PINPAD_FORCED));
  }
  if (keys.Int("DefaultProtocols", &n)) r->options = scRoptSetDefaultProtocols(r->options, static_cast<uint32_t>(n & 0xF));
  if (keys.Int("DisableProtocols", &n)) r->options = scRoptSetDisabledProtocols(r->options, static_cast<uint32_t>(n & 0xF));
  auto bit = [&](const char* key, uint64_t mask) {
    bool on = false;
    if (keys.Bool(key, &on)) r->options = on ? (r->options | mask) : (r->options & ~mask);
  };
  bit("ForceDefaultProtocols", SC_ROPT_FORCE_DEFAULT_PROTOCOLS);
  bit("ReconnectOnProtoFail", SC_ROPT_RECONNECT_ON_PROTO_FAIL);
  bit("ResetOnProtoFail", SC_ROPT_RESET_ON_PROTO_FAIL);
  bit("ReconnectOnShareFail", SC_ROPT_RECONNECT_ON_SHARE_FAIL);
  bit("ResetOnShareFail", SC_ROPT_RESET_ON_SHARE_FAIL);
  bit("FallbackToDefaultProtocol", SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL);
  auto limit = [&](SCReaderLimit which, unsigned long value, unsigned long max) {
    if (value >= 1 && value <= max) r->limits = scRoptSetLimit(r->limits, which, static_cast<uint16_t>(value));
  };
  if (keys.Int("MaxSendBytes", &n)) {
    limit(SC_RLIMIT_T0_SEND, n, 254);
    limit(SC_RLIMIT_T1_SEND, n, 65534);
  }
  if (keys.Int("MaxT0SendBytes", &n)) limit(SC_RLIMIT_T0_SEND, n, 254);
  if (keys.Int("MaxT1SendBytes", &n)) limit(SC_RLIMIT_T1_SEND, n, 65534);
  if (keys.Int("MaxRecvBytes", &n)) {
    limit(SC_RLIMIT_T0_RECV, n, 255);
    limit(SC_RLIMIT_T1_RECV, n, 65535);
  }
  if (keys.Int("MaxT0RecvBytes", &n)) limit(SC_RLIMIT_T0_RECV, n, 255);
  if (keys.Int("MaxT1RecvBytes", &n)) limit(SC_RLIMIT_T1_RECV, n, 65535);
  // The wait time is a 32-bit field: a larger value is refused, not cut.
  if (keys.Int("APDUWaitTime", &n) && !IsNegative(n) && n <= 0xFFFFFFFFUL)
    r->options = scRoptSetWaitTime(r->options, static_cast<uint32_t>(n));
}

}  // namespace

// ---------------------------------------------------------------------------

CfgPkcs11ApiConfig::CfgPkcs11ApiConfig() { SetSystemDirectory(MirtalEtcDir()); }

CfgPkcs11ApiConfig::~CfgPkcs11ApiConfig() { ReleaseOwnedObject(); }

void CfgPkcs11ApiConfig::ReleaseOwnedObject() {
  if (m_ownsMainSource) {
    m_ownsMainSource = false;
    delete m_mainSource;
  }
  m_mainSource = nullptr;
}

void CfgPkcs11ApiConfig::Attach(CPkcs11App* app, TraceLogger* logger, Pkcs11Lock* globalLock, CPkcs15Lib* bridge) {
  m_app = app;
  m_logger = logger;
  m_globalLock = globalLock;
  m_bridge = bridge;
}

bool CfgPkcs11ApiConfig::Read() { return CfgManager::Read(); }

bool CfgPkcs11ApiConfig::DeclareOptions() {
  if (!SetConfigName("pkcs11", "MIRTAL")) return false;
  struct Decl {
    const char* name;
    uint32_t type;
    uint32_t flags;
  };
  static const Decl kDecls[] = {
      {CFGKEY_LOG_FILE_NAME, CFG_TYPE_TEXT, 0},
      {CFGKEY_ENABLE_LOGGING, CFG_TYPE_BOOL, 0},
      {CFGKEY_ENABLE_LOCK_LOGGING, CFG_TYPE_BOOL, 0},
      {CFGKEY_VTEST_MSGBOX, CFG_TYPE_BOOL, 0},
      {CFGKEY_DISABLE_LOCKING, CFG_TYPE_BOOL, 0},
      {CFGKEY_PKCS15_FLAGS, CFG_TYPE_INT, 0},
      {CFGKEY_GENERATE_CERT_LABELS, CFG_TYPE_INT, 0},
      {CFGKEY_SIGG_FLAGS, CFG_TYPE_INT, 0},
      {CFGKEY_PKCS15_MAX_TOKEN_COUNT, CFG_TYPE_INT, 0},
      {CFGKEY_ENABLED_READER_SUBSYSTEMS, CFG_TYPE_TEXT, 0},
      {CFGKEY_PCSC_LIBRARY, CFG_TYPE_TEXT, 0},
      {CFGKEY_DRAVOK_LIBRARY, CFG_TYPE_TEXT, 0},
      {CFGKEY_FORCE_RECOGNIZE_PKCS15, CFG_TYPE_INT, CFG_OPT_SYSTEM_ONLY},
      {CFGKEY_ENABLE_SECURE_MESSAGING, CFG_TYPE_BOOL, 0},
      {CFGKEY_ALLOWED_READER_LIST, CFG_TYPE_TEXT, 0},
      {CFGKEY_INIT_TOKEN_CONFIG_FILE, CFG_TYPE_TEXT, CFG_OPT_SYSTEM_ONLY | CFG_OPT_KEEP_FIRST},
      {CFGKEY_INIT_PROFILE, CFG_TYPE_TEXT, CFG_OPT_SYSTEM_ONLY | CFG_OPT_KEEP_FIRST},
  };
  for (const Decl& d : kDecls) {
    CfgParamAndValue* o = GetOrDeclareOption(d.name, nullptr, d.type, true);
    if (o == nullptr) return false;
    if (d.flags) o->SetFlags(true, d.flags);
  }
  if (!SetSectionFlags(CFG_SECTION_READERS, 0x37, true)) return false;
  if (!SetSectionFlags(CFG_SECTION_APPS, 0x17, true)) return false;
  if (LoadMainConfigFile()) return true;
  return AddStandardSources();
}

// ---- sources ----

void CfgPkcs11ApiConfig::GetMainConfigFileCandidates(std::string out[2]) {
  const std::string base = std::string(MirtalEtcDir()) + "/MIRTAL/" + GetLibraryBaseName();
  out[0] = base + ".conf";
  out[1] = base + ".ini";
}

bool CfgPkcs11ApiConfig::FindMainConfigFile(std::string* path) const {
  std::string candidates[2];
  GetMainConfigFileCandidates(candidates);
  for (const std::string& c : candidates) {
    // Opened without waiting: a FIFO under the name is passed over.
    FILE* f = OpenBoundedRegularFile(c.c_str(), CONFIG_FILE_MAX_SIZE, nullptr);
    if (f != nullptr) {
      std::fclose(f);
      if (path) *path = c;
      return true;
    }
  }
  return false;
}

bool CfgPkcs11ApiConfig::LoadMainConfigFile() {
  std::string path;
  if (!FindMainConfigFile(&path)) return false;
  ReleaseOwnedObject();
  m_mainSource = new (std::nothrow) CfgIniFile(0);
  if (m_mainSource == nullptr) return false;
  m_ownsMainSource = true;
  m_mainSource->SetSourceFlags(true, CFG_SOURCE_SYSTEM);
  m_mainSource->SetMessageHandler(GetMessageHandler());
  if (!m_mainSource->SetPath(path.c_str()) || !m_mainSource->Read()) return false;
  if (!AddConfiguredSources()) return false;
  try {
    AddHead(m_mainSource);
  } catch (const std::bad_alloc&) {
    return false;
  }
  m_ownsMainSource = false;  // the source list owns it now
  return true;
}

bool CfgPkcs11ApiConfig::AddConfiguredSources() {
  CfgIniFile* main = m_mainSource;
  if (main == nullptr) return false;
  struct Entry {
    std::string name, base, qualifier;
    bool hasQualifier;
  };
  std::vector<Entry> params;
  size_t it = 0;
  std::string name;
  uint32_t type = 0;
  int r;
  while ((r = main->GetNextParam(nullptr, &it, &name, &type)) == 0) {
    Entry e;
    e.name = name;
    SplitQualifiedName(name, &e.base, &e.qualifier, &e.hasQualifier);
    params.push_back(e);
  }
  if (r == 2) return true;  // no global section

  std::string home;
  GetHomeDirectory(&home);
  int addConfigCount = 0;
  for (const Entry& e : params) {
    if (strcasecmp(e.base.c_str(), "AddConfig") != 0) continue;
    ++addConfigCount;
    bool found = false;
    const char* raw = main->GetString(nullptr, e.name.c_str(), nullptr, &found);
    if (!found || raw == nullptr || *raw == '\0') continue;
    std::string value = raw;
    int kind;
    if (StartsWithNoCase(value.c_str(), "reg:")) {
      kind = CFG_SOURCE_REGISTRY;
      value.erase(0, 4);
    } else if (StartsWithNoCase(value.c_str(), "ini:")) {
      kind = CFG_SOURCE_INI;
      value.erase(0, 4);
    } else if (StartsWithNoCase(value.c_str(), "file:")) {
      kind = CFG_SOURCE_FILE;
      value.erase(0, 5);
    } else {
      kind = CfgRegistry::GetRootKey(value.c_str()) != nullptr ? CFG_SOURCE_REGISTRY : CFG_SOURCE_INI;
    }
    CfgBase* src = CreateSource(kind);
    if (src == nullptr) return false;
    if (!src->SetPath(value.c_str())) {
      delete src;
      return false;
    }
    bool system;
    if (kind == CFG_SOURCE_REGISTRY) {
      const bool user = StartsWithNoCase(value.c_str(), "HKCU") ||
                        StartsWithNoCase(value.c_str(), "HKEY_CURRENT_USER") ||
                        CfgRegistry::GetRootKey(value.c_str()) == nullptr;
      system = !user;
    } else {
      // An unset home matches every path, so such files count as the user's.
      const bool user = value[0] == '~' || strncasecmp(value.c_str(), home.c_str(), home.size()) == 0;
      system = !user;
      if (CfgFile* f = dynamic_cast<CfgFile*>(src)) {
        if (kind == CFG_SOURCE_INI) f->SetOptionFlags(true, kIniSourceOptions);
      }
    }
    for (const Entry& a : params) {
      if (strcasecmp(a.base.c_str(), "ConfigIsAdmin") != 0) continue;
      if (a.hasQualifier != e.hasQualifier || a.qualifier != e.qualifier) continue;
      bool admin = false;
      const char* t = main->GetString(nullptr, a.name.c_str(), nullptr, &found);
      if (found && t != nullptr && CfgParseBool(t, &admin) == 1) system = admin;
      break;
    }
    src->SetSourceFlags(system, CFG_SOURCE_SYSTEM);
    src->SetMessageHandler(GetMessageHandler());
    try {
      AddTail(src);
    } catch (const std::bad_alloc&) {
      delete src;
      return false;
    }
  }
  bool readStandard = addConfigCount == 0;
  bool found = false;
  const char* t = main->GetString(nullptr, "ReadStandardCfg", nullptr, &found);
  bool parsed = false;
  if (found && t != nullptr && CfgParseBool(t, &parsed) == 1) readStandard = parsed;
  if (readStandard) return AddStandardSources();
  return true;
}

bool CfgPkcs11ApiConfig::AddStandardSources() {
  const std::string n = GetConfigName();
  const char* d = GetConfigDirectory();
  const bool own = n == "pkcs11";
  if (!own && !AddStandardSource(d, "pkcs11", true)) return false;
  if (!AddStandardSource(d, n.c_str(), true)) return false;
  if (!own && !AddStandardSource(d, "pkcs11", false)) return false;
  return AddStandardSource(d, n.c_str(), false) != nullptr;
}

CfgBase* CfgPkcs11ApiConfig::AddStandardSource(const char* directory, const char* name, bool system) {
  std::string path = system ? std::string(MirtalEtcDir()) + "/" : std::string("~/.");
  if (directory != nullptr && *directory != '\0') path += std::string(directory) + "/";
  path += std::string(name ? name : "") + ".conf";
  return AddConfigFileSource(path.c_str(), system);
}

CfgBase* CfgPkcs11ApiConfig::AddConfigFileSource(const char* path, bool system) {
  CfgBase* s = AddSource(CFG_SOURCE_INI, path);
  if (s == nullptr) return nullptr;
  s->SetSourceFlags(system, CFG_SOURCE_SYSTEM);
  if (CfgFile* f = dynamic_cast<CfgFile*>(s)) f->SetOptionFlags(true, kIniSourceOptions);
  return s;
}

std::string CfgPkcs11ApiConfig::FindAppSection(bool ignoreCase) const {
  const std::string process = GetHostProcessName();
  const bool processHasSlash = process.find('/') != std::string::npos;
  std::string best;
  int bestScore = 0;
  size_t pos = 0;
  while (CfgSection* s = FindNextSection(CFG_SECTION_APPS, &pos, true)) {
    std::string pattern = s->GetShortName();
    if (processHasSlash && pattern.find('/') == std::string::npos) pattern = "*/" + pattern;
    const int score = WildcardMatchScore(process.c_str(), pattern.c_str(), ignoreCase);
    if (score > bestScore) {
      bestScore = score;
      best = s->GetName();
    }
  }
  return best;
}

bool CfgPkcs11ApiConfig::CheckInitProfile(std::string* messagePl, std::string* messageEn) const {
  static const char* const kAccepted[] = {"<default>", "default", "normal", "standard", "rokvast", "3tokens", "custom"};
  const CfgParamAndValue* p = FindOption(CFGKEY_INIT_PROFILE, nullptr);
  const char* value = nullptr;
  if (p != nullptr && p->HasValue() && p->GetString(&value) && value != nullptr) {
    for (const char* a : kAccepted)
      if (strcasecmp(value, a) == 0) return true;
    const CfgBase* src = p->GetSource();
    if (src != nullptr) {
      if (messagePl)
        CfgFormat(messagePl,
                  "Opcja '%s' określająca sposób inicjowania kart ma niepoprawną/nieobsługiwaną wartość '%s' w pliku "
                  "konfiguracyjnym\n%s.\n\nProszę zdefiniować w tym pliku wskazaną opcję ustawiając jej wartość na "
                  "'standard', 'rokvast' lub '3tokens'.",
                  CFGKEY_INIT_PROFILE, value, src->GetPath());
      if (messageEn)
        CfgFormat(messageEn,
                  "Option '%s' defining card initialization profile has unsupported value '%s' in configuration "
                  "file\n%s.\n\nValid option values are 'standard', 'rokvast' or '3tokens'.",
                  CFGKEY_INIT_PROFILE, value, src->GetPath());
    } else {
      if (messagePl)
        CfgFormat(messagePl,
                  "Opcja '%s' określająca sposób inicjowania kart ma niepoprawną/nieobsługiwaną wartość '%s'.\n\n"
                  "Proszę zdefiniować wskazaną opcję ustawiając jej wartość na 'standard', 'rokvast' lub '3tokens'.",
                  CFGKEY_INIT_PROFILE, value);
      if (messageEn)
        CfgFormat(messageEn,
                  "Option '%s' defining card initialization profile has unsupported value '%s'.\n\nValid option "
                  "values are 'standard', 'rokvast' or '3tokens'.",
                  CFGKEY_INIT_PROFILE, value);
    }
    return false;
  }
  if (GetCount() == 1) {
    const char* path = GetHead()->GetPath();
    if (messagePl)
      CfgFormat(messagePl,
                "Brak opcji '%s' określającej sposób inicjowania kart w pliku konfiguracyjnym\n%s.\n\nProszę "
                "zdefiniować w tym pliku wskazaną opcję ustawiając jej wartość na 'standard', 'rokvast' lub '3tokens'.",
                CFGKEY_INIT_PROFILE, path);
    if (messageEn)
      CfgFormat(messageEn,
                "No option '%s' defining card initialization profile was found in configuration file\n%s.\n\nValid "
                "option values are 'standard', 'rokvast' or '3tokens'.",
                CFGKEY_INIT_PROFILE, path);
    return false;
  }
  if (messagePl) {
    CfgFormat(messagePl,
              "Brak opcji '%s' określającej sposób inicjowania kart.\n\nProszę zdefiniować wskazaną opcję ustawiając "
              "jej wartość na 'standard', 'rokvast' lub '3tokens' w jednym z poniższych plików konfiguracyjnych:\n",
              CFGKEY_INIT_PROFILE);
    for (POSITION q = GetHeadPosition(); q;) CfgAppendFormat(messagePl, " - '%s'\n", GetNext(q)->GetPath());
  }
  if (messageEn) {
    CfgFormat(messageEn,
              "No option '%s' defining card initialization profile was found in any of configuration files:\n",
              CFGKEY_INIT_PROFILE);
    for (POSITION q = GetHeadPosition(); q;) CfgAppendFormat(messageEn, " - '%s'\n", GetNext(q)->GetPath());
    *messageEn += "Valid option values are 'standard', 'rokvast' or '3tokens'.";
  }
  return false;
}

// ---- applying ----

int CfgPkcs11ApiConfig::Apply() {
  ApiValues v;
  ReadGlobalValues(*this, &v);
  const std::string appSectionName = FindAppSection(false);
  const CfgSection* appSection = appSectionName.empty() ? nullptr : FindSection(appSectionName.c_str());
  if (appSection != nullptr) ReadAppValues(appSection, &v);

  CPkcs15Lib* bridge = m_bridge;
  if (bridge != nullptr) {
    bridge->SetPcscLibrary(v.pcscLibrary.Get());
    bridge->SetDravokLibrary(v.dravokLibrary.Get());
    bridge->SetEnabledReaderSubsystems(v.readerSubsystems.Get());
  }
  if (m_app != nullptr) {
    m_app->SetCertLabelMode(static_cast<uint32_t>(v.certLabels));
    m_app->SetInitTokenConfigFileName(nullptr);
    m_app->SetInitProfile(v.initProfile.Get());
  } else if (bridge != nullptr) {
    bridge->SetInitProfile(v.initProfile.Get());
  }

  unsigned long flags = v.pkcs15Flags;
  if (v.enableLogging) {
    m_expandedLogFileName = ExpandLogFileName(v.logFileName.c_str());
    m_loggingOn = DebugLogSetFile(m_expandedLogFileName.c_str()) == 0;
  } else {
    LogDisableOutput(nullptr);
    m_expandedLogFileName.clear();
    m_loggingOn = false;
  }
  if (!m_loggingOn) flags &= ~static_cast<unsigned long>(PKCS15_FLAGS_LOGGING_MASK);

  if (bridge != nullptr && v.maxTokenCount >= 1 && v.maxTokenCount <= 10) {
    bridge->SetMaxTokenCount(static_cast<uint32_t>(v.maxTokenCount));
    if (!bridge->IsInitialized()) bridge->SetTokensPerReader(static_cast<uint32_t>(v.maxTokenCount));
  }

  if (m_logger != nullptr) m_logger->SetEnabled(m_loggingOn);
  const bool lockLogging = m_loggingOn && v.lockLogging;
  TraceLogger* lockLogger = lockLogging ? m_logger : nullptr;
  if (m_globalLock != nullptr) m_globalLock->SetLogger(lockLogger);
  if (bridge != nullptr) {
    bridge->SetLockLogger(lockLogger);
    bridge->EnableReaderLockLogging(lockLogging);
  }

  g_vtestMsgBox.store(v.vtestMsgBox);

  if (v.forceRecognizeSet)
    flags = v.forceRecognize != 0 ? (flags | PKCS15_FLAG_ANY_CARD_BLANK) : (flags & ~static_cast<unsigned long>(PKCS15_FLAG_ANY_CARD_BLANK));

  m_inForce.logging = m_loggingOn;
  m_inForce.lockLogging = lockLogging;
  m_inForce.logFileName = v.logFileName;
  m_inForce.pkcs15Flags = flags & 0xFFFFFFFFUL;
  m_inForce.maxTokenCount = bridge != nullptr ? bridge->GetMaxTokenCount()
                            : (v.maxTokenCount >= 1 && v.maxTokenCount <= 10 ? v.maxTokenCount
                                                                             : PKCS15_DEFAULT_TOKENS_PER_READER);
  m_inForce.hasPcscLibrary = v.pcscLibrary.set;
  m_inForce.pcscLibrary = v.pcscLibrary.value;
  m_inForce.hasInitProfile = v.initProfile.set;
  m_inForce.initProfile = v.initProfile.value;

  if (bridge != nullptr) {
    bridge->SetPkcs15Flags(static_cast<uint32_t>(flags & 0xFFFFFFFFUL));
    bridge->SetOptionBits(v.secureMessaging ? 0 : PKCS15_OPTION_SM_OFF, PKCS15_OPTION_SM_MASK);

    bridge->ClearAllowedReaders();
    if (v.allowedReaders.set) {
      const std::string& list = v.allowedReaders.value;
      size_t start = 0;
      while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) bridge->AddAllowedReader(list.substr(start, end - start).c_str());
        start = end + 1;
      }
    }
    bridge->ClearReaderOptions();

    // The first section of a name wins; the names taken are kept here, as a
    // search of the bridge's list for each would grow with the square of them.
    std::unordered_set<std::string> taken;
    size_t pos = 0;
    while (CfgSection* s = FindNextSection(CFG_SECTION_READERS, &pos, true)) {
      const char* shortName = s->GetShortName();
      bool fresh;
      try {
        fresh = taken.insert(shortName).second;
      } catch (const std::bad_alloc&) {
        fresh = bridge->FindReaderOptions(shortName) == nullptr;
      }
      if (!fresh) continue;
      const CfgSection* appReaders = nullptr;
      if (appSection != nullptr) {
        const std::string name = appSectionName + "\\" CFG_SECTION_READERS "\\" + shortName;
        appReaders = GetSections().FindSection(name.c_str(), true);
      }
      ReaderKeySource keys{s, appReaders};
      bool ignoreCase = false;
      const bool hasIgnoreCase = ReadLenientBool(FindValue(s, "IgnoreCase"), &ignoreCase);
      SCPkcs15Lib::ReaderOptions* r = bridge->AddReaderOptions(shortName);
      if (r == nullptr) continue;
      if (hasIgnoreCase && ignoreCase) r->flags |= SC_ROPT_FLAG_IGNORE_CASE;
      ApplyReaderKeys(keys, r);
    }
  }
  return 1;
}

void CfgPkcs11ApiConfig::ResetApplied() {
  if (m_bridge != nullptr) {
    m_bridge->SetPcscLibrary(nullptr);
    m_bridge->SetDravokLibrary(nullptr);
    m_bridge->SetEnabledReaderSubsystems(nullptr);
    m_bridge->SetInitProfile(nullptr);
    m_bridge->SetLockLogger(nullptr);
    m_bridge->EnableReaderLockLogging(false);
    m_bridge->ClearReaderOptions();
    m_bridge->ClearAllowedReaders();
  }
  if (m_app != nullptr) m_app->SetInitProfile(nullptr);
  if (m_globalLock != nullptr) m_globalLock->SetLogger(nullptr);
  if (m_logger != nullptr) m_logger->SetEnabled(false);
  LogDisableOutput(nullptr);
  m_loggingOn = false;
  m_expandedLogFileName.clear();
  g_vtestMsgBox.store(false);
}

// ---- free helpers ----

int GetConfigSourceKind(const CfgBase* source) {
  if (source == nullptr) return 0;
  if (dynamic_cast<const CfgRegistry*>(source) != nullptr) return 3;
  if (dynamic_cast<const CfgIniFile*>(source) != nullptr) return 4;
  if (dynamic_cast<const CfgFile*>(source) != nullptr) return 1;
  return 0;
}

int GetQualifiedBool(const CfgSection* section, const char* name, const char* qualifier, bool* result) {
  if (section == nullptr || name == nullptr || result == nullptr) return 0;
  const CfgParamAndValue* p = (qualifier != nullptr && *qualifier != '\0')
                                  ? section->FindIndexed(name, qualifier, true)
                                  : section->FindParam(name, true);
  if (p == nullptr || !p->HasValue()) return 0;
  return ReadLenientBool(p, result) ? 1 : 0;
}

std::string GetHostProcessName() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) {
    buf[n] = '\0';
    const char* slash = std::strrchr(buf, '/');
    return slash ? slash + 1 : buf;
  }
  char cmd[128];
  std::snprintf(cmd, sizeof cmd, "COLUMNS=1000 ps -f -p %ld 2>/dev/null", static_cast<long>(getpid()));
  FILE* f = popen(cmd, "r");
  if (f == nullptr) return std::string();
  std::string result;
  char line[2048];
  if (std::fgets(line, sizeof line, f) != nullptr) {
    // Column of the COMMAND (or CMD) header among the blank-separated words.
    long column = -1;
    for (char* p = line; *p;) {
      while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
      if (!*p) break;
      char* w = p;
      while (*p && *p != ' ' && *p != '\t' && *p != '\n') ++p;
      const size_t len = static_cast<size_t>(p - w);
      if ((len == 7 && std::strncmp(w, "COMMAND", 7) == 0) || (len == 3 && std::strncmp(w, "CMD", 3) == 0)) {
        column = w - line;
        break;
      }
    }
    if (column >= 0 && std::fgets(line, sizeof line, f) != nullptr && static_cast<size_t>(column) < std::strlen(line)) {
      result = line + column;
      while (!result.empty() && result.back() == '\n') result.pop_back();
    }
  }
  pclose(f);
  const size_t blank = result.find(' ');
  if (blank != std::string::npos) result.erase(blank);
  return result;
}

std::string GetHostAppName() {
  const std::string p = GetHostProcessName();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string GetLibraryPath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&GetLibraryPath), &info) != 0 && info.dli_fname != nullptr &&
      *info.dli_fname != '\0')
    return info.dli_fname;
  return MIRTAL_FALLBACK_LIBRARY_NAME;
}

std::string GetModuleBaseName(const char* path, const char* suffix) {
  if (path == nullptr) return std::string();
  const char* slash = std::strrchr(path, '/');
  std::string name = slash ? slash + 1 : path;
  if (suffix == nullptr) return name;
  if (*suffix == '\0') {
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
  }
  const size_t n = std::strlen(suffix);
  if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) name.erase(name.size() - n);
  return name;
}

std::string GetLibraryBaseName() { return GetModuleBaseName(GetLibraryPath().c_str(), ""); }

std::string GetDirectoryPart(const char* path) {
  if (path == nullptr) return std::string();
  const char* slash = std::strrchr(path, '/');
  return slash ? std::string(path, static_cast<size_t>(slash - path)) : std::string();
}

std::string ExpandLogFileName(const char* templ) {
  if (templ == nullptr) return std::string();
  std::string in = templ;
  if (!in.empty() && in[0] == '~') {
    std::string home;
    if (GetHomeDirectory(&home)) in.replace(0, 1, home);
  }
  if (in.find('$') == std::string::npos) return in;
  const time_t now = std::time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  std::string out;
  char buf[64];
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c != '$' || i + 1 >= in.size()) {
      out += c;
      continue;
    }
    const char k = in[i + 1];
    switch (k) {
      case 'A': out += GetHostAppName(); break;
      case 'L': out += GetLibraryBaseName(); break;
      case 'l': out += GetModuleBaseName(MIRTAL_FALLBACK_LIBRARY_NAME, ""); break;
      case 'D':
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        out += buf;
        break;
      case 'd':
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        out += buf;
        break;
      case 'T':
        std::snprintf(buf, sizeof buf, "%02d-%02d-%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        out += buf;
        break;
      case 't':
        std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        out += buf;
        break;
      case 'K': out += MIRTAL_BUILD_NUMBER; break;
      case 'p':
        std::snprintf(buf, sizeof buf, "%d", static_cast<int>(getpid()));
        out += buf;
        break;
      case 'P':
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(getpid()));
        out += buf;
        break;
      case 'O': out += "Linux"; break;
      case 'o': out += "x64"; break;
      case 'V': out += MIRTAL_VERSION_SHORT; break;
      case 'v': out += MIRTAL_VERSION_FULL; break;
      case '$': out += '$'; break;
      default:
        out += '$';
        out += k;
        break;
    }
    ++i;
  }
  return out;
}
