// Readers as slots through the exported functions, with the card simulator
// configured in ~/.MIRTAL/pkcs11.conf. Every scenario runs in its own process.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "smartcard/sc_errors.h"
#include "tests/pkcs11impl/bridge_host.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kR1 = "CardSim Reader 1";
const char* const kR2 = "CardSim Reader 2";

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

CK_SLOT_INFO Info(const Module& m, CK_SLOT_ID id) {
  CK_SLOT_INFO info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(CKR_OK, m->C_GetSlotInfo(id, &info)) << id;
  return info;
}

CK_C_INITIALIZE_ARGS OsArgs(CK_FLAGS flags) {
  CK_C_INITIALIZE_ARGS a;
  std::memset(&a, 0, sizeof a);
  a.flags = flags;
  return a;
}

}  // namespace

TEST(ModuleBridge, ReadersTimesTokensGiveTheSlotsInReaderOrder) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "blank-model3.card"}, {kR2, ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  const std::vector<CK_SLOT_ID> all = Slots(m, CK_FALSE);
  ASSERT_EQ(9u, all.size());
  for (CK_ULONG i = 0; i < 9; ++i) EXPECT_EQ(i, all[i]);
  for (CK_SLOT_ID id = 0; id < 9; ++id) {
    const CK_SLOT_INFO info = Info(m, id);
    const char* reader = id < 3 ? kR0 : id < 6 ? kR1 : kR2;
    EXPECT_EQ(Padded(reader, 64), Field(info.slotDescription, 64)) << id;
    EXPECT_EQ(Padded("CardSim", 32), Field(info.manufacturerID, 32)) << id;
  }
  // A card on the reader's first slot stands for the card itself; the other
  // slots hold no token; an empty reader has none at all.
  EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 0).flags);
  EXPECT_EQ(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 1).flags);
  EXPECT_EQ(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 2).flags);
  EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 3).flags);
  EXPECT_EQ(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 6).flags);
  // Versions: a connected card (T=1 chosen, shared) and the reader's version 1.0;
  // an empty reader has no protocol.
  const CK_SLOT_INFO connected = Info(m, 0);
  EXPECT_EQ(2, connected.hardwareVersion.major);
  EXPECT_EQ(1, connected.hardwareVersion.minor);
  EXPECT_EQ(1, connected.firmwareVersion.major);
  EXPECT_EQ(0, connected.firmwareVersion.minor);
  const CK_SLOT_INFO empty = Info(m, 6);
  EXPECT_EQ(16, empty.hardwareVersion.major);
  EXPECT_EQ(1, empty.hardwareVersion.minor);
  EXPECT_EQ(0, empty.firmwareVersion.major);

  CK_SLOT_INFO info;
  EXPECT_EQ(CKR_SLOT_ID_INVALID, m->C_GetSlotInfo(9, &info));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetSlotInfo(0, nullptr));
  // Exactly the count fits; one short is too small and reports the count.
  CK_SLOT_ID ids[9];
  CK_ULONG n = 8;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, m->C_GetSlotList(CK_FALSE, ids, &n));
  EXPECT_EQ(9u, n);
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, ids, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, TokenCountFromTheConfigurationNumbersTheSlots) {
  SimEnv env(Readers{{kR0, ""}, {kR1, ""}, {kR2, "blank-model3.card"}});
  env.Config("PKCS15MaxTokenCount = 2\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(6u, Slots(m, CK_FALSE).size());
  // Slot 4 is the first slot of the third reader.
  EXPECT_EQ(Padded(kR2, 64), Field(Info(m, 4).slotDescription, 64));
  EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, Info(m, 4).flags);
  EXPECT_EQ(Padded(kR1, 64), Field(Info(m, 3).slotDescription, 64));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, TokenQueriesOnCardsWithoutApplicationAndEmptyReaders) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(1, &ti));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(3, &ti));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetTokenInfo(0, nullptr));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, m->C_GetTokenInfo(6, &ti));
  // No session opens on a slot without a token.
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, RemovalAndInsertionAreSeenByTheNextCall) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  ASSERT_EQ(0, sim.Remove(kR0));
  EXPECT_EQ(0u, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_GetTokenInfo(0, &ti));
  // A card put into the other reader, and the first card back.
  ASSERT_EQ(0, sim.Insert(kR1, env.Card("blank-model3.card").c_str()));
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("pkcs15-model3.card").c_str()));
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 3).flags & CKF_TOKEN_PRESENT);
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(0, &ti));
  // Exchanged between two calls: still a card, connected anew.
  ASSERT_EQ(0, sim.Remove(kR0));
  ASSERT_EQ(0, sim.Insert(kR0, env.Card("blank-model1.card").c_str()));
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  // A card reset by someone else is taken back without losing it.
  ASSERT_EQ(0, sim.Reset(kR0));
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  // A mute card is not usable: no token on the first slot is recognised.
  ASSERT_EQ(0, sim.SetMute(kR0, 1));
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(0, &ti));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, UnchangedCardsCostOneStateQueryPerReaderAndNoCardCommand) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "pkcs15-model3-two-apps.card"}});
  env.Config("");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  // The first calls connect the cards and read them.
  const std::vector<CK_SLOT_ID> present = Slots(m, CK_TRUE);
  ASSERT_EQ((std::vector<CK_SLOT_ID>{0, 3, 4}), present);
  CK_TOKEN_INFO ti;
  for (CK_SLOT_ID id : present) ASSERT_EQ(CKR_OK, m->C_GetTokenInfo(id, &ti));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  sim.ClearLog(kR0);
  sim.ClearLog(kR1);
  // Each call below asks each reader it concerns once, and no card anything.
  size_t calls0 = 0, calls1 = 0;
  auto costs = [&](size_t r0, size_t r1, int line) {
    SCOPED_TRACE(line);
    calls0 += r0;
    calls1 += r1;
    EXPECT_EQ(calls0, sim.StateQueries(kR0));
    EXPECT_EQ(calls1, sim.StateQueries(kR1));
  };
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, nullptr, &n));
  costs(1, 1, __LINE__);
  CK_SLOT_ID ids[8];
  n = 8;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_TRUE, ids, &n));
  EXPECT_EQ(3u, n);
  costs(1, 1, __LINE__);
  n = 8;
  EXPECT_EQ(CKR_OK, m->C_GetSlotList(CK_FALSE, ids, &n));
  costs(0, 0, __LINE__);
  for (CK_SLOT_ID id : present) {
    EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(id, &ti));
    costs(id < 3, id >= 3, __LINE__);
  }
  CK_MECHANISM_TYPE mechs[20];
  n = 20;
  EXPECT_EQ(CKR_OK, m->C_GetMechanismList(4, mechs, &n));
  costs(0, 1, __LINE__);
  EXPECT_EQ("", sim.ApduLog(kR0));
  EXPECT_EQ("", sim.ApduLog(kR1));
  // Sessions come and go without a card command and with one query at most (the
  // opening runs the token's presence and write checks: the second finds the
  // reader checked in this call); the session query asks at most once a second.
  CK_SESSION_HANDLE other = 0;
  EXPECT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &other));
  EXPECT_GE(calls0 + 1, sim.StateQueries(kR0));
  calls0 = sim.StateQueries(kR0);
  EXPECT_EQ(CKR_OK, m->C_CloseSession(other));
  EXPECT_GE(calls0 + 1, sim.StateQueries(kR0));
  CK_SESSION_INFO si;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(CKR_OK, m->C_GetSessionInfo(h, &si));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_GE(calls1 + 1, sim.StateQueries(kR1));
  EXPECT_EQ("", sim.ApduLog(kR0));
  EXPECT_EQ("", sim.ApduLog(kR1));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, TokenPresentListHoldsTheFirstSlotOfAnUnsupportedCard) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "unknown-atr.card"}, {kR2, ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  // The PKCS#15 card's application and the unsupported card's first slot.
  const std::vector<CK_SLOT_ID> present = Slots(m, CK_TRUE);
  ASSERT_EQ(2u, present.size());
  EXPECT_EQ(0u, present[0]);
  EXPECT_EQ(3u, present[1]);
  CK_ULONG n = 1;
  CK_SLOT_ID one;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, m->C_GetSlotList(CK_TRUE, &one, &n));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetSlotList(CK_FALSE, nullptr, nullptr));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, NoReaderGivesAnEmptySlotList) {
  SimEnv env(Readers{});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_TRUE(Slots(m, CK_FALSE).empty());
  EXPECT_TRUE(Slots(m, CK_TRUE).empty());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, SlotDescriptionIsCutAtACharacterBoundary) {
  const std::string longAscii(70, 'A');
  const std::string utf8 = std::string(63, 'B') + "\xC5\xBC" + "CD";  // "ż" across byte 64
  SimEnv env(Readers{{longAscii, ""}, {utf8, ""}, {"Solo", ""}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  ASSERT_EQ(9u, Slots(m, CK_FALSE).size());
  EXPECT_EQ(std::string(64, 'A'), Field(Info(m, 0).slotDescription, 64));
  EXPECT_EQ(std::string(63, 'B') + " ", Field(Info(m, 3).slotDescription, 64));
  // Without a vendor text (no card connected) the first word of the name; cut like the description.
  EXPECT_EQ(std::string(32, 'A'), Field(Info(m, 0).manufacturerID, 32));
  EXPECT_EQ(Padded("Solo", 32), Field(Info(m, 6).manufacturerID, 32));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, AllowedReaderListChoosesAndOrdersNothingElse) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}, {kR2, "blank-model3.card"}});
  env.Config("AllowedReaderList = CardSim Reader 2|Other*|CardSim Reader 0\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  ASSERT_EQ(6u, Slots(m, CK_FALSE).size());
  EXPECT_EQ(Padded(kR0, 64), Field(Info(m, 0).slotDescription, 64));
  EXPECT_EQ(Padded(kR2, 64), Field(Info(m, 3).slotDescription, 64));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, WildcardAllowedListAndDisabledReaderOptions) {
  SimEnv env(Readers{{kR0, ""}, {kR1, ""}, {"Other Reader", ""}});
  // Reader 1 is disabled by its options and not named explicitly by any pattern
  // scoring above 0 ('*' scores 0); "CardSim*" names the others.
  env.Config("AllowedReaderList = CardSim Reader 0|*\n[Readers\\CardSim Reader 1]\nDisabled = 1\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  ASSERT_EQ(6u, Slots(m, CK_FALSE).size());
  EXPECT_EQ(Padded(kR0, 64), Field(Info(m, 0).slotDescription, 64));
  EXPECT_EQ(Padded("Other Reader", 64), Field(Info(m, 3).slotDescription, 64));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, ReaderOptionsReachTheReaderBeforeItConnects) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, "pkcs15-model3-two-apps.card"}, {kR2, "blank-model3.card"}});
  char scText[256];
  scGetErrorMessage(SC_E_CARD_PROTO_MISMATCH, scText, sizeof scText);
  // Reader 0 is held to T=0; reader 2 may use neither protocol.
  env.Config(
      "PKCS15Flags = 0x8000600\n"
      "[Readers\\CardSim Reader 0]\nDefaultProtocols = 1\nForceDefaultProtocols = 1\n"
      "[Readers\\CardSim Reader 2]\nDisableProtocols = 3\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_EQ(1, Info(m, 0).hardwareVersion.major);  // T=0
  EXPECT_EQ(2, Info(m, 3).hardwareVersion.major);  // T=1
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, m->C_GetTokenInfo(6, &ti));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  // The refused protocol is what the bridge's log reports for reader 2.
  EXPECT_TRUE(HasLine(StripLogPrefixes(env.Trace()), "PKCS#15: SCPkcs15Lib::CheckCardStateAndReconnectIfNeeded(reader=2)",
                      "stateChanged: true, rv=000000cf (" + std::string(scText) + ")"))
      << env.Trace();
  EXPECT_NE(env.Trace().find("stateChanged: true, rv=000000cf"), std::string::npos) << env.Trace();
}

