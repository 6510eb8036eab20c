// The built module driven as a host drives it: through dlopen and the function
// list. Every scenario runs in a process of its own (start-up state is read once
// per process).
#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "tests/pkcs11impl/module_host.h"

using namespace testhost;

namespace {

// ---- counting host mutex callbacks ----
struct HostMutex {
  int locked = 0;
};
int g_creates = 0, g_destroys = 0, g_locks = 0, g_unlocks = 0;

CK_RV HostCreate(CK_VOID_PTR_PTR pp) {
  ++g_creates;
  *pp = new HostMutex();
  return CKR_OK;
}
CK_RV HostDestroy(CK_VOID_PTR p) {
  ++g_destroys;
  delete static_cast<HostMutex*>(p);
  return CKR_OK;
}
CK_RV HostLock(CK_VOID_PTR p) {
  ++g_locks;
  ++static_cast<HostMutex*>(p)->locked;
  return CKR_OK;
}
CK_RV HostUnlock(CK_VOID_PTR p) {
  ++g_unlocks;
  --static_cast<HostMutex*>(p)->locked;
  return CKR_OK;
}

// The host's callbacks are counted from zero for each set handed out.
CK_C_INITIALIZE_ARGS Args(bool callbacks, CK_FLAGS flags) {
  g_creates = g_destroys = g_locks = g_unlocks = 0;
  CK_C_INITIALIZE_ARGS a;
  std::memset(&a, 0, sizeof a);
  if (callbacks) {
    a.CreateMutex = HostCreate;
    a.DestroyMutex = HostDestroy;
    a.LockMutex = HostLock;
    a.UnlockMutex = HostUnlock;
  }
  a.flags = flags;
  return a;
}

const char* const kEntryNames[] = {
#define NAME(name, args) #name,
    MIRTAL_CK_FUNCTIONS(NAME)
#undef NAME
};

std::string Field(const CK_UTF8CHAR* f, size_t n) { return std::string(reinterpret_cast<const char*>(f), n); }

}  // namespace

TEST(ModuleLoad, FunctionListHasVersion21AndAll68EntriesInOrder) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_EQ(2, m->version.major);
  EXPECT_EQ(1, m->version.minor);
  ASSERT_EQ(68u, sizeof kEntryNames / sizeof kEntryNames[0]);
  void* const* entries = reinterpret_cast<void* const*>(&m->C_Initialize);
  for (size_t i = 0; i < 68; ++i) EXPECT_EQ(m.sym(kEntryNames[i]), entries[i]) << kEntryNames[i];
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetFunctionList(nullptr));
  CK_FUNCTION_LIST_PTR again = nullptr;
  EXPECT_EQ(CKR_OK, m->C_GetFunctionList(&again));
  EXPECT_EQ(m.list(), again);
}

TEST(ModuleLoad, ExportsOnlyTheSpecifiedFunctions) {
  std::set<std::string> want(std::begin(kEntryNames), std::end(kEntryNames));
  for (const char* v : {"MIRTAL_PKCS11_GetVersionString", "MIRTAL_PKCS11_ActivateTokenQualifiedPart",
                        "MIRTAL_PKCS11_SetTokenData", "MIRTAL_PKCS11_GetTokenData",
                        "MIRTAL_PKCS11_GetQualifiedPartCharacteristics", "MIRTAL_PKCS11_TerminateTokenUsage",
                        "MIRTAL_PKCS11_UnblockPin", "MIRTAL_PKCS11_ChangePin", "MIRTAL_PKCS11_InitPin",
                        "MIRTAL_PKCS11_GetPinStatus", "MIRTAL_PKCS11_GetPinInfo", "MIRTAL_PKCS11_GetPinList",
                        "InitializeCard", "GetLastErrorString"})
    want.insert(v);
  ASSERT_EQ(82u, want.size());
  const std::string cmd = "nm -D --defined-only '" + ModulePath() + "'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  std::set<std::string> got;
  char line[1024];
  while (std::fgets(line, sizeof line, p)) {
    std::istringstream ss(line);
    std::string addr, type, name;
    ss >> addr >> type >> name;
    if (!name.empty()) got.insert(name);
  }
  ASSERT_EQ(0, pclose(p));
  EXPECT_EQ(want, got);
}

TEST(ModuleLoad, VersionBanner) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  auto banner = m.fn<const char* (*)()>("MIRTAL_PKCS11_GetVersionString");
  ASSERT_NE(nullptr, banner);
  const std::string b = banner();
  EXPECT_EQ(0u, b.find("MIRTAL PKCS#11, "));
  EXPECT_NE(std::string::npos, b.find("\nwersja 4.1.0.1 (2015120101)"));
}

