// The reader logic over a fake PC/SC library: listing, connection and protocol
// rules, GET RESPONSE and Le correction, limits, transactions, card-state polling.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "fake_pcsc.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader_pcsc.h"
#include "smartcard/sc_smctx.h"
#include "smartcard/sc_transactguard.h"
#include "support/vtest.h"

using fakepcsc::Bytes;

namespace {

class ReaderFake : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        auto& s = fakepcsc::Get();
        s.readers.resize(2);
        s.readers[0].name = "Fake Reader 0";
        s.readers[0].present = true;
        s.readers[1].name = "Fake Reader 1";
        SCReaderPcsc::Library().UseTable(fakepcsc::Table());
        ASSERT_TRUE(SCReader::SetReaderTypes("PC/SC"));
        SCReader::SetCardFactory(nullptr);
    }
    void TearDown() override {
        SCReader::SetCardFactory(nullptr);
        SCReaderPcsc::Library().Unload();
    }

    std::unique_ptr<SCReader> Open(const char* name = "Fake Reader 0", uint64_t options = 0, uint64_t limits = 0) {
        SCReader* r = nullptr;
        EXPECT_EQ(SC_OK, SCReader::CreateReader(name, &r, SC_LIST_NORMAL));
        if (r == nullptr) return nullptr;
        r->SetOptions(options, limits);
        EXPECT_EQ(SC_OK, r->Init(0));
        return std::unique_ptr<SCReader>(r);
    }

    static Bytes Send(SCReader& r, const Bytes& apdu, uint16_t* sw, SCRESULT* rc = nullptr) {
        Bytes out;
        const SCRESULT res = r.TransmitAPDU(apdu, &out, sw);
        if (rc) *rc = res;
        else EXPECT_EQ(SC_OK, res);
        return out;
    }
};

Bytes Range(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
    return b;
}

// A card that keeps an answer of `total` bytes and hands it out in pieces with 61xx.
struct ChainedCard {
    Bytes pending;
    size_t total;
    explicit ChainedCard(size_t n) : total(n) {}
    Bytes operator()(const Bytes& c) {
        if (c[1] == 0xC0) {
            const size_t le = c[4] ? c[4] : 256;
            const size_t n = std::min(le, pending.size());
            Bytes out(pending.begin(), pending.begin() + n);
            pending.erase(pending.begin(), pending.begin() + n);
            const size_t left = pending.size();
            out.push_back(left ? 0x61 : 0x90);
            out.push_back(left ? static_cast<uint8_t>(left > 255 ? 0 : left) : 0x00);
            return out;
        }
        pending = Range(total);
        return {0x61, static_cast<uint8_t>(total > 255 ? 0 : total)};
    }
};

}  // namespace

TEST_F(ReaderFake, ListsEveryReaderAsOneMultiString) {
    char* list = nullptr;
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("Fake Reader 0", list);
    EXPECT_STREQ("Fake Reader 1", list + 14);
    EXPECT_EQ('\0', list[28]);
    SCReader::FreeReaderList(list);
}

TEST_F(ReaderFake, ListingWithoutRunningServiceReportsNotRunning) {
    fakepcsc::Get().serviceRunning = false;
    char* list = reinterpret_cast<char*>(1);
    EXPECT_EQ(SC_E_READER_SUBSYSTEM_NOT_RUNNING, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    EXPECT_EQ(nullptr, list);
    SCReader* r = nullptr;
    EXPECT_EQ(SC_E_READER_NOT_AVAILABLE, SCReader::CreateReader("Fake Reader 0", &r, SC_LIST_NORMAL));
}

TEST_F(ReaderFake, EmptyReaderListIsSuccessWithEmptyList) {
    fakepcsc::Get().readers.clear();
    char* list = nullptr;
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    EXPECT_EQ('\0', list[0]);
    SCReader::FreeReaderList(list);
}

TEST_F(ReaderFake, BackEndWithoutLibraryReportsNoReaderSubsystem) {
    SCReaderDravok::Library().Unload();
    ASSERT_TRUE(SCReader::SetReaderTypes("TARVO-MELK"));
    char* list = nullptr;
    EXPECT_EQ(SC_E_NO_READER_SUBSYSTEM, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    // With both back-ends, the loaded one still lists its readers.
    ASSERT_TRUE(SCReader::SetReaderTypes("TARVO-MELK, PC/SC"));
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    EXPECT_STREQ("Fake Reader 0", list);
    SCReader::FreeReaderList(list);
}

TEST_F(ReaderFake, ReaderTypesAreChosenByNameAndUnknownNamesRefused) {
    EXPECT_TRUE(SCReader::SetReaderTypes(" TARVO-MELK ,pc/sc "));
    EXPECT_TRUE(SCReader::IsReaderTypeEnabled("PC/SC"));
    EXPECT_TRUE(SCReader::IsReaderTypeEnabled("TARVO-MELK"));
    EXPECT_FALSE(SCReader::SetReaderTypes("PC/SC,Other"));
    EXPECT_TRUE(SCReader::IsReaderTypeEnabled("TARVO-MELK"));  // unchanged
    EXPECT_TRUE(SCReader::SetReaderTypes(nullptr));
    EXPECT_TRUE(SCReader::IsReaderTypeEnabled("PC/SC"));
    EXPECT_FALSE(SCReader::IsReaderTypeEnabled("TARVO-MELK"));
    EXPECT_FALSE(SCReader::IsReaderTypeEnabled(nullptr));
    EXPECT_TRUE(SCReader::SetReaderTypes(""));
    EXPECT_TRUE(SCReader::IsReaderTypeEnabled("PC/SC"));
    EXPECT_FALSE(SCReader::IsReaderTypeEnabled("TARVO-MELK"));
}

TEST_F(ReaderFake, UnknownReaderNameIsNotFound) {
    SCReader* r = reinterpret_cast<SCReader*>(1);
    EXPECT_EQ(SC_E_READER_NOT_FOUND, SCReader::CreateReader("Nobody", &r, SC_LIST_NORMAL));
    EXPECT_EQ(nullptr, r);
    EXPECT_EQ(SC_E_BAD_PARAMS, SCReader::CreateReader(nullptr, &r, SC_LIST_NORMAL));
}

TEST_F(ReaderFake, InitTwiceIsBadUsageAndReleaseClosesTheContext) {
    auto r = Open();
    EXPECT_TRUE(r->IsInitialized());
    EXPECT_STREQ("PC/SC", r->GetBackendName());
    EXPECT_EQ(SC_E_BAD_USAGE, r->Init(0));
    r->Release();
    EXPECT_FALSE(r->IsInitialized());
    EXPECT_EQ(0, fakepcsc::Get().contexts);
}

TEST_F(ReaderFake, InitOfAVanishedReaderIsNotFound) {
    SCReaderPcsc r("Gone Reader");
    EXPECT_EQ(SC_E_READER_NOT_FOUND, r.Init(0));
    EXPECT_FALSE(r.IsInitialized());
    EXPECT_EQ(0, fakepcsc::Get().contexts);
}

TEST_F(ReaderFake, ConnectReadsAtrProtocolAndShareMode) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_TRUE(r->IsConnected());
    EXPECT_EQ(SC_MODE_PROTO_T1 | SC_MODE_SHARE_SHARED, r->GetMode());
    uint8_t atr[40];
    uint32_t len = sizeof atr;
    ASSERT_EQ(SC_OK, r->GetATR(atr, &len));
    EXPECT_EQ(Bytes({0x3B, 0x02, 0x14, 0x50}), Bytes(atr, atr + len));
    uint32_t small = 2;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, r->GetATR(atr, &small));
    EXPECT_EQ(4u, small);
    EXPECT_EQ(nullptr, r->GetCard());  // no card factory: an unrecognised card
    EXPECT_EQ(SC_E_BAD_USAGE, r->Connect(0));
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_FALSE(r->IsConnected());
    EXPECT_EQ(SC_MODE_SHARE_SHARED, r->GetMode());
    EXPECT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0));
    EXPECT_EQ(SC_MODE_PROTO_T0, r->GetMode() & SC_MODE_PROTO_MASK);
}

