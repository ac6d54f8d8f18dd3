#include "monitor/report_row.h"

#include "monitor/clock.h"

namespace vx {
namespace {

template <std::size_t N>
std::string TextOf(const char (&field)[N]) {
  std::size_t length = 0;
  while (length < N && field[length] != '\0') ++length;
  return std::string(field, length);
}

}  // namespace

int32_t ReportActionOf(int32_t filterAction) {
  switch (filterAction) {
    case ACTION_BLOCK:
      return kReportBlocked;
    case ACTION_READ_ONLY:
      return kReportReadOnly;
    default:
      return kReportAllowed;
  }
}

ReportRow FilterLogToRow(const USB_LOG& entry) {
  ReportRow row;
  const int day = entry.date & 0xFF;
  const int month = (entry.date >> 8) & 0xFF;
  const int year = (entry.date >> 16) & 0xFFFF;
  const int second = (entry.time >> 8) & 0xFF;
  const int minute = (entry.time >> 16) & 0xFF;
  const int hour = (entry.time >> 24) & 0xFF;
  row.time = LocalTimeToEpoch(year, month, day, hour, minute, second);
  row.vendor = TextOf(entry.vendor);
  row.product = TextOf(entry.product);
  row.serial = TextOf(entry.serial);
  row.action = ReportActionOf(entry.action);
  return row;
}

std::vector<ReportRow> LockLogToRows(const LOCK_LOG& log) {
  const uint8_t* bytes = log.bytes;
  int count = static_cast<int8_t>(bytes[LOCK_LOG_COUNT_OFFSET]);
  if (count > LOCK_LOG_MAX_ENTRIES) count = LOCK_LOG_MAX_ENTRIES;
  std::vector<ReportRow> rows;
  for (int i = 0; i < count; ++i) {
    const uint8_t* name = bytes + LOCK_LOG_NAMES_OFFSET + LOCK_LOG_NAME_SIZE * i;
    const uint8_t* when = bytes + LOCK_LOG_TIMES_OFFSET + LOCK_LOG_TIME_SIZE * i;
    std::size_t nameLength = 0;
    while (nameLength < LOCK_LOG_NAME_SIZE && name[nameLength] != 0) ++nameLength;
    ReportRow row;
    row.time = LocalTimeToEpoch(when[0] | (when[1] << 8), when[2], when[3], when[4], when[5], when[6]);
    row.vendor = "-";
    row.product.assign(reinterpret_cast<const char*>(name), nameLength);
    row.serial = "-";
    row.action = static_cast<int8_t>(bytes[LOCK_LOG_ACTIONS_OFFSET + i]);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vx
