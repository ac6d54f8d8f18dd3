#include "server/commands/command_time.h"

#include <cstdio>
#include <ctime>

namespace vx::server {
namespace {

// `count` digits at `at`, or nullopt.
std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<int64_t> ParseTimeArgument(std::string_view text) {
  if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string_view::npos) {
    int64_t seconds = 0;
    for (char c : text) seconds = seconds * 10 + (c - '0');
    return seconds;
  }
  // YYYY-MM-DD, then optionally THH:MM, then optionally :SS.
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) return std::nullopt;
  const std::optional<int> year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
  if (*year < 1900 || *month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month)) return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (text.size() >= 16) {
    const std::optional<int> h = Digits(text, 11, 2), m = Digits(text, 14, 2);
    if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':' || !h || !m || *h > 23 || *m > 59) return std::nullopt;
    hour = *h;
    minute = *m;
  }
  if (text.size() == 19) {
    const std::optional<int> s = Digits(text, 17, 2);
    if (text[16] != ':' || !s || *s > 59) return std::nullopt;
    second = *s;
  }
  std::tm local{};
  local.tm_year = *year - 1900;
  local.tm_mon = *month - 1;
  local.tm_mday = *day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // the platform's time-zone rules decide
  local.tm_wday = -1;   // mktime sets it when it succeeds (-1 is also a valid result)
  const std::time_t seconds = std::mktime(&local);
  if (local.tm_wday == -1) return std::nullopt;
  return static_cast<int64_t>(seconds);
}

std::string LocalTimeText(int64_t seconds) {
  const std::time_t value = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&value, &local) == nullptr) return std::to_string(seconds);
  char text[96];  // room for any int fields, though a year has four digits here
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace vx::server