TEST_F(ReaderFake, ProtocolTheCardLacksIsAMismatch) {
    fakepcsc::Get().readers[0].protocols = scpcsc::PROTOCOL_T0;
    auto r = Open();
    EXPECT_EQ(SC_E_CARD_PROTO_MISMATCH, r->Connect(SC_MODE_PROTO_T1));
    EXPECT_FALSE(r->IsConnected());
    EXPECT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0 | SC_MODE_PROTO_T1));
    EXPECT_EQ(SC_MODE_PROTO_T0, r->GetMode() & SC_MODE_PROTO_MASK);
}

TEST_F(ReaderFake, DisabledProtocolsRestrictTheRequest) {
    // Both protocols disabled: nothing is left, and the card is not even asked.
    auto r = Open("Fake Reader 0", scRoptSetDisabledProtocols(0, SC_ROPT_PROTO_T0 | SC_ROPT_PROTO_T1));
    EXPECT_EQ(SC_E_CARD_PROTO_MISMATCH, r->Connect(0));
    EXPECT_TRUE(fakepcsc::Get().handles.empty());
    r.reset();
    auto r2 = Open("Fake Reader 0", scRoptSetDisabledProtocols(0, SC_ROPT_PROTO_T1));
    ASSERT_EQ(SC_OK, r2->Connect(SC_MODE_PROTO_T0 | SC_MODE_PROTO_T1));
    EXPECT_EQ(SC_MODE_PROTO_T0, r2->GetMode() & SC_MODE_PROTO_MASK);
}

TEST_F(ReaderFake, DefaultProtocolsServeAnEmptyRequestAndCanBeForced) {
    auto r = Open("Fake Reader 0", scRoptSetDefaultProtocols(0, SC_ROPT_PROTO_T0));
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_EQ(SC_MODE_PROTO_T0, r->GetMode() & SC_MODE_PROTO_MASK);
    r->Disconnect(0);
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    EXPECT_EQ(SC_MODE_PROTO_T1, r->GetMode() & SC_MODE_PROTO_MASK);
    r.reset();
    auto forced = Open("Fake Reader 0", scRoptSetDefaultProtocols(SC_ROPT_FORCE_DEFAULT_PROTOCOLS, SC_ROPT_PROTO_T0));
    ASSERT_EQ(SC_OK, forced->Connect(SC_MODE_PROTO_T1));
    EXPECT_EQ(SC_MODE_PROTO_T0, forced->GetMode() & SC_MODE_PROTO_MASK);
}

TEST_F(ReaderFake, FallbackToDefaultProtocolAfterMismatch) {
    fakepcsc::Get().readers[0].protocols = scpcsc::PROTOCOL_T0;
    const uint64_t opts = scRoptSetDefaultProtocols(SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL, SC_ROPT_PROTO_T0);
    auto r = Open("Fake Reader 0", opts);
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    EXPECT_EQ(SC_MODE_PROTO_T0, r->GetMode() & SC_MODE_PROTO_MASK);
}

TEST_F(ReaderFake, CardHeldExclusivelyByAnotherApplicationIsInUse) {
    fakepcsc::Get().readers[0].heldByOther = true;
    auto r = Open();
    EXPECT_EQ(SC_E_CARD_IS_USED, r->Connect(0));
    EXPECT_FALSE(r->IsConnected());
    fakepcsc::Get().readers[0].heldByOther = false;
    // Two readers of ours: exclusive use keeps the second one out.
    r->SetShareMode(SC_MODE_SHARE_EXCLUSIVE);
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_EQ(SC_MODE_SHARE_EXCLUSIVE, r->GetMode() & SC_MODE_SHARE_MASK);
    auto other = Open();
    EXPECT_EQ(SC_E_CARD_IS_USED, other->Connect(0));
}

TEST_F(ReaderFake, ShareFailureCanSettleForSharedUse) {
    auto holder = Open();
    ASSERT_EQ(SC_OK, holder->Connect(0));
    auto r = Open("Fake Reader 0", SC_ROPT_RECONNECT_ON_SHARE_FAIL);
    r->SetShareMode(SC_MODE_SHARE_EXCLUSIVE);
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_EQ(SC_MODE_SHARE_SHARED, r->GetMode() & SC_MODE_SHARE_MASK);
}

