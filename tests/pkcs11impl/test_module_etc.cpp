// The system-wide files, read by the test module whose system folder lies in the
// build tree (build/test-etc/etc). These scenarios share that folder and so run
// one at a time.
#include "tests/pkcs11impl/module_host.h"

using namespace testhost;

namespace {

struct SystemFolder {
  SystemFolder() { Clear(); }
  ~SystemFolder() { Clear(); }
  static void Clear() {
    const std::string cmd = "rm -rf '" + TestEtcDir() + "/MIRTAL'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot clear %s\n", TestEtcDir().c_str());
  }
  static void Write(const std::string& name, const std::string& text) {
    WriteFile(TestEtcDir() + "/MIRTAL/" + name, text);
  }
};

}  // namespace

TEST(SystemFiles, SystemFileTurnsLoggingOnAndTheUserFileOverrides) {
  HostEnv env;
  SystemFolder etc;
  const std::string sysLog = env.Path("system.log");
  const std::string userLog = env.Path("user.log");
  etc.Write("pkcs11.conf", "EnableLogging = 1\nLogFileName = " + sysLog + "\n");
  Module first(TestEtcModulePath());
  ASSERT_TRUE(first.ok()) << first.error();
  CK_INFO info;
  EXPECT_EQ(CKR_OK, first->C_GetInfo(&info));
  EXPECT_NE(std::string::npos, ReadFile(sysLog).find("C_GetInfo() [complete]"));
}

TEST(SystemFiles, LaterUserFileWinsOverTheSystemFile) {
  HostEnv env;
  SystemFolder etc;
  const std::string sysLog = env.Path("system.log");
  const std::string userLog = env.Path("user.log");
  etc.Write("pkcs11.conf", "EnableLogging = 1\nLogFileName = " + sysLog + "\n");
  env.UserConfig("LogFileName = " + userLog + "\n");
  Module m(TestEtcModulePath());
  ASSERT_TRUE(m.ok()) << m.error();
  CK_INFO info;
  EXPECT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_FALSE(FileExists(sysLog));
  EXPECT_NE(std::string::npos, ReadFile(userLog).find("C_GetInfo() [complete]"));
}

TEST(SystemFiles, SystemOnlyKeysComeFromTheSystemFile) {
  HostEnv env;
  SystemFolder etc;
  etc.Write("pkcs11.conf", "InitProfile = rokvast\n");
  env.UserConfig("InitProfile = 3tokens\n");
  setenv("MIRTAL_PKCS11_VERBOSE_INIT", "1", 1);
  StderrCapture err(env.Path("stderr.txt"));
  Module m(TestEtcModulePath());
  ASSERT_TRUE(m.ok()) << m.error();
  const std::string text = err.Stop();
  EXPECT_NE(std::string::npos, text.find("Reading options from admin config file: " + TestEtcDir() +
                                         "/MIRTAL/pkcs11.conf\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("InitProfile: 'rokvast'")) << text;
}

TEST(SystemFiles, MainFileNamesTheSourcesAndDisablesLocking) {
  HostEnv env;
  SystemFolder etc;
  const std::string extra = env.Path("extra.ini");
  WriteFile(extra, "DisableLocking = yes\n");
  etc.Write("libmirtalp11.conf", "AddConfig = ini:" + extra + "\nConfigIsAdmin = true\n");
  etc.Write("pkcs11.conf", "DisableLocking = no\n");  // not read: the main file names its sources
  setenv("MIRTAL_PKCS11_VERBOSE_INIT", "1", 1);
  StderrCapture err(env.Path("stderr.txt"));
  Module m(TestEtcModulePath());
  ASSERT_TRUE(m.ok()) << m.error();
  const std::string text = err.Stop();
  EXPECT_NE(std::string::npos, text.find("Reading options from admin config file: " + TestEtcDir() +
                                         "/MIRTAL/libmirtalp11.conf\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("Reading options from admin config file: " + extra + "\n")) << text;
  EXPECT_EQ(std::string::npos, text.find("pkcs11.conf\n")) << text;
  CK_C_INITIALIZE_ARGS a{};
  a.flags = CKF_OS_LOCKING_OK;
  EXPECT_EQ(CKR_CANT_LOCK, m->C_Initialize(&a));
  EXPECT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(SystemFiles, ProductModuleDoesNotReadTheTestFolder) {
  HostEnv env;
  SystemFolder etc;
  const std::string sysLog = env.Path("system.log");
  etc.Write("pkcs11.conf", "EnableLogging = 1\nLogFileName = " + sysLog + "\n");
  Module m(ModulePath());
  ASSERT_TRUE(m.ok());
  CK_INFO info;
  EXPECT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_FALSE(FileExists(sysLog));
}
