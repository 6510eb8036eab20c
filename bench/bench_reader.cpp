// APDU round trips through the reader layer: over the card simulator's library
// (beside a bare call of the library's own transmit function, the floor), and
// over pcscd + vpcd when a virtual reader with a card is there.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_paths.h"
#include "smartcard/sc_reader_pcsc.h"

namespace {

using Bytes = std::vector<uint8_t>;

using benchpaths::BuildDir;

// Simulator readers over a private copy of the model-3 card.
struct Sim {
    std::string lib;
    std::string dir;
    bool ok = false;
    Sim() {
        const std::string build = BuildDir();
        lib = build + "/libcardsim.so";
        char tmpl[] = "/tmp/bench-reader-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        dir = tmpl;
        std::ifstream in(build + "/cards/pkcs15-model3.card", std::ios::binary);
        if (!in) return;
        std::ofstream(dir + "/card.card", std::ios::binary) << in.rdbuf();
        std::ofstream(dir + "/cardsim.conf") << "reader Bench Reader\ncard " << dir << "/card.card\n";
        setenv("CARDSIM_CONFIG", (dir + "/cardsim.conf").c_str(), 1);
        ok = SCReaderDravok::LoadDravokFunctions((lib + ";Sim").c_str()) == SC_OK;
    }
    ~Sim() {
        if (!dir.empty()) {
            std::remove((dir + "/card.card").c_str());
            std::remove((dir + "/cardsim.conf").c_str());
            rmdir(dir.c_str());
        }
    }
};

Sim& TheSim() {
    static Sim s;
    return s;
}

std::unique_ptr<SCReader> OpenReader(const char* types, const char* name, uint32_t proto) {
    if (!SCReader::SetReaderTypes(types)) return nullptr;
    SCReader* r = nullptr;
    if (SCReader::CreateReader(name, &r, SC_LIST_NORMAL) != SC_OK) return nullptr;
    std::unique_ptr<SCReader> p(r);
    if (p->Init(0) != SC_OK || p->Connect(proto) != SC_OK) return nullptr;
    return p;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSelectDirWithFcp = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00};

void RunTransmit(benchmark::State& state, SCReader* r, const Bytes& apdu) {
    Bytes out;
    uint16_t sw = 0;
    for (auto _ : state) {
        if (r->TransmitAPDU(apdu, &out, &sw) != SC_OK || (sw >> 8) != 0x90) {
            state.SkipWithError("transmission failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}

// The simulator library called directly: the cost below the reader layer.
void BM_SimLibraryTransmit_Bare(benchmark::State& state) {
    Sim& sim = TheSim();
    const SCPcscFunctionTable* fn = SCReaderDravok::Library().GetTable();
    if (!sim.ok || fn == nullptr) {
        state.SkipWithError("card simulator not available");
        return;
    }
    scpcsc::SCARDCONTEXT ctx = 0;
    scpcsc::SCARDHANDLE h = 0;
    scpcsc::DWORD proto = 0;
    fn->EstablishContext(scpcsc::SCOPE_SYSTEM, nullptr, nullptr, &ctx);
    if (fn->Connect(ctx, "Bench Reader", scpcsc::SHARE_SHARED, scpcsc::PROTOCOL_T1, &h, &proto) != 0) {
        state.SkipWithError("connect failed");
        fn->ReleaseContext(ctx);
        return;
    }
    uint8_t resp[258];
    for (auto _ : state) {
        scpcsc::DWORD len = sizeof resp;
        fn->Transmit(h, fn->T1Pci, kSelectMf.data(), kSelectMf.size(), nullptr, resp, &len);
        benchmark::DoNotOptimize(resp);
    }
    fn->Disconnect(h, scpcsc::LEAVE_CARD);
    fn->ReleaseContext(ctx);
}
BENCHMARK(BM_SimLibraryTransmit_Bare);

void BM_ReaderTransmit_Simulator(benchmark::State& state) {
    if (!TheSim().ok) {
        state.SkipWithError("card simulator not available");
        return;
    }
    auto r = OpenReader("TARVO-MELK", "Bench Reader", SC_MODE_PROTO_T1);
    if (!r) {
        state.SkipWithError("reader not available");
        return;
    }
    RunTransmit(state, r.get(), kSelectMf);
}
BENCHMARK(BM_ReaderTransmit_Simulator);

// Over T=0 the answer comes with 61xx and one GET RESPONSE: two exchanges.
void BM_ReaderTransmitWithGetResponse_Simulator(benchmark::State& state) {
    if (!TheSim().ok) {
        state.SkipWithError("card simulator not available");
        return;
    }
    auto r = OpenReader("TARVO-MELK", "Bench Reader", SC_MODE_PROTO_T0);
    if (!r) {
        state.SkipWithError("reader not available");
        return;
    }
    RunTransmit(state, r.get(), kSelectDirWithFcp);
}
BENCHMARK(BM_ReaderTransmitWithGetResponse_Simulator);

// Through the real pcscd and vpcd (start them first: see tools/cardsim/README.md).
void BM_ReaderTransmit_PcscVpcd(benchmark::State& state) {
    if (SCReaderPcsc::LoadPcscFunctions(nullptr) != SC_OK) {
        state.SkipWithError("PC/SC library not available");
        return;
    }
    auto r = OpenReader("PC/SC", "Virtual PCD 00 00", 0);
    if (!r) {
        state.SkipWithError("no virtual reader with a card (pcscd + vpcd not running)");
        return;
    }
    RunTransmit(state, r.get(), kSelectMf);
}
BENCHMARK(BM_ReaderTransmit_PcscVpcd)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
