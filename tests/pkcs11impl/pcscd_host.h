// A pcscd of the test's own, started in the foreground with a private reader
// folder, and the simulator's card engine served to it through vpcd
// (cardsim-vpcd): readers "Virtual PCD 00 00", "Virtual PCD 00 01", ... Both
// processes are started and stopped by their process ids, in a place of the
// test's own (tests/common/own_pcscd.h), where no other program's pcscd,
// readers or cards are seen. The test itself watches the readers through
// pcsc-lite, linked as an independent client.
#pragma once

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/own_pcscd.h"
#include "tests/pkcs11impl/module_host.h"
#include "tools/cardsim/pcscd_host.h"

namespace pcscdhost {

constexpr const char* kSocket = "/run/pcscd/pcscd.comm";

// True when a daemon answers on pcscd's socket (a stale file does not count).
inline bool DaemonListening() {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, kSocket, sizeof a.sun_path - 1);
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return up;
}

// Whether pcscd shows a card in the reader (false also when it cannot be asked).
inline bool CardPresent(const char* reader) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCARD_READERSTATE st{};
  st.szReader = reader;
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  const bool present =
      SCardGetStatusChange(ctx, 0, &st, 1) == SCARD_S_SUCCESS && (st.dwEventState & SCARD_STATE_PRESENT) != 0;
  SCardReleaseContext(ctx);
  return present;
}

// Polls a condition every 50 ms for up to `seconds`.
template <class F>
bool WaitFor(F condition, int seconds = 10) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class Pcscd {
 public:
  // dir: a folder of the test's own for the reader configuration and the logs.
  explicit Pcscd(const std::string& dir) : dir_(dir) { WriteReaderFolder(dir_ + "/readers"); }
  ~Pcscd() {
    StopCards();
    StopDaemon();
  }
  Pcscd(const Pcscd&) = delete;
  Pcscd& operator=(const Pcscd&) = delete;

  // Why the machine cannot run the test (empty when it can). Called before
  // anything else of the test's own pcscd, and before the process starts a
  // thread: it moves the process into the test's own place.
  std::string Unavailable() const {
    if (!Installed()) return "pcscd or the vpcd driver is not installed";
    if (access(CARDSIM_VPCD, X_OK) != 0) return "the vpcd bridge is not built";
    const std::string why = testsupport::EnterOwnPcscdPlace();
    if (!why.empty()) return why;
    if (DaemonListening() && daemon_ <= 0) return "a pcscd of an earlier test still runs";
    return "";
  }
  // Starts pcscd and waits for its socket.
  bool StartDaemon() {
    if (!testsupport::EnterOwnPcscdPlace().empty()) return false;
    daemon_ = Spawn({kPcscd, "-f", "-c", dir_ + "/readers"}, dir_ + "/pcscd.log");
    return daemon_ > 0 && WaitFor(DaemonListening);
  }
  void StopDaemon() {
    Stop(&daemon_);
    WaitFor([] { return !DaemonListening(); });
  }
  // Serves the card images in the readers in order and waits until pcscd shows them.
  bool StartCards(const std::vector<std::string>& images) {
    if (!testsupport::EnterOwnPcscdPlace().empty()) return false;
    std::vector<std::string> argv = {CARDSIM_VPCD};
    argv.insert(argv.end(), images.begin(), images.end());
    cards_ = Spawn(argv, dir_ + "/vpcd.log");
    const char* readers[] = {kReader0, kReader1};
    for (size_t i = 0; i < images.size() && i < 2; ++i)
      if (!WaitFor([&] { return CardPresent(readers[i]); })) return false;
    return cards_ > 0;
  }
  // Ends the bridge, which writes the images back.
  void StopCards() { Stop(&cards_); }
  std::string Log() const { return testhost::ReadFile(dir_ + "/pcscd.log") + testhost::ReadFile(dir_ + "/vpcd.log"); }

 private:
  std::string dir_;
  pid_t daemon_ = -1;
  pid_t cards_ = -1;
};

}  // namespace pcscdhost
