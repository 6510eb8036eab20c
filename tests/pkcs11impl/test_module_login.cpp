// Logging in and PINs through the exported functions on simulated cards:
// session states, wrong and blocked PINs with the token flags, changing,
// setting and unblocking PINs, the vendor PIN calls, a card pulled while
// logged in, and PIN texts kept out of the trace log.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tools/cardsim/cardsim.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRo = CKF_SERIAL_SESSION;
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
const CK_ULONG kAllOnes = ~static_cast<CK_ULONG>(0);

// The card images' PINs.
CK_UTF8CHAR kUserPin[] = "1234";
CK_UTF8CHAR kPuk[] = "12345678";
CK_UTF8CHAR kSoPin[] = "87654321";
CK_UTF8CHAR kWrongPin[] = "9999";

// The vendor PIN calls of the module.
struct PinCalls {
  CK_RV (*GetPinList)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);
  CK_RV (*GetPinInfo)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, MIRTAL_PIN_INFO_PTR);
  CK_RV (*GetPinStatus)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR);
  CK_RV (*ChangePin)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
  CK_RV (*UnblockPin)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
  CK_RV (*InitPin)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG,
                   CK_UTF8CHAR_PTR, CK_ULONG);
  explicit PinCalls(const Module& m)
      : GetPinList(m.fn<decltype(GetPinList)>("MIRTAL_PKCS11_GetPinList")),
        GetPinInfo(m.fn<decltype(GetPinInfo)>("MIRTAL_PKCS11_GetPinInfo")),
        GetPinStatus(m.fn<decltype(GetPinStatus)>("MIRTAL_PKCS11_GetPinStatus")),
        ChangePin(m.fn<decltype(ChangePin)>("MIRTAL_PKCS11_ChangePin")),
        UnblockPin(m.fn<decltype(UnblockPin)>("MIRTAL_PKCS11_UnblockPin")),
        InitPin(m.fn<decltype(InitPin)>("MIRTAL_PKCS11_InitPin")) {}
  bool ok() const { return GetPinList && GetPinInfo && GetPinStatus && ChangePin && UnblockPin && InitPin; }

  std::vector<CK_OBJECT_HANDLE> List(CK_SESSION_HANDLE s) const {
    CK_ULONG n = 0;
    EXPECT_EQ(CKR_OK, GetPinList(s, nullptr, &n));
    std::vector<CK_OBJECT_HANDLE> pins(n);
    if (n) {
      EXPECT_EQ(CKR_OK, GetPinList(s, pins.data(), &n));
    }
    pins.resize(n);
    return pins;
  }
  CK_ULONG Status(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE pin) const {
    CK_ULONG st = 0xABCD;
    EXPECT_EQ(CKR_OK, GetPinStatus(s, pin, &st));
    return st;
  }
  MIRTAL_PIN_INFO Info(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE pin) const {
    MIRTAL_PIN_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    info.structSize = sizeof info;
    EXPECT_EQ(CKR_OK, GetPinInfo(s, pin, &info));
    return info;
  }
};

CK_STATE StateOf(const Module& m, CK_SESSION_HANDLE h) {
  CK_SESSION_INFO si;
  std::memset(&si, 0, sizeof si);
  EXPECT_EQ(CKR_OK, m->C_GetSessionInfo(h, &si));
  return si.state;
}

CK_FLAGS TokenFlags(const Module& m, CK_SLOT_ID slot) {
  CK_TOKEN_INFO ti;
  std::memset(&ti, 0, sizeof ti);
  EXPECT_EQ(CKR_OK, m->C_GetTokenInfo(slot, &ti));
  return ti.flags;
}

constexpr CK_FLAGS kUserPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

// A module over one simulated reader holding one card.
struct LoginHost {
  SimEnv env;
  bool configured;  // the configuration is written before the module loads and reads it
  CardSim sim;
  Module m;
  explicit LoginHost(const std::string& card, const std::string& extra = "")
      : env(Readers{{kR0, card}}), configured((env.Config(extra), true)) {}
  bool Start() { return configured && sim.ok() && m.ok() && m->C_Initialize(nullptr) == CKR_OK; }
  ~LoginHost() {
    if (m.ok()) m->C_Finalize(nullptr);
  }
};

}  // namespace

TEST(ModuleLogin, SessionStatesFollowLoginAndLogout) {
  LoginHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE ro = 0, rw = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &rw));
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, StateOf(m, ro));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, rw));

  // Arguments and user types come first.
  EXPECT_EQ(CKR_USER_TYPE_INVALID, m->C_Login(ro, 3, kUserPin, 4));
  EXPECT_EQ(CKR_USER_TYPE_INVALID, m->C_Login(ro, CKU_MIRTAL_USER_PUK, kUserPin, 4));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Login(ro, CKU_USER, nullptr, 4));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_Login(999, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Login(ro, CKU_CONTEXT_SPECIFIC, kUserPin, 4));
  // The officer cannot log in beside a read-only public session.
  EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS, m->C_Login(rw, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Logout(ro));

  ASSERT_EQ(CKR_OK, m->C_Login(ro, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, StateOf(m, ro));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(m, rw));
  EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, m->C_Login(rw, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, m->C_Login(rw, CKU_SO, kSoPin, 8));
  // A new session opens in the logged-in state.
  CK_SESSION_HANDLE third = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &third));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, StateOf(m, third));
  // Without context there is no per-operation login.
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Login(ro, CKU_CONTEXT_SPECIFIC, kUserPin, 4));

  ASSERT_EQ(CKR_OK, m->C_Logout(rw));
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, StateOf(m, ro));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, rw));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Logout(rw));

  // The security officer, once the read-only sessions are gone.
  ASSERT_EQ(CKR_OK, m->C_CloseSession(ro));
  ASSERT_EQ(CKR_OK, m->C_CloseSession(third));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKS_RW_SO_FUNCTIONS, StateOf(m, rw));
  EXPECT_EQ(CKR_SESSION_READ_WRITE_SO_EXISTS, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  // The last session closed logs the officer out: the next session is public again.
  ASSERT_EQ(CKR_OK, m->C_CloseSession(rw));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, StateOf(m, ro));
}

TEST(ModuleLogin, WrongPinCountsDownToALockThatThePukLifts) {
  LoginHost h("pkcs15-model3-puk.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  ASSERT_TRUE(pins.ok());
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  const std::vector<CK_OBJECT_HANDLE> list = pins.List(s);
  ASSERT_EQ(2u, list.size());  // the user PIN and the officer's; the PUK unblocks and is not listed
  const CK_OBJECT_HANDLE user = list[0];
  EXPECT_EQ(3u, pins.Status(s, user));
  EXPECT_EQ(0u, TokenFlags(m, 0) & kUserPinFlags);

  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, kWrongPin, 4));
  EXPECT_EQ(2u, pins.Status(s, user));
  EXPECT_EQ(CKF_USER_PIN_COUNT_LOW, TokenFlags(m, 0) & kUserPinFlags);
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, kWrongPin, 4));
  EXPECT_EQ(CKS_MIRTAL_PIN_LAST_TRY, pins.Status(s, user));
  EXPECT_EQ(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY, TokenFlags(m, 0) & kUserPinFlags);
  EXPECT_EQ(CKR_PIN_LOCKED, m->C_Login(s, CKU_USER, kWrongPin, 4));
  EXPECT_EQ(CKS_MIRTAL_PIN_BLOCKED, pins.Status(s, user));
  EXPECT_EQ(CKF_USER_PIN_LOCKED, TokenFlags(m, 0) & kUserPinFlags);
  // The right PIN no longer helps, and nobody is logged in.
  EXPECT_EQ(CKR_PIN_LOCKED, m->C_Login(s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, s));

  // A wrong PUK counts against the PUK only.
  EXPECT_EQ(CKR_PIN_INCORRECT, pins.UnblockPin(s, user, kWrongPin, 4, kUserPin, 4));
  EXPECT_EQ(CKS_MIRTAL_PIN_BLOCKED, pins.Status(s, user));
  // The new value is the one typed: it logs in, the old one does not.
  CK_UTF8CHAR next[] = "5678";
  ASSERT_EQ(CKR_OK, pins.UnblockPin(s, user, kPuk, 8, next, 4));
  EXPECT_EQ(3u, pins.Status(s, user));
  EXPECT_EQ(0u, TokenFlags(m, 0) & kUserPinFlags);
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, next, 4));
  EXPECT_EQ(CKS_MIRTAL_PIN_STATUS_OK, pins.Status(s, user));  // verified
}