TEST(ModuleInfo, GetInfoWorksBeforeAndAfterInitialize) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_INFO info;
  std::memset(&info, 0xAA, sizeof info);
  ASSERT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_EQ(2, info.cryptokiVersion.major);
  EXPECT_EQ(11, info.cryptokiVersion.minor);
  EXPECT_EQ(4, info.libraryVersion.major);
  EXPECT_EQ(1, info.libraryVersion.minor);
  EXPECT_EQ(0u, info.flags);
  EXPECT_EQ("MIRTAL PKCS#11" + std::string(18, ' '), Field(info.libraryDescription, 32));
  const std::string maker = Field(info.manufacturerID, 32);
  EXPECT_NE(' ', maker[0]);
  EXPECT_EQ(' ', maker[31]);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetInfo(nullptr));
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_INFO after;
  std::memset(&after, 0xAA, sizeof after);  // the same filler in the padding
  ASSERT_EQ(CKR_OK, m->C_GetInfo(&after));
  EXPECT_EQ(0, std::memcmp(&info, &after, sizeof info));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleLifeCycle, InitializeIsCountedAndFinalizeCountsDown) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_ULONG n = 99;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_Finalize(nullptr));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));  // only counts down
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));  // finalises
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_Finalize(nullptr));
  // And again from the start.
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleLifeCycle, FinalizeWithReservedArgumentLeavesTheLibraryInitialised) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  int dummy = 0;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Finalize(&dummy));
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, nullptr, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleLocking, RejectsPartialMutexCallbacksAndReservedPointer) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a = Args(true, 0);
  a.LockMutex = nullptr;
  a.UnlockMutex = nullptr;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Initialize(&a));
  a = Args(true, CKF_OS_LOCKING_OK);
  a.DestroyMutex = nullptr;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Initialize(&a));
  a = Args(false, CKF_OS_LOCKING_OK);
  char params[] = "params";
  a.pReserved = params;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Initialize(&a));
  // Nothing was left initialised by the refusals.
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(0, g_creates);
}

TEST(ModuleLocking, HostCallbacksAreUsedForEveryLockOperation) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a = Args(true, 0);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&a));
  EXPECT_EQ(1, g_creates);
  const int locksBefore = g_locks;
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(1, &si));
  EXPECT_EQ(locksBefore + 2, g_locks);
  EXPECT_EQ(g_locks, g_unlocks);
  // A counted re-initialisation takes and releases the lock too.
  EXPECT_EQ(CKR_OK, m->C_Initialize(&a));
  EXPECT_EQ(locksBefore + 3, g_locks);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(0, g_destroys);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(1, g_destroys);
  EXPECT_EQ(g_locks, g_unlocks);
}

TEST(ModuleLocking, CallbacksWithOsLockingFlagUseTheSystemMutex) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a = Args(true, CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&a));
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(0, g_creates + g_locks + g_unlocks + g_destroys);
}

TEST(ModuleLocking, OsLockingAndNoLockingBothWork) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS os = Args(false, CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&os));
  CK_ULONG n = 5;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  CK_C_INITIALIZE_ARGS none = Args(false, 0);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&none));
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleCalls, UnsupportedFunctionsAnswerAtOnceEvenBeforeInitialize) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_FUNCTION_LIST* f = m.list();
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE buf[16] = {1, 2, 3};
  CK_ULONG len = sizeof buf;
  CK_OBJECT_HANDLE h = 0;
  CK_SLOT_ID slot = 0;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_GetOperationState(1, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SetOperationState(1, buf, 3, 0, 0));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_CopyObject(1, 2, nullptr, 0, &h));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_EncryptInit(1, &mech, 2));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_Encrypt(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_EncryptUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_EncryptFinal(1, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DecryptUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DecryptFinal(1, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DigestInit(1, &mech));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_Digest(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DigestUpdate(1, buf, 3));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DigestKey(1, 2));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DigestFinal(1, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SignUpdate(1, buf, 3));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SignFinal(1, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SignRecoverInit(1, &mech, 2));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SignRecover(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_VerifyInit(1, &mech, 2));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_Verify(1, buf, 3, buf, 3));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_VerifyUpdate(1, buf, 3));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_VerifyFinal(1, buf, 3));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_VerifyRecoverInit(1, &mech, 2));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_VerifyRecover(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DigestEncryptUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DecryptDigestUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_SignEncryptUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DecryptVerifyUpdate(1, buf, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_GenerateKey(1, &mech, nullptr, 0, &h));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_WrapKey(1, &mech, 2, 3, buf, &len));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_UnwrapKey(1, &mech, 2, buf, 3, nullptr, 0, &h));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_DeriveKey(1, &mech, 2, nullptr, 0, &h));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_GetFunctionStatus(1));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_CancelFunction(1));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_WaitForSlotEvent(0, &slot, nullptr));
    if (round == 0) {
      ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
    }
  }
  EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
}

