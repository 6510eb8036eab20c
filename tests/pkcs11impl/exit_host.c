/* A PKCS#11 host in C that leaves without C_Finalize, as careless hosts do:
 *   exit_host MODULE return  [session]   initialises, then returns from main
 *   exit_host MODULE dlclose [session]   initialises, unloads the module, returns
 * With "session" it first opens a session on the first slot with a token and
 * reads the token's information, so that more of the module is alive at exit.
 * Prints "host done" just before main returns; the exit status is main's. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pkcs11impl/cryptoki.h"

static int Fail(const char* what, CK_RV rv) {
  fprintf(stderr, "exit_host: %s failed: 0x%lx\n", what, (unsigned long)rv);
  return 2;
}

static int UseFirstToken(CK_FUNCTION_LIST_PTR f) {
  CK_SLOT_ID slots[64];
  CK_ULONG count = sizeof slots / sizeof slots[0];
  CK_RV rv = f->C_GetSlotList(CK_TRUE, slots, &count);
  if (rv != CKR_OK) return Fail("C_GetSlotList", rv);
  printf("slots with a token: %lu\n", (unsigned long)count);
  if (count == 0) return 0;
  CK_TOKEN_INFO info;
  rv = f->C_GetTokenInfo(slots[0], &info);
  if (rv != CKR_OK) return Fail("C_GetTokenInfo", rv);
  CK_SESSION_HANDLE session;
  rv = f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, NULL, NULL, &session);
  if (rv != CKR_OK) return Fail("C_OpenSession", rv);
  printf("token: %.32s\n", (const char*)info.label);
  /* The session stays open: the module has to release it when it goes. */
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[2], "return") != 0 && strcmp(argv[2], "dlclose") != 0)) {
    fprintf(stderr, "usage: exit_host MODULE return|dlclose [session]\n");
    return 2;
  }
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "exit_host: %s\n", dlerror());
    return 2;
  }
  CK_C_GetFunctionList getList = NULL;
  *(void**)&getList = dlsym(module, "C_GetFunctionList");
  if (getList == NULL) {
    fprintf(stderr, "exit_host: no C_GetFunctionList\n");
    return 2;
  }
  CK_FUNCTION_LIST_PTR f = NULL;
  CK_RV rv = getList(&f);
  if (rv != CKR_OK) return Fail("C_GetFunctionList", rv);
  rv = f->C_Initialize(NULL);
  if (rv != CKR_OK) return Fail("C_Initialize", rv);
  CK_ULONG slotCount = 0;
  rv = f->C_GetSlotList(CK_FALSE, NULL, &slotCount);
  if (rv != CKR_OK) return Fail("C_GetSlotList", rv);
  printf("slots: %lu\n", (unsigned long)slotCount);
  if (argc > 3 && strcmp(argv[3], "session") == 0) {
    int r = UseFirstToken(f);
    if (r != 0) return r;
  }
  if (strcmp(argv[2], "dlclose") == 0 && dlclose(module) != 0) {
    fprintf(stderr, "exit_host: dlclose: %s\n", dlerror());
    return 2;
  }
  printf("host done\n");
  fflush(stdout);
  return 0;
}
