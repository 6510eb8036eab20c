// C_Finalize while other host threads are inside the module: one thread's
// signature is held inside the card (the simulator pauses its command, so the
// thread holds the global lock), others wait for that lock, one finalizes and
// more come while it does. Every call comes back, each with its own answer or
// CKR_CRYPTOKI_NOT_INITIALIZED; the lock is destroyed only when nobody holds or
// waits for it, and never unlocked by a thread that does not hold it; the module
// starts again afterwards. Run with the host's mutex callbacks (watched, so the
// test knows when the threads wait) and with the operating system's locking.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
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

const char kReader[] = "CardSim Reader 0";
constexpr int kWaiters = 4;  // threads that wait for the lock before C_Finalize
constexpr int kLate = 4;     // threads that come while it runs
// Only a safety net: a run that hangs ends here with a message instead of at the test's timeout.
constexpr auto kHang = std::chrono::seconds(60);

// The host's mutexes, as the module uses them. They are never freed, so a use
// after destruction is seen (and answered CKR_MUTEX_BAD) instead of crashing.
struct Watched {
  bool held = false;
  std::thread::id owner;
  int waiters = 0;
  bool destroyed = false;
};
std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::unique_ptr<Watched>> g_mutexes;
std::vector<std::string> g_problems;
int g_callersWaiting = 0;            // waits by the test's own calling threads
thread_local bool t_caller = false;  // set by those threads

void Problem(const std::string& what) {
  if (g_problems.size() < 20) g_problems.push_back(what);
}

CK_RV WatchedCreate(CK_VOID_PTR_PTR pp) {
  std::lock_guard<std::mutex> g(g_mu);
  g_mutexes.push_back(std::make_unique<Watched>());
  *pp = g_mutexes.back().get();
  return CKR_OK;
}
CK_RV WatchedDestroy(CK_VOID_PTR p) {
  std::lock_guard<std::mutex> g(g_mu);
  Watched* w = static_cast<Watched*>(p);
  if (w->destroyed) Problem("a mutex destroyed twice");
  if (w->held) Problem("a mutex destroyed while a thread holds it");
  if (w->waiters) Problem(Fmt("a mutex destroyed while %d threads wait for it", w->waiters));
  w->destroyed = true;
  g_cv.notify_all();
  return CKR_OK;
}
CK_RV WatchedLock(CK_VOID_PTR p) {
  std::unique_lock<std::mutex> g(g_mu);
  Watched* w = static_cast<Watched*>(p);
  ++w->waiters;
  if (t_caller) ++g_callersWaiting;
  g_cv.notify_all();
  g_cv.wait(g, [&] { return !w->held || w->destroyed; });
  --w->waiters;
  if (t_caller) --g_callersWaiting;
  if (w->destroyed) {
    Problem("a destroyed mutex locked");
    return CKR_MUTEX_BAD;
  }
  w->held = true;
  w->owner = std::this_thread::get_id();
  return CKR_OK;
}
CK_RV WatchedUnlock(CK_VOID_PTR p) {
  std::lock_guard<std::mutex> g(g_mu);
  Watched* w = static_cast<Watched*>(p);
  if (w->destroyed) Problem("a destroyed mutex unlocked");
  if (!w->held || w->owner != std::this_thread::get_id()) {
    Problem("a mutex unlocked by a thread that does not hold it");
    return CKR_MUTEX_NOT_LOCKED;
  }
  w->held = false;
  g_cv.notify_all();
  return CKR_OK;
}

// Waits (with the safety net) until n of the test's calling threads wait for a lock.
bool CallersWaiting(int n) {
  std::unique_lock<std::mutex> g(g_mu);
  return g_cv.wait_for(g, kHang, [&] { return g_callersWaiting >= n; });
}

CK_C_INITIALIZE_ARGS Args(bool hostCallbacks) {
  CK_C_INITIALIZE_ARGS a;
  std::memset(&a, 0, sizeof a);
  if (hostCallbacks) {
    a.CreateMutex = WatchedCreate;
    a.DestroyMutex = WatchedDestroy;
    a.LockMutex = WatchedLock;
    a.UnlockMutex = WatchedUnlock;
  } else {
    a.flags = CKF_OS_LOCKING_OK;
  }
  return a;
}

