// The exported functions: each traces the call and its arguments, calls the
// matching member of the application object, traces the result and turns any
// exception into CKR_GENERAL_ERROR.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "pkcs11impl/apiconfig.h"
#include "pkcs11impl/app.h"
#include "pkcs11impl/mirtal_pkcs11.h"
#include "pkcs11impl/p11answers.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11names.h"
#include "pkcs11impl/tracelog.h"
#include "smartcard/sc_card.h"

namespace {

std::mutex g_lifecycleMutex;  // C_Initialize and C_Finalize run one at a time
#define MIRTAL_LIST_ENTRY(name, args) name,
CK_FUNCTION_LIST g_functionList = {{2, 1}, MIRTAL_CK_FUNCTIONS(MIRTAL_LIST_ENTRY)};
#undef MIRTAL_LIST_ENTRY

const TraceLogger* Lg() { return TheApp().GetLogger(); }
bool On() { return Lg()->IsEnabled(); }

std::string S(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string S(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string out;
  if (n < 0) {
    va_end(ap);
    return out;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&out[0], out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap);
  return out;
}

std::string Hex(const void* data, CK_ULONG len) {
  if (data == nullptr) return "<null>";
  return HexText(data, len);
}
// Plain text, random output, seeds and operation states are secrets: the trace
// gives their length only.
std::string Withheld(const void* data) { return data == nullptr ? "<null>" : "<not shown>"; }
// A template inside "( ... )": one attribute a line, under the first.
std::string Tmpl(const CK_ATTRIBUTE* t, CK_ULONG n, bool withValues = true, const TracedObject* object = nullptr) {
  return TemplateText(0, t, n, withValues, "\n    ", object);
}
std::string Mech(const CK_MECHANISM* m) { return MechanismText(m, "\n    "); }
std::string LenText(const void* buf, const CK_ULONG* len) {
  if (len == nullptr) return "len: <null>";
  return S("%slen: %ld", buf ? "max" : "", static_cast<long>(*len));
}

// A line without a message (the trace line then ends at the return value).
void LogEmptyV(const TraceLogger* logger, const char* fn, unsigned level, CK_RV rv, const char* none, ...) {
  va_list ap;
  va_start(ap, none);
  TraceLogV(logger, fn, level, rv, none, ap);
  va_end(ap);
}
void LogEmpty(const char* fn, unsigned level, CK_RV rv) { LogEmptyV(Lg(), fn, level, rv, ""); }
void ResultEmpty(const char* fn, CK_RV rv) { LogEmpty(fn, rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv); }

void Start(const char* fn, const std::string& text) {
  if (text.empty())
    LogEmpty(fn, TRACE_STARTING, CKR_OK);
  else
    TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "%s", text.c_str());
}

// The result line: "[error]" with rv unless CKR_OK, else "[complete]".
void Result(const char* fn, CK_RV rv, const std::string& text) {
  if (text.empty())
    ResultEmpty(fn, rv);
  else
    TraceResult(Lg(), fn, rv, "%s", text.c_str());
}

void Line(const char* fn, unsigned level, CK_RV rv, const std::string& text) {
  if (text.empty())
    LogEmpty(fn, level, rv);
  else
    TraceLog(Lg(), fn, level, rv, "%s", text.c_str());
}

CK_RV Caught(const char* fn, const char* text = "Exception caught!!") {
  try {
    TraceLog(Lg(), fn, TRACE_ERROR, CKR_GENERAL_ERROR, "%s", text);
  } catch (...) {
  }
  return CKR_GENERAL_ERROR;
}

// In a forked child the lock may have been copied held by another thread of
// the parent (C_Initialize, C_Finalize, InitializeCard under way there).
void RemakeLifecycleLock() { new (&g_lifecycleMutex) std::mutex; }

// What every export does first. In a forked child that has not started afresh
// (its C_GetFunctionList or C_Initialize does), the module's objects are the
// parent's: the call is answered at once, before any lock or wait, and sends
// nothing anywhere. Once the module has ended (at exit or unload) the call is
// likewise turned away; until then the module's end waits for it.
class Entry {
 public:
  Entry() : m_child(InForkedChild()), m_in(!m_child && TheDoor().Enter()) {}
  ~Entry() {
    if (m_in) TheDoor().Leave();
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  bool In() const { return m_in; }
  // The answer of a call turned away: not initialised in a forked child.
  CK_RV Answer(CK_RV ended) const { return m_child ? CKR_CRYPTOKI_NOT_INITIALIZED : ended; }

 private:
  const bool m_child;
  const bool m_in;
};

void EnsureStarted() {
  if (!IsStarted()) LibraryStartup();
}

// The card's security state is shared by every program on the reader: when a
// call ends, on any road and whatever its answer, the cards forget what its
// commands left verified outside a login of this process.
class ForgetOnReturn {
 public:
  ForgetOnReturn() = default;
  ~ForgetOnReturn() {
    try {
      TheApp().ForgetWhatTheCallVerified();
    } catch (...) {
    }
  }
  ForgetOnReturn(const ForgetOnReturn&) = delete;
  ForgetOnReturn& operator=(const ForgetOnReturn&) = delete;

 private:
  SCCard::CallScope m_scope;
};

// A member called through the application's call gate: while C_Finalize runs,
// the call is turned away as if the module were already down.
template <class CallFn>
CK_RV Through(CallFn call) {
  CallGate::Pass pass(TheApp().Gate());
  if (!pass) return CKR_CRYPTOKI_NOT_INITIALIZED;
  ForgetOnReturn forget;
  return call();
}

// Frame of the functions whose member is not supported: trace, answer, trace.
template <class TextFn>
CK_RV Unsupported(const char* fn, TextFn text) {
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_FUNCTION_NOT_SUPPORTED);
  if (!AppAlive()) return CKR_FUNCTION_NOT_SUPPORTED;
  try {
    if (On()) Start(fn, text());
    const CK_RV rv = CPkcs11App::NotSupported();
    if (On()) Result(fn, rv, "");
    return rv;
  } catch (...) {
    return Caught(fn);
  }
}

// The update and final steps of signing and decryption are not offered; as
// every failing step does, they end the session's operation of their kind, so
// that the host can start another one.
template <class TextFn>
CK_RV UnsupportedStep(const char* fn, TextFn text, CK_SESSION_HANDLE hSession, uint32_t operation) {
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_FUNCTION_NOT_SUPPORTED);
  if (!AppAlive()) return CKR_FUNCTION_NOT_SUPPORTED;
  try {
    if (On()) Start(fn, text());
    const CK_RV rv = Through([&] { return TheApp().EndOperation(hSession, operation); });
    if (On()) Result(fn, rv, "");
    return rv;
  } catch (...) {
    return Caught(fn);
  }
}

