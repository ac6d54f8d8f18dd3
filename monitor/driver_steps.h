// The two driver steps of a monitor pass: bring a driver's settings up to
// date when the policy changed, and collect its event log as report rows.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "monitor/device_channel.h"
#include "monitor/report_row.h"

namespace vx {

struct DriverStepResult {
  bool opened = false;  // the device could be opened
  bool pushed = false;  // settings were sent
  std::vector<ReportRow> rows;
};

// Lock driver: when `push` is set, sends the CD/DVD code then the floppy
// code chosen by the two flags; then reads its log.
DriverStepResult RunLockDriverStep(DeviceChannel& channel, bool push, bool lockCdDvd, bool lockFloppy);

// Filter driver: when `push` is set, decodes `ruleText` and sends the rule
// list, writing "Set %d usb rule" to `debugOutput` first; then reads its log.
// `logBuffer` is the caller's 34,304-byte buffer, reused from pass to pass.
DriverStepResult RunFilterDriverStep(DeviceChannel& channel, bool push, std::string_view ruleText,
                                     const std::function<void(const char*)>& debugOutput,
                                     std::vector<USB_LOG>& logBuffer);

}  // namespace vx
