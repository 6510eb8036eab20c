// Several host threads name constants and write trace lines at the same time:
// the name index is built once and answers as the row scan does, and no line
// is lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11names.h"
#include "pkcs11impl/tracelog.h"
#include "support/debuglog.h"
#include "tests/common/testsupport.h"

namespace {

TEST(ConcurrentNames, FirstLookupsFromManyThreadsAgreeWithTheRowScan) {
  const P11NameTable* tables[] = {&MechanismTable(), &AttributeTable(), &ReturnValueTable(), &KeyTypeTable()};
  std::atomic<int> mismatches{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 50; ++round) {
        for (const P11NameTable* table : tables) {
          for (size_t i = 0; i < table->count; ++i) {
            CK_ULONG v = reinterpret_cast<const P11NameRow*>(static_cast<const char*>(table->rows) + i * table->rowSize)
                             ->value + static_cast<CK_ULONG>((t + round) % 2);
            char a[128], b[128];
            std::string x = LookupConstantNameIndexed(v, *table, a, sizeof a);
            std::string y = LookupConstantName(v, table->rows, table->count, table->rowSize, b, sizeof b);
            if (x != y) ++mismatches;
          }
        }
      }
    });
  }
  go.store(true);
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ConcurrentTrace, EveryLineOfEveryThreadArrives) {
  char dir[] = "/tmp/p11tracethrXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/trace.log";
  ASSERT_EQ(DebugLogSetFile(path.c_str()), 0);
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  const int kThreads = 6, kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        TraceLog(&log, "C_GetSessionInfo", TRACE_STARTING, CKR_OK, "Session: %08lX marker", static_cast<unsigned long>(t * 1000 + i));
    });
  for (auto& th : threads) th.join();
  LogDisableOutput(nullptr);
  const std::string text = testsupport::ReadFileText(path);
  int found = 0;
  for (size_t p = text.find(" marker"); p != std::string::npos; p = text.find(" marker", p + 1)) ++found;
  EXPECT_EQ(found, kThreads * kLines);
  std::remove(path.c_str());
  rmdir(dir);
}

}  // namespace
