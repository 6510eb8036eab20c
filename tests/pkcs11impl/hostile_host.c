/* A hostile PKCS#11 host in plain C, built against an independent pkcs11.h
 * (p11-kit's), never the module's own header:
 *   hostile_host MODULE
 * It sends every exported function null pointers, handles that name nothing,
 * lengths 0 and 0xFFFFFFFF, null values with lengths, repeated and unknown
 * attributes and buffers too small, before C_Initialize, while initialised
 * (on the token of slot 0, user PIN 1234) and after C_Finalize. A wrong call
 * must not answer CKR_OK, and every answer must be one that the standard lists
 * for the function. Each breach prints "BAD line: call -> value"; the last line
 * is "calls N, bad M"; the exit status is 1 when M > 0. A crash ends it early. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "p11-kit/pkcs11.h"

#define END (~(CK_RV)0)
#define BIG ((CK_ULONG)0xFFFFFFFFUL)

enum { G_SESSION = 1, G_TOKEN = 2, G_NOINIT = 4 };

typedef struct {
  unsigned groups;
  CK_RV own[24];
} Rules;

static int calls, bad;

static int Listed(const CK_RV* list, CK_RV rv) {
  for (; *list != END; ++list)
    if (*list == rv) return 1;
  return 0;
}

/* The answers the standard allows the function: its own, the universal ones
 * and those of its groups. */
static int Allowed(const Rules* r, CK_RV rv) {
  static const CK_RV universal[] = {CKR_OK, CKR_GENERAL_ERROR, CKR_HOST_MEMORY, CKR_FUNCTION_FAILED,
                                    CKR_FUNCTION_NOT_SUPPORTED, END};
  static const CK_RV session[] = {CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED, END};
  static const CK_RV token[] = {CKR_DEVICE_ERROR, CKR_DEVICE_MEMORY, CKR_DEVICE_REMOVED, CKR_TOKEN_NOT_PRESENT, END};
  if (Listed(universal, rv) || Listed(r->own, rv)) return 1;
  if ((r->groups & G_NOINIT) && rv == CKR_CRYPTOKI_NOT_INITIALIZED) return 1;
  if ((r->groups & G_SESSION) && Listed(session, rv)) return 1;
  if ((r->groups & G_TOKEN) && Listed(token, rv)) return 1;
  return 0;
}

static void Check(const Rules* r, int line, const char* call, int wrong, CK_RV rv) {
  ++calls;
  if ((wrong && rv == CKR_OK) || !Allowed(r, rv)) {
    ++bad;
    printf("BAD %d: %s -> 0x%lx\n", line, call, (unsigned long)rv);
  }
}

static void Exact(int line, const char* call, CK_RV want, CK_RV rv) {
  ++calls;
  if (rv != want) {
    ++bad;
    printf("BAD %d: %s -> 0x%lx, not 0x%lx\n", line, call, (unsigned long)rv, (unsigned long)want);
  }
}

static void Truth(int line, const char* what, int ok) {
  ++calls;
  if (!ok) {
    ++bad;
    printf("BAD %d: %s\n", line, what);
  }
}

/* WRONG: a call that must fail; RIGHT: a call that may succeed; both within the rules. */
#define WRONG(rules, call) Check(&(rules), __LINE__, #call, 1, (call))
#define RIGHT(rules, call) Check(&(rules), __LINE__, #call, 0, (call))
#define EXACT(want, call) Exact(__LINE__, #call, (want), (call))
#define TRUTH(cond) Truth(__LINE__, #cond, (cond))

#define SN (G_SESSION | G_TOKEN | G_NOINIT)
#define TN (G_TOKEN | G_NOINIT)
static const Rules rInitialize = {0, {CKR_ARGUMENTS_BAD, CKR_CANT_LOCK, CKR_CRYPTOKI_ALREADY_INITIALIZED,
                                      CKR_NEED_TO_CREATE_THREADS, END}};
static const Rules rFinalize = {G_NOINIT, {CKR_ARGUMENTS_BAD, END}};
static const Rules rGetInfo = {G_NOINIT, {CKR_ARGUMENTS_BAD, END}};
static const Rules rGetFunctionList = {0, {CKR_ARGUMENTS_BAD, END}};
static const Rules rGetSlotList = {G_NOINIT, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, END}};
static const Rules rGetSlotInfo = {TN, {CKR_ARGUMENTS_BAD, CKR_SLOT_ID_INVALID, END}};
static const Rules rGetTokenInfo = {TN, {CKR_ARGUMENTS_BAD, CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_RECOGNIZED, END}};
static const Rules rWaitForSlotEvent = {G_NOINIT, {CKR_ARGUMENTS_BAD, CKR_NO_EVENT, END}};
static const Rules rGetMechanismList = {TN, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, CKR_SLOT_ID_INVALID,
                                             CKR_TOKEN_NOT_RECOGNIZED, END}};
static const Rules rGetMechanismInfo = {TN, {CKR_ARGUMENTS_BAD, CKR_MECHANISM_INVALID, CKR_SLOT_ID_INVALID,
                                             CKR_TOKEN_NOT_RECOGNIZED, END}};
static const Rules rInitToken = {TN, {CKR_ARGUMENTS_BAD, CKR_PIN_INCORRECT, CKR_PIN_LOCKED, CKR_SESSION_EXISTS,
                                      CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_WRITE_PROTECTED,
                                      CKR_PIN_INVALID, CKR_PIN_LEN_RANGE, END}};
