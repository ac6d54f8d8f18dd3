// newDeviceQueue: the newly seen USB disks, oldest first, each with the
// action decided for it, guarded by newDeviceLock (a critical section with
// spin count 1024). The monitor appends; PopDeviceArrival takes.
#pragma once

#include <deque>
#include <string_view>
#include <vector>

#include "common/filter_control.h"
#include "platform/critical_section.h"

namespace vx {

inline constexpr unsigned long kNewDeviceLockSpinCount = 1024;

class DeviceQueue {
 public:
  DeviceQueue() : newDeviceLock_(kNewDeviceLockSpinCount) {}

  void Push(const USB_RULE& disk);

  // Copies the oldest disk into `disk` and removes it. False when the queue
  // is empty; `disk` is then untouched.
  [[nodiscard]] bool TakeOne(USB_RULE& disk);

  std::size_t Size();

 private:
  CriticalSection newDeviceLock_;
  std::deque<USB_RULE> newDeviceQueue_;
};

// Whether the previous pass saw the same disk.
[[nodiscard]] bool WasPresent(const USB_RULE& disk, const std::vector<USB_RULE>& previousDevices);

// Queues a newly seen disk with the action `ruleText` gives it.
void QueueArrival(const USB_RULE& disk, std::string_view ruleText, DeviceQueue& queue);

}  // namespace vx
