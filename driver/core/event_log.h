// The driver's event log: 128 slots filled from the front and emptied as a
// whole. When it is full new events are dropped (and counted); old ones are
// never overwritten. The caller serialises access.
#pragma once

#include <stdint.h>

#include "driver/core/identity.h"

namespace vx::driver {

struct EVENT_LOG {
  USB_LOG logs[USB_MAX_LOGS];
  int32_t logCount;
  uint32_t dropped;  // events lost to a full log since load
};

// Local wall-clock time of an event; milliseconds are not kept.
struct LOG_TIME {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};

void InitEventLog(EVENT_LOG* log);

// year << 16 | month << 8 | day, and hour << 24 | minute << 16 | second << 8.
uint32_t PackLogDate(const LOG_TIME& time);
uint32_t PackLogTime(const LOG_TIME& time);

inline bool EventLogFull(const EVENT_LOG* log) { return log->logCount >= USB_MAX_LOGS; }

// Appends one entry with all 64 bytes of each text. Returns false when the
// log is full and the event was dropped.
[[nodiscard]] bool AppendLog(EVENT_LOG* log, const DEVICE_IDENTITY* identity, int32_t action, const LOG_TIME& time);

// Moves every held entry, oldest first, to the start of `output` and empties
// the log, when `outputLength` is a whole number of entries with room for all
// held ones. Returns false and keeps every entry otherwise.
[[nodiscard]] bool TakeLogs(EVENT_LOG* log, void* output, uint32_t outputLength, uint32_t* bytesReturned);

}  // namespace vx::driver
