/* A PKCS#11 host in C that reaches the module's qualified-part and token-data
 * calls the way a host application does, through dlsym:
 *   vendor_host MODULE PIN
 * On the token of slot 0 it reads the qualified part's characteristics, reads
 * and writes token data, asks for the qualified part's activation, checks that
 * the user may end the token's use and, with PIN, ends it. Every answer is
 * printed as "name: value"; "host done" ends a run that got that far. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"

typedef CK_RV (*TerminateFn)(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG);
typedef CK_RV (*ActivateFn)(CK_SESSION_HANDLE);
typedef CK_RV (*CharacteristicsFn)(CK_SLOT_ID, CK_FLAGS*, CK_VOID_PTR);
typedef CK_RV (*GetDataFn)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG_PTR);
typedef CK_RV (*SetDataFn)(CK_SESSION_HANDLE, CK_ATTRIBUTE_TYPE, CK_VOID_PTR, CK_ULONG);

static void* Symbol(void* module, const char* name) {
  void* p = dlsym(module, name);
  if (p == NULL) fprintf(stderr, "vendor_host: no %s\n", name);
  return p;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: vendor_host MODULE PIN\n");
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "vendor_host: %s\n", dlerror());
    return 2;
  }
  CK_C_GetFunctionList getList;
  TerminateFn terminate;
  ActivateFn activate;
  CharacteristicsFn characteristics;
  GetDataFn getData;
  SetDataFn setData;
  *(void**)&getList = Symbol(module, "C_GetFunctionList");
  *(void**)&terminate = Symbol(module, "MIRTAL_PKCS11_TerminateTokenUsage");
  *(void**)&activate = Symbol(module, "MIRTAL_PKCS11_ActivateTokenQualifiedPart");
  *(void**)&characteristics = Symbol(module, "MIRTAL_PKCS11_GetQualifiedPartCharacteristics");
  *(void**)&getData = Symbol(module, "MIRTAL_PKCS11_GetTokenData");
  *(void**)&setData = Symbol(module, "MIRTAL_PKCS11_SetTokenData");
  if (!getList || !terminate || !activate || !characteristics || !getData || !setData) return 2;
  CK_FUNCTION_LIST_PTR f = NULL;
  if (getList(&f) != CKR_OK || f->C_Initialize(NULL) != CKR_OK) {
    fprintf(stderr, "vendor_host: the module does not start\n");
    return 2;
  }

  CK_FLAGS flags = 0;
  CK_RV rv = characteristics(0, &flags, NULL);
  printf("characteristics: 0x%lx %08lx\n", (unsigned long)rv, (unsigned long)flags);
  CK_SESSION_HANDLE s = 0;
  rv = f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &s);
  printf("session: 0x%lx\n", (unsigned long)rv);

  CK_ULONG len = 0;
  rv = getData(s, CKA_MIRTAL_VELDOR_TOKEN, NULL, &len);
  printf("veldor length: 0x%lx %lu\n", (unsigned long)rv, (unsigned long)len);
  CK_BBOOL value = 0x55;
  rv = getData(s, CKA_MIRTAL_VELDOR_TOKEN, &value, &len);
  printf("veldor: 0x%lx %u\n", (unsigned long)rv, (unsigned)value);
  len = sizeof value;
  rv = getData(s, CKA_MIRTAL_NOT_ACTIVATED, &value, &len);
  printf("not activated: 0x%lx %u\n", (unsigned long)rv, (unsigned)value);
  len = 64;
  CK_BYTE key[64];
  rv = getData(s, CKA_MIRTAL_SYSAUTH_KEY, key, &len);
  printf("system key: 0x%lx\n", (unsigned long)rv);
  value = CK_TRUE;
  rv = setData(s, CKA_MIRTAL_SECURE_MESSAGING_ENABLED, &value, 1);
  printf("set read-only: 0x%lx\n", (unsigned long)rv);
  rv = setData(s, CKA_MIRTAL, &value, 1);
  printf("set unknown: 0x%lx\n", (unsigned long)rv);
  rv = activate(s);
  printf("activate: 0x%lx\n", (unsigned long)rv);

  rv = terminate(0, NULL, 0);
  printf("may terminate: 0x%lx\n", (unsigned long)rv);
  CK_UTF8CHAR wrong[] = "99999999";
  rv = terminate(0, wrong, (CK_ULONG)strlen((const char*)wrong));
  printf("wrong pin: 0x%lx\n", (unsigned long)rv);
  rv = terminate(0, (CK_UTF8CHAR_PTR)argv[2], (CK_ULONG)strlen(argv[2]));
  printf("terminate: 0x%lx\n", (unsigned long)rv);
  CK_SESSION_INFO si;
  CK_TOKEN_INFO ti;
  rv = f->C_GetSessionInfo(s, &si);
  printf("session and token gone: 0x%lx 0x%lx\n", (unsigned long)rv, (unsigned long)f->C_GetTokenInfo(0, &ti));
  rv = f->C_Finalize(NULL);
  printf("finalize: 0x%lx\n", (unsigned long)rv);
  dlclose(module);
  printf("host done\n");
  return 0;
}
