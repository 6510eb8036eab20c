// Test host for the reader bridge: a temporary HOME whose per-user configuration
// enables the card-simulator back-end, copies of the generated card images, a
// simulator configuration naming readers and cards, and the simulator's control
// functions (the same library instance the module loads, opened by the same path).
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/pkcs11impl/module_host.h"

namespace bridgehost {

inline std::string SimLibrary() { return std::string(MIRTAL_BUILD_DIR) + "/libcardsim.so"; }
inline std::string CardsDir() { return std::string(MIRTAL_BUILD_DIR) + "/cards"; }

// Keeps the simulator loaded for the rest of the process: its state lives on the
// heap behind its globals, so unloading it with the module at C_Finalize would
// show that state as leaked under LeakSanitizer.
inline void* KeepSimulatorLoaded() {
  static void* const handle = dlopen(SimLibrary().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  return handle;
}

// The control interface of libcardsim.so.
struct CardSim {
  void* handle = nullptr;
  int (*Insert)(const char*, const char*) = nullptr;
  int (*Remove)(const char*) = nullptr;
  int (*Reset)(const char*) = nullptr;
  int (*SetMute)(const char*, int) = nullptr;
  int (*ReaderCount)() = nullptr;
  int (*AddReader)(const char*) = nullptr;
  int (*LoadConfig)(const char*) = nullptr;
  size_t (*GetApduLog)(const char*, char*, size_t) = nullptr;
  int (*ClearLog)(const char*) = nullptr;
  // The next `count` commands with INS ins (0x100: any) get sw and are not run.
  int (*InjectSw)(const char*, unsigned, unsigned, int) = nullptr;
  // The next `count` answers with data to INS ins come back with their last octet inverted.
  int (*CorruptData)(const char*, unsigned, int) = nullptr;
  // The same for the answers to commands beginning with a prefix (hex), once `skip` of them came back whole.
  int (*CorruptDataOn)(const char*, const char*, int, int) = nullptr;
  // The same once `skip` commands with INS ins have run normally.
  int (*InjectSwAfter)(const char*, unsigned, unsigned, int, int) = nullptr;
  // The same for the commands whose octets begin with a prefix (hex).
  int (*InjectSwOn)(const char*, const char*, unsigned, int, int) = nullptr;
  int (*ResetByOther)(const char*) = nullptr;
  int (*HoldExclusive)(const char*, int) = nullptr;
  // Right after the next command with INS ins (0x100: any) has been answered the
  // card is pulled (1), reset by another application (2), goes mute (3) or is
  // taken exclusively by another application (4).
  int (*AfterCommand)(const char*, unsigned, int) = nullptr;
  size_t (*StateQueries)(const char*) = nullptr;  // since the log was cleared
  // The next command with INS ins (0x100: any) waits before it runs until Resume;
  // WaitPaused gives 0 once one waits (-3 after timeoutMs without).
  int (*Pause)(const char*, unsigned) = nullptr;
  int (*WaitPaused)(const char*, int) = nullptr;
  int (*Resume)(const char*) = nullptr;
  size_t (*GetPinStates)(const char*, char*, size_t) = nullptr;
  CardSim() {
    handle = dlopen(SimLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    Insert = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(handle, "CardSimInsert"));
    Remove = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimRemove"));
    Reset = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimReset"));
    SetMute = reinterpret_cast<int (*)(const char*, int)>(dlsym(handle, "CardSimSetMute"));
    ReaderCount = reinterpret_cast<int (*)()>(dlsym(handle, "CardSimReaderCount"));
    AddReader = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimAddReader"));
    LoadConfig = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimLoadConfig"));
    GetApduLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(handle, "CardSimGetApduLog"));
    ClearLog = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimClearLog"));
    InjectSw = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int)>(dlsym(handle, "CardSimInjectSw"));
    CorruptData = reinterpret_cast<int (*)(const char*, unsigned, int)>(dlsym(handle, "CardSimCorruptData"));
    CorruptDataOn = reinterpret_cast<int (*)(const char*, const char*, int, int)>(dlsym(handle, "CardSimCorruptDataOn"));
    InjectSwAfter = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int, int)>(
        dlsym(handle, "CardSimInjectSwAfter"));
    InjectSwOn = reinterpret_cast<int (*)(const char*, const char*, unsigned, int, int)>(dlsym(handle, "CardSimInjectSwOn"));
    ResetByOther = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimResetByOther"));
    HoldExclusive = reinterpret_cast<int (*)(const char*, int)>(dlsym(handle, "CardSimHoldExclusive"));
    AfterCommand = reinterpret_cast<int (*)(const char*, unsigned, int)>(dlsym(handle, "CardSimAfterCommand"));
    StateQueries = reinterpret_cast<size_t (*)(const char*)>(dlsym(handle, "CardSimGetStateQueryCount"));
    Pause = reinterpret_cast<int (*)(const char*, unsigned)>(dlsym(handle, "CardSimPauseCommand"));
    WaitPaused = reinterpret_cast<int (*)(const char*, int)>(dlsym(handle, "CardSimWaitPaused"));
    Resume = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimResumeCommand"));
    GetPinStates = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(handle, "CardSimGetPinStates"));
  }
  // The live card's PINs that are verified now, "DF reference" each ("3F00/5015 81").
  std::vector<std::string> VerifiedPins(const char* reader) const {
    std::string text(GetPinStates(reader, nullptr, 0), '\0');
    GetPinStates(reader, &text[0], text.size());
    std::vector<std::string> verified;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      if (text.compare(end - 2, 2, " 1") == 0) verified.push_back(text.substr(at, end - 2 - at));
    return verified;
  }
  // The reader's APDU log (lines "> command", "< answer").
  std::string ApduLog(const char* reader) const {
    const size_t n = GetApduLog(reader, nullptr, 0);  // the length with its NUL
    if (n == 0) return "";
    std::string text(n, '\0');
    GetApduLog(reader, &text[0], text.size());
    text.resize(n - 1);
    return text;
  }
  ~CardSim() {
    if (handle) dlclose(handle);
  }
  CardSim(const CardSim&) = delete;
  CardSim& operator=(const CardSim&) = delete;
  bool ok() const {
    return handle && Insert && Remove && Reset && SetMute && ReaderCount && AddReader && LoadConfig && GetApduLog &&
           ClearLog && InjectSw && CorruptData && CorruptDataOn && InjectSwAfter && InjectSwOn && ResetByOther && HoldExclusive && AfterCommand &&
           StateQueries && Pause && WaitPaused && Resume && GetPinStates;
  }
};

