// Faults of the reader subsystem while the module is loaded, on the "PC/SC"
// back-end against a pcscd of the test's own with vpcd serving simulated cards:
// pcscd stopped (its readers gone) and started again, pcscd restarted between
// two calls, and a card held exclusively by another process. Every call answers
// with the return value that the reader's state gives, nothing hangs, the card
// signs again once the readers are back and its image is what it was.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/pcscd_host.h"

using namespace testhost;
using namespace modulecalls;
using namespace pcscdhost;

namespace {

const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;

// Another process that takes a reader's card exclusively when told to. It is
// forked before the module is loaded, so that it starts from a process with
// one thread, and it speaks to pcscd through pcsc-lite on its own: to the
// test's own pcscd, in the test's own place, or to none.
class ExclusiveHolder {
 public:
  ExclusiveHolder() {
    const bool placed = testsupport::EnterOwnPcscdPlace().empty();
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      if (placed) Serve(down[0], up[1]);
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }
  ~ExclusiveHolder() {
    if (to_ >= 0) close(to_);  // the holder ends at the end of its input
    if (from_ >= 0) close(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  ExclusiveHolder(const ExclusiveHolder&) = delete;
  ExclusiveHolder& operator=(const ExclusiveHolder&) = delete;

  // The pcsc-lite result of connecting to the reader exclusively, or of letting go.
  LONG Hold() { return Ask('h'); }
  LONG Release() { return Ask('r'); }

 private:
  LONG Ask(char command) {
    LONG rc = SCARD_F_UNKNOWN_ERROR;
    if (write(to_, &command, 1) != 1 || read(from_, &rc, sizeof rc) != sizeof rc) return SCARD_F_UNKNOWN_ERROR;
    return rc;
  }
  static void Serve(int in, int out) {
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
    char command;
    while (read(in, &command, 1) == 1) {
      LONG rc = SCARD_S_SUCCESS;
      if (ctx == 0) rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
      if (rc == SCARD_S_SUCCESS && command == 'h') {
        DWORD protocol = 0;
        rc = SCardConnect(ctx, kReader0, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                          &protocol);
      } else if (rc == SCARD_S_SUCCESS && command == 'r') {
        rc = SCardDisconnect(card, SCARD_LEAVE_CARD);
      }
      if (write(out, &rc, sizeof rc) != sizeof rc) break;
    }
    if (ctx != 0) SCardReleaseContext(ctx);
  }
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

// A HOME whose configuration enables the "PC/SC" back-end, pcscd with two
// readers and a PKCS#15 card in each, and the module (loaded by Load()).
struct PcscdFaultHost {
  HostEnv env;
  Pcscd pcscd;
  std::string image;     // the first reader's card
  std::string pristine;  // its image before the module ran
  std::unique_ptr<Module> module;
  PcscdFaultHost() : pcscd(env.home) {
    MakeDirs(env.Path("cards"));
    image = env.Path("cards/pkcs15-model3.card");
    pristine = ReadFile(std::string(MIRTAL_BUILD_DIR) + "/cards/pkcs15-model3.card");
    WriteFile(image, pristine);
    WriteFile(env.Path("cards/two-apps.card"),
              ReadFile(std::string(MIRTAL_BUILD_DIR) + "/cards/pkcs15-model3-two-apps.card"));
    // The bridge's log lines on (0x400) beside the default workers (0x8000000, 0x200).
    env.UserConfig("EnabledReaderSubsystems = PC/SC\nPKCS15Flags = 0x8000600\nEnableLogging = 1\nLogFileName = " +
                   env.Path("trace.log") + "\n");
  }
  ~PcscdFaultHost() {
    if (module && module->ok()) (*module)->C_Finalize(nullptr);
  }
  // Starts pcscd with the cards; the reason it cannot run here, or "".
  std::string StartReaders() {
    const std::string why = pcscd.Unavailable();
    if (!why.empty()) return why;
    if (!pcscd.StartDaemon()) return "pcscd could not start here: " + pcscd.Log();
    if (!pcscd.StartCards({image, env.Path("cards/two-apps.card")})) return "FAIL: the cards did not appear";
    return "";
  }
  bool Load() {
    module.reset(new Module);
    return module->ok() && (*module)->C_Initialize(nullptr) == CKR_OK;
  }
  const Module& m() const { return *module; }
  std::vector<CK_SLOT_ID> TokenSlots() const {
    CK_SLOT_ID ids[16];
    CK_ULONG n = 16;
    if (m()->C_GetSlotList(CK_TRUE, ids, &n) != CKR_OK) return {};
    return std::vector<CK_SLOT_ID>(ids, ids + n);
  }
  // Waits until the module lists the tokens of both cards again.
  bool TokensBack() const {
    return WaitFor([&] { return TokenSlots() == std::vector<CK_SLOT_ID>({0, 3, 4}); });
  }
  // The card's image, written back when the bridge ends, is what it was.
  void ExpectCardIntact() {
    if (module && module->ok()) {
      EXPECT_EQ(CKR_OK, (*module)->C_Finalize(nullptr));
    }
    module.reset();
    pcscd.StopCards();
    EXPECT_EQ(pristine, ReadFile(image));
  }
};

// One of several programs that share the first reader's card: for 20 seconds,
// a session's everyday calls in a loop, each C_Logout resetting the card under
// the others. 0 when every call answered CKR_OK and every value was the one
// expected; else the first step that did not is told on standard error, with
// what the call answered.
int ShareTheCard(int program) {
  Module m;
  std::string failed;
  CK_RV rv = CKR_OK;
  auto ok = [&](const char* step, bool good) {
    char text[32];
    std::snprintf(text, sizeof text, " answered 0x%lX", rv);
    if (!good && failed.empty()) failed = step + std::string(text);
    return good;
  };
  const std::string label = "program " + std::to_string(program), value(64, static_cast<char>('a' + program));
  TestTemplate data, byLabel, keys;
  data.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bytes(CKA_LABEL, label).Bytes(CKA_VALUE, value);
  byLabel.Bytes(CKA_LABEL, label);
  keys.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  CK_UTF8CHAR pin[] = "1234";
  std::vector<CK_BYTE> first, sig;
  std::vector<CK_OBJECT_HANDLE> found;
  ok("C_Initialize", m.ok() && (rv = m->C_Initialize(nullptr)) == CKR_OK);
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       failed.empty() && std::chrono::steady_clock::now() < end;) {
    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE o = 0;
    std::string back(value.size(), '\0');
    CK_ATTRIBUTE read = {CKA_VALUE, &back[0], back.size()};
    if (ok("C_OpenSession", (rv = m->C_OpenSession(0, kRw, nullptr, nullptr, &s)) == CKR_OK) &&
        ok("C_Login", (rv = m->C_Login(s, CKU_USER, pin, 4)) == CKR_OK) &&
        ok("C_FindObjects of the key", (rv = FindAll(m.list(), s, keys, &found)) == CKR_OK && !found.empty()) &&
        ok("C_SignInit or C_Sign", (rv = SignOnce(m, s, found[0], CKM_RSA_PKCS, DigestInfoOfAbc(), &sig)) == CKR_OK) &&
        ok("C_Sign's value", sig == (first.empty() ? first = sig : first)) &&
        ok("C_FindObjects of everything", (rv = FindAll(m.list(), s, TestTemplate(), &found)) == CKR_OK) &&
        ok("C_CreateObject", (rv = m->C_CreateObject(s, data.data(), data.size(), &o)) == CKR_OK) &&
        ok("C_FindObjects by label",
           (rv = FindAll(m.list(), s, byLabel, &found)) == CKR_OK && found == std::vector<CK_OBJECT_HANDLE>{o}) &&
        ok("C_GetAttributeValue", (rv = m->C_GetAttributeValue(s, o, &read, 1)) == CKR_OK && back == value) &&
        ok("C_DestroyObject", (rv = m->C_DestroyObject(s, o)) == CKR_OK))
      ok("C_Logout", (rv = m->C_Logout(s)) == CKR_OK);
    ok("C_CloseSession", s != 0 && (rv = m->C_CloseSession(s)) == CKR_OK);
  }
  ok("C_Finalize", m.ok() && (rv = m->C_Finalize(nullptr)) == CKR_OK);
  if (!failed.empty()) std::fprintf(stderr, "program %d: %s\n", program, failed.c_str());
  return failed.empty() ? 0 : 1;
}

#define START_READERS(h)                                  \
  do {                                                    \
    const std::string why = (h).StartReaders();           \
    if (why.rfind("FAIL", 0) == 0) FAIL() << why;         \
    if (!why.empty()) GTEST_SKIP() << why;                \
  } while (0)

}  // namespace

TEST(ModuleFaultsPcscd, PcscdStoppedAndStartedAgainWhileTheModuleIsLoaded) {
  PcscdFaultHost h;
  START_READERS(h);
  ASSERT_TRUE(h.Load());
  const Module& m = h.m();
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> reference, sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &reference));

