// Soak under card faults: on two simulated cards, host threads create, change,
// read, sign with and delete objects while one thread per card changes the
// user PIN, and another thread pulls cards, resets them as another application
// would, mutes them and injects error answers, at random from a fixed seed.
// During the run no signature may differ from the token's own, a PIN the host
// knows is never refused as wrong, and what a read returns is what was written.
// Afterwards every token reads, logs in and signs; on each card image every
// directory holds whole records only and every path in every directory record
// names a file that exists; files that no record names are counted and
// printed; there may be no more of them than pulls and mutes (with resets and
// error answers while those still leave files).
//
// How long: MIRTAL_SOAK_SECONDS (`make bench` runs ten minutes), else 60 s, or
// 30 s under a sanitizer. The seed: MIRTAL_SOAK_SEED, else 32.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tools/cardsim/cardsim.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;
using namespace cardimage;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSeconds = 30;
#else
constexpr int kDefaultSeconds = 60;
#endif
constexpr unsigned kDefaultSeed = 32;
constexpr int kWorkersPerCard = 3;
constexpr size_t kObjectsPerWorker = 3;  // the data-object directory has room for all of them

struct Card {
  const char* reader;
  const char* image;
  CK_SLOT_ID slot;
};
const Card kCards[2] = {{"CardSim Reader 0", "pkcs15-model3.card", 0}, {"CardSim Reader 1", "soak-second.card", 3}};

// Write commands: a pull or mute right after one can leave a file that no record names.
bool IsFileWrite(unsigned ins) { return ins == 0xE0 || ins == 0xD6 || ins == 0xE4 || ins == 0x0E; }
// The error answers injected: the card itself never gives them, so the log shows when one fired.
constexpr unsigned kInjectedSws[] = {0x6581, 0x6F00};

// ---- the run ----

// What the threads saw: answers by call, and every fault of the module.
class Tally {
 public:
  void Answer(const std::string& call, CK_RV rv) {
    std::lock_guard<std::mutex> g(mu_);
    ++answers_[call + Fmt(" 0x%lx", rv)];
  }
  void Problem(const std::string& what) {
    std::lock_guard<std::mutex> g(mu_);
    if (problems_.size() < 30) problems_.push_back(what);
  }
  void Event(const std::string& what) {
    std::lock_guard<std::mutex> g(mu_);
    ++events_[what];
  }
  uint64_t Count(const std::string& key) const {
    std::lock_guard<std::mutex> g(mu_);
    const auto it = answers_.find(key);
    return it == answers_.end() ? 0 : it->second;
  }
  uint64_t Events(const std::string& key) const {
    std::lock_guard<std::mutex> g(mu_);
    const auto it = events_.find(key);
    return it == events_.end() ? 0 : it->second;
  }
  void Print() const {
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& a : answers_)
      std::printf("  %-30s %llu\n", a.first.c_str(), static_cast<unsigned long long>(a.second));
    for (const auto& e : events_)
      std::printf("  card: %-40s %llu\n", e.first.c_str(), static_cast<unsigned long long>(e.second));
  }
  std::vector<std::string> Problems() const {
    std::lock_guard<std::mutex> g(mu_);
    return problems_;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, uint64_t> answers_;
  std::map<std::string, uint64_t> events_;
  std::vector<std::string> problems_;
};

// The user PIN of a card as the host knows it: changed under the exclusive
// lock, used for logins under the shared one.
struct Pin {
  std::shared_mutex mu;
  std::string value = "1234";
  std::string other;  // the PIN it may also be, when a change could not be settled
};

struct Shared {
  CK_FUNCTION_LIST* f = nullptr;
  CardSim* sim = nullptr;
  SimEnv* env = nullptr;
  std::array<std::vector<CK_BYTE>, 2> reference;  // each card's signature of the DigestInfo
  std::array<Pin, 2> pins;
  Tally tally;
  std::atomic<bool> stop{false};
  // MIRTAL_SOAK_STRICT=0: the token's faults are only printed.
  bool strict = true;
};

// A fault of the token: printed, and a failure unless MIRTAL_SOAK_STRICT=0.
void TokenFault(Shared* sh, int card, const std::string& what) {
  const std::string text = card < 0 ? what : Fmt("card %d: %s", card, what.c_str());
  std::printf("token fault: %s\n", text.c_str());
  if (sh->strict) sh->tally.Problem(text);
}

void Nap(std::mt19937& rng, int lo, int hi) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(lo, hi)(rng)));
}

