// The reader layer through the card simulator's PC/SC library ("TARVO-MELK").
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "sim_fixture.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_transactguard.h"

using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kModel3Atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x59, 0x43, 0x41, 0x52, 0x44,
                          0x53, 0x49, 0x4D, 0x2D, 0x33, 0x83, 0x0F, 0x90, 0x00, 0x96};

SCRESULT MakeBaseCard(SCReader* reader, SCCard** card) {
    *card = new SCCard(reader);
    return SC_OK;
}

Bytes Exchange(SCReader& r, const Bytes& apdu, uint16_t* sw) {
    Bytes out;
    EXPECT_EQ(SC_OK, r.TransmitAPDU(apdu, &out, sw));
    return out;
}

// Size of the selected EF from its FCP (tag 80, two bytes).
size_t FcpSize(const Bytes& fcp) {
    for (size_t i = 2; i + 3 < fcp.size(); i += 2 + fcp[i + 1])
        if (fcp[i] == 0x80 && fcp[i + 1] == 2) return (fcp[i + 2] << 8) | fcp[i + 3];
    return 0;
}

}  // namespace

TEST_F(SimReaders, ListsTheSimulatedReaders) {
    char* list = nullptr;
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    EXPECT_STREQ(R0, list);
    EXPECT_STREQ(R1, list + std::strlen(R0) + 1);
    SCReader::FreeReaderList(list);
    SCReader* r = nullptr;
    EXPECT_EQ(SC_E_READER_NOT_FOUND, SCReader::CreateReader("CardSim Reader 9", &r, SC_LIST_NORMAL));
}

TEST_F(SimReaders, ConnectReconnectAndDisconnect) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0 | SC_MODE_PROTO_T1));
    EXPECT_STREQ("TARVO-MELK", r->GetBackendName());
    EXPECT_EQ(SC_MODE_PROTO_T1 | SC_MODE_SHARE_SHARED, r->GetMode());
    uint8_t atr[40];
    uint32_t len = sizeof atr;
    ASSERT_EQ(SC_OK, r->GetATR(atr, &len));
    EXPECT_EQ(kModel3Atr, Bytes(atr, atr + len));
    EXPECT_STREQ("CardSim", r->GetVendorName());
    EXPECT_EQ(0x01000000u, r->GetVendorVersion());
    ASSERT_EQ(SC_OK, r->Reconnect(SC_MODE_SHARE_EXCLUSIVE));
    EXPECT_EQ(SC_MODE_SHARE_EXCLUSIVE, r->GetMode() & SC_MODE_SHARE_MASK);
    auto other = Open();
    EXPECT_EQ(SC_E_CARD_IS_USED, other->Connect(0));
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_FALSE(r->IsConnected());
    EXPECT_EQ(SC_OK, other->Connect(0));
}

TEST_F(SimReaders, SecondConnectionWithAnotherProtocolIsAMismatch) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    auto other = Open();
    EXPECT_EQ(SC_E_CARD_PROTO_MISMATCH, other->Connect(SC_MODE_PROTO_T0));
    EXPECT_FALSE(other->IsConnected());
    EXPECT_EQ(SC_OK, other->Connect(SC_MODE_PROTO_T1));
}

TEST_F(SimReaders, CardHeldByAnotherApplicationIsInUse) {
    ASSERT_EQ(0, sim.HoldExclusive(R0, 1));
    auto r = Open();
    EXPECT_EQ(SC_E_CARD_IS_USED, r->Connect(0));
    ASSERT_EQ(0, sim.HoldExclusive(R0, 0));
    EXPECT_EQ(SC_OK, r->Connect(0));
}

TEST_F(SimReaders, EmptyReaderHasNoCard) {
    auto r = Open(R1);
    EXPECT_EQ(0, r->CheckForChange(SC_CHECK_ACKNOWLEDGE) & SC_CARDSTATE_PRESENT);
    EXPECT_EQ(SC_E_NO_SMARTCARD, r->Connect(0));
}

