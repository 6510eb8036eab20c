// The module's configuration read directly: keys and defaults, the sources
// (main file, AddConfig entries, system-wide and per-user files), application
// sections, reader options, the log-file name template and the name helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "pkcs11impl/apiconfig.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs11impl/thread.h"
#include "pkcs11impl/tracelog.h"
#include "support/cfgfile.h"
#include "support/cfginifile.h"
#include "support/debuglog.h"
#include "tests/common/testsupport.h"

namespace {
std::string g_etc = "/nonexistent-mirtal-etc";
}

// The system folder of this test program (overrides the module's default).
const char* MirtalEtcDir() { return g_etc.c_str(); }

namespace {

std::string MakeTempDir() {
  char tmpl[] = "/tmp/mirtal-apicfg-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

void WriteFile(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  std::string dir = path.substr(0, slash);
  std::string partial;
  std::stringstream ss(dir);
  std::string piece;
  while (std::getline(ss, piece, '/')) {
    if (piece.empty()) continue;
    partial += "/" + piece;
    mkdir(partial.c_str(), 0700);
  }
  std::ofstream(path) << text;
}

bool HasShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (shape[i] == 'D' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
  return true;
}

std::string ExeName() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = '\0';
  std::string p = buf;
  return p.substr(p.rfind('/') + 1);
}

// One configuration with its targets, read from a temporary home and system folder.
struct Fixture : ::testing::Test {
  std::string home, etc;
  TraceLogger logger{"PKCS#11: "};
  Pkcs11Lock lock;
  CPkcs15Lib bridge;

  void SetUp() override {
    home = MakeTempDir();
    etc = MakeTempDir();
    ASSERT_FALSE(home.empty());
    setenv("HOME", home.c_str(), 1);
    g_etc = etc;
  }
  void TearDown() override {
    LogDisableOutput(nullptr);
    std::string cmd = "rm -rf '" + home + "' '" + etc + "'";
    ASSERT_EQ(0, std::system(cmd.c_str()));
  }
  void UserFile(const std::string& text) { WriteFile(home + "/.MIRTAL/pkcs11.conf", text); }
  void SystemFile(const std::string& text) { WriteFile(etc + "/MIRTAL/pkcs11.conf", text); }
  void MainFile(const std::string& text) { WriteFile(etc + "/MIRTAL/" + GetLibraryBaseName() + ".conf", text); }

