// Faults while the module is loaded, on the card-simulator back-end with the
// reader workers running: a card pulled, reset by another application, gone
// mute or taken exclusively by another application between two commands of
// one C_Login or one C_Sign; a card held by another application; a reader that
// leaves the simulator's configuration and comes back. Every call answers with
// the return value that the card result gives, the next calls find the slot as
// it now is, the card signs again once it is back, and its image is byte for
// byte what it was.
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/module_calls.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
CK_UTF8CHAR kUserPin[] = "1234";

enum Fault { kPulled = 1, kResetByOther = 2, kMute = 3, kTakenExclusively = 4 };

// The line the simulator's log shows where the fault happened.
std::string FaultLogLine(int fault) {
  switch (fault) {
    case kPulled: return "# removed";
    case kResetByOther: return "# reset by another application";
    case kMute: return "# mute";
    default: return "# held exclusively by another application";
  }
}

// What the module answers: the call that meets the fault, then C_GetTokenInfo
// and C_OpenSession on the slot while the fault lasts.
struct Answers {
  CK_RV during;
  CK_RV tokenInfo;
  CK_RV openSession;
};

Answers Expected(int fault) {
  switch (fault) {
    // The card's absence: the slot's sessions close with the call.
    case kPulled: return {CKR_DEVICE_REMOVED, CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_PRESENT};
    // A reset is no failure the card result table names; the card is taken
    // back at the next call as a changed card.
    case kResetByOther: return {CKR_GENERAL_ERROR, CKR_OK, CKR_OK};
    // A card that does not answer, or that another application holds, is not recognised.
    default: return {CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_NOT_RECOGNIZED};
  }
}

// A module over two simulated readers, each with a PKCS#15 card.
struct FaultHost {
  SimEnv env;
  std::string pristine;  // the first card's image as it was before the module ran
  CardSim sim;
  Module m;  // loaded once the configuration is written: it reads it at load time
  FaultHost()
      : env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "pkcs15-model3-two-apps.card"}}),
        pristine((env.Config(""), ReadFile(env.Card("pkcs15-model3.card")))) {}
  bool Start() { return sim.ok() && m.ok() && m->C_Initialize(nullptr) == CKR_OK; }
  ~FaultHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
  // The fault is over: the card is back, answers again or is let go.
  void Restore(int fault) {
    int rc = 0;
    if (fault == kPulled) rc = sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str());
    if (fault == kMute) rc = sim.SetMute(kR0, 0);
    if (fault == kTakenExclusively) rc = sim.HoldExclusive(kR0, 0);
    ASSERT_EQ(0, rc);
  }
};

}  // namespace

namespace {

// One fault between two commands of a login or a signature: the call's answer,
// the slot while the fault lasts, the other card untouched, and the card signing
// again and intact once the fault is over.
void FaultBetweenCommands(bool duringSignature, int fault) {
  const Answers want = Expected(fault);
  FaultHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  // A reference signature (PKCS #1 v1.5 is deterministic) and a session on the other card.
  CK_SESSION_HANDLE s = 0, other = 0;
  CK_OBJECT_HANDLE key = 0, otherKey = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  ASSERT_TRUE(OpenUserSession(m, 3, &other, &otherKey));
  std::vector<CK_BYTE> reference, sig;
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &reference));
  ASSERT_EQ(256u, reference.size());

  // The fault strikes after the selection that comes before the PIN's
  // verification, or after the security environment of the signature is set.
  CK_RV during;
  ASSERT_EQ(0, h.sim.ClearLog(kR0));
  if (duringSignature) {
    ASSERT_EQ(0, h.sim.AfterCommand(kR0, 0x22, fault));
    during = SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig);
  } else {
    ASSERT_EQ(CKR_OK, m->C_Logout(s));
    ASSERT_EQ(0, h.sim.AfterCommand(kR0, 0xA4, fault));
    during = m->C_Login(s, CKU_USER, kUserPin, 4);
  }
  EXPECT_EQ(want.during, during) << std::hex << during;
  const std::string log = h.sim.ApduLog(kR0);
  const size_t at = log.find(FaultLogLine(fault));
  ASSERT_NE(std::string::npos, at) << log;
  EXPECT_EQ(std::string::npos, log.find("> ", at)) << "a command reached the card after the fault:\n" << log;

  // The session is gone, at once or with the next call that asks the token.
  CK_SESSION_INFO si;
  const CK_RV next = m->C_GetSessionInfo(s, &si);
  EXPECT_EQ(fault == kPulled ? CKR_SESSION_HANDLE_INVALID : CKR_SESSION_CLOSED, next) << std::hex << next;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(s, &si));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(want.tokenInfo, m->C_GetTokenInfo(0, &ti));
  CK_SESSION_HANDLE probe = 0;
  const CK_RV open = m->C_OpenSession(0, kRw, nullptr, nullptr, &probe);
  EXPECT_EQ(want.openSession, open) << std::hex << open;
  if (open == CKR_OK) {
    EXPECT_EQ(CKR_OK, m->C_CloseSession(probe));
  }
  // The other card's session never noticed.
  EXPECT_EQ(CKR_OK, m->C_GetSessionInfo(other, &si));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, si.state);
  EXPECT_EQ(CKR_OK, SignOnce(m, other, otherKey, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));

  h.Restore(fault);
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  ASSERT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(reference, sig);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  ASSERT_EQ(0, h.sim.Remove(kR0));  // writes the image back
  EXPECT_EQ(h.pristine, ReadFile(h.env.Card("pkcs15-model3.card")));
}

}  // namespace

