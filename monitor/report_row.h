// A row of the report table as the writers hand it over, and the two ways
// driver log entries become rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/filter_control.h"
#include "common/lock_control.h"

namespace vx {

struct ReportRow {
  int32_t time = 0;  // seconds since 1970, UTC
  std::string vendor;
  std::string product;
  std::string serial;
  int32_t action = 0;

  bool operator==(const ReportRow&) const = default;
};

// Report actions of filter events.
inline constexpr int32_t kReportBlocked = 0;
inline constexpr int32_t kReportAllowed = 1;
inline constexpr int32_t kReportReadOnly = 2;

// The report action of a filter action: block 0, allow 1, read-only 2. Any
// other code was enforced as allow, so it is reported as allowed.
[[nodiscard]] int32_t ReportActionOf(int32_t filterAction);

// A filter log entry as a row; the revision is not stored.
[[nodiscard]] ReportRow FilterLogToRow(const USB_LOG& entry);

// The valid entries of a lock driver log, in order. A count of 0 or less
// gives none; a count above 60 uses the first 60.
[[nodiscard]] std::vector<ReportRow> LockLogToRows(const LOCK_LOG& log);

}  // namespace vx
