// The vpcd bridge against the real pcsc-lite daemon: pcscd is started in the
// foreground with a private reader folder, cardsim-vpcd serves a copy of a
// simulated card, and opensc-tool (an independent client) talks to it. Both
// processes are stopped by their process ids, in a place of the test's own
// (tests/common/own_pcscd.h) where no other program's pcscd is seen. Skipped,
// saying why, when pcscd, the vpcd driver or opensc-tool is missing or no such
// place can be made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/own_pcscd.h"
#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/engine.h"

using namespace cardsim_test;

namespace {

const char* kPcscd = "/usr/sbin/pcscd";
const char* kDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
const char* kOpensc = "/usr/bin/opensc-tool";
const char* kSocket = "/run/pcscd/pcscd.comm";

bool Exists(const char* p) {
  struct stat st;
  return stat(p, &st) == 0;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// True when a daemon answers on the pcscd socket (a stale file does not count).
bool DaemonListening() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, kSocket, sizeof a.sun_path - 1);
  bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return up;
}

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* f = popen((cmd + " 2>&1").c_str(), "r");
  if (!f) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, f)) out += buf;
  pclose(f);
  return out;
}

class Vpcd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(kPcscd) || !Exists(kDriver) || !Exists(kOpensc))
      GTEST_SKIP() << "pcscd, the vpcd driver or opensc-tool is not installed";
    const std::string why = testsupport::EnterOwnPcscdPlace();
    if (!why.empty()) GTEST_SKIP() << why;
    if (DaemonListening()) GTEST_SKIP() << "a pcscd of an earlier test still runs";
    std::string conf = dir_.File("readers");
    mkdir(conf.c_str(), 0700);
    WriteFile(conf + "/vpcd",
              "FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:0x8C7B\n"
              "LIBPATH " + std::string(kDriver) + "\nCHANNELID 0x8C7B\n");
    pcscd_ = Spawn({kPcscd, "-f", "-c", conf}, dir_.File("pcscd.log"));
    for (int i = 0; i < 100 && !DaemonListening(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!DaemonListening()) GTEST_SKIP() << "pcscd did not start: " << ReadFile(dir_.File("pcscd.log"));
    image_ = CopyCard(dir_, "pkcs15-model3.card");
    vpcd_ = Spawn({CARDSIM_VPCD, "-v", image_}, dir_.File("vpcd.log"));
  }
  void TearDown() override {
    Stop(vpcd_);
    Stop(pcscd_);
  }
  // Waits until opensc-tool lists the reader with a card.
  bool WaitForCard() {
    for (int i = 0; i < 100; ++i) {
      std::string out = Shell(std::string(kOpensc) + " -l");
      if (out.find("Yes") != std::string::npos && out.find("Virtual PCD 00 00") != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  TempDir dir_;
  pid_t pcscd_ = -1, vpcd_ = -1;
  std::string image_;
};

TEST_F(Vpcd, OpenscToolTalksToTheSimulatedCardThroughPcscd) {
  ASSERT_TRUE(WaitForCard()) << Shell(std::string(kOpensc) + " -l") << ReadFile(dir_.File("vpcd.log"));
  std::string atr = Shell(std::string(kOpensc) + " -r 0 -a");
  EXPECT_NE(atr.find("3b:8f:80:01:80:59:43:41:52:44:53:49:4d:2d:33"), std::string::npos) << atr;

  std::string out = Shell(std::string(kOpensc) + " -r 0 -s 00A40000023F00");
  EXPECT_NE(out.find("SW1=0x90, SW2=0x00"), std::string::npos) << out;
  EXPECT_NE(out.find("83 02 3F 00"), std::string::npos) << out;
  out = Shell(std::string(kOpensc) + " -r 0 -s 00A40000021234");
  EXPECT_NE(out.find("SW1=0x6A, SW2=0x82"), std::string::npos) << out;

  // a change made through pcscd reaches the image file
  out = Shell(std::string(kOpensc) +
            " -r 0 -s 00A40800025015 -s 002000810831323334FFFFFFFF -s 00A4020C025701"
            " -s 00D6000004C0FFEE00");
  EXPECT_EQ(out.find("SW1=0x6"), std::string::npos) << out;
  Stop(vpcd_);
  vpcd_ = -1;
  std::string err;
  auto card = cardsim::Card::Load(image_, &err);
  ASSERT_TRUE(card) << err;
  cardsim::Bytes r = card->Transmit(Unhex("00A408000450155701"), false);
  r = card->Transmit(Unhex("00B0000004"), false);
  EXPECT_EQ(ToHex(r), "C0FFEE009000");
  // the bridge logged what it served
  EXPECT_NE(ReadFile(dir_.File("vpcd.log")).find("> 00A40000023F00"), std::string::npos);
}

}  // namespace
