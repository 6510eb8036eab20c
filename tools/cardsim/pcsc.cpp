// libcardsim.so: the PC/SC functions under the prefix "Sim", with pcsc-lite's
// types, layouts and return codes, over the card engine. One lock guards all
// readers, handles and contexts; waits (GetStatusChange, transactions held by
// another handle) release it on a condition variable.
#include <PCSC/pcsclite.h>
#include <PCSC/reader.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cardsim/cardsim.h"
#include "tools/cardsim/engine.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

SIM_EXPORT const SCARD_IO_REQUEST Simg_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
SIM_EXPORT const SCARD_IO_REQUEST Simg_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
SIM_EXPORT const SCARD_IO_REQUEST Simg_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

using cardsim::Bytes;
using cardsim::Card;

struct Reader {
  std::string name;
  std::unique_ptr<Card> card;
  std::string image;
  uint64_t cardId = 0;       // changes with every insertion
  uint64_t resets = 0;       // changes with every reset
  uint32_t events = 0;       // event counter reported by GetStatusChange
  bool otherExclusive = false;
  bool mute = false;          // a card that does not answer its reset
  DWORD activeProtocol = 0;  // fixed while handles are connected
  SCARDHANDLE txOwner = 0;
  std::vector<std::string> log;
  unsigned afterIns = 0;      // CardSimAfterCommand: the instruction that sets it off
  int afterEvent = CARDSIM_AFTER_NOTHING;
  int afterSkip = 0;          // matching commands that pass before the event
  bool pauseArmed = false;    // CardSimPauseCommand: the next command with pauseIns waits
  unsigned pauseIns = 0;
  uint64_t pausedTicket = 0;  // the command waiting now, 0 when none
  size_t stateQueries = 0;  // GetStatusChange without waiting and Status, since the log was cleared
};

struct Handle {
  SCARDCONTEXT ctx = 0;
  Reader* reader = nullptr;
  DWORD share = 0;
  DWORD protocol = 0;
  uint64_t cardId = 0;
  uint64_t resets = 0;
};

struct Context {
  bool cancel = false;
};

struct State {
  std::mutex mu;
  std::condition_variable cv;
  bool configured = false;
  std::vector<std::unique_ptr<Reader>> readers;
  std::map<SCARDHANDLE, Handle> handles;
  std::map<SCARDCONTEXT, Context> contexts;
  unsigned long nextContext = 0x1000;
  unsigned long nextHandle = 0x200000;
  uint32_t readerEvents = 0;  // for the PnP notification pseudo reader
  uint64_t pauseTickets = 0;
  std::vector<uint64_t> resumed;  // paused commands let go, not yet woken
};

State& S() {
  static State* s = new State;  // never destroyed: threads may outlive static destruction
  return *s;
}

// A host's thread may still be inside a card command (a signature) when the
// host exits. libcrypto's clean-up at exit, registered on its first use after
// the host's and the module's own ends, would run before them and free its
// locks under that command: it is not registered at all.
const bool kCryptoKeptToTheEnd = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

constexpr const char* kPnp = "\\\\?PnP?\\Notification";

