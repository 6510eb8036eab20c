/* A PKCS#11 host in C that leaves without C_Finalize, as careless hosts do:
 *   exit_host MODULE return  [session|login] [probe]   initialises, then returns from main
 *   exit_host MODULE dlclose [session|login] [probe]   initialises, unloads the module, returns
 *   exit_host MODULE thread login [probe]              a second thread signs in a loop while main calls exit
 *   exit_host MODULE forkfinalize login probe          the child calls C_Finalize, then exit runs the
 *                                                      atexit(C_Finalize) the parent registered
 *   exit_host MODULE forkinside login probe            forked while a second thread signs; the child
 *                                                      calls C_Finalize under an alarm
 *   exit_host MODULE forkinit login probe              the child calls C_Initialize and signs with the
 *                                                      parent's session while the parent signs
 * With "session" it first opens a session on the first slot with a token and
 * reads the token's information, so that more of the module is alive at exit;
 * "login" then logs the user in (PIN 1234) and starts a child (which, for
 * return, dlclose and thread, calls exit without having initialised the
 * module), and checks that the session is still logged in after it ("after the
 * child: state 1"). Each line the child prints starts with "child: ".
 * With "probe", another program (started before the module is loaded) holds
 * a PC/SC connection to the first reader throughout and asks the card whether
 * user PIN 81 is verified (VERIFY without data): after the login, after the
 * child left and once more after this host has gone. It prints
 * "probe: SW" or "probe: reset, SW" where its connection saw the card reset.
 * Prints "host done" just before main leaves; the exit status is main's. */
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pkcs11impl/cryptoki.h"

static int Fail(const char* what, CK_RV rv) {
  fprintf(stderr, "exit_host: %s failed: 0x%lx\n", what, (unsigned long)rv);
  return 2;
}

static int g_probeAsk = -1, g_probeDone = -1;

/* The probe's side: one question per byte from the host, one more when the host is gone. */
static void RunProbe(int ask, int done) {
  typedef long (*Establish)(unsigned long, const void*, const void*, long*);
  typedef long (*List)(long, const char*, char*, unsigned long*);
  typedef long (*Connect)(long, const char*, unsigned long, unsigned long, long*, unsigned long*);
  typedef long (*Reconnect)(long, unsigned long, unsigned long, unsigned long, unsigned long*);
  typedef long (*Transmit)(long, const void*, const unsigned char*, unsigned long, void*, unsigned char*,
                           unsigned long*);
  void* pcsc = dlopen("libpcsclite.so.1", RTLD_NOW);
  if (pcsc == NULL) _exit(1);
  Establish establish = (Establish)dlsym(pcsc, "SCardEstablishContext");
  List list = (List)dlsym(pcsc, "SCardListReaders");
  Connect connect = (Connect)dlsym(pcsc, "SCardConnect");
  Reconnect reconnect = (Reconnect)dlsym(pcsc, "SCardReconnect");
  Transmit transmit = (Transmit)dlsym(pcsc, "SCardTransmit");
  long context = 0, card = 0;
  unsigned long protocol = 0;
  char readers[1024];
  int connected = 0;
  /* pcscd needs a moment to see the reader and the card behind vpcd. */
  for (int i = 0; i < 100 && !connected; ++i) {
    unsigned long len = sizeof readers;
    connected = (context != 0 || establish(2 /* system */, NULL, NULL, &context) == 0) &&
                list(context, NULL, readers, &len) == 0 &&
                connect(context, readers, 2 /* shared */, 3 /* T=0, T=1 */, &card, &protocol) == 0;
    if (!connected) usleep(100000);
  }
  if (!connected || write(done, "c", 1) != 1) _exit(1);
  char byte;
  ssize_t got;
  do {
    got = read(ask, &byte, 1);
    static const unsigned char kVerify[] = {0x00, 0x20, 0x00, 0x81};
    struct { unsigned long protocol, length; } pci = {protocol, 16};
    unsigned char resp[64];
    unsigned long len = sizeof resp;
    long rc = transmit(card, &pci, kVerify, sizeof kVerify, NULL, resp, &len);
    const int reset = rc == (long)0x80100068; /* SCARD_W_RESET_CARD */
    if (reset && reconnect(card, 2, 3, 0 /* leave */, &protocol) == 0) {
      pci.protocol = protocol;
      len = sizeof resp;
      rc = transmit(card, &pci, kVerify, sizeof kVerify, NULL, resp, &len);
    }
    if (rc == 0 && len >= 2)
      printf("probe: %s%02X%02X\n", reset ? "reset, " : "", resp[len - 2], resp[len - 1]);
    else
      printf("probe: %sfailed 0x%lx\n", reset ? "reset, " : "", (unsigned long)rc);
    fflush(stdout);
  } while (got == 1 && write(done, "a", 1) == 1);
  _exit(0);
}

