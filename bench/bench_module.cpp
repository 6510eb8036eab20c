// The module as a host sees it, on the card-simulator back-end: an RSA-2048
// signature (C_SignInit + C_Sign) beside the very card commands it sends,
// replayed straight through the simulator library's SCardTransmit (the floor:
// what the card itself costs), and beside SoftHSM2 signing in software; then
// C_Login, and C_FindObjects on an unchanged card beside SoftHSM2's search of a
// token with as many objects. The ratios at the end give the module's own time
// (the signature less its card commands) against SoftHSM2's, in wall-clock and
// processor time (the simulated card works in the host's process).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_paths.h"
#include "pkcs11impl/cryptoki.h"
#include "smartcard/sc_pcscapi.h"

namespace {

using Bytes = std::vector<uint8_t>;

using benchpaths::BuildDir;

// SHA-256 DigestInfo of "abc".
const Bytes kDigestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                           0x02, 0x01, 0x05, 0x00, 0x04, 0x20, 0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf,
                           0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3,
                           0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
CK_UTF8CHAR kPin[] = "1234";

// A PKCS#11 library loaded with dlopen.
struct P11 {
  void* handle = nullptr;
  CK_FUNCTION_LIST* f = nullptr;
  explicit P11(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    if (get == nullptr || get(&f) != CKR_OK) f = nullptr;
  }
};

CK_OBJECT_HANDLE FindFirst(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
  CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
  CK_ULONG n = 0;
  if (f->C_FindObjectsInit(s, &t, 1) == CKR_OK) {
    if (f->C_FindObjects(s, &h, 1, &n) != CKR_OK || n != 1) h = CK_INVALID_HANDLE;
    f->C_FindObjectsFinal(s);
  }
  return h;
}

bool SignOnce(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE sig[512];
  CK_ULONG len = sizeof sig;
  return f->C_SignInit(s, &mech, key) == CKR_OK &&
         f->C_Sign(s, const_cast<CK_BYTE*>(kDigestInfo.data()), kDigestInfo.size(), sig, &len) == CKR_OK;
}

// The module over one simulated reader with a copy of the model-3 card, the
// user logged in; and the card commands of one signature, taken from the
// simulator's log.
struct ModuleHost {
  std::string dir;
  std::string sim;
  P11* module = nullptr;
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  std::vector<Bytes> signCommands;
  bool ok = false;
  ModuleHost() {
    const std::string build = BuildDir();
    sim = build + "/libcardsim.so";
    char tmpl[] = "/tmp/bench-module-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir = tmpl;
    const std::string copy = "mkdir -p '" + dir + "/.MIRTAL' && cp '" + build + "/cards/pkcs15-model3.card' '" + dir + "/'";
    if (std::system(copy.c_str()) != 0) return;
    std::FILE* conf = std::fopen((dir + "/sim.conf").c_str(), "w");
    if (conf == nullptr) return;
    std::fprintf(conf, "reader Bench Reader\ncard %s/pkcs15-model3.card\n", dir.c_str());
    std::fclose(conf);
    conf = std::fopen((dir + "/.MIRTAL/pkcs11.conf").c_str(), "w");
    if (conf == nullptr) return;
    std::fprintf(conf, "EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"%s;Sim\"\n", sim.c_str());
    std::fclose(conf);
    setenv("CARDSIM_CONFIG", (dir + "/sim.conf").c_str(), 1);
    setenv("HOME", dir.c_str(), 1);
    module = new P11(build + "/libmirtalp11.so");
    CK_FUNCTION_LIST* f = module->f;
    if (f == nullptr || f->C_Initialize(nullptr) != CKR_OK) return;
    if (f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK) return;
    if (f->C_Login(s, CKU_USER, kPin, 4) != CKR_OK) return;
    key = FindFirst(f, s, CKO_PRIVATE_KEY);
    if (key == CK_INVALID_HANDLE || !SignOnce(f, s, key)) return;
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    if (f->C_FindObjectsInit(s, nullptr, 0) != CKR_OK || f->C_FindObjects(s, found, 16, &n) != CKR_OK ||
        f->C_FindObjectsFinal(s) != CKR_OK)
      return;
    objects = n;
    ok = CaptureSignCommands();
  }
  // The simulator's log (the library the module loaded: the same path gives the same copy).
  size_t (*getLog)(const char*, char*, size_t) = nullptr;
  int (*clearLog)(const char*) = nullptr;
  size_t objects = 0;  // what a search for everything finds with the user logged in
  // The commands the card was sent since its log was cleared.
  std::vector<Bytes> Commands() const {
    std::string text(getLog(nullptr, nullptr, 0), '\0');
    getLog(nullptr, &text[0], text.size());
    std::istringstream in(text);
    std::string line;
    std::vector<Bytes> commands;
    while (std::getline(in, line)) {
      if (line.size() < 3 || line.compare(0, 2, "> ") != 0) continue;
      Bytes apdu;
      for (size_t i = 2; i + 1 < line.size(); i += 2) apdu.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
      commands.push_back(apdu);
    }
    return commands;
  }
  bool CaptureSignCommands() {
    void* lib = dlopen(sim.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return false;
    getLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(lib, "CardSimGetApduLog"));
    clearLog = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "CardSimClearLog"));
    if (getLog == nullptr || clearLog == nullptr) return false;
    clearLog(nullptr);
    if (!SignOnce(module->f, s, key)) return false;
    signCommands = Commands();
    return !signCommands.empty();
  }
};