TEST(ModuleLogin, PinsAreNeverCutOrTriedWithInvalidText) {
  LoginHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  const CK_OBJECT_HANDLE user = pins.List(s).at(0);
  // Nine characters whose first eight would pass for a PIN of stored length 8: refused, no try spent.
  CK_UTF8CHAR longer[] = "123499999";
  EXPECT_EQ(CKR_PIN_LEN_RANGE, m->C_Login(s, CKU_USER, longer, 9));
  CK_UTF8CHAR withNul[] = {'1', '2', '3', '4', 0, '9'};
  EXPECT_EQ(CKR_PIN_INVALID, m->C_Login(s, CKU_USER, withNul, sizeof withNul));
  std::vector<CK_UTF8CHAR> huge(100000, '1');
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_Login(s, CKU_USER, huge.data(), huge.size()));
  EXPECT_EQ(3u, pins.Status(s, user));
  // A new PIN too long for the card is refused before the old one is checked.
  EXPECT_EQ(CKR_PIN_LEN_RANGE, m->C_SetPIN(s, kUserPin, 4, longer, 9));
  EXPECT_EQ(3u, pins.Status(s, user));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, kUserPin, 4));
}

TEST(ModuleLogin, SetPinChangesTheUserPinAndBack) {
  LoginHost h("pkcs15-model3-puk.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE ro = 0, rw = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &rw));
  CK_UTF8CHAR other[] = "5678";
  EXPECT_EQ(CKR_SESSION_READ_ONLY, m->C_SetPIN(ro, kUserPin, 4, other, 4));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_SetPIN(rw, kUserPin, 4, nullptr, 4));
  // Nobody logged in: the user's PIN is changed.
  ASSERT_EQ(CKR_OK, m->C_SetPIN(rw, kUserPin, 4, other, 4));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(rw, CKU_USER, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_USER, other, 4));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_SetPIN(rw, kWrongPin, 4, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_SetPIN(rw, other, 4, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_Logout(rw));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_USER, kUserPin, 4));
  // The officer changes the officer's PIN.
  ASSERT_EQ(CKR_OK, m->C_Logout(rw));
  ASSERT_EQ(CKR_OK, m->C_CloseSession(ro));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_SO, kSoPin, 8));
  CK_UTF8CHAR newSo[] = "11223344";
  ASSERT_EQ(CKR_OK, m->C_SetPIN(rw, kSoPin, 8, newSo, 8));
  ASSERT_EQ(CKR_OK, m->C_Logout(rw));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(rw, CKU_SO, kSoPin, 8));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_SO, newSo, 8));
  ASSERT_EQ(CKR_OK, m->C_SetPIN(rw, newSo, 8, kSoPin, 8));
}

TEST(ModuleLogin, OfficerSetsTheUserPinOfATokenItGuards) {
  // The second application's user PIN is guarded by the SO PIN.
  LoginHost h("pkcs15-model3-two-apps.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(1, kRw, nullptr, nullptr, &s));
  CK_UTF8CHAR fresh[] = "4321";
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_InitPIN(s, fresh, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_InitPIN(s, fresh, 4));
  ASSERT_EQ(CKR_OK, m->C_Logout(s));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_InitPIN(s, nullptr, 4));
  ASSERT_EQ(CKR_OK, m->C_InitPIN(s, fresh, 4));
  ASSERT_EQ(CKR_OK, m->C_Logout(s));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, kUserPin, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, fresh, 4));
  ASSERT_EQ(CKR_OK, m->C_SetPIN(s, fresh, 4, kUserPin, 4));
  // The first token of the card is untouched.
  CK_SESSION_HANDLE first = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &first));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, first));
  ASSERT_EQ(CKR_OK, m->C_Login(first, CKU_USER, kUserPin, 4));
  // A card's refusal of a PIN command answers a value of the function's list. The card holds the SO PIN
  // at 8 octets, the token's records give it 16: where the card refuses the SO PIN for its length (6700:
  // nothing counted) the reset sends it once in the other form; the SO's login that showed the 8 sends them.
  ASSERT_EQ(CKR_OK, m->C_Logout(s));
  const struct { unsigned ins, sw; CK_RV rv; } rows[] = {
      {0x24, 0x6982, CKR_FUNCTION_FAILED}, {0x24, 0x6984, CKR_FUNCTION_FAILED}, {0x24, 0x6700, CKR_PIN_LEN_RANGE},
      {0x2C, 0x6984, CKR_FUNCTION_FAILED}, {0x2C, 0x6983, CKR_FUNCTION_FAILED}, {0x2C, 0x6700, CKR_OK}};
  for (const auto& row : rows) {
    SCOPED_TRACE(Fmt("%02X answered %04X", row.ins, row.sw));
    ASSERT_EQ(0, h.sim.InjectSw(kR0, row.ins, row.sw, 1));
    if (row.ins == 0x24) {
      EXPECT_EQ(row.rv, m->C_SetPIN(s, kUserPin, 4, fresh, 4));
      continue;
    }
    ASSERT_EQ(row.ins == 0x20 ? row.rv : CKR_OK, m->C_Login(s, CKU_SO, kSoPin, 8));
    EXPECT_EQ(row.rv, row.ins == 0x2C ? m->C_InitPIN(s, fresh, 4) : CKR_OK);
    ASSERT_EQ(CKR_OK, m->C_Logout(s));
  }
}

TEST(ModuleLogin, VendorPinListAndInformation) {
  LoginHost h("pkcs15-model3-puk.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  ASSERT_TRUE(pins.ok());
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &s));

  // The two-call rule of the list.
  CK_ULONG n = 0;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pins.GetPinList(s, nullptr, nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, pins.GetPinList(s + 100, nullptr, &n));
  ASSERT_EQ(CKR_OK, pins.GetPinList(s, nullptr, &n));
  ASSERT_EQ(2u, n);
  CK_OBJECT_HANDLE buf[3] = {0, 0, 0xCAFE};
  CK_ULONG small = 1;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, pins.GetPinList(s, buf, &small));
  EXPECT_EQ(2u, small);
  EXPECT_EQ(0u, buf[0]);  // nothing written into a short array
  n = 3;
  ASSERT_EQ(CKR_OK, pins.GetPinList(s, buf, &n));
  ASSERT_EQ(2u, n);
  EXPECT_EQ(0xCAFEu, buf[2]);
  EXPECT_NE(buf[0], buf[1]);
  // The handles stay the same from call to call.
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>(buf, buf + 2), pins.List(s));

  // The user PIN comes first.
  const MIRTAL_PIN_INFO user = pins.Info(s, buf[0]);
  EXPECT_EQ(Padded("User PIN", 64), Field(user.label, 64));
  EXPECT_EQ(1u, user.pinId);
  EXPECT_EQ(static_cast<CK_USER_TYPE>(CKU_USER), user.userType);
  EXPECT_EQ(4, user.minLen);
  EXPECT_EQ(8, user.maxLen);
  EXPECT_EQ(CKF_MIRTAL_PIN_IS_USER_PIN | CKF_MIRTAL_PIN_USED_FOR_LOG_IN | CKF_MIRTAL_PIN_CAN_BE_UNBLOCKED |
                CKF_MIRTAL_PIN_PROTECTS_FOR_INIT_ONLY,
            user.flags);
  // Its own authentication object is the PUK; the officer's PIN stands in on this card model.
  EXPECT_EQ(3u, user.unblockPinId);
  const MIRTAL_PIN_INFO so = pins.Info(s, buf[1]);
  EXPECT_EQ(Padded("SO PIN", 64), Field(so.label, 64));
  EXPECT_EQ(3u, so.pinId);
  EXPECT_EQ(static_cast<CK_USER_TYPE>(CKU_SO), so.userType);
  EXPECT_EQ(kAllOnes, so.unblockPinId);
  // The card follows a known profile, where a card-wide officer's PIN is global.
  EXPECT_EQ(CKF_MIRTAL_PIN_IS_SO_PIN | CKF_MIRTAL_PIN_USED_FOR_LOG_IN | CKF_MIRTAL_PIN_GLOBAL, so.flags);

  // The record's size is checked; unknown handles are refused.
  MIRTAL_PIN_INFO bad;
  std::memset(&bad, 0, sizeof bad);
  bad.structSize = sizeof bad - 8;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pins.GetPinInfo(s, buf[0], &bad));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pins.GetPinInfo(s, buf[0], nullptr));
  bad.structSize = sizeof bad;
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, pins.GetPinInfo(s, 0, &bad));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, pins.GetPinInfo(s, 0x7777, &bad));
  CK_ULONG st = 0;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pins.GetPinStatus(s, buf[0], nullptr));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, pins.GetPinStatus(s, 0x7777, &st));
  EXPECT_EQ(kAllOnes, st);
  // A PIN's handle names no object nor key.
  CK_ATTRIBUTE cls = {CKA_CLASS, &st, sizeof st};
  CK_MECHANISM sign = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetAttributeValue(s, buf[0], &cls, 1));
  EXPECT_EQ(CKR_KEY_HANDLE_INVALID, m->C_SignInit(s, &sign, buf[0]));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_DestroyObject(s, buf[0]));
  // The SO's PIN does not set a user PIN only its PUK resets: the caller is told whose it is to do.
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, pins.InitPin(s, buf[0], kSoPin, 8, kPuk, 8, nullptr, 0));
}

