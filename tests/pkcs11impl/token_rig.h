// One simulated reader holding a card image and the module driven over it, as
// the tests of token writes use them: the card put in anew, a user session, a
// restart as a new process would see it, a second copy of the module (another
// application on the same card), and a fault at a chosen card command.
#pragma once

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/p11test_template.h"
#include "tools/cardsim/cardsim.h"

namespace tokenrig {

using bridgehost::CardSim;
using testhost::Module;

const char* const kRigReader = "CardSim Reader 0";
const char* const kRigUserPin = "1234";
const char* const kRigSoPin = "87654321";

// What happens to the card right after a command, or to the command itself.
enum class Fault { kPull, kMute, kReset, kErrorAnswer };
const Fault kFaults[] = {Fault::kPull, Fault::kMute, Fault::kReset, Fault::kErrorAnswer};
inline const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kPull: return "pulled after";
    case Fault::kMute: return "mute after";
    case Fault::kReset: return "reset by another application after";
    default: return "6581 answered to";
  }
}
// What the simulator's log shows where the fault fired.
inline const char* FaultMark(Fault f) {
  switch (f) {
    case Fault::kPull: return "\n# removed";
    case Fault::kMute: return "\n# mute";
    case Fault::kReset: return "\n# reset by another application";
    default: return "\n< 6581";
  }
}

// The fault at the command after the first `skip` ones; false when the simulator refuses.
inline bool ArmFault(const CardSim& sim, Fault fault, int skip) {
  if (fault == Fault::kErrorAnswer) return sim.InjectSwAfter(kRigReader, 0x100, 0x6581, skip, 1) == 0;
  const auto afterCommands =
      reinterpret_cast<int (*)(const char*, unsigned, int, int)>(dlsym(sim.handle, "CardSimAfterCommands"));
  const int event = fault == Fault::kPull   ? CARDSIM_AFTER_REMOVE
                    : fault == Fault::kMute ? CARDSIM_AFTER_MUTE
                                            : CARDSIM_AFTER_RESET_BY_OTHER;
  return afterCommands != nullptr && afterCommands(kRigReader, 0x100, event, skip) == 0;
}

// The fault undone: the same card back in the reader, or answering again (where
// it fired); nothing left armed.
inline bool UndoFault(const CardSim& sim, Fault fault, const std::string& cardPath, bool fired = true) {
  bool ok = true;
  if (fired && fault == Fault::kPull) ok = sim.Insert(kRigReader, cardPath.c_str()) == 0;
  if (fired && fault == Fault::kMute) ok = sim.SetMute(kRigReader, 0) == 0;
  return sim.AfterCommand(kRigReader, 0x100, CARDSIM_AFTER_NOTHING) == 0 &&
         sim.InjectSw(kRigReader, 0x100, 0x9000, 0) == 0 && ok;
}

// The commands of a log ("00D6000000FF..."), in order.
inline std::vector<std::string> Commands(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 2, "> ") == 0) out.push_back(line.substr(2));
  return out;
}

// The commands of a log that carried a PIN, PUK or key in the clear: VERIFY, CHANGE REFERENCE DATA,
// RESET RETRY COUNTER or PUT DATA with data, or a PIN's creation, in class 00 (or its chaining, 10).
inline std::vector<std::string> SecretsInClear(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& c : Commands(log)) {
    if (c.size() <= 10 || (c.compare(0, 2, "00") != 0 && c.compare(0, 2, "10") != 0)) continue;
    const std::string ins = c.substr(2, 2);
    if (ins == "20" || ins == "24" || ins == "2C" || ins == "DA" || ins == "DB" ||
        (ins == "E0" && c.find("820121", 10) != std::string::npos))
      out.push_back(c);
  }
  return out;
}

inline std::string CommandName(const std::string& apdu) {
  static const std::map<std::string, const char*> kNames = {
      {"A4", "SELECT"},      {"B0", "READ BINARY"}, {"D6", "UPDATE BINARY"}, {"E0", "CREATE FILE"},
      {"E4", "DELETE FILE"}, {"0E", "ERASE BINARY"}, {"20", "VERIFY"}};
  const auto name = kNames.find(apdu.substr(2, 2));
  return testhost::Fmt("%s %s", name == kNames.end() ? "command" : name->second, apdu.substr(0, 8).c_str());
}

