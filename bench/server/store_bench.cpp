// Rows stored per second by each store alone: pages of 750 rows (a full
// 131,072-byte block of typical rows) committed one transaction each, as
// serve stores them (SQLite's synchronous=NORMAL, PostgreSQL's
// synchronous_commit=off) and, for contrast, with every commit waiting for
// the disk (the administration commands' setting). PostgreSQL is a private
// cluster on this machine with fsync on, over its Unix socket.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "server/store/postgres_store.h"
#include "server/store/sqlite_store.h"
#include "tests/support/private_postgres.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

constexpr int kRowsPerPage = 750;

// A durable cluster (fsync on), as a production database would run.
vx::test::PrivatePostgres* DurablePostgres(std::string& error) {
  static std::unique_ptr<vx::test::PrivatePostgres> cluster =
      vx::test::PrivatePostgres::Start(error, vx::test::PrivatePostgres::Options{.durable = true});
  return cluster.get();
}

void StorePages(benchmark::State& state, bool postgres, bool durable) {
  vx::test::TempDir dir;
  const StoreOpenOptions options{.readOnly = false, .durableCommits = durable};
  StoreResult<std::unique_ptr<Store>> opened = StoreResult<std::unique_ptr<Store>>::Failure(StoreFailure::NotFound, "");
  if (postgres) {
    std::string error;
    vx::test::PrivatePostgres* cluster = DurablePostgres(error);
    const std::string url = cluster ? cluster->NewDatabase(error) : std::string();
    if (url.empty()) {
      state.SkipWithError(("no PostgreSQL cluster: " + error).c_str());
      return;
    }
    opened = OpenPostgresStore(url, options);
  } else {
    opened = OpenSqliteStore(dir / "vxmgmtd.db", options);
  }
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

void BM_SqliteStoreReportPageAsServeDoes(benchmark::State& state) { StorePages(state, false, false); }
BENCHMARK(BM_SqliteStoreReportPageAsServeDoes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SqliteStoreReportPageDurableCommits(benchmark::State& state) { StorePages(state, false, true); }
BENCHMARK(BM_SqliteStoreReportPageDurableCommits)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PostgresStoreReportPageAsServeDoes(benchmark::State& state) { StorePages(state, true, false); }
BENCHMARK(BM_PostgresStoreReportPageAsServeDoes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PostgresStoreReportPageDurableCommits(benchmark::State& state) { StorePages(state, true, true); }
BENCHMARK(BM_PostgresStoreReportPageDurableCommits)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vx::server
