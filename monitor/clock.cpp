#include "monitor/clock.h"

#include <ctime>

namespace vx {

int32_t LocalTimeToEpoch(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // let the time-zone rules decide
  return static_cast<int32_t>(std::mktime(&local));
}

}  // namespace vx