TEST(ModuleLogin, VendorChangeAndSetOfPins) {
  LoginHost h("pkcs15-model3-two-apps.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(1, kRw, nullptr, nullptr, &s));
  const std::vector<CK_OBJECT_HANDLE> list = pins.List(s);
  ASSERT_EQ(2u, list.size());
  const CK_OBJECT_HANDLE user = list[0];
  // The second application's user PIN names the officer's PIN as the one that unblocks it.
  const MIRTAL_PIN_INFO info = pins.Info(s, user);
  EXPECT_EQ(3u, info.unblockPinId);
  EXPECT_EQ(0u, info.flags & CKF_MIRTAL_PIN_CAN_BE_UNBLOCKED);

  CK_UTF8CHAR other[] = "2468";
  EXPECT_EQ(CKR_PIN_INCORRECT, pins.ChangePin(s, user, kWrongPin, 4, other, 4));
  EXPECT_EQ(2u, pins.Status(s, user));
  ASSERT_EQ(CKR_OK, pins.ChangePin(s, user, kUserPin, 4, other, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, other, 4));
  ASSERT_EQ(CKR_OK, m->C_Logout(s));

  // Setting the PIN anew: arguments first, then the officer's right.
  EXPECT_EQ(CKR_ARGUMENTS_BAD, pins.InitPin(s, user, nullptr, 0, nullptr, 0, nullptr, 0));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, pins.InitPin(s, 0x7777, nullptr, 0, kUserPin, 4, nullptr, 0));
  CK_UTF8CHAR tooShort[] = "12";
  EXPECT_EQ(CKR_PIN_LEN_RANGE, pins.InitPin(s, user, nullptr, 0, tooShort, 2, nullptr, 0));
  // With the officer's PIN as the authorising PIN.
  ASSERT_EQ(CKR_OK, pins.InitPin(s, user, kSoPin, 8, kUserPin, 4, nullptr, 0));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, other, 4));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, kUserPin, 4));
}

TEST(ModuleLogin, BlankCardShowsItsOwnPins) {
  LoginHost h("blank-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  const std::vector<CK_OBJECT_HANDLE> list = pins.List(s);
  // The officer's PIN of the card's profile.
  CK_OBJECT_HANDLE hSo = 0;
  for (CK_OBJECT_HANDLE p : list)
    if (pins.Info(s, p).userType == CKU_SO) hSo = p;
  ASSERT_NE(0u, hSo);
  const MIRTAL_PIN_INFO so = pins.Info(s, hSo);
  EXPECT_EQ(2u, so.pinId);
  EXPECT_EQ(16, so.maxLen);
  EXPECT_EQ(4, so.minLen);
  EXPECT_EQ(kAllOnes, so.unblockPinId);
  EXPECT_EQ(Padded("PIN administratora", 64), Field(so.label, 64));
  EXPECT_EQ(3u, pins.Status(s, hSo));
  // No PKCS#15 structure: nothing to log in to, nothing to change.
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, m->C_Login(s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, m->C_SetPIN(s, kUserPin, 4, kUserPin, 4));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, pins.ChangePin(s, list[0], kSoPin, 8, kSoPin, 8));
}

TEST(ModuleLogin, BlankModelOneCardShowsItsOfficersPin) {
  LoginHost h("blank-model1.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  bool seen = false;
  for (CK_OBJECT_HANDLE p : pins.List(s)) {
    const MIRTAL_PIN_INFO info = pins.Info(s, p);
    if (info.userType != CKU_SO) continue;
    seen = true;
    EXPECT_EQ(2u, info.pinId);
    EXPECT_EQ(8, info.maxLen);
    EXPECT_EQ(Padded("PIN administratora", 64), Field(info.label, 64));
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, m->C_Login(s, CKU_SO, kSoPin, 8));
}

TEST(ModuleLogin, CardNotActivatedRefusesLoginsAndNewPins) {
  LoginHost h("ias-not-activated.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, m->C_Login(s, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, m->C_Login(s, CKU_SO, kSoPin, 8));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_Login(s, CKU_CONTEXT_SPECIFIC, kUserPin, 4));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, m->C_SetPIN(s, kUserPin, 4, kUserPin, 4));
  const std::vector<CK_OBJECT_HANDLE> list = pins.List(s);
  ASSERT_EQ(2u, list.size());
  for (CK_OBJECT_HANDLE p : list) {
    // The card's PINs are not usable before activation; setting one needs the agent.
    EXPECT_EQ(CKS_MIRTAL_PIN_NOT_INITIALIZED, pins.Status(s, p));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, pins.InitPin(s, p, nullptr, 0, kUserPin, 4, nullptr, 0));
  }
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Logout(s));
}

TEST(ModuleLogin, CardPulledWhileLoggedInGivesAFreshTokenOnReturn) {
  LoginHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE a = 0, b = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &a));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &b));
  ASSERT_EQ(CKR_OK, m->C_Login(a, CKU_USER, kUserPin, 4));
  ASSERT_EQ(0, h.sim.Remove(kR0));
  const CK_RV rv = m->C_Logout(a);
  EXPECT_TRUE(rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED) << rv;
  // Every session of the slot is gone.
  CK_SESSION_INFO si;
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(a, &si));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(b, &si));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, m->C_OpenSession(0, kRw, nullptr, nullptr, &a));
  // Back in the reader, the card is a token that needs a new login.
  ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card("pkcs15-model3.card").c_str()));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &a));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, a));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_Logout(a));
  ASSERT_EQ(CKR_OK, m->C_Login(a, CKU_USER, kUserPin, 4));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(m, a));

  // Pulled and put back between two calls: the next call notices the exchange.
  ASSERT_EQ(0, h.sim.Remove(kR0));
  ASSERT_EQ(0, h.sim.Insert(kR0, h.env.Card("pkcs15-model3.card").c_str()));
  EXPECT_EQ(CKR_SESSION_CLOSED, m->C_Logout(a));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(a, &si));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &a));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(m, a));
}

