// Constant-name lookup for the trace: the index against the plain row scan
// (same answers, checked by the tests), and a template dump.
#include <benchmark/benchmark.h>

#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11names.h"

namespace {

std::vector<CK_ULONG> Probes() {
  const P11NameTable& t = MechanismTable();
  std::vector<CK_ULONG> v;
  for (size_t i = 0; i < t.count; i += 3)
    v.push_back(reinterpret_cast<const P11NameRow*>(static_cast<const char*>(t.rows) + i * t.rowSize)->value);
  v.push_back(0x7777);
  v.push_back(0x80001234);
  return v;
}

void BM_MechanismNameIndexed(benchmark::State& state) {
  const std::vector<CK_ULONG> probes = Probes();
  char buf[128];
  for (auto _ : state)
    for (CK_ULONG v : probes) benchmark::DoNotOptimize(GetMechanismName(v, buf, sizeof buf));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(probes.size()));
}
BENCHMARK(BM_MechanismNameIndexed);

void BM_MechanismNameRowScan(benchmark::State& state) {
  const std::vector<CK_ULONG> probes = Probes();
  const P11NameTable& t = MechanismTable();
  char buf[128];
  for (auto _ : state)
    for (CK_ULONG v : probes) benchmark::DoNotOptimize(LookupConstantName(v, t.rows, t.count, t.rowSize, buf, sizeof buf));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(probes.size()));
}
BENCHMARK(BM_MechanismNameRowScan);

void BM_TemplateText(benchmark::State& state) {
  CK_ULONG cls = CKO_PRIVATE_KEY, kt = CKK_RSA, bits = 2048;
  CK_BBOOL yes = CK_TRUE;
  unsigned char id[20] = {1, 2, 3};
  char label[] = "Klucz podpisu";
  CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt}, {CKA_TOKEN, &yes, 1},
                      {CKA_SIGN, &yes, 1},          {CKA_ID, id, sizeof id},        {CKA_LABEL, label, 13},
                      {CKA_MODULUS_BITS, &bits, sizeof bits}};
  for (auto _ : state) benchmark::DoNotOptimize(TemplateText(0, t, 7, true, "\n  "));
}
BENCHMARK(BM_TemplateText);

}  // namespace

BENCHMARK_MAIN();
