// The APDUs that the card drivers send to a simulated card, sent again by
// opensc-tool through pcscd and vpcd to a fresh copy of the same card: the card
// answers both the same way, so the drivers speak plain ISO 7816 that another
// PC/SC client can replay.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "card_fixture.h"
#include "smartcard/sc_reader.h"
#include "tests/common/own_pcscd.h"
#include "tests/common/testsupport.h"
#include "tools/cardsim/pcscd_host.h"

namespace {

using pcscdhost::Spawn;
using pcscdhost::Stop;

constexpr const char* kReader = pcscdhost::kReader0;
constexpr const char* kOpenscTool = "/usr/bin/opensc-tool";

std::string RunCommand(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// The answers in opensc-tool's output: data bytes and status word, uppercase hex
// as the simulator logs them.
std::vector<std::string> Answers(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line, data, sw;
    bool inData = false;
    auto flush = [&] {
        if (!sw.empty()) out.push_back(data + sw);
        data.clear();
        sw.clear();
        inData = false;
    };
    while (std::getline(in, line)) {
        unsigned sw1 = 0, sw2 = 0;
        if (std::sscanf(line.c_str(), "Received (SW1=0x%x, SW2=0x%x)", &sw1, &sw2) == 2) {
            flush();
            char b[5];
            std::snprintf(b, sizeof b, "%02X%02X", sw1, sw2);
            sw = b;
            inData = line.find("):") != std::string::npos;
            continue;
        }
        if (line.rfind("Sending:", 0) == 0) {
            flush();
            continue;
        }
        if (inData) {
            // 16 bytes per line as "XX " groups, then their characters.
            for (size_t i = 0; i + 2 <= line.size() && i < 48; i += 3) {
                if (!std::isxdigit(static_cast<unsigned char>(line[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(line[i + 1])) || (i + 2 < line.size() && line[i + 2] != ' '))
                    break;
                data += line.substr(i, 2);
            }
        }
    }
    flush();
    return out;
}

}  // namespace

TEST_F(CardSim, OpenscToolReplaysTheDriversApdusWithTheSameAnswers) {
    if (!pcscdhost::Installed() || access(kOpenscTool, X_OK) != 0)
        GTEST_SKIP() << "pcscd, the vpcd driver or opensc-tool is not installed";
    const std::string why = testsupport::EnterOwnPcscdPlace();
    if (!why.empty()) GTEST_SKIP() << why;
    // A pristine copy for the replay, taken before the drivers change the card.
    const std::string replayImage = m_dir + "/replay.card";
    ASSERT_TRUE(testsupport::CopyFile(std::string(CARDSIM_CARDS_DIR) + "/pkcs15-model3.card", replayImage));
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->SelectMf(&h));
    SCFileHeader::SafeRelease(h);
    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    ASSERT_EQ(SC_OK, card->SelectPath(odf, 3, &h));
    SCFileHeader::SafeRelease(h);
    uint8_t buf[64];
    ASSERT_EQ(64, card->ReadBinary(0, buf, 64));
    const uint8_t aid[] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
    ASSERT_EQ(SC_OK, card->SelectByAid(aid, sizeof aid, 0, nullptr));
    EXPECT_EQ(3, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_VERIFY_FAILED, card->VerifyPin(0x81, reinterpret_cast<const uint8_t*>("9999"), 4));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x85, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectChildEf(0x4499, nullptr));
    std::vector<std::string> commands, answers;
    {
        std::istringstream in(Log());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("> ", 0) == 0) commands.push_back(line.substr(2));
            if (line.rfind("< ", 0) == 0) answers.push_back(line.substr(2));
        }
    }
    ASSERT_EQ(commands.size(), answers.size());
    ASSERT_GE(commands.size(), 8u);

    // pcscd with a private reader folder and the card behind vpcd.
    const std::string confDir = m_dir + "/readers";
    ASSERT_TRUE(pcscdhost::WriteReaderFolder(confDir));
    pid_t pcscd = pcscdhost::StartPcscd(confDir);
    ASSERT_GT(pcscd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (pcscdhost::Ended(&pcscd)) GTEST_SKIP() << "pcscd could not start here";
    pid_t bridge = Spawn({CARDSIM_VPCD, replayImage});
    bool present = false;
    for (int i = 0; i < 100 && !present; ++i) {
        present = RunCommand(std::string(kOpenscTool) + " -r '" + kReader + "' -a 2>/dev/null").find("3b:8f") != std::string::npos;
        if (!present) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string cmd = std::string(kOpenscTool) + " -r '" + kReader + "'";
    for (const std::string& c : commands) cmd += " -s " + c;
    const std::string output = present ? RunCommand(cmd + " 2>&1") : std::string();
    Stop(&bridge);
    Stop(&pcscd);
    ASSERT_TRUE(present) << "the card did not appear in " << kReader;
    EXPECT_EQ(answers, Answers(output)) << output;
}
