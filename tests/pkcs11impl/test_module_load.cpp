// Load: 32 host threads on the four tokens of two simulated cards open and
// close sessions, log in and out, search, read attributes and sign, all at
// once, for a while. Every answer is one that the token's shared login state
// allows at that moment, every signature is the token's own (PKCS #1 v1.5 is
// deterministic: each equals the one made before the threads started), and
// the process's resident memory after 100,000 calls is within 1 MiB of what it
// was after 1,000. The calls are counted from when every thread has been once
// through its round: a thread's first signature touches its stack and its
// allocator arena for the first time, which is no growth with the calls.
//
// How long it runs: MIRTAL_LOAD_SECONDS seconds and at least 100,000 calls
// (`make bench` runs it for ten minutes); unset, until 100,000 calls, or for 30
// seconds under ThreadSanitizer (10 under AddressSanitizer), where the memory
// figure means nothing.
#include <unistd.h>

#include <array>
#include <iterator>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/module_calls.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizedSeconds = 30;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizedSeconds = 10;
#else
constexpr int kSanitizedSeconds = 0;  // not sanitized
#endif
constexpr bool kSanitized = kSanitizedSeconds != 0;

constexpr int kThreads = 32;
constexpr CK_SLOT_ID kTokens[4] = {0, 1, 3, 4};  // two tokens on each of two cards
// Where the resident memory is taken: the two compared, and two more that a long run reaches.
constexpr uint64_t kMarks[] = {1000, 100000, 1000000, 10000000};
constexpr uint64_t kCalls = kMarks[1];  // the calls every run makes at least, unsanitized
CK_UTF8CHAR kUserPin[] = "1234";

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

// The calls made, the resident memory at the two marks, and every answer that
// was not allowed (the first few, with counts by call and value).
class Tally {
 public:
  void Count() {
    calls_.fetch_add(1);
    if (!counting_.load()) return;
    const uint64_t n = counted_.fetch_add(1) + 1;
    for (size_t i = 0; i < std::size(kMarks); ++i)
      if (n == kMarks[i]) at_[i] = ResidentBytes();
  }
  // A thread has been once through its round; counting starts when all have.
  void Warm() {
    if (warm_.fetch_add(1) + 1 == kThreads) counting_ = true;
  }
  uint64_t Calls() const { return calls_.load(); }
  uint64_t Counted() const { return counted_.load(); }
  // The resident memory at mark i, 0 when the run did not reach it.
  long At(size_t i) const { return at_[i].load(); }
  void Record(const char* call, CK_RV rv, bool allowed) {
    std::lock_guard<std::mutex> g(lock_);
    ++answers_[std::string(call) + Fmt(" 0x%lx", rv)];
    if (!allowed && problems_.size() < 20) problems_.push_back(Fmt("%s gave 0x%lx", call, rv));
  }
  void Problem(const std::string& what) {
    std::lock_guard<std::mutex> g(lock_);
    if (problems_.size() < 20) problems_.push_back(what);
  }
  std::vector<std::string> Problems() const { return problems_; }
  const std::map<std::string, uint64_t>& Answers() const { return answers_; }
  uint64_t Count(const std::string& key) const {
    const auto it = answers_.find(key);
    return it == answers_.end() ? 0 : it->second;
  }

 private:
  std::atomic<uint64_t> calls_{0}, counted_{0};
  std::atomic<int> warm_{0};
  std::atomic<bool> counting_{false};
  std::atomic<long> at_[std::size(kMarks)] = {};
  mutable std::mutex lock_;
  std::map<std::string, uint64_t> answers_;
  std::vector<std::string> problems_;
};

struct Shared {
  CK_FUNCTION_LIST* f;
  std::array<std::vector<CK_BYTE>, 4> reference;  // each token's signature of the DigestInfo
  Tally tally;
  std::atomic<bool> stop{false};
};