TEST(ModuleCalls, EveryMemberRefusesBeforeInitialize) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_FUNCTION_LIST* f = m.list();
  const CK_RV NI = CKR_CRYPTOKI_NOT_INITIALIZED;
  CK_ULONG n = 0;
  CK_SLOT_ID slots[4];
  CK_SLOT_INFO si;
  CK_TOKEN_INFO ti;
  CK_MECHANISM_INFO mi;
  CK_SESSION_HANDLE hs = 0;
  CK_SESSION_INFO ssi;
  CK_BYTE pin[] = "1234";
  CK_BYTE label[32];
  std::memset(label, ' ', sizeof label);
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
  CK_OBJECT_HANDLE h = 0, h2 = 0;
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE buf[8];
  EXPECT_EQ(NI, f->C_GetSlotList(CK_FALSE, slots, &n));
  EXPECT_EQ(NI, f->C_GetSlotInfo(0, &si));
  EXPECT_EQ(NI, f->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(NI, f->C_GetMechanismList(0, nullptr, &n));
  EXPECT_EQ(NI, f->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi));
  EXPECT_EQ(NI, f->C_InitToken(0, pin, 4, label));
  EXPECT_EQ(NI, f->C_InitPIN(1, pin, 4));
  EXPECT_EQ(NI, f->C_SetPIN(1, pin, 4, pin, 4));
  EXPECT_EQ(NI, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &hs));
  EXPECT_EQ(NI, f->C_CloseSession(1));
  EXPECT_EQ(NI, f->C_CloseAllSessions(0));
  EXPECT_EQ(NI, f->C_GetSessionInfo(1, &ssi));
  EXPECT_EQ(NI, f->C_Login(1, CKU_USER, pin, 4));
  EXPECT_EQ(NI, f->C_Logout(1));
  EXPECT_EQ(NI, f->C_CreateObject(1, tmpl, 1, &h));
  EXPECT_EQ(NI, f->C_DestroyObject(1, 2));
  EXPECT_EQ(NI, f->C_GetObjectSize(1, 2, &n));
  EXPECT_EQ(NI, f->C_GetAttributeValue(1, 2, tmpl, 1));
  EXPECT_EQ(NI, f->C_SetAttributeValue(1, 2, tmpl, 1));
  EXPECT_EQ(NI, f->C_FindObjectsInit(1, tmpl, 1));
  EXPECT_EQ(NI, f->C_FindObjects(1, &h, 1, &n));
  EXPECT_EQ(NI, f->C_FindObjectsFinal(1));
  EXPECT_EQ(NI, f->C_GenerateKeyPair(1, &mech, tmpl, 1, tmpl, 1, &h, &h2));
  EXPECT_EQ(NI, f->C_GenerateRandom(1, buf, sizeof buf));
  EXPECT_EQ(NI, f->C_SeedRandom(1, buf, sizeof buf));
  // Argument checks that come before the initialisation test.
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GenerateRandom(1, nullptr, 8));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GenerateRandom(1, buf, 0));
  auto getTokenData = m.fn<decltype(&MIRTAL_PKCS11_GetTokenData)>("MIRTAL_PKCS11_GetTokenData");
  EXPECT_EQ(CKR_ARGUMENTS_BAD, getTokenData(1, CKA_MIRTAL_NOT_ACTIVATED, buf, nullptr));
  EXPECT_EQ(NI, getTokenData(1, CKA_MIRTAL_NOT_ACTIVATED, buf, &n));
  // The signing and decryption members test the session only.
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_SignInit(1, &mech, 2));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_DecryptInit(1, &mech, 2));
  n = sizeof buf;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Sign(1, buf, 4, buf, &n));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Decrypt(1, buf, 4, buf, &n));
  // Vendor members.
  auto pinStatus = m.fn<decltype(&MIRTAL_PKCS11_GetPinStatus)>("MIRTAL_PKCS11_GetPinStatus");
  auto pinList = m.fn<decltype(&MIRTAL_PKCS11_GetPinList)>("MIRTAL_PKCS11_GetPinList");
  auto qual = m.fn<decltype(&MIRTAL_PKCS11_GetQualifiedPartCharacteristics)>(
      "MIRTAL_PKCS11_GetQualifiedPartCharacteristics");
  auto terminate = m.fn<decltype(&MIRTAL_PKCS11_TerminateTokenUsage)>("MIRTAL_PKCS11_TerminateTokenUsage");
  auto activate = m.fn<decltype(&MIRTAL_PKCS11_ActivateTokenQualifiedPart)>("MIRTAL_PKCS11_ActivateTokenQualifiedPart");
  CK_FLAGS flags = 0;
  EXPECT_EQ(NI, pinStatus(1, 2, nullptr));
  EXPECT_EQ(NI, pinList(1, nullptr, &n));
  EXPECT_EQ(NI, qual(0, &flags, nullptr));
  EXPECT_EQ(NI, terminate(0, nullptr, 0));
  EXPECT_EQ(NI, activate(1));
}