// Frame of the implemented functions: the argument text, the member, the
// result text (called only when logging is on). A function answers only what
// its list holds; the trace keeps what the member answered.
template <class TextFn, class CallFn, class ResultFn>
CK_RV Framed(const char* fn, TextFn text, CallFn call, ResultFn result,
             const char* exceptionText = "Exception caught!!") {
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (!AppAlive()) return CKR_GENERAL_ERROR;
  try {
    if (On()) Start(fn, text());
    const CK_RV answered = Through(call);
    const CK_RV rv = ListedAnswer(fn, answered);
    if (rv != answered && On()) Line(fn, TRACE_INSIDE, answered, "not an answer of this function: the call failed");
    if (On()) result(rv);
    return rv;
  } catch (...) {
    return Caught(fn, exceptionText);
  }
}

std::string SlotIdsText(const CK_SLOT_ID* ids, CK_ULONG n) {
  std::string s;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (i) s += ", ";
    s += S("%lu", ids[i]);
  }
  return s;
}

std::string HandlesText(const CK_ULONG* hs, CK_ULONG n) {
  std::string s;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (i) s += ", ";
    s += S("%08lX", hs[i]);
  }
  return s;
}

const char* NullOr(const void* p, const char* absent, const char* present) { return p ? present : absent; }

}  // namespace

extern "C" {

// ===========================================================================
// Life cycle

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  StartAfreshInChild(&RemakeLifecycleLock);
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (!AppAlive()) return CKR_GENERAL_ERROR;
  const char* fn = "C_GetFunctionList";
  try {
    EnsureStarted();
    TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "ppFunctionList: %p", static_cast<void*>(ppFunctionList));
    if (ppFunctionList == nullptr) {
      TraceLog(Lg(), fn, TRACE_ERROR, CKR_ARGUMENTS_BAD, "ppFunctionList = <null> !!");
      return CKR_ARGUMENTS_BAD;
    }
    *ppFunctionList = &g_functionList;
    TraceLog(Lg(), fn, TRACE_COMPLETE, CKR_OK, "PKCS#11 function list version: %u.%02u",
             static_cast<unsigned>(g_functionList.version.major), static_cast<unsigned>(g_functionList.version.minor));
    return CKR_OK;
  } catch (...) {
    return Caught(fn);
  }
}

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  StartAfreshInChild(&RemakeLifecycleLock);
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (!AppAlive()) return CKR_GENERAL_ERROR;
  const char* fn = "C_Initialize";
  try {
    EnsureStarted();
    const CK_C_INITIALIZE_ARGS* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
    bool disableLocking = false;
    TheConfig().GetBool(CFGKEY_DISABLE_LOCKING, &disableLocking);
    if (On()) {
      std::string text = InitializeArgsText(args, "\n    ");
      if (text.size() > 16379) text = text.substr(0, 16376) + "...";
      TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "\n  Initialize args:%s%s%s\n  DisableLocking: %s",
               args ? "\n  ( " : " ", text.c_str(), args ? "\n  )" : "", disableLocking ? "true" : "false");
    }
    if (disableLocking && args != nullptr &&
        ((args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex) ||
         (args->flags & CKF_OS_LOCKING_OK) != 0)) {
      TraceLog(Lg(), fn, TRACE_ERROR, CKR_CANT_LOCK, "Locking disabled in configuration");
      return CKR_CANT_LOCK;
    }
    CK_RV rv;
    {
      std::lock_guard<std::mutex> guard(g_lifecycleMutex);
      rv = TheApp().Initialize(args);
    }
    if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      ResultEmpty(fn, rv);
      return rv;
    }
    const uint32_t counter = CountReinitialization();
    TraceLog(Lg(), fn, TRACE_ERROR, CKR_OK, "Cryptoki was already initialized, Counter: %d", static_cast<int>(counter));
    return CKR_OK;
  } catch (...) {
    return Caught(fn);
  }
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (!AppAlive()) return CKR_GENERAL_ERROR;
  const char* fn = "C_Finalize";
  try {
    TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "pReserved: %p", pReserved);
    std::lock_guard<std::mutex> guard(g_lifecycleMutex);
    uint32_t left = 0;
    if (TheApp().IsInitialized() && UncountReinitialization(&left)) {
      TraceLog(Lg(), fn, TRACE_COMPLETE, CKR_OK, "initCounter = %d, not really finalized", static_cast<int>(left));
      return CKR_OK;
    }
    const CK_RV rv = TheApp().Finalize(pReserved);
    ResultEmpty(fn, rv);
    return rv;
  } catch (...) {
    return Caught(fn);
  }
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (!AppAlive()) return CKR_GENERAL_ERROR;
  const char* fn = "C_GetInfo";
  try {
    EnsureStarted();
    TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "pInfo: %p", static_cast<void*>(pInfo));
    const CK_RV rv = TheApp().GetInfo(pInfo);
    if (On()) {
      if (rv == CKR_OK)
        Result(fn, rv, S("\n  Library info:\n  ( %s\n  )", InfoText(pInfo, nullptr, "\n    ").c_str()));
      else
        Result(fn, rv, "");
    }
    return rv;
  } catch (...) {
    return Caught(fn);
  }
}

