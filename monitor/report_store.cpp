#include "monitor/report_store.h"

#include <sqlite3.h>

#include <string>

namespace vx {
namespace {

// The library takes UTF-8 paths; a wide install path is converted.
std::string DatabasePath(const std::filesystem::path& file) {
  const auto utf8 = file.u8string();
  return std::string(utf8.begin(), utf8.end());
}

class Connection {
 public:
  Connection(const std::filesystem::path& file, int flags) {
    if (sqlite3_open_v2(DatabasePath(file).c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      // A failed open may still hand out a handle that must be released; the
      // close of a handle without statements cannot fail.
      (void)sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    // Fails only for a handle that is not open, which this one is.
    (void)sqlite3_busy_timeout(db_, kReportBusyTimeoutMs);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Every statement is finalized before its connection ends (they are scoped
  // inside it), so the close cannot be refused as busy.
  ~Connection() { (void)sqlite3_close(db_); }
  sqlite3* get() const { return db_; }
  [[nodiscard]] bool Execute(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  // Finalize repeats the last step's error, which the caller already saw.
  ~Statement() { (void)sqlite3_finalize(statement_); }
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

ReportStore::ReportStore(std::filesystem::path databaseFile) : databaseFile_(std::move(databaseFile)) {}

std::size_t ReportStore::StoreBatch(const std::vector<ReportRow>& rows) {
  for (const auto& row : rows) {
    if (pending_.size() == kMaxPendingReports) {
      pending_.pop_front();
      ++dropped_;
    }
    pending_.push_back(row);
  }
  if (pending_.empty()) return 0;
  const std::size_t count = pending_.size();
  if (!WritePending()) return 0;
  pending_.clear();
  return count;
}

bool ReportStore::WritePending() {
  Connection db(databaseFile_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!db.get()) return false;
  {
    Statement create(db.get(), kCreateReportsSql);
    // Not examined: without the table the insert's prepare fails below.
    if (create.get()) (void)sqlite3_step(create.get());
  }
  // Take the write lock up front, so a busy database fails here, before any
  // row, and the whole batch is kept.
  if (!db.Execute("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  {
    Statement insert(db.get(), kInsertReportSql);
    ok = insert.get() != nullptr;
    for (auto it = pending_.begin(); ok && it != pending_.end(); ++it) {
      sqlite3_stmt* s = insert.get();
      // Reset repeats the previous step's error, which already ended the
      // loop; clearing the bindings cannot fail.
      (void)sqlite3_reset(s);
      (void)sqlite3_clear_bindings(s);
      ok = sqlite3_bind_int(s, 1, it->time) == SQLITE_OK &&
           sqlite3_bind_text(s, 2, it->vendor.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_text(s, 3, it->product.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_text(s, 4, it->serial.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
           sqlite3_bind_int(s, 5, it->action) == SQLITE_OK && sqlite3_step(s) == SQLITE_DONE;
    }
  }
  if (ok && db.Execute("COMMIT")) return true;
  // Whether or not the rollback runs, nothing of the batch is committed: the
  // connection closes next, and closing rolls back an open transaction.
  (void)db.Execute("ROLLBACK");
  return false;
}

std::optional<int64_t> NewestReportId(const std::filesystem::path& databaseFile) {
  Connection db(databaseFile, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!db.get()) return std::nullopt;
  Statement query(db.get(), kNewestReportIdSql);
  if (!query.get() || sqlite3_step(query.get()) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(query.get(), 0);
}

std::vector<StoredReport> ReportsAfter(const std::filesystem::path& databaseFile, int64_t afterId, int64_t limit) {
  std::vector<StoredReport> reports;
  Connection db(databaseFile, SQLITE_OPEN_READONLY);
  if (!db.get()) return reports;
  Statement query(db.get(), kReportsAfterSql);
  if (!query.get()) return reports;
  if (sqlite3_bind_int64(query.get(), 1, afterId) != SQLITE_OK ||
      sqlite3_bind_int64(query.get(), 2, limit) != SQLITE_OK)
    return reports;
  while (sqlite3_step(query.get()) == SQLITE_ROW) {
    StoredReport report;
    report.id = sqlite3_column_int64(query.get(), 0);
    report.row.time = sqlite3_column_int(query.get(), 1);
    report.row.vendor = ColumnText(query.get(), 2);
    report.row.product = ColumnText(query.get(), 3);
    report.row.serial = ColumnText(query.get(), 4);
    report.row.action = sqlite3_column_int(query.get(), 5);
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace vx