TEST(ModuleCalls, ArgumentsSlotsAndSessionsAreCheckedInOrder) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  CK_FUNCTION_LIST* f = m.list();
  ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
  CK_SLOT_ID slots[2] = {77, 77};
  CK_ULONG n = 2;  // the room there is: a slot found by mistake must not overrun it
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetSlotList(CK_FALSE, slots, nullptr));
  EXPECT_EQ(CKR_OK, f->C_GetSlotList(CK_FALSE, slots, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(77u, slots[0]);
  CK_SLOT_INFO si;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetSlotInfo(0, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_GetSlotInfo(0, &si));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetTokenInfo(5, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_GetTokenInfo(0, &ti));
  CK_MECHANISM_INFO mi;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetMechanismInfo(9, CKM_RSA_PKCS, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetMechanismList(0, nullptr, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_GetMechanismList(0, nullptr, &n));
  CK_SESSION_HANDLE hs = 0;
  EXPECT_EQ(CKR_SESSION_PARALLEL_NOT_SUPPORTED, f->C_OpenSession(0, 0x1, nullptr, nullptr, nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_OpenSession(0, CKF_SERIAL_SESSION | 0x1, nullptr, nullptr, &hs));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &hs));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_CloseAllSessions(0));
  CK_BYTE pin[] = "1234";
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_InitToken(0, nullptr, 4, nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_InitToken(0, pin, 0, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_InitToken(0, pin, 4, nullptr));
  EXPECT_EQ(CKR_USER_TYPE_INVALID, f->C_Login(1, 3, pin, 4));
  EXPECT_EQ(CKR_USER_TYPE_INVALID, f->C_Login(1, CKU_MIRTAL_USER_PUK, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Login(1, CKU_MIRTAL_PERSONALIZATION_AGENT, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Login(0, CKU_USER, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Logout(1));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_CloseSession(1));
  CK_SESSION_INFO ssi;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetSessionInfo(1, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GetSessionInfo(1, &ssi));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_InitPIN(1, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_SetPIN(1, pin, 4, pin, 4));
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, 1}};
  CK_OBJECT_HANDLE h = 5, h2 = 5;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_CreateObject(1, tmpl, 0, &h));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_CreateObject(1, tmpl, 1, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_CreateObject(1, tmpl, 1, &h));
  EXPECT_EQ(0u, h);
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_DestroyObject(1, 2));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetObjectSize(1, 2, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GetObjectSize(1, 2, &n));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetAttributeValue(1, 2, nullptr, 1));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetAttributeValue(1, 2, tmpl, 0));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GetAttributeValue(1, 2, tmpl, 1));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_SetAttributeValue(1, 2, nullptr, 1));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_SetAttributeValue(1, 2, tmpl, 1));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_FindObjectsInit(1, nullptr, 1));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_FindObjectsInit(1, nullptr, 0));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_FindObjects(1, nullptr, 1, &n));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_FindObjects(1, &h, 1, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_FindObjects(1, nullptr, 0, &n));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_FindObjectsFinal(1));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_SignInit(1, nullptr, 2));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_DecryptInit(1, nullptr, 2));
  CK_BYTE buf[8];
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_Sign(1, nullptr, 4, buf, &n));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_Sign(1, buf, 4, buf, nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_Decrypt(1, buf, 4, buf, nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GenerateKeyPair(1, nullptr, tmpl, 1, tmpl, 1, &h, &h2));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GenerateKeyPair(1, &mech, tmpl, 1, tmpl, 1, &h, nullptr));
  h = h2 = 9;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GenerateKeyPair(1, &mech, tmpl, 1, tmpl, 1, &h, &h2));
  EXPECT_EQ(0u, h);
  EXPECT_EQ(0u, h2);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_SeedRandom(1, nullptr, 0));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_SeedRandom(1, nullptr, 5));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GenerateRandom(1, buf, 8));

  auto pinStatus = m.fn<decltype(&MIRTAL_PKCS11_GetPinStatus)>("MIRTAL_PKCS11_GetPinStatus");
  auto pinInfo = m.fn<decltype(&MIRTAL_PKCS11_GetPinInfo)>("MIRTAL_PKCS11_GetPinInfo");
  auto pinList = m.fn<decltype(&MIRTAL_PKCS11_GetPinList)>("MIRTAL_PKCS11_GetPinList");
  auto changePin = m.fn<decltype(&MIRTAL_PKCS11_ChangePin)>("MIRTAL_PKCS11_ChangePin");
  auto unblockPin = m.fn<decltype(&MIRTAL_PKCS11_UnblockPin)>("MIRTAL_PKCS11_UnblockPin");
  auto initPin = m.fn<decltype(&MIRTAL_PKCS11_InitPin)>("MIRTAL_PKCS11_InitPin");
  auto setData = m.fn<decltype(&MIRTAL_PKCS11_SetTokenData)>("MIRTAL_PKCS11_SetTokenData");
  auto getData = m.fn<decltype(&MIRTAL_PKCS11_GetTokenData)>("MIRTAL_PKCS11_GetTokenData");
  auto qual = m.fn<decltype(&MIRTAL_PKCS11_GetQualifiedPartCharacteristics)>(
      "MIRTAL_PKCS11_GetQualifiedPartCharacteristics");
  auto terminate = m.fn<decltype(&MIRTAL_PKCS11_TerminateTokenUsage)>("MIRTAL_PKCS11_TerminateTokenUsage");
  auto activate = m.fn<decltype(&MIRTAL_PKCS11_ActivateTokenQualifiedPart)>("MIRTAL_PKCS11_ActivateTokenQualifiedPart");
  MIRTAL_PIN_INFO pi;
  CK_FLAGS flags;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pinStatus(1, 2, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, pinStatus(1, 2, &n));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pinInfo(1, 2, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, pinInfo(1, 2, &pi));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pinList(1, nullptr, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, pinList(1, nullptr, &n));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, changePin(1, 2, pin, 4, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, unblockPin(1, 2, pin, 4, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, initPin(1, 2, pin, 4, pin, 4, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, setData(1, CKA_MIRTAL_NOT_ACTIVATED, buf, 1));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, getData(1, CKA_MIRTAL_NOT_ACTIVATED, buf, &n));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, qual(0, nullptr, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, qual(0, &flags, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, terminate(0, pin, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, activate(1));
  EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
}

TEST(ModuleCalls, InitializeCardLeavesTheLibraryAsItFoundItAndExplains) {
  HostEnv env;
  Module m;
  ASSERT_TRUE(m.ok());
  auto initCard = m.fn<decltype(&InitializeCard)>("InitializeCard");
  auto lastError = m.fn<decltype(&GetLastErrorString)>("GetLastErrorString");
  ASSERT_NE(nullptr, initCard);
  ASSERT_NE(nullptr, lastError);
  EXPECT_EQ(0, initCard("Reader X", "standard"));
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  const std::string text = "Reader named 'Reader X' not found";
  unsigned long len = 0;
  EXPECT_EQ(1, lastError(nullptr, &len));
  EXPECT_EQ(text.size() + 1, len);
  EXPECT_EQ(0, lastError(nullptr, nullptr));
  // A buffer of exactly the text's length: FALSE, a cut text ending in a zero, the needed size.
  std::vector<char> exact(text.size(), 'x');
  len = exact.size();
  EXPECT_EQ(0, lastError(exact.data(), &len));
  EXPECT_EQ(text.size() + 1, len);
  EXPECT_EQ(text.substr(0, text.size() - 1), std::string(exact.data()));
  char big[128];
  len = sizeof big;
  EXPECT_EQ(1, lastError(big, &len));
  EXPECT_EQ(text, big);
  EXPECT_EQ(text.size() + 1, len);

  // A long reader name is cut to 100 characters in the text.
  const std::string longName(150, 'R');
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(0, initCard(longName.c_str(), nullptr));
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));  // still initialised
  len = sizeof big;
  EXPECT_EQ(1, lastError(big, &len));
  EXPECT_EQ("Reader named '" + longName.substr(0, 100) + "' not found", big);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTrace, ScriptedRunWritesExactLines) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  CK_FUNCTION_LIST* f = m.list();
  ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
  CK_ULONG n = 3;
  ASSERT_EQ(CKR_OK, f->C_GetSlotList(CK_TRUE, nullptr, &n));
  CK_BYTE data[] = {0x01, 0x02, 0xAB};
  CK_ULONG outLen = 16;
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, f->C_Encrypt(0x1F, data, 3, nullptr, &outLen));
  CK_SESSION_HANDLE hs = 0;
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &hs));
  CK_BYTE pin[] = "secret-pin";
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_Login(0xAB, CKU_USER, pin, 10));
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_SIGN, &yes, 1}};
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_FindObjectsInit(0xAB, tmpl, 2));
  CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_GetAttributeValue(0xAB, 1, &label, 1));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_CloseAllSessions(4));
  ASSERT_EQ(CKR_OK, f->C_Finalize(nullptr));
  const std::string text = StripLogPrefixes(ReadFile(log));
  const std::string p = "PKCS#11: ";
  const std::string expected =
      p + "C_Initialize() [starting] <CKR_OK> \n  Initialize args: <null>\n  DisableLocking: false\n" +
      p + "C_Initialize() [complete] <CKR_OK>\n" +
      p + "C_GetSlotList() [starting] <CKR_OK> Token present: 1, pSlotList: <null>, pulCount: 3\n" +
      p + "C_GetSlotList() [complete] <CKR_OK> Slot count: 0, slots: ()\n" +
      p + "C_Encrypt() [starting] <CKR_OK> Session 0000001F\n  Data to encrypt [len=3]: <not shown>,\n" +
      "  Encrypt buffer: (nil), len: 16\n" +
      p + "C_Encrypt() [error]    <CKR_FUNCTION_NOT_SUPPORTED>\n" +
      p + Fmt("C_OpenSession() [starting] <CKR_OK> slotID: 2, flags: CKF_SERIAL_SESSION, app: (nil), notify: (nil), "
              "phSession: %p\n",
              static_cast<void*>(&hs)) +
      p + "C_OpenSession() [error]    <CKR_SLOT_ID_INVALID>\n" +
      p + Fmt("C_Login() [starting] <CKR_OK> Session: 000000AB, userType: CKU_USER, pin: %p, pinLen: 10\n",
              static_cast<void*>(pin)) +
      p + "C_Login() [error]    <CKR_SESSION_HANDLE_INVALID>\n" +
      p + "C_FindObjectsInit() [starting] <CKR_OK> Session 000000AB,\n  Template:\n"
          "  ( CKA_CLASS[len=8]: CKO_PRIVATE_KEY\n    CKA_SIGN[len=1]: TRUE\n  )\n" +
      p + "C_FindObjectsInit() [error]    <CKR_SESSION_HANDLE_INVALID>\n" +
      p + "C_GetAttributeValue() [starting] <CKR_OK> Session: 000000AB, hObject: 00000001,\n"
          "  Template requested:\n  ( CKA_LABEL[len=0]: <null>\n  )\n" +
      p + "C_GetAttributeValue() [error]    <CKR_SESSION_HANDLE_INVALID> \n"
          "  Template returned:\n  (CKA_LABEL[len=0]: <null>\n  )\n" +
      p + "C_CloseAllSessions() [starting] <CKR_OK> slotId: 4\n" +
      p + "C_CloseAllSessions() [complete] <CKR_SLOT_ID_INVALID>\n" +
      p + "C_Finalize() [starting] <CKR_OK> pReserved: (nil)\n" +
      p + "C_Finalize() [complete] <CKR_OK>\n";
  const size_t at = text.find(p + "C_Initialize()");
  ASSERT_NE(std::string::npos, at) << text;
  EXPECT_EQ(expected, text.substr(at)) << text;
  // The PIN never reaches the log.
  EXPECT_EQ(std::string::npos, text.find("secret-pin"));
  // The start-up block comes first.
  EXPECT_NE(std::string::npos, text.find("INITIALIZING() [starting] <CKR_OK> \n\n\n----- MARKER -----\n"));
  EXPECT_NE(std::string::npos, text.find("C_GetFunctionList() [complete] <CKR_OK> PKCS#11 function list version: 2.01"));
}