TEST_F(ReaderFake, EmptyReaderGivesNoSmartcard) {
    auto r = Open("Fake Reader 1");
    EXPECT_EQ(SC_E_NO_SMARTCARD, r->Connect(0));
}

TEST_F(ReaderFake, GetResponseChainCollectsTheWholeAnswer) {
    fakepcsc::Get().card = ChainedCard(600);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    const Bytes data = Send(*r, {0x00, 0xCA, 0x01, 0x02, 0x00}, &sw);
    EXPECT_EQ(0x9000, sw);
    EXPECT_EQ(Range(600), data);
    const auto& sent = fakepcsc::Get().sent;
    ASSERT_EQ(4u, sent.size());  // the command and three GET RESPONSE
    EXPECT_EQ(Bytes({0x00, 0xC0, 0x00, 0x00, 0x00}), sent[1]);
    EXPECT_EQ(Bytes({0x00, 0xC0, 0x00, 0x00, 0x00}), sent[2]);
    EXPECT_EQ(Bytes({0x00, 0xC0, 0x00, 0x00, 88}), sent[3]);
    // The caller can ask to see 61xx itself.
    Bytes raw;
    ASSERT_EQ(SC_OK, r->TransmitAPDU(Bytes{0x00, 0xCA, 0x01, 0x02, 0x00}, &raw, &sw, SC_TX_NO_GET_RESPONSE));
    EXPECT_EQ(0x6100, sw);
}

TEST_F(ReaderFake, GetResponseKeepsTheLogicalChannel) {
    fakepcsc::Get().card = ChainedCard(10);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    Send(*r, {0x03, 0xCA, 0x01, 0x02, 0x00}, &sw);
    Send(*r, {0x80, 0xCA, 0x01, 0x02, 0x00}, &sw);
    const auto& sent = fakepcsc::Get().sent;
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(0x03, sent[1][0]);
    EXPECT_EQ(0x00, sent[3][0]);
}

TEST_F(ReaderFake, ReceiveLimitCapsEachGetResponse) {
    fakepcsc::Get().card = ChainedCard(100);
    auto r = Open("Fake Reader 0", 0, scRoptSetLimit(0, SC_RLIMIT_T1_RECV, 32));
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    EXPECT_EQ(32u, r->GetMaxResponseLength());
    uint16_t sw = 0;
    EXPECT_EQ(Range(100), Send(*r, {0x00, 0xCA, 0x01, 0x02, 0x00}, &sw));
    const auto& sent = fakepcsc::Get().sent;
    ASSERT_EQ(5u, sent.size());
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(32, sent[i][4]);
    EXPECT_EQ(4, sent[4][4]);
}

TEST_F(ReaderFake, WrongLeIsCorrectedOnce) {
    fakepcsc::Get().card = [](const Bytes& c) -> Bytes {
        if (c.size() == 5 && c[4] == 0x10) {
            Bytes out = Range(16, 0x40);
            out.push_back(0x90);
            out.push_back(0x00);
            return out;
        }
        return {0x6C, 0x10};
    };
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    EXPECT_EQ(Range(16, 0x40), Send(*r, {0x00, 0xB0, 0x00, 0x00, 0x00}, &sw));
    EXPECT_EQ(0x9000, sw);
    ASSERT_EQ(2u, fakepcsc::Get().sent.size());
    EXPECT_EQ(Bytes({0x00, 0xB0, 0x00, 0x00, 0x10}), fakepcsc::Get().sent[1]);
    // A card that insists on 6Cxx is not asked forever.
    fakepcsc::Get().card = [](const Bytes&) -> Bytes { return {0x6C, 0x08}; };
    Send(*r, {0x00, 0xB0, 0x00, 0x00, 0x00}, &sw);
    EXPECT_EQ(0x6C08, sw);
    EXPECT_EQ(4u, fakepcsc::Get().sent.size());
}

TEST_F(ReaderFake, CaseFourCommandGoesWithoutLeOverT0) {
    fakepcsc::Get().card = ChainedCard(4);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0));
    uint16_t sw = 0;
    EXPECT_EQ(Range(4), Send(*r, {0x00, 0x88, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00}, &sw));
    EXPECT_EQ(Bytes({0x00, 0x88, 0x00, 0x00, 0x02, 0xAA, 0xBB}), fakepcsc::Get().sent[0]);
    EXPECT_EQ(scpcsc::PROTOCOL_T0, fakepcsc::Get().sentProtocols[0]);
    // An extended command that fits short lengths is sent in short form.
    Send(*r, {0x00, 0x88, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB}, &sw);
    EXPECT_EQ(Bytes({0x00, 0x88, 0x00, 0x00, 0x02, 0xAA, 0xBB}), fakepcsc::Get().sent[2]);
}

TEST_F(ReaderFake, SendLimitsRefuseLongCommands) {
    auto r = Open("Fake Reader 0", 0, scRoptSetLimit(0, SC_RLIMIT_T1_SEND, 16));
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
    EXPECT_EQ(16u, r->GetMaxSendLength());
    Bytes cmd = {0x00, 0xD6, 0x00, 0x00, 17};
    Bytes data = Range(17);
    cmd.insert(cmd.end(), data.begin(), data.end());
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    Send(*r, cmd, &sw, &rc);
    EXPECT_EQ(SC_E_TOO_MUCH_DATA, rc);
    EXPECT_TRUE(fakepcsc::Get().sent.empty());
    r->Disconnect(0);
    ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T0));
    EXPECT_EQ(255u, r->GetMaxSendLength());
    EXPECT_EQ(256u, r->GetMaxResponseLength());
}