using Readers = std::vector<std::pair<std::string, std::string>>;

// A HOME with copies of the card images and a simulator configuration. The
// simulator, loaded for the whole process, reads it at its next call, as in a
// process of its own: the readers of an earlier scenario do not stay.
struct SimEnv : testhost::HostEnv {
  std::string cards;
  explicit SimEnv(const Readers& readers) {
    void* const sim = KeepSimulatorLoaded();
    auto forget = sim ? reinterpret_cast<int (*)()>(dlsym(sim, "CardSimForgetConfig")) : nullptr;
    if (forget == nullptr || forget() != 0) ADD_FAILURE() << "the simulator cannot forget its readers";
    cards = home + "/cards";
    testhost::MakeDirs(cards);
    const std::string cmd = "cp '" + CardsDir() + "'/*.card '" + cards + "/'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot copy the card images";
    std::string conf;
    for (const auto& r : readers) {
      conf += "reader " + r.first + "\n";
      if (!r.second.empty()) conf += "card " + r.second + "\n";
    }
    testhost::WriteFile(cards + "/sim.conf", conf);
    setenv("CARDSIM_CONFIG", (cards + "/sim.conf").c_str(), 1);
  }
  std::string Card(const std::string& name) const { return cards + "/" + name; }
  // The per-user configuration with the simulator back-end and extra lines.
  void Config(const std::string& extra, const std::string& dravok = "") const {
    const std::string lib = dravok.empty() ? SimLibrary() + ";Sim" : dravok;
    UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + lib + "\"\nEnableLogging = 1\n" +
               "LogFileName = " + Path("trace.log") + "\n" + extra);
  }
  std::string Trace() const { return testhost::ReadFile(Path("trace.log")); }
};

// The GlobalPlatform system key of the generated cards as the agent gives it:
// ENC || MAC || DEK (tools/cardsim/README.md).
inline std::vector<uint8_t> CardSystemKey() {
  std::vector<uint8_t> k;
  for (uint8_t base : {0x40, 0x50, 0x60})
    for (uint8_t i = 0; i < 16; ++i) k.push_back(static_cast<uint8_t>(base + i));
  return k;
}

// Another program on the same simulated reader, as two programs share a card
// through pcscd: a PC/SC context and a shared connection of its own to the live
// card, whose security state it shares with the module.
class OtherProgram {
 public:
  explicit OtherProgram(const char* reader) {
    void* const sim = KeepSimulatorLoaded();
    establish_ = reinterpret_cast<decltype(establish_)>(dlsym(sim, "SimSCardEstablishContext"));
    connect_ = reinterpret_cast<decltype(connect_)>(dlsym(sim, "SimSCardConnect"));
    transmit_ = reinterpret_cast<decltype(transmit_)>(dlsym(sim, "SimSCardTransmit"));
    ok_ = establish_ && connect_ && transmit_ && establish_(2 /* system */, nullptr, nullptr, &context_) == 0 &&
          connect_(context_, reader, 2 /* shared */, 3 /* T=0, T=1 */, &card_, &protocol_) == 0;
  }
  ~OtherProgram() {
    // Disconnecting also ends a command still waiting for a held reader.
    if (ok_) reinterpret_cast<long (*)(long, unsigned long)>(dlsym(KeepSimulatorLoaded(), "SimSCardDisconnect"))(card_, 0);
    if (waiting_.joinable()) waiting_.join();
    if (context_) reinterpret_cast<long (*)(long)>(dlsym(KeepSimulatorLoaded(), "SimSCardReleaseContext"))(context_);
  }
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;
  bool ok() const { return ok_; }