// Host threads whose calls must all come back.
class Callers {
 public:
  ~Callers() {
    for (std::thread& t : threads_) t.join();
  }
  void Start(const char* what, std::function<CK_RV()> call) {
    const size_t i = results_.size();
    results_.push_back({what, CKR_GENERAL_ERROR});
    threads_.emplace_back([this, i, call] {
      t_caller = true;
      const CK_RV rv = call();
      std::lock_guard<std::mutex> g(mu_);
      results_[i].second = rv;
      ++done_;
      cv_.notify_all();
    });
  }
  // Every call returned; a hang ends the process with the calls still inside.
  void AwaitAll() {
    std::unique_lock<std::mutex> g(mu_);
    if (cv_.wait_for(g, kHang, [&] { return done_ == results_.size(); })) return;
    for (const auto& r : results_)
      std::fprintf(stderr, "%s: %s\n", r.first, r.second == CKR_GENERAL_ERROR ? "hangs" : "returned");
    std::fprintf(stderr, "calls racing C_Finalize never came back\n");
    std::fflush(stderr);
    std::abort();
  }
  const std::vector<std::pair<const char*, CK_RV>>& Results() const { return results_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t done_ = 0;
  // Written before the threads start or under mu_ (each thread its own entry).
  std::vector<std::pair<const char*, CK_RV>> results_;
  std::vector<std::thread> threads_;
};

void FinalizeWhileCallsAreInside(bool hostCallbacks) {
  SimEnv env(Readers{{kReader, "pkcs15-model3.card"}});
  env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_FUNCTION_LIST* f = m.list();
  CK_C_INITIALIZE_ARGS args = Args(hostCallbacks);
  ASSERT_EQ(CKR_OK, f->C_Initialize(&args));

  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(CKR_OK, f->C_SignInit(s, &mech, key));
  std::vector<CK_BYTE> data = DigestInfoOfAbc();
  std::vector<CK_BYTE> sig(256);
  CK_ULONG sigLen = sig.size();
  ASSERT_EQ(0, sim.Pause(kReader, 0x2A));  // PERFORM SECURITY OPERATION

  {
    std::vector<CK_TOKEN_INFO> infos(kWaiters + kLate);
    Callers callers;
    // Declared after the callers: a failed assertion lets the held command go before the threads are joined.
    struct LetGo {
      CardSim& sim;
      ~LetGo() { sim.Resume(kReader); }
    } letGo{sim};
    callers.Start("C_Sign", [&] { return f->C_Sign(s, data.data(), data.size(), sig.data(), &sigLen); });
    ASSERT_EQ(0, sim.WaitPaused(kReader, 60000)) << "the signature never reached the card";
    for (int i = 0; i < kWaiters; ++i)
      callers.Start("C_GetTokenInfo (waiting)", [&, i] { return f->C_GetTokenInfo(0, &infos[i]); });
    if (hostCallbacks) {
      ASSERT_TRUE(CallersWaiting(kWaiters));
    }
    callers.Start("C_Finalize", [&] { return f->C_Finalize(nullptr); });
    if (hostCallbacks) {
      ASSERT_TRUE(CallersWaiting(kWaiters + 1));
    }
    for (int i = kWaiters; i < kWaiters + kLate; ++i)
      callers.Start("C_GetTokenInfo (late)", [&, i] { return f->C_GetTokenInfo(0, &infos[i]); });
    ASSERT_EQ(0, sim.Resume(kReader));
    callers.AwaitAll();

    for (const auto& r : callers.Results()) {
      const std::string what = r.first;
      if (what == "C_Sign" || what == "C_Finalize")
        EXPECT_EQ(CKR_OK, r.second) << what;
      else
        EXPECT_TRUE(r.second == CKR_OK || r.second == CKR_CRYPTOKI_NOT_INITIALIZED) << what << Fmt(": 0x%lx", r.second);
    }
  }
  EXPECT_EQ(256u, sigLen);
  {
    std::lock_guard<std::mutex> g(g_mu);
    for (const std::string& p : g_problems) ADD_FAILURE() << p;
    g_problems.clear();
  }
  EXPECT_NE(std::string::npos, sim.ApduLog(kReader).find("# paused"));

  // The module was wholly down and comes up again.
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_Finalize(nullptr));
  ASSERT_EQ(CKR_OK, f->C_Initialize(&args));
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> again;
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, data, &again));
  EXPECT_EQ(std::vector<CK_BYTE>(sig.begin(), sig.begin() + sigLen), again);
  EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
  std::lock_guard<std::mutex> g(g_mu);
  for (const std::string& p : g_problems) ADD_FAILURE() << p;
  g_problems.clear();
}

}  // namespace

TEST(ModuleFinalizeRace, CallsInsideOrWaitingFinishOrAreNotInitializedWithHostMutexes) {
  FinalizeWhileCallsAreInside(true);
}

TEST(ModuleFinalizeRace, CallsInsideOrWaitingFinishOrAreNotInitializedWithOsLocking) {
  FinalizeWhileCallsAreInside(false);
}
