// cardsim-vpcd: serves one simulated card to pcscd through vpcd (the virtual
// reader driver). vpcd listens on a TCP port; this program connects to it on
// 127.0.0.1 only and answers its messages: a 2-byte big-endian length, then
// the payload; a 1-byte payload is a control message (0 power off, 1 power on,
// 2 reset, 4 send the ATR), anything longer is a command APDU.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/cardsim/engine.h"

namespace {

// lock-free, so safe to set from the signal handler and to read from every thread
std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

void QuickAck(int fd) {
  // Linux clears quick-ack mode after each use; re-armed before every read so
  // that a response never waits for a delayed acknowledgement.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n) {
    // wake up now and then to see whether the program is asked to stop
    pollfd pf{fd, POLLIN, 0};
    int ready = poll(&pf, 1, 200);
    if (g_stop) return false;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (ready < 0) return false;
      continue;
    }
    QuickAck(fd);
    ssize_t k = read(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

bool Send(int fd, const cardsim::Bytes& b) {
  uint8_t len[2] = {uint8_t(b.size() >> 8), uint8_t(b.size())};
  cardsim::Bytes all(len, len + 2);
  all.insert(all.end(), b.begin(), b.end());
  return WriteAll(fd, all.data(), all.size());
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void Usage() {
  fprintf(stderr,
          "usage: cardsim-vpcd [-p PORT] [-v] [--once] [--t0] IMAGE [IMAGE...]\n"
          "  connects to vpcd on 127.0.0.1:PORT (default 35963) and serves the card\n"
          "  of IMAGE; further images go to PORT+1, PORT+2, ... (vpcd's next slots);\n"
          "  -v logs every APDU to standard error; --once ends when vpcd\n"
          "  closes the connection instead of connecting again; --t0 applies the T=0\n"
          "  transport rules (61xx, 6Cxx).\n");
}


struct Options {
  bool verbose = false, once = false, t0 = false;
};

std::mutex g_logLock;

// Serves one card on one vpcd port until asked to stop (or, with --once,
// until vpcd closes the connection).
void Serve(int port, cardsim::Card* card, const Options& o) {
  while (!g_stop) {
    int fd = Connect(port);
    if (fd < 0) {
      usleep(100 * 1000);
      continue;
    }
    if (o.verbose) {
      std::lock_guard<std::mutex> g(g_logLock);
      fprintf(stderr, "cardsim-vpcd: connected to 127.0.0.1:%d\n", port);
    }
    while (!g_stop) {
      uint8_t hdr[2];
      if (!ReadAll(fd, hdr, 2)) break;
      size_t n = size_t(hdr[0]) << 8 | hdr[1];
      cardsim::Bytes msg(n);
      if (n && !ReadAll(fd, msg.data(), n)) break;
      if (n == 1) {
        bool ok = true;
        switch (msg[0]) {
          case 0:  // power off
          case 1:  // power on
          case 2:  // reset
            card->Reset();
            break;
          case 4:
            ok = Send(fd, card->Atr());
            break;
          default:
            break;
        }
        if (!ok) break;
        continue;
      }
      if (n < 4) continue;
      cardsim::Bytes resp = card->Transmit(msg, o.t0);
      if (o.verbose) {
        std::lock_guard<std::mutex> g(g_logLock);
        fprintf(stderr, "> %s\n< %s\n", cardsim::Hex(msg).c_str(), cardsim::Hex(resp).c_str());
      }
      if (!Send(fd, resp)) break;
    }
    close(fd);
    if (o.once) break;
    usleep(100 * 1000);
  }
  card->Save();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 35963;
  Options o;
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-p" && i + 1 < argc) {
      port = atoi(argv[++i]);
    } else if (a == "-v") {
      o.verbose = true;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--t0") {
      o.t0 = true;
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] != '-') {
      images.push_back(a);
    } else {
      Usage();
      return 2;
    }
  }
  if (images.empty() || port <= 0 || port + int(images.size()) - 1 > 65535) {
    Usage();
    return 2;
  }
  std::vector<std::unique_ptr<cardsim::Card>> cards;
  for (const std::string& image : images) {
    std::string err;
    auto card = cardsim::Card::Load(image, &err);
    if (!card) {
      fprintf(stderr, "cardsim-vpcd: %s\n", err.c_str());
      return 1;
    }
    cards.push_back(std::move(card));
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::thread> more;
  for (size_t i = 1; i < cards.size(); ++i)
    more.emplace_back(Serve, port + int(i), cards[i].get(), std::cref(o));
  Serve(port, cards[0].get(), o);
  for (auto& t : more) t.join();
  return 0;
}
