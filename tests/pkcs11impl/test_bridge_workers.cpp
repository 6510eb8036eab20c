// The reader workers: started per reader, counting card events that the API
// side acknowledges, joined at shut-down and after a failed start; start and
// stop cycles while cards come and go, in process and through the module.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs11impl/tracelog.h"
#include "smartcard/sc_reader.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";

// Threads of the process, once none that exited is still listed (ten seconds at
// most): the kernel marks a thread as exiting (PF_EXITING in the flags of its
// stat) before a join of it returns, and lists it a moment longer. The first
// thread ever made may bring a sanitizer's helper thread with it, so one is made
// and joined first.
int ThreadCount() {
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  int live = 0;
  for (int tries = 0; tries < 1000; ++tries, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    int listed = 0;
    live = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = d ? readdir(d) : nullptr) {
      if (e->d_name[0] == '.') continue;
      ++listed;
      const std::string stat = testhost::ReadFile(std::string("/proc/self/task/") + e->d_name + "/stat");
      unsigned long flags = 0x4;  // gone meanwhile
      // After the name: state, ppid, pgrp, session, tty, tpgid, flags.
      if (stat.rfind(')') != std::string::npos)
        std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %lu", &flags);
      if ((flags & 0x4) == 0) ++live;
    }
    if (d) closedir(d);
    if (live == listed) break;
  }
  return live;
}

void Configure(SCPkcs15Lib& b, uint32_t flags) {
  b.SetEnabledReaderSubsystems("TARVO-MELK");
  b.SetDravokLibrary((SimLibrary() + ";Sim").c_str());
  b.SetPkcs15Flags(flags);
}

// Waits until the worker's event count differs from the acknowledged one.
bool WaitForEvent(SCPkcs15Lib& b, uint32_t reader) {
  for (int i = 0; i < 500; ++i) {
    uint32_t state = 0, ack = 0;
    if (!b.GetReaderRecordState(reader, nullptr, &state, &ack, nullptr, nullptr)) return false;
    if (state != ack) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::atomic<int> g_creates{0};
CK_RV FailingCreate(CK_VOID_PTR_PTR pp) {
  // The second mutex cannot be made: the first reader's worker already runs.
  if (++g_creates == 2) return CKR_HOST_MEMORY;
  *pp = OsMutexCreate();
  return *pp ? CKR_OK : CKR_HOST_MEMORY;
}
CK_RV OsDestroy(CK_VOID_PTR p) { return OsMutexDestroy(static_cast<pthread_mutex_t*>(p)) ? CKR_OK : CKR_GENERAL_ERROR; }
CK_RV OsLock(CK_VOID_PTR p) { return OsMutexLock(static_cast<pthread_mutex_t*>(p)) ? CKR_OK : CKR_GENERAL_ERROR; }
CK_RV OsUnlock(CK_VOID_PTR p) { return OsMutexUnlock(static_cast<pthread_mutex_t*>(p)) ? CKR_OK : CKR_GENERAL_ERROR; }

}  // namespace

TEST(BridgeWorkers, OneWorkerPerReaderCountsEventsThatTheApiSideAcknowledges) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  const int before = ThreadCount();
  {
    SCPkcs15Lib b;
    Configure(b, PKCS15_FLAG_WORKER_THREADS);
    ASSERT_EQ(SC_OK, b.InitLib(nullptr, 3));
    ASSERT_EQ(2u, b.GetReaderCount());
    EXPECT_EQ(before + 2, ThreadCount());
    uint32_t command = 0, state = 0, ack = 0;
    bool thread = false;
    ASSERT_TRUE(b.GetReaderRecordState(0, &command, &state, &ack, nullptr, &thread));
    EXPECT_EQ(uint32_t(READER_CMD_WAIT), command);
    EXPECT_TRUE(thread);
    EXPECT_EQ(1u, state);  // card present
    EXPECT_EQ(state, ack);
    ASSERT_TRUE(b.GetReaderRecordState(1, &command, &state, &ack, nullptr, &thread));
    EXPECT_EQ(0u, state);  // no card

    EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));  // newly connected
    EXPECT_EQ(0, b.CheckCardStateAndReconnectIfNeeded(0));  // unchanged
    ASSERT_EQ(0, sim.Remove(kR0));
    ASSERT_TRUE(WaitForEvent(b, 0));
    EXPECT_EQ(SC_E_NO_SMARTCARD, b.CheckCardStateAndReconnectIfNeeded(0));
    ASSERT_TRUE(b.GetReaderRecordState(0, nullptr, &state, &ack, nullptr, nullptr));
    EXPECT_EQ(state, ack);
    ASSERT_EQ(0, sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str()));
    ASSERT_TRUE(WaitForEvent(b, 0));
    EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));
    // The refresh stores the outcome on every slot of the reader.
    EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
    EXPECT_EQ(SC_OK, b.GetSlotResult(2));
    EXPECT_EQ(SC_E_PKCS15_NO_APPLICATION, b.RefreshTokenInfo(2, 1, 0));
    EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(4, 1, 0));
    EXPECT_EQ(SC_E_NO_SMARTCARD, b.GetSlotResult(3));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, b.RefreshTokenInfo(6, 1, 0));
    EXPECT_EQ(SC_OK, b.DeInitLib());
    EXPECT_FALSE(b.GetReaderRecordState(0, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(before, ThreadCount());
    EXPECT_EQ(SC_E_PKCS15_LIB_NOT_INITIATED, b.RefreshTokenInfo(0, 1, 0));
  }
  EXPECT_EQ(before, ThreadCount());
}