TEST(ModuleTrace, DumpsOfCallerDataStopAtALimitAndSaySo) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  // However long the host claims its data to be, the answers stay those of the
  // call and the trace shows the first 4096 octets.
  std::vector<CK_BYTE> data(5000, 0x5A);
  const CK_ULONG huge = 1UL << 40;
  CK_ULONG len = 0;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_Sign(0xAB, data.data(), huge, nullptr, &len));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_Decrypt(0xAB, data.data(), data.size(), nullptr, &len));
  CK_ATTRIBUTE label = {CKA_LABEL, data.data(), huge};
  CK_OBJECT_HANDLE h = 0;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_CreateObject(0xAB, &label, 1, &h));
  ASSERT_EQ(CKR_OK, m->C_Finalize(nullptr));
  std::string shown = "5A";
  for (int i = 1; i < 4096; ++i) shown += " 5A";
  const std::string text = StripLogPrefixes(ReadFile(log));
  const std::string p = "PKCS#11: ";
  for (const std::string& line :
       {p + "C_Sign() [starting] <CKR_OK> Session 000000AB,\n  Data to sign [len=1099511627776]: " + shown +
            " ... (1099511627776 octets, the first 4096 shown)\n" + p +
            "C_Sign() [error]    <CKR_SESSION_HANDLE_INVALID>\n",
        p + "C_Decrypt() [starting] <CKR_OK> Session 000000AB\n  Data to decrypt [len=5000]: " + shown +
            " ... (5000 octets, the first 4096 shown),\n  Decrypt buffer: (nil), len: 0\n" + p +
            "C_Decrypt() [error]    <CKR_SESSION_HANDLE_INVALID> len: 0\n",
        "CKA_LABEL[len=1099511627776]: " + shown + " ... (1099511627776 octets, the first 4096 shown)\n  )\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line.substr(0, 120);
}

TEST(ModuleTrace, LoggingOffWritesNothingAndGivesTheSameResults) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "off", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_ULONG n = 3;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, nullptr, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_FALSE(FileExists(log));
}