// Logs the session's user in with the PIN the host knows.
CK_RV Login(Shared* sh, int card, CK_SESSION_HANDLE s) {
  std::shared_lock<std::shared_mutex> g(sh->pins[card].mu);
  std::string pin = sh->pins[card].value;
  const CK_RV rv = sh->f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(&pin[0]), pin.size());
  sh->tally.Answer("C_Login", rv);
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED)
    sh->tally.Problem(Fmt("card %d: the PIN the host knows gave 0x%lx", card, rv));
  return rv;
}

CK_OBJECT_HANDLE PrivateKey(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  std::vector<CK_OBJECT_HANDLE> found;
  return FindAll(f, s, t, &found) == CKR_OK && !found.empty() ? found.front() : CK_INVALID_HANDLE;
}

// An object's value carries its own check (FNV-1a of the letters before the
// dash), so that any read of any soak object can be judged, whichever handle
// the token gives it after the card came back.
std::string CheckedValue(const std::string& letters) {
  uint32_t h = 2166136261u;
  for (char c : letters) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  return letters + Fmt("-%08x", h);
}
bool ValueChecks(const std::string& value) {
  const size_t dash = value.rfind('-');
  return dash != std::string::npos && CheckedValue(value.substr(0, dash)) == value;
}

// One host thread on one card: a session at a time, a few operations in it.
void Worker(Shared* sh, int card, int id, unsigned seed) {
  std::mt19937 rng(seed);
  CK_FUNCTION_LIST* f = sh->f;
  Tally& t = sh->tally;
  const std::string app = Fmt("soak-%d", id);
  std::vector<CK_OBJECT_HANDLE> owned;
  unsigned made = 0;
  while (!sh->stop.load()) {
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = f->C_OpenSession(kCards[card].slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    t.Answer("C_OpenSession", rv);
    if (rv != CKR_OK) {
      Nap(rng, 1, 5);
      continue;
    }
    rv = Login(sh, card, s);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
      // The thread's own objects, as the card has them now.
      std::vector<CK_OBJECT_HANDLE> found;
      TestTemplate mine;
      mine.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_APPLICATION, app);
      rv = FindAll(f, s, mine, &found);
      t.Answer("C_FindObjects", rv);
      if (rv == CKR_OK) owned = found;
      for (int op = 0; op < 6 && !sh->stop.load(); ++op) {
        const int what = std::uniform_int_distribution<int>(0, 9)(rng);
        if (what < 3 && owned.size() < kObjectsPerWorker) {
          std::string letters(std::uniform_int_distribution<size_t>(8, 40)(rng), '\0');
          for (char& c : letters) c = static_cast<char>('a' + rng() % 26);
          const std::string value = CheckedValue(letters);
          TestTemplate tmpl;
          tmpl.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false);
          tmpl.Bytes(CKA_LABEL, Fmt("%s #%u", app.c_str(), made++)).Bytes(CKA_APPLICATION, app).Bytes(CKA_VALUE, value);
          CK_OBJECT_HANDLE h = 0;
          rv = f->C_CreateObject(s, TT_ARGS(tmpl), &h);
          t.Answer("C_CreateObject", rv);
          if (rv == CKR_OK) owned.push_back(h);
        } else if (what < 5 && !owned.empty()) {
          const CK_OBJECT_HANDLE o = owned[rng() % owned.size()];
          const std::string label = Fmt("%s #%u changed", app.c_str(), made++);
          CK_ATTRIBUTE a = {CKA_LABEL, const_cast<char*>(label.data()), label.size()};
          t.Answer("C_SetAttributeValue", f->C_SetAttributeValue(s, o, &a, 1));
        } else if (what < 6 && !owned.empty()) {
          const size_t i = rng() % owned.size();
          rv = f->C_DestroyObject(s, owned[i]);
          t.Answer("C_DestroyObject", rv);
          if (rv == CKR_OK || rv == CKR_OBJECT_HANDLE_INVALID) owned.erase(owned.begin() + static_cast<long>(i));
        } else if (what < 8 && !owned.empty()) {
          char value[64];
          CK_ATTRIBUTE a = {CKA_VALUE, value, sizeof value};
          rv = f->C_GetAttributeValue(s, owned[rng() % owned.size()], &a, 1);
          t.Answer("C_GetAttributeValue", rv);
          if (rv == CKR_OK && !ValueChecks(std::string(value, a.ulValueLen)))
            t.Problem(Fmt("card %d: an object of thread %d reads back other than written", card, id));
        } else {
          const CK_OBJECT_HANDLE key = PrivateKey(f, s);
          if (key == CK_INVALID_HANDLE) continue;
          std::vector<CK_BYTE> sig;
          rv = SignOnce(f, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig);
          t.Answer("C_Sign", rv);
          if (rv == CKR_OK && sig != sh->reference[card])
            t.Problem(Fmt("card %d: a signature that is not the token's", card));
        }
      }
    }
    t.Answer("C_CloseSession", f->C_CloseSession(s));
  }
}

