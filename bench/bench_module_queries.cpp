// The module's everyday queries, side by side in one run: the module over the
// card simulator's library, the module through pcscd + vpcd (a pcscd of our own
// with the simulator's card engine behind vpcd), and SoftHSM2 as the neighbour.
// Each side has two tokens; the cards stay in their readers. At the end the
// ratios are printed: simulator / SoftHSM2 and pcscd / simulator.
//
// A side that cannot run here (no SoftHSM2, no pcscd or vpcd driver, another
// pcscd holding the socket) is skipped with its reason. The pcscd side takes
// the machine-wide lock of the tests that start pcscd (/tmp/mirtal-pcscd.lock).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_module_host.h"
#include "bench/bench_paths.h"
#include "pkcs11impl/cryptoki.h"
#include "tools/cardsim/pcscd_host.h"

namespace {

using benchpaths::BuildDir;

// SoftHSM2 with two initialised tokens in a token folder of its own.
struct SoftHsm {
    std::string dir;
    std::unique_ptr<Side> side;
    SoftHsm() {
        const char* const candidates[] = {"/usr/lib/softhsm/libsofthsm2.so",
                                          "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"};
        std::string lib;
        for (const char* c : candidates)
            if (access(c, R_OK) == 0) lib = c;
        if (lib.empty()) return;
        dir = MakeTempDir("bench-softhsm");
        mkdir((dir + "/tokens").c_str(), 0700);
        std::ofstream(dir + "/softhsm2.conf") << "directories.tokendir = " << dir
                                              << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
        setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
        side.reset(new Side(lib, ""));
        CK_FUNCTION_LIST* fl = side->fl();
        if (fl == nullptr) return;
        for (int t = 0; t < 2; ++t) {
            // SoftHSM2 always offers one free token; an initialised one moves to a slot of its own.
            CK_ULONG count = 0;
            fl->C_GetSlotList(CK_FALSE, nullptr, &count);
            std::vector<CK_SLOT_ID> ids(count);
            fl->C_GetSlotList(CK_FALSE, ids.data(), &count);
            for (CK_ULONG i = 0; i < count; ++i) {
                CK_TOKEN_INFO ti;
                if (fl->C_GetTokenInfo(ids[i], &ti) != CKR_OK || (ti.flags & CKF_TOKEN_INITIALIZED)) continue;
                CK_UTF8CHAR label[32];
                std::memset(label, ' ', sizeof label);
                std::memcpy(label, t == 0 ? "Bench 0" : "Bench 1", 7);
                CK_UTF8CHAR so[] = "87654321";
                if (fl->C_InitToken(ids[i], so, 8, label) != CKR_OK) side->SetError("C_InitToken failed");
                break;
            }
        }
        side->FindTokens(2);
    }
    ~SoftHsm() { RemoveTree(dir); }
};

// Our module over the card simulator's library: two readers, a PKCS#15 card in each.
struct SimModule {
    std::string home;
    std::unique_ptr<Side> side;
    SimModule() {
        const std::string build = BuildDir();
        home = MakeTempDir("bench-module-sim");
        mkdir((home + "/.MIRTAL").c_str(), 0700);
        mkdir((home + "/lib").c_str(), 0700);
        if (!CopyFile(build + "/libmirtalp11.so", home + "/lib/libmirtalp11.so") ||
            !CopyFile(build + "/cards/pkcs15-model3.card", home + "/card0.card") ||
            !CopyFile(build + "/cards/pkcs15-model3.card", home + "/card1.card"))
            return;
        std::ofstream(home + "/sim.conf") << "reader CardSim Reader 0\ncard " << home << "/card0.card\n"
                                          << "reader CardSim Reader 1\ncard " << home << "/card1.card\n";
        setenv("CARDSIM_CONFIG", (home + "/sim.conf").c_str(), 1);
        std::ofstream(home + "/.MIRTAL/pkcs11.conf") << "EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \""
                                                     << build << "/libcardsim.so;Sim\"\n";
        side.reset(new Side(home + "/lib/libmirtalp11.so", home));
        side->FindTokens(2);
    }
    ~SimModule() { RemoveTree(home); }
};

// Our module through a pcscd of our own, vpcd and the simulator's card engine:
// two virtual readers, a PKCS#15 card in each.
struct PcscdModule {
    std::string home;
    std::unique_ptr<Side> side;
    std::string skip;
    int lockFd = -1;
    pid_t pcscd = -1;
    pid_t bridge = -1;
    PcscdModule() {
        const std::string build = BuildDir();
        const std::string vpcd = build + "/cardsim-vpcd";
        if (!pcscdhost::Installed() || access(vpcd.c_str(), X_OK) != 0) {
            skip = "pcscd, the vpcd driver or the card bridge is missing";
            return;
        }
        lockFd = open("/tmp/mirtal-pcscd.lock", O_RDWR | O_CREAT, 0666);
        if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0) {
            skip = "cannot take /tmp/mirtal-pcscd.lock";
            return;
        }
        home = MakeTempDir("bench-module-pcscd");
        mkdir((home + "/.MIRTAL").c_str(), 0700);
        mkdir((home + "/lib").c_str(), 0700);
        if (!pcscdhost::WriteReaderFolder(home + "/readers") || !CopyFile(build + "/libmirtalp11.so", home + "/lib/libmirtalp11.so") ||
            !CopyFile(build + "/cards/pkcs15-model3.card", home + "/card0.card") ||
            !CopyFile(build + "/cards/pkcs15-model3.card", home + "/card1.card")) {
            skip = "cannot copy the module or the cards";
            return;
        }
        std::ofstream(home + "/.MIRTAL/pkcs11.conf") << "EnabledReaderSubsystems = PC/SC\n";
        pcscd = pcscdhost::StartPcscd(home + "/readers");
        bridge = pcscdhost::Spawn({vpcd, home + "/card0.card", home + "/card1.card"});
        // The daemon needs a moment for its socket and the readers for their cards.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (pcscdhost::Ended(&pcscd)) {
            skip = "pcscd could not start here (another one runs?)";
            return;
        }
        side.reset(new Side(home + "/lib/libmirtalp11.so", home));
        side->FindTokens(2);
    }
    ~PcscdModule() {
        side.reset();
        pcscdhost::Stop(&bridge);
        pcscdhost::Stop(&pcscd);
        RemoveTree(home);
        if (lockFd >= 0) close(lockFd);
    }
};

