// The control interface's routines without the transport: what one call
// costs the service. GetPolicy decodes the whole rule text; SetDriveLocks
// and SetPolicy apply and save the sealed policy file; PopDeviceArrival
// takes the queue's lock.
#include <benchmark/benchmark.h>

#include <string>

#include "control_rpc/operations.h"
#include "tests/control_rpc/scripted_caller.h"
#include "tests/support/fake_registry.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

struct Service {
  Service() : store(dir / "configdb.dat"), ops(store, queue, registry, caller) { store.LoadPolicy(); }
  test::TempDir dir;
  PolicyStore store;
  DeviceQueue queue;
  test::FakeRegistry registry;
  test::ScriptedCaller caller;  // an administrator
  ControlOperations ops;
};

DEVICE_POLICY PolicyWithRules(int count) {
  DEVICE_POLICY policy{};
  for (int i = 0; i < count; ++i)
    policy.rules[i] = test::MakeRule(("Vendor" + std::to_string(i)).c_str(), "Product", "1.00", "Serial",
                                     RULE_CHECK_VENDOR | RULE_CHECK_SERIAL, ACTION_BLOCK);
  policy.count = count;
  return policy;
}

void BM_GetPolicy(benchmark::State& state) {
  Service service;
  if (service.ops.SetPolicy(PolicyWithRules(static_cast<int>(state.range(0)))) != 1) state.SkipWithError("refused");
  DEVICE_POLICY out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(service.ops.GetPolicy(out));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_GetPolicy)->Arg(1)->Arg(124);

void BM_SetPolicy(benchmark::State& state) {
  Service service;
  const DEVICE_POLICY policy = PolicyWithRules(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(service.ops.SetPolicy(policy));
}
BENCHMARK(BM_SetPolicy)->Arg(1)->Arg(124);

void BM_SetDriveLocks(benchmark::State& state) {
  Service service;
  uint32_t mask = 0;
  for (auto _ : state) benchmark::DoNotOptimize(service.ops.SetDriveLocks(mask ^= 6));
}
BENCHMARK(BM_SetDriveLocks);

void BM_PopDeviceArrival(benchmark::State& state) {
  Service service;
  const USB_RULE disk = test::MakeRule("Kingston", "DataTraveler", "1.00", "0019E06B", 0, ACTION_ALLOW);
  USB_RULE entry;
  for (auto _ : state) {
    service.queue.Push(disk);
    benchmark::DoNotOptimize(service.ops.PopDeviceArrival(entry));
  }
}
BENCHMARK(BM_PopDeviceArrival);

void BM_GetLanguage(benchmark::State& state) {
  Service service;
  service.registry.WriteValue(kProductKeyPath, L"Language", StringValue(L"1055"));
  uint8_t name[16];
  for (auto _ : state) benchmark::DoNotOptimize(service.ops.GetLanguage(sizeof name, name));
}
BENCHMARK(BM_GetLanguage);

}  // namespace
}  // namespace vx