// An RSA 1024 key pair of token objects, signing, with this label and CKA_ID.
inline CK_RV GeneratePair(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, const std::string& label,
                          const std::vector<CK_BYTE>& id, CK_OBJECT_HANDLE* hpub = nullptr,
                          CK_OBJECT_HANDLE* hprv = nullptr) {
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  TestTemplate pub, prv;
  pub.Bool(CKA_TOKEN, true).Ulong(CKA_MODULUS_BITS, 1024).Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3));
  pub.Bytes(CKA_LABEL, label).Bytes(CKA_ID, std::string(id.begin(), id.end())).Bool(CKA_VERIFY, true);
  prv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true).Bytes(CKA_LABEL, label);
  prv.Bytes(CKA_ID, std::string(id.begin(), id.end()));
  CK_OBJECT_HANDLE a = 0, b = 0;
  return f->C_GenerateKeyPair(s, &gen, TT_ARGS(pub), TT_ARGS(prv), hpub ? hpub : &a, hprv ? hprv : &b);
}

// One simulated reader and the module; each case starts from an image of its own.
struct Rig {
  explicit Rig(const char* image) : env(bridgehost::Readers{{kRigReader, image}}), card(image) {}
  bridgehost::SimEnv env;
  std::string card;
  // Written before the module is loaded, which reads it then; no trace, it would
  // slow every case (but where MIRTAL_RIG_TRACE names a file, for a replay), and no
  // reader threads: each restart would wait for them.
  bool configured = (env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" +
                                    bridgehost::SimLibrary() + ";Sim\"\n" +
                                    (std::getenv("MIRTAL_RIG_TRACE") ? std::string("PKCS15Flags = 0x37E00\nEnableLogging = 1"
                                                                                   "\nLogFileName = ") +
                                                                           std::getenv("MIRTAL_RIG_TRACE") + "\n"
                                                                     : "PKCS15Flags = 0x200\n")),
                     true);
  CardSim sim;
  Module m;
  bool started = false;
  // Another application: a copy of the module file, loaded beside the first.
  std::unique_ptr<Module> other;

  ~Rig() {
    Stop();
    if (other) (void)(*other)->C_Finalize(nullptr);
  }
  std::string CardPath() const { return env.Card(card); }
  std::string Image() const { return testhost::ReadFile(CardPath()); }
  // The image in the reader as a new card (the module started at the first), a
  // user session; 0 when a step fails (without login, 0 always).
  CK_SESSION_HANDLE Start(const std::string& image, bool login = true) {
    if (!started) {
      if (!sim.ok() || sim.LoadConfig(nullptr) != 0 || !m.ok() || m->C_Initialize(nullptr) != CKR_OK) return 0;
      started = true;
    }
    (void)m->C_CloseAllSessions(0);
    // Taken out first: a card that leaves the reader is written back to its image file.
    (void)sim.Remove(kRigReader);
    testhost::WriteFile(CardPath(), image);
    if (sim.Insert(kRigReader, CardPath().c_str()) != 0) return 0;
    return login ? User() : 0;
  }
  // The image in the reader as a blank card that becomes a token: C_InitToken, then
  // the SO sets the user PIN; a user session, or 0 when a step fails.
  CK_SESSION_HANDLE MakeToken(const std::string& image) {
    (void)Start(image, false);
    std::string label(32, ' ');
    label.replace(0, 3, "Rig");
    CK_UTF8CHAR_PTR so = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kRigSoPin));
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = started ? m->C_InitToken(0, so, 8, reinterpret_cast<CK_UTF8CHAR_PTR>(&label[0])) : CKR_GENERAL_ERROR;
    if (rv == CKR_OK) rv = m->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv == CKR_OK) rv = m->C_Login(s, CKU_SO, so, 8);
    if (rv == CKR_OK) rv = m->C_InitPIN(s, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kRigUserPin)), 4);
    (void)m->C_CloseAllSessions(0);
    return rv == CKR_OK ? User() : 0;
  }
  // A read-write session of a copy of the module with the user logged in.
  static CK_SESSION_HANDLE User(CK_FUNCTION_LIST* f) {
    CK_SESSION_HANDLE s = 0;
    if (f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK) return 0;
    const CK_RV rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kRigUserPin)), 4);
    return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN ? s : 0;
  }
  CK_SESSION_HANDLE User() { return User(m.list()); }
  // A new module process, as far as the card can tell: the module finalised and
  // initialised again, the card taken out (written back) and read from its image.
  CK_SESSION_HANDLE Restart() {
    Stop();
    (void)sim.Remove(kRigReader);
    if (sim.Insert(kRigReader, CardPath().c_str()) != 0 || m->C_Initialize(nullptr) != CKR_OK) return 0;
    started = true;
    return User();
  }
  void Stop() {
    if (started) (void)m->C_Finalize(nullptr);
    started = false;
  }
  // The other copy, loaded the first time, initialised; false when it cannot be.
  bool StartOther() {
    const std::string path = env.Path("other.so");
    if (!other) {
      if (!testsupport::CopyFile(testhost::ModulePath(), path)) return false;
      other = std::make_unique<Module>(path);
    }
    return other->ok() && (*other)->C_Initialize(nullptr) == CKR_OK;
  }
};

}  // namespace tokenrig
