// Host threads searching the card and making session objects at once: every
// handle is given once, and each thread sees the card's objects under the
// same handles.
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

std::vector<CK_OBJECT_HANDLE> FindCard(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE t = {CKA_TOKEN, &yes, 1};
  std::vector<CK_OBJECT_HANDLE> out;
  if (f->C_FindObjectsInit(s, &t, 1) != CKR_OK) return out;
  CK_OBJECT_HANDLE buf[16];
  CK_ULONG n = 0;
  while (f->C_FindObjects(s, buf, 16, &n) == CKR_OK && n > 0) out.insert(out.end(), buf, buf + n);
  f->C_FindObjectsFinal(s);
  return out;
}

}  // namespace

TEST(ModuleObjectsThreads, HandlesStayUniqueWhileThreadsSearchAndCreate) {
  SimEnv env(Readers{{"CardSim Reader 0", "pkcs15-model3.card"}});
  env.Config("EnableLogging = 0\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_FUNCTION_LIST* f = m.list();
  // Threads need the module's locking (without arguments a host promises one thread).
  CK_C_INITIALIZE_ARGS args = {nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  ASSERT_EQ(CKR_OK, f->C_Initialize(&args));
  CK_SESSION_HANDLE first = 0;
  ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &first));
  const std::vector<CK_OBJECT_HANDLE> card = FindCard(f, first);
  ASSERT_EQ(3u, card.size());

  std::mutex lock;
  std::set<CK_OBJECT_HANDLE> made;
  std::atomic<int> failures{0};
  std::vector<std::string> why;
  auto fail = [&](const char* what, CK_RV rv) {
    ++failures;
    std::lock_guard<std::mutex> g(lock);
    why.push_back(std::string(what) + " " + std::to_string(rv));
  };
  auto work = [&](int id) {
    for (int round = 0; round < 20; ++round) {
      CK_SESSION_HANDLE s = 0;
      CK_RV rv = f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
      if (rv != CKR_OK) {
        fail("open", rv);
        continue;
      }
      if (FindCard(f, s) != card) fail("find", 0);
      CK_OBJECT_CLASS cls = CKO_DATA;
      CK_BBOOL no = CK_FALSE;
      char label[32];
      const int n = std::snprintf(label, sizeof label, "thread %d round %d", id, round);
      CK_ATTRIBUTE t[3] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &no, 1}, {CKA_LABEL, label, static_cast<CK_ULONG>(n)}};
      for (int k = 0; k < 3; ++k) {
        CK_OBJECT_HANDLE h = 0;
        rv = f->C_CreateObject(s, t, 3, &h);
        if (rv != CKR_OK) {
          fail("create", rv);
          continue;
        }
        std::lock_guard<std::mutex> g(lock);
        if (!made.insert(h).second || std::find(card.begin(), card.end(), h) != card.end()) {
          ++failures;
          why.push_back("handle " + std::to_string(h));
        }
      }
      char got[32];
      CK_ATTRIBUTE read = {CKA_LABEL, got, sizeof got};
      rv = f->C_GetAttributeValue(s, card[1], &read, 1);
      if (rv != CKR_OK || read.ulValueLen != 11) fail("read", rv);
      rv = f->C_CloseSession(s);
      if (rv != CKR_OK) fail("close", rv);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(work, t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  for (size_t i = 0; i < why.size() && i < 10; ++i) ADD_FAILURE() << why[i];
  EXPECT_EQ(8u * 20u * 3u, made.size());
  // The card's handles are still those of the first search.
  EXPECT_EQ(card, FindCard(f, first));
  EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
}
