// The module through a pcscd of our own, vpcd and the simulator's card engine:
// two readers, a PKCS#15 card in each (one card bridge per reader, so that one
// card can go while the other stays). While nothing changes, the everyday
// queries ask pcscd nothing (the module's PC/SC call trace shows no query and no
// card command); a card that goes or comes is seen by the calls made once pcscd
// has reported it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "smartcard/sc_reader_pcsc.h"
#include "tests/common/own_pcscd.h"
#include "tests/pkcs11impl/module_host.h"
#include "tools/cardsim/pcscd_host.h"

using namespace testhost;

namespace {

// The worker hears of a change from pcscd when any other client does; this is
// the time its thread is given to run before the module is asked.
constexpr auto kWorkerWakeUp = std::chrono::milliseconds(200);

class ModulePcscd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pcscdhost::Installed()) GTEST_SKIP() << "pcscd or the vpcd driver is not installed";
    const std::string why = testsupport::EnterOwnPcscdPlace();
    if (!why.empty()) GTEST_SKIP() << why;
    for (int i = 0; i < 2; ++i) {
      m_image[i] = env.Path("card" + std::to_string(i) + ".card");
      WriteFile(m_image[i], ReadFile(std::string(MIRTAL_BUILD_DIR) + "/cards/pkcs15-model3.card"));
    }
    ASSERT_TRUE(pcscdhost::WriteReaderFolder(env.Path("readers")));
    m_pcscd = pcscdhost::StartPcscd(env.Path("readers"));
    ASSERT_GT(m_pcscd, 0);
    StartCard(0);
    StartCard(1);
    // Worker threads (the default), the bridge's log and the PC/SC call trace.
    env.UserConfig("EnabledReaderSubsystems = PC/SC\nPKCS15Flags = 0x8010600\nEnableLogging = 1\nLogFileName = " +
                   env.Path("trace.log") + "\n");
    ASSERT_EQ(SC_OK, SCReaderPcsc::LoadPcscFunctions(nullptr));
    ASSERT_TRUE(SCReader::SetReaderTypes("PC/SC"));
    if (!WaitForCards()) {
      if (pcscdhost::Ended(&m_pcscd)) GTEST_SKIP() << "pcscd could not start here";
      FAIL() << "the cards did not appear";
    }
    m.reset(new Module);
    ASSERT_TRUE(m->ok()) << m->error();
    ASSERT_EQ(CKR_OK, (*m)->C_Initialize(nullptr));
  }

  void TearDown() override {
    if (m && m->ok()) (*m)->C_Finalize(nullptr);
    m.reset();
    pcscdhost::Stop(&m_bridge[0]);
    pcscdhost::Stop(&m_bridge[1]);
    pcscdhost::Stop(&m_pcscd);
    SCReader::UnloadBackends();
  }

  void StartCard(int i) {
    m_bridge[i] = pcscdhost::Spawn({CARDSIM_VPCD, "-p", std::to_string(35963 + i), m_image[i]});
    ASSERT_GT(m_bridge[i], 0);
  }

  // pcscd's own view, through a reader of this test (not the module's).
  bool Present(const char* name, bool* present) {
    SCReader* r = nullptr;
    if (SCReader::CreateReader(name, &r, SC_LIST_NORMAL) != SC_OK) return false;
    std::unique_ptr<SCReader> reader(r);
    if (reader->Init(0) != SC_OK) return false;
    const SCRESULT st = reader->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    if (st < 0) return false;
    *present = (st & SC_CARDSTATE_PRESENT) != 0;
    return true;
  }
  bool WaitForPresence(const char* name, bool want) {
    for (int i = 0; i < 250; ++i) {
      bool present = false;
      if (Present(name, &present) && present == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool WaitForCards() { return WaitForPresence(pcscdhost::kReader0, true) && WaitForPresence(pcscdhost::kReader1, true); }

  std::vector<CK_SLOT_ID> PresentSlots() {
    CK_SLOT_ID ids[16];
    CK_ULONG n = 16;
    EXPECT_EQ(CKR_OK, (*m)->C_GetSlotList(CK_TRUE, ids, &n));
    return std::vector<CK_SLOT_ID>(ids, ids + n);
  }

  // What the module asked pcscd since the trace had `from` bytes: queries that
  // do not wait, and card work. The worker's waits do not count.
  std::vector<std::string> ServiceCalls(size_t from) {
    const std::string text = ReadFile(env.Path("trace.log"));
    std::vector<std::string> out;
    std::istringstream in(text.substr(std::min(from, text.size())));
    for (std::string line; std::getline(in, line);) {
      if (line.find("PC/SC: SCard") == std::string::npos || IsWait(line)) continue;
      out.push_back(line.substr(line.find("PC/SC: ")));
    }
    return out;
  }
  // A wait names a timeout other than 0: "SCardGetStatusChange('reader', 397, ...".
  static bool IsWait(const std::string& line) {
    const size_t p = line.find("SCardGetStatusChange('");
    const size_t q = p == std::string::npos ? p : line.find("', ", p);
    return q != std::string::npos && line.compare(q + 3, 2, "0,") != 0;
  }
  size_t TraceSize() { return ReadFile(env.Path("trace.log")).size(); }

  HostEnv env;
  std::unique_ptr<Module> m;
  std::string m_image[2];
  pid_t m_pcscd = -1;
  pid_t m_bridge[2] = {-1, -1};
};

}  // namespace

TEST_F(ModulePcscd, UnchangedCardsAskPcscdNothing) {
  ASSERT_EQ((std::vector<CK_SLOT_ID>{0, 3}), PresentSlots());
  CK_TOKEN_INFO ti;
  ASSERT_EQ(CKR_OK, (*m)->C_GetTokenInfo(0, &ti));
  ASSERT_EQ(CKR_OK, (*m)->C_GetTokenInfo(3, &ti));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, (*m)->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  CK_SLOT_INFO slot;
  ASSERT_EQ(CKR_OK, (*m)->C_GetSlotInfo(3, &slot));  // the reader's vendor texts, asked once
  // Once both workers wait (a moment after start-up), a list asks nothing.
  bool quiet = false;
  for (int i = 0; i < 100 && !quiet; ++i) {
    const size_t mark = TraceSize();
    PresentSlots();
    quiet = ServiceCalls(mark).empty();
    if (!quiet) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(quiet);

  const size_t mark = TraceSize();
  EXPECT_EQ((std::vector<CK_SLOT_ID>{0, 3}), PresentSlots());
  EXPECT_EQ(CKR_OK, (*m)->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_OK, (*m)->C_GetTokenInfo(3, &ti));
  CK_SESSION_HANDLE other = 0;
  EXPECT_EQ(CKR_OK, (*m)->C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &other));
  EXPECT_EQ(CKR_OK, (*m)->C_CloseSession(other));
  CK_MECHANISM_TYPE mechs[20];
  CK_ULONG n = 20;
  EXPECT_EQ(CKR_OK, (*m)->C_GetMechanismList(0, mechs, &n));
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_OK, (*m)->C_GetSessionInfo(h, &si));
  EXPECT_EQ(CKR_OK, (*m)->C_GetSlotInfo(3, &slot));
  EXPECT_EQ(CKF_TOKEN_PRESENT, slot.flags & CKF_TOKEN_PRESENT);
  const std::vector<std::string> calls = ServiceCalls(mark);
  EXPECT_TRUE(calls.empty()) << calls.size() << " calls, the first: " << calls.front();
  EXPECT_NE(std::string::npos, ReadFile(env.Path("trace.log")).find("CheckCardState...(reader 1) watched state: 00000001"));
}