static const Rules rInitPIN = {SN, {CKR_ARGUMENTS_BAD, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE, CKR_SESSION_READ_ONLY,
                                    CKR_TOKEN_WRITE_PROTECTED, CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rSetPIN = {SN, {CKR_ARGUMENTS_BAD, CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE,
                                   CKR_PIN_LOCKED, CKR_SESSION_READ_ONLY, CKR_TOKEN_WRITE_PROTECTED, END}};
static const Rules rOpenSession = {TN, {CKR_ARGUMENTS_BAD, CKR_SESSION_COUNT, CKR_SESSION_PARALLEL_NOT_SUPPORTED,
                                        CKR_SESSION_READ_WRITE_SO_EXISTS, CKR_SLOT_ID_INVALID,
                                        CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_WRITE_PROTECTED, END}};
static const Rules rCloseSession = {SN, {END}};
static const Rules rCloseAllSessions = {TN, {CKR_SLOT_ID_INVALID, END}};
static const Rules rGetSessionInfo = {SN, {CKR_ARGUMENTS_BAD, END}};
static const Rules rOperationState = {SN, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, CKR_OPERATION_NOT_INITIALIZED,
                                           CKR_STATE_UNSAVEABLE, CKR_SAVED_STATE_INVALID, CKR_KEY_CHANGED,
                                           CKR_KEY_NEEDED, CKR_KEY_NOT_NEEDED, END}};
static const Rules rLogin = {SN, {CKR_ARGUMENTS_BAD, CKR_OPERATION_NOT_INITIALIZED, CKR_PIN_INCORRECT,
                                  CKR_PIN_LOCKED, CKR_PIN_EXPIRED, CKR_SESSION_READ_ONLY_EXISTS,
                                  CKR_USER_ALREADY_LOGGED_IN, CKR_USER_ANOTHER_ALREADY_LOGGED_IN,
                                  CKR_USER_PIN_NOT_INITIALIZED, CKR_USER_TOO_MANY_TYPES, CKR_USER_TYPE_INVALID,
                                  CKR_PIN_LEN_RANGE, END}};
static const Rules rLogout = {SN, {CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rCreateObject = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_READ_ONLY, CKR_ATTRIBUTE_TYPE_INVALID,
                                         CKR_ATTRIBUTE_VALUE_INVALID, CKR_DOMAIN_PARAMS_INVALID, CKR_PIN_EXPIRED,
                                         CKR_SESSION_READ_ONLY, CKR_TEMPLATE_INCOMPLETE, CKR_TEMPLATE_INCONSISTENT,
                                         CKR_TOKEN_WRITE_PROTECTED, CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rCopyObject = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_READ_ONLY, CKR_ATTRIBUTE_TYPE_INVALID,
                                       CKR_ATTRIBUTE_VALUE_INVALID, CKR_OBJECT_HANDLE_INVALID, CKR_PIN_EXPIRED,
                                       CKR_SESSION_READ_ONLY, CKR_TEMPLATE_INCONSISTENT, CKR_TOKEN_WRITE_PROTECTED,
                                       CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rDestroyObject = {SN, {CKR_OBJECT_HANDLE_INVALID, CKR_PIN_EXPIRED, CKR_SESSION_READ_ONLY,
                                          CKR_TOKEN_WRITE_PROTECTED, END}};
static const Rules rGetObjectSize = {SN, {CKR_ARGUMENTS_BAD, CKR_INFORMATION_SENSITIVE, CKR_OBJECT_HANDLE_INVALID,
                                          END}};
static const Rules rGetAttributeValue = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID,
                                              CKR_BUFFER_TOO_SMALL, CKR_OBJECT_HANDLE_INVALID, END}};
static const Rules rSetAttributeValue = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_READ_ONLY, CKR_ATTRIBUTE_TYPE_INVALID,
                                              CKR_ATTRIBUTE_VALUE_INVALID, CKR_OBJECT_HANDLE_INVALID,
                                              CKR_SESSION_READ_ONLY, CKR_TEMPLATE_INCONSISTENT,
                                              CKR_TOKEN_WRITE_PROTECTED, CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rFindObjectsInit = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_VALUE_INVALID,
                                            CKR_OPERATION_ACTIVE, CKR_PIN_EXPIRED, END}};
static const Rules rFindObjects = {SN, {CKR_ARGUMENTS_BAD, CKR_OPERATION_NOT_INITIALIZED, END}};
static const Rules rFindObjectsFinal = {SN, {CKR_OPERATION_NOT_INITIALIZED, END}};
static const Rules rCryptInit = {SN, {CKR_ARGUMENTS_BAD, CKR_KEY_FUNCTION_NOT_PERMITTED, CKR_KEY_HANDLE_INVALID,
                                      CKR_KEY_SIZE_RANGE, CKR_KEY_TYPE_INCONSISTENT, CKR_MECHANISM_INVALID,
                                      CKR_MECHANISM_PARAM_INVALID, CKR_OPERATION_ACTIVE, CKR_PIN_EXPIRED,
                                      CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rSign = {SN, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, CKR_DATA_INVALID, CKR_DATA_LEN_RANGE,
                                 CKR_OPERATION_NOT_INITIALIZED, CKR_USER_NOT_LOGGED_IN, CKR_FUNCTION_REJECTED, END}};
static const Rules rDecrypt = {SN, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, CKR_ENCRYPTED_DATA_INVALID,
                                    CKR_ENCRYPTED_DATA_LEN_RANGE, CKR_OPERATION_NOT_INITIALIZED,
                                    CKR_USER_NOT_LOGGED_IN, END}};