TEST(BridgeWorkers, NoWorkerWithoutTheFlagAndTheCheckStillSeesChanges) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  const int before = ThreadCount();
  SCPkcs15Lib b;
  Configure(b, 0);
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 0));  // 0 tokens asked: 3
  EXPECT_EQ(3u, b.GetTotalSlotCount());
  EXPECT_EQ(before, ThreadCount());
  EXPECT_FALSE(b.GetReaderRecordState(0, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));
  ASSERT_EQ(0, sim.Remove(kR0));
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.CheckCardStateAndReconnectIfNeeded(0));
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("blank-model3.card").c_str()));
  EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));
  ASSERT_EQ(0, sim.Remove(kR0));
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str()));
  EXPECT_EQ(2, b.CheckCardStateAndReconnectIfNeeded(0));  // exchanged while connected
  EXPECT_EQ(SC_E_READER_NOT_AVAILABLE, b.CheckCardStateAndReconnectIfNeeded(1));
  b.DeInitLib();
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 20));
  EXPECT_EQ(20u, b.GetTotalSlotCount());
  b.DeInitLib();
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 21));
  EXPECT_EQ(3u, b.GetTotalSlotCount());
}

TEST(BridgeWorkers, FailedStartJoinsTheWorkersItStartedAndFreesEverything) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  const int before = ThreadCount();
  SCPkcs15Lib b;
  Configure(b, PKCS15_FLAG_WORKER_THREADS);
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.CreateMutex = FailingCreate;
  args.DestroyMutex = OsDestroy;
  args.LockMutex = OsLock;
  args.UnlockMutex = OsUnlock;
  EXPECT_EQ(SC_E_PKCS15_CANT_LOCK, b.InitLib(&args, 3));
  EXPECT_EQ(2, g_creates.load());
  EXPECT_FALSE(b.IsInitialized());
  EXPECT_EQ(0u, b.GetReaderCount());
  EXPECT_EQ(0u, b.GetTotalSlotCount());
  EXPECT_EQ(nullptr, b.GetReader(0));
  EXPECT_EQ(before, ThreadCount());
  // The same bridge starts cleanly afterwards.
  args.flags = CKF_LIBRARY_CANT_CREATE_OS_THREADS;
  EXPECT_EQ(SC_E_PKCS15_NEED_CREATE_THREADS, b.InitLib(&args, 3));
  EXPECT_EQ(before, ThreadCount());
  args.flags = 0;
  args.CreateMutex = nullptr;
  EXPECT_EQ(SC_E_PKCS15_CANT_LOCK, b.InitLib(&args, 3));
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(SC_OK, b.InitLib(&args, 3));
  EXPECT_EQ(before + 2, ThreadCount());
  b.DeInitLib();
  EXPECT_EQ(before, ThreadCount());
}

TEST(BridgeWorkers, StartAndStopCyclesWhileCardsComeAndGo) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "blank-model3.card"}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  const int before = ThreadCount();
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    bool in = true;
    while (!stop.load()) {
      if (in)
        sim.Remove(kR1);
      else
        sim.Insert(kR1, env.Card("blank-model3.card").c_str());
      in = !in;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  SCPkcs15Lib b;
  Configure(b, PKCS15_FLAG_WORKER_THREADS);
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(SC_OK, b.InitLib(nullptr, 2));
    EXPECT_EQ(SC_OK, b.ReadTokenList());
    EXPECT_EQ(SC_OK, b.GetSlotResult(0));
    const SCRESULT r = b.GetSlotResult(2);
    EXPECT_TRUE(r == SC_E_PKCS15_CARD_NOT_INITIALIZED || r == SC_E_NO_SMARTCARD || r == SC_E_CARD_REMOVED ||
                r == SC_E_CARD_UNSUPPORTED)
        << std::hex << r;
    b.DeInitLib();
  }
  stop = true;
  toggler.join();
  EXPECT_EQ(before, ThreadCount());
}