// Settles which of two PINs the card holds after a change whose outcome is not
// known: a fresh login with each (a wrong one costs a try, the right one gives
// the tries back). Card faults on the way are tried again.
enum class Settled { Yes, Neither, PinNotInitialized };
Settled SettlePin(Shared* sh, int card, const std::string& a, const std::string& b, std::mt19937& rng) {
  CK_FUNCTION_LIST* f = sh->f;
  int notInitialized = 0;
  // A candidate the card refused as wrong is never tried again: each try of a
  // wrong PIN costs one of the card's few, and only 6581 and 6F00 are injected.
  bool refused[2] = {false, false};
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (attempt) Nap(rng, 2, 10);
    CK_SESSION_HANDLE s = 0;
    if (f->C_OpenSession(kCards[card].slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK)
      continue;
    f->C_Logout(s);  // a login that is already there would tell nothing
    for (int i = 0; i < 2; ++i) {
      const std::string* pin = i == 0 ? &a : &b;
      if (refused[i]) continue;
      std::string p = *pin;
      const CK_RV rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(&p[0]), p.size());
      sh->tally.Answer("C_Login (settling)", rv);
      if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        sh->pins[card].value = *pin;
        sh->pins[card].other.clear();
        f->C_CloseSession(s);
        return Settled::Yes;
      }
      if (rv == CKR_PIN_LOCKED) {
        f->C_CloseSession(s);
        return Settled::Neither;
      }
      if (rv == CKR_USER_PIN_NOT_INITIALIZED && ++notInitialized == 100) {
        f->C_CloseSession(s);
        return Settled::PinNotInitialized;
      }
      if (rv != CKR_PIN_INCORRECT) break;  // a card fault: start again
      refused[i] = true;
    }
    if (refused[0] && refused[1]) {
      f->C_CloseSession(s);
      return Settled::Neither;
    }
    f->C_CloseSession(s);
  }
  return Settled::Neither;
}

// One thread per card changes its user PIN now and then, between two values.
void PinChanger(Shared* sh, int card, unsigned seed) {
  std::mt19937 rng(seed);
  CK_FUNCTION_LIST* f = sh->f;
  const std::string pins[2] = {"1234", "2468"};
  while (!sh->stop.load()) {
    Nap(rng, 50, 250);
    std::unique_lock<std::shared_mutex> g(sh->pins[card].mu);
    const std::string old = sh->pins[card].value;
    const std::string next = old == pins[0] ? pins[1] : pins[0];
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = f->C_OpenSession(kCards[card].slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv != CKR_OK) continue;
    std::string o = old, n = next;
    rv = f->C_SetPIN(s, reinterpret_cast<CK_UTF8CHAR*>(&o[0]), o.size(), reinterpret_cast<CK_UTF8CHAR*>(&n[0]),
                     n.size());
    sh->tally.Answer("C_SetPIN", rv);
    f->C_CloseSession(s);
    if (rv == CKR_OK) {
      sh->pins[card].value = next;
    } else if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
      sh->tally.Problem(Fmt("card %d: C_SetPIN with the PIN the host knows gave 0x%lx", card, rv));
      return;
    } else {
      // Until settled, nobody logs in: a PIN not known for sure could use up the tries.
      bool noted = false;
      while (true) {
        const Settled settled = SettlePin(sh, card, next, old, rng);
        if (settled == Settled::Yes) break;
        if (settled == Settled::Neither) {
          sh->tally.Problem(Fmt("card %d: neither PIN logs in after a failed change", card));
          return;
        }
        // The token's open fault (see TokenFault); it lasts until the card comes anew.
        if (!noted)
          TokenFault(sh, card, "the token answers every login CKR_USER_PIN_NOT_INITIALIZED without asking the card");
        noted = true;
        if (sh->stop.load()) {
          sh->pins[card].value = next;
          sh->pins[card].other = old;
          return;
        }
      }
    }
  }
}