std::string DirOf(const std::string& p) {
  size_t s = p.rfind('/');
  return s == std::string::npos ? std::string(".") : p.substr(0, s);
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// Inserts a card into a reader (lock held).
int InsertLocked(Reader* r, const std::string& image) {
  std::string err;
  auto card = Card::Load(image, &err);
  if (!card) return -2;
  r->card = std::move(card);
  r->image = image;
  r->mute = false;
  ++r->cardId;
  ++r->events;
  r->activeProtocol = 0;
  r->txOwner = 0;
  return 0;
}

void RemoveLocked(Reader* r) {
  if (!r->card) return;
  r->card->Save();
  r->card.reset();
  r->image.clear();
  r->mute = false;
  ++r->events;
  r->txOwner = 0;
}

void ResetLocked(Reader* r) {
  if (!r->card) return;
  r->card->Reset();
  ++r->resets;
  ++r->events;
  r->txOwner = 0;
}

// The event that CardSimAfterCommand set up, once its command has been answered.
void AfterCommandLocked(Reader* r) {
  const int event = r->afterEvent;
  r->afterEvent = CARDSIM_AFTER_NOTHING;
  switch (event) {
    case CARDSIM_AFTER_REMOVE:
      r->log.push_back("# removed");
      RemoveLocked(r);
      break;
    case CARDSIM_AFTER_RESET_BY_OTHER:
      r->log.push_back("# reset by another application");
      ResetLocked(r);
      break;
    case CARDSIM_AFTER_MUTE:
      r->log.push_back("# mute");
      r->mute = true;
      ++r->events;
      break;
    case CARDSIM_AFTER_HOLD_EXCLUSIVE:
      r->log.push_back("# held exclusively by another application");
      r->otherExclusive = true;
      ++r->events;
      break;
  }
  S().cv.notify_all();
}

// Lets the command that waits in the reader go on (lock held).
void ResumeLocked(Reader* r) {
  r->pauseArmed = false;
  if (r->pausedTicket == 0) return;
  S().resumed.push_back(r->pausedTicket);
  r->pausedTicket = 0;
  S().cv.notify_all();
}

// Takes every reader away; their cards are written back (lock held).
void DropReadersLocked() {
  State& s = S();
  for (auto& r : s.readers) ResumeLocked(r.get());
  for (auto& h : s.handles) h.second.reader = nullptr;
  for (auto& r : s.readers) RemoveLocked(r.get());
  s.readers.clear();
  ++s.readerEvents;
}

int LoadConfigLocked(const char* path) {
  State& s = S();
  DropReadersLocked();
  s.configured = true;
  std::string file = path ? path : "";
  if (!path) {
    const char* env = getenv("CARDSIM_CONFIG");
    if (!env || !*env) return 0;
    file = env;
  }
  std::ifstream in(file);
  if (!in) return -2;
  std::string line;
  int rc = 0;
  while (std::getline(in, line)) {
    // A '#' at the start of a line or after a blank begins a comment.
    for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1))
      if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
        line.erase(hash);
        break;
      }
    line = Trim(line);
    if (line.empty()) continue;
    size_t sp = line.find_first_of(" \t");
    std::string kw = line.substr(0, sp);
    std::string val = sp == std::string::npos ? "" : Trim(line.substr(sp));
    if (kw == "reader" && !val.empty()) {
      auto r = std::make_unique<Reader>();
      r->name = val;
      s.readers.push_back(std::move(r));
    } else if (kw == "card" && !val.empty() && !s.readers.empty()) {
      std::string img = val[0] == '/' ? val : DirOf(file) + "/" + val;
      if (InsertLocked(s.readers.back().get(), img) != 0) rc = -2;
    } else {
      rc = -2;
    }
  }
  return rc;
}

void EnsureConfigured() {
  State& s = S();
  if (!s.configured) LoadConfigLocked(nullptr);
}

Reader* FindReader(const char* name) {
  State& s = S();
  EnsureConfigured();
  if (!name) return s.readers.empty() ? nullptr : s.readers.front().get();
  for (auto& r : s.readers)
    if (r->name == name) return r.get();
  return nullptr;
}

DWORD ReaderFlags(const Reader* r) {
  if (!r->card) return SCARD_STATE_EMPTY;
  DWORD f = SCARD_STATE_PRESENT;
  if (r->mute) f |= SCARD_STATE_MUTE;
  bool excl = r->otherExclusive, used = false;
  for (auto& h : S().handles) {
    if (h.second.reader != r) continue;
    if (h.second.share == SCARD_SHARE_EXCLUSIVE) excl = true;
    used = true;
  }
  if (excl) f |= SCARD_STATE_EXCLUSIVE;
  else if (used) f |= SCARD_STATE_INUSE;
  return f;
}

// Checks a card handle; on success *h points at it.
LONG CheckHandle(SCARDHANDLE hCard, Handle** h) {
  State& s = S();
  auto it = s.handles.find(hCard);
  if (it == s.handles.end()) return SCARD_E_INVALID_HANDLE;
  *h = &it->second;
  Reader* r = it->second.reader;
  if (!r) return SCARD_E_READER_UNAVAILABLE;
  if (it->second.share == SCARD_SHARE_DIRECT && !it->second.protocol) return SCARD_S_SUCCESS;
  if (!r->card || r->cardId != it->second.cardId) return SCARD_W_REMOVED_CARD;
  if (r->mute) return SCARD_W_UNRESPONSIVE_CARD;
  if (r->resets != it->second.resets) return SCARD_W_RESET_CARD;
  return SCARD_S_SUCCESS;
}

void Log(Reader* r, char dir, const uint8_t* p, size_t n) {
  if (r->log.size() > 100000) r->log.erase(r->log.begin(), r->log.begin() + 50000);
  r->log.push_back(std::string(1, dir) + " " + cardsim::Hex(p, n));
}