ModuleHost& Host() {
  static ModuleHost* h = new ModuleHost;
  return *h;
}

void BM_Rsa2048Sign_Module(benchmark::State& state) {
  ModuleHost& h = Host();
  if (!h.ok) return state.SkipWithError("module on the card simulator not available");
  for (auto _ : state)
    if (!SignOnce(h.module->f, h.s, h.key)) return state.SkipWithError("signature failed");
}
BENCHMARK(BM_Rsa2048Sign_Module)->UseRealTime();

// The same card commands, straight to the simulator library's SCardTransmit.
void BM_Rsa2048Sign_CardCommandsOnly(benchmark::State& state) {
  ModuleHost& h = Host();
  if (!h.ok) return state.SkipWithError("module on the card simulator not available");
  void* lib = dlopen(h.sim.c_str(), RTLD_NOW | RTLD_LOCAL);
  using namespace scpcsc;
  auto establish = reinterpret_cast<LONG (*)(DWORD, const void*, const void*, SCARDCONTEXT*)>(
      dlsym(lib, "SimSCardEstablishContext"));
  auto connect = reinterpret_cast<LONG (*)(SCARDCONTEXT, const char*, DWORD, DWORD, SCARDHANDLE*, DWORD*)>(
      dlsym(lib, "SimSCardConnect"));
  auto transmit = reinterpret_cast<LONG (*)(SCARDHANDLE, const SCARD_IO_REQUEST*, const uint8_t*, DWORD,
                                            SCARD_IO_REQUEST*, uint8_t*, DWORD*)>(dlsym(lib, "SimSCardTransmit"));
  auto disconnect = reinterpret_cast<LONG (*)(SCARDHANDLE, DWORD)>(dlsym(lib, "SimSCardDisconnect"));
  auto release = reinterpret_cast<LONG (*)(SCARDCONTEXT)>(dlsym(lib, "SimSCardReleaseContext"));
  auto t1 = static_cast<const SCARD_IO_REQUEST*>(dlsym(lib, "Simg_rgSCardT1Pci"));
  if (!establish || !connect || !transmit || !disconnect || !release || !t1)
    return state.SkipWithError("simulator library incomplete");
  SCARDCONTEXT ctx = 0;
  SCARDHANDLE card = 0;
  DWORD proto = 0;
  establish(SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  if (connect(ctx, "Bench Reader", SHARE_SHARED, PROTOCOL_T1 | PROTOCOL_T0, &card, &proto) != 0) {
    release(ctx);
    return state.SkipWithError("connect failed");
  }
  uint8_t resp[600];
  for (auto _ : state) {
    for (const Bytes& apdu : h.signCommands) {
      DWORD len = sizeof resp;
      if (transmit(card, t1, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, resp, &len) != 0 || len < 2 ||
          (resp[len - 2] != 0x90 && resp[len - 2] != 0x61)) {
        state.SkipWithError("card command failed");
        break;
      }
    }
  }
  state.counters["commands"] = static_cast<double>(h.signCommands.size());
  disconnect(card, LEAVE_CARD);
  release(ctx);
}
BENCHMARK(BM_Rsa2048Sign_CardCommandsOnly)->UseRealTime();

// SoftHSM2 with a token like the card's: the user logged in, an RSA-2048 key
// pair made in software and data objects up to the card's count of objects.
struct SoftHsmHost {
  std::string dir;
  P11* hsm = nullptr;
  CK_SESSION_HANDLE s = 0;
  CK_OBJECT_HANDLE key = 0;
  std::string error;
  SoftHsmHost() {
    const char* path = "/usr/lib/softhsm/libsofthsm2.so";
    char tmpl[] = "/tmp/bench-softhsm-XXXXXX";
    if (access(path, R_OK) != 0 || mkdtemp(tmpl) == nullptr) {
      error = "SoftHSM2 not installed";
      return;
    }
    dir = tmpl;
    std::FILE* conf = std::fopen((dir + "/softhsm2.conf").c_str(), "w");
    if (conf == nullptr) {
      error = "no configuration";
      return;
    }
    std::fprintf(conf, "directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n", dir.c_str());
    std::fclose(conf);
    setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
    hsm = new P11(path);
    CK_FUNCTION_LIST* f = hsm->f;
    if (f == nullptr || f->C_Initialize(nullptr) != CKR_OK) {
      error = "SoftHSM2 did not start";
      return;
    }
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "bench", 5);
    CK_UTF8CHAR so[] = "12345678";
    CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 2048;
    CK_BYTE e[] = {1, 0, 1};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e, sizeof e},
                          {CKA_VERIFY, &yes, 1}, {CKA_TOKEN, &yes, 1}};
    CK_ATTRIBUTE prv[] = {{CKA_SIGN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE hPub = 0;
    const bool ready = f->C_GetSlotList(CK_FALSE, slots, &n) == CKR_OK && n > 0 &&
                       f->C_InitToken(slots[0], so, 8, label) == CKR_OK && f->C_GetSlotList(CK_TRUE, slots, &n) == CKR_OK &&
                       n > 0 && f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) == CKR_OK &&
                       f->C_Login(s, CKU_SO, so, 8) == CKR_OK && f->C_InitPIN(s, kPin, 4) == CKR_OK &&
                       f->C_Logout(s) == CKR_OK && f->C_Login(s, CKU_USER, kPin, 4) == CKR_OK &&
                       f->C_GenerateKeyPair(s, &gen, pub, 4, prv, 3, &hPub, &key) == CKR_OK;
    if (!ready) {
      error = "SoftHSM2 token not ready";
      return;
    }
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BYTE value[64] = {};
    CK_ATTRIBUTE obj[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, 1}, {CKA_VALUE, value, sizeof value}};
    for (size_t i = 2; i < Host().objects; ++i) {
      CK_OBJECT_HANDLE h = 0;
      if (f->C_CreateObject(s, obj, 3, &h) != CKR_OK) error = "SoftHSM2 took no data object";
    }
  }
  // Finalizes SoftHSM2 and removes its token folder.
  void End() {
    if (hsm != nullptr && hsm->f != nullptr) hsm->f->C_Finalize(nullptr);
    const std::string rm = "rm -rf '" + dir + "'";
    if (!dir.empty() && std::system(rm.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
  }
  bool ok() const { return error.empty(); }
};

SoftHsmHost* g_hsm = nullptr;
SoftHsmHost& Hsm() {
  if (g_hsm == nullptr) g_hsm = new SoftHsmHost;
  return *g_hsm;
}

// SoftHSM2 signing in software with a key of the same size.
void BM_Rsa2048Sign_SoftHsm2(benchmark::State& state) {
  SoftHsmHost& h = Hsm();
  if (!h.ok()) return state.SkipWithError(h.error.c_str());
  for (auto _ : state)
    if (!SignOnce(h.hsm->f, h.s, h.key)) return state.SkipWithError("SoftHSM2 signature failed");
}
BENCHMARK(BM_Rsa2048Sign_SoftHsm2)->UseRealTime();

void BM_Login_Module(benchmark::State& state) {
  ModuleHost& h = Host();
  if (!h.ok) return state.SkipWithError("module on the card simulator not available");
  CK_FUNCTION_LIST* f = h.module->f;
  for (auto _ : state) {
    if (f->C_Logout(h.s) != CKR_OK || f->C_Login(h.s, CKU_USER, kPin, 4) != CKR_OK)
      return state.SkipWithError("login failed");
  }
  // The key's handle went with the logout: found again for the cases after this one.
  h.key = FindFirst(f, h.s, CKO_PRIVATE_KEY);
}
BENCHMARK(BM_Login_Module)->UseRealTime();

// A search for every object the logged-in user sees.
bool FindAll(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_ULONG* n) {
  CK_OBJECT_HANDLE found[16];
  return f->C_FindObjectsInit(s, nullptr, 0) == CKR_OK && f->C_FindObjects(s, found, 16, n) == CKR_OK &&
         f->C_FindObjectsFinal(s) == CKR_OK && *n != 0;
}

void BM_FindObjects_Module(benchmark::State& state) {
  ModuleHost& h = Host();
  if (!h.ok) return state.SkipWithError("module on the card simulator not available");
  CK_ULONG n = 0;
  h.clearLog(nullptr);
  for (auto _ : state)
    if (!FindAll(h.module->f, h.s, &n)) return state.SkipWithError("search failed");
  state.counters["objects"] = static_cast<double>(n);
  state.counters["card_commands"] = static_cast<double>(h.Commands().size()) / state.iterations();
}
BENCHMARK(BM_FindObjects_Module)->UseRealTime();

void BM_FindObjects_SoftHsm2(benchmark::State& state) {
  SoftHsmHost& h = Hsm();
  if (!h.ok()) return state.SkipWithError(h.error.c_str());
  CK_ULONG n = 0;
  for (auto _ : state)
    if (!FindAll(h.hsm->f, h.s, &n)) return state.SkipWithError("SoftHSM2 search failed");
  state.counters["objects"] = static_cast<double>(n);
}
BENCHMARK(BM_FindObjects_SoftHsm2)->UseRealTime();

// Keeps each case's wall-clock and processor time for the ratios.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions (the card's time varies from run to run) the median stands for a case.
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      std::string name = r.benchmark_name();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        name.erase(name.size() - std::string("_median").size());
      else if (r.run_type != Run::RT_Iteration || r.repetitions > 1)
        continue;
      times[name] = r.GetAdjustedRealTime();
      cpu[name] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  static double Of(const std::map<std::string, double>& m, const std::string& name) {
    auto t = m.find(name + "/real_time");
    return t == m.end() ? 0 : t->second;
  }
  // (a - minus) / b in wall-clock and in the calling thread's processor time
  // (steadier on a busy machine; the simulated card works in that thread too).
  void PrintRatio(const char* what, const std::string& a, const std::string& b, const std::string& minus = "") const {
    std::printf("  %-66s", what);
    for (const auto* m : {&times, &cpu}) {
      const double x = Of(*m, a), y = Of(*m, b), z = minus.empty() ? 0 : Of(*m, minus);
      if (x > 0 && y > 0 && (minus.empty() || z > 0))
        std::printf(" %8.3f", (x - z) / y);
      else
        std::printf(" %8s", "-");
    }
    std::printf("\n");
  }
  std::map<std::string, double> times, cpu;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-68s %8s %8s\n", "ratios", "wall", "cpu");
  reporter.PrintRatio("module C_Sign / the same card commands alone", "BM_Rsa2048Sign_Module",
                      "BM_Rsa2048Sign_CardCommandsOnly");
  reporter.PrintRatio("module C_Sign / SoftHSM2 C_Sign", "BM_Rsa2048Sign_Module", "BM_Rsa2048Sign_SoftHsm2");
  reporter.PrintRatio("module's own time in C_Sign (less the card's) / SoftHSM2 C_Sign", "BM_Rsa2048Sign_Module",
                      "BM_Rsa2048Sign_SoftHsm2", "BM_Rsa2048Sign_CardCommandsOnly");
  // An unchanged card is sent no command by a search (card_commands): its time is the module's own.
  reporter.PrintRatio("module C_FindObjects* / SoftHSM2 C_FindObjects*", "BM_FindObjects_Module",
                      "BM_FindObjects_SoftHsm2");
  benchmark::Shutdown();
  // The module stays loaded to the end: its worker thread is joined at C_Finalize.
  if (Host().module != nullptr && Host().module->f != nullptr) Host().module->f->C_Finalize(nullptr);
  if (g_hsm != nullptr) g_hsm->End();
  return 0;
}