TEST(ModuleLogin, SessionInfoAsksTheTokenAtMostOnceASecond) {
  LoginHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRo, nullptr, nullptr, &s));
  CK_SESSION_INFO si;
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(s, &si));
  EXPECT_EQ(0u, si.ulDeviceError);  // the slot's stored card result: success
  usleep(5000);
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(s, &si));
  // A card pulled inside the window is not seen by C_GetSessionInfo until the window ends.
  ASSERT_EQ(0, h.sim.Remove(kR0));
  usleep(5000);
  ASSERT_EQ(CKR_OK, m->C_GetSessionInfo(s, &si));
  usleep(1100 * 1000);
  EXPECT_EQ(CKR_SESSION_CLOSED, m->C_GetSessionInfo(s, &si));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, m->C_GetSessionInfo(s, &si));
  const std::string trace = StripLogPrefixes(h.env.Trace());
  EXPECT_TRUE(HasLine(trace, "PKCS#11: C_GetSessionInfo() [inside]   <CKR_OK> QUERY TOKEN: initial check", ""));
  EXPECT_TRUE(HasLine(trace, "PKCS#11: C_GetSessionInfo() [inside]   <CKR_OK> NO TOKEN QUERY: diff = ", " ms"));
  EXPECT_TRUE(HasLine(trace, "PKCS#11: C_GetSessionInfo() [inside]   <CKR_OK> QUERY TOKEN: diff = ", " ms"));
}

TEST(ModuleLogin, PinTextsNeverReachTheTraceLog) {
  LoginHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start()) << h.m.error();
  const Module& m = h.m;
  PinCalls pins(m);
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  CK_UTF8CHAR a[] = "24681357", b[] = "97531864";
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_Login(s, CKU_USER, a, 8));
  EXPECT_EQ(CKR_PIN_INCORRECT, m->C_SetPIN(s, a, 8, b, 8));
  EXPECT_EQ(CKR_PIN_INCORRECT, pins.UnblockPin(s, pins.List(s).at(0), a, 8, b, 8));
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, kUserPin, 4));
  const std::string trace = h.env.Trace();
  ASSERT_NE(std::string::npos, trace.find("C_Login"));
  EXPECT_EQ(std::string::npos, trace.find("24681357"));
  EXPECT_EQ(std::string::npos, trace.find("97531864"));
  EXPECT_EQ(std::string::npos, trace.find("32 34 36 38"));  // not even as bytes
}


namespace {

// A PIN as another program asks it: from the DF of a path below the master file ("" for a global one).
struct PinProbe {
  const char* path;
  unsigned ref;
};

// Another program's commands: every answer but the last is 9000, the last one is refused (6982).
using OtherCommands = std::vector<std::string>;
// It sets an SO PIN to eight '6' without knowing it (CHANGE REFERENCE DATA, P1=01).
OtherCommands TakeSoPin(unsigned ref) { return {"002401" + OtherProgram::Hex2(ref) + "083636363636363636"}; }
// It signs with the holder's key of the model-3 token.
const OtherCommands kSignWithHoldersKey = {"00A4080C025015", "002241B603840101", "002A9E9A14" + std::string(40, '0')};

void ExpectOtherProgramMay(const char* when, const std::vector<PinProbe>& forgotten,
                           const std::vector<OtherCommands>& refused, const std::vector<PinProbe>& kept = {}) {
  SCOPED_TRACE(when);
  OtherProgram other(kR0);
  for (const PinProbe& p : forgotten) {
    const std::string state = other.PinState(p.ref, p.path);
    EXPECT_TRUE(state.size() == 4 && state != "9000") << OtherProgram::Hex2(p.ref) << " " << p.path << ": " << state;
  }
  for (const PinProbe& p : kept) EXPECT_EQ("9000", other.PinState(p.ref, p.path)) << OtherProgram::Hex2(p.ref);
  for (const OtherCommands& c : refused) {
    for (size_t i = 0; i + 1 < c.size(); ++i) ASSERT_EQ("9000", other.Send(c[i])) << c[i];
    EXPECT_EQ("6982", other.Send(c.back())) << c.back();
  }
}

CK_RV InitToken(const Module& m) {
  CK_UTF8CHAR label[33] = "Token                           ";
  return m->C_InitToken(0, kSoPin, 8, label);
}

const CK_USER_TYPE kNobody = kAllOnes;
CK_SESSION_HANDLE g_lastSession = 0;  // the last one Session opened
// A read-write session of the slot, logged in as `user` unless nobody; 0 when a step fails.
CK_SESSION_HANDLE Session(const Module& m, CK_SLOT_ID slot, CK_USER_TYPE user = kNobody) {
  CK_SESSION_HANDLE s = 0;
  if (m->C_OpenSession(slot, kRw, nullptr, nullptr, &s) != CKR_OK) return 0;
  g_lastSession = s;
  if (user == kNobody) return s;
  return m->C_Login(s, user, user == CKU_SO ? kSoPin : kUserPin, user == CKU_SO ? 8 : 4) == CKR_OK ? s : 0;
}

// The SO makes a token on a blank card and gives it a user PIN.
CK_RV MakeToken(const Module& m) {
  CK_RV rv = InitToken(m);
  if (rv == CKR_OK) rv = m->C_InitPIN(Session(m, 0, CKU_SO), kUserPin, 4);
  (void)m->C_CloseAllSessions(0);
  return rv;
}

CK_RV InitializeCard(LoginHost& h, bool initialised, const std::string& token = "") {
  const std::string profile = h.env.Path("profile.ini");
  WriteFile(profile, "OutputPinFile = " + h.env.Path("pins.txt") + "\n[Podpis]\nUserPin = 1111\n" + token);
  if (!initialised && h.m->C_Finalize(nullptr) != CKR_OK) return CKR_CANCEL;
  const int done = h.m.fn<int (*)(const char*, const char*)>("InitializeCard")(kR0, profile.c_str());
  return (initialised || h.m->C_Initialize(nullptr) == CKR_OK) && done == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
}

// The PINs as the simulator names them ("3F00/5015 81").
std::vector<std::string> Named(const std::vector<PinProbe>& pins) {
  std::vector<std::string> out;
  for (const PinProbe& p : pins) {
    std::string df = "3F00";
    for (size_t at = 0; at + 4 <= std::strlen(p.path); at += 4) df += "/" + std::string(p.path + at, 4);
    out.push_back(df + " " + OtherProgram::Hex2(p.ref));
  }
  return out;
}

// The PIN of the slot's token whose label is `label`.
CK_OBJECT_HANDLE PinLabelled(const Module& m, CK_SESSION_HANDLE s, const std::string& label) {
  const PinCalls pins(m);
  for (CK_OBJECT_HANDLE pin : pins.List(s))
    if (Field(pins.Info(s, pin).label, label.size()) == label) return pin;
  return 0;
}

// A reset by another application right after the call's command `k` (counted from 0).
std::function<CK_RV(LoginHost&)> ResetByOtherAfter(int k, std::function<CK_RV(LoginHost&)> call) {
  return [k, call](LoginHost& h) {
    const auto after = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(dlsym(h.sim.handle, "CardSimAfterCommands"));
    if (after == nullptr || after(kR0, 0x100, CARDSIM_AFTER_RESET_BY_OTHER, k) != 0) return CKR_CANCEL;
    const CK_RV rv = call(h);
    const bool fired = h.sim.ApduLog(kR0).find("# reset by another application") != std::string::npos;
    (void)after(kR0, 0x100, CARDSIM_AFTER_NOTHING, 0);
    return fired ? rv : CKR_CANCEL;
  };
}

// The card goes mute (or another program holds it) right after the call's `skip`-th command with INS
// `ins` (counted from 0); once the call returns, the card answers again and the host makes its next call.
std::function<CK_RV(LoginHost&)> FaultAfter(unsigned ins, int skip, int event, std::function<CK_RV(LoginHost&)> call,
                                            std::function<void(LoginHost&)> next) {
  return [=](LoginHost& h) {
    const auto after = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(dlsym(h.sim.handle, "CardSimAfterCommands"));
    if (after == nullptr || after(kR0, ins, event, skip) != 0) return CKR_CANCEL;
    const CK_RV rv = call(h);
    const std::string log = h.sim.ApduLog(kR0);
    const bool fired = log.find(event == CARDSIM_AFTER_MUTE ? "# mute" : "# held exclusively") != std::string::npos;
    (void)after(kR0, ins, CARDSIM_AFTER_NOTHING, 0);
    if (h.sim.SetMute(kR0, 0) != 0 || h.sim.HoldExclusive(kR0, 0) != 0 || !fired) return CKR_CANCEL;
    next(h);
    return rv;
  };
}

}  // namespace