// ===========================================================================
// Slots and tokens

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  const char* fn = "C_GetSlotList";
  return Framed(
      fn,
      [&] {
        return S("Token present: %d, pSlotList: %s, pulCount: %s", tokenPresent,
                 pSlotList ? S("%p", static_cast<void*>(pSlotList)).c_str() : "<null>",
                 pulCount ? S("%lu", *pulCount).c_str() : "<null>");
      },
      [&] { return TheApp().GetSlotList(tokenPresent, pSlotList, pulCount); },
      [&](CK_RV rv) {
        const std::string count = pulCount ? S("%lu", *pulCount) : std::string("<null>");
        if (rv == CKR_OK)
          Result(fn, rv,
                 S("Slot count: %s, slots: (%s)", count.c_str(),
                   (pSlotList && pulCount) ? SlotIdsText(pSlotList, *pulCount).c_str() : ""));
        else
          Result(fn, rv, S("Slot count: %s", count.c_str()));
      });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  const char* fn = "C_GetSlotInfo";
  return Framed(
      fn, [&] { return S("SlotId: %ld, info %p", static_cast<long>(slotID), static_cast<void*>(pInfo)); },
      [&] { return TheApp().GetSlotInfo(slotID, pInfo); },
      [&](CK_RV rv) {
        Result(fn, rv, rv == CKR_OK ? S("\n  Slot info:\n  ( %s\n  )", SlotInfoText(pInfo, "\n    ").c_str()) : "");
      });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  const char* fn = "C_GetTokenInfo";
  return Framed(
      fn, [&] { return S("SlotId: %ld, info: %p", static_cast<long>(slotID), static_cast<void*>(pInfo)); },
      [&] { return TheApp().GetTokenInfo(slotID, pInfo); },
      [&](CK_RV rv) {
        Result(fn, rv,
               rv == CKR_OK ? S("\n  Token info:\n  ( %s\n  )", TokenInfoText(pInfo, "\n    ").c_str()) : "");
      });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  const char* fn = "C_GetMechanismList";
  return Framed(
      fn,
      [&] {
        return S("SlotId: %ld, pMechanismList: %p, pulCount: %s", static_cast<long>(slotID),
                 static_cast<void*>(pMechanismList),
                 pulCount ? S("%s%ld", pMechanismList ? "max " : "", static_cast<long>(*pulCount)).c_str() : "<null>");
      },
      [&] { return TheApp().GetMechanismList(slotID, pMechanismList, pulCount); },
      [&](CK_RV rv) {
        if (pulCount == nullptr) {
          Result(fn, rv, "pulCount = <null>");
        } else if (rv == CKR_OK) {
          std::string names;
          char* t = FormatMechanismNames(pMechanismList, *pulCount);
          if (t != nullptr) {
            names = t;
            delete[] t;
          } else if (*pulCount != 0) {
            names = "<alloc error>";
          }
          Result(fn, rv, S("OK, %ld mechanims: (%s)", static_cast<long>(*pulCount), names.c_str()));
        } else {
          Result(fn, rv, S("*pulCount = %lu", *pulCount));
        }
      });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  const char* fn = "C_GetMechanismInfo";
  return Framed(
      fn,
      [&] {
        return S("SlotId: %ld, type: %s, info: %p", static_cast<long>(slotID), GetMechanismName(type),
                 static_cast<void*>(pInfo));
      },
      [&] { return TheApp().GetMechanismInfo(slotID, type, pInfo); },
      [&](CK_RV rv) {
        Result(fn, rv,
               rv == CKR_OK ? S("\n  Mechanism info:\n  ( %s\n  )", MechanismInfoText(&type, pInfo, "\n    ").c_str())
                            : "");
      });
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  const char* fn = "C_InitToken";
  return Framed(
      fn,
      [&] {
        const std::string label = pLabel ? "'" + std::string(reinterpret_cast<const char*>(pLabel), 32) + "'" : "<null>";
        return S("slotId: %ld, pin: %p, pinLen: %ld, label: %s", static_cast<long>(slotID), static_cast<void*>(pPin),
                 static_cast<long>(ulPinLen), label.c_str());
      },
      [&] { return TheApp().InitToken(slotID, pPin, ulPinLen, pLabel); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  const char* fn = "C_InitPIN";
  return Framed(
      fn, [&] { return S("Session: %08lX, pin: %p, pinLen: %lu", hSession, static_cast<void*>(pPin), ulPinLen); },
      [&] { return TheApp().InitPIN(hSession, pPin, ulPinLen); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
  const char* fn = "C_SetPIN";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, oldpin: %p, oldLen: %lu, newpin: %p, newLen: %lu", hSession,
                 static_cast<void*>(pOldPin), ulOldLen, static_cast<void*>(pNewPin), ulNewLen);
      },
      [&] { return TheApp().SetPIN(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

// ===========================================================================
// Sessions

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession) {
  const char* fn = "C_OpenSession";
  return Framed(
      fn,
      [&] {
        char names[512];
        if (FormatSessionFlags(flags, names, sizeof names) < 0) std::snprintf(names, sizeof names, "0x%08lx", flags);
        return S("slotID: %ld, flags: %s, app: %p, notify: %p, phSession: %p", static_cast<long>(slotID), names,
                 pApplication, reinterpret_cast<void*>(Notify), static_cast<void*>(phSession));
      },
      [&] { return TheApp().OpenSession(slotID, flags, pApplication, Notify, phSession); },
      [&](CK_RV rv) {
        if (rv == CKR_OK && phSession == nullptr)
          Line(fn, TRACE_WARNING, rv, "phSession = <null> !!!");
        else
          Result(fn, rv, rv == CKR_OK ? S("New session handle: %08lX", *phSession) : "");
      });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  const char* fn = "C_CloseSession";
  return Framed(
      fn, [&] { return S("Session: %08lX", hSession); }, [&] { return TheApp().CloseSession(hSession); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  const char* fn = "C_CloseAllSessions";
  return Framed(
      fn, [&] { return S("slotId: %ld", static_cast<long>(slotID)); },
      [&] { return TheApp().CloseAllSessions(slotID); }, [&](CK_RV rv) { Line(fn, TRACE_COMPLETE, rv, ""); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  const char* fn = "C_GetSessionInfo";
  return Framed(
      fn, [&] { return S("Session: %08lX", hSession); }, [&] { return TheApp().GetSessionInfo(hSession, pInfo); },
      [&](CK_RV rv) {
        Result(fn, rv,
               rv == CKR_OK ? S("Session %08lX:\n  Session info:\n  ( %s\n  )", hSession,
                                SessionInfoText(pInfo, "\n    ").c_str())
                            : "");
      },
      "Caugth unknown exception");
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState, CK_ULONG_PTR pulOperationStateLen) {
  const char* fn = "C_GetOperationState";
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_FUNCTION_NOT_SUPPORTED);
  if (!AppAlive()) return CKR_FUNCTION_NOT_SUPPORTED;
  try {
    if (On()) {
      const std::string len = pulOperationStateLen
                                  ? S("%s: %ld", pOperationState ? "maxlen " : "len",
                                      static_cast<long>(*pulOperationStateLen))
                                  : std::string("pulOperationStateLen: <null>");
      Start(fn, S("Session: %08lX, state: %p, %s", hSession, static_cast<void*>(pOperationState), len.c_str()));
    }
    const CK_RV rv = CPkcs11App::NotSupported();
    if (On()) Result(fn, rv, "");
    return rv;
  } catch (...) {
    return Caught(fn, "Caugth unknown exception");
  }
}

CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState, CK_ULONG ulOperationStateLen,
                          CK_OBJECT_HANDLE hEncryptionKey, CK_OBJECT_HANDLE hAuthenticationKey) {
  const char* fn = "C_SetOperationState";
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_FUNCTION_NOT_SUPPORTED);
  if (!AppAlive()) return CKR_FUNCTION_NOT_SUPPORTED;
  try {
    if (On())
      Start(fn, S("Session: %08lX, encKey: %08lX, authKey: %08lX,\n  Operation state[len %ld]: %s", hSession,
                  hEncryptionKey, hAuthenticationKey, static_cast<long>(ulOperationStateLen),
                  Withheld(pOperationState).c_str()));
    const CK_RV rv = CPkcs11App::NotSupported();
    if (On()) Result(fn, rv, "");
    return rv;
  } catch (...) {
    return Caught(fn, "Caugth unknown exception");
  }
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  const char* fn = "C_Login";
  return Framed(
      fn,
      [&] {
        char name[128];
        return S("Session: %08lX, userType: %s, pin: %p, pinLen: %ld", hSession,
                 GetUserTypeName(userType, name, sizeof name), static_cast<void*>(pPin), static_cast<long>(ulPinLen));
      },
      [&] { return TheApp().Login(hSession, userType, pPin, ulPinLen); }, [&](CK_RV rv) { Result(fn, rv, ""); },
      "Caugth unknown exception");
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  const char* fn = "C_Logout";
  return Framed(
      fn, [&] { return S("Session: %08lX", hSession); }, [&] { return TheApp().Logout(hSession); },
      [&](CK_RV rv) { Result(fn, rv, ""); }, "Caugth unknown exception");
}

// ===========================================================================
// Objects

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  const char* fn = "C_CreateObject";
  return Framed(
      fn, [&] { return S("Session: %08lX,\n  Template:\n  ( %s\n  )", hSession, Tmpl(pTemplate, ulCount).c_str()); },
      [&] { return TheApp().CreateObject(hSession, pTemplate, ulCount, phObject); },
      [&](CK_RV rv) {
        if (rv != CKR_OK)
          Result(fn, rv, "");
        else if (phObject)
          Result(fn, rv, S("New object: %08lx", *phObject));
        else
          Result(fn, rv, S("New object ptr: %p", static_cast<void*>(phObject)));
      });
}

CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR) {
  return Unsupported("C_CopyObject", [&] {
    return S("Session: %08lX, object: %08lX,\n  Template:\n  ( %s\n  )", hSession, hObject,
             Tmpl(pTemplate, ulCount).c_str());
  });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  const char* fn = "C_DestroyObject";
  return Framed(
      fn, [&] { return S("Session: %08lx, hObject: %08lx", hSession, hObject); },
      [&] { return TheApp().DestroyObject(hSession, hObject); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  const char* fn = "C_GetObjectSize";
  return Framed(
      fn, [&] { return S("Session: %08lX, hObject %08lX, pulSize: %p", hSession, hObject, static_cast<void*>(pulSize)); },
      [&] { return TheApp().GetObjectSize(hSession, hObject, pulSize); },
      [&](CK_RV rv) { Result(fn, rv, S("Object size: %s", pulSize ? S("%lu", *pulSize).c_str() : "<null>")); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  const char* fn = "C_GetAttributeValue";
  // The caller's buffer sizes: an entry whose buffer was too small now holds the
  // length it needs, and its buffer must not be read that far.
  std::vector<CK_ULONG> sizes;
  // What the module found the object to be: its class and privacy join the
  // template's when the trace decides whether the value shows.
  TracedObject found;
  return Framed(
      fn,
      [&] {
        if (pTemplate != nullptr)
          for (CK_ULONG i = 0; i < ulCount; ++i) sizes.push_back(pTemplate[i].ulValueLen);
        return S("Session: %08lX, hObject: %08lX,\n  Template requested:\n  ( %s\n  )", hSession, hObject,
                 Tmpl(pTemplate, ulCount, false).c_str());
      },
      [&] { return TheApp().GetAttributeValue(hSession, hObject, pTemplate, ulCount, &found); },
      [&](CK_RV rv) {
        std::vector<CK_ATTRIBUTE> shown(pTemplate, pTemplate + (pTemplate != nullptr ? ulCount : 0));
        for (size_t i = 0; i < shown.size(); ++i)
          if (i >= sizes.size() || (shown[i].ulValueLen != CK_UNAVAILABLE_INFORMATION && shown[i].ulValueLen > sizes[i]))
            shown[i].pValue = nullptr;
        Result(fn, rv, S("\n  Template returned:\n  (%s\n  )", Tmpl(shown.data(), ulCount, true, &found).c_str()));
      });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  const char* fn = "C_SetAttributeValue";
  return Framed(
      fn,
      [&] {
        return S("Session %08lX, hObject %08lX,\n  Template:\n  ( %s\n  )", hSession, hObject,
                 Tmpl(pTemplate, ulCount).c_str());
      },
      [&] { return TheApp().SetAttributeValue(hSession, hObject, pTemplate, ulCount); },
      [&](CK_RV rv) { Line(fn, TRACE_COMPLETE, rv, ""); });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  const char* fn = "C_FindObjectsInit";
  return Framed(
      fn, [&] { return S("Session %08lX,\n  Template:\n  ( %s\n  )", hSession, Tmpl(pTemplate, ulCount).c_str()); },
      [&] { return TheApp().FindObjectsInit(hSession, pTemplate, ulCount); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  const char* fn = "C_FindObjects";
  return Framed(
      fn,
      [&] {
        return S("Session %08lx, ulMaxObjectCount: %ld, pulObjectCount: %p", hSession,
                 static_cast<long>(ulMaxObjectCount), static_cast<void*>(pulObjectCount));
      },
      [&] { return TheApp().FindObjects(hSession, phObject, ulMaxObjectCount, pulObjectCount); },
      [&](CK_RV rv) {
        if (rv == CKR_OK && pulObjectCount == nullptr)
          Line(fn, TRACE_WARNING, rv, "pulObjectsCount = <null>");
        else if (rv == CKR_OK)
          Result(fn, rv,
                 S("Objects returned %ld: (%s)", static_cast<long>(*pulObjectCount),
                   phObject ? HandlesText(phObject, *pulObjectCount).c_str() : ""));
        else
          Result(fn, rv, "");
      });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  const char* fn = "C_FindObjectsFinal";
  return Framed(
      fn, [&] { return S("Session %08lx", hSession); }, [&] { return TheApp().FindObjectsFinal(hSession); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

// ===========================================================================
// Cryptographic functions

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return Unsupported("C_EncryptInit", [&] {
    return S("Session %08lX, hKey %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
  });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen) {
  return Unsupported("C_Encrypt", [&] {
    return S("Session %08lX\n  Data to encrypt [len=%lu]: %s,\n  Encrypt buffer: %p, %s", hSession, ulDataLen,
             Withheld(pData).c_str(), static_cast<void*>(pEncryptedData),
             LenText(pEncryptedData, pulEncryptedDataLen).c_str());
  });
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                      CK_ULONG_PTR pulEncryptedPartLen) {
  return Unsupported("C_EncryptUpdate", [&] {
    return S("Session %08lX\n  Data part to encrypt [len=%lu]: %s,\n  Encrypt buffer: %p, %s", hSession, ulPartLen,
             Withheld(pPart).c_str(), static_cast<void*>(pEncryptedPart),
             LenText(pEncryptedPart, pulEncryptedPartLen).c_str());
  });
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart, CK_ULONG_PTR pulLastEncryptedPartLen) {
  return Unsupported("C_EncryptFinal", [&] {
    return S("Session %08lX, pLastPart: %p, %s", hSession, static_cast<void*>(pLastEncryptedPart),
             LenText(pLastEncryptedPart, pulLastEncryptedPartLen).c_str());
  });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  const char* fn = "C_DecryptInit";
  return Framed(
      fn,
      [&] {
        return S("Session %08lX, hKey %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
      },
      [&] { return TheApp().DecryptInit(hSession, pMechanism, hKey); },
      [&](CK_RV rv) { Line(fn, TRACE_COMPLETE, rv, ""); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                CK_ULONG_PTR pulDataLen) {
  const char* fn = "C_Decrypt";
  return Framed(
      fn,
      [&] {
        return S("Session %08lX\n  Data to decrypt [len=%lu]: %s,\n  Decrypt buffer: %p, %s", hSession,
                 ulEncryptedDataLen, Hex(pEncryptedData, ulEncryptedDataLen).c_str(), static_cast<void*>(pData),
                 LenText(pData, pulDataLen).c_str());
      },
      [&] { return TheApp().Decrypt(hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen); },
      [&](CK_RV rv) {
        if (rv != CKR_OK)
          Result(fn, rv, pulDataLen ? S("len: %ld", static_cast<long>(*pulDataLen)) : std::string("len: <null>"));
        else if (pulDataLen == nullptr)
          Line(fn, TRACE_WARNING, rv, "pulDataLen = <null> !!!");
        else
          Result(fn, rv,
                 S("\n  Decrypted data [len=%lu]: %s", *pulDataLen, Withheld(pData).c_str()));
      });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                      CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
  const auto text = [&] {
    return S("Session %08lX\n  Data part to decrypt [len=%lu]: %s,\n  Decrypt buffer: %p, %s", hSession,
             ulEncryptedPartLen, Hex(pEncryptedPart, ulEncryptedPartLen).c_str(), static_cast<void*>(pPart),
             LenText(pPart, pulPartLen).c_str());
  };
  return UnsupportedStep("C_DecryptUpdate", text, hSession, CKF_DECRYPT);
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
  const auto text = [&] {
    return S("Session %08lX, pLastPart: %p, %s", hSession, static_cast<void*>(pLastPart),
             LenText(pLastPart, pulLastPartLen).c_str());
  };
  return UnsupportedStep("C_DecryptFinal", text, hSession, CKF_DECRYPT);
}

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
  return Unsupported("C_DigestInit", [&] {
    return S("Session %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, Mech(pMechanism).c_str());
  });
}

CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
               CK_ULONG_PTR pulDigestLen) {
  return Unsupported("C_Digest", [&] {
    return S("Session %08lX\n  Data to digest [len=%lu]: %s,\n  Digest buffer: %p, %s", hSession, ulDataLen,
             Hex(pData, ulDataLen).c_str(), static_cast<void*>(pDigest), LenText(pDigest, pulDigestLen).c_str());
  });
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return Unsupported("C_DigestUpdate", [&] {
    return S("Session %08lX\n  Data part to digest [len=%lu]: %s", hSession, ulPartLen, Hex(pPart, ulPartLen).c_str());
  });
}

CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
  return Unsupported("C_DigestKey", [&] { return S("Session %08lX, hKey %08lX", hSession, hKey); });
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  return Unsupported("C_DigestFinal", [&] {
    return S("Session %08lX, pDigest: %p, %s", hSession, static_cast<void*>(pDigest),
             LenText(pDigest, pulDigestLen).c_str());
  });
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  const char* fn = "C_SignInit";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, hKey: %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
      },
      [&] { return TheApp().SignInit(hSession, pMechanism, hKey); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  const char* fn = "C_Sign";
  return Framed(
      fn,
      [&] {
        return S("Session %08lX,\n  Data to sign [len=%lu]: %s", hSession, ulDataLen, Hex(pData, ulDataLen).c_str());
      },
      [&] { return TheApp().Sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen); },
      [&](CK_RV rv) {
        if (pulSignatureLen != nullptr && (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)) {
          // A too-small buffer holds nothing worth showing (and must not be read past its end).
          const std::string data = (rv == CKR_OK && pSignature) ? Hex(pSignature, *pulSignatureLen) : "<null>";
          Line(fn, TRACE_COMPLETE, rv, S("\n  Signed data[len=%lu]: %s", *pulSignatureLen, data.c_str()));
        } else {
          Result(fn, rv, "");
        }
      });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  const auto text = [&] {
    return S("Session %08lX,\n  Data to sign [part len: %ld]: %s", hSession, static_cast<long>(ulPartLen),
             Hex(pPart, ulPartLen).c_str());
  };
  return UnsupportedStep("C_SignUpdate", text, hSession, CKF_SIGN);
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  const auto text = [&] {
    return S("Session %08lX, pSignature: %p, pulSignatureLen: %s", hSession, static_cast<void*>(pSignature),
             pulSignatureLen ? S("%lu", *pulSignatureLen).c_str() : "<null>");
  };
  return UnsupportedStep("C_SignFinal", text, hSession, CKF_SIGN);
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return Unsupported("C_SignRecoverInit", [&] {
    return S("Session %08lX, hKey %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
  });
}

CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                    CK_ULONG_PTR pulSignatureLen) {
  return Unsupported("C_SignRecover", [&] {
    return S("Session %08lX\n  Data to sign with recover [len=%lu]: %s\n  Signature buffer: %p, %s", hSession,
             ulDataLen, Hex(pData, ulDataLen).c_str(), static_cast<void*>(pSignature),
             LenText(pSignature, pulSignatureLen).c_str());
  });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return Unsupported("C_VerifyInit", [&] {
    return S("Session %08lX, hKey %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
  });
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  return Unsupported("C_Verify", [&] {
    return S("Session %08lX,\n  Signature to verify[len=%lu]: %s", hSession, ulSignatureLen,
             Hex(pSignature, ulSignatureLen).c_str());
  });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return Unsupported("C_VerifyUpdate", [&] {
    return S("Session %08lX,\n  Part to verify[len=%lu]: %s", hSession, ulPartLen, Hex(pPart, ulPartLen).c_str());
  });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  return Unsupported("C_VerifyFinal", [&] {
    return S("Session %08lX,\n  Signature to verify[len=%lu]: %s", hSession, ulSignatureLen,
             Hex(pSignature, ulSignatureLen).c_str());
  });
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return Unsupported("C_VerifyRecoverInit", [&] {
    return S("Session %08lX, hKey %08lX,\n  Mechanism:\n  ( %s\n  )", hSession, hKey, Mech(pMechanism).c_str());
  });
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen, CK_BYTE_PTR pData,
                      CK_ULONG_PTR pulDataLen) {
  return Unsupported("C_VerifyRecover", [&] {
    return S("Session %08lX\n  Data to verify with recover [len=%lu]: %s\n  Recovered signature buffer: %p, %s",
             hSession, ulSignatureLen, Hex(pSignature, ulSignatureLen).c_str(), static_cast<void*>(pData),
             LenText(pData, pulDataLen).c_str());
  });
}

#define MIRTAL_DUAL_UNSUPPORTED(name, what, bufferName, secretIn)                                                 \
  CK_RV name(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG ulInLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) { \
    return Unsupported(#name, [&] {                                                                                 \
      return S("Session %08lX\n  Data part to " what " [len=%lu]: %s,\n  " bufferName ": %p, %s", hSession, ulInLen,   \
               (secretIn ? Withheld(pIn) : Hex(pIn, ulInLen)).c_str(), static_cast<void*>(pOut),                    \
               LenText(pOut, pulOutLen).c_str());                                                                   \
    });                                                                                                             \
  }

MIRTAL_DUAL_UNSUPPORTED(C_DigestEncryptUpdate, "digest and encrypt", "Encrypt buffer", true)
MIRTAL_DUAL_UNSUPPORTED(C_DecryptDigestUpdate, "decrypt and digest", "Decrypt buffer", false)
MIRTAL_DUAL_UNSUPPORTED(C_SignEncryptUpdate, "sign and encrypt", "Encrypt buffer", true)
MIRTAL_DUAL_UNSUPPORTED(C_DecryptVerifyUpdate, "decrypt and verify", "Decrypt buffer", false)
#undef MIRTAL_DUAL_UNSUPPORTED

CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR) {
  return Unsupported("C_GenerateKey", [&] {
    return S("Session %08lX,\n  Mechanism:\n  ( %s\n  ),\n  Template:\n  ( %s\n  )", hSession,
             Mech(pMechanism).c_str(), Tmpl(pTemplate, ulCount).c_str());
  });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
  const char* fn = "C_GenerateKeyPair";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX,\n  Mechanism:\n  ( %s,\n  ),\n  Public Key Template:\n  ( %s,\n  ),\n  Private Key "
                 "Template:\n  ( %s,\n  ),\n  phPublicKey: %p,\n  phPrivateKey: %p",
                 hSession, Mech(pMechanism).c_str(), Tmpl(pPublicKeyTemplate, ulPublicKeyAttributeCount).c_str(),
                 Tmpl(pPrivateKeyTemplate, ulPrivateKeyAttributeCount).c_str(), static_cast<void*>(phPublicKey),
                 static_cast<void*>(phPrivateKey));
      },
      [&] {
        return TheApp().GenerateKeyPair(hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                        pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
      },
      [&](CK_RV rv) {
        if (rv != CKR_OK) {
          Result(fn, rv, "");
          return;
        }
        Result(fn, rv,
               S("hPubKey: %s, hPrivKey: %s", phPublicKey ? S("%08lX", *phPublicKey).c_str() : "<null>",
                 phPrivateKey ? S("%08lX", *phPrivateKey).c_str() : "<null>"));
      });
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
  return Unsupported("C_WrapKey", [&] {
    return S("Session %08lX, wrappingKey: %08lX, key: %08lX,\n  Mechanism:\n  ( %s\n  ),\n  wrapped key buffer: %p\n  "
             "wrapped key buffer %s",
             hSession, hWrappingKey, hKey, Mech(pMechanism).c_str(), static_cast<void*>(pWrappedKey),
             LenText(pWrappedKey, pulWrappedKeyLen).c_str());
  });
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount,
                  CK_OBJECT_HANDLE_PTR phKey) {
  return Unsupported("C_UnwrapKey", [&] {
    return S("Session: %08lX, unwrappingKey: %08lX,\n  Mechanism:\n  ( %s\n  ),\n  Template:\n  ( %s\n  )\n  phKey: %p",
             hSession, hUnwrappingKey, Mech(pMechanism).c_str(), Tmpl(pTemplate, ulAttributeCount).c_str(),
             static_cast<void*>(phKey));
  });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR) {
  return Unsupported("C_DeriveKey", [&] {
    return S("Session %08lX, baseKey %08lX,\n  Mechanism:\n  ( %s\n  ),\n  Template:\n  ( %s\n  )", hSession, hBaseKey,
             Mech(pMechanism).c_str(), Tmpl(pTemplate, ulAttributeCount).c_str());
  });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
  const char* fn = "C_SeedRandom";
  return Framed(
      fn,
      [&] { return S("Session: %08lX, seed [len:%ld]: %s", hSession, static_cast<long>(ulSeedLen), Withheld(pSeed).c_str()); },
      [&] { return TheApp().SeedRandom(hSession, pSeed, ulSeedLen); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  const char* fn = "C_GenerateRandom";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, data: %p, len: %ld", hSession, static_cast<void*>(pRandomData),
                 static_cast<long>(ulRandomLen));
      },
      [&] { return TheApp().GenerateRandom(hSession, pRandomData, ulRandomLen); },
      [&](CK_RV rv) {
        Result(fn, rv,
               rv == CKR_OK ? S("generated random [len: %ld]: %s", static_cast<long>(ulRandomLen),
                                Withheld(pRandomData).c_str())
                            : "");
      });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
  return Unsupported("C_GetFunctionStatus", [&] { return S("hSession: %08lX", hSession); });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) {
  return Unsupported("C_CancelFunction", [&] { return S("hSession: %08lX", hSession); });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  return Unsupported("C_WaitForSlotEvent", [&] {
    return S("Flags: %08lx, pSlot: %p, pReserved: %p", flags, static_cast<void*>(pSlot), pReserved);
  });
}

// ===========================================================================
// Vendor exports

const char* MIRTAL_PKCS11_GetVersionString(void) { return MIRTAL_VERSION_BANNER; }

CK_RV MIRTAL_PKCS11_ActivateTokenQualifiedPart(CK_SESSION_HANDLE hSession) {
  const char* fn = "MIRTAL_PKCS11_ActivateTokenQualifiedPart";
  unsigned long flags = 0;
  const Entry entry;
  if (!entry.In()) return entry.Answer(CKR_GENERAL_ERROR);
  if (AppAlive()) TheConfig().GetInt(CFGKEY_SIGG_FLAGS, &flags);
  return Framed(
      fn, [&] { return S("hSession: %08lX, Config[SigGFlags]: %lx", hSession, flags); },
      [&] { return TheApp().ActivateTokenQualifiedPart(hSession, flags); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_SetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE dataType, CK_VOID_PTR pData,
                                 CK_ULONG ulDataLen) {
  const char* fn = "MIRTAL_PKCS11_SetTokenData";
  return Framed(
      fn,
      [&] {
        // The system key's octets are never written, only their length.
        CK_ATTRIBUTE a = {dataType, pData, ulDataLen};
        return S("Token data to set: %s", TemplateText(0, &a, 1, dataType != CKA_MIRTAL_SYSAUTH_KEY, ", ").c_str());
      },
      [&] { return TheApp().SetTokenData(hSession, dataType, pData, ulDataLen); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_GetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE dataType, CK_VOID_PTR pData,
                                 CK_ULONG_PTR pulDataLen) {
  const char* fn = "MIRTAL_PKCS11_GetTokenData";
  return Framed(
      fn,
      [&] {
        char name[128];
        return S("hSession: %08lX, dataType: %s, pData: %p, *pulDataLen: %s", hSession,
                 GetAttributeName(dataType, name, sizeof name), pData,
                 pulDataLen ? S("max %lu", *pulDataLen).c_str() : "<null>");
      },
      [&] { return TheApp().GetTokenData(hSession, dataType, pData, pulDataLen); },
      [&](CK_RV rv) {
        if (rv == CKR_BUFFER_TOO_SMALL && pulDataLen)
          Result(fn, rv, S("Required length: %ld", static_cast<long>(*pulDataLen)));
        else if (rv == CKR_OK && pulDataLen && pData && dataType == CKA_MIRTAL_SYSAUTH_KEY)
          Result(fn, rv, S("Returned data: <%lu octets not shown>", *pulDataLen));
        else if (rv == CKR_OK && pulDataLen)
          Result(fn, rv, S("Returned data: %s", pData ? Hex(pData, *pulDataLen).c_str() : "<null>"));
        else
          Result(fn, rv, "");
      });
}

CK_RV MIRTAL_PKCS11_GetQualifiedPartCharacteristics(CK_SLOT_ID slotId, CK_FLAGS* pFlags, CK_VOID_PTR pReserved) {
  const char* fn = "MIRTAL_PKCS11_GetQualifiedPartCharacteristics";
  return Framed(
      fn,
      [&] {
        return S("slotId: %ld, pFlags: %p, pReserved: %p", static_cast<long>(slotId), static_cast<void*>(pFlags),
                 pReserved);
      },
      [&] {
        // The reserved argument is for later versions: a value in it is a wrong call.
        return pReserved != nullptr ? CKR_ARGUMENTS_BAD : TheApp().GetQualifiedPartCharacteristics(slotId, pFlags, false);
      },
      [&](CK_RV rv) { Result(fn, rv, S("pFlags: %s", pFlags ? S("%08lx", *pFlags).c_str() : "<null>")); });
}

CK_RV MIRTAL_PKCS11_TerminateTokenUsage(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  const char* fn = "MIRTAL_PKCS11_TerminateTokenUsage";
  return Framed(
      fn,
      [&] {
        return S("slotId: %ld, pin: %slen=%ld", static_cast<long>(slotId), NullOr(pPin, "NULL, ", ""),
                 static_cast<long>(ulPinLen));
      },
      [&] { return TheApp().TerminateTokenUsage(slotId, pPin, ulPinLen); }, [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_UnblockPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pPuk,
                               CK_ULONG ulPukLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen) {
  const char* fn = "MIRTAL_PKCS11_UnblockPin";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, hPin=%08lX, puk: %slen=%ld, newpin: %slen=%ld", hSession, hPin,
                 NullOr(pPuk, "NULL,", ""), static_cast<long>(ulPukLen), NullOr(pNewPin, "NULL,", ""),
                 static_cast<long>(ulNewPinLen));
      },
      [&] { return TheApp().UnblockPin(hSession, hPin, pPuk, ulPukLen, pNewPin, ulNewPinLen); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_ChangePin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pOldPin,
                              CK_ULONG ulOldPinLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen) {
  const char* fn = "MIRTAL_PKCS11_ChangePin";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, hPin: %08lX, old: %slen=%ld, new: %slen=%ld", hSession, hPin,
                 NullOr(pOldPin, "NULL,", ""), static_cast<long>(ulOldPinLen), NullOr(pNewPin, "NULL,", ""),
                 static_cast<long>(ulNewPinLen));
      },
      [&] { return TheApp().ChangePin(hSession, hPin, pOldPin, ulOldPinLen, pNewPin, ulNewPinLen); },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_InitPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pProtectingPin,
                            CK_ULONG ulProtectingPinLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen,
                            CK_UTF8CHAR_PTR pPuk, CK_ULONG ulPukLen) {
  const char* fn = "MIRTAL_PKCS11_InitPin";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lx, hPin: %08lX, protecting: %slen=%ld, new: %slen=%ld, puk: %slen=%ld", hSession, hPin,
                 NullOr(pProtectingPin, "NULL,", ""), static_cast<long>(ulProtectingPinLen),
                 NullOr(pNewPin, "NULL,", ""), static_cast<long>(ulNewPinLen), NullOr(pPuk, "NULL,", ""),
                 static_cast<long>(ulPukLen));
      },
      [&] {
        return TheApp().InitPin(hSession, hPin, pProtectingPin, ulProtectingPinLen, pNewPin, ulNewPinLen, pPuk,
                                ulPukLen);
      },
      [&](CK_RV rv) { Result(fn, rv, ""); });
}

CK_RV MIRTAL_PKCS11_GetPinStatus(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_ULONG_PTR pulPinStatus) {
  const char* fn = "MIRTAL_PKCS11_GetPinStatus";
  return Framed(
      fn,
      [&] { return S("Session: %08lX, hPin: %08lX, pPinStatus: %p", hSession, hPin, static_cast<void*>(pulPinStatus)); },
      [&] { return TheApp().GetPinStatus(hSession, hPin, pulPinStatus); },
      [&](CK_RV rv) {
        if (rv == CKR_OK && pulPinStatus) {
          char name[128];
          Result(fn, rv, S("Pin status: %s", GetPinStatusName(*pulPinStatus, name, sizeof name)));
        } else {
          Result(fn, rv, "");
        }
      });
}

CK_RV MIRTAL_PKCS11_GetPinInfo(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, MIRTAL_PIN_INFO_PTR pPinInfo) {
  const char* fn = "MIRTAL_PKCS11_GetPinInfo";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, hPin: %08lX, pPinInfo: %p, pinInfo.structSize=%ld", hSession, hPin,
                 static_cast<void*>(pPinInfo), pPinInfo ? static_cast<long>(pPinInfo->structSize) : 0L);
      },
      [&] { return TheApp().GetPinInfo(hSession, hPin, pPinInfo); },
      [&](CK_RV rv) {
        if (rv == CKR_OK && pPinInfo)
          Result(fn, rv, S("\n  Pin info:\n  ( %s\n  )", PinInfoText(pPinInfo, "\n    ").c_str()));
        else
          Result(fn, rv, "");
      });
}

CK_RV MIRTAL_PKCS11_GetPinList(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phPins, CK_ULONG_PTR pulCount) {
  const char* fn = "MIRTAL_PKCS11_GetPinList";
  return Framed(
      fn,
      [&] {
        return S("Session: %08lX, pPinList: %s, pulCount: %s", hSession,
                 phPins ? S("%p", static_cast<void*>(phPins)).c_str() : "<null>",
                 pulCount ? S("%s%ld", phPins ? "max " : "", static_cast<long>(*pulCount)).c_str() : "<null>");
      },
      [&] { return TheApp().GetPinList(hSession, phPins, pulCount); },
      [&](CK_RV rv) {
        const std::string count = pulCount ? S("%lu", *pulCount) : std::string("<null>");
        if (rv == CKR_OK)
          Result(fn, rv,
                 S("Pin count: %s, pins: %s", count.c_str(),
                   (phPins && pulCount) ? HandlesText(phPins, *pulCount).c_str() : ""));
        else
          Result(fn, rv, S("Pin count: %s", count.c_str()));
      });
}

int InitializeCard(const char* readerName, const char* profileName) {
  const Entry entry;
  if (!entry.In() || !AppAlive()) return 0;
  const char* fn = "InitializeCard";
  try {
    EnsureStarted();
    TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "readerName: %s, profileName: %s", readerName ? readerName : "<null>",
             profileName ? profileName : "<null>");
    CPkcs11App& app = TheApp();
    bool initialisedHere = false;
    CK_RV rv;
    {
      std::lock_guard<std::mutex> guard(g_lifecycleMutex);
      if (!app.IsInitialized()) {
        rv = app.Initialize(nullptr);
        if (rv != CKR_OK) {
          char name[128];
          app.LastError().SetFormatted("Error initializing library: %s", GetReturnValueName(rv, name, sizeof name));
        } else {
          initialisedHere = true;
        }
      } else {
        rv = CKR_OK;
      }
    }
    if (rv == CKR_OK) rv = Through([&] { return app.InitializeCardInReader(readerName, nullptr, 0, profileName); });
    if (rv == CKR_OK)
      LogEmpty(fn, TRACE_COMPLETE, CKR_OK);
    else
      TraceLog(Lg(), fn, TRACE_ERROR, rv, "Cause: %s", app.GetLastErrorText());
    if (initialisedHere) {
      std::lock_guard<std::mutex> guard(g_lifecycleMutex);
      if (app.IsInitialized()) app.Finalize(nullptr);
    }
    return rv == CKR_OK ? 1 : 0;
  } catch (...) {
    Caught(fn);
    try {
      TheApp().SetLastErrorText("Error initializing card: Exception caught!!");
    } catch (...) {
    }
    return 0;
  }
}

int GetLastErrorString(char* pszStringBuf, unsigned long* pcbBuflen) {
  const Entry entry;
  if (!entry.In() || !AppAlive()) return 0;
  const char* fn = "GetLastErrorString";
  try {
    if (On())
      TraceLog(Lg(), fn, TRACE_STARTING, CKR_OK, "pszStringBuf: %p, pcbBuflen: %p (%s)",
               static_cast<void*>(pszStringBuf), static_cast<void*>(pcbBuflen),
               pcbBuflen ? S("max: %lu", *pcbBuflen).c_str() : "<null>");
    CPkcs11App& app = TheApp();
    // The text is read under the global lock, where the members change it; when
    // there is no lock (not initialised, or closing), C_Initialize and
    // C_Finalize are kept out instead. The gate is left before that wait, since
    // a closing C_Finalize waits for the calls it counts.
    int result = -1;
    {
      CallGate::Pass pass(app.Gate());
      if (pass && app.IsInitialized()) {
        Pkcs11LockGuard guard(app.Lock());
        result = CopyLastErrorForCaller(app.GetLastErrorTextForCaller(), pszStringBuf, pcbBuflen);
      }
    }
    if (result < 0) {
      std::lock_guard<std::mutex> guard(g_lifecycleMutex);
      result = CopyLastErrorForCaller(app.GetLastErrorTextForCaller(), pszStringBuf, pcbBuflen);
    }
    if (On())
      TraceLog(Lg(), fn, TRACE_COMPLETE, CKR_OK, "Return value: %s, pcbBuffLen: %s, ErrorDescription: %s",
               result ? "TRUE" : "FALSE", pcbBuflen ? S("%lu", *pcbBuflen).c_str() : "<null>",
               app.GetLastErrorText());
    return result;
  } catch (...) {
    Caught(fn);
    return 0;
  }
}

}  // extern "C"
