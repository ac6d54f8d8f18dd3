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
  // The driver accepted the settings: every code of the push completed
  // successfully. A refused push counts as none, so policyChanged stays set
  // and the next pass sends the settings again.
  bool pushed = false;
  std::vector<ReportRow> rows;
};

// Lock driver: when `push` is set, sends the CD/DVD code then the floppy
// code chosen by the two flags (both are sent even when the first is
// refused; the push counts only when both were accepted); then reads its log.
[[nodiscard]] DriverStepResult RunLockDriverStep(DeviceChannel& channel, bool push, bool lockCdDvd, bool lockFloppy);

// Filter driver: when `push` is set, decodes `ruleText` (at most the
// driver's 128 rules, whatever the text's length) and sends the rule list,
// writing "Set %d usb rule" to `debugOutput` first; then reads its log.
// `logBuffer` is the caller's 34,304-byte buffer, reused from pass to pass.
[[nodiscard]] DriverStepResult RunFilterDriverStep(DeviceChannel& channel, bool push, std::string_view ruleText,
                                                   const std::function<void(const char*)>& debugOutput,
                                                   std::vector<USB_LOG>& logBuffer);

}  // namespace vx