  // Without pcscd the readers are gone: the subsystem does not run. The reader
  // workers see the service end as soon as the system lets them run; until then
  // a call may still find the card as it was.
  h.pcscd.StopDaemon();
  CK_SESSION_INFO si;
  EXPECT_TRUE(WaitFor([&] { return m->C_GetSessionInfo(s, &si) == CKR_SESSION_CLOSED; }));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(6u, n);  // numbered as at start-up
  EXPECT_TRUE(h.TokenSlots().empty());
  CK_SLOT_INFO info;
  ASSERT_EQ(CKR_OK, m->C_GetSlotInfo(0, &info));
  EXPECT_EQ(0u, info.flags & CKF_TOKEN_PRESENT);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_FUNCTION_FAILED, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_FUNCTION_FAILED, m->C_GetTokenInfo(3, &ti));
  EXPECT_EQ(CKR_FUNCTION_FAILED, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));

  // pcscd again: the same readers, the cards seen anew.
  ASSERT_TRUE(h.pcscd.StartDaemon());
  ASSERT_TRUE(h.TokensBack()) << h.pcscd.Log();
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(reference, sig);
  ASSERT_TRUE(OpenUserSession(m, 4, &s, &key));
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  h.ExpectCardIntact();
}

TEST(ModuleFaultsPcscd, PcscdRestartedBetweenTwoCalls) {
  PcscdFaultHost h;
  START_READERS(h);
  ASSERT_TRUE(h.Load());
  const Module& m = h.m();
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> reference, sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &reference));

  // The module's connection belongs to the pcscd that ended: the next call
  // reconnects to the new one and finds the card reset, a changed card.
  h.pcscd.StopDaemon();
  ASSERT_TRUE(h.pcscd.StartDaemon());
  ASSERT_TRUE(WaitFor([] { return CardPresent(kReader0) && CardPresent(kReader1); })) << h.pcscd.Log();
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_CLOSED, m->C_GetSessionInfo(s, &si));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(s, &si));
  EXPECT_EQ(std::vector<CK_SLOT_ID>({0, 3, 4}), h.TokenSlots());
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(reference, sig);
  // The way back: the old connection answered that the subsystem is not
  // running, the reader was released and opened again on the new daemon.
  const std::string trace = StripLogPrefixes(ReadFile(h.env.Path("trace.log")));
  for (const char* step : {"get state: 00000066", "reader release", "reader (re)init", "CARD connect"})
    EXPECT_NE(std::string::npos, trace.find(std::string("PKCS#15: SCPkcs15Lib::CheckCardState...(reader 0) ") + step))
        << step;
  h.ExpectCardIntact();
}

