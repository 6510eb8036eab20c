// The module's configuration: the keys with their types and defaults, the
// configuration sources (the library's main file, files it names, the standard
// system-wide and per-user files), per-application sections, the log-file name
// template, and Apply, which hands the values to the trace logger, the log-file
// writer, the reader bridge, the global lock and the application object.
#ifndef MIRTAL_PKCS11IMPL_APICONFIG_H
#define MIRTAL_PKCS11IMPL_APICONFIG_H

#include <string>

#include "support/cfgmanager.h"

class CfgIniFile;
class CfgSection;
class CPkcs11App;
class CPkcs15Lib;
class Pkcs11Lock;
class TraceLogger;

// Global keys.
#define CFGKEY_LOG_FILE_NAME "LogFileName"
#define CFGKEY_ENABLE_LOGGING "EnableLogging"
#define CFGKEY_ENABLE_LOCK_LOGGING "EnableLockLogging"
#define CFGKEY_VTEST_MSGBOX "VtestMsgBox"
#define CFGKEY_DISABLE_LOCKING "DisableLocking"
#define CFGKEY_PKCS15_FLAGS "PKCS15Flags"
#define CFGKEY_GENERATE_CERT_LABELS "GenerateCertLabels"
#define CFGKEY_SIGG_FLAGS "SigGFlags"
#define CFGKEY_PKCS15_MAX_TOKEN_COUNT "PKCS15MaxTokenCount"
#define CFGKEY_ENABLED_READER_SUBSYSTEMS "EnabledReaderSubsystems"
#define CFGKEY_PCSC_LIBRARY "PcscLibrary"
#define CFGKEY_DRAVOK_LIBRARY "DravokLibrary"
#define CFGKEY_FORCE_RECOGNIZE_PKCS15 "ForceRecognizePkcs15Cards"
#define CFGKEY_ENABLE_SECURE_MESSAGING "EnableSecureMessaging"
#define CFGKEY_ALLOWED_READER_LIST "AllowedReaderList"
#define CFGKEY_INIT_TOKEN_CONFIG_FILE "InitTokenConfigFileName"
#define CFGKEY_INIT_PROFILE "InitProfile"

#define CFG_DEFAULT_LOG_FILE_NAME "~/$L-$v-$A-$d-$t.log"
#define CFG_SECTION_READERS "Readers"
#define CFG_SECTION_APPS "Apps"

// Versions and names that the log-file template and the banner use.
#define MIRTAL_VERSION_SHORT "4.1"
#define MIRTAL_VERSION_FULL "4.1.0.1"
#define MIRTAL_BUILD_NUMBER "2015120101"
#define MIRTAL_FALLBACK_LIBRARY_NAME "libveldorp11.so"

// The folder that holds the system-wide files ("/etc" in the product).
const char* MirtalEtcDir();

class CfgPkcs11ApiConfig : public CfgManager {
 public:
  CfgPkcs11ApiConfig();
  ~CfgPkcs11ApiConfig() override;

  // Where Apply hands its values; null members are skipped.
  void Attach(CPkcs11App* app, TraceLogger* logger, Pkcs11Lock* globalLock, CPkcs15Lib* bridge);

  bool Read() override;
  bool DeclareOptions() override;
  // Pushes the values into the system; 1.
  int Apply();
  // Clears what Apply pushed.
  void ResetApplied();

  const char* GetExpandedLogFileName() const { return m_expandedLogFileName.c_str(); }

  // The values the last Apply put in force, for the start-up report: the
  // application's section and the environment taken in, the trace bits of the
  // PKCS#15 option word cleared while there is no log, a token count out of range
  // left as the bridge had it.
  struct InForce {
    bool logging = false;
    bool lockLogging = false;
    std::string logFileName = CFG_DEFAULT_LOG_FILE_NAME;
    unsigned long pkcs15Flags = 0;
    unsigned long maxTokenCount = 0;
    bool hasPcscLibrary = false;
    std::string pcscLibrary;
    bool hasInitProfile = false;
    std::string initProfile;
  };
  const InForce& GetInForce() const { return m_inForce; }

  // ---- sources ----
  static void GetMainConfigFileCandidates(std::string out[2]);
  bool FindMainConfigFile(std::string* path) const;
  bool LoadMainConfigFile();
  bool AddConfiguredSources();
  bool AddStandardSources();
  CfgBase* AddStandardSource(const char* directory, const char* name, bool system);
  CfgBase* AddConfigFileSource(const char* path, bool system);
  // Full name of the matching [Apps\...] section, "" when none.
  std::string FindAppSection(bool ignoreCase) const;
  // Validates the InitProfile key; messages in Polish and (when asked) English.
  bool CheckInitProfile(std::string* messagePl, std::string* messageEn) const;

  void ReleaseOwnedObject();

 private:
  CPkcs11App* m_app = nullptr;
  TraceLogger* m_logger = nullptr;
  Pkcs11Lock* m_globalLock = nullptr;
  CPkcs15Lib* m_bridge = nullptr;
  std::string m_expandedLogFileName;
  bool m_loggingOn = false;
  InForce m_inForce;
  CfgIniFile* m_mainSource = nullptr;  // the main file while it is examined
  bool m_ownsMainSource = false;
};

// 3 registry, 4 INI file, 1 other file, 0 otherwise or null.
int GetConfigSourceKind(const CfgBase* source);
// Boolean of a parameter of a section (names without regard to case; the
// qualifier in brackets when given): numbers and booleans true when not 0, texts
// parsed, byte strings true when a byte is not 0. 1 when found and readable.
int GetQualifiedBool(const CfgSection* section, const char* name, const char* qualifier, bool* result);

// Names of the host process and of this library.
std::string GetHostProcessName();
std::string GetHostAppName();
std::string GetLibraryPath();
std::string GetLibraryBaseName();
// Part after the last '/': without suffix when it ends in a non-empty suffix (and
// is longer), cut before the first '.' for "", whole for null.
std::string GetModuleBaseName(const char* path, const char* suffix);
std::string GetDirectoryPart(const char* path);
// Expands the log-file template ('~' and the '$' placeholders).
std::string ExpandLogFileName(const char* templ);

#endif