TEST_F(ReaderFake, MalformedOrMisplacedCallsAreRefused) {
    auto r = Open();
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    Send(*r, {0x00, 0xA4, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, rc);
    ASSERT_EQ(SC_OK, r->Connect(0));
    Send(*r, {0x00, 0xA4, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_BAD_PARAMS, rc);
    Send(*r, {0x00, 0xA4, 0x00, 0x00, 0x05, 0x01}, &sw, &rc);  // Lc says 5, one byte given
    EXPECT_EQ(SC_E_BAD_PARAMS, rc);
    uint32_t len = 0;
    EXPECT_EQ(SC_E_BAD_PARAMS, r->TransmitAPDU(nullptr, 4, nullptr, &len, &sw));
    const uint8_t apdu[] = {0x00, 0xA4, 0x00, 0x00};
    EXPECT_EQ(SC_E_BAD_PARAMS, r->TransmitAPDU(apdu, 4, nullptr, nullptr, &sw));
    EXPECT_TRUE(fakepcsc::Get().sent.empty());
}

TEST_F(ReaderFake, SmallBufferReportsTheNeededLength) {
    fakepcsc::Get().card = ChainedCard(40);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    const uint8_t apdu[] = {0x00, 0xCA, 0x00, 0x00, 0x00};
    uint8_t buf[64];
    uint32_t len = 10;
    uint16_t sw = 0;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, r->TransmitAPDU(apdu, 5, buf, &len, &sw));
    EXPECT_EQ(40u, len);
    len = sizeof buf;
    ASSERT_EQ(SC_OK, r->TransmitAPDU(apdu, 5, buf, &len, &sw));
    EXPECT_EQ(40u, len);
    EXPECT_EQ(Range(40), Bytes(buf, buf + len));
}

TEST_F(ReaderFake, CardThatAnnouncesDataAndGivesNoneIsAFailure) {
    fakepcsc::Get().card = [](const Bytes&) -> Bytes { return {0x61, 0x10}; };
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    Send(*r, {0x00, 0xCA, 0x00, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_TRANSMISSION_FAILED, rc);
    EXPECT_LE(fakepcsc::Get().sent.size(), 3u);
}

TEST_F(ReaderFake, EndlessAnswerIsCutAtTheResponseLimit) {
    fakepcsc::Get().card = [](const Bytes&) -> Bytes {
        Bytes out(256, 0x55);
        out.push_back(0x61);
        out.push_back(0x00);
        return out;
    };
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    Send(*r, {0x00, 0xCA, 0x00, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_TOO_MUCH_DATA, rc);
}

TEST_F(ReaderFake, LibraryClaimingMoreThanItsBufferIsRefused) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    fakepcsc::Get().overlongAnswer = true;
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    Send(*r, {0x00, 0xCA, 0x00, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_TRANSMISSION_FAILED, rc);
}

TEST_F(ReaderFake, TransmissionFailuresBecomeCardResults) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    SCRESULT rc = SC_OK;
    fakepcsc::Get().transmitError = static_cast<scpcsc::LONG>(scpcsc::F_COMM_ERROR);
    Send(*r, {0x00, 0xCA, 0x00, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_TRANSMISSION_FAILED, rc);
    fakepcsc::Get().transmitError = 0;
    fakepcsc::Remove(0);
    Send(*r, {0x00, 0xCA, 0x00, 0x00, 0x00}, &sw, &rc);
    EXPECT_EQ(SC_E_CARD_REMOVED, rc);
}

TEST_F(ReaderFake, TransactionsNestAndOnlyTheOutermostReachesTheCard) {
    auto r = Open();
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, r->BeginTransaction());
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    EXPECT_EQ(3u, r->GetTransactionDepth());
    EXPECT_EQ(1, fakepcsc::Get().beginCalls);
    EXPECT_EQ(SC_OK, r->EndTransaction());
    EXPECT_EQ(SC_OK, r->EndTransaction());
    EXPECT_EQ(0, fakepcsc::Get().endCalls);
    EXPECT_EQ(SC_OK, r->EndTransaction());
    EXPECT_EQ(1, fakepcsc::Get().endCalls);
    EXPECT_EQ(SC_E_BAD_USAGE, r->EndTransaction());
}

TEST_F(ReaderFake, DisconnectEndsAHeldTransaction) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_EQ(1, fakepcsc::Get().endCalls);
    EXPECT_EQ(0u, r->GetTransactionDepth());
    EXPECT_TRUE(fakepcsc::Get().handles.empty());
}

namespace {
SCRESULT MakeBaseCard(SCReader* reader, SCCard** card) {
    *card = new SCCard(reader);
    return SC_OK;
}
SCRESULT RefuseCard(SCReader*, SCCard** card) {
    *card = nullptr;
    return SC_E_CARD_UNSUPPORTED;
}
int Locks() { return fakepcsc::Get().handles.begin()->second.locks; }  // of the one connection
SCRESULT FailCard(SCReader*, SCCard** card) {
    *card = nullptr;
    return SC_E_TRANSMISSION_FAILED;
}
}  // namespace

TEST_F(ReaderFake, CardFactoryDecidesTheCardObject) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_NE(nullptr, r->GetCard());
    EXPECT_EQ(r.get(), r->GetCard()->m_pConnectedReader);
    uint32_t len = 0;
    const uint8_t* atr = r->GetCard()->GetAtr(&len);
    EXPECT_EQ(Bytes({0x3B, 0x02, 0x14, 0x50}), Bytes(atr, atr + len));
    r->Disconnect(0);
    EXPECT_EQ(nullptr, r->GetCard());

    SCReader::SetCardFactory(RefuseCard);
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_TRUE(r->IsConnected());
    EXPECT_EQ(nullptr, r->GetCard());
    r->Disconnect(0);

    SCReader::SetCardFactory(FailCard);
    EXPECT_EQ(SC_E_TRANSMISSION_FAILED, r->Connect(0));
    EXPECT_FALSE(r->IsConnected());
    EXPECT_TRUE(fakepcsc::Get().handles.empty());
}