// Pulls, resets, mutes and error answers at random; every fault is undone a
// few steps later. What fired is read from the simulator's log.
struct CardState {
  bool removed = false;
  bool mute = false;
  int undoIn = 0;
};

// The reader's log, emptied in the same step, so no line written meanwhile is lost.
std::string TakeLog(const CardSim& sim, const char* reader) {
  const auto take = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(sim.handle, "CardSimTakeApduLog"));
  std::vector<char> buf(1 << 16);
  while (true) {
    const size_t n = take(reader, buf.data(), buf.size());
    if (n <= buf.size()) return std::string(buf.data(), n - 1);
    buf.resize(n * 2);
  }
}

// What fired since the last look, and after which command.
void ReadEvents(Shared* sh, std::array<CardState, 2>* states, std::mt19937& rng) {
  CardSim& sim = *sh->sim;
  for (int c = 0; c < 2; ++c) {
    const std::string log = TakeLog(sim, kCards[c].reader);
    std::istringstream in(log);
    std::string line;
    unsigned lastIns = 0x100;
    while (std::getline(in, line)) {
      if (line.size() > 5 && line[0] == '>')
        lastIns = static_cast<unsigned>(std::stoul(line.substr(4, 2), nullptr, 16));
      if (line[0] == '<')
        for (unsigned sw : kInjectedSws)
          if (line == Fmt("< %04X", sw))
            sh->tally.Event(IsFileWrite(lastIns) ? "error answer to a file write" : "error answer to another command");
      if (line[0] != '#') continue;
      const bool write = IsFileWrite(lastIns);
      if (line == "# removed") {
        (*states)[c].removed = true;
        (*states)[c].undoIn = 1 + static_cast<int>(rng() % 4);
        sh->tally.Event(write ? "pulled right after a file write" : "pulled right after another command");
      } else if (line == "# mute") {
        (*states)[c].mute = true;
        (*states)[c].undoIn = 1 + static_cast<int>(rng() % 4);
        sh->tally.Event(write ? "muted right after a file write" : "muted right after another command");
      } else if (line == "# reset by another application") {
        sh->tally.Event(write ? "reset right after a file write" : "reset right after another command");
      }
    }
  }
}

void Chaos(Shared* sh, unsigned seed, std::array<CardState, 2>* states) {
  std::mt19937 rng(seed);
  CardSim& sim = *sh->sim;
  static const unsigned kAnyIns[] = {0xA4, 0xB0, 0xD6, 0xE0, 0xE4, 0x0E, 0x22, 0x2A, 0x44, 0x100};
  static const unsigned kWriteIns[] = {0xE0, 0xD6, 0xE4, 0x24};
  while (!sh->stop.load()) {
    Nap(rng, 5, 40);
    const int card = static_cast<int>(rng() % 2);
    const char* reader = kCards[card].reader;
    CardState& st = (*states)[card];
    if (st.removed || st.mute) {
      // Back after a few of the thread's steps on this card.
      if (--st.undoIn <= 0) {
        if (st.removed) sim.Insert(reader, sh->env->Card(kCards[card].image).c_str());
        if (st.mute) sim.SetMute(reader, 0);
        st.removed = st.mute = false;
      }
    } else {
      switch (rng() % 6) {
        // Pulls and mutes come right after the card's next command, so that
        // the log says which one they cut short.
        case 0:
          sim.AfterCommand(reader, 0x100, CARDSIM_AFTER_REMOVE);
          break;
        case 1:
          sim.ResetByOther(reader);
          break;
        case 2:
          sim.AfterCommand(reader, 0x100, CARDSIM_AFTER_MUTE);
          break;
        case 3:
          sim.InjectSw(reader, kAnyIns[rng() % std::size(kAnyIns)], kInjectedSws[rng() % std::size(kInjectedSws)], 1);
          sh->tally.Event("error answer armed");
          break;
        default:
          sim.AfterCommand(reader, kWriteIns[rng() % std::size(kWriteIns)],
                           CARDSIM_AFTER_REMOVE + static_cast<int>(rng() % 3));
          break;
      }
    }
    ReadEvents(sh, states, rng);
  }
  // Everything undone: nothing armed, then (with what fired meanwhile) cards in and answering.
  for (int c = 0; c < 2; ++c) {
    sim.AfterCommand(kCards[c].reader, 0x100, CARDSIM_AFTER_NOTHING);
    sim.InjectSw(kCards[c].reader, 0x100, 0x9000, 0);
  }
  ReadEvents(sh, states, rng);
  for (int c = 0; c < 2; ++c) {
    if ((*states)[c].removed) sim.Insert(kCards[c].reader, sh->env->Card(kCards[c].image).c_str());
    sim.SetMute(kCards[c].reader, 0);
    (*states)[c] = CardState();
  }
}

