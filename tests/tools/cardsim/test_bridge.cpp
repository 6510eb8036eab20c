// The vpcd bridge's wire protocol, against a stand-in for vpcd listening on a
// free port of 127.0.0.1 (no pcscd needed): length-prefixed messages, the
// control bytes (ATR, power, reset), APDUs, short payloads ignored, and the
// card image written back when the bridge ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/engine.h"

using cardsim::Bytes;
using namespace cardsim_test;

namespace {

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener_, 1), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
    image_ = CopyCard(dir_, "pkcs15-model3.card");
  }
  void TearDown() override {
    if (conn_ >= 0) close(conn_);
    if (listener_ >= 0) close(listener_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  void StartBridge(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {CARDSIM_VPCD, "-p", std::to_string(port_)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(image_);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      std::vector<char*> args;
      for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    pollfd p{listener_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the bridge did not connect";
    conn_ = accept(listener_, nullptr, nullptr);
    ASSERT_GE(conn_, 0);
  }
  void Send(const Bytes& payload) {
    Bytes m = {uint8_t(payload.size() >> 8), uint8_t(payload.size())};
    m.insert(m.end(), payload.begin(), payload.end());
    ASSERT_EQ(write(conn_, m.data(), m.size()), ssize_t(m.size()));
  }
  bool ReadN(uint8_t* p, size_t n) {
    while (n) {
      pollfd f{conn_, POLLIN, 0};
      if (poll(&f, 1, 10000) != 1) return false;
      ssize_t k = read(conn_, p, n);
      if (k <= 0) return false;
      p += k;
      n -= size_t(k);
    }
    return true;
  }
  Bytes Receive() {
    uint8_t h[2];
    if (!ReadN(h, 2)) return {};
    Bytes b(size_t(h[0]) << 8 | h[1]);
    if (!b.empty() && !ReadN(b.data(), b.size())) return {};
    return b;
  }
  std::string Apdu(const std::string& hex) {
    Send(Unhex(hex));
    return ToHex(Receive());
  }

  TempDir dir_;
  std::string image_;
  int listener_ = -1, conn_ = -1;
  int port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(Bridge, AnswersControlMessagesAndApdus) {
  StartBridge({"--once"});
  Send({0x04});  // the ATR
  Bytes atr = Receive();
  std::string err;
  auto card = cardsim::Card::Load(image_, &err);
  ASSERT_TRUE(card) << err;
  EXPECT_EQ(atr, card->Atr());
  Send({0x01});  // power on: no answer
  std::string r = Apdu("00A40000023F00");
  ASSERT_GE(r.size(), 4u);
  EXPECT_EQ(r.substr(r.size() - 4), "9000");
  EXPECT_EQ(r.substr(0, 2), "62");
  EXPECT_EQ(Apdu("00A4080C025015"), "9000");
  EXPECT_EQ(Apdu("0020008108 31323334FFFFFFFF"), "9000");
  EXPECT_EQ(Apdu("00200081"), "9000");
  Send({0x02});  // reset: the verification is gone
  EXPECT_EQ(Apdu("00A4080C025015"), "9000");
  EXPECT_EQ(Apdu("00200081"), "63C3");
  Send({0x00, 0xA4});  // too short for an APDU: ignored, no answer
  Send({0x07});        // unknown control byte: ignored
  EXPECT_EQ(Apdu("0020008108 31323334FFFFFFFF"), "9000");
  EXPECT_EQ(Apdu("00A4020C025701"), "9000");
  EXPECT_EQ(Apdu("00D6000002 BEEF"), "9000");
  // vpcd goes away: with --once the bridge ends and the card is on disk
  close(conn_);
  conn_ = -1;
  int status = 0;
  ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
  pid_ = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  card = cardsim::Card::Load(image_, &err);
  ASSERT_TRUE(card) << err;
  card->Transmit(Unhex("00A408000450155701"), false);
  EXPECT_EQ(ToHex(card->Transmit(Unhex("00B0000002"), false)), "BEEF9000");
}

TEST_F(Bridge, T0RulesOnRequestAndReconnection) {
  StartBridge({"--t0"});
  std::string r = Apdu("00A40000023F00");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r.substr(0, 2), "61");
  EXPECT_EQ(Apdu("00B0000001"), "6986");
  // without --once the bridge comes back after vpcd closes the connection
  close(conn_);
  pollfd p{listener_, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  conn_ = accept(listener_, nullptr, nullptr);
  ASSERT_GE(conn_, 0);
  EXPECT_EQ(Apdu("00A4000C023F00"), "9000");
}

// Listens on 127.0.0.1:port; -1 when the port is taken.
int ListenOn(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

TEST(BridgeSlots, FurtherImagesGoToTheNextPorts) {
  TempDir dir;
  std::string first = CopyCard(dir, "pkcs15-model3.card");
  std::string second = CopyCard(dir, "blank-model4.card");
  int l0 = -1, l1 = -1, port = 0;
  for (int p = 41000; p < 41400 && l1 < 0; p += 2) {
    l0 = ListenOn(p);
    if (l0 < 0) continue;
    l1 = ListenOn(p + 1);
    if (l1 < 0) close(l0);
    else port = p;
  }
  ASSERT_GE(l1, 0) << "no two free ports in a row";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string ps = std::to_string(port);
    execl(CARDSIM_VPCD, CARDSIM_VPCD, "-p", ps.c_str(), "--once", first.c_str(), second.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::vector<Bytes> atrs;
  for (int l : {l0, l1}) {
    pollfd p{l, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    int c = accept(l, nullptr, nullptr);
    ASSERT_GE(c, 0);
    uint8_t msg[3] = {0, 1, 4};
    ASSERT_EQ(write(c, msg, 3), 3);
    uint8_t h[2];
    ASSERT_EQ(read(c, h, 2), 2);
    Bytes atr(h[1]);
    size_t got = 0;
    while (got < atr.size()) {
      ssize_t k = read(c, atr.data() + got, atr.size() - got);
      ASSERT_GT(k, 0);
      got += size_t(k);
    }
    atrs.push_back(atr);
    close(c);
    close(l);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(atrs.size(), 2u);
  EXPECT_EQ(std::string(atrs[0].begin() + 6, atrs[0].begin() + 15), "CARDSIM-3");
  EXPECT_EQ(std::string(atrs[1].begin() + 6, atrs[1].begin() + 15), "CARDSIM-4");
}

TEST(BridgeUsage, RefusesBadArguments) {
  std::string vpcd = CARDSIM_VPCD;
  EXPECT_NE(system((vpcd + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_NE(system((vpcd + " -p 0 x.card >/dev/null 2>&1").c_str()), 0);
  EXPECT_NE(system((vpcd + " /nonexistent/card >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(system((vpcd + " --help >/dev/null 2>&1").c_str()), 0);
}

}  // namespace
