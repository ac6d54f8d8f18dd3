// A backlog of 100,000 rows drained from one agent running the real
// management client code (real time: a turn every 100 ms, one request
// answered a turn) by the real serve over loopback. The protocol's ceiling is
// one 131,072-byte block per turn; `ceiling_fraction` is the time that
// ceiling needs for these rows (their blocks times 100 ms) over the time
// taken from the agent's start to the last row stored, so the connection's
// first turns (hello, status, digest, notice) count against it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>

#include "management/protocol/rows_block.h"
#include "tests/server/support/agent_under_test.h"
#include "tests/server/support/server_under_test.h"

namespace vx::server {
namespace {

constexpr int kRows = 100000;

void BM_DrainOneHundredThousandRowsFromTheRealClient(benchmark::State& state) {
  const AgentId id{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
  double blocks = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vx::test::TempDir dir;
    test::ServerUnderTest server(dir / "vxmgmtd.db");
    if (!server.Start()) {
      state.SkipWithError("the server did not start");
      return;
    }
    test::AgentUnderTest agent(id);
    agent.StoreRows(kRows);
    // The blocks the ceiling needs: rows as they are encoded, cut at 131,072.
    const auto held = ReportsAfter(agent.dir / "reportdb.dat", 0, -1);
    std::size_t block = 0;
    blocks = 1;
    for (const auto& row : held) {
      const std::size_t size = management::EncodedRowSize(management::UploadedRow{
          static_cast<int32_t>(row.id), row.row.time, row.row.vendor, row.row.product, row.row.serial, row.row.action});
      if (block + size > management::kMaxRowsBlockSize) {
        ++blocks;
        block = 0;
      }
      block += size;
    }
    auto store = server.OpenStore();
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    agent.Start(server.Port());
    const bool drained = test::WaitUntil([&] { return store->CountReports(id).value() == kRows; }, 120000);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    state.PauseTiming();
    if (!drained) state.SkipWithError("the backlog was not drained within 120 s");
    agent.Stop();
    server.Stop();
    state.ResumeTiming();
  }
  state.counters["rows_per_s"] = kRows / seconds;
  state.counters["blocks"] = blocks;
  state.counters["ceiling_s"] = blocks * 0.1;
  state.counters["ceiling_fraction"] = blocks * 0.1 / seconds;
}
BENCHMARK(BM_DrainOneHundredThousandRowsFromTheRealClient)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace vx::server
