#include "monitor/driver_steps.h"

#include <cstdio>
#include <memory>

#include "common/filter_control.h"
#include "common/lock_control.h"
#include "policy/rule_text.h"

namespace vx {

DriverStepResult RunLockDriverStep(DeviceChannel& channel, bool sendSettings, bool lockCdDvd, bool lockFloppy) {
  DriverStepResult result;
  auto device = channel.Open(VX_LOCK_USER_PATH);
  if (!device) return result;
  result.opened = true;
  uint32_t bytes = 0;
  if (sendSettings) {
    const bool cdDvdTaken =
        device->Control(lockCdDvd ? IOCTL_CDDVD_LOCK : IOCTL_CDDVD_UNLOCK, nullptr, 0, nullptr, 0, bytes);
    const bool floppyTaken =
        device->Control(lockFloppy ? IOCTL_FLOPPY_LOCK : IOCTL_FLOPPY_UNLOCK, nullptr, 0, nullptr, 0, bytes);
    result.accepted = cdDvdTaken && floppyTaken;
  }
  auto log = std::make_unique<LOCK_LOG>();
  log->bytes[LOCK_LOG_COUNT_OFFSET] = 0;
  if (device->Control(IOCTL_GET_LOCK_LOG, nullptr, 0, log->bytes, sizeof log->bytes, bytes))
    result.rows = LockLogToRows(*log);
  return result;
}

DriverStepResult RunFilterDriverStep(DeviceChannel& channel, bool sendSettings, std::string_view ruleText,
                                     const std::function<void(const char*)>& debugOutput,
                                     std::vector<USB_LOG>& logBuffer) {
  DriverStepResult result;
  auto device = channel.Open(VX_FILTER_USER_PATH);
  if (!device) return result;
  result.opened = true;
  uint32_t bytes = 0;
  if (sendSettings) {
    // The rule text holds at most 124 rules; the buffer holds the driver's 128.
    USB_RULE rules[USB_MAX_RULES];
    std::size_t count = RuleCountOf(ruleText);
    if (count > USB_MAX_RULES) count = USB_MAX_RULES;
    HexToRules(ruleText, rules, count * sizeof(USB_RULE));
    char line[32];
    std::snprintf(line, sizeof line, "Set %d usb rule", static_cast<int>(count));
    debugOutput(line);
    result.accepted = device->Control(IOCTL_SET_RULE_LIST, count ? rules : nullptr,
                                      static_cast<uint32_t>(count * sizeof(USB_RULE)), nullptr, 0, bytes);
  }
  logBuffer.resize(USB_MAX_LOGS);
  bytes = 0;
  if (device->Control(IOCTL_GET_LOGS, nullptr, 0, logBuffer.data(),
                      static_cast<uint32_t>(logBuffer.size() * sizeof(USB_LOG)), bytes)) {
    std::size_t entries = bytes / sizeof(USB_LOG);
    if (entries > logBuffer.size()) entries = logBuffer.size();
    for (std::size_t i = 0; i < entries; ++i) result.rows.push_back(FilterLogToRow(logBuffer[i]));
  }
  return result;
}

}  // namespace vx
