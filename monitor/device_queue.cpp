#include "monitor/device_queue.h"

#include <algorithm>
#include <mutex>

#include "monitor/usb_inventory.h"

namespace vx {

void DeviceQueue::Push(const USB_RULE& disk) {
  std::lock_guard<CriticalSection> lock(newDeviceLock_);
  newDeviceQueue_.push_back(disk);
}

bool DeviceQueue::TakeOne(USB_RULE& disk) {
  std::lock_guard<CriticalSection> lock(newDeviceLock_);
  if (newDeviceQueue_.empty()) return false;
  disk = newDeviceQueue_.front();
  newDeviceQueue_.pop_front();
  return true;
}

std::size_t DeviceQueue::Size() {
  std::lock_guard<CriticalSection> lock(newDeviceLock_);
  return newDeviceQueue_.size();
}

bool WasPresent(const USB_RULE& disk, const std::vector<USB_RULE>& previousDevices) {
  return std::any_of(previousDevices.begin(), previousDevices.end(),
                     [&](const USB_RULE& previous) { return SameDisk(previous, disk); });
}

void QueueArrival(const USB_RULE& disk, std::string_view ruleText, DeviceQueue& queue) {
  USB_RULE arrival = disk;
  arrival.flags = 0;
  arrival.action = DecideDeviceAction(disk, ruleText);
  queue.Push(arrival);
}

}  // namespace vx
