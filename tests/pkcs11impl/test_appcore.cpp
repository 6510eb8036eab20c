// The application core in process: the lock in its three modes, sessions with
// their objects and search results, object-handle counters, the token-result
// mapping and the start-up text helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "pkcs11impl/app.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/session.h"
#include "pkcs11impl/thread.h"
#include "support/vtest.h"
#include "tests/common/own_pcscd.h"

namespace {

int g_creates, g_destroys, g_locks, g_unlocks;
CK_RV g_lockResult = CKR_OK;
int g_mutexObject;

CK_RV Create(CK_VOID_PTR_PTR pp) {
  ++g_creates;
  *pp = &g_mutexObject;
  return CKR_OK;
}
CK_RV Destroy(CK_VOID_PTR) {
  ++g_destroys;
  return CKR_OK;
}
CK_RV LockCb(CK_VOID_PTR) {
  ++g_locks;
  return g_lockResult;
}
CK_RV UnlockCb(CK_VOID_PTR) {
  ++g_unlocks;
  return CKR_OK;
}

CK_C_INITIALIZE_ARGS CallbackArgs(CK_FLAGS flags) {
  CK_C_INITIALIZE_ARGS a{};
  a.CreateMutex = Create;
  a.DestroyMutex = Destroy;
  a.LockMutex = LockCb;
  a.UnlockMutex = UnlockCb;
  a.flags = flags;
  return a;
}

void ResetCounts() { g_creates = g_destroys = g_locks = g_unlocks = 0, g_lockResult = CKR_OK; }

}  // namespace

TEST(GlobalLock, DisabledWithoutArgumentsAndWithoutOsFlag) {
  Pkcs11Lock lock;
  EXPECT_EQ(CKR_OK, lock.Initialize(nullptr));
  EXPECT_FALSE(lock.IsEnabled());
  EXPECT_EQ(CKR_OK, lock.Create());
  EXPECT_EQ(CKR_OK, lock.Lock());
  EXPECT_FALSE(lock.HasMutex());
  EXPECT_EQ(CKR_OK, lock.Unlock());
  EXPECT_EQ(CKR_OK, lock.Destroy());
  CK_C_INITIALIZE_ARGS none{};
  EXPECT_EQ(CKR_OK, lock.Initialize(&none));
  EXPECT_FALSE(lock.IsEnabled());
}

TEST(GlobalLock, OsMutexWithTheFlag) {
  Pkcs11Lock lock;
  CK_C_INITIALIZE_ARGS a{};
  a.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, lock.Initialize(&a));
  EXPECT_TRUE(lock.IsEnabled());
  EXPECT_TRUE(lock.UsesSystemMutex());
  EXPECT_EQ(CKR_MUTEX_BAD, lock.Lock());  // no mutex yet
  EXPECT_FALSE(lock.IsLocked());
  ASSERT_EQ(CKR_OK, lock.Create());
  EXPECT_EQ(CKR_OK, lock.Lock());
  EXPECT_TRUE(lock.IsLocked());
  // Destroying a held lock releases it first.
  EXPECT_EQ(CKR_OK, lock.Destroy());
  EXPECT_FALSE(lock.HasMutex());
  EXPECT_EQ(CKR_MUTEX_BAD, lock.Unlock());
  EXPECT_EQ(CKR_MUTEX_BAD, lock.Destroy());
}

TEST(GlobalLock, HostCallbacksForEveryOperation) {
  ResetCounts();
  Pkcs11Lock lock;
  CK_C_INITIALIZE_ARGS a = CallbackArgs(0);
  ASSERT_EQ(CKR_OK, lock.Initialize(&a));
  EXPECT_FALSE(lock.UsesSystemMutex());
  ASSERT_EQ(CKR_OK, lock.Create());
  EXPECT_EQ(1, g_creates);
  EXPECT_EQ(CKR_OK, lock.Lock());
  EXPECT_EQ(CKR_OK, lock.Unlock());
  // A failing host lock is passed through and does not count as held.
  g_lockResult = CKR_CANT_LOCK;
  EXPECT_EQ(CKR_CANT_LOCK, lock.Lock());
  EXPECT_FALSE(lock.IsLocked());
  EXPECT_EQ(CKR_OK, lock.Destroy());
  EXPECT_EQ(2, g_locks);
  EXPECT_EQ(1, g_unlocks);  // no unlock for the lock that was not taken
  EXPECT_EQ(1, g_destroys);
  // Create on a lock with a mutex replaces it.
  ASSERT_EQ(CKR_OK, lock.Create());
  ASSERT_EQ(CKR_OK, lock.Create());
  EXPECT_EQ(3, g_creates);
  EXPECT_EQ(2, g_destroys);
}

