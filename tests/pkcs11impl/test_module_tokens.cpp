// PKCS#15 applications of simulated cards as tokens, through the exported
// functions: token information, slot lists, sessions and mechanisms.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";

std::vector<CK_SLOT_ID> Slots(const Module& m, CK_BBOOL present) {
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(present, nullptr, &n));
  std::vector<CK_SLOT_ID> ids(n);
  if (n) {
    EXPECT_EQ(CKR_OK, m->C_GetSlotList(present, ids.data(), &n));
  }
  ids.resize(n);
  return ids;
}

// The card's serial number as the image holds it (hex text).
std::string ImageSerial(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("serial ", 0) == 0) return line.substr(7);
  return "";
}

// Upper-case hex of the last 8 bytes of a byte string, padded to 16.
std::string SerialField(const std::string& bytes) {
  const std::string tail = bytes.size() > 8 ? bytes.substr(bytes.size() - 8) : bytes;
  return Padded(testsupport::ToHex(tail, testsupport::HexCase::Upper), 16);
}

}  // namespace

TEST(ModuleTokens, Pkcs15ApplicationIsATokenWithItsTokenInfo) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  const std::vector<CK_SLOT_ID> present = Slots(m, CK_TRUE);
  ASSERT_EQ(1u, present.size());
  EXPECT_EQ(0u, present[0]);

  CK_TOKEN_INFO ti;
  std::memset(&ti, 0xEE, sizeof ti);
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(Padded("CardSim Token", 32), Field(ti.label, 32));
  EXPECT_EQ(Padded("CardSim", 32), Field(ti.manufacturerID, 32));
  EXPECT_EQ(Padded("CosmopolIC", 16), Field(ti.model, 16));
  // TokenInfo's serial number holds the card serial as text: the field shows its last 8 bytes in hex.
  const std::string serial = ImageSerial(env.Card("pkcs15-model3.card"));
  ASSERT_EQ(16u, serial.size());
  EXPECT_EQ(SerialField(serial), Field(ti.serialNumber, 16));
  EXPECT_EQ(CKF_TOKEN_INITIALIZED, ti.flags & CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(CKF_LOGIN_REQUIRED, ti.flags & CKF_LOGIN_REQUIRED);
  EXPECT_EQ(CKF_USER_PIN_INITIALIZED, ti.flags & CKF_USER_PIN_INITIALIZED);
  EXPECT_EQ(0u, ti.flags & CKF_WRITE_PROTECTED);
  EXPECT_EQ(Padded("", 16), Field(ti.utcTime, 16));
  EXPECT_EQ(CK_EFFECTIVELY_INFINITE, ti.ulMaxSessionCount);
  EXPECT_EQ(0u, ti.ulSessionCount);
  EXPECT_EQ(0u, ti.ulRwSessionCount);
  EXPECT_EQ(4u, ti.ulMinPinLen);
  EXPECT_EQ(16u, ti.ulMaxPinLen);
  // Slots of the reader without an application hold no token.
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(1, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(2, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(3, &ti));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetTokenInfo(0, nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, TwoApplicationsGiveTwoTokensOnOneReader) {
  SimEnv env(Readers{{kR0, "pkcs15-model3-two-apps.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  const std::vector<CK_SLOT_ID> present = Slots(m, CK_TRUE);
  ASSERT_EQ(2u, present.size());
  EXPECT_EQ(0u, present[0]);
  EXPECT_EQ(1u, present[1]);
  CK_TOKEN_INFO a, b;
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &a));
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(1, &b));
  EXPECT_EQ(Padded("CardSim Token", 32), Field(a.label, 32));
  EXPECT_EQ(Padded("CardSim Token 2", 32), Field(b.label, 32));
  CK_TOKEN_INFO c;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(2, &c));
  // Sessions are counted per token.
  CK_SESSION_HANDLE h1 = 0, h2 = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h1));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h2));
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(1, &b));
  EXPECT_EQ(2u, b.ulSessionCount);
  EXPECT_EQ(1u, b.ulRwSessionCount);
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &a));
  EXPECT_EQ(0u, a.ulSessionCount);
  EXPECT_EQ(CKR_OK, m->C_CloseSession(h1));
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(1, &b));
  EXPECT_EQ(1u, b.ulSessionCount);
  EXPECT_EQ(0u, b.ulRwSessionCount);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, BlankCardIsAnUninitialisedTokenOnTheFirstSlot) {
  SimEnv env(Readers{{kR0, "blank-model3.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  const std::vector<CK_SLOT_ID> present = Slots(m, CK_TRUE);
  ASSERT_EQ(1u, present.size());
  EXPECT_EQ(0u, present[0]);
  CK_TOKEN_INFO ti;
  ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(Padded("MIRTAL", 32), Field(ti.label, 32));
  EXPECT_EQ(0u, ti.flags & CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(CKF_WRITE_PROTECTED, ti.flags & CKF_WRITE_PROTECTED);
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(1, &ti));
  // A session opens on the card itself, for its initialisation.
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, SessionStatesAndArguments) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_SESSION_HANDLE ro = 0, rw = 0;
  EXPECT_EQ(CKR_SESSION_PARALLEL_NOT_SUPPORTED, m->C_OpenSession(0, 0, nullptr, nullptr, &ro));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, m->C_OpenSession(99, CKF_SERIAL_SESSION, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &rw));
  EXPECT_NE(ro, rw);
  CK_SESSION_INFO si;
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(ro, &si));
  EXPECT_EQ(0u, si.slotID);
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, si.state);
  EXPECT_EQ(CKF_SERIAL_SESSION, si.flags);
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(rw, &si));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, si.state);
  EXPECT_EQ(CKF_SERIAL_SESSION | CKF_RW_SESSION, si.flags);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetSessionInfo(rw, nullptr));
  EXPECT_EQ(CKR_OK, m->C_CloseSession(ro));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_CloseSession(ro));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(ro, &si));
  EXPECT_EQ(CKR_OK, m->C_CloseAllSessions(0));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(rw, &si));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, CardRemovalClosesTheSessions) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.Config("");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_SESSION_HANDLE h = 0, h2 = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h2));
  ASSERT_EQ(0, sim.Remove(kR0));
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_CLOSED, m->C_GetSessionInfo(h, &si));
  // The loss closed every session of the slot.
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(h2, &si));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(0, &ti));
  EXPECT_TRUE(Slots(m, CK_TRUE).empty());
  // The card back: a new session, and an exchange between calls closes it.
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str()));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(h, &si));
  ASSERT_EQ(0, sim.Remove(kR0));
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str()));
  // C_GetSessionInfo within a second of the last one answers from memory; any other call notices.
  EXPECT_EQ(CKR_SESSION_CLOSED, m->C_Logout(h));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(h, &si));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, MechanismsOfTheCard) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_ULONG n = 0;
  ASSERT_EQ(CKR_OK, m->C_GetMechanismList(0, nullptr, &n));
  ASSERT_GE(n, 1u);
  std::vector<CK_MECHANISM_TYPE> list(n);
  CK_ULONG small = 0;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, m->C_GetMechanismList(0, list.data(), &small));
  EXPECT_EQ(n, small);
  ASSERT_EQ(CKR_OK, m->C_GetMechanismList(0, list.data(), &n));
  EXPECT_EQ(CKM_RSA_PKCS, list[0]);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetMechanismList(0, nullptr, nullptr));
  for (CK_MECHANISM_TYPE mech : list) {
    CK_MECHANISM_INFO mi;
    ASSERT_EQ(CKR_OK, m->C_GetMechanismInfo(0, mech, &mi)) << mech;
    EXPECT_EQ(CKF_HW, mi.flags & CKF_HW);
    EXPECT_LE(mi.ulMinKeySize, mi.ulMaxKeySize);
  }
  CK_MECHANISM_INFO mi;
  ASSERT_EQ(CKR_OK, m->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi));
  EXPECT_EQ(CKF_SIGN, mi.flags & CKF_SIGN);
  EXPECT_EQ(CKR_MECHANISM_INVALID, m->C_GetMechanismInfo(0, CKM_SHA1_RSA_PKCS, &mi));
  EXPECT_EQ(CKR_MECHANISM_INVALID, m->C_GetMechanismInfo(0, CKM_SHA256_RSA_PKCS, &mi));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetMechanismInfo(0, CKM_RSA_PKCS, nullptr));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetMechanismList(3, nullptr, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleTokens, UnknownCardIsNotRecognisedOnItsFirstSlotOnly) {
  SimEnv env(Readers{{kR0, "unknown-atr.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(1, &ti));
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetMechanismList(0, nullptr, &n));
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}