TEST_F(ReaderFake, GuardLocksForItsScopeAndNests) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    SCCard* card = r->GetCard();
    {
        SCTransactGuard outer(card, true);
        EXPECT_TRUE(outer.IsLocked());
        {
            SCTransactGuard inner(*card, true);
            EXPECT_EQ(2u, r->GetTransactionDepth());
        }
        EXPECT_EQ(1u, r->GetTransactionDepth());
        outer.Release();
        EXPECT_FALSE(outer.IsLocked());
        EXPECT_EQ(0u, r->GetTransactionDepth());
        outer.Release();  // twice is harmless
        EXPECT_EQ(SC_OK, outer.Acquire());
        EXPECT_EQ(1u, r->GetTransactionDepth());
    }
    EXPECT_EQ(0u, r->GetTransactionDepth());
    EXPECT_EQ(2, fakepcsc::Get().beginCalls);
    EXPECT_EQ(2, fakepcsc::Get().endCalls);
    SCTransactGuard unlocked(card, false);
    EXPECT_FALSE(unlocked.IsLocked());
    EXPECT_EQ(0u, r->GetTransactionDepth());
}

TEST_F(ReaderFake, GuardUnlocksWhenAnExceptionPasses) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    SCCard* card = r->GetCard();
    try {
        SCTransactGuard outer(card);
        SCTransactGuard inner(card);
        throw std::runtime_error("card operation failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(0u, r->GetTransactionDepth());
    EXPECT_EQ(1, fakepcsc::Get().endCalls);
}

TEST_F(ReaderFake, GuardOnACardWithoutReaderIsAnAssertion) {
    SCCard loose(nullptr);
    EXPECT_THROW({ SCTransactGuard g(&loose); }, VtestException);
    try {
        SCTransactGuard g(&loose);
    } catch (const VtestException& e) {
        EXPECT_NE(nullptr, std::strstr(e.what(), "Karta powinna być podłączona z czytnikiem!!!"));
        EXPECT_NE(nullptr, std::strstr(e.what(), "card.m_pConnectedReader"));
    }
}

TEST_F(ReaderFake, GuardWhoseLockFailsHoldsNothing) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    fakepcsc::Remove(0);
    {
        SCTransactGuard g(r->GetCard());
        EXPECT_FALSE(g.IsLocked());
        EXPECT_EQ(SC_E_CARD_REMOVED, g.GetResult());
    }
    EXPECT_EQ(0, fakepcsc::Get().endCalls);
}

TEST_F(ReaderFake, PollSeesRemovalAndInsertion) {
    auto r = Open();
    SCRESULT st = r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, st);  // first poll after init
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    fakepcsc::Remove(0);
    // Without acknowledging, the change stays visible.
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(0));
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(0, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    fakepcsc::Insert(0);
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    // Removal and reinsertion between two polls is still a change (event count).
    fakepcsc::Remove(0);
    fakepcsc::Insert(0);
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    fakepcsc::Get().readers[0].mute = true;
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_MUTE | SC_CARDSTATE_CHANGED,
              r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(ReaderFake, AnotherApplicationConnectingIsNoChange) {
    auto r = Open();
    r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    fakepcsc::Get().readers[0].heldByOther = true;
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_E_TIMEOUT, r->WaitForChange(50));
}

TEST_F(ReaderFake, PollOfAVanishedReaderOrStoppedServiceFails) {
    auto r = Open();
    EXPECT_EQ(SC_E_BAD_USAGE, SCReaderPcsc("Fake Reader 0").CheckForChange(1));
    fakepcsc::Get().readers[0].name = "Renamed";
    EXPECT_EQ(SC_E_READER_NOT_FOUND, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    fakepcsc::Get().serviceRunning = false;
    EXPECT_EQ(SC_E_READER_SUBSYSTEM_NOT_RUNNING, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(ReaderFake, WaitTimesOutThenSeesARemovalFromAnotherThread) {
    auto r = Open();
    r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    EXPECT_EQ(SC_E_TIMEOUT, r->WaitForChange(30));
    std::thread remover([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fakepcsc::Remove(0);
    });
    const SCRESULT st = r->WaitForChange(5000);
    remover.join();
    EXPECT_EQ(SC_CARDSTATE_CHANGED, st);
    // Acknowledged by the wait: the next poll sees no change.
    EXPECT_EQ(0, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(ReaderFake, UnacknowledgedChangeEndsTheWaitAtOnce) {
    auto r = Open();
    r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    fakepcsc::Remove(0);
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(0));
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->WaitForChange(0));
}

TEST_F(ReaderFake, CheckCardStateSeesResetAndReconnectRecovers) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_EQ(SC_OK, r->CheckCardState());
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    fakepcsc::ResetByOther(0);
    EXPECT_EQ(SC_E_CARD_WAS_RESET, r->CheckCardState());
    ASSERT_EQ(SC_OK, r->Reconnect(r->GetMode() & SC_MODE_SHARE_MASK));
    EXPECT_EQ(SC_OK, r->CheckCardState());
    // The transaction held before the reset is taken again, and held once.
    EXPECT_EQ(2, fakepcsc::Get().beginCalls);
    EXPECT_EQ(SC_OK, r->EndTransaction());
    EXPECT_EQ(0, Locks());
    fakepcsc::Remove(0);
    EXPECT_EQ(SC_E_CARD_REMOVED, r->CheckCardState());
}

TEST_F(ReaderFake, ChangedAtrMeansAnotherCard) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    fakepcsc::Get().readers[0].atr = {0x3B, 0x00};
    EXPECT_EQ(SC_E_CARD_REMOVED, r->CheckCardState());
}

TEST_F(ReaderFake, ResetCardKeepsTheConnection) {
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    const unsigned gen = fakepcsc::Get().readers[0].resetGeneration;
    ASSERT_EQ(SC_OK, r->ResetCard());
    EXPECT_EQ(gen + 1, fakepcsc::Get().readers[0].resetGeneration);
    EXPECT_EQ(SC_OK, r->CheckCardState());
    // Made while the card is held, and in a transaction of the caller's it stays held once.
    EXPECT_EQ(0, fakepcsc::Get().resetsOutsideTransaction);
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    ASSERT_EQ(SC_OK, r->ResetCard());
    EXPECT_EQ(SC_OK, r->EndTransaction());
    EXPECT_EQ(0, Locks());
}

namespace {
unsigned g_resetsBeforeFactory = 0;  // the card's resets when the card factory ran last
SCRESULT NoteResets(SCReader*, SCCard** card) {
    g_resetsBeforeFactory = fakepcsc::Get().readers[0].resetGeneration;
    *card = nullptr;
    return SC_OK;
}
}  // namespace

// A reset the reader could not make (the card mute) stays owed to that card: no command goes first;
// the next transaction or connection makes it, a disconnection resets; a card PC/SC reports taken
// out, or one of another ATR, owes nothing.
TEST_F(ReaderFake, AResetTheReaderCouldNotMakeIsOwedToThatCardAlone) {
    enum Then { kTransaction, kDisconnect, kConnection, kAnotherCard, kTakenOut };
    const struct { const char* name; Then then; int resets; } rows[] = {
        {"the next transaction", kTransaction, 1}, {"a disconnection", kDisconnect, 1},
        {"the disconnection refused, the next connection", kConnection, 1},
        {"the disconnection refused, another card", kAnotherCard, 0},
        {"the disconnection refused, the card taken out and put back", kTakenOut, 0},
    };
    SCReader::SetCardFactory(NoteResets);
    auto& fake = fakepcsc::Get();
    const Bytes atr = fake.readers[0].atr;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake.readers[0].atr = atr;
        fake.disconnectResets = 0;
        auto r = Open();
        ASSERT_EQ(SC_OK, r->Connect(0));
        fake.readers[0].mute = true;
        EXPECT_EQ(SC_E_CARD_UNSUPPORTED, r->ResetCard());
        fake.readers[0].mute = false;
        fakepcsc::ClearCounts();
        uint16_t sw = 0;
        SCRESULT rc = SC_OK;
        Send(*r, {0x00, 0xB0, 0x00, 0x00, 0x00}, &sw, &rc);
        EXPECT_EQ(SC_E_CARD_UNSUPPORTED, rc);
        EXPECT_EQ(0u, fakepcsc::SentCount());
        const unsigned before = fake.readers[0].resetGeneration;
        fake.disconnectError = row.then >= kConnection ? static_cast<scpcsc::LONG>(scpcsc::F_COMM_ERROR) : 0;
        if (row.then == kTransaction) {
            ASSERT_EQ(SC_OK, r->BeginTransaction());
            EXPECT_EQ(before + 1, fake.readers[0].resetGeneration);
            EXPECT_EQ(SC_OK, r->EndTransaction());
        } else {
            r->Disconnect(SC_DISPOSITION_LEAVE);
            EXPECT_EQ(row.then != kDisconnect, r->ResetOwed());
        }
        if (row.then == kAnotherCard) fake.readers[0].atr = {0x3B, 0x00};
        if (row.then == kTakenOut) {
            fakepcsc::Remove(0);
            EXPECT_EQ(0, r->CheckForChange(SC_CHECK_ACKNOWLEDGE) & SC_CARDSTATE_PRESENT);
            fakepcsc::Insert(0);
        }
        if (row.then >= kConnection) {
            fake.disconnectError = 0;
            ASSERT_EQ(SC_OK, r->Connect(0));
            EXPECT_EQ(fake.readers[0].resetGeneration, g_resetsBeforeFactory);  // made before the card is read
        }
        EXPECT_EQ(row.resets, static_cast<int>(fake.readers[0].resetGeneration - before) + fake.disconnectResets);
        EXPECT_FALSE(r->ResetOwed());
    }
}