TEST_F(ModulePcscd, ACardThatGoesOrComesIsSeenOncePcscdReportsIt) {
  ASSERT_EQ((std::vector<CK_SLOT_ID>{0, 3}), PresentSlots());
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, (*m)->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  CK_TOKEN_INFO ti;
  for (int round = 0; round < 2; ++round) {
    pcscdhost::Stop(&m_bridge[0]);
    ASSERT_TRUE(WaitForPresence(pcscdhost::kReader0, false));
    std::this_thread::sleep_for(kWorkerWakeUp);
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, (*m)->C_GetTokenInfo(0, &ti));
    EXPECT_EQ((std::vector<CK_SLOT_ID>{3}), PresentSlots());
    CK_SESSION_INFO si;
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, (*m)->C_GetSessionInfo(h, &si));  // closed with its token
    EXPECT_EQ(CKR_OK, (*m)->C_GetTokenInfo(3, &ti));

    StartCard(0);
    ASSERT_TRUE(WaitForPresence(pcscdhost::kReader0, true));
    std::this_thread::sleep_for(kWorkerWakeUp);
    EXPECT_EQ(CKR_OK, (*m)->C_GetTokenInfo(0, &ti));
    EXPECT_EQ((std::vector<CK_SLOT_ID>{0, 3}), PresentSlots());
    ASSERT_EQ(CKR_OK, (*m)->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  }
}