TEST(ModuleTrace, LockLoggingTracesTheGlobalLock) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  env.UserConfig("EnableLogging = 1\nLogFileName = " + log + "\nEnableLockLogging = 1\n");
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS a = Args(false, CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&a));
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  ASSERT_EQ(CKR_OK, m->C_Finalize(nullptr));
  const std::string text = StripLogPrefixes(ReadFile(log));
  EXPECT_TRUE(HasLine(text, "PKCS#11: Pkcs11Lock::Initialize() [inside]   <CKR_OK> ID: 0 (0x",
                      "), enabled: true, useSystem: true, locked: false"))
      << text;
  EXPECT_TRUE(HasLine(text, "PKCS#11: Pkcs11Lock::Lock() [complete] <CKR_OK> ID: 0 (0x",
                      "), enabled: true, useSystem: true, locked: true"))
      << text;
  EXPECT_TRUE(HasLine(text, "PKCS#11: Pkcs11Lock::Destroy() [complete] <CKR_OK> ID: 0 (0x",
                      "), enabled: true, useSystem: true, locked: false"))
      << text;
}

TEST(ModuleStartup, DelayedStartRunsAtTheFirstCall) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_DELAYED_INIT", "1", 1);
  setenv("MIRTAL_PKCS11_VERBOSE_INIT", "yes", 1);
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  StderrCapture err(env.Path("stderr.txt"));
  void* h = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, h);
  EXPECT_FALSE(FileExists(log));  // the configuration is not read yet
  auto getInfo = reinterpret_cast<CK_C_GetInfo>(dlsym(h, "C_GetInfo"));
  CK_INFO info;
  EXPECT_EQ(CKR_OK, getInfo(&info));
  EXPECT_TRUE(FileExists(log));
  const std::string text = err.Stop();
  EXPECT_EQ(0u, text.find("MIRTAL PKCS#11 init delayed\nMIRTAL PKCS#11 starting\n")) << text;
  // No second deferral.
  size_t count = 0;
  for (size_t at = text.find("init delayed"); at != std::string::npos; at = text.find("init delayed", at + 1)) ++count;
  EXPECT_EQ(1u, count);
  dlclose(h);
}

TEST(ModuleStartup, FalseWordDoesNotDefer) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_DELAYED_INIT", "off", 1);
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  void* h = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, h);
  EXPECT_TRUE(FileExists(log));
  dlclose(h);
}