TEST_F(SimReaders, GetResponseFetchesTheAnswerOverT0) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0));
    EXPECT_EQ(SC_MODE_PROTO_T0, r->GetMode() & SC_MODE_PROTO_MASK);
    sim.ClearLog(R0);
    uint16_t sw = 0;
    const Bytes fcp = Exchange(*r, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00}, &sw);
    EXPECT_EQ(0x9000, sw);
    ASSERT_GT(fcp.size(), 4u);
    EXPECT_EQ(0x62, fcp[0]);
    EXPECT_EQ(fcp.size(), 2u + fcp[1]);
    const std::string log = sim.Log(R0);
    // Sent as case 3, answered with 61xx, fetched with GET RESPONSE.
    EXPECT_NE(std::string::npos, log.find("> 00A40000022F00\n< 61")) << log;
    EXPECT_NE(std::string::npos, log.find("> 00C00000")) << log;
}

TEST_F(SimReaders, WrongLeIsCorrectedFromTheCardsAnswer) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    uint16_t sw = 0;
    const Bytes fcp = Exchange(*r, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00}, &sw);
    ASSERT_EQ(0x9000, sw);
    const size_t size = FcpSize(fcp);
    ASSERT_GT(size, 8u);
    const size_t off = size - 5;
    sim.ClearLog(R0);
    const Bytes data = Exchange(
        *r, {0x00, 0xB0, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off), 0x40}, &sw);
    EXPECT_EQ(0x9000, sw);
    EXPECT_EQ(5u, data.size());
    const std::string log = sim.Log(R0);
    EXPECT_NE(std::string::npos, log.find("< 6C05")) << log;
    // Asked for more than it holds, without correction the caller sees 6C05 itself.
    Bytes raw;
    ASSERT_EQ(SC_OK, r->TransmitAPDU(Bytes{0x00, 0xB0, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off), 0x40},
                                     &raw, &sw, SC_TX_NO_LE_CORRECTION));
    EXPECT_EQ(0x6C05, sw);
}

TEST_F(SimReaders, InjectedStatusWordsReachTheCaller) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_EQ(0, sim.InjectSw(R0, 0xB0, 0x6982, 1));
    uint16_t sw = 0;
    Exchange(*r, {0x00, 0xB0, 0x00, 0x00, 0x04}, &sw);
    EXPECT_EQ(0x6982, sw);
    EXPECT_EQ(SC_E_ACCESS_DENIED, scResultFromStatus(sw));
}

TEST_F(SimReaders, TransactionsNestAndKeepOtherHoldersWaiting) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    auto other = Open();
    ASSERT_EQ(SC_OK, other->Connect(0));
    std::atomic<bool> otherGotIt{false};
    std::thread waiter;
    {
        SCTransactGuard outer(r->GetCard());
        ASSERT_TRUE(outer.IsLocked());
        {
            SCTransactGuard inner(r->GetCard());
            EXPECT_EQ(2u, r->GetTransactionDepth());
        }
        waiter = std::thread([&] {
            if (other->BeginTransaction() == SC_OK) {
                otherGotIt = true;
                other->EndTransaction();
            }
        });
        // The inner guard's end did not free the card: the other holder still waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(otherGotIt.load());
    }
    waiter.join();
    EXPECT_TRUE(otherGotIt.load());
    SCReader::SetCardFactory(nullptr);
}