TEST(GlobalLock, DestroyLeavesALockHeldByAnotherThreadAlone) {
  for (const CK_FLAGS flags : {CK_FLAGS(0), CK_FLAGS(CKF_OS_LOCKING_OK)}) {
    ResetCounts();
    Pkcs11Lock lock;
    CK_C_INITIALIZE_ARGS a = CallbackArgs(flags);
    ASSERT_EQ(CKR_OK, lock.Initialize(&a));
    ASSERT_EQ(CKR_OK, lock.Create());
    std::atomic<int> step{0};
    std::thread holder([&] {
      lock.Lock();
      step = 1;
      while (step.load() != 2) std::this_thread::yield();
      lock.Unlock();
    });
    while (step.load() != 1) std::this_thread::yield();
    EXPECT_EQ(CKR_MUTEX_BAD, lock.Destroy()) << flags;
    EXPECT_TRUE(lock.HasMutex()) << flags;
    EXPECT_EQ(0, g_unlocks + g_destroys) << flags;  // nothing released or destroyed for the holder
    step = 2;
    holder.join();
    EXPECT_EQ(CKR_OK, lock.Destroy()) << flags;
    EXPECT_FALSE(lock.HasMutex()) << flags;
  }
}

TEST(GlobalLock, CallbacksWithOsFlagChooseTheOsMutex) {
  ResetCounts();
  Pkcs11Lock lock;
  CK_C_INITIALIZE_ARGS a = CallbackArgs(CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, lock.Initialize(&a));
  EXPECT_TRUE(lock.UsesSystemMutex());
  ASSERT_EQ(CKR_OK, lock.Create());
  EXPECT_EQ(CKR_OK, lock.Lock());
  EXPECT_EQ(CKR_OK, lock.Unlock());
  EXPECT_EQ(0, g_creates + g_locks);
}

TEST(GlobalLock, PartialCallbacksWithoutFlagLeaveLockingOff) {
  Pkcs11Lock lock;
  CK_C_INITIALIZE_ARGS a = CallbackArgs(0);
  a.LockMutex = nullptr;
  a.UnlockMutex = nullptr;
  ASSERT_EQ(CKR_OK, lock.Initialize(&a));
  EXPECT_FALSE(lock.IsEnabled());
}

namespace {
void* Worker(void* arg) {
  *static_cast<int*>(arg) = 42;
  return nullptr;
}
}  // namespace

TEST(Threads, CreateThreadRunsTheRoutineAndRefusesANullOutput) {
  int value = 0;
  pthread_t t;
  ASSERT_EQ(1, CreateThread(&t, Worker, &value));
  pthread_join(t, nullptr);
  EXPECT_EQ(42, value);
  EXPECT_THROW(CreateThread(nullptr, Worker, &value), VtestException);
}

TEST(SessionStates, ReadWriteAndUserStates) {
  for (CK_STATE s : {CKS_RW_PUBLIC_SESSION, CKS_RW_USER_FUNCTIONS, CKS_RW_SO_FUNCTIONS, CKS_MIRTAL_PERSONALIZATION_AGENT,
                     CKS_MIRTAL_USER_PUK, CKS_MIRTAL_SO_PUK})
    EXPECT_TRUE(IsRwSessionState(s)) << s;
  EXPECT_FALSE(IsRwSessionState(CKS_RO_PUBLIC_SESSION));
  EXPECT_FALSE(IsRwSessionState(CKS_RO_USER_FUNCTIONS));
  for (CK_STATE s : {CKS_RO_USER_FUNCTIONS, CKS_RW_USER_FUNCTIONS, CKS_RW_SO_FUNCTIONS, CKS_MIRTAL_PERSONALIZATION_AGENT})
    EXPECT_TRUE(IsUserSessionState(s)) << s;
  EXPECT_FALSE(IsUserSessionState(CKS_RO_PUBLIC_SESSION));
  EXPECT_FALSE(IsUserSessionState(CKS_RW_PUBLIC_SESSION));
}