TEST(ModuleFaultsPcscd, CardHeldExclusivelyByAnotherProcess) {
  ExclusiveHolder holder;  // forked while this process has one thread
  PcscdFaultHost h;
  START_READERS(h);
  ASSERT_EQ(SCARD_S_SUCCESS, holder.Hold());
  ASSERT_TRUE(h.Load());
  const Module& m = h.m();
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(0, &ti));
  CK_SESSION_HANDLE s = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  EXPECT_EQ(std::vector<CK_SLOT_ID>({3, 4}), h.TokenSlots());

  // Let go: the card is the module's again; while the module uses it nobody
  // else gets it exclusively, and the module goes on signing.
  ASSERT_EQ(SCARD_S_SUCCESS, holder.Release());
  EXPECT_EQ(std::vector<CK_SLOT_ID>({0, 3, 4}), h.TokenSlots());
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(SCARD_E_SHARING_VIOLATION, holder.Hold());
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  h.ExpectCardIntact();
}

TEST(ModuleFaultsPcscd, FourProgramsShareOneCardAndEveryCallAnswers) {
  PcscdFaultHost h;
  h.env.UserConfig("EnabledReaderSubsystems = PC/SC\n");  // no trace: the programs go at full speed
  START_READERS(h);
  std::vector<pid_t> programs;
  for (int i = 0; i < 4; ++i) {
    programs.push_back(fork());  // before the module is loaded here: one thread
    if (programs.back() == 0) _exit(ShareTheCard(i));
  }
  for (pid_t pid : programs) {
    int status = -1;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "program " << pid << ", status " << status;
  }
  // Nothing lost or left: the card holds its one data object, as before.
  ASSERT_TRUE(h.Load());
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, h.m()->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  EXPECT_EQ(1u, Find(h.m(), s, TestTemplate().Ulong(CKA_CLASS, CKO_DATA)).size());
}

// The card's security state is shared through pcscd: after C_SetPIN without a login,
// another program (OpenSC's opensc-tool, a process of its own) finds the user PIN
// not verified, and cannot sign with the holder's key.
TEST(ModuleFaultsPcscd, AnotherProgramFindsNoPinACallVerified) {
  if (access("/usr/bin/opensc-tool", X_OK) != 0) GTEST_SKIP() << "OpenSC's opensc-tool is not installed";
  PcscdFaultHost h;
  START_READERS(h);
  ASSERT_TRUE(h.Load());
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, h.m()->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  CK_UTF8CHAR pin[] = "1234", other[] = "5678";
  ASSERT_EQ(CKR_OK, h.m()->C_SetPIN(s, pin, 4, other, 4));
  const std::string conf = h.env.Path("opensc.conf");
  WriteFile(conf, "app default {\n  card_drivers = default;\n  enable_default_driver = true;\n}\n");
  const std::string cmd = "OPENSC_CONF='" + conf + "' /usr/bin/opensc-tool -r '" + kReader0 +
                          "' -s 00A4080C025015 -s 00200081 -s 002241B603840101 -s 002A9E9A14" +
                          std::string(40, '0') + " 2>&1";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p != nullptr) pclose(p);
  EXPECT_NE(std::string::npos, out.find("SW1=0x63, SW2=0xC3")) << out;  // VERIFY without data: 3 tries, not verified
  EXPECT_NE(std::string::npos, out.find("SW1=0x69, SW2=0x82")) << out;  // the signature: security status not satisfied
  ASSERT_EQ(CKR_OK, h.m()->C_SetPIN(s, other, 4, pin, 4));
  h.ExpectCardIntact();
}
