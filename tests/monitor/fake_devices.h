// Scripted drivers behind a DeviceChannel: each records the control codes it
// receives and hands out the log entries a test gives it.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/filter_control.h"
#include "common/lock_control.h"
#include "monitor/device_channel.h"

namespace vx::test {

struct FakeDriver {
  bool present = true;
  std::vector<uint32_t> codes;                  // every code received, in order
  std::vector<std::vector<uint8_t>> ruleLists;  // inputs of IOCTL_SET_RULE_LIST
  std::deque<USB_LOG> filterLog;                // handed out by IOCTL_GET_LOGS
  std::vector<std::vector<uint8_t>> lockLogs;   // one LOCK_LOG per IOCTL_GET_LOCK_LOG
  bool failLogReads = false;
  std::map<uint32_t, int> refusals;  // how many of the next requests of a code to refuse
  int opens = 0;

  int CountOf(uint32_t code) const {
    int n = 0;
    for (uint32_t c : codes) n += c == code;
    return n;
  }
};

class FakeDeviceChannel final : public DeviceChannel {
 public:
  FakeDriver filter;
  FakeDriver lock;

  std::unique_ptr<DeviceHandle> Open(std::wstring_view path) override {
    FakeDriver* driver = path == VX_FILTER_USER_PATH ? &filter : path == VX_LOCK_USER_PATH ? &lock : nullptr;
    if (!driver || !driver->present) return nullptr;
    ++driver->opens;
    return std::make_unique<Handle>(*driver);
  }

 private:
  class Handle final : public DeviceHandle {
   public:
    explicit Handle(FakeDriver& driver) : driver_(driver) {}
    bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                 uint32_t& bytesReturned) override {
      driver_.codes.push_back(code);
      bytesReturned = 0;
      if (auto refusal = driver_.refusals.find(code); refusal != driver_.refusals.end() && refusal->second > 0) {
        --refusal->second;
        return false;
      }
      if (code == IOCTL_SET_RULE_LIST) {
        const auto* bytes = static_cast<const uint8_t*>(input);
        driver_.ruleLists.emplace_back(bytes, bytes + inputLength);
        return true;
      }
      if (code == IOCTL_GET_LOGS) {
        if (driver_.failLogReads) return false;
        std::size_t n = 0;
        while (!driver_.filterLog.empty() && (n + 1) * sizeof(USB_LOG) <= outputLength) {
          std::memcpy(static_cast<uint8_t*>(output) + n * sizeof(USB_LOG), &driver_.filterLog.front(), sizeof(USB_LOG));
          driver_.filterLog.pop_front();
          ++n;
        }
        bytesReturned = static_cast<uint32_t>(n * sizeof(USB_LOG));
        return true;
      }
      if (code == IOCTL_GET_LOCK_LOG) {
        if (driver_.failLogReads || outputLength != LOCK_LOG_SIZE) return false;
        std::memset(output, 0, outputLength);
        if (!driver_.lockLogs.empty()) {
          std::memcpy(output, driver_.lockLogs.front().data(), LOCK_LOG_SIZE);
          driver_.lockLogs.erase(driver_.lockLogs.begin());
        }
        bytesReturned = outputLength;
        return true;
      }
      return true;  // the lock codes
    }

   private:
    FakeDriver& driver_;
  };
};

// A LOCK_LOG holding the given names, all stamped with one local time.
inline std::vector<uint8_t> MakeLockLog(const std::vector<std::string>& names, int8_t action, int year, int month,
                                        int day, int hour, int minute, int second) {
  std::vector<uint8_t> log(LOCK_LOG_SIZE, 0);
  log[0] = static_cast<uint8_t>(names.size());
  for (std::size_t i = 0; i < names.size() && i < LOCK_LOG_MAX_ENTRIES; ++i) {
    std::memcpy(&log[LOCK_LOG_NAMES_OFFSET + 64 * i], names[i].data(), names[i].size());
    uint8_t* when = &log[LOCK_LOG_TIMES_OFFSET + 7 * i];
    when[0] = static_cast<uint8_t>(year & 0xFF);
    when[1] = static_cast<uint8_t>(year >> 8);
    when[2] = static_cast<uint8_t>(month);
    when[3] = static_cast<uint8_t>(day);
    when[4] = static_cast<uint8_t>(hour);
    when[5] = static_cast<uint8_t>(minute);
    when[6] = static_cast<uint8_t>(second);
    log[LOCK_LOG_ACTIONS_OFFSET + i] = static_cast<uint8_t>(action);
  }
  return log;
}

inline USB_LOG MakeFilterEntry(const char* vendor, const char* product, const char* serial, int32_t action) {
  USB_LOG entry{};
  std::strncpy(entry.vendor, vendor, 63);
  std::strncpy(entry.product, product, 63);
  std::strncpy(entry.revision, "1.00", 63);
  std::strncpy(entry.serial, serial, 63);
  entry.action = action;
  entry.date = (2014u << 16) | (3u << 8) | 3u;
  entry.time = (9u << 24) | (5u << 16) | (7u << 8);
  return entry;
}

}  // namespace vx::test
