// Rows stored per second by the SQLite store alone: pages of 750 rows (a
// full 131,072-byte block of typical rows) committed one transaction each,
// as serve stores them (synchronous=NORMAL) and, for contrast, with every
// commit waiting for the disk (synchronous=FULL, the administration
// commands' setting).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "server/store/sqlite_store.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

constexpr int kRowsPerPage = 750;

void StorePages(benchmark::State& state, bool durable) {
  vx::test::TempDir dir;
  auto opened = OpenSqliteStore(dir / "vxmgmtd.db", StoreOpenOptions{.readOnly = false, .durableCommits = durable});
  if (!opened) {
    state.SkipWithError(opened.error().c_str());
    return;
  }
  auto store = std::move(opened).value();
  const AgentId agent{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  if (!store->RecordHello(agent, EnrollMode::Open, "127.0.0.1:1", 1).ok()) state.SkipWithError("hello");
  int32_t next = 1;
  std::vector<ReportRowRecord> page(kRowsPerPage);
  for (auto _ : state) {
    for (auto& row : page) {
      row = ReportRowRecord{
          next,    1700000000 + next, "Kingston", "DataTraveler 3.0", "60A44C3FACB3F1B0" + std::to_string(next % 10000),
          next % 3};
      ++next;
    }
    const auto stored = store->StoreReportPage(agent, 1, page, 1);
    if (!stored || *stored != page.size()) state.SkipWithError("a page was not stored whole");
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerPage);
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRowsPerPage), benchmark::Counter::kIsRate);
}

void BM_StoreReportPageAsServeDoes(benchmark::State& state) { StorePages(state, false); }
BENCHMARK(BM_StoreReportPageAsServeDoes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StoreReportPageDurableCommits(benchmark::State& state) { StorePages(state, true); }
BENCHMARK(BM_StoreReportPageDurableCommits)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vx::server