LONG PickProtocol(const Reader* r, DWORD pref, DWORD* out) {
  unsigned offered = r->card->Protocols();
  DWORD avail = 0;
  if (offered & 1) avail |= SCARD_PROTOCOL_T0;
  if (offered & 2) avail |= SCARD_PROTOCOL_T1;
  if (r->activeProtocol) avail &= r->activeProtocol;
  DWORD both = avail & pref;
  if (both & SCARD_PROTOCOL_T1) *out = SCARD_PROTOCOL_T1;
  else if (both & SCARD_PROTOCOL_T0) *out = SCARD_PROTOCOL_T0;
  else return SCARD_E_PROTO_MISMATCH;
  return SCARD_S_SUCCESS;
}

bool OthersOn(const Reader* r, SCARDHANDLE except, bool* exclusive) {
  bool any = false;
  *exclusive = r->otherExclusive;
  for (auto& h : S().handles) {
    if (h.first == except || h.second.reader != r) continue;
    any = true;
    if (h.second.share == SCARD_SHARE_EXCLUSIVE) *exclusive = true;
  }
  return any || r->otherExclusive;
}

void DropHandle(SCARDHANDLE hCard) {
  State& s = S();
  auto it = s.handles.find(hCard);
  if (it == s.handles.end()) return;
  Reader* r = it->second.reader;
  s.handles.erase(it);
  if (!r) return;
  if (r->txOwner == hCard) r->txOwner = 0;
  bool excl;
  if (!OthersOn(r, 0, &excl)) r->activeProtocol = 0;
}