TEST(BridgeWorkers, ModuleInitialiseFinaliseCyclesWhileCardsComeAndGo) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  const int before = ThreadCount();
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    bool in = false;
    while (!stop.load()) {
      if (in)
        sim.Remove(kR1);
      else
        sim.Insert(kR1, env.Card("blank-model1.card").c_str());
      in = !in;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(CKR_OK, m->C_Initialize(&args));
    CK_ULONG n = 0;
    EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, nullptr, &n));
    EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
    EXPECT_EQ(6u, n);
    CK_SLOT_INFO info;
    for (CK_SLOT_ID s = 0; s < n; ++s) EXPECT_EQ(CKR_OK, m->C_GetSlotInfo(s, &info));
    EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  }
  stop = true;
  toggler.join();
  EXPECT_EQ(before, ThreadCount());
}

TEST(BridgeWorkers, ReaderLocksCarryTheirIdsAndOneIdAfterANewLogger) {
  SimEnv env(Readers{{kR0, ""}, {kR1, ""}, {"CardSim Reader 2", ""}});
  TraceLogger logger("PKCS#11: ");
  CPkcs15Lib b;
  Configure(b, 0);
  b.SetLockLogger(&logger);
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, b.InitLib(&args));
  ASSERT_EQ(3u, b.GetReaderLockCount());
  EXPECT_EQ(101, b.GetReaderLock(0)->GetId());
  EXPECT_EQ(102, b.GetReaderLock(4)->GetId());
  EXPECT_EQ(103, b.GetReaderLock(8)->GetId());
  EXPECT_EQ(nullptr, b.GetReaderLock(9));
  Pkcs11Lock* lock = nullptr;
  EXPECT_EQ(CKR_OK, b.LockReader(5, &lock));
  EXPECT_EQ(b.GetReaderLock(3), lock);
  EXPECT_EQ(CKR_OK, b.UnlockReader(5));
  EXPECT_EQ(CKR_GENERAL_ERROR, b.LockReader(9, &lock));
  EXPECT_EQ(nullptr, lock);
  b.SetLockLogger(&logger);
  for (CK_SLOT_ID s : {0ul, 3ul, 6ul}) EXPECT_EQ(101, b.GetReaderLock(s)->GetId());
  b.EnableReaderLockLogging(false);
  EXPECT_EQ(0, b.GetReaderLock(0)->GetId());
  EXPECT_EQ(CKR_OK, b.DeInitLib());
  EXPECT_EQ(0u, b.GetReaderLockCount());
  EXPECT_EQ(nullptr, b.GetReaderLock(0));
}

TEST(BridgeWorkers, AReaderThatDisappearsIsCleanedAndInitialisedAgainWhenItReturns) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  SCPkcs15Lib b;
  Configure(b, PKCS15_FLAG_WORKER_THREADS);
  ASSERT_EQ(SC_OK, b.InitLib(nullptr, 2));
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_TRUE(b.IsReaderReinserted(0));
  // Reader 0 goes away: its slots get the reader failure and its card is dropped.
  testhost::WriteFile(env.cards + "/one.conf", std::string("reader ") + kR1 + "\n");
  ASSERT_EQ(0, sim.LoadConfig((env.cards + "/one.conf").c_str()));
  const SCRESULT gone = b.RefreshTokenInfo(1, 1, 0);
  EXPECT_TRUE(gone == SC_E_READER_NOT_FOUND || gone == SC_E_READER_NOT_AVAILABLE) << std::hex << gone;
  EXPECT_EQ(gone, b.GetSlotResult(0));
  EXPECT_EQ(gone, b.GetSlotResult(1));
  EXPECT_FALSE(b.GetReader(0)->IsConnected());
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(0));
  // It comes back with a card: initialised again, the card connected anew.
  testhost::WriteFile(env.cards + "/two.conf", std::string("reader ") + kR0 + "\ncard pkcs15-model3.card\nreader " +
                                                   kR1 + "\n");
  ASSERT_EQ(0, sim.LoadConfig((env.cards + "/two.conf").c_str()));
  EXPECT_FALSE(b.GetReader(0)->IsInitialized());  // its new start failed while it was gone
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_TRUE(b.GetReader(0)->IsConnected());
  EXPECT_EQ(CKR_OK, b.GetSlotPresence(0));
  EXPECT_EQ(SC_E_PKCS15_NO_APPLICATION, b.RefreshTokenInfo(1, 1, 0));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(1));
  b.DeInitLib();
}