  // The answer (data, then the status word, in hex) to a command given in hex; "" when the exchange fails.
  // Another program is answered at once: a command not answered within a second finds the reader held,
  // a failure of the test ("HELD"); it is answered when the holder lets go (C_Finalize) or this program ends.
  std::string Send(const std::string& hex) {
    if (!ok_) return "";
    if (waiting_.joinable()) {
      const std::unique_lock<std::mutex> g(exchange_->mu);
      if (!exchange_->done) return "HELD";
      waiting_.join();
    }
    exchange_ = std::make_shared<Exchange>();
    exchange_->apdu = testsupport::FromHex(hex);
    waiting_ = std::thread([x = exchange_, transmit = transmit_, card = card_, protocol = protocol_] {
      struct { unsigned long protocol, length; } pci = {protocol, 16};
      unsigned char resp[300];
      unsigned long len = sizeof resp;
      const bool ok = transmit(card, &pci, x->apdu.data(), x->apdu.size(), nullptr, resp, &len) == 0;
      const std::lock_guard<std::mutex> g(x->mu);
      if (ok) x->answer = testsupport::ToHex(resp, len, testsupport::HexCase::Upper);
      x->done = true;
      x->cv.notify_all();
    });
    std::unique_lock<std::mutex> g(exchange_->mu);
    if (!exchange_->cv.wait_for(g, std::chrono::seconds(1), [&] { return exchange_->done; })) {
      ADD_FAILURE() << "the reader is held: another program's " << hex << " is not answered within 1 s";
      return "HELD";
    }
    g.unlock();
    waiting_.join();
    return exchange_->answer;
  }
  // The answer to a VERIFY without data of reference ref, from the DF of a path below the master file ("5015").
  std::string PinState(unsigned ref, const std::string& path = "") {
    const std::string selected = path.empty() ? "9000" : Send("00A4080C" + Hex2(path.size() / 2) + path);
    return selected == "9000" ? Send("002000" + Hex2(ref)) : "SELECT " + selected;
  }
  static std::string Hex2(size_t v) { return testsupport::ToHex(std::string(1, static_cast<char>(v)), testsupport::HexCase::Upper); }

 private:
  long (*establish_)(unsigned long, const void*, const void*, long*) = nullptr;
  long (*connect_)(long, const char*, unsigned long, unsigned long, long*, unsigned long*) = nullptr;
  long (*transmit_)(long, const void*, const unsigned char*, unsigned long, void*, unsigned char*, unsigned long*) = nullptr;
  long context_ = 0, card_ = 0;
  unsigned long protocol_ = 0;
  bool ok_ = false;
  struct Exchange {
    std::mutex mu;
    std::condition_variable cv;
    testsupport::Bytes apdu;
    std::string answer;
    bool done = false;
  };
  std::shared_ptr<Exchange> exchange_;
  std::thread waiting_;
};

// What the card shows another program between calls: each PIN verified there that none of `held` names
// ("3F00/5015 81": what a login of the test holds), and "the reader is held" where another program's command
// is not answered at once. Empty where nothing is left.
inline std::string LeftToAnotherProgram(const CardSim& sim, const char* reader, const std::vector<std::string>& held = {}) {
  std::string out;
  OtherProgram other(reader);
  // A card pulled, mute or held by another program answers no one: nothing is read. The simulator
  // brings a pulled card back from its image, nothing verified; a mute card answers again with its
  // state as it was, PINs verified included, until a reset: look again once it answers.
  if (!other.ok()) return out;
  for (const std::string& pin : sim.VerifiedPins(reader))
    if (std::find(held.begin(), held.end(), pin) == held.end()) out += "PIN " + pin + " verified; ";
  // A VERIFY without data of a reference no card here has: it changes nothing.
  if (other.Send("0020008E") == "HELD") out += "the reader is held; ";
  return out;
}

inline std::string Field(const CK_UTF8CHAR* f, size_t n) { return std::string(reinterpret_cast<const char*>(f), n); }

inline std::string Padded(const std::string& s, size_t n) { return s.size() >= n ? s.substr(0, n) : s + std::string(n - s.size(), ' '); }

}  // namespace bridgehost