std::string PinLines(const std::string& image) {
  std::istringstream in(ReadFile(image));
  std::string line, out;
  while (std::getline(in, line))
    if (line.compare(0, 4, "pin ") == 0) out += line + "\n";
  return out;
}

// After the run: the token reads, logs in with the PIN the host knows and
// signs as before; card faults that the module still notices at first are
// waited out.
CK_RV TokenWorks(Shared* sh, int card) {
  CK_FUNCTION_LIST* f = sh->f;
  CK_RV last = CKR_OK;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CK_TOKEN_INFO ti;
    if ((last = f->C_GetTokenInfo(kCards[card].slot, &ti)) != CKR_OK) continue;
    CK_SESSION_HANDLE s = 0;
    if ((last = f->C_OpenSession(kCards[card].slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s)) !=
        CKR_OK)
      continue;
    for (std::string* pin : {&sh->pins[card].value, &sh->pins[card].other}) {
      if (pin->empty()) continue;
      std::string p = *pin;
      last = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(&p[0]), p.size());
      if (last != CKR_PIN_INCORRECT) {
        if (last == CKR_OK) std::swap(sh->pins[card].value, *pin);
        break;
      }
    }
    if (last == CKR_OK || last == CKR_USER_ALREADY_LOGGED_IN) {
      std::vector<CK_OBJECT_HANDLE> all;
      last = FindAll(f, s, TestTemplate(), &all);
      const CK_OBJECT_HANDLE key = PrivateKey(f, s);
      std::vector<CK_BYTE> sig;
      if (last == CKR_OK && key != CK_INVALID_HANDLE &&
          (last = SignOnce(f, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig)) == CKR_OK) {
        EXPECT_EQ(sh->reference[card], sig) << "card " << card;
        std::printf("card %d: reads (%zu objects), logs in, signs\n", card, all.size());
        // Octets of two writes in a directory are reported below.
        const DirectoryCheck dirs = CheckDirectories(sh->env->Card(kCards[card].image));
        const size_t onCard = dirs.objectRecords;
        if (dirs.torn.empty() && all.size() < onCard)
          TokenFault(sh, card,
                     Fmt("after the run the token lists %zu objects where its card's directories have %zu", all.size(),
                         onCard));
        f->C_CloseSession(s);
        return CKR_OK;
      }
    }
    f->C_CloseSession(s);
  }
  return last;
}

void CheckTokenWorks(Shared* sh, int card) {
  CK_RV rv = TokenWorks(sh, card);
  if (rv != CKR_OK) {
    // A token that only a new card brings back (as CKR_USER_PIN_NOT_INITIALIZED
    // for every login, or a shortened object list once did) is a fault.
    TokenFault(sh, card, Fmt("after the run the token does not log in and sign (0x%lx); card inserted anew", rv));
    sh->sim->Insert(kCards[card].reader, sh->env->Card(kCards[card].image).c_str());
    rv = TokenWorks(sh, card);
  }
  if (rv == CKR_OK) return;
  CK_SLOT_INFO si;
  const CK_RV slotRv = sh->f->C_GetSlotInfo(kCards[card].slot, &si);
  ADD_FAILURE() << "card " << card << " does not read, log in and sign after the soak: 0x" << std::hex << rv
                << "; slot info 0x" << slotRv << " flags 0x" << si.flags << "\n"
                << sh->sim->ApduLog(kCards[card].reader) << PinLines(sh->env->Card(kCards[card].image));
}

}  // namespace

