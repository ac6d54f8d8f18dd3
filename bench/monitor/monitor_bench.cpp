// Monitor costs: storing a full pass of rows (128 filter rows and 60 lock
// rows) in one transaction against one autocommit per row, and the CPU cost
// of an idle pass with the platform calls replaced by in-memory fakes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>

#include "monitor/monitor_loop.h"
#include "monitor/report_store.h"
#include "tests/monitor/monitor_test_support.h"

namespace vx {
namespace {

std::vector<ReportRow> FullPass() {
  std::vector<ReportRow> rows;
  for (int i = 0; i < 60; ++i) rows.push_back({1700000000 + i, "-", i % 2 ? "Floppy" : "CD/DVD", "-", i % 2});
  for (int i = 0; i < 128; ++i)
    rows.push_back(
        {1700000100 + i, "Kingston", "DataTraveler 2.0", "0019E06B9C85F9A0A7E5000" + std::to_string(i % 10), i % 3});
  return rows;
}

void BM_StorePassOneTransaction(benchmark::State& state) {
  test::TempDir dir;
  ReportStore store(dir / "reportdb.dat");
  const auto rows = FullPass();
  for (auto _ : state) benchmark::DoNotOptimize(store.StoreBatch(rows));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}
BENCHMARK(BM_StorePassOneTransaction)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same rows with every insert committed by itself, as a writer without
// an explicit transaction does.
void BM_StorePassAutocommitPerRow(benchmark::State& state) {
  test::TempDir dir;
  const auto rows = FullPass();
  const auto path = (dir / "reportdb.dat").string();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, kCreateReportsSql, nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, kInsertReportSql, -1, &insert, nullptr);
    for (const auto& row : rows) {
      sqlite3_reset(insert);
      sqlite3_clear_bindings(insert);
      sqlite3_bind_int(insert, 1, row.time);
      sqlite3_bind_text(insert, 2, row.vendor.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, row.product.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, row.serial.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 5, row.action);
      sqlite3_step(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}
BENCHMARK(BM_StorePassAutocommitPerRow)->Unit(benchmark::kMillisecond)->UseRealTime();

// A pass with nothing to do: no policy change, empty driver logs, and four
// attached disks seen before. Everything the pass does besides the platform
// calls (which are fakes here) is measured.
void BM_IdlePass(benchmark::State& state) {
  test::MonitorFixture fixture;
  test::FakeDeviceChannel devices;
  for (const char* serial : {"A1", "B2", "C3", "D4"})
    fixture.usb.names.push_back(test::DiskKeyName("Kingston", "DataTraveler_2.0", serial));
  Monitor monitor(fixture.Environment(devices), fixture.shared);
  monitor.StartUp();
  monitor.RunPass();  // the start-up push and the first arrivals
  for (auto _ : state) monitor.RunPass();
}
BENCHMARK(BM_IdlePass)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vx
