// The driver-wide rule list and event log, each behind a spin lock of its
// own so that the read and write paths may use them.
//
// The rule list lives in two tables: evaluations read the active one under
// the rule lock, and a new list is prepared in the other one outside it (one
// setter at a time, under the setter mutex), then made active by swapping a
// pointer under the rule lock. So an evaluation sees a whole list, and never
// waits for a list being prepared.
//
// Lock order: setter mutex, then rule lock, then log lock. The setter mutex
// is a fast mutex taken in its unsafe form, at PASSIVE_LEVEL inside a
// critical region: normal kernel APCs, thread suspension among them, are held
// off while a setter holds it, so a suspended service thread cannot stop
// every later setter. The spin locks are taken at up to DISPATCH_LEVEL and
// never held across a wait or a call down the stack.
#include "driver/filter_driver.h"

namespace vx::driver {

namespace {

RULE_TABLE tables[2];
RULE_TABLE* activeRules;  // guarded by ruleLock
EVENT_LOG events;
KSPIN_LOCK ruleLock;
KSPIN_LOCK logLock;
// Held by the one SetRuleList preparing the other table.
FAST_MUTEX setterMutex;

LOG_TIME CurrentLocalTime() {
  LARGE_INTEGER systemTime;
  LARGE_INTEGER localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);
  LOG_TIME time;
  time.year = static_cast<uint16_t>(fields.Year);
  time.month = static_cast<uint8_t>(fields.Month);
  time.day = static_cast<uint8_t>(fields.Day);
  time.hour = static_cast<uint8_t>(fields.Hour);
  time.minute = static_cast<uint8_t>(fields.Minute);
  time.second = static_cast<uint8_t>(fields.Second);
  return time;
}

// IRQL: DISPATCH_LEVEL, called with the rule lock held, so that entries of
// one disk are in the order its verdicts were made; takes the log lock.
void AppendEntry(const DEVICE_IDENTITY* identity, LONG action, const LOG_TIME& time) {
  KIRQL irql;
  KeAcquireSpinLock(&logLock, &irql);
  // A full log drops the event and counts it (DroppedLogEntries); the
  // verdict stands either way.
  (void)AppendLog(&events, identity, action, time);
  KeReleaseSpinLock(&logLock, irql);
}

}  // namespace

// Stored under the rule lock after each replacement of the list.
ULONG publishedGeneration;

void InitDriverState() {
  KeInitializeSpinLock(&ruleLock);
  KeInitializeSpinLock(&logLock);
  ExInitializeFastMutex(&setterMutex);
  InitRuleTable(&tables[0]);
  InitRuleTable(&tables[1]);
  activeRules = &tables[0];
  InitEventLog(&events);
  __atomic_store_n(&publishedGeneration, activeRules->ruleGeneration, __ATOMIC_RELEASE);
}

// IRQL: PASSIVE_LEVEL (AddDevice); takes the rule lock, so the caller holds
// no lock.
void JudgeArrival(FILTER_EXTENSION* extension) {
  const LOG_TIME now = CurrentLocalTime();
  KIRQL irql;
  KeAcquireSpinLock(&ruleLock, &irql);
  const LONG action = EvaluateRules(activeRules, &extension->prepared);
  __atomic_store_n(&extension->action, action, __ATOMIC_RELAXED);
  __atomic_store_n(&extension->ruleGeneration, activeRules->ruleGeneration, __ATOMIC_RELEASE);
  AppendEntry(&extension->identity, action, now);
  KeReleaseSpinLock(&ruleLock, irql);
}

// IRQL: at most DISPATCH_LEVEL (reads and writes may arrive there); takes the
// rule lock, so the caller holds no lock.
LONG RefreshActionLocked(FILTER_EXTENSION* extension) {
  const LOG_TIME now = CurrentLocalTime();
  KIRQL irql;
  KeAcquireSpinLock(&ruleLock, &irql);
  // Another request on the same disk may have judged it meanwhile; the
  // generation is checked again under the lock so a change is logged once.
  if (extension->ruleGeneration != activeRules->ruleGeneration) {
    const LONG action = EvaluateRules(activeRules, &extension->prepared);
    if (action != extension->action) {
      __atomic_store_n(&extension->action, action, __ATOMIC_RELAXED);
      AppendEntry(&extension->identity, action, now);
    }
    __atomic_store_n(&extension->ruleGeneration, activeRules->ruleGeneration, __ATOMIC_RELEASE);
  }
  const LONG action = extension->action;
  KeReleaseSpinLock(&ruleLock, irql);
  return action;
}

ULONG DroppedLogEntries() {
  KIRQL irql;
  KeAcquireSpinLock(&logLock, &irql);
  const ULONG dropped = events.dropped;
  KeReleaseSpinLock(&logLock, irql);
  return dropped;
}

// IRQL: PASSIVE_LEVEL, in the thread of the service's DeviceIoControl. Holds
// no lock when called; takes the setter mutex inside a critical region, then
// the rule lock for the swap alone, and completes the request with neither
// held.
NTSTATUS SetRuleList(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  DbgPrint("SetRuleList: inputLen %d count %d sizeof USB_RULE %d\r\n", static_cast<int>(inputLength),
           static_cast<int>(RuleCountOf(inputLength)), static_cast<int>(sizeof(USB_RULE)));
  if (inputLength % sizeof(USB_RULE) != 0 || RuleCountOf(inputLength) > USB_MAX_RULES) {
    return CompleteRefused(irp, STATUS_ACCESS_DENIED);
  }
  DbgPrint("Do Copy\r\n");
  // Only setters write the inactive table and the generation, so while this
  // one holds the setter mutex it may read the active generation without the
  // rule lock.
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&setterMutex);
  RULE_TABLE* next = activeRules == &tables[0] ? &tables[1] : &tables[0];
  next->ruleGeneration = activeRules->ruleGeneration;
  // The length was checked above, the one thing SetRules refuses; it
  // replaces the list and advances the generation.
  (void)SetRules(next, irp->AssociatedIrp.SystemBuffer, inputLength);
  KIRQL irql;
  KeAcquireSpinLock(&ruleLock, &irql);
  activeRules = next;
  __atomic_store_n(&publishedGeneration, next->ruleGeneration, __ATOMIC_RELEASE);
  KeReleaseSpinLock(&ruleLock, irql);
  ExReleaseFastMutexUnsafe(&setterMutex);
  KeLeaveCriticalRegion();
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL, in the thread of the service's DeviceIoControl; takes
// the log lock for the copy alone, so the caller holds no lock.
NTSTATUS GetLogs(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint32_t bytes = 0;
  KIRQL irql;
  KeAcquireSpinLock(&logLock, &irql);
  const LONG held = events.logCount;
  const bool taken = TakeLogs(&events, irp->AssociatedIrp.SystemBuffer, outputLength, &bytes);
  KeReleaseSpinLock(&logLock, irql);
  // The lines describe the log as it was when the request took it.
  if (held > 0) {
    DbgPrint("GetLogs: outputLen %d count %d logCount %d sizeof USB_LOG %d\r\n", static_cast<int>(outputLength),
             static_cast<int>(outputLength / sizeof(USB_LOG)), static_cast<int>(held),
             static_cast<int>(sizeof(USB_LOG)));
  }
  if (!taken) return CompleteRefused(irp, STATUS_ACCESS_DENIED);
  if (held > 0) DbgPrint("Do Copy\r\n");
  irp->IoStatus.Information = bytes;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

}  // namespace vx::driver
