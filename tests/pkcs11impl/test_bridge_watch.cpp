// Checks of a reader answered from its worker's watch. Over a reader service in
// another process (the "PC/SC" back-end, here the fake PC/SC library loaded by
// path, with the simulator's card engine as the card) a check asks the service
// nothing while the worker waits on the reader and has counted no event since
// the last poll; an event the worker counted makes the next check poll, and a
// worker that stopped waiting leaves every check to poll until it waits again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_reader.h"
#include "tests/common/testsupport.h"
#include "tests/smartcard/fake_pcsc.h"
#include "tools/cardsim/engine.h"

namespace {

const char* const kR0 = "Fake Reader 0";
const char* const kR1 = "Fake Reader 1";

template <class Pred>
bool WaitUntil(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class WatchedReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    fakepcsc::Reset();
    std::string err;
    m_card = cardsim::Card::Parse(testsupport::ReadFileText(std::string(MIRTAL_BUILD_DIR) + "/cards/pkcs15-model3.card"), &err);
    ASSERT_TRUE(m_card) << err;  // parsed, not loaded: nothing is written back
    auto& s = fakepcsc::Get();
    {
      std::lock_guard<std::mutex> g(s.m);
      s.readers.resize(2);
      s.readers[0].name = kR0;
      s.readers[0].present = true;
      s.readers[0].atr = m_card->Atr();
      s.readers[0].protocols = scpcsc::PROTOCOL_T1;
      s.readers[1].name = kR1;
      s.card = [this](const fakepcsc::Bytes& c) { return m_card->Transmit(c, false); };
    }
  }
  void TearDown() override {
    if (m_bridge) m_bridge->DeInitLib();
    m_bridge.reset();
  }

  SCPkcs15Lib& Start(uint32_t flags) {
    m_bridge.reset(new SCPkcs15Lib);
    m_bridge->SetEnabledReaderSubsystems("PC/SC");
    m_bridge->SetPcscLibrary(FAKE_PCSC_LIBRARY);
    m_bridge->SetPkcs15Flags(flags);
    EXPECT_EQ(SC_OK, m_bridge->InitLib(nullptr, 3));
    EXPECT_EQ(2u, m_bridge->GetReaderCount());
    return *m_bridge;
  }

  // Until the worker's count differs from the acknowledged one.
  bool WaitForEvent(uint32_t reader) {
    return WaitUntil([&] {
      uint32_t state = 0, ack = 0;
      return m_bridge->GetReaderRecordState(reader, nullptr, &state, &ack, nullptr, nullptr) && state != ack;
    });
  }

  // The token-present slot list, as C_GetSlotList builds it.
  std::vector<uint32_t> PresentSlots() {
    EXPECT_EQ(SC_OK, m_bridge->ReadTokenList());
    uint32_t ids[16];
    uint32_t n = 16;
    EXPECT_EQ(SC_OK, m_bridge->GetSlotList(ids, &n, true));
    return std::vector<uint32_t>(ids, ids + n);
  }

  void CardBack() {
    m_card->Reset();
    fakepcsc::Insert(0);
  }

  std::unique_ptr<cardsim::Card> m_card;
  std::unique_ptr<SCPkcs15Lib> m_bridge;
};

}  // namespace

TEST_F(WatchedReaders, UnchangedCardsAreAnsweredWithoutAskingTheService) {
  SCPkcs15Lib& b = Start(PKCS15_FLAG_WORKER_THREADS);
  // The first list polls each reader once, connects the card and reads it.
  fakepcsc::ClearCounts();
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  EXPECT_EQ(1, fakepcsc::Polls(0));
  EXPECT_EQ(1, fakepcsc::Queries(1));
  EXPECT_GT(fakepcsc::SentCount(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return b.IsReaderWatched(0) && b.IsReaderWatched(1); }));

  // From now on nothing changes: no query, no card command.
  fakepcsc::ClearCounts();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(SC_E_PKCS15_NO_APPLICATION, b.RefreshTokenInfo(1, 1, 0));
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(3, 1, 0));
  EXPECT_EQ(0, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(0, fakepcsc::Queries(0));
  EXPECT_EQ(0, fakepcsc::Queries(1));
  EXPECT_EQ(0u, fakepcsc::SentCount());
}

TEST_F(WatchedReaders, EventsCountedByTheWorkerAreSeenByTheNextCheck) {
  SCPkcs15Lib& b = Start(PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  ASSERT_TRUE(WaitUntil([&] { return b.IsReaderWatched(0); }));

  fakepcsc::Remove(0);
  ASSERT_TRUE(WaitForEvent(0));
  EXPECT_FALSE(b.IsReaderWatched(0));
  fakepcsc::ClearCounts();
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(1, fakepcsc::Queries(0));
  // Handled: watched again, and the answer stays without a query.
  EXPECT_TRUE(b.IsReaderWatched(0));
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_TRUE(PresentSlots().empty());
  EXPECT_EQ(1, fakepcsc::Queries(0));

  CardBack();
  ASSERT_TRUE(WaitForEvent(0));
  fakepcsc::ClearCounts();
  EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));  // newly connected
  EXPECT_EQ(1, fakepcsc::Polls(0));
  const int afterConnect = fakepcsc::Queries(0);
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  EXPECT_EQ(afterConnect, fakepcsc::Queries(0));

  // Exchanged between two checks: one event or two, the next check connects anew.
  fakepcsc::Remove(0);
  CardBack();
  ASSERT_TRUE(WaitForEvent(0));
  EXPECT_EQ(2, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
}

