// The prefixed PC/SC library, loaded with dlopen as the module loads it:
// reader listing, connections and sharing, T=0 transport, transactions, card
// state changes with timeouts, resets and removal, the control interface.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pcsclite.h>
#include <reader.h>
#include <winscard.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/cardsim/test_util.h"
#include "tools/cardsim/cardsim.h"

using namespace cardsim_test;

namespace {

struct Api {
  decltype(&SCardEstablishContext) Establish = nullptr;
  decltype(&SCardReleaseContext) Release = nullptr;
  decltype(&SCardListReaders) List = nullptr;
  decltype(&SCardFreeMemory) Free = nullptr;
  decltype(&SCardConnect) Connect = nullptr;
  decltype(&SCardReconnect) Reconnect = nullptr;
  decltype(&SCardDisconnect) Disconnect = nullptr;
  decltype(&SCardBeginTransaction) Begin = nullptr;
  decltype(&SCardEndTransaction) End = nullptr;
  decltype(&SCardTransmit) Transmit = nullptr;
  decltype(&SCardStatus) Status = nullptr;
  decltype(&SCardGetStatusChange) GetStatusChange = nullptr;
  decltype(&SCardGetAttrib) GetAttrib = nullptr;
  decltype(&SCardCancel) Cancel = nullptr;
  const SCARD_IO_REQUEST* T0 = nullptr;
  const SCARD_IO_REQUEST* T1 = nullptr;
  const SCARD_IO_REQUEST* Raw = nullptr;
  decltype(&CardSimLoadConfig) LoadConfig = nullptr;
  decltype(&CardSimInsert) Insert = nullptr;
  decltype(&CardSimRemove) Remove = nullptr;
  decltype(&CardSimReset) Reset = nullptr;
  decltype(&CardSimResetByOther) ResetByOther = nullptr;
  decltype(&CardSimHoldExclusive) HoldExclusive = nullptr;
  decltype(&CardSimInjectSw) InjectSw = nullptr;
  decltype(&CardSimGetApduLog) GetLog = nullptr;
  decltype(&CardSimClearLog) ClearLog = nullptr;
  decltype(&CardSimAddReader) AddReader = nullptr;
  decltype(&CardSimSetMute) SetMute = nullptr;
  decltype(&CardSimPauseCommand) Pause = nullptr;
  decltype(&CardSimWaitPaused) WaitPaused = nullptr;
  decltype(&CardSimResumeCommand) Resume = nullptr;
  decltype(&CardSimTakeApduLog) TakeLog = nullptr;
};

template <typename T>
bool Sym(void* lib, const char* name, T* out) {
  *out = reinterpret_cast<T>(dlsym(lib, name));
  return *out != nullptr;
}

class Pcsc : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib_) << dlerror();
    bool ok = Sym(lib_, "SimSCardEstablishContext", &a_.Establish) &&
              Sym(lib_, "SimSCardReleaseContext", &a_.Release) &&
              Sym(lib_, "SimSCardListReaders", &a_.List) &&
              Sym(lib_, "SimSCardFreeMemory", &a_.Free) &&
              Sym(lib_, "SimSCardConnect", &a_.Connect) &&
              Sym(lib_, "SimSCardReconnect", &a_.Reconnect) &&
              Sym(lib_, "SimSCardDisconnect", &a_.Disconnect) &&
              Sym(lib_, "SimSCardBeginTransaction", &a_.Begin) &&
              Sym(lib_, "SimSCardEndTransaction", &a_.End) &&
              Sym(lib_, "SimSCardTransmit", &a_.Transmit) &&
              Sym(lib_, "SimSCardStatus", &a_.Status) &&
              Sym(lib_, "SimSCardGetStatusChange", &a_.GetStatusChange) &&
              Sym(lib_, "SimSCardGetAttrib", &a_.GetAttrib) &&
              Sym(lib_, "SimSCardCancel", &a_.Cancel) &&
              Sym(lib_, "Simg_rgSCardT0Pci", &a_.T0) && Sym(lib_, "Simg_rgSCardT1Pci", &a_.T1) &&
              Sym(lib_, "Simg_rgSCardRawPci", &a_.Raw) &&
              Sym(lib_, "CardSimLoadConfig", &a_.LoadConfig) &&
              Sym(lib_, "CardSimInsert", &a_.Insert) && Sym(lib_, "CardSimRemove", &a_.Remove) &&
              Sym(lib_, "CardSimReset", &a_.Reset) &&
              Sym(lib_, "CardSimResetByOther", &a_.ResetByOther) &&
              Sym(lib_, "CardSimHoldExclusive", &a_.HoldExclusive) &&
              Sym(lib_, "CardSimInjectSw", &a_.InjectSw) &&
              Sym(lib_, "CardSimGetApduLog", &a_.GetLog) &&
              Sym(lib_, "CardSimClearLog", &a_.ClearLog) &&
              Sym(lib_, "CardSimAddReader", &a_.AddReader) &&
              Sym(lib_, "CardSimSetMute", &a_.SetMute) && Sym(lib_, "CardSimPauseCommand", &a_.Pause) &&
              Sym(lib_, "CardSimWaitPaused", &a_.WaitPaused) && Sym(lib_, "CardSimResumeCommand", &a_.Resume) && Sym(lib_, "CardSimTakeApduLog", &a_.TakeLog);
    ASSERT_TRUE(ok) << dlerror();
    cardA_ = CopyCard(dir_, "pkcs15-model3.card");
    cardB_ = CopyCard(dir_, "blank-model3.card");
    conf_ = dir_.File("cardsim.conf");
    WriteFile(conf_,
              "# test readers\nreader Sim A\ncard pkcs15-model3.card\n"
              "reader Sim B\ncard " + cardB_ + "\nreader Sim C\n");
    ASSERT_EQ(a_.LoadConfig(conf_.c_str()), 0);
    ASSERT_EQ(a_.Establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_), SCARD_S_SUCCESS);
  }
  void TearDown() override {
    if (ctx_) a_.Release(ctx_);
    if (lib_) a_.LoadConfig(nullptr);  // saves and drops the cards of this test
  }

  // Sends one APDU; returns the status word, the data in data_.
  unsigned Tx(SCARDHANDLE h, const std::string& hex, DWORD proto = SCARD_PROTOCOL_T1,
              LONG* rc = nullptr) {
    std::vector<uint8_t> apdu = Unhex(hex);
    uint8_t buf[4096];
    DWORD len = sizeof buf;
    LONG r = a_.Transmit(h, proto == SCARD_PROTOCOL_T0 ? a_.T0 : a_.T1, apdu.data(),
                         DWORD(apdu.size()), nullptr, buf, &len);
    if (rc) *rc = r;
    if (r != SCARD_S_SUCCESS || len < 2) return 0;
    data_.assign(buf, buf + len - 2);
    return unsigned(buf[len - 2]) << 8 | buf[len - 1];
  }
  SCARDHANDLE Connect(const char* reader, DWORD share = SCARD_SHARE_SHARED,
                      DWORD prot = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, LONG expect = 0) {
    SCARDHANDLE h = 0;
    DWORD active = 0;
    EXPECT_EQ(a_.Connect(ctx_, reader, share, prot, &h, &active), expect) << reader;
    return h;
  }
  std::string Log(const char* reader) {
    size_t n = a_.GetLog(reader, nullptr, 0);
    std::string s(n, '\0');
    a_.GetLog(reader, &s[0], n);
    s.resize(n - 1);
    return s;
  }

  void* lib_ = nullptr;
  Api a_;
  TempDir dir_;
  std::string cardA_, cardB_, conf_;
  SCARDCONTEXT ctx_ = 0;
  std::vector<uint8_t> data_;
};