// The card's security state is shared by every program on the reader. After each call that
// verifies a PIN outside a login, whatever it answers, another program finds none of those PINs
// verified (a VERIFY without data does not answer 9000) and is refused what they allow, while the
// caller's process runs on and after C_Finalize; a login of this process keeps its PIN until it ends.
TEST(ModuleLogin, NoPinACallVerifiedStaysVerifiedForAnotherProgram) {
  CK_UTF8CHAR other[] = "5678";
  using Call = std::function<CK_RV(LoginHost&)>;
  const Call initToken = [](LoginHost& h) { return InitToken(h.m); };
  const Call again = [](LoginHost& h) { return MakeToken(h.m) == CKR_OK ? InitToken(h.m) : CKR_CANCEL; };
  const Call initializeCard = [](LoginHost& h) { return InitializeCard(h, true); };
  // The card, not the module, chooses the PIN that unblocks: here the SO's.
  const auto unblockWithSoPin = [&](CK_SLOT_ID slot) {
    return [&, slot](LoginHost& h) {
      const CK_SESSION_HANDLE s = Session(h.m, slot);
      return PinCalls(h.m).UnblockPin(s, PinCalls(h.m).List(s).at(0), kSoPin, 8, other, 4);
    };
  };
  struct Row {
    const char* name;
    const char* card;
    Call call;
    CK_RV answer;
    std::vector<PinProbe> forgotten;
    std::vector<OtherCommands> refused;
    std::vector<PinProbe> keptWhileLoggedIn = {};  // verified until C_Finalize, forgotten after
    std::string config = "";
    int resets = -1;             // the card's resets in the call (the simulator's "# reset" lines); -1: not counted
    CK_STATE state = kAllOnes;   // of the last session the call opened, after it; kAllOnes: not asked
  };
  // The card answers over the channel, and the answer to the command a prefix names
  // fails its check on the way back: the command counts as carried out. Another
  // program's probes in clear mean nothing on that card: the simulator's list tells.
  const std::string channel = "EnableSecureMessaging = 1\nPKCS15Flags = 0x8000600\n";
  const auto lost = [](const char* prefix, Call call) {
    return [prefix, call](LoginHost& h) { return h.sim.CorruptDataOn(kR0, prefix, 0, 1) == 0 ? call(h) : CKR_CANCEL; };
  };
  // The card misstates a PIN it holds verified when asked for its state (VERIFY without data), after the login.
  const auto misstated = [&](CK_USER_TYPE user, unsigned sw) {
    return [&, user, sw](LoginHost& h) {
      const CK_SESSION_HANDLE s = Session(h.m, 0, user);
      const char* prefix = user == CKU_SO ? "00200004" : "00200081";
      if (s == 0 || h.sim.InjectSwOn(kR0, prefix, sw, 0, 1) != 0) return CKR_CANCEL;
      std::vector<CK_BYTE> sig;
      return user == CKU_SO ? h.m->C_InitPIN(s, other, 4)
                            : modulecalls::SignOnce(h.m, s, modulecalls::FindOne(h.m, s, CKO_PRIVATE_KEY), CKM_RSA_PKCS,
                                                    modulecalls::DigestInfoOfAbc(), &sig);
    };
  };
  const auto login = [](CK_USER_TYPE user) {
    return [user](LoginHost& h) {
      return h.m->C_Login(Session(h.m, 0), user, user == CKU_SO ? kSoPin : kUserPin, user == CKU_SO ? 8 : 4);
    };
  };
  // The host's next call, once the card answers again.
  const auto reopen = [](LoginHost& h) { (void)Session(h.m, 0); };
  // The user logged in, the card goes mute before `call`, and answers again for the next call.
  const auto mutedAt = [&](Call call) {
    return [&, call](LoginHost& h) {
      if (Session(h.m, 0, CKU_USER) == 0 || h.sim.SetMute(kR0, 1) != 0) return CKR_CANCEL;
      const CK_RV rv = call(h);
      if (h.sim.SetMute(kR0, 0) != 0) return CKR_CANCEL;
      reopen(h);
      return rv;
    };
  };
  const Row rows[] = {
      {"C_InitToken on blank model 1", "blank-model1.card", initToken, CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(2), TakeSoPin(1)}},
      {"C_InitToken on blank model 3", "blank-model3.card", initToken, CKR_OK, {{"", 4}}, {TakeSoPin(4)}},
      {"C_InitToken on blank model 4", "blank-model4.card", initToken, CKR_OK, {{"", 1}}, {TakeSoPin(1)}},
      {"C_InitToken on blank model 7", "blank-model7.card", initToken, CKR_OK, {{"", 1}, {"", 4}}, {TakeSoPin(1), TakeSoPin(4)}},
      {"C_InitToken again on model 1", "blank-model1.card", again, CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(2)}},
      {"C_InitToken again on model 7", "blank-model7.card", again, CKR_OK, {{"", 1}, {"", 4}}, {TakeSoPin(1)}},
      {"C_InitToken the card refuses after the SO's value", "blank-model3.card",
       [](LoginHost& h) { return h.sim.InjectSw(kR0, 0xE0, 0x6A84, 1) == 0 ? InitToken(h.m) : CKR_CANCEL; },
       CKR_DEVICE_MEMORY, {{"", 4}}, {TakeSoPin(4)}},
      {"InitializeCard on blank model 4", "blank-model4.card", [](LoginHost& h) { return InitializeCard(h, true); },
       CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"InitializeCard without C_Initialize", "blank-model4.card", [](LoginHost& h) { return InitializeCard(h, false); },
       CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"the SO's C_InitPIN", "pkcs15-model3.card", [&](LoginHost& h) { return h.m->C_InitPIN(Session(h.m, 0, CKU_SO), other, 4); },
       CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}, {{"", 4}}},
      {"C_SetPIN without a login", "pkcs15-model3.card",
       [&](LoginHost& h) { return h.m->C_SetPIN(Session(h.m, 0), kUserPin, 4, other, 4); }, CKR_OK, {{"5015", 0x81}},
       {kSignWithHoldersKey}},
      {"C_SetPIN while the user is logged in in another session", "pkcs15-model3.card",
       [&](LoginHost& h) { return Session(h.m, 0, CKU_USER) ? h.m->C_SetPIN(Session(h.m, 0), kUserPin, 4, other, 4) : CKR_CANCEL; },
       CKR_OK, {}, {}, {{"5015", 0x81}}},
      {"MIRTAL_PKCS11_ChangePin without a login", "pkcs15-model3.card",
       [&](LoginHost& h) {
         const CK_SESSION_HANDLE s = Session(h.m, 0);
         return PinCalls(h.m).ChangePin(s, PinCalls(h.m).List(s).at(0), kUserPin, 4, other, 4);
       },
       CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}},
      {"MIRTAL_PKCS11_UnblockPin without a login", "pkcs15-model3-puk.card",
       [&](LoginHost& h) {
         const CK_SESSION_HANDLE s = Session(h.m, 0);
         return PinCalls(h.m).UnblockPin(s, PinCalls(h.m).List(s).at(0), kPuk, 8, other, 4);
       },
       CKR_OK, {{"5015", 0x81}, {"5015", 0x82}}, {kSignWithHoldersKey}},
      {"MIRTAL_PKCS11_InitPin with the SO's PIN", "pkcs15-model3-two-apps.card",
       [&](LoginHost& h) {
         const CK_SESSION_HANDLE s = Session(h.m, 1);
         return PinCalls(h.m).InitPin(s, PinCalls(h.m).List(s).at(0), kSoPin, 8, other, 4, nullptr, 0);
       },
       CKR_OK, {{"", 4}, {"5016", 0x81}}, {TakeSoPin(4)}},
      {"MIRTAL_PKCS11_UnblockPin without a login, the SO's PIN as PUK", "pkcs15-model3.card", unblockWithSoPin(0),
       CKR_OK, {{"", 4}, {"5015", 0x81}}, {TakeSoPin(4)}},
      {"the same on the second token of two", "pkcs15-model3-two-apps-puk.card", unblockWithSoPin(1),
       CKR_OK, {{"", 4}, {"5016", 0x81}}, {TakeSoPin(4)}},
      {"the same on the inner of nested tokens", "pkcs15-model3-nested-apps-puk.card", unblockWithSoPin(0),
       CKR_OK, {{"", 4}, {"50155016", 0x81}}, {TakeSoPin(4)}},
      {"C_InitToken, the card reset by another application after command 30", "blank-model3.card",
       ResetByOtherAfter(30, initToken), CKR_OK, {{"", 4}}, {TakeSoPin(4)}},
      {"C_InitToken, the card reset by another application after command 50", "blank-model3.card",
       ResetByOtherAfter(50, initToken), CKR_OK, {{"", 4}}, {TakeSoPin(4)}},
      {"C_InitToken, the card reset by another application after command 100", "blank-model1.card",
       ResetByOtherAfter(100, initToken), CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(2), TakeSoPin(1)}},
      {"InitializeCard, the card reset by another application after command 70", "blank-model4.card",
       ResetByOtherAfter(70, initializeCard), CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"InitializeCard, the card reset by another application after command 100", "blank-model4.card",
       ResetByOtherAfter(100, initializeCard), CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"C_SetPIN without a login on the inner token while the outer one's user is logged in",
       "pkcs15-model3-nested-apps-puk.card",
       [&](LoginHost& h) { return Session(h.m, 1, CKU_USER) ? h.m->C_SetPIN(Session(h.m, 0), kUserPin, 4, other, 4) : CKR_CANCEL; },
       CKR_OK, {{"50155016", 0x81}}, {}, {{"5015", 0x81}}},
      {"MIRTAL_PKCS11_ChangePin of the qualified PIN", "qualified-model3.card",
       [](LoginHost& h) {
         CK_UTF8CHAR qualified[] = "123456";
         const CK_SESSION_HANDLE s = Session(h.m, 0);
         return PinCalls(h.m).ChangePin(s, PinLabelled(h.m, s, "PIN kwalifikowany"), qualified, 6, qualified, 6);
       },
       CKR_OK, {{"5015", 0x83}}, {}},
      {"MIRTAL_PKCS11_UnblockPin with the user's PUK on a token InitializeCard made", "blank-model4.card",
       [&](LoginHost& h) {
         CK_UTF8CHAR puk[] = "22223333";
         if (InitializeCard(h, true, "UserPuk = 22223333\n") != CKR_OK) return CKR_CANCEL;
         const CK_SESSION_HANDLE s = Session(h.m, 0);
         return PinCalls(h.m).UnblockPin(s, PinCalls(h.m).List(s).at(0), puk, 8, other, 4);
       },
       CKR_OK, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"C_SetPIN without a login, the card answers 'no such PIN' when asked to forget it", "pkcs15-model3.card",
       [&](LoginHost& h) {
         return h.sim.InjectSwOn(kR0, "0020FF", 0x6A88, 0, 1) == 0 ? h.m->C_SetPIN(Session(h.m, 0), kUserPin, 4, other, 4)
                                                                    : CKR_CANCEL;
       },
       CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}},
      // The card's termination rule names the user PIN, made global; the card refuses the termination.
      {"MIRTAL_PKCS11_TerminateTokenUsage the card refuses", "qualified-model1-visible.card",
       [](LoginHost& h) {
         const auto terminate = h.m.fn<CK_RV (*)(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG)>("MIRTAL_PKCS11_TerminateTokenUsage");
         return h.sim.InjectSw(kR0, 0xFE, 0x6985, 1) == 0 ? terminate(0, kUserPin, 4) : CKR_CANCEL;
       },
       CKR_DEVICE_ERROR, {{"", 0x81}}, {}},
      {"the SO's C_InitPIN, the card answers 6983 for the SO PIN it holds verified", "pkcs15-model3.card",
       misstated(CKU_SO, 0x6983), CKR_USER_NOT_LOGGED_IN, {{"", 4}}, {TakeSoPin(4)}},
      {"the SO's C_InitPIN, 63C0", "pkcs15-model3.card", misstated(CKU_SO, 0x63C0), CKR_USER_NOT_LOGGED_IN, {{"", 4}},
       {TakeSoPin(4)}},
      {"the SO's C_InitPIN, 6A88", "pkcs15-model3.card", misstated(CKU_SO, 0x6A88), CKR_USER_NOT_LOGGED_IN, {{"", 4}},
       {TakeSoPin(4)}},
      {"the user's C_Sign, the card answers 6983 for the PIN it holds verified", "pkcs15-model3.card",
       misstated(CKU_USER, 0x6983), CKR_USER_NOT_LOGGED_IN, {{"5015", 0x81}}, {kSignWithHoldersKey}},
      {"the user's C_Sign, 63C0", "pkcs15-model3.card", misstated(CKU_USER, 0x63C0), CKR_USER_NOT_LOGGED_IN, {{"5015", 0x81}},
       {kSignWithHoldersKey}},
      {"the user's C_Sign, 6A88", "pkcs15-model3.card", misstated(CKU_USER, 0x6A88), CKR_USER_NOT_LOGGED_IN, {{"5015", 0x81}},
       {kSignWithHoldersKey}},
      {"the user's C_Login, its answer lost", "ias-dh-channel.card", lost("0C200081", login(CKU_USER)),
       CKR_DEVICE_ERROR, {}, {}, {}, channel},
      {"the SO's C_Login, its answer lost", "ias-dh-channel.card", lost("0C200004", login(CKU_SO)),
       CKR_DEVICE_ERROR, {}, {}, {}, channel},
      {"C_SetPIN without a login, its answer lost", "ias-dh-channel.card",
       lost("0C240081", [&](LoginHost& h) { return h.m->C_SetPIN(Session(h.m, 0), kUserPin, 4, other, 4); }),
       CKR_DEVICE_ERROR, {}, {}, {}, channel},
      {"MIRTAL_PKCS11_UnblockPin with the PUK, its answer lost", "ias-dh-channel.card",
       lost("0C2C0081", [&](LoginHost& h) {
         const CK_SESSION_HANDLE s = Session(h.m, 0);
         return PinCalls(h.m).UnblockPin(s, PinCalls(h.m).List(s).at(0), kPuk, 8, other, 4);
       }),
       CKR_DEVICE_ERROR, {}, {}, {}, channel},
      // The user's value is not known for certain now: the login ends.
      {"C_SetPIN of the logged-in user, its answer lost", "ias-dh-channel.card",
       lost("0C240081", [&](LoginHost& h) { return h.m->C_SetPIN(Session(h.m, 0, CKU_USER), kUserPin, 4, other, 4); }),
       CKR_DEVICE_ERROR, {}, {}, {}, channel},
      // The SO's value is: the SO's login is verified again over the channel after the reset.
      {"the SO's C_InitPIN, its answer lost", "ias-dh-channel.card",
       lost("0C2C", [&](LoginHost& h) { return h.m->C_InitPIN(Session(h.m, 0, CKU_SO), other, 4); }),
       CKR_DEVICE_ERROR, {}, {}, {{"", 4}}, channel},
      // The login stands verified, with no reset.
      {"the user's C_Login, the answer to its VERIFY P1=FF lost", "ias-dh-channel.card", lost("0C20FF81", login(CKU_USER)),
       CKR_OK, {}, {}, {{"5015", 0x81}}, channel, 0, CKS_RW_USER_FUNCTIONS},
      // The card is asked again over the channel: the login stands after one reset.
      {"MIRTAL_PKCS11_UnblockPin of the logged-in user, the answer to the login's VERIFY after the reset lost",
       "ias-dh-channel.card",
       [&](LoginHost& h) {
         const CK_SESSION_HANDLE s = Session(h.m, 0, CKU_USER);
         if (s == 0 || h.sim.CorruptDataOn(kR0, "0C2000811D", 0, 1) != 0) return CKR_CANCEL;
         return PinCalls(h.m).UnblockPin(s, PinCalls(h.m).List(s).at(0), kPuk, 8, other, 4);
       },
       CKR_OK, {}, {}, {{"5015", 0x81}}, channel, 1, CKS_RW_USER_FUNCTIONS},
      // A reset the module could not make is owed to the card and made at its next contact with it.
      {"C_Login, the card mute right after it took the value, then answering again", "pkcs15-model3.card",
       FaultAfter(0x20, 0, CARDSIM_AFTER_MUTE, login(CKU_USER), reopen), CKR_TOKEN_NOT_RECOGNIZED, {{"5015", 0x81}},
       {kSignWithHoldersKey}},
      {"the SO's C_Login, the same", "pkcs15-model3.card", FaultAfter(0x20, 1, CARDSIM_AFTER_MUTE, login(CKU_SO), reopen),
       CKR_TOKEN_NOT_RECOGNIZED, {{"", 4}}, {TakeSoPin(4)}},
      {"C_Login on a model-4 token, the same", "blank-model4.card",
       [&](LoginHost& h) {
         return MakeToken(h.m) == CKR_OK ? FaultAfter(0x20, 0, CARDSIM_AFTER_MUTE, login(CKU_USER), reopen)(h) : CKR_CANCEL;
       },
       CKR_TOKEN_NOT_RECOGNIZED, {{"", 1}, {"", 2}}, {TakeSoPin(1)}},
      {"C_Login, the card held exclusively by another program right after it took the value", "pkcs15-model3.card",
       FaultAfter(0x20, 0, CARDSIM_AFTER_HOLD_EXCLUSIVE, login(CKU_USER), reopen), CKR_TOKEN_NOT_RECOGNIZED, {{"5015", 0x81}},
       {kSignWithHoldersKey}},
      {"C_CloseSession of a logged-in session with the card mute, then answering again", "pkcs15-model3.card",
       mutedAt([](LoginHost& h) { return h.m->C_CloseSession(g_lastSession); }), CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}},
      {"C_CloseAllSessions, the same", "pkcs15-model3.card",
       mutedAt([](LoginHost& h) { return h.m->C_CloseAllSessions(0); }), CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}},
      {"C_Finalize, the same", "pkcs15-model3.card",
       mutedAt([](LoginHost& h) {
         const CK_RV rv = h.m->C_Finalize(nullptr);
         return h.m->C_Initialize(nullptr) == CKR_OK ? rv : CKR_CANCEL;
       }),
       CKR_OK, {{"5015", 0x81}}, {kSignWithHoldersKey}},
  };
  for (const Row& row : rows) [&] {
    SCOPED_TRACE(row.name);
    LoginHost h(row.card, row.config);
    std::string image = ReadFile(h.env.Card(row.card));
    for (const auto& p : std::vector<std::pair<std::string, std::string>>{
             {"terminate:pin:04,delete:never", "terminate:pin:81,delete:never"}, {"pin 3F00/5015 ref=81", "pin 3F00 ref=81"}})
      if (std::string(row.card) == "qualified-model1-visible.card") image.replace(image.find(p.first), p.first.size(), p.second);
    WriteFile(h.env.Card(row.card), image);
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(0, h.sim.ClearLog(kR0));
    EXPECT_EQ(row.answer, row.call(h));
    if (row.resets >= 0) {
      const std::string log = h.sim.ApduLog(kR0);
      size_t resets = 0;
      for (size_t at = log.find("# reset\n"); at != std::string::npos; at = log.find("# reset\n", at + 1)) ++resets;
      EXPECT_EQ(static_cast<size_t>(row.resets), resets);
    }
    if (row.state != kAllOnes) {
      EXPECT_EQ(row.state, StateOf(h.m, g_lastSession));
    }
    // Nothing is verified on the card but what the logins hold, and another program is answered at once.
    EXPECT_EQ("", LeftToAnotherProgram(h.sim, kR0, Named(row.keptWhileLoggedIn)));
    if (!row.config.empty()) {
      EXPECT_EQ(Named(row.keptWhileLoggedIn), h.sim.VerifiedPins(kR0));
    }
    ExpectOtherProgramMay("after the call", row.forgotten, row.refused,
                          row.config.empty() ? row.keptWhileLoggedIn : std::vector<PinProbe>());
    ASSERT_EQ(CKR_OK, h.m->C_Finalize(nullptr));
    EXPECT_EQ("", LeftToAnotherProgram(h.sim, kR0));
    std::vector<PinProbe> all = row.forgotten;
    all.insert(all.end(), row.keptWhileLoggedIn.begin(), row.keptWhileLoggedIn.end());
    ExpectOtherProgramMay("after C_Finalize", all, row.refused);
    ASSERT_EQ(CKR_OK, h.m->C_Initialize(nullptr));
  }();
}