/* The calls the module does not offer: what any of them may answer. */
static const Rules rOther = {SN, {CKR_ARGUMENTS_BAD, CKR_BUFFER_TOO_SMALL, CKR_DATA_INVALID, CKR_DATA_LEN_RANGE,
                                  CKR_ENCRYPTED_DATA_INVALID, CKR_ENCRYPTED_DATA_LEN_RANGE,
                                  CKR_OPERATION_NOT_INITIALIZED, CKR_OPERATION_ACTIVE, CKR_KEY_HANDLE_INVALID,
                                  CKR_MECHANISM_INVALID, CKR_SIGNATURE_INVALID, CKR_SIGNATURE_LEN_RANGE,
                                  CKR_TEMPLATE_INCOMPLETE, CKR_TEMPLATE_INCONSISTENT, CKR_FUNCTION_NOT_PARALLEL,
                                  CKR_WRAPPED_KEY_INVALID, CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rGenerateKeyPair = {SN, {CKR_ARGUMENTS_BAD, CKR_ATTRIBUTE_READ_ONLY, CKR_ATTRIBUTE_TYPE_INVALID,
                                            CKR_ATTRIBUTE_VALUE_INVALID, CKR_DOMAIN_PARAMS_INVALID,
                                            CKR_MECHANISM_INVALID, CKR_MECHANISM_PARAM_INVALID, CKR_OPERATION_ACTIVE,
                                            CKR_PIN_EXPIRED, CKR_SESSION_READ_ONLY, CKR_TEMPLATE_INCOMPLETE,
                                            CKR_TEMPLATE_INCONSISTENT, CKR_TOKEN_WRITE_PROTECTED,
                                            CKR_USER_NOT_LOGGED_IN, END}};
static const Rules rRandom = {SN, {CKR_ARGUMENTS_BAD, CKR_OPERATION_ACTIVE, CKR_RANDOM_NO_RNG,
                                   CKR_RANDOM_SEED_NOT_SUPPORTED, CKR_USER_NOT_LOGGED_IN, END}};
/* The module's own exports: any failure, never success for a wrong call. */
static const Rules rVendor = {SN, {CKR_ARGUMENTS_BAD, CKR_OBJECT_HANDLE_INVALID, CKR_SLOT_ID_INVALID,
                                   CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_READ_ONLY,
                                   CKR_PIN_INCORRECT, CKR_PIN_LEN_RANGE, CKR_PIN_INVALID, CKR_USER_NOT_LOGGED_IN,
                                   CKR_TOKEN_NOT_RECOGNIZED, CKR_KEY_HANDLE_INVALID, END}};

typedef CK_RV (*SessionFn)(CK_SESSION_HANDLE);
typedef CK_RV (*SetTokenDataFn)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG);
typedef CK_RV (*GetTokenDataFn)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR);
typedef CK_RV (*CharacteristicsFn)(CK_SLOT_ID, CK_FLAGS*, CK_VOID_PTR);
typedef CK_RV (*TerminateFn)(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG);
typedef CK_RV (*TwoPinFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
typedef CK_RV (*InitPinFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG,
                           CK_UTF8CHAR_PTR, CK_ULONG);
typedef CK_RV (*PinStatusFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR);
typedef CK_RV (*PinInfoFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_VOID_PTR);
typedef CK_RV (*PinListFn)(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG_PTR);
typedef int (*InitializeCardFn)(const char*, const char*);
typedef int (*LastErrorFn)(char*, unsigned long*);
typedef const char* (*VersionFn)(void);

struct Vendor {
  SessionFn activate;
  SetTokenDataFn setData;
  GetTokenDataFn getData;
  CharacteristicsFn characteristics;
  TerminateFn terminate;
  TwoPinFn unblock, change;
  InitPinFn initPin;
  PinStatusFn pinStatus;
  PinInfoFn pinInfo;
  PinListFn pinList;
  InitializeCardFn initializeCard;
  LastErrorFn lastError;
  VersionFn version;
};

static int Load(void* module, const char* name, void** out) {
  *out = dlsym(module, name);
  if (*out == NULL) printf("no export %s\n", name);
  return *out != NULL;
}

static CK_UTF8CHAR kPin[] = "1234";
/* A token label is 32 octets, blank-padded. */
static CK_UTF8CHAR kLabel[33] = "hostile label                   ";

static CK_RV OneMutexCallback(CK_VOID_PTR_PTR mutex) {
  (void)mutex;
  return CKR_OK;
}
static CK_BYTE kBuf[512];

/* Every function with plausible arguments while the library is not initialised:
 * nothing may succeed but C_GetInfo, which needs no initialisation. */
static void Uninitialised(CK_FUNCTION_LIST_PTR f, const struct Vendor* v) {
  CK_INFO info;
  CK_SLOT_ID slots[4];
  CK_ULONG n = 4, len = sizeof kBuf;
  CK_SLOT_INFO si;
  CK_TOKEN_INFO ti;
  CK_MECHANISM_TYPE mechs[8];
  CK_MECHANISM_INFO mi;
  CK_SESSION_HANDLE s = 0;
  CK_SESSION_INFO sinfo;
  CK_OBJECT_HANDLE h = 0;
  CK_MECHANISM mech = {CKM_RSA_PKCS, NULL, 0};
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  RIGHT(rGetInfo, f->C_GetInfo(&info));
  WRONG(rFinalize, f->C_Finalize(NULL));
  WRONG(rGetSlotList, f->C_GetSlotList(CK_FALSE, slots, &n));
  WRONG(rGetSlotInfo, f->C_GetSlotInfo(0, &si));
  WRONG(rGetTokenInfo, f->C_GetTokenInfo(0, &ti));
  n = 8;
  WRONG(rGetMechanismList, f->C_GetMechanismList(0, mechs, &n));
  WRONG(rGetMechanismInfo, f->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi));
  WRONG(rInitToken, f->C_InitToken(0, kPin, 4, kLabel));
  WRONG(rInitPIN, f->C_InitPIN(1, kPin, 4));
  WRONG(rSetPIN, f->C_SetPIN(1, kPin, 4, kPin, 4));
  WRONG(rOpenSession, f->C_OpenSession(0, CKF_SERIAL_SESSION, NULL, NULL, &s));
  WRONG(rCloseSession, f->C_CloseSession(1));
  WRONG(rCloseAllSessions, f->C_CloseAllSessions(0));
  WRONG(rGetSessionInfo, f->C_GetSessionInfo(1, &sinfo));
  WRONG(rOperationState, f->C_GetOperationState(1, kBuf, &len));
  WRONG(rOperationState, f->C_SetOperationState(1, kBuf, 16, 0, 0));
  WRONG(rLogin, f->C_Login(1, CKU_USER, kPin, 4));
  WRONG(rLogout, f->C_Logout(1));
  WRONG(rCreateObject, f->C_CreateObject(1, &t, 1, &h));
  WRONG(rCopyObject, f->C_CopyObject(1, 1, &t, 1, &h));
  WRONG(rDestroyObject, f->C_DestroyObject(1, 1));
  WRONG(rGetObjectSize, f->C_GetObjectSize(1, 1, &len));
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(1, 1, &t, 1));
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(1, 1, &t, 1));
  WRONG(rFindObjectsInit, f->C_FindObjectsInit(1, &t, 1));
  WRONG(rFindObjects, f->C_FindObjects(1, &h, 1, &len));
  WRONG(rFindObjectsFinal, f->C_FindObjectsFinal(1));
  WRONG(rOther, f->C_EncryptInit(1, &mech, 1));
  len = sizeof kBuf;
  WRONG(rOther, f->C_Encrypt(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_EncryptUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_EncryptFinal(1, kBuf, &len));
  WRONG(rCryptInit, f->C_DecryptInit(1, &mech, 1));
  WRONG(rDecrypt, f->C_Decrypt(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DecryptUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DecryptFinal(1, kBuf, &len));
  WRONG(rOther, f->C_DigestInit(1, &mech));
  WRONG(rOther, f->C_Digest(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DigestUpdate(1, kBuf, 16));
  WRONG(rOther, f->C_DigestKey(1, 1));
  WRONG(rOther, f->C_DigestFinal(1, kBuf, &len));
  WRONG(rCryptInit, f->C_SignInit(1, &mech, 1));
  WRONG(rSign, f->C_Sign(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_SignUpdate(1, kBuf, 16));
  WRONG(rOther, f->C_SignFinal(1, kBuf, &len));
  WRONG(rOther, f->C_SignRecoverInit(1, &mech, 1));
  WRONG(rOther, f->C_SignRecover(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_VerifyInit(1, &mech, 1));
  WRONG(rOther, f->C_Verify(1, kBuf, 16, kBuf, 16));
  WRONG(rOther, f->C_VerifyUpdate(1, kBuf, 16));
  WRONG(rOther, f->C_VerifyFinal(1, kBuf, 16));
  WRONG(rOther, f->C_VerifyRecoverInit(1, &mech, 1));
  WRONG(rOther, f->C_VerifyRecover(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DigestEncryptUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DecryptDigestUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_SignEncryptUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_DecryptVerifyUpdate(1, kBuf, 16, kBuf, &len));
  WRONG(rOther, f->C_GenerateKey(1, &mech, &t, 1, &h));
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(1, &mech, &t, 1, &t, 1, &h, &h));
  WRONG(rOther, f->C_WrapKey(1, &mech, 1, 1, kBuf, &len));
  WRONG(rOther, f->C_UnwrapKey(1, &mech, 1, kBuf, 16, &t, 1, &h));
  WRONG(rOther, f->C_DeriveKey(1, &mech, 1, &t, 1, &h));
  WRONG(rRandom, f->C_SeedRandom(1, kBuf, 16));
  WRONG(rRandom, f->C_GenerateRandom(1, kBuf, 16));
  WRONG(rOther, f->C_GetFunctionStatus(1));
  WRONG(rOther, f->C_CancelFunction(1));
  WRONG(rWaitForSlotEvent, f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, NULL));
  WRONG(rVendor, v->activate(1));
  WRONG(rVendor, v->setData(1, CKA_LABEL, kBuf, 4));
  len = sizeof kBuf;
  WRONG(rVendor, v->getData(1, CKA_LABEL, kBuf, &len));
  WRONG(rVendor, v->characteristics(0, &flags, NULL));
  WRONG(rVendor, v->terminate(0, kPin, 4));
  WRONG(rVendor, v->unblock(1, 1, kPin, 4, kPin, 4));
  WRONG(rVendor, v->change(1, 1, kPin, 4, kPin, 4));
  WRONG(rVendor, v->initPin(1, 1, kPin, 4, kPin, 4, kPin, 4));
  WRONG(rVendor, v->pinStatus(1, 1, &len));
  WRONG(rVendor, v->pinInfo(1, 1, kBuf));
  n = 4;
  WRONG(rVendor, v->pinList(1, &h, &n));
}

/* One entry of a template pointing at the value given. */
static CK_ATTRIBUTE At(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG len) {
  CK_ATTRIBUTE a;
  a.type = type;
  a.pValue = value;
  a.ulValueLen = len;
  return a;
}

static void Slots(CK_FUNCTION_LIST_PTR f) {
  CK_SLOT_ID slots[16];
  CK_ULONG n = 0;
  CK_SLOT_INFO si;
  CK_TOKEN_INFO ti;
  CK_MECHANISM_TYPE mechs[64];
  CK_MECHANISM_INFO mi;
  WRONG(rGetInfo, f->C_GetInfo(NULL));
  WRONG(rGetSlotList, f->C_GetSlotList(CK_FALSE, NULL, NULL));
  WRONG(rGetSlotList, f->C_GetSlotList(CK_FALSE, slots, NULL));
  RIGHT(rGetSlotList, f->C_GetSlotList(CK_TRUE, NULL, &n));
  TRUTH(n >= 1);
  n = 0;
  EXACT(CKR_BUFFER_TOO_SMALL, f->C_GetSlotList(CK_FALSE, slots, &n));
  TRUTH(n >= 1);
  WRONG(rGetSlotInfo, f->C_GetSlotInfo(0, NULL));
  WRONG(rGetSlotInfo, f->C_GetSlotInfo(BIG, &si));
  WRONG(rGetSlotInfo, f->C_GetSlotInfo(~(CK_SLOT_ID)0, &si));
  WRONG(rGetTokenInfo, f->C_GetTokenInfo(0, NULL));
  WRONG(rGetTokenInfo, f->C_GetTokenInfo(BIG, &ti));
  WRONG(rGetTokenInfo, f->C_GetTokenInfo(3, &ti)); /* the second reader is empty */
  WRONG(rGetMechanismList, f->C_GetMechanismList(0, mechs, NULL));
  WRONG(rGetMechanismList, f->C_GetMechanismList(BIG, mechs, &n));
  n = 0;
  EXACT(CKR_BUFFER_TOO_SMALL, f->C_GetMechanismList(0, mechs, &n));
  TRUTH(n >= 1 && n <= 64);
  WRONG(rGetMechanismInfo, f->C_GetMechanismInfo(0, CKM_RSA_PKCS, NULL));
  WRONG(rGetMechanismInfo, f->C_GetMechanismInfo(0, BIG, &mi));
  WRONG(rGetMechanismInfo, f->C_GetMechanismInfo(BIG, CKM_RSA_PKCS, &mi));
  WRONG(rWaitForSlotEvent, f->C_WaitForSlotEvent(CKF_DONT_BLOCK, NULL, NULL));
  /* Token initialisation with nothing it could use: no card is touched. */
  WRONG(rInitToken, f->C_InitToken(BIG, kPin, 4, kLabel));
  WRONG(rInitToken, f->C_InitToken(0, NULL, 4, kLabel));
  WRONG(rInitToken, f->C_InitToken(3, kPin, 4, kLabel));
  WRONG(rInitToken, f->C_InitToken(0, kPin, BIG, kLabel));
}

static void Sessions(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE* rw) {
  CK_SESSION_HANDLE s = 0;
  CK_SESSION_INFO si;
  WRONG(rOpenSession, f->C_OpenSession(0, CKF_SERIAL_SESSION, NULL, NULL, NULL));
  WRONG(rOpenSession, f->C_OpenSession(0, 0, NULL, NULL, &s));
  WRONG(rOpenSession, f->C_OpenSession(BIG, CKF_SERIAL_SESSION, NULL, NULL, &s));
  WRONG(rOpenSession, f->C_OpenSession(3, CKF_SERIAL_SESSION, NULL, NULL, &s));
  WRONG(rCloseSession, f->C_CloseSession(0));
  WRONG(rCloseSession, f->C_CloseSession(BIG));
  WRONG(rCloseAllSessions, f->C_CloseAllSessions(BIG));
  WRONG(rGetSessionInfo, f->C_GetSessionInfo(BIG, &si));
  EXACT(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, rw));
  WRONG(rGetSessionInfo, f->C_GetSessionInfo(*rw, NULL));
  WRONG(rOperationState, f->C_GetOperationState(*rw, NULL, NULL));
  WRONG(rOperationState, f->C_SetOperationState(*rw, NULL, BIG, BIG, BIG));
  /* Logins that cannot be right: none costs a PIN try. */
  WRONG(rLogin, f->C_Login(BIG, CKU_USER, kPin, 4));
  WRONG(rLogin, f->C_Login(*rw, CKU_USER, NULL, 4));
  WRONG(rLogin, f->C_Login(*rw, 77, kPin, 4));
  WRONG(rLogin, f->C_Login(*rw, CKU_USER, kPin, BIG));
  WRONG(rLogin, f->C_Login(*rw, CKU_CONTEXT_SPECIFIC, kPin, 4));
  WRONG(rLogout, f->C_Logout(*rw));
  WRONG(rLogout, f->C_Logout(BIG));
  WRONG(rInitPIN, f->C_InitPIN(*rw, kPin, 4));
  WRONG(rInitPIN, f->C_InitPIN(BIG, kPin, 4));
  WRONG(rSetPIN, f->C_SetPIN(*rw, NULL, 4, kPin, 4));
  WRONG(rSetPIN, f->C_SetPIN(*rw, kPin, 4, NULL, 4));
  WRONG(rSetPIN, f->C_SetPIN(*rw, kPin, BIG, kPin, 4));
  WRONG(rSetPIN, f->C_SetPIN(*rw, kPin, 4, kPin, BIG));
  WRONG(rSetPIN, f->C_SetPIN(BIG, kPin, 4, kPin, 4));
}

static void Objects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
  CK_OBJECT_CLASS data = CKO_DATA, cert = CKO_CERTIFICATE, unknownClass = 0x4242;
  CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
  char label[] = "hostile", small[1];
  CK_ULONG value = 1, len = 0, n = 0;
  CK_OBJECT_HANDLE h = 0, found[8];
  CK_ATTRIBUTE t[4];

  /* Creation: null template, no entries, null output, null values with lengths,
   * unknown types and classes, two classes in either order, lengths past any value. */
  t[0] = At(CKA_CLASS, &data, sizeof data);
  t[1] = At(CKA_TOKEN, &no, 1);
  t[2] = At(CKA_LABEL, label, 7);
  WRONG(rCreateObject, f->C_CreateObject(s, NULL, 3, &h));
  WRONG(rCreateObject, f->C_CreateObject(s, t, 0, &h));
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, NULL));
  WRONG(rCreateObject, f->C_CreateObject(BIG, t, 3, &h));
  t[2] = At(CKA_LABEL, NULL, 7);
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, &h));
  t[2] = At(CKA_VALUE, NULL, BIG);
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, &h));
  t[2] = At(0x7FFF1234UL, &value, sizeof value);
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, &h));
  t[0] = At(CKA_CLASS, &unknownClass, sizeof unknownClass);
  t[2] = At(CKA_LABEL, label, 7);
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, &h));
  t[0] = At(CKA_CLASS, &data, 4);
  WRONG(rCreateObject, f->C_CreateObject(s, t, 3, &h));
  t[0] = At(CKA_CLASS, &data, sizeof data);
  t[3] = At(CKA_CLASS, &cert, sizeof cert);
  EXACT(CKR_TEMPLATE_INCONSISTENT, f->C_CreateObject(s, t, 4, &h));
  t[0] = At(CKA_CLASS, &cert, sizeof cert);
  t[3] = At(CKA_CLASS, &data, sizeof data);
  EXACT(CKR_TEMPLATE_INCONSISTENT, f->C_CreateObject(s, t, 4, &h));

  /* A session object to read and change with hostile templates. */
  t[0] = At(CKA_CLASS, &data, sizeof data);
  EXACT(CKR_OK, f->C_CreateObject(s, t, 3, &h));
  t[0] = At(CKA_LABEL, small, sizeof small);
  EXACT(CKR_BUFFER_TOO_SMALL, f->C_GetAttributeValue(s, h, t, 1));
  TRUTH(t[0].ulValueLen == CK_UNAVAILABLE_INFORMATION || t[0].ulValueLen == 7);
  t[0] = At(CKA_LABEL, NULL, 100); /* a size query */
  RIGHT(rGetAttributeValue, f->C_GetAttributeValue(s, h, t, 1));
  TRUTH(t[0].ulValueLen == 7);
  t[0] = At(0x7FFF1234UL, NULL, 0);
  EXACT(CKR_ATTRIBUTE_TYPE_INVALID, f->C_GetAttributeValue(s, h, t, 1));
  TRUTH(t[0].ulValueLen == CK_UNAVAILABLE_INFORMATION);
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(s, h, NULL, 1));
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(s, h, t, 0));
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(s, BIG, t, 1));
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(s, 0, t, 1));
  WRONG(rGetAttributeValue, f->C_GetAttributeValue(BIG, h, t, 1));
  t[0] = At(CKA_LABEL, NULL, 5);
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(s, h, t, 1));
  t[0] = At(CKA_CLASS, &cert, sizeof cert);
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(s, h, t, 1));
  t[0] = At(0x7FFF1234UL, &value, sizeof value);
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(s, h, t, 1));
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(s, h, NULL, 1));
  WRONG(rSetAttributeValue, f->C_SetAttributeValue(s, BIG, t, 1));
  WRONG(rGetObjectSize, f->C_GetObjectSize(s, h, NULL));
  WRONG(rGetObjectSize, f->C_GetObjectSize(s, BIG, &len));
  WRONG(rDestroyObject, f->C_DestroyObject(s, BIG));
  WRONG(rDestroyObject, f->C_DestroyObject(s, 0));
  WRONG(rDestroyObject, f->C_DestroyObject(BIG, h));
  WRONG(rCopyObject, f->C_CopyObject(s, h, NULL, 0, NULL));

  /* Searches: null templates with entries, null values with lengths, two
   * classes, and types no object has, which find nothing. */
  WRONG(rFindObjectsInit, f->C_FindObjectsInit(s, NULL, 2));
  WRONG(rFindObjectsInit, f->C_FindObjectsInit(BIG, NULL, 0));
  t[0] = At(CKA_LABEL, NULL, 5);
  WRONG(rFindObjectsInit, f->C_FindObjectsInit(s, t, 1));
  t[0] = At(CKA_CLASS, &data, sizeof data);
  t[1] = At(CKA_CLASS, &cert, sizeof cert);
  EXACT(CKR_ATTRIBUTE_VALUE_INVALID, f->C_FindObjectsInit(s, t, 2));
  WRONG(rFindObjects, f->C_FindObjects(s, found, 8, &n));
  WRONG(rFindObjectsFinal, f->C_FindObjectsFinal(s));
  t[0] = At(0x7FFF1234UL, &value, sizeof value);
  RIGHT(rFindObjectsInit, f->C_FindObjectsInit(s, t, 1));
  WRONG(rFindObjectsInit, f->C_FindObjectsInit(s, t, 1));
  WRONG(rFindObjects, f->C_FindObjects(s, NULL, 8, &n));
  WRONG(rFindObjects, f->C_FindObjects(s, found, 8, NULL));
  n = 99;
  EXACT(CKR_OK, f->C_FindObjects(s, found, 8, &n));
  TRUTH(n == 0);
  EXACT(CKR_OK, f->C_FindObjectsFinal(s));
  t[0] = At(CKA_HW_FEATURE_TYPE, &value, sizeof value);
  t[1] = At(CKA_TOKEN, &yes, 1);
  EXACT(CKR_OK, f->C_FindObjectsInit(s, t, 2));
  n = 99;
  EXACT(CKR_OK, f->C_FindObjects(s, found, 8, &n));
  TRUTH(n == 0);
  EXACT(CKR_OK, f->C_FindObjectsFinal(s));
  EXACT(CKR_OK, f->C_DestroyObject(s, h));
}

