// The "PC/SC" back-end against the real pcsc-lite daemon, with the simulator's
// card engine behind vpcd. Each test starts pcscd (foreground, private reader
// configuration) and the vpcd bridge, and stops both by their process ids.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "smartcard/sc_card.h"
#include "smartcard/sc_card_create.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader_pcsc.h"
#include "smartcard/sc_transactguard.h"
#include "tests/common/own_pcscd.h"
#include "tests/common/testsupport.h"
#include "tools/cardsim/pcscd_host.h"

using Bytes = std::vector<uint8_t>;

namespace {

using pcscdhost::Spawn;
using pcscdhost::Stop;

constexpr const char* kReader = pcscdhost::kReader0;

std::vector<std::string>* g_trace = nullptr;
void CollectTrace(const char* line) {
    if (g_trace) g_trace->push_back(line);
}

SCRESULT MakeBaseCard(SCReader* reader, SCCard** card) {
    *card = new SCCard(reader);
    return SC_OK;
}

class PcscdReaders : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pcscdhost::Installed())
            GTEST_SKIP() << "pcscd or the vpcd driver is not installed";
        const std::string why = testsupport::EnterOwnPcscdPlace();
        if (!why.empty()) GTEST_SKIP() << why;
        char tmpl[] = "/tmp/reader-pcscd-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
        const std::string confDir = m_dir + "/readers";
        ASSERT_TRUE(pcscdhost::WriteReaderFolder(confDir));
        m_image = m_dir + "/card.card";
        ASSERT_TRUE(testsupport::CopyFile(std::string(CARDSIM_CARDS_DIR) + "/pkcs15-model3.card", m_image));
        m_pcscd = pcscdhost::StartPcscd(confDir);
        ASSERT_GT(m_pcscd, 0);
        ASSERT_EQ(SC_OK, SCReaderPcsc::LoadPcscFunctions(nullptr)) << SCReaderPcsc::GetLoadError();
        ASSERT_TRUE(SCReader::SetReaderTypes("PC/SC"));
        if (!WaitForReader()) {
            // No right to create the socket ends ours at once: the machine, not
            // the reader, is at fault.
            if (pcscdhost::Ended(&m_pcscd)) GTEST_SKIP() << "pcscd could not start here";
            FAIL() << "pcscd did not offer " << kReader;
        }
        StartCard(false);
    }

    void TearDown() override {
        SCReader::SetCardFactory(nullptr);
        Stop(&m_bridge);
        Stop(&m_pcscd);
        SCReader::UnloadBackends();
        if (!m_dir.empty()) {
            const std::string cmd = "rm -rf '" + m_dir + "'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_dir.c_str());
        }
    }

    bool WaitForReader() {
        for (int i = 0; i < 250; ++i) {
            SCReader* r = nullptr;
            if (SCReader::CreateReader(kReader, &r, SC_LIST_NORMAL) == SC_OK) {
                delete r;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        return false;
    }

    // Starts the vpcd bridge and waits until the card shows in the reader.
    void StartCard(bool t0) {
        std::vector<std::string> argv = {CARDSIM_VPCD};
        if (t0) argv.push_back("--t0");
        argv.push_back(m_image);
        m_bridge = Spawn(argv);
        ASSERT_GT(m_bridge, 0);
        ASSERT_TRUE(WaitForPresence(true)) << "the card did not appear";
    }

    void StopCard() {
        Stop(&m_bridge);
        ASSERT_TRUE(WaitForPresence(false)) << "the card did not go";
    }

    bool WaitForPresence(bool present) {
        auto r = Open();
        if (!r) return false;
        for (int i = 0; i < 250; ++i) {
            const SCRESULT st = r->CheckForChange(SC_CHECK_ACKNOWLEDGE);
            if (st >= 0 && ((st & SC_CARDSTATE_PRESENT) != 0) == present) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        return false;
    }

    std::unique_ptr<SCReader> Open() {
        SCReader* r = nullptr;
        if (SCReader::CreateReader(kReader, &r, SC_LIST_NORMAL) != SC_OK) return nullptr;
        std::unique_ptr<SCReader> p(r);
        if (p->Init(0) != SC_OK) return nullptr;
        return p;
    }

    std::string m_dir, m_image;
    pid_t m_pcscd = -1;
    pid_t m_bridge = -1;
};

Bytes Exchange(SCReader& r, const Bytes& apdu, uint16_t* sw) {
    Bytes out;
    EXPECT_EQ(SC_OK, r.TransmitAPDU(apdu, &out, sw));
    return out;
}

}  // namespace

TEST_F(PcscdReaders, ListsConnectsReconnectsAndKeepsExclusiveUse) {
    char* list = nullptr;
    ASSERT_EQ(SC_OK, SCReader::GetReaderList(&list, SC_LIST_NORMAL));
    bool found = false;
    for (const char* p = list; *p; p += std::strlen(p) + 1) found |= std::strcmp(p, kReader) == 0;
    SCReader::FreeReaderList(list);
    EXPECT_TRUE(found);

    auto r = Open();
    ASSERT_TRUE(r);
    ASSERT_EQ(SC_OK, r->Connect(0));
    EXPECT_STREQ("PC/SC", r->GetBackendName());
    uint8_t atr[40];
    uint32_t len = sizeof atr;
    ASSERT_EQ(SC_OK, r->GetATR(atr, &len));
    EXPECT_EQ(Bytes({0x3B, 0x8F, 0x80, 0x01}), Bytes(atr, atr + 4));
    EXPECT_NE(0u, r->GetMode() & (SC_MODE_PROTO_T0 | SC_MODE_PROTO_T1));
    uint16_t sw = 0;
    Exchange(*r, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &sw);
    EXPECT_EQ(0x9000, sw);

    ASSERT_EQ(SC_OK, r->Reconnect(SC_MODE_SHARE_EXCLUSIVE));
    auto other = Open();
    ASSERT_TRUE(other);
    EXPECT_EQ(SC_E_CARD_IS_USED, other->Connect(0));
    r->Disconnect(SC_DISPOSITION_LEAVE);
    EXPECT_EQ(SC_OK, other->Connect(0));
    EXPECT_EQ(SC_OK, other->CheckCardState());
}

TEST_F(PcscdReaders, GetResponseOverT0AndLeCorrection) {
    StopCard();
    StartCard(true);
    auto r = Open();
    ASSERT_TRUE(r);
    ASSERT_EQ(SC_OK, r->Connect(0));
    uint16_t sw = 0;
    std::vector<std::string> trace;
    g_trace = &trace;
    scSetLogSink(CollectTrace);
    SCReaderPcsc::SetTraceEnabled(true);
    const Bytes fcp = Exchange(*r, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00}, &sw);
    SCReaderPcsc::SetTraceEnabled(false);
    scSetLogSink(nullptr);
    g_trace = nullptr;
    EXPECT_EQ(0x9000, sw);
    ASSERT_GT(fcp.size(), 4u);
    EXPECT_EQ(0x62, fcp[0]);
    EXPECT_EQ(fcp.size(), 2u + fcp[1]);
    // Over T=0 the card announced its answer and GET RESPONSE fetched it.
    bool sawGetResponse = false;
    for (const auto& l : trace) sawGetResponse |= l.find("SCardTransmit(5 bytes: 00 C0 00 00") != std::string::npos;
    EXPECT_TRUE(sawGetResponse);
    // The last bytes of EF.DIR asked with too long an Le: 6Cxx, then the right Le.
    size_t size = 0;
    for (size_t i = 2; i + 3 < fcp.size(); i += 2 + fcp[i + 1])
        if (fcp[i] == 0x80 && fcp[i + 1] == 2) size = (fcp[i + 2] << 8) | fcp[i + 3];
    ASSERT_GT(size, 8u);
    const size_t off = size - 3;
    const Bytes tail = Exchange(*r, {0x00, 0xB0, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off), 0x20}, &sw);
    EXPECT_EQ(0x9000, sw);
    EXPECT_EQ(3u, tail.size());
}