  void Load(CfgPkcs11ApiConfig& cfg) {
    cfg.Attach(nullptr, &logger, &lock, &bridge);
    ASSERT_TRUE(cfg.DeclareOptions());
    cfg.Read();
    ASSERT_EQ(1, cfg.Apply());
  }
};

TEST(WildcardScore, ScoresLiteralsWildcardsAndMismatches) {
  EXPECT_EQ(15, WildcardMatchScore("Reader 1", "Reader ?", false));
  EXPECT_EQ(12, WildcardMatchScore("Reader 1", "Reader*", false));
  EXPECT_EQ(0, WildcardMatchScore("Reader 1", "*", false));
  EXPECT_EQ(-1, WildcardMatchScore("Reader 1", "Other", false));
  EXPECT_EQ(12, WildcardMatchScore("ACS ACR38U", "ACS*38U", false));
  EXPECT_EQ(-1, WildcardMatchScore("ACS 8U", "ACS*38U", false));
  EXPECT_EQ(0, WildcardMatchScore("", "", false));
  EXPECT_EQ(-1, WildcardMatchScore("x", "", false));
  EXPECT_EQ(16, WildcardMatchScore("Reader 1", "Reader 1", false));
  EXPECT_EQ(-1, WildcardMatchScore("Reader", "Reader?", false));
  EXPECT_EQ(-1, WildcardMatchScore("ACS", "ACS*38U", false));
  // A name left over after a pattern without a trailing star does not match.
  EXPECT_EQ(-1, WildcardMatchScore("Reader 12", "Reader ?", false));
}

TEST(WildcardScore, ManyStarsAgainstALongNameFinishWithTheRightAnswer) {
  const std::string name(200, 'a');
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "*a";
  EXPECT_EQ(-1, WildcardMatchScore(name.c_str(), (pattern + "b").c_str(), false));
  EXPECT_EQ(80, WildcardMatchScore(name.c_str(), (pattern + "*").c_str(), false));
  EXPECT_EQ(80, WildcardMatchScore(name.c_str(), pattern.c_str(), false));
  EXPECT_EQ(7, WildcardMatchScore("abcXdef", "a*?d*f", false));
}

TEST(WildcardScore, IgnoreCaseHoldsForPlainAndWildcardPatterns) {
  EXPECT_EQ(-1, WildcardMatchScore("ACS ACR38U", "acs acr38u", false));
  EXPECT_EQ(20, WildcardMatchScore("ACS ACR38U", "acs acr38u", true));
  EXPECT_EQ(-1, WildcardMatchScore("ACS ACR38U", "acs*", false));
  EXPECT_EQ(6, WildcardMatchScore("ACS ACR38U", "acs*", true));
}

TEST(ReaderBridgeOptions, AllowedReadersAndDisabledRecords) {
  CPkcs15Lib b;
  ASSERT_TRUE(b.AddAllowedReader("ACS*"));
  EXPECT_EQ(1, b.CheckAllowedReaderName("ACS ACR38U", nullptr));
  EXPECT_EQ(SC_E_PKCS15_IGNORE_READER, b.CheckAllowedReaderName("Gemalto", nullptr));
  b.ClearAllowedReaders();
  EXPECT_EQ(0, b.CheckAllowedReaderName("Gemalto", nullptr));
  SCPkcs15Lib::ReaderOptions* r = b.AddReaderOptions("Gem*");
  ASSERT_NE(nullptr, r);
  r->flags |= SC_ROPT_FLAG_DISABLED;
  EXPECT_EQ(SC_E_PKCS15_IGNORE_READER, b.CheckAllowedReaderName("Gemalto", nullptr));
  // Named on the allowed list, a disabled reader is used after all.
  ASSERT_TRUE(b.AddAllowedReader("Gemalto"));
  const SCPkcs15Lib::ReaderOptions* found = nullptr;
  EXPECT_EQ(1, b.CheckAllowedReaderName("Gemalto", &found));
  EXPECT_EQ(r, found);
  EXPECT_EQ(1, b.RemoveReaderOptions("Gem*"));
  EXPECT_EQ(0, b.RemoveReaderOptions("Gem*"));
}

TEST(ReaderBridgeOptions, BestScoringRecordWinsAndTiesGoToTheFirst) {
  CPkcs15Lib b;
  SCPkcs15Lib::ReaderOptions* any = b.AddReaderOptions("*");
  SCPkcs15Lib::ReaderOptions* acs1 = b.AddReaderOptions("ACS*");
  SCPkcs15Lib::ReaderOptions* acs2 = b.AddReaderOptions("ACS*");
  ASSERT_TRUE(any && acs1 && acs2);
  EXPECT_EQ(acs1, b.MatchReaderOptions("ACS ACR38U"));
  EXPECT_EQ(any, b.MatchReaderOptions("Other"));
  EXPECT_EQ(acs1, b.FindReaderOptions("ACS*"));
  EXPECT_EQ(nullptr, b.FindReaderOptions("acs*"));
}

TEST(ReaderBridgeOptions, OptionBitsAndTokenCount) {
  CPkcs15Lib b;
  EXPECT_EQ(0x10000000u, b.GetPkcs15Flags());
  b.SetOptionBits(0x1234, 0xF00);
  EXPECT_EQ(0x200u, b.GetOptionBits(0));
  b.SetOptionBits(0xFFFF, 0);
  EXPECT_EQ(0xFFFFu, b.GetOptionBits(0));
  EXPECT_EQ(0xFF00u, b.GetOptionBitsHigh(0xFF));
  EXPECT_TRUE(b.SetTokensPerReader(20));
  EXPECT_FALSE(b.SetTokensPerReader(21));
  EXPECT_FALSE(b.SetTokensPerReader(0));
  EXPECT_EQ(20u, b.GetTokensPerReader());
}

TEST(LogFileName, ExpandsEveryPlaceholder) {
  setenv("HOME", "/home/someone", 1);
  const std::string pid = std::to_string(getpid());
  char pidHex[16];
  std::snprintf(pidHex, sizeof pidHex, "%08x", static_cast<unsigned>(getpid()));
  const std::string got = ExpandLogFileName("~/$A|$L|$l|$K|$p|$P|$O|$o|$V|$v|$$p|$X|$");
  const std::string want = "/home/someone/" + ExeName() + "|" + GetLibraryBaseName() +
                           "|libveldorp11|2015120101|" + pid + "|" + pidHex + "|Linux|x64|4.1|4.1.0.1|$p|$X|$";
  EXPECT_EQ(want, got);
  const std::string dt = ExpandLogFileName("$D $d $T $t");
  EXPECT_TRUE(HasShape(dt, "DDDD-DD-DD DDDDDDDD DD-DD-DD DDDDDD")) << dt;
  EXPECT_EQ("plain.log", ExpandLogFileName("plain.log"));
  EXPECT_EQ("", ExpandLogFileName(nullptr));
  unsetenv("HOME");
  EXPECT_EQ("~/x.log", ExpandLogFileName("~/x.log"));
}

TEST(LogFileName, DefaultTemplateShape) {
  setenv("HOME", "/h", 1);
  const std::string got = ExpandLogFileName(CFG_DEFAULT_LOG_FILE_NAME);
  const std::string prefix = "/h/" + GetLibraryBaseName() + "-4.1.0.1-" + ExeName() + "-";
  ASSERT_EQ(prefix, got.substr(0, prefix.size()));
  EXPECT_TRUE(HasShape(got.substr(prefix.size()), "DDDDDDDD-DDDDDD.log")) << got;
}

TEST(NameHelpers, BaseNamesAndDirectories) {
  EXPECT_EQ("libmirtalp11-4", GetModuleBaseName("/x/libmirtalp11-4.1.0.2.dylib", ""));
  EXPECT_EQ("libmirtalp11.so", GetModuleBaseName("/x/libmirtalp11.so", nullptr));
  EXPECT_EQ("libmirtalp11", GetModuleBaseName("/x/libmirtalp11.so", ".so"));
  EXPECT_EQ(".so", GetModuleBaseName(".so", ".so"));
  EXPECT_EQ("/x/y", GetDirectoryPart("/x/y/z"));
  EXPECT_EQ("", GetDirectoryPart("z"));
  EXPECT_EQ(ExeName(), GetHostProcessName());
  EXPECT_EQ(ExeName(), GetHostAppName());
}

TEST_F(Fixture, NoConfigurationGivesTheDefaults) {
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_FALSE(logger.IsEnabled());
  EXPECT_STREQ("", cfg.GetExpandedLogFileName());
  EXPECT_EQ(0x8000000u, bridge.GetPkcs15Flags());
  EXPECT_EQ(3u, bridge.GetMaxTokenCount());
  EXPECT_EQ(0x200u, bridge.GetOptionBits(0xF00));
  EXPECT_EQ(nullptr, bridge.GetPcscLibrary());
  EXPECT_EQ(nullptr, bridge.GetInitProfile());
  EXPECT_EQ(0, bridge.GetAllowedReaderCount());
  // The standard sources, system-wide first.
  ASSERT_EQ(2, cfg.GetCount());
  EXPECT_EQ(etc + "/MIRTAL/pkcs11.conf", cfg.GetHead()->GetPath());
  EXPECT_TRUE(cfg.GetHead()->IsSystemSource());
  EXPECT_STREQ("~/.MIRTAL/pkcs11.conf", cfg.GetTail()->GetPath());
  EXPECT_FALSE(cfg.GetTail()->IsSystemSource());
  EXPECT_EQ(4, GetConfigSourceKind(cfg.GetHead()));
}

TEST_F(Fixture, UserFileTurnsLoggingOnAndNamesTheFile) {
  const std::string log = home + "/trace-$p.log";
  UserFile("EnableLogging = 1\nLogFileName = " + log + "\nPcscLibrary = /opt/pcsc.so\nEnableSecureMessaging = yes\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  const std::string expanded = home + "/trace-" + std::to_string(getpid()) + ".log";
  EXPECT_EQ(expanded, cfg.GetExpandedLogFileName());
  EXPECT_TRUE(logger.IsEnabled());
  EXPECT_EQ(0x8000200u, bridge.GetPkcs15Flags());
  EXPECT_EQ(0u, bridge.GetOptionBits(0xF00));
  EXPECT_STREQ("/opt/pcsc.so", bridge.GetPcscLibrary());
  TraceLog(&logger, "C_Test", TRACE_COMPLETE, CKR_OK, "hello %d", 7);
  const std::string text = testsupport::ReadFileText(expanded);
  EXPECT_NE(std::string::npos, text.find("PKCS#11: C_Test() [complete] <CKR_OK> hello 7")) << text;
}

TEST_F(Fixture, UnwritableLogFileTurnsLoggingOffAndKeepsTheName) {
  UserFile("EnableLogging = true\nLogFileName = /nonexistent-dir/x/trace.log\nEnableLockLogging = 1\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_FALSE(logger.IsEnabled());
  EXPECT_STREQ("/nonexistent-dir/x/trace.log", cfg.GetExpandedLogFileName());
  EXPECT_EQ(0x8000000u, bridge.GetPkcs15Flags());
  EXPECT_EQ(nullptr, lock.GetLogger());
}

TEST_F(Fixture, OverlongLogFileNameIsRefusedNotCut) {
  const std::string longName = home + "/" + std::string(1100, 'x') + ".log";
  UserFile("EnableLogging = 1\nLogFileName = " + longName + "\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_FALSE(logger.IsEnabled());
  EXPECT_EQ(longName, cfg.GetExpandedLogFileName());
  EXPECT_EQ(0x8000000u, bridge.GetPkcs15Flags());
}

TEST_F(Fixture, LockLoggingNeedsLogging) {
  UserFile("EnableLogging = 1\nLogFileName = " + home + "/t.log\nEnableLockLogging = 1\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ(&logger, lock.GetLogger());
  EXPECT_EQ(&logger, bridge.GetLockLogger());
  EXPECT_EQ(&logger, bridge.GetRecordLockLogger());
}

TEST_F(Fixture, LaterSourceWinsAndSystemOnlyKeysNeedASystemSource) {
  SystemFile("PKCS15MaxTokenCount = 5\nInitProfile = rokvast\nForceRecognizePkcs15Cards = 1\nPKCS15Flags = 0x0\n");
  UserFile("PKCS15MaxTokenCount = 7\nInitProfile = 3tokens\nForceRecognizePkcs15Cards = 0\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ(7u, bridge.GetMaxTokenCount());
  EXPECT_STREQ("rokvast", bridge.GetInitProfile());
  EXPECT_EQ(0x8u, bridge.GetPkcs15Flags());
}

TEST_F(Fixture, SystemOnlyKeysInTheUserFileAreIgnored) {
  UserFile("InitProfile = standard\nForceRecognizePkcs15Cards = 1\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ(nullptr, bridge.GetInitProfile());
  EXPECT_EQ(0x8000000u, bridge.GetPkcs15Flags());
}

TEST_F(Fixture, TokenCountOutOfRangeKeepsThePreviousOne) {
  UserFile("PKCS15MaxTokenCount = 11\n");
  bridge.SetMaxTokenCount(4);
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ(4u, bridge.GetMaxTokenCount());
  CfgPkcs11ApiConfig cfg2;
  UserFile("PKCS15MaxTokenCount = 10\n");
  Load(cfg2);
  EXPECT_EQ(10u, bridge.GetMaxTokenCount());
}

TEST_F(Fixture, ApplicationSectionOverridesGlobalKeys) {
  UserFile("PKCS15MaxTokenCount = 5\nPcscLibrary = /global.so\nEnableSecureMessaging = true\n"
           "[Apps\\other-program]\nPKCS15MaxTokenCount = 9\n"
           "[Apps\\" + ExeName() + "]\nPKCS15MaxTokenCount = 2\nEnableSecureMessaging = false\n"
           "InitProfile = standard\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ("Apps\\" + ExeName(), cfg.FindAppSection(false));
  EXPECT_EQ(2u, bridge.GetMaxTokenCount());
  EXPECT_STREQ("/global.so", bridge.GetPcscLibrary());
  EXPECT_EQ(0x200u, bridge.GetOptionBits(0xF00));
  // A system-only key stays out of reach of a per-user application section.
  EXPECT_EQ(nullptr, bridge.GetInitProfile());
}

TEST_F(Fixture, ApplicationSectionPatternsScore) {
  const std::string exe = ExeName();
  UserFile("[Apps\\*]\nPKCS15MaxTokenCount = 4\n[Apps\\" + exe.substr(0, 4) + "*]\nPKCS15MaxTokenCount = 6\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  EXPECT_EQ(6u, bridge.GetMaxTokenCount());
}

TEST_F(Fixture, ReaderOptionsAndAllowedReadersReachTheBridge) {
  UserFile("AllowedReaderList = A||B|\n"
           "[Readers\\ACS*]\nIgnoreCase = true\nDisabled = true\nDisablePinpad = false\nForceEnablePinpad = true\n"
           "DefaultProtocols = 3\nDisableProtocols = 0x14\nForceDefaultProtocols = 1\nReconnectOnProtoFail = 1\n"
           "ResetOnShareFail = 1\nFallbackToDefaultProtocol = 1\nMaxSendBytes = 300\nMaxT0RecvBytes = 100\n"
           "MaxRecvBytes = 70000\nAPDUWaitTime = 5000\n"
           "[Readers\\Other]\nMaxSendBytes = 200\nMaxT1SendBytes = 1000\nDisablePinpad = true\nForceEnablePinpad = 1\n"
           "MaxRecvBytes = 255\nAPDUWaitTime = -1\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  ASSERT_EQ(2, bridge.GetAllowedReaderCount());
  EXPECT_STREQ("A", bridge.GetAllowedReaderAt(0));
  EXPECT_STREQ("B", bridge.GetAllowedReaderAt(1));
  ASSERT_EQ(2, bridge.GetReaderOptionsCount());
  const SCPkcs15Lib::ReaderOptions* acs = bridge.FindReaderOptions("ACS*");
  ASSERT_NE(nullptr, acs);
  EXPECT_EQ(SC_ROPT_FLAG_IGNORE_CASE | SC_ROPT_FLAG_DISABLED, acs->flags);
  EXPECT_EQ(2u, scRoptPinpadMode(acs->options));
  EXPECT_EQ(3u, scRoptDefaultProtocols(acs->options));
  EXPECT_EQ(4u, scRoptDisabledProtocols(acs->options));
  EXPECT_NE(0u, acs->options & SC_ROPT_FORCE_DEFAULT_PROTOCOLS);
  EXPECT_NE(0u, acs->options & SC_ROPT_RECONNECT_ON_PROTO_FAIL);
  EXPECT_NE(0u, acs->options & SC_ROPT_RESET_ON_SHARE_FAIL);
  EXPECT_NE(0u, acs->options & SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL);
  EXPECT_EQ(0u, acs->options & SC_ROPT_RESET_ON_PROTO_FAIL);
  EXPECT_EQ(5000u, scRoptWaitTime(acs->options));
  EXPECT_EQ(0u, scRoptLimit(acs->limits, SC_RLIMIT_T0_SEND));  // 300 is beyond T=0
  EXPECT_EQ(300u, scRoptLimit(acs->limits, SC_RLIMIT_T1_SEND));
  EXPECT_EQ(100u, scRoptLimit(acs->limits, SC_RLIMIT_T0_RECV));
  EXPECT_EQ(0u, scRoptLimit(acs->limits, SC_RLIMIT_T1_RECV));  // 70000 fits neither
  EXPECT_EQ(acs, bridge.MatchReaderOptions("acs acr38u"));

  const SCPkcs15Lib::ReaderOptions* other = bridge.FindReaderOptions("Other");
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(1u, scRoptPinpadMode(other->options));
  EXPECT_EQ(200u, scRoptLimit(other->limits, SC_RLIMIT_T0_SEND));
  EXPECT_EQ(1000u, scRoptLimit(other->limits, SC_RLIMIT_T1_SEND));  // the T=1 key wins over the general one
  EXPECT_EQ(255u, scRoptLimit(other->limits, SC_RLIMIT_T0_RECV));
  EXPECT_EQ(255u, scRoptLimit(other->limits, SC_RLIMIT_T1_RECV));
  EXPECT_EQ(0u, scRoptWaitTime(other->options));  // a negative wait time is ignored
}

TEST_F(Fixture, ApplicationReaderSectionWinsForItsReader) {
  UserFile("[Readers\\R1]\nMaxSendBytes = 100\nDisabled = true\n"
           "[Apps\\" + ExeName() + "]\n[Apps\\" + ExeName() + "\\Readers]\n"
           "[Apps\\" + ExeName() + "\\Readers\\R1]\nMaxSendBytes = 50\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  const SCPkcs15Lib::ReaderOptions* r = bridge.FindReaderOptions("R1");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(50u, scRoptLimit(r->limits, SC_RLIMIT_T0_SEND));
  EXPECT_EQ(SC_ROPT_FLAG_DISABLED, r->flags);
}

TEST_F(Fixture, MainFileNamesItsSources) {
  MainFile("AddConfig = ~/extra.ini\n");
  WriteFile(home + "/extra.ini", "PKCS15MaxTokenCount = 8\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  ASSERT_EQ(2, cfg.GetCount());
  EXPECT_EQ(etc + "/MIRTAL/" + GetLibraryBaseName() + ".conf", cfg.GetHead()->GetPath());
  EXPECT_TRUE(cfg.GetHead()->IsSystemSource());
  EXPECT_STREQ("~/extra.ini", cfg.GetTail()->GetPath());
  EXPECT_FALSE(cfg.GetTail()->IsSystemSource());
  EXPECT_EQ(8u, bridge.GetMaxTokenCount());
}

// Only regular files of bounded size are read: a FIFO, a device or a file over
// the bound is reported in the source's error text and skipped, the others
// (a symbolic link to a regular file among them) are read as usual.
TEST_F(Fixture, OnlyRegularFilesOfBoundedSizeAreRead) {
  const std::string fifo = home + "/fifo.ini", big = home + "/big.ini";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  WriteFile(big, std::string(4 * 1024 * 1024, '\n') + "PKCS15MaxTokenCount = 3\n");
  WriteFile(home + "/extra.ini", "PKCS15MaxTokenCount = 8\n");
  ASSERT_EQ(0, symlink((home + "/extra.ini").c_str(), (home + "/link.ini").c_str()));
  MainFile("AddConfig[a] = /dev/zero\nAddConfig[b] = " + fifo + "\nAddConfig[c] = " + big +
           "\nAddConfig[d] = ~/link.ini\nAddConfig[e] = " + home + "\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  ASSERT_EQ(6, cfg.GetCount());
  const char* const expected[] = {"", "not a regular file", "not a regular file", "larger than 4194304 bytes", "",
                                  "not a regular file"};
  POSITION p = cfg.GetHeadPosition();
  for (const char* e : expected) {
    CfgBase* src = cfg.GetNext(p);
    SCOPED_TRACE(src->GetPath());
    const std::string error = src->GetLastError();
    if (*e == '\0')
      EXPECT_EQ("", error);
    else
      EXPECT_NE(std::string::npos, error.find(std::string(": Can't open config file for reading: ") + e)) << error;
  }
  EXPECT_EQ(8u, bridge.GetMaxTokenCount());
}

// A main file that is a FIFO is passed over at once: the standard files are read.
TEST_F(Fixture, MainFileThatIsAFifoLeadsToTheStandardFiles) {
  WriteFile(etc + "/MIRTAL/x", "");  // makes the folder
  ASSERT_EQ(0, mkfifo((etc + "/MIRTAL/" + GetLibraryBaseName() + ".conf").c_str(), 0600));
  UserFile("PKCS15MaxTokenCount = 8\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  ASSERT_EQ(2, cfg.GetCount());
  EXPECT_EQ(8u, bridge.GetMaxTokenCount());
}

TEST_F(Fixture, MainFileWithStandardSourcesAndAdminChoice) {
  MainFile("AddConfig[a] = file:/opt/some.conf\nAddConfig[b] = ini:/opt/other.ini\nConfigIsAdmin[b] = false\n"
           "ReadStandardCfg = true\n");
  CfgPkcs11ApiConfig cfg;
  cfg.Attach(nullptr, &logger, &lock, &bridge);
  ASSERT_TRUE(cfg.DeclareOptions());
  ASSERT_EQ(5, cfg.GetCount());
  POSITION p = cfg.GetHeadPosition();
  CfgBase* main = cfg.GetNext(p);
  CfgBase* a = cfg.GetNext(p);
  CfgBase* b = cfg.GetNext(p);
  CfgBase* sys = cfg.GetNext(p);
  CfgBase* user = cfg.GetNext(p);
  EXPECT_EQ(4, GetConfigSourceKind(main));
  EXPECT_EQ(1, GetConfigSourceKind(a));
  EXPECT_TRUE(a->IsSystemSource());
  EXPECT_STREQ("/opt/some.conf", a->GetPath());
  EXPECT_EQ(4, GetConfigSourceKind(b));
  EXPECT_FALSE(b->IsSystemSource());
  EXPECT_TRUE(sys->IsSystemSource());
  EXPECT_FALSE(user->IsSystemSource());
}

TEST_F(Fixture, UnsetHomeMakesEveryConfiguredFileTheUsers) {
  MainFile("AddConfig = file:/opt/some.conf\nAddConfig[x] = /opt/admin.ini\nConfigIsAdmin[x] = yes\n");
  unsetenv("HOME");
  CfgPkcs11ApiConfig cfg;
  cfg.Attach(nullptr, &logger, &lock, &bridge);
  ASSERT_TRUE(cfg.DeclareOptions());
  ASSERT_EQ(3, cfg.GetCount());
  POSITION p = cfg.GetHeadPosition();
  cfg.GetNext(p);
  EXPECT_FALSE(cfg.GetNext(p)->IsSystemSource());
  EXPECT_TRUE(cfg.GetNext(p)->IsSystemSource());
}

TEST_F(Fixture, InitProfileCheckMessages) {
  SystemFile("InitProfile = weird\n");
  CfgPkcs11ApiConfig cfg;
  Load(cfg);
  std::string pl, en;
  EXPECT_FALSE(cfg.CheckInitProfile(&pl, &en));
  EXPECT_EQ("Option 'InitProfile' defining card initialization profile has unsupported value 'weird' in "
            "configuration file\n" + etc + "/MIRTAL/pkcs11.conf.\n\nValid option values are 'standard', 'rokvast' or "
            "'3tokens'.",
            en);
  EXPECT_NE(std::string::npos, pl.find("ma niepoprawną/nieobsługiwaną wartość 'weird'"));

  CfgPkcs11ApiConfig none;
  SystemFile("\n");
  Load(none);
  EXPECT_FALSE(none.CheckInitProfile(&pl, &en));
  EXPECT_EQ("No option 'InitProfile' defining card initialization profile was found in any of configuration files:\n"
            " - '" + etc + "/MIRTAL/pkcs11.conf'\n - '~/.MIRTAL/pkcs11.conf'\nValid option values are 'standard', "
            "'rokvast' or '3tokens'.",
            en);

  CfgPkcs11ApiConfig good;
  SystemFile("InitProfile = 3Tokens\n");
  Load(good);
  EXPECT_TRUE(good.CheckInitProfile(&pl, nullptr));
}

TEST(QualifiedBool, ReadsEveryValueType) {
  CfgSection s;
  s.AddParam("a", CFG_TYPE_INT, true)->SetInt(2);
  s.AddParam("b", CFG_TYPE_TEXT, true)->SetString("off");
  s.AddParam("c[q]", CFG_TYPE_TEXT, true)->SetString("tak");
  const uint8_t bytes[] = {0, 0, 1};
  s.AddParam("d", CFG_TYPE_BINARY, true)->SetBinary(bytes, 3);
  s.AddParam("e", CFG_TYPE_TEXT, true)->SetString("maybe");
  bool v = false;
  EXPECT_EQ(1, GetQualifiedBool(&s, "A", nullptr, &v));
  EXPECT_TRUE(v);
  EXPECT_EQ(1, GetQualifiedBool(&s, "b", nullptr, &v));
  EXPECT_FALSE(v);
  EXPECT_EQ(1, GetQualifiedBool(&s, "c", "q", &v));
  EXPECT_TRUE(v);
  EXPECT_EQ(1, GetQualifiedBool(&s, "d", "", &v));
  EXPECT_TRUE(v);
  EXPECT_EQ(0, GetQualifiedBool(&s, "e", nullptr, &v));
  EXPECT_EQ(0, GetQualifiedBool(&s, "missing", nullptr, &v));
}

}  // namespace