TEST_F(ReaderFake, StateChecksOnAReaderWithoutCardAreAssertions) {
    auto r = Open();
    uint8_t atr[40];
    uint32_t len = sizeof atr;
    EXPECT_THROW(r->GetATR(atr, &len), VtestException);
    EXPECT_THROW(r->CheckCardState(), VtestException);
    EXPECT_THROW(r->Reconnect(0), VtestException);
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, r->ResetCard());
}

namespace {
std::vector<std::string>* g_lines = nullptr;
void Collect(const char* line) {
    if (g_lines) g_lines->push_back(line);
}
}  // namespace

TEST_F(ReaderFake, CallTraceWritesOneLinePerCallWhileSwitchedOn) {
    // Each command, the card's answer and the line that shows them: the status word
    // beside the command; the answer's data never, a PIN or a write by header only.
    const struct {
        Bytes apdu, answer;
        const char* line;
    } rows[] = {
        {{0x00, 0xA4, 0x00, 0x00}, {0x90, 0x00},
         "PC/SC: SCardTransmit(4 bytes: 00 A4 00 00 ...) -> SCARD_S_SUCCESS, 2 bytes, SW 9000"},
        {{0x00, 0x20, 0x00, 0x81, 0x04, 0x31, 0x32, 0x33, 0x34}, {0x63, 0xC2},
         "PC/SC: SCardTransmit(9 bytes: 00 20 00 81 (data not shown)) -> SCARD_S_SUCCESS, 2 bytes, SW 63C2"},
        {{0x00, 0x2A, 0x9E, 0x9A, 0x03, 0x01, 0x02, 0x03}, {0x69, 0x82},
         "PC/SC: SCardTransmit(8 bytes: 00 2A 9E 9A 03 01 02 03 ...) -> SCARD_S_SUCCESS, 2 bytes, SW 6982"},
        {{0x00, 0xD6, 0x00, 0x00, 0x02, 0x51, 0x5A}, {0x6A, 0x80},
         "PC/SC: SCardTransmit(7 bytes: 00 D6 00 00 (data not shown)) -> SCARD_S_SUCCESS, 2 bytes, SW 6A80"},
        {{0x00, 0xB0, 0x00, 0x00, 0x04}, {0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00},
         "PC/SC: SCardTransmit(5 bytes: 00 B0 00 00 04 ...) -> SCARD_S_SUCCESS, 6 bytes, SW 9000"},
    };
    fakepcsc::Get().card = [&rows](const Bytes& c) {
        for (const auto& row : rows)
            if (row.apdu == c) return row.answer;
        return Bytes{0x6D, 0x00};
    };
    std::vector<std::string> lines;
    g_lines = &lines;
    scSetLogSink(Collect);
    auto r = Open();
    EXPECT_TRUE(lines.empty());
    SCReaderPcsc::SetTraceEnabled(true);
    char* list = nullptr;
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    SCReader::FreeReaderList(list);
    ASSERT_EQ(SC_OK, r->Connect(0));
    for (const auto& row : rows) {
        uint16_t sw = 0;
        Send(*r, row.apdu, &sw);
    }
    SCReaderPcsc::SetTraceEnabled(false);
    r->Disconnect(0);
    scSetLogSink(nullptr);
    g_lines = nullptr;
    bool sawConnect = false, sawDisconnect = false;
    std::vector<std::string> transmits, expected;
    for (const auto& l : lines) {
        sawConnect |= l.find("PC/SC: SCardConnect('Fake Reader 0'") == 0;
        sawDisconnect |= l.find("SCardDisconnect") != std::string::npos;
        if (l.find("SCardTransmit(") != std::string::npos) transmits.push_back(l);
    }
    for (const auto& row : rows) expected.push_back(row.line);
    // The short-lived context that lists the readers is released in the trace too.
    const std::vector<std::string> listing(lines.begin(), lines.begin() + std::min<size_t>(3, lines.size()));
    EXPECT_EQ((std::vector<std::string>{"PC/SC: SCardEstablishContext() -> SCARD_S_SUCCESS",
                                        "PC/SC: SCardListReaders() -> SCARD_S_SUCCESS",
                                        "PC/SC: SCardReleaseContext() -> SCARD_S_SUCCESS"}),
              listing);
    EXPECT_TRUE(sawConnect);
    EXPECT_EQ(expected, transmits);
    EXPECT_FALSE(sawDisconnect);
    // The answer's data stays out of the trace.
    for (const auto& l : lines) EXPECT_EQ(std::string::npos, l.find("DE AD")) << l;
}