SoftHsm& TheSoftHsm() {
    static SoftHsm* s = new SoftHsm;
    return *s;
}
SimModule& TheSim() {
    static SimModule* s = new SimModule;
    return *s;
}
PcscdModule* g_pcscd = nullptr;
PcscdModule& ThePcscd() {
    if (g_pcscd == nullptr) g_pcscd = new PcscdModule;
    return *g_pcscd;
}

// ---- the cases, one body per query, run on each side ----

bool Ready(benchmark::State& state, Side* side, const std::string& skip) {
    if (side == nullptr || !side->ok()) {
        std::string why = !skip.empty() ? skip : side == nullptr ? std::string("not available") : side->error();
        state.SkipWithError(why.c_str());
        return false;
    }
    return true;
}

void OpenCloseSession(benchmark::State& state, Side* side) {
    CK_FUNCTION_LIST* fl = side->fl();
    const CK_SLOT_ID slot = side->slots()[0];
    for (auto _ : state) {
        CK_SESSION_HANDLE h = 0;
        if (fl->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK ||
            fl->C_CloseSession(h) != CKR_OK) {
            state.SkipWithError("C_OpenSession or C_CloseSession failed");
            break;
        }
    }
}

void GetSessionInfo(benchmark::State& state, Side* side) {
    CK_FUNCTION_LIST* fl = side->fl();
    CK_SESSION_HANDLE h = 0;
    if (fl->C_OpenSession(side->slots()[0], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) {
        state.SkipWithError("C_OpenSession failed");
        return;
    }
    for (auto _ : state) {
        CK_SESSION_INFO info;
        if (fl->C_GetSessionInfo(h, &info) != CKR_OK) {
            state.SkipWithError("C_GetSessionInfo failed");
            break;
        }
        benchmark::DoNotOptimize(info.state);
    }
    fl->C_CloseSession(h);
}

void GetSlotList(benchmark::State& state, Side* side) {
    CK_FUNCTION_LIST* fl = side->fl();
    for (auto _ : state) {
        CK_SLOT_ID ids[16];
        CK_ULONG count = 16;
        if (fl->C_GetSlotList(CK_TRUE, ids, &count) != CKR_OK || count < 2) {
            state.SkipWithError("C_GetSlotList failed");
            break;
        }
        benchmark::DoNotOptimize(ids);
    }
}

void GetTokenInfo(benchmark::State& state, Side* side) {
    CK_FUNCTION_LIST* fl = side->fl();
    const CK_SLOT_ID slot = side->slots()[0];
    for (auto _ : state) {
        CK_TOKEN_INFO info;
        if (fl->C_GetTokenInfo(slot, &info) != CKR_OK) {
            state.SkipWithError("C_GetTokenInfo failed");
            break;
        }
        benchmark::DoNotOptimize(info.flags);
    }
}

void GetMechanismList(benchmark::State& state, Side* side) {
    CK_FUNCTION_LIST* fl = side->fl();
    const CK_SLOT_ID slot = side->slots()[0];
    for (auto _ : state) {
        CK_MECHANISM_TYPE mechs[128];
        CK_ULONG count = 128;
        if (fl->C_GetMechanismList(slot, mechs, &count) != CKR_OK) {
            state.SkipWithError("C_GetMechanismList failed");
            break;
        }
        benchmark::DoNotOptimize(mechs);
    }
}

using Body = void (*)(benchmark::State&, Side*);

void OnSoftHsm(benchmark::State& state, Body body) {
    SoftHsm& s = TheSoftHsm();
    if (Ready(state, s.side.get(), s.side ? "" : "SoftHSM2 is not installed")) body(state, s.side.get());
}
// The simulator library the module loaded (the same path gives the same copy):
// what each call cost in reader-state queries and card commands.
struct SimCounts {
    size_t (*queries)(const char*) = nullptr;
    size_t (*log)(const char*, char*, size_t) = nullptr;
    int (*clear)(const char*) = nullptr;
    SimCounts() {
        void* lib = dlopen((BuildDir() + "/libcardsim.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (lib == nullptr) return;
        queries = reinterpret_cast<size_t (*)(const char*)>(dlsym(lib, "CardSimGetStateQueryCount"));
        log = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(lib, "CardSimGetApduLog"));
        clear = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "CardSimClearLog"));
    }
    bool ok() const { return queries && log && clear; }
    static size_t Commands(const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("> "); at != std::string::npos; at = text.find("> ", at + 2)) ++n;
        return n;
    }
    std::string Log(const char* reader) const {
        std::string text(log(reader, nullptr, 0), '\0');
        log(reader, &text[0], text.size());
        return text;
    }
};