TEST_F(WatchedReaders, WithoutWorkersEveryCheckPollsItsReaderOnce) {
  SCPkcs15Lib& b = Start(0);
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  EXPECT_FALSE(b.IsReaderWatched(0));
  fakepcsc::ClearCounts();
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(2, fakepcsc::Queries(0));
  EXPECT_EQ(1, fakepcsc::Queries(1));
  EXPECT_EQ(0u, fakepcsc::SentCount());
  fakepcsc::Remove(0);
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(0, 1, 0));
  CardBack();
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
}

TEST_F(WatchedReaders, AWorkerWhoseWaitFailedWatchesAgainOnceTheServiceIsBack) {
  SCPkcs15Lib& b = Start(PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  ASSERT_TRUE(WaitUntil([&] { return b.IsReaderWatched(0); }));

  fakepcsc::SetServiceRunning(false);
  ASSERT_TRUE(WaitUntil([&] {
    uint32_t command = 0;
    return b.GetReaderRecordState(0, &command, nullptr, nullptr, nullptr, nullptr) && command == READER_CMD_IDLE;
  }));
  EXPECT_FALSE(b.IsReaderWatched(0));
  EXPECT_EQ(SC_E_READER_SUBSYSTEM_NOT_RUNNING, b.RefreshTokenInfo(0, 1, 0));

  // While the worker does not wait, every check polls; once it waits again, none.
  fakepcsc::SetServiceRunning(true);
  EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));
  fakepcsc::ClearCounts();
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(1, fakepcsc::Polls(0));
  ASSERT_TRUE(WaitUntil([&] {
    b.CheckCardStateAndReconnectIfNeeded(0);
    return b.IsReaderWatched(0);
  }));
  fakepcsc::ClearCounts();
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(0, fakepcsc::Queries(0));
  // And it counts events again.
  fakepcsc::Remove(0);
  ASSERT_TRUE(WaitForEvent(0));
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.RefreshTokenInfo(0, 1, 0));
}

TEST_F(WatchedReaders, ACardResetByAnotherApplicationIsTakenBackWhenCardWorkBegins) {
  SCPkcs15Lib& b = Start(PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  ASSERT_TRUE(WaitUntil([&] { return b.IsReaderWatched(0); }));
  fakepcsc::ResetByOther(0);
  fakepcsc::ClearCounts();
  // The reader state does not show a reset: the check stays quiet ...
  EXPECT_EQ(0, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(0, fakepcsc::Queries(0));
  // ... and the card work that follows takes the card back and goes on.
  EXPECT_EQ(SC_OK, b.ReadCardId(0, true));
  EXPECT_NE(nullptr, b.GetSlotCardId(0));
  EXPECT_GT(fakepcsc::SentCount(), 0u);
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
}

// The worker counts while the API side checks: under ThreadSanitizer this runs
// the record's protocol with a card that comes and goes many times.
TEST_F(WatchedReaders, ChecksFollowACardThatComesAndGoes) {
  SCPkcs15Lib& b = Start(PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(std::vector<uint32_t>{0}, PresentSlots());
  std::atomic<int> flips{0};
  std::atomic<bool> done{false};
  std::thread other([&] {
    while (!done) {
      if (flips % 2 == 0)
        fakepcsc::Remove(0);
      else
        fakepcsc::Insert(0);
      ++flips;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 200; ++i) b.RefreshTokenInfo(0, 1, 0);
  done = true;
  other.join();
  // Settled: the checks agree with the reader once the worker has seen the last event.
  const bool present = flips % 2 == 0;
  ASSERT_TRUE(WaitUntil([&] {
    const SCRESULT rc = b.RefreshTokenInfo(0, 1, 0);
    return present ? rc == SC_OK : rc == SC_E_NO_SMARTCARD;
  }));
  ASSERT_TRUE(WaitUntil([&] {
    b.CheckCardStateAndReconnectIfNeeded(0);
    return b.IsReaderWatched(0);
  }));
  EXPECT_EQ(present ? SC_OK : SC_E_NO_SMARTCARD, b.RefreshTokenInfo(0, 1, 0));
}

TEST_F(WatchedReaders, ChecksWithinOneCallAskTheReaderOnce) {
  SCPkcs15Lib& b = Start(0);  // no workers: every new call asks
  Pkcs11Lock call;
  call.Initialize(nullptr);
  b.SetCallLock(&call);
  call.Lock();
  fakepcsc::ClearCounts();
  EXPECT_EQ(1, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(0, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(SC_OK, b.RefreshTokenInfo(0, 1, 0));
  EXPECT_EQ(1, fakepcsc::Polls(0));
  // A card without a connection is asked after each time.
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.CheckCardStateAndReconnectIfNeeded(1));
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.CheckCardStateAndReconnectIfNeeded(1));
  EXPECT_EQ(2, fakepcsc::Polls(1));
  // Something done to the card in between: asked again.
  ASSERT_EQ(SC_OK, b.GetSlotReader(0)->ResetCard());
  int polls = fakepcsc::Polls(0);
  EXPECT_EQ(0, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(polls + 1, fakepcsc::Polls(0));
  call.Unlock();
  // The next call asks, and sees what happened in between.
  fakepcsc::Remove(0);
  call.Lock();
  polls = fakepcsc::Polls(0);
  EXPECT_EQ(SC_E_NO_SMARTCARD, b.CheckCardStateAndReconnectIfNeeded(0));
  EXPECT_EQ(polls + 1, fakepcsc::Polls(0));
  call.Unlock();
  b.SetCallLock(nullptr);
}