LONG CopyOut(const void* src, size_t n, LPBYTE dst, LPDWORD len) {
  if (!len) return SCARD_E_INVALID_PARAMETER;
  if (*len == SCARD_AUTOALLOCATE) {
    // dst is then the address of the caller's pointer (freed with SCardFreeMemory)
    if (!dst) return SCARD_E_INVALID_PARAMETER;
    void* mem = malloc(n ? n : 1);
    if (!mem) return SCARD_E_NO_MEMORY;
    if (n) memcpy(mem, src, n);
    *reinterpret_cast<void**>(dst) = mem;
    *len = DWORD(n);
    return SCARD_S_SUCCESS;
  }
  if (!dst) {
    *len = DWORD(n);
    return SCARD_S_SUCCESS;
  }
  if (*len < n) {
    *len = DWORD(n);
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  memcpy(dst, src, n);
  *len = DWORD(n);
  return SCARD_S_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------------ PC/SC

SIM_EXPORT LONG SimSCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
  if (!phContext) return SCARD_E_INVALID_PARAMETER;
  if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_TERMINAL &&
      dwScope != SCARD_SCOPE_SYSTEM && dwScope != SCARD_SCOPE_GLOBAL)
    return SCARD_E_INVALID_VALUE;
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  EnsureConfigured();
  SCARDCONTEXT c = SCARDCONTEXT(s.nextContext++);
  s.contexts[c] = Context();
  *phContext = c;
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardReleaseContext(SCARDCONTEXT hContext) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  if (!s.contexts.erase(hContext)) return SCARD_E_INVALID_HANDLE;
  std::vector<SCARDHANDLE> mine;
  for (auto& h : s.handles)
    if (h.second.ctx == hContext) mine.push_back(h.first);
  for (SCARDHANDLE h : mine) DropHandle(h);
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardIsValidContext(SCARDCONTEXT hContext) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  return s.contexts.count(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

SIM_EXPORT LONG SimSCardCancel(SCARDCONTEXT hContext) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  auto it = s.contexts.find(hContext);
  if (it == s.contexts.end()) return SCARD_E_INVALID_HANDLE;
  it->second.cancel = true;
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem) {
  free(const_cast<void*>(pvMem));
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders,
                                    LPDWORD pcchReaders) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  if (!s.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
  if (!pcchReaders) return SCARD_E_INVALID_PARAMETER;
  if (s.readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
  std::string multi;
  for (auto& r : s.readers) {
    multi += r->name;
    multi += '\0';
  }
  multi += '\0';
  return CopyOut(multi.data(), multi.size(), reinterpret_cast<LPBYTE>(mszReaders), pcchReaders);
}

SIM_EXPORT LONG SimSCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                                DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                                LPDWORD pdwActiveProtocol) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  if (!s.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
  if (!szReader || !phCard || !pdwActiveProtocol) return SCARD_E_INVALID_PARAMETER;
  if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED &&
      dwShareMode != SCARD_SHARE_DIRECT)
    return SCARD_E_INVALID_VALUE;
  Reader* r = nullptr;
  for (auto& x : s.readers)
    if (x->name == szReader) r = x.get();
  if (!r) return SCARD_E_UNKNOWN_READER;
  bool excl = false;
  bool others = OthersOn(r, 0, &excl);
  if (excl || (others && dwShareMode == SCARD_SHARE_EXCLUSIVE)) return SCARD_E_SHARING_VIOLATION;
  Handle h;
  h.ctx = hContext;
  h.reader = r;
  h.share = dwShareMode;
  if (dwShareMode == SCARD_SHARE_DIRECT && (!r->card || dwPreferredProtocols == 0)) {
    h.protocol = 0;
  } else {
    if (!r->card) return SCARD_E_NO_SMARTCARD;
    if (r->mute) return SCARD_W_UNRESPONSIVE_CARD;
    if (!(dwPreferredProtocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW)))
      return SCARD_E_INVALID_VALUE;
    LONG rc = PickProtocol(r, dwPreferredProtocols, &h.protocol);
    if (rc != SCARD_S_SUCCESS) return rc;
    r->activeProtocol = h.protocol;
    h.cardId = r->cardId;
    h.resets = r->resets;
  }
  SCARDHANDLE id = SCARDHANDLE(s.nextHandle++);
  s.handles[id] = h;
  *phCard = id;
  *pdwActiveProtocol = h.protocol;
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                                  DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Handle* h = nullptr;
  LONG rc = CheckHandle(hCard, &h);
  if (rc == SCARD_E_INVALID_HANDLE || rc == SCARD_E_READER_UNAVAILABLE) return rc;
  if (!pdwActiveProtocol) return SCARD_E_INVALID_PARAMETER;
  if (dwShareMode != SCARD_SHARE_EXCLUSIVE && dwShareMode != SCARD_SHARE_SHARED &&
      dwShareMode != SCARD_SHARE_DIRECT)
    return SCARD_E_INVALID_VALUE;
  if (dwInitialization != SCARD_LEAVE_CARD && dwInitialization != SCARD_RESET_CARD &&
      dwInitialization != SCARD_UNPOWER_CARD)
    return SCARD_E_INVALID_VALUE;
  Reader* r = h->reader;
  if (!r->card) return SCARD_E_NO_SMARTCARD;
  if (r->mute) return SCARD_W_UNRESPONSIVE_CARD;
  bool excl = false;
  bool others = OthersOn(r, hCard, &excl);
  if (excl || (others && dwShareMode == SCARD_SHARE_EXCLUSIVE)) return SCARD_E_SHARING_VIOLATION;
  if (!others) r->activeProtocol = 0;
  DWORD prot = 0;
  rc = PickProtocol(r, dwPreferredProtocols ? dwPreferredProtocols : h->protocol, &prot);
  if (rc != SCARD_S_SUCCESS) return rc;
  if (dwInitialization != SCARD_LEAVE_CARD) {
    r->log.push_back("# reset");
    ResetLocked(r);
  }
  r->activeProtocol = prot;
  h->share = dwShareMode;
  h->protocol = prot;
  h->cardId = r->cardId;
  h->resets = r->resets;
  *pdwActiveProtocol = prot;
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  auto it = s.handles.find(hCard);
  if (it == s.handles.end()) return SCARD_E_INVALID_HANDLE;
  if (dwDisposition != SCARD_LEAVE_CARD && dwDisposition != SCARD_RESET_CARD &&
      dwDisposition != SCARD_UNPOWER_CARD && dwDisposition != SCARD_EJECT_CARD)
    return SCARD_E_INVALID_VALUE;
  Reader* r = it->second.reader;
  bool sameCard = r && r->card && r->cardId == it->second.cardId;
  DropHandle(hCard);
  if (sameCard && (dwDisposition == SCARD_RESET_CARD || dwDisposition == SCARD_UNPOWER_CARD)) {
    r->log.push_back("# reset");
    ResetLocked(r);
  }
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardBeginTransaction(SCARDHANDLE hCard) {
  State& s = S();
  std::unique_lock<std::mutex> g(s.mu);
  while (true) {
    Handle* h = nullptr;
    LONG rc = CheckHandle(hCard, &h);
    if (rc != SCARD_S_SUCCESS) return rc;
    Reader* r = h->reader;
    if (r->otherExclusive) return SCARD_E_SHARING_VIOLATION;
    if (r->txOwner == 0 || r->txOwner == hCard) {
      r->txOwner = hCard;
      return SCARD_S_SUCCESS;
    }
    s.cv.wait(g);
  }
}