static int StartProbe(void) {
  int ask[2], done[2];
  if (pipe(ask) != 0 || pipe(done) != 0) return 0;
  fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    close(ask[1]);
    close(done[0]);
    RunProbe(ask[0], done[1]);
  }
  close(ask[0]);
  close(done[1]);
  g_probeAsk = ask[1];
  g_probeDone = done[0];
  char byte;
  return read(g_probeDone, &byte, 1) == 1;
}

/* The probe prints its answer before this returns. */
static void Probe(void) {
  char byte = 'q';
  fflush(stdout);
  if (g_probeAsk >= 0 && write(g_probeAsk, &byte, 1) == 1) (void)read(g_probeDone, &byte, 1);
}

/* What the parent's threads hold is no leak of the child's (a leak checker, where built in, asks). */
static int g_forkedChild = 0;
int __lsan_is_turned_off(void);
int __lsan_is_turned_off(void) { return g_forkedChild; }

static CK_FUNCTION_LIST_PTR g_f;
static const char* g_mode = "";
static CK_SESSION_HANDLE g_session;
static CK_OBJECT_HANDLE g_key;

/* The thread that signs in a loop: counts its signatures, keeps the first other answer. */
static volatile int g_signing = 0, g_signatures = 0;
static volatile CK_RV g_signFailure = CKR_OK;
static pthread_t g_signer;

static CK_RV SignOnce(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mech = {CKM_RSA_PKCS, NULL, 0};
  CK_BYTE data[] = "a host signs while it leaves", sig[512];
  CK_ULONG len = sizeof sig;
  CK_RV rv = g_f->C_SignInit(session, &mech, key);
  if (rv == CKR_OK) rv = g_f->C_Sign(session, data, sizeof data - 1, sig, &len);
  return rv;
}

static void* Signer(void* unused) {
  (void)unused;
  while (g_signing) {
    const CK_RV rv = SignOnce(g_session, g_key);
    if (rv != CKR_OK) {
      /* Once main has begun to leave, the module turns calls away: nothing more to do here. */
      g_signFailure = rv;
      break;
    }
    ++g_signatures;
  }
  return NULL;
}

static void StartSigning(void) {
  g_signing = 1;
  const int before = g_signatures;
  if (pthread_create(&g_signer, NULL, Signer, NULL) != 0) exit(3);
  while (g_signatures < before + 2 && g_signFailure == CKR_OK) usleep(1000);
  if (g_signFailure != CKR_OK) printf("parent signs: 0x%lx\n", (unsigned long)g_signFailure);
}

static void StopSigning(void) {
  const int started = g_signing;
  g_signing = 0;
  if (started) pthread_join(g_signer, NULL);
  if (g_signFailure == CKR_OK)
    printf("parent signs: all CKR_OK\n");
  else
    printf("parent signs: 0x%lx\n", (unsigned long)g_signFailure);
}

static void FinalizeAtExit(void) {
  printf("%sC_Finalize at exit 0x%lx\n", g_forkedChild ? "child: " : "", (unsigned long)g_f->C_Finalize(NULL));
  fflush(stdout);
}

/* The child's part: leave at once, finalise, or initialise afresh and sign. */
static void Child(void) {
  g_forkedChild = 1;
  alarm(10); /* a child that hangs dies of SIGALRM, and the parent says so */
  if (strcmp(g_mode, "forkfinalize") == 0 || strcmp(g_mode, "forkinside") == 0) {
    printf("child: C_Finalize 0x%lx\n", (unsigned long)g_f->C_Finalize(NULL));
  } else if (strcmp(g_mode, "forkinit") == 0) {
    printf("child: C_Initialize 0x%lx\n", (unsigned long)g_f->C_Initialize(NULL));
    printf("child: C_SignInit on the parent's session 0x%lx\n", (unsigned long)SignOnce(g_session, g_key));
    CK_SLOT_ID slot;
    CK_ULONG count = 1;
    CK_SESSION_HANDLE own;
    CK_RV rv = g_f->C_GetSlotList(CK_TRUE, &slot, &count);
    if (rv == CKR_OK && count == 1) rv = g_f->C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &own);
    printf("child: a session of its own 0x%lx\n", (unsigned long)rv);
    printf("child: C_Finalize 0x%lx\n", (unsigned long)g_f->C_Finalize(NULL));
  }
  fflush(stdout);
  exit(0);
}