TEST_F(Pcsc, ListsTheConfiguredReaders) {
  DWORD len = 0;
  ASSERT_EQ(a_.List(ctx_, nullptr, nullptr, &len), SCARD_S_SUCCESS);
  const char expect[] = "Sim A\0Sim B\0Sim C\0";
  ASSERT_EQ(len, sizeof expect);
  std::vector<char> buf(len);
  ASSERT_EQ(a_.List(ctx_, nullptr, buf.data(), &len), SCARD_S_SUCCESS);
  EXPECT_EQ(memcmp(buf.data(), expect, sizeof expect), 0);
  DWORD small = 4;
  EXPECT_EQ(a_.List(ctx_, nullptr, buf.data(), &small), SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small, sizeof expect);
  char* mem = nullptr;
  DWORD autoLen = SCARD_AUTOALLOCATE;
  ASSERT_EQ(a_.List(ctx_, nullptr, reinterpret_cast<char*>(&mem), &autoLen), SCARD_S_SUCCESS);
  ASSERT_TRUE(mem);
  EXPECT_EQ(memcmp(mem, expect, sizeof expect), 0);
  a_.Free(ctx_, mem);
  EXPECT_EQ(a_.List(ctx_, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(a_.List(ctx_ + 1000, nullptr, nullptr, &len), SCARD_E_INVALID_HANDLE);

  // the configuration named by the environment, and none at all
  WriteFile(dir_.File("env.conf"), "reader From Env\n");
  setenv("CARDSIM_CONFIG", dir_.File("env.conf").c_str(), 1);
  ASSERT_EQ(a_.LoadConfig(nullptr), 0);
  len = 0;
  ASSERT_EQ(a_.List(ctx_, nullptr, nullptr, &len), SCARD_S_SUCCESS);
  EXPECT_EQ(len, sizeof "From Env\0");
  unsetenv("CARDSIM_CONFIG");
  ASSERT_EQ(a_.LoadConfig(nullptr), 0);
  EXPECT_EQ(a_.List(ctx_, nullptr, nullptr, &len), SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(a_.LoadConfig(dir_.File("missing.conf").c_str()), -2);
  WriteFile(dir_.File("bad.conf"), "reader X\ncard nowhere.card\n");
  EXPECT_EQ(a_.LoadConfig(dir_.File("bad.conf").c_str()), -2);
}

TEST_F(Pcsc, ConnectsAndReportsStatusAndAttributes) {
  SCARDHANDLE h = 0;
  DWORD active = 0;
  ASSERT_EQ(a_.Connect(ctx_, "Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                       &h, &active),
            SCARD_S_SUCCESS);
  EXPECT_EQ(active, DWORD(SCARD_PROTOCOL_T1));
  char name[64];
  DWORD nameLen = sizeof name, state = 0, proto = 0, atrLen = 33;
  uint8_t atr[33];
  ASSERT_EQ(a_.Status(h, name, &nameLen, &state, &proto, atr, &atrLen), SCARD_S_SUCCESS);
  EXPECT_STREQ(name, "Sim A");
  EXPECT_EQ(nameLen, 6u);
  EXPECT_TRUE(state & SCARD_PRESENT);
  EXPECT_EQ(proto, DWORD(SCARD_PROTOCOL_T1));
  std::string image = ReadFile(cardA_);
  size_t at = image.find("atr ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(ToHex(atr, atrLen), image.substr(at + 4, image.find('\n', at) - at - 4));

  char* autoName = nullptr;
  uint8_t* autoAtr = nullptr;
  nameLen = SCARD_AUTOALLOCATE;
  atrLen = SCARD_AUTOALLOCATE;
  ASSERT_EQ(a_.Status(h, reinterpret_cast<char*>(&autoName), &nameLen, &state, &proto,
                      reinterpret_cast<uint8_t*>(&autoAtr), &atrLen),
            SCARD_S_SUCCESS);
  ASSERT_TRUE(autoName && autoAtr);
  EXPECT_STREQ(autoName, "Sim A");
  EXPECT_EQ(ToHex(autoAtr, atrLen), ToHex(atr, 20));
  a_.Free(ctx_, autoName);
  a_.Free(ctx_, autoAtr);
  nameLen = 2;
  EXPECT_EQ(a_.Status(h, name, &nameLen, &state, &proto, nullptr, nullptr),
            SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(nameLen, 6u);

  uint8_t attr[64];
  DWORD attrLen = sizeof attr;
  ASSERT_EQ(a_.GetAttrib(h, SCARD_ATTR_ATR_STRING, attr, &attrLen), SCARD_S_SUCCESS);
  EXPECT_EQ(ToHex(attr, attrLen), ToHex(atr, atrLen));
  attrLen = 0;
  ASSERT_EQ(a_.GetAttrib(h, SCARD_ATTR_VENDOR_NAME, nullptr, &attrLen), SCARD_S_SUCCESS);
  EXPECT_EQ(attrLen, 8u);
  attrLen = 2;
  EXPECT_EQ(a_.GetAttrib(h, SCARD_ATTR_VENDOR_NAME, attr, &attrLen), SCARD_E_INSUFFICIENT_BUFFER);
  DWORD version = 0;
  attrLen = sizeof version;
  ASSERT_EQ(a_.GetAttrib(h, SCARD_ATTR_VENDOR_IFD_VERSION, reinterpret_cast<uint8_t*>(&version),
                         &attrLen),
            SCARD_S_SUCCESS);
  EXPECT_EQ(version >> 24, 1u);
  EXPECT_EQ(a_.GetAttrib(h, 0x7FFF0001, attr, &attrLen), SCARD_E_UNSUPPORTED_FEATURE);

  EXPECT_EQ(Tx(h, "00A40000023F00"), 0x9000u);
  ASSERT_EQ(a_.Disconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(a_.Disconnect(h, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
  LONG rc = 0;
  Tx(h, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_E_INVALID_HANDLE);

  Connect("Sim C", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_E_NO_SMARTCARD);
  Connect("Nobody", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_E_UNKNOWN_READER);
  Connect("Sim A", SCARD_SHARE_SHARED, 0, SCARD_E_INVALID_VALUE);
  SCARDHANDLE d = Connect("Sim C", SCARD_SHARE_DIRECT, 0);  // direct use needs no card
  EXPECT_EQ(a_.Disconnect(d, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(a_.Connect(ctx_, "Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, nullptr, &active),
            SCARD_E_INVALID_PARAMETER);
}

TEST_F(Pcsc, ExclusiveUseKeepsOthersOut) {
  SCARDHANDLE h1 = Connect("Sim A", SCARD_SHARE_EXCLUSIVE);
  Connect("Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(Tx(h1, "00A40000023F00"), 0x9000u);
  ASSERT_EQ(a_.Disconnect(h1, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  SCARDHANDLE h2 = Connect("Sim A");
  Connect("Sim A", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, SCARD_E_SHARING_VIOLATION);
  SCARDHANDLE h3 = Connect("Sim A");
  DWORD active;
  EXPECT_EQ(a_.Reconnect(h3, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_E_SHARING_VIOLATION);
  ASSERT_EQ(a_.Disconnect(h3, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);

  // another application takes the card
  ASSERT_EQ(a_.HoldExclusive("Sim A", 1), 0);
  Connect("Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_E_SHARING_VIOLATION);
  LONG rc = 0;
  Tx(h2, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(a_.Begin(h2), SCARD_E_SHARING_VIOLATION);
  ASSERT_EQ(a_.HoldExclusive("Sim A", 0), 0);
  EXPECT_EQ(Tx(h2, "00A40000023F00"), 0x9000u);
  EXPECT_EQ(a_.HoldExclusive("Nobody", 1), -1);
  a_.Disconnect(h2, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, T0ConnectionsNeedGetResponseAndCorrectLe) {
  SCARDHANDLE h = 0;
  DWORD active = 0;
  ASSERT_EQ(a_.Connect(ctx_, "Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &active),
            SCARD_S_SUCCESS);
  EXPECT_EQ(active, DWORD(SCARD_PROTOCOL_T0));
  unsigned sw = Tx(h, "00A40000023F00", SCARD_PROTOCOL_T0);
  ASSERT_EQ(sw & 0xFF00, 0x6100u);
  EXPECT_TRUE(data_.empty());
  char le[3];
  snprintf(le, sizeof le, "%02X", sw & 0xFF);
  ASSERT_EQ(Tx(h, std::string("00C00000") + le, SCARD_PROTOCOL_T0), 0x9000u);
  ASSERT_FALSE(data_.empty());
  EXPECT_EQ(data_[0], 0x62);
  // the other protocol's PCI is refused; a second connection must take T=0
  LONG rc = 0;
  Tx(h, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_E_PROTO_MISMATCH);
  Connect("Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_E_PROTO_MISMATCH);
  // wrong Le on a READ BINARY: 6Cxx names the right one
  ASSERT_EQ(Tx(h, "00A4080C0450155701", SCARD_PROTOCOL_T0), 0x9000u);
  EXPECT_EQ(Tx(h, "00B0000000", SCARD_PROTOCOL_T0), 0x6C24u);  // the data object has 36 bytes
  EXPECT_EQ(Tx(h, "00B0000024", SCARD_PROTOCOL_T0), 0x9000u);
  EXPECT_EQ(data_.size(), 36u);
  // a receive buffer that is too small
  std::vector<uint8_t> apdu = Unhex("00B0000010");
  uint8_t small[4];
  DWORD len = sizeof small;
  EXPECT_EQ(a_.Transmit(h, a_.T0, apdu.data(), DWORD(apdu.size()), nullptr, small, &len),
            SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, 18u);
  len = sizeof small;
  EXPECT_EQ(a_.Transmit(h, a_.T0, apdu.data(), 2, nullptr, small, &len), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(a_.Transmit(h, nullptr, apdu.data(), 5, nullptr, small, &len),
            SCARD_E_INVALID_PARAMETER);
  a_.Disconnect(h, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, InjectedStatusWordsAndTheApduLog) {
  SCARDHANDLE h = Connect("Sim A");
  ASSERT_EQ(a_.ClearLog("Sim A"), 0);
  ASSERT_EQ(a_.InjectSw("Sim A", 0xA4, 0x6A82, 1), 0);
  EXPECT_EQ(Tx(h, "00A40000023F00"), 0x6A82u);
  EXPECT_EQ(Tx(h, "00A4000C023F00"), 0x9000u);
  EXPECT_EQ(Log("Sim A"), "> 00A40000023F00\n< 6A82\n> 00A4000C023F00\n< 9000\n");
  char tiny[5];
  EXPECT_EQ(a_.GetLog("Sim A", tiny, sizeof tiny), Log("Sim A").size() + 1);
  EXPECT_STREQ(tiny, "> 00");
  // Taking the log empties it only when the whole text fitted.
  const std::string whole = Log("Sim A");
  EXPECT_EQ(a_.TakeLog("Sim A", tiny, sizeof tiny), whole.size() + 1);
  EXPECT_EQ(Log("Sim A"), whole);
  std::string taken(whole.size() + 1, '\0');
  EXPECT_EQ(a_.TakeLog("Sim A", &taken[0], taken.size()), whole.size() + 1);
  EXPECT_STREQ(taken.c_str(), whole.c_str());
  EXPECT_EQ(Log("Sim A"), "");
  EXPECT_EQ(a_.InjectSw("Sim C", 0xA4, 0x6A82, 1), -2);  // no card
  EXPECT_EQ(a_.InjectSw("Sim A", 0x200, 0x6A82, 1), -2);
  EXPECT_EQ(a_.ClearLog("Nobody"), -1);
  a_.Disconnect(h, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, PausedCommandWaitsUntilResumedAndSeesWhatHappenedMeanwhile) {
  SCARDHANDLE h = Connect("Sim A");
  ASSERT_EQ(a_.ClearLog("Sim A"), 0);
  EXPECT_EQ(a_.WaitPaused("Sim A", 0), -3);  // nothing waits
  ASSERT_EQ(a_.Pause("Sim A", 0xB0), 0);
  EXPECT_EQ(Tx(h, "00A4000C023F00"), 0x9000u);  // another instruction runs
  unsigned sw = 0;
  std::thread reader([&] { sw = Tx(h, "00B0000004"); });
  ASSERT_EQ(a_.WaitPaused("Sim A", 60000), 0);
  EXPECT_EQ(Log("Sim A"), "> 00A4000C023F00\n< 9000\n# paused\n");
  ASSERT_EQ(a_.Resume("Sim A"), 0);
  reader.join();
  EXPECT_EQ(sw, 0x6986u);  // the MF is no EF: the command ran after the pause
  EXPECT_EQ(Log("Sim A"), "> 00A4000C023F00\n< 9000\n# paused\n> 00B0000004\n< 6986\n");

  // A card pulled while the command waits: the command sees it gone.
  ASSERT_EQ(a_.Pause("Sim A", 0x100), 0);
  LONG rc = 0;
  std::thread pulled([&] { Tx(h, "00A40000023F00", SCARD_PROTOCOL_T1, &rc); });
  ASSERT_EQ(a_.WaitPaused("Sim A", 60000), 0);
  ASSERT_EQ(a_.Remove("Sim A"), 0);
  ASSERT_EQ(a_.Resume("Sim A"), 0);
  pulled.join();
  EXPECT_EQ(rc, SCARD_W_REMOVED_CARD);

  // A pause that nothing reached is disarmed by Resume.
  ASSERT_EQ(a_.Insert("Sim A", cardA_.c_str()), 0);
  ASSERT_EQ(a_.Pause("Sim A", 0xA4), 0);
  ASSERT_EQ(a_.Resume("Sim A"), 0);
  DWORD active = 0;
  ASSERT_EQ(a_.Reconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active), SCARD_S_SUCCESS);
  EXPECT_EQ(Tx(h, "00A40000023F00"), 0x9000u);
  EXPECT_EQ(a_.Pause("Sim A", 0x101), -2);
  EXPECT_EQ(a_.Pause("Nobody", 0xA4), -1);
  EXPECT_EQ(a_.WaitPaused("Nobody", 0), -1);
  a_.Disconnect(h, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, StatusChangesOnInsertionAndRemovalWithTimeouts) {
  SCARD_READERSTATE st[1];
  memset(st, 0, sizeof st);
  st[0].szReader = "Sim C";
  st[0].dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(a_.GetStatusChange(ctx_, 0, st, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_CHANGED);
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_EMPTY);
  st[0].dwCurrentState = st[0].dwEventState & ~DWORD(SCARD_STATE_CHANGED);
  EXPECT_EQ(a_.GetStatusChange(ctx_, 0, st, 1), SCARD_E_TIMEOUT);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(a_.GetStatusChange(ctx_, 50, st, 1), SCARD_E_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));

  // a card arrives while we wait
  std::string image = CopyCard(dir_, "blank-model4.card");
  std::thread inserter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    a_.Insert("Sim C", image.c_str());
  });
  ASSERT_EQ(a_.GetStatusChange(ctx_, 10000, st, 1), SCARD_S_SUCCESS);
  inserter.join();
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_PRESENT);
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_CHANGED);
  EXPECT_EQ(st[0].cbAtr, 20u);
  EXPECT_EQ(st[0].rgbAtr[0], 0x3B);
  DWORD counter = st[0].dwEventState >> 16;

  // and leaves
  st[0].dwCurrentState = st[0].dwEventState & ~DWORD(SCARD_STATE_CHANGED);
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a_.Remove("Sim C");
  });
  ASSERT_EQ(a_.GetStatusChange(ctx_, INFINITE, st, 1), SCARD_S_SUCCESS);
  remover.join();
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_EMPTY);
  EXPECT_EQ(st[0].dwEventState >> 16, counter + 1);

  // connecting shows as "in use"
  st[0].szReader = "Sim A";
  st[0].dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(a_.GetStatusChange(ctx_, 0, st, 1), SCARD_S_SUCCESS);
  st[0].dwCurrentState = st[0].dwEventState & ~DWORD(SCARD_STATE_CHANGED);
  SCARDHANDLE h = Connect("Sim A");
  ASSERT_EQ(a_.GetStatusChange(ctx_, 1000, st, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(st[0].dwEventState & SCARD_STATE_INUSE);
  a_.Disconnect(h, SCARD_LEAVE_CARD);

  // unknown readers, the PnP pseudo reader, cancellation
  SCARD_READERSTATE two[2];
  memset(two, 0, sizeof two);
  two[0].szReader = "Nobody";
  two[1].szReader = "\\\\?PnP?\\Notification";
  two[1].dwCurrentState = 3u << 16;
  ASSERT_EQ(a_.GetStatusChange(ctx_, 0, two, 2), SCARD_S_SUCCESS);
  EXPECT_TRUE(two[0].dwEventState & SCARD_STATE_UNKNOWN);
  EXPECT_TRUE(two[0].dwEventState & SCARD_STATE_CHANGED);
  two[0].dwCurrentState = SCARD_STATE_UNKNOWN;  // known to be unknown: no change, a timeout
  EXPECT_EQ(a_.GetStatusChange(ctx_, 20, two, 1), SCARD_E_TIMEOUT);
  EXPECT_FALSE(two[1].dwEventState & SCARD_STATE_CHANGED);
  std::thread adder([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a_.AddReader("Sim D");
  });
  ASSERT_EQ(a_.GetStatusChange(ctx_, 10000, &two[1], 1), SCARD_S_SUCCESS);
  adder.join();
  EXPECT_EQ(two[1].dwEventState >> 16, 4u);

  st[0].szReader = "Sim B";
  st[0].dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(a_.GetStatusChange(ctx_, 0, st, 1), SCARD_S_SUCCESS);
  st[0].dwCurrentState = st[0].dwEventState & ~DWORD(SCARD_STATE_CHANGED);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a_.Cancel(ctx_);
  });
  EXPECT_EQ(a_.GetStatusChange(ctx_, INFINITE, st, 1), SCARD_E_CANCELLED);
  canceller.join();
  EXPECT_EQ(a_.GetStatusChange(ctx_, 0, nullptr, 1), SCARD_E_INVALID_PARAMETER);
}

TEST_F(Pcsc, ResetsAndRemovalReachOpenHandles) {
  SCARDHANDLE h1 = Connect("Sim A");
  SCARDHANDLE h2 = Connect("Sim A");
  ASSERT_EQ(Tx(h1, "00A40800025015"), 0x9000u);
  ASSERT_EQ(Tx(h1, "0020008108 31323334FFFFFFFF"), 0x9000u);

  ASSERT_EQ(a_.ResetByOther("Sim A"), 0);
  LONG rc = 0;
  Tx(h1, "00200081", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_RESET_CARD);
  DWORD state, proto, nameLen = 0, atrLen = 0;
  EXPECT_EQ(a_.Status(h1, nullptr, &nameLen, &state, &proto, nullptr, &atrLen), SCARD_W_RESET_CARD);
  EXPECT_EQ(a_.Begin(h1), SCARD_W_RESET_CARD);
  DWORD active = 0;
  ASSERT_EQ(a_.Reconnect(h1, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_S_SUCCESS);
  ASSERT_EQ(Tx(h1, "00A40800025015"), 0x9000u);
  EXPECT_EQ(Tx(h1, "00200081"), 0x63C3u);  // the reset forgot the verification
  EXPECT_NE(Log("Sim A").find("# reset by another application"), std::string::npos);

  // a reset through another handle
  ASSERT_EQ(a_.Reconnect(h2, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_S_SUCCESS);
  ASSERT_EQ(a_.Disconnect(h2, SCARD_RESET_CARD), SCARD_S_SUCCESS);
  Tx(h1, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_RESET_CARD);
  ASSERT_EQ(a_.Reconnect(h1, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, &active),
            SCARD_S_SUCCESS);
  EXPECT_EQ(Tx(h1, "00A40000023F00"), 0x9000u);
  ASSERT_EQ(a_.Reset("Sim A"), 0);
  Tx(h1, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_RESET_CARD);
  ASSERT_EQ(a_.Reconnect(h1, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_S_SUCCESS);

  // removal, and a card that is back is another card until the handle reconnects
  ASSERT_EQ(a_.Remove("Sim A"), 0);
  Tx(h1, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_REMOVED_CARD);
  EXPECT_EQ(a_.Reconnect(h1, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_E_NO_SMARTCARD);
  ASSERT_EQ(a_.Insert("Sim A", cardA_.c_str()), 0);
  Tx(h1, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_REMOVED_CARD);
  ASSERT_EQ(a_.Reconnect(h1, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active),
            SCARD_S_SUCCESS);
  EXPECT_EQ(Tx(h1, "00A40000023F00"), 0x9000u);
  EXPECT_EQ(a_.Insert("Sim A", dir_.File("missing.card").c_str()), -2);
  a_.Disconnect(h1, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, MuteCardIsPresentButUnusable) {
  SCARDHANDLE h = Connect("Sim A");
  SCARD_READERSTATE st{};
  st.szReader = "Sim A";
  ASSERT_EQ(a_.GetStatusChange(ctx_, 0, &st, 1), SCARD_S_SUCCESS);
  st.dwCurrentState = st.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
  ASSERT_EQ(a_.SetMute("Sim A", 1), 0);
  ASSERT_EQ(a_.GetStatusChange(ctx_, 1000, &st, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(st.dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_MUTE),
            DWORD(SCARD_STATE_PRESENT | SCARD_STATE_MUTE));
  LONG rc = 0;
  Tx(h, "00A40000023F00", SCARD_PROTOCOL_T1, &rc);
  EXPECT_EQ(rc, SCARD_W_UNRESPONSIVE_CARD);
  Connect("Sim A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_W_UNRESPONSIVE_CARD);
  ASSERT_EQ(a_.SetMute("Sim A", 0), 0);
  EXPECT_EQ(Tx(h, "00A40000023F00"), 0x9000u);
  // a new card answers again
  ASSERT_EQ(a_.SetMute("Sim B", 1), 0);
  ASSERT_EQ(a_.Insert("Sim B", cardB_.c_str()), 0);
  SCARDHANDLE hb = Connect("Sim B");
  EXPECT_EQ(Tx(hb, "00A40000023F00"), 0x9000u);
  a_.Disconnect(hb, SCARD_LEAVE_CARD);
  a_.Disconnect(h, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, CardChangesOutliveRemovalAndReinsertion) {
  SCARDHANDLE h = Connect("Sim A");
  ASSERT_EQ(Tx(h, "00A40800025015"), 0x9000u);
  ASSERT_EQ(Tx(h, "0020008108 31323334FFFFFFFF"), 0x9000u);
  ASSERT_EQ(Tx(h, "00A40200025701"), 0x9000u);
  ASSERT_EQ(Tx(h, "00D6000003 112233"), 0x9000u);
  a_.Disconnect(h, SCARD_LEAVE_CARD);
  ASSERT_EQ(a_.Remove("Sim A"), 0);
  ASSERT_EQ(a_.Insert("Sim B", cardA_.c_str()), 0);  // the same card in another reader
  h = Connect("Sim B");
  ASSERT_EQ(Tx(h, "00A408000450155701"), 0x9000u);
  ASSERT_EQ(Tx(h, "00B0000003"), 0x9000u);
  EXPECT_EQ(ToHex(data_), "112233");
  a_.Disconnect(h, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, TransactionsMakeOtherHandlesWait) {
  SCARDHANDLE h1 = Connect("Sim A");
  SCARDHANDLE h2 = Connect("Sim A");
  ASSERT_EQ(a_.Begin(h1), SCARD_S_SUCCESS);
  ASSERT_EQ(a_.Begin(h1), SCARD_S_SUCCESS);  // the holder may ask again
  EXPECT_EQ(a_.End(h2, SCARD_LEAVE_CARD), SCARD_E_NOT_TRANSACTED);
  std::atomic<int> stage{0};
  std::thread other([&] {
    stage = 1;
    if (a_.Begin(h2) == SCARD_S_SUCCESS) stage = 2;
    unsigned sw = Tx(h2, "00A40000023F00");
    a_.End(h2, SCARD_LEAVE_CARD);
    if (sw == 0x9000) stage = 3;
  });
  while (stage == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stage.load(), 1);  // still waiting
  EXPECT_EQ(Tx(h1, "00A40000023F00"), 0x9000u);
  ASSERT_EQ(a_.End(h1, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  other.join();
  EXPECT_EQ(stage.load(), 3);

  // a transmit by another handle waits too; disconnecting lets go
  ASSERT_EQ(a_.Begin(h1), SCARD_S_SUCCESS);
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    Tx(h2, "0084000008");
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(sent.load());
  ASSERT_EQ(a_.Disconnect(h1, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  sender.join();
  EXPECT_TRUE(sent.load());
  a_.Disconnect(h2, SCARD_LEAVE_CARD);
}

TEST_F(Pcsc, ManyThreadsTransmitAtOnce) {
  constexpr int kThreads = 8, kRounds = 200;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SCARDCONTEXT c = 0;
      if (a_.Establish(SCARD_SCOPE_USER, nullptr, nullptr, &c) != SCARD_S_SUCCESS) return;
      SCARDHANDLE h = 0;
      DWORD active = 0;
      const char* reader = t % 2 ? "Sim A" : "Sim B";
      if (a_.Connect(c, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &active) == 0) {
        for (int i = 0; i < kRounds; ++i) {
          std::vector<uint8_t> apdu = Unhex(i % 2 ? "0084000008" : "00A40000023F00");
          uint8_t buf[300];
          DWORD len = sizeof buf;
          if (a_.Begin(h) != SCARD_S_SUCCESS) continue;
          if (a_.Transmit(h, a_.T1, apdu.data(), DWORD(apdu.size()), nullptr, buf, &len) == 0 &&
              len >= 2 && buf[len - 2] == 0x90)
            ++good;
          a_.End(h, SCARD_LEAVE_CARD);
        }
        a_.Disconnect(h, SCARD_LEAVE_CARD);
      }
      a_.Release(c);
    });
  }
  std::thread watcher([&] {
    SCARD_READERSTATE st{};
    st.szReader = "Sim A";
    for (int i = 0; i < 20; ++i) {
      a_.GetStatusChange(ctx_, 5, &st, 1);
      st.dwCurrentState = st.dwEventState & ~DWORD(SCARD_STATE_CHANGED);
    }
  });
  for (auto& t : threads) t.join();
  watcher.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
}

}  // namespace