SIM_EXPORT LONG SimSCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  if (dwDisposition != SCARD_LEAVE_CARD && dwDisposition != SCARD_RESET_CARD &&
      dwDisposition != SCARD_UNPOWER_CARD && dwDisposition != SCARD_EJECT_CARD)
    return SCARD_E_INVALID_VALUE;
  Handle* h = nullptr;
  LONG rc = CheckHandle(hCard, &h);
  if (rc != SCARD_S_SUCCESS) {
    // a transaction held over a removed or reset card is let go all the same
    if (h && h->reader && h->reader->txOwner == hCard) h->reader->txOwner = 0;
    s.cv.notify_all();
    return rc;
  }
  Reader* r = h->reader;
  if (r->txOwner != hCard) return SCARD_E_NOT_TRANSACTED;
  r->txOwner = 0;
  if (dwDisposition == SCARD_RESET_CARD || dwDisposition == SCARD_UNPOWER_CARD) {
    r->log.push_back("# reset");
    ResetLocked(r);
    h->resets = r->resets;
  }
  s.cv.notify_all();
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                                 LPCBYTE pbSendBuffer, DWORD cbSendLength,
                                 SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                                 LPDWORD pcbRecvLength) {
  State& s = S();
  std::unique_lock<std::mutex> g(s.mu);
  if (!pbSendBuffer || !pbRecvBuffer || !pcbRecvLength || !pioSendPci)
    return SCARD_E_INVALID_PARAMETER;
  if (cbSendLength < 4 || cbSendLength > 65544) return SCARD_E_INVALID_PARAMETER;
  while (true) {
    Handle* h = nullptr;
    LONG rc = CheckHandle(hCard, &h);
    if (rc != SCARD_S_SUCCESS) return rc;
    Reader* r = h->reader;
    if (!h->protocol) return SCARD_E_NOT_TRANSACTED;
    if (r->otherExclusive) return SCARD_E_SHARING_VIOLATION;
    if (r->txOwner != 0 && r->txOwner != hCard) {
      s.cv.wait(g);
      continue;
    }
    if (pioSendPci->dwProtocol != h->protocol) return SCARD_E_PROTO_MISMATCH;
    if (r->pauseArmed && (r->pauseIns == 0x100 || r->pauseIns == pbSendBuffer[1])) {
      // Held before it runs, until the test lets it go; then everything is checked again.
      r->pauseArmed = false;
      const uint64_t ticket = r->pausedTicket = ++s.pauseTickets;
      r->log.push_back("# paused");
      s.cv.notify_all();
      s.cv.wait(g, [&] { return std::find(s.resumed.begin(), s.resumed.end(), ticket) != s.resumed.end(); });
      s.resumed.erase(std::find(s.resumed.begin(), s.resumed.end(), ticket));
      continue;
    }
    Bytes apdu(pbSendBuffer, pbSendBuffer + cbSendLength);
    Log(r, '>', apdu.data(), apdu.size());
    Bytes resp = r->card->Transmit(apdu, h->protocol == SCARD_PROTOCOL_T0);
    Log(r, '<', resp.data(), resp.size());
    if (*pcbRecvLength < resp.size()) {
      *pcbRecvLength = DWORD(resp.size());
      return SCARD_E_INSUFFICIENT_BUFFER;
    }
    memcpy(pbRecvBuffer, resp.data(), resp.size());
    *pcbRecvLength = DWORD(resp.size());
    if (pioRecvPci) {
      pioRecvPci->dwProtocol = h->protocol;
      pioRecvPci->cbPciLength = sizeof(SCARD_IO_REQUEST);
    }
    if (r->afterEvent != CARDSIM_AFTER_NOTHING && (r->afterIns == 0x100 || r->afterIns == apdu[1])) {
      if (r->afterSkip > 0)
        --r->afterSkip;
      else
        AfterCommandLocked(r);
    }
    return SCARD_S_SUCCESS;
  }
}

SIM_EXPORT LONG SimSCardStatus(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen,
                               LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr,
                               LPDWORD pcbAtrLen) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Handle* h = nullptr;
  if (auto it = s.handles.find(hCard); it != s.handles.end() && it->second.reader) ++it->second.reader->stateQueries;
  LONG rc = CheckHandle(hCard, &h);
  if (rc != SCARD_S_SUCCESS) return rc;
  Reader* r = h->reader;
  if (pcchReaderLen) {
    std::string n = r->name;
    n += '\0';
    rc = CopyOut(n.data(), n.size(), reinterpret_cast<LPBYTE>(szReaderName), pcchReaderLen);
    if (rc != SCARD_S_SUCCESS) return rc;
  }
  if (pdwState) *pdwState = r->card ? (SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC) : SCARD_ABSENT;
  if (pdwProtocol) *pdwProtocol = h->protocol;
  if (pcbAtrLen) {
    Bytes atr = r->card ? r->card->Atr() : Bytes();
    rc = CopyOut(atr.data(), atr.size(), pbAtr, pcbAtrLen);
    if (rc != SCARD_S_SUCCESS) return rc;
  }
  return SCARD_S_SUCCESS;
}