TEST_F(ReaderFake, UnloadBackendsEmptiesTheActiveTables) {
    SCReader::UnloadBackends();
    EXPECT_FALSE(SCReaderPcsc::Library().IsLoaded());
    char* list = nullptr;
    EXPECT_EQ(SC_E_NO_READER_SUBSYSTEM, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
}

TEST(ReaderLoading, MissingLibraryTellsWhy) {
    EXPECT_LT(SCReaderPcsc::LoadPcscFunctions("/nonexistent/libnothing.so"), 0);
    EXPECT_NE("", SCReaderPcsc::GetLoadError());
    EXPECT_FALSE(SCReaderPcsc::Library().IsLoaded());
}

TEST(ReaderLoading, LibraryWithoutTheFunctionsIsRefused) {
    EXPECT_LT(SCReaderDravok::LoadDravokFunctions("libc.so.6;Sim"), 0);
    EXPECT_NE(std::string::npos, SCReaderDravok::GetLoadError().find("SimSCardEstablishContext"));
    EXPECT_FALSE(SCReaderDravok::Library().IsLoaded());
    EXPECT_LT(SCReaderDravok::LoadDravokFunctions(nullptr), 0);
    EXPECT_NE("", SCReaderDravok::GetLoadError());
}

TEST(ReaderLoading, PathAndPrefixSplitAtTheLastSemicolon) {
    // "a;b;Sim": the path is "a;b" and the prefix "Sim".
    EXPECT_LT(SCReaderDravok::LoadDravokFunctions("/nonexistent/x;y.so;Sim"), 0);
    EXPECT_NE(std::string::npos, SCReaderDravok::GetLoadError().find("/nonexistent/x;y.so"));
}

TEST_F(ReaderFake, APollIsOneQueryThatNamesNoExpectedState) {
    auto r = Open();
    fakepcsc::ClearCounts();
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(2, fakepcsc::Queries(0));
    // A reader that goes away answers as such.
    fakepcsc::Get().readers[0].name = "Gone";
    EXPECT_EQ(SC_E_READER_NOT_FOUND, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
}

TEST_F(ReaderFake, AcknowledgedStateStandsUntilAPollSeesAChange) {
    auto r = Open();
    EXPECT_EQ(SC_E_BAD_USAGE, r->GetAcknowledgedState());  // never polled
    r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    fakepcsc::ClearCounts();
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->GetAcknowledgedState());
    EXPECT_EQ(0, fakepcsc::Queries(0));
    fakepcsc::Remove(0);
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->GetAcknowledgedState());  // nothing asked: nothing known
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(0));
    EXPECT_EQ(SC_E_BAD_USAGE, r->GetAcknowledgedState());  // seen, not acknowledged
    EXPECT_EQ(SC_CARDSTATE_CHANGED, r->CheckForChange(SC_CHECK_ACKNOWLEDGE));
    EXPECT_EQ(0, r->GetAcknowledgedState());
    r->Release();
    EXPECT_EQ(SC_E_BAD_USAGE, r->GetAcknowledgedState());
    EXPECT_TRUE(r->IsServiceRemote());
    EXPECT_FALSE(SCReaderDravok("Simulated").IsServiceRemote());
}

TEST_F(ReaderFake, ChangeCountMovesWithWhatMayChangeTheCard) {
    auto r = Open();
    const uint64_t before = r->GetChangeCount();
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint64_t c = r->GetChangeCount();
    EXPECT_GT(c, before);
    uint16_t sw = 0;
    // Selections, reads, GET DATA and a PIN-status query leave it.
    for (const Bytes& apdu : {Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, Bytes{0x00, 0xB0, 0x00, 0x00, 0x10},
                              Bytes{0x00, 0xB2, 0x01, 0x04, 0x00}, Bytes{0x00, 0xCA, 0x00, 0x5A, 0x00},
                              Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}, Bytes{0x00, 0x20, 0x00, 0x81}}) {
        Send(*r, apdu, &sw);
        EXPECT_EQ(c, r->GetChangeCount()) << std::hex << int(apdu[1]);
    }
    // Writing, a PIN presented or its verification ended, signing: each moves it.
    for (const Bytes& apdu : {Bytes{0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA}, Bytes{0x00, 0x20, 0x00, 0x81, 0x01, 0x31},
                              Bytes{0x00, 0x20, 0xFF, 0x81}, Bytes{0x00, 0x2A, 0x9E, 0x9A, 0x01, 0x00, 0x00},
                              Bytes{0x00, 0xE0, 0x00, 0x00, 0x02, 0x62, 0x00}}) {
        Send(*r, apdu, &sw);
        EXPECT_GT(r->GetChangeCount(), c) << std::hex << int(apdu[1]);
        c = r->GetChangeCount();
    }
    ASSERT_EQ(SC_OK, r->ResetCard());
    EXPECT_GT(r->GetChangeCount(), c);
    c = r->GetChangeCount();
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_GT(r->GetChangeCount(), c);
}