TEST(ModuleFaults, CardPulledDuringLogin) { FaultBetweenCommands(false, kPulled); }
TEST(ModuleFaults, CardResetByAnotherApplicationDuringLogin) { FaultBetweenCommands(false, kResetByOther); }
TEST(ModuleFaults, CardGoneMuteDuringLogin) { FaultBetweenCommands(false, kMute); }
TEST(ModuleFaults, CardTakenExclusivelyDuringLogin) { FaultBetweenCommands(false, kTakenExclusively); }
TEST(ModuleFaults, CardPulledDuringSignature) { FaultBetweenCommands(true, kPulled); }
TEST(ModuleFaults, CardResetByAnotherApplicationDuringSignature) { FaultBetweenCommands(true, kResetByOther); }
TEST(ModuleFaults, CardGoneMuteDuringSignature) { FaultBetweenCommands(true, kMute); }
TEST(ModuleFaults, CardTakenExclusivelyDuringSignature) { FaultBetweenCommands(true, kTakenExclusively); }

TEST(ModuleFaults, CardHeldByAnotherApplicationIsNotRecognisedUntilLetGo) {
  FaultHost h;
  ASSERT_TRUE(h.sim.ok());
  ASSERT_EQ(0, h.sim.HoldExclusive(kR0, 1));
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(0, &ti));
  CK_SESSION_HANDLE s = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  // The other reader's tokens are listed; the held card's slot is not.
  CK_SLOT_ID slots[9];
  CK_ULONG n = 9;
  ASSERT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ(std::vector<CK_SLOT_ID>({3, 4}), std::vector<CK_SLOT_ID>(slots, slots + n));

  ASSERT_EQ(0, h.sim.HoldExclusive(kR0, 0));
  n = 9;
  ASSERT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ(std::vector<CK_SLOT_ID>({0, 3, 4}), std::vector<CK_SLOT_ID>(slots, slots + n));
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> sig;
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
}

TEST(ModuleFaults, ReaderThatLeavesTheConfigurationIsGoneUntilItComesBack) {
  FaultHost h;
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  WriteFile(h.env.cards + "/without-reader-0.conf", std::string("reader ") + kR1 + "\ncard pkcs15-model3-two-apps.card\n");
  ASSERT_EQ(0, h.sim.LoadConfig((h.env.cards + "/without-reader-0.conf").c_str()));

  // The slots stay numbered as at start-up; the lost reader's slot holds no token.
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(6u, n);
  CK_SLOT_INFO info;
  ASSERT_EQ(CKR_OK, m->C_GetSlotInfo(0, &info));
  EXPECT_EQ(0u, info.flags & CKF_TOKEN_PRESENT);
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(s, &si));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  // The remaining reader came back with its card: a card seen anew.
  EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(3, &ti));

  ASSERT_EQ(0, h.sim.LoadConfig(nullptr));
  ASSERT_EQ(CKR_OK, m->C_GetSlotInfo(0, &info));
  EXPECT_EQ(CKF_TOKEN_PRESENT, info.flags & CKF_TOKEN_PRESENT);
  ASSERT_TRUE(OpenUserSession(m, 0, &s, &key));
  std::vector<CK_BYTE> sig;
  EXPECT_EQ(CKR_OK, SignOnce(m, s, key, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  ASSERT_EQ(0, h.sim.Remove(kR0));
  EXPECT_EQ(h.pristine, ReadFile(h.env.Card("pkcs15-model3.card")));
}