TEST(SessionLists, FindResultsComeOutInOrderAndOperationsAreOwned) {
  CPkcs11Session s(0);
  s.SetHandle(7);
  for (CK_OBJECT_HANDLE h = 1; h <= 5; ++h) s.AddFindResult(h * 10);
  s.SetFindActive(true);
  CK_OBJECT_HANDLE out[3] = {};
  EXPECT_EQ(3u, s.FetchFindResults(out, 3));
  EXPECT_EQ(10u, out[0]);
  EXPECT_EQ(30u, out[2]);
  EXPECT_EQ(2u, s.GetFindResultCount());
  EXPECT_EQ(2u, s.FetchFindResults(out, 3));
  EXPECT_EQ(50u, out[1]);
  EXPECT_EQ(0u, s.FetchFindResults(out, 3));
  s.SetOperation(new CPkcs11OperationState(CKF_SIGN, CKM_RSA_PKCS, 9, CKS_RW_USER_FUNCTIONS, 1));
  EXPECT_EQ(9u, s.GetOperation()->signKey);
  EXPECT_EQ(0u, s.GetOperation()->decryptKey);
  EXPECT_EQ(CKR_STATE_UNSAVEABLE, s.GetOperation()->SaveState());
  EXPECT_EQ(CKR_SAVED_STATE_INVALID, s.GetOperation()->RestoreState());
  s.Reset();
  EXPECT_EQ(nullptr, s.GetOperation());
  EXPECT_FALSE(s.IsFindActive());
}

namespace {
struct DataTemplate {
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL no = CK_FALSE;
  CK_BBOOL priv;
  char label[8];
  std::vector<CK_ATTRIBUTE> attrs;
  DataTemplate(bool isPrivate, const char* text) : priv(isPrivate ? CK_TRUE : CK_FALSE) {
    std::strncpy(label, text, sizeof label);
    attrs = {{CKA_CLASS, &cls, sizeof cls},
             {CKA_TOKEN, &no, 1},
             {CKA_PRIVATE, &priv, 1},
             {CKA_LABEL, label, static_cast<CK_ULONG>(std::strlen(label))}};
  }
};
}  // namespace

TEST(SessionObjects, CreateFindReadChangeAndDestroy) {
  CPkcs11Session s(1);
  s.SetState(CKS_RO_PUBLIC_SESSION);
  DataTemplate pub(false, "pub"), priv(true, "priv");
  EXPECT_EQ(CKR_ARGUMENTS_BAD, s.CreateObject(nullptr, 0, 1));
  ASSERT_EQ(CKR_OK, s.CreateObject(pub.attrs.data(), pub.attrs.size(), 1));
  ASSERT_EQ(CKR_OK, s.CreateObject(priv.attrs.data(), priv.attrs.size(), 2));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, s.CreateObject(pub.attrs.data(), pub.attrs.size(), 1));
  EXPECT_EQ(2, s.GetObjectCount());

  PointerList found;
  ASSERT_EQ(CKR_OK, s.FindObjects(nullptr, 0, &found, true));
  EXPECT_EQ(1, found.GetCount());  // the private object stays hidden in a public state
  s.SetState(CKS_RO_USER_FUNCTIONS);
  ASSERT_EQ(CKR_OK, s.FindObjects(nullptr, 0, &found, true));
  EXPECT_EQ(2, found.GetCount());
  CK_ATTRIBUTE byLabel = {CKA_LABEL, priv.label, 4};
  ASSERT_EQ(CKR_OK, s.FindObjects(&byLabel, 1, &found, true));
  ASSERT_EQ(1, found.GetCount());
  CK_OBJECT_HANDLE h = 99;
  EXPECT_EQ(CKR_OK, s.GetObjectHandle(static_cast<CPkcs11Object*>(found.GetHead()), &h));
  EXPECT_EQ(2u, h);
  EXPECT_EQ(CKR_NO_EVENT, s.BindObjectHandle(static_cast<CPkcs11Object*>(found.GetHead()), 5, false));
  EXPECT_EQ(CKR_OK, s.BindObjectHandle(static_cast<CPkcs11Object*>(found.GetHead()), 5, true));
  EXPECT_TRUE(s.HasObject(5));
  EXPECT_FALSE(s.HasObject(2));

  char buf[16] = {};
  CK_ATTRIBUTE read = {CKA_LABEL, buf, sizeof buf};
  EXPECT_EQ(CKR_OK, s.GetObjectAttributes(1, &read, 1));
  EXPECT_EQ(3u, read.ulValueLen);
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, s.GetObjectAttributes(77, &read, 1));
  char newLabel[] = "renamed";
  CK_ATTRIBUTE change = {CKA_LABEL, newLabel, 7};
  EXPECT_EQ(CKR_OK, s.SetObjectAttributes(1, &change, 1));
  read.ulValueLen = sizeof buf;
  EXPECT_EQ(CKR_OK, s.GetObjectAttributes(1, &read, 1));
  EXPECT_EQ("renamed", std::string(buf, read.ulValueLen));

  // A private object is not destroyed from a read-only state.
  EXPECT_EQ(CKR_SESSION_READ_ONLY, s.DestroyObject(5));
  s.SetState(CKS_RW_USER_FUNCTIONS);
  EXPECT_EQ(CKR_OK, s.DestroyObject(5));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, s.DestroyObject(5));
  ASSERT_EQ(CKR_OK, s.CreateObject(priv.attrs.data(), priv.attrs.size(), 6));
  s.DropPrivateObjects();
  EXPECT_EQ(1, s.GetObjectCount());
  s.ClearObjects();
  EXPECT_EQ(0, s.GetObjectCount());
}