TEST_F(SimReaders, TransactionIsReleasedWhenAnExceptionPasses) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    try {
        SCTransactGuard outer(r->GetCard());
        SCTransactGuard inner(r->GetCard());
        throw std::runtime_error("failed inside the transaction");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(0u, r->GetTransactionDepth());
    auto other = Open();
    ASSERT_EQ(SC_OK, other->Connect(0));
    auto got = std::async(std::launch::async, [&] { return other->BeginTransaction(); });
    ASSERT_EQ(std::future_status::ready, got.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(SC_OK, got.get());
    EXPECT_EQ(SC_OK, other->EndTransaction());
    SCReader::SetCardFactory(nullptr);
}

TEST_F(SimReaders, RemovalAndInsertionAreSeenByPolling) {
    auto r = Open();
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    ASSERT_EQ(0, sim.Remove(R0));
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(0, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    ASSERT_EQ(0, sim.Insert(R0, m_unknown.c_str()));
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    // A card swapped between two polls is a change as well.
    ASSERT_EQ(0, sim.Remove(R0));
    ASSERT_EQ(0, sim.Insert(R0, m_pkcs15.c_str()));
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(SimReaders, OwnResetIsNoChangeAResetByAnotherApplicationIs) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    // The reset a logout makes must not read as another card.
    ASSERT_EQ(SC_OK, r->ResetCard());
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_OK, r->CheckCardState());
    ASSERT_EQ(0, sim.ResetByOther(R0));
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    // A change still pending before an own reset stays visible.
    ASSERT_EQ(0, sim.ResetByOther(R0));
    ASSERT_EQ(SC_OK, r->Reconnect(r->GetMode() & SC_MODE_SHARE_MASK));
    ASSERT_EQ(SC_OK, r->ResetCard());
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(SimReaders, WaitingSeesInsertionFromAnotherThreadOrTimesOut) {
    auto r = Open(R1);
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_E_TIMEOUT, r->WaitForChange(50));
    std::thread inserter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sim.Insert(R1, m_unknown.c_str());
    });
    const SCRESULT st = r->WaitForChange(10000);
    inserter.join();
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, st);
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint8_t atr[40];
    uint32_t len = sizeof atr;
    ASSERT_EQ(SC_OK, r->GetATR(atr, &len));
    EXPECT_NE(kModel3Atr, Bytes(atr, atr + len));
}

TEST_F(SimReaders, MuteCardIsPresentButUnusable) {
    auto r = Open();
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    ASSERT_EQ(0, sim.SetMute(R0, 1));
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_MUTE | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_E_CARD_UNSUPPORTED, r->Connect(0));
    EXPECT_FALSE(r->IsConnected());
    ASSERT_EQ(0, sim.SetMute(R0, 0));
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_OK, r->Connect(0));
}

TEST_F(SimReaders, ConnectedCardStateFollowsResetsAndRemoval) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_EQ(SC_OK, r->CheckCardState());
    ASSERT_EQ(0, sim.ResetByOther(R0));
    EXPECT_EQ(SC_E_CARD_WAS_RESET, r->CheckCardState());
    ASSERT_EQ(SC_OK, r->Reconnect(r->GetMode() & SC_MODE_SHARE_MASK));
    EXPECT_EQ(SC_OK, r->CheckCardState());
    uint16_t sw = 0;
    Exchange(*r, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &sw);
    EXPECT_EQ(0x9000, sw);
    ASSERT_EQ(0, sim.Remove(R0));
    EXPECT_EQ(SC_E_CARD_REMOVED, r->CheckCardState());
    Bytes out;
    EXPECT_EQ(SC_E_CARD_REMOVED, r->TransmitAPDU(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &out, &sw));
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_EQ(SC_E_NO_SMARTCARD, r->Connect(0));
}

TEST_F(SimReaders, ReadersOnSeveralThreadsWorkSideBySide) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            SCReader* raw = nullptr;
            if (SCReader::CreateReader(R0, &raw, SC_LIST_NORMAL) != SC_OK) return;
            std::unique_ptr<SCReader> r(raw);
            if (r->Init(0) != SC_OK || r->Connect(0) != SC_OK) return;
            int good = 0;
            for (int i = 0; i < 20; ++i) {
                if (r->BeginTransaction() != SC_OK) break;
                Bytes out;
                uint16_t sw = 0;
                if (r->TransmitAPDU(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, &out, &sw) == SC_OK &&
                    sw == 0x9000 && !out.empty())
                    ++good;
                r->EndTransaction();
            }
            if (good == 20) ++ok;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(4, ok.load());
}
