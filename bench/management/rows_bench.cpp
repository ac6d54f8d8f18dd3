// Answering one reportRowsRequest from a 100,000-row reportdb.dat: building
// the block (one read-only connection, one statement that seeks by id and
// stops at a full block) wherever the after-id stands, and the whole answer
// over a loopback connection. For contrast, the same rows through a
// statement that must walk the table.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>

#include "management/posix/bsd_socket_layer.h"
#include "management/protocol/message_catalogue.h"
#include "management/report_upload.h"
#include "monitor/report_store.h"
#include "tests/management/protocol_test_bytes.h"
#include "tests/management/support/fake_session_clock.h"
#include "tests/management/support/loopback_pair.h"
#include "tests/support/temp_dir.h"

namespace vx::management {
namespace {

constexpr int kRows = 100000;

// One database for every benchmark of the run: 100,000 rows as the monitor
// stores them (a typical stick: 174 bytes a row in a block, 753 rows a block).
const std::filesystem::path& Database() {
  static vx::test::TempDir dir;
  static const std::filesystem::path file = [] {
    const auto path = dir / "reportdb.dat";
    ReportStore store(path);
    std::vector<ReportRow> rows;
    for (int i = 0; i < kRows; ++i) {
      rows.push_back(
          {1700000000 + i, "Kingston", "DataTraveler 3.0", "60A44C3FACB3F1B0" + std::to_string(i % 10000), i % 3});
      if (rows.size() == 5000) {
        if (store.StoreBatch(rows) != rows.size()) std::abort();
        rows.clear();
      }
    }
    return path;
  }();
  return file;
}

void BM_BuildRowsBlock(benchmark::State& state) {
  const auto& database = Database();
  const auto afterId = static_cast<int32_t>(state.range(0));
  const auto limit = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> block;
  block.reserve(kMaxRowsBlockSize);
  std::size_t bytes = 0;
  for (auto _ : state) {
    BuildRowsBlock(database, afterId, limit, block);
    bytes = block.size();
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["block_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
// After-ids at the start, the middle and the end of the table, no limit
// (a full block), and a small limit.
BENCHMARK(BM_BuildRowsBlock)
    ->Args({0, -1})
    ->Args({50000, -1})
    ->Args({99000, -1})
    ->Args({99990, -1})
    ->Args({50000, 10})
    ->Unit(benchmark::kMicrosecond);

// The whole request: 8 bytes in, the header and the block out, over loopback.
void BM_AnswerRowsRequestOverLoopback(benchmark::State& state) {
  const auto& database = Database();
  test::LoopbackPair pair;
  BsdSocketLayer sockets;
  test::FakeSessionClock clock;
  const Connection connection{sockets, clock, pair.ClientSocket()};
  const auto request = test::Bytes().U32(static_cast<uint32_t>(state.range(0))).U32(0xFFFFFFFF).Get();
  std::vector<uint8_t> block;
  block.reserve(kMaxRowsBlockSize);
  for (auto _ : state) {
    pair.ServerSend(request);
    if (AnswerReportRows(connection, database, block) != Outcome::KeepConnection) state.SkipWithError("ended");
    const auto reply = pair.ServerReceiveExactly(7 + block.size());
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(7 + block.size()));
}
BENCHMARK(BM_AnswerRowsRequestOverLoopback)->Arg(0)->Arg(99000)->Unit(benchmark::kMicrosecond);

// For contrast: the same page through a condition the index cannot serve,
// so each request walks the table up to the after-id.
void BM_ScanningStatementForContrast(benchmark::State& state) {
  const auto& database = Database();
  sqlite3* db = nullptr;
  sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT `id`,`time`,`vendor`,`product`,`serial`,`action` FROM 'reports' WHERE `id`+0>? "
                       "ORDER BY `time` ASC LIMIT ?",
                       -1, &statement, nullptr);
    sqlite3_bind_int(statement, 1, static_cast<int>(state.range(0)));
    sqlite3_bind_int(statement, 2, 753);
    int rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) ++rows;
    sqlite3_finalize(statement);
    benchmark::DoNotOptimize(rows);
  }
  sqlite3_close(db);
}
BENCHMARK(BM_ScanningStatementForContrast)->Arg(0)->Arg(99000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vx::management