TEST(ModuleSoak, ObjectsSignaturesAndPinChangesOnTwoCardsUnderRandomCardFaults) {
  const char* envSeconds = std::getenv("MIRTAL_SOAK_SECONDS");
  const char* envSeed = std::getenv("MIRTAL_SOAK_SEED");
  const int seconds = envSeconds ? std::atoi(envSeconds) : kDefaultSeconds;
  const unsigned seed = envSeed ? static_cast<unsigned>(std::strtoul(envSeed, nullptr, 0)) : kDefaultSeed;
  std::printf("soak: seed %u, %d s\n", seed, seconds);

  SimEnv env(Readers{{kCards[0].reader, kCards[0].image}, {kCards[1].reader, kCards[1].image}});
  ASSERT_EQ(0,
            std::system(("cp '" + env.Card("pkcs15-model3.card") + "' '" + env.Card(kCards[1].image) + "'").c_str()));
  // The trace is off: it would write every call of the run.
  env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  for (const Card& c : kCards) {
    const DirectoryCheck before = CheckDirectories(env.Card(c.image));
    ASSERT_TRUE(before.missing.empty() && before.orphans.empty() && before.records > 0) << c.image;
  }
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_C_INITIALIZE_ARGS args;
  std::memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(CKR_OK, m->C_Initialize(&args));

  Shared sh;
  sh.f = m.list();
  sh.sim = &sim;
  sh.env = &env;
  const char* envStrict = std::getenv("MIRTAL_SOAK_STRICT");
  sh.strict = envStrict == nullptr || std::strcmp(envStrict, "0") != 0;
  for (int c = 0; c < 2; ++c) {
    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE key = 0;
    ASSERT_TRUE(OpenUserSession(m, kCards[c].slot, &s, &key));
    ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sh.reference[c]));
    ASSERT_EQ(CKR_OK, m->C_CloseSession(s));
  }

  std::array<CardState, 2> states;
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    for (int w = 0; w < kWorkersPerCard; ++w) {
      const int id = c * kWorkersPerCard + w;
      threads.emplace_back(Worker, &sh, c, id, seed * 1000 + static_cast<unsigned>(id));
    }
    threads.emplace_back(PinChanger, &sh, c, seed * 1000 + 100 + static_cast<unsigned>(c));
  }
  threads.emplace_back(Chaos, &sh, seed * 1000 + 999, &states);
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sh.stop = true;
  for (std::thread& th : threads) th.join();

  std::printf("answers and card events:\n");
  sh.tally.Print();
  EXPECT_GT(sh.tally.Count("C_CreateObject 0x0"), 0u);
  EXPECT_GT(sh.tally.Count("C_Sign 0x0"), 0u);
  EXPECT_GT(sh.tally.Count("C_SetPIN 0x0"), 0u);

  for (int c = 0; c < 2; ++c) CheckTokenWorks(&sh, c);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));

  // Files that no record names: each fault cuts one call short (the global lock
  // lets one call at a time reach a card) and a call makes or deletes one file.
  // A pull or mute during a write leaves its file for good; a reset or an error
  // answer is taken up or taken back by the call.
  const auto events = [&](const char* what) {
    return sh.tally.Events(Fmt("%s right after a file write", what)) +
           sh.tally.Events(Fmt("%s right after another command", what));
  };
  const uint64_t pulledOrMuted = events("pulled") + events("muted");
  const uint64_t resetOrRefused = events("reset") + sh.tally.Events("error answer to a file write") +
                                  sh.tally.Events("error answer to another command");
  size_t orphans = 0;
  for (int c = 0; c < 2; ++c) {
    const DirectoryCheck after = CheckDirectories(env.Card(kCards[c].image));
    std::printf("%s: %zu directory records, %zu files that no record names:", kCards[c].image, after.records,
                after.orphans.size());
    for (const std::string& o : after.orphans) std::printf(" %s", o.c_str());
    std::printf("\n");
    orphans += after.orphans.size();
    for (const std::string& m : after.missing)
      TokenFault(&sh, c, "a directory record names a file that is not there: " + m);
    for (const std::string& m : after.missingInTorn)
      TokenFault(&sh, c, "a record among the octets of a cut rewrite names a file that is not there: " + m);
    // A pull or mute between the commands of one directory rewrite must leave
    // whole records.
    for (const std::string& t : after.torn)
      TokenFault(&sh, c, "a directory holds octets of two writes (a rewrite cut short): " + t);
    if (!after.torn.empty()) {
      // The directory as the card holds it, for the report.
      const Image img = ReadImage(env.Card(kCards[c].image));
      const auto dir = img.data.find(after.torn.front().substr(0, after.torn.front().find(' ')));
      if (dir != img.data.end()) std::printf("  %s\n", Hex(dir->second.data(), dir->second.size()).c_str());
    }
  }
  std::printf("files that no record names: %zu; pulls and mutes: %llu; resets and error answers: %llu\n", orphans,
              static_cast<unsigned long long>(pulledOrMuted), static_cast<unsigned long long>(resetOrRefused));
  // Only a pull or a mute leaves a file that no record names: resets and error
  // answers are taken up or taken back.
  EXPECT_LE(orphans, pulledOrMuted);
  for (const std::string& p : sh.tally.Problems()) ADD_FAILURE() << p;
}