static void Crypto(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
  CK_MECHANISM rsa = {CKM_RSA_PKCS, NULL, 0}, raw = {CKM_RSA_X_509, NULL, 0}, gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, NULL, 0};
  CK_MECHANISM sha = {CKM_SHA256, NULL, 0};
  CK_OBJECT_CLASS prvClass = CKO_PRIVATE_KEY, pubClass = CKO_PUBLIC_KEY, dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG bits = 1024, len = 0, n = 0;
  CK_OBJECT_HANDLE key = 0, hPub = 0, hPrv = 0;
  CK_ATTRIBUTE t[3];
  CK_BYTE sig[256], small[8];

  WRONG(rCryptInit, f->C_SignInit(s, NULL, 1));
  WRONG(rCryptInit, f->C_SignInit(s, &rsa, BIG));
  WRONG(rCryptInit, f->C_SignInit(BIG, &rsa, 1));
  WRONG(rCryptInit, f->C_DecryptInit(s, NULL, 1));
  WRONG(rCryptInit, f->C_DecryptInit(s, &rsa, 0));
  len = sizeof sig;
  WRONG(rSign, f->C_Sign(s, kBuf, 16, sig, &len));
  WRONG(rDecrypt, f->C_Decrypt(s, kBuf, 16, sig, &len));
  WRONG(rRandom, f->C_GenerateRandom(s, NULL, 16));
  WRONG(rRandom, f->C_GenerateRandom(s, sig, 0));
  WRONG(rRandom, f->C_GenerateRandom(s, NULL, BIG));
  WRONG(rRandom, f->C_GenerateRandom(BIG, sig, 16));
  WRONG(rRandom, f->C_SeedRandom(s, NULL, 0));
  WRONG(rRandom, f->C_SeedRandom(BIG, kBuf, 16));

  /* Key pairs from templates that cannot be right: nothing is generated. */
  t[0] = At(CKA_CLASS, &prvClass, sizeof prvClass);
  t[1] = At(CKA_TOKEN, &yes, 1);
  t[2] = At(CKA_MODULUS_BITS, &bits, sizeof bits);
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, NULL, t + 2, 1, t, 2, &hPub, &hPrv));
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, &gen, NULL, 1, t, 2, &hPub, &hPrv));
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, &gen, t + 2, 0, t, 2, &hPub, &hPrv));
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, &gen, t + 2, 1, t, 2, NULL, &hPrv));
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, &sha, t + 2, 1, t, 2, &hPub, &hPrv));
  t[2] = At(CKA_CLASS, &dataClass, sizeof dataClass);
  EXACT(CKR_TEMPLATE_INCONSISTENT, f->C_GenerateKeyPair(s, &gen, t + 2, 1, t, 3, &hPub, &hPrv));
  t[2] = At(CKA_CLASS, &pubClass, sizeof pubClass);
  t[0] = At(CKA_CLASS, &dataClass, sizeof dataClass);
  WRONG(rGenerateKeyPair, f->C_GenerateKeyPair(s, &gen, t + 2, 1, t, 3, &hPub, &hPrv));

  /* With the user logged in and the card's private key. */
  EXACT(CKR_OK, f->C_Login(s, CKU_USER, kPin, 4));
  t[0] = At(CKA_CLASS, &prvClass, sizeof prvClass);
  EXACT(CKR_OK, f->C_FindObjectsInit(s, t, 1));
  EXACT(CKR_OK, f->C_FindObjects(s, &key, 1, &n));
  EXACT(CKR_OK, f->C_FindObjectsFinal(s));
  TRUTH(n == 1);
  WRONG(rCryptInit, f->C_SignInit(s, &sha, key));
  EXACT(CKR_OK, f->C_SignInit(s, &rsa, key));
  WRONG(rCryptInit, f->C_SignInit(s, &rsa, key));
  WRONG(rSign, f->C_Sign(s, NULL, 16, sig, &len));
  WRONG(rSign, f->C_Sign(s, kBuf, 16, sig, NULL));
  len = sizeof small;
  EXACT(CKR_BUFFER_TOO_SMALL, f->C_Sign(s, kBuf, 16, small, &len));
  TRUTH(len == 256);
  WRONG(rSign, f->C_Sign(s, NULL, BIG, sig, &len));
  /* Those early refusals kept the operation; a whole call ends it. */
  len = sizeof sig;
  EXACT(CKR_OK, f->C_Sign(s, kBuf, 16, sig, &len));
  /* An empty input is signable with PKCS #1 padding. */
  EXACT(CKR_OK, f->C_SignInit(s, &rsa, key));
  len = sizeof sig;
  EXACT(CKR_OK, f->C_Sign(s, NULL, 0, sig, &len));
  TRUTH(len == 256);
  EXACT(CKR_OK, f->C_SignInit(s, &raw, key));
  len = sizeof sig;
  EXACT(CKR_DATA_LEN_RANGE, f->C_Sign(s, NULL, 0, sig, &len));
  EXACT(CKR_OK, f->C_SignInit(s, &raw, key));
  memset(sig, 0xFF, sizeof sig);
  len = sizeof sig;
  EXACT(CKR_DATA_INVALID, f->C_Sign(s, sig, sizeof sig, sig, &len));
  EXACT(CKR_OK, f->C_DecryptInit(s, &rsa, key));
  len = sizeof sig;
  EXACT(CKR_ENCRYPTED_DATA_LEN_RANGE, f->C_Decrypt(s, NULL, 0, sig, &len));
  EXACT(CKR_OK, f->C_DecryptInit(s, &raw, key));
  memset(sig, 0xFF, sizeof sig);
  len = sizeof sig;
  EXACT(CKR_ENCRYPTED_DATA_INVALID, f->C_Decrypt(s, sig, sizeof sig, sig, &len));
  EXACT(CKR_OK, f->C_DecryptInit(s, &rsa, key));
  WRONG(rDecrypt, f->C_Decrypt(s, NULL, 16, sig, &len));
  WRONG(rDecrypt, f->C_Decrypt(s, kBuf, 16, sig, NULL));
  WRONG(rDecrypt, f->C_Decrypt(s, NULL, BIG, sig, &len));
  WRONG(rLogin, f->C_Login(s, CKU_USER, kPin, 4));
  /* The logout ends the decryption still open. */
  EXACT(CKR_OK, f->C_Logout(s));
  len = sizeof sig;
  EXACT(CKR_OPERATION_NOT_INITIALIZED, f->C_Decrypt(s, kBuf, 16, sig, &len));
}

