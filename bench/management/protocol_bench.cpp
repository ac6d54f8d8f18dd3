// Policy exchange costs: encoding plus digest of the default parent policy
// (1,280 bytes) and of one with a full 124-rule text (about 131,000 bytes),
// the digest's throughput alone, and the client's side of a full policySet
// (decode and store).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"

namespace vx::management {
namespace {

ParentPolicy DefaultParent() {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(528, '0');
  parent.ruleUsb__Parent[521] = '3';
  parent.lockCdDvd__Parent = 1;
  parent.lockFloppy__Parent = 1;
  return parent;
}

// 124 rules of 528 hexadecimal digits each (65,472 characters).
ParentPolicy FullParent() {
  ParentPolicy parent = DefaultParent();
  parent.ruleUsb__Parent.clear();
  const char digits[] = "0123456789ABCDEF";
  for (int i = 0; i < 124 * 528; ++i) parent.ruleUsb__Parent.push_back(digits[(i * 7 + i / 528) % 16]);
  parent.password__Parent = "a password of twenty-nine byt";
  return parent;
}

void EncodeAndDigest(benchmark::State& state, const ParentPolicy& parent) {
  const std::vector<PolicyEntry> entries = DigestEntries(parent);
  const std::size_t size = EncodePolicyList(entries).size();
  for (auto _ : state) {
    const std::vector<uint8_t> encoded = EncodePolicyList(entries);
    benchmark::DoNotOptimize(PolicyDigest(encoded.data(), encoded.size()));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
  state.counters["list_bytes"] = static_cast<double>(size);
}

void BM_EncodeAndDigestDefaultList(benchmark::State& state) { EncodeAndDigest(state, DefaultParent()); }
BENCHMARK(BM_EncodeAndDigestDefaultList);

void BM_EncodeAndDigestFull124RuleList(benchmark::State& state) { EncodeAndDigest(state, FullParent()); }
BENCHMARK(BM_EncodeAndDigestFull124RuleList);

// What a policyDigestRequest costs the client: gathering the eight entries
// from the parent fields (widening the texts), encoding, digest.
void BM_ParentPolicyDigestDefault(benchmark::State& state) {
  const ParentPolicy parent = DefaultParent();
  for (auto _ : state) benchmark::DoNotOptimize(ParentPolicyDigest(parent));
}
BENCHMARK(BM_ParentPolicyDigestDefault);

void BM_ParentPolicyDigestFull124Rules(benchmark::State& state) {
  const ParentPolicy parent = FullParent();
  for (auto _ : state) benchmark::DoNotOptimize(ParentPolicyDigest(parent));
}
BENCHMARK(BM_ParentPolicyDigestFull124Rules);

void BM_PolicyDigestThroughput(benchmark::State& state) {
  const std::vector<uint8_t> bytes(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(PolicyDigest(bytes.data(), bytes.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PolicyDigestThroughput)->Arg(1280)->Arg(131072);

// The client's side of a policySet carrying the full rule text.
void BM_DecodeAndApplyFullPolicySet(benchmark::State& state) {
  const std::vector<uint8_t> body = EncodePolicyList(PolicySetEntries(FullParent()));
  for (auto _ : state) {
    const DecodedPolicyList decoded = DecodePolicyList(body.data(), body.size());
    benchmark::DoNotOptimize(ApplyPolicyEntries(decoded.entries, ParentPolicy{}));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DecodeAndApplyFullPolicySet);

}  // namespace
}  // namespace vx::management