// A card that does not forget a PIN when asked ("no such PIN", or any other refusal, counts only
// where the card then finds none to verify) is reset under the call's hold: it forgets every
// PIN, and the module's own login is verified again, unannounced, so its sessions stay; where the
// card refuses that login now, the login ends and its sessions fall back to the public state,
// without a second reset. A card that refuses to forget a PIN it then shows unverified is not
// reset: what another program verified there stays.
TEST(ModuleLogin, ACardThatKeepsAPinVerifiedIsResetAndKeepsTheModulesLogins) {
  const std::string kept = "the card does not forget that PIN 04 is verified (";
  const std::string unnamed = "a command left verified a PIN the module cannot name: the card is reset";
  const std::string none = "";
  // The user's PIN unblocked with the PUK (the card picks the PIN it checks), the SO's changed, or the
  // user's C_Sign after another program verified the SO PIN and mistyped the user's (a try spent: the login ends).
  enum What { kUnblock, kChangeSo, kSignAfterOther };
  const struct {
    const char* name;
    What what;
    const char* prefix;  // the command answered `sw` instead
    unsigned sw;
    const std::string& line;  // the reason of the reset; none: no reset
    CK_STATE state;  // of the user's session then
  } rows[] = {
      {"'no such PIN', yet verified", kChangeSo, "0020FF", 0x6A88, kept, CKS_RW_USER_FUNCTIONS},
      {"'wrong parameters'", kChangeSo, "0020FF", 0x6A86, kept, CKS_RW_USER_FUNCTIONS},
      {"an unblocking", kUnblock, "", 0, unnamed, CKS_RW_USER_FUNCTIONS},
      {"the login is refused after the reset", kUnblock, "0020008108", 0x63C2, unnamed, CKS_RW_PUBLIC_SESSION},
      {"'wrong parameters' for the PIN of an ended login, shown unverified", kSignAfterOther, "0020FF", 0x6A86, none,
       CKS_RW_PUBLIC_SESSION},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LoginHost h("pkcs15-model3-puk.card");
    ASSERT_TRUE(h.Start());
    const CK_SESSION_HANDLE user = Session(h.m, 0, CKU_USER), other = Session(h.m, 0);
    PinCalls pins(h.m);
    const std::vector<CK_OBJECT_HANDLE> list = pins.List(other);
    if (row.what == kSignAfterOther) {
      OtherProgram program(kR0);
      for (const std::string c : {"00200004083837363534333231", "00A4080C025015", "002000810839393939FFFFFFFF"})
        ASSERT_EQ(c == "002000810839393939FFFFFFFF" ? "63C2" : "9000", program.Send(c)) << c;
    }
    if (*row.prefix) {
      ASSERT_EQ(0, h.sim.InjectSwOn(kR0, row.prefix, row.sw, 0, 1));
    }
    std::vector<CK_BYTE> sig;
    EXPECT_EQ(row.what == kSignAfterOther ? CKR_USER_NOT_LOGGED_IN : CKR_OK,
              row.what == kUnblock    ? pins.UnblockPin(other, list.at(0), kPuk, 8, kUserPin, 4)
              : row.what == kChangeSo ? pins.ChangePin(other, list.at(1), kSoPin, 8, kSoPin, 8)
                                      : modulecalls::SignOnce(h.m, user, modulecalls::FindOne(h.m, user, CKO_PRIVATE_KEY),
                                                              CKM_RSA_PKCS, modulecalls::DigestInfoOfAbc(), &sig));
    const std::string trace = StripLogPrefixes(h.env.Trace());
    EXPECT_TRUE(row.line == none || (row.line == kept ? HasLine(trace, "PKCS#15: reader 0: " + kept, "): the card is reset")
                                                      : HasLine(trace, "PKCS#15: reader 0: " + row.line, "")));
    EXPECT_EQ(row.line == none, trace.find("the card is reset") == std::string::npos);
    EXPECT_EQ(row.state, StateOf(h.m, user));
    EXPECT_EQ(row.state == CKS_RW_PUBLIC_SESSION && row.what == kUnblock,
              HasLine(trace, "PKCS#15: PIN 81 in 3F00/5015: the card refuses the value kept since the login: the login ends",
                      ""));
    if (row.what == kSignAfterOther) {
      ExpectOtherProgramMay("after the call", {{"5015", 0x81}, {"5015", 0x82}}, {kSignWithHoldersKey}, {{"", 4}});
    } else if (row.state == CKS_RW_USER_FUNCTIONS) {
      ExpectOtherProgramMay("after the reset", {{"", 4}, {"5015", 0x82}}, {}, {{"5015", 0x81}});
    } else {
      ExpectOtherProgramMay("after the reset", {{"", 4}, {"5015", 0x82}, {"5015", 0x81}}, {kSignWithHoldersKey});
      EXPECT_EQ(CKR_OK, h.m->C_Login(user, CKU_USER, kUserPin, 4));  // one try spent, none more
    }
  }
}