// One host thread: rounds of open, log in, search, read, sign, maybe log out,
// close, on one token. Another thread's logout (or the close of the token's
// last session) logs every session of the token out, ends their searches and
// operations: the answers below allow for that, and only for that.
void Worker(Shared* sh, int id) {
  CK_FUNCTION_LIST* f = sh->f;
  const int token = id % 4;
  const CK_SLOT_ID slot = kTokens[token];
  const std::vector<CK_BYTE>& digestInfo = DigestInfoOfAbc();
  Tally& t = sh->tally;
  const auto call = [&](const char* name, CK_RV rv, std::initializer_list<CK_RV> allowed) {
    t.Count();
    bool ok = false;
    for (CK_RV a : allowed) ok |= a == rv;
    t.Record(name, rv, ok);
    return rv;
  };
  for (unsigned round = 0; !sh->stop.load(std::memory_order_relaxed); ++round) {
    CK_SESSION_HANDLE s = 0;
    const CK_FLAGS flags = CKF_SERIAL_SESSION | (round % 4 ? CKF_RW_SESSION : 0);
    if (call("C_OpenSession", f->C_OpenSession(slot, flags, nullptr, nullptr, &s), {CKR_OK}) != CKR_OK) continue;
    call("C_Login", f->C_Login(s, CKU_USER, kUserPin, 4), {CKR_OK, CKR_USER_ALREADY_LOGGED_IN});
    for (int i = 0; i < 4; ++i) {
      // A search for the private key, which only a logged-in session sees.
      CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
      CK_ATTRIBUTE tmpl = {CKA_CLASS, &cls, sizeof cls};
      CK_OBJECT_HANDLE found[4];
      CK_ULONG n = 0;
      CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
      if (call("C_FindObjectsInit", f->C_FindObjectsInit(s, &tmpl, 1), {CKR_OK}) == CKR_OK) {
        if (call("C_FindObjects", f->C_FindObjects(s, found, 4, &n), {CKR_OK, CKR_OPERATION_NOT_INITIALIZED}) ==
                CKR_OK &&
            n == 1)
          key = found[0];
        call("C_FindObjectsFinal", f->C_FindObjectsFinal(s), {CKR_OK, CKR_OPERATION_NOT_INITIALIZED});
      }
      CK_SESSION_INFO si;
      call("C_GetSessionInfo", f->C_GetSessionInfo(s, &si), {CKR_OK});
      if (key == CK_INVALID_HANDLE) continue;
      char label[64];
      CK_ATTRIBUTE a = {CKA_LABEL, label, sizeof label};
      call("C_GetAttributeValue", f->C_GetAttributeValue(s, key, &a, 1), {CKR_OK, CKR_OBJECT_HANDLE_INVALID});
      if ((round + i) % 3 != 0) continue;
      CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
      if (call("C_SignInit", f->C_SignInit(s, &mech, key), {CKR_OK, CKR_KEY_HANDLE_INVALID, CKR_OBJECT_HANDLE_INVALID}) !=
          CKR_OK)
        continue;
      CK_BYTE sig[256];
      CK_ULONG len = sizeof sig;
      const CK_RV rv = call("C_Sign", f->C_Sign(s, const_cast<CK_BYTE*>(digestInfo.data()), digestInfo.size(), sig, &len),
                            {CKR_OK, CKR_USER_NOT_LOGGED_IN, CKR_OPERATION_NOT_INITIALIZED});
      if (rv == CKR_OK && std::vector<CK_BYTE>(sig, sig + len) != sh->reference[token])
        t.Problem(Fmt("thread %d: a signature on slot %lu is not the token's", id, slot));
    }
    // Every eighth thread logs its token out now and then.
    if (id % 8 == 0 && round % 4 == 3) call("C_Logout", f->C_Logout(s), {CKR_OK, CKR_USER_NOT_LOGGED_IN});
    call("C_CloseSession", f->C_CloseSession(s), {CKR_OK});
    if (round == 0) t.Warm();
  }
}

}  // namespace

TEST(ModuleUnderLoad, ThirtyTwoThreadsOnFourTokensOfTwoCards) {
  const char* env = std::getenv("MIRTAL_LOAD_SECONDS");
  const int seconds = env ? std::atoi(env) : kSanitizedSeconds;
  const uint64_t minCalls = kSanitized && !env ? 0 : kCalls;
  const int limit = std::max(seconds, 0) + 300;  // a run that cannot reach its calls fails here

  // The trace is off: it would write every call of the run.
  SimEnv envHome(Readers{{"CardSim Reader 0", "pkcs15-model3-two-apps.card"},
                         {"CardSim Reader 1", "pkcs15-model3-two-apps.card"}});
  envHome.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&args));

  Shared sh;
  sh.f = m.list();
  for (int i = 0; i < 4; ++i) {
    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE key = 0;
    ASSERT_TRUE(OpenUserSession(m, kTokens[i], &s, &key)) << kTokens[i];
    ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sh.reference[i]));
    ASSERT_EQ(CKR_OK, m->C_CloseSession(s));
  }
  EXPECT_NE(sh.reference[0], sh.reference[1]);  // two applications, two keys

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) threads.emplace_back(Worker, &sh, id);
  while (true) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The simulator keeps a log of every command; it is not the module's memory.
    sim.ClearLog("CardSim Reader 0");
    sim.ClearLog("CardSim Reader 1");
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if ((elapsed >= seconds && sh.tally.Counted() >= minCalls) || elapsed > limit) break;
  }
  sh.stop = true;
  for (std::thread& th : threads) th.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const Tally& t = sh.tally;
  std::printf("%llu calls in %.1f s (%.0f calls/s) by %d threads; %llu signatures\n",
              static_cast<unsigned long long>(t.Calls()), elapsed, t.Calls() / elapsed, kThreads,
              static_cast<unsigned long long>(t.Count("C_Sign 0x0")));
  for (const auto& a : t.Answers())
    std::printf("  %-28s %llu\n", a.first.c_str(), static_cast<unsigned long long>(a.second));
  for (const std::string& p : t.Problems()) ADD_FAILURE() << p;
  EXPECT_GE(t.Counted(), minCalls);
  EXPECT_GT(t.Count("C_Sign 0x0"), 0u);
  EXPECT_GT(t.Count("C_Logout 0x0"), 0u);
  if (!kSanitized) {
    std::printf("resident memory:");
    for (size_t i = 0; i < std::size(kMarks); ++i)
      if (t.At(i) != 0) std::printf(" %ld KiB after %llu calls,", t.At(i) / 1024, static_cast<unsigned long long>(kMarks[i]));
    std::printf(" %ld KiB at the end\n", ResidentBytes() / 1024);
    EXPECT_LE(t.At(1) - t.At(0), 1024 * 1024) << "resident memory grew by more than 1 MiB";
  }

  // Everything closed: no session is left on any token, and none is logged in.
  for (CK_SLOT_ID slot : kTokens) {
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0u, ti.ulSessionCount) << slot;
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
    CK_SESSION_INFO si;
    ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(s, &si));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state) << slot;
  }
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}
