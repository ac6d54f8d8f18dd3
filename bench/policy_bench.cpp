// Policy store costs: sealing and opening the record, a whole save (seal,
// write, flush, replace), a whole load, and applying parent values.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "policy/policy_cipher.h"
#include "policy/policy_file.h"
#include "policy/policy_store.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace {

std::unique_ptr<vx::PolicyState> Reference() {
  auto state = std::make_unique<vx::PolicyState>();
  vx::test::BuildReferencePolicy(*state);
  return state;
}

void BM_Seal(benchmark::State& bench) {
  auto state = Reference();
  auto sealed = std::make_unique<vx::SealedPolicy>();
  for (auto _ : bench) {
    vx::SealPolicy(*state, *sealed);
    benchmark::DoNotOptimize(sealed->data());
  }
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * sizeof(vx::PolicyState));
}
BENCHMARK(BM_Seal);

void BM_Open(benchmark::State& bench) {
  auto state = Reference();
  auto sealed = std::make_unique<vx::SealedPolicy>();
  vx::SealPolicy(*state, *sealed);
  for (auto _ : bench) benchmark::DoNotOptimize(vx::OpenSealedPolicy(*sealed, *state));
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * sizeof(vx::PolicyState));
}
BENCHMARK(BM_Open);

// A whole save, including the flush to disk that makes it crash-safe.
void BM_SavePolicy(benchmark::State& bench) {
  vx::test::TempDir dir;
  vx::PolicyStore store(dir / "configdb.dat");
  store.LoadPolicy();
  for (auto _ : bench) benchmark::DoNotOptimize(store.SavePolicy());
}
BENCHMARK(BM_SavePolicy)->UseRealTime();

void BM_ReadPolicyFile(benchmark::State& bench) {
  vx::test::TempDir dir;
  auto state = Reference();
  if (!vx::WritePolicyFile(dir / "configdb.dat", *state)) {
    bench.SkipWithError("the policy file could not be written");
    return;
  }
  for (auto _ : bench) benchmark::DoNotOptimize(vx::ReadPolicyFile(dir / "configdb.dat", *state));
}
BENCHMARK(BM_ReadPolicyFile);

// Applying parent values when every item follows its parent (the most work:
// the whole rule text is copied).
void BM_ApplyParentValues(benchmark::State& bench) {
  auto state = Reference();
  state->ruleUsb__Inherit = state->lockCdDvd__Inherit = state->lockFloppy__Inherit = state->password__Inherit = 1;
  for (auto _ : bench) {
    vx::CopyParentValues(*state);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ApplyParentValues);

}  // namespace
