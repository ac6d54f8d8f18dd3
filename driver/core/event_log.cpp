#include "driver/core/event_log.h"

namespace vx::driver {

namespace {

void CopyBytes(void* target, const void* source, uint32_t count) {
  unsigned char* to = static_cast<unsigned char*>(target);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

void InitEventLog(EVENT_LOG* log) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(log->logs);
  for (uint32_t i = 0; i < sizeof(log->logs); ++i) bytes[i] = 0;
  log->logCount = 0;
  log->dropped = 0;
}

uint32_t PackLogDate(const LOG_TIME& time) {
  return (uint32_t{time.year} << 16) | (uint32_t{time.month} << 8) | time.day;
}

uint32_t PackLogTime(const LOG_TIME& time) {
  return (uint32_t{time.hour} << 24) | (uint32_t{time.minute} << 16) | (uint32_t{time.second} << 8);
}

bool AppendLog(EVENT_LOG* log, const DEVICE_IDENTITY* identity, int32_t action, const LOG_TIME& time) {
  if (EventLogFull(log)) {
    ++log->dropped;
    return false;
  }
  USB_LOG* entry = &log->logs[log->logCount];
  CopyBytes(entry->vendor, identity->vendor, USB_PATTERN_SIZE);
  CopyBytes(entry->product, identity->product, USB_PATTERN_SIZE);
  CopyBytes(entry->revision, identity->revision, USB_PATTERN_SIZE);
  CopyBytes(entry->serial, identity->serial, USB_PATTERN_SIZE);
  entry->action = action;
  entry->date = PackLogDate(time);
  entry->time = PackLogTime(time);
  ++log->logCount;
  return true;
}

bool TakeLogs(EVENT_LOG* log, void* output, uint32_t outputLength, uint32_t* bytesReturned) {
  *bytesReturned = 0;
  if (outputLength % sizeof(USB_LOG) != 0 || outputLength / sizeof(USB_LOG) < static_cast<uint32_t>(log->logCount)) {
    return false;
  }
  const uint32_t bytes = static_cast<uint32_t>(log->logCount) * sizeof(USB_LOG);
  CopyBytes(output, log->logs, bytes);
  *bytesReturned = bytes;
  log->logCount = 0;
  return true;
}

}  // namespace vx::driver