SIM_EXPORT LONG SimSCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                                        SCARD_READERSTATE* rgReaderStates, DWORD cReaders) {
  State& s = S();
  std::unique_lock<std::mutex> g(s.mu);
  if (!s.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
  if (cReaders && !rgReaderStates) return SCARD_E_INVALID_PARAMETER;
  for (DWORD i = 0; i < cReaders; ++i)
    if (!rgReaderStates[i].szReader) return SCARD_E_INVALID_VALUE;
  if (dwTimeout == 0)
    for (DWORD i = 0; i < cReaders; ++i)
      for (auto& x : s.readers)
        if (x->name == rgReaderStates[i].szReader) ++x->stateQueries;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeout);
  while (true) {
    auto ctx = s.contexts.find(hContext);
    if (ctx == s.contexts.end()) return SCARD_E_INVALID_HANDLE;
    if (ctx->second.cancel) {
      ctx->second.cancel = false;
      return SCARD_E_CANCELLED;
    }
    bool changed = false;
    for (DWORD i = 0; i < cReaders; ++i) {
      SCARD_READERSTATE& st = rgReaderStates[i];
      DWORD cur = st.dwCurrentState;
      if (cur & SCARD_STATE_IGNORE) {
        st.dwEventState = SCARD_STATE_IGNORE;
        continue;
      }
      if (strcmp(st.szReader, kPnp) == 0) {
        DWORD ev = DWORD(s.readers.size()) << 16;
        if ((cur & 0xFFFF0000) != ev) {
          ev |= SCARD_STATE_CHANGED;
          changed = true;
        }
        st.dwEventState = ev;
        continue;
      }
      Reader* r = nullptr;
      for (auto& x : s.readers)
        if (x->name == st.szReader) r = x.get();
      if (!r) {
        // as pcsc-lite: unknown and unavailable; a change only for a caller
        // that did not know it yet, so that waiting on it does not spin
        st.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE;
        if (!(cur & SCARD_STATE_UNKNOWN)) {
          st.dwEventState |= SCARD_STATE_CHANGED;
          changed = true;
        }
        continue;
      }
      DWORD flags = ReaderFlags(r);
      DWORD counter = r->events & 0xFFFF;
      DWORD ev = flags | (counter << 16);
      const DWORD mask = SCARD_STATE_EMPTY | SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE |
                         SCARD_STATE_INUSE | SCARD_STATE_MUTE | SCARD_STATE_UNAVAILABLE |
                         SCARD_STATE_UNKNOWN;
      bool differs = (cur & mask) != flags || ((cur >> 16) & 0xFFFF) != counter;
      if (differs) {
        ev |= SCARD_STATE_CHANGED;
        changed = true;
      }
      st.dwEventState = ev;
      Bytes atr = r->card ? r->card->Atr() : Bytes();
      st.cbAtr = DWORD(atr.size());
      if (!atr.empty()) memcpy(st.rgbAtr, atr.data(), atr.size());
    }
    if (changed) return SCARD_S_SUCCESS;
    if (dwTimeout == 0) return SCARD_E_TIMEOUT;
    if (dwTimeout == INFINITE) {
      s.cv.wait(g);
    } else if (s.cv.wait_until(g, deadline) == std::cv_status::timeout) {
      // one last look happens at the top only when something was signalled
      return SCARD_E_TIMEOUT;
    }
  }
}