TEST(ModuleStartup, VerboseReportOnStandardError) {
  HostEnv env;
  setenv("MIRTAL_PKCS11_VERBOSE_INIT", "", 1);  // an empty value counts as true
  setenv("MIRTAL_PKCS11_PKCS15_FLAGS", "0x400", 1);
  setenv("MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT", "0x5", 1);
  setenv("MIRTAL_PKCS11_PCSC_LIBRARY", "/opt/pcsc.so", 1);
  setenv("MIRTAL_PKCS11_INIT_PROFILE", "custom", 1);
  setenv("MIRTAL_PKCS11_ENABLE_LOCK_LOGGING", "1", 1);
  StderrCapture err(env.Path("stderr.txt"));
  Module m;
  ASSERT_TRUE(m.ok());
  const std::string text = err.Stop();
  EXPECT_EQ(0u, text.find("MIRTAL PKCS#11 starting\nMIRTAL PKCS#11 init options\nMIRTAL PKCS#11 read config\n"
                          "MIRTAL PKCS#11 config has been read: true\nMIRTAL PKCS#11 configuring\nMIRTAL PKCS#11, "))
      << text;
  EXPECT_NE(std::string::npos, text.find("Loading app: '"));
  EXPECT_NE(std::string::npos, text.find("Reading options from admin config file: "));
  EXPECT_NE(std::string::npos, text.find("Reading options from  user config file: ~/.MIRTAL/pkcs11.conf\n"));
  EXPECT_NE(std::string::npos, text.find("    env(MIRTAL_PKCS11_PKCS15_FLAGS)=0x400 (0x0400)\n"));
  EXPECT_NE(std::string::npos, text.find("    env(MIRTAL_PKCS11_ENABLE_LOGGING)=<not defined>\n"));
  EXPECT_NE(std::string::npos, text.find("\n  Logging disabled, file name: ~/$L-$v-$A-$d-$t.log\n"));
  // Without a log, lock logging and the trace bit 0x400 are not in force.
  EXPECT_NE(std::string::npos, text.find("\n  Lock logging: disabled\n"));
  EXPECT_NE(std::string::npos, text.find("    env(MIRTAL_PKCS11_INIT_PROFILE=custom"));
  EXPECT_NE(std::string::npos, text.find("\n  PC/SC library: /opt/pcsc.so\n  PKCS15: Flags=0x0000, maxTokenCount=5\n"
                                         "  InitProfile: 'custom'"))
      << text;
}

TEST(ModuleStartup, ReportShowsTheValuesInForce) {
  const std::string app = "[Apps\\" + ExeName() + "]\n", logged = "EnableLogging = 1\nLogFileName = ~/trace.log\n";
  // The environment of each row, its user file and lines its report holds exactly.
  const struct {
    std::vector<std::pair<std::string, std::string>> env;
    std::string config, lines;
  } rows[] = {
      // A token count from the environment that is no count falls back to three.
      {{{"MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT", "0"}}, "", "  PKCS15: Flags=0x8000000, maxTokenCount=3"},
      {{{"MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT", ""}}, "", "  PKCS15: Flags=0x8000000, maxTokenCount=3"},
      {{{"MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT", "many"}}, "", "  PKCS15: Flags=0x8000000, maxTokenCount=3"},
      // The application's section wins over the environment.
      {{{"MIRTAL_PKCS11_PKCS15_FLAGS", "0x8000600"}, {"MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT", "2"}},
       logged + app + "PKCS15Flags = 0x8020200\nPKCS15MaxTokenCount = 5\n",
       "  PKCS15: Flags=0x8020200, maxTokenCount=5"},
      {{{"MIRTAL_PKCS11_PCSC_LIBRARY", "/opt/env-pcsc.so"}},
       logged + app + "PcscLibrary = /opt/app-pcsc.so\nEnableLockLogging = 1\n",
       "  Lock logging: enabled\n  PC/SC library: /opt/app-pcsc.so"},
      // Without a log the trace bits, and lock logging, are not in force.
      {{{"MIRTAL_PKCS11_PKCS15_FLAGS", "0x8030600"}, {"MIRTAL_PKCS11_ENABLE_LOCK_LOGGING", "1"}}, "",
       "  Lock logging: disabled\n  PC/SC library: <default>\n  PKCS15: Flags=0x8000000, maxTokenCount=3"},
      // A log that cannot be opened is no log: every trace bit is cleared, the card layer's too.
      {{{"MIRTAL_PKCS11_PKCS15_FLAGS", "0x803FE00"}, {"MIRTAL_PKCS11_ENABLE_LOGGING", "1"},
        {"MIRTAL_PKCS11_LOG_FILE_NAME", "/dev/null/trace.log"}},
       "",
       "  Logging disabled, file name: /dev/null/trace.log\n  Expanded log file name: '/dev/null/trace.log'\n"
       "  Lock logging: disabled\n  PC/SC library: <default>\n  PKCS15: Flags=0x8000000, maxTokenCount=3"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    // Each row in a child process of its own: the environment is read once per load.
    HostEnv env;
    if (!row.config.empty()) env.UserConfig(row.config);
    const std::string out = env.Path("out.txt");
    std::string cmd = "MIRTAL_PKCS11_VERBOSE_INIT=1";
    for (const auto& v : row.env) cmd += " " + v.first + "='" + v.second + "'";
    cmd += " '/proc/" + std::to_string(getpid()) + "/exe' --gtest_filter=ModuleStartup.ReportOnly 2>'" + out +
           "' >/dev/null";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    EXPECT_NE(std::string::npos, ReadFile(out).find("\n" + row.lines + "\n")) << ReadFile(out);
  }
}

// Helper scenario for the one above: load, report, leave.
TEST(ModuleStartup, ReportOnly) {
  Module m;
  ASSERT_TRUE(m.ok());
}

TEST(ModuleConfig, EnvironmentOverridesTheUserFile) {
  HostEnv env;
  const std::string fileLog = env.Path("from-file.log");
  const std::string envLog = env.Path("from-env-$p.log");
  env.UserConfig("EnableLogging = 0\nLogFileName = " + fileLog + "\n");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "true", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", envLog.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  CK_INFO info;
  EXPECT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_FALSE(FileExists(fileLog));
  const std::string expanded = env.Path("from-env-" + std::to_string(getpid()) + ".log");
  EXPECT_NE(std::string::npos, ReadFile(expanded).find("C_GetInfo() [starting]"));
}

TEST(ModuleConfig, ApplicationSectionWinsOverTheEnvironment) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  env.UserConfig("LogFileName = " + log + "\n[Apps\\" + ExeName() + "]\nEnableLogging = false\n");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  Module m;
  ASSERT_TRUE(m.ok());
  CK_INFO info;
  EXPECT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_FALSE(FileExists(log));
}

