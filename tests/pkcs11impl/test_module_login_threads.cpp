// Sixteen host threads log in and out and open and close sessions on the two
// tokens of one simulated card at once.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
CK_UTF8CHAR kUserPin[] = "1234";

typedef CK_RV (*GetPinStatusFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR);
typedef CK_RV (*GetPinListFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);

struct Outcome {
  std::mutex lock;
  std::vector<std::string> problems;
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> g(lock);
    if (problems.size() < 20) problems.push_back(what);
  }
};

void Worker(CK_FUNCTION_LIST* f, GetPinListFn pinList, GetPinStatusFn pinStatus, int id, int rounds,
            Outcome* out) {
  const CK_SLOT_ID slot = static_cast<CK_SLOT_ID>(id % 2);
  const auto expect = [&](bool ok, const char* what, CK_RV rv) {
    if (!ok) out->Add(Fmt("thread %d: %s gave 0x%lx", id, what, rv));
  };
  for (int i = 0; i < rounds; ++i) {
    CK_SESSION_HANDLE h = 0;
    const CK_FLAGS flags = CKF_SERIAL_SESSION | ((i + id) % 3 ? CKF_RW_SESSION : 0);
    CK_RV rv = f->C_OpenSession(slot, flags, nullptr, nullptr, &h);
    expect(rv == CKR_OK, "C_OpenSession", rv);
    if (rv != CKR_OK) continue;
    rv = f->C_Login(h, CKU_USER, kUserPin, 4);
    expect(rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN, "C_Login", rv);
    CK_SESSION_INFO si;
    rv = f->C_GetSessionInfo(h, &si);
    expect(rv == CKR_OK, "C_GetSessionInfo", rv);
    if (rv == CKR_OK) {
      const bool rw = (flags & CKF_RW_SESSION) != 0;
      const bool known = rw ? (si.state == CKS_RW_PUBLIC_SESSION || si.state == CKS_RW_USER_FUNCTIONS)
                            : (si.state == CKS_RO_PUBLIC_SESSION || si.state == CKS_RO_USER_FUNCTIONS);
      expect(known && si.slotID == slot, "the session state", si.state);
    }
    CK_OBJECT_HANDLE pins[4];
    CK_ULONG n = 4;
    rv = pinList(h, pins, &n);
    expect(rv == CKR_OK && n == 2, "MIRTAL_PKCS11_GetPinList", rv);
    if (rv == CKR_OK && n >= 1) {
      CK_ULONG status = 0;
      rv = pinStatus(h, pins[0], &status);
      // Verified for this session's token, or all its tries left.
      expect(rv == CKR_OK && (status == CKS_MIRTAL_PIN_STATUS_OK || status == 3), "MIRTAL_PKCS11_GetPinStatus", rv);
    }
    if (i % 2) {
      rv = f->C_Logout(h);
      expect(rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN, "C_Logout", rv);
    }
    CK_TOKEN_INFO ti;
    rv = f->C_GetTokenInfo(slot, &ti);
    expect(rv == CKR_OK && (ti.flags & CKF_USER_PIN_LOCKED) == 0, "C_GetTokenInfo", rv);
    rv = f->C_CloseSession(h);
    expect(rv == CKR_OK, "C_CloseSession", rv);
  }
}

}  // namespace

TEST(ModuleLoginThreads, SixteenThreadsLogInAndOutOnTwoTokensOfOneCard) {
  SimEnv env(Readers{{kR0, "pkcs15-model3-two-apps.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  const auto pinList = m.fn<GetPinListFn>("MIRTAL_PKCS11_GetPinList");
  const auto pinStatus = m.fn<GetPinStatusFn>("MIRTAL_PKCS11_GetPinStatus");
  ASSERT_TRUE(pinList && pinStatus);
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&args));

  Outcome outcome;
  std::vector<std::thread> threads;
  for (int id = 0; id < 16; ++id) threads.emplace_back(Worker, m.list(), pinList, pinStatus, id, 25, &outcome);
  for (std::thread& t : threads) t.join();
  for (const std::string& p : outcome.problems) ADD_FAILURE() << p;

  // Every session closed: both tokens are logged out and count no sessions.
  for (CK_SLOT_ID slot : {0UL, 1UL}) {
    CK_TOKEN_INFO ti;
    ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(slot, &ti));
    EXPECT_EQ(0u, ti.ulSessionCount);
    EXPECT_EQ(0u, ti.ulRwSessionCount);
    EXPECT_EQ(0u, ti.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED));
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, m->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
    CK_SESSION_INFO si;
    ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(h, &si));
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state);
    EXPECT_EQ(CKR_OK, m->C_CloseSession(h));
  }
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}