TEST(AppCore, StartupTextHelpers) {
  for (const char* w : {"0", "n", "N", "no", "No", "NO", "off", "Off", "OFF", "f", "F", "false", "False", "FALSE", "nO"})
    EXPECT_EQ(0, IsNotFalseWord(w)) << w;
  for (const char* w : {"", "1", "yes", "nope", "offline"}) EXPECT_EQ(1, IsNotFalseWord(w)) << w;
  EXPECT_EQ(3u, ParseNumberOrDefault(nullptr, 3));
  EXPECT_EQ(0u, ParseNumberOrDefault("0", 3));
  EXPECT_EQ(0u, ParseNumberOrDefault("", 3));
  EXPECT_EQ(3u, ParseNumberOrDefault("many", 3));
  EXPECT_EQ(5u, ParseNumberOrDefault("0x5", 3));
  EXPECT_EQ(8u, ParseNumberOrDefault("010", 3));
  EXPECT_EQ(12u, ParseNumberOrDefault("12abc", 3));
}

TEST(AppCore, ObjectHandlesGrowAndReservationsMoveTheCounters) {
  CPkcs11App app;
  EXPECT_EQ(1u, app.PeekNextObjectHandle());
  EXPECT_EQ(1u, app.NewObjectHandle());
  EXPECT_EQ(2u, app.NewObjectHandle());
  CK_OBJECT_HANDLE a = 0, b = 0;
  app.PeekObjectHandlePair(&a, &b);
  EXPECT_EQ(3u, a);
  EXPECT_EQ(4u, b);
  EXPECT_EQ(3u, app.NewObjectHandle());  // peeking reserved nothing
  EXPECT_TRUE(app.ReserveObjectHandlePair(4, 5));
  EXPECT_EQ(6u, app.NewObjectHandle());
  EXPECT_FALSE(app.ReserveObjectHandle(0));
  EXPECT_FALSE(app.ReserveObjectHandle(2));  // below the counter
  EXPECT_TRUE(app.ReserveObjectHandle(10));
  EXPECT_EQ(11u, app.NewObjectHandle());
  EXPECT_TRUE(app.IsObjectHandleFree(12));
  const CK_OBJECT_HANDLE none[1] = {0};
  EXPECT_FALSE(app.ReserveObjectHandles(none, 0));
}

TEST(AppCore, TokenStatusesMapToNotRecognised) {
  CPkcs11App app;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, app.MapTokenResult(TOKEN_STATUS_CARD_NOT_INITIALIZED, 0));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, app.MapTokenResult(TOKEN_STATUS_CARD_NOT_ACTIVATED, 0));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, app.MapTokenResult(CKR_TOKEN_NOT_PRESENT, 0));
  EXPECT_EQ(CKR_PIN_LOCKED, app.MapTokenResult(CKR_PIN_LOCKED, 0));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, app.MapSessionTokenResult(CKR_OK, 1));
}

TEST(AppCore, InitializeFinalizeAndSettings) {
  testsupport::MeetNoPcscd("/nonexistent-mirtal-home");  // the default "PC/SC" back-end, no reader
  CPkcs11App app;
  EXPECT_FALSE(app.IsInitialized());
  EXPECT_EQ(2u, app.GetCertLabelMode());
  EXPECT_STREQ("", app.GetInitTokenConfigFileName());
  EXPECT_EQ(1, app.SetInitTokenConfigFileName("/x.ini"));
  EXPECT_STREQ("/x.ini", app.GetInitTokenConfigFileName());
  app.SetInitProfile("standard");
  EXPECT_STREQ("standard", app.GetInitProfile());
  ASSERT_EQ(CKR_OK, app.Initialize(nullptr));
  EXPECT_TRUE(app.IsInitialized());
  EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, app.Initialize(nullptr));
  EXPECT_EQ(0u, app.GetSlotCount());
  int reserved = 0;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, app.Finalize(&reserved));
  EXPECT_EQ(CKR_OK, app.Finalize(nullptr));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, app.Finalize(nullptr));
}
