// The two driver steps of a monitor pass: send a driver its settings when
// the policy changed, and collect its event log as report rows. What counts
// as the policy having reached both drivers: see Monitor::RunPass in
// monitor_loop.h.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "monitor/device_channel.h"
#include "monitor/report_row.h"

namespace vx {

struct DriverStepResult {
  bool opened = false;  // the device could be opened
  // The driver accepted the settings: every code sent completed successfully.
  bool accepted = false;
  std::vector<ReportRow> rows;
};

// Lock driver: when `sendSettings` is set, sends the CD/DVD code then the
// floppy code chosen by the two flags (both are sent even when the first is
// refused; the settings are accepted only when both codes were); then reads
// its log.
[[nodiscard]] DriverStepResult RunLockDriverStep(DeviceChannel& channel, bool sendSettings, bool lockCdDvd,
                                                 bool lockFloppy);

// Filter driver: when `sendSettings` is set, decodes `ruleText` (at most the
// driver's 128 rules, whatever the text's length) and sends the rule list,
// writing "Set %d usb rule" to `debugOutput` first; then reads its log.
// `logBuffer` is the caller's 34,304-byte buffer, reused from pass to pass.
[[nodiscard]] DriverStepResult RunFilterDriverStep(DeviceChannel& channel, bool sendSettings, std::string_view ruleText,
                                                   const std::function<void(const char*)>& debugOutput,
                                                   std::vector<USB_LOG>& logBuffer);

}  // namespace vx
