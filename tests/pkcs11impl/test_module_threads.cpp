// Many host threads in the module at once, with operating-system locking and
// with the host's own mutex callbacks.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/module_host.h"

using namespace testhost;

namespace {

std::atomic<int> g_locks{0};

CK_RV Create(CK_VOID_PTR_PTR pp) {
  *pp = new std::mutex();
  return CKR_OK;
}
CK_RV Destroy(CK_VOID_PTR p) {
  delete static_cast<std::mutex*>(p);
  return CKR_OK;
}
CK_RV Lock(CK_VOID_PTR p) {
  static_cast<std::mutex*>(p)->lock();
  ++g_locks;
  return CKR_OK;
}
CK_RV Unlock(CK_VOID_PTR p) {
  static_cast<std::mutex*>(p)->unlock();
  return CKR_OK;
}

void Hammer(CK_FUNCTION_LIST* f, int iterations, std::atomic<int>* failures) {
  for (int i = 0; i < iterations; ++i) {
    CK_INFO info;
    if (f->C_GetInfo(&info) != CKR_OK || info.libraryVersion.major != 4) ++*failures;
    CK_ULONG n = 9;
    if (f->C_GetSlotList(i & 1, nullptr, &n) != CKR_OK || n != 0) ++*failures;
    CK_SESSION_INFO si;
    if (f->C_GetSessionInfo(static_cast<CK_SESSION_HANDLE>(i + 1), &si) != CKR_SESSION_HANDLE_INVALID) ++*failures;
    CK_SESSION_HANDLE h = 0;
    if (f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_SLOT_ID_INVALID) ++*failures;
    if (f->C_CloseSession(static_cast<CK_SESSION_HANDLE>(i + 1)) != CKR_SESSION_HANDLE_INVALID) ++*failures;
    if (f->C_CloseAllSessions(0) != CKR_SLOT_ID_INVALID) ++*failures;
  }
}

void RunThreads(CK_FUNCTION_LIST* f) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(Hammer, f, 300, &failures);
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
}

}  // namespace

TEST(ModuleThreads, ManyHostThreadsWithOsLocking) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a{};
  a.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&a));
  RunThreads(m.list());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  // Every line of every thread arrived whole.
  const std::string text = ReadFile(log);
  size_t starts = 0;
  for (size_t at = text.find("C_GetSlotList() [starting]"); at != std::string::npos;
       at = text.find("C_GetSlotList() [starting]", at + 1))
    ++starts;
  EXPECT_EQ(8u * 300u, starts);
}

TEST(ModuleThreads, ManyHostThreadsWithHostCallbacks) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a{};
  a.CreateMutex = Create;
  a.DestroyMutex = Destroy;
  a.LockMutex = Lock;
  a.UnlockMutex = Unlock;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&a));
  RunThreads(m.list());
  // Every locking member went through the host's lock.
  EXPECT_EQ(8 * 300 * 5, g_locks.load());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleThreads, ConcurrentInitializeAndFinalizeStayCounted) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_FUNCTION_LIST* f = m.list();
  ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        CK_C_INITIALIZE_ARGS a{};
        a.flags = CKF_OS_LOCKING_OK;
        if (f->C_Initialize(&a) != CKR_OK) ++failures;
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_FALSE, nullptr, &n) != CKR_OK) ++failures;
        if (f->C_Finalize(nullptr) != CKR_OK) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, f->C_GetSlotList(CK_FALSE, nullptr, &n));  // still initialised once
  EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_GetSlotList(CK_FALSE, nullptr, &n));
}