TEST(ModuleBridge, UnknownBackEndNameFailsAndLeavesNothing) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.UserConfig("EnabledReaderSubsystems = TARVO-MELK, NOPE\nEnableLogging = 1\nLogFileName = " +
                 env.Path("trace.log") + "\nPKCS15Flags = 0x8000600\n");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_EQ(CKR_GENERAL_ERROR, m->C_Initialize(nullptr));
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_GetSlotList(CK_FALSE, nullptr, &n));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_Finalize(nullptr));
  EXPECT_NE(env.Trace().find("PKCS#15: SCPkcs15Lib::InitLib: niepoprawnie ustawiona lista aktywnych podsystemów "
                             "czytników kart: TARVO-MELK, NOPE"),
            std::string::npos)
      << env.Trace();
}

TEST(ModuleBridge, MissingLibraryIsToleratedUnlessLoadFailuresAreFatal) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.Config("PKCS15Flags = 0x8000600\n", env.Path("no-such-library.so") + ";Sim");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  EXPECT_TRUE(Slots(m, CK_FALSE).empty());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_NE(env.Trace().find("PKCS#15: SCPkcs15Lib::InitLib: Błąd przy wczytywaniu biblioteki Dravok '" +
                             env.Path("no-such-library.so") + "': "),
            std::string::npos)
      << env.Trace();
}

