// The filter driver's hot paths: a read on an allowed disk against a bare
// skip-forward filter, and the worst case of the rule evaluation against the
// plain reference matcher.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/driver/bench_disk.h"
#include "driver/core/rule_table.h"
#include "tests/driver/reference_matcher.h"
#include "tests/driver/rule_builder.h"

namespace {

void BM_ReadAllowedDiskThroughFilter(benchmark::State& state) {
  vx::bench::BenchDisks disks;
  for (auto _ : state) benchmark::DoNotOptimize(disks.ReadThroughFilter());
}
BENCHMARK(BM_ReadAllowedDiskThroughFilter);

void BM_ReadThroughBareSkipForward(benchmark::State& state) {
  vx::bench::BenchDisks disks;
  for (auto _ : state) benchmark::DoNotOptimize(disks.ReadThroughBareFilter());
}
BENCHMARK(BM_ReadThroughBareSkipForward);

// 124 rules, each checking all four fields with 63-character patterns, none
// matching: the first three fields of every rule match in full and the
// serial differs only in its last character, so every rule is read to its
// end. Runs of one letter make the plain scan try every start position.
struct WorstCase {
  std::vector<USB_RULE> rules;
  vx::driver::DEVICE_IDENTITY identity;
};

WorstCase MakeWorstCase() {
  const std::string text(63, 'A');
  WorstCase worst;
  worst.identity = vx::test::MakeIdentity(text, text, text, text);
  const std::string lower(63, 'a');
  const std::string serialPattern = std::string(62, 'a') + "b";
  for (int i = 0; i < 124; ++i) {
    worst.rules.push_back(
        vx::test::MakeRule(RULE_CHECK_VENDOR | RULE_CHECK_PRODUCT | RULE_CHECK_REVISION | RULE_CHECK_SERIAL,
                           ACTION_BLOCK, lower, lower, lower, serialPattern));
  }
  return worst;
}

void BM_EvaluateRulesWorstCase(benchmark::State& state) {
  const WorstCase worst = MakeWorstCase();
  auto table = std::make_unique<vx::driver::RULE_TABLE>();
  vx::driver::InitRuleTable(table.get());
  if (!vx::driver::SetRules(table.get(), worst.rules.data(),
                            static_cast<uint32_t>(worst.rules.size() * sizeof(USB_RULE)))) {
    state.SkipWithError("the rule list was refused");
    return;
  }
  vx::driver::PREPARED_IDENTITY prepared;
  vx::driver::PrepareIdentity(&worst.identity, &prepared);
  for (auto _ : state) {
    const int action = vx::driver::EvaluateRules(table.get(), &prepared);
    if (action != ACTION_ALLOW) state.SkipWithError("a rule matched");
    benchmark::DoNotOptimize(action);
  }
}
BENCHMARK(BM_EvaluateRulesWorstCase)->Unit(benchmark::kMicrosecond);

void BM_EvaluateRulesWorstCasePlainScan(benchmark::State& state) {
  const WorstCase worst = MakeWorstCase();
  for (auto _ : state) {
    const int action = vx::test::ReferenceEvaluateRules(worst.rules.data(), 124, worst.identity);
    if (action != ACTION_ALLOW) state.SkipWithError("a rule matched");
    benchmark::DoNotOptimize(action);
  }
}
BENCHMARK(BM_EvaluateRulesWorstCasePlainScan)->Unit(benchmark::kMicrosecond);

// Preparing a full list when it is set (done under the rule lock).
void BM_SetRules128(benchmark::State& state) {
  const WorstCase worst = MakeWorstCase();
  std::vector<USB_RULE> rules = worst.rules;
  rules.resize(128, rules.front());
  auto table = std::make_unique<vx::driver::RULE_TABLE>();
  vx::driver::InitRuleTable(table.get());
  for (auto _ : state) {
    benchmark::DoNotOptimize(vx::driver::SetRules(table.get(), rules.data(), 128 * sizeof(USB_RULE)));
  }
}
BENCHMARK(BM_SetRules128)->Unit(benchmark::kMicrosecond);

}  // namespace