TEST_F(ReaderFake, TransactionTakesBackACardResetByAnotherApplication) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    fakepcsc::Get().resetsAfterConnect = 2;  // reset at once, and again after the first reconnection
    ASSERT_EQ(SC_OK, r->Connect(0));
    fakepcsc::ResetByOther(0);
    const uint64_t c = r->GetChangeCount();
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    EXPECT_GT(r->GetChangeCount(), c);  // the card forgot its state
    EXPECT_EQ(SC_OK, r->CheckCardState());
    uint16_t sw = 0;
    Send(*r, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &sw);
    EXPECT_EQ(0x9000, sw);
    EXPECT_EQ(SC_OK, r->EndTransaction());
    // Programs that share the card reset it again right after each of our
    // reconnections: the card is taken back until the transaction holds; a
    // library that answers nothing but "reset" makes it fail, not hang.
    for (int resets : {3, 1000}) {
        fakepcsc::ResetByOther(0);
        fakepcsc::Get().resetsAfterConnect = resets;
        EXPECT_EQ(resets == 3 ? SC_OK : SC_E_CARD_WAS_RESET, r->BeginTransaction()) << resets;
        if (r->GetTransactionDepth() > 0) r->EndTransaction();
    }
    fakepcsc::Get().resetsAfterConnect = 0;
    // A reset told only at the first command after the Begin: that command, which
    // never reached the card, goes once the card is back.
    fakepcsc::Get().resetsAfterBegin = 1;
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    const uint8_t mf[] = {0x3F, 0x00};
    EXPECT_EQ(SC_OK, r->GetCard()->Transmit(0x00, 0xA4, 0x00, 0x0C, mf, 2, false, nullptr, &sw));
    r->EndTransaction();
    fakepcsc::Get().resetsAfterBegin = 1;  // told only at the End: the card taken back and let go
    ASSERT_EQ(SC_OK, r->BeginTransaction());
    r->EndTransaction();
    EXPECT_EQ(0, Locks());
    // A removed card is no reset: the transaction fails.
    fakepcsc::Remove(0);
    EXPECT_EQ(SC_E_CARD_REMOVED, r->BeginTransaction());
    EXPECT_EQ(0u, r->GetTransactionDepth());
}

// A channel whose wrapping only marks the class byte, and its owner.
class MarkingChannel : public SCSmCtx, public SCSmRestorer {
public:
    MarkingChannel() : SCSmCtx(SC_SM_MODE_ISO) {}
    std::function<SCRESULT()> restore;
    int calls = 0;
    SCRESULT RestoreSecureMessaging() override {
        ++calls;
        return restore();
    }

protected:
    SCRESULT _WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) override {
        out->assign(apdu, apdu + len);
        (*out)[0] |= 0x0C;
        return SC_OK;
    }
    SCRESULT _UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                             uint16_t* outSw) override {
        out->assign(data, data + len);
        *outSw = sw;
        return SC_OK;
    }
};

TEST_F(ReaderFake, LostChannelIsSetUpAgainByItsOwnerBeforeTheCommand) {
    enum Owner { NoOwner, Opens, Fails, Gone, LeavesItLost, DropsIt };
    struct Case { const char* what; bool established; Owner owner; SCRESULT result; int calls; };
    const Case cases[] = {
        {"opened again", true, Opens, SC_OK, 1},
        // The card's refusal of the channel is not the command's answer: held back as without a channel.
        {"owner's failure", true, Fails, scResultFromStatus(0x6987), 1},
        {"card gone meanwhile", true, Gone, SC_E_CARD_REMOVED, 1},
        {"still lost", true, LeavesItLost, SC_E_SM_NOT_ESTABLISHED, 1},
        {"context dropped", true, DropsIt, SC_E_SM_NOT_ESTABLISHED, 1},
        {"not marked established", false, Opens, SC_E_SM_NOT_ESTABLISHED, 0},
        {"nobody to set it up", true, NoOwner, SC_E_SM_NOT_ESTABLISHED, 0},
    };
    fakepcsc::Get().card = [](const Bytes&) -> Bytes { return {0x01, 0x90, 0x00}; };
    auto r = Open();
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_EQ(nullptr, r->GetCard());  // the reader needs no card object for it
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MarkingChannel ctx;
        ctx.restore = [&]() -> SCRESULT {
            if (c.owner == Opens || c.owner == DropsIt) ctx.SessionOpened();
            if (c.owner == DropsIt) r->SetSmCtx(nullptr);
            return c.owner == Fails ? SC_E_VERIFY_FAILED : c.owner == Gone ? SC_E_CARD_REMOVED : SC_OK;
        };
        ctx.SetEstablished(c.established);
        if (c.owner != NoOwner) ctx.SetRestorer(&ctx);
        ctx.MarkLost();
        r->SetSmCtx(&ctx);
        fakepcsc::ClearCounts();
        uint16_t sw = 0;
        SCRESULT rc = SC_OK;
        const Bytes answer = Send(*r, {0x00, 0xB0, 0x00, 0x00, 0x01}, &sw, &rc);
        EXPECT_EQ(c.result, rc);
        EXPECT_EQ(c.calls, ctx.calls);
        // Nothing reaches the card but through the channel.
        const std::vector<Bytes> wire = c.result == SC_OK ? std::vector<Bytes>{{0x0C, 0xB0, 0x00, 0x00, 0x01}}
                                                          : std::vector<Bytes>{};
        EXPECT_EQ(wire, fakepcsc::Get().sent);
        EXPECT_EQ(c.result == SC_OK ? Bytes{0x01} : Bytes{}, answer);
        r->SetSmCtx(nullptr);
    }
}