TEST(ModuleBridge, MissingLibraryWithFatalLoadFailuresFailsInitialisation) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.Config("PKCS15Flags = 0x8000640\n", env.Path("no-such-library.so") + ";Sim");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  EXPECT_EQ(CKR_FUNCTION_FAILED, m->C_Initialize(nullptr));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, ThreadCreationRefusedByTheHostWithWorkersOn) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_C_INITIALIZE_ARGS args = OsArgs(CKF_LIBRARY_CANT_CREATE_OS_THREADS | CKF_OS_LOCKING_OK);
  EXPECT_EQ(CKR_NEED_TO_CREATE_THREADS, m->C_Initialize(&args));
  // Neither OS locking nor callbacks: the workers' records cannot be locked.
  CK_C_INITIALIZE_ARGS none = OsArgs(0);
  EXPECT_EQ(CKR_CANT_LOCK, m->C_Initialize(&none));
  // Everything was released: a good call works.
  CK_C_INITIALIZE_ARGS ok = OsArgs(CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&ok));
  EXPECT_EQ(3u, Slots(m, CK_FALSE).size());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleBridge, ThreadCreationRefusedIsAcceptedWithoutWorkers) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {kR1, ""}});
  env.Config("PKCS15Flags = 0x200\n");
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  CK_C_INITIALIZE_ARGS args = OsArgs(CKF_LIBRARY_CANT_CREATE_OS_THREADS | CKF_OS_LOCKING_OK);
  ASSERT_EQ(CKR_OK, m->C_Initialize(&args));
  EXPECT_EQ(6u, Slots(m, CK_FALSE).size());
  // Without workers each call checks the card itself.
  EXPECT_EQ(CKF_TOKEN_PRESENT, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  ASSERT_EQ(0, sim.Remove(kR0));
  EXPECT_EQ(0u, Info(m, 0).flags & CKF_TOKEN_PRESENT);
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}
