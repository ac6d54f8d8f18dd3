#include "monitor/report_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/temp_dir.h"

namespace vx {
namespace {

ReportRow Row(int32_t time, const char* product, int32_t action = 1) { return {time, "V", product, "S", action}; }

std::vector<int64_t> IdsOf(const std::vector<StoredReport>& reports) {
  std::vector<int64_t> ids;
  for (const auto& r : reports) ids.push_back(r.id);
  return ids;
}

std::string Utf8(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::vector<std::string> ProductsOf(const std::vector<StoredReport>& reports) {
  std::vector<std::string> products;
  for (const auto& r : reports) products.push_back(r.row.product);
  return products;
}

// Another connection to the database, as another process would hold it.
class OtherConnection {
 public:
  explicit OtherConnection(const std::filesystem::path& file) {
    EXPECT_EQ(sqlite3_open(Utf8(file).c_str(), &db_), SQLITE_OK);
  }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;
  ~OtherConnection() { (void)sqlite3_close(db_); }  // a test's connection; nothing to act on
  [[nodiscard]] bool Execute(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

 private:
  sqlite3* db_ = nullptr;
};

class ReportStoreTest : public testing::Test {
 protected:
  std::filesystem::path File() const { return dir_ / "reportdb.dat"; }
  test::TempDir dir_;
};

TEST_F(ReportStoreTest, FirstBatchCreatesTheFileAndTableWithTheGivenStatement) {
  ReportStore store(File());
  EXPECT_FALSE(std::filesystem::exists(File()));
  EXPECT_EQ(store.StoreBatch({Row(100, "first")}), 1u);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(Utf8(File()).c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name='reports'", -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  // SQLite keeps the statement's text, less "IF NOT EXISTS" and the semicolon.
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
               "CREATE TABLE 'reports' ('id' integer primary key autoincrement, 'time' integer, 'vendor' text, "
               "'product' text, 'serial' text, 'action' int)");
  sqlite3_finalize(query);
  sqlite3_close(db);
  auto rows = ReportsAfter(File(), 0, 10);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, 1);
  EXPECT_EQ(rows[0].row, Row(100, "first"));
}

TEST_F(ReportStoreTest, IdsRiseAcrossBatchesAndAreNeverReused) {
  ReportStore store(File());
  EXPECT_EQ(NewestReportId(File()), std::nullopt);  // no table yet
  EXPECT_EQ(store.StoreBatch({Row(1, "a"), Row(2, "b"), Row(3, "c")}), 3u);
  EXPECT_EQ(store.StoreBatch({{4, "-", "CdRom0", "-", 7}, {5, "-", "Floppy0", "-", 8}}), 2u);
  EXPECT_EQ(NewestReportId(File()), 5);
  EXPECT_EQ(IdsOf(ReportsAfter(File(), 0, 100)), (std::vector<int64_t>{1, 2, 3, 4, 5}));
  const auto tail = ReportsAfter(File(), 3, 2);
  EXPECT_EQ(IdsOf(tail), (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(tail[0].row, (ReportRow{4, "-", "CdRom0", "-", 7}));
  EXPECT_TRUE(ReportsAfter(File(), 5, 10).empty());

  // Removing the newest rows with another tool does not free their ids.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Utf8(File()).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM reports WHERE id >= 4", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(store.StoreBatch({Row(6, "f")}), 1u);
  EXPECT_EQ(NewestReportId(File()), 6);
}

TEST_F(ReportStoreTest, ReadersOfAMissingDatabase) {
  EXPECT_TRUE(ReportsAfter(File(), 0, 10).empty());
  EXPECT_FALSE(std::filesystem::exists(File()));  // the range reader never creates it
  EXPECT_EQ(NewestReportId(File()), std::nullopt);
  EXPECT_TRUE(std::filesystem::exists(File()));      // the newest-id reader opens with create
  EXPECT_TRUE(ReportsAfter(File(), 0, 10).empty());  // no table
}

TEST_F(ReportStoreTest, RowsThatCouldNotBeStoredAreKeptAndStoredFirstLater) {
  const auto file = dir_ / "later" / "reportdb.dat";  // its directory does not exist yet
  ReportStore store(file);
  EXPECT_EQ(store.StoreBatch({Row(1, "a"), Row(2, "b")}), 0u);
  EXPECT_EQ(store.StoreBatch({Row(3, "c")}), 0u);
  EXPECT_EQ(store.PendingRows(), 3u);
  std::filesystem::create_directory(dir_ / "later");
  EXPECT_EQ(store.StoreBatch({Row(4, "d")}), 4u);
  EXPECT_EQ(store.PendingRows(), 0u);
  const auto rows = ReportsAfter(file, 0, 10);
  ASSERT_EQ(rows.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rows[i].row.time, i + 1);
}

TEST_F(ReportStoreTest, AtMostTenThousandRowsAreKeptTheOldestDroppedFirst) {
  ReportStore store(dir_ / "missing" / "reportdb.dat");
  std::vector<ReportRow> rows;
  for (int i = 0; i < 10005; ++i) rows.push_back(Row(i, "x"));
  EXPECT_EQ(store.StoreBatch(rows), 0u);
  EXPECT_EQ(store.PendingRows(), 10000u);
  EXPECT_EQ(store.DroppedRows(), 5u);
  std::filesystem::create_directory(dir_ / "missing");
  EXPECT_EQ(store.StoreBatch({}), 10000u);
  const auto stored = ReportsAfter(dir_ / "missing" / "reportdb.dat", 0, 1);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].row.time, 5);  // rows 0 to 4 were the ones dropped
}

#ifndef _WIN32
// A reader holding the database locked past the busy timeout makes the batch
// fail as a whole; nothing is half stored and nothing is lost.
TEST_F(ReportStoreTest, ABusyDatabaseKeepsTheWholeBatch) {
  ReportStore store(File());
  ASSERT_EQ(store.StoreBatch({Row(1, "a")}), 1u);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(Utf8(File()).c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(store.StoreBatch({Row(2, "b"), Row(3, "c")}), 0u);
  EXPECT_EQ(store.PendingRows(), 2u);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(store.StoreBatch({Row(4, "d")}), 3u);
  EXPECT_EQ(IdsOf(ReportsAfter(File(), 0, 10)), (std::vector<int64_t>{1, 2, 3, 4}));
}
#endif

// A writer that holds the database for less than the busy timeout is waited
// for: the batch is stored after the writer's row, and nothing is kept.
TEST_F(ReportStoreTest, AWriterReleasingWithinTheBusyTimeoutIsWaitedFor) {
  ReportStore store(File());
  ASSERT_EQ(store.StoreBatch({Row(1, "a")}), 1u);
  OtherConnection writer(File());
  ASSERT_TRUE(writer.Execute("BEGIN IMMEDIATE"));
  ASSERT_TRUE(
      writer.Execute("INSERT INTO reports (time, vendor, product, serial, action) VALUES (2, 'V', 'w', 'S', 1)"));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(writer.Execute("COMMIT"));
  });
  EXPECT_EQ(store.StoreBatch({Row(3, "b"), Row(4, "c")}), 2u);
  release.join();
  EXPECT_EQ(store.PendingRows(), 0u);
  EXPECT_EQ(ProductsOf(ReportsAfter(File(), 0, 10)), (std::vector<std::string>{"a", "w", "b", "c"}));
}

// A batch is one transaction: a row the database refuses takes the whole
// batch back, and once the refusal is gone every row is stored exactly once.
TEST_F(ReportStoreTest, ARefusedRowTakesTheWholeBatchBackAndEachRowIsStoredOnceLater) {
  ReportStore store(File());
  ASSERT_EQ(store.StoreBatch({Row(1, "before")}), 1u);
  {
    OtherConnection admin(File());
    ASSERT_TRUE(
        admin.Execute("CREATE TRIGGER refuse_second BEFORE INSERT ON reports WHEN NEW.product = 'second' "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
  }
  EXPECT_EQ(store.StoreBatch({Row(2, "first"), Row(3, "second"), Row(4, "third")}), 0u);
  EXPECT_EQ(store.PendingRows(), 3u);
  EXPECT_EQ(ProductsOf(ReportsAfter(File(), 0, 10)), (std::vector<std::string>{"before"}));
  {
    OtherConnection admin(File());
    ASSERT_TRUE(admin.Execute("DROP TRIGGER refuse_second"));
  }
  EXPECT_EQ(store.StoreBatch({}), 3u);
  EXPECT_EQ(store.PendingRows(), 0u);
  EXPECT_EQ(ProductsOf(ReportsAfter(File(), 0, 10)), (std::vector<std::string>{"before", "first", "second", "third"}));
}

TEST_F(ReportStoreTest, NonAsciiInstallPath) {
  const auto directory = dir_.path() / std::filesystem::path(u8"گزارش-データ");
  ASSERT_TRUE(std::filesystem::create_directory(directory));
  ReportStore store(directory / "reportdb.dat");
  EXPECT_EQ(store.StoreBatch({Row(1, "a")}), 1u);
  EXPECT_TRUE(std::filesystem::exists(directory / "reportdb.dat"));
  EXPECT_EQ(NewestReportId(directory / "reportdb.dat"), 1);
}

}  // namespace
}  // namespace vx