TEST_F(PcscdReaders, TransactionsNestAndOtherHoldersWait) {
    SCReader::SetCardFactory(MakeBaseCard);
    auto r = Open();
    auto other = Open();
    ASSERT_TRUE(r && other);
    ASSERT_EQ(SC_OK, r->Connect(0));
    ASSERT_EQ(SC_OK, other->Connect(0));
    std::atomic<bool> otherGotIt{false};
    std::thread waiter;
    {
        SCTransactGuard outer(r->GetCard());
        ASSERT_TRUE(outer.IsLocked());
        { SCTransactGuard inner(r->GetCard()); }
        waiter = std::thread([&] {
            if (other->BeginTransaction() == SC_OK) {
                otherGotIt = true;
                other->EndTransaction();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(otherGotIt.load());
        uint16_t sw = 0;
        Exchange(*r, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &sw);
        EXPECT_EQ(0x9000, sw);
    }
    waiter.join();
    EXPECT_TRUE(otherGotIt.load());
}

TEST_F(PcscdReaders, RemovalAndInsertionAreSeenByPollingAndWaiting) {
    auto r = Open();
    ASSERT_TRUE(r);
    EXPECT_EQ(SC_CARDSTATE_PRESENT, r->CheckForChange(SC_CHECK_ACKNOWLEDGE) & SC_CARDSTATE_PRESENT);
    EXPECT_EQ(SC_E_TIMEOUT, r->WaitForChange(100));
    ASSERT_EQ(SC_OK, r->Connect(0));
    Stop(&m_bridge);
    const SCRESULT gone = r->WaitForChange(10000);
    ASSERT_GE(gone, 0);
    EXPECT_EQ(SC_CARDSTATE_CHANGED, gone & (SC_CARDSTATE_CHANGED | SC_CARDSTATE_PRESENT));
    EXPECT_NE(SC_OK, r->CheckCardState());
    r->Disconnect(SC_DISPOSITION_LEAVE);
    std::vector<std::string> argv = {CARDSIM_VPCD, m_image};
    m_bridge = Spawn(argv);
    ASSERT_GT(m_bridge, 0);
    SCRESULT back = SC_E_TIMEOUT;
    for (int i = 0; i < 50 && !(back >= 0 && (back & SC_CARDSTATE_PRESENT)); ++i) back = r->WaitForChange(400);
    ASSERT_GE(back, 0);
    EXPECT_EQ(SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED, back & (SC_CARDSTATE_PRESENT | SC_CARDSTATE_CHANGED));
    EXPECT_EQ(SC_OK, r->Connect(0));
}

TEST_F(PcscdReaders, SecureChannelsCarryCommandsThroughPcscdOverBothProtocols) {
    static const uint16_t kApp[] = {0x3F00, 0x5015};
    // The key set of the generated cards: key-MAC, key-ENC, key-DEK.
    static const uint8_t kMac[16] = {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57,
                                     0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F};
    static const uint8_t kEnc[16] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                                     0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F};
    static const uint8_t kDek[16] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
                                     0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F};
    auto useImage = [&](const char* name, bool t0) {
        StopCard();
        ASSERT_TRUE(testsupport::CopyFile(std::string(CARDSIM_CARDS_DIR) + "/" + name, m_image));
        StartCard(t0);
    };
    scInstallCardFactory();
    const uint8_t* pin = reinterpret_cast<const uint8_t*>("1234");
    // The GlobalPlatform channel over T=0: protected answers come by GET RESPONSE.
    useImage("pkcs15-gp-channel.card", true);
    {
        auto r = Open();
        ASSERT_TRUE(r);
        ASSERT_EQ(SC_OK, r->Connect(0));
        SCCard* card = r->GetCard();
        ASSERT_NE(nullptr, card);
        EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
        ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
        ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
        EXPECT_EQ(SC_OK, card->VerifyPin(0x81, pin, 4));
        uint8_t buf[4] = {};
        ASSERT_EQ(SC_OK, card->SelectChildEf(0x5032, nullptr));
        ASSERT_EQ(4, card->ReadBinary(0, buf, 4));
        EXPECT_EQ(0x30, buf[0]);
    }
    // Secure messaging after the key agreement (its public values chained) over T=1.
    useImage("ias-dh-channel.card", false);
    {
        SCByteBuffer group[3];
        std::ifstream f(m_image);
        std::string line;
        while (std::getline(f, line)) {
            if (line.rfind("dh-key ", 0) != 0) continue;
            for (const char* k : {"p=", "q=", "g="}) {
                const size_t at = line.find(std::string(" ") + k);
                const std::string hex = line.substr(at + 3, line.find(' ', at + 1) - at - 3);
                const Bytes v = testsupport::FromHex(hex);
                group[k[0] == 'p' ? 0 : k[0] == 'q' ? 1 : 2].Set(v.data(), v.size());
            }
        }
        auto r = Open();
        ASSERT_TRUE(r);
        ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
        SCCard* card = r->GetCard();
        ASSERT_NE(nullptr, card);
        ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
        EXPECT_EQ(SC_E_ACCESS_DENIED, card->VerifyPin(0x81, pin, 4));
        ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
        EXPECT_EQ(SC_OK, card->VerifyPin(0x81, pin, 4));
    }
}
