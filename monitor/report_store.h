// The report database "reportdb.dat": table `reports`, one connection per
// batch or read. Each batch is written in one transaction, with a busy
// timeout; rows that could not be stored are kept and stored first by a
// later batch, so a busy or failing database loses nothing the drivers have
// already handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "monitor/report_row.h"

namespace vx {

inline constexpr char kCreateReportsSql[] =
    "CREATE TABLE IF NOT EXISTS 'reports' ('id' integer primary key autoincrement, 'time' integer, "
    "'vendor' text, 'product' text, 'serial' text, 'action' int);";
inline constexpr char kInsertReportSql[] =
    "INSERT INTO 'reports' ('time', 'vendor', 'product', 'serial', 'action') VALUES (?,?,?,?,?);";
inline constexpr char kNewestReportIdSql[] = "SELECT `id` FROM 'reports' ORDER BY `id` DESC LIMIT 1";
inline constexpr char kReportsAfterSql[] =
    "SELECT `id`,`time`,`vendor`,`product`,`serial`,`action` FROM 'reports' WHERE `id`>? ORDER BY `id` ASC LIMIT ?";

inline constexpr int kReportBusyTimeoutMs = 2000;
inline constexpr std::size_t kMaxPendingReports = 10000;

struct StoredReport {
  int64_t id = 0;
  ReportRow row;
};

class ReportStore {
 public:
  explicit ReportStore(std::filesystem::path databaseFile);

  // Stores the rows kept from earlier failures and then `rows`, in order, in
  // one transaction. Returns the number of rows stored (0 when the database
  // could not be written; the rows are then kept, at most 10,000, the oldest
  // dropped first).
  [[nodiscard]] std::size_t StoreBatch(const std::vector<ReportRow>& rows);

  std::size_t PendingRows() const { return pending_.size(); }
  uint64_t DroppedRows() const { return dropped_; }
  const std::filesystem::path& DatabaseFile() const { return databaseFile_; }

 private:
  [[nodiscard]] bool WritePending();

  std::filesystem::path databaseFile_;
  std::deque<ReportRow> pending_;
  uint64_t dropped_ = 0;
};

// The newest row id, or nullopt when there is none or the database cannot be
// read. Opens read-write with create, as the uploader does.
[[nodiscard]] std::optional<int64_t> NewestReportId(const std::filesystem::path& databaseFile);

// Up to `limit` rows with an id above `afterId`, ascending; a negative limit
// sets none. Opens read-only; a missing file or table gives no rows.
[[nodiscard]] std::vector<StoredReport> ReportsAfter(const std::filesystem::path& databaseFile, int64_t afterId,
                                                     int64_t limit);

}  // namespace vx
