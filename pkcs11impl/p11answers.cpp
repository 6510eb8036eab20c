#include "pkcs11impl/p11answers.h"

#include <cstring>
#include <initializer_list>

namespace {

// What a function may answer: its own values and those of the groups it belongs to.
enum : unsigned { kSession = 1, kToken = 2 };

struct Listed {
  const char* fn;
  unsigned groups;
  std::initializer_list<CK_RV> own;
};

// Every function; every function given a session handle; every function that uses a token.
const CK_RV kAny[] = {CKR_OK, CKR_GENERAL_ERROR, CKR_HOST_MEMORY, CKR_FUNCTION_FAILED};
const CK_RV kOfSession[] = {CKR_SESSION_HANDLE_INVALID, CKR_DEVICE_REMOVED, CKR_SESSION_CLOSED};
const CK_RV kOfToken[] = {CKR_DEVICE_MEMORY, CKR_DEVICE_ERROR, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED};

const Listed kLists[] = {
    {"C_InitToken", kToken,
     {CKR_ARGUMENTS_BAD, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_FUNCTION_CANCELED, CKR_PIN_INCORRECT, CKR_PIN_LOCKED,
      CKR_SESSION_EXISTS, CKR_SLOT_ID_INVALID, CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_WRITE_PROTECTED}},
    {"C_InitPIN", kSession | kToken,
     {CKR_ARGUMENTS_BAD, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_FUNCTION_CANCELED, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE,
      CKR_SESSION_READ_ONLY, CKR_TOKEN_WRITE_PROTECTED, CKR_USER_NOT_LOGGED_IN}},
    {"C_SetPIN", kSession | kToken,
     {CKR_ARGUMENTS_BAD, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_FUNCTION_CANCELED, CKR_PIN_INCORRECT, CKR_PIN_INVALID,
      CKR_PIN_LEN_RANGE, CKR_PIN_LOCKED, CKR_SESSION_READ_ONLY, CKR_TOKEN_WRITE_PROTECTED}},
};

template <class List>
bool In(const List& list, CK_RV rv) {
  for (const CK_RV v : list)
    if (v == rv) return true;
  return false;
}

}  // namespace

CK_RV ListedAnswer(const char* fn, CK_RV rv) {
  for (const Listed& l : kLists) {
    if (std::strcmp(l.fn, fn) != 0) continue;
    const bool listed = In(kAny, rv) || In(l.own, rv) || ((l.groups & kSession) != 0 && In(kOfSession, rv)) ||
                        ((l.groups & kToken) != 0 && In(kOfToken, rv));
    return listed ? rv : CKR_FUNCTION_FAILED;
  }
  return rv;
}