SIM_EXPORT LONG SimSCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr,
                                  LPDWORD pcbAttrLen) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Handle* h = nullptr;
  LONG rc = CheckHandle(hCard, &h);
  if (rc != SCARD_S_SUCCESS) return rc;
  if (!pcbAttrLen) return SCARD_E_INVALID_PARAMETER;
  Reader* r = h->reader;
  switch (dwAttrId) {
    case SCARD_ATTR_ATR_STRING: {
      if (!r->card) return SCARD_E_NO_SMARTCARD;
      Bytes atr = r->card->Atr();
      return CopyOut(atr.data(), atr.size(), pbAttr, pcbAttrLen);
    }
    case SCARD_ATTR_VENDOR_NAME: {
      static const char v[] = "CardSim";
      return CopyOut(v, sizeof v, pbAttr, pcbAttrLen);
    }
    case SCARD_ATTR_VENDOR_IFD_TYPE: {
      static const char v[] = "Simulated reader";
      return CopyOut(v, sizeof v, pbAttr, pcbAttrLen);
    }
    case SCARD_ATTR_VENDOR_IFD_VERSION: {
      DWORD v = 0x01000000;  // 1.0, build 0
      return CopyOut(&v, sizeof v, pbAttr, pcbAttrLen);
    }
    case SCARD_ATTR_DEVICE_FRIENDLY_NAME: {
      std::string n = r->name;
      return CopyOut(n.c_str(), n.size() + 1, pbAttr, pcbAttrLen);
    }
    case SCARD_ATTR_MAXINPUT: {
      DWORD v = 65544;
      return CopyOut(&v, sizeof v, pbAttr, pcbAttrLen);
    }
    default:
      return SCARD_E_UNSUPPORTED_FEATURE;
  }
}

// ------------------------------------------------------------------ control

namespace {
template <typename F>
int WithReader(const char* name, F f) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Reader* r = FindReader(name);
  if (!r) return -1;
  int rc = f(r);
  s.cv.notify_all();
  return rc;
}
}  // namespace

SIM_EXPORT int CardSimLoadConfig(const char* path) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  int rc = LoadConfigLocked(path);
  s.cv.notify_all();
  return rc;
}

SIM_EXPORT int CardSimForgetConfig(void) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  DropReadersLocked();
  s.configured = false;
  s.cv.notify_all();
  return 0;
}

SIM_EXPORT int CardSimAddReader(const char* name) {
  if (!name || !*name) return -2;
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  EnsureConfigured();
  for (auto& r : s.readers)
    if (r->name == name) return -2;
  auto r = std::make_unique<Reader>();
  r->name = name;
  s.readers.push_back(std::move(r));
  ++s.readerEvents;
  s.cv.notify_all();
  return 0;
}

SIM_EXPORT int CardSimInsert(const char* reader, const char* imagePath) {
  if (!imagePath) return -2;
  return WithReader(reader, [&](Reader* r) {
    RemoveLocked(r);
    return InsertLocked(r, imagePath);
  });
}

SIM_EXPORT int CardSimRemove(const char* reader) {
  return WithReader(reader, [](Reader* r) {
    RemoveLocked(r);
    return 0;
  });
}

SIM_EXPORT int CardSimReset(const char* reader) {
  return WithReader(reader, [](Reader* r) {
    if (!r->card) return -2;
    r->log.push_back("# reset");
    ResetLocked(r);
    return 0;
  });
}

SIM_EXPORT int CardSimResetByOther(const char* reader) {
  return WithReader(reader, [](Reader* r) {
    if (!r->card) return -2;
    r->log.push_back("# reset by another application");
    ResetLocked(r);
    return 0;
  });
}

SIM_EXPORT int CardSimHoldExclusive(const char* reader, int hold) {
  return WithReader(reader, [&](Reader* r) {
    if (r->otherExclusive != (hold != 0)) ++r->events;
    r->otherExclusive = hold != 0;
    return 0;
  });
}

SIM_EXPORT int CardSimSetMute(const char* reader, int mute) {
  return WithReader(reader, [&](Reader* r) {
    if (r->mute != (mute != 0)) ++r->events;
    r->mute = mute != 0;
    return 0;
  });
}

SIM_EXPORT int CardSimInjectSw(const char* reader, unsigned ins, unsigned sw, int count) {
  if (ins > 0x100 || sw > 0xFFFF || count < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    if (!r->card) return -2;
    r->card->InjectSw(ins, uint16_t(sw), count);
    return 0;
  });
}

SIM_EXPORT int CardSimCorruptData(const char* reader, unsigned ins, int count) {
  if (ins > 0x100 || count < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    if (!r->card) return -2;
    r->card->CorruptData(ins, count);
    return 0;
  });
}

SIM_EXPORT int CardSimCorruptDataOn(const char* reader, const char* prefix, int skip, int count) {
  cardsim::Bytes octets;
  if (prefix == nullptr || !cardsim::FromHex(prefix, &octets) || octets.empty() || count < 0 || skip < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    if (!r->card) return -2;
    r->card->CorruptDataOn(octets, skip, count);
    return 0;
  });
}

SIM_EXPORT int CardSimAfterCommand(const char* reader, unsigned ins, int event) {
  return CardSimAfterCommands(reader, ins, event, 0);
}

