// The driver-wide rule list and event log, each behind a spin lock of its
// own so that the read and write paths may use them.
//
// The rule list's lock-free path: this is the one description of it; the
// code that implements it (this file, RefreshAction in filter_driver.h and
// the table in core/rule_table.h) points here.
//
// What there is:
// - Two tables (`tables`). `activeRules` points at the one evaluations use;
//   it is read and changed only under the rule lock.
// - One setter at a time (SetRuleList under the setter mutex) prepares the
//   other table outside the rule lock, with the active generation plus one,
//   then makes it active by swapping the pointer under the rule lock.
// - The published generation (`publishedGeneration`): the active table's
//   generation, stored under the rule lock in the same hold as the swap.
//   Read without a lock by the read and write paths.
// - Each disk's generation (`FILTER_EXTENSION::ruleGeneration`), with its
//   `action`: the generation of the table the action was judged against.
//   Written only under the rule lock (JudgeArrival, RefreshActionLocked).
//
// The common path, RefreshAction: when the disk's generation equals the
// published one, the disk's action is in force and no lock is taken (two
// loads and a compare); otherwise RefreshActionLocked judges it again under
// the rule lock, against `activeRules`, and re-checks the generation there,
// so a change is judged and logged once.
//
// Which store comes before which, and why:
// 1. A table is complete before it becomes active: the setter writes the
//    inactive table first and swaps the pointer afterwards, both the swap's
//    store and every evaluation's load happening under the rule lock. So an
//    evaluation sees the whole old list or the whole new one.
// 2. The inactive table is written only after no evaluation can still read
//    it: it was made inactive by the previous swap under the rule lock, and
//    every evaluation reads `activeRules` under that lock.
// 3. A disk's action is stored before its generation, and the generation
//    with release (read with acquire on the lock-free path): a reader that
//    sees the new generation also sees the action judged for it, never an
//    older one.
// 4. The published generation is stored before SetRuleList completes its
//    request (it is stored under the rule lock, which is released before the
//    completion). So a read or write that starts after the service was told
//    the list was accepted sees the new generation, takes the locked path
//    and is judged against the new list.
// A lock-free reader racing with a replacement may still use the verdict of
// the list before it; that request overlaps the replacement and either
// verdict is right for it. A disk's generation never runs ahead of the
// published one, so equality means "judged against the active table" or
// "judged against the table being replaced right now".
//
// Invariants, checked by tests/driver/driver_concurrency_test.cpp with
// appends, drains and replacements from several threads at once:
// - no evaluation mixes two lists (two lists that each allow a disk, but
//   whose mixed halves would block it, never refuse a read while swapped);
// - once a replacement is accepted, the next request on every disk is
//   judged against it;
// - each disk's log entries follow its verdicts (the log lock is taken
//   inside the rule lock), and every entry is handed out exactly once;
//   entries lost to a full log are counted.
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

// The time routines may be called at any level up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) LOG_TIME CurrentLocalTime() {
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

// Called with the rule lock held (so at DISPATCH_LEVEL), so that entries of
// one disk are in the order its verdicts were made; takes the log lock.
_IRQL_requires_(DISPATCH_LEVEL) void AppendEntry(const DEVICE_IDENTITY* identity, LONG action, const LOG_TIME& time) {
  KIRQL irql;
  KeAcquireSpinLock(&logLock, &irql);
  // A full log drops the event and counts it (DroppedLogEntries); the
  // verdict stands either way.
  (void)AppendLog(&events, identity, action, time);
  KeReleaseSpinLock(&logLock, irql);
}

}  // namespace

// Stored under the rule lock with each replacement of the list (see above).
ULONG publishedGeneration;

_Use_decl_annotations_ void InitDriverState() {
  KeInitializeSpinLock(&ruleLock);
  KeInitializeSpinLock(&logLock);
  ExInitializeFastMutex(&setterMutex);
  InitRuleTable(&tables[0]);
  InitRuleTable(&tables[1]);
  activeRules = &tables[0];
  InitEventLog(&events);
  __atomic_store_n(&publishedGeneration, activeRules->ruleGeneration, __ATOMIC_RELEASE);
}

// The action before the generation (order 3 above).
_Use_decl_annotations_ void JudgeArrival(FILTER_EXTENSION* extension) {
  const LOG_TIME now = CurrentLocalTime();
  KIRQL irql;
  KeAcquireSpinLock(&ruleLock, &irql);
  const LONG action = EvaluateRules(activeRules, &extension->prepared);
  __atomic_store_n(&extension->action, action, __ATOMIC_RELAXED);
  __atomic_store_n(&extension->ruleGeneration, activeRules->ruleGeneration, __ATOMIC_RELEASE);
  AppendEntry(&extension->identity, action, now);
  KeReleaseSpinLock(&ruleLock, irql);
}

// The action before the generation (order 3 above).
_Use_decl_annotations_ LONG RefreshActionLocked(FILTER_EXTENSION* extension) {
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

_Use_decl_annotations_ ULONG DroppedLogEntries() {
  KIRQL irql;
  KeAcquireSpinLock(&logLock, &irql);
  const ULONG dropped = events.dropped;
  KeReleaseSpinLock(&logLock, irql);
  return dropped;
}

// In the thread of the service's DeviceIoControl. Takes the setter mutex
// inside a critical region, then the rule lock for the swap alone, and
// completes the request with neither held (orders 1, 2 and 4 above).
_Use_decl_annotations_ NTSTATUS SetRuleList(PIRP irp, PIO_STACK_LOCATION stack) {
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

// In the thread of the service's DeviceIoControl; takes the log lock for the
// copy alone, so an entry is handed out and removed in one step.
_Use_decl_annotations_ NTSTATUS GetLogs(PIRP irp, PIO_STACK_LOCATION stack) {
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