const char* const kSimReaders[] = {"CardSim Reader 0", "CardSim Reader 1"};

void OnSimulator(benchmark::State& state, Body body) {
    SimModule& s = TheSim();
    if (!Ready(state, s.side.get(), "")) return;
    static const SimCounts counts;
    if (counts.ok())
        for (const char* r : kSimReaders) counts.clear(r);
    body(state, s.side.get());
    if (!counts.ok() || state.iterations() == 0) return;
    size_t queries = 0, commands = 0;
    for (const char* r : kSimReaders) {
        queries += counts.queries(r);
        commands += SimCounts::Commands(counts.Log(r));
    }
    const double calls = static_cast<double>(state.iterations());
    state.counters["queries_per_reader"] = queries / calls / std::size(kSimReaders);
    state.counters["card_commands"] = commands / calls;
}
void OnPcscd(benchmark::State& state, Body body) {
    PcscdModule& s = ThePcscd();
    if (Ready(state, s.side.get(), s.skip)) body(state, s.side.get());
}

// Wall-clock time throughout: through pcscd the time is spent in another process.
#define SIDE_BY_SIDE(name)                                                                   \
    BENCHMARK_CAPTURE(OnSoftHsm, name##_SoftHSM2, name)->UseRealTime();                      \
    BENCHMARK_CAPTURE(OnSimulator, name##_Simulator, name)->UseRealTime();                   \
    BENCHMARK_CAPTURE(OnPcscd, name##_Pcscd, name)->UseRealTime()

SIDE_BY_SIDE(OpenCloseSession);
SIDE_BY_SIDE(GetSessionInfo);
SIDE_BY_SIDE(GetSlotList);
SIDE_BY_SIDE(GetTokenInfo);
SIDE_BY_SIDE(GetMechanismList);

// Keeps each case's time and prints the ratios of the sides at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            std::string name = r.benchmark_name();
            if (r.run_type == Run::RT_Aggregate) {
                const std::string suffix = "_median";
                if (r.aggregate_name != "median" || name.size() < suffix.size()) continue;
                name.erase(name.size() - suffix.size());
            } else if (r.repetitions > 1) {
                continue;
            }
            // "OnSimulator/GetSlotList_Simulator/real_time" -> case "GetSlotList", side "Simulator".
            const size_t slash = name.find('/');
            if (slash == std::string::npos) continue;
            std::string c = name.substr(slash + 1);
            c = c.substr(0, c.find('/'));
            const size_t under = c.rfind('_');
            if (under == std::string::npos) continue;
            m_times[c.substr(0, under)][c.substr(under + 1)] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        std::printf("\n%-20s %14s %14s\n", "time ratio", "sim/SoftHSM2", "pcscd/sim");
        for (const auto& c : m_times) {
            std::printf("%-20s %14s %14s\n", c.first.c_str(), Ratio(c.second, "Simulator", "SoftHSM2").c_str(),
                        Ratio(c.second, "Pcscd", "Simulator").c_str());
        }
    }

private:
    static std::string Ratio(const std::map<std::string, double>& t, const char* a, const char* b) {
        auto x = t.find(a);
        auto y = t.find(b);
        if (x == t.end() || y == t.end() || y->second <= 0) return "-";
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", x->second / y->second);
        return buf;
    }
    std::map<std::string, std::map<std::string, double>> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    // pcscd and the card bridge are ours to stop.
    delete g_pcscd;
    return 0;
}