TEST(ModuleConfig, UserFileTurnsLoggingOn) {
  HostEnv env;
  env.UserConfig("EnableLogging = yes\nLogFileName = ~/logs-$A.txt\n");
  Module m;
  ASSERT_TRUE(m.ok());
  CK_INFO info;
  EXPECT_EQ(CKR_OK, m->C_GetInfo(&info));
  EXPECT_NE(std::string::npos, ReadFile(env.Path("logs-" + ExeName() + ".txt")).find("C_GetInfo() [complete]"));
}

TEST(ModuleConfig, DisableLockingRefusesLockingRequests) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  env.UserConfig("DisableLocking = true\nEnableLogging = 1\nLogFileName = " + log + "\n");
  Module m;
  ASSERT_TRUE(m.ok());
  CK_C_INITIALIZE_ARGS os = Args(false, CKF_OS_LOCKING_OK);
  EXPECT_EQ(CKR_CANT_LOCK, m->C_Initialize(&os));
  CK_C_INITIALIZE_ARGS cb = Args(true, 0);
  EXPECT_EQ(CKR_CANT_LOCK, m->C_Initialize(&cb));
  CK_C_INITIALIZE_ARGS none = Args(false, 0);
  EXPECT_EQ(CKR_OK, m->C_Initialize(&none));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  const std::string text = StripLogPrefixes(ReadFile(log));
  EXPECT_NE(std::string::npos,
            text.find("PKCS#11: C_Initialize() [error]    <CKR_CANT_LOCK> Locking disabled in configuration\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("\n  DisableLocking: true\n"));
}

// GetLastErrorString traces under its own name.
TEST(ModuleCalls, LastErrorReachesTheCallerInCp1250AndIsTraced) {
  HostEnv env;
  const std::string log = env.Path("trace.log");
  setenv("MIRTAL_PKCS11_ENABLE_LOGGING", "1", 1);
  setenv("MIRTAL_PKCS11_LOG_FILE_NAME", log.c_str(), 1);
  Module m;
  ASSERT_TRUE(m.ok());
  auto initCard = m.fn<decltype(&InitializeCard)>("InitializeCard");
  auto lastError = m.fn<decltype(&GetLastErrorString)>("GetLastErrorString");
  EXPECT_EQ(0, initCard("Czytnik \xC4\x85", nullptr));  // "ą" in UTF-8
  char buf[64];
  unsigned long len = sizeof buf;
  EXPECT_EQ(1, lastError(buf, &len));
  EXPECT_EQ(std::string("Reader named 'Czytnik \xB9' not found"), buf);  // "ą" in CP1250
  EXPECT_EQ(std::strlen(buf) + 1, len);
  const std::string text = StripLogPrefixes(ReadFile(log));
  EXPECT_NE(std::string::npos,
            text.find("PKCS#11: InitializeCard() [starting] <CKR_OK> readerName: Czytnik \xC4\x85, profileName: <null>\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("PKCS#11: InitializeCard() [error]    <CKR_SLOT_ID_INVALID> Cause: Reader "
                                         "named 'Czytnik \xC4\x85' not found\n"))
      << text;
  EXPECT_NE(std::string::npos,
            text.find(Fmt("PKCS#11: GetLastErrorString() [starting] <CKR_OK> pszStringBuf: %p, pcbBuflen: %p (max: 64)\n",
                          static_cast<void*>(buf), static_cast<void*>(&len))))
      << text;
  EXPECT_NE(std::string::npos, text.find(Fmt("PKCS#11: GetLastErrorString() [complete] <CKR_OK> Return value: TRUE, "
                                             "pcbBuffLen: %lu, ErrorDescription: Reader named 'Czytnik \xC4\x85' "
                                             "not found\n",
                                             len)))
      << text;
}