static int ForkChild(void) {
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) Child();
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return 0;
  if (WIFSIGNALED(status)) printf("child: killed by signal %d\n", WTERMSIG(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static int UseFirstToken(CK_FUNCTION_LIST_PTR f, const char* use) {
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
  /* The session and the login stay: the module has to release them when it goes. */
  if (strcmp(use, "session") == 0) return 0;
  rv = f->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4);
  if (rv != CKR_OK) return Fail("C_Login", rv);
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
  CK_ULONG found = 0;
  rv = f->C_FindObjectsInit(session, tmpl, 1);
  if (rv == CKR_OK) rv = f->C_FindObjects(session, &g_key, 1, &found);
  if (rv == CKR_OK) rv = f->C_FindObjectsFinal(session);
  if (rv != CKR_OK || found != 1) return Fail("finding the private key", rv);
  g_session = session;
  Probe();
  const int signing = strcmp(g_mode, "forkinside") == 0 || strcmp(g_mode, "forkinit") == 0;
  if (strcmp(g_mode, "forkfinalize") == 0) atexit(FinalizeAtExit);
  if (signing) StartSigning();
  if (!ForkChild()) return 2;
  if (signing) StopSigning();
  if (strcmp(g_mode, "forkfinalize") == 0) {
    g_signFailure = SignOnce(session, g_key);
    StopSigning();
  }
  Probe();
  CK_SESSION_INFO state;
  rv = f->C_GetSessionInfo(session, &state);
  if (rv != CKR_OK) return Fail("C_GetSessionInfo after the child left", rv);
  printf("after the child: state %lu\n", (unsigned long)state.state);
  return 0;
}

int main(int argc, char** argv) {
  static const char* const kModes[] = {"return", "dlclose", "thread", "forkfinalize", "forkinside", "forkinit"};
  for (size_t i = 0; argc >= 3 && i < sizeof kModes / sizeof kModes[0]; ++i)
    if (strcmp(argv[2], kModes[i]) == 0) g_mode = kModes[i];
  if (*g_mode == '\0' || (strcmp(g_mode, "return") != 0 && strcmp(g_mode, "dlclose") != 0 &&
                           (argc < 4 || strcmp(argv[3], "login") != 0))) {
    fprintf(stderr, "usage: exit_host MODULE return|dlclose [session|login] [probe]\n"
                    "       exit_host MODULE thread|forkfinalize|forkinside|forkinit login [probe]\n");
    return 2;
  }
  if (argc > 4 && strcmp(argv[4], "probe") == 0 && !StartProbe()) {
    fprintf(stderr, "exit_host: the probe cannot reach the card\n");
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
  g_f = f;
  rv = f->C_Initialize(NULL);
  if (rv != CKR_OK) return Fail("C_Initialize", rv);
  CK_ULONG slotCount = 0;
  rv = f->C_GetSlotList(CK_FALSE, NULL, &slotCount);
  if (rv != CKR_OK) return Fail("C_GetSlotList", rv);
  printf("slots: %lu\n", (unsigned long)slotCount);
  if (argc > 3 && argv[3][0] != '\0') {
    int r = UseFirstToken(f, argv[3]);
    if (r != 0) return r;
  }
  if (strcmp(g_mode, "dlclose") == 0 && dlclose(module) != 0) {
    fprintf(stderr, "exit_host: dlclose: %s\n", dlerror());
    return 2;
  }
  /* The second thread is inside a call, or about to enter one, when main leaves. */
  if (strcmp(g_mode, "thread") == 0 && g_key != 0) StartSigning();
  printf("host done\n");
  fflush(stdout);
  if (strcmp(g_mode, "thread") == 0) exit(0);
  return 0;
}