static void VendorCalls(const struct Vendor* v, CK_SESSION_HANDLE s) {
  CK_ULONG len = 0, n = 0;
  CK_OBJECT_HANDLE pins[8];
  unsigned long size = 0;
  char text[4];
  CK_FLAGS flags = 0;
  WRONG(rVendor, v->activate(BIG));
  WRONG(rVendor, v->setData(s, CKA_LABEL, NULL, 16));
  WRONG(rVendor, v->setData(BIG, CKA_LABEL, kBuf, 4));
  WRONG(rVendor, v->getData(s, CKA_LABEL, kBuf, NULL));
  WRONG(rVendor, v->getData(BIG, CKA_LABEL, kBuf, &len));
  WRONG(rVendor, v->characteristics(0, NULL, NULL));
  WRONG(rVendor, v->characteristics(0, &flags, kBuf));
  WRONG(rVendor, v->characteristics(BIG, &flags, NULL));
  WRONG(rVendor, v->terminate(BIG, kPin, 4));
  WRONG(rVendor, v->terminate(0, NULL, 4));
  WRONG(rVendor, v->terminate(0, kPin, BIG));
  WRONG(rVendor, v->unblock(s, BIG, kPin, 4, kPin, 4));
  WRONG(rVendor, v->unblock(s, 0, NULL, 4, NULL, 4));
  WRONG(rVendor, v->change(s, BIG, kPin, 4, kPin, 4));
  WRONG(rVendor, v->change(s, 0, kPin, BIG, kPin, 4));
  WRONG(rVendor, v->initPin(s, BIG, kPin, 4, kPin, 4, kPin, 4));
  WRONG(rVendor, v->initPin(s, 0, NULL, 4, NULL, 4, NULL, 4));
  WRONG(rVendor, v->pinStatus(s, BIG, &len));
  WRONG(rVendor, v->pinStatus(s, 0, NULL));
  WRONG(rVendor, v->pinInfo(s, BIG, kBuf));
  WRONG(rVendor, v->pinInfo(s, 0, NULL));
  WRONG(rVendor, v->pinList(s, pins, NULL));
  WRONG(rVendor, v->pinList(BIG, pins, &n));
  n = 0;
  WRONG(rVendor, v->pinList(s, pins, &n));
  TRUTH(v->initializeCard(NULL, NULL) == 0);
  TRUTH(v->initializeCard("No Such Reader", "no such profile") == 0);
  TRUTH(v->lastError(NULL, NULL) == 0);
  TRUTH(v->lastError(NULL, &size) == 1 && size > 0);
  size = sizeof text;
  TRUTH(v->lastError(text, &size) == 0 || size <= sizeof text);
  TRUTH(v->version() != NULL);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: hostile_host MODULE\n");
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "hostile_host: %s\n", dlerror());
    return 2;
  }
  CK_C_GetFunctionList getList;
  struct Vendor v;
  int ok = Load(module, "C_GetFunctionList", (void**)&getList);
  ok &= Load(module, "MIRTAL_PKCS11_ActivateTokenQualifiedPart", (void**)&v.activate);
  ok &= Load(module, "MIRTAL_PKCS11_SetTokenData", (void**)&v.setData);
  ok &= Load(module, "MIRTAL_PKCS11_GetTokenData", (void**)&v.getData);
  ok &= Load(module, "MIRTAL_PKCS11_GetQualifiedPartCharacteristics", (void**)&v.characteristics);
  ok &= Load(module, "MIRTAL_PKCS11_TerminateTokenUsage", (void**)&v.terminate);
  ok &= Load(module, "MIRTAL_PKCS11_UnblockPin", (void**)&v.unblock);
  ok &= Load(module, "MIRTAL_PKCS11_ChangePin", (void**)&v.change);
  ok &= Load(module, "MIRTAL_PKCS11_InitPin", (void**)&v.initPin);
  ok &= Load(module, "MIRTAL_PKCS11_GetPinStatus", (void**)&v.pinStatus);
  ok &= Load(module, "MIRTAL_PKCS11_GetPinInfo", (void**)&v.pinInfo);
  ok &= Load(module, "MIRTAL_PKCS11_GetPinList", (void**)&v.pinList);
  ok &= Load(module, "InitializeCard", (void**)&v.initializeCard);
  ok &= Load(module, "GetLastErrorString", (void**)&v.lastError);
  ok &= Load(module, "MIRTAL_PKCS11_GetVersionString", (void**)&v.version);
  if (!ok) return 2;

  CK_FUNCTION_LIST_PTR f = NULL;
  WRONG(rGetFunctionList, getList(NULL));
  EXACT(CKR_OK, getList(&f));
  if (f == NULL) return 2;

  Uninitialised(f, &v);
  /* Start-up arguments that cannot be right. */
  CK_C_INITIALIZE_ARGS args;
  memset(&args, 0, sizeof args);
  args.pReserved = kBuf;
  WRONG(rInitialize, f->C_Initialize(&args));
  memset(&args, 0, sizeof args);
  args.CreateMutex = OneMutexCallback; /* one callback of four */
  WRONG(rInitialize, f->C_Initialize(&args));
  EXACT(CKR_OK, f->C_Initialize(NULL));

  CK_SESSION_HANDLE s = 0;
  Slots(f);
  Sessions(f, &s);
  Objects(f, s);
  Crypto(f, s);
  VendorCalls(&v, s);
  EXACT(CKR_OK, f->C_CloseAllSessions(0));
  WRONG(rFinalize, f->C_Finalize(kBuf));
  EXACT(CKR_OK, f->C_Finalize(NULL));
  Uninitialised(f, &v);
  WRONG(rFinalize, f->C_Finalize(NULL));
  printf("calls %d, bad %d\n", calls, bad);
  return bad > 0 ? 1 : 0;
}