SIM_EXPORT int CardSimAfterCommands(const char* reader, unsigned ins, int event, int skip) {
  if (ins > 0x100 || event < CARDSIM_AFTER_NOTHING || event > CARDSIM_AFTER_HOLD_EXCLUSIVE || skip < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    r->afterIns = ins;
    r->afterEvent = event;
    r->afterSkip = skip;
    return 0;
  });
}

SIM_EXPORT int CardSimInjectSwAfter(const char* reader, unsigned ins, unsigned sw, int skip, int count) {
  if (ins > 0x100 || sw > 0xFFFF || count < 0 || skip < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    if (!r->card) return -2;
    r->card->InjectSwAfter(ins, uint16_t(sw), skip, count);
    return 0;
  });
}

SIM_EXPORT int CardSimInjectSwOn(const char* reader, const char* prefix, unsigned sw, int skip, int count) {
  cardsim::Bytes octets;
  if (prefix == nullptr || !cardsim::FromHex(prefix, &octets) || octets.empty() || sw > 0xFFFF || count < 0 || skip < 0) return -2;
  return WithReader(reader, [&](Reader* r) {
    if (!r->card) return -2;
    r->card->InjectSwOn(octets, uint16_t(sw), skip, count);
    return 0;
  });
}

SIM_EXPORT int CardSimPauseCommand(const char* reader, unsigned ins) {
  if (ins > 0x100) return -2;
  return WithReader(reader, [&](Reader* r) {
    r->pauseArmed = true;
    r->pauseIns = ins;
    return 0;
  });
}

SIM_EXPORT int CardSimWaitPaused(const char* reader, int timeoutMs) {
  if (timeoutMs < 0) return -2;
  State& s = S();
  std::unique_lock<std::mutex> g(s.mu);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    Reader* r = FindReader(reader);
    if (!r) return -1;
    if (r->pausedTicket != 0) return 0;
    if (s.cv.wait_until(g, deadline) == std::cv_status::timeout) {
      r = FindReader(reader);
      return r && r->pausedTicket != 0 ? 0 : -3;
    }
  }
}

SIM_EXPORT int CardSimResumeCommand(const char* reader) {
  return WithReader(reader, [](Reader* r) {
    ResumeLocked(r);
    return 0;
  });
}

namespace {

// Copies the reader's log into buf; with `take`, a log copied whole is emptied
// in the same step, so that no line that comes meanwhile is lost.
size_t CopyApduLog(const char* reader, char* buf, size_t len, bool take) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Reader* r = FindReader(reader);
  std::string text;
  if (r)
    for (auto& l : r->log) text += l + "\n";
  if (buf && len) {
    size_t n = std::min(len - 1, text.size());
    memcpy(buf, text.data(), n);
    buf[n] = 0;
    if (take && r && n == text.size()) r->log.clear();
  }
  return text.size() + 1;
}

}  // namespace

namespace {
void ListPins(const cardsim::Node* n, std::string* text) {
  for (const auto& p : n->pins) {
    char buf[16];
    snprintf(buf, sizeof buf, " %02X %d\n", p.ref, p.verified ? 1 : 0);
    *text += n->PathText() + buf;
  }
  for (const auto& c : n->children)
    if (c->IsDf()) ListPins(c.get(), text);
}
}  // namespace

SIM_EXPORT size_t CardSimGetPinStates(const char* reader, char* buf, size_t len) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Reader* r = FindReader(reader);
  std::string text;
  if (r && r->card) ListPins(r->card->mf(), &text);
  if (buf && len) {
    const size_t n = std::min(len - 1, text.size());
    memcpy(buf, text.data(), n);
    buf[n] = 0;
  }
  return text.size() + 1;
}

SIM_EXPORT size_t CardSimGetApduLog(const char* reader, char* buf, size_t len) {
  return CopyApduLog(reader, buf, len, false);
}

SIM_EXPORT size_t CardSimTakeApduLog(const char* reader, char* buf, size_t len) {
  return CopyApduLog(reader, buf, len, true);
}

SIM_EXPORT int CardSimClearLog(const char* reader) {
  return WithReader(reader, [](Reader* r) {
    r->log.clear();
    r->stateQueries = 0;
    return 0;
  });
}

SIM_EXPORT size_t CardSimGetStateQueryCount(const char* reader) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  Reader* r = FindReader(reader);
  return r ? r->stateQueries : 0;
}

SIM_EXPORT int CardSimReaderCount(void) {
  State& s = S();
  std::lock_guard<std::mutex> g(s.mu);
  EnsureConfigured();
  return int(s.readers.size());
}