// Three copies of the module (three programs) keep the user's value over one card, and another
// program changes the PIN and logs out. A value typed and refused lowers nothing: a kept value goes
// only where the card shows the count it showed when it last took a value, and one the card refused
// goes never. Between two values the card takes, the kept values cost at most one try in all; a
// program's own wrong values block the PIN at the card's limit. A PIN whose limit is one try never
// gets a kept value; the SO's kept value goes as the unblocking value of the user PIN's reset only
// once the card took it in the call, so a stale one blocks nothing.
TEST(ModuleLogin, KeptValuesOfThreeProgramsCostAtMostOneTryBetweenTwoValuesTheCardTakes) {
  enum What { kSigns, kTypesWrong, kTypesKept, kOtherChanges, kOtherChangesSo, kSoInitsPin };
  struct Step {
    int copy;
    What what;
    CK_RV rv;
  };
  const CK_RV kOk = CKR_OK, kOut = CKR_USER_NOT_LOGGED_IN, kWrong = CKR_PIN_INCORRECT;
  const struct {
    const char* name;
    std::vector<Step> steps;
    const char* state;  // of PIN 81 at the end, as another program is answered
    bool oneTry = false;          // PIN 81 has a limit of one try; the new value logs in at the end
    const char* soState = "";     // of PIN 04 at the end (copy 0 is the SO's, logged in): where not empty
  } rows[] = {
      {"PIN 81's only try", {{0, kSigns, kOk}, {0, kOtherChanges, kOk}, {0, kSigns, kOut}, {1, kSigns, kOut},
        {2, kSigns, kOut}}, "63C1", true},
      {"the SO's C_InitPIN after another program changed the SO PIN and left it verified",
       {{0, kOtherChangesSo, kOk}, {0, kSoInitsPin, kOut}, {1, kSigns, kOk}}, "9000", false, "63C2"},
      {"two copies type a wrong value before the change",
       {{0, kSigns, kOk}, {1, kSigns, kOk}, {2, kSigns, kOk}, {0, kTypesWrong, kWrong}, {1, kTypesWrong, kWrong},
        {0, kOtherChanges, kOk}, {2, kSigns, kOut}, {0, kSigns, kOut}, {1, kSigns, kOut}},
       "63C2"},
      {"a copy types its kept value after the change",
       {{0, kSigns, kOk}, {0, kOtherChanges, kOk}, {0, kTypesKept, kWrong}, {0, kSigns, kOut}, {1, kSigns, kOut},
        {2, kSigns, kOut}},
       "63C2"},
      {"a wrong value typed after a kept value was refused",
       {{0, kOtherChanges, kOk}, {0, kSigns, kOut}, {1, kTypesWrong, kWrong}, {1, kSigns, kOut}, {2, kSigns, kOut}},
       "63C1"},
      {"one copy's wrong values in turn with signatures",
       {{0, kTypesWrong, kWrong}, {0, kSigns, kOut}, {0, kTypesWrong, kWrong}, {0, kSigns, kOut},
        {0, kTypesWrong, kWrong}, {1, kSigns, kOut}, {2, kSigns, kOut}},
       "6983"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LoginHost h("pkcs15-model3.card");
    if (row.oneTry) {
      const std::string image = ReadFile(h.env.Card("pkcs15-model3.card"));
      const size_t at = image.find(" tries=3 left=3 ", image.find("\npin 3F00/5015 ref=81 "));
      ASSERT_NE(std::string::npos, at);
      WriteFile(h.env.Card("pkcs15-model3.card"), std::string(image).replace(at, 16, " tries=1 left=1 "));
    }
    ASSERT_TRUE(h.Start());
    std::unique_ptr<Module> copies[3];
    CK_SESSION_HANDLE s[3] = {};
    CK_OBJECT_HANDLE key[3] = {};
    for (int i = 0; i < 3; ++i) {
      const std::string path = h.env.Path("copy" + std::to_string(i) + ".so");
      ASSERT_TRUE(i == 0 || testsupport::CopyFile(ModulePath(), path));
      copies[i] = i == 0 ? nullptr : std::make_unique<Module>(path);
      const Module& m = i == 0 ? h.m : *copies[i];
      ASSERT_TRUE(i == 0 || m->C_Initialize(nullptr) == CKR_OK);
      if (i == 0 && *row.soState) {
        ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s[0]));
        ASSERT_EQ(CKR_OK, m->C_Login(s[0], CKU_SO, kSoPin, 8));
      } else {
        ASSERT_TRUE(modulecalls::OpenUserSession(m, 0, &s[i], &key[i]));
      }
    }
    CK_UTF8CHAR wrong[] = "9999", fresh[] = "1111";
    for (const Step& step : row.steps) {
      const Module& m = step.copy == 0 ? h.m : *copies[step.copy];
      std::vector<CK_BYTE> sig;
      CK_RV rv = CKR_OK;
      if (step.what == kSoInitsPin) {
        rv = m->C_InitPIN(s[step.copy], fresh, 4);
      } else if (step.what == kOtherChangesSo) {
        OtherProgram other(kR0);
        for (const char* c : {"00A4000C023F00", "002400041038373635343332313131313131313131"})
          ASSERT_EQ("9000", other.Send(c)) << c;
      } else if (step.what == kSigns) {
        // A session fallen back to the public state no longer has the key.
        rv = StateOf(m, s[step.copy]) == CKS_RW_USER_FUNCTIONS
                 ? modulecalls::SignOnce(m, s[step.copy], key[step.copy], CKM_RSA_PKCS, modulecalls::DigestInfoOfAbc(), &sig)
                 : CKR_USER_NOT_LOGGED_IN;
      } else if (step.what != kOtherChanges) {
        rv = m->C_SetPIN(s[step.copy], step.what == kTypesWrong ? wrong : kUserPin, 4, fresh, 4);
      } else {
        OtherProgram other(kR0);
        for (const char* c : {"00A4080C025015", "002400811031323334FFFFFFFF35363738FFFFFFFF", "0020FF81"})
          ASSERT_EQ("9000", other.Send(c)) << c;
      }
      EXPECT_EQ(step.rv, rv) << "copy " << step.copy << ", step " << &step - row.steps.data();
    }
    EXPECT_EQ(row.state, OtherProgram(kR0).PinState(0x81, "5015"));
    if (*row.soState) {
      EXPECT_EQ(row.soState, OtherProgram(kR0).PinState(0x04));
    }
    CK_UTF8CHAR changed[] = "5678";
    if (row.oneTry) {
      EXPECT_EQ(CKR_OK, h.m->C_Login(s[0], CKU_USER, changed, 4));
    }
    // A user's login still holds PIN 81 in those rows.
    const bool held = row.oneTry || *row.soState;
    EXPECT_EQ("", LeftToAnotherProgram(h.sim, kR0, held ? std::vector<std::string>{"3F00/5015 81"} : std::vector<std::string>{}));
    for (int i = 1; i < 3; ++i) EXPECT_EQ(CKR_OK, (*copies[i])->C_Finalize(nullptr));
  }
}
